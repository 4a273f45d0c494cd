// The power manager's records of its IRPs and the verifier's power rules
// (listed in sim/include/sim/sim.h). Each IRP's record follows it down its
// stack, one hop per driver it reaches, and back up, so that every report
// names the driver at fault.
#include "po_internal.h"
#include "host_mutex.h"
#include "io_internal.h"

#include <atomic>
#include <unordered_map>

namespace sim {
namespace po {
namespace {

std::unordered_map<PIRP, std::shared_ptr<PowerIrp>> g_irps;  // guarded by Lock()
std::atomic<size_t> g_tracked{0};

bool NeedsStartNext(const PowerIrp& p)
{
    return p.minor == IRP_MN_SET_POWER || p.minor == IRP_MN_QUERY_POWER;
}

struct Report {
    const char* rule;
    std::string object, routine, detail;
};

void Send(const std::vector<Report>& reports)
{
    for (const Report& r : reports)
        ReportViolation(r.rule, r.object, r.routine.c_str(), r.detail);
}

// Hops below `location` have finished: completion has walked past them. One
// that passed the IRP on with an IoCompletion routine of its own could still
// call PoStartNextPowerIrp there; now it is too late.
void DropFinishedLocked(PowerIrp& p, int location, std::vector<Report>* reports)
{
    while (!p.hops.empty() && p.hops.back().location < location) {
        const Hop& h = p.hops.back();
        if (h.ownRoutine && !h.completed && !h.startedNext && NeedsStartNext(p))
            reports->push_back({"PO_START_NEXT_POWER_IRP_MISSING", io::IrpText(p.irp), h.routine,
                                "let " + Describe(p) +
                                    " complete upward from its IoCompletion routine without calling "
                                    "PoStartNextPowerIrp"});
        p.hops.pop_back();
    }
}

// The driver whose stack location is current: the last one that reached it.
Hop* HolderLocked(PowerIrp& p, PIRP irp, std::vector<Report>* reports)
{
    DropFinishedLocked(p, irp->CurrentLocation, reports);
    for (auto it = p.hops.rbegin(); it != p.hops.rend(); ++it)
        if (it->location == irp->CurrentLocation)
            return &*it;
    return nullptr;
}

std::string Status(NTSTATUS s)
{
    return io::Hex((void*)(uintptr_t)(ULONG)s);
}

// Completing without passing down: what a function or filter driver may do.
const char* NotPassedDownProblem(const PowerIrp& p, NTSTATUS status)
{
    if (status == STATUS_NOT_SUPPORTED)
        return "completed it with STATUS_NOT_SUPPORTED: a driver that does not handle a power IRP passes it down";
    if (NT_SUCCESS(status))
        return "completed it with success without passing it down: only the bus driver completes a power IRP";
    if (p.minor == IRP_MN_SET_POWER && p.type == SystemPowerState && status != STATUS_DELETE_PENDING)
        return "failed a system set-power request: drivers cannot fail it, they pass it down to the bus driver";
    return nullptr;  // a vetoed query, a failed device request, a removed device
}

}  // namespace

std::mutex& Lock()
{
    static HostMutex m;
    return m;
}

std::string Describe(const PowerIrp& p)
{
    static const char* const minors[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                         "IRP_MN_QUERY_POWER"};
    std::string s = p.minor < 4 ? minors[p.minor] : "IRP_MN_?";
    if (p.minor == IRP_MN_WAIT_WAKE)
        return s + " S" + std::to_string((int)p.state.SystemState - 1);
    if (p.type == SystemPowerState)
        return s + " S" + std::to_string((int)p.state.SystemState - 1) + " (system)";
    return s + " D" + std::to_string((int)p.state.DeviceState - 1);
}

std::shared_ptr<PowerIrp> FindLocked(PIRP irp)
{
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : it->second;
}

void InsertLocked(const std::shared_ptr<PowerIrp>& p)
{
    g_irps[p->irp] = p;
    g_tracked = g_irps.size();
}

std::shared_ptr<PowerIrp> FinishLocked(PIRP irp)
{
    auto p = FindLocked(irp);
    if (!p)
        return nullptr;
    g_irps.erase(irp);
    g_tracked = g_irps.size();
    std::vector<Report> reports;
    DropFinishedLocked(*p, p->irp->StackCount + 1, &reports);
    bool quickResume = p->minor == IRP_MN_SET_POWER && p->state.SystemState == PowerSystemWorking;
    if (p->type == SystemPowerState && !quickResume) {
        for (auto& d : p->deviceIrps)
            if (!d->completedOnce)
                reports.push_back({"SYSTEM_POWER_IRP_COMPLETED_BEFORE_DEVICE_IRP", io::IrpText(irp),
                                   d->requester ? io::Narrow(io::Text(&d->requester->DriverName)) : "?",
                                   Describe(*p) + " completed while " + io::IrpText(d->irp) + " (" + Describe(*d) +
                                       "), which this driver asked for while holding it, had not: a power policy "
                                       "owner holds the system request pending until its device request completes"});
    }
    Send(reports);
    return p;
}

std::shared_ptr<PowerIrp> SystemIrpInStackLocked(PDEVICE_OBJECT top)
{
    for (auto& [irp, p] : g_irps)
        if (p->type == SystemPowerState && p->top == top)
            return p;
    return nullptr;
}

// Reports under the lock, so that whoever finds an IRP already marked lost
// also finds it reported.
void ReportLost(unsigned long long id)
{
    auto now = std::chrono::steady_clock::now();
    auto limit = std::chrono::milliseconds(IrpTimeoutMs());
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(Lock());
        for (auto& [irp, p] : g_irps) {
            bool due = id ? p->id == id : now - p->sent >= limit;
            if (!due || p->lostReported || p->minor == IRP_MN_WAIT_WAKE)
                continue;
            p->lostReported = true;
            std::string holder = p->hops.empty() ? "the power manager (not yet sent)" : p->hops.back().routine;
            std::string device = p->hops.empty() ? io::Hex(p->top) : io::Hex(p->hops.back().device);
            reports.push_back({"POWER_IRP_NOT_COMPLETED", io::IrpText(irp), holder,
                               Describe(*p) + " was not completed within " + std::to_string(IrpTimeoutMs()) +
                                   " ms; it is held by device " + device});
        }
        Send(reports);
    }
}

void ForgetAllLocked()
{
    g_irps.clear();
    g_tracked = 0;
}

bool Tracking()
{
    return g_tracked != 0;
}

void OnDispatch(PIRP irp, PDEVICE_OBJECT device, PIO_STACK_LOCATION location)
{
    if (!Tracking() || location->MajorFunction != IRP_MJ_POWER)
        return;
    Hop hop;
    hop.device = device;
    hop.location = irp->CurrentLocation;
    {
        io::Guard lock(io::Lock());
        hop.physical = device->DeviceObjectExtension->attachedTo == nullptr;
        hop.driver = device->DriverObject;
        hop.routine = io::Narrow(io::Text(&device->DriverObject->DriverName)) + " IRP_MJ_POWER";
    }
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(Lock());
        auto p = FindLocked(irp);
        if (!p)
            return;
        if (!p->hops.empty()) {
            Hop& caller = p->hops.back();
            caller.passedOn = true;
            // A skipped location is shared with the driver below: no
            // IoCompletion routine of the caller's can run.
            bool ownRoutine = irp->CurrentLocation != caller.location && location->CompletionRoutine &&
                              (location->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL));
            caller.ownRoutine = ownRoutine;
            if (NeedsStartNext(*p) && !caller.startedNext && !ownRoutine)
                reports.push_back({"PO_START_NEXT_POWER_IRP_MISSING", io::IrpText(irp), caller.routine,
                                   "passed " + Describe(*p) + " on to " + io::DeviceText(device) +
                                       " without calling PoStartNextPowerIrp first"});
        }
        p->hops.push_back(hop);
    }
    Send(reports);
}

bool OnComplete(PIRP irp)
{
    if (!Tracking())
        return true;
    PDRIVER_OBJECT caller = io::CurrentDriver();
    std::vector<Report> reports;
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(Lock());
        auto p = FindLocked(irp);
        if (!p)
            return true;
        Hop* holder = HolderLocked(*p, irp, &reports);
        if (!holder) {
            // Not completed by a driver the IRP reached: nothing to check.
        } else if (caller && caller != holder->driver && p->completers.count(caller)) {
            again = true;
            reports.push_back(
                {"IRP_COMPLETED_TWICE", io::IrpText(irp), io::Narrow(io::Text(&caller->DriverName)) + " IRP_MJ_POWER",
                 "completed " + Describe(*p) + " again; " + holder->routine + " holds it since the first completion"});
        } else {
            if (NeedsStartNext(*p) && !holder->startedNext)
                reports.push_back({"PO_START_NEXT_POWER_IRP_MISSING", io::IrpText(irp), holder->routine,
                                   "completed " + Describe(*p) + " without calling PoStartNextPowerIrp first"});
            if (!holder->passedOn && !holder->physical) {
                if (const char* problem = NotPassedDownProblem(*p, irp->IoStatus.Status))
                    reports.push_back(
                        {"POWER_IRP_NOT_PASSED_DOWN", io::IrpText(irp), holder->routine,
                         Describe(*p) + ": " + problem + " (status " + Status(irp->IoStatus.Status) + ")"});
            }
            holder->completed = true;
            p->completers.insert(holder->driver);
            p->completedOnce = true;
        }
    }
    Send(reports);
    return !again;
}

void OnCompletionRoutine(PIRP irp)
{
    if (!Tracking())
        return;
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(Lock());
        if (auto p = FindLocked(irp))
            DropFinishedLocked(*p, irp->CurrentLocation, &reports);
    }
    Send(reports);
}

}  // namespace po
}  // namespace sim

using namespace sim;

// Since Windows Vista the power manager no longer waits for this call before
// it sends a device's next power IRP; the verifier still asks for it
// (PO_START_NEXT_POWER_IRP_MISSING) so that drivers stay portable.
extern "C" VOID PoStartNextPowerIrp(PIRP Irp)
{
    if (!po::Tracking())
        return;
    std::lock_guard<std::mutex> lock(po::Lock());
    auto p = po::FindLocked(Irp);
    if (!p || Irp->CurrentLocation > Irp->StackCount)
        return;
    PDEVICE_OBJECT current = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    for (auto it = p->hops.rbegin(); it != p->hops.rend(); ++it)
        if (it->location == Irp->CurrentLocation && it->device == current) {
            it->startedNext = true;
            return;
        }
}
