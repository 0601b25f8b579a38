// kivrt.h: the host's side of the user-mode kernel runtime.
// Tests, tools and the daemon use this to set the runtime up (scheduler, debug-print sink,
// failure injection), to play the Plug and Play manager (load drivers, build device stacks on the
// root bus, send PnP and power sequences), to act as applications (open, device control, cancel,
// close) and to read what the verifier and the pool accounting recorded. Drivers never include it.
#pragma once

#include "wdm.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kivrt {

// ---------------------------------------------------------------------------------------------
// Runtime set-up

enum class Scheduler {
    Deterministic, // no worker threads: work items run only when the host drains them, FIFO
    Threaded,      // system worker threads (3 delayed, 1 critical by default) run them at once,
                   // each an event loop that also serves the host's watched descriptors
};

struct Options {
    Scheduler Sched = Scheduler::Deterministic;
    unsigned DelayedWorkers = 3;  // threaded only; at least 1
    unsigned CriticalWorkers = 1; // threaded only; at least 1
    // Fills the unused bytes of system buffers with a poison pattern (0xDD), so reads past the
    // input show up.
    bool Verifying = true;
    // Echoes verifier records, failed assertions and breakpoints to the debug-print sink, each as
    // one line beginning "*** ".
    bool EchoReports = true;
    // Threaded scheduler: randomly yields at lock operations and IRQL changes, so races between
    // setting a cancel routine and testing Cancel, or between completion and cancel, show up.
    bool YieldFuzzing = false;
};

// Brings the runtime to a clean state: stops worker threads, forgets all records, drivers,
// devices, names and accounting, and starts again with Opt. Call it with no driver code running.
// Blocks, devices and drivers still present are released without any driver code running;
// check PoolBlocksTotal() and the verifier before resetting.
void Reset(const Options& Opt = Options());
// Stops the worker threads; the runtime stays usable in deterministic mode.
void Shutdown();
Scheduler CurrentScheduler();

// Runs queued work items on the calling thread until none is left (deterministic scheduler), or
// waits until the worker threads are idle and the queues empty (threaded). Returns how many items
// this call ran or saw finish.
size_t DrainWorkItems();
// Deterministic scheduler: runs the oldest queued work item, if any. Returns FALSE when none.
bool RunOneWorkItem();
// Work items queued and not yet finished.
size_t PendingWorkItems();

// Host descriptors served by the system worker threads (threaded scheduler only). A watched
// descriptor's callback runs on one delayed worker at PASSIVE_LEVEL with Events (EPOLLIN, ...)
// as epoll reported them; the descriptor is level-triggered, and each pass of the worker's loop
// calls every ready descriptor once, so one busy descriptor cannot starve the others. Work items
// queued while the callback runs (from a completion routine it caused, say) run on the same
// thread right after it returns, before anything else: the callback's work is done to the end
// with no hand-off to another thread. AddIoWatch returns NULL (errno set) when no worker runs or
// epoll refuses the descriptor. RemoveIoWatch stops the callbacks: once it returns none runs or
// will run (called from the watch's own callback, none will run after it). Remove a watch before
// closing its descriptor, and never while holding a lock its callback takes.
struct IO_WATCH;
using IO_CALLBACK = std::function<void(uint32_t Events)>;
IO_WATCH* AddIoWatch(int Fd, uint32_t Events, IO_CALLBACK Callback);
bool ModifyIoWatch(IO_WATCH* Watch, uint32_t Events);
void RemoveIoWatch(IO_WATCH* Watch);

// ---------------------------------------------------------------------------------------------
// Debug output

// Every DbgPrint line (and the runtime's own reports) goes to the sink, exactly as formatted.
// The default sink writes to stderr. Set a null function to restore it. Calls are serialised;
// the sink must not call back into the runtime.
using DbgSink = std::function<void(const std::string& Text)>;
void SetDbgPrintSink(DbgSink Sink);
// Convenience capture: collects output in memory instead (replaces the sink).
void CaptureDbgPrint();
std::string TakeCapturedDbgPrint();

struct ASSERT_RECORD {
    std::string Expression;
    std::string File;
    ULONG Line;
    std::string Message;
};
std::vector<ASSERT_RECORD> Assertions();
size_t BreakPointCount();

// ---------------------------------------------------------------------------------------------
// Verifier

enum class Severity { Warning, Error };

struct VERIFIER_RECORD {
    Severity Level;
    std::string Check;   // short id, e.g. "double-completion", "irql", "pool-leak"
    std::string Message; // names the call and the IRP or object
    ULONG BugCheck;      // Windows bug check code where one applies (0xC4, 0xC9, ...), else 0
    ULONG_PTR Parameter; // its first parameter or I/O verification error number, else 0
};
std::vector<VERIFIER_RECORD> VerifierRecords();
size_t VerifierErrorCount();         // records with Severity::Error
bool VerifierHas(const char* Check); // any record with that check id
void ClearVerifierRecords();

// ---------------------------------------------------------------------------------------------
// Pool accounting

struct POOL_TAG_USAGE {
    ULONG Tag;
    size_t PagedBlocks, PagedBytes;
    size_t NonPagedBlocks, NonPagedBytes;
};
std::vector<POOL_TAG_USAGE> PoolUsage(); // tags with live blocks, sorted by tag
size_t PoolBlocks(ULONG Tag);            // live blocks under Tag
size_t PoolBlocksTotal();                // live blocks under every tag, system tags included
std::string TagText(ULONG Tag);          // the four bytes in memory order, e.g. "Norn"
// The tag whose bytes in memory order are Text[0..3] ("Norn" -> 0x6E726F4E).
constexpr ULONG MakeTag(const char (&Text)[5])
{
    return ULONG(uint8_t(Text[0])) | ULONG(uint8_t(Text[1])) << 8 | ULONG(uint8_t(Text[2])) << 16 |
           ULONG(uint8_t(Text[3])) << 24;
}
// Tags the runtime uses for what it allocates on the system's behalf.
constexpr ULONG TAG_IRP = MakeTag("Irp ");
constexpr ULONG TAG_SYSTEM_BUFFER = MakeTag("SysB");
constexpr ULONG TAG_DEVICE = MakeTag("Devi");
constexpr ULONG TAG_DRIVER = MakeTag("Driv");
constexpr ULONG TAG_FILE = MakeTag("File");
constexpr ULONG TAG_NAME = MakeTag("ObNm");

// ---------------------------------------------------------------------------------------------
// Failure injection. Each rule lets AfterN matching calls succeed, then fails the next Count.
// Injected failures are not verifier records.

void FailPoolAllocations(ULONG Tag /* 0: any tag */, unsigned AfterN, unsigned Count = 1);
void FailIrpAllocations(unsigned AfterN, unsigned Count = 1);
void FailDeviceCreation(unsigned AfterN, unsigned Count = 1);
void FailPowerIrpRequests(unsigned AfterN, unsigned Count = 1);
void ClearFailureInjection();
size_t InjectedFailures(); // failures injected since the last Reset

// ---------------------------------------------------------------------------------------------
// Drivers and the root bus (the host plays the Plug and Play manager; every call runs on the
// calling thread at PASSIVE_LEVEL and returns when the request has finished)

// Creates a driver object named "\Driver\<Name>" and calls Entry with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<Name>". On failure nothing is left and
// unload is not called.
NTSTATUS LoadDriver(const char16_t* Name, PDRIVER_INITIALIZE Entry, PDRIVER_OBJECT* Driver);
// Unloads a driver that has no devices left (normally automatic, see RemoveDevice): calls
// DriverUnload, then reports what the driver left behind (pool blocks it allocated, by tag;
// lookaside lists, devices, symbolic links, enabled interfaces, queued work items) and frees the
// driver object. Pool blocks belong to the driver whose routine allocated them.
NTSTATUS UnloadDriver(PDRIVER_OBJECT Driver);
bool IsDriverLoaded(PDRIVER_OBJECT Driver);

struct DEVNODE; // one device on the root bus: its PDO and the stack built on it

// Creates a PDO on the root bus ("ROOT\<InstancePath>" style instance path, e.g.
// u"ROOT\\KIVL2CAP\\0000") and builds its stack: AddDevice of the function driver, then of each
// upper filter, in that order. The stack is not started. On failure the devices already added get
// no REMOVE (as in Windows, a failed AddDevice leaves the node disabled); the node is returned so
// the host can still RemoveDevice it.
NTSTATUS CreateDevNode(const char16_t* InstancePath, PDRIVER_OBJECT FunctionDriver,
                       const std::vector<PDRIVER_OBJECT>& UpperFilters, DEVNODE** Node);
PDEVICE_OBJECT DevNodePdo(DEVNODE* Node);
PDEVICE_OBJECT DevNodeTop(DEVNODE* Node); // top of the stack (PDO when nothing is attached)
// Frees a node whose stack has been removed (or never built past the PDO).
void DeleteDevNode(DEVNODE* Node);

// Sends one PnP IRP with Minor to the top of the node's stack and waits for it. The IRP carries
// STATUS_NOT_SUPPORTED and Information 0 initially; Setup may fill the stack location.
// Returns the final IoStatus.Status.
NTSTATUS SendPnp(DEVNODE* Node, UCHAR Minor,
                 const std::function<void(PIO_STACK_LOCATION)>& Setup = nullptr,
                 ULONG_PTR* Information = nullptr);

// The sequences Windows runs. One that does not fit the node's state (a start of a running or
// surprise-removed device, a stop of one that is not running, a second surprise removal) is
// refused with STATUS_INVALID_DEVICE_STATE and nothing is sent.
NTSTATUS StartDevice(DEVNODE* Node);   // START; a failure is followed by REMOVE
NTSTATUS StopDevice(DEVNODE* Node);    // QUERY_STOP, then STOP or CANCEL_STOP
NTSTATUS RestartDevice(DEVNODE* Node); // START after a stop
// QUERY_REMOVE (vetoed while handles are open), then REMOVE_DEVICE or CANCEL_REMOVE. After
// REMOVE, drivers left without devices are unloaded. Returns the query's status on a veto.
NTSTATUS RemoveDevice(DEVNODE* Node);
NTSTATUS SurpriseRemoveDevice(DEVNODE* Node); // SURPRISE_REMOVAL only
NTSTATUS RemoveAfterSurprise(DEVNODE* Node);  // REMOVE_DEVICE once handles are closed (and only
                                              // after a surprise removal)
NTSTATUS QueryCapabilities(DEVNODE* Node, DEVICE_CAPABILITIES* Caps);
// A power IRP (SET_POWER or QUERY_POWER) to the top of the stack; waits for it.
NTSTATUS SendPower(DEVNODE* Node, UCHAR Minor, POWER_STATE_TYPE Type, POWER_STATE State);
// Last state passed to PoSetPowerState for the PDO's stack members (device state of Dev).
POWER_STATE DevicePowerState(PDEVICE_OBJECT Dev);

// The PDO's behaviour for requests that reach it. By default the PDO succeeds START and the
// stop/remove family, fills capabilities, succeeds power, leaves other PnP minors unchanged and
// fails every other major function with STATUS_INVALID_DEVICE_REQUEST. A hook may take over an
// IRP: it returns true when it has completed or pended it (its status in *Status).
using PDO_HOOK = std::function<bool(PDEVICE_OBJECT Pdo, PIRP Irp, NTSTATUS* Status)>;
void SetPdoHook(DEVNODE* Node, PDO_HOOK Hook);

// ---------------------------------------------------------------------------------------------
// Applications

struct APP_FILE; // one handle (the runtime keeps one FILE_OBJECT per handle)
typedef APP_FILE* APP_HANDLE;

// Overlapped I/O: Wait() returns once the request completed; Status/Information are as written by
// the completion (Internal / InternalHigh).
class Overlapped {
public:
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    // Waits at most TimeoutMs (negative: forever). TRUE when completed.
    bool Wait(int TimeoutMs = -1);
    bool IsComplete() const;
    // Fn runs once when the request completes: on the completing thread (possibly at
    // DISPATCH_LEVEL inside a driver's completion), after the completion is visible here and
    // the runtime has let go of this object; at once on the calling thread if it has already
    // completed. A host woken by Fn may free this object at once, so Fn must not use it; Fn
    // should be short (it typically wakes a host's poll loop). An Overlapped serves one request.
    void NotifyOnCompletion(std::function<void()> Fn);
    NTSTATUS Status() const;
    ULONG_PTR Information() const;

    struct STATE;
    STATE* m_State;
};

// CreateFile: Path may be a Win32 name ("\\.\KivSdp0"), an NT name ("\??\X", "\DosDevices\X",
// "\Device\X") or an interface link as returned by EnumerateInterfaces. DesiredAccess takes
// GENERIC_READ/GENERIC_WRITE/FILE_READ_DATA/FILE_WRITE_DATA; ShareMode FILE_SHARE_*.
// Returns the create's status; *Handle is set only on success.
NTSTATUS AppOpen(const char16_t* Path, ULONG DesiredAccess, ULONG ShareMode, bool Overlapped,
                 APP_HANDLE* Handle);
// DeviceIoControl with the buffers of the code's transfer type: METHOD_BUFFERED copies through
// one system buffer; the direct types buffer the input and hand the output over in an MDL;
// METHOD_NEITHER passes both addresses as they are. Synchronous handle: waits and returns the final
// status; *BytesReturned is Information when the status block was written, else 0.
// Overlapped handle (Ov required): returns STATUS_PENDING when the request went pending (Ov
// completes later), otherwise the final status with Ov already complete.
NTSTATUS AppDeviceIoControl(APP_HANDLE Handle, ULONG IoControlCode, const void* InBuffer,
                            ULONG InLength, void* OutBuffer, ULONG OutLength, ULONG* BytesReturned,
                            Overlapped* Ov = nullptr);
// ReadFile / WriteFile on the handle (buffered: SystemBuffer of Length bytes).
NTSTATUS AppRead(APP_HANDLE Handle, void* Buffer, ULONG Length, ULONG* BytesRead,
                 Overlapped* Ov = nullptr);
NTSTATUS AppWrite(APP_HANDLE Handle, const void* Buffer, ULONG Length, ULONG* BytesWritten,
                  Overlapped* Ov = nullptr);
// CancelIo: cancels the calling thread's outstanding requests on the handle.
void AppCancelIo(APP_HANDLE Handle);
// CloseHandle: CLEANUP now; CLOSE when the last request holding the file object completes.
void AppClose(APP_HANDLE Handle);
// Outstanding requests issued on the handle (by any thread).
size_t AppOutstanding(APP_HANDLE Handle);

// Win32 view of a status: the error GetLastError would give (0 for success).
ULONG Win32ErrorFromStatus(NTSTATUS Status);

// Enabled interface links of a class, as strings for AppOpen.
std::vector<std::u16string> EnumerateInterfaces(const GUID& InterfaceClass);

// Utilities for hosts
std::u16string ToU16(const std::string& Ascii);
std::string ToNarrow(const std::u16string& Text); // non-ASCII becomes '?'

} // namespace kivrt
