// Scenario runner: dispatches each command to the target, prints request results.
#include "sim_runner.h"

#include "sim_output.h"

void CSimLinePrinter::OnTx(uint16_t Cid, std::span<const uint8_t> Payload)
{
    m_Out << FormatTxLine(Cid, Payload) << '\n';
}

void CSimLinePrinter::OnDebugLine(std::string_view Line)
{
    m_Out << "dbg " << Line << '\n';
}

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
            Target.ShowDebug(Cmd.On);
            continue;
        }
        Out << FormatRequestLine(SimVerbName(Cmd.Verb), Result.Status, Result.Output) << '\n';
    }
    Out.flush();
}
