// The host's controls: reset, scheduler choice, debug-print sink, verifier records, assertion
// records and failure injection.
#include "internal.h"

#include <cstdio>

namespace {

struct INJECT_RULE {
    INJECT_KIND Kind;
    ULONG Tag;
    unsigned After;
    unsigned Count;
};

struct HOST_STATE {
    std::mutex M;
    kivrt::Options Opt;
    std::vector<kivrt::VERIFIER_RECORD> Records;
    std::vector<kivrt::ASSERT_RECORD> Asserts;
    size_t Breaks = 0;
    std::vector<INJECT_RULE> Rules;
    size_t Injected = 0;
};

HOST_STATE& Host()
{
    static HOST_STATE* S = new HOST_STATE; // lives until exit; worker threads may still report
    return *S;
}

struct SINK_STATE {
    std::mutex M;
    kivrt::DbgSink Sink;
    bool Capturing = false;
    std::string Captured;
};

SINK_STATE& Sink()
{
    static SINK_STATE* S = new SINK_STATE;
    return *S;
}

std::string FormatV(const char* Format, va_list Args)
{
    char Buffer[1024];
    vsnprintf(Buffer, sizeof(Buffer), Format, Args);
    return Buffer;
}

} // namespace

void DbgEmit(const std::string& Text)
{
    SINK_STATE& S = Sink();
    std::lock_guard<std::mutex> G(S.M);
    if (S.Capturing)
        S.Captured += Text;
    else if (S.Sink)
        S.Sink(Text);
    else
        fputs(Text.c_str(), stderr);
}

bool RuntimeVerifying()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Opt.Verifying;
}

bool RuntimeEchoReports()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Opt.EchoReports;
}

void VfReport(kivrt::Severity Level, const char* Check, ULONG BugCheck, ULONG_PTR Parameter,
              const char* Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    std::string Message = FormatV(Format, Args);
    va_end(Args);
    bool Echo;
    {
        std::lock_guard<std::mutex> G(Host().M);
        Host().Records.push_back({Level, Check, Message, BugCheck, Parameter});
        Echo = Host().Opt.EchoReports;
    }
    if (Echo)
        DbgEmit(std::string("*** Verifier ") +
                (Level == kivrt::Severity::Error ? "error" : "warning") + " [" + Check +
                "]: " + Message + "\n");
}

bool VfIrqlAtMost(KIRQL Max, const char* Call, ULONG Param)
{
    KIRQL Irql = KeGetCurrentIrql();
    if (Irql <= Max) return true;
    VfError("irql", 0xC4, Param, "%s called at IRQL %u; allowed at most %u", Call, Irql, Max);
    return false;
}

VOID KiCheckPagedCode(PCSTR File, ULONG Line)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        VfError("irql", 0xC4, 0, "pageable code (%s, line %u) reached at IRQL %u", File, Line,
                KeGetCurrentIrql());
}

bool VfIrqlExactly(KIRQL Level, const char* Call, ULONG Param)
{
    KIRQL Irql = KeGetCurrentIrql();
    if (Irql == Level) return true;
    VfError("irql", 0xC4, Param, "%s called at IRQL %u; must be called at %u", Call, Irql, Level);
    return false;
}

void VfCheckReturn(const char* RoutineKind, PVOID Routine, KIRQL EntryIrql, int SpinLocksOnEntry,
                   int MutexesOnEntry)
{
    _ETHREAD* T = CurrentThread();
    if (T->SpinLocksHeld > SpinLocksOnEntry)
        VfError("lock-held-on-return", 0xC4, 0, "%s %p returned holding a spin lock", RoutineKind,
                Routine);
    if (T->FastMutexesHeld > MutexesOnEntry)
        VfError("lock-held-on-return", 0xC4, 0, "%s %p returned holding a fast mutex", RoutineKind,
                Routine);
    if (T->Irql != EntryIrql) {
        VfError("irql-changed", 0xC9, 0x05, "%s %p returned at IRQL %u; it was entered at %u",
                RoutineKind, Routine, T->Irql, EntryIrql);
        T->Irql = EntryIrql;
    }
}

bool InjectFailure(INJECT_KIND Kind, ULONG Tag)
{
    HOST_STATE& H = Host();
    std::lock_guard<std::mutex> G(H.M);
    for (INJECT_RULE& R : H.Rules) {
        if (R.Kind != Kind || R.Count == 0) continue;
        if (Kind == INJECT_KIND::Pool && R.Tag != 0 && R.Tag != Tag) continue;
        if (R.After > 0) {
            R.After--;
            continue;
        }
        R.Count--;
        H.Injected++;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Debug break and assertions

VOID DbgBreakPoint()
{
    bool Echo;
    {
        std::lock_guard<std::mutex> G(Host().M);
        Host().Breaks++;
        Echo = Host().Opt.EchoReports;
    }
    if (Echo) DbgEmit("*** DbgBreakPoint: resumed\n");
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message)
{
    kivrt::ASSERT_RECORD R{FailedAssertion ? (const char*)FailedAssertion : "",
                           FileName ? (const char*)FileName : "", LineNumber,
                           Message ? Message : ""};
    bool Echo;
    {
        std::lock_guard<std::mutex> G(Host().M);
        Host().Asserts.push_back(R);
        Echo = Host().Opt.EchoReports;
    }
    if (Echo)
        DbgEmit("*** Assertion failed: " + R.Message + R.Expression +
                "\n***   Source File: " + R.File + ", line " + std::to_string(LineNumber) + "\n");
}

// ---------------------------------------------------------------------------------------------
// Host interface

namespace kivrt {

void Reset(const Options& Opt)
{
    WorkStop();
    WorkClear();
    AppReset();
    PnpReset();
    ObReset();
    IopIrpReset();
    LookasideReset();
    PoolReset();
    {
        HOST_STATE& H = Host();
        std::lock_guard<std::mutex> G(H.M);
        H.Opt = Opt;
        H.Records.clear();
        H.Asserts.clear();
        H.Breaks = 0;
        H.Rules.clear();
        H.Injected = 0;
    }
    _ETHREAD* T = CurrentThread();
    T->Irql = PASSIVE_LEVEL;
    T->SpinLocksHeld = 0;
    T->FastMutexesHeld = 0;
    T->CurrentDriver = nullptr;
    WorkStart(Opt.Sched, Opt.DelayedWorkers ? Opt.DelayedWorkers : 1,
              Opt.CriticalWorkers ? Opt.CriticalWorkers : 1);
}

void Shutdown()
{
    WorkStop();
    std::lock_guard<std::mutex> G(Host().M);
    Host().Opt.Sched = Scheduler::Deterministic;
    WorkStart(Scheduler::Deterministic, 1, 1);
}

Scheduler CurrentScheduler()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Opt.Sched;
}

void SetDbgPrintSink(DbgSink NewSink)
{
    SINK_STATE& S = Sink();
    std::lock_guard<std::mutex> G(S.M);
    S.Sink = std::move(NewSink);
    S.Capturing = false;
}

void CaptureDbgPrint()
{
    SINK_STATE& S = Sink();
    std::lock_guard<std::mutex> G(S.M);
    S.Capturing = true;
    S.Captured.clear();
}

std::string TakeCapturedDbgPrint()
{
    SINK_STATE& S = Sink();
    std::lock_guard<std::mutex> G(S.M);
    std::string Out;
    Out.swap(S.Captured);
    return Out;
}

std::vector<ASSERT_RECORD> Assertions()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Asserts;
}

size_t BreakPointCount()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Breaks;
}

std::vector<VERIFIER_RECORD> VerifierRecords()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Records;
}

size_t VerifierErrorCount()
{
    std::lock_guard<std::mutex> G(Host().M);
    size_t N = 0;
    for (const VERIFIER_RECORD& R : Host().Records)
        if (R.Level == Severity::Error) N++;
    return N;
}

bool VerifierHas(const char* Check)
{
    std::lock_guard<std::mutex> G(Host().M);
    for (const VERIFIER_RECORD& R : Host().Records)
        if (R.Check == Check) return true;
    return false;
}

void ClearVerifierRecords()
{
    std::lock_guard<std::mutex> G(Host().M);
    Host().Records.clear();
    Host().Asserts.clear();
    Host().Breaks = 0;
}

static void AddRule(INJECT_KIND Kind, ULONG Tag, unsigned AfterN, unsigned Count)
{
    std::lock_guard<std::mutex> G(Host().M);
    Host().Rules.push_back({Kind, Tag, AfterN, Count});
}

void FailPoolAllocations(ULONG Tag, unsigned AfterN, unsigned Count)
{
    AddRule(INJECT_KIND::Pool, Tag, AfterN, Count);
}

void FailIrpAllocations(unsigned AfterN, unsigned Count)
{
    AddRule(INJECT_KIND::Irp, 0, AfterN, Count);
}

void FailDeviceCreation(unsigned AfterN, unsigned Count)
{
    AddRule(INJECT_KIND::Device, 0, AfterN, Count);
}

void FailPowerIrpRequests(unsigned AfterN, unsigned Count)
{
    AddRule(INJECT_KIND::PowerIrp, 0, AfterN, Count);
}

void ClearFailureInjection()
{
    std::lock_guard<std::mutex> G(Host().M);
    Host().Rules.clear();
}

size_t InjectedFailures()
{
    std::lock_guard<std::mutex> G(Host().M);
    return Host().Injected;
}

std::string TagText(ULONG Tag)
{
    std::string S;
    for (int i = 0; i < 4; i++) {
        char C = char((Tag >> (8 * i)) & 0xFF);
        S += (C >= 0x20 && C <= 0x7E) ? C : '.';
    }
    return S;
}

std::u16string ToU16(const std::string& Ascii)
{
    std::u16string S;
    for (unsigned char C : Ascii)
        S += char16_t(C);
    return S;
}

std::string ToNarrow(const std::u16string& Text)
{
    std::string S;
    for (char16_t C : Text)
        S += C < 0x80 ? char(C) : '?';
    return S;
}

ULONG Win32ErrorFromStatus(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_SUCCESS:
        return 0;
    case STATUS_PENDING:
        return 997;
    case STATUS_BUFFER_OVERFLOW:
        return 234;
    case STATUS_UNSUCCESSFUL:
        return 31;
    case STATUS_INVALID_PARAMETER:
        return 87;
    case STATUS_INVALID_DEVICE_REQUEST:
        return 1;
    case STATUS_MORE_PROCESSING_REQUIRED:
        return 234;
    case STATUS_NO_MEMORY:
        return 8;
    case STATUS_ACCESS_DENIED:
        return 5;
    case STATUS_BUFFER_TOO_SMALL:
        return 122;
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return 2;
    case STATUS_OBJECT_NAME_COLLISION:
        return 183;
    case STATUS_SHARING_VIOLATION:
        return 32;
    case STATUS_DELETE_PENDING:
        return 5;
    case STATUS_INSUFFICIENT_RESOURCES:
        return 1450;
    case STATUS_NOT_SUPPORTED:
        return 50;
    case STATUS_INTERNAL_ERROR:
        return 1359;
    case STATUS_CANCELLED:
        return 995;
    case STATUS_NO_SUCH_DEVICE:
        return 433;
    case STATUS_TIMEOUT:
        return 1460;
    case STATUS_DEVICE_BUSY:
        return 170;
    default:
        return NT_SUCCESS(Status) ? 0 : 317; // ERROR_MR_MID_NOT_FOUND
    }
}

} // namespace kivrt
