// PnP and power requests on a PDO. A PDO completes every request itself;
// minor codes it does not handle complete with their status untouched.
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

NTSTATUS VbusPdoPower(VBUS_DEVICE* dev, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(dev->Pdo, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
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
