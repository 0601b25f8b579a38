// Test drivers for the framework tests: a recording lower driver and a
// framework driver with one CPnpDevice or CThinFilterDevice per stack.
#include "TestStack.h"

#include <cstdio>
#include <cstring>

TEST_CONFIG g_Config;
std::vector<std::string> g_Log;
ITestDevice* g_Device = nullptr;

static void Log(const char* Format, unsigned Value)
{
    char text[96];
    snprintf(text, sizeof(text), Format, Value);
    g_Log.push_back(text);
}

static ULONG IdOf(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG id = 0;
    if (Irp->AssociatedIrp.SystemBuffer != NULL &&
        stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(ULONG)) {
        memcpy(&id, Irp->AssociatedIrp.SystemBuffer, sizeof(id));
    }
    return id;
}

// ---------------------------------------------------------------------------
// Recording lower driver: passes plug and play and power to the PDO, and
// completes everything else itself.

struct LOWER_EXTENSION {
    PDEVICE_OBJECT Below;
};

static NTSTATUS LowerAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(LOWER_EXTENSION), NULL,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<LOWER_EXTENSION*>(device->DeviceExtension);
    ext->Below = IoAttachDeviceToDeviceStack(device, Pdo);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS LowerPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* ext = static_cast<LOWER_EXTENSION*>(DeviceObject->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    Log("lower pnp 0x%02X", minor);
    if (minor == IRP_MN_START_DEVICE && !NT_SUCCESS(g_Config.LowerStartStatus)) {
        Irp->IoStatus.Status = g_Config.LowerStartStatus;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return g_Config.LowerStartStatus;
    }
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE ||
        minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
        minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
        minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->Below, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(ext->Below);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

static NTSTATUS LowerPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* ext = static_cast<LOWER_EXTENSION*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Log("lower power 0x%02X", stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Below, Irp);
}

static NTSTATUS LowerOther(PDEVICE_OBJECT, PIRP Irp)
{
    Log("lower major 0x%02X", IoGetCurrentIrpStackLocation(Irp)->MajorFunction);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS LowerDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->DriverExtension->AddDevice = LowerAddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = LowerPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = LowerPower;
    for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_SYSTEM_CONTROL})
        DriverObject->MajorFunction[major] = LowerOther;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The framework device under test

static VOID QueueStartIo(PDEVICE_OBJECT, PIRP Irp)
{
    Log("start %u", IdOf(Irp));
}

static VOID KernelStartIo(PDEVICE_OBJECT, PIRP Irp)
{
    Log("kstart %u", IdOf(Irp));
}

static ITestDevice* TestDeviceOf(PDEVICE_OBJECT DeviceObject)
{
    return dynamic_cast<ITestDevice*>(static_cast<CPnpDevice*>(DeviceObject->DeviceExtension));
}

// The cancel routine pattern of a CIrpQueue user.
static VOID QueueCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ITestDevice* test = TestDeviceOf(DeviceObject);
    Log("cancel %u", IdOf(Irp));
    Irp->IoStatus.Information = 0;
    if (Irp == test->Queue().GetCurrentIrp()) {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        test->Queue().CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    } else {
        (void)test->Queue().RemoveIrpFromQueue(Irp);
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        test->Device()->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
}

static VOID KernelCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ITestDevice* test = TestDeviceOf(DeviceObject);
    Log("kcancel %u", IdOf(Irp));
    Irp->IoStatus.Information = 0;
    if (Irp == DeviceObject->CurrentIrp) {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        test->Device()->CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        KeLowerIrql(irql);
    } else {
        (void)KeRemoveEntryDeviceQueue(&DeviceObject->DeviceQueue,
                                       &Irp->Tail.Overlay.DeviceQueueEntry);
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        test->Device()->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
}

template <class BASE> class CTestDevice : public BASE, public ITestDevice {
public:
    CTestDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo, const WCHAR* Name, ULONG Type,
                PDEVICE_OBJECT* ppDeviceObject)
        : BASE(DriverObject, Pdo, Name, Type, ppDeviceObject)
    {
        m_Queue.SetStartIoRoutine(QueueStartIo, *ppDeviceObject);
        this->m_SurpriseRemovalOK = g_Config.SurpriseRemovalOK;
        this->m_PowerDownWhenClosed = g_Config.PowerDownWhenClosed;
        if (g_Config.Win32Name) {
            NTSTATUS status = this->CreateWin32Name(CString(u"KivTst0"));
            if (!NT_SUCCESS(status)) this->ThrowStatusExceptionFromConstructor(status, NULL);
        }
        if (g_Config.FailInConstructor) {
            this->ThrowStatusExceptionFromConstructor(STATUS_INSUFFICIENT_RESOURCES,
                                                      "test : CTestDevice() - failed");
        }
        g_Device = this;
    }
    ~CTestDevice() override
    {
        if (g_Device == this) g_Device = nullptr;
        g_Log.push_back("deleted");
    }

    NTSTATUS PnpSetupDeviceResources(PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) override
    {
        g_Log.push_back("setup");
        return g_Config.SetupStatus;
    }
    NTSTATUS PnpFreeDeviceResources(BOOLEAN Unexpected) override
    {
        Log("free %u", Unexpected);
        return STATUS_SUCCESS;
    }
    NTSTATUS SavePowerRegisters(PDEVICE_OBJECT, PIRP, DEVICE_POWER_STATE,
                                SYSTEM_POWER_STATE) override
    {
        m_Saves++;
        return STATUS_SUCCESS;
    }
    NTSTATUS RestorePowerRegisters(PDEVICE_OBJECT, PIRP, DEVICE_POWER_STATE From,
                                   SYSTEM_POWER_STATE) override
    {
        m_Restores++;
        m_LastRestoreFrom = From;
        return g_Config.RestoreStatus;
    }
    VOID CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG Boost) override
    {
        if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            char text[64];
            snprintf(text, sizeof(text), "complete %u 0x%08X", IdOf(Irp), unsigned(Status));
            g_Log.push_back(text);
        }
        BASE::CompleteIrp(Irp, Status, Boost);
    }

    PROBE Probe() override
    {
        PROBE p;
        p.IrpCount = this->m_IrpCount;
        p.PnpState = this->GetPnpState();
        p.OpenHandles = this->m_OpenHandleCount;
        p.OpenedExclusive = this->m_OpenedExclusive;
        p.Stoppable = this->IsPnpStoppable();
        p.Removable = this->IsPnpRemovable();
        p.PnpStopped = this->IsPnpStopped();
        p.PoweringDown = this->IsPoweringDown();
        p.RegistersSaved = this->RegistersSaved();
        p.DevicePower = this->m_DevicePowerState;
        p.Saves = m_Saves;
        p.Restores = m_Restores;
        p.LastRestoreFrom = m_LastRestoreFrom;
        return p;
    }
    CIrpQueue& Queue() override { return m_Queue; }
    CPnpDevice* Device() override { return this; }

private:
    CIrpQueue m_Queue;
    int m_Saves = 0;
    int m_Restores = 0;
    DEVICE_POWER_STATE m_LastRestoreFrom = PowerDeviceUnspecified;
};

static NTSTATUS TestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ITestDevice* test = TestDeviceOf(DeviceObject);
    CPnpDevice* device = test->Device();
    NTSTATUS status;
    if (!device->IrpPrologue(Irp, &status)) {
        Log("held or refused 0x%08X", unsigned(status));
        return status;
    }
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    Log("dispatch %u", IdOf(Irp));
    switch (code) {
    case IOCTL_TEST_QUEUE:
        test->Queue().StartPacket(Irp, QueueCancel);
        return STATUS_PENDING;
    case IOCTL_TEST_KQUEUE:
        IoMarkIrpPending(Irp);
        IoStartPacket(DeviceObject, Irp, NULL, KernelCancel);
        return STATUS_PENDING;
    case IOCTL_TEST_KQUEUE_NOCANCEL:
        IoMarkIrpPending(Irp);
        IoStartPacket(DeviceObject, Irp, NULL, NULL);
        return STATUS_PENDING;
    default:
        Irp->IoStatus.Information = 0;
        device->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
}

void FinishQueueCurrent()
{
    PIRP irp = g_Device->Queue().GetCurrentIrp();
    ASSERT_NE(irp, nullptr);
    ASSERT_FALSE(g_Device->Device()->CheckIrpCanceled(irp));
    irp->IoStatus.Information = 0;
    g_Device->Queue().CompleteIrpAndStartNext(irp, STATUS_SUCCESS, IO_NO_INCREMENT);
}

void FinishKernelCurrent()
{
    PIRP irp = g_Device->Device()->GetDeviceObject()->CurrentIrp;
    ASSERT_NE(irp, nullptr);
    // A current IRP without cancel routine is only marked by a flush.
    NTSTATUS status = g_Device->Device()->CheckIrpCanceled(irp) ? STATUS_CANCELLED : STATUS_SUCCESS;
    if (status == STATUS_CANCELLED) (void)IoSetCancelRoutine(irp, NULL);
    irp->IoStatus.Information = 0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    g_Device->Device()->CompleteIrpAndStartNext(irp, status, IO_NO_INCREMENT);
    KeLowerIrql(irql);
}

static const WCHAR UpperName[] = u"KivTstUp0";

static NTSTATUS UpperAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = NULL;
    try {
        if (g_Config.Kind == DEVICE_KIND::Pnp) {
            new (DriverObject, UpperName, FILE_DEVICE_UNKNOWN, &device, 0, FALSE, 0)
                CTestDevice<CPnpDevice>(DriverObject, Pdo, UpperName, FILE_DEVICE_UNKNOWN, &device);
        } else {
            new (DriverObject, UpperName, FILE_DEVICE_UNKNOWN, &device, 0, FALSE, 0)
                CTestDevice<CThinFilterDevice>(DriverObject, Pdo, UpperName, FILE_DEVICE_UNKNOWN,
                                               &device);
        }
    } catch (const EXCEPTION_STATUS& raised) {
        if (device != NULL && device->DeviceExtension != NULL) {
            CleanupFromCreateDevice(static_cast<CDevice*>(device->DeviceExtension));
        }
        g_Log.push_back("create failed");
        return raised.Status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID UpperUnload(PDRIVER_OBJECT DriverObject)
{
    CPnpDriver::DriverUnload(DriverObject);
    g_Log.push_back("unloaded");
}

NTSTATUS UpperDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    CPnpDriver* driver = new CPnpDriver(DriverObject, RegistryPath);
    if (driver == NULL) return STATUS_NO_MEMORY;
    driver->SetCallback(IRP_MJ_DEVICE_CONTROL, TestDispatch);
    driver->SetCallback(UpperAddDevice);
    driver->SetCallback(UpperUnload);
    delete driver;
    DriverObject->DriverStartIo = KernelStartIo;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IRPs the test sends itself, as another driver would

static NTSTATUS OwnIrpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* own = static_cast<OWN_IRP*>(Context);
    own->Status = Irp->IoStatus.Status;
    own->Done = true;
    own->Irp = NULL;
    IoFreeIrp(Irp);
    // The IRP was ours: it is freed here and the walk stops.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendOwnIrp(PDEVICE_OBJECT Target, UCHAR Major, ULONG Code, OWN_IRP* Own, ULONG ShareAccess)
{
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    Own->Irp = irp;
    Own->Done = false;
    Own->Status = STATUS_PENDING;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->AssociatedIrp.SystemBuffer = &Own->Id;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    if (Major == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.IoControlCode = Code;
        next->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
    } else if (Major == IRP_MJ_CREATE) {
        next->Parameters.Create.ShareAccess = USHORT(ShareAccess);
    }
    IoSetCompletionRoutine(irp, OwnIrpDone, Own, TRUE, TRUE, TRUE);
    return IoCallDriver(Target, irp);
}

std::string Joined(const std::vector<std::string>& Lines)
{
    std::string text;
    for (const auto& line : Lines)
        text += line + "\n";
    return text;
}

// ---------------------------------------------------------------------------
// Fixtures

static const ULONG FrameworkTags[] = {NORN_POOL_TAG, NORN_UNIT_POOL_TAG, NORN_WDM_POOL_TAG};

void KernelFixture::SetUp()
{
    kivrt::Reset();
    kivrt::CaptureDbgPrint();
    g_Config = TEST_CONFIG();
    g_Log.clear();
    g_Device = nullptr;
}

void KernelFixture::TearDown()
{
    for (const auto& record : kivrt::VerifierRecords()) {
        ADD_FAILURE() << "verifier: " << record.Check << ": " << record.Message;
    }
    for (ULONG tag : FrameworkTags) {
        EXPECT_EQ(kivrt::PoolBlocks(tag), 0u) << "pool tag " << kivrt::TagText(tag);
    }
    kivrt::SetDbgPrintSink(nullptr);
}

NTSTATUS DeviceStackFixture::Build()
{
    NTSTATUS status = kivrt::LoadDriver(u"KivTstLo", LowerDriverEntry, &m_Lower);
    if (!NT_SUCCESS(status)) return status;
    status = kivrt::LoadDriver(u"KivTstUp", UpperDriverEntry, &m_Upper);
    if (!NT_SUCCESS(status)) return status;
    return kivrt::CreateDevNode(u"ROOT\\KIVTST\\0000", m_Lower, {m_Upper}, &m_Node);
}

void DeviceStackFixture::Dismantle()
{
    if (m_Node != nullptr) {
        if (!m_Removed) {
            EXPECT_EQ(kivrt::RemoveDevice(m_Node), STATUS_SUCCESS);
        }
        kivrt::DrainWorkItems();
        kivrt::DeleteDevNode(m_Node);
    }
    if (m_Upper != nullptr && kivrt::IsDriverLoaded(m_Upper)) kivrt::UnloadDriver(m_Upper);
    if (m_Lower != nullptr && kivrt::IsDriverLoaded(m_Lower)) kivrt::UnloadDriver(m_Lower);
    m_Node = nullptr;
    m_Upper = m_Lower = nullptr;
    m_Removed = false;
}

void DeviceStackFixture::TearDown()
{
    Dismantle();
    KernelFixture::TearDown();
}

NTSTATUS DeviceStackFixture::Open(ULONG ShareMode, kivrt::APP_HANDLE* Handle, bool Overlapped)
{
    return kivrt::AppOpen(u"\\Device\\KivTstUp0", GENERIC_READ | GENERIC_WRITE, ShareMode,
                          Overlapped, Handle);
}

NTSTATUS DeviceStackFixture::Send(kivrt::APP_HANDLE Handle, ULONG Code, ULONG Id,
                                  kivrt::Overlapped* Ov)
{
    ULONG bytes = 0;
    return kivrt::AppDeviceIoControl(Handle, Code, &Id, sizeof(Id), NULL, 0, &bytes, Ov);
}
