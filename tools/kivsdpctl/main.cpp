// kivsdpctl: manages a kivsdpd device's database and acts as an SDP client through it, over the
// daemon's control socket.

#include "ctlclient.h"
#include "info.h"
#include "kivsdpioctl.h"
#include "sdpclient.h"
#include "sdpcontrol.h"
#include "sdpprint.h"
#include "runpaths.h"
#include "sdprecordfile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace kivctl;

namespace {

const char* const HELP_MAIN =
    "usage: kivsdpctl [--control PATH] [--device N] [--json] COMMAND [ARGS]\n"
    "The daemon's control socket is --control, else $KIVSDP_CONTROL, else\n"
    "$XDG_RUNTIME_DIR/kivsdpd/control when a daemon of yours serves it, else\n"
    "/run/kivsdpd/control (the system daemon; as root always that one).\n"
    "Local database of device KivSdp<N> (default 0):\n"
    "  records                  record handles\n"
    "  browse                   every record as a tree with attribute and UUID names\n"
    "  add FILE.xml             add a record file's record; prints the new handle\n"
    "  del HANDLE               delete a record\n"
    "  setattr HANDLE ID VALUE  set an attribute; VALUE is TYPE:TEXT (uint8..uint64,\n"
    "                           int8..int64, uuid, text, url, bool) or nil or hex:ENCODED\n"
    "  delattr HANDLE ID        delete an attribute\n"
    "  verify HEX               ask the device whether the bytes are one valid data element\n"
    "  export [HANDLE]          records as record-file XML\n"
    "  debug                    the device's debug counters\n"
    "  info                     the daemon: version, sockets, channels, records, refusals\n"
    "  zones MASK               set the debug zone mask\n"
    "  status [--count N] [--timeout S]   wait for channel events\n"
    "Client role, through the device's client request path:\n"
    "  connect PATH [--timeout S]         connect a channel, show its events\n"
    "  search --remote PATH UUID...       ServiceSearch\n"
    "  attrs --remote PATH HANDLE [RANGE...]  ServiceAttribute (RANGE 0x0100 or 0x0000-0xffff)\n"
    "  browse --remote PATH               the remote public browse group with all attributes\n"
    "Every command takes --help. Exit status: 0 done, 1 failed, 2 bad usage.\n";

const std::map<std::string, const char*> HELP = {
    {"records", "usage: kivsdpctl records\nPrints the handles of the device's records.\n"},
    {"browse", "usage: kivsdpctl browse [--remote PATH]\nPrints the local database, or a remote "
               "server's public browse group (all attributes, following continuation states).\n"},
    {"add", "usage: kivsdpctl add FILE.xml\nAdds the record of a record file; prints its "
            "handle. All or nothing.\n"},
    {"del", "usage: kivsdpctl del HANDLE\nDeletes a record.\n"},
    {"setattr", "usage: kivsdpctl setattr HANDLE ID VALUE\nVALUE: uint16:0x1234, int8:-3, "
                "uuid:0x1101, text:Name, url:http://x, bool:true, nil, hex:0901 00.\n"},
    {"delattr", "usage: kivsdpctl delattr HANDLE ID\nDeletes one attribute of a record.\n"},
    {"verify", "usage: kivsdpctl verify HEX\nAsks the device whether HEX is exactly one valid "
               "data element; exit 1 if not.\n"},
    {"export", "usage: kivsdpctl export [HANDLE]\nRecord-file XML of one record, or of every "
               "record separated by blank lines.\n"},
    {"debug", "usage: kivsdpctl debug\nPrints the device's debug counters.\n"},
    {"info", kivctl::INFO_HELP},
    {"zones", "usage: kivsdpctl zones MASK\nSets the device's debug zone mask (0x07 default).\n"},
    {"status", "usage: kivsdpctl status [--count N] [--timeout S]\nPrints channel events as "
               "they come: N of them (default 1), waiting at most S seconds (default forever).\n"},
    {"connect", "usage: kivsdpctl connect PATH [--timeout S]\nConnects a channel to a server "
                "socket, prints its CID, then prints its events for S seconds (default 0).\n"},
    {"search", "usage: kivsdpctl search --remote PATH UUID...\nServiceSearch for records "
               "holding every UUID (0x1101, 00001101-0000-1000-8000-00805f9b34fb).\n"},
    {"attrs", "usage: kivsdpctl attrs --remote PATH HANDLE [RANGE...]\nServiceAttribute for "
              "the attributes in the ranges (default 0x0000-0xffff).\n"},
};

struct FAILURE {
    int Code;
    std::string Message;
};

[[noreturn]] void Fail(const std::string& Message, int Code = 1)
{
    throw FAILURE{Code, Message};
}

struct ARGS {
    std::string Control;
    uint32_t Device = 0;
    bool Json = false;
    bool Help = false;
    std::string Remote;
    uint64_t Count = 1;
    int TimeoutS = -1;
    std::string Command;
    std::vector<std::string> Positional;
};

uint32_t Number32(const std::string& Text, const char* What)
{
    uint64_t v = 0;
    if (!ParseNumber(Text, 0xFFFFFFFFu, v))
        Fail(std::string(What) + " '" + Text + "' is not a number", 2);
    return uint32_t(v);
}

uint16_t Number16(const std::string& Text, const char* What)
{
    uint64_t v = 0;
    if (!ParseNumber(Text, 0xFFFF, v))
        Fail(std::string(What) + " '" + Text + "' is not a 16-bit number", 2);
    return uint16_t(v);
}

ARGS ParseArgs(int argc, char** argv)
{
    ARGS A;
    A.Control = kivtool::ClientControlPath("");
    for (int i = 1; i < argc; i++) {
        std::string Arg = argv[i];
        auto Value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(Arg + " needs a value", 2);
            return argv[++i];
        };
        if (Arg == "--help" || Arg == "-h") {
            A.Help = true;
        } else if (Arg == "--json") {
            A.Json = true;
        } else if (Arg == "--control") {
            A.Control = Value();
        } else if (Arg == "--device") {
            A.Device = Number32(Value(), "device");
        } else if (Arg == "--remote") {
            A.Remote = Value();
        } else if (Arg == "--count") {
            A.Count = Number32(Value(), "count");
        } else if (Arg == "--timeout") {
            A.TimeoutS = int(Number16(Value(), "timeout"));
        } else if (Arg.size() > 2 && Arg.compare(0, 2, "--") == 0) {
            Fail("unknown option '" + Arg + "'", 2);
        } else if (A.Command.empty()) {
            A.Command = Arg;
        } else {
            A.Positional.push_back(Arg);
        }
    }
    return A;
}

std::string Hex32(uint32_t v)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08x", v);
    return Text;
}

// The connection to the daemon with the device open.
class Session {
public:
    explicit Session(const ARGS& A)
    {
        std::string Err;
        if (!m_Ctl.Connect(A.Control, Err)) Fail(Err);
        std::vector<uint8_t> Body;
        PutLe32(Body, A.Device);
        CtlReply R;
        if (!m_Ctl.Call(CTL_OPEN, Body, 10000, R, Err)) Fail("open: " + Err);
        if (R.Status != 0)
            Fail("cannot open KivSdp" + std::to_string(A.Device) + ": " + StatusText(R.Status));
    }

    // One device-control request, waited for at most TimeoutMs.
    CtlReply Ioctl(const kivtool::ControlRequest& Request, int TimeoutMs = 10000)
    {
        CtlReply R;
        std::string Err;
        if (!m_Ctl.Call(CTL_IOCTL,
                        CtlClient::IoctlBody(Request.Code, Request.Input, Request.OutputLength),
                        TimeoutMs, R, Err))
            Fail(Err);
        return R;
    }
    CtlReply Ioctl(uint32_t Code, const std::vector<uint8_t>& In, uint32_t OutLength,
                   int TimeoutMs = 10000)
    {
        return Ioctl(kivtool::ControlRequest{Code, In, OutLength}, TimeoutMs);
    }
    void Expect(const CtlReply& R, const std::string& What)
    {
        if (R.Status != 0) Fail(What + " failed: " + StatusText(R.Status));
    }

    std::vector<kivtool::ServiceRecord> Database()
    {
        uint32_t Length = 0x1000;
        for (int Round = 0; Round < 16; Round++) {
            CtlReply R = Ioctl(kivtool::GetDatabaseRequest(Length));
            if (R.Status == 0) {
                std::vector<kivtool::ServiceRecord> Records;
                std::string Err;
                if (!kivtool::DecodeDatabaseImage(R.Output.data(), R.Output.size(), Records, Err))
                    Fail("database image: " + Err);
                return Records;
            }
            // A refusal completed at once never carries the needed size to the
            // application (only success and pending completions write the status
            // block), so a refused buffer grows by doubling unless a size came back.
            if (R.Status != 0xC000000Du) // invalid parameter: the buffer was too small
                Fail("get database failed: " + StatusText(R.Status));
            if (Length >= CTL_MAX_IO) Fail("the database is larger than a control reply can carry");
            uint32_t Next = kivtool::NextDatabaseLength(Length, R.Information);
            Length = Next > CTL_MAX_IO ? CTL_MAX_IO : Next;
        }
        Fail("get database: the database kept growing");
    }

    CtlClient& Ctl() { return m_Ctl; }

private:
    CtlClient m_Ctl;
};

// A channel to a remote server and SDP transactions on it.
class Remote {
public:
    Remote(Session& S, const std::string& Path) : m_S(S)
    {
        std::string Err;
        CtlReply R;
        if (!S.Ctl().Call(CTL_CONNECT, std::vector<uint8_t>(Path.begin(), Path.end()), 10000, R,
                          Err))
            Fail("connect: " + Err);
        if (R.Status != 0)
            Fail("cannot connect to " + Path + ": " +
                 (R.Output.empty() ? StatusText(R.Status)
                                   : std::string(R.Output.begin(), R.Output.end())));
        m_Cid = uint16_t(R.Information);
    }
    uint16_t Cid() const { return m_Cid; }

    // Sends the request frame made for Tid and returns the response PDU.
    std::vector<uint8_t> Transact(const std::vector<uint8_t>& Frame)
    {
        std::string Err;
        uint32_t ListenTag =
            m_S.Ctl().Send(CTL_IOCTL,
                           CtlClient::IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {},
                                                KIVSDP_LISTEN_RESPONSE_MIN_LEN),
                           Err);
        if (ListenTag == 0) Fail(Err);
        CtlReply Sent = m_S.Ioctl(IOCTL_KIVSDP_SEND_SDP_REQUEST, Frame, 0);
        if (Sent.Status != 0) {
            Cancel(ListenTag);
            Fail("send request failed: " + StatusText(Sent.Status));
        }
        CtlReply Response;
        if (!m_S.Ctl().Wait(ListenTag, 5000, Response, Err)) {
            Cancel(ListenTag);
            Fail(Err == "timeout" ? "no response from the server within 5 s" : Err);
        }
        if (Response.Status != 0)
            Fail("listen for response failed: " + StatusText(Response.Status));
        return Response.Output;
    }
    uint16_t NextTid() { return ++m_Tid; }

private:
    void Cancel(uint32_t ListenTag)
    {
        std::string Err;
        CtlReply R;
        m_S.Ctl().Call(CTL_CANCEL, {}, 5000, R, Err);
        m_S.Ctl().Wait(ListenTag, 5000, R, Err);
    }
    Session& m_S;
    uint16_t m_Cid = 0;
    uint16_t m_Tid = 0;
};

// Runs one transaction kind to the end of its continuation states.
Response FullTransaction(
    Remote& R, uint8_t Expected,
    const std::function<std::vector<uint8_t>(uint16_t, const std::vector<uint8_t>&)>& Make)
{
    Response All;
    std::vector<uint8_t> Cont;
    for (int Round = 0;; Round++) {
        if (Round == 4096) Fail("the server's continuation never ends");
        uint16_t Tid = R.NextTid();
        std::vector<uint8_t> Pdu = R.Transact(Make(Tid, Cont));
        Response Part;
        std::string Err;
        if (!ParseResponse(Pdu.data(), Pdu.size(), Expected, Tid, Part, Err)) Fail(Err);
        All.TotalRecords = Part.TotalRecords;
        All.Handles.insert(All.Handles.end(), Part.Handles.begin(), Part.Handles.end());
        All.AttributeBytes.insert(All.AttributeBytes.end(), Part.AttributeBytes.begin(),
                                  Part.AttributeBytes.end());
        if (Part.Cont.empty()) return All;
        Cont = Part.Cont;
    }
}

void PrintRecords(const ARGS& A, const std::vector<kivtool::ServiceRecord>& Records)
{
    if (A.Json)
        fputs(kivtool::RecordsJson(Records).c_str(), stdout);
    else if (Records.empty())
        puts("(no records)");
    else
        fputs(kivtool::FormatRecords(Records).c_str(), stdout);
}

void Need(const ARGS& A, size_t Min, size_t Max)
{
    if (A.Positional.size() < Min || A.Positional.size() > Max)
        Fail("wrong number of arguments for '" + A.Command + "' (see kivsdpctl " + A.Command +
                 " --help)",
             2);
}

const char* const DEBUG_NAMES[22] = {"RecordList",
                                     "DatabaseChangeCount",
                                     "NextRecordHandle",
                                     "OutstandingAllocations",
                                     "TotalAllocations",
                                     "IoctlCount",
                                     "SendRequestCount",
                                     "RequestsPassedDown",
                                     "RequestsFinished",
                                     "ListenResponseCount",
                                     "ResponsesDelivered",
                                     "ListenStatusCount",
                                     "StatusDelivered",
                                     "ListenIrpsSent",
                                     "ListenIrpsCompleted",
                                     "ReadIrpsSent",
                                     "ReadIrpsCompleted",
                                     "ResponsesSent",
                                     "ResponsesCompleted",
                                     "PendingRequests",
                                     "PendingResponseListens",
                                     "PendingStatusListens"};

// Waits for up to Count status events (TimeoutS < 0: no limit); returns how many came.
uint64_t WatchStatus(Session& S, const ARGS& A, uint64_t Count, int TimeoutS)
{
    auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutS < 0 ? 0 : TimeoutS);
    uint64_t Seen = 0;
    while (Seen < Count) {
        std::string Err;
        uint32_t Tag = S.Ctl().Send(
            CTL_IOCTL, CtlClient::IoctlBody(IOCTL_KIVSDP_LISTEN_FOR_STATUS, {}, 4), Err);
        if (Tag == 0) Fail(Err);
        int Left = -1;
        if (TimeoutS >= 0) {
            Left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           Deadline - std::chrono::steady_clock::now())
                           .count());
            if (Left < 0) Left = 0;
        }
        CtlReply R;
        if (!S.Ctl().Wait(Tag, Left, R, Err)) {
            if (Err != "timeout") Fail(Err);
            CtlReply C;
            S.Ctl().Call(CTL_CANCEL, {}, 5000, C, Err);
            S.Ctl().Wait(Tag, 5000, C, Err);
            return Seen;
        }
        if (R.Status != 0 || R.Output.size() < 4)
            Fail("listen for status failed: " + StatusText(R.Status));
        unsigned Cid = R.Output[0] | R.Output[1] << 8;
        unsigned State = R.Output[2] | R.Output[3] << 8;
        if (A.Json)
            printf("{\"cid\":%u,\"status\":%u}\n", Cid, State);
        else
            printf("CID 0x%04x %s\n", Cid,
                   State == KIVSDP_CHANNEL_CONNECTED ? "connected" : "disconnected");
        fflush(stdout);
        Seen++;
    }
    return Seen;
}

int Run(const ARGS& A)
{
    const std::string& C = A.Command;
    if (C.empty() && !A.Help) Fail("no command (see kivsdpctl --help)", 2);
    if (A.Help || C == "help") {
        auto It = HELP.find(C);
        fputs(It != HELP.end() ? It->second : HELP_MAIN, stdout);
        return 0;
    }
    if (HELP.count(C) == 0) Fail("unknown command '" + C + "' (see kivsdpctl --help)", 2);
    if (!A.Remote.empty() && C != "browse" && C != "search" && C != "attrs")
        Fail("--remote applies to browse, search and attrs only", 2);

    // Arguments are checked before the daemon is reached.
    if (C == "records" || C == "browse" || C == "debug") Need(A, 0, 0);
    if (C == "add" || C == "del" || C == "verify" || C == "zones" || C == "connect") Need(A, 1, 1);
    if (C == "export") Need(A, 0, 1);
    if (C == "setattr") Need(A, 3, 3);
    if (C == "delattr") Need(A, 2, 2);
    if (C == "status") Need(A, 0, 0);
    if ((C == "search" || C == "attrs") && A.Remote.empty()) Fail(C + " needs --remote PATH", 2);
    if (C == "search") Need(A, 1, 12);
    if (C == "attrs") Need(A, 1, 32);

    kivtool::ServiceRecord FileRecord;
    if (C == "add") {
        kivtool::RecordFileError Err;
        if (!kivtool::ImportRecordFile(A.Positional[0], FileRecord, Err))
            Fail(A.Positional[0] + ": " + Err.ToString());
    }
    kivtool::DataElement Value;
    if (C == "setattr") {
        std::string Err;
        if (!ParseValue(A.Positional[2], Value, Err)) Fail(Err, 2);
    }
    std::vector<uint8_t> VerifyBytes;
    if (C == "verify" && !ParseHex(A.Positional[0], VerifyBytes))
        Fail("'" + A.Positional[0] + "' is not hex bytes", 2);
    std::vector<kivtool::DataElement> Uuids;
    if (C == "search") {
        for (const auto& Text : A.Positional) {
            kivtool::DataElement U;
            if (!ParseUuid(Text, U)) Fail("'" + Text + "' is not a UUID", 2);
            Uuids.push_back(U);
        }
    }

    if (C == "info") return Need(A, 0, 0), kivctl::RunInfo(A.Control, A.Json);
    Session S(A);

    if (C == "records") {
        CtlReply R = S.Ioctl(kivtool::GetRecordHandlesRequest(CTL_MAX_IO));
        S.Expect(R, "get record handles");
        std::vector<uint32_t> Handles;
        std::string Err;
        if (!kivtool::DecodeRecordHandles(R.Output.data(), R.Output.size(), Handles, Err))
            Fail("record handles: " + Err);
        if (A.Json) {
            std::string Out = "[";
            for (size_t i = 0; i < Handles.size(); i++)
                Out += (i ? "," : "") + std::to_string(Handles[i]);
            puts((Out + "]").c_str());
        } else {
            for (uint32_t h : Handles)
                puts(Hex32(h).c_str());
        }
        return 0;
    }
    if (C == "browse" && A.Remote.empty()) {
        PrintRecords(A, S.Database());
        return 0;
    }
    if (C == "add") {
        CtlReply R = S.Ioctl(kivtool::AddRecordRequest());
        S.Expect(R, "add record");
        uint32_t hRec = 0;
        if (!kivtool::DecodeRecordHandle(R.Output.data(), R.Output.size(), hRec))
            Fail("add record returned no handle");
        std::vector<kivtool::ControlRequest> Requests;
        std::string Err;
        bool Ok = kivtool::AddAttributeRequests(hRec, FileRecord, Requests, Err);
        for (size_t i = 0; Ok && i < Requests.size(); i++) {
            CtlReply Rr = S.Ioctl(Requests[i]);
            if (Rr.Status != 0) {
                Err = "attribute " + std::to_string(i + 1) + " refused: " + StatusText(Rr.Status);
                Ok = false;
            }
        }
        if (!Ok) {
            // All or nothing: the half-filled record goes again.
            S.Ioctl(kivtool::DeleteRecordRequest(hRec));
            Fail(Err);
        }
        if (A.Json)
            printf("{\"handle\":%u}\n", hRec);
        else
            puts(Hex32(hRec).c_str());
        return 0;
    }
    if (C == "del") {
        S.Expect(S.Ioctl(kivtool::DeleteRecordRequest(Number32(A.Positional[0], "handle"))),
                 "delete record");
        return 0;
    }
    if (C == "setattr") {
        kivtool::ControlRequest Request;
        std::string Err;
        if (!kivtool::AddAttributeRequest(Number32(A.Positional[0], "handle"),
                                          Number16(A.Positional[1], "attribute ID"), Value, Request,
                                          Err))
            Fail(Err, 2);
        // The device adds new IDs only: an existing value is replaced by delete and add, and
        // put back if the add is refused.
        uint32_t hRec = Number32(A.Positional[0], "handle");
        uint16_t Id = Number16(A.Positional[1], "attribute ID");
        std::optional<kivtool::DataElement> Old;
        for (const auto& Record : S.Database()) {
            if (Record.Handle() != hRec) continue;
            if (const kivtool::DataElement* Value = Record.Find(Id)) Old = *Value;
        }
        if (Old) S.Expect(S.Ioctl(kivtool::DeleteAttributeRequest(hRec, Id)), "replace attribute");
        CtlReply R = S.Ioctl(Request);
        if (R.Status != 0 && Old) {
            kivtool::ControlRequest Restore;
            if (kivtool::AddAttributeRequest(hRec, Id, *Old, Restore, Err)) S.Ioctl(Restore);
        }
        S.Expect(R, "set attribute");
        return 0;
    }
    if (C == "delattr") {
        S.Expect(
            S.Ioctl(kivtool::DeleteAttributeRequest(Number32(A.Positional[0], "handle"),
                                                    Number16(A.Positional[1], "attribute ID"))),
            "delete attribute");
        return 0;
    }
    if (C == "verify") {
        CtlReply R = S.Ioctl(kivtool::VerifyDataElementRequest(VerifyBytes));
        bool Valid = R.Status == 0;
        kivtool::DataElement De;
        bool Parsed = bool(kivtool::ParseDataElement(VerifyBytes.data(), VerifyBytes.size(), De));
        if (A.Json) {
            printf("{\"valid\":%s,\"status\":%u%s}\n", Valid ? "true" : "false", R.Status,
                   Valid && Parsed ? (",\"element\":" + kivtool::ElementJson(De)).c_str() : "");
        } else if (Valid) {
            puts("valid");
            if (Parsed) fputs(kivtool::FormatTree(De, 2).c_str(), stdout);
        }
        if (!Valid) Fail("not a valid data element: " + StatusText(R.Status));
        return 0;
    }
    if (C == "export") {
        std::vector<kivtool::ServiceRecord> Records = S.Database();
        std::optional<uint32_t> Wanted;
        if (!A.Positional.empty()) Wanted = Number32(A.Positional[0], "handle");
        std::string All, Json = "[";
        bool Found = false;
        for (const auto& Record : Records) {
            if (Wanted && Record.Handle() != Wanted) continue;
            std::string Xml, Err;
            if (!kivtool::ExportRecordXml(Record, Xml, Err))
                Fail("record " + Hex32(Record.Handle().value_or(0)) + ": " + Err);
            if (Found) All += "\n";
            Json += std::string(Found ? "," : "") +
                    "{\"handle\":" + std::to_string(Record.Handle().value_or(0)) +
                    ",\"xml\":" + kivtool::JsonString(Xml) + "}";
            All += Xml;
            Found = true;
        }
        if (Wanted && !Found) Fail("no record " + Hex32(*Wanted));
        fputs(A.Json ? (Json + "]\n").c_str() : All.c_str(), stdout);
        return 0;
    }
    if (C == "debug") {
        CtlReply R = S.Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(KIVSDP_DEBUG_INFO));
        S.Expect(R, "get debug info");
        if (R.Output.size() != sizeof(KIVSDP_DEBUG_INFO)) Fail("short debug record");
        std::string Json = "{";
        for (size_t i = 0; i < 22; i++) {
            uint32_t v = GetLe32(R.Output.data() + 4 * i);
            if (A.Json)
                Json +=
                    std::string(i ? "," : "") + "\"" + DEBUG_NAMES[i] + "\":" + std::to_string(v);
            else if (i < 3)
                printf("%-24s %s\n", DEBUG_NAMES[i], Hex32(v).c_str());
            else
                printf("%-24s %u\n", DEBUG_NAMES[i], v);
        }
        if (A.Json) puts((Json + "}").c_str());
        return 0;
    }
    if (C == "zones") {
        uint32_t Mask = Number32(A.Positional[0], "mask");
        std::vector<uint8_t> In;
        PutLe32(In, Mask);
        S.Expect(S.Ioctl(IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, In, 0), "set zone mask");
        return 0;
    }
    if (C == "status") {
        uint64_t Seen = WatchStatus(S, A, A.Count, A.TimeoutS);
        if (Seen < A.Count) Fail("timeout after " + std::to_string(Seen) + " event(s)");
        return 0;
    }
    if (C == "connect") {
        Remote R(S, A.Positional[0]);
        if (A.Json)
            printf("{\"cid\":%u}\n", R.Cid());
        else
            printf("connected: CID 0x%04x\n", R.Cid());
        fflush(stdout);
        if (A.TimeoutS > 0) WatchStatus(S, A, UINT64_MAX, A.TimeoutS);
        return 0;
    }

    // Client role.
    Remote R(S, A.Remote);
    uint16_t Cid = R.Cid();
    if (C == "search") {
        Response All = FullTransaction(R, PDU_SEARCH_RESPONSE,
                                       [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
                                           return SearchRequest(Cid, Tid, Uuids, 0xFFFF, Cont);
                                       });
        if (A.Json) {
            std::string Out = "[";
            for (size_t i = 0; i < All.Handles.size(); i++)
                Out += (i ? "," : "") + std::to_string(All.Handles[i]);
            puts((Out + "]").c_str());
        } else {
            if (All.Handles.empty()) puts("(no records)");
            for (uint32_t h : All.Handles)
                puts(Hex32(h).c_str());
        }
        return 0;
    }
    if (C == "attrs") {
        uint32_t hRec = Number32(A.Positional[0], "handle");
        std::vector<AttrRange> Ranges;
        for (size_t i = 1; i < A.Positional.size(); i++) {
            AttrRange Range;
            if (!ParseRange(A.Positional[i], Range))
                Fail("'" + A.Positional[i] + "' is not an attribute ID or range", 2);
            Ranges.push_back(Range);
        }
        if (Ranges.empty()) Ranges.push_back(AttrRange{});
        // The server walks the list in order and expects it ascending.
        std::sort(Ranges.begin(), Ranges.end(),
                  [](const AttrRange& a, const AttrRange& b) { return a.First < b.First; });
        Response All = FullTransaction(R, PDU_ATTR_RESPONSE,
                                       [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
                                           return AttrRequest(Cid, Tid, hRec, 0xFFFF, Ranges, Cont);
                                       });
        kivtool::DataElement List;
        kivtool::DeResult r =
            kivtool::ParseDataElement(All.AttributeBytes.data(), All.AttributeBytes.size(), List);
        kivtool::ServiceRecord Record;
        std::string Err;
        if (!r) Fail("attribute list does not parse: " + r.Error);
        if (!ParseAttributeList(List, Record, Err)) Fail(Err);
        PrintRecords(A, {Record});
        return 0;
    }
    // browse --remote
    std::vector<kivtool::DataElement> Browse{kivtool::MakeUuid16(UUID_PUBLIC_BROWSE_GROUP)};
    Response All = FullTransaction(
        R, PDU_SEARCH_ATTR_RESPONSE, [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
            return SearchAttrRequest(Cid, Tid, Browse, 0xFFFF, {AttrRange{}}, Cont);
        });
    std::vector<kivtool::ServiceRecord> Records;
    std::string Err;
    if (!ParseAttributeLists(All.AttributeBytes, Records, Err)) Fail(Err);
    PrintRecords(A, Records);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        ARGS A = ParseArgs(argc, argv);
        return Run(A);
    } catch (const FAILURE& F) {
        fprintf(stderr, "kivsdpctl: %s\n", F.Message.c_str());
        return F.Code;
    }
}
