// Work queues under the deterministic scheduler: nothing runs until the host drains, FIFO, at
// PASSIVE_LEVEL; and the misuse checks around work items.
#include "test_drivers.h"

#include <thread>

using WorkTest = KernelFixture;

namespace {
struct ITEM {
    WORK_QUEUE_ITEM Item;
    int Id;
    std::vector<int>* Order;
};

VOID Record(PVOID P)
{
    auto* I = (ITEM*)P;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    I->Order->push_back(I->Id);
}
} // namespace

TEST_F(WorkTest, ItemsRunInOrderOnlyWhenTheHostDrains)
{
    std::vector<int> Order;
    ITEM Items[4];
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL); // queuing is allowed at DISPATCH_LEVEL
        for (int i = 0; i < 4; i++) {
            Items[i] = {{}, i, &Order};
            ExInitializeWorkItem(&Items[i].Item, Record, &Items[i]);
            ExQueueWorkItem(&Items[i].Item, DelayedWorkQueue);
        }
    }
    EXPECT_TRUE(Order.empty());
    EXPECT_EQ(kivrt::PendingWorkItems(), 4u);
    EXPECT_TRUE(kivrt::RunOneWorkItem());
    EXPECT_EQ(Order, std::vector<int>{0});
    EXPECT_EQ(kivrt::DrainWorkItems(), 3u);
    EXPECT_EQ(Order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(kivrt::RunOneWorkItem());
}

TEST_F(WorkTest, QueuingAnItemTwiceIsRecorded)
{
    std::vector<int> Order;
    ITEM I{{}, 7, &Order};
    ExInitializeWorkItem(&I.Item, Record, &I);
    ExQueueWorkItem(&I.Item, DelayedWorkQueue);
    ExQueueWorkItem(&I.Item, DelayedWorkQueue);
    ExpectRecords("work-item-requeued");
    kivrt::DrainWorkItems();
    EXPECT_EQ(Order, std::vector<int>{7}) << "it ran once";
}

TEST_F(WorkTest, RoutineReturningAboveAPassiveOrHoldingALockIsRecorded)
{
    static KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    WORK_QUEUE_ITEM Raise, Hold;
    ExInitializeWorkItem(
        &Raise,
        [](PVOID) {
            KIRQL Old;
            KeRaiseIrql(APC_LEVEL, &Old);
        },
        nullptr);
    ExInitializeWorkItem(
        &Hold,
        [](PVOID) {
            KIRQL Old;
            KeAcquireSpinLock(&Lock, &Old);
        },
        nullptr);
    ExQueueWorkItem(&Raise, DelayedWorkQueue);
    kivrt::DrainWorkItems();
    ExpectRecords("irql-changed");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExQueueWorkItem(&Hold, DelayedWorkQueue);
    kivrt::DrainWorkItems();
    ExpectRecords("lock-held-on-return;irql-changed");
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KeLowerIrql(PASSIVE_LEVEL);
    Lock = 0;
    kivrt::Reset(RuntimeOptions());
}

TEST_F(WorkTest, FreeingMemoryThatHoldsAQueuedItemIsRecorded)
{
    auto* Item = (PWORK_QUEUE_ITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM),
                                                         kivrt::MakeTag("Wrk "));
    ExInitializeWorkItem(
        Item, [](PVOID) {}, nullptr);
    ExQueueWorkItem(Item, DelayedWorkQueue);
    ExFreePool(Item);
    ExpectRecords("work-item-freed");
    kivrt::Reset(RuntimeOptions()); // the queue still points at the freed item
}

TEST_F(WorkTest, UnloadWithAPendingItemIsReported)
{
    static WORK_QUEUE_ITEM Item;
    PDRIVER_OBJECT Drv;
    ASSERT_EQ(kivrt::LoadDriver(
                  u"Worker",
                  [](PDRIVER_OBJECT, PUNICODE_STRING) {
                      ExInitializeWorkItem(
                          &Item, [](PVOID) {}, nullptr);
                      ExQueueWorkItem(&Item, DelayedWorkQueue);
                      return STATUS_SUCCESS;
                  },
                  &Drv),
              STATUS_SUCCESS);
    kivrt::UnloadDriver(Drv);
    ExpectRecords("unload-work-items");
    kivrt::DrainWorkItems();
}

TEST_F(WorkTest, WaitingInAnItemRunsTheItemsQueuedBehindIt)
{
    // With no worker threads, a routine waiting for a later item would wait forever: the wait
    // runs queued items meanwhile.
    static KEVENT Ready;
    static std::vector<int> Order;
    Order.clear();
    KeInitializeEvent(&Ready, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM Waiter, Setter;
    ExInitializeWorkItem(
        &Waiter,
        [](PVOID) {
            Order.push_back(1);
            KeWaitForSingleObject(&Ready, Executive, KernelMode, FALSE, nullptr);
            Order.push_back(3);
        },
        nullptr);
    ExInitializeWorkItem(
        &Setter,
        [](PVOID) {
            Order.push_back(2);
            KeSetEvent(&Ready, IO_NO_INCREMENT, FALSE);
        },
        nullptr);
    ExQueueWorkItem(&Waiter, DelayedWorkQueue);
    ExQueueWorkItem(&Setter, DelayedWorkQueue);
    kivrt::DrainWorkItems();
    EXPECT_EQ(Order, (std::vector<int>{1, 2, 3}));
}
