// Framework diagnostics: the assertion that prints and breaks, then lets
// execution go on, and the pool tags of the framework's own blocks.
#pragma once

#include <wdm.h>

// Framework assertions print whatever the debug zone mask says: a failed
// condition is always worth seeing, and the debugger resumes after the break.
#define NORN_ASSERT(cond)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            DbgPrint("NORN ASSERT:  " #cond " on line %d in %s\n", __LINE__, __FILE_NAME__);       \
            DbgBreakPoint();                                                                       \
        }                                                                                          \
    } while (0)

// Pool tags, as the four bytes tools display ("Norn", "NrnU", "Wdm ").
constexpr ULONG NORN_POOL_TAG = 0x6E726F4E;
constexpr ULONG NORN_UNIT_POOL_TAG = 0x556E724E;
constexpr ULONG NORN_WDM_POOL_TAG = 0x206D6457;
