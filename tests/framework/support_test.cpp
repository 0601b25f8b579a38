// Support classes: CString, CMemoryList, CThread and CInterlockedQueue.
#include "TestStack.h"

#include "IrpQueue.h"
#include "Thread.h"

#include <cstring>
#include <string>

using SupportFixture = KernelFixture;

static std::u16string Text(CString& s)
{
    const UNICODE_STRING* u = s;
    return u->Buffer != NULL ? std::u16string(u->Buffer, u->Length / 2) : std::u16string();
}

static bool Terminated(CString& s)
{
    const UNICODE_STRING* u = s;
    return u->Buffer != NULL && u->MaximumLength >= u->Length + 2 && u->Buffer[u->Length / 2] == 0;
}

TEST_F(SupportFixture, StringLengthsAndTermination)
{
    struct CASE {
        const char* Name;
        const WCHAR* Source;
        USHORT Length, MaximumLength;
    };
    // A string gets its measured MaximumLength (Length + 2) plus two bytes;
    // none gets a two-byte buffer holding only the terminator.
    const CASE cases[] = {
        {"ab", u"ab", 4, 8},
        {"empty", u"", 0, 4},
        {"none", NULL, 0, 2},
        {"seven", u"KivSdp0", 14, 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        CString s(c.Source);
        const UNICODE_STRING* u = s;
        EXPECT_EQ(u->Length, c.Length);
        EXPECT_EQ(u->MaximumLength, c.MaximumLength);
        EXPECT_TRUE(Terminated(s));
        EXPECT_EQ(bool(s.IsEmpty()), c.Length == 0);
    }
    EXPECT_EQ(kivrt::PoolBlocks(NORN_POOL_TAG), 0u);
}

TEST_F(SupportFixture, StringFromNumberUsesTheBase)
{
    struct CASE {
        ULONG Value, Base;
        std::u16string Expected;
    };
    const CASE cases[] = {{255, 16, u"FF"}, {0, 10, u"0"},  {4294967295u, 10, u"4294967295"},
                          {8, 8, u"10"},    {5, 2, u"101"}, {37, 0, u"37"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        CString s(c.Value, c.Base);
        EXPECT_EQ(Text(s), c.Expected);
        EXPECT_EQ(static_cast<const UNICODE_STRING*>(s)->MaximumLength, 22);
        EXPECT_TRUE(Terminated(s));
    }
}

TEST_F(SupportFixture, StringCopyAssignAndEquality)
{
    CString a(u"alpha");
    CString copy(a);
    EXPECT_TRUE(copy == a);
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(copy)->MaximumLength,
              static_cast<const UNICODE_STRING*>(a)->MaximumLength);
    EXPECT_FALSE(CString(u"Alpha") == a); // case-sensitive
    EXPECT_FALSE(CString(u"alph") == a);

    // Assigning an equal string changes nothing and allocates nothing.
    const WCHAR* before = static_cast<const UNICODE_STRING*>(a)->Buffer;
    CString equal(u"alpha");
    size_t blocks = kivrt::PoolBlocks(NORN_POOL_TAG);
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 100);
    a = equal;
    CString& self = a; // assignment to itself, through a second name
    a = self;
    kivrt::ClearFailureInjection();
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(a)->Buffer, before);
    EXPECT_EQ(kivrt::PoolBlocks(NORN_POOL_TAG), blocks);

    // A shorter string fits in place; a longer one moves to Length + 2 bytes.
    a = CString(u"be");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(a)->Buffer, before);
    EXPECT_EQ(Text(a), u"be");
    EXPECT_TRUE(Terminated(a));
    a = CString(u"much longer text");
    EXPECT_EQ(Text(a), u"much longer text");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(a)->MaximumLength, 34);
    EXPECT_TRUE(Terminated(a));

    CString none;
    CString copyOfNone(none);
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(copyOfNone)->Buffer, nullptr);
}

TEST_F(SupportFixture, StringAppendInPlaceOrToExactSize)
{
    CString s(u"ab"); // Length 4, MaximumLength 8: room for one more character
    const WCHAR* before = static_cast<const UNICODE_STRING*>(s)->Buffer;
    s += CString(u"c");
    EXPECT_EQ(Text(s), u"abc");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(s)->Buffer, before);
    EXPECT_TRUE(Terminated(s));
    s += CString(u"de");
    EXPECT_EQ(Text(s), u"abcde");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(s)->MaximumLength, 12);
    EXPECT_TRUE(Terminated(s));

    CString joined = Concatenate(CString(u"\\Device\\"), CString(u"X"));
    EXPECT_EQ(Text(joined), u"\\Device\\X");
    EXPECT_TRUE(Terminated(joined));
}

TEST_F(SupportFixture, StringAllocationFailuresLeaveTheStringAsItWas)
{
    CString s(u"keep");
    const WCHAR* before = static_cast<const UNICODE_STRING*>(s)->Buffer;
    CString longer(u"a longer replacement");
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    s = longer;
    EXPECT_EQ(Text(s), u"keep");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(s)->Buffer, before);
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    s += longer;
    EXPECT_EQ(Text(s), u"keep");
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    CString failed(u"x");
    EXPECT_EQ(static_cast<const UNICODE_STRING*>(failed)->Buffer, nullptr);
    EXPECT_TRUE(failed.IsEmpty());
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    CString none = Concatenate(s, longer);
    EXPECT_TRUE(none.IsEmpty());
    kivrt::ClearFailureInjection();

    EXPECT_TRUE(Printed("Norn:CString::operator= ***ExAllocatePoolWithTag(42)\n"));
    EXPECT_TRUE(Printed("Norn:CString::operator+= ***ExAllocatePoolWithTag(50)\n"));
    EXPECT_TRUE(Printed("Norn:CString::CString ***ExAllocatePoolWithTag(6)\n"));
    EXPECT_TRUE(Printed("Norn:CString::Concatenate ***ExAllocatePoolWithTag(50)\n"));
}

TEST_F(SupportFixture, StringMovesToNonPagedPool)
{
    CString s(u"name");
    s.ConvertToNonPagedPool();
    EXPECT_EQ(Text(s), u"name");
    EXPECT_TRUE(Terminated(s));
    bool nonPaged = false;
    for (const auto& usage : kivrt::PoolUsage()) {
        if (usage.Tag == NORN_POOL_TAG)
            nonPaged = usage.NonPagedBlocks == 1 && usage.PagedBlocks == 0;
    }
    EXPECT_TRUE(nonPaged);
    kivrt::FailPoolAllocations(NORN_POOL_TAG, 0, 1);
    s.ConvertToNonPagedPool(); // a failure keeps the current buffer silently
    kivrt::ClearFailureInjection();
    EXPECT_EQ(Text(s), u"name");
}

TEST_F(SupportFixture, MemoryListReusesFreedBlocksUpToItsDepth)
{
    const ULONG tag = kivrt::MakeTag("Tst1");
    CMemoryList* list = new CMemoryList(64, 2, tag);
    ASSERT_NE(list, nullptr);
    PVOID a = list->Allocate();
    PVOID b = list->Allocate();
    PVOID c = list->Allocate();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(kivrt::PoolBlocks(tag), 3u);
    list->Free(a);
    list->Free(b);
    list->Free(c); // the cache holds two: the third goes back to the pool
    EXPECT_EQ(kivrt::PoolBlocks(tag), 2u);
    PVOID again = list->Allocate();
    EXPECT_TRUE(again == a || again == b);
    EXPECT_EQ(kivrt::PoolBlocks(tag), 2u);
    list->Free(again);
    delete list;
    EXPECT_EQ(kivrt::PoolBlocks(tag), 0u);
}

static void CountingWorkItem(PVOID Parameter)
{
    auto* block = static_cast<NORN_WORK_ITEM_CONTEXT*>(Parameter);
    auto* thread = static_cast<CThread*>(block->Context);
    g_Log.push_back(KeGetCurrentIrql() == PASSIVE_LEVEL ? "work at passive" : "work raised");
    thread->FreeWorkItem(block);
}

TEST_F(SupportFixture, ThreadRunsWorkItemsWithTheirContext)
{
    CThread* thread = new CThread(2, NORN_UNIT_POOL_TAG);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->CreateWorkItem(CountingWorkItem, thread, DelayedWorkQueue), STATUS_SUCCESS);
    EXPECT_EQ(thread->CreateWorkItem(CountingWorkItem, thread, CriticalWorkQueue), STATUS_SUCCESS);
    EXPECT_TRUE(g_Log.empty()); // nothing runs before the host drains the queues
    EXPECT_EQ(kivrt::DrainWorkItems(), 2u);
    EXPECT_EQ(Joined(g_Log), "work at passive\nwork at passive\n");
    delete thread;

    CThread* none = new CThread(0, NORN_UNIT_POOL_TAG);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->CreateWorkItem(CountingWorkItem, none, DelayedWorkQueue),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kivrt::PendingWorkItems(), 0u);
    delete none;

    CThread* starved = new CThread(1, NORN_UNIT_POOL_TAG);
    ASSERT_NE(starved, nullptr);
    kivrt::FailPoolAllocations(NORN_UNIT_POOL_TAG, 0, 1);
    EXPECT_EQ(starved->CreateWorkItem(CountingWorkItem, starved, DelayedWorkQueue),
              STATUS_INSUFFICIENT_RESOURCES);
    kivrt::ClearFailureInjection();
    EXPECT_EQ(kivrt::PendingWorkItems(), 0u);
    delete starved;
}

// Its order, removal and the empty Dequeue that ends a replay are the stalled-IRP tests'
// (pnp_test); here what they cannot see: the previous tail that Enqueue returns.
TEST_F(SupportFixture, InterlockedQueueEnqueueReportsThePreviousTail)
{
    PIRP first = IoAllocateIrp(1, FALSE);
    PIRP second = IoAllocateIrp(1, FALSE);
    ASSERT_TRUE(first && second);
    {
        CInterlockedQueue queue;
        EXPECT_EQ(queue.Enqueue(first), nullptr);
        EXPECT_EQ(queue.Enqueue(second), first);
    }
    IoFreeIrp(first);
    IoFreeIrp(second);
}
