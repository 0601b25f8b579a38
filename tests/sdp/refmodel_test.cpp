// The reference model against answers computed by hand (lengths, byte counts and the
// continuation states of a series), so that it is anchored to them and not only to agreeing
// with the core.
#include "refmodel.h"

#include <gtest/gtest.h>

using refmodel::Bytes;
using refmodel::CRefModel;

namespace {

Bytes Cat(std::initializer_list<Bytes> Parts)
{
    Bytes Out;
    for (const Bytes& p : Parts)
        Out.insert(Out.end(), p.begin(), p.end());
    return Out;
}

Bytes Pdu(uint8_t Id, const Bytes& Params)
{
    return Cat({{Id, 0x12, 0x34, uint8_t(Params.size() >> 8), uint8_t(Params.size())}, Params});
}

Bytes Err(uint16_t Code)
{
    return {0x01, 0x12, 0x34, 0x00, 0x06, uint8_t(Code >> 8), uint8_t(Code), 0, 0, 0, 0};
}

uint32_t NewRecord(CRefModel& m)
{
    Bytes Out;
    EXPECT_EQ(m.AddRecord(Out), 0u);
    return uint32_t(Out[0]) | uint32_t(Out[1]) << 8 | uint32_t(Out[2]) << 16 |
           uint32_t(Out[3]) << 24;
}

void Add(CRefModel& m, uint32_t h, uint16_t Id, const Bytes& v)
{
    Bytes Out;
    ASSERT_EQ(m.AddAttr(h, Id, v, Out), 0u);
}

Bytes Text(size_t Total)
{
    Bytes t(Total, 'x');
    t[0] = 0x26;
    t[1] = uint8_t((Total - 3) >> 8);
    t[2] = uint8_t(Total - 3);
    return t;
}

struct MODEL_CASE {
    const char* Name;
    Bytes Req;
    uint32_t Mtu;
    Bytes Rsp;
};

TEST(RefModel, AnswersTheServerRecordByHand)
{
    const MODEL_CASE Cases[] = {
        {"search for the SDP server class",
         Pdu(0x02, {0x35, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x00}),
         48,
         {0x03, 0x12, 0x34, 0x00, 0x09, 0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0x00}},
        {"class list of record 0",
         Pdu(0x04, {0, 0, 0, 0, 0xFF, 0xFF, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48,
         {0x05, 0x12, 0x34, 0x00, 0x0E, 0x00, 0x0B, 0x36, 0x00, 0x08, 0x09, 0x00, 0x01, 0x35, 0x03,
          0x19, 0x10, 0x00, 0x00}},
        {"unknown handle wins over a bad list", Pdu(0x04, {0, 0, 0, 5, 0x00, 0x01, 0x3D}), 48,
         Err(2)},
        {"MaxByteCount 7 gives the empty list",
         Pdu(0x04, {0, 0, 0, 0, 0x00, 0x07, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48,
         {0x05, 0x12, 0x34, 0x00, 0x06, 0x00, 0x03, 0x36, 0x00, 0x00, 0x00}},
        {"MaxByteCount 6", Pdu(0x04, {0, 0, 0, 0, 0x00, 0x06, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48, Err(3)},
        {"ID list as an alternative",
         Pdu(0x04, {0, 0, 0, 0, 0xFF, 0xFF, 0x3D, 0x03, 0x09, 0x00, 0x01, 0x00}), 48, Err(3)},
        {"continuation length 0x0D",
         Pdu(0x04, {0, 0, 0, 0, 0xFF, 0xFF, 0x35, 0x03, 0x09, 0x00, 0x01, 0x0D}), 48, Err(5)},
        {"one byte after the continuation",
         Pdu(0x04, {0, 0, 0, 0, 0xFF, 0xFF, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00, 0x00}), 48, Err(3)},
        {"search one byte too long",
         Pdu(0x02, {0x35, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x00, 0x00}), 48, Err(4)},
        {"cut UUID", Pdu(0x02, {0x35, 0x02, 0x19, 0x10, 0xFF, 0xFF, 0x00}), 48, Err(3)},
        {"search for an integer", Pdu(0x02, {0x35, 0x03, 0x09, 0x11, 0x01, 0xFF, 0xFF, 0x00}), 48,
         Err(3)},
        {"continuation length 4",
         Pdu(0x02, {0x35, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x04, 1, 2, 3, 4}), 48, Err(5)},
        {"MaxByteCount 8",
         Pdu(0x06, {0x35, 0x03, 0x19, 0x10, 0x00, 0x00, 0x08, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48, Err(3)},
        {"UUID list as an alternative",
         Pdu(0x06, {0x3D, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48, Err(3)},
        {"no continuation length byte",
         Pdu(0x06, {0x35, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x35, 0x03, 0x09, 0x00, 0x01}), 48,
         Err(3)},
        {"MaxByteCount 9 lets nothing in",
         Pdu(0x06, {0x35, 0x03, 0x19, 0x10, 0x00, 0x00, 0x09, 0x35, 0x03, 0x09, 0x00, 0x01, 0x00}),
         48,
         {0x07, 0x12, 0x34, 0x00, 0x06, 0x00, 0x03, 0x36, 0x00, 0x00, 0x00}},
        {"PDU ID 0x08", {0x08, 0x12, 0x34, 0x00, 0x00}, 48, Err(3)},
    };
    for (const MODEL_CASE& c : Cases) {
        SCOPED_TRACE(c.Name);
        CRefModel m;
        EXPECT_EQ(m.Answer(c.Req, c.Mtu), c.Rsp);
    }
}

TEST(RefModel, KeepsTheChangeCountsAndStateAttributes)
{
    CRefModel m;
    EXPECT_EQ(m.ChangeCount(), 5u);
    EXPECT_EQ(NewRecord(m), 0x00010000u);
    EXPECT_EQ(NewRecord(m), 0x00010001u);
    Bytes Out;
    EXPECT_EQ(m.DelRecord(0x00010000, Out), 0u);
    EXPECT_EQ(NewRecord(m), 0x00010002u);
    EXPECT_EQ(m.Records()[0].Attributes[3].Value, (Bytes{0x0A, 0, 0, 0, 4}));
    EXPECT_EQ(m.DelRecord(0, Out), refmodel::REF_STATUS_INVALID_PARAMETER);
    Add(m, 0x00010001, 0x0100, {0x08, 0x01});
    Add(m, 0x00010001, 0x0004, {0x08, 0x02});
    Add(m, 0x00010001, 0x0009, {0x08, 0x03});
    std::vector<uint16_t> Ids;
    for (const auto& a : m.Records()[1].Attributes)
        Ids.push_back(a.Id);
    EXPECT_EQ(Ids, (std::vector<uint16_t>{0x0000, 0x0004, 0x0009, 0x0100}));
    EXPECT_EQ(m.AddAttr(0x00010001, 0x0004, {0x08, 0x01}, Out),
              refmodel::REF_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m.AddAttr(0x00010001, 0x0005, {0x09, 0x01}, Out),
              refmodel::REF_STATUS_INVALID_PARAMETER);
    Add(m, 0x00010001, 0x0002, {0x0A, 0xFF, 0xFF, 0xFF, 0xFF});
    Add(m, 0x00010001, 0x0003, {0x08, 0x00});
    EXPECT_EQ(m.Records()[1].Attributes[1].Value, (Bytes{0x0A, 0, 0, 0, 0}));
}

TEST(RefModel, AnswersATwoRecordSearchAttributeByHand)
{
    CRefModel m;
    const uint32_t h = NewRecord(m);
    Add(m, h, 0x0001, {0x35, 0x03, 0x19, 0x11, 0x01});
    const Bytes Req = Pdu(0x06, {0x35, 0x03, 0x19, 0x11, 0x01, 0xFF, 0xFF, 0x35, 0x05, 0x0A, 0x00,
                                 0x00, 0xFF, 0xFF, 0x00});
    const Bytes Want = {0x07, 0x12, 0x34, 0x00, 0x19, 0x00, 0x16, 0x36, 0x00, 0x13,
                        0x36, 0x00, 0x10, 0x09, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00,
                        0x00, 0x09, 0x00, 0x01, 0x35, 0x03, 0x19, 0x11, 0x01, 0x00};
    EXPECT_EQ(m.Answer(Req, 512), Want);
    EXPECT_EQ(m.Answer(Req, 58), Want);
}

// Follows a series to its end and returns every response.
std::vector<Bytes> Series(CRefModel& m, const std::function<Bytes(const Bytes&)>& Build,
                          uint32_t Mtu)
{
    std::vector<Bytes> All;
    Bytes Cont = {0x00};
    while (All.size() < 100) {
        All.push_back(m.Answer(Build(Cont), Mtu));
        const Bytes& r = All.back();
        const size_t At =
            r[0] == 0x03 ? 9 + 4 * size_t(r[7] << 8 | r[8]) : 7 + size_t(r[5] << 8 | r[6]);
        if (r[0] == 0x01 || r[At] == 0x00) break;
        Cont.assign(r.begin() + long(At), r.end());
    }
    return All;
}

TEST(RefModel, CutsALongValueIntoTwentySevenResponsesAtMtu48)
{
    CRefModel m;
    const uint32_t h = NewRecord(m);
    Add(m, h, 0x0001, {0x0A, 1, 2, 3, 4});
    Add(m, h, 0x0100, Text(300));
    auto Build = [h](const Bytes& Cont) {
        return Pdu(0x04, Cat({{uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h),
                               0xFF, 0xFF, 0x35, 0x05, 0x0A, 0x00, 0x00, 0xFF, 0xFF},
                              Cont}));
    };
    const std::vector<Bytes> One = Series(m, Build, 512);
    ASSERT_EQ(One.size(), 1u);
    EXPECT_EQ(One[0].size(), 330u);
    EXPECT_EQ(Bytes(One[0].begin() + 5, One[0].begin() + 10),
              (Bytes{0x01, 0x42, 0x36, 0x01, 0x3F}));

    const std::vector<Bytes> Cut = Series(m, Build, 48);
    ASSERT_EQ(Cut.size(), 27u);
    EXPECT_EQ(Cut[0].size(), 35u);
    // The first state resumes attribute 0x0001 after one byte, the second
    // attribute 0x0100 after five.
    EXPECT_EQ(Bytes(Cut[0].end() - 4, Cut[0].end()), (Bytes{0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(Bytes(Cut[1].end() - 4, Cut[1].end()), (Bytes{0x00, 0x01, 0x05, 0x00}));
    for (size_t i = 2; i < 26; i++)
        EXPECT_EQ(Cut[i][6], 12u) << i;
    EXPECT_EQ(Cut[26][6], 7u);
    Bytes Joined;
    for (const Bytes& r : Cut)
        Joined.insert(Joined.end(), r.begin() + 7, r.begin() + 7 + (r[5] << 8 | r[6]));
    EXPECT_EQ(Joined, Bytes(One[0].begin() + 7, One[0].end() - 1));
}

TEST(RefModel, ListsSixHandlesPerResponseAtTheSmallestMtu)
{
    CRefModel m;
    for (int i = 0; i < 8; i++)
        Add(m, NewRecord(m), 0x0001, {0x35, 0x03, 0x19, 0x11, 0x01});
    auto Build = [](const Bytes& Cont) {
        return Pdu(0x02, Cat({{0x35, 0x03, 0x19, 0x11, 0x01, 0xFF, 0xFF}, Cont}));
    };
    const std::vector<Bytes> All = Series(m, Build, 48);
    ASSERT_EQ(All.size(), 2u);
    EXPECT_EQ(All[0].size(), 46u);
    EXPECT_EQ(Bytes(All[0].begin() + 3, All[0].begin() + 9), (Bytes{0x00, 0x29, 0, 8, 0, 6}));
    EXPECT_EQ(All[1].size(), 18u);
}

} // namespace
