// Private StartIo queue of the driver framework.
#include "IrpQueue.h"
#include "Device.h"

CIrpQueue::CIrpQueue()
{
    m_StartIoRoutine = NULL;
    m_pDeviceObject = NULL;
    KeInitializeDeviceQueue(&m_DeviceQueue);
    NornSetCurrentIrp(&m_pCurrentIrp, NULL);
}

void CIrpQueue::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}

VOID CIrpQueue::StartPacket(PIRP Irp, NORN_CANCEL* CancelRoutine)
{
    // Marked before it becomes cancellable: once the cancel routine is set,
    // another processor may complete the IRP.
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);

    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    // As in IoStartPacket, the cancel routine, the insertion and the new
    // current IRP change together under the cancel spin lock: a cancel
    // routine always finds the IRP either waiting or current, and the queue's
    // Busy flag only changes under that lock.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    (void)IoSetCancelRoutine(Irp, CancelRoutine);
    if (KeInsertDeviceQueue(&m_DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(irql);
    } else {
        // The queue was idle: the kernel marked it busy and linked nothing.
        NornSetCurrentIrp(&m_pCurrentIrp, Irp);
        IoReleaseCancelSpinLock(irql);
        m_StartIoRoutine(m_pDeviceObject, Irp);
    }
    KeLowerIrql(oldIrql);
}

// Steps 2 and 3 of starting the next IRP; entered holding the cancel spin
// lock, which it releases before calling the StartIo routine.
static VOID StartNextWaiting(PKDEVICE_QUEUE pQueue, PIRP* ppCurrentIrp, NORN_STARTIO* StartIo,
                             PDEVICE_OBJECT pDeviceObject, KIRQL CancelIrql)
{
    if (!pQueue->Busy) {
        IoReleaseCancelSpinLock(CancelIrql);
        return;
    }
    PKDEVICE_QUEUE_ENTRY pEntry = KeRemoveDeviceQueue(pQueue);
    if (pEntry == NULL) {
        NornSetCurrentIrp(ppCurrentIrp, NULL);
        IoReleaseCancelSpinLock(CancelIrql);
        return;
    }
    PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.DeviceQueueEntry);
    NornSetCurrentIrp(ppCurrentIrp, pIrp);
    IoReleaseCancelSpinLock(CancelIrql);
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    StartIo(pDeviceObject, pIrp);
    KeLowerIrql(oldIrql);
}

VOID CIrpQueue::StartNextPacket()
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    NornSetCurrentIrp(&m_pCurrentIrp, NULL);
    StartNextWaiting(&m_DeviceQueue, &m_pCurrentIrp, m_StartIoRoutine, m_pDeviceObject, irql);
}

VOID CIrpQueue::CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG Boost)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    NornSetCurrentIrp(&m_pCurrentIrp, NULL);
    Irp->IoStatus.Status = Status;
    StartNextWaiting(&m_DeviceQueue, &m_pCurrentIrp, m_StartIoRoutine, m_pDeviceObject, irql);
    static_cast<CDevice*>(m_pDeviceObject->DeviceExtension)->CompleteIrp(Irp, Status, Boost);
}

VOID CIrpQueue::FlushQueue(PFILE_OBJECT pFileObject)
{
    FlushDeviceQueue(&m_DeviceQueue, &m_pCurrentIrp, m_pDeviceObject,
                     static_cast<CDevice*>(m_pDeviceObject->DeviceExtension), pFileObject);
}

BOOLEAN CIrpQueue::RemoveIrpFromQueue(PIRP Irp)
{
    return KeRemoveEntryDeviceQueue(&m_DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
}
