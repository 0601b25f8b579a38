// The application side of the I/O manager: CreateFile, DeviceIoControl with each transfer
// type's buffers, ReadFile/WriteFile, CancelIo and CloseHandle, acting on FILE_OBJECTs.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t SYSTEM_BUFFER_POISON = 0xDD;

struct FILE_PRIVATE {
    FILE_OBJECT Fo;
    std::atomic<LONG> Refs{1}; // the handle, plus one per IRP that carries the file object
    std::mutex M;
    std::vector<std::pair<PIRP, unsigned>> Outstanding; // IRP and issuing thread
};

void SendClose(FILE_PRIVATE* F);

void FileDereference(FILE_PRIVATE* F)
{
    if (F->Refs.fetch_sub(1) != 1) return;
    // CLOSE goes at PASSIVE_LEVEL; a completion at DISPATCH_LEVEL hands it to a system thread.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        WorkQueueSystemJob([F] { SendClose(F); });
    else
        SendClose(F);
}

} // namespace

struct APP_REQUEST {
    std::atomic<int> Refs{2}; // the issuer and the IRP
    FILE_PRIVATE* File = nullptr;
    bool HoldsFileRef = true;
    void* UserOut = nullptr;
    ULONG OutLength = 0;
    PVOID SystemBuffer = nullptr;
    ULONG SystemBufferLength = 0;
    MDL Mdl{};
    kivrt::Overlapped* Ov = nullptr;
    std::atomic<bool> Done{false};
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    bool StatusWritten = false;
};

struct kivrt::Overlapped::STATE {
    mutable std::mutex M;
    std::condition_variable Cv;
    bool Done = false;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    std::function<void()> Notify;
};

struct kivrt::APP_FILE {
    FILE_PRIVATE* File;
    bool Overlapped;
};

namespace {

void DropRequest(APP_REQUEST* R)
{
    if (R->Refs.fetch_sub(1) == 1) delete R;
}

void SignalOverlapped(kivrt::Overlapped* Ov, NTSTATUS Status, ULONG_PTR Information)
{
    kivrt::Overlapped::STATE* S = Ov->m_State;
    std::function<void()> Notify;
    {
        // Notify while holding the mutex: the waiter may destroy the state as soon
        // as it sees Done, so nothing may touch it after the lock is released.
        std::lock_guard<std::mutex> G(S->M);
        S->Status = Status;
        S->Information = Information;
        S->Done = true;
        S->Cv.notify_all();
        Notify = std::move(S->Notify);
    }
    // The host's callback runs from a copy, after the last touch of the state.
    if (Notify) Notify();
}

PIRP BuildIrp(FILE_PRIVATE* F, UCHAR Major, APP_REQUEST** Request, bool HoldsFileRef)
{
    PDEVICE_OBJECT Top = IoGetAttachedDevice(F->Fo.DeviceObject);
    PIRP Irp = IopAllocateIrp(Top->StackSize, IRP_ORIGIN::App);
    if (Irp == nullptr) return nullptr;
    auto* R = new APP_REQUEST;
    R->File = F;
    R->HoldsFileRef = HoldsFileRef;
    if (HoldsFileRef) F->Refs.fetch_add(1);
    IrpPrivate(Irp)->App = R;
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    Irp->Tail.Overlay.OriginalFileObject = &F->Fo;
    Irp->RequestorMode = UserMode;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION L = IoGetNextIrpStackLocation(Irp);
    L->MajorFunction = Major;
    L->FileObject = &F->Fo;
    *Request = R;
    return Irp;
}

// Sends the request on this thread; a synchronous caller waits when it pends. Returns the
// status the application sees.
NTSTATUS Issue(FILE_PRIVATE* F, PIRP Irp, APP_REQUEST* R, bool Track)
{
    if (Track) {
        std::lock_guard<std::mutex> G(F->M);
        F->Outstanding.push_back({Irp, CurrentThread()->Id});
    }
    PDEVICE_OBJECT Top = IoGetAttachedDevice(F->Fo.DeviceObject);
    _ETHREAD* T = CurrentThread();
    KIRQL Saved = T->Irql;
    T->Irql = PASSIVE_LEVEL;
    NTSTATUS Status = IopCallDriver(Top, Irp, false);
    T->Irql = Saved;
    if (Status == STATUS_PENDING) {
        if (R->Ov != nullptr) {
            DropRequest(R);
            return STATUS_PENDING;
        }
        HostWaitUntil([R] { return R->Done.load(std::memory_order_acquire); });
        Status = R->Status;
    } else if (!R->Done.load(std::memory_order_acquire)) {
        // The driver neither completed nor pended it (already reported); it is lost.
        DropRequest(R);
        return Status;
    }
    DropRequest(R);
    return Status;
}

// Builds and sends one request with the buffer conventions of its transfer type. Buffered: one
// system buffer holding the input, copied back to the output. Direct: the input in a system
// buffer, the output described by an MDL and written in place. Neither: the caller's own
// addresses, the input in Type3InputBuffer and the output in UserBuffer. Reads and writes are
// buffered.
NTSTATUS IssueRequest(kivrt::APP_HANDLE Handle, UCHAR Major, ULONG Code, ULONG Method,
                      const void* In, ULONG InLength, void* Out, ULONG OutLength,
                      ULONG* BytesReturned, kivrt::Overlapped* Ov)
{
    if (BytesReturned) *BytesReturned = 0;
    if (Handle == nullptr) return STATUS_INVALID_HANDLE;
    if (Handle->Overlapped && Ov == nullptr) return STATUS_INVALID_PARAMETER;
    FILE_PRIVATE* F = Handle->File;
    APP_REQUEST* R;
    PIRP Irp = BuildIrp(F, Major, &R, true);
    if (Irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION L = IoGetNextIrpStackLocation(Irp);
    ULONG N = Method == METHOD_BUFFERED  ? std::max(InLength, OutLength)
              : Method == METHOD_NEITHER ? 0
                                         : InLength;
    if (N > 0) {
        auto* Buffer = (uint8_t*)PoolAllocateSystem(NonPagedPool, N, kivrt::TAG_SYSTEM_BUFFER);
        if (InLength && In != nullptr) memcpy(Buffer, In, InLength);
        memset(Buffer + InLength, RuntimeVerifying() ? SYSTEM_BUFFER_POISON : 0, N - InLength);
        R->SystemBuffer = Buffer;
        R->SystemBufferLength = N;
        Irp->AssociatedIrp.SystemBuffer = Buffer;
        Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (Method == METHOD_BUFFERED) {
        if (OutLength > 0 && Out != nullptr) {
            R->UserOut = Out;
            R->OutLength = OutLength;
            Irp->UserBuffer = Out;
            Irp->Flags |= IRP_INPUT_OPERATION;
        }
    } else if (Method == METHOD_NEITHER) {
        L->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(In);
        Irp->UserBuffer = Out;
    } else if (OutLength > 0 && Out != nullptr) {
        R->Mdl.Size = CSHORT(sizeof(MDL));
        R->Mdl.MdlFlags = MDL_PAGES_LOCKED;
        R->Mdl.StartVa = Out;
        R->Mdl.MappedSystemVa = Out;
        R->Mdl.ByteCount = OutLength;
        Irp->MdlAddress = &R->Mdl;
    }
    if (!Handle->Overlapped) Irp->Flags |= IRP_SYNCHRONOUS_API;
    R->Ov = Handle->Overlapped ? Ov : nullptr;
    switch (Major) {
    case IRP_MJ_DEVICE_CONTROL:
        L->Parameters.DeviceIoControl.IoControlCode = Code;
        L->Parameters.DeviceIoControl.InputBufferLength = InLength;
        L->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
        break;
    case IRP_MJ_READ:
        L->Parameters.Read.Length = OutLength;
        break;
    default:
        L->Parameters.Write.Length = InLength;
        break;
    }
    // Keep what Issue needs after the request may have finished.
    R->Refs.fetch_add(1);
    NTSTATUS Status = Issue(F, Irp, R, true);
    if (BytesReturned && Status != STATUS_PENDING && R->StatusWritten)
        *BytesReturned = ULONG(R->Information);
    if (!Handle->Overlapped || Status != STATUS_PENDING) {
        // Non-pending requests on an overlapped handle are already complete.
        if (Ov != nullptr && Handle->Overlapped && Status != STATUS_PENDING && !Ov->IsComplete())
            SignalOverlapped(Ov, Status, R->StatusWritten ? R->Information : 0);
    }
    DropRequest(R);
    return Status;
}

void SendClose(FILE_PRIVATE* F)
{
    PDEVICE_OBJECT Dev = F->Fo.DeviceObject;
    APP_REQUEST* R;
    PIRP Irp = BuildIrp(F, IRP_MJ_CLOSE, &R, false);
    if (Irp != nullptr) Issue(F, Irp, R, false);
    ObDereferenceDevice(Dev);
    F->~FILE_PRIVATE();
    PoolFreeSystem(F);
}

} // namespace

// The last step of an application IRP, after the completion walk passed the top.
void IopFinishAppIrp(PIRP Irp)
{
    APP_REQUEST* R = IrpPrivate(Irp)->App;
    NTSTATUS S = Irp->IoStatus.Status;
    ULONG_PTR Info = Irp->IoStatus.Information;
    if (NT_ERROR(S) && Info != 0)
        VfWarning("error-information", 0, 0,
                  "IRP %p completed with error 0x%08X and Information %lu; the application never "
                  "sees it",
                  (void*)Irp, (unsigned)S, (unsigned long)Info);
    if (R->UserOut != nullptr && !NT_ERROR(S)) {
        ULONG_PTR Copy = Info;
        if (Copy > R->OutLength || Copy > R->SystemBufferLength) {
            VfError("information-too-large", 0, 0,
                    "IRP %p completed with Information %lu, larger than the output buffer (%u) or "
                    "the system buffer (%u)",
                    (void*)Irp, (unsigned long)Info, R->OutLength, R->SystemBufferLength);
            Copy = std::min<ULONG_PTR>(R->OutLength, R->SystemBufferLength);
        }
        if (Copy) memcpy(R->UserOut, R->SystemBuffer, Copy);
    }
    if (R->SystemBuffer != nullptr) PoolFreeSystem(R->SystemBuffer);
    R->Status = S;
    if (!NT_ERROR(S) || Irp->PendingReturned) {
        R->Information = Info;
        R->StatusWritten = true;
    }
    FILE_PRIVATE* F = R->File;
    {
        std::lock_guard<std::mutex> G(F->M);
        auto It = std::find_if(F->Outstanding.begin(), F->Outstanding.end(),
                               [Irp](auto& E) { return E.first == Irp; });
        if (It != F->Outstanding.end()) F->Outstanding.erase(It);
    }
    kivrt::Overlapped* Ov = R->Ov;
    bool Written = R->StatusWritten;
    bool Pended = Irp->PendingReturned;
    bool HoldsFileRef = R->HoldsFileRef;
    IopReleaseIrp(Irp);
    R->Done.store(true, std::memory_order_release);
    if (Ov != nullptr && Pended) SignalOverlapped(Ov, S, Written ? Info : 0);
    DropRequest(R);
    if (HoldsFileRef) FileDereference(F);
}

void AppReset() {}

namespace kivrt {

Overlapped::Overlapped() : m_State(new STATE) {}

Overlapped::~Overlapped()
{
    delete m_State;
}

bool Overlapped::Wait(int TimeoutMs)
{
    if (CurrentScheduler() == Scheduler::Deterministic) {
        // Nothing else runs work here: drain it while waiting.
        auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        HostWaitUntil([&] {
            return IsComplete() || (TimeoutMs >= 0 && std::chrono::steady_clock::now() >= End);
        });
        return IsComplete();
    }
    std::unique_lock<std::mutex> G(m_State->M);
    if (TimeoutMs < 0) {
        m_State->Cv.wait(G, [this] { return m_State->Done; });
        return true;
    }
    return m_State->Cv.wait_for(G, std::chrono::milliseconds(TimeoutMs),
                                [this] { return m_State->Done; });
}

bool Overlapped::IsComplete() const
{
    std::lock_guard<std::mutex> G(m_State->M);
    return m_State->Done;
}

void Overlapped::NotifyOnCompletion(std::function<void()> Fn)
{
    {
        std::lock_guard<std::mutex> G(m_State->M);
        if (!m_State->Done) {
            m_State->Notify = std::move(Fn);
            return;
        }
    }
    Fn();
}

NTSTATUS Overlapped::Status() const
{
    std::lock_guard<std::mutex> G(m_State->M);
    return m_State->Status;
}

ULONG_PTR Overlapped::Information() const
{
    std::lock_guard<std::mutex> G(m_State->M);
    return m_State->Information;
}

NTSTATUS AppOpen(const char16_t* Path, ULONG DesiredAccess, ULONG ShareMode, bool Overlapped,
                 APP_HANDLE* Handle)
{
    *Handle = nullptr;
    PDEVICE_OBJECT Dev = ObResolveDevice(Path);
    if (Dev == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!PnpAcceptsOpen(Dev)) return STATUS_NO_SUCH_DEVICE;
    {
        std::lock_guard<std::mutex> G(ObLock());
        if (Dev->DeviceObjectExtension->DeletePending) return STATUS_DELETE_PENDING;
        if ((Dev->Flags & DO_EXCLUSIVE) && Dev->DeviceObjectExtension->FileRefs > 0)
            return STATUS_ACCESS_DENIED;
        if (Dev->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    }
    void* Block = PoolAllocateSystem(NonPagedPool, sizeof(FILE_PRIVATE), TAG_FILE);
    auto* F = new (Block) FILE_PRIVATE();
    memset(&F->Fo, 0, sizeof(F->Fo));
    F->Fo.Type = IO_TYPE_FILE;
    F->Fo.Size = sizeof(FILE_OBJECT);
    F->Fo.DeviceObject = Dev;
    F->Fo.ReadAccess = (DesiredAccess & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)) != 0;
    F->Fo.WriteAccess = (DesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) != 0;
    F->Fo.SharedRead = (ShareMode & FILE_SHARE_READ) != 0;
    F->Fo.SharedWrite = (ShareMode & FILE_SHARE_WRITE) != 0;
    F->Fo.SharedDelete = (ShareMode & FILE_SHARE_DELETE) != 0;
    if (!Overlapped) F->Fo.Flags |= 0x2; // FO_SYNCHRONOUS_IO
    KeInitializeEvent(&F->Fo.Event, NotificationEvent, FALSE);
    ObReferenceDevice(Dev);
    APP_REQUEST* R;
    PIRP Irp = BuildIrp(F, IRP_MJ_CREATE, &R, true);
    if (Irp == nullptr) {
        ObDereferenceDevice(Dev);
        F->~FILE_PRIVATE();
        PoolFreeSystem(F);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION L = IoGetNextIrpStackLocation(Irp);
    L->Parameters.Create.ShareAccess = USHORT(ShareMode);
    L->Parameters.Create.Options = 1u << 24; // FILE_OPEN
    R->Refs.fetch_add(1);
    NTSTATUS Status = Issue(F, Irp, R, false);
    // The create IRP's file reference went with its completion; the handle's remains.
    bool Completed = R->Done.load();
    DropRequest(R);
    if (!NT_SUCCESS(Status)) {
        // Dropped without CLEANUP or CLOSE.
        if (Completed && F->Refs.fetch_sub(1) == 1) {
            ObDereferenceDevice(Dev);
            F->~FILE_PRIVATE();
            PoolFreeSystem(F);
        }
        return Status;
    }
    *Handle = new APP_FILE{F, Overlapped};
    return STATUS_SUCCESS;
}

NTSTATUS AppDeviceIoControl(APP_HANDLE Handle, ULONG IoControlCode, const void* InBuffer,
                            ULONG InLength, void* OutBuffer, ULONG OutLength, ULONG* BytesReturned,
                            Overlapped* Ov)
{
    if (BytesReturned) *BytesReturned = 0;
    if (Handle == nullptr) return STATUS_INVALID_HANDLE;
    ULONG Access = (IoControlCode >> 14) & 3;
    if (((Access & FILE_READ_ACCESS) && !Handle->File->Fo.ReadAccess) ||
        ((Access & FILE_WRITE_ACCESS) && !Handle->File->Fo.WriteAccess))
        return STATUS_ACCESS_DENIED;
    return IssueRequest(Handle, IRP_MJ_DEVICE_CONTROL, IoControlCode,
                        METHOD_FROM_CTL_CODE(IoControlCode), InBuffer, InLength, OutBuffer,
                        OutLength, BytesReturned, Ov);
}

NTSTATUS AppRead(APP_HANDLE Handle, void* Buffer, ULONG Length, ULONG* BytesRead, Overlapped* Ov)
{
    return IssueRequest(Handle, IRP_MJ_READ, 0, METHOD_BUFFERED, nullptr, 0, Buffer, Length,
                        BytesRead, Ov);
}

NTSTATUS AppWrite(APP_HANDLE Handle, const void* Buffer, ULONG Length, ULONG* BytesWritten,
                  Overlapped* Ov)
{
    return IssueRequest(Handle, IRP_MJ_WRITE, 0, METHOD_BUFFERED, Buffer, Length, nullptr, 0,
                        BytesWritten, Ov);
}

void AppCancelIo(APP_HANDLE Handle)
{
    if (Handle == nullptr) return;
    FILE_PRIVATE* F = Handle->File;
    std::vector<PIRP> Mine;
    {
        std::lock_guard<std::mutex> G(F->M);
        unsigned Self = CurrentThread()->Id;
        for (auto& [Irp, Thread] : F->Outstanding) {
            if (Thread != Self) continue;
            IopReferenceIrp(Irp);
            Mine.push_back(Irp);
        }
    }
    for (PIRP Irp : Mine) {
        IoCancelIrp(Irp);
        IopDereferenceIrp(Irp);
    }
}

void AppClose(APP_HANDLE Handle)
{
    if (Handle == nullptr) return;
    FILE_PRIVATE* F = Handle->File;
    delete Handle;
    APP_REQUEST* R;
    PIRP Irp = BuildIrp(F, IRP_MJ_CLEANUP, &R, true);
    if (Irp != nullptr) {
        R->Refs.fetch_add(1);
        Issue(F, Irp, R, false);
        DropRequest(R);
    }
    FileDereference(F);
}

size_t AppOutstanding(APP_HANDLE Handle)
{
    std::lock_guard<std::mutex> G(Handle->File->M);
    return Handle->File->Outstanding.size();
}

} // namespace kivrt
