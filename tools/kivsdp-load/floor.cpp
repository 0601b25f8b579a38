// kivsdp-load's echo floor, flooding clients and CPU figures (see floor.h).

#include "floor.h"

#include "loadgen.h"
#include "unixsocket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kivload {

namespace {

[[noreturn]] void EchoLoop(int Listener, const std::vector<uint8_t>& Answer)
{
    int Ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event Ev{};
    Ev.events = EPOLLIN;
    Ev.data.fd = Listener;
    epoll_ctl(Ep, EPOLL_CTL_ADD, Listener, &Ev);
    std::vector<uint8_t> Out = Answer;
    uint8_t In[65536];
    epoll_event Ready[64];
    for (;;) {
        int n = epoll_wait(Ep, Ready, 64, -1);
        for (int i = 0; i < n; i++) {
            int Fd = Ready[i].data.fd;
            if (Fd == Listener) {
                int C = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (C < 0) continue;
                epoll_event E{};
                E.events = EPOLLIN | EPOLLRDHUP;
                E.data.fd = C;
                epoll_ctl(Ep, EPOLL_CTL_ADD, C, &E);
                continue;
            }
            ssize_t Got = recv(Fd, In, sizeof(In), MSG_DONTWAIT);
            if (Got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (Got <= 0 || (Ready[i].events & (EPOLLHUP | EPOLLRDHUP)) != 0) {
                epoll_ctl(Ep, EPOLL_CTL_DEL, Fd, nullptr);
                close(Fd);
                continue;
            }
            if (Got >= 3 && Out.size() >= 3) {
                Out[1] = In[1];
                Out[2] = In[2];
            }
            (void)!send(Fd, Out.data(), Out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
}

void PutRequest(std::vector<uint8_t>& Frame, uint8_t PduId, uint16_t Tid,
                const std::vector<uint8_t>& Params)
{
    Frame.push_back(PduId);
    Frame.push_back(uint8_t(Tid >> 8));
    Frame.push_back(uint8_t(Tid));
    Frame.push_back(uint8_t(Params.size() >> 8));
    Frame.push_back(uint8_t(Params.size()));
    Frame.insert(Frame.end(), Params.begin(), Params.end());
}

} // namespace

pid_t StartEchoServer(const std::string& Path, const std::vector<uint8_t>& Answer, std::string& Err)
{
    sockaddr_un Addr;
    if (!kivtool::UnixAddress(Path, Addr)) {
        Err = "echo: bad socket path " + Path;
        return -1;
    }
    int Listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    unlink(Path.c_str());
    if (Listener < 0 || bind(Listener, (sockaddr*)&Addr, sizeof(Addr)) != 0 ||
        listen(Listener, 64) != 0) {
        Err = "echo: listen on " + Path + ": " + strerror(errno);
        if (Listener >= 0) close(Listener);
        return -1;
    }
    fflush(stdout);
    pid_t Pid = fork();
    if (Pid == 0) EchoLoop(Listener, Answer);
    close(Listener);
    if (Pid < 0) Err = std::string("fork: ") + strerror(errno);
    return Pid;
}

bool ParseFloodList(const std::string& Text, std::vector<FLOOD>& Out)
{
    Out.clear();
    std::stringstream In(Text);
    std::string Word;
    while (std::getline(In, Word, ',')) {
        if (Word == "headers")
            Out.push_back(FLOOD::Headers);
        else if (Word == "browse")
            Out.push_back(FLOOD::Browse);
        else if (Word == "valid")
            Out.push_back(FLOOD::Valid);
        else
            return false;
    }
    return !Out.empty();
}

const char* FloodName(FLOOD Kind)
{
    switch (Kind) {
    case FLOOD::Headers:
        return "headers";
    case FLOOD::Browse:
        return "browse";
    default:
        return "valid";
    }
}

std::vector<uint8_t> FloodFrame(FLOOD Kind, uint16_t FirstTid)
{
    std::vector<uint8_t> Frame;
    switch (Kind) {
    case FLOOD::Headers:
        // A ServiceSearchRequest header with no parameters: five bytes, 204 to a frame.
        for (unsigned i = 0; i < 204; i++)
            PutRequest(Frame, 0x02, uint16_t(FirstTid + i), {});
        break;
    case FLOOD::Browse: {
        // ServiceSearchAttribute: the public browse group 0x1002, MaximumAttributeByteCount
        // 0xFFFF, attributes 0x0000-0xFFFF, no continuation state.
        const std::vector<uint8_t> Params = {0x35, 0x03, 0x19, 0x10, 0x02, 0xFF, 0xFF, 0x35,
                                             0x05, 0x0A, 0x00, 0x00, 0xFF, 0xFF, 0x00};
        for (unsigned i = 0; i < 40; i++)
            PutRequest(Frame, 0x06, uint16_t(FirstTid + i), Params);
        break;
    }
    case FLOOD::Valid:
        Frame = SearchAttrPdu(FirstTid, kivtool::MakeUuid16(0x1105));
        break;
    }
    return Frame;
}

pid_t StartFlooder(const std::string& Path, FLOOD Kind, std::string& Err)
{
    fflush(stdout);
    pid_t Pid = fork();
    if (Pid < 0) {
        Err = std::string("fork: ") + strerror(errno);
        return -1;
    }
    if (Pid != 0) return Pid;
    int Fd = kivtool::ConnectSeqpacket(Path);
    if (Fd < 0) _exit(1);
    for (uint16_t Tid = 0;; Tid = uint16_t(Tid + 204)) {
        std::vector<uint8_t> Frame = FloodFrame(Kind, Tid);
        // Blocks while the server does not take more: a flooder goes as fast as it is read.
        if (send(Fd, Frame.data(), Frame.size(), MSG_NOSIGNAL) < 0 && errno != EINTR) _exit(0);
    }
}

void StopProcess(pid_t Pid)
{
    if (Pid <= 0) return;
    kill(Pid, SIGKILL);
    int Status;
    while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
}

pid_t SpawnLogged(const std::vector<std::string>& Args, const std::string& LogPath)
{
    fflush(stdout);
    pid_t Pid = fork();
    if (Pid != 0) return Pid;
    int Log = open(LogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (Log >= 0) {
        dup2(Log, 1);
        dup2(Log, 2);
    }
    std::vector<char*> Argv;
    for (auto& A : Args)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    execv(Argv[0], Argv.data());
    _exit(127);
}

int WaitExit(pid_t Pid, int TimeoutMs)
{
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        int Status = 0;
        pid_t r = waitpid(Pid, &Status, WNOHANG);
        if (r == Pid) return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
        if (r < 0 || std::chrono::steady_clock::now() > Deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int64_t ProcessCpuUs(pid_t Pid)
{
    std::ifstream In("/proc/" + std::to_string(Pid) + "/stat");
    std::string Text((std::istreambuf_iterator<char>(In)), {});
    // Fields after the command name (which may hold spaces) start after its closing ')'.
    size_t Close = Text.rfind(')');
    if (Close == std::string::npos) return -1;
    std::istringstream Fields(Text.substr(Close + 2));
    std::string Field;
    unsigned long long UTime = 0, STime = 0;
    // state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime(14) stime
    for (int Index = 3; Index <= 15 && (Fields >> Field); Index++) {
        if (Index == 14) UTime = std::stoull(Field);
        if (Index == 15) STime = std::stoull(Field);
    }
    long Tick = sysconf(_SC_CLK_TCK);
    if (Tick <= 0) return -1;
    return int64_t((UTime + STime) * 1000000ull / (unsigned long long)Tick);
}

} // namespace kivload
