// A tiny driver for the I/O manager tests: one DriverEntry that routes every
// major function to a dispatch routine the test chooses, device objects with a
// small extension that remembers the device they are attached to, and an
// unload routine that detaches and deletes them.
#pragma once

#include "machine_fixture.h"

#include <internal.h>

namespace io_test {

struct Ext {
    PDEVICE_OBJECT lower;  // the device this one is attached to (null: none)
    void* user;            // per-test state
};
inline Ext* ExtOf(PDEVICE_OBJECT d)
{
    return static_cast<Ext*>(d->DeviceExtension);
}

inline PDRIVER_DISPATCH g_entryDispatch = nullptr;

inline VOID DeleteDevicesUnload(PDRIVER_OBJECT driver)
{
    // A device deleted with handles open stays on the list until they close:
    // walk it, do not wait for it to empty.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d;) {
        PDEVICE_OBJECT next = d->NextDevice;
        if (ExtOf(d)->lower)
            IoDetachDevice(ExtOf(d)->lower);
        IoDeleteDevice(d);
        d = next;
    }
}

inline NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = g_entryDispatch;
    driver->DriverUnload = DeleteDevicesUnload;
    return STATUS_SUCCESS;
}

inline PDRIVER_OBJECT LoadTestDriver(const wchar_t* service, PDRIVER_DISPATCH dispatch)
{
    g_entryDispatch = dispatch;
    return sim::LoadDriver(service, TestEntry);
}

// A ready device object (DO_DEVICE_INITIALIZING cleared), optionally attached
// on top of `below`'s stack.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, const wchar_t* name, PDEVICE_OBJECT below = nullptr,
                                 ULONG flags = DO_BUFFERED_IO, BOOLEAN exclusive = FALSE)
{
    UNICODE_STRING n;
    if (name)
        RtlInitUnicodeString(&n, name);
    PDEVICE_OBJECT d = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(Ext), name ? &n : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &d)))
        return nullptr;
    if (below)
        ExtOf(d)->lower = IoAttachDeviceToDeviceStack(d, below);
    d->Flags |= flags;
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS CompleteSuccess(PDEVICE_OBJECT, PIRP irp)
{
    return CompleteWith(irp, STATUS_SUCCESS);
}

// Passes the IRP to the device below without looking at it.
inline NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtOf(d)->lower, irp);
}

inline UNICODE_STRING Name(const wchar_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

// Bounded wait on a KEVENT from a PASSIVE_LEVEL test thread.
inline bool WaitEvent(KEVENT* e, unsigned ms = 5000)
{
    LARGE_INTEGER t;
    t.QuadPart = -(LONGLONG)ms * 10000;
    return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

}  // namespace io_test
