// The reader slots: two interrupt-IN transfers kept queued at the USB stack,
// whose payloads fill the receive ring. ReadComplete runs at up to
// DISPATCH_LEVEL on any thread, both slots possibly at once.
#include "core/Pool.h"
#include "core/PoolTags.h"
#include "port/SerialDevice.h"
#include "port/Transfer.h"

namespace {

const LONG kClassUrbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
const UCHAR kSetIdle = 0x0A;
const UCHAR kPayloadMask = 0x0F;

BOOLEAN IsInterruptPipe(const USBD_PIPE_INFORMATION& pipe)
{
    return pipe.PipeType == UsbdPipeTypeInterrupt;
}

}  // namespace

BOOLEAN CSerialDevice::InitReadWrite(PUSBD_INTERFACE_INFORMATION Interface)
{
    PAGED_CODE();
    Trace(kTraceEntry, "InitReadWrite");
    m_ReadPipe = NULL;
    m_WritePipe = NULL;
    for (ULONG i = 0; i < Interface->NumberOfPipes; i++) {
        PUSBD_PIPE_INFORMATION pipe = &Interface->Pipes[i];
        if (!IsInterruptPipe(*pipe)) {
            continue;
        }
        if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
            if (m_ReadPipe == NULL) {
                m_ReadPipe = pipe;
            }
        } else if (m_WritePipe == NULL) {
            m_WritePipe = pipe;
        }
    }
    // Both pipes or neither: a port with one of them set would start its
    // delivery loop and ask for idle reports on every open with no data path.
    if (m_ReadPipe == NULL || m_WritePipe == NULL) {
        Trace(kTraceFailure, "InitReadWrite: no interrupt pipe each way");
        m_ReadPipe = NULL;
        m_WritePipe = NULL;
        return FALSE;
    }
    // A pipe that moves no bytes cannot carry the packet format (and would
    // ask the pool for an empty buffer).
    if (m_ReadPipe->MaximumPacketSize == 0 || m_WritePipe->MaximumPacketSize == 0) {
        Trace(kTraceFailure, "InitReadWrite: a pipe with a packet size of 0");
        m_ReadPipe = NULL;
        m_WritePipe = NULL;
        return FALSE;
    }
    StartRead();
    PrepareWrite();
    return TRUE;
}

BOOLEAN CSerialDevice::PrepareReader(CReadContext& slot)
{
    slot.m_Device = this;
    if (!slot.m_Urb.SizeTo(kTransferUrbBytes)) {
        return FALSE;
    }
    if (!slot.m_Packet.SizeTo(m_ReadPipe->MaximumPacketSize) || slot.m_Packet.m_Size == 0) {
        return FALSE;
    }
    if (slot.m_Irp == NULL) {
        slot.m_Irp = IoAllocateIrp(m_DeviceObject->StackSize, FALSE);
        if (slot.m_Irp == NULL) {
            return FALSE;
        }
    }
    BuildTransferUrb((PURB)slot.m_Urb.m_Data, m_ReadPipe->PipeHandle,
                     USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    ArmReader(slot);
    return TRUE;
}

void CSerialDevice::ArmReader(CReadContext& slot)
{
    PrepareSubmit(slot.m_Irp, (PURB)slot.m_Urb.m_Data, slot.m_Packet.m_Data, (ULONG)slot.m_Packet.m_Size, ReadComplete,
                  &slot);
}

BOOLEAN CSerialDevice::ClaimReader(CReadContext& slot)
{
    CLockGuard guard(&m_ReaderLock);
    if (slot.m_InFlight) {
        return FALSE;
    }
    // The unit comes first: removal that sees the flag must also find the
    // counter busy, or it could free the IRP before it is sent.
    m_IoCounter.Increment();
    slot.m_InFlight = TRUE;
    return TRUE;
}

void CSerialDevice::ReleaseReader(CReadContext& slot)
{
    {
        CLockGuard guard(&m_ReaderLock);
        slot.m_InFlight = FALSE;
    }
    // The last touch of the device: removal may free it once this unit is back.
    m_IoCounter.Decrement();
}

void CSerialDevice::SendReader(CReadContext& slot)
{
    // The slot is claimed (m_InFlight set, a counter unit held) and armed.
    NTSTATUS status = IoCallDriver(m_LowerDevice, slot.m_Irp);
    if (!NT_SUCCESS(status)) {
        // The completion routine has run (or will) with the error and idled the slot.
        Trace(kTraceFailure, "ReadComplete IoCallDriver error %x", status);
    }
}

BOOLEAN CSerialDevice::StartRead()
{
    PAGED_CODE();
    Trace(kTraceEntry, "StartRead");
    // Without the loop the readers still fill the ring; the next RestartRead
    // tries to start the loop again.
    BOOLEAN looping = StartDeliveryLoop();
    for (ULONG i = 0; i < kReaderSlots; i++) {
        CReadContext& slot = m_ReadContexts[i];
        if (!ClaimReader(slot)) {
            // A slot in flight keeps its IRP and URB: it is running already.
            continue;
        }
        if (!PrepareReader(slot)) {
            ReleaseReader(slot);
            return FALSE;
        }
        SendReader(slot);
    }
    return looping;
}

NTSTATUS CSerialDevice::ReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CReadContext* slot = (CReadContext*)Context;
    CSerialDevice* self = slot->m_Device;
    self->Trace(kTraceEntry, "ReadComplete");
    NTSTATUS status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(status) || self->PnpState() == Removed) {
        // The slot stays idle until RestartRead.
        self->Trace(kTraceFailure, "ReadComplete error %x %d", status, self->PnpState());
        self->ReleaseReader(*slot);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PURB urb = (PURB)slot->m_Urb.m_Data;
    LONG received = (LONG)urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received != 0) {
        const UCHAR* packet = slot->m_Packet.Data();
        // The count names the payload behind byte 0; only bytes this transfer
        // actually carried are taken, never more than the buffer holds.
        LONG count = packet[0] & kPayloadMask;
        LONG carried = received - 1;
        if (carried > slot->m_Packet.m_Size - 1) {
            carried = slot->m_Packet.m_Size - 1;
        }
        if (count > carried) {
            count = carried;
        }
        CLockGuard guard(&self->m_BufferInLock);
        self->m_BufferIn.Put(packet + 1, count);
        self->Trace(kTraceDetail, "ReadComplete m_BufferIn %d", self->m_BufferIn.Count());
        if (count != 0) {
            InterlockedExchange(&self->m_CharsArrived, 1);
            // The loop is woken only when it has something to do: a queued
            // read, a pending wait, or a mask that may queue one (its
            // FireEvent then takes the mark as it always has). A read or a
            // wait queued after these counts were read sets the event
            // itself, and its pass finds these bytes and this mark.
            if (self->m_ReadList.CountNoLock() != 0 || self->m_WaitList.CountNoLock() != 0 ||
                (ReadULongNoFence(&self->m_WaitMask) & SERIAL_EV_RXCHAR) != 0) {
                self->m_DataEvent.Set();
            }
        }
    }

    // The slot stays claimed (with its counter unit) while it is re-armed, so
    // RestartRead cannot send the same IRP meanwhile, and a cancel that lands
    // now is kept in Irp->Cancel for the lower driver to honour.
    self->ArmReader(*slot);
    // Removal, or power about to leave D0: the slot goes idle.
    if (self->PnpState() == Removed || ReadNoFence(&self->m_ReadersHeld)) {
        self->ReleaseReader(*slot);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    self->SendReader(*slot);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CSerialDevice::RestartRead()
{
    PAGED_CODE();
    Trace(kTraceEntry, "RestartRead");
    BOOLEAN anyIdle = FALSE;
    {
        CLockGuard guard(&m_ReaderLock);
        for (ULONG i = 0; i < kReaderSlots; i++) {
            anyIdle = anyIdle || !m_ReadContexts[i].m_InFlight;
        }
    }
    if (anyIdle) {
        // SET_IDLE (HID class request 0x0A) to interface 0: report only on
        // change. CallUSBD waits: callers come at PASSIVE_LEVEL only.
        Trace(kTraceEntry, "RequestPipe");
        PURB urb = (PURB)PoolAlloc(NonPagedPool, kClassUrbBytes, kTagRequest);
        if (urb != NULL) {
            RtlZeroMemory(urb, kClassUrbBytes);
            urb->UrbHeader.Length = (USHORT)kClassUrbBytes;
            urb->UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
            urb->UrbControlVendorClassRequest.Request = kSetIdle;
            CallUSBD(urb);
            PoolFree(urb);
        }
    }
    RearmReaders();
}

void CSerialDevice::RearmReaders()
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    if (m_ReadPipe != NULL) {
        StartDeliveryLoop();
    }
    for (ULONG i = 0; i < kReaderSlots; i++) {
        CReadContext& slot = m_ReadContexts[i];
        BOOLEAN send = FALSE;
        {
            CLockGuard guard(&m_ReaderLock);
            if (!slot.m_InFlight && slot.m_Irp != NULL && slot.m_Urb.m_Data != NULL) {
                PURB urb = (PURB)slot.m_Urb.m_Data;
                urb->UrbHeader.Status = 0;
                slot.m_Irp->IoStatus.Status = STATUS_SUCCESS;
                slot.m_Irp->Cancel = FALSE;
                ArmReader(slot);
                send = PnpState() != Removed;
                if (send) {
                    // The unit first, then the flag, then (unlocked) the send.
                    m_IoCounter.Increment();
                    slot.m_InFlight = TRUE;
                }
            }
        }
        if (send) {
            SendReader(slot);
        }
    }
}

void CSerialDevice::CancelPendingReads()
{
    PAGED_CODE();
    Trace(kTraceEntry, "CancelPendingReads");
    for (ULONG i = 0; i < kReaderSlots; i++) {
        CReadContext& slot = m_ReadContexts[i];
        m_ReaderLock.Lock(0);
        if (slot.m_InFlight) {
            // Never across IoCancelIrp: the completion may run inline and take it.
            m_ReaderLock.Unlock();
            IoCancelIrp(slot.m_Irp);
            m_ReaderLock.Lock(0);
        }
        m_ReaderLock.Unlock();
    }
}
