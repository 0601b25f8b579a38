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
#include "toolcli.h"
#include "verbs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kivctl {

void Fail(const std::string& Message, int Code)
{
    throw FAILURE{Code, Message};
}

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

Session::Session(const ARGS& A)
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

CtlReply Session::Ioctl(const kivtool::ControlRequest& Request, int TimeoutMs)
{
    CtlReply R;
    std::string Err;
    if (!m_Ctl.Call(CTL_IOCTL,
                    CtlClient::IoctlBody(Request.Code, Request.Input, Request.OutputLength),
                    TimeoutMs, R, Err))
        Fail(Err);
    return R;
}

CtlReply Session::Ioctl(uint32_t Code, const std::vector<uint8_t>& In, uint32_t OutLength,
                        int TimeoutMs)
{
    return Ioctl(kivtool::ControlRequest{Code, In, OutLength}, TimeoutMs);
}

void Session::Expect(const CtlReply& R, const std::string& What)
{
    if (R.Status != 0) Fail(What + " failed: " + StatusText(R.Status));
}

std::vector<kivtool::ServiceRecord> Session::Database()
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

} // namespace kivctl

using namespace kivctl;

namespace {

std::string Hex32(uint32_t v)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08x", v);
    return Text;
}

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

void PrintHandles(const ARGS& A, const std::vector<uint32_t>& Handles, bool SayNone)
{
    if (A.Json) {
        std::string Out = "[";
        for (size_t i = 0; i < Handles.size(); i++)
            Out += (i ? "," : "") + std::to_string(Handles[i]);
        puts((Out + "]").c_str());
        return;
    }
    if (SayNone && Handles.empty()) puts("(no records)");
    for (uint32_t h : Handles)
        puts(Hex32(h).c_str());
}

// Every attribute of one remote record.
kivtool::ServiceRecord RemoteRecord(Remote& R, uint32_t hRec, std::vector<AttrRange> Ranges)
{
    const uint16_t Cid = R.Cid();
    Response All =
        FullTransaction(R, PDU_ATTR_RESPONSE, [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
            return AttrRequest(Cid, Tid, hRec, 0xFFFF, Ranges, Cont);
        });
    kivtool::DataElement List;
    kivtool::DeResult r =
        kivtool::ParseDataElement(All.AttributeBytes.data(), All.AttributeBytes.size(), List);
    kivtool::ServiceRecord Record;
    std::string Err;
    if (!r) Fail("attribute list does not parse: " + r.Error);
    if (!kivtool::RecordFromAttributeList(List, Record, Err)) Fail(Err);
    return Record;
}

// Writes each record as DIR/record-HHHHHHHH.xml (its handle on the server), so that the set
// loads again with kivsdpd --records DIR. A record that has no record-file form is named on
// standard error and the others are still written; false then.
bool SaveRecords(const std::string& Dir, const std::vector<kivtool::ServiceRecord>& Records)
{
    if (mkdir(Dir.c_str(), 0777) != 0 && errno != EEXIST)
        Fail("cannot make " + Dir + ": " + strerror(errno));
    bool Ok = true;
    for (const auto& Record : Records) {
        const uint32_t h = Record.Handle().value_or(0);
        std::string Xml, Err;
        if (!kivtool::ExportRecordXml(Record, Xml, Err)) {
            fprintf(stderr, "kivsdpctl: record %s not saved: %s\n", Hex32(h).c_str(), Err.c_str());
            Ok = false;
            continue;
        }
        char Name[32];
        snprintf(Name, sizeof(Name), "/record-%08x.xml", h);
        const std::string Path = Dir + Name;
        FILE* f = fopen(Path.c_str(), "wb");
        if (!f) Fail("cannot write " + Path + ": " + strerror(errno));
        const bool Written = fwrite(Xml.data(), 1, Xml.size(), f) == Xml.size();
        if (fclose(f) != 0 || !Written) Fail("cannot write " + Path + ": " + strerror(errno));
    }
    return Ok;
}

int ShowRemoteRecords(const ARGS& A, const std::vector<kivtool::ServiceRecord>& Records)
{
    PrintRecords(A, Records);
    if (!A.Save.empty() && !SaveRecords(A.Save, Records))
        Fail("some records have no record-file form (see above)");
    return 0;
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

int RunRecords(const ARGS& A)
{
    if (!A.Remote.empty()) {
        // Like a browse, but every record the server has: every record holds L2CAP in its
        // protocol list, also those outside the public browse group.
        Session S(A);
        Remote R(S, A.Remote);
        const uint16_t Cid = R.Cid();
        std::vector<kivtool::DataElement> L2cap{kivtool::MakeUuid16(0x0100)};
        Response Found = FullTransaction(R, PDU_SEARCH_RESPONSE,
                                         [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
                                             return SearchRequest(Cid, Tid, L2cap, 0xFFFF, Cont);
                                         });
        std::vector<kivtool::ServiceRecord> Records;
        for (uint32_t h : Found.Handles)
            Records.push_back(RemoteRecord(R, h, {AttrRange{}}));
        return ShowRemoteRecords(A, Records);
    }
    if (!A.Save.empty()) Fail("--save needs --remote", 2);
    Session S(A);
    CtlReply R = S.Ioctl(kivtool::GetRecordHandlesRequest(CTL_MAX_IO));
    S.Expect(R, "get record handles");
    std::vector<uint32_t> Handles;
    std::string Err;
    if (!kivtool::DecodeRecordHandles(R.Output.data(), R.Output.size(), Handles, Err))
        Fail("record handles: " + Err);
    PrintHandles(A, Handles, false);
    return 0;
}

int RunBrowse(const ARGS& A)
{
    if (A.Remote.empty()) {
        if (!A.Save.empty()) Fail("--save needs --remote", 2);
        Session S(A);
        PrintRecords(A, S.Database());
        return 0;
    }
    Session S(A);
    Remote R(S, A.Remote);
    const uint16_t Cid = R.Cid();
    std::vector<kivtool::DataElement> Browse{kivtool::MakeUuid16(UUID_PUBLIC_BROWSE_GROUP)};
    Response All = FullTransaction(
        R, PDU_SEARCH_ATTR_RESPONSE, [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
            return SearchAttrRequest(Cid, Tid, Browse, 0xFFFF, {AttrRange{}}, Cont);
        });
    std::vector<kivtool::ServiceRecord> Records;
    std::string Err;
    if (!ParseAttributeLists(All.AttributeBytes, Records, Err)) Fail(Err);
    return ShowRemoteRecords(A, Records);
}

int RunAdd(const ARGS& A)
{
    kivtool::ServiceRecord FileRecord;
    kivtool::RecordFileError FileErr;
    if (!kivtool::ImportRecordFile(A.Positional[0], FileRecord, FileErr))
        Fail(A.Positional[0] + ": " + FileErr.ToString());
    Session S(A);
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

int RunDel(const ARGS& A)
{
    const uint32_t hRec = Number32(A.Positional[0], "handle");
    Session S(A);
    S.Expect(S.Ioctl(kivtool::DeleteRecordRequest(hRec)), "delete record");
    return 0;
}

int RunSetattr(const ARGS& A)
{
    kivtool::DataElement Value;
    std::string Err;
    if (!ParseValue(A.Positional[2], Value, Err)) Fail(Err, 2);
    const uint32_t hRec = Number32(A.Positional[0], "handle");
    const uint16_t Id = Number16(A.Positional[1], "attribute ID");
    kivtool::ControlRequest Request;
    if (!kivtool::AddAttributeRequest(hRec, Id, Value, Request, Err)) Fail(Err, 2);
    Session S(A);
    // The device adds new IDs only: an existing value is replaced by delete and add, and
    // put back if the add is refused.
    std::optional<kivtool::DataElement> Old;
    for (const auto& Record : S.Database()) {
        if (Record.Handle() != hRec) continue;
        if (const kivtool::DataElement* Was = Record.Find(Id)) Old = *Was;
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

int RunDelattr(const ARGS& A)
{
    const uint32_t hRec = Number32(A.Positional[0], "handle");
    const uint16_t Id = Number16(A.Positional[1], "attribute ID");
    Session S(A);
    S.Expect(S.Ioctl(kivtool::DeleteAttributeRequest(hRec, Id)), "delete attribute");
    return 0;
}

int RunVerify(const ARGS& A)
{
    std::vector<uint8_t> VerifyBytes;
    if (!ParseHex(A.Positional[0], VerifyBytes))
        Fail("'" + A.Positional[0] + "' is not hex bytes", 2);
    Session S(A);
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

int RunExport(const ARGS& A)
{
    std::optional<uint32_t> Wanted;
    if (!A.Positional.empty()) Wanted = Number32(A.Positional[0], "handle");
    Session S(A);
    std::vector<kivtool::ServiceRecord> Records = S.Database();
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

int RunDebug(const ARGS& A)
{
    Session S(A);
    CtlReply R = S.Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(KIVSDP_DEBUG_INFO));
    S.Expect(R, "get debug info");
    if (R.Output.size() != sizeof(KIVSDP_DEBUG_INFO)) Fail("short debug record");
    std::string Json = "{";
    for (size_t i = 0; i < 22; i++) {
        uint32_t v = GetLe32(R.Output.data() + 4 * i);
        if (A.Json)
            Json += std::string(i ? "," : "") + "\"" + DEBUG_NAMES[i] + "\":" + std::to_string(v);
        else if (i < 3)
            printf("%-24s %s\n", DEBUG_NAMES[i], Hex32(v).c_str());
        else
            printf("%-24s %u\n", DEBUG_NAMES[i], v);
    }
    if (A.Json) puts((Json + "}").c_str());
    return 0;
}

int RunZones(const ARGS& A)
{
    const uint32_t Mask = Number32(A.Positional[0], "mask");
    Session S(A);
    std::vector<uint8_t> In;
    PutLe32(In, Mask);
    S.Expect(S.Ioctl(IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, In, 0), "set zone mask");
    return 0;
}

int RunStatus(const ARGS& A)
{
    Session S(A);
    uint64_t Seen = WatchStatus(S, A, A.Count, A.TimeoutS);
    if (Seen < A.Count) Fail("timeout after " + std::to_string(Seen) + " event(s)");
    return 0;
}

int RunConnect(const ARGS& A)
{
    Session S(A);
    Remote R(S, A.Positional[0]);
    if (A.Json)
        printf("{\"cid\":%u}\n", R.Cid());
    else
        printf("connected: CID 0x%04x\n", R.Cid());
    fflush(stdout);
    if (A.TimeoutS > 0) WatchStatus(S, A, UINT64_MAX, A.TimeoutS);
    return 0;
}

int RunSearch(const ARGS& A)
{
    if (A.Remote.empty()) Fail("search needs --remote PATH", 2);
    std::vector<kivtool::DataElement> Uuids;
    for (const auto& Text : A.Positional) {
        kivtool::DataElement U;
        if (!ParseUuid(Text, U)) Fail("'" + Text + "' is not a UUID", 2);
        Uuids.push_back(U);
    }
    Session S(A);
    Remote R(S, A.Remote);
    const uint16_t Cid = R.Cid();
    Response All = FullTransaction(R, PDU_SEARCH_RESPONSE,
                                   [&](uint16_t Tid, const std::vector<uint8_t>& Cont) {
                                       return SearchRequest(Cid, Tid, Uuids, 0xFFFF, Cont);
                                   });
    PrintHandles(A, All.Handles, true);
    return 0;
}

int RunAttrs(const ARGS& A)
{
    if (A.Remote.empty()) Fail("attrs needs --remote PATH", 2);
    const uint32_t hRec = Number32(A.Positional[0], "handle");
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
    Session S(A);
    Remote R(S, A.Remote);
    PrintRecords(A, {RemoteRecord(R, hRec, Ranges)});
    return 0;
}

// --remote takes a server socket's path, or a Bluetooth address: the daemon's radio then opens
// an L2CAP channel to PSM 1 of that device.
#define REMOTE_TEXT                                                                                \
    "--remote is a server socket's path or a Bluetooth address (AA:BB:CC:DD:EE:FF): the\n"         \
    "daemon then opens an L2CAP channel to the device's SDP server (PSM 1); where the kernel\n"    \
    "has no Bluetooth that fails with the reason.\n"

const VERB VERBS[] = {
    {"records", "[--remote PATH|ADDR [--save DIR]]",
     "record handles; with --remote a server's every record",
     "usage: kivsdpctl records [--remote PATH|ADDR [--save DIR]]\n"
     "Prints the handles of the device's records. With --remote, finds every record of that\n"
     "server, also those outside the public browse group (a ServiceSearch for L2CAP 0x0100,\n"
     "then all attributes of each handle), and prints them as browse does.\n"
     "  --save DIR  also write each record as DIR/record-HHHHHHHH.xml (HHHHHHHH its handle\n"
     "              there), files kivsdpd --records DIR serves again\n" REMOTE_TEXT,
     0, 0, VERB_REMOTE | VERB_SAVE, RunRecords},
    {"browse", "[--remote PATH|ADDR [--save DIR]]",
     "every record, named; with --remote a server's browse group",
     "usage: kivsdpctl browse [--remote PATH|ADDR [--save DIR]]\n"
     "Prints the local database, or a remote server's public browse group (all attributes,\n"
     "following continuation states). Attributes are named, the profile ones by the record's\n"
     "service class; feature masks spell their bits.\n"
     "  --save DIR  also write each remote record as DIR/record-HHHHHHHH.xml, files\n"
     "              kivsdpd --records DIR serves again (clones the device's records)\n" REMOTE_TEXT,
     0, 0, VERB_REMOTE | VERB_SAVE, RunBrowse},
    {"add", "FILE.xml", "add a record file's record; prints the new handle",
     "usage: kivsdpctl add FILE.xml\n"
     "Adds the record of a record file; prints its handle. All or nothing. A ServiceRecordHandle\n"
     "(0x0000) in the file, as every dump of a device holds, is read and dropped: the device\n"
     "gives the record a handle of its own.\n",
     1, 1, 0, RunAdd},
    {"del", "HANDLE", "delete a record", "usage: kivsdpctl del HANDLE\nDeletes a record.\n", 1, 1,
     0, RunDel},
    {"setattr", "HANDLE ID VALUE", "set an attribute (VALUE: TYPE:TEXT, nil or hex:ENCODED)",
     "usage: kivsdpctl setattr HANDLE ID VALUE\nVALUE: uint16:0x1234, int8:-3, "
     "uuid:0x1101, text:Name, url:http://x, bool:true, nil, hex:0901 00.\n",
     3, 3, 0, RunSetattr},
    {"delattr", "HANDLE ID", "delete an attribute",
     "usage: kivsdpctl delattr HANDLE ID\nDeletes one attribute of a record.\n", 2, 2, 0,
     RunDelattr},
    {"verify", "HEX", "ask the device whether the bytes are one valid data element",
     "usage: kivsdpctl verify HEX\nAsks the device whether HEX is exactly one valid "
     "data element; exit 1 if not.\n",
     1, 1, 0, RunVerify},
    {"export", "[HANDLE]", "records as record-file XML",
     "usage: kivsdpctl export [HANDLE]\nRecord-file XML of one record, or of every "
     "record separated by blank lines, in the dialect other Bluetooth tools read back to the\n"
     "same bytes; the handle is left out.\n",
     0, 1, 0, RunExport},
    {"debug", "", "the device's debug counters",
     "usage: kivsdpctl debug\nPrints the device's debug counters.\n", 0, 0, 0, RunDebug},
    {"info", "", "the daemon: version, sockets, channels, records, refusals", kivctl::INFO_HELP, 0,
     0, 0, [](const ARGS& A) { return kivctl::RunInfo(A.Control, A.Json); }},
    {"zones", "MASK", "set the debug zone mask",
     "usage: kivsdpctl zones MASK\nSets the device's debug zone mask (0x07 default).\n", 1, 1, 0,
     RunZones},
    {"status", "[--count N] [--timeout S]", "wait for channel events",
     "usage: kivsdpctl status [--count N] [--timeout S]\nPrints channel events as "
     "they come: N of them (default 1), waiting at most S seconds (default forever).\n",
     0, 0, VERB_COUNT | VERB_TIMEOUT, RunStatus},
    {"connect", "PATH|ADDR [--timeout S]", "connect a channel, show its events",
     "usage: kivsdpctl connect PATH|ADDR [--timeout S]\nConnects a channel to a server "
     "socket or a Bluetooth device's PSM 1, prints its CID, then prints its events for S\n"
     "seconds (default 0).\n",
     1, 1, VERB_TIMEOUT, RunConnect},
    {"search", "--remote PATH|ADDR UUID...", "ServiceSearch",
     "usage: kivsdpctl search --remote PATH|ADDR UUID...\nServiceSearch for records "
     "holding every UUID (0x1101, 00001101-0000-1000-8000-00805f9b34fb).\n" REMOTE_TEXT,
     1, 12, VERB_REMOTE, RunSearch},
    {"attrs", "--remote PATH|ADDR HANDLE [RANGE...]", "ServiceAttribute",
     "usage: kivsdpctl attrs --remote PATH|ADDR HANDLE [RANGE...]\nServiceAttribute for "
     "the attributes in the ranges (0x0100 or 0x0000-0xffff; default 0x0000-0xffff).\n" REMOTE_TEXT,
     1, 32, VERB_REMOTE, RunAttrs},
};

std::string MainHelp()
{
    std::string s = "usage: kivsdpctl [--control PATH] [--device N] [--json] COMMAND [ARGS]\n"
                    "The daemon's control socket is --control, else $KIVSDP_CONTROL, else\n"
                    "$XDG_RUNTIME_DIR/kivsdpd/control when a daemon of yours serves it, else\n"
                    "/run/kivsdpd/control (the system daemon; as root always that one).\n"
                    "Commands, on the database of device KivSdp<N> (default 0), or as a client "
                    "(--remote):\n";
    for (const VERB& v : VERBS) {
        std::string Line = std::string("  ") + v.Name + (*v.Synopsis ? " " : "") + v.Synopsis;
        if (Line.size() < 38)
            Line.resize(38, ' ');
        else
            Line += "\n" + std::string(38, ' ');
        s += Line + v.Summary + "\n";
    }
    return s + "Every command takes --help; options also as --opt=value.\n"
               "Exit status: 0 done, 1 failed, 2 bad usage.\n";
}

// A number option: the text must be a number up to Max, else the option is named.
CLI::Validator NumberUpTo(uint64_t Max)
{
    return CLI::Validator(
        [Max](std::string& Text) {
            uint64_t v = 0;
            return ParseNumber(Text, Max, v) ? std::string() : "'" + Text + "' is not a number";
        },
        "N");
}

} // namespace

int main(int argc, char** argv)
{
    ARGS A;
    A.Control = kivtool::ClientControlPath("");
    std::string Device = "0", Count = "1", Timeout;

    CLI::App App{"", "kivsdpctl"};
    // The global options may also follow the command.
    App.fallthrough();
    App.add_option("--control", A.Control);
    App.add_option("--device", Device)->check(NumberUpTo(0xFFFFFFFFu));
    App.add_flag("--json", A.Json);
    const VERB* Chosen = nullptr;
    std::vector<std::pair<CLI::App*, const VERB*>> Verbs;
    for (const VERB& v : VERBS) {
        CLI::App* Sub = App.add_subcommand(v.Name);
        if (v.Options & VERB_REMOTE) Sub->add_option("--remote", A.Remote);
        if (v.Options & VERB_SAVE) Sub->add_option("--save", A.Save);
        if (v.Options & VERB_COUNT)
            Sub->add_option("--count", Count)->check(NumberUpTo(0xFFFFFFFFu));
        if (v.Options & VERB_TIMEOUT)
            Sub->add_option("--timeout", Timeout)->check(NumberUpTo(0xFFFF));
        Sub->add_option("ARGS", A.Positional);
        Verbs.push_back({Sub, &v});
    }
    // "kivsdpctl help [COMMAND]" as "kivsdpctl [COMMAND] --help".
    std::vector<std::string> HelpFor;
    CLI::App* HelpVerb = App.add_subcommand("help");
    HelpVerb->add_option("COMMAND", HelpFor);
    App.require_subcommand(0, 1);
    const int Read = kivtool::ParseCommandLine(App, argc, argv, [&](const CLI::App& Given) {
        for (const auto& [Sub, v] : Verbs)
            if (Sub == &Given) return std::string(v->Help);
        return MainHelp();
    });
    if (Read != kivtool::COMMAND_LINE_READ) return Read;
    if (HelpVerb->parsed()) {
        std::string Text = MainHelp();
        for (const auto& [Sub, v] : Verbs)
            if (!HelpFor.empty() && HelpFor[0] == v->Name) Text = v->Help;
        fputs(Text.c_str(), stdout);
        return 0;
    }
    for (const auto& [Sub, v] : Verbs)
        if (Sub->parsed()) Chosen = v;

    try {
        if (!Chosen) Fail("no command (see kivsdpctl --help)", 2);
        A.Command = Chosen->Name;
        A.Device = Number32(Device, "device");
        A.Count = Number32(Count, "count");
        if (!Timeout.empty()) A.TimeoutS = int(Number16(Timeout, "timeout"));
        if (A.Positional.size() < Chosen->MinArgs || A.Positional.size() > Chosen->MaxArgs)
            Fail("wrong number of arguments for '" + A.Command + "' (see kivsdpctl " + A.Command +
                     " --help)",
                 2);
        return Chosen->Run(A);
    } catch (const FAILURE& F) {
        fprintf(stderr, "kivsdpctl: %s\n", F.Message.c_str());
        return F.Code;
    }
}
