// Writes are strictly serial: m_WriteActive, the head of m_WriteList, is in
// flight and carries its own transfers (its next stack location holds the one
// write URB), one full-size OUT packet at a time; the others wait behind it.
// Who starts a write is decided under m_WriteLock: DispatchWrite when nothing
// is in flight, the end of the write before it (RemoveFromWriteList), or the
// end of a start (ReleaseWrites). Only the request in flight and its
// completion touch m_WriteTotal, m_WriteDone, the URB and the packet, so they
// need no lock. m_WriteLock is never held across IoCallDriver or
// IoCompleteRequest.
#include "port/SerialDevice.h"
#include "port/Transfer.h"

namespace {

// Byte 0 of a packet counts its payload; the device reads it as a signed
// byte, so a packet carries at most 127 payload bytes whatever its size.
const LONG kMaxPayload = 127;

}  // namespace

void CSerialDevice::PrepareWrite()
{
    Trace(kTraceEntry, "PreparingWrite");
    // The URB and the packet belong to the write in flight: with one in
    // flight (a start after a stop), the end of that write rebuilds them for
    // the new pipe.
    CLockGuard guard(&m_WriteLock);
    if (m_WriteActive != NULL) {
        Trace(kTraceWarning, "PreparingWrite deferred: a write is in flight");
        m_WriteRebuild = TRUE;
        return;
    }
    BuildWriteUrb();
}

void CSerialDevice::BuildWriteUrb()
{
    m_WriteRebuild = FALSE;
    if (!m_WriteUrb.SizeTo(kTransferUrbBytes)) {
        return;
    }
    if (!m_WritePacket.SizeTo(m_WritePipe->MaximumPacketSize)) {
        return;
    }
    BuildTransferUrb((PURB)m_WriteUrb.m_Data, m_WritePipe->PipeHandle, USBD_SHORT_TRANSFER_OK);
}

BOOLEAN CSerialDevice::WritePathReady() const
{
    return m_WriteUrb.m_Data != NULL && m_WritePacket.m_Data != NULL && m_WritePacket.m_Size > 1;
}

void CSerialDevice::HoldWrites()
{
    CLockGuard guard(&m_WriteLock);
    m_WritesHeld = TRUE;
}

BOOLEAN CSerialDevice::WaitForWriteIdle(ULONG Milliseconds)
{
    PAGED_CODE();
    LARGE_INTEGER tick;
    tick.QuadPart = -10000;  // one millisecond, relative
    for (ULONG waited = 0;; waited++) {
        {
            CLockGuard guard(&m_WriteLock);
            if (m_WriteActive == NULL) {
                return TRUE;
            }
        }
        if (waited >= Milliseconds) {
            return FALSE;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
}

void CSerialDevice::ReleaseWrites()
{
    PIRP next = NULL;
    {
        CLockGuard guard(&m_WriteLock);
        m_WritesHeld = FALSE;
        if (m_WriteActive == NULL) {
            next = (PIRP)m_WriteList.GetAt(0);
            m_WriteActive = next;
        }
    }
    if (next != NULL) {
        StartWrite(next);
    }
}

NTSTATUS CSerialDevice::DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchWrite");
    m_IoCounter.Increment();
    BOOLEAN added = FALSE;
    BOOLEAN start = FALSE;
    {
        CLockGuard guard(&m_WriteLock);
        // Removal has flushed the list (under this lock) and waits for every
        // request: one queued now would never end.
        if (PnpState() != Removed && m_WriteList.AddTail(Irp) != NULL) {
            added = TRUE;
            // Nothing in flight and no start under way means the list held
            // nothing before this request.
            start = m_WriteActive == NULL && !m_WritesHeld;
            if (start) {
                m_WriteActive = Irp;
            } else {
                IoMarkIrpPending(Irp);
            }
        }
    }
    if (!added) {
        NTSTATUS status = PnpState() == Removed ? STATUS_NO_SUCH_DEVICE : STATUS_INSUFFICIENT_RESOURCES;
        Trace(kTraceFailure, "DispatchWrite cannot queue");
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, status);
        m_IoCounter.Decrement();
        return status;
    }
    if (!start) {
        return STATUS_PENDING;
    }
    return StartWrite(Irp);
}

void CSerialDevice::SendWritePacket(PIRP Irp)
{
    LONG size = m_WritePacket.m_Size;
    PUCHAR packet = m_WritePacket.Data();
    LONG payload = size - 1;
    if (payload > kMaxPayload) {
        payload = kMaxPayload;
    }
    LONG remaining = m_WriteTotal - m_WriteDone;
    LONG n = remaining < payload ? remaining : payload;
    if (n < 0) {
        n = 0;
    }
    packet[0] = (UCHAR)n;
    if (n != 0) {
        // A write of 0 bytes has no system buffer at all.
        RtlCopyMemory(packet + 1, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + m_WriteDone, n);
    }

    PrepareSubmit(Irp, (PURB)m_WriteUrb.m_Data, packet, (ULONG)size, WriteComplete, this);
    IoMarkIrpPending(Irp);
    IoCallDriver(m_LowerDevice, Irp);
}

NTSTATUS CSerialDevice::StartWrite(PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    // `Irp` is m_WriteActive. Requests that cannot be sent fail in turn; the
    // first that can is sent. The result is that of the first request.
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN first = TRUE;
    while (Irp != NULL) {
        Trace(kTraceEntry, "StartWrite %x", (ULONG)(ULONG_PTR)Irp);
        m_WriteDone = 0;
        m_WriteTotal = (LONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
        if (WritePathReady()) {
            SendWritePacket(Irp);
            return status;
        }
        // No interrupt OUT pipe was prepared.
        Irp->IoStatus.Information = 0;
        PIRP next = RemoveFromWriteList(Irp);
        CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        // `next` holds a counter unit of its own: the device outlives this one.
        m_IoCounter.Decrement();
        if (first) {
            status = STATUS_INVALID_PARAMETER;
            first = FALSE;
        }
        Irp = next;
    }
    return status;
}

NTSTATUS CSerialDevice::WriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    CSerialDevice* self = (CSerialDevice*)Context;
    self->Trace(kTraceEntry, "WriteComplete");
    NTSTATUS status = Irp->IoStatus.Status;
    {
        CLockGuard guard(&self->m_WriteLock);
        LONG count = self->m_WriteList.GetCount();
        if (count == 0) {
            self->Trace(kTraceFailure, "Write list is empty.");
            return status;
        }
        LONG index = self->m_WriteList.IndexOf(Irp);
        if (index < 0) {
            self->Trace(kTraceFailure, "Irp write was not found.");
            return status;
        }
        if (index != 0) {
            self->Trace(kTraceWarning, "Irp write was not the first.");
        }
    }

    if (!NT_SUCCESS(status)) {
        self->Trace(kTraceFailure, "write to device error %x", status);
    } else {
        PURB urb = (PURB)self->m_WriteUrb.m_Data;
        if (urb->UrbBulkOrInterruptTransfer.TransferBufferLength != 0) {
            // A transfer that moved nothing adds nothing: the same bytes go again.
            self->m_WriteDone += self->m_WritePacket.Data()[0];
        }
        if (self->m_WriteDone < self->m_WriteTotal) {
            self->SendWritePacket(Irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        Irp->IoStatus.Information = (ULONG_PTR)self->m_WriteDone;
        AddToCounter(&self->m_BytesSent, (ULONG)self->m_WriteDone);
        self->m_WriteDone = 0;
    }

    PIRP next = self->RemoveFromWriteList(Irp);
    if (next != NULL) {
        self->StartWrite(next);
    }
    // The write goes on to its caller from here, and only then is its counter
    // unit given back: removal waits for it, so the device object cannot be
    // deleted while this completion is still under way.
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    self->m_IoCounter.Decrement();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP CSerialDevice::RemoveFromWriteList(PIRP Irp)
{
    CLockGuard guard(&m_WriteLock);
    if (!m_WriteList.RemoveItem(Irp)) {
        Trace(kTraceFailure, "Irp was not be deleted because irp was not found.");
    }
    if (m_WriteActive != Irp) {
        // Not the write in flight: whatever is in flight goes on.
        return NULL;
    }
    if (m_WriteRebuild) {
        // Nothing is in flight now: the URB can follow the new pipe.
        BuildWriteUrb();
    }
    PIRP next = m_WritesHeld ? NULL : (PIRP)m_WriteList.GetAt(0);
    m_WriteActive = next;
    return next;
}
