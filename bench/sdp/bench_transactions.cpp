// Cost of the three SDP transactions over databases of 10, 100 and 1000
// realistic records, and of a whole "browse everything" continuation series
// at the smallest MTU.
#include "sdpcore.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// Heap allocations made while g_CountAllocations is set: the benchmarks set
// it around each transaction only, so their own set-up does not count.
static std::atomic<bool> g_CountAllocations{false};
static std::atomic<uint64_t> g_Allocations{0};

// GCC takes the free() below for a mismatch with the new that it inlines into
// this very pair; they match, the replacement is the standard's own way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t Size)
{
    if (g_CountAllocations.load(std::memory_order_relaxed))
        g_Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(Size ? Size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

// Counts the database pool's blocks too (the core's only allocator).
void* CountingPoolAllocate(void*, size_t Size, uint32_t)
{
    if (g_CountAllocations.load(std::memory_order_relaxed))
        g_Allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(Size ? Size : 1);
}
void CountingPoolFree(void*, void* Block, uint32_t)
{
    std::free(Block);
}

// Runs one transaction with allocations counted.
template <class F> void Counted(F&& Transaction)
{
    g_CountAllocations.store(true, std::memory_order_relaxed);
    Transaction();
    g_CountAllocations.store(false, std::memory_order_relaxed);
}

// Allocations per request over the State's iterations, and the path taken.
void ReportAllocations(benchmark::State& State, uint64_t Before, size_t Requests)
{
    State.counters["allocs_per_request"] =
        double(g_Allocations.load() - Before) / double(Requests ? Requests : 1);
}

struct PROFILE {
    uint16_t ServiceClass;
    uint16_t ProfileVersion;
    bool Rfcomm; // RFCOMM channel over L2CAP, else L2CAP PSM 0x0019 + AVDTP
    const char* Name;
};

const PROFILE Profiles[] = {
    {0x1101, 0x0102, true, "Serial Port"},   {0x1105, 0x0102, true, "OBEX Object Push"},
    {0x110B, 0x0103, false, "Audio Sink"},   {0x1108, 0x0102, true, "Headset"},
    {0x111F, 0x0107, true, "Hands-Free AG"}, {0x110A, 0x0103, false, "Audio Source"},
};

// The record added last has a class of its own, so a search for it walks the
// whole database and still gets one short response.
constexpr uint16_t LAST_RECORD_CLASS = 0x1132; // message access

using BYTES = std::vector<uint8_t>;

BYTES Seq(const BYTES& Body)
{
    // Sized first and filled in place: GCC 12 at -O3 misreads an insert after a braced
    // initialisation as an overflow.
    BYTES v(2 + Body.size());
    v[0] = 0x35;
    v[1] = uint8_t(Body.size());
    std::copy(Body.begin(), Body.end(), v.begin() + 2);
    return v;
}

BYTES Uuid16(uint16_t u)
{
    return {0x19, uint8_t(u >> 8), uint8_t(u)};
}

BYTES Cat(std::initializer_list<BYTES> Parts)
{
    BYTES v;
    for (const BYTES& p : Parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

void Add(CSdpDatabase& Db, uint32_t hRec, uint16_t Id, const BYTES& Value)
{
    if (Db.AddNewServiceAttribute(hRec, Id, Value.data(), uint32_t(Value.size()), true) !=
        SDP_STATUS_SUCCESS)
        std::abort();
}

// ServiceClassIDList, ProtocolDescriptorList, BrowseGroupList,
// BluetoothProfileDescriptorList and ServiceName, as real profiles give them.
void AddRecord(CSdpDatabase& Db, uint32_t hRec, const PROFILE& p, uint16_t Class, unsigned Index)
{
    if (Db.CreateServiceRecord(hRec) != SDP_STATUS_SUCCESS) std::abort();
    Add(Db, hRec, 0x0001, Seq(Uuid16(Class)));
    if (p.Rfcomm)
        Add(Db, hRec, 0x0004,
            Seq(Cat({Seq(Uuid16(0x0100)),
                     Seq(Cat({Uuid16(0x0003), {0x08, uint8_t(1 + Index % 30)}}))})));
    else
        Add(Db, hRec, 0x0004,
            Seq(Cat({Seq(Cat({Uuid16(0x0100), {0x09, 0x00, 0x19}})),
                     Seq(Cat({Uuid16(0x0019), {0x09, 0x01, 0x03}}))})));
    Add(Db, hRec, 0x0005, Seq(Uuid16(0x1002)));
    Add(Db, hRec, 0x0009,
        Seq(Seq(Cat(
            {Uuid16(Class), {0x09, uint8_t(p.ProfileVersion >> 8), uint8_t(p.ProfileVersion)}}))));
    char Name[48];
    int Len = std::snprintf(Name, sizeof(Name), "%s %u", p.Name, Index);
    BYTES Text{0x25, uint8_t(Len)};
    Text.insert(Text.end(), Name, Name + Len);
    Add(Db, hRec, 0x0100, Text);
}

// range(1) of every benchmark: 1 with the index and series memo, 0 walking
// the list for every request (the way every request was answered before).
std::unique_ptr<CSdpDatabase> MakeDatabase(unsigned Records, bool FastPath)
{
    static const SDP_HOST_HOOKS Hooks = {nullptr, nullptr, CountingPoolAllocate, CountingPoolFree};
    SdpSetHostHooks(&Hooks);
    auto Db = std::make_unique<CSdpDatabase>();
    Db->SetFastPath(FastPath);
    (void)Db->InitializeSdpDatabase();
    for (unsigned i = 0; i < Records; ++i) {
        const PROFILE& p = Profiles[i % (sizeof(Profiles) / sizeof(Profiles[0]))];
        bool Last = i + 1 == Records;
        AddRecord(*Db, SDP_FIRST_RECORD_HANDLE + i, p, Last ? LAST_RECORD_CLASS : p.ServiceClass,
                  i);
    }
    return Db;
}

BYTES Pdu(uint8_t Id, const BYTES& Params)
{
    BYTES v(5 + Params.size());
    v[0] = Id;
    v[2] = 0x01;
    v[3] = uint8_t(Params.size() >> 8);
    v[4] = uint8_t(Params.size());
    std::copy(Params.begin(), Params.end(), v.begin() + 5);
    return v;
}

const BYTES AllAttributes{0x35, 0x05, 0x0A, 0x00, 0x00, 0xFF, 0xFF};

// Fails the benchmark loudly rather than timing an error response.
void ExpectPdu(benchmark::State& State, const uint8_t* Rsp, uint8_t Id)
{
    if (Rsp[0] != Id) State.SkipWithError("unexpected response PDU");
}

// Times the transaction Execute on Req at MAX_MTU, counting what it allocates; the last answer
// must be a ResponseId PDU.
void TimeTransaction(benchmark::State& State, CSdpDatabase& Db,
                     SDP_STATUS (CSdpDatabase::*Execute)(const uint8_t*, uint32_t, uint8_t*,
                                                         uint32_t),
                     const BYTES& Req, uint8_t ResponseId)
{
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    const uint64_t Before = g_Allocations.load();
    for (auto _ : State) {
        Counted([&] { (Db.*Execute)(Req.data(), uint32_t(Req.size()), Rsp, MAX_MTU); });
        benchmark::DoNotOptimize(Rsp);
    }
    ReportAllocations(State, Before, size_t(State.iterations()));
    ExpectPdu(State, Rsp, ResponseId);
}

void BM_ServiceSearch(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)), State.range(1) != 0);
    BYTES Req = Pdu(0x02, Cat({Seq(Uuid16(LAST_RECORD_CLASS)), {0xFF, 0xFF, 0x00}}));
    TimeTransaction(State, *Db, &CSdpDatabase::ExecuteServiceSearchRequest, Req, 0x03);
}

void BM_ServiceAttribute(benchmark::State& State)
{
    unsigned Records = unsigned(State.range(0));
    auto Db = MakeDatabase(Records, State.range(1) != 0);
    uint32_t h = SDP_FIRST_RECORD_HANDLE + Records - 1;
    BYTES Req = Pdu(0x04, Cat({{uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)},
                               {0xFF, 0xFF},
                               AllAttributes,
                               {0x00}}));
    TimeTransaction(State, *Db, &CSdpDatabase::ExecuteServiceAttributeRequest, Req, 0x05);
}

void BM_ServiceSearchAttribute(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)), State.range(1) != 0);
    BYTES Req =
        Pdu(0x06, Cat({Seq(Uuid16(LAST_RECORD_CLASS)), {0xFF, 0xFF}, AllAttributes, {0x00}}));
    TimeTransaction(State, *Db, &CSdpDatabase::ExecuteServiceSearchAttributeRequest, Req, 0x07);
}

// Browse everything: UUID 0x0100 (L2CAP), attributes 0x0000-0xFFFF, at MTU
// 48, every response's state sent back until the list ends. The list is
// bounded by MaximumAttributeByteCount 0xFFFF, which the 1000-record database
// reaches.
void BM_BrowseSeries(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)), State.range(1) != 0);
    // The request is built once; each response's state is copied in place.
    const BYTES Base = Cat({Seq(Uuid16(0x0100)), {0xFF, 0xFF}, AllAttributes});
    uint8_t Req[64];
    Req[0] = 0x06;
    Req[1] = 0x00;
    Req[2] = 0x01;
    std::memcpy(Req + 5, Base.data(), Base.size());
    const uint32_t Fixed = uint32_t(5 + Base.size());
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    size_t Responses = 0;
    size_t ListBytes = 0;
    size_t Requests = 0;
    const uint64_t Before = g_Allocations.load();
    for (auto _ : State) {
        Responses = 0;
        ListBytes = 0;
        uint32_t ContLen = 1;
        Req[Fixed] = 0x00;
        for (;;) {
            const uint32_t ReqLen = Fixed + ContLen;
            Req[3] = uint8_t((ReqLen - 5) >> 8);
            Req[4] = uint8_t(ReqLen - 5);
            Counted([&] { Db->ExecuteServiceSearchAttributeRequest(Req, ReqLen, Rsp, MIN_MTU); });
            ++Responses;
            if (Rsp[0] != 0x07) {
                State.SkipWithError("series ended in an error response");
                return;
            }
            uint32_t Len = uint32_t(Rsp[3] << 8 | Rsp[4]) + SDP_PDU_HEADER_SIZE;
            uint32_t N = uint32_t(Rsp[5] << 8 | Rsp[6]);
            ListBytes += N;
            if (Rsp[7 + N] == 0) break;
            ContLen = Len - (7 + N);
            std::memcpy(Req + Fixed, Rsp + 7 + N, ContLen);
        }
        Requests += Responses;
    }
    ReportAllocations(State, Before, Requests);
    State.counters["responses"] = double(Responses);
    State.counters["list_bytes"] = double(ListBytes);
    State.counters["per_response"] =
        benchmark::Counter(double(Responses), benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}

void DatabaseSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"records", "fast"});
    for (int64_t Fast : {1, 0})
        for (int64_t Records : {10, 100, 1000, 10000})
            b->Args({Records, Fast});
}

BENCHMARK(BM_ServiceSearch)->Apply(DatabaseSizes);
BENCHMARK(BM_ServiceAttribute)->Apply(DatabaseSizes);
BENCHMARK(BM_ServiceSearchAttribute)->Apply(DatabaseSizes);
// The walked browse of 10000 records takes minutes: not run.
BENCHMARK(BM_BrowseSeries)
    ->ArgNames({"records", "fast"})
    ->Args({10, 1})
    ->Args({100, 1})
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Args({10, 0})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
