// The SDP device under real concurrency: application threads sending,
// listening, cancelling and closing; the remote side sending requests,
// responses and channel events on 16 channels; stop and start cycles while
// all of it runs. Every request must complete, and at the end the verifier
// must be silent and no pool block of any tag may remain.
#include "SdpDeviceFixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr int kChannels = 16;
constexpr int kAppThreads = 4;
constexpr int kRounds = 60;

uint16_t ChannelCid(int i)
{
    return uint16_t(0x0040 + i);
}

class StressFixture : public SdpDeviceFixture {
protected:
    void SetUp() override
    {
        kivrt::Options Options;
        Options.Sched = kivrt::Scheduler::Threaded;
        kivrt::Reset(Options);
        kivrt::CaptureDbgPrint();
    }
};

// One application: its own handle, and a round of requests on it each time.
void RunApplication(int Index, std::atomic<bool>* Failed, std::atomic<int>* Completed)
{
    uint32_t Seed = 12345u + uint32_t(Index);
    auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u, Seed >> 8; };
    for (int Round = 0; Round < kRounds; Round++) {
        kivrt::APP_HANDLE Handle = nullptr;
        if (!NT_SUCCESS(kivrt::AppOpen(u"\\\\.\\KivSdp0", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, true, &Handle))) {
            // A device being stopped or removed may refuse the open.
            std::this_thread::yield();
            continue;
        }
        struct PENDING {
            kivrt::Overlapped Ov;
            BYTES In, Out;
        };
        std::vector<std::unique_ptr<PENDING>> Requests;
        auto Issue = [&](ULONG Code, BYTES In, ULONG OutLen) {
            Requests.push_back(std::make_unique<PENDING>());
            PENDING* p = Requests.back().get();
            p->In = std::move(In);
            p->Out.assign(OutLen, 0);
            ULONG Bytes = 0;
            (void)kivrt::AppDeviceIoControl(
                Handle, Code, p->In.empty() ? nullptr : p->In.data(), ULONG(p->In.size()),
                p->Out.empty() ? nullptr : p->Out.data(), OutLen, &Bytes, &p->Ov);
        };
        const int Count = 1 + int(Next() % 4);
        for (int i = 0; i < Count; i++) {
            Issue(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
            Issue(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
            uint16_t Cid = ChannelCid(int(Next() % kChannels));
            Issue(IOCTL_KIVSDP_SEND_SDP_REQUEST,
                  {uint8_t(Cid), uint8_t(Cid >> 8), 0x02, 0x00, uint8_t(i), 0x00, 0x08, 0x35, 0x03,
                   0x19, 0x10, 0x00, 0x00, 0x05, 0x00},
                  0);
            Issue(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(KIVSDP_DEBUG_INFO));
        }
        if (Next() % 2) kivrt::AppCancelIo(Handle);
        if (Next() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        kivrt::AppClose(Handle);
        for (auto& p : Requests) {
            if (!p->Ov.Wait(10000)) {
                Failed->store(true);
                ADD_FAILURE() << "application " << Index << ": a request never completed";
            } else {
                Completed->fetch_add(1);
            }
        }
    }
}

} // namespace

TEST_F(StressFixture, ApplicationsRemoteSideAndStopStartCyclesRunTogether)
{
    BuildStack();
    CloseAll();
    for (int i = 0; i < kChannels; i++)
        ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(ChannelCid(i), 48)));

    std::atomic<bool> Stop{false};
    std::atomic<bool> Failed{false};
    std::atomic<int> Completed{0};

    // The remote side: requests, responses and channel events on all channels.
    std::thread Remote([&] {
        uint32_t Seed = 777;
        auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u, Seed >> 8; };
        const BYTES Search = Hex("02 00 01 00 08 35 03 19 10 00 00 05 00");
        const BYTES Answer = Hex("03 00 05 00 09 00 01 00 01 00 01 00 00 00");
        while (!Stop.load()) {
            uint16_t Cid = ChannelCid(int(Next() % kChannels));
            switch (Next() % 6) {
            case 0:
                (void)m_Radio.Reconfigure(Cid, uint16_t(48 + Next() % 400));
                break;
            case 1:
                (void)m_Radio.Disconnect(Cid);
                (void)m_Radio.Connect(Cid, 48);
                break;
            case 2:
                (void)m_Radio.SendFrame(Cid, Answer);
                break;
            default:
                (void)m_Radio.SendFrame(Cid, Search);
                break;
            }
            if (m_Radio.WrittenCount() > 1000) (void)m_Radio.TakeWritten();
            std::this_thread::yield();
        }
    });

    std::vector<std::thread> Apps;
    for (int i = 0; i < kAppThreads; i++)
        Apps.emplace_back(RunApplication, i, &Failed, &Completed);

    // Stop and start while the traffic runs; open handles veto some stops.
    int Cycles = 0;
    for (int i = 0; i < 40; i++) {
        if (kivrt::StopDevice(m_Node) == STATUS_SUCCESS) {
            Cycles++;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            ASSERT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }

    for (auto& App : Apps)
        App.join();
    Stop.store(true);
    Remote.join();
    kivrt::DrainWorkItems();

    EXPECT_FALSE(Failed.load());
    EXPECT_GT(Completed.load(), kAppThreads * kRounds);
    // Whatever happened, the device still serves (the table is full, so
    // the channel reuses its context).
    (void)m_Radio.TakeWritten();
    ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(ChannelCid(0), 48)));
    kivrt::DrainWorkItems();
    ASSERT_TRUE(NT_SUCCESS(
        m_Radio.SendFrame(ChannelCid(0), Hex("02 00 01 00 08 35 03 19 10 00 00 05 00"))));
    kivrt::DrainWorkItems();
    bool Answered = false;
    for (const auto& Frame : m_Radio.TakeWritten())
        Answered = Answered || Frame.Cid == ChannelCid(0);
    EXPECT_TRUE(Answered);
    RecordProperty("StopStartCycles", Cycles);
}
