// SDP data elements: measuring and checking the encoded form. Every value in
// the database and every list in a request goes through these two.
#pragma once

#include <cstdint>

// Data element types (header byte >> 3).
constexpr uint8_t SDP_DE_NIL = 0;
constexpr uint8_t SDP_DE_UINT = 1;
constexpr uint8_t SDP_DE_INT = 2;
constexpr uint8_t SDP_DE_UUID = 3;
constexpr uint8_t SDP_DE_TEXT = 4;
constexpr uint8_t SDP_DE_BOOL = 5;
constexpr uint8_t SDP_DE_SEQUENCE = 6;
constexpr uint8_t SDP_DE_ALTERNATIVE = 7;
constexpr uint8_t SDP_DE_URL = 8;
// Type 9 has no meaning assigned; it carries a length field like text.
constexpr uint8_t SDP_DE_RESERVED = 9;

// Largest data element the system handles.
constexpr uint32_t SDP_MAX_DATA_ELEMENT_SIZE = 512;

inline uint8_t SdpDeType(uint8_t Header)
{
    return static_cast<uint8_t>(Header >> 3);
}
inline uint8_t SdpDeSizeIndex(uint8_t Header)
{
    return static_cast<uint8_t>(Header & 7);
}

// Offset of the first member of a sequence or alternative (the header and
// length field), or 0 when the size index has no length field.
uint32_t SdpDeHeaderSize(uint8_t Header);

// Total encoded size (1..512) of the element at pData, or 0 when the bytes do
// not start a valid element of at most 512 bytes. MaxLen says how many bytes
// are readable and decides only whether the length field can be read: the
// result may exceed MaxLen, and callers that need the element inside a range
// compare themselves. Warns (WARN zone) on an element larger than 512 bytes.
uint32_t GetDataElementSize(const uint8_t* pData, uint32_t MaxLen);

// True when the Length bytes at pData are exactly one well-formed element,
// sequences and alternatives checked to the leaves. Reads only those bytes.
bool VerifyDataElement(const uint8_t* pData, uint32_t Length);

// The same two without the warning: for derived data the database keeps,
// which must not print what the walk it stands in for would not.
uint32_t SdpQuietElementSize(const uint8_t* pData, uint32_t MaxLen);
bool SdpQuietVerifyElement(const uint8_t* pData, uint32_t Length);
