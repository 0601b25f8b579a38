// The differential harness: the model target, the case generator and the
// lockstep runner that compares the model with a subject line by line.
#include "differential.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <random>
#include <sstream>

using refmodel::Bytes;

// ---- The model as a target ----

void CModelTarget::Frame(uint16_t Cid, std::span<const uint8_t> Payload)
{
    m_LastTx = m_Model.Frame(Cid, Bytes(Payload.begin(), Payload.end()));
    for (const Bytes& Pdu : m_LastTx)
        m_Sink.OnTx(Cid, Pdu);
}

SIM_REQUEST_RESULT CModelTarget::AddRecord()
{
    SIM_REQUEST_RESULT r;
    r.Status = m_Model.AddRecord(r.Output);
    return r;
}

SIM_REQUEST_RESULT CModelTarget::DelRecord(uint32_t Handle)
{
    SIM_REQUEST_RESULT r;
    r.Status = m_Model.DelRecord(Handle, r.Output);
    return r;
}

SIM_REQUEST_RESULT CModelTarget::AddAttr(uint32_t Handle, uint16_t AttId,
                                         std::span<const uint8_t> Value)
{
    SIM_REQUEST_RESULT r;
    r.Status = m_Model.AddAttr(Handle, AttId, Bytes(Value.begin(), Value.end()), r.Output);
    return r;
}

SIM_REQUEST_RESULT CModelTarget::DelAttr(uint32_t Handle, uint16_t AttId)
{
    SIM_REQUEST_RESULT r;
    r.Status = m_Model.DelAttr(Handle, AttId, r.Output);
    return r;
}

// ---- Script text ----

std::string FormatSimCommand(const SIM_COMMAND& Cmd)
{
    char t[64];
    std::string s;
    auto Hex = [&s](const std::vector<uint8_t>& b) {
        char h[4];
        for (uint8_t c : b) {
            std::snprintf(h, sizeof(h), " %02X", c);
            s += h;
        }
    };
    switch (Cmd.Verb) {
    case SIM_VERB::Connect:
        std::snprintf(t, sizeof(t), "connect 0x%04X %u", Cmd.Cid, unsigned(Cmd.Mtu));
        return t;
    case SIM_VERB::Config:
        std::snprintf(t, sizeof(t), "config 0x%04X %u", Cmd.Cid, unsigned(Cmd.Mtu));
        return t;
    case SIM_VERB::Disconnect:
        std::snprintf(t, sizeof(t), "disconnect 0x%04X", Cmd.Cid);
        return t;
    case SIM_VERB::Frame:
        std::snprintf(t, sizeof(t), "frame 0x%04X", Cmd.Cid);
        s = t;
        Hex(Cmd.Bytes);
        return s;
    case SIM_VERB::AddRecord:
        return "add-record";
    case SIM_VERB::DelRecord:
        std::snprintf(t, sizeof(t), "del-record 0x%08X", Cmd.Handle);
        return t;
    case SIM_VERB::AddAttr:
        std::snprintf(t, sizeof(t), "add-attr 0x%08X 0x%04X", Cmd.Handle, Cmd.AttId);
        s = t;
        Hex(Cmd.Bytes);
        return s;
    case SIM_VERB::DelAttr:
        std::snprintf(t, sizeof(t), "del-attr 0x%08X 0x%04X", Cmd.Handle, Cmd.AttId);
        return t;
    default:
        return "# (not generated)";
    }
}

namespace {

// ---- Random values ----

class CRng {
public:
    explicit CRng(uint64_t Seed) : m_Gen(Seed) {}
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : uint32_t(m_Gen() % n); }
    bool Chance(uint32_t Percent) { return Below(100) < Percent; }
    uint32_t Range(uint32_t Lo, uint32_t Hi) { return Lo + Below(Hi - Lo + 1); }
    uint8_t Byte() { return uint8_t(m_Gen()); }
    template <class T> const T& Pick(const std::vector<T>& v)
    {
        return v[Below(uint32_t(v.size()))];
    }

private:
    std::mt19937_64 m_Gen;
};

void Be16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void Be32(Bytes& b, uint32_t v)
{
    Be16(b, v >> 16);
    Be16(b, v & 0xFFFF);
}
void Append(Bytes& b, const Bytes& x)
{
    b.insert(b.end(), x.begin(), x.end());
}

const std::vector<uint32_t> Uuid16Pool = {0x1101, 0x1105, 0x110B, 0x0100, 0x0003, 0x1002,
                                          0x111F, 0x1000, 0x0001, 0x110A, 0xABCD};
const std::vector<uint32_t> Uuid32Pool = {0x12345678, 0xABCD0001, 0x00011101};
// 128-bit UUIDs: two off the base by one word, and two unrelated ones.
const std::vector<Bytes> Uuid128Pool = {{0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                         0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFC},
                                        {0x00, 0x00, 0x11, 0x05, 0x00, 0x00, 0x10, 0x01, 0x80, 0x00,
                                         0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB},
                                        {0x9E, 0x47, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                         0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE},
                                        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                         0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const Bytes BaseTail = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// A UUID from the pools in any of the forms that denote it.
Bytes RandomUuid(CRng& r)
{
    Bytes u;
    const uint32_t k = r.Below(10);
    if (k < 6) {
        const uint32_t v = r.Pick(Uuid16Pool);
        switch (r.Below(4)) {
        case 0:
            u = {0x1A};
            Be32(u, v);
            break;
        case 1:
            u = {0x1C};
            Be32(u, v);
            Append(u, BaseTail);
            break;
        default:
            u = {0x19};
            Be16(u, v);
        }
    } else if (k < 8) {
        const uint32_t v = r.Pick(Uuid32Pool);
        if (r.Chance(70)) {
            u = {0x1A};
            Be32(u, v);
        } else {
            u = {0x1C};
            Be32(u, v);
            Append(u, BaseTail);
        }
    } else {
        u = {0x1C};
        Append(u, r.Pick(Uuid128Pool));
    }
    return u;
}

// A header with a length field for Type (4, 6, 7, 8, 9), in one of its forms.
Bytes LengthHeader(CRng& r, uint8_t Type, uint32_t n)
{
    Bytes h;
    const uint32_t k = r.Below(10);
    if (k < 7 && n <= 0xFF) {
        h = {uint8_t(Type << 3 | 5), uint8_t(n)};
    } else if (k < 9) {
        h = {uint8_t(Type << 3 | 6)};
        Be16(h, n);
    } else {
        h = {uint8_t(Type << 3 | 7)};
        Be32(h, n);
    }
    return h;
}

Bytes Wrap(CRng& r, uint8_t Type, const Bytes& Members)
{
    Bytes e = LengthHeader(r, Type, uint32_t(Members.size()));
    Append(e, Members);
    return e;
}

// Any element, nested up to Depth, roughly within Budget bytes.
Bytes RandomElement(CRng& r, int Depth, uint32_t Budget)
{
    const uint32_t k = r.Below(Depth > 0 ? 14 : 10);
    Bytes e;
    switch (k) {
    case 0:
        return {0x00};
    case 1:
        return {0x28, uint8_t(r.Below(2))};
    case 2:
    case 3: {
        const uint8_t Index = uint8_t(r.Below(5));
        e = {uint8_t((r.Chance(70) ? 1 : 2) << 3 | Index)};
        const uint32_t n = Index == 4 ? 16 : 1u << Index;
        for (uint32_t i = 0; i < n; i++)
            e.push_back(r.Byte());
        return e;
    }
    case 4:
    case 5:
        return RandomUuid(r);
    case 6:
    case 7:
    case 8:
    case 9: {
        const uint8_t Type = k == 9 ? uint8_t(r.Chance(50) ? 8 : 9) : 4;
        uint32_t n = r.Chance(80) ? r.Below(24) : r.Below(Budget > 8 ? Budget - 8 : 1);
        Bytes Text;
        for (uint32_t i = 0; i < n; i++)
            Text.push_back(r.Chance(10) ? r.Byte() : uint8_t('a' + r.Below(26)));
        // Now and then the bytes of a UUID element inside a string.
        if (r.Chance(10)) Text.insert(Text.begin(), {0x19, 0x11, 0x01});
        return Wrap(r, Type, Text);
    }
    default: {
        Bytes Members;
        const uint32_t Count = r.Below(5);
        for (uint32_t i = 0; i < Count && Members.size() + 8 < Budget; i++)
            Append(Members, RandomElement(r, Depth - 1, (Budget - uint32_t(Members.size())) / 2));
        return Wrap(r, r.Chance(75) ? 6 : 7, Members);
    }
    }
}

Bytes Seq(CRng& r, const Bytes& Members)
{
    return Wrap(r, 6, Members);
}

// Attribute values of the kinds real records hold.
std::vector<std::pair<uint16_t, Bytes>> RealisticAttributes(CRng& r)
{
    std::vector<std::pair<uint16_t, Bytes>> a;
    Bytes Classes = RandomUuid(r);
    if (r.Chance(40)) Append(Classes, RandomUuid(r));
    a.push_back({0x0001, Seq(r, Classes)});
    if (r.Chance(40)) a.push_back({0x0002, {0x0A, 0x00, 0x00, 0x00, uint8_t(r.Below(3))}});
    if (r.Chance(60)) {
        Bytes L2cap = {0x19, 0x01, 0x00};
        if (r.Chance(50)) Append(L2cap, {0x09, 0x00, uint8_t(r.Below(32))});
        Bytes Rfcomm = {0x19, 0x00, 0x03, 0x08, uint8_t(r.Below(31))};
        Bytes List = Seq(r, L2cap);
        if (r.Chance(70)) Append(List, Seq(r, Rfcomm));
        a.push_back({0x0004, Seq(r, List)});
    }
    if (r.Chance(40)) a.push_back({0x0005, Seq(r, {0x19, 0x10, 0x02})});
    if (r.Chance(40)) {
        Bytes Profile = RandomUuid(r);
        Append(Profile, {0x09, 0x01, uint8_t(r.Below(3))});
        a.push_back({0x0009, Seq(r, Seq(r, Profile))});
    }
    if (r.Chance(50)) {
        const uint32_t n = r.Chance(70) ? r.Range(1, 30) : r.Range(100, 500);
        Bytes Name;
        for (uint32_t i = 0; i < n; i++)
            Name.push_back(uint8_t('A' + r.Below(26)));
        a.push_back({0x0100, Wrap(r, 4, Name)});
    }
    if (r.Chance(30)) a.push_back({uint16_t(0x0200 + r.Below(16)), {0x28, 0x01}});
    return a;
}

uint32_t HandleOf(const refmodel::REF_RECORD& Rec)
{
    const Bytes& v = Rec.Attributes[0].Value;
    return uint32_t(v[1]) << 24 | uint32_t(v[2]) << 16 | uint32_t(v[3]) << 8 | v[4];
}

// The ContinuationState field at the end of a response (length byte
// included), or empty when it has none or is an error.
Bytes ContinuationOf(const Bytes& Rsp)
{
    if (Rsp.size() < 8 || Rsp[0] == 0x01) return {};
    size_t At =
        Rsp[0] == 0x03 ? 9 + 4 * size_t(Rsp[7] << 8 | Rsp[8]) : 7 + size_t(Rsp[5] << 8 | Rsp[6]);
    if (At + 13 != Rsp.size() || Rsp[At] != 0x0C) return {};
    return Bytes(Rsp.begin() + long(At), Rsp.end());
}

// ---- The case generator ----

constexpr uint16_t CID_A = 0x0040;
constexpr uint16_t CID_B = 0x0041;

struct REQUEST_SHAPE {
    uint8_t Kind = 0x02; // 0x02, 0x04, 0x06
    uint16_t Tid = 0;
    Bytes Pattern;
    Bytes IdList;
    uint32_t Handle = 0;
    uint16_t Max = 0; // MaximumServiceRecordCount or MaxByteCount
};

struct CHAIN {
    REQUEST_SHAPE Shape;
    uint16_t Cid = CID_A;
    Bytes Cont = {0x00};
    Bytes LastRequest;
    unsigned Steps = 0;
    bool Done = false;
};

class CCaseGenerator {
public:
    CCaseGenerator(uint64_t Seed, bool Large, const CModelTarget& Model)
        : m_Rng(Seed * 0x9E3779B97F4A7C15ull + 1), m_Model(Model), m_Large(Large)
    {
    }

    // The next command, or false when the case is over. Reads the model's
    // answer to the previous command first.
    bool Next(SIM_COMMAND& Cmd, bool& IsContinuation);

private:
    void Plan();
    void PlanDatabase();
    void PlanChains();
    void DatabaseChange();
    void PushFrame(uint16_t Cid, const Bytes& Payload, std::vector<CHAIN*> Owners, bool Cont);

    const refmodel::CRefModel& Db() const { return m_Model.Model(); }
    std::vector<uint32_t> Handles() const;
    uint32_t SomeHandle();
    uint16_t SomeAttId(uint32_t hRec);
    Bytes Pattern(bool Strict);
    Bytes IdList(uint32_t hRec);
    Bytes Build(const REQUEST_SHAPE& s, const Bytes& Cont) const;
    REQUEST_SHAPE Shape();
    Bytes Forge(const Bytes& Cont);
    void Mutate(Bytes& Pdu);

    CRng m_Rng;
    const CModelTarget& m_Model;
    bool m_Large;
    int m_Phase = 0;
    uint32_t m_Budget = 0;
    uint16_t m_Tid = 0;
    uint16_t m_MtuA = 48;
    std::deque<SIM_COMMAND> m_Queue;
    std::deque<bool> m_QueueCont;
    std::vector<uint32_t> m_Gone; // handles of deleted records
    std::vector<CHAIN> m_Chains;
    // Chains waiting for the answer to the frame last handed out.
    std::vector<CHAIN*> m_Waiting;
    std::deque<std::vector<CHAIN*>> m_QueueOwners;
};

std::vector<uint32_t> CCaseGenerator::Handles() const
{
    std::vector<uint32_t> h;
    for (const refmodel::REF_RECORD& Rec : Db().Records())
        h.push_back(HandleOf(Rec));
    return h;
}

uint32_t CCaseGenerator::SomeHandle()
{
    const std::vector<uint32_t> h = Handles();
    const uint32_t k = m_Rng.Below(100);
    if (k < 85 && h.size() > 1) return h[1 + m_Rng.Below(uint32_t(h.size() - 1))];
    if (k < 90) return 0;
    if (k < 95 && !m_Gone.empty()) return m_Rng.Pick(m_Gone);
    return m_Rng.Chance(50) ? 0x00010000 + m_Rng.Below(64) : uint32_t(m_Rng.Below(0xFFFFFFFFu));
}

uint16_t CCaseGenerator::SomeAttId(uint32_t hRec)
{
    for (const refmodel::REF_RECORD& Rec : Db().Records()) {
        if (HandleOf(Rec) != hRec || m_Rng.Chance(10)) continue;
        return m_Rng.Pick(Rec.Attributes).Id;
    }
    return uint16_t(m_Rng.Chance(50) ? m_Rng.Below(0x300) : m_Rng.Below(0x10000));
}

void CCaseGenerator::DatabaseChange()
{
    SIM_COMMAND c;
    const uint32_t k = m_Rng.Below(100);
    if (k < 15) {
        c.Verb = SIM_VERB::AddRecord;
    } else if (k < 30) {
        c.Verb = SIM_VERB::DelRecord;
        c.Handle = SomeHandle();
        if (c.Handle > 0) m_Gone.push_back(c.Handle);
    } else if (k < 70) {
        c.Verb = SIM_VERB::AddAttr;
        c.Handle = SomeHandle();
        c.AttId = m_Rng.Chance(30) ? SomeAttId(c.Handle) : uint16_t(m_Rng.Below(0x400));
        c.Bytes = RandomElement(m_Rng, 4, m_Rng.Chance(80) ? 60 : 520);
        if (m_Rng.Chance(5)) c.Bytes.push_back(0x00); // not one element
        if (m_Rng.Chance(3)) c.Bytes[0] = 0xFF;
    } else {
        c.Verb = SIM_VERB::DelAttr;
        c.Handle = SomeHandle();
        c.AttId = SomeAttId(c.Handle);
    }
    m_Queue.push_back(c);
    m_QueueCont.push_back(false);
    m_QueueOwners.push_back({});
}

void CCaseGenerator::PlanDatabase()
{
    SIM_COMMAND c;
    c.Verb = SIM_VERB::Connect;
    c.Cid = CID_A;
    const uint32_t k = m_Rng.Below(10);
    m_MtuA = uint16_t(k < 4   ? 48
                      : k < 6 ? 512
                      : k < 8 ? m_Rng.Range(48, 80)
                              : m_Rng.Range(48, 512));
    c.Mtu = m_MtuA;
    m_Queue.push_back(c);
    c.Cid = CID_B;
    c.Mtu = uint16_t(m_Rng.Chance(50) ? 48 : m_Rng.Range(48, 512));
    m_Queue.push_back(c);
    m_QueueCont.insert(m_QueueCont.end(), 2, false);
    m_QueueOwners.insert(m_QueueOwners.end(), 2, {});

    // Now and then a crowd of records in one browse group, for searches
    // that list more handles than one response holds.
    const bool Crowd = m_Rng.Chance(12);
    const uint32_t Records = Crowd              ? m_Rng.Range(7, 30)
                             : m_Large          ? m_Rng.Below(40)
                             : m_Rng.Chance(80) ? m_Rng.Below(8)
                                                : m_Rng.Below(24);
    uint32_t h = 0x00010000;
    for (uint32_t i = 0; i < Records; i++, h++) {
        c = {};
        c.Verb = SIM_VERB::AddRecord;
        m_Queue.push_back(c);
        auto Attrs = RealisticAttributes(m_Rng);
        if (Crowd) Attrs.push_back({0x0005, {0x35, 0x03, 0x19, 0x10, 0x02}});
        // Runs of one-byte values: each takes 4 bytes of a response while
        // the scan's Room is forced to 1.
        if (m_Rng.Chance(6)) {
            const uint16_t From = uint16_t(m_Rng.Range(0x0300, 0x0400));
            const uint32_t n = m_Rng.Range(4, 16);
            for (uint32_t j = 0; j < n; j++)
                Attrs.push_back({uint16_t(From + j), {0x00}});
        }
        const uint32_t Extra = m_Rng.Below(m_Large ? 8 : 4);
        for (uint32_t j = 0; j < Extra; j++)
            Attrs.push_back({uint16_t(m_Rng.Chance(70) ? m_Rng.Below(0x400) : m_Rng.Below(0x10000)),
                             RandomElement(m_Rng, 5, m_Rng.Chance(85) ? 80 : 512)});
        // Applications add in any order; the database sorts.
        for (size_t j = Attrs.size(); j > 1; j--)
            std::swap(Attrs[j - 1], Attrs[m_Rng.Below(uint32_t(j))]);
        for (auto& [Id, Value] : Attrs) {
            c = {};
            c.Verb = SIM_VERB::AddAttr;
            c.Handle = h;
            c.AttId = Id;
            c.Bytes = Value;
            m_Queue.push_back(c);
        }
        if (m_Rng.Chance(10)) {
            c = {};
            c.Verb = SIM_VERB::DelRecord;
            c.Handle = h;
            m_Gone.push_back(h);
            m_Queue.push_back(c);
        }
    }
    while (m_QueueCont.size() < m_Queue.size()) {
        m_QueueCont.push_back(false);
        m_QueueOwners.push_back({});
    }
    const uint32_t Noise = m_Rng.Below(3);
    for (uint32_t i = 0; i < Noise; i++)
        DatabaseChange();
}

Bytes CCaseGenerator::Pattern(bool Strict)
{
    Bytes Members;
    const uint32_t k = m_Rng.Below(100);
    const uint32_t Count = k < 5 ? 0 : k < 60 ? 1 : k < 85 ? 2 : m_Rng.Range(3, 5);
    for (uint32_t i = 0; i < Count; i++) {
        if (m_Rng.Chance(4))
            Append(Members, {0x09, 0x11, 0x01}); // not a UUID
        else
            Append(Members, RandomUuid(m_Rng));
    }
    if (!Strict && m_Rng.Chance(10)) return Wrap(m_Rng, 7, Members);
    if (!Strict && m_Rng.Chance(3)) {
        // A string walked as a list: its bytes may start UUIDs that run on
        // into the fields after it, or past the PDU.
        static const uint8_t Heads[] = {0x19, 0x1A, 0x1C, 0x35, 0x09};
        Bytes Raw;
        const uint32_t n = m_Rng.Range(3, 20);
        for (uint32_t i = 0; i < n; i++)
            Raw.push_back(m_Rng.Chance(40) ? Heads[m_Rng.Below(5)] : m_Rng.Byte());
        return Wrap(m_Rng, m_Rng.Chance(70) ? 4 : 8, Raw);
    }
    if (m_Rng.Chance(2)) return Wrap(m_Rng, uint8_t(m_Rng.Below(10)), Members);
    return Seq(m_Rng, Members);
}

Bytes CCaseGenerator::IdList(uint32_t hRec)
{
    Bytes Members;
    const uint32_t Count = m_Rng.Chance(5) ? 0 : m_Rng.Range(1, m_Rng.Chance(80) ? 3 : 7);
    for (uint32_t i = 0; i < Count; i++) {
        const uint32_t k = m_Rng.Below(100);
        if (k < 35) {
            Append(Members, {0x09});
            Be16(Members, SomeAttId(hRec));
        } else if (k < 55) {
            Append(Members, {0x0A, 0x00, 0x00, 0xFF, 0xFF});
        } else if (k < 93) {
            uint16_t Lo = SomeAttId(hRec), Hi = SomeAttId(hRec);
            if (Hi < Lo && m_Rng.Chance(95)) std::swap(Lo, Hi);
            Append(Members, {0x0A});
            Be16(Members, Lo);
            Be16(Members, Hi);
        } else {
            // Members that are no attribute ID.
            static const std::vector<Bytes> Bad = {{0x08, 0x01},
                                                   {0x0B, 0, 0, 0, 0, 0, 0, 0, 1},
                                                   {0x12, 0x00, 0x00, 0xFF, 0xFF},
                                                   {0x11, 0x00, 0x01},
                                                   {0x19, 0x11, 0x01},
                                                   {0x25, 0x01, 0x41}};
            Append(Members, m_Rng.Pick(Bad));
        }
    }
    if (m_Rng.Chance(3)) return Wrap(m_Rng, 7, Members);
    return Seq(m_Rng, Members);
}

REQUEST_SHAPE CCaseGenerator::Shape()
{
    REQUEST_SHAPE s;
    const uint32_t k = m_Rng.Below(100);
    s.Kind = k < 25 ? 0x02 : k < 60 ? 0x04 : 0x06;
    s.Tid = m_Tid++;
    const uint32_t m = m_Rng.Below(100);
    if (s.Kind == 0x02) {
        s.Pattern = Pattern(false);
        s.Max = uint16_t(m < 50 ? 0xFFFF : m < 60 ? m_Rng.Below(3) : m_Rng.Below(30));
    } else {
        if (s.Kind == 0x04)
            s.Handle = SomeHandle();
        else
            s.Pattern = Pattern(true);
        s.IdList = IdList(s.Kind == 0x04 ? s.Handle : SomeHandle());
        s.Max = uint16_t(m < 45   ? 0xFFFF
                         : m < 60 ? m_Rng.Range(5, 12)
                         : m < 85 ? m_Rng.Range(12, 200)
                                  : m_Rng.Below(0x10000));
    }
    return s;
}

Bytes CCaseGenerator::Build(const REQUEST_SHAPE& s, const Bytes& Cont) const
{
    Bytes Params;
    if (s.Kind == 0x02) {
        Params = s.Pattern;
        Be16(Params, s.Max);
    } else if (s.Kind == 0x04) {
        Be32(Params, s.Handle);
        Be16(Params, s.Max);
        Append(Params, s.IdList);
    } else {
        Params = s.Pattern;
        Be16(Params, s.Max);
        Append(Params, s.IdList);
    }
    Append(Params, Cont);
    Bytes Pdu = {s.Kind};
    Be16(Pdu, s.Tid);
    Be16(Pdu, uint32_t(Params.size()));
    Append(Pdu, Params);
    return Pdu;
}

// A state the server never made: stale, or pointing anywhere.
Bytes CCaseGenerator::Forge(const Bytes& Cont)
{
    uint8_t s[12] = {};
    if (Cont.size() == 13) std::copy(Cont.begin() + 1, Cont.end(), s);
    auto Put = [&s](int At, uint32_t v, int n) {
        for (int i = 0; i < n; i++)
            s[At + i] = uint8_t(v >> (8 * i));
    };
    Put(0, Db().ChangeCount(), 4);
    switch (m_Rng.Below(6)) {
    case 0:
        Put(0, Db().ChangeCount() + (m_Rng.Chance(50) ? 1 : uint32_t(-1)), 4);
        break;
    case 1:
        Put(4, m_Rng.Chance(50) ? SomeHandle() : m_Rng.Byte(), 4);
        break;
    case 2:
        Put(8, SomeAttId(SomeHandle()), 2);
        break;
    case 3:
        Put(10, m_Rng.Chance(70) ? m_Rng.Below(40) : m_Rng.Below(0x10000), 2);
        break;
    default:
        Put(4, SomeHandle(), 4);
        Put(8, SomeAttId(SomeHandle()), 2);
        Put(10, m_Rng.Below(300), 2);
    }
    Bytes f = {0x0C};
    f.insert(f.end(), s, s + 12);
    return f;
}

void CCaseGenerator::Mutate(Bytes& Pdu)
{
    switch (m_Rng.Below(9)) {
    case 0: { // ParameterLength one off
        const uint32_t P = uint32_t(Pdu[3] << 8 | Pdu[4]) + (m_Rng.Chance(50) ? 1 : 0xFFFF);
        Pdu[3] = uint8_t(P >> 8);
        Pdu[4] = uint8_t(P);
        break;
    }
    case 1: // cut, PDU length field kept consistent or not
        if (Pdu.size() > 5) Pdu.resize(5 + m_Rng.Below(uint32_t(Pdu.size() - 5)));
        if (m_Rng.Chance(60)) {
            Pdu[3] = uint8_t((Pdu.size() - 5) >> 8);
            Pdu[4] = uint8_t(Pdu.size() - 5);
        }
        break;
    case 2: // one byte more, ParameterLength following
        Pdu.push_back(m_Rng.Byte());
        Pdu[3] = uint8_t((Pdu.size() - 5) >> 8);
        Pdu[4] = uint8_t(Pdu.size() - 5);
        break;
    case 3: { // the ContinuationState length byte
        static const uint8_t Lengths[] = {1, 4, 11, 13, 0x0D, 0xFF};
        for (size_t i = Pdu.size(); i-- > 5;) {
            if (Pdu[i] == 0x00 && i + 1 == Pdu.size()) {
                Pdu[i] = Lengths[m_Rng.Below(6)];
                break;
            }
        }
        break;
    }
    case 4: // any byte of the parameters
        if (Pdu.size() > 5) Pdu[5 + m_Rng.Below(uint32_t(Pdu.size() - 5))] = m_Rng.Byte();
        break;
    case 5: { // PDU ID
        static const uint8_t Ids[] = {0x00, 0x01, 0x03, 0x05, 0x07, 0x08, 0x10, 0xFF};
        Pdu[0] = Ids[m_Rng.Below(8)];
        break;
    }
    case 6: // a list header claiming more or less than it holds
        for (size_t i = 5; i + 1 < Pdu.size(); i++) {
            if ((Pdu[i] == 0x35 || Pdu[i] == 0x3D) && m_Rng.Chance(50)) {
                Pdu[i + 1] = uint8_t(Pdu[i + 1] + (m_Rng.Chance(50) ? 1 : 0xFF));
                break;
            }
        }
        break;
    case 7: { // short parameters (P below the fixed fields)
        const uint32_t P = m_Rng.Below(8);
        Pdu.resize(5 + P);
        Pdu[3] = 0;
        Pdu[4] = uint8_t(P);
        break;
    }
    default: // two bytes swapped
        if (Pdu.size() > 6) {
            const uint32_t i = 5 + m_Rng.Below(uint32_t(Pdu.size() - 6));
            std::swap(Pdu[i], Pdu[i + 1]);
        }
    }
}

void CCaseGenerator::PushFrame(uint16_t Cid, const Bytes& Payload, std::vector<CHAIN*> Owners,
                               bool Cont)
{
    SIM_COMMAND c;
    c.Verb = SIM_VERB::Frame;
    c.Cid = Cid;
    c.Bytes = Payload;
    m_Queue.push_back(c);
    m_QueueCont.push_back(Cont);
    m_QueueOwners.push_back(std::move(Owners));
}

void CCaseGenerator::PlanChains()
{
    // One or two series at a time; a pair may share one frame.
    if (m_Chains.empty() || (m_Chains[0].Done && (m_Chains.size() < 2 || m_Chains[1].Done))) {
        m_Chains.clear();
        const uint32_t n = m_Rng.Chance(30) ? 2 : 1;
        for (uint32_t i = 0; i < n; i++) {
            CHAIN ch;
            ch.Shape = Shape();
            ch.Cid = i == 1 && m_Rng.Chance(50) ? CID_B : CID_A;
            m_Chains.push_back(ch);
        }
    }
    std::vector<CHAIN*> Live;
    for (CHAIN& ch : m_Chains)
        if (!ch.Done) Live.push_back(&ch);

    if (m_Rng.Chance(6)) DatabaseChange();
    if (m_Rng.Chance(3)) {
        SIM_COMMAND c;
        c.Verb = SIM_VERB::Config;
        c.Cid = m_Rng.Chance(70) ? CID_A : CID_B;
        c.Mtu = uint16_t(m_Rng.Chance(50) ? 48 : m_Rng.Range(48, 512));
        m_Queue.push_back(c);
        m_QueueCont.push_back(false);
        m_QueueOwners.push_back({});
    }

    auto NextPdu = [this](CHAIN& ch, bool& Cont) {
        Bytes State = ch.Cont;
        Cont = State.size() == 13;
        if (ch.Steps > 0 && m_Rng.Chance(6)) State = Forge(State);
        Bytes Pdu = Build(ch.Shape, State);
        if (m_Rng.Chance(ch.Steps == 0 ? 10 : 4)) Mutate(Pdu);
        // The same bytes again now and then, as a memo would see them.
        if (ch.Steps > 0 && !ch.LastRequest.empty() && m_Rng.Chance(5)) Pdu = ch.LastRequest;
        ch.LastRequest = Pdu;
        ch.Steps++;
        return Pdu;
    };

    if (Live.size() == 2 && Live[0]->Cid == Live[1]->Cid && m_Rng.Chance(25)) {
        bool c0, c1;
        Bytes Payload = NextPdu(*Live[0], c0);
        Append(Payload, NextPdu(*Live[1], c1));
        PushFrame(Live[0]->Cid, Payload, Live, c0 || c1);
        return;
    }
    CHAIN& ch = *Live[Live.size() == 2 ? m_Rng.Below(2) : 0];
    bool Cont = false;
    const Bytes Pdu = NextPdu(ch, Cont);
    PushFrame(ch.Cid, Pdu, {&ch}, Cont);
    // The very same frame twice in a row, or the same bytes on the other
    // channel, whose MTU may differ.
    if (m_Rng.Chance(3)) PushFrame(ch.Cid, Pdu, {&ch}, Cont);
    if (m_Rng.Chance(2)) PushFrame(ch.Cid == CID_A ? CID_B : CID_A, Pdu, {}, false);
}

bool CCaseGenerator::Next(SIM_COMMAND& Cmd, bool& IsContinuation)
{
    // The answers to the last frame move its chains on.
    if (!m_Waiting.empty()) {
        const std::vector<Bytes>& Tx = m_Model.LastTx();
        for (size_t i = 0; i < m_Waiting.size(); i++) {
            CHAIN& ch = *m_Waiting[i];
            const Bytes Cont = i < Tx.size() ? ContinuationOf(Tx[i]) : Bytes();
            const unsigned Limit = m_Large ? 400 : 120;
            if (Cont.empty() || ch.Steps >= Limit) {
                ch.Done = true;
            } else {
                ch.Cont = Cont;
            }
        }
        m_Waiting.clear();
    }
    if (m_Queue.empty()) {
        if (m_Phase == 0) {
            PlanDatabase();
            m_Phase = 1;
            m_Budget = m_Large ? m_Rng.Range(20, 60) : m_Rng.Range(2, 10);
        } else if (m_Budget > 0) {
            bool AllDone = true;
            for (const CHAIN& ch : m_Chains)
                AllDone = AllDone && ch.Done;
            if (AllDone) m_Budget--;
            if (m_Budget == 0) return false;
            PlanChains();
        } else {
            return false;
        }
    }
    Cmd = m_Queue.front();
    IsContinuation = m_QueueCont.front();
    m_Waiting = m_QueueOwners.front();
    m_Queue.pop_front();
    m_QueueCont.pop_front();
    m_QueueOwners.pop_front();
    return true;
}

} // namespace

namespace {

// Collects what a target prints, so two targets can be compared line by line.
class CCapture : public ISimTxSink {
public:
    void OnTx(uint16_t Cid, std::span<const uint8_t> Payload) override
    {
        m_Printer.OnTx(Cid, Payload);
    }
    void OnDebugLine(std::string_view Line) override { m_Printer.OnDebugLine(Line); }
    void OnLine(std::string_view Line) override { m_Printer.OnLine(Line); }
    std::ostringstream& Out() { return m_Out; }
    // What was printed since the last call.
    std::string Take()
    {
        std::string s = m_Out.str();
        m_Out.str("");
        return s;
    }

private:
    std::ostringstream m_Out;
    CSimLinePrinter m_Printer{m_Out};
};

void RunOne(const SIM_COMMAND& Cmd, CSimTarget& Target, CCapture& Capture)
{
    SIM_SCRIPT One;
    One.Commands.push_back(Cmd);
    RunSimScript(One, Target, Capture.Out());
}

std::string FirstLine(const std::string& s)
{
    return s.substr(0, s.find('\n'));
}

// Writes the script and the model's expected output; returns the script path.
std::string WriteReplay(const DIFF_OPTIONS& Options, uint64_t Seed, const std::string& Script,
                        const std::string& Expected)
{
    std::string Dir = Options.OutDir.empty() ? "." : Options.OutDir;
    if (Dir.back() != '/') Dir += '/';
    const std::string Base = Dir + Options.Label + "-" + std::to_string(Seed);
    std::ofstream(Base + ".sim") << Script;
    std::ofstream(Base + ".expected") << Expected;
    return Base + ".sim";
}

std::string ScriptHeader(uint64_t Seed, bool Large)
{
    return "# Differential case, seed " + std::to_string(Seed) + (Large ? " (large)" : "") +
           ".\n# kivsdp-sim [--core] this.sim must print the .expected file beside it.\n";
}

} // namespace

DIFF_RESULT RunDifferentialCase(uint64_t Seed, const DIFF_SUBJECT_FACTORY& Subject,
                                const DIFF_OPTIONS& Options)
{
    DIFF_RESULT Result;
    CCapture ModelOut, SubjectOut;
    CModelTarget Model(ModelOut);
    DIFF_SUBJECT Under = Subject(SubjectOut);
    CCaseGenerator Gen(Seed, Options.Large, Model);
    std::string Script = ScriptHeader(Seed, Options.Large), Expected, Got;
    SIM_COMMAND Cmd;
    bool IsCont = false;
    auto Fail = [&](const std::string& Why) {
        Result.Ok = false;
        Result.ScriptPath = WriteReplay(Options, Seed, Script, Expected);
        Result.Message = "seed " + std::to_string(Seed) + ": " + Why +
                         "\n  replay: kivsdp-sim [--core] " + Result.ScriptPath +
                         "  (model's output: .expected beside it)";
    };
    while (Gen.Next(Cmd, IsCont)) {
        Script += FormatSimCommand(Cmd) + "\n";
        std::string m, s;
        try {
            RunOne(Cmd, Model, ModelOut);
        } catch (const std::exception& e) {
            Fail(std::string("the model failed: ") + e.what() + " at: " + FormatSimCommand(Cmd));
            return Result;
        }
        RunOne(Cmd, *Under.Target, SubjectOut);
        m = ModelOut.Take();
        s = SubjectOut.Take();
        Expected += m;
        Result.Commands++;
        if (Cmd.Verb == SIM_VERB::Frame) {
            Result.Frames++;
            if (IsCont) Result.Continuations++;
            for (const Bytes& Rsp : Model.LastTx()) {
                uint32_t Kind = uint32_t(Rsp[0]) << 16;
                if (Rsp[0] == 0x01) Kind |= uint32_t(Rsp[5] << 8 | Rsp[6]);
                if (!ContinuationOf(Rsp).empty()) Kind |= 0x8000;
                Result.Kinds[Kind]++;
            }
        }
        if (m != s) {
            size_t i = 0;
            while (i < m.size() && i < s.size() && m[i] == s[i])
                i++;
            const size_t Line = m.rfind('\n', i == 0 ? 0 : i - 1);
            const size_t From = Line == std::string::npos ? 0 : Line + 1;
            Fail("output differs after: " + FormatSimCommand(Cmd) +
                 "\n  model:   " + FirstLine(m.substr(From)) + "\n  subject: " +
                 FirstLine(s.size() > From ? s.substr(From) : std::string("(nothing)")));
            return Result;
        }
    }
    if (Under.Finish) {
        std::ostringstream Report;
        if (!Under.Finish(Report)) Fail("the subject's teardown found faults:\n" + Report.str());
    }
    return Result;
}

DIFF_RESULT RunDifferentialSeries(const char* SeriesVariable, uint64_t Series, uint64_t SeedBase,
                                  const DIFF_SUBJECT_FACTORY& Subject, DIFF_OPTIONS Options,
                                  uint64_t* CasesRun)
{
    auto Env = [](const char* Name, const char* Default) -> std::string {
        const char* v = std::getenv(Name);
        return v && *v ? v : Default;
    };
    Series = std::strtoull(Env(SeriesVariable, std::to_string(Series).c_str()).c_str(), nullptr, 0);
    const uint64_t Seed =
        std::strtoull(Env("KIVSDP_DIFF_SEED", "1").c_str(), nullptr, 0) + SeedBase;
    Options.OutDir = Env("KIVSDP_DIFF_OUT", ::testing::TempDir().c_str());
    DIFF_RESULT Sum;
    uint64_t Failures = 0;
    for (uint64_t i = 0; i < Series && Failures < 3; i++) {
        Options.Large = (Seed + i) % 16 == 15;
        const DIFF_RESULT r = RunDifferentialCase(Seed + i, Subject, Options);
        Sum.Frames += r.Frames;
        Sum.Continuations += r.Continuations;
        for (auto& [k, n] : r.Kinds)
            Sum.Kinds[k] += n;
        if (!r.Ok) {
            Failures++;
            Sum.Ok = false;
            ADD_FAILURE() << r.Message;
        }
    }
    std::printf("%llu cases, %llu request frames, %llu with a returned state\n",
                (unsigned long long)Series, (unsigned long long)Sum.Frames,
                (unsigned long long)Sum.Continuations);
    if (CasesRun) *CasesRun = Series;
    return Sum;
}

void GenerateDifferentialCase(uint64_t Seed, bool Large, std::string& Script, std::string& Expected)
{
    CCapture ModelOut;
    CModelTarget Model(ModelOut);
    CCaseGenerator Gen(Seed, Large, Model);
    Script = ScriptHeader(Seed, Large);
    Expected.clear();
    SIM_COMMAND Cmd;
    bool IsCont = false;
    while (Gen.Next(Cmd, IsCont)) {
        Script += FormatSimCommand(Cmd) + "\n";
        RunOne(Cmd, Model, ModelOut);
        Expected += ModelOut.Take();
    }
}
