// kivsdpd: hosts the runtime, the virtual L2CAP driver and the SDP driver, serves SDP over
// AF_UNIX SOCK_SEQPACKET sockets (or Bluetooth L2CAP ones) and lets applications control the
// devices over a control socket.

#include <kivrt.h>

#include "btradio.h"
#include "btsnoop.h"
#include "controlserver.h"
#include "kivsdp.h"
#include "kivsdpioctl.h"
#include "logsink.h"
#include "records.h"
#include "runpaths.h"
#include "sdpcontrol.h"
#include "socketradio.h"
#include "status.h"
#include "toolcli.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/time.h>
#include <vector>

namespace {

const char USAGE[] =
    "usage: kivsdpd [options]\n"
    "  --devices N       L2CAP devices, each with its SDP device KivSdp0.. (default 1, at most "
    "10)\n"
    "  --listen PATH     SEQPACKET socket of the next device's L2CAP channels (once per device)\n"
    "  --bluetooth       serve the next device on L2CAP PSM 1 of every Bluetooth adapter, each\n"
    "                    channel with its negotiated MTU (48..512); instead of --listen\n"
    "  --mtu N           MTU reported for every channel (48..65535, default 672)\n"
    "  --control PATH    control socket for kivsdpctl and other applications (mode 0660;\n"
    "                    default /run/kivsdpd/control as root, else\n"
    "                    $XDG_RUNTIME_DIR/kivsdpd/control)\n"
    "  --group NAME      group of the sockets and of their default directory\n"
    "  --records DIR     load every *.xml record file in DIR into each device at start;\n"
    "                    SIGHUP applies what changed in DIR since; a file's\n"
    "                    ServiceRecordHandle (0x0000) is dropped, the device gives each\n"
    "                    record its own\n"
    "  --zones MASK      debug zone mask of the SDP devices (default 0x07)\n"
    "  --btsnoop FILE    capture every channel's frames in btsnoop format (H4), as SDP over "
    "L2CAP\n"
    "  --idle-timeout S  disconnect a channel that sent and received nothing for S seconds\n"
    "                    (default 30; 0: never)\n"
    "  --log-rate N      log lines a second on average, bursts of 100*N at once; past them a "
    "line\n"
    "                    counts what was left out (default 100; 0 for every line)\n"
    "  --help            this text\n"
    "Options also as --opt=value. Exit status: 0 stopped clean, 1 failed or left findings,\n"
    "2 bad usage.\n"
    "SIGINT or SIGTERM removes the devices, unloads the drivers and reports what was left.\n";

CLogSink g_Log;

// Debug output arrives in pieces (a dump prints byte by byte); the sink stamps each line.
void PrintStamped(const std::string& Text)
{
    g_Log.Print(Text);
}

void Note(const std::string& Line)
{
    g_Log.Line("kivsdpd: " + Line);
}

// The start and stop reports: never left out.
void Report(const std::string& Line)
{
    g_Log.Always("kivsdpd: " + Line);
}

bool ParseNumber(const char* Text, unsigned long Max, unsigned long& Out)
{
    char* End = nullptr;
    errno = 0;
    unsigned long v = strtoul(Text, &End, 0);
    if (errno != 0 || End == Text || *End != '\0' || Text[0] == '-' || v > Max) return false;
    Out = v;
    return true;
}

// Where a device's channels come from: a socket path, or the Bluetooth stack.
struct LISTENER {
    std::string Path;
    bool Bluetooth = false;
};

struct DAEMON_OPTIONS {
    unsigned Devices = 1;
    std::vector<LISTENER> Listen;
    unsigned Mtu = 672;
    std::string Control;
    std::string Records;
    std::string Group;
    std::string BtSnoop;
    unsigned Zones = SDP_ZONE_DEFAULT_MASK;
    bool ZonesSet = false;
    // Sixteen idle connections would hold every channel context of a device for good.
    unsigned IdleTimeoutS = 30;
    unsigned LogRate = 100;
};

// The number options (0x.. for hex): each from Min to Max, else its refusal.
struct NUMBER_OPTION {
    const char* Name;
    unsigned DAEMON_OPTIONS::*Value;
    unsigned long Min, Max;
    const char* Refusal;
};

const NUMBER_OPTION NumberOptions[] = {
    {"--devices", &DAEMON_OPTIONS::Devices, 1, 10, "--devices takes a number from 1 to 10"},
    {"--mtu", &DAEMON_OPTIONS::Mtu, 48, 0xFFFF, "--mtu takes a number from 48 to 65535"},
    {"--idle-timeout", &DAEMON_OPTIONS::IdleTimeoutS, 0, 86400,
     "--idle-timeout takes seconds from 0 (never) to 86400"},
    {"--zones", &DAEMON_OPTIONS::Zones, 0, 0xFFFFFFFFul, "--zones takes a number (0x.. for hex)"},
    {"--log-rate", &DAEMON_OPTIONS::LogRate, 0, 1000000,
     "--log-rate takes lines a second from 0 (every line) to 1000000"},
};

// Reads the command line into Opt: kivtool::COMMAND_LINE_READ, or the exit status.
int ReadCommandLine(int argc, char** argv, DAEMON_OPTIONS& Opt)
{
    CLI::App App{"", "kivsdpd"};
    // Given again, an option's last value holds.
    App.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::vector<std::string> Numbers(std::size(NumberOptions));
    for (size_t i = 0; i < Numbers.size(); i++)
        App.add_option(NumberOptions[i].Name, Numbers[i]);
    std::vector<std::string> ListenPaths;
    CLI::Option* Listen = App.add_option("--listen", ListenPaths)
                              ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                              ->allow_extra_args(false);
    CLI::Option* Bluetooth = App.add_flag("--bluetooth");
    App.add_option("--control", Opt.Control);
    App.add_option("--records", Opt.Records);
    App.add_option("--group", Opt.Group);
    App.add_option("--btsnoop", Opt.BtSnoop);
    // The values are checked once the whole line is read, so that --help wins over them; an
    // empty one is refused as any other bad value.
    App.final_callback([&]() {
        for (size_t i = 0; i < Numbers.size(); i++) {
            const NUMBER_OPTION& N = NumberOptions[i];
            unsigned long n = 0;
            if (App.count(N.Name) == 0) continue;
            if (!ParseNumber(Numbers[i].c_str(), N.Max, n) || n < N.Min)
                throw CLI::ValidationError(N.Refusal);
            Opt.*N.Value = unsigned(n);
        }
        Opt.ZonesSet = App.count("--zones") != 0;
        if (Bluetooth->count() > 1)
            throw CLI::ValidationError("--bluetooth given twice (PSM 1 has one server)");
        // The devices take --listen paths and --bluetooth in the order given.
        size_t Path = 0;
        for (const CLI::Option* Given : App.parse_order()) {
            if (Given == Listen) Opt.Listen.push_back({ListenPaths.at(Path++), false});
            if (Given == Bluetooth) Opt.Listen.push_back({"", true});
        }
        if (Opt.Listen.size() > Opt.Devices)
            throw CLI::ValidationError("more --listen paths (and --bluetooth) than devices");
    });
    return kivtool::ParseCommandLine(App, argc, argv,
                                     [](const CLI::App&) { return std::string(USAGE); });
}

// One device-control request on an overlapped handle, waited for.
NTSTATUS Ioctl(kivrt::APP_HANDLE Handle, const kivtool::ControlRequest& Request,
               std::vector<uint8_t>* Out = nullptr)
{
    kivrt::Overlapped Ov;
    std::vector<uint8_t> Buffer(Request.OutputLength);
    ULONG Bytes = 0;
    kivrt::AppDeviceIoControl(Handle, Request.Code,
                              Request.Input.empty() ? nullptr : Request.Input.data(),
                              ULONG(Request.Input.size()), Buffer.empty() ? nullptr : Buffer.data(),
                              Request.OutputLength, &Bytes, &Ov);
    Ov.Wait();
    if (Out != nullptr) {
        Buffer.resize(std::min(Buffer.size(), size_t(Ov.Information())));
        *Out = Buffer;
    }
    return Ov.Status();
}

// Adds Record to the device's database: all or nothing.
bool AddRecord(kivrt::APP_HANDLE Handle, const kivtool::ServiceRecord& Record, uint32_t& hRec,
               std::string& Err)
{
    std::vector<uint8_t> Out;
    NTSTATUS Status = Ioctl(Handle, kivtool::AddRecordRequest(), &Out);
    if (!NT_SUCCESS(Status) || !kivtool::DecodeRecordHandle(Out.data(), Out.size(), hRec)) {
        char Text[64];
        snprintf(Text, sizeof(Text), "add record failed (0x%08x)", unsigned(Status));
        Err = Text;
        return false;
    }
    std::vector<kivtool::ControlRequest> Requests;
    bool Ok = kivtool::AddAttributeRequests(hRec, Record, Requests, Err);
    for (size_t i = 0; Ok && i < Requests.size(); i++) {
        Status = Ioctl(Handle, Requests[i]);
        if (!NT_SUCCESS(Status)) {
            char Text[80];
            snprintf(Text, sizeof(Text), "add attribute %zu failed (0x%08x)", i, unsigned(Status));
            Err = Text;
            Ok = false;
        }
    }
    if (!Ok) Ioctl(Handle, kivtool::DeleteRecordRequest(hRec));
    return Ok;
}

struct DEVICE {
    kivrt::DEVNODE* Node = nullptr;
    std::unique_ptr<CSocketRadio> Radio;
};

// What the daemon holds from start to stop; destroyed in reverse, the control server first.
struct DAEMON {
    explicit DAEMON(const DAEMON_OPTIONS& Options)
        : Opt(Options), Devices(Options.Devices), Self(Options.Devices)
    {
    }
    const DAEMON_OPTIONS& Opt;
    int L2capFd = -1;
    kivsdpd::CRecordSet Records;
    CBtSnoopWriter Capture;
    kivtool::DAEMON_SOCKETS Sockets;
    PDRIVER_OBJECT L2cap = nullptr, Sdp = nullptr;
    std::vector<DEVICE> Devices;
    std::vector<kivrt::APP_HANDLE> Handles;
    CControlServer Control;
    kivsdpd::CDaemonStatus Self;
};

// Everything that can refuse the start before anything runs, each with its own message.
bool PrepareStart(DAEMON& D)
{
    std::string Err;
    // Before anything else: on a machine without Bluetooth this is the one line printed.
    for (const LISTENER& L : D.Opt.Listen) {
        if (!L.Bluetooth) continue;
        D.L2capFd = kivbt::OpenL2capListener(kivbt::SDP_PSM, USHORT(D.Opt.Mtu), Err);
        if (D.L2capFd < 0) {
            fprintf(stderr, "kivsdpd: --bluetooth: %s\n", Err.c_str());
            return false;
        }
    }
    // Preload the record files: a bad file stops the start before anything runs.
    std::vector<std::string> RecordErrors;
    if (!D.Opt.Records.empty() && !D.Records.Read(D.Opt.Records, RecordErrors)) {
        for (const std::string& Line : RecordErrors)
            fprintf(stderr, "kivsdpd: %s\n", Line.c_str());
        return false;
    }
    // The capture is open before any channel can come up, and closed after the last one went.
    bool Ok = D.Opt.BtSnoop.empty() || D.Capture.Open(D.Opt.BtSnoop, Err, nullptr, Note);
    // Socket paths are checked before anything binds them: never a file that is not a socket,
    // never a socket another daemon serves.
    if (Ok) {
        D.Sockets.Control = D.Opt.Control;
        D.Sockets.Group = D.Opt.Group;
        for (const LISTENER& L : D.Opt.Listen)
            if (!L.Bluetooth) D.Sockets.Listen.push_back(L.Path);
        Ok = kivtool::PrepareDaemonSockets(D.Sockets, Err);
    }
    if (!Ok) fprintf(stderr, "kivsdpd: %s\n", Err.c_str());
    return Ok;
}

// The radio of device i: its socket, its log lines, the capture and the status it feeds.
CSocketRadio::OPTIONS RadioOptions(DAEMON& D, unsigned i)
{
    CSocketRadio::OPTIONS RadioOpt;
    RadioOpt.Mtu = USHORT(D.Opt.Mtu);
    RadioOpt.IdleTimeoutS = D.Opt.IdleTimeoutS;
    if (i < D.Opt.Listen.size() && D.Opt.Listen[i].Bluetooth) {
        // The radio owns the socket from here on.
        RadioOpt.ListenFd = D.L2capFd;
        D.L2capFd = -1;
        RadioOpt.ChannelMtu = kivbt::L2capChannelMtu;
    } else if (i < D.Opt.Listen.size()) {
        RadioOpt.ListenPath = D.Opt.Listen[i].Path;
    }
    RadioOpt.Log = [i](const std::string& Line) {
        Note("device " + std::to_string(i) + ": " + Line);
    };
    CBtSnoopWriter& Capture = D.Capture;
    if (Capture.IsOpen()) {
        RadioOpt.Tap = [&Capture, i](USHORT Cid, bool Outbound, const UCHAR* Payload,
                                     ULONG Length) {
            Capture.Frame(i, Cid, Outbound, Payload, Length);
        };
    }
    kivsdpd::CDaemonStatus& Self = D.Self;
    RadioOpt.ChannelEvent = [&Capture, &Self, i](USHORT Cid, bool Up, bool Local, USHORT Mtu) {
        Self.Channel(i, Cid, Up, Mtu);
        if (Capture.IsOpen() && Up)
            Capture.ChannelUp(i, Cid, Mtu, Local);
        else if (Capture.IsOpen())
            Capture.ChannelDown(i, Cid, Local);
    };
    return RadioOpt;
}

// Opens SDP device i for the daemon's own requests: its zone mask, then the record files.
bool OpenDevice(DAEMON& D, unsigned i, std::string& Err)
{
    std::u16string Name = u"\\\\.\\KivSdp" + std::u16string(1, char16_t(u'0' + i));
    kivrt::APP_HANDLE Handle = nullptr;
    NTSTATUS Status = kivrt::AppOpen(Name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, true, &Handle);
    if (!NT_SUCCESS(Status)) {
        Err = "cannot open KivSdp" + std::to_string(i);
        return false;
    }
    D.Handles.push_back(Handle);
    if (D.Opt.ZonesSet) {
        kivtool::ControlRequest Zones{IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, {}, 0};
        for (int b = 0; b < 4; b++)
            Zones.Input.push_back(uint8_t(D.Opt.Zones >> (8 * b)));
        Ioctl(Handle, Zones);
    }
    auto Add = [Handle](const kivtool::ServiceRecord& R, uint32_t& hRec, std::string& AddErr) {
        return AddRecord(Handle, R, hRec, AddErr);
    };
    auto Delete = [Handle](uint32_t hRec, std::string& DelErr) {
        NTSTATUS St = Ioctl(Handle, kivtool::DeleteRecordRequest(hRec));
        char Text[64];
        snprintf(Text, sizeof(Text), "delete failed (0x%08x)", unsigned(St));
        if (!NT_SUCCESS(St)) DelErr = Text;
        return NT_SUCCESS(St);
    };
    return D.Records.Attach({Add, Delete}, Note, Err);
}

// Builds device stack i, starts its radio and the device, and opens it.
bool StartDevice(DAEMON& D, unsigned i, std::string& Err)
{
    std::u16string Instance = u"ROOT\\KIVL2CAP\\000" + std::u16string(1, char16_t(u'0' + i));
    NTSTATUS Status = kivrt::CreateDevNode(Instance.c_str(), D.L2cap, {D.Sdp}, &D.Devices[i].Node);
    PDEVICE_OBJECT Dev = NT_SUCCESS(Status) ? KivL2capDeviceOfNode(D.Devices[i].Node) : nullptr;
    if (Dev == nullptr) {
        Err = "cannot build device stack " + std::to_string(i);
        return false;
    }
    D.Devices[i].Radio = std::make_unique<CSocketRadio>();
    if (!D.Devices[i].Radio->Start(Dev, RadioOptions(D, i), Err)) return false;
    Status = kivrt::StartDevice(D.Devices[i].Node);
    if (!NT_SUCCESS(Status)) {
        Err = "device " + std::to_string(i) + " did not start";
        return false;
    }
    return OpenDevice(D, i, Err);
}

// What kivsdpctl info shows: the daemon's status and each device's records and refusals.
void FillInfo(DAEMON& D, kivtool::DAEMON_INFO& Info)
{
    D.Self.Fill(Info);
    Info.Control = D.Sockets.Control;
    for (size_t i = 0; i < D.Handles.size(); i++) {
        auto& Dev = Info.Devices[i];
        Dev.Listen = i >= D.Opt.Listen.size()    ? ""
                     : D.Opt.Listen[i].Bluetooth ? "bluetooth"
                                                 : D.Opt.Listen[i].Path;
        std::vector<uint8_t> Out;
        std::vector<uint32_t> Records;
        std::string Ignored;
        if (NT_SUCCESS(Ioctl(D.Handles[i], kivtool::GetRecordHandlesRequest(0x10000), &Out)) &&
            kivtool::DecodeRecordHandles(Out.data(), Out.size(), Records, Ignored))
            Dev.Records = uint32_t(Records.size());
        KIVL2CAP_COUNTERS C{};
        if (NT_SUCCESS(KivL2capQueryCounters(KivL2capDeviceOfNode(D.Devices[i].Node), &C))) {
            Dev.RefusedFrames = C.FramesDropped;
            // Codes it does not know, and its own channel requests from applications.
            Dev.RefusedControls = C.ControlsRefused + C.ApplicationRequestsRefused;
        }
        Dev.RefusedFrames += D.Devices[i].Radio->RefusedFrames();
        Dev.RefusedConnections = D.Devices[i].Radio->RefusedConnections();
    }
    uint64_t Idle = 0;
    for (const DEVICE& Each : D.Devices)
        if (Each.Radio) Idle += Each.Radio->IdleDisconnects();
    Info.IdleDisconnects = Idle;
    Info.SuppressedLogLines = g_Log.Suppressed();
}

// Loads the drivers, starts every device, then the control server; the sockets get their group.
bool StartAll(DAEMON& D, std::string& Err)
{
    if (!NT_SUCCESS(KivL2capLoad(&D.L2cap))) {
        Err = "cannot load the L2CAP driver";
        return false;
    }
    if (!NT_SUCCESS(kivrt::LoadDriver(u"KivSdp", DriverEntry, &D.Sdp))) {
        Err = "cannot load the SDP driver";
        return false;
    }
    for (unsigned i = 0; i < D.Opt.Devices; i++)
        if (!StartDevice(D, i, Err)) return false;
    std::vector<DEVICE>& Devices = D.Devices;
    auto Connect = [&Devices](uint32_t Device, const std::string& Path, uint16_t* Cid,
                              std::string& ConnectErr) {
        return Devices[Device].Radio->Connect(Path, Cid, ConnectErr);
    };
    auto Disconnect = [&Devices](uint32_t Device, uint16_t Cid) {
        return Devices[Device].Radio->Disconnect(Cid);
    };
    D.Control.SetInfo([&D](kivtool::DAEMON_INFO& Info) { FillInfo(D, Info); });
    if (!D.Control.Start(D.Sockets.Control, D.Opt.Devices, Connect, Disconnect, Note, Err))
        return false;
    if (!kivtool::SetSocketAccess(D.Sockets.Control, D.Sockets.Gid, Err)) return false;
    for (const std::string& Path : D.Sockets.Listen)
        if (!kivtool::SetSocketAccess(Path, D.Sockets.Gid, Err)) return false;
    return true;
}

// In order: the applications go, then the channels, then each device; drivers left without
// devices are unloaded by the removal. 1 when a device would not go, else 0.
int StopAll(DAEMON& D)
{
    int Exit = 0;
    D.Control.Stop();
    for (kivrt::APP_HANDLE Handle : D.Handles)
        kivrt::AppClose(Handle);
    kivrt::DrainWorkItems();
    for (auto& Dev : D.Devices) {
        if (Dev.Radio) Dev.Radio->Stop();
        kivrt::DrainWorkItems();
        if (Dev.Node != nullptr) {
            NTSTATUS Status = kivrt::RemoveDevice(Dev.Node);
            if (!NT_SUCCESS(Status)) {
                char Line[64];
                snprintf(Line, sizeof(Line), "device removal failed (0x%08x)", unsigned(Status));
                Report(Line);
                Exit = 1;
            }
            kivrt::DrainWorkItems();
            kivrt::DeleteDevNode(Dev.Node);
        }
        Dev.Radio.reset();
    }
    D.Capture.Close();
    if (D.Sdp != nullptr && kivrt::IsDriverLoaded(D.Sdp)) kivrt::UnloadDriver(D.Sdp);
    if (D.L2cap != nullptr && kivrt::IsDriverLoaded(D.L2cap)) kivrt::UnloadDriver(D.L2cap);
    return Exit;
}

// Reports what the verifier recorded and the pool blocks left: the number of findings.
size_t ReportFindings()
{
    size_t Findings = 0;
    for (const auto& R : kivrt::VerifierRecords()) {
        Report(std::string("verifier ") +
               (R.Level == kivrt::Severity::Error ? "error" : "warning") + ": " + R.Check + ": " +
               R.Message);
        Findings++;
    }
    for (const auto& U : kivrt::PoolUsage()) {
        Report("leak: tag '" + kivrt::TagText(U.Tag) + "' " +
               std::to_string(U.PagedBlocks + U.NonPagedBlocks) + " block(s), " +
               std::to_string(U.PagedBytes + U.NonPagedBytes) + " bytes");
        Findings++;
    }
    if (g_Log.Suppressed() != 0)
        Report("log: " + std::to_string(g_Log.Suppressed()) + " line(s) suppressed in all");
    Report(Findings == 0 ? "stopped: no verifier findings, no pool blocks left"
                         : "stopped with " + std::to_string(Findings) + " finding(s)");
    return Findings;
}

} // namespace

int main(int argc, char** argv)
{
    DAEMON_OPTIONS Opt;
    const int ReadStatus = ReadCommandLine(argc, argv, Opt);
    if (ReadStatus != kivtool::COMMAND_LINE_READ) return ReadStatus;
    CLogSink::OPTIONS LogOpt;
    LogOpt.LinesPerSecond = Opt.LogRate;
    LogOpt.Burst = Opt.LogRate * 100;
    g_Log.Start(LogOpt);
    DAEMON D(Opt);
    if (!PrepareStart(D)) return 1;

    // Signals are taken by sigwait on the main thread only: block them before any thread starts.
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    sigaddset(&Signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    kivrt::Options RtOpt;
    RtOpt.Sched = kivrt::Scheduler::Threaded;
    kivrt::Reset(RtOpt);
    kivrt::SetDbgPrintSink(PrintStamped);

    int Exit = 0;
    std::string Err;
    if (StartAll(D, Err)) {
        Report("serving " + std::to_string(Opt.Devices) + " device(s)");
        int Signal = 0;
        while (sigwait(&Signals, &Signal) == 0 && Signal == SIGHUP)
            kivsdpd::ReloadRecords(D.Records, Note);
        Report(std::string("stopping on ") + (Signal == SIGINT ? "SIGINT" : "SIGTERM"));
    } else {
        g_Log.Flush();
        fprintf(stderr, "kivsdpd: %s\n", Err.c_str());
        Exit = 1;
    }
    if (StopAll(D) != 0) Exit = 1;
    const size_t Findings = ReportFindings();
    kivrt::SetDbgPrintSink(nullptr);
    kivrt::Shutdown();
    g_Log.Stop();
    return Findings == 0 ? Exit : 1;
}
