// Properties over random databases and requests (seeded, so every run is the
// same): responses fit the MTU, a continuation series joins to the single
// answer, a change inside a series breaks it, transactions never touch the
// pool, and an allocation failure anywhere leaves the database as specified.
#include "sdpfixture.h"

#include <random>

#include "kivsdpioctl.h"

namespace {

const uint16_t UuidPool[] = {0x1101, 0x1105, 0x110B, 0x0100, 0x0003, 0x1002, 0x111F, 0x1000};

class CRandom {
public:
    explicit CRandom(uint32_t Seed) : m_Gen(Seed) {}
    uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(m_Gen); }
    bool Coin() { return Below(2) == 0; }

    Bytes Uuid(uint16_t v)
    {
        switch (Below(3)) {
        case 0:
            return Uuid16(v);
        case 1:
            return Cat({{0x1A}, Be32(v)});
        default:
            return Cat({{0x1C},
                        Be32(v),
                        {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}});
        }
    }
    Bytes AnyUuid() { return Uuid(UuidPool[Below(8)]); }
    Bytes Text(uint32_t MaxLen)
    {
        const uint32_t n = Below(MaxLen + 1);
        Bytes t = {0x25, static_cast<uint8_t>(n)};
        for (uint32_t i = 0; i < n; i++)
            t.push_back(static_cast<uint8_t>('a' + Below(26)));
        return t;
    }

    // A realistic record's attributes, IDs ascending.
    std::vector<std::pair<uint16_t, Bytes>> Record()
    {
        std::vector<std::pair<uint16_t, Bytes>> a;
        a.push_back({0x0001, Seq(Coin() ? AnyUuid() : Cat({AnyUuid(), AnyUuid()}))});
        if (Coin())
            a.push_back(
                {0x0004,
                 Seq(Cat({Seq(Uuid(0x0100)),
                          Seq(Cat({Uuid(0x0003), {0x08, static_cast<uint8_t>(Below(30))}}))}))});
        if (Coin()) a.push_back({0x0005, Seq(Uuid(0x1002))});
        if (Coin()) a.push_back({0x0009, Seq(Seq(Cat({AnyUuid(), {0x09, 0x01, 0x02}})))});
        if (Coin()) a.push_back({0x0100, Text(Coin() ? 20 : 200)});
        if (Coin()) a.push_back({static_cast<uint16_t>(0x0200 + Below(16)), {0x28, 0x01}});
        return a;
    }

    // A sorted AttributeIDList of non-overlapping members.
    Bytes IdList()
    {
        static const uint16_t Edges[] = {0x0000, 0x0001, 0x0002, 0x0004, 0x0005, 0x0009,
                                         0x0100, 0x0101, 0x0200, 0x0208, 0x0210, 0xFFFF};
        Bytes Members;
        int Last = -1;
        const uint32_t Count = 1 + Below(3);
        for (uint32_t i = 0; i < Count; i++) {
            const uint32_t Lo = Below(12);
            if (static_cast<int>(Lo) <= Last) continue;
            const uint32_t Hi = Lo + Below(12 - Lo);
            Members = Cat({Members, Lo == Hi ? Id16(Edges[Lo]) : Range(Edges[Lo], Edges[Hi])});
            Last = static_cast<int>(Hi);
        }
        return Seq(Members);
    }
    uint16_t MaxBytes()
    {
        switch (Below(4)) {
        case 0:
            return static_cast<uint16_t>(9 + Below(60));
        case 1:
            return static_cast<uint16_t>(9 + Below(600));
        default:
            return 0xFFFF;
        }
    }

private:
    std::mt19937 m_Gen;
};

} // namespace

class SdpPropertyTest : public SdpCoreFixture {
protected:
    std::vector<uint32_t> Handles;
    // How many checked series were cut into several responses.
    size_t MultiPart = 0;

    void Populate(CRandom& Rng, uint32_t Records)
    {
        for (uint32_t i = 0; i < Records; i++) {
            Handles.push_back(AddRecord());
            for (const auto& a : Rng.Record())
                AddAttr(Handles.back(), a.first, a.second);
        }
    }
    Bytes Pattern(CRandom& Rng)
    {
        if (Rng.Below(5) == 0) return Seq(Rng.Uuid(0x1101));
        return Rng.Coin() ? Seq(Rng.AnyUuid()) : Seq(Cat({Rng.AnyUuid(), Rng.AnyUuid()}));
    }

    // The whole list: one response at 512 when it fits, else its own series.
    Bytes Reference(const std::function<Bytes(const Bytes&)>& Build)
    {
        return FetchSeries(Build, 512);
    }

    void CheckSeries(const std::function<Bytes(const Bytes&)>& Build, const char* What)
    {
        SCOPED_TRACE(What);
        std::vector<Bytes> All;
        const Bytes Joined = FetchSeries(Build, 48, nullptr, &All);
        for (const Bytes& r : All)
            EXPECT_LE(r.size(), 48u);
        ASSERT_FALSE(All.empty());
        if (All.back()[0] == 0x01) {
            // An error ends the series at its first response.
            EXPECT_EQ(All.size(), 1u);
            return;
        }
        if (All.size() > 1) MultiPart++;
        std::vector<Bytes> Big;
        const Bytes Whole = FetchSeries(Build, 512, nullptr, &Big);
        for (const Bytes& r : Big)
            EXPECT_LE(r.size(), 512u);
        EXPECT_EQ(Hex(Joined), Hex(Whole)) << Hex(Build({0}));
        // Totals are the same in every response of a ServiceSearch series.
        if (All[0][0] == 0x03) {
            for (const Bytes& r : All)
                EXPECT_EQ(Bytes(r.begin() + 5, r.begin() + 7),
                          Bytes(All[0].begin() + 5, All[0].begin() + 7));
        }
    }
};

TEST_F(SdpPropertyTest, SeriesAtMtu48JoinToTheWholeAnswerAndNeverExceedTheMtu)
{
    for (uint32_t Seed = 1; Seed <= 40; Seed++) {
        SCOPED_TRACE(Seed);
        CRandom Rng(Seed);
        Populate(Rng, 1 + Rng.Below(12));
        const uint64_t PoolCallsBefore = AllocCalls();
        const uint64_t FreesBefore = Frees;
        for (int q = 0; q < 8; q++) {
            const Bytes Pat = Pattern(Rng);
            const Bytes Ids = Rng.IdList();
            const uint16_t MaxBytes = Rng.MaxBytes();
            const uint32_t hRec =
                Rng.Below(4) == 0 ? 0u : Handles[Rng.Below(static_cast<uint32_t>(Handles.size()))];
            const uint16_t MaxCount = static_cast<uint16_t>(Rng.Coin() ? 0xFFFF : Rng.Below(10));
            CheckSeries([&](const Bytes& c) { return SsReq(1, Pat, MaxCount, c); },
                        "ServiceSearch");
            CheckSeries(
                [&](const Bytes& c) {
                    return SaReq(2, hRec, static_cast<uint16_t>(MaxBytes < 7 ? 7 : MaxBytes), Ids,
                                 c);
                },
                "ServiceAttribute");
            CheckSeries([&](const Bytes& c) { return SsaReq(3, Pat, MaxBytes, Ids, c); },
                        "ServiceSearchAttribute");
        }
        // Browse everything: public browse group root over all attributes.
        CheckSeries(
            [&](const Bytes& c) {
                return SsaReq(4, Seq(Uuid16(0x0100)), 0xFFFF, Seq(Range(0, 0xFFFF)), c);
            },
            "browse");
        EXPECT_EQ(AllocCalls(), PoolCallsBefore) << "a transaction called the pool";
        EXPECT_EQ(Frees, FreesBefore);
        Db.TerminateSdpDatabase();
        ASSERT_EQ(Db.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
        Handles.clear();
    }
    // The generator must keep producing answers that need continuation.
    EXPECT_GT(MultiPart, 200u);
}

TEST_F(SdpPropertyTest, EveryResponseAtEveryMtuFitsAndIsWellFramed)
{
    CRandom Rng(77);
    Populate(Rng, 20);
    for (uint16_t Mtu = 48; Mtu <= 512; Mtu = static_cast<uint16_t>(Mtu + 19)) {
        for (int q = 0; q < 10; q++) {
            const Bytes Req = Rng.Coin() ? SsaReq(5, Pattern(Rng), Rng.MaxBytes(), Rng.IdList())
                                         : SaReq(6, Handles[Rng.Below(20)], 0xFFFF, Rng.IdList());
            const Bytes Rsp = Answer(Req, Mtu);
            ASSERT_GE(Rsp.size(), 5u);
            EXPECT_LE(Rsp.size(), Mtu);
            EXPECT_EQ(size_t(Rsp[3] << 8 | Rsp[4]) + 5, Rsp.size());
        }
    }
}

TEST_F(SdpPropertyTest, ADatabaseChangeInsideASeriesBreaksIt)
{
    CRandom Rng(5);
    Populate(Rng, 10);
    const Bytes Browse = Seq(Uuid16(0x0100));
    const std::function<void()> Changes[] = {
        [&] { AddRecord(); },
        [&] {
            ASSERT_EQ(Db.DeleteServiceRecord(Handles.back()), SDP_STATUS_SUCCESS);
            Handles.pop_back();
        },
        [&] {
            AddAttr(Handles[0], 0x0300, {0x28, 0x00});
        },
        [&] { ASSERT_EQ(Db.DeleteServiceAttribute(Handles[0], 0x0001), SDP_STATUS_SUCCESS); },
    };
    int i = 0;
    for (const auto& Change : Changes) {
        SCOPED_TRACE(i++);
        const Bytes Ss = Answer(SsReq(1, Seq(Uuid16(0x1002)), 0xFFFF), 48);
        const Bytes Sa = Answer(SaReq(2, Handles[0], 0xFFFF, Seq(Range(0, 0xFFFF))), 48);
        const Bytes Ssa = Answer(SsaReq(3, Browse, 0xFFFF, Seq(Range(0, 0xFFFF))), 48);
        ASSERT_EQ(ContinuationOf(Sa).size(), 13u);
        ASSERT_EQ(ContinuationOf(Ssa).size(), 13u);
        Change();
        if (ContinuationOf(Ss).size() == 13) {
            EXPECT_EQ(Answer(SsReq(1, Seq(Uuid16(0x1002)), 0xFFFF, ContinuationOf(Ss)), 48),
                      ErrorPdu(1, 5));
        }
        EXPECT_EQ(
            Answer(SaReq(2, Handles[0], 0xFFFF, Seq(Range(0, 0xFFFF)), ContinuationOf(Sa)), 48),
            ErrorPdu(2, 5));
        EXPECT_EQ(Answer(SsaReq(3, Browse, 0xFFFF, Seq(Range(0, 0xFFFF)), ContinuationOf(Ssa)), 48),
                  ErrorPdu(3, 5));
    }
}

TEST_F(SdpPropertyTest, ForgedContinuationStatesNeverReadOutsideTheValues)
{
    CRandom Rng(11);
    Populate(Rng, 6);
    for (int q = 0; q < 400; q++) {
        const uint32_t hRec = Rng.Coin() ? Handles[Rng.Below(6)] : Rng.Below(0x20000);
        const uint16_t AttId =
            static_cast<uint16_t>(Rng.Coin() ? Rng.Below(0x300) : Rng.Below(0x10000));
        const uint16_t Offset = static_cast<uint16_t>(Rng.Below(Rng.Coin() ? 8 : 0x10000));
        const Bytes St = State(Db.DatabaseChangeCount, hRec, AttId, Offset);
        const uint16_t Mtu = static_cast<uint16_t>(48 + Rng.Below(465));
        const Bytes Rsp =
            Rng.Coin() ? Answer(SsaReq(7, Seq(Uuid16(0x0100)), 0xFFFF, Rng.IdList(), St), Mtu)
                       : Answer(SaReq(8, Handles[Rng.Below(6)], 0xFFFF, Rng.IdList(), St), Mtu);
        ASSERT_GE(Rsp.size(), 5u);
        EXPECT_LE(Rsp.size(), Mtu);
        if (Rsp[0] == 0x01) {
            const uint16_t Code = static_cast<uint16_t>(Rsp[5] << 8 | Rsp[6]);
            EXPECT_TRUE(Code == 5) << Hex(Rsp);
        }
    }
}

// ---- Allocation failures ----

namespace {

struct SNAPSHOT {
    std::vector<std::vector<std::pair<uint16_t, Bytes>>> Records;
    uint32_t Change, Next, Outstanding, Total;
    bool operator==(const SNAPSHOT& o) const
    {
        return Records == o.Records && Change == o.Change && Next == o.Next &&
               Outstanding == o.Outstanding && Total == o.Total;
    }
};

SNAPSHOT Snap(const CSdpDatabase& Db)
{
    SNAPSHOT s = {{},
                  Db.DatabaseChangeCount,
                  Db.NextRecordHandle,
                  Db.OutstandingAllocations,
                  Db.TotalAllocations};
    for (const SERVICE_RECORD* r = Db.RecordList; r; r = r->Next) {
        s.Records.emplace_back();
        for (const SERVICE_ATTRIBUTE* a = r->AttributeList; a; a = a->Next)
            s.Records.back().push_back(
                {a->AttributeId, Bytes(a->Value, a->Value + GetDataElementSize(a->Value, 5))});
    }
    return s;
}

// Applies the increment rule of a state attribute to a snapshot's record.
void Bump(std::vector<std::pair<uint16_t, Bytes>>& Record, uint16_t Id)
{
    for (auto& a : Record) {
        if (a.first != Id || a.second[0] != 0x0A) continue;
        for (int i = 4; i >= 1; i--)
            if (++a.second[size_t(i)] != 0) break;
    }
}

} // namespace

TEST_F(SdpPropertyTest, AllocationFailureInAnyOperationLeavesTheSpecifiedState)
{
    CRandom Rng(3);
    for (int Step = 0; Step < 120; Step++) {
        SCOPED_TRACE(Step);
        const uint32_t Op = Handles.empty() ? 0 : Rng.Below(4);
        uint32_t hRec =
            Handles.empty() ? 0 : Handles[Rng.Below(static_cast<uint32_t>(Handles.size()))];
        uint16_t AttId = static_cast<uint16_t>(Rng.Coin() ? 0x0002 : 0x0100 + Rng.Below(8));
        Bytes Value = Rng.Coin()
                          ? Bytes{0x0A, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(0xFE + Rng.Below(2))}
                          : Rng.Text(30);

        // Run the operation failing at each allocation in turn, then whole.
        for (int Fail = 0;; Fail++) {
            const SNAPSHOT Before = Snap(Db);
            ResetAllocIndex();
            FailAt = Fail;
            SDP_STATUS Status = SDP_STATUS_SUCCESS;
            uint32_t Made = 0;
            switch (Op) {
            case 0: {
                uint8_t Out[4];
                SDP_IOCTL_BUFFER Io = {Out, 0, 4, 0};
                Status = Db.UserIoctlAddRecord(Io);
                Made = uint32_t(Out[0]) | uint32_t(Out[1]) << 8 | uint32_t(Out[2]) << 16 |
                       uint32_t(Out[3]) << 24;
                break;
            }
            case 1:
                Status = Db.AddNewServiceAttribute(hRec, AttId, Value.data(),
                                                   static_cast<uint32_t>(Value.size()), true);
                break;
            case 2:
                Status = Db.DeleteServiceAttribute(hRec, AttId);
                break;
            default:
                Status = Db.DeleteServiceRecord(hRec);
                break;
            }
            const uint64_t Calls = AllocCalls();
            FailAt = -1;
            if (static_cast<uint64_t>(Fail) >= Calls) {
                // Nothing failed: the operation ran whole.
                if (Op == 0) {
                    ASSERT_EQ(Status, SDP_STATUS_SUCCESS);
                    Handles.push_back(Made);
                } else if (Op == 3 && Status == SDP_STATUS_SUCCESS) {
                    Handles.erase(std::find(Handles.begin(), Handles.end(), hRec));
                }
                if (Op >= 2) {
                    EXPECT_EQ(Calls, 0u) << "deleting allocated";
                }
                break;
            }
            ASSERT_EQ(Status, SDP_STATUS_INSUFFICIENT_RESOURCES);
            SNAPSHOT Expected = Before;
            if (Op == 0) {
                Expected.Next++;
                if (Fail > 0) {
                    // Made and freed again: two changes, two database-state bumps.
                    Expected.Change += 2;
                    Expected.Total += 1; // the record block; a released node never counted
                    Bump(Expected.Records[0], SDP_ATTR_SERVICE_DATABASE_STATE);
                    Bump(Expected.Records[0], SDP_ATTR_SERVICE_DATABASE_STATE);
                }
            } else {
                ASSERT_EQ(Op, 1u);
                size_t r = 0;
                for (; r < Expected.Records.size(); r++)
                    if (Expected.Records[r][0].second == Cat({{0x0A}, Be32(hRec)})) break;
                ASSERT_LT(r, Expected.Records.size());
                Bump(Expected.Records[r], SDP_ATTR_SERVICE_RECORD_STATE);
            }
            EXPECT_EQ(Snap(Db), Expected) << "failing allocation " << Fail;
            EXPECT_EQ(Live(), Db.OutstandingAllocations);
        }
    }
}
