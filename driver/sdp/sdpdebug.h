// The core's only ways out to its host: a zone-gated, printf-style debug
// print and a tagged pool allocate/free. Both are process-wide, like the
// driver's zone mask, and are set once by the host before any other call.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "sdpdefs.h"

// Zone passed to the print hook for lines printed whatever the mask
// (assertion failures).
constexpr uint32_t SDP_ZONE_ALWAYS = 0;

// Receives one message whose zone bit is set in the mask (or SDP_ZONE_ALWAYS).
typedef void (*PSDP_DEBUG_PRINT_HOOK)(void* Context, uint32_t Zone, const char* Format,
                                      va_list Args);
// Returns a block of NumberOfBytes bytes, or null when the pool is exhausted.
typedef void* (*PSDP_POOL_ALLOCATE_HOOK)(void* Context, size_t NumberOfBytes, uint32_t Tag);
// Gives back a block returned by the allocate hook with the same tag.
typedef void (*PSDP_POOL_FREE_HOOK)(void* Context, void* Block, uint32_t Tag);

struct SDP_HOST_HOOKS {
    void* Context;
    PSDP_DEBUG_PRINT_HOOK DebugPrint;     // null: nothing is printed
    PSDP_POOL_ALLOCATE_HOOK PoolAllocate; // null (with PoolFree): the C heap
    PSDP_POOL_FREE_HOOK PoolFree;
};

// Pool tag of every database block ('K','S','d','b' in memory order).
constexpr uint32_t SDP_DATABASE_POOL_TAG = 0x62645344u;

// Installs the hooks; null restores the defaults (silent, C heap). Blocks
// must be freed through the hooks that allocated them, so the pool hooks are
// changed only while no database exists.
void SdpSetHostHooks(const SDP_HOST_HOOKS* pHooks);

// The zone mask (SDP_ZONE_*_MASK bits), 0x7 at start. Read without a lock on
// every message; a change takes effect with the next message.
void SdpSetZoneMask(uint32_t Mask);
uint32_t SdpGetZoneMask();

// The set-zone-mask request: Input holds exactly 4 bytes, the new mask
// (little-endian). Traces under the old mask, then names each of the eight
// zones now enabled, each line in its own zone. SDP_STATUS_INVALID_PARAMETER
// (mask unchanged) for any other length.
SDP_STATUS SdpIoctlSetDebugZoneMask(const uint8_t* pInput, uint32_t InputLength);

// The mask itself, for the inline test below (relaxed: it is a setting).
extern std::atomic<uint32_t> g_SdpZoneMask;
inline bool SdpZoneEnabled(uint32_t Zone)
{
    return Zone == SDP_ZONE_ALWAYS || (g_SdpZoneMask.load(std::memory_order_relaxed) & Zone) != 0;
}

// Prints through the hook whatever the mask; SdpDbgPrint tests the zone first.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void SdpDbgPrintZone(uint32_t Zone, const char* Format, ...);

// Prints through the hook when Zone is SDP_ZONE_ALWAYS or its bit is set. A
// macro, so that a line whose zone is off costs one test and no call: the
// transactions carry dozens of trace lines per attribute.
#define SdpDbgPrint(Zone, ...)                                                                     \
    do {                                                                                           \
        const uint32_t SdpZone_ = (Zone);                                                          \
        if (SdpZoneEnabled(SdpZone_)) SdpDbgPrintZone(SdpZone_, __VA_ARGS__);                      \
    } while (0)

// Prints "NORN ASSERT:  <Condition> on line <Line> in <File>\n" whatever the mask.
void SdpAssertFailed(const char* Condition, int Line, const char* File);

// Prints Title, then "%02X " per byte, then "\n", in one zone.
void SdpDumpBytes(uint32_t Zone, const char* Title, const uint8_t* p, uint32_t Len);

void* SdpPoolAllocate(size_t NumberOfBytes, uint32_t Tag);
void SdpPoolFree(void* Block, uint32_t Tag);
