// kivsdp-load's building blocks: the request it sends, the check every answer passes before it
// counts, the client loop a load process runs over its channels, latency statistics and the
// daemon's memory figures. No process management here (main.cpp).
#pragma once

#include "sdpelement.h"
#include "unixsocket.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kivload {

// A single-response ServiceSearchAttribute request as sent on a channel (no CID prefix): the
// service class Uuid, all attributes, MaximumAttributeByteCount 0xFFFF, no continuation state.
std::vector<uint8_t> SearchAttrPdu(uint16_t Tid, const kivtool::DataElement& Uuid);

// Every answer is compared with the first one, byte for byte apart from its transaction ID: the
// database does not change during a run, so any other answer is wrong.
class CResponseCheck {
public:
    // Takes the answer to the first request. Refused (Err says why) unless it is a
    // ServiceSearchAttribute response to Tid without continuation whose attribute lists parse
    // and hold at least one record.
    bool SetReference(const uint8_t* Pdu, size_t Length, uint16_t Tid, std::string& Err);
    // True when Pdu is the reference answer for transaction Tid; otherwise Err says what differs.
    bool Check(const uint8_t* Pdu, size_t Length, uint16_t Tid, std::string& Err) const;
    size_t Records() const { return m_Records; }
    size_t Size() const { return m_Reference.size(); }

private:
    std::vector<uint8_t> m_Reference;
    size_t m_Records = 0;
};

// What one load process reports back to the parent through its result pipe (plain bytes).
struct CHILD_RESULT {
    uint64_t Answered = 0; // correct answers, each with a latency in the latency file
    uint64_t Wrong = 0;    // answers that failed the check
    uint64_t Lost = 0;     // requests without an answer: timeout or closed channel
    uint64_t ElapsedNs = 0;
    char FirstError[160] = {};
};

struct LOOP_OPTIONS {
    std::chrono::steady_clock::time_point Deadline; // no new request after it
    uint64_t RequestsPerChannel = 0;                // 0: until the deadline
    int TimeoutMs = 5000;                           // per request
    kivtool::DataElement Uuid;
};

// Runs requests back to back on every connected channel in Fds, one outstanding per channel,
// until the deadline or the request count; a channel that times out, closes or answers wrongly
// is dropped. Latencies of correct answers (nanoseconds) are appended to LatencyNs.
CHILD_RESULT RunChannels(const std::vector<int>& Fds, const CResponseCheck& Check,
                         const LOOP_OPTIONS& Opt, std::vector<uint32_t>& LatencyNs);

// Sends one request on Fd and waits at most TimeoutMs for one message; false on timeout,
// error or close.
bool Exchange(int Fd, const std::vector<uint8_t>& Request, std::vector<uint8_t>& Response,
              int TimeoutMs);

// A SEQPACKET connection to Path, or -1.
using kivtool::ConnectSeqpacket;

struct LATENCY_SUMMARY {
    size_t Count = 0;
    double P50Us = 0, P99Us = 0, MaxUs = 0;
};
// Nearest-rank percentiles (the smallest value with at least Fraction of all at or below it).
// Sorts Ns.
LATENCY_SUMMARY Summarise(std::vector<uint32_t>& Ns);

// A device has 16 channel contexts; a channel beyond them is connected but never answered.
constexpr unsigned MAX_CHANNELS = 16;
// "1,4,16": channel counts, each 1..MAX_CHANNELS, at least one.
bool ParseCountList(const std::string& Text, std::vector<unsigned>& Out);

struct PROC_MEMORY {
    uint64_t RssKb = 0, HwmKb = 0;
};
// VmRSS and VmHWM from the text of /proc/PID/status; false if either is missing.
bool ParseProcStatus(const std::string& Text, PROC_MEMORY& Out);
bool ReadProcMemory(int Pid, PROC_MEMORY& Out);

} // namespace kivload
