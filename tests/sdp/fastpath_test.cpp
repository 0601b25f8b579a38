// The search index and the series memo against the list walk they stand in
// for: every request is answered twice, fast path on and off, and the two
// answers and the lines printed must be the same, byte for byte.
#include <cstring>
#include <functional>

#include "sdpfixture.h"

namespace {

struct ANSWER {
    Bytes Pdu;
    std::vector<PRINTED_LINE> Lines;
};

class FastPathTest : public SdpCoreFixture {
protected:
    // A database of Records realistic records; every third has a 200-byte
    // name so values are cut across responses, every fifth no L2CAP UUID.
    void Populate(unsigned Records)
    {
        for (unsigned i = 0; i < Records; i++) {
            const uint32_t h = AddRecord();
            Handles.push_back(h);
            AddAttr(h, 0x0001, Seq(Uuid16(static_cast<uint16_t>(0x1101 + i % 7))));
            if (i % 5 != 4)
                AddAttr(h, 0x0004, Seq(Cat({Seq(Uuid16(0x0100)), Seq(Uuid16(0x0003))})));
            AddAttr(h, 0x0005, Seq(Uuid16(0x1002)));
            const size_t NameLen = i % 3 == 0 ? 200 : 9;
            AddAttr(h, 0x0100,
                    Cat({{0x25, static_cast<uint8_t>(NameLen)},
                         Bytes(NameLen, static_cast<uint8_t>('a' + i % 26))}));
        }
    }

    // One request answered by the walk, then by the fast path; both must agree.
    Bytes Both(const Bytes& Request, uint16_t Mtu)
    {
        ANSWER Slow = AnswerWith(false, Request, Mtu);
        ANSWER Fast = AnswerWith(true, Request, Mtu);
        EXPECT_EQ(Hex(Fast.Pdu), Hex(Slow.Pdu)) << "request " << Hex(Request);
        EXPECT_EQ(Fast.Lines.size(), Slow.Lines.size()) << "request " << Hex(Request);
        for (size_t i = 0; i < Fast.Lines.size() && i < Slow.Lines.size(); i++)
            EXPECT_EQ(Fast.Lines[i].Text, Slow.Lines[i].Text) << i;
        return Fast.Pdu;
    }

    ANSWER AnswerWith(bool FastPath, const Bytes& Request, uint16_t Mtu)
    {
        Db.SetFastPath(FastPath);
        ClearPrints();
        ANSWER a;
        a.Pdu = Direct(Request, Mtu);
        a.Lines = Lines;
        Db.SetFastPath(true);
        return a;
    }

    // A whole series, each response from both paths, each state sent back.
    size_t Series(const std::function<Bytes(const Bytes&)>& Build, uint16_t Mtu)
    {
        Bytes Cont = {0x00};
        size_t Count = 0;
        for (; Count < 3000; Count++) {
            const Bytes Rsp = Both(Build(Cont), Mtu);
            if (Rsp.empty() || Rsp[0] == 0x01) break;
            Cont = ContinuationOf(Rsp);
            if (Cont.empty() || Cont[0] == 0x00) break;
        }
        return Count + 1;
    }

    std::vector<uint32_t> Handles;
};

const Bytes AllIds = Seq(Range(0x0000, 0xFFFF));

TEST_F(FastPathTest, SeriesOfEveryTransactionMatchTheWalk)
{
    Populate(40);
    struct CASE {
        const char* Name;
        std::function<Bytes(const Bytes&)> Build;
    };
    const CASE Cases[] = {
        {"browse",
         [](const Bytes& c) { return SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, c); }},
        {"browse by 128-bit UUID",
         [](const Bytes& c) {
             return SsaReq(2,
                           Seq(Cat({{0x1C, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                     0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}})),
                           0xFFFF, AllIds, c);
         }},
        {"two UUIDs, MaxByteCount reached mid-list",
         [](const Bytes& c) {
             return SsaReq(3, Seq(Cat({Uuid16(0x0100), Uuid16(0x1002)})), 900, AllIds, c);
         }},
        {"ID list of single IDs and ranges",
         [](const Bytes& c) {
             return SsaReq(4, Seq(Uuid16(0x0003)), 0xFFFF,
                           Seq(Cat({Id16(0x0000), Range(0x0004, 0x0005), Id16(0x0100)})), c);
         }},
        {"ID list out of order",
         [](const Bytes& c) {
             return SsaReq(5, Seq(Uuid16(0x0100)), 0xFFFF, Seq(Cat({Id16(0x0100), Id16(0x0001)})),
                           c);
         }},
        {"no record matches",
         [](const Bytes& c) { return SsaReq(6, Seq(Uuid16(0x4444)), 0xFFFF, AllIds, c); }},
        {"service search", [](const Bytes& c) { return SsReq(7, Seq(Uuid16(0x0100)), 0xFFFF, c); }},
        {"service search, two UUIDs",
         [](const Bytes& c) {
             return SsReq(8, Seq(Cat({Uuid16(0x1002), Uuid16(0x1103)})), 20, c);
         }},
        {"service attribute of a long record",
         [this](const Bytes& c) { return SaReq(9, Handles[3], 0xFFFF, AllIds, c); }},
    };
    for (const CASE& c : Cases) {
        SCOPED_TRACE(c.Name);
        for (uint16_t Mtu : {48, 49, 100, 512}) {
            SCOPED_TRACE(Mtu);
            EXPECT_GE(Series(c.Build, Mtu), 1u);
        }
    }
    // The same with every zone on: the walk runs, and traces as it always did.
    SdpSetZoneMask(0xFF);
    for (const CASE& c : Cases)
        Series(c.Build, 48);
}

// States a client made up: records that exist or not, IDs and offsets
// anywhere, MaxByteCount reached before the named record.
TEST_F(FastPathTest, ForgedStatesAnswerAsTheWalk)
{
    Populate(12);
    const uint32_t Ch = Db.DatabaseChangeCount;
    std::vector<uint32_t> Targets = {0, 1, 0xFFFFFFFFu};
    for (uint32_t h : Handles) {
        Targets.push_back(h);
        Targets.push_back(h + 1000);
    }
    for (uint32_t h : Targets) {
        for (uint16_t AttId : {0x0000, 0x0004, 0x0100, 0xFFFF}) {
            for (uint16_t Offset : {0, 1, 8, 199, 200, 250}) {
                const Bytes Cont = State(Ch, h, AttId, Offset);
                Both(SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, Cont), 48);
                Both(SsaReq(2, Seq(Uuid16(0x0100)), 300, AllIds, Cont), 64);
                Both(SsaReq(3, Seq(Uuid16(0x1002)), 0xFFFF,
                            Seq(Cat({Id16(0x0100), Range(0x0000, 0x0005)})), Cont),
                     48);
                Both(SaReq(4, h, 0xFFFF, AllIds, Cont), 48);
                Both(SsReq(5, Seq(Uuid16(0x0100)), 0xFFFF, Cont), 48);
            }
        }
    }
}

// More series at once than the memo keeps, interleaved; then a change to the
// database in the middle of them.
TEST_F(FastPathTest, InterleavedSeriesAndChangesMatchTheWalk)
{
    Populate(30);
    const uint16_t Limits[] = {0xFFFF, 2000, 1500, 1000, 700, 400};
    Bytes Conts[6];
    for (Bytes& c : Conts)
        c = {0x00};
    bool Open[6] = {true, true, true, true, true, true};
    for (int Round = 0; Round < 400; Round++) {
        const int i = Round % 6;
        if (!Open[i]) continue;
        const Bytes Rsp =
            Both(SsaReq(1, Seq(Uuid16(0x0100)), Limits[i], AllIds, Conts[i]), 48 + 8 * i);
        if (Rsp[0] != 0x07 || ContinuationOf(Rsp) == Bytes{0x00}) Open[i] = false;
        Conts[i] = ContinuationOf(Rsp);
        if (Round == 200) {
            // The states in flight go stale: both paths refuse them alike.
            AddAttr(Handles[7], 0x0200, {0x08, 0x01});
            const Bytes Stale = Both(SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, Conts[0]), 48);
            if (Open[0]) {
                EXPECT_EQ(Stale, ErrorPdu(1, 0x05));
            }
            for (Bytes& c : Conts)
                c = {0x00};
            for (bool& o : Open)
                o = true;
        }
    }
    // A record deleted and its handle's neighbours asked for.
    ASSERT_EQ(Db.DeleteServiceRecord(Handles[5]), SDP_STATUS_SUCCESS);
    Series([](const Bytes& c) { return SsaReq(2, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, c); }, 48);
    Both(SaReq(3, Handles[5], 0xFFFF, AllIds), 48);
    Both(SaReq(4, Handles[6], 0xFFFF, AllIds), 48);
}

// Records the index cannot stand for are walked: a handle that is no 32-bit
// integer, records out of handle order.
TEST_F(FastPathTest, RecordsTheIndexCannotStandForAreWalked)
{
    Populate(6);
    ASSERT_EQ(Db.CreateServiceRecord(0x00010001), SDP_STATUS_SUCCESS); // out of order, a twin
    AddAttr(0x00010001, 0x0200, Seq(Seq(Uuid16(0x0100))));
    Series([](const Bytes& c) { return SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, c); }, 48);
    Both(SaReq(2, 0x00010001, 0xFFFF, AllIds), 48);

    SERVICE_ATTRIBUTE* pHandle = Db.RecordList->Next->Next->AttributeList;
    pHandle->Value[0] = 0x1A; // found by its size, unreadable as a handle
    // A change after the edit makes the database look again.
    AddAttr(Handles[0], 0x0300, {0x08, 0x01});
    Both(SaReq(3, Handles[1], 0xFFFF, AllIds), 48);
    Series([](const Bytes& c) { return SsReq(4, Seq(Uuid16(0x0100)), 0xFFFF, c); }, 48);
    pHandle->Value[0] = 0x0A;
}

// No transaction takes a pool block, fast or not, memo built or used.
TEST_F(FastPathTest, TransactionsAllocateNothing)
{
    Populate(20);
    const uint64_t Before = AllocCalls();
    Series([](const Bytes& c) { return SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, c); }, 48);
    Series([this](const Bytes& c) { return SaReq(2, Handles[0], 0xFFFF, AllIds, c); }, 48);
    Series([](const Bytes& c) { return SsReq(3, Seq(Uuid16(0x1002)), 0xFFFF, c); }, 48);
    EXPECT_EQ(AllocCalls(), Before);
}

} // namespace
