// Dispatcher objects (events, mutexes; timers in ke_timer.cpp) and waits.
// One machine-wide lock guards every object's state and wait list. A waiting
// thread links one wait block per object into the object's WaitListHead; a
// signal hands the object directly to the waiters it satisfies (so a
// synchronization event set with a waiter present stays non-signalled, as on
// Windows) and wakes them through their own condition variable.
#include "ke_internal.h"
#include "host_mutex.h"

namespace sim {
namespace ke {
namespace {

constexpr ULONG kMaximumWaitObjects = 64;
constexpr ULONG kThreadWaitObjects = 3;  // beyond this a wait block array is required

struct Waiter;

struct WaitBlock {
    LIST_ENTRY link;  // in the object's WaitListHead
    Waiter* waiter;
    DISPATCHER_HEADER* object;
    ULONG index;
};

struct Waiter {
    ThreadState* thread;
    WAIT_TYPE type;
    ULONG count;
    WaitBlock* blocks;
    bool done;
    NTSTATUS status;
    LIST_ENTRY activeLink;  // in g_active: every thread blocked in a wait
    bool timed;
};

LIST_ENTRY g_active = {&g_active, &g_active};

UCHAR ExpectedSize(UCHAR type)
{
    switch (type) {
    case kEventNotification:
    case kEventSynchronization:
        return sizeof(KEVENT) / sizeof(LONG);
    case kMutant:
        return sizeof(KMUTANT) / sizeof(LONG);
    case kTimerNotification:
    case kTimerSynchronization:
        return sizeof(KTIMER) / sizeof(LONG);
    default:
        return 0;
    }
}

bool SignalledFor(DISPATCHER_HEADER* h, ThreadState* thread)
{
    if (h->Type == kMutant)
        return h->SignalState > 0 || ((KMUTANT*)h)->OwnerThread == thread;
    return h->SignalState > 0;
}

void Acquire(DISPATCHER_HEADER* h, ThreadState* thread)
{
    switch (h->Type) {
    case kEventSynchronization:
    case kTimerSynchronization:
        h->SignalState = 0;
        break;
    case kMutant:
        --h->SignalState;
        ((KMUTANT*)h)->OwnerThread = thread;
        break;
    default:
        break;  // notification objects stay signalled
    }
}

void Unlink(Waiter* w)
{
    for (ULONG i = 0; i < w->count; ++i)
        RemoveEntryList(&w->blocks[i].link);
}

void Complete(Waiter* w, NTSTATUS status)
{
    Unlink(w);
    w->done = true;
    w->status = status;
    w->thread->cv.notify_one();
}

bool AllSignalled(Waiter* w)
{
    for (ULONG i = 0; i < w->count; ++i)
        if (!SignalledFor(w->blocks[i].object, w->thread))
            return false;
    return true;
}

// Satisfies the wait at once if it can. Lock held.
bool TrySatisfy(Waiter* w)
{
    if (w->type == WaitAny) {
        for (ULONG i = 0; i < w->count; ++i) {
            if (SignalledFor(w->blocks[i].object, w->thread)) {
                Acquire(w->blocks[i].object, w->thread);
                w->status = STATUS_WAIT_0 + (NTSTATUS)i;
                return true;
            }
        }
        return false;
    }
    if (w->count == 0 || !AllSignalled(w))
        return false;
    for (ULONG i = 0; i < w->count; ++i)
        Acquire(w->blocks[i].object, w->thread);
    w->status = STATUS_SUCCESS;
    return true;
}

std::string ObjectName(const void* object)
{
    return "dispatcher object " + Hex(object);
}

// Dispatcher lock held: the wait list is read.
bool CheckObject(const void* object, const char* routine)
{
    if (ValidDispatcherHeader((const DISPATCHER_HEADER*)object))
        return true;
    ReportViolation("DISPATCHER_OBJECT_NOT_INITIALIZED", ObjectName(object), routine,
                    "the object's header is not that of an initialised event, mutex or timer");
    return false;
}

NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout, const char* routine)
{
    KIRQL irql = CurrentIrql();
    bool poll = timeout && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql > APC_LEVEL && !poll)) {
        int locks = SpinLocksHeld();
        ReportViolation("WAIT_AT_RAISED_IRQL", std::string("thread '") + ThreadName() + "'", routine,
                        std::string("waiting ") + (timeout ? "with a non-zero time-out" : "without a time-out") +
                            " at " + IrqlName(irql) +
                            (locks ? " holding " + std::to_string(locks) + " spin lock(s)" : std::string()));
    }
    Guard lock(DispatcherLock());
    for (ULONG i = 0; i < count; ++i)
        if (!CheckObject(objects[i], routine))
            return STATUS_INVALID_PARAMETER;

    ThreadState& self = Self();
    WaitBlock blocks[kMaximumWaitObjects];
    Waiter w{&self, type, count, blocks, false, STATUS_SUCCESS, {}, timeout != nullptr};
    for (ULONG i = 0; i < count; ++i)
        blocks[i] = WaitBlock{{}, &w, (DISPATCHER_HEADER*)objects[i], i};

    if (TrySatisfy(&w))
        return w.status;
    if (poll)
        return STATUS_TIMEOUT;
    ULONGLONG deadline = timeout ? DeadlineFor(timeout->QuadPart) : 0;
    for (ULONG i = 0; i < count; ++i)
        InsertTailList(&blocks[i].object->WaitListHead, &blocks[i].link);
    InsertTailList(&g_active, &w.activeLink);
    while (!w.done) {
        if (timeout) {
            if (InterruptTime() >= deadline) {
                Unlink(&w);
                w.status = STATUS_TIMEOUT;
                break;
            }
            // In manual time only AdvanceTime (which wakes timed waiters) moves the clock.
            if (ManualTime())
                self.cv.wait(lock);
            else
                self.cv.wait_until(lock, HostTimeFor(deadline));
        } else {
            self.cv.wait(lock);
        }
    }
    RemoveEntryList(&w.activeLink);
    return w.status;
}

}  // namespace

std::mutex& DispatcherLock()
{
    static HostMutex lock;
    return lock;
}

bool ValidDispatcherHeader(const DISPATCHER_HEADER* h)
{
    if (!h)
        return false;
    UCHAR size = ExpectedSize(h->Type);
    if (size == 0 || h->Size != size)
        return false;
    const LIST_ENTRY* head = &h->WaitListHead;
    return head->Flink && head->Blink && head->Flink->Blink == head && head->Blink->Flink == head;
}

void SatisfyWaitersLocked(DISPATCHER_HEADER* h)
{
restart:
    for (LIST_ENTRY* e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
        WaitBlock* b = CONTAINING_RECORD(e, WaitBlock, link);
        Waiter* w = b->waiter;
        if (w->type == WaitAny) {
            if (!SignalledFor(h, w->thread))
                continue;
            Acquire(h, w->thread);
            Complete(w, STATUS_WAIT_0 + (NTSTATUS)b->index);
            goto restart;
        }
        if (AllSignalled(w)) {
            for (ULONG i = 0; i < w->count; ++i)
                Acquire(w->blocks[i].object, w->thread);
            Complete(w, STATUS_SUCCESS);
            goto restart;
        }
    }
}

}  // namespace ke

size_t WaiterCount(const void* object)
{
    const DISPATCHER_HEADER* h = (const DISPATCHER_HEADER*)object;
    ke::Guard lock(ke::DispatcherLock());
    if (!ke::ValidDispatcherHeader(h))
        return 0;
    size_t n = 0;
    for (const LIST_ENTRY* e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink)
        ++n;
    return n;
}

namespace ke {

void WakeTimedWaitersLocked()
{
    for (LIST_ENTRY* e = g_active.Flink; e != &g_active; e = e->Flink) {
        Waiter* w = CONTAINING_RECORD(e, Waiter, activeLink);
        if (w->timed)
            w->thread->cv.notify_one();
    }
}

void CheckFreedWaitsLocked(const char* begin, const char* end, const char* routine)
{
    for (LIST_ENTRY* e = g_active.Flink; e != &g_active; e = e->Flink) {
        Waiter* w = CONTAINING_RECORD(e, Waiter, activeLink);
        for (ULONG i = 0; i < w->count; ++i) {
            const char* o = (const char*)w->blocks[i].object;
            if (o < begin || o >= end)
                continue;
            ReportViolation("FREE_ACTIVE_KERNEL_OBJECT", ObjectName(o), routine,
                            std::string("memory freed while thread '") + w->thread->name + "' waits on it");
            // Detach the block so the waiter never touches the freed list head.
            RemoveEntryList(&w->blocks[i].link);
            InitializeListHead(&w->blocks[i].link);
        }
    }
}

}  // namespace ke
}  // namespace sim

using sim::ke::Guard;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    DISPATCHER_HEADER* h = &Event->Header;
    h->Type = Type == SynchronizationEvent ? sim::ke::kEventSynchronization : sim::ke::kEventNotification;
    h->Signalling = 0;
    h->Size = sizeof(KEVENT) / sizeof(LONG);
    h->Reserved1 = 0;
    h->SignalState = State ? 1 : 0;
    InitializeListHead(&h->WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    sim::RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous;
    {
        Guard lock(sim::ke::DispatcherLock());
        if (!sim::ke::CheckObject(Event, "KeSetEvent"))
            return 0;
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        sim::ke::SatisfyWaitersLocked(&Event->Header);
    }
    sim::BreakAt(sim::BreakPoint::AfterSetEvent, Event);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckObject(Event, "KeClearEvent"))
        return;
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    sim::RequireIrql(DISPATCH_LEVEL, "KeResetEvent");
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckObject(Event, "KeResetEvent"))
        return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckObject(Event, "KeReadStateEvent"))
        return 0;
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level)
{
    UNREFERENCED_PARAMETER(Level);
    DISPATCHER_HEADER* h = &Mutex->Header;
    h->Type = sim::ke::kMutant;
    h->Signalling = 0;
    h->Size = sizeof(KMUTANT) / sizeof(LONG);
    h->Reserved1 = 0;
    h->SignalState = 1;
    InitializeListHead(&h->WaitListHead);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Wait);
    sim::RequireIrql(DISPATCH_LEVEL, "KeReleaseMutex");
    Guard lock(sim::ke::DispatcherLock());
    if (!sim::ke::CheckObject(Mutex, "KeReleaseMutex"))
        return 0;
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != &sim::ke::Self()) {
        // Windows raises STATUS_MUTANT_NOT_OWNED (a bug check in kernel mode).
        sim::ReportViolation("MUTEX_NOT_OWNER", "mutex " + sim::ke::Hex(Mutex), "KeReleaseMutex",
                             Mutex->OwnerThread ? "released by a thread that does not own it"
                                                : "released while not owned");
        return previous;
    }
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        sim::ke::SatisfyWaitersLocked(&Mutex->Header);
    }
    return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);  // the machine delivers no APCs
    PVOID objects[1] = {Object};
    NTSTATUS status = sim::ke::Wait(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
    return status == STATUS_WAIT_0 ? STATUS_SUCCESS : status;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PVOID WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || Count > sim::ke::kMaximumWaitObjects ||
        (Count > sim::ke::kThreadWaitObjects && !WaitBlockArray)) {
        // Windows bug-checks (MAXIMUM_WAIT_OBJECTS_EXCEEDED).
        sim::ReportViolation("WAIT_OBJECT_COUNT", "wait of " + std::to_string(Count) + " objects",
                             "KeWaitForMultipleObjects",
                             Count > sim::ke::kThreadWaitObjects && Count <= sim::ke::kMaximumWaitObjects
                                 ? "more than 3 objects need a WaitBlockArray"
                                 : "count must be 1..64");
        return STATUS_INVALID_PARAMETER;
    }
    return sim::ke::Wait(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Interval && Interval->QuadPart != 0) {
        sim::ke::Wait(0, nullptr, WaitAll, Interval, "KeDelayExecutionThread");  // checks the IRQL
        return STATUS_SUCCESS;
    }
    KIRQL irql = sim::CurrentIrql();
    if (irql > APC_LEVEL)
        sim::ReportViolation("WAIT_AT_RAISED_IRQL", std::string("thread '") + sim::ThreadName() + "'",
                             "KeDelayExecutionThread", std::string("delay at ") + sim::ke::IrqlName(irql));
    return STATUS_SUCCESS;
}

}  // extern "C"
