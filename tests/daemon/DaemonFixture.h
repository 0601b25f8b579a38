// Runs kivsdpd and kivsdpctl as the processes they are, in a temporary directory, and speaks to
// the daemon's sockets directly. Every wait is bounded; teardown stops every daemon still
// running.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using BYTES = std::vector<uint8_t>;

struct DAEMON {
    pid_t Pid = -1;
    std::string Sdp, Ctl, Log;
};

struct RUN_RESULT {
    int Exit = -1;
    std::string Out, Err;
};

class DaemonFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a daemon named Name (its sockets Name.sdp and Name.ctl in the directory) and waits
    // for its control socket.
    DAEMON Start(const std::string& Name, std::vector<std::string> Extra = {});
    // SIGTERM, then the exit status (-1 if it did not end within 10 s).
    int Stop(DAEMON& D);
    // Asserts the daemon ended cleanly: exit 0, nothing left behind, its control socket gone.
    void StopClean(DAEMON& D);
    std::string LogOf(const DAEMON& D);
    // Polls Done every 20 ms, at most Tries times: whether it came true.
    bool WaitFor(const std::function<bool()>& Done, int Tries = 500);

    RUN_RESULT Ctl(const DAEMON& D, std::vector<std::string> Args);
    // kivsdpctl's output, expecting it to succeed.
    std::string CtlOk(const DAEMON& D, std::vector<std::string> Args);
    // Expects kivsdpctl to fail with exit 1 and one line of error naming Says.
    void CtlFails(const DAEMON& D, std::vector<std::string> Args, const std::string& Says);
    RUN_RESULT Run(const std::string& Program, const std::vector<std::string>& Args);
    pid_t Spawn(const std::string& Program, const std::vector<std::string>& Args,
                const std::string& Out, const std::string& Err);
    int WaitExit(pid_t Pid, int TimeoutMs);

    // A raw SEQPACKET connection to a socket path (-1 on failure).
    int Connect(const std::string& Path);
    // Sends Request and waits at most TimeoutMs for one message; false on timeout or close.
    bool Exchange(int Fd, const BYTES& Request, BYTES& Response, int TimeoutMs = 3000);
    bool Receive(int Fd, BYTES& Message, int TimeoutMs);
    // A control connection with device 0 open (-1 on failure). Defined with the control-socket
    // tests: the fixture's other users (the interop tests) build without the protocol's header.
    int OpenDevice(const DAEMON& D);

    std::string Write(const std::string& Name, const std::string& Text);

    std::string m_Dir;
    std::vector<DAEMON> m_Owned;
};

std::string ReadFile(const std::string& Path);
// How many times Piece occurs in Text (overlapping ones too).
size_t CountOf(const std::string& Text, const std::string& Piece);
