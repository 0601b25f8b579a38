// The daemon's control socket (see controlserver.h and ctlproto.h).

#include "controlserver.h"

#include "ctlproto.h"
#include "unixsocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kivctl;

CControlServer::~CControlServer()
{
    Stop();
}

CControlServer::WAKER::~WAKER()
{
    if (Fd >= 0) close(Fd);
}

void CControlServer::WAKER::Wake() const
{
    uint64_t One = 1;
    (void)!write(Fd, &One, sizeof(One));
}

bool CControlServer::Start(const std::string& Path, unsigned Devices, ConnectFn Connect,
                           DisconnectFn Disconnect, LogFn LogLine, std::string& Err)
{
    m_Path = Path;
    m_Devices = Devices;
    m_Connect = std::move(Connect);
    m_Disconnect = std::move(Disconnect);
    m_Log = std::move(LogLine);
    sockaddr_un Addr;
    if (!kivtool::UnixAddress(Path, Addr)) {
        Err = "control socket path is empty or too long";
        return false;
    }
    m_ListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    m_Waker = std::make_shared<WAKER>();
    m_Waker->Fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_ListenFd < 0 || m_Waker->Fd < 0) {
        Err = std::string("socket: ") + strerror(errno);
        Stop();
        return false;
    }
    unlink(Path.c_str());
    // The mode is right from the moment the file exists: no window in which others may connect.
    mode_t Old = umask(0117);
    int Bound = bind(m_ListenFd, (sockaddr*)&Addr, sizeof(Addr));
    umask(Old);
    if (Bound != 0 || chmod(Path.c_str(), 0660) != 0 || listen(m_ListenFd, 16) != 0) {
        Err = "control socket " + Path + ": " + strerror(errno);
        close(m_ListenFd);
        m_ListenFd = -1;
        m_Waker.reset();
        return false;
    }
    m_Stopping = false;
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CControlServer::Stop()
{
    if (m_Thread.joinable()) {
        m_Stopping = true;
        m_Waker->Wake();
        m_Thread.join();
        unlink(m_Path.c_str());
    }
    if (m_ListenFd >= 0) close(m_ListenFd);
    m_ListenFd = -1;
    m_Waker.reset();
}

void CControlServer::Run()
{
    std::vector<pollfd> Fds;
    std::vector<CLIENT*> Owners;
    while (!m_Stopping) {
        Fds.clear();
        Owners.clear();
        Fds.push_back({m_Waker->Fd, POLLIN, 0});
        Owners.push_back(nullptr);
        Fds.push_back({m_ListenFd, POLLIN, 0});
        Owners.push_back(nullptr);
        for (auto& C : m_Clients) {
            short Events = POLLIN;
            if (!C->Outbox.empty()) Events |= POLLOUT;
            Fds.push_back({C->Fd, Events, 0});
            Owners.push_back(C.get());
        }
        int Ready = poll(Fds.data(), Fds.size(), -1);
        if (Ready < 0 && errno != EINTR) break;
        if (Fds[0].revents != 0) {
            // Read before the requests are looked at: a completion after this wakes the next
            // poll at once.
            uint64_t Count;
            (void)!read(m_Waker->Fd, &Count, sizeof(Count));
        }
        for (size_t i = 2; i < Fds.size(); i++) {
            CLIENT& C = *Owners[i];
            if (Fds[i].revents & POLLOUT) Flush(C);
            if (!C.Dead && (Fds[i].revents & (POLLIN | POLLHUP | POLLERR))) Serve(C);
        }
        for (auto& C : m_Clients)
            if (!C->Dead) Reap(*C);
        // Once IsComplete is true the runtime no longer touches a request: free it now.
        m_Orphans.remove_if([this](const auto& R) {
            if (!R->Ov.IsComplete()) return false;
            m_PendingBytes -= R->Bytes;
            return true;
        });
        for (auto It = m_Clients.begin(); It != m_Clients.end();) {
            if ((*It)->Dead) {
                close((*It)->Fd);
                It = m_Clients.erase(It);
            } else {
                ++It;
            }
        }
        // New clients last: one that closed as another connects frees its place first.
        if (Fds[1].revents != 0) Accept();
    }
    for (auto& C : m_Clients) {
        if (!C->Dead) Drop(*C, "");
        close(C->Fd);
    }
    m_Clients.clear();
    for (auto& Orphan : m_Orphans) {
        if (!Orphan->Ov.Wait(5000)) {
            // The device still holds its buffers: leaked, not freed under it.
            Log("control: a request did not complete in 5 s");
            (void)Orphan.release();
        }
    }
    m_Orphans.clear();
}

void CControlServer::Accept()
{
    int Fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (Fd < 0) return;
    if (m_Clients.size() >= MAX_CLIENTS) {
        Log("control: client refused, " + std::to_string(MAX_CLIENTS) + " already connected");
        close(Fd);
        return;
    }
    auto C = std::make_unique<CLIENT>();
    C->Fd = Fd;
    m_Clients.push_back(std::move(C));
}

void CControlServer::Serve(CLIENT& C)
{
    std::vector<uint8_t> Buffer(CTL_MAX_MESSAGE + 1);
    // A bounded number of messages per turn, so one busy client cannot starve the others.
    for (int Turn = 0; Turn < 32 && !C.Dead; Turn++) {
        ssize_t Got = recv(C.Fd, Buffer.data(), Buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (Got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            Drop(C, "");
            return;
        }
        if (Got == 0) {
            // A zero-length message is not a request; the peer's close also reads as 0 bytes.
            pollfd P{C.Fd, POLLIN | POLLRDHUP, 0};
            if (poll(&P, 1, 0) > 0 && (P.revents & (POLLHUP | POLLRDHUP))) {
                Drop(C, "");
                return;
            }
            Reply(C, 0, 0, STATUS_INVALID_PARAMETER, 0);
            continue;
        }
        // A message longer than the buffer was cut to it (MSG_TRUNC tells its real length):
        // refused as too long, from the header that was read.
        Handle(C, Buffer.data(), std::min(size_t(Got), Buffer.size()));
    }
}

void CControlServer::Handle(CLIENT& C, const uint8_t* p, size_t Length)
{
    CtlRequest Rq;
    uint32_t Refusal = 0;
    if (!ParseRequest(p, Length, Rq, Refusal)) {
        Reply(C, Rq.Op, Rq.Tag, NTSTATUS(Refusal), 0);
        return;
    }
    static constexpr std::pair<uint8_t, void (CControlServer::*)(CLIENT&, const CtlRequest&)>
        Ops[] = {
            {CTL_OPEN, &CControlServer::OnOpen},
            {CTL_IOCTL, &CControlServer::OnIoctl},
            {CTL_CANCEL, &CControlServer::OnCancel},
            {CTL_CLOSE, &CControlServer::OnClose},
            {CTL_CONNECT, &CControlServer::OnConnect},
            {CTL_DISCONNECT, &CControlServer::OnDisconnect},
            {CTL_INFO, &CControlServer::OnInfo},
        };
    for (const auto& [Op, On] : Ops)
        if (Op == Rq.Op) return (this->*On)(C, Rq);
    Reply(C, Rq.Op, Rq.Tag, STATUS_NOT_SUPPORTED, 0);
}

void CControlServer::OnOpen(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle != nullptr) return Reply(C, Rq.Op, Rq.Tag, STATUS_INVALID_DEVICE_STATE, 0);
    if (Rq.Device >= m_Devices) return Reply(C, Rq.Op, Rq.Tag, STATUS_NO_SUCH_DEVICE, 0);
    std::u16string Name = u"\\\\.\\KivSdp" + std::u16string(1, char16_t(u'0' + Rq.Device));
    NTSTATUS Status = kivrt::AppOpen(Name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, true, &C.Handle);
    if (!NT_SUCCESS(Status)) C.Handle = nullptr;
    C.Device = Rq.Device;
    Reply(C, Rq.Op, Rq.Tag, Status, 0);
}

void CControlServer::OnIoctl(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle == nullptr) return Reply(C, Rq.Op, Rq.Tag, STATUS_INVALID_HANDLE, 0);
    // The protocol carries bytes, not addresses: only a buffered request's output comes back
    // in the reply, so the other transfer types are not offered to a remote client.
    if (METHOD_FROM_CTL_CODE(Rq.Code) != METHOD_BUFFERED)
        return Reply(C, Rq.Op, Rq.Tag, STATUS_NOT_IMPLEMENTED, 0);
    // The buffers live until the request completes, which for a listen may be never: each
    // client and all of them together hold a bounded number of bytes.
    size_t Bytes = (Rq.BodyLength - 8) + Rq.OutputLength;
    if (C.Pending.size() >= MAX_PENDING_PER_CLIENT ||
        C.PendingBytes + Bytes > MAX_PENDING_BYTES_PER_CLIENT ||
        m_PendingBytes + Bytes > MAX_PENDING_BYTES)
        return Reply(C, Rq.Op, Rq.Tag, STATUS_INSUFFICIENT_RESOURCES, 0);
    auto Request = std::make_unique<PENDING>();
    Request->Tag = Rq.Tag;
    Request->Bytes = Bytes;
    C.PendingBytes += Bytes;
    m_PendingBytes += Bytes;
    Request->In.assign(Rq.Body + 8, Rq.Body + Rq.BodyLength);
    Request->Out.assign(Rq.OutputLength, 0);
    Request->Ov.NotifyOnCompletion([Waker = m_Waker] { Waker->Wake(); });
    ULONG Returned = 0;
    NTSTATUS Status = kivrt::AppDeviceIoControl(
        C.Handle, Rq.Code, Request->In.empty() ? nullptr : Request->In.data(),
        ULONG(Request->In.size()), Request->Out.empty() ? nullptr : Request->Out.data(),
        Rq.OutputLength, &Returned, &Request->Ov);
    if (Status != STATUS_PENDING && !Request->Ov.IsComplete()) {
        // Refused before any request was built (an access the handle lacks): no completion will
        // ever come, so reply now.
        C.PendingBytes -= Bytes;
        m_PendingBytes -= Bytes;
        return Reply(C, Rq.Op, Rq.Tag, Status, 0);
    }
    // Completed or not, the reply is made from the request's final status block (Reap).
    C.Pending.push_back(std::move(Request));
}

void CControlServer::OnCancel(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle != nullptr) kivrt::AppCancelIo(C.Handle);
    Reply(C, Rq.Op, Rq.Tag, STATUS_SUCCESS, 0);
}

void CControlServer::OnClose(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle == nullptr) return Reply(C, Rq.Op, Rq.Tag, STATUS_INVALID_HANDLE, 0);
    CloseDevice(C);
    Reply(C, Rq.Op, Rq.Tag, STATUS_SUCCESS, 0);
}

void CControlServer::OnConnect(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle == nullptr) return Reply(C, Rq.Op, Rq.Tag, STATUS_INVALID_HANDLE, 0);
    std::string Path(reinterpret_cast<const char*>(Rq.Body), Rq.BodyLength);
    uint16_t Cid = 0;
    std::string Err;
    NTSTATUS Status = m_Connect(C.Device, Path, &Cid, Err);
    if (!NT_SUCCESS(Status))
        return Reply(C, Rq.Op, Rq.Tag, Status, 0, reinterpret_cast<const uint8_t*>(Err.data()),
                     Err.size());
    C.Channels.push_back(Cid);
    Reply(C, Rq.Op, Rq.Tag, Status, Cid);
}

void CControlServer::OnDisconnect(CLIENT& C, const CtlRequest& Rq)
{
    if (C.Handle == nullptr) return Reply(C, Rq.Op, Rq.Tag, STATUS_INVALID_HANDLE, 0);
    // Only channels this client made: another application's channel is not its to close.
    auto It = std::find(C.Channels.begin(), C.Channels.end(), Rq.Cid);
    if (It == C.Channels.end()) return Reply(C, Rq.Op, Rq.Tag, STATUS_NOT_FOUND, 0);
    C.Channels.erase(It);
    Reply(C, Rq.Op, Rq.Tag, m_Disconnect(C.Device, Rq.Cid), 0);
}

void CControlServer::OnInfo(CLIENT& C, const CtlRequest& Rq)
{
    if (!m_Info) return Reply(C, Rq.Op, Rq.Tag, STATUS_NOT_SUPPORTED, 0);
    kivtool::DAEMON_INFO Info;
    m_Info(Info);
    const std::string Text = kivtool::EncodeDaemonInfo(Info);
    Reply(C, Rq.Op, Rq.Tag, STATUS_SUCCESS, uint32_t(Text.size()),
          reinterpret_cast<const uint8_t*>(Text.data()), Text.size());
}

void CControlServer::Reap(CLIENT& C)
{
    // Taken off the list before replying: a reply may drop the client, which moves what is
    // still pending to the orphans.
    std::vector<std::unique_ptr<PENDING>> Done;
    for (auto It = C.Pending.begin(); It != C.Pending.end();) {
        if ((*It)->Ov.IsComplete()) {
            Done.push_back(std::move(*It));
            It = C.Pending.erase(It);
        } else {
            ++It;
        }
    }
    for (const auto& R : Done) {
        C.PendingBytes -= R->Bytes;
        m_PendingBytes -= R->Bytes;
        size_t Bytes = std::min(size_t(R->Ov.Information()), R->Out.size());
        Reply(C, CTL_IOCTL, R->Tag, R->Ov.Status(), uint32_t(R->Ov.Information()), R->Out.data(),
              Bytes);
    }
}

void CControlServer::Reply(CLIENT& C, uint8_t Op, uint32_t Tag, NTSTATUS Status,
                           uint32_t Information, const uint8_t* Out, size_t OutLength)
{
    if (C.Dead) return;
    std::vector<uint8_t> Message = CtlHeader(uint8_t(Op | CTL_REPLY), Tag);
    PutLe32(Message, uint32_t(Status));
    PutLe32(Message, Information);
    if (OutLength != 0) Message.insert(Message.end(), Out, Out + OutLength);
    if (C.OutboxBytes + Message.size() > MAX_OUTBOX_BYTES) {
        Drop(C, "control: client dropped, it does not read its replies");
        return;
    }
    C.OutboxBytes += Message.size();
    C.Outbox.push_back(std::move(Message));
    Flush(C);
}

void CControlServer::Flush(CLIENT& C)
{
    while (!C.Dead && !C.Outbox.empty()) {
        const auto& Message = C.Outbox.front();
        ssize_t Sent = send(C.Fd, Message.data(), Message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (Sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            Drop(C, "");
            return;
        }
        C.OutboxBytes -= Message.size();
        C.Outbox.pop_front();
    }
}

void CControlServer::CloseDevice(CLIENT& C)
{
    for (uint16_t Cid : C.Channels)
        m_Disconnect(C.Device, Cid);
    C.Channels.clear();
    if (C.Handle == nullptr) return;
    // Cancelled here (the requests were issued on this thread), then the cleanup ends what the
    // device still holds; the buffers stay alive until each request has completed.
    kivrt::AppCancelIo(C.Handle);
    kivrt::AppClose(C.Handle);
    C.Handle = nullptr;
    for (auto& Request : C.Pending)
        m_Orphans.push_back(std::move(Request));
    C.Pending.clear();
    C.PendingBytes = 0;
}

void CControlServer::Drop(CLIENT& C, const std::string& Why)
{
    if (C.Dead) return;
    if (!Why.empty()) Log(Why);
    CloseDevice(C);
    C.Outbox.clear();
    C.OutboxBytes = 0;
    C.Dead = true;
}
