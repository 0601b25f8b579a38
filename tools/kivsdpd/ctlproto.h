// The control socket's framed protocol between kivsdpd and its applications.
// SOCK_SEQPACKET: one message is one request or one reply. All integers little-endian.
//
//   request: Op (1 byte), 3 zero bytes, Tag (4), then by Op:
//     OPEN        Device (4)                      opens \\.\KivSdp<Device> for this client
//     IOCTL       Code (4), OutputLength (4), input bytes
//     CANCEL      -                               cancels every pending request of the client
//     CLOSE       -                               closes the device (pending requests end)
//     CONNECT     socket path bytes               client role: connect a channel; Information
//                                                 of the reply is its CID
//     DISCONNECT  Cid (2)
//   reply: Op | 0x80, 3 zero bytes, Tag, Status (NTSTATUS, 4), Information (4), output bytes.
//
// An IOCTL's reply comes when the request completes, possibly after replies to later requests;
// the client matches replies by Tag. A message that cannot be read is answered with
// STATUS_INVALID_PARAMETER (Tag 0 when even the header is short) and changes nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace kivctl {

enum : uint8_t {
    CTL_OPEN = 1,
    CTL_IOCTL = 2,
    CTL_CANCEL = 3,
    CTL_CLOSE = 4,
    CTL_CONNECT = 5,
    CTL_DISCONNECT = 6,
    CTL_REPLY = 0x80,
};

constexpr size_t CTL_HEADER_SIZE = 8;
constexpr size_t CTL_REPLY_HEADER_SIZE = 16;
// Bounds on one request: input and output of a device-control request, and the whole message.
constexpr uint32_t CTL_MAX_IO = 0x30000;
constexpr size_t CTL_MAX_MESSAGE = CTL_HEADER_SIZE + 8 + CTL_MAX_IO;

inline void PutLe32(std::vector<uint8_t>& Out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        Out.push_back(uint8_t(v >> (8 * i)));
}
inline uint32_t GetLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline std::vector<uint8_t> CtlHeader(uint8_t Op, uint32_t Tag)
{
    std::vector<uint8_t> Out{Op, 0, 0, 0};
    PutLe32(Out, Tag);
    return Out;
}

struct CtlReply {
    uint8_t Op = 0;
    uint32_t Tag = 0;
    uint32_t Status = 0;
    uint32_t Information = 0;
    std::vector<uint8_t> Output;
};

inline bool ParseReply(const uint8_t* p, size_t Length, CtlReply& Out)
{
    if (Length < CTL_REPLY_HEADER_SIZE || (p[0] & CTL_REPLY) == 0) return false;
    Out.Op = uint8_t(p[0] & ~CTL_REPLY);
    Out.Tag = GetLe32(p + 4);
    Out.Status = GetLe32(p + 8);
    Out.Information = GetLe32(p + 12);
    Out.Output.assign(p + CTL_REPLY_HEADER_SIZE, p + Length);
    return true;
}

} // namespace kivctl
