// Power requests of the port.
#include "port/SerialDevice.h"

NTSTATUS CSerialDevice::DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The device's own power policy is not served yet: every power request
    // goes on to the bus driver, which owns the device's power, so that no
    // system sleep is vetoed here.
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchPower");
    if (m_PnpState == Removed) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    m_IoCounter.Increment();
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(m_LowerDevice, Irp);
    m_IoCounter.Decrement();
    return status;
}
