// Pretty-printer and JSON writer for the tools.
#include "sdpprint.h"

#include <cstdio>

#include "sdpnames.h"

namespace kivtool {
namespace {

std::string Hex(const std::vector<uint8_t>& Data)
{
    return "0x" + HexDigits(Data);
}

std::string Signed(const std::vector<uint8_t>& Data)
{
    // Up to 64 bits: sign-extend the big-endian pattern.
    uint64_t v = 0;
    for (uint8_t b : Data)
        v = v << 8 | b;
    const unsigned Bits = unsigned(Data.size() * 8);
    if (Bits < 64 && (v >> (Bits - 1) & 1)) v |= ~uint64_t(0) << Bits;
    return std::to_string(int64_t(v));
}

// Bytes as a double-quoted string: quote, backslash and the usual control
// characters by name, other control bytes (and every byte of text that is no
// valid UTF-8) by number. The JSON form also names backspace and form feed,
// numbers in four hex digits and keeps DEL; the display form numbers DEL too,
// in two hex digits.
std::string Escaped(const std::vector<uint8_t>& Bytes, bool Json)
{
    const bool Utf8 = IsUtf8(Bytes);
    std::string s = "\"";
    for (uint8_t c : Bytes) {
        const char* Named = nullptr;
        switch (c) {
        case '"':
            Named = "\\\"";
            break;
        case '\\':
            Named = "\\\\";
            break;
        case '\n':
            Named = "\\n";
            break;
        case '\r':
            Named = "\\r";
            break;
        case '\t':
            Named = "\\t";
            break;
        case '\b':
            Named = Json ? "\\b" : nullptr;
            break;
        case '\f':
            Named = Json ? "\\f" : nullptr;
            break;
        }
        if (Named) {
            s += Named;
        } else if (c < 0x20 || (c == 0x7F && !Json) || (c >= 0x80 && !Utf8)) {
            char b[8];
            if (Json)
                std::snprintf(b, sizeof b, "\\u%04x", c);
            else
                std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        } else {
            s += char(c);
        }
    }
    return s + "\"";
}

std::string Quoted(const std::vector<uint8_t>& Bytes)
{
    return Escaped(Bytes, false);
}

std::string UuidText(const DataElement& De, std::string* Name)
{
    std::string s = De.Data.size() == 16 ? FormatUuid128(De.Data.data()) : Hex(De.Data);
    uint32_t Short;
    const char* n = De.ShortUuid(Short) ? UuidName(Short) : nullptr;
    if (Name) *Name = n ? n : "";
    return s;
}

std::string TypeName(const DataElement& De)
{
    static const char* const Widths[] = {"8", "16", "32", "64", "128"};
    const char* Width = Widths[De.SizeIndex <= 4 ? De.SizeIndex : 0];
    switch (De.Type) {
    case DeType::Nil:
        return "nil";
    case DeType::Bool:
        return "bool";
    case DeType::Uint:
        return std::string("uint") + Width;
    case DeType::Int:
        return std::string("int") + Width;
    case DeType::Uuid:
        return std::string("uuid") + Width;
    case DeType::Text:
        return "text";
    case DeType::Url:
        return "url";
    case DeType::Sequence:
        return "sequence";
    case DeType::Alternative:
        return "alternative";
    case DeType::Reserved:
        return "type9";
    }
    return "?";
}

void Tree(const DataElement& De, unsigned Indent, std::string& Out)
{
    Out += std::string(Indent, ' ') + FormatLeaf(De) + "\n";
    for (const DataElement& m : De.Members)
        Tree(m, Indent + 2, Out);
}

std::string AttrId(uint16_t Id)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", Id);
    return b;
}

} // namespace

std::string FormatLeaf(const DataElement& De)
{
    const std::string Type = TypeName(De);
    switch (De.Type) {
    case DeType::Nil:
        return Type;
    case DeType::Bool:
        if (De.Data.size() == 1 && De.Data[0] <= 1) return Type + (De.Data[0] ? " true" : " false");
        return Type + " " + Hex(De.Data);
    case DeType::Uint:
        return Type + " " + Hex(De.Data);
    case DeType::Int:
        return Type + " " + (De.Data.size() > 8 ? Hex(De.Data) : Signed(De.Data));
    case DeType::Uuid: {
        std::string Name;
        std::string s = Type + " " + UuidText(De, &Name);
        return Name.empty() ? s : s + " (" + Name + ")";
    }
    case DeType::Text:
    case DeType::Url:
        return Type + " " + Quoted(De.Data);
    case DeType::Reserved:
        return Type + " " + HexDigits(De.Data);
    case DeType::Sequence:
    case DeType::Alternative:
        return De.Members.empty() ? Type + " (empty)" : Type;
    }
    return Type;
}

std::string FormatTree(const DataElement& De, unsigned Indent)
{
    std::string Out;
    Tree(De, Indent, Out);
    return Out;
}

std::string FormatRecord(const ServiceRecord& Record)
{
    std::string Out;
    const std::optional<uint32_t> h = Record.Handle();
    if (h) {
        char b[24];
        std::snprintf(b, sizeof b, "Record 0x%08X\n", *h);
        Out += b;
    } else {
        Out += "Record (no handle)\n";
    }
    for (const ServiceAttribute& a : Record.Attributes) {
        const char* Name = AttributeName(Record, a.Id);
        Out += "  " + AttrId(a.Id) + (Name ? std::string(" ") + Name : "") + ": ";
        std::string t = FormatTree(a.Value, 2).substr(2); // the first line goes after the name
        std::vector<std::string> Bits;
        if (FeatureBitNames(Record, a.Id, a.Value, Bits)) {
            std::string Spelled;
            for (const std::string& Bit : Bits)
                Spelled += (Spelled.empty() ? "" : ", ") + Bit;
            t.insert(t.find('\n'), " (" + (Spelled.empty() ? "none" : Spelled) + ")");
        }
        Out += t;
    }
    return Out;
}

std::string FormatRecords(const std::vector<ServiceRecord>& Records)
{
    std::string Out;
    for (size_t i = 0; i < Records.size(); ++i) {
        if (i) Out += "\n";
        Out += FormatRecord(Records[i]);
    }
    return Out;
}

std::string JsonString(std::string_view Text)
{
    return Escaped(std::vector<uint8_t>(Text.begin(), Text.end()), true);
}

std::string ElementJson(const DataElement& De)
{
    std::string s = "{\"type\":" + JsonString(TypeName(De));
    switch (De.Type) {
    case DeType::Nil:
        break;
    case DeType::Bool:
        if (De.Data.size() == 1 && De.Data[0] <= 1)
            s += De.Data[0] ? ",\"value\":true" : ",\"value\":false";
        else
            s += ",\"value\":true,\"byte\":" + std::to_string(De.Number());
        break;
    case DeType::Uint:
        s += ",\"value\":" +
             (De.Data.size() <= 4 ? std::to_string(De.Number()) : JsonString(Hex(De.Data)));
        break;
    case DeType::Int:
        s += ",\"value\":" + (De.Data.size() <= 4   ? Signed(De.Data)
                              : De.Data.size() <= 8 ? JsonString(Signed(De.Data))
                                                    : JsonString(Hex(De.Data)));
        break;
    case DeType::Uuid: {
        std::string Name;
        s += ",\"value\":" + JsonString(UuidText(De, &Name));
        if (!Name.empty()) s += ",\"name\":" + JsonString(Name);
        break;
    }
    case DeType::Text:
    case DeType::Url:
    case DeType::Reserved:
        if (De.Type != DeType::Reserved && IsUtf8(De.Data))
            s += ",\"value\":" +
                 JsonString(std::string_view(reinterpret_cast<const char*>(De.Data.data()),
                                             De.Data.size()));
        else
            s += ",\"hex\":" + JsonString(HexDigits(De.Data));
        break;
    case DeType::Sequence:
    case DeType::Alternative:
        s += ",\"members\":[";
        // GCC 12 at -O3 reports a bogus overlap inside std::string's operator+ (GCC bug
        // 105651), not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        for (size_t i = 0; i < De.Members.size(); ++i)
            s += (i ? "," : "") + ElementJson(De.Members[i]);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        s += "]";
        break;
    }
    return s + "}";
}

std::string RecordJson(const ServiceRecord& Record)
{
    const std::optional<uint32_t> h = Record.Handle();
    std::string s =
        "{\"handle\":" + (h ? std::to_string(*h) : std::string("null")) + ",\"attributes\":[";
    for (size_t i = 0; i < Record.Attributes.size(); ++i) {
        const ServiceAttribute& a = Record.Attributes[i];
        s += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(a.Id);
        if (const char* Name = AttributeName(Record, a.Id)) s += ",\"name\":" + JsonString(Name);
        std::vector<std::string> Bits;
        if (FeatureBitNames(Record, a.Id, a.Value, Bits)) {
            s += ",\"features\":[";
            for (size_t b = 0; b < Bits.size(); ++b) {
                if (b != 0) s += ",";
                s += JsonString(Bits[b]);
            }
            s += "]";
        }
        s += ",\"value\":" + ElementJson(a.Value) + "}";
    }
    return s + "]}";
}

std::string RecordsJson(const std::vector<ServiceRecord>& Records)
{
    std::string s = "[";
    // GCC 12 at -O3 reports a bogus overlap inside std::string's operator+ (GCC bug
    // 105651), not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    for (size_t i = 0; i < Records.size(); ++i)
        s += (i ? "," : "") + RecordJson(Records[i]);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return s + "]\n";
}

} // namespace kivtool
