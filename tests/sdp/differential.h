// The differential harness: random cases (a database built through the
// application requests, then request series with continuation, forged
// states, malformed PDUs and database changes in between) run command by
// command through the reference model and an implementation under test,
// both as scenario-runner targets, comparing every output line. A case is a
// kivsdp-sim script, so a mismatch is written out as one that replays it.
#pragma once

#include "refmodel.h"
#include "sim_runner.h"
#include "sim_target.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// The model as a scenario-runner target. LastTx holds the PDUs sent for the
// last frame, so the generator can follow continuation states.
class CModelTarget : public CSimTarget {
public:
    explicit CModelTarget(ISimTxSink& Sink) : m_Sink(Sink) {}
    void Connect(uint16_t Cid, uint16_t Mtu) override { m_Model.Connect(Cid, Mtu); }
    void Config(uint16_t Cid, uint16_t Mtu) override { m_Model.Config(Cid, Mtu); }
    void Disconnect(uint16_t Cid) override { m_Model.Disconnect(Cid); }
    void Frame(uint16_t Cid, std::span<const uint8_t> Payload) override;
    SIM_REQUEST_RESULT AddRecord() override;
    SIM_REQUEST_RESULT DelRecord(uint32_t Handle) override;
    SIM_REQUEST_RESULT AddAttr(uint32_t Handle, uint16_t AttId,
                               std::span<const uint8_t> Value) override;
    SIM_REQUEST_RESULT DelAttr(uint32_t Handle, uint16_t AttId) override;
    SIM_REQUEST_RESULT SetZoneMask(uint32_t) override { return {SIM_STATUS_NOT_SUPPORTED, {}}; }
    void ShowDebug(bool) override {}

    const refmodel::CRefModel& Model() const { return m_Model; }
    const std::vector<refmodel::Bytes>& LastTx() const { return m_LastTx; }

private:
    ISimTxSink& m_Sink;
    refmodel::CRefModel m_Model;
    std::vector<refmodel::Bytes> m_LastTx;
};

// What is judged: a target, and an optional check run when the case is over
// (the stack's teardown: verifier records, leaked pool blocks). Finish
// returns false with a reason written to Report.
struct DIFF_SUBJECT {
    std::unique_ptr<CSimTarget> Target;
    std::function<bool(std::ostream& Report)> Finish;
};
typedef std::function<DIFF_SUBJECT(ISimTxSink& Sink)> DIFF_SUBJECT_FACTORY;

struct DIFF_OPTIONS {
    // Where a failing case's script (.sim) and the model's output (.expected)
    // go; empty: the current directory.
    std::string OutDir;
    // Name part of the files written.
    std::string Label = "diff";
    // Bigger cases: more records and longer series (the long run mixes them in).
    bool Large = false;
};

struct DIFF_RESULT {
    bool Ok = true;
    std::string Message;        // first differing line and the replay files
    std::string ScriptPath;     // set when a script was written
    uint64_t Commands = 0;      // commands run
    uint64_t Frames = 0;        // request frames sent
    uint64_t Continuations = 0; // requests that sent back a returned state
    // The model's responses by kind: PDU ID << 16, plus the error code for
    // error responses, plus 0x8000 for a response that carries a state.
    std::map<uint32_t, uint64_t> Kinds;
};

// Runs the case of this seed through the model and the subject. On a
// mismatch (or a failed Finish) writes the replay script and stops.
DIFF_RESULT RunDifferentialCase(uint64_t Seed, const DIFF_SUBJECT_FACTORY& Subject,
                                const DIFF_OPTIONS& Options);

// Series cases from Seed on (every 16th large), the options' environment overrides applied:
// KIVSDP_DIFF_SEED moves the first seed, KIVSDP_DIFF_OUT takes the replay scripts. Stops
// after three failures, each reported to the test; prints the case and frame counts. The
// result sums the counts and kinds of the cases run.
DIFF_RESULT RunDifferentialSeries(const char* SeriesVariable, uint64_t Series, uint64_t SeedBase,
                                  const DIFF_SUBJECT_FACTORY& Subject, DIFF_OPTIONS Options,
                                  uint64_t* CasesRun = nullptr);

// The case of this seed as a script, run through the model alone: Script
// gets the kivsdp-sim text, Expected every line the model prints for it.
void GenerateDifferentialCase(uint64_t Seed, bool Large, std::string& Script,
                              std::string& Expected);

// One command as a script line (no newline).
std::string FormatSimCommand(const SIM_COMMAND& Cmd);
