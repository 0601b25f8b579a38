// socketradio.cpp: the socket backend of the virtual L2CAP driver (see socketradio.h).

#include "socketradio.h"

#include "btradio.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
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

namespace {

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One message is read at a time, into the reading worker's own buffer.
UCHAR* ReadBuffer()
{
    thread_local std::vector<UCHAR> Buffer(KIVL2CAP_MAX_PAYLOAD + 1);
    return Buffer.data();
}

} // namespace

void CSocketRadio::Log(const std::string& Line) const
{
    if (m_Opt.Log) m_Opt.Log(Line);
}

bool CSocketRadio::Start(PDEVICE_OBJECT Dev, const OPTIONS& Opt, std::string& Err)
{
    // A given listening socket is closed on every failure, as the caller no longer owns it.
    auto Refuse = [this, &Opt, &Err](const std::string& Why) {
        Err = Why;
        if (Opt.ListenFd >= 0) close(Opt.ListenFd);
        if (m_ListenFd >= 0 && m_ListenFd != Opt.ListenFd) {
            close(m_ListenFd);
            if (!Opt.ListenPath.empty()) unlink(Opt.ListenPath.c_str());
        }
        if (m_TimerFd >= 0) close(m_TimerFd);
        m_ListenFd = m_TimerFd = -1;
        return false;
    };
    if (Running()) return Refuse("radio already started");
    if (!KivL2capIsDevice(Dev)) return Refuse("not an L2CAP device");
    if (Opt.Mtu < 48) return Refuse("MTU below the L2CAP minimum of 48");
    if (Opt.ListenFd >= 0 && !Opt.ListenPath.empty())
        return Refuse("both a listening socket and a path to listen on");
    if (kivrt::CurrentScheduler() != kivrt::Scheduler::Threaded)
        return Refuse("the socket radio needs the runtime's threaded scheduler");
    m_Opt = Opt;
    if (m_Opt.ListenFd >= 0) {
        m_ListenFd = m_Opt.ListenFd;
    } else if (!m_Opt.ListenPath.empty()) {
        sockaddr_un Addr;
        if (!FillAddress(m_Opt.ListenPath, Addr, Err)) return Refuse(Err);
        m_ListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_ListenFd >= 0) unlink(m_Opt.ListenPath.c_str());
        if (m_ListenFd < 0 || bind(m_ListenFd, (sockaddr*)&Addr, sizeof(Addr)) != 0 ||
            listen(m_ListenFd, 32) != 0) {
            std::string Why = Errno(("listen on " + m_Opt.ListenPath).c_str());
            if (m_ListenFd >= 0) close(m_ListenFd);
            m_ListenFd = -1;
            return Refuse(Why);
        }
    }
    if (m_ListenFd >= 0) {
        int Flags = fcntl(m_ListenFd, F_GETFL);
        if (Flags >= 0) fcntl(m_ListenFd, F_SETFL, Flags | O_NONBLOCK);
    }
    if (m_Opt.IdleTimeoutS != 0) {
        // Checked every second at most, so a channel goes within a second of its time.
        m_TimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        itimerspec Period{};
        Period.it_interval.tv_sec = 1;
        Period.it_value.tv_sec = 1;
        if (m_TimerFd < 0 || timerfd_settime(m_TimerFd, 0, &Period, nullptr) != 0)
            return Refuse(Errno("timerfd"));
    }
    if (!NT_SUCCESS(Attach(Dev))) return Refuse("cannot attach the radio to the L2CAP device");
    m_Running = true;
    if (m_ListenFd >= 0)
        m_ListenWatch = kivrt::AddIoWatch(m_ListenFd, EPOLLIN, [this](uint32_t) { AcceptOne(); });
    if (m_TimerFd >= 0) {
        m_TimerWatch = kivrt::AddIoWatch(m_TimerFd, EPOLLIN, [this](uint32_t) {
            uint64_t Expired;
            (void)!read(m_TimerFd, &Expired, sizeof(Expired));
            CloseIdleChannels();
        });
    }
    if ((m_ListenFd >= 0 && m_ListenWatch == nullptr) ||
        (m_TimerFd >= 0 && m_TimerWatch == nullptr)) {
        std::string Why = Errno("watch the radio's sockets");
        Stop();
        Err = Why;
        return false;
    }
    return true;
}

void CSocketRadio::Stop()
{
    if (!m_Running.exchange(false)) return;
    kivrt::RemoveIoWatch(m_ListenWatch);
    kivrt::RemoveIoWatch(m_TimerWatch);
    m_ListenWatch = m_TimerWatch = nullptr;
    std::vector<USHORT> Cids;
    {
        std::shared_lock<std::shared_mutex> Guard(m_Lock);
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
    if (m_TimerFd >= 0) close(m_TimerFd);
    m_TimerFd = -1;
    Detach();
}

size_t CSocketRadio::Connections() const
{
    std::shared_lock<std::shared_mutex> Guard(m_Lock);
    return m_Channels.size();
}

bool CSocketRadio::AddChannel(int Fd, bool Outgoing, USHORT Mtu, USHORT* Cid)
{
    int Flags = fcntl(Fd, F_GETFL);
    if (Flags >= 0) fcntl(Fd, F_SETFL, Flags | O_NONBLOCK);
    CHANNEL_PTR Channel;
    {
        std::unique_lock<std::shared_mutex> Guard(m_Lock);
        if (m_Channels.size() < m_Opt.MaxConnections) {
            // CIDs are handed out round-robin from 0x0040, so a closed channel's CID is not met
            // again at once by a late frame meant for the old connection.
            for (unsigned Tries = 0; Tries < 0x10000u - FIRST_CID && !Channel; Tries++) {
                USHORT Candidate = m_NextCid;
                m_NextCid = m_NextCid == 0xFFFF ? FIRST_CID : USHORT(m_NextCid + 1);
                if (m_Channels.count(Candidate) == 0) {
                    Channel = std::make_shared<CHANNEL>();
                    Channel->Cid = Candidate;
                    Channel->Fd = Fd;
                    Channel->Outgoing = Outgoing;
                    Channel->LastActive = NowNs();
                    m_Channels[Candidate] = Channel;
                    *Cid = Candidate;
                    if (m_Opt.ChannelEvent) m_Opt.ChannelEvent(Candidate, true, Outgoing, Mtu);
                }
            }
        }
    }
    if (!Channel) {
        close(Fd);
        return false;
    }
    // The device hears of the channel before its first frame can be read.
    NTSTATUS Status = KivL2capIndicateConnect(Device(), *Cid, Mtu);
    if (!NT_SUCCESS(Status)) {
        char Line[96];
        snprintf(Line, sizeof(Line), "CID 0x%04x: connected event not delivered (0x%08x)", *Cid,
                 unsigned(Status));
        Log(Line);
    }
    // Watched under the lock, so that a callback (which may close the channel) finds its watch;
    // a channel closed since it was added (Disconnect, Stop) is not watched at all.
    bool Watched = false;
    {
        std::unique_lock<std::shared_mutex> Guard(m_Lock);
        auto It = m_Channels.find(*Cid);
        if (It != m_Channels.end() && It->second == Channel) {
            Channel->Watch =
                kivrt::AddIoWatch(Fd, EPOLLIN | EPOLLRDHUP,
                                  [this, Channel](uint32_t Events) { ReadOne(Channel, Events); });
            Watched = Channel->Watch != nullptr;
            if (!Watched) Log(Errno("watch a channel's socket"));
        }
    }
    if (!Watched) {
        CloseChannel(*Cid, true, true);
        return false;
    }
    return true;
}

// With every channel taken, a peer may have hung up whose worker has not closed its channel
// yet: closed here first, a client that closes and connects again finds its channel free.
void CSocketRadio::CloseHungUpChannels()
{
    std::vector<pollfd> Fds;
    std::vector<USHORT> Cids;
    {
        std::shared_lock<std::shared_mutex> Guard(m_Lock);
        if (m_Channels.size() < m_Opt.MaxConnections) return;
        for (const auto& Entry : m_Channels) {
            Fds.push_back({Entry.second->Fd, POLLRDHUP, 0});
            Cids.push_back(Entry.first);
        }
    }
    // A channel closed meanwhile by its own worker is looked up by its CID and found gone; its fd
    // number, even if reused by then, costs only a poll.
    if (poll(Fds.data(), Fds.size(), 0) <= 0) return;
    for (size_t i = 0; i < Fds.size(); i++)
        if ((Fds[i].revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0)
            CloseChannel(Cids[i], true, false);
}

void CSocketRadio::AcceptOne()
{
    int Fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (Fd < 0) return;
    CloseHungUpChannels();
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
    if (Device() == nullptr || !Running()) {
        Err = "the L2CAP device is not running";
        return STATUS_DEVICE_NOT_READY;
    }
    USHORT Mtu = m_Opt.Mtu;
    int Fd = -1;
    uint8_t Bdaddr[6];
    if (kivbt::ParseBluetoothAddress(Path, Bdaddr)) {
        // A Bluetooth device: its SDP server on PSM 1, the MTU as negotiated with it.
        Fd = kivbt::OpenL2capConnection(Path, kivbt::SDP_PSM, kivbt::ClampMtu(m_Opt.Mtu), Err);
        if (Fd < 0) return STATUS_NOT_FOUND;
        Mtu = kivbt::L2capChannelMtu(Fd);
    } else {
        sockaddr_un Addr;
        if (!FillAddress(Path, Addr, Err)) return STATUS_INVALID_PARAMETER;
        Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (Fd < 0) {
            Err = Errno("socket");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (connect(Fd, (sockaddr*)&Addr, sizeof(Addr)) != 0) {
            Err = Errno(("connect to " + Path).c_str());
            close(Fd);
            return STATUS_NOT_FOUND;
        }
        // The listener's process, whatever path led to it: a channel to one of this process's
        // own sockets would feed its answers back into it.
        ucred Peer{};
        socklen_t PeerLength = sizeof(Peer);
        if (getsockopt(Fd, SOL_SOCKET, SO_PEERCRED, &Peer, &PeerLength) != 0 ||
            Peer.pid == getpid()) {
            Err = Path + " is a socket of this daemon, not another SDP server";
            close(Fd);
            Log("connect to " + Err);
            return STATUS_ACCESS_DENIED;
        }
    }
    if (!AddChannel(Fd, true, Mtu, Cid)) {
        Err = "no channel free";
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSocketRadio::Disconnect(USHORT Cid)
{
    {
        std::shared_lock<std::shared_mutex> Guard(m_Lock);
        if (m_Channels.count(Cid) == 0) return STATUS_NOT_FOUND;
    }
    CloseChannel(Cid, true, true);
    return STATUS_SUCCESS;
}

void CSocketRadio::CloseChannel(USHORT Cid, bool Indicate, bool Local)
{
    int Fd;
    kivrt::IO_WATCH* Watch;
    {
        std::unique_lock<std::shared_mutex> Guard(m_Lock);
        auto It = m_Channels.find(Cid);
        if (It == m_Channels.end()) return;
        Fd = It->second->Fd;
        Watch = It->second->Watch; // NULL while AddChannel has not watched it: it never will
        m_Channels.erase(It);
        if (m_Opt.ChannelEvent) m_Opt.ChannelEvent(Cid, false, Local, 0);
    }
    // Under no lock: the channel's callback may be running and take the lock. Once the watch is
    // gone no callback reads the socket, and Transmit no longer finds the CID, so the fd number
    // cannot be reused under either.
    kivrt::RemoveIoWatch(Watch);
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

void CSocketRadio::CloseIdleChannels()
{
    const int64_t Limit = int64_t(m_Opt.IdleTimeoutS) * 1000000000;
    const int64_t Now = NowNs();
    std::vector<USHORT> Idle;
    {
        std::shared_lock<std::shared_mutex> Guard(m_Lock);
        for (const auto& Entry : m_Channels)
            if (Now - Entry.second->LastActive.load(std::memory_order_relaxed) >= Limit)
                Idle.push_back(Entry.first);
    }
    for (USHORT Cid : Idle) {
        char Line[80];
        snprintf(Line, sizeof(Line), "CID 0x%04x: idle for %u s, disconnecting", Cid,
                 m_Opt.IdleTimeoutS);
        Log(Line);
        m_IdleDisconnects++;
        CloseChannel(Cid, true, true);
    }
}

// One message of the channel, or its end. The frame is handed to the device at once: the work
// it causes runs on this thread when this returns, before the next message of any channel.
void CSocketRadio::ReadOne(const CHANNEL_PTR& Channel, uint32_t Events)
{
    const USHORT Cid = Channel->Cid;
    // A peer that hung up cannot read an answer: its unread messages go with the channel.
    if ((Events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) {
        CloseChannel(Cid, true, false);
        return;
    }
    if ((Events & EPOLLOUT) != 0) SetFull(*Channel, false);
    if ((Events & EPOLLIN) == 0) return;
    UCHAR* Buffer = ReadBuffer();
    ssize_t Got = recv(Channel->Fd, Buffer, KIVL2CAP_MAX_PAYLOAD + 1, MSG_TRUNC | MSG_DONTWAIT);
    if (Got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        CloseChannel(Cid, true, false);
        return;
    }
    Channel->LastActive.store(NowNs(), std::memory_order_relaxed);
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
        std::shared_lock<std::shared_mutex> Guard(m_Lock);
        if (m_Channels.count(Cid) != 0) m_Opt.Tap(Cid, false, Buffer, ULONG(Got));
    }
    if (!FromSdpServer(*Channel, Buffer, size_t(Got))) return;
    // The device keeps a bounded number of frames while it has no read for them; past that the
    // channel loses its frame.
    NTSTATUS Status = KivL2capIndicateFrame(Device(), Cid, Buffer, ULONG(Got));
    if (Status == STATUS_DEVICE_BUSY || Status == STATUS_INSUFFICIENT_RESOURCES) {
        m_RefusedFrames++;
        snprintf(Line, sizeof(Line), "CID 0x%04x: frame dropped, the device is busy", Cid);
        Log(Line);
    } else if (!NT_SUCCESS(Status)) {
        m_RefusedFrames++;
        snprintf(Line, sizeof(Line), "CID 0x%04x: frame not taken (0x%08x)", Cid, unsigned(Status));
        Log(Line);
    }
}

bool CSocketRadio::FromSdpServer(const CHANNEL& Channel, const UCHAR* Message, size_t Length)
{
    if (!Channel.Outgoing) return true;
    // An SDP server sends one response PDU a message: an error (1), search (3), attribute (5)
    // or search-attribute (7) response whose parameter length fills the rest. Anything else on
    // a client channel, such as a request or another protocol's message, would reach the SDP
    // device as a request to answer, and a peer that answers in turn makes a loop.
    UCHAR Id = Length >= 5 ? Message[0] : 0;
    if ((Id == 1 || Id == 3 || Id == 5 || Id == 7) &&
        size_t(Message[3] << 8 | Message[4]) + 5 == Length)
        return true;
    char Line[128];
    snprintf(Line, sizeof(Line),
             "CID 0x%04x: the peer is not an SDP server (a %zu-byte message, first byte 0x%02x), "
             "disconnected",
             Channel.Cid, Length, Length != 0 ? unsigned(Message[0]) : 0u);
    Log(Line);
    CloseChannel(Channel.Cid, true, true);
    return false;
}

void CSocketRadio::SetFull(CHANNEL& Channel, bool Full)
{
    std::lock_guard<std::mutex> Guard(Channel.FullLock);
    if (Channel.Full.load() == Full) return;
    Channel.Full = Full;
    // While the peer does not read its answers, its requests are not read either: they wait in
    // its socket (its sends block), and it costs the daemon nothing until it reads.
    kivrt::ModifyIoWatch(Channel.Watch,
                         EPOLLRDHUP | (Full ? uint32_t(EPOLLOUT) : uint32_t(EPOLLIN)));
}

NTSTATUS CSocketRadio::Transmit(USHORT Cid, const UCHAR* Payload, ULONG Length, PVOID Client)
{
    (void)Client;
    std::shared_lock<std::shared_mutex> Guard(m_Lock);
    auto It = m_Channels.find(Cid);
    if (It == m_Channels.end()) return STATUS_INVALID_PARAMETER;
    CHANNEL& Channel = *It->second;
    if (m_Opt.Tap) m_Opt.Tap(Cid, true, Payload, Length);
    // Never blocks: a peer that does not read its socket loses its responses, nobody else does,
    // and while its socket stays full they cost no system call.
    if (Channel.Full.load(std::memory_order_relaxed)) return STATUS_DEVICE_BUSY;
    ssize_t Sent = send(Channel.Fd, Payload, Length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (Sent == ssize_t(Length)) {
        Channel.LastActive.store(NowNs(), std::memory_order_relaxed);
        return STATUS_SUCCESS;
    }
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (Channel.Watch != nullptr) SetFull(Channel, true);
        return STATUS_DEVICE_BUSY;
    }
    return STATUS_UNSUCCESSFUL;
}
