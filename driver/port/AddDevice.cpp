#include "core/SafePrint.h"
#include "port/SerialDevice.h"

volatile LONG g_DeviceCount = 0;

namespace {

const LONG kNumberBufferBytes = 1024;

}  // namespace

NTSTATUS CSerialDevice::AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PAGED_CODE();
    Trace(kTraceEntry, "AddDevice PDO (0x%p)", Pdo);
    LONG number = InterlockedIncrement(&g_DeviceCount);

    {
        // An unformattable number leaves the device object unnamed.
        CMemBuffer digits(PagedPool);
        if (digits.Resize(kNumberBufferBytes) == kNumberBufferBytes) {
            SafePrintW((WCHAR*)digits.m_Data, kNumberBufferBytes, L"%d", number);
            CUnicodeString text((PCWSTR)digits.m_Data);
            if (!text.IsEmpty()) {
                m_DeviceName.Assign(L"\\Device\\NivexBlnk");
                m_DeviceName.Append(text.Value());
            }
        }
    }

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CDevice*), m_DeviceName.IsEmpty() ? NULL : m_DeviceName.Get(),
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, TRUE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "Could not create FDO");
        return status;
    }
    Trace(kTraceDetail, "AddDevice FDO (0x%p)", deviceObject);
    LinkDeviceObject(deviceObject);
    m_PnpState = NotStarted;
    m_PrevPnpState = NotStarted;
    deviceObject->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;

    m_LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, Pdo);
    if (m_LowerDevice == NULL) {
        Trace(kTraceFailure, "Could not Attach to PDO: 0x%x", (ULONG)(ULONG_PTR)Pdo);
        IoDeleteDevice(deviceObject);
        m_DeviceObject = NULL;
        return STATUS_NO_SUCH_DEVICE;
    }
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    m_Pdo = Pdo;
    return STATUS_SUCCESS;
}
