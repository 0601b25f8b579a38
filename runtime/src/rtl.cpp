// Run-time library: counted 16-bit strings, and DbgPrint with the kernel's own conversions.
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace {

size_t WideLength(PCWSTR S)
{
    size_t N = 0;
    while (S[N] != 0)
        N++;
    return N;
}

void Terminate(PUNICODE_STRING S)
{
    if (S->Length + sizeof(WCHAR) <= S->MaximumLength) S->Buffer[S->Length / sizeof(WCHAR)] = 0;
}

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t Bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (Bytes > 0xFFFC) Bytes = 0xFFFC;
    DestinationString->Length = USHORT(Bytes);
    DestinationString->MaximumLength = USHORT(Bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t Bytes = strlen(SourceString);
    if (Bytes > 0xFFFE) Bytes = 0xFFFE;
    DestinationString->Length = USHORT(Bytes);
    DestinationString->MaximumLength = USHORT(Bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT Bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    Bytes &= ~USHORT(1);
    if (Bytes) memmove(DestinationString->Buffer, SourceString->Buffer, Bytes);
    DestinationString->Length = Bytes;
    Terminate(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    if (ULONG(Destination->Length) + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((char*)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = USHORT(Destination->Length + Source->Length);
    Terminate(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING S;
    RtlInitUnicodeString(&S, Source);
    return RtlAppendUnicodeStringToString(Destination, &S);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR C)
{
    if (C >= u'a' && C <= u'z') return WCHAR(C - 32);
    // Latin-1 lower-case letters, except the two without a Latin-1 capital.
    if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return WCHAR(C - 32);
    return C;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    size_t N1 = String1->Length / 2, N2 = String2->Length / 2;
    for (size_t i = 0; i < N1 && i < N2; i++) {
        WCHAR A = String1->Buffer[i], B = String2->Buffer[i];
        if (CaseInSensitive) {
            A = RtlUpcaseUnicodeChar(A);
            B = RtlUpcaseUnicodeChar(B);
        }
        if (A != B) return LONG(A) - LONG(B);
    }
    return LONG(N1) - LONG(N2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    VfIrqlAtMost(APC_LEVEL, "RtlEqualUnicodeString", 0);
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    VfIrqlExactly(PASSIVE_LEVEL, "RtlIntegerToUnicodeString", 0);
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char Digits[33];
    int N = 0;
    do {
        ULONG D = Value % Base;
        Digits[N++] = char(D < 10 ? '0' + D : 'A' + D - 10);
        Value /= Base;
    } while (Value != 0);
    if (String->MaximumLength < (N + 1) * sizeof(WCHAR)) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < N; i++)
        String->Buffer[i] = WCHAR(Digits[N - 1 - i]);
    String->Buffer[N] = 0;
    String->Length = USHORT(N * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    size_t N = String->Length / 2, i = 0;
    while (i < N && String->Buffer[i] == u' ')
        i++;
    bool Negative = false;
    if (i < N && (String->Buffer[i] == u'-' || String->Buffer[i] == u'+'))
        Negative = String->Buffer[i++] == u'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < N && String->Buffer[i] == u'0') {
            WCHAR P = String->Buffer[i + 1];
            if (P == u'x')
                Base = 16, i += 2;
            else if (P == u'o')
                Base = 8, i += 2;
            else if (P == u'b')
                Base = 2, i += 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG Result = 0;
    for (; i < N; i++) {
        WCHAR C = RtlUpcaseUnicodeChar(String->Buffer[i]);
        ULONG D = (C >= u'0' && C <= u'9')   ? C - u'0'
                  : (C >= u'A' && C <= u'F') ? C - u'A' + 10
                                             : 99;
        if (D >= Base) break;
        Result = Result * Base + D;
    }
    *Value = Negative ? ULONG(0 - Result) : Result;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
    UnicodeString->Buffer = nullptr;
}

NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString)
{
    char Text[40];
    snprintf(Text, sizeof(Text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1,
             Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
             Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    size_t N = strlen(Text);
    auto* Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, (N + 1) * 2, kivrt::TAG_NAME);
    if (Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i <= N; i++)
        Buffer[i] = WCHAR((unsigned char)Text[i]);
    GuidString->Buffer = Buffer;
    GuidString->Length = USHORT(N * 2);
    GuidString->MaximumLength = USHORT((N + 1) * 2);
    return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const auto* A = (const uint8_t*)Source1;
    const auto* B = (const uint8_t*)Source2;
    SIZE_T i = 0;
    while (i < Length && A[i] == B[i])
        i++;
    return i;
}

// ---------------------------------------------------------------------------------------------
// DbgPrint

namespace {

// Appends a wide string as the kernel's debug print shows it: characters outside ASCII become '?'.
void AppendWide(std::string& Out, PCWSTR S, size_t Count, int Precision)
{
    if (Precision >= 0 && size_t(Precision) < Count) Count = size_t(Precision);
    for (size_t i = 0; i < Count; i++)
        Out += S[i] < 0x80 ? char(S[i]) : '?';
}

void Pad(std::string& Out, std::string Body, int Width, bool Left)
{
    if (Width > 0 && Body.size() < size_t(Width)) {
        std::string Fill(size_t(Width) - Body.size(), ' ');
        Body = Left ? Body + Fill : Fill + Body;
    }
    Out += Body;
}

} // namespace

std::string DbgFormat(const char* Format, va_list Args, bool* UsedWide)
{
    std::string Out;
    *UsedWide = false;
    for (const char* P = Format; *P;) {
        if (*P != '%') {
            Out += *P++;
            continue;
        }
        const char* Start = P++;
        std::string Flags;
        while (*P && strchr("-+ #0", *P))
            Flags += *P++;
        int Width = -1, Precision = -1;
        if (*P == '*') {
            Width = va_arg(Args, int);
            P++;
        } else {
            while (*P >= '0' && *P <= '9')
                Width = (Width < 0 ? 0 : Width * 10) + (*P++ - '0');
        }
        if (*P == '.') {
            P++;
            Precision = 0;
            if (*P == '*') {
                Precision = va_arg(Args, int);
                P++;
            } else {
                while (*P >= '0' && *P <= '9')
                    Precision = Precision * 10 + (*P++ - '0');
            }
        }
        // Length: h, hh, l, ll, L, I64, I32, I, w, z, j, t
        enum { NONE, SHORT, CHAR_, LONG_, LONGLONG_, WIDE, SIZE } Len = NONE;
        if (P[0] == 'I' && P[1] == '6' && P[2] == '4')
            Len = LONGLONG_, P += 3;
        else if (P[0] == 'I' && P[1] == '3' && P[2] == '2')
            Len = NONE, P += 3;
        else if (P[0] == 'I')
            Len = SIZE, P++;
        else if (P[0] == 'h' && P[1] == 'h')
            Len = CHAR_, P += 2;
        else if (P[0] == 'h')
            Len = SHORT, P++;
        else if (P[0] == 'l' && P[1] == 'l')
            Len = LONGLONG_, P += 2;
        else if (P[0] == 'l')
            Len = LONG_, P++;
        else if (P[0] == 'w')
            Len = WIDE, P++;
        else if (P[0] == 'z' || P[0] == 'j' || P[0] == 't')
            Len = SIZE, P++;
        else if (P[0] == 'L')
            Len = LONGLONG_, P++;
        char Conv = *P;
        if (Conv == 0) {
            Out += Start;
            break;
        }
        P++;
        bool LeftAlign = Flags.find('-') != std::string::npos;
        char Spec[64];
        switch (Conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            // Windows' "l" is 32-bit: LONG/ULONG are what drivers pass with %lx.
            bool Signed = Conv == 'd' || Conv == 'i';
            long long V;
            if (Len == LONGLONG_)
                V = va_arg(Args, long long);
            else if (Len == SIZE)
                V = (long long)va_arg(Args, size_t);
            else
                V = Signed ? (long long)va_arg(Args, int) : (long long)va_arg(Args, unsigned int);
            if (Len == SHORT) V = Signed ? (long long)(short)V : (long long)(unsigned short)V;
            if (Len == CHAR_) V = Signed ? (long long)(signed char)V : (long long)(unsigned char)V;
            snprintf(Spec, sizeof(Spec), "%%%s%s%s%sll%c", Flags.c_str(),
                     Width >= 0 ? std::to_string(Width).c_str() : "", Precision >= 0 ? "." : "",
                     Precision >= 0 ? std::to_string(Precision).c_str() : "", Conv);
            char Buf[128];
            if (Signed)
                snprintf(Buf, sizeof(Buf), Spec, V);
            else if (Len == LONGLONG_ || Len == SIZE)
                snprintf(Buf, sizeof(Buf), Spec, (unsigned long long)V);
            else
                snprintf(Buf, sizeof(Buf), Spec, (unsigned long long)(uint32_t)V);
            Out += Buf;
            break;
        }
        case 'p': {
            void* V = va_arg(Args, void*);
            char Buf[32];
            snprintf(Buf, sizeof(Buf), "%0*llX", int(sizeof(void*) * 2),
                     (unsigned long long)(uintptr_t)V);
            Pad(Out, Buf, Width, LeftAlign);
            break;
        }
        case 'c':
        case 'C': {
            bool Wide = (Conv == 'C') != (Len == WIDE || Len == LONG_);
            int V = va_arg(Args, int);
            std::string Body(1, Wide ? (V < 0x80 ? char(V) : '?') : char(V));
            Pad(Out, Body, Width, LeftAlign);
            break;
        }
        case 's':
        case 'S': {
            bool Wide = (Conv == 'S') != (Len == WIDE || Len == LONG_);
            std::string Body;
            if (Wide) {
                *UsedWide = true;
                auto* S = va_arg(Args, PCWSTR);
                if (S == nullptr)
                    Body = "(null)";
                else
                    AppendWide(Body, S, WideLength(S), Precision);
            } else {
                const char* S = va_arg(Args, const char*);
                if (S == nullptr) S = "(null)";
                size_t N = strlen(S);
                if (Precision >= 0 && size_t(Precision) < N) N = size_t(Precision);
                Body.assign(S, N);
            }
            Pad(Out, Body, Width, LeftAlign);
            break;
        }
        case 'Z': {
            std::string Body;
            if (Len == WIDE) {
                *UsedWide = true;
                auto* U = va_arg(Args, PCUNICODE_STRING);
                if (U == nullptr || U->Buffer == nullptr)
                    Body = "(null)";
                else
                    AppendWide(Body, U->Buffer, U->Length / 2, Precision);
            } else {
                auto* A = va_arg(Args, PCANSI_STRING);
                if (A == nullptr || A->Buffer == nullptr)
                    Body = "(null)";
                else
                    Body.assign(A->Buffer, A->Length);
            }
            Pad(Out, Body, Width, LeftAlign);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G': {
            double V = va_arg(Args, double);
            snprintf(Spec, sizeof(Spec), "%%%s%s%s%s%c", Flags.c_str(),
                     Width >= 0 ? std::to_string(Width).c_str() : "", Precision >= 0 ? "." : "",
                     Precision >= 0 ? std::to_string(Precision).c_str() : "", Conv);
            char Buf[128];
            snprintf(Buf, sizeof(Buf), Spec, V);
            Out += Buf;
            break;
        }
        case '%':
            Out += '%';
            break;
        case 'n':
            (void)va_arg(Args, void*); // never written
            break;
        default:
            Out.append(Start, P);
            break;
        }
    }
    return Out;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    bool UsedWide;
    std::string Text = DbgFormat(Format, Args, &UsedWide);
    va_end(Args);
    if (UsedWide && KeGetCurrentIrql() > PASSIVE_LEVEL)
        VfError("irql", 0xC4, 0, "DbgPrint with a wide-string conversion at IRQL %u: \"%.60s\"",
                KeGetCurrentIrql(), Format);
    // The kernel's debug print takes at most 512 bytes per call.
    if (Text.size() > 512) Text.resize(512);
    DbgEmit(Text);
    return STATUS_SUCCESS;
}
