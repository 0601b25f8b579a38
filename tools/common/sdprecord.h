// A service record as the tools see it: attribute IDs with their values, in
// the order they were read (a database image and export keep ascending IDs).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sdpelement.h"

namespace kivtool {

struct ServiceAttribute {
    uint16_t Id = 0;
    DataElement Value;
    bool operator==(const ServiceAttribute&) const = default;
};

struct ServiceRecord {
    std::vector<ServiceAttribute> Attributes;
    bool operator==(const ServiceRecord&) const = default;

    // The value of attribute Id, or null; valid until the record changes.
    const DataElement* Find(uint16_t Id) const;
    // The handle in attribute 0x0000 when it is a 32-bit unsigned integer.
    std::optional<uint32_t> Handle() const;
};

// The record that an SDP AttributeList carries (a sequence of attribute ID,
// a 16-bit unsigned integer, and value pairs), as a ServiceAttribute or
// ServiceSearchAttribute response returns it. Refuses anything else with a
// reason; Out is then unchanged.
bool RecordFromAttributeList(const DataElement& List, ServiceRecord& Out, std::string& Err);

// Attribute IDs the tools treat specially.
constexpr uint16_t ATTR_SERVICE_RECORD_HANDLE = 0x0000;
constexpr uint16_t ATTR_SERVICE_CLASS_ID_LIST = 0x0001;
constexpr uint16_t ATTR_LANGUAGE_BASE_ATTRIBUTE_ID_LIST = 0x0006;

} // namespace kivtool
