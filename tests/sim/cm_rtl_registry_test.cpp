// RtlWriteRegistryValue, RtlDeleteRegistryValue and RtlCheckRegistryKey with
// their RelativeTo bases, and the test-facing registry functions.
#include "cm_test_util.h"
#include "machine_fixture.h"

using cm_test::Name;

namespace {

const char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class RtlRegistryTest : public MachineTest {};

TEST_F(RtlRegistryTest, WriteRelativeToDeviceMapCreatesTheKeyAndStoresTheValue)
{
    Name value("\\Device\\Blnk0"), data("COM5");
    ULONG bytes = data.us()->Length + sizeof(WCHAR);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", value.w(), REG_SZ, (PVOID)data.w(), bytes),
              STATUS_SUCCESS);
    std::string text;
    ASSERT_TRUE(sim::RegGetString(kSerialComm, "\\Device\\Blnk0", &text));
    EXPECT_EQ(text, "COM5");

    ASSERT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", value.w()), STATUS_SUCCESS);
    EXPECT_FALSE(sim::RegValueExists(kSerialComm, "\\Device\\Blnk0"));
    EXPECT_TRUE(sim::RegKeyExists(kSerialComm)) << "deleting the value keeps the key";
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", value.w()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlRegistryTest, WriteCreatesOnlyTheLastKeyOfThePath)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"A\\B", L"V", REG_DWORD, &one, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::RegKeyExists("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\A"));
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"A", L"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"A\\B", L"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ULONG v = 0;
    EXPECT_TRUE(sim::RegGetDword("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\A\\B", "v", &v));
    EXPECT_EQ(v, 1u);
}

TEST_F(RtlRegistryTest, EachRelativeToNamesItsDocumentedBase)
{
    struct Case {
        ULONG relativeTo;
        const char* base;
    } cases[] = {
        {RTL_REGISTRY_SERVICES, "\\Registry\\Machine\\System\\CurrentControlSet\\Services"},
        {RTL_REGISTRY_CONTROL, "\\Registry\\Machine\\System\\CurrentControlSet\\Control"},
        {RTL_REGISTRY_WINDOWS_NT, "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"},
        {RTL_REGISTRY_DEVICEMAP, "\\Registry\\Machine\\Hardware\\DeviceMap"},
    };
    ULONG n = 0;
    for (const Case& c : cases) {
        ++n;
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, L"Probe", L"N", REG_DWORD, &n, 4), STATUS_SUCCESS);
        ULONG v = 0;
        EXPECT_TRUE(sim::RegGetDword(std::string(c.base) + "\\Probe", "N", &v)) << c.base;
        EXPECT_EQ(v, n);
    }
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Software", L"Abs", REG_DWORD, &n, 4),
              STATUS_SUCCESS);
    EXPECT_TRUE(sim::RegValueExists("\\Registry\\Machine\\Software", "Abs"));
    EXPECT_EQ(RtlWriteRegistryValue(77, L"X", L"N", REG_DWORD, &n, 4), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlRegistryTest, HandleFormUsesTheKeyHandleAndItsAccess)
{
    HANDLE ro = cm_test::OpenKey("\\Registry\\Machine\\Software", KEY_READ);
    HANDLE rw = cm_test::OpenKey("\\Registry\\Machine\\Software", KEY_WRITE);
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)ro, L"H", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)rw, L"H", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_TRUE(sim::RegValueExists("\\Registry\\Machine\\Software", "H"));
    ZwClose(ro);
    ZwClose(rw);
}

TEST_F(RtlRegistryTest, CheckRegistryKeyOpensWithoutCreating)
{
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)L""), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)L"NoSuchService"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::RegKeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NoSuchService"));
}

TEST_F(RtlRegistryTest, TestInterfaceRoundTripsTypedValues)
{
    const std::string key = "\\Registry\\Machine\\Software\\Vendor\\Tool";
    ASSERT_TRUE(sim::RegSetMultiString(key, "Ids", {"USB\\VID_5A1E&PID_0101", "USB\\Class_02"}));
    ASSERT_TRUE(sim::RegSetString(key, "Name", "Zürich"));
    std::vector<std::string> ids;
    ASSERT_TRUE(sim::RegGetMultiString(key, "IDS", &ids));
    EXPECT_EQ(ids, (std::vector<std::string>{"USB\\VID_5A1E&PID_0101", "USB\\Class_02"}));
    std::string name;
    ASSERT_TRUE(sim::RegGetString(key, "name", &name));
    EXPECT_EQ(name, "Zürich");
    ULONG dw;
    EXPECT_FALSE(sim::RegGetDword(key, "Name", &dw)) << "typed getters refuse other types";
    EXPECT_EQ(sim::RegValueNames(key), (std::vector<std::string>{"Ids", "Name"}));
    EXPECT_TRUE(sim::RegRemoveKeyTree("\\Registry\\Machine\\Software\\Vendor"));
    EXPECT_FALSE(sim::RegKeyExists(key));
}

TEST_F(RtlRegistryTest, EachMachineStartsWithAFreshRegistry)
{
    ASSERT_TRUE(sim::RegSetDword("\\Registry\\Machine\\Software\\Leftover", "X", 1));
    sim::StopMachine();
    sim::StartMachine();
    EXPECT_FALSE(sim::RegKeyExists("\\Registry\\Machine\\Software\\Leftover"));
}

}  // namespace
