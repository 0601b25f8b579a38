// Core types and constants of the SDP server core: status codes, wire limits,
// SDP error codes, the database nodes and the continuation state record.
// Platform-free: this header can be included beside a kernel-shaped header
// set, so it defines none of the kernel's own type or status names.
#pragma once

#include <cstddef>
#include <cstdint>

// Status values carry the kernel's numbers under the core's own names.
typedef int32_t SDP_STATUS;

constexpr SDP_STATUS SDP_STATUS_SUCCESS = 0;
constexpr SDP_STATUS SDP_STATUS_UNSUCCESSFUL = static_cast<SDP_STATUS>(0xC0000001u);
constexpr SDP_STATUS SDP_STATUS_INVALID_PARAMETER = static_cast<SDP_STATUS>(0xC000000Du);
constexpr SDP_STATUS SDP_STATUS_INSUFFICIENT_RESOURCES = static_cast<SDP_STATUS>(0xC000009Au);
constexpr SDP_STATUS SDP_STATUS_INTERNAL_ERROR = static_cast<SDP_STATUS>(0xC00000E5u);

constexpr bool SdpSuccess(SDP_STATUS Status)
{
    return Status >= 0;
}

// Largest SDP PDU, largest data element and largest channel MTU.
constexpr uint32_t MAX_PDU_SIZE = 512;
// Read buffer and response block: a CID and the largest PDU must fit.
constexpr uint32_t MAX_SDP_DATA_PACKET_SIZE = 1024;
static_assert(MAX_SDP_DATA_PACKET_SIZE > MAX_PDU_SIZE + 2, "a frame must hold CID + largest PDU");
constexpr uint16_t MIN_MTU = 48;
constexpr uint16_t MAX_MTU = 512;
constexpr uint32_t L2CAP_CONTEXT_COUNT = 16;

// Handle of the server's own record and of the first application record.
constexpr uint32_t SDP_SERVER_RECORD_HANDLE = 0;
constexpr uint32_t SDP_FIRST_RECORD_HANDLE = 0x00010000;

// SDP PDU IDs.
constexpr uint8_t SDP_PDU_ERROR_RESPONSE = 0x01;
constexpr uint8_t SDP_PDU_SERVICE_SEARCH_REQUEST = 0x02;
constexpr uint8_t SDP_PDU_SERVICE_SEARCH_RESPONSE = 0x03;
constexpr uint8_t SDP_PDU_SERVICE_ATTRIBUTE_REQUEST = 0x04;
constexpr uint8_t SDP_PDU_SERVICE_ATTRIBUTE_RESPONSE = 0x05;
constexpr uint8_t SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_REQUEST = 0x06;
constexpr uint8_t SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_RESPONSE = 0x07;

// PDU header: PduId (1), TransactionId (2), ParameterLength (2), big-endian.
constexpr uint32_t SDP_PDU_HEADER_SIZE = 5;
constexpr uint32_t SDP_PDU_TRANSACTION_ID_OFFSET = 1;
constexpr uint32_t SDP_PDU_PARAMETER_LENGTH_OFFSET = 3;
constexpr uint32_t SDP_ERROR_RESPONSE_SIZE = 11;

// SDP error codes the server sends. 0x00FF is outside the SDP table: it
// reports malformed stored or received elements that earlier checks missed.
constexpr uint16_t SDP_ERROR_NONE = 0x0000;
constexpr uint16_t SDP_ERROR_INVALID_RECORD_HANDLE = 0x0002;
constexpr uint16_t SDP_ERROR_INVALID_SYNTAX = 0x0003;
constexpr uint16_t SDP_ERROR_INVALID_PDU_SIZE = 0x0004;
constexpr uint16_t SDP_ERROR_INVALID_CONTINUATION_STATE = 0x0005;
constexpr uint16_t SDP_ERROR_INTERNAL = 0x00FF;

// Attribute IDs the database itself maintains.
constexpr uint16_t SDP_ATTR_SERVICE_RECORD_HANDLE = 0x0000;
constexpr uint16_t SDP_ATTR_SERVICE_CLASS_ID_LIST = 0x0001;
constexpr uint16_t SDP_ATTR_SERVICE_RECORD_STATE = 0x0002;
constexpr uint16_t SDP_ATTR_SERVICE_DATABASE_STATE = 0x0201;

// One attribute of a record. Value is its own pool block holding exactly
// one data element of at most MAX_PDU_SIZE bytes.
struct SERVICE_ATTRIBUTE {
    uint16_t AttributeId;
    uint8_t* Value;
    SERVICE_ATTRIBUTE* Next;
};

// Records of the series memo the database keeps (CSdpDatabase).
constexpr uint32_t SDP_SERIES_MEMO_SLOTS = 4;

// One service record; its attributes are sorted by ascending ID and the
// first is always 0x0000, whose value (0A + 4 bytes) is the record handle.
// The fields after Next are derived data of the search index: the database
// recomputes them from the attributes, and nothing else may rely on them.
struct SERVICE_RECORD {
    SERVICE_ATTRIBUTE* AttributeList;
    SERVICE_RECORD* Next;
    SERVICE_RECORD* HashNext; // next record in the handle index bucket
    uint64_t UuidBloom;       // two bits per UUID found at any depth of any value
    uint32_t Handle;          // the handle attribute's value, when SummaryOk
    bool SummaryDirty;        // an attribute changed since the summary was made
    bool SummaryOk;           // handle readable, every value a well-formed element
    // Per memo slot: the list bytes counted before this record, or
    // SDP_MEMO_LIMIT_REACHED when MaxByteCount stopped the count before it.
    uint32_t MemoBefore[SDP_SERIES_MEMO_SLOTS];
};
constexpr uint32_t SDP_MEMO_LIMIT_REACHED = 0xFFFFFFFFu;

// The server's resume record. On the wire it follows a 0x0C length byte,
// each field little-endian (unlike the rest of an SDP PDU).
struct CONTINUATION_STATE {
    uint32_t ServerState;
    uint32_t hCurRec;
    uint16_t CurAttID;
    uint16_t CurOffset;
};
constexpr uint8_t CONTINUATION_STATE_WIRE_SIZE = 12;
// A continuation state field on the wire: its length byte, then the record.
constexpr uint32_t SDP_CONTINUATION_FIELD_SIZE = 1 + CONTINUATION_STATE_WIRE_SIZE;

// Data element headers the server writes and reads at fixed places: a
// 16-bit unsigned integer (attribute ID), a 32-bit one (record handle, ID
// range) and a sequence with a 16-bit length.
constexpr uint8_t SDP_DE_HEADER_UINT16 = 0x09;
constexpr uint8_t SDP_DE_HEADER_UINT32 = 0x0A;
constexpr uint8_t SDP_DE_HEADER_SEQUENCE16 = 0x36;
constexpr uint32_t SDP_ATTRIBUTE_ID_ELEMENT_SIZE = 3;    // 09 + ID
constexpr uint32_t SDP_ATTRIBUTE_RANGE_ELEMENT_SIZE = 5; // 0A + Min + Max
constexpr uint32_t SDP_SEQUENCE16_HEADER_SIZE = 3;       // 36 + length

// ServiceSearchResponse: the PDU header, TotalServiceRecordCount and
// CurrentServiceRecordCount, then 4 bytes per handle and the continuation
// state. A handle is written only while it and a whole continuation state
// fit into the PDU with a byte to spare.
constexpr uint32_t SDP_SEARCH_RESPONSE_COUNTS_SIZE = 4;
constexpr uint32_t SDP_RECORD_HANDLE_SIZE = 4;
constexpr uint32_t SDP_SEARCH_HANDLE_BUDGET = SDP_RECORD_HANDLE_SIZE + SDP_CONTINUATION_FIELD_SIZE;

// ServiceAttributeResponse and ServiceSearchAttributeResponse: the PDU
// header, AttributeListByteCount, then this response's part of the list
// (the first of a series opens with the list's sequence header) and the
// continuation state.
constexpr uint32_t SDP_ATTRIBUTE_BYTE_COUNT_SIZE = 2;
constexpr uint32_t SDP_ATTRIBUTE_LIST_OFFSET = SDP_PDU_HEADER_SIZE + SDP_ATTRIBUTE_BYTE_COUNT_SIZE;
// ServiceAttributeRequest: ServiceRecordHandle and MaximumAttributeByteCount
// come before the ID list.
constexpr uint32_t SDP_ATTRIBUTE_REQUEST_FIXED_SIZE = SDP_RECORD_HANDLE_SIZE + 2;

// Byte budgets of the attribute scan. Over a series the list's entries stay
// within MaxByteCount - SDP_LIST_BUDGET_RESERVE. In one response a value is
// sent whole only within MaxResponseLen - (write index) - SDP_QUEUE_RESERVE,
// counted after its ID; the traces show the room before the last
// SDP_QUEUE_RESERVE_UNTRACED bytes are taken off.
constexpr uint32_t SDP_LIST_BUDGET_RESERVE = 6;
constexpr uint32_t SDP_QUEUE_RESERVE = 29;
constexpr uint32_t SDP_QUEUE_RESERVE_UNTRACED = 10;
