#include "control/ControlDevice.h"

#include "core/Driver.h"

CControlDevice* g_ControlDevice = NULL;

namespace {

// Serial codes the control device's own codes are forwarded as.
const ULONG kSerialGetBaudRate = 0x001B0050;
const ULONG kSerialGetLineControl = 0x001B0054;
const ULONG kSerialGetHandflow = 0x001B0060;

struct ForwardedCode {
    ULONG control;  // the code a program sends to the control device
    ULONG port;     // what the addressed port gets
    ULONG bytes;    // the output the caller must give, and Information on success
};

const ForwardedCode kForwarded[] = {
    {IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR, IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR, 18},
    {IOCTL_VSERIAL_CONTROL_GET_RECV, IOCTL_VSERIAL_GET_RECV, 4},
    {IOCTL_VSERIAL_CONTROL_GET_SENT, IOCTL_VSERIAL_GET_SENT, 4},
    {IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL, kSerialGetLineControl, 3},
    {IOCTL_VSERIAL_CONTROL_GET_HANDFLOW, kSerialGetHandflow, 16},
    {IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE, kSerialGetBaudRate, 4},
    {IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE, IOCTL_VSERIAL_GET_OPEN_STATE, 4},
};

const ForwardedCode* Forwarded(ULONG code)
{
    for (const ForwardedCode& f : kForwarded) {
        if (f.control == code) {
            return &f;
        }
    }
    return NULL;
}

// TRUE when `key` ends within `maxChars` characters: a key the caller did not
// terminate inside its request is never read past the request's end.
BOOLEAN Terminated(const WCHAR* key, ULONG maxChars)
{
    for (ULONG i = 0; i < maxChars; i++) {
        if (key[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace

CControlDevice::CControlDevice() : m_ActiveDevice(NULL)
{
    RtlInitUnicodeString(&m_ControlName, BLNK_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&m_ControlLink, BLNK_CONTROL_LINK_NAME);
    m_Log.Configure();
}

CControlDevice::~CControlDevice() {}

CControlDevice* GetControlExtension()
{
    PAGED_CODE();
    if (g_DriverObject == NULL) {
        return NULL;
    }
    for (PDEVICE_OBJECT d = g_DriverObject->DeviceObject; d != NULL; d = d->NextDevice) {
        if (d->DeviceType == FILE_DEVICE_BLNK_CONTROL) {
            CControlDevice* control = static_cast<CControlDevice*>(CDevice::FromDeviceObject(d));
            if (control != NULL) {
                control->Trace(kTraceDetail, "GetControlExtension - 0x%x", (ULONG)(ULONG_PTR)control);
                return control;
            }
        }
    }
    return NULL;
}

NTSTATUS CControlDevice::CreateDevice(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    CLockGuard guard(&m_CreateLock);
    if (m_DeviceObject != NULL) {
        return STATUS_SUCCESS;
    }
    Trace(kTraceEntry, "CreateDevice (PDRIVER_OBJECT DriverObject)");
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CDevice*), &m_ControlName, FILE_DEVICE_BLNK_CONTROL,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "Did not create control device %S", m_ControlName.Buffer);
        return status;
    }
    LinkDeviceObject(deviceObject);
    status = IoCreateSymbolicLink(&m_ControlLink, &m_ControlName);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "Did not create symbol link %S", m_ControlLink.Buffer);
        IoDeleteDevice(deviceObject);
        m_DeviceObject = NULL;
        return status;
    }
    // Created outside DriverEntry too (from AddDevice): the I/O manager does
    // not clear the flag then.
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    Trace(kTraceEntry, "Create device %S", m_ControlName.Buffer);
    return STATUS_SUCCESS;
}

NTSTATUS CControlDevice::DeleteDevice()
{
    PAGED_CODE();
    Trace(kTraceEntry, "DeleteDevice - %S", m_ControlName.Buffer);
    CLockGuard guard(&m_CreateLock);
    if (m_DeviceObject == NULL) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = IoDeleteSymbolicLink(&m_ControlLink);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "IoDeleteSymbolicLink - 0x%x", status);
    }
    // Handles still open keep the object (and this driver) until they close;
    // their close and cleanup still reach this object through the extension.
    IoDeleteDevice(m_DeviceObject);
    m_DeviceObject = NULL;
    return status;
}

void CControlDevice::RegisterDevice(CRegisteredPort* device)
{
    PAGED_CODE();
    LONG count;
    {
        CLockGuard guard(&m_ListLock);
        // A start after a stop registers again: a port is listed once.
        if (m_SerialDevices.IndexOf(device) < 0) {
            m_SerialDevices.AddTail(device);
        }
        count = m_SerialDevices.GetCount();
    }
    if (count > 1) {
        m_Log.Write("Warning: more than one Nivex device");
    }
}

BOOLEAN CControlDevice::UnregisterDevice(CRegisteredPort* device)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CLockGuard guard(&m_ListLock);
    if (m_ActiveDevice == device) {
        m_ActiveDevice = NULL;
    }
    return m_SerialDevices.RemoveItem(device);
}

BOOLEAN CControlDevice::ClaimActiveDevice(CRegisteredPort* device)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CLockGuard guard(&m_ListLock);
    if (m_ActiveDevice != NULL) {
        return m_ActiveDevice == device;
    }
    m_ActiveDevice = device;
    return TRUE;
}

void CControlDevice::ReleaseActiveDevice(CRegisteredPort* device)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CLockGuard guard(&m_ListLock);
    if (m_ActiveDevice == device) {
        m_ActiveDevice = NULL;
    }
}

LONG CControlDevice::DeviceCount()
{
    CLockGuard guard(&m_ListLock);
    return m_SerialDevices.GetCount();
}

CRegisteredPort* CControlDevice::FindDeviceByKey(const WCHAR* key, ULONG maxChars)
{
    PAGED_CODE();
    if (!Terminated(key, maxChars)) {
        Trace(kTraceFailure, "FindDeviceByKey: key not terminated in the request");
        return NULL;
    }
    CLockGuard guard(&m_ListLock);
    for (LONG i = 0; i < m_SerialDevices.GetCount(); i++) {
        CRegisteredPort* device = (CRegisteredPort*)m_SerialDevices.GetAt(i);
        if (device != NULL && device->HasDriverKey(key)) {
            device->BeginControlRequest();
            return device;
        }
    }
    return NULL;
}

CRegisteredPort* CControlDevice::FirstDevice()
{
    PAGED_CODE();
    CLockGuard guard(&m_ListLock);
    CRegisteredPort* device = (CRegisteredPort*)m_SerialDevices.GetAt(0);
    if (device != NULL) {
        device->BeginControlRequest();
    }
    return device;
}

NTSTATUS CControlDevice::ForwardIoctl(PDEVICE_OBJECT Pdo, ULONG code, PVOID buffer, ULONG outputLength)
{
    PAGED_CODE();
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    // Through every filter above the port, as a program's request goes.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    NTSTATUS status;
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, buffer, 0, buffer, outputLength, FALSE, &done, &ioStatus);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    ObDereferenceObject(top);
    return status;
}

NTSTATUS CControlDevice::DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchDevCtrl");
    m_IoCounter.Increment();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_INVALID_PARAMETER;

    if (code == IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT) {
        if (out >= sizeof(ULONG) && buffer != NULL) {
            *(ULONG*)buffer = (ULONG)DeviceCount();
            status = STATUS_SUCCESS;
            Irp->IoStatus.Information = sizeof(ULONG);
        }
    } else if (code == IOCTL_VSERIAL_CONTROL_SET_PORT_NAME) {
        CRegisteredPort* device = FirstDevice();
        if (device != NULL) {
            status = ForwardIoctl(device->PhysicalDevice(), IOCTL_VSERIAL_SET_PORT_NAME, NULL, 0);
            device->EndControlRequest();
            // The answer carries no data. Information is the bytes the I/O
            // manager copies back to the caller: never more than its buffer
            // holds, and never bytes this request did not write.
            if (NT_SUCCESS(status) && out >= sizeof(ULONG) && buffer != NULL) {
                *(ULONG*)buffer = 0;
                Irp->IoStatus.Information = sizeof(ULONG);
            }
        }
    } else if (const ForwardedCode* forwarded = Forwarded(code)) {
        if (out >= forwarded->bytes && buffer != NULL) {
            // The key is the caller's input: it must end inside it.
            CRegisteredPort* device = FindDeviceByKey((const WCHAR*)buffer, in / sizeof(WCHAR));
            if (device != NULL) {
                // Asked for at the answer's size: the port's own codes take
                // exact lengths, while the caller may give a larger buffer.
                status = ForwardIoctl(device->PhysicalDevice(), forwarded->port, buffer, forwarded->bytes);
                device->EndControlRequest();
                if (NT_SUCCESS(status)) {
                    Irp->IoStatus.Information = forwarded->bytes;
                }
            }
        }
    }
    CompleteRequest(Irp, status);
    m_IoCounter.Decrement();
    return status;
}

NTSTATUS CControlDevice::DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCreate");
    // Each open handle keeps one unit until its close.
    m_IoCounter.Increment();
    m_IoCounter.Increment();
    CompleteRequest(Irp, STATUS_SUCCESS);
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CControlDevice::DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchClose");
    m_IoCounter.Increment();
    CompleteRequest(Irp, STATUS_SUCCESS);
    m_IoCounter.Decrement();
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CControlDevice::DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCleanup");
    m_IoCounter.Increment();
    CompleteRequest(Irp, STATUS_SUCCESS);
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CControlDevice::DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchDefault");
    m_IoCounter.Increment();
    NTSTATUS status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED);
    m_IoCounter.Decrement();
    return status;
}
