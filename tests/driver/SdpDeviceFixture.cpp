// The stack under test and the fixture that plays the Plug and Play manager,
// the applications and the remote device.
#include "SdpDeviceFixture.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// Fixture

BYTES OnCid(uint16_t Cid, const BYTES& Pdu)
{
    BYTES Frame(2 + Pdu.size());
    Frame[0] = uint8_t(Cid);
    Frame[1] = uint8_t(Cid >> 8);
    std::copy(Pdu.begin(), Pdu.end(), Frame.begin() + 2);
    return Frame;
}

const BYTES SearchServer = Hex("02 00 01 00 08 35 03 19 10 00 00 05 00");
const BYTES SearchServerAnswer = Hex("03 00 01 00 09 00 01 00 01 00 00 00 00 00");

void SdpDeviceFixture::SetUp()
{
    kivrt::Reset();
    kivrt::CaptureDbgPrint();
}

void SdpDeviceFixture::LoadDrivers()
{
    kivrt::Reset();
    kivrt::CaptureDbgPrint();
    m_Output.clear();
    ASSERT_EQ(KivL2capLoad(&m_L2cap), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::LoadDriver(u"KivSdp", DriverEntry, &m_Sdp), STATUS_SUCCESS);
}

void SdpDeviceFixture::UnloadExpectingNothingLeft()
{
    kivrt::DrainWorkItems();
    if (m_Node != nullptr) kivrt::DeleteDevNode(m_Node);
    m_Node = nullptr;
    if (m_Sdp != nullptr && kivrt::IsDriverLoaded(m_Sdp)) kivrt::UnloadDriver(m_Sdp);
    if (m_L2cap != nullptr && kivrt::IsDriverLoaded(m_L2cap)) kivrt::UnloadDriver(m_L2cap);
    for (const auto& Record : kivrt::VerifierRecords())
        ADD_FAILURE() << "verifier: " << Record.Check << ": " << Record.Message;
    EXPECT_EQ(kivrt::PoolBlocksTotal(), 0u) << "pool blocks left at the end";
}

void SdpDeviceFixture::BuildStack()
{
    ASSERT_EQ(KivL2capLoad(&m_L2cap), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::LoadDriver(u"KivSdp", DriverEntry, &m_Sdp), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Sdp}, &m_Node),
              STATUS_SUCCESS);
    m_L2capDev = KivL2capDeviceOfNode(m_Node);
    ASSERT_NE(m_L2capDev, nullptr);
    ASSERT_EQ(m_Radio.Attach(m_L2capDev), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::StartDevice(m_Node), STATUS_SUCCESS);
    m_Handle = Open();
    ASSERT_NE(m_Handle, nullptr);
}

void SdpDeviceFixture::RemoveStack(bool AfterSurprise)
{
    if (m_Node == nullptr) return;
    kivrt::DrainWorkItems();
    EXPECT_EQ(AfterSurprise ? kivrt::RemoveAfterSurprise(m_Node) : kivrt::RemoveDevice(m_Node),
              STATUS_SUCCESS);
    kivrt::DrainWorkItems();
    kivrt::DeleteDevNode(m_Node);
    m_Node = nullptr;
    m_L2capDev = nullptr;
}

void SdpDeviceFixture::TearDown()
{
    CloseAll();
    kivrt::DrainWorkItems();
    for (auto& Request : m_Requests) {
        if (Request->Issued == STATUS_PENDING) {
            EXPECT_TRUE(Request->Ov.Wait(5000));
        }
    }
    RemoveStack();
    UnloadExpectingNothingLeft();
    m_Requests.clear();
    for (const auto& Usage : kivrt::PoolUsage())
        ADD_FAILURE() << "pool tag " << kivrt::TagText(Usage.Tag) << " still holds blocks";
    kivrt::SetDbgPrintSink(nullptr);
    kivrt::Reset();
}

kivrt::APP_HANDLE SdpDeviceFixture::Open(const char16_t* Path)
{
    kivrt::APP_HANDLE Handle = nullptr;
    NTSTATUS status = kivrt::AppOpen(Path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, true, &Handle);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (NT_SUCCESS(status)) m_Handles.push_back(Handle);
    return NT_SUCCESS(status) ? Handle : nullptr;
}

void SdpDeviceFixture::CloseAll()
{
    for (kivrt::APP_HANDLE Handle : m_Handles)
        kivrt::AppClose(Handle);
    m_Handles.clear();
    m_Handle = nullptr;
}

NTSTATUS SdpDeviceFixture::Ioctl(ULONG Code, const BYTES& In, ULONG OutLen, BYTES* Out,
                                 kivrt::APP_HANDLE Handle)
{
    SDP_APP_REQUEST* Request = Post(Code, In, OutLen, Handle);
    EXPECT_TRUE(Request->Done()) << "request 0x" << std::hex << Code << " still pending";
    if (!Request->Done()) return STATUS_PENDING;
    if (Out != nullptr) *Out = Request->Output();
    return Request->Status();
}

SDP_APP_REQUEST* SdpDeviceFixture::Post(ULONG Code, const BYTES& In, ULONG OutLen,
                                        kivrt::APP_HANDLE Handle)
{
    m_Requests.push_back(std::make_unique<SDP_APP_REQUEST>());
    SDP_APP_REQUEST* Request = m_Requests.back().get();
    Request->In = In;
    Request->Out.assign(OutLen, 0);
    ULONG Bytes = 0;
    Request->Issued = kivrt::AppDeviceIoControl(
        Handle != nullptr ? Handle : m_Handle, Code,
        Request->In.empty() ? nullptr : Request->In.data(), ULONG(Request->In.size()),
        Request->Out.empty() ? nullptr : Request->Out.data(), OutLen, &Bytes, &Request->Ov);
    return Request;
}

KIVSDP_DEBUG_INFO SdpDeviceFixture::DebugInfo()
{
    BYTES Out;
    KIVSDP_DEBUG_INFO Info = {};
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(Info), &Out), STATUS_SUCCESS);
    if (Out.size() == sizeof(Info)) memcpy(&Info, Out.data(), sizeof(Info));
    return Info;
}

void SdpDeviceFixture::SetZoneMask(ULONG Mask)
{
    BYTES In{uint8_t(Mask), uint8_t(Mask >> 8), uint8_t(Mask >> 16), uint8_t(Mask >> 24)};
    EXPECT_EQ(Ioctl(IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, In, 0), STATUS_SUCCESS);
}

void SdpDeviceFixture::Event(uint16_t Cid, uint16_t StatusCode, uint16_t Mtu)
{
    EXPECT_TRUE(NT_SUCCESS(m_Radio.Status(Cid, StatusCode, Mtu)));
    kivrt::DrainWorkItems();
}

void SdpDeviceFixture::Frame(uint16_t Cid, const BYTES& Payload)
{
    EXPECT_TRUE(NT_SUCCESS(m_Radio.SendFrame(Cid, Payload)));
    kivrt::DrainWorkItems();
}

std::vector<BYTES> SdpDeviceFixture::TakeWrites()
{
    std::vector<BYTES> Writes;
    for (const auto& Frame : m_Radio.TakeWritten())
        Writes.push_back(OnCid(Frame.Cid, Frame.Payload));
    return Writes;
}

std::string SdpDeviceFixture::Output()
{
    m_Output += kivrt::TakeCapturedDbgPrint();
    return m_Output;
}

KIVL2CAP_COUNTERS SdpDeviceFixture::L2cap()
{
    KIVL2CAP_COUNTERS Counters = {};
    EXPECT_EQ(KivL2capQueryCounters(m_L2capDev, &Counters), STATUS_SUCCESS);
    return Counters;
}

CKivSdp* SdpDeviceFixture::Sdp(kivrt::DEVNODE* Node)
{
    PDEVICE_OBJECT Top = kivrt::DevNodeTop(Node != nullptr ? Node : m_Node);
    return CKivSdp::FromDeviceObject(Top);
}
