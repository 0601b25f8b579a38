// The application side: open, device control with each transfer type's buffers and the buffered
// copy-back rules, overlapped requests, CancelIo, and cleanup/close ordering.
#include "test_drivers.h"

#include <cstring>

static const ULONG IOCTL_TEST = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
static const ULONG IOCTL_TEST_WRITE = CTL_CODE(0x8004, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);

class AppTest : public KernelFixture {
public:
    PDRIVER_OBJECT Drv = nullptr;
    PDEVICE_OBJECT Dev = nullptr;
    std::string Log;         // majors received, in order
    std::vector<PIRP> Held;  // requests the driver pended
    std::vector<uint8_t> In; // what the driver saw in its system buffer
    std::function<NTSTATUS(PIRP)> Ioctl;

    void SetUp() override
    {
        KernelFixture::SetUp();
        ASSERT_EQ(kivrt::LoadDriver(u"TestApp", TestDriverEntry<0>, &Drv), STATUS_SUCCESS);
        UNICODE_STRING Name = Us(u"\\Device\\TestApp0"), Link = Us(u"\\DosDevices\\TestApp0");
        ASSERT_EQ(IoCreateDevice(Drv, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev),
                  STATUS_SUCCESS);
        Dev->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateSymbolicLink(&Link, &Name), STATUS_SUCCESS);
        g_Dispatch[0] = [this](PDEVICE_OBJECT, PIRP Irp) {
            PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
            static const char* Names[] = {"create", "?", "close", "read", "write"};
            if (L->MajorFunction <= IRP_MJ_WRITE) Log += std::string(Names[L->MajorFunction]) + " ";
            if (L->MajorFunction == IRP_MJ_CLEANUP) Log += "cleanup ";
            if (L->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                auto* B = (uint8_t*)Irp->AssociatedIrp.SystemBuffer;
                ULONG N = std::max(L->Parameters.DeviceIoControl.InputBufferLength,
                                   L->Parameters.DeviceIoControl.OutputBufferLength);
                if (METHOD_FROM_CTL_CODE(L->Parameters.DeviceIoControl.IoControlCode) ==
                    METHOD_BUFFERED)
                    In.assign(B, B + N);
                return Ioctl(Irp);
            }
            if (L->MajorFunction == IRP_MJ_CREATE && L->Parameters.Create.ShareAccess == 7)
                return CompleteWith(Irp, STATUS_SHARING_VIOLATION);
            return CompleteWith(Irp, STATUS_SUCCESS);
        };
        Ioctl = [](PIRP Irp) { return CompleteWith(Irp, STATUS_SUCCESS); };
    }

    void TearDown() override
    {
        UNICODE_STRING Link = Us(u"\\DosDevices\\TestApp0");
        IoDeleteSymbolicLink(&Link);
        IoDeleteDevice(Dev);
        kivrt::UnloadDriver(Drv);
        KernelFixture::TearDown();
    }

    kivrt::APP_HANDLE Open(bool Overlapped = false, ULONG Access = GENERIC_READ)
    {
        kivrt::APP_HANDLE H = nullptr;
        EXPECT_EQ(kivrt::AppOpen(u"\\\\.\\TestApp0", Access, FILE_SHARE_READ, Overlapped, &H),
                  STATUS_SUCCESS);
        return H;
    }

    // Pends every request in Held, with Cancel as its cancel routine.
    void PendAll(PDRIVER_CANCEL Cancel = nullptr)
    {
        Ioctl = [this, Cancel](PIRP Irp) {
            IoMarkIrpPending(Irp);
            IoSetCancelRoutine(Irp, Cancel);
            Held.push_back(Irp);
            return STATUS_PENDING;
        };
    }

    // Completes with Status after writing Info bytes 0xA0, 0xA1, ... into the system buffer.
    void Answer(NTSTATUS Status, ULONG_PTR Info)
    {
        Ioctl = [Status, Info](PIRP Irp) {
            auto* B = (uint8_t*)Irp->AssociatedIrp.SystemBuffer;
            for (ULONG_PTR i = 0; i < Info && B; i++)
                B[i] = uint8_t(0xA0 + i);
            return CompleteWith(Irp, Status, Info);
        };
    }
};

TEST_F(AppTest, OpenSendsCreateWithShareAccessAndCloseSendsCleanupThenClose)
{
    kivrt::APP_HANDLE H = Open();
    EXPECT_EQ(Log, "create ");
    kivrt::AppClose(H);
    EXPECT_EQ(Log, "create cleanup close ");
    EXPECT_EQ(kivrt::AppOpen(u"\\\\.\\TestApp0", GENERIC_READ, 7, false, &H),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Log, "create cleanup close create ") << "a failed create gets no cleanup or close";
    EXPECT_EQ(kivrt::AppOpen(u"\\\\.\\Nothing", GENERIC_READ, 0, false, &H),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Dev->Flags |= DO_EXCLUSIVE; // an exclusive device refuses a second open
    H = Open();
    kivrt::APP_HANDLE H2;
    EXPECT_EQ(kivrt::AppOpen(u"\\\\.\\TestApp0", GENERIC_READ, 0, false, &H2),
              STATUS_ACCESS_DENIED);
    kivrt::AppClose(H);
}

TEST_F(AppTest, BufferedCopyBackDependsOnTheStatusClass)
{
    struct CASE {
        const char* Name;
        NTSTATUS Status;
        ULONG_PTR Info;
        ULONG Returned;
        int Copied;
    } Cases[] = {
        {"success", STATUS_SUCCESS, 3, 3, 3},
        {"warning copies back", STATUS_BUFFER_OVERFLOW, 4, 4, 4},
        {"error copies nothing", STATUS_INVALID_PARAMETER, 0, 0, 0},
    };
    kivrt::APP_HANDLE H = Open();
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        Answer(C.Status, C.Info);
        uint8_t Out[6];
        memset(Out, 0x11, sizeof(Out));
        ULONG Returned = 99;
        EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, "in", 2, Out, 6, &Returned), C.Status);
        EXPECT_EQ(Returned, C.Returned);
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(Out[i], i < C.Copied ? 0xA0 + i : 0x11) << i;
    }
    kivrt::AppClose(H);
}

TEST_F(AppTest, SystemBufferHasTheLargerLengthWithInputCopiedAndTheRestPoisoned)
{
    kivrt::APP_HANDLE H = Open();
    uint8_t Out[5];
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, "ab", 2, Out, 5, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(In, (std::vector<uint8_t>{'a', 'b', 0xDD, 0xDD, 0xDD}));
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, "abcd", 4, Out, 1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(In.size(), 4u);
    Ioctl = [](PIRP Irp) {
        EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
        return CompleteWith(Irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    kivrt::AppClose(H);
}

// Direct: the input in a system buffer of its own length, the output described by an MDL and
// written in place (nothing is copied back). Neither: the caller's own addresses.
TEST_F(AppTest, EachTransferTypeGetsTheKernelsBuffers)
{
    kivrt::APP_HANDLE H = Open();
    char Input[3] = {'x', 'y', 'z'};
    uint8_t Out[4];
    for (ULONG Method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        SCOPED_TRACE(Method);
        memset(Out, 0, sizeof(Out));
        Ioctl = [](PIRP Irp) {
            PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
            auto* B = (uint8_t*)Irp->AssociatedIrp.SystemBuffer;
            EXPECT_EQ(L->Parameters.DeviceIoControl.InputBufferLength, 3u);
            EXPECT_EQ(L->Parameters.DeviceIoControl.OutputBufferLength, 4u);
            EXPECT_TRUE(B != nullptr && memcmp(B, "xyz", 3) == 0);
            if (Irp->MdlAddress == nullptr) return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(MmGetMdlByteCount(Irp->MdlAddress), 4u);
            auto* P = (uint8_t*)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
            P[0] = 0x5A;
            if (B) B[1] = 0xEE; // stays in the system buffer
            return CompleteWith(Irp, STATUS_SUCCESS, 4);
        };
        ULONG Returned = 0;
        EXPECT_EQ(kivrt::AppDeviceIoControl(H, CTL_CODE(0x8004, 0x802, Method, FILE_ANY_ACCESS),
                                            Input, 3, Out, 4, &Returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(Returned, 4u);
        EXPECT_EQ(Out[0], 0x5A);
        EXPECT_EQ(Out[1], 0);
        EXPECT_EQ(Input[0], 'x');
    }
    const ULONG Neither = CTL_CODE(0x8004, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
    Ioctl = [&](PIRP Irp) {
        PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
        EXPECT_EQ(L->Parameters.DeviceIoControl.Type3InputBuffer, (void*)Input);
        EXPECT_EQ(Irp->UserBuffer, (void*)Out);
        EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(Irp->MdlAddress, nullptr);
        if (Irp->UserBuffer) ((uint8_t*)Irp->UserBuffer)[1] = 0x6B;
        return CompleteWith(Irp, STATUS_SUCCESS, 2);
    };
    ULONG Returned = 0;
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, Neither, Input, 3, Out, 4, &Returned), STATUS_SUCCESS);
    EXPECT_EQ(Returned, 2u);
    EXPECT_EQ(Out[1], 0x6B);
    // Without buffers a direct request has neither a system buffer nor an MDL.
    Ioctl = [](PIRP Irp) {
        EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(Irp->MdlAddress, nullptr);
        return CompleteWith(Irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, CTL_CODE(0x8004, 0x802, METHOD_OUT_DIRECT, 0), nullptr,
                                        0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    kivrt::AppClose(H);
}

TEST_F(AppTest, InformationTheRequestCannotHaveIsRecorded)
{
    kivrt::APP_HANDLE H = Open();
    Answer(STATUS_SUCCESS, 4);
    uint8_t Out[8];
    memset(Out, 0, sizeof(Out));
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, "abcdefgh", 8, Out, 2, nullptr),
              STATUS_SUCCESS);
    ExpectRecords("information-too-large");
    EXPECT_EQ(Out[2], 0) << "never more than the caller's buffer";
    Answer(STATUS_UNSUCCESSFUL, 2);
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, Out, 2, nullptr),
              STATUS_UNSUCCESSFUL);
    ExpectRecords("error-information");
    kivrt::AppClose(H);
}

TEST_F(AppTest, AccessBitsAreCheckedAgainstTheHandle)
{
    kivrt::APP_HANDLE H = Open(false, GENERIC_READ);
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST_WRITE, nullptr, 0, nullptr, 0, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(In.size(), 0u) << "never reached the driver";
    kivrt::AppClose(H);
}

TEST_F(AppTest, SynchronousHandleWaitsForAPendedRequest)
{
    kivrt::APP_HANDLE H = Open();
    Ioctl = [this](PIRP Irp) {
        IoMarkIrpPending(Irp);
        Held.push_back(Irp);
        // Completed later by a work item, as a driver's worker would.
        static WORK_QUEUE_ITEM Item;
        ExInitializeWorkItem(
            &Item,
            [](PVOID P) {
                auto* Self = (AppTest*)P;
                PIRP I = Self->Held.back();
                *(uint8_t*)I->AssociatedIrp.SystemBuffer = 0x5A;
                CompleteWith(I, STATUS_SUCCESS, 1);
            },
            this);
        ExQueueWorkItem(&Item, DelayedWorkQueue);
        return STATUS_PENDING;
    };
    uint8_t Out = 0;
    ULONG Returned = 0;
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, &Out, 1, &Returned),
              STATUS_SUCCESS);
    EXPECT_EQ(Out, 0x5A);
    EXPECT_EQ(Returned, 1u);
    kivrt::AppClose(H);
}

TEST_F(AppTest, OverlappedRequestPendsAndCancelIoCancelsIt)
{
    kivrt::APP_HANDLE H = Open(true);
    PendAll([](PDEVICE_OBJECT, PIRP I) {
        IoReleaseCancelSpinLock(I->CancelIrql);
        CompleteWith(I, STATUS_CANCELLED);
    });
    kivrt::Overlapped Ov;
    uint8_t Out[4];
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, Out, 4, nullptr, &Ov),
              STATUS_PENDING);
    EXPECT_FALSE(Ov.IsComplete());
    EXPECT_EQ(kivrt::AppOutstanding(H), 1u);
    kivrt::AppCancelIo(H);
    ASSERT_TRUE(Ov.Wait(1000));
    EXPECT_EQ(Ov.Status(), STATUS_CANCELLED);
    EXPECT_EQ(kivrt::Win32ErrorFromStatus(Ov.Status()), 995u);
    EXPECT_EQ(kivrt::AppOutstanding(H), 0u);
    kivrt::AppClose(H);
}

TEST_F(AppTest, CompletionNotificationRunsOnceWhenTheRequestIsComplete)
{
    kivrt::APP_HANDLE H = Open(true);
    uint8_t Out[4];
    PendAll();
    kivrt::Overlapped Pended;
    int Calls = 0;
    bool VisibleWhenCalled = false;
    // This test keeps the object alive, so the callback may look at it.
    Pended.NotifyOnCompletion([&] {
        Calls++;
        VisibleWhenCalled = Pended.IsComplete() && Pended.Information() == 2;
    });
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, Out, 4, nullptr, &Pended),
              STATUS_PENDING);
    EXPECT_EQ(Calls, 0);
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL); // as a lower driver's completion would run
        CompleteWith(Held[0], STATUS_SUCCESS, 2);
    }
    EXPECT_EQ(Calls, 1);
    EXPECT_TRUE(VisibleWhenCalled);

    // Completed inside the dispatch routine: notified before the call returns, once.
    Answer(STATUS_SUCCESS, 1);
    kivrt::Overlapped Sync;
    int SyncCalls = 0;
    Sync.NotifyOnCompletion([&] { SyncCalls++; });
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, Out, 4, nullptr, &Sync),
              STATUS_SUCCESS);
    EXPECT_EQ(SyncCalls, 1);

    // Asked for after the completion: runs at once.
    int LateCalls = 0;
    Sync.NotifyOnCompletion([&] { LateCalls++; });
    EXPECT_EQ(LateCalls, 1);
    EXPECT_EQ(SyncCalls, 1);
    kivrt::AppClose(H);
}

TEST_F(AppTest, CloseComesAfterTheLastRequestCompletes)
{
    kivrt::APP_HANDLE H = Open(true);
    PendAll();
    kivrt::Overlapped Ov;
    EXPECT_EQ(kivrt::AppDeviceIoControl(H, IOCTL_TEST, nullptr, 0, nullptr, 0, nullptr, &Ov),
              STATUS_PENDING);
    kivrt::AppClose(H);
    EXPECT_EQ(Log, "create cleanup ") << "closing does not cancel; CLOSE waits";
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL); // as a lower driver's completion would run
        CompleteWith(Held[0], STATUS_SUCCESS);
    }
    EXPECT_TRUE(Ov.IsComplete());
    EXPECT_EQ(Log, "create cleanup ") << "CLOSE is sent at PASSIVE_LEVEL, later";
    kivrt::DrainWorkItems();
    EXPECT_EQ(Log, "create cleanup close ");
}
