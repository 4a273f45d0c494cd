// The few C++ run-time entry points the compiler may call in kernel code.
#include "core/Platform.h"

// A pure virtual call means an object was used during construction or after
// destruction: stop the machine rather than run on with a broken object.
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(0xBBBB0001, 0, 0, 0, 0);
}
