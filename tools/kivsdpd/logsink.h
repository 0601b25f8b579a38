// logsink.h: the daemon's log. Lines are stamped and handed to a writer thread through a bounded
// queue, so a thread that serves channels never waits for stderr, even a pipe nobody reads; a
// token bucket bounds how many lines a second get through, and one line says how many did not.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class CLogSink {
public:
    using Clock = std::chrono::steady_clock;
    struct OPTIONS {
        int Fd = 2;
        // Lines a second on average; 0 lets every line through (the queue still never waits).
        unsigned LinesPerSecond = 100;
        // Lines that may pass at once after a quiet spell.
        unsigned Burst = 10000;
        // Bytes waiting for the writer at most; a line that does not fit is suppressed.
        size_t QueueBytes = 4u << 20;
        // The clock of the bucket and of the suppressed line (tests replace it), and whether
        // lines carry the wall-clock time.
        std::function<Clock::time_point()> Now;
        bool Stamp = true;
    };

    CLogSink() = default;
    ~CLogSink();
    CLogSink(const CLogSink&) = delete;
    CLogSink& operator=(const CLogSink&) = delete;

    void Start(const OPTIONS& Opt);
    // Writes what is queued and the last suppressed count, then ends the writer. A descriptor
    // that takes nothing for 2 s loses the rest.
    void Stop();
    // Waits (at most 2 s) until the writer has written what was queued.
    void Flush();

    // Debug print output, in pieces: each thread's pieces make its lines.
    void Print(const std::string& Text);
    // One line (no newline), counted against the bucket.
    void Line(const std::string& Text);
    // One line that is never suppressed: the start and stop reports.
    void Always(const std::string& Text);

    // Lines suppressed since the start (by the bucket, or because the queue was full).
    uint64_t Suppressed() const;

private:
    void Admit(std::string Text, bool Limited);
    void QueueNote(Clock::time_point Now);
    Clock::time_point Now() const;
    void Run();
    bool WriteAll(const std::string& Text, bool Stopping);

    OPTIONS m_Opt;
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake, m_Idle;
    std::deque<std::string> m_Queue;
    size_t m_QueueBytes = 0;
    bool m_Writing = false, m_Stopping = false, m_Started = false;
    double m_Tokens = 0;
    Clock::time_point m_Refilled, m_LastNote;
    uint64_t m_Suppressed = 0, m_Unreported = 0;
    std::thread m_Writer;
};
