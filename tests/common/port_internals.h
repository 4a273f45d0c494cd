// The port's private state, for the tests that arrange a situation from the
// inside (a read time-out, a pipe handle) or check what only the inside can
// show (a counter unit given back, a reader in flight). A friend of
// CSerialDevice; nothing in the driver uses it.
#pragma once

#include "port/SerialDevice.h"

struct PortInternals {
    explicit PortInternals(CSerialDevice* d)
        : device(d), m_IoCounter(d->m_IoCounter), m_DeviceName(d->m_DeviceName), m_PortName(d->m_PortName),
          m_LinkName(d->m_LinkName), m_DriverKeyName(d->m_DriverKeyName), m_DeviceCaps(d->m_DeviceCaps),
          m_DeviceDescriptor(d->m_DeviceDescriptor), m_ConfigDescriptor(d->m_ConfigDescriptor),
          m_InterfaceInfo(d->m_InterfaceInfo), m_BytesSent(d->m_BytesSent), m_BytesReceived(d->m_BytesReceived),
          m_ReadPipe(d->m_ReadPipe), m_ReadContexts(d->m_ReadContexts), m_ReaderLock(d->m_ReaderLock),
          m_BufferInLock(d->m_BufferInLock), m_BufferIn(d->m_BufferIn), m_DataEvent(d->m_DataEvent),
          m_ReadLock(d->m_ReadLock), m_ReadList(d->m_ReadList), m_DeliveryRunning(d->m_DeliveryRunning),
          m_ReadTimer(d->m_ReadTimer), m_ReadTimeout(d->m_ReadTimeout), m_WritePipe(d->m_WritePipe),
          m_WriteLock(d->m_WriteLock), m_WriteList(d->m_WriteList), m_WriteUrb(d->m_WriteUrb),
          m_WaitLock(d->m_WaitLock), m_WaitList(d->m_WaitList), m_ReadDeadline(d->m_ReadDeadline),
          m_ReadTimerDue(d->m_ReadTimerDue)
    {
    }

    static const char* GetIoctlName(ULONG code) { return CSerialDevice::GetIoctlName(code); }

    BOOLEAN InitUsbDev() { return device->InitUsbDev(); }
    BOOLEAN GetUsbDeviceDesc() { return device->GetUsbDeviceDesc(); }
    BOOLEAN GetUsbDeviceConfig(CMemBuffer& dest) { return device->GetUsbDeviceConfig(dest); }
    BOOLEAN SelectConfig(const UCHAR* config, CMemBuffer& dest) { return device->SelectConfig(config, dest); }
    NTSTATUS CallUSBD(PURB urb) { return device->CallUSBD(urb); }
    PUSBD_INTERFACE_INFORMATION InterfaceInfo() { return device->InterfaceInfo(); }
    BOOLEAN InitReadWrite(PUSBD_INTERFACE_INFORMATION info) { return device->InitReadWrite(info); }
    void RestartRead() { device->RestartRead(); }

    CSerialDevice* device;
    CIoCounter& m_IoCounter;
    CUnicodeString& m_DeviceName;
    CUnicodeString& m_PortName;
    CUnicodeString& m_LinkName;
    CUnicodeString& m_DriverKeyName;
    DEVICE_CAPABILITIES& m_DeviceCaps;
    USB_DEVICE_DESCRIPTOR& m_DeviceDescriptor;
    CMemBuffer& m_ConfigDescriptor;
    CMemBuffer& m_InterfaceInfo;
    volatile ULONG& m_BytesSent;
    volatile ULONG& m_BytesReceived;
    PUSBD_PIPE_INFORMATION& m_ReadPipe;
    CReadContext (&m_ReadContexts)[kReaderSlots];
    CSpinLock& m_ReaderLock;
    CSpinLock& m_BufferInLock;
    CCircularBuffer& m_BufferIn;
    CEvent& m_DataEvent;
    CSpinLock& m_ReadLock;
    CPtrList& m_ReadList;
    BOOLEAN& m_DeliveryRunning;
    CTimer& m_ReadTimer;
    volatile LONG& m_ReadTimeout;
    PUSBD_PIPE_INFORMATION& m_WritePipe;
    CSpinLock& m_WriteLock;
    CPtrList& m_WriteList;
    CMemBuffer& m_WriteUrb;
    CSpinLock& m_WaitLock;
    CPtrList& m_WaitList;
    ULONGLONG& m_ReadDeadline;
    ULONGLONG& m_ReadTimerDue;
};

inline PortInternals In(CSerialDevice* device)
{
    return PortInternals(device);
}
