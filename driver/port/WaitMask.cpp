// Waits on the event mask (what WaitCommEvent sends). The only event the
// port reports is SERIAL_EV_RXCHAR: received bytes wait in the ring. Several
// waits may be pending; each ends exactly once, by an event, by an empty
// mask, by its cancel routine, or by the flush at cleanup and removal.
//
// Who completes a pending wait: the path that takes it off m_WaitList (under
// m_WaitLock) and then gets its cancel routine back. When the routine is
// already gone, IoCancelIrp has called (or is about to call) CancelEvent,
// which completes the wait whether or not it still finds it in the list.
#include "port/SerialDevice.h"

PIRP CSerialDevice::TakeOldestWait()
{
    for (;;) {
        PIRP irp = (PIRP)m_WaitList.RemoveHead();
        if (irp == NULL || IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        // Being cancelled: CancelEvent ends it. Try the next one.
    }
}

void CSerialDevice::CompleteWait(PIRP Irp, ULONG Events)
{
    // Every queued wait was checked for room for its event word.
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Information = sizeof(ULONG);
    CompleteRequest(Irp, STATUS_SUCCESS);
    m_IoCounter.Decrement();
}

NTSTATUS CSerialDevice::SetWaitMask(PVOID Buffer, ULONG InputLength)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (InputLength == sizeof(ULONG)) {
        ULONG mask = *(PULONG)Buffer;
        BOOLEAN rxcharAdded = (mask & SERIAL_EV_RXCHAR) != 0 && (ReadULongNoFence(&m_WaitMask) & SERIAL_EV_RXCHAR) == 0;
        WriteULongNoFence(&m_WaitMask, mask);
        if (rxcharAdded) {
            // Bytes that arrived while no wait could ask for them woke no
            // one and left their mark: no event for the waits to come (bytes
            // still unread are, through the ring's count). After the store:
            // an arrival whose exchange follows this one sees the new mask.
            InterlockedExchange(&m_CharsArrived, 0);
        }
        status = STATUS_SUCCESS;
    }
    Trace(kTraceEntry, "SetWaitMask");
    if (ReadULongNoFence(&m_WaitMask) != 0) {
        // Waits queued under another mask stay pending.
        return status;
    }
    // An empty mask ends every pending wait, with no event.
    for (;;) {
        PIRP irp;
        {
            CLockGuard guard(&m_WaitLock);
            irp = TakeOldestWait();
        }
        if (irp == NULL) {
            return status;
        }
        Trace(kTraceDetail, "SetWaitOnMask reset event %x", (ULONG)(ULONG_PTR)irp);
        CompleteWait(irp, 0);
    }
}

NTSTATUS CSerialDevice::SetWaitOnMask(PIRP Irp, PVOID Buffer)
{
    PAGED_CODE();
    Trace(kTraceEntry, "SetWaitOnMask");
    if ((ReadULongNoFence(&m_WaitMask) & SERIAL_EV_RXCHAR) == 0) {
        // Nothing the port reports is asked for: answered at once, no event.
        *(PULONG)Buffer = 0;
        return STATUS_SUCCESS;
    }
    BOOLEAN cancelled = FALSE;
    {
        CLockGuard guard(&m_WaitLock);
        if (PnpState() == Removed) {
            // Removal has flushed the list (under this lock) and waits for
            // every request: a wait queued now would never end.
            return STATUS_NO_SUCH_DEVICE;
        }
        // Bytes already in the ring are an event that has happened. Looked
        // at under the lock: FireEvent, after data arrived, either ran before
        // (and the bytes show here) or runs after and finds this wait.
        if (m_BufferIn.Count() != 0) {
            *(PULONG)Buffer = SERIAL_EV_RXCHAR;
            return STATUS_SUCCESS;
        }
        if (m_WaitList.AddTail(Irp) == NULL) {
            // Out of list nodes: a wait that is in no list could end only by
            // a cancel, and would hold up removal until then.
            Trace(kTraceFailure, "SetWaitOnMask cannot queue");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Trace(kTraceDetail, "add to list %d", m_WaitList.GetCount());
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, CancelEvent);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            // Cancelled before its routine was set: nobody else will end it.
            m_WaitList.RemoveItem(Irp);
            cancelled = TRUE;
        }
    }
    if (cancelled) {
        CompleteRequest(Irp, STATUS_CANCELLED);
        m_IoCounter.Decrement();
    } else {
        // An arrival that did not see this wait may not have woken the loop;
        // FireEvent then finds its mark.
        m_DataEvent.Set();
    }
    return STATUS_PENDING;
}

void CSerialDevice::FireEvent()
{
    PAGED_CODE();
    Trace(kTraceEntry, "FireEvent");
    PIRP irp = NULL;
    {
        CLockGuard guard(&m_WaitLock);
        // The mark is taken whether or not a wait pends: it stands for an
        // arrival this call has now seen, not for one a later wait missed.
        if (InterlockedExchange(&m_CharsArrived, 0) != 0 || m_BufferIn.Count() != 0) {
            irp = TakeOldestWait();
        }
    }
    if (irp == NULL) {
        return;
    }
    // Completed after the lock is released: a completion routine above may
    // send its next wait from here, and that wait takes the lock.
    CompleteWait(irp, SERIAL_EV_RXCHAR);
    Trace(kTraceDetail, "FireEvent completed");
}

VOID CSerialDevice::CancelEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Entered with the cancel spin lock held.
    KIRQL cancelIrql = Irp->CancelIrql;
    CSerialDevice* self = CancelOwner(DeviceObject, Irp);
    if (self == NULL) {
        // The wait is this routine's whatever became of its port: ended here
        // rather than left pending for ever.
        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return;
    }
    self->Trace(kTraceEntry, "CancelEvent");
    {
        CLockGuard guard(&self->m_WaitLock);
        self->m_WaitList.RemoveItem(Irp);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    // Ours whether or not it was still listed: a path that took it off the
    // list found its cancel routine gone and left it to this routine.
    self->CompleteRequest(Irp, STATUS_CANCELLED);
    self->m_IoCounter.Decrement();
}
