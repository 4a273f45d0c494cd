// The routing part of the demo: load the driver, send every IRP major code to
// a device it owns and show where each one lands, show that a device whose
// object is gone refuses IRPs, and unload.
#include "DriverEntry.h"
#include "core/Driver.h"
#include "probe_device.h"

#include <sim/sim.h>

#include <cstdio>

#include "demo.h"

bool RunRoutingDemo()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver(L"Brisklink", DriverEntry, &status);
    std::printf("== DriverEntry returned 0x%08X; registry path copy: %s\n", (unsigned)status,
                sim::Utf8(g_RegistryPath).c_str());
    if (driver == nullptr) {
        return false;
    }

    CProbeDevice* probe = CProbeDevice::Create(driver, L"\\Device\\BrisklinkDemo");
    if (probe == nullptr) {
        std::printf("could not create the demo device\n");
        return false;
    }
    std::printf("== Routing: every major code sent to \\Device\\BrisklinkDemo\n");
    int misrouted = 0;
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        probe->m_LastMethod.clear();
        sim::IrpResult r = sim::SendIrp(probe->m_DeviceObject, major);
        std::printf("  0x%02X %-32s -> %-24s status 0x%08X\n", major, sim::MajorFunctionName(major),
                    probe->m_LastMethod.c_str(), (unsigned)r.ioStatus.Status);
        if (!r.completed || probe->m_LastMethod.empty()) {
            misrouted++;
        }
    }

    std::printf("== A device whose object is gone (extension link cut, as removal does)\n");
    PDEVICE_OBJECT deviceObject = probe->m_DeviceObject;
    *(CDevice**)deviceObject->DeviceExtension = nullptr;
    sim::IrpResult refused = sim::SendIrp(deviceObject, IRP_MJ_READ);
    std::printf("  IRP_MJ_READ -> status 0x%08X (%s)\n", (unsigned)refused.ioStatus.Status,
                refused.ioStatus.Status == STATUS_ACCESS_DENIED ? "STATUS_ACCESS_DENIED" : "unexpected");
    *(CDevice**)deviceObject->DeviceExtension = probe;
    probe->Destroy();

    sim::UnloadDriver(driver);
    std::printf("== Driver unloaded\n");
    return misrouted == 0 && refused.ioStatus.Status == STATUS_ACCESS_DENIED;
}
