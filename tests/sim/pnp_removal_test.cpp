// Removal, stop and their vetoes in the orders Windows uses: surprise
// removal of a device its bus stops reporting, removal deferred to the last
// handle, orderly removal, rebalance, failed start, removal of the bus.
#include "pnp_test_driver.h"

using namespace pnp_test;

namespace {

class PnpRemovalTest : public PnpFixture<MachineTest> {
protected:
    std::string PlugStarted(ULONG* id)
    {
        sim::InstallDriverPackage(FnPackage());
        *id = PlugProduct();
        std::string instance = sim::WaitDeviceStarted(InstanceOf(*id));
        Rec().Take();
        return instance;
    }
    static sim::DeviceNodeState State(const std::string& instance)
    {
        sim::DeviceNodeInfo n;
        EXPECT_TRUE(sim::FindDeviceNode(instance, &n)) << instance;
        return n.state;
    }
};

using Events = std::vector<std::string>;

TEST_F(PnpRemovalTest, YankIsSurpriseRemovalThenRemovalAndTheDriverUnloads)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_FALSE(instance.empty());
    ASSERT_EQ(vbus_test::DeviceRequest(VBUS_IOCTL_YANK, id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(instance));
    ASSERT_TRUE(sim::WaitPnpIdle());
    EXPECT_EQ(Rec().Take(), (Events{"SURPRISE_REMOVAL", "REMOVE", "Unload"}));
    EXPECT_EQ(vbus_test::Pdo(id), nullptr) << "the bus deleted its PDO in the last removal";
}

TEST_F(PnpRemovalTest, UnplugWithoutQueryRemoveIsASurpriseRemovalToo)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_EQ(vbus_test::DeviceRequest(VBUS_IOCTL_UNPLUG, id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(instance));
    ASSERT_TRUE(sim::WaitPnpIdle());
    EXPECT_EQ(Rec().Take(), (Events{"SURPRISE_REMOVAL", "REMOVE", "Unload"}));
}

TEST_F(PnpRemovalTest, RemovalAfterSurpriseRemovalWaitsForTheLastHandle)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    NTSTATUS st;
    PFILE_OBJECT file = sim::OpenDevice(sim::W(sim::Utf16(Rec().lastFdoName)), &st);
    ASSERT_NE(file, nullptr) << st;
    ASSERT_EQ(vbus_test::DeviceRequest(VBUS_IOCTL_YANK, id), STATUS_SUCCESS);
    ASSERT_TRUE(sim_test::WaitFor([&] { return State(instance) == sim::DeviceNodeState::SurpriseRemoved; }));
    ASSERT_TRUE(sim::WaitPnpIdle());
    EXPECT_EQ(Rec().Take(), (Events{"SURPRISE_REMOVAL"}));
    EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(instance));
    ASSERT_TRUE(sim::WaitPnpIdle());
    EXPECT_EQ(Rec().Take(), (Events{"REMOVE", "Unload"}));
}

TEST_F(PnpRemovalTest, OrderlyRemovalIsQueryThenRemoveAndTheUnplugOnlyRemovesThePdo)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_EQ(sim::PnpRemoveDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_REMOVE", "REMOVE", "Unload"}));
    EXPECT_EQ(State(instance), sim::DeviceNodeState::Removed);
    EXPECT_NE(vbus_test::Pdo(id), nullptr) << "the PDO stays while its bus reports it";
    ASSERT_EQ(vbus_test::DeviceRequest(VBUS_IOCTL_UNPLUG, id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(instance));
    EXPECT_TRUE(sim_test::WaitFor([&] { return vbus_test::Pdo(id) == nullptr; }));
    EXPECT_TRUE(Rec().Take().empty()) << "no surprise removal for a device removed in order";
}

TEST_F(PnpRemovalTest, VetoedQueryRemoveIsCancelled)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    Rec().Set(&pnp_test::Behaviour::vetoQueryRemove);
    EXPECT_EQ(sim::PnpRemoveDevice(instance), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_REMOVE", "CANCEL_REMOVE"}));
    EXPECT_EQ(State(instance), sim::DeviceNodeState::Started);
}

TEST_F(PnpRemovalTest, QueryRemoveThenCancelLeavesTheDeviceRunning)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    EXPECT_EQ(sim::PnpQueryRemoveCancel(instance), STATUS_SUCCESS);
    EXPECT_EQ(sim::PnpQueryStopCancel(instance), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_REMOVE", "CANCEL_REMOVE", "QUERY_STOP", "CANCEL_STOP"}));
    EXPECT_EQ(State(instance), sim::DeviceNodeState::Started);
}

TEST_F(PnpRemovalTest, RebalanceStopsAndRestarts)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    EXPECT_EQ(sim::PnpStopDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_STOP", "STOP", "START"}));
    EXPECT_EQ(State(instance), sim::DeviceNodeState::Started);
}

TEST_F(PnpRemovalTest, VetoedQueryStopIsCancelled)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    Rec().Set(&pnp_test::Behaviour::vetoQueryStop);
    EXPECT_EQ(sim::PnpStopDevice(instance), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_STOP", "CANCEL_STOP"}));
    EXPECT_EQ(State(instance), sim::DeviceNodeState::Started);
}

TEST_F(PnpRemovalTest, FailedStartIsFollowedByRemoval)
{
    Rec().Set(&pnp_test::Behaviour::failStart);
    sim::InstallDriverPackage(FnPackage());
    ULONG id = PlugProduct();
    ASSERT_TRUE(sim_test::WaitFor([&] {
        sim::DeviceNodeInfo n;
        return sim::FindDeviceNode(InstanceOf(id), &n) && n.state == sim::DeviceNodeState::Failed;
    }));
    ASSERT_TRUE(sim::WaitPnpIdle());
    EXPECT_EQ(Rec().Take(), (Events{"DriverEntry", "AddDevice", "START", "REMOVE", "Unload"}));
    EXPECT_NE(vbus_test::Pdo(id), nullptr) << "the PDO stays with its bus";
}

TEST_F(PnpRemovalTest, RemovingTheBusRemovesItsChildrenFirst)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_EQ(sim::PnpRemoveDevice(sim_test::VbusRootInstance()), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Take(), (Events{"QUERY_REMOVE", "REMOVE", "Unload"}));
    EXPECT_FALSE(sim::FindDeviceNode(instance, nullptr));
    EXPECT_EQ(vbus_test::Pdo(id), nullptr);
    EXPECT_EQ(State(sim_test::VbusRootInstance()), sim::DeviceNodeState::Removed);
    sim::DeviceNodeInfo bus;
    ASSERT_TRUE(sim::FindDeviceNode(sim_test::VbusRootInstance(), &bus));
    EXPECT_EQ(bus.top, bus.pdo) << "the bus FDO left its stack";
}

TEST_F(PnpRemovalTest, MachineStopRemovesRunningDevicesAndUnloadsTheirDrivers)
{
    ULONG id;
    ASSERT_FALSE(PlugStarted(&id).empty());
    EXPECT_EQ(sim::StopMachine(), 0u) << sim_test::ViolationText();
    EXPECT_EQ(Rec().Take(), (Events{"REMOVE", "Unload"}));
}

}  // namespace
