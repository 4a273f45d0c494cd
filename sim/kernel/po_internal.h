// Private state of the power manager (po_* files): the power IRPs it
// allocates (its own system and device requests, and the device requests
// drivers ask for with PoRequestPowerIrp), the threads that send them, and
// the hooks the I/O manager calls so the verifier can follow each of those
// IRPs through its stack.
//
// Threads: "power" sends the power manager's own IRPs (system requests, a
// test's single requests); "power-irp" sends the device requests drivers ask
// for above PASSIVE_LEVEL; "power-watch" reports IRPs held too long. Both
// senders call the top of the stack at PASSIVE_LEVEL, or at DISPATCH_LEVEL
// when the top device object lacks DO_POWER_PAGABLE. A request asked for at
// PASSIVE_LEVEL for a pageable stack is sent at once on the caller's thread.
//
// Lock rule: po::Lock() guards the records below. It is never held while a
// driver routine runs; io::Lock() and pnp::Lock() are never taken under it,
// nor is it taken under them.
#pragma once

#include "internal.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {
namespace po {

std::mutex& Lock();

// After the PnP manager starts; after it has removed every device node at
// machine stop (before drivers unload): drains the queues, stops the threads.
void Startup();
void Shutdown();

// How a power IRP the power manager sends comes back to its sender (at the
// IRQL its completion runs at).
using Done = std::function<void(const IO_STATUS_BLOCK& status)>;

// One driver a power IRP reached: its device and stack location (a driver
// that skipped its location shares it with the driver below).
struct Hop {
    PDEVICE_OBJECT device = nullptr;
    CHAR location = 0;
    bool physical = false;     // a PDO: the bus driver, the one that completes
    bool startedNext = false;  // PoStartNextPowerIrp while its location was current
    bool passedOn = false;     // it sent the IRP to the next driver
    bool ownRoutine = false;   // ... with an IoCompletion routine of its own
    bool completed = false;    // it called IoCompleteRequest
    PDRIVER_OBJECT driver = nullptr;
    std::string routine;  // "\Driver\X IRP_MJ_POWER", for reports
};

// A power IRP the power manager allocated, from allocation to completion.
struct PowerIrp {
    unsigned long long id;
    PIRP irp;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    POWER_ACTION action;
    PDEVICE_OBJECT target;                       // the device named by the request
    PDEVICE_OBJECT top;                          // top of its stack: sent there (referenced until completion)
    PREQUEST_POWER_COMPLETE complete = nullptr;  // PoRequestPowerIrp's caller
    PVOID context = nullptr;
    PDRIVER_OBJECT requester = nullptr;
    Done done;  // the power manager's own requests
    std::chrono::steady_clock::time_point sent;
    bool lostReported = false;
    std::vector<Hop> hops;                // in the order reached; finished hops are dropped lazily
    std::set<PDRIVER_OBJECT> completers;  // drivers that called IoCompleteRequest on it
    // A system request: the device requests drivers of its stack asked for
    // while it was in the stack. A device request: whether any driver has
    // completed it (its completion is under way or done).
    std::vector<std::shared_ptr<PowerIrp>> deviceIrps;
    bool completedOnce = false;
};

std::string Describe(const PowerIrp& p);  // "IRP_MN_SET_POWER S3 (system)"

// ---------------------------------------------------------------- po_irp.cpp

// Allocates a power IRP for the top of `target`'s stack and queues it for the
// "power" thread. Returns the record's id, or 0 when it cannot be allocated.
unsigned long long SendPowerIrp(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                                POWER_ACTION action, Done done);

// ---------------------------------------------------------------- po_thread.cpp

enum class Sender { Power, Requests };
void Queue(Sender sender, std::function<void()> job);
// How long a power IRP (other than IRP_MN_WAIT_WAKE) may stay uncompleted.
unsigned IrpTimeoutMs();

// ---------------------------------------------------------------- po_system.cpp

void SystemStartup();  // the machine starts working (S0)

// ---------------------------------------------------------------- po_verifier.cpp (records and rules)

std::shared_ptr<PowerIrp> FindLocked(PIRP irp);
void InsertLocked(const std::shared_ptr<PowerIrp>& p);
// Drops the record at its final completion, after the checks made there.
std::shared_ptr<PowerIrp> FinishLocked(PIRP irp);
// The system request in progress in the stack whose top is `top`, if any.
std::shared_ptr<PowerIrp> SystemIrpInStackLocked(PDEVICE_OBJECT top);
// Reports IRPs held longer than IrpTimeoutMs(), or the one with `id` now.
void ReportLost(unsigned long long id = 0);
void ForgetAllLocked();

// True while any power IRP is tracked (a cheap test before the hooks).
bool Tracking();
// Hooks of IofCallDriver and IofCompleteRequest, called without io::Lock().
// OnDispatch: `irp` has just moved to `location` on `device`, whose dispatch
// routine runs next. OnComplete: a driver calls IoCompleteRequest on a live
// IRP; false when that completion is refused (the IRP was completed
// already). OnCompletionRoutine: completion has walked up to the current
// location, whose driver's IoCompletion routine runs next.
void OnDispatch(PIRP irp, PDEVICE_OBJECT device, PIO_STACK_LOCATION location);
bool OnComplete(PIRP irp);
void OnCompletionRoutine(PIRP irp);

}  // namespace po
}  // namespace sim
