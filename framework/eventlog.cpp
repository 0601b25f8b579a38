// Event-log holder of the driver framework.
#include "EventLog.h"

void* CEventLog::operator new(size_t Size) noexcept
{
    return ExAllocatePoolWithTag(NonPagedPool, Size, NORN_POOL_TAG);
}

void CEventLog::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}
