// A small WDM function driver that owns its stack's power policy, attached
// above a vbus PDO: it passes each system request down, asks for the device
// state its capabilities map the system state to, and completes the system
// request when that device request is done. It records the power IRPs its
// dispatch routine sees ("QUERY S3", "SET D3"...), and can be told to break
// the power rules the way faulty drivers do.
#pragma once

#include "pnp_test_driver.h"

namespace power_test {

struct Faults {
    bool vetoSleep = false;            // fails system queries for a sleeping state
    bool notSupported = false;         // completes every power IRP with STATUS_NOT_SUPPORTED
    bool noStartNext = false;          // never calls PoStartNextPowerIrp
    bool completeSystemEarly = false;  // lets the system request complete as soon as it asked for the device one
    bool holdDeviceIrps = false;       // keeps device requests until the test calls ReleaseHeld
    bool holdSystemQuery = false;      // keeps system queries until the test calls ReleaseHeld
};

struct Owner {
    std::mutex m;
    std::vector<std::string> seen;
    Faults faults;
    DEVICE_CAPABILITIES caps{};
    PIRP heldQuery = nullptr;
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> heldDevice;

    Faults Get()
    {
        std::lock_guard<std::mutex> g(m);
        return faults;
    }
};

inline Owner& Own()
{
    static Owner o;
    return o;
}

struct Extension {
    PDEVICE_OBJECT lower;  // first, as pnp_test::FnExtension: its PnP handling serves this driver too
    PDEVICE_OBJECT pdo;
};

inline std::string Text(PIO_STACK_LOCATION s)
{
    std::string text = s->MinorFunction == IRP_MN_SET_POWER ? "SET " : "QUERY ";
    if (s->Parameters.Power.Type == SystemPowerState)
        return text + "S" + std::to_string(s->Parameters.Power.State.SystemState - 1);
    return text + "D" + std::to_string(s->Parameters.Power.State.DeviceState - 1);
}

inline void StartNext(PIRP irp)
{
    if (!Own().Get().noStartNext)
        PoStartNextPowerIrp(irp);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    StartNext(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------- device requests

inline NTSTATUS DeviceIrpDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status) && s->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(fdo, DevicePowerState, s->Parameters.Power.State);
    StartNext(irp);
    return STATUS_SUCCESS;
}

inline NTSTATUS SendDeviceIrpDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DeviceIrpDone, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(static_cast<Extension*>(fdo->DeviceExtension)->lower, irp);
}

// ---------------------------------------------------------------- system requests

inline VOID DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    if (Own().Get().completeSystemEarly)
        return;  // completed already
    auto system = static_cast<PIRP>(context);
    system->IoStatus.Status = status->Status;
    Complete(system, status->Status);
}

inline NTSTATUS SystemIrpDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID)
{
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        StartNext(irp);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE device;
    {
        std::lock_guard<std::mutex> g(Own().m);
        device.DeviceState = Own().caps.DeviceState[s->Parameters.Power.State.SystemState];
    }
    PDEVICE_OBJECT pdo = static_cast<Extension*>(fdo->DeviceExtension)->pdo;
    NTSTATUS st = PoRequestPowerIrp(pdo, s->MinorFunction, device, DeviceRequestDone, irp, nullptr);
    if (!NT_SUCCESS(st)) {
        irp->IoStatus.Status = st;
        StartNext(irp);
        return STATUS_SUCCESS;
    }
    if (Own().Get().completeSystemEarly) {
        StartNext(irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;  // DeviceRequestDone completes it
}

inline NTSTATUS OwnerPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    auto ext = static_cast<Extension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    Faults f = Own().Get();
    if (f.notSupported)
        return Complete(irp, STATUS_NOT_SUPPORTED);
    if (s->MinorFunction != IRP_MN_SET_POWER && s->MinorFunction != IRP_MN_QUERY_POWER) {
        StartNext(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    {
        std::lock_guard<std::mutex> g(Own().m);
        Own().seen.push_back(Text(s));
    }
    bool query = s->MinorFunction == IRP_MN_QUERY_POWER;
    if (s->Parameters.Power.Type == DevicePowerState) {
        if (!f.holdDeviceIrps)
            return SendDeviceIrpDown(fdo, irp);
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(Own().m);
        Own().heldDevice.push_back({fdo, irp});
        return STATUS_PENDING;
    }
    if (query && f.vetoSleep)
        return Complete(irp, STATUS_UNSUCCESSFUL);
    IoMarkIrpPending(irp);
    if (query && f.holdSystemQuery) {
        std::lock_guard<std::mutex> g(Own().m);
        Own().heldQuery = irp;
        return STATUS_PENDING;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemIrpDone, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(ext->lower, irp);
    return STATUS_PENDING;
}

// The test's end of the hold faults: the held system query fails (a late
// veto), the held device requests go down.
inline void ReleaseHeld()
{
    PIRP query;
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> device;
    {
        std::lock_guard<std::mutex> g(Own().m);
        query = Own().heldQuery;
        Own().heldQuery = nullptr;
        device.swap(Own().heldDevice);
    }
    if (query)
        Complete(query, STATUS_UNSUCCESSFUL);
    for (auto& [fdo, irp] : device)
        SendDeviceIrpDown(fdo, irp);
}

// ---------------------------------------------------------------- PnP and the driver

inline NTSTATUS CapabilitiesDone(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        std::lock_guard<std::mutex> g(Own().m);
        Own().caps = *IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    }
    return STATUS_SUCCESS;
}

inline NTSTATUS OwnerDispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MajorFunction == IRP_MJ_POWER)
        return OwnerPower(fdo, irp);
    if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CapabilitiesDone, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(static_cast<Extension*>(fdo->DeviceExtension)->lower, irp);
    }
    return pnp_test::FnDispatch(fdo, irp);
}

inline NTSTATUS OwnerAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto ext = static_cast<Extension*>(fdo->DeviceExtension);
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS OwnerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = OwnerDispatch;
    driver->DriverExtension->AddDevice = OwnerAddDevice;
    driver->DriverUnload = pnp_test::FnUnload;
    return STATUS_SUCCESS;
}

// Installs the driver for the product's hardware id, with a fresh record.
inline void InstallOwner(const Faults& faults = Faults())
{
    {
        std::lock_guard<std::mutex> g(Own().m);
        Own().seen.clear();
        Own().faults = faults;
        Own().heldQuery = nullptr;
        Own().heldDevice.clear();
    }
    sim::DriverPackage p = pnp_test::FnPackage();
    p.service = "PowerOwner";
    p.entry = OwnerEntry;
    sim::InstallDriverPackage(p);
}

inline std::vector<std::string> Seen()
{
    std::lock_guard<std::mutex> g(Own().m);
    auto s = Own().seen;
    Own().seen.clear();
    return s;
}

}  // namespace power_test
