// The SDP device: the CKivSdp device class above an L2CAP device, the
// driver's constants and the routines the system calls. The SDP logic itself
// is the platform-free core in sdp/; this layer moves frames, events and
// application requests between it, the lower driver and the applications.
#pragma once

#include "ThinFilterDevice.h"
#include "MemList.h"
#include "EventLog.h"
#include "IrpQueue.h"

#include "kivl2cap.h"
#include "kivsdpioctl.h"
#include "sdpcore.h"

// ---- Lower L2CAP driver interface ----

// Only the CID, the status code and the MTU of a status record are read.
constexpr ULONG KIVL2CAP_LISTEN_STATUS_SIZE = sizeof(KIVL2CAP_LISTEN_STATUS);
constexpr ULONG KIVL2CAP_STATUS_CID_OFFSET = offsetof(KIVL2CAP_LISTEN_STATUS, Cid);
constexpr ULONG KIVL2CAP_STATUS_CODE_OFFSET = offsetof(KIVL2CAP_LISTEN_STATUS, StatusCode);
constexpr ULONG KIVL2CAP_STATUS_MTU_OFFSET = offsetof(KIVL2CAP_LISTEN_STATUS, Mtu);
static_assert(KIVL2CAP_MAX_FRAME_SIZE == MAX_SDP_DATA_PACKET_SIZE, "one frame size both sides");

// ---- Driver constants ----

constexpr ULONG KIVSDP_LISTEN_IRP_COUNT = 4;
constexpr ULONG KIVSDP_READ_IRP_COUNT = 3;
constexpr USHORT KIVSDP_WRITE_BUFFER_DEPTH = 5;
constexpr USHORT KIVSDP_WORK_ITEM_DEPTH = 3;
constexpr ULONG KIVSDP_MAX_INSTANCES = 10;
constexpr ULONG KIVSDP_MIN_FRAME_SIZE = 7; // CID + one PDU header
constexpr ULONG KIVSDP_DEBUG_INFO_SIZE = sizeof(KIVSDP_DEBUG_INFO);
// Frame blocks and work-item contexts ('N','r','n','U').
constexpr ULONG KIVSDP_UNIT_POOL_TAG = NORN_UNIT_POOL_TAG;

static_assert(MAX_SDP_DATA_PACKET_SIZE > MAX_PDU_SIZE + 2, "a frame must hold CID + largest PDU");

class CKivSdp;

// Where a send of one of the device's own requests stands.
enum : LONG {
    KIVSDP_SEND_IDLE = 0,  // no send under way
    KIVSDP_SEND_BUSY = 1,  // inside IoCallDriver
    KIVSDP_SEND_AGAIN = 2, // completed during that call; the sender sends it again
};

// A send that a lower driver keeps completing inside IoCallDriver is sent
// again at most this many times in that call; the next rounds run from a work
// item, so the sender (a start, or the remote side's completion) goes on.
constexpr ULONG KIVSDP_INLINE_SEND_ROUNDS = 8;

// The work item that goes on with the rounds of one listen or read request;
// one per request, queued only while the request is in this driver's hands.
struct KIVSDP_RESEND_CONTEXT {
    WORK_QUEUE_ITEM WorkItem;
    CKivSdp* Device;
    PIRP Irp;
    ULONG Index;
};

// A response write the device keeps: its request and its block of
// WriteBufferList, both made the first time the slot is used and reused for
// every response after that. Responses past the slots in flight get a block
// and a request of their own, released when they complete.
constexpr ULONG KIVSDP_RESPONSE_SLOT_COUNT = KIVSDP_WRITE_BUFFER_DEPTH;
struct KIVSDP_RESPONSE_SLOT {
    PIRP Irp;
    PVOID Block;
};

// One frame in work: the completed read request that holds it.
struct KIVSDP_WORK_ITEM_CONTEXT {
    WORK_QUEUE_ITEM WorkItem;
    PIRP Irp;
    CKivSdp* Device;
};

// Where a control request that waits goes once its parameters passed: its
// queue, the trace of its start, its cancel routine and the counters of the
// requests of its kind pending and finished.
struct KIVSDP_QUEUED_KIND {
    CIrpQueue* Queue;
    const char* StartTrace;
    ULONG StartZone;
    NORN_CANCEL* CancelRoutine;
    ULONG* Pending;
    ULONG* Finished;
};

// ---- Debug zones ----

// The driver's debug settings record; only ulZoneMask is read by the code.
struct DBGPARAM {
    WCHAR lpszName[32];
    WCHAR rglpszZones[16][32];
    ULONG ulZoneMask;
};
extern DBGPARAM dpCurSettings;

// Read without a lock on every message; a change shows with the next one.
inline BOOLEAN KivSdpZoneOn(ULONG Zone)
{
    return (__atomic_load_n(&dpCurSettings.ulZoneMask, __ATOMIC_RELAXED) & Zone) != 0;
}
// Sets the driver's mask and the core's, which gates the core's own messages.
VOID KivSdpSetZoneMask(ULONG Mask);

#define KIVSDP_PRINT(Zone, ...)                                                                    \
    do {                                                                                           \
        if (KivSdpZoneOn(Zone)) DbgPrint(__VA_ARGS__);                                             \
    } while (0)

// Addresses are printed with 0x%x: the low 32 bits.
inline ULONG KivSdpLow32(const void* p)
{
    return ULONG(ULONG_PTR(p));
}

// ---- Routines the system calls ----

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS KivSdpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID KivSdpUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                      const WCHAR* Name, ULONG DeviceType, PUNICODE_STRING RegistryPath,
                      ULONG Instance, CKivSdp** ppDevice, PDEVICE_OBJECT* ppDeviceObject,
                      PVOID Context, ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize);

DRIVER_DISPATCH KivSdpIoctlDispatch;
DRIVER_DISPATCH KivSdpCleanupDispatch;
NORN_STARTIO KivSdpRequestStartIo;
NORN_STARTIO KivSdpResponseStartIo;
NORN_STARTIO KivSdpStatusStartIo;
NORN_CANCEL KivSdpRequestIrpCancelCallback;
NORN_CANCEL KivSdpResponseIrpCancelCallback;
NORN_CANCEL KivSdpStatusIrpCancelCallback;
IO_COMPLETION_ROUTINE KivSdpListenStatusComplete;
IO_COMPLETION_ROUTINE KivSdpCancelIrpsCompletionRoutine;
WORKER_THREAD_ROUTINE KivSdpProcessSdpPacket;
WORKER_THREAD_ROUTINE KivSdpResendListenWorker;
WORKER_THREAD_ROUTINE KivSdpResendReadWorker;

// ---- The SDP device ----

// Lives in the extension of its device object, zero-filled before the
// constructor runs. Owns the database, the channel table, the three request
// queues, its own requests to the lower driver and their buffers, the two
// block pools and the debug counters.
//
// Locks, in the order they may nest: the device spin lock (taking the current
// request of a queue for an event), then the system cancel spin lock, then a
// queue's own lock. m_ChannelLock and m_TrafficLock are leaves. The database
// fast mutex is taken at PASSIVE_LEVEL only, never under a spin lock.
class CKivSdp : public CThinFilterDevice {
public:
    CKivSdp(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject, const WCHAR* Name,
            ULONG DeviceType, PUNICODE_STRING RegistryPath, ULONG Instance,
            PDEVICE_OBJECT* ppDeviceObject, PVOID Context);
    ~CKivSdp() override;

    NTSTATUS PnpSetupDeviceResources(PCM_RESOURCE_LIST Raw, PCM_RESOURCE_LIST Translated) override;
    NTSTATUS PnpFreeDeviceResources(BOOLEAN Unexpected) override;
    NTSTATUS OnPnpSurpriseRemoval(PIRP Irp) override;
    NTSTATUS OnPnpRemoveDevice(PIRP Irp) override;

    // The class's own interface operations: a null link name means
    // InterfaceName. They overload the framework's virtual ones, which stay
    // visible; the framework only calls those for an interface registered
    // through it, which this device never does.
    using CThinFilterDevice::DisableDeviceInterface;
    using CThinFilterDevice::EnableDeviceInterface;
    using CThinFilterDevice::RegisterDeviceInterface;
    NTSTATUS RegisterDeviceInterface(const GUID* pGuid, PUNICODE_STRING pLinkName,
                                     PUNICODE_STRING pReference);
    NTSTATUS EnableDeviceInterface(PUNICODE_STRING pLinkName);
    NTSTATUS DisableDeviceInterface(PUNICODE_STRING pLinkName);
    VOID Detach();

    // ---- Channel table (any IRQL up to DISPATCH_LEVEL) ----
    NTSTATUS CreateL2capContext(USHORT Cid, USHORT Mtu);
    NTSTATUS DestroyL2capContext(USHORT Cid);
    NTSTATUS ReConfigL2capContext(USHORT Cid, USHORT Mtu);
    NTSTATUS GetMaxMTUFromCID(USHORT Cid, PUSHORT pMtu);

    // ---- Database (PASSIVE_LEVEL) ----
    VOID DatabaseLock();
    VOID DatabaseUnlock();
    NTSTATUS CreateServiceRecord(ULONG hRec);

    // ---- Listen-status events ----
    NTSTATUS InitializeListenIrps();
    NTSTATUS SetApiStatus(USHORT Cid, USHORT Status);
    VOID StatusProtocolFound(const UCHAR* pStatus);
    VOID StatusConnectRequest(const UCHAR* pStatus);
    VOID StatusRequestFailed(const UCHAR* pStatus);
    VOID StatusConnected(const UCHAR* pStatus);
    VOID StatusConfigEnded(const UCHAR* pStatus);
    VOID StatusDisconnected(const UCHAR* pStatus);
    VOID StatusInvalidated(const UCHAR* pStatus);
    VOID StatusTimeout(const UCHAR* pStatus);

    // ---- Inbound data path ----
    NTSTATUS StartupIrps();
    NTSTATUS SendReadFileIrps();
    VOID InitializeReadFileIrp(PIRP Irp, ULONG Index);
    VOID ReSendReadFileIrp(PIRP Irp);
    VOID CancelIrps();
    PIRP GetNewResponseIrp(PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE Routine);
    // A response block: a free slot's, else one of WriteBufferList; NULL when
    // none can be had. ReleaseResponseBlock gives back one that was not sent.
    PVOID TakeResponseBlock();
    VOID ReleaseResponseBlock(PVOID Block);
    static NTSTATUS DefaultReadFileCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     PVOID Context);
    static NTSTATUS IncomingRequestCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     PVOID Context);
    // Walks one frame of the read request Irp (PASSIVE_LEVEL, work item).
    VOID ProcessFrame(PIRP Irp);
    SDP_SERVER_HOST CoreHost();
    VOID ProcessSdpRequest(const UCHAR* pPdu, ULONG PduLen, USHORT Cid);
    VOID ProcessSdpResponse(const UCHAR* pPdu, ULONG PduLen, USHORT Cid);

    // ---- Application requests ----
    NTSTATUS IoctlDispatch(PIRP Irp);
    // FALSE when Code is not one of the requests answered at once, or queued.
    BOOLEAN ImmediateIoctl(ULONG Code, PIRP Irp, PIO_STACK_LOCATION pStack, NTSTATUS* pStatus);
    BOOLEAN QueuedIoctl(ULONG Code, PIRP Irp, PIO_STACK_LOCATION pStack, NTSTATUS* pStatus,
                        KIVSDP_QUEUED_KIND* pKind);
    NTSTATUS CleanupDispatch(PIRP Irp);
    static NTSTATUS IoctlCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    NTSTATUS UserIoctlAddRecord(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlDeleteRecord(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlAddAttribute(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlDeleteAttribute(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlVerifyDataElement(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlGetDatabase(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS UserIoctlGetRecordHandles(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS SendSdpRequestCheckParameters(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS ListenForSdpResponseCheckParameters(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS ListenForSdpStatusCheckParameters(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS PrepareSdpRequestIrp(PIRP Irp, PIO_STACK_LOCATION pStack);
    static NTSTATUS SendSdpRequestCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                    PVOID Context);
    NTSTATUS IoctlGetDebugInfo(PIRP Irp, PIO_STACK_LOCATION pStack);
    NTSTATUS ResetDebugStuff();
    NTSTATUS IoctlSetDebugZoneMask(PIRP Irp, PIO_STACK_LOCATION pStack);

    // Start and cancel routines reach their queue through these.
    VOID RequestStartIo(PIRP Irp);
    VOID ListenStartIo(CIrpQueue& Queue, PIRP Irp, ULONG Code);
    // Entered holding the cancel spin lock.
    VOID CancelQueuedIrp(CIrpQueue& Queue, PIRP Irp, ULONG* pFinished, ULONG* pPending);
    // Takes the current request of a listen queue
    // for an event, or NULL when there is none to take. Current requests found
    // cancelled with no cancel routine left to finish them are completed here.
    PIRP TakeCurrentListenIrp(CIrpQueue& Queue, ULONG* pFinished, ULONG* pPending);

    static CKivSdp* FromDeviceObject(PDEVICE_OBJECT DeviceObject)
    {
        return static_cast<CKivSdp*>(DeviceObject->DeviceExtension);
    }

    // ---- State, in the order the device declares it ----

    // RecordList, DatabaseChangeCount, NextRecordHandle, OutstandingAllocations,
    // TotalAllocations live in the database object.
    CSdpDatabase Database;

    // Debug counters: plain statistics, updated with relaxed atomics so that
    // concurrent updates are not lost.
    ULONG IoctlCount;
    ULONG SendRequestCount;
    ULONG RequestsPassedDown;
    ULONG RequestsFinished;
    ULONG ListenResponseCount;
    ULONG ResponsesDelivered;
    ULONG ListenStatusCount;
    ULONG StatusDelivered;
    ULONG ListenIrpsSent;
    ULONG ListenIrpsCompleted;
    ULONG ReadIrpsSent;
    ULONG ReadIrpsCompleted;
    ULONG ResponsesSent;
    ULONG ResponsesCompleted;
    ULONG PendingRequests;
    ULONG PendingResponseListens;
    ULONG PendingStatusListens;

    PIRP ListenIrps[KIVSDP_LISTEN_IRP_COUNT];
    UCHAR ListenStatusBuffers[KIVSDP_LISTEN_IRP_COUNT][KIVL2CAP_LISTEN_STATUS_SIZE];
    CChannelTable ChannelTable;
    CEventLog EventLog;
    CIrpQueue m_RequestQueue;
    CIrpQueue m_ResponseQueue;
    CIrpQueue m_StatusQueue;
    PIRP ReadIrps[KIVSDP_READ_IRP_COUNT];
    UCHAR ReadBuffers[KIVSDP_READ_IRP_COUNT][MAX_SDP_DATA_PACKET_SIZE];
    CMemoryList* WriteBufferList;
    FAST_MUTEX DatabaseMutex;
    CMemoryList* WorkItemList;
    UNICODE_STRING InterfaceName;

private:
    friend IO_COMPLETION_ROUTINE KivSdpListenStatusComplete;
    friend IO_COMPLETION_ROUTINE KivSdpCancelIrpsCompletionRoutine;
    friend WORKER_THREAD_ROUTINE KivSdpResendListenWorker;
    friend WORKER_THREAD_ROUTINE KivSdpResendReadWorker;

    // Requests this device allocated for the lower driver and has not yet
    // released; the destructor and a restart wait until none is left.
    VOID OwnIrpAllocated();
    VOID OwnIrpFreed(PIRP Irp);
    // One that is back and kept for reuse.
    VOID OwnIrpReturned();
    VOID WaitForOwnIrps();
    // Re-sending a listen or read request after the traffic was stopped would
    // leave it in the lower driver for good: re-sends run between Begin and
    // End, and CancelIrps waits for those in progress before its cleanup.
    BOOLEAN BeginResend();
    VOID EndResend();
    VOID SendListenIrp(PIRP Irp, ULONG Index);
    // A lower driver that kept events or frames while none of this device's
    // requests waited completes a request inside the very IoCallDriver that
    // sends it. Re-sending from that completion would nest one send per kept
    // event and can exhaust the stack, so a completion that finds its
    // request's send still under way leaves the re-send to that send, which
    // loops. CallOwnIrp sends with the state busy and returns TRUE when a
    // completion asked for another round; DeferResend is that request.
    BOOLEAN CallOwnIrp(PIRP Irp, LONG* pSendState, NTSTATUS* pStatus);
    BOOLEAN DeferResend(LONG* pSendState);
    VOID ResendListenIrp(PIRP Irp, ULONG Index);
    VOID ResendReadFileIrpRounds(PIRP Irp, ULONG Index);
    // The rounds of one request: Prepare fills it and counts it, Failed reports
    // a send the lower driver refused; after a stop the request is released
    // from *pSlot instead of sent. Past KIVSDP_INLINE_SEND_ROUNDS the rounds go
    // on in pResend's work item, which runs Worker.
    template <typename PREPARE, typename FAILED>
    VOID SendRounds(PIRP Irp, PIRP* pSlot, LONG* pSendState, KIVSDP_RESEND_CONTEXT* pResend,
                    PWORKER_THREAD_ROUTINE Worker, PREPARE Prepare, FAILED Failed);
    // The first round of one kind of lower request: Count slots, each filled by Prepare(Irp, i),
    // counted in *pSent and sent, its inline rounds left to Resend(Irp, i). Stops at the first
    // request that cannot be had or that the lower driver refuses, with its status; *pFailed
    // is its index and *pAllocFailed says which of the two it was.
    typedef VOID (CKivSdp::*ROUND_STEP)(PIRP Irp, ULONG Index);
    NTSTATUS SendFirstRound(PIRP* Slots, LONG* SendStates, ULONG Count, ULONG* pSent,
                            ROUND_STEP Prepare, ROUND_STEP Resend, ULONG* pFailed,
                            BOOLEAN* pAllocFailed);
    PIRP AllocateOwnIrp();
    // The slot whose block Block is, or KIVSDP_RESPONSE_SLOT_COUNT.
    ULONG ResponseSlotOf(PVOID Block);
    VOID ReleaseResponseSlot(ULONG Slot);
    VOID FreeResponseSlots();

    KSPIN_LOCK m_ChannelLock;
    KSPIN_LOCK m_TrafficLock;
    BOOLEAN m_TrafficStopped;
    LONG m_ResendsInProgress;
    KEVENT m_ResendsDoneEvent;
    LONG m_OwnIrps;
    KEVENT m_OwnIrpsDoneEvent;
    // KIVSDP_SEND_* per listen and per read request.
    LONG m_ListenSendState[KIVSDP_LISTEN_IRP_COUNT];
    LONG m_ReadSendState[KIVSDP_READ_IRP_COUNT];
    KIVSDP_RESEND_CONTEXT m_ListenResend[KIVSDP_LISTEN_IRP_COUNT];
    KIVSDP_RESEND_CONTEXT m_ReadResend[KIVSDP_READ_IRP_COUNT];
    KIVSDP_RESPONSE_SLOT m_ResponseSlots[KIVSDP_RESPONSE_SLOT_COUNT];
    // Non-zero while the slot's block is with the core or its write is in
    // flight.
    LONG m_ResponseSlotBusy[KIVSDP_RESPONSE_SLOT_COUNT];
};

// Counter helpers: statistics shared by every processor.
inline VOID KivSdpCountUp(ULONG* pCounter)
{
    __atomic_fetch_add(pCounter, 1u, __ATOMIC_RELAXED);
}
inline VOID KivSdpCountDown(ULONG* pCounter)
{
    __atomic_fetch_sub(pCounter, 1u, __ATOMIC_RELAXED);
}
inline ULONG KivSdpCounter(const ULONG* pCounter)
{
    return __atomic_load_n(pCounter, __ATOMIC_RELAXED);
}
