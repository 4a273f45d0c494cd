// Driver loading and unloading as the I/O manager does it: the service key,
// the driver object "\Driver\<name>", DriverEntry at PASSIVE_LEVEL with a
// RegistryPath buffer that is freed once the entry returns.
#include "io_internal.h"

#include <algorithm>

namespace sim {
namespace io {
namespace {

struct DriverRecord {
    PDRIVER_OBJECT object = nullptr;
    std::u16string key;         // namespace key of "\Driver\<name>"
    std::u16string driverName;  // buffers behind DriverName / ServiceKeyName
    std::u16string serviceName;
    bool unloading = false;  // DriverUnload called or about to be
    bool unloaded = false;   // DriverUnload returned
    size_t liveDevices = 0;  // device objects whose memory still refers to it
};

std::map<PDRIVER_OBJECT, DriverRecord*> g_drivers;  // guarded by Lock()
std::vector<PDRIVER_OBJECT> g_loadOrder;

const char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

void FreeDriverLocked(DriverRecord* r)
{
    g_drivers.erase(r->object);
    delete r->object->DriverExtension;
    delete r->object;
    delete r;
}

NTSTATUS CreateKey(const std::u16string& path, HANDLE* h)
{
    UNICODE_STRING name;
    name.Buffer = (PWSTR)path.c_str();
    name.Length = name.MaximumLength = (USHORT)(path.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    DriverScope own(nullptr);  // the I/O manager's own key: no driver's call to fail
    return ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Creates every missing key along `path`.
NTSTATUS CreateKeyPath(const std::u16string& path)
{
    size_t pos = std::u16string(u"\\Registry\\Machine").size();
    for (;;) {
        size_t next = path.find(u'\\', pos + 1);
        HANDLE h = nullptr;
        NTSTATUS st = CreateKey(path.substr(0, next), &h);
        if (!NT_SUCCESS(st))
            return st;
        ZwClose(h);
        if (next == std::u16string::npos)
            return STATUS_SUCCESS;
        pos = next;
    }
}

void UnloadLocked(Guard& lock, DriverRecord* r, const char* why)
{
    PDRIVER_OBJECT d = r->object;
    r->unloading = true;
    RemoveEntryLocked(r->key);
    g_loadOrder.erase(std::remove(g_loadOrder.begin(), g_loadOrder.end(), d), g_loadOrder.end());
    lock.unlock();
    if (d->DriverUnload) {
        DriverScope scope(d);
        CallDriverRoutine("DriverUnload", [&] { d->DriverUnload(d); });
    }
    lock.lock();
    // A deleted device that a reference still keeps (a work item whose
    // routine runs) keeps the driver's code running too, as on Windows: what
    // it left pending or allocated is judged at teardown instead.
    size_t listed = 0;
    for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice)
        ++listed;
    if (r->liveDevices <= listed) {
        lock.unlock();
        KeDriverUnloaded(d, "DriverUnload");
        lock.lock();
    }
    // Only now may the last device's deletion free the driver object.
    r->unloaded = true;
    for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice) {
        dev->DeviceObjectExtension->leakReported = true;
        ReportViolation("DEVICE_LEAKED_AT_UNLOAD", DeviceText(dev), why,
                        "the driver " + Narrow(r->serviceName) + " left this device object undeleted");
    }
    ReportDriverLinksLocked(d);
    ReportDeviceReferencesLocked(d, why);
    if (r->liveDevices == 0)
        FreeDriverLocked(r);
}

}  // namespace

void DriverDeviceGoneLocked(PDRIVER_OBJECT driver)
{
    auto it = g_drivers.find(driver);
    if (it == g_drivers.end())
        return;
    DriverRecord* r = it->second;
    if (--r->liveDevices == 0 && r->unloaded)
        FreeDriverLocked(r);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void UnloadAllDrivers()
{
    Guard lock(Lock());
    while (!g_loadOrder.empty()) {
        DriverRecord* r = g_drivers[g_loadOrder.back()];
        UnloadLocked(lock, r, "StopMachine");
    }
}

size_t DriverLiveDevicesLocked(PDRIVER_OBJECT driver)
{
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? 0 : it->second->liveDevices;
}

// Called by device creation to count the devices a driver object backs.
void DriverDeviceCreatedLocked(PDRIVER_OBJECT driver)
{
    auto it = g_drivers.find(driver);
    if (it != g_drivers.end())
        it->second->liveDevices++;
}

void DriversShutdownLocked()
{
    std::vector<DriverRecord*> left;
    for (auto& [d, r] : g_drivers)
        left.push_back(r);
    for (DriverRecord* r : left)
        FreeDriverLocked(r);
    g_loadOrder.clear();
}

}  // namespace io

PDRIVER_OBJECT LoadDriver(const wchar_t* serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status)
{
    NTSTATUS dummy;
    if (!status)
        status = &dummy;
    RequireIrql(PASSIVE_LEVEL, "LoadDriver");
    std::u16string service = io::Text(serviceName);
    std::u16string keyPath = std::u16string(io::kServices) + u"\\" + service;
    *status = io::CreateKeyPath(keyPath + u"\\Parameters");
    if (!NT_SUCCESS(*status))
        return nullptr;

    auto* r = new io::DriverRecord();
    r->serviceName = service;
    r->driverName = u"\\Driver\\" + service;
    PDRIVER_OBJECT d = new DRIVER_OBJECT();
    r->object = d;
    d->Type = 4;  // IO_TYPE_DRIVER
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = new DRIVER_EXTENSION();
    d->DriverExtension->DriverObject = d;
    d->DriverExtension->ServiceKeyName.Buffer = (PWSTR)r->serviceName.c_str();
    d->DriverExtension->ServiceKeyName.Length = d->DriverExtension->ServiceKeyName.MaximumLength =
        (USHORT)(service.size() * sizeof(WCHAR));
    d->DriverName.Buffer = (PWSTR)r->driverName.c_str();
    d->DriverName.Length = d->DriverName.MaximumLength = (USHORT)(r->driverName.size() * sizeof(WCHAR));
    d->DriverInit = entry;
    for (PDRIVER_DISPATCH& f : d->MajorFunction)
        f = io::InvalidDeviceRequest;
    {
        io::Guard lock(io::Lock());
        io::NsEntry e;
        e.kind = io::NsKind::Driver;
        e.object = d;
        e.system = true;
        *status = io::InsertEntryLocked(r->driverName, e, &r->key);
        if (!NT_SUCCESS(*status)) {
            delete d->DriverExtension;
            delete d;
            delete r;
            return nullptr;
        }
        io::g_drivers[d] = r;
        io::g_loadOrder.push_back(d);
    }

    // The registry path is the I/O manager's buffer, alive only during the
    // entry: a driver must copy what it wants to keep.
    auto* path = new UNICODE_STRING;
    path->Length = path->MaximumLength = (USHORT)(keyPath.size() * sizeof(WCHAR));
    path->Buffer = new WCHAR[keyPath.size()];
    memcpy(path->Buffer, keyPath.data(), path->Length);
    {
        io::DriverScope scope(d);
        *status = CallDriverRoutine("DriverEntry", [&] { return entry(d, path); });
    }
    delete[] path->Buffer;
    delete path;

    if (!NT_SUCCESS(*status))
        KeDriverUnloaded(d, "DriverEntry");
    io::Guard lock(io::Lock());
    if (!NT_SUCCESS(*status)) {
        // A failed entry is not followed by DriverUnload: what it created is its leak.
        r->unloaded = true;
        io::RemoveEntryLocked(r->key);
        io::g_loadOrder.erase(std::remove(io::g_loadOrder.begin(), io::g_loadOrder.end(), d), io::g_loadOrder.end());
        for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice) {
            dev->DeviceObjectExtension->leakReported = true;
            ReportViolation("DEVICE_LEAKED_AT_UNLOAD", io::DeviceText(dev), "DriverEntry",
                            "DriverEntry failed and left this device object undeleted");
        }
        io::ReportDriverLinksLocked(d);
        if (r->liveDevices == 0)
            io::FreeDriverLocked(r);
        return nullptr;
    }
    // Devices created during DriverEntry are ready once it returns.
    for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice)
        dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    RequireIrql(PASSIVE_LEVEL, "UnloadDriver");
    io::Guard lock(io::Lock());
    auto it = io::g_drivers.find(driver);
    if (it == io::g_drivers.end() || it->second->unloading) {
        ReportViolation("DRIVER_NOT_LOADED", "driver object " + io::Hex(driver), "UnloadDriver", "not a loaded driver");
        return;
    }
    io::UnloadLocked(lock, it->second, "UnloadDriver");
}

}  // namespace sim
