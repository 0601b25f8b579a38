// Driver object of the framework for devices without plug and play, and the
// framework's default create, close, cleanup and unload routines.
#include "Driver.h"
#include "Device.h"

#include <string.h>

void* CDriver::operator new(size_t Size) noexcept
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    void* p = ExAllocatePoolWithTag(PagedPool, Size, NORN_POOL_TAG);
    if (p == NULL) {
        DbgPrint("Norn:CDriver::operator new ***ExAllocatePoolWithTag(PagedPool, failed\n");
        return NULL;
    }
    memset(p, 0, Size);
    return p;
}

void CDriver::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}

CDriver::CDriver(PDRIVER_OBJECT pDriverObject)
{
    NORN_ASSERT(pDriverObject != NULL);
    m_pDriverObject = pDriverObject;
    if (pDriverObject == NULL) return;
    SetCallback(NornDriverUnload);
    SetCallback(IRP_MJ_CREATE, NornCreateFile);
    SetCallback(IRP_MJ_CLOSE, NornCloseHandle);
    SetCallback(IRP_MJ_CLEANUP, NornCleanup);
}

void CDriver::SetCallback(NORN_UNLOAD* Routine)
{
    m_pDriverObject->DriverUnload = Routine;
}

void CDriver::SetCallback(ULONG MajorCode, NORN_DISPATCH* Routine)
{
    if (!(MajorCode <= IRP_MJ_MAXIMUM_FUNCTION)) {
        RtlAssert((PVOID) "MajorCode <= IRP_MJ_MAXIMUM_FUNCTION", (PVOID)__FILE_NAME__, __LINE__,
                  NULL);
        return; // no such entry: nothing is written
    }
    m_pDriverObject->MajorFunction[MajorCode] = Routine;
}

void CDriver::SetCallback(NORN_ADD_DEVICE* Routine)
{
    m_pDriverObject->DriverExtension->AddDevice = Routine;
}

// Deletes every framework device of the driver. Destroying a device deletes
// its DEVICE_OBJECT, which unlinks it from the driver's list.
static void DeleteAllDevices(PDRIVER_OBJECT DriverObject)
{
    for (;;) {
        PDEVICE_OBJECT pDeviceObject = DriverObject->DeviceObject;
        if (pDeviceObject == NULL || pDeviceObject->DeviceExtension == NULL) break;
        delete static_cast<CBaseDevice*>(pDeviceObject->DeviceExtension);
    }
}

VOID CPnpDriver::DriverUnload(PDRIVER_OBJECT pDriverObject)
{
    DbgPrint("Norn:  CPnpDriver::DriverUnload\n");
    DeleteAllDevices(pDriverObject);
    PUNICODE_STRING pRegistryPath = GetDriverRegistryPath(pDriverObject);
    if (pRegistryPath != NULL && pRegistryPath->Buffer != NULL) {
        ExFreePool(pRegistryPath->Buffer);
        pRegistryPath->Buffer = NULL;
        pRegistryPath->Length = 0;
        pRegistryPath->MaximumLength = 0;
    }
}

VOID NornDriverUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("Norn:  NornDriverUnload\n");
    DeleteAllDevices(DriverObject);
}

static CDevice* DeviceOf(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != NULL ? static_cast<CDevice*>(DeviceObject->DeviceExtension) : NULL;
}

NTSTATUS NornCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CDevice* pDevice = DeviceOf(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    pDevice->AcquireSpinLock();
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.ShareAccess != 0) {
        if (pDevice->m_OpenedExclusive) status = STATUS_SHARING_VIOLATION;
    } else if (ULONG(pDevice->m_OpenHandleCount) > 0) {
        status = STATUS_SHARING_VIOLATION;
    } else {
        pDevice->m_OpenedExclusive = TRUE;
    }
    if (NT_SUCCESS(status)) pDevice->m_OpenHandleCount++;
    pDevice->ReleaseSpinLock();
    pDevice->CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NornCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CDevice* pDevice = DeviceOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    pDevice->AcquireSpinLock();
    pDevice->m_OpenHandleCount--;
    pDevice->m_OpenedExclusive = FALSE;
    pDevice->ReleaseSpinLock();
    pDevice->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NornCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CDevice* pDevice = DeviceOf(DeviceObject);
    pDevice->FlushQueue(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    Irp->IoStatus.Information = 0;
    pDevice->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
