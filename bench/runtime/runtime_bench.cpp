// What the runtime costs per request: an IRP round trip through two drivers, an application
// device-control round trip, and a work item round trip in both schedulers.
#include "kivrt.h"
#include "wdm.h"

#include <benchmark/benchmark.h>

namespace {

PDEVICE_OBJECT g_Lower;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    if (L->MajorFunction == IRP_MJ_DEVICE_CONTROL && Irp->AssociatedIrp.SystemBuffer &&
        L->Parameters.DeviceIoControl.OutputBufferLength >= 4) {
        *(ULONG*)Irp->AssociatedIrp.SystemBuffer = 0x12345678;
        Irp->IoStatus.Information = 4;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS UpperCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(g_Lower, Irp);
}

// A DriverEntry that sends every major function to Dispatch.
template <PDRIVER_DISPATCH Dispatch> NTSTATUS DispatchAll(PDRIVER_OBJECT D, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& F : D->MajorFunction)
        F = Dispatch;
    return STATUS_SUCCESS;
}

NTSTATUS TopCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct STACK {
    PDRIVER_OBJECT LowerDrv, UpperDrv;
    PDEVICE_OBJECT Lower, Upper;

    explicit STACK(kivrt::Scheduler Sched)
    {
        kivrt::Options O;
        O.Sched = Sched;
        O.EchoReports = false;
        kivrt::Reset(O);
        kivrt::LoadDriver(u"BenchLower", DispatchAll<LowerDispatch>, &LowerDrv);
        kivrt::LoadDriver(u"BenchUpper", DispatchAll<UpperDispatch>, &UpperDrv);
        UNICODE_STRING Name, Link;
        RtlInitUnicodeString(&Name, u"\\Device\\Bench");
        RtlInitUnicodeString(&Link, u"\\DosDevices\\Bench");
        IoCreateDevice(LowerDrv, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Lower);
        IoCreateDevice(UpperDrv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Upper);
        IoAttachDeviceToDeviceStack(Upper, Lower);
        Lower->Flags &= ~DO_DEVICE_INITIALIZING;
        Upper->Flags &= ~DO_DEVICE_INITIALIZING;
        IoCreateSymbolicLink(&Link, &Name);
        g_Lower = Lower;
    }
    ~STACK()
    {
        if (kivrt::VerifierErrorCount() != 0) fprintf(stderr, "verifier recorded errors\n");
        kivrt::Reset();
    }
};

void BM_IrpRoundTrip(benchmark::State& State)
{
    STACK S(kivrt::Scheduler::Deterministic);
    for (auto _ : State) {
        PIRP Irp = IoAllocateIrp(CCHAR(S.Upper->StackSize + 1), FALSE);
        IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(Irp, TopCompletion, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IoCallDriver(S.Upper, Irp));
        IoFreeIrp(Irp);
    }
}
BENCHMARK(BM_IrpRoundTrip);

void BM_DeviceControlRoundTrip(benchmark::State& State)
{
    STACK S(kivrt::Scheduler::Deterministic);
    kivrt::APP_HANDLE H;
    kivrt::AppOpen(u"\\\\.\\Bench", GENERIC_READ, 0, false, &H);
    const ULONG Code = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    uint8_t In[16] = {}, Out[64];
    for (auto _ : State) {
        ULONG N;
        benchmark::DoNotOptimize(
            kivrt::AppDeviceIoControl(H, Code, In, sizeof(In), Out, sizeof(Out), &N));
    }
    kivrt::AppClose(H);
}
BENCHMARK(BM_DeviceControlRoundTrip);

void BM_WorkItemRoundTripDeterministic(benchmark::State& State)
{
    STACK S(kivrt::Scheduler::Deterministic);
    static long Count;
    WORK_QUEUE_ITEM Item;
    ExInitializeWorkItem(
        &Item, [](PVOID) { Count++; }, nullptr);
    for (auto _ : State) {
        ExQueueWorkItem(&Item, DelayedWorkQueue);
        kivrt::RunOneWorkItem();
    }
    benchmark::DoNotOptimize(Count);
}
BENCHMARK(BM_WorkItemRoundTripDeterministic);

void BM_WorkItemRoundTripThreaded(benchmark::State& State)
{
    STACK S(kivrt::Scheduler::Threaded);
    static KEVENT Done;
    KeInitializeEvent(&Done, SynchronizationEvent, FALSE);
    WORK_QUEUE_ITEM Item;
    ExInitializeWorkItem(
        &Item, [](PVOID) { KeSetEvent(&Done, IO_NO_INCREMENT, FALSE); }, nullptr);
    for (auto _ : State) {
        ExQueueWorkItem(&Item, DelayedWorkQueue);
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    }
    kivrt::DrainWorkItems();
}
BENCHMARK(BM_WorkItemRoundTripThreaded)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
