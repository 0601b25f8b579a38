// The seam between the scenario runner and what it drives. The core target
// answers frames with the SDP core alone; a full-stack target drives the
// device through the runtime. Both report the same observations.
#pragma once

#include "sim_script.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Receives every response frame the target sends down, in order.
class ISimTxSink {
public:
    virtual ~ISimTxSink() = default;
    virtual void OnTx(uint16_t Cid, std::span<const uint8_t> Payload) = 0;
    // One whole debug print line, without its newline.
    virtual void OnDebugLine(std::string_view Line) = 0;
    // Any other whole output line the target reports as it happens (the
    // completion of a request that went pending).
    virtual void OnLine(std::string_view Line) = 0;
};

// What a device-control request returned: its completion status and the
// IoStatus.Information bytes of its output buffer.
struct SIM_REQUEST_RESULT {
    uint32_t Status = 0;
    std::vector<uint8_t> Output;
    // Still pending when the command ended: Id numbers it (from 1) for the
    // "done" line the target reports when it completes.
    bool Pending = false;
    unsigned Id = 0;
};

// 0xC00000BB: what a target without the whole stack answers to the commands
// that need it (main refuses such scripts in --core mode before they run).
constexpr uint32_t SIM_STATUS_NOT_SUPPORTED = 0xC00000BB;

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
    // Debug lines that contain any of the words are not shown (addresses make some lines differ
    // from run to run); the words add up until ShowAllDebug.
    void HideDebug(const std::vector<std::string>& Words)
    {
        m_HiddenWords.insert(m_HiddenWords.end(), Words.begin(), Words.end());
    }
    void ShowAllDebug() { m_HiddenWords.clear(); }
    bool DebugHidden(std::string_view Line) const
    {
        for (const std::string& Word : m_HiddenWords)
            if (Line.find(Word) != std::string_view::npos) return true;
        return false;
    }

    // The full-stack commands. App numbers an application handle: 0 is
    // opened at start, open returns the next number.
    virtual void Status(uint16_t Cid, uint16_t StatusCode, uint16_t Mtu)
    {
        (void)Cid, (void)StatusCode, (void)Mtu;
    }
    // A handle on the SDP device of that instance number: the status, and the handle number on
    // success.
    virtual SIM_REQUEST_RESULT Open(uint32_t Instance)
    {
        (void)Instance;
        return {SIM_STATUS_NOT_SUPPORTED, {}};
    }
    virtual uint32_t Close(uint32_t App)
    {
        (void)App;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    virtual uint32_t Cancel(uint32_t App)
    {
        (void)App;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // A device-control request; Word names it in the "done" line.
    virtual SIM_REQUEST_RESULT Ioctl(std::string_view Word, uint32_t App, uint32_t Code,
                                     std::span<const uint8_t> In, uint32_t OutLength)
    {
        (void)Word, (void)App, (void)Code, (void)In, (void)OutLength;
        return {SIM_STATUS_NOT_SUPPORTED, {}};
    }
    // Fault injection at the lower edge. Status must be a failure status;
    // Count 0 clears the rule. Fail returns the L2CAP device's answer.
    virtual uint32_t FailTx(uint32_t Status, uint32_t Count)
    {
        (void)Status, (void)Count;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    virtual uint32_t Fail(SIM_LOWER_REQUEST Kind, uint32_t Status, uint32_t Count)
    {
        (void)Kind, (void)Status, (void)Count;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    virtual uint32_t Pnp(SIM_PNP Action)
    {
        (void)Action;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // Writes to the L2CAP device are parked with their result (after the radio sent them)
    // until Release completes them, oldest first; *Count tells how many.
    virtual uint32_t Hold(bool On)
    {
        (void)On;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    virtual uint32_t Release(unsigned* Count)
    {
        *Count = 0;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // The runtime's failure injection (pool by tag or any, IRPs, device objects, power IRPs).
    virtual uint32_t FailAlloc(const SIM_COMMAND& Cmd)
    {
        (void)Cmd;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // Another L2CAP device with the SDP device above it: the status and its node number (the
    // first one is node 0).
    virtual SIM_REQUEST_RESULT AddDevice() { return {SIM_STATUS_NOT_SUPPORTED, {}}; }
    virtual uint32_t RemoveDevice(uint32_t Node)
    {
        (void)Node;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // A power request to node 0's stack; State is D0..D3 as 1..4 or S0..S5 as 1..6.
    virtual uint32_t Power(bool Query, bool System, uint32_t State)
    {
        (void)Query, (void)System, (void)State;
        return SIM_STATUS_NOT_SUPPORTED;
    }
    // Query capabilities on node 0's stack: the status and the capability flag word.
    virtual uint32_t Capabilities(uint32_t* Flags)
    {
        *Flags = 0;
        return SIM_STATUS_NOT_SUPPORTED;
    }

private:
    std::vector<std::string> m_HiddenWords;
};
