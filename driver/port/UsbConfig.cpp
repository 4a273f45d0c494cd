// USB configuration at every start and synchronous URB submission. Everything
// here runs at PASSIVE_LEVEL on the thread that sent the start request (or the
// data-path caller of CallUSBD), because CallUSBD waits.
#include "port/SerialDevice.h"

namespace {

const LONG kDescriptorUrbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
const LONG kConfigHeaderBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);
// Interface numbers are 8-bit: the scan for declared interfaces ends there.
const ULONG kInterfaceNumbers = 256;

void BuildGetDescriptor(PURB urb, UCHAR type, PVOID buffer, ULONG length)
{
    RtlZeroMemory(urb, kDescriptorUrbBytes);
    UsbBuildGetDescriptorRequest(urb, (USHORT)kDescriptorUrbBytes, type, 0, 0, buffer, NULL, length, NULL);
}

// The bytes a completed descriptor request returned.
ULONG Returned(PURB urb)
{
    return urb->UrbControlDescriptorRequest.TransferBufferLength;
}

// A device is untrusted input: the configuration descriptor set is walked by
// the USBD library and the bus by each descriptor's bLength and each
// interface's bNumEndpoints, so every one must lie inside the `total` bytes
// received. Returns null when the set is sound, else what is wrong.
const char* ConfigurationFault(const UCHAR* config, ULONG total)
{
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || config[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config[0] > total || config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return "header";
    }
    ULONG endpointsOwed = 0;  // endpoints the last interface declared and not yet seen
    for (ULONG at = config[0]; at < total;) {
        ULONG length = config[at];
        if (length < 2 || length > total - at) {
            return "a descriptor's bLength";
        }
        UCHAR type = config[at + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                return "an interface descriptor's bLength";
            }
            if (endpointsOwed != 0) {
                return "an interface with fewer endpoints than it declares";
            }
            endpointsOwed = config[at + 4];
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                return "an endpoint descriptor's bLength";
            }
            if (endpointsOwed != 0) {
                endpointsOwed--;
            }
        }
        at += length;
    }
    return endpointsOwed != 0 ? "an interface with fewer endpoints than it declares" : NULL;
}

}  // namespace

NTSTATUS CSerialDevice::CallUSBD(PURB Urb)
{
    PAGED_CODE();
    Trace(kTraceEntry, "CallUSBD");
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_LowerDevice, NULL, 0, NULL, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    m_IoCounter.Increment();
    NTSTATUS status = IoCallDriver(m_LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    m_IoCounter.Decrement();
    return status;
}

BOOLEAN CSerialDevice::GetUsbDeviceDesc()
{
    PAGED_CODE();
    Trace(kTraceEntry, "GetUsbDeviceDesc");
    CMemBuffer urb(NonPagedPool);
    if (!urb.SizeTo(kDescriptorUrbBytes)) {
        return FALSE;
    }
    // A short answer leaves zeros, never what an earlier start read.
    RtlZeroMemory(&m_DeviceDescriptor, sizeof(m_DeviceDescriptor));
    BuildGetDescriptor((PURB)urb.m_Data, USB_DEVICE_DESCRIPTOR_TYPE, &m_DeviceDescriptor,
                       sizeof(USB_DEVICE_DESCRIPTOR));
    return NT_SUCCESS(CallUSBD((PURB)urb.m_Data));
}

BOOLEAN CSerialDevice::InitUsbDev()
{
    PAGED_CODE();
    Trace(kTraceEntry, "InitUsbDev");
    if (!GetUsbDeviceDesc()) {
        return FALSE;
    }
    if (!GetUsbDeviceConfig(m_ConfigDescriptor)) {
        return FALSE;
    }
    return SelectConfig(m_ConfigDescriptor.Data(), m_InterfaceInfo);
}

BOOLEAN CSerialDevice::GetUsbDeviceConfig(CMemBuffer& dest)
{
    PAGED_CODE();
    Trace(kTraceEntry, "GetUsbDeviceConfig");
    CMemBuffer urb(NonPagedPool);
    if (!urb.SizeTo(kDescriptorUrbBytes)) {
        return FALSE;
    }
    PURB request = (PURB)urb.m_Data;
    // First the 9-byte header to learn the full length, then the whole
    // descriptor. Only bytes the device returned are ever parsed: each read
    // must return all it asked for, and the second must still claim the
    // length the first announced.
    if (!dest.SizeTo(kConfigHeaderBytes)) {
        return FALSE;
    }
    RtlZeroMemory(dest.m_Data, kConfigHeaderBytes);
    BuildGetDescriptor(request, USB_CONFIGURATION_DESCRIPTOR_TYPE, dest.m_Data, kConfigHeaderBytes);
    if (!NT_SUCCESS(CallUSBD(request))) {
        return FALSE;
    }
    if (Returned(request) != kConfigHeaderBytes) {
        Trace(kTraceFailure, "Configuration descriptor rejected: header of %d bytes", Returned(request));
        return FALSE;
    }
    LONG total = ((PUSB_CONFIGURATION_DESCRIPTOR)dest.m_Data)->wTotalLength;
    // A descriptor shorter than its own header cannot be parsed.
    if (total < kConfigHeaderBytes) {
        Trace(kTraceFailure, "GetUsbDeviceConfig wTotalLength %d", total);
        return FALSE;
    }
    if (!dest.SizeTo(total)) {
        return FALSE;
    }
    RtlZeroMemory(dest.m_Data, (SIZE_T)total);
    BuildGetDescriptor(request, USB_CONFIGURATION_DESCRIPTOR_TYPE, dest.m_Data, (ULONG)total);
    if (!NT_SUCCESS(CallUSBD(request))) {
        return FALSE;
    }
    if (Returned(request) != (ULONG)total || ((PUSB_CONFIGURATION_DESCRIPTOR)dest.m_Data)->wTotalLength != total) {
        Trace(kTraceFailure, "Configuration descriptor rejected: %d of %d bytes, wTotalLength now %d",
              Returned(request), total, ((PUSB_CONFIGURATION_DESCRIPTOR)dest.m_Data)->wTotalLength);
        return FALSE;
    }
    const char* fault = ConfigurationFault(dest.Data(), (ULONG)total);
    if (fault != NULL) {
        Trace(kTraceFailure, "Configuration descriptor rejected: %s", fault);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CSerialDevice::SelectConfig(const UCHAR* config, CMemBuffer& dest)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)config;
    ULONG declared = descriptor->bNumInterfaces;
    Trace(kTraceEntry, "SelectConfig");

    // The list lives in its own buffer: `dest` keeps its block across starts
    // because the data path holds pointers to the pipes in it.
    CMemBuffer list(NonPagedPool);
    if (!list.SizeTo((LONG)(declared + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY))) {
        Trace(kTraceFailure, "Failed to allocate mem for interfaceList");
        return FALSE;
    }
    PUSBD_INTERFACE_LIST_ENTRY entries = (PUSBD_INTERFACE_LIST_ENTRY)list.m_Data;
    ULONG found = 0;
    for (ULONG number = 0; found < declared && number < kInterfaceNumbers; number++) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, (LONG)number, 0, -1, -1, -1);
        if (d != NULL) {
            entries[found].InterfaceDescriptor = d;
            entries[found].Interface = NULL;
            found++;
        }
    }
    entries[found].InterfaceDescriptor = NULL;
    entries[found].Interface = NULL;
    if (found < declared || found == 0) {
        // The descriptor declares interfaces it does not contain.
        Trace(kTraceFailure, "SelectConfig found %d of %d interfaces", found, declared);
        return FALSE;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, entries);
    if (urb == NULL) {
        Trace(kTraceFailure, "USBD_CreateConfigurationRequestEx failed");
        return FALSE;
    }
    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; i++) {
        first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    }

    NTSTATUS status = CallUSBD(urb);
    if (!NT_SUCCESS(status)) {
        Trace(kTraceFailure, "Failed to select an interface");
    }

    // Whatever the status, keep the first interface's information (after a
    // failed select, the request as it was sent). Its Length is bounded by
    // the URB, so a bad length from below cannot make the copy overrun.
    ULONG offset = (ULONG)((PUCHAR)first - (PUCHAR)urb);
    ULONG length = first->Length;
    ULONG urbLength = urb->UrbHeader.Length;
    if (length < sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) || offset + length > urbLength) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!dest.SizeTo((LONG)length)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlCopyMemory(dest.m_Data, first, length);
    }
    ExFreePoolWithTag(urb, 0);
    return NT_SUCCESS(status);
}
