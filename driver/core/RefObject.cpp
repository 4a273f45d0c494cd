#include "core/RefObject.h"

#include "core/Pool.h"

TraceHook g_TraceHook = NULL;
ULONG g_DefaultTraceLevel = 0;

void CRefObject::operator delete(void* block)
{
    PoolFree(block);
}

void DriverTrace(ULONG level, const char* format, ...)
{
    if (g_TraceHook != NULL) {
        va_list args;
        va_start(args, format);
        g_TraceHook(NULL, level, format, args);
        va_end(args);
    }
}
