// l2cap_test.cpp: the virtual L2CAP driver's contract with the driver above it, on the
// deterministic scheduler: held listens and reads, events and frames kept in order, writes,
// cleanup by file object, cancellation, fault injection, PnP and power.

#include "l2capclient.h"

using namespace l2captest;
using R = CLIENT_REQUEST;

// Sends Req, which must stay pending.
static std::unique_ptr<R> Held(std::unique_ptr<R> Req)
{
    EXPECT_EQ(Req->Send(), STATUS_PENDING);
    return Req;
}

// ---------------------------------------------------------------------------------------------
// Listen for status

TEST_F(L2capFixture, EveryStatusCodeIsKeptInOrderWhileNoListenWaits)
{
    const USHORT Codes[] = {1, 2, 4, 8, 16, 32, 64, 128, 0x100};
    for (USHORT i = 0; i < 9; i++)
        EXPECT_EQ(m_Radio.Status(USHORT(0x40 + i), Codes[i], USHORT(100 + i)), STATUS_PENDING);
    EXPECT_EQ(Counters().KeptEvents, 9u);

    for (USHORT i = 0; i < 9; i++) {
        SCOPED_TRACE(i);
        auto L = R::Listen(m_Dev, A());
        EXPECT_EQ(L->Send(), STATUS_SUCCESS) << "a kept event completes the listen at once";
        ASSERT_TRUE(L->Done());
        EXPECT_EQ(L->CompletionIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(L->Output(), StatusRecord(USHORT(0x40 + i), Codes[i], USHORT(100 + i)));
    }
    Held(R::Listen(m_Dev, A())); // nothing is left to take
}

TEST_F(L2capFixture, FourHeldListensCompleteOldestFirst)
{
    std::vector<std::unique_ptr<R>> L;
    for (int i = 0; i < 4; i++)
        L.push_back(Held(R::Listen(m_Dev, A())));
    EXPECT_EQ(Counters().HeldListens, 4u);
    EXPECT_EQ(m_Radio.Connect(0x40, 48), STATUS_SUCCESS);
    EXPECT_EQ(m_Radio.Reconfigure(0x40, 100), STATUS_SUCCESS);
    EXPECT_TRUE(L[0]->Done() && L[1]->Done());
    EXPECT_FALSE(L[2]->Done() || L[3]->Done());
    EXPECT_EQ(L[0]->Status(), STATUS_SUCCESS);
    EXPECT_EQ(L[0]->Information(), 54u) << "the whole record";
    EXPECT_EQ(L[0]->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(L[0]->Output(), StatusRecord(0x40, 8, 48));
    EXPECT_EQ(L[1]->Output(), StatusRecord(0x40, 16, 100));
    EXPECT_EQ(Counters().HeldListens, 2u);
}

TEST_F(L2capFixture, ListensAndReadsWithoutRoomAndOtherControlCodesAreRefused)
{
    EXPECT_EQ(R::Listen(m_Dev, A(), 53)->Send(), STATUS_INVALID_PARAMETER);
    for (ULONG Length : {0u, 1u}) // no room for the CID
        EXPECT_EQ(R::Read(m_Dev, A(), Length)->Send(), STATUS_INVALID_PARAMETER);
    auto Other = R::Listen(m_Dev, A(), 54, 0x80022014);
    EXPECT_EQ(Other->Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Other->Information(), 0u);
    KIVL2CAP_COUNTERS C = Counters();
    EXPECT_EQ(C.HeldListens + C.HeldReads, 0u);
    EXPECT_EQ(C.ControlsRefused, 1u);
    // A longer buffer is fine; the record fills its first 54 bytes.
    auto Long = Held(R::Listen(m_Dev, A(), 64));
    m_Radio.Disconnect(0x77);
    EXPECT_EQ(Long->Output(), StatusRecord(0x77, 32, 0));
}

// ---------------------------------------------------------------------------------------------
// Reads

TEST_F(L2capFixture, FramesAreKeptInOrderAndFillReadsOldestFirst)
{
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(m_Radio.SendFrame(USHORT(0x40 + i), std::vector<UCHAR>(size_t(i), UCHAR(i))),
                  STATUS_PENDING);
    EXPECT_EQ(Counters().KeptFrames, 5u);
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        auto Rd = R::Read(m_Dev, A(), 1024);
        EXPECT_EQ(Rd->Send(), STATUS_SUCCESS);
        std::vector<UCHAR> Want{UCHAR(0x40 + i), 0x00};
        Want.insert(Want.end(), size_t(i), UCHAR(i));
        EXPECT_EQ(Rd->Output(), Want);
    }
    // Three held reads: frames on any channel, connected or not, go to them in the order they
    // were sent.
    std::vector<std::unique_ptr<R>> Reads;
    for (int i = 0; i < 3; i++)
        Reads.push_back(Held(R::Read(m_Dev, A(), 16)));
    m_Radio.SendFrame(0x0101, Bytes({0xA1}));
    m_Radio.SendFrame(0x0102, Bytes({0xA2}));
    EXPECT_EQ(Reads[0]->Output(), Bytes({0x01, 0x01, 0xA1}));
    EXPECT_EQ(Reads[0]->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(Reads[1]->Output(), Bytes({0x02, 0x01, 0xA2}));
    EXPECT_FALSE(Reads[2]->Done());
}

TEST_F(L2capFixture, FrameLongerThanTheReadBufferIsDroppedWithAMessage)
{
    struct CASE {
        const char* Name;
        ULONG Capacity;
        ULONG Payload;
        bool Delivered;
    };
    const CASE Cases[] = {
        {"fits exactly", 10, 8, true},
        {"one over", 10, 9, false},
        {"CID only", 2, 0, true},
        {"full 1024", 1024, 1022, true},
        {"1025 in 1024", 1024, 1023, false},
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        kivrt::TakeCapturedDbgPrint();
        // Held read first, frame second.
        auto Rd = Held(R::Read(m_Dev, A(), C.Capacity));
        std::vector<UCHAR> Payload(C.Payload, 0x5A);
        EXPECT_EQ(m_Radio.SendFrame(0x40, Payload),
                  C.Delivered ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(Rd->Done(), C.Delivered) << "a dropped frame leaves the read held";
        if (C.Delivered) {
            EXPECT_EQ(Rd->Information(), C.Payload + 2);
        }
        std::string Dbg = kivrt::TakeCapturedDbgPrint();
        EXPECT_EQ(Dbg.find("dropped") != std::string::npos, !C.Delivered) << Dbg;
        Rd.reset();

        // Frames kept first, read second: one that does not fit is dropped on the way to the next.
        EXPECT_EQ(m_Radio.SendFrame(0x41, Payload), STATUS_PENDING);
        EXPECT_EQ(m_Radio.SendFrame(0x42, {}), STATUS_PENDING);
        auto Rd2 = R::Read(m_Dev, A(), C.Capacity);
        EXPECT_EQ(Rd2->Send(), STATUS_SUCCESS);
        std::vector<UCHAR> Want = Bytes({C.Delivered ? 0x41 : 0x42, 0x00});
        if (C.Delivered) Want.insert(Want.end(), Payload.begin(), Payload.end());
        EXPECT_EQ(Rd2->Output(), Want);
        EXPECT_EQ(Counters().KeptFrames, C.Delivered ? 1u : 0u);
        if (C.Delivered) {
            EXPECT_EQ(R::Read(m_Dev, A(), 2)->Send(), STATUS_SUCCESS); // takes 0x42's
        }
    }
    KIVL2CAP_COUNTERS Cn = Counters();
    EXPECT_EQ(Cn.FramesDropped, 4u);
    EXPECT_EQ(Cn.FramesDelivered, 11u);
}

// ---------------------------------------------------------------------------------------------
// Writes

TEST_F(L2capFixture, WriteSendsThePayloadOnTheCidAtTheHeadOfTheBufferOrFails)
{
    m_Radio.Connect(0x0040, 48);
    m_Radio.Connect(0x1234, 48);
    auto W1 = R::Write(m_Dev, A(), 0x0040, Bytes({0x03, 0x00, 0x01, 0x00, 0x00}));
    auto W2 = R::Write(m_Dev, B(), 0x1234, {});
    EXPECT_EQ(W1->Send(), STATUS_SUCCESS);
    EXPECT_EQ(W2->Send(DISPATCH_LEVEL), STATUS_SUCCESS);
    EXPECT_EQ(W1->Information(), 7u);
    EXPECT_EQ(W2->Information(), 2u);
    EXPECT_EQ(W1->CompletionIrql(), DISPATCH_LEVEL);
    auto Written = m_Radio.TakeWritten();
    ASSERT_EQ(Written.size(), 2u);
    EXPECT_EQ(Written[0].Cid, 0x0040);
    EXPECT_EQ(Written[0].Payload, Bytes({0x03, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Written[0].Client, A());
    EXPECT_EQ(Written[1].Cid, 0x1234);
    EXPECT_TRUE(Written[1].Payload.empty());
    EXPECT_EQ(Written[1].Client, B());

    // Writes without a CID, refused by the radio, or with no radio fail.
    for (const std::vector<UCHAR>& Buffer : {Bytes({0x40}), Bytes({})})
        EXPECT_EQ(R::WriteRaw(m_Dev, A(), Buffer)->Send(), STATUS_INVALID_PARAMETER);

    m_Radio.FailTransmits(STATUS_IO_TIMEOUT);
    auto Refused = R::Write(m_Dev, A(), 0x40, Bytes({1}));
    EXPECT_EQ(Refused->Send(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Refused->Information(), 0u);

    m_Radio.Detach();
    EXPECT_EQ(m_Radio.Device(), nullptr);
    EXPECT_EQ(R::Write(m_Dev, A(), 0x40, Bytes({1}))->Send(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(m_Radio.WrittenCount(), 0u);
    KIVL2CAP_COUNTERS C = Counters();
    EXPECT_EQ(C.WritesFailed, 4u);
    EXPECT_EQ(C.WritesSent, 2u);
    ASSERT_EQ(m_Radio.Attach(m_Dev), STATUS_SUCCESS);
}

TEST_F(L2capFixture, WritesFailOnChannelsThatAreNotOpen)
{
    struct CASE {
        const char* Name;
        USHORT Cid; // the events' channel; the write goes to 0x60
        std::vector<USHORT> Events;
        bool Open;
    };
    const CASE Cases[] = {
        {"never connected", 0x60, {}, false},
        {"connected", 0x60, {KIVL2CAP_STATUS_CONNECTED}, true},
        {"disconnected", 0x60, {KIVL2CAP_STATUS_CONNECTED, KIVL2CAP_STATUS_DISCONNECTED}, false},
        {"invalidated", 0x60, {KIVL2CAP_STATUS_CONNECTED, KIVL2CAP_STATUS_INVALIDATED}, false},
        {"configured only", 0x60, {KIVL2CAP_STATUS_CONFIG_ENDED}, false},
        {"connected, timeout, request failed",
         0x60,
         {KIVL2CAP_STATUS_CONNECTED, KIVL2CAP_STATUS_TIMEOUT, KIVL2CAP_STATUS_REQUEST_FAILED},
         true},
        {"another channel", 0x61, {KIVL2CAP_STATUS_CONNECTED}, false},
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        for (USHORT Code : C.Events)
            m_Radio.Status(C.Cid, Code, 48);
        auto W = R::Write(m_Dev, A(), 0x60, Bytes({1, 2, 3}));
        EXPECT_EQ(W->Send(), C.Open ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_Radio.TakeWritten().size(), C.Open ? 1u : 0u);
        EXPECT_EQ(KivL2capIsChannelOpen(m_Dev, 0x60), C.Open);
        m_Radio.Disconnect(C.Cid);
        // Drain the kept events so each case starts clean.
        while (Counters().KeptEvents != 0)
            R::Listen(m_Dev, A())->Send();
    }
}

// ---------------------------------------------------------------------------------------------
// Cleanup and cancellation

TEST_F(L2capFixture, CleanupFailsOnlyThatClientsHeldRequests)
{
    auto ReadA = Held(R::Read(m_Dev, A(), 1024));
    auto ReadB = Held(R::Read(m_Dev, B(), 1024));
    auto ListenA = Held(R::Listen(m_Dev, A()));
    auto ListenB = Held(R::Listen(m_Dev, B()));

    EXPECT_EQ(R::Cleanup(m_Dev, A())->Send(), STATUS_SUCCESS);
    EXPECT_EQ(ReadA->Status(), STATUS_CANCELLED);
    EXPECT_EQ(ListenA->Status(), STATUS_CANCELLED);
    EXPECT_EQ(ReadA->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(ReadB->Done() || ListenB->Done());

    m_Radio.SendFrame(0x40, Bytes({9}));
    m_Radio.Connect(0x40, 48);
    EXPECT_EQ(ReadB->Output(), Bytes({0x40, 0x00, 9}));
    EXPECT_EQ(ListenB->Output(), StatusRecord(0x40, 8, 48));

    // A cleanup with nothing held, kept frames and events untouched.
    m_Radio.SendFrame(0x40, Bytes({1}));
    EXPECT_EQ(R::Cleanup(m_Dev, A())->Send(), STATUS_SUCCESS);
    KIVL2CAP_COUNTERS C = Counters();
    EXPECT_EQ(C.KeptFrames, 1u);
    EXPECT_EQ(C.Cleanups, 2u);
    EXPECT_EQ(C.Cancelled, 2u);
}

TEST_F(L2capFixture, CancellingAHeldRequestLeavesTheOthersInOrder)
{
    std::vector<std::unique_ptr<R>> Reads;
    for (int i = 0; i < 3; i++)
        Reads.push_back(Held(R::Read(m_Dev, A(), 1024)));
    auto L = Held(R::Listen(m_Dev, A()));
    EXPECT_TRUE(Reads[1]->Cancel());
    EXPECT_EQ(Reads[1]->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Reads[1]->Information(), 0u);
    EXPECT_TRUE(L->Cancel());
    EXPECT_EQ(L->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Counters().HeldReads, 2u);
    EXPECT_EQ(Counters().HeldListens, 0u);

    m_Radio.SendFrame(0x40, Bytes({1}));
    m_Radio.SendFrame(0x40, Bytes({2}));
    EXPECT_EQ(Reads[0]->Output(), Bytes({0x40, 0, 1}));
    EXPECT_EQ(Reads[2]->Output(), Bytes({0x40, 0, 2}));
    // The event was kept: the cancelled listen did not swallow it.
    m_Radio.Connect(0x40, 48);
    EXPECT_EQ(Counters().KeptEvents, 1u);
    // Cancelling a completed request does nothing.
    EXPECT_FALSE(Reads[0]->Cancel());
}

TEST_F(L2capFixture, ARequestCancelledBeforeItArrivesIsNotHeld)
{
    auto Rd = R::Read(m_Dev, A(), 1024);
    EXPECT_FALSE(Rd->Cancel()) << "no cancel routine yet";
    EXPECT_EQ(Rd->Send(), STATUS_CANCELLED);
    EXPECT_EQ(Counters().HeldReads, 0u);
    // And the frame that follows is kept for the next read.
    EXPECT_EQ(m_Radio.SendFrame(0x40, Bytes({1})), STATUS_PENDING);
}

// ---------------------------------------------------------------------------------------------
// Fault injection

TEST_F(L2capFixture, FailNextRequestFailsExactlyTheNextOfItsKind)
{
    m_Radio.Connect(0x40, 48);
    ASSERT_EQ(KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Read, STATUS_IO_DEVICE_ERROR),
              STATUS_SUCCESS);
    ASSERT_EQ(KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Write, STATUS_IO_TIMEOUT, 2),
              STATUS_SUCCESS);
    ASSERT_EQ(KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Listen, STATUS_UNSUCCESSFUL),
              STATUS_SUCCESS);

    auto Rd1 = R::Read(m_Dev, A(), 1024), Rd2 = R::Read(m_Dev, A(), 1024);
    EXPECT_EQ(Rd1->Send(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Rd1->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(Rd2->Send(), STATUS_PENDING);

    for (int i = 0; i < 3; i++) {
        auto W = R::Write(m_Dev, A(), 0x40, Bytes({UCHAR(i)}));
        EXPECT_EQ(W->Send(), i < 2 ? STATUS_IO_TIMEOUT : STATUS_SUCCESS);
    }
    auto Written = m_Radio.TakeWritten();
    ASSERT_EQ(Written.size(), 1u) << "a failed write is not sent";
    EXPECT_EQ(Written[0].Payload, Bytes({2}));

    // The kept connect event is not consumed by the failed listen.
    auto L1 = R::Listen(m_Dev, A()), L2 = R::Listen(m_Dev, A());
    EXPECT_EQ(L1->Send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(L2->Send(), STATUS_SUCCESS);
    EXPECT_EQ(L2->Output(), StatusRecord(0x40, 8, 48));

    // Count 0 clears a rule.
    KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Listen, STATUS_UNSUCCESSFUL);
    KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Listen, STATUS_UNSUCCESSFUL, 0);
    Held(R::Listen(m_Dev, A()));
}

TEST_F(L2capFixture, FailHeldRequestCompletesTheOldestHeldOneNow)
{
    auto Rd1 = Held(R::Read(m_Dev, A(), 1024)), Rd2 = Held(R::Read(m_Dev, A(), 1024));
    auto L = Held(R::Listen(m_Dev, A()));
    EXPECT_EQ(KivL2capFailHeldRequest(m_Dev, KIVL2CAP_REQUEST::Read, STATUS_IO_DEVICE_ERROR),
              STATUS_SUCCESS);
    EXPECT_EQ(Rd1->Status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Rd1->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(Rd2->Done());
    EXPECT_EQ(KivL2capFailHeldRequest(m_Dev, KIVL2CAP_REQUEST::Listen, STATUS_UNSUCCESSFUL),
              STATUS_SUCCESS);
    EXPECT_EQ(L->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KivL2capFailHeldRequest(m_Dev, KIVL2CAP_REQUEST::Listen, STATUS_UNSUCCESSFUL),
              STATUS_NOT_FOUND);
    // Bad rules change nothing.
    EXPECT_EQ(KivL2capFailHeldRequest(m_Dev, KIVL2CAP_REQUEST::Write, STATUS_UNSUCCESSFUL),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KivL2capFailHeldRequest(m_Dev, KIVL2CAP_REQUEST::Read, STATUS_SUCCESS),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KivL2capFailNextRequest(m_Dev, KIVL2CAP_REQUEST::Read, STATUS_PENDING),
              STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Rd2->Done());
    EXPECT_EQ(KivL2capFailHeldRequest(nullptr, KIVL2CAP_REQUEST::Read, STATUS_UNSUCCESSFUL),
              STATUS_INVALID_PARAMETER);
}

TEST_F(L2capFixture, WhatCannotBeKeptIsRefusedAndChangesNothing)
{
    // Pool refused: the connect is not kept, and the channel does not open.
    kivrt::FailPoolAllocations(KIVL2CAP_POOL_TAG, 0);
    EXPECT_EQ(m_Radio.Connect(0x40, 48), STATUS_INSUFFICIENT_RESOURCES);
    kivrt::FailPoolAllocations(KIVL2CAP_POOL_TAG, 0);
    EXPECT_EQ(m_Radio.SendFrame(0x40, Bytes({1})), STATUS_INSUFFICIENT_RESOURCES);
    kivrt::ClearFailureInjection();
    EXPECT_FALSE(KivL2capIsChannelOpen(m_Dev, 0x40));
    KIVL2CAP_COUNTERS C = Counters();
    EXPECT_EQ(C.KeptEvents + C.KeptFrames, 0u);

    // The kept limit.
    for (ULONG i = 0; i < KIVL2CAP_MAX_KEPT; i++)
        ASSERT_EQ(m_Radio.Status(USHORT(i), KIVL2CAP_STATUS_TIMEOUT), STATUS_PENDING);
    EXPECT_EQ(m_Radio.Connect(0x40, 48), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(KivL2capIsChannelOpen(m_Dev, 0x40));
    for (ULONG i = 0; i < KIVL2CAP_MAX_KEPT; i++)
        ASSERT_EQ(m_Radio.SendFrame(USHORT(i), {}), STATUS_PENDING);
    EXPECT_EQ(m_Radio.SendFrame(0x40, {}), STATUS_DEVICE_BUSY);
    std::vector<UCHAR> TooLong(KIVL2CAP_MAX_PAYLOAD + 1);
    EXPECT_EQ(KivL2capIndicateFrame(m_Dev, 0x40, TooLong.data(), ULONG(TooLong.size())),
              STATUS_INVALID_PARAMETER);
    // The first kept event is still the first delivered.
    auto L = R::Listen(m_Dev, A());
    EXPECT_EQ(L->Send(), STATUS_SUCCESS);
    EXPECT_EQ(L->Output(), StatusRecord(0, KIVL2CAP_STATUS_TIMEOUT, 0));
    // Removal frees all that is kept (TearDown checks the pool tag).
}

// ---------------------------------------------------------------------------------------------
// Applications through the filter above

// An application that reaches the device through the driver above (its requests passed down
// unchanged, at PASSIVE_LEVEL or at DISPATCH_LEVEL) gets none of the channel requests: each is
// refused and the driver's own held listen and read are served as before.
TEST_F(L2capFixture, ApplicationChannelRequestsAreRefusedAndChangeNothing)
{
    auto Listen = Held(R::Listen(m_Dev, A()));
    auto Rd = Held(R::Read(m_Dev, A(), 64));
    m_Radio.Connect(0x40, 48);
    ASSERT_TRUE(Listen->Done());
    for (bool AtDispatch : {false, true}) {
        SCOPED_TRACE(AtDispatch ? "at DISPATCH_LEVEL" : "at PASSIVE_LEVEL");
        g_ForwardAtDispatch = AtDispatch;
        auto Waiting = Held(R::Listen(m_Dev, A()));
        kivrt::APP_HANDLE H = Open();
        ASSERT_NE(H, nullptr);
        UCHAR Rec[54], Buf[64];
        UCHAR Frame[] = {0x40, 0x00, 0xAB};
        ULONG N = 0;
        kivrt::Overlapped L, Rd2, W, Ctl;
        EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_KIVL2CAP_LISTEN_FOR_STATUS, nullptr, 0, Rec,
                                            sizeof(Rec), &N, &L),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(kivrt::AppRead(H, Buf, sizeof(Buf), &N, &Rd2), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(kivrt::AppWrite(H, Frame, sizeof(Frame), &N, &W), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(kivrt::AppDeviceIoControl(H, 0x80042000, Frame, sizeof(Frame), Rec, sizeof(Rec),
                                            &N, &Ctl),
                  STATUS_INVALID_DEVICE_REQUEST);
        kivrt::AppClose(H); // its cleanup reaches the device and fails nothing
        m_Handles.pop_back();

        KIVL2CAP_COUNTERS C = Counters();
        EXPECT_EQ(C.HeldListens, 1u);
        EXPECT_EQ(C.HeldReads, 1u);
        EXPECT_EQ(C.Cleanups, AtDispatch ? 2u : 1u);
        EXPECT_EQ(C.ApplicationRequestsRefused, AtDispatch ? 6u : 3u);
        EXPECT_EQ(m_Radio.WrittenCount(), 0u);
        // The driver's requests still get every event and frame.
        USHORT Cid = AtDispatch ? 0x42 : 0x41;
        m_Radio.Disconnect(Cid);
        ASSERT_TRUE(Waiting->Done());
        EXPECT_EQ(Waiting->Output(), StatusRecord(Cid, 32, 0));
    }
    g_ForwardAtDispatch = false;
    m_Radio.SendFrame(0x40, Bytes({0x11}));
    ASSERT_TRUE(Rd->Done());
    EXPECT_EQ(Rd->Output(), Bytes({0x40, 0x00, 0x11}));
    EXPECT_EQ(R::Write(m_Dev, A(), 0x40, {0x22})->Send(), STATUS_SUCCESS);
    EXPECT_EQ(m_Radio.WrittenCount(), 1u);
}

// A listen sent as internal device control comes from a driver whatever its requestor mode.
TEST_F(L2capFixture, InternalDeviceControlListenIsServed)
{
    auto L = R::Listen(m_Dev, A());
    PIO_STACK_LOCATION S = IoGetNextIrpStackLocation(L->Irp());
    S->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    L->Irp()->RequestorMode = UserMode;
    EXPECT_EQ(L->Send(), STATUS_PENDING);
    m_Radio.Connect(0x41, 48);
    ASSERT_TRUE(L->Done());
    EXPECT_EQ(L->Output(), StatusRecord(0x41, 8, 48));
    // The same listen as device control in user mode is an application's.
    auto U = R::Listen(m_Dev, A());
    U->Irp()->RequestorMode = UserMode;
    EXPECT_EQ(U->Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Counters().ApplicationRequestsRefused, 1u);
}

// ---------------------------------------------------------------------------------------------
// Plug and Play and power

TEST_F(L2capFixture, StopAndRestartKeepChannelsHeldRequestsAndKeptFrames)
{
    m_Radio.Connect(0x40, 48);
    EXPECT_EQ(R::Listen(m_Dev, A())->Send(), STATUS_SUCCESS);
    auto Rd = Held(R::Read(m_Dev, A(), 1024));
    EXPECT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    EXPECT_FALSE(Counters().Started);
    EXPECT_FALSE(Rd->Done());
    m_Radio.SendFrame(0x40, Bytes({1}));
    m_Radio.SendFrame(0x40, Bytes({2}));
    EXPECT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    EXPECT_TRUE(Counters().Started);
    EXPECT_EQ(Rd->Output(), Bytes({0x40, 0, 1}));
    auto Rd2 = R::Read(m_Dev, A(), 1024);
    EXPECT_EQ(Rd2->Send(), STATUS_SUCCESS);
    EXPECT_EQ(Rd2->Output(), Bytes({0x40, 0, 2}));
    EXPECT_EQ(R::Write(m_Dev, A(), 0x40, Bytes({3}))->Send(), STATUS_SUCCESS);
}

TEST_F(L2capFixture, SurpriseRemovalFailsHeldRequestsAndRefusesNewWork)
{
    m_Radio.Connect(0x40, 48);
    auto Rd = R::Read(m_Dev, A(), 1024);
    auto L = R::Listen(m_Dev, A());
    Rd->Send(), L->Send();
    m_Radio.SendFrame(0x40, Bytes({1})); // to the read
    auto Rd2 = Held(R::Read(m_Dev, A(), 1024));
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    EXPECT_EQ(Rd->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Rd2->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(L->Status(), STATUS_SUCCESS) << "it had the connect event";
    EXPECT_TRUE(Counters().Removed);

    EXPECT_EQ(m_Radio.SendFrame(0x40, Bytes({2})), STATUS_DELETE_PENDING);
    EXPECT_EQ(m_Radio.Connect(0x41, 48), STATUS_DELETE_PENDING);
    EXPECT_EQ(R::Read(m_Dev, A(), 1024)->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(R::Write(m_Dev, A(), 0x40, Bytes({3}))->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(m_Radio.WrittenCount(), 0u);
    EXPECT_EQ(R::Cleanup(m_Dev, A())->Send(), STATUS_SUCCESS) << "cleanup always succeeds";
    EXPECT_EQ(kivrt::RemoveAfterSurprise(m_Node), STATUS_SUCCESS);
    m_Removed = true;
}

TEST_F(L2capFixture, TwoL2capDevicesKeepTheirOwnTraffic)
{
    kivrt::DEVNODE* Node2 = nullptr;
    ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0001", m_L2cap, {m_Client}, &Node2),
              STATUS_SUCCESS);
    ASSERT_EQ(kivrt::StartDevice(Node2), STATUS_SUCCESS);
    PDEVICE_OBJECT Dev2 = KivL2capDeviceOfNode(Node2);
    ASSERT_TRUE(Dev2 != nullptr && Dev2 != m_Dev);
    CMemoryRadio Radio2;
    ASSERT_EQ(Radio2.Attach(Dev2), STATUS_SUCCESS);

    auto Rd1 = Held(R::Read(m_Dev, A(), 1024)), Rd2 = Held(R::Read(Dev2, A(), 1024));
    Radio2.SendFrame(0x40, Bytes({2}));
    EXPECT_FALSE(Rd1->Done());
    EXPECT_EQ(Rd2->Output(), Bytes({0x40, 0, 2}));
    Radio2.Connect(0x40, 48);
    EXPECT_EQ(R::Write(m_Dev, A(), 0x40, Bytes({1}))->Send(), STATUS_INVALID_PARAMETER)
        << "the channel is open on the other device";
    EXPECT_EQ(kivrt::RemoveDevice(Node2), STATUS_SUCCESS);
    kivrt::DeleteDevNode(Node2);
    EXPECT_EQ(Radio2.Device(), nullptr);
    EXPECT_TRUE(kivrt::IsDriverLoaded(m_L2cap)) << "the first device still runs";
}

// ---------------------------------------------------------------------------------------------
// Deferred completion

TEST_F(L2capFixture, DeferredCompletionsArriveAfterTheCallReturnedWithTheirResults)
{
    m_Radio.Connect(0x40, 48); // kept
    ASSERT_EQ(KivL2capDeferCompletions(m_Dev, true), STATUS_SUCCESS);
    auto W = Held(R::Write(m_Dev, A(), 0x40, Bytes({1, 2})));
    auto Bad = Held(R::Write(m_Dev, A(), 0x99, Bytes({1})));
    auto L = Held(R::Listen(m_Dev, A()));
    auto Rd = Held(R::Read(m_Dev, A(), 1024));
    EXPECT_EQ(m_Radio.WrittenCount(), 1u) << "the frame went out; only its completion waits";
    EXPECT_FALSE(W->Done() || Bad->Done() || L->Done());
    EXPECT_EQ(Counters().Parked, 3u);

    EXPECT_EQ(KivL2capCompleteDeferred(m_Dev, PASSIVE_LEVEL), 3u);
    EXPECT_EQ(W->Status(), STATUS_SUCCESS);
    EXPECT_EQ(W->Information(), 4u);
    EXPECT_EQ(W->CompletionIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Bad->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(L->Output(), StatusRecord(0x40, 8, 48));
    EXPECT_FALSE(Rd->Done()) << "a held read is not parked";

    // Removal completes what is still parked.
    auto W2 = Held(R::Write(m_Dev, A(), 0x40, Bytes({3})));
    Remove();
    EXPECT_EQ(W2->Status(), STATUS_SUCCESS);
    EXPECT_EQ(W2->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(Rd->Status(), STATUS_DELETE_PENDING);
}

// ---------------------------------------------------------------------------------------------
// Device creation and start failures

TEST(L2capLifecycle, AFailedAddDeviceOrStartLeavesNothingBehind)
{
    kivrt::Reset();
    kivrt::CaptureDbgPrint();
    PDRIVER_OBJECT Driver = nullptr;
    ASSERT_EQ(KivL2capLoad(&Driver), STATUS_SUCCESS);

    // No device object: AddDevice fails with the creation's status.
    kivrt::DEVNODE* Node = nullptr;
    kivrt::FailDeviceCreation(0);
    EXPECT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", Driver, {}, &Node),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_NE(Node, nullptr);
    EXPECT_EQ(KivL2capDeviceOfNode(Node), nullptr);
    EXPECT_NE(kivrt::TakeCapturedDbgPrint().find("AddDevice failed"), std::string::npos);
    kivrt::DeleteDevNode(Node);

    // The bus refuses START: the device is removed at once and the driver unloads.
    ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0001", Driver, {}, &Node), STATUS_SUCCESS);
    kivrt::SetPdoHook(Node, [](PDEVICE_OBJECT, PIRP Irp, NTSTATUS* Status) {
        PIO_STACK_LOCATION S = IoGetCurrentIrpStackLocation(Irp);
        if (S->MajorFunction != IRP_MJ_PNP || S->MinorFunction != IRP_MN_START_DEVICE) return false;
        *Status = Irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return true;
    });
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_IO_DEVICE_ERROR);
    kivrt::DrainWorkItems();
    EXPECT_FALSE(kivrt::IsDriverLoaded(Driver));
    kivrt::DeleteDevNode(Node);
    EXPECT_EQ(kivrt::VerifierRecords().size(), 0u) << VerifierText();
    kivrt::Reset();
}
