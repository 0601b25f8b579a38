// The whole device stack judged by the reference model: a few hundred random
// cases through the runtime, the virtual L2CAP driver and the SDP device,
// each ending with the stack's teardown checks. KIVSDP_DIFF_STACK_SERIES and
// KIVSDP_DIFF_SEED change the run; KIVSDP_DIFF_OUT takes failing scripts.
#include "differential.h"

#include "stack_target.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

uint64_t EnvNumber(const char* Name, uint64_t Default)
{
    const char* v = std::getenv(Name);
    return v && *v ? std::strtoull(v, nullptr, 0) : Default;
}

DIFF_SUBJECT StackSubject(ISimTxSink& Sink)
{
    std::unique_ptr<CStackTarget> Stack = CStackTarget::Make(Sink);
    CStackTarget* p = Stack.get();
    DIFF_SUBJECT s;
    s.Finish = [p](std::ostream& Report) { return p->Ok() && p->Shutdown(Report); };
    s.Target = std::move(Stack);
    return s;
}

TEST(SdpDifferentialStack, StackAnswersRandomSeriesAsTheModelDoes)
{
    const uint64_t Series = EnvNumber("KIVSDP_DIFF_STACK_SERIES", 300);
    const uint64_t Seed = EnvNumber("KIVSDP_DIFF_SEED", 1) + 1000000;
    DIFF_OPTIONS Options;
    const char* Out = std::getenv("KIVSDP_DIFF_OUT");
    Options.OutDir = Out && *Out ? Out : ::testing::TempDir();
    Options.Label = "stack";
    uint64_t Frames = 0, Continuations = 0, Failures = 0;
    for (uint64_t i = 0; i < Series && Failures < 3; i++) {
        Options.Large = (Seed + i) % 16 == 15;
        const DIFF_RESULT r = RunDifferentialCase(Seed + i, StackSubject, Options);
        Frames += r.Frames;
        Continuations += r.Continuations;
        if (!r.Ok) {
            Failures++;
            ADD_FAILURE() << r.Message;
        }
    }
    std::printf("%llu cases, %llu request frames, %llu with a returned state\n",
                (unsigned long long)Series, (unsigned long long)Frames,
                (unsigned long long)Continuations);
    if (Series >= 100) {
        EXPECT_GT(Continuations, Series / 2);
    }
}

} // namespace
