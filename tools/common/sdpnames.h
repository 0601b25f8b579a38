// Names for attribute IDs and UUIDs from the Bluetooth assigned numbers, for
// the common protocols, service classes and profiles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdprecord.h"

namespace kivtool {

// Name of a 16- or 32-bit UUID (or a 128-bit one on the Bluetooth base,
// given by its short value), or null when it is not one we know.
const char* UuidName(uint32_t ShortUuid);

// Name of attribute Id within Record, or null. Universal attributes are
// named everywhere; ServiceName, ServiceDescription and ProviderName are
// named at each language base of the record's LanguageBaseAttributeIDList
// (0x0100 when the record has none); the profile attributes (0x0200 up) by
// the first of the record's service classes that defines them (GOEP, Object
// Push, hands-free, headset, audio, remote control, phonebook and message
// access, HID, Device ID); 0x0200 and 0x0201 otherwise only in the SDP
// server's record (handle 0 or service class 0x1000).
const char* AttributeName(const ServiceRecord& Record, uint16_t Id);

// For an attribute that is a feature mask in the profile of Record's service
// class (SupportedFeatures of hands-free, audio and remote control;
// SupportedRepositories, PbapSupportedFeatures, SupportedMessageTypes,
// MapSupportedFeatures), the names of the bits set in Value, lowest first,
// "bitN" for a bit without a name; true then. False when Id is no such
// attribute or Value is not an unsigned number of up to 64 bits.
bool FeatureBitNames(const ServiceRecord& Record, uint16_t Id, const DataElement& Value,
                     std::vector<std::string>& Names);

} // namespace kivtool
