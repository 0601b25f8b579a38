// kivsdp-load's side processes for the figures that need a second party: the echo floor (what
// the socket and the wake-ups cost alone), the flooding clients a well-behaved one is measured
// beside, and the server CPU a step cost.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivload {

// A process serving Path (SOCK_SEQPACKET) with one epoll loop over all of its connections, level
// triggered, one message per ready connection per pass: every message is answered at once with
// Answer, its transaction ID (bytes 1-2) set from the message. The floor under any SDP server on
// the same socket type. -1 when it could not start (Err says why); stop it with StopProcess.
pid_t StartEchoServer(const std::string& Path, const std::vector<uint8_t>& Answer,
                      std::string& Err);

// How a flooding client misbehaves; it never reads what it is sent.
enum class FLOOD {
    Headers, // 1020-byte frames of 204 header-only requests
    Browse,  // frames of 40 browse requests (public browse group, every attribute)
    Valid,   // one valid request per frame, back to back
};
bool ParseFloodList(const std::string& Text, std::vector<FLOOD>& Out);
const char* FloodName(FLOOD Kind);
// The frames a flooder sends, for tests and the flooder itself.
std::vector<uint8_t> FloodFrame(FLOOD Kind, uint16_t FirstTid);

// A process that connects to Path and sends Kind frames until it is stopped. -1 on failure.
pid_t StartFlooder(const std::string& Path, FLOOD Kind, std::string& Err);
void StopProcess(pid_t Pid);

// Runs Args[0] with Args in a child whose standard output and error go to LogPath. The child's
// process ID, or -1 (errno set) when it could not be forked.
pid_t SpawnLogged(const std::vector<std::string>& Args, const std::string& LogPath);
// The exit status of Pid (128 + signal when killed), or -1 if it did not end within TimeoutMs.
int WaitExit(pid_t Pid, int TimeoutMs);

// User plus system CPU time of a process and all its threads, in microseconds; -1 if unknown.
int64_t ProcessCpuUs(pid_t Pid);

} // namespace kivload
