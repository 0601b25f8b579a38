// l2cappriv.h: the virtual L2CAP driver's device extension and the routines its host-side API
// shares with the driver proper. Private to lower/.
#pragma once

#include "wdm.h"
#include "kivl2cap.h"
#include "l2capradio.h"

#define KIVL2CAP_SIGNATURE 0x7063324Cu // "L2cp"
// Pool tag of kept frames and events: "L2cq" in memory order.
#define KIVL2CAP_KEPT_TAG 0x7163324Cu
// Frames and events kept per device while no request waits for them.
#define KIVL2CAP_KEPT_LIMIT    1024u
#define KIVL2CAP_PAYLOAD_LIMIT 0xFFFFu

// Request kinds that fault injection can fail; indexes L2CAP_EXTENSION::FailCount.
enum L2CAP_KIND { L2capKindRead = 0, L2capKindWrite = 1, L2capKindListen = 2, L2capKindCount };

// A frame or event kept while no request waits for it; non-paged pool, KIVL2CAP_POOL_TAG.
typedef struct _L2CAP_KEPT {
    LIST_ENTRY Link;
    ULONG Length; // bytes in Data: CID prefix + payload, or the 54-byte status record
    UCHAR Data[1];
} L2CAP_KEPT, *PL2CAP_KEPT;

typedef struct _L2CAP_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice; // what AddDevice attached to; PnP and power go there

    // Lock guards everything below. When both are needed the cancel spin lock is taken first:
    // a held request is armed and unlinked only under both, so a request in a Held list always
    // has its cancel routine set, and one that is being cancelled is already gone from it.
    KSPIN_LOCK Lock;
    LIST_ENTRY HeldReads; // IRPs, linked through Tail.Overlay.ListEntry, oldest first
    LIST_ENTRY HeldListens;
    LIST_ENTRY KeptFrames; // L2CAP_KEPT, oldest first
    LIST_ENTRY KeptEvents;
    LIST_ENTRY Deferred; // finished requests parked while completions are deferred
    ULONG DeferredCount;
    BOOLEAN DeferCompletions;
    BOOLEAN DeferWrites; // park writes only, as a slow link would

    ULONG HeldReadCount, HeldListenCount, KeptFrameCount, KeptEventCount;
    BOOLEAN Started;
    BOOLEAN Removed; // surprise removal or removal: no new work is accepted
    CL2capRadio* Radio;
    NTSTATUS FailStatus[L2capKindCount];
    ULONG FailCount[L2capKindCount];
    ULONG FramesDelivered, FramesDropped, EventsDelivered;
    ULONG Cancelled, Cleanups, OpenChannelCount;
    UCHAR OpenChannels[0x10000 / 8]; // bit per CID: open for writes

    // Interlocked, outside Lock: the write path counts without taking it a second time.
    LONG RadioCalls; // Transmit calls in progress
    LONG WritesSent, WritesFailed, ControlsRefused;
    LONG ApplicationRequestsRefused; // channel requests of applications
} L2CAP_EXTENSION, *PL2CAP_EXTENSION;

DRIVER_INITIALIZE KivL2capDriverEntry;

// The extension of Dev when Dev is a live device of this driver, else NULL.
PL2CAP_EXTENSION L2capExtensionOf(PDEVICE_OBJECT Dev);

// Remote-side operations and fault injection, used by the host API (l2caphost.cpp).
NTSTATUS L2capIndicateStatus(PL2CAP_EXTENSION Ext, USHORT Cid, USHORT StatusCode, USHORT Mtu);
NTSTATUS L2capIndicateFrame(PL2CAP_EXTENSION Ext, USHORT Cid, const UCHAR* Payload, ULONG Length);
NTSTATUS L2capFailHeld(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind, NTSTATUS Status);
NTSTATUS L2capFailNext(PL2CAP_EXTENSION Ext, L2CAP_KIND Kind, NTSTATUS Status, ULONG Count);
NTSTATUS L2capAttachRadio(PL2CAP_EXTENSION Ext, CL2capRadio* Radio);
NTSTATUS L2capDeferCompletions(PL2CAP_EXTENSION Ext, BOOLEAN Defer);
NTSTATUS L2capDeferWrites(PL2CAP_EXTENSION Ext, BOOLEAN Defer);
ULONG L2capCompleteDeferred(PL2CAP_EXTENSION Ext, KIRQL Irql);
