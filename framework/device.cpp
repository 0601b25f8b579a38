// Device object of the framework: creation with the kernel object, names and
// links, completion, and the operations on the kernel device queue.
#include "Device.h"
#include "IrpQueue.h"

#include <string.h>

CBaseDevice::~CBaseDevice()
{
    DeleteDevice();
}

void CBaseDevice::DeleteDevice()
{
    if (m_pDeviceObject != NULL) {
        PDEVICE_OBJECT pDeviceObject = m_pDeviceObject;
        m_pDeviceObject = NULL;
        IoDeleteDevice(pDeviceObject);
    }
}

void* CDevice::operator new(size_t Size, PDRIVER_OBJECT pDriverObject, const WCHAR* Name,
                            ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject, ULONG Characteristics,
                            BOOLEAN Exclusive, ULONG ExtraSize)
{
    CString* pFullName = new CString(u"\\Device\\");
    if (pFullName != NULL) *pFullName += CString(Name);
    ULONG extensionSize = ULONG(Size) + ExtraSize;
    PUNICODE_STRING pName = NULL;
    if (Name != NULL && pFullName != NULL) pName = *pFullName;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    *ppDeviceObject = NULL;
    // A name that could not be built must not turn into an unnamed device.
    if (Name == NULL || pFullName != NULL) {
        status = IoCreateDevice(pDriverObject, extensionSize, pName, DeviceType, Characteristics,
                                Exclusive, ppDeviceObject);
    }
    if (!NT_SUCCESS(status)) {
        // %ws prints the wide name as the kernel's %lS does (the runtime's
        // formatter reads %lS as a narrow string); the printf checker knows
        // neither.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-overflow"
#endif
        DbgPrint("Norn:CDevice::operator new ***IoCreateDevice failed, status(0x%X), name(%ws)\n",
                 unsigned(status), Name);
#pragma GCC diagnostic pop
        delete pFullName;
        *ppDeviceObject = NULL;
        ExRaiseStatus(status);
    }
    memset((*ppDeviceObject)->DeviceExtension, 0, extensionSize);
    delete pFullName;
    return (*ppDeviceObject)->DeviceExtension;
}

void CDevice::operator delete(void*, PDRIVER_OBJECT, const WCHAR*, ULONG,
                              PDEVICE_OBJECT* ppDeviceObject, ULONG, BOOLEAN, ULONG)
{
    // ~CBaseDevice has deleted the DEVICE_OBJECT while the raise unwound the
    // constructors; the creator must not find it again.
    if (ppDeviceObject != NULL) *ppDeviceObject = NULL;
}

CDevice::CDevice(PDRIVER_OBJECT pDriverObject, const WCHAR* Name, ULONG DeviceType,
                 PDEVICE_OBJECT* ppDeviceObject)
{
    NORN_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    m_OpenHandleCount = 0;
    m_OpenedExclusive = FALSE;
    m_pInterrupt = NULL;
    m_SpinLockIrql = PASSIVE_LEVEL;
    m_pDriverObject = pDriverObject;
    m_pDeviceObject = *ppDeviceObject;
    m_DeviceType = DeviceType;
    m_DeviceName = CString(Name);
    m_DeviceName.ConvertToNonPagedPool();
    m_pOwnedObject1 = NULL;
    m_pOwnedObject2 = NULL;
    m_pOwnedObject3 = NULL;
    m_pDeviceObject->Flags |= DO_DIRECT_IO;
    KeInitializeSpinLock(&m_SpinLock);
}

CDevice::~CDevice()
{
    CDevice::CleanupDeviceOnExit();
    // The strings go in reverse order of declaration, then ~CBaseDevice
    // deletes the DEVICE_OBJECT.
}

void CleanupFromCreateDevice(CDevice* pDevice)
{
    if (pDevice == NULL) return;
    pDevice->CleanupDeviceOnExit();
    // Give the strings back now: the memory they live in goes with the device.
    pDevice->m_DeviceName.~CString();
    pDevice->m_Win32Name.~CString();
    pDevice->m_ReservedName.~CString();
    pDevice->DeleteDevice();
}

VOID CDevice::ThrowStatusExceptionFromConstructor(NTSTATUS Status, const char* Message)
{
    if (Message != NULL) {
        DbgPrint("%s", Message);
        DbgPrint(" (0x%X)\n", unsigned(Status));
    }
    ExRaiseStatus(Status);
}

NTSTATUS CDevice::CreateWin32Name(const CString& Name)
{
    NORN_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    m_Win32Name = Concatenate(CString(u"\\DosDevices\\"), Name);
    m_Win32Name.ConvertToNonPagedPool();
    CString target = Concatenate(CString(u"\\Device\\"), m_DeviceName);
    return IoCreateSymbolicLink(m_Win32Name, target);
}

VOID CDevice::CleanupDeviceOnExit()
{
    if (!m_Win32Name.IsEmpty()) {
        (void)IoDeleteSymbolicLink(m_Win32Name);
        m_Win32Name = CString(u"");
    }
    DisconnectInterrupt();
    if (m_pOwnedObject2 != NULL) {
        delete m_pOwnedObject2;
        m_pOwnedObject2 = NULL;
    }
    if (m_pOwnedObject1 != NULL) {
        delete m_pOwnedObject1;
        m_pOwnedObject1 = NULL;
    }
    if (m_pOwnedObject3 != NULL) {
        delete m_pOwnedObject3;
        m_pOwnedObject3 = NULL;
    }
}

VOID CDevice::DisconnectInterrupt()
{
    if (m_pInterrupt != NULL) {
        IoDisconnectInterrupt(m_pInterrupt);
        m_pInterrupt = NULL;
    }
}

VOID CDevice::CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG Boost)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, CCHAR(Boost));
}

VOID CDevice::StartNextPacket()
{
    NORN_ASSERT(m_pDriverObject->DriverStartIo != NULL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (m_pDeviceObject->DeviceQueue.Busy) {
        IoReleaseCancelSpinLock(irql);
        IoStartNextPacket(m_pDeviceObject, TRUE);
    } else {
        IoReleaseCancelSpinLock(irql);
    }
}

VOID CDevice::CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG Boost)
{
    NORN_ASSERT(m_pDriverObject->DriverStartIo != NULL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->IoStatus.Status = Status;
    m_pDeviceObject->CurrentIrp = NULL;
    if (m_pDeviceObject->DeviceQueue.Busy) {
        IoReleaseCancelSpinLock(irql);
        IoStartNextPacket(m_pDeviceObject, TRUE);
    } else {
        IoReleaseCancelSpinLock(irql);
    }
    CompleteIrp(Irp, Status, Boost);
}

BOOLEAN CDevice::CheckIrpCanceled(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp == NULL || Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return TRUE;
    }
    (void)IoSetCancelRoutine(Irp, NULL);
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

PIRP GetIrpFromHead(PKDEVICE_QUEUE Queue)
{
    PKDEVICE_QUEUE_ENTRY pEntry = GetIrpFromHead(Queue, static_cast<PKDEVICE_QUEUE_ENTRY*>(NULL));
    return pEntry != NULL ? CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.DeviceQueueEntry) : NULL;
}

PKDEVICE_QUEUE_ENTRY GetIrpFromHead(PKDEVICE_QUEUE Queue, PKDEVICE_QUEUE_ENTRY* ppEntry)
{
    PKDEVICE_QUEUE_ENTRY pEntry = NULL;
    if (Queue->DeviceListHead.Flink != &Queue->DeviceListHead) {
        PLIST_ENTRY pLink = RemoveHeadList(&Queue->DeviceListHead);
        pEntry = CONTAINING_RECORD(pLink, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        pEntry->Inserted = FALSE;
    }
    if (ppEntry != NULL) *ppEntry = pEntry;
    return pEntry;
}

VOID PutIrpAtTail(PKDEVICE_QUEUE Queue, PIRP Irp)
{
    InsertTailList(&Queue->DeviceListHead, &Irp->Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
    Irp->Tail.Overlay.DeviceQueueEntry.Inserted = TRUE;
    Queue->Busy = TRUE;
}

// Cancels the IRPs of one file object (all for NULL) in a device queue and
// the queue's current IRP. Shared by CDevice (the kernel device queue) and
// CIrpQueue (a private one). The order of the IRPs that stay is kept.
VOID FlushDeviceQueue(PKDEVICE_QUEUE pQueue, PIRP* ppCurrentIrp, PDEVICE_OBJECT pDeviceObject,
                      CDevice* pDevice, PFILE_OBJECT pFileObject)
{
    KDEVICE_QUEUE keep;
    KDEVICE_QUEUE cancel;
    KeInitializeDeviceQueue(&keep);
    KeInitializeDeviceQueue(&cancel);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Lock order: the cancel spin lock, then the device queue's own lock.
    KeAcquireSpinLockAtDpcLevel(&pQueue->Lock);

    if (pQueue->Busy) {
        PKDEVICE_QUEUE_ENTRY pEntry;
        while (GetIrpFromHead(pQueue, &pEntry) != NULL) {
            PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.DeviceQueueEntry);
            PFILE_OBJECT pIrpFile = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
            PKDEVICE_QUEUE pTarget =
                (pFileObject == NULL || pIrpFile == pFileObject) ? &cancel : &keep;
            // An idle queue only turns busy on the first insert: insert again to link.
            if (!KeInsertDeviceQueue(pTarget, pEntry)) (void)KeInsertDeviceQueue(pTarget, pEntry);
        }
        while (keep.Busy) {
            PKDEVICE_QUEUE_ENTRY pKept = KeRemoveDeviceQueue(&keep);
            if (pKept == NULL) break;
            PutIrpAtTail(pQueue, CONTAINING_RECORD(pKept, IRP, Tail.Overlay.DeviceQueueEntry));
        }
        // Busy stays set: the current IRP still occupies the device.
    }

    PIRP pCurrentIrp = NornReadCurrentIrp(ppCurrentIrp);
    if (pCurrentIrp != NULL &&
        (pFileObject == NULL ||
         IoGetCurrentIrpStackLocation(pCurrentIrp)->FileObject == pFileObject)) {
        // IoCancelIrp's store: a completion walk may read the flag without the lock.
        __atomic_store_n(&pCurrentIrp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);
        PDRIVER_CANCEL pCancelRoutine = IoSetCancelRoutine(pCurrentIrp, NULL);
        if (pCancelRoutine != NULL) {
            pCurrentIrp->CancelIrql = irql;
            KeReleaseSpinLockFromDpcLevel(&pQueue->Lock);
            // The cancel routine releases the cancel spin lock.
            pCancelRoutine(pDeviceObject, pCurrentIrp);
            IoAcquireCancelSpinLock(&irql);
            KeAcquireSpinLockAtDpcLevel(&pQueue->Lock);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&pQueue->Lock);

    while (cancel.Busy) {
        PKDEVICE_QUEUE_ENTRY pEntry = KeRemoveDeviceQueue(&cancel);
        if (pEntry == NULL) break;
        PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.DeviceQueueEntry);
        PDRIVER_CANCEL pCancelRoutine = IoSetCancelRoutine(pIrp, NULL);
        if (pCancelRoutine != NULL) {
            __atomic_store_n(&pIrp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);
            pIrp->CancelIrql = irql;
            pCancelRoutine(pDeviceObject, pIrp);
        } else {
            pIrp->IoStatus.Information = 0;
            IoReleaseCancelSpinLock(irql);
            pDevice->CompleteIrp(pIrp, STATUS_CANCELLED, IO_NO_INCREMENT);
        }
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}

VOID CDevice::FlushQueue(PFILE_OBJECT pFileObject)
{
    FlushDeviceQueue(&m_pDeviceObject->DeviceQueue, &m_pDeviceObject->CurrentIrp, m_pDeviceObject,
                     this, pFileObject);
}
