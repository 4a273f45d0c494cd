// IRPs the I/O manager builds for drivers: IoBuildDeviceIoControlRequest and
// the FSD requests, with buffering chosen as Windows does (by the control
// code's method, or by the device's DO_BUFFERED_IO/DO_DIRECT_IO for reads
// and writes). There are no MDLs here: direct I/O hands the caller's buffer
// through UserBuffer.
#include "io_internal.h"

#include <algorithm>
#include <cstdlib>

namespace sim {
namespace io {

void SetupBuffersLocked(IrpRecord& rec, PIO_STACK_LOCATION next, ULONG deviceFlags, const void* in, ULONG inLen,
                        void* out, ULONG outLen)
{
    PIRP irp = rec.irp;
    SendContext* send = rec.send.get();
    // The sim's own requests never let a driver touch the caller's memory
    // directly: it may have gone away when the IRP completes after a time-out.
    void* userOut = out;
    if (send) {
        send->output = out;
        send->outputLength = outLen;
    }
    auto bounceOut = [&]() -> void* {
        if (!send || !outLen)
            return out;
        send->bounce.assign(outLen, 0);
        return send->bounce.data();
    };
    auto systemBuffer = [&](ULONG size) {
        rec.systemBuffer = calloc(1, size ? size : 1);
        irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    };
    UCHAR major = next->MajorFunction;
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        ULONG code = next->Parameters.DeviceIoControl.IoControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = inLen;
        next->Parameters.DeviceIoControl.OutputBufferLength = outLen;
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED:
            if (inLen || outLen) {
                systemBuffer(std::max(inLen, outLen));
                if (inLen && in)
                    memcpy(rec.systemBuffer, in, inLen);
                if (outLen)
                    irp->Flags |= IRP_INPUT_OPERATION;
                rec.outputLength = outLen;
            }
            userOut = out;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inLen) {
                systemBuffer(inLen);
                if (in)
                    memcpy(rec.systemBuffer, in, inLen);
            }
            userOut = bounceOut();
            break;
        default:  // METHOD_NEITHER
            if (send && inLen && in) {
                send->bounceIn.assign((const unsigned char*)in, (const unsigned char*)in + inLen);
                next->Parameters.DeviceIoControl.Type3InputBuffer = send->bounceIn.data();
            } else {
                next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
            }
            userOut = bounceOut();
            break;
        }
        irp->UserBuffer = userOut;
        return;
    }
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        ULONG len = major == IRP_MJ_READ ? outLen : inLen;
        next->Parameters.Read.Length = len;
        if (deviceFlags & DO_BUFFERED_IO) {
            if (len) {
                systemBuffer(len);
                if (major == IRP_MJ_WRITE && in)
                    memcpy(rec.systemBuffer, in, len);
                if (major == IRP_MJ_READ) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    rec.outputLength = len;
                }
            }
            irp->UserBuffer = major == IRP_MJ_READ ? out : const_cast<void*>(in);
        } else if (major == IRP_MJ_READ) {
            irp->UserBuffer = bounceOut();
        } else if (send && len && in) {
            send->bounce.assign((const unsigned char*)in, (const unsigned char*)in + len);
            irp->UserBuffer = send->bounce.data();
            send->outputLength = 0;  // nothing to copy back from a write
        } else {
            irp->UserBuffer = const_cast<void*>(in);
        }
    }
}

namespace {

PIRP BuildFsd(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset, PKEVENT event,
              PIO_STATUS_BLOCK iosb, IrpOwner owner, const char* builder)
{
    if (ShouldFail(FaultSite::Irp, 0))
        return nullptr;
    Guard lock(Lock());
    PIRP irp = AllocateIrpLocked(device->StackSize, owner, builder);
    auto rec = FindIrpLocked(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)major;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        SetupBuffersLocked(*rec, next, device->Flags, major == IRP_MJ_WRITE ? buffer : nullptr,
                           major == IRP_MJ_WRITE ? length : 0, major == IRP_MJ_READ ? buffer : nullptr,
                           major == IRP_MJ_READ ? length : 0);
        next->Parameters.Read.ByteOffset.QuadPart = offset ? offset->QuadPart : 0;
    }
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}

}  // namespace
}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock)
{
    if (ShouldFail(FaultSite::Irp, 0))
        return nullptr;
    io::Guard lock(io::Lock());
    PIRP irp = io::AllocateIrpLocked(DeviceObject->StackSize, io::IrpOwner::IoManager, "IoBuildDeviceIoControlRequest");
    auto rec = io::FindIrpLocked(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    io::SetupBuffersLocked(*rec, next, DeviceObject->Flags, InputBuffer, InputBufferLength, OutputBuffer,
                           OutputBufferLength);
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    return io::BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, Event, IoStatusBlock,
                        io::IrpOwner::IoManager, "IoBuildSynchronousFsdRequest");
}

// As documented, the caller of the asynchronous form owns the IRP: its
// completion routine frees it with IoFreeIrp and returns
// STATUS_MORE_PROCESSING_REQUIRED.
extern "C" PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                              ULONG Length, PLARGE_INTEGER StartingOffset,
                                              PIO_STATUS_BLOCK IoStatusBlock)
{
    return io::BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, nullptr, IoStatusBlock,
                        io::IrpOwner::Driver, "IoBuildAsynchronousFsdRequest");
}
