// l2cap_threaded_test.cpp: the virtual L2CAP driver under real concurrency. Application threads
// read, listen, cancel and close while the remote side sends events and frames on 16 channels,
// a driver-like client writes, and the device is stopped and restarted. Every request must end
// exactly once with a status it may have, and every frame and event must be accounted for.

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

    std::vector<std::thread> Threads;
    for (int t = 0; t < kAppThreads; t++) {
        Threads.emplace_back([&, t] {
            kivrt::APP_HANDLE H = nullptr;
            if (kivrt::AppOpen(ClientPath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, true, &H) !=
                STATUS_SUCCESS) {
                Bad++;
                return;
            }
            for (int Round = 0; Round < kRounds; Round++) {
                UCHAR Buf[64], Rec[54];
                ULONG N = 0;
                kivrt::Overlapped Rd, Ls;
                NTSTATUS S1 = kivrt::AppRead(H, Buf, sizeof(Buf), &N, &Rd);
                NTSTATUS S2 = kivrt::AppDeviceIoControl(H, IOCTL_KIVL2CAP_LISTEN_FOR_STATUS,
                                                        nullptr, 0, Rec, sizeof(Rec), &N, &Ls);
                switch ((Round + t) % 3) {
                case 0:
                    Rd.Wait(1);
                    Ls.Wait(1);
                    kivrt::AppCancelIo(H);
                    break;
                case 1:
                    kivrt::AppCancelIo(H);
                    break;
                default:
                    kivrt::AppClose(H); // cleanup fails what the handle left below
                    H = nullptr;
                    break;
                }
                if (!Rd.Wait(10000) || !Ls.Wait(10000)) {
                    Bad++;
                    break;
                }
                (void)S1, (void)S2;
                if (Rd.Status() == STATUS_SUCCESS) {
                    ReadsDelivered++;
                    // Frames carry their CID's low byte in every payload byte.
                    if (Rd.Information() < 2) Bad++;
                    for (ULONG_PTR i = 2; i < Rd.Information(); i++)
                        if (Buf[i] != Buf[0]) Bad++;
                } else if (Rd.Status() != STATUS_CANCELLED) {
                    Bad++;
                }
                if (Ls.Status() == STATUS_SUCCESS) {
                    ListensDelivered++;
                    if (Ls.Information() != 54) Bad++;
                } else if (Ls.Status() != STATUS_CANCELLED) {
                    Bad++;
                }
                if (H == nullptr &&
                    kivrt::AppOpen(ClientPath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, true,
                                   &H) != STATUS_SUCCESS) {
                    Bad++;
                    return;
                }
            }
            kivrt::AppClose(H);
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
    EXPECT_EQ(C.HeldReads + C.HeldListens, 0u) << "every handle was closed";
    EXPECT_EQ(C.FramesDelivered + C.FramesDropped + C.KeptFrames, FramesAccepted.load());
    EXPECT_EQ(C.EventsDelivered + C.KeptEvents, EventsAccepted.load());
    EXPECT_EQ(C.FramesDelivered, ReadsDelivered.load());
    EXPECT_EQ(C.EventsDelivered, ListensDelivered.load());
    EXPECT_EQ(C.WritesSent, WritesOk.load());
    EXPECT_EQ(m_Radio.WrittenCount(), size_t(WritesOk.load()));
    EXPECT_GT(C.FramesDelivered, 0u);
    EXPECT_GT(C.Cancelled, 0u);
}
