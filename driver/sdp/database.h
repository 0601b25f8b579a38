// The service database of the SDP server core: records of attributes whose
// values are data elements, the change counters and state attributes, the
// record handle counter, the application's database requests over their
// buffers, and the three search transactions (defined in search.cpp).
//
// Locking: the host supplies the database lock through SetLockHooks (a fast
// mutex in the driver). The primitive operations (CreateServiceRecord ...
// FindServiceAttribute) expect the caller to hold it; the application
// requests (UserIoctl*) and the Execute* transactions take it themselves,
// as the driver's handlers do. Nothing here is thread-safe without the lock.
#pragma once

#include "sdpdefs.h"

struct ID_RANGE;

// A buffered device-control request as the handlers see it: input and output
// share one system buffer. Information is set by the handler (bytes to return,
// or the size a reading request would have needed); the host copies back at
// most OutputLength bytes.
struct SDP_IOCTL_BUFFER {
    uint8_t* SystemBuffer;
    uint32_t InputLength;
    uint32_t OutputLength;
    uint32_t Information;
};

typedef void (*PSDP_LOCK_ROUTINE)(void* Context);
struct SEARCH_ATTRIBUTE_REQUEST;

class CSdpDatabase {
public:
    CSdpDatabase() = default;
    // Frees whatever records are left (TerminateSdpDatabase).
    ~CSdpDatabase();
    CSdpDatabase(const CSdpDatabase&) = delete;
    CSdpDatabase& operator=(const CSdpDatabase&) = delete;

    // The host's database lock; without hooks DatabaseLock/Unlock do nothing.
    void SetLockHooks(PSDP_LOCK_ROUTINE pfnLock, PSDP_LOCK_ROUTINE pfnUnlock, void* Context);
    void DatabaseLock();
    void DatabaseUnlock();

    // ---- Records and attributes (caller holds the lock) ----

    // Makes the server record (handle 0, 0x0001, 0x0002, 0x0201) and sets
    // NextRecordHandle. On a failure stops there and returns its status; the
    // part of the server record already made stays.
    SDP_STATUS InitializeSdpDatabase();
    // Frees every record; always success.
    SDP_STATUS TerminateSdpDatabase();
    // Appends a record holding only its ServiceRecordHandle attribute. When
    // that attribute cannot be made the record is removed again and
    // SDP_STATUS_INSUFFICIENT_RESOURCES returned (the change counters and
    // ServiceDatabaseState then show the record made and freed).
    SDP_STATUS CreateServiceRecord(uint32_t hRec);
    // Unlinks and frees the record *ppLink points to, with its attributes.
    SDP_STATUS FreeServiceRecord(SERVICE_RECORD** ppLink);
    // Refuses handle 0 and unknown handles (SDP_STATUS_INVALID_PARAMETER).
    SDP_STATUS DeleteServiceRecord(uint32_t hRec);
    // The link pointing to the record with that handle, or null.
    SERVICE_RECORD** FindServiceRecord(uint32_t hRec);
    // Inserts attribute AttId with a copy of the value at *ppLink. No checks.
    SDP_STATUS CreateServiceAttribute(SERVICE_ATTRIBUTE** ppLink, uint16_t AttId,
                                      const uint8_t* pValue, uint32_t Length);
    // Unlinks and frees the attribute *ppLink points to. Always true.
    bool FreeServiceAttribute(SERVICE_ATTRIBUTE** ppLink);
    // Refuses handle 0, ID 0, unknown records and attributes.
    SDP_STATUS DeleteServiceAttribute(uint32_t hRec, uint16_t AttId);
    // Adds one attribute in ID order after the checks; UserRequest refuses
    // handle 0 and ID 0 as an application's request must.
    SDP_STATUS AddNewServiceAttribute(uint32_t hRec, uint16_t AttId, const uint8_t* pValue,
                                      uint32_t Length, bool UserRequest);
    // The link pointing to the first attribute with that ID, or null.
    static SERVICE_ATTRIBUTE** FindServiceAttribute(SERVICE_RECORD* pRecord, uint16_t AttId);
    // Increments attribute 0x0002 of pRecord when it is a 32-bit unsigned integer.
    bool UpdateServiceRecordStateAttribute(SERVICE_RECORD* pRecord);
    // Increments attribute 0x0201 of pFirstRecord when it is a 32-bit unsigned integer.
    bool UpdateServerDataBaseStateAttribute(SERVICE_RECORD* pFirstRecord);

    // ---- Application requests (take the lock themselves) ----

    // Output 4 bytes: the new handle (NextRecordHandle, used up even when
    // the creation fails).
    SDP_STATUS UserIoctlAddRecord(SDP_IOCTL_BUFFER& Io);
    // Input 4 bytes: the handle.
    SDP_STATUS UserIoctlDeleteRecord(SDP_IOCTL_BUFFER& Io);
    // Input: handle (4), ID (2), value length L (4), L value bytes.
    SDP_STATUS UserIoctlAddAttribute(SDP_IOCTL_BUFFER& Io);
    // Input: handle (4), ID (2).
    SDP_STATUS UserIoctlDeleteAttribute(SDP_IOCTL_BUFFER& Io);
    // Input: the element bytes. Takes no lock and touches no database.
    static SDP_STATUS UserIoctlVerifyDataElement(SDP_IOCTL_BUFFER& Io);
    // Output: the database image (count, records, attribute entries).
    SDP_STATUS UserIoctlGetDatabase(SDP_IOCTL_BUFFER& Io);
    // Output: the application records' handles, 4 bytes each.
    SDP_STATUS UserIoctlGetRecordHandles(SDP_IOCTL_BUFFER& Io);

    // ---- Search transactions (search.cpp) ----

    // Each writes into pResponse exactly one response PDU or an 11-byte error
    // response, never more than MaxResponseLen bytes (the channel MTU,
    // MIN_MTU..MAX_MTU), and reads only the RequestLen request bytes. The
    // caller holds the lock. Always success. Nothing is allocated.
    SDP_STATUS Database_ServiceSearchRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                             uint8_t* pResponse, uint32_t MaxResponseLen);
    SDP_STATUS Database_ServiceAttributeRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                                uint8_t* pResponse, uint32_t MaxResponseLen);
    SDP_STATUS Database_ServiceSearchAttributeRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                                      uint8_t* pResponse, uint32_t MaxResponseLen);
    // Zero MaxResponseLen bytes of the response, then run the transaction
    // under the lock.
    SDP_STATUS ExecuteServiceSearchRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                           uint8_t* pResponse, uint32_t MaxResponseLen);
    SDP_STATUS ExecuteServiceAttributeRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                              uint8_t* pResponse, uint32_t MaxResponseLen);
    SDP_STATUS ExecuteServiceSearchAttributeRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                                    uint8_t* pResponse, uint32_t MaxResponseLen);
    // Answers one request PDU by its ID (any ID but 0x02, 0x04, 0x06 gets
    // error 0x0003) into pResponse (at least MaxMtu bytes, MaxMtu within
    // MIN_MTU..MAX_MTU) and returns the response PDU's length
    // (ParameterLength + 5, at most MaxMtu).
    uint32_t ExecuteSdpRequest(const uint8_t* pPdu, uint32_t PduLen, uint8_t* pResponse,
                               uint16_t MaxMtu);

    // ---- State, in the order the debug information record reports it ----
    SERVICE_RECORD* RecordList = nullptr;
    uint32_t DatabaseChangeCount = 0;
    uint32_t NextRecordHandle = 0;
    uint32_t OutstandingAllocations = 0;
    uint32_t TotalAllocations = 0;

    // The search index (records by handle, per-record UUID summaries) and the
    // series memo answer exactly as a walk of the list would; off, every
    // transaction walks. On by default. Caller holds the lock.
    void SetFastPath(bool Enable) { m_FastPath = Enable; }

    // ---- Search index (dbindex.cpp; caller holds the lock) ----

    // One request's series memo: the list bytes each record starts at, for
    // one pattern, MaxByteCount and ID list under one database generation.
    struct SERIES_MEMO {
        uint64_t Generation;
        uint32_t LastUse;
        uint32_t KeyLength; // 0: empty slot
        uint8_t Key[MAX_PDU_SIZE];
    };

    // True when the index may stand in for the list walk: the fast path is on,
    // no zone that traces the walk is enabled, and every record is well
    // formed with handles strictly ascending in list order. Brings the index
    // up to date with the database first.
    bool IndexUsable();
    // The record with that handle (the index must be usable).
    SERVICE_RECORD* IndexFindRecord(uint32_t hRec) const;
    // The memo slot for Key (a request's pattern, MaxByteCount and ID list),
    // or -1 when none is kept for it under the current generation.
    int FindSeriesMemo(const uint8_t* pKey, uint32_t KeyLength);
    // Takes the least recently used slot for Key; the caller fills every
    // record's MemoBefore for it.
    int ClaimSeriesMemo(const uint8_t* pKey, uint32_t KeyLength);
    // The record with that handle, through the index when it is usable.
    SERVICE_RECORD* LookupRecord(uint32_t hRec);

private:
    // One of the Database_* transactions, run by ExecuteLocked on a zeroed
    // response under the lock.
    using TRANSACTION = SDP_STATUS (CSdpDatabase::*)(const uint8_t*, uint32_t, uint8_t*, uint32_t);
    SDP_STATUS ExecuteLocked(TRANSACTION Transaction, const uint8_t* pRequest, uint32_t RequestLen,
                             uint8_t* pResponse, uint32_t MaxResponseLen);
    bool BuildSeriesMemo(uint32_t Slot, const uint8_t* pPattern, uint32_t PatternSize,
                         uint32_t MembersStart, uint32_t PatternAvailable, uint64_t Required,
                         const ID_RANGE* pRanges, uint32_t RangeCount, uint32_t MaxByteCount);
    bool SeekSeries(const SEARCH_ATTRIBUTE_REQUEST& Req, uint64_t Required,
                    const SERVICE_RECORD** ppFirst, uint32_t* pTotFound);
    // Which records' summaries must be made again before the index is used.
    void MarkRecordChanged(SERVICE_RECORD* pRecord);
    void RefreshIndex();

    static constexpr uint32_t INDEX_BUCKETS = 512;
    bool m_FastPath = true;
    // Counts every change as DatabaseChangeCount does, but never wraps and is
    // never set from outside, so the index and the memo cannot mistake an
    // old database for the current one.
    uint64_t m_Generation = 1;
    uint64_t m_IndexGeneration = 0;
    // A primitive changed some record's attributes without saying which one.
    bool m_SummariesStale = true;
    bool m_IndexClean = false;
    uint32_t m_MemoClock = 0;
    SERVICE_RECORD* m_Buckets[INDEX_BUCKETS] = {};
    SERIES_MEMO m_Memo[SDP_SERIES_MEMO_SLOTS] = {};

    PSDP_LOCK_ROUTINE m_pfnLock = nullptr;
    PSDP_LOCK_ROUTINE m_pfnUnlock = nullptr;
    void* m_LockContext = nullptr;
};

// Writes the 11-byte error response for the request at pRequest (its bytes 1-2
// are the transaction ID; missing bytes count as 0) into pResponse, which
// must hold 11 bytes. Always success.
SDP_STATUS Database_GenerateErrorResponse(const uint8_t* pRequest, uint32_t RequestLen,
                                          uint8_t* pResponse, uint16_t ErrorCode,
                                          uint32_t ErrorInfo);
