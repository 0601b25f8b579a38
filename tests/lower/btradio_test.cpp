// btradio_test.cpp: the Bluetooth side of the socket radio. The kernel interface (address
// layout, MTU clamp; what a machine without Bluetooth answers is the daemon tests' part), and
// the socket radio serving a listening socket it was handed, each channel with the MTU read from
// its socket.

#include "btradio.h"
#include "l2capclient.h"
#include "socketradio.h"

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace l2captest;

TEST(BluetoothSocket, AddressAndMtuClamp)
{
    // Family, PSM little-endian, any adapter (zero), CID 0, address type 0.
    kivbt::SOCKADDR_L2 Addr = kivbt::AnyAdapterAddress(0x1001);
    const UCHAR Expected[14] = {31, 0, 0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(&Addr, Expected, sizeof(Expected)), 0);

    const struct {
        unsigned In;
        USHORT Out;
    } Cases[] = {{0, 48},    {47, 48},   {48, 48},   {100, 100},
                 {512, 512}, {513, 512}, {672, 512}, {65535, 512}};
    for (const auto& C : Cases)
        EXPECT_EQ(kivbt::ClampMtu(C.In), C.Out) << C.In;

    // Device addresses: written most significant byte first, kept by the kernel least first.
    const struct {
        const char* Text;
        bool Ok;
        UCHAR Bdaddr[6];
    } Addresses[] = {
        {"00:1A:7d:DA:71:13", true, {0x13, 0x71, 0xDA, 0x7D, 0x1A, 0x00}},
        {"ff:ff:ff:ff:ff:ff", true, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"00:1A:7D:DA:71", false, {}},
        {"00:1A:7D:DA:71:1G", false, {}},
        {"00-1A-7D-DA-71-13", false, {}},
        {"/tmp/sdp0.sock.xyz", false, {}},
    };
    for (const auto& A : Addresses) {
        uint8_t Out[6] = {};
        EXPECT_EQ(kivbt::ParseBluetoothAddress(A.Text, Out), A.Ok) << A.Text;
        if (A.Ok) {
            EXPECT_EQ(memcmp(Out, A.Bdaddr, 6), 0) << A.Text;
        }
    }

    // A socket that is not L2CAP has no MTU to read: the smallest is the safe answer.
    int Pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, Pair), 0);
    EXPECT_EQ(kivbt::L2capChannelMtu(Pair[0]), 48);
    close(Pair[0]);
    close(Pair[1]);
}

namespace {

class HandedSocketFixture : public L2capFixture {
protected:
    void SetUp() override
    {
        Build(kivrt::Scheduler::Threaded);
        m_Path = "/tmp/kivsdp-btradio-" + std::to_string(getpid());
        unlink(m_Path.c_str());
    }
    void TearDown() override
    {
        m_Socket.Stop();
        unlink(m_Path.c_str());
        L2capFixture::TearDown();
    }
    int Listener()
    {
        sockaddr_un Addr{};
        Addr.sun_family = AF_UNIX;
        strncpy(Addr.sun_path, m_Path.c_str(), sizeof(Addr.sun_path) - 1);
        int Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_GE(Fd, 0);
        EXPECT_EQ(bind(Fd, (sockaddr*)&Addr, sizeof(Addr)), 0);
        EXPECT_EQ(listen(Fd, 4), 0);
        return Fd;
    }
    int ConnectClient()
    {
        sockaddr_un Addr{};
        Addr.sun_family = AF_UNIX;
        strncpy(Addr.sun_path, m_Path.c_str(), sizeof(Addr.sun_path) - 1);
        int Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(Fd, (sockaddr*)&Addr, sizeof(Addr)), 0);
        return Fd;
    }
    std::string m_Path;
    CSocketRadio m_Socket;
};

} // namespace

TEST_F(HandedSocketFixture, ChannelsGetTheMtuReadFromTheirSocket)
{
    int Fd = Listener();
    std::vector<int> Asked;
    CSocketRadio::OPTIONS Opt;
    Opt.ListenFd = Fd;
    Opt.Mtu = 672; // not what the channels report
    Opt.ChannelMtu = [&Asked](int Accepted) {
        Asked.push_back(Accepted);
        return kivbt::L2capChannelMtu(Accepted); // 48: an AF_UNIX socket has none
    };
    std::string Err;
    ASSERT_TRUE(m_Socket.Start(m_Dev, Opt, Err)) << Err;

    auto L = CLIENT_REQUEST::Listen(m_Dev, A());
    L->Send();
    int Client = ConnectClient();
    for (int i = 0; i < 500 && !L->Done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(L->Done());
    EXPECT_EQ(L->Status(), STATUS_SUCCESS);
    std::vector<UCHAR> Rec = L->Output();
    ASSERT_EQ(Rec.size(), 54u);
    EXPECT_EQ(Rec[0] | Rec[1] << 8, CSocketRadio::FIRST_CID);
    EXPECT_EQ(Rec[2] | Rec[3] << 8, int(KIVL2CAP_STATUS_CONNECTED));
    EXPECT_EQ(Rec[30] | Rec[31] << 8, 48);
    EXPECT_EQ(Asked.size(), 1u);

    // The handed socket is the radio's: Stop closes it, and the path stays (not the radio's).
    m_Socket.Stop();
    EXPECT_EQ(fcntl(Fd, F_GETFD), -1);
    EXPECT_EQ(access(m_Path.c_str(), F_OK), 0);
    close(Client);
}

TEST_F(HandedSocketFixture, RefusedStartClosesTheHandedSocket)
{
    int Fd = Listener();
    CSocketRadio::OPTIONS Opt;
    Opt.ListenFd = Fd;
    Opt.ListenPath = m_Path + ".other";
    std::string Err;
    EXPECT_FALSE(m_Socket.Start(m_Dev, Opt, Err));
    EXPECT_NE(Err.find("both"), std::string::npos) << Err;
    EXPECT_EQ(fcntl(Fd, F_GETFD), -1);
    EXPECT_EQ(access(Opt.ListenPath.c_str(), F_OK), -1);
}
