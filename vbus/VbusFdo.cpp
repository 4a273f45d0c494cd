// The bus FDO of the PnP route: AddDevice attaches it above the root PDO
// ("ROOT\BLNKVBUS\0000"); it answers the bus relations, starts after the
// PDO below it, and on removal takes every virtual device with it.
#include "Vbus.h"

namespace {

NTSTATUS SignalStarted(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the start finishes in VbusFdoPnp
}

PDEVICE_OBJECT Lower()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    PDEVICE_OBJECT lower = g_Bus.Lower;
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    return lower;
}

// PASSIVE_LEVEL. The device below starts first; the bus after it.
NTSTATUS Start(PIRP irp)
{
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStarted, &started, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower(), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// PASSIVE_LEVEL. The PnP manager removed every child first; their PDOs go
// with the bus, then the FDO leaves the stack.
NTSTATUS Remove(PDEVICE_OBJECT fdo, PIRP irp)
{
    VbusRemoveAllDevices();
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    PDEVICE_OBJECT lower = g_Bus.Lower;
    g_Bus.Fdo = nullptr;
    g_Bus.Lower = nullptr;
    g_Bus.RootPdo = nullptr;
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return status;
}

}  // namespace

NTSTATUS VbusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    BOOLEAN busy = g_Bus.Fdo != nullptr;
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    if (busy)
        return STATUS_DEVICE_BUSY;  // one bus per driver image

    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(VBUS_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto ext = static_cast<VBUS_EXTENSION*>(fdo->DeviceExtension);
    ext->Signature = VBUS_SIG_FDO;
    ext->Dev = nullptr;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    g_Bus.Fdo = fdo;
    g_Bus.Lower = lower;
    g_Bus.RootPdo = pdo;
    g_Bus.PnpManaged = TRUE;
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS VbusFdoPassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Lower(), irp);
}

// PASSIVE_LEVEL.
NTSTATUS VbusFdoPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            NTSTATUS status = VbusBusRelations(irp);
            if (!NT_SUCCESS(status))
                return VbusComplete(irp, status, irp->IoStatus.Information);
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        return VbusFdoPassDown(irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        // The bus holds no hardware resources: nothing to release or keep.
        irp->IoStatus.Status = STATUS_SUCCESS;
        return VbusFdoPassDown(irp);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(fdo, irp);
    default:
        return VbusFdoPassDown(irp);
    }
}

NTSTATUS VbusFdoPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    UNREFERENCED_PARAMETER(fdo);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(), irp);
}
