// Thin filter device of the framework: a pass-through plug-and-play device.
#include "ThinFilterDevice.h"

CThinFilterDevice::CThinFilterDevice(PDRIVER_OBJECT pDriverObject,
                                     PDEVICE_OBJECT pPhysicalDeviceObject, const WCHAR* Name,
                                     ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject)
    : CPnpDevice(pDriverObject, pPhysicalDeviceObject, Name, DeviceType, ppDeviceObject)
{
    m_PowerManaged = FALSE;
}

NTSTATUS CThinFilterDevice::PnpSetupDeviceResources(PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    return STATUS_SUCCESS;
}

NTSTATUS CThinFilterDevice::PnpFreeDeviceResources(BOOLEAN)
{
    return STATUS_SUCCESS;
}

NTSTATUS CThinFilterDevice::OnPowerQueryPower(PIRP Irp)
{
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

NTSTATUS CThinFilterDevice::OnPowerSetPower(PDEVICE_OBJECT, PIRP Irp)
{
    return PassPowerIrpDownStack(Irp, NULL, NULL, NULL);
}

BOOLEAN CThinFilterDevice::IrpPrologue(PIRP, NTSTATUS* pStatus)
{
    IrpCountIncrement();
    *pStatus = STATUS_SUCCESS;
    return TRUE;
}

NTSTATUS CThinFilterDevice::OnPnpStartDevice(PIRP Irp)
{
    // A start of a device that is already running changes nothing here: its
    // resources were set up by the start that made it run, and setting them
    // up again would find the traffic of that start still under way. The
    // lower devices still see it and give the answer.
    if (ReadFlag(&m_PnpState) == PnpStateStarted) {
        return CompleteWithStatus(Irp, PassIrpDownStack(Irp, TRUE, NULL));
    }
    BOOLEAN lowerStarted = FALSE;
    NTSTATUS status = StartLowerThenSetup(Irp, &lowerStarted);
    if (!lowerStarted) {
        MarkPnpStopped();
        InterlockedExchange(&m_PnpState, PnpStateStartFailed);
        DbgPrint("CThinFilterDevice: IRP_MN_START_DEVICE lower device failed (0x%08X)\n",
                 unsigned(status));
    } else if (!NT_SUCCESS(status)) {
        DbgPrint("CThinFilterDevice: IRP_MN_START_DEVICE PnpSetupDeviceResources failed "
                 "(0x%08X)\n",
                 unsigned(status));
    }
    return CompleteStart(Irp, status, "CThinFilterDevice::OnPnpStartDevice return (0x%08X)\n");
}

NTSTATUS CThinFilterDevice::OnPnpSurpriseRemoval(PIRP Irp)
{
    m_PnpState = PnpStateSurpriseRemoved;
    CleanupQueue();
    return PassDownAndUncount(Irp);
}

NTSTATUS CThinFilterDevice::OnPnpRemoveDevice(PIRP Irp)
{
    return RemoveDevice(Irp, FALSE);
}

// Nothing stalls in a thin filter, so the cancels replay nothing.
NTSTATUS CThinFilterDevice::OnPnpCancelRemoveDevice(PIRP Irp)
{
    return CancelRemove(Irp, FALSE);
}

NTSTATUS CThinFilterDevice::OnPnpCancelStopDevice(PIRP Irp)
{
    return CancelStop(Irp, FALSE, "CThinFilterDevice");
}

NTSTATUS CThinFilterDevice::OnPnpStopDevice(PIRP Irp)
{
    return CPnpDevice::OnPnpStopDevice(Irp);
}

NTSTATUS CThinFilterDevice::OnPnpQueryCapabilities(PIRP Irp)
{
    return CPnpDevice::OnPnpQueryCapabilities(Irp);
}
