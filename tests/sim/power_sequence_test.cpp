// The system power transitions, as a power policy owner on the virtual bus
// sees them and as the power manager sends them to the bus and its child.
#include "power_test_driver.h"

using namespace power_test;

namespace {

const char* kBus = "ROOT\\BLNKVBUS\\0000";

struct Sent {
    std::string node;
    UCHAR minor;
    SYSTEM_POWER_STATE state;
    NTSTATUS status;
    bool operator==(const Sent& o) const
    {
        return node == o.node && minor == o.minor && state == o.state && status == o.status;
    }
};
std::ostream& operator<<(std::ostream& os, const Sent& s)
{
    return os << s.node << (s.minor == IRP_MN_SET_POWER ? " SET S" : " QUERY S") << s.state - 1 << " status 0x"
              << std::hex << (ULONG)s.status << std::dec;
}
std::vector<Sent> SentOf(const sim::PowerTransition& t)
{
    std::vector<Sent> out;
    for (const sim::SystemPowerIrp& i : t.irps)
        out.push_back({i.instancePath, i.minor, i.state, i.status});
    return out;
}

const UCHAR Q = IRP_MN_QUERY_POWER, S = IRP_MN_SET_POWER;
const NTSTATUS OK = STATUS_SUCCESS;

class PowerSequenceTest : public pnp_test::PnpFixture<MachineTest> {
protected:
    // Plugs the product with a device state for each system state; returns its instance path.
    std::string PlugOwned(const Faults& faults = Faults())
    {
        InstallOwner(faults);
        VBUS_CAPABILITIES caps = {};
        const uint32_t table[7] = {0, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD3,
                                   PowerDeviceD3};
        memcpy(caps.DeviceState, table, sizeof table);
        ULONG id = PlugProduct(0x0101, &caps);
        EXPECT_NE(id, 0u);
        return sim::WaitDeviceStarted(InstanceOf(id));
    }
};

struct SleepCase {
    SYSTEM_POWER_STATE state;
    const char* deviceState;  // what the capabilities map it to
};

class PowerSleepTest : public PowerSequenceTest, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(PowerSleepTest, SleepQueriesAndSetsChildrenFirstAndWakeSetsParentsFirst)
{
    const SleepCase c = GetParam();
    std::string child = PlugOwned();
    ASSERT_FALSE(child.empty());
    std::string s = "S" + std::to_string(c.state - 1), d = c.deviceState;

    sim::PowerTransition sleep = sim::SleepMachine(c.state);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(sleep.state, c.state);
    EXPECT_EQ(sim::MachinePowerState(), c.state);
    EXPECT_EQ(SentOf(sleep), (std::vector<Sent>{{child, Q, c.state, OK},
                                                {kBus, Q, c.state, OK},
                                                {child, S, c.state, OK},
                                                {kBus, S, c.state, OK}}));
    EXPECT_EQ(Seen(), (std::vector<std::string>{"QUERY " + s, "QUERY " + d, "SET " + s, "SET " + d}));
    DEVICE_POWER_STATE asleep = (DEVICE_POWER_STATE)(d[1] - '0' + 1);
    EXPECT_EQ(sim::PoweredState(child, true), asleep);
    EXPECT_EQ(sim::PoweredState(child), asleep) << "the owner records its own state too";

    sim::PowerTransition wake = sim::WakeMachine();
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    EXPECT_EQ(SentOf(wake), (std::vector<Sent>{{kBus, S, PowerSystemWorking, OK}, {child, S, PowerSystemWorking, OK}}));
    EXPECT_EQ(Seen(), (std::vector<std::string>{"SET S0", "SET D0"}));
    EXPECT_EQ(sim::PoweredState(child, true), PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(EveryState, PowerSleepTest,
                         ::testing::Values(SleepCase{PowerSystemSleeping1, "D1"}, SleepCase{PowerSystemSleeping2, "D2"},
                                           SleepCase{PowerSystemSleeping3, "D3"},
                                           SleepCase{PowerSystemHibernate, "D3"}),
                         [](const ::testing::TestParamInfo<SleepCase>& i) {
                             return "S" + std::to_string(i.param.state - 1);
                         });

TEST_F(PowerSequenceTest, AVetoedQueryCancelsTheSleepForTheNodesAlreadyQueried)
{
    Faults veto;
    veto.vetoSleep = true;
    std::string child = PlugOwned(veto);
    ASSERT_FALSE(child.empty());

    sim::PowerTransition t = sim::SleepMachine(PowerSystemSleeping3);
    EXPECT_EQ(t.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(t.vetoedBy, child);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    EXPECT_EQ(SentOf(t), (std::vector<Sent>{{child, Q, PowerSystemSleeping3, STATUS_UNSUCCESSFUL},
                                            {child, S, PowerSystemWorking, OK}}));
    EXPECT_EQ(Seen(), (std::vector<std::string>{"QUERY S3", "SET S0", "SET D0"}));
    EXPECT_EQ(sim::PoweredState(child, true), PowerDeviceD0);
    EXPECT_EQ(sim::WakeMachine().status, STATUS_INVALID_DEVICE_STATE) << "it never slept";
}

TEST_F(PowerSequenceTest, ShutdownSetsS5WithoutAQueryAndTheMachineDoesNotWake)
{
    std::string child = PlugOwned();
    ASSERT_FALSE(child.empty());
    sim::PowerTransition t = sim::SleepMachine(PowerSystemShutdown);
    EXPECT_EQ(t.status, STATUS_SUCCESS);
    EXPECT_EQ(SentOf(t),
              (std::vector<Sent>{{child, S, PowerSystemShutdown, OK}, {kBus, S, PowerSystemShutdown, OK}}));
    EXPECT_EQ(Seen(), (std::vector<std::string>{"SET S5", "SET D3"}));
    EXPECT_EQ(sim::WakeMachine().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
