// Pool of fixed-size non-paged blocks of the driver framework, over the
// kernel's non-paged lookaside list: the data path takes its blocks from here
// at any IRQL up to DISPATCH_LEVEL without a pool allocation per use.
#pragma once

#include "NornDebug.h"

class CMemoryList {
public:
    CMemoryList(ULONG BlockSize, USHORT Depth, ULONG PoolTag);
    virtual ~CMemoryList();

    // A block (not zeroed) or NULL when memory is exhausted.
    PVOID Allocate();
    void Free(PVOID pBlock);

    // The object itself lives in non-paged pool ("Norn"); NULL skips the constructor.
    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);

private:
    NPAGED_LOOKASIDE_LIST m_List;
};
