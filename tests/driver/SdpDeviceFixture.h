// The whole SDP stack for the device tests: the runtime with the
// deterministic scheduler, the virtual L2CAP driver with the in-memory radio
// at the bottom, and the SDP driver above it. Teardown asserts that
// the verifier recorded nothing and that no pool block of any tag is left.
#pragma once

#include <gtest/gtest.h>

#include <kivrt.h>

#include "HexBytes.h"
#include "kivsdp.h"
#include "memoryradio.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using BYTES = std::vector<uint8_t>;

// ---- Applications ----

// One overlapped device-control request and its buffers.
struct SDP_APP_REQUEST {
    kivrt::Overlapped Ov;
    BYTES In;
    BYTES Out;
    NTSTATUS Issued = STATUS_PENDING;

    bool Done() { return Ov.IsComplete(); }
    NTSTATUS Status() { return Ov.Status(); }
    BYTES Output()
    {
        size_t n = std::min(size_t(Ov.Information()), Out.size());
        return BYTES(Out.begin(), Out.begin() + long(n));
    }
};

class SdpDeviceFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh runtime with both drivers loaded and no stack.
    void LoadDrivers();
    // Loads both drivers and builds and starts one stack; opens m_Handle.
    void BuildStack();
    // Deletes m_Node and unloads both drivers: no verifier record and no pool
    // block may be left.
    void UnloadExpectingNothingLeft();
    // Removes the stack (handles must be closed first), or finishes a surprise removal.
    void RemoveStack(bool AfterSurprise = false);

    kivrt::APP_HANDLE Open(const char16_t* Path = u"\\\\.\\KivSdp0");
    void CloseAll();
    // A synchronous request on m_Handle: returns its status; Out gets
    // Information bytes.
    NTSTATUS Ioctl(ULONG Code, const BYTES& In, ULONG OutLen, BYTES* Out = nullptr,
                   kivrt::APP_HANDLE Handle = nullptr);
    // An overlapped request; pending or done when this returns.
    SDP_APP_REQUEST* Post(ULONG Code, const BYTES& In, ULONG OutLen,
                          kivrt::APP_HANDLE Handle = nullptr);
    KIVSDP_DEBUG_INFO DebugInfo();
    void SetZoneMask(ULONG Mask);

    // The remote side: a channel event or a frame, then every work item run.
    void Event(uint16_t Cid, uint16_t StatusCode, uint16_t Mtu = 0);
    void Connect(uint16_t Cid, uint16_t Mtu) { Event(Cid, KIVL2CAP_STATUS_CONNECTED, Mtu); }
    void Frame(uint16_t Cid, const BYTES& Payload);
    // Frames written down since the last call, CID included.
    std::vector<BYTES> TakeWrites();

    std::string Output();
    bool Printed(const std::string& Text) { return Output().find(Text) != std::string::npos; }
    CKivSdp* Sdp(kivrt::DEVNODE* Node = nullptr);

    PDRIVER_OBJECT m_L2cap = nullptr;
    PDRIVER_OBJECT m_Sdp = nullptr;
    kivrt::DEVNODE* m_Node = nullptr;
    PDEVICE_OBJECT m_L2capDev = nullptr;
    KIVL2CAP_COUNTERS L2cap();
    CMemoryRadio m_Radio;
    kivrt::APP_HANDLE m_Handle = nullptr;
    std::vector<kivrt::APP_HANDLE> m_Handles;
    std::vector<std::unique_ptr<SDP_APP_REQUEST>> m_Requests;
    std::string m_Output;
};

// The same with the stack built and started.
class StartedSdpDeviceFixture : public SdpDeviceFixture {
protected:
    void SetUp() override
    {
        SdpDeviceFixture::SetUp();
        BuildStack();
    }
};

// A frame as the radio carries it: the CID, then the PDU.
BYTES OnCid(uint16_t Cid, const BYTES& Pdu);
// ServiceSearch for the server's own class (0x1000), at most 5 handles, and its answer.
extern const BYTES SearchServer;
extern const BYTES SearchServerAnswer;
