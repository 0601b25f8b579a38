// Load on a running kivsdpd: each benchmark thread has its own SEQPACKET channel and sends
// single-response ServiceSearchAttribute requests (serial port class, all attributes) back to
// back. Reports requests per second and the per-request latency p50 and p99.
#include <benchmark/benchmark.h>

#include "sdpclient.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string g_Dir;
std::string g_Sdp;
pid_t g_Daemon = -1;

void StartDaemon()
{
    char Template[] = "/tmp/kivsdpd-bench.XXXXXX";
    g_Dir = mkdtemp(Template);
    g_Sdp = g_Dir + "/sdp";
    std::string Ctl = g_Dir + "/ctl";
    g_Daemon = fork();
    if (g_Daemon == 0) {
        int Null = open("/dev/null", O_WRONLY);
        dup2(Null, 2);
        execl(KIVSDPD_PATH, KIVSDPD_PATH, "--listen", g_Sdp.c_str(), "--control", Ctl.c_str(),
              "--records", RECORDS_DIR, "--zones", "0", (char*)nullptr);
        _exit(127);
    }
    struct stat St;
    for (int i = 0; i < 500 && stat(Ctl.c_str(), &St) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void StopDaemon()
{
    kill(g_Daemon, SIGTERM);
    waitpid(g_Daemon, nullptr, 0);
    std::string Cmd = "rm -rf '" + g_Dir + "'";
    (void)!system(Cmd.c_str());
}

int Connect()
{
    sockaddr_un Addr;
    memset(&Addr, 0, sizeof(Addr));
    Addr.sun_family = AF_UNIX;
    memcpy(Addr.sun_path, g_Sdp.data(), g_Sdp.size());
    int Fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (connect(Fd, (sockaddr*)&Addr, sizeof(Addr)) != 0) return -1;
    return Fd;
}

void BM_SearchAttribute(benchmark::State& State)
{
    int Fd = Connect();
    if (Fd < 0) {
        State.SkipWithError("cannot connect to kivsdpd");
        return;
    }
    std::vector<uint8_t> Request = kivctl::SearchAttrRequest(0, 1, {kivtool::MakeUuid16(0x1101)},
                                                             0xFFFF, {kivctl::AttrRange{}}, {});
    Request.erase(Request.begin(), Request.begin() + 2);
    std::vector<uint8_t> Reply(2048);
    std::vector<double> Latency;
    for (auto _ : State) {
        auto Begin = std::chrono::steady_clock::now();
        send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL);
        pollfd P{Fd, POLLIN, 0};
        if (poll(&P, 1, 5000) <= 0 || recv(Fd, Reply.data(), Reply.size(), 0) <= 0 ||
            Reply[0] != kivctl::PDU_SEARCH_ATTR_RESPONSE) {
            State.SkipWithError("no response");
            break;
        }
        Latency.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Begin)
                .count());
    }
    close(Fd);
    State.SetItemsProcessed(int64_t(Latency.size()));
    if (!Latency.empty()) {
        std::sort(Latency.begin(), Latency.end());
        State.counters["p50_us"] =
            benchmark::Counter(Latency[Latency.size() / 2], benchmark::Counter::kAvgThreads);
        State.counters["p99_us"] =
            benchmark::Counter(Latency[Latency.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    }
}
BENCHMARK(BM_SearchAttribute)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    StartDaemon();
    benchmark::RunSpecifiedBenchmarks();
    StopDaemon();
    benchmark::Shutdown();
    return 0;
}
