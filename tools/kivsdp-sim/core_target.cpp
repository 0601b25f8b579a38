// --core target for kivsdp-sim. It plays the parts of the driver that sit
// around the core: the read path's length check, the send callback, and the
// buffered device-control requests of an application.
#include "core_target.h"

#include "sdpcore.h"
#include "sim_requests.h"

#include <kivsdpioctl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The read path hands on only frames that hold the CID and one PDU header.
constexpr size_t MIN_FRAME_LENGTH = 2 + SDP_PDU_HEADER_SIZE;

class CCoreTarget : public CSimTarget {
public:
    explicit CCoreTarget(ISimTxSink& Sink) : m_Sink(Sink)
    {
        // The hooks are process-wide; the pool stays the C heap.
        SDP_HOST_HOOKS Hooks{this, &CCoreTarget::DebugPrint, nullptr, nullptr};
        SdpSetHostHooks(&Hooks);
        m_Host.Context = this;
        m_Host.GetResponseBlock = nullptr;
        m_Host.SendResponse = &CCoreTarget::SendResponse;
        m_Host.ProcessSdpResponse = nullptr; // no client path without the device
        m_Database.DatabaseLock();
        (void)m_Database.InitializeSdpDatabase();
        m_Database.DatabaseUnlock();
    }

    // Tearing down is not part of the scenario, so it prints nothing.
    ~CCoreTarget() override
    {
        m_ShowDebug = false;
        m_Database.DatabaseLock();
        (void)m_Database.TerminateSdpDatabase();
        m_Database.DatabaseUnlock();
        SdpSetHostHooks(nullptr);
    }

    void Connect(uint16_t Cid, uint16_t Mtu) override
    {
        (void)m_Channels.CreateL2capContext(Cid, Mtu);
    }
    void Config(uint16_t Cid, uint16_t Mtu) override
    {
        (void)m_Channels.ReConfigL2capContext(Cid, Mtu);
    }
    void Disconnect(uint16_t Cid) override { (void)m_Channels.DestroyL2capContext(Cid); }

    void Frame(uint16_t Cid, std::span<const uint8_t> Payload) override
    {
        std::vector<uint8_t> Frame;
        PutLe16(Frame, Cid);
        Frame.insert(Frame.end(), Payload.begin(), Payload.end());
        if (Frame.size() < MIN_FRAME_LENGTH || Frame.size() > MAX_SDP_DATA_PACKET_SIZE) return;
        SdpProcessFrame(m_Database, m_Channels, Frame.data(), uint32_t(Frame.size()), m_Host);
    }

    SIM_REQUEST_RESULT AddRecord() override
    {
        return Call(&CSdpDatabase::UserIoctlAddRecord, {}, sizeof(KIVSDP_RECORD_HANDLE));
    }
    SIM_REQUEST_RESULT DelRecord(uint32_t Handle) override
    {
        std::vector<uint8_t> In = BuildDelRecordInput(Handle);
        return Call(&CSdpDatabase::UserIoctlDeleteRecord, In, In.size());
    }
    SIM_REQUEST_RESULT AddAttr(uint32_t Handle, uint16_t AttId,
                               std::span<const uint8_t> Value) override
    {
        std::vector<uint8_t> In = BuildAddAttrInput(Handle, AttId, Value);
        return Call(&CSdpDatabase::UserIoctlAddAttribute, In, In.size());
    }
    SIM_REQUEST_RESULT DelAttr(uint32_t Handle, uint16_t AttId) override
    {
        std::vector<uint8_t> In = BuildDelAttrInput(Handle, AttId);
        return Call(&CSdpDatabase::UserIoctlDeleteAttribute, In, In.size());
    }

    SIM_REQUEST_RESULT SetZoneMask(uint32_t Mask) override
    {
        std::vector<uint8_t> In;
        PutLe32(In, Mask);
        return {uint32_t(SdpIoctlSetDebugZoneMask(In.data(), uint32_t(In.size()))), {}};
    }
    void ShowDebug(bool On) override { m_ShowDebug = On; }

private:
    // Messages arrive in pieces (a dump is a title, one call per byte, then
    // the newline), so they are gathered into whole lines.
    static void DebugPrint(void* Context, uint32_t, const char* Format, va_list Args)
    {
        auto* Self = static_cast<CCoreTarget*>(Context);
        if (!Self->m_ShowDebug) return;
        char Text[1024];
        int n = std::vsnprintf(Text, sizeof(Text), Format, Args);
        if (n < 0) return;
        Self->m_DebugLine.append(Text, std::min<size_t>(size_t(n), sizeof(Text) - 1));
        size_t Eol;
        while ((Eol = Self->m_DebugLine.find('\n')) != std::string::npos) {
            std::string_view Line = std::string_view(Self->m_DebugLine).substr(0, Eol);
            if (!Self->DebugHidden(Line)) Self->m_Sink.OnDebugLine(Line);
            Self->m_DebugLine.erase(0, Eol + 1);
        }
    }

    static void SendResponse(void* Context, uint8_t* pFrame, uint32_t FrameLen)
    {
        auto* Self = static_cast<CCoreTarget*>(Context);
        if (FrameLen < 2) return;
        uint16_t Cid = uint16_t(pFrame[0] | pFrame[1] << 8);
        Self->m_Sink.OnTx(Cid, std::span<const uint8_t>(pFrame + 2, FrameLen - 2));
    }

    // A buffered request: input and output share one system buffer as large
    // as the larger of the two; at most OutputLength bytes come back.
    SIM_REQUEST_RESULT Call(SDP_STATUS (CSdpDatabase::*Handler)(SDP_IOCTL_BUFFER&),
                            std::span<const uint8_t> In, size_t OutputLength)
    {
        std::vector<uint8_t> System(std::max(In.size(), OutputLength));
        std::copy(In.begin(), In.end(), System.begin());
        SDP_IOCTL_BUFFER Io{System.data(), uint32_t(In.size()), uint32_t(OutputLength), 0};
        SIM_REQUEST_RESULT Result;
        Result.Status = uint32_t((m_Database.*Handler)(Io));
        size_t Returned = std::min<size_t>(Io.Information, OutputLength);
        Result.Output.assign(System.begin(), System.begin() + Returned);
        return Result;
    }

    ISimTxSink& m_Sink;
    CSdpDatabase m_Database;
    CChannelTable m_Channels;
    SDP_SERVER_HOST m_Host{};
    bool m_ShowDebug = false;
    std::string m_DebugLine;
};

} // namespace

std::unique_ptr<CSimTarget> MakeCoreTarget(ISimTxSink& Sink)
{
    return std::make_unique<CCoreTarget>(Sink);
}
