// WMI handler of the framework's plug-and-play device: allocation only; the
// dispatch routine is inline in its header.
#include "Wmi.h"

void* CWmi::operator new(size_t Size) noexcept
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    void* p = ExAllocatePoolWithTag(PagedPool, Size, NORN_POOL_TAG);
    if (p == NULL) {
        DbgPrint("Norn:CWmi::operator new ***ExAllocatePoolWithTag(PagedPool, failed\n");
        return NULL;
    }
    RtlZeroMemory(p, Size);
    return p;
}

void CWmi::operator delete(void* p)
{
    NORN_ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    if (p != NULL) ExFreePool(p);
}
