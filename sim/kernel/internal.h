// What the parts of the simulated kernel call on each other. Not for drivers or
// tests (they use <ntddk.h> and <sim/sim.h>).
//
// Ownership by file group:
//   ke_*  execution: IRQL, threads, dispatcher objects, spin locks, DPCs,
//         timers, pool, lookaside, fault injection, verifier core, machine
//   io_*  I/O manager: driver and device objects, IRPs, work items, object
//         namespace and handles, symbolic links, named events, driver loading
//   cm_*, fs_*, rtl_*  registry, files on host folders, strings, formatting,
//         process information
#pragma once

#include <ntddk.h>
#include <sim/sim.h>

#include <string>
#include <type_traits>

namespace sim {

// ---------------------------------------------------------------- ke: execution

// The IRQL of the calling thread (every thread starts at PASSIVE_LEVEL).
KIRQL CurrentIrql();
// Sets it without the raise/lower checks (for the sim's own threads, for
// example the DPC thread entering DISPATCH_LEVEL).
void SetCurrentIrql(KIRQL irql);
// Number of spin locks (driver locks and the cancel spin lock) the calling
// thread holds. The I/O manager reports IoCompleteRequest and IoCallDriver
// while this is non-zero.
int SpinLocksHeld();
// Name the calling thread for reports ("dpc", "worker-1", "hc", "test").
void SetThreadName(const char* name);
const char* ThreadName();

// Calls a driver routine and reports "IRQL_NOT_RESTORED" when it returns at
// another IRQL than it was entered with, and "SPINLOCK_HELD_ON_RETURN" when
// it returns holding more spin locks than at entry.
template <typename F>
auto CallDriverRoutine(const char* routine, F fn) -> decltype(fn());
void CheckRoutineExit(const char* routine, KIRQL entryIrql, int entryLocks);

template <typename F>
auto CallDriverRoutine(const char* routine, F fn) -> decltype(fn())
{
    KIRQL irql = CurrentIrql();
    int locks = SpinLocksHeld();
    if constexpr (std::is_void_v<decltype(fn())>) {
        fn();
        CheckRoutineExit(routine, irql, locks);
    } else {
        auto r = fn();
        CheckRoutineExit(routine, irql, locks);
        return r;
    }
}

// Pool blocks: true when `p` lies inside a live block allocated from paged pool.
bool IsPagedPoolAddress(const void* p);
bool IsLivePoolBlock(const void* p);
// Raw allocations for the sim's own bookkeeping that drivers must not see in
// their leak reports are made with new/malloc, not with the pool.

// True when a call at `site` must fail: counted and decided only when a
// driver's routine makes it (the sim's own use of the same routines, as the
// PnP manager's keys, never fails).
bool DriverCallFails(FaultSite site);

// Reports `rule` when the current IRQL is above `maxIrql` (for example the Zw
// routines require PASSIVE_LEVEL).
void RequireIrql(KIRQL maxIrql, const char* routine);

// The global cancel spin lock. IoAcquireCancelSpinLock/IoReleaseCancelSpinLock
// take it with AcquireSpinLockFor/ReleaseSpinLockFor, so it is counted by
// SpinLocksHeld, takes part in lock-order checks and names the Io routine in
// reports.
KSPIN_LOCK* CancelSpinLock();
KIRQL AcquireSpinLockFor(KSPIN_LOCK* lock, const char* routine);  // raises to DISPATCH_LEVEL
void ReleaseSpinLockFor(KSPIN_LOCK* lock, KIRQL newIrql, const char* routine);
bool HoldsSpinLock(const KSPIN_LOCK* lock);  // held by the calling thread

// Reports "FREE_ACTIVE_KERNEL_OBJECT" for a timer that is set, a DPC that is
// queued or a dispatcher object being waited on inside [p, p+size), and
// detaches them. The pool calls it on every free; other owners of memory that
// drivers use for such objects (device extensions) call it before releasing.
void KeCheckFreedMemory(const void* p, size_t size, const char* routine);

// When a driver has unloaded (DriverUnload returned, or DriverEntry failed):
// reports the timers it set and the DPCs it queued that are still pending
// (TIMER_OR_DPC_PENDING_AT_UNLOAD) and takes them off their queues, and the
// pool blocks its routines allocated and never freed (POOL_LEAK).
void KeDriverUnloaded(PDRIVER_OBJECT driver, const char* routine);
void ReportDriverPoolLeaks(PDRIVER_OBJECT driver, const char* routine);  // the pool's part of it

// WaitQuiet also waits until every registered check returns true (for
// example "no work item queued or running"). Registrations are dropped when
// the machine stops; register in the subsystem's startup.
void RegisterQuietCheck(bool (*idle)());

// Subsystem start-up and tear-down, called by StartMachine/StopMachine in this
// order: Ke, Io, Cm/Fs (start) and the reverse (stop).
void KeStartup(const MachineOptions& options);
void KeShutdown();  // stops the DPC/timer thread
void IoStartup(const MachineOptions& options);
void IoShutdown();  // stops worker threads; reports leaked handles, links, devices, pending IRPs
// Unloads the drivers still loaded (DriverUnload, then the unload leak checks).
// StopMachine calls it before any subsystem shuts down, so unload routines
// still find the registry; IoShutdown does it too if it was not called.
void IoUnloadDrivers();
// The Win32 layer (sim/win32): started last; stopped first, before drivers
// unload, closing the handles a client left open as process exit does.
void Win32Startup();
void Win32Shutdown();
void CmStartup(const MachineOptions& options);
void CmShutdown();
// Pool leak report at teardown (after every subsystem has shut down).
void KeReportPoolLeaks();

// ---------------------------------------------------------------- io: drivers

// The driver whose routine the calling thread runs (DriverEntry, DriverUnload,
// AddDevice, dispatch, completion and cancel routines, work items); null when
// none.
PDRIVER_OBJECT IoRunningDriver();

// ---------------------------------------------------------------- io: handles

// One handle table for the whole machine (kernel handles: registry keys,
// files, events, processes). `close` is called by ZwClose.
enum class HandleKind { Key, File, Event, Other };
HANDLE InsertHandle(HandleKind kind, void* object, void (*close)(void* object));
void* LookupHandle(HANDLE h, HandleKind kind);  // null when not a live handle of that kind
bool CloseHandleInternal(HANDLE h);             // false when not a live handle

// The drive-letter map used by ZwCreateFile: "C:" -> host folder.
std::string HostPathForDrive(wchar_t letter);

}  // namespace sim
