// C++ support of the framework: the trap for a call through an empty virtual
// slot. The language runtime calls __cxa_pure_virtual where the kernel's
// compiler called __purecall.
#include "NornDebug.h"

extern "C" int __purecall()
{
    NORN_ASSERT(FALSE);
    return 0;
}

extern "C" void __cxa_pure_virtual()
{
    __purecall();
}
