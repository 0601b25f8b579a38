// kivsdp-load: loads kivsdpd with single-response ServiceSearchAttribute requests from separate
// client processes over its SEQPACKET channels and prints requests per second and latency; can
// also time the control socket's client path and measure the daemon's memory with many records.
// Every answer is checked; only correct ones count, and any other outcome fails the run.

#include "abuse.h"
#include "floor.h"
#include "relay.h"
#include "ctlclient.h"
#include "kivsdpioctl.h"
#include "loadgen.h"
#include "runpaths.h"
#include "sdpclient.h"
#include "sdpcontrol.h"
#include "toolcli.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kivload;
using Clock = std::chrono::steady_clock;

namespace {

const char USAGE[] =
    "usage: kivsdp-load (--daemon KIVSDPD [--records DIR] | --socket PATH [--control PATH])\n"
    "                   [options]\n"
    "  --daemon KIVSDPD  start this kivsdpd for the run (temporary directory, --zones 0)\n"
    "  --records DIR     record files for the started daemon\n"
    "  --mtu N           MTU of the started daemon's channels\n"
    "  --socket PATH     load a running daemon's SEQPACKET socket instead\n"
    "  --control PATH    that daemon's control socket (for --client-role and --abuse; default\n"
    "                    $KIVSDP_CONTROL, else the daemon's default control socket)\n"
    "  --channels LIST   concurrent channels of each step (default 1,4,16)\n"
    "  --processes N     client processes of a step at most; channels are spread over them\n"
    "                    (default 4)\n"
    "  --duration S      seconds of each step (default 5)\n"
    "  --requests N      answers per channel, then the step ends (default: the duration)\n"
    "  --uuid UUID       service class searched (default 0x1105, OBEX Object Push,\n"
    "                    whose record answers in one PDU at MTU 672)\n"
    "  --client-role     also time transactions through the control socket's client path\n"
    "                    (one channel from the daemon to its own socket)\n"
    "  --memory N        start a second daemon with an empty database, add N records through\n"
    "                    its control socket and report its VmRSS and VmHWM before and after\n"
    "  --abuse           instead of the load steps: bad frames, forged continuation states,\n"
    "                    clients that never read or vanish, too many channels, bad control\n"
    "                    messages, a client killed mid-transaction; after each, a well-behaved\n"
    "                    client must get its answers byte for byte (needs the control socket)\n"
    "  --seed N          seed of the random frames and messages of --abuse (default 1)\n"
    "  --case NAME       run only this --abuse case (again for more; the refusals the log\n"
    "                    must name are then not checked)\n"
    "  --rss-growth MB   --abuse fails when the daemon's VmRSS grew by more (default 64)\n"
    "  --pid PID         the running daemon's process, for its memory figures with --socket\n"
    "  --echo            after each step, the same step against an echo server on the same\n"
    "                    socket type (the floor: what the socket and the wake-ups cost)\n"
    "  --flood LIST      after each step, the same step again while one more client floods\n"
    "                    the daemon and never reads: headers (frames of 204 header-only\n"
    "                    requests), browse (frames of 40 browse requests), valid (valid\n"
    "                    requests back to back); comma-separated\n"
    "  --browse N        instead of the load steps, follow N whole browse series (public\n"
    "                    browse group, every attribute) on one channel: responses, and\n"
    "                    wall time and server CPU per response\n"
    "  --json            print the figures as one JSON object instead of the tables\n"
    "Options also as --opt=value.\n"
    "Exit 0 when every request got the right answer, 1 otherwise, 2 on a usage error.\n";

struct OPTIONS {
    std::string Daemon, Records, Socket, Control, Mtu;
    std::vector<unsigned> Channels{1, 4, 16};
    unsigned Processes = 4;
    double DurationS = 5;
    bool DurationSet = false;
    uint64_t Requests = 0;
    kivtool::DataElement Uuid = kivtool::MakeUuid16(0x1105);
    std::string UuidText = "0x1105";
    bool ClientRole = false;
    unsigned MemoryRecords = 0;
    unsigned BrowseSeriesCount = 0;
    bool Abuse = false, Json = false, Echo = false;
    std::vector<FLOOD> Floods;
    uint32_t Seed = 1;
    unsigned RssGrowthMb = 64;
    int Pid = -1;
    std::vector<std::string> Cases;
};

// The texts of the options with a value, checked once the whole line is read.
struct OPTION_TEXTS {
    std::string Mtu, Channels, Processes, Duration, Requests, Uuid, Seed, RssGrowth, Pid, Flood,
        Browse, Memory;
};

// Takes the values given into O, or refuses the first bad one.
void TakeValues(const CLI::App& App, const OPTION_TEXTS& T, OPTIONS& O)
{
    auto Refuse = [](const std::string& Why) { throw CLI::ValidationError(Why); };
    auto Given = [&App](const char* Name) { return App.count(Name) != 0; };
    uint64_t n = 0;
    // Text as a count from 1 to Max, else Refusal.
    auto Count = [&](const std::string& Text, uint64_t Max, const char* Refusal) {
        if (!kivctl::ParseNumber(Text, Max, n) || n == 0) Refuse(Refusal);
        return n;
    };
    for (const std::string& Case : O.Cases) {
        const auto& Names = AbuseCaseNames();
        if (std::find(Names.begin(), Names.end(), Case) == Names.end())
            Refuse("--case: no abuse case '" + Case + "'");
    }
    if (Given("--mtu")) {
        if (!kivctl::ParseNumber(T.Mtu, 0xFFFF, n) || n < 48) Refuse("--mtu takes 48..65535");
        O.Mtu = std::to_string(n);
    }
    if (Given("--channels") && !ParseCountList(T.Channels, O.Channels))
        Refuse("--channels takes counts from 1 to 16 (the device's channel contexts), "
               "comma-separated");
    if (Given("--processes"))
        O.Processes = unsigned(Count(T.Processes, MAX_CHANNELS, "--processes takes 1..16"));
    if (Given("--duration")) {
        char* End = nullptr;
        O.DurationS = strtod(T.Duration.c_str(), &End);
        if (End == T.Duration.c_str() || *End != '\0' || !(O.DurationS > 0 && O.DurationS <= 3600))
            Refuse("--duration takes seconds, more than 0 and at most 3600");
        O.DurationSet = true;
    }
    if (Given("--requests"))
        O.Requests = Count(T.Requests, 100000000, "--requests takes 1..100000000");
    if (Given("--uuid")) {
        if (!kivctl::ParseUuid(T.Uuid, O.Uuid)) Refuse("--uuid: '" + T.Uuid + "' is not a UUID");
        O.UuidText = T.Uuid;
    }
    if (Given("--seed")) {
        if (!kivctl::ParseNumber(T.Seed, 0xFFFFFFFF, n)) Refuse("--seed takes 0..4294967295");
        O.Seed = uint32_t(n);
    }
    if (Given("--rss-growth"))
        O.RssGrowthMb = unsigned(Count(T.RssGrowth, 100000, "--rss-growth takes 1..100000 MB"));
    if (Given("--pid")) O.Pid = int(Count(T.Pid, 0x7FFFFFFF, "--pid takes a process ID"));
    if (Given("--flood") && !ParseFloodList(T.Flood, O.Floods))
        Refuse("--flood takes headers, browse or valid, comma-separated");
    if (Given("--browse"))
        O.BrowseSeriesCount = unsigned(Count(T.Browse, 100000, "--browse takes 1..100000 series"));
    if (Given("--memory"))
        O.MemoryRecords = unsigned(Count(T.Memory, 100000, "--memory takes 1..100000 records"));
}

// The options that only make sense with others, and the default control socket.
void CheckCombination(OPTIONS& O)
{
    auto Refuse = [](const char* Why) { throw CLI::ValidationError(Why); };
    if (O.Daemon.empty() == O.Socket.empty()) Refuse("give either --daemon or --socket");
    if (O.MemoryRecords != 0 && O.Daemon.empty()) Refuse("--memory needs --daemon");
    if (!O.Cases.empty() && !O.Abuse) Refuse("--case belongs with --abuse");
    if (O.Abuse && O.ClientRole)
        Refuse("--abuse runs instead of the load steps, --client-role is one of them");
    if (!O.Daemon.empty() && !O.Control.empty()) Refuse("--control belongs with --socket");
    if (O.Daemon.empty() && (O.ClientRole || O.Abuse))
        O.Control = kivtool::ClientControlPath(O.Control);
}

// Reads the command line into O: kivtool::COMMAND_LINE_READ, or the exit status.
int ReadCommandLine(int argc, char** argv, OPTIONS& O)
{
    CLI::App App{"", "kivsdp-load"};
    // Given again, an option's last value holds (--case adds a case each time).
    App.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    App.add_flag("--client-role", O.ClientRole);
    App.add_flag("--abuse", O.Abuse);
    App.add_flag("--json", O.Json);
    App.add_flag("--echo", O.Echo);
    App.add_option("--daemon", O.Daemon);
    App.add_option("--records", O.Records);
    App.add_option("--socket", O.Socket);
    App.add_option("--control", O.Control);
    App.add_option("--case", O.Cases)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    OPTION_TEXTS T;
    const std::pair<const char*, std::string*> Values[] = {
        {"--mtu", &T.Mtu},           {"--channels", &T.Channels},    {"--processes", &T.Processes},
        {"--duration", &T.Duration}, {"--requests", &T.Requests},    {"--uuid", &T.Uuid},
        {"--seed", &T.Seed},         {"--rss-growth", &T.RssGrowth}, {"--pid", &T.Pid},
        {"--flood", &T.Flood},       {"--browse", &T.Browse},        {"--memory", &T.Memory}};
    for (const auto& [Name, Text] : Values)
        App.add_option(Name, *Text);
    // The values are checked once the whole line is read, so that --help wins over them; an
    // empty one is refused as any other bad value.
    App.final_callback([&]() {
        TakeValues(App, T, O);
        CheckCombination(O);
    });
    return kivtool::ParseCommandLine(App, argc, argv,
                                     [](const CLI::App&) { return std::string(USAGE); });
}

// ---------------------------------------------------------------------------------------------
// The daemon under test

constexpr unsigned ABUSE_IDLE_TIMEOUT_S = 2;

struct DAEMON {
    pid_t Pid = -1;
    std::string Sdp, Ctl, Log;
};

std::string ReadText(const std::string& Path)
{
    std::ifstream In(Path);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

bool StartDaemon(const OPTIONS& O, const std::string& Dir, const std::string& Name,
                 bool WithRecords, DAEMON& D, std::string& Err)
{
    D.Sdp = Dir + "/" + Name + ".sdp";
    D.Ctl = Dir + "/" + Name + ".ctl";
    D.Log = Dir + "/" + Name + ".log";
    std::vector<std::string> Args{O.Daemon, "--listen", D.Sdp, "--control", D.Ctl, "--zones", "0"};
    if (WithRecords && !O.Records.empty()) Args.insert(Args.end(), {"--records", O.Records});
    if (!O.Mtu.empty()) Args.insert(Args.end(), {"--mtu", O.Mtu});
    // Short enough for the abuse run's idle case to see the daemon close idle channels.
    if (O.Abuse) Args.insert(Args.end(), {"--idle-timeout", std::to_string(ABUSE_IDLE_TIMEOUT_S)});
    D.Pid = SpawnLogged(Args, D.Log);
    if (D.Pid < 0) {
        Err = std::string("fork: ") + strerror(errno);
        return false;
    }
    // The control socket is made last, after the records are in.
    auto Deadline = Clock::now() + std::chrono::seconds(60);
    struct stat St;
    while (stat(D.Ctl.c_str(), &St) != 0) {
        int Exit = WaitExit(D.Pid, 0);
        if (Exit >= 0 || Clock::now() > Deadline) {
            if (Exit < 0) {
                kill(D.Pid, SIGKILL);
                WaitExit(D.Pid, 5000);
            }
            D.Pid = -1;
            Err = "kivsdpd did not start; its output:\n" + ReadText(D.Log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// SIGTERM; true when the daemon ended with exit 0, which it does only when the verifier found
// nothing and no pool block was left.
bool StopDaemon(DAEMON& D, std::string& Err)
{
    if (D.Pid <= 0) return true;
    kill(D.Pid, SIGTERM);
    int Exit = WaitExit(D.Pid, 30000);
    if (Exit < 0) {
        kill(D.Pid, SIGKILL);
        WaitExit(D.Pid, 5000);
    }
    D.Pid = -1;
    if (Exit == 0) return true;
    Err = "kivsdpd exited with " + std::to_string(Exit) + "; its output:\n" + ReadText(D.Log);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Load steps over SEQPACKET channels

// A connected channel that has answered one request correctly. A connection beyond the
// device's channel contexts is accepted but never answered, and a context is freed only once
// the device has seen the previous channel close: such a connection is tried again.
int ConnectServed(const std::string& Path, const CResponseCheck& Check, const OPTIONS& O,
                  std::string& Err)
{
    std::vector<uint8_t> Answer;
    for (int Attempt = 0; Attempt < 40; Attempt++) {
        int Fd = ConnectSeqpacket(Path);
        if (Fd < 0) {
            Err = "cannot connect to " + Path + ": " + strerror(errno);
            return -1;
        }
        if (Exchange(Fd, SearchAttrPdu(0, O.Uuid), Answer, 250)) {
            if (Check.Check(Answer.data(), Answer.size(), 0, Err)) return Fd;
            close(Fd);
            return -1;
        }
        close(Fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Err = "no channel of " + Path + " answered within 10 s";
    return -1;
}

bool ReadFull(int Fd, void* Buffer, size_t Length, int TimeoutMs)
{
    auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    auto* p = static_cast<uint8_t*>(Buffer);
    while (Length > 0) {
        auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        pollfd P{Fd, POLLIN, 0};
        if (Left.count() <= 0 || poll(&P, 1, int(Left.count())) <= 0) return false;
        ssize_t Got = read(Fd, p, Length);
        if (Got <= 0) {
            if (Got < 0 && errno == EINTR) continue;
            return false;
        }
        p += Got;
        Length -= size_t(Got);
    }
    return true;
}

void WriteFull(int Fd, const void* Buffer, size_t Length)
{
    auto* p = static_cast<const uint8_t*>(Buffer);
    while (Length > 0) {
        ssize_t Put = write(Fd, p, Length);
        if (Put < 0 && errno == EINTR) continue;
        if (Put <= 0) return;
        p += Put;
        Length -= size_t(Put);
    }
}

// A load process: connects its channels, reports ready ('R', or 'E' and a result naming the
// fault), waits for the start (end of file on Go), runs, writes its latencies to LatencyPath
// and its result to the pipe.
[[noreturn]] void LoadProcess(const OPTIONS& O, const std::string& Path,
                              const CResponseCheck& Check, unsigned Channels,
                              const std::string& LatencyPath, int ResultFd, int GoFd)
{
    CHILD_RESULT R;
    std::vector<int> Fds;
    std::string Err;
    for (unsigned i = 0; i < Channels; i++) {
        int Fd = ConnectServed(Path, Check, O, Err);
        if (Fd < 0) {
            snprintf(R.FirstError, sizeof(R.FirstError), "%s", Err.c_str());
            WriteFull(ResultFd, "E", 1);
            WriteFull(ResultFd, &R, sizeof(R));
            _exit(1);
        }
        Fds.push_back(Fd);
    }
    WriteFull(ResultFd, "R", 1);
    char Byte;
    while (read(GoFd, &Byte, 1) < 0 && errno == EINTR) {
    }
    LOOP_OPTIONS Loop;
    Loop.Uuid = O.Uuid;
    Loop.RequestsPerChannel = O.Requests;
    // With a request count and no duration the count alone ends the step.
    double Seconds = O.DurationSet || O.Requests == 0 ? O.DurationS : 3600;
    Loop.Deadline = Clock::now() + std::chrono::microseconds(int64_t(Seconds * 1e6));
    std::vector<uint32_t> Latency;
    Latency.reserve(1 << 16);
    R = RunChannels(Fds, Check, Loop, Latency);
    for (int Fd : Fds)
        close(Fd);
    int Out = open(LatencyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (Out >= 0) {
        WriteFull(Out, Latency.data(), Latency.size() * sizeof(uint32_t));
        close(Out);
    }
    WriteFull(ResultFd, &R, sizeof(R));
    _exit(0);
}

struct STEP_RESULT {
    unsigned Channels = 0, Processes = 0;
    CHILD_RESULT Total;
    double ServerCpuUs = -1; // the server's CPU time per answer, when its process is known
    uint64_t ElapsedNs = 0;
    LATENCY_SUMMARY Latency;
    std::string Error;
};

struct LOAD_CHILD {
    pid_t Pid = -1;
    int Result = -1; // the read end of its result pipe
    std::string LatencyPath;
};

// Forks the step's load processes, its channels spread over them; S.Error names a failure.
std::vector<LOAD_CHILD> ForkLoadProcesses(const OPTIONS& O, const std::string& Path,
                                          const std::string& Dir, const CResponseCheck& Check,
                                          const int Go[2], STEP_RESULT& S)
{
    std::vector<LOAD_CHILD> Children(S.Processes);
    for (unsigned i = 0; i < S.Processes; i++) {
        LOAD_CHILD& C = Children[i];
        C.LatencyPath = Dir + "/latency." + std::to_string(S.Channels) + "." + std::to_string(i);
        int Result[2];
        if (pipe2(Result, O_CLOEXEC) != 0) {
            S.Error = std::string("pipe: ") + strerror(errno);
            break;
        }
        // Channels spread as evenly as they go: the first processes take one more.
        unsigned Mine = S.Channels / S.Processes + (i < S.Channels % S.Processes ? 1 : 0);
        fflush(stdout);
        C.Pid = fork();
        if (C.Pid == 0) {
            close(Go[1]);
            close(Result[0]);
            LoadProcess(O, Path, Check, Mine, C.LatencyPath, Result[1], Go[0]);
        }
        close(Result[1]);
        C.Result = Result[0];
        if (C.Pid < 0) {
            S.Error = std::string("fork: ") + strerror(errno);
            break;
        }
    }
    return Children;
}

// Waits for every process to be ready; when one is not, S.Error says why and all are killed.
void AwaitReady(const std::vector<LOAD_CHILD>& Children, STEP_RESULT& S)
{
    for (auto& C : Children) {
        char Ready = 0;
        if (!S.Error.empty() || C.Pid < 0) break;
        if (!ReadFull(C.Result, &Ready, 1, 60000)) {
            S.Error = "a load process did not get ready";
        } else if (Ready != 'R') {
            CHILD_RESULT R;
            S.Error = ReadFull(C.Result, &R, sizeof(R), 1000) ? R.FirstError : "setup failed";
        }
    }
    if (!S.Error.empty()) {
        for (auto& C : Children)
            if (C.Pid > 0) kill(C.Pid, SIGKILL);
    }
}

// Adds a process's result to the step's, and its latencies, from its file, to All.
void AddResult(const CHILD_RESULT& R, const std::string& LatencyPath, STEP_RESULT& S,
               std::vector<uint32_t>& All)
{
    S.Total.Answered += R.Answered;
    S.Total.Wrong += R.Wrong;
    S.Total.Lost += R.Lost;
    S.ElapsedNs = std::max(S.ElapsedNs, R.ElapsedNs);
    if (S.Total.FirstError[0] == '\0')
        memcpy(S.Total.FirstError, R.FirstError, sizeof(R.FirstError));
    std::ifstream In(LatencyPath, std::ios::binary);
    std::vector<char> Bytes((std::istreambuf_iterator<char>(In)), {});
    size_t n = Bytes.size() / sizeof(uint32_t);
    size_t Old = All.size();
    All.resize(Old + n);
    memcpy(All.data() + Old, Bytes.data(), n * sizeof(uint32_t));
    if (n != R.Answered && S.Error.empty()) S.Error = "a load process lost latencies";
}

STEP_RESULT RunStep(const OPTIONS& O, const std::string& Path, const std::string& Dir,
                    const CResponseCheck& Check, unsigned Channels, pid_t Server)
{
    STEP_RESULT S;
    S.Channels = Channels;
    S.Processes = std::min(Channels, O.Processes);
    int Go[2];
    if (pipe2(Go, O_CLOEXEC) != 0) {
        S.Error = std::string("pipe: ") + strerror(errno);
        return S;
    }
    std::vector<LOAD_CHILD> Children = ForkLoadProcesses(O, Path, Dir, Check, Go, S);
    close(Go[0]);
    int64_t CpuBefore = -1;
    // Every process ready, then all start at once.
    AwaitReady(Children, S);
    if (Server > 0) CpuBefore = ProcessCpuUs(Server);
    close(Go[1]);
    double Seconds = O.DurationSet || O.Requests == 0 ? O.DurationS : 3600;
    int Bound = int(Seconds * 1000) + 60000;
    std::vector<uint32_t> All;
    for (auto& C : Children) {
        if (C.Pid <= 0) continue;
        CHILD_RESULT R;
        if (S.Error.empty()) {
            if (!ReadFull(C.Result, &R, sizeof(R), Bound)) {
                S.Error = "a load process ended without a result";
                kill(C.Pid, SIGKILL);
            } else {
                AddResult(R, C.LatencyPath, S, All);
            }
        }
        close(C.Result);
        WaitExit(C.Pid, 10000);
        unlink(C.LatencyPath.c_str());
    }
    int64_t CpuAfter = Server > 0 ? ProcessCpuUs(Server) : -1;
    if (CpuBefore >= 0 && CpuAfter >= CpuBefore && S.Total.Answered != 0)
        S.ServerCpuUs = double(CpuAfter - CpuBefore) / double(S.Total.Answered);
    S.Latency = Summarise(All);
    return S;
}

// ---------------------------------------------------------------------------------------------
// The control socket's client path and the memory figure

bool OpenDevice(kivctl::CtlClient& Ctl, const std::string& Path, std::string& Err)
{
    if (!Ctl.Connect(Path, Err)) return false;
    std::vector<uint8_t> Body;
    kivctl::PutLe32(Body, 0);
    kivctl::CtlReply R;
    if (!Ctl.Call(kivctl::CTL_OPEN, Body, 10000, R, Err)) return false;
    if (R.Status != 0) {
        Err = "cannot open KivSdp0: " + kivctl::StatusText(R.Status);
        return false;
    }
    return true;
}

// Transactions through the device's client path: a listen-for-response request (it pends until
// the answer arrives), the send request, the answer. One channel, from the daemon to its own
// socket through a relay of this process (the daemon refuses its own sockets as peers), so the
// server side runs in the same daemon.
STEP_RESULT RunClientRole(const OPTIONS& O, const std::string& Control, const std::string& Sdp,
                          const CResponseCheck& Check)
{
    STEP_RESULT S;
    S.Channels = S.Processes = 1;
    // This channel takes two of the device's contexts (its client and its server end): give the
    // device a moment to see the last step's channels close.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kivctl::CtlClient Ctl;
    kivctl::CtlReply R;
    std::string Err;
    CRelay Relay;
    if (!Relay.Start(Sdp, Err) || !OpenDevice(Ctl, Control, Err) ||
        !Ctl.Call(kivctl::CTL_CONNECT,
                  std::vector<uint8_t>(Relay.Path().begin(), Relay.Path().end()), 10000, R, Err)) {
        S.Error = "client role: " + Err;
        return S;
    }
    if (R.Status != 0) {
        S.Error = "client role: cannot connect a channel: " + kivctl::StatusText(R.Status);
        return S;
    }
    uint16_t Cid = uint16_t(R.Information);
    double Seconds = O.DurationSet || O.Requests == 0 ? O.DurationS : 3600;
    auto Begin = Clock::now();
    auto Deadline = Begin + std::chrono::microseconds(int64_t(Seconds * 1e6));
    std::vector<uint32_t> Latency;
    for (uint16_t Tid = 1; Clock::now() < Deadline; Tid++) {
        if (O.Requests != 0 && S.Total.Answered + S.Total.Wrong >= O.Requests) break;
        auto Sent = Clock::now();
        uint32_t Listen =
            Ctl.Send(kivctl::CTL_IOCTL,
                     kivctl::CtlClient::IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {},
                                                  KIVSDP_LISTEN_RESPONSE_MIN_LEN),
                     Err);
        kivctl::CtlReply Done, Answer;
        std::vector<uint8_t> Frame =
            kivctl::SearchAttrRequest(Cid, Tid, {O.Uuid}, 0xFFFF, {kivctl::AttrRange{}}, {});
        if (Listen == 0 ||
            !Ctl.Call(kivctl::CTL_IOCTL,
                      kivctl::CtlClient::IoctlBody(IOCTL_KIVSDP_SEND_SDP_REQUEST, Frame, 0), 5000,
                      Done, Err) ||
            Done.Status != 0 || !Ctl.Wait(Listen, 5000, Answer, Err) || Answer.Status != 0) {
            S.Total.Lost++;
            if (Err.empty())
                Err = "request failed: " +
                      kivctl::StatusText(Done.Status != 0 ? Done.Status : Answer.Status);
            snprintf(S.Total.FirstError, sizeof(S.Total.FirstError), "%s", Err.c_str());
            break;
        }
        auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - Sent);
        if (!Check.Check(Answer.Output.data(), Answer.Output.size(), Tid, Err)) {
            S.Total.Wrong++;
            snprintf(S.Total.FirstError, sizeof(S.Total.FirstError), "%s", Err.c_str());
            break;
        }
        Latency.push_back(uint32_t(std::min<int64_t>(Ns.count(), UINT32_MAX)));
        S.Total.Answered++;
    }
    S.ElapsedNs = uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - Begin).count());
    S.Latency = Summarise(Latency);
    return S;
}

// A serial port record, told apart by its name and channel.
kivtool::ServiceRecord SerialPortRecord(unsigned Index)
{
    using namespace kivtool;
    ServiceRecord R;
    char Name[32];
    snprintf(Name, sizeof(Name), "Serial Port %04u", Index);
    R.Attributes = {
        {0x0001, MakeSequence({MakeUuid16(0x1101)})},
        {0x0004, MakeSequence({MakeSequence({MakeUuid16(0x0100)}),
                               MakeSequence({MakeUuid16(0x0003), MakeUint(1, 1 + Index % 30)})})},
        {0x0005, MakeSequence({MakeUuid16(0x1002)})},
        {0x0006, MakeSequence({MakeUint(2, 0x656e), MakeUint(2, 0x006a), MakeUint(2, 0x0100)})},
        {0x0009, MakeSequence({MakeSequence({MakeUuid16(0x1101), MakeUint(2, 0x0102)})})},
        {0x0100, MakeText(Name)},
    };
    return R;
}

bool Ioctl(kivctl::CtlClient& Ctl, const kivtool::ControlRequest& Request, kivctl::CtlReply& R,
           std::string& Err)
{
    if (!Ctl.Call(kivctl::CTL_IOCTL,
                  kivctl::CtlClient::IoctlBody(Request.Code, Request.Input, Request.OutputLength),
                  10000, R, Err))
        return false;
    if (R.Status != 0) {
        Err = kivctl::StatusText(R.Status);
        return false;
    }
    return true;
}

// What --json prints: each part as the text of one JSON member, joined at the end.
std::vector<std::string> g_JsonSteps;
std::string g_JsonMemory, g_JsonAbuse;

std::string JsonString(const std::string& Text)
{
    std::string Out = "\"";
    for (char c : Text) {
        if (c == '"' || c == '\\') {
            Out += '\\';
            Out += c;
        } else if (uint8_t(c) < 0x20) {
            char Esc[8];
            snprintf(Esc, sizeof(Esc), "\\u%04x", unsigned(uint8_t(c)));
            Out += Esc;
        } else {
            Out += c;
        }
    }
    return Out + "\"";
}

bool RunMemory(const OPTIONS& O, const std::string& Dir)
{
    DAEMON D;
    std::string Err;
    if (!StartDaemon(O, Dir, "memory", false, D, Err)) {
        fprintf(stderr, "kivsdp-load: %s\n", Err.c_str());
        return false;
    }
    bool Ok = true;
    kivctl::CtlClient Ctl;
    PROC_MEMORY Before, After;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!ReadProcMemory(D.Pid, Before) || !OpenDevice(Ctl, D.Ctl, Err)) {
        if (Err.empty()) Err = "cannot read /proc/" + std::to_string(D.Pid) + "/status";
        Ok = false;
    }
    auto Begin = Clock::now();
    size_t Requests = 0;
    for (unsigned i = 0; Ok && i < O.MemoryRecords; i++) {
        kivctl::CtlReply R;
        uint32_t hRec = 0;
        std::vector<kivtool::ControlRequest> Attributes;
        Ok = Ioctl(Ctl, kivtool::AddRecordRequest(), R, Err) &&
             kivtool::DecodeRecordHandle(R.Output.data(), R.Output.size(), hRec) &&
             kivtool::AddAttributeRequests(hRec, SerialPortRecord(i), Attributes, Err);
        for (size_t a = 0; Ok && a < Attributes.size(); a++)
            Ok = Ioctl(Ctl, Attributes[a], R, Err);
        Requests += 1 + Attributes.size();
        if (!Ok) Err = "record " + std::to_string(i) + ": " + (Err.empty() ? "no handle" : Err);
    }
    double Seconds = std::chrono::duration<double>(Clock::now() - Begin).count();
    if (Ok) {
        // The database holds every record: the handles the device lists.
        kivctl::CtlReply R;
        std::vector<uint32_t> Handles;
        Ok = Ioctl(Ctl, kivtool::GetRecordHandlesRequest(4 * (O.MemoryRecords + 16)), R, Err) &&
             kivtool::DecodeRecordHandles(R.Output.data(), R.Output.size(), Handles, Err);
        if (Ok && Handles.size() < O.MemoryRecords) {
            Err = "the device lists " + std::to_string(Handles.size()) + " records";
            Ok = false;
        }
    }
    if (Ok && !ReadProcMemory(D.Pid, After)) {
        Err = "cannot read /proc/" + std::to_string(D.Pid) + "/status";
        Ok = false;
    }
    if (Ok && O.Json) {
        char Text[320];
        snprintf(Text, sizeof(Text),
                 "{\"records\":%u,\"seconds\":%.3f,\"requests\":%zu,\"empty_rss_kb\":%llu,"
                 "\"empty_hwm_kb\":%llu,\"full_rss_kb\":%llu,\"full_hwm_kb\":%llu}",
                 O.MemoryRecords, Seconds, Requests, (unsigned long long)Before.RssKb,
                 (unsigned long long)Before.HwmKb, (unsigned long long)After.RssKb,
                 (unsigned long long)After.HwmKb);
        g_JsonMemory = Text;
    } else if (Ok) {
        auto Mb = [](uint64_t Kb) { return Kb / 1024.0; };
        printf("memory of kivsdpd (pid %d), %u records added through the control socket in "
               "%.2f s (%zu requests, %.0f requests/s):\n",
               int(D.Pid), O.MemoryRecords, Seconds, Requests, Requests / Seconds);
        printf("  empty database     VmRSS %8.1f MB  VmHWM %8.1f MB\n", Mb(Before.RssKb),
               Mb(Before.HwmKb));
        printf("  %5u records      VmRSS %8.1f MB  VmHWM %8.1f MB\n", O.MemoryRecords,
               Mb(After.RssKb), Mb(After.HwmKb));
        double PerRecord = (double(After.RssKb) - double(Before.RssKb)) * 1024.0 / O.MemoryRecords;
        printf("  per record         VmRSS %+8.0f bytes\n", PerRecord);
    } else {
        fprintf(stderr, "kivsdp-load: memory: %s\n", Err.c_str());
    }
    if (!StopDaemon(D, Err)) {
        fprintf(stderr, "kivsdp-load: %s\n", Err.c_str());
        Ok = false;
    }
    return Ok;
}

// Whole browse series on one channel: what a continued series costs the server per response.
std::string g_JsonBrowse;

bool RunBrowse(const OPTIONS& O, const std::string& Sdp, pid_t Server)
{
    int Fd = ConnectSeqpacket(Sdp);
    std::string Err = Fd < 0 ? "cannot connect to " + Sdp : "";
    std::vector<uint8_t> First, Series;
    size_t PerSeries = 0, Responses = 0, Count = 0;
    int64_t CpuBefore = Server > 0 ? ProcessCpuUs(Server) : -1;
    auto Begin = Clock::now();
    for (unsigned i = 0; i < O.BrowseSeriesCount && Err.empty(); i++) {
        if (!BrowseSeries(Fd, 0xFFFF, Series, Err, &Count)) break;
        if (i == 0) {
            First = Series;
            PerSeries = Count;
        } else if (Series != First) {
            Err = "browse series " + std::to_string(i) + " differs from the first";
        }
        Responses += Count;
    }
    double WallUs = std::chrono::duration<double, std::micro>(Clock::now() - Begin).count();
    int64_t CpuAfter = Server > 0 ? ProcessCpuUs(Server) : -1;
    if (Fd >= 0) close(Fd);
    if (!Err.empty()) {
        fprintf(stderr, "kivsdp-load: browse: %s\n", Err.c_str());
        return false;
    }
    double CpuUs = CpuBefore >= 0 && CpuAfter >= CpuBefore && Responses != 0
                       ? double(CpuAfter - CpuBefore) / double(Responses)
                       : -1;
    if (O.Json) {
        char Text[200];
        snprintf(Text, sizeof(Text),
                 "{\"series\":%u,\"responses_per_series\":%zu,\"wall_us_per_response\":%.2f,"
                 "\"server_cpu_us_per_response\":%.2f}",
                 O.BrowseSeriesCount, PerSeries, WallUs / double(Responses), CpuUs);
        g_JsonBrowse = Text;
    } else {
        printf("browse: %u series of %zu responses; per response %.2f us wall, %.2f us server "
               "CPU\n",
               O.BrowseSeriesCount, PerSeries, WallUs / double(Responses), CpuUs);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

bool Report(const STEP_RESULT& S, const char* What, const OPTIONS& O)
{
    double Seconds = S.ElapsedNs / 1e9;
    double Rate = Seconds > 0 ? S.Total.Answered / Seconds : 0;
    if (O.Json) {
        char Text[400];
        snprintf(Text, sizeof(Text),
                 "{\"path\":\"%s\",\"channels\":%u,\"processes\":%u,\"answers\":%llu,"
                 "\"requests_per_s\":%.0f,\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f,"
                 "\"wrong\":%llu,\"lost\":%llu,\"server_cpu_us\":%.2f}",
                 What, S.Channels, S.Processes, (unsigned long long)S.Total.Answered, Rate,
                 S.Latency.P50Us, S.Latency.P99Us, S.Latency.MaxUs,
                 (unsigned long long)S.Total.Wrong, (unsigned long long)S.Total.Lost,
                 S.ServerCpuUs);
        g_JsonSteps.push_back(Text);
    } else {
        printf("%-14s %8u %9u %10llu %11.0f %10.0f %10.0f %10.0f %6llu %5llu %10.2f\n", What,
               S.Channels, S.Processes, (unsigned long long)S.Total.Answered, Rate, S.Latency.P50Us,
               S.Latency.P99Us, S.Latency.MaxUs, (unsigned long long)S.Total.Wrong,
               (unsigned long long)S.Total.Lost, S.ServerCpuUs);
    }
    fflush(stdout);
    bool Ok = S.Error.empty() && S.Total.Wrong == 0 && S.Total.Lost == 0 && S.Total.Answered > 0;
    if (Ok && O.Requests != 0 && !O.DurationSet && S.Total.Answered != O.Requests * S.Channels) {
        fprintf(stderr, "kivsdp-load: %llu answers, %llu expected\n",
                (unsigned long long)S.Total.Answered,
                (unsigned long long)(O.Requests * S.Channels));
        Ok = false;
    }
    if (!S.Error.empty()) fprintf(stderr, "kivsdp-load: %s\n", S.Error.c_str());
    if (S.Total.FirstError[0] != '\0')
        fprintf(stderr, "kivsdp-load: first fault: %s\n", S.Total.FirstError);
    return Ok;
}

// The abuse cases' table, or their JSON appended to Json.
void ReportCases(const ABUSE_RESULT& A, const OPTIONS& O, std::string& Json)
{
    if (!O.Json)
        printf("%-24s %8s %9s %8s %8s  %s\n", "abuse case", "sent", "answered", "refused",
               "seconds", "result");
    for (size_t i = 0; i < A.Cases.size(); i++) {
        const ABUSE_CASE& C = A.Cases[i];
        if (O.Json) {
            char Text[200];
            snprintf(Text, sizeof(Text),
                     "{\"name\":\"%s\",\"sent\":%llu,\"answered\":%llu,\"refused\":%llu,"
                     "\"seconds\":%.3f,\"figure\":%s,\"fault\":",
                     C.Name.c_str(), (unsigned long long)C.Sent, (unsigned long long)C.Answered,
                     (unsigned long long)C.Refused, C.Seconds,
                     C.Figure.empty() ? "null" : JsonString(C.Figure).c_str());
            Json += (i ? "," : "") + std::string(Text) +
                    (C.Fault.empty() ? "null" : JsonString(C.Fault)) + "}";
        } else {
            printf(
                "%-24s %8llu %9llu %8llu %8.2f  %s\n", C.Name.c_str(), (unsigned long long)C.Sent,
                (unsigned long long)C.Answered, (unsigned long long)C.Refused, C.Seconds,
                C.Fault.empty() ? ("ok" + (C.Figure.empty() ? "" : " (" + C.Figure + ")")).c_str()
                                : ("FAILED: " + C.Fault).c_str());
        }
    }
}

// Counts the refusals the daemon names in its log: false when one is missing.
bool ReportLogRefusals(const std::string& Log, const OPTIONS& O, std::string& Json)
{
    const char* const Lines[] = {
        "message dropped",           "connection refused",          "client refused",
        "does not read its replies", "from an application refused", "is a socket of this daemon",
        "is not an SDP server",      "line(s) suppressed"};
    bool Ok = true;
    Json += ",\"log_lines\":{";
    std::string Counts;
    for (size_t i = 0; i < sizeof(Lines) / sizeof(Lines[0]); i++) {
        size_t n = 0;
        for (size_t At = Log.find(Lines[i]); At != std::string::npos;
             At = Log.find(Lines[i], At + 1))
            n++;
        Json += (i ? "," : "") + JsonString(Lines[i]) + ":" + std::to_string(n);
        Counts += (i ? ", " : "") + std::to_string(n) + " '" + Lines[i] + "'";
        // Every run provokes each refusal at least once; one the log does not name was
        // taken without a word.
        if (n == 0) {
            fprintf(stderr, "kivsdp-load: kivsdpd logged no '%s'\n", Lines[i]);
            Ok = false;
        }
    }
    Json += "}";
    if (!O.Json) printf("refusals the daemon logged: %s\n", Counts.c_str());
    return Ok;
}

// The abuse cases' table (or JSON), the memory figures and the refusals the daemon logged (Log
// is empty when it is not ours to read).
bool ReportAbuse(const ABUSE_RESULT& A, const OPTIONS& O, const std::string& Log)
{
    bool Ok = A.Ok();
    uint64_t GrowthKb = A.After.RssKb > A.Before.RssKb ? A.After.RssKb - A.Before.RssKb : 0;
    bool Bounded = !A.HaveMemory || GrowthKb <= uint64_t(O.RssGrowthMb) * 1024;
    std::string Json = "{\"cases\":[";
    ReportCases(A, O, Json);
    char Text[400];
    snprintf(Text, sizeof(Text),
             "],\"good_checks\":%llu,\"rss_before_kb\":%llu,\"rss_peak_kb\":%llu,"
             "\"rss_after_kb\":%llu,\"hwm_after_kb\":%llu,\"rss_bounded\":%s",
             (unsigned long long)A.GoodChecks, (unsigned long long)A.Before.RssKb,
             (unsigned long long)A.Peak.RssKb, (unsigned long long)A.After.RssKb,
             (unsigned long long)A.After.HwmKb, Bounded ? "true" : "false");
    Json += Text;
    if (!O.Json) {
        printf("well-behaved exchanges checked byte for byte: %llu\n",
               (unsigned long long)A.GoodChecks);
        if (A.HaveMemory)
            printf("kivsdpd VmRSS before %.1f MB, highest %.1f MB, after %.1f MB (VmHWM %.1f MB)\n",
                   A.Before.RssKb / 1024.0, A.Peak.RssKb / 1024.0, A.After.RssKb / 1024.0,
                   A.After.HwmKb / 1024.0);
    }
    // Only a whole run provokes every refusal.
    if (!Log.empty() && O.Cases.empty()) Ok = ReportLogRefusals(Log, O, Json) && Ok;
    g_JsonAbuse = Json + "}";
    if (!Bounded) {
        fprintf(stderr, "kivsdp-load: kivsdpd's VmRSS grew by %llu kB, more than %u MB\n",
                (unsigned long long)GrowthKb, O.RssGrowthMb);
        Ok = false;
    }
    for (const auto& C : A.Cases)
        if (!C.Fault.empty())
            fprintf(stderr, "kivsdp-load: %s: %s\n", C.Name.c_str(), C.Fault.c_str());
    return Ok;
}

// The abuse cases against the daemon under test; Check holds its reference answer.
ABUSE_RESULT RunAbuseCases(const OPTIONS& O, const DAEMON& D, const std::string& Sdp,
                           const std::string& Control, const std::string& Dir,
                           const CResponseCheck& Check)
{
    ABUSE_TARGET T;
    T.Sdp = Sdp;
    T.Control = Control;
    T.Pid = O.Daemon.empty() ? O.Pid : int(D.Pid);
    T.Seed = O.Seed;
    if (!O.Daemon.empty()) T.IdleTimeoutS = ABUSE_IDLE_TIMEOUT_S;
    T.Log = O.Daemon.empty() ? "" : D.Log;
    T.Only = O.Cases;
    T.Daemon = O.Daemon;
    T.Dir = Dir;
    LOOP_OPTIONS Good;
    Good.Uuid = O.Uuid;
    return RunAbuse(T, Check, Good);
}

void PrintStepHeader(const OPTIONS& O, const CResponseCheck& Check)
{
    printf("ServiceSearchAttribute for %s, all attributes: %zu record(s), %zu-byte answer; ",
           O.UuidText.c_str(), Check.Records(), Check.Size());
    if (O.Requests != 0 && !O.DurationSet)
        printf("%llu requests per channel\n", (unsigned long long)O.Requests);
    else
        printf("%.1f s per step\n", O.DurationS);
    printf("%-14s %8s %9s %10s %11s %10s %10s %10s %6s %5s %10s\n", "path", "channels", "processes",
           "answers", "requests/s", "p50 us", "p99 us", "max us", "wrong", "lost", "cpu us/req");
}

// Every load step against Sdp (the server's process Server), each followed by its echo and
// flood steps; false when one fails (Err says why a flooder did not start).
bool RunSteps(const OPTIONS& O, const std::string& Sdp, const std::string& Dir,
              const CResponseCheck& Check, pid_t Server, pid_t Echo, std::string& Err)
{
    bool Ok = true;
    for (unsigned Channels : O.Channels) {
        STEP_RESULT S = RunStep(O, Sdp, Dir, Check, Channels, Server);
        Ok = Report(S, "seqpacket", O) && Ok;
        if (Echo > 0)
            Ok = Report(RunStep(O, Dir + "/echo.sdp", Dir, Check, Channels, Echo), "echo", O) && Ok;
        // The flooder takes a channel context of its own.
        for (FLOOD Kind : O.Floods) {
            if (Channels >= MAX_CHANNELS) break;
            pid_t Flooder = StartFlooder(Sdp, Kind, Err);
            if (Flooder < 0) {
                Ok = false;
                break;
            }
            // Flooding before the step starts.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            STEP_RESULT F = RunStep(O, Sdp, Dir, Check, Channels, Server);
            StopProcess(Flooder);
            Ok = Report(F, (std::string("flood:") + FloodName(Kind)).c_str(), O) && Ok;
        }
    }
    return Ok;
}

void PrintJson(const OPTIONS& O, bool Ok, bool Clean, const CResponseCheck& Check)
{
    std::string Out = "{\"ok\":" + std::string(Ok ? "true" : "false");
    if (!O.Daemon.empty())
        Out += ",\"daemon_stopped_clean\":" + std::string(Clean ? "true" : "false");
    if (Check.Size() != 0)
        Out += ",\"reference\":{\"uuid\":" + JsonString(O.UuidText) +
               ",\"records\":" + std::to_string(Check.Records()) +
               ",\"bytes\":" + std::to_string(Check.Size()) + "}";
    Out += ",\"steps\":[";
    for (size_t i = 0; i < g_JsonSteps.size(); i++)
        Out += (i ? "," : "") + g_JsonSteps[i];
    Out += "]";
    if (!g_JsonMemory.empty()) Out += ",\"memory\":" + g_JsonMemory;
    if (!g_JsonBrowse.empty()) Out += ",\"browse\":" + g_JsonBrowse;
    if (!g_JsonAbuse.empty()) Out += ",\"abuse\":" + g_JsonAbuse;
    printf("%s}\n", Out.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    OPTIONS O;
    const int ReadStatus = ReadCommandLine(argc, argv, O);
    if (ReadStatus != kivtool::COMMAND_LINE_READ) return ReadStatus;
    std::string Err;
    signal(SIGPIPE, SIG_IGN);
    char Template[] = "/tmp/kivsdp-load.XXXXXX";
    if (mkdtemp(Template) == nullptr) {
        fprintf(stderr, "kivsdp-load: mkdtemp: %s\n", strerror(errno));
        return 1;
    }
    std::string Dir = Template;
    bool Ok = true;
    DAEMON D;
    std::string Sdp = O.Socket, Control = O.Control;
    if (!O.Daemon.empty()) {
        Ok = StartDaemon(O, Dir, "load", true, D, Err);
        Sdp = D.Sdp;
        Control = D.Ctl;
    }
    if (Ok && O.BrowseSeriesCount != 0) {
        Ok = RunBrowse(O, Sdp, O.Daemon.empty() ? O.Pid : D.Pid);
        O.Channels.clear();
    }
    CResponseCheck Check;
    std::vector<uint8_t> Answer;
    if (Ok && O.BrowseSeriesCount == 0) {
        // The first answer is the reference every later one must equal.
        int Fd = ConnectSeqpacket(Sdp);
        Ok = Fd >= 0 && Exchange(Fd, SearchAttrPdu(1, O.Uuid), Answer, 5000) &&
             Check.SetReference(Answer.data(), Answer.size(), 1, Err);
        if (Fd >= 0) close(Fd);
        if (!Ok && Err.empty()) Err = "no answer on " + Sdp;
    }
    ABUSE_RESULT Abuse;
    const bool AbuseRan = Ok && O.Abuse;
    if (AbuseRan)
        Abuse = RunAbuseCases(O, D, Sdp, Control, Dir, Check);
    else if (Ok && !O.Json && !O.Channels.empty())
        PrintStepHeader(O, Check);
    pid_t Echo = -1;
    if (Ok && !O.Abuse && O.Echo && !O.Channels.empty()) {
        Echo = StartEchoServer(Dir + "/echo.sdp", Answer, Err);
        Ok = Echo > 0;
    }
    if (Ok && !O.Abuse) {
        Ok = RunSteps(O, Sdp, Dir, Check, O.Daemon.empty() ? O.Pid : D.Pid, Echo, Err);
        if (O.ClientRole && O.BrowseSeriesCount == 0)
            Ok = Report(RunClientRole(O, Control, Sdp, Check), "client-role", O) && Ok;
    }
    StopProcess(Echo);
    if (!Ok) fprintf(stderr, "kivsdp-load: %s\n", Err.c_str());
    bool Clean = StopDaemon(D, Err);
    if (!O.Daemon.empty() && !Clean) {
        fprintf(stderr, "kivsdp-load: %s\n", Err.c_str());
        Ok = false;
    }
    // Reported once the daemon has stopped, so its log is complete.
    if (AbuseRan) Ok = ReportAbuse(Abuse, O, O.Daemon.empty() ? "" : ReadText(D.Log)) && Ok;
    if (O.MemoryRecords != 0) Ok = RunMemory(O, Dir) && Ok;
    if (O.Json) PrintJson(O, Ok, Clean, Check);
    std::string Cmd = "rm -rf '" + Dir + "'";
    if (system(Cmd.c_str()) != 0) fprintf(stderr, "kivsdp-load: cannot remove %s\n", Dir.c_str());
    return Ok ? 0 : 1;
}
