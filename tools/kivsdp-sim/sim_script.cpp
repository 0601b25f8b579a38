// Scenario script reader: tokens, numbers, hex byte runs and the command table.
#include "sim_script.h"

#include <array>

namespace {

struct PNP_INFO {
    std::string_view Word;
    SIM_PNP Action;
};

constexpr std::array<PNP_INFO, 6> PnpActions = {{
    {"start", SIM_PNP::Start},
    {"stop", SIM_PNP::Stop},
    {"restart", SIM_PNP::Restart},
    {"remove", SIM_PNP::Remove},
    {"surprise", SIM_PNP::Surprise},
    {"remove-after-surprise", SIM_PNP::RemoveAfterSurprise},
}};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> SplitTokens(std::string_view Text)
{
    std::vector<std::string_view> Tokens;
    size_t i = 0;
    while (i < Text.size()) {
        while (i < Text.size() && IsBlank(Text[i]))
            ++i;
        size_t Start = i;
        while (i < Text.size() && !IsBlank(Text[i]))
            ++i;
        if (i > Start) Tokens.push_back(Text.substr(Start, i - Start));
    }
    return Tokens;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// GCC 12 at -O3 reports a bogus overlap inside std::string's operator+ (GCC bug
// 105651), not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
// Decimal or 0x hex, no sign, at most Max. The overflow test runs before each
// multiply, so no intermediate value wraps.
bool ParseNumber(std::string_view Tok, uint64_t Max, uint64_t& Value, std::string& Error)
{
    unsigned Base = 10;
    std::string_view Digits = Tok;
    if (Tok.size() > 2 && Tok[0] == '0' && (Tok[1] == 'x' || Tok[1] == 'X')) {
        Base = 16;
        Digits = Tok.substr(2);
    }
    if (Digits.empty()) {
        Error = "'" + std::string(Tok) + "' is not a number";
        return false;
    }
    uint64_t v = 0;
    for (char c : Digits) {
        int d = HexDigit(c);
        if (d < 0 || unsigned(d) >= Base) {
            Error = "'" + std::string(Tok) + "' is not a number";
            return false;
        }
        if (v > (Max - uint64_t(d)) / Base) {
            Error = "'" + std::string(Tok) + "' is larger than " + std::to_string(Max);
            return false;
        }
        v = v * Base + uint64_t(d);
    }
    Value = v;
    return true;
}

// A number of at most Max into Field, whose type holds Max.
template <typename T>
bool ParseField(std::string_view Tok, uint64_t Max, T& Field, std::string& Error)
{
    uint64_t Value = 0;
    if (!ParseNumber(Tok, Max, Value, Error)) return false;
    Field = T(Value);
    return true;
}

// Hex byte pairs; a token may hold several pairs, but never half a byte.
bool AppendHexBytes(std::string_view Tok, std::vector<uint8_t>& Bytes, std::string& Error)
{
    if (Tok.size() % 2 != 0) {
        Error = "'" + std::string(Tok) + "' is not a run of hex byte pairs (odd digit count)";
        return false;
    }
    for (size_t i = 0; i < Tok.size(); i += 2) {
        int Hi = HexDigit(Tok[i]);
        int Lo = HexDigit(Tok[i + 1]);
        if (Hi < 0 || Lo < 0) {
            Error = "'" + std::string(Tok) + "' is not a run of hex byte pairs";
            return false;
        }
        Bytes.push_back(uint8_t(Hi << 4 | Lo));
    }
    return true;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// A pool tag: four characters as they lie in memory ("NrnU"), or a number.
bool ParseTag(std::string_view Tok, uint32_t& Tag, std::string& Error)
{
    if (Tok.size() == 4 && !(Tok[0] >= '0' && Tok[0] <= '9')) {
        Tag = 0;
        for (size_t i = 0; i < 4; ++i)
            Tag |= uint32_t(uint8_t(Tok[i])) << (8 * i);
        return true;
    }
    return ParseField(Tok, 0xFFFFFFFF, Tag, Error);
}

using TOKENS = std::vector<std::string_view>;

// The parsers of a command's words below leave Error empty when only the shape of the line is
// wrong; the caller then names the command's usage.

bool ParseFailAlloc(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string& Error)
{
    size_t Args = Tokens.size() - 1;
    std::string_view What = Tokens[1];
    if (What == "off") {
        Cmd.Alloc = SIM_ALLOC::Off;
        return Args == 1;
    }
    size_t First = 2;
    if (What == "pool") {
        Cmd.Alloc = SIM_ALLOC::Pool;
    } else if (What == "irp") {
        Cmd.Alloc = SIM_ALLOC::Irp;
    } else if (What == "device") {
        Cmd.Alloc = SIM_ALLOC::Device;
    } else if (What == "power") {
        Cmd.Alloc = SIM_ALLOC::Power;
    } else if (What == "tag") {
        Cmd.Alloc = SIM_ALLOC::Tag;
        if (Args != 4) return false;
        if (!ParseTag(Tokens[2], Cmd.Tag, Error)) return false;
        if (Cmd.Tag == 0) {
            Error = "tag 0 would match every allocation (use 'fail-alloc pool')";
            return false;
        }
        First = 3;
    } else {
        return false;
    }
    if (Args != First + 1) return false;
    if (!ParseField(Tokens[First], 0xFFFF, Cmd.After, Error)) return false;
    if (!ParseField(Tokens[First + 1], 0xFFFF, Cmd.Count, Error)) return false;
    return true;
}

// dbg on|off|hide WORD...|show-all
bool ParseDbg(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string&)
{
    const bool One = Tokens.size() == 2;
    if (One && (Tokens[1] == "on" || Tokens[1] == "off")) {
        Cmd.On = Tokens[1] == "on";
        Cmd.Dbg = Cmd.On ? SIM_DBG::On : SIM_DBG::Off;
    } else if (Tokens.size() > 2 && Tokens[1] == "hide") {
        Cmd.Dbg = SIM_DBG::Hide;
        Cmd.Words.assign(Tokens.begin() + 2, Tokens.end());
    } else if (One && Tokens[1] == "show-all") {
        Cmd.Dbg = SIM_DBG::ShowAll;
    } else {
        return false;
    }
    return true;
}

// open [INSTANCE]: a handle on \\.\KivSdpN (0 without a number)
bool ParseOpen(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string& Error)
{
    if (Tokens.size() > 2) return false;
    return Tokens.size() == 1 || ParseField(Tokens[1], 9, Cmd.Node, Error);
}

bool ParseOnOff(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string&)
{
    Cmd.On = Tokens[1] == "on";
    return Tokens[1] == "on" || Tokens[1] == "off";
}

bool ParseDevice(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string& Error)
{
    Cmd.Add = Tokens.size() == 2 && Tokens[1] == "add";
    if (Cmd.Add) return true;
    if (Tokens.size() != 3 || Tokens[1] != "remove") return false;
    return ParseField(Tokens[2], 0xFFFFFFFF, Cmd.Node, Error);
}

bool ParsePower(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string&)
{
    size_t Args = Tokens.size() - 1;
    if (Args > 2 || (Args == 2 && Tokens[1] != "query")) return false;
    Cmd.Query = Args == 2;
    std::string_view State = Tokens[Args];
    if (State.size() != 2 || (State[0] != 'D' && State[0] != 'S')) return false;
    Cmd.System = State[0] == 'S';
    unsigned Max = Cmd.System ? 5 : 3;
    if (State[1] < '0' || unsigned(State[1] - '0') > Max) return false;
    Cmd.PowerState = unsigned(State[1] - '0') + 1;
    return true;
}

bool ParseLowerRequest(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string&)
{
    // In the order of SIM_LOWER_REQUEST.
    constexpr std::array<std::string_view, 3> Kinds = {"read", "write", "listen"};
    for (size_t k = 0; k < Kinds.size(); ++k) {
        if (Tokens[1] == Kinds[k]) {
            Cmd.Kind = SIM_LOWER_REQUEST(k);
            return true;
        }
    }
    return false;
}

bool ParsePnp(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string&)
{
    for (const auto& p : PnpActions) {
        if (p.Word == Tokens[1]) {
            Cmd.Pnp = p.Action;
            return true;
        }
    }
    return false;
}

// A numeric argument: the field it fills and its largest value.
struct FIELD {
    uint16_t SIM_COMMAND::*Short = nullptr;
    uint32_t SIM_COMMAND::*Long = nullptr;
    uint32_t Max = 0;
};

constexpr FIELD U16(uint16_t SIM_COMMAND::*Field)
{
    return {Field, nullptr, 0xFFFF};
}

constexpr FIELD U32(uint32_t SIM_COMMAND::*Field, uint32_t Max = 0xFFFFFFFF)
{
    return {nullptr, Field, Max};
}

// The numbers of the commands, named as in their usage.
constexpr FIELD CID = U16(&SIM_COMMAND::Cid);
constexpr FIELD MTU = U16(&SIM_COMMAND::Mtu);
constexpr FIELD ATTR_ID = U16(&SIM_COMMAND::AttId);
constexpr FIELD EVENT = U16(&SIM_COMMAND::StatusCode);
constexpr FIELD RECORD = U32(&SIM_COMMAND::Handle);
constexpr FIELD MASK = U32(&SIM_COMMAND::Mask);
constexpr FIELD APP = U32(&SIM_COMMAND::App);
constexpr FIELD CODE = U32(&SIM_COMMAND::Code);
constexpr FIELD COUNT = U32(&SIM_COMMAND::Count);
// The runtime gives one system buffer per request; a megabyte of output is far past anything
// the device reads.
constexpr FIELD OUTLEN = U32(&SIM_COMMAND::OutLen, 0x100000);
constexpr FIELD WORD = {}; // read by the command's own parser

enum SHAPE {
    EXACT,   // just the arguments counted
    BYTES,   // a BYTES run follows them
    VARYING, // the command's parser checks the count
};

struct VERB_INFO {
    std::string_view Word;
    SIM_VERB Verb;
    unsigned Numbers; // arguments the line needs at least
    SHAPE Shape;
    std::array<FIELD, 3> Fields; // by position; a word or nothing where none
    bool (*Parse)(const TOKENS& Tokens, SIM_COMMAND& Cmd, std::string& Error); // runs first
    const char* Usage;
};

// One line a command: its word, verb, arguments before any BYTES (words and numbers), shape,
// numeric fields by position, own parser, and usage.
// clang-format off
constexpr std::array<VERB_INFO, 29> Verbs = {{
    {"connect", SIM_VERB::Connect, 2, EXACT, {CID, MTU}, nullptr, "connect CID MTU"},
    {"config", SIM_VERB::Config, 2, EXACT, {CID, MTU}, nullptr, "config CID MTU"},
    {"disconnect", SIM_VERB::Disconnect, 1, EXACT, {CID}, nullptr, "disconnect CID"},
    {"frame", SIM_VERB::Frame, 1, BYTES, {CID}, nullptr, "frame CID BYTES"},
    {"add-record", SIM_VERB::AddRecord, 0, EXACT, {}, nullptr, "add-record"},
    {"del-record", SIM_VERB::DelRecord, 1, EXACT, {RECORD}, nullptr, "del-record HANDLE"},
    {"add-attr", SIM_VERB::AddAttr, 2, BYTES, {RECORD, ATTR_ID}, nullptr,
        "add-attr HANDLE ID BYTES"},
    {"del-attr", SIM_VERB::DelAttr, 2, EXACT, {RECORD, ATTR_ID}, nullptr, "del-attr HANDLE ID"},
    {"zone", SIM_VERB::Zone, 1, EXACT, {MASK}, nullptr, "zone MASK"},
    {"dbg", SIM_VERB::Dbg, 1, VARYING, {WORD}, ParseDbg, "dbg on|off|hide WORD...|show-all"},
    {"status", SIM_VERB::Status, 3, EXACT, {CID, EVENT, MTU}, nullptr, "status CID CODE MTU"},
    {"open", SIM_VERB::Open, 0, VARYING, {}, ParseOpen, "open [INSTANCE]"},
    {"close", SIM_VERB::Close, 1, EXACT, {APP}, nullptr, "close APP"},
    {"cancel", SIM_VERB::Cancel, 1, EXACT, {APP}, nullptr, "cancel APP"},
    {"ioctl", SIM_VERB::Ioctl, 3, BYTES, {APP, CODE, OUTLEN}, nullptr,
        "ioctl APP CODE OUTLEN [BYTES]"},
    {"listen-status", SIM_VERB::ListenStatus, 1, EXACT, {APP}, nullptr, "listen-status APP"},
    {"listen-response", SIM_VERB::ListenResponse, 1, EXACT, {APP}, nullptr, "listen-response APP"},
    {"send", SIM_VERB::Send, 2, BYTES, {APP, CID}, nullptr, "send APP CID BYTES"},
    {"debug-info", SIM_VERB::DebugInfo, 0, EXACT, {}, nullptr, "debug-info"},
    {"reset-debug-info", SIM_VERB::ResetDebugInfo, 0, EXACT, {}, nullptr, "reset-debug-info"},
    {"pnp", SIM_VERB::Pnp, 1, EXACT, {WORD}, ParsePnp,
        "pnp start|stop|restart|remove|surprise|remove-after-surprise"},
    {"fail-tx", SIM_VERB::FailTx, 2, EXACT, {CODE, COUNT}, nullptr, "fail-tx STATUS COUNT"},
    {"fail", SIM_VERB::Fail, 3, EXACT, {WORD, CODE, COUNT}, ParseLowerRequest,
        "fail read|write|listen STATUS COUNT"},
    {"hold", SIM_VERB::Hold, 1, EXACT, {WORD}, ParseOnOff, "hold on|off"},
    {"release", SIM_VERB::Release, 0, EXACT, {}, nullptr, "release"},
    {"fail-alloc", SIM_VERB::FailAlloc, 1, VARYING, {WORD}, ParseFailAlloc,
        "fail-alloc pool|irp|device|power AFTER COUNT, fail-alloc tag TAG AFTER COUNT or "
        "fail-alloc off"},
    {"device", SIM_VERB::Device, 1, VARYING, {WORD}, ParseDevice,
        "device add or device remove NODE"},
    {"power", SIM_VERB::Power, 1, VARYING, {WORD}, ParsePower,
        "power [query] D0|D1|D2|D3|S0|S1|S2|S3|S4|S5"},
    {"capabilities", SIM_VERB::Capabilities, 0, EXACT, {}, nullptr, "capabilities"},
}};
// clang-format on

// The command's words, then its numbers, then its BYTES run.
bool ParseArguments(const VERB_INFO& Info, const TOKENS& Tokens, SIM_COMMAND& Cmd,
                    std::string& Error)
{
    if (Info.Parse != nullptr && !Info.Parse(Tokens, Cmd, Error)) {
        if (Error.empty()) Error = std::string("expected '") + Info.Usage + "'";
        return false;
    }
    for (size_t i = 0; i < Info.Fields.size(); ++i) {
        const FIELD& F = Info.Fields[i];
        if (F.Short != nullptr && !ParseField(Tokens[i + 1], F.Max, Cmd.*F.Short, Error))
            return false;
        if (F.Long != nullptr && !ParseField(Tokens[i + 1], F.Max, Cmd.*F.Long, Error))
            return false;
    }
    if (Info.Shape != BYTES) return true;
    for (size_t i = 1 + Info.Numbers; i < Tokens.size(); ++i)
        if (!AppendHexBytes(Tokens[i], Cmd.Bytes, Error)) return false;
    if ((Info.Verb == SIM_VERB::Frame || Info.Verb == SIM_VERB::Send) &&
        Cmd.Bytes.size() > MAX_SIM_FRAME_PAYLOAD) {
        Error = "frame payload of " + std::to_string(Cmd.Bytes.size()) +
                " bytes does not fit a frame buffer (at most " +
                std::to_string(MAX_SIM_FRAME_PAYLOAD) + ")";
        return false;
    }
    return true;
}

} // namespace

std::string SimPowerStateName(bool System, uint32_t State)
{
    return std::string(1, System ? 'S' : 'D') + char('0' + State - 1);
}

std::string_view SimVerbName(SIM_VERB Verb)
{
    for (const auto& v : Verbs)
        if (v.Verb == Verb) return v.Word;
    return "?";
}

bool SimVerbNeedsStack(SIM_VERB Verb)
{
    return Verb >= SIM_VERB::Status;
}

std::string_view SimPnpName(SIM_PNP Action)
{
    for (const auto& p : PnpActions)
        if (p.Action == Action) return p.Word;
    return "?";
}

bool ParseSimLine(std::string_view Text, unsigned Line, SIM_COMMAND& Out, bool& IsCommand,
                  std::string& Error)
{
    IsCommand = false;
    size_t Hash = Text.find('#');
    if (Hash != std::string_view::npos) Text = Text.substr(0, Hash);
    TOKENS Tokens = SplitTokens(Text);
    if (Tokens.empty()) return true;

    const VERB_INFO* Info = nullptr;
    for (const auto& v : Verbs)
        if (v.Word == Tokens[0]) Info = &v;
    if (Info == nullptr) {
        Error = "unknown command '" + std::string(Tokens[0]) + "'";
        return false;
    }
    size_t Args = Tokens.size() - 1;
    if (Args < Info->Numbers || (Info->Shape == EXACT && Args > Info->Numbers)) {
        Error = std::string("expected '") + Info->Usage + "'";
        return false;
    }
    SIM_COMMAND Cmd;
    Cmd.Verb = Info->Verb;
    Cmd.Line = Line;
    if (!ParseArguments(*Info, Tokens, Cmd, Error)) return false;
    Out = std::move(Cmd);
    IsCommand = true;
    return true;
}

SIM_SCRIPT ParseSimScript(std::istream& In)
{
    SIM_SCRIPT Script;
    std::string Text;
    unsigned Line = 0;
    while (std::getline(In, Text)) {
        ++Line;
        SIM_COMMAND Cmd;
        bool IsCommand = false;
        std::string Error;
        if (!ParseSimLine(Text, Line, Cmd, IsCommand, Error)) {
            Script.Ok = false;
            Script.Error = "line " + std::to_string(Line) + ": " + Error;
            Script.Commands.clear();
            return Script;
        }
        if (IsCommand) Script.Commands.push_back(std::move(Cmd));
    }
    return Script;
}
