// The frame walk (PDU splitting, dispatch, dropped requests) with the zones of
// its lines, the host's blocks and lock, the zone mask request, and the MTU
// limits. Response PDUs going to the client path are the pdu_framing and
// client_role scenarios'; the channel table's clamps, reuse of a CID, sixteen
// contexts and unknown channels, the channel_table and debug_zones scenarios'.
#include "sdpfixture.h"

#include "kivsdpioctl.h"

namespace {

const Bytes Unknown00 = {0x00, 0x00, 0x01, 0x00, 0x00};
const Bytes Unknown09 = {0x09, 0x00, 0x02, 0x00, 0x00};

} // namespace

// Each frame on CID 0x0040 (or the unconnected 0x0044): the responses, and the lines the walk
// prints with their zones.
TEST_F(SdpCoreFixture, FramesAreWalkedPduByPduWithTheirMessages)
{
    const Bytes Cid40 = {0x40, 0x00};
    const struct {
        const char* Name;
        Bytes Frame;
        std::vector<Bytes> Responses;
        std::vector<std::pair<uint32_t, const char*>> Lines;
    } Cases[] = {
        {"unknown id 0x00",
         Cat({Cid40, {0x00, 0x12, 0x34, 0x00, 0x00}}),
         {Cat({Cid40, ErrorPdu(0x1234, 3)})},
         {{SDP_ZONE_WARN_MASK, "kivsdp : KivSdpProcessSdpPacket() - Error! PDU ID = 0x0\n"}}},
        {"unknown id 0xFF with parameters",
         Cat({Cid40, {0xFF, 0x00, 0x01, 0x00, 0x02, 0x11, 0x22}}),
         {Cat({Cid40, ErrorPdu(1, 3)})},
         {{SDP_ZONE_WARN_MASK, "kivsdp : KivSdpProcessSdpPacket() - Error! PDU ID = 0xff\n"}}},
        {"two PDUs, two responses in order",
         Cat({Cid40, {0x08, 0x00, 0x01, 0x00, 0x00}, Unknown09}),
         {Cat({Cid40, ErrorPdu(1, 3)}), Cat({Cid40, ErrorPdu(2, 3)})},
         {{SDP_ZONE_INFO_MASK, "kivsdp : KivSdpProcessSdpPacket() - Looks like we have multiple "
                               "PDUs in the L2CAP frame!!\n"},
          {SDP_ZONE_INFO_MASK,
           "kivsdp : KivSdpProcessSdpPacket() -     Wp = 0x7. TotLen = 0xc\n"}}},
        {"trailing bytes too short for a header are dropped",
         Cat({Cid40, Unknown00, {0x02, 0x00, 0x05}}),
         {Cat({Cid40, ErrorPdu(1, 3)})},
         {{SDP_ZONE_ERROR_MASK, "kivsdp : KivSdpProcessSdpPacket() - Aborting processing of "
                                "incomming PDU!!! Wp = 0x7. TotLen = 0xa\n"}}},
        // ServiceSearch claiming 0x20 parameter bytes, 8 present: passed on with the bytes
        // there, refused for its size.
        {"PDU longer than the frame",
         Cat({Cid40,
              {0x02, 0x00, 0x07, 0x00, 0x20, 0x35, 0x03, 0x19, 0x10, 0x00, 0xFF, 0xFF, 0x00}}),
         {Cat({Cid40, ErrorPdu(7, 4)})},
         {{SDP_ZONE_ERROR_MASK, "kivsdp : KivSdpProcessSdpPacket() - Hmm.. Wp = 0x2. PduLen = "
                                "0x25. TotLen = 0xf\n"},
          {SDP_ZONE_ERROR_MASK, "kivsdp : KivSdpProcessSdpPacket() - CurPduLen re-sized to 13\n"}}},
        {"request on a channel that is not connected",
         Cat({{0x44, 0x00}, Unknown00}),
         {},
         {{SDP_ZONE_ERROR_MASK, "kivsdp : ProcessSdpRequest() - Failed to find MTU size for CID "
                                "0x44 (CID does probably not exist)\n"}}},
    };
    Channels.CreateL2capContext(0x0040, 48);
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        ClearPrints();
        EXPECT_EQ(SendFrame(c.Frame), c.Responses);
        for (const auto& [Zone, Text] : c.Lines)
            EXPECT_TRUE(Printed(Zone, Text)) << Text;
    }
    // After a disconnect the channel is gone as well.
    Channels.DestroyL2capContext(0x0040);
    EXPECT_TRUE(SendFrame(Cat({Cid40, Unknown00})).empty());
}

// The dumps under their zone alone are the debug_zones scenario's.
TEST_F(SdpCoreFixture, DataPathTracesUseTheirZone)
{
    Channels.CreateL2capContext(0x0040, 48);
    SdpSetZoneMask(SDP_ZONE_READ_WRITE_MASK);
    SendFrame(Cat({{0x40, 0x00}, Unknown00}));
    EXPECT_TRUE(
        Printed(SDP_ZONE_READ_WRITE_MASK,
                "kivsdp : KivSdpProcessSdpPacket() - hL2cap = 0x40. Frame length length = 0x7\n"));
    EXPECT_TRUE(Printed(SDP_ZONE_READ_WRITE_MASK, "kivsdp : ProcessSdpRequest()..\n"));
    // Nothing of other zones.
    for (const PRINTED_LINE& l : Lines)
        EXPECT_EQ(l.Zone, SDP_ZONE_READ_WRITE_MASK) << l.Text;
}

TEST_F(SdpCoreFixture, HostBlocksCarryTheResponseAndAMissingBlockDropsIt)
{
    Channels.CreateL2capContext(0x0040, 48);
    static uint8_t Block[MAX_SDP_DATA_PACKET_SIZE];
    struct CTX {
        bool Give;
        uint8_t* Sent;
        uint32_t Len;
    } Ctx = {true, nullptr, 0};
    SDP_SERVER_HOST h = {};
    h.Context = &Ctx;
    h.GetResponseBlock = [](void* c) -> uint8_t* {
        return static_cast<CTX*>(c)->Give ? Block : nullptr;
    };
    h.SendResponse = [](void* c, uint8_t* p, uint32_t n) {
        static_cast<CTX*>(c)->Sent = p;
        static_cast<CTX*>(c)->Len = n;
    };
    const Bytes Frame = Cat({{0x40, 0x00}, Unknown00});
    SdpProcessFrame(Db, Channels, Frame.data(), static_cast<uint32_t>(Frame.size()), h);
    EXPECT_EQ(Ctx.Sent, Block);
    EXPECT_EQ(Bytes(Block, Block + Ctx.Len), Cat({{0x40, 0x00}, ErrorPdu(1, 3)}));

    Ctx = {false, nullptr, 0};
    SdpProcessFrame(Db, Channels, Frame.data(), static_cast<uint32_t>(Frame.size()), h);
    EXPECT_EQ(Ctx.Sent, nullptr);
    EXPECT_TRUE(
        Printed(SDP_ZONE_ERROR_MASK,
                "kivsdp : ProcessSdpRequest() - Fatal error!. Could not allocate a buffer for "
                "our response!\n"));
}

TEST_F(SdpCoreFixture, DatabaseLockIsHeldForEachTransaction)
{
    struct LOCK {
        int Depth = 0, Taken = 0, MaxDepth = 0;
    } Lock;
    Db.SetLockHooks(
        [](void* c) {
            auto* l = static_cast<LOCK*>(c);
            l->Taken++;
            l->MaxDepth = std::max(l->MaxDepth, ++l->Depth);
        },
        [](void* c) { static_cast<LOCK*>(c)->Depth--; }, &Lock);
    Answer(SsReq(1, Seq(Uuid16(0x1000)), 10), 48);
    Answer(SaReq(1, 0, 0xFFFF, Seq(Id16(1))), 48);
    Answer(SsaReq(1, Seq(Uuid16(0x1000)), 0xFFFF, Seq(Id16(1))), 48);
    Answer(Unknown00, 48); // an error response needs no database
    AddRecord();
    EXPECT_EQ(Lock.Taken, 4);
    EXPECT_EQ(Lock.Depth, 0);
    EXPECT_EQ(Lock.MaxDepth, 1);
    Db.SetLockHooks(nullptr, nullptr, nullptr);
}

TEST_F(SdpCoreFixture, ZoneMaskRequestNamesTheZonesItEnables)
{
    const Bytes Mask90 = {0x90, 0x00, 0x00, 0x00};
    EXPECT_EQ(SdpIoctlSetDebugZoneMask(Mask90.data(), 4), SDP_STATUS_SUCCESS);
    EXPECT_EQ(SdpGetZoneMask(), 0x90u);
    ASSERT_EQ(Lines.size(), 3u);
    EXPECT_EQ(Lines[0].Zone, SDP_ZONE_INFO_MASK); // under the old mask
    EXPECT_TRUE(Printed(SDP_ZONE_DATABASE_MASK,
                        "kivsdp : IoctlSetDebugZoneMask() - SDP_ZONE_DATABASE_MASK enabled!!\n"));
    EXPECT_TRUE(Printed(SDP_ZONE_DUMP_MASK,
                        "kivsdp : IoctlSetDebugZoneMask() - SDP_ZONE_DUMP_MASK enabled!!\n"));
    // From now on no INFO, WARN or ERROR line, and a bad length prints nothing.
    ClearPrints();
    EXPECT_EQ(SdpIoctlSetDebugZoneMask(Mask90.data(), 2), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SdpGetZoneMask(), 0x90u);
    Answer({0x00, 0x00, 0x01, 0x00, 0x00}, 48);
    for (const PRINTED_LINE& l : Lines)
        EXPECT_TRUE(l.Zone == SDP_ZONE_DUMP_MASK || l.Zone == SDP_ZONE_DATABASE_MASK) << l.Text;
    SdpSetZoneMask(SDP_ZONE_ERROR_MASK);
    ClearPrints();
    EXPECT_EQ(SdpIoctlSetDebugZoneMask(Mask90.data(), 5), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed(SDP_ZONE_ERROR_MASK,
                        "kivsdp : IoctlSetDebugZoneMask() - Inbuf size 0x4 expected. Got 0x5\n"));
}

// The limits themselves are kept as given, with the status line; the clamps
// beyond them are the channel_table and debug_zones scenarios'.
TEST_F(SdpCoreFixture, ChannelMtusAtTheirLimitsAreKept)
{
    const struct {
        uint16_t Mtu;
        const char* Message;
    } Cases[] = {
        {48, "kivsdp : CreateL2capContext() - Using MTU size = 0x30 on CID = 0x40\n"},
        {512, "kivsdp : CreateL2capContext() - Using MTU size = 0x200 on CID = 0x40\n"},
    };
    SdpSetZoneMask(SDP_ZONE_WARN_MASK | SDP_ZONE_STATUS_MASK);
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Mtu);
        CChannelTable t;
        ClearPrints();
        EXPECT_EQ(t.CreateL2capContext(0x0040, c.Mtu), SDP_STATUS_SUCCESS);
        uint16_t Mtu = 0;
        EXPECT_EQ(t.GetMaxMTUFromCID(0x0040, &Mtu), SDP_STATUS_SUCCESS);
        EXPECT_EQ(Mtu, c.Mtu);
        EXPECT_TRUE(Printed(SDP_ZONE_STATUS_MASK, c.Message));
        EXPECT_EQ(Lines.size(), 1u);
    }
}
