// Database request buffers and the decoders of the reading requests.
#include "sdpcontrol.h"

#include <cstdio>

#include "bytes.h"
#include "kivsdpioctl.h"

namespace kivtool {
namespace {

void PutLe16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void PutLe32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

std::string Hex16(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
    return b;
}

} // namespace

ControlRequest AddRecordRequest()
{
    return {IOCTL_KIVSDP_ADD_SERVICE_RECORD, {}, sizeof(KIVSDP_RECORD_HANDLE)};
}

ControlRequest DeleteRecordRequest(uint32_t hRec)
{
    ControlRequest r{IOCTL_KIVSDP_DELETE_SERVICE_RECORD, {}, 0};
    PutLe32(r.Input, hRec);
    return r;
}

ControlRequest DeleteAttributeRequest(uint32_t hRec, uint16_t AttId)
{
    ControlRequest r{IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE, {}, 0};
    PutLe32(r.Input, hRec);
    PutLe16(r.Input, AttId);
    return r;
}

ControlRequest VerifyDataElementRequest(const std::vector<uint8_t>& Bytes)
{
    return {IOCTL_KIVSDP_VERIFY_DATA_ELEMENT, Bytes, 0};
}

ControlRequest GetDatabaseRequest(uint32_t OutputLength)
{
    return {IOCTL_KIVSDP_GET_DATABASE, {}, OutputLength};
}

ControlRequest GetRecordHandlesRequest(uint32_t OutputLength)
{
    return {IOCTL_KIVSDP_GET_RECORD_HANDLES, {}, OutputLength};
}

bool AddAttributeRequest(uint32_t hRec, uint16_t AttId, const DataElement& Value,
                         ControlRequest& Out, std::string& Err)
{
    if (AttId == ATTR_SERVICE_RECORD_HANDLE) {
        Err = "attribute 0x0000 (ServiceRecordHandle) is assigned by the server";
        return false;
    }
    std::vector<uint8_t> Bytes;
    DeResult r = EncodeDataElement(Value, Bytes);
    if (!r) {
        Err = "attribute " + Hex16(AttId) + ": " + r.Error;
        return false;
    }
    if (Bytes.size() > MAX_ATTRIBUTE_VALUE_SIZE) {
        Err = "attribute " + Hex16(AttId) + ": value of " + std::to_string(Bytes.size()) +
              " bytes is larger than the " + std::to_string(MAX_ATTRIBUTE_VALUE_SIZE) +
              " bytes the server stores";
        return false;
    }
    ControlRequest Req{IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, {}, 0};
    PutLe32(Req.Input, hRec);
    PutLe16(Req.Input, AttId);
    PutLe32(Req.Input, uint32_t(Bytes.size()));
    Req.Input.insert(Req.Input.end(), Bytes.begin(), Bytes.end());
    Out = std::move(Req);
    return true;
}

bool AddAttributeRequests(uint32_t hRec, const ServiceRecord& Record,
                          std::vector<ControlRequest>& Out, std::string& Err)
{
    std::vector<ControlRequest> Reqs;
    for (const ServiceAttribute& a : Record.Attributes) {
        ControlRequest r;
        if (!AddAttributeRequest(hRec, a.Id, a.Value, r, Err)) return false;
        Reqs.push_back(std::move(r));
    }
    Out = std::move(Reqs);
    return true;
}

bool DecodeRecordHandle(const uint8_t* p, size_t Length, uint32_t& hRec)
{
    CByteReader r(p, Length);
    const uint32_t v = r.ReadLe32();
    if (!r.Ok() || r.Remaining() != 0) return false;
    hRec = v;
    return true;
}

bool DecodeRecordHandles(const uint8_t* p, size_t Length, std::vector<uint32_t>& Out,
                         std::string& Err)
{
    if (Length % 4) {
        Err = "record handle list of " + std::to_string(Length) + " bytes is not a multiple of 4";
        return false;
    }
    CByteReader r(p, Length);
    std::vector<uint32_t> Handles;
    while (r.Remaining())
        Handles.push_back(r.ReadLe32());
    Out = std::move(Handles);
    return true;
}

bool DecodeDatabaseImage(const uint8_t* p, size_t Length, std::vector<ServiceRecord>& Out,
                         std::string& Err)
{
    CByteReader r(p, Length);
    const uint32_t RecordCount = r.ReadLe32();
    if (!r.Ok()) {
        Err = "database image of " + std::to_string(Length) + " bytes has no record count";
        return false;
    }
    std::vector<ServiceRecord> Records;
    for (uint32_t i = 0; i < RecordCount; ++i) {
        const std::string Where =
            "record " + std::to_string(i + 1) + " of " + std::to_string(RecordCount);
        const uint32_t AttrCount = r.ReadLe32();
        if (!r.Ok()) {
            Err = "database image cut short at the attribute count of " + Where;
            return false;
        }
        ServiceRecord Rec;
        for (uint32_t k = 0; k < AttrCount; ++k) {
            const uint16_t Id = r.ReadLe16();
            const uint32_t ValueLen = r.ReadLe32();
            CByteReader Value = r.Take(ValueLen);
            if (!r.Ok()) {
                Err = "database image cut short in attribute " + std::to_string(k + 1) + " of " +
                      Where;
                return false;
            }
            ServiceAttribute a;
            a.Id = Id;
            DeResult pr = ParseDataElement(Value.Current(), Value.Remaining(), a.Value);
            if (!pr) {
                Err = "attribute " + Hex16(Id) + " of " + Where + ": " + pr.Error;
                return false;
            }
            Rec.Attributes.push_back(std::move(a));
        }
        Records.push_back(std::move(Rec));
    }
    if (r.Remaining()) {
        Err = std::to_string(r.Remaining()) + " bytes follow the last record of the image";
        return false;
    }
    Out = std::move(Records);
    return true;
}

uint32_t NextDatabaseLength(uint32_t Offered, uint32_t Information)
{
    const uint64_t Doubled = uint64_t(Offered) * 2 > 0 ? uint64_t(Offered) * 2 : 1;
    uint64_t Next = Information > Doubled ? Information : Doubled;
    if (Next <= Offered) Next = uint64_t(Offered) + 1;
    return Next > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(Next);
}

} // namespace kivtool
