// The simulated machine under the portable system tests: each test process
// starts a fresh machine with the virtual bus and the port's driver package,
// and stops it at the end, failing the test on any verifier report.
#include "../system_test.h"

#include "port_machine.h"

#include <brisklink_setup.h>

namespace systest {

bool PlatformSetUp(std::string* why)
{
    sim::SetViolationMode(sim::ViolationMode::Fatal);
    sim::StartMachine();
    if (!sim_test::StartBusMachine()) {
        *why = "the virtual bus did not start";
        return false;
    }
    sim_test::InstallPortPackage();
    // setup.dll beside the program, for what loads it at run time (blnkctl).
    sim::RegisterModule("setup.dll", {{"SetupPortName", reinterpret_cast<void*>(&SetupPortName)}});
    return true;
}

void PlatformTearDown()
{
    size_t violations = sim::StopMachine();
    EXPECT_EQ(violations, 0u) << sim_test::ViolationText();
    EXPECT_TRUE(sim::OutstandingPool().empty()) << sim::PoolReport();
}

void PlatformCheckAtRest()
{
    for (const sim::DeviceNodeInfo& node : sim::DeviceNodes()) {
        if (node.service == "Brisklink" && node.state == sim::DeviceNodeState::Started) {
            auto* port = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(node.top));
            EXPECT_TRUE(sim_test::CounterAtRest(port)) << node.instancePath;
        }
    }
}

const char* PlatformSkipReason(const std::string&, const std::string&)
{
    return nullptr;
}

bool OnSimulatedMachine()
{
    return true;
}

bool PlatformAlsoEnds(DWORD)
{
    return false;
}

bool PlatformCancelRacesCompletion()
{
    return false;
}

bool PlatformOpensBeforeTheDriver()
{
    return false;
}

bool AnsweredBeforeTheDriver(DWORD, bool)
{
    return false;
}

}  // namespace systest
