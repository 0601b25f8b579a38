// Pass-through plug-and-play device: starts the lower devices before itself,
// never holds or refuses ordinary IRPs and takes no part in power policy.
#pragma once

#include "PnpDevice.h"

class CThinFilterDevice : public CPnpDevice {
public:
    CThinFilterDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                      const WCHAR* Name, ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject);
    ~CThinFilterDevice() override {}

    NTSTATUS PnpSetupDeviceResources(PCM_RESOURCE_LIST Raw, PCM_RESOURCE_LIST Translated) override;
    NTSTATUS PnpFreeDeviceResources(BOOLEAN Unexpected) override;
    NTSTATUS OnPowerQueryPower(PIRP Irp) override;
    NTSTATUS OnPowerSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS OnPnpStartDevice(PIRP Irp) override;
    NTSTATUS OnPnpCancelRemoveDevice(PIRP Irp) override;
    NTSTATUS OnPnpSurpriseRemoval(PIRP Irp) override;
    NTSTATUS OnPnpRemoveDevice(PIRP Irp) override;
    NTSTATUS OnPnpCancelStopDevice(PIRP Irp) override;
    NTSTATUS OnPnpStopDevice(PIRP Irp) override;
    NTSTATUS OnPnpQueryCapabilities(PIRP Irp) override;
    // Counts the IRP and always accepts it.
    BOOLEAN IrpPrologue(PIRP Irp, NTSTATUS* pStatus) override;
};
