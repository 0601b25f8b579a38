// Pool accounting by tag, bad frees, overruns and writes after free, failure injection, and
// lookaside lists with their depth rule.
#include "kernel_fixture.h"

#include <cstring>

using PoolTest = KernelFixture;

static const ULONG NORN = kivrt::MakeTag("Norn");
static const ULONG NRNU = kivrt::MakeTag("NrnU");

TEST_F(PoolTest, AccountingIsPerTagAndPoolType)
{
    PVOID A = ExAllocatePoolWithTag(PagedPool, 10, NORN);
    PVOID B = ExAllocatePoolWithTag(NonPagedPool, 20, NORN);
    PVOID C = ExAllocatePoolWithTag(NonPagedPool, 5, NRNU);
    ASSERT_TRUE(A && B && C);
    EXPECT_EQ((uintptr_t)A % 16, 0u);
    auto Usage = kivrt::PoolUsage();
    ASSERT_EQ(Usage.size(), 2u);
    EXPECT_EQ(Usage[0].Tag, NRNU) << "sorted by tag value";
    EXPECT_EQ(Usage[1].Tag, NORN);
    EXPECT_EQ(Usage[1].PagedBlocks, 1u);
    EXPECT_EQ(Usage[1].PagedBytes, 10u);
    EXPECT_EQ(Usage[1].NonPagedBlocks, 1u);
    EXPECT_EQ(Usage[1].NonPagedBytes, 20u);
    EXPECT_EQ(kivrt::PoolBlocks(NRNU), 1u);
    ExFreePoolWithTag(A, NORN);
    ExFreePool(B);
    ExFreePool(C);
    EXPECT_EQ(kivrt::PoolBlocks(NORN), 0u);
}

TEST_F(PoolTest, BadFreesAndOverrunsAreRecordedAndLoseNothing)
{
    auto* P = (char*)ExAllocatePoolWithTag(NonPagedPool, 32, NORN);
    ExFreePool(P + 8);
    ExpectRecords("bad-free");
    ExFreePool(nullptr);
    ExpectRecords("bad-free");
    ExFreePoolWithTag(P, NRNU);
    ExpectRecords("pool-tag-mismatch");
    ExFreePool(P);
    ExpectRecords("double-free");
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0, NORN), nullptr);
    ExpectRecords("zero-size-allocation");
    P = (char*)ExAllocatePoolWithTag(NonPagedPool, 13, NORN);
    P[13] = 1;
    ExFreePool(P);
    ExpectRecords("pool-overrun");
}

// The quarantine check compares whole chunks and looks at single bytes only where a chunk
// differs: the offset reported must still be the exact first byte written, on and around chunk
// edges and in a short last chunk, and an untouched block of any size must pass.
TEST_F(PoolTest, WriteAfterFreeReportsTheFirstWrittenOffset)
{
    struct CASE {
        size_t Size;
        long Offset; // -1: nothing written
    };
    const CASE Cases[] = {{1, 0},      {16, 15},    {255, 254},  {256, 255},  {257, 256},
                          {1000, 0},   {1000, 255}, {1000, 256}, {1000, 511}, {1000, 512},
                          {1000, 999}, {1000, -1},  {513, -1},   {4096, 4000}};
    for (const CASE& c : Cases) {
        SCOPED_TRACE("size " + std::to_string(c.Size) + ", offset " + std::to_string(c.Offset));
        auto* P = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, c.Size, NORN);
        ASSERT_NE(P, nullptr);
        ExFreePool(P);
        if (c.Offset >= 0) {
            P[c.Offset] = 7;
            if (size_t(c.Offset) + 1 < c.Size) P[c.Offset + 1] = 9; // only the first is named
        }
        for (int i = 0; i < 300; i++)
            ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, NRNU));
        if (c.Offset < 0) {
            EXPECT_EQ(Records(), "");
            continue;
        }
        auto Found = kivrt::VerifierRecords();
        ASSERT_EQ(Found.size(), 1u);
        EXPECT_EQ(Found[0].Check, "use-after-free");
        EXPECT_NE(Found[0].Message.find("at offset " + std::to_string(c.Offset) + " "),
                  std::string::npos)
            << Found[0].Message;
        kivrt::ClearVerifierRecords();
    }
}

TEST_F(PoolTest, FailureInjectionByTagAfterNCalls)
{
    kivrt::FailPoolAllocations(NORN, 2, 1);
    PVOID Other = ExAllocatePoolWithTag(NonPagedPool, 8, NRNU); // other tags are not counted
    PVOID A = ExAllocatePoolWithTag(NonPagedPool, 8, NORN);
    PVOID B = ExAllocatePoolWithTag(NonPagedPool, 8, NORN);
    PVOID C = ExAllocatePoolWithTag(NonPagedPool, 8, NORN);
    PVOID D = ExAllocatePoolWithTag(NonPagedPool, 8, NORN);
    EXPECT_TRUE(Other && A && B && D);
    EXPECT_EQ(C, nullptr);
    EXPECT_EQ(kivrt::InjectedFailures(), 1u);
    for (PVOID P : {Other, A, B, D})
        ExFreePool(P);
}

// A list caches while it holds fewer blocks than its depth (the framework's memory list test
// shows depth 2); depth 0 asks for the default depth, four.
TEST_F(PoolTest, LookasideCachesWhileFewerThanDepthAndDefaultsToFour)
{
    NPAGED_LOOKASIDE_LIST L;
    ExInitializeNPagedLookasideList(&L, nullptr, nullptr, 0, 16, NRNU, 0);
    PVOID Six[6];
    for (PVOID& P : Six)
        P = ExAllocateFromNPagedLookasideList(&L);
    for (PVOID P : Six)
        ExFreeToNPagedLookasideList(&L, P);
    EXPECT_EQ(kivrt::PoolBlocks(NRNU), 4u);
    ExDeleteNPagedLookasideList(&L);
}

TEST_F(PoolTest, LookasideEmptyCacheAllocationCanBeFailed)
{
    NPAGED_LOOKASIDE_LIST L;
    ExInitializeNPagedLookasideList(&L, nullptr, nullptr, 0, 16, NRNU, 4);
    PVOID A = ExAllocateFromNPagedLookasideList(&L);
    ExFreeToNPagedLookasideList(&L, A);
    kivrt::FailPoolAllocations(NRNU, 0, 1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&L), A) << "the cache still serves";
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&L), nullptr) << "an empty cache asks the pool";
    ExFreeToNPagedLookasideList(&L, A);
    ExDeleteNPagedLookasideList(&L);
}

TEST_F(PoolTest, LookasideMisuseIsRecorded)
{
    NPAGED_LOOKASIDE_LIST L;
    memset(&L, 0, sizeof(L));
    ExDeleteNPagedLookasideList(&L);
    ExpectRecords("lookaside-uninitialised");

    ExInitializeNPagedLookasideList(&L, nullptr, nullptr, 0, 16, NRNU, 4);
    ExInitializeNPagedLookasideList(&L, nullptr, nullptr, 0, 16, NRNU, 4);
    ExpectRecords("lookaside-double-init");

    PVOID Held = ExAllocateFromNPagedLookasideList(&L);
    ExDeleteNPagedLookasideList(&L);
    ExpectRecords("lookaside-leak");
    ExFreeToNPagedLookasideList(&L, Held);
    ExpectRecords("lookaside-deleted");
    ExFreePool(Held);

    auto* Holder = (PNPAGED_LOOKASIDE_LIST)ExAllocatePoolWithTag(NonPagedPool, sizeof(L), NORN);
    ExInitializeNPagedLookasideList(Holder, nullptr, nullptr, 0, 4, NRNU, 4);
    ExpectRecords("lookaside-size");
    ExFreePool(Holder);
    ExpectRecords("lookaside-freed");
}
