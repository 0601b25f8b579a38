// The CTL_INFO reply (see daemoninfo.h).

#include "daemoninfo.h"

#include <cerrno>
#include <cstdlib>

namespace kivtool {
namespace {

bool Number(const std::string& Text, uint64_t Max, uint64_t& Out)
{
    if (Text.empty() || Text[0] < '0' || Text[0] > '9') return false;
    char* End = nullptr;
    errno = 0;
    unsigned long long v = strtoull(Text.c_str(), &End, 10);
    if (errno != 0 || *End != '\0' || v > Max) return false;
    Out = v;
    return true;
}

} // namespace

std::string EncodeDaemonInfo(const DAEMON_INFO& Info)
{
    std::string Out = "version " + Info.Version + "\ncontrol " + Info.Control + "\nuptime " +
                      std::to_string(Info.UptimeSeconds) + "\n";
    for (const auto& D : Info.Devices) {
        Out += "device " + D.Name + "\nlisten " + D.Listen + "\nrecords " +
               std::to_string(D.Records) + "\nrefused-frames " + std::to_string(D.RefusedFrames) +
               "\nrefused-connections " + std::to_string(D.RefusedConnections) +
               "\nrefused-controls " + std::to_string(D.RefusedControls) + "\n";
        for (const auto& C : D.Channels)
            Out += "channel " + std::to_string(C.Cid) + " " + std::to_string(C.Mtu) + "\n";
    }
    if (Info.SuppressedLogLines)
        Out += "suppressed-log-lines " + std::to_string(*Info.SuppressedLogLines) + "\n";
    if (Info.IdleDisconnects)
        Out += "idle-disconnects " + std::to_string(*Info.IdleDisconnects) + "\n";
    return Out;
}

bool DecodeDaemonInfo(const uint8_t* p, size_t Length, DAEMON_INFO& Out, std::string& Err)
{
    DAEMON_INFO Info;
    const std::string Text(reinterpret_cast<const char*>(p), Length);
    size_t At = 0;
    unsigned LineNo = 0;
    while (At < Text.size()) {
        size_t End = Text.find('\n', At);
        if (End == std::string::npos) End = Text.size();
        const std::string Line = Text.substr(At, End - At);
        At = End + 1;
        LineNo++;
        const size_t Space = Line.find(' ');
        if (Space == 0 || Space == std::string::npos) {
            Err = "info line " + std::to_string(LineNo) + " has no key and value";
            return false;
        }
        const std::string Key = Line.substr(0, Space), Value = Line.substr(Space + 1);
        auto Bad = [&] {
            Err = "info line " + std::to_string(LineNo) + ": bad " + Key + " '" + Value + "'";
            return false;
        };
        uint64_t n = 0, m = 0;
        const bool DeviceKey = Key == "listen" || Key == "records" || Key == "refused-frames" ||
                               Key == "refused-connections" || Key == "refused-controls" ||
                               Key == "channel";
        if (DeviceKey && Info.Devices.empty()) return Bad();
        if (Key == "version") {
            Info.Version = Value;
        } else if (Key == "control") {
            Info.Control = Value;
        } else if (Key == "uptime") {
            if (!Number(Value, UINT64_MAX, Info.UptimeSeconds)) return Bad();
        } else if (Key == "device") {
            Info.Devices.emplace_back();
            Info.Devices.back().Name = Value;
        } else if (Key == "listen") {
            Info.Devices.back().Listen = Value;
        } else if (Key == "records") {
            if (!Number(Value, UINT32_MAX, n)) return Bad();
            Info.Devices.back().Records = uint32_t(n);
        } else if (Key == "refused-frames" || Key == "refused-connections" ||
                   Key == "refused-controls") {
            if (!Number(Value, UINT64_MAX, n)) return Bad();
            auto& D = Info.Devices.back();
            (Key == "refused-frames"        ? D.RefusedFrames
             : Key == "refused-connections" ? D.RefusedConnections
                                            : D.RefusedControls) = n;
        } else if (Key == "channel") {
            const size_t Gap = Value.find(' ');
            if (Gap == std::string::npos || !Number(Value.substr(0, Gap), 0xFFFF, n) ||
                !Number(Value.substr(Gap + 1), 0xFFFF, m))
                return Bad();
            Info.Devices.back().Channels.push_back({uint16_t(n), uint16_t(m)});
        } else if (Key == "suppressed-log-lines" || Key == "idle-disconnects") {
            if (!Number(Value, UINT64_MAX, n)) return Bad();
            (Key == "idle-disconnects" ? Info.IdleDisconnects : Info.SuppressedLogLines) = n;
        }
    }
    Out = std::move(Info);
    return true;
}

} // namespace kivtool
