// The one way the port builds a bulk/interrupt transfer and hands it to the
// USB stack: the reader slots and the write path differ only in pipe,
// direction and completion routine. Any IRQL <= DISPATCH_LEVEL.
#pragma once

#include "core/Platform.h"

const ULONG kTransferUrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

// Fills a zeroed transfer URB for `pipe`; the buffer is set per transfer.
inline void BuildTransferUrb(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags)
{
    RtlZeroMemory(urb, kTransferUrbBytes);
    urb->UrbHeader.Length = (USHORT)kTransferUrbBytes;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = flags;
}

// Points the transfer at `buffer` and makes `urb` the request of the IRP's
// next stack location, with `routine` called however it ends.
inline void PrepareSubmit(PIRP irp, PURB urb, PVOID buffer, ULONG length, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = NULL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof(IO_STACK_LOCATION));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}
