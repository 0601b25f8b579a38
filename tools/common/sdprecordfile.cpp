// Record files: XML import through expat (no DTD, no external entities) and
// export written by hand.
#include "sdprecordfile.h"

#include <expat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace kivtool {
namespace {

using U128 = unsigned __int128;

struct ValueKind {
    const char* Name;
    DeType Type;
    size_t Width; // bytes of a number; 0 for the others
};

const ValueKind ValueKinds[] = {
    {"nil", DeType::Nil, 0},
    {"boolean", DeType::Bool, 0},
    {"uint8", DeType::Uint, 1},
    {"uint16", DeType::Uint, 2},
    {"uint32", DeType::Uint, 4},
    {"uint64", DeType::Uint, 8},
    {"uint128", DeType::Uint, 16},
    {"int8", DeType::Int, 1},
    {"int16", DeType::Int, 2},
    {"int32", DeType::Int, 4},
    {"int64", DeType::Int, 8},
    {"int128", DeType::Int, 16},
    {"uuid", DeType::Uuid, 0},
    {"text", DeType::Text, 0},
    {"url", DeType::Url, 0},
    {"sequence", DeType::Sequence, 0},
    {"alternate", DeType::Alternative, 0},
};

const ValueKind* FindKind(std::string_view Name)
{
    for (const ValueKind& k : ValueKinds)
        if (Name == k.Name) return &k;
    return nullptr;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool HasHexPrefix(std::string_view s)
{
    return s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// Parses decimal or 0x-hex digits into a 128-bit magnitude; false on a bad
// digit, no digits, or a value past 2^128 - 1 (Overflow set).
bool ParseMagnitude(std::string_view s, U128& v, bool& Overflow, bool& Hex)
{
    Overflow = false;
    Hex = HasHexPrefix(s);
    if (Hex) s.remove_prefix(2);
    if (s.empty()) return false;
    v = 0;
    const unsigned Base = Hex ? 16 : 10;
    const U128 Max = ~U128(0);
    for (char c : s) {
        const int d = HexValue(c);
        if (d < 0 || unsigned(d) >= Base) return false;
        if (v > (Max - unsigned(d)) / Base)
            Overflow = true;
        else
            v = v * Base + unsigned(d);
    }
    return true;
}

std::string U128Decimal(U128 v)
{
    std::string s;
    do {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v);
    return s;
}

std::vector<uint8_t> BigEndian(U128 v, size_t Width)
{
    std::vector<uint8_t> b(Width);
    for (size_t i = 0; i < Width; ++i)
        b[Width - 1 - i] = uint8_t(v >> (8 * i));
    return b;
}

U128 BigEndianValue(const std::vector<uint8_t>& b)
{
    U128 v = 0;
    for (uint8_t x : b)
        v = v << 8 | x;
    return v;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>& Out)
{
    if (s.size() % 2) return false;
    std::vector<uint8_t> b;
    for (size_t i = 0; i < s.size(); i += 2) {
        const int h = HexValue(s[i]), l = HexValue(s[i + 1]);
        if (h < 0 || l < 0) return false;
        b.push_back(uint8_t(h << 4 | l));
    }
    Out = std::move(b);
    return true;
}

enum class FrameKind { Record, Attribute, Value };

struct Frame {
    FrameKind Kind;
    unsigned Line, Column;
    uint16_t Id = 0;       // Attribute
    bool HasValue = false; // Attribute
    DataElement De;        // Attribute: its value; Value: the element
    std::string Name;      // element name, for messages
    int LengthBits = 0;    // Value containers: explicit length field width
};

class CRecordXmlParser {
public:
    // The document's own declaration picks its encoding (UTF-8 when it has
    // none); expat hands every name and value over as UTF-8.
    CRecordXmlParser() : m_Parser(XML_ParserCreate(nullptr)) {}
    ~CRecordXmlParser()
    {
        if (m_Parser) XML_ParserFree(m_Parser);
    }
    CRecordXmlParser(const CRecordXmlParser&) = delete;
    CRecordXmlParser& operator=(const CRecordXmlParser&) = delete;

    bool Parse(std::string_view Xml, ServiceRecord& Out, RecordFileError& Err);

private:
    static void XMLCALL OnStart(void* Ctx, const XML_Char* Name, const XML_Char** Atts)
    {
        static_cast<CRecordXmlParser*>(Ctx)->Start(Name, Atts);
    }
    static void XMLCALL OnEnd(void* Ctx, const XML_Char*)
    {
        static_cast<CRecordXmlParser*>(Ctx)->End();
    }
    static void XMLCALL OnText(void* Ctx, const XML_Char* s, int Len)
    {
        static_cast<CRecordXmlParser*>(Ctx)->Text(std::string_view(s, size_t(Len)));
    }
    static void XMLCALL OnDoctype(void* Ctx, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        static_cast<CRecordXmlParser*>(Ctx)->Refuse("a record file has no DOCTYPE");
    }

    void Start(std::string_view Name, const XML_Char** Atts);
    void End();
    void Text(std::string_view s);
    bool StartValue(std::string_view Name, const XML_Char** Atts, Frame& f);
    void Refuse(std::string Message);

    unsigned Line() const { return unsigned(XML_GetCurrentLineNumber(m_Parser)); }
    unsigned Column() const { return unsigned(XML_GetCurrentColumnNumber(m_Parser)) + 1; }

    XML_Parser m_Parser;
    std::vector<Frame> m_Stack;
    std::map<uint16_t, unsigned> m_SeenIds; // ID -> line of its first definition
    ServiceRecord m_Record;
    bool m_Done = false;
    bool m_Failed = false;
    RecordFileError m_Err;
};

void CRecordXmlParser::Refuse(std::string Message)
{
    if (m_Failed) return;
    m_Failed = true;
    m_Err.Line = Line();
    m_Err.Column = Column();
    m_Err.Message = std::move(Message);
    XML_StopParser(m_Parser, XML_FALSE);
}

std::string Hex16(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
    return b;
}

void CRecordXmlParser::Start(std::string_view Name, const XML_Char** Atts)
{
    if (m_Failed) return;
    const std::string Tag = "<" + std::string(Name) + ">";
    Frame f;
    f.Line = Line();
    f.Column = Column();
    f.Name = std::string(Name);
    if (m_Stack.empty()) {
        if (Name != "record") return Refuse("the document element must be <record>, not " + Tag);
        f.Kind = FrameKind::Record;
        m_Stack.push_back(std::move(f));
        return;
    }
    Frame& Parent = m_Stack.back();
    if (Parent.Kind == FrameKind::Record) {
        if (Name != "attribute")
            return Refuse(FindKind(Name) ? Tag + " must be inside an <attribute>"
                                         : "unknown element " + Tag + " inside <record>");
        const char* Id = nullptr;
        for (size_t i = 0; Atts[i]; i += 2)
            if (std::strcmp(Atts[i], "id") == 0) Id = Atts[i + 1];
        if (!Id) return Refuse("<attribute> without id");
        U128 v;
        bool Overflow, Hex;
        if (!ParseMagnitude(Id, v, Overflow, Hex))
            return Refuse("bad attribute id '" + std::string(Id) + "'");
        if (Overflow || v > 0xFFFF)
            return Refuse("attribute id '" + std::string(Id) + "' is larger than 0xFFFF");
        f.Id = uint16_t(v);
        auto Seen = m_SeenIds.find(f.Id);
        if (Seen != m_SeenIds.end())
            return Refuse("duplicate attribute " + Hex16(f.Id) + " (first at line " +
                          std::to_string(Seen->second) + ")");
        m_SeenIds[f.Id] = f.Line;
        f.Kind = FrameKind::Attribute;
        m_Stack.push_back(std::move(f));
        return;
    }
    if (Parent.Kind == FrameKind::Attribute && Parent.HasValue)
        return Refuse("attribute " + Hex16(Parent.Id) + " has more than one value (" + Tag + ")");
    if (Parent.Kind == FrameKind::Value && !Parent.De.IsContainer())
        return Refuse("<" + Parent.Name + "> cannot contain elements (found " + Tag + ")");
    // Every level of a value costs at least two bytes, so a value the server
    // can store nests at most this deep; the bound also keeps the recursive
    // size and export walks shallow.
    if (m_Stack.size() - 2 >= MAX_ATTRIBUTE_VALUE_SIZE / 2)
        return Refuse("values nested more than " + std::to_string(MAX_ATTRIBUTE_VALUE_SIZE / 2) +
                      " deep cannot fit the " + std::to_string(MAX_ATTRIBUTE_VALUE_SIZE) +
                      " bytes a value may hold");
    if (Parent.Kind == FrameKind::Attribute) Parent.HasValue = true;
    f.Kind = FrameKind::Value;
    if (!StartValue(Name, Atts, f)) return;
    m_Stack.push_back(std::move(f));
}

// A value element's XML attributes. Those that mean nothing on the element (name="channel",
// value= on a sequence) are skipped, as other readers of these files skip them.
struct VALUE_ATTRIBUTES {
    const char* Value = nullptr;
    const char* Encoding = nullptr;
    const char* LengthBits = nullptr;
    const char* UuidBits = nullptr;
};

VALUE_ATTRIBUTES ReadValueAttributes(const ValueKind& k, const XML_Char** Atts)
{
    VALUE_ATTRIBUTES A;
    const bool Variable = k.Type == DeType::Text || k.Type == DeType::Url ||
                          k.Type == DeType::Sequence || k.Type == DeType::Alternative;
    for (size_t i = 0; Atts[i]; i += 2) {
        const std::string_view a = Atts[i];
        if (a == "value" && k.Type != DeType::Nil && k.Type != DeType::Sequence &&
            k.Type != DeType::Alternative)
            A.Value = Atts[i + 1];
        else if (a == "encoding" && (k.Type == DeType::Text || k.Type == DeType::Url))
            A.Encoding = Atts[i + 1];
        else if (a == "lengthbits" && Variable)
            A.LengthBits = Atts[i + 1];
        else if (a == "bits" && k.Type == DeType::Uuid)
            A.UuidBits = Atts[i + 1];
    }
    return A;
}

// The readers of a value below fill De from the value attribute v, or return why they cannot.

std::string ReadBoolean(const std::string& v, DataElement& De)
{
    if (v == "true" || v == "false") {
        De.Data.assign(1, v == "true" ? 1 : 0);
        return "";
    }
    U128 n;
    bool Overflow, Hex;
    if (!ParseMagnitude(v, n, Overflow, Hex) || !Hex || Overflow || n > 0xFF)
        return "bad boolean '" + v + "' (true or false)";
    De.Data.assign(1, uint8_t(n));
    return "";
}

std::string ReadNumber(const ValueKind& k, const std::string& v, const std::string& Tag,
                       DataElement& De)
{
    De.SizeIndex = SizeIndexOfWidth(k.Width);
    if (k.Width == 16 && !v.empty() && v[0] != '-' && v[0] != '+' && !HasHexPrefix(v)) {
        // The common 128-bit form: 32 hex digits, least significant
        // byte first. Never decimal, so the same digits mean the same
        // value to every reader.
        std::vector<uint8_t> Le;
        if (v.size() != 32 || !ParseHexBytes(v, Le))
            return "bad number '" + v + "' for " + Tag +
                   " (32 hex digits, least significant byte first, or 0x and hex digits)";
        De.Data.assign(Le.rbegin(), Le.rend());
        return "";
    }
    const unsigned Bits = unsigned(k.Width * 8);
    const U128 Max = Bits == 128 ? ~U128(0) : (U128(1) << Bits) - 1;
    std::string_view s = v;
    const bool Negative = k.Type == DeType::Int && !s.empty() && s[0] == '-';
    if (Negative || (!s.empty() && s[0] == '+' && k.Type == DeType::Int)) s.remove_prefix(1);
    U128 n;
    bool Overflow, Hex;
    if (!ParseMagnitude(s, n, Overflow, Hex)) return "bad number '" + v + "' for " + Tag;
    // Unsigned values and unsigned hex for signed types are bit patterns of
    // the width; decimal or negative signed values must fit the signed range.
    const bool BitPattern = k.Type == DeType::Uint || (Hex && v[0] != '+' && !Negative);
    const U128 Limit = BitPattern ? Max : Negative ? U128(1) << (Bits - 1) : Max >> 1;
    if (Overflow || n > Limit) return "value " + v + " is too large for " + Tag;
    De.Data = BigEndian(Negative ? U128(0) - n : n, k.Width);
    return "";
}

std::string ReadUuid(const std::string& v, const char* UuidBits, DataElement& De)
{
    std::string Digits;
    const bool Prefixed = HasHexPrefix(v);
    if (v.size() == 36 && v[8] == '-' && v[13] == '-' && v[18] == '-' && v[23] == '-') {
        for (size_t i = 0; i < v.size(); ++i)
            if (i != 8 && i != 13 && i != 18 && i != 23) Digits += v[i];
    } else {
        Digits = Prefixed ? v.substr(2) : v;
    }
    if (Digits.empty() || (Digits.size() > 8 && Digits.size() != 32)) return "bad UUID '" + v + "'";
    const size_t Given = Digits.size() == 32 ? 16 : 4;
    Digits.insert(0, Given * 2 - Digits.size(), '0');
    if (!ParseHexBytes(Digits, De.Data)) return "bad UUID '" + v + "'";
    // A short UUID is 16-bit when its value fits, whatever the number of
    // digits (0x00001101 is 0x1101); bits="32" keeps a 32-bit one so.
    const std::string_view Bits = UuidBits ? UuidBits : "";
    const bool Fits16 = Given == 4 && De.Data[0] == 0 && De.Data[1] == 0;
    if (UuidBits && (Given == 16 || (Bits != "16" && Bits != "32") || (Bits == "16" && !Fits16)))
        return "bits=\"" + std::string(Bits) + "\" does not fit UUID '" + v + "'";
    const size_t Width = Given == 16 ? 16 : Bits == "32" || !Fits16 ? 4 : 2;
    De.Data.erase(De.Data.begin(), De.Data.end() - std::ptrdiff_t(Width));
    De.SizeIndex = SizeIndexOfWidth(Width);
    return "";
}

std::string ReadText(const ValueKind& k, const std::string& v, const char* Encoding,
                     const std::string& Tag, DataElement& De)
{
    const std::string_view e = Encoding ? Encoding : "normal";
    // Other readers keep a url's value as it stands whatever the
    // encoding says, so such a file would mean two different URLs.
    if (k.Type == DeType::Url && e != "normal")
        return "encoding '" + std::string(e) + "' on <url>: a URL is written as it is";
    if (e == "hex") {
        if (!ParseHexBytes(v, De.Data)) return "bad hex string '" + v + "' in " + Tag;
    } else if (e == "normal") {
        De.Data.assign(v.begin(), v.end());
    } else {
        return "unknown encoding '" + std::string(e) + "' on " + Tag + " (hex or normal)";
    }
    return "";
}

bool CRecordXmlParser::StartValue(std::string_view Name, const XML_Char** Atts, Frame& f)
{
    const std::string Tag = "<" + std::string(Name) + ">";
    const ValueKind* k = FindKind(Name);
    if (!k) {
        Refuse("unknown element " + Tag);
        return false;
    }
    const VALUE_ATTRIBUTES A = ReadValueAttributes(*k, Atts);
    const bool NeedsValue =
        k->Type != DeType::Nil && k->Type != DeType::Sequence && k->Type != DeType::Alternative;
    if (NeedsValue && !A.Value) {
        Refuse(Tag + " without value");
        return false;
    }
    DataElement& De = f.De;
    De.Type = k->Type;
    if (A.LengthBits) {
        const std::string_view lb = A.LengthBits;
        f.LengthBits = lb == "8" ? 8 : lb == "16" ? 16 : lb == "32" ? 32 : 0;
        if (!f.LengthBits) {
            Refuse("lengthbits must be 8, 16 or 32, not '" + std::string(lb) + "'");
            return false;
        }
    }
    const std::string v = A.Value ? A.Value : "";
    std::string Bad;
    switch (k->Type) {
    case DeType::Nil:
    case DeType::Sequence:
    case DeType::Alternative:
    case DeType::Reserved:
        break;
    case DeType::Bool:
        Bad = ReadBoolean(v, De);
        break;
    case DeType::Uint:
    case DeType::Int:
        Bad = ReadNumber(*k, v, Tag, De);
        break;
    case DeType::Uuid:
        Bad = ReadUuid(v, A.UuidBits, De);
        break;
    case DeType::Text:
    case DeType::Url:
        Bad = ReadText(*k, v, A.Encoding, Tag, De);
        break;
    }
    if (!Bad.empty()) Refuse(Bad);
    return Bad.empty();
}

void CRecordXmlParser::End()
{
    if (m_Failed) return;
    Frame f = std::move(m_Stack.back());
    m_Stack.pop_back();
    if (f.Kind == FrameKind::Record) {
        m_Done = true;
        return;
    }
    Frame& Parent = m_Stack.back();
    if (f.Kind == FrameKind::Attribute) {
        if (!f.HasValue) return Refuse("attribute " + Hex16(f.Id) + " has no value");
        const size_t Size = EncodedSize(f.De);
        if (Size > MAX_ATTRIBUTE_VALUE_SIZE)
            return Refuse("value of attribute " + Hex16(f.Id) + " is " + std::to_string(Size) +
                          " bytes, larger than the " + std::to_string(MAX_ATTRIBUTE_VALUE_SIZE) +
                          " bytes a record may hold");
        // The handle of a dumped record is read and dropped: the server that
        // loads the record gives it a handle of its own.
        if (f.Id != ATTR_SERVICE_RECORD_HANDLE)
            m_Record.Attributes.push_back({f.Id, std::move(f.De)});
        return;
    }
    DataElement& De = f.De;
    if (De.IsContainer() || De.IsString()) {
        const size_t Len = ContentLength(De);
        De.SizeIndex = MinimalLengthSizeIndex(Len);
        if (f.LengthBits) {
            const uint8_t Si = f.LengthBits == 8 ? 5 : f.LengthBits == 16 ? 6 : 7;
            if (Si < De.SizeIndex)
                return Refuse("<" + f.Name + "> of " + std::to_string(Len) +
                              " bytes does not fit a " + std::to_string(f.LengthBits) +
                              "-bit length field");
            De.SizeIndex = Si;
        }
    }
    if (Parent.Kind == FrameKind::Attribute)
        Parent.De = std::move(De);
    else
        Parent.De.Members.push_back(std::move(De));
}

void CRecordXmlParser::Text(std::string_view s)
{
    if (m_Failed) return;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            std::string Shown(s.substr(0, 20));
            return Refuse("unexpected text '" + Shown + "'; values go in value=\"...\"");
        }
}

bool CRecordXmlParser::Parse(std::string_view Xml, ServiceRecord& Out, RecordFileError& Err)
{
    if (!m_Parser) {
        Err = {0, 0, "out of memory creating the XML parser"};
        return false;
    }
    XML_SetUserData(m_Parser, this);
    XML_SetElementHandler(m_Parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(m_Parser, OnText);
    XML_SetStartDoctypeDeclHandler(m_Parser, OnDoctype);
    XML_SetParamEntityParsing(m_Parser, XML_PARAM_ENTITY_PARSING_NEVER);
    if (Xml.size() > size_t(INT32_MAX)) {
        Err = {0, 0, "file too large"};
        return false;
    }
    const XML_Status St = XML_Parse(m_Parser, Xml.data(), int(Xml.size()), XML_TRUE);
    if (m_Failed) {
        Err = m_Err;
        return false;
    }
    if (St != XML_STATUS_OK) {
        Err.Line = unsigned(XML_GetCurrentLineNumber(m_Parser));
        Err.Column = unsigned(XML_GetCurrentColumnNumber(m_Parser)) + 1;
        Err.Message = std::string("XML: ") + XML_ErrorString(XML_GetErrorCode(m_Parser));
        return false;
    }
    if (!m_Done) {
        Err = {1, 0, "no <record> found"};
        return false;
    }
    Out = std::move(m_Record);
    return true;
}

// ---- export ----

void AppendEscaped(std::string& Out, const std::vector<uint8_t>& Bytes)
{
    for (uint8_t c : Bytes) {
        switch (c) {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        // Literal white space in an attribute value is normalised to a space
        // by every XML reader; character references survive.
        case '\t':
            Out += "&#9;";
            break;
        case '\n':
            Out += "&#10;";
            break;
        case '\r':
            Out += "&#13;";
            break;
        default:
            Out += char(c);
        }
    }
}

// Text that XML can carry as it is: UTF-8 without control characters other
// than tab, line feed and carriage return (a NUL, for one, cannot appear).
// DEL is an XML character too, but text holding it is written in hex, where
// it shows; a url has no such form and keeps it (AllowDel).
bool XmlSafe(const std::vector<uint8_t>& Bytes, bool AllowDel = false)
{
    for (uint8_t c : Bytes)
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c == 0x7F && !AllowDel))
            return false;
    if (!IsUtf8(Bytes)) return false;
    // U+FFFE and U+FFFF are not XML characters (EF BF BE / EF BF BF).
    for (size_t i = 0; i + 2 < Bytes.size(); ++i)
        if (Bytes[i] == 0xEF && Bytes[i + 1] == 0xBF && (Bytes[i + 2] & 0xFE) == 0xBE) return false;
    return true;
}

std::string HexNumber(const std::vector<uint8_t>& Data)
{
    return "0x" + HexDigits(Data);
}

// 128-bit numbers in the form every reader of these files takes: 32 hex
// digits, least significant byte first.
std::string Hex128(const std::vector<uint8_t>& Data)
{
    return HexDigits(std::vector<uint8_t>(Data.rbegin(), Data.rend()));
}

// Signed numbers up to 64 bits in decimal, 128-bit ones as Hex128.
std::string SignedValue(const std::vector<uint8_t>& Data)
{
    if (Data.size() == 16) return Hex128(Data);
    const U128 Raw = BigEndianValue(Data);
    const unsigned Bits = unsigned(Data.size() * 8);
    if (!(Raw >> (Bits - 1) & 1)) return U128Decimal(Raw);
    // Appended rather than "-" + ...: GCC 12 at -O3 reports a bogus overlap in the latter.
    std::string Text = "-";
    return Text.append(U128Decimal((U128(1) << Bits) - Raw));
}

bool ExportText(const DataElement& De, const std::string& Pad, const std::string& LengthBits,
                std::string& Out, std::string& Err)
{
    const char* Tag = De.Type == DeType::Text ? "text" : "url";
    // A url's encoding attribute is not honoured by other readers: a URL
    // that XML cannot carry as it is has no form that reads back the same.
    const bool Plain = XmlSafe(De.Data, De.Type == DeType::Url);
    if (De.Type == DeType::Url && !Plain) {
        Err = "a url holding bytes XML cannot carry (a control byte or bad UTF-8) has no "
              "record-file form";
        return false;
    }
    Out += Pad + "<" + Tag;
    if (Plain) {
        Out += " value=\"";
        AppendEscaped(Out, De.Data);
        Out += "\"";
    } else {
        Out += " encoding=\"hex\" value=\"" + HexDigits(De.Data) + "\"";
    }
    Out += LengthBits + " />\n";
    return true;
}

bool ExportValue(const DataElement& De, unsigned Indent, std::string& Out, std::string& Err)
{
    const std::string Pad(Indent * 2, ' ');
    std::string LengthBits;
    if (De.IsContainer() || De.IsString()) {
        const size_t Len = ContentLength(De);
        if (De.SizeIndex != MinimalLengthSizeIndex(Len))
            LengthBits = De.SizeIndex == 5   ? " lengthbits=\"8\""
                         : De.SizeIndex == 6 ? " lengthbits=\"16\""
                                             : " lengthbits=\"32\"";
    }
    switch (De.Type) {
    case DeType::Nil:
        Out += Pad + "<nil />\n";
        return true;
    case DeType::Bool:
        if (De.Data.size() == 1 && De.Data[0] <= 1)
            Out += Pad + "<boolean value=\"" + (De.Data[0] ? "true" : "false") + "\" />\n";
        else
            Out += Pad + "<boolean value=\"" + HexNumber(De.Data) + "\" />\n";
        return true;
    case DeType::Uint:
        Out += Pad + "<uint" + std::to_string(De.Data.size() * 8) + " value=\"" +
               (De.Data.size() == 16 ? Hex128(De.Data) : HexNumber(De.Data)) + "\" />\n";
        return true;
    case DeType::Int:
        Out += Pad + "<int" + std::to_string(De.Data.size() * 8) + " value=\"" +
               SignedValue(De.Data) + "\" />\n";
        return true;
    case DeType::Uuid: {
        // A 32-bit UUID whose value fits 16 bits has no plain form: every
        // reader makes 0x00001101 a 16-bit UUID. bits="32" keeps it for us.
        const bool Narrow = De.Data.size() == 4 && De.Data[0] == 0 && De.Data[1] == 0;
        Out += Pad + "<uuid value=\"" +
               (De.Data.size() == 16 ? FormatUuid128(De.Data.data()) : HexNumber(De.Data)) +
               (Narrow ? "\" bits=\"32" : "") + "\" />\n";
        return true;
    }
    case DeType::Text:
    case DeType::Url:
        return ExportText(De, Pad, LengthBits, Out, Err);
    case DeType::Sequence:
    case DeType::Alternative: {
        const char* Tag = De.Type == DeType::Sequence ? "sequence" : "alternate";
        if (De.Members.empty() && LengthBits.empty()) {
            Out += Pad + "<" + Tag + " />\n";
            return true;
        }
        Out += Pad + "<" + Tag + LengthBits + ">\n";
        for (const DataElement& m : De.Members)
            if (!ExportValue(m, Indent + 1, Out, Err)) return false;
        Out += Pad + "</" + Tag + ">\n";
        return true;
    }
    case DeType::Reserved:
        Err = "a value of data element type 9 has no record-file form";
        return false;
    }
    Err = "unknown data element type";
    return false;
}

} // namespace

std::string RecordFileError::ToString() const
{
    std::string s = "line " + std::to_string(Line);
    if (Column) s += ", column " + std::to_string(Column);
    return s + ": " + Message;
}

bool ImportRecordXml(std::string_view Xml, ServiceRecord& Out, RecordFileError& Err)
{
    CRecordXmlParser Parser;
    return Parser.Parse(Xml, Out, Err);
}

bool ImportRecordFile(const std::string& Path, ServiceRecord& Out, RecordFileError& Err)
{
    // stdio rather than a stream: a read error (a directory, say) must come
    // back as an error, not as an exception from the stream buffer.
    std::FILE* f = std::fopen(Path.c_str(), "rb");
    if (!f) {
        Err = {0, 0, "cannot open " + Path + ": " + std::strerror(errno)};
        return false;
    }
    std::string Text;
    char Buf[4096];
    size_t n;
    while ((n = std::fread(Buf, 1, sizeof Buf, f)) > 0)
        Text.append(Buf, n);
    const bool Failed = std::ferror(f);
    const int Error = errno;
    std::fclose(f);
    if (Failed) {
        Err = {0, 0, "cannot read " + Path + ": " + std::strerror(Error)};
        return false;
    }
    return ImportRecordXml(Text, Out, Err);
}

bool ExportRecordXml(const ServiceRecord& Record, std::string& Out, std::string& Err)
{
    std::string Xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n\n<record>\n";
    for (const ServiceAttribute& a : Record.Attributes) {
        if (a.Id == ATTR_SERVICE_RECORD_HANDLE) continue;
        if (EncodedSize(a.Value) == 0) {
            Err = "attribute " + Hex16(a.Id) + ": value does not encode";
            return false;
        }
        char Id[8];
        std::snprintf(Id, sizeof Id, "0x%04x", a.Id);
        Xml += "  <attribute id=\"" + std::string(Id) + "\">\n";
        std::string ValueErr;
        if (!ExportValue(a.Value, 2, Xml, ValueErr)) {
            Err = "attribute " + Hex16(a.Id) + ": " + ValueErr;
            return false;
        }
        Xml += "  </attribute>\n";
    }
    Xml += "</record>\n";
    Out = std::move(Xml);
    return true;
}

} // namespace kivtool
