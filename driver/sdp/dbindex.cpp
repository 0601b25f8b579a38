// The search index: records by handle and a summary of the UUIDs each record
// holds, plus the series memo. All of it is derived from the record list and
// made again from it, under the database lock, the first time a transaction
// needs it after a change; nothing here allocates or prints, so a transaction
// that uses it answers and traces exactly as one that walks the list.
#include <cstring>

#include "bytes.h"
#include "database.h"
#include "dataelement.h"
#include "kivsdpioctl.h"
#include "sdpdebug.h"
#include "search.h"

namespace {

// Adds the summary bits of every UUID at any depth of a well-formed element.
void CollectUuids(const uint8_t* pDE, uint32_t Length, uint64_t* pBloom)
{
    const uint8_t Type = SdpDeType(pDE[0]);
    if (Type == SDP_DE_UUID) {
        *pBloom |= UuidBloomBits(pDE);
        return;
    }
    if (Type != SDP_DE_SEQUENCE && Type != SDP_DE_ALTERNATIVE) return;
    uint32_t Offset = SdpDeHeaderSize(pDE[0]);
    while (Offset < Length) {
        const uint32_t MemberSize = SdpQuietElementSize(pDE + Offset, Length - Offset);
        if (MemberSize == 0) return;
        CollectUuids(pDE + Offset, MemberSize, pBloom);
        Offset += MemberSize;
    }
}

// A record the index can stand for: the handle attribute first, as the list
// walks read it, and every value one well-formed element, so that no walk of
// it could end in an error or a message.
void ComputeSummary(SERVICE_RECORD* pRecord)
{
    pRecord->SummaryDirty = false;
    pRecord->SummaryOk = false;
    pRecord->UuidBloom = 0;
    const SERVICE_ATTRIBUTE* pFirst = pRecord->AttributeList;
    if (!pFirst || pFirst->AttributeId != SDP_ATTR_SERVICE_RECORD_HANDLE || !pFirst->Value ||
        pFirst->Value[0] != 0x0A) {
        return;
    }
    CByteReader Handle(pFirst->Value + 1, 4);
    pRecord->Handle = Handle.ReadBe32();
    uint64_t Bloom = 0;
    for (const SERVICE_ATTRIBUTE* pAttr = pFirst; pAttr; pAttr = pAttr->Next) {
        // The counts of the series memo rely on the IDs ascending.
        if (!pAttr->Value || (pAttr->Next && pAttr->Next->AttributeId <= pAttr->AttributeId))
            return;
        const uint32_t Size = SdpQuietElementSize(pAttr->Value, 5);
        if (Size == 0 || !SdpQuietVerifyElement(pAttr->Value, Size)) return;
        CollectUuids(pAttr->Value, Size, &Bloom);
    }
    pRecord->UuidBloom = Bloom;
    pRecord->SummaryOk = true;
}

uint32_t Bucket(uint32_t hRec, uint32_t Buckets)
{
    return (hRec * 2654435761u) % Buckets;
}

} // namespace

void CSdpDatabase::MarkRecordChanged(SERVICE_RECORD* pRecord)
{
    if (pRecord) pRecord->SummaryDirty = true;
}

void CSdpDatabase::RefreshIndex()
{
    std::memset(m_Buckets, 0, sizeof(m_Buckets));
    bool Clean = true;
    bool HavePrevious = false;
    uint32_t Previous = 0;
    for (SERVICE_RECORD* pRecord = RecordList; pRecord; pRecord = pRecord->Next) {
        if (m_SummariesStale || pRecord->SummaryDirty) ComputeSummary(pRecord);
        pRecord->HashNext = nullptr;
        if (!pRecord->SummaryOk) {
            Clean = false;
            continue;
        }
        // Strictly ascending handles make "handle below hCurRec" mean
        // "before that record in the list", and every handle unique.
        if (HavePrevious && pRecord->Handle <= Previous) Clean = false;
        HavePrevious = true;
        Previous = pRecord->Handle;
        SERVICE_RECORD*& Head = m_Buckets[Bucket(pRecord->Handle, INDEX_BUCKETS)];
        pRecord->HashNext = Head;
        Head = pRecord;
    }
    m_SummariesStale = false;
    m_IndexGeneration = m_Generation;
    m_IndexClean = Clean;
}

bool CSdpDatabase::IndexUsable()
{
    // Those zones trace every step of the walk the index would skip.
    if (!m_FastPath || (SdpGetZoneMask() & (SDP_ZONE_SEARCH_MASK | SDP_ZONE_DATABASE_MASK)) != 0)
        return false;
    if (m_IndexGeneration != m_Generation) RefreshIndex();
    return m_IndexClean;
}

SERVICE_RECORD* CSdpDatabase::IndexFindRecord(uint32_t hRec) const
{
    for (SERVICE_RECORD* pRecord = m_Buckets[Bucket(hRec, INDEX_BUCKETS)]; pRecord;
         pRecord = pRecord->HashNext) {
        if (pRecord->Handle == hRec) return pRecord;
    }
    return nullptr;
}

int CSdpDatabase::FindSeriesMemo(const uint8_t* pKey, uint32_t KeyLength)
{
    for (uint32_t i = 0; i < SDP_SERIES_MEMO_SLOTS; i++) {
        SERIES_MEMO& Memo = m_Memo[i];
        if (Memo.KeyLength == KeyLength && Memo.Generation == m_Generation &&
            std::memcmp(Memo.Key, pKey, KeyLength) == 0) {
            Memo.LastUse = ++m_MemoClock;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CSdpDatabase::ClaimSeriesMemo(const uint8_t* pKey, uint32_t KeyLength)
{
    if (KeyLength == 0 || KeyLength > sizeof(m_Memo[0].Key)) return -1;
    uint32_t Victim = 0;
    for (uint32_t i = 0; i < SDP_SERIES_MEMO_SLOTS; i++) {
        const SERIES_MEMO& Memo = m_Memo[i];
        if (Memo.KeyLength == 0 || Memo.Generation != m_Generation) {
            Victim = i;
            break;
        }
        if (Memo.LastUse < m_Memo[Victim].LastUse) Victim = i;
    }
    SERIES_MEMO& Memo = m_Memo[Victim];
    Memo.Generation = m_Generation;
    Memo.LastUse = ++m_MemoClock;
    Memo.KeyLength = KeyLength;
    std::memcpy(Memo.Key, pKey, KeyLength);
    return static_cast<int>(Victim);
}
