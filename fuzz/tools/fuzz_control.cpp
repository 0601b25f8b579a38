// libFuzzer target: arbitrary messages to the control socket's parsers, as the daemon reads a
// request (ParseRequest) and an application reads a reply (ParseReply). A request taken is
// checked against the bytes it came from and rebuilt from its fields to the same message; a
// refused one is refused with one of the two statuses the protocol names.
#include "ctlproto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kivctl;

namespace {

std::vector<uint8_t> Rebuild(const CtlRequest& R)
{
    std::vector<uint8_t> m = CtlHeader(R.Op, R.Tag);
    switch (R.Op) {
    case CTL_OPEN:
        PutLe32(m, R.Device);
        break;
    case CTL_IOCTL:
        PutLe32(m, R.Code);
        PutLe32(m, R.OutputLength);
        m.insert(m.end(), R.Body + 8, R.Body + R.BodyLength);
        break;
    case CTL_DISCONNECT:
        m.push_back(uint8_t(R.Cid));
        m.push_back(uint8_t(R.Cid >> 8));
        break;
    default: // CANCEL and CLOSE have no body; CONNECT's is the path
        m.insert(m.end(), R.Body, R.Body + R.BodyLength);
        break;
    }
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // A copy of exactly Size bytes, so that a read past the message is caught.
    std::vector<uint8_t> Message(Data, Data + Size);
    const uint8_t* p = Message.empty() ? nullptr : Message.data();
    CtlRequest R;
    uint32_t Refusal = 0;
    if (ParseRequest(p, Size, R, Refusal)) {
        if (Size < CTL_HEADER_SIZE || Size > CTL_MAX_MESSAGE) std::abort();
        if (R.Body != p + CTL_HEADER_SIZE || R.BodyLength != Size - CTL_HEADER_SIZE) std::abort();
        if (R.Op == CTL_IOCTL && (R.OutputLength > CTL_MAX_IO || R.BodyLength - 8 > CTL_MAX_IO))
            std::abort();
        if (R.Op == CTL_CONNECT && (R.BodyLength == 0 || memchr(R.Body, 0, R.BodyLength)))
            std::abort();
        if (Rebuild(R) != Message) std::abort();
    } else {
        if (Refusal != 0xC000000Du && Refusal != 0xC00000BBu) std::abort();
        // The refusal names the request whenever its header was whole.
        if (Size >= CTL_HEADER_SIZE && (R.Op != p[0] || R.Tag != GetLe32(p + 4))) std::abort();
        if (Refusal == 0xC00000BBu && R.Op >= CTL_OPEN && R.Op <= CTL_DISCONNECT) std::abort();
    }
    CtlReply Reply;
    if (ParseReply(p, Size, Reply)) {
        if (Size < CTL_REPLY_HEADER_SIZE || (p[0] & CTL_REPLY) == 0) std::abort();
        if (Reply.Output.size() != Size - CTL_REPLY_HEADER_SIZE) std::abort();
        std::vector<uint8_t> Again = CtlHeader(uint8_t(Reply.Op | CTL_REPLY), Reply.Tag);
        Again[1] = p[1];
        Again[2] = p[2];
        Again[3] = p[3];
        PutLe32(Again, Reply.Status);
        PutLe32(Again, Reply.Information);
        Again.insert(Again.end(), Reply.Output.begin(), Reply.Output.end());
        if (Again != Message) std::abort();
    }
    return 0;
}
