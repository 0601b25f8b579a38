// Kernel services: per-thread IRQL, spin locks that really exclude, events and waits, fast
// mutexes, time, interlocked lists and the raised-status exception.
#include "internal.h"

#include <chrono>
#include <thread>

namespace {

std::atomic<unsigned> g_NextThreadId{1};

// Waiters park on a condition variable chosen by the object's address; the object's state is
// only changed under the bucket's mutex, so a set can never slip between a test and a wait.
struct WAIT_BUCKET {
    std::mutex M;
    std::condition_variable Cv;
};
WAIT_BUCKET g_Buckets[64];

WAIT_BUCKET& BucketOf(const void* P)
{
    return g_Buckets[(uintptr_t(P) >> 4) % 64];
}

ULONG_PTR ThreadToken()
{
    return ULONG_PTR(CurrentThread());
}

LONGLONG SystemTime100ns()
{
    using namespace std::chrono;
    // 100 ns intervals since 1601-01-01, as the kernel counts.
    const LONGLONG EpochDelta = 116444736000000000LL;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 +
           EpochDelta;
}

// Turns a kernel time-out into a steady-clock deadline; FALSE for "forever".
bool DeadlineFrom(PLARGE_INTEGER Timeout, std::chrono::steady_clock::time_point* Deadline)
{
    if (Timeout == nullptr) return false;
    LONGLONG T = Timeout->QuadPart;
    LONGLONG Relative = T < 0 ? -T : (T - SystemTime100ns());
    if (Relative < 0) Relative = 0;
    *Deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(Relative * 100);
    return true;
}

} // namespace

_ETHREAD* CurrentThread()
{
    thread_local _ETHREAD t_Thread;
    if (t_Thread.Id == 0) t_Thread.Id = g_NextThreadId.fetch_add(1);
    return &t_Thread;
}

PETHREAD PsGetCurrentThread()
{
    return CurrentThread();
}

// ---------------------------------------------------------------------------------------------
// IRQL

KIRQL KeGetCurrentIrql()
{
    return CurrentThread()->Irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    _ETHREAD* T = CurrentThread();
    if (NewIrql < T->Irql || NewIrql > HIGH_LEVEL)
        VfError("irql", 0xC4, 0x30, "KeRaiseIrql to %u from the higher IRQL %u", NewIrql, T->Irql);
    *OldIrql = T->Irql;
    T->Irql = NewIrql;
    VfMaybeYield();
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    _ETHREAD* T = CurrentThread();
    if (NewIrql > T->Irql)
        VfError("irql", 0xC4, 0x31, "KeLowerIrql to %u from the lower IRQL %u", NewIrql, T->Irql);
    T->Irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    return Old;
}

// ---------------------------------------------------------------------------------------------
// Spin locks: the lock word holds the owning thread's token, 0 when free.

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

static void SpinAcquire(PKSPIN_LOCK SpinLock, const char* Call)
{
    ULONG_PTR Self = ThreadToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == Self) {
        // Spinning would hang this thread for good; report and carry on without the lock.
        VfError("lock-recursion", 0xC4, 0x42, "%s: spin lock %p is already held by this thread",
                Call, (void*)SpinLock);
        return;
    }
    VfMaybeYield();
    for (;;) {
        ULONG_PTR Expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &Expected, Self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0)
            std::this_thread::yield();
    }
    CurrentThread()->SpinLocksHeld++;
    VfLockAcquired(SpinLock);
}

static bool SpinRelease(PKSPIN_LOCK SpinLock, const char* Call)
{
    ULONG_PTR Owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (Owner == 0) {
        VfError("lock-not-held", 0xC4, 0x32, "%s: spin lock %p is not held", Call, (void*)SpinLock);
        return false;
    }
    if (Owner != ThreadToken()) {
        VfError("lock-not-owner", 0xC4, 0x32, "%s: spin lock %p is held by another thread", Call,
                (void*)SpinLock);
        return false;
    }
    VfLockReleased(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    CurrentThread()->SpinLocksHeld--;
    VfMaybeYield();
    return true;
}

// The runtime's own uses of a driver-visible lock (device queues), after it checked the IRQL.
void KiAcquireQueueLock(PKSPIN_LOCK SpinLock)
{
    SpinAcquire(SpinLock, "device queue lock");
}

void KiReleaseQueueLock(PKSPIN_LOCK SpinLock)
{
    SpinRelease(SpinLock, "device queue lock");
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    _ETHREAD* T = CurrentThread();
    VfIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock", 0x42);
    *OldIrql = T->Irql;
    if (T->Irql < DISPATCH_LEVEL) T->Irql = DISPATCH_LEVEL;
    SpinAcquire(SpinLock, "KeAcquireSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL Old;
    KeAcquireSpinLock(SpinLock, &Old);
    return Old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    _ETHREAD* T = CurrentThread();
    if (T->Irql != DISPATCH_LEVEL)
        VfError("irql", 0xC4, 0x32, "KeReleaseSpinLock(%p) at IRQL %u, not DISPATCH_LEVEL",
                (void*)SpinLock, T->Irql);
    SpinRelease(SpinLock, "KeReleaseSpinLock");
    if (NewIrql > T->Irql)
        VfError("irql", 0xC4, 0x31, "KeReleaseSpinLock(%p) restores IRQL %u above the current %u",
                (void*)SpinLock, NewIrql, T->Irql);
    T->Irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        VfError("irql", 0xC4, 0x40, "KeAcquireSpinLockAtDpcLevel(%p) at IRQL %u", (void*)SpinLock,
                KeGetCurrentIrql());
    SpinAcquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        VfError("irql", 0xC4, 0x41, "KeReleaseSpinLockFromDpcLevel(%p) at IRQL %u", (void*)SpinLock,
                KeGetCurrentIrql());
    SpinRelease(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// ---------------------------------------------------------------------------------------------
// Events

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = UCHAR(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_SEQ_CST);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    VfIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent", 0x80);
    WAIT_BUCKET& B = BucketOf(Event);
    LONG Previous;
    {
        std::lock_guard<std::mutex> G(B.M);
        Previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    }
    B.Cv.notify_all();
    return Previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent", 0);
    std::lock_guard<std::mutex> G(BucketOf(Event).M);
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeResetEvent(PRKEVENT Event)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent", 0);
    std::lock_guard<std::mutex> G(BucketOf(Event).M);
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    auto* Event = static_cast<PRKEVENT>(Object);
    if (Event->Header.Type != NotificationEvent && Event->Header.Type != SynchronizationEvent) {
        VfError("wait-object", 0, 0, "KeWaitForSingleObject(%p): not an initialised event", Object);
        return STATUS_INVALID_PARAMETER;
    }
    bool Poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!Poll && KeGetCurrentIrql() > APC_LEVEL) {
        VfError("irql", 0xC4, 0x80, "KeWaitForSingleObject(%p) with a non-zero time-out at IRQL %u",
                Object, KeGetCurrentIrql());
        Poll = true; // blocking here could hang the processor; only poll
    }
    WAIT_BUCKET& B = BucketOf(Event);
    std::unique_lock<std::mutex> G(B.M);
    auto Ready = [Event] { return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST); };
    auto Consume = [Event] {
        if (Event->Header.Type == SynchronizationEvent)
            __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
        return STATUS_SUCCESS;
    };
    if (Ready()) return Consume();
    if (Poll) return STATUS_TIMEOUT;
    std::chrono::steady_clock::time_point Deadline;
    const bool Forever = !DeadlineFrom(Timeout, &Deadline);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL &&
        kivrt::CurrentScheduler() == kivrt::Scheduler::Deterministic) {
        // No worker thread will run what would set the event: run queued work items here,
        // oldest first, as workers would have meanwhile; also those that another thread (a
        // remote side, a completion) queues while this one waits.
        for (;;) {
            G.unlock();
            while (kivrt::RunOneWorkItem()) {
                G.lock();
                if (Ready()) return Consume();
                G.unlock();
            }
            G.lock();
            if (Ready()) return Consume();
            auto Now = std::chrono::steady_clock::now();
            if (!Forever && Now >= Deadline) return STATUS_TIMEOUT;
            auto Slice = Now + std::chrono::milliseconds(1);
            if (!Forever && Deadline < Slice) Slice = Deadline;
            if (B.Cv.wait_until(G, Slice, Ready)) return Consume();
        }
    }
    if (Forever) {
        B.Cv.wait(G, Ready);
        return Consume();
    }
    if (B.Cv.wait_until(G, Deadline, Ready)) return Consume();
    return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (!VfIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread", 0)) return STATUS_SUCCESS;
    std::chrono::steady_clock::time_point Deadline;
    if (DeadlineFrom(Interval, &Deadline)) std::this_thread::sleep_until(Deadline);
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTime100ns();
}

ULONGLONG KeQueryInterruptTime()
{
    using namespace std::chrono;
    return ULONGLONG(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() /
                     100);
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    auto End = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < End) {
    }
}

// ---------------------------------------------------------------------------------------------
// Fast mutexes: Count 1 free, 0 owned. Owner is the owning thread.

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_SEQ_CST);
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    KeInitializeEvent(&FastMutex->Gate, SynchronizationEvent, FALSE);
}

static bool FastMutexTake(PFAST_MUTEX M, bool Block)
{
    WAIT_BUCKET& B = BucketOf(M);
    std::unique_lock<std::mutex> G(B.M);
    auto Free = [M] { return __atomic_load_n(&M->Count, __ATOMIC_SEQ_CST) == 1; };
    if (!Free()) {
        if (!Block) return false;
        M->Contention++;
        B.Cv.wait(G, Free);
    }
    __atomic_store_n(&M->Count, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&M->Owner, (PVOID)CurrentThread(), __ATOMIC_SEQ_CST);
    return true;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    _ETHREAD* T = CurrentThread();
    VfIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex", 0x33);
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_SEQ_CST) == (PVOID)T) {
        VfError("lock-recursion", 0xC4, 0x33,
                "ExAcquireFastMutex(%p): already owned by this thread", (void*)FastMutex);
        return;
    }
    KIRQL Old = T->Irql;
    FastMutexTake(FastMutex, true);
    FastMutex->OldIrql = Old;
    if (T->Irql < APC_LEVEL) T->Irql = APC_LEVEL;
    T->FastMutexesHeld++;
    VfLockAcquired(FastMutex);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    _ETHREAD* T = CurrentThread();
    VfIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex", 0x33);
    KIRQL Old = T->Irql;
    if (!FastMutexTake(FastMutex, false)) return FALSE;
    FastMutex->OldIrql = Old;
    if (T->Irql < APC_LEVEL) T->Irql = APC_LEVEL;
    T->FastMutexesHeld++;
    VfLockAcquired(FastMutex);
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    _ETHREAD* T = CurrentThread();
    if (T->Irql != APC_LEVEL)
        VfError("irql", 0xC4, 0x34, "ExReleaseFastMutex(%p) at IRQL %u, not APC_LEVEL",
                (void*)FastMutex, T->Irql);
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_SEQ_CST) != (PVOID)T) {
        VfError("lock-not-owner", 0xC4, 0x34, "ExReleaseFastMutex(%p): not owned by this thread",
                (void*)FastMutex);
        return;
    }
    KIRQL Old = KIRQL(FastMutex->OldIrql);
    VfLockReleased(FastMutex);
    WAIT_BUCKET& B = BucketOf(FastMutex);
    {
        std::lock_guard<std::mutex> G(B.M);
        __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_SEQ_CST);
        __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    }
    B.Cv.notify_all();
    T->FastMutexesHeld--;
    T->Irql = Old;
}

// ---------------------------------------------------------------------------------------------
// Raised status, bug checks

VOID ExRaiseStatus(NTSTATUS Status)
{
    VfIrqlAtMost(APC_LEVEL, "ExRaiseStatus", 0);
    throw EXCEPTION_STATUS{Status};
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    VfError("bugcheck", BugCheckCode, P1, "KeBugCheckEx(0x%X, 0x%lX, 0x%lX, 0x%lX, 0x%lX)",
            BugCheckCode, (unsigned long)P1, (unsigned long)P2, (unsigned long)P3,
            (unsigned long)P4);
}

// ---------------------------------------------------------------------------------------------
// Interlocked lists: the lock is taken without touching the IRQL bookkeeping of the caller, as
// these routines work at any IRQL.

namespace {
class CRawLock {
public:
    explicit CRawLock(PKSPIN_LOCK L) : m_L(L)
    {
        for (;;) {
            ULONG_PTR Expected = 0;
            if (__atomic_compare_exchange_n(m_L, &Expected, ULONG_PTR(1), false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED))
                return;
            std::this_thread::yield();
        }
    }
    ~CRawLock() { __atomic_store_n(m_L, 0, __ATOMIC_RELEASE); }

private:
    PKSPIN_LOCK m_L;
};
} // namespace

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock)
{
    CRawLock G(Lock);
    PLIST_ENTRY Previous = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return Previous;
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock)
{
    CRawLock G(Lock);
    PLIST_ENTRY Previous = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return Previous;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    CRawLock G(Lock);
    if (IsListEmpty(ListHead)) return nullptr;
    return RemoveHeadList(ListHead);
}

// Used by the lookaside lists and device queues for their own locks.
void RawLockAcquire(PKSPIN_LOCK L)
{
    for (;;) {
        ULONG_PTR Expected = 0;
        if (__atomic_compare_exchange_n(L, &Expected, ULONG_PTR(1), false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        std::this_thread::yield();
    }
}

void RawLockRelease(PKSPIN_LOCK L)
{
    __atomic_store_n(L, 0, __ATOMIC_RELEASE);
}
