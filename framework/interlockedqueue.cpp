// FIFO of IRPs under a spin lock, used for the IRPs a device stalls.
#include "IrpQueue.h"

CInterlockedQueue::CInterlockedQueue()
{
    NORN_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    InitializeListHead(&m_ListHead);
    KeInitializeSpinLock(&m_ListLock);
}

PIRP CInterlockedQueue::Enqueue(PIRP pIrp)
{
    NORN_ASSERT(pIrp != NULL);
    if (pIrp == NULL) return NULL;
    PLIST_ENTRY pPrevious =
        ExInterlockedInsertTailList(&m_ListHead, &pIrp->Tail.Overlay.ListEntry, &m_ListLock);
    return pPrevious != NULL ? CONTAINING_RECORD(pPrevious, IRP, Tail.Overlay.ListEntry) : NULL;
}

PIRP CInterlockedQueue::Dequeue(PIRP* ppIrp)
{
    PLIST_ENTRY pEntry = ExInterlockedRemoveHeadList(&m_ListHead, &m_ListLock);
    PIRP pIrp = pEntry != NULL ? CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry) : NULL;
    *ppIrp = pIrp;
    return pIrp;
}

VOID CInterlockedQueue::RemoveEntry(PIRP pIrp)
{
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
}
