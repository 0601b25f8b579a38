// l2caphost.cpp: the host's side of the virtual L2CAP driver (see kivl2caphost.h). Checks the
// device, then calls the driver's own routines, which do their work under the device's locks.

#include "kivl2caphost.h"
#include "l2cappriv.h"

static_assert(KIVL2CAP_POOL_TAG == KIVL2CAP_KEPT_TAG, "one kept-block tag");
static_assert(KIVL2CAP_MAX_KEPT == KIVL2CAP_KEPT_LIMIT, "one kept-block limit");
static_assert(KIVL2CAP_MAX_PAYLOAD == KIVL2CAP_PAYLOAD_LIMIT, "one payload limit");

NTSTATUS KivL2capLoad(PDRIVER_OBJECT* Driver)
{
    return kivrt::LoadDriver(u"KivL2cap", KivL2capDriverEntry, Driver);
}

bool KivL2capIsDevice(PDEVICE_OBJECT Dev)
{
    return L2capExtensionOf(Dev) != nullptr;
}

PDEVICE_OBJECT KivL2capDeviceOfNode(kivrt::DEVNODE* Node)
{
    if (Node == nullptr) return nullptr;
    for (PDEVICE_OBJECT Dev = kivrt::DevNodePdo(Node)->AttachedDevice; Dev != nullptr;
         Dev = Dev->AttachedDevice)
        if (L2capExtensionOf(Dev) != nullptr) return Dev;
    return nullptr;
}

NTSTATUS KivL2capAttachRadio(PDEVICE_OBJECT Dev, CL2capRadio* Radio)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capAttachRadio(Ext, Radio) : STATUS_INVALID_PARAMETER;
}

NTSTATUS CL2capRadio::Attach(PDEVICE_OBJECT Dev)
{
    PDEVICE_OBJECT Previous = Device();
    if (Previous == Dev) return STATUS_SUCCESS;
    if (!KivL2capIsDevice(Dev)) return STATUS_INVALID_PARAMETER;
    if (Previous != nullptr) Detach();
    m_Device = Dev;
    NTSTATUS Status = KivL2capAttachRadio(Dev, this);
    if (!NT_SUCCESS(Status)) m_Device = nullptr;
    return Status;
}

void CL2capRadio::Detach()
{
    PDEVICE_OBJECT Dev = Device();
    // Detached() clears m_Device once the device has let go; a removed device already has.
    if (Dev != nullptr) KivL2capAttachRadio(Dev, nullptr);
}

NTSTATUS KivL2capIndicateStatus(PDEVICE_OBJECT Dev, USHORT Cid, USHORT StatusCode, USHORT Mtu)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capIndicateStatus(Ext, Cid, StatusCode, Mtu) : STATUS_INVALID_PARAMETER;
}

NTSTATUS KivL2capIndicateFrame(PDEVICE_OBJECT Dev, USHORT Cid, const UCHAR* Payload, ULONG Length)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capIndicateFrame(Ext, Cid, Payload, Length) : STATUS_INVALID_PARAMETER;
}

static L2CAP_KIND KindOf(KIVL2CAP_REQUEST Kind)
{
    switch (Kind) {
    case KIVL2CAP_REQUEST::Read:
        return L2capKindRead;
    case KIVL2CAP_REQUEST::Write:
        return L2capKindWrite;
    case KIVL2CAP_REQUEST::Listen:
        break;
    }
    return L2capKindListen;
}

NTSTATUS KivL2capFailNextRequest(PDEVICE_OBJECT Dev, KIVL2CAP_REQUEST Kind, NTSTATUS Status,
                                 ULONG Count)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capFailNext(Ext, KindOf(Kind), Status, Count) : STATUS_INVALID_PARAMETER;
}

NTSTATUS KivL2capFailHeldRequest(PDEVICE_OBJECT Dev, KIVL2CAP_REQUEST Kind, NTSTATUS Status)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capFailHeld(Ext, KindOf(Kind), Status) : STATUS_INVALID_PARAMETER;
}

NTSTATUS KivL2capDeferCompletions(PDEVICE_OBJECT Dev, bool Defer)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capDeferCompletions(Ext, Defer ? TRUE : FALSE) : STATUS_INVALID_PARAMETER;
}

NTSTATUS KivL2capDeferWrites(PDEVICE_OBJECT Dev, bool Defer)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    return Ext ? L2capDeferWrites(Ext, Defer ? TRUE : FALSE) : STATUS_INVALID_PARAMETER;
}

ULONG KivL2capCompleteDeferred(PDEVICE_OBJECT Dev, KIRQL Irql)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    if (Ext == nullptr || Irql > DISPATCH_LEVEL || Irql < KeGetCurrentIrql()) return 0;
    return L2capCompleteDeferred(Ext, Irql);
}

NTSTATUS KivL2capQueryCounters(PDEVICE_OBJECT Dev, KIVL2CAP_COUNTERS* Counters)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    if (Ext == nullptr || Counters == nullptr) return STATUS_INVALID_PARAMETER;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    Counters->HeldReads = Ext->HeldReadCount;
    Counters->HeldListens = Ext->HeldListenCount;
    Counters->KeptFrames = Ext->KeptFrameCount;
    Counters->KeptEvents = Ext->KeptEventCount;
    Counters->Parked = Ext->DeferredCount;
    Counters->FramesDelivered = Ext->FramesDelivered;
    Counters->FramesDropped = Ext->FramesDropped;
    Counters->EventsDelivered = Ext->EventsDelivered;
    Counters->Cancelled = Ext->Cancelled;
    Counters->Cleanups = Ext->Cleanups;
    Counters->OpenChannels = Ext->OpenChannelCount;
    Counters->Started = Ext->Started != FALSE;
    Counters->Removed = Ext->Removed != FALSE;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    Counters->WritesSent = ULONG(InterlockedCompareExchange(&Ext->WritesSent, 0, 0));
    Counters->WritesFailed = ULONG(InterlockedCompareExchange(&Ext->WritesFailed, 0, 0));
    Counters->ControlsRefused = ULONG(InterlockedCompareExchange(&Ext->ControlsRefused, 0, 0));
    Counters->ApplicationRequestsRefused =
        ULONG(InterlockedCompareExchange(&Ext->ApplicationRequestsRefused, 0, 0));
    return STATUS_SUCCESS;
}

bool KivL2capIsChannelOpen(PDEVICE_OBJECT Dev, USHORT Cid)
{
    PL2CAP_EXTENSION Ext = L2capExtensionOf(Dev);
    if (Ext == nullptr) return false;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->Lock, &OldIrql);
    bool Open = (Ext->OpenChannels[Cid >> 3] & (1u << (Cid & 7))) != 0;
    KeReleaseSpinLock(&Ext->Lock, OldIrql);
    return Open;
}
