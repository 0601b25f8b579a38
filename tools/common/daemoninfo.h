// What kivsdpd tells an operator about itself (kivsdpctl info): the control socket's CTL_INFO
// reply, filled by the daemon and read by the CLI. The reply is text, one "key value" line
// each, so a reader skips the keys it does not know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivtool {

struct DAEMON_INFO {
    struct CHANNEL {
        uint16_t Cid = 0;
        uint16_t Mtu = 0;
    };
    struct DEVICE {
        std::string Name;   // KivSdp0
        std::string Listen; // its socket path, "bluetooth", or empty (outgoing channels only)
        uint32_t Records = 0;
        std::vector<CHANNEL> Channels; // open now
        // Inbound frames dropped (too long, or not taken by the device), connections beyond
        // the device's channels, control codes the L2CAP driver does not know.
        uint64_t RefusedFrames = 0, RefusedConnections = 0, RefusedControls = 0;
    };
    std::string Version;
    std::string Control; // the control socket's path
    uint64_t UptimeSeconds = 0;
    std::vector<DEVICE> Devices;
    // Kept outside the devices; empty while the daemon does not count them.
    std::optional<uint64_t> SuppressedLogLines, IdleDisconnects;
};

std::string EncodeDaemonInfo(const DAEMON_INFO& Info);
// False (Err set) for a reply that is not such text: a line without a key, a number that is
// not one, a device value before any device.
bool DecodeDaemonInfo(const uint8_t* p, size_t Length, DAEMON_INFO& Out, std::string& Err);

} // namespace kivtool
