// relay.cpp: a SEQPACKET relay (see relay.h).

#include "relay.h"

#include "unixsocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace kivload {

CRelay::~CRelay()
{
    Stop();
}

bool CRelay::Start(const std::string& Target, std::string& Err)
{
    char Template[] = "/tmp/kivsdp-relay.XXXXXX";
    if (mkdtemp(Template) == nullptr) {
        Err = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    m_Target = Target;
    m_Dir = Template;
    m_Path = m_Dir + "/relay.sdp";
    sockaddr_un Addr{};
    Addr.sun_family = AF_UNIX;
    memcpy(Addr.sun_path, m_Path.c_str(), m_Path.size() + 1);
    m_ListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_ListenFd < 0 || bind(m_ListenFd, (sockaddr*)&Addr, sizeof(Addr)) != 0 ||
        listen(m_ListenFd, 16) != 0 || pipe(m_StopFd) != 0) {
        Err = std::string("relay socket: ") + strerror(errno);
        Stop();
        return false;
    }
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CRelay::Stop()
{
    if (m_Thread.joinable()) {
        (void)!write(m_StopFd[1], "S", 1);
        m_Thread.join();
    }
    for (int* Fd : {&m_ListenFd, &m_StopFd[0], &m_StopFd[1]}) {
        if (*Fd >= 0) close(*Fd);
        *Fd = -1;
    }
    if (!m_Dir.empty()) {
        unlink(m_Path.c_str());
        rmdir(m_Dir.c_str());
        m_Dir.clear();
    }
}

void CRelay::Run()
{
    std::map<int, int> Partner; // both directions of every pair
    std::vector<uint8_t> Buffer(0x20000);
    auto ClosePair = [&](int Fd) {
        int Other = Partner[Fd];
        Partner.erase(Fd);
        Partner.erase(Other);
        close(Fd);
        close(Other);
        m_Open--;
    };
    for (;;) {
        std::vector<pollfd> Fds{{m_StopFd[0], POLLIN, 0}, {m_ListenFd, POLLIN, 0}};
        for (const auto& [Fd, Other] : Partner)
            Fds.push_back({Fd, POLLIN, 0});
        if (poll(Fds.data(), Fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (Fds[0].revents != 0) break;
        if (Fds[1].revents & POLLIN) {
            int In = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            int Out = In >= 0 ? kivtool::ConnectSeqpacket(m_Target) : -1;
            if (Out >= 0) {
                Partner[In] = Out;
                Partner[Out] = In;
                m_Open++;
                m_Connections++;
            } else if (In >= 0) {
                close(In);
            }
        }
        for (size_t i = 2; i < Fds.size(); i++) {
            if (Fds[i].revents == 0 || Partner.count(Fds[i].fd) == 0) continue;
            ssize_t Got = recv(Fds[i].fd, Buffer.data(), Buffer.size(), MSG_DONTWAIT);
            if (Got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (Got <= 0 && (Got < 0 || (Fds[i].revents & (POLLHUP | POLLERR)) != 0)) {
                ClosePair(Fds[i].fd);
                continue;
            }
            // A side that does not read loses the message, as it would with the daemon.
            send(Partner[Fds[i].fd], Buffer.data(), size_t(Got), MSG_DONTWAIT | MSG_NOSIGNAL);
            m_Messages++;
        }
    }
    while (!Partner.empty())
        ClosePair(Partner.begin()->first);
}

} // namespace kivload
