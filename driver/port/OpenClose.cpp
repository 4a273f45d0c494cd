// Open, close and cleanup of the port. The device object is exclusive, so the
// I/O manager lets one handle be open at a time; these routines count nothing.
// All three run at PASSIVE_LEVEL in the thread that opens or closes.
#include "port/SerialDevice.h"

NTSTATUS CSerialDevice::DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCreate");
    // Once the create is complete nothing holds the device for this routine:
    // a unit of its own keeps removal waiting until the readers are sent.
    m_IoCounter.Increment();
    m_IsOpen = 1;
    CompleteRequest(Irp, STATUS_SUCCESS);
    // The open is granted; what follows does not change it.
    RestartRead();
    m_SentAtOpen = m_BytesSent;
    m_ReceivedAtOpen = m_BytesReceived;
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchClose");
    m_IsOpen = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCleanup");
    FlushRequests();
    m_IsOpen = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
