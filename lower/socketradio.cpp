// socketradio.cpp: the socket backend of the virtual L2CAP driver (see socketradio.h).

#include "socketradio.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool FillAddress(const std::string& Path, sockaddr_un& Addr, std::string& Err)
{
    memset(&Addr, 0, sizeof(Addr));
    Addr.sun_family = AF_UNIX;
    if (Path.empty() || Path.size() >= sizeof(Addr.sun_path)) {
        Err = "socket path '" + Path + "' is empty or too long";
        return false;
    }
    memcpy(Addr.sun_path, Path.data(), Path.size());
    return true;
}

std::string Errno(const char* What)
{
    return std::string(What) + ": " + strerror(errno);
}

} // namespace

CSocketRadio::~CSocketRadio()
{
    Stop();
}

void CSocketRadio::Log(const std::string& Line) const
{
    if (m_Opt.Log) m_Opt.Log(Line);
}

PDEVICE_OBJECT CSocketRadio::Device() const
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    return m_Device;
}

bool CSocketRadio::Start(PDEVICE_OBJECT Dev, const OPTIONS& Opt, std::string& Err)
{
    // A given listening socket is closed on every failure, as the caller no longer owns it.
    auto Refuse = [&Opt, &Err](const std::string& Why) {
        Err = Why;
        if (Opt.ListenFd >= 0) close(Opt.ListenFd);
        return false;
    };
    if (m_Thread.joinable()) return Refuse("radio already started");
    if (!KivL2capIsDevice(Dev)) return Refuse("not an L2CAP device");
    if (Opt.Mtu < 48) return Refuse("MTU below the L2CAP minimum of 48");
    if (Opt.ListenFd >= 0 && !Opt.ListenPath.empty())
        return Refuse("both a listening socket and a path to listen on");
    m_Opt = Opt;
    m_Buffer.assign(KIVL2CAP_MAX_PAYLOAD + 1, 0);
    m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_WakeFd < 0) return Refuse(Errno("eventfd"));
    if (m_Opt.ListenFd >= 0) {
        m_ListenFd = m_Opt.ListenFd;
    } else if (!m_Opt.ListenPath.empty()) {
        sockaddr_un Addr;
        if (!FillAddress(m_Opt.ListenPath, Addr, Err)) {
            close(m_WakeFd);
            m_WakeFd = -1;
            return false;
        }
        m_ListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (m_ListenFd >= 0) unlink(m_Opt.ListenPath.c_str());
        if (m_ListenFd < 0 || bind(m_ListenFd, (sockaddr*)&Addr, sizeof(Addr)) != 0 ||
            listen(m_ListenFd, 32) != 0) {
            Err = Errno(("listen on " + m_Opt.ListenPath).c_str());
            if (m_ListenFd >= 0) close(m_ListenFd);
            close(m_WakeFd);
            m_ListenFd = m_WakeFd = -1;
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        m_Device = Dev;
    }
    NTSTATUS Status = KivL2capAttachRadio(Dev, this);
    if (!NT_SUCCESS(Status)) {
        {
            std::lock_guard<std::mutex> Guard(m_Lock);
            m_Device = nullptr;
        }
        Err = "cannot attach the radio to the L2CAP device";
        if (m_ListenFd >= 0) {
            close(m_ListenFd);
            if (!m_Opt.ListenPath.empty()) unlink(m_Opt.ListenPath.c_str());
        }
        close(m_WakeFd);
        m_ListenFd = m_WakeFd = -1;
        return false;
    }
    m_Stopping = false;
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CSocketRadio::Stop()
{
    if (!m_Thread.joinable()) return;
    m_Stopping = true;
    Wake();
    m_Thread.join();
    std::vector<USHORT> Cids;
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        for (const auto& Entry : m_Channels)
            Cids.push_back(Entry.first);
    }
    for (USHORT Cid : Cids)
        CloseChannel(Cid, true, true);
    if (m_ListenFd >= 0) {
        close(m_ListenFd);
        if (!m_Opt.ListenPath.empty()) unlink(m_Opt.ListenPath.c_str());
        m_ListenFd = -1;
    }
    close(m_WakeFd);
    m_WakeFd = -1;
    // Detached() clears m_Device once the device has let go; a removed device already has.
    PDEVICE_OBJECT Dev = Device();
    if (Dev != nullptr) KivL2capAttachRadio(Dev, nullptr);
}

void CSocketRadio::Detached()
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    m_Device = nullptr;
}

void CSocketRadio::Wake()
{
    uint64_t One = 1;
    if (m_WakeFd >= 0) (void)!write(m_WakeFd, &One, sizeof(One));
}

size_t CSocketRadio::Connections() const
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    return m_Channels.size();
}

bool CSocketRadio::AddChannel(int Fd, bool Outgoing, USHORT Mtu, USHORT* Cid)
{
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        bool Found = false;
        if (m_Channels.size() < m_Opt.MaxConnections) {
            // CIDs are handed out round-robin from 0x0040, so a closed channel's CID is not met
            // again at once by a late frame meant for the old connection.
            for (unsigned Tries = 0; Tries < 0x10000u - FIRST_CID && !Found; Tries++) {
                USHORT Candidate = m_NextCid;
                m_NextCid = m_NextCid == 0xFFFF ? FIRST_CID : USHORT(m_NextCid + 1);
                if (m_Channels.count(Candidate) == 0) {
                    m_Channels[Candidate] = Fd;
                    *Cid = Candidate;
                    Found = true;
                    if (m_Opt.ChannelEvent) m_Opt.ChannelEvent(Candidate, true, Outgoing, Mtu);
                }
            }
        }
        if (!Found) {
            close(Fd);
            return false;
        }
    }
    Wake();
    NTSTATUS Status = KivL2capIndicateConnect(Device(), *Cid, Mtu);
    if (!NT_SUCCESS(Status)) {
        char Line[96];
        snprintf(Line, sizeof(Line), "CID 0x%04x: connected event not delivered (0x%08x)", *Cid,
                 unsigned(Status));
        Log(Line);
    }
    return true;
}

void CSocketRadio::AcceptOne()
{
    int Fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) return;
    USHORT Mtu = m_Opt.ChannelMtu ? m_Opt.ChannelMtu(Fd) : m_Opt.Mtu;
    USHORT Cid = 0;
    if (!AddChannel(Fd, false, Mtu, &Cid)) {
        m_RefusedConnections++;
        Log("connection refused: " + std::to_string(m_Opt.MaxConnections) +
            " channels already open");
        return;
    }
    char Line[64];
    if (m_Opt.ChannelMtu)
        snprintf(Line, sizeof(Line), "CID 0x%04x: connection accepted, MTU %u", Cid, unsigned(Mtu));
    else
        snprintf(Line, sizeof(Line), "CID 0x%04x: connection accepted", Cid);
    Log(Line);
}

NTSTATUS CSocketRadio::Connect(const std::string& Path, USHORT* Cid, std::string& Err)
{
    if (Device() == nullptr || !m_Thread.joinable()) {
        Err = "the L2CAP device is not running";
        return STATUS_DEVICE_NOT_READY;
    }
    sockaddr_un Addr;
    if (!FillAddress(Path, Addr, Err)) return STATUS_INVALID_PARAMETER;
    int Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (Fd < 0) {
        Err = Errno("socket");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (connect(Fd, (sockaddr*)&Addr, sizeof(Addr)) != 0) {
        Err = Errno(("connect to " + Path).c_str());
        close(Fd);
        return STATUS_NOT_FOUND;
    }
    if (!AddChannel(Fd, true, m_Opt.Mtu, Cid)) {
        Err = "no channel free";
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSocketRadio::Disconnect(USHORT Cid)
{
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        if (m_Channels.count(Cid) == 0) return STATUS_NOT_FOUND;
    }
    CloseChannel(Cid, true, true);
    Wake();
    return STATUS_SUCCESS;
}

void CSocketRadio::CloseChannel(USHORT Cid, bool Indicate, bool Local)
{
    int Fd = -1;
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        auto It = m_Channels.find(Cid);
        if (It == m_Channels.end()) return;
        Fd = It->second;
        m_Channels.erase(It);
        if (m_Opt.ChannelEvent) m_Opt.ChannelEvent(Cid, false, Local, 0);
    }
    // Closed under no lock: Transmit no longer finds the CID, so the number cannot be reused
    // under a sender.
    close(Fd);
    if (!Indicate) return;
    PDEVICE_OBJECT Dev = Device();
    if (Dev == nullptr) return;
    NTSTATUS Status = KivL2capIndicateDisconnect(Dev, Cid);
    char Line[96];
    snprintf(Line, sizeof(Line), "CID 0x%04x: connection closed%s", Cid,
             NT_SUCCESS(Status) || Status == STATUS_DELETE_PENDING
                 ? ""
                 : " (disconnected event not delivered)");
    Log(Line);
}

void CSocketRadio::ReadOne(USHORT Cid, int Fd, short Events)
{
    ssize_t Got = recv(Fd, m_Buffer.data(), m_Buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (Got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        CloseChannel(Cid, true, false);
        return;
    }
    // A zero-length message and the peer's close both read as 0 bytes; only the close comes
    // with a hang-up.
    if (Got == 0 && (Events & (POLLHUP | POLLRDHUP)) != 0) {
        CloseChannel(Cid, true, false);
        return;
    }
    char Line[128];
    if (size_t(Got) > MAX_INBOUND_PAYLOAD) {
        m_RefusedFrames++;
        snprintf(Line, sizeof(Line), "CID 0x%04x: %zd-byte message dropped (at most %u)", Cid, Got,
                 unsigned(MAX_INBOUND_PAYLOAD));
        Log(Line);
        return;
    }
    if (m_Opt.Tap) {
        // Under the lock, like the channel events: a Disconnect racing this read has either
        // not closed the channel yet or is seen here.
        std::lock_guard<std::mutex> Guard(m_Lock);
        if (m_Channels.count(Cid) != 0) m_Opt.Tap(Cid, false, m_Buffer.data(), ULONG(Got));
    }
    // The device keeps a bounded number of frames; while it is full, hold this reader back
    // briefly instead of losing the frame, which also slows the sender down.
    for (int Attempt = 0;; Attempt++) {
        NTSTATUS Status = KivL2capIndicateFrame(Device(), Cid, m_Buffer.data(), ULONG(Got));
        if (Status != STATUS_DEVICE_BUSY && Status != STATUS_INSUFFICIENT_RESOURCES) {
            if (!NT_SUCCESS(Status)) {
                m_RefusedFrames++;
                snprintf(Line, sizeof(Line), "CID 0x%04x: frame not taken (0x%08x)", Cid,
                         unsigned(Status));
                Log(Line);
            }
            return;
        }
        if (Attempt == 200 || m_Stopping) {
            m_RefusedFrames++;
            snprintf(Line, sizeof(Line), "CID 0x%04x: frame dropped, the device is busy", Cid);
            Log(Line);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CSocketRadio::Run()
{
    std::vector<pollfd> Fds;
    std::vector<USHORT> Cids;
    while (!m_Stopping) {
        Fds.clear();
        Cids.clear();
        Fds.push_back({m_WakeFd, POLLIN, 0});
        Cids.push_back(0);
        if (m_ListenFd >= 0) {
            Fds.push_back({m_ListenFd, POLLIN, 0});
            Cids.push_back(0);
        }
        {
            std::lock_guard<std::mutex> Guard(m_Lock);
            for (const auto& Entry : m_Channels) {
                Fds.push_back({Entry.second, POLLIN | POLLRDHUP, 0});
                Cids.push_back(Entry.first);
            }
        }
        int Ready = poll(Fds.data(), Fds.size(), -1);
        if (Ready < 0) {
            if (errno == EINTR) continue;
            Log(Errno("poll"));
            break;
        }
        if (Fds[0].revents != 0) {
            uint64_t Count;
            (void)!read(m_WakeFd, &Count, sizeof(Count));
        }
        // Channels first, then new connections: a channel closed while another connects frees
        // its context in the device before the new one asks for one.
        bool Accept = false;
        for (size_t i = 1; i < Fds.size() && !m_Stopping; i++) {
            if (Fds[i].revents == 0) continue;
            if (Fds[i].fd == m_ListenFd && Cids[i] == 0) {
                Accept = true;
                continue;
            }
            // The channel may have been closed by Disconnect since the set was built.
            {
                std::lock_guard<std::mutex> Guard(m_Lock);
                auto It = m_Channels.find(Cids[i]);
                if (It == m_Channels.end() || It->second != Fds[i].fd) continue;
            }
            ReadOne(Cids[i], Fds[i].fd, Fds[i].revents);
        }
        if (Accept && !m_Stopping) AcceptOne();
    }
}

NTSTATUS CSocketRadio::Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client)
{
    (void)Client;
    std::lock_guard<std::mutex> Guard(m_Lock);
    auto It = m_Channels.find(Cid);
    if (It == m_Channels.end()) return STATUS_INVALID_PARAMETER;
    if (m_Opt.Tap) m_Opt.Tap(Cid, true, Payload, Length);
    // Never blocks: a peer that does not read its socket loses its responses, nobody else does.
    ssize_t Sent = send(It->second, Payload, Length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (Sent == ssize_t(Length)) return STATUS_SUCCESS;
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return STATUS_DEVICE_BUSY;
    return STATUS_UNSUCCESSFUL;
}
