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

// Channel events and debug print settings: they print nothing of their own. False for the
// other commands.
bool RunEvent(const SIM_COMMAND& Cmd, CSimTarget& Target)
{
    switch (Cmd.Verb) {
    case SIM_VERB::Connect:
        Target.Connect(Cmd.Cid, Cmd.Mtu);
        return true;
    case SIM_VERB::Config:
        Target.Config(Cmd.Cid, Cmd.Mtu);
        return true;
    case SIM_VERB::Disconnect:
        Target.Disconnect(Cmd.Cid);
        return true;
    case SIM_VERB::Frame:
        Target.Frame(Cmd.Cid, Cmd.Bytes);
        return true;
    case SIM_VERB::Status:
        Target.Status(Cmd.Cid, Cmd.StatusCode, Cmd.Mtu);
        return true;
    case SIM_VERB::Dbg:
        if (Cmd.Dbg == SIM_DBG::Hide)
            Target.HideDebug(Cmd.Words);
        else if (Cmd.Dbg == SIM_DBG::ShowAll)
            Target.ShowAllDebug();
        else
            Target.ShowDebug(Cmd.On);
        return true;
    default:
        return false;
    }
}

// The commands that drive the stack itself, each with a status line of its own. False for the
// other commands.
bool RunControl(const SIM_COMMAND& Cmd, CSimTarget& Target, std::ostream& Out)
{
    // Where the target prints done lines, they come before the command's own line.
    switch (Cmd.Verb) {
    case SIM_VERB::Open: {
        SIM_REQUEST_RESULT Result = Target.Open(Cmd.Node);
        Out << "open" << StatusText(Result.Status);
        if (Result.Status == 0) Out << ' ' << Result.Id;
        Out << '\n';
        break;
    }
    case SIM_VERB::Close: {
        uint32_t Status = Target.Close(Cmd.App);
        Out << "close" << StatusText(Status) << '\n';
        break;
    }
    case SIM_VERB::Cancel: {
        uint32_t Status = Target.Cancel(Cmd.App);
        Out << "cancel" << StatusText(Status) << '\n';
        break;
    }
    case SIM_VERB::Pnp: {
        uint32_t Status = Target.Pnp(Cmd.Pnp);
        Out << "pnp " << SimPnpName(Cmd.Pnp) << StatusText(Status) << '\n';
        break;
    }
    case SIM_VERB::FailTx:
        Out << "fail-tx" << StatusText(Target.FailTx(Cmd.Code, Cmd.Count)) << '\n';
        break;
    case SIM_VERB::Fail:
        Out << "fail" << StatusText(Target.Fail(Cmd.Kind, Cmd.Code, Cmd.Count)) << '\n';
        break;
    case SIM_VERB::Hold:
        Out << "hold" << StatusText(Target.Hold(Cmd.On)) << '\n';
        break;
    case SIM_VERB::Release: {
        unsigned Count = 0;
        uint32_t Status = Target.Release(&Count);
        Out << "release" << StatusText(Status) << ' ' << Count << '\n';
        break;
    }
    case SIM_VERB::FailAlloc:
        Out << "fail-alloc" << StatusText(Target.FailAlloc(Cmd)) << '\n';
        break;
    case SIM_VERB::Device:
        if (Cmd.Add) {
            SIM_REQUEST_RESULT Result = Target.AddDevice();
            Out << "device add" << StatusText(Result.Status);
            if (Result.Status == 0) Out << ' ' << Result.Id;
            Out << '\n';
        } else {
            Out << "device remove" << StatusText(Target.RemoveDevice(Cmd.Node)) << '\n';
        }
        break;
    case SIM_VERB::Power: {
        uint32_t Status = Target.Power(Cmd.Query, Cmd.System, Cmd.PowerState);
        Out << "power " << (Cmd.Query ? "query " : "")
            << SimPowerStateName(Cmd.System, Cmd.PowerState) << StatusText(Status) << '\n';
        break;
    }
    case SIM_VERB::Capabilities: {
        uint32_t Flags = 0;
        uint32_t Status = Target.Capabilities(&Flags);
        Out << "capabilities" << StatusText(Status) << StatusText(Flags) << '\n';
        break;
    }
    default:
        return false;
    }
    return true;
}

// The device-control requests, printed as request lines.
SIM_REQUEST_RESULT RunRequest(const SIM_COMMAND& Cmd, CSimTarget& Target)
{
    std::string_view Word = SimVerbName(Cmd.Verb);
    switch (Cmd.Verb) {
    case SIM_VERB::AddRecord:
        return Target.AddRecord();
    case SIM_VERB::DelRecord:
        return Target.DelRecord(Cmd.Handle);
    case SIM_VERB::AddAttr:
        return Target.AddAttr(Cmd.Handle, Cmd.AttId, Cmd.Bytes);
    case SIM_VERB::DelAttr:
        return Target.DelAttr(Cmd.Handle, Cmd.AttId);
    case SIM_VERB::Zone:
        return Target.SetZoneMask(Cmd.Mask);
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
        if (RunEvent(Cmd, Target) || RunControl(Cmd, Target, Out)) continue;
        const SIM_REQUEST_RESULT Result = RunRequest(Cmd, Target);
        if (Result.Pending)
            Out << SimVerbName(Cmd.Verb) << " pending #" << Result.Id << '\n';
        else
            Out << FormatRequestLine(SimVerbName(Cmd.Verb), Result.Status, Result.Output) << '\n';
    }
    Out.flush();
}
