// Plug and Play and power on the root bus, with a small WDM function driver and upper filter
// written the way kernel drivers are: load, AddDevice order, start, open, requests, stop and
// restart, removal (with and without a veto), surprise removal, power, unload.
#include "test_drivers.h"

#include <cstring>

namespace {

DEFINE_GUID(GUID_TEST_INTERFACE, 0x5a3c19e7, 0x2f64, 0x4b8d, 0x9c, 0x21, 0x7e, 0x40, 0xd8, 0xb3,
            0xa6, 0xf5);
const ULONG TAG_TEST = kivrt::MakeTag("TPnp");
const ULONG IOCTL_PING = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct KNOBS {
    bool VetoQueryStop = false;
    bool FailStart = false;
    bool SkipStartNext = false;
    bool DeleteInSurprise = false;
    std::string Log;
} g_Knobs;

struct TEST_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    UNICODE_STRING Interface;
    PVOID Scratch; // pool the device holds while it exists
};

TEST_EXTENSION* ExtOf(PDEVICE_OBJECT D)
{
    return (TEST_EXTENSION*)D->DeviceExtension;
}

NTSTATUS SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for it; the IRP is back at this driver's location afterwards.
NTSTATUS ForwardAndWait(TEST_EXTENSION* X, PIRP Irp)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalAndStop, &Done, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(X->Lower, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

NTSTATUS PassDown(TEST_EXTENSION* X, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(X->Lower, Irp);
}

void RemoveSelf(TEST_EXTENSION* X)
{
    if (X->Scratch) ExFreePool(X->Scratch);
    IoDetachDevice(X->Lower);
    IoDeleteDevice(X->Self);
}

NTSTATUS PowerDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    if (!g_Knobs.SkipStartNext) PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtOf(D)->Lower, Irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT D, PIRP Irp)
{
    TEST_EXTENSION* X = ExtOf(D);
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    switch (L->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = ForwardAndWait(X, Irp);
        g_Knobs.Log += "fdo:start ";
        if (NT_SUCCESS(Status) && g_Knobs.FailStart) Status = STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(Status)) IoSetDeviceInterfaceState(&X->Interface, TRUE);
        return CompleteWith(Irp, Status);
    case IRP_MN_QUERY_STOP_DEVICE:
        g_Knobs.Log += "fdo:query-stop ";
        if (g_Knobs.VetoQueryStop) return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(X, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        // Bottom-up: the lower drivers first.
        Status = ForwardAndWait(X, Irp);
        g_Knobs.Log += L->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE ? "fdo:cancel-stop "
                                                                     : "fdo:cancel-remove ";
        return CompleteWith(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        g_Knobs.Log += "fdo:stop ";
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(X, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        g_Knobs.Log += "fdo:query-remove ";
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(X, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        g_Knobs.Log += "fdo:surprise ";
        IoSetDeviceInterfaceState(&X->Interface, FALSE);
        if (g_Knobs.DeleteInSurprise) IoDetachDevice(X->Lower);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(X, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        g_Knobs.Log += "fdo:remove ";
        IoSetDeviceInterfaceState(&X->Interface, FALSE);
        RtlFreeUnicodeString(&X->Interface);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = PassDown(X, Irp);
        RemoveSelf(X);
        return Status;
    }
    default:
        return PassDown(X, Irp);
    }
}

NTSTATUS FdoDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    if (L->MajorFunction == IRP_MJ_PNP) return FdoPnp(D, Irp);
    if (L->MajorFunction == IRP_MJ_POWER) return PowerDispatch(D, Irp);
    if (L->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        if (L->Parameters.DeviceIoControl.OutputBufferLength < 4)
            return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
        memcpy(Irp->AssociatedIrp.SystemBuffer, "pong", 4);
        return CompleteWith(Irp, STATUS_SUCCESS, 4);
    }
    return CompleteWith(Irp, STATUS_SUCCESS);
}

NTSTATUS CreateDevice(PDRIVER_OBJECT Driver, TEST_EXTENSION** ppX)
{
    PDEVICE_OBJECT D;
    NTSTATUS Status =
        IoCreateDevice(Driver, sizeof(TEST_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &D);
    if (NT_SUCCESS(Status)) {
        *ppX = ExtOf(D);
        (*ppX)->Self = D;
    }
    return Status;
}

NTSTATUS FdoAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    g_Knobs.Log += "fdo:add ";
    TEST_EXTENSION* X;
    NTSTATUS Status = CreateDevice(Driver, &X);
    if (!NT_SUCCESS(Status)) return Status;
    PDEVICE_OBJECT D = X->Self;
    Status = IoRegisterDeviceInterface(Pdo, &GUID_TEST_INTERFACE, nullptr, &X->Interface);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(D);
        return Status;
    }
    X->Scratch = ExAllocatePoolWithTag(NonPagedPool, 64, TAG_TEST);
    X->Lower = IoAttachDeviceToDeviceStack(D, Pdo);
    D->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    D->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    TEST_EXTENSION* X = ExtOf(D);
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    if (L->MajorFunction == IRP_MJ_POWER) return PowerDispatch(D, Irp);
    if (L->MajorFunction == IRP_MJ_PNP && L->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        g_Knobs.Log += "filter:remove ";
        NTSTATUS Status = PassDown(X, Irp);
        RemoveSelf(X);
        return Status;
    }
    if (L->MajorFunction == IRP_MJ_PNP && L->MinorFunction == IRP_MN_START_DEVICE)
        g_Knobs.Log += "filter:start ";
    return PassDown(X, Irp);
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    g_Knobs.Log += "filter:add ";
    TEST_EXTENSION* X;
    NTSTATUS Status = CreateDevice(Driver, &X);
    if (!NT_SUCCESS(Status)) return Status;
    X->Lower = IoAttachDeviceToDeviceStack(X->Self, Pdo);
    X->Self->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

int g_Unloads = 0;

template <PDRIVER_DISPATCH Dispatch, PDRIVER_ADD_DEVICE AddDevice>
NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& F : Driver->MajorFunction)
        F = Dispatch;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = [](PDRIVER_OBJECT) { g_Unloads++; };
    return STATUS_SUCCESS;
}
const auto FdoEntry = DriverEntry<FdoDispatch, FdoAddDevice>;
const auto FilterEntry = DriverEntry<FilterDispatch, FilterAddDevice>;

} // namespace

class PnpTest : public KernelFixture {
protected:
    PDRIVER_OBJECT Fdo = nullptr, Filter = nullptr;
    kivrt::DEVNODE* Node = nullptr;

    void SetUp() override
    {
        KernelFixture::SetUp();
        g_Knobs = KNOBS();
        g_Unloads = 0;
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
    EXPECT_EQ(g_Knobs.Log, "fdo:add filter:add ") << "function driver first, then filters";
    EXPECT_EQ(kivrt::DevNodeTop(Node)->DriverObject, Filter);
    EXPECT_EQ(InterfaceLink(), u"") << "not enabled before start";

    g_Knobs.Log.clear();
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Knobs.Log, "filter:start fdo:start ");
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

    g_Knobs.Log.clear();
    ASSERT_EQ(kivrt::StopDevice(Node), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::RestartDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Knobs.Log, "fdo:query-stop fdo:stop filter:start fdo:start ");

    g_Knobs.Log.clear();
    ASSERT_EQ(kivrt::RemoveDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Knobs.Log, "fdo:query-remove filter:remove fdo:remove ");
    EXPECT_FALSE(kivrt::IsDriverLoaded(Fdo));
    EXPECT_FALSE(kivrt::IsDriverLoaded(Filter));
    EXPECT_EQ(g_Unloads, 2);
    EXPECT_EQ(kivrt::PoolBlocks(TAG_TEST), 0u);
}

TEST_F(PnpTest, OpensFailBeforeStart)
{
    kivrt::APP_HANDLE H;
    UNICODE_STRING Link;
    TEST_EXTENSION* X = ExtOf(Fdo->DeviceObject);
    Link = X->Interface;
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&Link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PnpTest, QueryRemoveIsVetoedWhileAHandleIsOpen)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::RemoveDevice(Node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(g_Knobs.Log, "fdo:query-remove fdo:cancel-remove ");
    EXPECT_EQ(Ping(H), STATUS_SUCCESS) << "the device keeps working";
    kivrt::AppClose(H);
}

TEST_F(PnpTest, FailedQueryStopIsCancelled)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_Knobs.VetoQueryStop = true;
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Knobs.Log, "fdo:query-stop fdo:cancel-stop ");
}

TEST_F(PnpTest, FailedStartIsFollowedByRemove)
{
    g_Knobs.FailStart = true;
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Knobs.Log, "filter:start fdo:start filter:remove fdo:remove ");
    EXPECT_FALSE(kivrt::IsDriverLoaded(Fdo));
}

TEST_F(PnpTest, SurpriseRemovalThenRemoveOnceHandlesClose)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(InterfaceLink().c_str(), GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(InterfaceLink(), u"");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_DEVICE_BUSY);
    kivrt::AppClose(H);
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Knobs.Log, "fdo:surprise filter:remove fdo:remove ");
    EXPECT_FALSE(kivrt::IsDriverLoaded(Fdo));
}

// The manager's sequences follow the node's state; one that does not fit
// reaches no driver.
TEST_F(PnpTest, SequencesThatDoNotFitTheNodeStateAreRefusedUnsent)
{
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE) << "never started";
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Knobs.Log, "");

    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_INVALID_DEVICE_STATE) << "already running";
    EXPECT_EQ(kivrt::RestartDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Knobs.Log, "");

    ASSERT_EQ(kivrt::StopDevice(Node), STATUS_SUCCESS);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE) << "already stopped";
    EXPECT_EQ(g_Knobs.Log, "");
    ASSERT_EQ(kivrt::RestartDevice(Node), STATUS_SUCCESS);

    ASSERT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_SUCCESS);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::SurpriseRemoveDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StartDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kivrt::StopDevice(Node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_Knobs.Log, "");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_SUCCESS);
    EXPECT_EQ(g_Knobs.Log, "filter:remove fdo:remove ");
    EXPECT_EQ(kivrt::RemoveAfterSurprise(Node), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpTest, DetachingDuringSurpriseRemovalIsRecorded)
{
    ASSERT_EQ(kivrt::StartDevice(Node), STATUS_SUCCESS);
    g_Knobs.DeleteInSurprise = true;
    kivrt::SurpriseRemoveDevice(Node);
    ExpectRecords("detach-in-surprise-removal");
    // Put the stack back the way the driver should have left it.
    PDEVICE_OBJECT FdoDev = Fdo->DeviceObject;
    ExtOf(FdoDev)->Lower = IoAttachDeviceToDeviceStack(FdoDev, kivrt::DevNodePdo(Node));
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
    g_Knobs.SkipStartNext = true;
    kivrt::SendPower(Node, IRP_MN_QUERY_POWER, DevicePowerState, D3);
    ExpectRecords("po-start-next");
}

static int g_PowerCallbacks;
static IO_STATUS_BLOCK g_PowerIosb;

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
    kivrt::FailPowerIrpRequests(0, 1);
    EXPECT_EQ(PoRequestPowerIrp(Pdo, IRP_MN_SET_POWER, D0, Callback, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_PowerCallbacks, 1);
}

TEST_F(PnpTest, FailedDriverEntryIsDiscardedWithoutUnload)
{
    PDRIVER_OBJECT Bad = (PDRIVER_OBJECT)1;
    EXPECT_EQ(kivrt::LoadDriver(
                  u"Bad",
                  [](PDRIVER_OBJECT D, PUNICODE_STRING) {
                      D->DriverUnload = [](PDRIVER_OBJECT) { g_Unloads++; };
                      return STATUS_INSUFFICIENT_RESOURCES;
                  },
                  &Bad),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Bad, nullptr);
    EXPECT_EQ(g_Unloads, 0);
}

TEST_F(PnpTest, AddDeviceFailureInjectionLeavesNothingBehind)
{
    kivrt::DEVNODE* Second;
    kivrt::FailDeviceCreation(0, 1);
    g_Knobs.Log.clear();
    EXPECT_EQ(kivrt::CreateDevNode(u"ROOT\\TEST\\0001", Fdo, {Filter}, &Second),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_Knobs.Log, "fdo:add ");
    kivrt::DeleteDevNode(Second);
}
