// l2cap_threaded_test.cpp: the virtual L2CAP driver under real concurrency. Driver-like client
// threads read, listen, cancel and clean up while the remote side sends events and frames on 16
// channels, a driver-like client writes, and the device is stopped and restarted. Every request
// must end exactly once with a status it may have, and every frame and event must be accounted for.

#include "l2capclient.h"

#include <thread>

using namespace l2captest;

namespace {

class L2capThreadedFixture : public L2capFixture {
protected:
    void SetUp() override { Build(kivrt::Scheduler::Threaded); }
};

constexpr int kAppThreads = 4;
constexpr int kRounds = 150;
constexpr int kChannels = 16;

} // namespace

TEST_F(L2capThreadedFixture, ConcurrentTrafficCancelAndCloseLoseNothing)
{
    std::atomic<bool> Stop{false};
    std::atomic<ULONG> FramesAccepted{0}, EventsAccepted{0}, Bad{0};
    std::atomic<ULONG> ReadsDelivered{0}, ListensDelivered{0};

    // Waits for a request's completion, at most 10 s.
    auto Finished = [](const CLIENT_REQUEST& R) {
        for (int i = 0; i < 100000 && !R.Done(); i++)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        return R.Done();
    };
    std::vector<std::thread> Threads;
    std::vector<int> Clients(kAppThreads); // each thread's FileObject stand-in
    for (int t = 0; t < kAppThreads; t++) {
        Threads.emplace_back([&, t] {
            PVOID Me = &Clients[t];
            for (int Round = 0; Round < kRounds; Round++) {
                auto Rd = CLIENT_REQUEST::Read(m_Dev, Me, 64);
                auto Ls = CLIENT_REQUEST::Listen(m_Dev, Me);
                KIRQL Irql = Round % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
                Rd->Send(Irql);
                Ls->Send(Irql);
                switch ((Round + t) % 3) {
                case 0:
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    Rd->Cancel();
                    Ls->Cancel();
                    break;
                case 1:
                    Rd->Cancel();
                    Ls->Cancel();
                    break;
                default: {
                    auto Cleanup = CLIENT_REQUEST::Cleanup(m_Dev, Me); // fails what Me left
                    if (Cleanup->Send() != STATUS_SUCCESS) Bad++;
                    break;
                }
                }
                if (!Finished(*Rd) || !Finished(*Ls)) {
                    Bad++;
                    break;
                }
                if (Rd->Status() == STATUS_SUCCESS) {
                    ReadsDelivered++;
                    // Frames carry their CID's low byte in every payload byte.
                    std::vector<UCHAR> Buf = Rd->Output();
                    if (Buf.size() < 2) Bad++;
                    for (size_t i = 2; i < Buf.size(); i++)
                        if (Buf[i] != Buf[0]) Bad++;
                } else if (Rd->Status() != STATUS_CANCELLED) {
                    Bad++;
                }
                if (Ls->Status() == STATUS_SUCCESS) {
                    ListensDelivered++;
                    if (Ls->Information() != 54) Bad++;
                } else if (Ls->Status() != STATUS_CANCELLED) {
                    Bad++;
                }
            }
        });
    }

    // The remote side: channel events and frames on 16 channels.
    Threads.emplace_back([&] {
        ULONG i = 0;
        while (!Stop.load()) {
            USHORT Cid = USHORT(0x40 + i % kChannels);
            NTSTATUS S = (i / kChannels) % 2 ? m_Radio.Disconnect(Cid) : m_Radio.Connect(Cid, 48);
            if (S == STATUS_SUCCESS || S == STATUS_PENDING)
                EventsAccepted++;
            else if (S != STATUS_DEVICE_BUSY)
                Bad++;
            // Lengths 0..79: the longer ones do not fit the 64-byte reads and are dropped.
            S = m_Radio.SendFrame(Cid, std::vector<UCHAR>(i % 80, UCHAR(Cid)));
            if (S == STATUS_SUCCESS || S == STATUS_PENDING || S == STATUS_BUFFER_OVERFLOW)
                FramesAccepted++;
            else if (S != STATUS_DEVICE_BUSY)
                Bad++;
            i++;
            // Keep the backlog short so that requests are often held when traffic arrives,
            // and cancels and closes race with deliveries.
            KIVL2CAP_COUNTERS Now{};
            KivL2capQueryCounters(m_Dev, &Now);
            if (Now.KeptFrames + Now.KeptEvents > 4)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // A driver-like client writing on the channels while they open and close.
    std::atomic<ULONG> WritesOk{0};
    Threads.emplace_back([&] {
        ULONG i = 0;
        while (!Stop.load()) {
            USHORT Cid = USHORT(0x40 + i % kChannels);
            auto W = CLIENT_REQUEST::Write(m_Dev, A(), Cid, {UCHAR(i)});
            NTSTATUS S = W->Send(i % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
            if (S == STATUS_SUCCESS)
                WritesOk++;
            else if (S != STATUS_INVALID_PARAMETER)
                Bad++;
            i++;
        }
    });

    // Stop and restart while everything runs.
    for (int Cycle = 0; Cycle < 5; Cycle++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
        EXPECT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
    }
    for (int t = 0; t < kAppThreads; t++)
        Threads[size_t(t)].join();
    Stop = true;
    for (size_t t = kAppThreads; t < Threads.size(); t++)
        Threads[t].join();
    kivrt::DrainWorkItems();

    EXPECT_EQ(Bad.load(), 0u);
    KIVL2CAP_COUNTERS C = Counters();
    EXPECT_EQ(C.HeldReads + C.HeldListens, 0u) << "every request ended";
    EXPECT_EQ(C.FramesDelivered + C.FramesDropped + C.KeptFrames, FramesAccepted.load());
    EXPECT_EQ(C.EventsDelivered + C.KeptEvents, EventsAccepted.load());
    EXPECT_EQ(C.FramesDelivered, ReadsDelivered.load());
    EXPECT_EQ(C.EventsDelivered, ListensDelivered.load());
    EXPECT_EQ(C.WritesSent, WritesOk.load());
    EXPECT_EQ(m_Radio.WrittenCount(), size_t(WritesOk.load()));
    EXPECT_GT(C.FramesDelivered, 0u);
    EXPECT_GT(C.Cancelled, 0u);
}
