// The core judged by the reference model: thousands of random cases, every
// response byte compared, and the replay path through kivsdp-sim proven.
//   KIVSDP_DIFF_SERIES  number of cases (default 3000)
//   KIVSDP_DIFF_SEED    seed of the first case (default 1); case i uses seed + i
//   KIVSDP_DIFF_OUT     folder for the replay script of a failing case
#include "differential.h"

#include "core_target.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

DIFF_SUBJECT CoreSubject(ISimTxSink& Sink)
{
    return {MakeCoreTarget(Sink), nullptr};
}

TEST(SdpDifferential, CoreAnswersEveryRandomSeriesAsTheModelDoes)
{
    DIFF_OPTIONS Options;
    Options.Label = "core";
    uint64_t Series = 0;
    DIFF_RESULT r =
        RunDifferentialSeries("KIVSDP_DIFF_SERIES", 3000, 0, CoreSubject, Options, &Series);
    if (Series < 1000) return;
    // The cases must reach what they are meant to judge: continued series of
    // every transaction, and every error the server sends.
    EXPECT_GT(r.Continuations, Series);
    for (uint32_t Kind : {0x038000u, 0x058000u, 0x078000u, 0x030000u, 0x050000u, 0x070000u,
                          0x010002u, 0x010003u, 0x010004u, 0x010005u, 0x0100FFu})
        EXPECT_GT(r.Kinds[Kind], 10u) << std::hex << "response kind 0x" << Kind;
}

#ifdef KIVSDP_SIM_PATH
std::string RunSim(const std::string& Args)
{
    const std::string Command = std::string(KIVSDP_SIM_PATH) + " " + Args;
    FILE* p = popen(Command.c_str(), "r");
    if (p == nullptr) return "(popen failed)";
    std::string Out;
    char Buf[4096];
    size_t n;
    while ((n = fread(Buf, 1, sizeof(Buf), p)) > 0)
        Out.append(Buf, n);
    const int Status = pclose(p);
    if (Status != 0) Out += "(exit status " + std::to_string(Status) + ")";
    return Out;
}

// A case written as a script is replayed by kivsdp-sim in both modes, and
// prints exactly what the model printed for it.
TEST(SdpDifferential, ReplayScriptRunsThroughKivsdpSimInBothModes)
{
    for (uint64_t Seed : {7u, 12u, 31u}) {
        SCOPED_TRACE(Seed);
        std::string Script, Expected;
        GenerateDifferentialCase(Seed, true, Script, Expected);
        const std::string Path = ::testing::TempDir() + "replay-" + std::to_string(Seed) + ".sim";
        std::ofstream(Path) << Script;
        ASSERT_NE(Expected.find("tx 0x0040 07"), std::string::npos) << "case too small";
        EXPECT_EQ(RunSim("--core " + Path), Expected);
        EXPECT_EQ(RunSim(Path), Expected);
        std::remove(Path.c_str());
    }
}
#endif

} // namespace
