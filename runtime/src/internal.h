// Private state shared by the runtime's parts: per-thread processor state, the verifier's
// reporting call, pool internals, and the I/O manager's hidden bookkeeping for IRPs, devices,
// drivers and file objects.
#pragma once

#include "wdm.h"
#include "kivrt.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kivrt {
struct DEVNODE;
struct APP_FILE;
} // namespace kivrt

// ---------------------------------------------------------------------------------------------
// Threads: each host thread is one processor with its own IRQL.

struct CANCEL_FRAME;

struct _ETHREAD {
    KIRQL Irql = PASSIVE_LEVEL;
    int SpinLocksHeld = 0;
    int FastMutexesHeld = 0;
    PDRIVER_OBJECT CurrentDriver = nullptr; // driver whose routine this thread is running
    PIRP CancelRoutineIrp = nullptr;        // IRP whose cancel routine is running here
    unsigned Id = 0;
    std::vector<const void*> HeldLocks; // spin locks and fast mutexes, in acquisition order
    uint32_t Random = 0;                // yield fuzzing
};

_ETHREAD* CurrentThread();
std::string DriverName(PDRIVER_OBJECT Driver);

// Runs a driver routine with the thread's current driver set, restoring it afterwards.
class CDriverScope {
public:
    explicit CDriverScope(PDRIVER_OBJECT Driver) : m_Thread(CurrentThread())
    {
        m_Saved = m_Thread->CurrentDriver;
        m_Thread->CurrentDriver = Driver;
    }
    ~CDriverScope() { m_Thread->CurrentDriver = m_Saved; }

private:
    _ETHREAD* m_Thread;
    PDRIVER_OBJECT m_Saved;
};

// ---------------------------------------------------------------------------------------------
// Verifier and reporting

void VfReport(kivrt::Severity Level, const char* Check, ULONG BugCheck, ULONG_PTR Parameter,
              const char* Format, ...) __attribute__((format(printf, 5, 6)));
#define VfError(check, code, param, ...)                                                           \
    VfReport(kivrt::Severity::Error, check, code, param, __VA_ARGS__)
#define VfWarning(check, code, param, ...)                                                         \
    VfReport(kivrt::Severity::Warning, check, code, param, __VA_ARGS__)

// IRQL preconditions: return FALSE (after reporting) when the caller's IRQL is above Max.
bool VfIrqlAtMost(KIRQL Max, const char* Call, ULONG Param);
bool VfIrqlExactly(KIRQL Level, const char* Call, ULONG Param);
// After a driver routine returns: its IRQL must be what it was on entry; no lock may be held.
void VfCheckReturn(const char* RoutineKind, PVOID Routine, KIRQL EntryIrql, int SpinLocksOnEntry,
                   int MutexesOnEntry);

std::string DbgFormat(const char* Format, va_list Args, bool* UsedWide);
// Raw output to the debug-print sink (no 512-byte limit, no formatting).
void DbgEmit(const std::string& Text);
bool RuntimeVerifying();
// Lock-order bookkeeping: Lock is being acquired / released by this thread.
void VfLockAcquired(const void* Lock);
void VfLockReleased(const void* Lock);
// Forgets order edges of locks that lived in freed memory.
void VfForgetLocksIn(const void* P, size_t Size);
void VfResetLockOrder();
// With yield fuzzing on, sometimes gives the processor away (lock operations, IRQL changes).
void VfMaybeYield();
bool RuntimeEchoReports();

// ---------------------------------------------------------------------------------------------
// Failure injection

enum class INJECT_KIND { Pool, Irp, Device, PowerIrp };
// TRUE when this call must fail. Tag applies to Pool only.
bool InjectFailure(INJECT_KIND Kind, ULONG Tag = 0);

// ---------------------------------------------------------------------------------------------
// Pool internals

// Allocates without IRQL checks or failure injection. System blocks belong to no driver; with
// ChargeDriver the block belongs to the driver running on this thread (IRPs it allocates).
PVOID PoolAllocateSystem(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag, bool ChargeDriver = false);
void PoolFreeSystem(PVOID P);
bool PoolIsLiveBlock(const void* P, ULONG* Tag = nullptr);
// Blocks still owned by Driver, reported as leaks (by tag) and released from its ownership.
size_t PoolReportDriverLeaks(PDRIVER_OBJECT Driver);
// Bytes in front of an IRP that hold its IRP_PRIVATE (the pool block starts there).
size_t IrpPrivateSpan();
void PoolReset();
// Lookaside lists still initialised and owned by Driver are reported.
size_t LookasideReportDriverLeaks(PDRIVER_OBJECT Driver);
void LookasideReset();
// Whether a live lookaside list or a queued work item lies in [P, P+Size).
void PoolCheckFreedRange(const void* P, size_t Size);

// ---------------------------------------------------------------------------------------------
// Work queues

void WorkStart(kivrt::Scheduler Sched, unsigned Delayed, unsigned Critical);
void WorkStop();
void WorkClear(); // forgets queued items
size_t WorkOutstandingForDriver(PDRIVER_OBJECT Driver);
bool WorkItemQueuedIn(const void* P, size_t Size);
// The runtime's own deferred jobs (CLOSE after a completion at DISPATCH, deferred unloads):
// run by a worker thread, or by the host's next drain in deterministic mode.
void WorkQueueSystemJob(std::function<void()> Job);
// Host waits: runs queued work (deterministic) while waiting for Done.
void HostWaitUntil(const std::function<bool()>& Done);

// Plain spin on a KSPIN_LOCK word, without IRQL or verifier bookkeeping (the runtime's own
// short critical sections inside structures the kernel defines).
void RawLockAcquire(PKSPIN_LOCK L);
void RawLockRelease(PKSPIN_LOCK L);
// A driver-visible spin lock taken by the runtime itself, without IRQL checks (the caller made
// them), but with owner tracking, so drivers may take the same lock with the Ke calls.
void KiAcquireQueueLock(PKSPIN_LOCK L);
void KiReleaseQueueLock(PKSPIN_LOCK L);

// ---------------------------------------------------------------------------------------------
// IRP bookkeeping, kept in front of every IRP.

enum class IRP_ORIGIN : uint8_t { Driver, App, Pnp, Power };

struct CALL_FRAME {
    CALL_FRAME* Outer = nullptr; // an enclosing call for the same location (after a skip)
    bool Completed = false;      // the completion walk has left this location
    bool PendingMarked = false;  // SL_PENDING_RETURNED was set when it left
    bool Forwarded = false;      // the IRP was sent further down during this call
    bool Shared = false;         // the caller skipped: a lower driver took over this location
    NTSTATUS StatusAtCompletion = 0;
};

struct APP_REQUEST;

struct IRP_PRIVATE {
    static constexpr uint32_t MAGIC = 0x50524949; // "IIRP"
    uint32_t Magic;
    IRP_ORIGIN Origin;
    std::atomic<int> Refs;                // allocation reference + one per call in progress
    std::atomic<bool> Finished;           // the completion walk went past the top
    std::atomic<bool> FreeRequested;      // IoFreeIrp (or the manager) released the allocation
    std::atomic_flag Lock;                // guards the call frames
    PDRIVER_OBJECT Allocator;             // driver that called IoAllocateIrp
    PDRIVER_OBJECT TopRoutineDriver;      // driver that set the top completion routine
    std::atomic<int> PowerStartNextCalls; // PoStartNextPowerIrp calls
    std::atomic<int> CallsMade;           // IoCallDriver/PoCallDriver calls
    UCHAR PowerMinor;                     // PoRequestPowerIrp: minor function
    APP_REQUEST* App;                     // application request data
    kivrt::DEVNODE* Node;                 // PnP/power manager request
    PDEVICE_OBJECT PowerTarget;           // PoRequestPowerIrp: device passed in
    PREQUEST_POWER_COMPLETE PowerCallback;
    PVOID PowerContext;
    POWER_STATE PowerState;
    KEVENT Done;             // manager IRPs: signalled when finished
    CALL_FRAME* Active[128]; // per location, innermost call in progress
};

IRP_PRIVATE* IrpPrivate(PIRP Irp);
// System-made IRPs for the managers and applications.
PIRP IopAllocateIrp(CCHAR StackSize, IRP_ORIGIN Origin);
void IopReleaseIrp(PIRP Irp); // drops the allocation reference
// A reference keeps the IRP's memory while the runtime looks at it (CancelIo).
void IopReferenceIrp(PIRP Irp);
void IopDereferenceIrp(PIRP Irp);
NTSTATUS IopCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool ViaPo);
void IopIrpReset();

// ---------------------------------------------------------------------------------------------
// Objects

struct _DEVOBJ_EXTENSION {
    static constexpr uint32_t MAGIC = 0x4F564544; // "DEVO"
    uint32_t Magic = MAGIC;
    PDEVICE_OBJECT Device = nullptr;
    std::u16string Name;                 // "\Device\X", empty when unnamed
    bool DeletePending = false;          // IoDeleteDevice called
    PDEVICE_OBJECT AttachedTo = nullptr; // the device this one is attached on top of
    LONG FileRefs = 0;                   // file objects (and their IRPs) referencing the device
    kivrt::DEVNODE* Node = nullptr;      // set on the PDO
    POWER_STATE DevicePower{};           // PoSetPowerState
    POWER_STATE SystemPower{};
};

struct DRIVER_PRIVATE {
    static constexpr uint32_t MAGIC = 0x56524444; // "DDRV"
    uint32_t Magic = MAGIC;
    DRIVER_OBJECT Object{};
    DRIVER_EXTENSION Extension{};
    std::u16string Name;
    std::u16string RegistryPath;
    UNICODE_STRING RegistryPathString{};
    std::vector<std::pair<PVOID, PVOID>> ClientExtensions; // id -> block
    std::vector<ULONG> Tags;
    bool Loaded = false;
    bool Internal = false;
};

DRIVER_PRIVATE* DriverPrivate(PDRIVER_OBJECT Driver);
std::u16string Upcase(const std::u16string& S);
std::u16string FromUnicodeString(PCUNICODE_STRING S);
// Resolves a name through symbolic links and enabled interface links to a device.
PDEVICE_OBJECT ObResolveDevice(const std::u16string& Name);
size_t DriverDeviceCount(PDRIVER_OBJECT Driver);
void ObReset();
void ObReportDriverLeftovers(PDRIVER_OBJECT Driver);
void ObDisableInterfacesOf(PDEVICE_OBJECT Pdo);
void ObReferenceDevice(PDEVICE_OBJECT Dev);
void ObDereferenceDevice(PDEVICE_OBJECT Dev);
void IopFinishDelete(PDEVICE_OBJECT Dev);
std::mutex& ObLock();

bool IsLiveDriver(PDRIVER_OBJECT Driver);
void ObForgetInterfacesOf(PDEVICE_OBJECT Pdo);
NTSTATUS IopCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                         PDEVICE_OBJECT* DeviceObject, bool Inject);
// Open file references on the devices of the stack that Dev belongs to.
LONG ObStackFileRefs(PDEVICE_OBJECT Dev);

// Driver lifetime (pnp.cpp)
std::u16string DevNodeInstancePath(kivrt::DEVNODE* Node);
bool PnpInSurpriseRemoval(PDEVICE_OBJECT Dev);
// Whether an application may open a device: not before its node's first start, nor after it is
// removed. Devices outside any node always may.
bool PnpAcceptsOpen(PDEVICE_OBJECT Dev);
void PnpCheckUnloads();
void PnpReset();
PDRIVER_OBJECT PnpRootDriver();
NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS IopCreateDriver(const std::u16string& Name, bool Internal, PDRIVER_OBJECT* Out);
void IopFreeDriver(PDRIVER_OBJECT Driver);

// Application side (app.cpp)
void IopFinishAppIrp(PIRP Irp);
void AppReset();
