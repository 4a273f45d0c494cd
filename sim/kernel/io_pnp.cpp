// The power routines of the I/O manager's surface; they work on any device
// stack. The PnP routines (IoGetDeviceProperty, IoOpenDeviceRegistryKey,
// IoInvalidateDeviceRelations) are the PnP manager's: pnp_property.cpp.
#include "io_internal.h"

using namespace sim;

namespace {

struct PowerRequest {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE complete;
    PVOID context;
};

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* req = static_cast<PowerRequest*>(context);
    if (req->complete)
        CallDriverRoutine("power completion function",
                          [&] { req->complete(req->target, req->minor, req->state, req->context, &irp->IoStatus); });
    delete req;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        ReportViolation("POCALLDRIVER_NOT_POWER_IRP", io::IrpText(Irp), "PoCallDriver",
                        "the next stack location is not IRP_MJ_POWER");
    return IofCallDriver(DeviceObject, Irp);
}

// Since Windows Vista the power manager no longer serialises power IRPs per
// device, so there is nothing to release.
extern "C" VOID PoStartNextPowerIrp(PIRP Irp)
{
    (void)Irp;
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
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

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE &&
        MinorFunction != IRP_MN_POWER_SEQUENCE)
        return STATUS_INVALID_PARAMETER_2;
    if (ShouldFail(FaultSite::Irp, 0))
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top;
    PIRP irp;
    {
        io::Guard lock(io::Lock());
        top = io::TopOfStackLocked(DeviceObject);
        // One extra location for the power manager itself: its completion
        // routine calls the requester's function and frees the IRP.
        irp = io::AllocateIrpLocked((CCHAR)(top->StackSize + 1), io::IrpOwner::Driver, "PoRequestPowerIrp");
    }
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    auto* req = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, req, TRUE, TRUE, TRUE);
    if (Irp)
        *Irp = irp;
    IofCallDriver(top, irp);
    return STATUS_PENDING;
}
