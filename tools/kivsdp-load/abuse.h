// kivsdp-load --abuse: clients the daemon did not write. Each case sends what a careless or
// hostile client would (bad frames, forged continuation states, clients that never read or
// vanish, too many channels, bad control messages, a client killed mid-transaction), then a
// well-behaved client checks that the daemon still answers it byte for byte.
#pragma once

#include "loadgen.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kivload {

struct ABUSE_TARGET {
    std::string Sdp, Control;      // the daemon's SEQPACKET and control sockets
    int Pid = -1;                  // for its memory figures; -1: none
    uint32_t Seed = 1;             // of the random frames and messages
    std::string Log;               // the daemon's log file, for its growth; empty: not ours to read
    std::vector<std::string> Only; // the cases to run; empty: all of them
    unsigned IdleTimeoutS = 0;     // the daemon's --idle-timeout; 0: the idle case is not run
    // The kivsdpd program and a scratch directory, for the cases that start daemons of their
    // own (record directories with files that are not files); empty: those cases are left out.
    std::string Daemon, Dir;
};

struct ABUSE_CASE {
    std::string Name;
    uint64_t Sent = 0;     // frames, requests, messages or connections the case made
    uint64_t Answered = 0; // of those, answered (a response or a reply)
    uint64_t Refused = 0;  // of those, refused: an error response, a failure status, a close
    double Seconds = 0;
    std::string Fault;  // empty when the case and the well-behaved check after it passed
    std::string Figure; // what the case measured, for the table
};

struct ABUSE_RESULT {
    std::vector<ABUSE_CASE> Cases;
    uint64_t GoodChecks = 0; // well-behaved exchanges checked byte for byte
    bool HaveMemory = false;
    PROC_MEMORY Before, Peak, After; // Peak: VmRSS at its highest reading during the cases
    bool Ok() const;
};

// A continued ServiceSearchAttribute series (the public browse group, all attributes, at most
// MaxBytes of attribute list per response) followed to its end on Fd: every response PDU with
// its transaction ID cleared, concatenated. False (Err set) on a fault or after 200 responses.
// Responses, when given, counts the response PDUs.
bool BrowseSeries(int Fd, uint16_t MaxBytes, std::vector<uint8_t>& Out, std::string& Err,
                  size_t* Responses = nullptr);

// Checks a response PDU's shape: a response ID, a ParameterLength that matches the length, an
// error response of 11 bytes... Several PDUs may share one message; true when each is whole.
bool WellFormedResponses(const uint8_t* p, size_t Length, size_t& ErrorResponses);

// The cases' names, in the order they run.
const std::vector<std::string>& AbuseCaseNames();

// Runs every case (or those named in Target.Only) in order against a running daemon.
ABUSE_RESULT RunAbuse(const ABUSE_TARGET& Target, const CResponseCheck& Check,
                      const LOOP_OPTIONS& Good);

} // namespace kivload
