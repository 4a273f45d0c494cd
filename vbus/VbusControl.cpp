// The control device's requests (include/vbus_ioctl.h). Every request is
// METHOD_BUFFERED: the input is read in full before the output overwrites
// the same system buffer, and no byte outside the lengths the I/O manager
// gives is touched. PASSIVE_LEVEL.
#include "Vbus.h"

namespace {

struct Buffers {
    PUCHAR Data;
    ULONG In;
    ULONG Out;
};

template <typename T>
const T* Input(const Buffers& b)
{
    if (!b.Data || b.In < sizeof(T))
        return nullptr;
    const T* request = reinterpret_cast<const T*>(b.Data);
    return request->Size == sizeof(T) ? request : nullptr;
}

BOOLEAN RangeOk(ULONG offset, ULONG length, ULONG header, ULONG total)
{
    if (length == 0)
        return TRUE;  // absent: the offset is not used
    return offset >= header && offset <= total && length <= total - offset;
}

BOOLEAN HardwareIdsOk(const UCHAR* ids, ULONG bytes)
{
    if (bytes == 0)
        return TRUE;
    if (bytes % 2 || bytes < 4 || bytes > VBUS_MAX_HARDWARE_IDS_CHARS * 2)
        return FALSE;
    ULONG chars = bytes / 2;
    auto at = [ids](ULONG i) { return (USHORT)(ids[2 * i] | (ids[2 * i + 1] << 8)); };
    if (at(0) == 0 || at(chars - 1) != 0 || at(chars - 2) != 0)
        return FALSE;
    return TRUE;
}

NTSTATUS Plug(const Buffers& b, ULONG_PTR* information)
{
    auto r = Input<VBUS_PLUG_REQUEST>(b);
    if (!r || r->TotalLength < sizeof(*r) || r->TotalLength > b.In)
        return STATUS_INVALID_PARAMETER;
    if (r->DeviceDescriptorLength == 0 || r->DeviceDescriptorLength > VBUS_MAX_DEVICE_DESCRIPTOR ||
        r->ConfigDescriptorLength == 0 || r->ConfigDescriptorLength > VBUS_MAX_CONFIG_DESCRIPTOR ||
        !RangeOk(r->DeviceDescriptorOffset, r->DeviceDescriptorLength, sizeof(*r), r->TotalLength) ||
        !RangeOk(r->ConfigDescriptorOffset, r->ConfigDescriptorLength, sizeof(*r), r->TotalLength) ||
        !RangeOk(r->HardwareIdsOffset, r->HardwareIdsLength, sizeof(*r), r->TotalLength) ||
        !HardwareIdsOk(b.Data + r->HardwareIdsOffset, r->HardwareIdsLength) ||
        !RangeOk(r->FaultsOffset, r->FaultsLength, sizeof(*r), r->TotalLength) ||
        r->FaultsLength % sizeof(VBUS_FAULT_REQUEST) != 0 ||
        r->FaultsLength / sizeof(VBUS_FAULT_REQUEST) > VBUS_MAX_FAULTS)
        return STATUS_INVALID_PARAMETER;
    BOOLEAN terminated = FALSE;
    for (uint16_t c : r->Serial)
        terminated |= c == 0;
    if (!terminated)
        return STATUS_INVALID_PARAMETER;
    const VBUS_CAPABILITIES& caps = r->Capabilities;
    for (uint32_t s : caps.DeviceState)
        if (s > PowerDeviceD3)
            return STATUS_INVALID_PARAMETER;
    if (caps.SystemWake > PowerSystemShutdown || caps.DeviceWake > PowerDeviceD3)
        return STATUS_INVALID_PARAMETER;
    if (b.Out < sizeof(VBUS_PLUG_RESPONSE))
        return STATUS_BUFFER_TOO_SMALL;

    NTSTATUS status;
    VBUS_DEVICE* dev = VbusCreateDevice(r, &status);
    if (!dev)
        return status;
    // Not reported yet: nobody else can see the device.
    for (ULONG at = 0; at < r->FaultsLength; at += sizeof(VBUS_FAULT_REQUEST)) {
        VBUS_FAULT_REQUEST fault;
        RtlCopyMemory(&fault, b.Data + r->FaultsOffset + at, sizeof(fault));
        status = fault.Size == sizeof(fault) && fault.Kind != VBUS_FAULT_STALL ? VbusSetFault(dev, &fault)
                                                                               : STATUS_INVALID_PARAMETER;
        if (!NT_SUCCESS(status)) {
            VbusRelease(dev);
            return status;
        }
    }
    VbusReference(dev);  // against an UNPLUG racing in before the id is read
    status = VbusPlug(dev);
    if (!NT_SUCCESS(status))
        VbusRelease(dev);  // the creation reference: the list never took it
    ULONG id = dev->Id;
    VbusRelease(dev);
    if (!NT_SUCCESS(status))
        return status;
    auto response = reinterpret_cast<VBUS_PLUG_RESPONSE*>(b.Data);
    response->Size = sizeof(*response);
    response->DeviceId = id;
    *information = sizeof(*response);
    return STATUS_SUCCESS;
}

NTSTATUS QueryDevice(VBUS_DEVICE* dev, const Buffers& b, ULONG_PTR* information)
{
    if (b.Out < sizeof(VBUS_DEVICE_INFO))
        return STATUS_BUFFER_TOO_SMALL;
    VBUS_DEVICE_INFO info = {};
    info.Size = sizeof(info);
    info.DeviceId = dev->Id;
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    if (dev->Link & VBUS_LINK_PRESENT)
        info.State |= VBUS_STATE_PRESENT;
    if (dev->Link & VBUS_LINK_REPORTED)
        info.State |= VBUS_STATE_REPORTED;
    KeAcquireSpinLockAtDpcLevel(&dev->Lock);
    info.State |=
        dev->State | (dev->Mode == VBUS_MODE_STEPPED ? VBUS_STATE_STEPPED : 0) | (dev->Echo ? VBUS_STATE_ECHO : 0);
    info.PendingIn = dev->PendingIn;
    info.PendingOut = dev->PendingOut;
    for (const VBUS_EPSTATE& ep : dev->Ep) {
        info.QueuedInBytes += ep.Bytes;
        info.QueuedInPackets += ep.Packets;
    }
    info.OutRawBytes = dev->OutRaw.Count;
    info.OutPayloadBytes = dev->OutPayload.Count;
    info.UrbCount = dev->LogSequence;
    info.PowerState = dev->PowerState;
    KeReleaseSpinLockFromDpcLevel(&dev->Lock);
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    RtlCopyMemory(b.Data, &info, sizeof(info));
    *information = sizeof(info);
    return STATUS_SUCCESS;
}

NTSTATUS Feed(VBUS_DEVICE* dev, const VBUS_FEED_REQUEST* r, const Buffers& b)
{
    if (r->TotalLength != sizeof(*r) + r->Length || r->TotalLength > b.In || r->Length > VBUS_MAX_FEED_BYTES ||
        (r->Flags & ~VBUS_FEED_RAW) || r->Endpoint > 0xFF)
        return STATUS_INVALID_PARAMETER;
    BOOLEAN raw = (r->Flags & VBUS_FEED_RAW) != 0;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    LONG index = r->Endpoint ? VbusFindEndpoint(dev, (UCHAR)r->Endpoint) : VbusFirstInEndpoint(dev);
    NTSTATUS status;
    if (index < 0 || !USB_ENDPOINT_DIRECTION_IN(dev->Endpoints[index].Address))
        status = STATUS_NOT_FOUND;
    else if (!raw && dev->Endpoints[index].MaxPacket < 2)
        status = STATUS_INVALID_PARAMETER;  // no room for a payload byte
    else
        status = VbusQueueIn(dev, dev->Endpoints[index].Address, b.Data + sizeof(*r), r->Length, raw);
    if (NT_SUCCESS(status))
        VbusKick(dev);
    BOOLEAN pump = NT_SUCCESS(status) && VbusUnpaced(dev);
    KeReleaseSpinLock(&dev->Lock, irql);
    if (pump)
        VbusPump(dev);
    return status;
}

NTSTATUS ReadOut(VBUS_DEVICE* dev, const VBUS_READ_OUT_REQUEST* r, const Buffers& b, ULONG_PTR* information)
{
    if (r->View != VBUS_READ_RAW && r->View != VBUS_READ_PAYLOAD)
        return STATUS_INVALID_PARAMETER;
    if (b.Out < sizeof(VBUS_READ_OUT_RESPONSE))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG view = r->View;  // the response overwrites the request
    VBUS_READ_OUT_RESPONSE response = {};
    response.Size = sizeof(response);
    PUCHAR data = b.Data + sizeof(response);
    ULONG capacity = b.Out - sizeof(response);
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    VBUS_RING* ring = view == VBUS_READ_RAW ? &dev->OutRaw : &dev->OutPayload;
    response.Length =
        view == VBUS_READ_RAW ? VbusReadRawPackets(ring, data, capacity) : VbusRingRead(ring, data, capacity);
    response.Remaining = ring->Count;
    response.Dropped = ring->Dropped;
    KeReleaseSpinLock(&dev->Lock, irql);
    RtlCopyMemory(b.Data, &response, sizeof(response));
    *information = sizeof(response) + response.Length;
    return STATUS_SUCCESS;
}

// A power fault names a set or query and a system (S0-S5) or device (D0-D3)
// state, or any of them.
BOOLEAN PowerTargetOk(const VBUS_FAULT_REQUEST* r)
{
    if (r->Function != VBUS_ANY_FUNCTION && r->Function != IRP_MN_SET_POWER && r->Function != IRP_MN_QUERY_POWER)
        return FALSE;
    if (r->Endpoint == VBUS_ANY_ENDPOINT)
        return TRUE;
    ULONG type = r->Endpoint >> 8, state = r->Endpoint & 0xFF;
    if (type == VBUS_POWER_SYSTEM)
        return state >= PowerSystemWorking && state <= PowerSystemShutdown;
    return type == VBUS_POWER_DEVICE && state >= PowerDeviceD0 && state <= PowerDeviceD3;
}

NTSTATUS SetFault(VBUS_DEVICE* dev, const VBUS_FAULT_REQUEST* r)
{
    if (r->Kind == VBUS_FAULT_FAIL_POWER && !PowerTargetOk(r))
        return STATUS_INVALID_PARAMETER;
    if (r->Kind == VBUS_FAULT_STALL) {
        if (r->Endpoint > 0xFF)
            return STATUS_INVALID_PARAMETER;
        KIRQL irql;
        KeAcquireSpinLock(&dev->Lock, &irql);
        BOOLEAN known = VbusFindEndpoint(dev, (UCHAR)r->Endpoint) >= 0;
        KeReleaseSpinLock(&dev->Lock, irql);
        if (!known)
            return STATUS_NOT_FOUND;
        VbusStallEndpoint(dev, (UCHAR)r->Endpoint);
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    NTSTATUS status = VbusSetFault(dev, r);
    if (NT_SUCCESS(status))
        VbusKick(dev);
    BOOLEAN pump = NT_SUCCESS(status) && VbusUnpaced(dev);
    KeReleaseSpinLock(&dev->Lock, irql);
    if (pump)
        VbusPump(dev);
    return status;
}

NTSTATUS UrbLog(VBUS_DEVICE* dev, const VBUS_URB_LOG_REQUEST* r, const Buffers& b, ULONG_PTR* information)
{
    if (b.Out < sizeof(VBUS_URB_LOG_RESPONSE))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG first = r->FirstSequence;  // the response overwrites the request
    ULONG room = (b.Out - sizeof(VBUS_URB_LOG_RESPONSE)) / sizeof(VBUS_URB_LOG_ENTRY);
    auto entries = reinterpret_cast<VBUS_URB_LOG_ENTRY*>(b.Data + sizeof(VBUS_URB_LOG_RESPONSE));
    VBUS_URB_LOG_RESPONSE response = {};
    response.Size = sizeof(response);
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    ULONG newest = dev->LogSequence;
    ULONG oldest = newest > VBUS_URB_LOG_ENTRIES ? newest - VBUS_URB_LOG_ENTRIES + 1 : 1;
    if (first < oldest)
        first = oldest;
    for (ULONG s = first; s <= newest && response.Count < room; ++s)
        RtlCopyMemory(&entries[response.Count++], &dev->Log[(s - 1) % VBUS_URB_LOG_ENTRIES],
                      sizeof(VBUS_URB_LOG_ENTRY));
    response.TotalLogged = newest;
    KeReleaseSpinLock(&dev->Lock, irql);
    RtlCopyMemory(b.Data, &response, sizeof(response));
    *information = sizeof(response) + response.Count * sizeof(VBUS_URB_LOG_ENTRY);
    return STATUS_SUCCESS;
}

NTSTATUS SetMode(VBUS_DEVICE* dev, const VBUS_MODE_REQUEST* r)
{
    if (r->Mode != VBUS_MODE_FREE_RUN && r->Mode != VBUS_MODE_STEPPED && r->Mode != VBUS_MODE_UNPACED)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    dev->Mode = r->Mode;
    VbusKick(dev);
    BOOLEAN pump = VbusUnpaced(dev);
    KeReleaseSpinLock(&dev->Lock, irql);
    if (pump)
        VbusPump(dev);
    return STATUS_SUCCESS;
}

NTSTATUS Step(VBUS_DEVICE* dev, const VBUS_STEP_REQUEST* r, const Buffers& b, ULONG_PTR* information)
{
    if (b.Out < sizeof(VBUS_STEP_RESPONSE))
        return STATUS_BUFFER_TOO_SMALL;
    VBUS_STEP_RESPONSE response = {sizeof(VBUS_STEP_RESPONSE), VbusStep(dev, r->Count)};
    RtlCopyMemory(b.Data, &response, sizeof(response));
    *information = sizeof(response);
    return STATUS_SUCCESS;
}

NTSTATUS Echo(VBUS_DEVICE* dev, const VBUS_ECHO_REQUEST* r)
{
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    dev->Echo = r->Enable != 0;
    KeReleaseSpinLock(&dev->Lock, irql);
    return STATUS_SUCCESS;
}

// Requests that name a device: validates the record, looks the device up
// and runs `handler` with a reference held.
template <typename T, typename F>
NTSTATUS WithDevice(const Buffers& b, F handler)
{
    const T* r = Input<T>(b);
    if (!r)
        return STATUS_INVALID_PARAMETER;
    VBUS_DEVICE* dev = VbusLookup(r->DeviceId);
    if (!dev)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = handler(dev, r);
    VbusRelease(dev);
    return status;
}

}  // namespace

NTSTATUS VbusControlIoctl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Buffers b = {static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                 stack->Parameters.DeviceIoControl.InputBufferLength,
                 stack->Parameters.DeviceIoControl.OutputBufferLength};
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case VBUS_IOCTL_PLUG:
        status = Plug(b, &information);
        break;
    case VBUS_IOCTL_UNPLUG:
    case VBUS_IOCTL_YANK: {
        const VBUS_DEVICE_REQUEST* r = Input<VBUS_DEVICE_REQUEST>(b);
        status = r ? VbusUnplug(r->DeviceId, stack->Parameters.DeviceIoControl.IoControlCode == VBUS_IOCTL_YANK)
                   : STATUS_INVALID_PARAMETER;
        break;
    }
    case VBUS_IOCTL_QUERY_DEVICE:
        status = WithDevice<VBUS_DEVICE_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_DEVICE_REQUEST*) { return QueryDevice(dev, b, &information); });
        break;
    case VBUS_IOCTL_FEED_IN:
        status = WithDevice<VBUS_FEED_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_FEED_REQUEST* r) { return Feed(dev, r, b); });
        break;
    case VBUS_IOCTL_READ_OUT:
        status = WithDevice<VBUS_READ_OUT_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_READ_OUT_REQUEST* r) { return ReadOut(dev, r, b, &information); });
        break;
    case VBUS_IOCTL_SET_FAULT:
        status = WithDevice<VBUS_FAULT_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_FAULT_REQUEST* r) { return SetFault(dev, r); });
        break;
    case VBUS_IOCTL_GET_URB_LOG:
        status = WithDevice<VBUS_URB_LOG_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_URB_LOG_REQUEST* r) { return UrbLog(dev, r, b, &information); });
        break;
    case VBUS_IOCTL_SET_MODE:
        status = WithDevice<VBUS_MODE_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_MODE_REQUEST* r) { return SetMode(dev, r); });
        break;
    case VBUS_IOCTL_STEP:
        status = WithDevice<VBUS_STEP_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_STEP_REQUEST* r) { return Step(dev, r, b, &information); });
        break;
    case VBUS_IOCTL_ECHO:
        status = WithDevice<VBUS_ECHO_REQUEST>(
            b, [&](VBUS_DEVICE* dev, const VBUS_ECHO_REQUEST* r) { return Echo(dev, r); });
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return VbusComplete(irp, status, information);
}
