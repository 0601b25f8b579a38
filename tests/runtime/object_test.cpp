// Device and driver objects, names, symbolic links, stacks and driver object extensions.
#include "test_drivers.h"

#include <algorithm>

class ObjectTest : public KernelFixture {
protected:
    PDRIVER_OBJECT Drv = nullptr;
    void SetUp() override
    {
        KernelFixture::SetUp();
        ASSERT_EQ(kivrt::LoadDriver(u"TestObj", TestDriverEntry<0>, &Drv), STATUS_SUCCESS);
        g_Dispatch[0] = [](PDEVICE_OBJECT, PIRP Irp) { return CompleteWith(Irp, STATUS_SUCCESS); };
    }
    void TearDown() override
    {
        kivrt::UnloadDriver(Drv);
        KernelFixture::TearDown();
    }
};

// The registry path handed to DriverEntry shows in the framework's driver test.
TEST_F(ObjectTest, DriverObjectStartsWithInvalidRequestHandlers)
{
    PDRIVER_OBJECT Raw;
    auto Entry = [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; };
    ASSERT_EQ(kivrt::LoadDriver(u"Raw", Entry, &Raw), STATUS_SUCCESS);
    PDEVICE_OBJECT Dev;
    ASSERT_EQ(IoCreateDevice(Raw, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev), STATUS_SUCCESS);
    PIRP Irp = IoAllocateIrp(1, FALSE);
    COMPLETION_LOG Log{.Return = STATUS_MORE_PROCESSING_REQUIRED};
    IoSetCompletionRoutine(Irp, LogCompletion, &Log, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Irp->IoStatus.Information = 9;
    EXPECT_EQ(IoCallDriver(Dev, Irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Irp->IoStatus.Information, 0u);
    IoFreeIrp(Irp);
    IoDeleteDevice(Dev);
    kivrt::UnloadDriver(Raw);
}

TEST_F(ObjectTest, CreateDeviceFillsTheObjectAndLinksAtTheHead)
{
    UNICODE_STRING Name = Us(u"\\Device\\KivSdp0");
    PDEVICE_OBJECT A, B;
    ASSERT_EQ(IoCreateDevice(Drv, 40, &Name, FILE_DEVICE_UNKNOWN, 0, TRUE, &A), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(Drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &B), STATUS_SUCCESS);
    EXPECT_EQ(A->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(A->StackSize, 1);
    EXPECT_EQ(A->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(B->Flags, ULONG(DO_DEVICE_INITIALIZING));
    EXPECT_EQ((uintptr_t)A->DeviceExtension % 16, 0u);
    auto* Ext = (const uint8_t*)A->DeviceExtension;
    EXPECT_EQ(std::count(Ext, Ext + 40, 0), 40) << "zero-filled";
    EXPECT_EQ(B->DeviceExtension, nullptr);
    EXPECT_EQ(Drv->DeviceObject, B);
    EXPECT_EQ(B->NextDevice, A);
    EXPECT_FALSE(A->DeviceQueue.Busy);
    IoDeleteDevice(A);
    EXPECT_EQ(B->NextDevice, nullptr) << "unlinked at once";
    IoDeleteDevice(B);
    EXPECT_EQ(Drv->DeviceObject, nullptr);
}

TEST_F(ObjectTest, NameCollisionsIgnoreCaseAndCreateNothing)
{
    UNICODE_STRING Name = Us(u"\\Device\\KivSdp0"), Upper = Us(u"\\DEVICE\\KIVSDP0");
    PDEVICE_OBJECT A, B = (PDEVICE_OBJECT)1;
    ASSERT_EQ(IoCreateDevice(Drv, 0, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &A), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(Drv, 0, &Upper, FILE_DEVICE_UNKNOWN, 0, FALSE, &B),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(B, nullptr);
    EXPECT_EQ(A->NextDevice, nullptr);
    IoDeleteDevice(A);
    ASSERT_EQ(IoCreateDevice(Drv, 0, &Upper, FILE_DEVICE_UNKNOWN, 0, FALSE, &B), STATUS_SUCCESS)
        << "the name was freed by the delete";
    IoDeleteDevice(B);
}

TEST_F(ObjectTest, SymbolicLinksResolveAtOpenTime)
{
    UNICODE_STRING Link = Us(u"\\DosDevices\\KivSdp0"), Same = Us(u"\\??\\kivsdp0");
    UNICODE_STRING Target = Us(u"\\Device\\KivSdp0");
    EXPECT_EQ(IoCreateSymbolicLink(&Link, &Target), STATUS_SUCCESS) << "the target need not exist";
    EXPECT_EQ(IoCreateSymbolicLink(&Same, &Target), STATUS_OBJECT_NAME_COLLISION);
    kivrt::APP_HANDLE H;
    EXPECT_EQ(kivrt::AppOpen(u"\\\\.\\KivSdp0", GENERIC_READ, 0, false, &H),
              STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_OBJECT Dev;
    ASSERT_EQ(IoCreateDevice(Drv, 0, &Target, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev), STATUS_SUCCESS);
    Dev->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(kivrt::AppOpen(u"\\\\.\\KivSdp0", GENERIC_READ, 0, false, &H), STATUS_SUCCESS);
    kivrt::AppClose(H);
    EXPECT_EQ(IoDeleteSymbolicLink(&Same), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&Link), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(Dev);
}

TEST_F(ObjectTest, AttachFollowsTheStackAndDetachUndoesIt)
{
    PDEVICE_OBJECT Bottom, Middle, Top;
    IoCreateDevice(Drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Bottom);
    IoCreateDevice(Drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Middle);
    IoCreateDevice(Drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Top);
    Bottom->AlignmentRequirement = 3;
    EXPECT_EQ(IoAttachDeviceToDeviceStack(Middle, Bottom), Bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(Top, Bottom), Middle) << "attaches to the top";
    EXPECT_EQ(Top->StackSize, 3);
    EXPECT_EQ(Top->AlignmentRequirement, 3u);
    EXPECT_EQ(IoGetAttachedDevice(Bottom), Top);

    IoDeleteDevice(Middle); // still attached to the one below: refused
    ExpectRecords("delete-attached");
    EXPECT_EQ(IoGetAttachedDevice(Bottom), Top) << "the stack is intact";
    IoDetachDevice(Middle);
    IoDetachDevice(Bottom);
    IoDetachDevice(Bottom);
    ExpectRecords("detach-nothing");
    IoDeleteDevice(Top);
    IoDeleteDevice(Middle);
    IoDeleteDevice(Bottom);
    IoDeleteDevice(Bottom);
    ExpectRecords("bad-device");
}

TEST_F(ObjectTest, ADeviceLeftUnderAnAttachedDeviceIsReportedAtUnload)
{
    PDRIVER_OBJECT Other;
    ASSERT_EQ(kivrt::LoadDriver(u"Other", TestDriverEntry<1>, &Other), STATUS_SUCCESS);
    PDEVICE_OBJECT Bottom, Top;
    IoCreateDevice(Other, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Bottom);
    IoCreateDevice(Drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Top);
    IoAttachDeviceToDeviceStack(Top, Bottom);
    IoDeleteDevice(Bottom); // the upper device never detaches
    kivrt::UnloadDriver(Other);
    ExpectRecords("unload-leftover");
    IoDetachDevice(Bottom); // late, but the memory is still there to fix the stack
    IoDeleteDevice(Top);
}

static int g_ExtensionKey;

TEST_F(ObjectTest, DriverObjectExtensionsAreKeyedByAddress)
{
    PVOID A = nullptr, B = (PVOID)1;
    EXPECT_EQ(IoAllocateDriverObjectExtension(Drv, &g_ExtensionKey, 8, &A), STATUS_SUCCESS);
    EXPECT_NE(A, nullptr);
    EXPECT_EQ(IoAllocateDriverObjectExtension(Drv, &g_ExtensionKey, 8, &B),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(B, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(Drv, &g_ExtensionKey), A);
    EXPECT_EQ(IoGetDriverObjectExtension(Drv, (PVOID)0xFAFA), nullptr);
    kivrt::FailPoolAllocations(kivrt::TAG_DRIVER, 0, 1);
    EXPECT_EQ(IoAllocateDriverObjectExtension(Drv, (PVOID)0xFAFA, 8, &B),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ObjectTest, UnloadReportsWhatTheDriverLeftBehind)
{
    PDRIVER_OBJECT Leaky;
    ASSERT_EQ(kivrt::LoadDriver(
                  u"Leaky",
                  [](PDRIVER_OBJECT, PUNICODE_STRING) {
                      ExAllocatePoolWithTag(PagedPool, 12, kivrt::MakeTag("Leak"));
                      static NPAGED_LOOKASIDE_LIST L;
                      ExInitializeNPagedLookasideList(&L, nullptr, nullptr, 0, 16,
                                                      kivrt::MakeTag("Leak"), 4);
                      UNICODE_STRING Link, Target;
                      RtlInitUnicodeString(&Link, u"\\DosDevices\\Leaky");
                      RtlInitUnicodeString(&Target, u"\\Device\\Leaky");
                      IoCreateSymbolicLink(&Link, &Target);
                      return STATUS_SUCCESS;
                  },
                  &Leaky),
              STATUS_SUCCESS);
    kivrt::UnloadDriver(Leaky);
    ExpectRecords("unload-leftover;lookaside-left;pool-leak");
    EXPECT_EQ(kivrt::PoolBlocks(kivrt::MakeTag("Leak")), 1u);
    kivrt::Reset(RuntimeOptions()); // the leaked block goes with the runtime
}
