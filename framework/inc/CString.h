// Counted wide-character string of the driver framework, over a UNICODE_STRING
// whose buffer lives in paged pool (tag "Norn") and belongs to the string.
#pragma once

#include "NornDebug.h"

// Invariant: a string with a buffer has MaximumLength >= Length + 2 and a zero
// character right after its Length bytes; one without has both lengths 0.
// Every allocation failure is printed and leaves the string as it was (or
// empty, for a constructor). No locking: the owner serialises access.
class CString {
public:
    CString();
    CString(const WCHAR* pString);
    CString(const CString& Source);
    CString(ULONG Value, ULONG Base);
    virtual ~CString();

    CString& operator=(const CString& Source);
    CString& operator+=(const CString& Source);

    // Moves the buffer to non-paged pool; on failure it silently stays paged.
    void ConvertToNonPagedPool();

    operator UNICODE_STRING*() { return &m_String; }
    operator const UNICODE_STRING*() const { return &m_String; }
    operator WCHAR*() const { return m_String.Buffer; }
    BOOLEAN IsEmpty() const { return m_String.Length == 0; }

    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);

protected:
    virtual WCHAR* AllocateBuffer(ULONG Size);

private:
    // A constructor's empty buffer of Size bytes; FALSE, the failure printed,
    // leaves the string null.
    BOOLEAN ConstructBuffer(ULONG Size);
    void Terminate();
    friend CString Concatenate(const CString& First, const CString& Second);

    UNICODE_STRING m_String;
};

CString Concatenate(const CString& First, const CString& Second);
BOOLEAN operator==(const CString& First, const CString& Second);
