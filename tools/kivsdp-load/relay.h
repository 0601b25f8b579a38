// relay.h: a SEQPACKET relay in kivsdp-load's own process. The daemon's client role refuses the
// daemon's own sockets; through a relay it reaches them as it would another process's server
// (its own SDP socket: a server that answers; its control socket: a peer that is no SDP server).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace kivload {

class CRelay {
public:
    CRelay() = default;
    ~CRelay();
    CRelay(const CRelay&) = delete;
    CRelay& operator=(const CRelay&) = delete;

    // Listens on a socket of its own in a new temporary directory; each connection to it gets a
    // connection to Target, and messages pass unchanged both ways until either side closes.
    bool Start(const std::string& Target, std::string& Err);
    void Stop();
    const std::string& Path() const { return m_Path; }
    // Messages passed (both ways) and connections made since the start; open pairs now.
    uint64_t Messages() const { return m_Messages.load(); }
    uint64_t Connections() const { return m_Connections.load(); }
    unsigned OpenPairs() const { return m_Open.load(); }

private:
    void Run();

    std::string m_Target, m_Dir, m_Path;
    int m_ListenFd = -1, m_StopFd[2] = {-1, -1};
    std::thread m_Thread;
    std::atomic<uint64_t> m_Messages{0}, m_Connections{0};
    std::atomic<unsigned> m_Open{0};
};

} // namespace kivload
