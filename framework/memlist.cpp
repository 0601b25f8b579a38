// Fixed-size block pool of the driver framework.
#include "MemList.h"

void* CMemoryList::operator new(size_t Size) noexcept
{
    return ExAllocatePoolWithTag(NonPagedPool, Size, NORN_POOL_TAG);
}

void CMemoryList::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}

CMemoryList::CMemoryList(ULONG BlockSize, USHORT Depth, ULONG PoolTag)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    ExInitializeNPagedLookasideList(&m_List, NULL, NULL, 0, BlockSize, PoolTag, Depth);
}

CMemoryList::~CMemoryList()
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    ExDeleteNPagedLookasideList(&m_List);
}

PVOID CMemoryList::Allocate()
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    return ExAllocateFromNPagedLookasideList(&m_List);
}

void CMemoryList::Free(PVOID pBlock)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    ExFreeToNPagedLookasideList(&m_List, pBlock);
}
