// Plug-and-play state machine of CPnpDevice and CThinFilterDevice, IRP
// counting, stalled IRPs, opens and construction failures.
#include "TestStack.h"

#include <string>

using kivrt::APP_HANDLE;

namespace {

class PnpFixture : public DeviceStackFixture, public ::testing::WithParamInterface<DEVICE_KIND> {
protected:
    void SetUp() override
    {
        DeviceStackFixture::SetUp();
        g_Config.Kind = GetParam();
    }
    bool IsFilter() const { return GetParam() == DEVICE_KIND::Filter; }
    NTSTATUS Pnp(UCHAR Minor) { return kivrt::SendPnp(m_Node, Minor); }
};

using PnpDeviceFixture = DeviceStackFixture;

std::string KindName(const ::testing::TestParamInfo<DEVICE_KIND>& Info)
{
    return Info.param == DEVICE_KIND::Pnp ? "PnpDevice" : "ThinFilter";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Both, PnpFixture, ::testing::Values(DEVICE_KIND::Pnp, DEVICE_KIND::Filter),
                         KindName);

TEST_P(PnpFixture, LowerStartFailureSkipsSetup)
{
    g_Config.LowerStartStatus = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x00\n");
    EXPECT_TRUE(Probe().PnpStopped);
    EXPECT_EQ(Probe().IrpCount, 1);
    if (IsFilter()) {
        EXPECT_EQ(Probe().PnpState, PnpStateStartFailed);
        EXPECT_TRUE(
            Printed("CThinFilterDevice: IRP_MN_START_DEVICE lower device failed (0xC0000001)\n"
                    "CThinFilterDevice::OnPnpStartDevice return (0xC0000001)\n"));
    } else {
        EXPECT_EQ(Probe().PnpState, PnpStateNotStarted);
        EXPECT_TRUE(Printed("CPnpDevice:  IRP_MN_START_DEVICE, PDO Failed with status: 0xC0000001\n"
                            "CPnpDevice::OnPnpStartDevice return status 0xC0000001\n"));
    }
}

TEST_P(PnpFixture, SetupFailureEndsInStartFailed)
{
    g_Config.SetupStatus = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Probe().PnpState, PnpStateStartFailed);
    EXPECT_TRUE(Probe().PnpStopped);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_TRUE(Printed(IsFilter()
                            ? "CThinFilterDevice: IRP_MN_START_DEVICE PnpSetupDeviceResources "
                              "failed (0xC000009A)\n"
                            : "CPnpDevice::OnPnpStartDevice return status 0xC000009A\n"));
}

TEST_P(PnpFixture, StartQueryStopCancelStopStopAndRestart)
{
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_NE(g_Device, nullptr);
    EXPECT_EQ(Probe().PnpState, PnpStateNotStarted);
    EXPECT_TRUE(Probe().PnpStopped);
    ASSERT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStarted);
    EXPECT_FALSE(Probe().PnpStopped);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStopPending);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStarted);

    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStopped);
    EXPECT_TRUE(Probe().PnpStopped);
    // Query-stop when stopped succeeds and changes nothing.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStopped);
    // A cancel-stop that finds the device already stopped only says so.
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStopped);
    EXPECT_TRUE(Printed(IsFilter()
                            ? "CThinFilterDevice: Unable to cancel stop -- we are already "
                              "stopped.\n"
                            : "CPnpDevice: Unable to cancel stop -- we are already stopped.\n"));

    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStarted);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x00\nsetup\n"
                             "lower pnp 0x05\nlower pnp 0x06\n"
                             "lower pnp 0x05\nfree 0\nlower pnp 0x04\n"
                             "lower pnp 0x05\nlower pnp 0x06\n"
                             "lower pnp 0x00\nsetup\n");
}

TEST_P(PnpFixture, QueryRemoveCancelRemoveThenDirectRemove)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateRemovePending);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateStarted);
    g_Log.clear();

    // Orderly removal at PASSIVE_LEVEL: the device is gone before the
    // remove returns, and the drivers then unload.
    EXPECT_EQ(kivrt::RemoveDevice(m_Node), STATUS_SUCCESS);
    m_Removed = true;
    EXPECT_EQ(g_Device, nullptr);
    EXPECT_EQ(kivrt::PendingWorkItems(), 0u);
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x01\nfree 0\nlower pnp 0x02\ndeleted\nunloaded\n");
    EXPECT_FALSE(kivrt::IsDriverLoaded(m_Upper));
}

TEST_P(PnpFixture, RemoveWithoutQueryIsDeferredToAWorkItem)
{
    g_Config.SetupStatus = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    g_Log.clear();
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    m_Removed = true;
    EXPECT_EQ(Joined(g_Log), "free 1\nlower pnp 0x02\n");
    EXPECT_NE(g_Device, nullptr);
    EXPECT_EQ(kivrt::PendingWorkItems(), 1u);
    EXPECT_EQ(kivrt::DrainWorkItems(), 1u);
    EXPECT_EQ(g_Device, nullptr);
    EXPECT_EQ(Joined(g_Log), "free 1\nlower pnp 0x02\ndeleted\n");
}

TEST_P(PnpFixture, RemoveWithoutAWorkItemWaitsInPlace)
{
    g_Config.SetupStatus = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    g_Log.clear();
    kivrt::FailPoolAllocations(NORN_UNIT_POOL_TAG, 0, 1); // the work-item block
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    kivrt::ClearFailureInjection();
    m_Removed = true;
    EXPECT_EQ(kivrt::PendingWorkItems(), 0u);
    EXPECT_EQ(g_Device, nullptr);
    EXPECT_EQ(Joined(g_Log), "free 1\nlower pnp 0x02\ndeleted\n");
    EXPECT_TRUE(Printed("NORN ASSERT:  NT_SUCCESS(status) on line "));
}

TEST_P(PnpFixture, SurpriseRemovalThenRemoveTakesTheDirectPath)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    APP_HANDLE h = nullptr;
    ASSERT_EQ(Open(FILE_SHARE_READ, &h), STATUS_SUCCESS);
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    EXPECT_EQ(Probe().PnpState, PnpStateSurpriseRemoved);

    // A thin filter leaves the decision to its derived device; a PnP device
    // refuses everything from now on.
    kivrt::Overlapped ov;
    EXPECT_EQ(Send(h, IOCTL_TEST_NOW, 7, &ov), IsFilter() ? STATUS_SUCCESS : STATUS_DELETE_PENDING);
    kivrt::AppClose(h);
    EXPECT_EQ(Probe().IrpCount, 1);
    g_Log.clear();
    EXPECT_EQ(kivrt::RemoveAfterSurprise(m_Node), STATUS_SUCCESS);
    m_Removed = true;
    EXPECT_EQ(g_Device, nullptr);
    EXPECT_EQ(Joined(g_Log), "free 1\nlower pnp 0x02\ndeleted\nunloaded\n");
}

TEST_P(PnpFixture, UnknownMinorCodesGoDownUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    g_Log.clear();
    for (UCHAR minor : {UCHAR(0x0E), UCHAR(0x16), UCHAR(0x18), UCHAR(IRP_MN_QUERY_ID)}) {
        SCOPED_TRACE(minor);
        EXPECT_EQ(Pnp(minor), STATUS_NOT_SUPPORTED);
    }
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x0E\nlower pnp 0x16\nlower pnp 0x18\nlower pnp 0x13\n");
    EXPECT_TRUE(Printed("CPnpDevice::PnPDispatch - unknown PnP Irp minor function: 0xE\n"));
    EXPECT_TRUE(Printed("CPnpDevice::PnPDispatch - unknown PnP Irp minor function: 0x16\n"));
    EXPECT_TRUE(Printed("CPnpDevice::PnPDispatch - unknown PnP Irp minor function: 0x18\n"));
    EXPECT_TRUE(Printed("CPnpDevice::PnPDispatch  IRP_MN_QUERY_ID\n"));
    EXPECT_EQ(Probe().IrpCount, 1);
}

// Without being asked the device adds nothing to the bus's capabilities (power.sim).
TEST_P(PnpFixture, CapabilitiesReportSurpriseRemovalOkWhenAsked)
{
    g_Config.SurpriseRemovalOK = TRUE;
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    DEVICE_CAPABILITIES caps = {};
    EXPECT_EQ(kivrt::QueryCapabilities(m_Node, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(Probe().IrpCount, 1);
}

TEST_P(PnpFixture, ExclusiveAndSharedOpens)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    APP_HANDLE shared1 = nullptr, shared2 = nullptr, exclusive = nullptr, refused = nullptr;
    ASSERT_EQ(Open(FILE_SHARE_READ, &shared1), STATUS_SUCCESS);
    ASSERT_EQ(Open(FILE_SHARE_WRITE, &shared2), STATUS_SUCCESS);
    EXPECT_EQ(Probe().OpenHandles, 2);
    EXPECT_EQ(Probe().IrpCount, 3);
    // An exclusive open among shared ones is refused and changes no count.
    EXPECT_EQ(Open(0, &refused), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Probe().OpenHandles, 2);
    EXPECT_EQ(Probe().IrpCount, 3);
    kivrt::AppClose(shared1);
    kivrt::AppClose(shared2);
    EXPECT_TRUE(Probe().Stoppable);

    ASSERT_EQ(Open(0, &exclusive), STATUS_SUCCESS);
    EXPECT_TRUE(Probe().OpenedExclusive);
    EXPECT_EQ(Open(0, &refused), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(FILE_SHARE_READ, &refused), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Probe().OpenHandles, 1);
    EXPECT_EQ(Probe().IrpCount, 2);
    EXPECT_FALSE(Probe().Stoppable);
    kivrt::AppClose(exclusive);
    EXPECT_FALSE(Probe().OpenedExclusive);
    EXPECT_EQ(Probe().OpenHandles, 0);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_TRUE(Probe().Stoppable);
    EXPECT_TRUE(Probe().Removable);
}

// ---------------------------------------------------------------------------
// Stalled IRPs (CPnpDevice only: the thin filter never holds an IRP)

TEST_F(PnpDeviceFixture, IrpStalledWhileStopPendingIsReplayedOnCancelStopUnlessCancelled)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    ASSERT_EQ(kivrt::SendPnp(m_Node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    OWN_IRP own{5}, cancelled{6};
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &own), STATUS_PENDING);
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &cancelled), STATUS_PENDING);
    EXPECT_FALSE(own.Done);
    EXPECT_EQ(Probe().IrpCount, 3); // stalled IRPs stay counted
    EXPECT_TRUE(IoCancelIrp(cancelled.Irp));
    EXPECT_TRUE(cancelled.Done);
    EXPECT_EQ(cancelled.Status, STATUS_CANCELLED);
    EXPECT_EQ(Probe().IrpCount, 2);
    EXPECT_EQ(kivrt::SendPnp(m_Node, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(own.Done);
    EXPECT_EQ(own.Status, STATUS_SUCCESS);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_EQ(Joined(g_Log).find("dispatch 6"), std::string::npos);
}

TEST_F(PnpDeviceFixture, IrpStalledWhileStoppedIsReplayedOnRestart)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    OWN_IRP first{1}, second{2};
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &first), STATUS_PENDING);
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &second), STATUS_PENDING);
    g_Log.clear();
    EXPECT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    EXPECT_TRUE(first.Done && second.Done);
    // Replayed in arrival order, after the device's own setup.
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x00\nsetup\ndispatch 1\ncomplete 1 0x00000000\n"
                             "dispatch 2\ncomplete 2 0x00000000\n");
    EXPECT_EQ(Probe().IrpCount, 1);
}

TEST_F(PnpDeviceFixture, StalledIrpsFailOnSurpriseRemoval)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    ASSERT_EQ(kivrt::SendPnp(m_Node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    OWN_IRP own;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &own), STATUS_PENDING);
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    EXPECT_TRUE(own.Done);
    EXPECT_EQ(own.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Probe().IrpCount, 1);
    OWN_IRP late;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_NOW, &late),
              STATUS_DELETE_PENDING);
    EXPECT_TRUE(late.Done);
    EXPECT_EQ(kivrt::RemoveAfterSurprise(m_Node), STATUS_SUCCESS);
    m_Removed = true;
}

TEST_F(PnpDeviceFixture, CreateBeforeStartIsCountedOnce)
{
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    // The device is marked stopped, so the create runs the prologue twice.
    OWN_IRP create, close;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_CREATE, 0, &create, FILE_SHARE_READ), STATUS_SUCCESS);
    EXPECT_TRUE(create.Done);
    EXPECT_EQ(create.Status, STATUS_SUCCESS);
    EXPECT_EQ(Probe().OpenHandles, 1);
    EXPECT_EQ(Probe().IrpCount, 2); // one for the open handle, none for the create
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_CLOSE, 0, &close), STATUS_SUCCESS);
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_EQ(Probe().OpenHandles, 0);
}

TEST_F(PnpDeviceFixture, CreateStalledWhileStoppedOpensOnRestart)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
    OWN_IRP create, close;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_CREATE, 0, &create, 0), STATUS_PENDING);
    EXPECT_EQ(Probe().IrpCount, 2);
    EXPECT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    EXPECT_TRUE(create.Done);
    EXPECT_EQ(create.Status, STATUS_SUCCESS);
    EXPECT_TRUE(Probe().OpenedExclusive);
    EXPECT_EQ(Probe().IrpCount, 2);
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_CLOSE, 0, &close), STATUS_SUCCESS);
    EXPECT_EQ(Probe().IrpCount, 1);
}

TEST_F(PnpDeviceFixture, SystemControlIsForwardedUnlessRefused)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    OWN_IRP wmi;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_SYSTEM_CONTROL, 0, &wmi), STATUS_SUCCESS);
    EXPECT_TRUE(wmi.Done);
    EXPECT_EQ(Joined(g_Log), "lower pnp 0x00\nsetup\nlower major 0x17\n");
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    g_Log.clear();
    OWN_IRP refused;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_SYSTEM_CONTROL, 0, &refused), STATUS_DELETE_PENDING);
    EXPECT_EQ(refused.Status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(g_Log.empty());
    EXPECT_EQ(Probe().IrpCount, 1);
    EXPECT_EQ(kivrt::RemoveAfterSurprise(m_Node), STATUS_SUCCESS);
    m_Removed = true;
}

// ---------------------------------------------------------------------------
// Construction failures undo what was made (a failed IoCreateDevice: the devices scenario)

TEST_F(PnpDeviceFixture, ConstructorFailureUndoesEverything)
{
    g_Config.Win32Name = true;
    g_Config.FailInConstructor = true;
    EXPECT_EQ(Build(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_Device, nullptr);
    EXPECT_TRUE(Printed("test : CTestDevice() - failed (0xC000009A)\n"));
    EXPECT_EQ(Joined(g_Log), "create failed\n");
    ASSERT_NE(m_Node, nullptr);
    EXPECT_EQ(Top()->DriverObject, m_Lower); // detached again
    EXPECT_EQ(kivrt::PoolBlocks(NORN_POOL_TAG), 0u);
    // The name and the link are free again: the next device gets them.
    kivrt::APP_HANDLE h = nullptr;
    EXPECT_FALSE(NT_SUCCESS(kivrt::AppOpen(u"\\\\.\\KivTst0", GENERIC_READ, 0, false, &h)));
}

TEST_F(PnpDeviceFixture, PoolFailuresDuringCreationLeakNothing)
{
    // Fail the n-th framework allocation of the whole life of a device; each
    // run must still end with nothing left and the verifier silent (the
    // fixture's teardown checks).
    for (unsigned n = 0; n < 12; n++) {
        SCOPED_TRACE(n);
        KernelFixture::SetUp();
        g_Config.Win32Name = true;
        kivrt::FailPoolAllocations(NORN_POOL_TAG, n, 1);
        NTSTATUS status = Build();
        kivrt::ClearFailureInjection();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
        }
        Dismantle();
        KernelFixture::TearDown();
    }
}
