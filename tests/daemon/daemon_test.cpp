// kivsdpd and kivsdpctl end to end: the database through the CLI, two daemons browsing each
// other, and bad input on the control socket, in record files and on the command line.
#include "DaemonFixture.h"

#include "ctlproto.h"
#include "kivsdpioctl.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivctl;

namespace {

const std::string RECORDS = RECORDS_DIR;

} // namespace

// ---------------------------------------------------------------------------------------------
// The database through kivsdpctl

TEST_F(DaemonFixture, CliAddsChangesExportsAndDeletesRecords)
{
    DAEMON D = Start("a", {"--records", RECORDS});
    EXPECT_EQ(CtlOk(D, {"records"}),
              "0x00010000\n0x00010001\n0x00010002\n0x00010003\n0x00010004\n");
    EXPECT_EQ(CtlOk(D, {"add", RECORDS + "/serial-port.xml"}), "0x00010005\n");

    CtlOk(D, {"setattr", "0x00010005", "0x0100", "text:Renamed Port"});
    std::string Out = CtlOk(D, {"browse"});
    for (const char* Line : {"Record 0x00010005\n", "0x0100 ServiceName: text \"Renamed Port\"",
                             "uuid16 0x1101 (SerialPort)"})
        EXPECT_NE(Out.find(Line), std::string::npos) << Line;

    CtlOk(D, {"delattr", "0x00010005", "0x0100"});
    Out = CtlOk(D, {"export", "0x00010005"});
    EXPECT_EQ(Out.find("Renamed Port"), std::string::npos);
    EXPECT_EQ(Out.find("id=\"0x0000\""), std::string::npos) << "the handle is never exported";
    // The exported file loads again, as a new record with the same attributes.
    EXPECT_EQ(CtlOk(D, {"add", Write("exported.xml", Out)}), "0x00010006\n");
    EXPECT_EQ(CtlOk(D, {"export", "0x00010005"}), CtlOk(D, {"export", "0x00010006"}));

    CtlOk(D, {"del", "0x00010005"});
    CtlFails(D, {"del", "0x00010005"}, "delete record failed");

    EXPECT_EQ(CtlOk(D, {"--json", "records"}), "[65536,65537,65538,65539,65540,65542]\n");
    Out = CtlOk(D, {"verify", "3503190100"});
    EXPECT_NE(Out.find("uuid16 0x0100 (L2CAP)"), std::string::npos) << Out;
    CtlFails(D, {"verify", "3504190100"}, "");
    Out = CtlOk(D, {"--json", "debug"});
    EXPECT_NE(Out.find("\"NextRecordHandle\":65543"), std::string::npos) << Out;
    StopClean(D);
}

TEST_F(DaemonFixture, BadRecordFilesAreRefusedWithTheirLineAndChangeNothing)
{
    std::string Bad = Write("bad.xml", "<record>\n  <attribute id=\"0x0100\">\n    <text "
                                       "value=\"x\">\n  </attribute>\n</record>\n");
    DAEMON D = Start("a", {"--records", RECORDS});
    const std::string Before = CtlOk(D, {"browse"});
    CtlFails(D, {"add", Bad}, "line 4");
    CtlFails(D, {"add", m_Dir + "/missing.xml"}, "");
    // A value too large for the server: refused before anything is added.
    std::string Big = Write("big.xml", "<record><attribute id=\"0x0100\"><text value=\"" +
                                           std::string(600, 'a') + "\"/></attribute></record>\n");
    CtlFails(D, {"add", Big}, "");
    EXPECT_EQ(CtlOk(D, {"browse"}), Before);
    StopClean(D);

    // The daemon refuses to start on a bad record directory, naming the file and the line.
    std::string Dir = m_Dir + "/records";
    ASSERT_EQ(system(("mkdir " + Dir + " && cp " + Bad + " " + Dir).c_str()), 0);
    RUN_RESULT R = Run(KIVSDPD_PATH, {"--records", Dir, "--control", m_Dir + "/x.ctl"});
    EXPECT_EQ(R.Exit, 1);
    EXPECT_NE(R.Err.find("bad.xml: line 4"), std::string::npos) << R.Err;
}

TEST_F(DaemonFixture, UsageErrorsExitWithAReason)
{
    struct CASE {
        std::vector<std::string> Args;
        int Exit;
        const char* Says;
    } Cases[] = {
        {{}, 2, "no command"},
        {{"--help"}, 0, "usage:"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"records", "--bogus"}, 2, "unknown option"},
        {{"del"}, 2, "wrong number of arguments"},
        {{"del", "xyz"}, 2, "handle 'xyz' is not a number"}, // before the daemon is reached
        {{"--device=x", "records"}, 2, "--device: 'x' is not a number"},
        {{"status", "--count"}, 2, "--count"},
        {{"del", "--remote", "/x", "1"}, 2, "unknown option '--remote'"},
        {{"browse", "--save", "/x"}, 2, "--save needs --remote"},
        {{"setattr", "1", "2", "float:1"}, 2, "unknown value type"},
        {{"verify", "zz"}, 2, "not hex bytes"},
        {{"search", "0x1101"}, 2, "needs --remote"},
        {{"search", "--remote", "/x", "nonsense"}, 2, "not a UUID"},
        {{"records"}, 1, "cannot reach the daemon"},
    };
    for (const CASE& C : Cases) {
        std::vector<std::string> Args{"--control", m_Dir + "/nobody.ctl"};
        Args.insert(Args.end(), C.Args.begin(), C.Args.end());
        SCOPED_TRACE(C.Says);
        RUN_RESULT R = Run(KIVSDPCTL_PATH, Args);
        EXPECT_EQ(R.Exit, C.Exit) << R.Err;
        EXPECT_NE((R.Out + R.Err).find(C.Says), std::string::npos) << R.Out << R.Err;
        if (C.Exit != 0) {
            EXPECT_EQ(CountOf(R.Err, "\n"), 1u) << R.Err;
        }
    }
    for (const char* Command :
         {"records", "browse", "add", "del", "setattr", "delattr", "verify", "export", "debug",
          "zones", "status", "connect", "search", "attrs"}) {
        RUN_RESULT R = Run(KIVSDPCTL_PATH, {Command, "--help"});
        EXPECT_EQ(R.Exit, 0) << Command;
        EXPECT_EQ(R.Out.rfind("usage: kivsdpctl " + std::string(Command), 0), 0u) << R.Out;
    }
}

// The daemon's and the load generator's refusals of a command line, each the whole error
// output, before anything starts.
TEST_F(DaemonFixture, DaemonAndLoadGeneratorNameTheOptionAtFault)
{
    struct CASE {
        std::vector<std::string> Args;
        const char* Err;
    };
    auto Check = [this](const std::string& Tool, const std::vector<CASE>& Cases) {
        const std::string Name = Tool.substr(Tool.rfind('/') + 1);
        for (const CASE& C : Cases) {
            RUN_RESULT R = Run(Tool, C.Args);
            EXPECT_EQ(R.Exit, 2) << C.Err;
            EXPECT_EQ(R.Err, Name + ": " + C.Err + " (see " + Name + " --help)\n");
            EXPECT_EQ(R.Out, "");
        }
    };
    Check(KIVSDPD_PATH,
          {
              {{"--mtu", "47"}, "--mtu takes a number from 48 to 65535"},
              {{"--mtu=65536"}, "--mtu takes a number from 48 to 65535"},
              {{"--mtu="}, "--mtu needs a value"},
              {{"--mtu", ""}, "--mtu takes a number from 48 to 65535"},
              {{"--devices", "0"}, "--devices takes a number from 1 to 10"},
              {{"--devices=0x0b"}, "--devices takes a number from 1 to 10"},
              {{"--zones", "7z"}, "--zones takes a number (0x.. for hex)"},
              {{"--idle-timeout", "86401"}, "--idle-timeout takes seconds from 0 (never) to 86400"},
              {{"--log-rate", "-1"},
               "--log-rate takes lines a second from 0 (every line) to 1000000"},
              {{"--control"}, "--control needs a value"},
              {{"--mtu", "100", "--records"}, "--records needs a value"},
              // A value is the next word, whatever it looks like.
              {{"--records", "--mtu", "100"}, "unexpected argument '100'"},
              {{"--listen", "a", "--frobnicate"}, "unknown option '--frobnicate'"},
              {{"stray"}, "unexpected argument 'stray'"},
              {{"--devices", "2", "--listen", "a", "--listen=b", "--listen", "c"},
               "more --listen paths (and --bluetooth) than devices"},
              // --bluetooth takes a device too, whatever the kernel.
              {{"--listen", "a", "--bluetooth"},
               "more --listen paths (and --bluetooth) than devices"},
          });
    Check(KIVSDP_LOAD_PATH,
          {
              {{}, "give either --daemon or --socket"},
              {{"--socket", "s", "--mtu", "47"}, "--mtu takes 48..65535"},
              {{"--socket", "s", "--channels=1,17"},
               "--channels takes counts from 1 to 16 (the device's channel contexts), "
               "comma-separated"},
              {{"--socket", "s", "--processes", "0"}, "--processes takes 1..16"},
              {{"--socket", "s", "--duration", ""},
               "--duration takes seconds, more than 0 and at most 3600"},
              {{"--socket", "s", "--duration", "3600.5"},
               "--duration takes seconds, more than 0 and at most 3600"},
              {{"--socket", "s", "--uuid", "0x1g"}, "--uuid: '0x1g' is not a UUID"},
              {{"--socket", "s", "--seed", "4294967296"}, "--seed takes 0..4294967295"},
              {{"--socket", "s", "--flood", "headers,all"},
               "--flood takes headers, browse or valid, comma-separated"},
              {{"--socket", "s", "--abuse", "--case", "bad-frames", "--case=nope"},
               "--case: no abuse case 'nope'"},
              {{"--socket", "s", "--case", "bad-frames"}, "--case belongs with --abuse"},
              {{"--socket", "s", "--requests"}, "--requests needs a value"},
              {{"--socket", "s", "--bogus"}, "unknown option '--bogus'"},
              {{"--daemon", "d", "--control", "c"}, "--control belongs with --socket"},
              {{"--socket", "s", "--memory", "5"}, "--memory needs --daemon"},
          });
    // Its usage errors come before the kernel is asked.
    RUN_RESULT Twice = Run(KIVSDPD_PATH, {"--bluetooth", "--bluetooth", "--devices", "2"});
    EXPECT_EQ(Twice.Exit, 2);
    EXPECT_NE(Twice.Err.find("--bluetooth given twice"), std::string::npos) << Twice.Err;
    // Help wins over whatever else the line holds.
    for (const char* Tool : {KIVSDPD_PATH, KIVSDP_LOAD_PATH}) {
        RUN_RESULT R = Run(Tool, {"--mtu", "1", "--help"});
        EXPECT_EQ(R.Exit, 0) << Tool << R.Err;
        EXPECT_EQ(R.Out.rfind("usage: ", 0), 0u) << R.Out;
        EXPECT_NE(R.Out.find("--opt=value"), std::string::npos) << R.Out;
    }
}

// Our machines' kernels have no Bluetooth: the daemon must say so in one line and stop before
// serving anything. Where L2CAP sockets do open, a real adapter stack is there: skipped.
TEST_F(DaemonFixture, BluetoothWithoutKernelSupportStopsWithOneLine)
{
    int Probe = socket(31 /* AF_BLUETOOTH */, SOCK_SEQPACKET, 0 /* BTPROTO_L2CAP */);
    if (Probe >= 0) {
        close(Probe);
        GTEST_SKIP() << "this kernel opens Bluetooth L2CAP sockets";
    }
    int Error = errno;
    RUN_RESULT R = Run(KIVSDPD_PATH, {"--bluetooth", "--control", m_Dir + "/bt.ctl"});
    EXPECT_EQ(R.Exit, 1) << R.Err;
    EXPECT_EQ(CountOf(R.Err, "\n"), 1u) << R.Err;
    EXPECT_EQ(R.Err.rfind("kivsdpd: --bluetooth: ", 0), 0u) << R.Err;
    EXPECT_NE(R.Err.find(strerror(Error)), std::string::npos) << R.Err;
    if (Error == EAFNOSUPPORT) {
        EXPECT_NE(R.Err.find("no Bluetooth in this kernel"), std::string::npos) << R.Err;
    }
    EXPECT_EQ(access((m_Dir + "/bt.ctl").c_str(), F_OK), -1) << "the control socket was made";

    // A client request to a device by its address stops the same way, in one line, and leaves
    // the daemon serving.
    DAEMON D = Start("c");
    for (const char* Verb : {"browse", "records"}) {
        RUN_RESULT C = Ctl(D, {Verb, "--remote", "00:1A:7d:DA:71:13"});
        EXPECT_EQ(C.Exit, 1) << C.Err;
        EXPECT_EQ(CountOf(C.Err, "\n"), 1u) << C.Err;
        EXPECT_EQ(C.Err.rfind("kivsdpctl: cannot connect to 00:1A:7d:DA:71:13: ", 0), 0u) << C.Err;
        EXPECT_NE(C.Err.find(strerror(Error)), std::string::npos) << C.Err;
        if (Error == EAFNOSUPPORT) {
            EXPECT_NE(C.Err.find("no Bluetooth in this kernel"), std::string::npos) << C.Err;
        }
    }
    CtlOk(D, {"records"});
    StopClean(D);
}

// ---------------------------------------------------------------------------------------------
// Client role

// Records in the other tools' dialect (dumped handles, name= attributes) served by one daemon;
// another finds them all, also those outside the public browse group, saves them and a third
// serves the copies: the same records, byte for byte, under handles of its own.
TEST_F(DaemonFixture, RecordsOfAServerAreFoundSavedAndServedAgain)
{
    DAEMON A = Start("a", {"--records", DIALECT_DIR});
    DAEMON B = Start("b");
    // every-type.xml and its export lie outside the public browse group; device-id.xml holds
    // no L2CAP; handsfree-unit.xml is in the group.
    const std::string Browse = CtlOk(B, {"browse", "--remote", A.Sdp});
    EXPECT_EQ(CountOf(Browse, "Record 0x"), 1u) << Browse;
    EXPECT_NE(Browse.find("0x0311 SupportedFeatures: uint16 0x003f (EC/NR"), std::string::npos)
        << Browse;

    const std::string Saved = m_Dir + "/saved";
    const std::string Found = CtlOk(B, {"--json", "records", "--remote", A.Sdp, "--save=" + Saved});
    // Loaded in name order: device-id 0x00010000, every-type 1, its export 2, handsfree-unit 3;
    // the server's own record names no L2CAP.
    EXPECT_EQ(Found.rfind("[{\"handle\":65537,", 0), 0u) << Found;
    EXPECT_EQ(CountOf(Found, "{\"handle\":"), 3u) << Found;
    EXPECT_NE(Found.find("{\"handle\":65539,"), std::string::npos) << Found;

    DAEMON C = Start("c", {"--records", Saved});
    // The copies export to the same files as the originals (handles left out): the records
    // after the server's own, less device-id.
    auto Split = [](const std::string& Export) {
        std::vector<std::string> Records;
        for (size_t At = Export.find("<?xml"); At != std::string::npos;) {
            size_t Next = Export.find("<?xml", At + 1);
            Records.push_back(Export.substr(At, Next == std::string::npos ? Next : Next - At));
            At = Next;
        }
        return Records;
    };
    std::vector<std::string> From = Split(CtlOk(A, {"export"})), To = Split(CtlOk(C, {"export"}));
    ASSERT_EQ(From.size(), 5u);
    ASSERT_EQ(To.size(), 4u);
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(To[i], From[i + 1]) << i;
    EXPECT_NE(To[1].find("<uint128 value=\"00010000000000000000000000000000\" />"),
              std::string::npos)
        << To[1];
    StopClean(A);
    StopClean(B);
    StopClean(C);
}

TEST_F(DaemonFixture, TwoDaemonsBrowseEachOtherThroughBothDrivers)
{
    DAEMON A = Start("a", {"--records", RECORDS, "--mtu", "48"});
    DAEMON B = Start("b", {"--mtu", "48"});
    CtlOk(B, {"add", RECORDS + "/handsfree.xml"});

    // A's local view without the server's own record 0 (it is in no browse group).
    const std::string Local = CtlOk(A, {"browse"});
    size_t FirstRecord = Local.find("\nRecord 0x00010000");
    ASSERT_NE(FirstRecord, std::string::npos);
    const std::string Remote = CtlOk(B, {"browse", "--remote", A.Sdp});
    EXPECT_EQ(Remote, Local.substr(FirstRecord + 1));
    EXPECT_NE(Remote.find("Record 0x00010004"), std::string::npos);

    const std::string Back = CtlOk(A, {"--json", "browse", "--remote", B.Sdp});
    EXPECT_EQ(CountOf(Back, "\"handle\":"), 1u) << Back;
    EXPECT_NE(Back.find("Handsfree"), std::string::npos);

    const std::string Search = CtlOk(B, {"search", "--remote", A.Sdp, "0x1101"});
    EXPECT_NE(Search.find("0x00010004"), std::string::npos) << Search;
    const std::string Attrs =
        CtlOk(B, {"attrs", "--remote", A.Sdp, "0x00010004", "0x0100", "0x0001"});
    EXPECT_NE(Attrs.find("0x0001 ServiceClassIDList"), std::string::npos) << Attrs;
    EXPECT_EQ(Attrs.find("0x0004 "), std::string::npos) << Attrs;

    CtlFails(B, {"attrs", "--remote", A.Sdp, "0x00123456"}, "error 0x0002");
    CtlFails(B, {"browse", "--remote", m_Dir + "/nobody.sdp"}, "cannot connect");
    StopClean(A);
    StopClean(B);
}

TEST_F(DaemonFixture, StatusShowsChannelEvents)
{
    DAEMON D = Start("a");
    std::string Out = m_Dir + "/status.out";
    pid_t Watcher =
        Spawn(KIVSDPCTL_PATH, {"--control", D.Ctl, "status", "--count", "2", "--timeout", "20"},
              Out, m_Dir + "/status.err");
    // Events are not kept for later listeners: each change waits until the watcher listens
    // (again, once it has taken the first event).
    auto Listening = [&](const char* Delivered) {
        return WaitFor([&] {
            std::string Info = Ctl(D, {"--json", "debug"}).Out;
            return Info.find("\"PendingStatusListens\":1") != std::string::npos &&
                   Info.find(Delivered) != std::string::npos;
        });
    };
    ASSERT_TRUE(Listening("\"StatusDelivered\":0"));
    int Fd = Connect(D.Sdp);
    ASSERT_GE(Fd, 0);
    ASSERT_TRUE(Listening("\"StatusDelivered\":1"));
    close(Fd);
    EXPECT_EQ(WaitExit(Watcher, 20000), 0);
    EXPECT_EQ(ReadFile(Out), "CID 0x0040 connected\nCID 0x0040 disconnected\n");
    StopClean(D);
}

// ---------------------------------------------------------------------------------------------
// Bad input on the L2CAP sockets and the control socket's bounds are kivsdp-load --abuse's
// (kivsdp_load_abuse); what stays here is what it does not check: exact replies and bounds.

// ---------------------------------------------------------------------------------------------
// Bad input on the control socket

int DaemonFixture::OpenDevice(const DAEMON& D)
{
    int Fd = Connect(D.Ctl);
    BYTES Open = CtlHeader(CTL_OPEN, 1), Reply;
    PutLe32(Open, 0);
    CtlReply R;
    if (Fd >= 0 && Exchange(Fd, Open, Reply) && ParseReply(Reply.data(), Reply.size(), R) &&
        R.Status == 0)
        return Fd;
    ADD_FAILURE() << "cannot open device 0 on " << D.Ctl;
    if (Fd >= 0) close(Fd);
    return -1;
}

namespace {

BYTES Message(uint8_t Op, uint32_t Tag, const BYTES& Body = {})
{
    BYTES m = CtlHeader(Op, Tag);
    m.insert(m.end(), Body.begin(), Body.end());
    return m;
}

BYTES Le32(uint32_t v)
{
    BYTES b;
    PutLe32(b, v);
    return b;
}

// An ioctl message's body: the code and the output length.
BYTES Ioctl(uint32_t Code, uint32_t OutputLength)
{
    BYTES b = Le32(Code);
    PutLe32(b, OutputLength);
    return b;
}

void Send(int Fd, const BYTES& m)
{
    send(Fd, m.data(), m.size(), MSG_NOSIGNAL);
}

} // namespace

TEST_F(DaemonFixture, MalformedControlMessagesAreAnsweredAndChangeNothing)
{
    DAEMON D = Start("a", {"--records", RECORDS});
    int Fd = Connect(D.Ctl);
    ASSERT_GE(Fd, 0);
    const BYTES Debug = Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, sizeof(KIVSDP_DEBUG_INFO));
    BYTES Padded = Message(CTL_OPEN, 3, Le32(0));
    Padded[2] = 1;
    BYTES Oversized = Message(CTL_IOCTL, 9, BYTES(CTL_MAX_MESSAGE + 8, 0));
    struct CASE {
        const char* Name;
        BYTES Sent;
        uint32_t Tag;
        uint32_t Status;
    } Cases[] = {
        {"empty", {}, 0, 0xC000000D},
        {"short header", {CTL_OPEN, 0, 0}, 0, 0xC000000D},
        {"nonzero pad", Padded, 3, 0xC000000D},
        {"unknown op", Message(0x7F, 4), 4, 0xC00000BB},
        {"ioctl before open", Message(CTL_IOCTL, 5, Debug), 5, 0xC0000008},
        {"close before open", Message(CTL_CLOSE, 6), 6, 0xC0000008},
        {"open body short", Message(CTL_OPEN, 7, {0, 0, 0}), 7, 0xC000000D},
        {"open device 5", Message(CTL_OPEN, 8, Le32(5)), 8, 0xC000000E},
        {"oversized", Oversized, 9, 0xC000000D},
        {"open", Message(CTL_OPEN, 10, Le32(0)), 10, 0},
        {"open twice", Message(CTL_OPEN, 11, Le32(0)), 11, 0xC0000184},
        {"ioctl body short", Message(CTL_IOCTL, 12, {1, 2, 3}), 12, 0xC000000D},
        {"output too large",
         Message(CTL_IOCTL, 13, Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, CTL_MAX_IO + 1)), 13,
         0xC000000D},
        {"disconnect foreign cid", Message(CTL_DISCONNECT, 14, {0x40, 0}), 14, 0xC0000225},
        {"connect empty path", Message(CTL_CONNECT, 15), 15, 0xC000000D},
        {"cancel with body", Message(CTL_CANCEL, 16, {1}), 16, 0xC000000D},
        // The protocol carries no addresses: refused by the daemon, never sent to the device.
        {"ioctl method neither", Message(CTL_IOCTL, 18, Ioctl(0x80042003, 16)), 18, 0xC0000002},
        {"debug info", Message(CTL_IOCTL, 17, Debug), 17, 0},
    };
    for (const CASE& C : Cases) {
        BYTES Raw;
        ASSERT_EQ(send(Fd, C.Sent.data(), C.Sent.size(), MSG_NOSIGNAL), ssize_t(C.Sent.size()))
            << C.Name;
        ASSERT_TRUE(Receive(Fd, Raw, 3000)) << C.Name;
        CtlReply R;
        ASSERT_TRUE(ParseReply(Raw.data(), Raw.size(), R)) << C.Name;
        EXPECT_EQ(R.Tag, C.Tag) << C.Name;
        EXPECT_EQ(R.Status, C.Status) << C.Name;
        if (std::string(C.Name) == "debug info") {
            EXPECT_EQ(R.Output.size(), 0x58u);
        }
    }
    close(Fd);
    EXPECT_EQ(CtlOk(D, {"records"}).size(), 5 * 11u);
    StopClean(D);
}

TEST_F(DaemonFixture, ControlClientVanishingWithPendingRequestsLeavesNothing)
{
    DAEMON D = Start("a", {"--records", RECORDS});
    const BYTES Status = Ioctl(IOCTL_KIVSDP_LISTEN_FOR_STATUS, 4),
                Listen =
                    Ioctl(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, KIVSDP_LISTEN_RESPONSE_MIN_LEN);
    for (int Round = 0; Round < 3; Round++) {
        int Fd = OpenDevice(D);
        ASSERT_GE(Fd, 0);
        for (uint32_t Tag = 2; Tag < 6; Tag++)
            Send(Fd, Message(CTL_IOCTL, Tag, Tag % 2 ? Status : Listen));
        if (Round == 1) {
            // A cancel completes them, each with its reply.
            Send(Fd, Message(CTL_CANCEL, 9));
            BYTES Raw;
            int Cancelled = 0;
            for (int i = 0; i < 5 && Receive(Fd, Raw, 3000); i++) {
                CtlReply R;
                ASSERT_TRUE(ParseReply(Raw.data(), Raw.size(), R));
                if (R.Status == 0xC0000120) Cancelled++;
            }
            EXPECT_EQ(Cancelled, 4);
        }
        if (Round == 2) {
            // A channel of its own, left open.
            Send(Fd, Message(CTL_CONNECT, 10, BYTES(D.Sdp.begin(), D.Sdp.end())));
        }
        close(Fd);
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            std::string Out = Ctl(D, {"--json", "debug"}).Out;
            return Out.find("\"PendingResponseListens\":0") != std::string::npos &&
                   Out.find("\"PendingStatusListens\":0") != std::string::npos;
        },
        200));
    StopClean(D);
}

TEST_F(DaemonFixture, PendingRequestBuffersAreBoundedPerClientAndInAll)
{
    // Requests that pend hold their buffers: unbounded, 64 clients with 64 listens of the
    // largest output each held about 1 GB of the daemon's memory.
    DAEMON D = Start("a", {"--records", RECORDS});
    const BYTES Listen = Ioctl(IOCTL_KIVSDP_LISTEN_FOR_STATUS, CTL_MAX_IO);
    const size_t PerClient = (1024 * 1024) / CTL_MAX_IO, InAll = (8 * 1024 * 1024) / CTL_MAX_IO;
    std::vector<int> Fds;
    size_t Held = 0;
    for (int Client = 0; Client < 9; Client++) {
        int Fd = OpenDevice(D);
        ASSERT_GE(Fd, 0);
        Fds.push_back(Fd);
        for (uint32_t Tag = 2; Tag < 2 + PerClient + 1; Tag++)
            Send(Fd, Message(CTL_IOCTL, Tag, Listen));
        // The refusals are waited for as long as a loaded machine needs; then nothing more
        // comes, as the others pend.
        const size_t Expected = std::min(PerClient, InAll - Held);
        size_t Refused = 0;
        BYTES Raw;
        while (Receive(Fd, Raw, Refused < PerClient + 1 - Expected ? 3000 : 300)) {
            CtlReply R;
            ASSERT_TRUE(ParseReply(Raw.data(), Raw.size(), R));
            EXPECT_EQ(R.Status, 0xC000009Au) << "client " << Client << " tag " << R.Tag;
            Refused++;
        }
        EXPECT_EQ(PerClient + 1 - Refused, Expected) << "client " << Client;
        Held += PerClient + 1 - Refused;
    }
    EXPECT_EQ(Held, InAll);
    // Clients that go give their share back once the device has ended their requests.
    for (int Fd : Fds)
        close(Fd);
    bool Taken = false;
    for (int Attempt = 0; Attempt < 50 && !Taken; Attempt++) {
        int Fd = OpenDevice(D);
        ASSERT_GE(Fd, 0);
        for (uint32_t Tag = 2; Tag < 2 + PerClient; Tag++)
            Send(Fd, Message(CTL_IOCTL, Tag, Listen));
        BYTES Raw;
        Taken = !Receive(Fd, Raw, 200);
        close(Fd);
    }
    EXPECT_TRUE(Taken);
    CtlOk(D, {"records"});
    StopClean(D);
}

// The devices take the --listen paths in the order given, in either form, and each keeps its
// own database.
TEST_F(DaemonFixture, SeveralDevicesTakeTheirPathsInOrderAndKeepTheirOwnDatabases)
{
    const std::string Second = m_Dir + "/second.sdp", Third = m_Dir + "/third.sdp";
    DAEMON D = Start("a", {"--devices", "3", "--listen=" + Second, "--listen", Third});
    const std::string Info = CtlOk(D, {"info"});
    for (const std::string& Line : {"KivSdp0: " + D.Sdp, "KivSdp1: " + Second, "KivSdp2: " + Third})
        EXPECT_NE(Info.find(Line + ", "), std::string::npos) << Info;
    CtlOk(D, {"--device", "1", "add", RECORDS + "/object-push.xml"});
    EXPECT_EQ(Ctl(D, {"records"}).Out, "");
    // Browsed from another daemon: a daemon's client role refuses every socket of its own.
    DAEMON B = Start("b");
    EXPECT_NE(Ctl(B, {"browse", "--remote", Second}).Out.find("OBEXObjectPush"), std::string::npos);
    EXPECT_EQ(Ctl(B, {"browse", "--remote", D.Sdp}).Out, "(no records)\n");
    for (const std::string& Own : {Second, D.Sdp, D.Ctl})
        CtlFails(D, {"browse", "--remote", Own}, "is a socket of this daemon");
    CtlFails(D, {"--device", "3", "records"}, "");
    StopClean(B);
    StopClean(D);
}
