// A device without plug and play on CDriver and CDevice: the default create,
// close and unload routines, names and links.
#include "TestStack.h"

#include <string>

namespace {

class CLegacyDevice : public CDevice {
public:
    CLegacyDevice(PDRIVER_OBJECT DriverObject, const WCHAR* Name, PDEVICE_OBJECT* ppDeviceObject)
        : CDevice(DriverObject, Name, FILE_DEVICE_UNKNOWN, ppDeviceObject)
    {
    }
    ~CLegacyDevice() override { g_Log.push_back("legacy deleted"); }
    LONG OpenHandles() const { return m_OpenHandleCount; }
    BOOLEAN OpenedExclusive() const { return m_OpenedExclusive; }
};

const WCHAR* g_LegacyName;
const WCHAR* g_LinkNames[2];
CLegacyDevice* g_Legacy;

NTSTATUS LegacyEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    CDriver* driver = new CDriver(DriverObject);
    if (driver == NULL) return STATUS_NO_MEMORY;
    delete driver;
    PDEVICE_OBJECT device = NULL;
    try {
        g_Legacy = new (DriverObject, g_LegacyName, FILE_DEVICE_UNKNOWN, &device, 0, FALSE, 0)
            CLegacyDevice(DriverObject, g_LegacyName, &device);
    } catch (const EXCEPTION_STATUS& raised) {
        return raised.Status;
    }
    for (const WCHAR* link : g_LinkNames) {
        if (link != NULL && !NT_SUCCESS(g_Legacy->CreateWin32Name(CString(link)))) {
            g_Log.push_back("link failed");
        }
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

class LegacyFixture : public KernelFixture {
protected:
    void SetUp() override
    {
        KernelFixture::SetUp();
        g_LegacyName = u"KivTstLg0";
        g_LinkNames[0] = u"KivTstLg0";
        g_LinkNames[1] = NULL;
        g_Legacy = nullptr;
    }
    void TearDown() override
    {
        if (m_Driver != nullptr && kivrt::IsDriverLoaded(m_Driver)) kivrt::UnloadDriver(m_Driver);
        KernelFixture::TearDown();
    }
    NTSTATUS Open(ULONG Share, kivrt::APP_HANDLE* Handle)
    {
        return kivrt::AppOpen(u"\\\\.\\KivTstLg0", GENERIC_READ, Share, false, Handle);
    }

    PDRIVER_OBJECT m_Driver = nullptr;
};

} // namespace

TEST_F(LegacyFixture, DefaultCreateAndCloseKeepTheShareRules)
{
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstLg", LegacyEntry, &m_Driver), STATUS_SUCCESS);
    kivrt::APP_HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(Open(0, &a), STATUS_SUCCESS);
    EXPECT_TRUE(g_Legacy->OpenedExclusive());
    EXPECT_EQ(Open(0, &b), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(FILE_SHARE_READ, &b), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(g_Legacy->OpenHandles(), 1);
    kivrt::AppClose(a);
    EXPECT_FALSE(g_Legacy->OpenedExclusive());
    EXPECT_EQ(g_Legacy->OpenHandles(), 0);

    ASSERT_EQ(Open(FILE_SHARE_READ, &a), STATUS_SUCCESS);
    ASSERT_EQ(Open(FILE_SHARE_READ, &b), STATUS_SUCCESS);
    EXPECT_EQ(Open(0, &c), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(g_Legacy->OpenHandles(), 2);
    kivrt::AppClose(a);
    kivrt::AppClose(b);
    EXPECT_EQ(g_Legacy->OpenHandles(), 0);

    g_Log.clear();
    ASSERT_EQ(kivrt::UnloadDriver(m_Driver), STATUS_SUCCESS);
    EXPECT_EQ(Joined(g_Log), "legacy deleted\n");
    EXPECT_TRUE(Printed("Norn:  NornDriverUnload\n"));
    // The link went with the device.
    EXPECT_FALSE(NT_SUCCESS(Open(FILE_SHARE_READ, &a)));
}

TEST_F(LegacyFixture, SecondWin32NameReplacesTheFirst)
{
    g_LinkNames[1] = u"KivTstLgB";
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstLg", LegacyEntry, &m_Driver), STATUS_SUCCESS);
    EXPECT_EQ(Joined(g_Log), "");
    CString first(u"\\DosDevices\\KivTstLg0");
    CString second(u"\\DosDevices\\KivTstLgB");
    // The first link is no longer the device's: its owner has to delete it.
    EXPECT_EQ(IoDeleteSymbolicLink(first), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::UnloadDriver(m_Driver), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(second), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(LegacyFixture, UnnamedDeviceHasNoName)
{
    g_LegacyName = NULL;
    g_LinkNames[0] = NULL;
    ASSERT_EQ(kivrt::LoadDriver(u"KivTstLg", LegacyEntry, &m_Driver), STATUS_SUCCESS);
    ASSERT_NE(g_Legacy, nullptr);
    EXPECT_EQ(g_Legacy->GetDeviceObject()->Flags & DO_DEVICE_HAS_NAME, 0u);
    EXPECT_NE(g_Legacy->GetDeviceObject()->Flags & DO_DIRECT_IO, 0u);
    kivrt::APP_HANDLE h = nullptr;
    EXPECT_FALSE(NT_SUCCESS(Open(0, &h)));
}
