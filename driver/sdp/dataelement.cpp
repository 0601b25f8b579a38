// Measuring and checking SDP data elements.
#include "dataelement.h"

#include "bytes.h"
#include "kivsdpioctl.h"
#include "sdpdebug.h"

uint32_t SdpDeHeaderSize(uint8_t Header)
{
    switch (SdpDeSizeIndex(Header)) {
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

// Fixed total sizes of the integer types by size index 0..4.
static const uint32_t IntegerSizes[5] = {2, 3, 5, 9, 17};

// Warn: print the warning on an element over the size limit.
static uint32_t MeasureElement(const uint8_t* pData, uint32_t MaxLen, bool Warn)
{
    if (!pData || MaxLen == 0) return 0;
    const uint8_t Type = SdpDeType(pData[0]);
    const uint8_t SizeIndex = SdpDeSizeIndex(pData[0]);

    switch (Type) {
    case SDP_DE_NIL:
        return SizeIndex == 0 ? 1 : 0;
    case SDP_DE_UINT:
    case SDP_DE_INT:
        return SizeIndex <= 4 ? IntegerSizes[SizeIndex] : 0;
    case SDP_DE_UUID:
        return (SizeIndex == 1 || SizeIndex == 2 || SizeIndex == 4) ? IntegerSizes[SizeIndex] : 0;
    case SDP_DE_BOOL:
        return SizeIndex == 0 ? 2 : 0;
    case SDP_DE_TEXT:
    case SDP_DE_SEQUENCE:
    case SDP_DE_ALTERNATIVE:
    case SDP_DE_URL:
    case SDP_DE_RESERVED:
        break;
    default:
        return 0;
    }

    // Variable-length types: only size indices 5..7 carry a length field, and
    // it is read only when MaxLen says its bytes are there.
    const uint32_t HeaderSize = SdpDeHeaderSize(pData[0]);
    if (HeaderSize == 0 || MaxLen < HeaderSize) return 0;
    CByteReader Reader(pData + 1, HeaderSize - 1);
    uint64_t n = 0;
    if (SizeIndex == 5)
        n = Reader.ReadU8();
    else if (SizeIndex == 6)
        n = Reader.ReadBe16();
    else
        n = Reader.ReadBe32();

    const uint64_t Total = HeaderSize + n;
    if (Total > SDP_MAX_DATA_ELEMENT_SIZE) {
        if (!Warn) return 0;
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivdsp : GetDataElementSize() - Error! Data element too long (%d)\n",
                    static_cast<int>(static_cast<uint32_t>(Total)));
        return 0;
    }
    return static_cast<uint32_t>(Total);
}

uint32_t GetDataElementSize(const uint8_t* pData, uint32_t MaxLen)
{
    return MeasureElement(pData, MaxLen, true);
}

uint32_t SdpQuietElementSize(const uint8_t* pData, uint32_t MaxLen)
{
    return MeasureElement(pData, MaxLen, false);
}

static bool VerifyElement(const uint8_t* pData, uint32_t Length, bool Warn)
{
    const uint32_t Size = MeasureElement(pData, Length, Warn);
    if (Size == 0 || Size != Length) return false;

    const uint8_t Type = SdpDeType(pData[0]);
    if (Type != SDP_DE_SEQUENCE && Type != SDP_DE_ALTERNATIVE) return true;

    // The 512-byte bound on the outer element bounds the recursion depth: each
    // level costs at least two header bytes.
    CByteReader Members(pData, Length);
    Members.Skip(SdpDeHeaderSize(pData[0]));
    while (Members.Remaining() > 0) {
        const uint32_t Left = static_cast<uint32_t>(Members.Remaining());
        const uint32_t MemberSize = MeasureElement(Members.Current(), Left, Warn);
        if (MemberSize == 0 || MemberSize > Left) return false;
        const CByteReader Member = Members.Take(MemberSize);
        if (!VerifyElement(Member.Current(), MemberSize, Warn)) return false;
    }
    return true;
}

bool VerifyDataElement(const uint8_t* pData, uint32_t Length)
{
    return VerifyElement(pData, Length, true);
}

bool SdpQuietVerifyElement(const uint8_t* pData, uint32_t Length)
{
    return VerifyElement(pData, Length, false);
}
