// Runs a parsed scenario against a target and prints what it observes.
#pragma once

#include "sim_script.h"
#include "sim_target.h"

#include <ostream>

// Writes tx lines to Out as the target sends them; used as the target's sink.
class CSimLinePrinter : public ISimTxSink {
public:
    explicit CSimLinePrinter(std::ostream& Out) : m_Out(Out) {}
    void OnTx(uint16_t Cid, std::span<const uint8_t> Payload) override;
    // "dbg " + the line.
    void OnDebugLine(std::string_view Line) override;
    void OnLine(std::string_view Line) override;

private:
    std::ostream& m_Out;
};

// Runs every command in order. Request lines go to Out after the target
// returns; tx lines go through the target's own sink as they happen.
void RunSimScript(const SIM_SCRIPT& Script, CSimTarget& Target, std::ostream& Out);
