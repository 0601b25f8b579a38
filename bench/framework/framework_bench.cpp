// What the framework's data-path helpers cost: a block from a CMemoryList
// (cached) against one straight from the pool, a work item round trip through
// CThread, and building a device name with CString.
#include "kivrt.h"

#include "CString.h"
#include "Thread.h"

#include <benchmark/benchmark.h>

namespace {

constexpr ULONG BenchTag = kivrt::MakeTag("Bnch");

void BM_MemoryListAllocateFree(benchmark::State& State)
{
    kivrt::Reset();
    CMemoryList* list = new CMemoryList(1024, 4, BenchTag);
    for (auto _ : State) {
        PVOID block = list->Allocate();
        benchmark::DoNotOptimize(block);
        list->Free(block);
    }
    delete list;
}
BENCHMARK(BM_MemoryListAllocateFree);

void BM_PoolAllocateFree(benchmark::State& State)
{
    kivrt::Reset();
    for (auto _ : State) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 1024, BenchTag);
        benchmark::DoNotOptimize(block);
        ExFreePool(block);
    }
}
BENCHMARK(BM_PoolAllocateFree);

void Worker(PVOID Parameter)
{
    auto* block = static_cast<NORN_WORK_ITEM_CONTEXT*>(Parameter);
    static_cast<CThread*>(block->Context)->FreeWorkItem(block);
}

void BM_WorkItemRoundTrip(benchmark::State& State)
{
    kivrt::Reset();
    CThread* thread = new CThread(4, BenchTag);
    for (auto _ : State) {
        if (thread->CreateWorkItem(Worker, thread, DelayedWorkQueue) != STATUS_SUCCESS) {
            State.SkipWithError("CreateWorkItem failed");
            break;
        }
        kivrt::DrainWorkItems();
    }
    delete thread;
}
BENCHMARK(BM_WorkItemRoundTrip);

void BM_DeviceNameConcatenate(benchmark::State& State)
{
    kivrt::Reset();
    CString prefix(u"\\Device\\");
    CString name(u"KivSdp0");
    for (auto _ : State) {
        CString full = Concatenate(prefix, name);
        benchmark::DoNotOptimize(static_cast<WCHAR*>(full));
    }
}
BENCHMARK(BM_DeviceNameConcatenate);

} // namespace

BENCHMARK_MAIN();
