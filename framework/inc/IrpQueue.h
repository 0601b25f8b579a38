// IRP queues of the driver framework: CIrpQueue, a private StartIo queue with
// its own StartIo routine and current IRP, and CInterlockedQueue, a plain FIFO
// of IRPs under a spin lock.
#pragma once

#include "NornDebug.h"

typedef VOID NORN_STARTIO(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID NORN_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One IRP at a time is current and handed to the StartIo routine (always at
// DISPATCH_LEVEL); the others wait in arrival order and stay cancelable. Lives
// inside a framework device (zero-filled) and is configured once with
// SetStartIoRoutine before its first IRP. Lock order: the cancel spin lock,
// then the device queue's own lock. A cancel routine given to StartPacket is
// entered holding the cancel spin lock; for the current IRP it releases the
// lock and calls CompleteIrpAndStartNext, otherwise it calls
// RemoveIrpFromQueue, releases the lock and completes the IRP.
class CIrpQueue {
public:
    CIrpQueue();
    virtual ~CIrpQueue() {}

    VOID SetStartIoRoutine(NORN_STARTIO* StartIoRoutine, PDEVICE_OBJECT pDeviceObject)
    {
        m_StartIoRoutine = StartIoRoutine;
        m_pDeviceObject = pDeviceObject;
    }

    // Marks the IRP pending and queues it, or makes it current and calls the
    // StartIo routine before returning. The caller returns STATUS_PENDING.
    VOID StartPacket(PIRP Irp, NORN_CANCEL* CancelRoutine);
    VOID StartNextPacket();
    // The next IRP's StartIo call happens before this IRP is completed,
    // through the device's virtual CompleteIrp.
    VOID CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG Boost);
    VOID FlushQueue(PFILE_OBJECT pFileObject);
    BOOLEAN RemoveIrpFromQueue(PIRP Irp);
    PIRP GetCurrentIrp() const { return m_pCurrentIrp; }
    VOID ClearCurrentIrp() { m_pCurrentIrp = NULL; }

    static void operator delete(void* p);

private:
    NORN_STARTIO* m_StartIoRoutine;
    PDEVICE_OBJECT m_pDeviceObject;
    KDEVICE_QUEUE m_DeviceQueue;
    PIRP m_pCurrentIrp;
};

// FIFO of IRPs linked through Tail.Overlay.ListEntry. Enqueue and Dequeue are
// safe up to DISPATCH_LEVEL; RemoveEntry relies on the caller's serialisation.
class CInterlockedQueue {
public:
    CInterlockedQueue();

    // Returns the IRP that was last before the insertion, or NULL.
    PIRP Enqueue(PIRP pIrp);
    // Stores the removed IRP (or NULL) in *ppIrp and returns it.
    PIRP Dequeue(PIRP* ppIrp);
    VOID RemoveEntry(PIRP pIrp);

private:
    LIST_ENTRY m_ListHead;
    KSPIN_LOCK m_ListLock;
};
