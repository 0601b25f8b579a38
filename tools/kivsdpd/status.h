// What the daemon reports about itself (kivsdpctl info): its start time and the channels its
// radios have open, with their MTUs, as the radios report them.
#pragma once

#include "daemoninfo.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace kivsdpd {

class CDaemonStatus {
public:
    explicit CDaemonStatus(unsigned Devices) : m_Channels(Devices) {}
    // A radio's channel event, on its thread.
    void Channel(unsigned Device, uint16_t Cid, bool Up, uint16_t Mtu);
    // Version, uptime and one entry per device (KivSdp<N>) with its open channels; the rest is
    // the caller's.
    void Fill(kivtool::DAEMON_INFO& Info) const;

private:
    const std::chrono::steady_clock::time_point m_Start = std::chrono::steady_clock::now();
    mutable std::mutex m_Lock;
    std::vector<std::map<uint16_t, uint16_t>> m_Channels; // [device] CID -> MTU
};

} // namespace kivsdpd
