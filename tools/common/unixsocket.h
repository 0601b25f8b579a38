// AF_UNIX SEQPACKET sockets by path, as the daemon and its clients use them.
#pragma once

#include <string>
#include <sys/un.h>

namespace kivtool {

// Addr for Path; false when Path is empty or does not fit sun_path.
bool UnixAddress(const std::string& Path, sockaddr_un& Addr);

// A SOCK_SEQPACKET socket connected to Addr, or -1 with errno telling why.
int ConnectSeqpacket(const sockaddr_un& Addr);
// The same by path: -1 also for a path UnixAddress refuses.
int ConnectSeqpacket(const std::string& Path);

} // namespace kivtool
