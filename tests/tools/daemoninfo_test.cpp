// The CTL_INFO reply: what a reader takes and what it refuses.
#include "daemoninfo.h"

#include <gtest/gtest.h>

namespace {

bool Decode(const std::string& Text, kivtool::DAEMON_INFO& Info, std::string& Err)
{
    return kivtool::DecodeDaemonInfo(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(),
                                     Info, Err);
}

TEST(DaemonInfo, ReadsDevicesChannelsAndOptionalCounters)
{
    kivtool::DAEMON_INFO Info;
    std::string Err;
    ASSERT_TRUE(Decode("version 1.2\ncontrol /run/a b/control\nuptime 90061\nfuture-key x y\n"
                       "device KivSdp0\nlisten \nrecords 3\nrefused-frames 18446744073709551615\n"
                       "channel 64 672\nchannel 65535 48\nidle-disconnects 7\n",
                       Info, Err))
        << Err;
    EXPECT_EQ(Info.Control, "/run/a b/control");
    EXPECT_EQ(Info.UptimeSeconds, 90061u);
    ASSERT_EQ(Info.Devices.size(), 1u);
    EXPECT_EQ(Info.Devices[0].Listen, "");
    EXPECT_EQ(Info.Devices[0].Records, 3u);
    EXPECT_EQ(Info.Devices[0].RefusedFrames, UINT64_MAX);
    ASSERT_EQ(Info.Devices[0].Channels.size(), 2u);
    EXPECT_EQ(Info.Devices[0].Channels[1].Cid, 0xFFFF);
    EXPECT_EQ(Info.Devices[0].Channels[1].Mtu, 48);
    EXPECT_FALSE(Info.SuppressedLogLines.has_value());
    EXPECT_EQ(Info.IdleDisconnects.value_or(0), 7u);
}

TEST(DaemonInfo, RefusesWhatIsNotItsText)
{
    const char* const Bad[] = {
        "version\n",                      // no value
        " 1\n",                           // no key
        "records 3\n",                    // a device's value before any device
        "device K\nrecords 4294967296\n", // past 32 bits
        "device K\nchannel 64\n",         // no MTU
        "device K\nchannel 65536 48\n",   // CID past 16 bits
        "uptime -1\n",                    // not a number
        "idle-disconnects 12x\n",         // not a number
    };
    for (const char* Text : Bad) {
        kivtool::DAEMON_INFO Info;
        Info.Version = "kept";
        std::string Err;
        EXPECT_FALSE(Decode(Text, Info, Err)) << Text;
        EXPECT_FALSE(Err.empty()) << Text;
        EXPECT_EQ(Info.Version, "kept") << Text;
    }
}

} // namespace
