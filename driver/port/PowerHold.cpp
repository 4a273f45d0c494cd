// Stopping the port's own traffic before its device leaves D0:
// HoldIoRequests hands a device set or query that lowers power to a worker
// thread, which stops the reader transfers, waits until neither is in flight
// and only then passes the request down.
//
// What stays across the sleep: queued reads stay in m_ReadList and are filled
// from the ring once the readers run again; the write in flight and queued
// writes are untouched (the bus holds a transfer to a suspended device until
// it is back in D0); bytes already in the ring stay there.
#include "port/SerialDevice.h"

NTSTATUS CSerialDevice::HoldIoRequests(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    Trace(kTraceEntry, "HoldIoRequests - begins");
    NTSTATUS status;
    CWorkItem* item = CWorkItem::Create(DeviceObject, 2);
    if (item == NULL) {
        Trace(kTraceFailure, "Failed to alloc memory for worker thread context");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        item->m_Slots[0] = Irp;
        item->m_Slots[1] = this;
        item->m_Used = 2;
        IoMarkIrpPending(Irp);
        item->m_Routine = HoldIoRequestsWorkerRoutine;
        item->Queue();
        status = STATUS_PENDING;
    }
    Trace(kTraceEntry, "HoldIoRequests - ends");
    return status;
}

BOOLEAN CSerialDevice::ReadersInFlight()
{
    CLockGuard guard(&m_ReaderLock);
    for (ULONG i = 0; i < kReaderSlots; i++) {
        if (m_ReadContexts[i].m_InFlight) {
            return TRUE;
        }
    }
    return FALSE;
}

VOID CSerialDevice::HoldIoRequestsWorkerRoutine(PDEVICE_OBJECT DeviceObject, CWorkItem* item)
{
    PAGED_CODE();
    PIRP Irp = item->m_Used > 0 ? (PIRP)item->m_Slots[0] : NULL;
    CSerialDevice* self = item->m_Used > 1 ? (CSerialDevice*)item->m_Slots[1] : NULL;
    if (self == NULL || Irp == NULL) {
        return;
    }
    self->Trace(kTraceEntry, "HoldIoRequestsWorkerRoutine - begins");

    // From here a reader transfer that completes, even successfully, is not
    // sent down again, so the poll below ends. A transfer that a restart
    // (an open, a late restart worker) sends meanwhile is cancelled on the
    // next pass: the cancel is repeated on each pass.
    InterlockedExchange(&self->m_ReadersHeld, 1);
    // Waits on the event mask need nothing here: they stay queued across the
    // sleep, as reads do, and end on the first bytes after the wake.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;  // gives up the processor; there is no time-out
    for (;;) {
        self->CancelPendingReads();
        if (!self->ReadersInFlight()) {
            break;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &zero);
    }
    // Both slots are idle; only RestartRead revives them (the next return to
    // D0, a set to D0 while in D0, an open).
    InterlockedExchange(&self->m_ReadersHeld, 0);

    // The request's unit goes back in FinishDevPoDnIrp, maybe before
    // PoCallDriver returns: a unit of the worker's own keeps the device here.
    self->m_IoCounter.Increment();
    NTSTATUS status = self->PowerDown(Irp, FinishDevPoDnIrp);
    if (!NT_SUCCESS(status)) {
        self->Trace(kTraceFailure, "Lower driver fail a power Irp");
    }
    self->Trace(kTraceEntry, "HoldIoRequestsWorkerRoutine - ends");
    self->m_IoCounter.Decrement();
}
