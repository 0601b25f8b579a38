// Data-element tree: byte-exact round trips over every type and length-field
// width (through the tree and through a record file), and every refusal.
#include <gtest/gtest.h>

#include "sdpelement.h"
#include "sdprecordfile.h"

using namespace kivtool;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Cat(std::initializer_list<Bytes> Parts)
{
    Bytes b;
    for (const Bytes& p : Parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes Seq(const Bytes& Members)
{
    return Cat({{0x35, uint8_t(Members.size())}, Members});
}

struct ROUND_TRIP_CASE {
    const char* Name;
    Bytes Data;
};

const ROUND_TRIP_CASE RoundTrips[] = {
    {"nil", {0x00}},
    {"bool false", {0x28, 0x00}},
    {"bool true", {0x28, 0x01}},
    {"bool with an odd byte", {0x28, 0x02}},
    {"uint8", {0x08, 0xFF}},
    {"uint16", {0x09, 0x01, 0x02}},
    {"uint32", {0x0A, 0x00, 0x01, 0x00, 0x00}},
    {"uint64", {0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
    {"uint128", Cat({{0x0C}, Bytes(16, 0xFF)})},
    {"int8", {0x10, 0x80}},
    {"int16", {0x11, 0xFF, 0xFE}},
    {"int32", {0x12, 0x7F, 0xFF, 0xFF, 0xFF}},
    {"int64", {0x13, 0x80, 0, 0, 0, 0, 0, 0, 0}},
    {"int128", Cat({{0x14}, Bytes(15, 0xFF), {0xFE}})},
    {"int128 positive", Cat({{0x14, 0x7F}, Bytes(15, 0xFF)})},
    {"uuid16", {0x19, 0x11, 0x01}},
    {"uuid32", {0x1A, 0x00, 0x01, 0xA2, 0xB3}},
    {"uuid128", Cat({{0x1C, 0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80,
                      0x5F, 0x9B, 0x34, 0xFB}})},
    {"text, 8-bit length", {0x25, 0x02, 'h', 'i'}},
    {"text, 16-bit length", {0x26, 0x00, 0x02, 'h', 'i'}},
    {"text, 32-bit length", {0x27, 0x00, 0x00, 0x00, 0x02, 'h', 'i'}},
    {"text, empty", {0x25, 0x00}},
    {"text, 300 bytes needs 16 bits", Cat({{0x26, 0x01, 0x2C}, Bytes(300, 'x')})},
    {"text with NUL and newline", {0x25, 0x04, 'a', 0x00, '\n', 'b'}},
    {"text, not UTF-8", {0x25, 0x02, 0xC3, 0x28}},
    {"text with markup and quotes", {0x25, 0x06, '<', '&', '"', '\'', '>', '\t'}},
    {"text, UTF-8", {0x25, 0x03, 'e', 0xC3, 0xA9}},
    {"url, 8-bit length", {0x45, 0x03, 'a', '/', 'b'}},
    {"url, 16-bit length", {0x46, 0x00, 0x01, 'u'}},
    {"url, 32-bit length", {0x47, 0x00, 0x00, 0x00, 0x01, 'u'}},
    {"sequence, 8-bit length", {0x35, 0x03, 0x19, 0x11, 0x01}},
    {"sequence, 16-bit length", {0x36, 0x00, 0x03, 0x19, 0x11, 0x01}},
    {"sequence, 32-bit length", {0x37, 0x00, 0x00, 0x00, 0x03, 0x19, 0x11, 0x01}},
    {"sequence, empty", {0x35, 0x00}},
    {"sequence, empty with 32-bit length", {0x37, 0x00, 0x00, 0x00, 0x00}},
    {"alternative, 8-bit length", {0x3D, 0x02, 0x08, 0x01}},
    {"alternative, 16-bit length", {0x3E, 0x00, 0x02, 0x08, 0x01}},
    {"alternative, 32-bit length", {0x3F, 0x00, 0x00, 0x00, 0x02, 0x08, 0x01}},
    {"nested mix", Seq(Cat({Seq({0x19, 0x01, 0x00}),
                            {0x3D, 0x04, 0x28, 0x01, 0x00, 0x00},
                            {0x36, 0x00, 0x02, 0x10, 0xFF}}))},
};

} // namespace

// Parsed, written to a record file, read back and encoded: the same bytes, the same size.
TEST(DataElementTree, EveryTypeAndWidthReencodesByteExactThroughARecordFile)
{
    for (const ROUND_TRIP_CASE& c : RoundTrips) {
        SCOPED_TRACE(c.Name);
        ServiceRecord Rec;
        Rec.Attributes.push_back({0x0100, {}});
        ASSERT_TRUE(ParseDataElement(c.Data.data(), c.Data.size(), Rec.Attributes[0].Value));
        std::string Xml, Err;
        ASSERT_TRUE(ExportRecordXml(Rec, Xml, Err)) << Err;
        ServiceRecord Back;
        RecordFileError FileErr;
        ASSERT_TRUE(ImportRecordXml(Xml, Back, FileErr)) << FileErr.ToString() << "\n" << Xml;
        EXPECT_EQ(Back, Rec) << Xml;
        Bytes Out;
        ASSERT_TRUE(EncodeDataElement(Back.Attributes[0].Value, Out));
        EXPECT_EQ(Out, c.Data) << Xml;
        EXPECT_EQ(EncodedSize(Back.Attributes[0].Value), c.Data.size());
    }
}

TEST(DataElementTree, ReservedTypeParsesButHasNoRecordFileForm)
{
    const Bytes Data = {0x4D, 0x02, 0xAB, 0xCD};
    ServiceRecord Rec;
    Rec.Attributes.push_back({0x0200, {}});
    ASSERT_TRUE(ParseDataElement(Data.data(), Data.size(), Rec.Attributes[0].Value));
    EXPECT_EQ(Rec.Attributes[0].Value.Type, DeType::Reserved);
    Bytes Out;
    ASSERT_TRUE(EncodeDataElement(Rec.Attributes[0].Value, Out));
    EXPECT_EQ(Out, Data);
    std::string Xml = "untouched", Err;
    EXPECT_FALSE(ExportRecordXml(Rec, Xml, Err));
    EXPECT_EQ(Err, "attribute 0x0200: a value of data element type 9 has no record-file form");
    EXPECT_EQ(Xml, "untouched");
}

namespace {

struct PARSE_ERROR_CASE {
    Bytes Data;
    const char* Error;
    size_t Offset;
};

const PARSE_ERROR_CASE ParseErrors[] = {
    {{}, "data element expected, no bytes left", 0},
    {{0x50}, "unknown data element type 10 (header 0x50)", 0},
    {{0xFF}, "unknown data element type 31 (header 0xFF)", 0},
    {{0x01}, "size index 1 is not allowed for type 0 (header 0x01)", 0},
    {{0x18, 0x01}, "size index 0 is not allowed for type 3 (header 0x18)", 0},
    {{0x1B, 1, 2, 3, 4, 5, 6, 7, 8}, "size index 3 is not allowed for type 3 (header 0x1B)", 0},
    {{0x29, 0, 0}, "size index 1 is not allowed for type 5 (header 0x29)", 0},
    {{0x24}, "size index 4 is not allowed for type 4 (header 0x24)", 0},
    {{0x09, 0x01}, "element at offset 0 claims 2 bytes of data, 1 are there", 0},
    {{0x26, 0x00}, "length field of the element at offset 0 is cut short", 0},
    {{0x25, 0x05, 'a'}, "element at offset 0 claims 5 bytes of data, 1 are there", 0},
    {{0x35, 0x03, 0x0A, 0x00, 0x00}, "element at offset 2 claims 4 bytes of data, 2 are there", 2},
    {{0x35, 0x04, 0x09, 0x01, 0x00, 0xFF}, "unknown data element type 31 (header 0xFF)", 5},
    {{0x09, 0x01, 0x00, 0x00}, "1 bytes follow the data element", 3},
    {{0x08, 0x01, 0x08, 0x02}, "2 bytes follow the data element", 2},
};

} // namespace

TEST(DataElementTree, MalformedBytesAreRefusedWithWhereAndWhy)
{
    for (const PARSE_ERROR_CASE& c : ParseErrors) {
        SCOPED_TRACE(c.Error);
        DataElement De = MakeText("untouched");
        const DataElement Before = De;
        DeResult r = ParseDataElement(c.Data.data(), c.Data.size(), De);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(r.Offset, c.Offset);
        EXPECT_EQ(De, Before);
    }
}

// Sequences nested n deep, each with a 32-bit length so the nesting is not
// bounded by an 8-bit field.
static Bytes Nested(unsigned n)
{
    Bytes b;
    for (unsigned i = 0; i < n; ++i) {
        const uint32_t Len = uint32_t(5 * (n - 1 - i));
        b.insert(b.end(),
                 {0x37, uint8_t(Len >> 24), uint8_t(Len >> 16), uint8_t(Len >> 8), uint8_t(Len)});
    }
    return b;
}

TEST(DataElementTree, NestingIsBoundedOnUntrustedBytes)
{
    DataElement De;
    const Bytes Deep = Nested(MAX_DE_DEPTH + 2);
    DeResult r = ParseDataElement(Deep.data(), Deep.size(), De);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.Error, "data elements nested deeper than 1024");

    // 128 sequences of nothing but headers, the deepest an 8-bit length allows.
    Bytes Deepest;
    for (unsigned i = 0; i < 128; ++i)
        Deepest.insert(Deepest.end(), {0x35, uint8_t(254 - 2 * i)});
    DeResult Ok = ParseDataElement(Deepest.data(), Deepest.size(), De);
    ASSERT_TRUE(Ok) << Ok.Error;
    Bytes Out;
    ASSERT_TRUE(EncodeDataElement(De, Out));
    EXPECT_EQ(Out, Deepest);
}

TEST(DataElementTree, EncodeRefusesInconsistentTrees)
{
    DataElement WrongWidth = MakeUint(2, 1);
    WrongWidth.Data.push_back(0);
    DataElement TooLongFor8Bits = MakeText(std::string(300, 'x'));
    TooLongFor8Bits.SizeIndex = 5;
    DataElement BadSizeIndex = MakeUuid16(0x1101);
    BadSizeIndex.SizeIndex = 0;
    DataElement NilWithData = MakeNil();
    NilWithData.Data.push_back(1);
    DataElement InnerBad = MakeSequence({MakeBool(true), WrongWidth});

    struct {
        const char* Name;
        const DataElement& De;
        const char* Error;
    } Cases[] = {
        {"uint16 with three bytes", WrongWidth, "value of 3 bytes where 2 are needed"},
        {"300 bytes in an 8-bit field", TooLongFor8Bits,
         "300 bytes do not fit a 8-bit length field"},
        {"uuid with size index 0", BadSizeIndex, "size index 0 is not allowed for type 3"},
        {"nil with data", NilWithData, "nil carries data"},
        {"bad member", InnerBad, "value of 3 bytes where 2 are needed"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        Bytes Out = {0xAA};
        DeResult r = EncodeDataElement(c.De, Out);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(Out, Bytes{0xAA});
        EXPECT_EQ(EncodedSize(c.De), 0u);
    }
}

TEST(DataElementTree, FactoriesPickWidthsAndSignExtension)
{
    struct {
        const char* Name;
        DataElement De;
        Bytes Expected;
    } Cases[] = {
        {"int128 -2", MakeInt(16, -2), Cat({{0x14}, Bytes(15, 0xFF), {0xFE}})},
        {"int8 -1", MakeInt(1, -1), {0x10, 0xFF}},
        {"uint32", MakeUint(4, 0x10203), {0x0A, 0x00, 0x01, 0x02, 0x03}},
        {"uuid32", MakeUuid32(0x1101), {0x1A, 0x00, 0x00, 0x11, 0x01}},
        {"url", MakeUrl("u"), {0x45, 0x01, 'u'}},
        {"bool", MakeBool(true), {0x28, 0x01}},
        {"alternative", MakeAlternative({MakeNil()}), {0x3D, 0x01, 0x00}},
        {"sequence of 256 bytes gets a 16-bit length",
         MakeSequence({MakeText(std::string(254, 'a'))}),
         Cat({{0x36, 0x01, 0x00, 0x25, 0xFE}, Bytes(254, 'a')})},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        Bytes Out;
        ASSERT_TRUE(EncodeDataElement(c.De, Out));
        EXPECT_EQ(Out, c.Expected);
    }
}

TEST(DataElementTree, ShortUuidsIncludeTheBluetoothBase)
{
    const uint8_t Base[16] = {0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00,
                              0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
    uint8_t Other[16];
    std::copy(Base, Base + 16, Other);
    Other[15] = 0xFC;
    uint32_t v = 0;
    EXPECT_TRUE(MakeUuid128(Base).ShortUuid(v));
    EXPECT_EQ(v, 0x1101u);
    EXPECT_FALSE(MakeUuid128(Other).ShortUuid(v));
    EXPECT_TRUE(MakeUuid32(0x12345678).ShortUuid(v));
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_FALSE(MakeUint(2, 0x1101).ShortUuid(v));
}
