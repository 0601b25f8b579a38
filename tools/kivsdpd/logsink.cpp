// logsink.cpp: the daemon's log (see logsink.h).

#include "logsink.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Longest piece kept for a line still waiting for its newline: past it, the piece is a line.
constexpr size_t MAX_LINE = 4096;

std::string WallStamp()
{
    timeval Now;
    gettimeofday(&Now, nullptr);
    tm Utc;
    gmtime_r(&Now.tv_sec, &Utc);
    char Stamp[32];
    snprintf(Stamp, sizeof(Stamp), "%02d:%02d:%02d.%06ld ", Utc.tm_hour, Utc.tm_min, Utc.tm_sec,
             long(Now.tv_usec));
    return Stamp;
}

} // namespace

CLogSink::~CLogSink()
{
    Stop();
}

CLogSink::Clock::time_point CLogSink::Now() const
{
    return m_Opt.Now ? m_Opt.Now() : Clock::now();
}

void CLogSink::Start(const OPTIONS& Opt)
{
    Stop();
    std::lock_guard<std::mutex> Guard(m_Lock);
    m_Opt = Opt;
    m_Tokens = Opt.Burst;
    m_Refilled = m_LastNote = Now();
    m_Stopping = false;
    m_Started = true;
    // The writer takes no signal: a process that waits for its signals on one thread (the
    // daemon's sigwait) must not have them delivered here. The thread inherits the mask.
    sigset_t All, Old;
    sigfillset(&All);
    pthread_sigmask(SIG_BLOCK, &All, &Old);
    m_Writer = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
}

void CLogSink::Stop()
{
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        if (!m_Started) return;
        m_Stopping = true;
    }
    m_Wake.notify_all();
    m_Writer.join();
    std::lock_guard<std::mutex> Guard(m_Lock);
    m_Started = false;
}

void CLogSink::Flush()
{
    std::unique_lock<std::mutex> Guard(m_Lock);
    m_Idle.wait_for(Guard, std::chrono::seconds(2),
                    [this] { return !m_Started || (m_Queue.empty() && !m_Writing); });
}

uint64_t CLogSink::Suppressed() const
{
    std::lock_guard<std::mutex> Guard(m_Lock);
    return m_Suppressed;
}

void CLogSink::Print(const std::string& Text)
{
    // Pieces of one thread's line stay together, whatever other threads print meanwhile.
    thread_local struct {
        const CLogSink* Owner = nullptr;
        std::string Text;
    } Partial;
    if (Partial.Owner != this) {
        Partial.Owner = this;
        Partial.Text.clear();
    }
    for (char c : Text) {
        Partial.Text += c;
        if (c == '\n' || Partial.Text.size() >= MAX_LINE) {
            if (c != '\n') Partial.Text += '\n';
            Admit(std::move(Partial.Text), true);
            Partial.Text.clear();
        }
    }
}

void CLogSink::Line(const std::string& Text)
{
    Admit(Text + "\n", true);
}

void CLogSink::Always(const std::string& Text)
{
    Admit(Text + "\n", false);
}

// Under m_Lock: the count suppressed since the last such line, as a line of its own.
void CLogSink::QueueNote(Clock::time_point At)
{
    char Text[96];
    snprintf(Text, sizeof(Text), "kivsdpd: log: %llu line(s) suppressed\n",
             (unsigned long long)m_Unreported);
    std::string Note = (m_Opt.Stamp ? WallStamp() : std::string()) + Text;
    m_QueueBytes += Note.size();
    m_Queue.push_back(std::move(Note));
    m_Unreported = 0;
    m_LastNote = At;
}

void CLogSink::Admit(std::string Text, bool Limited)
{
    if (m_Opt.Stamp) Text.insert(0, WallStamp());
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        if (!m_Started) return;
        Clock::time_point At = Now();
        bool Pass = true;
        if (Limited && m_Opt.LinesPerSecond != 0) {
            double Elapsed = std::chrono::duration<double>(At - m_Refilled).count();
            m_Refilled = At;
            m_Tokens += Elapsed * m_Opt.LinesPerSecond;
            if (m_Tokens > m_Opt.Burst) m_Tokens = m_Opt.Burst;
            Pass = m_Tokens >= 1;
            if (Pass) m_Tokens -= 1;
        }
        // Even with no limit, a writer that cannot keep up costs lines, never waiting.
        if (Pass && Limited && m_QueueBytes + Text.size() > m_Opt.QueueBytes) Pass = false;
        if (!Pass) {
            m_Suppressed++;
            m_Unreported++;
        }
        if (m_Unreported != 0 && At - m_LastNote >= std::chrono::seconds(1)) QueueNote(At);
        if (Pass) {
            m_QueueBytes += Text.size();
            m_Queue.push_back(std::move(Text));
        }
    }
    m_Wake.notify_one();
}

// Writes in pieces a pipe takes whole once it reports room, so the writer never blocks in
// write(); false when the descriptor takes nothing for 2 s while stopping, or fails.
bool CLogSink::WriteAll(const std::string& Text, bool Stopping)
{
    size_t Done = 0;
    int Quiet = 0;
    while (Done < Text.size()) {
        pollfd P{m_Opt.Fd, POLLOUT, 0};
        int Ready = poll(&P, 1, 100);
        if (Ready < 0 && errno != EINTR) return false;
        if (Ready <= 0) {
            if (Stopping && ++Quiet >= 20) return false;
            if (!Stopping) {
                std::lock_guard<std::mutex> Guard(m_Lock);
                Stopping = m_Stopping;
            }
            continue;
        }
        if (P.revents & (POLLERR | POLLNVAL)) return false;
        size_t Piece = std::min<size_t>(Text.size() - Done, PIPE_BUF);
        ssize_t Wrote = write(m_Opt.Fd, Text.data() + Done, Piece);
        if (Wrote < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        Done += size_t(Wrote);
        Quiet = 0;
    }
    return true;
}

void CLogSink::Run()
{
    std::unique_lock<std::mutex> Guard(m_Lock);
    bool Broken = false;
    for (;;) {
        m_Wake.wait_for(Guard, std::chrono::seconds(1),
                        [this] { return m_Stopping || !m_Queue.empty(); });
        // A flood that ended still gets its count written within a second or so.
        Clock::time_point At = Now();
        if (m_Unreported != 0 && (m_Stopping || At - m_LastNote >= std::chrono::seconds(1)))
            QueueNote(At);
        if (m_Queue.empty()) {
            m_Idle.notify_all();
            if (m_Stopping) break;
            continue;
        }
        std::string Batch;
        while (!m_Queue.empty()) {
            Batch += m_Queue.front();
            m_Queue.pop_front();
        }
        m_QueueBytes = 0;
        m_Writing = true;
        bool Stopping = m_Stopping;
        Guard.unlock();
        if (!Broken) Broken = !WriteAll(Batch, Stopping);
        Guard.lock();
        m_Writing = false;
    }
    m_Idle.notify_all();
}
