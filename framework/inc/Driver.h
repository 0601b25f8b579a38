// Driver object classes of the framework: they fill the kernel DRIVER_OBJECT
// with the framework's dispatch, unload and AddDevice routines.
#pragma once

#include "NornDebug.h"

typedef NTSTATUS NORN_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID NORN_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef NTSTATUS NORN_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Configures a driver whose devices know nothing of plug and play. The object
// is a short-lived configurator: the routines it writes stay in the
// DRIVER_OBJECT after it is deleted. PASSIVE_LEVEL.
class CDriver {
public:
    explicit CDriver(PDRIVER_OBJECT pDriverObject);
    virtual ~CDriver() {}

    void SetCallback(NORN_UNLOAD* Routine);
    // A major code above IRP_MJ_MAXIMUM_FUNCTION has no entry: it is reported
    // and nothing is written.
    void SetCallback(ULONG MajorCode, NORN_DISPATCH* Routine);
    void SetCallback(NORN_ADD_DEVICE* Routine);

    // Zero-filled paged pool ("Norn"); NULL when the pool is exhausted, so the
    // new expression yields NULL and no constructor runs.
    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);

protected:
    PDRIVER_OBJECT m_pDriverObject;
};

// Adds plug and play, power and system control, and keeps a copy of the
// registry path in a driver object extension until DriverUnload frees it.
class CPnpDriver : public CDriver {
public:
    CPnpDriver(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING RegistryPath);
    ~CPnpDriver() override {}

    // The copy, or NULL when the extension could not be made at load time.
    static PUNICODE_STRING GetDriverRegistryPath(PDRIVER_OBJECT pDriverObject);
    // Deletes every framework device still present, then frees the path copy.
    static VOID DriverUnload(PDRIVER_OBJECT pDriverObject);
};

constexpr ULONG_PTR RegistryPathExtensionId = 0xFAFA;

// Default routines for a CDevice without plug and play.
VOID NornDriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NornCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NornCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NornCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
