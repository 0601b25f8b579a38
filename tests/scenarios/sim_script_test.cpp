// Scenario runner: script grammar, error lines, and the exact output lines.
#include "sim_output.h"
#include "sim_requests.h"
#include "sim_runner.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace {

struct GOOD_LINE {
    const char* Name;
    const char* Text;
    SIM_VERB Verb;
    uint16_t Cid, Mtu;
    uint32_t Handle;
    uint16_t AttId;
    std::vector<uint8_t> Bytes;
};

const GOOD_LINE GoodLines[] = {
    {"connect hex", "connect 0x0040 48", SIM_VERB::Connect, 0x40, 48, 0, 0, {}},
    {"connect decimal cid", "connect 64 0x200", SIM_VERB::Connect, 64, 512, 0, 0, {}},
    {"config upper hex", "config 0X41 0xFFFF", SIM_VERB::Config, 0x41, 0xFFFF, 0, 0, {}},
    {"disconnect", "  disconnect\t0x0040  ", SIM_VERB::Disconnect, 0x40, 0, 0, 0, {}},
    {"frame spaced",
     "frame 0x40 35 03 19 11 01",
     SIM_VERB::Frame,
     0x40,
     0,
     0,
     0,
     {0x35, 0x03, 0x19, 0x11, 0x01}},
    {"frame packed",
     "frame 0x40 3503191101",
     SIM_VERB::Frame,
     0x40,
     0,
     0,
     0,
     {0x35, 0x03, 0x19, 0x11, 0x01}},
    {"frame mixed case", "frame 0x40 aBcD 0e", SIM_VERB::Frame, 0x40, 0, 0, 0, {0xAB, 0xCD, 0x0E}},
    {"frame empty payload", "frame 0x40", SIM_VERB::Frame, 0x40, 0, 0, 0, {}},
    {"frame with comment", "frame 0x40 01 02 # 03 04", SIM_VERB::Frame, 0x40, 0, 0, 0, {1, 2}},
    {"add-record", "add-record", SIM_VERB::AddRecord, 0, 0, 0, 0, {}},
    {"del-record max handle",
     "del-record 0xFFFFFFFF",
     SIM_VERB::DelRecord,
     0,
     0,
     0xFFFFFFFF,
     0,
     {}},
    {"del-record decimal", "del-record 65536", SIM_VERB::DelRecord, 0, 0, 0x10000, 0, {}},
    {"add-attr",
     "add-attr 0x00010000 0x0001 35 03 19 11 01",
     SIM_VERB::AddAttr,
     0,
     0,
     0x10000,
     1,
     {0x35, 0x03, 0x19, 0x11, 0x01}},
    {"add-attr no value", "add-attr 0x10000 4", SIM_VERB::AddAttr, 0, 0, 0x10000, 4, {}},
    {"del-attr", "del-attr 0x00010000 0x0100", SIM_VERB::DelAttr, 0, 0, 0x10000, 0x100, {}},
    {"windows line end", "connect 1 2\r", SIM_VERB::Connect, 1, 2, 0, 0, {}},
    {"zone", "zone 0xFFFFFFFF", SIM_VERB::Zone, 0, 0, 0, 0, {}},
    {"dbg", "dbg on", SIM_VERB::Dbg, 0, 0, 0, 0, {}},
};

TEST(SimScript, WellFormedLinesGiveTheirCommand)
{
    for (const auto& c : GoodLines) {
        SCOPED_TRACE(c.Name);
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        ASSERT_TRUE(ParseSimLine(c.Text, 7, Cmd, IsCommand, Error)) << Error;
        ASSERT_TRUE(IsCommand);
        EXPECT_EQ(Cmd.Verb, c.Verb);
        EXPECT_EQ(Cmd.Line, 7u);
        EXPECT_EQ(Cmd.Cid, c.Cid);
        EXPECT_EQ(Cmd.Mtu, c.Mtu);
        EXPECT_EQ(Cmd.Handle, c.Handle);
        EXPECT_EQ(Cmd.AttId, c.AttId);
        EXPECT_EQ(Cmd.Bytes, c.Bytes);
    }
    SIM_COMMAND Cmd;
    bool IsCommand = false;
    std::string Error;
    ASSERT_TRUE(ParseSimLine("zone 0x90", 1, Cmd, IsCommand, Error));
    EXPECT_EQ(Cmd.Mask, 0x90u);
    ASSERT_TRUE(ParseSimLine("dbg off", 1, Cmd, IsCommand, Error));
    EXPECT_FALSE(Cmd.On);
    ASSERT_TRUE(ParseSimLine("dbg on", 1, Cmd, IsCommand, Error));
    EXPECT_TRUE(Cmd.On);
}

TEST(SimScript, BlankAndCommentLinesAreNoCommands)
{
    for (const char* Text : {"", "   ", "\t", "# only a comment", "   # indented comment", "\r"}) {
        SCOPED_TRACE(Text);
        SIM_COMMAND Cmd;
        bool IsCommand = true;
        std::string Error;
        EXPECT_TRUE(ParseSimLine(Text, 1, Cmd, IsCommand, Error));
        EXPECT_FALSE(IsCommand);
    }
}

// The full-stack commands: every field they fill, and that --core must refuse
// them while the older commands stay core commands.
struct STACK_LINE {
    const char* Text;
    SIM_VERB Verb;
    uint32_t App, Code, OutLen;
    uint16_t Cid, StatusCode, Mtu;
    std::vector<uint8_t> Bytes;
};

const STACK_LINE StackLines[] = {
    {"status 0x41 64 0", SIM_VERB::Status, 0, 0, 0, 0x41, 64, 0, {}},
    {"status 0x41 0xFFFF 0x2A0", SIM_VERB::Status, 0, 0, 0, 0x41, 0xFFFF, 0x2A0, {}},
    {"open", SIM_VERB::Open, 0, 0, 0, 0, 0, 0, {}},
    {"close 3", SIM_VERB::Close, 3, 0, 0, 0, 0, 0, {}},
    {"cancel 0x2", SIM_VERB::Cancel, 2, 0, 0, 0, 0, 0, {}},
    {"ioctl 1 0x80042028 0x58", SIM_VERB::Ioctl, 1, 0x80042028, 0x58, 0, 0, 0, {}},
    {"ioctl 0 0x80042030 0 07 00 00 00", SIM_VERB::Ioctl, 0, 0x80042030, 0, 0, 0, 0, {7, 0, 0, 0}},
    {"listen-status 4", SIM_VERB::ListenStatus, 4, 0, 0, 0, 0, 0, {}},
    {"listen-response 0", SIM_VERB::ListenResponse, 0, 0, 0, 0, 0, 0, {}},
    {"send 1 0x40 0200070008", SIM_VERB::Send, 1, 0, 0, 0x40, 0, 0, {2, 0, 7, 0, 8}},
    {"debug-info", SIM_VERB::DebugInfo, 0, 0, 0, 0, 0, 0, {}},
    {"reset-debug-info", SIM_VERB::ResetDebugInfo, 0, 0, 0, 0, 0, 0, {}},
};

TEST(SimScript, FullStackLinesGiveTheirCommand)
{
    for (const auto& c : StackLines) {
        SCOPED_TRACE(c.Text);
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        ASSERT_TRUE(ParseSimLine(c.Text, 3, Cmd, IsCommand, Error)) << Error;
        ASSERT_TRUE(IsCommand);
        EXPECT_EQ(Cmd.Verb, c.Verb);
        EXPECT_EQ(Cmd.App, c.App);
        EXPECT_EQ(Cmd.Code, c.Code);
        EXPECT_EQ(Cmd.OutLen, c.OutLen);
        EXPECT_EQ(Cmd.Cid, c.Cid);
        EXPECT_EQ(Cmd.StatusCode, c.StatusCode);
        EXPECT_EQ(Cmd.Mtu, c.Mtu);
        EXPECT_EQ(Cmd.Bytes, c.Bytes);
        EXPECT_TRUE(SimVerbNeedsStack(Cmd.Verb));
    }
    const std::pair<const char*, SIM_PNP> Pnp[] = {
        {"pnp start", SIM_PNP::Start},
        {"pnp stop", SIM_PNP::Stop},
        {"pnp restart", SIM_PNP::Restart},
        {"pnp remove", SIM_PNP::Remove},
        {"pnp surprise", SIM_PNP::Surprise},
        {"pnp remove-after-surprise", SIM_PNP::RemoveAfterSurprise},
    };
    for (const auto& [Text, Action] : Pnp) {
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        ASSERT_TRUE(ParseSimLine(Text, 1, Cmd, IsCommand, Error)) << Text << ": " << Error;
        EXPECT_EQ(Cmd.Pnp, Action) << Text;
        EXPECT_EQ(std::string("pnp ") + std::string(SimPnpName(Action)), Text);
    }
    const std::pair<const char*, SIM_LOWER_REQUEST> Faults[] = {
        {"fail read 0xC0000001 2", SIM_LOWER_REQUEST::Read},
        {"fail write 0xC0000001 2", SIM_LOWER_REQUEST::Write},
        {"fail listen 0xC0000001 2", SIM_LOWER_REQUEST::Listen},
    };
    for (const auto& [Text, Kind] : Faults) {
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        ASSERT_TRUE(ParseSimLine(Text, 1, Cmd, IsCommand, Error)) << Text << ": " << Error;
        EXPECT_EQ(Cmd.Verb, SIM_VERB::Fail) << Text;
        EXPECT_EQ(Cmd.Kind, Kind) << Text;
        EXPECT_EQ(Cmd.Code, 0xC0000001u) << Text;
        EXPECT_EQ(Cmd.Count, 2u) << Text;
    }
    for (SIM_VERB Core : {SIM_VERB::Connect, SIM_VERB::Config, SIM_VERB::Disconnect,
                          SIM_VERB::Frame, SIM_VERB::AddRecord, SIM_VERB::DelRecord,
                          SIM_VERB::AddAttr, SIM_VERB::DelAttr, SIM_VERB::Zone, SIM_VERB::Dbg})
        EXPECT_FALSE(SimVerbNeedsStack(Core)) << SimVerbName(Core);
}

struct BAD_LINE {
    const char* Text;
    const char* Message;
};

const BAD_LINE BadLines[] = {
    {"conect 0x40 48", "unknown command 'conect'"},
    {"status 0x41 8", "expected 'status CID CODE MTU'"},
    {"status 0x41 0x10000 0", "'0x10000' is larger than 65535"},
    {"open 1", "expected 'open'"},
    {"close", "expected 'close APP'"},
    {"ioctl 0 0x80042028", "expected 'ioctl APP CODE OUTLEN [BYTES]'"},
    {"ioctl 0 0x80042028 0x100001", "'0x100001' is larger than 1048576"},
    {"ioctl 0 0x80042028 4 0", "'0' is not a run of hex byte pairs (odd digit count)"},
    {"listen-status", "expected 'listen-status APP'"},
    {"send 0", "expected 'send APP CID BYTES'"},
    {"debug-info 0", "expected 'debug-info'"},
    {"pnp", "expected 'pnp start|stop|restart|remove|surprise|remove-after-surprise'"},
    {"fail-tx 0xC0000185", "expected 'fail-tx STATUS COUNT'"},
    {"fail reed 0xC0000001 1", "expected 'fail read|write|listen STATUS COUNT'"},
    {"fail read 0xC0000001", "expected 'fail read|write|listen STATUS COUNT'"},
    {"pnp eject", "expected 'pnp start|stop|restart|remove|surprise|remove-after-surprise'"},
    {"CONNECT 0x40 48", "unknown command 'CONNECT'"},
    {"connect 0x40", "expected 'connect CID MTU'"},
    {"connect 0x40 48 1", "expected 'connect CID MTU'"},
    {"disconnect", "expected 'disconnect CID'"},
    {"add-record 1", "expected 'add-record'"},
    {"del-record", "expected 'del-record HANDLE'"},
    {"del-attr 0x10000", "expected 'del-attr HANDLE ID'"},
    {"del-attr 0x10000 1 2", "expected 'del-attr HANDLE ID'"},
    {"frame", "expected 'frame CID BYTES'"},
    {"connect 0x10000 48", "'0x10000' is larger than 65535"},
    {"connect 0x40 65536", "'65536' is larger than 65535"},
    {"del-record 0x100000000", "'0x100000000' is larger than 4294967295"},
    {"del-record 99999999999999999999999", "is larger than 4294967295"},
    {"add-attr 0x10000 0x10000 00", "'0x10000' is larger than 65535"},
    {"connect 0x 48", "'0x' is not a number"},
    {"connect -1 48", "'-1' is not a number"},
    {"connect 0x4G 48", "'0x4G' is not a number"},
    {"connect 12a 48", "'12a' is not a number"},
    {"frame 0x40 350", "'350' is not a run of hex byte pairs (odd digit count)"},
    {"frame 0x40 35 0", "'0' is not a run of hex byte pairs (odd digit count)"},
    {"frame 0x40 zz", "'zz' is not a run of hex byte pairs"},
    {"add-attr 0x10000 1 0x35", "'0x35' is not a run of hex byte pairs"},
    {"dbg", "expected 'dbg on|off'"},
    {"dbg yes", "expected 'dbg on|off'"},
    {"dbg on off", "expected 'dbg on|off'"},
    {"zone", "expected 'zone MASK'"},
    {"zone 0x100000000", "'0x100000000' is larger than 4294967295"},
};

TEST(SimScript, MalformedLinesAreRefusedWithAReason)
{
    for (const auto& c : BadLines) {
        SCOPED_TRACE(c.Text);
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        EXPECT_FALSE(ParseSimLine(c.Text, 1, Cmd, IsCommand, Error));
        EXPECT_FALSE(IsCommand);
        EXPECT_NE(Error.find(c.Message), std::string::npos) << "got: " << Error;
    }
}

TEST(SimScript, FramePayloadIsBoundedByTheFrameBuffer)
{
    std::string Fits = "frame 1 " + std::string(2 * MAX_SIM_FRAME_PAYLOAD, 'A');
    std::string TooLong = Fits + "00";
    SIM_COMMAND Cmd;
    bool IsCommand = false;
    std::string Error;
    ASSERT_TRUE(ParseSimLine(Fits, 1, Cmd, IsCommand, Error)) << Error;
    EXPECT_EQ(Cmd.Bytes.size(), MAX_SIM_FRAME_PAYLOAD);
    EXPECT_FALSE(ParseSimLine(TooLong, 1, Cmd, IsCommand, Error));
    EXPECT_NE(Error.find("1023 bytes"), std::string::npos) << Error;
}

TEST(SimScript, ScriptErrorNamesTheFirstBadLineAndKeepsNoCommands)
{
    std::istringstream In("# header\n"
                          "connect 0x40 48\n"
                          "\n"
                          "frame 0x40 02 00\n"
                          "bogus\n"
                          "also bogus\n");
    SIM_SCRIPT Script = ParseSimScript(In);
    EXPECT_FALSE(Script.Ok);
    EXPECT_EQ(Script.Error, "line 5: unknown command 'bogus'");
    EXPECT_TRUE(Script.Commands.empty());
}

TEST(SimScript, ScriptKeepsCommandsInOrderWithTheirLines)
{
    std::istringstream In("connect 0x40 48\n# c\nadd-record\n\ndel-record 0x10000"); // no final \n
    SIM_SCRIPT Script = ParseSimScript(In);
    ASSERT_TRUE(Script.Ok) << Script.Error;
    ASSERT_EQ(Script.Commands.size(), 3u);
    EXPECT_EQ(Script.Commands[0].Line, 1u);
    EXPECT_EQ(Script.Commands[1].Verb, SIM_VERB::AddRecord);
    EXPECT_EQ(Script.Commands[1].Line, 3u);
    EXPECT_EQ(Script.Commands[2].Line, 5u);
    EXPECT_EQ(Script.Commands[2].Handle, 0x10000u);
}

TEST(SimOutput, LinesHaveTheContractFormat)
{
    const uint8_t Pdu[] = {0x01, 0x00, 0x0A, 0xFF};
    EXPECT_EQ(FormatTxLine(0x40, Pdu), "tx 0x0040 01 00 0A FF");
    EXPECT_EQ(FormatTxLine(0xFFFF, {}), "tx 0xFFFF");
    EXPECT_EQ(FormatRequestLine("add-record", 0, Pdu), "add-record 0x00000000 01 00 0A FF");
    EXPECT_EQ(FormatRequestLine("del-attr", 0xC000000D, {}), "del-attr 0xC000000D");
}

TEST(SimRequests, BuffersAreLittleEndianAndPacked)
{
    const uint8_t Value[] = {0x35, 0x03, 0x19, 0x11, 0x01};
    EXPECT_EQ(BuildAddAttrInput(0x00010002, 0x0201, Value),
              (std::vector<uint8_t>{0x02, 0x00, 0x01, 0x00, 0x01, 0x02, 0x05, 0x00, 0x00, 0x00,
                                    0x35, 0x03, 0x19, 0x11, 0x01}));
    EXPECT_EQ(BuildDelAttrInput(0x12345678, 0xABCD),
              (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0xCD, 0xAB}));
    EXPECT_EQ(BuildDelRecordInput(0x00010000), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0x00}));
}

// Records what the runner asks and answers from a script of its own, so the
// interleaving of tx lines and request lines can be checked.
class CRecordingTarget : public CSimTarget {
public:
    explicit CRecordingTarget(ISimTxSink& Sink) : m_Sink(Sink) {}
    std::vector<std::string> Calls;

    void Connect(uint16_t Cid, uint16_t Mtu) override { Log("connect", Cid, Mtu); }
    void Config(uint16_t Cid, uint16_t Mtu) override { Log("config", Cid, Mtu); }
    void Disconnect(uint16_t Cid) override { Log("disconnect", Cid, 0); }
    void Frame(uint16_t Cid, std::span<const uint8_t> Payload) override
    {
        Log("frame", Cid, Payload.size());
        // Two responses to one frame, as for two PDUs in it.
        m_Sink.OnTx(Cid, Payload.first(1));
        m_Sink.OnTx(Cid, Payload.last(1));
    }
    SIM_REQUEST_RESULT AddRecord() override { return {0, {0x00, 0x00, 0x01, 0x00}}; }
    SIM_REQUEST_RESULT DelRecord(uint32_t Handle) override
    {
        Log("del-record", Handle, 0);
        return {0xC000000D, {}};
    }
    SIM_REQUEST_RESULT AddAttr(uint32_t Handle, uint16_t AttId,
                               std::span<const uint8_t> Value) override
    {
        Log("add-attr", Handle, AttId);
        return {0, BuildAddAttrInput(Handle, AttId, Value)};
    }
    SIM_REQUEST_RESULT DelAttr(uint32_t Handle, uint16_t AttId) override
    {
        Log("del-attr", Handle, AttId);
        return {0xC000009A, {}};
    }
    SIM_REQUEST_RESULT SetZoneMask(uint32_t Mask) override
    {
        Log("zone", Mask, 0);
        m_Sink.OnDebugLine("kivsdp : zone");
        return {0, {}};
    }
    void ShowDebug(bool On) override { Log("dbg", On, 0); }

private:
    void Log(const char* What, uint64_t a, uint64_t b)
    {
        Calls.push_back(std::string(What) + " " + std::to_string(a) + " " + std::to_string(b));
    }
    ISimTxSink& m_Sink;
};

TEST(SimRunner, PrintsTxAndRequestLinesInEventOrder)
{
    std::istringstream In("connect 0x40 672\n"
                          "config 0x40 100\n"
                          "add-record\n"
                          "frame 0x40 AA BB CC\n"
                          "add-attr 0x10000 0x100 0900FF\n"
                          "del-record 5\n"
                          "del-attr 0x10000 1\n"
                          "dbg on\n"
                          "zone 0x90\n"
                          "disconnect 0x40\n");
    SIM_SCRIPT Script = ParseSimScript(In);
    ASSERT_TRUE(Script.Ok) << Script.Error;
    std::ostringstream Out;
    CSimLinePrinter Printer(Out);
    CRecordingTarget Target(Printer);
    RunSimScript(Script, Target, Out);

    EXPECT_EQ(Out.str(), "add-record 0x00000000 00 00 01 00\n"
                         "tx 0x0040 AA\n"
                         "tx 0x0040 CC\n"
                         "add-attr 0x00000000 00 00 01 00 00 01 03 00 00 00 09 00 FF\n"
                         "del-record 0xC000000D\n"
                         "del-attr 0xC000009A\n"
                         "dbg kivsdp : zone\n"
                         "zone 0x00000000\n");
    EXPECT_EQ(Target.Calls,
              (std::vector<std::string>{"connect 64 672", "config 64 100", "frame 64 3",
                                        "add-attr 65536 256", "del-record 5 0", "del-attr 65536 1",
                                        "dbg 1 0", "zone 144 0", "disconnect 64 0"}));
}

// A target whose requests go pending and complete during later commands, as
// the device's listen requests do.
class CPendingTarget : public CSimTarget {
public:
    explicit CPendingTarget(ISimTxSink& Sink) : m_Sink(Sink) {}
    std::vector<std::string> Calls;

    void Connect(uint16_t, uint16_t) override {}
    void Config(uint16_t, uint16_t) override {}
    void Disconnect(uint16_t) override {}
    // The remote side answers; the listen waiting since the last ioctl completes.
    void Frame(uint16_t Cid, std::span<const uint8_t> Payload) override
    {
        m_Sink.OnTx(Cid, Payload);
        m_Sink.OnLine("done #1 listen-response 0x00000000 " + std::to_string(Payload.size()));
    }
    SIM_REQUEST_RESULT AddRecord() override { return {}; }
    SIM_REQUEST_RESULT DelRecord(uint32_t) override { return {}; }
    SIM_REQUEST_RESULT AddAttr(uint32_t, uint16_t, std::span<const uint8_t>) override { return {}; }
    SIM_REQUEST_RESULT DelAttr(uint32_t, uint16_t) override { return {}; }
    SIM_REQUEST_RESULT SetZoneMask(uint32_t) override { return {}; }
    void ShowDebug(bool) override {}

    void Status(uint16_t Cid, uint16_t Code, uint16_t Mtu) override
    {
        Calls.push_back("status " + std::to_string(Cid) + " " + std::to_string(Code) + " " +
                        std::to_string(Mtu));
    }
    SIM_REQUEST_RESULT Open() override
    {
        SIM_REQUEST_RESULT Result;
        Result.Id = 1;
        return Result;
    }
    uint32_t Close(uint32_t App) override
    {
        m_Sink.OnLine("done #2 listen-status 0xC0000120");
        return App == 1 ? 0 : 0xC0000008;
    }
    uint32_t Cancel(uint32_t) override { return 0; }
    SIM_REQUEST_RESULT Ioctl(std::string_view Word, uint32_t App, uint32_t Code,
                             std::span<const uint8_t> In, uint32_t OutLength) override
    {
        char CodeText[16];
        std::snprintf(CodeText, sizeof(CodeText), "0x%08X", Code);
        Calls.push_back(std::string(Word) + " " + std::to_string(App) + " " + CodeText + " " +
                        std::to_string(In.size()) + " " + std::to_string(OutLength));
        if (Word == "send") return {0, {}};
        SIM_REQUEST_RESULT Result;
        Result.Pending = true;
        Result.Id = ++m_Ids;
        return Result;
    }
    uint32_t Pnp(SIM_PNP Action) override { return Action == SIM_PNP::Stop ? 0xC0000001 : 0; }

private:
    ISimTxSink& m_Sink;
    unsigned m_Ids = 0;
};

TEST(SimRunner, PendingRequestsPrintDoneLinesWhereTheyComplete)
{
    std::istringstream In("listen-response 0\n"
                          "open\n"
                          "listen-status 1\n"
                          "send 1 0x40 02 00 01 00 00\n"
                          "frame 0x40 AA BB\n"
                          "close 1\n"
                          "close 5\n"
                          "status 0x41 128 0\n"
                          "pnp stop\n"
                          "pnp remove\n"
                          "debug-info\n"
                          "reset-debug-info\n"
                          "ioctl 2 0x12345678 9 01\n");
    SIM_SCRIPT Script = ParseSimScript(In);
    ASSERT_TRUE(Script.Ok) << Script.Error;
    std::ostringstream Out;
    CSimLinePrinter Printer(Out);
    CPendingTarget Target(Printer);
    RunSimScript(Script, Target, Out);

    EXPECT_EQ(Out.str(), "listen-response pending #1\n"
                         "open 0x00000000 1\n"
                         "listen-status pending #2\n"
                         "send 0x00000000\n"
                         "tx 0x0040 AA BB\n"
                         "done #1 listen-response 0x00000000 2\n"
                         "done #2 listen-status 0xC0000120\n"
                         "close 0x00000000\n"
                         "done #2 listen-status 0xC0000120\n"
                         "close 0xC0000008\n"
                         "pnp stop 0xC0000001\n"
                         "pnp remove 0x00000000\n"
                         "debug-info pending #3\n"
                         "reset-debug-info pending #4\n"
                         "ioctl pending #5\n");
    // The buffers the runner builds: listen-status 4 bytes, listen-response
    // 1024, send the CID and the PDU with no output, debug-info 0x58.
    EXPECT_EQ(Target.Calls, (std::vector<std::string>{
                                "listen-response 0 0x80042014 0 1024",
                                "listen-status 1 0x80042024 0 4",
                                "send 1 0x80042010 7 0",
                                "status 65 128 0",
                                "debug-info 0 0x80042028 0 88",
                                "reset-debug-info 0 0x8004202C 0 0",
                                "ioctl 2 0x12345678 1 9",
                            }));
}

} // namespace
