// CKivSdp: construction and destruction, names and device interface, start
// and stop of the traffic with the lower L2CAP driver, the channel table, the
// listen-status events and the inbound data path with its work items and
// response writes.
#include "kivsdp.h"

#include <string.h>

static const GUID GUID_DEVCLASS_NORN_SDP = KIVSDP_GUID_DEVCLASS_NORN_SDP_INIT;

// Removal and restart wait this long for the lower driver to give back the
// requests the cleanup made it complete.
constexpr LONGLONG KIVSDP_DRAIN_TIMEOUT_100NS = -10LL * 1000 * 1000 * 10; // 10 s, relative

// A 16-bit field of a listen-status record, at its offset in the record.
static USHORT ReadLe16At(const UCHAR* pStatus, ULONG Offset)
{
    CByteReader Record(pStatus, sizeof(KIVL2CAP_LISTEN_STATUS));
    Record.Skip(Offset);
    return Record.ReadLe16();
}

static VOID FastMutexLock(void* Context)
{
    ExAcquireFastMutex(static_cast<PFAST_MUTEX>(Context));
}

static VOID FastMutexUnlock(void* Context)
{
    ExReleaseFastMutex(static_cast<PFAST_MUTEX>(Context));
}

// ---------------------------------------------------------------------------------------------
// Construction and destruction (PASSIVE_LEVEL)

CKivSdp::CKivSdp(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                 const WCHAR* Name, ULONG DeviceType, PUNICODE_STRING, ULONG Instance,
                 PDEVICE_OBJECT* ppDeviceObject, PVOID)
    : CThinFilterDevice(pDriverObject, pPhysicalDeviceObject, Name, DeviceType, ppDeviceObject),
      EventLog(NULL)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : CKivSdp() - Constructor called..\n");

    EventLog.SetDeviceObject(m_pDeviceObject);
    m_RequestQueue.SetStartIoRoutine(KivSdpRequestStartIo, m_pDeviceObject);
    m_ResponseQueue.SetStartIoRoutine(KivSdpResponseStartIo, m_pDeviceObject);
    m_StatusQueue.SetStartIoRoutine(KivSdpStatusStartIo, m_pDeviceObject);

    ExInitializeFastMutex(&DatabaseMutex);
    Database.SetLockHooks(FastMutexLock, FastMutexUnlock, &DatabaseMutex);
    KeInitializeSpinLock(&m_ChannelLock);
    KeInitializeSpinLock(&m_TrafficLock);
    m_TrafficStopped = TRUE;
    KeInitializeEvent(&m_ResendsDoneEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_OwnIrpsDoneEvent, NotificationEvent, TRUE);
    for (ULONG i = 0; i < KIVSDP_LISTEN_IRP_COUNT; i++)
        m_ListenResend[i].Index = i;
    for (ULONG i = 0; i < KIVSDP_READ_IRP_COUNT; i++)
        m_ReadResend[i].Index = i;

    // A raise from here on unwinds the members and the base classes (which
    // detach and delete the device object); what this body made itself is
    // released first, in reverse order, at the ladder below.
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    const char* Failure = NULL;
    WCHAR Win32Name[] = u"KivSdp0";

    WriteBufferList =
        new CMemoryList(MAX_SDP_DATA_PACKET_SIZE, KIVSDP_WRITE_BUFFER_DEPTH, KIVSDP_UNIT_POOL_TAG);
    if (WriteBufferList == NULL) {
        Failure = "kivsdp : CKivSdp() - Failed to allocate the Write buffer memory list";
        goto NoWriteBuffers;
    }
    WorkItemList = new CMemoryList(sizeof(KIVSDP_WORK_ITEM_CONTEXT), KIVSDP_WORK_ITEM_DEPTH,
                                   KIVSDP_UNIT_POOL_TAG);
    if (WorkItemList == NULL) {
        Failure = "kivsdp : CKivSdp() - Failed to allocate the work item memory list";
        goto NoWorkItems;
    }
    status = RegisterDeviceInterface(&GUID_DEVCLASS_NORN_SDP, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        Failure = "kivsdo : CKivSdp() - Failed to register the device interface.";
        goto NoInterface;
    }
    Win32Name[6] = WCHAR(u'0' + Instance % KIVSDP_MAX_INSTANCES);
    status = CreateWin32Name(CString(Win32Name));
    if (!NT_SUCCESS(status)) {
        Failure = "kivsdp : CKivSdp() - Failed to create the Win32 name.";
        goto NoWin32Name;
    }

    DatabaseLock();
    (void)Database.InitializeSdpDatabase();
    DatabaseUnlock();
    return;

NoWin32Name:
    RtlFreeUnicodeString(&InterfaceName);
NoInterface:
    Detach();
    delete WorkItemList;
    WorkItemList = NULL;
NoWorkItems:
    delete WriteBufferList;
    WriteBufferList = NULL;
NoWriteBuffers:
    ThrowStatusExceptionFromConstructor(status, Failure);
}

CKivSdp::~CKivSdp()
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : ~CKivSdp() - Destructor called..\n");
    // Completions of the requests the stop cancelled still use this object.
    WaitForOwnIrps();

    FreeResponseSlots();
    RtlFreeUnicodeString(&InterfaceName);
    if (WorkItemList != NULL) {
        delete WorkItemList;
        WorkItemList = NULL;
    }
    if (WriteBufferList != NULL) {
        delete WriteBufferList;
        WriteBufferList = NULL;
    }
    Detach();
    DatabaseLock();
    (void)Database.TerminateSdpDatabase();
    DatabaseUnlock();
}

NTSTATUS CKivSdp::RegisterDeviceInterface(const GUID* pGuid, PUNICODE_STRING pLinkName,
                                          PUNICODE_STRING pReference)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : RegisterDeviceInterface()..\n");
    NTSTATUS status = IoRegisterDeviceInterface(m_pPhysicalDeviceObject, pGuid, pReference,
                                                pLinkName != NULL ? pLinkName : &InterfaceName);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : RegisterDeviceInterface() - Result = 0x%x\n",
                 unsigned(status));
    return status;
}

NTSTATUS CKivSdp::EnableDeviceInterface(PUNICODE_STRING pLinkName)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : EnableDeviceInterface()..\n");
    NTSTATUS status =
        IoSetDeviceInterfaceState(pLinkName != NULL ? pLinkName : &InterfaceName, TRUE);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : EnableDeviceInterface() - Result = 0x%x\n",
                 unsigned(status));
    return status;
}

NTSTATUS CKivSdp::DisableDeviceInterface(PUNICODE_STRING pLinkName)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : DisableDeviceInterface()..\n");
    NTSTATUS status =
        IoSetDeviceInterfaceState(pLinkName != NULL ? pLinkName : &InterfaceName, FALSE);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : DisableDeviceInterface() - Result = 0x%x\n",
                 unsigned(status));
    return status;
}

VOID CKivSdp::Detach()
{
    DetachFromStack(NULL);
}

// ---------------------------------------------------------------------------------------------
// Plug and play (PASSIVE_LEVEL)

NTSTATUS CKivSdp::PnpSetupDeviceResources(PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    NTSTATUS status = StartupIrps();
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : PnpSetupDeviceResources() - StartupIrps failed. Status: 0x%x\n",
                     unsigned(status));
        return status;
    }
    (void)EnableDeviceInterface(NULL);
    return STATUS_SUCCESS;
}

NTSTATUS CKivSdp::PnpFreeDeviceResources(BOOLEAN)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK,
                 "kivsdp : PnpFreeDeviceResources() - About to cancel our IRPs!!\n");
    CancelIrps();
    // On removal the lower device deletes itself when the removal reaches
    // it, so everything sent to it must be back and this device detached
    // before the request goes down.
    if (GetPnpState() == PnpStateRemoved) {
        WaitForOwnIrps();
        Detach();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CKivSdp::OnPnpSurpriseRemoval(PIRP Irp)
{
    (void)DisableDeviceInterface(NULL);
    return CThinFilterDevice::OnPnpSurpriseRemoval(Irp);
}

NTSTATUS CKivSdp::OnPnpRemoveDevice(PIRP Irp)
{
    (void)DisableDeviceInterface(NULL);
    return CThinFilterDevice::OnPnpRemoveDevice(Irp);
}

// ---------------------------------------------------------------------------------------------
// Channel table. The core's table has no lock of its own; events on several
// processors and the readers are serialised here by a spin lock, so a reader
// never sees a context half-changed.

NTSTATUS CKivSdp::CreateL2capContext(USHORT Cid, USHORT Mtu)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    NTSTATUS status = ChannelTable.CreateL2capContext(Cid, Mtu);
    KeReleaseSpinLock(&m_ChannelLock, irql);
    return status;
}

NTSTATUS CKivSdp::DestroyL2capContext(USHORT Cid)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    NTSTATUS status = ChannelTable.DestroyL2capContext(Cid);
    KeReleaseSpinLock(&m_ChannelLock, irql);
    return status;
}

NTSTATUS CKivSdp::ReConfigL2capContext(USHORT Cid, USHORT Mtu)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    NTSTATUS status = ChannelTable.ReConfigL2capContext(Cid, Mtu);
    KeReleaseSpinLock(&m_ChannelLock, irql);
    return status;
}

NTSTATUS CKivSdp::GetMaxMTUFromCID(USHORT Cid, PUSHORT pMtu)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    NTSTATUS status = ChannelTable.GetMaxMTUFromCID(Cid, pMtu);
    KeReleaseSpinLock(&m_ChannelLock, irql);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Database

VOID CKivSdp::DatabaseLock()
{
    Database.DatabaseLock();
}

VOID CKivSdp::DatabaseUnlock()
{
    Database.DatabaseUnlock();
}

NTSTATUS CKivSdp::CreateServiceRecord(ULONG hRec)
{
    return Database.CreateServiceRecord(hRec);
}

// ---------------------------------------------------------------------------------------------
// Own requests to the lower driver

PIRP CKivSdp::AllocateOwnIrp()
{
    PIRP Irp = IoAllocateIrp(m_pDeviceObject->StackSize, FALSE);
    if (Irp != NULL) OwnIrpAllocated();
    return Irp;
}

VOID CKivSdp::OwnIrpAllocated()
{
    if (InterlockedIncrement(&m_OwnIrps) == 1) KeClearEvent(&m_OwnIrpsDoneEvent);
}

VOID CKivSdp::OwnIrpFreed(PIRP Irp)
{
    IoFreeIrp(Irp);
    OwnIrpReturned();
}

VOID CKivSdp::OwnIrpReturned()
{
    if (InterlockedDecrement(&m_OwnIrps) == 0) (void)KeSetEvent(&m_OwnIrpsDoneEvent, 0, FALSE);
}

VOID CKivSdp::WaitForOwnIrps()
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = KIVSDP_DRAIN_TIMEOUT_100NS;
    if (KeWaitForSingleObject(&m_OwnIrpsDoneEvent, Executive, KernelMode, FALSE, &Timeout) ==
        STATUS_TIMEOUT) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK, "kivsdp : WaitForOwnIrps() - %d IRPs still with L2CAP!\n",
                     int(InterlockedCompareExchange(&m_OwnIrps, 0, 0)));
    }
}

BOOLEAN CKivSdp::BeginResend()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_TrafficLock, &irql);
    BOOLEAN Running = !m_TrafficStopped;
    if (Running) m_ResendsInProgress++;
    KeReleaseSpinLock(&m_TrafficLock, irql);
    return Running;
}

VOID CKivSdp::EndResend()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_TrafficLock, &irql);
    if (--m_ResendsInProgress == 0 && m_TrafficStopped)
        (void)KeSetEvent(&m_ResendsDoneEvent, 0, FALSE);
    KeReleaseSpinLock(&m_TrafficLock, irql);
}

BOOLEAN CKivSdp::CallOwnIrp(PIRP Irp, LONG* pSendState, NTSTATUS* pStatus)
{
    (void)InterlockedExchange(pSendState, KIVSDP_SEND_BUSY);
    *pStatus = IoCallDriver(GetStackDeviceObject(), Irp);
    return InterlockedExchange(pSendState, KIVSDP_SEND_IDLE) == KIVSDP_SEND_AGAIN;
}

BOOLEAN CKivSdp::DeferResend(LONG* pSendState)
{
    return InterlockedCompareExchange(pSendState, KIVSDP_SEND_AGAIN, KIVSDP_SEND_BUSY) ==
           KIVSDP_SEND_BUSY;
}

NTSTATUS CKivSdp::SendFirstRound(PIRP* Slots, LONG* SendStates, ULONG Count, ULONG* pSent,
                                 ROUND_STEP Prepare, ROUND_STEP Resend, ULONG* pFailed,
                                 BOOLEAN* pAllocFailed)
{
    for (ULONG i = 0; i < Count; i++) {
        *pFailed = i;
        PIRP Irp = AllocateOwnIrp();
        if (Irp == NULL) {
            *pAllocFailed = TRUE;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Slots[i] = Irp;
        (this->*Prepare)(Irp, i);
        KivSdpCountUp(pSent);
        // The completion routine owns the request from here on, unless it
        // completed inside the call and left its re-send to us.
        NTSTATUS status;
        if (CallOwnIrp(Irp, &SendStates[i], &status)) (this->*Resend)(Irp, i);
        if (!NT_SUCCESS(status)) {
            *pAllocFailed = FALSE;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Listen-status events

VOID CKivSdp::SendListenIrp(PIRP Irp, ULONG Index)
{
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    pNext->MinorFunction = 0;
    pNext->Parameters.DeviceIoControl.OutputBufferLength = KIVL2CAP_LISTEN_STATUS_SIZE;
    pNext->Parameters.DeviceIoControl.InputBufferLength = 0;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_KIVL2CAP_LISTEN_FOR_STATUS;
    pNext->FileObject = reinterpret_cast<PFILE_OBJECT>(m_pDeviceObject);
    Irp->AssociatedIrp.SystemBuffer = ListenStatusBuffers[Index];
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSetCompletionRoutine(Irp, KivSdpListenStatusComplete, this, TRUE, TRUE, TRUE);
}

NTSTATUS CKivSdp::InitializeListenIrps()
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : InitializeListenIrps()..\n");
    memset(ListenIrps, 0, sizeof(ListenIrps));
    memset(ListenStatusBuffers, 0, sizeof(ListenStatusBuffers));

    ULONG i;
    BOOLEAN AllocFailed;
    NTSTATUS status =
        SendFirstRound(ListenIrps, m_ListenSendState, KIVSDP_LISTEN_IRP_COUNT, &ListenIrpsSent,
                       &CKivSdp::SendListenIrp, &CKivSdp::ResendListenIrp, &i, &AllocFailed);
    if (NT_SUCCESS(status)) return status;
    if (AllocFailed) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : IntializeListenIrps() - Failed to allocate listen IRP index %d\n",
                     int(i));
    } else {
        // Those already sent stay pending until the stop or removal that
        // follows a failed start cancels them.
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : failed to start listen for status IRP %d (0x%x)\n ", int(i),
                     unsigned(status));
    }
    return status;
}

// Up to DISPATCH_LEVEL, on any processor. Keeps the request: it is either
// sent down again or freed here.
NTSTATUS KivSdpListenStatusComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : KivSdpListenStatusComplete()..\n");
    KivSdpCountUp(&pSdp->ListenIrpsCompleted);

    ULONG Index = KIVSDP_LISTEN_IRP_COUNT;
    for (ULONG i = 0; i < KIVSDP_LISTEN_IRP_COUNT; i++) {
        if (Irp->AssociatedIrp.SystemBuffer == pSdp->ListenStatusBuffers[i]) Index = i;
    }

    if (!NT_SUCCESS(Irp->IoStatus.Status) || Index == KIVSDP_LISTEN_IRP_COUNT) {
        KIVSDP_PRINT(SDP_ZONE_WARN_MASK,
                     "kivsdp : KivSdpListenStatusComplete() - Irp completed unsuccessfully, it "
                     "was probably canceled\n");
        if (Index < KIVSDP_LISTEN_IRP_COUNT)
            (void)InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&pSdp->ListenIrps[Index]), NULL, Irp);
        pSdp->OwnIrpFreed(Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    const UCHAR* pStatus = pSdp->ListenStatusBuffers[Index];
    USHORT StatusCode = ReadLe16At(pStatus, KIVL2CAP_STATUS_CODE_OFFSET);
    switch (StatusCode) {
    case KIVL2CAP_STATUS_PROTOCOL_FOUND:
        pSdp->StatusProtocolFound(pStatus);
        break;
    case KIVL2CAP_STATUS_CONNECT_REQUEST:
        pSdp->StatusConnectRequest(pStatus);
        break;
    case KIVL2CAP_STATUS_REQUEST_FAILED:
        pSdp->StatusRequestFailed(pStatus);
        break;
    case KIVL2CAP_STATUS_CONNECTED:
        pSdp->StatusConnected(pStatus);
        break;
    case KIVL2CAP_STATUS_CONFIG_ENDED:
        pSdp->StatusConfigEnded(pStatus);
        break;
    case KIVL2CAP_STATUS_DISCONNECTED:
        pSdp->StatusDisconnected(pStatus);
        break;
    case KIVL2CAP_STATUS_INVALIDATED:
        pSdp->StatusInvalidated(pStatus);
        break;
    case KIVL2CAP_STATUS_TIMEOUT:
        pSdp->StatusTimeout(pStatus);
        break;
    default:
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : KivSdpListenStatusComplete() - Uknown status code (0x%x)\n",
                     unsigned(StatusCode));
        break;
    }

    // Completed inside its own send (the lower driver had an event waiting):
    // that send's loop sends it again.
    if (pSdp->DeferResend(&pSdp->m_ListenSendState[Index])) return STATUS_MORE_PROCESSING_REQUIRED;
    pSdp->ResendListenIrp(Irp, Index);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

template <typename PREPARE, typename FAILED>
VOID CKivSdp::SendRounds(PIRP Irp, PIRP* pSlot, LONG* pSendState, KIVSDP_RESEND_CONTEXT* pResend,
                         PWORKER_THREAD_ROUTINE Worker, PREPARE Prepare, FAILED Failed)
{
    BOOLEAN Again;
    ULONG Rounds = 0;
    do {
        // A lower driver that always has the next event or frame ready would
        // keep this caller here for good. The request is ours until the work
        // item sends it; a stop meanwhile makes the item release it. The item
        // is not a re-send in progress, so a stop never waits for it to run.
        if (Rounds++ == KIVSDP_INLINE_SEND_ROUNDS) {
            pResend->Device = this;
            pResend->Irp = Irp;
            ExInitializeWorkItem(&pResend->WorkItem, Worker, pResend);
            // The critical queue runs ahead of the frames' delayed one, so
            // the events kept before a frame still reach the channel table
            // before the frame is answered.
            ExQueueWorkItem(&pResend->WorkItem, CriticalWorkQueue);
            return;
        }
        // Once the traffic is stopped the request is not sent again: the
        // stop's cleanup may already have passed the lower driver, and
        // nothing would ever complete it.
        if (!BeginResend()) {
            (void)InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(pSlot), NULL,
                                                    Irp);
            OwnIrpFreed(Irp);
            return;
        }
        IoReuseIrp(Irp, STATUS_SUCCESS);
        Prepare();
        NTSTATUS status;
        Again = CallOwnIrp(Irp, pSendState, &status);
        EndResend();
        if (!NT_SUCCESS(status)) {
            Failed(status);
            NORN_ASSERT(FALSE);
        }
    } while (Again);
}

VOID CKivSdp::ResendListenIrp(PIRP Irp, ULONG Index)
{
    // The buffer keeps the last record; the lower driver overwrites it.
    SendRounds(
        Irp, &ListenIrps[Index], &m_ListenSendState[Index], &m_ListenResend[Index],
        KivSdpResendListenWorker,
        [&] {
            SendListenIrp(Irp, Index);
            KivSdpCountUp(&ListenIrpsSent);
        },
        [](NTSTATUS status) {
            KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                         "KIVSDP: Failed to send listen IRP back down (0x%x)\n", unsigned(status));
        });
}

// PASSIVE_LEVEL, in a system worker thread: the rounds of a listen request
// that kept completing inside its send.
VOID KivSdpResendListenWorker(PVOID Parameter)
{
    KIVSDP_RESEND_CONTEXT* pResend = static_cast<KIVSDP_RESEND_CONTEXT*>(Parameter);
    pResend->Device->ResendListenIrp(pResend->Irp, pResend->Index);
}

VOID CKivSdp::StatusProtocolFound(const UCHAR* pStatus)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : StatusProtocolFound() - CID 0x%x\n",
                 unsigned(ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET)));
}

VOID CKivSdp::StatusConnectRequest(const UCHAR* pStatus)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK,
                 "kivsdp : StatusConnectRequest - L2CAP about to try to connect CID 0x%x\n",
                 unsigned(ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET)));
}

VOID CKivSdp::StatusRequestFailed(const UCHAR* pStatus)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : StatusRequestFailed() -  CID 0x%x\n",
                 unsigned(ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET)));
}

VOID CKivSdp::StatusConnected(const UCHAR* pStatus)
{
    USHORT Cid = ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET);
    USHORT Mtu = ReadLe16At(pStatus, KIVL2CAP_STATUS_MTU_OFFSET);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : StatusConnected - We got CONNECTED on CID 0x%x\n",
                 unsigned(Cid));
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp :   Remote MTU = 0x%x\n", unsigned(Mtu));
    // With all contexts in use the channel cannot be served or sent on, so
    // the application is not told it is connected (the table's own message
    // says why).
    if (!NT_SUCCESS(CreateL2capContext(Cid, Mtu))) return;
    (void)SetApiStatus(Cid, KIVSDP_CHANNEL_CONNECTED);
}

VOID CKivSdp::StatusConfigEnded(const UCHAR* pStatus)
{
    USHORT Cid = ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET);
    USHORT Mtu = ReadLe16At(pStatus, KIVL2CAP_STATUS_MTU_OFFSET);
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK,
                 "kivsdp : StatusConfigEnded() - Parameter negotiation completed on CID 0x%x "
                 "(New MTU = 0x%x)\n",
                 unsigned(Cid), unsigned(Mtu));
    (void)ReConfigL2capContext(Cid, Mtu);
}

VOID CKivSdp::StatusDisconnected(const UCHAR* pStatus)
{
    USHORT Cid = ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK,
                 "kivsdp : StatusDisonnected - We got DISCONNECTED on CID 0x%x\n", unsigned(Cid));
    (void)SetApiStatus(Cid, KIVSDP_CHANNEL_DISCONNECTED);
    (void)DestroyL2capContext(Cid);
}

VOID CKivSdp::StatusInvalidated(const UCHAR* pStatus)
{
    USHORT Cid = ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK,
                 "kivsdp : StatusInvalidated() - We got invalidated on CID 0x%x\n", unsigned(Cid));
    (void)SetApiStatus(Cid, KIVSDP_CHANNEL_DISCONNECTED);
    (void)DestroyL2capContext(Cid);
}

VOID CKivSdp::StatusTimeout(const UCHAR* pStatus)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : StatusTimeout() - We got a timeout on CID 0x%x\n",
                 unsigned(ReadLe16At(pStatus, KIVL2CAP_STATUS_CID_OFFSET)));
}

// ---------------------------------------------------------------------------------------------
// Start and stop of the traffic (PASSIVE_LEVEL)

NTSTATUS CKivSdp::StartupIrps()
{
    // Requests of an earlier start must all be back before their slots and
    // buffers are used again.
    WaitForOwnIrps();
    KIRQL irql;
    KeAcquireSpinLock(&m_TrafficLock, &irql);
    m_TrafficStopped = FALSE;
    KeReleaseSpinLock(&m_TrafficLock, irql);

    NTSTATUS status = InitializeListenIrps();
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : StartupIrps() - InitializeListenIrps failed.  status: 0x%x\n",
                     unsigned(status));
        // Those already sent stay pending until the stop or removal that
        // follows a failed start cancels them.
        return status;
    }
    status = SendReadFileIrps();
    if (!NT_SUCCESS(status)) {
        CancelIrps();
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : StartupIrps() - SendReadFileIrps failed.  status: 0x%x\n",
                     unsigned(status));
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CKivSdp::SendReadFileIrps()
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : SendReadFileIrps()..\n");
    memset(ReadIrps, 0, sizeof(ReadIrps));
    ULONG i;
    BOOLEAN AllocFailed;
    NTSTATUS status = SendFirstRound(ReadIrps, m_ReadSendState, KIVSDP_READ_IRP_COUNT,
                                     &ReadIrpsSent, &CKivSdp::InitializeReadFileIrp,
                                     &CKivSdp::ResendReadFileIrpRounds, &i, &AllocFailed);
    if (NT_SUCCESS(status)) return status;
    if (AllocFailed) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : SendReadFileIrps() - IoAllocateIrp failed to allocate an IRP[%d] "
                     "to listen for data.\n",
                     int(i));
        return status;
    }
    // The failed one was released by its completion routine; the cleanup the
    // caller sends next also ends the earlier ones.
    for (ULONG j = i; j-- > 0;) {
        PIRP Earlier = static_cast<PIRP>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&ReadIrps[j]), NULL, NULL));
        if (Earlier != NULL) (void)IoCancelIrp(Earlier);
    }
    KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                 "kivsdp : SendReadFileIrps() - IoCallDriver failed to send the ReadFile IRP: "
                 "0x%x\n",
                 unsigned(status));
    return status;
}

VOID CKivSdp::InitializeReadFileIrp(PIRP Irp, ULONG Index)
{
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_READ;
    pNext->MinorFunction = 0;
    pNext->Parameters.Read.Length = MAX_SDP_DATA_PACKET_SIZE;
    pNext->Parameters.Read.Key = 0;
    pNext->Parameters.Read.ByteOffset.QuadPart = 0;
    pNext->FileObject = reinterpret_cast<PFILE_OBJECT>(m_pDeviceObject);
    Irp->AssociatedIrp.SystemBuffer = ReadBuffers[Index];
    Irp->Cancel = FALSE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSetCompletionRoutine(Irp, DefaultReadFileCompletionRoutine, this, TRUE, TRUE, TRUE);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : InitializeReadFileIrp() - Prepared IRP[%d] with buffer 0x%x\n",
                 int(Index), KivSdpLow32(ReadBuffers[Index]));
}

// Up to DISPATCH_LEVEL. The request stays with this driver: freed on a
// failure, otherwise handed to a work item or sent down again.
NTSTATUS CKivSdp::DefaultReadFileCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : DefaultReadFileCompletionRoutine()..\n");
    KivSdpCountUp(&pSdp->ReadIrpsCompleted);

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : DefaultReadFileCompletionRoutine() -  This is bad!! IRP failed "
                     "with err 0x%x!!\n",
                     unsigned(Irp->IoStatus.Status));
        for (ULONG i = 0; i < KIVSDP_READ_IRP_COUNT; i++) {
            (void)InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&pSdp->ReadIrps[i]), NULL, Irp);
        }
        pSdp->OwnIrpFreed(Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : DefaultReadFileCompletionRoutine() - Completed IRP with buffer 0x%x\n",
                 KivSdpLow32(Irp->AssociatedIrp.SystemBuffer));
    if (Irp->IoStatus.Information >= KIVSDP_MIN_FRAME_SIZE) {
        KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                     "kivsdp : DefaultReadFileCompletionRoutine() - Queueing work item to process "
                     "packet..\n");
        KIVSDP_WORK_ITEM_CONTEXT* pContext =
            static_cast<KIVSDP_WORK_ITEM_CONTEXT*>(pSdp->WorkItemList->Allocate());
        if (pContext != NULL) {
            pContext->Irp = Irp;
            pContext->Device = pSdp;
            ExInitializeWorkItem(&pContext->WorkItem, KivSdpProcessSdpPacket, pContext);
            ExQueueWorkItem(&pContext->WorkItem, DelayedWorkQueue);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        // Without a context the frame is dropped and the read re-armed, so
        // the device keeps its three reads.
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : DefaultReadFileCompletionRoutine() - No work item! Frame "
                     "dropped..\n");
    } else {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : DefaultReadFileCompletionRoutine() - Packet invalid! Length = "
                     "0x%x\n",
                     unsigned(Irp->IoStatus.Information));
    }
    pSdp->ReSendReadFileIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CKivSdp::ReSendReadFileIrp(PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : ReSendReadFileIrp()..\n");
    ULONG Index = KIVSDP_READ_IRP_COUNT;
    for (ULONG i = 0; i < KIVSDP_READ_IRP_COUNT; i++) {
        if (Irp->AssociatedIrp.SystemBuffer == ReadBuffers[i]) Index = i;
    }
    if (Index == KIVSDP_READ_IRP_COUNT) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : ReSendReadFileIrp() - This is BAD!! ReadFile IRP not found\n");
        NORN_ASSERT(FALSE);
        return;
    }
    // Completed inside its own send (the lower driver had a frame waiting):
    // that send's loop sends it again.
    if (DeferResend(&m_ReadSendState[Index])) return;
    ResendReadFileIrpRounds(Irp, Index);
}

VOID CKivSdp::ResendReadFileIrpRounds(PIRP Irp, ULONG Index)
{
    SendRounds(
        Irp, &ReadIrps[Index], &m_ReadSendState[Index], &m_ReadResend[Index],
        KivSdpResendReadWorker,
        [&] {
            InitializeReadFileIrp(Irp, Index);
            KivSdpCountUp(&ReadIrpsSent);
        },
        [](NTSTATUS status) {
            KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                         "kivsdp : ReSendReadFileIrp() - This is VERY BAD. IoCallDriver failed "
                         "with err 0x%x\n",
                         unsigned(status));
            KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                         "kivsdp : ReSendReadFileIrp() - The system is will probably crash "
                         "now..\n");
        });
}

// Likewise for a read request that kept completing with frames too short to
// process.
VOID KivSdpResendReadWorker(PVOID Parameter)
{
    KIVSDP_RESEND_CONTEXT* pResend = static_cast<KIVSDP_RESEND_CONTEXT*>(Parameter);
    pResend->Device->ResendReadFileIrpRounds(pResend->Irp, pResend->Index);
}

VOID CKivSdp::CancelIrps()
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : CancelIrps()..\n");

    // Stop the re-sends first and let those under way reach the lower
    // driver, so that the cleanup finds every request there.
    KIRQL irql;
    KeAcquireSpinLock(&m_TrafficLock, &irql);
    m_TrafficStopped = TRUE;
    BOOLEAN Busy = m_ResendsInProgress != 0;
    if (Busy) KeClearEvent(&m_ResendsDoneEvent);
    KeReleaseSpinLock(&m_TrafficLock, irql);
    if (Busy && KeGetCurrentIrql() == PASSIVE_LEVEL)
        (void)KeWaitForSingleObject(&m_ResendsDoneEvent, Executive, KernelMode, FALSE, NULL);

    PIRP Irp = AllocateOwnIrp();
    if (Irp == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : CancelIrps() - Failed to allocate a CLEANUP IRP.\n");
        NORN_ASSERT(FALSE);
        return;
    }
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_CLEANUP;
    pNext->MinorFunction = 0;
    pNext->FileObject = reinterpret_cast<PFILE_OBJECT>(m_pDeviceObject);
    IoSetCompletionRoutine(Irp, KivSdpCancelIrpsCompletionRoutine, this, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(GetStackDeviceObject(), Irp);
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK, "kivsdp : CancelIrps() - IoCallDriver Failed: 0x%x\n",
                     unsigned(status));
    }
}

NTSTATUS KivSdpCancelIrpsCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : KivSdpCancelIrpsCompletionRoutine()..\n");
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : KivSdpCancelIrpsCompletionRoutine() - Cleanup IRP Failed: 0x%x\n",
                     unsigned(Irp->IoStatus.Status));
    }
    pSdp->OwnIrpFreed(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------------------------
// Inbound frames and response writes

ULONG CKivSdp::ResponseSlotOf(PVOID Block)
{
    // Another processor may be giving an idle slot its block meanwhile: the
    // pointer is published once and read atomically, never torn.
    for (ULONG i = 0; i < KIVSDP_RESPONSE_SLOT_COUNT; i++) {
        if (__atomic_load_n(&m_ResponseSlots[i].Block, __ATOMIC_ACQUIRE) == Block) return i;
    }
    return KIVSDP_RESPONSE_SLOT_COUNT;
}

PVOID CKivSdp::TakeResponseBlock()
{
    for (ULONG i = 0; i < KIVSDP_RESPONSE_SLOT_COUNT; i++) {
        if (InterlockedCompareExchange(&m_ResponseSlotBusy[i], 1, 0) != 0) continue;
        // The slot is ours alone until it is released.
        if (m_ResponseSlots[i].Block == NULL) {
            PVOID Block = WriteBufferList->Allocate();
            if (Block == NULL) {
                ReleaseResponseSlot(i);
                return NULL;
            }
            __atomic_store_n(&m_ResponseSlots[i].Block, Block, __ATOMIC_RELEASE);
        }
        return m_ResponseSlots[i].Block;
    }
    return WriteBufferList->Allocate();
}

VOID CKivSdp::ReleaseResponseSlot(ULONG Slot)
{
    (void)InterlockedExchange(&m_ResponseSlotBusy[Slot], 0);
}

VOID CKivSdp::ReleaseResponseBlock(PVOID Block)
{
    ULONG Slot = ResponseSlotOf(Block);
    if (Slot < KIVSDP_RESPONSE_SLOT_COUNT)
        ReleaseResponseSlot(Slot);
    else
        WriteBufferList->Free(Block);
}

// Every write is back (the destructor waited for them), so no slot is busy.
VOID CKivSdp::FreeResponseSlots()
{
    for (ULONG i = 0; i < KIVSDP_RESPONSE_SLOT_COUNT; i++) {
        if (m_ResponseSlots[i].Irp != NULL) IoFreeIrp(m_ResponseSlots[i].Irp);
        if (m_ResponseSlots[i].Block != NULL && WriteBufferList != NULL)
            WriteBufferList->Free(m_ResponseSlots[i].Block);
        m_ResponseSlots[i].Irp = NULL;
        m_ResponseSlots[i].Block = NULL;
    }
}

PIRP CKivSdp::GetNewResponseIrp(PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE Routine)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : GetNewResponseIrp()..\n");
    NORN_ASSERT(Routine != NULL);
    PIRP Irp;
    ULONG Slot = ResponseSlotOf(Buffer);
    if (Slot < KIVSDP_RESPONSE_SLOT_COUNT) {
        // A slot's request stays allocated while idle; it counts as one of
        // this device's requests only while it is sent.
        Irp = m_ResponseSlots[Slot].Irp;
        if (Irp == NULL) {
            Irp = IoAllocateIrp(m_pDeviceObject->StackSize, FALSE);
            m_ResponseSlots[Slot].Irp = Irp;
        } else {
            IoReuseIrp(Irp, STATUS_SUCCESS);
        }
        if (Irp != NULL) OwnIrpAllocated();
    } else {
        Irp = AllocateOwnIrp();
    }
    if (Irp == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : GetNewResponseIrp() - Could not allocate an IRP to send.\n");
        return NULL;
    }
    Irp->AssociatedIrp.SystemBuffer = Buffer;
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Irp);
    pNext->MajorFunction = IRP_MJ_WRITE;
    pNext->MinorFunction = 0;
    pNext->Parameters.Write.Length = Length;
    pNext->Parameters.Write.Key = 0;
    pNext->Parameters.Write.ByteOffset.QuadPart = 0;
    pNext->FileObject = reinterpret_cast<PFILE_OBJECT>(m_pDeviceObject);
    IoSetCompletionRoutine(Irp, Routine, this, TRUE, TRUE, TRUE);
    return Irp;
}

// Up to DISPATCH_LEVEL. The block goes back to the pool and the request is
// freed; a failed response is not sent again.
NTSTATUS CKivSdp::IncomingRequestCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : IncomingRequestCompletionRoutine() - Entered..\n");
    KivSdpCountUp(&pSdp->ResponsesCompleted);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : IncomingRequestCompletionRoutine() - IRP was completed with "
                     "failure 0x%x\n",
                     unsigned(Irp->IoStatus.Status));
    }
    ULONG Slot = pSdp->ResponseSlotOf(Irp->AssociatedIrp.SystemBuffer);
    if (Slot < KIVSDP_RESPONSE_SLOT_COUNT) {
        // The slot keeps its request and block for the next response; from
        // here another processor may reuse them, so Irp is not touched again.
        pSdp->ReleaseResponseSlot(Slot);
        pSdp->OwnIrpReturned();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    pSdp->WriteBufferList->Free(Irp->AssociatedIrp.SystemBuffer);
    pSdp->OwnIrpFreed(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static uint8_t* KivSdpGetResponseBlock(void* Context)
{
    return static_cast<uint8_t*>(static_cast<CKivSdp*>(Context)->TakeResponseBlock());
}

// The block now belongs to this driver: it goes down in a write, or back to
// the pool when no request can carry it.
static void* KivSdpPrepareResponse(void* Context, uint8_t* pFrame, uint32_t FrameLen)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    PIRP Irp = pSdp->GetNewResponseIrp(pFrame, FrameLen, CKivSdp::IncomingRequestCompletionRoutine);
    if (Irp == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : ProcessSdpRequest() - Fatal error!. Could not allocate an IRP for "
                     "our response!\n");
        pSdp->ReleaseResponseBlock(pFrame);
    }
    return Irp;
}

static void KivSdpSendPrepared(void* Context, void* Carrier)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    KivSdpCountUp(&pSdp->ResponsesSent);
    NTSTATUS status = IoCallDriver(pSdp->GetStackDeviceObject(), static_cast<PIRP>(Carrier));
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : ProcessSdpRequest() - IoCallDriver returned 0x%x\n", unsigned(status));
}

// Every response goes through the two steps above.
static void KivSdpSendResponse(void* Context, uint8_t* pFrame, uint32_t FrameLen)
{
    void* Carrier = KivSdpPrepareResponse(Context, pFrame, FrameLen);
    if (Carrier != NULL) KivSdpSendPrepared(Context, Carrier);
}

static void KivSdpCoreResponse(void* Context, const uint8_t* pPdu, uint32_t PduLen, uint16_t Cid)
{
    static_cast<CKivSdp*>(Context)->ProcessSdpResponse(pPdu, PduLen, Cid);
}

// How the core reaches this device: response blocks, sends and the client path.
SDP_SERVER_HOST CKivSdp::CoreHost()
{
    return {this,
            KivSdpGetResponseBlock,
            KivSdpSendResponse,
            KivSdpCoreResponse,
            KivSdpPrepareResponse,
            KivSdpSendPrepared};
}

// The table is copied under its lock, so the frame is answered with the MTUs
// as they were when it arrived.
VOID CKivSdp::ProcessFrame(PIRP Irp)
{
    CChannelTable Channels;
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    Channels = ChannelTable;
    KeReleaseSpinLock(&m_ChannelLock, irql);

    ULONG TotLen = ULONG(Irp->IoStatus.Information);
    if (TotLen > MAX_SDP_DATA_PACKET_SIZE) TotLen = MAX_SDP_DATA_PACKET_SIZE;
    SdpProcessFrame(Database, Channels,
                    static_cast<const uint8_t*>(Irp->AssociatedIrp.SystemBuffer), TotLen,
                    CoreHost());
}

VOID CKivSdp::ProcessSdpRequest(const UCHAR* pPdu, ULONG PduLen, USHORT Cid)
{
    CChannelTable Channels;
    KIRQL irql;
    KeAcquireSpinLock(&m_ChannelLock, &irql);
    Channels = ChannelTable;
    KeReleaseSpinLock(&m_ChannelLock, irql);
    ::ProcessSdpRequest(Database, Channels, pPdu, PduLen, Cid, CoreHost());
}

// PASSIVE_LEVEL, in a system worker thread; one per read request in work.
VOID KivSdpProcessSdpPacket(PVOID Parameter)
{
    NORN_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    KIVSDP_WORK_ITEM_CONTEXT* pContext = static_cast<KIVSDP_WORK_ITEM_CONTEXT*>(Parameter);
    PIRP Irp = pContext->Irp;
    CKivSdp* pSdp = pContext->Device;
    pSdp->WorkItemList->Free(pContext);

    pSdp->ProcessFrame(Irp);

    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : KivSdpProcessSdpPacket() - Done!! Re-submitting readfile IRP 0x%x to "
                 "L2CAP..\n",
                 KivSdpLow32(Irp));
    pSdp->ReSendReadFileIrp(Irp);
}
