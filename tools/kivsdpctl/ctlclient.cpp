// kivsdpctl's side of the control socket (see ctlclient.h).

#include "ctlclient.h"

#include "unixsocket.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kivctl {

CtlClient::~CtlClient()
{
    if (m_Fd >= 0) close(m_Fd);
}

bool CtlClient::Connect(const std::string& Path, std::string& Err)
{
    sockaddr_un Addr;
    if (!kivtool::UnixAddress(Path, Addr)) {
        Err = "control socket path is empty or too long";
        return false;
    }
    m_Fd = kivtool::ConnectSeqpacket(Addr);
    if (m_Fd < 0) {
        Err = "cannot reach the daemon at " + Path + ": " + strerror(errno);
        return false;
    }
    return true;
}

uint32_t CtlClient::Send(uint8_t Op, const std::vector<uint8_t>& Body, std::string& Err)
{
    uint32_t Tag = m_NextTag++;
    if (m_NextTag == 0) m_NextTag = 1;
    std::vector<uint8_t> Message = CtlHeader(Op, Tag);
    Message.insert(Message.end(), Body.begin(), Body.end());
    if (send(m_Fd, Message.data(), Message.size(), MSG_NOSIGNAL) != ssize_t(Message.size())) {
        Err = std::string("control socket: ") + strerror(errno);
        return 0;
    }
    return Tag;
}

bool CtlClient::Wait(uint32_t Tag, int TimeoutMs, CtlReply& Out, std::string& Err)
{
    for (auto It = m_Kept.begin(); It != m_Kept.end(); ++It) {
        if (It->Tag == Tag) {
            Out = std::move(*It);
            m_Kept.erase(It);
            return true;
        }
    }
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    std::vector<uint8_t> Buffer(CTL_MAX_MESSAGE + CTL_REPLY_HEADER_SIZE);
    for (;;) {
        int Left = -1;
        if (TimeoutMs >= 0) {
            auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Deadline - std::chrono::steady_clock::now())
                          .count();
            Left = Ms < 0 ? 0 : int(Ms);
        }
        pollfd P{m_Fd, POLLIN, 0};
        int Ready = poll(&P, 1, Left);
        if (Ready < 0 && errno == EINTR) continue;
        if (Ready == 0) {
            Err = "timeout";
            return false;
        }
        ssize_t Got = recv(m_Fd, Buffer.data(), Buffer.size(), 0);
        if (Got <= 0) {
            Err = "the daemon closed the control connection";
            return false;
        }
        CtlReply Reply;
        if (!ParseReply(Buffer.data(), size_t(Got), Reply)) {
            Err = "malformed reply from the daemon";
            return false;
        }
        if (Reply.Tag == Tag) {
            Out = std::move(Reply);
            return true;
        }
        m_Kept.push_back(std::move(Reply));
    }
}

bool CtlClient::Call(uint8_t Op, const std::vector<uint8_t>& Body, int TimeoutMs, CtlReply& Out,
                     std::string& Err)
{
    uint32_t Tag = Send(Op, Body, Err);
    return Tag != 0 && Wait(Tag, TimeoutMs, Out, Err);
}

std::vector<uint8_t> CtlClient::IoctlBody(uint32_t Code, const std::vector<uint8_t>& In,
                                          uint32_t OutLength)
{
    std::vector<uint8_t> Body;
    PutLe32(Body, Code);
    PutLe32(Body, OutLength);
    Body.insert(Body.end(), In.begin(), In.end());
    return Body;
}

std::string StatusText(uint32_t Status)
{
    const char* Name = nullptr;
    switch (Status) {
    case 0x00000000:
        Name = "success";
        break;
    case 0x80000005:
        Name = "buffer overflow";
        break;
    case 0xC0000001:
        Name = "unsuccessful";
        break;
    case 0xC0000008:
        Name = "invalid handle";
        break;
    case 0xC000000D:
        Name = "invalid parameter";
        break;
    case 0xC000000E:
        Name = "no such device";
        break;
    case 0xC0000023:
        Name = "buffer too small";
        break;
    case 0xC000009A:
        Name = "insufficient resources";
        break;
    case 0xC00000A3:
        Name = "device not ready";
        break;
    case 0xC00000BB:
        Name = "not supported";
        break;
    case 0xC0000120:
        Name = "cancelled";
        break;
    case 0xC0000184:
        Name = "invalid device state";
        break;
    case 0xC0000225:
        Name = "not found";
        break;
    default:
        break;
    }
    char Text[64];
    snprintf(Text, sizeof(Text), Name ? "0x%08X (%s)" : "0x%08X", Status, Name);
    return Text;
}

} // namespace kivctl
