// UUID matching: the canonical 128-bit comparison and the walk through a
// record's values.
#include "sdpfixture.h"

#include "kivsdpioctl.h"

namespace {

const Bytes Base1101 = {0x1C, 0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00,
                        0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

struct UUID_CASE {
    const char* Name;
    Bytes Stored;
    Bytes Wanted;
    bool Equal;
};

const UUID_CASE UuidPairs[] = {
    {"16 vs 16", {0x19, 0x11, 0x01}, {0x19, 0x11, 0x01}, true},
    {"16 vs 32", {0x19, 0x11, 0x01}, {0x1A, 0x00, 0x00, 0x11, 0x01}, true},
    {"16 vs 128", {0x19, 0x11, 0x01}, Base1101, true},
    {"128 vs 32", Base1101, {0x1A, 0x00, 0x00, 0x11, 0x01}, true},
    {"last word differs",
     {0x19, 0x11, 0x01},
     {0x1C, 0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B,
      0x34, 0xFC},
     false},
    {"32-bit equal", {0x1A, 0x12, 0x34, 0x56, 0x78}, {0x1A, 0x12, 0x34, 0x56, 0x78}, true},
    {"32-bit differ in high half",
     {0x1A, 0x12, 0x34, 0x56, 0x78},
     {0x1A, 0x00, 0x00, 0x56, 0x78},
     false},
    {"16 vs 16 differ", {0x19, 0x11, 0x01}, {0x19, 0x11, 0x02}, false},
};

} // namespace

TEST_F(SdpCoreFixture, UuidsCompareThroughTheirBaseUuidForm)
{
    for (const UUID_CASE& c : UuidPairs) {
        SCOPED_TRACE(c.Name);
        uint16_t Error = 0xAAAA;
        EXPECT_EQ(CompareUuids(c.Stored.data(), c.Wanted.data(), &Error), c.Equal);
        EXPECT_EQ(Error, 0);
        Error = 0xAAAA;
        EXPECT_EQ(CompareUuids(c.Wanted.data(), c.Stored.data(), &Error), c.Equal);
        EXPECT_EQ(Error, 0);
    }
    const Bytes Bad = {0x18, 0x11}; // size index 0
    uint16_t Error = 0;
    EXPECT_FALSE(CompareUuids(Bad.data(), UuidPairs[0].Wanted.data(), &Error));
    EXPECT_EQ(Error, SDP_ERROR_INTERNAL);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK, "kivsdp : CompareUuids() - Data element error!\n"));
}

TEST_F(SdpCoreFixture, RecordScanFindsUuidsAtAnyDepthButNotInsideLeaves)
{
    const uint32_t h = AddRecord();
    AddAttr(h, 0x0004, {0x35, 0x05, 0x35, 0x03, 0x19, 0x01, 0x00});
    AddAttr(h, 0x0005, {0x3D, 0x06, 0x09, 0x00, 0x01, 0x19, 0x00, 0x0F}); // alternative
    AddAttr(h, 0x0100, {0x25, 0x03, 0x19, 0x11, 0x01});                   // text holding 19 11 01
    AddAttr(h, 0x0101, {0x0A, 0x00, 0x19, 0x12, 0x34});
    const SERVICE_RECORD* pRecord = Db.RecordList->Next;

    struct {
        Bytes Uuid;
        bool Found;
    } Cases[] = {
        {{0x19, 0x01, 0x00}, true},
        {{0x1A, 0x00, 0x00, 0x01, 0x00}, true},
        {{0x1C, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B,
          0x34, 0xFB},
         true},
        {{0x19, 0x00, 0x0F}, true},
        {{0x19, 0x11, 0x01}, false},
        {{0x19, 0x12, 0x34}, false},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(Hex(c.Uuid));
        uint16_t Error = 0xAAAA;
        EXPECT_EQ(ScanRecordForUuid(pRecord, c.Uuid.data(), &Error), c.Found);
        EXPECT_EQ(Error, 0);
    }
}

TEST_F(SdpCoreFixture, SearchingForANonUuidFailsBeforeReadingAttributes)
{
    const Bytes NotUuid = {0x09, 0x11, 0x01};
    uint16_t Error = 0;
    SdpSetZoneMask(0xFF);
    EXPECT_FALSE(ScanRecordForUuid(Db.RecordList, NotUuid.data(), &Error));
    EXPECT_EQ(Error, SDP_ERROR_INVALID_SYNTAX);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK,
                "kivsdp : ScanRecordForUuid - Error UUID is not an UUID (pUuid[0] = 0x9)\n"));
    // No attribute was walked: no nested-element trace.
    EXPECT_EQ(CountPrinted("kivsdp : ScanAttributeForUuid() - Checking nested elements..\n"), 0u);
}

TEST_F(SdpCoreFixture, MalformedStoredValuesReportInternalError)
{
    const Bytes Uuid = {0x19, 0x11, 0x01};
    struct {
        const char* Name;
        Bytes Value;
        uint32_t Length;
        const char* Message;
    } Cases[] = {
        {"length 0", {0x35, 0x00}, 0, "kivsdp : ScanAttributeForUuid() - Hmm.. pDE length = 0!\n"},
        {"sequence without length field",
         {0x30, 0x00},
         2,
         "kivsdp : ScanAttributeForUuid() - Error! Invalid header\n"},
        {"unmeasurable member",
         {0x35, 0x01, 0xFF},
         3,
         "kivsdp : ScanAttributeForUuid() - GetDataElementSize() failed!\n"},
        {"member past the end",
         {0x35, 0x02, 0x19, 0x11},
         4,
         "kivsdp : ScanAttributeForUuid() - Nested data element error!\n"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        ClearPrints();
        uint16_t Error = 0;
        EXPECT_FALSE(ScanAttributeForUuid(c.Value.data(), c.Length, Uuid.data(), &Error));
        EXPECT_EQ(Error, SDP_ERROR_INTERNAL);
        EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK, c.Message));
    }
}
