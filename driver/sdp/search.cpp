// UUID matching, the attribute scan with continuation state, and the three
// SDP search transactions with their error responses. Everything here runs
// under the database lock, reads only the request bytes and stored values,
// writes only inside the response area, and allocates nothing.
#include "search.h"

#include <cstring>

#include "bytes.h"
#include "database.h"
#include "dataelement.h"
#include "kivsdpioctl.h"
#include "sdpdebug.h"

namespace {

constexpr uint32_t SEARCH = SDP_ZONE_SEARCH_MASK;
constexpr uint32_t WARN = SDP_ZONE_WARN_MASK;

// Largest UUID element (128-bit) and largest attribute ID element (a range).
constexpr uint32_t MAX_UUID_ELEMENT = 17;
constexpr uint32_t MAX_ID_ELEMENT = 5;

struct UUID128 {
    uint32_t W[4];
};

// Canonical 128-bit form of a UUID element, by its size index alone.
bool CanonicalUuid(const uint8_t* pElement, UUID128& Uuid)
{
    // The Bluetooth Base UUID 00000000-0000-1000-8000-00805F9B34FB.
    Uuid = {{0x00000000u, 0x00001000u, 0x80000080u, 0x5F9B34FBu}};
    switch (SdpDeSizeIndex(pElement[0])) {
    case 1: {
        CByteReader r(pElement + 1, 2);
        Uuid.W[0] = r.ReadBe16();
        return true;
    }
    case 2: {
        CByteReader r(pElement + 1, 4);
        Uuid.W[0] = r.ReadBe32();
        return true;
    }
    case 4: {
        CByteReader r(pElement + 1, 16);
        for (uint32_t& w : Uuid.W)
            w = r.ReadBe32();
        return true;
    }
    default:
        return false;
    }
}

// Copies an element of a request list into a zero-filled local buffer, so
// that a member whose header claims more bytes than the request holds is
// compared against zeros rather than whatever lies past the received bytes.
void CopyMember(const uint8_t* pMember, size_t Available, uint8_t* pOut, size_t OutLen)
{
    std::memset(pOut, 0, OutLen);
    std::memcpy(pOut, pMember, Available < OutLen ? Available : OutLen);
}

CONTINUATION_STATE ReadContinuationState(const uint8_t* p)
{
    CByteReader r(p, CONTINUATION_STATE_WIRE_SIZE);
    CONTINUATION_STATE State;
    State.ServerState = r.ReadLe32();
    State.hCurRec = r.ReadLe32();
    State.CurAttID = r.ReadLe16();
    State.CurOffset = r.ReadLe16();
    return State;
}

void WriteContinuationState(CByteWriter& w, const CONTINUATION_STATE& State)
{
    w.WriteU8(CONTINUATION_STATE_WIRE_SIZE);
    w.WriteLe32(State.ServerState);
    w.WriteLe32(State.hCurRec);
    w.WriteLe16(State.CurAttID);
    w.WriteLe16(State.CurOffset);
}

// A request's ParameterLength P must account for every byte after the header.
bool PduLengthMatches(const char* Prefix, uint32_t RequestLen, uint32_t P)
{
    if (RequestLen == P + SDP_PDU_HEADER_SIZE) return true;
    SdpDbgPrint(WARN, "%sERROR! PDU length invalid. Got %d. Calculated %d\n", Prefix,
                static_cast<int>(RequestLen), static_cast<int>(P + SDP_PDU_HEADER_SIZE));
    return false;
}

// The end of a request: the ContinuationState length C (0 or 12; Word names
// it in the message), which with the Used bytes before it must make up the P
// parameter bytes (else MismatchError), then the state at p, which must come
// from the database as it is now. 0 with *ppState pointing at *pState (null
// without a state), else the error code to answer with, its warning out.
uint16_t CheckRequestTail(const char* Prefix, const char* Word, uint8_t C, const uint8_t* p,
                          uint32_t P, uint32_t Used, uint16_t MismatchError, uint32_t ChangeCount,
                          CONTINUATION_STATE* pState, const CONTINUATION_STATE** ppState)
{
    *ppState = nullptr;
    if (C != 0 && C != CONTINUATION_STATE_WIRE_SIZE) {
        SdpDbgPrint(WARN, "%sERROR! %s = 0x%x\n", Prefix, Word, C);
        return SDP_ERROR_INVALID_CONTINUATION_STATE;
    }
    if (Used + C != P) {
        SdpDbgPrint(WARN, "%sERROR! Length mismatch. Got 0x%x. Cal 0x%x\n", Prefix, P, Used + C);
        return MismatchError;
    }
    if (C == 0) return 0;
    *pState = ReadContinuationState(p);
    if (pState->ServerState != ChangeCount) {
        SdpDbgPrint(WARN, "%sERROR! State changed!. Cur 0x%x. Got 0x%x\n", Prefix, ChangeCount,
                    pState->ServerState);
        return SDP_ERROR_INVALID_CONTINUATION_STATE;
    }
    *ppState = pState;
    return 0;
}

enum class WALK { Next, Stop, Fail };

// Walks the members of a request list, from MembersStart while below Size.
// Each is copied into a zero-filled buffer of N bytes (Available bytes of the
// list were received) and handed to Visit, which says how to go on and sets
// the error of a Fail. A member that cannot be measured fails with 0x0003.
// False with *pError set when the request must be answered with an error.
template <size_t N, class VISIT>
bool WalkMembers(const uint8_t* pList, uint32_t Size, uint32_t MembersStart, size_t Available,
                 const char* Name, uint16_t* pError, VISIT Visit)
{
    uint32_t Offset = MembersStart;
    while (Offset < Size) {
        uint8_t Member[N];
        CopyMember(pList + Offset, Available - Offset, Member, N);
        uint16_t Error = 0;
        const WALK Next = Visit(Member, &Error);
        if (Next == WALK::Fail) {
            SdpDbgPrint(WARN, "kivsdp : %s() - ERROR! Search termniated abnormally!\n", Name);
            *pError = Error;
            return false;
        }
        if (Next == WALK::Stop) break;
        const uint32_t MemberSize = GetDataElementSize(pList + Offset, Size - Offset);
        if (MemberSize == 0) {
            SdpDbgPrint(WARN, "kivsdp : %s() - ERROR! Data element error!!\n", Name);
            *pError = SDP_ERROR_INVALID_SYNTAX;
            return false;
        }
        Offset += MemberSize;
    }
    return true;
}

// The match test of ServiceSearch and ServiceSearchAttribute: every UUID of
// the pattern's members (from MembersStart below PatternSize) must occur in
// the record. Returns false with *pError set when the request must be answered
// with an error; *pMatch tells the outcome otherwise.
bool RecordMatchesPattern(const SERVICE_RECORD* pRecord, const uint8_t* pPattern,
                          uint32_t PatternSize, uint32_t MembersStart, size_t PatternAvailable,
                          const char* Name, bool* pMatch, uint16_t* pError)
{
    bool Found = false;
    auto Visit = [&](const uint8_t* pUuid, uint16_t* pMemberError) {
        Found = ScanRecordForUuid(pRecord, pUuid, pMemberError);
        if (Found) return WALK::Next;
        return *pMemberError != 0 ? WALK::Fail : WALK::Stop;
    };
    if (!WalkMembers<MAX_UUID_ELEMENT>(pPattern, PatternSize, MembersStart, PatternAvailable, Name,
                                       pError, Visit)) {
        return false;
    }
    *pMatch = Found;
    return true;
}

// The scan over one record for every member of an AttributeIDList. Returns
// false with *pError when the request must be answered with an error;
// *pLimitReached when MaxByteCount ended the scan.
bool ScanIdList(CByteWriter& Out, const SERVICE_RECORD* pRecord, const uint8_t* pIdList,
                uint32_t IdListSize, uint32_t MembersStart, uint32_t MaxByteCount,
                const CONTINUATION_STATE* pContState, uint32_t ChangeCount, bool LocalHeaders,
                const char* Name, ATTRIBUTE_SCAN& Scan, bool* pLimitReached, uint16_t* pError)
{
    *pLimitReached = false;
    auto Visit = [&](const uint8_t* pIdElement, uint16_t* pMemberError) {
        if (ScanRecordForAttributes(Out, pRecord, pIdElement, MaxByteCount, pContState, ChangeCount,
                                    LocalHeaders, Scan)) {
            return WALK::Next;
        }
        if (Scan.Error != 0) {
            *pMemberError = Scan.Error;
            return WALK::Fail;
        }
        *pLimitReached = true;
        return WALK::Stop;
    };
    return WalkMembers<MAX_ID_ELEMENT>(pIdList, IdListSize, MembersStart, IdListSize, Name, pError,
                                       Visit);
}

// Verification stopped at the received bytes: an element that claims more
// bytes than are there is not well-formed.
bool VerifyReceived(const uint8_t* p, uint32_t Size, uint64_t Available)
{
    return Size <= Available && VerifyDataElement(p, Size);
}

// The checks of one list of a ServiceSearchAttribute request, in their order:
// measured within the Available bytes, well-formed, a sequence, a readable
// header. What ("UUID" or "ID") names the list in the messages. True with the
// list's size and where its members start; false once the warning is out.
bool CheckSearchAttributeList(const char* Prefix, const char* What, const uint8_t* pList,
                              uint32_t Available, uint32_t* pSize, uint32_t* pMembersStart)
{
    const uint32_t Size = GetDataElementSize(pList, Available);
    if (Size == 0) {
        SdpDbgPrint(WARN, "%sERROR! %s list length invalid\n", Prefix, What);
        return false;
    }
    SdpDbgPrint(SEARCH, "%s    %s list length = %d\n", Prefix, What, static_cast<int>(Size));
    if (!VerifyReceived(pList, Size, Available)) {
        SdpDbgPrint(WARN, "%sERROR! %s list syntax invalid\n", Prefix, What);
        return false;
    }
    if (SdpDeType(pList[0]) != SDP_DE_SEQUENCE) {
        SdpDbgPrint(WARN, "%sERROR! Data element not DESEQ\n", Prefix);
        return false;
    }
    const uint32_t MembersStart = SdpDeHeaderSize(pList[0]);
    if (MembersStart == 0) {
        SdpDbgPrint(WARN, "%sERROR! Data element invalid\n", Prefix);
        return false;
    }
    SdpDbgPrint(SEARCH, "%s    %s list offset = %d\n", Prefix, What,
                static_cast<int>(MembersStart));
    *pSize = Size;
    *pMembersStart = MembersStart;
    return true;
}

// The summary bits every record holding all of the pattern's members must
// have. False when a member is no complete UUID: such a pattern may end in an
// error the summary cannot foresee, so it is walked.
bool PatternSummary(const uint8_t* pPattern, uint32_t PatternSize, uint32_t MembersStart,
                    uint64_t* pRequired)
{
    uint64_t Required = 0;
    uint32_t Offset = MembersStart;
    while (Offset < PatternSize) {
        const uint32_t Size = SdpQuietElementSize(pPattern + Offset, PatternSize - Offset);
        if (Size == 0 || Size > PatternSize - Offset) return false;
        const uint64_t Bits = UuidBloomBits(pPattern + Offset);
        if (Bits == 0) return false;
        Required |= Bits;
        Offset += Size;
    }
    *pRequired = Required;
    return true;
}

bool MayMatch(const SERVICE_RECORD* pRecord, bool UseSummary, uint64_t Required)
{
    return !UseSummary || (pRecord->UuidBloom & Required) == Required;
}

// Every member of a list is at least 3 bytes.
constexpr uint32_t MAX_ID_RANGES = MAX_PDU_SIZE / 3 + 1;

// The ranges of an ID list whose every member the scan takes without an
// error (09 + ID, or 0A + Min + Max with Min <= Max). False otherwise.
bool ParseIdList(const uint8_t* pIdList, uint32_t IdListSize, uint32_t MembersStart,
                 ID_RANGE* pRanges, uint32_t* pCount)
{
    uint32_t Count = 0;
    uint32_t Offset = MembersStart;
    while (Offset < IdListSize) {
        const uint8_t Header = pIdList[Offset];
        const uint32_t Size = Header == SDP_DE_HEADER_UINT16   ? SDP_ATTRIBUTE_ID_ELEMENT_SIZE
                              : Header == SDP_DE_HEADER_UINT32 ? SDP_ATTRIBUTE_RANGE_ELEMENT_SIZE
                                                               : 0u;
        if (Size == 0 || Size > IdListSize - Offset || Count == MAX_ID_RANGES) return false;
        CByteReader Id(pIdList + Offset + 1, Size - 1);
        const uint16_t Min = Id.ReadBe16();
        const uint16_t Max = Size == SDP_ATTRIBUTE_RANGE_ELEMENT_SIZE ? Id.ReadBe16() : Min;
        if (Max < Min) return false;
        pRanges[Count++] = ID_RANGE{Min, Max};
        Offset += Size;
    }
    *pCount = Count;
    return true;
}

// Counts a matching record's list as the attribute scan of a series does for
// a record it sends nothing of: 3 + size per attribute in range, the record's
// own header after its first, MaxByteCount ending the count. True when
// MaxByteCount was reached (*pTotFound then stands as before that attribute).
bool CountRecordList(const SERVICE_RECORD* pRecord, const ID_RANGE* pRanges, uint32_t Count,
                     uint32_t MaxByteCount, uint32_t* pTotFound)
{
    uint64_t Tot = *pTotFound;
    bool First = true;
    for (uint32_t i = 0; i < Count; i++) {
        for (const SERVICE_ATTRIBUTE* pAttr = pRecord->AttributeList; pAttr; pAttr = pAttr->Next) {
            const uint16_t AttId = pAttr->AttributeId;
            if (AttId < pRanges[i].Min) continue;
            if (AttId > pRanges[i].Max) break;
            const uint32_t Entry =
                SDP_ATTRIBUTE_ID_ELEMENT_SIZE + SdpQuietElementSize(pAttr->Value, 5);
            if (Tot + Entry + SDP_LIST_BUDGET_RESERVE > MaxByteCount) {
                *pTotFound = static_cast<uint32_t>(Tot);
                return true;
            }
            Tot += Entry;
            if (First) Tot += SDP_SEQUENCE16_HEADER_SIZE;
            First = false;
        }
    }
    *pTotFound = static_cast<uint32_t>(Tot);
    return false;
}

} // namespace

// ---- UUID matching ----

uint64_t UuidBloomBits(const uint8_t* pUuid)
{
    UUID128 Uuid;
    if (SdpDeType(pUuid[0]) != SDP_DE_UUID || !CanonicalUuid(pUuid, Uuid)) return 0;
    uint64_t h = (uint64_t{Uuid.W[0]} << 32 | Uuid.W[1]) * 0x9E3779B97F4A7C15ull;
    h ^= (uint64_t{Uuid.W[2]} << 32 | Uuid.W[3]) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 31;
    return 1ull << (h >> 58) | 1ull << ((h >> 52) & 63);
}

bool CompareUuids(const uint8_t* pDE, const uint8_t* pUuid, uint16_t* pError)
{
    UUID128 Stored;
    UUID128 Wanted;
    if (!CanonicalUuid(pDE, Stored) || !CanonicalUuid(pUuid, Wanted)) {
        SdpDbgPrint(WARN, "kivsdp : CompareUuids() - Data element error!\n");
        *pError = SDP_ERROR_INTERNAL;
        return false;
    }
    *pError = 0;
    for (int i = 0; i < 4; i++) {
        if (Stored.W[i] != Wanted.W[i]) return false;
    }
    return true;
}

bool ScanAttributeForUuid(const uint8_t* pDE, uint32_t Length, const uint8_t* pUuid,
                          uint16_t* pError)
{
    if (Length == 0) {
        SdpDbgPrint(WARN, "kivsdp : ScanAttributeForUuid() - Hmm.. pDE length = 0!\n");
        *pError = SDP_ERROR_INTERNAL;
        return false;
    }
    const uint8_t Type = SdpDeType(pDE[0]);
    if (Type == SDP_DE_UUID) {
        // A stored UUID shorter than its size index would read past its value.
        if (GetDataElementSize(pDE, Length) != Length) {
            SdpDbgPrint(WARN, "kivsdp : CompareUuids() - Data element error!\n");
            *pError = SDP_ERROR_INTERNAL;
            return false;
        }
        return CompareUuids(pDE, pUuid, pError);
    }
    if (Type != SDP_DE_SEQUENCE && Type != SDP_DE_ALTERNATIVE) {
        *pError = 0;
        return false;
    }

    SdpDbgPrint(SEARCH, "kivsdp : ScanAttributeForUuid() - Checking nested elements..\n");
    const uint32_t HeaderSize = SdpDeHeaderSize(pDE[0]);
    if (HeaderSize == 0) {
        SdpDbgPrint(WARN, "kivsdp : ScanAttributeForUuid() - Error! Invalid header\n");
        *pError = SDP_ERROR_INTERNAL;
        return false;
    }
    CByteReader Members(pDE, Length);
    Members.Skip(HeaderSize);
    while (Members.Remaining() > 0) {
        const uint32_t Left = static_cast<uint32_t>(Members.Remaining());
        const uint32_t MemberSize = GetDataElementSize(Members.Current(), Left);
        if (MemberSize == 0) {
            SdpDbgPrint(WARN, "kivsdp : ScanAttributeForUuid() - GetDataElementSize() failed!\n");
            *pError = SDP_ERROR_INTERNAL;
            return false;
        }
        if (MemberSize > Left) {
            SdpDbgPrint(WARN, "kivsdp : ScanAttributeForUuid() - Nested data element error!\n");
            *pError = SDP_ERROR_INTERNAL;
            return false;
        }
        const CByteReader Member = Members.Take(MemberSize);
        if (ScanAttributeForUuid(Member.Current(), MemberSize, pUuid, pError)) return true;
        if (*pError != 0) return false;
    }
    *pError = 0;
    return false;
}

bool ScanRecordForUuid(const SERVICE_RECORD* pRecord, const uint8_t* pUuid, uint16_t* pError)
{
    *pError = 0;
    if (SdpDeType(pUuid[0]) != SDP_DE_UUID) {
        SdpDbgPrint(WARN,
                    "kivsdp : ScanRecordForUuid - Error UUID is not an UUID (pUuid[0] = 0x%x)\n",
                    pUuid[0]);
        *pError = SDP_ERROR_INVALID_SYNTAX;
        return false;
    }
    for (const SERVICE_ATTRIBUTE* pAttr = pRecord ? pRecord->AttributeList : nullptr; pAttr;
         pAttr = pAttr->Next) {
        const uint32_t Length = GetDataElementSize(pAttr->Value, 5);
        if (ScanAttributeForUuid(pAttr->Value, Length, pUuid, pError)) return true;
        if (*pError != 0) return false;
    }
    return false;
}

// ---- Attribute scan ----

bool ExtractRecordHandle(const SERVICE_RECORD* pRecord, uint32_t* pHandle)
{
    if (!pRecord || !pHandle) return false;
    const SERVICE_ATTRIBUTE* pFirst = pRecord->AttributeList;
    if (!pFirst || pFirst->AttributeId != SDP_ATTR_SERVICE_RECORD_HANDLE || !pFirst->Value ||
        pFirst->Value[0] != SDP_DE_HEADER_UINT32) {
        return false;
    }
    CByteReader r(pFirst->Value + 1, SDP_RECORD_HANDLE_SIZE);
    *pHandle = r.ReadBe32();
    return true;
}

namespace {

// The attribute IDs an ID element names (09 + ID or 0A + range): 0 with
// [*pMin, *pMax] set, else the error code to answer with, its warning out.
uint16_t ParseIdElement(const char* Prefix, const uint8_t* pIdElement, uint16_t* pMin,
                        uint16_t* pMax)
{
    if (SdpDeType(pIdElement[0]) != SDP_DE_UINT) {
        SdpDbgPrint(WARN, "%sERROR! Data element not UINT\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    const uint8_t SizeIndex = SdpDeSizeIndex(pIdElement[0]);
    if (SizeIndex != 1 && SizeIndex != 2) {
        SdpDbgPrint(WARN, "%sERROR! Data element size not 16/32 bit\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    CByteReader Id(pIdElement + 1, SizeIndex == 1 ? 2u : 4u);
    *pMin = Id.ReadBe16();
    *pMax = SizeIndex == 1 ? *pMin : Id.ReadBe16();
    if (*pMax < *pMin) {
        SdpDbgPrint(WARN, "%sERROR! ID Range invalid\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    return 0;
}

// Where a scan goes on in a series: the received state's record, attribute
// and offset in its value, until the scan has consumed the state.
struct RESUME_POINT {
    uint32_t Rec;
    uint16_t AttId;
    uint32_t Offset;
};

RESUME_POINT ResumePointOf(const char* Prefix, const CONTINUATION_STATE* pContState,
                           const ATTRIBUTE_SCAN& Scan)
{
    if (!pContState || Scan.StateUsed) return RESUME_POINT{0, 0, 0};
    const RESUME_POINT Resume{pContState->hCurRec, pContState->CurAttID, pContState->CurOffset};
    SdpDbgPrint(SEARCH, "%sResuming from continuation state..\n", Prefix);
    SdpDbgPrint(SEARCH, "%s    Current attribute ID = 0x%x\n", Prefix, Resume.AttId);
    SdpDbgPrint(SEARCH, "%s    Current offset = 0x%x\n", Prefix, Resume.Offset);
    return Resume;
}

// Counts an attribute in range whose value is Size bytes, sent or not, so
// that the lengths in the headers of the first response cover the whole
// series. False, with nothing counted, when it would pass MaxByteCount.
inline bool CountAttribute(const char* Prefix, uint32_t Size, uint32_t MaxByteCount,
                           bool LocalHeaders, ATTRIBUTE_SCAN& Scan)
{
    const uint32_t Entry = SDP_ATTRIBUTE_ID_ELEMENT_SIZE + Size;
    Scan.TotFound += Entry;
    Scan.RecFound += Entry;
    if (static_cast<uint64_t>(Scan.TotFound) + SDP_LIST_BUDGET_RESERVE > MaxByteCount) {
        SdpDbgPrint(SEARCH, "%sAborting search! Max reached..\n", Prefix);
        SdpDbgPrint(SEARCH, "%s    MaxByteCount = 0x%x\n", Prefix,
                    MaxByteCount - SDP_SEQUENCE16_HEADER_SIZE);
        SdpDbgPrint(SEARCH, "%s    *pTotFound = 0x%x\n", Prefix, Scan.TotFound);
        Scan.TotFound -= Entry;
        Scan.RecFound -= Entry;
        return false;
    }
    if (Scan.FirstInRecord && LocalHeaders) {
        SdpDbgPrint(SEARCH, "%sLocal DESEQ header included in TotBytesFound!!\n", Prefix);
        Scan.TotFound += SDP_SEQUENCE16_HEADER_SIZE;
    }
    Scan.FirstInRecord = false;
    return true;
}

// The bytes of a value that still fit in Out; at least one, so that a value
// cut at the end of a response always moves its series on.
inline uint32_t QueueableBytes(const char* Prefix, const CByteWriter& Out)
{
    int64_t Room = static_cast<int64_t>(Out.Capacity()) - static_cast<int64_t>(Out.Position()) -
                   (SDP_QUEUE_RESERVE - SDP_QUEUE_RESERVE_UNTRACED);
    SdpDbgPrint(SEARCH, "%sMax bytes queueable = 0x%x\n", Prefix,
                static_cast<unsigned>(static_cast<uint32_t>(Room)));
    Room -= SDP_QUEUE_RESERVE_UNTRACED;
    return Room <= 0 ? 1u : static_cast<uint32_t>(Room);
}

// Writes the ID of the attribute pAttr (unless the value resumes at Offset
// past its start) and as much of its Size-byte value as fits; a value cut
// short is followed by the continuation state that resumes it. False, with
// Scan.Error set, when Offset lies past the value or a write fell outside
// the PDU.
inline bool QueueAttribute(CByteWriter& Out, const char* Prefix, const SERVICE_ATTRIBUTE* pAttr,
                           uint32_t Size, uint32_t hRec, uint32_t* pOffset,
                           uint32_t DatabaseChangeCount, ATTRIBUTE_SCAN& Scan)
{
    const uint16_t AttId = pAttr->AttributeId;
    const uint32_t Offset = *pOffset;
    if (Offset == 0) {
        SdpDbgPrint(SEARCH, "%sQueueing ID 0x%x (3 bytes)\n", Prefix, AttId);
        Out.WriteU8(SDP_DE_HEADER_UINT16);
        Out.WriteBe16(AttId);
    }
    const uint32_t Room = QueueableBytes(Prefix, Out);
    if (Size < Offset) {
        SdpDbgPrint(WARN, "%sOffset = 0x%x invalid (len = 0x%x)\n", Prefix, Offset, Size);
        Scan.Error = SDP_ERROR_INVALID_CONTINUATION_STATE;
        return false;
    }
    const uint32_t Want = Size - Offset;
    SdpDbgPrint(SEARCH, "%sWe would like to queue 0x%x bytes\n", Prefix, Want);
    // Copies Count bytes of the value from Offset on; Pad indents its trace.
    auto Queue = [&](const char* Pad, uint32_t Count) {
        SdpDbgPrint(SEARCH, "%s%sMemCopy - dest index = 0x%x\n", Prefix, Pad,
                    static_cast<unsigned>(Out.Position()));
        SdpDbgPrint(SEARCH, "%s%sMemCopy - source index = 0x%x\n", Prefix, Pad, Offset);
        SdpDbgPrint(SEARCH, "%s%sTotal att length = 0x%x\n", Prefix, Pad, Size);
        SdpDbgPrint(SEARCH, "%s%sBytes to queue = 0x%x\n", Prefix, Pad, Count);
        Out.WriteBytes(pAttr->Value + Offset, Count);
    };

    if (Want <= Room) {
        SdpDbgPrint(SEARCH, "%sQueueing entire (or remaining bytes of) attribute...\n", Prefix);
        Queue("     ", Want);
        SdpDbgPrint(SEARCH, "kivsdp :     pStateUsed = TRUE!!\n");
        Scan.StateUsed = true;
        *pOffset = 0;
    } else {
        SdpDbgPrint(SEARCH, "%sQueueing partial attribute...\n", Prefix);
        Queue("    ", Room);
        CONTINUATION_STATE State;
        State.ServerState = DatabaseChangeCount;
        State.hCurRec = hRec;
        State.CurAttID = AttId;
        State.CurOffset = static_cast<uint16_t>(Offset + Room);
        SdpDbgPrint(SEARCH, "%sConstructing continuation state..\n", Prefix);
        SdpDbgPrint(SEARCH, "%s     Server state = 0x%x\n", Prefix, State.ServerState);
        SdpDbgPrint(SEARCH, "%s     hCurRec = 0x%x\n", Prefix, State.hCurRec);
        SdpDbgPrint(SEARCH, "%s     CurAttID = 0x%x\n", Prefix, State.CurAttID);
        SdpDbgPrint(SEARCH, "%s     CurOffset = 0x%x\n", Prefix, State.CurOffset);
        WriteContinuationState(Out, State);
        Scan.StateGenerated = true;
    }
    // The byte budgets keep every write inside the PDU; a write that does
    // not fit means the stored data or the budgets are broken.
    if (!Out.Ok()) {
        Scan.Error = SDP_ERROR_INTERNAL;
        return false;
    }
    return true;
}

} // namespace

bool ScanRecordForAttributes(CByteWriter& Out, const SERVICE_RECORD* pRecord,
                             const uint8_t* pIdElement, uint32_t MaxByteCount,
                             const CONTINUATION_STATE* pContState, uint32_t DatabaseChangeCount,
                             bool LocalHeaders, ATTRIBUTE_SCAN& Scan)
{
    constexpr const char* Prefix = "kivsdp : ScanRecordForAttributes() - ";
    uint16_t Min = 0;
    uint16_t Max = 0;
    Scan.Error = ParseIdElement(Prefix, pIdElement, &Min, &Max);
    if (Scan.Error != 0) return false;
    SdpDbgPrint(SEARCH, "%sSearch parms : Min = 0x%x. Max = 0x%x\n", Prefix, Min, Max);
    RESUME_POINT Resume = ResumePointOf(Prefix, pContState, Scan);
    uint32_t hRec = 0;
    if (!ExtractRecordHandle(pRecord, &hRec)) {
        SdpDbgPrint(WARN, "%sERROR! Failed to extract hRec from record..\n", Prefix);
        Scan.Error = SDP_ERROR_INTERNAL;
        return false;
    }

    for (const SERVICE_ATTRIBUTE* pAttr = pRecord->AttributeList; pAttr; pAttr = pAttr->Next) {
        const uint16_t AttId = pAttr->AttributeId;
        if (AttId < Min || AttId > Max) continue;

        SdpDbgPrint(SEARCH, "%s----------------------------------------------------\n", Prefix);
        SdpDbgPrint(SEARCH, "%sMatch! Returning info from ID 0x%x\n", Prefix, AttId);
        const uint32_t Size = GetDataElementSize(pAttr->Value, 5);
        if (!CountAttribute(Prefix, Size, MaxByteCount, LocalHeaders, Scan)) return false;

        if (hRec < Resume.Rec || AttId < Resume.AttId || Scan.StateGenerated) {
            SdpDbgPrint(SEARCH, "%s    Skipping attribute with ID 0x%x\n", Prefix, AttId);
            Scan.HeaderPending = false;
            continue;
        }
        // A record's header goes right before its first attribute sent, and
        // never into a response that resumes inside that record.
        if (Scan.HeaderPending && LocalHeaders && (!pContState || Scan.StateUsed)) {
            Scan.HeaderReserved = true;
            SdpDbgPrint(SEARCH, "%sMoving pointer to include local DESEQ header..\n", Prefix);
            Scan.HeaderAt = Out.Reserve(SDP_SEQUENCE16_HEADER_SIZE);
            SdpDbgPrint(SEARCH, "kivsdp :     We should generate header at 0x%x\n",
                        static_cast<unsigned>(Scan.HeaderAt));
        }
        Scan.HeaderPending = false;
        if (!QueueAttribute(Out, Prefix, pAttr, Size, hRec, &Resume.Offset, DatabaseChangeCount,
                            Scan)) {
            return false;
        }
    }
    return true;
}

// ---- Error response ----

SDP_STATUS Database_GenerateErrorResponse(const uint8_t* pRequest, uint32_t RequestLen,
                                          uint8_t* pResponse, uint16_t ErrorCode,
                                          uint32_t ErrorInfo)
{
    SdpDbgPrint(SEARCH, "kivsdp : Database_GenerateErrorResponse()..\n");
    CByteReader In(pRequest, RequestLen);
    In.Skip(SDP_PDU_TRANSACTION_ID_OFFSET);
    const uint16_t Tid = In.ReadBe16();
    CByteWriter Out(pResponse, SDP_ERROR_RESPONSE_SIZE);
    Out.WriteU8(SDP_PDU_ERROR_RESPONSE);
    Out.WriteBe16(Tid);
    Out.WriteBe16(SDP_ERROR_RESPONSE_SIZE - SDP_PDU_HEADER_SIZE);
    Out.WriteBe16(ErrorCode);
    Out.WriteBe32(ErrorInfo);
    return SDP_STATUS_SUCCESS;
}

namespace {

// What a transaction answers a request it refuses with: an error response
// carrying Code and no ErrorInfo.
auto ErrorResponder(const uint8_t* pRequest, uint32_t RequestLen, uint8_t* pResponse)
{
    return [=](uint16_t Code) {
        return Database_GenerateErrorResponse(pRequest, RequestLen, pResponse, Code, 0);
    };
}

// The ParameterLength field of a request's header (zeros past RequestLen).
uint32_t ReadParameterLength(const uint8_t* pRequest, uint32_t RequestLen)
{
    CByteReader Header(pRequest, RequestLen);
    Header.Skip(SDP_PDU_PARAMETER_LENGTH_OFFSET);
    return Header.ReadBe16();
}

// The size of the request list at p, measured within the Available bytes:
// 0, once its warning is out, when it is under MinSize or not well-formed.
uint32_t ReceivedListSize(const char* Prefix, const uint8_t* p, uint32_t Available,
                          uint32_t MinSize)
{
    const uint32_t Size = GetDataElementSize(p, Available);
    if (Size < MinSize) {
        SdpDbgPrint(WARN, "%sERROR! Data element length invalid\n", Prefix);
        return 0;
    }
    if (!VerifyReceived(p, Size, Available)) {
        SdpDbgPrint(WARN, "%sERROR! Data element syntax invalid\n", Prefix);
        return 0;
    }
    return Size;
}

} // namespace

// Fills the PDU header reserved at the start of Out: PduId, the request's
// transaction ID, and a ParameterLength covering everything written after it.
static void PatchPduHeader(CByteWriter& Out, uint8_t PduId, const uint8_t* pRequest,
                           uint32_t RequestLen)
{
    CByteReader In(pRequest, RequestLen);
    In.Skip(SDP_PDU_TRANSACTION_ID_OFFSET);
    const uint16_t Tid = In.ReadBe16();
    Out.PatchU8(0, PduId);
    Out.PatchBe16(SDP_PDU_TRANSACTION_ID_OFFSET, Tid);
    Out.PatchBe16(SDP_PDU_PARAMETER_LENGTH_OFFSET,
                  static_cast<uint16_t>(Out.Position() - SDP_PDU_HEADER_SIZE));
}

// Where an attribute response's fixed fields were reserved, to be filled once
// its part of the list is written.
struct ATTRIBUTE_RESPONSE_FIELDS {
    size_t ByteCountAt;
    size_t ListHeaderAt; // first response of a series only
};

// Reserves the fixed fields in front of an attribute response's list: the PDU
// header, AttributeListByteCount and, in the first response of a series, the
// list's sequence header.
static ATTRIBUTE_RESPONSE_FIELDS ReserveAttributeResponse(CByteWriter& Out, bool FirstOfSeries)
{
    ATTRIBUTE_RESPONSE_FIELDS Fields = {};
    Out.Reserve(SDP_PDU_HEADER_SIZE);
    Fields.ByteCountAt = Out.Reserve(SDP_ATTRIBUTE_BYTE_COUNT_SIZE);
    if (FirstOfSeries) Fields.ListHeaderAt = Out.Reserve(SDP_SEQUENCE16_HEADER_SIZE);
    return Fields;
}

// Closes the response of an attribute transaction: the empty continuation
// state unless the scan wrote one, the list's header in the first response of
// a series, then the PDU header and the byte count of this response's part of
// the list (N). False, with the headers unwritten, when a write fell outside
// the PDU.
static bool FinishAttributeResponse(CByteWriter& Out, const ATTRIBUTE_RESPONSE_FIELDS& Fields,
                                    uint8_t PduId, const uint8_t* pRequest, uint32_t RequestLen,
                                    const ATTRIBUTE_SCAN& Scan, bool FirstOfSeries,
                                    uint32_t* pPduLen, uint32_t* pN)
{
    if (!Scan.StateGenerated) Out.WriteU8(0);
    const uint32_t WriteIndex = static_cast<uint32_t>(Out.Position());
    const uint32_t StateSize = Scan.StateGenerated ? SDP_CONTINUATION_FIELD_SIZE : 1;
    const uint32_t N = WriteIndex - SDP_ATTRIBUTE_LIST_OFFSET - StateSize;
    if (FirstOfSeries) {
        Out.PatchU8(Fields.ListHeaderAt, SDP_DE_HEADER_SEQUENCE16);
        Out.PatchBe16(Fields.ListHeaderAt + 1, static_cast<uint16_t>(Scan.TotFound));
    }
    if (!Out.Ok()) return false;
    PatchPduHeader(Out, PduId, pRequest, RequestLen);
    Out.PatchBe16(Fields.ByteCountAt, static_cast<uint16_t>(N));
    *pPduLen = WriteIndex;
    *pN = N;
    return true;
}

// ---- ServiceSearch ----

namespace {

// A ServiceSearch request whose parameters passed their checks.
struct SEARCH_REQUEST {
    uint32_t P;                           // ParameterLength
    const uint8_t* pPattern;              // ServiceSearchPattern...
    uint32_t S;                           // ...its size...
    uint32_t MembersStart;                // ...and where its members start
    uint16_t MaxRecordCount;              // MaximumServiceRecordCount
    CONTINUATION_STATE State;             // the received state...
    const CONTINUATION_STATE* pContState; // ...&State, or null without one
};

// Fills *pReq, which the caller keeps in place (pContState points into it).
// 0, else the error code to answer with, its warning out.
uint16_t ParseServiceSearchRequest(const char* Prefix, const uint8_t* pRequest, uint32_t RequestLen,
                                   uint32_t ChangeCount, SEARCH_REQUEST* pReq)
{
    const uint32_t P = ReadParameterLength(pRequest, RequestLen);
    pReq->P = P;
    if (!PduLengthMatches(Prefix, RequestLen, P)) return SDP_ERROR_INVALID_PDU_SIZE;
    // From here the P parameter bytes are all there.
    const uint8_t* pParams = pRequest + SDP_PDU_HEADER_SIZE;
    pReq->pPattern = pParams;
    const uint32_t S = ReceivedListSize(Prefix, pReq->pPattern, P, 5);
    pReq->S = S;
    if (S == 0) return SDP_ERROR_INVALID_SYNTAX;
    // Any element with a length field is walked as a list, whatever its type.
    pReq->MembersStart = SdpDeHeaderSize(pReq->pPattern[0]);
    if (pReq->MembersStart == 0) {
        SdpDbgPrint(WARN, "%sERROR! Data element invalid\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    if (S + 3 > P) {
        SdpDbgPrint(WARN, "%sERROR! length fuckup\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    CByteReader Tail(pParams + S, P - S);
    pReq->MaxRecordCount = Tail.ReadBe16();
    const uint8_t C = Tail.ReadU8();
    return CheckRequestTail(Prefix, "ContStateLength", C, Tail.Current(), P, S + 3,
                            SDP_ERROR_INVALID_PDU_SIZE, ChangeCount, &pReq->State,
                            &pReq->pContState);
}

} // namespace

SDP_STATUS CSdpDatabase::Database_ServiceSearchRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                                       uint8_t* pResponse, uint32_t MaxResponseLen)
{
    constexpr const char* Prefix = "kivsdp : Database_ServiceSearchRequest() - ";
    SdpDbgPrint(SEARCH, "kivsdp : Database_ServiceSearchRequest()..\n");
    const auto Fail = ErrorResponder(pRequest, RequestLen, pResponse);
    SEARCH_REQUEST Req = {};
    const uint16_t RequestError =
        ParseServiceSearchRequest(Prefix, pRequest, RequestLen, DatabaseChangeCount, &Req);
    if (RequestError != 0) return Fail(RequestError);
    const uint32_t StartHandle = Req.pContState ? Req.pContState->hCurRec : 0;
    SdpDbgPrint(SEARCH, "%sParameters (almost) verified. Continuing...\n", Prefix);

    // A record whose UUID summary lacks a member cannot match, and passing it
    // by is all the walk would have done with it.
    uint64_t Required = 0;
    const bool UseSummary =
        IndexUsable() && PatternSummary(Req.pPattern, Req.S, Req.MembersStart, &Required);
    CByteWriter Out(pResponse, MaxResponseLen);
    Out.Reserve(SDP_PDU_HEADER_SIZE);
    const size_t CountsAt = Out.Reserve(SDP_SEARCH_RESPONSE_COUNTS_SIZE);
    uint16_t TotalCount = 0;
    uint16_t CurrentCount = 0;
    bool StateWritten = false;
    for (const SERVICE_RECORD* pRecord = RecordList; pRecord; pRecord = pRecord->Next) {
        if (!MayMatch(pRecord, UseSummary, Required)) continue;
        bool Match = false;
        uint16_t Error = 0;
        if (!RecordMatchesPattern(pRecord, Req.pPattern, Req.S, Req.MembersStart, Req.P,
                                  "Database_ServiceSearchRequest", &Match, &Error)) {
            return Fail(Error);
        }
        if (!Match) continue;

        uint32_t hRec = 0;
        ExtractRecordHandle(pRecord, &hRec);
        SdpDbgPrint(SEARCH, "%s    Found matching record (0x%x)\n", Prefix, hRec);
        if (TotalCount >= Req.MaxRecordCount) {
            SdpDbgPrint(SEARCH, "%s    Breaking search. Max reached!\n", Prefix);
            break;
        }
        TotalCount++;
        // Records listed by earlier responses of the series are only counted.
        if (hRec < StartHandle) continue;
        if (Out.Position() + SDP_SEARCH_HANDLE_BUDGET < MaxResponseLen) {
            Out.WriteBe32(hRec);
            CurrentCount++;
        } else if (!StateWritten) {
            SdpDbgPrint(SEARCH, "%sConstructing continuation state..\n", Prefix);
            SdpDbgPrint(SEARCH, "%s    Server state = 0x%x\n", Prefix, DatabaseChangeCount);
            SdpDbgPrint(SEARCH, "%s    hCurRec = 0x%x\n", Prefix, hRec);
            WriteContinuationState(Out, CONTINUATION_STATE{DatabaseChangeCount, hRec, 0, 0});
            StateWritten = true;
        }
    }

    if (!StateWritten) Out.WriteU8(0);
    if (!Out.Ok()) return Fail(SDP_ERROR_INTERNAL);
    const uint32_t WriteIndex = static_cast<uint32_t>(Out.Position());
    PatchPduHeader(Out, SDP_PDU_SERVICE_SEARCH_RESPONSE, pRequest, RequestLen);
    Out.PatchBe16(CountsAt, TotalCount);
    Out.PatchBe16(CountsAt + 2, CurrentCount);
    SdpDbgPrint(SEARCH, "%sReturning SercviceSearchResponse\n", Prefix);
    SdpDbgPrint(SEARCH, "%s    Total record count = 0x%x\n", Prefix, TotalCount);
    SdpDbgPrint(SEARCH, "%s    Cur record count = 0x%x\n", Prefix, CurrentCount);
    SdpDbgPrint(SEARCH, "%s    Total PDU length = 0x%x\n", Prefix, WriteIndex);
    return SDP_STATUS_SUCCESS;
}

// ---- ServiceAttribute ----

namespace {

// A ServiceAttribute request, filled in two steps around the record lookup,
// which comes between reading its fixed fields and checking the rest.
struct ATTRIBUTE_REQUEST {
    uint32_t P;                           // ParameterLength
    uint32_t hRec;                        // ServiceRecordHandle
    uint32_t MaxByteCount;                // MaximumAttributeByteCount
    const uint8_t* pIdList;               // AttributeIDList...
    uint32_t I;                           // ...its size...
    uint32_t MembersStart;                // ...and where its members start
    CONTINUATION_STATE State;             // the received state...
    const CONTINUATION_STATE* pContState; // ...&State, or null without one
};

// ParameterLength and the fixed fields. 0, else the error code to answer
// with, its warning out.
uint16_t ReadAttributeRequestFixed(const char* Prefix, const uint8_t* pRequest, uint32_t RequestLen,
                                   ATTRIBUTE_REQUEST* pReq)
{
    pReq->P = ReadParameterLength(pRequest, RequestLen);
    if (!PduLengthMatches(Prefix, RequestLen, pReq->P)) return SDP_ERROR_INVALID_PDU_SIZE;
    // The fixed fields of a request too short to hold them read as zeros:
    // only received bytes decide the outcome.
    uint8_t Fixed[SDP_ATTRIBUTE_REQUEST_FIXED_SIZE] = {};
    std::memcpy(Fixed, pRequest + SDP_PDU_HEADER_SIZE,
                pReq->P < sizeof(Fixed) ? pReq->P : sizeof(Fixed));
    CByteReader FixedReader(Fixed, sizeof(Fixed));
    pReq->hRec = FixedReader.ReadBe32();
    pReq->MaxByteCount = FixedReader.ReadBe16();
    return 0;
}

// The AttributeIDList and the continuation state after it; *pReq stays in
// place (pContState points into it). 0, else the error code to answer with,
// its warning out.
uint16_t ParseAttributeIdList(const char* Prefix, const uint8_t* pRequest, uint32_t ChangeCount,
                              ATTRIBUTE_REQUEST* pReq)
{
    const uint32_t P = pReq->P;
    const uint32_t ListAvailable =
        P > SDP_ATTRIBUTE_REQUEST_FIXED_SIZE ? P - SDP_ATTRIBUTE_REQUEST_FIXED_SIZE : 0;
    pReq->pIdList = pRequest + SDP_PDU_HEADER_SIZE + SDP_ATTRIBUTE_REQUEST_FIXED_SIZE;
    const uint32_t I = ReceivedListSize(Prefix, pReq->pIdList, ListAvailable, 1);
    pReq->I = I;
    if (I == 0) return SDP_ERROR_INVALID_SYNTAX;
    pReq->MembersStart = SdpDeHeaderSize(pReq->pIdList[0]);
    if (SdpDeType(pReq->pIdList[0]) != SDP_DE_SEQUENCE || pReq->MembersStart == 0) {
        SdpDbgPrint(WARN, "%sERROR! Data element not DESEQ\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    if (I + SDP_ATTRIBUTE_REQUEST_FIXED_SIZE + 1 > P) {
        SdpDbgPrint(WARN, "%sERROR! length fuckup\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    CByteReader Tail(pReq->pIdList + I, P - SDP_ATTRIBUTE_REQUEST_FIXED_SIZE - I);
    const uint8_t C = Tail.ReadU8();
    return CheckRequestTail(Prefix, "ContStateLength", C, Tail.Current(), P,
                            I + SDP_ATTRIBUTE_REQUEST_FIXED_SIZE + 1, SDP_ERROR_INVALID_SYNTAX,
                            ChangeCount, &pReq->State, &pReq->pContState);
}

} // namespace

SERVICE_RECORD* CSdpDatabase::LookupRecord(uint32_t hRec)
{
    if (IndexUsable()) return IndexFindRecord(hRec);
    SERVICE_RECORD** ppRecord = FindServiceRecord(hRec);
    return ppRecord ? *ppRecord : nullptr;
}

SDP_STATUS CSdpDatabase::Database_ServiceAttributeRequest(const uint8_t* pRequest,
                                                          uint32_t RequestLen, uint8_t* pResponse,
                                                          uint32_t MaxResponseLen)
{
    constexpr const char* Prefix = "kivsdp : Database_ServiceAttributeRequest() - ";
    SdpDbgPrint(SEARCH, "kivsdp : Database_ServiceAttributeRequest()..\n");
    const auto Fail = ErrorResponder(pRequest, RequestLen, pResponse);
    ATTRIBUTE_REQUEST Req = {};
    uint16_t Error = ReadAttributeRequestFixed(Prefix, pRequest, RequestLen, &Req);
    if (Error != 0) return Fail(Error);
    const SERVICE_RECORD* pRecord = LookupRecord(Req.hRec);
    if (!pRecord) {
        SdpDbgPrint(WARN, "%sERROR! Record handle 0x%x not found\n", Prefix, Req.hRec);
        return Fail(SDP_ERROR_INVALID_RECORD_HANDLE);
    }
    if (Req.MaxByteCount < 7) {
        SdpDbgPrint(WARN, "%sERROR! MaxByteCount too small (0x%x)\n", Prefix, Req.MaxByteCount);
        return Fail(SDP_ERROR_INVALID_SYNTAX);
    }
    Error = ParseAttributeIdList(Prefix, pRequest, DatabaseChangeCount, &Req);
    if (Error != 0) return Fail(Error);
    SdpDbgPrint(SEARCH, "%sParameters (almost) verified. Continuing...\n", Prefix);
    SdpDbgPrint(SEARCH, "%s    Searching record handle 0x%x\n", Prefix, Req.hRec);
    SdpDbgPrint(SEARCH, "%s    Max bytes to return = 0x%x\n", Prefix, Req.MaxByteCount);

    ATTRIBUTE_SCAN Scan = {};
    CByteWriter Out(pResponse, MaxResponseLen);
    const ATTRIBUTE_RESPONSE_FIELDS Fields = ReserveAttributeResponse(Out, !Req.pContState);
    bool LimitReached = false;
    if (!ScanIdList(Out, pRecord, Req.pIdList, Req.I, Req.MembersStart, Req.MaxByteCount,
                    Req.pContState, DatabaseChangeCount, false, "Database_ServiceAttributeRequest",
                    Scan, &LimitReached, &Error)) {
        return Fail(Error);
    }

    if (Out.Position() > MaxResponseLen) {
        SdpDbgPrint(WARN, "%sInternal ERROR! CurOffset = 0x%x\n", Prefix,
                    static_cast<unsigned>(Out.Position()));
        return Fail(SDP_ERROR_INTERNAL);
    }
    uint32_t WriteIndex = 0;
    uint32_t N = 0;
    if (!FinishAttributeResponse(Out, Fields, SDP_PDU_SERVICE_ATTRIBUTE_RESPONSE, pRequest,
                                 RequestLen, Scan, !Req.pContState, &WriteIndex, &N)) {
        return Fail(SDP_ERROR_INTERNAL);
    }
    SdpDbgPrint(SEARCH, "%sSuccess! Returning SercviceAttributeResponse\n", Prefix);
    SdpDbgPrint(SEARCH, "%s    Cur List length (N) = 0x%x\n", Prefix, N);
    SdpDbgPrint(SEARCH, "%s    List Total length = 0x%x\n", Prefix, Scan.TotFound);
    SdpDbgPrint(SEARCH, "%s    Total PDU length = 0x%x\n", Prefix, WriteIndex);
    return SDP_STATUS_SUCCESS;
}

// ---- ServiceSearchAttribute ----

// Fills memo slot Slot with the list bytes counted before each record for a
// request (its pattern, summary bits, ID ranges and MaxByteCount), by the
// count of the walk. False when the walk would have ended in an error, which
// the caller then meets by walking.
bool CSdpDatabase::BuildSeriesMemo(uint32_t Slot, const uint8_t* pPattern, uint32_t PatternSize,
                                   uint32_t MembersStart, uint32_t PatternAvailable,
                                   uint64_t Required, const ID_RANGE* pRanges, uint32_t RangeCount,
                                   uint32_t MaxByteCount)
{
    uint32_t TotFound = 0;
    bool LimitReached = false;
    for (SERVICE_RECORD* pRecord = RecordList; pRecord; pRecord = pRecord->Next) {
        pRecord->MemoBefore[Slot] = LimitReached ? SDP_MEMO_LIMIT_REACHED : TotFound;
        if (LimitReached || !MayMatch(pRecord, true, Required)) continue;
        bool Match = false;
        uint16_t Error = 0;
        if (!RecordMatchesPattern(pRecord, pPattern, PatternSize, MembersStart, PatternAvailable,
                                  "Database_ServiceSearchAttributeRequest", &Match, &Error)) {
            return false;
        }
        if (Match)
            LimitReached = CountRecordList(pRecord, pRanges, RangeCount, MaxByteCount, &TotFound);
    }
    return true;
}

// A ServiceSearchAttribute request whose parameters passed their checks.
struct SEARCH_ATTRIBUTE_REQUEST {
    uint32_t P;                           // ParameterLength
    const uint8_t* pUuidList;             // ServiceSearchPattern...
    uint32_t U;                           // ...its size...
    uint32_t UuidMembersStart;            // ...and where its members start
    uint32_t MaxByteCount;                // MaximumAttributeByteCount
    const uint8_t* pIdList;               // AttributeIDList...
    uint32_t I;                           // ...its size...
    uint32_t IdMembersStart;              // ...and where its members start
    CONTINUATION_STATE State;             // the received state...
    const CONTINUATION_STATE* pContState; // ...&State, or null without one
};

namespace {

// Fills *pReq, which the caller keeps in place (pContState points into it).
// 0, else the error code to answer with, its warning out.
uint16_t ParseServiceSearchAttributeRequest(const char* Prefix, const uint8_t* pRequest,
                                            uint32_t RequestLen, uint32_t ChangeCount,
                                            SEARCH_ATTRIBUTE_REQUEST* pReq)
{
    const uint32_t P = ReadParameterLength(pRequest, RequestLen);
    pReq->P = P;
    SdpDbgPrint(SEARCH, "%s    parmLen = %d\n", Prefix, static_cast<int>(P));
    if (!PduLengthMatches(Prefix, RequestLen, P)) return SDP_ERROR_INVALID_PDU_SIZE;
    pReq->pUuidList = pRequest + SDP_PDU_HEADER_SIZE;
    if (!CheckSearchAttributeList(Prefix, "UUID", pReq->pUuidList, P, &pReq->U,
                                  &pReq->UuidMembersStart)) {
        return SDP_ERROR_INVALID_SYNTAX;
    }
    const uint32_t U = pReq->U;
    if (U + 5 > P) {
        SdpDbgPrint(WARN, "%sERROR! length fuckup 1\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    CByteReader After(pReq->pUuidList + U, P - U);
    pReq->MaxByteCount = After.ReadBe16();
    SdpDbgPrint(SEARCH, "%s    MaxByteCount = %d\n", Prefix, static_cast<int>(pReq->MaxByteCount));
    if (pReq->MaxByteCount < 9) {
        SdpDbgPrint(WARN, "%sERROR! MaxByteCount too small (0x%x)\n", Prefix, pReq->MaxByteCount);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    pReq->pIdList = After.Current();
    if (!CheckSearchAttributeList(Prefix, "ID", pReq->pIdList, P - U - 2, &pReq->I,
                                  &pReq->IdMembersStart)) {
        return SDP_ERROR_INVALID_SYNTAX;
    }
    const uint32_t I = pReq->I;
    if (U + 2 + I + 1 > P) {
        SdpDbgPrint(WARN, "%sERROR! length fuckup 2\n", Prefix);
        return SDP_ERROR_INVALID_SYNTAX;
    }
    CByteReader Tail(pReq->pIdList + I, P - U - 2 - I);
    const uint8_t C = Tail.ReadU8();
    SdpDbgPrint(SEARCH, "%s    ContStateLen = %d\n", Prefix, C);
    return CheckRequestTail(Prefix, "ContStateLen", C, Tail.Current(), P, U + I + 3,
                            SDP_ERROR_INVALID_SYNTAX, ChangeCount, &pReq->State, &pReq->pContState);
}

} // namespace

// A repeated request of a series starts at its state's record, with the list
// bytes counted before it taken from the series memo: the records before it
// would only be counted, sending nothing. Sets *ppFirst and *pTotFound and
// returns true when the memo serves; false leaves them for a whole walk.
bool CSdpDatabase::SeekSeries(const SEARCH_ATTRIBUTE_REQUEST& Req, uint64_t Required,
                              const SERVICE_RECORD** ppFirst, uint32_t* pTotFound)
{
    ID_RANGE Ranges[MAX_ID_RANGES];
    uint32_t RangeCount = 0;
    if (!ParseIdList(Req.pIdList, Req.I, Req.IdMembersStart, Ranges, &RangeCount)) return false;
    const SERVICE_RECORD* pResume = IndexFindRecord(Req.pContState->hCurRec);
    // The memo's key: the pattern, MaxByteCount and the ID list.
    const uint8_t* pKey = Req.pUuidList;
    const uint32_t KeyLength = Req.U + 2 + Req.I;
    int Slot = pResume ? FindSeriesMemo(pKey, KeyLength) : -1;
    if (pResume && Slot < 0) {
        Slot = ClaimSeriesMemo(pKey, KeyLength);
        if (Slot >= 0 && !BuildSeriesMemo(static_cast<uint32_t>(Slot), Req.pUuidList, Req.U,
                                          Req.UuidMembersStart, Req.P, Required, Ranges, RangeCount,
                                          Req.MaxByteCount)) {
            m_Memo[Slot].KeyLength = 0;
            Slot = -1;
        }
    }
    if (Slot < 0) return false;
    const uint32_t Before = pResume->MemoBefore[Slot];
    *ppFirst = Before == SDP_MEMO_LIMIT_REACHED ? nullptr : pResume;
    *pTotFound = Before == SDP_MEMO_LIMIT_REACHED ? 0 : Before;
    return true;
}

SDP_STATUS CSdpDatabase::Database_ServiceSearchAttributeRequest(const uint8_t* pRequest,
                                                                uint32_t RequestLen,
                                                                uint8_t* pResponse,
                                                                uint32_t MaxResponseLen)
{
    constexpr const char* Name = "Database_ServiceSearchAttributeRequest";
    constexpr const char* Prefix = "kivsdp : Database_ServiceSearchAttributeRequest() - ";
    SdpDbgPrint(SEARCH, "kivsdp : Database_ServiceSearchAttributeRequest()..\n");
    const auto Fail = ErrorResponder(pRequest, RequestLen, pResponse);
    SEARCH_ATTRIBUTE_REQUEST Req = {};
    const uint16_t RequestError =
        ParseServiceSearchAttributeRequest(Prefix, pRequest, RequestLen, DatabaseChangeCount, &Req);
    if (RequestError != 0) return Fail(RequestError);
    SdpDbgPrint(SEARCH, "%sParameters (almost) verified. Continuing...\n", Prefix);

    ATTRIBUTE_SCAN Scan = {};
    CByteWriter Out(pResponse, MaxResponseLen);
    const ATTRIBUTE_RESPONSE_FIELDS Fields = ReserveAttributeResponse(Out, !Req.pContState);
    SdpDbgPrint(SEARCH, "%s~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n", Prefix);

    // Records that cannot match are passed by on their UUID summary. Once a
    // response that seeked into its series is cut, the records after the cut
    // would only be counted for a length that a repeated request does not
    // write, so the walk ends there.
    uint64_t Required = 0;
    const bool UseSummary =
        IndexUsable() && PatternSummary(Req.pUuidList, Req.U, Req.UuidMembersStart, &Required);
    const SERVICE_RECORD* pFirst = RecordList;
    const bool Seek =
        UseSummary && Req.pContState && SeekSeries(Req, Required, &pFirst, &Scan.TotFound);
    for (const SERVICE_RECORD* pRecord = pFirst; pRecord; pRecord = pRecord->Next) {
        if (!MayMatch(pRecord, UseSummary, Required)) continue;
        SdpDbgPrint(SEARCH, "%s------------------------------------\n", Prefix);
        bool Match = false;
        uint16_t Error = 0;
        if (!RecordMatchesPattern(pRecord, Req.pUuidList, Req.U, Req.UuidMembersStart, Req.P, Name,
                                  &Match, &Error)) {
            return Fail(Error);
        }
        if (!Match) continue;

        SdpDbgPrint(SEARCH, "%s    Record matches search criteria...\n", Prefix);
        Scan.RecFound = 0;
        Scan.HeaderReserved = false;
        Scan.FirstInRecord = true;
        Scan.HeaderPending = true;
        bool LimitReached = false;
        if (!ScanIdList(Out, pRecord, Req.pIdList, Req.I, Req.IdMembersStart, Req.MaxByteCount,
                        Req.pContState, DatabaseChangeCount, true, Name, Scan, &LimitReached,
                        &Error)) {
            return Fail(Error);
        }
        if (Scan.HeaderReserved) {
            SdpDbgPrint(SEARCH, "%s    Generating local DESEQ header at offset 0x%x (len = 0x%x)\n",
                        Prefix, static_cast<unsigned>(Scan.HeaderAt), Scan.RecFound);
            Out.PatchU8(Scan.HeaderAt, SDP_DE_HEADER_SEQUENCE16);
            Out.PatchBe16(Scan.HeaderAt + 1, static_cast<uint16_t>(Scan.RecFound));
        }
        if (LimitReached) {
            SdpDbgPrint(SEARCH, "%sMaxBytes reached. Search Terminated\n", Prefix);
            break;
        }
        if (Seek && Scan.StateGenerated) break;
    }

    uint32_t WriteIndex = 0;
    uint32_t N = 0;
    if (!FinishAttributeResponse(Out, Fields, SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_RESPONSE, pRequest,
                                 RequestLen, Scan, !Req.pContState, &WriteIndex, &N)) {
        return Fail(SDP_ERROR_INTERNAL);
    }
    SdpDbgPrint(SEARCH, "%sSuccess! Returning SercviceSearchAttributeResponse\n", Prefix);
    SdpDbgPrint(SEARCH, "%s    Total PDU length = 0x%x\n", Prefix, WriteIndex);
    SdpDbgPrint(SEARCH, "%s    Major DESEQ length = 0x%x\n", Prefix, Scan.TotFound);
    SdpDbgPrint(SEARCH, "%s    Cur list length (N) = 0x%x\n", Prefix, N);
    return SDP_STATUS_SUCCESS;
}

// ---- Execution under the lock ----

SDP_STATUS CSdpDatabase::ExecuteLocked(TRANSACTION Transaction, const uint8_t* pRequest,
                                       uint32_t RequestLen, uint8_t* pResponse,
                                       uint32_t MaxResponseLen)
{
    std::memset(pResponse, 0, MaxResponseLen);
    DatabaseLock();
    (this->*Transaction)(pRequest, RequestLen, pResponse, MaxResponseLen);
    DatabaseUnlock();
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::ExecuteServiceSearchRequest(const uint8_t* pRequest, uint32_t RequestLen,
                                                     uint8_t* pResponse, uint32_t MaxResponseLen)
{
    SdpDbgPrint(SEARCH, "kivsdp : ExecuteServiceSearchRequest()..\n");
    return ExecuteLocked(&CSdpDatabase::Database_ServiceSearchRequest, pRequest, RequestLen,
                         pResponse, MaxResponseLen);
}

SDP_STATUS CSdpDatabase::ExecuteServiceAttributeRequest(const uint8_t* pRequest,
                                                        uint32_t RequestLen, uint8_t* pResponse,
                                                        uint32_t MaxResponseLen)
{
    SdpDbgPrint(SEARCH, "kivsdp : ExecuteServiceAttributeRequest()..\n");
    return ExecuteLocked(&CSdpDatabase::Database_ServiceAttributeRequest, pRequest, RequestLen,
                         pResponse, MaxResponseLen);
}

SDP_STATUS CSdpDatabase::ExecuteServiceSearchAttributeRequest(const uint8_t* pRequest,
                                                              uint32_t RequestLen,
                                                              uint8_t* pResponse,
                                                              uint32_t MaxResponseLen)
{
    SdpDbgPrint(SEARCH, "kivsdp : ExecuteServiceSearchAttributeRequest()..\n");
    return ExecuteLocked(&CSdpDatabase::Database_ServiceSearchAttributeRequest, pRequest,
                         RequestLen, pResponse, MaxResponseLen);
}

uint32_t CSdpDatabase::ExecuteSdpRequest(const uint8_t* pPdu, uint32_t PduLen, uint8_t* pResponse,
                                         uint16_t MaxMtu)
{
    const uint8_t PduId = PduLen ? pPdu[0] : 0;
    switch (PduId) {
    case SDP_PDU_SERVICE_SEARCH_REQUEST:
        ExecuteServiceSearchRequest(pPdu, PduLen, pResponse, MaxMtu);
        break;
    case SDP_PDU_SERVICE_ATTRIBUTE_REQUEST:
        ExecuteServiceAttributeRequest(pPdu, PduLen, pResponse, MaxMtu);
        break;
    case SDP_PDU_SERVICE_SEARCH_ATTRIBUTE_REQUEST:
        ExecuteServiceSearchAttributeRequest(pPdu, PduLen, pResponse, MaxMtu);
        break;
    default:
        Database_GenerateErrorResponse(pPdu, PduLen, pResponse, SDP_ERROR_INVALID_SYNTAX, 0);
        break;
    }
    CByteReader Rsp(pResponse, SDP_PDU_HEADER_SIZE);
    Rsp.Skip(SDP_PDU_PARAMETER_LENGTH_OFFSET);
    return Rsp.ReadBe16() + SDP_PDU_HEADER_SIZE;
}
