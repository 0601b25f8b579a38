// Application-side model of SDP data elements: a tree parsed from the encoded
// bytes that encodes back to exactly the same bytes. Used by the record files,
// the pretty-printer and the control-request helpers of the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivtool {

// Type descriptor of the header byte (bits 7..3). Reserved is type 9: the
// server stores it like text, so a tool must be able to show it.
enum class DeType : uint8_t {
    Nil = 0,
    Uint = 1,
    Int = 2,
    Uuid = 3,
    Text = 4,
    Bool = 5,
    Sequence = 6,
    Alternative = 7,
    Url = 8,
    Reserved = 9,
};

// One data element. The size index is kept as it was encoded, so that a
// value whose length field is wider than needed re-encodes byte for byte.
//
//  - Nil: no data. Bool: one byte (0 false, 1 true; other bytes are kept).
//  - Uint, Int, Uuid: Data holds the big-endian number, 1..16 bytes as the
//    size index says (UUIDs 2, 4 or 16).
//  - Text, Url, Reserved: Data holds the bytes as they are (no terminator
//    is added or removed).
//  - Sequence, Alternative: Members holds the elements in order.
//
// For Text, Url, Reserved, Sequence and Alternative the size index is 5, 6 or
// 7: a length field of 8, 16 or 32 bits.
struct DataElement {
    DeType Type = DeType::Nil;
    uint8_t SizeIndex = 0;
    std::vector<uint8_t> Data;
    std::vector<DataElement> Members;

    bool operator==(const DataElement&) const = default;

    bool IsContainer() const { return Type == DeType::Sequence || Type == DeType::Alternative; }
    bool IsString() const
    {
        return Type == DeType::Text || Type == DeType::Url || Type == DeType::Reserved;
    }
    // Header byte (type << 3 | size index).
    uint8_t Header() const { return uint8_t(uint8_t(Type) << 3 | SizeIndex); }
    // The number of a Uint/Int/Uuid up to 64 bits, or the bool byte;
    // 0 for anything else. Int is returned as its bit pattern.
    uint64_t Number() const;
    // The 16- or 32-bit value of a UUID that is one, or of a 128-bit UUID
    // built on the Bluetooth base UUID; false for other values.
    bool ShortUuid(uint32_t& Value) const;
};

// Size index of a fixed-width number of 1, 2, 4, 8 or 16 bytes (0..4).
uint8_t SizeIndexOfWidth(size_t Bytes);
// Bytes of data of a number or UUID with this size index (1, 2, 4, 8, 16).
size_t WidthOfSizeIndex(uint8_t SizeIndex);
// Smallest size index (5, 6, 7) whose length field holds Length.
uint8_t MinimalLengthSizeIndex(size_t Length);
// What the length field of a container or string counts: the encoded sizes of its members, or
// its bytes of data.
size_t ContentLength(const DataElement& De);

// Factories for values built by tools; variable-length values get the
// smallest length field (Encode computes it from the contents).
DataElement MakeNil();
DataElement MakeUint(size_t WidthBytes, uint64_t Value);
DataElement MakeInt(size_t WidthBytes, int64_t Value);
DataElement MakeUuid16(uint16_t Value);
DataElement MakeUuid32(uint32_t Value);
DataElement MakeUuid128(const uint8_t (&Value)[16]);
DataElement MakeText(std::string_view Text);
DataElement MakeUrl(std::string_view Url);
DataElement MakeBool(bool Value);
DataElement MakeSequence(std::vector<DataElement> Members);
DataElement MakeAlternative(std::vector<DataElement> Members);

// Result of parsing or encoding: an empty Error means success. Offset is the
// byte offset of the element at fault, for parse errors.
struct DeResult {
    std::string Error;
    size_t Offset = 0;
    explicit operator bool() const { return Error.empty(); }
};

// Parses exactly one data element that fills all Length bytes. On failure Out
// is left unchanged and the result names the fault and its byte offset:
// unknown type, size index not allowed for the type, length field or data cut
// short, member running past its container, or bytes after the element.
// Nesting deeper than MAX_DE_DEPTH is refused to bound the stack on untrusted
// input; a valid element of at most 512 bytes nests at most 256 deep.
DeResult ParseDataElement(const uint8_t* p, size_t Length, DataElement& Out);
// Parses the element that starts at p and may be followed by more bytes;
// Used receives its encoded size.
DeResult ParseDataElementPrefix(const uint8_t* p, size_t Length, DataElement& Out, size_t& Used);
constexpr unsigned MAX_DE_DEPTH = 1024;

// Encoded size of the element, or 0 when it cannot be encoded (see Encode).
size_t EncodedSize(const DataElement& De);
// Appends the encoding to Out. Fails (Out unchanged) when the data width does
// not match the size index, a size index is not allowed for the type, or a
// length does not fit its length field.
DeResult EncodeDataElement(const DataElement& De, std::vector<uint8_t>& Out);

// Largest element the SDP server stores as an attribute value.
constexpr size_t MAX_ATTRIBUTE_VALUE_SIZE = 512;

// Text of a 128-bit UUID as 8-4-4-4-12 lower-case hex digits.
std::string FormatUuid128(const uint8_t* p);
// Lower-case hex digits of the bytes, two per byte, no separator.
std::string HexDigits(const std::vector<uint8_t>& Bytes);
// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates
// or code points above U+10FFFF).
bool IsUtf8(const std::vector<uint8_t>& Bytes);

} // namespace kivtool
