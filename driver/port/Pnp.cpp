// Plug and Play life of the function device. PnP requests arrive one at a time
// per device at PASSIVE_LEVEL; the completion routines here may run at
// DISPATCH_LEVEL and only copy, flag, signal and count.
#include "control/ControlDevice.h"
#include "port/SerialDevice.h"

namespace {

IO_COMPLETION_ROUTINE SignalEvent;

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CSerialDevice::PassDown(PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(m_LowerDevice, Irp);
}

NTSTATUS CSerialDevice::PassDownCounted(PIRP Irp)
{
    NTSTATUS status = PassDown(Irp);
    m_IoCounter.Decrement();
    return status;
}

NTSTATUS CSerialDevice::ForwardAndWait(PIRP Irp)
{
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(m_LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS CSerialDevice::DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchPnp");
    if (PnpState() == Removed) {
        return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    }
    m_IoCounter.Increment();

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = PnpStart(Irp);
        m_IoCounter.Decrement();
        return status;
    }
    case IRP_MN_REMOVE_DEVICE:
        // Gives back its counter unit itself.
        return PnpRemove(Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return EnterState(RemovePending, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        RestorePnpState();
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDownCounted(Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        RestorePnpState();
        // The writes held since the query go on.
        ReleaseWrites();
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDownCounted(Irp);
    case IRP_MN_STOP_DEVICE:
        // Only the state changes: configuration, readers and link stay, and
        // writes stay held until the start that follows releases them.
        return EnterState(Stopped, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        // The bus stops the device under the port: a write sent down then
        // would fail for a passing rebalance. New writes wait for the
        // restart (or the cancel); the one in flight ends first, or the
        // stop is refused.
        HoldWrites();
        if (!WaitForWriteIdle(kStopWriteWaitMs)) {
            ReleaseWrites();
            NTSTATUS busy = CompleteRequest(Irp, STATUS_DEVICE_BUSY);
            m_IoCounter.Decrement();
            return busy;
        }
        return EnterState(StopPending, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        // The completion routine gives back the counter unit.
        return PnpQueryCapabilities(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return PnpSurpriseRemoval(Irp);
    default:
        return PassDownCounted(Irp);
    }
}

NTSTATUS CSerialDevice::PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject->AttachedDevice == NULL || (DeviceObject->AttachedDevice->Flags & DO_POWER_PAGABLE)) {
        DeviceObject->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CompletionRoutineDeviceCaps, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(m_LowerDevice, Irp);
}

NTSTATUS CSerialDevice::CompletionRoutineDeviceCaps(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CSerialDevice* self = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(DeviceObject));
    self->Trace(kTraceEntry, "CompletionRoutineDeviceCaps");
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        RtlCopyMemory(&self->m_DeviceCaps, stack->Parameters.DeviceCapabilities.Capabilities,
                      sizeof(DEVICE_CAPABILITIES));
    }
    if (!(self->m_LowerDevice->Flags & DO_POWER_PAGABLE)) {
        DeviceObject->Flags &= ~DO_POWER_PAGABLE;
    }
    self->m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::EnterState(ULONG state, PIRP Irp)
{
    EnterPnpState(state);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCounted(Irp);
}

NTSTATUS CSerialDevice::PnpSurpriseRemoval(PIRP Irp)
{
    EnterPnpState(SurpriseRemoved);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    // A delivery loop waiting for data wakes and finds the device going.
    m_DataEvent.Set();
    // The driver-wide name and the COM link are free for another port at
    // once; the SERIALCOMM entry and the registration stay until removal.
    CControlDevice* control = GetControlExtension();
    if (control != NULL) {
        control->ReleaseActiveDevice(this);
    }
    WithdrawPort();
    return PassDownCounted(Irp);
}

void CSerialDevice::GetUsbLink()
{
    PAGED_CODE();
    Trace(kTraceEntry, "GetUsbLink");
    // A device node's driver key never changes: once read, it stays, and its
    // buffer is never replaced under the control device comparing keys.
    if (m_DriverKeyName.m_String.Length != 0) {
        return;
    }
    if (m_DriverKeyName.m_String.Buffer == NULL) {
        m_DriverKeyName.Reserve(600);
        if (m_DriverKeyName.m_String.Buffer == NULL) {
            return;
        }
    }
    ULONG length = 0;
    NTSTATUS status = IoGetDeviceProperty(m_Pdo, DevicePropertyDriverKeyName, m_DriverKeyName.m_String.MaximumLength,
                                          m_DriverKeyName.m_String.Buffer, &length);
    // The length counts the terminating zero; the control device compares keys
    // in this form.
    if (NT_SUCCESS(status) && length <= m_DriverKeyName.m_String.MaximumLength) {
        m_DriverKeyName.m_String.Length = (USHORT)length;
    }
}

NTSTATUS CSerialDevice::PnpStart(PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "PnpStart");
    // A write that arrives before the write path is ready (or while a start
    // after a stop rebuilds it) waits for the end of the start instead of
    // failing.
    HoldWrites();
    NTSTATUS status = ForwardAndWait(Irp);
    if (NT_SUCCESS(status)) {
        EnterPnpState(Started);
    }
    Irp->IoStatus.Status = status;

    // The rest runs whatever the lower drivers answered; each step fails on
    // its own. A port without a COM link gets no data path (a rename that
    // names it later starts one).
    CControlDevice* control = GetControlExtension();
    if (control != NULL) {
        control->RegisterDevice(this);
    }
    InitPortNames();
    GetUsbLink();
    if (InitUsbDev()) {
        PublishPort();
    }
    // Writes that waited start now, or fail if no write path came of it.
    ReleaseWrites();

    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CSerialDevice::PnpRemove(PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "PnpRemove");
    EnterPnpState(Removed);
    // Off the control device's list first: no control request can reach the
    // port from now on, and the ones on their way hold counter units that the
    // wait below waits for.
    CControlDevice* control = GetControlExtension();
    if (control != NULL) {
        control->UnregisterDevice(this);
    }
    m_IoCounter.Decrement();
    m_DataEvent.Set();
    // The same flush as cleanup's; the write in flight ends at its next
    // completion with what it has sent.
    FlushRequests();
    CancelPendingReads();

    // Every other request of the device must be finished before it goes.
    m_IoCounter.ReleaseAndWaitZero();

    WithdrawPort();
    DelPortToReg();
    // The control device object goes with the last port and comes back with
    // the next AddDevice.
    if (control != NULL && control->DeviceCount() == 0) {
        control->DeleteDevice();
    }

    NTSTATUS status = PassDown(Irp);
    IoDetachDevice(m_LowerDevice);
    m_ReadTimer.Cancel();

    if (m_DeviceObject != NULL) {
        // A late IRP now meets the router's refusal instead of this object.
        m_DeviceObject->DeviceExtension = NULL;
        IoDeleteDevice(m_DeviceObject);
        m_DeviceObject = NULL;
        delete this;
    }
    return status;
}

NTSTATUS CSerialDevice::DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchSysCtrl");
    m_IoCounter.Increment();
    NTSTATUS status;
    if (PnpState() == Removed) {
        status = CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    } else {
        status = PassDown(Irp);
    }
    m_IoCounter.Decrement();
    return status;
}
