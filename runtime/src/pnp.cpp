// Plug and Play and power managers: the root bus and its PDOs, driver loading and unloading,
// the PnP sequences Windows sends to the top of a stack, power IRPs and power states.
#include "internal.h"

#include <cstring>
#include <set>

struct kivrt::DEVNODE {
    enum class STATE { Added, Started, Stopped, SurpriseRemoved, Removed };
    std::u16string InstancePath;
    PDEVICE_OBJECT Pdo = nullptr;
    std::vector<PDRIVER_OBJECT> Drivers;    // function driver, then upper filters
    std::atomic<STATE> State{STATE::Added}; // read by application threads opening devices
    std::atomic<bool> InSurprise{false};
    std::mutex Serial; // one PnP or power request per stack at a time
    PDO_HOOK Hook;
};

namespace {

struct PNP_STATE {
    std::mutex M;
    PDRIVER_OBJECT Root = nullptr;
    std::set<kivrt::DEVNODE*> Nodes;
    std::set<PDRIVER_OBJECT> Candidates; // drivers to unload once their last device is gone
    unsigned NextPdo = 0;
    int Busy = 0; // PnP operations in progress: no unload may run meanwhile
};

PNP_STATE& Pnp()
{
    static PNP_STATE* S = new PNP_STATE;
    return *S;
}

std::mutex& UnloadLock()
{
    static std::mutex* M = new std::mutex;
    return *M;
}

kivrt::DEVNODE* NodeOf(PDEVICE_OBJECT Dev)
{
    std::lock_guard<std::mutex> G(ObLock());
    while (Dev->DeviceObjectExtension->AttachedTo != nullptr)
        Dev = Dev->DeviceObjectExtension->AttachedTo;
    return Dev->DeviceObjectExtension->Node;
}

class CPnpBusy {
public:
    CPnpBusy()
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        Pnp().Busy++;
    }
    ~CPnpBusy()
    {
        {
            std::lock_guard<std::mutex> G(Pnp().M);
            Pnp().Busy--;
        }
        PnpCheckUnloads();
    }
};

bool RootHook(PDEVICE_OBJECT Pdo, PIRP Irp, NTSTATUS* Status)
{
    kivrt::DEVNODE* Node = Pdo->DeviceObjectExtension->Node;
    return Node != nullptr && Node->Hook && Node->Hook(Pdo, Irp, Status);
}

// The root bus completes what reaches its PDOs itself, at once.
NTSTATUS RootComplete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS RootDispatchPnp(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    NTSTATUS Status;
    if (RootHook(Pdo, Irp, &Status)) return Status;
    PIO_STACK_LOCATION Loc = IoGetCurrentIrpStackLocation(Irp);
    Status = Irp->IoStatus.Status; // unhandled minors complete unchanged
    switch (Loc->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES Caps = Loc->Parameters.DeviceCapabilities.Capabilities;
        if (Caps != nullptr && Caps->Version >= 1) {
            Caps->UniqueID = 1;
            Caps->SilentInstall = 1;
            Caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int S = PowerSystemSleeping1; S < PowerSystemMaximum; S++)
                Caps->DeviceState[S] = PowerDeviceD3;
            Caps->SystemWake = PowerSystemUnspecified;
            Caps->DeviceWake = PowerDeviceUnspecified;
            Status = STATUS_SUCCESS;
        }
        break;
    }
    default:
        break;
    }
    return RootComplete(Irp, Status);
}

NTSTATUS RootDispatchPower(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    NTSTATUS Status;
    if (RootHook(Pdo, Irp, &Status)) return Status;
    PIO_STACK_LOCATION Loc = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    Status = Irp->IoStatus.Status;
    if (Loc->MinorFunction == IRP_MN_SET_POWER) {
        if (Loc->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(Pdo, DevicePowerState, Loc->Parameters.Power.State);
        Status = STATUS_SUCCESS;
    } else if (Loc->MinorFunction == IRP_MN_QUERY_POWER) {
        Status = STATUS_SUCCESS;
    }
    return RootComplete(Irp, Status);
}

NTSTATUS RootDispatchOther(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    NTSTATUS Status;
    if (RootHook(Pdo, Irp, &Status)) return Status;
    return IopInvalidDeviceRequest(Pdo, Irp);
}

// Sends one manager IRP to the top of the node's stack on this thread and waits for it.
NTSTATUS SendManagerIrp(kivrt::DEVNODE* Node, bool Power, UCHAR Minor,
                        const std::function<void(PIO_STACK_LOCATION)>& Setup,
                        ULONG_PTR* Information)
{
    std::lock_guard<std::mutex> Serial(Node->Serial);
    PDEVICE_OBJECT Top = IoGetAttachedDevice(Node->Pdo);
    PIRP Irp = IopAllocateIrp(Top->StackSize, Power ? IRP_ORIGIN::Power : IRP_ORIGIN::Pnp);
    if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    KeInitializeEvent(&P->Done, NotificationEvent, FALSE);
    P->Node = Node;
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = Power ? IRP_MJ_POWER : IRP_MJ_PNP;
    Next->MinorFunction = Minor;
    if (Setup) Setup(Next);
    _ETHREAD* T = CurrentThread();
    KIRQL Saved = T->Irql;
    T->Irql = PASSIVE_LEVEL;
    NTSTATUS Status = IopCallDriver(Top, Irp, Power);
    if (Status != STATUS_PENDING && !P->Finished.load()) {
        // The stack returned without completing it (already reported); the IRP stays theirs.
        T->Irql = Saved;
        return Status;
    }
    HostWaitUntil([P] { return KeReadStateEvent(&P->Done) != 0; });
    T->Irql = Saved;
    NTSTATUS Final = Irp->IoStatus.Status;
    if (Information) *Information = Irp->IoStatus.Information;
    IopReleaseIrp(Irp);
    return Final;
}

void Unload(PDRIVER_OBJECT Driver)
{
    DRIVER_PRIVATE* P = DriverPrivate(Driver);
    P->Loaded = false;
    if (Driver->DriverUnload != nullptr) {
        _ETHREAD* T = CurrentThread();
        KIRQL Saved = T->Irql;
        T->Irql = PASSIVE_LEVEL;
        int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
        {
            CDriverScope Scope(Driver);
            Driver->DriverUnload(Driver);
        }
        VfCheckReturn("unload routine", (PVOID)Driver->DriverUnload, PASSIVE_LEVEL, Locks, Mutexes);
        T->Irql = Saved;
    }
    if (size_t Items = WorkOutstandingForDriver(Driver))
        VfError("unload-work-items", 0, 0, "driver %s unloaded with %zu work item(s) pending",
                DriverName(Driver).c_str(), Items);
    ObReportDriverLeftovers(Driver);
    LookasideReportDriverLeaks(Driver);
    PoolReportDriverLeaks(Driver);
    if (DriverDeviceCount(Driver) == 0) IopFreeDriver(Driver);
}

} // namespace

std::u16string DevNodeInstancePath(kivrt::DEVNODE* Node)
{
    return Node->InstancePath;
}

bool PnpInSurpriseRemoval(PDEVICE_OBJECT Dev)
{
    if (Dev == nullptr || Dev->DeviceObjectExtension == nullptr) return false;
    kivrt::DEVNODE* Node = NodeOf(Dev);
    return Node != nullptr && Node->InSurprise.load();
}

bool PnpAcceptsOpen(PDEVICE_OBJECT Dev)
{
    kivrt::DEVNODE* Node = NodeOf(Dev);
    if (Node == nullptr) return true;
    using S = kivrt::DEVNODE::STATE;
    return Node->State == S::Started || Node->State == S::Stopped;
}

PDRIVER_OBJECT PnpRootDriver()
{
    std::lock_guard<std::mutex> G(Pnp().M);
    if (Pnp().Root == nullptr) {
        PDRIVER_OBJECT Root;
        IopCreateDriver(u"PnpManager", true, &Root);
        for (PDRIVER_DISPATCH& F : Root->MajorFunction)
            F = RootDispatchOther;
        Root->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
        Root->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
        DriverPrivate(Root)->Loaded = true;
        Pnp().Root = Root;
    }
    return Pnp().Root;
}

void PnpCheckUnloads()
{
    std::lock_guard<std::mutex> U(UnloadLock());
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        if (Pnp().Busy > 0) return;
    }
    std::vector<PDRIVER_OBJECT> Due;
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        Due.assign(Pnp().Candidates.begin(), Pnp().Candidates.end());
    }
    for (PDRIVER_OBJECT D : Due) {
        bool Gone = !IsLiveDriver(D) || !DriverPrivate(D)->Loaded;
        if (!Gone && (DriverDeviceCount(D) != 0 || WorkOutstandingForDriver(D) != 0)) continue;
        {
            std::lock_guard<std::mutex> G(Pnp().M);
            Pnp().Candidates.erase(D);
        }
        if (!Gone) Unload(D);
    }
}

void PnpReset()
{
    std::lock_guard<std::mutex> G(Pnp().M);
    for (kivrt::DEVNODE* N : Pnp().Nodes)
        delete N;
    Pnp().Nodes.clear();
    Pnp().Candidates.clear();
    Pnp().Root = nullptr;
    Pnp().NextPdo = 0;
    Pnp().Busy = 0;
}

// ---------------------------------------------------------------------------------------------
// Power manager

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp", 0);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (InjectFailure(INJECT_KIND::PowerIrp)) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT Top = IoGetAttachedDevice(DeviceObject);
    PIRP New = IopAllocateIrp(Top->StackSize, IRP_ORIGIN::Power);
    if (New == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IRP_PRIVATE* P = IrpPrivate(New);
    P->PowerTarget = DeviceObject;
    P->PowerCallback = CompletionFunction;
    P->PowerContext = Context;
    P->PowerState = PowerState;
    P->PowerMinor = MinorFunction;
    New->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(New);
    Next->MajorFunction = IRP_MJ_POWER;
    Next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        Next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        Next->Parameters.Power.Type = DevicePowerState;
        Next->Parameters.Power.State = PowerState;
    }
    if (Irp != nullptr) *Irp = New;
    IopCallDriver(Top, New, true);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState", 0);
    std::lock_guard<std::mutex> G(ObLock());
    _DEVOBJ_EXTENSION* E = DeviceObject->DeviceObjectExtension;
    POWER_STATE& Slot = Type == DevicePowerState ? E->DevicePower : E->SystemPower;
    POWER_STATE Previous = Slot;
    Slot = State;
    return Previous;
}

// ---------------------------------------------------------------------------------------------
// Host interface

namespace kivrt {

NTSTATUS LoadDriver(const char16_t* Name, PDRIVER_INITIALIZE Entry, PDRIVER_OBJECT* Driver)
{
    *Driver = nullptr;
    PDRIVER_OBJECT D;
    IopCreateDriver(Name, false, &D);
    DRIVER_PRIVATE* P = DriverPrivate(D);
    D->DriverInit = Entry;
    _ETHREAD* T = CurrentThread();
    T->Irql = PASSIVE_LEVEL;
    int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
    NTSTATUS Status;
    try {
        CDriverScope Scope(D);
        Status = Entry(D, &P->RegistryPathString);
    } catch (const EXCEPTION_STATUS& E) {
        VfError("unhandled-raise", 0, 0, "DriverEntry of %s raised 0x%08X without catching it",
                DriverName(D).c_str(), (unsigned)E.Status);
        Status = E.Status;
    }
    VfCheckReturn("DriverEntry", (PVOID)Entry, PASSIVE_LEVEL, Locks, Mutexes);
    if (!NT_SUCCESS(Status)) {
        // Discarded without calling unload; whatever it left behind is still reported.
        ObReportDriverLeftovers(D);
        LookasideReportDriverLeaks(D);
        PoolReportDriverLeaks(D);
        if (DriverDeviceCount(D) == 0) IopFreeDriver(D);
        return Status;
    }
    P->Loaded = true;
    *Driver = D;
    return STATUS_SUCCESS;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT Driver)
{
    if (!IsLiveDriver(Driver) || !DriverPrivate(Driver)->Loaded) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> U(UnloadLock());
    Unload(Driver);
    return STATUS_SUCCESS;
}

bool IsDriverLoaded(PDRIVER_OBJECT Driver)
{
    return IsLiveDriver(Driver) && DriverPrivate(Driver)->Loaded;
}

NTSTATUS CreateDevNode(const char16_t* InstancePath, PDRIVER_OBJECT FunctionDriver,
                       const std::vector<PDRIVER_OBJECT>& UpperFilters, DEVNODE** Node)
{
    *Node = nullptr;
    CPnpBusy Busy;
    PDRIVER_OBJECT Root = PnpRootDriver();
    auto* N = new DEVNODE;
    N->InstancePath = InstancePath;
    N->Drivers.push_back(FunctionDriver);
    N->Drivers.insert(N->Drivers.end(), UpperFilters.begin(), UpperFilters.end());
    unsigned Number;
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        Number = Pnp().NextPdo++;
    }
    char Name[32];
    snprintf(Name, sizeof(Name), "\\Device\\%08X", Number);
    std::u16string PdoName = ToU16(Name);
    UNICODE_STRING U{USHORT(PdoName.size() * 2), USHORT(PdoName.size() * 2), PdoName.data()};
    NTSTATUS Status;
    {
        CDriverScope Scope(Root);
        Status = IopCreateDevice(Root, 0, &U, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &N->Pdo, false);
    }
    if (!NT_SUCCESS(Status)) {
        delete N;
        return Status;
    }
    N->Pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    N->Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    N->Pdo->DeviceObjectExtension->Node = N;
    N->Pdo->DeviceObjectExtension->DevicePower.DeviceState = PowerDeviceD0;
    N->Pdo->DeviceObjectExtension->SystemPower.SystemState = PowerSystemWorking;
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        Pnp().Nodes.insert(N);
    }
    *Node = N;
    _ETHREAD* T = CurrentThread();
    T->Irql = PASSIVE_LEVEL;
    for (PDRIVER_OBJECT D : N->Drivers) {
        PDRIVER_ADD_DEVICE AddDevice = D->DriverExtension->AddDevice;
        if (AddDevice == nullptr) {
            VfError("no-add-device", 0, 0, "driver %s has no AddDevice routine",
                    DriverName(D).c_str());
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
        try {
            CDriverScope Scope(D);
            Status = AddDevice(D, N->Pdo);
        } catch (const EXCEPTION_STATUS& E) {
            VfError("unhandled-raise", 0, 0, "AddDevice of %s raised 0x%08X without catching it",
                    DriverName(D).c_str(), (unsigned)E.Status);
            Status = E.Status;
        }
        VfCheckReturn("AddDevice routine", (PVOID)AddDevice, PASSIVE_LEVEL, Locks, Mutexes);
        if (!NT_SUCCESS(Status)) return Status;
        PDEVICE_OBJECT Top = IoGetAttachedDevice(N->Pdo);
        if (Top->DriverObject == D && (Top->Flags & DO_DEVICE_INITIALIZING))
            VfError("device-initializing", 0, 0x243,
                    "AddDevice of %s left DO_DEVICE_INITIALIZING set on device %p",
                    DriverName(D).c_str(), (void*)Top);
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT DevNodePdo(DEVNODE* Node)
{
    return Node->Pdo;
}

PDEVICE_OBJECT DevNodeTop(DEVNODE* Node)
{
    return IoGetAttachedDevice(Node->Pdo);
}

void DeleteDevNode(DEVNODE* Node)
{
    if (Node->Pdo->AttachedDevice != nullptr)
        VfError("delete-with-attached", 0, 0,
                "deleting the PDO %p of %s: device %p is still attached above it", (void*)Node->Pdo,
                ToNarrow(Node->InstancePath).c_str(), (void*)Node->Pdo->AttachedDevice);
    {
        std::lock_guard<std::mutex> G(Pnp().M);
        Pnp().Nodes.erase(Node);
    }
    ObForgetInterfacesOf(Node->Pdo);
    {
        CDriverScope Scope(PnpRootDriver());
        IoDeleteDevice(Node->Pdo);
    }
    delete Node;
}

NTSTATUS SendPnp(DEVNODE* Node, UCHAR Minor, const std::function<void(PIO_STACK_LOCATION)>& Setup,
                 ULONG_PTR* Information)
{
    CPnpBusy Busy;
    return SendManagerIrp(Node, false, Minor, Setup, Information);
}

static void FinishRemoval(DEVNODE* Node)
{
    ObDisableInterfacesOf(Node->Pdo);
    Node->State = DEVNODE::STATE::Removed;
    std::lock_guard<std::mutex> G(Pnp().M);
    for (PDRIVER_OBJECT D : Node->Drivers)
        if (IsLiveDriver(D)) Pnp().Candidates.insert(D);
}

// Windows keeps each device node's state and never sends a sequence that
// does not fit it: no start to a running or surprise-removed device, no stop
// but to a running one, no second surprise removal. Such a call is refused
// here, unsent, as the manager's own state machine would.
static bool NodeIn(DEVNODE* Node, std::initializer_list<DEVNODE::STATE> States)
{
    for (DEVNODE::STATE S : States)
        if (Node->State == S) return true;
    return false;
}

NTSTATUS StartDevice(DEVNODE* Node)
{
    using S = DEVNODE::STATE;
    if (!NodeIn(Node, {S::Added, S::Stopped})) return STATUS_INVALID_DEVICE_STATE;
    CPnpBusy Busy;
    NTSTATUS Status = SendManagerIrp(Node, false, IRP_MN_START_DEVICE, nullptr, nullptr);
    if (NT_SUCCESS(Status)) {
        Node->State = DEVNODE::STATE::Started;
        return Status;
    }
    SendManagerIrp(Node, false, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    FinishRemoval(Node);
    return Status;
}

NTSTATUS RestartDevice(DEVNODE* Node)
{
    return StartDevice(Node);
}

NTSTATUS StopDevice(DEVNODE* Node)
{
    if (!NodeIn(Node, {DEVNODE::STATE::Started})) return STATUS_INVALID_DEVICE_STATE;
    CPnpBusy Busy;
    NTSTATUS Query = SendManagerIrp(Node, false, IRP_MN_QUERY_STOP_DEVICE, nullptr, nullptr);
    if (!NT_SUCCESS(Query)) {
        SendManagerIrp(Node, false, IRP_MN_CANCEL_STOP_DEVICE, nullptr, nullptr);
        return Query;
    }
    NTSTATUS Status = SendManagerIrp(Node, false, IRP_MN_STOP_DEVICE, nullptr, nullptr);
    Node->State = DEVNODE::STATE::Stopped;
    return Status;
}

NTSTATUS RemoveDevice(DEVNODE* Node)
{
    CPnpBusy Busy;
    NTSTATUS Query = SendManagerIrp(Node, false, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr);
    if (NT_SUCCESS(Query) && ObStackFileRefs(Node->Pdo) > 0) Query = STATUS_DEVICE_BUSY;
    if (!NT_SUCCESS(Query)) {
        SendManagerIrp(Node, false, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
        return Query;
    }
    NTSTATUS Status = SendManagerIrp(Node, false, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    FinishRemoval(Node);
    return Status;
}

NTSTATUS SurpriseRemoveDevice(DEVNODE* Node)
{
    using S = DEVNODE::STATE;
    if (!NodeIn(Node, {S::Added, S::Started, S::Stopped})) return STATUS_INVALID_DEVICE_STATE;
    CPnpBusy Busy;
    Node->InSurprise.store(true);
    NTSTATUS Status = SendManagerIrp(Node, false, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    Node->InSurprise.store(false);
    Node->State = DEVNODE::STATE::SurpriseRemoved;
    ObDisableInterfacesOf(Node->Pdo);
    return Status;
}

NTSTATUS RemoveAfterSurprise(DEVNODE* Node)
{
    if (!NodeIn(Node, {DEVNODE::STATE::SurpriseRemoved})) return STATUS_INVALID_DEVICE_STATE;
    CPnpBusy Busy;
    if (ObStackFileRefs(Node->Pdo) > 0) return STATUS_DEVICE_BUSY;
    NTSTATUS Status = SendManagerIrp(Node, false, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    FinishRemoval(Node);
    return Status;
}

NTSTATUS QueryCapabilities(DEVNODE* Node, DEVICE_CAPABILITIES* Caps)
{
    CPnpBusy Busy;
    DEVICE_CAPABILITIES C;
    memset(&C, 0, sizeof(C));
    C.Size = sizeof(C);
    C.Version = 1;
    C.Address = ULONG(-1);
    C.UINumber = ULONG(-1);
    NTSTATUS Status = SendManagerIrp(
        Node, false, IRP_MN_QUERY_CAPABILITIES,
        [&C](PIO_STACK_LOCATION L) { L->Parameters.DeviceCapabilities.Capabilities = &C; },
        nullptr);
    *Caps = C;
    return Status;
}

NTSTATUS SendPower(DEVNODE* Node, UCHAR Minor, POWER_STATE_TYPE Type, POWER_STATE State)
{
    CPnpBusy Busy;
    return SendManagerIrp(
        Node, true, Minor,
        [Type, State](PIO_STACK_LOCATION L) {
            L->Parameters.Power.Type = Type;
            L->Parameters.Power.State = State;
        },
        nullptr);
}

POWER_STATE DevicePowerState(PDEVICE_OBJECT Dev)
{
    std::lock_guard<std::mutex> G(ObLock());
    return Dev->DeviceObjectExtension->DevicePower;
}

void SetPdoHook(DEVNODE* Node, PDO_HOOK Hook)
{
    Node->Hook = std::move(Hook);
}

} // namespace kivrt
