// memoryradio.h: the in-memory radio backend of the virtual L2CAP driver.
// The host plays the remote device through it (channel events, inbound frames) and collects the
// frames the upper driver wrote, in the order the device handed them to the radio. Host-side
// code: it uses the standard library and is never called by a driver except through Transmit.
#pragma once

#include "kivl2caphost.h"

#include <functional>
#include <mutex>
#include <vector>

class CMemoryRadio : public CL2capRadio {
public:
    struct WRITTEN_FRAME {
        USHORT Cid;
        std::vector<UCHAR> Payload; // after the CID prefix
        PVOID Client;               // the write's FileObject field
    };
    // Sees each written frame on the writer's thread, possibly at DISPATCH_LEVEL, before it is
    // recorded; calls are serialised. It must not call into the device or this radio.
    using TRANSMIT_HOOK = std::function<void(const WRITTEN_FRAME& Frame)>;

    CMemoryRadio() = default;
    // Detaches from a device that still holds the radio.
    ~CMemoryRadio() override;
    CMemoryRadio(const CMemoryRadio&) = delete;
    CMemoryRadio& operator=(const CMemoryRadio&) = delete;

    // The host attaches it to a device and detaches it as it likes (CL2capRadio).
    using CL2capRadio::Attach;
    using CL2capRadio::Detach;

    // The remote side, on the attached device (STATUS_DEVICE_NOT_READY when none); the results
    // are those of kivl2caphost.h.
    NTSTATUS Connect(USHORT Cid, USHORT Mtu);     // status 8
    NTSTATUS Reconfigure(USHORT Cid, USHORT Mtu); // status 16
    NTSTATUS Disconnect(USHORT Cid);              // status 32
    NTSTATUS Status(USHORT Cid, USHORT StatusCode, USHORT Mtu = 0);
    NTSTATUS SendFrame(USHORT Cid, const std::vector<UCHAR>& Payload);

    // Frames written so far, oldest first; Take empties the record.
    std::vector<WRITTEN_FRAME> TakeWritten();
    size_t WrittenCount() const;
    void SetTransmitHook(TRANSMIT_HOOK Hook);
    // The radio itself refuses the next Count frames with Status (a link failure, as opposed to
    // the device's own fault injection).
    void FailTransmits(NTSTATUS Status, ULONG Count = 1);

    NTSTATUS Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client) override;

private:
    mutable std::mutex m_Lock;
    std::vector<WRITTEN_FRAME> m_Written;
    TRANSMIT_HOOK m_Hook;
    NTSTATUS m_FailStatus = STATUS_SUCCESS;
    ULONG m_FailCount = 0;
};
