// Small test drivers: an upper and a lower driver whose dispatch and StartIo routines each test
// supplies, with one device each (the upper attached to the lower), and a logging completion
// routine; and a Plug and Play function driver with an upper filter for the root bus.
#pragma once

#include "kernel_fixture.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using DISPATCH_FN = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using STARTIO_FN = std::function<void(PDEVICE_OBJECT, PIRP)>;

inline DISPATCH_FN g_Dispatch[2];
inline STARTIO_FN g_StartIo[2];

template <int N> NTSTATUS TestDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    return g_Dispatch[N](D, Irp);
}

template <int N> VOID TestStartIo(PDEVICE_OBJECT D, PIRP Irp)
{
    g_StartIo[N](D, Irp);
}

template <int N> NTSTATUS TestDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& F : Driver->MajorFunction)
        F = TestDispatch<N>;
    Driver->DriverStartIo = TestStartIo<N>;
    return STATUS_SUCCESS;
}

inline NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

struct COMPLETION_LOG {
    int Calls = 0;
    PDEVICE_OBJECT Device = (PDEVICE_OBJECT)1;
    BOOLEAN PendingReturned = FALSE;
    NTSTATUS SeenStatus = 0;
    NTSTATUS Return = STATUS_SUCCESS;
    bool Propagate = true;
    PKEVENT Event = nullptr;
};

inline NTSTATUS LogCompletion(PDEVICE_OBJECT D, PIRP Irp, PVOID Context)
{
    auto* Log = (COMPLETION_LOG*)Context;
    Log->Calls++;
    Log->Device = D;
    Log->PendingReturned = Irp->PendingReturned;
    Log->SeenStatus = Irp->IoStatus.Status;
    if (Log->Propagate && Irp->PendingReturned && Log->Return != STATUS_MORE_PROCESSING_REQUIRED)
        IoMarkIrpPending(Irp);
    if (Log->Event) KeSetEvent(Log->Event, IO_NO_INCREMENT, FALSE);
    return Log->Return;
}

class IoFixture : public KernelFixture {
protected:
    PDRIVER_OBJECT LowerDrv = nullptr, UpperDrv = nullptr;
    PDEVICE_OBJECT Lower = nullptr, Upper = nullptr;
    std::vector<PIRP> Held; // IRPs a test driver pended
    // The completion routine of the test's own IRPs keeps them for the test to free.
    COMPLETION_LOG Top{.Return = STATUS_MORE_PROCESSING_REQUIRED};

    void SetUp() override
    {
        KernelFixture::SetUp();
        ASSERT_EQ(kivrt::LoadDriver(u"TestLower", TestDriverEntry<0>, &LowerDrv), STATUS_SUCCESS);
        ASSERT_EQ(kivrt::LoadDriver(u"TestUpper", TestDriverEntry<1>, &UpperDrv), STATUS_SUCCESS);
        UNICODE_STRING Name = Us(u"\\Device\\TestLower");
        ASSERT_EQ(IoCreateDevice(LowerDrv, 32, &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Lower),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(UpperDrv, 32, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Upper),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(Upper, Lower), Lower);
        Lower->Flags &= ~DO_DEVICE_INITIALIZING;
        Upper->Flags &= ~DO_DEVICE_INITIALIZING;
        g_Dispatch[0] = [](PDEVICE_OBJECT, PIRP Irp) { return CompleteWith(Irp, STATUS_SUCCESS); };
        g_Dispatch[1] = [this](PDEVICE_OBJECT, PIRP Irp) {
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(Lower, Irp);
        };
        g_StartIo[0] = g_StartIo[1] = [](PDEVICE_OBJECT, PIRP) {};
    }

    void TearDown() override
    {
        IoDetachDevice(Lower);
        IoDeleteDevice(Upper);
        IoDeleteDevice(Lower);
        kivrt::UnloadDriver(UpperDrv);
        kivrt::UnloadDriver(LowerDrv);
        g_Dispatch[0] = g_Dispatch[1] = nullptr;
        g_StartIo[0] = g_StartIo[1] = nullptr;
        KernelFixture::TearDown();
    }

    // Lower driver behaviour: pend every IRP in Held.
    void LowerPends()
    {
        g_Dispatch[0] = [this](PDEVICE_OBJECT, PIRP Irp) {
            IoMarkIrpPending(Irp);
            Held.push_back(Irp);
            return STATUS_PENDING;
        };
    }

    // A test-allocated IRP of StackSize locations (the lower device's by default), completed
    // through LogCompletion into Top.
    PIRP OwnIrp(CCHAR StackSize = 0)
    {
        PIRP Irp = IoAllocateIrp(StackSize ? StackSize : Lower->StackSize, FALSE);
        IoSetCompletionRoutine(Irp, LogCompletion, &Top, TRUE, TRUE, TRUE);
        return Irp;
    }

    // A driver-allocated IRP for the upper device, with the caller's completion routine on
    // the location the upper device will use.
    PIRP DriverIrp(COMPLETION_LOG* Log)
    {
        PIRP Irp = IoAllocateIrp(Upper->StackSize, FALSE);
        PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
        Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(Irp, LogCompletion, Log, TRUE, TRUE, TRUE);
        return Irp;
    }
};

// ---------------------------------------------------------------------------------------------
// A Plug and Play function driver and an upper filter over it, written the way kernel drivers
// are: each logs the requests it handles ("fdo:start ", "filter:remove ", ...) in g_Pnp.Log.

DEFINE_GUID(GUID_TEST_INTERFACE, 0x5a3c19e7, 0x2f64, 0x4b8d, 0x9c, 0x21, 0x7e, 0x40, 0xd8, 0xb3,
            0xa6, 0xf5);
constexpr ULONG TAG_TEST_PNP = kivrt::MakeTag("TPnp");
constexpr ULONG IOCTL_PING = CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct PNP_KNOBS {
    bool VetoQueryStop = false;
    bool SkipStartNext = false;    // no PoStartNextPowerIrp
    bool DetachInSurprise = false; // detach from the stack during surprise removal
    int Unloads = 0;
    std::string Log;
};
inline PNP_KNOBS g_Pnp;

struct PNP_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    UNICODE_STRING Interface;
    PVOID Scratch; // pool the function driver's device holds while it exists
};

inline PNP_EXTENSION* PnpExt(PDEVICE_OBJECT D)
{
    return (PNP_EXTENSION*)D->DeviceExtension;
}

// Sends the IRP down and waits for it; the IRP is back at this driver's location afterwards.
inline NTSTATUS ForwardAndWait(PNP_EXTENSION* X, PIRP Irp)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    COMPLETION_LOG Log{.Return = STATUS_MORE_PROCESSING_REQUIRED, .Event = &Done};
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, LogCompletion, &Log, TRUE, TRUE, TRUE);
    if (IoCallDriver(X->Lower, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

// Logs Step and passes the IRP down, with Status unless it is STATUS_PENDING (unhandled).
inline NTSTATUS PassDown(PNP_EXTENSION* X, PIRP Irp, const char* Step = "",
                         NTSTATUS Status = STATUS_PENDING)
{
    g_Pnp.Log += Step;
    if (Status != STATUS_PENDING) Irp->IoStatus.Status = Status;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(X->Lower, Irp);
}

inline NTSTATUS RemoveSelf(PNP_EXTENSION* X, PIRP Irp, const char* Step)
{
    NTSTATUS Status = PassDown(X, Irp, Step, STATUS_SUCCESS);
    if (X->Scratch) ExFreePool(X->Scratch);
    IoDetachDevice(X->Lower);
    IoDeleteDevice(X->Self);
    return Status;
}

inline NTSTATUS PnpPower(PDEVICE_OBJECT D, PIRP Irp)
{
    if (!g_Pnp.SkipStartNext) PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(PnpExt(D)->Lower, Irp);
}

inline NTSTATUS FdoPnp(PNP_EXTENSION* X, PIRP Irp)
{
    NTSTATUS Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = ForwardAndWait(X, Irp);
        g_Pnp.Log += "fdo:start ";
        if (NT_SUCCESS(Status)) IoSetDeviceInterfaceState(&X->Interface, TRUE);
        return CompleteWith(Irp, Status);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (g_Pnp.VetoQueryStop) {
            g_Pnp.Log += "fdo:query-stop ";
            return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
        }
        return PassDown(X, Irp, "fdo:query-stop ", STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE: // bottom-up: the lower drivers first
        ForwardAndWait(X, Irp);
        g_Pnp.Log += "fdo:cancel-stop ";
        return CompleteWith(Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        ForwardAndWait(X, Irp);
        g_Pnp.Log += "fdo:cancel-remove ";
        return CompleteWith(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        return PassDown(X, Irp, "fdo:stop ", STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return PassDown(X, Irp, "fdo:query-remove ", STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&X->Interface, FALSE);
        if (g_Pnp.DetachInSurprise) IoDetachDevice(X->Lower);
        return PassDown(X, Irp, "fdo:surprise ", STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        IoSetDeviceInterfaceState(&X->Interface, FALSE);
        RtlFreeUnicodeString(&X->Interface);
        return RemoveSelf(X, Irp, "fdo:remove ");
    default:
        return PassDown(X, Irp);
    }
}

// Answers IOCTL_PING with "pong".
inline NTSTATUS FdoDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    if (L->MajorFunction == IRP_MJ_PNP) return FdoPnp(PnpExt(D), Irp);
    if (L->MajorFunction == IRP_MJ_POWER) return PnpPower(D, Irp);
    if (L->MajorFunction != IRP_MJ_DEVICE_CONTROL) return CompleteWith(Irp, STATUS_SUCCESS);
    if (L->Parameters.DeviceIoControl.OutputBufferLength < 4)
        return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    memcpy(Irp->AssociatedIrp.SystemBuffer, "pong", 4);
    return CompleteWith(Irp, STATUS_SUCCESS, 4);
}

inline NTSTATUS FilterDispatch(PDEVICE_OBJECT D, PIRP Irp)
{
    PIO_STACK_LOCATION L = IoGetCurrentIrpStackLocation(Irp);
    if (L->MajorFunction == IRP_MJ_POWER) return PnpPower(D, Irp);
    if (L->MajorFunction == IRP_MJ_PNP && L->MinorFunction == IRP_MN_REMOVE_DEVICE)
        return RemoveSelf(PnpExt(D), Irp, "filter:remove ");
    bool Start = L->MajorFunction == IRP_MJ_PNP && L->MinorFunction == IRP_MN_START_DEVICE;
    return PassDown(PnpExt(D), Irp, Start ? "filter:start " : "");
}

// Both drivers' AddDevice: the function driver also registers its interface and holds pool.
template <bool Fdo> NTSTATUS PnpAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    g_Pnp.Log += Fdo ? "fdo:add " : "filter:add ";
    PDEVICE_OBJECT D;
    NTSTATUS Status =
        IoCreateDevice(Driver, sizeof(PNP_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &D);
    if (!NT_SUCCESS(Status)) return Status;
    PNP_EXTENSION* X = PnpExt(D);
    X->Self = D;
    if (Fdo) {
        Status = IoRegisterDeviceInterface(Pdo, &GUID_TEST_INTERFACE, nullptr, &X->Interface);
        if (!NT_SUCCESS(Status)) {
            IoDeleteDevice(D);
            return Status;
        }
        X->Scratch = ExAllocatePoolWithTag(NonPagedPool, 64, TAG_TEST_PNP);
    }
    X->Lower = IoAttachDeviceToDeviceStack(D, Pdo);
    if (Fdo) D->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    D->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

template <bool Fdo> NTSTATUS PnpDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& F : Driver->MajorFunction)
        F = Fdo ? FdoDispatch : FilterDispatch;
    Driver->DriverExtension->AddDevice = PnpAddDevice<Fdo>;
    Driver->DriverUnload = [](PDRIVER_OBJECT) { g_Pnp.Unloads++; };
    return STATUS_SUCCESS;
}
