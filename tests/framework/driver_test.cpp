// Driver object classes: the dispatch table, the registry path copy and
// unload.
#include "TestStack.h"

#include <cstring>

using DriverFixture = KernelFixture;

namespace {

struct ENTRY_RESULT {
    PDRIVER_DISPATCH Before[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDRIVER_DISPATCH After[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDRIVER_UNLOAD Unload;
    PUNICODE_STRING Path;
    std::u16string PathText;
    bool Terminated;
    bool Allocated;
};
ENTRY_RESULT g_Entry;
UNICODE_STRING g_PathOverride;
bool g_UseOverride;

NTSTATUS Other(PDEVICE_OBJECT, PIRP)
{
    return STATUS_SUCCESS;
}
NTSTATUS Later(PDEVICE_OBJECT, PIRP)
{
    return STATUS_SUCCESS;
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    memcpy(g_Entry.Before, DriverObject->MajorFunction, sizeof(g_Entry.Before));
    CPnpDriver* driver =
        new CPnpDriver(DriverObject, g_UseOverride ? &g_PathOverride : RegistryPath);
    g_Entry.Allocated = driver != NULL;
    if (driver == NULL) return STATUS_NO_MEMORY;
    driver->SetCallback(IRP_MJ_READ, Other);
    driver->SetCallback(IRP_MJ_READ, Later);
    driver->SetCallback(IRP_MJ_MAXIMUM_FUNCTION + 1, Other);
    delete driver;
    memcpy(g_Entry.After, DriverObject->MajorFunction, sizeof(g_Entry.After));
    g_Entry.Unload = DriverObject->DriverUnload;
    g_Entry.Path = CPnpDriver::GetDriverRegistryPath(DriverObject);
    if (g_Entry.Path != NULL && g_Entry.Path->Buffer != NULL) {
        g_Entry.PathText.assign(g_Entry.Path->Buffer, g_Entry.Path->Length / 2);
        g_Entry.Terminated = g_Entry.Path->MaximumLength == g_Entry.Path->Length + 2 &&
                             g_Entry.Path->Buffer[g_Entry.Path->Length / 2] == 0;
    }
    return STATUS_SUCCESS;
}

} // namespace

TEST_F(DriverFixture, PnpDriverInstallsTheFrameworkRoutines)
{
    g_Entry = ENTRY_RESULT();
    g_UseOverride = false;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstDr", ProbeEntry, &driver), STATUS_SUCCESS);
    ASSERT_TRUE(g_Entry.Allocated);

    // Which framework routine serves each request shows in every test that sends one; here:
    // the later of two callbacks wins, and a major without one keeps the kernel's default.
    EXPECT_EQ(g_Entry.After[IRP_MJ_READ], Later);
    EXPECT_EQ(g_Entry.After[IRP_MJ_WRITE], g_Entry.Before[IRP_MJ_WRITE]);
    EXPECT_EQ(g_Entry.Unload, CPnpDriver::DriverUnload);

    // A code beyond the table is reported and writes nothing.
    auto asserts = kivrt::Assertions();
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].Expression, "MajorCode <= IRP_MJ_MAXIMUM_FUNCTION");

    EXPECT_EQ(g_Entry.PathText,
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KivTstDr");
    EXPECT_TRUE(g_Entry.Terminated);
    EXPECT_EQ(kivrt::PoolBlocks(NORN_WDM_POOL_TAG), 1u);
    EXPECT_EQ(kivrt::PoolBlocks(NORN_POOL_TAG), 0u); // the configurator itself is gone

    ASSERT_EQ(kivrt::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(kivrt::PoolBlocks(NORN_WDM_POOL_TAG), 0u);
    EXPECT_NE(Output().find("Norn:  CPnpDriver::DriverUnload\n"), std::string::npos);
}

TEST_F(DriverFixture, EmptyRegistryPathGetsATerminatedCopyAndAMissingBufferAnEmptyOne)
{
    g_Entry = ENTRY_RESULT();
    g_UseOverride = true;
    g_PathOverride = UNICODE_STRING{0, 0, NULL};
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstDr", ProbeEntry, &driver), STATUS_SUCCESS);
    g_UseOverride = false;
    ASSERT_NE(g_Entry.Path, nullptr);
    EXPECT_EQ(g_Entry.Path->Length, 0);
    EXPECT_EQ(g_Entry.Path->MaximumLength, 2);
    EXPECT_TRUE(g_Entry.Terminated);
    ASSERT_EQ(kivrt::UnloadDriver(driver), STATUS_SUCCESS);

    // The copy's buffer cannot be allocated: an empty copy, reported, and unload frees nothing.
    g_Entry = ENTRY_RESULT();
    kivrt::FailPoolAllocations(NORN_WDM_POOL_TAG, 0, 1);
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstDr", ProbeEntry, &driver), STATUS_SUCCESS);
    kivrt::ClearFailureInjection();
    ASSERT_NE(g_Entry.Path, nullptr);
    EXPECT_EQ(g_Entry.Path->Buffer, nullptr);
    EXPECT_EQ(g_Entry.Path->Length, 0);
    bool reported = false;
    for (const auto& a : kivrt::Assertions()) {
        reported |=
            a.Expression.find("pExtensionRegistryPath->Buffer != NULL") != std::string::npos;
    }
    EXPECT_TRUE(reported ||
                Output().find("NORN ASSERT:  pExtensionRegistryPath->Buffer != NULL on line") !=
                    std::string::npos);
    ASSERT_EQ(kivrt::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DriverFixture, DriverAllocationFailureYieldsNull)
{
    g_Entry = ENTRY_RESULT();
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(kivrt::LoadDriver(u"KivTstDr", ProbeEntry, &driver), STATUS_NO_MEMORY);
    kivrt::ClearFailureInjection();
    EXPECT_FALSE(g_Entry.Allocated);
    EXPECT_NE(
        Output().find("Norn:CDriver::operator new ***ExAllocatePoolWithTag(PagedPool, failed\n"),
        std::string::npos);
    EXPECT_EQ(kivrt::PoolBlocks(NORN_WDM_POOL_TAG), 0u);
}

extern "C" int __purecall();

TEST_F(DriverFixture, PureCallIsTrappedAndReturns)
{
    EXPECT_EQ(__purecall(), 0);
    EXPECT_NE(Output().find("NORN ASSERT:  FALSE on line "), std::string::npos);
    EXPECT_EQ(kivrt::BreakPointCount(), 1u);
}
