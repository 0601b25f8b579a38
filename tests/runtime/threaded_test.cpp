// The threaded scheduler: real worker threads and real concurrency. These run under
// ThreadSanitizer too.
#include "test_drivers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <semaphore>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class ThreadedTest : public KernelFixture {
protected:
    kivrt::Options RuntimeOptions() override
    {
        kivrt::Options O = KernelFixture::RuntimeOptions();
        O.Sched = kivrt::Scheduler::Threaded;
        return O;
    }
};

// Polls Done until it holds or ten seconds have passed; returns Done's last answer.
static bool WaitFor(const std::function<bool()>& Done)
{
    auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Done() && std::chrono::steady_clock::now() < End)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Done();
}

namespace {
std::atomic<int> g_Running, g_MaxRunning, g_Ran;
std::atomic<bool> g_WrongIrql, g_OnHostThread;
std::thread::id g_Host;

VOID OverlapRoutine(PVOID)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) g_WrongIrql = true;
    if (std::this_thread::get_id() == g_Host) g_OnHostThread = true;
    int Now = ++g_Running;
    int Max = g_MaxRunning.load();
    while (Now > Max && !g_MaxRunning.compare_exchange_weak(Max, Now)) {
    }
    WaitFor([] { return g_MaxRunning.load() >= 3; }); // three at once, as the driver expects
    --g_Running;
    ++g_Ran;
}
} // namespace

TEST_F(ThreadedTest, DelayedItemsRunOnThreeWorkersAtPassiveLevel)
{
    g_Running = g_MaxRunning = g_Ran = 0;
    g_WrongIrql = g_OnHostThread = false;
    g_Host = std::this_thread::get_id();
    WORK_QUEUE_ITEM Items[3];
    for (WORK_QUEUE_ITEM& I : Items) {
        ExInitializeWorkItem(&I, OverlapRoutine, nullptr);
        ExQueueWorkItem(&I, DelayedWorkQueue);
    }
    kivrt::DrainWorkItems();
    EXPECT_EQ(g_Ran.load(), 3);
    EXPECT_EQ(g_MaxRunning.load(), 3);
    EXPECT_FALSE(g_WrongIrql.load());
    EXPECT_FALSE(g_OnHostThread.load());
}

TEST_F(ThreadedTest, SpinLocksAndFastMutexesExclude)
{
    static KSPIN_LOCK Lock;
    static FAST_MUTEX Mutex;
    static long SpinCounter, MutexCounter; // plain: only the locks protect them
    KeInitializeSpinLock(&Lock);
    ExInitializeFastMutex(&Mutex);
    SpinCounter = MutexCounter = 0;
    auto Body = [] {
        for (int i = 0; i < 2000; i++) {
            KIRQL Old;
            KeAcquireSpinLock(&Lock, &Old);
            SpinCounter++;
            KeReleaseSpinLock(&Lock, Old);
            ExAcquireFastMutex(&Mutex);
            MutexCounter++;
            ExReleaseFastMutex(&Mutex);
        }
    };
    WORK_QUEUE_ITEM Items[3];
    for (WORK_QUEUE_ITEM& I : Items) {
        ExInitializeWorkItem(
            &I, [](PVOID P) { (*(decltype(Body)*)P)(); }, &Body);
        ExQueueWorkItem(&I, DelayedWorkQueue);
    }
    std::thread App(Body);
    Body();
    App.join();
    kivrt::DrainWorkItems();
    EXPECT_EQ(SpinCounter, 5 * 2000);
    EXPECT_EQ(MutexCounter, 5 * 2000);
}

TEST_F(ThreadedTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    static KEVENT Event;
    static std::atomic<int> Woken;
    KeInitializeEvent(&Event, SynchronizationEvent, FALSE);
    Woken = 0;
    auto Waiter = [] {
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = -30 * 10000000LL;
        if (KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Timeout) == STATUS_SUCCESS)
            ++Woken;
    };
    std::thread A(Waiter), B(Waiter);
    KeSetEvent(&Event, IO_NO_INCREMENT, FALSE);
    WaitFor([] { return Woken.load() != 0; });
    // However long we give it, one set releases one waiter.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Woken.load(), 1);
    KeSetEvent(&Event, IO_NO_INCREMENT, FALSE);
    A.join();
    B.join();
    EXPECT_EQ(Woken.load(), 2);
}

// A driver that queues device-control requests with a cancel routine; a worker completes them
// while the application cancels: each request must finish exactly once.
class CancelRaceTest : public ThreadedTest {
public:
    PDRIVER_OBJECT Drv = nullptr;
    PDEVICE_OBJECT Dev = nullptr;
    static inline KSPIN_LOCK QueueLock;
    static inline LIST_ENTRY Queue;

    static VOID CancelQueued(PDEVICE_OBJECT, PIRP Irp)
    {
        // Entered holding the cancel lock; the queue lock comes second.
        KeAcquireSpinLockAtDpcLevel(&QueueLock);
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLockFromDpcLevel(&QueueLock);
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        CompleteWith(Irp, STATUS_CANCELLED);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP Irp)
    {
        PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
        if (L->MajorFunction != IRP_MJ_DEVICE_CONTROL) return CompleteWith(Irp, STATUS_SUCCESS);
        KIRQL Old;
        IoAcquireCancelSpinLock(&Old);
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, CancelQueued);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            IoReleaseCancelSpinLock(Old);
            CompleteWith(Irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        KeAcquireSpinLockAtDpcLevel(&QueueLock);
        InsertTailList(&Queue, &Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLockFromDpcLevel(&QueueLock);
        IoReleaseCancelSpinLock(Old);
        return STATUS_PENDING;
    }

    // Completes the oldest queued request unless its cancel routine has taken it.
    static bool CompleteOne()
    {
        KIRQL Old;
        IoAcquireCancelSpinLock(&Old);
        KeAcquireSpinLockAtDpcLevel(&QueueLock);
        PIRP Irp = nullptr;
        if (!IsListEmpty(&Queue)) {
            PLIST_ENTRY E = RemoveHeadList(&Queue);
            Irp = CONTAINING_RECORD(E, IRP, Tail.Overlay.ListEntry);
            IoSetCancelRoutine(Irp, nullptr);
        }
        KeReleaseSpinLockFromDpcLevel(&QueueLock);
        IoReleaseCancelSpinLock(Old);
        if (Irp == nullptr) return false;
        KIRQL Dpc;
        KeRaiseIrql(DISPATCH_LEVEL, &Dpc); // as the lower driver's completion would
        CompleteWith(Irp, STATUS_SUCCESS);
        KeLowerIrql(Dpc);
        return true;
    }

    void SetUp() override
    {
        ThreadedTest::SetUp();
        KeInitializeSpinLock(&QueueLock);
        InitializeListHead(&Queue);
        g_Dispatch[0] = Dispatch;
        ASSERT_EQ(kivrt::LoadDriver(u"Race", TestDriverEntry<0>, &Drv), STATUS_SUCCESS);
        UNICODE_STRING Name = Us(u"\\Device\\Race");
        ASSERT_EQ(IoCreateDevice(Drv, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev),
                  STATUS_SUCCESS);
        Dev->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void RunRace();

    // Opens the device overlapped and starts a thread that completes queued requests until
    // StopCompleter.
    void StartCompleter()
    {
        ASSERT_EQ(kivrt::AppOpen(u"\\Device\\Race", GENERIC_READ, 0, true, &H), STATUS_SUCCESS);
        Completer = std::thread([this] {
            while (!Stop.load())
                if (!CompleteOne()) std::this_thread::yield();
        });
    }
    void StopCompleter()
    {
        Stop = true;
        Completer.join();
        EXPECT_EQ(kivrt::AppOutstanding(H), 0u);
        kivrt::AppClose(H);
        kivrt::DrainWorkItems();
    }

    static constexpr ULONG Code = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    kivrt::APP_HANDLE H = nullptr;
    std::atomic<bool> Stop{false};
    std::thread Completer;

    void TearDown() override
    {
        IoDeleteDevice(Dev);
        kivrt::UnloadDriver(Drv);
        g_Dispatch[0] = nullptr;
        ThreadedTest::TearDown();
    }
};

class FuzzedCancelRaceTest : public CancelRaceTest {
protected:
    kivrt::Options RuntimeOptions() override
    {
        kivrt::Options O = CancelRaceTest::RuntimeOptions();
        O.YieldFuzzing = true;
        return O;
    }
};

TEST_F(FuzzedCancelRaceTest, EveryRequestFinishesOnceWithYieldsAtLockOperations)
{
    RunRace();
}

// A host told of each completion frees the request's Overlapped at once, as the daemon's poll
// loop does, while another thread completes and this one cancels: the completing side must not
// touch the object after the notification (ASan and TSan see any such touch).
TEST_F(CancelRaceTest, NotifiedHostFreesTheOverlappedAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(StartCompleter());
    std::counting_semaphore<> Notified(0);
    int Completed = 0;
    for (int i = 0; i < 300; i++) {
        auto Ov = std::make_unique<kivrt::Overlapped>();
        Ov->NotifyOnCompletion([&Notified] { Notified.release(); });
        kivrt::AppDeviceIoControl(H, Code, nullptr, 0, nullptr, 0, nullptr, Ov.get());
        if (i % 3 == 0) kivrt::AppCancelIo(H);
        if (!Notified.try_acquire_for(std::chrono::seconds(5))) {
            kivrt::AppCancelIo(H);
            Ov->Wait(5000);
            break;
        }
        Ov.reset();
        Completed++;
    }
    StopCompleter();
    EXPECT_EQ(Completed, 300);
}

void CancelRaceTest::RunRace()
{
    ASSERT_NO_FATAL_FAILURE(StartCompleter());
    const int N = 200;
    std::vector<std::unique_ptr<kivrt::Overlapped>> Ov;
    for (int i = 0; i < N; i++) {
        Ov.push_back(std::make_unique<kivrt::Overlapped>());
        kivrt::AppDeviceIoControl(H, Code, nullptr, 0, nullptr, 0, nullptr, Ov.back().get());
        if (i % 3 == 0) kivrt::AppCancelIo(H);
    }
    kivrt::AppCancelIo(H);
    int Cancelled = 0, Succeeded = 0;
    for (auto& O : Ov) {
        EXPECT_TRUE(O->Wait(5000));
        if (O->Status() == STATUS_CANCELLED) Cancelled++;
        if (O->Status() == STATUS_SUCCESS) Succeeded++;
    }
    StopCompleter();
    EXPECT_EQ(Cancelled + Succeeded, N);
}

// Host descriptors served by the worker threads.
class IoWatchTest : public ThreadedTest {
protected:
    void SetUp() override
    {
        ThreadedTest::SetUp();
        for (auto& P : m_Pairs)
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, P), 0);
    }
    void TearDown() override
    {
        for (auto& P : m_Pairs) {
            close(P[0]);
            close(P[1]);
        }
        ThreadedTest::TearDown();
    }
    static bool ReadOne(int Fd)
    {
        char Byte;
        return recv(Fd, &Byte, 1, MSG_DONTWAIT) == 1;
    }
    int m_Pairs[2][2];
};

class OneWorkerIoWatchTest : public IoWatchTest {
protected:
    kivrt::Options RuntimeOptions() override
    {
        kivrt::Options O = IoWatchTest::RuntimeOptions();
        O.DelayedWorkers = 1;
        return O;
    }
};

namespace {
struct RUN_TO_COMPLETION {
    std::thread::id CallbackThread, ItemThread;
    std::atomic<bool> CallbackReturned{false}, ItemRan{false}, ItemAfterCallback{false};
    KIRQL ItemIrql = HIGH_LEVEL;
    WORK_QUEUE_ITEM Item;
};
} // namespace

// What a completion routine queues at DISPATCH_LEVEL inside a callback runs on the same thread
// once the callback has returned, at PASSIVE_LEVEL: no other thread is woken for it.
TEST_F(IoWatchTest, ItemQueuedInACallbackRunsOnItsThreadAfterIt)
{
    static RUN_TO_COMPLETION R;
    R.CallbackReturned = R.ItemRan = R.ItemAfterCallback = false;
    ExInitializeWorkItem(
        &R.Item,
        [](PVOID) {
            R.ItemThread = std::this_thread::get_id();
            R.ItemIrql = KeGetCurrentIrql();
            R.ItemAfterCallback = R.CallbackReturned.load();
            R.ItemRan = true;
        },
        nullptr);
    const int Fd = m_Pairs[0][0];
    kivrt::IO_WATCH* W = kivrt::AddIoWatch(Fd, EPOLLIN, [Fd](uint32_t) {
        ReadOne(Fd);
        R.CallbackThread = std::this_thread::get_id();
        KIRQL Old;
        KeRaiseIrql(DISPATCH_LEVEL, &Old);
        ExQueueWorkItem(&R.Item, DelayedWorkQueue);
        KeLowerIrql(Old);
        // Give another worker every chance to take the item, were it shared.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        R.CallbackReturned = true;
    });
    ASSERT_NE(W, nullptr);
    ASSERT_EQ(send(m_Pairs[0][1], "x", 1, 0), 1);
    ASSERT_TRUE(WaitFor([] { return R.ItemRan.load(); }));
    kivrt::RemoveIoWatch(W);
    kivrt::DrainWorkItems();
    EXPECT_EQ(R.ItemThread, R.CallbackThread);
    EXPECT_TRUE(R.ItemAfterCallback.load());
    EXPECT_EQ(R.ItemIrql, PASSIVE_LEVEL);
    EXPECT_EQ(kivrt::VerifierErrorCount(), 0u);
}

// A descriptor that always has more to read gets one callback per pass like any other: one
// message waiting on the second is read within the first passes, not after the fifty.
TEST_F(OneWorkerIoWatchTest, EveryReadyDescriptorGetsItsTurn)
{
    constexpr int Flood = 50;
    // The one worker is kept busy while both descriptors are made ready, so that its next look
    // finds both.
    static std::atomic<bool> Busy, Release;
    Busy = Release = false;
    WORK_QUEUE_ITEM Hold;
    ExInitializeWorkItem(
        &Hold,
        [](PVOID) {
            Busy = true;
            WaitFor([] { return Release.load(); });
        },
        nullptr);
    ExQueueWorkItem(&Hold, DelayedWorkQueue);
    ASSERT_TRUE(WaitFor([] { return Busy.load(); }));
    for (int i = 0; i < Flood; i++)
        ASSERT_EQ(send(m_Pairs[0][1], "f", 1, 0), 1);
    ASSERT_EQ(send(m_Pairs[1][1], "q", 1, 0), 1);
    std::mutex M;
    std::vector<int> Order;
    kivrt::IO_WATCH* Watches[2];
    for (int i = 0; i < 2; i++) {
        const int Fd = m_Pairs[i][0];
        Watches[i] = kivrt::AddIoWatch(Fd, EPOLLIN, [&, i, Fd](uint32_t) {
            if (!ReadOne(Fd)) return;
            std::lock_guard<std::mutex> G(M);
            Order.push_back(i);
        });
        ASSERT_NE(Watches[i], nullptr);
    }
    Release = true;
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> G(M);
        return Order.size() == Flood + 1;
    }));
    for (kivrt::IO_WATCH* W : Watches)
        kivrt::RemoveIoWatch(W);
    kivrt::DrainWorkItems();
    size_t Quiet = std::find(Order.begin(), Order.end(), 1) - Order.begin();
    EXPECT_LE(Quiet, 1u);
}

// RemoveIoWatch waits for a callback in progress and no callback follows it; a callback may
// remove its own watch.
TEST_F(IoWatchTest, RemovedWatchIsNeverCalledAgain)
{
    static std::atomic<int> Calls;
    static std::atomic<bool> Release, Inside;
    Calls = 0;
    Release = Inside = false;
    const int Fd = m_Pairs[0][0];
    kivrt::IO_WATCH* W = kivrt::AddIoWatch(Fd, EPOLLIN, [Fd](uint32_t) {
        ReadOne(Fd);
        ++Calls;
        Inside = true;
        WaitFor([] { return Release.load(); });
        Inside = false;
    });
    ASSERT_NE(W, nullptr);
    ASSERT_EQ(send(m_Pairs[0][1], "a", 1, 0), 1);
    ASSERT_TRUE(WaitFor([] { return Inside.load(); }));
    std::atomic<bool> Removed{false};
    std::thread Remover([&] {
        kivrt::RemoveIoWatch(W);
        Removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Removed.load()) << "returned while the callback ran";
    ASSERT_EQ(send(m_Pairs[0][1], "b", 1, 0), 1);
    Release = true;
    Remover.join();
    EXPECT_FALSE(Inside.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Calls.load(), 1);

    // Removed from its own callback: it returns at once, and the callback is not called again.
    static std::atomic<kivrt::IO_WATCH*> Self;
    Calls = 0;
    const int Other = m_Pairs[1][0];
    Self = kivrt::AddIoWatch(Other, EPOLLIN, [](uint32_t) {
        kivrt::RemoveIoWatch(Self);
        ++Calls;
    });
    ASSERT_NE(Self, nullptr);
    ASSERT_EQ(send(m_Pairs[1][1], "c", 1, 0), 1);
    ASSERT_EQ(send(m_Pairs[1][1], "d", 1, 0), 1);
    ASSERT_TRUE(WaitFor([] { return Calls.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Calls.load(), 1);
}
