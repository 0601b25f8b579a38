// Plug-and-play device of the driver framework: attaches to the device stack,
// follows the plug-and-play states, counts the IRPs inside the device so that
// removal can wait for them, stalls IRPs while the device is stopped or
// powering down, counts open handles and handles power IRPs.
#pragma once

#include "Device.h"
#include "IrpQueue.h"
#include "Thread.h"

class CWmi;

enum PNP_STATE : LONG {
    PnpStateNotStarted = 0,
    PnpStateStarted = 1,
    PnpStateStopPending = 2,
    PnpStateStopped = 3,
    PnpStateRemovePending = 4,
    PnpStateRemoved = 5,
    PnpStateSurpriseRemoved = 6,
    PnpStateStartFailed = 7,
};

// The record a power query's completion fills in for the waiting requester.
struct PowerQueryContext {
    PKEVENT pEvent;
    NTSTATUS Status;
};

// Every IRP that enters the device is counted once (IrpPrologue, or directly
// for close and cleanup) and uncounted once (CompleteIrp, or an explicit
// IrpCountDecrement after passing it down); an open handle holds one more
// count from its create to its close. m_RemoveEvent is signalled whenever the
// count falls back to 1. Plug-and-play IRPs arrive one at a time at
// PASSIVE_LEVEL; ordinary IRPs may run beside them.
class CPnpDevice : public CDevice {
public:
    CPnpDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
               const WCHAR* Name, ULONG DeviceType, PDEVICE_OBJECT* ppDeviceObject);
    ~CPnpDevice() override;

    VOID CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG Boost) override;

protected:
    VOID CleanupDeviceOnExit() override;

public:
    virtual NTSTATUS PnpSetupDeviceResources(PCM_RESOURCE_LIST Raw,
                                             PCM_RESOURCE_LIST Translated) = 0;
    // Unexpected is FALSE for a stop or an orderly remove, TRUE otherwise.
    virtual NTSTATUS PnpFreeDeviceResources(BOOLEAN Unexpected) = 0;
    virtual NTSTATUS AttachToStack(PDEVICE_OBJECT pTarget);
    virtual VOID DetachFromStack(PDEVICE_OBJECT pStackDeviceObject);
    virtual NTSTATUS RegisterDeviceInterface(const GUID* pGuid, PUNICODE_STRING Reference);
    virtual NTSTATUS EnableDeviceInterface();
    virtual NTSTATUS DisableDeviceInterface();
    // The handler then belongs to the caller.
    virtual VOID SetWmiHandler(CWmi* pWmi);

    // Power hooks and policy.
    virtual NTSTATUS SavePowerRegisters(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                        DEVICE_POWER_STATE DeviceState,
                                        SYSTEM_POWER_STATE SystemState);
    virtual NTSTATUS RestorePowerRegisters(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           DEVICE_POWER_STATE DeviceState,
                                           SYSTEM_POWER_STATE SystemState);
    virtual DEVICE_POWER_STATE GetDevicePowerState();
    virtual DEVICE_POWER_STATE GetDevicePowerStateFromSystemPowerState(SYSTEM_POWER_STATE State);
    virtual NTSTATUS SendSetPowerIrpToDevice(DEVICE_POWER_STATE State, PKEVENT pEvent);
    // Blocks: PASSIVE_LEVEL only.
    virtual NTSTATUS SendQueryAndSetPowerIrpToDevice(DEVICE_POWER_STATE State);
    virtual NTSTATUS OnPowerPowerSequence(PIRP Irp);
    virtual NTSTATUS OnPowerQueryPower(PIRP Irp);
    virtual NTSTATUS OnPowerSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS OnPowerWaitWake(PIRP Irp);
    virtual NTSTATUS OnPowerUnknownPowerIrp(PIRP Irp);

    // Plug-and-play handlers; each is entered with the IRP counted once.
    virtual NTSTATUS OnPnpStartDevice(PIRP Irp);
    virtual NTSTATUS OnPnpQueryRemoveDevice(PIRP Irp);
    virtual NTSTATUS OnPnpCancelRemoveDevice(PIRP Irp);
    virtual NTSTATUS OnPnpSurpriseRemoval(PIRP Irp);
    // STATUS_DELETE_PENDING tells PnpDispatch that a work item deletes the device.
    virtual NTSTATUS OnPnpRemoveDevice(PIRP Irp);
    virtual NTSTATUS OnPnpQueryStopDevice(PIRP Irp);
    virtual NTSTATUS OnPnpCancelStopDevice(PIRP Irp);
    virtual NTSTATUS OnPnpStopDevice(PIRP Irp);
    virtual NTSTATUS OnPnpQueryDeviceRelations(PIRP Irp);
    virtual NTSTATUS OnPnpQueryInterface(PIRP Irp);
    virtual NTSTATUS OnPnpQueryCapabilities(PIRP Irp);
    virtual NTSTATUS OnPnpQueryResources(PIRP Irp);
    virtual NTSTATUS OnPnpQueryResourceRequirements(PIRP Irp);
    virtual NTSTATUS OnPnpQueryDeviceText(PIRP Irp);
    virtual NTSTATUS OnPnpFilterResourceRequirements(PIRP Irp);
    virtual NTSTATUS OnPnpReadConfig(PIRP Irp);
    virtual NTSTATUS OnPnpWriteConfig(PIRP Irp);
    virtual NTSTATUS OnPnpEject(PIRP Irp);
    virtual NTSTATUS OnPnpSetLock(PIRP Irp);
    virtual NTSTATUS OnPnpQueryId(PIRP Irp);
    virtual NTSTATUS OnPnpQueryPnpDeviceState(PIRP Irp);
    virtual NTSTATUS OnPnpQueryBusInformation(PIRP Irp);
    virtual NTSTATUS OnPnpUnknownPnpIrp(PIRP Irp);

    // Cancels the current IRP and everything in the kernel device queue.
    virtual VOID CleanupQueue();
    // Counts the IRP, then asks AcceptIrps. FALSE: the caller returns
    // *pStatus at once (the IRP was refused and completed, or stalled).
    virtual BOOLEAN IrpPrologue(PIRP Irp, NTSTATUS* pStatus);
    // Wait = TRUE: the IRP comes back to the caller, who completes it.
    // Wait = FALSE: the IRP belongs to the lower driver. NULL target: the
    // device below.
    virtual NTSTATUS PassIrpDownStack(PIRP Irp, BOOLEAN Wait, PDEVICE_OBJECT pTarget);
    virtual BOOLEAN IrpsInHoldState();
    // Re-dispatches every stalled IRP through the driver's dispatch table.
    virtual VOID RestartStalledIrps();
    virtual NTSTATUS AcceptIrps(PIRP Irp);

    // Entry points installed by CPnpDriver.
    static NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static NTSTATUS PnpCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static NTSTATUS PnpCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static NTSTATUS PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID StalledIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID RemoveWorkItemCallback(PVOID WorkItemContext);
    static NTSTATUS PowerUpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    static VOID DefaultQueryPowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                                   POWER_STATE PowerState, PVOID Context,
                                                   PIO_STATUS_BLOCK IoStatus);
    static VOID DefaultPowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                              POWER_STATE PowerState, PVOID Context,
                                              PIO_STATUS_BLOCK IoStatus);

    // Power IRPs without a completion routine start the next power IRP and
    // drop their count here; with one, the routine owns both.
    NTSTATUS PassPowerIrpDownStack(PIRP Irp, PIO_COMPLETION_ROUTINE pCompletionRoutine,
                                   PVOID Context, PDEVICE_OBJECT pTarget);

    VOID IrpCountIncrement();
    VOID IrpCountDecrement();
    VOID MarkPnpStarted() { InterlockedExchange(&m_PnpStopped, 0); }
    VOID MarkPnpStopped() { InterlockedExchange(&m_PnpStopped, 1); }
    BOOLEAN IsPnpStopped() { return ReadFlag(&m_PnpStopped) != 0; }
    VOID MarkPnpStoppable();
    VOID MarkPnpNotStoppable() { InterlockedIncrement(&m_NotStoppableCount); }
    BOOLEAN IsPnpStoppable() { return ReadFlag(&m_NotStoppableCount) == 0; }
    VOID MarkPnpRemovable();
    VOID MarkPnpNotRemovable() { InterlockedIncrement(&m_NotRemovableCount); }
    BOOLEAN IsPnpRemovable() { return ReadFlag(&m_NotRemovableCount) == 0; }

    // Power bookkeeping; reads and writes are interlocked.
    NTSTATUS SetPowerSaveState(DEVICE_POWER_STATE State);
    NTSTATUS SetPowerRestoreState(DEVICE_POWER_STATE State);
    DEVICE_POWER_STATE GetPowerSaveState()
    {
        return DEVICE_POWER_STATE(ReadFlag(&m_PowerSaveState));
    }
    DEVICE_POWER_STATE GetPowerRestoreState()
    {
        return DEVICE_POWER_STATE(ReadFlag(&m_PowerRestoreState));
    }
    VOID SetRegistersSaved() { InterlockedExchange(&m_RegistersSaved, 1); }
    VOID SetRegistersNotSaved() { InterlockedExchange(&m_RegistersSaved, 0); }
    BOOLEAN RegistersSaved() { return ReadFlag(&m_RegistersSaved) != 0; }
    VOID AllowPowerDown() { InterlockedExchange(&m_PowerDownAllowed, 1); }
    BOOLEAN PowerDownAllowed() { return ReadFlag(&m_PowerDownAllowed) != 0; }
    VOID SetPoweringDown(BOOLEAN PoweringDown)
    {
        InterlockedExchange(&m_PoweringDown, PoweringDown ? 1 : 0);
    }
    BOOLEAN IsPoweringDown() { return ReadFlag(&m_PoweringDown) != 0; }

    LONG GetPnpState() { return ReadFlag(&m_PnpState); }
    PDEVICE_OBJECT GetStackDeviceObject() const { return m_pStackDeviceObject; }

    friend NTSTATUS NornPnpCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

protected:
    static LONG ReadFlag(volatile LONG* pFlag) { return InterlockedCompareExchange(pFlag, 0, 0); }
    NTSTATUS CompleteWithStatus(PIRP Irp, NTSTATUS Status);
    NTSTATUS PassDownAndUncount(PIRP Irp);
    // Shared by the removal handlers of the derived classes.
    NTSTATUS RemoveDevice(PIRP Irp, BOOLEAN PowerAndStalledIrps);
    // Start, cancel-remove and cancel-stop as this class and the thin filter
    // share them; ReplayStalled is FALSE for a device that stalls nothing, and
    // Who names the class in the messages. StartLowerThenSetup leaves the IRP
    // to the caller; the cancel handlers complete it.
    NTSTATUS StartLowerThenSetup(PIRP Irp, BOOLEAN* pLowerStarted);
    // Completes a start with Status; a failure is printed with FailureFormat.
    NTSTATUS CompleteStart(PIRP Irp, NTSTATUS Status, const char* FailureFormat);
    NTSTATUS CancelRemove(PIRP Irp, BOOLEAN ReplayStalled);
    NTSTATUS CancelStop(PIRP Irp, BOOLEAN ReplayStalled, const char* Who);

    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PDEVICE_OBJECT m_pStackDeviceObject;
    BOOLEAN m_AttachedToStack;
    LONG m_PnpState;
    KEVENT m_RemoveEvent;
    LONG m_IrpCount;
    LONG m_PnpStopped;
    LONG m_NotStoppableCount;
    LONG m_NotRemovableCount;
    BOOLEAN m_UsingDeviceInterface;
    CWmi* m_pWmi;
    CInterlockedQueue m_StalledIrps;
    BOOLEAN m_WmiHandlerSupplied;
    DEVICE_POWER_STATE m_DevicePowerState;
    SYSTEM_POWER_STATE m_SystemPowerState;
    LONG m_PowerRestoreState;
    LONG m_PowerSaveState;
    LONG m_PowerDownAllowed;
    LONG m_PoweringDown;
    LONG m_RegistersSaved;
    ULONG m_PowerDownWhenClosed;
    BOOLEAN m_PowerManaged;
    CThread* m_pWorkItemThread;
    BOOLEAN m_SurpriseRemovalOK;
};

NTSTATUS PnpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NornPnpCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
