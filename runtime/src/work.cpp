// System work queues and the two schedulers: in deterministic mode queued items wait for the
// host to drain them on its own thread, FIFO; in threaded mode system worker threads run them.
//
// Threaded mode: every worker is an event loop over an epoll set that holds its wake-up eventfd
// and the host descriptors given to it (kivrt::AddIoWatch). A worker with nothing to do sleeps in
// epoll_wait; queuing an item wakes one sleeping worker of its queue. An item queued while a watch
// callback runs on a worker (a frame read, its read request completed at DISPATCH_LEVEL, its
// completion routine queuing the work item) is run by that same worker once the callback has
// returned, at PASSIVE_LEVEL and before the worker looks at anything else: a frame is read,
// processed and answered on one thread, with no other thread woken in between. Each pass of the
// loop gives every ready descriptor one callback, so no descriptor can starve the others.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

// List.Flink of a queued item: a queued item must not be queued again until it has started.
PLIST_ENTRY const QUEUED_MARK = (PLIST_ENTRY)(ULONG_PTR)0x51;

struct QUEUED {
    PWORK_QUEUE_ITEM Item;
    PDRIVER_OBJECT Owner;
    std::function<void()> Job; // the runtime's own deferred work
};

struct WORKER;

} // namespace

namespace kivrt {
struct IO_WATCH {
    int Fd;
    WORKER* Worker;
    IO_CALLBACK Callback;
    bool Removed = false; // under the worker's WM
};
} // namespace kivrt

namespace {

struct WORKER {
    int Queue = 1; // 0 critical, 1 delayed
    int Ep = -1;
    int WakeFd = -1;
    std::thread Thread;
    bool Sleeping = false;          // under WORK_STATE::M: listed in Idle[Queue]
    std::deque<QUEUED> Local;       // under WORK_STATE::M: queued by this worker's running callback
    bool InCallback = false;        // this thread only
    std::atomic<size_t> Watches{0}; // written under WORK_STATE::M

    // WM orders a watch's removal with its callback: a removed watch is never called again, and
    // RemoveIoWatch returns only once its callback has finished.
    std::mutex WM;
    std::condition_variable WCv;
    kivrt::IO_WATCH* Current = nullptr;
    bool Stopped = false;
    std::vector<kivrt::IO_WATCH*> Graveyard; // removed; freed between two epoll_wait calls
};

struct WORK_STATE {
    std::mutex M;
    std::condition_variable IdleCv;
    std::deque<QUEUED> Queues[2]; // 0 critical (and hyper-critical, system jobs), 1 delayed
    std::vector<std::unique_ptr<WORKER>> Workers;
    // Workers of past runs: a watch that outlives its worker's run still points at one.
    std::vector<std::unique_ptr<WORKER>> Retired;
    std::vector<WORKER*> Idle[2]; // sleeping workers of each queue
    bool Stop = false;
    kivrt::Scheduler Sched = kivrt::Scheduler::Deterministic;
    size_t Running = 0; // items popped and not finished, and items queued to a worker's Local
    size_t Finished = 0;
    std::map<PDRIVER_OBJECT, size_t> Outstanding;
};

WORK_STATE& Work()
{
    static WORK_STATE* S = new WORK_STATE;
    return *S;
}

thread_local WORKER* t_Worker = nullptr;

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
        if (S.Running == 0) S.IdleCv.notify_all();
    }
    PnpCheckUnloads();
}

bool PopLocked(WORK_STATE& S, int First, int Last, QUEUED* Out)
{
    for (int q = First; q <= Last; q++) {
        if (!S.Queues[q].empty()) {
            *Out = std::move(S.Queues[q].front());
            S.Queues[q].pop_front();
            S.Running++;
            return true;
        }
    }
    return false;
}

void Poke(int Fd)
{
    uint64_t One = 1;
    (void)!write(Fd, &One, sizeof(One));
}

// Runs a watch's callback, then what it queued.
void Dispatch(WORKER& W, kivrt::IO_WATCH* X, uint32_t Events)
{
    {
        std::lock_guard<std::mutex> G(W.WM);
        if (X->Removed) return;
        W.Current = X;
    }
    W.InCallback = true;
    X->Callback(Events);
    W.InCallback = false;
    {
        std::lock_guard<std::mutex> G(W.WM);
        W.Current = nullptr;
    }
    W.WCv.notify_all();
    WORK_STATE& S = Work();
    for (;;) {
        QUEUED Q;
        {
            std::lock_guard<std::mutex> G(S.M);
            if (W.Local.empty()) break;
            Q = std::move(W.Local.front());
            W.Local.pop_front();
        }
        RunItem(Q);
    }
}

void FreeGraveyard(WORKER& W)
{
    std::vector<kivrt::IO_WATCH*> Dead;
    {
        std::lock_guard<std::mutex> G(W.WM);
        if (W.Graveyard.empty()) return;
        Dead.swap(W.Graveyard);
    }
    for (kivrt::IO_WATCH* X : Dead)
        delete X;
}

void WorkerThread(WORKER* Self)
{
    WORKER& W = *Self;
    WORK_STATE& S = Work();
    t_Worker = &W;
    CurrentThread()->Irql = PASSIVE_LEVEL;
    epoll_event Events[64];
    for (;;) {
        QUEUED Q;
        bool Got;
        {
            std::lock_guard<std::mutex> G(S.M);
            if (S.Stop) break;
            Got = PopLocked(S, W.Queue, W.Queue, &Q);
            if (!Got) {
                W.Sleeping = true;
                S.Idle[W.Queue].push_back(&W);
            }
        }
        if (Got) RunItem(Q);
        // After an item, only a look at the descriptors (none to look at: the next item).
        int Ready = 0;
        if (!Got || W.Watches != 0) Ready = epoll_wait(W.Ep, Events, 64, Got ? 0 : -1);
        if (!Got) {
            std::lock_guard<std::mutex> G(S.M);
            if (W.Sleeping) {
                W.Sleeping = false;
                auto& Idle = S.Idle[W.Queue];
                Idle.erase(std::find(Idle.begin(), Idle.end(), &W));
            }
        }
        for (int i = 0; i < Ready; i++) {
            auto* X = static_cast<kivrt::IO_WATCH*>(Events[i].data.ptr);
            if (X == nullptr) continue; // a wake-up: edge-triggered, nothing to read
            Dispatch(W, X, Events[i].events);
        }
        FreeGraveyard(W);
    }
    t_Worker = nullptr;
}

void Enqueue(QUEUED Q, int Queue)
{
    WORK_STATE& S = Work();
    WORKER* W = t_Worker;
    int WakeFd = -1;
    {
        std::lock_guard<std::mutex> G(S.M);
        if (!Q.Job) S.Outstanding[Q.Owner]++;
        if (W != nullptr && W->InCallback) {
            // Runs right after the callback on this thread (counted as running until then).
            W->Local.push_back(std::move(Q));
            S.Running++;
            return;
        }
        S.Queues[Queue].push_back(std::move(Q));
        // One sleeper is enough; a busy worker finds the item when it next looks at the queue.
        auto& Idle = S.Idle[Queue];
        if (!Idle.empty()) {
            WORKER* Sleeper = Idle.back();
            Idle.pop_back();
            Sleeper->Sleeping = false;
            WakeFd = Sleeper->WakeFd;
        }
    }
    if (WakeFd >= 0) Poke(WakeFd);
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
    for (unsigned i = 0; i < Critical + Delayed; i++) {
        auto W = std::make_unique<WORKER>();
        W->Queue = i < Critical ? 0 : 1;
        W->Ep = epoll_create1(EPOLL_CLOEXEC);
        W->WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (W->Ep < 0 || W->WakeFd < 0) {
            fprintf(stderr, "kivrt: cannot create a worker's event loop: %s\n", strerror(errno));
            abort();
        }
        // Edge-triggered: every write is one wake-up, and the count is never read back (it
        // would take 2^64 wake-ups to fill).
        epoll_event Ev{};
        Ev.events = EPOLLIN | EPOLLET;
        Ev.data.ptr = nullptr;
        epoll_ctl(W->Ep, EPOLL_CTL_ADD, W->WakeFd, &Ev);
        W->Thread = std::thread(WorkerThread, W.get());
        S.Workers.push_back(std::move(W));
    }
}

void WorkStop()
{
    WORK_STATE& S = Work();
    std::vector<std::unique_ptr<WORKER>> Workers;
    {
        std::lock_guard<std::mutex> G(S.M);
        S.Stop = true;
        Workers.swap(S.Workers);
        for (auto& Idle : S.Idle)
            Idle.clear();
        for (auto& W : Workers)
            W->Sleeping = false;
    }
    for (auto& W : Workers)
        Poke(W->WakeFd);
    for (auto& W : Workers) {
        W->Thread.join();
        FreeGraveyard(*W);
        {
            std::lock_guard<std::mutex> G(W->WM);
            W->Stopped = true;
        }
        close(W->Ep);
        close(W->WakeFd);
        W->Ep = W->WakeFd = -1;
    }
    std::lock_guard<std::mutex> G(S.M);
    for (auto& W : Workers) {
        // Items a callback queued and the worker did not reach go back to the shared queue.
        for (QUEUED& Q : W->Local) {
            S.Queues[1].push_back(std::move(Q));
            S.Running--;
        }
        W->Local.clear();
        S.Retired.push_back(std::move(W));
    }
}

void WorkClear()
{
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    for (auto& Q : S.Queues)
        Q.clear();
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
    auto In = [&](const std::deque<QUEUED>& List) {
        for (const QUEUED& E : List)
            if (E.Item && (const char*)E.Item >= (const char*)P &&
                (const char*)E.Item < (const char*)P + Size)
                return true;
        return false;
    };
    for (auto& Q : S.Queues)
        if (In(Q)) return true;
    for (auto& W : S.Workers)
        if (In(W->Local)) return true;
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

IO_WATCH* AddIoWatch(int Fd, uint32_t Events, IO_CALLBACK Callback)
{
    WORK_STATE& S = Work();
    WORKER* W = nullptr;
    {
        std::lock_guard<std::mutex> G(S.M);
        // The delayed worker with the fewest descriptors: a frame's work item is a delayed one.
        for (auto& Candidate : S.Workers) {
            if (Candidate->Queue == 1 && (W == nullptr || Candidate->Watches < W->Watches))
                W = Candidate.get();
        }
        if (W == nullptr) return nullptr;
        W->Watches++;
    }
    auto* X = new IO_WATCH{Fd, W, std::move(Callback)};
    epoll_event Ev{};
    Ev.events = Events;
    Ev.data.ptr = X;
    if (epoll_ctl(W->Ep, EPOLL_CTL_ADD, Fd, &Ev) != 0) {
        int Saved = errno;
        {
            std::lock_guard<std::mutex> G(S.M);
            W->Watches--;
        }
        delete X;
        errno = Saved;
        return nullptr;
    }
    return X;
}

bool ModifyIoWatch(IO_WATCH* X, uint32_t Events)
{
    std::lock_guard<std::mutex> G(X->Worker->WM);
    if (X->Removed || X->Worker->Stopped) return false;
    epoll_event Ev{};
    Ev.events = Events;
    Ev.data.ptr = X;
    return epoll_ctl(X->Worker->Ep, EPOLL_CTL_MOD, X->Fd, &Ev) == 0;
}

void RemoveIoWatch(IO_WATCH* X)
{
    if (X == nullptr) return;
    WORKER& W = *X->Worker;
    {
        std::unique_lock<std::mutex> G(W.WM);
        if (!W.Stopped) {
            epoll_ctl(W.Ep, EPOLL_CTL_DEL, X->Fd, nullptr);
            X->Removed = true;
            // The callback may be running on the worker; from the callback itself it is over once
            // this returns to it.
            if (t_Worker != &W) W.WCv.wait(G, [&] { return W.Current != X; });
            W.Graveyard.push_back(X);
            X = nullptr;
        }
    }
    delete X; // the worker is gone: nobody else can see the watch
    WORK_STATE& S = Work();
    std::lock_guard<std::mutex> G(S.M);
    W.Watches--;
}

} // namespace kivrt
