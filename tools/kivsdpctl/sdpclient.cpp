// kivsdpctl's request PDUs, response parsing and command-line values (see sdpclient.h).

#include "sdpclient.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kivctl {
namespace {

void PutBe16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

uint16_t Be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t Be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void PutElement(std::vector<uint8_t>& b, const kivtool::DataElement& De)
{
    kivtool::EncodeDataElement(De, b);
}

kivtool::DataElement RangeList(const std::vector<AttrRange>& Ranges)
{
    std::vector<kivtool::DataElement> Members;
    for (const AttrRange& R : Ranges) {
        if (R.First == R.Last)
            Members.push_back(kivtool::MakeUint(2, R.First));
        else
            Members.push_back(kivtool::MakeUint(4, uint32_t(R.First) << 16 | R.Last));
    }
    return kivtool::MakeSequence(std::move(Members));
}

// CID, then the PDU header around Params.
std::vector<uint8_t> Frame(uint16_t Cid, uint8_t PduId, uint16_t Tid,
                           const std::vector<uint8_t>& Params)
{
    std::vector<uint8_t> b{uint8_t(Cid), uint8_t(Cid >> 8), PduId};
    PutBe16(b, Tid);
    PutBe16(b, uint16_t(Params.size()));
    b.insert(b.end(), Params.begin(), Params.end());
    return b;
}

void PutCont(std::vector<uint8_t>& b, const std::vector<uint8_t>& Cont)
{
    b.push_back(uint8_t(Cont.size()));
    b.insert(b.end(), Cont.begin(), Cont.end());
}

} // namespace

std::vector<uint8_t> SearchRequest(uint16_t Cid, uint16_t Tid,
                                   const std::vector<kivtool::DataElement>& Uuids,
                                   uint16_t MaxRecords, const std::vector<uint8_t>& Cont)
{
    std::vector<uint8_t> p;
    PutElement(p, kivtool::MakeSequence(Uuids));
    PutBe16(p, MaxRecords);
    PutCont(p, Cont);
    return Frame(Cid, PDU_SEARCH_REQUEST, Tid, p);
}

std::vector<uint8_t> AttrRequest(uint16_t Cid, uint16_t Tid, uint32_t hRec, uint16_t MaxBytes,
                                 const std::vector<AttrRange>& Ranges,
                                 const std::vector<uint8_t>& Cont)
{
    std::vector<uint8_t> p;
    for (int i = 3; i >= 0; i--)
        p.push_back(uint8_t(hRec >> (8 * i)));
    PutBe16(p, MaxBytes);
    PutElement(p, RangeList(Ranges));
    PutCont(p, Cont);
    return Frame(Cid, PDU_ATTR_REQUEST, Tid, p);
}

std::vector<uint8_t> SearchAttrRequest(uint16_t Cid, uint16_t Tid,
                                       const std::vector<kivtool::DataElement>& Uuids,
                                       uint16_t MaxBytes, const std::vector<AttrRange>& Ranges,
                                       const std::vector<uint8_t>& Cont)
{
    std::vector<uint8_t> p;
    PutElement(p, kivtool::MakeSequence(Uuids));
    PutBe16(p, MaxBytes);
    PutElement(p, RangeList(Ranges));
    PutCont(p, Cont);
    return Frame(Cid, PDU_SEARCH_ATTR_REQUEST, Tid, p);
}

bool ParseResponse(const uint8_t* p, size_t Length, uint8_t Expected, uint16_t Tid, Response& Out,
                   std::string& Err)
{
    char Text[96];
    if (Length < 5) {
        Err = "response shorter than a PDU header";
        return false;
    }
    size_t Params = Be16(p + 3);
    if (Params + 5 != Length) {
        snprintf(Text, sizeof(Text), "response length %zu disagrees with its header (%zu)", Length,
                 Params + 5);
        Err = Text;
        return false;
    }
    if (Be16(p + 1) != Tid) {
        snprintf(Text, sizeof(Text), "response to transaction 0x%04x, expected 0x%04x", Be16(p + 1),
                 Tid);
        Err = Text;
        return false;
    }
    const uint8_t* q = p + 5;
    const uint8_t* End = p + Length;
    if (p[0] == PDU_ERROR_RESPONSE) {
        snprintf(Text, sizeof(Text), "the server answered with error 0x%04x",
                 Params >= 2 ? Be16(q) : 0);
        Err = Text;
        return false;
    }
    if (p[0] != Expected) {
        snprintf(Text, sizeof(Text), "PDU 0x%02x in reply, expected 0x%02x", p[0], Expected);
        Err = Text;
        return false;
    }
    Response R;
    if (Expected == PDU_SEARCH_RESPONSE) {
        if (End - q < 4) {
            Err = "search response too short";
            return false;
        }
        R.TotalRecords = Be16(q);
        size_t Current = Be16(q + 2);
        q += 4;
        if (size_t(End - q) < Current * 4 + 1) {
            Err = "search response shorter than its handle count";
            return false;
        }
        for (size_t i = 0; i < Current; i++, q += 4)
            R.Handles.push_back(Be32(q));
    } else {
        if (End - q < 3) {
            Err = "attribute response too short";
            return false;
        }
        size_t Count = Be16(q);
        q += 2;
        if (size_t(End - q) < Count + 1) {
            Err = "attribute response shorter than its byte count";
            return false;
        }
        R.AttributeBytes.assign(q, q + Count);
        q += Count;
    }
    size_t ContLength = *q++;
    if (ContLength > 16 || size_t(End - q) != ContLength) {
        Err = "bad continuation state in response";
        return false;
    }
    R.Cont.assign(q, End);
    Out = std::move(R);
    return true;
}

bool ParseAttributeLists(const std::vector<uint8_t>& Bytes,
                         std::vector<kivtool::ServiceRecord>& Out, std::string& Err)
{
    kivtool::DataElement Lists;
    kivtool::DeResult r = kivtool::ParseDataElement(Bytes.data(), Bytes.size(), Lists);
    if (!r) {
        Err = "attribute lists do not parse: " + r.Error;
        return false;
    }
    if (Lists.Type != kivtool::DeType::Sequence) {
        Err = "attribute lists are not a sequence";
        return false;
    }
    std::vector<kivtool::ServiceRecord> Records;
    for (const auto& List : Lists.Members) {
        kivtool::ServiceRecord R;
        if (!kivtool::RecordFromAttributeList(List, R, Err)) return false;
        Records.push_back(std::move(R));
    }
    Out = std::move(Records);
    return true;
}

bool ParseNumber(const std::string& Text, uint64_t Max, uint64_t& Out)
{
    if (Text.empty() || Text[0] == '-' || Text[0] == '+' || isspace(uint8_t(Text[0]))) return false;
    char* End = nullptr;
    errno = 0;
    unsigned long long v = strtoull(Text.c_str(), &End, 0);
    if (errno != 0 || *End != '\0' || v > Max) return false;
    Out = v;
    return true;
}

bool ParseHex(const std::string& Text, std::vector<uint8_t>& Out)
{
    std::vector<uint8_t> Bytes;
    int Nibbles = 0;
    uint8_t Value = 0;
    for (char c : Text) {
        if (isspace(uint8_t(c)) || c == ':') continue;
        if (!isxdigit(uint8_t(c))) return false;
        int v = isdigit(uint8_t(c)) ? c - '0' : (tolower(c) - 'a' + 10);
        Value = uint8_t(Value << 4 | v);
        if (++Nibbles == 2) {
            Bytes.push_back(Value);
            Nibbles = 0;
            Value = 0;
        }
    }
    if (Nibbles != 0 || Bytes.empty()) return false;
    Out = std::move(Bytes);
    return true;
}

bool ParseUuid(const std::string& Text, kivtool::DataElement& Out)
{
    if (Text.size() == 36) {
        std::string Digits;
        for (size_t i = 0; i < Text.size(); i++) {
            bool Dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (Dash != (Text[i] == '-')) return false;
            if (!Dash) Digits += Text[i];
        }
        std::vector<uint8_t> Bytes;
        if (!ParseHex(Digits, Bytes) || Bytes.size() != 16) return false;
        uint8_t Value[16];
        std::copy(Bytes.begin(), Bytes.end(), Value);
        Out = kivtool::MakeUuid128(Value);
        return true;
    }
    std::string Number = Text;
    if (Number.rfind("0x", 0) != 0 && Number.rfind("0X", 0) != 0) Number = "0x" + Number;
    uint64_t v = 0;
    if (!ParseNumber(Number, 0xFFFFFFFFu, v)) return false;
    Out = v <= 0xFFFF ? kivtool::MakeUuid16(uint16_t(v)) : kivtool::MakeUuid32(uint32_t(v));
    return true;
}

bool ParseRange(const std::string& Text, AttrRange& Out)
{
    size_t Dash = Text.find('-');
    uint64_t First = 0, Last = 0;
    if (Dash == std::string::npos) {
        if (!ParseNumber(Text, 0xFFFF, First)) return false;
        Last = First;
    } else if (!ParseNumber(Text.substr(0, Dash), 0xFFFF, First) ||
               !ParseNumber(Text.substr(Dash + 1), 0xFFFF, Last) || Last < First) {
        return false;
    }
    Out = {uint16_t(First), uint16_t(Last)};
    return true;
}

bool ParseValue(const std::string& Text, kivtool::DataElement& Out, std::string& Err)
{
    size_t Colon = Text.find(':');
    std::string Type = Text.substr(0, Colon);
    std::string Rest = Colon == std::string::npos ? "" : Text.substr(Colon + 1);
    if (Type == "nil" && Colon == std::string::npos) {
        Out = kivtool::MakeNil();
        return true;
    }
    if (Colon == std::string::npos) {
        Err = "value '" + Text + "' is not TYPE:VALUE";
        return false;
    }
    for (size_t Bits : {8, 16, 32, 64}) {
        if (Type == "uint" + std::to_string(Bits)) {
            uint64_t v = 0;
            uint64_t Max = Bits == 64 ? UINT64_MAX : (uint64_t(1) << Bits) - 1;
            if (!ParseNumber(Rest, Max, v)) {
                Err = "'" + Rest + "' is not a " + Type;
                return false;
            }
            Out = kivtool::MakeUint(Bits / 8, v);
            return true;
        }
        if (Type == "int" + std::to_string(Bits)) {
            char* End = nullptr;
            errno = 0;
            long long v = strtoll(Rest.c_str(), &End, 0);
            long long Lim = Bits == 64 ? 0 : (1LL << (Bits - 1));
            if (Rest.empty() || errno != 0 || *End != '\0' ||
                (Bits < 64 && (v < -Lim || v >= Lim))) {
                Err = "'" + Rest + "' is not an " + Type;
                return false;
            }
            Out = kivtool::MakeInt(Bits / 8, v);
            return true;
        }
    }
    if (Type == "uuid") {
        if (!ParseUuid(Rest, Out)) {
            Err = "'" + Rest + "' is not a UUID";
            return false;
        }
        return true;
    }
    if (Type == "text" || Type == "url") {
        Out = Type == "text" ? kivtool::MakeText(Rest) : kivtool::MakeUrl(Rest);
        return true;
    }
    if (Type == "bool") {
        if (Rest != "true" && Rest != "false") {
            Err = "bool takes true or false";
            return false;
        }
        Out = kivtool::MakeBool(Rest == "true");
        return true;
    }
    if (Type == "hex") {
        std::vector<uint8_t> Bytes;
        if (!ParseHex(Rest, Bytes)) {
            Err = "'" + Rest + "' is not hex bytes";
            return false;
        }
        kivtool::DeResult r = kivtool::ParseDataElement(Bytes.data(), Bytes.size(), Out);
        if (!r) {
            Err = "hex value is not one data element: " + r.Error;
            return false;
        }
        return true;
    }
    Err = "unknown value type '" + Type + "'";
    return false;
}

} // namespace kivctl
