// ntddk.h: the kernel header set for drivers; everything lives in wdm.h here.
#pragma once
#include "wdm.h"
