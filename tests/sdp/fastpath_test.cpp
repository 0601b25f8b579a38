// The search index and the series memo against the list walk they stand in
// for, where the reference model cannot reach: records the index cannot stand
// for, the tracing zones, and the pool. Every request is answered twice, fast
// path on and off, and the two answers and the lines printed must be the
// same, byte for byte. Series, forged states and database changes in between
// are the differential test's, whose core runs with the fast path on.
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

// With the search or database zone on, the walk runs and traces as it always did.
TEST_F(FastPathTest, TracingZonesTakeTheWalk)
{
    Populate(20);
    SdpSetZoneMask(0xFF);
    Series([](const Bytes& c) { return SsaReq(1, Seq(Uuid16(0x0100)), 0xFFFF, AllIds, c); }, 48);
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
