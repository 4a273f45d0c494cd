// The routing layer: every IRP reaches the virtual method of the CDevice that
// owns the target device object. Routers take no lock: the extension pointer is
// written once before the device object is initialised and cut (set to null)
// only just before the device object is deleted.
#include "core/Device.h"
#include "core/Driver.h"

namespace {

typedef NTSTATUS (CDevice::*DispatchMethod)(PDEVICE_OBJECT, PIRP);

template <DispatchMethod Method>
NTSTATUS Route(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CDevice* device = CDevice::FromDeviceObject(DeviceObject);
    if (device == NULL) {
        // A late IRP to an object whose removal has unlinked it.
        Irp->IoStatus.Status = STATUS_ACCESS_DENIED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_ACCESS_DENIED;
    }
    return (device->*Method)(DeviceObject, Irp);
}

}  // namespace

VOID InstallRouters(PDRIVER_OBJECT DriverObject)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = Route<&CDevice::DispatchOther>;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = Route<&CDevice::DispatchCreate>;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = Route<&CDevice::DispatchClose>;
    DriverObject->MajorFunction[IRP_MJ_READ] = Route<&CDevice::DispatchRead>;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = Route<&CDevice::DispatchWrite>;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Route<&CDevice::DispatchDevCtrl>;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Route<&CDevice::DispatchIntrenalDevCtrl>;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = Route<&CDevice::DispatchShutdown>;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Route<&CDevice::DispatchCleanup>;
    DriverObject->MajorFunction[IRP_MJ_POWER] = Route<&CDevice::DispatchPower>;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Route<&CDevice::DispatchSysCtrl>;
    DriverObject->MajorFunction[IRP_MJ_PNP] = Route<&CDevice::DispatchPnp>;
}
