// DriverEntry, AddDevice and DriverUnload. All three run at PASSIVE_LEVEL,
// serialised by the system.
#include "DriverEntry.h"

#include "control/ControlDevice.h"
#include "core/Driver.h"
#include "core/Pool.h"
#include "core/PoolTags.h"
#include "port/SerialDevice.h"
#include "support/UnicodeString.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    DriverTrace(kTraceEntry, "DriverEntry");
    g_DriverObject = DriverObject;
    InstallRouters(DriverObject);

    // A failed copy leaves an empty path; loading goes on and later readers of
    // the Parameters key simply find nothing.
    CUnicodeString path(*RegistryPath);
    path.Detach(&g_RegistryPath);
    g_RegistryPathOwned = TRUE;

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;

    // Without memory for it the driver loads without a control device, and
    // every user of it finds none.
    PVOID block = PoolAlloc(NonPagedPool, sizeof(CControlDevice), kTagDevice);
    if (block != NULL) {
        g_ControlDevice = new (block) CControlDevice();
        g_ControlDevice->CreateDevice(DriverObject);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    DriverTrace(kTraceEntry, "AddDevice");
    PVOID block = PoolAlloc(NonPagedPool, sizeof(CSerialDevice), kTagDevice);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CSerialDevice* device = new (block) CSerialDevice();
    // The control device object went with the last port: it comes back now.
    if (g_ControlDevice != NULL) {
        g_ControlDevice->CreateDevice(DriverObject);
    }
    // From here on the object is reached only through its device extension.
    NTSTATUS status = device->AddDevice(DriverObject, PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) {
        // No device object holds it: nothing else would ever free it.
        delete device;
    }
    return status;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    DriverTrace(kTraceEntry, "DriverUnload");
    UNREFERENCED_PARAMETER(DriverObject);
    if (g_ControlDevice != NULL) {
        g_ControlDevice->DeleteDevice();
        delete g_ControlDevice;
        g_ControlDevice = NULL;
    }
    if (g_RegistryPathOwned) {
        g_RegistryPathOwned = FALSE;
        CUnicodeString::FreeBuffer(&g_RegistryPath);
    }
}
