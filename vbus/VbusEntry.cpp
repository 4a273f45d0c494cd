// Entry, unload and IRP routing of the virtual bus. Its device objects: the
// control device (also the bus device the PDOs are enumerated from when the
// bus runs without AddDevice), the bus FDO of the PnP route, and the PDOs.
#include "Vbus.h"

namespace {

NTSTATUS CompleteUntouched(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ControlDispatch(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return VbusComplete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        return VbusControlIoctl(irp);
    case IRP_MJ_PNP:
        if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            NTSTATUS status = VbusBusRelations(irp);
            if (!NT_SUCCESS(status))
                return VbusComplete(irp, status, irp->IoStatus.Information);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        return CompleteUntouched(irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return CompleteUntouched(irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteUntouched(irp);
    default:
        return VbusComplete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS PdoDispatch(VBUS_DEVICE* dev, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return VbusComplete(irp, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return VbusPdoInternalIoctl(dev, irp);
    case IRP_MJ_PNP:
        return VbusPdoPnp(dev, irp);
    case IRP_MJ_POWER:
        return VbusPdoPower(dev, irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteUntouched(irp);
    default:
        return VbusComplete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS FdoDispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return VbusComplete(irp, STATUS_SUCCESS);
    case IRP_MJ_PNP:
        return VbusFdoPnp(fdo, irp);
    case IRP_MJ_POWER:
        return VbusFdoPower(fdo, irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return VbusFdoPassDown(irp);
    default:
        return VbusComplete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS VbusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto ext = static_cast<VBUS_EXTENSION*>(device->DeviceExtension);
    if (ext->Signature == VBUS_SIG_PDO)
        return PdoDispatch(ext->Dev, irp);
    if (ext->Signature == VBUS_SIG_FDO)
        return FdoDispatch(device, irp);
    return ControlDispatch(irp);
}

VOID VbusUnload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    VbusUnloadDevices();
    // Timer DPCs of devices released above may still be finishing.
    KeFlushQueuedDpcs();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, VBUS_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_Bus.Control);
    g_Bus.Control = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    RtlZeroMemory(&g_Bus, sizeof(g_Bus));
    KeInitializeSpinLock(&g_Bus.Lock);
    InitializeListHead(&g_Bus.Devices);
    KeInitializeEvent(&g_Bus.Empty, NotificationEvent, TRUE);

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, VBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, VBUS_LINK_NAME);
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(VBUS_EXTENSION), &name, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    auto ext = static_cast<VBUS_EXTENSION*>(control->DeviceExtension);
    ext->Signature = VBUS_SIG_CONTROL;
    ext->Dev = nullptr;
    g_Bus.Control = control;

    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = VbusDispatch;
    driver->DriverUnload = VbusUnload;
    driver->DriverExtension->AddDevice = VbusAddDevice;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
