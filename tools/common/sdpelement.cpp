// Parsing and encoding of the data-element tree.
#include "sdpelement.h"

#include <cstdio>
#include <cstring>

namespace kivtool {
namespace {

const uint8_t BluetoothBaseUuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                           0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// Size indices allowed for each type; variable-length types take 5..7.
bool SizeIndexAllowed(DeType Type, uint8_t Si)
{
    switch (Type) {
    case DeType::Nil:
    case DeType::Bool:
        return Si == 0;
    case DeType::Uint:
    case DeType::Int:
        return Si <= 4;
    case DeType::Uuid:
        return Si == 1 || Si == 2 || Si == 4;
    case DeType::Text:
    case DeType::Sequence:
    case DeType::Alternative:
    case DeType::Url:
    case DeType::Reserved:
        return Si >= 5 && Si <= 7;
    }
    return false;
}

size_t LengthFieldSize(uint8_t Si)
{
    return Si == 5 ? 1 : Si == 6 ? 2 : 4;
}

size_t MaxForLengthField(uint8_t Si)
{
    return Si == 5 ? 0xFF : Si == 6 ? 0xFFFF : 0xFFFFFFFFu;
}

std::string Hex8(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

DeResult Fail(std::string Error, size_t Offset)
{
    DeResult r;
    r.Error = std::move(Error);
    r.Offset = Offset;
    return r;
}

// Parses the element at p[Pos..Limit); Base is added to offsets in errors.
DeResult ParseAt(const uint8_t* p, size_t Limit, size_t Pos, unsigned Depth, DataElement& Out,
                 size_t& Used)
{
    if (Depth > MAX_DE_DEPTH)
        return Fail("data elements nested deeper than " + std::to_string(MAX_DE_DEPTH), Pos);
    if (Pos >= Limit) return Fail("data element expected, no bytes left", Pos);
    const uint8_t Header = p[Pos];
    const uint8_t TypeNo = uint8_t(Header >> 3);
    const uint8_t Si = uint8_t(Header & 7);
    if (TypeNo > 9)
        return Fail("unknown data element type " + std::to_string(TypeNo) + " (header " +
                        Hex8(Header) + ")",
                    Pos);
    const DeType Type = DeType(TypeNo);
    if (!SizeIndexAllowed(Type, Si))
        return Fail("size index " + std::to_string(Si) + " is not allowed for type " +
                        std::to_string(TypeNo) + " (header " + Hex8(Header) + ")",
                    Pos);

    DataElement De;
    De.Type = Type;
    De.SizeIndex = Si;
    size_t Cur = Pos + 1;
    size_t DataLen;
    if (Type == DeType::Nil) {
        DataLen = 0;
    } else if (Si <= 4) {
        DataLen = WidthOfSizeIndex(Si);
    } else {
        const size_t Lf = LengthFieldSize(Si);
        if (Lf > Limit - Cur)
            return Fail("length field of the element at offset " + std::to_string(Pos) +
                            " is cut short",
                        Pos);
        DataLen = 0;
        for (size_t i = 0; i < Lf; ++i)
            DataLen = DataLen << 8 | p[Cur + i];
        Cur += Lf;
    }
    if (DataLen > Limit - Cur)
        return Fail("element at offset " + std::to_string(Pos) + " claims " +
                        std::to_string(DataLen) + " bytes of data, " + std::to_string(Limit - Cur) +
                        " are there",
                    Pos);
    const size_t End = Cur + DataLen;
    if (De.IsContainer()) {
        while (Cur < End) {
            DataElement Member;
            size_t MemberUsed = 0;
            DeResult r = ParseAt(p, End, Cur, Depth + 1, Member, MemberUsed);
            if (!r) return r;
            De.Members.push_back(std::move(Member));
            Cur += MemberUsed;
        }
    } else {
        De.Data.assign(p + Cur, p + End);
    }
    Out = std::move(De);
    Used = End - Pos;
    return {};
}

DeResult EncodeInto(const DataElement& De, std::vector<uint8_t>& Out)
{
    if (uint8_t(De.Type) > 9 || !SizeIndexAllowed(De.Type, De.SizeIndex))
        return Fail("size index " + std::to_string(De.SizeIndex) + " is not allowed for type " +
                        std::to_string(unsigned(De.Type)),
                    0);
    Out.push_back(De.Header());
    if (De.Type == DeType::Nil) return De.Data.empty() ? DeResult{} : Fail("nil carries data", 0);
    if (De.SizeIndex <= 4) {
        const size_t Width = De.Type == DeType::Bool ? 1 : WidthOfSizeIndex(De.SizeIndex);
        if (De.Data.size() != Width)
            return Fail("value of " + std::to_string(De.Data.size()) + " bytes where " +
                            std::to_string(Width) + " are needed",
                        0);
        Out.insert(Out.end(), De.Data.begin(), De.Data.end());
        return {};
    }
    const size_t LenPos = Out.size();
    const size_t Lf = LengthFieldSize(De.SizeIndex);
    Out.insert(Out.end(), Lf, 0);
    if (De.IsContainer()) {
        for (const DataElement& m : De.Members) {
            DeResult r = EncodeInto(m, Out);
            if (!r) return r;
        }
    } else {
        Out.insert(Out.end(), De.Data.begin(), De.Data.end());
    }
    const size_t Len = Out.size() - LenPos - Lf;
    if (Len > MaxForLengthField(De.SizeIndex))
        return Fail(std::to_string(Len) + " bytes do not fit a " + std::to_string(Lf * 8) +
                        "-bit length field",
                    0);
    for (size_t i = 0; i < Lf; ++i)
        Out[LenPos + i] = uint8_t(Len >> (8 * (Lf - 1 - i)));
    return {};
}

} // namespace

uint64_t DataElement::Number() const
{
    if (Type == DeType::Bool) return Data.empty() ? 0 : Data[0];
    if ((Type != DeType::Uint && Type != DeType::Int && Type != DeType::Uuid) || Data.size() > 8)
        return 0;
    uint64_t v = 0;
    for (uint8_t b : Data)
        v = v << 8 | b;
    return v;
}

bool DataElement::ShortUuid(uint32_t& Value) const
{
    if (Type != DeType::Uuid) return false;
    if (Data.size() == 2 || Data.size() == 4) {
        Value = uint32_t(Number());
        return true;
    }
    if (Data.size() == 16 && std::memcmp(Data.data() + 4, BluetoothBaseUuidTail, 12) == 0) {
        Value =
            uint32_t(Data[0]) << 24 | uint32_t(Data[1]) << 16 | uint32_t(Data[2]) << 8 | Data[3];
        return true;
    }
    return false;
}

uint8_t SizeIndexOfWidth(size_t Bytes)
{
    switch (Bytes) {
    case 1:
        return 0;
    case 2:
        return 1;
    case 4:
        return 2;
    case 8:
        return 3;
    default:
        return 4;
    }
}

size_t WidthOfSizeIndex(uint8_t SizeIndex)
{
    return SizeIndex >= 4 ? 16 : size_t(1) << SizeIndex;
}

uint8_t MinimalLengthSizeIndex(size_t Length)
{
    return Length <= 0xFF ? 5 : Length <= 0xFFFF ? 6 : 7;
}

DataElement MakeNil()
{
    return {};
}

DataElement MakeUint(size_t WidthBytes, uint64_t Value)
{
    DataElement De;
    De.Type = DeType::Uint;
    De.SizeIndex = SizeIndexOfWidth(WidthBytes);
    De.Data.assign(WidthBytes, 0);
    for (size_t i = 0; i < WidthBytes && i < 8; ++i)
        De.Data[WidthBytes - 1 - i] = uint8_t(Value >> (8 * i));
    return De;
}

DataElement MakeInt(size_t WidthBytes, int64_t Value)
{
    DataElement De = MakeUint(WidthBytes, uint64_t(Value));
    De.Type = DeType::Int;
    if (Value < 0)
        for (size_t i = 8; i < WidthBytes; ++i)
            De.Data[WidthBytes - 1 - i] = 0xFF;
    return De;
}

DataElement MakeUuid16(uint16_t Value)
{
    DataElement De = MakeUint(2, Value);
    De.Type = DeType::Uuid;
    return De;
}

DataElement MakeUuid32(uint32_t Value)
{
    DataElement De = MakeUint(4, Value);
    De.Type = DeType::Uuid;
    return De;
}

DataElement MakeUuid128(const uint8_t (&Value)[16])
{
    DataElement De;
    De.Type = DeType::Uuid;
    De.SizeIndex = 4;
    De.Data.assign(Value, Value + 16);
    return De;
}

static DataElement MakeString(DeType Type, std::string_view s)
{
    DataElement De;
    De.Type = Type;
    De.SizeIndex = MinimalLengthSizeIndex(s.size());
    De.Data.assign(s.begin(), s.end());
    return De;
}

DataElement MakeText(std::string_view Text)
{
    return MakeString(DeType::Text, Text);
}

DataElement MakeUrl(std::string_view Url)
{
    return MakeString(DeType::Url, Url);
}

DataElement MakeBool(bool Value)
{
    DataElement De;
    De.Type = DeType::Bool;
    De.Data.assign(1, Value ? 1 : 0);
    return De;
}

size_t ContentLength(const DataElement& De)
{
    if (!De.IsContainer()) return De.Data.size();
    size_t Len = 0;
    for (const DataElement& m : De.Members)
        Len += EncodedSize(m);
    return Len;
}

static DataElement MakeContainer(DeType Type, std::vector<DataElement> Members)
{
    DataElement De;
    De.Type = Type;
    De.Members = std::move(Members);
    De.SizeIndex = MinimalLengthSizeIndex(ContentLength(De));
    return De;
}

DataElement MakeSequence(std::vector<DataElement> Members)
{
    return MakeContainer(DeType::Sequence, std::move(Members));
}

DataElement MakeAlternative(std::vector<DataElement> Members)
{
    return MakeContainer(DeType::Alternative, std::move(Members));
}

DeResult ParseDataElementPrefix(const uint8_t* p, size_t Length, DataElement& Out, size_t& Used)
{
    if (!p) Length = 0;
    return ParseAt(p, Length, 0, 0, Out, Used);
}

DeResult ParseDataElement(const uint8_t* p, size_t Length, DataElement& Out)
{
    DataElement De;
    size_t Used = 0;
    DeResult r = ParseDataElementPrefix(p, Length, De, Used);
    if (!r) return r;
    if (Used != Length)
        return Fail(std::to_string(Length - Used) + " bytes follow the data element", Used);
    Out = std::move(De);
    return {};
}

size_t EncodedSize(const DataElement& De)
{
    std::vector<uint8_t> Tmp;
    return EncodeInto(De, Tmp) ? Tmp.size() : 0;
}

DeResult EncodeDataElement(const DataElement& De, std::vector<uint8_t>& Out)
{
    std::vector<uint8_t> Tmp;
    DeResult r = EncodeInto(De, Tmp);
    if (r) Out.insert(Out.end(), Tmp.begin(), Tmp.end());
    return r;
}

std::string FormatUuid128(const uint8_t* p)
{
    std::string s;
    char b[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string HexDigits(const std::vector<uint8_t>& Bytes)
{
    static const char Digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : Bytes) {
        s += Digits[b >> 4];
        s += Digits[b & 15];
    }
    return s;
}

bool IsUtf8(const std::vector<uint8_t>& Bytes)
{
    size_t i = 0;
    const size_t n = Bytes.size();
    while (i < n) {
        const uint8_t b = Bytes[i];
        size_t More;
        uint32_t Cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            More = 1;
            Cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            More = 2;
            Cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            More = 3;
            Cp = b & 0x07;
        } else {
            return false;
        }
        if (More > n - i - 1) return false;
        for (size_t k = 1; k <= More; ++k) {
            if ((Bytes[i + k] & 0xC0) != 0x80) return false;
            Cp = Cp << 6 | (Bytes[i + k] & 0x3F);
        }
        static const uint32_t MinForLength[4] = {0, 0x80, 0x800, 0x10000};
        if (Cp < MinForLength[More] || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF))
            return false;
        i += More + 1;
    }
    return true;
}

} // namespace kivtool
