// l2capdrv.cpp: the virtual L2CAP driver. A function driver on the root bus's PDO at the bottom
// of the SDP device's stack: it holds listen-for-status and read requests until the radio
// produces a channel event or a frame, keeps events and frames in order while nothing waits,
// hands writes to the radio, fails a client's held requests at its cleanup, and handles PnP and
// power as the lowest driver above a bus PDO.
//
// These channel requests are the device's private interface to the driver above it: they are
// served only to kernel-mode requests or internal device control. An application's request that
// the driver above passes down unchanged still carries the application's mode, and is refused.
//
// Every request this driver completes is completed at DISPATCH_LEVEL, as a bus driver's DPC
// would, and its dispatch routines work at DISPATCH_LEVEL: they never wait and never touch
// paged pool.

#include "l2cappriv.h"

static DRIVER_ADD_DEVICE KivL2capAddDevice;
static DRIVER_UNLOAD KivL2capUnload;
static DRIVER_DISPATCH KivL2capDispatchCreateClose;
static DRIVER_DISPATCH KivL2capDispatchRead;
static DRIVER_DISPATCH KivL2capDispatchWrite;
static DRIVER_DISPATCH KivL2capDispatchDeviceControl;
static DRIVER_DISPATCH KivL2capDispatchCleanup;
static DRIVER_DISPATCH KivL2capDispatchPnp;
static DRIVER_DISPATCH KivL2capDispatchPower;
static DRIVER_DISPATCH KivL2capDispatchPassDown;
static DRIVER_CANCEL KivL2capCancelHeld;
static IO_COMPLETION_ROUTINE KivL2capPnpCompletion;

// ---------------------------------------------------------------------------------------------
// Helpers

// Completes Irp at DISPATCH_LEVEL. Called holding no lock; Irp must not be used afterwards.
static VOID L2capComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    KIRQL OldIrql;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    KeLowerIrql(OldIrql);
}

// Completes every IRP on a local list (linked through Tail.Overlay.ListEntry) with Status.
static VOID L2capCompleteList(PLIST_ENTRY List, NTSTATUS Status)
{
    while (!IsListEmpty(List)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
        L2capComplete(Irp, Status, 0);
    }
}

// Ends a request in its dispatch routine: completes it now, or, while completions are deferred,
// marks it pending and parks it with its result until the host completes the parked requests.
// Returns what the dispatch routine returns.
static NTSTATUS L2capFinish(PL2CAP_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    BOOLEAN Defer =
        Ext->DeferCompletions ||
        (Ext->DeferWrites && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE);
    if (Defer && !Ext->Removed) {
        IoMarkIrpPending(Irp);
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = Information;
        InsertTailList(&Ext->Deferred, &Irp->Tail.Overlay.ListEntry);
        Ext->DeferredCount++;
        KeReleaseSpinLock(&Ext->Lock, OldIrql);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    L2capComplete(Irp, Status, Information);
    return Status;
}

// Takes the parked requests into List (under Lock).
static VOID L2capTakeDeferred(PL2CAP_EXTENSION Ext, PLIST_ENTRY List)
{
    while (!IsListEmpty(&Ext->Deferred))
        InsertTailList(List, RemoveHeadList(&Ext->Deferred));
    Ext->DeferredCount = 0;
}

// Completes parked requests with the results they were parked with.
static ULONG L2capCompleteParked(PLIST_ENTRY List, KIRQL Irql)
{
    ULONG Count = 0;
    while (!IsListEmpty(List)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
        KIRQL OldIrql;
        KeRaiseIrql(Irql, &OldIrql);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        KeLowerIrql(OldIrql);
        Count++;
    }
    return Count;
}

static VOID L2capLock(PL2CAP_EXTENSION Ext, PKIRQL CancelIrql)
{
    IoAcquireCancelSpinLock(CancelIrql);
    KeAcquireSpinLockAtDpcLevel(&Ext->Lock); // after the cancel spin lock, always
}

static VOID L2capUnlock(PL2CAP_EXTENSION Ext, KIRQL CancelIrql)
{
    KeReleaseSpinLockFromDpcLevel(&Ext->Lock);
    IoReleaseCancelSpinLock(CancelIrql);
}

static BOOLEAN L2capIsOpen(PL2CAP_EXTENSION Ext, USHORT Cid)
{
    return (Ext->OpenChannels[Cid >> 3] & (1u << (Cid & 7))) != 0;
}

static VOID L2capSetOpen(PL2CAP_EXTENSION Ext, USHORT Cid, BOOLEAN Open)
{
    UCHAR Bit = (UCHAR)(1u << (Cid & 7));
    if (Open && !L2capIsOpen(Ext, Cid)) {
        Ext->OpenChannels[Cid >> 3] |= Bit;
        Ext->OpenChannelCount++;
    } else if (!Open && L2capIsOpen(Ext, Cid)) {
        Ext->OpenChannels[Cid >> 3] &= (UCHAR)~Bit;
        Ext->OpenChannelCount--;
    }
}

static PLIST_ENTRY L2capHeldList(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind)
{
    return Kind == L2capKindRead ? &Ext->HeldReads : &Ext->HeldListens;
}

static PULONG L2capHeldCount(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind)
{
    return Kind == L2capKindRead ? &Ext->HeldReadCount : &Ext->HeldListenCount;
}

// Under both locks: unlinks the oldest held request of Kind and takes it back from the cancel
// machinery. A held request always has its cancel routine set while both locks are held.
static PIRP L2capTakeHeld(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind)
{
    PLIST_ENTRY List = L2capHeldList(Ext, Kind);
    if (IsListEmpty(List)) return NULL;
    PIRP Irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, NULL);
    (*L2capHeldCount(Ext, Kind))--;
    return Irp;
}

static ULONG L2capReadCapacity(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

static VOID L2capReportDrop(ULONG FrameLength, ULONG Capacity, const UCHAR* Frame)
{
    DbgPrint("kivl2cap : frame of 0x%x bytes on CID 0x%x dropped, the read buffer holds 0x%x\n",
             (unsigned)FrameLength, (unsigned)(Frame[0] | Frame[1] << 8), (unsigned)Capacity);
}

// Under both locks: the oldest kept frame that fits Capacity. Older frames that do not fit are
// dropped on the way, so the order of the frames that are delivered is kept.
static PL2CAP_KEPT L2capTakeKeptFrame(PL2CAP_EXTENSION Ext, ULONG Capacity)
{
    while (!IsListEmpty(&Ext->KeptFrames)) {
        PL2CAP_KEPT Kept = CONTAINING_RECORD(RemoveHeadList(&Ext->KeptFrames), L2CAP_KEPT, Link);
        Ext->KeptFrameCount--;
        if (Kept->Length <= Capacity) return Kept;
        L2capReportDrop(Kept->Length, Capacity, Kept->Data);
        Ext->FramesDropped++;
        ExFreePoolWithTag(Kept, KIVL2CAP_KEPT_TAG);
    }
    return NULL;
}

static PL2CAP_KEPT L2capTakeKeptEvent(PL2CAP_EXTENSION Ext)
{
    if (IsListEmpty(&Ext->KeptEvents)) return NULL;
    Ext->KeptEventCount--;
    return CONTAINING_RECORD(RemoveHeadList(&Ext->KeptEvents), L2CAP_KEPT, Link);
}

// Under both locks: copies Length bytes (First bytes of Head, then the rest from Tail) into a
// new kept block at the end of List. FALSE when the limit is reached or pool is short; nothing
// is changed then.
static BOOLEAN L2capKeep(PLIST_ENTRY List, PULONG Count, const UCHAR* Head, ULONG HeadLength,
                         const UCHAR* Tail, ULONG TailLength)
{
    if (*Count >= KIVL2CAP_KEPT_LIMIT) return FALSE;
    PL2CAP_KEPT Kept = (PL2CAP_KEPT)ExAllocatePoolWithTag(
        NonPagedPool, FIELD_OFFSET(L2CAP_KEPT, Data) + HeadLength + TailLength, KIVL2CAP_KEPT_TAG);
    if (Kept == NULL) return FALSE;
    Kept->Length = HeadLength + TailLength;
    RtlCopyMemory(Kept->Data, Head, HeadLength);
    if (TailLength != 0) RtlCopyMemory(Kept->Data + HeadLength, Tail, TailLength);
    InsertTailList(List, &Kept->Link);
    (*Count)++;
    return TRUE;
}

// Takes the next injected failure of Kind, if any. Under Lock.
static NTSTATUS L2capTakeInjectedFailure(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind)
{
    if (Ext->FailCount[Kind] == 0) return STATUS_SUCCESS;
    Ext->FailCount[Kind]--;
    return Ext->FailStatus[Kind];
}

// Whether Irp comes from a driver: the I/O manager marks every application request with the
// application's mode, and only drivers can send internal device control.
static BOOLEAN L2capFromDriver(PIRP Irp)
{
    return Irp->RequestorMode == KernelMode ||
           IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}

// An application's channel request: refused as an unknown request would be, so that nothing an
// application sends changes what the device does for the driver above.
static NTSTATUS L2capRefuseApplication(PL2CAP_EXTENSION Ext, PIRP Irp, const char* What)
{
    InterlockedIncrement(&Ext->ApplicationRequestsRefused);
    DbgPrint("kivl2cap : %s from an application refused\n", What);
    return L2capFinish(Ext, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

PL2CAP_EXTENSION L2capExtensionOf(PDEVICE_OBJECT Dev)
{
    if (Dev == NULL || Dev->DriverObject == NULL || Dev->DeviceExtension == NULL) return NULL;
    if (Dev->DriverObject->MajorFunction[IRP_MJ_READ] != KivL2capDispatchRead) return NULL;
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)Dev->DeviceExtension;
    return Ext->Signature == KIVL2CAP_SIGNATURE ? Ext : NULL;
}

// ---------------------------------------------------------------------------------------------
// Held requests: listens and reads

// Serves a read or listen from what is kept, or holds it until the radio produces something.
// Capacity is the request's buffer size, already checked to be large enough for a record or a
// CID prefix.
static NTSTATUS L2capServeOrHold(PL2CAP_EXTENSION Ext, PIRP Irp, L2CAP_KIND Kind, ULONG Capacity)
{
    KIRQL CancelIrql;
    NTSTATUS Status = STATUS_SUCCESS;
    PL2CAP_KEPT Kept = NULL;

    L2capLock(Ext, &CancelIrql);
    if (Ext->Removed) {
        Status = STATUS_DELETE_PENDING;
    } else if ((Status = L2capTakeInjectedFailure(Ext, Kind)) != STATUS_SUCCESS) {
        // failed as injected
    } else if (Irp->Cancel) {
        Status = STATUS_CANCELLED;
        Ext->Cancelled++;
    } else {
        Kept = Kind == L2capKindRead ? L2capTakeKeptFrame(Ext, Capacity) : L2capTakeKeptEvent(Ext);
        if (Kept == NULL) {
            // Marked pending before it becomes reachable: a cancel may complete it at once.
            IoMarkIrpPending(Irp);
            InsertTailList(L2capHeldList(Ext, Kind), &Irp->Tail.Overlay.ListEntry);
            (*L2capHeldCount(Ext, Kind))++;
            IoSetCancelRoutine(Irp, KivL2capCancelHeld);
            L2capUnlock(Ext, CancelIrql);
            return STATUS_PENDING;
        }
        if (Kind == L2capKindRead)
            Ext->FramesDelivered++;
        else
            Ext->EventsDelivered++;
    }
    L2capUnlock(Ext, CancelIrql);

    ULONG_PTR Information = 0;
    if (Kept != NULL) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Kept->Data, Kept->Length);
        Information = Kept->Length;
        ExFreePoolWithTag(Kept, KIVL2CAP_KEPT_TAG);
    }
    return L2capFinish(Ext, Irp, Status, Information);
}

// Entered at DISPATCH_LEVEL holding the cancel spin lock, which keeps the request in its list.
static VOID KivL2capCancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    L2CAP_KIND Kind = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ
                          ? L2capKindRead
                          : L2capKindListen;
    KeAcquireSpinLockAtDpcLevel(&Ext->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    (*L2capHeldCount(Ext, Kind))--;
    Ext->Cancelled++;
    KeReleaseSpinLockFromDpcLevel(&Ext->Lock);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    L2capComplete(Irp, STATUS_CANCELLED, 0);
}

// Marks the device removed, fails every held request, completes the parked ones with their
// results and, with FreeKept, frees every kept frame and event.
static VOID L2capShutdown(PL2CAP_EXTENSION Ext, BOOLEAN FreeKept)
{
    LIST_ENTRY Failed, Kept, Parked;
    KIRQL CancelIrql;
    PIRP Irp;
    InitializeListHead(&Failed);
    InitializeListHead(&Kept);
    InitializeListHead(&Parked);

    L2capLock(Ext, &CancelIrql);
    Ext->Removed = TRUE;
    Ext->Started = FALSE;
    while ((Irp = L2capTakeHeld(Ext, L2capKindRead)) != NULL)
        InsertTailList(&Failed, &Irp->Tail.Overlay.ListEntry);
    while ((Irp = L2capTakeHeld(Ext, L2capKindListen)) != NULL)
        InsertTailList(&Failed, &Irp->Tail.Overlay.ListEntry);
    L2capTakeDeferred(Ext, &Parked);
    if (FreeKept) {
        while (!IsListEmpty(&Ext->KeptFrames))
            InsertTailList(&Kept, RemoveHeadList(&Ext->KeptFrames));
        while (!IsListEmpty(&Ext->KeptEvents))
            InsertTailList(&Kept, RemoveHeadList(&Ext->KeptEvents));
        Ext->KeptFrameCount = Ext->KeptEventCount = 0;
    }
    L2capUnlock(Ext, CancelIrql);

    L2capCompleteParked(&Parked, DISPATCH_LEVEL);
    L2capCompleteList(&Failed, STATUS_DELETE_PENDING);
    while (!IsListEmpty(&Kept))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&Kept), L2CAP_KEPT, Link),
                          KIVL2CAP_KEPT_TAG);
}

// ---------------------------------------------------------------------------------------------
// The remote side (called through the host API at up to DISPATCH_LEVEL)

NTSTATUS L2capIndicateStatus(PL2CAP_EXTENSION Ext, USHORT Cid, USHORT StatusCode, USHORT Mtu)
{
    KIVL2CAP_LISTEN_STATUS Record;
    RtlZeroMemory(&Record, sizeof(Record));
    Record.Cid = Cid;
    Record.StatusCode = StatusCode;
    Record.Mtu = Mtu;

    KIRQL CancelIrql;
    NTSTATUS Status = STATUS_SUCCESS;
    L2capLock(Ext, &CancelIrql);
    if (Ext->Removed) {
        L2capUnlock(Ext, CancelIrql);
        return STATUS_DELETE_PENDING;
    }
    PIRP Irp = L2capTakeHeld(Ext, L2capKindListen);
    if (Irp != NULL) {
        Ext->EventsDelivered++;
    } else if (L2capKeep(&Ext->KeptEvents, &Ext->KeptEventCount, (const UCHAR*)&Record,
                         sizeof(Record), NULL, 0)) {
        Status = STATUS_PENDING;
    } else {
        Status = Ext->KeptEventCount >= KIVL2CAP_KEPT_LIMIT ? STATUS_DEVICE_BUSY
                                                            : STATUS_INSUFFICIENT_RESOURCES;
        L2capUnlock(Ext, CancelIrql);
        return Status; // not kept: the channel does not change either
    }
    // The channel opens or closes with the event, before anyone above can act on it.
    if (StatusCode == KIVL2CAP_STATUS_CONNECTED)
        L2capSetOpen(Ext, Cid, TRUE);
    else if (StatusCode == KIVL2CAP_STATUS_DISCONNECTED ||
             StatusCode == KIVL2CAP_STATUS_INVALIDATED)
        L2capSetOpen(Ext, Cid, FALSE);
    L2capUnlock(Ext, CancelIrql);

    if (Irp != NULL) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Record, sizeof(Record));
        L2capComplete(Irp, STATUS_SUCCESS, sizeof(Record));
    }
    return Status;
}

NTSTATUS L2capIndicateFrame(PL2CAP_EXTENSION Ext, USHORT Cid, const UCHAR* Payload, ULONG Length)
{
    if (Length > KIVL2CAP_PAYLOAD_LIMIT || (Length != 0 && Payload == NULL))
        return STATUS_INVALID_PARAMETER;
    UCHAR Prefix[KIVL2CAP_CID_SIZE] = {(UCHAR)(Cid & 0xFF), (UCHAR)(Cid >> 8)};
    ULONG FrameLength = KIVL2CAP_CID_SIZE + Length;

    KIRQL CancelIrql;
    L2capLock(Ext, &CancelIrql);
    if (Ext->Removed) {
        L2capUnlock(Ext, CancelIrql);
        return STATUS_DELETE_PENDING;
    }
    // Reads are held only while nothing is kept, so the oldest held read is the next in line.
    if (!IsListEmpty(&Ext->HeldReads)) {
        PIRP Oldest = CONTAINING_RECORD(Ext->HeldReads.Flink, IRP, Tail.Overlay.ListEntry);
        ULONG Capacity = L2capReadCapacity(Oldest);
        if (FrameLength > Capacity) {
            L2capReportDrop(FrameLength, Capacity, Prefix);
            Ext->FramesDropped++;
            L2capUnlock(Ext, CancelIrql);
            return STATUS_BUFFER_OVERFLOW;
        }
        PIRP Irp = L2capTakeHeld(Ext, L2capKindRead);
        Ext->FramesDelivered++;
        L2capUnlock(Ext, CancelIrql);
        PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
        RtlCopyMemory(Buffer, Prefix, KIVL2CAP_CID_SIZE);
        if (Length != 0) RtlCopyMemory(Buffer + KIVL2CAP_CID_SIZE, Payload, Length);
        L2capComplete(Irp, STATUS_SUCCESS, FrameLength);
        return STATUS_SUCCESS;
    }
    NTSTATUS Status = STATUS_PENDING;
    if (!L2capKeep(&Ext->KeptFrames, &Ext->KeptFrameCount, Prefix, KIVL2CAP_CID_SIZE, Payload,
                   Length))
        Status = Ext->KeptFrameCount >= KIVL2CAP_KEPT_LIMIT ? STATUS_DEVICE_BUSY
                                                            : STATUS_INSUFFICIENT_RESOURCES;
    L2capUnlock(Ext, CancelIrql);
    return Status;
}

NTSTATUS L2capFailHeld(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind, NTSTATUS Status)
{
    if (Kind == L2capKindWrite || NT_SUCCESS(Status)) return STATUS_INVALID_PARAMETER;
    KIRQL CancelIrql;
    L2capLock(Ext, &CancelIrql);
    PIRP Irp = L2capTakeHeld(Ext, Kind);
    L2capUnlock(Ext, CancelIrql);
    if (Irp == NULL) return STATUS_NOT_FOUND;
    L2capComplete(Irp, Status, 0);
    return STATUS_SUCCESS;
}

NTSTATUS L2capFailNext(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind, NTSTATUS Status, ULONG Count)
{
    if (Kind >= L2capKindCount || (Count != 0 && NT_SUCCESS(Status)))
        return STATUS_INVALID_PARAMETER;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    Ext->FailStatus[Kind] = Status;
    Ext->FailCount[Kind] = Count;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    return STATUS_SUCCESS;
}

// Waits at PASSIVE_LEVEL until no Transmit call is in progress.
static VOID L2capWaitForRadioCalls(PL2CAP_EXTENSION Ext)
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = -10 * 100; // 100 microseconds, relative
    while (InterlockedCompareExchange(&Ext->RadioCalls, 0, 0) != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}

NTSTATUS L2capAttachRadio(PL2CAP_EXTENSION Ext, CL2capRadio* Radio)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    if (Ext->Removed && Radio != NULL) {
        KeReleaseSpinLock(&Ext->Lock, OldIrql);
        return STATUS_DELETE_PENDING;
    }
    CL2capRadio* Previous = Ext->Radio;
    Ext->Radio = Radio;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    if (Previous != NULL && Previous != Radio) {
        L2capWaitForRadioCalls(Ext); // calls that took Previous before the swap
        Previous->Detached();
    }
    return STATUS_SUCCESS;
}

NTSTATUS L2capDeferCompletions(PL2CAP_EXTENSION Ext, BOOLEAN Defer)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    Ext->DeferCompletions = Defer;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS L2capDeferWrites(PL2CAP_EXTENSION Ext, BOOLEAN Defer)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    Ext->DeferWrites = Defer;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    return STATUS_SUCCESS;
}

ULONG L2capCompleteDeferred(PL2CAP_EXTENSION Ext, KIRQL Irql)
{
    LIST_ENTRY Parked;
    KIRQL OldIrql;
    InitializeListHead(&Parked);
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    L2capTakeDeferred(Ext, &Parked);
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    return L2capCompleteParked(&Parked, Irql);
}

// ---------------------------------------------------------------------------------------------
// Dispatch routines (PASSIVE_LEVEL or DISPATCH_LEVEL unless noted)

// Opens and closes of the device itself succeed; it keeps nothing per file object but the
// requests it holds.
static NTSTATUS KivL2capDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    L2capComplete(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

static NTSTATUS KivL2capDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    if (!L2capFromDriver(Irp)) return L2capRefuseApplication(Ext, Irp, "read");
    ULONG Capacity = L2capReadCapacity(Irp);
    // A read must hold at least the CID prefix, or every frame would be dropped in front of it.
    if (Capacity < KIVL2CAP_CID_SIZE || Irp->AssociatedIrp.SystemBuffer == NULL) {
        DbgPrint("kivl2cap : read refused, buffer of 0x%x bytes\n", (unsigned)Capacity);
        return L2capFinish(Ext, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return L2capServeOrHold(Ext, Irp, L2capKindRead, Capacity);
}

// A write sends the payload after the CID prefix on that CID. It fails with
// STATUS_INVALID_PARAMETER when the buffer holds no CID or the CID names no open channel, with
// STATUS_DEVICE_NOT_READY when no radio is attached, and with the radio's status when the radio
// refuses it.
static NTSTATUS KivL2capDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Length = Stack->Parameters.Write.Length;
    const UCHAR* Buffer = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS Status;
    USHORT Cid = 0;
    CL2capRadio* Radio = NULL;
    KIRQL OldIrql;

    if (!L2capFromDriver(Irp)) return L2capRefuseApplication(Ext, Irp, "write");
    if (Length < KIVL2CAP_CID_SIZE || Buffer == NULL ||
        Length - KIVL2CAP_CID_SIZE > KIVL2CAP_PAYLOAD_LIMIT) {
        DbgPrint("kivl2cap : write refused, length 0x%x\n", (unsigned)Length);
        Status = STATUS_INVALID_PARAMETER;
    } else {
        Cid = (USHORT)(Buffer[0] | Buffer[1] << 8);
        KeAcquireSpinLock(&Ext->Lock, &OldIrql);
        if (Ext->Removed) {
            Status = STATUS_DELETE_PENDING;
        } else if ((Status = L2capTakeInjectedFailure(Ext, L2capKindWrite)) != STATUS_SUCCESS) {
            // failed as injected
        } else if (!L2capIsOpen(Ext, Cid)) {
            DbgPrint("kivl2cap : write on CID 0x%x refused, the channel is not open\n",
                     (unsigned)Cid);
            Status = STATUS_INVALID_PARAMETER;
        } else if (Ext->Radio == NULL) {
            Status = STATUS_DEVICE_NOT_READY;
        } else {
            Radio = Ext->Radio;
            InterlockedIncrement(&Ext->RadioCalls); // detaching waits for this call
        }
        KeReleaseSpinLock(&Ext->Lock, OldIrql);
    }
    if (Radio != NULL) {
        Status = Radio->Transmit(Cid, Buffer + KIVL2CAP_CID_SIZE, Length - KIVL2CAP_CID_SIZE,
                                 Stack->FileObject);
        InterlockedDecrement(&Ext->RadioCalls);
        if (Status == STATUS_PENDING) Status = STATUS_INTERNAL_ERROR; // the radio never pends
    }
    if (NT_SUCCESS(Status)) {
        InterlockedIncrement(&Ext->WritesSent);
        return L2capFinish(Ext, Irp, Status, Length);
    }
    InterlockedIncrement(&Ext->WritesFailed);
    return L2capFinish(Ext, Irp, Status, 0);
}

// Listen-for-status is the only control code of the device, as device control or internal
// device control. Any other code, such as the control requests an application sends down
// through the SDP device, completes with STATUS_INVALID_DEVICE_REQUEST and no output, and so
// does a listen from an application.
static NTSTATUS KivL2capDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KIVL2CAP_LISTEN_FOR_STATUS) {
        InterlockedIncrement(&Ext->ControlsRefused);
        return L2capFinish(Ext, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!L2capFromDriver(Irp)) return L2capRefuseApplication(Ext, Irp, "listen");
    ULONG Capacity = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (Capacity < sizeof(KIVL2CAP_LISTEN_STATUS) || Irp->AssociatedIrp.SystemBuffer == NULL) {
        DbgPrint("kivl2cap : listen refused, output buffer of 0x%x bytes\n", (unsigned)Capacity);
        return L2capFinish(Ext, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return L2capServeOrHold(Ext, Irp, L2capKindListen, Capacity);
}

// A cleanup fails the held listens and reads whose FileObject field is the cleanup's (the SDP
// device puts its own device object there: the field is compared, never dereferenced) with
// STATUS_CANCELLED, then succeeds. An application's cleanup passed down through the SDP device
// succeeds and fails nothing: an application has no request held here.
static NTSTATUS KivL2capDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT Client = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    LIST_ENTRY Failed;
    KIRQL CancelIrql;
    InitializeListHead(&Failed);
    const BOOLEAN FromDriver = L2capFromDriver(Irp);

    static const L2CAP_KIND HeldKinds[] = {L2capKindRead, L2capKindListen};
    L2capLock(Ext, &CancelIrql);
    for (L2CAP_KIND Kind : HeldKinds) {
        PLIST_ENTRY List = L2capHeldList(Ext, Kind);
        for (PLIST_ENTRY Entry = List->Flink; Entry != List;) {
            PIRP Held = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
            Entry = Entry->Flink;
            if (!FromDriver || IoGetCurrentIrpStackLocation(Held)->FileObject != Client) continue;
            RemoveEntryList(&Held->Tail.Overlay.ListEntry);
            IoSetCancelRoutine(Held, NULL);
            (*L2capHeldCount(Ext, Kind))--;
            Ext->Cancelled++;
            InsertTailList(&Failed, &Held->Tail.Overlay.ListEntry);
        }
    }
    Ext->Cleanups++;
    L2capUnlock(Ext, CancelIrql);

    L2capCompleteList(&Failed, STATUS_CANCELLED);
    L2capComplete(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// PnP and power (PASSIVE_LEVEL)

static NTSTATUS KivL2capPnpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED; // the dispatch routine completes it again
}

// Sends Irp to the PDO and waits for it; returns its status. Irp is still ours afterwards.
static NTSTATUS L2capForwardAndWait(PL2CAP_EXTENSION Ext, PIRP Irp)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, KivL2capPnpCompletion, &Done, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(Ext->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

static NTSTATUS L2capPassDown(PL2CAP_EXTENSION Ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext->LowerDevice, Irp);
}

// The device starts after the PDO, stops and removes before it. Queries always succeed: the
// radio keeps its channels, held requests and kept frames across a stop, so there is nothing
// to refuse. Surprise removal fails the held requests with STATUS_DELETE_PENDING and refuses
// new ones; removal also frees what was kept, detaches and deletes the device.
static NTSTATUS KivL2capDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    KIRQL OldIrql;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = L2capForwardAndWait(Ext, Irp);
        if (NT_SUCCESS(Status)) {
            KeAcquireSpinLock(&Ext->Lock, &OldIrql);
            Ext->Started = !Ext->Removed;
            KeReleaseSpinLock(&Ext->Lock, OldIrql);
        }
        Irp->IoStatus.Status = Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;

    case IRP_MN_STOP_DEVICE:
        KeAcquireSpinLock(&Ext->Lock, &OldIrql);
        Ext->Started = FALSE;
        KeReleaseSpinLock(&Ext->Lock, OldIrql);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return L2capPassDown(Ext, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return L2capPassDown(Ext, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        L2capShutdown(Ext, FALSE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return L2capPassDown(Ext, Irp);

    case IRP_MN_REMOVE_DEVICE: {
        L2capShutdown(Ext, TRUE);
        L2capAttachRadio(Ext, NULL); // no write can start now; waits for those in progress
        PDEVICE_OBJECT Lower = Ext->LowerDevice;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = L2capPassDown(Ext, Irp);
        Ext->Signature = 0;
        IoDetachDevice(Lower);
        IoDeleteDevice(DeviceObject);
        return Status;
    }

    default:
        return L2capPassDown(Ext, Irp); // status untouched
    }
}

// The device state follows every device SET_POWER; the PDO does the rest. Works at PASSIVE or
// DISPATCH_LEVEL.
static NTSTATUS KivL2capDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->MinorFunction == IRP_MN_SET_POWER &&
        Stack->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(DeviceObject, DevicePowerState, Stack->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Ext->LowerDevice, Irp);
}

// System control (WMI): the device registers nothing, so the PDO answers.
static NTSTATUS KivL2capDispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return L2capPassDown((PL2CAP_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

// ---------------------------------------------------------------------------------------------
// Driver entry, AddDevice, unload (PASSIVE_LEVEL)

static NTSTATUS KivL2capAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT Dev = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(L2CAP_EXTENSION), NULL, Pdo->DeviceType,
                                     0, FALSE, &Dev);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("kivl2cap : AddDevice failed to create the device (0x%x)\n", (unsigned)Status);
        return Status;
    }
    PL2CAP_EXTENSION Ext = (PL2CAP_EXTENSION)Dev->DeviceExtension; // zero-filled
    Ext->Self = Dev;
    Ext->Pdo = Pdo;
    KeInitializeSpinLock(&Ext->Lock);
    InitializeListHead(&Ext->HeldReads);
    InitializeListHead(&Ext->HeldListens);
    InitializeListHead(&Ext->KeptFrames);
    InitializeListHead(&Ext->KeptEvents);
    InitializeListHead(&Ext->Deferred);
    Ext->LowerDevice = IoAttachDeviceToDeviceStack(Dev, Pdo);
    if (Ext->LowerDevice == NULL) {
        DbgPrint("kivl2cap : AddDevice failed to attach to the PDO\n");
        IoDeleteDevice(Dev);
        return STATUS_NO_SUCH_DEVICE;
    }
    Ext->Signature = KIVL2CAP_SIGNATURE;
    Dev->Flags |= Ext->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    Dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Devices are gone by now (removal deletes them), and with them everything they kept.
static VOID KivL2capUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS KivL2capDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = KivL2capDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = KivL2capDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = KivL2capDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = KivL2capDispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KivL2capDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = KivL2capDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = KivL2capDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_PNP] = KivL2capDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = KivL2capDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = KivL2capDispatchPassDown;
    DriverObject->DriverExtension->AddDevice = KivL2capAddDevice;
    DriverObject->DriverUnload = KivL2capUnload;
    return STATUS_SUCCESS;
}
