// kivl2caphost.h: the host's side of the virtual L2CAP driver.
// Tests, the scenario runner and the daemon load the driver with it, find its device in a device
// stack, attach a radio backend, play the remote side (channel events, inbound frames), inject
// failures of the requests from above and read the device's counters. Drivers never include it.
#pragma once

#include "kivl2cap.h"
#include "kivrt.h"
#include "l2capradio.h"

// The driver's entry point, for kivrt::LoadDriver. KivL2capLoad loads it as "KivL2cap".
DRIVER_INITIALIZE KivL2capDriverEntry;
NTSTATUS KivL2capLoad(PDRIVER_OBJECT* Driver);

// The pool tag of the frames and events the device keeps while no request waits for them.
constexpr ULONG KIVL2CAP_POOL_TAG = kivrt::MakeTag("L2cq");

// The L2CAP device of a device node (the device of this driver in its stack), or NULL.
PDEVICE_OBJECT KivL2capDeviceOfNode(kivrt::DEVNODE* Node);
// Whether Dev is a live device of this driver.
bool KivL2capIsDevice(PDEVICE_OBJECT Dev);

// Attaches Radio to the device (NULL detaches). The radio must stay alive until it is detached
// or the device is removed. Detaching waits for Transmit calls in progress, so call it at
// PASSIVE_LEVEL and never from Transmit. While no radio is attached, nothing can carry a frame:
// writes on open channels fail with STATUS_DEVICE_NOT_READY.
NTSTATUS KivL2capAttachRadio(PDEVICE_OBJECT Dev, CL2capRadio* Radio);

// The remote side. Callable at up to DISPATCH_LEVEL on any thread, also from the completion
// routine of a request of the device (it holds no lock while it completes one).
//
// A channel event: completes the oldest held listen-for-status request with the record, or keeps
// the event, in order, until one arrives. CONNECTED opens Cid for writes; DISCONNECTED and
// INVALIDATED close it; any other code (KIVL2CAP_STATUS_* or not) changes no channel.
// Returns STATUS_SUCCESS (delivered), STATUS_PENDING (kept), STATUS_INSUFFICIENT_RESOURCES or
// STATUS_DEVICE_BUSY (could not be kept: nothing changed), STATUS_DELETE_PENDING (device removed).
NTSTATUS KivL2capIndicateStatus(PDEVICE_OBJECT Dev, USHORT Cid, USHORT StatusCode, USHORT Mtu);
inline NTSTATUS KivL2capIndicateConnect(PDEVICE_OBJECT Dev, USHORT Cid, USHORT Mtu)
{
    return KivL2capIndicateStatus(Dev, Cid, KIVL2CAP_STATUS_CONNECTED, Mtu);
}
inline NTSTATUS KivL2capIndicateDisconnect(PDEVICE_OBJECT Dev, USHORT Cid)
{
    return KivL2capIndicateStatus(Dev, Cid, KIVL2CAP_STATUS_DISCONNECTED, 0);
}
// An inbound frame on Cid with Length payload bytes (at most KIVL2CAP_MAX_PAYLOAD). Frames are
// not filtered by channel state: the remote side may send on any CID. The frame (CID prefix and
// payload) completes the oldest held read, or is kept, in order, until a read arrives; a frame
// longer than the read's buffer is dropped with a message. At most KIVL2CAP_MAX_KEPT frames and
// as many events are kept per device. Returns STATUS_SUCCESS (delivered),
// STATUS_PENDING (kept), STATUS_BUFFER_OVERFLOW (dropped: longer than the oldest read's buffer),
// STATUS_INVALID_PARAMETER (too long), STATUS_INSUFFICIENT_RESOURCES or STATUS_DEVICE_BUSY (not
// kept, nothing changed), STATUS_DELETE_PENDING (device removed).
constexpr ULONG KIVL2CAP_MAX_PAYLOAD = 0xFFFF;
constexpr ULONG KIVL2CAP_MAX_KEPT = 1024;
NTSTATUS KivL2capIndicateFrame(PDEVICE_OBJECT Dev, USHORT Cid, const UCHAR* Payload, ULONG Length);

// Fault injection on the requests from above.
enum class KIVL2CAP_REQUEST { Read, Write, Listen };
// The next Count requests of that kind to arrive are completed at once with Status (a failure
// status), without being held or sent. Count 0 clears the rule.
NTSTATUS KivL2capFailNextRequest(PDEVICE_OBJECT Dev, KIVL2CAP_REQUEST Kind, NTSTATUS Status,
                                 ULONG Count = 1);
// Completes the oldest held read or listen request with Status now, as a failing radio would.
// STATUS_NOT_FOUND when none is held; writes are never held (STATUS_INVALID_PARAMETER).
NTSTATUS KivL2capFailHeldRequest(PDEVICE_OBJECT Dev, KIVL2CAP_REQUEST Kind, NTSTATUS Status);

// Deferred completion ("force pending"): while on, a request the device would complete in its
// dispatch routine (a write, a read or listen served from what was kept, a refused or failed
// request) is marked pending and parked with its result instead. KivL2capCompleteDeferred
// completes the parked requests, oldest first, at Irql (not below the caller's IRQL), on the
// calling thread; so the driver above meets completions that come after its call returned, at
// PASSIVE or DISPATCH_LEVEL, from another thread if the host likes. Removal completes what is
// still parked; turning deferral off does not. Returns how many were completed.
NTSTATUS KivL2capDeferCompletions(PDEVICE_OBJECT Dev, bool Defer);
// The same for writes alone, as over a slow link: each write is sent (the radio sees it) and
// parked with its result; everything else completes as usual.
NTSTATUS KivL2capDeferWrites(PDEVICE_OBJECT Dev, bool Defer);
ULONG KivL2capCompleteDeferred(PDEVICE_OBJECT Dev, KIRQL Irql = DISPATCH_LEVEL);

// What the device holds and has done, for tests and debugging.
struct KIVL2CAP_COUNTERS {
    ULONG HeldReads, HeldListens;         // requests waiting now
    ULONG KeptFrames, KeptEvents;         // frames and events waiting for a request
    ULONG Parked;                         // finished requests waiting for deferred completion
    ULONG FramesDelivered, FramesDropped; // reads completed with a frame; frames too long
    ULONG EventsDelivered;                // listens completed with an event
    ULONG WritesSent, WritesFailed;       // writes the radio took; writes failed for any reason
    ULONG Cancelled;                      // held requests completed by cancellation or cleanup
    ULONG Cleanups, ControlsRefused;      // cleanups seen; other control codes refused
    ULONG OpenChannels;                   // channels open for writes
    ULONG ApplicationRequestsRefused;     // listens, reads and writes of applications refused
    bool Started, Removed;
};
NTSTATUS KivL2capQueryCounters(PDEVICE_OBJECT Dev, KIVL2CAP_COUNTERS* Counters);
// Whether Cid is open for writes on the device.
bool KivL2capIsChannelOpen(PDEVICE_OBJECT Dev, USHORT Cid);
