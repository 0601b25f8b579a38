// kivsdp-load --abuse (see abuse.h).

#include "abuse.h"

#include "ctlclient.h"
#include "ctlproto.h"
#include "floor.h"
#include "kivsdpioctl.h"
#include "relay.h"
#include "sdpclient.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kivload {
namespace {

using Clock = std::chrono::steady_clock;
using BYTES = std::vector<uint8_t>;

// The whole list in every response the MTU allows (the server ends a list at this count rather
// than continue it): the sample records take three responses at MTU 672.
constexpr uint16_t SERIES_MAX_BYTES = 0xFFFF;
constexpr int ANSWER_MS = 5000;

bool Receive(int Fd, BYTES& Message, int TimeoutMs)
{
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, TimeoutMs) <= 0) return false;
    Message.resize(0x20000);
    ssize_t Got = recv(Fd, Message.data(), Message.size(), MSG_DONTWAIT);
    if (Got <= 0) return false;
    Message.resize(size_t(Got));
    return true;
}

// Waits for the peer's close: true when the socket reads as ended (a close, not a message).
bool ClosedByPeer(int Fd, int TimeoutMs)
{
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, TimeoutMs) <= 0) return false;
    uint8_t Byte;
    return recv(Fd, &Byte, 1, MSG_DONTWAIT) == 0 && (P.revents & (POLLHUP | POLLRDHUP)) != 0;
}

bool SendAll(int Fd, const BYTES& m)
{
    return send(Fd, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size());
}

BYTES BrowsePdu(uint16_t Tid, uint16_t MaxBytes, const BYTES& Cont)
{
    BYTES Frame =
        kivctl::SearchAttrRequest(0, Tid, {kivtool::MakeUuid16(kivctl::UUID_PUBLIC_BROWSE_GROUP)},
                                  MaxBytes, {kivctl::AttrRange{}}, Cont);
    Frame.erase(Frame.begin(), Frame.begin() + 2);
    return Frame;
}

// A request with any continuation field, even one no client library would build.
BYTES WithRawCont(BYTES Pdu, const BYTES& Field)
{
    Pdu.pop_back(); // the empty state's length byte
    Pdu.insert(Pdu.end(), Field.begin(), Field.end());
    size_t P = Pdu.size() - 5;
    Pdu[3] = uint8_t(P >> 8);
    Pdu[4] = uint8_t(P);
    return Pdu;
}

struct CONTEXT {
    const ABUSE_TARGET& T;
    const CResponseCheck& Check;
    const LOOP_OPTIONS& Good;
    ABUSE_RESULT& R;
    BYTES Series; // the browse series every well-behaved client must get again
    std::mt19937 Rng;
    uint16_t Tid = 0x4000;

    uint32_t Random(uint32_t Below) { return Below == 0 ? 0 : uint32_t(Rng() % Below); }
    BYTES RandomBytes(size_t n)
    {
        BYTES b(n);
        for (auto& x : b)
            x = uint8_t(Rng());
        return b;
    }
    void SampleMemory()
    {
        PROC_MEMORY M;
        if (T.Pid > 0 && ReadProcMemory(T.Pid, M) && M.RssKb > R.Peak.RssKb) R.Peak = M;
    }
};

// On an open channel: sends Tid's reference request and reads up to its answer, which must equal
// the reference. What comes before it must be whole response PDUs (the answers to what was sent
// before); they are counted.
bool GoodOnChannel(CONTEXT& X, int Fd, uint64_t& Before, uint64_t& Errors, std::string& Err)
{
    uint16_t Tid = ++X.Tid;
    if (!SendAll(Fd, SearchAttrPdu(Tid, X.Good.Uuid))) {
        Err = std::string("the well-behaved request cannot be sent: ") + strerror(errno);
        return false;
    }
    BYTES m;
    for (int Messages = 0; Messages < 64; Messages++) {
        if (!Receive(Fd, m, ANSWER_MS)) {
            Err = "no answer to the well-behaved request";
            return false;
        }
        std::string Ignored;
        if (X.Check.Check(m.data(), m.size(), Tid, Ignored)) {
            X.R.GoodChecks++;
            return true;
        }
        size_t ErrorResponses = 0;
        if (!WellFormedResponses(m.data(), m.size(), ErrorResponses)) {
            Err = "a malformed response (" + std::to_string(m.size()) + " bytes, first 0x" +
                  std::to_string(m.empty() ? 0 : m[0]) + ")";
            return false;
        }
        Before++;
        Errors += ErrorResponses;
    }
    Err = "the well-behaved answer did not come";
    return false;
}

// A fresh channel: the reference answer, then the whole browse series, both byte for byte.
bool GoodClient(CONTEXT& X, std::string& Err)
{
    int Fd = ConnectSeqpacket(X.T.Sdp);
    if (Fd < 0) {
        Err = std::string("the well-behaved client cannot connect: ") + strerror(errno);
        return false;
    }
    uint64_t Before = 0, Errors = 0;
    BYTES Series;
    bool Ok = GoodOnChannel(X, Fd, Before, Errors, Err) &&
              BrowseSeries(Fd, SERIES_MAX_BYTES, Series, Err);
    if (Ok && Before != 0) {
        Err = "a fresh channel got an answer it did not ask for";
        Ok = false;
    }
    if (Ok && Series != X.Series) {
        Err = "the browse series differs from the first one";
        Ok = false;
    }
    if (Ok) X.R.GoodChecks++;
    close(Fd);
    return Ok;
}

template <class BODY> void RunCase(CONTEXT& X, const char* Name, BODY Body)
{
    ABUSE_CASE C;
    C.Name = Name;
    auto Begin = Clock::now();
    Body(C);
    std::string Err;
    if (C.Fault.empty() && !GoodClient(X, Err)) C.Fault = "after the case: " + Err;
    C.Seconds = std::chrono::duration<double>(Clock::now() - Begin).count();
    X.SampleMemory();
    X.R.Cases.push_back(C);
}

void CloseAll(std::vector<int>& Fds)
{
    for (int Fd : Fds)
        if (Fd >= 0) close(Fd);
    Fds.clear();
}

// ---------------------------------------------------------------------------------------------
// SEQPACKET channels

void BadFrames(CONTEXT& X, ABUSE_CASE& C)
{
    std::vector<BYTES> Frames(4); // empty
    BYTES Req = SearchAttrPdu(1, X.Good.Uuid);
    for (size_t n = 1; n < Req.size(); n++)
        Frames.emplace_back(Req.begin(), Req.begin() + n); // truncated
    BYTES Longer = Req, Shorter = Req;
    Longer[4] = uint8_t(Longer[4] + 9);
    Shorter[4] = uint8_t(Shorter[4] - 3);
    Frames.push_back(Longer);
    Frames.push_back(Shorter);
    for (size_t Size : {700, 1100, 4000, 65535, 65536 + 5, 70000}) {
        BYTES Big = Req;
        Big.resize(Size, 0x35); // over the MTU, over a read, over an L2CAP payload
        Frames.push_back(Big);
    }
    for (int i = 0; i < 300; i++) {
        BYTES f = X.RandomBytes(X.Random(1100));
        // Most with a request's PDU ID and a length that agrees, so they reach the parsers.
        if (f.size() >= 5 && i % 3 != 0) {
            f[0] = uint8_t(2 + 2 * X.Random(3));
            f[3] = uint8_t((f.size() - 5) >> 8);
            f[4] = uint8_t(f.size() - 5);
        }
        Frames.push_back(f);
    }
    int Fd = ConnectSeqpacket(X.T.Sdp);
    if (Fd < 0) {
        C.Fault = "cannot connect";
        return;
    }
    for (const BYTES& f : Frames) {
        if (send(Fd, f.data(), f.size(), MSG_NOSIGNAL) != ssize_t(f.size())) {
            C.Fault = "send of a " + std::to_string(f.size()) + "-byte frame: " + strerror(errno);
            break;
        }
        C.Sent++;
        std::string Err;
        if (!GoodOnChannel(X, Fd, C.Answered, C.Refused, Err)) {
            C.Fault = "after a " + std::to_string(f.size()) + "-byte frame: " + Err;
            break;
        }
    }
    close(Fd);
}

// GCC 12 at -O3 sees the vector inserts below write past an empty buffer
// (a stringop-overflow false positive of its inlined std::vector), not a
// fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
void ForgedContinuation(CONTEXT& X, ABUSE_CASE& C)
{
    int Fd = ConnectSeqpacket(X.T.Sdp);
    BYTES m;
    kivctl::Response First;
    std::string Err;
    if (Fd < 0 || !SendAll(Fd, BrowsePdu(1, SERIES_MAX_BYTES, {})) || !Receive(Fd, m, ANSWER_MS) ||
        !kivctl::ParseResponse(m.data(), m.size(), kivctl::PDU_SEARCH_ATTR_RESPONSE, 1, First,
                               Err) ||
        First.Cont.empty()) {
        C.Fault = "no continued first response (" + std::to_string(Fd) + ", " +
                  std::to_string(m.size()) + " bytes): " + Err;
        if (Fd >= 0) close(Fd);
        return;
    }
    for (int i = 0; i < 400 && C.Fault.empty(); i++) {
        BYTES State = First.Cont;
        BYTES Field;
        switch (i % 5) {
        case 0: // one to four bytes changed
            for (uint32_t k = 0, n = 1 + X.Random(4); k < n; k++)
                State[X.Random(uint32_t(State.size()))] = uint8_t(X.Rng());
            break;
        case 1: // random, of any allowed length
            State = X.RandomBytes(1 + X.Random(16));
            break;
        case 2: // cut short, or longer than the server's
            State.resize(i % 2 ? State.size() - 1 - X.Random(uint32_t(State.size()) - 1)
                               : std::min<size_t>(16, State.size() + 1 + X.Random(4)),
                         uint8_t(X.Rng()));
            break;
        case 3: // a length byte over 16, or one that disagrees with the bytes after it
            Field.push_back(uint8_t(17 + X.Random(239)));
            break;
        default: // the true state, on a request that asks for something else
            break;
        }
        if (Field.empty()) {
            Field.push_back(uint8_t(State.size()));
            Field.insert(Field.end(), State.begin(), State.end());
        } else {
            BYTES Tail = X.RandomBytes(X.Random(20));
            Field.insert(Field.end(), Tail.begin(), Tail.end());
        }
        BYTES Pdu = i % 5 == 4
                        ? WithRawCont(SearchAttrPdu(uint16_t(100 + i), X.Good.Uuid), Field)
                        : WithRawCont(BrowsePdu(uint16_t(100 + i), SERIES_MAX_BYTES, {}), Field);
        if (!SendAll(Fd, Pdu)) {
            C.Fault = std::string("send: ") + strerror(errno);
            break;
        }
        C.Sent++;
        if (!GoodOnChannel(X, Fd, C.Answered, C.Refused, Err))
            C.Fault = "after a forged state: " + Err;
    }
    // Pipelined requests of one channel may be answered out of order (the device's workers run
    // in parallel): an answer that came after the next well-behaved one is counted here.
    BYTES Late;
    while (C.Fault.empty() && C.Answered < C.Sent && Receive(Fd, Late, 500)) {
        size_t Errors = 0;
        if (!WellFormedResponses(Late.data(), Late.size(), Errors))
            C.Fault = "a malformed response";
        C.Answered++;
        C.Refused += Errors;
    }
    // A request the server cannot take is answered with an error response, never with silence.
    if (C.Fault.empty() && C.Answered != C.Sent)
        C.Fault = std::to_string(C.Sent - C.Answered) + " forged states got no answer";
    close(Fd);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void SilentClients(CONTEXT& X, ABUSE_CASE& C)
{
    std::vector<int> Fds;
    for (int i = 0; i < 6; i++) // connect and never send
        Fds.push_back(ConnectSeqpacket(X.T.Sdp));
    // One sends a request and never reads; one floods continued requests and never reads.
    int Once = ConnectSeqpacket(X.T.Sdp), Flood = ConnectSeqpacket(X.T.Sdp);
    Fds.push_back(Once);
    Fds.push_back(Flood);
    if (std::count(Fds.begin(), Fds.end(), -1) != 0) {
        C.Fault = "cannot connect";
        CloseAll(Fds);
        return;
    }
    SendAll(Once, BrowsePdu(1, SERIES_MAX_BYTES, {}));
    C.Sent++;
    auto Deadline = Clock::now() + std::chrono::seconds(10);
    for (uint16_t Tid = 1; Tid <= 5000 && Clock::now() < Deadline; Tid++) {
        BYTES Pdu = BrowsePdu(Tid, SERIES_MAX_BYTES, {});
        if (send(Flood, Pdu.data(), Pdu.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;
            // The daemon reads at its pace: wait a little for room, then go on.
            pollfd P{Flood, POLLOUT, 0};
            if (poll(&P, 1, 200) <= 0) break;
            continue;
        }
        C.Sent++;
    }
    // With all of them still there, a well-behaved client is served.
    std::string Err;
    if (!GoodClient(X, Err)) C.Fault = "while they were connected: " + Err;
    CloseAll(Fds);
}

void HalfWay(CONTEXT& X, ABUSE_CASE& C)
{
    for (int i = 0; i < 60 && C.Fault.empty(); i++) {
        int Fd = ConnectSeqpacket(X.T.Sdp);
        if (Fd < 0) {
            C.Fault = "cannot connect";
            break;
        }
        SendAll(Fd, BrowsePdu(1, SERIES_MAX_BYTES, {}));
        C.Sent++;
        BYTES m;
        kivctl::Response R;
        std::string Err;
        // A third close before the first response, the others after asking for the next.
        if (i % 3 != 0 && Receive(Fd, m, ANSWER_MS) &&
            kivctl::ParseResponse(m.data(), m.size(), kivctl::PDU_SEARCH_ATTR_RESPONSE, 1, R,
                                  Err)) {
            C.Answered++;
            SendAll(Fd, BrowsePdu(2, SERIES_MAX_BYTES, R.Cont));
            C.Sent++;
        } else if (i % 3 != 0) {
            C.Fault = "no first response: " + Err;
        }
        close(Fd);
    }
}

void ChannelsAtOnce(CONTEXT& X, ABUSE_CASE& C)
{
    constexpr int N = 20;
    std::vector<int> Fds;
    for (int i = 0; i < N; i++) {
        Fds.push_back(ConnectSeqpacket(X.T.Sdp));
        if (Fds.back() < 0) {
            C.Fault = "cannot connect";
            CloseAll(Fds);
            return;
        }
        C.Sent++;
    }
    for (int i = 0; i < N; i++)
        SendAll(Fds[i], SearchAttrPdu(uint16_t(i + 1), X.Good.Uuid));
    for (int i = 0; i < N && C.Fault.empty(); i++) {
        BYTES m;
        std::string Err;
        pollfd P{Fds[i], POLLIN, 0};
        if (poll(&P, 1, ANSWER_MS) <= 0) {
            C.Fault = "channel " + std::to_string(i) + " was neither answered nor closed";
        } else if (Receive(Fds[i], m, 0)) {
            if (X.Check.Check(m.data(), m.size(), uint16_t(i + 1), Err))
                C.Answered++;
            else
                C.Fault = "channel " + std::to_string(i) + ": " + Err;
        } else {
            C.Refused++; // closed by the daemon: no channel context for it
        }
    }
    // The device has 16 contexts: as many answered, the rest refused at once.
    if (C.Fault.empty() && (C.Answered != MAX_CHANNELS || C.Refused != N - MAX_CHANNELS))
        C.Fault = std::to_string(C.Answered) + " answered and " + std::to_string(C.Refused) +
                  " refused, expected " + std::to_string(MAX_CHANNELS) + " and " +
                  std::to_string(N - MAX_CHANNELS);
    CloseAll(Fds);
}

void ConnectCloseCycles(CONTEXT& X, ABUSE_CASE& C)
{
    for (int i = 0; i < 1000 && C.Fault.empty(); i++) {
        int Fd = ConnectSeqpacket(X.T.Sdp);
        if (Fd < 0) {
            C.Fault = std::string("cycle ") + std::to_string(i) + ": cannot connect";
            break;
        }
        C.Sent++;
        if (i % 2 == 1) SendAll(Fd, SearchAttrPdu(uint16_t(i), X.Good.Uuid));
        if (i % 4 == 1) {
            BYTES m;
            std::string Err;
            if (!Receive(Fd, m, ANSWER_MS) || !X.Check.Check(m.data(), m.size(), uint16_t(i), Err))
                C.Fault = "cycle " + std::to_string(i) + ": no right answer " + Err;
            else
                C.Answered++;
        }
        close(Fd);
    }
}

// One client floods the daemon (frames of 204 header-only requests, then frames of 40 browse
// requests) and never reads, while a well-behaved one asks its question 20 times. Each channel
// gets its turn, so every answer comes after at most one of the flooder's frames: a few
// milliseconds even under a sanitizer. A server that works through the flooder's queue first
// makes each answer wait for all of it (half a second and more), and fails the bound.
void FloodingNeighbour(CONTEXT& X, ABUSE_CASE& C)
{
    constexpr int Exchanges = 20;
    constexpr double BoundS = 2.0;
    for (FLOOD Kind : {FLOOD::Headers, FLOOD::Browse}) {
        std::string Err;
        pid_t Flooder = StartFlooder(X.T.Sdp, Kind, Err);
        if (Flooder < 0) {
            C.Fault = Err;
            return;
        }
        C.Sent++;
        // Let the flood build up before the neighbour asks.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int Fd = ConnectSeqpacket(X.T.Sdp);
        auto Begin = Clock::now();
        for (int i = 0; i < Exchanges && Fd >= 0 && C.Fault.empty(); i++) {
            BYTES m;
            uint16_t Tid = ++X.Tid;
            if (!SendAll(Fd, SearchAttrPdu(Tid, X.Good.Uuid)) || !Receive(Fd, m, ANSWER_MS) ||
                !X.Check.Check(m.data(), m.size(), Tid, Err))
                C.Fault =
                    std::string("beside a ") + FloodName(Kind) + " flood: no right answer " + Err;
            else
                C.Answered++;
        }
        double Seconds = std::chrono::duration<double>(Clock::now() - Begin).count();
        if (Fd < 0) C.Fault = "cannot connect beside the flood";
        if (C.Fault.empty() && Seconds > BoundS) {
            char Text[160];
            snprintf(Text, sizeof(Text),
                     "beside a %s flood %d answers took %.2f s (the bound is %.1f s)",
                     FloodName(Kind), Exchanges, Seconds, BoundS);
            C.Fault = Text;
        }
        if (Fd >= 0) close(Fd);
        StopProcess(Flooder);
        // A closed channel's frames go with it: once the flooder is gone the daemon idles.
        if (C.Fault.empty() && X.T.Pid > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            int64_t Before = ProcessCpuUs(X.T.Pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            int64_t Used = ProcessCpuUs(X.T.Pid) - Before;
            if (Before >= 0 && Used > 250000)
                C.Fault = "after a " + std::string(FloodName(Kind)) + " flooder closed, the " +
                          "daemon went on working (" + std::to_string(Used / 1000) +
                          " ms of CPU in 500 ms)";
        }
    }
}

// Sixteen clients connect and say nothing: every channel context of the device is taken. The
// daemon closes each once it has been idle for its timeout, and then serves others again.
void IdleChannels(CONTEXT& X, ABUSE_CASE& C)
{
    std::vector<int> Fds;
    for (unsigned i = 0; i < MAX_CHANNELS; i++) {
        Fds.push_back(ConnectSeqpacket(X.T.Sdp));
        if (Fds.back() < 0) {
            C.Fault = "cannot connect";
            CloseAll(Fds);
            return;
        }
        C.Sent++;
    }
    const int WaitMs = int(X.T.IdleTimeoutS) * 1000 + 3000;
    for (int Fd : Fds)
        if (ClosedByPeer(Fd, WaitMs)) C.Refused++;
    if (C.Refused != MAX_CHANNELS)
        C.Fault = std::to_string(MAX_CHANNELS - C.Refused) + " idle channels were not closed " +
                  "within the idle timeout";
    CloseAll(Fds);
}

// ---------------------------------------------------------------------------------------------
// The control socket

BYTES CtlMessage(uint8_t Op, uint32_t Tag, const BYTES& Body = {})
{
    BYTES m = kivctl::CtlHeader(Op, Tag);
    m.insert(m.end(), Body.begin(), Body.end());
    return m;
}

BYTES Le32(uint32_t v)
{
    BYTES b;
    kivctl::PutLe32(b, v);
    return b;
}

BYTES IoctlBody(uint32_t Code, uint32_t OutLength, const BYTES& In = {})
{
    BYTES b = Le32(Code);
    kivctl::PutLe32(b, OutLength);
    b.insert(b.end(), In.begin(), In.end());
    return b;
}

// A reply with Tag within the time; other replies are counted as they pass.
bool CtlWait(int Fd, uint32_t Tag, kivctl::CtlReply& Out, std::string& Err)
{
    BYTES m;
    for (int i = 0; i < 256; i++) {
        if (!Receive(Fd, m, ANSWER_MS)) {
            Err = "no reply to tag " + std::to_string(Tag);
            return false;
        }
        if (!kivctl::ParseReply(m.data(), m.size(), Out)) {
            Err = "a malformed reply of " + std::to_string(m.size()) + " bytes";
            return false;
        }
        if (Out.Tag == Tag) return true;
    }
    Err = "the reply to tag " + std::to_string(Tag) + " did not come";
    return false;
}

int CtlOpen(CONTEXT& X, std::string& Err)
{
    int Fd = ConnectSeqpacket(X.T.Control);
    kivctl::CtlReply R;
    if (Fd < 0) {
        Err = "cannot connect to the control socket";
        return -1;
    }
    if (!SendAll(Fd, CtlMessage(kivctl::CTL_OPEN, 1, Le32(0))) || !CtlWait(Fd, 1, R, Err) ||
        R.Status != 0) {
        if (Err.empty()) Err = "cannot open the device";
        close(Fd);
        return -1;
    }
    return Fd;
}

// Control messages of every bad shape: empty, cut short, unknown operations, padding where
// zeros belong, bodies of the wrong length, oversized, random.
std::vector<BYTES> GarbageMessages(CONTEXT& X)
{
    using namespace kivctl;
    std::vector<BYTES> Messages(2); // empty
    BYTES Open = CtlMessage(CTL_OPEN, 7, Le32(0));
    for (size_t n = 1; n < Open.size(); n++)
        Messages.emplace_back(Open.begin(), Open.begin() + n); // truncated
    for (uint8_t Op : {0, 7, 0x7F, 0x80, 0x82, 0xFF})
        Messages.push_back(CtlMessage(Op, 100 + Op));
    BYTES Padded = Open;
    Padded[3] = 1;
    Messages.push_back(Padded);
    for (size_t n : {0, 3, 5, 9})
        Messages.push_back(CtlMessage(CTL_OPEN, 200 + uint32_t(n), BYTES(n, 0)));
    for (size_t n = 0; n < 8; n++)
        Messages.push_back(CtlMessage(CTL_IOCTL, 300 + uint32_t(n), BYTES(n, 0x11)));
    Messages.push_back(CtlMessage(CTL_CONNECT, 400));
    Messages.push_back(CtlMessage(CTL_DISCONNECT, 401, {0x40}));
    for (size_t n : {size_t(0x10000) + 1, CTL_MAX_MESSAGE + 1, size_t(0x40000)}) {
        BYTES Big = CtlMessage(CTL_IOCTL, 500 + uint32_t(n % 97), X.RandomBytes(n - 8));
        Messages.push_back(Big); // oversized
    }
    for (int i = 0; i < 300; i++) {
        BYTES m = X.RandomBytes(X.Random(64));
        if (m.size() >= 8 && i % 2 == 0) {
            m[0] = uint8_t(1 + X.Random(7));
            m[1] = m[2] = m[3] = 0;
            if (m[0] == CTL_OPEN) m[8 % m.size()] |= 0x10; // never device 0: nothing opened
        }
        Messages.push_back(m);
    }
    return Messages;
}

// Sends each message on a connection with nothing open: every one gets its reply at once, in
// order.
void SendGarbage(CONTEXT& X, const std::vector<BYTES>& Messages, ABUSE_CASE& C)
{
    using namespace kivctl;
    int Fd = ConnectSeqpacket(X.T.Control);
    if (Fd < 0) {
        C.Fault = "cannot connect to the control socket";
        return;
    }
    for (const BYTES& m : Messages) {
        if (send(Fd, m.data(), m.size(), MSG_NOSIGNAL) != ssize_t(m.size())) {
            if (errno == EMSGSIZE) continue; // larger than the socket takes at all
            C.Fault = std::string("send: ") + strerror(errno);
            break;
        }
        C.Sent++;
        BYTES Raw;
        CtlReply R;
        if (!Receive(Fd, Raw, ANSWER_MS) || !ParseReply(Raw.data(), Raw.size(), R)) {
            C.Fault = "no reply to a " + std::to_string(m.size()) + "-byte message";
            break;
        }
        uint32_t Tag = m.size() >= CTL_HEADER_SIZE ? GetLe32(m.data() + 4) : 0;
        if (R.Tag != Tag) {
            C.Fault =
                "a reply with tag " + std::to_string(R.Tag) + " to tag " + std::to_string(Tag);
            break;
        }
        C.Answered++;
        if (R.Status & 0x80000000u) C.Refused++;
    }
    close(Fd);
}

// With the device open: device-control requests of unknown codes and of the codes that only
// read, with random input and output lengths.
void SendRandomIoctls(CONTEXT& X, ABUSE_CASE& C)
{
    using namespace kivctl;
    std::string Err;
    int Fd = CtlOpen(X, Err);
    if (Fd < 0) {
        C.Fault = Err;
        return;
    }
    const uint32_t Codes[] = {IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, IOCTL_KIVSDP_GET_DATABASE,
                              IOCTL_KIVSDP_GET_RECORD_HANDLES, IOCTL_KIVSDP_GET_DEBUG_INFO};
    for (uint32_t Tag = 2; Tag < 202 && C.Fault.empty(); Tag++) {
        uint32_t Code = Tag % 3 == 0 ? uint32_t(X.Rng()) : Codes[X.Random(4)];
        if ((Code & 0xFFFFFF00u) == 0x80042000u && Code != Codes[0] && Code != Codes[1] &&
            Code != Codes[2] && Code != Codes[3])
            Code ^= 0x1000; // none that changes the database or pends
        BYTES Body = IoctlBody(Code, X.Random(0x2000), X.RandomBytes(X.Random(600)));
        CtlReply R;
        if (!SendAll(Fd, CtlMessage(CTL_IOCTL, Tag, Body)) || !CtlWait(Fd, Tag, R, Err)) {
            char Text[64];
            snprintf(Text, sizeof(Text), "device-control request 0x%08x: ", unsigned(Code));
            C.Fault = Text + Err;
            break;
        }
        C.Sent++;
        C.Answered++;
        if (R.Status & 0x80000000u) C.Refused++;
    }
    close(Fd);
}

void ControlGarbage(CONTEXT& X, ABUSE_CASE& C)
{
    SendGarbage(X, GarbageMessages(X), C);
    if (C.Fault.empty()) SendRandomIoctls(X, C);
}

void ControlPendingMemory(CONTEXT& X, ABUSE_CASE& C)
{
    std::vector<int> Fds;
    BYTES Listen = IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_STATUS, kivctl::CTL_MAX_IO);
    for (int Client = 0; Client < 20 && C.Fault.empty(); Client++) {
        std::string Err;
        int Fd = CtlOpen(X, Err);
        if (Fd < 0) {
            C.Fault = Err;
            break;
        }
        Fds.push_back(Fd);
        for (uint32_t Tag = 2; Tag < 10; Tag++) {
            SendAll(Fd, CtlMessage(kivctl::CTL_IOCTL, Tag, Listen));
            C.Sent++;
        }
        // Refusals are replied to at once, in order: all of them come before the reply to a
        // request that completes at once.
        SendAll(Fd, CtlMessage(kivctl::CTL_IOCTL, 99,
                               IoctlBody(IOCTL_KIVSDP_GET_DEBUG_INFO, sizeof(KIVSDP_DEBUG_INFO))));
        BYTES Raw;
        kivctl::CtlReply R;
        while (Receive(Fd, Raw, ANSWER_MS) && kivctl::ParseReply(Raw.data(), Raw.size(), R) &&
               R.Tag != 99)
            (R.Status == 0xC000009Au ? C.Refused : C.Answered)++; // answered: an event came
        if (R.Tag != 99) C.Fault = "no reply to a debug information request";
    }
    X.SampleMemory(); // the peak: everything the daemon took is held now
    // A listen an event completed is replied to at the daemon's next completion poll, which can
    // come after the reply to the debug request: those late replies are not held requests.
    for (int Fd : Fds) {
        BYTES Raw;
        kivctl::CtlReply R;
        while (Receive(Fd, Raw, 20) && kivctl::ParseReply(Raw.data(), Raw.size(), R))
            (R.Status == 0xC000009Au ? C.Refused : C.Answered)++;
    }
    // Each client holds at most 1 MiB of buffers, all of them at most 8 MiB.
    uint64_t Held = C.Sent - C.Refused - C.Answered;
    if (C.Fault.empty() && Held * kivctl::CTL_MAX_IO > 8u * 1024 * 1024)
        C.Fault = std::to_string(Held) + " requests of " + std::to_string(kivctl::CTL_MAX_IO) +
                  " bytes held, more than the bound";
    CloseAll(Fds);
}

void ControlNeverReads(CONTEXT& X, ABUSE_CASE& C)
{
    std::string Err;
    int Fd = CtlOpen(X, Err);
    if (Fd < 0) {
        C.Fault = Err;
        return;
    }
    BYTES m = CtlMessage(kivctl::CTL_IOCTL, 2, IoctlBody(IOCTL_KIVSDP_GET_DATABASE, 0x2000));
    bool Dropped = false;
    auto Deadline = Clock::now() + std::chrono::seconds(20);
    while (!Dropped && Clock::now() < Deadline) {
        ssize_t Sent = send(Fd, m.data(), m.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (Sent > 0) {
            C.Sent++;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Dropped = true;
        } else {
            pollfd P{Fd, POLLOUT, 0};
            poll(&P, 1, 10);
        }
    }
    close(Fd);
    if (!Dropped)
        C.Fault = "a client that never reads was not dropped";
    else
        C.Refused = 1;
}

void ControlConnections(CONTEXT& X, ABUSE_CASE& C)
{
    std::vector<int> Fds;
    for (int i = 0; i < 70; i++) {
        Fds.push_back(ConnectSeqpacket(X.T.Control));
        C.Sent++;
    }
    for (int Fd : Fds) {
        if (Fd < 0 || !SendAll(Fd, CtlMessage(kivctl::CTL_OPEN, 1, Le32(0)))) {
            C.Refused++;
            continue;
        }
        kivctl::CtlReply R;
        std::string Err;
        if (CtlWait(Fd, 1, R, Err) && R.Status == 0)
            C.Answered++;
        else if (ClosedByPeer(Fd, 0) || Err.find("no reply") != std::string::npos)
            C.Refused++;
    }
    // At most 64 clients at a time; the others are closed at once.
    if (C.Answered > 64 || C.Answered + C.Refused != 70)
        C.Fault = std::to_string(C.Answered) + " clients served, " + std::to_string(C.Refused) +
                  " refused of 70";
    CloseAll(Fds);
    for (int i = 0; i < 300 && C.Fault.empty(); i++) {
        int Fd = ConnectSeqpacket(X.T.Control);
        C.Sent++;
        if (Fd < 0) {
            C.Fault = "control connect/close cycle " + std::to_string(i) + ": cannot connect";
            break;
        }
        if (i % 2 == 0) SendAll(Fd, CtlMessage(kivctl::CTL_OPEN, 1, Le32(0)));
        if (i % 4 == 0) {
            kivctl::CtlReply R;
            std::string Err;
            if (!CtlWait(Fd, 1, R, Err) || R.Status != 0)
                C.Fault = "control cycle " + std::to_string(i) + ": " + Err;
            else
                C.Answered++;
        }
        close(Fd);
    }
}

// A child process that starts a client-role transaction through the control socket (a channel
// of the daemon to its own SDP socket through a relay, a listen for the answer, a status
// listen, the request) and floods a channel of its own, then is killed before it reads anything.
[[noreturn]] void Victim(const ABUSE_TARGET& T, const std::string& Server, int Ready)
{
    using namespace kivctl;
    int Fd = ConnectSeqpacket(T.Control);
    BYTES Raw;
    CtlReply R;
    if (Fd < 0 || !SendAll(Fd, CtlMessage(CTL_OPEN, 1, Le32(0))) || !Receive(Fd, Raw, 5000) ||
        !SendAll(Fd, CtlMessage(CTL_CONNECT, 2, BYTES(Server.begin(), Server.end()))) ||
        !Receive(Fd, Raw, 5000) || !ParseReply(Raw.data(), Raw.size(), R) || R.Status != 0)
        _exit(1);
    uint16_t Cid = uint16_t(R.Information);
    SendAll(Fd, CtlMessage(CTL_IOCTL, 3,
                           IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE,
                                     KIVSDP_LISTEN_RESPONSE_MIN_LEN)));
    SendAll(Fd, CtlMessage(CTL_IOCTL, 4, IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_STATUS, 4)));
    BYTES Frame = SearchAttrRequest(Cid, 9, {kivtool::MakeUuid16(UUID_PUBLIC_BROWSE_GROUP)},
                                    SERIES_MAX_BYTES, {AttrRange{}}, {});
    SendAll(Fd, CtlMessage(CTL_IOCTL, 5, IoctlBody(IOCTL_KIVSDP_SEND_SDP_REQUEST, 0, Frame)));
    int Ch = ConnectSeqpacket(T.Sdp);
    for (uint16_t Tid = 1; Ch >= 0 && Tid <= 100; Tid++) {
        BYTES Pdu = BrowsePdu(Tid, SERIES_MAX_BYTES, {});
        send(Ch, Pdu.data(), Pdu.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    (void)!write(Ready, "R", 1);
    for (;;)
        pause();
}

void KilledMidTransaction(CONTEXT& X, ABUSE_CASE& C)
{
    CRelay Relay;
    std::string Err;
    if (!Relay.Start(X.T.Sdp, Err)) {
        C.Fault = Err;
        return;
    }
    for (int Round = 0; Round < 5 && C.Fault.empty(); Round++) {
        int Pipe[2];
        if (pipe(Pipe) != 0) {
            C.Fault = std::string("pipe: ") + strerror(errno);
            break;
        }
        fflush(stdout);
        pid_t Pid = fork();
        if (Pid == 0) {
            close(Pipe[0]);
            Victim(X.T, Relay.Path(), Pipe[1]);
        }
        close(Pipe[1]);
        if (Pid < 0) {
            close(Pipe[0]);
            C.Fault = std::string("fork: ") + strerror(errno);
            break;
        }
        C.Sent++;
        pollfd P{Pipe[0], POLLIN, 0};
        char Byte = 0;
        bool Ready = poll(&P, 1, 10000) > 0 && read(Pipe[0], &Byte, 1) == 1;
        // Killed at a different moment of the transaction each round.
        std::this_thread::sleep_for(std::chrono::milliseconds(Round * 3));
        kill(Pid, SIGKILL);
        int Status = 0;
        waitpid(Pid, &Status, 0);
        close(Pipe[0]);
        if (!Ready) C.Fault = "the client to be killed did not start its transaction";
    }
}

// ---------------------------------------------------------------------------------------------
// What a client must not reach through the daemon

// The L2CAP device's own listen-for-status code (the device's control code, buffered, any
// access), which the SDP device passes down as it passes every code it does not know.
constexpr uint32_t L2CAP_LISTEN_FOR_STATUS = 0x80022018;

// One channel after another, twice as many as the device has contexts: each must be answered.
void ChannelsInTurn(CONTEXT& X, ABUSE_CASE& C, const char* When)
{
    for (unsigned i = 0; i < 2 * MAX_CHANNELS && C.Fault.empty(); i++) {
        int Fd = ConnectSeqpacket(X.T.Sdp);
        uint16_t Tid = uint16_t(0x100 + i);
        BYTES m;
        std::string Err;
        if (Fd < 0 || !SendAll(Fd, SearchAttrPdu(Tid, X.Good.Uuid)) || !Receive(Fd, m, ANSWER_MS) ||
            !X.Check.Check(m.data(), m.size(), Tid, Err))
            C.Fault = "channel " + std::to_string(i + 1) + " " + When + " was not answered " + Err;
        else
            C.Answered++;
        if (Fd >= 0) close(Fd);
    }
}

// A control client sends the L2CAP device's listen through its handle on the SDP device: each
// is refused at once, and every channel is answered while the client is there and after.
void LowerDeviceRequests(CONTEXT& X, ABUSE_CASE& C)
{
    std::string Err;
    int Fd = CtlOpen(X, Err);
    if (Fd < 0) {
        C.Fault = Err;
        return;
    }
    for (uint32_t Tag = 2; Tag < 6 && C.Fault.empty(); Tag++) {
        kivctl::CtlReply R;
        C.Sent++;
        if (!SendAll(Fd,
                     CtlMessage(kivctl::CTL_IOCTL, Tag, IoctlBody(L2CAP_LISTEN_FOR_STATUS, 54))) ||
            !CtlWait(Fd, Tag, R, Err))
            C.Fault = "the L2CAP device's listen was not refused: " + Err;
        else if (R.Status & 0x80000000u)
            C.Refused++;
        else
            C.Fault = "the L2CAP device's listen was served to an application";
    }
    ChannelsInTurn(X, C, "while the client was there");
    close(Fd);
    ChannelsInTurn(X, C, "after the client had gone");
}

// A file's text; empty when it cannot be read.
std::string ReadText(const std::string& Path)
{
    std::string Text;
    if (FILE* F = Path.empty() ? nullptr : fopen(Path.c_str(), "rb")) {
        char Buf[65536];
        for (size_t n; (n = fread(Buf, 1, sizeof(Buf), F)) > 0;)
            Text.append(Buf, n);
        fclose(F);
    }
    return Text;
}

// Current size of a file, 0 when it cannot be read.
uint64_t FileSize(const std::string& Path)
{
    struct stat St;
    return stat(Path.c_str(), &St) == 0 ? uint64_t(St.st_size) : 0;
}

// Sends browse requests on Fd for Seconds without reading anything, as fast as the daemon reads.
void FloodFor(int Fd, double Seconds, ABUSE_CASE& C, uint16_t& Tid)
{
    auto Deadline = Clock::now() + std::chrono::microseconds(int64_t(Seconds * 1e6));
    uint8_t Answer[2048];
    while (Clock::now() < Deadline) {
        // Every answer is read, so the daemon never holds the flood back for an unread socket.
        while (recv(Fd, Answer, sizeof(Answer), MSG_DONTWAIT) > 0) {
        }
        BYTES Frame = FloodFrame(FLOOD::Headers, Tid);
        Tid = uint16_t(Tid + 204);
        if (send(Fd, Frame.data(), Frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            C.Sent++;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return;
        pollfd P{Fd, POLLIN | POLLOUT, 0};
        poll(&P, 1, 20);
    }
}

// With the SDP device's initial debug zones, a client that sends frames of 204 header-only
// requests as fast as the daemon takes them, reading every answer, makes the device print an
// error line for every request: the daemon's log grows by a bounded number of bytes a second,
// and a well-behaved client is answered meanwhile.
void LogFlood(CONTEXT& X, ABUSE_CASE& C)
{
    constexpr double MAX_LOG_BYTES_PER_SECOND = 64 * 1024;
    constexpr double MEASURED_SECONDS = 3;
    std::string Err;
    int Ctl = CtlOpen(X, Err);
    if (Ctl < 0) {
        C.Fault = Err;
        return;
    }
    auto SetZones = [&](uint32_t Mask, uint32_t Tag) {
        kivctl::CtlReply R;
        return SendAll(Ctl,
                       CtlMessage(kivctl::CTL_IOCTL, Tag,
                                  IoctlBody(IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, 0, Le32(Mask)))) &&
               CtlWait(Ctl, Tag, R, Err) && R.Status == 0;
    };
    int Flood = ConnectSeqpacket(X.T.Sdp);
    if (Flood < 0 || !SetZones(SDP_ZONE_DEFAULT_MASK, 2)) {
        C.Fault = "cannot start the flood: " + Err;
        if (Flood >= 0) close(Flood);
        close(Ctl);
        return;
    }
    // What the log lets through at once goes first: the flood goes on until the log says it
    // left lines out (at most 10 s, for a daemon that never does).
    uint16_t Tid = 0;
    size_t Seen = ReadText(X.T.Log).size();
    for (int i = 0; i < 20; i++) {
        FloodFor(Flood, 0.5, C, Tid);
        std::string Log = ReadText(X.T.Log);
        if (Log.find("line(s) suppressed", Seen) != std::string::npos) break;
        Seen = Log.size();
    }
    uint64_t Before = FileSize(X.T.Log);
    auto Begin = Clock::now();
    FloodFor(Flood, MEASURED_SECONDS / 2, C, Tid);
    if (!GoodClient(X, Err)) C.Fault = "during the flood: " + Err;
    FloodFor(Flood, MEASURED_SECONDS / 2, C, Tid);
    double Seconds = std::chrono::duration<double>(Clock::now() - Begin).count();
    uint64_t After = FileSize(X.T.Log);
    close(Flood);
    if (!SetZones(0, 3) && C.Fault.empty()) C.Fault = "cannot set the zones back: " + Err;
    close(Ctl);
    if (X.T.Log.empty()) return;
    double Rate = double(After - Before) / Seconds;
    char Text[64];
    snprintf(Text, sizeof(Text), "log %.1f kB/s", Rate / 1000);
    C.Figure = Text;
    if (C.Fault.empty() && Rate > MAX_LOG_BYTES_PER_SECOND)
        C.Fault = "the log grew by " + std::to_string(uint64_t(Rate)) + " bytes a second";
}

// CONNECT to the daemon's own sockets is refused. Through a relay of this process, its control
// socket answers an SDP request with a control reply: the daemon closes that channel instead of
// answering the reply, so only a few messages ever pass.
void ClientLoop(CONTEXT& X, ABUSE_CASE& C)
{
    std::string Err;
    int Fd = CtlOpen(X, Err);
    if (Fd < 0) {
        C.Fault = Err;
        return;
    }
    uint32_t Tag = 2;
    auto Connect = [&](const std::string& Path, kivctl::CtlReply& R) {
        C.Sent++;
        if (!SendAll(Fd, CtlMessage(kivctl::CTL_CONNECT, ++Tag, BYTES(Path.begin(), Path.end()))) ||
            !CtlWait(Fd, Tag, R, Err)) {
            C.Fault = "CONNECT to " + Path + ": " + Err;
            return false;
        }
        return true;
    };
    for (const std::string* Own : {&X.T.Sdp, &X.T.Control}) {
        kivctl::CtlReply R;
        if (!Connect(*Own, R)) break;
        if (R.Status & 0x80000000u) {
            C.Refused++;
            continue;
        }
        C.Fault = "CONNECT to its own socket " + *Own + " was not refused";
        SendAll(Fd, CtlMessage(kivctl::CTL_DISCONNECT, ++Tag,
                               {uint8_t(R.Information), uint8_t(R.Information >> 8)}));
    }
    CRelay Relay;
    kivctl::CtlReply R;
    if (C.Fault.empty() && !Relay.Start(X.T.Control, Err)) C.Fault = Err;
    if (C.Fault.empty() && Connect(Relay.Path(), R) && R.Status != 0)
        C.Fault = "CONNECT to a relay was refused: " + kivctl::StatusText(R.Status);
    if (!C.Fault.empty()) {
        close(Fd);
        return;
    }
    uint16_t Cid = uint16_t(R.Information);
    BYTES Frame =
        kivctl::SearchAttrRequest(Cid, 1, {X.Good.Uuid}, 0xFFFF, {kivctl::AttrRange{}}, {});
    SendAll(Fd, CtlMessage(kivctl::CTL_IOCTL, ++Tag,
                           IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE,
                                     KIVSDP_LISTEN_RESPONSE_MIN_LEN)));
    C.Sent++;
    if (!SendAll(Fd, CtlMessage(kivctl::CTL_IOCTL, ++Tag,
                                IoctlBody(IOCTL_KIVSDP_SEND_SDP_REQUEST, 0, Frame))) ||
        !CtlWait(Fd, Tag, R, Err)) {
        C.Fault = "the request on the relayed channel: " + Err;
        close(Fd);
        return;
    }
    // The daemon closes the channel at the first message that is no SDP response.
    for (int i = 0; i < 300 && (Relay.Connections() == 0 || Relay.OpenPairs() != 0); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    uint64_t Messages = Relay.Messages();
    close(Fd);
    if (Relay.Connections() == 0 || Relay.OpenPairs() != 0)
        C.Fault = "the channel to a peer that is no SDP server stayed open (" +
                  std::to_string(Messages) + " messages relayed)";
    else if (Messages == 0)
        C.Fault = "the request never reached the peer";
    else if (Messages > 4)
        C.Fault = std::to_string(Messages) + " messages relayed for one request";
    else
        C.Refused++;
    C.Figure = std::to_string(Messages) + " messages relayed";
}

// ---------------------------------------------------------------------------------------------
// Record directories with entries that are not record files

std::string FileText(const std::string& Path)
{
    std::ifstream In(Path);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// A daemon of the case's own on Dir/records, its output in Dir/kivsdpd.log.
pid_t SpawnDaemon(const ABUSE_TARGET& T, const std::string& Dir)
{
    return SpawnLogged({T.Daemon, "--records", Dir + "/records", "--listen", Dir + "/s.sdp",
                        "--control", Dir + "/s.ctl", "--zones", "0"},
                       Dir + "/kivsdpd.log");
}

size_t CountIn(const std::string& Text, const std::string& Part)
{
    size_t n = 0;
    for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
        n++;
    return n;
}

// Waits until the log holds Text Times times; false after TimeoutMs.
bool LogShows(const std::string& Log, const std::string& Text, int TimeoutMs, size_t Times = 1)
{
    auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (CountIn(FileText(Log), Text) < Times) {
        if (Clock::now() > Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A FIFO, a link to /dev/zero and a file over 1 MiB among the record files: the start is
// refused at once with one line naming the file, and a reload that meets one leaves the
// records served as they were.
// Entries of a record directory that are no files to read: a FIFO, a link to an endless device,
// a file past any record's size.
struct NOT_A_FILE {
    const char* Name;
    bool (*Make)(const std::string& Path);
};

const NOT_A_FILE NotFiles[] = {
    {"f.xml", [](const std::string& P) { return mkfifo(P.c_str(), 0600) == 0; }},
    {"z.xml", [](const std::string& P) { return symlink("/dev/zero", P.c_str()) == 0; }},
    {"big.xml",
     [](const std::string& P) {
         std::ofstream(P) << "<record>" << std::string(1024 * 1024, ' ') << "</record>\n";
         return true;
     }},
};

// Where the case's daemons run: their directory, its record files and their log.
struct RECORD_DIR {
    std::string Dir, Records, Log;
};

// A daemon started with each entry in its record directory refuses to start, naming it.
bool StartsRefused(CONTEXT& X, const RECORD_DIR& R, ABUSE_CASE& C)
{
    for (const NOT_A_FILE& B : NotFiles) {
        const std::string Path = R.Records + "/" + B.Name;
        if (!B.Make(Path)) {
            C.Fault = "cannot make " + Path + ": " + strerror(errno);
            return false;
        }
        pid_t Pid = SpawnDaemon(X.T, R.Dir);
        if (Pid < 0) {
            C.Fault = std::string("fork: ") + strerror(errno);
            return false;
        }
        C.Sent++;
        int Exit = WaitExit(Pid, 10000);
        if (Exit < 0) {
            kill(Pid, SIGKILL);
            WaitExit(Pid, 5000);
        }
        std::string Text = FileText(R.Log);
        unlink(Path.c_str());
        if (Exit != 1 || Text.rfind("kivsdpd: " + Path + ": ", 0) != 0 ||
            std::count(Text.begin(), Text.end(), '\n') != 1) {
            C.Fault = std::string(B.Name) + ": " +
                      (Exit < 0 ? "the start did not end within 10 s"
                                : "exit " + std::to_string(Exit) + ", output '" + Text + "'");
            return false;
        }
        C.Refused++;
    }
    return true;
}

// The same entries met by a reload: refused, and the daemon serves what it served.
void ReloadsRefused(CONTEXT& X, const RECORD_DIR& R, ABUSE_CASE& C)
{
    pid_t Pid = SpawnDaemon(X.T, R.Dir);
    if (Pid < 0) {
        C.Fault = std::string("fork: ") + strerror(errno);
        return;
    }
    if (!LogShows(R.Log, "serving", 10000)) {
        C.Fault = "the daemon with a good record file did not start: " + FileText(R.Log);
        kill(Pid, SIGKILL);
        WaitExit(Pid, 5000);
        return;
    }
    BYTES Before, After;
    std::string Err;
    int Fd = ConnectSeqpacket(R.Dir + "/s.sdp");
    bool Ok = Fd >= 0 && BrowseSeries(Fd, SERIES_MAX_BYTES, Before, Err);
    for (size_t i = 0; Ok && i < std::size(NotFiles); i++) {
        const std::string Path = R.Records + "/" + NotFiles[i].Name;
        NotFiles[i].Make(Path);
        kill(Pid, SIGHUP);
        C.Sent++;
        std::string Refusal = "reload: " + Path + ": ";
        if (!LogShows(R.Log, "records are unchanged", 10000, i + 1) ||
            CountIn(FileText(R.Log), Refusal) != 1) {
            Err = std::string("a reload meeting ") + NotFiles[i].Name + " was not refused";
            Ok = false;
        } else if (!BrowseSeries(Fd, SERIES_MAX_BYTES, After, Err) || After != Before) {
            Err = std::string("after a reload meeting ") + NotFiles[i].Name + ": " +
                  (Err.empty() ? "the records changed" : Err);
            Ok = false;
        }
        unlink(Path.c_str());
        if (Ok) C.Refused++;
    }
    if (Fd >= 0) close(Fd);
    kill(Pid, SIGTERM);
    int Exit = WaitExit(Pid, 30000);
    if (Exit < 0) {
        kill(Pid, SIGKILL);
        WaitExit(Pid, 5000);
    }
    if (!Ok)
        C.Fault = Err.empty() ? "no browse series from its daemon" : Err;
    else if (Exit != 0)
        C.Fault = "its daemon stopped with exit " + std::to_string(Exit);
}

void RecordFilesNotFiles(CONTEXT& X, ABUSE_CASE& C)
{
    RECORD_DIR R;
    R.Dir = X.T.Dir + "/record-files";
    R.Records = R.Dir + "/records";
    R.Log = R.Dir + "/kivsdpd.log";
    if (mkdir(R.Dir.c_str(), 0700) != 0 || mkdir(R.Records.c_str(), 0700) != 0) {
        C.Fault = "cannot make " + R.Records + ": " + strerror(errno);
        return;
    }
    std::ofstream(R.Records + "/good.xml")
        << "<record><attribute id=\"0x0001\"><sequence><uuid value=\"0x1105\"/>"
           "</sequence></attribute></record>\n";
    if (StartsRefused(X, R, C)) ReloadsRefused(X, R, C);
}

} // namespace

bool ABUSE_RESULT::Ok() const
{
    if (Cases.empty()) return false;
    for (const auto& C : Cases)
        if (!C.Fault.empty()) return false;
    return true;
}

bool WellFormedResponses(const uint8_t* p, size_t Length, size_t& ErrorResponses)
{
    // The daemon sends each response PDU as a message of its own.
    if (Length < 5) return false;
    uint8_t Id = p[0];
    size_t Parameters = size_t(p[3]) << 8 | p[4];
    if (Id != kivctl::PDU_ERROR_RESPONSE && Id != kivctl::PDU_SEARCH_RESPONSE &&
        Id != kivctl::PDU_ATTR_RESPONSE && Id != kivctl::PDU_SEARCH_ATTR_RESPONSE)
        return false;
    if (5 + Parameters != Length) return false;
    if (Id == kivctl::PDU_ERROR_RESPONSE) {
        if (Parameters < 2) return false;
        ErrorResponses++;
    }
    return true;
}

bool BrowseSeries(int Fd, uint16_t MaxBytes, std::vector<uint8_t>& Out, std::string& Err,
                  size_t* Responses)
{
    Out.clear();
    if (Responses != nullptr) *Responses = 0;
    BYTES Cont, m;
    for (uint16_t Tid = 1; Tid <= 200; Tid++) {
        if (!SendAll(Fd, BrowsePdu(Tid, MaxBytes, Cont)) || !Receive(Fd, m, ANSWER_MS)) {
            Err = "browse: no response " + std::to_string(Tid);
            return false;
        }
        kivctl::Response R;
        if (!kivctl::ParseResponse(m.data(), m.size(), kivctl::PDU_SEARCH_ATTR_RESPONSE, Tid, R,
                                   Err))
            return false;
        m[1] = m[2] = 0;
        Out.insert(Out.end(), m.begin(), m.end());
        if (Responses != nullptr) ++*Responses;
        if (R.Cont.empty()) return true;
        Cont = R.Cont;
    }
    Err = "browse: more than 200 responses";
    return false;
}

const std::vector<std::string>& AbuseCaseNames()
{
    static const std::vector<std::string> Names{"bad-frames",
                                                "forged-continuation",
                                                "silent-clients",
                                                "close-half-way",
                                                "channels-at-once",
                                                "connect-close-cycles",
                                                "flooding-neighbour",
                                                "idle-channels",
                                                "control-garbage",
                                                "control-pending-memory",
                                                "control-never-reads",
                                                "control-connections",
                                                "killed-mid-transaction",
                                                "lower-device-requests",
                                                "client-loop",
                                                "log-flood",
                                                "record-files-not-files"};
    return Names;
}

ABUSE_RESULT RunAbuse(const ABUSE_TARGET& Target, const CResponseCheck& Check,
                      const LOOP_OPTIONS& Good)
{
    ABUSE_RESULT Result;
    CONTEXT X{Target, Check, Good, Result, {}, std::mt19937(Target.Seed)};
    Result.HaveMemory = Target.Pid > 0 && ReadProcMemory(Target.Pid, Result.Before);
    Result.Peak = Result.Before;
    int Fd = ConnectSeqpacket(Target.Sdp);
    std::string Err;
    if (Fd < 0 || !BrowseSeries(Fd, SERIES_MAX_BYTES, X.Series, Err)) {
        ABUSE_CASE C;
        C.Name = "reference";
        C.Fault = "no reference browse series: " + Err;
        Result.Cases.push_back(C);
        if (Fd >= 0) close(Fd);
        return Result;
    }
    close(Fd);
    auto RunCase = [&](const char* Name, auto Body) {
        if (Target.Only.empty() ||
            std::find(Target.Only.begin(), Target.Only.end(), Name) != Target.Only.end())
            kivload::RunCase(X, Name, Body);
    };
    RunCase("bad-frames", [&](ABUSE_CASE& C) { BadFrames(X, C); });
    RunCase("forged-continuation", [&](ABUSE_CASE& C) { ForgedContinuation(X, C); });
    RunCase("silent-clients", [&](ABUSE_CASE& C) { SilentClients(X, C); });
    RunCase("close-half-way", [&](ABUSE_CASE& C) { HalfWay(X, C); });
    RunCase("channels-at-once", [&](ABUSE_CASE& C) { ChannelsAtOnce(X, C); });
    RunCase("connect-close-cycles", [&](ABUSE_CASE& C) { ConnectCloseCycles(X, C); });
    RunCase("flooding-neighbour", [&](ABUSE_CASE& C) { FloodingNeighbour(X, C); });
    if (Target.IdleTimeoutS != 0)
        RunCase("idle-channels", [&](ABUSE_CASE& C) { IdleChannels(X, C); });
    RunCase("control-garbage", [&](ABUSE_CASE& C) { ControlGarbage(X, C); });
    RunCase("control-pending-memory", [&](ABUSE_CASE& C) { ControlPendingMemory(X, C); });
    RunCase("control-never-reads", [&](ABUSE_CASE& C) { ControlNeverReads(X, C); });
    RunCase("control-connections", [&](ABUSE_CASE& C) { ControlConnections(X, C); });
    RunCase("killed-mid-transaction", [&](ABUSE_CASE& C) { KilledMidTransaction(X, C); });
    RunCase("lower-device-requests", [&](ABUSE_CASE& C) { LowerDeviceRequests(X, C); });
    RunCase("client-loop", [&](ABUSE_CASE& C) { ClientLoop(X, C); });
    // Last: the zones it raises make the log busy while it runs.
    RunCase("log-flood", [&](ABUSE_CASE& C) { LogFlood(X, C); });
    if (!Target.Daemon.empty() && !Target.Dir.empty())
        RunCase("record-files-not-files", [&](ABUSE_CASE& C) { RecordFilesNotFiles(X, C); });
    // Give the daemon a moment to free what the last clients left.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (Result.HaveMemory) Result.HaveMemory = ReadProcMemory(Target.Pid, Result.After);
    return Result;
}

} // namespace kivload
