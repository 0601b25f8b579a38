// kivsdpctl info (see info.h).

#include "info.h"

#include "ctlclient.h"
#include "sdpprint.h"

#include <cstdio>

namespace kivctl {

const char* const INFO_HELP =
    "usage: kivsdpctl info\n"
    "Prints the daemon's version, control socket, uptime, each device's socket, records and open\n"
    "channels with their MTUs, and the counters of what it refused: frames dropped (too long,\n"
    "or not taken by the device), connections beyond the device's channels, control codes the\n"
    "L2CAP driver does not know, log lines it suppressed and clients it disconnected as idle\n"
    "(\"-\" where the daemon does not count them).\n";

namespace {

std::string Uptime(uint64_t s)
{
    char Text[48];
    snprintf(Text, sizeof(Text), "%llud %02llu:%02llu:%02llu", (unsigned long long)(s / 86400),
             (unsigned long long)(s / 3600 % 24), (unsigned long long)(s / 60 % 60),
             (unsigned long long)(s % 60));
    return Text;
}

std::string Optional(const std::optional<uint64_t>& v, const char* Absent)
{
    return v ? std::to_string(*v) : Absent;
}

} // namespace

std::string InfoText(const kivtool::DAEMON_INFO& Info)
{
    uint64_t Frames = 0, Connections = 0, Controls = 0;
    std::string Out = "kivsdpd " + Info.Version + ", up " + Uptime(Info.UptimeSeconds) +
                      "\ncontrol socket " + Info.Control + "\n";
    for (const auto& D : Info.Devices) {
        Out += D.Name + ": " + (D.Listen.empty() ? "no socket" : D.Listen) + ", " +
               std::to_string(D.Records) + " record(s), " + std::to_string(D.Channels.size()) +
               " channel(s) open\n";
        for (const auto& C : D.Channels) {
            char Line[48];
            snprintf(Line, sizeof(Line), "  channel 0x%04X MTU %u\n", C.Cid, C.Mtu);
            Out += Line;
        }
        Frames += D.RefusedFrames;
        Connections += D.RefusedConnections;
        Controls += D.RefusedControls;
    }
    Out += "refused frames " + std::to_string(Frames) + ", refused connections " +
           std::to_string(Connections) + ", refused control codes " + std::to_string(Controls) +
           ", suppressed log lines " + Optional(Info.SuppressedLogLines, "-") +
           ", idle disconnects " + Optional(Info.IdleDisconnects, "-") + "\n";
    return Out;
}

std::string InfoJson(const kivtool::DAEMON_INFO& Info)
{
    std::string Out = "{\"version\":" + kivtool::JsonString(Info.Version) +
                      ",\"control\":" + kivtool::JsonString(Info.Control) +
                      ",\"uptime_seconds\":" + std::to_string(Info.UptimeSeconds) +
                      ",\"devices\":[";
    for (size_t i = 0; i < Info.Devices.size(); i++) {
        const auto& D = Info.Devices[i];
        Out += std::string(i ? "," : "") + "{\"name\":" + kivtool::JsonString(D.Name) +
               ",\"listen\":" + kivtool::JsonString(D.Listen) +
               ",\"records\":" + std::to_string(D.Records) + ",\"channels\":[";
        for (size_t c = 0; c < D.Channels.size(); c++)
            Out += std::string(c ? "," : "") + "{\"cid\":" + std::to_string(D.Channels[c].Cid) +
                   ",\"mtu\":" + std::to_string(D.Channels[c].Mtu) + "}";
        Out += "],\"refused_frames\":" + std::to_string(D.RefusedFrames) +
               ",\"refused_connections\":" + std::to_string(D.RefusedConnections) +
               ",\"refused_controls\":" + std::to_string(D.RefusedControls) + "}";
    }
    return Out + "],\"suppressed_log_lines\":" + Optional(Info.SuppressedLogLines, "null") +
           ",\"idle_disconnects\":" + Optional(Info.IdleDisconnects, "null") + "}";
}

int RunInfo(const std::string& Control, bool Json)
{
    CtlClient Ctl;
    CtlReply R;
    std::string Err;
    kivtool::DAEMON_INFO Info;
    if (!Ctl.Connect(Control, Err) || !Ctl.Call(CTL_INFO, {}, 10000, R, Err)) {
        fprintf(stderr, "kivsdpctl: info: %s\n", Err.c_str());
        return 1;
    }
    if (R.Status != 0) {
        fprintf(stderr, "kivsdpctl: info: %s\n", StatusText(R.Status).c_str());
        return 1;
    }
    if (!kivtool::DecodeDaemonInfo(R.Output.data(), R.Output.size(), Info, Err)) {
        fprintf(stderr, "kivsdpctl: info: %s\n", Err.c_str());
        return 1;
    }
    fputs((Json ? InfoJson(Info) + "\n" : InfoText(Info)).c_str(), stdout);
    return 0;
}

} // namespace kivctl
