// Record files: every refusal with its line and column, number forms, the
// other tools' dialect, and what export leaves out.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "sdprecordfile.h"

using namespace kivtool;

namespace {

struct FILE_ERROR_CASE {
    const char* Xml;
    unsigned Line, Column;
    const char* Message;
};

// Wraps one attribute's value in a record, the value on line 3.
#define VALUE(v) "<record>\n<attribute id=\"0x0100\">\n" v "\n</attribute>\n</record>\n"

std::string Repeat(const std::string& Text, int n)
{
    std::string Out;
    while (n-- > 0)
        Out += Text;
    return Out;
}

// 52 uint32 elements, 260 bytes, in a sequence with an 8-bit length.
const std::string TooLongFor8Bits =
    "<record>\n<attribute id=\"0x0100\">\n<sequence lengthbits=\"8\">\n" +
    Repeat("<uint32 value=\"0\"/>", 52) + "\n</sequence>\n</attribute>\n</record>\n";

const FILE_ERROR_CASE FileErrors[] = {
    {"", 1, 1, "XML: no element found"},
    {"<record>\n<attribute id=\"0x0100\">\n<nil>\n</attribute>\n</record>\n", 4, 3,
     "XML: mismatched tag"},
    {"<?xml version=\"1.0\"?>\n<attributes/>\n", 2, 1,
     "the document element must be <record>, not <attributes>"},
    {"<?xml version=\"1.0\"?>\n<!DOCTYPE record SYSTEM \"record.dtd\">\n<record/>\n", 2, 37,
     "a record file has no DOCTYPE"},
    {VALUE("<sequence>\n  <float value=\"1\"/>\n</sequence>"), 4, 3, "unknown element <float>"},
    {"<record>\n  <attrib id=\"1\"/>\n</record>", 2, 3, "unknown element <attrib> inside <record>"},
    {"<record>\n  <uint8 value=\"1\"/>\n</record>", 2, 3, "<uint8> must be inside an <attribute>"},
    {VALUE("<uint16 value=\"12a\"/>"), 3, 1, "bad number '12a' for <uint16>"},
    {VALUE("<uint16 value=\"0x\"/>"), 3, 1, "bad number '0x' for <uint16>"},
    {VALUE("<uint8 value=\"256\"/>"), 3, 1, "value 256 is too large for <uint8>"},
    {VALUE("<uint16 value=\"0x10000\"/>"), 3, 1, "value 0x10000 is too large for <uint16>"},
    {VALUE("<uint128 value=\"0x100000000000000000000000000000000\"/>"), 3, 1,
     "value 0x100000000000000000000000000000000 is too large for <uint128>"},
    {VALUE("<int8 value=\"-129\"/>"), 3, 1, "value -129 is too large for <int8>"},
    {VALUE("<int8 value=\"128\"/>"), 3, 1, "value 128 is too large for <int8>"},
    {VALUE("<uint8 value=\"-1\"/>"), 3, 1, "bad number '-1' for <uint8>"},
    {VALUE("<uint32/>"), 3, 1, "<uint32> without value"},
    {VALUE("<uuid value=\"0x12345678901\"/>"), 3, 1, "bad UUID '0x12345678901'"},
    {VALUE("<uuid value=\"0x11g1\"/>"), 3, 1, "bad UUID '0x11g1'"},
    {VALUE("<boolean value=\"yes\"/>"), 3, 1, "bad boolean 'yes' (true or false)"},
    {VALUE("<text encoding=\"hex\" value=\"4b6\"/>"), 3, 1, "bad hex string '4b6' in <text>"},
    {VALUE("<text encoding=\"base64\" value=\"aGk=\"/>"), 3, 1,
     "unknown encoding 'base64' on <text> (hex or normal)"},
    {VALUE("<uint128 value=\"10000000000000000000000000000\"/>"), 3, 1,
     "bad number '10000000000000000000000000000' for <uint128> (32 hex digits, least "
     "significant byte first, or 0x and hex digits)"},
    {VALUE("<int128 value=\"0000000000000000000000000000001\"/>"), 3, 1,
     "bad number '0000000000000000000000000000001' for <int128> (32 hex digits, least "
     "significant byte first, or 0x and hex digits)"},
    {VALUE("<url encoding=\"hex\" value=\"610162\"/>"), 3, 1,
     "encoding 'hex' on <url>: a URL is written as it is"},
    {VALUE("<uuid value=\"0x00012345\" bits=\"16\"/>"), 3, 1,
     "bits=\"16\" does not fit UUID '0x00012345'"},
    {VALUE("<uuid value=\"00001101-0000-1000-8000-00805f9b34fb\" bits=\"32\"/>"), 3, 1,
     "bits=\"32\" does not fit UUID '00001101-0000-1000-8000-00805f9b34fb'"},
    {VALUE("<text value=\"a\" lengthbits=\"12\"/>"), 3, 1,
     "lengthbits must be 8, 16 or 32, not '12'"},
    {TooLongFor8Bits.c_str(), 5, 1, "<sequence> of 260 bytes does not fit a 8-bit length field"},
    {VALUE("<uint8 value=\"1\"/> 7"), 3, 19, "unexpected text ' 7'; values go in value=\"...\""},
    {VALUE("<uint8 value=\"1\"><nil/></uint8>"), 3, 18,
     "<uint8> cannot contain elements (found <nil>)"},
    {VALUE("<uint8 value=\"1\"/>\n<uint8 value=\"2\"/>"), 4, 1,
     "attribute 0x0100 has more than one value (<uint8>)"},
    {"<record>\n  <attribute id=\"0x0100\">\n  </attribute>\n</record>\n", 3, 3,
     "attribute 0x0100 has no value"},
    {"<record>\n <attribute>\n<nil/></attribute>\n</record>\n", 2, 2, "<attribute> without id"},
    {"<record>\n <attribute id=\"one\"><nil/></attribute>\n</record>\n", 2, 2,
     "bad attribute id 'one'"},
    {"<record>\n <attribute id=\"0x10000\"><nil/></attribute>\n</record>", 2, 2,
     "attribute id '0x10000' is larger than 0xFFFF"},
    {"<record>\n  <attribute id=\"0x0000\">\n    <uint32 value=\"0x100000000\" />\n"
     "  </attribute>\n</record>\n",
     3, 5, "value 0x100000000 is too large for <uint32>"},
    {"<record>\n  <attribute id=\"0x0100\"><nil/></attribute>\n"
     "  <attribute id=\"256\"><nil/></attribute>\n</record>\n",
     3, 3, "duplicate attribute 0x0100 (first at line 2)"},
};

} // namespace

TEST(RecordFile, BadFilesAreRefusedNamingLineAndColumn)
{
    for (const FILE_ERROR_CASE& c : FileErrors) {
        SCOPED_TRACE(c.Message);
        ServiceRecord Rec;
        Rec.Attributes.push_back({0x0100, MakeNil()});
        const ServiceRecord Before = Rec;
        RecordFileError Err;
        ASSERT_FALSE(ImportRecordXml(c.Xml, Rec, Err));
        EXPECT_EQ(Err.Message, c.Message);
        EXPECT_EQ(Err.Line, c.Line);
        EXPECT_EQ(Err.Column, c.Column);
        EXPECT_EQ(Rec, Before);
    }
}

TEST(RecordFile, FilesThatCannotBeReadAreRefusedWithTheReason)
{
    RecordFileError Err;
    ServiceRecord Rec;
    ASSERT_FALSE(ImportRecordFile("/nonexistent/kivsdp.xml", Rec, Err));
    EXPECT_EQ(Err.ToString(),
              "line 0: cannot open /nonexistent/kivsdp.xml: No such file or directory");
    // Regression: reading a directory threw from the stream buffer and
    // ended the process instead of failing the import.
    ASSERT_FALSE(ImportRecordFile(KIVSDP_RECORDS_DIR, Rec, Err));
    EXPECT_EQ(Err.ToString(), "line 0: cannot read " KIVSDP_RECORDS_DIR ": Is a directory");
}

TEST(RecordFile, ValuesLargerThanTheServerStoresAreRefused)
{
    // 508 text bytes encode to 511 (26 01 FC + 508): fits. 510 bytes: 513.
    RecordFileError Err;
    ServiceRecord Rec;
    const std::string Fits = VALUE("<text value=\"" + std::string(508, 'x') + "\"/>");
    ASSERT_TRUE(ImportRecordXml(Fits, Rec, Err)) << Err.ToString();
    EXPECT_EQ(EncodedSize(Rec.Attributes[0].Value), 511u);
    const std::string TooLarge = VALUE("<text value=\"" + std::string(510, 'x') + "\"/>");
    ASSERT_FALSE(ImportRecordXml(TooLarge, Rec, Err));
    EXPECT_EQ(Err.ToString(), "line 4, column 1: value of attribute 0x0100 is 513 bytes, larger "
                              "than the 512 bytes a record may hold");

    std::string Deep = "<record>\n<attribute id=\"0x0100\">\n";
    for (int i = 0; i < 257; ++i)
        Deep += "<sequence>";
    ASSERT_FALSE(ImportRecordXml(Deep, Rec, Err));
    EXPECT_EQ(Err.ToString(), "line 3, column 2561: values nested more than 256 deep cannot fit "
                              "the 512 bytes a value may hold");
}

TEST(RecordFile, NumberFormsAndLimits)
{
    struct {
        const char* Xml;
        std::vector<uint8_t> Encoded;
    } Cases[] = {
        {"<uint8 value=\"255\"/>", {0x08, 0xFF}},
        {"<uint8 value=\"0xFF\"/>", {0x08, 0xFF}},
        {"<uint16 value=\"0x1\"/>", {0x09, 0x00, 0x01}},
        {"<int8 value=\"-128\"/>", {0x10, 0x80}},
        {"<int8 value=\"+127\"/>", {0x10, 0x7F}},
        {"<int8 value=\"0xff\"/>", {0x10, 0xFF}},
        {"<int16 value=\"-0x8000\"/>", {0x11, 0x80, 0x00}},
        {"<int32 value=\"-1\"/>", {0x12, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"<uint128 value=\"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\"/>", std::vector<uint8_t>(1, 0x0C)},
        {"<int128 value=\"-0x80000000000000000000000000000000\"/>", std::vector<uint8_t>(1, 0x14)},
        {"<uuid value=\"0x1101\"/>", {0x19, 0x11, 0x01}},
        {"<uuid value=\"1101\"/>", {0x19, 0x11, 0x01}},
        {"<uuid value=\"0x00001101\"/>", {0x19, 0x11, 0x01}},
        {"<uuid value=\"0x00001101\" bits=\"32\"/>", {0x1A, 0x00, 0x00, 0x11, 0x01}},
        {"<uuid value=\"0x10000\"/>", {0x1A, 0x00, 0x01, 0x00, 0x00}},
        {"<sequence value=\"1\" name=\"x\"/>", {0x35, 0x00}},
        {"<boolean value=\"false\"/>", {0x28, 0x00}},
        {"<text value=\"a&#10;b\"/>", {0x25, 0x03, 'a', '\n', 'b'}},
        {"<text encoding=\"normal\" value=\"\"/>", {0x25, 0x00}},
        {"<url encoding=\"normal\" value=\"AB\"/>", {0x45, 0x02, 'A', 'B'}},
        {"<alternate/>", {0x3D, 0x00}},
    };
    // The two 128-bit extremes: all ones, and the sign bit alone.
    Cases[8].Encoded.insert(Cases[8].Encoded.end(), 16, 0xFF);
    Cases[9].Encoded.push_back(0x80);
    Cases[9].Encoded.insert(Cases[9].Encoded.end(), 15, 0x00);
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Xml);
        ServiceRecord Rec;
        RecordFileError Err;
        ASSERT_TRUE(ImportRecordXml(VALUE("" + std::string(c.Xml) + ""), Rec, Err))
            << Err.ToString();
        std::vector<uint8_t> Out;
        ASSERT_TRUE(EncodeDataElement(Rec.Attributes.at(0).Value, Out));
        EXPECT_EQ(Out, c.Encoded);
    }
}

TEST(RecordFile, ExportLeavesOutTheHandleAndWritesTheKnownForm)
{
    ServiceRecord Rec;
    Rec.Attributes.push_back({0x0000, MakeUint(4, 0x10000)});
    Rec.Attributes.push_back({0x0001, MakeSequence({MakeUuid16(0x1101)})});
    Rec.Attributes.push_back({0x0100, MakeText("A \"quoted\" <name> & more")});
    Rec.Attributes.push_back({0x0101, MakeText(std::string("nul\0", 4))});
    std::string Xml, Err;
    ASSERT_TRUE(ExportRecordXml(Rec, Xml, Err)) << Err;
    EXPECT_EQ(Xml, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
                   "\n"
                   "<record>\n"
                   "  <attribute id=\"0x0001\">\n"
                   "    <sequence>\n"
                   "      <uuid value=\"0x1101\" />\n"
                   "    </sequence>\n"
                   "  </attribute>\n"
                   "  <attribute id=\"0x0100\">\n"
                   "    <text value=\"A &quot;quoted&quot; &lt;name&gt; &amp; more\" />\n"
                   "  </attribute>\n"
                   "  <attribute id=\"0x0101\">\n"
                   "    <text encoding=\"hex\" value=\"6e756c00\" />\n"
                   "  </attribute>\n"
                   "</record>\n");
}

TEST(RecordFile, DeclaredEncodingIsHonouredAndTextStoredAsUtf8)
{
    const std::string Latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                               "<record><attribute id=\"0x0100\"><text value=\"caf\xE9\"/>"
                               "</attribute></record>\n";
    ServiceRecord Rec;
    RecordFileError Err;
    ASSERT_TRUE(ImportRecordXml(Latin1, Rec, Err)) << Err.ToString();
    EXPECT_EQ(Rec.Attributes.at(0).Value.Data, (std::vector<uint8_t>{'c', 'a', 'f', 0xC3, 0xA9}));

    // Undeclared, the same byte is not UTF-8 and the file is refused.
    ASSERT_FALSE(ImportRecordXml(Latin1.substr(Latin1.find('\n') + 1), Rec, Err));
    EXPECT_EQ(Err.ToString(), "line 1, column 48: XML: not well-formed (invalid token)");
}

namespace {

std::string DialectPath(const char* Name)
{
    return std::string(KIVSDP_DIALECT_DIR) + "/" + Name;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct DIALECT_ATTRIBUTE {
    uint16_t Id;
    std::vector<uint8_t> Encoded;
};

struct DIALECT_FILE {
    const char* Name;
    std::vector<DIALECT_ATTRIBUTE> Attributes;
};

// Files in the other tools' dialect (tabs, name= on values, the dumped handle,
// 128-bit numbers least significant byte first), with every value's bytes
// worked out by hand. The handle never arrives: the server assigns its own.
std::vector<DIALECT_FILE> DialectFiles()
{
    const std::vector<uint8_t> Ones(8, 0xFF);
    std::vector<uint8_t> U128{0x0C};
    for (int i = 0; i < 16; ++i)
        U128.push_back(uint8_t(i));
    std::vector<uint8_t> I128{0x14};
    I128.insert(I128.end(), 15, 0xFF);
    I128.push_back(0xFE);
    std::vector<uint8_t> Issue128(17, 0x00);
    Issue128[0] = 0x0C;
    Issue128[15] = 0x01;
    return {
        {"every-type.xml",
         {
             {0x0001,
              {0x35, 0x19, 0x19, 0x11, 0x01, 0x1A, 0x00, 0x01, 0x23, 0x45, 0x1C, 0x00, 0x00, 0x11,
               0x01, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}},
             {0x0004,
              {0x35, 0x0F, 0x35, 0x06, 0x19, 0x01, 0x00, 0x09, 0x00, 0x19, 0x35, 0x05, 0x19, 0x00,
               0x03, 0x08, 0x0C}},
             {0x000A,
              {0x45, 0x0D, 'h', 't', 't', 'p', ':', '/', '/', 'x', '.', 'o', 'r', 'g', '/'}},
             {0x0100, {0x25, 0x0A, 'E', 'v', 'e', 'r', 'y', ' ', 'T', 'y', 'p', 'e'}},
             {0x0101, {0x25, 0x04, 'n', 'u', 'l', 0x00}},
             {0x0200, {0x35, 0x05, 0x00, 0x28, 0x01, 0x28, 0x00}},
             {0x0201, Cat({0x35, 0x24, 0x08, 0xFF, 0x09, 0x12, 0x34, 0x0A, 0x12, 0x34, 0x56,
                           0x78, 0x0B, 1,    2,    3,    4,    5,    6,    7,    8},
                          U128)},
             {0x0202, Cat(Cat({0x35, 0x24, 0x10, 0xFE, 0x11, 0xFE, 0xD4, 0x12, 0x00, 0x01, 0x86,
                               0xA0, 0x13},
                              Ones),
                          I128)},
             {0x0203, {0x3D, 0x09, 0x35, 0x02, 0x08, 0x01, 0x25, 0x03, 'a', '&', 'b'}},
             {0x0204, Issue128},
         }},
        {"handsfree-unit.xml",
         {
             {0x0001, {0x35, 0x06, 0x19, 0x11, 0x1E, 0x19, 0x12, 0x03}},
             {0x0004,
              {0x35, 0x0C, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x07}},
             {0x0005, {0x35, 0x03, 0x19, 0x10, 0x02}},
             {0x0009, {0x35, 0x08, 0x35, 0x06, 0x19, 0x11, 0x1E, 0x09, 0x01, 0x07}},
             {0x0100,
              {0x25, 0x0F, 'H', 'a', 'n', 'd', 's', '-', 'F', 'r', 'e', 'e', ' ', 'u', 'n', 'i',
               't'}},
             {0x0311, {0x09, 0x00, 0x3F}},
         }},
        {"device-id.xml",
         {
             {0x0001, {0x35, 0x03, 0x19, 0x12, 0x00}},
             {0x0200, {0x09, 0x01, 0x03}},
             {0x0201, {0x09, 0x1D, 0x6B}},
             {0x0202, {0x09, 0x02, 0x46}},
             {0x0203, {0x09, 0x05, 0x30}},
             {0x0204, {0x28, 0x01}},
             {0x0205, {0x09, 0x00, 0x02}},
         }},
    };
}

} // namespace

TEST(RecordFile, OtherToolsDialectLoadsToHandComputedBytesAndExportsBack)
{
    for (const DIALECT_FILE& f : DialectFiles()) {
        SCOPED_TRACE(f.Name);
        ServiceRecord Rec;
        RecordFileError Err;
        ASSERT_TRUE(ImportRecordFile(DialectPath(f.Name), Rec, Err)) << Err.ToString();
        ASSERT_EQ(Rec.Attributes.size(), f.Attributes.size());
        for (size_t i = 0; i < f.Attributes.size(); ++i) {
            SCOPED_TRACE("attribute " + std::to_string(f.Attributes[i].Id));
            EXPECT_EQ(Rec.Attributes[i].Id, f.Attributes[i].Id);
            std::vector<uint8_t> Out;
            ASSERT_TRUE(EncodeDataElement(Rec.Attributes[i].Value, Out));
            EXPECT_EQ(Out, f.Attributes[i].Encoded);
        }
        std::string Xml, ExportErr;
        ASSERT_TRUE(ExportRecordXml(Rec, Xml, ExportErr)) << ExportErr;
        ServiceRecord Back;
        ASSERT_TRUE(ImportRecordXml(Xml, Back, Err)) << Err.ToString();
        EXPECT_EQ(Back, Rec);
        if (std::string(f.Name) == "every-type.xml") {
            // The export is in the same dialect: BlueZ's 128-bit form, no name=.
            std::ifstream Expected(DialectPath("every-type.export.xml"));
            EXPECT_EQ(Xml, std::string(std::istreambuf_iterator<char>(Expected), {}));
        }
    }
}

TEST(RecordFile, ExportKeepsWhatThePlainFormCannotSay)
{
    // A 32-bit UUID of a 16-bit value would come back as 16 bits without
    // bits="32"; a url with a control byte has no form at all.
    ServiceRecord Rec;
    Rec.Attributes.push_back({0x0001, MakeSequence({MakeUuid32(0x1101)})});
    std::string Xml, Err;
    ASSERT_TRUE(ExportRecordXml(Rec, Xml, Err)) << Err;
    EXPECT_NE(Xml.find("<uuid value=\"0x00001101\" bits=\"32\" />"), std::string::npos) << Xml;
    ServiceRecord Back;
    RecordFileError ImportErr;
    ASSERT_TRUE(ImportRecordXml(Xml, Back, ImportErr)) << ImportErr.ToString();
    EXPECT_EQ(Back, Rec);

    // DEL is an XML character: a url keeps it as it is.
    ServiceRecord Del;
    Del.Attributes.push_back({0x000A, MakeUrl("a\177b")});
    ASSERT_TRUE(ExportRecordXml(Del, Xml, Err)) << Err;
    EXPECT_NE(Xml.find("<url value=\"a\177b\" />"), std::string::npos) << Xml;
    ASSERT_TRUE(ImportRecordXml(Xml, Back, ImportErr)) << ImportErr.ToString();
    EXPECT_EQ(Back, Del);

    Rec.Attributes.push_back({0x000A, MakeUrl("a\001b")});
    std::string Before = "unchanged";
    ASSERT_FALSE(ExportRecordXml(Rec, Before, Err));
    EXPECT_EQ(Before, "unchanged");
    EXPECT_EQ(Err, "attribute 0x000A: a url holding bytes XML cannot carry (a control byte or bad "
                   "UTF-8) has no record-file form");
}
