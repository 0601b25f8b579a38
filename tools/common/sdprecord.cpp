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

bool RecordFromAttributeList(const DataElement& List, ServiceRecord& Out, std::string& Err)
{
    if (List.Type != DeType::Sequence) {
        Err = "an attribute list is a sequence";
        return false;
    }
    if (List.Members.size() % 2) {
        Err = "attribute list of " + std::to_string(List.Members.size()) +
              " elements does not pair IDs with values";
        return false;
    }
    ServiceRecord Rec;
    for (size_t i = 0; i < List.Members.size(); i += 2) {
        const DataElement& Id = List.Members[i];
        if (Id.Type != DeType::Uint || Id.Data.size() != 2) {
            Err = "element " + std::to_string(i + 1) +
                  " of the attribute list is not a 16-bit attribute ID";
            return false;
        }
        Rec.Attributes.push_back({uint16_t(Id.Number()), List.Members[i + 1]});
    }
    Out = std::move(Rec);
    return true;
}

} // namespace kivtool
