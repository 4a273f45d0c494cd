#include "core/RefObject.h"

#include "core/Pool.h"

TraceHook volatile g_TraceHook = NULL;
ULONG g_DefaultTraceLevel = 0;

void CRefObject::operator delete(void* block)
{
    PoolFree(block);
}

void DriverTrace(ULONG level, const char* format, ...)
{
    TraceHook hook = CurrentTraceHook();
    if (hook != NULL) {
        va_list args;
        va_start(args, format);
        hook(NULL, level, format, args);
        va_end(args);
    }
}
