// Host hooks of the SDP core: zone-gated debug print and the pool.
#include "sdpdebug.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "bytes.h"
#include "kivsdpioctl.h"

namespace {

void* HeapAllocate(void*, size_t NumberOfBytes, uint32_t)
{
    return std::malloc(NumberOfBytes);
}
void HeapFree(void*, void* Block, uint32_t)
{
    std::free(Block);
}

SDP_HOST_HOOKS g_Hooks = {nullptr, nullptr, HeapAllocate, HeapFree};

void VPrint(uint32_t Zone, const char* Format, va_list Args)
{
    if (g_Hooks.DebugPrint) g_Hooks.DebugPrint(g_Hooks.Context, Zone, Format, Args);
}

} // namespace

// Read on every message from any thread; relaxed is enough for a setting.
std::atomic<uint32_t> g_SdpZoneMask{SDP_ZONE_DEFAULT_MASK};

void SdpSetHostHooks(const SDP_HOST_HOOKS* pHooks)
{
    SDP_HOST_HOOKS Hooks = pHooks ? *pHooks : SDP_HOST_HOOKS{nullptr, nullptr, nullptr, nullptr};
    // Allocate and free only come as a pair; otherwise the C heap serves both.
    if (!Hooks.PoolAllocate || !Hooks.PoolFree) {
        Hooks.PoolAllocate = HeapAllocate;
        Hooks.PoolFree = HeapFree;
    }
    g_Hooks = Hooks;
}

void SdpSetZoneMask(uint32_t Mask)
{
    g_SdpZoneMask.store(Mask, std::memory_order_relaxed);
}

uint32_t SdpGetZoneMask()
{
    return g_SdpZoneMask.load(std::memory_order_relaxed);
}

static bool ZoneOn(uint32_t Zone)
{
    return Zone == SDP_ZONE_ALWAYS || (SdpGetZoneMask() & Zone) != 0;
}

void SdpDbgPrintZone(uint32_t Zone, const char* Format, ...)
{
    if (!g_Hooks.DebugPrint) return;
    va_list Args;
    va_start(Args, Format);
    VPrint(Zone, Format, Args);
    va_end(Args);
}

SDP_STATUS SdpIoctlSetDebugZoneMask(const uint8_t* pInput, uint32_t InputLength)
{
    static const char* const ZoneNames[8] = {"SDP_ZONE_INFO_MASK",     "SDP_ZONE_WARN_MASK",
                                             "SDP_ZONE_ERROR_MASK",    "SDP_ZONE_READ_WRITE_MASK",
                                             "SDP_ZONE_DATABASE_MASK", "SDP_ZONE_STATUS_MASK",
                                             "SDP_ZONE_SEARCH_MASK",   "SDP_ZONE_DUMP_MASK"};

    SdpDbgPrint(SDP_ZONE_INFO_MASK, "kivsdp : IoctlSetDebugZoneMask()..\n");
    if (InputLength != 4 || !pInput) {
        SdpDbgPrint(SDP_ZONE_ERROR_MASK,
                    "kivsdp : IoctlSetDebugZoneMask() - Inbuf size 0x%x expected. Got 0x%x\n", 4u,
                    InputLength);
        return SDP_STATUS_INVALID_PARAMETER;
    }
    // Bits above 0x80 are kept as given; no message uses them.
    CByteReader In(pInput, InputLength);
    const uint32_t Mask = In.ReadLe32();
    SdpSetZoneMask(Mask);
    for (uint32_t Bit = 0; Bit < 8; Bit++) {
        const uint32_t Zone = 1u << Bit;
        if (Mask & Zone)
            SdpDbgPrint(Zone, "kivsdp : IoctlSetDebugZoneMask() - %s enabled!!\n", ZoneNames[Bit]);
    }
    return SDP_STATUS_SUCCESS;
}

void SdpAssertFailed(const char* Condition, int Line, const char* File)
{
    SdpDbgPrint(SDP_ZONE_ALWAYS, "NORN ASSERT:  %s on line %d in %s\n", Condition, Line, File);
}

void SdpDumpBytes(uint32_t Zone, const char* Title, const uint8_t* p, uint32_t Len)
{
    if (!ZoneOn(Zone) || !g_Hooks.DebugPrint) return;
    SdpDbgPrint(Zone, "%s", Title);
    for (uint32_t i = 0; i < Len; i++)
        SdpDbgPrint(Zone, "%02X ", p[i]);
    SdpDbgPrint(Zone, "\n");
}

void* SdpPoolAllocate(size_t NumberOfBytes, uint32_t Tag)
{
    return g_Hooks.PoolAllocate(g_Hooks.Context, NumberOfBytes, Tag);
}

void SdpPoolFree(void* Block, uint32_t Tag)
{
    if (Block) g_Hooks.PoolFree(g_Hooks.Context, Block, Tag);
}
