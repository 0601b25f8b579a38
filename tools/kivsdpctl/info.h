// kivsdpctl info: the daemon's version, sockets, devices with their open channels and records,
// uptime, and the counters that tell it is being abused.
#pragma once

#include "daemoninfo.h"

#include <string>

namespace kivctl {

extern const char* const INFO_HELP;

// Asks the daemon at Control and prints the answer; the exit status (1 with one line on stderr
// when the daemon cannot be asked).
int RunInfo(const std::string& Control, bool Json);

std::string InfoText(const kivtool::DAEMON_INFO& Info);
// One object; a counter the daemon does not keep is null.
std::string InfoJson(const kivtool::DAEMON_INFO& Info);

} // namespace kivctl
