// Cost of the three SDP transactions over databases of 10, 100 and 1000
// realistic records, and of a whole "browse everything" continuation series
// at the smallest MTU.
#include "sdpcore.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

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
    BYTES v{0x35, uint8_t(Body.size())};
    // GCC 12 at -O3 reports bogus out-of-bounds copies in vector::insert after a
    // braced initialisation, not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
    v.insert(v.end(), Body.begin(), Body.end());
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
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

std::unique_ptr<CSdpDatabase> MakeDatabase(unsigned Records)
{
    auto Db = std::make_unique<CSdpDatabase>();
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
    BYTES v{Id, 0x00, 0x01, uint8_t(Params.size() >> 8), uint8_t(Params.size())};
    // GCC 12 at -O3 reports bogus out-of-bounds copies in vector::insert after a
    // braced initialisation, not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
    v.insert(v.end(), Params.begin(), Params.end());
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return v;
}

const BYTES AllAttributes{0x35, 0x05, 0x0A, 0x00, 0x00, 0xFF, 0xFF};

// Fails the benchmark loudly rather than timing an error response.
void ExpectPdu(benchmark::State& State, const uint8_t* Rsp, uint8_t Id)
{
    if (Rsp[0] != Id) State.SkipWithError("unexpected response PDU");
}

void BM_ServiceSearch(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)));
    BYTES Req = Pdu(0x02, Cat({Seq(Uuid16(LAST_RECORD_CLASS)), {0xFF, 0xFF, 0x00}}));
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    for (auto _ : State) {
        Db->ExecuteServiceSearchRequest(Req.data(), uint32_t(Req.size()), Rsp, MAX_MTU);
        benchmark::DoNotOptimize(Rsp);
    }
    ExpectPdu(State, Rsp, 0x03);
}

void BM_ServiceAttribute(benchmark::State& State)
{
    unsigned Records = unsigned(State.range(0));
    auto Db = MakeDatabase(Records);
    uint32_t h = SDP_FIRST_RECORD_HANDLE + Records - 1;
    BYTES Req = Pdu(0x04, Cat({{uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)},
                               {0xFF, 0xFF},
                               AllAttributes,
                               {0x00}}));
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    for (auto _ : State) {
        Db->ExecuteServiceAttributeRequest(Req.data(), uint32_t(Req.size()), Rsp, MAX_MTU);
        benchmark::DoNotOptimize(Rsp);
    }
    ExpectPdu(State, Rsp, 0x05);
}

void BM_ServiceSearchAttribute(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)));
    BYTES Req =
        Pdu(0x06, Cat({Seq(Uuid16(LAST_RECORD_CLASS)), {0xFF, 0xFF}, AllAttributes, {0x00}}));
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    for (auto _ : State) {
        Db->ExecuteServiceSearchAttributeRequest(Req.data(), uint32_t(Req.size()), Rsp, MAX_MTU);
        benchmark::DoNotOptimize(Rsp);
    }
    ExpectPdu(State, Rsp, 0x07);
}

// Browse everything: UUID 0x0100 (L2CAP), attributes 0x0000-0xFFFF, at MTU
// 48, every response's state sent back until the list ends. The list is
// bounded by MaximumAttributeByteCount 0xFFFF, which the 1000-record database
// reaches.
void BM_BrowseSeries(benchmark::State& State)
{
    auto Db = MakeDatabase(unsigned(State.range(0)));
    BYTES Base = Cat({Seq(Uuid16(0x0100)), {0xFF, 0xFF}, AllAttributes});
    uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
    size_t Responses = 0;
    size_t ListBytes = 0;
    for (auto _ : State) {
        Responses = 0;
        ListBytes = 0;
        BYTES Req = Pdu(0x06, Cat({Base, {0x00}}));
        for (;;) {
            Db->ExecuteServiceSearchAttributeRequest(Req.data(), uint32_t(Req.size()), Rsp,
                                                     MIN_MTU);
            ++Responses;
            if (Rsp[0] != 0x07) {
                State.SkipWithError("series ended in an error response");
                return;
            }
            uint32_t Len = uint32_t(Rsp[3] << 8 | Rsp[4]) + SDP_PDU_HEADER_SIZE;
            uint32_t N = uint32_t(Rsp[5] << 8 | Rsp[6]);
            ListBytes += N;
            if (Rsp[7 + N] == 0) break;
            Req = Pdu(0x06, Cat({Base, BYTES(Rsp + 7 + N, Rsp + Len)}));
        }
    }
    State.counters["responses"] = double(Responses);
    State.counters["list_bytes"] = double(ListBytes);
    State.counters["per_response"] =
        benchmark::Counter(double(Responses), benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}

BENCHMARK(BM_ServiceSearch)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_ServiceAttribute)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_ServiceSearchAttribute)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_BrowseSeries)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
