// The lower edge of the SDP device: frames too short to answer, status codes
// that only trace, a full channel table, and requests that fail below.
// Requests answered on their channel, continuation series on several channels
// at once and the status events an application waits for are the scenarios'
// (service_*, status_events) and the stack's differential test's.
#include "SdpDeviceFixture.h"

using TrafficFixture = StartedSdpDeviceFixture;
TEST_F(TrafficFixture, ShortReadIsReArmedAtOnceAndSevenBytesAreProcessed)
{
    Connect(0x0040, 48);
    Frame(0x0040, Hex("02 00 01 00")); // 6 bytes with the CID
    EXPECT_TRUE(Printed("kivsdp : DefaultReadFileCompletionRoutine() - Packet invalid! Length = "
                        "0x6\n"));
    EXPECT_TRUE(TakeWrites().empty());
    EXPECT_EQ(L2cap().HeldReads, 3u);

    Frame(0x0040, Hex("02 00 01 00 00")); // 7 bytes: a request without parameters
    EXPECT_EQ(TakeWrites().size(), 1u);
}

TEST_F(TrafficFixture, OtherStatusCodesOnlyTraceAndTheRequestGoesBackDown)
{
    SetZoneMask(0x27);
    struct STATUS_CASE {
        uint16_t Code;
        const char* Message;
    };
    const STATUS_CASE Cases[] = {
        {1, "kivsdp : StatusProtocolFound() - CID 0x44\n"},
        {2, "kivsdp : StatusConnectRequest - L2CAP about to try to connect CID 0x44\n"},
        {4, "kivsdp : StatusRequestFailed() -  CID 0x44\n"},
        {128, "kivsdp : StatusTimeout() - We got a timeout on CID 0x44\n"},
        {0x100, "kivsdp : KivSdpListenStatusComplete() - Uknown status code (0x100)\n"},
    };
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Code);
        Event(0x0044, c.Code);
        EXPECT_TRUE(Printed(c.Message));
        EXPECT_EQ(L2cap().HeldListens, 4u);
    }
    EXPECT_FALSE(Listen->Done());
    Event(0x0044, KIVL2CAP_STATUS_INVALIDATED);
    ASSERT_TRUE(Listen->Done());
    EXPECT_EQ(Listen->Output(), Hex("44 00 00 00"));
}

TEST_F(TrafficFixture, FullChannelTableIsNotReportedAsConnected)
{
    for (uint16_t Cid = 0x0040; Cid < 0x0050; Cid++)
        Connect(Cid, 48);
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    Connect(0x0050, 48);
    EXPECT_TRUE(Printed("kivsdp : CreateL2capContext() - ERROR!! Failed to find context to use "
                        "(insufficient resources)\n"));
    EXPECT_FALSE(Listen->Done());
    Event(0x0040, KIVL2CAP_STATUS_DISCONNECTED);
    ASSERT_TRUE(Listen->Done());
    Connect(0x0050, 48);
    USHORT Mtu = 0;
    EXPECT_EQ(Sdp()->GetMaxMTUFromCID(0x0050, &Mtu), STATUS_SUCCESS);
}

TEST_F(TrafficFixture, FailedReadFromBelowIsReleasedAndTheOthersKeepWorking)
{
    Connect(0x0040, 48);
    ASSERT_EQ(KivL2capFailHeldRequest(m_L2capDev, KIVL2CAP_REQUEST::Read, STATUS_DEVICE_NOT_READY),
              STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    EXPECT_TRUE(Printed("kivsdp : DefaultReadFileCompletionRoutine() -  This is bad!! IRP failed "
                        "with err 0xc00000a3!!\n"));
    EXPECT_EQ(L2cap().HeldReads, 2u);
    for (int i = 0; i < 4; i++) {
        Frame(0x0040, SearchServer);
        EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0040, SearchServerAnswer)});
    }
    EXPECT_EQ(L2cap().HeldReads, 2u);
}

TEST_F(TrafficFixture, ReadRefusedOnReArmIsReported)
{
    Connect(0x0040, 48);
    ASSERT_EQ(KivL2capFailNextRequest(m_L2capDev, KIVL2CAP_REQUEST::Read, STATUS_DEVICE_NOT_READY),
              STATUS_SUCCESS);
    Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites().size(), 1u);
    EXPECT_TRUE(Printed("kivsdp : ReSendReadFileIrp() - This is VERY BAD. IoCallDriver failed "
                        "with err 0xc00000a3\n"));
    EXPECT_TRUE(Printed("NORN ASSERT:  FALSE on line "));
    EXPECT_EQ(L2cap().HeldReads, 2u);
}

TEST_F(TrafficFixture, FailedResponseWriteGivesItsBlockBack)
{
    Connect(0x0040, 48);
    m_Radio.FailTransmits(STATUS_DEVICE_NOT_READY, 1);
    Frame(0x0040, SearchServer);
    EXPECT_TRUE(Printed("kivsdp : IncomingRequestCompletionRoutine() - IRP was completed with "
                        "failure 0xc00000a3\n"));
    // More answers than the pool holds blocks: none was lost.
    for (int i = 0; i < 8; i++)
        Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites().size(), 8u);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ResponsesSent, 9u);
    EXPECT_EQ(Info.ResponsesCompleted, 9u);
}

TEST_F(TrafficFixture, FailedListenFromBelowIsNotSentAgain)
{
    ASSERT_EQ(
        KivL2capFailHeldRequest(m_L2capDev, KIVL2CAP_REQUEST::Listen, STATUS_DEVICE_NOT_READY),
        STATUS_SUCCESS);
    EXPECT_TRUE(Printed("kivsdp : KivSdpListenStatusComplete() - Irp completed unsuccessfully, it "
                        "was probably canceled\n"));
    EXPECT_EQ(L2cap().HeldListens, 3u);

    // A re-send that the lower driver refuses is lost too.
    ASSERT_EQ(
        KivL2capFailNextRequest(m_L2capDev, KIVL2CAP_REQUEST::Listen, STATUS_DEVICE_NOT_READY),
        STATUS_SUCCESS);
    Connect(0x0040, 48);
    EXPECT_TRUE(Printed("KIVSDP: Failed to send listen IRP back down (0xc00000a3)\n"));
    EXPECT_EQ(L2cap().HeldListens, 2u);
    USHORT Mtu = 0;
    EXPECT_EQ(Sdp()->GetMaxMTUFromCID(0x0040, &Mtu), STATUS_SUCCESS);
}
