// Virtual devices on the bus: creation, reference counting, plug-in and
// removal, the bus relations reported to the PnP manager, and unload.
//
// A device is referenced by the bus list, by its PDO, by every queued
// transfer, by the armed timer and by each control request using it. The
// PDO is deleted only once the bus no longer reports it and the PnP manager
// has removed it (or never saw it).
#include "Vbus.h"

VBUS_BUS g_Bus;

namespace {

VOID FreeDevice(VBUS_DEVICE* dev)
{
    VbusFreeChunks(dev);
    if (dev->OutRaw.Data)
        ExFreePoolWithTag(dev->OutRaw.Data, VBUS_TAG);
    if (dev->OutPayload.Data)
        ExFreePoolWithTag(dev->OutPayload.Data, VBUS_TAG);
    if (dev->DeviceDesc)
        ExFreePoolWithTag(dev->DeviceDesc, VBUS_TAG);
    if (dev->ConfigDesc)
        ExFreePoolWithTag(dev->ConfigDesc, VBUS_TAG);
    if (dev->HardwareIds)
        ExFreePoolWithTag(dev->HardwareIds, VBUS_TAG);
    ExFreePoolWithTag(dev, VBUS_TAG);
}

PVOID CopyToPool(const VOID* source, ULONG length)
{
    PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, length ? length : 1, VBUS_TAG);
    if (copy && length)
        RtlCopyMemory(copy, source, length);
    return copy;
}

// "\Device\BlnkVbusPdo<id>" into `buffer` (at least 32 characters).
VOID PdoName(ULONG id, PWCHAR buffer, PUNICODE_STRING name)
{
    static const char prefix[] = "\\Device\\BlnkVbusPdo";
    ULONG n = 0;
    for (const char* p = prefix; *p; ++p)
        buffer[n++] = (WCHAR)*p;
    WCHAR digits[10];
    ULONG d = 0;
    do {
        digits[d++] = (WCHAR)(L'0' + id % 10);
        id /= 10;
    } while (id);
    while (d)
        buffer[n++] = digits[--d];
    buffer[n] = 0;
    name->Buffer = buffer;
    name->Length = (USHORT)(n * sizeof(WCHAR));
    name->MaximumLength = (USHORT)((n + 1) * sizeof(WCHAR));
}

}  // namespace

VOID VbusReference(VBUS_DEVICE* dev)
{
    InterlockedIncrement(&dev->RefCount);
}

VOID VbusRelease(VBUS_DEVICE* dev)
{
    if (InterlockedDecrement(&dev->RefCount) == 0)
        FreeDevice(dev);
}

// PASSIVE_LEVEL. Builds the model of a device from a validated PLUG request.
VBUS_DEVICE* VbusCreateDevice(const VBUS_PLUG_REQUEST* request, NTSTATUS* status)
{
    *status = STATUS_INSUFFICIENT_RESOURCES;
    auto dev = static_cast<VBUS_DEVICE*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VBUS_DEVICE), VBUS_TAG));
    if (!dev)
        return nullptr;
    RtlZeroMemory(dev, sizeof(*dev));
    dev->RefCount = 1;
    KeInitializeSpinLock(&dev->Lock);
    InitializeListHead(&dev->Pending);
    KeInitializeEvent(&dev->Idle, NotificationEvent, TRUE);
    for (VBUS_EPSTATE& ep : dev->Ep)
        InitializeListHead(&ep.Chunks);
    KeInitializeTimer(&dev->Timer);
    KeInitializeDpc(&dev->Dpc, VbusTransferDpc, dev);
    dev->Mode = VBUS_MODE_FREE_RUN;
    dev->Caps = request->Capabilities;
    for (ULONG i = 0; i + 1 < VBUS_MAX_SERIAL_CHARS && request->Serial[i]; ++i)
        dev->Serial[i] = request->Serial[i];

    const UCHAR* base = reinterpret_cast<const UCHAR*>(request);
    dev->DeviceDescLength = request->DeviceDescriptorLength;
    dev->ConfigDescLength = request->ConfigDescriptorLength;
    dev->DeviceDesc = static_cast<PUCHAR>(CopyToPool(base + request->DeviceDescriptorOffset, dev->DeviceDescLength));
    dev->ConfigDesc = static_cast<PUCHAR>(CopyToPool(base + request->ConfigDescriptorOffset, dev->ConfigDescLength));
    if (request->HardwareIdsLength) {
        dev->HardwareIdsBytes = request->HardwareIdsLength;
        dev->HardwareIds = static_cast<PWCHAR>(CopyToPool(base + request->HardwareIdsOffset, dev->HardwareIdsBytes));
    }
    dev->OutRaw.Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, VBUS_OUT_VIEW_BYTES, VBUS_TAG));
    dev->OutPayload.Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, VBUS_OUT_VIEW_BYTES, VBUS_TAG));
    if (!dev->DeviceDesc || !dev->ConfigDesc || (request->HardwareIdsLength && !dev->HardwareIds) ||
        !dev->OutRaw.Data || !dev->OutPayload.Data) {
        FreeDevice(dev);
        return nullptr;
    }
    *status = VbusParseEndpoints(dev);
    if (!NT_SUCCESS(*status)) {
        FreeDevice(dev);
        return nullptr;
    }
    return dev;
}

VBUS_DEVICE* VbusLookup(ULONG id)
{
    VBUS_DEVICE* found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    for (PLIST_ENTRY e = g_Bus.Devices.Flink; e != &g_Bus.Devices; e = e->Flink) {
        auto dev = CONTAINING_RECORD(e, VBUS_DEVICE, BusLink);
        if (dev->Id == id) {
            VbusReference(dev);
            found = dev;
            break;
        }
    }
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    return found;
}

// PASSIVE_LEVEL. Gives `dev` (whose creation reference becomes the bus
// list's) a PDO and announces it. On failure the caller still owns `dev`.
NTSTATUS VbusPlug(VBUS_DEVICE* dev)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    BOOLEAN full = g_Bus.DeviceCount >= VBUS_MAX_DEVICES;
    if (!full) {
        dev->Id = ++g_Bus.NextId;
        g_Bus.DeviceCount++;  // reserves the slot
    }
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    if (full)
        return STATUS_INSUFFICIENT_RESOURCES;

    WCHAR buffer[40];
    UNICODE_STRING name;
    PdoName(dev->Id, buffer, &name);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(g_Bus.Control->DriverObject, sizeof(VBUS_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        KeAcquireSpinLock(&g_Bus.Lock, &irql);
        if (--g_Bus.DeviceCount == 0)
            KeSetEvent(&g_Bus.Empty, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&g_Bus.Lock, irql);
        return status;
    }
    auto ext = static_cast<VBUS_EXTENSION*>(pdo->DeviceExtension);
    ext->Signature = VBUS_SIG_PDO;
    ext->Dev = dev;
    VbusReference(dev);  // the PDO's
    dev->Pdo = pdo;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    InsertTailList(&g_Bus.Devices, &dev->BusLink);
    dev->Link = VBUS_LINK_PRESENT | VBUS_LINK_LISTED;
    KeClearEvent(&g_Bus.Empty);
    KeReleaseSpinLock(&g_Bus.Lock, irql);

    VbusInvalidateRelations();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Deletes the PDO of `dev` and drops it from the bus once it
// is neither reported nor held by the PnP manager; otherwise does nothing.
VOID VbusDeleteIfGone(VBUS_DEVICE* dev)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    BOOLEAN drop = (dev->Link & (VBUS_LINK_PRESENT | VBUS_LINK_REPORTED)) == 0 && (dev->Link & VBUS_LINK_LISTED);
    if (drop) {
        RemoveEntryList(&dev->BusLink);
        dev->Link &= ~VBUS_LINK_LISTED;
        if (--g_Bus.DeviceCount == 0)
            KeSetEvent(&g_Bus.Empty, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&g_Bus.Lock, irql);
    if (!drop)
        return;

    KeAcquireSpinLock(&dev->Lock, &irql);
    dev->State |= VBUS_STATE_GONE;
    KeReleaseSpinLock(&dev->Lock, irql);
    VbusFlushTransfers(dev, VBUS_ALL_ENDPOINTS, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    // A cancel routine that won the race may still be completing its IRP.
    KeWaitForSingleObject(&dev->Idle, Executive, KernelMode, FALSE, NULL);

    KeAcquireSpinLock(&dev->Lock, &irql);
    BOOLEAN timerReference = dev->TimerArmed;  // GONE is set: nothing arms it again
    dev->TimerArmed = FALSE;
    PDEVICE_OBJECT pdo = dev->Pdo;
    dev->Pdo = nullptr;
    KeReleaseSpinLock(&dev->Lock, irql);
    if (timerReference) {
        // Outside the lock: the DPC takes it, and cancelling may wait for the DPC.
        KeCancelTimer(&dev->Timer);
        KeFlushQueuedDpcs();
        VbusRelease(dev);
    }
    if (pdo) {
        IoDeleteDevice(pdo);
        VbusRelease(dev);  // the PDO's
    }
    VbusRelease(dev);  // the bus list's
}

// PASSIVE_LEVEL. UNPLUG and YANK.
NTSTATUS VbusUnplug(ULONG id, BOOLEAN yank)
{
    VBUS_DEVICE* dev = VbusLookup(id);
    if (!dev)
        return STATUS_NO_SUCH_DEVICE;
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    BOOLEAN wasPresent = (dev->Link & VBUS_LINK_PRESENT) != 0;
    dev->Link &= ~VBUS_LINK_PRESENT;
    BOOLEAN reported = (dev->Link & VBUS_LINK_REPORTED) != 0;
    KeReleaseSpinLock(&g_Bus.Lock, irql);

    if (yank) {
        KeAcquireSpinLock(&dev->Lock, &irql);
        dev->State |= VBUS_STATE_GONE;
        KeReleaseSpinLock(&dev->Lock, irql);
        VbusFlushTransfers(dev, VBUS_ALL_ENDPOINTS, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    }
    if (reported)
        VbusInvalidateRelations();
    else
        VbusDeleteIfGone(dev);
    VbusRelease(dev);
    return wasPresent ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

// PASSIVE_LEVEL. IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations on the bus
// device: the PDOs of present devices, referenced, added to any relations
// a driver above already reported.
NTSTATUS VbusBusRelations(PIRP irp)
{
    auto previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    ULONG previousCount = previous ? previous->Count : 0;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&g_Bus.Lock, &irql);
        ULONG present = 0;
        for (PLIST_ENTRY e = g_Bus.Devices.Flink; e != &g_Bus.Devices; e = e->Flink)
            if (CONTAINING_RECORD(e, VBUS_DEVICE, BusLink)->Link & VBUS_LINK_PRESENT)
                present++;
        KeReleaseSpinLock(&g_Bus.Lock, irql);

        ULONG capacity = previousCount + present;
        SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (capacity ? capacity : 1);
        // Paged pool: the PnP manager frees it.
        auto relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, VBUS_TAG));
        if (!relations)
            return STATUS_INSUFFICIENT_RESOURCES;
        relations->Count = 0;
        for (ULONG i = 0; i < previousCount; ++i)
            relations->Objects[relations->Count++] = previous->Objects[i];

        BOOLEAN grew = FALSE;
        KeAcquireSpinLock(&g_Bus.Lock, &irql);
        for (PLIST_ENTRY e = g_Bus.Devices.Flink; e != &g_Bus.Devices; e = e->Flink) {
            auto dev = CONTAINING_RECORD(e, VBUS_DEVICE, BusLink);
            if (!(dev->Link & VBUS_LINK_PRESENT))
                continue;
            if (relations->Count == capacity) {
                grew = TRUE;
                break;
            }
            ObReferenceObject(dev->Pdo);
            dev->Link |= VBUS_LINK_REPORTED;
            relations->Objects[relations->Count++] = dev->Pdo;
        }
        if (grew) {
            // A device arrived meanwhile: undo and size again.
            for (ULONG i = previousCount; i < relations->Count; ++i)
                ObDereferenceObject(relations->Objects[i]);
        }
        KeReleaseSpinLock(&g_Bus.Lock, irql);
        if (grew) {
            ExFreePoolWithTag(relations, VBUS_TAG);
            continue;
        }
        if (previous)
            ExFreePool(previous);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        return STATUS_SUCCESS;
    }
}

// Any IRQL <= DISPATCH_LEVEL. Asks the PnP manager to enumerate the bus: on
// the root PDO below the bus FDO, or on the control device when the bus runs
// without AddDevice (legacy start). A bus FDO already removed has no
// children left to report.
VOID VbusInvalidateRelations()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Bus.Lock, &irql);
    PDEVICE_OBJECT target = g_Bus.Fdo ? g_Bus.RootPdo : g_Bus.PnpManaged ? nullptr : g_Bus.Control;
    // Under the lock: the FDO's removal clears RootPdo before that PDO may go.
    if (target)
        IoInvalidateDeviceRelations(target, BusRelations);
    KeReleaseSpinLock(&g_Bus.Lock, irql);
}

// PASSIVE_LEVEL, from the bus FDO's IRP_MN_REMOVE_DEVICE. The PnP manager
// has removed every child before its bus and holds none of them any more:
// all devices and their PDOs go.
VOID VbusRemoveAllDevices()
{
    KIRQL irql;
    for (;;) {
        VBUS_DEVICE* next = nullptr;
        KeAcquireSpinLock(&g_Bus.Lock, &irql);
        for (PLIST_ENTRY e = g_Bus.Devices.Flink; e != &g_Bus.Devices; e = e->Flink) {
            auto dev = CONTAINING_RECORD(e, VBUS_DEVICE, BusLink);
            dev->Link &= ~(VBUS_LINK_PRESENT | VBUS_LINK_REPORTED);
            if (!next) {
                next = dev;
                VbusReference(dev);
            }
        }
        KeReleaseSpinLock(&g_Bus.Lock, irql);
        if (!next)
            return;
        VbusDeleteIfGone(next);
        VbusRelease(next);
    }
}

// PASSIVE_LEVEL, from DriverUnload. Every device goes away; those the PnP
// manager holds are reported missing and waited for.
VOID VbusUnloadDevices()
{
    BOOLEAN reported = FALSE;
    KIRQL irql;
    for (;;) {
        VBUS_DEVICE* next = nullptr;
        KeAcquireSpinLock(&g_Bus.Lock, &irql);
        for (PLIST_ENTRY e = g_Bus.Devices.Flink; e != &g_Bus.Devices; e = e->Flink) {
            auto dev = CONTAINING_RECORD(e, VBUS_DEVICE, BusLink);
            dev->Link &= ~VBUS_LINK_PRESENT;
            if (dev->Link & VBUS_LINK_REPORTED) {
                reported = TRUE;
            } else if (!next) {
                next = dev;
                VbusReference(dev);
            }
        }
        KeReleaseSpinLock(&g_Bus.Lock, irql);
        if (!next)
            break;
        VbusDeleteIfGone(next);
        VbusRelease(next);
    }
    if (!reported)
        return;
    VbusInvalidateRelations();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10;  // 10 s
    if (KeWaitForSingleObject(&g_Bus.Empty, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
        DbgPrint("BlnkVbus: the PnP manager still holds virtual devices at unload\n");
}
