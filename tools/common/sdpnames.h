// Names for attribute IDs and UUIDs from the Bluetooth assigned numbers, for
// the common protocols, service classes and profiles.
#pragma once

#include <cstdint>

#include "sdprecord.h"

namespace kivtool {

// Name of a 16- or 32-bit UUID (or a 128-bit one on the Bluetooth base,
// given by its short value), or null when it is not one we know.
const char* UuidName(uint32_t ShortUuid);

// Name of attribute Id within Record, or null. Universal attributes are
// named everywhere; ServiceName, ServiceDescription and ProviderName are
// named at each language base of the record's LanguageBaseAttributeIDList
// (0x0100 when the record has none); 0x0200 and 0x0201 only in the SDP
// server's record (handle 0 or service class 0x1000).
const char* AttributeName(const ServiceRecord& Record, uint16_t Id);

} // namespace kivtool
