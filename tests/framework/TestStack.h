// Test devices on the framework and the fixtures that run them on the
// runtime: a recording lower driver, a framework driver whose device is a
// CPnpDevice or a CThinFilterDevice stacked above it, and teardown checks.
#pragma once

#include <gtest/gtest.h>

#include <kivrt.h>

#include "Driver.h"
#include "ThinFilterDevice.h"

#include <string>
#include <vector>

// Requests of the test device: queue on the private CIrpQueue, queue on the
// kernel device queue, complete at once.
constexpr ULONG IOCTL_TEST_QUEUE = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_KQUEUE = CTL_CODE(0x8000, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_KQUEUE_NOCANCEL =
    CTL_CODE(0x8000, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_NOW = CTL_CODE(0x8000, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class DEVICE_KIND { Pnp, Filter };

struct TEST_CONFIG {
    DEVICE_KIND Kind = DEVICE_KIND::Pnp;
    NTSTATUS SetupStatus = STATUS_SUCCESS;
    NTSTATUS RestoreStatus = STATUS_SUCCESS;
    bool FailInConstructor = false; // raise once the framework parts are built
    bool Win32Name = false;
    BOOLEAN SurpriseRemovalOK = FALSE;
    ULONG PowerDownWhenClosed = 0;
    NTSTATUS LowerStartStatus = STATUS_SUCCESS;
};

// What a test can see of the device without reaching into the framework.
struct PROBE {
    LONG IrpCount;
    LONG PnpState;
    LONG OpenHandles;
    BOOLEAN OpenedExclusive;
    BOOLEAN Stoppable;
    BOOLEAN Removable;
    BOOLEAN PnpStopped;
    BOOLEAN PoweringDown;
    BOOLEAN RegistersSaved;
    DEVICE_POWER_STATE DevicePower;
    int Saves;
    int Restores;
    DEVICE_POWER_STATE LastRestoreFrom;
};

class ITestDevice {
public:
    virtual ~ITestDevice() {}
    virtual PROBE Probe() = 0;
    virtual CIrpQueue& Queue() = 0;
    virtual CPnpDevice* Device() = 0;
};

extern TEST_CONFIG g_Config;
extern std::vector<std::string> g_Log;
extern ITestDevice* g_Device;

NTSTATUS LowerDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS UpperDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Finishes the current IRP of the private queue, or of the kernel device
// queue, with success (the next one starts first).
void FinishQueueCurrent();
void FinishKernelCurrent();
// An IRP the test allocates and sends as another driver would; its
// completion routine records the status and frees it.
struct OWN_IRP {
    ULONG Id = 0;
    PIRP Irp = nullptr;
    NTSTATUS Status = STATUS_PENDING;
    bool Done = false;
};
NTSTATUS SendOwnIrp(PDEVICE_OBJECT Target, UCHAR Major, ULONG Code, OWN_IRP* Own,
                    ULONG ShareAccess = 0);

std::string Joined(const std::vector<std::string>& Lines);

// The runtime reset, debug print captured; teardown asserts that the
// verifier recorded nothing and that the framework's pool tags are empty.
class KernelFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Output() { return m_Output += kivrt::TakeCapturedDbgPrint(), m_Output; }
    bool Printed(const std::string& Text) { return Output().find(Text) != std::string::npos; }

    std::string m_Output;
};

// A framework device (g_Config.Kind) over the recording lower driver.
class DeviceStackFixture : public KernelFixture {
protected:
    void TearDown() override;
    // Removes the node if built and unloads both drivers, leaving the fixture as new.
    void Dismantle();

    // Loads both drivers and builds the stack; returns CreateDevNode's status.
    NTSTATUS Build();
    // Build and start the device; use under ASSERT_NO_FATAL_FAILURE.
    void BuildAndStart()
    {
        ASSERT_EQ(Build(), STATUS_SUCCESS);
        ASSERT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
    }
    NTSTATUS Open(ULONG ShareMode, kivrt::APP_HANDLE* Handle, bool Overlapped = true);
    // Sends a test request with Id on an overlapped handle; returns the status.
    NTSTATUS Send(kivrt::APP_HANDLE Handle, ULONG Code, ULONG Id, kivrt::Overlapped* Ov);
    PROBE Probe() { return g_Device->Probe(); }
    PDEVICE_OBJECT Top() { return kivrt::DevNodeTop(m_Node); }

    PDRIVER_OBJECT m_Lower = nullptr;
    PDRIVER_OBJECT m_Upper = nullptr;
    kivrt::DEVNODE* m_Node = nullptr;
    bool m_Removed = false;
};
