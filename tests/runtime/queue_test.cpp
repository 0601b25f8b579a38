// Cancellation (before and after a cancel routine is set), the cancel spin lock, device queues
// and StartIo with next packet. A routine taken back by the completer shows in the cancel races.
#include "test_drivers.h"

using DeviceQueueTest = KernelFixture;

// An IRP pended by the lower driver, whose completion stops at the top.
class CancelTest : public IoFixture {
protected:
    PIRP PendingIrp()
    {
        LowerPends();
        PIRP Irp = DriverIrp(&Top);
        IoCallDriver(Upper, Irp);
        return Irp;
    }
};

static PIRP g_Cancelled = nullptr;

static VOID CancelAndComplete(PDEVICE_OBJECT D, PIRP Irp)
{
    g_Cancelled = Irp;
    if (D != nullptr && D->CurrentIrp != Irp)
        KeRemoveEntryDeviceQueue(&D->DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "entered holding the cancel spin lock";
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteWith(Irp, STATUS_CANCELLED);
}

TEST_F(CancelTest, CancelBeforeARoutineIsSetOnlyMarksTheIrp)
{
    PIRP Irp = PendingIrp();
    EXPECT_FALSE(IoCancelIrp(Irp));
    EXPECT_TRUE(Irp->Cancel);
    // The owner sees Cancel when it sets its routine and cancels the IRP itself.
    IoSetCancelRoutine(Irp, CancelAndComplete);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr)
        CompleteWith(Irp, STATUS_CANCELLED);
    EXPECT_EQ(Top.Calls, 1);
    EXPECT_EQ(Top.SeenStatus, STATUS_CANCELLED);
    IoFreeIrp(Irp);
}

TEST_F(CancelTest, CancelRoutineRunsWithTheLockAndTheCurrentDevice)
{
    PIRP Irp = PendingIrp();
    IoSetCancelRoutine(Irp, CancelAndComplete);
    g_Cancelled = nullptr;
    EXPECT_TRUE(IoCancelIrp(Irp));
    EXPECT_EQ(g_Cancelled, Irp);
    EXPECT_EQ(Irp->CancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(Top.SeenStatus, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(IoCancelIrp(Irp)) << "the routine was taken";
    IoFreeIrp(Irp);
}

TEST_F(CancelTest, CancelRoutineReturningWithTheLockIsRecorded)
{
    PIRP Irp = PendingIrp();
    IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT, PIRP) {});
    IoCancelIrp(Irp);
    ExpectRecords("cancel-lock-held");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    CompleteWith(Irp, STATUS_CANCELLED);
    IoFreeIrp(Irp);
}

TEST_F(CancelTest, ReleasingTheCancelLockAtTheWrongIrqlIsRecorded)
{
    PIRP Irp = PendingIrp();
    IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT, PIRP I) {
        IoReleaseCancelSpinLock(DISPATCH_LEVEL);
        KeLowerIrql(I->CancelIrql);
    });
    IoCancelIrp(Irp);
    ExpectRecords("cancel-lock-irql");
    CompleteWith(Irp, STATUS_CANCELLED);
    IoFreeIrp(Irp);
}

TEST_F(DeviceQueueTest, InsertAndRemoveFollowTheBusyRules)
{
    KDEVICE_QUEUE Q;
    KeInitializeDeviceQueue(&Q);
    KDEVICE_QUEUE_ENTRY A{}, B{}, C{};
    CIrqlScope Dispatch(DISPATCH_LEVEL);
    EXPECT_FALSE(KeInsertDeviceQueue(&Q, &A)) << "idle: marked busy, not linked";
    EXPECT_TRUE(Q.Busy);
    EXPECT_FALSE(A.Inserted);
    EXPECT_TRUE(IsListEmpty(&Q.DeviceListHead));
    EXPECT_TRUE(KeInsertDeviceQueue(&Q, &B));
    EXPECT_TRUE(KeInsertDeviceQueue(&Q, &C));
    EXPECT_TRUE(B.Inserted);
    EXPECT_TRUE(KeRemoveEntryDeviceQueue(&Q, &C));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&Q, &C));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&Q, &A)) << "the entry in work is not linked";
    EXPECT_EQ(KeRemoveDeviceQueue(&Q), &B);
    EXPECT_FALSE(B.Inserted);
    EXPECT_TRUE(Q.Busy) << "the removed entry occupies the device";
    EXPECT_EQ(KeRemoveDeviceQueue(&Q), nullptr);
    EXPECT_FALSE(Q.Busy);
    EXPECT_EQ(KeRemoveDeviceQueue(&Q), nullptr);
    ExpectRecords("device-queue-idle");
}

TEST_F(DeviceQueueTest, InsertBelowDispatchIsRecorded)
{
    KDEVICE_QUEUE Q;
    KeInitializeDeviceQueue(&Q);
    KDEVICE_QUEUE_ENTRY A{};
    KeInsertDeviceQueue(&Q, &A);
    ExpectRecords("irql");
}

class StartIoTest : public IoFixture {};

// Cancelling through the routine IoStartPacket set shows in the next test.
TEST_F(StartIoTest, StartPacketRunsStartIoWhenIdleAndQueuesWhenBusy)
{
    std::vector<PIRP> Started;
    g_StartIo[0] = [&](PDEVICE_OBJECT D, PIRP Irp) {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(D->CurrentIrp, Irp);
        Started.push_back(Irp);
    };
    g_Dispatch[0] = [](PDEVICE_OBJECT D, PIRP Irp) {
        IoMarkIrpPending(Irp);
        IoStartPacket(D, Irp, nullptr, CancelAndComplete);
        return STATUS_PENDING;
    };
    COMPLETION_LOG Log[2] = {{.Return = STATUS_MORE_PROCESSING_REQUIRED},
                             {.Return = STATUS_MORE_PROCESSING_REQUIRED}};
    PIRP Irps[2];
    for (int i = 0; i < 2; i++) {
        Irps[i] = DriverIrp(&Log[i]);
        EXPECT_EQ(IoCallDriver(Upper, Irps[i]), STATUS_PENDING);
    }
    ASSERT_EQ(Started.size(), 1u);
    EXPECT_TRUE(Lower->DeviceQueue.Busy);

    // Finishing the current IRP starts the next before the finished one completes.
    for (int i = 0; i < 2; i++) {
        PIRP Current = Started.back();
        ASSERT_EQ(IoSetCancelRoutine(Current, nullptr), CancelAndComplete);
        {
            CIrqlScope Dispatch(DISPATCH_LEVEL);
            IoStartNextPacket(Lower, TRUE);
        }
        CompleteWith(Current, STATUS_SUCCESS);
    }
    EXPECT_EQ(Started.size(), 2u);
    EXPECT_EQ(Started[1], Irps[1]);
    EXPECT_FALSE(Lower->DeviceQueue.Busy);
    EXPECT_EQ(Lower->CurrentIrp, nullptr);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Log[i].Calls, 1);
        IoFreeIrp(Irps[i]);
    }
}

TEST_F(StartIoTest, StartPacketOfAnAlreadyCancelledIrpCallsTheCancelRoutine)
{
    g_StartIo[0] = [](PDEVICE_OBJECT, PIRP) {};
    g_Dispatch[0] = [](PDEVICE_OBJECT D, PIRP Irp) {
        IoMarkIrpPending(Irp);
        IoStartPacket(D, Irp, nullptr, CancelAndComplete);
        return STATUS_PENDING;
    };
    COMPLETION_LOG First{.Return = STATUS_MORE_PROCESSING_REQUIRED},
        Second{.Return = STATUS_MORE_PROCESSING_REQUIRED};
    PIRP A = DriverIrp(&First), B = DriverIrp(&Second);
    IoCallDriver(Upper, A);
    B->Cancel = TRUE;
    g_Cancelled = nullptr;
    IoCallDriver(Upper, B);
    EXPECT_EQ(g_Cancelled, B);
    EXPECT_EQ(Second.SeenStatus, STATUS_CANCELLED);
    // Cancelling the current IRP: its routine completes it; the owner starts the next.
    EXPECT_TRUE(IoCancelIrp(A));
    EXPECT_EQ(First.SeenStatus, STATUS_CANCELLED);
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        IoStartNextPacket(Lower, TRUE);
    }
    EXPECT_FALSE(Lower->DeviceQueue.Busy);
    IoFreeIrp(A);
    IoFreeIrp(B);
}
