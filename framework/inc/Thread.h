// Work-item runner of the driver framework: queues routines to the system
// worker threads, with the work-item blocks taken from its own CMemoryList.
#pragma once

#include "MemList.h"

// One work-item block. The worker routine receives the block itself and reads
// the creator's context from it; it must hand the block back with FreeWorkItem.
struct NORN_WORK_ITEM_CONTEXT {
    WORK_QUEUE_ITEM WorkItem;
    PVOID Context;
};

class CThread {
public:
    // Depth 0 (or a block list that cannot be made) leaves the runner without
    // blocks: every CreateWorkItem then fails with STATUS_INSUFFICIENT_RESOURCES.
    CThread(USHORT Depth, ULONG PoolTag);
    virtual ~CThread();

    // Up to DISPATCH_LEVEL. The routine runs later at PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS CreateWorkItem(PWORKER_THREAD_ROUTINE Routine, PVOID Context,
                                          WORK_QUEUE_TYPE QueueType);

    void FreeWorkItem(NORN_WORK_ITEM_CONTEXT* pWorkItemContext)
    {
        NORN_ASSERT(pWorkItemContext != NULL);
        if (pWorkItemContext != NULL && m_pMemoryList != NULL)
            m_pMemoryList->Free(pWorkItemContext);
    }

    static void* operator new(size_t Size) noexcept;
    static void operator delete(void* p);

private:
    CMemoryList* m_pMemoryList;
};
