// Work-item runner of the driver framework.
#include "Thread.h"

void* CThread::operator new(size_t Size) noexcept
{
    return ExAllocatePoolWithTag(NonPagedPool, Size, NORN_POOL_TAG);
}

void CThread::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}

CThread::CThread(USHORT Depth, ULONG PoolTag) : m_pMemoryList(NULL)
{
    if (Depth != 0) {
        m_pMemoryList = new CMemoryList(sizeof(NORN_WORK_ITEM_CONTEXT), Depth, PoolTag);
    }
}

CThread::~CThread()
{
    delete m_pMemoryList;
    m_pMemoryList = NULL;
}

NTSTATUS CThread::CreateWorkItem(PWORKER_THREAD_ROUTINE Routine, PVOID Context,
                                 WORK_QUEUE_TYPE QueueType)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (m_pMemoryList == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NORN_WORK_ITEM_CONTEXT* pBlock =
        static_cast<NORN_WORK_ITEM_CONTEXT*>(m_pMemoryList->Allocate());
    if (pBlock == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // The routine gets the block itself and finds the creator's context in it.
    ExInitializeWorkItem(&pBlock->WorkItem, Routine, pBlock);
    pBlock->Context = Context;
    ExQueueWorkItem(&pBlock->WorkItem, QueueType);
    return STATUS_SUCCESS;
}
