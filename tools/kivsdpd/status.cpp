// The daemon's own status (see status.h).

#include "status.h"

namespace kivsdpd {

void CDaemonStatus::Channel(unsigned Device, uint16_t Cid, bool Up, uint16_t Mtu)
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    if (Device >= m_Channels.size()) return;
    if (Up)
        m_Channels[Device][Cid] = Mtu;
    else
        m_Channels[Device].erase(Cid);
}

void CDaemonStatus::Fill(kivtool::DAEMON_INFO& Info) const
{
    Info.Version = KIVSDPD_VERSION;
    Info.UptimeSeconds = uint64_t(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_Start)
            .count());
    std::lock_guard<std::mutex> Guard(m_Lock);
    Info.Devices.resize(m_Channels.size());
    for (size_t i = 0; i < m_Channels.size(); i++) {
        Info.Devices[i].Name = "KivSdp" + std::to_string(i);
        Info.Devices[i].Channels.clear();
        for (const auto& [Cid, Mtu] : m_Channels[i])
            Info.Devices[i].Channels.push_back({Cid, Mtu});
    }
}

} // namespace kivsdpd
