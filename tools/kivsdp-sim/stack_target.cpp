// Full-stack target for kivsdp-sim: the runtime plays the Plug and Play
// manager and the application, the in-memory radio the remote device.
#include "stack_target.h"

#include "sim_output.h"
#include "sim_requests.h"

#include <kivrt.h>
#include <kivsdpioctl.h>

#include "kivsdp.h"
#include "memoryradio.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// One overlapped request and the buffers it owns until it completes.
struct SIM_PENDING_REQUEST {
    kivrt::Overlapped Ov;
    std::vector<uint8_t> In;
    std::vector<uint8_t> Out;
    NTSTATUS Issued = STATUS_PENDING;
    std::string Word;
    unsigned Id = 0; // from 1 once it was reported pending
    bool Reported = false;
};

constexpr uint32_t SIM_STATUS_INVALID_HANDLE = 0xC0000008;
constexpr uint32_t SIM_STATUS_NO_SUCH_DEVICE = 0xC000000E;

class CStackTargetImpl : public CStackTarget {
public:
    explicit CStackTargetImpl(ISimTxSink& Sink) : m_Sink(Sink) {}

    bool Build()
    {
        kivrt::Reset();
        kivrt::SetDbgPrintSink([this](const std::string& Text) { OnDebugText(Text); });
        m_Radio.SetTransmitHook([this](const CMemoryRadio::WRITTEN_FRAME& Frame) {
            if (!m_Quiet) m_Sink.OnTx(Frame.Cid, Frame.Payload);
        });
        if (!NT_SUCCESS(KivL2capLoad(&m_L2cap))) return false;
        if (!NT_SUCCESS(kivrt::LoadDriver(u"KivSdp", DriverEntry, &m_Sdp))) return false;
        if (!NT_SUCCESS(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Sdp}, &m_Node)))
            return false;
        PDEVICE_OBJECT L2capDev = KivL2capDeviceOfNode(m_Node);
        if (L2capDev == nullptr || !NT_SUCCESS(m_Radio.Attach(L2capDev))) return false;
        if (!NT_SUCCESS(kivrt::StartDevice(m_Node))) return false;
        kivrt::DrainWorkItems();
        if (Open(0).Status != 0) return false;
        m_Ok = true;
        return true;
    }

    bool Ok() const override { return m_Ok; }

    // The remote side's results are not part of the output: an event the
    // device cannot take is simply not seen, as on a real link.
    void Connect(uint16_t Cid, uint16_t Mtu) override
    {
        (void)m_Radio.Connect(Cid, Mtu);
        Settle();
    }
    void Config(uint16_t Cid, uint16_t Mtu) override
    {
        (void)m_Radio.Reconfigure(Cid, Mtu);
        Settle();
    }
    void Disconnect(uint16_t Cid) override
    {
        (void)m_Radio.Disconnect(Cid);
        Settle();
    }
    void Status(uint16_t Cid, uint16_t StatusCode, uint16_t Mtu) override
    {
        (void)m_Radio.Status(Cid, StatusCode, Mtu);
        Settle();
    }
    void Frame(uint16_t Cid, std::span<const uint8_t> Payload) override
    {
        (void)m_Radio.SendFrame(Cid, std::vector<UCHAR>(Payload.begin(), Payload.end()));
        Settle();
    }

    SIM_REQUEST_RESULT Open(uint32_t Instance) override
    {
        kivrt::APP_HANDLE Handle = nullptr;
        std::u16string Path = u"\\\\.\\KivSdp" + std::u16string(1, char16_t(u'0' + Instance));
        NTSTATUS Status = kivrt::AppOpen(Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, true, &Handle);
        Settle();
        SIM_REQUEST_RESULT Result{uint32_t(Status), {}};
        if (NT_SUCCESS(Status)) {
            Result.Id = unsigned(m_Handles.size());
            m_Handles.push_back(Handle);
        }
        return Result;
    }
    // Cleanup cancels the handle's requests; their done lines follow.
    uint32_t Close(uint32_t App) override
    {
        kivrt::APP_HANDLE Handle = HandleOf(App);
        if (Handle == nullptr) return SIM_STATUS_INVALID_HANDLE;
        m_Handles[App] = nullptr;
        kivrt::AppClose(Handle);
        Settle();
        return 0;
    }
    uint32_t Cancel(uint32_t App) override
    {
        kivrt::APP_HANDLE Handle = HandleOf(App);
        if (Handle == nullptr) return SIM_STATUS_INVALID_HANDLE;
        kivrt::AppCancelIo(Handle);
        Settle();
        return 0;
    }
    SIM_REQUEST_RESULT Ioctl(std::string_view Word, uint32_t App, uint32_t Code,
                             std::span<const uint8_t> In, uint32_t OutLength) override
    {
        return Control(Word, App, Code, In, OutLength);
    }

    // A failure status only: a success would make a frame vanish unseen.
    uint32_t FailTx(uint32_t Status, uint32_t Count) override
    {
        if (NT_SUCCESS(NTSTATUS(Status))) return uint32_t(STATUS_INVALID_PARAMETER);
        if (m_Node == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        m_Radio.FailTransmits(NTSTATUS(Status), Count);
        return 0;
    }
    uint32_t Fail(SIM_LOWER_REQUEST Kind, uint32_t Status, uint32_t Count) override
    {
        if (NT_SUCCESS(NTSTATUS(Status))) return uint32_t(STATUS_INVALID_PARAMETER);
        PDEVICE_OBJECT Dev = m_Node != nullptr ? KivL2capDeviceOfNode(m_Node) : nullptr;
        if (Dev == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        KIVL2CAP_REQUEST Request = Kind == SIM_LOWER_REQUEST::Read    ? KIVL2CAP_REQUEST::Read
                                   : Kind == SIM_LOWER_REQUEST::Write ? KIVL2CAP_REQUEST::Write
                                                                      : KIVL2CAP_REQUEST::Listen;
        return uint32_t(KivL2capFailNextRequest(Dev, Request, NTSTATUS(Status), Count));
    }

    // A removed device node is deleted; the drivers unload with their last
    // device, so later commands find no device.
    uint32_t Pnp(SIM_PNP Action) override
    {
        if (m_Node == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        // Every action goes to the Plug and Play manager, which refuses one
        // that does not fit the device's state (a start of a running device,
        // a second stop or surprise removal) with 0xC0000184. After a surprise
        // removal only the removal itself follows.
        NTSTATUS Status = STATUS_SUCCESS;
        switch (Action) {
        case SIM_PNP::Start:
            Status = kivrt::StartDevice(m_Node);
            break;
        case SIM_PNP::Stop:
            Status = kivrt::StopDevice(m_Node);
            break;
        case SIM_PNP::Restart:
            Status = kivrt::RestartDevice(m_Node);
            break;
        case SIM_PNP::Remove:
            Status = m_Surprised ? kivrt::RemoveAfterSurprise(m_Node) : kivrt::RemoveDevice(m_Node);
            break;
        case SIM_PNP::Surprise:
            Status = kivrt::SurpriseRemoveDevice(m_Node);
            if (NT_SUCCESS(Status)) m_Surprised = true;
            break;
        case SIM_PNP::RemoveAfterSurprise:
            Status = kivrt::RemoveAfterSurprise(m_Node);
            break;
        }
        Settle();
        bool Removed = NT_SUCCESS(Status) &&
                       (Action == SIM_PNP::Remove || Action == SIM_PNP::RemoveAfterSurprise);
        if (Removed) {
            m_Radio.Detach();
            kivrt::DeleteDevNode(m_Node);
            m_Node = nullptr;
        }
        return uint32_t(Status);
    }

    uint32_t Hold(bool On) override
    {
        PDEVICE_OBJECT Dev = m_Node != nullptr ? KivL2capDeviceOfNode(m_Node) : nullptr;
        if (Dev == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        return uint32_t(KivL2capDeferWrites(Dev, On));
    }
    uint32_t Release(unsigned* Count) override
    {
        *Count = 0;
        PDEVICE_OBJECT Dev = m_Node != nullptr ? KivL2capDeviceOfNode(m_Node) : nullptr;
        if (Dev == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        *Count = KivL2capCompleteDeferred(Dev, DISPATCH_LEVEL);
        Settle();
        return 0;
    }

    uint32_t FailAlloc(const SIM_COMMAND& Cmd) override
    {
        switch (Cmd.Alloc) {
        case SIM_ALLOC::Pool:
            kivrt::FailPoolAllocations(0, Cmd.After, Cmd.Count);
            break;
        case SIM_ALLOC::Tag:
            kivrt::FailPoolAllocations(Cmd.Tag, Cmd.After, Cmd.Count);
            break;
        case SIM_ALLOC::Irp:
            kivrt::FailIrpAllocations(Cmd.After, Cmd.Count);
            break;
        case SIM_ALLOC::Device:
            kivrt::FailDeviceCreation(Cmd.After, Cmd.Count);
            break;
        case SIM_ALLOC::Power:
            kivrt::FailPowerIrpRequests(Cmd.After, Cmd.Count);
            break;
        case SIM_ALLOC::Off:
            kivrt::ClearFailureInjection();
            break;
        }
        return 0;
    }

    // Each added node gets an L2CAP device of its own and, above it, an SDP device with the
    // lowest free instance number (none past ten). Its radio is not driven.
    SIM_REQUEST_RESULT AddDevice() override
    {
        if (m_Sdp == nullptr || !kivrt::IsDriverLoaded(m_Sdp) || !kivrt::IsDriverLoaded(m_L2cap))
            return {SIM_STATUS_NO_SUCH_DEVICE, {}};
        std::string Number = std::to_string(++m_NodesMade);
        std::u16string Path = u"ROOT\\KIVL2CAP\\" + std::u16string(4 - Number.size(), u'0');
        for (char c : Number)
            Path += char16_t(c);
        kivrt::DEVNODE* Node = nullptr;
        NTSTATUS Status = kivrt::CreateDevNode(Path.c_str(), m_L2cap, {m_Sdp}, &Node);
        if (NT_SUCCESS(Status)) {
            // A failed start is followed by the removal.
            Status = kivrt::StartDevice(Node);
        } else if (Node != nullptr) {
            (void)kivrt::RemoveDevice(Node);
        }
        Settle();
        if (!NT_SUCCESS(Status)) {
            if (Node != nullptr) kivrt::DeleteDevNode(Node);
            return {uint32_t(Status), {}};
        }
        m_Extra.push_back(Node);
        SIM_REQUEST_RESULT Result;
        Result.Id = unsigned(m_Extra.size());
        return Result;
    }
    uint32_t RemoveDevice(uint32_t Number) override
    {
        if (Number == 0 || Number > m_Extra.size() || m_Extra[Number - 1] == nullptr)
            return SIM_STATUS_NO_SUCH_DEVICE;
        NTSTATUS Status = kivrt::RemoveDevice(m_Extra[Number - 1]);
        Settle();
        if (NT_SUCCESS(Status)) {
            kivrt::DeleteDevNode(m_Extra[Number - 1]);
            m_Extra[Number - 1] = nullptr;
        }
        return uint32_t(Status);
    }

    uint32_t Power(bool Query, bool System, uint32_t State) override
    {
        if (m_Node == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        POWER_STATE Target;
        if (System)
            Target.SystemState = SYSTEM_POWER_STATE(State);
        else
            Target.DeviceState = DEVICE_POWER_STATE(State);
        NTSTATUS Status = kivrt::SendPower(m_Node, Query ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER,
                                           System ? SystemPowerState : DevicePowerState, Target);
        Settle();
        return uint32_t(Status);
    }
    uint32_t Capabilities(uint32_t* Flags) override
    {
        *Flags = 0;
        if (m_Node == nullptr) return SIM_STATUS_NO_SUCH_DEVICE;
        DEVICE_CAPABILITIES Caps;
        NTSTATUS Status = kivrt::QueryCapabilities(m_Node, &Caps);
        Settle();
        // The bit fields after Size and Version make one 32-bit word.
        static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8);
        std::memcpy(Flags, reinterpret_cast<const uint8_t*>(&Caps) + 4, sizeof(*Flags));
        return uint32_t(Status);
    }

    SIM_REQUEST_RESULT AddRecord() override
    {
        return Control("add-record", 0, IOCTL_KIVSDP_ADD_SERVICE_RECORD, {},
                       sizeof(KIVSDP_RECORD_HANDLE));
    }
    SIM_REQUEST_RESULT DelRecord(uint32_t Handle) override
    {
        std::vector<uint8_t> In = BuildDelRecordInput(Handle);
        return Control("del-record", 0, IOCTL_KIVSDP_DELETE_SERVICE_RECORD, In, In.size());
    }
    SIM_REQUEST_RESULT AddAttr(uint32_t Handle, uint16_t AttId,
                               std::span<const uint8_t> Value) override
    {
        std::vector<uint8_t> In = BuildAddAttrInput(Handle, AttId, Value);
        return Control("add-attr", 0, IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE, In, In.size());
    }
    SIM_REQUEST_RESULT DelAttr(uint32_t Handle, uint16_t AttId) override
    {
        std::vector<uint8_t> In = BuildDelAttrInput(Handle, AttId);
        return Control("del-attr", 0, IOCTL_KIVSDP_DELETE_SERVICE_ATTRIBUTE, In, In.size());
    }
    SIM_REQUEST_RESULT SetZoneMask(uint32_t Mask) override
    {
        std::vector<uint8_t> In;
        PutLe32(In, Mask);
        return Control("zone", 0, IOCTL_KIVSDP_SET_DEBUG_ZONE_MASK, In, 0);
    }
    void ShowDebug(bool On) override { m_ShowDebug = On; }

    bool Shutdown(std::ostream& Report) override
    {
        // Tearing down is not part of the scenario: it prints nothing.
        m_ShowDebug = false;
        m_Quiet = true;
        kivrt::ClearFailureInjection();
        // Parked writes would keep the device from being removed.
        if (PDEVICE_OBJECT Dev = m_Node != nullptr ? KivL2capDeviceOfNode(m_Node) : nullptr) {
            (void)KivL2capDeferWrites(Dev, false);
            (void)KivL2capCompleteDeferred(Dev, DISPATCH_LEVEL);
        }
        kivrt::DrainWorkItems();
        for (kivrt::APP_HANDLE& Handle : m_Handles) {
            if (Handle != nullptr) kivrt::AppClose(Handle);
            Handle = nullptr;
        }
        kivrt::DrainWorkItems();
        bool Clean = true;
        for (kivrt::DEVNODE*& Node : m_Extra) {
            if (Node == nullptr) continue;
            NTSTATUS Status = kivrt::RemoveDevice(Node);
            kivrt::DrainWorkItems();
            if (!NT_SUCCESS(Status)) {
                Report << "kivsdp-sim: removing a device failed: 0x" << Hex32(uint32_t(Status))
                       << "\n";
                Clean = false;
            } else {
                kivrt::DeleteDevNode(Node);
            }
            Node = nullptr;
        }
        if (m_Node != nullptr) {
            NTSTATUS Status =
                m_Surprised ? kivrt::RemoveAfterSurprise(m_Node) : kivrt::RemoveDevice(m_Node);
            kivrt::DrainWorkItems();
            if (!NT_SUCCESS(Status)) {
                Report << "kivsdp-sim: removing the device failed: 0x" << Hex32(uint32_t(Status))
                       << "\n";
                Clean = false;
            } else {
                // A node whose stack is still built must not be freed under it.
                kivrt::DeleteDevNode(m_Node);
            }
            m_Node = nullptr;
        }
        m_Radio.Detach();
        if (m_Sdp != nullptr && kivrt::IsDriverLoaded(m_Sdp)) kivrt::UnloadDriver(m_Sdp);
        if (m_L2cap != nullptr && kivrt::IsDriverLoaded(m_L2cap)) kivrt::UnloadDriver(m_L2cap);
        for (auto& Request : m_Requests) {
            if (!Request->Ov.IsComplete()) {
                Report << "kivsdp-sim: a request was never completed\n";
                Clean = false;
            }
        }
        for (const auto& Record : kivrt::VerifierRecords()) {
            Report << "kivsdp-sim: verifier: " << Record.Check << ": " << Record.Message << "\n";
            Clean = false;
        }
        for (const auto& Usage : kivrt::PoolUsage()) {
            Report << "kivsdp-sim: pool tag " << kivrt::TagText(Usage.Tag) << " still holds "
                   << Usage.PagedBlocks + Usage.NonPagedBlocks << " block(s)\n";
            Clean = false;
        }
        if (Clean && kivrt::PoolBlocksTotal() != 0) {
            Report << "kivsdp-sim: " << kivrt::PoolBlocksTotal() << " pool block(s) left\n";
            Clean = false;
        }
        kivrt::SetDbgPrintSink(nullptr);
        // A request that never completed keeps its buffers until the runtime
        // has forgotten it.
        std::erase_if(m_Requests, [](const auto& Request) { return Request->Ov.IsComplete(); });
        kivrt::Reset();
        m_Requests.clear();
        return Clean;
    }

private:
    static std::string Hex32(uint32_t v)
    {
        char Text[16];
        std::snprintf(Text, sizeof(Text), "%08X", v);
        return Text;
    }

    // Debug text arrives in pieces; only whole lines go to the sink.
    void OnDebugText(const std::string& Text)
    {
        if (!m_ShowDebug) {
            m_DebugLine.clear();
            return;
        }
        m_DebugLine += Text;
        size_t Eol;
        while ((Eol = m_DebugLine.find('\n')) != std::string::npos) {
            std::string_view Line = std::string_view(m_DebugLine).substr(0, Eol);
            if (!DebugHidden(Line)) m_Sink.OnDebugLine(Line);
            m_DebugLine.erase(0, Eol + 1);
        }
    }

    kivrt::APP_HANDLE HandleOf(uint32_t App) const
    {
        return App < m_Handles.size() ? m_Handles[App] : nullptr;
    }

    // Runs every queued work item, one at a time. A request that went pending reports its
    // done line from its completion, so the line stands where the completion happened among
    // the tx and dbg lines.
    void Settle()
    {
        while (kivrt::RunOneWorkItem()) {
        }
    }

    void ReportDone(SIM_PENDING_REQUEST& Request)
    {
        if (m_Quiet || Request.Reported) return;
        Request.Reported = true;
        SIM_REQUEST_RESULT Result = ResultOf(Request);
        m_Sink.OnLine("done #" + std::to_string(Request.Id) + " " +
                      FormatRequestLine(Request.Word, Result.Status, Result.Output));
    }

    // A device-control request on an application handle, then every work
    // item run. One still pending after that gets a number; its done line
    // comes when it completes.
    SIM_REQUEST_RESULT Control(std::string_view Word, uint32_t App, ULONG Code,
                               std::span<const uint8_t> In, size_t OutLength)
    {
        kivrt::APP_HANDLE Handle = HandleOf(App);
        if (Handle == nullptr) return {SIM_STATUS_INVALID_HANDLE, {}};
        SIM_PENDING_REQUEST* Request = Post(Handle, Code, In, OutLength);
        Request->Word = std::string(Word);
        Settle();
        // A request the I/O manager refused before it built an IRP (an access
        // the handle lacks) has only the returned status.
        if (!Request->Ov.IsComplete() && Request->Issued != STATUS_PENDING) {
            SIM_REQUEST_RESULT Result{uint32_t(Request->Issued), {}};
            m_Requests.pop_back();
            return Result;
        }
        if (Request->Ov.IsComplete()) {
            SIM_REQUEST_RESULT Result = ResultOf(*Request);
            m_Requests.pop_back();
            return Result;
        }
        Request->Id = ++m_LastId;
        Request->Ov.NotifyOnCompletion([this, Request] { ReportDone(*Request); });
        SIM_REQUEST_RESULT Result;
        Result.Pending = true;
        Result.Id = Request->Id;
        return Result;
    }

    SIM_PENDING_REQUEST* Post(kivrt::APP_HANDLE Handle, ULONG Code, std::span<const uint8_t> In,
                              size_t OutLength)
    {
        m_Requests.push_back(std::make_unique<SIM_PENDING_REQUEST>());
        SIM_PENDING_REQUEST* Request = m_Requests.back().get();
        Request->In.assign(In.begin(), In.end());
        Request->Out.assign(OutLength, 0);
        ULONG Bytes = 0;
        Request->Issued = kivrt::AppDeviceIoControl(
            Handle, Code, Request->In.empty() ? nullptr : Request->In.data(),
            ULONG(Request->In.size()), Request->Out.empty() ? nullptr : Request->Out.data(),
            ULONG(OutLength), &Bytes, &Request->Ov);
        return Request;
    }

    static SIM_REQUEST_RESULT ResultOf(SIM_PENDING_REQUEST& Request)
    {
        SIM_REQUEST_RESULT Result;
        if (!Request.Ov.IsComplete()) {
            Result.Status = uint32_t(STATUS_PENDING);
            return Result;
        }
        Result.Status = uint32_t(Request.Ov.Status());
        size_t Returned = std::min<size_t>(Request.Ov.Information(), Request.Out.size());
        Result.Output.assign(Request.Out.begin(), Request.Out.begin() + long(Returned));
        return Result;
    }

    ISimTxSink& m_Sink;
    CMemoryRadio m_Radio;
    PDRIVER_OBJECT m_L2cap = nullptr;
    PDRIVER_OBJECT m_Sdp = nullptr;
    kivrt::DEVNODE* m_Node = nullptr;
    std::vector<kivrt::DEVNODE*> m_Extra; // nodes 1, 2, ...; removed ones are null
    unsigned m_NodesMade = 0;
    std::vector<kivrt::APP_HANDLE> m_Handles; // closed ones are null
    std::vector<std::unique_ptr<SIM_PENDING_REQUEST>> m_Requests;
    unsigned m_LastId = 0;
    bool m_Surprised = false;
    bool m_ShowDebug = false;
    bool m_Quiet = false; // no done or tx lines while tearing down
    bool m_Ok = false;
    std::string m_DebugLine;
};

} // namespace

std::unique_ptr<CStackTarget> CStackTarget::Make(ISimTxSink& Sink)
{
    auto Target = std::make_unique<CStackTargetImpl>(Sink);
    (void)Target->Build();
    return Target;
}
