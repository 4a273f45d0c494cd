// PnP and power requests on a PDO. A PDO completes every request itself;
// minor codes it does not handle complete with their status untouched.
//
// Power, as a USB hub's PDO answers it: a device set-power request records
// the new state (a device in D1-D3 is suspended: its transfers wait for D0);
// system requests and queries succeed; wait/wake is not supported (the model
// never signals wake). VBUS_FAULT_FAIL_POWER fails the set or query it
// matches instead, changing nothing.
#include "Vbus.h"

namespace {

VOID SetState(VBUS_DEVICE* dev, ULONG set, ULONG clear)
{
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    dev->State = (dev->State & ~clear) | set;
    KeReleaseSpinLock(&dev->Lock, irql);
}

NTSTATUS QueryCapabilities(VBUS_DEVICE* dev, PIO_STACK_LOCATION stack)
{
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    const VBUS_CAPABILITIES& c = dev->Caps;
    caps->DeviceD1 = (c.Flags & VBUS_CAP_DEVICE_D1) != 0;
    caps->DeviceD2 = (c.Flags & VBUS_CAP_DEVICE_D2) != 0;
    caps->Removable = (c.Flags & VBUS_CAP_REMOVABLE) != 0;
    caps->SurpriseRemovalOK = (c.Flags & VBUS_CAP_SURPRISE_REMOVAL_OK) != 0;
    caps->UniqueID = (c.Flags & VBUS_CAP_UNIQUE_ID) != 0;
    caps->WakeFromD0 = (c.Flags & VBUS_CAP_WAKE_FROM_D0) != 0;
    caps->WakeFromD1 = (c.Flags & VBUS_CAP_WAKE_FROM_D1) != 0;
    caps->WakeFromD2 = (c.Flags & VBUS_CAP_WAKE_FROM_D2) != 0;
    caps->WakeFromD3 = (c.Flags & VBUS_CAP_WAKE_FROM_D3) != 0;
    caps->Address = dev->Id;
    caps->UINumber = dev->Id;
    BOOLEAN anyState = FALSE;
    for (ULONG s = 0; s < PowerSystemMaximum; ++s)
        anyState |= c.DeviceState[s] != 0;
    for (ULONG s = 0; s < PowerSystemMaximum; ++s) {
        if (anyState)
            caps->DeviceState[s] = (DEVICE_POWER_STATE)c.DeviceState[s];
        else
            caps->DeviceState[s] = s == PowerSystemUnspecified ? PowerDeviceUnspecified
                                   : s == PowerSystemWorking   ? PowerDeviceD0
                                                               : PowerDeviceD3;
    }
    caps->SystemWake = (SYSTEM_POWER_STATE)c.SystemWake;
    caps->DeviceWake = (DEVICE_POWER_STATE)c.DeviceWake;
    return STATUS_SUCCESS;
}

NTSTATUS TargetRelation(VBUS_DEVICE* dev, PIRP irp)
{
    auto relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), VBUS_TAG));
    if (!relations)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT pdo = dev->Pdo;  // stable while the PnP manager sends requests to it
    ObReferenceObject(pdo);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// The device enters `state`. Power goes down only after the power manager
// knows, and is reported once it is back.
VOID SetPowerState(VBUS_DEVICE* dev, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    if (state != PowerDeviceD0)
        PoSetPowerState(dev->Pdo, DevicePowerState, s);
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    dev->PowerState = state;
    KeReleaseSpinLock(&dev->Lock, irql);
    if (state == PowerDeviceD0)
        PoSetPowerState(dev->Pdo, DevicePowerState, s);
}

// The status VBUS_FAULT_FAIL_POWER asks for this request, or STATUS_SUCCESS.
NTSTATUS PowerFault(VBUS_DEVICE* dev, PIO_STACK_LOCATION stack)
{
    BOOLEAN device = stack->Parameters.Power.Type == DevicePowerState;
    ULONG state =
        device ? (ULONG)stack->Parameters.Power.State.DeviceState : (ULONG)stack->Parameters.Power.State.SystemState;
    USHORT target = VBUS_POWER_TARGET(device ? VBUS_POWER_DEVICE : VBUS_POWER_SYSTEM, state);
    VBUS_FAULT* fault = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    BOOLEAN hit = VbusMatchFault(dev, VBUS_FAULT_FAIL_POWER, stack->MinorFunction, target, &fault);
    NTSTATUS status = hit ? fault->NtStatus : STATUS_SUCCESS;
    KeReleaseSpinLock(&dev->Lock, irql);
    return status;
}

NTSTATUS Remove(VBUS_DEVICE* dev, PIRP irp)
{
    SetState(dev, VBUS_STATE_REMOVED, VBUS_STATE_STARTED | VBUS_STATE_CONFIGURED);
    // The function driver should have cancelled its transfers; any left fail.
    VbusFlushTransfers(dev, VBUS_ALL_ENDPOINTS, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    // Still plugged in (a disable, an uninstall): the PDO stays for the next
    // start. Otherwise the PnP manager lets go of it here.
    if (!(dev->Link & VBUS_LINK_PRESENT))
        dev->Link &= ~VBUS_LINK_REPORTED;
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    VbusReference(dev);
    VbusComplete(irp, STATUS_SUCCESS);
    VbusDeleteIfGone(dev);
    VbusRelease(dev);
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL.
NTSTATUS VbusPdoPnp(VBUS_DEVICE* dev, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        SetState(dev, VBUS_STATE_STARTED, VBUS_STATE_REMOVED);
        SetPowerState(dev, PowerDeviceD0);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        SetState(dev, 0, VBUS_STATE_STARTED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        SetState(dev, VBUS_STATE_GONE, VBUS_STATE_STARTED);
        VbusFlushTransfers(dev, VBUS_ALL_ENDPOINTS, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        return Remove(dev, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(dev, stack);
        break;
    case IRP_MN_QUERY_ID: {
        PWCHAR id = nullptr;
        NTSTATUS s = VbusQueryId(dev, stack->Parameters.QueryId.IdType, &id);
        if (s != STATUS_NOT_SUPPORTED) {
            status = s;
            if (NT_SUCCESS(s))
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        PWCHAR text = nullptr;
        NTSTATUS s = VbusQueryText(dev, stack->Parameters.QueryDeviceText.DeviceTextType, &text);
        if (s != STATUS_NOT_SUPPORTED) {
            status = s;
            if (NT_SUCCESS(s))
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            status = TargetRelation(dev, irp);
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// PASSIVE_LEVEL (the PDO is power pageable).
NTSTATUS VbusPdoPower(VBUS_DEVICE* dev, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        status = PowerFault(dev, stack);
        if (NT_SUCCESS(status) && stack->Parameters.Power.Type == DevicePowerState)
            SetPowerState(dev, stack->Parameters.Power.State.DeviceState);
        break;
    case IRP_MN_QUERY_POWER:
        status = PowerFault(dev, stack);
        break;
    case IRP_MN_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;  // the model never signals wake
        break;
    default:
        break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
