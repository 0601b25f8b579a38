// kivsdpctl's verbs: the parsed command line, the failure every verb reports through, the
// session with the daemon, and the table entry of a verb. A new verb is a function of its own
// (in a source file of its own if it likes) and one line in the table in main.cpp.
#pragma once

#include "ctlclient.h"
#include "sdpcontrol.h"
#include "sdprecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivctl {

// What a verb failed with: the message (kivsdpctl: prefixes it) and the exit status (1 failed,
// 2 bad usage).
struct FAILURE {
    int Code;
    std::string Message;
};
[[noreturn]] void Fail(const std::string& Message, int Code = 1);

// Positional arguments as numbers; bad usage (exit 2) naming What otherwise.
uint32_t Number32(const std::string& Text, const char* What);
uint16_t Number16(const std::string& Text, const char* What);

struct ARGS {
    std::string Control; // the daemon's control socket
    uint32_t Device = 0;
    bool Json = false;
    std::string Remote; // a server socket's path or a Bluetooth address
    std::string Save;   // a directory for the record files of a remote server's records
    uint64_t Count = 1;
    int TimeoutS = -1;
    std::string Command;
    std::vector<std::string> Positional;
};

// The options a verb takes besides the global ones.
enum VERB_OPTION : unsigned {
    VERB_REMOTE = 1,  // --remote PATH|ADDRESS
    VERB_SAVE = 2,    // --save DIR (with --remote)
    VERB_COUNT = 4,   // --count N
    VERB_TIMEOUT = 8, // --timeout S
};

struct VERB {
    const char* Name;
    const char* Synopsis; // the arguments, for the overview: "HANDLE ID"
    const char* Summary;  // one line for the overview
    const char* Help;     // the verb's --help, from its "usage:" line on
    size_t MinArgs, MaxArgs;
    unsigned Options; // VERB_OPTION bits
    // Checks its arguments before reaching the daemon; returns the exit status or Fails.
    int (*Run)(const ARGS& A);
};

// The connection to the daemon with the device open; Fails when either cannot be had.
class Session {
public:
    explicit Session(const ARGS& A);

    // One device-control request, waited for at most TimeoutMs.
    CtlReply Ioctl(const kivtool::ControlRequest& Request, int TimeoutMs = 10000);
    CtlReply Ioctl(uint32_t Code, const std::vector<uint8_t>& In, uint32_t OutLength,
                   int TimeoutMs = 10000);
    // Fails naming What unless R succeeded.
    void Expect(const CtlReply& R, const std::string& What);
    // The device's whole database.
    std::vector<kivtool::ServiceRecord> Database();

    CtlClient& Ctl() { return m_Ctl; }

private:
    CtlClient m_Ctl;
};

} // namespace kivctl
