// Power IRPs: allocated by the power manager for itself and for
// PoRequestPowerIrp, sent to the top of a device's stack, and completed
// through the power manager's own stack location, whose IoCompletion routine
// calls the requester back and frees the IRP. Also PoCallDriver and
// PoSetPowerState.
#include "po_internal.h"
#include "io_internal.h"

#include <atomic>

namespace sim {
namespace po {
namespace {

std::atomic<unsigned long long> g_nextId{1};

// The power manager's IoCompletion routine: the last one of every power IRP,
// at the IRQL the completing driver runs at.
NTSTATUS PowerIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    std::shared_ptr<PowerIrp> p;
    {
        std::lock_guard<std::mutex> lock(Lock());
        p = FinishLocked(irp);
    }
    if (p) {
        if (p->complete) {
            io::DriverScope scope(p->requester);
            CallDriverRoutine("PowerCompletion routine",
                              [&] { p->complete(p->target, p->minor, p->state, p->context, &irp->IoStatus); });
        }
        if (p->done)
            p->done(irp->IoStatus);
        io::Dereference(p->top, "PoRequestPowerIrp");  // the power manager's own reference
    }
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// `p` names the request and its requester; the IRP is allocated for it.
std::shared_ptr<PowerIrp> Allocate(std::shared_ptr<PowerIrp> p, PDEVICE_OBJECT target, const char* routine)
{
    {
        io::Guard lock(io::Lock());
        if (!io::IsDeviceLocked(target) || target->DeviceObjectExtension->deleted) {
            lock.unlock();
            ReportViolation("INVALID_DEVICE_OBJECT", "device " + io::Hex(target), routine, "not a live device object");
            return nullptr;
        }
        p->top = io::TopOfStackLocked(target);
        io::ReferenceLocked(p->top);
        // One extra location for the power manager itself, on top.
        p->irp = io::AllocateIrpLocked((CCHAR)(p->top->StackSize + 1), io::IrpOwner::Driver, routine);
    }
    p->id = g_nextId++;
    p->target = target;
    p->requester = io::CurrentDriver();
    p->sent = std::chrono::steady_clock::now();
    PIRP irp = p->irp;
    UCHAR minor = p->minor;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = target;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, PowerIrpDone, nullptr, TRUE, TRUE, TRUE);
    std::lock_guard<std::mutex> lock(Lock());
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = p->state.SystemState;
    } else {
        // A device request asked for while a system request is in its stack
        // serves that request: it carries the system's action, and the
        // system request must wait for it.
        if (p->type == DevicePowerState)
            if (auto system = SystemIrpInStackLocked(p->top)) {
                system->deviceIrps.push_back(p);
                p->action = system->action;
            }
        next->Parameters.Power.Type = p->type;
        next->Parameters.Power.State = p->state;
        next->Parameters.Power.ShutdownType = p->action;
    }
    InsertLocked(p);
    return p;
}

// Sends `p` to the top of its stack from the calling thread.
void Dispatch(const std::shared_ptr<PowerIrp>& p)
{
    bool pageable = (p->top->Flags & DO_POWER_PAGABLE) != 0;
    KIRQL old = PASSIVE_LEVEL;
    if (!pageable)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    IofCallDriver(p->top, p->irp);
    if (!pageable)
        KeLowerIrql(old);
}

}  // namespace

unsigned long long SendPowerIrp(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                                POWER_ACTION action, Done done)
{
    auto p = std::make_shared<PowerIrp>();
    p->minor = minor;
    p->type = type;
    p->state = state;
    p->action = action;
    p->done = std::move(done);
    if (!Allocate(p, target, "power manager"))
        return 0;
    Queue(Sender::Power, [p] { Dispatch(p); });
    return p->id;
}

}  // namespace po
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        ReportViolation("POCALLDRIVER_NOT_POWER_IRP", io::IrpText(Irp), "PoCallDriver",
                        "the next stack location is not IRP_MJ_POWER");
    return IofCallDriver(DeviceObject, Irp);
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    // Only the way back to D0 may be announced from DISPATCH_LEVEL.
    if (!(Type == DevicePowerState && State.DeviceState == PowerDeviceD0))
        RequireIrql(APC_LEVEL, "PoSetPowerState");
    io::Guard lock(io::Lock());
    POWER_STATE old{};
    if (!io::IsDeviceLocked(DeviceObject)) {
        ReportViolation("INVALID_DEVICE_OBJECT", "device " + io::Hex(DeviceObject), "PoSetPowerState",
                        "not a live device object");
        return old;
    }
    _DEVOBJ_EXTENSION* x = DeviceObject->DeviceObjectExtension;
    POWER_STATE& slot = Type == DevicePowerState ? x->devicePower : x->systemPower;
    old = slot;
    slot = State;
    return old;
}

// The request goes to the top of DeviceObject's stack: at once on the
// caller's thread when it runs at PASSIVE_LEVEL and the stack is pageable,
// otherwise from the "power-irp" thread. The power manager frees the IRP
// after CompletionFunction has run.
extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    RequireIrql(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (ShouldFail(FaultSite::Irp, 0))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto p = std::make_shared<po::PowerIrp>();
    p->minor = MinorFunction;
    p->type = DevicePowerState;
    p->state = PowerState;
    p->action = PowerActionNone;
    p->complete = CompletionFunction;
    p->context = Context;
    if (!po::Allocate(p, DeviceObject, "PoRequestPowerIrp"))
        return STATUS_INVALID_PARAMETER_1;
    if (Irp)
        *Irp = p->irp;
    if (CurrentIrql() == PASSIVE_LEVEL && (p->top->Flags & DO_POWER_PAGABLE))
        po::Dispatch(p);
    else
        po::Queue(po::Sender::Requests, [p] { po::Dispatch(p); });
    return STATUS_PENDING;
}
