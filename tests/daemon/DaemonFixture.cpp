// Processes and sockets for the daemon tests.
#include "DaemonFixture.h"

#include "unixsocket.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

size_t CountOf(const std::string& Text, const std::string& Piece)
{
    size_t n = 0;
    for (size_t At = Text.find(Piece); At != std::string::npos; At = Text.find(Piece, At + 1))
        n++;
    return n;
}

void DaemonFixture::SetUp()
{
    char Template[] = "/tmp/kivsdpd-test.XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    m_Dir = Template;
    signal(SIGPIPE, SIG_IGN);
}

void DaemonFixture::TearDown()
{
    for (DAEMON& D : m_Owned) {
        if (D.Pid > 0) {
            kill(D.Pid, SIGKILL);
            WaitExit(D.Pid, 5000);
            D.Pid = -1;
        }
    }
    std::string Cmd = "rm -rf '" + m_Dir + "'";
    EXPECT_EQ(system(Cmd.c_str()), 0);
}

pid_t DaemonFixture::Spawn(const std::string& Program, const std::vector<std::string>& Args,
                           const std::string& Out, const std::string& Err)
{
    pid_t Pid = fork();
    if (Pid == 0) {
        int o = open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
        for (const auto& A : Args)
            Argv.push_back(const_cast<char*>(A.c_str()));
        Argv.push_back(nullptr);
        execv(Program.c_str(), Argv.data());
        _exit(127);
    }
    return Pid;
}

int DaemonFixture::WaitExit(pid_t Pid, int TimeoutMs)
{
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        int Status = 0;
        pid_t r = waitpid(Pid, &Status, WNOHANG);
        if (r == Pid) return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
        if (r < 0 || std::chrono::steady_clock::now() > Deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

DAEMON DaemonFixture::Start(const std::string& Name, std::vector<std::string> Extra)
{
    DAEMON D;
    D.Sdp = m_Dir + "/" + Name + ".sdp";
    D.Ctl = m_Dir + "/" + Name + ".ctl";
    D.Log = m_Dir + "/" + Name + ".log";
    std::vector<std::string> Args{"--listen", D.Sdp, "--control", D.Ctl};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    D.Pid = Spawn(KIVSDPD_PATH, Args, m_Dir + "/" + Name + ".out", D.Log);
    struct stat St;
    for (int i = 0; i < 500 && stat(D.Ctl.c_str(), &St) != 0; i++) {
        int Status = 0;
        if (waitpid(D.Pid, &Status, WNOHANG) == D.Pid) {
            ADD_FAILURE() << "kivsdpd ended at start:\n" << ReadFile(D.Log);
            D.Pid = -1;
            return D;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(stat(D.Ctl.c_str(), &St), 0) << "no control socket after 10 s";
    // The log is written by the daemon's own thread: its start-up lines (the handles given to
    // each record file) may still be queued when the socket appears. "serving" comes last.
    WaitFor([&] { return LogOf(D).find("kivsdpd: serving ") != std::string::npos; });
    m_Owned.push_back(D);
    return D;
}

int DaemonFixture::Stop(DAEMON& D)
{
    if (D.Pid <= 0) return -1;
    kill(D.Pid, SIGTERM);
    int Exit = WaitExit(D.Pid, 10000);
    for (DAEMON& Owned : m_Owned)
        if (Owned.Pid == D.Pid) Owned.Pid = -1;
    D.Pid = -1;
    return Exit;
}

void DaemonFixture::StopClean(DAEMON& D)
{
    EXPECT_EQ(Stop(D), 0);
    std::string Log = LogOf(D);
    EXPECT_NE(Log.find("stopped: no verifier findings, no pool blocks left"), std::string::npos)
        << Log.substr(Log.size() > 3000 ? Log.size() - 3000 : 0);
    struct stat St;
    EXPECT_NE(stat(D.Ctl.c_str(), &St), 0) << D.Ctl << ": socket file left behind";
}

std::string DaemonFixture::LogOf(const DAEMON& D)
{
    return ReadFile(D.Log);
}

bool DaemonFixture::WaitFor(const std::function<bool()>& Done, int Tries)
{
    for (int i = 0; i < Tries; i++) {
        if (Done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

RUN_RESULT DaemonFixture::Run(const std::string& Program, const std::vector<std::string>& Args)
{
    static int Counter = 0;
    std::string Base = m_Dir + "/run" + std::to_string(++Counter);
    RUN_RESULT R;
    pid_t Pid = Spawn(Program, Args, Base + ".out", Base + ".err");
    R.Exit = WaitExit(Pid, 30000);
    if (R.Exit == -1) {
        kill(Pid, SIGKILL);
        WaitExit(Pid, 5000);
    }
    R.Out = ReadFile(Base + ".out");
    R.Err = ReadFile(Base + ".err");
    return R;
}

RUN_RESULT DaemonFixture::Ctl(const DAEMON& D, std::vector<std::string> Args)
{
    Args.insert(Args.begin(), {"--control", D.Ctl});
    return Run(KIVSDPCTL_PATH, Args);
}

std::string DaemonFixture::CtlOk(const DAEMON& D, std::vector<std::string> Args)
{
    RUN_RESULT R = Ctl(D, Args);
    EXPECT_EQ(R.Exit, 0) << Args[0] << ": " << R.Err;
    return R.Out;
}

void DaemonFixture::CtlFails(const DAEMON& D, std::vector<std::string> Args,
                             const std::string& Says)
{
    RUN_RESULT R = Ctl(D, Args);
    EXPECT_EQ(R.Exit, 1) << Args[0];
    EXPECT_EQ(CountOf(R.Err, "\n"), 1u) << R.Err;
    EXPECT_NE(R.Err.find(Says), std::string::npos) << R.Err;
}

int DaemonFixture::Connect(const std::string& Path)
{
    return kivtool::ConnectSeqpacket(Path);
}

bool DaemonFixture::Receive(int Fd, BYTES& Message, int TimeoutMs)
{
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, TimeoutMs) <= 0) return false;
    Message.assign(0x40000, 0);
    ssize_t Got = recv(Fd, Message.data(), Message.size(), MSG_DONTWAIT);
    if (Got <= 0) return false;
    Message.resize(size_t(Got));
    return true;
}

bool DaemonFixture::Exchange(int Fd, const BYTES& Request, BYTES& Response, int TimeoutMs)
{
    if (send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL) != ssize_t(Request.size()))
        return false;
    return Receive(Fd, Response, TimeoutMs);
}

std::string DaemonFixture::Write(const std::string& Name, const std::string& Text)
{
    std::string Path = m_Dir + "/" + Name;
    std::ofstream(Path) << Text;
    return Path;
}
