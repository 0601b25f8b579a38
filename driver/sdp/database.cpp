// The service database: records, attributes, counters, state attributes and
// the application's database requests.
#include "database.h"

#include <cstring>

#include "bytes.h"
#include "dataelement.h"
#include "kivsdpioctl.h"
#include "sdpdebug.h"
#include "search.h"

// Addresses go into 32-bit trace fields; a 64-bit host prints the low half.
static unsigned Addr32(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu);
}

// Increments a 32-bit unsigned integer value (0A + 4 bytes) in place.
static bool IncrementUint32Value(SERVICE_ATTRIBUTE* pAttribute)
{
    if (!pAttribute || !pAttribute->Value || pAttribute->Value[0] != SDP_DE_HEADER_UINT32)
        return false;
    uint8_t* v = pAttribute->Value + 1;
    CByteReader In(v, sizeof(uint32_t));
    CByteWriter Out(v, sizeof(uint32_t));
    Out.WriteBe32(In.ReadBe32() + 1);
    return true;
}

CSdpDatabase::~CSdpDatabase()
{
    if (RecordList) TerminateSdpDatabase();
}

void CSdpDatabase::SetLockHooks(PSDP_LOCK_ROUTINE pfnLock, PSDP_LOCK_ROUTINE pfnUnlock,
                                void* Context)
{
    m_pfnLock = pfnLock;
    m_pfnUnlock = pfnUnlock;
    m_LockContext = Context;
}

void CSdpDatabase::DatabaseLock()
{
    if (m_pfnLock) m_pfnLock(m_LockContext);
}

void CSdpDatabase::DatabaseUnlock()
{
    if (m_pfnUnlock) m_pfnUnlock(m_LockContext);
}

SDP_STATUS CSdpDatabase::InitializeSdpDatabase()
{
    static const uint8_t ServiceClassIdList[] = {0x35, 0x03, 0x19, 0x10, 0x00};
    static const uint8_t Uint32Zero[] = {0x0A, 0x00, 0x00, 0x00, 0x00};

    SdpDbgPrint(SDP_ZONE_INFO_MASK, "kivsdp : InitializeSdpDatabase()..\n");
    RecordList = nullptr;

    SDP_STATUS Status = CreateServiceRecord(SDP_SERVER_RECORD_HANDLE);
    if (!SdpSuccess(Status)) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK, "kivsdp : FATAL ERROR - failed to create SDP record..\n");
        return Status;
    }
    // ServiceRecordState is made as 0; adding 0x0201 after it raises it to 1.
    static const struct {
        uint16_t AttId;
        const uint8_t* pValue;
        uint32_t Size;
        const char* Ordinal;
    } Attributes[] = {
        {SDP_ATTR_SERVICE_CLASS_ID_LIST, ServiceClassIdList, sizeof(ServiceClassIdList), "2nd"},
        {SDP_ATTR_SERVICE_RECORD_STATE, Uint32Zero, sizeof(Uint32Zero), "3rd"},
        {SDP_ATTR_SERVICE_DATABASE_STATE, Uint32Zero, sizeof(Uint32Zero), "4th"},
    };
    for (const auto& Attribute : Attributes) {
        Status = AddNewServiceAttribute(SDP_SERVER_RECORD_HANDLE, Attribute.AttId, Attribute.pValue,
                                        Attribute.Size, false);
        if (!SdpSuccess(Status)) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivsdp : FATAL ERROR - failed to create %s attribute..\n",
                        Attribute.Ordinal);
            return Status;
        }
    }
    NextRecordHandle = SDP_FIRST_RECORD_HANDLE;
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::TerminateSdpDatabase()
{
    SdpDbgPrint(SDP_ZONE_INFO_MASK, "kivsdp : TerminateSdpDatabase()..\n");
    while (RecordList)
        FreeServiceRecord(&RecordList);
    if (OutstandingAllocations != 0) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                    "kivsdp : TerminateSdpDatabase() - Hmm.. Allocates = 0x%x\n",
                    OutstandingAllocations);
        SdpAssertFailed("FALSE", __LINE__, __FILE__);
    }
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::CreateServiceRecord(uint32_t hRec)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : CreateServiceRecord() - Entered..\n");

    SERVICE_RECORD** ppLink = &RecordList;
    while (*ppLink)
        ppLink = &(*ppLink)->Next;

    auto* pRecord = static_cast<SERVICE_RECORD*>(
        SdpPoolAllocate(sizeof(SERVICE_RECORD), SDP_DATABASE_POOL_TAG));
    if (!pRecord) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK, "kivsdp : CreateRecord() - Failed to allocate memory\n");
        return SDP_STATUS_INSUFFICIENT_RESOURCES;
    }
    pRecord->AttributeList = nullptr;
    pRecord->Next = nullptr;
    pRecord->HashNext = nullptr;
    pRecord->UuidBloom = 0;
    pRecord->Handle = 0;
    pRecord->SummaryDirty = true;
    pRecord->SummaryOk = false;
    for (uint32_t& Before : pRecord->MemoBefore)
        Before = 0;
    *ppLink = pRecord;
    OutstandingAllocations++;
    TotalAllocations++;
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : CreateServiceRecord() - Created record 0x%x\n",
                Addr32(pRecord));

    const uint8_t HandleValue[5] = {0x0A, static_cast<uint8_t>(hRec >> 24),
                                    static_cast<uint8_t>(hRec >> 16),
                                    static_cast<uint8_t>(hRec >> 8), static_cast<uint8_t>(hRec)};
    const bool Stale = m_SummariesStale;
    const SDP_STATUS Status = CreateServiceAttribute(
        &pRecord->AttributeList, SDP_ATTR_SERVICE_RECORD_HANDLE, HandleValue, sizeof(HandleValue));
    m_SummariesStale = Stale;
    DatabaseChangeCount++;
    m_Generation++;
    UpdateServerDataBaseStateAttribute(RecordList);

    if (!SdpSuccess(Status)) {
        // A record without its handle attribute would break every walk that
        // reads handles: free it again, counted like any record freed.
        FreeServiceRecord(ppLink);
        return SDP_STATUS_INSUFFICIENT_RESOURCES;
    }
    return Status;
}

SDP_STATUS CSdpDatabase::FreeServiceRecord(SERVICE_RECORD** ppLink)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : FreeServiceRecord() - Entered..\n");
    SERVICE_RECORD* pRecord = *ppLink;
    if (!pRecord) return SDP_STATUS_SUCCESS;
    *ppLink = pRecord->Next;
    // The record leaves the index with its attributes: no summary to redo.
    const bool Stale = m_SummariesStale;
    while (pRecord->AttributeList)
        FreeServiceAttribute(&pRecord->AttributeList);
    m_SummariesStale = Stale;
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : FreeServiceRecord() - Freeing record 0x%x\n",
                Addr32(pRecord));
    SdpPoolFree(pRecord, SDP_DATABASE_POOL_TAG);
    OutstandingAllocations--;
    DatabaseChangeCount++;
    m_Generation++;
    UpdateServerDataBaseStateAttribute(RecordList);
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::DeleteServiceRecord(uint32_t hRec)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : DeleteServiceRecord() - Entered..\n");
    if (hRec == SDP_SERVER_RECORD_HANDLE) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceRecord() - Failing call. hRec 0 not deletable.\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    SERVICE_RECORD** ppLink = FindServiceRecord(hRec);
    if (!ppLink) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceRecord() - Failing call. hRec 0x%x not found.\n", hRec);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    return FreeServiceRecord(ppLink);
}

SERVICE_RECORD** CSdpDatabase::FindServiceRecord(uint32_t hRec)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : FindServiceRecord() - Entered..\n");
    for (SERVICE_RECORD** ppLink = &RecordList; *ppLink; ppLink = &(*ppLink)->Next) {
        const SERVICE_ATTRIBUTE* pFirst = (*ppLink)->AttributeList;
        if (!pFirst) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivdsp : FindServiceRecord() - ERROR1! How the hell did that happen!\n");
            return nullptr;
        }
        if (!pFirst->Value) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivdsp : FindServiceRecord() - ERROR2! How the hell did that happen!\n");
            return nullptr;
        }
        // Stored values are exactly one element, so a 5-byte measure means
        // bytes 1..4 are there.
        if (GetDataElementSize(pFirst->Value, 5) != 5) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivdsp : FindServiceRecord() - ERROR3! How the hell did that happen!\n");
            return nullptr;
        }
        CByteReader Handle(pFirst->Value + 1, 4);
        if (Handle.ReadBe32() == hRec) return ppLink;
    }
    return nullptr;
}

SDP_STATUS CSdpDatabase::CreateServiceAttribute(SERVICE_ATTRIBUTE** ppLink, uint16_t AttId,
                                                const uint8_t* pValue, uint32_t Length)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : CreateServiceAttribute() - Entered..\n");
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp :      ID = 0x%x\n", AttId);
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp :      len = 0x%x\n", Length);

    auto* pAttribute = static_cast<SERVICE_ATTRIBUTE*>(
        SdpPoolAllocate(sizeof(SERVICE_ATTRIBUTE), SDP_DATABASE_POOL_TAG));
    uint8_t* pCopy = nullptr;
    if (pAttribute) pCopy = static_cast<uint8_t*>(SdpPoolAllocate(Length, SDP_DATABASE_POOL_TAG));
    if (!pAttribute || !pCopy) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                    "kivsdp : CreateAttribute() - Failed to allocate memory\n");
        SdpPoolFree(pAttribute, SDP_DATABASE_POOL_TAG);
        return SDP_STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Length) std::memcpy(pCopy, pValue, Length);
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                "kivsdp : CreateServiceAttribute() - Created attribute 0x%x\n", Addr32(pAttribute));
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                "kivsdp : CreateServiceAttribute() - Created data element 0x%x\n", Addr32(pCopy));

    pAttribute->AttributeId = AttId;
    pAttribute->Value = pCopy;
    pAttribute->Next = *ppLink;
    *ppLink = pAttribute;
    OutstandingAllocations += 2;
    TotalAllocations += 2;
    DatabaseChangeCount++;
    m_Generation++;
    // The link alone does not say whose attribute this is.
    m_SummariesStale = true;
    return SDP_STATUS_SUCCESS;
}

bool CSdpDatabase::FreeServiceAttribute(SERVICE_ATTRIBUTE** ppLink)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : FreeServiceAttribute() - Entered..\n");
    SERVICE_ATTRIBUTE* pAttribute = *ppLink;
    if (!pAttribute) return true;
    *ppLink = pAttribute->Next;
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                "kivsdp : FreeServiceAttribute() - Freeing data element 0x%x\n",
                Addr32(pAttribute->Value));
    SdpPoolFree(pAttribute->Value, SDP_DATABASE_POOL_TAG);
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                "kivsdp : FreeServiceAttribute() - Freeing attribute 0x%x\n", Addr32(pAttribute));
    SdpPoolFree(pAttribute, SDP_DATABASE_POOL_TAG);
    OutstandingAllocations -= 2;
    DatabaseChangeCount++;
    m_Generation++;
    m_SummariesStale = true;
    return true;
}

SDP_STATUS CSdpDatabase::DeleteServiceAttribute(uint32_t hRec, uint16_t AttId)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : DeleteServiceAttribute() - Entered..\n");
    if (hRec == SDP_SERVER_RECORD_HANDLE) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceAttribute() - Failing call. hRec 0 not deletable.\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    if (AttId == SDP_ATTR_SERVICE_RECORD_HANDLE) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceAttribute() - Failing call. AttId 0 not deletable.\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    SERVICE_RECORD** ppRecord = FindServiceRecord(hRec);
    if (!ppRecord) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceAttribute() - Failing call. hRec 0x%x not found.\n",
                    hRec);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    SERVICE_RECORD* pRecord = *ppRecord;
    SERVICE_ATTRIBUTE** ppAttribute = FindServiceAttribute(pRecord, AttId);
    if (!ppAttribute) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : DeleteServiceAttribute() - Failing call. AttId 0x%x not found.\n",
                    AttId);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    const bool Stale = m_SummariesStale;
    FreeServiceAttribute(ppAttribute);
    m_SummariesStale = Stale;
    MarkRecordChanged(pRecord);
    UpdateServiceRecordStateAttribute(pRecord);
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::AddNewServiceAttribute(uint32_t hRec, uint16_t AttId,
                                                const uint8_t* pValue, uint32_t Length,
                                                bool UserRequest)
{
    SdpDbgPrint(SDP_ZONE_DATABASE_MASK, "kivsdp : AddNewServiceAttribute() - Entered..\n");
    if (UserRequest) {
        if (hRec == SDP_SERVER_RECORD_HANDLE || AttId == SDP_ATTR_SERVICE_RECORD_HANDLE ||
            !pValue || Length == 0) {
            SdpDbgPrint(SDP_ZONE_WARN_MASK,
                        "kivdsp : AddNewServiceAttribute() - Error! Invalid parameters\n");
            return SDP_STATUS_INVALID_PARAMETER;
        }
    } else if (!pValue || Length == 0) {
        return SDP_STATUS_INVALID_PARAMETER;
    }

    SERVICE_RECORD** ppRecord = FindServiceRecord(hRec);
    if (!ppRecord) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivdsp : AddNewServiceAttribute() - Error! Failed to find record with handle "
                    "0x%x\n",
                    hRec);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    SERVICE_RECORD* pRecord = *ppRecord;
    if (FindServiceAttribute(pRecord, AttId)) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivdsp : AddNewServiceAttribute() - Error! Attribute with ID 0x%x already "
                    "exists!\n",
                    AttId);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    if (!VerifyDataElement(pValue, Length)) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivdsp : AddNewServiceAttribute() - Error! VerifyDataElement() failed!!\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }

    SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                "kivsdp : AddNewServiceAttribute() - Check passed... Creating now...\n");
    // Bumped before the new attribute exists, so adding 0x0002 itself does not
    // count; it stays bumped if the allocation below fails.
    UpdateServiceRecordStateAttribute(pRecord);

    SERVICE_ATTRIBUTE** ppLink = &pRecord->AttributeList;
    while (*ppLink && (*ppLink)->AttributeId <= AttId)
        ppLink = &(*ppLink)->Next;
    const bool Stale = m_SummariesStale;
    const SDP_STATUS Status = CreateServiceAttribute(ppLink, AttId, pValue, Length);
    m_SummariesStale = Stale;
    MarkRecordChanged(pRecord);
    return Status;
}

SERVICE_ATTRIBUTE** CSdpDatabase::FindServiceAttribute(SERVICE_RECORD* pRecord, uint16_t AttId)
{
    if (!pRecord) return nullptr;
    for (SERVICE_ATTRIBUTE** ppLink = &pRecord->AttributeList; *ppLink; ppLink = &(*ppLink)->Next) {
        if ((*ppLink)->AttributeId == AttId) return ppLink;
    }
    return nullptr;
}

bool CSdpDatabase::UpdateServiceRecordStateAttribute(SERVICE_RECORD* pRecord)
{
    SERVICE_ATTRIBUTE** ppLink = FindServiceAttribute(pRecord, SDP_ATTR_SERVICE_RECORD_STATE);
    return ppLink && IncrementUint32Value(*ppLink);
}

bool CSdpDatabase::UpdateServerDataBaseStateAttribute(SERVICE_RECORD* pFirstRecord)
{
    SERVICE_ATTRIBUTE** ppLink =
        FindServiceAttribute(pFirstRecord, SDP_ATTR_SERVICE_DATABASE_STATE);
    return ppLink && IncrementUint32Value(*ppLink);
}

// ---- Application requests ----

SDP_STATUS CSdpDatabase::UserIoctlAddRecord(SDP_IOCTL_BUFFER& Io)
{
    Io.Information = 0;
    if (Io.OutputLength != 4) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlAddRecord() - Invalid parameters..\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    DatabaseLock();
    const uint32_t hRec = NextRecordHandle;
    const SDP_STATUS Status = CreateServiceRecord(hRec);
    // A failed add uses up its handle all the same.
    NextRecordHandle++;
    DatabaseUnlock();

    if (SdpSuccess(Status)) {
        CByteWriter Out(Io.SystemBuffer, Io.OutputLength);
        Out.WriteLe32(hRec);
        Io.Information = static_cast<uint32_t>(Out.Position());
    } else {
        SdpDbgPrint(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlAddRecord() - Failure! Err = 0x%x\n",
                    static_cast<unsigned>(Status));
    }
    return Status;
}

SDP_STATUS CSdpDatabase::UserIoctlDeleteRecord(SDP_IOCTL_BUFFER& Io)
{
    Io.Information = 0;
    CByteReader In(Io.SystemBuffer, Io.InputLength);
    if (Io.InputLength != 4) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlDeleteRecord() - Invalid parameters\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    const uint32_t hRec = In.ReadLe32();
    if (!In.Ok()) return SDP_STATUS_INVALID_PARAMETER;
    DatabaseLock();
    const SDP_STATUS Status = DeleteServiceRecord(hRec);
    DatabaseUnlock();
    if (SdpSuccess(Status)) {
        Io.Information = 4;
    } else {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlDeleteRecord() - Failed to delete hRec 0x%x (err 0x%x)\n",
                    hRec, static_cast<unsigned>(Status));
    }
    return Status;
}

SDP_STATUS CSdpDatabase::UserIoctlAddAttribute(SDP_IOCTL_BUFFER& Io)
{
    Io.Information = 0;
    if (Io.InputLength < 11) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlAddAttribute() - Invalid parameters. Buffer too small..\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    CByteReader In(Io.SystemBuffer, Io.InputLength);
    const uint32_t hRec = In.ReadLe32();
    const uint16_t AttId = In.ReadLe16();
    const uint32_t Length = In.ReadLe32();
    if (!In.Ok()) return SDP_STATUS_INVALID_PARAMETER;
    // Compared in 64 bits: L + 10 must not wrap into a match.
    if (static_cast<uint64_t>(Io.InputLength) != static_cast<uint64_t>(Length) + 10) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlAddAttribute() - Invalid parameters. Got 0x%x. Exp 0x%x\n",
                    Io.InputLength, Length + 10);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    DatabaseLock();
    const SDP_STATUS Status = AddNewServiceAttribute(hRec, AttId, In.Current(), Length, true);
    DatabaseUnlock();
    if (SdpSuccess(Status)) {
        Io.Information = Length + 10;
    } else {
        SdpDbgPrint(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlAddAttribute() - Failure! (err 0x%x)\n",
                    static_cast<unsigned>(Status));
    }
    return Status;
}

SDP_STATUS CSdpDatabase::UserIoctlDeleteAttribute(SDP_IOCTL_BUFFER& Io)
{
    Io.Information = 0;
    if (Io.InputLength != 6) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlDeleteAttribute() - Invalid parameters..\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    CByteReader In(Io.SystemBuffer, Io.InputLength);
    const uint32_t hRec = In.ReadLe32();
    const uint16_t AttId = In.ReadLe16();
    if (!In.Ok()) return SDP_STATUS_INVALID_PARAMETER;
    DatabaseLock();
    const SDP_STATUS Status = DeleteServiceAttribute(hRec, AttId);
    DatabaseUnlock();
    if (SdpSuccess(Status)) {
        Io.Information = 6;
    } else {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlDeleteAttribute() - Failure! (err 0x%x)\n",
                    static_cast<unsigned>(Status));
    }
    return Status;
}

SDP_STATUS CSdpDatabase::UserIoctlVerifyDataElement(SDP_IOCTL_BUFFER& Io)
{
    Io.Information = 0;
    if (Io.InputLength == 0 || !Io.SystemBuffer) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlVerifyDataElement() - Invalid parameters..\n");
        return SDP_STATUS_INVALID_PARAMETER;
    }
    return VerifyDataElement(Io.SystemBuffer, Io.InputLength) ? SDP_STATUS_SUCCESS
                                                              : SDP_STATUS_INVALID_PARAMETER;
}

SDP_STATUS CSdpDatabase::UserIoctlGetDatabase(SDP_IOCTL_BUFFER& Io)
{
    const uint32_t N = Io.OutputLength;
    Io.Information = 0;
    if (N < KIVSDP_GET_DATABASE_MIN_LEN) {
        SdpDbgPrint(SDP_ZONE_DATABASE_MASK,
                    "kivsdp : UserIoctlGetDatabase() - Invalid parameters.. Buffer too small. Got "
                    "0x%x. Needs at least 0x40.\n",
                    N);
        Io.Information = KIVSDP_GET_DATABASE_MIN_LEN;
        return SDP_STATUS_INVALID_PARAMETER;
    }

    CByteWriter Out(Io.SystemBuffer, N);
    DatabaseLock();
    // p counts what the buffer needs; it stays with the writer while everything fits, and an
    // entry is written only once it is known to fit. The count slots are filled at the end.
    const size_t RecordsAt = Out.Reserve(4);
    uint64_t p = 4;
    uint32_t Records = 0;
    for (const SERVICE_RECORD* pRecord = RecordList; pRecord; pRecord = pRecord->Next) {
        Records++;
        const size_t Slot = Out.Reserve(4);
        p += 4;
        if (!pRecord->AttributeList && p > N) {
            DatabaseUnlock();
            Io.Information = static_cast<uint32_t>(p);
            SdpDbgPrint(SDP_ZONE_WARN_MASK,
                        "kivsdp : UserIoctlGetDatabase() - Buffer too small. We need at least "
                        "0x%x\n",
                        Io.Information);
            return SDP_STATUS_INVALID_PARAMETER;
        }
        uint32_t Attributes = 0;
        for (const SERVICE_ATTRIBUTE* pAttr = pRecord->AttributeList; pAttr; pAttr = pAttr->Next) {
            Attributes++;
            const uint32_t V = GetDataElementSize(pAttr->Value, 5);
            // The entry must end at least one byte before the buffer does.
            if (p + 6 + V >= N) {
                DatabaseUnlock();
                Io.Information = static_cast<uint32_t>(p + 7 + V);
                SdpDbgPrint(SDP_ZONE_WARN_MASK,
                            "kivsdp : UserIoctlGetDatabase() - Buffer too small. We need at least "
                            "0x%x\n",
                            Io.Information);
                return SDP_STATUS_INVALID_PARAMETER;
            }
            Out.WriteLe16(pAttr->AttributeId);
            Out.WriteLe32(V);
            Out.WriteBytes(pAttr->Value, V);
            p += 6 + V;
        }
        Out.PatchLe32(Slot, Attributes);
    }
    DatabaseUnlock();
    Out.PatchLe32(RecordsAt, Records);
    if (!Out.Ok()) return SDP_STATUS_INTERNAL_ERROR;
    Io.Information = static_cast<uint32_t>(p);
    return SDP_STATUS_SUCCESS;
}

SDP_STATUS CSdpDatabase::UserIoctlGetRecordHandles(SDP_IOCTL_BUFFER& Io)
{
    const uint32_t N = Io.OutputLength;
    Io.Information = 0;
    if (N < 4) {
        SdpDbgPrint(SDP_ZONE_WARN_MASK,
                    "kivsdp : UserIoctlGetRecordHandles() - Invalid parameters.. Buffer too small. "
                    "Got 0x%x. Needs at least 0x%x\n",
                    N, 4u);
        Io.Information = 4;
        return SDP_STATUS_INVALID_PARAMETER;
    }
    CByteWriter Out(Io.SystemBuffer, N);
    DatabaseLock();
    uint32_t i = 0;
    for (const SERVICE_RECORD* pRecord = RecordList; pRecord; pRecord = pRecord->Next) {
        uint32_t hRec = 0;
        if (!ExtractRecordHandle(pRecord, &hRec)) {
            SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                        "kivsdp : UserIoctlGetRecordHandles() - Internal error! How the hell did "
                        "this happen??\n");
            DatabaseUnlock();
            return SDP_STATUS_INTERNAL_ERROR;
        }
        if (hRec == SDP_SERVER_RECORD_HANDLE) continue;
        if (static_cast<uint64_t>(N) < 4ull * (i + 1)) {
            DatabaseUnlock();
            Io.Information = 4 * (i + 1);
            SdpDbgPrint(SDP_ZONE_WARN_MASK,
                        "kivsdp : UserIoctlGetRecordHandles() - Buffer too small. We need at least "
                        "0x%x\n",
                        Io.Information);
            return SDP_STATUS_INVALID_PARAMETER;
        }
        Out.WriteLe32(hRec);
        i++;
    }
    DatabaseUnlock();
    Io.Information = 4 * i;
    return SDP_STATUS_SUCCESS;
}
