// Brings the virtual bus up on the simulated machine the way Windows does:
// its driver package (service BlnkVbus, class System, hardware id
// "ROOT\BLNKVBUS") and the root device the PnP manager enumerates, starts,
// and hands to the bus's AddDevice. Host builds only.
#pragma once

#include <sim/sim.h>
#include <vbus_ioctl.h>

extern "C" NTSTATUS VbusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace sim_test {

inline const char* VbusRootInstance()
{
    return "ROOT\\BLNKVBUS\\0000";
}

// Installs the bus package and creates its root device; true once the bus is
// started and its control device exists.
inline bool StartBusMachine()
{
    sim::DriverPackage bus;
    bus.service = "BlnkVbus";
    bus.entry = VbusDriverEntry;
    bus.hardwareIds = {"ROOT\\BLNKVBUS"};
    bus.className = "System";
    bus.description = "Virtual USB bus";
    sim::InstallDriverPackage(bus);
    if (sim::CreateRootDevice("ROOT\\BLNKVBUS") != STATUS_SUCCESS)
        return false;
    return sim::FindDevice(VBUS_DEVICE_NAME) != nullptr;
}

}  // namespace sim_test
