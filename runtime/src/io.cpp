// I/O manager core: IRP allocation and freeing, IoCallDriver with its dispatch checks, the
// completion walk, cancellation and the cancel spin lock, device queues and StartIo.
#include "internal.h"

#include <cstring>
#include <new>

namespace {

constexpr uint32_t FREED_IRP_MAGIC = 0x44455246; // "FRED"

KSPIN_LOCK g_CancelLock = 0;

class CIrpLock {
public:
    explicit CIrpLock(IRP_PRIVATE* P) : m_P(P)
    {
        while (m_P->Lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~CIrpLock() { m_P->Lock.clear(std::memory_order_release); }

private:
    IRP_PRIVATE* m_P;
};

PIO_STACK_LOCATION StackBase(PIRP Irp)
{
    return (PIO_STACK_LOCATION)(Irp + 1);
}

bool HasCurrentLocation(PIRP Irp)
{
    return Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount;
}

// Drops one reference; the last one frees the IRP's memory.
void ReleaseRef(PIRP Irp)
{
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (P->Refs.fetch_sub(1) == 1) {
        P->Magic = FREED_IRP_MAGIC;
        P->~IRP_PRIVATE();
        PoolFreeSystem(P);
    }
}

bool CheckLiveIrp(PIRP Irp, const char* Call)
{
    if (Irp == nullptr) {
        VfError("bad-irp", 0, 0, "%s(NULL)", Call);
        return false;
    }
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (P->Magic != IRP_PRIVATE::MAGIC) {
        VfError("bad-irp", 0xC9, 0x01, "%s(%p): not a live IRP (freed, or not from IoAllocateIrp)",
                Call, (void*)Irp);
        return false;
    }
    return true;
}

// Completing or forwarding while holding a driver's spin lock lets other drivers run under it.
void HoldingSpinLockCheck(const char* Call, PIRP Irp)
{
    int Held = CurrentThread()->SpinLocksHeld;
    if (__atomic_load_n(&g_CancelLock, __ATOMIC_RELAXED) == ULONG_PTR(CurrentThread())) Held--;
    if (Held > 0)
        VfWarning("call-holding-spin-lock", 0, 0, "%s(IRP %p) while holding a driver spin lock",
                  Call, (void*)Irp);
}

void CallStartIo(PDEVICE_OBJECT Dev, PIRP Irp)
{
    PDRIVER_STARTIO StartIo = Dev->DriverObject->DriverStartIo;
    _ETHREAD* T = CurrentThread();
    int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
    KIRQL Entry = T->Irql;
    {
        CDriverScope Scope(Dev->DriverObject);
        StartIo(Dev, Irp);
    }
    VfCheckReturn("StartIo routine", (PVOID)StartIo, Entry, Locks, Mutexes);
}

} // namespace

IRP_PRIVATE* IrpPrivate(PIRP Irp)
{
    return (IRP_PRIVATE*)((char*)Irp - IrpPrivateSpan());
}

static PIRP AllocateIrp(CCHAR StackSize, IRP_ORIGIN Origin, bool ChargeDriver)
{
    size_t Size = IrpPrivateSpan() + sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION);
    void* Block = PoolAllocateSystem(NonPagedPool, Size, kivrt::TAG_IRP, ChargeDriver);
    if (Block == nullptr) return nullptr;
    memset(Block, 0, Size);
    auto* P = new (Block) IRP_PRIVATE();
    P->Magic = IRP_PRIVATE::MAGIC;
    P->Origin = Origin;
    P->Refs.store(1);
    P->Allocator = CurrentThread()->CurrentDriver;
    auto* Irp = (PIRP)((char*)Block + IrpPrivateSpan());
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = USHORT(sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = StackBase(Irp) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
    return Irp;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    VfIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp", 0);
    if (StackSize < 1) {
        VfError("bad-stack-size", 0, 0, "IoAllocateIrp(%d): stack size out of range", StackSize);
        return nullptr;
    }
    if (InjectFailure(INJECT_KIND::Irp)) return nullptr;
    return AllocateIrp(StackSize, IRP_ORIGIN::Driver, true);
}

PIRP IopAllocateIrp(CCHAR StackSize, IRP_ORIGIN Origin)
{
    return AllocateIrp(StackSize, Origin, false);
}

void IopReleaseIrp(PIRP Irp)
{
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (!P->FreeRequested.exchange(true)) ReleaseRef(Irp);
}

void IopReferenceIrp(PIRP Irp)
{
    IrpPrivate(Irp)->Refs.fetch_add(1);
}

void IopDereferenceIrp(PIRP Irp)
{
    ReleaseRef(Irp);
}

USHORT IoSizeOfIrp(CCHAR StackSize)
{
    return USHORT(sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION));
}

VOID IoFreeIrp(PIRP Irp)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp", 0);
    if (!CheckLiveIrp(Irp, "IoFreeIrp")) return;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (P->Origin != IRP_ORIGIN::Driver) {
        VfError("irp-free", 0xC9, 0x01, "IoFreeIrp(%p): the IRP was not allocated by IoAllocateIrp",
                (void*)Irp);
        return;
    }
    if (P->FreeRequested.load()) {
        VfError("irp-double-free", 0xC9, 0x01, "IoFreeIrp(%p): the IRP was already freed",
                (void*)Irp);
        return;
    }
    if (Irp->CurrentLocation != Irp->StackCount + 1) {
        VfError("irp-free-in-use", 0xC9, 0x20A,
                "IoFreeIrp(%p): the IRP is still held by a driver (current location %d of %d)",
                (void*)Irp, Irp->CurrentLocation, Irp->StackCount);
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        VfError("irp-free-cancel-routine", 0xC9, 0x20B,
                "IoFreeIrp(%p): the IRP still has a cancel routine", (void*)Irp);
        return;
    }
    if (Irp->Tail.Overlay.DeviceQueueEntry.Inserted) {
        VfError("irp-free-queued", 0xC9, 0x20B, "IoFreeIrp(%p): the IRP is still in a device queue",
                (void*)Irp);
        return;
    }
    IopReleaseIrp(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    BOOLEAN Pending = Irp->PendingReturned;
    (void)Pending;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    Irp->Cancel = FALSE;
    Irp->PendingReturned = FALSE;
    Irp->CancelRoutine = nullptr;
    Irp->CurrentLocation = CHAR(Irp->StackCount + 1);
    Irp->Tail.Overlay.CurrentStackLocation = StackBase(Irp) + Irp->StackCount;
    memset(StackBase(Irp), 0, size_t(Irp->StackCount) * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    (void)PacketSize;
    IoReuseIrp(Irp, STATUS_SUCCESS);
    Irp->StackCount = StackSize;
}

BOOLEAN IoIsOperationSynchronous(PIRP Irp)
{
    return (Irp->Flags & IRP_SYNCHRONOUS_API) != 0;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The checks of a call before the IRP moves down: false when the call must
// fail with STATUS_INVALID_PARAMETER, its error recorded.
static bool CheckCallable(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* Call)
{
    if (!CheckLiveIrp(Irp, Call)) return false;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (P->Finished.load() || P->FreeRequested.load()) {
        VfError("irp-after-completion", 0xC9, 0x01,
                "%s(%p): the IRP was already completed or "
                "freed",
                Call, (void*)Irp);
        return false;
    }
    if (DeviceObject == nullptr || DeviceObject->DeviceObjectExtension == nullptr ||
        DeviceObject->DeviceObjectExtension->Magic != _DEVOBJ_EXTENSION::MAGIC) {
        VfError("bad-device", 0, 0, "%s(%p, %p): not a device object", Call, (void*)DeviceObject,
                (void*)Irp);
        return false;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        VfError("call-with-cancel-routine", 0xC9, 0x203,
                "%s(%p, IRP %p): the IRP still has a cancel routine", Call, (void*)DeviceObject,
                (void*)Irp);
    if (Irp->Tail.Overlay.DeviceQueueEntry.Inserted)
        VfError("call-queued", 0, 0x205,
                "%s(%p, IRP %p): the IRP is still linked in a device queue", Call,
                (void*)DeviceObject, (void*)Irp);
    if (Irp->CurrentLocation <= 1) {
        VfError("irp-stack-overflow", 0x35, ULONG_PTR(Irp),
                "%s(%p, IRP %p): the IRP has no stack location left for the device", Call,
                (void*)DeviceObject, (void*)Irp);
        return false;
    }
    return true;
}

// What the caller set up in the next location: recorded, never refused.
static void CheckNextLocation(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* Call, bool ViaPo)
{
    HoldingSpinLockCheck(Call, Irp);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    if (Next->CompletionRoutine == nullptr &&
        (Next->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)))
        VfWarning("next-control", 0, 0x206,
                  "%s(%p, IRP %p): the next location asks for a completion routine it lacks", Call,
                  (void*)DeviceObject, (void*)Irp);
    if (HasCurrentLocation(Irp)) {
        PIO_STACK_LOCATION Current = IoGetCurrentIrpStackLocation(Irp);
        if (Current->CompletionRoutine != nullptr &&
            Next->CompletionRoutine == Current->CompletionRoutine &&
            Next->Context == Current->Context)
            VfWarning("next-control", 0, 0x207,
                      "%s(%p, IRP %p): the next location holds the caller's own completion routine",
                      Call, (void*)DeviceObject, (void*)Irp);
    }
    if (Next->MajorFunction == IRP_MJ_POWER && !ViaPo)
        VfError("power-via-iocalldriver", 0, 0,
                "IoCallDriver(%p, IRP %p): power IRPs are forwarded with PoCallDriver",
                (void*)DeviceObject, (void*)Irp);
}

// Makes Frame the call in progress at location Number; the calls at and
// above it that are still active see the IRP forwarded.
static void EnterCallFrame(PIRP Irp, int Number, CALL_FRAME* Frame)
{
    IRP_PRIVATE* P = IrpPrivate(Irp);
    CIrpLock G(P);
    for (int K = Number; K <= Irp->StackCount; K++)
        for (CALL_FRAME* F = P->Active[K]; F != nullptr; F = F->Outer)
            F->Forwarded = true;
    Frame->Outer = P->Active[Number];
    if (Frame->Outer != nullptr) Frame->Outer->Shared = true;
    P->Active[Number] = Frame;
}

// The outcome of a dispatch routine against what happened to the IRP
// during its call, and the end of that call at location Number.
static void LeaveCallFrame(PIRP Irp, int Number, CALL_FRAME& Frame, PDRIVER_DISPATCH Dispatch,
                           NTSTATUS Status)
{
    IRP_PRIVATE* P = IrpPrivate(Irp);
    bool Completed, Pending, Forwarded, Shared;
    {
        CIrpLock G(P);
        Completed = Frame.Completed;
        Forwarded = Frame.Forwarded;
        Shared = Frame.Shared;
        if (Completed) {
            Pending = Frame.PendingMarked;
        } else {
            Pending = (StackBase(Irp)[Number - 1].Control & SL_PENDING_RETURNED) != 0;
            if (P->Active[Number] == &Frame) P->Active[Number] = Frame.Outer;
        }
    }
    // After a skip the location and its outcome are the lower driver's, checked in its call.
    // A forwarded IRP still below us gets our location marked by the walk (or by our own
    // completion routine, which is checked there).
    if (!Shared && Status == STATUS_PENDING && !Pending && !(Forwarded && !Completed))
        VfError("pending-not-marked", 0, 0x23D,
                "dispatch routine %p returned STATUS_PENDING for IRP %p without IoMarkIrpPending",
                (void*)Dispatch, (void*)Irp);
    else if (!Shared && Status != STATUS_PENDING && Pending)
        VfError("pending-status-mismatch", 0, 0x23E,
                "dispatch routine %p marked IRP %p pending but returned 0x%08X", (void*)Dispatch,
                (void*)Irp, (unsigned)Status);
    if (Status == NTSTATUS(0xFFFFFFFF))
        VfError("dispatch-status", 0, 0x225, "dispatch routine %p returned 0xFFFFFFFF for IRP %p",
                (void*)Dispatch, (void*)Irp);
    if (!Shared && Status != STATUS_PENDING && !Completed)
        VfError("irp-not-finished", 0, 0x226,
                "dispatch routine %p returned 0x%08X for IRP %p without completing, forwarding or "
                "pending it",
                (void*)Dispatch, (unsigned)Status, (void*)Irp);
    else if (!Shared && Status != STATUS_PENDING && Frame.StatusAtCompletion != Status)
        VfWarning("dispatch-status-mismatch", 0, 0x224,
                  "dispatch routine %p returned 0x%08X for IRP %p completed with 0x%08X",
                  (void*)Dispatch, (unsigned)Status, (void*)Irp,
                  (unsigned)Frame.StatusAtCompletion);
}

NTSTATUS IopCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool ViaPo)
{
    const char* Call = ViaPo ? "PoCallDriver" : "IoCallDriver";
    VfIrqlAtMost(DISPATCH_LEVEL, Call, 0);
    if (!CheckCallable(DeviceObject, Irp, Call)) return STATUS_INVALID_PARAMETER;
    CheckNextLocation(DeviceObject, Irp, Call, ViaPo);

    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION Loc = IoGetCurrentIrpStackLocation(Irp);
    Loc->DeviceObject = DeviceObject;
    int Number = Irp->CurrentLocation;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    P->CallsMade++;
    P->Refs.fetch_add(1);
    CALL_FRAME Frame;
    EnterCallFrame(Irp, Number, &Frame);
    PDRIVER_OBJECT Driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH Dispatch = IopInvalidDeviceRequest;
    if (Loc->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION)
        Dispatch = Driver->MajorFunction[Loc->MajorFunction];
    else
        VfError("bad-major", 0, 0, "%s(%p, IRP %p): major function 0x%02X does not exist", Call,
                (void*)DeviceObject, (void*)Irp, Loc->MajorFunction);
    _ETHREAD* T = CurrentThread();
    KIRQL Entry = T->Irql;
    int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
    NTSTATUS Status;
    {
        CDriverScope Scope(Driver);
        Status = Dispatch(DeviceObject, Irp);
    }
    VfCheckReturn("dispatch routine", (PVOID)Dispatch, Entry, Locks, Mutexes);
    LeaveCallFrame(Irp, Number, Frame, Dispatch, Status);
    ReleaseRef(Irp);
    return Status;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IopCallDriver(DeviceObject, Irp, false);
}

// ---------------------------------------------------------------------------------------------
// Completion

static void FinishPastTop(PIRP Irp)
{
    IRP_PRIVATE* P = IrpPrivate(Irp);
    P->Finished.store(true);
    switch (P->Origin) {
    case IRP_ORIGIN::Driver:
        VfError("driver-irp-past-top", 0, 0,
                "IoCompleteRequest(%p): a driver-allocated IRP completed past its top; the top "
                "completion routine must return STATUS_MORE_PROCESSING_REQUIRED",
                (void*)Irp);
        IopReleaseIrp(Irp);
        break;
    case IRP_ORIGIN::App:
        IopFinishAppIrp(Irp);
        break;
    case IRP_ORIGIN::Power:
        if ((Irp->StackCount > 0) && P->PowerStartNextCalls.load() != P->CallsMade.load()) {
            UCHAR Minor = StackBase(Irp)[Irp->StackCount - 1].MinorFunction;
            if (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER)
                VfError("po-start-next", 0, 0,
                        "power IRP %p: PoStartNextPowerIrp was called %d time(s) for %d "
                        "driver(s) that received it",
                        (void*)Irp, P->PowerStartNextCalls.load(), P->CallsMade.load());
        }
        if (P->PowerTarget != nullptr) {
            // PoRequestPowerIrp: the callback runs after every completion routine, then the
            // manager frees the IRP.
            if (P->PowerCallback != nullptr) {
                IO_STATUS_BLOCK Iosb = Irp->IoStatus;
                CDriverScope Scope(P->Allocator);
                P->PowerCallback(P->PowerTarget, P->PowerMinor, P->PowerState, P->PowerContext,
                                 &Iosb);
            }
            IopReleaseIrp(Irp);
            break;
        }
        KeSetEvent(&P->Done, IO_NO_INCREMENT, FALSE);
        break;
    case IRP_ORIGIN::Pnp:
        KeSetEvent(&P->Done, IO_NO_INCREMENT, FALSE);
        break;
    }
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    VfIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest", 0x0E);
    if (!CheckLiveIrp(Irp, "IoCompleteRequest")) return;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    if (P->Finished.load() || P->FreeRequested.load() || !HasCurrentLocation(Irp)) {
        VfError("double-completion", 0x44, ULONG_PTR(Irp),
                "IoCompleteRequest(%p): the IRP is already completed", (void*)Irp);
        return;
    }
    HoldingSpinLockCheck("IoCompleteRequest", Irp);
    NTSTATUS Status = Irp->IoStatus.Status;
    if (Status == STATUS_PENDING || Status == NTSTATUS(0xFFFFFFFF))
        VfError("complete-status", 0xC9, 0x06, "IoCompleteRequest(%p) with status 0x%08X",
                (void*)Irp, (unsigned)Status);
    if (IoSetCancelRoutine(Irp, nullptr) != nullptr)
        VfError("complete-with-cancel-routine", 0xC9, 0x07,
                "IoCompleteRequest(%p): the IRP still has a cancel routine", (void*)Irp);
    if (Irp->Tail.Overlay.DeviceQueueEntry.Inserted)
        VfError("complete-queued", 0, 0x209,
                "IoCompleteRequest(%p): the IRP is still linked in a device queue", (void*)Irp);

    while (HasCurrentLocation(Irp)) {
        PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
        int Number = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (L->Control & SL_PENDING_RETURNED) != 0;
        {
            CIrpLock G(P);
            for (CALL_FRAME* F = P->Active[Number]; F != nullptr; F = F->Outer) {
                F->Completed = true;
                F->PendingMarked = Irp->PendingReturned;
                F->StatusAtCompletion = Irp->IoStatus.Status;
            }
            P->Active[Number] = nullptr;
        }
        NTSTATUS S = Irp->IoStatus.Status;
        bool Due =
            (NT_SUCCESS(S) && (L->Control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(S) && (L->Control & SL_INVOKE_ON_ERROR)) ||
            (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (L->Control & SL_INVOKE_ON_CANCEL));
        bool Above = HasCurrentLocation(Irp);
        if (Due && L->CompletionRoutine != nullptr) {
            PIO_COMPLETION_ROUTINE Routine = L->CompletionRoutine;
            PVOID Context = L->Context;
            memset(&L->Parameters, 0, sizeof(L->Parameters));
            L->FileObject = nullptr;
            PDEVICE_OBJECT D = Above ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            PDRIVER_OBJECT Owner = D ? D->DriverObject : P->Allocator;
            _ETHREAD* T = CurrentThread();
            KIRQL Entry = T->Irql;
            int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
            NTSTATUS R;
            {
                CDriverScope Scope(Owner);
                R = Routine(D, Irp, Context);
            }
            VfCheckReturn("completion routine", (PVOID)Routine, Entry, Locks, Mutexes);
            // The routine's driver owns the IRP again; nothing here may touch it.
            if (R == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (Above && Irp->PendingReturned &&
                !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED))
                VfError("pending-not-propagated", 0, 0x228,
                        "completion routine %p did not propagate PendingReturned of IRP %p",
                        (void*)Routine, (void*)Irp);
        } else if (Above && Irp->PendingReturned) {
            CIrpLock G(P);
            IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
        }
    }
    FinishPastTop(Irp);
}

// ---------------------------------------------------------------------------------------------
// Cancellation

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock", 0);
    KeAcquireSpinLock(&g_CancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    _ETHREAD* T = CurrentThread();
    if (T->CancelRoutineIrp != nullptr) {
        if (Irql != T->CancelRoutineIrp->CancelIrql)
            VfError("cancel-lock-irql", 0, 0,
                    "cancel routine for IRP %p released the cancel spin lock to IRQL %u, not "
                    "to the IRP's CancelIrql %u",
                    (void*)T->CancelRoutineIrp, Irql, T->CancelRoutineIrp->CancelIrql);
        T->CancelRoutineIrp = nullptr;
    }
    KeReleaseSpinLock(&g_CancelLock, Irql);
}

static void CallCancelRoutine(PDRIVER_CANCEL Routine, PDEVICE_OBJECT Dev, PIRP Irp, KIRQL EntryIrql,
                              int Locks, int Mutexes)
{
    _ETHREAD* T = CurrentThread();
    PIRP SavedIrp = T->CancelRoutineIrp;
    T->CancelRoutineIrp = Irp;
    {
        CDriverScope Scope(Dev ? Dev->DriverObject : nullptr);
        Routine(Dev, Irp);
    }
    T->CancelRoutineIrp = SavedIrp;
    if (__atomic_load_n(&g_CancelLock, __ATOMIC_RELAXED) == ULONG_PTR(T)) {
        VfError("cancel-lock-held", 0x11B, ULONG_PTR(Irp),
                "cancel routine %p returned holding the cancel spin lock (IRP %p)", (void*)Routine,
                (void*)Irp);
        KeReleaseSpinLock(&g_CancelLock, EntryIrql);
    }
    VfCheckReturn("cancel routine", (PVOID)Routine, EntryIrql, Locks, Mutexes);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp", 0);
    if (!CheckLiveIrp(Irp, "IoCancelIrp")) return FALSE;
    IRP_PRIVATE* P = IrpPrivate(Irp);
    _ETHREAD* T = CurrentThread();
    KIRQL EntryIrql = T->Irql;
    int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
    KIRQL Old;
    IoAcquireCancelSpinLock(&Old);
    // Cancel may be read by a completing thread without the cancel lock.
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);
    PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, nullptr);
    if (Routine == nullptr) {
        IoReleaseCancelSpinLock(Old);
        return FALSE;
    }
    if (P->Finished.load()) {
        VfError("cancel-completed-irp", 0x48, ULONG_PTR(Irp),
                "IoCancelIrp(%p): the IRP is completed but still has a cancel routine", (void*)Irp);
        IoReleaseCancelSpinLock(Old);
        return FALSE;
    }
    Irp->CancelIrql = Old;
    PDEVICE_OBJECT Dev =
        HasCurrentLocation(Irp) ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    CallCancelRoutine(Routine, Dev, Irp, EntryIrql, Locks, Mutexes);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Device queues

VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue)
{
    DeviceQueue->Type = 0x14;
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&DeviceQueue->DeviceListHead);
    KeInitializeSpinLock(&DeviceQueue->Lock);
    DeviceQueue->Busy = FALSE;
}

static BOOLEAN InsertDeviceQueue(PKDEVICE_QUEUE Q, PKDEVICE_QUEUE_ENTRY E, bool ByKey, ULONG Key,
                                 const char* Call)
{
    VfIrqlExactly(DISPATCH_LEVEL, Call, 0);
    KiAcquireQueueLock(&Q->Lock);
    BOOLEAN Inserted;
    if (!Q->Busy) {
        Q->Busy = TRUE;
        E->Inserted = FALSE;
        Inserted = FALSE;
    } else {
        E->SortKey = Key;
        PLIST_ENTRY Before = &Q->DeviceListHead;
        if (ByKey) {
            // After every entry whose key is not greater, so equal keys stay FIFO.
            for (PLIST_ENTRY It = Q->DeviceListHead.Flink; It != &Q->DeviceListHead;
                 It = It->Flink) {
                auto* Other = CONTAINING_RECORD(It, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
                if (Other->SortKey > Key) {
                    Before = It;
                    break;
                }
            }
        }
        InsertTailList(Before, &E->DeviceListEntry);
        E->Inserted = TRUE;
        Inserted = TRUE;
    }
    KiReleaseQueueLock(&Q->Lock);
    return Inserted;
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry)
{
    return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, false, 0, "KeInsertDeviceQueue");
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry,
                                 ULONG SortKey)
{
    return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, true, SortKey,
                             "KeInsertByKeyDeviceQueue");
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue)
{
    VfIrqlExactly(DISPATCH_LEVEL, "KeRemoveDeviceQueue", 0);
    KiAcquireQueueLock(&DeviceQueue->Lock);
    PKDEVICE_QUEUE_ENTRY E = nullptr;
    if (!DeviceQueue->Busy) {
        VfError("device-queue-idle", 0, 0, "KeRemoveDeviceQueue(%p) on a queue that is not busy",
                (void*)DeviceQueue);
    } else if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
        DeviceQueue->Busy = FALSE;
    } else {
        PLIST_ENTRY L = RemoveHeadList(&DeviceQueue->DeviceListHead);
        E = CONTAINING_RECORD(L, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        E->Inserted = FALSE;
    }
    KiReleaseQueueLock(&DeviceQueue->Lock);
    return E;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "KeRemoveEntryDeviceQueue", 0);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KiAcquireQueueLock(&DeviceQueue->Lock);
    BOOLEAN Was = DeviceQueueEntry->Inserted;
    if (Was) {
        DeviceQueueEntry->Inserted = FALSE;
        RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    }
    KiReleaseQueueLock(&DeviceQueue->Lock);
    KeLowerIrql(Old);
    return Was;
}

VOID IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoStartPacket", 0);
    _ETHREAD* T = CurrentThread();
    int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KIRQL CancelIrql = DISPATCH_LEVEL;
    if (CancelFunction) {
        IoAcquireCancelSpinLock(&CancelIrql);
        IoSetCancelRoutine(Irp, CancelFunction);
    }
    PKDEVICE_QUEUE_ENTRY E = &Irp->Tail.Overlay.DeviceQueueEntry;
    BOOLEAN Inserted = Key ? KeInsertByKeyDeviceQueue(&DeviceObject->DeviceQueue, E, *Key)
                           : KeInsertDeviceQueue(&DeviceObject->DeviceQueue, E);
    if (!Inserted) {
        DeviceObject->CurrentIrp = Irp;
        if (CancelFunction) IoReleaseCancelSpinLock(CancelIrql);
        CallStartIo(DeviceObject, Irp);
    } else if (CancelFunction) {
        if (Irp->Cancel) {
            Irp->CancelIrql = CancelIrql;
            PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, nullptr);
            if (Routine)
                CallCancelRoutine(Routine, DeviceObject, Irp, DISPATCH_LEVEL, Locks, Mutexes);
            else
                IoReleaseCancelSpinLock(CancelIrql);
        } else {
            IoReleaseCancelSpinLock(CancelIrql);
        }
    }
    KeLowerIrql(Old);
}

static void StartNext(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable, bool ByKey, ULONG Key)
{
    VfIrqlExactly(DISPATCH_LEVEL, "IoStartNextPacket", 0);
    if (DeviceObject->DriverObject->DriverStartIo == nullptr) {
        VfError("no-startio", 0, 0, "IoStartNextPacket(%p): the driver has no StartIo routine",
                (void*)DeviceObject);
        return;
    }
    KIRQL CancelIrql = DISPATCH_LEVEL;
    if (Cancelable) IoAcquireCancelSpinLock(&CancelIrql);
    DeviceObject->CurrentIrp = nullptr;
    PKDEVICE_QUEUE_ENTRY E = nullptr;
    if (ByKey) {
        // The first entry with a key at or above Key, else the head.
        KiAcquireQueueLock(&DeviceObject->DeviceQueue.Lock);
        PKDEVICE_QUEUE Q = &DeviceObject->DeviceQueue;
        if (!Q->Busy) {
            VfError("device-queue-idle", 0, 0, "IoStartNextPacketByKey(%p) on an idle queue",
                    (void*)DeviceObject);
        } else if (IsListEmpty(&Q->DeviceListHead)) {
            Q->Busy = FALSE;
        } else {
            PLIST_ENTRY Pick = Q->DeviceListHead.Flink;
            for (PLIST_ENTRY It = Pick; It != &Q->DeviceListHead; It = It->Flink)
                if (CONTAINING_RECORD(It, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey >= Key) {
                    Pick = It;
                    break;
                }
            RemoveEntryList(Pick);
            E = CONTAINING_RECORD(Pick, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
            E->Inserted = FALSE;
        }
        KiReleaseQueueLock(&DeviceObject->DeviceQueue.Lock);
    } else {
        E = KeRemoveDeviceQueue(&DeviceObject->DeviceQueue);
    }
    if (E != nullptr) {
        PIRP Irp = CONTAINING_RECORD(E, IRP, Tail.Overlay.DeviceQueueEntry);
        DeviceObject->CurrentIrp = Irp;
        if (Cancelable) IoReleaseCancelSpinLock(CancelIrql);
        CallStartIo(DeviceObject, Irp);
    } else if (Cancelable) {
        IoReleaseCancelSpinLock(CancelIrql);
    }
}

VOID IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable)
{
    StartNext(DeviceObject, Cancelable, false, 0);
}

VOID IoStartNextPacketByKey(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable, ULONG Key)
{
    StartNext(DeviceObject, Cancelable, true, Key);
}

// ---------------------------------------------------------------------------------------------
// Power IRPs on the I/O path

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IopCallDriver(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp", 0);
    if (!CheckLiveIrp(Irp, "PoStartNextPowerIrp")) return;
    if (!HasCurrentLocation(Irp) ||
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        VfError("po-start-next", 0, 0,
                "PoStartNextPowerIrp(%p): the IRP is not a power IRP at the caller's location",
                (void*)Irp);
        return;
    }
    IrpPrivate(Irp)->PowerStartNextCalls++;
}

void IopIrpReset()
{
    __atomic_store_n(&g_CancelLock, 0, __ATOMIC_RELEASE);
}
