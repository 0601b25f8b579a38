// IRQL rules, spin-lock misuse, events and waits, fast mutexes and the lock order. The
// interlocked lists show in the framework's interlocked queue test; the raised status, an
// expired relative timeout and the interlocked results in the stack scenarios.
#include "kernel_fixture.h"

using KernelTest = KernelFixture;

TEST_F(KernelTest, SpinLockMisuseIsRecorded)
{
    struct CASE {
        const char* Name;
        std::function<void(PKSPIN_LOCK)> Misuse;
        const char* Checks;
    } Cases[] = {
        {"release a lock not held",
         [](PKSPIN_LOCK L) {
             KIRQL Old;
             KeRaiseIrql(DISPATCH_LEVEL, &Old);
             KeReleaseSpinLock(L, Old);
         },
         "lock-not-held"},
        {"release at PASSIVE",
         [](PKSPIN_LOCK L) {
             KIRQL Old;
             KeAcquireSpinLock(L, &Old);
             KeLowerIrql(PASSIVE_LEVEL);
             KeReleaseSpinLock(L, Old);
         },
         "irql"},
        {"acquire recursively",
         [](PKSPIN_LOCK L) {
             KIRQL Old;
             KeAcquireSpinLock(L, &Old);
             KeAcquireSpinLockAtDpcLevel(L);
             KeReleaseSpinLock(L, Old);
         },
         "lock-recursion"},
        {"DPC-level acquire at PASSIVE",
         [](PKSPIN_LOCK L) {
             KeAcquireSpinLockAtDpcLevel(L);
             KIRQL Old;
             KeRaiseIrql(DISPATCH_LEVEL, &Old);
             KeReleaseSpinLockFromDpcLevel(L);
             KeLowerIrql(Old);
         },
         "irql"},
        {"lower IRQL upwards", [](PKSPIN_LOCK) { KeLowerIrql(APC_LEVEL); }, "irql"},
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        KSPIN_LOCK L;
        KeInitializeSpinLock(&L);
        C.Misuse(&L);
        ExpectRecords(C.Checks);
        EXPECT_EQ(L, 0u) << "the lock ends up free";
        KeLowerIrql(PASSIVE_LEVEL);
    }
}

TEST_F(KernelTest, NotificationEventStaysSignalledSynchronizationEventIsConsumed)
{
    KEVENT N, S;
    KeInitializeEvent(&N, NotificationEvent, FALSE);
    KeInitializeEvent(&S, SynchronizationEvent, FALSE);
    LARGE_INTEGER Zero{};
    EXPECT_EQ(KeWaitForSingleObject(&N, Executive, KernelMode, FALSE, &Zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&N, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeSetEvent(&N, IO_NO_INCREMENT, FALSE), 0) << "returns the previous state";
    EXPECT_EQ(KeWaitForSingleObject(&N, Executive, KernelMode, FALSE, &Zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&N, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_NE(KeResetEvent(&N), 0);
    EXPECT_EQ(KeReadStateEvent(&N), 0);

    KeSetEvent(&S, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&S, Executive, KernelMode, FALSE, &Zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&S, Executive, KernelMode, FALSE, &Zero), STATUS_TIMEOUT);
}

TEST_F(KernelTest, WaitAtDispatchOnlyPolls)
{
    KEVENT E;
    KeInitializeEvent(&E, NotificationEvent, FALSE);
    LARGE_INTEGER Zero{}, Second;
    Second.QuadPart = -10000000;
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&E, Executive, KernelMode, FALSE, &Zero), STATUS_TIMEOUT);
        EXPECT_EQ(Records(), "");
        EXPECT_EQ(KeWaitForSingleObject(&E, Executive, KernelMode, FALSE, &Second), STATUS_TIMEOUT);
    }
    ExpectRecords("irql");
}

TEST_F(KernelTest, FastMutexHoldsApcLevel)
{
    FAST_MUTEX M;
    ExInitializeFastMutex(&M);
    ExAcquireFastMutex(&M);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&M));
    ExReleaseFastMutex(&M);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Records(), "");

    ExReleaseFastMutex(&M); // not owned
    ExpectRecords("irql;lock-not-owner");
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        ExAcquireFastMutex(&M);
        ExReleaseFastMutex(&M);
    }
    ExpectRecords("irql;irql");
}

TEST_F(KernelTest, IrqlPreconditionsAreRecorded)
{
    PVOID Block;
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        Block = ExAllocatePoolWithTag(PagedPool, 8, kivrt::MakeTag("Test"));
    }
    ExpectRecords("irql");
    ExFreePool(Block);
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        KIRQL Old;
        KeRaiseIrql(APC_LEVEL, &Old); // a raise may not lower
        KeRaiseIrql(DISPATCH_LEVEL, &Old);
    }
    ExpectRecords("irql");
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        EXPECT_THROW(ExRaiseStatus(STATUS_UNSUCCESSFUL), EXCEPTION_STATUS);
    }
    ExpectRecords("irql");
    {
        CIrqlScope Apc(APC_LEVEL);
        PAGED_CODE(); // allowed up to APC_LEVEL
    }
    EXPECT_EQ(Records(), "");
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        PAGED_CODE();
    }
    ExpectRecords("irql");
}

TEST_F(KernelTest, LockOrderInversionIsRecordedOnce)
{
    KSPIN_LOCK A, B;
    FAST_MUTEX M;
    KeInitializeSpinLock(&A);
    KeInitializeSpinLock(&B);
    ExInitializeFastMutex(&M);
    auto Take = [](PKSPIN_LOCK First, PKSPIN_LOCK Second) {
        KIRQL Old;
        KeAcquireSpinLock(First, &Old);
        KeAcquireSpinLockAtDpcLevel(Second);
        KeReleaseSpinLockFromDpcLevel(Second);
        KeReleaseSpinLock(First, Old);
    };
    Take(&A, &B);
    Take(&A, &B);
    ExAcquireFastMutex(&M); // mutex, then spin lock: a different pair
    Take(&A, &B);
    ExReleaseFastMutex(&M);
    EXPECT_EQ(Records(), "");
    Take(&B, &A);
    Take(&B, &A);
    ExpectRecords("lock-order");
}
