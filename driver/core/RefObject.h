// Root of every driver object: a reference count and a virtual deleting
// destructor, and the trace base through which every routine names itself.
#pragma once

#include "core/Platform.h"

#include <stdarg.h>

class CRefObject {
public:
    // Objects live in pool blocks: construct in place over PoolAlloc memory.
    static void* operator new(size_t, void* place) { return place; }
    // The deleting destructor frees the start of the most derived block.
    static void operator delete(void* block);

    CRefObject() : m_RefCount(0) {}
    virtual ~CRefObject() {}

    void AddRef() { InterlockedIncrement(&m_RefCount); }
    // Destroys and frees the object when the last reference goes.
    void Release()
    {
        if (InterlockedDecrement(&m_RefCount) == 0) {
            delete this;
        }
    }

    LONG m_RefCount;
};

// What a trace point reports.
enum TraceLevel : ULONG {
    kTraceFailure = 1,  // something failed
    kTraceWarning = 2,  // an odd situation, handled
    kTraceEntry = 4,    // entry into an operation, and its notable events
    kTraceDetail = 5,   // details: sizes, counts, objects created
};

// Receives every trace point when installed (null by default, and always in the
// shipped driver): the object, the level (1 failure, 2 warning, 4 entry and
// events, 5 details), the narrow format and its arguments.
typedef void (*TraceHook)(const void* object, ULONG level, const char* format, va_list args);
// Installed and removed while driver threads trace: read once per trace
// point (CurrentTraceHook), so a hook removed between the check and the call
// is never called through a null pointer.
extern TraceHook volatile g_TraceHook;
inline TraceHook CurrentTraceHook()
{
    return (TraceHook)ReadPointerNoFence((PVOID const volatile*)&g_TraceHook);
}
extern ULONG g_DefaultTraceLevel;

class CTraceable : public virtual CRefObject {
public:
    CTraceable() : m_TraceLevel(g_DefaultTraceLevel) {}

    // The driver-wide debug trace point; no output of its own.
    void Trace(ULONG level, const char* format, ...) const
    {
        TraceHook hook = CurrentTraceHook();
        if (hook != NULL) {
            va_list args;
            va_start(args, format);
            hook(this, level, format, args);
            va_end(args);
        }
    }

    ULONG m_TraceLevel;
};

// The trace point of routines that belong to no object (entry, routing).
void DriverTrace(ULONG level, const char* format, ...);
