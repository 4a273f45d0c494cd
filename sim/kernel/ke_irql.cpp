// Per-thread execution state: IRQL, thread names, routine exit checks, bug
// checks and the debugger print routines.
#include "ke_internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace ke {

ThreadState& Self()
{
    static std::atomic<unsigned> next{1};
    thread_local ThreadState state;
    if (state.name[0] == '\0')
        snprintf(state.name, sizeof state.name, "thread-%u", next++);
    return state;
}

std::string Hex(const void* p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)(uintptr_t)p);
    return buf;
}

const char* IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
        return "HIGH_LEVEL";
    default: {
        static const char* const names[] = {"3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"};
        return irql >= 3 && irql <= 14 ? names[irql - 3] : "?";
    }
    }
}

}  // namespace ke

KIRQL CurrentIrql()
{
    return ke::Self().irql;
}
void SetCurrentIrql(KIRQL irql)
{
    ke::Self().irql = irql;
}
int SpinLocksHeld()
{
    return (int)ke::Self().held.size();
}

void SetThreadName(const char* name)
{
    ke::ThreadState& self = ke::Self();
    snprintf(self.name, sizeof self.name, "%s", name ? name : "");
}
const char* ThreadName()
{
    return ke::Self().name;
}

void RequireIrql(KIRQL maxIrql, const char* routine)
{
    KIRQL irql = CurrentIrql();
    if (irql <= maxIrql)
        return;
    ReportViolation("IRQL_TOO_HIGH", std::string("thread '") + ThreadName() + "'", routine,
                    std::string("called at ") + ke::IrqlName(irql) + ", allowed up to " + ke::IrqlName(maxIrql));
}

void CheckRoutineExit(const char* routine, KIRQL entryIrql, int entryLocks)
{
    KIRQL irql = CurrentIrql();
    if (irql != entryIrql)
        ReportViolation("IRQL_NOT_RESTORED", std::string("thread '") + ThreadName() + "'", routine,
                        std::string("entered at ") + ke::IrqlName(entryIrql) + ", returned at " + ke::IrqlName(irql));
    int locks = SpinLocksHeld();
    if (locks > entryLocks)
        ReportViolation("SPINLOCK_HELD_ON_RETURN", std::string("thread '") + ThreadName() + "'", routine,
                        "entered holding " + std::to_string(entryLocks) + " spin lock(s), returned holding " +
                            std::to_string(locks));
}

}  // namespace sim

extern "C" {

KIRQL KeGetCurrentIrql(void)
{
    return sim::CurrentIrql();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    KIRQL irql = sim::CurrentIrql();
    *OldIrql = irql;
    if (NewIrql < irql) {
        // Windows bug-checks (IRQL_NOT_GREATER_OR_EQUAL); the IRQL stays put.
        sim::ReportViolation("IRQL_RAISE_TO_LOWER", std::string("thread '") + sim::ThreadName() + "'", "KeRaiseIrql",
                             std::string("raise from ") + sim::ke::IrqlName(irql) + " to lower " +
                                 sim::ke::IrqlName(NewIrql));
        return;
    }
    sim::SetCurrentIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    KIRQL irql = sim::CurrentIrql();
    if (NewIrql > irql) {
        sim::ReportViolation("IRQL_LOWER_TO_HIGHER", std::string("thread '") + sim::ThreadName() + "'", "KeLowerIrql",
                             std::string("lower from ") + sim::ke::IrqlName(irql) + " to higher " +
                                 sim::ke::IrqlName(NewIrql));
        return;
    }
    sim::SetCurrentIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    fprintf(stderr, "*** STOP: BUGCHECK 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) on thread '%s' at %s\n", BugCheckCode,
            (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4,
            sim::ThreadName(), sim::ke::IrqlName(sim::CurrentIrql()));
    fflush(stderr);
    abort();
}

VOID KeBugCheck(ULONG BugCheckCode)
{
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

// Read on every call so a test can switch debugger output on and off.
static bool DebugOutputEnabled()
{
    const char* v = getenv("BRISKLINK_DBGPRINT");
    return v && v[0] == '1' && v[1] == '\0';
}

// Formats with the kernel's own formatter (Windows %s/%S/%wZ rules); the
// debugger truncates a message at 512 bytes.
static void DebugOutput(PCSTR format, va_list args)
{
    char text[512];
    int n = _vsnprintf(text, sizeof text - 1, format, args);
    if (n < 0)
        n = (int)sizeof text - 1;
    text[n] = '\0';
    fputs(text, stderr);
}

ULONG DbgPrint(PCSTR Format, ...)
{
    if (!DebugOutputEnabled())
        return 0;  // STATUS_SUCCESS: no debugger attached
    va_list args;
    va_start(args, Format);
    DebugOutput(Format, args);
    va_end(args);
    return 0;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    if (!DebugOutputEnabled())
        return 0;
    va_list args;
    va_start(args, Format);
    DebugOutput(Format, args);
    va_end(args);
    return 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

}  // extern "C"
