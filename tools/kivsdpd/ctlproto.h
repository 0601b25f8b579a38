// The control socket's framed protocol between kivsdpd and its applications.
// SOCK_SEQPACKET: one message is one request or one reply. All integers little-endian.
//
//   request: Op (1 byte), 3 zero bytes, Tag (4), then by Op:
//     OPEN        Device (4)                      opens \\.\KivSdp<Device> for this client
//     IOCTL       Code (4), OutputLength (4), input bytes; buffered codes only (the other
//                 transfer types pass addresses, not bytes: STATUS_NOT_IMPLEMENTED)
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
    CTL_INFO = 7, // no device needed; the reply's output is daemoninfo.h's text
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

// One request as the server reads it. Body points into the message.
struct CtlRequest {
    uint8_t Op = 0;
    uint32_t Tag = 0;
    const uint8_t* Body = nullptr;
    size_t BodyLength = 0;
    uint32_t Device = 0;                 // OPEN
    uint32_t Code = 0, OutputLength = 0; // IOCTL; its input is the body past these
    uint16_t Cid = 0;                    // DISCONNECT
};

// Reads the header and checks the body's shape for the Op. Refused with the reply's status
// (STATUS_INVALID_PARAMETER 0xC000000D, or STATUS_NOT_SUPPORTED 0xC00000BB for an unknown Op);
// Op and Tag are still filled when the header is whole, so the refusal can name the request.
inline bool ParseRequest(const uint8_t* p, size_t Length, CtlRequest& Out, uint32_t& Refusal)
{
    constexpr uint32_t INVALID_PARAMETER = 0xC000000Du, NOT_SUPPORTED = 0xC00000BBu;
    Out = CtlRequest{};
    Refusal = INVALID_PARAMETER;
    if (Length < CTL_HEADER_SIZE || Length > CTL_MAX_MESSAGE) {
        if (Length >= CTL_HEADER_SIZE) {
            Out.Op = p[0];
            Out.Tag = GetLe32(p + 4);
        }
        return false;
    }
    Out.Op = p[0];
    Out.Tag = GetLe32(p + 4);
    Out.Body = p + CTL_HEADER_SIZE;
    Out.BodyLength = Length - CTL_HEADER_SIZE;
    if (p[1] != 0 || p[2] != 0 || p[3] != 0) return false;
    switch (Out.Op) {
    case CTL_OPEN:
        if (Out.BodyLength != 4) return false;
        Out.Device = GetLe32(Out.Body);
        return true;
    case CTL_IOCTL:
        if (Out.BodyLength < 8) return false;
        Out.Code = GetLe32(Out.Body);
        Out.OutputLength = GetLe32(Out.Body + 4);
        return Out.OutputLength <= CTL_MAX_IO && Out.BodyLength - 8 <= CTL_MAX_IO;
    case CTL_CANCEL:
    case CTL_CLOSE:
    case CTL_INFO:
        return Out.BodyLength == 0;
    case CTL_CONNECT:
        return Out.BodyLength != 0 && memchr(Out.Body, 0, Out.BodyLength) == nullptr;
    case CTL_DISCONNECT:
        if (Out.BodyLength != 2) return false;
        Out.Cid = uint16_t(Out.Body[0] | Out.Body[1] << 8);
        return true;
    default:
        Refusal = NOT_SUPPORTED;
        return false;
    }
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
