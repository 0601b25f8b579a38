// Device-control and cleanup dispatch of the SDP device, the three request
// queues' start and cancel routines, and the debug interface.
#include "kivsdp.h"

#include <string.h>

// ---------------------------------------------------------------------------------------------
// Dispatch (PASSIVE_LEVEL, in the caller's thread)

NTSTATUS KivSdpIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CKivSdp::FromDeviceObject(DeviceObject)->IoctlDispatch(Irp);
}

NTSTATUS KivSdpCleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CKivSdp::FromDeviceObject(DeviceObject)->CleanupDispatch(Irp);
}

NTSTATUS CKivSdp::IoctlDispatch(PIRP Irp)
{
    KivSdpCountUp(&IoctlCount);
    NTSTATUS status;
    if (!IrpPrologue(Irp, &status)) return status;

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG Code = pStack->Parameters.DeviceIoControl.IoControlCode;
    KIVSDP_QUEUED_KIND Queued = {};
    if (!ImmediateIoctl(Code, Irp, pStack, &status) &&
        !QueuedIoctl(Code, Irp, pStack, &status, &Queued)) {
        KIVSDP_PRINT(SDP_ZONE_INFO_MASK,
                     "kivsdp : Unknown IOCTL code (0x%x). Passing to next layer..\n",
                     unsigned(Code));
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, IoctlCompletionRoutine, this, TRUE, TRUE, TRUE);
        return IoCallDriver(GetStackDeviceObject(), Irp);
    }

    if (status == STATUS_PENDING) {
        KivSdpCountUp(Queued.Pending);
        if (!Irp->Cancel) {
            KIVSDP_PRINT(Queued.StartZone, Queued.StartTrace, KivSdpLow32(Irp));
            // The request may be completed before StartPacket returns: not
            // touched again here.
            Queued.Queue->StartPacket(Irp, Queued.CancelRoutine);
            return STATUS_PENDING;
        }
        // A request cancelled before it reaches its queue would never see its
        // cancel routine run; finish it here instead.
        KivSdpCountDown(Queued.Pending);
        KivSdpCountUp(Queued.Finished);
        status = STATUS_CANCELLED;
    }
    // The I/O manager gives an application no byte count with a failure, so
    // the size a reading request would have needed stays with the handler's
    // trace and the request completes with none.
    if (NT_ERROR(status)) Irp->IoStatus.Information = 0;
    CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}

BOOLEAN CKivSdp::ImmediateIoctl(ULONG Code, PIRP Irp, PIO_STACK_LOCATION pStack, NTSTATUS* pStatus)
{
    switch (Code) {
    case IOCTL_KIVSDP_ADD_SERVICE_RECORD:
        KIVSDP_PRINT(SDP_ZONE_DATABASE_MASK, "kivsdp : IOCTL_KIVSDP_ADD_SERVICE_RECORD\n");
        *pStatus = UserIoctlAddRecord(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_DELETE_SERVICE_RECORD:
        KIVSDP_PRINT(SDP_ZONE_DATABASE_MASK, "kivsdp : IOCTL_KIVSDP_DELETE_SERVICE_RECORD\n");
        *pStatus = UserIoctlDeleteRecord(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE:
        KIVSDP_PRINT(SDP_ZONE_DATABASE_MASK, "kivsdp : IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE\n");
        *pStatus = UserIoctlAddAttribute(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE:
        KIVSDP_PRINT(SDP_ZONE_DATABASE_MASK, "kivsdp : IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE\n");
        *pStatus = UserIoctlDeleteAttribute(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_VERIFY_DATA_ELEMENT:
        KIVSDP_PRINT(SDP_ZONE_DATABASE_MASK, "kivsdp : IOCTL_KIVSDP_VERIFY_DATA_ELEMENT\n");
        *pStatus = UserIoctlVerifyDataElement(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_GET_DATABASE:
        *pStatus = UserIoctlGetDatabase(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_GET_RECORD_HANDLES:
        *pStatus = UserIoctlGetRecordHandles(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_GET_DEBUG_INFO:
        *pStatus = IoctlGetDebugInfo(Irp, pStack);
        return TRUE;
    case IOCTL_KIVSDP_RESET_DEBUG_INFO:
        *pStatus = ResetDebugStuff();
        return TRUE;
    case IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK:
        *pStatus = IoctlSetDebugZoneMask(Irp, pStack);
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN CKivSdp::QueuedIoctl(ULONG Code, PIRP Irp, PIO_STACK_LOCATION pStack, NTSTATUS* pStatus,
                             KIVSDP_QUEUED_KIND* pKind)
{
    switch (Code) {
    case IOCTL_KIVSDP_SEND_SDP_REQUEST:
        KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : IOCTL_KIVSDP_SEND_SDP_REQUEST\n");
        KivSdpCountUp(&SendRequestCount);
        *pStatus = SendSdpRequestCheckParameters(Irp, pStack);
        *pKind = {&m_RequestQueue,          "kivsdp : m_RequestQueue.StartPacket() on pIrp 0x%x\n",
                  SDP_ZONE_READ_WRITE_MASK, KivSdpRequestIrpCancelCallback,
                  &PendingRequests,         &RequestsFinished};
        return TRUE;
    case IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE:
        KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE\n");
        KivSdpCountUp(&ListenResponseCount);
        *pStatus = ListenForSdpResponseCheckParameters(Irp, pStack);
        *pKind = {&m_ResponseQueue,         "kivsdp : m_ResponseQueue.StartPacket() on pIrp 0x%x\n",
                  SDP_ZONE_READ_WRITE_MASK, KivSdpResponseIrpCancelCallback,
                  &PendingResponseListens,  &ResponsesDelivered};
        return TRUE;
    case IOCTL_KIVSDP_LISTEN_FOR_STATUS:
        KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : IOCTL_KIVSDP_LISTEN_FOR_STATUS\n");
        KivSdpCountUp(&ListenStatusCount);
        *pStatus = ListenForSdpStatusCheckParameters(Irp, pStack);
        *pKind = {&m_StatusQueue,        "kivsdp : m_StatusQueue.StartPacket() on pIrp 0x%x\n",
                  SDP_ZONE_STATUS_MASK,  KivSdpStatusIrpCancelCallback,
                  &PendingStatusListens, &StatusDelivered};
        return TRUE;
    default:
        return FALSE;
    }
}

// PASSIVE_LEVEL, when the last handle of a file object is closed.
NTSTATUS CKivSdp::CleanupDispatch(PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : KivSdpCleanupDispatch()..\n");
    IrpCountIncrement();

    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    m_RequestQueue.FlushQueue(pFileObject);
    m_ResponseQueue.FlushQueue(pFileObject);
    m_StatusQueue.FlushQueue(pFileObject);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, IoctlCompletionRoutine, this, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(GetStackDeviceObject(), Irp);
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : KivSdpCleanupDispatch: IoCallDriver Failed: 0x%08x\n",
                     unsigned(status));
    }
    return status;
}

// Up to DISPATCH_LEVEL: requests passed down unchanged go on to their caller.
NTSTATUS CKivSdp::IoctlCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    CKivSdp* pSdp = static_cast<CKivSdp*>(Context);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    pSdp->IrpCountDecrement();
    return Irp->IoStatus.Status;
}

// ---------------------------------------------------------------------------------------------
// Start routines (DISPATCH_LEVEL)

VOID KivSdpRequestStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CKivSdp::FromDeviceObject(DeviceObject)->RequestStartIo(Irp);
}

VOID KivSdpResponseStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : KivSdpResponseStartIo()..\n");
    CKivSdp* pSdp = CKivSdp::FromDeviceObject(DeviceObject);
    pSdp->ListenStartIo(pSdp->m_ResponseQueue, Irp, IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE);
}

VOID KivSdpStatusStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK, "kivsdp : KivSdpStatusStartIo()..\n");
    CKivSdp* pSdp = CKivSdp::FromDeviceObject(DeviceObject);
    pSdp->ListenStartIo(pSdp->m_StatusQueue, Irp, IOCTL_KIVSDP_LISTEN_FOR_STATUS);
}

// A listen request stays current and cancellable until an event completes
// it. One that was cancelled before its cancel routine was set has nobody
// else to finish it: it is completed here and the next one started. The
// queue makes a request current before calling this routine, so an event or
// a cancel may already have taken it: it is looked at only while it is still
// the current request, under the cancel spin lock.
VOID CKivSdp::ListenStartIo(CIrpQueue& Queue, PIRP Irp, ULONG Code)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Queue.GetCurrentIrp() != Irp) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    NORN_ASSERT(IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL);
    NORN_ASSERT(IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode ==
                Code);
    BOOLEAN Orphaned = Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    if (Orphaned) Queue.ClearCurrentIrp();
    IoReleaseCancelSpinLock(irql);
    if (!Orphaned) return;
    if (&Queue == &m_ResponseQueue) {
        KivSdpCountUp(&ResponsesDelivered);
        KivSdpCountDown(&PendingResponseListens);
    } else {
        KivSdpCountUp(&StatusDelivered);
        KivSdpCountDown(&PendingStatusListens);
    }
    Irp->IoStatus.Information = 0;
    Queue.CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

VOID CKivSdp::RequestStartIo(PIRP)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : KivSdpRequestStartIo()..\n");
    AcquireSpinLockAtDpc();

    // The device spin lock, then the cancel spin lock. The current request
    // is read under the cancel spin lock: a cancel routine may finish it,
    // and the queue start the next, between this routine's call and here.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP Irp = m_RequestQueue.GetCurrentIrp();
    BOOLEAN Cancelled = Irp == NULL || Irp->Cancel;
    // A cancelled request whose cancel routine is still set was cancelled
    // before StartPacket set it: no cancel routine will ever run for it.
    BOOLEAN Orphaned = Irp != NULL && Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    if (!Cancelled) {
        (void)IoSetCancelRoutine(Irp, NULL);
        // From here on the request belongs to the lower driver, which alone
        // can cancel it; a closing handle's flush leaves it alone. The queue
        // stays busy until its completion starts the next request.
        m_RequestQueue.ClearCurrentIrp();
    }
    IoReleaseCancelSpinLock(irql);

    if (Orphaned) {
        ReleaseSpinLockFromDpc();
        KivSdpCountUp(&RequestsFinished);
        KivSdpCountDown(&PendingRequests);
        Irp->IoStatus.Information = 0;
        m_RequestQueue.CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return;
    }
    if (Cancelled) {
        // Its cancel routine finishes it and starts the next one.
        ReleaseSpinLockFromDpc();
        return;
    }

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    NORN_ASSERT(pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL);
    NORN_ASSERT(pStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KIVSDP_SEND_SDP_REQUEST);
    NTSTATUS status = PrepareSdpRequestIrp(Irp, pStack);
    if (!NT_SUCCESS(status)) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : KivSdpRequestStartIo() - Hmm. Failed to prepare IRP for Tx (err "
                     "0x%x)\n",
                     unsigned(status));
        ReleaseSpinLockFromDpc();
        KivSdpCountUp(&RequestsFinished);
        KivSdpCountDown(&PendingRequests);
        Irp->IoStatus.Information = 0;
        m_RequestQueue.CompleteIrpAndStartNext(Irp, status, IO_NO_INCREMENT);
        return;
    }
    ReleaseSpinLockFromDpc();

    // One request at a time is at the lower driver: the queue starts the next
    // one from SendSdpRequestCompletionRoutine.
    KivSdpCountUp(&RequestsPassedDown);
    status = IoCallDriver(GetStackDeviceObject(), Irp);
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK,
                 "kivsdp : KivSdpRequestStartIo() - IoCallDriver returned 0x%x\n",
                 unsigned(status));
}

// ---------------------------------------------------------------------------------------------
// Taking the current listen request for an event (up to DISPATCH_LEVEL)

// Ownership passes to the event only by taking the cancel routine away under
// the cancel spin lock; the current request is cleared at the same moment.
// So a cancel routine either ran before (and finishes the request and starts
// the next itself) or never runs, and the queue never stays busy with no
// current request behind it.
PIRP CKivSdp::TakeCurrentListenIrp(CIrpQueue& Queue, ULONG* pFinished, ULONG* pPending)
{
    for (;;) {
        // The device spin lock, then the cancel spin lock. The old IRQL stays
        // in a local: events run on several processors at once.
        KIRQL DeviceIrql;
        KeAcquireSpinLock(&m_SpinLock, &DeviceIrql);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP Irp = Queue.GetCurrentIrp();
        // NULL: its cancel routine is running, or another event owns it.
        if (Irp != NULL && IoSetCancelRoutine(Irp, NULL) == NULL) Irp = NULL;
        if (Irp != NULL) Queue.ClearCurrentIrp();
        // IoCancelIrp sets Cancel under the cancel spin lock, so it is read
        // here too: once the lock is dropped a late cancel may still set it.
        // Such a cancel finds no routine and leaves the request to us.
        const BOOLEAN Cancelled = Irp != NULL && Irp->Cancel;
        IoReleaseCancelSpinLock(irql);
        KeReleaseSpinLock(&m_SpinLock, DeviceIrql);
        if (!Cancelled) return Irp;

        // Cancelled before its cancel routine was set: finish it, and offer
        // the event to the next waiting request.
        KivSdpCountUp(pFinished);
        KivSdpCountDown(pPending);
        Irp->IoStatus.Information = 0;
        Queue.CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
}

// ---------------------------------------------------------------------------------------------
// Cancel routines (entered holding the system cancel spin lock)

VOID KivSdpRequestIrpCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : KisSdpRequestIrpCancelCallback()..\n");
    CKivSdp* pSdp = CKivSdp::FromDeviceObject(DeviceObject);
    pSdp->CancelQueuedIrp(pSdp->m_RequestQueue, Irp, &pSdp->RequestsFinished,
                          &pSdp->PendingRequests);
}

VOID KivSdpResponseIrpCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIVSDP_PRINT(SDP_ZONE_READ_WRITE_MASK, "kivsdp : KisSdpResponseIrpCancelCallback()..\n");
    CKivSdp* pSdp = CKivSdp::FromDeviceObject(DeviceObject);
    pSdp->CancelQueuedIrp(pSdp->m_ResponseQueue, Irp, &pSdp->ResponsesDelivered,
                          &pSdp->PendingResponseListens);
}

VOID KivSdpStatusIrpCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CKivSdp* pSdp = CKivSdp::FromDeviceObject(DeviceObject);
    KIVSDP_PRINT(SDP_ZONE_STATUS_MASK,
                 "kivsdp : KisSdpStatusIrpCancelCallback() - Cancelling pIrp = 0x%x.. "
                 "(GetCurrentIrp = 0x%x)\n",
                 KivSdpLow32(Irp), KivSdpLow32(pSdp->m_StatusQueue.GetCurrentIrp()));
    pSdp->CancelQueuedIrp(pSdp->m_StatusQueue, Irp, &pSdp->StatusDelivered,
                          &pSdp->PendingStatusListens);
}

VOID CKivSdp::CancelQueuedIrp(CIrpQueue& Queue, PIRP Irp, ULONG* pFinished, ULONG* pPending)
{
    KivSdpCountUp(pFinished);
    KivSdpCountDown(pPending);
    Irp->IoStatus.Information = 0;
    if (Irp != Queue.GetCurrentIrp()) {
        (void)Queue.RemoveIrpFromQueue(Irp);
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return;
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Queue.CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------------------------------------
// Debug interface (PASSIVE_LEVEL)

NTSTATUS CKivSdp::IoctlGetDebugInfo(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    const ULONG OutLen = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (OutLen != KIVSDP_DEBUG_INFO_SIZE) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : IoctlGetDebugInfo() - Invalid parameters. Buffer size mismatch! "
                     "(got 0x%x. Req 0x%x)\n",
                     unsigned(OutLen), unsigned(KIVSDP_DEBUG_INFO_SIZE));
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->AssociatedIrp.SystemBuffer == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : IoctlGetDebugInfo() - Invalid parameters. pBuffer = NULL!!\n");
        return STATUS_INVALID_PARAMETER;
    }

    KIVSDP_DEBUG_INFO Info;
    // RecordList is 1 while the database holds a record, else 0. The list
    // pointer itself means nothing outside the driver (and no kernel address
    // leaves it); applications only test the field for zero to see whether
    // the database is empty.
    Info.RecordList = Database.RecordList != NULL ? 1 : 0;
    Info.DatabaseChangeCount = Database.DatabaseChangeCount;
    Info.NextRecordHandle = Database.NextRecordHandle;
    Info.OutstandingAllocations = Database.OutstandingAllocations;
    Info.TotalAllocations = Database.TotalAllocations;
    Info.IoctlCount = KivSdpCounter(&IoctlCount);
    Info.SendRequestCount = KivSdpCounter(&SendRequestCount);
    Info.RequestsPassedDown = KivSdpCounter(&RequestsPassedDown);
    Info.RequestsFinished = KivSdpCounter(&RequestsFinished);
    Info.ListenResponseCount = KivSdpCounter(&ListenResponseCount);
    Info.ResponsesDelivered = KivSdpCounter(&ResponsesDelivered);
    Info.ListenStatusCount = KivSdpCounter(&ListenStatusCount);
    Info.StatusDelivered = KivSdpCounter(&StatusDelivered);
    Info.ListenIrpsSent = KivSdpCounter(&ListenIrpsSent);
    Info.ListenIrpsCompleted = KivSdpCounter(&ListenIrpsCompleted);
    Info.ReadIrpsSent = KivSdpCounter(&ReadIrpsSent);
    Info.ReadIrpsCompleted = KivSdpCounter(&ReadIrpsCompleted);
    Info.ResponsesSent = KivSdpCounter(&ResponsesSent);
    Info.ResponsesCompleted = KivSdpCounter(&ResponsesCompleted);
    Info.PendingRequests = KivSdpCounter(&PendingRequests);
    Info.PendingResponseListens = KivSdpCounter(&PendingResponseListens);
    Info.PendingStatusListens = KivSdpCounter(&PendingStatusListens);
    memcpy(Irp->AssociatedIrp.SystemBuffer, &Info, sizeof(Info));
    Irp->IoStatus.Information = sizeof(Info);
    return STATUS_SUCCESS;
}

NTSTATUS CKivSdp::ResetDebugStuff()
{
    ULONG* Counters[] = {&IoctlCount,        &SendRequestCount,    &RequestsPassedDown,
                         &RequestsFinished,  &ListenResponseCount, &ResponsesDelivered,
                         &ListenStatusCount, &StatusDelivered};
    for (ULONG* pCounter : Counters)
        __atomic_store_n(pCounter, 0u, __ATOMIC_RELAXED);
    return STATUS_SUCCESS;
}

NTSTATUS CKivSdp::IoctlSetDebugZoneMask(PIRP Irp, PIO_STACK_LOCATION pStack)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : IoctlSetDebugZoneMask()..\n");
    const ULONG InLen = pStack->Parameters.DeviceIoControl.InputBufferLength;
    if (InLen != sizeof(ULONG) || Irp->AssociatedIrp.SystemBuffer == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK,
                     "kivsdp : IoctlSetDebugZoneMask() - Inbuf size 0x%x expected. Got 0x%x\n",
                     unsigned(sizeof(ULONG)), unsigned(InLen));
        return STATUS_INVALID_PARAMETER;
    }
    CByteReader In(static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer), InLen);
    const ULONG Mask = In.ReadLe32();
    KivSdpSetZoneMask(Mask);

    static const char* const ZoneNames[] = {"SDP_ZONE_INFO_MASK",     "SDP_ZONE_WARN_MASK",
                                            "SDP_ZONE_ERROR_MASK",    "SDP_ZONE_READ_WRITE_MASK",
                                            "SDP_ZONE_DATABASE_MASK", "SDP_ZONE_STATUS_MASK",
                                            "SDP_ZONE_SEARCH_MASK",   "SDP_ZONE_DUMP_MASK"};
    for (ULONG Bit = 0; Bit < 8; Bit++) {
        if (Mask & (1u << Bit))
            DbgPrint("kivsdp : IoctlSetDebugZoneMask() - %s enabled!!\n", ZoneNames[Bit]);
    }
    return STATUS_SUCCESS;
}
