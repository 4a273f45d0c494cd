// The device model: endpoints from the descriptor set, IN packet queues in
// the device's packet format, the OUT views, the URB log and the fault rules.
// Every routine here runs with Dev->Lock held unless it says otherwise.
#include "Vbus.h"

LONGLONG VbusNow()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart * (LONGLONG)KeQueryTimeIncrement();
}

VBUS_EPSTATE* VbusEpState(VBUS_DEVICE* dev, UCHAR address)
{
    return &dev->Ep[(address & USB_ENDPOINT_ADDRESS_MASK) | ((address & USB_ENDPOINT_DIRECTION_MASK) ? 0x10 : 0)];
}

LONG VbusFindEndpoint(VBUS_DEVICE* dev, UCHAR address)
{
    for (ULONG i = 0; i < dev->EndpointCount; ++i)
        if (dev->Endpoints[i].Address == address)
            return (LONG)i;
    return -1;
}

LONG VbusFirstInEndpoint(VBUS_DEVICE* dev)
{
    for (ULONG i = 0; i < dev->EndpointCount; ++i) {
        const VBUS_ENDPOINT& e = dev->Endpoints[i];
        UCHAR type = e.Attributes & USB_ENDPOINT_TYPE_MASK;
        if (USB_ENDPOINT_DIRECTION_IN(e.Address) &&
            (type == USB_ENDPOINT_TYPE_INTERRUPT || type == USB_ENDPOINT_TYPE_BULK))
            return (LONG)i;
    }
    return -1;
}

// Records every endpoint descriptor inside the configuration set, with the
// interface it follows. Runs at plug-in (no lock needed: not yet shared). The
// walk stops at the end of the bytes given or at a descriptor whose bLength
// is below 2 or runs past the end; wTotalLength is not trusted here.
NTSTATUS VbusParseEndpoints(VBUS_DEVICE* dev)
{
    const UCHAR* p = dev->ConfigDesc;
    const UCHAR* end = p + dev->ConfigDescLength;
    UCHAR interfaceNumber = 0, alternate = 0;
    while (end - p >= 2) {
        UCHAR length = p[0], type = p[1];
        if (length < 2 || length > end - p)
            break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 4) {
            interfaceNumber = p[2];
            alternate = p[3];
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (dev->EndpointCount == VBUS_MAX_ENDPOINTS)
                return STATUS_INVALID_PARAMETER;
            VBUS_ENDPOINT& e = dev->Endpoints[dev->EndpointCount++];
            e.Address = p[2];
            e.Attributes = p[3];
            e.MaxPacket = (USHORT)(p[4] | (p[5] << 8));
            e.Interval = p[6];
            e.InterfaceNumber = interfaceNumber;
            e.AlternateSetting = alternate;
            e.Open = FALSE;
            e.MaximumTransferSize = 0;
        }
        p += length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS VbusQueueIn(VBUS_DEVICE* dev, UCHAR address, const UCHAR* data, ULONG length, BOOLEAN raw)
{
    VBUS_EPSTATE* ep = VbusEpState(dev, address);
    if (!raw && length == 0)
        return STATUS_SUCCESS;
    if (ep->Bytes + length > VBUS_MAX_QUEUED_BYTES)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Nonpaged: the lock is held (DISPATCH_LEVEL).
    auto chunk = static_cast<VBUS_CHUNK*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, FIELD_OFFSET(VBUS_CHUNK, Data) + length + 1, VBUS_TAG));
    if (!chunk)
        return STATUS_INSUFFICIENT_RESOURCES;
    chunk->Length = length;
    chunk->Offset = 0;
    chunk->Raw = raw;
    if (length)
        RtlCopyMemory(chunk->Data, data, length);
    InsertTailList(&ep->Chunks, &chunk->Link);
    if (raw)
        ep->Packets++;
    else
        ep->Bytes += length;
    return STATUS_SUCCESS;
}

BOOLEAN VbusHasInPacket(VBUS_DEVICE* dev, UCHAR address)
{
    return !IsListEmpty(&VbusEpState(dev, address)->Chunks);
}

// Takes the next IN packet of `address` into `packet` (capacity bytes) and
// returns its length. A raw packet longer than `capacity` is consumed and
// reported through `oversized` (the host saw babble), its bytes dropped.
ULONG VbusTakeInPacket(VBUS_DEVICE* dev, UCHAR address, PUCHAR packet, ULONG capacity, BOOLEAN* oversized)
{
    *oversized = FALSE;
    VBUS_EPSTATE* ep = VbusEpState(dev, address);
    if (IsListEmpty(&ep->Chunks))
        return 0;
    auto chunk = CONTAINING_RECORD(ep->Chunks.Flink, VBUS_CHUNK, Link);
    ULONG length;
    if (chunk->Raw) {
        length = chunk->Length;
        if (length > capacity)
            *oversized = TRUE;
        else if (length)
            RtlCopyMemory(packet, chunk->Data, length);
        chunk->Offset = chunk->Length;
        ep->Packets--;
    } else {
        LONG index = VbusFindEndpoint(dev, address);
        ULONG maxPacket = index >= 0 ? dev->Endpoints[index].MaxPacket : 0;
        ULONG room = (capacity < maxPacket ? capacity : maxPacket);
        ULONG payload = room > 1 ? room - 1 : 0;
        if (payload > 15)
            payload = 15;
        if (payload > chunk->Length - chunk->Offset)
            payload = chunk->Length - chunk->Offset;
        if (room == 0)
            return 0;
        packet[0] = (UCHAR)payload;
        RtlCopyMemory(packet + 1, chunk->Data + chunk->Offset, payload);
        chunk->Offset += payload;
        ep->Bytes -= payload;
        length = payload + 1;
    }
    if (chunk->Offset >= chunk->Length) {
        RemoveEntryList(&chunk->Link);
        ExFreePoolWithTag(chunk, VBUS_TAG);
    }
    return length;
}

VOID VbusFreeChunks(VBUS_DEVICE* dev)
{
    for (VBUS_EPSTATE& ep : dev->Ep) {
        while (!IsListEmpty(&ep.Chunks)) {
            auto chunk = CONTAINING_RECORD(RemoveHeadList(&ep.Chunks), VBUS_CHUNK, Link);
            ExFreePoolWithTag(chunk, VBUS_TAG);
        }
        ep.Bytes = 0;
        ep.Packets = 0;
    }
}

// ---------------------------------------------------------------- OUT views

static ULONG RingFree(const VBUS_RING* ring)
{
    return VBUS_OUT_VIEW_BYTES - ring->Count;
}

static VOID RingWrite(VBUS_RING* ring, const UCHAR* data, ULONG length)
{
    for (ULONG i = 0; i < length; ++i)
        ring->Data[(ring->Head + ring->Count + i) % VBUS_OUT_VIEW_BYTES] = data[i];
    ring->Count += length;
}

static UCHAR RingPeek(const VBUS_RING* ring, ULONG offset)
{
    return ring->Data[(ring->Head + offset) % VBUS_OUT_VIEW_BYTES];
}

ULONG VbusRingRead(VBUS_RING* ring, PUCHAR out, ULONG capacity)
{
    ULONG n = ring->Count < capacity ? ring->Count : capacity;
    for (ULONG i = 0; i < n; ++i)
        out[i] = RingPeek(ring, i);
    ring->Head = (ring->Head + n) % VBUS_OUT_VIEW_BYTES;
    ring->Count -= n;
    return n;
}

// Whole records (VBUS_OUT_PACKET header and bytes) only.
ULONG VbusReadRawPackets(VBUS_RING* ring, PUCHAR out, ULONG capacity)
{
    ULONG taken = 0;
    while (ring->Count - taken >= sizeof(VBUS_OUT_PACKET)) {
        ULONG length = RingPeek(ring, taken) | (RingPeek(ring, taken + 1) << 8);
        ULONG record = sizeof(VBUS_OUT_PACKET) + length;
        if (taken + record > capacity)
            break;
        taken += record;
    }
    return VbusRingRead(ring, out, taken);
}

// Splits an OUT transfer into packets of the endpoint's size, records each
// in the raw view, decodes its payload into the payload view, and echoes the
// payload back as IN stream bytes when asked to.
VOID VbusAcceptOut(VBUS_DEVICE* dev, const VBUS_ENDPOINT* ep, const UCHAR* data, ULONG length)
{
    ULONG maxPacket = ep->MaxPacket ? ep->MaxPacket : length;
    ULONG offset = 0;
    LONG echoTo = dev->Echo ? VbusFirstInEndpoint(dev) : -1;
    do {
        ULONG n = length - offset < maxPacket ? length - offset : maxPacket;
        VBUS_OUT_PACKET header = {(uint16_t)n, ep->Address, 0};
        if (RingFree(&dev->OutRaw) >= sizeof(header) + n) {
            RingWrite(&dev->OutRaw, reinterpret_cast<const UCHAR*>(&header), sizeof(header));
            RingWrite(&dev->OutRaw, data + offset, n);
        } else {
            dev->OutRaw.Dropped += sizeof(header) + n;
        }
        if (n > 0) {
            ULONG payload = data[offset];
            if (payload > n - 1)
                payload = n - 1;
            if (RingFree(&dev->OutPayload) >= payload)
                RingWrite(&dev->OutPayload, data + offset + 1, payload);
            else
                dev->OutPayload.Dropped += payload;
            if (echoTo >= 0 && payload)
                (void)VbusQueueIn(dev, dev->Endpoints[echoTo].Address, data + offset + 1, payload, FALSE);
        }
        offset += n;
    } while (offset < length);
}

// ---------------------------------------------------------------- URB log

ULONG VbusLogUrb(VBUS_DEVICE* dev, const URB* urb, UCHAR endpoint)
{
    ULONG sequence = ++dev->LogSequence;
    VBUS_URB_LOG_ENTRY& e = dev->Log[(sequence - 1) % VBUS_URB_LOG_ENTRIES];
    RtlZeroMemory(&e, sizeof(e));
    e.Sequence = sequence;
    e.Function = urb->UrbHeader.Function;
    e.Endpoint = endpoint;
    e.NtStatus = STATUS_PENDING;
    e.UsbdStatus = USBD_STATUS_PENDING;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        e.DescriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        e.Request = urb->UrbControlDescriptorRequest.Index;
        e.Value = urb->UrbControlDescriptorRequest.LanguageId;
        e.RequestedLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        e.Request = urb->UrbControlVendorClassRequest.Request;
        e.RequestTypeReservedBits = urb->UrbControlVendorClassRequest.RequestTypeReservedBits;
        e.Value = urb->UrbControlVendorClassRequest.Value;
        e.Index = urb->UrbControlVendorClassRequest.Index;
        e.TransferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
        e.RequestedLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        e.TransferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
        e.RequestedLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        break;
    default:
        break;
    }
    return sequence;
}

VOID VbusLogResult(VBUS_DEVICE* dev, ULONG sequence, NTSTATUS status, USBD_STATUS usbd, ULONG actual)
{
    VBUS_URB_LOG_ENTRY& e = dev->Log[(sequence - 1) % VBUS_URB_LOG_ENTRIES];
    if (sequence == 0 || e.Sequence != sequence)
        return;  // overwritten by newer entries
    e.NtStatus = status;
    e.UsbdStatus = usbd;
    e.ActualLength = actual;
}

// ---------------------------------------------------------------- faults

// True when a rule of `kind` hits this URB; counts the match either way.
BOOLEAN VbusMatchFault(VBUS_DEVICE* dev, ULONG kind, USHORT function, USHORT endpoint, VBUS_FAULT** hit)
{
    BOOLEAN fired = FALSE;
    for (VBUS_FAULT& f : dev->Faults) {
        if (f.Kind != kind)
            continue;
        if (f.Function != VBUS_ANY_FUNCTION && f.Function != function)
            continue;
        if (f.Endpoint != VBUS_ANY_ENDPOINT && f.Endpoint != endpoint)
            continue;
        ULONG seen = ++f.Seen;
        ULONG nth = f.Nth ? f.Nth : 1;
        if (!fired && seen >= nth && (f.Count == 0 || seen - nth < f.Count)) {
            fired = TRUE;
            *hit = &f;
        }
    }
    return fired;
}

// Handles are numbers, never dereferenced: a per-device base, then one slot
// per endpoint of each selection.
USBD_PIPE_HANDLE VbusPipeHandle(VBUS_DEVICE* dev, ULONG index)
{
    ULONG_PTR slot = (ULONG_PTR)dev->Selection * VBUS_MAX_ENDPOINTS + index;
    return (USBD_PIPE_HANDLE)((ULONG_PTR)dev + 0x10000 + slot * 8);
}

LONG VbusPipeIndex(VBUS_DEVICE* dev, USBD_PIPE_HANDLE handle)
{
    ULONG_PTR h = (ULONG_PTR)handle, base = (ULONG_PTR)dev + 0x10000;
    if (h < base || (h - base) % 8 != 0)
        return -1;
    ULONG_PTR slot = (h - base) / 8;
    if (slot / VBUS_MAX_ENDPOINTS != dev->Selection)
        return -1;
    ULONG index = (ULONG)(slot % VBUS_MAX_ENDPOINTS);
    if (index >= dev->EndpointCount || !dev->Endpoints[index].Open)
        return -1;
    return (LONG)index;
}

VOID VbusDescriptorFaults(VBUS_DEVICE* dev, UCHAR type, PUCHAR answer, ULONG* length)
{
    for (VBUS_FAULT& f : dev->Faults) {
        if (f.Kind != VBUS_FAULT_SHORT_DESCRIPTOR && f.Kind != VBUS_FAULT_PATCH_DESCRIPTOR)
            continue;
        if (f.DescriptorType != 0 && f.DescriptorType != type)
            continue;
        ULONG seen = ++f.Seen;
        ULONG nth = f.Nth ? f.Nth : 1;
        if (seen < nth || (f.Count != 0 && seen - nth >= f.Count))
            continue;
        if (f.Kind == VBUS_FAULT_SHORT_DESCRIPTOR) {
            if (*length > f.Length)
                *length = f.Length;
        } else {
            if (f.Offset < *length)
                answer[f.Offset] = (UCHAR)(f.Value & 0xFF);
            if (f.Offset + 1 < *length)
                answer[f.Offset + 1] = (UCHAR)((f.Value >> 8) & 0xFF);
        }
    }
}

NTSTATUS VbusSetFault(VBUS_DEVICE* dev, const VBUS_FAULT_REQUEST* request)
{
    switch (request->Kind) {
    case VBUS_FAULT_CLEAR_ALL:
        RtlZeroMemory(dev->Faults, sizeof(dev->Faults));
        dev->DelayMs = 0;
        for (VBUS_EPSTATE& ep : dev->Ep)
            ep.Halted = FALSE;
        return STATUS_SUCCESS;
    case VBUS_FAULT_DELAY:
        if (request->DelayMs > 60000)
            return STATUS_INVALID_PARAMETER;
        dev->DelayMs = request->DelayMs;
        return STATUS_SUCCESS;
    case VBUS_FAULT_STALL:
        return STATUS_SUCCESS;  // applied by the caller (it completes IRPs)
    case VBUS_FAULT_FAIL_URB:
    case VBUS_FAULT_REFUSE_OUT:
    case VBUS_FAULT_ZERO_LENGTH:
    case VBUS_FAULT_FAIL_POWER:
        break;
    case VBUS_FAULT_SHORT_DESCRIPTOR:
    case VBUS_FAULT_PATCH_DESCRIPTOR:
        if (request->Offset > 0xFFFF || request->DescriptorType > 0xFF)
            return STATUS_INVALID_PARAMETER;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    // A failing rule must fail with error statuses (0 picks the default).
    BOOLEAN failing = request->Kind == VBUS_FAULT_FAIL_URB || request->Kind == VBUS_FAULT_REFUSE_OUT;
    if (failing && ((request->NtStatus != 0 && NT_SUCCESS(request->NtStatus)) || request->UsbdStatus > 0))
        return STATUS_INVALID_PARAMETER;
    for (VBUS_FAULT& f : dev->Faults) {
        if (f.Kind != 0)
            continue;
        f.Kind = request->Kind;
        f.Function = request->Function;
        f.Endpoint = request->Endpoint;
        f.Nth = request->Nth;
        f.Count = request->Count;
        f.Seen = 0;
        f.DescriptorType = request->DescriptorType;
        f.Length = request->Length;
        f.Offset = request->Offset;
        f.Value = request->Value;
        f.NtStatus = request->NtStatus ? request->NtStatus : STATUS_UNSUCCESSFUL;
        f.UsbdStatus = request->UsbdStatus                      ? request->UsbdStatus
                       : request->Kind == VBUS_FAULT_REFUSE_OUT ? USBD_STATUS_DEV_NOT_RESPONDING
                                                                : USBD_STATUS_XACT_ERROR;
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}
