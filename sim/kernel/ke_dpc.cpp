// The DPC thread: runs queued DPCs at DISPATCH_LEVEL, one at a time, and
// serves the timer queue (an expired timer is signalled and queues its DPC).
// Queued DPCs run before the next timer fires, so in manual time each expiry
// is followed by its DPC. A queued KDPC is linked through DpcListEntry and
// marked by a non-null DpcData. All of it is guarded by the dispatcher lock.
#include "ke_internal.h"

#include <thread>

namespace sim {
namespace ke {
namespace {

LIST_ENTRY g_queue = {&g_queue, &g_queue};
bool g_running = false;  // a DPC routine is executing
bool g_stop = false;
bool g_started = false;
unsigned long long g_idleEpoch = 0;  // bumped each time the thread finds nothing to do
std::condition_variable g_wake;      // wakes the DPC thread
std::condition_variable g_idle;      // wakes threads waiting for the DPC thread to go idle
std::thread g_thread;
std::thread::id g_threadId;

bool TimerDueLocked()
{
    ULONGLONG due;
    return NextTimerDueLocked(&due) && due <= InterruptTime();
}

void DpcThread()
{
    SetThreadName("dpc");
    SetCurrentIrql(DISPATCH_LEVEL);
    Guard lock(DispatcherLock());
    for (;;) {
        if (!IsListEmpty(&g_queue)) {
            KDPC* dpc = CONTAINING_RECORD(RemoveHeadList(&g_queue), KDPC, DpcListEntry);
            dpc->DpcData = nullptr;
            // The routine may free or requeue its KDPC: copy what it needs first.
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
            SetRunningDpcOwner(OwnerLocked(dpc));
            g_running = true;
            lock.unlock();
            CallDriverRoutine("deferred routine", [&] { routine(dpc, context, a1, a2); });
            SetCurrentIrql(DISPATCH_LEVEL);
            SetRunningDpcOwner(nullptr);
            lock.lock();
            g_running = false;
            continue;
        }
        if (FireDueTimerLocked(InterruptTime()))
            continue;
        ++g_idleEpoch;
        g_idle.notify_all();
        if (g_stop)
            break;
        ULONGLONG due;
        if (NextTimerDueLocked(&due) && !ManualTime())
            g_wake.wait_until(lock, HostTimeFor(due));
        else
            g_wake.wait(lock);
    }
}

}  // namespace

void DpcStartup()
{
    Guard lock(DispatcherLock());
    InitializeListHead(&g_queue);
    g_running = false;
    g_stop = false;
    g_started = true;
    g_thread = std::thread(DpcThread);
    g_threadId = g_thread.get_id();
}

void DpcShutdown()
{
    {
        Guard lock(DispatcherLock());
        if (!g_started)
            return;
        g_stop = true;
        g_wake.notify_all();
    }
    g_thread.join();
    Guard lock(DispatcherLock());
    g_started = false;
    g_idle.notify_all();
}

void WakeDpcThreadLocked()
{
    g_wake.notify_all();
}

bool DpcQuietLocked()
{
    return IsListEmpty(&g_queue) && !g_running && !TimerDueLocked();
}

void InsertQueueDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2, bool* inserted)
{
    *inserted = dpc->DpcData == nullptr;
    if (!*inserted)
        return;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &g_queue;
    InsertTailList(&g_queue, &dpc->DpcListEntry);
    g_wake.notify_all();
}

void CancelDriverDpcsLocked(PDRIVER_OBJECT driver, const char* routine)
{
    for (LIST_ENTRY* e = g_queue.Flink; e != &g_queue;) {
        KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        e = e->Flink;
        if (OwnerLocked(dpc) != driver)
            continue;
        RemoveEntryList(&dpc->DpcListEntry);  // its routine is unloaded code
        dpc->DpcData = nullptr;
        ReportViolation("TIMER_OR_DPC_PENDING_AT_UNLOAD", "DPC " + Hex(dpc), routine,
                        "the DPC is still queued after its driver unloaded (remove it, or flush queued DPCs, in "
                        "DriverUnload)");
    }
}

void CheckFreedDpcsLocked(const char* begin, const char* end, const char* routine)
{
    for (LIST_ENTRY* e = g_queue.Flink; e != &g_queue;) {
        KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        e = e->Flink;
        const char* p = (const char*)dpc;
        if (p < begin || p >= end)
            continue;
        ReportViolation("FREE_ACTIVE_KERNEL_OBJECT", "DPC " + Hex(dpc), routine,
                        "memory freed while the DPC is queued");
        RemoveEntryList(&dpc->DpcListEntry);  // the DPC thread must not touch freed memory
        ForgetOwnerLocked(dpc);
    }
}

}  // namespace ke

void AdvanceTime(LONGLONG hundredNs)
{
    ke::Guard lock(ke::DispatcherLock());
    ke::AdvanceClockLocked(hundredNs);
    ke::WakeTimedWaitersLocked();
    ke::g_wake.notify_all();
    // Let the DPC thread fire what is now due and run the DPCs that follows.
    if (!ke::g_started || std::this_thread::get_id() == ke::g_threadId)
        return;
    ke::g_idle.wait(lock, [] { return !ke::g_started || ke::DpcQuietLocked(); });
}

}  // namespace sim

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = 19;       // DpcObject
    Dpc->Importance = 1;  // MediumImportance
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    sim::ke::Guard lock(sim::ke::DispatcherLock());
    sim::ke::ForgetOwnerLocked(Dpc);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    sim::RequireIrql(HIGH_LEVEL, "KeInsertQueueDpc");
    bool inserted;
    sim::ke::Guard lock(sim::ke::DispatcherLock());
    sim::ke::InsertQueueDpcLocked(Dpc, SystemArgument1, SystemArgument2, &inserted);
    if (inserted)
        sim::ke::NoteOwnerLocked(Dpc);
    return inserted ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    sim::ke::Guard lock(sim::ke::DispatcherLock());
    if (!Dpc->DpcData)
        return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeFlushQueuedDpcs(void)
{
    sim::RequireIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    sim::ke::Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::g_started || std::this_thread::get_id() == sim::ke::g_threadId)
        return;
    if (IsListEmpty(&sim::ke::g_queue) && !sim::ke::g_running)
        return;
    unsigned long long epoch = sim::ke::g_idleEpoch;
    sim::ke::g_idle.wait(lock, [epoch] { return !sim::ke::g_started || sim::ke::g_idleEpoch != epoch; });
}

}  // extern "C"
