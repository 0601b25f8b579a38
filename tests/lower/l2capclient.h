// l2capclient.h: what the virtual L2CAP driver's tests put above it.
// A pass-through filter driver ("L2capClient") gives applications a name to open, so their
// reads, writes, control requests, cancels and closes reach the L2CAP device as they would
// through the SDP device; it can forward them at DISPATCH_LEVEL, as the SDP device's start
// routines do. CLIENT_REQUEST builds requests the way the SDP device does: its own IRPs, a
// FileObject field that names the client, a completion routine that keeps the IRP.
#pragma once

#include "kivl2caphost.h"
#include "memoryradio.h"
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace l2captest {

DRIVER_INITIALIZE ClientDriverEntry;
// Forward application requests at DISPATCH_LEVEL instead of the caller's IRQL.
extern std::atomic<bool> g_ForwardAtDispatch;
// "\\.\L2capClient<n>" for the n-th client device created since the driver was loaded.
std::u16string ClientPath(unsigned Index);
// What the verifier recorded, one line each.
std::string VerifierText();

// One request built and sent by a driver-like client, straight to the L2CAP device.
class CLIENT_REQUEST {
public:
    ~CLIENT_REQUEST();
    static std::unique_ptr<CLIENT_REQUEST> Read(PDEVICE_OBJECT Dev, PVOID Client, ULONG Length);
    static std::unique_ptr<CLIENT_REQUEST> Listen(PDEVICE_OBJECT Dev, PVOID Client,
                                                  ULONG OutLength = sizeof(KIVL2CAP_LISTEN_STATUS),
                                                  ULONG Code = IOCTL_KIVL2CAP_LISTEN_FOR_STATUS);
    static std::unique_ptr<CLIENT_REQUEST> Write(PDEVICE_OBJECT Dev, PVOID Client, USHORT Cid,
                                                 const std::vector<UCHAR>& Payload);
    static std::unique_ptr<CLIENT_REQUEST> WriteRaw(PDEVICE_OBJECT Dev, PVOID Client,
                                                    const std::vector<UCHAR>& Buffer);
    static std::unique_ptr<CLIENT_REQUEST> Cleanup(PDEVICE_OBJECT Dev, PVOID Client);

    // Sends it (at Irql); the dispatch routine's result.
    NTSTATUS Send(KIRQL Irql = PASSIVE_LEVEL);
    bool Cancel() { return IoCancelIrp(m_Irp) != FALSE; }
    bool Done() const { return m_Done.load(); }
    NTSTATUS Status() const { return m_Status; }
    ULONG_PTR Information() const { return m_Information; }
    KIRQL CompletionIrql() const { return m_CompletionIrql; }
    // The bytes the request returned (Information bytes of its buffer).
    std::vector<UCHAR> Output() const;
    PIRP Irp() const { return m_Irp; }

private:
    CLIENT_REQUEST(PDEVICE_OBJECT Dev, ULONG BufferLength);
    static IO_COMPLETION_ROUTINE Completion;

    PDEVICE_OBJECT m_Dev;
    PIRP m_Irp = nullptr;
    std::vector<UCHAR> m_Buffer;
    std::atomic<bool> m_Done{false};
    NTSTATUS m_Status = STATUS_PENDING;
    ULONG_PTR m_Information = 0;
    KIRQL m_CompletionIrql = 0xFF;
};

// The whole stack: runtime reset, the L2CAP driver and the client filter on one device node,
// started, with an in-memory radio. Teardown removes the node (unloading both drivers) and
// checks that the verifier recorded nothing and no kept block is left.
class L2capFixture : public ::testing::Test {
protected:
    void SetUp() override { Build(kivrt::Scheduler::Deterministic); }
    void TearDown() override;
    void Build(kivrt::Scheduler Sched);

    // Removes the node now (closing the handles first); TearDown then skips it.
    void Remove();
    kivrt::APP_HANDLE Open(bool Overlapped = true);
    KIVL2CAP_COUNTERS Counters();
    static std::vector<UCHAR> Bytes(std::initializer_list<int> List);
    static std::vector<UCHAR> StatusRecord(USHORT Cid, USHORT Code, USHORT Mtu);

    PDRIVER_OBJECT m_L2cap = nullptr;
    PDRIVER_OBJECT m_Client = nullptr;
    kivrt::DEVNODE* m_Node = nullptr;
    PDEVICE_OBJECT m_Dev = nullptr;
    CMemoryRadio m_Radio;
    std::vector<kivrt::APP_HANDLE> m_Handles;
    bool m_Removed = false;
    // Stand-ins for the FileObject field of two driver-like clients.
    int m_ClientA = 0, m_ClientB = 0;
    PVOID A() { return &m_ClientA; }
    PVOID B() { return &m_ClientB; }
};

} // namespace l2captest
