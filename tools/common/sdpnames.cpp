// Assigned-number tables for the pretty-printer.
#include "sdpnames.h"

namespace kivtool {
namespace {

struct NAME_ENTRY {
    uint32_t Value;
    const char* Name;
};

const NAME_ENTRY UuidNames[] = {
    // Protocols.
    {0x0001, "SDP"},
    {0x0002, "UDP"},
    {0x0003, "RFCOMM"},
    {0x0004, "TCP"},
    {0x0005, "TCS-BIN"},
    {0x0006, "TCS-AT"},
    {0x0007, "ATT"},
    {0x0008, "OBEX"},
    {0x0009, "IP"},
    {0x000A, "FTP"},
    {0x000C, "HTTP"},
    {0x000E, "WSP"},
    {0x000F, "BNEP"},
    {0x0010, "UPNP"},
    {0x0011, "HIDP"},
    {0x0012, "HardcopyControlChannel"},
    {0x0014, "HardcopyDataChannel"},
    {0x0016, "HardcopyNotification"},
    {0x0017, "AVCTP"},
    {0x0019, "AVDTP"},
    {0x001B, "CMTP"},
    {0x001E, "MCAPControlChannel"},
    {0x001F, "MCAPDataChannel"},
    {0x0100, "L2CAP"},
    // Service classes and profiles.
    {0x1000, "ServiceDiscoveryServer"},
    {0x1001, "BrowseGroupDescriptor"},
    {0x1002, "PublicBrowseGroup"},
    {0x1101, "SerialPort"},
    {0x1102, "LANAccessUsingPPP"},
    {0x1103, "DialupNetworking"},
    {0x1104, "IrMCSync"},
    {0x1105, "OBEXObjectPush"},
    {0x1106, "OBEXFileTransfer"},
    {0x1107, "IrMCSyncCommand"},
    {0x1108, "Headset"},
    {0x1109, "CordlessTelephony"},
    {0x110A, "AudioSource"},
    {0x110B, "AudioSink"},
    {0x110C, "A/V_RemoteControlTarget"},
    {0x110D, "AdvancedAudioDistribution"},
    {0x110E, "A/V_RemoteControl"},
    {0x110F, "A/V_RemoteControlController"},
    {0x1110, "Intercom"},
    {0x1111, "Fax"},
    {0x1112, "HeadsetAudioGateway"},
    {0x1113, "WAP"},
    {0x1114, "WAP_CLIENT"},
    {0x1115, "PANU"},
    {0x1116, "NAP"},
    {0x1117, "GN"},
    {0x1118, "DirectPrinting"},
    {0x1119, "ReferencePrinting"},
    {0x111A, "BasicImaging"},
    {0x111B, "ImagingResponder"},
    {0x111C, "ImagingAutomaticArchive"},
    {0x111D, "ImagingReferencedObjects"},
    {0x111E, "Handsfree"},
    {0x111F, "HandsfreeAudioGateway"},
    {0x1120, "DirectPrintingReferenceObjectsService"},
    {0x1121, "ReflectedUI"},
    {0x1122, "BasicPrinting"},
    {0x1123, "PrintingStatus"},
    {0x1124, "HumanInterfaceDevice"},
    {0x1125, "HardcopyCableReplacement"},
    {0x1126, "HCR_Print"},
    {0x1127, "HCR_Scan"},
    {0x1128, "Common_ISDN_Access"},
    {0x112D, "SIM_Access"},
    {0x112E, "PhonebookAccessPCE"},
    {0x112F, "PhonebookAccessPSE"},
    {0x1130, "PhonebookAccess"},
    {0x1131, "HeadsetHS"},
    {0x1132, "MessageAccessServer"},
    {0x1133, "MessageNotificationServer"},
    {0x1134, "MessageAccessProfile"},
    {0x1200, "PnPInformation"},
    {0x1201, "GenericNetworking"},
    {0x1202, "GenericFileTransfer"},
    {0x1203, "GenericAudio"},
    {0x1204, "GenericTelephony"},
    {0x1303, "VideoSource"},
    {0x1304, "VideoSink"},
    {0x1305, "VideoDistribution"},
    {0x1400, "HDP"},
    {0x1401, "HDPSource"},
    {0x1402, "HDPSink"},
};

const NAME_ENTRY UniversalAttributes[] = {
    {0x0000, "ServiceRecordHandle"},
    {0x0001, "ServiceClassIDList"},
    {0x0002, "ServiceRecordState"},
    {0x0003, "ServiceID"},
    {0x0004, "ProtocolDescriptorList"},
    {0x0005, "BrowseGroupList"},
    {0x0006, "LanguageBaseAttributeIDList"},
    {0x0007, "ServiceInfoTimeToLive"},
    {0x0008, "ServiceAvailability"},
    {0x0009, "BluetoothProfileDescriptorList"},
    {0x000A, "DocumentationURL"},
    {0x000B, "ClientExecutableURL"},
    {0x000C, "IconURL"},
    {0x000D, "AdditionalProtocolDescriptorLists"},
};

const char* const LanguageAttributes[] = {"ServiceName", "ServiceDescription", "ProviderName"};

// Feature bits, bit 0 first; bits past a table's end are "bitN".
const char* const HfpHfBits[] = {"EC/NR",
                                 "ThreeWayCalling",
                                 "CLI",
                                 "VoiceRecognition",
                                 "RemoteVolume",
                                 "WidebandSpeech",
                                 "EnhancedVRStatus",
                                 "VoiceRecognitionText",
                                 "SuperWidebandSpeech"};
const char* const HfpAgBits[] = {
    "ThreeWayCalling",    "EC/NR",          "VoiceRecognition", "InBandRingTone",
    "VoiceTag",           "WidebandSpeech", "EnhancedVRStatus", "VoiceRecognitionText",
    "SuperWidebandSpeech"};
const char* const A2dpSinkBits[] = {"Headphone", "Speaker", "Recorder", "Amplifier"};
const char* const A2dpSourceBits[] = {"Player", "Microphone", "Tuner", "Mixer"};
const char* const AvrcpBits[] = {
    "Category1",       "Category2", "Category3",       "Category4", "PlayerApplicationSettings",
    "GroupNavigation", "Browsing",  "MultiplePlayers", "CoverArt"};
const char* const PbapRepositoryBits[] = {"LocalPhonebook", "SIMCard", "SpeedDial", "Favorites"};
const char* const PbapFeatureBits[] = {"Download",           "Browsing",
                                       "DatabaseIdentifier", "FolderVersionCounters",
                                       "vCardSelecting",     "EnhancedMissedCalls",
                                       "X-BT-UCI",           "X-BT-UID",
                                       "ContactReferencing", "DefaultContactImageFormat"};
const char* const MapMessageTypeBits[] = {"EMAIL", "SMS_GSM", "SMS_CDMA", "MMS", "IM"};
const char* const MapFeatureBits[] = {"NotificationRegistration",
                                      "Notification",
                                      "Browsing",
                                      "Uploading",
                                      "Delete",
                                      "InstanceInformation",
                                      "ExtendedEventReport1.1",
                                      "EventReport1.2",
                                      "MessageFormat1.1",
                                      "MessagesListingFormat1.1",
                                      "PersistentMessageHandles",
                                      "DatabaseIdentifier",
                                      "FolderVersionCounter",
                                      "ConversationVersionCounters",
                                      "ParticipantPresenceChangeNotification",
                                      "ParticipantChatStateChangeNotification",
                                      "PBAPContactCrossReference",
                                      "NotificationFiltering",
                                      "UTCOffsetTimestampFormat",
                                      "SupportedFeaturesInConnectRequest",
                                      "ConversationListing",
                                      "OwnerStatus",
                                      "MessageForwarding"};

struct PROFILE_ATTRIBUTE {
    uint32_t Class; // a service class of the record's ServiceClassIDList
    uint16_t Id;
    const char* Name;
    const char* const* Bits = nullptr; // a feature mask: names of its bits
    size_t BitCount = 0;
};

#define BITS(Table) Table, sizeof(Table) / sizeof(Table[0])

// Attribute IDs from 0x0200 up mean something different in each service
// class; these are the ones of the profiles people meet.
const PROFILE_ATTRIBUTE ProfileAttributes[] = {
    // OBEX-based services: the L2CAP PSM of GOEP 2.0.
    {0x1105, 0x0200, "GoepL2capPsm"},
    {0x1106, 0x0200, "GoepL2capPsm"},
    {0x111B, 0x0200, "GoepL2capPsm"},
    {0x112F, 0x0200, "GoepL2capPsm"},
    {0x1132, 0x0200, "GoepL2capPsm"},
    {0x1133, 0x0200, "GoepL2capPsm"},
    {0x1105, 0x0303, "SupportedFormatsList"},
    // Hands-free and headset.
    {0x111E, 0x0311, "SupportedFeatures", BITS(HfpHfBits)},
    {0x111F, 0x0301, "Network"},
    {0x111F, 0x0311, "SupportedFeatures", BITS(HfpAgBits)},
    {0x1108, 0x0302, "RemoteAudioVolumeControl"},
    {0x1131, 0x0302, "RemoteAudioVolumeControl"},
    // Audio and remote control.
    {0x110B, 0x0311, "SupportedFeatures", BITS(A2dpSinkBits)},
    {0x110A, 0x0311, "SupportedFeatures", BITS(A2dpSourceBits)},
    {0x110C, 0x0311, "SupportedFeatures", BITS(AvrcpBits)},
    {0x110E, 0x0311, "SupportedFeatures", BITS(AvrcpBits)},
    {0x110F, 0x0311, "SupportedFeatures", BITS(AvrcpBits)},
    // Phonebook and message access.
    {0x112F, 0x0314, "SupportedRepositories", BITS(PbapRepositoryBits)},
    {0x112F, 0x0317, "PbapSupportedFeatures", BITS(PbapFeatureBits)},
    {0x1132, 0x0315, "MASInstanceID"},
    {0x1132, 0x0316, "SupportedMessageTypes", BITS(MapMessageTypeBits)},
    {0x1132, 0x0317, "MapSupportedFeatures", BITS(MapFeatureBits)},
    {0x1133, 0x0317, "MapSupportedFeatures", BITS(MapFeatureBits)},
    // Human interface devices.
    {0x1124, 0x0200, "HIDDeviceReleaseNumber"},
    {0x1124, 0x0201, "HIDParserVersion"},
    {0x1124, 0x0202, "HIDDeviceSubclass"},
    {0x1124, 0x0203, "HIDCountryCode"},
    {0x1124, 0x0204, "HIDVirtualCable"},
    {0x1124, 0x0205, "HIDReconnectInitiate"},
    {0x1124, 0x0206, "HIDDescriptorList"},
    {0x1124, 0x0207, "HIDLANGIDBaseList"},
    {0x1124, 0x0208, "HIDSDPDisable"},
    {0x1124, 0x0209, "HIDBatteryPower"},
    {0x1124, 0x020A, "HIDRemoteWake"},
    {0x1124, 0x020B, "HIDProfileVersion"},
    {0x1124, 0x020C, "HIDSupervisionTimeout"},
    {0x1124, 0x020D, "HIDNormallyConnectable"},
    {0x1124, 0x020E, "HIDBootDevice"},
    // Device identification.
    {0x1200, 0x0200, "SpecificationID"},
    {0x1200, 0x0201, "VendorID"},
    {0x1200, 0x0202, "ProductID"},
    {0x1200, 0x0203, "Version"},
    {0x1200, 0x0204, "PrimaryRecord"},
    {0x1200, 0x0205, "VendorIDSource"},
};

#undef BITS

// The entry for Id in the first of the record's service classes that has one.
const PROFILE_ATTRIBUTE* FindProfileAttribute(const ServiceRecord& Record, uint16_t Id)
{
    const DataElement* Classes = Record.Find(ATTR_SERVICE_CLASS_ID_LIST);
    if (!Classes || !Classes->IsContainer()) return nullptr;
    for (const DataElement& c : Classes->Members) {
        uint32_t u;
        if (!c.ShortUuid(u)) continue;
        for (const PROFILE_ATTRIBUTE& p : ProfileAttributes)
            if (p.Class == u && p.Id == Id) return &p;
    }
    return nullptr;
}

bool IsServerRecord(const ServiceRecord& Record)
{
    if (Record.Handle() == 0u) return true;
    const DataElement* Classes = Record.Find(ATTR_SERVICE_CLASS_ID_LIST);
    if (!Classes || !Classes->IsContainer()) return false;
    for (const DataElement& c : Classes->Members) {
        uint32_t u;
        if (c.ShortUuid(u) && u == 0x1000) return true;
    }
    return false;
}

} // namespace

const char* UuidName(uint32_t ShortUuid)
{
    for (const NAME_ENTRY& e : UuidNames)
        if (e.Value == ShortUuid) return e.Name;
    return nullptr;
}

const char* AttributeName(const ServiceRecord& Record, uint16_t Id)
{
    for (const NAME_ENTRY& e : UniversalAttributes)
        if (e.Value == Id) return e.Name;
    if (const PROFILE_ATTRIBUTE* p = FindProfileAttribute(Record, Id)) return p->Name;
    if ((Id == 0x0200 || Id == 0x0201) && IsServerRecord(Record))
        return Id == 0x0200 ? "VersionNumberList" : "ServiceDatabaseState";

    // Language bases: every third member of the list, starting with the
    // third, is a base attribute ID (language, encoding, base).
    std::vector<uint32_t> Bases;
    const DataElement* Lang = Record.Find(ATTR_LANGUAGE_BASE_ATTRIBUTE_ID_LIST);
    if (Lang && Lang->IsContainer()) {
        for (size_t i = 2; i < Lang->Members.size(); i += 3)
            if (Lang->Members[i].Type == DeType::Uint && Lang->Members[i].Data.size() == 2)
                Bases.push_back(uint32_t(Lang->Members[i].Number()));
    }
    if (Bases.empty()) Bases.push_back(0x0100);
    for (uint32_t Base : Bases)
        if (Id >= Base && Id - Base < 3) return LanguageAttributes[Id - Base];
    return nullptr;
}

bool FeatureBitNames(const ServiceRecord& Record, uint16_t Id, const DataElement& Value,
                     std::vector<std::string>& Names)
{
    const PROFILE_ATTRIBUTE* p = FindProfileAttribute(Record, Id);
    if (!p || !p->Bits || Value.Type != DeType::Uint || Value.Data.empty() || Value.Data.size() > 8)
        return false;
    const uint64_t Mask = Value.Number();
    Names.clear();
    for (unsigned Bit = 0; Bit < 64; ++Bit) {
        if (!(Mask >> Bit & 1)) continue;
        Names.push_back(Bit < p->BitCount ? p->Bits[Bit] : "bit" + std::to_string(Bit));
    }
    return true;
}

} // namespace kivtool
