// kivsdpctl's SDP client side: request PDUs of its own making, the parameters of the responses,
// and the typed values of the command line. No I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdprecord.h"

namespace kivctl {

constexpr uint8_t PDU_ERROR_RESPONSE = 0x01;
constexpr uint8_t PDU_SEARCH_REQUEST = 0x02;
constexpr uint8_t PDU_SEARCH_RESPONSE = 0x03;
constexpr uint8_t PDU_ATTR_REQUEST = 0x04;
constexpr uint8_t PDU_ATTR_RESPONSE = 0x05;
constexpr uint8_t PDU_SEARCH_ATTR_REQUEST = 0x06;
constexpr uint8_t PDU_SEARCH_ATTR_RESPONSE = 0x07;
constexpr uint16_t UUID_PUBLIC_BROWSE_GROUP = 0x1002;

// An attribute ID range, inclusive; a single ID has First == Last.
struct AttrRange {
    uint16_t First = 0x0000, Last = 0xFFFF;
};

// The send-request input: CID (little-endian), then the PDU (big-endian header).
std::vector<uint8_t> SearchRequest(uint16_t Cid, uint16_t Tid,
                                   const std::vector<kivtool::DataElement>& Uuids,
                                   uint16_t MaxRecords, const std::vector<uint8_t>& Cont);
std::vector<uint8_t> AttrRequest(uint16_t Cid, uint16_t Tid, uint32_t hRec, uint16_t MaxBytes,
                                 const std::vector<AttrRange>& Ranges,
                                 const std::vector<uint8_t>& Cont);
std::vector<uint8_t> SearchAttrRequest(uint16_t Cid, uint16_t Tid,
                                       const std::vector<kivtool::DataElement>& Uuids,
                                       uint16_t MaxBytes, const std::vector<AttrRange>& Ranges,
                                       const std::vector<uint8_t>& Cont);

// One response PDU taken apart. Handles for a search response; the attribute bytes of this
// fragment for the attribute responses; Cont is the continuation state (without its length
// byte), empty on the last fragment. Refused (Err says why) on a PDU whose ID is not Expected,
// whose transaction ID is not Tid, whose lengths disagree, or an error response (Err has the
// code).
struct Response {
    std::vector<uint32_t> Handles;
    uint16_t TotalRecords = 0;
    std::vector<uint8_t> AttributeBytes;
    std::vector<uint8_t> Cont;
};
bool ParseResponse(const uint8_t* p, size_t Length, uint8_t Expected, uint16_t Tid, Response& Out,
                   std::string& Err);

// The attribute lists of a ServiceSearchAttribute response (a sequence of attribute lists) as
// records.
bool ParseAttributeLists(const std::vector<uint8_t>& Bytes,
                         std::vector<kivtool::ServiceRecord>& Out, std::string& Err);

// Command-line values. A UUID: 0x1101, 1101, a 32-bit number or the 128-bit form
// 00001101-0000-1000-8000-00805f9b34fb. A range: "0x0100" or "0x0000-0xffff".
bool ParseUuid(const std::string& Text, kivtool::DataElement& Out);
bool ParseRange(const std::string& Text, AttrRange& Out);
bool ParseNumber(const std::string& Text, uint64_t Max, uint64_t& Out);
bool ParseHex(const std::string& Text, std::vector<uint8_t>& Out);
// An attribute value: TYPE:TEXT with TYPE uint8..uint64, int8..int64, uuid, text, url, bool
// (true/false), nil (no text), or hex (an encoded data element, checked here).
bool ParseValue(const std::string& Text, kivtool::DataElement& Out, std::string& Err);

} // namespace kivctl
