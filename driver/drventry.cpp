// Driver entry, AddDevice and unload of the SDP driver, the device creator,
// and the hooks that connect the platform-free core to the kernel.
#include "kivsdp.h"

#include "Driver.h"

#include <stdarg.h>
#include <stdio.h>

DBGPARAM dpCurSettings = {
    u"KIVSDP Driver",
    {u"", u"", u"", u"", u"", u"", u"", u"", u"Reserved", u"Reserved", u"Functions", u"Trace",
     u"Information", u"Init", u"Warnings", u"Errors"},
    SDP_ZONE_DEFAULT_MASK,
};

VOID KivSdpSetZoneMask(ULONG Mask)
{
    __atomic_store_n(&dpCurSettings.ulZoneMask, Mask, __ATOMIC_RELAXED);
    SdpSetZoneMask(Mask);
}

// The core gates its messages by zone itself; each call is one piece of a
// line (a dump prints per byte), so a short buffer holds it.
static void KivSdpCoreDebugPrint(void*, uint32_t, const char* Format, va_list Args)
{
    char Text[512];
    vsnprintf(Text, sizeof(Text), Format, Args);
    DbgPrint("%s", Text);
}

// Database nodes and values live in paged pool: the database is touched
// only at PASSIVE_LEVEL or under its fast mutex (APC_LEVEL).
static void* KivSdpCorePoolAllocate(void*, size_t NumberOfBytes, uint32_t Tag)
{
    return ExAllocatePoolWithTag(PagedPool, NumberOfBytes, Tag);
}

static void KivSdpCorePoolFree(void*, void* Block, uint32_t Tag)
{
    ExFreePoolWithTag(Block, Tag);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("kivsdp : ----------------------------------\n");
    DbgPrint("kivsdp :  DriverEntry..\n");

    // The mask starts over at every load.
    static const SDP_HOST_HOOKS Hooks = {NULL, KivSdpCoreDebugPrint, KivSdpCorePoolAllocate,
                                         KivSdpCorePoolFree};
    SdpSetHostHooks(&Hooks);
    KivSdpSetZoneMask(SDP_ZONE_DEFAULT_MASK);

    CPnpDriver* pDriver = new CPnpDriver(DriverObject, RegistryPath);
    if (pDriver == NULL) {
        KIVSDP_PRINT(SDP_ZONE_ERROR_MASK, "kivsdp :  DriverEntry() - Couldn't create CDriver\n");
        return STATUS_NO_MEMORY;
    }
    pDriver->SetCallback(IRP_MJ_DEVICE_CONTROL, KivSdpIoctlDispatch);
    pDriver->SetCallback(IRP_MJ_CLEANUP, KivSdpCleanupDispatch);
    pDriver->SetCallback(KivSdpUnload);
    pDriver->SetCallback(KivSdpAddDevice);
    // The object only fills the driver object; the registry path copy stays.
    delete pDriver;
    return STATUS_SUCCESS;
}

NTSTATUS KivSdpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : AddDevice..\n");

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG n = 0; n < KIVSDP_MAX_INSTANCES; n++) {
        WCHAR Name[] = u"KivSdp0";
        Name[6] = WCHAR(u'0' + n);
        CKivSdp* pDevice = NULL;
        PDEVICE_OBJECT pDeviceObject = NULL;
        status = CreateDevice(DriverObject, PhysicalDeviceObject, Name, KIVSDP_DEVICE_TYPE,
                              CPnpDriver::GetDriverRegistryPath(DriverObject), n, &pDevice,
                              &pDeviceObject, NULL, 0, FALSE, 0);
        if (NT_SUCCESS(status)) {
            pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
            KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : AddDevice, returning STATUS_SUCCESS\n");
            return STATUS_SUCCESS;
        }
        // A failed creation has already been undone (CreateDevice); usually
        // the name belongs to another SDP device, so try the next number.
        if (pDevice != NULL) delete pDevice;
    }
    KIVSDP_PRINT(SDP_ZONE_ERROR_MASK, "kivsdp : Failed to CreateDevice (0x%08x)\n",
                 unsigned(status));
    // The L2CAP device works on without an SDP device above it.
    KIVSDP_PRINT(SDP_ZONE_INFO_MASK, "kivsdp : AddDevice, returning STATUS_SUCCESS\n");
    return STATUS_SUCCESS;
}

NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                      const WCHAR* Name, ULONG DeviceType, PUNICODE_STRING RegistryPath,
                      ULONG Instance, CKivSdp** ppDevice, PDEVICE_OBJECT* ppDeviceObject,
                      PVOID Context, ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize)
{
    *ppDevice = NULL;
    *ppDeviceObject = NULL;
    try {
        CKivSdp* pDevice =
            new (DriverObject, Name, DeviceType, ppDeviceObject, Characteristics, Exclusive,
                 ExtraSize) CKivSdp(DriverObject, PhysicalDeviceObject, Name, DeviceType,
                                    RegistryPath, Instance, ppDeviceObject, Context);
        *ppDevice = pDevice;
        return STATUS_SUCCESS;
    } catch (const EXCEPTION_STATUS& e) {
        // Unwinding has run the destructors of the parts already built, the
        // last of which deleted the device object and cleared the out
        // pointer; anything still set here was never handed to a destructor.
        if (*ppDeviceObject != NULL && (*ppDeviceObject)->DeviceExtension != NULL) {
            CleanupFromCreateDevice(static_cast<CDevice*>((*ppDeviceObject)->DeviceExtension));
            *ppDeviceObject = NULL;
        }
        return e.Status;
    }
}

VOID KivSdpUnload(PDRIVER_OBJECT DriverObject)
{
    CPnpDriver::DriverUnload(DriverObject);
    DbgPrint("kivsdp : Driver unloaded..\n");
    DbgPrint("kivsdp : ----------------------------------\n");
}
