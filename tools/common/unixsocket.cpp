// AF_UNIX SEQPACKET sockets by path (see unixsocket.h).

#include "unixsocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace kivtool {

bool UnixAddress(const std::string& Path, sockaddr_un& Addr)
{
    memset(&Addr, 0, sizeof(Addr));
    Addr.sun_family = AF_UNIX;
    if (Path.empty() || Path.size() >= sizeof(Addr.sun_path)) return false;
    memcpy(Addr.sun_path, Path.data(), Path.size());
    return true;
}

int ConnectSeqpacket(const sockaddr_un& Addr)
{
    int Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (Fd < 0) return -1;
    if (connect(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof(Addr)) != 0) {
        const int Error = errno;
        close(Fd);
        errno = Error;
        return -1;
    }
    return Fd;
}

int ConnectSeqpacket(const std::string& Path)
{
    sockaddr_un Addr;
    return UnixAddress(Path, Addr) ? ConnectSeqpacket(Addr) : -1;
}

} // namespace kivtool
