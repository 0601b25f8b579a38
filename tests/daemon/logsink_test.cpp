// The daemon's bounded log: the token bucket and its suppressed-lines count on a clock of the
// test's, the lines of several threads kept whole, and a descriptor nobody reads.

#include "logsink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A sink writing unstamped lines into a pipe whose other end the test reads after Stop.
class LogSinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(m_Pipe), 0);
        fcntl(m_Pipe[1], F_SETPIPE_SZ, 1 << 20);
    }
    void TearDown() override
    {
        for (int Fd : m_Pipe)
            if (Fd >= 0) close(Fd);
    }
    void Start(unsigned Rate, unsigned Burst, size_t QueueBytes = CLogSink::OPTIONS().QueueBytes)
    {
        CLogSink::OPTIONS Opt;
        Opt.Fd = m_Pipe[1];
        Opt.QueueBytes = QueueBytes;
        Opt.LinesPerSecond = Rate;
        Opt.Burst = Burst;
        Opt.Stamp = false;
        // Read by the writer thread too.
        Opt.Now = [this] {
            return CLogSink::Clock::time_point(std::chrono::milliseconds(m_NowMs.load()));
        };
        m_Sink.Start(Opt);
    }
    void Advance(int Ms) { m_NowMs += Ms; }
    // What the sink wrote, once stopped.
    std::vector<std::string> Lines()
    {
        m_Sink.Stop();
        close(m_Pipe[1]);
        m_Pipe[1] = -1;
        std::string Text;
        char Buf[4096];
        for (ssize_t n; (n = read(m_Pipe[0], Buf, sizeof(Buf))) > 0;)
            Text.append(Buf, size_t(n));
        std::vector<std::string> Out;
        for (size_t At = 0, End; (End = Text.find('\n', At)) != std::string::npos; At = End + 1)
            Out.push_back(Text.substr(At, End - At));
        return Out;
    }

    int m_Pipe[2] = {-1, -1};
    std::atomic<int64_t> m_NowMs{0};
    CLogSink m_Sink;
};

// "a12": built by appending (GCC 12 at -O3 reports a bogus overlap for "a" + std::string).
std::string Numbered(char Prefix, int i)
{
    std::string s(1, Prefix);
    s += std::to_string(i);
    return s;
}

} // namespace

TEST_F(LogSinkTest, BucketPassesTheBurstThenTheRateAndCountsTheRest)
{
    Start(10, 20); // 10 lines a second, 20 at once
    for (int i = 0; i < 50; i++)
        m_Sink.Line(Numbered('a', i)); // a0..a19 pass, 30 suppressed
    m_Sink.Always("report");           // never suppressed
    Advance(500);                      // 5 lines' worth
    for (int i = 0; i < 10; i++)
        m_Sink.Line(Numbered('b', i)); // b0..b4 pass, 5 more suppressed
    Advance(500);                      // a second since the start: the count is due
    m_Sink.Line("c");
    EXPECT_EQ(m_Sink.Suppressed(), 35u);

    std::vector<std::string> Expected;
    for (int i = 0; i < 20; i++)
        Expected.push_back(Numbered('a', i));
    Expected.push_back("report");
    for (int i = 0; i < 5; i++)
        Expected.push_back(Numbered('b', i));
    Expected.push_back("kivsdpd: log: 35 line(s) suppressed");
    Expected.push_back("c");
    EXPECT_EQ(Lines(), Expected);
}

TEST_F(LogSinkTest, RateZeroPassesEveryLineAndStopReportsWhatIsLeft)
{
    Start(0, 0);
    for (int i = 0; i < 5000; i++)
        m_Sink.Line("x");
    EXPECT_EQ(m_Sink.Suppressed(), 0u);
    EXPECT_EQ(Lines().size(), 5000u);

    // Suppressed lines not yet reported when the sink stops get their line at the stop.
    close(m_Pipe[0]);
    ASSERT_EQ(pipe(m_Pipe), 0);
    Start(1, 1);
    m_Sink.Line("first");
    m_Sink.Line("second");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"first", "kivsdpd: log: 1 line(s) suppressed"}));
}

TEST_F(LogSinkTest, PiecesOfEachThreadMakeItsOwnLines)
{
    Start(0, 0);
    m_Sink.Print("ab");
    std::thread([this] { m_Sink.Print("cd\nef"); }).join();
    m_Sink.Print("gh\n");
    std::thread([this] { m_Sink.Print(std::string(5000, 'z')); }).join(); // cut at 4096
    EXPECT_EQ(Lines(), (std::vector<std::string>{"cd", "abgh", std::string(4096, 'z')}));
}

// A pipe nobody reads: lines are dropped and counted, the callers never wait, and Stop gives up.
TEST_F(LogSinkTest, FullPipeNeverHoldsTheCallers)
{
    fcntl(m_Pipe[1], F_SETPIPE_SZ, 4096);
    Start(0, 0, 64 * 1024);
    std::vector<std::thread> Threads;
    for (int t = 0; t < 4; t++)
        Threads.emplace_back([this] {
            for (int i = 0; i < 20000; i++)
                m_Sink.Print(std::string(100, 'q') + "\n");
        });
    for (auto& T : Threads)
        T.join();
    EXPECT_GT(m_Sink.Suppressed(), 0u);
    m_Sink.Stop();
}
