// Enumeration of vbus devices by the PnP manager: ids before AddDevice,
// start, device nodes, Enum and class keys, driver keys per instance,
// devices without a package, capabilities as the bus gave them.
#include "pnp_test_driver.h"

using namespace pnp_test;

namespace {

class PnpEnumerationTest : public PnpFixture<MachineTest> {};

TEST_F(PnpEnumerationTest, PluggedDeviceIsQueriedThenAddedThenStarted)
{
    sim::InstallDriverPackage(FnPackage());
    ULONG id = PlugProduct();
    ASSERT_NE(id, 0u);
    std::string instance = sim::WaitDeviceStarted(InstanceOf(id));
    ASSERT_EQ(instance, InstanceOf(id));
    EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"DriverEntry", "AddDevice", "START"}));
    // The ids were queried and the node built before AddDevice.
    EXPECT_EQ(Rec().hardwareIdAtAdd, "USB\\VID_5A1E&PID_0101&REV_0100");
    sim::DeviceNodeInfo node;
    ASSERT_TRUE(sim::FindDeviceNode(instance, &node));
    EXPECT_EQ(node.parent, sim_test::VbusRootInstance());
    EXPECT_EQ(node.service, "PnpTestFn");
    EXPECT_EQ(node.pdo, vbus_test::Pdo(id));
    EXPECT_EQ(node.top, Rec().lastFdo);
}

TEST_F(PnpEnumerationTest, EnumServiceAndClassKeysAreWritten)
{
    sim::InstallDriverPackage(FnPackage());
    ULONG id = PlugProduct();
    std::string instance = sim::WaitDeviceStarted(InstanceOf(id));
    ASSERT_FALSE(instance.empty());
    std::string key = kEnum + instance;
    std::vector<std::string> ids;
    ASSERT_TRUE(sim::RegGetMultiString(key, "HardwareID", &ids));
    EXPECT_EQ(ids, (std::vector<std::string>{"USB\\VID_5A1E&PID_0101&REV_0100", "USB\\VID_5A1E&PID_0101"}));
    ASSERT_TRUE(sim::RegGetMultiString(key, "CompatibleIDs", &ids));
    EXPECT_EQ(ids.front(), "USB\\Class_FF&SubClass_00&Prot_00");
    std::string text;
    EXPECT_TRUE(sim::RegGetString(key, "Class", &text) && text == "Ports");
    EXPECT_TRUE(sim::RegGetString(key, "ClassGUID", &text) && text == kPortsGuid);
    EXPECT_TRUE(sim::RegGetString(key, "Service", &text) && text == "PnpTestFn");
    ASSERT_TRUE(sim::RegGetString(key, "Driver", &text));
    EXPECT_EQ(text, std::string(kPortsGuid) + "\\0000");
    EXPECT_TRUE(sim::RegKeyExists(key + "\\Device Parameters"));
    EXPECT_TRUE(sim::RegKeyExists(kClass + text));
    ULONG v = 0;
    std::string services = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PnpTestFn";
    EXPECT_TRUE(sim::RegGetDword(services, "Type", &v) && v == 1);
    EXPECT_TRUE(sim::RegGetDword(services, "Start", &v) && v == 3);
    EXPECT_TRUE(sim::RegGetString(services, "ImagePath", &text));
}

TEST_F(PnpEnumerationTest, SecondDeviceGetsItsOwnInstanceAndTheNextDriverKey)
{
    sim::InstallDriverPackage(FnPackage());
    ULONG first = PlugProduct(0x0101), second = PlugProduct(0x0102);
    ASSERT_FALSE(sim::WaitDeviceStarted(InstanceOf(first)).empty());
    ASSERT_FALSE(sim::WaitDeviceStarted(InstanceOf(second, 0x0102)).empty());
    sim::DeviceNodeInfo a, b;
    ASSERT_TRUE(sim::FindDeviceNode(InstanceOf(first), &a));
    ASSERT_TRUE(sim::FindDeviceNode(InstanceOf(second, 0x0102), &b));
    EXPECT_EQ(a.driverKey, std::string(kPortsGuid) + "\\0000");
    EXPECT_EQ(b.driverKey, std::string(kPortsGuid) + "\\0001");
    auto events = Rec().Take();
    EXPECT_EQ(std::count(events.begin(), events.end(), "DriverEntry"), 1) << "one driver image serves both";
    EXPECT_EQ(std::count(events.begin(), events.end(), "AddDevice"), 2);
}

TEST_F(PnpEnumerationTest, DeviceWithoutPackageStaysWithoutFunctionDriverUntilOneIsInstalled)
{
    ULONG id = PlugProduct();
    ASSERT_TRUE(sim::WaitPnpIdle());
    sim::DeviceNodeInfo node;
    ASSERT_TRUE(sim::FindDeviceNode(InstanceOf(id), &node));
    EXPECT_EQ(node.state, sim::DeviceNodeState::NoDriver);
    EXPECT_EQ(node.top, node.pdo);
    EXPECT_TRUE(node.service.empty());
    EXPECT_TRUE(sim::RegValueExists(kEnum + InstanceOf(id), "HardwareID"));
    EXPECT_FALSE(sim::RegValueExists(kEnum + InstanceOf(id), "Driver"));
    EXPECT_TRUE(Rec().Take().empty());

    sim::InstallDriverPackage(FnPackage());
    EXPECT_EQ(sim::WaitDeviceStarted(InstanceOf(id)), InstanceOf(id));
    EXPECT_EQ(Rec().Take(), (std::vector<std::string>{"DriverEntry", "AddDevice", "START"}));
}

TEST_F(PnpEnumerationTest, BusCapabilitiesArriveUnchangedAtTheTopOfTheStack)
{
    sim::InstallDriverPackage(FnPackage());
    VBUS_CAPABILITIES caps = {};
    caps.Flags = VBUS_CAP_REMOVABLE | VBUS_CAP_DEVICE_D2 | VBUS_CAP_WAKE_FROM_D2 | VBUS_CAP_UNIQUE_ID;
    uint32_t table[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
                         PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    memcpy(caps.DeviceState, table, sizeof table);
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    ULONG id = PlugProduct(0x0101, &caps);
    ASSERT_FALSE(sim::WaitDeviceStarted(InstanceOf(id)).empty());
    DEVICE_CAPABILITIES seen = {};
    auto r = sim::PnpSendIrp(InstanceOf(id), IRP_MN_QUERY_CAPABILITIES, nullptr, 0, &seen);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(seen.Version, 1);
    for (int s = 0; s < 7; ++s)
        EXPECT_EQ((uint32_t)seen.DeviceState[s], table[s]) << "system state " << s;
    EXPECT_EQ(seen.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(seen.DeviceWake, PowerDeviceD2);
    EXPECT_TRUE(seen.Removable);
    EXPECT_TRUE(seen.DeviceD2);
    EXPECT_FALSE(seen.DeviceD1);
    EXPECT_TRUE(seen.WakeFromD2);
    EXPECT_TRUE(seen.UniqueID);
    EXPECT_FALSE(seen.SurpriseRemovalOK);
    EXPECT_EQ(seen.Address, id);
}

TEST_F(PnpEnumerationTest, BusRootDeviceRunsWithItsFdoAboveTheRootPdo)
{
    sim::DeviceNodeInfo bus;
    ASSERT_TRUE(sim::FindDeviceNode(sim_test::VbusRootInstance(), &bus));
    EXPECT_EQ(bus.state, sim::DeviceNodeState::Started);
    EXPECT_EQ(bus.service, "BlnkVbus");
    EXPECT_NE(bus.top, bus.pdo);
    EXPECT_EQ(bus.top->AttachedDevice, nullptr);
    EXPECT_EQ(bus.driverKey, "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0000");
    std::string cls;
    EXPECT_TRUE(sim::RegGetString(std::string(kEnum) + "ROOT\\BLNKVBUS\\0000", "Class", &cls) && cls == "System");
    EXPECT_EQ(sim::CreateRootDevice("ROOT\\BLNKVBUS"), STATUS_OBJECT_NAME_COLLISION);
}

}  // namespace
