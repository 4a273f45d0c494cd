// Device power requests of the port: a request that raises power
// goes down first and the readers restart once the device is back in D0; a
// request that leaves D0 (or a query for that) first stops the readers in a
// worker thread (PowerHold.cpp) and only then goes down.
//
// Who completes a device request: the lower drivers, after
// FinishDevPoUpIrp or FinishDevPoDnIrp has given back its m_IoCounter unit;
// the port itself only when it refuses it (no work item for the hold).
#include "port/SerialDevice.h"

namespace {

ULONG DNumber(DEVICE_POWER_STATE state)
{
    return (ULONG)state - 1;
}

DEVICE_POWER_STATE RequestedState(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
}

}  // namespace

NTSTATUS CSerialDevice::PwrDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    DEVICE_POWER_STATE next = RequestedState(Irp);
    DEVICE_POWER_STATE current = m_DevicePowerState;
    Trace(kTraceEntry, "PwrDeviceSetPower - begins");
    Trace(kTraceDetail, "Set request for device power state D%X Current device power state D%X", DNumber(next),
          DNumber(current));

    if (next < current) {
        Trace(kTraceDetail, "Adding power to the device");
        PowerDown(Irp, FinishDevPoUpIrp);
        return STATUS_PENDING;
    }
    if (current == PowerDeviceD0 && next > current) {
        Trace(kTraceDetail, "Removing power from the device");
        NTSTATUS status = HoldIoRequests(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, status);
        Trace(kTraceFailure, "HandleDeviceSetPower::");
        m_IoCounter.Decrement();
        return status;
    }
    if (current == PowerDeviceD0 && next == PowerDeviceD0) {
        // The system stays working (a vetoed sleep ends with a set to S0):
        // the readers a query stopped run again.
        Trace(kTraceDetail, "A SetD0 request");
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            RestartRead();
        } else {
            QueueRestartRead();
        }
    }
    // Also a set to the same or a lower state while not in D0. The unit
    // around the call keeps the device while the request's own goes back.
    m_IoCounter.Increment();
    NTSTATUS status = PowerDown(Irp, FinishDevPoDnIrp);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "Lower drivers failed a power Irp");
    }
    m_IoCounter.Decrement();
    return STATUS_PENDING;
}

NTSTATUS CSerialDevice::FinishDevPoUpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CSerialDevice* self = (CSerialDevice*)Context;
    self->Trace(kTraceEntry, "FinishDevPoUpIrp - begins");
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        // The device stays where it was; its readers stay stopped.
        PoStartNextPowerIrp(Irp);
        self->Trace(kTraceFailure, "FinishDevPoUpIrp::");
    } else {
        POWER_STATE state;
        state.DeviceState = RequestedState(Irp);
        self->m_DevicePowerState = state.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, state);
        PoStartNextPowerIrp(Irp);
        if (state.DeviceState == PowerDeviceD0) {
            // RestartRead's class request waits: never here, where the IRQL
            // may be DISPATCH_LEVEL and the bus's completion is running.
            self->QueueRestartRead();
        }
        self->Trace(kTraceEntry, "FinishDevPoUpIrp - ends");
    }
    self->m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::FinishDevPoDnIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CSerialDevice* self = (CSerialDevice*)Context;
    self->Trace(kTraceEntry, "FinishDevPoDnIrp - begins");
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        // A query that comes through here changes nothing.
        self->Trace(kTraceDetail, "updating cache..");
        POWER_STATE state;
        state.DeviceState = stack->Parameters.Power.State.DeviceState;
        self->m_DevicePowerState = state.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, state);
    }
    PoStartNextPowerIrp(Irp);
    self->Trace(kTraceEntry, "FinishDevPoDnIrp - ends");
    self->m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::PwrDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    DEVICE_POWER_STATE next = RequestedState(Irp);
    DEVICE_POWER_STATE current = m_DevicePowerState;
    Trace(kTraceEntry, "PwrDeviceQueryPower - begins");
    Trace(kTraceDetail, "Query for device power state D%X Current device power state D%X", DNumber(next),
          DNumber(current));

    NTSTATUS status = STATUS_SUCCESS;
    if (next >= current) {
        // The readers stop as they would for the set; if no set follows, they
        // stay stopped until the next RestartRead (an open, a set to D0).
        status = HoldIoRequests(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;  // the worker passes the query down
        }
    }
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, status);
        m_IoCounter.Decrement();
        return status;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS result = PoCallDriver(m_LowerDevice, Irp);
    Trace(kTraceEntry, "HandleDeviceQueryPower - ends");
    m_IoCounter.Decrement();
    return result;
}

void CSerialDevice::QueueRestartRead()
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CWorkItem* item = CWorkItem::Create(m_DeviceObject, 1);
    if (item == NULL) {
        // No worker: the slots are re-armed here (allowed at DISPATCH_LEVEL),
        // without the SET_IDLE request that would have to wait.
        Trace(kTraceFailure, "QueueRestartRead no work item: readers re-armed without SET_IDLE");
        RearmReaders();
        return;
    }
    item->m_Slots[0] = this;
    item->m_Used = 1;
    item->m_Routine = RestartReadWorkerRoutine;
    m_IoCounter.Increment();  // held until the worker has run
    item->Queue();
}

VOID CSerialDevice::RestartReadWorkerRoutine(PDEVICE_OBJECT DeviceObject, CWorkItem* item)
{
    PAGED_CODE();
    CSerialDevice* self = (CSerialDevice*)item->m_Slots[0];
    self->Trace(kTraceEntry, "RestartReadWorkerRoutine");
    // Power may have begun to leave D0 again since the item was queued: the
    // hold worker then owns the readers, and the next return to D0 restarts
    // them. (A restart that slips past this check is cancelled by the hold
    // worker, which cancels on each pass.)
    if (self->m_DevicePowerState == PowerDeviceD0 && !ReadNoFence(&self->m_ReadersHeld) &&
        self->PnpState() != Removed) {
        self->RestartRead();
    }
    self->m_IoCounter.Decrement();
}
