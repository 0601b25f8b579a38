// The seam between the scenario runner and what it drives. The core target
// answers frames with the SDP core alone; a full-stack target drives the
// device through the runtime. Both report the same observations.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Receives every response frame the target sends down, in order.
class ISimTxSink {
public:
    virtual ~ISimTxSink() = default;
    virtual void OnTx(uint16_t Cid, std::span<const uint8_t> Payload) = 0;
    // One whole debug print line, without its newline.
    virtual void OnDebugLine(std::string_view Line) = 0;
};

// What a device-control request returned: its completion status and the
// IoStatus.Information bytes of its output buffer.
struct SIM_REQUEST_RESULT {
    uint32_t Status = 0;
    std::vector<uint8_t> Output;
};

class CSimTarget {
public:
    virtual ~CSimTarget() = default;

    // Channel status events: connected (8), configuration ended (16),
    // disconnected (32). They print nothing by themselves.
    virtual void Connect(uint16_t Cid, uint16_t Mtu) = 0;
    virtual void Config(uint16_t Cid, uint16_t Mtu) = 0;
    virtual void Disconnect(uint16_t Cid) = 0;

    // An inbound L2CAP frame; Payload is everything after the 2-byte CID.
    // Responses reach the sink before Frame returns.
    virtual void Frame(uint16_t Cid, std::span<const uint8_t> Payload) = 0;

    // Database requests, as an application sends them: input buffers from
    // sim_requests.h, an output buffer of 4 bytes for add-record and as long
    // as the input for the others, so every byte a handler reports returned
    // comes back (a delete or add returns its input).
    virtual SIM_REQUEST_RESULT AddRecord() = 0;
    virtual SIM_REQUEST_RESULT DelRecord(uint32_t Handle) = 0;
    virtual SIM_REQUEST_RESULT AddAttr(uint32_t Handle, uint16_t AttId,
                                       std::span<const uint8_t> Value) = 0;
    virtual SIM_REQUEST_RESULT DelAttr(uint32_t Handle, uint16_t AttId) = 0;

    // The debug zone mask, as the set-zone-mask request sets it.
    virtual SIM_REQUEST_RESULT SetZoneMask(uint32_t Mask) = 0;
    // Whether debug print lines reach the sink. Off at start. Which lines
    // exist depends on the target: the core target has only the core's own.
    virtual void ShowDebug(bool On) = 0;
};
