// kivsdpctl's side of the control socket (ctlproto.h): requests by tag, replies waited for.
#pragma once

#include "ctlproto.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace kivctl {

class CtlClient {
public:
    ~CtlClient();
    bool Connect(const std::string& Path, std::string& Err);
    // Sends one request; returns its tag (0 on a send failure, Err set).
    uint32_t Send(uint8_t Op, const std::vector<uint8_t>& Body, std::string& Err);
    // Waits for the reply with Tag; replies to other tags are kept for later calls. TimeoutMs < 0
    // waits forever. False on timeout (Err "timeout") or a closed socket.
    bool Wait(uint32_t Tag, int TimeoutMs, CtlReply& Out, std::string& Err);
    // Send, then Wait.
    bool Call(uint8_t Op, const std::vector<uint8_t>& Body, int TimeoutMs, CtlReply& Out,
              std::string& Err);
    // IOCTL body: code, output length, input.
    static std::vector<uint8_t> IoctlBody(uint32_t Code, const std::vector<uint8_t>& In,
                                          uint32_t OutLength);

private:
    int m_Fd = -1;
    uint32_t m_NextTag = 1;
    std::list<CtlReply> m_Kept;
};

// "0xC000000D (invalid parameter)" for the statuses an application meets.
std::string StatusText(uint32_t Status);

} // namespace kivctl
