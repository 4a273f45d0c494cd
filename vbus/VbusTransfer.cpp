// Bulk and interrupt transfers: the cancel-safe queue of pending IRPs, IN
// delivery paced by the endpoint's interval (free run) or by STEP, OUT
// completion, and the flushes of abort, stall and removal. A suspended
// device (D1-D3) completes nothing on its own: IN and OUT transfers wait for
// D0 (OUT bytes reach the OUT views when submitted, as before); cancel,
// abort, stall and removal still complete them.
//
// A queued IRP holds a device reference and has VbusCancelTransfer set. Who
// clears the cancel routine (IoSetCancelRoutine returning non-null) owns the
// IRP; the cancel routine removes the IRP it owns from the queue itself.
// Transfers complete at DISPATCH_LEVEL and never with Dev->Lock held.
#include "Vbus.h"

namespace {

LONGLONG Ctx(PIRP irp, int slot)
{
    return (LONGLONG)(LONG_PTR)irp->Tail.Overlay.DriverContext[slot];
}
void SetCtx(PIRP irp, int slot, LONGLONG value)
{
    irp->Tail.Overlay.DriverContext[slot] = (PVOID)(LONG_PTR)value;
}

PIRP IrpOf(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

const VBUS_ENDPOINT& EndpointOf(VBUS_DEVICE* dev, PIRP irp)
{
    return dev->Endpoints[Ctx(irp, VBUS_CTX_ENDPOINT)];
}

BOOLEAN IsIn(VBUS_DEVICE* dev, PIRP irp)
{
    return USB_ENDPOINT_DIRECTION_IN(EndpointOf(dev, irp).Address) != 0;
}

// Dev->Lock held.
VOID Uncount(VBUS_DEVICE* dev, PIRP irp)
{
    if (IsIn(dev, irp))
        dev->PendingIn--;
    else
        dev->PendingOut--;
    if (IsListEmpty(&dev->Pending))
        KeSetEvent(&dev->Idle, IO_NO_INCREMENT, FALSE);
}

// Dev->Lock held. Takes `irp` off the queue unless its cancel routine owns it.
BOOLEAN Claim(VBUS_DEVICE* dev, PIRP irp)
{
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return FALSE;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    Uncount(dev, irp);
    return TRUE;
}

// Dev->Lock held. Sets the outcome of a claimed IRP and moves it to `done`.
VOID Finish(VBUS_DEVICE* dev, PIRP irp, PLIST_ENTRY done, NTSTATUS status, USBD_STATUS usbd, ULONG actual)
{
    PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = actual;
    urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    VbusLogResult(dev, (ULONG)Ctx(irp, VBUS_CTX_SEQUENCE), status, usbd, actual);
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

// No lock held, DISPATCH_LEVEL.
VOID CompleteList(VBUS_DEVICE* dev, PLIST_ENTRY done)
{
    while (!IsListEmpty(done)) {
        PIRP irp = IrpOf(RemoveHeadList(done));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        VbusRelease(dev);  // the queued IRP's reference
    }
}

// Dev->Lock held; `irp` claimed. Hands it the next IN packet of its endpoint.
VOID DeliverIn(VBUS_DEVICE* dev, PIRP irp, PLIST_ENTRY done)
{
    PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (Ctx(irp, VBUS_CTX_FLAGS) & VBUS_IRP_ZERO_LENGTH) {
        Finish(dev, irp, done, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        return;
    }
    BOOLEAN oversized;
    ULONG n = VbusTakeInPacket(dev, EndpointOf(dev, irp).Address, static_cast<PUCHAR>(t.TransferBuffer),
                               t.TransferBufferLength, &oversized);
    if (oversized)
        Finish(dev, irp, done, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, 0);
    else
        Finish(dev, irp, done, STATUS_SUCCESS, USBD_STATUS_SUCCESS, n);
}

BOOLEAN HasWork(VBUS_DEVICE* dev, PIRP irp)
{
    return (Ctx(irp, VBUS_CTX_FLAGS) & VBUS_IRP_ZERO_LENGTH) || VbusHasInPacket(dev, EndpointOf(dev, irp).Address);
}

LONGLONG IntervalOf(const VBUS_ENDPOINT& ep)
{
    return (LONGLONG)(ep.Interval ? ep.Interval : 1) * 10000;
}

VOID VbusCancelTransfer(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    VBUS_DEVICE* dev = static_cast<VBUS_EXTENSION*>(pdo->DeviceExtension)->Dev;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    Uncount(dev, irp);
    Finish(dev, irp, &done, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    KeReleaseSpinLock(&dev->Lock, irql);
    CompleteList(dev, &done);
}

}  // namespace

VOID VbusCompleteUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbd)
{
    static_cast<PURB>(URB_FROM_IRP(irp))->UrbHeader.Status = usbd;
    VbusComplete(irp, status);
}

// Dev->Lock held. Starts the device's transfer clock: a periodic timer whose
// DPC completes every transfer that is due. It is armed once and never
// re-armed from its own DPC (Wine's timers wait for their own callback
// there), and it runs until the device goes.
VOID VbusKick(VBUS_DEVICE* dev)
{
    if ((dev->State & VBUS_STATE_GONE) || dev->TimerArmed)
        return;
    VbusReference(dev);  // released when the device goes and the timer is cancelled
    dev->TimerArmed = TRUE;
    LARGE_INTEGER due;
    due.QuadPart = -VBUS_TICK;
    KeSetTimerEx(&dev->Timer, due, VBUS_TICK_MS, &dev->Dpc);
}

// Dev->Lock held. Moves every transfer that may complete now to `done`: OUT
// transfers that are due, and IN transfers whose endpoint holds a packet, at
// most one packet per endpoint per call and interval when `paced`. Returns
// whether it moved any.
static BOOLEAN CollectReady(VBUS_DEVICE* dev, BOOLEAN paced, PLIST_ENTRY done)
{
    if (VbusSuspended(dev))
        return FALSE;
    BOOLEAN delivered[32] = {};
    BOOLEAN any = FALSE;
    LONGLONG now = VbusNow();
    for (PLIST_ENTRY e = dev->Pending.Flink, next; e != &dev->Pending; e = next) {
        next = e->Flink;
        PIRP irp = IrpOf(e);
        if (Ctx(irp, VBUS_CTX_DUE) > now)
            continue;
        if (!IsIn(dev, irp)) {
            ULONG actual = (Ctx(irp, VBUS_CTX_FLAGS) & VBUS_IRP_ZERO_LENGTH)
                               ? 0
                               : static_cast<PURB>(URB_FROM_IRP(irp))->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (Claim(dev, irp)) {
                Finish(dev, irp, done, STATUS_SUCCESS, USBD_STATUS_SUCCESS, actual);
                any = TRUE;
            }
            continue;
        }
        if (dev->Mode == VBUS_MODE_STEPPED)
            continue;
        const VBUS_ENDPOINT& ep = EndpointOf(dev, irp);
        VBUS_EPSTATE* state = VbusEpState(dev, ep.Address);
        UCHAR slot = (UCHAR)(state - dev->Ep);
        if (paced && (delivered[slot] || state->NextPoll > now))
            continue;
        if (!HasWork(dev, irp) || !Claim(dev, irp))
            continue;
        delivered[slot] = TRUE;
        state->NextPoll = now + IntervalOf(ep);
        DeliverIn(dev, irp, done);
        any = TRUE;
    }
    return any;
}

VOID VbusTransferDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2)
{
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(arg1);
    UNREFERENCED_PARAMETER(arg2);
    auto dev = static_cast<VBUS_DEVICE*>(context);
    KeAcquireSpinLockAtDpcLevel(&dev->Lock);
    if (VbusUnpaced(dev)) {
        // The clock only picks up what no submit or feed could complete yet
        // (a device back in D0, a delay that has passed).
        KeReleaseSpinLockFromDpcLevel(&dev->Lock);
        VbusPump(dev);
        return;
    }
    LIST_ENTRY done;
    InitializeListHead(&done);
    CollectReady(dev, TRUE, &done);
    KeReleaseSpinLockFromDpcLevel(&dev->Lock);
    CompleteList(dev, &done);
}

// Unpaced mode: completes every transfer that can complete, on the caller's
// thread at DISPATCH_LEVEL as a host controller would, until none can. The
// driver's completion routines submit again from inside CompleteList; their
// VbusPump calls return at once and this loop takes their transfers, so
// completions never nest and stay in the order the packets were queued.
VOID VbusPump(VBUS_DEVICE* dev)
{
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    if (!VbusUnpaced(dev) || dev->Pumping) {
        KeReleaseSpinLock(&dev->Lock, irql);
        return;
    }
    dev->Pumping = TRUE;
    for (;;) {
        LIST_ENTRY done;
        InitializeListHead(&done);
        if (!VbusUnpaced(dev) || !CollectReady(dev, FALSE, &done))
            break;
        KeReleaseSpinLockFromDpcLevel(&dev->Lock);
        CompleteList(dev, &done);
        KeAcquireSpinLockAtDpcLevel(&dev->Lock);
    }
    dev->Pumping = FALSE;
    KeReleaseSpinLockFromDpcLevel(&dev->Lock);
    KeLowerIrql(irql);
}

// Any IRQL <= DISPATCH_LEVEL. Validates and queues a bulk/interrupt transfer,
// or completes it at once when it fails.
NTSTATUS VbusSubmitTransfer(VBUS_DEVICE* dev, PIRP irp, PURB urb, ULONG sequence)
{
    auto& t = urb->UrbBulkOrInterruptTransfer;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);

    LONG found = VbusPipeIndex(dev, t.PipeHandle);
    ULONG index = (ULONG)found;
    if (found < 0) {
        usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else {
        const VBUS_ENDPOINT& ep = dev->Endpoints[index];
        UCHAR type = ep.Attributes & USB_ENDPOINT_TYPE_MASK;
        BOOLEAN in = USB_ENDPOINT_DIRECTION_IN(ep.Address) != 0;
        VBUS_FAULT* fault = nullptr;
        ULONG flags = 0;
        if (dev->State & VBUS_STATE_GONE) {
            status = STATUS_NO_SUCH_DEVICE;
            usbd = USBD_STATUS_DEVICE_GONE;
        } else if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) {
            usbd = USBD_STATUS_INVALID_PARAMETER;
        } else if ((!t.TransferBuffer && t.TransferBufferLength) || t.TransferBufferLength > ep.MaximumTransferSize) {
            usbd = USBD_STATUS_INVALID_PARAMETER;
        } else if (VbusEpState(dev, ep.Address)->Halted) {
            status = STATUS_UNSUCCESSFUL;
            usbd = USBD_STATUS_STALL_PID;
        } else if (VbusMatchFault(dev, VBUS_FAULT_FAIL_URB, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, ep.Address,
                                  &fault) ||
                   (!in && VbusMatchFault(dev, VBUS_FAULT_REFUSE_OUT, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                          ep.Address, &fault))) {
            status = fault->NtStatus;
            usbd = fault->UsbdStatus;
        } else {
            if (VbusMatchFault(dev, VBUS_FAULT_ZERO_LENGTH, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, ep.Address,
                               &fault))
                flags |= VBUS_IRP_ZERO_LENGTH;
            else if (!in)
                VbusAcceptOut(dev, &ep, static_cast<const UCHAR*>(t.TransferBuffer), t.TransferBufferLength);
            SetCtx(irp, VBUS_CTX_DUE, VbusNow() + (LONGLONG)dev->DelayMs * 10000);
            SetCtx(irp, VBUS_CTX_SEQUENCE, sequence);
            SetCtx(irp, VBUS_CTX_ENDPOINT, index);
            SetCtx(irp, VBUS_CTX_FLAGS, flags);
            IoSetCancelRoutine(irp, VbusCancelTransfer);
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
                // Cancelled before it was queued, and no cancel routine ran.
                status = STATUS_CANCELLED;
                usbd = USBD_STATUS_CANCELED;
            } else {
                // Queued; if a cancel raced in, its routine finds the IRP here.
                VbusReference(dev);
                IoMarkIrpPending(irp);
                InsertTailList(&dev->Pending, &irp->Tail.Overlay.ListEntry);
                KeClearEvent(&dev->Idle);
                if (in)
                    dev->PendingIn++;
                else
                    dev->PendingOut++;
                VbusKick(dev);
                BOOLEAN pump = VbusUnpaced(dev);
                KeReleaseSpinLock(&dev->Lock, irql);
                if (pump)
                    VbusPump(dev);
                return STATUS_PENDING;
            }
        }
    }
    t.TransferBufferLength = 0;
    VbusLogResult(dev, sequence, status, usbd, 0);
    KeReleaseSpinLock(&dev->Lock, irql);
    VbusCompleteUrb(irp, status, usbd);
    return status;
}

// PASSIVE_LEVEL or DISPATCH_LEVEL. Completes the pending transfers of one
// endpoint address (or all) with the given outcome, at DISPATCH_LEVEL.
VOID VbusFlushTransfers(VBUS_DEVICE* dev, USHORT address, NTSTATUS status, USBD_STATUS usbd)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    for (PLIST_ENTRY e = dev->Pending.Flink, next; e != &dev->Pending; e = next) {
        next = e->Flink;
        PIRP irp = IrpOf(e);
        if (address != VBUS_ALL_ENDPOINTS && EndpointOf(dev, irp).Address != address)
            continue;
        if (Claim(dev, irp))
            Finish(dev, irp, &done, status, usbd, 0);
    }
    KeReleaseSpinLockFromDpcLevel(&dev->Lock);
    CompleteList(dev, &done);
    KeLowerIrql(irql);
}

VOID VbusStallEndpoint(VBUS_DEVICE* dev, UCHAR address)
{
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    VbusEpState(dev, address)->Halted = TRUE;
    KeReleaseSpinLock(&dev->Lock, irql);
    VbusFlushTransfers(dev, address, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
}

// Stepped mode: completes up to `count` pending IN transfers, in the order
// they were queued, with the packets their endpoints hold. Runs the
// completions at DISPATCH_LEVEL like the host controller would.
ULONG VbusStep(VBUS_DEVICE* dev, ULONG count)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    ULONG completed = 0;
    KIRQL irql;
    KeAcquireSpinLock(&dev->Lock, &irql);
    if (VbusSuspended(dev))
        count = 0;
    for (PLIST_ENTRY e = dev->Pending.Flink, next; e != &dev->Pending && completed < count; e = next) {
        next = e->Flink;
        PIRP irp = IrpOf(e);
        if (!IsIn(dev, irp) || !HasWork(dev, irp) || !Claim(dev, irp))
            continue;
        DeliverIn(dev, irp, &done);
        completed++;
    }
    KeReleaseSpinLockFromDpcLevel(&dev->Lock);
    CompleteList(dev, &done);
    KeLowerIrql(irql);
    return completed;
}
