// The completion walk, pending propagation and the checks made around dispatch and completion.
// Stopping the walk with STATUS_MORE_PROCESSING_REQUIRED and resuming it shows in every start
// (the function driver passes it down and waits) and in the start_failures scenario.
#include "test_drivers.h"

using IrpTest = IoFixture;

TEST_F(IrpTest, InvokeFlagsDecideWhichRoutinesRun)
{
    struct CASE {
        const char* Name;
        NTSTATUS Status;
        bool Cancel;
        BOOLEAN OnSuccess, OnError, OnCancel;
        bool Called;
    } Cases[] = {
        {"success, on success", STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {"success, on error|cancel", STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {"warning counts as error", STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
        {"informational counts as success", STATUS_OBJECT_NAME_EXISTS, false, TRUE, FALSE, FALSE,
         true},
        {"error, on success", STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {"cancelled, on cancel", STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {"success with Cancel set, on cancel", STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
        {"error without Cancel, on cancel", STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        COMPLETION_LOG Top{.Return = STATUS_MORE_PROCESSING_REQUIRED}, Mid;
        PIRP Irp = DriverIrp(&Top);
        Irp->Cancel = C.Cancel;
        g_Dispatch[0] = [&C](PDEVICE_OBJECT, PIRP I) { return CompleteWith(I, C.Status); };
        g_Dispatch[1] = [&](PDEVICE_OBJECT, PIRP I) {
            IoCopyCurrentIrpStackLocationToNext(I);
            IoSetCompletionRoutine(I, LogCompletion, &Mid, C.OnSuccess, C.OnError, C.OnCancel);
            return IoCallDriver(Lower, I);
        };
        EXPECT_EQ(IoCallDriver(Upper, Irp), C.Status);
        EXPECT_EQ(Mid.Calls, C.Called ? 1 : 0);
        if (C.Called) {
            EXPECT_EQ(Mid.Device, Upper) << "the device of the routine's own location";
        }
        EXPECT_EQ(Top.Calls, 1);
        EXPECT_EQ(Top.Device, nullptr) << "no location above a driver's own IRP";
        IoFreeIrp(Irp);
    }
}

TEST_F(IrpTest, PendingPropagatesToTheTopWithoutCompletionRoutines)
{
    PIRP Irp = DriverIrp(&Top);
    LowerPends();
    g_Dispatch[1] = [this](PDEVICE_OBJECT, PIRP I) {
        IoCopyCurrentIrpStackLocationToNext(I); // no routine: the walk propagates pending
        return IoCallDriver(Lower, I);
    };
    EXPECT_EQ(IoCallDriver(Upper, Irp), STATUS_PENDING);
    ASSERT_EQ(Held.size(), 1u);
    CompleteWith(Held[0], STATUS_SUCCESS);
    EXPECT_EQ(Top.Calls, 1);
    EXPECT_TRUE(Top.PendingReturned);
    IoFreeIrp(Irp);
}

TEST_F(IrpTest, CompletionRoutineMustPropagatePending)
{
    COMPLETION_LOG Mid{.Propagate = false};
    PIRP Irp = DriverIrp(&Top);
    LowerPends();
    g_Dispatch[1] = [&](PDEVICE_OBJECT, PIRP I) {
        IoCopyCurrentIrpStackLocationToNext(I);
        IoSetCompletionRoutine(I, LogCompletion, &Mid, TRUE, TRUE, TRUE);
        return IoCallDriver(Lower, I);
    };
    EXPECT_EQ(IoCallDriver(Upper, Irp), STATUS_PENDING);
    CompleteWith(Held[0], STATUS_SUCCESS);
    ExpectRecords("pending-not-propagated");
    IoFreeIrp(Irp);
}

TEST_F(IrpTest, DispatchMisuseIsRecorded)
{
    struct CASE {
        const char* Name;
        DISPATCH_FN Lower;
        const char* Checks;
    } Cases[] = {
        {"pending without marking",
         [this](PDEVICE_OBJECT, PIRP I) {
             Held.push_back(I);
             return STATUS_PENDING;
         },
         "pending-not-marked"},
        {"marked pending, returned success",
         [](PDEVICE_OBJECT, PIRP I) {
             IoMarkIrpPending(I);
             CompleteWith(I, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         },
         "pending-status-mismatch"},
        {"returned without completing", [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; },
         "irp-not-finished"},
        {"completed twice",
         [](PDEVICE_OBJECT, PIRP I) {
             CompleteWith(I, STATUS_SUCCESS);
             IoCompleteRequest(I, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         },
         "double-completion"},
        {"completed with a cancel routine",
         [](PDEVICE_OBJECT, PIRP I) {
             IoSetCancelRoutine(I, [](PDEVICE_OBJECT, PIRP) {});
             return CompleteWith(I, STATUS_SUCCESS);
         },
         "complete-with-cancel-routine"},
        {"completed with STATUS_PENDING",
         [](PDEVICE_OBJECT, PIRP I) {
             IoMarkIrpPending(I);
             CompleteWith(I, STATUS_PENDING);
             return STATUS_PENDING;
         },
         "complete-status"},
        {"completed holding a spin lock",
         [](PDEVICE_OBJECT, PIRP I) {
             static KSPIN_LOCK Lock = 0;
             KIRQL Old;
             KeAcquireSpinLock(&Lock, &Old);
             CompleteWith(I, STATUS_SUCCESS);
             KeReleaseSpinLock(&Lock, Old);
             return STATUS_SUCCESS;
         },
         "call-holding-spin-lock"},
        {"returned at DISPATCH_LEVEL",
         [](PDEVICE_OBJECT, PIRP I) {
             KIRQL Old;
             KeRaiseIrql(DISPATCH_LEVEL, &Old);
             return CompleteWith(I, STATUS_SUCCESS);
         },
         "irql-changed"},
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        Held.clear();
        COMPLETION_LOG Top{.Return = STATUS_MORE_PROCESSING_REQUIRED};
        PIRP Irp = DriverIrp(&Top);
        g_Dispatch[0] = C.Lower;
        IoCallDriver(Upper, Irp);
        ExpectRecords(C.Checks);
        if (!Held.empty() || Irp->CurrentLocation != Irp->StackCount + 1) {
            // Finish what the misbehaving driver left so nothing leaks.
            CompleteWith(Irp, STATUS_CANCELLED);
            kivrt::ClearVerifierRecords();
        }
        IoFreeIrp(Irp);
    }
}

TEST_F(IrpTest, FreeMisuseIsRecordedAndKeepsTheIrp)
{
    LowerPends();
    PIRP Irp = OwnIrp();
    IoCallDriver(Lower, Irp);
    IoFreeIrp(Irp); // the lower driver still holds it
    ExpectRecords("irp-free-in-use");
    CompleteWith(Held[0], STATUS_SUCCESS);
    IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT, PIRP) {});
    IoFreeIrp(Irp);
    ExpectRecords("irp-free-cancel-routine");
    IoSetCancelRoutine(Irp, nullptr);
    IoFreeIrp(Irp);
    EXPECT_EQ(Records(), "");
}

TEST_F(IrpTest, RunningOutOfStackLocationsIsRecorded)
{
    PIRP Irp = OwnIrp(1); // the upper device needs two
    g_Dispatch[1] = [this](PDEVICE_OBJECT, PIRP I) {
        NTSTATUS S = IoCallDriver(Lower, I);
        EXPECT_EQ(S, STATUS_INVALID_PARAMETER);
        return CompleteWith(I, S);
    };
    IoCallDriver(Upper, Irp);
    ExpectRecords("irp-stack-overflow");
    IoFreeIrp(Irp);
}

TEST_F(IrpTest, SendingAndFreeingMisuseIsRecorded)
{
    PIRP Irp = OwnIrp();
    IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT, PIRP) {});
    g_Dispatch[0] = [](PDEVICE_OBJECT, PIRP I) {
        IoSetCancelRoutine(I, nullptr);
        return CompleteWith(I, STATUS_SUCCESS);
    };
    IoCallDriver(Lower, Irp);
    ExpectRecords("call-with-cancel-routine");

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->CompletionRoutine = nullptr; // asks for a routine it lacks
    Next->Control = SL_INVOKE_ON_SUCCESS;
    g_Dispatch[0] = [](PDEVICE_OBJECT, PIRP I) { return CompleteWith(I, STATUS_SUCCESS); };
    IoCallDriver(Lower, Irp);
    ExpectRecords("next-control;driver-irp-past-top");
    EXPECT_EQ(kivrt::PoolBlocks(kivrt::TAG_IRP), 0u) << "the runtime freed it";

    Irp = OwnIrp();
    IoGetNextIrpStackLocation(Irp)->MajorFunction = 0x40;
    EXPECT_EQ(IoCallDriver(Lower, Irp), STATUS_INVALID_DEVICE_REQUEST);
    ExpectRecords("bad-major");
    IoFreeIrp(Irp);

    Irp = OwnIrp(); // power goes down with PoCallDriver
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_POWER;
    IoCallDriver(Lower, Irp);
    ExpectRecords("power-via-iocalldriver");
    IoFreeIrp(Irp);

    Irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(Irp);
    EXPECT_EQ(Records(), "");
    IoFreeIrp(Irp);
    ExpectRecords("bad-irp");
}

TEST_F(IrpTest, CompletingOrSendingAQueuedIrpIsRecorded)
{
    PIRP Irp = OwnIrp();
    KDEVICE_QUEUE Q;
    KeInitializeDeviceQueue(&Q);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KeInsertDeviceQueue(&Q, &Irp->Tail.Overlay.DeviceQueueEntry); // makes Q busy
    KeInsertDeviceQueue(&Q, &Irp->Tail.Overlay.DeviceQueueEntry); // links the entry
    KeLowerIrql(Old);
    IoCallDriver(Lower, Irp);
    ExpectRecords("call-queued;complete-queued");
    IoFreeIrp(Irp);
    ExpectRecords("irp-free-queued");
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KeRemoveDeviceQueue(&Q);
    KeLowerIrql(Old);
    IoFreeIrp(Irp);
}
