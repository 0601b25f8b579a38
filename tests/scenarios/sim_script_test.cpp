// Scenario runner: the script grammar and its error lines, and the request
// buffers it builds. The output lines and their order are judged by every
// scenario golden, in both modes.
#include "sim_runner.h"
#include "sim_script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <tuple>

namespace {

// Well-formed lines with the command they give, in the forms no scenario
// script uses (the goldens judge those by their output). Verbs from Status on
// are the full-stack commands that --core refuses.
struct GOOD_LINE {
    const char* Text;
    SIM_COMMAND Want;
};

using V = SIM_VERB;
// Each entry names only the fields its line sets; the rest stay empty.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const GOOD_LINE GoodLines[] = {
    {"connect 64 0x200", {.Verb = V::Connect, .Cid = 64, .Mtu = 512}},
    {"config 0X41 0xFFFF", {.Verb = V::Config, .Cid = 0x41, .Mtu = 0xFFFF}},
    {"  disconnect\t0x0040  ", {.Verb = V::Disconnect, .Cid = 0x40}},
    {"frame 0x40 35 03 19 11 01",
     {.Verb = V::Frame, .Cid = 0x40, .Bytes = {0x35, 3, 0x19, 0x11, 1}}},
    {"frame 0x40 3503191101", {.Verb = V::Frame, .Cid = 0x40, .Bytes = {0x35, 3, 0x19, 0x11, 1}}},
    {"frame 0x40 aBcD 0e", {.Verb = V::Frame, .Cid = 0x40, .Bytes = {0xAB, 0xCD, 0x0E}}},
    {"frame 0x40", {.Verb = V::Frame, .Cid = 0x40}},
    {"frame 0x40 01 02 # 03 04", {.Verb = V::Frame, .Cid = 0x40, .Bytes = {1, 2}}},
    {"del-record 0xFFFFFFFF", {.Verb = V::DelRecord, .Handle = 0xFFFFFFFF}},
    {"del-record 65536", {.Verb = V::DelRecord, .Handle = 0x10000}},
    {"add-attr 0x10000 4", {.Verb = V::AddAttr, .Handle = 0x10000, .AttId = 4}},
    {"del-attr 0x00010000 0x0100", {.Verb = V::DelAttr, .Handle = 0x10000, .AttId = 0x100}},
    {"connect 1 2\r", {.Verb = V::Connect, .Cid = 1, .Mtu = 2}},
    {"zone 0xFFFFFFFF", {.Verb = V::Zone, .Mask = 0xFFFFFFFF}},
    {"zone 0x90", {.Verb = V::Zone, .Mask = 0x90}},
    {"status 0x41 0xFFFF 0x2A0",
     {.Verb = V::Status, .Cid = 0x41, .Mtu = 0x2A0, .StatusCode = 0xFFFF}},
    {"dbg hide buffer pIrp", {.Verb = V::Dbg, .Dbg = SIM_DBG::Hide, .Words = {"buffer", "pIrp"}}},
    {"fail-alloc pool 2 1",
     {.Verb = V::FailAlloc, .Count = 1, .Alloc = SIM_ALLOC::Pool, .After = 2}},
    {"fail-alloc tag NrnU 0 3",
     {.Verb = V::FailAlloc, .Count = 3, .Alloc = SIM_ALLOC::Tag, .Tag = 0x556E724E}},
    {"fail-alloc tag 0x206D6457 1 1",
     {.Verb = V::FailAlloc, .Count = 1, .Alloc = SIM_ALLOC::Tag, .Tag = 0x206D6457, .After = 1}},
    {"fail-alloc device 0 10", {.Verb = V::FailAlloc, .Count = 10, .Alloc = SIM_ALLOC::Device}},
    {"device remove 3", {.Verb = V::Device, .Node = 3}},
    {"close 3", {.Verb = V::Close, .App = 3}},
    {"cancel 0x2", {.Verb = V::Cancel, .App = 2}},
    {"ioctl 1 0x80042028 0x58", {.Verb = V::Ioctl, .App = 1, .Code = 0x80042028, .OutLen = 0x58}},
    {"ioctl 0 0x80042030 0 07 00 00 00",
     {.Verb = V::Ioctl, .Code = 0x80042030, .Bytes = {7, 0, 0, 0}}},
    {"listen-status 4", {.Verb = V::ListenStatus, .App = 4}},
    {"send 1 0x40 0200070008", {.Verb = V::Send, .Cid = 0x40, .App = 1, .Bytes = {2, 0, 7, 0, 8}}},
    {"pnp surprise", {.Verb = V::Pnp, .Pnp = SIM_PNP::Surprise}},
    {"pnp remove-after-surprise", {.Verb = V::Pnp, .Pnp = SIM_PNP::RemoveAfterSurprise}},
    {"fail read 0xC0000001 2",
     {.Verb = V::Fail, .Code = 0xC0000001, .Kind = SIM_LOWER_REQUEST::Read, .Count = 2}},
    {"fail write 0xC0000001 2",
     {.Verb = V::Fail, .Code = 0xC0000001, .Kind = SIM_LOWER_REQUEST::Write, .Count = 2}},
    {"fail listen 0xC0000001 2",
     {.Verb = V::Fail, .Code = 0xC0000001, .Kind = SIM_LOWER_REQUEST::Listen, .Count = 2}},
    {"fail-tx 0xC0000185 3", {.Verb = V::FailTx, .Code = 0xC0000185, .Count = 3}},
};
#pragma GCC diagnostic pop

// Every field a line can set, for comparing two commands at once.
auto Fields(const SIM_COMMAND& c)
{
    return std::tie(c.Verb, c.Cid, c.Mtu, c.Handle, c.AttId, c.Mask, c.On, c.Dbg, c.Words, c.App,
                    c.Code, c.OutLen, c.StatusCode, c.Pnp, c.Kind, c.Count, c.Alloc, c.Tag, c.After,
                    c.Add, c.Node, c.Query, c.System, c.PowerState, c.Bytes);
}

TEST(SimScript, WellFormedLinesGiveTheirCommand)
{
    for (const auto& c : GoodLines) {
        SCOPED_TRACE(c.Text);
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        ASSERT_TRUE(ParseSimLine(c.Text, 7, Cmd, IsCommand, Error)) << Error;
        ASSERT_TRUE(IsCommand);
        const SIM_COMMAND& W = c.Want;
        EXPECT_EQ(Cmd.Line, 7u);
        EXPECT_EQ(Fields(Cmd), Fields(W));
        if (W.Verb == V::Pnp) {
            EXPECT_EQ("pnp " + std::string(SimPnpName(W.Pnp)), c.Text);
        }
    }
    // The full-stack commands begin with status; the older ones stay core commands.
    for (V Core : {V::Connect, V::Config, V::Disconnect, V::Frame, V::AddRecord, V::DelRecord,
                   V::AddAttr, V::DelAttr, V::Zone, V::Dbg})
        EXPECT_FALSE(SimVerbNeedsStack(Core)) << SimVerbName(Core);
    for (V Stack :
         {V::Status, V::Open, V::Close, V::Cancel, V::Ioctl, V::ListenStatus, V::ListenResponse,
          V::Send, V::DebugInfo, V::ResetDebugInfo, V::Pnp, V::FailTx, V::Fail, V::Hold, V::Release,
          V::FailAlloc, V::Device, V::Power, V::Capabilities})
        EXPECT_TRUE(SimVerbNeedsStack(Stack)) << SimVerbName(Stack);
}

struct BAD_LINE {
    const char* Text;
    const char* Message;
};

const char* const FailAllocUsage =
    "expected 'fail-alloc pool|irp|device|power AFTER COUNT, fail-alloc tag TAG AFTER COUNT or "
    "fail-alloc off'";

const BAD_LINE BadLines[] = {
    {"conect 0x40 48", "unknown command 'conect'"},
    {"status 0x41 8", "expected 'status CID CODE MTU'"},
    {"status 0x41 0x10000 0", "'0x10000' is larger than 65535"},
    {"open 1 2", "expected 'open [INSTANCE]'"},
    {"open 10", "'10' is larger than 9"},
    {"dbg hide", "expected 'dbg on|off|hide WORD...|show-all'"},
    {"hold", "expected 'hold on|off'"},
    {"hold yes", "expected 'hold on|off'"},
    {"release 1", "expected 'release'"},
    {"fail-alloc pool 1", FailAllocUsage},
    {"fail-alloc off 1", FailAllocUsage},
    {"fail-alloc tag NrnU 0", FailAllocUsage},
    {"fail-alloc tag 0 0 1", "tag 0 would match every allocation (use 'fail-alloc pool')"},
    {"fail-alloc irp 0 0x10000", "'0x10000' is larger than 65535"},
    {"device", "expected 'device add or device remove NODE'"},
    {"device remove", "expected 'device add or device remove NODE'"},
    {"device add 1", "expected 'device add or device remove NODE'"},
    {"power D4", "expected 'power [query] D0|D1|D2|D3|S0|S1|S2|S3|S4|S5'"},
    {"power S6", "expected 'power [query] D0|D1|D2|D3|S0|S1|S2|S3|S4|S5'"},
    {"power set D3", "expected 'power [query] D0|D1|D2|D3|S0|S1|S2|S3|S4|S5'"},
    {"capabilities 0", "expected 'capabilities'"},
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
    {"dbg", "expected 'dbg on|off|hide WORD...|show-all'"},
    {"dbg yes", "expected 'dbg on|off|hide WORD...|show-all'"},
    {"dbg on off", "expected 'dbg on|off|hide WORD...|show-all'"},
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

// Blank and comment lines give no command but are counted; the first bad line
// stops the script and nothing of it is kept.
TEST(SimScript, ScriptsSkipBlankLinesAndStopAtTheFirstBadOne)
{
    std::istringstream Good("# header\n\n   \n\t\n   # indented comment\n\r\nconnect 0x40 48\n");
    SIM_SCRIPT Script = ParseSimScript(Good);
    ASSERT_TRUE(Script.Ok) << Script.Error;
    ASSERT_EQ(Script.Commands.size(), 1u);
    EXPECT_EQ(Script.Commands[0].Line, 7u);
    std::istringstream Bad("connect 0x40 48\n\nframe 0x40 02 00\nbogus\nalso bogus\n");
    Script = ParseSimScript(Bad);
    EXPECT_FALSE(Script.Ok);
    EXPECT_EQ(Script.Error, "line 4: unknown command 'bogus'");
    EXPECT_TRUE(Script.Commands.empty());
}

// Takes the device-control requests the runner makes and answers nothing.
class CBufferTarget : public CSimTarget {
public:
    std::vector<std::string> Calls;

    void Connect(uint16_t, uint16_t) override {}
    void Config(uint16_t, uint16_t) override {}
    void Disconnect(uint16_t) override {}
    void Frame(uint16_t, std::span<const uint8_t>) override {}
    SIM_REQUEST_RESULT AddRecord() override { return {}; }
    SIM_REQUEST_RESULT DelRecord(uint32_t) override { return {}; }
    SIM_REQUEST_RESULT AddAttr(uint32_t, uint16_t, std::span<const uint8_t>) override { return {}; }
    SIM_REQUEST_RESULT DelAttr(uint32_t, uint16_t) override { return {}; }
    SIM_REQUEST_RESULT SetZoneMask(uint32_t) override { return {}; }
    void ShowDebug(bool) override {}
    SIM_REQUEST_RESULT Ioctl(std::string_view Word, uint32_t App, uint32_t Code,
                             std::span<const uint8_t> In, uint32_t OutLength) override
    {
        char Text[96];
        std::snprintf(Text, sizeof(Text), "%s %u 0x%08X %zu %u", std::string(Word).c_str(), App,
                      Code, In.size(), OutLength);
        Calls.push_back(Text);
        return {};
    }
};

// The buffers the runner builds: a device takes a byte more output room
// without a word, so no golden shows them.
TEST(SimRunner, RequestBuffersHaveTheSizesTheDeviceExpects)
{
    std::istringstream In("listen-response 0\nlisten-status 1\nsend 1 0x40 02 00 01 00 00\n"
                          "debug-info\nreset-debug-info\nioctl 2 0x12345678 9 01\n");
    SIM_SCRIPT Script = ParseSimScript(In);
    ASSERT_TRUE(Script.Ok) << Script.Error;
    std::ostringstream Out;
    CBufferTarget Target;
    RunSimScript(Script, Target, Out);
    // listen-response 1024 bytes of output, listen-status 4, send the CID and
    // the PDU with none, debug-info 0x58.
    EXPECT_EQ(Target.Calls, (std::vector<std::string>{
                                "listen-response 0 0x80042014 0 1024",
                                "listen-status 1 0x80042024 0 4",
                                "send 1 0x80042010 7 0",
                                "debug-info 0 0x80042028 0 88",
                                "reset-debug-info 0 0x8004202C 0 0",
                                "ioctl 2 0x12345678 1 9",
                            }));
}

} // namespace
