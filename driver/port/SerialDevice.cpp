// Construction and destruction of the port, and the requests it does not
// serve.
#include "port/SerialDevice.h"

#include "core/PoolTags.h"

CSerialDevice::CSerialDevice()
    : m_LowerDevice(NULL), m_Pdo(NULL), m_DeviceName(NonPagedPool), m_DriverKeyName(NonPagedPool),
      m_ConfigDescriptor(NonPagedPool), m_InterfaceInfo(NonPagedPool), m_BytesSent(0), m_BytesReceived(0),
      m_SentAtOpen(0), m_ReceivedAtOpen(0), m_IsOpen(0), m_PortName(NonPagedPool), m_LinkName(NonPagedPool),
      m_ReadPipe(NULL), m_DataEvent(TRUE), m_DeliveryRunning(FALSE), m_ReadTimer(kTagTimer), m_ReadTimeout(0),
      m_WritePipe(NULL), m_WriteActive(NULL), m_WritesHeld(FALSE), m_WriteRebuild(FALSE), m_WriteUrb(NonPagedPool),
      m_WritePacket(NonPagedPool), m_WriteTotal(0), m_WriteDone(0)
{
    RtlZeroMemory(&m_DeviceCaps, sizeof(m_DeviceCaps));
    RtlZeroMemory(&m_DeviceDescriptor, sizeof(m_DeviceDescriptor));
    // A fresh port: 9600 baud, 8 data bits, no parity, one stop bit, no
    // special characters, handshake or time-outs, an empty wait mask.
    m_BaudRate = 9600;
    m_LineControl.StopBits = STOP_BIT_1;
    m_LineControl.Parity = NO_PARITY;
    m_LineControl.WordLength = 8;
    RtlZeroMemory(&m_SpecialChars, sizeof(m_SpecialChars));
    RtlZeroMemory(&m_HandFlow, sizeof(m_HandFlow));
    RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
    m_WaitMask = 0;
    m_CharsArrived = 0;
    m_ReadDeadline = 0;
    m_ReadTimerDue = 0;
    m_ReadTimer.SetDpc(TimerRead, this);
    m_Log.Configure();
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

NTSTATUS CSerialDevice::DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchOther");
    m_IoCounter.Increment();
    NTSTATUS status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED);
    m_IoCounter.Decrement();
    return status;
}

NTSTATUS CSerialDevice::DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchOther(DeviceObject, Irp);
}

NTSTATUS CSerialDevice::DispatchIntrenalDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Nothing from above is passed to the USB stack.
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchIntrenalDevCtrl");
    return CDevice::DispatchIntrenalDevCtrl(DeviceObject, Irp);
}
