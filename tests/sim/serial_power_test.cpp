// The port through a sleep and a wake of the machine: its function device is
// its stack's power policy owner.
#include "port_machine.h"

using sim_test::PortMachineTest;

TEST_F(PortMachineTest, SleepPowersThePortDownAndWakeBringsItBack)
{
    GTEST_SKIP() << "pending the driver's power handling: today it completes every power IRP with "
                    "STATUS_NOT_SUPPORTED, without PoStartNextPowerIrp, instead of passing it down "
                    "(PO_START_NEXT_POWER_IRP_MISSING, POWER_IRP_NOT_PASSED_DOWN)";
    ASSERT_NE(Plug(), 0u);
    std::vector<sim::DeviceNodeInfo> ports = PortNodes();
    ASSERT_EQ(ports.size(), 1u);
    CSerialDevice* port = PortDevice(ports[0]);

    sim::PowerTransition sleep = sim::SleepMachine(PowerSystemSleeping3);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::PoweredState(ports[0].instancePath), PowerDeviceD3) << "the port's own state";
    EXPECT_EQ(sim::PoweredState(ports[0].instancePath, true), PowerDeviceD3);
    EXPECT_FALSE(port->m_ReadContexts[0].m_InFlight || port->m_ReadContexts[1].m_InFlight);

    sim::PowerTransition wake = sim::WakeMachine();
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::PoweredState(ports[0].instancePath), PowerDeviceD0);
    EXPECT_EQ(sim::PoweredState(ports[0].instancePath, true), PowerDeviceD0);
    EXPECT_TRUE(sim_test::WaitFor(
        [&] { return port->m_ReadContexts[0].m_InFlight && port->m_ReadContexts[1].m_InFlight; }))
        << "the readers restart in D0";
}
