// Device objects: creation, deletion, attachment into stacks. A device
// object's memory lives while references remain (the creation reference is
// dropped by IoDeleteDevice; attachments, file objects, work items and
// IoGetAttachedDeviceReference hold others).
#include "io_internal.h"
#include "pnp_internal.h"

#include <cstdio>
#include <new>

namespace sim {
namespace io {
namespace {

std::set<PDEVICE_OBJECT> g_devices;  // memory live; guarded by Lock()
ULONG g_autoName = 0;

void DestroyDevice(void* body)
{
    PDEVICE_OBJECT d = static_cast<PDEVICE_OBJECT>(body);
    _DEVOBJ_EXTENSION* ext = d->DeviceObjectExtension;
    // Timers, DPCs and waits a driver left inside the memory going away.
    if (ext->extension)
        KeCheckFreedMemory(ext->extension, ext->extensionSize, "IoDeleteDevice");
    KeCheckFreedMemory(d, sizeof *d, "IoDeleteDevice");
    Guard lock(Lock());
    bool lastHandle = d->DeviceObjectExtension->unlinkWhenFreed;
    PIRP pending = nullptr;
    if (lastHandle && DeviceHasPendingIrpLocked(d, &pending))
        ReportViolation("IRP_PENDING_AT_DEVICE_DELETE", DeviceText(d), "IoDeleteDevice",
                        IrpText(pending) + " is still pending when its last handle closed");
    if (lastHandle)
        UnlinkFromDriverLocked(d);
    g_devices.erase(d);
    PDRIVER_OBJECT driver = d->DriverObject;
    _DEVOBJ_EXTENSION* x = d->DeviceObjectExtension;
    if (x->extension)
        ::operator delete(x->extension, std::align_val_t(16));
    delete x;
    delete d;
    DriverDeviceGoneLocked(driver);
    lock.unlock();
    pnp::DeviceFreed();  // its driver may have been waiting for it to unload
}

}  // namespace

bool IsDeviceLocked(PDEVICE_OBJECT d)
{
    return g_devices.count(d) != 0;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT d)
{
    while (d->AttachedDevice)
        d = d->AttachedDevice;
    return d;
}

void UnlinkFromDriverLocked(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT* p = &device->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == device) {
            *p = device->NextDevice;
            break;
        }
    }
    device->NextDevice = nullptr;
}

void SetCreateBlocked(PDEVICE_OBJECT pdo, bool blocked)
{
    Guard lock(Lock());
    if (!IsDeviceLocked(pdo))
        return;
    // Every device of the stack: one that detaches during its removal still
    // refuses opens until it is deleted.
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
        d->DeviceObjectExtension->createBlocked = blocked;
}

void NoteDriverReferenceLocked(void* object, LONG delta)
{
    auto d = static_cast<PDEVICE_OBJECT>(object);
    if (!g_devices.count(d))
        return;
    LONG& refs = d->DeviceObjectExtension->driverRefs;
    refs = refs + delta < 0 ? 0 : refs + delta;
}

// A deleted device whose memory outlives its driver: a driver took a
// reference and never dropped it. Windows keeps the object, and the driver
// image, for ever.
void ReportDeviceReferencesLocked(PDRIVER_OBJECT driver, const char* routine)
{
    for (PDEVICE_OBJECT d : g_devices) {
        _DEVOBJ_EXTENSION* x = d->DeviceObjectExtension;
        if ((driver && d->DriverObject != driver) || !x->deleted || x->driverRefs == 0 || x->refLeakReported)
            continue;
        x->refLeakReported = true;
        ReportViolation("DEVICE_REFERENCE_LEAKED", DeviceText(d), routine,
                        std::to_string(x->driverRefs) +
                            " reference(s) taken with ObReferenceObject or IoGetAttachedDeviceReference were "
                            "never dropped with ObDereferenceObject; the deleted device object cannot go");
    }
}

void DevicesShutdownLocked()
{
    ReportDeviceReferencesLocked(nullptr, "StopMachine");
    std::vector<PDEVICE_OBJECT> all(g_devices.begin(), g_devices.end());
    for (PDEVICE_OBJECT d : all) {
        _DEVOBJ_EXTENSION* x = d->DeviceObjectExtension;
        if (!x->deleted && !x->leakReported)
            ReportViolation("DEVICE_LEAKED", DeviceText(d), "StopMachine", "never deleted with IoDeleteDevice");
    }
    for (PDEVICE_OBJECT d : all) {
        _DEVOBJ_EXTENSION* x = d->DeviceObjectExtension;
        if (x->extension)
            ::operator delete(x->extension, std::align_val_t(16));
        delete x;
        delete d;
    }
    g_devices.clear();
}

}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject)
{
    RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    if (DriverCallFails(FaultSite::Object))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = io::Text(DeviceName);
    io::Guard lock(io::Lock());
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        char b[32];
        snprintf(b, sizeof b, "\\Device\\%08x", ++io::g_autoName);
        name = Utf16(b);
    }
    PDEVICE_OBJECT d = new DEVICE_OBJECT();
    auto* x = new _DEVOBJ_EXTENSION();
    x->device = d;
    if (!name.empty()) {
        io::NsEntry e;
        e.kind = io::NsKind::Device;
        e.object = d;
        e.owner = DriverObject;
        NTSTATUS st = io::InsertEntryLocked(name, e, &x->key);
        if (!NT_SUCCESS(st)) {
            delete x;
            delete d;
            return st;
        }
        x->name = name;
    }
    if (DeviceExtensionSize) {
        x->extension = ::operator new(DeviceExtensionSize, std::align_val_t(16));
        x->extensionSize = DeviceExtensionSize;
        memset(x->extension, 0, DeviceExtensionSize);
    }
    x->devicePower.DeviceState = PowerDeviceD0;
    x->systemPower.SystemState = PowerSystemWorking;
    d->Type = 3;  // IO_TYPE_DEVICE
    d->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    d->DriverObject = DriverObject;
    d->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = d;
    d->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    d->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    d->DeviceExtension = x->extension;
    d->DeviceType = DeviceType;
    d->StackSize = 1;
    InitializeListHead(&d->ListEntry);
    d->DeviceObjectExtension = x;
    io::g_devices.insert(d);
    io::DriverDeviceCreatedLocked(DriverObject);
    io::RegisterObjectLocked(d, io::ObjKind::Device, io::DestroyDevice);
    lock.unlock();
    KeInitializeEvent(&d->DeviceLock, SynchronizationEvent, TRUE);
    *DeviceObject = d;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    // A bus deletes a departing PDO inside the last IRP_MN_REMOVE_DEVICE,
    // before the drivers above it detach on the way back up: legal there.
    bool finalRemove = pnp::DeviceDeleting(DeviceObject);
    void (*destroy)(void*);
    {
        io::Guard lock(io::Lock());
        if (!io::IsDeviceLocked(DeviceObject) || DeviceObject->DeviceObjectExtension->deleted) {
            ReportViolation("DEVICE_DELETED_TWICE", "device " + io::Hex(DeviceObject), "IoDeleteDevice",
                            "not a live device object");
            return;
        }
        _DEVOBJ_EXTENSION* x = DeviceObject->DeviceObjectExtension;
        std::string what = io::DeviceText(DeviceObject);
        if (DeviceObject->AttachedDevice && !finalRemove)
            ReportViolation("DEVICE_DELETED_WHILE_ATTACHED", what, "IoDeleteDevice",
                            "device " + io::Hex(DeviceObject->AttachedDevice) + " is still attached above it");
        if (x->attachedTo)
            ReportViolation("DEVICE_DELETED_WHILE_ATTACHED", what, "IoDeleteDevice",
                            "still attached to " + io::DeviceText(x->attachedTo) + " (call IoDetachDevice first)");
        if (DeviceObject->ReferenceCount != 0 && (x->inStack || finalRemove))
            ReportViolation("DEVICE_DELETED_WITH_OPEN_HANDLES", what, "IoDeleteDevice",
                            std::to_string(DeviceObject->ReferenceCount) + " file object(s) still open on it");
        // A standalone device's open handles keep it, and requests on them
        // may still be in its dispatch routines: the check moves to the
        // moment the last handle closes.
        bool keptByHandles = DeviceObject->ReferenceCount != 0 && !x->inStack && !finalRemove;
        PIRP pending = nullptr;
        if (!keptByHandles && io::DeviceHasPendingIrpLocked(DeviceObject, &pending))
            ReportViolation("IRP_PENDING_AT_DEVICE_DELETE", what, "IoDeleteDevice",
                            io::IrpText(pending) + " is still pending on it");
        x->deleted = true;
        if (!x->key.empty())
            io::RemoveEntryLocked(x->key);
        // A standalone device with handles open goes on being the driver's
        // until the last one is closed, as on Windows: the driver is not
        // unloaded under a close still to come.
        if (keptByHandles)
            x->unlinkWhenFreed = true;
        else
            io::UnlinkFromDriverLocked(DeviceObject);
        destroy = io::DereferenceLocked(DeviceObject, "IoDeleteDevice");
    }
    if (destroy)
        destroy(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    io::Guard lock(io::Lock());
    if (!io::IsDeviceLocked(SourceDevice) || !io::IsDeviceLocked(TargetDevice)) {
        ReportViolation("INVALID_DEVICE_OBJECT",
                        "device " + io::Hex(io::IsDeviceLocked(SourceDevice) ? TargetDevice : SourceDevice),
                        "IoAttachDeviceToDeviceStack", "not a live device object");
        return nullptr;
    }
    for (PDEVICE_OBJECT d = TargetDevice; d; d = d->AttachedDevice)
        if (d->DeviceObjectExtension->deleted)
            return nullptr;
    PDEVICE_OBJECT top = io::TopOfStackLocked(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->attachedTo = top;
    SourceDevice->DeviceObjectExtension->inStack = true;
    top->DeviceObjectExtension->inStack = true;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    // The attachment holds both objects until IoDetachDevice, so a device
    // deleted while still attached is reported without dangling pointers.
    io::ReferenceLocked(top);
    io::ReferenceLocked(SourceDevice);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    void (*destroy)(void*) = nullptr;
    void (*destroyUpper)(void*) = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    {
        io::Guard lock(io::Lock());
        if (!io::IsDeviceLocked(TargetDevice) || !TargetDevice->AttachedDevice) {
            ReportViolation("DETACH_NOT_ATTACHED", "device " + io::Hex(TargetDevice), "IoDetachDevice",
                            "nothing is attached to this device");
            return;
        }
        upper = TargetDevice->AttachedDevice;
        upper->DeviceObjectExtension->attachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        destroy = io::DereferenceLocked(TargetDevice, "IoDetachDevice");
        destroyUpper = io::DereferenceLocked(upper, "IoDetachDevice");
    }
    if (destroy)
        destroy(TargetDevice);
    if (destroyUpper)
        destroyUpper(upper);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    io::Guard lock(io::Lock());
    PDEVICE_OBJECT top = io::TopOfStackLocked(DeviceObject);
    io::ReferenceLocked(top);
    io::NoteDriverReferenceLocked(top, +1);
    return top;
}
