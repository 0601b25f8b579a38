// UUID matching and the attribute scan with continuation state, shared by
// the three search transactions. They read the database under its lock and
// change nothing in it; nothing here allocates.
#pragma once

#include "bytes.h"
#include "sdpdefs.h"

// ---- UUID matching ----

// True when the UUID element at pUuid (a pattern member) occurs in any
// attribute value of the record. *pError: 0, 3 (pUuid is no UUID) or 0xFF
// (malformed stored data).
bool ScanRecordForUuid(const SERVICE_RECORD* pRecord, const uint8_t* pUuid, uint16_t* pError);
// True when the UUID occurs at any depth of the Length-byte element at pDE.
bool ScanAttributeForUuid(const uint8_t* pDE, uint32_t Length, const uint8_t* pUuid,
                          uint16_t* pError);
// The two bits a UUID element (16-, 32- or 128-bit, complete) sets in a
// record's UUID summary; equal UUIDs of any size set the same bits. 0 for an
// element that is no UUID of those sizes.
uint64_t UuidBloomBits(const uint8_t* pUuid);
// True when the two UUID elements (16-, 32- or 128-bit) denote the same UUID.
// Both must be complete elements of the size their size index names.
bool CompareUuids(const uint8_t* pDE, const uint8_t* pUuid, uint16_t* pError);

// ---- Attribute scan ----

// One member of an AttributeIDList: one ID (Min = Max) or a range.
struct ID_RANGE {
    uint16_t Min;
    uint16_t Max;
};

// The record's handle, from its first attribute (0x0000, value 0A + 4 bytes).
bool ExtractRecordHandle(const SERVICE_RECORD* pRecord, uint32_t* pHandle);

// The in/out values of one request's scan (the callers set them up once per
// request, and the per-record ones before each matching record).
struct ATTRIBUTE_SCAN {
    uint32_t TotFound;   // size of the complete list over the whole series
    uint32_t RecFound;   // size of this record's own list
    uint16_t Error;      // SDP error code of a false result, 0 = limit reached
    bool StateGenerated; // a continuation state was written into this response
    bool HeaderReserved; // 3 bytes were reserved for this record's header...
    size_t HeaderAt;     // ...at this offset of the response
    bool FirstInRecord;  // the record's first attribute in range is not yet counted
    bool HeaderPending;  // the record's first attribute in range is not yet passed
    bool StateUsed;      // the received continuation state has been consumed
};

// Appends to Out (the response PDU, written up to its write position) the attributes of
// pRecord named by the ID element pIdElement (09 + ID or 0A + range), resuming
// after pContState (null without one). True when the record was scanned to its
// end; false with Scan.Error 0 when MaxByteCount was reached, or with the SDP
// error code to answer with. LocalHeaders: every record's list gets its own
// 3-byte sequence header (ServiceSearchAttribute).
bool ScanRecordForAttributes(CByteWriter& Out, const SERVICE_RECORD* pRecord,
                             const uint8_t* pIdElement, uint32_t MaxByteCount,
                             const CONTINUATION_STATE* pContState, uint32_t DatabaseChangeCount,
                             bool LocalHeaders, ATTRIBUTE_SCAN& Scan);
