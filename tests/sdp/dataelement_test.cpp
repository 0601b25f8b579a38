// Data elements: measured sizes and the well-formedness check.
#include "sdpfixture.h"

#include "kivsdpioctl.h"

namespace {

struct DE_CASE {
    const char* Name;
    Bytes Data;
    uint32_t MaxLen; // 0: the data's own length
    uint32_t Size;
    bool Verifies; // VerifyDataElement over the whole data
};

const DE_CASE DataElements[] = {
    {"sequence of one 16-bit UUID", {0x35, 0x03, 0x19, 0x10, 0x00}, 0, 5, true},
    {"empty sequence", {0x35, 0x00}, 0, 2, true},
    {"sequence header alone", {0x35}, 1, 0, false},
    {"16-bit uint", {0x09, 0x01, 0x00}, 0, 3, true},
    {"16-bit uint checked with one byte more", {0x09, 0x01, 0x00, 0x00}, 0, 3, false},
    {"8-bit UUID is no element", {0x18, 0x01}, 0, 0, false},
    {"64-bit UUID is no element", {0x1B, 1, 2, 3, 4, 5, 6, 7, 8}, 0, 0, false},
    {"nil with size index 1", {0x01}, 0, 0, false},
    {"nil", {0x00}, 0, 1, true},
    {"boolean", {0x28, 0x01}, 0, 2, true},
    {"boolean with size index 1", {0x29, 0x01, 0x00}, 0, 0, false},
    {"text 25 05 + five bytes", {0x25, 0x05, 'h', 'e', 'l', 'l', 'o'}, 0, 7, true},
    {"text 25 05 measured with MaxLen 2", {0x25, 0x05, 'h', 'e', 'l', 'l', 'o'}, 2, 7, true},
    {"type 9 size index 0", {0x48, 0x00}, 0, 0, false},
    {"type 9 size index 5 is a leaf", {0x4D, 0x02, 0x00, 0x00}, 0, 4, true},
    {"member of type 31", {0x35, 0x04, 0x09, 0x01, 0x00, 0xFF}, 0, 6, false},
    {"member runs past the sequence", {0x35, 0x03, 0x0A, 0x00, 0x00}, 0, 5, false},
    {"128-bit signed integer", Cat({{0x14}, Bytes(16, 0xAA)}), 0, 17, true},
    {"type 10 is no element", {0x50}, 0, 0, false},
    {"text with 16-bit length, field cut", {0x26, 0x00}, 0, 0, false},
    {"text with 32-bit length", {0x27, 0, 0, 0, 1, 'x'}, 0, 6, true},
    {"url", {0x45, 0x01, 'u'}, 0, 3, true},
    {"alternative inside a sequence", {0x35, 0x05, 0x3D, 0x03, 0x19, 0x11, 0x01}, 0, 7, true},
    {"alternative with 16-bit length", {0x3E, 0x00, 0x03, 0x09, 0x00, 0x01}, 0, 6, true},
    {"sequence with 32-bit length", {0x37, 0, 0, 0, 2, 0x28, 0x00}, 0, 7, true},
    {"nested sequence truncated inside", {0x35, 0x04, 0x35, 0x03, 0x19, 0x11}, 0, 6, false},
    {"32-bit length that wraps", {0x27, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, false},
};

} // namespace

TEST_F(SdpCoreFixture, DataElementsMeasureAndVerifyAsTheirTypeSays)
{
    for (const DE_CASE& c : DataElements) {
        SCOPED_TRACE(c.Name);
        const uint32_t MaxLen = c.MaxLen ? c.MaxLen : static_cast<uint32_t>(c.Data.size());
        EXPECT_EQ(GetDataElementSize(c.Data.data(), MaxLen), c.Size);
        EXPECT_EQ(VerifyDataElement(c.Data.data(), static_cast<uint32_t>(c.Data.size())),
                  c.Verifies);
    }
}

TEST_F(SdpCoreFixture, ElementsAboveFiveHundredTwelveBytesAreRefusedWithAWarning)
{
    Bytes Text513 = Cat({{0x26, 0x01, 0xFE}, Bytes(0x1FE, 'a')});
    EXPECT_EQ(GetDataElementSize(Text513.data(), 3), 0u);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK,
                        "kivdsp : GetDataElementSize() - Error! Data element too long (513)\n"));
    EXPECT_FALSE(VerifyDataElement(Text513.data(), static_cast<uint32_t>(Text513.size())));

    Bytes Text512 = Cat({{0x26, 0x01, 0xFD}, Bytes(0x1FD, 'a')});
    EXPECT_EQ(GetDataElementSize(Text512.data(), 3), 512u);
    EXPECT_TRUE(VerifyDataElement(Text512.data(), 512));

    // The warning sits in the WARN zone: with WARN off nothing is printed.
    ClearPrints();
    SdpSetZoneMask(SDP_ZONE_ERROR_MASK);
    EXPECT_EQ(GetDataElementSize(Text513.data(), 3), 0u);
    EXPECT_TRUE(Lines.empty());
}

TEST_F(SdpCoreFixture, DeepestNestingAllowedBySizeVerifies)
{
    // Sequences around one nil, as deep as 512 bytes allow (8-bit lengths
    // while they fit, then 16-bit ones).
    Bytes e = {0x00};
    int Depth = 0;
    for (;;) {
        const size_t n = e.size();
        Bytes Outer = n <= 0xFF
                          ? Bytes{0x35, static_cast<uint8_t>(n)}
                          : Bytes{0x36, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        if (Outer.size() + n > 512) break;
        e = Cat({Outer, e});
        Depth++;
    }
    ASSERT_GE(Depth, 200);
    const uint32_t Len = static_cast<uint32_t>(e.size());
    EXPECT_TRUE(VerifyDataElement(e.data(), Len));
    // Breaking the innermost element breaks the whole.
    e.back() = 0x01;
    EXPECT_FALSE(VerifyDataElement(e.data(), Len));
}

TEST_F(SdpCoreFixture, VerificationReadsNothingPastItsLength)
{
    // The claimed member length points past Length: the check must fail
    // without touching the byte after the buffer (ASan watches the heap copy).
    const Bytes Src = {0x35, 0x02, 0x25, 0x07};
    auto* p = new uint8_t[Src.size()];
    std::copy(Src.begin(), Src.end(), p);
    EXPECT_FALSE(VerifyDataElement(p, 4));
    EXPECT_EQ(GetDataElementSize(p + 2, 2), 9u);
    delete[] p;
}
