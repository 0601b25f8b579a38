// Small test drivers: an upper and a lower driver whose dispatch and StartIo routines each test
// supplies, with one device each (the upper attached to the lower), and a logging completion
// routine.
#pragma once

#include "kernel_fixture.h"

#include <functional>
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

    // A driver-allocated IRP for the upper device, with the caller's completion routine on
    // the location the upper device will use.
    PIRP DriverIrp(COMPLETION_LOG* Log, bool Success = true, bool Error = true, bool Cancel = true)
    {
        PIRP Irp = IoAllocateIrp(Upper->StackSize, FALSE);
        PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
        Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(Irp, LogCompletion, Log, Success, Error, Cancel);
        return Irp;
    }
};
