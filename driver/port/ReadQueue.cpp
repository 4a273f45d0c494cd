// Read requests: served at once when the ring holds all they ask for and none
// waits, else queued in m_ReadList and filled by the delivery loop, timed out
// by m_ReadTimer or cancelled. The path that takes a request off the list
// (under m_ReadLock) completes it; nothing is completed under a lock.
//
// The read time-out: whoever makes a request the head (DispatchRead for the
// first, DeliveryPass and TimerRead for the next) sets m_ReadDeadline under
// m_ReadLock; ArmReadTimer, called at PASSIVE_LEVEL with no lock held by
// DispatchRead and the delivery loop, sets m_ReadTimer for it. TimerRead
// ends the head whose deadline has passed and leaves the timer for the next
// head to the delivery loop: a timer's DPC that sets or cancels its own timer
// deadlocks on kernels whose timer calls wait for the running DPC.
#include "port/SerialDevice.h"

namespace {

ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

}  // namespace

BOOLEAN CSerialDevice::StartDeliveryLoop()
{
    {
        CLockGuard guard(&m_ReadLock);
        if (m_DeliveryRunning) {
            // One loop per device, however often the data path is started.
            return TRUE;
        }
        m_DeliveryRunning = TRUE;
    }
    CWorkItem* item = CWorkItem::Create(m_DeviceObject, 1);
    if (item == NULL) {
        Trace(kTraceFailure, "StartRead no work item");
        CLockGuard guard(&m_ReadLock);
        m_DeliveryRunning = FALSE;
        return FALSE;
    }
    item->m_Slots[0] = this;
    item->m_Routine = DataToIrp;
    m_IoCounter.Increment();  // held while the loop runs
    item->Queue();
    return TRUE;
}

NTSTATUS CSerialDevice::DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchRead");
    m_IoCounter.Increment();
    LONG length = (LONG)ReadLength(Irp);
    Irp->IoStatus.Information = 0;

    BOOLEAN served = FALSE;
    BOOLEAN queued = FALSE;
    BOOLEAN cancelled = FALSE;
    BOOLEAN wake = FALSE;
    m_ReadLock.Lock(0);
    if (PnpState() == Removed) {
        // Removal has flushed the list (under this lock) and waits for every
        // request: one queued now would never end.
        m_ReadLock.Unlock();
        CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
        return STATUS_NO_SUCH_DEVICE;
    }
    if (m_ReadList.GetCount() == 0) {
        CLockGuard ring(&m_BufferInLock);
        if (m_BufferIn.Count() >= length) {
            Irp->IoStatus.Information += m_BufferIn.Get((PUCHAR)Irp->AssociatedIrp.SystemBuffer, length);
            served = TRUE;
        }
    }
    if (!served && m_ReadList.AddTail(Irp) != NULL) {
        queued = TRUE;
        if (m_ReadList.GetCount() == 1) {
            StartHeadTimeout();
            // The loop is woken only for bytes the new head can take now.
            // Bytes put after this look see the list's new count under the
            // same ring lock (ReadComplete) and wake the loop themselves; a
            // request behind the head is reached when the head ends. This
            // routine sets the head's timer itself (ArmReadTimer below).
            CLockGuard ring(&m_BufferInLock);
            wake = m_BufferIn.Count() != 0;
        }
        // The request may end on another thread once the lock is released:
        // a unit of this routine's own keeps the device until it returns.
        m_IoCounter.Increment();
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, CancelRead);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            // Cancelled before it could be queued: ours to complete.
            m_ReadList.RemoveAt(m_ReadList.GetCount() - 1);
            cancelled = TRUE;
        }
    }
    m_ReadLock.Unlock();

    if (served) {
        AddToCounter(&m_BytesReceived, (ULONG)Irp->IoStatus.Information);
        CompleteRequest(Irp, STATUS_SUCCESS);
        m_IoCounter.Decrement();
        return STATUS_SUCCESS;
    }
    if (!queued) {
        // No list node: the request cannot wait, so it fails now.
        Trace(kTraceFailure, "DispatchRead cannot queue");
        CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        m_IoCounter.Decrement();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (cancelled) {
        CompleteRequest(Irp, STATUS_CANCELLED);
        m_IoCounter.Decrement();
    } else {
        ArmReadTimer();
        if (wake) {
            m_DataEvent.Set();
        }
    }
    m_IoCounter.Decrement();
    return STATUS_PENDING;
}

void CSerialDevice::StartHeadTimeout()
{
    // Read once: SET_TIMEOUTS changes it on its caller's thread, outside m_ReadLock.
    LONG timeout = ReadNoFence(&m_ReadTimeout);
    m_ReadDeadline = timeout != 0 ? CTimer::Now() - CTimer::DueTimeFor(timeout).QuadPart : 0;
}

void CSerialDevice::ArmReadTimer()
{
    PAGED_CODE();
    ULONGLONG deadline;
    {
        CLockGuard queue(&m_ReadLock);
        deadline = m_ReadList.GetCount() != 0 ? m_ReadDeadline : 0;
        if (deadline == 0 || deadline == m_ReadTimerDue) {
            // No head to time, or the timer is set for it: a timer left set
            // for a head that has gone finds nothing to end.
            return;
        }
    }
    CLockGuard serial(&m_ReadTimerLock);
    {
        CLockGuard queue(&m_ReadLock);
        deadline = m_ReadList.GetCount() != 0 ? m_ReadDeadline : 0;
        if (deadline == 0 || deadline == m_ReadTimerDue) {
            return;
        }
    }
    // Cancelled first and outside every lock TimerRead takes: where the
    // kernel's cancel waits for a running DPC of the timer, that DPC can
    // finish, and the set that follows then has no DPC to wait for.
    m_ReadTimer.Cancel();
    {
        CLockGuard queue(&m_ReadLock);
        m_ReadTimerDue = deadline;
    }
    ULONGLONG now = CTimer::Now();
    m_ReadTimer.SetRelative(deadline > now ? (LONGLONG)(deadline - now) : 0);
}

VOID CSerialDevice::DataToIrp(PDEVICE_OBJECT DeviceObject, CWorkItem* Item)
{
    PAGED_CODE();
    CSerialDevice* self = (CSerialDevice*)Item->m_Slots[0];
    self->Trace(kTraceEntry, "DataToIrp");
    // The loop holds the counter unit StartDeliveryLoop took for it.
    BOOLEAN again = FALSE;
    while (self->PnpState() != Removed) {
        if (!again) {
            self->m_DataEvent.Wait();
        }
        again = FALSE;
        if (self->PnpState() == Removed) {
            break;
        }
        self->FireEvent();
        self->DeliveryPass(&again);
        self->ArmReadTimer();
    }
    {
        CLockGuard guard(&self->m_ReadLock);
        self->m_DeliveryRunning = FALSE;
    }
    // The last touch of the device: removal may free it once this unit is back.
    self->m_IoCounter.Decrement();
}

void CSerialDevice::DeliveryPass(BOOLEAN* completedOne)
{
    PIRP done = NULL;
    {
        CLockGuard queue(&m_ReadLock);
        if (m_ReadList.GetCount() == 0) {
            return;
        }
        PIRP head = (PIRP)m_ReadList.GetAt(0);
        {
            CLockGuard ring(&m_BufferInLock);
            if (m_BufferIn.Count() == 0 || head == NULL) {
                return;
            }
            LONG length = (LONG)ReadLength(head);
            LONG filled = (LONG)head->IoStatus.Information;
            LONG room = length - filled;
            if (room < 0) {
                room = 0;
            }
            head->IoStatus.Information += m_BufferIn.Get((PUCHAR)head->AssociatedIrp.SystemBuffer + filled, room);
        }
        if ((LONG)head->IoStatus.Information == (LONG)ReadLength(head)) {
            m_ReadList.RemoveHead();
            // The time-out runs per head: the next request's starts now (the
            // loop sets the timer for it after this pass).
            if (m_ReadList.GetCount() != 0) {
                StartHeadTimeout();
            }
            done = head;
        }
    }
    if (done != NULL) {
        Trace(kTraceDetail, "Read completed %d", (LONG)done->IoStatus.Information);
        AddToCounter(&m_BytesReceived, (ULONG)done->IoStatus.Information);
        TakeFromCancel(done);
        CompleteRequest(done, STATUS_SUCCESS);
        m_IoCounter.Decrement();
        *completedOne = TRUE;
    }
}

VOID CSerialDevice::TimerRead(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    NT_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    CSerialDevice* self = (CSerialDevice*)Context;
    self->Trace(kTraceEntry, "TimerRead");
    PIRP done = NULL;
    BOOLEAN rearm = FALSE;
    {
        CLockGuard queue(&self->m_ReadLock);
        // The timer is no longer set. (This may also be the DPC of an earlier
        // setting that a cancel came too late to stop: the deadline decides,
        // and the loop sets the timer again.)
        self->m_ReadTimerDue = 0;
        if (self->m_ReadList.GetCount() != 0 && self->m_ReadDeadline != 0) {
            if (CTimer::Now() >= self->m_ReadDeadline) {
                done = (PIRP)self->m_ReadList.RemoveHead();
                if (self->m_ReadList.GetCount() != 0) {
                    self->StartHeadTimeout();
                }
            }
            rearm = self->m_ReadList.GetCount() != 0 && self->m_ReadDeadline != 0;
        }
    }
    if (rearm) {
        // The next head's timer is set by the delivery loop; signalled before
        // the request below is completed, which may let removal free the device.
        self->m_DataEvent.Set();
    }
    if (done != NULL) {
        // STATUS_TIMEOUT is a success: the caller gets the bytes copied so far.
        LONG filled = (LONG)done->IoStatus.Information;
        AddToCounter(&self->m_BytesReceived, (ULONG)filled);
        TakeFromCancel(done);
        self->CompleteRequest(done, STATUS_TIMEOUT);
        self->m_IoCounter.Decrement();
        self->Trace(kTraceDetail, "Read completed with timeout %d", filled);
    }
}

VOID CSerialDevice::CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Entered with the cancel spin lock held.
    KIRQL cancelIrql = Irp->CancelIrql;
    CSerialDevice* self = CancelOwner(DeviceObject, Irp);
    if (self == NULL) {
        // Removal's flush ended every listed read: this one is no longer listed.
        return;
    }
    self->Trace(kTraceEntry, "CancelRead %x", (ULONG)(ULONG_PTR)Irp);
    BOOLEAN found;
    {
        CLockGuard queue(&self->m_ReadLock);
        found = self->m_ReadList.RemoveItem(Irp);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (found) {
        // The timer armed for it, if it was the head, keeps running for the next head.
        IoSetCancelRoutine(Irp, NULL);
        self->CompleteRequest(Irp, STATUS_CANCELLED);
        self->m_IoCounter.Decrement();
    }
}
