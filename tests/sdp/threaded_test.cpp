// Transactions and database requests from several threads, serialised only
// by the host's database lock: series either complete or break with 0x0005,
// and no response is torn.
#include "sdpfixture.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "kivsdpioctl.h"

namespace {

std::mutex g_DatabaseMutex;

} // namespace

TEST_F(SdpCoreFixture, ConcurrentSeriesAndDatabaseChangesStayConsistent)
{
    Db.SetLockHooks([](void*) { g_DatabaseMutex.lock(); }, [](void*) { g_DatabaseMutex.unlock(); },
                    nullptr);
    for (int i = 0; i < 6; i++) {
        const uint32_t h = AddRecord();
        AddAttr(h, 0x0001, Seq(Uuid16(0x1101)));
        AddAttr(h, 0x0005, Seq(Uuid16(0x1002)));
        AddAttr(h, 0x0100, Cat({{0x25, 60}, Bytes(60, static_cast<uint8_t>('a' + i))}));
    }
    // Nothing below prints: the fixture's line recorder is not thread-safe.
    SdpSetZoneMask(0);
    Channels.CreateL2capContext(0x0040, 48);

    std::atomic<bool> Stop{false};
    std::atomic<int> Completed{0}, Broken{0}, Bad{0};
    auto Reader = [&](uint16_t Tid) {
        for (int Round = 0; Round < 150 && !Bad; Round++) {
            Bytes Cont = {0x00};
            for (int Step = 0; Step < 100; Step++) {
                const Bytes Req =
                    SsaReq(Tid, Seq(Uuid16(0x1002)), 0xFFFF, Seq(Range(0, 0xFFFF)), Cont);
                uint8_t Rsp[MAX_SDP_DATA_PACKET_SIZE];
                const uint32_t n =
                    Db.ExecuteSdpRequest(Req.data(), static_cast<uint32_t>(Req.size()), Rsp, 48);
                const Bytes R(Rsp, Rsp + n);
                // A resumed response may carry a single byte; a torn one
                // would not match its own ParameterLength.
                if (n > 48 || n < 8 || size_t(R[3] << 8 | R[4]) + 5 != n) {
                    Bad++;
                    return;
                }
                if (R[0] == 0x01) {
                    // Only a state made stale by a writer may fail.
                    if (R != ErrorPdu(Tid, 5) || Cont.size() != 13) Bad++;
                    Broken++;
                    break;
                }
                Cont = ContinuationOf(R);
                if (Cont.size() == 1) {
                    Completed++;
                    break;
                }
            }
        }
    };
    auto Writer = [&]() {
        for (int i = 0; i < 300 && !Stop; i++) {
            Bytes Add = Cat({Le32(0x00010000), {0x00, 0x03}, Le32(2), {0x28, 0x01}});
            SDP_IOCTL_BUFFER Io = {Add.data(), static_cast<uint32_t>(Add.size()), 0, 0};
            Db.UserIoctlAddAttribute(Io);
            std::this_thread::yield();
            Bytes Del = Cat({Le32(0x00010000), {0x00, 0x03}});
            Io = {Del.data(), 6, 0, 0};
            Db.UserIoctlDeleteAttribute(Io);
        }
    };
    std::thread r1(Reader, uint16_t(1)), r2(Reader, uint16_t(2)), w(Writer);
    r1.join();
    r2.join();
    Stop = true;
    w.join();
    EXPECT_EQ(Bad, 0);
    EXPECT_GT(Completed + Broken, 0);
    Db.SetLockHooks(nullptr, nullptr, nullptr);
    SdpSetZoneMask(SDP_ZONE_DEFAULT_MASK);
}
