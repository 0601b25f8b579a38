// Executive pool with tags and per-tag accounting, canaries and a poisoned quarantine for freed
// blocks, and the non-paged lookaside lists built on it.
#include "internal.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_set>

namespace {

constexpr uint64_t LIVE_MAGIC = 0x4C4F4F5045564C4CULL; // "LLVEPOOL"
constexpr uint64_t FREE_MAGIC = 0x4C4F4F5045455246ULL; // "FREEPOOL"
constexpr uint64_t FRONT_CANARY = 0xC0DEFACEFEEDBEEFULL;
constexpr uint8_t BACK_CANARY = 0xAB;
constexpr uint8_t FREED_POISON = 0xFB;
constexpr size_t BACK_CANARY_SIZE = 16;
constexpr size_t QUARANTINE_BLOCKS = 256;

struct alignas(16) POOL_HEADER {
    uint64_t Magic;
    size_t Size;
    ULONG Tag;
    uint8_t Paged;
    uint8_t System;
    PDRIVER_OBJECT Owner;
    uint64_t FrontCanary;
};
static_assert(sizeof(POOL_HEADER) % 16 == 0, "blocks stay 16-aligned");

struct POOL_STATE {
    std::mutex M;
    std::unordered_set<const void*> Live; // user pointers
    std::unordered_set<const void*> Quarantined;
    std::deque<POOL_HEADER*> Quarantine;
    std::map<ULONG, kivrt::POOL_TAG_USAGE> Usage;
};

POOL_STATE& Pool()
{
    static POOL_STATE* S = new POOL_STATE;
    return *S;
}

POOL_HEADER* HeaderOf(const void* P)
{
    return (POOL_HEADER*)((const char*)P - sizeof(POOL_HEADER));
}

void* DataOf(POOL_HEADER* H)
{
    return (char*)H + sizeof(POOL_HEADER);
}

void Account(POOL_STATE& S, const POOL_HEADER* H, int Sign)
{
    kivrt::POOL_TAG_USAGE& U = S.Usage[H->Tag];
    U.Tag = H->Tag;
    if (H->Paged) {
        U.PagedBlocks += Sign;
        U.PagedBytes += Sign * (long)H->Size;
    } else {
        U.NonPagedBlocks += Sign;
        U.NonPagedBytes += Sign * (long)H->Size;
    }
    if (U.PagedBlocks == 0 && U.NonPagedBlocks == 0) S.Usage.erase(H->Tag);
}

PVOID Allocate(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag, bool System)
{
    auto* H = (POOL_HEADER*)std::aligned_alloc(
        16, (sizeof(POOL_HEADER) + Bytes + BACK_CANARY_SIZE + 15) & ~size_t(15));
    if (H == nullptr) return nullptr;
    H->Magic = LIVE_MAGIC;
    H->Size = Bytes;
    H->Tag = Tag;
    H->Paged = (Type & 1) != 0;
    H->System = System;
    H->Owner = System ? nullptr : CurrentThread()->CurrentDriver;
    H->FrontCanary = FRONT_CANARY;
    void* P = DataOf(H);
    // Unzeroed memory, as the kernel gives it: a pattern makes reliance on zeroes visible.
    std::memset(P, 0xCD, Bytes);
    std::memset((char*)P + Bytes, BACK_CANARY, BACK_CANARY_SIZE);
    POOL_STATE& S = Pool();
    std::lock_guard<std::mutex> G(S.M);
    S.Live.insert(P);
    Account(S, H, +1);
    return P;
}

// Moves a freed block into the quarantine; the oldest one leaves it, checked for writes made
// after it was freed.
void Quarantine(POOL_STATE& S, POOL_HEADER* H, std::vector<POOL_HEADER*>* Evicted)
{
    S.Quarantine.push_back(H);
    S.Quarantined.insert(DataOf(H));
    while (S.Quarantine.size() > QUARANTINE_BLOCKS) {
        POOL_HEADER* Old = S.Quarantine.front();
        S.Quarantine.pop_front();
        S.Quarantined.erase(DataOf(Old));
        Evicted->push_back(Old);
    }
}

// The offset of the first byte of P that is not the freed poison, or Size. Every free evicts a
// block, so the scan goes a chunk at a time through memcmp and looks at single bytes only in
// the chunk that differs.
size_t FirstUnpoisoned(const uint8_t* P, size_t Size)
{
    static const auto Poison = [] {
        std::array<uint8_t, 256> Chunk;
        Chunk.fill(FREED_POISON);
        return Chunk;
    }();
    size_t i = 0;
    while (i < Size) {
        size_t n = std::min(Poison.size(), Size - i);
        if (std::memcmp(P + i, Poison.data(), n) != 0) break;
        i += n;
    }
    while (i < Size && P[i] == FREED_POISON)
        i++;
    return i;
}

void ReleaseEvicted(const std::vector<POOL_HEADER*>& Evicted)
{
    for (POOL_HEADER* H : Evicted) {
        const auto* P = (const uint8_t*)DataOf(H);
        size_t i = FirstUnpoisoned(P, H->Size);
        if (i < H->Size)
            VfError("use-after-free", 0xC4, 0,
                    "pool block %p (tag '%s', %zu bytes) was "
                    "written at offset %zu after it was freed",
                    (const void*)P, kivrt::TagText(H->Tag).c_str(), H->Size, i);
        std::free(H);
    }
}

bool Free(PVOID P, const char* Call, bool CheckTag, ULONG Tag)
{
    if (P == nullptr) {
        VfError("bad-free", 0xC4, 0x10, "%s(NULL)", Call);
        return false;
    }
    POOL_STATE& S = Pool();
    POOL_HEADER* H = HeaderOf(P);
    std::vector<POOL_HEADER*> Evicted;
    {
        std::unique_lock<std::mutex> G(S.M);
        if (S.Live.count(P) == 0) {
            bool Double = S.Quarantined.count(P) != 0;
            const void* IrpBlock = (const char*)P - IrpPrivateSpan();
            bool IsIrp =
                !Double && S.Live.count(IrpBlock) != 0 && HeaderOf(IrpBlock)->Tag == kivrt::TAG_IRP;
            G.unlock();
            if (IsIrp)
                VfError("bad-free", 0xC4, 0x105, "%s(%p): the block is an IRP; use IoFreeIrp", Call,
                        P);
            else if (Double)
                VfError("double-free", 0xC4, 0x13, "%s(%p): the block was already freed", Call, P);
            else
                VfError("bad-free", 0xC4, 0x14, "%s(%p): not the start of a pool block", Call, P);
            return false;
        }
        if (H->FrontCanary != FRONT_CANARY || H->Magic != LIVE_MAGIC)
            VfError("pool-underrun", 0xC4, 0,
                    "%s(%p): the block's header (tag '%s') was "
                    "overwritten",
                    Call, P, kivrt::TagText(H->Tag).c_str());
        const auto* Back = (const uint8_t*)P + H->Size;
        for (size_t i = 0; i < BACK_CANARY_SIZE; i++) {
            if (Back[i] != BACK_CANARY) {
                VfError("pool-overrun", 0xC4, 0,
                        "%s(%p): %zu-byte block (tag '%s') was written "
                        "past its end",
                        Call, P, H->Size, kivrt::TagText(H->Tag).c_str());
                break;
            }
        }
        if (CheckTag && H->Tag != Tag)
            VfError("pool-tag-mismatch", 0xC4, 0,
                    "ExFreePoolWithTag(%p, '%s'): the block has "
                    "tag '%s'",
                    P, kivrt::TagText(Tag).c_str(), kivrt::TagText(H->Tag).c_str());
        if (H->Paged && KeGetCurrentIrql() > APC_LEVEL)
            VfError("irql", 0xC4, 0x11, "%s(%p) of paged pool at IRQL %u", Call, P,
                    KeGetCurrentIrql());
        if (!H->Paged && KeGetCurrentIrql() > DISPATCH_LEVEL)
            VfError("irql", 0xC4, 0x12, "%s(%p) at IRQL %u", Call, P, KeGetCurrentIrql());
        S.Live.erase(P);
        Account(S, H, -1);
        H->Magic = FREE_MAGIC;
    }
    PoolCheckFreedRange(P, H->Size);
    VfForgetLocksIn(P, H->Size);
    std::memset(P, FREED_POISON, H->Size);
    {
        std::lock_guard<std::mutex> G(S.M);
        Quarantine(S, H, &Evicted);
    }
    ReleaseEvicted(Evicted);
    return true;
}

} // namespace

size_t IrpPrivateSpan()
{
    return (sizeof(IRP_PRIVATE) + 15) & ~size_t(15);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    bool Paged = (PoolType & 1) != 0;
    if (Paged)
        VfIrqlAtMost(APC_LEVEL, "ExAllocatePoolWithTag(PagedPool)", 0x01);
    else
        VfIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag(NonPagedPool)", 0x02);
    if (NumberOfBytes == 0) {
        VfError("zero-size-allocation", 0xC4, 0x00, "ExAllocatePoolWithTag of 0 bytes, tag '%s'",
                kivrt::TagText(Tag).c_str());
        return nullptr;
    }
    if (InjectFailure(INJECT_KIND::Pool, Tag)) return nullptr;
    return Allocate(PoolType, NumberOfBytes, Tag, false);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kivrt::MakeTag("None"));
}

VOID ExFreePool(PVOID P)
{
    Free(P, "ExFreePool", false, 0);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Free(P, "ExFreePoolWithTag", true, Tag);
}

PVOID PoolAllocateSystem(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag, bool ChargeDriver)
{
    return Allocate(Type, Bytes ? Bytes : 1, Tag, !ChargeDriver);
}

void PoolFreeSystem(PVOID P)
{
    Free(P, "ExFreePool", false, 0);
}

bool PoolIsLiveBlock(const void* P, ULONG* Tag)
{
    POOL_STATE& S = Pool();
    std::lock_guard<std::mutex> G(S.M);
    if (S.Live.count(P) == 0) return false;
    if (Tag) *Tag = HeaderOf(P)->Tag;
    return true;
}

size_t PoolReportDriverLeaks(PDRIVER_OBJECT Driver)
{
    std::map<ULONG, std::pair<size_t, size_t>> Leaks;
    {
        POOL_STATE& S = Pool();
        std::lock_guard<std::mutex> G(S.M);
        for (const void* P : S.Live) {
            POOL_HEADER* H = HeaderOf(P);
            if (H->Owner != Driver) continue;
            Leaks[H->Tag].first++;
            Leaks[H->Tag].second += H->Size;
            H->Owner = nullptr; // reported once
        }
    }
    size_t Blocks = 0;
    for (auto& [Tag, Count] : Leaks) {
        VfError("pool-leak", 0xC4, 0x62,
                "driver %s unloaded with %zu block(s), %zu bytes, still allocated under tag '%s'",
                DriverName(Driver).c_str(), Count.first, Count.second, kivrt::TagText(Tag).c_str());
        Blocks += Count.first;
    }
    return Blocks;
}

void PoolReset()
{
    POOL_STATE& S = Pool();
    std::vector<POOL_HEADER*> Evicted;
    {
        std::lock_guard<std::mutex> G(S.M);
        // Nothing may use runtime memory across a reset.
        for (const void* P : S.Live)
            Evicted.push_back(HeaderOf(P));
        S.Live.clear();
        S.Usage.clear();
        Evicted.insert(Evicted.end(), S.Quarantine.begin(), S.Quarantine.end());
        S.Quarantine.clear();
        S.Quarantined.clear();
    }
    for (POOL_HEADER* H : Evicted)
        std::free(H);
}

namespace kivrt {

std::vector<POOL_TAG_USAGE> PoolUsage()
{
    POOL_STATE& S = Pool();
    std::lock_guard<std::mutex> G(S.M);
    std::vector<POOL_TAG_USAGE> Out;
    for (auto& [Tag, U] : S.Usage)
        Out.push_back(U);
    return Out;
}

size_t PoolBlocks(ULONG Tag)
{
    POOL_STATE& S = Pool();
    std::lock_guard<std::mutex> G(S.M);
    auto It = S.Usage.find(Tag);
    return It == S.Usage.end() ? 0 : It->second.PagedBlocks + It->second.NonPagedBlocks;
}

size_t PoolBlocksTotal()
{
    POOL_STATE& S = Pool();
    std::lock_guard<std::mutex> G(S.M);
    return S.Live.size();
}

} // namespace kivrt

// ---------------------------------------------------------------------------------------------
// Lookaside lists. Future[0] marks the list's state, Future[1] counts cached blocks; the blocks
// handed out and not yet returned are TotalAllocates - TotalFrees.

namespace {

constexpr ULONG LIST_LIVE = 0x4556494C;    // "LIVE"
constexpr ULONG LIST_DELETED = 0x444C4544; // "DELD"

struct LOOKASIDE_STATE {
    std::mutex M;
    std::map<const void*, PDRIVER_OBJECT> Lists; // live lists and their owners
};

LOOKASIDE_STATE& LookasideState()
{
    static LOOKASIDE_STATE* S = new LOOKASIDE_STATE;
    return *S;
}

bool ListUsable(PNPAGED_LOOKASIDE_LIST L, const char* Call)
{
    ULONG State = __atomic_load_n(&L->L.Future[0], __ATOMIC_ACQUIRE);
    if (State == LIST_LIVE) return true;
    if (State == LIST_DELETED)
        VfError("lookaside-deleted", 0, 0, "%s(%p): the lookaside list was deleted", Call,
                (void*)L);
    else
        VfError("lookaside-uninitialised", 0xCB, 0,
                "%s(%p): the lookaside list was never "
                "initialised",
                Call, (void*)L);
    return false;
}

} // namespace

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth)
{
    (void)Flags;
    VfIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList", 0);
    LOOKASIDE_STATE& S = LookasideState();
    {
        std::lock_guard<std::mutex> G(S.M);
        if (S.Lists.count(Lookaside) != 0 && Lookaside->L.Future[0] == LIST_LIVE) {
            VfError("lookaside-double-init", 0xCA, 0,
                    "ExInitializeNPagedLookasideList(%p): the list is already initialised",
                    (void*)Lookaside);
            return;
        }
        S.Lists[Lookaside] = CurrentThread()->CurrentDriver;
    }
    if (Size < sizeof(SINGLE_LIST_ENTRY)) {
        VfError("lookaside-size", 0xCD, Size,
                "ExInitializeNPagedLookasideList(%p): block size %zu is smaller than a pointer",
                (void*)Lookaside, (size_t)Size);
        Size = sizeof(SINGLE_LIST_ENTRY);
    }
    GENERAL_LOOKASIDE& L = Lookaside->L;
    L.ListHead.Next = nullptr;
    L.Depth = Depth ? Depth : 4;
    L.MaximumDepth = L.Depth;
    L.TotalAllocates = L.AllocateMisses = L.TotalFrees = L.FreeMisses = 0;
    L.Type = NonPagedPool;
    L.Tag = Tag;
    L.Size = ULONG(Size);
    L.Allocate = Allocate;
    L.Free = Free;
    InitializeListHead(&L.ListEntry);
    L.LastTotalAllocates = L.LastAllocateMisses = 0;
    L.Future[1] = 0;
    Lookaside->Lock = 0;
    __atomic_store_n(&L.Future[0], LIST_LIVE, __ATOMIC_RELEASE);
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList", 0);
    if (!ListUsable(Lookaside, "ExDeleteNPagedLookasideList")) return;
    GENERAL_LOOKASIDE& L = Lookaside->L;
    RawLockAcquire(&Lookaside->Lock);
    PSINGLE_LIST_ENTRY Cached = L.ListHead.Next;
    L.ListHead.Next = nullptr;
    L.Future[1] = 0;
    ULONG Outstanding = L.TotalAllocates - L.TotalFrees;
    __atomic_store_n(&L.Future[0], LIST_DELETED, __ATOMIC_RELEASE);
    RawLockRelease(&Lookaside->Lock);
    while (Cached != nullptr) {
        PSINGLE_LIST_ENTRY Next = Cached->Next;
        if (L.Free)
            L.Free(Cached);
        else
            ExFreePool(Cached);
        Cached = Next;
    }
    if (Outstanding != 0)
        VfError("lookaside-leak", 0, Outstanding,
                "ExDeleteNPagedLookasideList(%p): %u block(s) "
                "of tag '%s' are still allocated from the list",
                (void*)Lookaside, Outstanding, kivrt::TagText(L.Tag).c_str());
    LOOKASIDE_STATE& S = LookasideState();
    std::lock_guard<std::mutex> G(S.M);
    S.Lists.erase(Lookaside);
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList", 0);
    if (!ListUsable(Lookaside, "ExAllocateFromNPagedLookasideList")) return nullptr;
    GENERAL_LOOKASIDE& L = Lookaside->L;
    RawLockAcquire(&Lookaside->Lock);
    PSINGLE_LIST_ENTRY Block = PopEntryList(&L.ListHead);
    if (Block != nullptr) {
        L.Future[1]--;
        L.TotalAllocates++;
        RawLockRelease(&Lookaside->Lock);
        return Block;
    }
    L.AllocateMisses++;
    RawLockRelease(&Lookaside->Lock);
    PVOID New = L.Allocate ? L.Allocate(L.Type, L.Size, L.Tag)
                           : ExAllocatePoolWithTag(L.Type, L.Size, L.Tag);
    if (New != nullptr) {
        RawLockAcquire(&Lookaside->Lock);
        L.TotalAllocates++;
        RawLockRelease(&Lookaside->Lock);
    }
    return New;
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList", 0);
    if (!ListUsable(Lookaside, "ExFreeToNPagedLookasideList")) return;
    GENERAL_LOOKASIDE& L = Lookaside->L;
    RawLockAcquire(&Lookaside->Lock);
    L.TotalFrees++;
    if (L.Future[1] < L.Depth) {
        PushEntryList(&L.ListHead, (PSINGLE_LIST_ENTRY)Entry);
        L.Future[1]++;
        RawLockRelease(&Lookaside->Lock);
        return;
    }
    L.FreeMisses++;
    RawLockRelease(&Lookaside->Lock);
    if (L.Free)
        L.Free(Entry);
    else
        ExFreePool(Entry);
}

size_t LookasideReportDriverLeaks(PDRIVER_OBJECT Driver)
{
    std::vector<const void*> Left;
    {
        LOOKASIDE_STATE& S = LookasideState();
        std::lock_guard<std::mutex> G(S.M);
        for (auto It = S.Lists.begin(); It != S.Lists.end();) {
            if (It->second == Driver) {
                Left.push_back(It->first);
                It = S.Lists.erase(It);
            } else {
                ++It;
            }
        }
    }
    for (const void* L : Left)
        VfError("lookaside-left", 0, 0,
                "driver %s unloaded with lookaside list %p still "
                "initialised",
                DriverName(Driver).c_str(), L);
    return Left.size();
}

void LookasideReset()
{
    LOOKASIDE_STATE& S = LookasideState();
    std::lock_guard<std::mutex> G(S.M);
    S.Lists.clear();
}

void PoolCheckFreedRange(const void* P, size_t Size)
{
    const char* Begin = (const char*)P;
    const char* End = Begin + Size;
    {
        LOOKASIDE_STATE& S = LookasideState();
        std::lock_guard<std::mutex> G(S.M);
        auto It = S.Lists.lower_bound(Begin);
        if (It != S.Lists.end() && (const char*)It->first < End)
            VfError("lookaside-freed", 0xCC, 0,
                    "ExFreePool(%p): the block holds the live "
                    "lookaside list %p",
                    P, It->first);
    }
    if (WorkItemQueuedIn(P, Size))
        VfError("work-item-freed", 0, 0,
                "ExFreePool(%p): the block holds a work item that is "
                "still queued",
                P);
}
