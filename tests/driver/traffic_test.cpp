// The lower edge of the SDP device: inbound frames answered through work
// items and response writes, channel status events into the channel table
// and to the application, and requests that fail below.
#include "SdpDeviceFixture.h"

namespace {

BYTES OnCid(uint16_t Cid, const BYTES& Pdu)
{
    BYTES Frame(2 + Pdu.size());
    Frame[0] = uint8_t(Cid);
    Frame[1] = uint8_t(Cid >> 8);
    std::copy(Pdu.begin(), Pdu.end(), Frame.begin() + 2);
    return Frame;
}

const BYTES SearchServer = Hex("02 00 01 00 08 35 03 19 10 00 00 05 00");
const BYTES SearchServerAnswer = Hex("03 00 01 00 09 00 01 00 01 00 00 00 00 00");

// ServiceAttributeRequest for every attribute of hRec, with an optional
// continuation state (its length byte included).
BYTES AttributeRequest(uint16_t Tid, uint32_t hRec, uint16_t MaxBytes, const BYTES& Cont)
{
    BYTES Params{uint8_t(hRec >> 24),
                 uint8_t(hRec >> 16),
                 uint8_t(hRec >> 8),
                 uint8_t(hRec),
                 uint8_t(MaxBytes >> 8),
                 uint8_t(MaxBytes),
                 0x35,
                 0x05,
                 0x0A,
                 0x00,
                 0x00,
                 0xFF,
                 0xFF};
    if (Cont.empty())
        Params.push_back(0);
    else
        Params.insert(Params.end(), Cont.begin(), Cont.end());
    // Sized first and filled in place: GCC 12 at -O3 misreads an insert after a braced
    // initialisation as an overflow.
    BYTES Pdu(5 + Params.size());
    Pdu[0] = 0x04;
    Pdu[1] = uint8_t(Tid >> 8);
    Pdu[2] = uint8_t(Tid);
    Pdu[3] = uint8_t(Params.size() >> 8);
    Pdu[4] = uint8_t(Params.size());
    std::copy(Params.begin(), Params.end(), Pdu.begin() + 5);
    return Pdu;
}

// Splits a ServiceAttributeResponse into its list bytes and continuation
// state (length byte included, empty when the answer is complete).
bool SplitAttributeResponse(const BYTES& Pdu, BYTES* List, BYTES* Cont)
{
    if (Pdu.size() < 8 || Pdu[0] != 0x05) return false;
    size_t Count = size_t(Pdu[5] << 8 | Pdu[6]);
    if (7 + Count + 1 > Pdu.size()) return false;
    List->assign(Pdu.begin() + 7, Pdu.begin() + long(7 + Count));
    size_t ContLen = Pdu[7 + Count];
    if (8 + Count + ContLen != Pdu.size()) return false;
    if (ContLen == 0)
        Cont->clear();
    else
        Cont->assign(Pdu.begin() + long(7 + Count), Pdu.end());
    return true;
}

class TrafficFixture : public SdpDeviceFixture {
protected:
    void SetUp() override
    {
        SdpDeviceFixture::SetUp();
        BuildStack();
    }
    // Adds a record with a 200-character service name; returns its handle.
    uint32_t AddLargeRecord()
    {
        BYTES Handle;
        EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Handle), STATUS_SUCCESS);
        BYTES In = Handle;
        In.insert(In.end(), {0x00, 0x01, 202, 0, 0, 0, 0x25, 200});
        for (int i = 0; i < 200; i++)
            In.push_back(uint8_t('a' + i % 26));
        EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, In, 0), STATUS_SUCCESS);
        return uint32_t(Handle[0] | Handle[1] << 8 | Handle[2] << 16 | Handle[3] << 24);
    }
    // The single response PDU written on Cid since the last look.
    BYTES AnswerOn(uint16_t Cid)
    {
        std::vector<BYTES> Writes = TakeWrites();
        EXPECT_EQ(Writes.size(), 1u);
        if (Writes.size() != 1 || Writes[0].size() < 2) return {};
        EXPECT_EQ(Writes[0][0] | Writes[0][1] << 8, Cid);
        return BYTES(Writes[0].begin() + 2, Writes[0].end());
    }
};

} // namespace

TEST_F(TrafficFixture, RequestOnConnectedChannelIsAnsweredOnIt)
{
    Connect(0x0040, 48);
    Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0040, SearchServerAnswer)});
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ResponsesSent, 1u);
    EXPECT_EQ(Info.ResponsesCompleted, 1u);
    EXPECT_EQ(Info.ReadIrpsCompleted, 1u);
    EXPECT_EQ(Info.ReadIrpsSent, 4u);
    EXPECT_EQ(L2cap().HeldReads, 3u);
}

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

TEST_F(TrafficFixture, BrowseWithContinuationOnTwoChannelsAtOnce)
{
    const uint32_t hRec = AddLargeRecord();
    Connect(0x0040, 48);
    Connect(0x0041, 48);
    Connect(0x0042, 512);

    Frame(0x0042, AttributeRequest(1, hRec, 0x0400, {}));
    BYTES Whole, Cont;
    ASSERT_TRUE(SplitAttributeResponse(AnswerOn(0x0042), &Whole, &Cont));
    ASSERT_TRUE(Cont.empty());
    ASSERT_GT(Whole.size(), 200u);

    // Both small channels walk the same answer, their steps interleaved.
    BYTES Joined[2], State[2];
    bool Done[2] = {false, false};
    int Steps = 0;
    while (!(Done[0] && Done[1]) && Steps++ < 40) {
        for (int k = 0; k < 2; k++) {
            if (Done[k]) continue;
            const uint16_t Cid = uint16_t(0x0040 + k);
            Frame(Cid, AttributeRequest(uint16_t(0x100 * (k + 1) + Steps), hRec, 0x0400, State[k]));
            BYTES Answer = AnswerOn(Cid);
            ASSERT_LE(Answer.size(), 48u);
            BYTES Part;
            ASSERT_TRUE(SplitAttributeResponse(Answer, &Part, &State[k])) << HexText(Answer);
            Joined[k].insert(Joined[k].end(), Part.begin(), Part.end());
            Done[k] = State[k].empty();
        }
    }
    EXPECT_GT(Steps, 4);
    EXPECT_EQ(Joined[0], Whole);
    EXPECT_EQ(Joined[1], Whole);
}

TEST_F(TrafficFixture, ConnectedChannelReachesTheTableAndTheWaitingApplication)
{
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    ASSERT_EQ(Listen->Issued, STATUS_PENDING);
    Connect(0x0041, 0x02A0);
    ASSERT_TRUE(Listen->Done());
    EXPECT_EQ(Listen->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Listen->Output(), Hex("41 00 01 00"));
    USHORT Mtu = 0;
    EXPECT_EQ(Sdp()->GetMaxMTUFromCID(0x0041, &Mtu), STATUS_SUCCESS);
    EXPECT_EQ(Mtu, 512);
    EXPECT_EQ(L2cap().HeldListens, 4u);

    // Configuration changes only the MTU; nobody is told.
    SDP_APP_REQUEST* Next = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    Event(0x0041, KIVL2CAP_STATUS_CONFIG_ENDED, 100);
    EXPECT_FALSE(Next->Done());
    EXPECT_EQ(Sdp()->GetMaxMTUFromCID(0x0041, &Mtu), STATUS_SUCCESS);
    EXPECT_EQ(Mtu, 100);

    Event(0x0041, KIVL2CAP_STATUS_DISCONNECTED);
    ASSERT_TRUE(Next->Done());
    EXPECT_EQ(Next->Output(), Hex("41 00 00 00"));
    EXPECT_EQ(Sdp()->GetMaxMTUFromCID(0x0041, &Mtu), STATUS_INVALID_PARAMETER);

    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenStatusCount, 2u);
    EXPECT_EQ(Info.StatusDelivered, 2u);
    EXPECT_EQ(Info.PendingStatusListens, 0u);
    EXPECT_EQ(Info.ListenIrpsCompleted, 3u);
    EXPECT_EQ(Info.ListenIrpsSent, 7u);
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
