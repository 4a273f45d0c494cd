// Timers: dispatcher objects kept in a due-time ordered queue, linked through
// TimerListEntry (a null Flink means "not set"). DueTime holds the absolute
// interrupt time of expiry. The DPC thread fires them; everything here runs
// under the dispatcher lock.
#include "ke_internal.h"

#include <unordered_map>

namespace sim {
namespace ke {
namespace {

LIST_ENTRY g_timers = {&g_timers, &g_timers};
std::unordered_map<const KTIMER*, LONGLONG> g_requested;  // due time as last passed to KeSetTimer*

bool IsSet(const KTIMER* t)
{
    return t->TimerListEntry.Flink != nullptr;
}

void Unqueue(KTIMER* t)
{
    RemoveEntryList(&t->TimerListEntry);
    t->TimerListEntry.Flink = t->TimerListEntry.Blink = nullptr;
}

void Enqueue(KTIMER* t)
{
    LIST_ENTRY* e = g_timers.Flink;
    while (e != &g_timers && CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart <= t->DueTime.QuadPart)
        e = e->Flink;
    InsertTailList(e, &t->TimerListEntry);  // before e: keeps equal due times in set order
}

std::string TimerName(const KTIMER* t)
{
    return "timer " + Hex(t);
}

// Dispatcher lock held.
bool CheckTimer(PKTIMER t, const char* routine)
{
    if (ValidDispatcherHeader(&t->Header) &&
        (t->Header.Type == kTimerNotification || t->Header.Type == kTimerSynchronization))
        return true;
    ReportViolation("DISPATCHER_OBJECT_NOT_INITIALIZED", TimerName(t), routine, "not an initialised timer");
    return false;
}

}  // namespace

bool NextTimerDueLocked(ULONGLONG* due)
{
    if (IsListEmpty(&g_timers))
        return false;
    *due = CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry)->DueTime.QuadPart;
    return true;
}

bool FireDueTimerLocked(ULONGLONG now)
{
    if (IsListEmpty(&g_timers))
        return false;
    KTIMER* t = CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry);
    if (t->DueTime.QuadPart > now)
        return false;
    Unqueue(t);
    t->Header.SignalState = 1;
    SatisfyWaitersLocked(&t->Header);
    if (t->Dpc) {
        CopyOwnerLocked(t, t->Dpc);
        // As on Windows, the DPC receives the expiry's system time split in two.
        LARGE_INTEGER system;
        system.QuadPart = SystemTimeNow();
        bool inserted;
        InsertQueueDpcLocked(t->Dpc, (PVOID)(ULONG_PTR)system.LowPart, (PVOID)(ULONG_PTR)(ULONG)system.HighPart,
                             &inserted);
    }
    if (t->Period > 0) {
        t->DueTime.QuadPart += (ULONGLONG)t->Period * 10000;
        Enqueue(t);
    }
    return true;
}

void TimerStartup()
{
    Guard lock(DispatcherLock());
    InitializeListHead(&g_timers);
    g_requested.clear();
}

void TimerShutdownLocked()
{
    while (!IsListEmpty(&g_timers)) {
        KTIMER* t = CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry);
        Unqueue(t);
        ReportViolation("TIMER_LEFT_SET", TimerName(t), "machine teardown",
                        "the timer was still set when the machine stopped (its DPC would run in unloaded code)");
    }
    g_requested.clear();
}

void CancelDriverTimersLocked(PDRIVER_OBJECT driver, const char* routine)
{
    for (LIST_ENTRY* e = g_timers.Flink; e != &g_timers;) {
        KTIMER* t = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        e = e->Flink;
        if (OwnerLocked(t) != driver)
            continue;
        Unqueue(t);  // its DPC would run in unloaded code
        ReportViolation("TIMER_OR_DPC_PENDING_AT_UNLOAD", TimerName(t), routine,
                        std::string("the timer is still set") + (t->Dpc ? " (DPC " + Hex(t->Dpc) + ")" : "") +
                            " after its driver unloaded (cancel it, and flush queued DPCs, in DriverUnload)");
    }
}

void CheckFreedTimersLocked(const char* begin, const char* end, const char* routine)
{
    for (LIST_ENTRY* e = g_timers.Flink; e != &g_timers;) {
        KTIMER* t = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        e = e->Flink;
        const char* p = (const char*)t;
        if (p < begin || p >= end)
            continue;
        ReportViolation("FREE_ACTIVE_KERNEL_OBJECT", TimerName(t), routine, "memory freed while the timer is set");
        RemoveEntryList(&t->TimerListEntry);  // the DPC thread must not touch freed memory
        ForgetOwnerLocked(t);
    }
}

}  // namespace ke

LONGLONG LastRequestedDueTime(const KTIMER* timer)
{
    ke::Guard lock(ke::DispatcherLock());
    auto it = ke::g_requested.find(timer);
    return it == ke::g_requested.end() ? 0 : it->second;
}

}  // namespace sim

using sim::ke::Guard;

extern "C" {

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    DISPATCHER_HEADER* h = &Timer->Header;
    h->Type = Type == SynchronizationTimer ? sim::ke::kTimerSynchronization : sim::ke::kTimerNotification;
    h->Signalling = 0;
    h->Size = sizeof(KTIMER) / sizeof(LONG);
    h->Reserved1 = 0;
    h->SignalState = 0;
    InitializeListHead(&h->WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    Guard lock(sim::ke::DispatcherLock());
    sim::ke::g_requested.erase(Timer);
    sim::ke::ForgetOwnerLocked(Timer);
}

VOID KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    sim::RequireIrql(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Period < 0) {
        sim::ReportViolation("TIMER_PERIOD_NEGATIVE", sim::ke::TimerName(Timer), "KeSetTimerEx",
                             "period " + std::to_string(Period) + " ms");
        Period = 0;
    }
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckTimer(Timer, "KeSetTimerEx"))
        return FALSE;
    bool wasSet = sim::ke::IsSet(Timer);
    if (wasSet)
        sim::ke::Unqueue(Timer);
    sim::ke::g_requested[Timer] = DueTime.QuadPart;
    Timer->DueTime.QuadPart = sim::ke::DeadlineFor(DueTime.QuadPart);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Header.SignalState = 0;
    sim::ke::Enqueue(Timer);
    sim::ke::NoteOwnerLocked(Timer);
    sim::ke::WakeDpcThreadLocked();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    sim::RequireIrql(DISPATCH_LEVEL, "KeCancelTimer");
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckTimer(Timer, "KeCancelTimer"))
        return FALSE;
    if (!sim::ke::IsSet(Timer))
        return FALSE;
    sim::ke::Unqueue(Timer);
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckTimer(Timer, "KeReadStateTimer"))
        return FALSE;
    return Timer->Header.SignalState ? TRUE : FALSE;
}

}  // extern "C"
