// The capture writer: btsnoop records and HCI/L2CAP packets against hand-worked bytes, and the
// packet sequence a channel's life leaves in a capture file.
#include <gtest/gtest.h>

#include "HexBytes.h"
#include "btsnoop.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using btsnoop::BYTES;

namespace {

BYTES Record(uint32_t Flags, int64_t UnixUs, const BYTES& Packet)
{
    BYTES Out;
    btsnoop::AppendRecord(Out, Flags, UnixUs + btsnoop::UNIX_EPOCH_US, Packet);
    return Out;
}

const uint8_t ADDR1[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
const uint8_t PAYLOAD[7] = {0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};

} // namespace

TEST(BtSnoopEncoding, HandWorkedBytes)
{
    struct CASE {
        const char* Name;
        BYTES Got;
        const char* Want;
    } Cases[] = {
        {"file header: identification, version 1, datalink 1002", btsnoop::FileHeader(),
         "6274736e6f6f7000 00000001 000003ea"},
        {"received ACL record, 1 s after the Unix epoch",
         Record(btsnoop::FLAG_RECEIVED, 1000000,
                btsnoop::AclPackets(0x0001, 0x0040, PAYLOAD, sizeof(PAYLOAD)).front()),
         "00000010 00000010 00000001 00000000 00dcddb30f3ec240"
         " 02 0120 0b00 0700 4000 01000100020003"},
        {"sent signalling record: connection request for PSM 1 from CID 0x0040",
         Record(0, 0, btsnoop::ConnectionRequest(0x0002, 1, btsnoop::PSM_SDP, 0x0040)),
         "00000011 00000011 00000000 00000000 00dcddb30f2f8000"
         " 02 0220 0c00 0800 0100 02 01 0400 0100 4000"},
        {"event record: connection complete",
         Record(btsnoop::FLAG_RECEIVED | btsnoop::FLAG_COMMAND_EVENT, 0,
                btsnoop::ConnectionComplete(0x0001, ADDR1)),
         "0000000e 0000000e 00000003 00000000 00dcddb30f2f8000"
         " 04 03 0b 00 0100 010000000000 01 00"},
        {"connection response, success", btsnoop::ConnectionResponse(0x0001, 1, 0x0040, 0x0041),
         "02 0120 1000 0c00 0100 03 01 0800 4000 4100 0000 0000"},
        {"configure request with MTU 48", btsnoop::ConfigureRequest(0x0001, 2, 0x0040, 48),
         "02 0120 1000 0c00 0100 04 02 0800 4000 0000 01 02 3000"},
        {"configure response, success, MTU 48", btsnoop::ConfigureResponse(0x0001, 2, 0x0040, 48),
         "02 0120 1200 0e00 0100 05 02 0a00 4000 0000 0000 01 02 3000"},
        {"disconnection request and response",
         btsnoop::DisconnectionRequest(0x0ABC, 0xFF, 0x0040, 0x0041),
         "02 bc2a 0c00 0800 0100 06 ff 0400 4000 4100"},
        {"disconnection response", btsnoop::DisconnectionResponse(0x0001, 7, 0x0040, 0x0041),
         "02 0120 0c00 0800 0100 07 07 0400 4000 4100"},
        {"disconnection complete, remote user", btsnoop::DisconnectionComplete(0x0003, 0x13),
         "04 05 04 0003 00 13"},
        {"empty L2CAP payload", btsnoop::AclPackets(0x0001, 0x0040, nullptr, 0).front(),
         "02 0120 0400 0000 4000"},
    };
    for (const CASE& C : Cases)
        EXPECT_EQ(C.Got, Hex(C.Want)) << C.Name;
}

TEST(BtSnoopEncoding, FramesLongerThanAnAclPacketAreFragmented)
{
    const uint8_t Payload[3] = {0xAA, 0xBB, 0xCC};
    std::vector<BYTES> Packets = btsnoop::AclPackets(0x0005, 0x0040, Payload, 3, 4);
    ASSERT_EQ(Packets.size(), 2u);
    EXPECT_EQ(Packets[0], Hex("02 0520 0400 0300 4000"));
    EXPECT_EQ(Packets[1], Hex("02 0510 0300 aabbcc"));

    // A payload at the 16-bit L2CAP limit does not fit one ACL packet with its basic header.
    BYTES Big(0xFFFF, 0x5A);
    Packets = btsnoop::AclPackets(0x0001, 0x0040, Big.data(), Big.size());
    ASSERT_EQ(Packets.size(), 2u);
    EXPECT_EQ(Packets[0].size(), 5u + 0xFFFF);
    EXPECT_EQ(BYTES(Packets[0].begin(), Packets[0].begin() + 9), Hex("02 0120 ffff ffff 4000"));
    EXPECT_EQ(Packets[1], Hex("02 0110 0400 5a5a5a5a"));
}

namespace {

using btsnoop::RECORD;

bool ReadCapture(const std::string& Path, std::vector<RECORD>& Out)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    std::string Text = S.str();
    std::string Err;
    bool Ok = btsnoop::ParseFile(BYTES(Text.begin(), Text.end()), Out, Err);
    EXPECT_TRUE(Ok) << Path << ": " << Err;
    return Ok;
}

// Flags and what a packet is, in a word: "evt 03", "sig 02", "acl 0040".
std::string Describe(const RECORD& R)
{
    char Text[32];
    const BYTES& p = R.Packet;
    if (p.size() >= 2 && p[0] == btsnoop::H4_EVENT)
        snprintf(Text, sizeof(Text), "%u evt %02x", R.Flags, p[1]);
    else if (p.size() >= 10 && p[0] == btsnoop::H4_ACL && p[7] == 0x01 && p[8] == 0x00)
        snprintf(Text, sizeof(Text), "%u sig %02x", R.Flags, p[9]);
    else if (p.size() >= 9 && p[0] == btsnoop::H4_ACL)
        snprintf(Text, sizeof(Text), "%u acl %02x%02x", R.Flags, p[8], p[7]);
    else
        snprintf(Text, sizeof(Text), "%u ?", R.Flags);
    return Text;
}

class CaptureFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/kivsdp-btsnoop.XXXXXX";
        int Fd = mkstemp(Template);
        ASSERT_GE(Fd, 0);
        close(Fd);
        m_Path = Template;
        std::string Err;
        ASSERT_TRUE(m_Writer.Open(m_Path, Err, [this] { return m_Now++; })) << Err;
    }
    void TearDown() override { unlink(m_Path.c_str()); }

    std::vector<std::string> CloseAndDescribe()
    {
        m_Writer.Close();
        std::vector<RECORD> Records;
        EXPECT_TRUE(ReadCapture(m_Path, Records));
        std::vector<std::string> Out;
        for (size_t i = 0; i < Records.size(); i++) {
            Out.push_back(Describe(Records[i]));
            EXPECT_EQ(Records[i].Timestamp, btsnoop::UNIX_EPOCH_US + int64_t(1000 + i));
        }
        m_Records = Records;
        return Out;
    }

    std::string m_Path;
    int64_t m_Now = 1000;
    CBtSnoopWriter m_Writer;
    std::vector<RECORD> m_Records;
};

using LINES = std::vector<std::string>;

} // namespace

TEST_F(CaptureFile, RemoteChannelIsSetUpCarriesFramesBothWaysAndClosesByThePeer)
{
    m_Writer.ChannelUp(0, 0x0040, 48, false);
    m_Writer.Frame(0, 0x0040, false, PAYLOAD, sizeof(PAYLOAD));
    m_Writer.Frame(0, 0x0040, true, PAYLOAD, 3);
    m_Writer.ChannelDown(0, 0x0040, false);
    // Received = 1, events add 2: the peer connects and configures first; this side answers.
    EXPECT_EQ(CloseAndDescribe(),
              (LINES{"3 evt 03", "1 sig 02", "0 sig 03", "1 sig 04", "0 sig 05", "0 sig 04",
                     "1 sig 05", "1 acl 0040", "0 acl 0040", "1 sig 06", "0 sig 07", "3 evt 05"}));
    ASSERT_EQ(m_Records.size(), 12u);
    EXPECT_EQ(m_Records[3].Packet, btsnoop::ConfigureRequest(0x0001, 2, 0x0040, 48));
    EXPECT_EQ(m_Records[7].Packet,
              btsnoop::AclPackets(0x0001, 0x0040, PAYLOAD, sizeof(PAYLOAD)).front());
    EXPECT_EQ(m_Records[11].Packet,
              btsnoop::DisconnectionComplete(0x0001, btsnoop::REASON_REMOTE_USER_TERMINATED));
}

TEST_F(CaptureFile, OutgoingChannelMirrorsTheDirectionsAndCloseEndsOpenChannels)
{
    m_Writer.ChannelUp(1, 0x0040, 672, true);
    m_Writer.Frame(1, 0x0040, true, PAYLOAD, 2);
    EXPECT_EQ(CloseAndDescribe(),
              (LINES{"3 evt 03", "0 sig 02", "1 sig 03", "0 sig 04", "1 sig 05", "1 sig 04",
                     "0 sig 05", "0 acl 0040", "0 sig 06", "1 sig 07", "3 evt 05"}));
    ASSERT_EQ(m_Records.size(), 11u);
    EXPECT_EQ(m_Records[10].Packet,
              btsnoop::DisconnectionComplete(0x0001, btsnoop::REASON_LOCAL_HOST_TERMINATED));
    // Nothing is written once closed.
    m_Writer.Frame(1, 0x0040, true, PAYLOAD, 2);
    std::vector<RECORD> Again;
    ASSERT_TRUE(ReadCapture(m_Path, Again));
    EXPECT_EQ(Again.size(), 11u);
}

TEST_F(CaptureFile, ChannelsGetTheirOwnHandlesAndFramesOfUnknownChannelsSetOneUp)
{
    m_Writer.ChannelUp(0, 0x0040, 48, false);
    m_Writer.ChannelUp(1, 0x0040, 48, false); // same CID on another device
    m_Writer.ChannelDown(0, 0x0040, true);
    m_Writer.ChannelDown(0, 0x0099, true); // never up: nothing written
    m_Writer.Frame(0, 0x0041, false, PAYLOAD, 1);
    m_Writer.Close();
    std::vector<RECORD> Records;
    ASSERT_TRUE(ReadCapture(m_Path, Records));
    std::vector<uint16_t> Handles; // of each connection complete event, in order
    size_t Acl = 0;
    for (const RECORD& R : Records) {
        if (R.Packet[0] == btsnoop::H4_EVENT && R.Packet[1] == btsnoop::EVT_CONNECTION_COMPLETE)
            Handles.push_back(uint16_t(R.Packet[4] | R.Packet[5] << 8));
        if (R.Packet[0] == btsnoop::H4_ACL && R.Packet[7] == 0x41) Acl++;
    }
    EXPECT_EQ(Handles, (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(Acl, 1u);
    // 3 set-ups of 7 records, 3 closings of 3, one data frame.
    EXPECT_EQ(Records.size(), 3u * 7 + 3u * 3 + 1);
}

TEST(BtSnoopParse, CutOrPartialRecordsAreRefused)
{
    BYTES File = btsnoop::FileHeader();
    btsnoop::AppendRecord(File, 1, 7, Hex("02 0120 0400 0000 4000"));
    std::vector<RECORD> Records;
    std::string Err;
    ASSERT_TRUE(btsnoop::ParseFile(File, Records, Err)) << Err;
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].Flags, 1u);
    EXPECT_EQ(Records[0].Timestamp, 7);
    EXPECT_EQ(Records[0].Packet, Hex("02 0120 0400 0000 4000"));

    BYTES Cut(File.begin(), File.end() - 1);
    BYTES ShortHeader(File.begin(), File.begin() + 16 + 23);
    BYTES Partial = File;
    Partial[16 + 7] = 8; // included 8 of 9 bytes
    BYTES OtherLink = File;
    OtherLink[15] = 0xE9; // datalink 1001
    BYTES Huge = File;
    Huge[16] = Huge[20] = 0xFF; // lengths near 4 GiB
    for (const BYTES* Bad : {&Cut, &ShortHeader, &Partial, &OtherLink, &Huge}) {
        Records.assign(1, RECORD{});
        Err.clear();
        EXPECT_FALSE(btsnoop::ParseFile(*Bad, Records, Err));
        EXPECT_FALSE(Err.empty());
        EXPECT_EQ(Records.size(), 1u) << "output written on refusal";
    }
}

TEST(CaptureFileOpen, AnUnwritablePathIsRefusedWithAReason)
{
    CBtSnoopWriter Writer;
    std::string Err;
    EXPECT_FALSE(Writer.Open("/nonexistent-dir/capture.btsnoop", Err));
    EXPECT_NE(Err.find("/nonexistent-dir/capture.btsnoop"), std::string::npos) << Err;
    EXPECT_FALSE(Writer.IsOpen());
    Writer.ChannelUp(0, 0x0040, 48, false); // ignored, no crash
}
