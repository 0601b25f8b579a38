// The application side of the SDP device: malformed responses, the send
// queue, cancellation races on the listen queues, a code passed down, the
// database requests no scenario makes, and the debug information. The client
// role itself (a request goes down as given, the remote's answer completes the
// oldest listen, one nobody waits for is lost, the refused sends) is the
// client_role scenario's; closing a handle, close_cancels_own's.
#include "SdpDeviceFixture.h"

namespace {

// A request of ParamLen + 5 PDU bytes on Cid, after the CID (13 by default:
// a ServiceSearchRequest).
BYTES SendInput(uint16_t Cid, uint8_t PduId = 0x02, uint16_t ParamLen = 8)
{
    BYTES In{uint8_t(Cid),           uint8_t(Cid >> 8), PduId, 0x00, 0x05,
             uint8_t(ParamLen >> 8), uint8_t(ParamLen)};
    for (size_t i = 0; i < ParamLen; i++)
        In.push_back(uint8_t(i));
    return In;
}

using ClientFixture = StartedSdpDeviceFixture;

} // namespace

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

TEST_F(ClientFixture, SendRequestsGoDownOneAtATimeInOrder)
{
    Connect(0x0040, 48);
    Connect(0x0041, 48);
    // The limits pass: 12 PDU bytes, and exactly the MTU.
    std::vector<BYTES> Sent = {SendInput(0x0040, 0x02, 7), SendInput(0x0041),
                               SendInput(0x0040, 0x06, 43)};
    for (size_t i = 0; i < Sent.size(); i++) {
        Sent[i][4] = uint8_t(i + 1); // transaction IDs 1, 2, 3
        SDP_APP_REQUEST* Send = Post(IOCTL_KIVSDP_SEND_SDP_REQUEST, Sent[i], 0);
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

// Add-record's function and transfer type with read access is not the device's code: it goes
// down unchanged. The other transfer types and functions are the transfer_types scenario's.
TEST_F(ClientFixture, CodeOfAnotherAccessGoesDownUnchanged)
{
    const ULONG Code = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS);
    EXPECT_FALSE(NT_SUCCESS(Ioctl(Code, {}, 0)));
    EXPECT_EQ(L2cap().ControlsRefused, 1u);
    EXPECT_TRUE(Printed("kivsdp : Unknown IOCTL code (0x80046000). Passing to next layer..\n"));
}

// The database requests no scenario makes through the device; the others are
// the database_requests and get_database_size scenarios'.
TEST_F(ClientFixture, HandleListVerifyAndShortOutputsReachTheDatabase)
{
    BYTES Out;
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Out), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 4, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00"));
    // The input comes back only as far as the output buffer reaches.
    const BYTES Attr = Hex("00 00 01 00 00 01 05 00 00 00 0A 00 00 00 2A");
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, Attr, 4, &Out), STATUS_SUCCESS);
    EXPECT_EQ(Out, Hex("00 00 01 00"));
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, Hex("35 03 19 11 01"), 0), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, Hex("35 04 19 11 01"), 0),
              STATUS_INVALID_PARAMETER);
}

// A reset clears the counters, not the count of requests held below. The zone
// mask set through the device and the lines it gates are the devices and
// alloc_failures scenarios'.
TEST_F(ClientFixture, DebugInformationOfAnotherSizeIsRefusedAndAResetClearsIt)
{
    BYTES Out;
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, 0x5C, &Out), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("kivsdp : IoctlGetDebugInfo() - Invalid parameters. Buffer size mismatch! "
                        "(got 0x5c. Req 0x58)\n"));

    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_RESET_DEBUG_INFO, {}, 0), STATUS_SUCCESS);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.IoctlCount, 1u);
    EXPECT_EQ(Info.ListenIrpsSent, 4u);
}

namespace {

struct OWN_LISTEN {
    UCHAR Buffer[4] = {};
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

// A listen-for-status request built by hand, as a driver above would send it.
PIRP OwnListen(PDEVICE_OBJECT Top, OWN_LISTEN& Own)
{
    PIRP Irp = IoAllocateIrp(Top->StackSize, FALSE);
    if (Irp == nullptr) return nullptr;
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_KIVSDP_LISTEN_FOR_STATUS;
    pNext->Parameters.DeviceIoControl.OutputBufferLength = sizeof(Own.Buffer);
    pNext->Parameters.DeviceIoControl.InputBufferLength = 0;
    Irp->AssociatedIrp.SystemBuffer = Own.Buffer;
    IoSetCompletionRoutine(Irp, OwnListenDone, &Own, TRUE, TRUE, TRUE);
    return Irp;
}

} // namespace

// A listen request cancelled before it reaches its queue has no cancel
// routine to finish it; the device completes it at once instead of letting
// it wait for an event that may never come.
TEST_F(ClientFixture, RequestCancelledBeforeItIsQueuedIsStillCompleted)
{
    PDEVICE_OBJECT Top = kivrt::DevNodeTop(m_Node);
    OWN_LISTEN Own;
    PIRP Irp = OwnListen(Top, Own);
    ASSERT_NE(Irp, nullptr);
    Irp->Cancel = TRUE;
    Irp->IoStatus.Information = 4; // what a sloppy caller may leave there
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
        OWN_LISTEN Own;
        PIRP Irp = OwnListen(Top, Own);
        ASSERT_NE(Irp, nullptr);
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
