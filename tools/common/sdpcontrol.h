// Device-control request buffers for managing the SDP device's database, and
// decoders for what the reading requests return. The daemon and kivsdpctl
// send these through the device, in process or over the control socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdprecord.h"

namespace kivtool {

// One device-control request: its code, its input bytes, and the output
// length to offer (0 when the request returns nothing).
struct ControlRequest {
    uint32_t Code = 0;
    std::vector<uint8_t> Input;
    uint32_t OutputLength = 0;
    bool operator==(const ControlRequest&) const = default;
};

// Add service record: no input, 4 bytes of output (the new handle, read with
// DecodeRecordHandle).
ControlRequest AddRecordRequest();
ControlRequest DeleteRecordRequest(uint32_t hRec);
ControlRequest DeleteAttributeRequest(uint32_t hRec, uint16_t AttId);
ControlRequest VerifyDataElementRequest(const std::vector<uint8_t>& Bytes);
// Get database with an output buffer of OutputLength bytes (at least 0x40
// is useful). A refused request reports in its byte count the size to retry
// with; see NextDatabaseLength.
ControlRequest GetDatabaseRequest(uint32_t OutputLength);
ControlRequest GetRecordHandlesRequest(uint32_t OutputLength);

// Add service attribute: handle, ID, value length (little-endian) and the
// encoded value. Refuses ID 0 (the server owns the handle attribute), a value
// that does not encode, and one larger than 512 bytes; Out is then unchanged.
bool AddAttributeRequest(uint32_t hRec, uint16_t AttId, const DataElement& Value,
                         ControlRequest& Out, std::string& Err);
// The add-attribute requests that fill record hRec (just made by an
// add-record request) with Record's attributes, in the record's order. The
// record's own 0x0000, if any, is refused like any ID 0. All or nothing:
// on failure Out is unchanged and Err names the attribute.
bool AddAttributeRequests(uint32_t hRec, const ServiceRecord& Record,
                          std::vector<ControlRequest>& Out, std::string& Err);

// The handle written by a completed add-record request (exactly 4 bytes).
bool DecodeRecordHandle(const uint8_t* p, size_t Length, uint32_t& hRec);
// The output of get record handles: a multiple of 4 bytes, no count.
bool DecodeRecordHandles(const uint8_t* p, size_t Length, std::vector<uint32_t>& Out,
                         std::string& Err);
// The database image of get database: record count, then per record its
// attribute count and (ID, length, value) entries, all parsed into
// records. Refused on a short or overlong image, a value length that
// disagrees with the element's own, or a value that does not parse; Out is
// then unchanged and Err says where.
bool DecodeDatabaseImage(const uint8_t* p, size_t Length, std::vector<ServiceRecord>& Out,
                         std::string& Err);

// After a get-database request was refused with byte count Information for a
// buffer of Offered bytes, the buffer size to try next: what the device asked
// for, or twice the offer if that is more (the device only reports the need
// up to the first entry that did not fit). Always more than Offered, so a
// retry loop ends, and saturates at 0xFFFFFFFF.
uint32_t NextDatabaseLength(uint32_t Offered, uint32_t Information);

} // namespace kivtool
