// Scenario runner: dispatches each command to the target, prints request results.
#include "sim_runner.h"

#include "sim_output.h"
#include "sim_requests.h"

#include <kivsdpioctl.h>

#include <cstdio>
#include <string>

void CSimLinePrinter::OnTx(uint16_t Cid, std::span<const uint8_t> Payload)
{
    m_Out << FormatTxLine(Cid, Payload) << '\n';
}

void CSimLinePrinter::OnDebugLine(std::string_view Line)
{
    m_Out << "dbg " << Line << '\n';
}

void CSimLinePrinter::OnLine(std::string_view Line)
{
    m_Out << Line << '\n';
}

namespace {

std::string StatusText(uint32_t Status)
{
    char Text[16];
    std::snprintf(Text, sizeof(Text), " 0x%08X", Status);
    return Text;
}

// The buffers of the application requests that have a command of their own.
SIM_REQUEST_RESULT RunStackRequest(const SIM_COMMAND& Cmd, CSimTarget& Target)
{
    std::string_view Word = SimVerbName(Cmd.Verb);
    switch (Cmd.Verb) {
    case SIM_VERB::Ioctl:
        return Target.Ioctl(Word, Cmd.App, Cmd.Code, Cmd.Bytes, Cmd.OutLen);
    case SIM_VERB::ListenStatus:
        return Target.Ioctl(Word, Cmd.App, IOCTL_KIVSDP_LISTEN_FOR_STATUS, {},
                            sizeof(KIVSDP_STATUS_RECORD));
    case SIM_VERB::ListenResponse:
        return Target.Ioctl(Word, Cmd.App, IOCTL_KIVSDP_LISTEN_FOR_SDP_RESPONSE, {},
                            KIVSDP_LISTEN_RESPONSE_MIN_LEN);
    case SIM_VERB::Send: {
        std::vector<uint8_t> In;
        PutLe16(In, Cmd.Cid);
        In.insert(In.end(), Cmd.Bytes.begin(), Cmd.Bytes.end());
        return Target.Ioctl(Word, Cmd.App, IOCTL_KIVSDP_SEND_SDP_REQUEST, In, 0);
    }
    case SIM_VERB::DebugInfo:
        return Target.Ioctl(Word, 0, IOCTL_KIVSDP_GET_DEBUG_INFO, {}, sizeof(KIVSDP_DEBUG_INFO));
    case SIM_VERB::ResetDebugInfo:
        return Target.Ioctl(Word, 0, IOCTL_KIVSDP_RESET_DEBUG_INFO, {}, 0);
    default:
        return {SIM_STATUS_NOT_SUPPORTED, {}};
    }
}

} // namespace

void RunSimScript(const SIM_SCRIPT& Script, CSimTarget& Target, std::ostream& Out)
{
    for (const SIM_COMMAND& Cmd : Script.Commands) {
        SIM_REQUEST_RESULT Result;
        switch (Cmd.Verb) {
        case SIM_VERB::Connect:
            Target.Connect(Cmd.Cid, Cmd.Mtu);
            continue;
        case SIM_VERB::Config:
            Target.Config(Cmd.Cid, Cmd.Mtu);
            continue;
        case SIM_VERB::Disconnect:
            Target.Disconnect(Cmd.Cid);
            continue;
        case SIM_VERB::Frame:
            Target.Frame(Cmd.Cid, Cmd.Bytes);
            continue;
        case SIM_VERB::AddRecord:
            Result = Target.AddRecord();
            break;
        case SIM_VERB::DelRecord:
            Result = Target.DelRecord(Cmd.Handle);
            break;
        case SIM_VERB::AddAttr:
            Result = Target.AddAttr(Cmd.Handle, Cmd.AttId, Cmd.Bytes);
            break;
        case SIM_VERB::DelAttr:
            Result = Target.DelAttr(Cmd.Handle, Cmd.AttId);
            break;
        case SIM_VERB::Zone:
            Result = Target.SetZoneMask(Cmd.Mask);
            break;
        case SIM_VERB::Dbg:
            if (Cmd.Dbg == SIM_DBG::Hide)
                Target.HideDebug(Cmd.Words);
            else if (Cmd.Dbg == SIM_DBG::ShowAll)
                Target.ShowAllDebug();
            else
                Target.ShowDebug(Cmd.On);
            continue;
        case SIM_VERB::Status:
            Target.Status(Cmd.Cid, Cmd.StatusCode, Cmd.Mtu);
            continue;
        case SIM_VERB::Open:
            Result = Target.Open(Cmd.Node);
            Out << "open" << StatusText(Result.Status);
            if (Result.Status == 0) Out << ' ' << Result.Id;
            Out << '\n';
            continue;
        case SIM_VERB::Close: {
            uint32_t Status = Target.Close(Cmd.App); // done lines come first
            Out << "close" << StatusText(Status) << '\n';
        }
            continue;
        case SIM_VERB::Cancel: {
            uint32_t Status = Target.Cancel(Cmd.App); // done lines come first
            Out << "cancel" << StatusText(Status) << '\n';
        }
            continue;
        case SIM_VERB::Pnp: {
            uint32_t Status = Target.Pnp(Cmd.Pnp);
            Out << "pnp " << SimPnpName(Cmd.Pnp) << StatusText(Status) << '\n';
        }
            continue;
        case SIM_VERB::FailTx:
            Out << "fail-tx" << StatusText(Target.FailTx(Cmd.Code, Cmd.Count)) << '\n';
            continue;
        case SIM_VERB::Fail:
            Out << "fail" << StatusText(Target.Fail(Cmd.Kind, Cmd.Code, Cmd.Count)) << '\n';
            continue;
        case SIM_VERB::Hold:
            Out << "hold" << StatusText(Target.Hold(Cmd.On)) << '\n';
            continue;
        case SIM_VERB::Release: {
            unsigned Count = 0;
            uint32_t Status = Target.Release(&Count); // done lines come first
            Out << "release" << StatusText(Status) << ' ' << Count << '\n';
        }
            continue;
        case SIM_VERB::FailAlloc:
            Out << "fail-alloc" << StatusText(Target.FailAlloc(Cmd)) << '\n';
            continue;
        case SIM_VERB::Device:
            if (Cmd.Add) {
                Result = Target.AddDevice();
                Out << "device add" << StatusText(Result.Status);
                if (Result.Status == 0) Out << ' ' << Result.Id;
                Out << '\n';
            } else {
                Out << "device remove" << StatusText(Target.RemoveDevice(Cmd.Node)) << '\n';
            }
            continue;
        case SIM_VERB::Power: {
            uint32_t Status = Target.Power(Cmd.Query, Cmd.System, Cmd.PowerState);
            Out << "power " << (Cmd.Query ? "query " : "")
                << SimPowerStateName(Cmd.System, Cmd.PowerState) << StatusText(Status) << '\n';
        }
            continue;
        case SIM_VERB::Capabilities: {
            uint32_t Flags = 0;
            uint32_t Status = Target.Capabilities(&Flags);
            Out << "capabilities" << StatusText(Status) << StatusText(Flags) << '\n';
        }
            continue;
        case SIM_VERB::Ioctl:
        case SIM_VERB::ListenStatus:
        case SIM_VERB::ListenResponse:
        case SIM_VERB::Send:
        case SIM_VERB::DebugInfo:
        case SIM_VERB::ResetDebugInfo:
            Result = RunStackRequest(Cmd, Target);
            break;
        }
        if (Result.Pending)
            Out << SimVerbName(Cmd.Verb) << " pending #" << Result.Id << '\n';
        else
            Out << FormatRequestLine(SimVerbName(Cmd.Verb), Result.Status, Result.Output) << '\n';
    }
    Out.flush();
}
