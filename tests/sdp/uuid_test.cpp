// UUID matching on bad input, which only the warnings show. Which UUIDs
// match which (the three sizes, nesting, alternatives, bytes inside leaves)
// the uuid_matching scenario and the reference model judge.
#include "sdpfixture.h"

#include "kivsdpioctl.h"

TEST_F(SdpCoreFixture, MalformedUuidsAreRefusedBeforeAnyWalk)
{
    const Bytes SizeIndex0 = {0x18, 0x11};
    const Bytes Uuid = {0x19, 0x11, 0x01};
    uint16_t Error = 0;
    EXPECT_FALSE(CompareUuids(SizeIndex0.data(), Uuid.data(), &Error));
    EXPECT_EQ(Error, SDP_ERROR_INTERNAL);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK, "kivsdp : CompareUuids() - Data element error!\n"));

    const Bytes NotUuid = {0x09, 0x11, 0x01};
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
