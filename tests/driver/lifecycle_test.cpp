// The SDP device's life: names and interface, start and stop of the
// lower-edge traffic, restart, removal with requests pending, unload, and
// every construction and start failure by failure injection. The lowest free
// instance number is the devices scenario's.
#include "SdpDeviceFixture.h"

#include <functional>
#include <pthread.h>
#include <set>

namespace {

const GUID SdpInterfaceClass = KIVSDP_GUID_DEVCLASS_NORN_SDP_INIT;

} // namespace

TEST_F(SdpDeviceFixture, StopAndRestartKeepTheDatabaseAndRenewTheLowerRequests)
{
    BuildStack();
    BYTES Handle;
    ASSERT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Handle), STATUS_SUCCESS);
    EXPECT_EQ(Handle, Hex("00 00 01 00"));
    Connect(0x0040, 48);
    CloseAll(); // open handles veto a stop
    const ULONG CleanupsBefore = L2cap().Cleanups;

    ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    KIVL2CAP_COUNTERS c = L2cap();
    EXPECT_EQ(c.HeldListens, 0u);
    EXPECT_EQ(c.HeldReads, 0u);
    EXPECT_EQ(c.Cleanups, CleanupsBefore + 1);
    EXPECT_TRUE(Printed("kivsdp : PnpFreeDeviceResources() - About to cancel our IRPs!!\n"));
    // The interface stays enabled over a stop.
    EXPECT_EQ(kivrt::EnumerateInterfaces(SdpInterfaceClass).size(), 1u);
    m_Handle = Open();
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenIrpsCompleted, 5u);
    EXPECT_EQ(Info.ReadIrpsCompleted, 3u);
    CloseAll();

    ASSERT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    c = L2cap();
    EXPECT_EQ(c.HeldListens, 4u);
    EXPECT_EQ(c.HeldReads, 3u);
    m_Handle = Open();
    BYTES Handles;
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, 8, &Handles), STATUS_SUCCESS);
    EXPECT_EQ(Handles, Hex("00 00 01 00"));
    // The channel table survives too: the channel connected before the stop
    // is still answered on.
    Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0040, SearchServerAnswer)});
}

// Runs Fn on a thread with a small stack: nesting that grows with the
// amount of input overflows it.
static void RunOnSmallStack(const std::function<void()>& Fn)
{
    pthread_attr_t Attr;
    ASSERT_EQ(pthread_attr_init(&Attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&Attr, 256 * 1024), 0);
    pthread_t Thread;
    auto Trampoline = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&Thread, &Attr, Trampoline, const_cast<std::function<void()>*>(&Fn)),
              0);
    pthread_join(Thread, nullptr);
    pthread_attr_destroy(&Attr);
}

// While the device is stopped the lower driver keeps events and frames; at
// the restart each request sent down comes back at once with the next one.
// They are taken one after another, not one inside the other, so the stack
// stays flat however many were kept; and the start takes only a few itself,
// leaving the rest to work items, so that it returns.
TEST_F(SdpDeviceFixture, EventsAndFramesKeptDuringAStopAreTakenAtTheRestart)
{
    constexpr ULONG Kept = KIVL2CAP_MAX_KEPT;
    BuildStack();
    SetZoneMask(0);
    Connect(0x0040, 48);
    CloseAll();
    ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    for (ULONG i = 0; i < Kept; i++) {
        ASSERT_TRUE(NT_SUCCESS(m_Radio.Reconfigure(0x0040, uint16_t(48 + i % 200))));
        // Too short to hold a PDU: the read goes straight back down.
        ASSERT_TRUE(NT_SUCCESS(m_Radio.SendFrame(0x0040, Hex("00"))));
    }
    KIVL2CAP_COUNTERS Before = L2cap();
    EXPECT_EQ(Before.KeptEvents, Kept);
    EXPECT_EQ(Before.KeptFrames, Kept);

    NTSTATUS Restart = STATUS_UNSUCCESSFUL;
    RunOnSmallStack([&] { Restart = kivrt::RestartDevice(m_Node); });
    ASSERT_EQ(Restart, STATUS_SUCCESS);
    EXPECT_GT(L2cap().KeptEvents, Kept / 2) << "the start took the kept events itself";
    kivrt::DrainWorkItems();
    KIVL2CAP_COUNTERS After = L2cap();
    EXPECT_EQ(After.KeptEvents, 0u);
    EXPECT_EQ(After.KeptFrames, 0u);
    EXPECT_EQ(After.EventsDelivered - Before.EventsDelivered, Kept);
    EXPECT_EQ(After.FramesDelivered - Before.FramesDelivered, Kept);
    EXPECT_EQ(After.HeldListens, 4u);
    EXPECT_EQ(After.HeldReads, 3u);
    m_Handle = Open();
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenIrpsSent - Info.ListenIrpsCompleted, 4u);
    EXPECT_EQ(Info.ReadIrpsSent - Info.ReadIrpsCompleted, 3u);
    // The channel is still served.
    Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0040, SearchServerAnswer)});
}

// The events kept before a frame reach the channel table before the frame is
// answered, even when the start leaves most of them to work items.
TEST_F(SdpDeviceFixture, EventsKeptBeforeAFrameReachTheTableBeforeItIsAnswered)
{
    BuildStack();
    SetZoneMask(0);
    Connect(0x0040, 48);
    CloseAll();
    ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    for (ULONG i = 0; i < 200; i++)
        ASSERT_TRUE(NT_SUCCESS(m_Radio.Reconfigure(0x0040, uint16_t(48 + i))));
    ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(0x0041, 48)));
    ASSERT_TRUE(NT_SUCCESS(m_Radio.SendFrame(0x0041, SearchServer)));
    ASSERT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0041, SearchServerAnswer)});
}

TEST_F(SdpDeviceFixture, UnloadWithZoneMaskZeroStillPrintsItsTwoLines)
{
    BuildStack();
    SetZoneMask(0);
    Output();
    m_Output.clear();
    CloseAll();
    RemoveStack();
    EXPECT_FALSE(kivrt::IsDriverLoaded(m_Sdp));
    EXPECT_EQ(Output().find("Destructor called"), std::string::npos);
    const std::string Tail =
        "kivsdp : Driver unloaded..\nkivsdp : ----------------------------------\n";
    ASSERT_GE(Output().size(), Tail.size());
    EXPECT_EQ(Output().substr(Output().size() - Tail.size()), Tail);
}

// Every allocation AddDevice makes is failed in turn: each failure either
// leaves a working device (under a later instance number) or no device, and
// never a leak or a verifier record. Together they reach every message the
// constructor can raise with.
TEST_F(SdpDeviceFixture, EveryConstructionFailureIsUndoneCleanly)
{
    std::set<std::string> Seen;
    const char* const Messages[] = {
        "kivsdp : CKivSdp() - Failed to allocate the Write buffer memory list (0xC000009A)\n",
        "kivsdp : CKivSdp() - Failed to allocate the work item memory list (0xC000009A)\n",
        "kivsdo : CKivSdp() - Failed to register the device interface.",
        "kivsdp : CKivSdp() - Failed to create the Win32 name.",
    };
    for (unsigned N = 0; N < 200; N++) {
        SCOPED_TRACE(N);
        ASSERT_NO_FATAL_FAILURE(LoadDrivers());
        kivrt::FailPoolAllocations(0, N, 1);
        NTSTATUS status = kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Sdp}, &m_Node);
        bool Injected = kivrt::InjectedFailures() != 0;
        kivrt::ClearFailureInjection();
        for (const char* Message : Messages) {
            if (Printed(Message)) Seen.insert(Message);
        }
        if (NT_SUCCESS(status)) {
            PDEVICE_OBJECT Top = kivrt::DevNodeTop(m_Node);
            if (Top == KivL2capDeviceOfNode(m_Node)) {
                EXPECT_TRUE(Printed("kivsdp : Failed to CreateDevice ("));
            } else {
                // A device that came up works.
                ASSERT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
                EXPECT_EQ(kivrt::EnumerateInterfaces(SdpInterfaceClass).size(), 1u);
            }
            EXPECT_EQ(kivrt::RemoveDevice(m_Node), STATUS_SUCCESS);
        }
        UnloadExpectingNothingLeft();
        if (!Injected) break; // past the last allocation
    }
    m_Sdp = nullptr;
    m_L2cap = nullptr;
    for (const char* Message : Messages)
        EXPECT_EQ(Seen.count(Message), 1u) << Message;
}

// A request that cannot be allocated, or that the lower driver refuses,
// fails the start; the requests already sent are ended by the removal. A
// refused listen and a missing second read are the start_failures scenario's.
TEST_F(SdpDeviceFixture, EveryStartFailureFailsTheStartCleanly)
{
    struct START_CASE {
        const char* Name;
        std::function<void(PDEVICE_OBJECT)> Inject;
        const char* Message;
    };
    const START_CASE Cases[] = {
        {"first listen not allocated", [](PDEVICE_OBJECT) { kivrt::FailIrpAllocations(0); },
         "kivsdp : IntializeListenIrps() - Failed to allocate listen IRP index 0\n"},
        {"fourth listen not allocated", [](PDEVICE_OBJECT) { kivrt::FailIrpAllocations(3); },
         "kivsdp : IntializeListenIrps() - Failed to allocate listen IRP index 3\n"},
        {"read refused",
         [](PDEVICE_OBJECT Dev) {
             KivL2capFailNextRequest(Dev, KIVL2CAP_REQUEST::Read, STATUS_DEVICE_NOT_READY);
         },
         "kivsdp : SendReadFileIrps() - IoCallDriver failed to send the ReadFile IRP: "
         "0xc00000a3\n"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_NO_FATAL_FAILURE(LoadDrivers());
        ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Sdp}, &m_Node),
                  STATUS_SUCCESS);
        c.Inject(KivL2capDeviceOfNode(m_Node));
        EXPECT_FALSE(NT_SUCCESS(kivrt::StartDevice(m_Node)));
        kivrt::ClearFailureInjection();
        kivrt::DrainWorkItems();
        EXPECT_TRUE(Printed(c.Message)) << Output();
        EXPECT_TRUE(Printed("kivsdp : PnpSetupDeviceResources() - StartupIrps failed. Status: "));
        EXPECT_TRUE(kivrt::EnumerateInterfaces(SdpInterfaceClass).empty());
        UnloadExpectingNothingLeft();
    }
    m_Sdp = nullptr;
    m_L2cap = nullptr;
}

// The started device has both its names and its interface. Plug and Play
// requests that do not fit the device's state: the manager does not send
// them, and a start that reaches a running device anyway changes nothing.
// None of them waits for anything.
TEST_F(SdpDeviceFixture, StartOfARunningDeviceAndASecondSurpriseRemovalAreAnsweredAtOnce)
{
    BuildStack();
    EXPECT_TRUE(Printed("kivsdp : ----------------------------------\nkivsdp :  DriverEntry..\n"));
    EXPECT_NE(Open(u"\\Device\\KivSdp0"), nullptr);
    EXPECT_EQ(kivrt::EnumerateInterfaces(SdpInterfaceClass).size(), 1u);
    EXPECT_EQ(kivrt::StartDevice(m_Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::RestartDevice(m_Node), STATUS_INVALID_DEVICE_STATE);
    // Sent all the same: the lower device answers and this one keeps the
    // requests of its first start at the lower driver.
    EXPECT_EQ(kivrt::SendPnp(m_Node, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Printed("WaitForOwnIrps()"));
    KIVL2CAP_COUNTERS c = L2cap();
    EXPECT_EQ(c.HeldListens, 4u);
    EXPECT_EQ(c.HeldReads, 3u);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.ListenIrpsSent, 4u);
    EXPECT_EQ(Info.ReadIrpsSent, 3u);
    Connect(0x0040, 48);
    Frame(0x0040, SearchServer);
    EXPECT_EQ(TakeWrites(), std::vector<BYTES>{OnCid(0x0040, SearchServerAnswer)});

    SDP_APP_REQUEST* Status = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    SDP_APP_REQUEST* Response = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
    ASSERT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    EXPECT_TRUE(kivrt::EnumerateInterfaces(SdpInterfaceClass).empty());
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StartDevice(m_Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StopDevice(m_Node), STATUS_INVALID_DEVICE_STATE);
    // The thin filter refuses nothing on account of the state: the device
    // itself serves its handles until they close, the database included.
    BYTES Handle;
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, 4, &Handle), STATUS_SUCCESS);
    EXPECT_FALSE(Status->Done());
    EXPECT_FALSE(Response->Done());
    CloseAll();
    ASSERT_TRUE(Status->Done());
    ASSERT_TRUE(Response->Done());
    EXPECT_EQ(Status->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Response->Status(), STATUS_CANCELLED);
    RemoveStack(true);
    EXPECT_TRUE(Printed("kivsdp : ~CKivSdp() - Destructor called..\n"));
}
