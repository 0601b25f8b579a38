// initguid.h: DEFINE_GUID always defines here (inline constexpr), so this header has nothing to
// switch; it exists for sources that include it before their GUID headers.
#pragma once
#include "wdm.h"
