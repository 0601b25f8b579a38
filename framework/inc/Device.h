// Device object classes of the framework. A framework device is one kernel
// DEVICE_OBJECT whose extension holds the C++ object; the class operator new
// creates both at once and deleting the object deletes the DEVICE_OBJECT.
#pragma once

#include "CString.h"

// Base of the objects a device may own in its three owned-object slots.
class CNornObject {
public:
    virtual ~CNornObject() {}
};

class CBaseDevice {
public:
    virtual ~CBaseDevice();
    // IoDeleteDevice: frees the memory this object lives in.
    void DeleteDevice();

protected:
    CBaseDevice() : m_pDeviceObject(NULL) {}
    PDEVICE_OBJECT m_pDeviceObject;
};

class CDevice : public CBaseDevice {
public:
    // Creates the DEVICE_OBJECT ("\Device\" + Name, unnamed when Name is NULL)
    // with a zeroed extension of Size + ExtraSize bytes and returns the
    // extension as the object's memory. A failure is raised (ExRaiseStatus).
    static void* operator new(size_t Size, PDRIVER_OBJECT pDriverObject, const WCHAR* Name,
                              ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject,
                              ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize);
    // Called by the language when a constructor raises: the destructors of
    // the parts already built have run and the last of them deleted the
    // DEVICE_OBJECT, so the creator's out pointer is cleared here and the
    // creator has nothing left to undo.
    static void operator delete(void* p, PDRIVER_OBJECT pDriverObject, const WCHAR* Name,
                                ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject,
                                ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize);
    // The memory belongs to the DEVICE_OBJECT: nothing to free.
    static void operator delete(void*) {}

    CDevice(PDRIVER_OBJECT pDriverObject, const WCHAR* Name, ULONG DeviceType,
            PDEVICE_OBJECT* ppDeviceObject);
    ~CDevice() override;

    virtual VOID CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG Boost);
    virtual VOID CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG Boost);
    virtual VOID StartNextPacket();

protected:
    virtual VOID CleanupDeviceOnExit();

public:
    // PASSIVE_LEVEL. "\DosDevices\" + Name becomes a link to the device; the
    // link name stays in m_Win32Name even when IoCreateSymbolicLink fails.
    [[nodiscard]] NTSTATUS CreateWin32Name(const CString& Name);
    VOID DisconnectInterrupt();

    // TRUE for NULL or a cancelled IRP; otherwise the cancel routine is taken
    // away and the caller owns the IRP.
    BOOLEAN CheckIrpCanceled(PIRP Irp);
    // Cancels the IRPs of one file object (all for NULL) in the kernel device
    // queue and the current IRP, keeping the others in order. Takes the cancel
    // spin lock, then the device queue's lock; calls no completion under either.
    VOID FlushQueue(PFILE_OBJECT pFileObject);
    VOID SetCurrentIrp(PIRP Irp) { m_pDeviceObject->CurrentIrp = Irp; }

    VOID AcquireSpinLock() { KeAcquireSpinLock(&m_SpinLock, &m_SpinLockIrql); }
    VOID ReleaseSpinLock() { KeReleaseSpinLock(&m_SpinLock, m_SpinLockIrql); }
    VOID AcquireSpinLockAtDpc() { KeAcquireSpinLockAtDpcLevel(&m_SpinLock); }
    VOID ReleaseSpinLockFromDpc() { KeReleaseSpinLockFromDpcLevel(&m_SpinLock); }

    PDEVICE_OBJECT GetDeviceObject() const { return m_pDeviceObject; }

    friend VOID CleanupFromCreateDevice(CDevice* pDevice);
    friend NTSTATUS NornCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    friend NTSTATUS NornCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp);

protected:
    // Prints Message (if any) and the status, then raises the status.
    [[noreturn]] static VOID ThrowStatusExceptionFromConstructor(NTSTATUS Status,
                                                                 const char* Message);

    LONG m_OpenHandleCount;
    BOOLEAN m_OpenedExclusive;
    PDRIVER_OBJECT m_pDriverObject;
    ULONG m_DeviceType;
    CString m_DeviceName;
    CString m_Win32Name;
    // Hooks for objects the device owns; deleted at cleanup when present.
    CNornObject* m_pOwnedObject1;
    CNornObject* m_pOwnedObject2;
    CNornObject* m_pOwnedObject3;
    PKINTERRUPT m_pInterrupt;
    CString m_ReservedName;
    KSPIN_LOCK m_SpinLock;
    KIRQL m_SpinLockIrql;
};

// Undoes a device that is still alive but must not be kept: its cleanup, its
// strings, then the DEVICE_OBJECT. NULL is ignored.
VOID CleanupFromCreateDevice(CDevice* pDevice);

// List operations for a device queue whose lock the caller holds.
// GetIrpFromHead unlinks the first entry and clears its Inserted flag; the
// second form hands back the entry itself. Both return NULL for an empty list.
PIRP GetIrpFromHead(PKDEVICE_QUEUE Queue);
PKDEVICE_QUEUE_ENTRY GetIrpFromHead(PKDEVICE_QUEUE Queue, PKDEVICE_QUEUE_ENTRY* ppEntry);
VOID PutIrpAtTail(PKDEVICE_QUEUE Queue, PIRP Irp);

// Cancels the IRPs of one file object (all for NULL) waiting in pQueue and the
// current IRP *ppCurrentIrp (read under the cancel spin lock, left in place).
// Cancel routines get pDeviceObject; IRPs without one are completed with
// STATUS_CANCELLED through pDevice->CompleteIrp outside every lock.
VOID FlushDeviceQueue(PKDEVICE_QUEUE pQueue, PIRP* ppCurrentIrp, PDEVICE_OBJECT pDeviceObject,
                      CDevice* pDevice, PFILE_OBJECT pFileObject);
