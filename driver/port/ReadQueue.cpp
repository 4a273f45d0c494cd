// Read requests: served at once when the ring holds all they ask for and none
// waits, else queued in m_ReadList and filled by the delivery loop, timed out
// by m_ReadTimer or cancelled. The path that takes a request off the list
// (under m_ReadLock) completes it; nothing is completed under a lock.
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
    m_ReadLock.Lock(0);
    if (m_PnpState == Removed) {
        // Removal has flushed the list (under this lock) and waits for every
        // request: one queued now would never end.
        m_ReadLock.Unlock();
        CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
        return STATUS_NO_SUCH_DEVICE;
    }
    if (m_ReadList.GetCount() == 0) {
        CLockGuard ring(&m_BufferInLock);
        if (m_BufferIn.m_Count >= length) {
            Irp->IoStatus.Information += m_BufferIn.Get((PUCHAR)Irp->AssociatedIrp.SystemBuffer, length);
            served = TRUE;
        }
    }
    if (!served && m_ReadList.AddTail(Irp) != NULL) {
        queued = TRUE;
        if (m_ReadList.GetCount() == 1 && m_ReadTimeout != 0) {
            m_ReadTimer.Set(m_ReadTimeout);
        }
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
        return STATUS_PENDING;
    }
    m_DataEvent.Set();
    return STATUS_PENDING;
}

VOID CSerialDevice::DataToIrp(PDEVICE_OBJECT DeviceObject, CWorkItem* Item)
{
    PAGED_CODE();
    CSerialDevice* self = (CSerialDevice*)Item->m_Slots[0];
    self->Trace(kTraceEntry, "DataToIrp");
    // The loop holds the counter unit StartDeliveryLoop took for it.
    BOOLEAN again = FALSE;
    while (self->m_PnpState != Removed) {
        if (!again) {
            self->m_DataEvent.Wait();
        }
        again = FALSE;
        if (self->m_PnpState == Removed) {
            break;
        }
        self->DeliveryPass(&again);
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
            if (m_BufferIn.m_Count == 0 || head == NULL) {
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
            m_ReadTimer.Cancel();
            // The time-out runs per head: the next request's starts now.
            if (m_ReadList.GetCount() != 0 && m_ReadTimeout != 0) {
                m_ReadTimer.Set(m_ReadTimeout);
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
    {
        CLockGuard queue(&self->m_ReadLock);
        self->m_ReadTimer.Cancel();
        if (self->m_ReadList.GetCount() != 0) {
            done = (PIRP)self->m_ReadList.RemoveHead();
        }
        if (self->m_ReadList.GetCount() != 0 && self->m_ReadTimeout != 0) {
            self->m_ReadTimer.Set(self->m_ReadTimeout);
        }
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
    NT_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    // Entered with the cancel spin lock held.
    CSerialDevice* self = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(DeviceObject));
    KIRQL cancelIrql = Irp->CancelIrql;
    if (self == NULL) {
        IoReleaseCancelSpinLock(cancelIrql);
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
