// System work queues and the two schedulers: in deterministic mode queued items wait for the
// host to drain them on its own thread, FIFO; in threaded mode system worker threads run them.
#include "internal.h"

#include <atomic>
#include <chrono>
#include <sched.h>
#include <thread>

namespace {

// List.Flink of a queued item: a queued item must not be queued again until it has started.
PLIST_ENTRY const QUEUED_MARK = (PLIST_ENTRY)(ULONG_PTR)0x51;

struct QUEUED {
    PWORK_QUEUE_ITEM Item;
    PDRIVER_OBJECT Owner;
    std::function<void()> Job; // the runtime's own deferred work
};

struct WORK_STATE {
    std::mutex M;
    // One per queue: an item wakes a single worker of its own queue, not every worker.
    std::condition_variable WorkCv[2];
    std::condition_variable IdleCv;
    std::deque<QUEUED> Queues[2]; // 0 critical (and hyper-critical, system jobs), 1 delayed
    // Queues[q].size(), written under M, read without it by spinning workers.
    std::atomic<size_t> Depth[2] = {};
    std::vector<std::thread> Threads;
    bool Stop = false;
    kivrt::Scheduler Sched = kivrt::Scheduler::Deterministic;
    size_t Running = 0;
    size_t Finished = 0;
    std::map<PDRIVER_OBJECT, size_t> Outstanding;
};

WORK_STATE& Work()
{
    static WORK_STATE* S = new WORK_STATE;
    return *S;
}

void RunItem(QUEUED& Q)
{
    if (Q.Job) {
        Q.Job();
    } else {
        PWORKER_THREAD_ROUTINE Routine = Q.Item->WorkerRoutine;
        PVOID Parameter = Q.Item->Parameter;
        // From here the routine owns the item and may free or requeue it.
        __atomic_store_n(&Q.Item->List.Flink, nullptr, __ATOMIC_RELEASE);
        _ETHREAD* T = CurrentThread();
        KIRQL Saved = T->Irql;
        T->Irql = PASSIVE_LEVEL;
        int Locks = T->SpinLocksHeld, Mutexes = T->FastMutexesHeld;
        {
            CDriverScope Scope(Q.Owner);
            Routine(Parameter);
        }
        VfCheckReturn("work item routine", (PVOID)Routine, PASSIVE_LEVEL, Locks, Mutexes);
        T->Irql = Saved;
    }
    WORK_STATE& S = Work();
    {
        std::lock_guard<std::mutex> G(S.M);
        if (!Q.Job) {
            // A count that falls to zero stays in the map: erasing and re-inserting it would
            // allocate a node for every item of a driver that has one item at a time.
            auto It = S.Outstanding.find(Q.Owner);
            if (It != S.Outstanding.end() && It->second != 0) --It->second;
        }
        S.Running--;
        S.Finished++;
    }
    S.IdleCv.notify_all();
    PnpCheckUnloads();
}

bool PopLocked(WORK_STATE& S, int First, int Last, QUEUED* Out)
{
    for (int q = First; q <= Last; q++) {
        if (!S.Queues[q].empty()) {
            *Out = std::move(S.Queues[q].front());
            S.Queues[q].pop_front();
            S.Depth[q].store(S.Queues[q].size(), std::memory_order_relaxed);
            S.Running++;
            return true;
        }
    }
    return false;
}

// How long an idle worker polls its queue before it sleeps. A request and its answer are often
// only microseconds apart, while putting a thread to sleep and waking it again costs the waker a
// system call and the sleeper a switch (tens of microseconds when its CPU has gone idle). Polling
// only pays where the thread that queues can run beside the worker, so a worker confined to one
// CPU never polls.
constexpr auto WORKER_SPIN = std::chrono::microseconds(50);

bool CanRunBeside()
{
    cpu_set_t Set;
    CPU_ZERO(&Set);
    return sched_getaffinity(0, sizeof(Set), &Set) == 0 && CPU_COUNT(&Set) > 1;
}

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// True when an item came within the spin; false when the worker should sleep.
bool SpinForWork(WORK_STATE& S, int Queue)
{
    const auto Until = std::chrono::steady_clock::now() + WORKER_SPIN;
    for (;;) {
        for (int i = 0; i < 64; i++) {
            if (S.Depth[Queue].load(std::memory_order_relaxed) != 0) return true;
            CpuRelax();
        }
        if (std::chrono::steady_clock::now() >= Until) return false;
    }
}

void WorkerThread(int Queue)
{
    WORK_STATE& S = Work();
    CurrentThread()->Irql = PASSIVE_LEVEL;
    const bool Spin = CanRunBeside();
    for (;;) {
        QUEUED Q;
        if (Spin) SpinForWork(S, Queue);
        {
            std::unique_lock<std::mutex> G(S.M);
            S.WorkCv[Queue].wait(G, [&] { return S.Stop || !S.Queues[Queue].empty(); });
            if (S.Stop) return;
            PopLocked(S, Queue, Queue, &Q);
        }
        RunItem(Q);
    }
}

void Enqueue(QUEUED Q, int Queue)
{
    WORK_STATE& S = Work();
    {
        std::lock_guard<std::mutex> G(S.M);
        if (!Q.Job) S.Outstanding[Q.Owner]++;
        S.Queues[Queue].push_back(std::move(Q));
        S.Depth[Queue].store(S.Queues[Queue].size(), std::memory_order_relaxed);
    }
    // Every waiter of a queue waits for the same thing, so one of them is enough; a busy worker
    // finds the item when it next looks at the queue.
    S.WorkCv[Queue].notify_one();
}

} // namespace

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem", 0);
    if (WorkItem->WorkerRoutine == nullptr) {
        VfError("work-item", 0, 0, "ExQueueWorkItem(%p): no worker routine", (void*)WorkItem);
        return;
    }
    if (__atomic_load_n(&WorkItem->List.Flink, __ATOMIC_ACQUIRE) == QUEUED_MARK &&
        WorkItemQueuedIn(WorkItem, sizeof(*WorkItem))) {
        VfError("work-item-requeued", 0, 0,
                "ExQueueWorkItem(%p): the item is already queued and has not started",
                (void*)WorkItem);
        return;
    }
    __atomic_store_n(&WorkItem->List.Flink, QUEUED_MARK, __ATOMIC_RELEASE);
    Enqueue({WorkItem, CurrentThread()->CurrentDriver, nullptr},
            QueueType == DelayedWorkQueue ? 1 : 0);
}

void WorkQueueSystemJob(std::function<void()> Job)
{
    Enqueue({nullptr, nullptr, std::move(Job)}, 0);
}

void WorkStart(kivrt::Scheduler Sched, unsigned Delayed, unsigned Critical)
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    S.Stop = false;
    S.Sched = Sched;
    if (Sched != kivrt::Scheduler::Threaded) return;
    for (unsigned i = 0; i < Critical; i++)
        S.Threads.emplace_back(WorkerThread, 0);
    for (unsigned i = 0; i < Delayed; i++)
        S.Threads.emplace_back(WorkerThread, 1);
}

void WorkStop()
{
    WORK_STATE& S = Work();
    std::vector<std::thread> Threads;
    {
        std::lock_guard<std::mutex> G(S.M);
        S.Stop = true;
        Threads.swap(S.Threads);
    }
    for (std::condition_variable& Cv : S.WorkCv)
        Cv.notify_all();
    for (std::thread& T : Threads)
        T.join();
}

void WorkClear()
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    for (int q = 0; q < 2; q++) {
        S.Queues[q].clear();
        S.Depth[q].store(0, std::memory_order_relaxed);
    }
    S.Outstanding.clear();
    S.Running = 0;
    S.Finished = 0;
}

size_t WorkOutstandingForDriver(PDRIVER_OBJECT Driver)
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    auto It = S.Outstanding.find(Driver);
    return It == S.Outstanding.end() ? 0 : It->second;
}

bool WorkItemQueuedIn(const void* P, size_t Size)
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    for (auto& Q : S.Queues)
        for (QUEUED& E : Q)
            if (E.Item && (const char*)E.Item >= (const char*)P &&
                (const char*)E.Item < (const char*)P + Size)
                return true;
    return false;
}

void HostWaitUntil(const std::function<bool()>& Done)
{
    while (!Done()) {
        if (kivrt::CurrentScheduler() == kivrt::Scheduler::Deterministic && kivrt::RunOneWorkItem())
            continue;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

namespace kivrt {

bool RunOneWorkItem()
{
    WORK_STATE& S = Work();
    QUEUED Q;
    {
        std::lock_guard<std::mutex> G(S.M);
        if (S.Sched == Scheduler::Threaded) return false;
        if (!PopLocked(S, 0, 1, &Q)) return false;
    }
    RunItem(Q);
    return true;
}

size_t DrainWorkItems()
{
    WORK_STATE& S = Work();
    size_t Start;
    {
        std::lock_guard<std::mutex> G(S.M);
        Start = S.Finished;
    }
    if (CurrentScheduler() == Scheduler::Deterministic) {
        while (RunOneWorkItem()) {
        }
    } else {
        std::unique_lock<std::mutex> G(S.M);
        S.IdleCv.wait(G,
                      [&] { return S.Running == 0 && S.Queues[0].empty() && S.Queues[1].empty(); });
    }
    std::lock_guard<std::mutex> G(S.M);
    return S.Finished - Start;
}

size_t PendingWorkItems()
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    return S.Queues[0].size() + S.Queues[1].size() + S.Running;
}

} // namespace kivrt
