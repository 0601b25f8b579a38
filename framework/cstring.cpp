// Counted wide string of the driver framework.
#include "CString.h"

#include <string.h>

static USHORT WideLengthInBytes(const WCHAR* pString)
{
    size_t count = 0;
    while (pString[count] != 0)
        count++;
    return USHORT(count * sizeof(WCHAR));
}

void* CString::operator new(size_t Size) noexcept
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return ExAllocatePoolWithTag(PagedPool, Size, NORN_POOL_TAG);
}

void CString::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}

WCHAR* CString::AllocateBuffer(ULONG Size)
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, Size, NORN_POOL_TAG));
}

BOOLEAN CString::ConstructBuffer(ULONG Size)
{
    WCHAR* pBuffer = AllocateBuffer(Size);
    if (pBuffer == NULL) {
        DbgPrint("Norn:CString::CString ***ExAllocatePoolWithTag(%d)\n", int(Size));
        return FALSE;
    }
    m_String.Buffer = pBuffer;
    m_String.MaximumLength = USHORT(Size);
    return TRUE;
}

void CString::Terminate()
{
    if (m_String.Buffer != NULL) m_String.Buffer[m_String.Length / sizeof(WCHAR)] = 0;
}

CString::CString()
{
    m_String.Length = 0;
    m_String.MaximumLength = 0;
    m_String.Buffer = NULL;
}

CString::CString(const WCHAR* pString) : CString()
{
    // Measured as RtlInitUnicodeString does, then two bytes more of room.
    USHORT length = pString != NULL ? WideLengthInBytes(pString) : 0;
    USHORT measured = pString != NULL ? USHORT(length + sizeof(WCHAR)) : 0;
    ULONG size = ULONG(measured) + sizeof(WCHAR);
    if (!ConstructBuffer(size)) return;
    if (length != 0) memcpy(m_String.Buffer, pString, length);
    m_String.Length = length;
    Terminate();
}

CString::CString(const CString& Source) : CString()
{
    if (Source.m_String.Buffer == NULL) return;
    ULONG size = Source.m_String.MaximumLength;
    if (!ConstructBuffer(size)) return;
    RtlCopyUnicodeString(&m_String, &Source.m_String);
    Terminate();
}

CString::CString(ULONG Value, ULONG Base) : CString()
{
    // 22 bytes hold the longest number the supported bases give (ten decimal
    // or eleven octal digits) and its terminator.
    const ULONG size = 22;
    if (!ConstructBuffer(size)) return;
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(Value, Base, &m_String))) m_String.Length = 0;
    Terminate();
}

CString::~CString()
{
    if (m_String.Buffer != NULL) ExFreePool(m_String.Buffer);
    m_String.Buffer = NULL;
    m_String.Length = 0;
    m_String.MaximumLength = 0;
}

CString& CString::operator=(const CString& Source)
{
    if (*this == Source) return *this;
    if (ULONG(Source.m_String.Length) + sizeof(WCHAR) > m_String.MaximumLength) {
        ULONG size = ULONG(Source.m_String.Length) + sizeof(WCHAR);
        WCHAR* pBuffer = AllocateBuffer(size);
        if (pBuffer == NULL) {
            DbgPrint("Norn:CString::operator= ***ExAllocatePoolWithTag(%d)\n", int(size));
            return *this;
        }
        if (m_String.Buffer != NULL) ExFreePool(m_String.Buffer);
        m_String.Buffer = pBuffer;
        m_String.Length = 0;
        m_String.MaximumLength = USHORT(size);
    }
    RtlCopyUnicodeString(&m_String, &Source.m_String);
    Terminate();
    return *this;
}

CString& CString::operator+=(const CString& Source)
{
    ULONG needed = ULONG(m_String.Length) + Source.m_String.Length + sizeof(WCHAR);
    if (m_String.MaximumLength < needed) {
        WCHAR* pBuffer = AllocateBuffer(needed);
        if (pBuffer == NULL) {
            DbgPrint("Norn:CString::operator+= ***ExAllocatePoolWithTag(%d)\n", int(needed));
            return *this;
        }
        if (m_String.Buffer != NULL) {
            memcpy(pBuffer, m_String.Buffer, m_String.Length);
            ExFreePool(m_String.Buffer);
        }
        m_String.Buffer = pBuffer;
        m_String.MaximumLength = USHORT(needed);
    }
    if (Source.m_String.Length != 0) {
        // Room was made above, so the append cannot fail for want of space.
        (void)RtlAppendUnicodeStringToString(&m_String, &Source.m_String);
    }
    Terminate();
    return *this;
}

void CString::ConvertToNonPagedPool()
{
    if (m_String.MaximumLength == 0) return;
    PVOID pBuffer = ExAllocatePoolWithTag(NonPagedPool, m_String.MaximumLength, NORN_POOL_TAG);
    if (pBuffer == NULL) return;
    memcpy(pBuffer, m_String.Buffer, m_String.MaximumLength);
    ExFreePool(m_String.Buffer);
    m_String.Buffer = static_cast<WCHAR*>(pBuffer);
}

CString Concatenate(const CString& First, const CString& Second)
{
    ULONG size = ULONG(First.m_String.Length) + Second.m_String.Length + sizeof(WCHAR);
    CString temporary;
    WCHAR* pBuffer = temporary.AllocateBuffer(size);
    if (pBuffer == NULL) {
        DbgPrint("Norn:CString::Concatenate ***ExAllocatePoolWithTag(%d)\n", int(size));
        return CString();
    }
    temporary.m_String.Buffer = pBuffer;
    temporary.m_String.Length = 0;
    temporary.m_String.MaximumLength = USHORT(size);
    RtlCopyUnicodeString(&temporary.m_String, &First.m_String);
    if (Second.m_String.Length != 0) {
        (void)RtlAppendUnicodeStringToString(&temporary.m_String, &Second.m_String);
    }
    temporary.Terminate();
    return CString(temporary);
}

BOOLEAN operator==(const CString& First, const CString& Second)
{
    const UNICODE_STRING* pFirst = First;
    const UNICODE_STRING* pSecond = Second;
    return RtlEqualUnicodeString(pFirst, pSecond, FALSE);
}
