// A small WDM function driver that owns its stack's power policy, attached
// above a vbus PDO: it passes each system request down, asks for the device
// state its capabilities map the system state to, and completes the system
// request once that device request is done. It records the power IRPs its
// dispatch routine sees ("QUERY S3", "SET D3"...) and can be told to
// complete system requests early, as broken owners do.
#pragma once

#include "pnp_test_driver.h"

namespace power_test {

struct Owner {
    std::mutex m;
    std::vector<std::string> seen;
    bool completeSystemEarly = false;  // the system request goes on as soon as its device request is asked for
    bool holdDeviceIrps = false;       // device requests wait until ReleaseHeld sends them down
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> held;
    DEVICE_CAPABILITIES caps{};
};
inline Owner& Own()
{
    static Owner o;
    return o;
}

// The device below is the PDO (pnp_test's AddDevice attaches right above it).
inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT fdo)
{
    return static_cast<pnp_test::FnExtension*>(fdo->DeviceExtension)->lower;
}

inline NTSTATUS DeviceIrpDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status) && s->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(fdo, DevicePowerState, s->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

inline NTSTATUS SendDown(PDEVICE_OBJECT fdo, PIRP irp, PIO_COMPLETION_ROUTINE done)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, done, nullptr, TRUE, TRUE, TRUE);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        return PoCallDriver(Lower(fdo), irp);
    return IoCallDriver(Lower(fdo), irp);
}

inline VOID DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID system, PIO_STATUS_BLOCK status)
{
    if (Own().completeSystemEarly)
        return;
    auto irp = static_cast<PIRP>(system);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status->Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

inline NTSTATUS SystemIrpDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        POWER_STATE d;
        d.DeviceState = Own().caps.DeviceState[s->Parameters.Power.State.SystemState];
        NTSTATUS st = PoRequestPowerIrp(Lower(fdo), s->MinorFunction, d, DeviceRequestDone, irp, nullptr);
        if (NT_SUCCESS(st) && !Own().completeSystemEarly)
            return STATUS_MORE_PROCESSING_REQUIRED;  // DeviceRequestDone completes it
        if (!NT_SUCCESS(st))
            irp->IoStatus.Status = st;
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

inline NTSTATUS OwnerPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MinorFunction != IRP_MN_SET_POWER && s->MinorFunction != IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(fdo), irp);
    }
    bool system = s->Parameters.Power.Type == SystemPowerState;
    int state = system ? (int)s->Parameters.Power.State.SystemState : (int)s->Parameters.Power.State.DeviceState;
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> g(Own().m);
        Own().seen.push_back(std::string(s->MinorFunction == IRP_MN_SET_POWER ? "SET " : "QUERY ") +
                             (system ? "S" : "D") + std::to_string(state - 1));
        if (!system && Own().holdDeviceIrps) {
            Own().held.push_back({fdo, irp});
            return STATUS_PENDING;
        }
    }
    SendDown(fdo, irp, system ? SystemIrpDone : DeviceIrpDone);
    return STATUS_PENDING;
}

// Sends the held device requests down.
inline void ReleaseHeld()
{
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> held;
    {
        std::lock_guard<std::mutex> g(Own().m);
        held.swap(Own().held);
    }
    for (auto& [fdo, irp] : held)
        SendDown(fdo, irp, DeviceIrpDone);
}

inline NTSTATUS CapabilitiesDone(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (NT_SUCCESS(irp->IoStatus.Status))
        Own().caps = *IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    return STATUS_SUCCESS;
}

inline NTSTATUS OwnerDispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MajorFunction == IRP_MJ_POWER)
        return OwnerPower(fdo, irp);
    if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_CAPABILITIES)
        return SendDown(fdo, irp, CapabilitiesDone);
    return pnp_test::FnDispatch(fdo, irp);
}

inline NTSTATUS OwnerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = OwnerDispatch;
    driver->DriverExtension->AddDevice = pnp_test::FnAddDevice;
    driver->DriverUnload = pnp_test::FnUnload;
    return STATUS_SUCCESS;
}

// Installs the driver ("PowerOwner") for the product's hardware ids.
inline void InstallOwner(bool completeSystemEarly = false, bool holdDeviceIrps = false)
{
    Own().seen.clear();
    Own().completeSystemEarly = completeSystemEarly;
    Own().holdDeviceIrps = holdDeviceIrps;
    sim::DriverPackage p = pnp_test::FnPackage();
    p.service = "PowerOwner";
    p.entry = OwnerEntry;
    sim::InstallDriverPackage(p);
}

inline std::vector<std::string> Seen()
{
    std::vector<std::string> seen;
    std::lock_guard<std::mutex> g(Own().m);
    seen.swap(Own().seen);
    return seen;
}

}  // namespace power_test
