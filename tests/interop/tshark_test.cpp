// The daemon's btsnoop captures read back by tshark: a browse that needs continuation, captured
// on the server's and on the client's side, decodes as SDP over L2CAP with no malformed packet
// and no expert warning. Skipped only where tshark is not installed.
#include "DaemonFixture.h"

#include "btsnoop.h"
#include "sdprecordfile.h"

#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FindTshark()
{
    const char* Path = getenv("PATH");
    std::stringstream Dirs(Path != nullptr ? Path : "/usr/bin:/bin");
    std::string Dir;
    while (std::getline(Dirs, Dir, ':')) {
        std::string Candidate = Dir + "/tshark";
        if (!Dir.empty() && access(Candidate.c_str(), X_OK) == 0) return Candidate;
    }
    return "";
}

// The expert summary's item lines under "Errors (n)" and "Warns (n)".
std::vector<std::string> ExpertProblems(const std::string& Out)
{
    std::vector<std::string> Lines;
    std::stringstream S(Out);
    std::string Line;
    bool In = false;
    while (std::getline(S, Line)) {
        if (Line.rfind("Errors (", 0) == 0 || Line.rfind("Warns (", 0) == 0) {
            In = true;
            Lines.push_back(Line);
        } else if (Line.rfind("Notes (", 0) == 0 || Line.rfind("Chats (", 0) == 0 ||
                   Line.rfind("Comments (", 0) == 0) {
            In = false;
        } else if (In && Line.find_first_not_of(" =") != std::string::npos &&
                   Line.find("Frequency") == std::string::npos) {
            Lines.push_back(Line);
        }
    }
    return Lines;
}

// True when the value holds something this tshark's SDP dissector reports although it is a
// valid element: a 128-bit integer, or a text with a zero byte in it.
bool DissectorQuirk(const kivtool::DataElement& De)
{
    using kivtool::DeType;
    if ((De.Type == DeType::Uint || De.Type == DeType::Int) && De.Data.size() == 16) return true;
    if (De.Type == DeType::Text)
        for (uint8_t b : De.Data)
            if (b == 0) return true;
    for (const auto& M : De.Members)
        if (DissectorQuirk(M)) return true;
    return false;
}

class TsharkCapture : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        m_Tshark = FindTshark();
        if (m_Tshark.empty()) GTEST_SKIP() << "tshark is not installed: captures not checked";
    }

    // The sample record files as the daemon loads them; with Plain, the attributes that only
    // trip the dissector are left out. Returns the directory and the number of records.
    std::string Records(bool Plain, size_t& N)
    {
        std::string Dir = m_Dir + "/records";
        mkdir(Dir.c_str(), 0700);
        N = 0;
        for (const char* Name : {"audio-sink.xml", "handsfree.xml", "large-service.xml",
                                 "object-push.xml", "serial-port.xml"}) {
            kivtool::ServiceRecord Record;
            kivtool::RecordFileError Err;
            std::string File = std::string(RECORDS_DIR) + "/" + Name;
            EXPECT_TRUE(kivtool::ImportRecordFile(File, Record, Err)) << File << Err.ToString();
            if (Plain)
                std::erase_if(Record.Attributes, [](const kivtool::ServiceAttribute& A) {
                    return DissectorQuirk(A.Value);
                });
            std::string Xml, XmlErr;
            EXPECT_TRUE(kivtool::ExportRecordXml(Record, Xml, XmlErr)) << XmlErr;
            Write(std::string("records/") + Name, Xml);
            N++;
        }
        return Dir;
    }

    // Server A browsed by daemon B's client path (kivsdpctl browse --remote), both capturing
    // at MTU 48; both stopped cleanly. The capture paths are in m_CaptureA and m_CaptureB.
    void BrowseWithCaptures(const std::string& RecordsDir, size_t N)
    {
        m_CaptureA = m_Dir + "/a.btsnoop";
        m_CaptureB = m_Dir + "/b.btsnoop";
        DAEMON A = Start("a", {"--mtu", "48", "--records", RecordsDir, "--btsnoop", m_CaptureA});
        DAEMON B = Start("b", {"--mtu", "48", "--btsnoop", m_CaptureB});
        ASSERT_GT(A.Pid, 0);
        ASSERT_GT(B.Pid, 0);
        RUN_RESULT R = Ctl(B, {"browse", "--remote", A.Sdp});
        EXPECT_EQ(R.Exit, 0) << R.Err;
        EXPECT_EQ(CountOf(R.Out, "Record 0x"), N) << R.Out;
        StopClean(B);
        StopClean(A);
    }

    RUN_RESULT Decode(const std::string& Capture)
    {
        RUN_RESULT R = Run(m_Tshark, {"-r", Capture, "-V", "-z", "expert"});
        EXPECT_EQ(R.Exit, 0) << Capture << ": " << R.Err;
        return R;
    }

    std::string m_Tshark;
    std::string m_CaptureA, m_CaptureB;
};

} // namespace

TEST_F(TsharkCapture, ContinuedBrowseDecodesAsSdpWithoutMalformedPacketsOrWarnings)
{
    size_t N = 0;
    std::string Dir = Records(true, N);
    BrowseWithCaptures(Dir, N);
    ASSERT_FALSE(HasFatalFailure());
    for (const std::string& Capture : {m_CaptureA, m_CaptureB}) {
        SCOPED_TRACE(Capture);
        RUN_RESULT R = Decode(Capture);
        const std::string& Out = R.Out;
        // Every channel is set up and torn down as SDP over L2CAP.
        EXPECT_GE(CountOf(Out, "Event Code: Connect Complete (0x03)"), 1u);
        EXPECT_GE(CountOf(Out, "PSM: SDP (0x0001)"), 1u);
        EXPECT_GE(CountOf(Out, "Event Code: Disconnect Complete (0x05)"), 1u);
        // One request per response, with continuation states between them.
        size_t Requests = CountOf(Out, "PDU: Service Search Attribute Request (0x06)");
        size_t Responses = CountOf(Out, "PDU: Service Search Attribute Response (0x07)");
        EXPECT_GT(Requests, 1u);
        EXPECT_EQ(Requests, Responses);
        EXPECT_GT(CountOf(Out, "Continuation State: yes"), 0u);
        // The continued responses reassemble into every record.
        for (size_t i = 0; i < N; i++) {
            char Handle[64];
            snprintf(Handle, sizeof(Handle), "Service Record Handle: 0x%08zx", 0x10000 + i);
            EXPECT_EQ(CountOf(Out, Handle), 1u) << Handle;
        }
        EXPECT_EQ(CountOf(Out, "Malformed"), 0u);
        EXPECT_EQ(CountOf(Out, "[Expert Info (Warning"), 0u);
        EXPECT_EQ(CountOf(Out, "[Expert Info (Error"), 0u);
        EXPECT_EQ(ExpertProblems(Out), std::vector<std::string>{});
    }
}

TEST_F(TsharkCapture, SampleRecordsDrawOnlyTheDissectorsOwnComplaints)
{
    // The large sample record carries 128-bit integers and a text with a zero byte: valid
    // elements that this dissector reports. Nothing else may be reported.
    size_t N = 0;
    std::string Dir = Records(false, N);
    BrowseWithCaptures(Dir, N);
    ASSERT_FALSE(HasFatalFailure());
    RUN_RESULT R = Decode(m_CaptureA);
    EXPECT_GT(CountOf(R.Out, "PDU: Service Search Attribute Response (0x07)"), 1u);
    EXPECT_EQ(CountOf(R.Out, "[Expert Info (Error"), 0u);
    std::vector<std::string> Problems = ExpertProblems(R.Out);
    EXPECT_FALSE(Problems.empty()) << "the known complaints were not seen";
    for (const std::string& Line : Problems) {
        if (Line.rfind("Warns (", 0) == 0) continue;
        bool Known = Line.find("BT SDP  Trying to fetch an unsigned integer with length 16") !=
                         std::string::npos ||
                     Line.find("BT SDP  Trailing stray characters") != std::string::npos;
        EXPECT_TRUE(Known) << Line;
    }
}

namespace {

class CaptureOption : public DaemonFixture {};

} // namespace

TEST_F(CaptureOption, AnUnwritableCaptureStopsTheStartWithAReason)
{
    RUN_RESULT R = Run(KIVSDPD_PATH, {"--listen", m_Dir + "/x.sdp", "--btsnoop",
                                      m_Dir + "/no-such-dir/x.btsnoop"});
    EXPECT_EQ(R.Exit, 1);
    EXPECT_NE(R.Err.find("no-such-dir/x.btsnoop"), std::string::npos) << R.Err;
}

TEST_F(CaptureOption, StoppingWithAChannelOpenLeavesAWholeCaptureThatClosesIt)
{
    std::string Path = m_Dir + "/open.btsnoop";
    DAEMON D = Start("d", {"--mtu", "48", "--btsnoop", Path});
    ASSERT_GT(D.Pid, 0);
    int Fd = Connect(D.Sdp);
    ASSERT_GE(Fd, 0);
    // ServiceSearch for the public browse group: nothing is browsable, one response.
    BYTES Request{0x02, 0x00, 0x01, 0x00, 0x08, 0x35, 0x03, 0x19, 0x10, 0x02, 0xFF, 0xFF, 0x00};
    BYTES Response;
    ASSERT_TRUE(Exchange(Fd, Request, Response));
    StopClean(D);
    close(Fd);

    std::string Text = ReadFile(Path);
    std::vector<btsnoop::RECORD> Records;
    std::string Err;
    ASSERT_TRUE(btsnoop::ParseFile(BYTES(Text.begin(), Text.end()), Records, Err)) << Err;
    // Set-up (7), the request and its response, the closing (3).
    ASSERT_EQ(Records.size(), 12u);
    BYTES In = btsnoop::AclPackets(0x0001, 0x0040, Request.data(), Request.size()).front();
    BYTES Out = btsnoop::AclPackets(0x0001, 0x0040, Response.data(), Response.size()).front();
    EXPECT_EQ(Records[7].Packet, In);
    EXPECT_EQ(Records[7].Flags, btsnoop::FLAG_RECEIVED);
    EXPECT_EQ(Records[8].Packet, Out);
    EXPECT_EQ(Records[8].Flags, 0u);
    EXPECT_EQ(Records[11].Packet,
              btsnoop::DisconnectionComplete(0x0001, btsnoop::REASON_LOCAL_HOST_TERMINATED));
    for (size_t i = 1; i < Records.size(); i++)
        EXPECT_GE(Records[i].Timestamp, Records[i - 1].Timestamp);
}
