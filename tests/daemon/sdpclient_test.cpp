// kivsdpctl's request PDUs against hand-worked bytes, response parsing and its refusals, and the
// command-line values.
#include <gtest/gtest.h>

#include "HexBytes.h"
#include "sdpclient.h"

#include <string>
#include <vector>

using namespace kivctl;
using BYTES = std::vector<uint8_t>;

TEST(SdpClientRequests, HandWorkedBytes)
{
    struct CASE {
        const char* Name;
        BYTES Got;
        const char* Want;
    } Cases[] = {
        {"search one uuid16",
         SearchRequest(0x0041, 0x0001, {kivtool::MakeUuid16(0x1101)}, 0xFFFF, {}),
         "4100 02 0001 0008 3503191101 ffff 00"},
        {"search with continuation",
         SearchRequest(0x0040, 0x1234, {kivtool::MakeUuid16(0x0100)}, 10, Hex("0102")),
         "4000 02 1234 000a 3503190100 000a 02 0102"},
        {"attribute single id and range, in the given order",
         AttrRequest(0x0040, 2, 0x00010001, 0x0040, {{0x0100, 0x0100}, {0x0001, 0x0004}}, {}),
         "4000 04 0002 0011 00010001 0040 3508 090100 0a00010004 00"},
        {"search attribute all",
         SearchAttrRequest(0x0040, 3, {kivtool::MakeUuid16(0x1002)}, 0xFFFF, {AttrRange{}}, {}),
         "4000 06 0003 000f 3503191002 ffff 35050a0000ffff 00"},
    };
    for (const CASE& C : Cases)
        EXPECT_EQ(C.Got, Hex(C.Want)) << C.Name;
}

TEST(SdpClientResponses, Refusals)
{
    struct CASE {
        const char* Pdu;
        uint8_t Expected;
        const char* Why;
    } Cases[] = {
        {"03 0001", PDU_SEARCH_RESPONSE, "shorter than a PDU header"},
        {"03 0001 0005 0000 0000", PDU_SEARCH_RESPONSE, "disagrees with its header"},
        {"03 0002 0005 0000 0000 00", PDU_SEARCH_RESPONSE, "transaction 0x0002"},
        {"01 0001 0002 0003", PDU_SEARCH_RESPONSE, "error 0x0003"},
        {"07 0001 0003 0000 00", PDU_SEARCH_RESPONSE, "PDU 0x07"},
        {"03 0001 0009 0002 0002 00010000 00", PDU_SEARCH_RESPONSE, "handle count"},
        {"05 0001 0004 0005 3500", PDU_ATTR_RESPONSE, "byte count"},
        {"05 0001 0005 0001 35 02 00", PDU_ATTR_RESPONSE, "continuation"},
        {"05 0001 0014 0000 11 000102030405060708090a0b0c0d0e0f10", PDU_ATTR_RESPONSE,
         "continuation"},
    };
    for (const CASE& C : Cases) {
        BYTES Pdu = Hex(C.Pdu);
        Response R;
        R.TotalRecords = 99;
        std::string Err;
        EXPECT_FALSE(ParseResponse(Pdu.data(), Pdu.size(), C.Expected, 1, R, Err)) << C.Pdu;
        EXPECT_NE(Err.find(C.Why), std::string::npos) << C.Pdu << ": " << Err;
        EXPECT_EQ(R.TotalRecords, 99) << "output written on refusal: " << C.Pdu;
    }
}

TEST(SdpClientResponses, AttributeLists)
{
    std::vector<kivtool::ServiceRecord> Records;
    std::string Err;
    // Two records: {0x0000: uint32 0x10000, 0x0100: text "A"} and {0x0001: seq{uuid 0x1101}}.
    ASSERT_TRUE(ParseAttributeLists(
        Hex("351a 350e 0900000a00010000 0901002501 41 3508 0900013503191101"), Records, Err))
        << Err;
    ASSERT_EQ(Records.size(), 2u);
    EXPECT_EQ(Records[0].Handle(), 0x00010000u);
    ASSERT_NE(Records[0].Find(0x0100), nullptr);
    EXPECT_EQ(Records[0].Find(0x0100)->Data, BYTES{'A'});
    EXPECT_EQ(Records[1].Attributes.size(), 1u);

    for (const char* Bad : {"3503 090000",         // odd member count
                            "3506 3504 0800 0801", // ID not uint16
                            "0800",                // not a sequence
                            "3504 350309"}) {      // cut short
        Records.clear();
        EXPECT_FALSE(ParseAttributeLists(Hex(Bad), Records, Err)) << Bad;
        EXPECT_TRUE(Records.empty()) << Bad;
    }
}

TEST(SdpClientValues, UuidsRangesNumbers)
{
    kivtool::DataElement U;
    ASSERT_TRUE(ParseUuid("0x1101", U));
    EXPECT_EQ(U, kivtool::MakeUuid16(0x1101));
    ASSERT_TRUE(ParseUuid("1101", U));
    EXPECT_EQ(U, kivtool::MakeUuid16(0x1101));
    ASSERT_TRUE(ParseUuid("0x00011101", U));
    EXPECT_EQ(U, kivtool::MakeUuid32(0x00011101));
    ASSERT_TRUE(ParseUuid("00001101-0000-1000-8000-00805f9b34fb", U));
    EXPECT_EQ(U.Data, Hex("00001101 0000 1000 8000 00805f9b34fb"));
    for (const char* Bad : {"", "xyz", "0x100000000", "00001101-0000-1000-8000-00805f9b34f",
                            "00001101+0000-1000-8000-00805f9b34fb", "-1"})
        EXPECT_FALSE(ParseUuid(Bad, U)) << Bad;

    AttrRange R;
    ASSERT_TRUE(ParseRange("0x0100", R));
    EXPECT_EQ(R.First, 0x0100);
    EXPECT_EQ(R.Last, 0x0100);
    ASSERT_TRUE(ParseRange("0x0000-0xffff", R));
    EXPECT_EQ(R.Last, 0xFFFF);
    for (const char* Bad : {"", "0x10000", "5-4", "1-", "-1", "a-b"})
        EXPECT_FALSE(ParseRange(Bad, R)) << Bad;

    uint64_t N = 0;
    EXPECT_TRUE(ParseNumber("0x10", 0xFF, N));
    EXPECT_EQ(N, 16u);
    for (const char* Bad : {"", "-1", "+1", " 1", "0x100", "12abc", "99999999999999999999"})
        EXPECT_FALSE(ParseNumber(Bad, 0xFF, N)) << Bad;
}

TEST(SdpClientValues, TypedAttributeValues)
{
    struct CASE {
        const char* Text;
        const char* Encoded; // null: refused
    } Cases[] = {
        {"uint8:0xff", "08ff"},
        {"uint16:4660", "091234"},
        {"uint32:0x10000", "0a00010000"},
        {"uint64:1", "0b0000000000000001"},
        {"int8:-3", "10fd"},
        {"int16:-32768", "118000"},
        {"uuid:0x1101", "191101"},
        {"text:Hi", "25024869"},
        {"url:http://a", "4508687474703a2f2f61"},
        {"bool:true", "2801"},
        {"nil", "00"},
        {"hex:35 03 19 01 00", "3503190100"},
        {"uint8:256", nullptr},
        {"int8:128", nullptr},
        {"int16:", nullptr},
        {"bool:yes", nullptr},
        {"hex:3504190100", nullptr},
        {"hex:zz", nullptr},
        {"float:1", nullptr},
        {"uint16", nullptr},
    };
    for (const CASE& C : Cases) {
        kivtool::DataElement De;
        std::string Err;
        bool Ok = ParseValue(C.Text, De, Err);
        EXPECT_EQ(Ok, C.Encoded != nullptr) << C.Text << ": " << Err;
        if (!Ok) {
            EXPECT_FALSE(Err.empty()) << C.Text;
            continue;
        }
        BYTES Bytes;
        ASSERT_TRUE(bool(kivtool::EncodeDataElement(De, Bytes))) << C.Text;
        EXPECT_EQ(Bytes, Hex(C.Encoded)) << C.Text;
    }
}
