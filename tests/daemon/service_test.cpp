// kivsdpd as a service: the socket paths it will and will not take, its default run directory,
// and SIGHUP applying what changed in the record directory.
#include "DaemonFixture.h"

#include "ctlproto.h"
#include "kivsdpioctl.h"
#include "sdpclient.h"
#include "unixsocket.h"

#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kivctl;

namespace {

// A record in the public browse group whose service name (0x0100) is Name.
std::string RecordXml(const std::string& Name)
{
    return "<record>\n"
           "  <attribute id=\"0x0001\"><sequence><uuid value=\"0x1101\"/></sequence></attribute>\n"
           "  <attribute id=\"0x0005\"><sequence><uuid value=\"0x1002\"/></sequence></attribute>\n"
           "  <attribute id=\"0x0100\"><text value=\"" +
           Name + "\"/></attribute>\n</record>\n";
}

BYTES BrowsePdu(uint16_t Tid, uint16_t MaxBytes, const BYTES& Cont)
{
    BYTES Frame = SearchAttrRequest(0, Tid, {kivtool::MakeUuid16(UUID_PUBLIC_BROWSE_GROUP)},
                                    MaxBytes, {AttrRange{}}, Cont);
    Frame.erase(Frame.begin(), Frame.begin() + 2);
    return Frame;
}

} // namespace

class ServiceFixture : public DaemonFixture {
protected:
    // Waits until the daemon's log names Piece Times times.
    bool LogShows(const DAEMON& D, const std::string& Piece, size_t Times = 1)
    {
        return WaitFor([&] { return CountOf(LogOf(D), Piece) >= Times; });
    }
    // The device's whole database as the driver serialises it, read through the control socket.
    BYTES Database(const DAEMON& D)
    {
        int Fd = OpenDevice(D);
        BYTES Get = CtlHeader(CTL_IOCTL, 2), Raw;
        PutLe32(Get, IOCTL_KIVSDP_GET_DATABASE);
        PutLe32(Get, CTL_MAX_IO);
        CtlReply R;
        EXPECT_TRUE(Exchange(Fd, Get, Raw) && ParseReply(Raw.data(), Raw.size(), R) &&
                    R.Status == 0);
        close(Fd);
        return R.Output;
    }
    // The first response of a browse that needs several (at MTU 48): its continuation state.
    BYTES StartBrowse(int Fd)
    {
        BYTES m;
        Response R;
        std::string Err;
        EXPECT_TRUE(Exchange(Fd, BrowsePdu(1, 0xFFFF, {}), m) &&
                    ParseResponse(m.data(), m.size(), PDU_SEARCH_ATTR_RESPONSE, 1, R, Err))
            << Err;
        EXPECT_FALSE(R.Cont.empty());
        return R.Cont;
    }
    // A whole browse series from the start: every attribute list byte.
    std::string Browse(int Fd)
    {
        std::string Lists;
        BYTES Cont, m;
        for (uint16_t Tid = 10; Tid < 40; Tid++) {
            Response R;
            std::string Err;
            if (!Exchange(Fd, BrowsePdu(Tid, 0xFFFF, Cont), m) ||
                !ParseResponse(m.data(), m.size(), PDU_SEARCH_ATTR_RESPONSE, Tid, R, Err)) {
                ADD_FAILURE() << "browse: " << Err;
                break;
            }
            Lists.append(R.AttributeBytes.begin(), R.AttributeBytes.end());
            if (R.Cont.empty()) break;
            Cont = R.Cont;
        }
        return Lists;
    }
};

TEST_F(ServiceFixture, SocketPathsOfOthersAreNeverTaken)
{
    // A file that is not a socket: refused in one line, left as it was.
    std::string File = Write("file.ctl", "keep\n");
    RUN_RESULT R = Run(KIVSDPD_PATH, {"--control", File, "--listen", m_Dir + "/f.sdp"});
    EXPECT_EQ(R.Exit, 1);
    EXPECT_EQ(R.Err, "kivsdpd: " + File + ": exists and is not a socket (not removed)\n");
    EXPECT_EQ(ReadFile(File), "keep\n");

    // A socket another daemon serves, as the listen path and as the control path.
    DAEMON A = Start("a");
    R = Run(KIVSDPD_PATH, {"--listen", A.Sdp, "--control", m_Dir + "/b.ctl"});
    EXPECT_EQ(R.Exit, 1);
    EXPECT_EQ(R.Err, "kivsdpd: " + A.Sdp + ": another kivsdpd is serving it\n");
    R = Run(KIVSDPD_PATH, {"--control", A.Ctl});
    EXPECT_EQ(R.Exit, 1);
    EXPECT_EQ(R.Err, "kivsdpd: " + A.Ctl + ": another kivsdpd is serving it\n");
    CtlOk(A, {"records"});
    int Fd = Connect(A.Sdp);
    BYTES m;
    EXPECT_TRUE(Exchange(Fd, BrowsePdu(1, 64, {}), m));
    close(Fd);
    StopClean(A);

    // Stale sockets (nobody accepts on them) are replaced.
    for (const char* Name : {"c.sdp", "c.ctl"}) {
        int S = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un Addr;
        ASSERT_TRUE(kivtool::UnixAddress(m_Dir + "/" + Name, Addr));
        ASSERT_EQ(bind(S, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), 0);
        close(S);
    }
    DAEMON C = Start("c"); // returns at once: the control path exists already
    ASSERT_TRUE(LogShows(C, "kivsdpd: serving ")) << LogOf(C);
    CtlOk(C, {"records"});
    StopClean(C);
}

TEST_F(ServiceFixture, DefaultRunDirectoryIsGroupOnlyAndFoundByTheClient)
{
    // Root's is the system one: not while a system daemon may be using it.
    const bool Root = geteuid() == 0;
    const std::string Run = Root ? "/run/kivsdpd" : m_Dir + "/xdg/kivsdpd";
    struct stat St;
    if (Root && lstat(Run.c_str(), &St) == 0 &&
        (St.st_uid != 0 || lstat((Run + "/control").c_str(), &St) == 0))
        GTEST_SKIP() << Run << " belongs to a daemon of this machine";
    if (!Root) {
        ASSERT_EQ(mkdir((m_Dir + "/xdg").c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", (m_Dir + "/xdg").c_str(), 1);
    }
    unsetenv("KIVSDP_CONTROL");
    const gid_t Group = Root ? 4242 : getegid();
    DAEMON D;
    D.Sdp = m_Dir + "/d.sdp";
    D.Ctl = Run + "/control";
    D.Log = m_Dir + "/d.log";
    D.Pid = Spawn(KIVSDPD_PATH,
                  {"--listen", D.Sdp, "--group", std::to_string(Group), "--records", RECORDS_DIR},
                  m_Dir + "/d.out", D.Log);
    m_Owned.push_back(D);
    EXPECT_TRUE(LogShows(D, "kivsdpd: serving ")) << LogOf(D);
    ASSERT_EQ(lstat(Run.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0750u);
    EXPECT_EQ(St.st_gid, Group);
    for (const std::string& Socket : {D.Ctl, D.Sdp}) {
        ASSERT_EQ(lstat(Socket.c_str(), &St), 0) << Socket;
        EXPECT_TRUE(S_ISSOCK(St.st_mode));
        EXPECT_EQ(St.st_mode & 0777, 0660u) << Socket;
        EXPECT_EQ(St.st_gid, Group) << Socket;
    }
    // kivsdpctl without --control finds it.
    RUN_RESULT R = DaemonFixture::Run(KIVSDPCTL_PATH, {"records"});
    EXPECT_EQ(R.Exit, 0) << R.Err;
    EXPECT_EQ(R.Out.size(), 5 * 11u);
    StopClean(D);
    if (Root) {
        EXPECT_EQ(system("rm -rf /run/kivsdpd"), 0);
    }
}

TEST_F(ServiceFixture, ReloadAppliesTheDifferenceAllOrNothing)
{
    const std::string Dir = m_Dir + "/records";
    ASSERT_EQ(mkdir(Dir.c_str(), 0700), 0);
    Write("records/a.xml", RecordXml("Alpha"));
    Write("records/b.xml", RecordXml("Bravo"));
    Write("records/c.xml", RecordXml("Charlie"));
    DAEMON D = Start("d", {"--records", Dir, "--mtu", "48"});
    ASSERT_EQ(CtlOk(D, {"records"}), "0x00010000\n0x00010001\n0x00010002\n");
    int Fd = Connect(D.Sdp);
    ASSERT_GE(Fd, 0);

    // A bad file among good ones: refused by name and line, the database as it was byte for
    // byte, and a browse in progress goes on.
    const BYTES Before = Database(D);
    ASSERT_FALSE(Before.empty());
    BYTES Cont = StartBrowse(Fd);
    Write("records/b.xml", RecordXml("Bravissimo"));
    Write("records/d.xml", "<record>\n  <attribute id=\"0x0100\">\n</record>\n");
    kill(D.Pid, SIGHUP);
    ASSERT_TRUE(LogShows(D, "records are unchanged")) << LogOf(D);
    EXPECT_EQ(CountOf(LogOf(D), "reload: " + Dir + "/d.xml: line 3"), 1u) << LogOf(D);
    EXPECT_EQ(Database(D), Before);
    BYTES m;
    EXPECT_TRUE(Exchange(Fd, BrowsePdu(2, 0xFFFF, Cont), m));
    ASSERT_GE(m.size(), 1u);
    EXPECT_EQ(m[0], PDU_SEARCH_ATTR_RESPONSE);

    // Added, removed, changed: one line with the counts; the browse in progress gets the
    // invalid continuation error, a fresh one on the same channel the new records.
    unlink((Dir + "/d.xml").c_str());
    unlink((Dir + "/c.xml").c_str());
    Write("records/e.xml", RecordXml("Echo"));
    Cont = StartBrowse(Fd);
    kill(D.Pid, SIGHUP);
    ASSERT_TRUE(LogShows(D, "reloaded " + Dir + ": 1 added, 1 removed, 1 changed, 1 unchanged"))
        << LogOf(D);
    ASSERT_TRUE(Exchange(Fd, BrowsePdu(3, 0xFFFF, Cont), m));
    // Error response, transaction 3, ErrorCode 0x0005 (invalid continuation state).
    ASSERT_GE(m.size(), 7u);
    EXPECT_EQ(BYTES(m.begin(), m.begin() + 3), BYTES({PDU_ERROR_RESPONSE, 0, 3}));
    EXPECT_EQ(BYTES(m.begin() + 5, m.begin() + 7), BYTES({0, 5}));
    const std::string Lists = Browse(Fd);
    for (const char* Name : {"Alpha", "Bravissimo", "Echo"})
        EXPECT_NE(Lists.find(Name), std::string::npos) << Name;
    for (const char* Name : {"Bravo", "Charlie"})
        EXPECT_EQ(Lists.find(Name), std::string::npos) << Name;
    // The unchanged file keeps its record and handle; the new and changed ones get new handles.
    EXPECT_EQ(Ctl(D, {"records"}).Out, "0x00010000\n0x00010003\n0x00010004\n");
    close(Fd);
    StopClean(D);
}

TEST_F(ServiceFixture, InfoShowsChannelsRecordsAndRefusals)
{
    DAEMON D = Start("i", {"--records", RECORDS_DIR, "--mtu", "100", "--devices", "2"});
    int Fd = Connect(D.Sdp);
    ASSERT_GE(Fd, 0);
    BYTES m;
    ASSERT_TRUE(Exchange(Fd, BrowsePdu(1, 0xFFFF, {}), m)); // the channel is up
    // A frame longer than a read of the SDP device holds: dropped.
    BYTES Long(4000, 0x35);
    ASSERT_EQ(send(Fd, Long.data(), Long.size(), MSG_NOSIGNAL), ssize_t(Long.size()));
    EXPECT_TRUE(Exchange(Fd, BrowsePdu(2, 0xFFFF, {}), m));
    RUN_RESULT R = Ctl(D, {"--json", "info"});
    EXPECT_EQ(R.Exit, 0) << R.Err;
    const std::string Devices =
        "\"devices\":[{\"name\":\"KivSdp0\",\"listen\":\"" + D.Sdp +
        "\",\"records\":5,\"channels\":[{\"cid\":64,\"mtu\":100}],\"refused_frames\":1,"
        "\"refused_connections\":0,\"refused_controls\":0},{\"name\":\"KivSdp1\",\"listen\":"
        "\"\",\"records\":5,\"channels\":[],\"refused_frames\":0,\"refused_connections\":0,"
        "\"refused_controls\":0}]";
    EXPECT_NE(R.Out.find(Devices), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("\"control\":\"" + D.Ctl + "\""), std::string::npos) << R.Out;
    // Nothing was left out of the log, and no channel has been idle long enough yet.
    EXPECT_NE(R.Out.find("\"suppressed_log_lines\":0,\"idle_disconnects\":0}"), std::string::npos)
        << R.Out;
    close(Fd);
    // The channel closed: gone from the list.
    const std::string Closed = "KivSdp0: " + D.Sdp + ", 5 record(s), 0 channel(s) open\n";
    EXPECT_TRUE(
        WaitFor([&] { return Ctl(D, {"info"}).Out.find(Closed) != std::string::npos; }, 100))
        << Ctl(D, {"info"}).Out;
    StopClean(D);
}
