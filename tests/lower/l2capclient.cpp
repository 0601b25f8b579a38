// l2capclient.cpp: the client filter driver and the driver-like requests of the L2CAP tests.

#include "l2capclient.h"

#include <cstring>
#include <string>

namespace l2captest {

std::atomic<bool> g_ForwardAtDispatch{false};
static std::atomic<unsigned> g_NextClient{0};

// The pass-through parts (power, plug and play, removal) are the runtime tests' filter's.
struct CLIENT_EXTENSION : PNP_EXTENSION {
    WCHAR LinkText[48];
    UNICODE_STRING Link;
};

static std::u16string ClientName(const char* Prefix, unsigned Index)
{
    return kivrt::ToU16(std::string(Prefix) + "L2capClient" + std::to_string(Index));
}

std::u16string ClientPath(unsigned Index)
{
    return ClientName("\\\\.\\", Index);
}

static NTSTATUS ClientCreateClose(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteWith(Irp, STATUS_SUCCESS);
}

static NTSTATUS ClientPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* Ext = (CLIENT_EXTENSION*)DeviceObject->DeviceExtension;
    IoSkipCurrentIrpStackLocation(Irp);
    if (!g_ForwardAtDispatch.load()) return IoCallDriver(Ext->Lower, Irp);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    NTSTATUS Status = IoCallDriver(Ext->Lower, Irp);
    KeLowerIrql(Old);
    return Status;
}

static NTSTATUS ClientPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* Ext = (CLIENT_EXTENSION*)DeviceObject->DeviceExtension;
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return PassDown(Ext, Irp);
    IoDeleteSymbolicLink(&Ext->Link);
    return RemoveSelf(Ext, Irp, "");
}

static NTSTATUS ClientAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    unsigned Index = g_NextClient.fetch_add(1);
    std::u16string Name = ClientName("\\Device\\", Index);
    UNICODE_STRING U;
    RtlInitUnicodeString(&U, Name.c_str());
    PDEVICE_OBJECT Dev = nullptr;
    NTSTATUS Status =
        IoCreateDevice(Driver, sizeof(CLIENT_EXTENSION), &U, Pdo->DeviceType, 0, FALSE, &Dev);
    if (!NT_SUCCESS(Status)) return Status;
    auto* Ext = (CLIENT_EXTENSION*)Dev->DeviceExtension;
    Ext->Self = Dev;
    std::u16string Link = ClientName("\\DosDevices\\", Index);
    memcpy(Ext->LinkText, Link.c_str(), (Link.size() + 1) * sizeof(WCHAR));
    RtlInitUnicodeString(&Ext->Link, Ext->LinkText);
    Status = IoCreateSymbolicLink(&Ext->Link, &U);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(Dev);
        return Status;
    }
    Ext->Lower = IoAttachDeviceToDeviceStack(Dev, Pdo);
    Dev->Flags |= Ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    Dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ClientDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    g_NextClient = 0;
    for (auto& Routine : Driver->MajorFunction)
        Routine = ClientPassDown;
    Driver->MajorFunction[IRP_MJ_CREATE] = ClientCreateClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = ClientCreateClose;
    Driver->MajorFunction[IRP_MJ_PNP] = ClientPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = PnpPower;
    Driver->DriverExtension->AddDevice = ClientAddDevice;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// CLIENT_REQUEST

CLIENT_REQUEST::CLIENT_REQUEST(PDEVICE_OBJECT Dev, ULONG BufferLength)
    : m_Dev(Dev), m_Buffer(BufferLength)
{
    m_Irp = IoAllocateIrp(Dev->StackSize, FALSE);
    if (m_Irp == nullptr) return;
    m_Irp->AssociatedIrp.SystemBuffer = BufferLength ? m_Buffer.data() : nullptr;
    IoSetCompletionRoutine(m_Irp, Completion, this, TRUE, TRUE, TRUE);
}

CLIENT_REQUEST::~CLIENT_REQUEST()
{
    if (m_Irp == nullptr) return;
    if (!m_Done.load()) IoCancelIrp(m_Irp);
    if (!m_Done.load()) {
        ADD_FAILURE() << "request still held by the L2CAP device; its IRP is left behind";
        return;
    }
    IoFreeIrp(m_Irp);
}

NTSTATUS CLIENT_REQUEST::Completion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* R = (CLIENT_REQUEST*)Context;
    R->m_Status = Irp->IoStatus.Status;
    R->m_Information = Irp->IoStatus.Information;
    R->m_CompletionIrql = KeGetCurrentIrql();
    R->m_Done.store(true);
    return STATUS_MORE_PROCESSING_REQUIRED; // the request keeps its IRP
}

static PIO_STACK_LOCATION Next(PIRP Irp, UCHAR Major, PVOID Client)
{
    PIO_STACK_LOCATION S = IoGetNextIrpStackLocation(Irp);
    S->MajorFunction = Major;
    S->FileObject = (PFILE_OBJECT)Client;
    return S;
}

std::unique_ptr<CLIENT_REQUEST> CLIENT_REQUEST::Read(PDEVICE_OBJECT Dev, PVOID Client, ULONG Length)
{
    std::unique_ptr<CLIENT_REQUEST> R(new CLIENT_REQUEST(Dev, Length));
    Next(R->m_Irp, IRP_MJ_READ, Client)->Parameters.Read.Length = Length;
    return R;
}

std::unique_ptr<CLIENT_REQUEST> CLIENT_REQUEST::Listen(PDEVICE_OBJECT Dev, PVOID Client,
                                                       ULONG OutLength, ULONG Code)
{
    std::unique_ptr<CLIENT_REQUEST> R(new CLIENT_REQUEST(Dev, OutLength));
    PIO_STACK_LOCATION S = Next(R->m_Irp, IRP_MJ_DEVICE_CONTROL, Client);
    S->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
    S->Parameters.DeviceIoControl.InputBufferLength = 0;
    S->Parameters.DeviceIoControl.IoControlCode = Code;
    return R;
}

std::unique_ptr<CLIENT_REQUEST> CLIENT_REQUEST::Write(PDEVICE_OBJECT Dev, PVOID Client, USHORT Cid,
                                                      const std::vector<UCHAR>& Payload)
{
    std::vector<UCHAR> Buffer{UCHAR(Cid & 0xFF), UCHAR(Cid >> 8)};
    Buffer.insert(Buffer.end(), Payload.begin(), Payload.end());
    return WriteRaw(Dev, Client, Buffer);
}

std::unique_ptr<CLIENT_REQUEST> CLIENT_REQUEST::WriteRaw(PDEVICE_OBJECT Dev, PVOID Client,
                                                         const std::vector<UCHAR>& Buffer)
{
    std::unique_ptr<CLIENT_REQUEST> R(new CLIENT_REQUEST(Dev, ULONG(Buffer.size())));
    std::copy(Buffer.begin(), Buffer.end(), R->m_Buffer.begin());
    Next(R->m_Irp, IRP_MJ_WRITE, Client)->Parameters.Write.Length = ULONG(Buffer.size());
    return R;
}

std::unique_ptr<CLIENT_REQUEST> CLIENT_REQUEST::Cleanup(PDEVICE_OBJECT Dev, PVOID Client)
{
    std::unique_ptr<CLIENT_REQUEST> R(new CLIENT_REQUEST(Dev, 0));
    Next(R->m_Irp, IRP_MJ_CLEANUP, Client);
    return R;
}

NTSTATUS CLIENT_REQUEST::Send(KIRQL Irql)
{
    KIRQL Old;
    KeRaiseIrql(Irql, &Old);
    NTSTATUS Status = IoCallDriver(m_Dev, m_Irp);
    KeLowerIrql(Old);
    return Status;
}

std::vector<UCHAR> CLIENT_REQUEST::Output() const
{
    size_t N = std::min(size_t(m_Information), m_Buffer.size());
    return std::vector<UCHAR>(m_Buffer.begin(), m_Buffer.begin() + long(N));
}

// ---------------------------------------------------------------------------------------------
// L2capFixture

void L2capFixture::Build(kivrt::Scheduler Sched)
{
    kivrt::Options Opt;
    Opt.Sched = Sched;
    kivrt::Reset(Opt);
    kivrt::CaptureDbgPrint();
    g_ForwardAtDispatch = false;
    ASSERT_EQ(KivL2capLoad(&m_L2cap), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::LoadDriver(u"L2capClient", ClientDriverEntry, &m_Client), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Client}, &m_Node),
              STATUS_SUCCESS);
    ASSERT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
    m_Dev = KivL2capDeviceOfNode(m_Node);
    ASSERT_NE(m_Dev, nullptr);
    ASSERT_EQ(m_Radio.Attach(m_Dev), STATUS_SUCCESS);
}

void L2capFixture::Remove()
{
    for (kivrt::APP_HANDLE H : m_Handles)
        kivrt::AppClose(H);
    m_Handles.clear();
    kivrt::DrainWorkItems();
    if (m_Node != nullptr && !m_Removed) {
        EXPECT_EQ(kivrt::RemoveDevice(m_Node), STATUS_SUCCESS);
        m_Removed = true;
    }
    kivrt::DrainWorkItems();
}

void L2capFixture::TearDown()
{
    Remove();
    if (m_Node != nullptr) kivrt::DeleteDevNode(m_Node);
    EXPECT_EQ(m_Radio.Device(), nullptr) << "removal lets go of the radio";
    EXPECT_FALSE(kivrt::IsDriverLoaded(m_L2cap)) << "the driver unloads with its last device";
    EXPECT_EQ(kivrt::PoolBlocks(KIVL2CAP_POOL_TAG), 0u);
    EXPECT_EQ(kivrt::VerifierRecords().size(), 0u) << VerifierText();
    kivrt::Reset();
}

kivrt::APP_HANDLE L2capFixture::Open(bool Overlapped)
{
    kivrt::APP_HANDLE H = nullptr;
    EXPECT_EQ(
        kivrt::AppOpen(ClientPath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, Overlapped, &H),
        STATUS_SUCCESS);
    if (H != nullptr) m_Handles.push_back(H);
    return H;
}

KIVL2CAP_COUNTERS L2capFixture::Counters()
{
    KIVL2CAP_COUNTERS C{};
    EXPECT_EQ(KivL2capQueryCounters(m_Dev, &C), STATUS_SUCCESS);
    return C;
}

std::vector<UCHAR> L2capFixture::Bytes(std::initializer_list<int> List)
{
    return std::vector<UCHAR>(List.begin(), List.end());
}

std::vector<UCHAR> L2capFixture::StatusRecord(USHORT Cid, USHORT Code, USHORT Mtu)
{
    std::vector<UCHAR> V(sizeof(KIVL2CAP_LISTEN_STATUS), 0);
    V[0] = UCHAR(Cid), V[1] = UCHAR(Cid >> 8);
    V[2] = UCHAR(Code), V[3] = UCHAR(Code >> 8);
    V[30] = UCHAR(Mtu), V[31] = UCHAR(Mtu >> 8);
    return V;
}

std::string VerifierText()
{
    std::string Text;
    for (const auto& R : kivrt::VerifierRecords())
        Text += R.Check + ": " + R.Message + "\n";
    return Text;
}

} // namespace l2captest
