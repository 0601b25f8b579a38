// The application side of the SDP device: the client request path, the three
// queues with cancellation and cleanup, codes passed down, the database
// requests and the debug interface.
#include "SdpDeviceFixture.h"

namespace {

// A ServiceSearchRequest of 13 PDU bytes on Cid (15 with the CID).
BYTES SendInput(uint16_t Cid, uint8_t PduId = 0x02, uint16_t ParamLen = 8, size_t Extra = 0)
{
    BYTES In{uint8_t(Cid),           uint8_t(Cid >> 8), PduId, 0x00, 0x05,
             uint8_t(ParamLen >> 8), uint8_t(ParamLen)};
    for (size_t i = 0; i < size_t(ParamLen) + Extra; i++)
        In.push_back(uint8_t(i));
    return In;
}

class ClientFixture : public SdpDeviceFixture {
protected:
    void SetUp() override
    {
        SdpDeviceFixture::SetUp();
        BuildStack();
    }
};

} // namespace

TEST_F(ClientFixture, ApplicationActsAsAClient)
{
    Connect(0x0040, 48);
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
    ASSERT_EQ(Listen->Issued, STATUS_PENDING);

    const BYTES Request = Hex("40 00 02 00 05 00 08 35 03 19 11 01 00 05 00");
    BYTES Out;
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, Request, 0, &Out), STATUS_SUCCESS);
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{Request});
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.SendRequestCount, 1u);
    EXPECT_EQ(Info.RequestsPassedDown, 1u);
    EXPECT_EQ(Info.RequestsFinished, 1u);
    EXPECT_EQ(Info.PendingRequests, 0u);

    // The remote's answer goes to the waiting listen request, not the database.
    const BYTES Answer = Hex("03 00 05 00 09 00 01 00 01 00 01 00 00 00");
    Frame(0x0040, Answer);
    EXPECT_TRUE(TakeWrites().empty());
    ASSERT_TRUE(Listen->Done());
    EXPECT_EQ(Listen->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Listen->Output(), Answer);

    // A second answer finds nobody waiting and is lost.
    Frame(0x0040, Answer);
    EXPECT_TRUE(Printed("kivsdp : ProcessSdpResponse() - Hmm! We got an SDP response but we have "
                        "no IRP to complete.. *** Packet is LOST ***\n"));
    Info = DebugInfo();
    EXPECT_EQ(Info.ResponsesDelivered, 1u);
    EXPECT_EQ(Info.PendingResponseListens, 0u);
}

TEST_F(ClientFixture, MalformedInboundResponsesAreDropped)
{
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
    // ParameterLength 600: longer than any PDU.
    BYTES Long = Hex("03 00 05 02 58");
    Long.resize(605, 0);
    Frame(0x0040, Long);
    EXPECT_TRUE(Printed("kivsdp : ProcessSdpResponse() - Error! PDU len = 0x25d. Max allowed = "
                        "0x200\n"));
    // Cut short by the end of the frame.
    Frame(0x0040, Hex("05 00 05 00 09 00 01"));
    EXPECT_TRUE(Printed("kivsdp : ProcessSdpResponse() - Error! calculated PDU length = 0xe. "
                        "Expected = 0x7\n"));
    EXPECT_FALSE(Listen->Done());
}

TEST_F(ClientFixture, SendRequestChecksRefuseBadRequests)
{
    struct SEND_CASE {
        const char* Name;
        BYTES In;
        const char* Message;
    };
    Connect(0x0040, 48);
    const SEND_CASE Cases[] = {
        {"shorter than a header", Hex("40 00 02 00 05 00"),
         "kivsdp : SendSdpRequestCheckParameters() - Invalid parameters. Buffer too small..\n"},
        {"one byte too many", SendInput(0x0040, 0x02, 8, 1),
         "kivsdp : SendSdpRequestCheckParameters() - Invalid parameters. Got 0x10. Exp 0xf\n"},
        {"PDU of 11 bytes", SendInput(0x0040, 0x02, 6),
         "kivsdp : SendSdpRequestCheckParameters() - Error! Request to short!\n"},
        {"PDU of 49 bytes on MTU 48", SendInput(0x0040, 0x02, 44),
         "kivsdp : SendSdpRequestCheckParameters() -    Max length for CID 0x40 is 0x30. Got "
         "0x31\n"},
        {"response PDU ID", SendInput(0x0040, 0x03),
         "kivsdp : SendSdpRequestCheckParameters() - Error! Invalid PDU ID (0x3)\n"},
        {"unknown channel", SendInput(0x0041),
         "kivsdp : SendSdpRequestCheckParameters() - Failed to find MTU size for CID 0x41 (CID "
         "does probably not exist)\n"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        BYTES Out;
        EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, c.In, 0, &Out), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(Printed(c.Message));
    }
    EXPECT_TRUE(TakeWrites().empty());
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.SendRequestCount, 6u);
    EXPECT_EQ(Info.PendingRequests, 0u);
    EXPECT_EQ(Info.RequestsPassedDown, 0u);

    // The limits themselves pass: 12 PDU bytes, and exactly the MTU.
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, SendInput(0x0040, 0x02, 7), 0), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, SendInput(0x0040, 0x06, 43), 0), STATUS_SUCCESS);
    EXPECT_EQ(TakeWrites().size(), 2u);
}

TEST_F(ClientFixture, SendRequestsGoDownOneAtATimeInOrder)
{
    Connect(0x0040, 48);
    Connect(0x0041, 48);
    std::vector<BYTES> Sent;
    for (uint16_t Cid : {0x0040, 0x0041, 0x0040}) {
        Sent.push_back(SendInput(Cid));
        Sent.back()[4] = uint8_t(Sent.size());
        SDP_APP_REQUEST* Send = Post(IOCTL_KIVSDP_SEND_SDP_REQUEST, Sent.back(), 0);
        ASSERT_TRUE(Send->Done());
        EXPECT_EQ(Send->Status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(TakeWrites(), Sent);

    // A channel that went away after the check is the lower driver's to fail.
    m_Radio.FailTransmits(STATUS_DEVICE_NOT_READY, 1);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, SendInput(0x0040), 0), STATUS_DEVICE_NOT_READY);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.RequestsPassedDown, 4u);
    EXPECT_EQ(Info.RequestsFinished, 4u);
}

// Two listens of one kind from two handles: cancelling the current one or the one waiting
// behind it leaves the other, which takes the next event or response.
TEST_F(ClientFixture, CancellingEitherOfTwoListensLeavesTheOther)
{
    const BYTES Answer = Hex("03 00 05 00 09 00 01 00 01 00 01 00 00 00");
    uint8_t Cid = 0x40;
    for (bool Responses : {false, true}) {
        for (bool CancelCurrent : {false, true}) {
            SCOPED_TRACE(
                std::string(Responses ? "response" : "status") +
                (CancelCurrent ? " listens, current cancelled" : " listens, next cancelled"));
            const ULONG Code =
                Responses ? IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE : IOCTL_KIVSDP_LISTEN_FOR_STATUS;
            const ULONG OutLen = Responses ? 0x400 : 4;
            kivrt::APP_HANDLE Other = Open();
            SDP_APP_REQUEST* Current = Post(Code, {}, OutLen);
            SDP_APP_REQUEST* Next = Post(Code, {}, OutLen, Other);
            kivrt::AppCancelIo(CancelCurrent ? m_Handle : Other);
            SDP_APP_REQUEST* Cancelled = CancelCurrent ? Current : Next;
            SDP_APP_REQUEST* Left = CancelCurrent ? Next : Current;
            ASSERT_TRUE(Cancelled->Done());
            EXPECT_EQ(Cancelled->Status(), STATUS_CANCELLED);
            EXPECT_EQ(Cancelled->Ov.Information(), 0u);
            EXPECT_FALSE(Left->Done());
            Cid++;
            if (Responses)
                Frame(Cid, Answer);
            else
                Connect(Cid, 48);
            ASSERT_TRUE(Left->Done());
            EXPECT_EQ(Left->Output(), Responses ? Answer : BYTES({Cid, 0x00, 0x01, 0x00}));
            EXPECT_EQ(DebugInfo().PendingStatusListens, 0u);
        }
    }
}

TEST_F(ClientFixture, ClosingOneHandleCancelsOnlyThatHandlesRequests)
{
    kivrt::APP_HANDLE Other = Open();
    SDP_APP_REQUEST* MineStatus = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    SDP_APP_REQUEST* OtherStatus = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4, Other);
    SDP_APP_REQUEST* MineResponse = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
    SDP_APP_REQUEST* OtherResponse = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400, Other);
    SDP_APP_REQUEST* MineLater = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    const ULONG CleanupsBefore = L2cap().Cleanups;

    kivrt::AppClose(m_Handle);
    m_Handles.erase(m_Handles.begin());
    m_Handle = Other;
    for (SDP_APP_REQUEST* Mine : {MineStatus, MineResponse, MineLater}) {
        ASSERT_TRUE(Mine->Done());
        EXPECT_EQ(Mine->Status(), STATUS_CANCELLED);
    }
    EXPECT_FALSE(OtherStatus->Done());
    EXPECT_FALSE(OtherResponse->Done());
    EXPECT_EQ(L2cap().Cleanups, CleanupsBefore + 1);
    EXPECT_TRUE(Printed("kivsdp : KivSdpCleanupDispatch()..\n"));

    Connect(0x0040, 48);
    ASSERT_TRUE(OtherStatus->Done());
    EXPECT_EQ(OtherStatus->Output(), Hex("40 00 01 00"));
    EXPECT_EQ(L2cap().HeldListens, 4u);
    EXPECT_EQ(L2cap().HeldReads, 3u);
}

TEST_F(ClientFixture, ListenChecksRefuseSmallBuffersButCountTheRequest)
{
    BYTES Out;
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x3FF, &Out),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : ListenForSdpResponseCheckParameters() - Invalid parameters. "
                        "Buffer too small. Got 0x3ff. Req >= 0x400.\n"));
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 3, &Out), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : ListenForSdpStatusCheckParameters() - Invalid parameters. "
                        "Buffer too small. Got 0x3. Req >= 0x4.\n"));
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenResponseCount, 1u);
    EXPECT_EQ(Info.PendingResponseListens, 0u);
    EXPECT_EQ(Info.ListenStatusCount, 1u);
    EXPECT_EQ(Info.PendingStatusListens, 0u);
}

TEST_F(ClientFixture, CodesNotOwnedGoDownUnchanged)
{
    const ULONG Codes[] = {
        0x80042034u,                                                // function 0x80D
        CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS), // other access
    };
    for (ULONG Code : Codes) {
        SCOPED_TRACE(Code);
        const ULONG Refused = L2cap().ControlsRefused;
        NTSTATUS status = Ioctl(Code, {}, 0);
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_EQ(L2cap().ControlsRefused, Refused + 1);
        char Message[96];
        snprintf(Message, sizeof(Message),
                 "kivsdp : Unknown IOCTL code (0x%x). Passing to next layer..\n", unsigned(Code));
        EXPECT_TRUE(Printed(Message));
    }
    EXPECT_EQ(DebugInfo().IoctlCount, 3u);
}

TEST_F(ClientFixture, DatabaseRequestsReachTheDatabase)
{
    SetZoneMask(SDP_ZONE_DEFAULT_MASK | SDP_ZONE_DATABASE_MASK);
    BYTES Out;
    // The server record alone: one record of four 11-byte entries.
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_GET_DATABASE, {}, 0x40, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out.size(), 0x34u);
    EXPECT_EQ(BYTES(Out.begin(), Out.begin() + 8), Hex("01 00 00 00 04 00 00 00"));
    SDP_APP_REQUEST* Small = Post(IOCTL_KIVSDP_GET_DATABASE, {}, 0x3F);
    ASSERT_TRUE(Small->Done());
    EXPECT_EQ(Small->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : UserIoctlGetDatabase() - Invalid parameters.. Buffer too small. "
                        "Got 0x3f. Needs at least 0x40.\n"));

    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 4, &Out), STATUS_SUCCESS);
    EXPECT_TRUE(Out.empty());

    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 8, &Out), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00"));
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("01 00 01 00"));

    SDP_APP_REQUEST* Handles = Post(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 4);
    EXPECT_EQ(Handles->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : UserIoctlGetRecordHandles() - Buffer too small. We need at "
                        "least 0x8\n"));
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 8, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00 01 00 01 00"));

    const BYTES Attr = Hex("00 00 01 00 00 01 05 00 00 00 0A 00 00 00 2A");
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, BYTES(Attr.begin(), Attr.end() - 1), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        Printed("kivsdp : UserIoctlAddAttribute() - Invalid parameters. Got 0xe. Exp 0xf\n"));
    // The input comes back only as far as the output buffer reaches.
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, Attr, 4, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00"));
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, Attr, 0), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, Hex("35 03 19 11 01"), 0), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, Hex("35 04 19 11 01"), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, {}, 0), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE, Hex("00 00 01 00 00 01"), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE, Hex("00 00 01 00 00 00"), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_DELETE_SERVICE_RECORD, Hex("00 00 00 00"), 0),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_DELETE_SERVICE_RECORD, Hex("01 00 01 00"), 4, &Out),
              STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("01 00 01 00"));
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 8, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00"));
}

TEST_F(ClientFixture, DebugInterfaceReportsResetsAndSetsTheZones)
{
    BYTES Out;
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, 0x5C, &Out), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : IoctlGetDebugInfo() - Invalid parameters. Buffer size mismatch! "
                        "(got 0x5c. Req 0x58)\n"));

    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_RESET_DEBUG_INFO, {}, 0), STATUS_SUCCESS);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.IoctlCount, 1u);
    EXPECT_EQ(Info.ListenIrpsSent, 4u);

    m_Output.clear();
    Output();
    m_Output.clear();
    SetZoneMask(0x90);
    EXPECT_EQ(Output(), "kivsdp : IoctlSetDebugZoneMask()..\n"
                        "kivsdp : IoctlSetDebugZoneMask() - SDP_ZONE_DATABASE_MASK enabled!!\n"
                        "kivsdp : IoctlSetDebugZoneMask() - SDP_ZONE_DUMP_MASK enabled!!\n");
    m_Output.clear();
    // No INFO, WARN or ERROR line any more; DATABASE and DUMP lines are.
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, Hex("01 00"), 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 8, &Out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Output().find("Inbuf size"), std::string::npos);
    EXPECT_TRUE(Printed("kivsdp : IOCTL_KIVSDP_ADD_SERVICE_RECORD\n"));
    EXPECT_EQ(Output().find("Invalid parameters"), std::string::npos);
    Connect(0x0040, 48);
    Frame(0x0040, Hex("02 00 01 00 08 35 03 19 10 00 00 05 00"));
    EXPECT_TRUE(Printed("kivsdp : SDP RX REQUEST : 02 00 01 00 08 35 03 19 10 00 00 05 00 \n"));
    EXPECT_TRUE(Printed("kivsdp : SDP TX RESPONSE : 03 00 01 00 09 00 01 00 01 00 00 00 00 00 \n"));
}

namespace {

struct OWN_LISTEN {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    bool Done = false;
};

NTSTATUS OwnListenDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* Own = static_cast<OWN_LISTEN*>(Context);
    Own->Status = Irp->IoStatus.Status;
    Own->Information = Irp->IoStatus.Information;
    Own->Done = true;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

// A listen request cancelled before it reaches its queue has no cancel
// routine to finish it; the device completes it at once instead of letting
// it wait for an event that may never come.
TEST_F(ClientFixture, RequestCancelledBeforeItIsQueuedIsStillCompleted)
{
    PDEVICE_OBJECT Top = kivrt::DevNodeTop(m_Node);
    UCHAR Buffer[4] = {};
    OWN_LISTEN Own;
    PIRP Irp = IoAllocateIrp(Top->StackSize, FALSE);
    ASSERT_NE(Irp, nullptr);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_KIVSDP_LISTEN_FOR_STATUS;
    pNext->Parameters.DeviceIoControl.OutputBufferLength = sizeof(Buffer);
    pNext->Parameters.DeviceIoControl.InputBufferLength = 0;
    Irp->AssociatedIrp.SystemBuffer = Buffer;
    Irp->Cancel = TRUE;
    Irp->IoStatus.Information = 4; // what a sloppy caller may leave there
    IoSetCompletionRoutine(Irp, OwnListenDone, &Own, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(Top, Irp), STATUS_CANCELLED);
    ASSERT_TRUE(Own.Done);
    EXPECT_EQ(Own.Status, STATUS_CANCELLED);
    EXPECT_EQ(Own.Information, 0u);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenStatusCount, 1u);
    EXPECT_EQ(Info.StatusDelivered, 1u);
    EXPECT_EQ(Info.PendingStatusListens, 0u);
    // The queue stays free for the next listener.
    SDP_APP_REQUEST* Listen = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    Connect(0x0040, 48);
    ASSERT_TRUE(Listen->Done());
    EXPECT_EQ(Listen->Output(), Hex("40 00 01 00"));
}

// The other half of that race: the cancel flag is set while the request
// waits, before its cancel routine could run. Whether the request turns
// current or an event finds it current, it is completed as cancelled and the
// queue goes on with the next one.
TEST_F(ClientFixture, RequestsFlaggedCancelledWithoutTheirRoutineDoNotBlockTheQueue)
{
    for (bool ByEvent : {false, true}) {
        SCOPED_TRACE(ByEvent ? "found current by an event" : "turned current");
        kivrt::APP_HANDLE First = Open();
        SDP_APP_REQUEST* Current = nullptr;
        if (!ByEvent) Current = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4, First);

        PDEVICE_OBJECT Top = kivrt::DevNodeTop(m_Node);
        UCHAR Buffer[4] = {};
        OWN_LISTEN Own;
        PIRP Irp = IoAllocateIrp(Top->StackSize, FALSE);
        ASSERT_NE(Irp, nullptr);
        PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
        pNext->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_KIVSDP_LISTEN_FOR_STATUS;
        pNext->Parameters.DeviceIoControl.OutputBufferLength = sizeof(Buffer);
        Irp->AssociatedIrp.SystemBuffer = Buffer;
        IoSetCompletionRoutine(Irp, OwnListenDone, &Own, TRUE, TRUE, TRUE);
        ASSERT_EQ(IoCallDriver(Top, Irp), STATUS_PENDING);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        Irp->Cancel = TRUE;
        IoReleaseCancelSpinLock(irql);

        kivrt::APP_HANDLE Last = Open();
        SDP_APP_REQUEST* Next = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4, Last);
        if (!ByEvent) {
            kivrt::AppCancelIo(First);
            ASSERT_TRUE(Current->Done());
            EXPECT_EQ(Current->Status(), STATUS_CANCELLED);
            ASSERT_TRUE(Own.Done);
            EXPECT_EQ(Own.Status, STATUS_CANCELLED);
            EXPECT_FALSE(Next->Done());
        }
        Connect(0x0040, 48);
        ASSERT_TRUE(Own.Done);
        EXPECT_EQ(Own.Status, STATUS_CANCELLED);
        ASSERT_TRUE(Next->Done());
        EXPECT_EQ(Next->Output(), Hex("40 00 01 00"));
        EXPECT_EQ(DebugInfo().PendingStatusListens, 0u);
        Event(0x0040, KIVL2CAP_STATUS_DISCONNECTED);
    }
}
