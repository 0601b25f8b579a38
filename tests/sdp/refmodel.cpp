// The reference model of the SDP server, step by step as the behaviour is
// defined. Plain and slow on purpose: every write goes through a bounds
// check, so a budget the model gets wrong shows up as an exception instead
// of a silently different answer.
#include "refmodel.h"

#include <stdexcept>

namespace refmodel {

namespace {

constexpr uint32_t MAX_ELEMENT = 512;
constexpr uint16_t ERR_HANDLE = 0x0002;
constexpr uint16_t ERR_SYNTAX = 0x0003;
constexpr uint16_t ERR_PDU_SIZE = 0x0004;
constexpr uint16_t ERR_CONT = 0x0005;
constexpr uint16_t ERR_INTERNAL = 0x00FF;

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void PutLe(Bytes& Out, uint32_t v, int n)
{
    for (int i = 0; i < n; i++)
        Out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The response under construction: MaxResponseLen zeroed bytes. The scan's
// budgets do not bound every series (values of one byte each take 4 bytes
// while Room is forced to 1), so a write past them is remembered; the scan
// stops there and the transaction answers 0x00FF, an internal inconsistency,
// never a PDU longer than the MTU.
struct RESPONSE {
    Bytes& b;
    bool Overflow = false;
    void Put(uint32_t At, uint8_t v)
    {
        if (At >= b.size()) {
            Overflow = true;
            return;
        }
        b[At] = v;
    }
    void Put16(uint32_t At, uint16_t v)
    {
        Put(At, static_cast<uint8_t>(v >> 8));
        Put(At + 1, static_cast<uint8_t>(v));
    }
    void Put32(uint32_t At, uint32_t v)
    {
        Put16(At, static_cast<uint16_t>(v >> 16));
        Put16(At + 2, static_cast<uint16_t>(v));
    }
    void PutState(uint32_t At, const REF_STATE& s)
    {
        Put(At, 0x0C);
        for (int i = 0; i < 4; i++)
            Put(At + 1 + uint32_t(i), static_cast<uint8_t>(s.ServerState >> (8 * i)));
        for (int i = 0; i < 4; i++)
            Put(At + 5 + uint32_t(i), static_cast<uint8_t>(s.hCurRec >> (8 * i)));
        Put(At + 9, static_cast<uint8_t>(s.CurAttID));
        Put(At + 10, static_cast<uint8_t>(s.CurAttID >> 8));
        Put(At + 11, static_cast<uint8_t>(s.CurOffset));
        Put(At + 12, static_cast<uint8_t>(s.CurOffset >> 8));
    }
};

void ErrorResponse(const Bytes& Req, Bytes& Rsp, uint16_t Code)
{
    RESPONSE r{Rsp};
    r.Put(0, 0x01);
    r.Put(1, Req.size() > 1 ? Req[1] : 0);
    r.Put(2, Req.size() > 2 ? Req[2] : 0);
    r.Put16(3, 6);
    r.Put16(5, Code);
    r.Put32(7, 0);
}

// Offset of the first member for a header with a length field, else 0.
uint32_t MembersStart(uint8_t Header)
{
    switch (Header & 7) {
    case 5:
        return 2;
    case 6:
        return 3;
    case 7:
        return 5;
    default:
        return 0;
    }
}

// ---- UUID matching ----

bool LoadUuid(const uint8_t* p, uint32_t W[4])
{
    W[0] = 0x00000000;
    W[1] = 0x00001000;
    W[2] = 0x80000080;
    W[3] = 0x5F9B34FB;
    switch (p[0] & 7) {
    case 1:
        W[0] = Be16(p + 1);
        return true;
    case 2:
        W[0] = Be32(p + 1);
        return true;
    case 4:
        for (int i = 0; i < 4; i++)
            W[i] = Be32(p + 1 + 4 * i);
        return true;
    default:
        return false;
    }
}

bool CompareUuids(const uint8_t* pDE, const uint8_t* pUuid, uint16_t& Error)
{
    uint32_t a[4], b[4];
    if (!LoadUuid(pDE, a) || !LoadUuid(pUuid, b)) {
        Error = ERR_INTERNAL;
        return false;
    }
    Error = 0;
    for (int i = 0; i < 4; i++)
        if (a[i] != b[i]) return false;
    return true;
}

bool ScanAttributeForUuid(const uint8_t* pDE, uint32_t Length, const uint8_t* pUuid,
                          uint16_t& Error)
{
    if (Length == 0) {
        Error = ERR_INTERNAL;
        return false;
    }
    const uint8_t Type = pDE[0] >> 3;
    if (Type == 3) return CompareUuids(pDE, pUuid, Error);
    if (Type != 6 && Type != 7) {
        Error = 0;
        return false;
    }
    uint32_t Off = MembersStart(pDE[0]);
    if (Off == 0) {
        Error = ERR_INTERNAL;
        return false;
    }
    while (Off < Length) {
        const uint32_t Size = ElementSize(pDE + Off, Length - Off);
        if (Size == 0 || Off + Size > Length) {
            Error = ERR_INTERNAL;
            return false;
        }
        if (ScanAttributeForUuid(pDE + Off, Size, pUuid, Error)) return true;
        if (Error != 0) return false;
        Off += Size;
    }
    Error = 0;
    return false;
}

bool ScanRecordForUuid(const REF_RECORD& Rec, const uint8_t* pUuid, uint16_t& Error)
{
    if ((pUuid[0] >> 3) != 3) {
        Error = ERR_SYNTAX;
        return false;
    }
    Error = 0;
    for (const REF_ATTRIBUTE& a : Rec.Attributes) {
        const uint32_t Length = ElementSize(a.Value.data(), 5);
        if (ScanAttributeForUuid(a.Value.data(), Length, pUuid, Error)) return true;
        if (Error != 0) return false;
    }
    return false;
}

bool ExtractRecordHandle(const REF_RECORD& Rec, uint32_t& h)
{
    if (Rec.Attributes.empty()) return false;
    const REF_ATTRIBUTE& a = Rec.Attributes.front();
    if (a.Id != 0 || a.Value.size() < 5 || a.Value[0] != 0x0A) return false;
    h = Be32(a.Value.data() + 1);
    return true;
}

// Walks the members of the pattern at p (Size bytes, members from Start) and
// tells whether every one occurs in Rec. False with Error set ends the request.
// Avail bytes are readable from p: a pattern walked as a list whatever its type
// (a text string, say) can hold a UUID header whose value runs past the PDU;
// the bytes past it read as zeros.
bool MatchPattern(const REF_RECORD& Rec, const uint8_t* p, uint32_t Size, uint32_t Start,
                  uint32_t Avail, uint16_t& Error)
{
    bool Matched = false;
    uint32_t Off = Start;
    Error = 0;
    while (Off < Size) {
        uint8_t Member[17] = {};
        for (uint32_t i = 0; i < 17 && Off + i < Avail; i++)
            Member[i] = p[Off + i];
        if (!ScanRecordForUuid(Rec, Member, Error)) return false;
        Matched = true;
        const uint32_t m = ElementSize(p + Off, Size - Off);
        if (m == 0) {
            Error = ERR_SYNTAX;
            return false;
        }
        Off += m;
    }
    return Matched;
}

// ---- The attribute scan ----

struct SCAN {
    RESPONSE& Rsp;
    uint32_t MaxResponseLen;
    uint32_t MaxByteCount;
    const REF_STATE* pState;
    uint32_t ChangeCount;
    uint32_t& DestIndex;
    uint32_t& TotFound;
    uint32_t& RecFound;
    uint16_t& Error;
    bool& StateGenerated;
    bool& HeaderReserved;
    bool LocalHeaders;
    bool& FirstInRecord;
    bool& HeaderPending;
    bool& StateUsed;
};

bool ScanRecordForAttributes(SCAN& s, const REF_RECORD& Rec, const uint8_t* pId)
{
    // 1. The ID element: one 16-bit ID or a 32-bit range.
    if ((pId[0] >> 3) != 1 || ((pId[0] & 7) != 1 && (pId[0] & 7) != 2)) {
        s.Error = ERR_SYNTAX;
        return false;
    }
    uint16_t Min = Be16(pId + 1), Max = Min;
    if ((pId[0] & 7) == 2) {
        Max = Be16(pId + 3);
        if (Max < Min) {
            s.Error = ERR_SYNTAX;
            return false;
        }
    }
    // 2. Resume point.
    uint32_t ResRec = 0;
    uint16_t ResAtt = 0, ResOff = 0;
    if (s.pState && !s.StateUsed) {
        ResRec = s.pState->hCurRec;
        ResAtt = s.pState->CurAttID;
        ResOff = s.pState->CurOffset;
    }
    // 3. Handle.
    uint32_t h = 0;
    if (!ExtractRecordHandle(Rec, h)) {
        s.Error = ERR_INTERNAL;
        return false;
    }
    // 4. The attributes in range.
    for (const REF_ATTRIBUTE& a : Rec.Attributes) {
        if (a.Id < Min || a.Id > Max) continue;
        const uint32_t Size = ElementSize(a.Value.data(), 5);
        s.TotFound += 3 + Size;
        s.RecFound += 3 + Size;
        if (s.TotFound > s.MaxByteCount - 6) {
            s.TotFound -= 3 + Size;
            s.RecFound -= 3 + Size;
            s.Error = 0;
            return false;
        }
        if (s.FirstInRecord && s.LocalHeaders) s.TotFound += 3;
        s.FirstInRecord = false;
        if (h < ResRec || a.Id < ResAtt || s.StateGenerated) {
            s.HeaderPending = false;
            continue;
        }
        if (s.HeaderPending && s.LocalHeaders && (!s.pState || s.StateUsed)) {
            s.HeaderReserved = true;
            s.DestIndex += 3;
        }
        s.HeaderPending = false;
        if (ResOff == 0) {
            s.Rsp.Put(s.DestIndex, 0x09);
            s.Rsp.Put16(s.DestIndex + 1, a.Id);
            s.DestIndex += 3;
        }
        if (s.Rsp.Overflow) {
            s.Error = ERR_INTERNAL;
            return false;
        }
        int64_t Room = int64_t(s.MaxResponseLen) - int64_t(s.DestIndex) - 19;
        Room -= 10;
        if (Room <= 0) Room = 1;
        if (Size < ResOff) {
            s.Error = ERR_CONT;
            return false;
        }
        const uint32_t Want = Size - ResOff;
        if (int64_t(Want) <= Room) {
            for (uint32_t i = ResOff; i < Size; i++)
                s.Rsp.Put(s.DestIndex++, a.Value.at(i));
            s.StateUsed = true;
            ResOff = 0;
            if (s.Rsp.Overflow) {
                s.Error = ERR_INTERNAL;
                return false;
            }
            continue;
        }
        const uint32_t n = static_cast<uint32_t>(Room);
        for (uint32_t i = 0; i < n; i++)
            s.Rsp.Put(s.DestIndex++, a.Value.at(ResOff + i));
        REF_STATE State;
        State.ServerState = s.ChangeCount;
        State.hCurRec = h;
        State.CurAttID = a.Id;
        State.CurOffset = static_cast<uint16_t>(ResOff + n);
        s.Rsp.PutState(s.DestIndex, State);
        s.DestIndex += 13;
        s.StateGenerated = true;
        if (s.Rsp.Overflow) {
            s.Error = ERR_INTERNAL;
            return false;
        }
    }
    return true;
}

REF_STATE ReadState(const uint8_t* p)
{
    REF_STATE s;
    s.ServerState = Le32(p);
    s.hCurRec = Le32(p + 4);
    s.CurAttID = Le16(p + 8);
    s.CurOffset = Le16(p + 10);
    return s;
}

} // namespace

// ---- Data elements ----

uint32_t ElementSize(const uint8_t* p, uint32_t MaxLen)
{
    if (p == nullptr || MaxLen == 0) return 0;
    const uint8_t Type = p[0] >> 3, Index = p[0] & 7;
    static const uint32_t IntSizes[5] = {2, 3, 5, 9, 17};
    uint64_t Total = 0;
    switch (Type) {
    case 0:
        Total = Index == 0 ? 1 : 0;
        break;
    case 1:
    case 2:
        Total = Index <= 4 ? IntSizes[Index] : 0;
        break;
    case 3:
        Total = Index == 1 ? 3 : Index == 2 ? 5 : Index == 4 ? 17 : 0;
        break;
    case 5:
        Total = Index == 0 ? 2 : 0;
        break;
    case 4:
    case 6:
    case 7:
    case 8:
    case 9:
        if (Index == 5) {
            if (MaxLen < 2) return 0;
            Total = 2 + uint64_t(p[1]);
        } else if (Index == 6) {
            if (MaxLen < 3) return 0;
            Total = 3 + uint64_t(Be16(p + 1));
        } else if (Index == 7) {
            if (MaxLen < 5) return 0;
            Total = 5 + uint64_t(Be32(p + 1));
        }
        break;
    default:
        break;
    }
    if (Total > MAX_ELEMENT) return 0;
    return static_cast<uint32_t>(Total);
}

bool VerifyElement(const uint8_t* p, uint32_t Length, uint32_t Avail)
{
    if (Length > Avail) return false;
    const uint32_t Size = ElementSize(p, Length);
    if (Size == 0 || Size != Length) return false;
    const uint8_t Type = p[0] >> 3;
    if (Type != 6 && Type != 7) return true;
    uint32_t Off = MembersStart(p[0]);
    while (Off < Length) {
        const uint32_t m = ElementSize(p + Off, Length - Off);
        if (m == 0 || Off + m > Length) return false;
        if (!VerifyElement(p + Off, m, m)) return false;
        Off += m;
    }
    return true;
}

// ---- Database ----

CRefModel::CRefModel()
{
    CreateRecord(0);
    AddNewAttribute(0, 0x0001, {0x35, 0x03, 0x19, 0x10, 0x00}, false);
    AddNewAttribute(0, 0x0002, {0x0A, 0, 0, 0, 0}, false);
    AddNewAttribute(0, 0x0201, {0x0A, 0, 0, 0, 0}, false);
    m_NextHandle = 0x00010000;
}

void CRefModel::BumpState(REF_RECORD& Rec, uint16_t AttId)
{
    REF_ATTRIBUTE* a = FindAttribute(Rec, AttId);
    if (a == nullptr || a->Value.empty() || a->Value[0] != 0x0A) return;
    uint32_t v = Be32(a->Value.data() + 1) + 1;
    for (int i = 0; i < 4; i++)
        a->Value[size_t(1 + i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void CRefModel::CreateAttribute(REF_RECORD& Rec, uint16_t AttId, const Bytes& Value)
{
    size_t At = 0;
    while (At < Rec.Attributes.size() && Rec.Attributes[At].Id <= AttId)
        At++;
    Rec.Attributes.insert(Rec.Attributes.begin() + static_cast<long>(At), {AttId, Value});
    m_ChangeCount++;
}

void CRefModel::FreeAttribute(REF_RECORD& Rec, size_t Index)
{
    Rec.Attributes.erase(Rec.Attributes.begin() + static_cast<long>(Index));
    m_ChangeCount++;
}

void CRefModel::CreateRecord(uint32_t hRec)
{
    m_Records.emplace_back();
    CreateAttribute(
        m_Records.back(), 0x0000,
        {0x0A, uint8_t(hRec >> 24), uint8_t(hRec >> 16), uint8_t(hRec >> 8), uint8_t(hRec)});
    m_ChangeCount++;
    BumpState(m_Records.front(), 0x0201);
}

void CRefModel::FreeRecord(size_t Index)
{
    REF_RECORD Rec = std::move(m_Records[Index]);
    m_Records.erase(m_Records.begin() + static_cast<long>(Index));
    while (!Rec.Attributes.empty())
        FreeAttribute(Rec, 0);
    m_ChangeCount++;
    if (!m_Records.empty()) BumpState(m_Records.front(), 0x0201);
}

REF_RECORD* CRefModel::FindRecord(uint32_t hRec)
{
    for (REF_RECORD& r : m_Records) {
        if (r.Attributes.empty() || r.Attributes[0].Value.empty() ||
            ElementSize(r.Attributes[0].Value.data(), 5) != 5)
            return nullptr;
        if (Be32(r.Attributes[0].Value.data() + 1) == hRec) return &r;
    }
    return nullptr;
}

REF_ATTRIBUTE* CRefModel::FindAttribute(REF_RECORD& Rec, uint16_t AttId)
{
    for (REF_ATTRIBUTE& a : Rec.Attributes)
        if (a.Id == AttId) return &a;
    return nullptr;
}

uint32_t CRefModel::AddNewAttribute(uint32_t hRec, uint16_t AttId, const Bytes& Value, bool User)
{
    if (User && (hRec == 0 || AttId == 0)) return REF_STATUS_INVALID_PARAMETER;
    if (Value.empty()) return REF_STATUS_INVALID_PARAMETER;
    REF_RECORD* Rec = FindRecord(hRec);
    if (Rec == nullptr) return REF_STATUS_INVALID_PARAMETER;
    if (FindAttribute(*Rec, AttId) != nullptr) return REF_STATUS_INVALID_PARAMETER;
    const uint32_t n = static_cast<uint32_t>(Value.size());
    if (!VerifyElement(Value.data(), n, n)) return REF_STATUS_INVALID_PARAMETER;
    BumpState(*Rec, 0x0002);
    CreateAttribute(*Rec, AttId, Value);
    return REF_STATUS_SUCCESS;
}

uint32_t CRefModel::AddRecord(Bytes& Out)
{
    CreateRecord(m_NextHandle);
    Out.clear();
    PutLe(Out, m_NextHandle, 4);
    m_NextHandle++;
    return REF_STATUS_SUCCESS;
}

uint32_t CRefModel::DelRecord(uint32_t hRec, Bytes& Out)
{
    Out.clear();
    if (hRec == 0) return REF_STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < m_Records.size(); i++) {
        if (&m_Records[i] != FindRecord(hRec)) continue;
        FreeRecord(i);
        PutLe(Out, hRec, 4);
        return REF_STATUS_SUCCESS;
    }
    return REF_STATUS_INVALID_PARAMETER;
}

uint32_t CRefModel::AddAttr(uint32_t hRec, uint16_t AttId, const Bytes& Value, Bytes& Out)
{
    Out.clear();
    // The request buffer holds handle, ID, length and at least one value byte.
    if (Value.empty()) return REF_STATUS_INVALID_PARAMETER;
    const uint32_t Status = AddNewAttribute(hRec, AttId, Value, true);
    if (Status != REF_STATUS_SUCCESS) return Status;
    PutLe(Out, hRec, 4);
    PutLe(Out, AttId, 2);
    PutLe(Out, static_cast<uint32_t>(Value.size()), 4);
    Out.insert(Out.end(), Value.begin(), Value.end());
    return Status;
}

uint32_t CRefModel::DelAttr(uint32_t hRec, uint16_t AttId, Bytes& Out)
{
    Out.clear();
    if (hRec == 0 || AttId == 0) return REF_STATUS_INVALID_PARAMETER;
    REF_RECORD* Rec = FindRecord(hRec);
    if (Rec == nullptr) return REF_STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < Rec->Attributes.size(); i++) {
        if (Rec->Attributes[i].Id != AttId) continue;
        FreeAttribute(*Rec, i);
        BumpState(*Rec, 0x0002);
        PutLe(Out, hRec, 4);
        PutLe(Out, AttId, 2);
        return REF_STATUS_SUCCESS;
    }
    return REF_STATUS_INVALID_PARAMETER;
}

// ---- Channels and frames ----

void CRefModel::Connect(uint16_t Cid, uint16_t Mtu)
{
    if (m_Channels.count(Cid) != 0 || m_Channels.size() < 16) m_Channels[Cid] = Mtu;
}

void CRefModel::Config(uint16_t Cid, uint16_t Mtu)
{
    auto it = m_Channels.find(Cid);
    if (it != m_Channels.end()) it->second = Mtu;
}

void CRefModel::Disconnect(uint16_t Cid)
{
    m_Channels.erase(Cid);
}

std::vector<Bytes> CRefModel::Frame(uint16_t Cid, const Bytes& Payload)
{
    std::vector<Bytes> Sent;
    Bytes f = {static_cast<uint8_t>(Cid), static_cast<uint8_t>(Cid >> 8)};
    f.insert(f.end(), Payload.begin(), Payload.end());
    const uint32_t TotLen = static_cast<uint32_t>(f.size());
    // The read path passes on only frames with the CID and a PDU header.
    if (TotLen < 7) return Sent;
    uint32_t Wp = 2;
    while (Wp < TotLen) {
        if (Wp + 5 > TotLen) break;
        const uint32_t PduLen = uint32_t(Be16(&f[Wp + 3])) + 5;
        const uint32_t CurPduLen = Wp + PduLen > TotLen ? TotLen - Wp : PduLen;
        const uint8_t Id = f[Wp];
        const bool Response = Id == 0x01 || Id == 0x03 || Id == 0x05 || Id == 0x07;
        if (!Response) {
            // The frame's own CID names the channel, whatever Cid the caller gave.
            const uint16_t FrameCid = Le16(f.data());
            auto it = m_Channels.find(FrameCid);
            if (it != m_Channels.end()) {
                Bytes Pdu(f.begin() + Wp, f.begin() + Wp + CurPduLen);
                Sent.push_back(Answer(Pdu, it->second));
            }
        }
        Wp += CurPduLen;
    }
    return Sent;
}

Bytes CRefModel::Answer(const Bytes& Pdu, uint32_t Mtu)
{
    Bytes Rsp(Mtu, 0);
    const uint8_t Id = Pdu.empty() ? 0 : Pdu[0];
    if (Id == 0x02)
        ServiceSearch(Pdu, Rsp, Mtu);
    else if (Id == 0x04)
        ServiceAttribute(Pdu, Rsp, Mtu);
    else if (Id == 0x06)
        ServiceSearchAttribute(Pdu, Rsp, Mtu);
    else
        ErrorResponse(Pdu, Rsp, ERR_SYNTAX);
    const uint32_t Length = uint32_t(Be16(&Rsp[3])) + 5;
    if (Length > Mtu) throw std::logic_error("model answered more than the MTU");
    Rsp.resize(Length);
    return Rsp;
}

// ---- ServiceSearch ----

void CRefModel::ServiceSearch(const Bytes& Req, Bytes& Rsp, uint32_t Mtu)
{
    const uint32_t RequestLen = static_cast<uint32_t>(Req.size());
    const uint32_t P = Be16(&Req[3]);
    if (RequestLen != P + 5) return ErrorResponse(Req, Rsp, ERR_PDU_SIZE);
    const uint8_t* Pattern = &Req[5];
    const uint32_t S = ElementSize(P ? Pattern : nullptr, P);
    if (S < 5) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (!VerifyElement(Pattern, S, P)) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint32_t Start = MembersStart(Pattern[0]);
    if (Start == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (S + 3 > P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint16_t MaxCount = Be16(&Req[5 + S]);
    const uint8_t C = Req[7 + S];
    if (C != 0 && C != 12) return ErrorResponse(Req, Rsp, ERR_CONT);
    if (S + C + 3 != P) return ErrorResponse(Req, Rsp, ERR_PDU_SIZE);
    uint32_t StartHandle = 0;
    if (C == 12) {
        const REF_STATE State = ReadState(&Req[8 + S]);
        if (State.ServerState != m_ChangeCount) return ErrorResponse(Req, Rsp, ERR_CONT);
        StartHandle = State.hCurRec;
    }

    RESPONSE r{Rsp};
    uint32_t Wi = 9;
    uint16_t Total = 0, Current = 0;
    bool StateWritten = false;
    for (const REF_RECORD& Rec : m_Records) {
        uint16_t Error = 0;
        if (!MatchPattern(Rec, Pattern, S, Start, P, Error)) {
            if (Error != 0) return ErrorResponse(Req, Rsp, Error);
            continue;
        }
        uint32_t h = 0;
        (void)ExtractRecordHandle(Rec, h);
        if (Total >= MaxCount) break;
        Total++;
        if (h < StartHandle) continue;
        if (Wi + 17 < Mtu) {
            r.Put32(Wi, h);
            Wi += 4;
            Current++;
        } else if (!StateWritten) {
            REF_STATE State;
            State.ServerState = m_ChangeCount;
            State.hCurRec = h;
            r.PutState(Wi, State);
            Wi += 13;
            StateWritten = true;
        }
    }
    if (!StateWritten) r.Put(Wi++, 0x00);
    r.Put(0, 0x03);
    r.Put(1, Req[1]);
    r.Put(2, Req[2]);
    r.Put16(3, static_cast<uint16_t>(Wi - 5));
    r.Put16(5, Total);
    r.Put16(7, Current);
}

// ---- ServiceAttribute ----

void CRefModel::ServiceAttribute(const Bytes& Req, Bytes& Rsp, uint32_t Mtu)
{
    const uint32_t RequestLen = static_cast<uint32_t>(Req.size());
    const uint32_t P = Be16(&Req[3]);
    if (RequestLen != P + 5) return ErrorResponse(Req, Rsp, ERR_PDU_SIZE);
    // A handle cut short by the PDU's end reads its missing bytes as 0.
    uint32_t hRec = 0;
    for (uint32_t i = 0; i < 4; i++)
        hRec = hRec << 8 | (5 + i < RequestLen ? Req[5 + i] : 0);
    REF_RECORD* Rec = FindRecord(hRec);
    if (Rec == nullptr) return ErrorResponse(Req, Rsp, ERR_HANDLE);
    // Without room for MaxByteCount and a list every outcome is 0x0003.
    if (P < 7) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint16_t MaxByteCount = Be16(&Req[9]);
    if (MaxByteCount < 7) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint8_t* List = &Req[11];
    const uint32_t I = ElementSize(List, P - 6);
    if (I == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (!VerifyElement(List, I, P - 6)) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint32_t Start = MembersStart(List[0]);
    if ((List[0] >> 3) != 6 || Start == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (I + 7 > P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint8_t C = Req[11 + I];
    if (C != 0 && C != 12) return ErrorResponse(Req, Rsp, ERR_CONT);
    if (I + C + 7 != P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    REF_STATE State;
    if (C == 12) {
        State = ReadState(&Req[12 + I]);
        if (State.ServerState != m_ChangeCount) return ErrorResponse(Req, Rsp, ERR_CONT);
    }

    RESPONSE r{Rsp};
    uint32_t Wi = C == 12 ? 7 : 10;
    uint32_t TotFound = 0, Scratch = 0;
    uint16_t Error = 0;
    bool Generated = false, Used = false, Flag1 = false, Flag2 = true, Flag3 = true;
    SCAN s{r,
           Mtu,
           MaxByteCount,
           C == 12 ? &State : nullptr,
           m_ChangeCount,
           Wi,
           TotFound,
           Scratch,
           Error,
           Generated,
           Flag1,
           false,
           Flag2,
           Flag3,
           Used};
    uint32_t Off = Start;
    while (Off < I) {
        if (!ScanRecordForAttributes(s, *Rec, List + Off)) {
            if (Error != 0) return ErrorResponse(Req, Rsp, Error);
            break;
        }
        const uint32_t m = ElementSize(List + Off, I - Off);
        if (m == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
        Off += m;
    }
    if (Wi > Mtu) return ErrorResponse(Req, Rsp, ERR_INTERNAL);
    uint32_t N;
    if (Generated) {
        N = Wi - 20;
    } else {
        r.Put(Wi++, 0x00);
        N = Wi - 8;
    }
    if (C != 12) {
        r.Put(7, 0x36);
        r.Put16(8, static_cast<uint16_t>(TotFound));
    }
    if (r.Overflow) return ErrorResponse(Req, Rsp, ERR_INTERNAL);
    r.Put(0, 0x05);
    r.Put(1, Req[1]);
    r.Put(2, Req[2]);
    r.Put16(3, static_cast<uint16_t>(Wi - 5));
    r.Put16(5, static_cast<uint16_t>(N));
}

// ---- ServiceSearchAttribute ----

void CRefModel::ServiceSearchAttribute(const Bytes& Req, Bytes& Rsp, uint32_t Mtu)
{
    const uint32_t RequestLen = static_cast<uint32_t>(Req.size());
    const uint32_t P = Be16(&Req[3]);
    if (RequestLen != P + 5) return ErrorResponse(Req, Rsp, ERR_PDU_SIZE);
    const uint8_t* Pattern = &Req[5];
    const uint32_t U = ElementSize(P ? Pattern : nullptr, P);
    if (U == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (!VerifyElement(Pattern, U, P)) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if ((Pattern[0] >> 3) != 6) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint32_t UStart = MembersStart(Pattern[0]);
    if (UStart == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (U + 5 > P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint16_t MaxByteCount = Be16(&Req[5 + U]);
    if (MaxByteCount < 9) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint8_t* List = &Req[7 + U];
    const uint32_t I = ElementSize(List, P - U - 2);
    if (I == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (!VerifyElement(List, I, P - U - 2)) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if ((List[0] >> 3) != 6) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint32_t IStart = MembersStart(List[0]);
    if (IStart == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    if (U + 2 + I + 1 > P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    const uint8_t C = Req[7 + U + I];
    if (C != 0 && C != 12) return ErrorResponse(Req, Rsp, ERR_CONT);
    if (U + I + 2 + C + 1 != P) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
    REF_STATE State;
    if (C == 12) {
        State = ReadState(&Req[8 + U + I]);
        if (State.ServerState != m_ChangeCount) return ErrorResponse(Req, Rsp, ERR_CONT);
    }

    RESPONSE r{Rsp};
    uint32_t Wi = C == 12 ? 7 : 10;
    uint32_t TotFound = 0;
    bool Generated = false, Used = false, MaxReached = false;
    for (const REF_RECORD& Rec : m_Records) {
        uint16_t Error = 0;
        if (!MatchPattern(Rec, Pattern, U, UStart, P, Error)) {
            if (Error != 0) return ErrorResponse(Req, Rsp, Error);
            continue;
        }
        uint32_t RecFound = 0;
        const uint32_t HeaderAt = Wi;
        bool Reserved = false, First = true, Pending = true;
        SCAN s{r,
               Mtu,
               MaxByteCount,
               C == 12 ? &State : nullptr,
               m_ChangeCount,
               Wi,
               TotFound,
               RecFound,
               Error,
               Generated,
               Reserved,
               true,
               First,
               Pending,
               Used};
        uint32_t Off = IStart;
        while (Off < I) {
            if (!ScanRecordForAttributes(s, Rec, List + Off)) {
                if (Error != 0) return ErrorResponse(Req, Rsp, Error);
                MaxReached = true;
                break;
            }
            const uint32_t m = ElementSize(List + Off, I - Off);
            if (m == 0) return ErrorResponse(Req, Rsp, ERR_SYNTAX);
            Off += m;
        }
        if (Reserved) {
            r.Put(HeaderAt, 0x36);
            r.Put16(HeaderAt + 1, static_cast<uint16_t>(RecFound));
        }
        if (MaxReached) break;
    }
    if (C != 12) {
        r.Put(7, 0x36);
        r.Put16(8, static_cast<uint16_t>(TotFound));
    }
    uint32_t N;
    if (Generated) {
        N = Wi - 20;
    } else {
        r.Put(Wi++, 0x00);
        N = Wi - 8;
    }
    if (r.Overflow) return ErrorResponse(Req, Rsp, ERR_INTERNAL);
    r.Put(0, 0x07);
    r.Put(1, Req[1]);
    r.Put(2, Req[2]);
    r.Put16(3, static_cast<uint16_t>(Wi - 5));
    r.Put16(5, static_cast<uint16_t>(N));
}

} // namespace refmodel
