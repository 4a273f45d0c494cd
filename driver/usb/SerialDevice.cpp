#include "usb/SerialDevice.h"

#include "core/PoolTags.h"

CSerialDevice::CSerialDevice()
    : m_LowerDevice(NULL), m_Pdo(NULL), m_DeviceName(NonPagedPool), m_DriverKeyName(NonPagedPool),
      m_ConfigDescriptor(NonPagedPool), m_InterfaceInfo(NonPagedPool), m_BytesSent(0), m_BytesReceived(0),
      m_SentAtOpen(0), m_ReceivedAtOpen(0), m_IsOpen(0), m_ReadPipe(NULL), m_WritePipe(NULL), m_DataEvent(TRUE),
      m_WriteUrb(NonPagedPool), m_WritePacket(NonPagedPool), m_WriteTotal(0), m_WriteDone(0), m_WriteActive(NULL),
      m_WritesHeld(FALSE), m_WriteRebuild(FALSE), m_ReadTimer(kTagTimer), m_ReadTimeout(0), m_DeliveryRunning(FALSE)
{
    RtlZeroMemory(&m_DeviceCaps, sizeof(m_DeviceCaps));
    RtlZeroMemory(&m_DeviceDescriptor, sizeof(m_DeviceDescriptor));
    m_ReadTimer.SetDpc(TimerRead, this);
}

CSerialDevice::~CSerialDevice()
{
    // Removal waited until no transfer was in flight: the reader IRPs are idle.
    for (ULONG i = 0; i < kReaderSlots; i++) {
        if (m_ReadContexts[i].m_Irp != NULL) {
            IoFreeIrp(m_ReadContexts[i].m_Irp);
            m_ReadContexts[i].m_Irp = NULL;
        }
    }
}

NTSTATUS CSerialDevice::CompleteRequest(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CSerialDevice::DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Trace(4, "DispatchOther");
    m_IoCounter.Increment();
    NTSTATUS status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED);
    m_IoCounter.Decrement();
    return status;
}

NTSTATUS CSerialDevice::DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchOther(DeviceObject, Irp);
}

NTSTATUS CSerialDevice::DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The device's own power policy is not served yet: every power request
    // goes on to the bus driver, which owns the device's power, so that no
    // system sleep is vetoed here.
    Trace(4, "DispatchPower");
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

NTSTATUS CSerialDevice::DispatchIntrenalDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Nothing from above is passed to the USB stack.
    Trace(4, "DispatchIntrenalDevCtrl");
    return CDevice::DispatchIntrenalDevCtrl(DeviceObject, Irp);
}
