// Plug-and-play device of the driver framework: the state machine, IRP
// counting, stalled IRPs, handle counting and the power half.
#include "PnpDevice.h"
#include "Wmi.h"

static CPnpDevice* PnpDeviceOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<CPnpDevice*>(DeviceObject->DeviceExtension);
}

// ---------------------------------------------------------------------------
// Construction and destruction

CPnpDevice::CPnpDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                       const WCHAR* Name, ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject)
    : CDevice(pDriverObject, Name, DeviceType, ppDeviceObject)
{
    m_pPhysicalDeviceObject = pPhysicalDeviceObject;
    m_pStackDeviceObject = NULL;
    m_AttachedToStack = FALSE;
    InterlockedExchange(&m_PnpState, PnpStateNotStarted);
    m_IrpCount = 1;
    m_NotStoppableCount = 0;
    m_NotRemovableCount = 0;
    m_UsingDeviceInterface = FALSE;
    m_pWmi = NULL;
    m_PowerManaged = TRUE;
    m_PowerDownWhenClosed = 1;
    m_DevicePowerState = PowerDeviceD3;
    m_SystemPowerState = PowerSystemWorking;
    MarkPnpStopped();
    (void)SetPowerRestoreState(PowerDeviceD3);
    (void)SetPowerSaveState(PowerDeviceD3);
    SetRegistersNotSaved();
    AllowPowerDown();
    SetPoweringDown(FALSE);
    KeInitializeEvent(&m_RemoveEvent, SynchronizationEvent, TRUE);

    NTSTATUS status = AttachToStack(m_pPhysicalDeviceObject);
    NORN_ASSERT(NT_SUCCESS(status));
    if (!NT_SUCCESS(status)) {
        // A device outside any stack can never see a plug-and-play IRP and
        // would only be deleted at unload: fail the creation instead. The
        // raise unwinds ~CDevice, which deletes the DEVICE_OBJECT, and the
        // creator gets the status.
        ThrowStatusExceptionFromConstructor(status, NULL);
    }
    m_pWmi = new CWmi;
    NORN_ASSERT(m_pWmi != NULL);
    m_WmiHandlerSupplied = FALSE;
    (*ppDeviceObject)->Flags |= DO_POWER_PAGABLE;
    m_pWorkItemThread = NULL;
    m_SurpriseRemovalOK = FALSE;
}

CPnpDevice::~CPnpDevice()
{
    if (m_pWmi != NULL && !m_WmiHandlerSupplied) {
        delete m_pWmi;
        m_pWmi = NULL;
    }
    if (m_UsingDeviceInterface) (void)DisableDeviceInterface();
    DetachFromStack(NULL);
}

VOID CPnpDevice::CleanupDeviceOnExit()
{
    if (m_UsingDeviceInterface) {
        (void)DisableDeviceInterface();
        // The link is the interface's, not a symbolic link of CDevice's own.
        if (!m_Win32Name.IsEmpty()) m_Win32Name = CString(u"");
    }
    DetachFromStack(NULL);
    // A device given up after construction still owns its WMI handler.
    if (m_pWmi != NULL && !m_WmiHandlerSupplied) {
        delete m_pWmi;
        m_pWmi = NULL;
    }
    CDevice::CleanupDeviceOnExit();
}

NTSTATUS CPnpDevice::AttachToStack(PDEVICE_OBJECT pTarget)
{
    if (pTarget == NULL) pTarget = m_pPhysicalDeviceObject;
    m_pStackDeviceObject = IoAttachDeviceToDeviceStack(m_pDeviceObject, pTarget);
    if (m_pStackDeviceObject != NULL) {
        m_AttachedToStack = TRUE;
        return STATUS_SUCCESS;
    }
    DbgPrint("CPnpDevice::AttachToStack IoAttachDeviceToDeviceStack failed\n");
    return STATUS_UNSUCCESSFUL;
}

VOID CPnpDevice::DetachFromStack(PDEVICE_OBJECT pStackDeviceObject)
{
    if (!m_AttachedToStack) return;
    if (pStackDeviceObject == NULL) pStackDeviceObject = m_pStackDeviceObject;
    NORN_ASSERT(pStackDeviceObject != NULL);
    if (pStackDeviceObject != NULL) IoDetachDevice(pStackDeviceObject);
    m_AttachedToStack = FALSE;
}

NTSTATUS CPnpDevice::RegisterDeviceInterface(const GUID* pGuid, PUNICODE_STRING Reference)
{
    NTSTATUS status = IoRegisterDeviceInterface(m_pPhysicalDeviceObject, pGuid, Reference,
                                                static_cast<PUNICODE_STRING>(m_Win32Name));
    m_UsingDeviceInterface = TRUE;
    return status;
}

NTSTATUS CPnpDevice::EnableDeviceInterface()
{
    NORN_ASSERT(m_UsingDeviceInterface);
    return IoSetDeviceInterfaceState(m_Win32Name, TRUE);
}

NTSTATUS CPnpDevice::DisableDeviceInterface()
{
    NORN_ASSERT(m_UsingDeviceInterface);
    return IoSetDeviceInterfaceState(m_Win32Name, FALSE);
}

VOID CPnpDevice::SetWmiHandler(CWmi* pWmi)
{
    NORN_ASSERT(pWmi != NULL);
    if (pWmi == NULL) return;
    if (!m_WmiHandlerSupplied) delete m_pWmi;
    m_pWmi = pWmi;
    m_WmiHandlerSupplied = TRUE;
}

// ---------------------------------------------------------------------------
// Counting and markers

VOID CPnpDevice::IrpCountIncrement()
{
    if (InterlockedIncrement(&m_IrpCount) == 2) KeClearEvent(&m_RemoveEvent);
}

VOID CPnpDevice::IrpCountDecrement()
{
    LONG currentCount = InterlockedDecrement(&m_IrpCount);
    NORN_ASSERT(ULONG(currentCount) >= 1);
    if (currentCount == 1) KeSetEvent(&m_RemoveEvent, 0, FALSE);
}

VOID CPnpDevice::MarkPnpStoppable()
{
    LONG count = InterlockedDecrement(&m_NotStoppableCount);
    NORN_ASSERT(count >= 0);
}

VOID CPnpDevice::MarkPnpRemovable()
{
    LONG count = InterlockedDecrement(&m_NotRemovableCount);
    NORN_ASSERT(count >= 0);
}

VOID CPnpDevice::CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG Boost)
{
    CDevice::CompleteIrp(Irp, Status, Boost);
    IrpCountDecrement();
}

NTSTATUS CPnpDevice::CompleteWithStatus(PIRP Irp, NTSTATUS Status)
{
    CompleteIrp(Irp, Status, IO_NO_INCREMENT);
    return Status;
}

// Success set, passed down without waiting, count dropped: the lower status.
NTSTATUS CPnpDevice::PassDownAndUncount(PIRP Irp)
{
    NTSTATUS status = PassIrpDownStack(Irp, FALSE, NULL);
    IrpCountDecrement();
    return status;
}

// ---------------------------------------------------------------------------
// Accepting, stalling and replaying IRPs

BOOLEAN CPnpDevice::IrpPrologue(PIRP Irp, NTSTATUS* pStatus)
{
    IrpCountIncrement();
    NTSTATUS status = AcceptIrps(Irp);
    if (status == STATUS_SUCCESS) {
        *pStatus = STATUS_SUCCESS;
        return TRUE;
    }
    *pStatus = status;
    // A stalled IRP stays counted until it is replayed or cancelled.
    if (status != STATUS_PENDING) CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return FALSE;
}

BOOLEAN CPnpDevice::IrpsInHoldState()
{
    LONG state = ReadFlag(&m_PnpState);
    return state == PnpStateStopPending || state == PnpStateStopped;
}

NTSTATUS CPnpDevice::AcceptIrps(PIRP Irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) return STATUS_SUCCESS;
    LONG state = ReadFlag(&m_PnpState);
    if (state == PnpStateRemoved || state == PnpStateSurpriseRemoved) return STATUS_DELETE_PENDING;
    if (state == PnpStateStopPending || state == PnpStateStopped ||
        state == PnpStateRemovePending || IsPoweringDown()) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (Irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            Irp->IoStatus.Status = STATUS_CANCELLED;
            return STATUS_CANCELLED;
        }
        Irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(Irp);
        (void)m_StalledIrps.Enqueue(Irp);
        (void)IoSetCancelRoutine(Irp, StalledIrpCancelRoutine);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID CPnpDevice::StalledIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    pDevice->m_StalledIrps.RemoveEntry(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    pDevice->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

VOID CPnpDevice::RestartStalledIrps()
{
    KIRQL irql;
    PIRP pIrp;
    IoAcquireCancelSpinLock(&irql);
    (void)m_StalledIrps.Dequeue(&pIrp);
    while (pIrp != NULL) {
        PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
        PDEVICE_OBJECT pDeviceObject = pStack->DeviceObject;
        PDRIVER_OBJECT pDriverObject = pDeviceObject->DriverObject;
        (void)IoSetCancelRoutine(pIrp, NULL);
        IoReleaseCancelSpinLock(irql);
        // The replay goes through the prologue again and is counted there.
        IrpCountDecrement();
        (void)pDriverObject->MajorFunction[pStack->MajorFunction](pDeviceObject, pIrp);
        IoAcquireCancelSpinLock(&irql);
        (void)m_StalledIrps.Dequeue(&pIrp);
    }
    IoReleaseCancelSpinLock(irql);
}

// ---------------------------------------------------------------------------
// Passing IRPs down

NTSTATUS PnpCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    // The waiting caller owns the IRP again and completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CPnpDevice::PassIrpDownStack(PIRP Irp, BOOLEAN Wait, PDEVICE_OBJECT pTarget)
{
    if (pTarget == NULL) pTarget = m_pStackDeviceObject;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KEVENT event;
    if (Wait) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(Irp, PnpCompletionRoutine, &event, TRUE, TRUE, TRUE);
    }
    NTSTATUS status = IoCallDriver(pTarget, Irp);
    if (Wait) {
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
        if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    }
    return status;
}

// ---------------------------------------------------------------------------
// Plug-and-play dispatch and handlers

// The device of a PnP or power IRP that its prologue lets in; NULL when it
// was refused or stalled, the status to return in *pStatus.
static CPnpDevice* AdmitIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Major, NTSTATUS* pStatus)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    *pStatus = STATUS_PENDING;
    NORN_ASSERT(IoGetCurrentIrpStackLocation(Irp)->MajorFunction == Major);
    return pDevice->IrpPrologue(Irp, pStatus) ? pDevice : NULL;
}

NTSTATUS CPnpDevice::PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The minor functions with a handler of their own, and the line each traces.
    static const struct {
        UCHAR Minor;
        const char* Trace;
        NTSTATUS (CPnpDevice::*Handler)(PIRP Irp);
    } Handlers[] = {
        {IRP_MN_START_DEVICE, "CPnpDevice::PnpDispatch  IRP_MN_START_DEVICE\n",
         &CPnpDevice::OnPnpStartDevice},
        {IRP_MN_QUERY_REMOVE_DEVICE, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_REMOVE_DEVICE\n",
         &CPnpDevice::OnPnpQueryRemoveDevice},
        {IRP_MN_CANCEL_REMOVE_DEVICE, "CPnpDevice::PnPDispatch  IRP_MN_CANCEL_REMOVE_DEVICE\n",
         &CPnpDevice::OnPnpCancelRemoveDevice},
        {IRP_MN_STOP_DEVICE, "CPnpDevice::PnPDispatch  IRP_MN_STOP_DEVICE\n",
         &CPnpDevice::OnPnpStopDevice},
        {IRP_MN_QUERY_STOP_DEVICE, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_STOP_DEVICE\n",
         &CPnpDevice::OnPnpQueryStopDevice},
        {IRP_MN_CANCEL_STOP_DEVICE, "CPnpDevice::PnPDispatch  IRP_MN_CANCEL_STOP_DEVICE\n",
         &CPnpDevice::OnPnpCancelStopDevice},
        {IRP_MN_QUERY_DEVICE_RELATIONS, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_DEVICE_RELATIONS\n",
         &CPnpDevice::OnPnpQueryDeviceRelations},
        {IRP_MN_QUERY_INTERFACE, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_INTERFACE\n",
         &CPnpDevice::OnPnpQueryInterface},
        {IRP_MN_QUERY_CAPABILITIES, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_CAPABILITIES\n",
         &CPnpDevice::OnPnpQueryCapabilities},
        {IRP_MN_QUERY_RESOURCES, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_RESOURCES\n",
         &CPnpDevice::OnPnpQueryResources},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
         "CPnpDevice::PnPDispatch  IRP_MN_QUERY_RESOURCE_REQUIREMENTS\n",
         &CPnpDevice::OnPnpQueryResourceRequirements},
        {IRP_MN_QUERY_DEVICE_TEXT, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_DEVICE_TEXT\n",
         &CPnpDevice::OnPnpQueryDeviceText},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
         "CPnpDevice::PnPDispatch  IRP_MN_FILTER_RESOURCE_REQUIREMENTS\n",
         &CPnpDevice::OnPnpFilterResourceRequirements},
        {IRP_MN_READ_CONFIG, "CPnpDevice::PnPDispatch  IRP_MN_READ_CONFIG\n",
         &CPnpDevice::OnPnpReadConfig},
        {IRP_MN_WRITE_CONFIG, "CPnpDevice::PnPDispatch  IRP_MN_WRITE_CONFIG\n",
         &CPnpDevice::OnPnpWriteConfig},
        {IRP_MN_EJECT, "CPnpDevice::PnPDispatch  IRP_MN_EJECT\n", &CPnpDevice::OnPnpEject},
        {IRP_MN_SET_LOCK, "CPnpDevice::PnPDispatch  IRP_MN_SET_LOCK\n", &CPnpDevice::OnPnpSetLock},
        {IRP_MN_QUERY_ID, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_ID\n", &CPnpDevice::OnPnpQueryId},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_PNP_DEVICE_STATE\n",
         &CPnpDevice::OnPnpQueryPnpDeviceState},
        {IRP_MN_QUERY_BUS_INFORMATION, "CPnpDevice::PnPDispatch  IRP_MN_QUERY_BUS_INFORMATION\n",
         &CPnpDevice::OnPnpQueryBusInformation},
        {IRP_MN_SURPRISE_REMOVAL, "CPnpDevice::PnPDispatch  IRP_MN_SURPRISE_REMOVAL\n",
         &CPnpDevice::OnPnpSurpriseRemoval},
    };

    NTSTATUS status;
    CPnpDevice* pDevice = AdmitIrp(DeviceObject, Irp, IRP_MJ_PNP, &status);
    if (pDevice == NULL) return status;

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        DbgPrint("CPnpDevice::PnPDispatch  IRP_MN_REMOVE_DEVICE\n");
        status = pDevice->OnPnpRemoveDevice(Irp);
        // STATUS_DELETE_PENDING: the remove work item deletes the device.
        if (status != STATUS_DELETE_PENDING) delete pDevice;
        return STATUS_SUCCESS;
    }
    for (const auto& Entry : Handlers) {
        if (Entry.Minor == minor) {
            DbgPrint("%s", Entry.Trace);
            return (pDevice->*Entry.Handler)(Irp);
        }
    }
    DbgPrint("CPnpDevice::PnPDispatch - unknown PnP Irp minor function: 0x%X\n", unsigned(minor));
    return pDevice->OnPnpUnknownPnpIrp(Irp);
}

NTSTATUS CPnpDevice::OnPnpStartDevice(PIRP Irp)
{
    POWER_STATE powerState;
    m_DevicePowerState = PowerDeviceD0;
    powerState.DeviceState = PowerDeviceD0;
    (void)PoSetPowerState(m_pDeviceObject, DevicePowerState, powerState);

    BOOLEAN lowerStarted = FALSE;
    NTSTATUS status = StartLowerThenSetup(Irp, &lowerStarted);
    if (!lowerStarted) {
        DbgPrint("CPnpDevice:  IRP_MN_START_DEVICE, PDO Failed with status: 0x%X\n",
                 unsigned(status));
    } else if (NT_SUCCESS(status)) {
        RestartStalledIrps();
        if (m_PowerDownWhenClosed && m_PowerManaged && PowerDownAllowed() &&
            ReadFlag(&m_OpenHandleCount) == 0) {
            status = SendQueryAndSetPowerIrpToDevice(PowerDeviceD3);
            if (!NT_SUCCESS(status)) {
                DbgPrint("CPnpDevice::OnPnpStartDevice: Unable to create query or set power "
                         "IRP status %x\n",
                         unsigned(status));
            }
        }
    }
    return CompleteStart(Irp, status, "CPnpDevice::OnPnpStartDevice return status 0x%X\n");
}

NTSTATUS CPnpDevice::OnPnpQueryRemoveDevice(PIRP Irp)
{
    if (IsPnpRemovable()) {
        InterlockedExchange(&m_PnpState, PnpStateRemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDownAndUncount(Irp);
    }
    return CompleteWithStatus(Irp, STATUS_UNSUCCESSFUL);
}

// The start request goes down first and is waited for; only a started lower
// stack gets the device started and its resources set up. A failed setup
// leaves the device stopped, in the start-failed state.
NTSTATUS CPnpDevice::StartLowerThenSetup(PIRP Irp, BOOLEAN* pLowerStarted)
{
    NTSTATUS status = PassIrpDownStack(Irp, TRUE, NULL);
    *pLowerStarted = NT_SUCCESS(status) ? TRUE : FALSE;
    if (!NT_SUCCESS(status)) return status;
    MarkPnpStarted();
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    status = PnpSetupDeviceResources(pStack->Parameters.StartDevice.AllocatedResources,
                                     pStack->Parameters.StartDevice.AllocatedResourcesTranslated);
    if (NT_SUCCESS(status)) {
        NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
        InterlockedExchange(&m_PnpState, PnpStateStarted);
    } else {
        MarkPnpStopped();
        InterlockedExchange(&m_PnpState, PnpStateStartFailed);
    }
    return status;
}

NTSTATUS CPnpDevice::CompleteStart(PIRP Irp, NTSTATUS Status, const char* FailureFormat)
{
    CompleteIrp(Irp, Status, IO_NO_INCREMENT);
    if (!NT_SUCCESS(Status)) DbgPrint(FailureFormat, unsigned(Status));
    return Status;
}

NTSTATUS CPnpDevice::CancelRemove(PIRP Irp, BOOLEAN ReplayStalled)
{
    NTSTATUS status = PassIrpDownStack(Irp, TRUE, NULL);
    InterlockedExchange(&m_PnpState, PnpStateStarted);
    if (ReplayStalled) RestartStalledIrps();
    CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Only a device still waiting to stop goes back to started; one that has
// stopped already stays stopped and the cancel succeeds all the same.
NTSTATUS CPnpDevice::CancelStop(PIRP Irp, BOOLEAN ReplayStalled, const char* Who)
{
    NTSTATUS status = PassIrpDownStack(Irp, TRUE, NULL);
    if (IsPnpStopped()) {
        DbgPrint("%s: Unable to cancel stop -- we are already stopped.\n", Who);
        CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    } else {
        if (InterlockedCompareExchange(&m_PnpState, PnpStateStarted, PnpStateStopPending) ==
                PnpStateStopPending &&
            ReplayStalled) {
            RestartStalledIrps();
        }
        CompleteIrp(Irp, status, IO_NO_INCREMENT);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CPnpDevice::OnPnpCancelRemoveDevice(PIRP Irp)
{
    return CancelRemove(Irp, TRUE);
}

NTSTATUS CPnpDevice::OnPnpSurpriseRemoval(PIRP Irp)
{
    m_PnpState = PnpStateSurpriseRemoved;
    SetRegistersNotSaved();
    // Replayed now, the stalled IRPs fail with STATUS_DELETE_PENDING.
    RestartStalledIrps();
    CleanupQueue();
    return PassDownAndUncount(Irp);
}

NTSTATUS CPnpDevice::OnPnpRemoveDevice(PIRP Irp)
{
    return RemoveDevice(Irp, TRUE);
}

NTSTATUS CPnpDevice::RemoveDevice(PIRP Irp, BOOLEAN PowerAndStalledIrps)
{
    LONG previous = InterlockedExchange(&m_PnpState, PnpStateRemoved);
    BOOLEAN unexpected = previous != PnpStateRemovePending;
    if (PowerAndStalledIrps) {
        SetRegistersNotSaved();
        RestartStalledIrps();
    }
    CleanupQueue();

    if (KeGetCurrentIrql() > PASSIVE_LEVEL || (unexpected && previous != PnpStateSurpriseRemoved)) {
        MarkPnpStopped();
        (void)PnpFreeDeviceResources(unexpected);
        m_pWorkItemThread = new CThread(1, NORN_UNIT_POOL_TAG);
        NORN_ASSERT(m_pWorkItemThread != NULL);
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
        if (m_pWorkItemThread != NULL) {
            status =
                m_pWorkItemThread->CreateWorkItem(RemoveWorkItemCallback, this, DelayedWorkQueue);
        }
        NORN_ASSERT(NT_SUCCESS(status));
        if (NT_SUCCESS(status)) {
            (void)PassIrpDownStack(Irp, FALSE, NULL);
            IrpCountDecrement();
            return STATUS_DELETE_PENDING;
        }
        // Without a work item nobody would ever delete the device: wait here
        // instead (plug-and-play IRPs arrive at PASSIVE_LEVEL) and let
        // PnpDispatch delete it.
        delete m_pWorkItemThread;
        m_pWorkItemThread = NULL;
        NTSTATUS lowerStatus = PassIrpDownStack(Irp, FALSE, NULL);
        IrpCountDecrement();
        (void)KeWaitForSingleObject(&m_RemoveEvent, Executive, KernelMode, FALSE, NULL);
        return lowerStatus;
    }

    IrpCountDecrement();
    (void)KeWaitForSingleObject(&m_RemoveEvent, Executive, KernelMode, FALSE, NULL);
    MarkPnpStopped();
    (void)PnpFreeDeviceResources(unexpected);
    return PassIrpDownStack(Irp, FALSE, NULL);
}

VOID CPnpDevice::RemoveWorkItemCallback(PVOID WorkItemContext)
{
    NORN_WORK_ITEM_CONTEXT* pContext = static_cast<NORN_WORK_ITEM_CONTEXT*>(WorkItemContext);
    CPnpDevice* pDevice = static_cast<CPnpDevice*>(pContext->Context);
    (void)KeWaitForSingleObject(&pDevice->m_RemoveEvent, Executive, KernelMode, FALSE, NULL);
    pDevice->m_pWorkItemThread->FreeWorkItem(pContext);
    delete pDevice->m_pWorkItemThread;
    pDevice->m_pWorkItemThread = NULL;
    delete pDevice;
}

NTSTATUS CPnpDevice::OnPnpQueryStopDevice(PIRP Irp)
{
    if (ReadFlag(&m_PnpState) != PnpStateStopped) {
        if (!IsPnpStoppable()) return CompleteWithStatus(Irp, STATUS_UNSUCCESSFUL);
        InterlockedExchange(&m_PnpState, PnpStateStopPending);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownAndUncount(Irp);
}

NTSTATUS CPnpDevice::OnPnpCancelStopDevice(PIRP Irp)
{
    return CancelStop(Irp, TRUE, "CPnpDevice");
}

NTSTATUS CPnpDevice::OnPnpStopDevice(PIRP Irp)
{
    MarkPnpStopped();
    (void)PnpFreeDeviceResources(FALSE);
    InterlockedExchange(&m_PnpState, PnpStateStopped);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownAndUncount(Irp);
}

NTSTATUS CPnpDevice::OnPnpQueryCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES pCapabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (!m_SurpriseRemovalOK || pCapabilities == NULL || pCapabilities->Version < 1) {
        return PassDownAndUncount(Irp);
    }
    NTSTATUS status = PassIrpDownStack(Irp, TRUE, NULL);
    if (NT_SUCCESS(status)) pCapabilities->SurpriseRemovalOK = TRUE;
    return CompleteWithStatus(Irp, status);
}

NTSTATUS CPnpDevice::OnPnpQueryDeviceRelations(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryInterface(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryResources(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryResourceRequirements(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryDeviceText(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpFilterResourceRequirements(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpReadConfig(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpWriteConfig(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpEject(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpSetLock(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryId(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryPnpDeviceState(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpQueryBusInformation(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}
NTSTATUS CPnpDevice::OnPnpUnknownPnpIrp(PIRP Irp)
{
    return PassDownAndUncount(Irp);
}

VOID CPnpDevice::CleanupQueue()
{
    AcquireSpinLock();
    PIRP pCurrentIrp = m_pDeviceObject->CurrentIrp;
    SetCurrentIrp(NULL);
    ReleaseSpinLock();
    FlushQueue(NULL);
    if (pCurrentIrp != NULL) (void)IoCancelIrp(pCurrentIrp);
}

// ---------------------------------------------------------------------------
// Create, close and cleanup

NTSTATUS CPnpDevice::PnpCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (pDevice->IsPnpStopped()) {
        if (!pDevice->IrpPrologue(Irp, &status)) return status;
        // Accepted while stopped (never started, or the start failed): the
        // prologue below counts this IRP again, so drop this count now and
        // keep exactly one per IRP.
        pDevice->IrpCountDecrement();
    }

    if (pDevice->m_PowerDownWhenClosed && pDevice->m_PowerManaged &&
        ReadFlag(&pDevice->m_OpenHandleCount) == 0 && !pDevice->IsPnpStopped()) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        status = pDevice->SendSetPowerIrpToDevice(PowerDeviceD0, &event);
        if (!NT_SUCCESS(status)) {
            DbgPrint("CPnpDevice::PnpCreateFile: Unable to create power up IRP status %x\n",
                     unsigned(status));
            // Not counted at this point: complete without uncounting.
            pDevice->CDevice::CompleteIrp(Irp, status, IO_NO_INCREMENT);
            return status;
        }
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        if (!NT_SUCCESS(status)) {
            DbgPrint("CPnpDevice::PnpCreateFile: Set power up wait failed with status %x\n",
                     unsigned(status));
        }
    }

    if (!pDevice->IrpPrologue(Irp, &status)) return status;

    pDevice->MarkPnpNotStoppable();
    pDevice->MarkPnpNotRemovable();
    Irp->IoStatus.Information = 0;
    if (__atomic_load_n(&pDevice->m_OpenedExclusive, __ATOMIC_SEQ_CST)) {
        status = STATUS_SHARING_VIOLATION;
    } else {
        LONG count = InterlockedIncrement(&pDevice->m_OpenHandleCount);
        if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.ShareAccess == 0) {
            if (count == 1) {
                __atomic_store_n(&pDevice->m_OpenedExclusive, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
            } else {
                status = STATUS_SHARING_VIOLATION;
                InterlockedDecrement(&pDevice->m_OpenHandleCount);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        pDevice->MarkPnpStoppable();
        pDevice->MarkPnpRemovable();
    } else {
        pDevice->IrpCountIncrement(); // the open handle's count, dropped by its close
    }
    pDevice->CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CPnpDevice::PnpCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    pDevice->IrpCountIncrement();
    Irp->IoStatus.Information = 0;
    __atomic_store_n(&pDevice->m_OpenedExclusive, BOOLEAN(FALSE), __ATOMIC_SEQ_CST);
    LONG handleCount = InterlockedDecrement(&pDevice->m_OpenHandleCount);
    NORN_ASSERT(handleCount >= 0);
    pDevice->MarkPnpStoppable();
    pDevice->MarkPnpRemovable();
    if (pDevice->m_PowerDownWhenClosed && pDevice->m_PowerManaged && pDevice->PowerDownAllowed() &&
        handleCount == 0) {
        status = pDevice->SendQueryAndSetPowerIrpToDevice(PowerDeviceD3);
        if (!NT_SUCCESS(status)) {
            DbgPrint("CPnpDevice::PnpCloseHandle: Unable to create query or set power IRP status "
                     "%x\n",
                     unsigned(status));
        }
    }
    pDevice->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    pDevice->IrpCountDecrement(); // the handle's count from its create
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS NornPnpCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    pDevice->IrpCountIncrement();
    pDevice->FlushQueue(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    Irp->IoStatus.Information = 0;
    pDevice->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Power bookkeeping

static BOOLEAN IsPowerSaveOrRestoreState(DEVICE_POWER_STATE State)
{
    return State >= PowerDeviceD1 && State <= PowerDeviceD3;
}

NTSTATUS CPnpDevice::SetPowerSaveState(DEVICE_POWER_STATE State)
{
    if (!IsPowerSaveOrRestoreState(State)) return STATUS_INVALID_PARAMETER;
    InterlockedExchange(&m_PowerSaveState, LONG(State));
    return STATUS_SUCCESS;
}

NTSTATUS CPnpDevice::SetPowerRestoreState(DEVICE_POWER_STATE State)
{
    if (!IsPowerSaveOrRestoreState(State)) return STATUS_INVALID_PARAMETER;
    InterlockedExchange(&m_PowerRestoreState, LONG(State));
    return STATUS_SUCCESS;
}

NTSTATUS CPnpDevice::SavePowerRegisters(PDEVICE_OBJECT, PIRP, DEVICE_POWER_STATE,
                                        SYSTEM_POWER_STATE)
{
    return STATUS_SUCCESS;
}

NTSTATUS CPnpDevice::RestorePowerRegisters(PDEVICE_OBJECT, PIRP, DEVICE_POWER_STATE,
                                           SYSTEM_POWER_STATE)
{
    return STATUS_SUCCESS;
}

DEVICE_POWER_STATE CPnpDevice::GetDevicePowerState()
{
    return m_DevicePowerState;
}

DEVICE_POWER_STATE CPnpDevice::GetDevicePowerStateFromSystemPowerState(SYSTEM_POWER_STATE State)
{
    return State <= PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

// ---------------------------------------------------------------------------
// Power dispatch

NTSTATUS CPnpDevice::PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    CPnpDevice* pDevice = AdmitIrp(DeviceObject, Irp, IRP_MJ_POWER, &status);
    if (pDevice == NULL) return status;

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    switch (minor) {
    case IRP_MN_WAIT_WAKE:
        DbgPrint("PowerDispatch: IRP_MN_WAIT_WAKE\n");
        return pDevice->OnPowerWaitWake(Irp);
    case IRP_MN_POWER_SEQUENCE:
        DbgPrint("PowerDispatch: IRP_MN_POWER_SEQUENCE\n");
        return pDevice->OnPowerPowerSequence(Irp);
    case IRP_MN_SET_POWER:
        DbgPrint("PowerDispatch: IRP_MN_SET_POWER\n");
        return pDevice->OnPowerSetPower(DeviceObject, Irp);
    case IRP_MN_QUERY_POWER:
        DbgPrint("PowerDispatch: IRP_MN_QUERY_POWER\n");
        return pDevice->OnPowerQueryPower(Irp);
    default:
        DbgPrint("PowerDispatch - unknown power irp minor function: 0x%X\n", unsigned(minor));
        return pDevice->OnPowerUnknownPowerIrp(Irp);
    }
}

NTSTATUS CPnpDevice::PassPowerIrpDownStack(PIRP Irp, PIO_COMPLETION_ROUTINE pCompletionRoutine,
                                           PVOID Context, PDEVICE_OBJECT pTarget)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (pTarget == NULL) pTarget = m_pStackDeviceObject;
    if (pCompletionRoutine == NULL) PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (pCompletionRoutine != NULL) {
        IoSetCompletionRoutine(Irp, pCompletionRoutine, Context, TRUE, TRUE, TRUE);
    }
    NTSTATUS status = PoCallDriver(pTarget, Irp);
    if (pCompletionRoutine == NULL) IrpCountDecrement();
    return status;
}

NTSTATUS CPnpDevice::OnPowerPowerSequence(PIRP Irp)
{
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

NTSTATUS CPnpDevice::OnPowerWaitWake(PIRP Irp)
{
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

NTSTATUS CPnpDevice::OnPowerUnknownPowerIrp(PIRP Irp)
{
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

NTSTATUS CPnpDevice::OnPowerQueryPower(PIRP Irp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE_TYPE type = pStack->Parameters.Power.Type;
    POWER_STATE state = pStack->Parameters.Power.State;
    DEVICE_POWER_STATE target;
    if (type == SystemPowerState) {
        if (!m_PowerManaged) return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
        target = GetDevicePowerStateFromSystemPowerState(state.SystemState);
    } else {
        target = state.DeviceState;
    }
    if (target > m_DevicePowerState) {
        if (!PowerDownAllowed()) {
            DbgPrint("CPnpDevice: Attempted a power down with power disallowed\n");
            PoStartNextPowerIrp(Irp);
            return CompleteWithStatus(Irp, STATUS_UNSUCCESSFUL);
        }
        SetPoweringDown(TRUE);
        if (ReadFlag(&m_OpenHandleCount) != 0) {
            SetPoweringDown(FALSE);
            DbgPrint("CPnpDevice: Attempted a power down with open handles\n");
            PoStartNextPowerIrp(Irp);
            return CompleteWithStatus(Irp, STATUS_UNSUCCESSFUL);
        }
    }
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

NTSTATUS CPnpDevice::OnPowerSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE_TYPE powerType = pStack->Parameters.Power.Type;
    POWER_STATE state = pStack->Parameters.Power.State;
    NTSTATUS status;

    if (powerType == SystemPowerState) {
        m_SystemPowerState = state.SystemState;
        if (m_PowerManaged) {
            DEVICE_POWER_STATE deviceState =
                GetDevicePowerStateFromSystemPowerState(state.SystemState);
            if (deviceState != m_DevicePowerState) {
                status = SendSetPowerIrpToDevice(deviceState, NULL);
                if (!NT_SUCCESS(status)) {
                    DbgPrint("SendSetPowerIrpToDevice failed in OnPowerSetPower status %X\n",
                             unsigned(status));
                }
            }
        }
    } else {
        NORN_ASSERT(powerType == DevicePowerState);
        if (state.DeviceState < m_DevicePowerState) {
            // The rest happens once the lower devices have powered up.
            return PassPowerIrpDownStack(Irp, PowerUpCompletionRoutine, NULL, NULL);
        }
        (void)PoSetPowerState(DeviceObject, DevicePowerState, state);
        m_DevicePowerState = state.DeviceState;
        if (state.DeviceState >= GetPowerSaveState() && !RegistersSaved()) {
            // Saved before the IRP goes down, while the hardware still has power.
            status = SavePowerRegisters(DeviceObject, Irp, m_DevicePowerState, m_SystemPowerState);
            SetRegistersSaved();
            if (!NT_SUCCESS(status)) {
                DbgPrint("CPnpDevice: SavePowerRegisters failed in OnPowerSetPower %X\n",
                         unsigned(status));
            }
        }
    }

    status = PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("CPnpDevice: PassPowerIrpDownStack failed in OnPowerSetPower status %X\n",
                 unsigned(status));
        return STATUS_SUCCESS;
    }
    return status;
}

NTSTATUS CPnpDevice::PowerUpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID)
{
    CPnpDevice* pDevice = PnpDeviceOf(DeviceObject);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);

    NTSTATUS status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        DbgPrint("PnpDevice: PowerUpCompletionRoutine - lower driver failed set power %x\n",
                 unsigned(status));
        pDevice->IrpCountDecrement();
        PoStartNextPowerIrp(Irp);
        return status;
    }

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE_TYPE powerStateType = pStack->Parameters.Power.Type;
    NORN_ASSERT(powerStateType == DevicePowerState);
    POWER_STATE newState = pStack->Parameters.Power.State;
    DEVICE_POWER_STATE oldDeviceState = pDevice->m_DevicePowerState;
    SYSTEM_POWER_STATE systemState = pDevice->m_SystemPowerState;
    pDevice->m_DevicePowerState = newState.DeviceState;

    if (pDevice->RegistersSaved()) {
        if (newState.DeviceState < pDevice->GetPowerRestoreState()) {
            pDevice->SetRegistersNotSaved();
            status = pDevice->RestorePowerRegisters(DeviceObject, Irp, oldDeviceState, systemState);
            if (!NT_SUCCESS(status)) {
                DbgPrint("CPnpDevice: RestorePowerRegisters failed in PowerUpCompletionRoutine "
                         "%x\n",
                         unsigned(status));
                Irp->IoStatus.Status = STATUS_SUCCESS;
                pDevice->IrpCountDecrement();
                PoStartNextPowerIrp(Irp);
                return STATUS_SUCCESS;
            }
            pDevice->SetPoweringDown(FALSE);
            if (ReadFlag(&pDevice->m_PnpState) == PnpStateStarted) pDevice->RestartStalledIrps();
        }
    } else {
        DbgPrint("CPnpDevice: Hardware registers not restored.  May have been restored in a lower "
                 "power state\n");
        DbgPrint("            Or an IRP_MN_STOP_DEVICE may have arrived\n");
    }

    (void)PoSetPowerState(DeviceObject, DevicePowerState, newState);
    pDevice->IrpCountDecrement();
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

VOID CPnpDevice::DefaultQueryPowerCompletionRoutine(PDEVICE_OBJECT, UCHAR, POWER_STATE,
                                                    PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PowerQueryContext* pContext = static_cast<PowerQueryContext*>(Context);
    pContext->Status = IoStatus->Status;
    if (pContext->pEvent != NULL) KeSetEvent(pContext->pEvent, 0, FALSE);
}

VOID CPnpDevice::DefaultPowerCompletionRoutine(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context,
                                               PIO_STATUS_BLOCK)
{
    if (Context != NULL) KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
}

NTSTATUS CPnpDevice::SendSetPowerIrpToDevice(DEVICE_POWER_STATE State, PKEVENT pEvent)
{
    POWER_STATE powerState;
    powerState.DeviceState = State;
    return PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                             DefaultPowerCompletionRoutine, pEvent, NULL);
}

// Requests a power IRP for the PDO's stack and waits until its callback sets
// *pEvent. What names the request in the message of a refused request.
static NTSTATUS RequestPowerIrpAndWait(PDEVICE_OBJECT Pdo, UCHAR Minor, POWER_STATE State,
                                       PREQUEST_POWER_COMPLETE Routine, PVOID Context,
                                       PKEVENT pEvent, const char* What)
{
    KeInitializeEvent(pEvent, NotificationEvent, FALSE);
    NTSTATUS status = PoRequestPowerIrp(Pdo, Minor, State, Routine, Context, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s failed with status %x\n", What, unsigned(status));
        return status;
    }
    status = KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("CPnpDevice::SendQueryAndSetPowerIrpToDevice: Set power down wait failed with "
                 "status %x\n",
                 unsigned(status));
    }
    return status;
}

NTSTATUS CPnpDevice::SendQueryAndSetPowerIrpToDevice(DEVICE_POWER_STATE State)
{
    KEVENT event;
    PowerQueryContext context = {&event, STATUS_SUCCESS};
    POWER_STATE powerState;
    powerState.DeviceState = State;

    NTSTATUS status = RequestPowerIrpAndWait(
        m_pPhysicalDeviceObject, IRP_MN_QUERY_POWER, powerState, DefaultQueryPowerCompletionRoutine,
        &context, &event, "CPnpDevice::SendQueryAndSetPowerIrpToDevice: Query power down");
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(context.Status)) {
        DbgPrint("CPnpDevice::SendQueryAndSetPowerIrpToDevice: Power down was rejected by lower "
                 "driver\n");
        SetPoweringDown(FALSE);
        RestartStalledIrps();
        return STATUS_SUCCESS;
    }
    return RequestPowerIrpAndWait(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                  DefaultPowerCompletionRoutine, &event, &event,
                                  "CPnpDevice::DefaultQueryPowerCompletionRoutine: Set power down");
}
