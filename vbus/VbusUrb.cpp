// IOCTL_INTERNAL_USB_SUBMIT_URB on a PDO: descriptor requests, configuration
// selection, control requests and pipe management. Bulk and interrupt
// transfers go on to VbusTransfer.cpp. Runs at IRQL <= DISPATCH_LEVEL.
#include "Vbus.h"

namespace {

struct UrbOutcome {
    NTSTATUS Status;
    USBD_STATUS Usbd;
};

const UrbOutcome kSuccess = {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
const UrbOutcome kInvalid = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
const UrbOutcome kStall = {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};

// Dev->Lock held. Copies min(requested, available) bytes of a descriptor.
UrbOutcome GetDescriptor(VBUS_DEVICE* dev, PURB urb)
{
    auto& r = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(r) || (!r.TransferBuffer && r.TransferBufferLength))
        return kInvalid;
    const UCHAR* source = nullptr;
    ULONG available = 0;
    UCHAR stringBuffer[2 + 2 * VBUS_MAX_SERIAL_CHARS];
    switch (r.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        source = dev->DeviceDesc;
        available = dev->DeviceDescLength;
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (r.Index != 0)
            return kStall;  // one configuration
        source = dev->ConfigDesc;
        available = dev->ConfigDescLength;
        break;
    case USB_STRING_DESCRIPTOR_TYPE: {
        ULONG serialIndex = dev->DeviceDescLength > 16 ? dev->DeviceDesc[16] : 0;
        if (r.Index == 0) {
            static const UCHAR languages[] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
            source = languages;
            available = sizeof(languages);
        } else if (r.Index == serialIndex && dev->Serial[0]) {
            ULONG n = 0;
            while (n + 1 < VBUS_MAX_SERIAL_CHARS && dev->Serial[n]) {
                stringBuffer[2 + 2 * n] = (UCHAR)(dev->Serial[n] & 0xFF);
                stringBuffer[3 + 2 * n] = (UCHAR)(dev->Serial[n] >> 8);
                ++n;
            }
            stringBuffer[0] = (UCHAR)(2 + 2 * n);
            stringBuffer[1] = USB_STRING_DESCRIPTOR_TYPE;
            source = stringBuffer;
            available = 2 + 2 * n;
        } else {
            return kStall;
        }
        break;
    }
    default:
        return kStall;
    }
    ULONG n = r.TransferBufferLength < available ? r.TransferBufferLength : available;
    if (n)
        RtlCopyMemory(r.TransferBuffer, source, n);
    VbusDescriptorFaults(dev, r.DescriptorType, static_cast<PUCHAR>(r.TransferBuffer), &n);
    r.TransferBufferLength = n;
    return kSuccess;
}

// The endpoints of interface (number, alternate) in the device's own
// descriptor set: first index and count. False when there is no such
// interface descriptor.
BOOLEAN FindInterface(VBUS_DEVICE* dev, UCHAR number, UCHAR alternate, const UCHAR** descriptor, ULONG* first,
                      ULONG* count)
{
    const UCHAR* p = dev->ConfigDesc;
    const UCHAR* end = p + dev->ConfigDescLength;
    *descriptor = nullptr;
    while (end - p >= 2 && p[0] >= 2 && p[0] <= end - p) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) && p[2] == number &&
            p[3] == alternate) {
            *descriptor = p;
            break;
        }
        p += p[0];
    }
    if (!*descriptor)
        return FALSE;
    *first = 0;
    *count = 0;
    for (ULONG i = 0; i < dev->EndpointCount; ++i) {
        const VBUS_ENDPOINT& e = dev->Endpoints[i];
        if (e.InterfaceNumber != number || e.AlternateSetting != alternate)
            continue;
        if (*count == 0)
            *first = i;
        ++*count;
    }
    return TRUE;
}

// Dev->Lock held. Validates every interface record before changing anything.
UrbOutcome SelectConfiguration(VBUS_DEVICE* dev, PURB urb)
{
    auto& s = urb->UrbSelectConfiguration;
    const ULONG headerSize = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < headerSize)
        return kInvalid;
    if (!s.ConfigurationDescriptor) {  // back to the unconfigured state
        for (ULONG i = 0; i < dev->EndpointCount; ++i)
            dev->Endpoints[i].Open = FALSE;
        dev->State &= ~VBUS_STATE_CONFIGURED;
        return kSuccess;
    }

    PUCHAR begin = reinterpret_cast<PUCHAR>(&s.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    BOOLEAN seen[256] = {};
    // Pass 0 validates every record; pass 1 (which cannot fail) applies them.
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            for (ULONG i = 0; i < dev->EndpointCount; ++i)
                dev->Endpoints[i].Open = FALSE;
            dev->Selection++;  // the handles of the old selection stop working
        }
        for (PUCHAR cursor = begin; cursor < end;) {
            auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
            if (end - cursor < (LONG_PTR)GET_USBD_INTERFACE_SIZE(0) || info->Length < GET_USBD_INTERFACE_SIZE(0) ||
                info->Length > end - cursor)
                return kInvalid;
            const UCHAR* descriptor;
            ULONG first, count;
            if (!FindInterface(dev, info->InterfaceNumber, info->AlternateSetting, &descriptor, &first, &count))
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND};
            if (count != descriptor[4])
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR};
            if (info->Length < GET_USBD_INTERFACE_SIZE(count))
                return {STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL};
            if (pass == 0) {
                if (seen[info->InterfaceNumber])
                    return kInvalid;
                seen[info->InterfaceNumber] = TRUE;
            } else {
                info->Class = descriptor[5];
                info->SubClass = descriptor[6];
                info->Protocol = descriptor[7];
                info->InterfaceHandle = &dev->InterfaceHandles[info->InterfaceNumber % VBUS_MAX_ENDPOINTS];
                info->NumberOfPipes = count;
                for (ULONG p = 0; p < count; ++p) {
                    VBUS_ENDPOINT& e = dev->Endpoints[first + p];
                    USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
                    ULONG size = pipe.MaximumTransferSize;
                    if (size == 0)
                        size = 4096;
                    if (size > VBUS_MAX_TRANSFER_SIZE)
                        size = VBUS_MAX_TRANSFER_SIZE;
                    e.MaximumTransferSize = size;
                    e.Open = TRUE;
                    pipe.MaximumPacketSize = e.MaxPacket;
                    pipe.EndpointAddress = e.Address;
                    pipe.Interval = e.Interval;
                    pipe.PipeType = (USBD_PIPE_TYPE)(e.Attributes & USB_ENDPOINT_TYPE_MASK);
                    pipe.PipeHandle = VbusPipeHandle(dev, first + p);
                    pipe.MaximumTransferSize = size;
                }
            }
            cursor += info->Length;
        }
    }
    s.ConfigurationHandle = &dev->ConfigHandle;
    dev->State |= VBUS_STATE_CONFIGURED;
    return kSuccess;
}

// Dev->Lock held. The endpoint a pipe handle names, or null.
VBUS_ENDPOINT* PipeEndpoint(VBUS_DEVICE* dev, USBD_PIPE_HANDLE handle)
{
    LONG index = VbusPipeIndex(dev, handle);
    return index < 0 ? nullptr : &dev->Endpoints[index];
}

// Dev->Lock held. Class and vendor requests are recorded and accepted; the
// device returns no data for them.
UrbOutcome ControlRequest(PURB urb)
{
    auto& r = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(r) || (!r.TransferBuffer && r.TransferBufferLength && !r.TransferBufferMDL))
        return kInvalid;
    if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
        r.TransferBufferLength = 0;
    return kSuccess;
}

NTSTATUS SubmitUrb(VBUS_DEVICE* dev, PIRP irp, PURB urb)
{
    USHORT function = urb->UrbHeader.Function;
    UCHAR endpoint = 0;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ABORT_PIPE ||
        function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE ||
        function == URB_FUNCTION_SYNC_CLEAR_STALL) {
        if (VBUS_ENDPOINT* e = PipeEndpoint(dev, urb->UrbPipeRequest.PipeHandle))
            endpoint = e->Address;
    }
    ULONG sequence = VbusLogUrb(dev, urb, endpoint);
    VBUS_FAULT* fault = nullptr;
    UrbOutcome outcome = kSuccess;
    BOOLEAN transfer = FALSE;
    USHORT abortAddress = 0;
    if (dev->State & VBUS_STATE_GONE) {
        outcome = {STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE};
    } else if (!(dev->State & VBUS_STATE_STARTED)) {
        outcome = {STATUS_DEVICE_NOT_READY, USBD_STATUS_DEVICE_GONE};
    } else if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               VbusMatchFault(dev, VBUS_FAULT_FAIL_URB, function, endpoint, &fault)) {
        outcome = {fault->NtStatus, fault->UsbdStatus};
    } else {
        switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            outcome = GetDescriptor(dev, urb);
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            abortAddress = VBUS_ALL_ENDPOINTS;  // the old pipes close
            outcome = SelectConfiguration(dev, urb);
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            transfer = urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
            if (!transfer)
                outcome = kInvalid;
            break;
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
            outcome = ControlRequest(urb);
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST) ||
                !PipeEndpoint(dev, urb->UrbPipeRequest.PipeHandle)) {
                outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
            } else if (function == URB_FUNCTION_ABORT_PIPE) {
                abortAddress = endpoint;
            } else {
                VbusEpState(dev, endpoint)->Halted = FALSE;
                VbusKick(dev);
            }
            break;
        default:
            outcome = {STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION};
            break;
        }
    }
    if (!transfer) {
        ULONG actual = 0;
        if (NT_SUCCESS(outcome.Status) && function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
            actual = urb->UrbControlDescriptorRequest.TransferBufferLength;
        else if (NT_SUCCESS(outcome.Status) && function >= URB_FUNCTION_VENDOR_DEVICE &&
                 function <= URB_FUNCTION_VENDOR_OTHER && function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
            actual = urb->UrbControlVendorClassRequest.TransferBufferLength;
        VbusLogResult(dev, sequence, outcome.Status, outcome.Usbd, actual);
    }
    KeReleaseSpinLock(&dev->Lock, irql);

    if (transfer)
        return VbusSubmitTransfer(dev, irp, urb, sequence);
    if (abortAddress && NT_SUCCESS(outcome.Status))
        VbusFlushTransfers(dev, abortAddress, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    VbusCompleteUrb(irp, outcome.Status, outcome.Usbd);
    return outcome.Status;
}

}  // namespace

NTSTATUS VbusPdoInternalIoctl(VBUS_DEVICE* dev, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (!urb)
            return VbusComplete(irp, STATUS_INVALID_PARAMETER);
        return SubmitUrb(dev, irp, urb);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (!portStatus)
            return VbusComplete(irp, STATUS_INVALID_PARAMETER);
        KIRQL irql;
        KeAcquireSpinLock(&dev->Lock, &irql);
        *portStatus = (dev->State & VBUS_STATE_GONE) ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        KeReleaseSpinLock(&dev->Lock, irql);
        return VbusComplete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return VbusComplete(irp, STATUS_SUCCESS);
    default:
        return VbusComplete(irp, STATUS_NOT_SUPPORTED);
    }
}
