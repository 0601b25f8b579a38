// Driver object of the framework for plug-and-play drivers.
#include "Driver.h"
#include "PnpDevice.h"
#include "Wmi.h"

#include <string.h>

CPnpDriver::CPnpDriver(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING RegistryPath)
    : CDriver(pDriverObject)
{
    if (pDriverObject == NULL) return;
    SetCallback(IRP_MJ_CREATE, CPnpDevice::PnpCreateFile);
    SetCallback(IRP_MJ_CLOSE, CPnpDevice::PnpCloseHandle);
    SetCallback(IRP_MJ_PNP, CPnpDevice::PnpDispatch);
    SetCallback(IRP_MJ_POWER, CPnpDevice::PowerDispatch);
    SetCallback(IRP_MJ_SYSTEM_CONTROL, CWmi::SystemControlDispatch);
    SetCallback(IRP_MJ_CLEANUP, NornPnpCleanup);
    SetCallback(CPnpDriver::DriverUnload);

    // Without the extension or its buffer the driver still loads: the entry
    // routine cannot tell, so the copy is simply absent (no extension) or an
    // empty string without buffer, and unload frees only what exists.
    PUNICODE_STRING pExtensionRegistryPath = NULL;
    NTSTATUS status = IoAllocateDriverObjectExtension(
        pDriverObject, PVOID(RegistryPathExtensionId), sizeof(UNICODE_STRING),
        reinterpret_cast<PVOID*>(&pExtensionRegistryPath));
    NORN_ASSERT(NT_SUCCESS(status));
    if (!NT_SUCCESS(status) || pExtensionRegistryPath == NULL) return;

    memset(pExtensionRegistryPath, 0, sizeof(UNICODE_STRING));
    USHORT length = RegistryPath != NULL ? RegistryPath->Length : 0;
    USHORT maximumLength = USHORT(length + sizeof(WCHAR));
    pExtensionRegistryPath->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, maximumLength, NORN_WDM_POOL_TAG));
    NORN_ASSERT(pExtensionRegistryPath->Buffer != NULL);
    if (pExtensionRegistryPath->Buffer == NULL) return;
    pExtensionRegistryPath->MaximumLength = maximumLength;
    pExtensionRegistryPath->Length = length;
    memset(pExtensionRegistryPath->Buffer, 0, maximumLength);
    if (length != 0) memcpy(pExtensionRegistryPath->Buffer, RegistryPath->Buffer, length);
}

PUNICODE_STRING CPnpDriver::GetDriverRegistryPath(PDRIVER_OBJECT pDriverObject)
{
    return static_cast<PUNICODE_STRING>(
        IoGetDriverObjectExtension(pDriverObject, PVOID(RegistryPathExtensionId)));
}
