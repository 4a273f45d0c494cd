// IoGetDeviceProperty and IoOpenDeviceRegistryKey on PDOs the PnP manager
// enumerated, and their refusal of other device objects.
#include "pnp_test_driver.h"

using namespace pnp_test;

namespace {

class PnpPropertyTest : public PnpFixture<MachineTest> {
protected:
    PDEVICE_OBJECT StartedPdo(ULONG* id)
    {
        sim::InstallDriverPackage(FnPackage());
        *id = PlugProduct();
        if (sim::WaitDeviceStarted(InstanceOf(*id)).empty())
            return nullptr;
        return vbus_test::Pdo(*id);
    }
    std::string Text(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY which, NTSTATUS* status = nullptr)
    {
        WCHAR buffer[256] = {};
        ULONG length = 0;
        NTSTATUS st = IoGetDeviceProperty(pdo, which, sizeof buffer, buffer, &length);
        if (status)
            *status = st;
        return st == STATUS_SUCCESS ? sim::Utf8(buffer) : std::string();
    }
};

TEST_F(PnpPropertyTest, DriverKeyNameLengthCountsTheTerminator)
{
    ULONG id;
    PDEVICE_OBJECT pdo = StartedPdo(&id);
    ASSERT_NE(pdo, nullptr);
    std::string expected = std::string(kPortsGuid) + "\\0000";
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, (expected.size() + 1) * sizeof(WCHAR));
    std::vector<WCHAR> exact(needed / sizeof(WCHAR), 0xFFFF);
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, needed, exact.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(exact.back(), 0);
    EXPECT_EQ(sim::Utf8(exact.data()), expected);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, needed - 2, exact.data(), &length),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PnpPropertyTest, PropertiesComeFromTheDeviceNode)
{
    ULONG id;
    PDEVICE_OBJECT pdo = StartedPdo(&id);
    ASSERT_NE(pdo, nullptr);
    WCHAR ids[128] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof ids, ids, &length), STATUS_SUCCESS);
    std::string first = sim::Utf8(ids);
    EXPECT_EQ(first, "USB\\VID_5A1E&PID_0101&REV_0100");
    EXPECT_EQ(sim::Utf8(ids + first.size() + 1), "USB\\VID_5A1E&PID_0101");
    EXPECT_EQ(length, (first.size() + 1 + 22 + 1) * sizeof(WCHAR)) << "both ids, each terminated, and the list's end";
    EXPECT_EQ(Text(pdo, DevicePropertyClassName), "Ports");
    EXPECT_EQ(Text(pdo, DevicePropertyClassGuid), kPortsGuid);
    EXPECT_EQ(Text(pdo, DevicePropertyEnumeratorName), "USB");
    EXPECT_EQ(Text(pdo, DevicePropertyPhysicalDeviceObjectName), "\\Device\\BlnkVbusPdo" + std::to_string(id));
    EXPECT_EQ(Text(pdo, DevicePropertyDeviceDescription), "Virtual USB device");
    NTSTATUS st;
    Text(pdo, DevicePropertyFriendlyName, &st);
    EXPECT_EQ(st, STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(sim::RegSetString(kEnum + InstanceOf(id), "FriendlyName", "Test port (COM9)"));
    EXPECT_EQ(Text(pdo, DevicePropertyFriendlyName), "Test port (COM9)");
}

TEST_F(PnpPropertyTest, RegistryKeysAreTheHardwareAndDriverKeys)
{
    ULONG id;
    PDEVICE_OBJECT pdo = StartedPdo(&id);
    ASSERT_NE(pdo, nullptr);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Probe");
    for (ULONG type : {PLUGPLAY_REGKEY_DEVICE, PLUGPLAY_REGKEY_DRIVER}) {
        HANDLE key = nullptr;
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, type, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
        ULONG value = type;
        EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
    ULONG v = 0;
    EXPECT_TRUE(sim::RegGetDword(kEnum + InstanceOf(id) + "\\Device Parameters", "Probe", &v));
    EXPECT_EQ(v, (ULONG)PLUGPLAY_REGKEY_DEVICE);
    EXPECT_TRUE(sim::RegGetDword(std::string(kClass) + kPortsGuid + "\\0000", "Probe", &v));
    EXPECT_EQ(v, (ULONG)PLUGPLAY_REGKEY_DRIVER);
}

TEST_F(PnpPropertyTest, DeviceObjectsThatAreNoPdoAreRefused)
{
    ULONG id;
    ASSERT_NE(StartedPdo(&id), nullptr);
    for (PDEVICE_OBJECT d : {vbus_test::Control(), Rec().lastFdo}) {
        WCHAR buffer[64];
        ULONG length = 77;
        EXPECT_EQ(IoGetDeviceProperty(d, DevicePropertyDriverKeyName, sizeof buffer, buffer, &length),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(length, 0u);
        HANDLE key = (HANDLE)1;
        EXPECT_EQ(IoOpenDeviceRegistryKey(d, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(key, nullptr);
    }
}

}  // namespace
