// WMI handler of a plug-and-play device. The system has no WMI data blocks of
// its own: every system-control request is forwarded to the lower driver.
#pragma once

#include "PnpDevice.h"

class CWmi {
public:
    CWmi() {}
    virtual ~CWmi() {}

    // The IRP_MJ_SYSTEM_CONTROL entry point: the device's prologue decides
    // whether to go on; an accepted request goes down unchanged and leaves
    // the device's IRP count as it found it.
    static NTSTATUS SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        CPnpDevice* pDevice =
            DeviceObject != NULL ? static_cast<CPnpDevice*>(DeviceObject->DeviceExtension) : NULL;
        NTSTATUS status = STATUS_PENDING;
        PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(Irp);
        NORN_ASSERT(pIrpStack->MajorFunction == IRP_MJ_SYSTEM_CONTROL);
        if (pDevice == NULL) {
            // No framework device to ask: refuse rather than lose the IRP.
            Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (!pDevice->IrpPrologue(Irp, &status)) return status;
        status = pDevice->PassIrpDownStack(Irp, FALSE, NULL);
        pDevice->IrpCountDecrement();
        return status;
    }

    // Zero-filled paged pool ("Norn"); NULL skips the constructor.
    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);
};
