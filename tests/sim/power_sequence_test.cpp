// The system power transitions, as the power manager sends them to the
// virtual bus and its child, and as the child's power policy owner sees them.
#include "power_test_driver.h"

using namespace power_test;

namespace {

class PowerSequenceTest : public pnp_test::PnpFixture<MachineTest> {
protected:
    // Plugs the product, its capabilities mapping S1-S3 to D1-D3 and S4-S5
    // to D3, under the power policy owner; returns its instance path.
    std::string PlugOwned()
    {
        InstallOwner();
        VBUS_CAPABILITIES caps = {};
        const uint32_t map[7] = {
            0, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
        memcpy(caps.DeviceState, map, sizeof map);
        id_ = PlugProduct(0x0101, &caps);
        child_ = sim::WaitDeviceStarted(InstanceOf(id_));
        return child_;
    }
    // "child QUERY S3 0x0", one line per system IRP of `t`.
    std::vector<std::string> Sent(const sim::PowerTransition& t)
    {
        std::vector<std::string> lines;
        for (const sim::SystemPowerIrp& i : t.irps) {
            char status[16];
            snprintf(status, sizeof status, "%#x", (unsigned)i.status);
            lines.push_back(std::string(i.instancePath == child_ ? "child" : i.instancePath) +
                            (i.minor == IRP_MN_SET_POWER ? " SET S" : " QUERY S") + std::to_string(i.state - 1) + " " +
                            status);
        }
        return lines;
    }
    ULONG id_ = 0;
    std::string child_;
};
using Lines = std::vector<std::string>;
const std::string kBus = "ROOT\\BLNKVBUS\\0000";

class PowerSleepTest : public PowerSequenceTest, public ::testing::WithParamInterface<int> {};

TEST_P(PowerSleepTest, SleepQueriesAndSetsChildrenFirstAndWakeSetsParentsFirst)
{
    auto state = (SYSTEM_POWER_STATE)(GetParam() + 1);
    std::string s = "S" + std::to_string(GetParam()), d = GetParam() < 4 ? "D" + std::to_string(GetParam()) : "D3";
    ASSERT_FALSE(PlugOwned().empty());

    sim::PowerTransition sleep = sim::SleepMachine(state);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::MachinePowerState(), state);
    EXPECT_EQ(Sent(sleep), (Lines{"child QUERY " + s + " 0", kBus + " QUERY " + s + " 0", "child SET " + s + " 0",
                                  kBus + " SET " + s + " 0"}));
    EXPECT_EQ(Seen(), (Lines{"QUERY " + s, "QUERY " + d, "SET " + s, "SET " + d}));
    auto asleep = (DEVICE_POWER_STATE)(d[1] - '0' + 1);
    EXPECT_EQ(sim::PoweredState(child_, true), asleep);
    EXPECT_EQ(sim::PoweredState(child_), asleep) << "the owner's own device object";

    sim::PowerTransition wake = sim::WakeMachine();
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    EXPECT_EQ(Sent(wake), (Lines{kBus + " SET S0 0", "child SET S0 0"}));
    EXPECT_EQ(Seen(), (Lines{"SET S0", "SET D0"}));
    EXPECT_EQ(sim::PoweredState(child_, true), PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(SleepAndHibernate, PowerSleepTest, ::testing::Range(1, 5),
                         [](const ::testing::TestParamInfo<int>& i) { return "S" + std::to_string(i.param); });

// The bus's power fault fails the child's query once: the owner passes the
// failure up and the sleep is off; the next one goes through.
TEST_F(PowerSequenceTest, AQueryFailedAtTheBusVetoesTheSleepOfTheNodesQueried)
{
    ASSERT_FALSE(PlugOwned().empty());
    VBUS_FAULT_REQUEST f = {};
    f.Size = sizeof(f);
    f.DeviceId = id_;
    f.Kind = VBUS_FAULT_FAIL_POWER;
    f.Function = IRP_MN_SET_POWER + 8;  // not a power request
    EXPECT_EQ(vbus_test::Ioctl(VBUS_IOCTL_SET_FAULT, vbus_test::Bytes(f)).status, STATUS_INVALID_PARAMETER);
    f.Function = IRP_MN_QUERY_POWER;
    f.Endpoint = VBUS_POWER_TARGET(VBUS_POWER_SYSTEM, PowerSystemSleeping3);
    f.Count = 1;
    ASSERT_EQ(vbus_test::Ioctl(VBUS_IOCTL_SET_FAULT, vbus_test::Bytes(f)).status, STATUS_SUCCESS);

    sim::PowerTransition t = sim::SleepMachine(PowerSystemSleeping3);
    EXPECT_EQ(t.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(t.vetoedBy, child_);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    EXPECT_EQ(Sent(t), (Lines{"child QUERY S3 0xc0000001", "child SET S0 0"}));
    EXPECT_EQ(Seen(), (Lines{"QUERY S3", "SET S0", "SET D0"}));
    EXPECT_EQ(sim::PoweredState(child_, true), PowerDeviceD0);
    EXPECT_EQ(sim::WakeMachine().status, STATUS_INVALID_DEVICE_STATE) << "it never slept";
    EXPECT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_SUCCESS);
}

TEST_F(PowerSequenceTest, ShutdownSetsS5WithoutAQueryAndTheMachineDoesNotWake)
{
    ASSERT_FALSE(PlugOwned().empty());
    sim::PowerTransition t = sim::SleepMachine(PowerSystemShutdown);
    EXPECT_EQ(t.status, STATUS_SUCCESS);
    EXPECT_EQ(Sent(t), (Lines{"child SET S5 0", kBus + " SET S5 0"}));
    EXPECT_EQ(Seen(), (Lines{"SET S5", "SET D3"}));
    EXPECT_EQ(sim::WakeMachine().status, STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
