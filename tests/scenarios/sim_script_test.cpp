// Scenario runner: script grammar, error lines, and the exact output lines.
#include "sim_output.h"
#include "sim_requests.h"
#include "sim_runner.h"
#include "sim_script.h"

#include <gtest/gtest.h>

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

struct BAD_LINE {
    const char* Text;
    const char* Message;
};

const BAD_LINE BadLines[] = {
    {"conect 0x40 48", "unknown command 'conect'"},
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

} // namespace
