// Lookups on a tool-side service record.
#include "sdprecord.h"

namespace kivtool {

const DataElement* ServiceRecord::Find(uint16_t Id) const
{
    for (const ServiceAttribute& a : Attributes)
        if (a.Id == Id) return &a.Value;
    return nullptr;
}

std::optional<uint32_t> ServiceRecord::Handle() const
{
    const DataElement* v = Find(ATTR_SERVICE_RECORD_HANDLE);
    if (!v || v->Type != DeType::Uint || v->Data.size() != 4) return std::nullopt;
    return uint32_t(v->Number());
}

} // namespace kivtool
