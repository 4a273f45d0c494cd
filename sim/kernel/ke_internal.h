// Private state shared by the ke_* files of the simulated kernel.
#pragma once

#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace ke {

struct HeldSpinLock {
    KSPIN_LOCK* lock;
    KIRQL irqlBefore;                             // what the matching release must restore
    bool atDpcLevel;                              // taken with KeAcquireSpinLockAtDpcLevel (no IRQL change)
    std::chrono::steady_clock::time_point since;  // when it was taken (host time: spinning is real)
};

// Per-thread execution state. Its address is the thread's identity: spin
// lock words and mutex owners hold it.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    char name[32] = {};
    std::vector<HeldSpinLock> held;  // acquisition order, innermost last
    std::condition_variable cv;      // wakes this thread's waits
};
ThreadState& Self();

std::string Hex(const void* p);
const char* IrqlName(KIRQL irql);

// The machine-wide dispatcher lock: guards every dispatcher object's state
// and wait list, the timer queue and the DPC queue.
std::mutex& DispatcherLock();
using Guard = std::unique_lock<std::mutex>;

// Releases the waiters of `object` that its new state satisfies. Lock held.
void SatisfyWaitersLocked(DISPATCHER_HEADER* object);
// True when `object` looks like an initialised dispatcher object.
bool ValidDispatcherHeader(const DISPATCHER_HEADER* object);
enum : UCHAR {
    kEventNotification = 0,
    kEventSynchronization = 1,
    kMutant = 2,
    kTimerNotification = 8,
    kTimerSynchronization = 9,
};

// Wakes every thread in a timed wait so it re-reads the clock. Lock held.
void WakeTimedWaitersLocked();
// Reports and detaches waits on dispatcher objects inside [p, p+size). Lock held.
void CheckFreedWaitsLocked(const char* begin, const char* end, const char* routine);

// DPC queue and thread (ke_dpc.cpp).
void DpcStartup();
void DpcShutdown();
void InsertQueueDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2, bool* inserted);
void WakeDpcThreadLocked();
bool DpcQuietLocked();  // nothing queued or running and no timer due
void CheckFreedDpcsLocked(const char* begin, const char* end, const char* routine);

// Timer queue (ke_timer.cpp), served by the DPC thread. Lock held.
bool NextTimerDueLocked(ULONGLONG* due);
bool FireDueTimerLocked(ULONGLONG now);  // fires the earliest timer if due
void TimerStartup();
void TimerShutdownLocked();  // reports timers left set and forgets them
void CheckFreedTimersLocked(const char* begin, const char* end, const char* routine);

// The driver that set a timer or queued a DPC (ke_owner.cpp). Lock held,
// except SetRunningDpcOwner, which the DPC thread calls around each routine.
void NoteOwnerLocked(const void* object);  // the calling thread's driver, or none
void CopyOwnerLocked(const void* from, const void* to);
PDRIVER_OBJECT OwnerLocked(const void* object);
void ForgetOwnerLocked(const void* object);
void SetRunningDpcOwner(PDRIVER_OBJECT driver);
void OwnersStartup();
// Report TIMER_OR_DPC_PENDING_AT_UNLOAD for each timer still set, or DPC
// still queued, that `driver` owns, and take it off its queue. Lock held.
void CancelDriverTimersLocked(PDRIVER_OBJECT driver, const char* routine);
void CancelDriverDpcsLocked(PDRIVER_OBJECT driver, const char* routine);

// Clock (ke_time.cpp).
void ClockStartup();
bool ManualTime();
// Host steady-clock point at which interrupt time reaches `due` (real time).
std::chrono::steady_clock::time_point HostTimeFor(ULONGLONG due);
// Absolute interrupt time for a Windows due time/time-out: negative is
// relative, positive is absolute system time.
ULONGLONG DeadlineFor(LONGLONG windowsTime);
LONGLONG SystemTimeNow();
void AdvanceClockLocked(LONGLONG hundredNs);

// Pool (ke_pool.cpp): `faults` false skips fault injection (lookaside lists
// consult their own site before using the default routine).
PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, const char* routine, bool faults);
void PoolFree(PVOID p, ULONG tag, const char* routine);
void PoolStartup();

void FaultStartup();
void BreakStartup();
void SpinLockStartup();
void VersionStartup(const MachineOptions& options);

}  // namespace ke
}  // namespace sim
