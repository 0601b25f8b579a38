// Pretty-printer and JSON: the sample records' exact text, attribute and UUID
// naming rules, and escaping.
#include <gtest/gtest.h>

#include <cstring>

#include "sdpnames.h"
#include "sdpprint.h"
#include "sdprecordfile.h"

using namespace kivtool;

namespace {

const char* const GoldenLargeService =
    "Record 0x00010004\n"
    "  0x0000 ServiceRecordHandle: uint32 0x00010004\n"
    "  0x0001 ServiceClassIDList: sequence\n"
    "    uuid128 6e4f1c2a-93b7-4d5e-8a10-2f3c4b5d6e7f\n"
    "    uuid128 00001101-0000-1000-8000-00805f9b34fb (SerialPort)\n"
    "  0x0003 ServiceID: uuid128 6e4f1c2a-93b7-4d5e-8a10-2f3c4b5d6e80\n"
    "  0x0004 ProtocolDescriptorList: sequence\n"
    "    sequence\n"
    "      uuid16 0x0100 (L2CAP)\n"
    "    sequence\n"
    "      uuid16 0x0003 (RFCOMM)\n"
    "      uint8 0x0c\n"
    "  0x0005 BrowseGroupList: sequence\n"
    "    uuid16 0x1002 (PublicBrowseGroup)\n"
    "  0x0006 LanguageBaseAttributeIDList: sequence\n"
    "    uint16 0x656e\n"
    "    uint16 0x006a\n"
    "    uint16 0x0100\n"
    "    uint16 0x6672\n"
    "    uint16 0x006a\n"
    "    uint16 0x0110\n"
    "  0x0007 ServiceInfoTimeToLive: uint32 0x00000e10\n"
    "  0x0008 ServiceAvailability: uint8 0xff\n"
    "  0x0009 BluetoothProfileDescriptorList: sequence\n"
    "    sequence\n"
    "      uuid16 0x1101 (SerialPort)\n"
    "      uint16 0x0102\n"
    "  0x000A DocumentationURL: url \"http://docs.example.org/kivsdp/telemetry\"\n"
    "  0x000B ClientExecutableURL: url \"http://apps.example.org/kivsdp/telemetry-client\"\n"
    "  0x000C IconURL: url \"http://apps.example.org/kivsdp/telemetry.png\"\n"
    "  0x000D AdditionalProtocolDescriptorLists: sequence\n"
    "    sequence\n"
    "      sequence\n"
    "        uuid16 0x0100 (L2CAP)\n"
    "        uint16 0x1021\n"
    "      sequence\n"
    "        uuid16 0x0008 (OBEX)\n"
    "  0x0100 ServiceName: text \"Telemetry Stream\"\n"
    "  0x0101 ServiceDescription: text \"Streams sensor readings from the workshop rig: "
    "temperature, humidity, vibration and power draw, sampled every second and sent as "
    "line-oriented records over an RFCOMM channel. Clients that connect receive the last minute of "
    "history first, then live readings until they disconnect. The \\\"rate\\\" command changes the "
    "sampling period.\"\n"
    "  0x0102 ProviderName: text \"KivSdp sample records\"\n"
    "  0x0110 ServiceName: text \"Flux de télémesure\"\n"
    "  0x0111 ServiceDescription: text \"Transmet les mesures des capteurs de l'atelier : "
    "température, humidité, vibrations et consommation, une fois par seconde, sur un canal "
    "RFCOMM.\"\n"
    "  0x0112 ProviderName: text \"KivSdp\\x00\\n\"\n"
    "  0x0300: alternative\n"
    "    sequence\n"
    "      uint64 0x0123456789abcdef\n"
    "      uint128 0x000102030405060708090a0b0c0d0e0f\n"
    "    sequence\n"
    "      int8 -128\n"
    "      int16 -2\n"
    "      int32 2147483647\n"
    "      int64 -9223372036854775808\n"
    "      int128 0xfffffffffffffffffffffffffffffffe\n"
    "  0x0301: sequence\n"
    "    bool true\n"
    "    bool false\n"
    "    nil\n"
    "    uuid32 0x0001a2b3\n";

// The sample as the database would hold it, with handle 0x00010000 + Index.
ServiceRecord LoadSample(const char* File, uint32_t Index)
{
    ServiceRecord Rec;
    RecordFileError Err;
    EXPECT_TRUE(ImportRecordFile(std::string(KIVSDP_RECORDS_DIR) + "/" + File, Rec, Err))
        << Err.ToString();
    Rec.Attributes.insert(Rec.Attributes.begin(), {0x0000, MakeUint(4, 0x10000 + Index)});
    return Rec;
}

// A record with the handle (none when negative), the service classes and the language bases.
ServiceRecord Record(int64_t Handle, const std::vector<uint16_t>& Classes,
                     const std::vector<uint16_t>& Bases = {})
{
    ServiceRecord Rec;
    if (Handle >= 0) Rec.Attributes.push_back({0x0000, MakeUint(4, uint64_t(Handle))});
    std::vector<DataElement> Uuids, Words;
    for (uint16_t Class : Classes)
        Uuids.push_back(MakeUuid16(Class));
    for (uint16_t Word : Bases)
        Words.push_back(MakeUint(2, Word));
    if (!Classes.empty()) Rec.Attributes.push_back({0x0001, MakeSequence(Uuids)});
    if (!Bases.empty()) Rec.Attributes.push_back({0x0006, MakeSequence(Words)});
    return Rec;
}

} // namespace

// The sample that holds every element type, unnamed attributes, language bases and escapes;
// the other samples only add entries of the name tables.
TEST(PrettyPrinter, SampleRecordPrintsExactly)
{
    const ServiceRecord Rec = LoadSample("large-service.xml", 4);
    EXPECT_EQ(FormatRecord(Rec), GoldenLargeService);
    EXPECT_EQ(FormatRecords({Rec, Rec}),
              std::string(GoldenLargeService) + "\n" + GoldenLargeService);
    EXPECT_EQ(FormatRecord(Record(-1, {0x1200})), "Record (no handle)\n"
                                                  "  0x0001 ServiceClassIDList: sequence\n"
                                                  "    uuid16 0x1200 (PnPInformation)\n");
}

// The server's attributes are named only in a server record (handle 0, or a remote server's by
// its class), a profile's by the record's first class, and language attributes by the bases.
TEST(PrettyPrinter, AttributesAreNamedByRecordClassAndLanguageBase)
{
    const ServiceRecord TwoBases = Record(-1, {}, {0x656E, 0x006A, 0x0200, 0x6672, 0x006A, 0x0300});
    struct {
        ServiceRecord Rec;
        uint16_t Id;
        const char* Name;
    } Cases[] = {
        {Record(0, {0x1000}), 0x0200, "VersionNumberList"},
        {Record(0, {0x1000}), 0x0201, "ServiceDatabaseState"},
        {Record(0x10000, {0x1000}), 0x0201, "ServiceDatabaseState"},
        {Record(0x10000, {0x1101}), 0x0200, nullptr},
        {Record(0x10000, {0x1101}), 0x0201, nullptr},
        // The same IDs in five profiles, and one a class does not define.
        {Record(-1, {0x1105, 0x1203}), 0x0200, "GoepL2capPsm"},
        {Record(-1, {0x1105, 0x1203}), 0x0303, "SupportedFormatsList"},
        {Record(-1, {0x1124, 0x1203}), 0x0200, "HIDDeviceReleaseNumber"},
        {Record(-1, {0x1124, 0x1203}), 0x020E, "HIDBootDevice"},
        {Record(-1, {0x1200, 0x1203}), 0x0200, "SpecificationID"},
        {Record(-1, {0x1200}), 0x0201, "VendorID"},
        {Record(-1, {0x1200}), 0x0202, "ProductID"},
        {Record(-1, {0x1200}), 0x0203, "Version"},
        {Record(-1, {0x1200}), 0x0204, "PrimaryRecord"},
        {Record(-1, {0x1200, 0x1203}), 0x0205, "VendorIDSource"},
        {Record(-1, {0x112F, 0x1203}), 0x0314, "SupportedRepositories"},
        {Record(-1, {0x112F, 0x1203}), 0x0317, "PbapSupportedFeatures"},
        {Record(-1, {0x1132, 0x1203}), 0x0315, "MASInstanceID"},
        {Record(-1, {0x1132, 0x1203}), 0x0316, "SupportedMessageTypes"},
        {Record(-1, {0x1133, 0x1203}), 0x0317, "MapSupportedFeatures"},
        {Record(-1, {0x1108, 0x1203}), 0x0302, "RemoteAudioVolumeControl"},
        {Record(-1, {0x111F, 0x1203}), 0x0311, "SupportedFeatures"},
        {Record(-1, {0x1200, 0x1203}), 0x0206, nullptr},
        {Record(-1, {0x1124, 0x1203}), 0x0303, nullptr},
        // No language base list: the primary language at 0x0100.
        {Record(-1, {}), 0x0100, "ServiceName"},
        {Record(-1, {}), 0x0102, "ProviderName"},
        {Record(-1, {}), 0x0103, nullptr},
        {TwoBases, 0x0100, nullptr},
        {TwoBases, 0x0201, "ServiceDescription"},
        {TwoBases, 0x0302, "ProviderName"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(FormatRecord(c.Rec) + std::to_string(c.Id));
        if (c.Name)
            EXPECT_STREQ(AttributeName(c.Rec, c.Id), c.Name);
        else
            EXPECT_EQ(AttributeName(c.Rec, c.Id), nullptr);
    }
}

TEST(PrettyPrinter, FeatureMasksSpellTheirBits)
{
    struct {
        uint16_t Class;
        DataElement Value;
        const char* Line; // the attribute's line as printed
        const char* Json; // its "features" member
    } Cases[] = {
        // 0x3F: bits 0-5 of a hands-free unit; the same bits mean other
        // things in an audio gateway's record.
        {0x111E, MakeUint(2, 0x003F),
         "  0x0311 SupportedFeatures: uint16 0x003f (EC/NR, ThreeWayCalling, CLI, "
         "VoiceRecognition, RemoteVolume, WidebandSpeech)\n",
         "[\"EC/NR\",\"ThreeWayCalling\",\"CLI\",\"VoiceRecognition\",\"RemoteVolume\","
         "\"WidebandSpeech\"]"},
        {0x111F, MakeUint(2, 0x0009),
         "  0x0311 SupportedFeatures: uint16 0x0009 (ThreeWayCalling, InBandRingTone)\n",
         "[\"ThreeWayCalling\",\"InBandRingTone\"]"},
        {0x110B, MakeUint(2, 0x0000), "  0x0311 SupportedFeatures: uint16 0x0000 (none)\n", "[]"},
        // Bit 15 has no name in the sink's table.
        {0x110B, MakeUint(2, 0x8002),
         "  0x0311 SupportedFeatures: uint16 0x8002 (Speaker, bit15)\n", "[\"Speaker\",\"bit15\"]"},
        // Not a number: named, not spelled.
        {0x111E, MakeText("x"), "  0x0311 SupportedFeatures: text \"x\"\n", nullptr},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Line);
        ServiceRecord Rec;
        Rec.Attributes = {{0x0000, MakeUint(4, 0x10000)},
                          {0x0001, MakeSequence({MakeUuid16(c.Class)})},
                          {0x0311, c.Value}};
        const std::string Text = FormatRecord(Rec);
        EXPECT_EQ(Text.substr(Text.rfind("  0x0311")), c.Line);
        const std::string Json = RecordJson(Rec);
        const size_t At = Json.find("\"features\":");
        if (!c.Json) {
            EXPECT_EQ(At, std::string::npos) << Json;
            continue;
        }
        ASSERT_NE(At, std::string::npos) << Json;
        EXPECT_EQ(Json.substr(At + 11, std::strlen(c.Json)), c.Json);
    }
}

TEST(PrettyPrinter, LeavesAndEscapes)
{
    const uint8_t Bt128[16] = {0x00, 0x00, 0x00, 0x19, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
    DataElement NotUtf8 = MakeText("");
    NotUtf8.Data = {'a', 0xFF, '"', '\\', '\t', 0x7F};
    DataElement OddBool = MakeBool(true);
    OddBool.Data[0] = 7;
    struct {
        DataElement De;
        const char* Text;
    } Cases[] = {
        {OddBool, "bool 0x07"},
        {MakeUuid128(Bt128), "uuid128 00000019-0000-1000-8000-00805f9b34fb (AVDTP)"},
        {MakeUuid32(0x00000011), "uuid32 0x00000011 (HIDP)"},
        {MakeUuid16(0xFFFF), "uuid16 0xffff"},
        {NotUtf8, "text \"a\\xFF\\\"\\\\\\t\\x7F\""},
        {MakeSequence({}), "sequence (empty)"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(FormatLeaf(c.De), c.Text);
    }
}

TEST(Json, StringEscaping)
{
    struct {
        std::string In;
        const char* Out;
    } Cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x01\x1F\x00", 3), "\"\\u0001\\u001f\\u0000\""},
        {"\x7F", "\"\x7F\""},
        {"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
        // Not UTF-8 (a lone continuation byte, an overlong slash): each byte
        // is written as the code point of its value, so the output stays valid.
        {"a\x80z", "\"a\\u0080z\""},
        {"\xC0\xAF", "\"\\u00c0\\u00af\""},
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Out);
        EXPECT_EQ(JsonString(c.In), c.Out);
    }
}

TEST(Json, RecordRendering)
{
    ServiceRecord Rec = LoadSample("serial-port.xml", 0);
    EXPECT_EQ(
        RecordJson(Rec),
        "{\"handle\":65536,\"attributes\":["
        "{\"id\":0,\"name\":\"ServiceRecordHandle\",\"value\":{\"type\":\"uint32\","
        "\"value\":65536}},"
        "{\"id\":1,\"name\":\"ServiceClassIDList\",\"value\":{\"type\":\"sequence\","
        "\"members\":[{\"type\":\"uuid16\",\"value\":\"0x1101\",\"name\":\"SerialPort\"}]}},"
        "{\"id\":4,\"name\":\"ProtocolDescriptorList\",\"value\":{\"type\":\"sequence\","
        "\"members\":[{\"type\":\"sequence\",\"members\":[{\"type\":\"uuid16\",\"value\":"
        "\"0x0100\",\"name\":\"L2CAP\"}]},{\"type\":\"sequence\",\"members\":[{\"type\":"
        "\"uuid16\",\"value\":\"0x0003\",\"name\":\"RFCOMM\"},{\"type\":\"uint8\",\"value\":"
        "1}]}]}},"
        "{\"id\":5,\"name\":\"BrowseGroupList\",\"value\":{\"type\":\"sequence\",\"members\":"
        "[{\"type\":\"uuid16\",\"value\":\"0x1002\",\"name\":\"PublicBrowseGroup\"}]}},"
        "{\"id\":6,\"name\":\"LanguageBaseAttributeIDList\",\"value\":{\"type\":\"sequence\","
        "\"members\":[{\"type\":\"uint16\",\"value\":25966},{\"type\":\"uint16\",\"value\":"
        "106},{\"type\":\"uint16\",\"value\":256}]}},"
        "{\"id\":9,\"name\":\"BluetoothProfileDescriptorList\",\"value\":{\"type\":"
        "\"sequence\",\"members\":[{\"type\":\"sequence\",\"members\":[{\"type\":\"uuid16\","
        "\"value\":\"0x1101\",\"name\":\"SerialPort\"},{\"type\":\"uint16\",\"value\":258}]}]}"
        "},"
        "{\"id\":256,\"name\":\"ServiceName\",\"value\":{\"type\":\"text\",\"value\":"
        "\"Serial Port\"}}]}");

    ServiceRecord NoHandle;
    NoHandle.Attributes = {{0x0300, MakeText("")}};
    NoHandle.Attributes[0].Value.Data = {'\n', 0xFF};
    EXPECT_EQ(RecordsJson({NoHandle}),
              "[{\"handle\":null,\"attributes\":[{\"id\":768,\"value\":{\"type\":\"text\","
              "\"hex\":\"0aff\"}}]}]\n");
}

TEST(Json, WideNumbersAreStrings)
{
    struct {
        DataElement De;
        const char* Json;
    } Cases[] = {
        {MakeUint(4, 0xFFFFFFFF), "{\"type\":\"uint32\",\"value\":4294967295}"},
        {MakeUint(8, 1), "{\"type\":\"uint64\",\"value\":\"0x0000000000000001\"}"},
        {MakeInt(4, -5), "{\"type\":\"int32\",\"value\":-5}"},
        {MakeInt(8, -5), "{\"type\":\"int64\",\"value\":\"-5\"}"},
        {MakeInt(16, 1), "{\"type\":\"int128\",\"value\":\"0x00000000000000000000000000000001\"}"},
        {MakeBool(true), "{\"type\":\"bool\",\"value\":true}"},
        {MakeNil(), "{\"type\":\"nil\"}"},
        {MakeUrl("http://x/\"y\""), "{\"type\":\"url\",\"value\":\"http://x/\\\"y\\\"\"}"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Json);
        EXPECT_EQ(ElementJson(c.De), c.Json);
    }
}
