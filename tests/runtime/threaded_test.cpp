// The threaded scheduler: real worker threads and real concurrency. These run under
// ThreadSanitizer too.
#include "test_drivers.h"

#include <atomic>
#include <chrono>
#include <semaphore>
#include <thread>

class ThreadedTest : public KernelFixture {
protected:
    kivrt::Options RuntimeOptions() override
    {
        kivrt::Options O = KernelFixture::RuntimeOptions();
        O.Sched = kivrt::Scheduler::Threaded;
        return O;
    }
};

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
    // Wait (bounded) until three run at once, as the driver expects.
    auto End = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_MaxRunning.load() < 3 && std::chrono::steady_clock::now() < End)
        std::this_thread::yield();
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
    auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Woken.load() == 0 && std::chrono::steady_clock::now() < End)
        std::this_thread::yield();
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
        ASSERT_EQ(kivrt::LoadDriver(
                      u"Race",
                      [](PDRIVER_OBJECT D, PUNICODE_STRING) {
                          for (PDRIVER_DISPATCH& F : D->MajorFunction)
                              F = Dispatch;
                          return STATUS_SUCCESS;
                      },
                      &Drv),
                  STATUS_SUCCESS);
        UNICODE_STRING Name = Us(u"\\Device\\Race");
        ASSERT_EQ(IoCreateDevice(Drv, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev),
                  STATUS_SUCCESS);
        Dev->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void RunRace();

    void TearDown() override
    {
        IoDeleteDevice(Dev);
        kivrt::UnloadDriver(Drv);
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

TEST_F(CancelRaceTest, EveryRequestFinishesOnceWhateverWins)
{
    RunRace();
}

TEST_F(FuzzedCancelRaceTest, EveryRequestFinishesOnceWithYieldsAtLockOperations)
{
    RunRace();
}

// A host told of each completion frees the request's Overlapped at once, as the daemon's poll
// loop does, while another thread completes and this one cancels: the completing side must not
// touch the object after the notification (ASan and TSan see any such touch).
TEST_F(CancelRaceTest, NotifiedHostFreesTheOverlappedAtOnce)
{
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(u"\\Device\\Race", GENERIC_READ, 0, true, &H), STATUS_SUCCESS);
    std::atomic<bool> Stop{false};
    std::thread Completer([&] {
        while (!Stop.load())
            if (!CompleteOne()) std::this_thread::yield();
    });
    const ULONG Code = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
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
    Stop = true;
    Completer.join();
    EXPECT_EQ(Completed, 300);
    EXPECT_EQ(kivrt::AppOutstanding(H), 0u);
    kivrt::AppClose(H);
    kivrt::DrainWorkItems();
}

void CancelRaceTest::RunRace()
{
    kivrt::APP_HANDLE H;
    ASSERT_EQ(kivrt::AppOpen(u"\\Device\\Race", GENERIC_READ, 0, true, &H), STATUS_SUCCESS);
    const int N = 200;
    std::vector<std::unique_ptr<kivrt::Overlapped>> Ov;
    std::atomic<bool> Stop{false};
    std::thread Completer([&] {
        while (!Stop.load())
            if (!CompleteOne()) std::this_thread::yield();
    });
    const ULONG Code = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (int i = 0; i < N; i++) {
        Ov.push_back(std::make_unique<kivrt::Overlapped>());
        kivrt::AppDeviceIoControl(H, Code, nullptr, 0, nullptr, 0, nullptr, Ov.back().get());
        if (i % 3 == 0) kivrt::AppCancelIo(H);
    }
    kivrt::AppCancelIo(H);
    int Cancelled = 0, Succeeded = 0;
    for (auto& O : Ov) {
        ASSERT_TRUE(O->Wait(5000));
        if (O->Status() == STATUS_CANCELLED) Cancelled++;
        if (O->Status() == STATUS_SUCCESS) Succeeded++;
    }
    Stop = true;
    Completer.join();
    EXPECT_EQ(Cancelled + Succeeded, N);
    EXPECT_EQ(kivrt::AppOutstanding(H), 0u);
    kivrt::AppClose(H);
    kivrt::DrainWorkItems();
}
