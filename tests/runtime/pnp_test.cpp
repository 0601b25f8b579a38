// Plug and Play and power on the root bus, with the test function driver and upper filter: load,
// AddDevice order, start, open, requests, stop and restart, removal (with and without a veto),
// surprise removal, power, unload.
#include "test_drivers.h"

const auto FdoEntry = PnpDriverEntry<true>;
const auto FilterEntry = PnpDriverEntry<false>;

class PnpTest : public KernelFixture {
protected:
    PDRIVER_OBJECT Fdo = nullptr, Filter = nullptr;
    kivrt::DEVNODE* Node = nullptr;

    void SetUp() override
    {
        KernelFixture::SetUp();
        g_Pnp = PNP_KNOBS();
        ASSERT_EQ(kivrt::LoadDriver(u"TestFdo", FdoEntry, &Fdo), STATUS_SUCCESS);
        ASSERT_EQ(kivrt::LoadDriver(u"TestFilter", FilterEntry, &Filter), STATUS_SUCCESS);
        ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\TEST\\0000", Fdo, {Filter}, &Node), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (kivrt::IsDriverLoaded(Fdo)) {
            EXPECT_EQ(kivrt::RemoveDevice(Node), STATUS_SUCCESS);
        }
        kivrt::DeleteDevNode(Node);
        KernelFixture::TearDown();
    }

    std::u16string InterfaceLink()
    {
        auto Links = kivrt::EnumerateInterfaces(GUID_TEST_INTERFACE);
        return Links.size() == 1 ? Links[0] : std::u16string();
    }

    NTSTATUS Ping(kivrt::APP_HANDLE H)
    {
        char Out[4] = {};
        ULONG N = 0;
        NTSTATUS S = kivrt::AppDeviceIoControl(H, IOCTL_PING, nullptr, 0, Out, 4, &N);
        if (NT_SUCCESS(S)) {
            EXPECT_EQ(std::string(Out, N), "pong");
        }
        return S;
    }
};

TEST_F(PnpTest, FullLifecycleLeavesTheVerifierSilentAndThePoolEmpty)
{
    EXPECT_EQ(g_Pnp.Log, "fdo:add filter:add ") << "function driver first, then filters";
    EXPECT_EQ(kivrt::DevNodeTop(Node)->DriverObject, Filter);
    EXPECT_EQ(InterfaceLink(), u"") << "not enabled before start";

    g_Pnp.Log.clear();
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Pnp.Log, "filter:start fdo:start ");
    std::u16string Link = InterfaceLink();
    ASSERT_NE(Link, u"");
    EXPECT_EQ(kivrt::ToNarrow(Link), "\\??\\ROOT#TEST#0000#{5a3c19e7-2f64-4b8d-9c21-7e40d8b3a6f5}");
    PWSTR List = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_TEST_INTERFACE, nullptr, 0, &List), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(List), Link);
    EXPECT_EQ(List[Link.size() + 1], 0) << "a MULTI_SZ: one more terminator";
    ExFreePool(List);

    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(Link.c_str(), GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    EXPECT_EQ(Ping(H), STATUS_SUCCESS);
    kivrt::AppClose(H);

    g_Pnp.Log.clear();
    ASSERT_EQ(kivrt::StopDevice(Node), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::RestartDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Pnp.Log, "fdo:query-stop fdo:stop filter:start fdo:start ");

    g_Pnp.Log.clear();
    ASSERT_EQ(kivrt::RemoveDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Pnp.Log, "fdo:query-remove filter:remove fdo:remove ");
    EXPECT_FALSE(kivrt::IsDriverLoaded(Fdo));
    EXPECT_FALSE(kivrt::IsDriverLoaded(Filter));
    EXPECT_EQ(g_Pnp.Unloads, 2);
    EXPECT_EQ(kivrt::PoolBlocks(TAG_TEST_PNP), 0u);
}

TEST_F(PnpTest, OpensFailBeforeStart)
{
    kivrt::APP_HANDLE H;
    UNICODE_STRING Link;
    PNP_EXTENSION* X = PnpExt(Fdo->DeviceObject);
    Link = X->Interface;
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The manager refuses removal while a handle is open, the driver refuses the stop: each refused
// query is cancelled and the device keeps working.
TEST_F(PnpTest, RefusedQueriesAreCancelled)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::RemoveDevice(Node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(g_Pnp.Log, "fdo:query-remove fdo:cancel-remove ");
    EXPECT_EQ(Ping(H), STATUS_SUCCESS);
    kivrt::AppClose(H);

    g_Pnp.VetoQueryStop = true;
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Pnp.Log, "fdo:query-stop fdo:cancel-stop ");
}

TEST_F(PnpTest, SurpriseRemovalThenRemoveOnceHandlesClose)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(InterfaceLink(), u"");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_DEVICE_BUSY);
    kivrt::AppClose(H);
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Pnp.Log, "fdo:surprise filter:remove fdo:remove ");
    EXPECT_FALSE(kivrt::IsDriverLoaded(Fdo));
}

// The manager's sequences follow the node's state; one that does not fit
// reaches no driver.
TEST_F(PnpTest, SequencesThatDoNotFitTheNodeStateAreRefusedUnsent)
{
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE) << "never started";
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Pnp.Log, "");

    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_INVALID_DEVICE_STATE) << "already running";
    EXPECT_EQ(kivrt::RestartDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Pnp.Log, "");

    ASSERT_EQ(kivrt::StopDevice(Node), STATUS_SUCCESS);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE) << "already stopped";
    EXPECT_EQ(g_Pnp.Log, "");
    ASSERT_EQ(kivrt::RestartDevice(Node), STATUS_SUCCESS);

    ASSERT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_SUCCESS);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Pnp.Log, "");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Pnp.Log, "filter:remove fdo:remove ");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpTest, DetachingDuringSurpriseRemovalIsRecorded)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_Pnp.DetachInSurprise = true;
    kivrt::SurpriseRemoveDevice(Node);
    ExpectRecords("detach-in-surprise-removal");
    // Put the stack back the way the driver should have left it.
    PDEVICE_OBJECT FdoDev = Fdo->DeviceObject;
    PnpExt(FdoDev)->Lower = IoAttachDeviceToDeviceStack(FdoDev, kivrt::DevNodePdo(Node));
    kivrt::ClearVerifierRecords();
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_SUCCESS);
    kivrt::ClearVerifierRecords();
}

TEST_F(PnpTest, CapabilitiesArePresetAndFilledByTheBus)
{
    DEVICE_CAPABILITIES Caps;
    ASSERT_EQ(kivrt::QueryCapabilities(Node, &Caps), STATUS_SUCCESS);
    EXPECT_EQ(Caps.Version, 1);
    EXPECT_EQ(Caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(Caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(Caps.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(Caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(Caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(kivrt::SendPnp(Node, IRP_MN_QUERY_BUS_INFORMATION), STATUS_NOT_SUPPORTED)
        << "an unhandled minor keeps its status";
}

TEST_F(PnpTest, PowerIrpsReachThePdoAndEachDriverStartsTheNext)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    POWER_STATE D3;
    D3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(kivrt::SendPower(Node, IRP_MN_SET_POWER, DevicePowerState, D3), STATUS_SUCCESS);
    EXPECT_EQ(kivrt::DevicePowerState(kivrt::DevNodePdo(Node)).DeviceState, PowerDeviceD3);
    g_Pnp.SkipStartNext = true;
    kivrt::SendPower(Node, IRP_MN_QUERY_POWER, DevicePowerState, D3);
    ExpectRecords("po-start-next");
}

static int g_PowerCallbacks;
static IO_STATUS_BLOCK g_PowerIosb;

// A failed request shows in the framework's power test.
TEST_F(PnpTest, RequestedPowerIrpCallsBackAfterCompletion)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_PowerCallbacks = 0;
    POWER_STATE D0;
    D0.DeviceState = PowerDeviceD0;
    PDEVICE_OBJECT Pdo = kivrt::DevNodePdo(Node);
    auto Callback = [](PDEVICE_OBJECT, UCHAR Minor, POWER_STATE State, PVOID Ctx,
                       PIO_STATUS_BLOCK Iosb) {
        g_PowerCallbacks++;
        g_PowerIosb = *Iosb;
        EXPECT_EQ(Minor, IRP_MN_SET_POWER);
        EXPECT_EQ(State.DeviceState, PowerDeviceD0);
        EXPECT_EQ(Ctx, (PVOID)0x1234);
    };
    EXPECT_EQ(PoRequestPowerIrp(Pdo, IRP_MN_SET_POWER, D0, Callback, (PVOID)0x1234, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(g_PowerCallbacks, 1);
    EXPECT_EQ(g_PowerIosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(PoRequestPowerIrp(Pdo, IRP_MN_POWER_SEQUENCE, D0, Callback, nullptr, nullptr),
              STATUS_INVALID_PARAMETER_2);
}

TEST_F(PnpTest, FailedDriverEntryIsDiscardedWithoutUnload)
{
    PDRIVER_OBJECT Bad = (PDRIVER_OBJECT)1;
    EXPECT_EQ(kivrt::LoadDriver(
                  u"Bad",
                  [](PDRIVER_OBJECT D, PUNICODE_STRING) {
                      D->DriverUnload = [](PDRIVER_OBJECT) { g_Pnp.Unloads++; };
                      return STATUS_INSUFFICIENT_RESOURCES;
                  },
                  &Bad),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Bad, nullptr);
    EXPECT_EQ(g_Pnp.Unloads, 0);
}

TEST_F(PnpTest, AddDeviceFailureInjectionLeavesNothingBehind)
{
    kivrt::DEVNODE* Second;
    kivrt::FailDeviceCreation(0, 1);
    g_Pnp.Log.clear();
    EXPECT_EQ(kivrt::CreateDevNode(u"ROOT\\TEST\\0001", Fdo, {Filter}, &Second),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_Pnp.Log, "fdo:add ");
    kivrt::DeleteDevNode(Second);
}
