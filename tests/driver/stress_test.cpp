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
constexpr int kStopStartCycles = 20;

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

// What the applications saw, gathered from every thread.
struct STRESS_TALLY {
    std::atomic<bool> Failed{false};
    std::atomic<int> Completed{0};
    std::atomic<int> Cancelled{0};
    std::atomic<int> AppsRunning{kAppThreads};
};

// One application: its own handle, and a round of requests on it each time.
void RunApplication(int Index, STRESS_TALLY* Tally)
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
            ULONG Code = 0;
            BYTES In, Out;
        };
        std::vector<std::unique_ptr<PENDING>> Requests;
        auto Issue = [&](ULONG Code, BYTES In, ULONG OutLen) {
            Requests.push_back(std::make_unique<PENDING>());
            PENDING* p = Requests.back().get();
            p->Code = Code;
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
            BYTES Pdu = SearchServer;
            Pdu[2] = uint8_t(i); // the transaction ID
            Issue(IOCTL_KIVSDP_SEND_SDP_REQUEST, OnCid(Cid, Pdu), 0);
            Issue(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(KIVSDP_DEBUG_INFO));
        }
        if (Next() % 2) kivrt::AppCancelIo(Handle);
        if (Next() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        kivrt::AppClose(Handle);
        for (auto& p : Requests) {
            if (!p->Ov.Wait(10000)) {
                Tally->Failed.store(true);
                ADD_FAILURE() << "application " << Index << ": request 0x" << std::hex << p->Code
                              << " never completed";
                continue;
            }
            Tally->Completed.fetch_add(1);
            const NTSTATUS Status = p->Ov.Status();
            if (Status == STATUS_CANCELLED) Tally->Cancelled.fetch_add(1);
            // A listen ends with its event or is cancelled; the debug
            // information is answered at once whatever else runs.
            bool Expected = true;
            if (p->Code == IOCTL_KIVSDP_GET_DEBUG_INFO)
                Expected =
                    Status == STATUS_SUCCESS && p->Ov.Information() == sizeof(KIVSDP_DEBUG_INFO);
            else if (p->Code != IOCTL_KIVSDP_SEND_SDP_REQUEST)
                Expected = Status == STATUS_SUCCESS || Status == STATUS_CANCELLED;
            else
                Expected = Status != STATUS_PENDING;
            if (!Expected) {
                Tally->Failed.store(true);
                ADD_FAILURE() << "application " << Index << ": request 0x" << std::hex << p->Code
                              << " completed with 0x" << unsigned(Status);
            }
        }
    }
    Tally->AppsRunning.fetch_sub(1);
}

} // namespace

TEST_F(StressFixture, ApplicationsRemoteSideAndStopStartCyclesRunTogether)
{
    BuildStack();
    CloseAll();
    for (int i = 0; i < kChannels; i++)
        ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(ChannelCid(i), 48)));

    std::atomic<bool> Stop{false};
    STRESS_TALLY Tally;

    // The remote side: requests, responses and channel events on all channels.
    std::thread Remote([&] {
        uint32_t Seed = 777;
        auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u, Seed >> 8; };
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
                (void)m_Radio.SendFrame(Cid, SearchServer);
                break;
            }
            if (m_Radio.WrittenCount() > 1000) (void)m_Radio.TakeWritten();
        }
    });

    std::vector<std::thread> Apps;
    for (int i = 0; i < kAppThreads; i++)
        Apps.emplace_back(RunApplication, i, &Tally);

    // Stop and start while the applications run: their open handles veto
    // most stops, so these cycles are opportunistic.
    int CyclesWithApps = 0;
    bool RestartFailed = false;
    while (Tally.AppsRunning.load() > 0 && !RestartFailed) {
        if (kivrt::StopDevice(m_Node) == STATUS_SUCCESS) {
            CyclesWithApps++;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            RestartFailed = kivrt::RestartDevice(m_Node) != STATUS_SUCCESS;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (auto& App : Apps)
        App.join();
    // Then cycles that must succeed, against the remote side's frames and
    // channel events still arriving. The last closes reach the device a
    // moment after their requests complete, and an open handle vetoes a stop.
    int Cycles = 0;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Cycles < kStopStartCycles && !RestartFailed &&
           std::chrono::steady_clock::now() < Deadline) {
        if (kivrt::StopDevice(m_Node) != STATUS_SUCCESS) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        RestartFailed = kivrt::RestartDevice(m_Node) != STATUS_SUCCESS;
        Cycles++;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    Stop.store(true);
    Remote.join();
    kivrt::DrainWorkItems();

    EXPECT_FALSE(RestartFailed);
    EXPECT_EQ(Cycles, kStopStartCycles);
    EXPECT_FALSE(Tally.Failed.load());
    EXPECT_GT(Tally.Completed.load(), kAppThreads * kRounds);
    RecordProperty("StopStartCyclesWithApplications", CyclesWithApps);
    RecordProperty("Cancelled", Tally.Cancelled.load());

    // Every request was finished by the driver, not only seen complete by
    // its application: no pending counter is left over.
    m_Handle = Open();
    ASSERT_NE(m_Handle, nullptr);
    KIVSDP_DEBUG_INFO Info = DebugInfo();
    EXPECT_EQ(Info.PendingRequests, 0u);
    EXPECT_EQ(Info.PendingResponseListens, 0u);
    EXPECT_EQ(Info.PendingStatusListens, 0u);
    EXPECT_EQ(Info.ListenStatusCount, Info.StatusDelivered);
    EXPECT_EQ(Info.ListenResponseCount, Info.ResponsesDelivered);

    // No queue was left busy without a current request: a new request of
    // each kind becomes current at once and is served by its event. (A
    // stuck queue would hold it waiting for good.)
    (void)m_Radio.TakeWritten();
    const uint16_t Cid = ChannelCid(0);
    ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(Cid, 48)));
    kivrt::DrainWorkItems();
    SDP_APP_REQUEST* Status = Post(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4);
    SDP_APP_REQUEST* Response = Post(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {}, 0x400);
    SDP_APP_REQUEST* Request = Post(IOCTL_KIVSDP_SEND_SDP_REQUEST,
                                    OnCid(Cid, Hex("02 00 07 00 08 35 03 19 10 00 00 05 00")), 0);
    ASSERT_TRUE(Request->Ov.Wait(5000)) << "the request queue stayed busy";
    EXPECT_EQ(Request->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(Status->Done());
    EXPECT_FALSE(Response->Done());
    ASSERT_TRUE(NT_SUCCESS(m_Radio.Disconnect(Cid)));
    ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(Cid, 48)));
    ASSERT_TRUE(NT_SUCCESS(m_Radio.SendFrame(Cid, Hex("03 00 07 00 05 00 00 00 00 00"))));
    kivrt::DrainWorkItems();
    ASSERT_TRUE(Status->Ov.Wait(5000)) << "the status queue stayed busy";
    EXPECT_EQ(Status->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Status->Output(), Hex("40 00 00 00"));
    ASSERT_TRUE(Response->Ov.Wait(5000)) << "the response queue stayed busy";
    EXPECT_EQ(Response->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Response->Output(), Hex("03 00 07 00 05 00 00 00 00 00"));

    // And the server side still answers on a channel whose context was
    // reused many times over.
    ASSERT_TRUE(NT_SUCCESS(m_Radio.SendFrame(Cid, SearchServer)));
    kivrt::DrainWorkItems();
    bool Answered = false;
    for (const auto& Frame : m_Radio.TakeWritten())
        Answered =
            Answered || (Frame.Cid == Cid && !Frame.Payload.empty() && Frame.Payload[0] == 0x03);
    EXPECT_TRUE(Answered);
    // The fixture's teardown removes the stack and unloads both drivers,
    // then requires a silent verifier and no pool block of any tag.
}

namespace {

// A remote side that never pauses, under either scheduler: the lower driver
// always has the next event and frame ready before the device has taken the
// last one.
class BackToBackFixture : public SdpDeviceFixture,
                          public ::testing::WithParamInterface<kivrt::Scheduler> {
protected:
    void SetUp() override
    {
        kivrt::Options Options;
        Options.Sched = GetParam();
        kivrt::Reset(Options);
        kivrt::CaptureDbgPrint();
    }

    // Deterministic: the test thread is the only one that runs work items,
    // and it runs a bounded number, since the remote side keeps queuing more.
    static void RunSomeWorkItems()
    {
        for (int i = 0; i < 64 && kivrt::RunOneWorkItem(); i++) {
        }
    }
};

} // namespace

TEST_P(BackToBackFixture, RestartsReturnAndServeWhileTheRemoteSideNeverPauses)
{
    constexpr int kCycles = 8;
    BuildStack();
    CloseAll();
    for (int i = 0; i < kChannels; i++)
        ASSERT_TRUE(NT_SUCCESS(m_Radio.Connect(ChannelCid(i), 48)));
    kivrt::DrainWorkItems();

    std::atomic<bool> Stop{false};
    std::atomic<bool> GaveUp{false};
    std::thread Remote([&] {
        // Only a guard against a device that never comes back: the test
        // fails when the remote side had to give up.
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        uint32_t Seed = 4242;
        auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u, Seed >> 8; };
        while (!Stop.load()) {
            for (int Burst = 0; Burst < 64; Burst++) {
                uint16_t Cid = ChannelCid(int(Next() % kChannels));
                switch (Next() % 4) {
                case 0:
                    (void)m_Radio.Disconnect(Cid);
                    (void)m_Radio.Connect(Cid, 48);
                    break;
                case 1:
                    (void)m_Radio.SendFrame(Cid, SearchServer);
                    break;
                default:
                    (void)m_Radio.Reconfigure(Cid, uint16_t(48 + Next() % 400));
                    break;
                }
            }
            if (m_Radio.WrittenCount() > 1000) (void)m_Radio.TakeWritten();
            (void)kivrt::TakeCapturedDbgPrint();
            if (std::chrono::steady_clock::now() > Deadline) {
                GaveUp.store(true);
                return;
            }
        }
    });

    const bool Deterministic = GetParam() == kivrt::Scheduler::Deterministic;
    int Cycles = 0;
    for (; Cycles < kCycles && !GaveUp.load(); Cycles++) {
        if (Deterministic) RunSomeWorkItems();
        ASSERT_EQ(kivrt::StopDevice(m_Node), STATUS_SUCCESS);
        ASSERT_EQ(kivrt::RestartDevice(m_Node), STATUS_SUCCESS);
        // The restarted device takes events again: the lower driver
        // delivers some to its listen requests.
        const ULONG Delivered = L2cap().EventsDelivered;
        while (L2cap().EventsDelivered < Delivered + 100 && !GaveUp.load()) {
            if (Deterministic)
                RunSomeWorkItems();
            else
                std::this_thread::yield();
        }
    }
    Stop.store(true);
    Remote.join();
    kivrt::DrainWorkItems();
    EXPECT_FALSE(GaveUp.load()) << "a restart did not return while events kept coming";
    EXPECT_EQ(Cycles, kCycles);

    // Every kept event and frame was taken, and the device still answers.
    KIVL2CAP_COUNTERS Counters = L2cap();
    EXPECT_EQ(Counters.KeptEvents, 0u);
    EXPECT_EQ(Counters.KeptFrames, 0u);
    EXPECT_EQ(Counters.HeldListens, KIVSDP_LISTEN_IRP_COUNT);
    EXPECT_EQ(Counters.HeldReads, KIVSDP_READ_IRP_COUNT);
    (void)m_Radio.TakeWritten();
    const uint16_t Cid = ChannelCid(3);
    Connect(Cid, 48);
    Frame(Cid, Hex("02 00 09 00 08 35 03 19 10 00 00 05 00"));
    bool Answered = false;
    for (const auto& Written : TakeWrites())
        Answered = Answered || (Written.size() > 4 && Written[2] == 0x03 && Written[4] == 0x09);
    EXPECT_TRUE(Answered);
}

INSTANTIATE_TEST_SUITE_P(BothSchedulers, BackToBackFixture,
                         ::testing::Values(kivrt::Scheduler::Deterministic,
                                           kivrt::Scheduler::Threaded),
                         [](const ::testing::TestParamInfo<kivrt::Scheduler>& Info) {
                             return Info.param == kivrt::Scheduler::Threaded
                                        ? std::string("Threaded")
                                        : std::string("Deterministic");
                         });
