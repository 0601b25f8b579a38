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

// One conversion of a format string: %[flags][width][.precision][length]conv.
struct FORMAT_SPEC {
    std::string Flags;
    int Width = -1;     // -1: none
    int Precision = -1; // -1: none
    // Length: h, hh, l, ll, L, I64, I32, I, w, z, j, t
    enum LENGTH { NONE, SHORT, CHAR_, LONG_, LONGLONG_, WIDE, SIZE } Len = NONE;
    char Conv = 0;
    bool LeftAlign = false;

    // The conversion for snprintf with the flags, width and precision kept;
    // LengthModifier goes between them and Conversion.
    void Printf(char* Buf, size_t Size, const char* LengthModifier, char Conversion) const
    {
        snprintf(Buf, Size, "%%%s%s%s%s%s%c", Flags.c_str(),
                 Width >= 0 ? std::to_string(Width).c_str() : "", Precision >= 0 ? "." : "",
                 Precision >= 0 ? std::to_string(Precision).c_str() : "", LengthModifier,
                 Conversion);
    }
};

// A width or precision: digits, or '*' for the next int argument.
int ReadCount(const char*& P, va_list* Args, int Initial)
{
    if (*P == '*') {
        P++;
        return va_arg(*Args, int);
    }
    int Value = Initial;
    while (*P >= '0' && *P <= '9')
        Value = (Value < 0 ? 0 : Value * 10) + (*P++ - '0');
    return Value;
}

FORMAT_SPEC::LENGTH ReadLength(const char*& P)
{
    // Longest first where one is the start of another.
    static const struct {
        const char* Text;
        FORMAT_SPEC::LENGTH Len;
    } Lengths[] = {
        {"I64", FORMAT_SPEC::LONGLONG_}, {"I32", FORMAT_SPEC::NONE}, {"I", FORMAT_SPEC::SIZE},
        {"hh", FORMAT_SPEC::CHAR_},      {"h", FORMAT_SPEC::SHORT},  {"ll", FORMAT_SPEC::LONGLONG_},
        {"l", FORMAT_SPEC::LONG_},       {"w", FORMAT_SPEC::WIDE},   {"z", FORMAT_SPEC::SIZE},
        {"j", FORMAT_SPEC::SIZE},        {"t", FORMAT_SPEC::SIZE},   {"L", FORMAT_SPEC::LONGLONG_},
    };
    for (const auto& Entry : Lengths) {
        const size_t N = strlen(Entry.Text);
        if (strncmp(P, Entry.Text, N) == 0) {
            P += N;
            return Entry.Len;
        }
    }
    return FORMAT_SPEC::NONE;
}

// Reads the conversion after its '%' up to and including the conversion
// character (Conv 0, P left on the terminator, when the format ends first).
FORMAT_SPEC ReadSpec(const char*& P, va_list* Args)
{
    FORMAT_SPEC Spec;
    while (*P && strchr("-+ #0", *P))
        Spec.Flags += *P++;
    Spec.Width = ReadCount(P, Args, -1);
    if (*P == '.') {
        P++;
        Spec.Precision = ReadCount(P, Args, 0);
    }
    Spec.Len = ReadLength(P);
    Spec.Conv = *P;
    if (Spec.Conv != 0) P++;
    Spec.LeftAlign = Spec.Flags.find('-') != std::string::npos;
    return Spec;
}

void FormatInteger(std::string& Out, const FORMAT_SPEC& Spec, va_list* Args)
{
    // Windows' "l" is 32-bit: LONG/ULONG are what drivers pass with %lx.
    const bool Signed = Spec.Conv == 'd' || Spec.Conv == 'i';
    const auto Len = Spec.Len;
    long long V;
    if (Len == FORMAT_SPEC::LONGLONG_)
        V = va_arg(*Args, long long);
    else if (Len == FORMAT_SPEC::SIZE)
        V = (long long)va_arg(*Args, size_t);
    else
        V = Signed ? (long long)va_arg(*Args, int) : (long long)va_arg(*Args, unsigned int);
    if (Len == FORMAT_SPEC::SHORT) V = Signed ? (long long)(short)V : (long long)(unsigned short)V;
    if (Len == FORMAT_SPEC::CHAR_)
        V = Signed ? (long long)(signed char)V : (long long)(unsigned char)V;
    char Format[64];
    Spec.Printf(Format, sizeof(Format), "ll", Spec.Conv);
    char Buf[128];
    if (Signed)
        snprintf(Buf, sizeof(Buf), Format, V);
    else if (Len == FORMAT_SPEC::LONGLONG_ || Len == FORMAT_SPEC::SIZE)
        snprintf(Buf, sizeof(Buf), Format, (unsigned long long)V);
    else
        snprintf(Buf, sizeof(Buf), Format, (unsigned long long)(uint32_t)V);
    Out += Buf;
}

// %s and %S (and %c, %C): narrow or wide by the conversion's case, swapped
// by an l or w length, as the kernel's debug print does.
bool IsWideConversion(const FORMAT_SPEC& Spec, char WideConv)
{
    return (Spec.Conv == WideConv) !=
           (Spec.Len == FORMAT_SPEC::WIDE || Spec.Len == FORMAT_SPEC::LONG_);
}

void FormatString(std::string& Out, const FORMAT_SPEC& Spec, va_list* Args, bool* UsedWide)
{
    std::string Body;
    if (IsWideConversion(Spec, 'S')) {
        *UsedWide = true;
        auto* S = va_arg(*Args, PCWSTR);
        if (S == nullptr)
            Body = "(null)";
        else
            AppendWide(Body, S, WideLength(S), Spec.Precision);
    } else {
        const char* S = va_arg(*Args, const char*);
        if (S == nullptr) S = "(null)";
        size_t N = strlen(S);
        if (Spec.Precision >= 0 && size_t(Spec.Precision) < N) N = size_t(Spec.Precision);
        Body.assign(S, N);
    }
    Pad(Out, Body, Spec.Width, Spec.LeftAlign);
}

// %Z: an ANSI_STRING, or with w a UNICODE_STRING.
void FormatCountedString(std::string& Out, const FORMAT_SPEC& Spec, va_list* Args, bool* UsedWide)
{
    std::string Body;
    if (Spec.Len == FORMAT_SPEC::WIDE) {
        *UsedWide = true;
        auto* U = va_arg(*Args, PCUNICODE_STRING);
        if (U == nullptr || U->Buffer == nullptr)
            Body = "(null)";
        else
            AppendWide(Body, U->Buffer, U->Length / 2, Spec.Precision);
    } else {
        auto* A = va_arg(*Args, PCANSI_STRING);
        if (A == nullptr || A->Buffer == nullptr)
            Body = "(null)";
        else
            Body.assign(A->Buffer, A->Length);
    }
    Pad(Out, Body, Spec.Width, Spec.LeftAlign);
}

// One conversion whose text is not copied as it stands; Start is its '%'
// and End the character after it.
void FormatConversion(std::string& Out, const FORMAT_SPEC& Spec, va_list* Args, bool* UsedWide,
                      const char* Start, const char* End)
{
    switch (Spec.Conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        FormatInteger(Out, Spec, Args);
        break;
    case 'p': {
        void* V = va_arg(*Args, void*);
        char Buf[32];
        snprintf(Buf, sizeof(Buf), "%0*llX", int(sizeof(void*) * 2),
                 (unsigned long long)(uintptr_t)V);
        Pad(Out, Buf, Spec.Width, Spec.LeftAlign);
        break;
    }
    case 'c':
    case 'C': {
        bool Wide = IsWideConversion(Spec, 'C');
        int V = va_arg(*Args, int);
        std::string Body(1, Wide ? (V < 0x80 ? char(V) : '?') : char(V));
        Pad(Out, Body, Spec.Width, Spec.LeftAlign);
        break;
    }
    case 's':
    case 'S':
        FormatString(Out, Spec, Args, UsedWide);
        break;
    case 'Z':
        FormatCountedString(Out, Spec, Args, UsedWide);
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G': {
        double V = va_arg(*Args, double);
        char Format[64];
        Spec.Printf(Format, sizeof(Format), "", Spec.Conv);
        char Buf[128];
        snprintf(Buf, sizeof(Buf), Format, V);
        Out += Buf;
        break;
    }
    case '%':
        Out += '%';
        break;
    case 'n':
        (void)va_arg(*Args, void*); // never written
        break;
    default:
        Out.append(Start, End);
        break;
    }
}

} // namespace

std::string DbgFormat(const char* Format, va_list Args, bool* UsedWide)
{
    std::string Out;
    *UsedWide = false;
    // The helpers take the list by pointer, which a va_list parameter (an
    // array type on some ABIs) cannot give: they work on a copy.
    va_list Ap;
    va_copy(Ap, Args);
    for (const char* P = Format; *P;) {
        if (*P != '%') {
            Out += *P++;
            continue;
        }
        const char* Start = P++;
        const FORMAT_SPEC Spec = ReadSpec(P, &Ap);
        if (Spec.Conv == 0) {
            Out += Start;
            break;
        }
        FormatConversion(Out, Spec, &Ap, UsedWide, Start, P);
    }
    va_end(Ap);
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
