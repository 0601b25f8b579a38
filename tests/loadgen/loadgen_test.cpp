// kivsdp-load's parts: the answer check that decides what counts, the client loop against a
// scripted server over a socket pair, and the figures it prints.
#include "HexBytes.h"
#include "abuse.h"
#include "loadgen.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kivload;
using BYTES = std::vector<uint8_t>;

namespace {

// ServiceSearchAttribute response, transaction 1: one record with its handle 0x00010000.
const BYTES REFERENCE = Hex("07 00 01 00 0F 00 0C 35 0A 35 08 09 00 00 0A 00 01 00 00 00");

BYTES WithTid(BYTES Pdu, uint16_t Tid)
{
    Pdu[1] = uint8_t(Tid >> 8);
    Pdu[2] = uint8_t(Tid);
    return Pdu;
}

CResponseCheck ReferenceCheck()
{
    CResponseCheck C;
    std::string Err;
    EXPECT_TRUE(C.SetReference(REFERENCE.data(), REFERENCE.size(), 1, Err)) << Err;
    return C;
}

} // namespace

TEST(ResponseCheck, OnlyTheReferenceAnswerWithTheRightTransactionPasses)
{
    struct CASE {
        const char* Name;
        BYTES Pdu;
        uint16_t Tid;
        bool Ok;
    } Cases[] = {
        {"same answer, later transaction", WithTid(REFERENCE, 0x1234), 0x1234, true},
        {"answer to another transaction", WithTid(REFERENCE, 3), 2, false},
        {"error response", Hex("01 00 02 00 02 00 03"), 2, false},
        {"ServiceAttribute response id",
         Hex("05 00 02 00 0F 00 0C 35 0A 35 08 09 00 00 0A 00 01 00 00 00"), 2, false},
        {"another handle", Hex("07 00 02 00 0F 00 0C 35 0A 35 08 09 00 00 0A 00 01 00 01 00"), 2,
         false},
        {"one byte short", BYTES(REFERENCE.begin(), REFERENCE.end() - 1), 1, false},
        {"continuation state added",
         Hex("07 00 01 00 11 00 0C 35 0A 35 08 09 00 00 0A 00 01 00 00 02 AA BB"), 1, false},
        {"empty message", {}, 1, false},
    };
    CResponseCheck Check = ReferenceCheck();
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::string Err;
        EXPECT_EQ(Check.Check(C.Pdu.data(), C.Pdu.size(), C.Tid, Err), C.Ok);
        EXPECT_EQ(Err.empty(), C.Ok) << Err;
    }
    EXPECT_EQ(Check.Records(), 1u);
}

TEST(ResponseCheck, ReferenceMustBeASingleResponseWithARecord)
{
    struct CASE {
        const char* Name;
        BYTES Pdu;
    } Refused[] = {
        {"needs continuation",
         Hex("07 00 01 00 11 00 0C 35 0A 35 08 09 00 00 0A 00 01 00 00 02 AA BB")},
        {"no record matched", Hex("07 00 01 00 05 00 02 35 00 00")},
        {"attribute lists do not parse", Hex("07 00 01 00 05 00 02 35 05 00")},
        {"error response", Hex("01 00 01 00 02 00 03")},
        {"other transaction", WithTid(REFERENCE, 2)},
    };
    for (const CASE& C : Refused) {
        SCOPED_TRACE(C.Name);
        CResponseCheck Check;
        std::string Err;
        EXPECT_FALSE(Check.SetReference(C.Pdu.data(), C.Pdu.size(), 1, Err));
        EXPECT_FALSE(Err.empty());
        // Nothing passes a check without a reference.
        EXPECT_FALSE(Check.Check(REFERENCE.data(), REFERENCE.size(), 1, Err));
    }
}

// The client loop against a server on the other end of socket pairs, answering each request
// as its Answer function decides.
class ClientLoop : public ::testing::Test {
protected:
    struct SERVER {
        int Fd;
        // Given the request's transaction and how many came before on this channel: the
        // answer to send, one byte to stay silent, or empty to close the channel.
        std::function<BYTES(uint16_t Tid, int Count)> Answer;
    };

    CHILD_RESULT Run(std::vector<SERVER> Servers, uint64_t Requests, int TimeoutMs = 3000)
    {
        std::vector<int> Clients;
        std::vector<std::thread> Threads;
        for (auto& S : Servers) {
            int Pair[2];
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, Pair), 0);
            Clients.push_back(Pair[0]);
            S.Fd = Pair[1];
            Threads.emplace_back([S] {
                uint8_t Buffer[1024];
                for (int Count = 0;; Count++) {
                    ssize_t n = recv(S.Fd, Buffer, sizeof(Buffer), 0);
                    if (n < 5) break;
                    BYTES Reply = S.Answer(uint16_t(Buffer[1] << 8 | Buffer[2]), Count);
                    if (Reply.empty()) break;
                    if (Reply.size() == 1) continue; // stays silent
                    send(S.Fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
                }
                close(S.Fd);
            });
        }
        LOOP_OPTIONS Opt;
        Opt.Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        Opt.RequestsPerChannel = Requests;
        Opt.TimeoutMs = TimeoutMs;
        Opt.Uuid = kivtool::MakeUuid16(0x1105);
        CHILD_RESULT R = RunChannels(Clients, ReferenceCheck(), Opt, Latency);
        for (int Fd : Clients)
            close(Fd);
        for (auto& T : Threads)
            T.join();
        return R;
    }
    std::vector<uint32_t> Latency;
};

// A server that stays silent costs its channel the timeout and counts as lost.
TEST_F(ClientLoop, CountsOnlyCorrectAnswersAndStopsAChannelAtItsFirstFault)
{
    auto Good = [](uint16_t Tid, int) { return WithTid(REFERENCE, Tid); };
    auto WrongTidAtThird = [](uint16_t Tid, int Count) {
        return WithTid(REFERENCE, Count == 2 ? uint16_t(Tid + 1) : Tid);
    };
    auto ClosesAtFifth = [](uint16_t Tid, int Count) {
        return Count == 4 ? BYTES{} : WithTid(REFERENCE, Tid);
    };
    auto SilentAtSecond = [](uint16_t Tid, int Count) {
        return Count == 1 ? BYTES{0} : WithTid(REFERENCE, Tid);
    };
    CHILD_RESULT R = Run(
        {{-1, Good}, {-1, WrongTidAtThird}, {-1, ClosesAtFifth}, {-1, SilentAtSecond}}, 10, 1000);
    EXPECT_EQ(R.Answered, 10u + 2u + 4u + 1u);
    EXPECT_EQ(R.Wrong, 1u);
    EXPECT_EQ(R.Lost, 2u);
    EXPECT_EQ(Latency.size(), R.Answered) << "one latency per correct answer, no other";
    EXPECT_NE(std::string(R.FirstError), "");
    EXPECT_GE(R.ElapsedNs, 1'000'000'000u);
}

TEST(Figures, PercentilesAreNearestRank)
{
    std::vector<uint32_t> None;
    EXPECT_EQ(Summarise(None).Count, 0u);
    std::vector<uint32_t> Three{3000, 1000, 2000};
    LATENCY_SUMMARY S = Summarise(Three);
    EXPECT_EQ(S.P50Us, 2.0);
    EXPECT_EQ(S.P99Us, 3.0);
    EXPECT_EQ(S.MaxUs, 3.0);
    std::vector<uint32_t> Hundred;
    for (uint32_t i = 100; i >= 1; i--)
        Hundred.push_back(i * 1000);
    S = Summarise(Hundred);
    EXPECT_EQ(S.Count, 100u);
    EXPECT_EQ(S.P50Us, 50.0);
    EXPECT_EQ(S.P99Us, 99.0);
    EXPECT_EQ(S.MaxUs, 100.0);
}

TEST(Figures, ChannelListsAndProcStatus)
{
    std::vector<unsigned> Counts{7};
    EXPECT_TRUE(ParseCountList("1,4,16", Counts));
    EXPECT_EQ(Counts, (std::vector<unsigned>{1, 4, 16}));
    for (const char* Bad : {"", "1,,4", "0", "17", "4,", "x", "1 4", "-1", "0004"}) {
        SCOPED_TRACE(Bad);
        EXPECT_FALSE(ParseCountList(Bad, Counts));
        EXPECT_EQ(Counts, (std::vector<unsigned>{1, 4, 16})) << "unchanged on a refusal";
    }
    PROC_MEMORY M;
    EXPECT_TRUE(ParseProcStatus("Name:\tkivsdpd\nVmHWM:\t    6300 kB\nVmRSS:\t    6208 kB\n", M));
    EXPECT_EQ(M.HwmKb, 6300u);
    EXPECT_EQ(M.RssKb, 6208u);
    EXPECT_FALSE(ParseProcStatus("VmRSS:\t 6208 kB\n", M));
    EXPECT_FALSE(ParseProcStatus("VmHWM:\t6300 kB\nVmRSS:\tlots\n", M));
}

TEST(Abuse, OnlyWholeResponsePdusPassAsAnswersToBadFrames)
{
    const BYTES Error = Hex("01 00 05 00 02 00 03");
    const struct {
        const char* Name;
        BYTES Message;
        bool Whole;
        size_t Errors;
    } Cases[] = {
        {"error response", Error, true, 1},
        {"attribute list response", REFERENCE, true, 0},
        {"empty", {}, false, 0},
        {"header cut short", Hex("01 00 05 00"), false, 0},
        {"length says more", Hex("01 00 05 00 03 00 03"), false, 0},
        {"length says less", Hex("01 00 05 00 01 00 03"), false, 0},
        {"error without a code", Hex("01 00 05 00 00"), false, 0},
        {"a request", Hex("02 00 05 00 02 00 03"), false, 0},
        {"two PDUs in one message",
         [&] {
             BYTES Two = Error;
             Two.insert(Two.end(), Error.begin(), Error.end());
             return Two;
         }(),
         false, 0},
    };
    for (const auto& C : Cases) {
        size_t Errors = 0;
        EXPECT_EQ(WellFormedResponses(C.Message.data(), C.Message.size(), Errors), C.Whole)
            << C.Name;
        EXPECT_EQ(Errors, C.Errors) << C.Name;
    }
}

TEST(Abuse, BrowseSeriesFollowsTheStateAndClearsTransactionIds)
{
    int Sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, Sv), 0);
    // A server of two fragments: the first carries a 2-byte state, the second ends the list.
    std::thread Server([Fd = Sv[1]] {
        uint8_t Buffer[512];
        const BYTES First = Hex("07 00 01 00 07 00 02 35 03 02 AB CD");
        const BYTES Last = Hex("07 00 02 00 06 00 03 09 00 00 00");
        for (const BYTES* Answer : {&First, &Last}) {
            ssize_t Got = recv(Fd, Buffer, sizeof(Buffer), 0);
            if (Got <= 0) return;
            // The second request must end with the state of the first answer.
            if (Answer == &Last && (Buffer[Got - 3] != 2 || Buffer[Got - 2] != 0xAB)) return;
            send(Fd, Answer->data(), Answer->size(), 0);
        }
    });
    BYTES Series;
    std::string Err;
    EXPECT_TRUE(BrowseSeries(Sv[0], 0xFFFF, Series, Err)) << Err;
    Server.join();
    const BYTES Expected =
        Hex("07 00 00 00 07 00 02 35 03 02 AB CD 07 00 00 00 06 00 03 09 00 00 00");
    EXPECT_EQ(Series, Expected);
    close(Sv[0]);
    close(Sv[1]);
}
