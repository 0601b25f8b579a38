// The whole device stack judged by the reference model: a few hundred random
// cases through the runtime, the virtual L2CAP driver and the SDP device,
// each ending with the stack's teardown checks. KIVSDP_DIFF_STACK_SERIES and
// KIVSDP_DIFF_SEED change the run; KIVSDP_DIFF_OUT takes failing scripts.
#include "differential.h"

#include "stack_target.h"

#include <gtest/gtest.h>

namespace {

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
    DIFF_OPTIONS Options;
    Options.Label = "stack";
    uint64_t Series = 0;
    const DIFF_RESULT r = RunDifferentialSeries("KIVSDP_DIFF_STACK_SERIES", 300, 1000000,
                                                StackSubject, Options, &Series);
    if (Series >= 100) {
        EXPECT_GT(r.Continuations, Series / 2);
    }
}

} // namespace
