// kivsdp-load's request, answer check, client loop and figures (see loadgen.h).

#include "loadgen.h"

#include "sdpclient.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kivload {
namespace {

using Clock = std::chrono::steady_clock;

void SetError(CHILD_RESULT& R, const std::string& Text)
{
    if (R.FirstError[0] == '\0') snprintf(R.FirstError, sizeof(R.FirstError), "%s", Text.c_str());
}

// An SDP response is at most an L2CAP payload; anything longer is wrong anyway.
constexpr size_t MAX_ANSWER = 0x10000;

} // namespace

std::vector<uint8_t> SearchAttrPdu(uint16_t Tid, const kivtool::DataElement& Uuid)
{
    std::vector<uint8_t> Frame =
        kivctl::SearchAttrRequest(0, Tid, {Uuid}, 0xFFFF, {kivctl::AttrRange{}}, {});
    // The request frame of the device's client path starts with the CID; a channel does not.
    Frame.erase(Frame.begin(), Frame.begin() + 2);
    return Frame;
}

bool CResponseCheck::SetReference(const uint8_t* Pdu, size_t Length, uint16_t Tid, std::string& Err)
{
    kivctl::Response R;
    if (!kivctl::ParseResponse(Pdu, Length, kivctl::PDU_SEARCH_ATTR_RESPONSE, Tid, R, Err))
        return false;
    if (!R.Cont.empty()) {
        Err = "the answer needs continuation; the load wants single-response requests";
        return false;
    }
    std::vector<kivtool::ServiceRecord> Records;
    if (!kivctl::ParseAttributeLists(R.AttributeBytes, Records, Err)) return false;
    if (Records.empty()) {
        Err = "no record matches the service class searched";
        return false;
    }
    m_Reference.assign(Pdu, Pdu + Length);
    m_Records = Records.size();
    return true;
}

bool CResponseCheck::Check(const uint8_t* Pdu, size_t Length, uint16_t Tid, std::string& Err) const
{
    if (m_Reference.empty()) {
        Err = "no reference answer";
        return false;
    }
    // The parser names the fault for malformed, mismatched and error answers.
    kivctl::Response R;
    if (!kivctl::ParseResponse(Pdu, Length, kivctl::PDU_SEARCH_ATTR_RESPONSE, Tid, R, Err))
        return false;
    bool Same = Length == m_Reference.size() && Pdu[0] == m_Reference[0] &&
                std::equal(Pdu + 3, Pdu + Length, m_Reference.begin() + 3);
    if (!Same) {
        Err = "the answer differs from the first one";
        return false;
    }
    return true;
}

bool Exchange(int Fd, const std::vector<uint8_t>& Request, std::vector<uint8_t>& Response,
              int TimeoutMs)
{
    if (send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL) != ssize_t(Request.size()))
        return false;
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, TimeoutMs) <= 0) return false;
    Response.resize(MAX_ANSWER);
    ssize_t Got = recv(Fd, Response.data(), Response.size(), MSG_DONTWAIT);
    if (Got <= 0) return false;
    Response.resize(size_t(Got));
    return true;
}

namespace {

struct LOAD_CHANNEL {
    int Fd;
    uint16_t Tid = 0;
    uint64_t Sent = 0;
    Clock::time_point SentAt;
    bool Busy = false; // a request is out
};

// What the steps of RunChannels share.
struct CHANNEL_LOOP {
    const CResponseCheck& Check;
    const LOOP_OPTIONS& Opt;
    std::vector<uint32_t>& LatencyNs;
    CHILD_RESULT Result;
    std::vector<uint8_t> Buffer = std::vector<uint8_t>(MAX_ANSWER);
};

// C's next request, unless its count or the deadline is reached.
void SendNext(CHANNEL_LOOP& L, LOAD_CHANNEL& C)
{
    if (L.Opt.RequestsPerChannel != 0 && C.Sent >= L.Opt.RequestsPerChannel) return;
    if (Clock::now() >= L.Opt.Deadline) return;
    C.Tid = uint16_t(C.Tid + 1);
    std::vector<uint8_t> Pdu = SearchAttrPdu(C.Tid, L.Opt.Uuid);
    C.SentAt = Clock::now();
    if (send(C.Fd, Pdu.data(), Pdu.size(), MSG_NOSIGNAL) != ssize_t(Pdu.size())) {
        L.Result.Lost++;
        SetError(L.Result, std::string("send: ") + strerror(errno));
        return;
    }
    C.Sent++;
    C.Busy = true;
}

// After a poll: C's answer checked and timed, then its next request; or its request lost once
// the timeout has passed without one.
void TakeAnswer(CHANNEL_LOOP& L, LOAD_CHANNEL& C, bool Readable, Clock::time_point Now)
{
    if (!Readable) {
        if (Now - C.SentAt >= std::chrono::milliseconds(L.Opt.TimeoutMs)) {
            L.Result.Lost++;
            SetError(L.Result, "no answer within " + std::to_string(L.Opt.TimeoutMs) + " ms");
            C.Busy = false;
        }
        return;
    }
    ssize_t Got = recv(C.Fd, L.Buffer.data(), L.Buffer.size(), MSG_DONTWAIT);
    if (Got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    C.Busy = false;
    if (Got <= 0) {
        L.Result.Lost++;
        SetError(L.Result, "the daemon closed a channel");
        return;
    }
    std::string Err;
    if (!L.Check.Check(L.Buffer.data(), size_t(Got), C.Tid, Err)) {
        // A wrong answer ends the channel: later ones could only be judged against
        // a transaction already out of step.
        L.Result.Wrong++;
        SetError(L.Result, Err);
        return;
    }
    auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Now - C.SentAt).count();
    L.LatencyNs.push_back(uint32_t(std::min<int64_t>(Ns, UINT32_MAX)));
    L.Result.Answered++;
    SendNext(L, C);
}

} // namespace

CHILD_RESULT RunChannels(const std::vector<int>& Fds, const CResponseCheck& Check,
                         const LOOP_OPTIONS& Opt, std::vector<uint32_t>& LatencyNs)
{
    CHANNEL_LOOP L{Check, Opt, LatencyNs, {}};
    std::vector<LOAD_CHANNEL> Channels;
    for (int Fd : Fds)
        Channels.push_back(LOAD_CHANNEL{Fd, 0, 0, {}, false});
    auto Begin = Clock::now();
    for (auto& C : Channels)
        SendNext(L, C);

    std::vector<pollfd> Polled;
    std::vector<LOAD_CHANNEL*> Owners;
    for (;;) {
        Polled.clear();
        Owners.clear();
        auto Oldest = Clock::time_point::max();
        for (auto& C : Channels) {
            if (!C.Busy) continue;
            Polled.push_back({C.Fd, POLLIN, 0});
            Owners.push_back(&C);
            Oldest = std::min(Oldest, C.SentAt);
        }
        if (Polled.empty()) break;
        auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Oldest + std::chrono::milliseconds(Opt.TimeoutMs) - Clock::now());
        int Ready = poll(Polled.data(), Polled.size(), int(std::max<int64_t>(0, Left.count())));
        if (Ready < 0 && errno != EINTR) {
            SetError(L.Result, std::string("poll: ") + strerror(errno));
            break;
        }
        auto Now = Clock::now();
        for (size_t i = 0; i < Polled.size(); i++)
            TakeAnswer(L, *Owners[i], Polled[i].revents != 0, Now);
    }
    L.Result.ElapsedNs = uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - Begin).count());
    return L.Result;
}

LATENCY_SUMMARY Summarise(std::vector<uint32_t>& Ns)
{
    LATENCY_SUMMARY S;
    S.Count = Ns.size();
    if (Ns.empty()) return S;
    std::sort(Ns.begin(), Ns.end());
    auto Rank = [&](double Fraction) {
        // Nearest rank: ceil(Fraction * N), 1-based; computed in integers to avoid 0.99 * 100
        // landing just above 99.
        size_t PerMille = size_t(Fraction * 1000 + 0.5);
        size_t R = (PerMille * Ns.size() + 999) / 1000;
        return Ns[std::max<size_t>(R, 1) - 1] / 1000.0;
    };
    S.P50Us = Rank(0.50);
    S.P99Us = Rank(0.99);
    S.MaxUs = Ns.back() / 1000.0;
    return S;
}

bool ParseCountList(const std::string& Text, std::vector<unsigned>& Out)
{
    std::vector<unsigned> Counts;
    size_t Pos = 0;
    for (;;) {
        size_t Comma = Text.find(',', Pos);
        std::string Item = Text.substr(Pos, Comma == std::string::npos ? Comma : Comma - Pos);
        if (Item.empty() || Item.size() > 3 ||
            Item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long v = strtoul(Item.c_str(), nullptr, 10);
        if (v == 0 || v > MAX_CHANNELS) return false;
        Counts.push_back(unsigned(v));
        if (Comma == std::string::npos) break;
        Pos = Comma + 1;
    }
    Out = std::move(Counts);
    return true;
}

bool ParseProcStatus(const std::string& Text, PROC_MEMORY& Out)
{
    std::istringstream In(Text);
    std::string Line;
    bool Rss = false, Hwm = false;
    PROC_MEMORY M;
    while (std::getline(In, Line)) {
        auto Field = [&](const char* Name, uint64_t& Value) {
            size_t n = strlen(Name);
            if (Line.compare(0, n, Name) != 0) return false;
            char* End = nullptr;
            unsigned long long v = strtoull(Line.c_str() + n, &End, 10);
            if (End == Line.c_str() + n || strstr(End, "kB") == nullptr) return false;
            Value = v;
            return true;
        };
        Rss = Field("VmRSS:", M.RssKb) || Rss;
        Hwm = Field("VmHWM:", M.HwmKb) || Hwm;
    }
    if (!Rss || !Hwm) return false;
    Out = M;
    return true;
}

bool ReadProcMemory(int Pid, PROC_MEMORY& Out)
{
    std::ifstream In("/proc/" + std::to_string(Pid) + "/status");
    if (!In) return false;
    std::stringstream S;
    S << In.rdbuf();
    return ParseProcStatus(S.str(), Out);
}

} // namespace kivload
