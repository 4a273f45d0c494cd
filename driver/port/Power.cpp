// Power requests of the port, and the system half of its power policy: the
// port owns its stack's power policy. A system request goes down
// first; when the lower drivers have finished it, the port asks the power
// manager for the device request the capabilities map the S-state to, and
// completes the system request when that device request is done. The device
// requests themselves are handled in PowerDevice.cpp.
//
// Who completes a system request: after SysPoCompletionRoutine has taken it
// back (STATUS_MORE_PROCESSING_REQUIRED), DevPoCompletionRoutine, or
// SendDeviceIrp when no device request could be asked for. Each holds the
// request's m_IoCounter unit until then.
#include "core/Pool.h"
#include "core/PoolTags.h"
#include "port/SerialDevice.h"

namespace {

// One system request waiting for its device request; freed by
// DevPoCompletionRoutine, or by SendDeviceIrp when the request cannot be asked for.
struct CPowerContext {
    PDEVICE_OBJECT DeviceObject;
    PIRP SystemIrp;
    CSerialDevice* Device;
};

// "S3" for PowerSystemSleeping3, "D0" for PowerDeviceD0: the numbering the log lines use.
ULONG SNumber(SYSTEM_POWER_STATE state)
{
    return (ULONG)state - 1;
}

}  // namespace

NTSTATUS CSerialDevice::DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // PASSIVE_LEVEL while the device object is power pageable;
    // at DISPATCH_LEVEL when the stack below is not.
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Trace(kTraceEntry, "DispatchPower");
    if (PnpState() == Removed) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (PnpState() == NotStarted) {
        // Not the policy owner of a stack that has not started: untouched.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(m_LowerDevice, Irp);
    }
    m_IoCounter.Increment();

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // The request's unit may come back on another thread as soon as it is
    // passed down, and removal may then free the device: a unit of this
    // routine's own keeps it until the routines below have returned.
    m_IoCounter.Increment();
    BOOLEAN system = stack->Parameters.Power.Type == SystemPowerState;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        Trace(kTraceEntry, "Setting %s power state to %s%X", system ? "System" : "Device", system ? "S" : "D",
              system ? SNumber(stack->Parameters.Power.State.SystemState)
                     : (ULONG)stack->Parameters.Power.State.DeviceState - 1);
        // The routines below give back the counter unit when they complete
        // or pass on the request, whatever they return.
        IoMarkIrpPending(Irp);
        if (system) {
            PwrSystemSetPower(DeviceObject, Irp);
        } else {
            PwrDeviceSetPower(DeviceObject, Irp);
        }
        m_IoCounter.Decrement();
        return STATUS_PENDING;
    case IRP_MN_QUERY_POWER:
        IoMarkIrpPending(Irp);
        if (system) {
            PwrSystemQueryPower(DeviceObject, Irp);
        } else {
            PwrDeviceQueryPower(DeviceObject, Irp);
        }
        m_IoCounter.Decrement();
        return STATUS_PENDING;
    default: {
        // IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE: the bus's business.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = PoCallDriver(m_LowerDevice, Irp);
        if (!NT_SUCCESS(status)) {
            Trace(kTraceFailure, "Lower drivers failed this Irp\n");
        }
        m_IoCounter.Decrement();
        m_IoCounter.Decrement();
        return status;
    }
    }
}

NTSTATUS CSerialDevice::PowerDown(PIRP Irp, PIO_COMPLETION_ROUTINE routine)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, routine, this, TRUE, TRUE, TRUE);
    return PoCallDriver(m_LowerDevice, Irp);
}

NTSTATUS CSerialDevice::PwrSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Trace(kTraceEntry, "PwrSystemSetPower - begins");
    Trace(kTraceDetail, "Set request for system power state S%X\n",
          SNumber(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState));
    PowerDown(Irp, SysPoCompletionRoutine);
    Trace(kTraceEntry, "PwrSystemSetPower - ends");
    return STATUS_PENDING;
}

NTSTATUS CSerialDevice::PwrSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Trace(kTraceEntry, "PwrSystemQueryPower - begins");
    Trace(kTraceDetail, "Query for system power state S%X Current system power state S%X",
          SNumber(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState), SNumber(m_SystemPowerState));
    PowerDown(Irp, SysPoCompletionRoutine);
    Trace(kTraceEntry, "PwrSystemQueryPower - ends");
    return STATUS_PENDING;
}

NTSTATUS CSerialDevice::SysPoCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CSerialDevice* self = (CSerialDevice*)Context;
    self->Trace(kTraceEntry, "SysPoCompletionRoutine - begins");
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        // The lower drivers refused: the request goes on completing upward
        // with their status, and no device request is asked for.
        PoStartNextPowerIrp(Irp);
        self->Trace(kTraceFailure, "SysPoCompletionRoutine::");
        self->m_IoCounter.Decrement();
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        self->m_SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    // The request's unit may go back before SendDeviceIrp returns (the
    // device request can complete at once): a unit of its own keeps the device.
    self->m_IoCounter.Increment();
    self->SendDeviceIrp(DeviceObject, Irp);
    self->Trace(kTraceEntry, "SysPoCompletionRoutine - ends");
    self->m_IoCounter.Decrement();
    // Completed later, by DevPoCompletionRoutine or by SendDeviceIrp itself.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

DEVICE_POWER_STATE CSerialDevice::DeviceStateFor(SYSTEM_POWER_STATE state) const
{
    // Until the bus has answered IRP_MN_QUERY_CAPABILITIES (m_DeviceCaps is
    // zero from construction), and for any S-state it leaves unspecified:
    // the mapping Windows uses when a bus reports none, D0 while working and
    // D3 in every sleeping state, hibernation and shutdown. Never a state
    // the device might not support.
    DEVICE_POWER_STATE d = PowerDeviceUnspecified;
    if (state > PowerSystemUnspecified && state < PowerSystemMaximum) {
        d = m_DeviceCaps.DeviceState[state];
    }
    if (d <= PowerDeviceUnspecified || d >= PowerDeviceMaximum) {
        d = state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }
    return d;
}

void CSerialDevice::SendDeviceIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Trace(kTraceEntry, "SendDeviceIrp - begins");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE device;
    device.DeviceState = DeviceStateFor(stack->Parameters.Power.State.SystemState);

    NTSTATUS status;
    CPowerContext* context = (CPowerContext*)PoolAlloc(NonPagedPool, sizeof(CPowerContext), kTagPower);
    if (context == NULL) {
        Trace(kTraceFailure, "Failed to alloc memory for powerContext");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        context->DeviceObject = DeviceObject;
        context->SystemIrp = Irp;
        context->Device = this;
        // The same mapping serves the set and the query.
        status = PoRequestPowerIrp(m_Pdo, stack->MinorFunction, device, DevPoCompletionRoutine, context, NULL);
        if (NT_SUCCESS(status)) {
            Trace(kTraceEntry, "SendDeviceIrp - ends");
            return;
        }
        PoolFree(context);
    }

    // No device request: the system request fails with the reason.
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    Trace(kTraceFailure, "SendDeviceIrp::");
    m_IoCounter.Decrement();
    Trace(kTraceEntry, "SendDeviceIrp - ends");
}

VOID CSerialDevice::DevPoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CPowerContext* context = (CPowerContext*)Context;
    CSerialDevice* self = context->Device;
    PIRP systemIrp = context->SystemIrp;
    self->Trace(kTraceEntry, "DevPoCompletionRoutine - begins");
    // The system request ends with the device request's status.
    systemIrp->IoStatus.Status = IoStatus->Status;
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Information = 0;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    self->Trace(kTraceEntry, "DevPoCompletionRoutine - ends");
    PoolFree(context);
    // The last touch of the device: removal may free it once this unit is back.
    self->m_IoCounter.Decrement();
}
