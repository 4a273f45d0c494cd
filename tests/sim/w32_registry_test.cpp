// The registry API works on the registry the kernel sees, with Win32's
// sizes, error codes and access checks.
#include "machine_fixture.h"

#include <windows.h>

namespace {

const char kKey[] = "\\Registry\\Machine\\Software\\W32Test\\Sub";

class W32RegistryTest : public MachineTest {
protected:
    HKEY Create(const wchar_t* sub, DWORD* disposition = nullptr)
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition),
                  ERROR_SUCCESS);
        return k;
    }
};

TEST_F(W32RegistryTest, CreatedKeysAndValuesAreTheKernelsKeysAndValues)
{
    DWORD disposition = 0;
    HKEY k = Create(L"Software\\W32Test\\Sub", &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    const wchar_t text[] = L"COM7";
    ASSERT_EQ(RegSetValueExW(k, L"PortName", 0, REG_SZ, (const BYTE*)text, sizeof text), ERROR_SUCCESS);
    DWORD dword = 0x1234;
    ASSERT_EQ(RegSetValueExW(k, L"Count", 0, REG_DWORD, (const BYTE*)&dword, sizeof dword), ERROR_SUCCESS);
    std::string s;
    EXPECT_TRUE(sim::RegGetString(kKey, "PortName", &s));
    EXPECT_EQ(s, "COM7");
    ULONG v = 0;
    EXPECT_TRUE(sim::RegGetDword(kKey, "Count", &v));
    EXPECT_EQ(v, 0x1234u);

    ASSERT_TRUE(sim::RegSetDword(kKey, "FromKernel", 42));
    DWORD type = 0, got = 0, size = sizeof got;
    ASSERT_EQ(RegQueryValueExW(k, L"FromKernel", nullptr, &type, (LPBYTE)&got, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(got, 42u);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);

    HKEY again = Create(L"Software\\W32Test\\Sub", &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
}

TEST_F(W32RegistryTest, QueryReportsTheSizeAndMoreDataWhenTheBufferIsShort)
{
    ASSERT_TRUE(sim::RegSetString(kKey, "Name", "abcdef"));
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\W32Test\\Sub", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(k, L"Name", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);  // six characters and the terminator, UTF-16
    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(k, L"Name", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    RegCloseKey(k);
}

TEST_F(W32RegistryTest, MissingKeysAndValuesAreFileNotFound)
{
    HKEY k;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\NoSuchKey", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(sim::RegEnsureKey(kKey));
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\W32Test\\Sub", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(k, L"Nothing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(k, L"Nothing"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
}

TEST_F(W32RegistryTest, ReadOnlyHandleCannotSetOrDelete)
{
    ASSERT_TRUE(sim::RegSetDword(kKey, "Keep", 1));
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\W32Test\\Sub", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD v = 2;
    EXPECT_EQ(RegSetValueExW(k, L"Keep", 0, REG_DWORD, (const BYTE*)&v, sizeof v), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(k, L"Keep"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(sim::RegValueExists(kKey, "Keep"));
    RegCloseKey(k);
}

TEST_F(W32RegistryTest, AnsiFunctionsConvertStringsAndDeleteValues)
{
    HKEY k = Create(L"Software\\W32Test\\Sub");
    const char text[] = "Port\xC3\xA9";  // UTF-8, the ANSI code page here
    ASSERT_EQ(RegSetValueExA(k, "Friendly", 0, REG_SZ, (const BYTE*)text, sizeof text), ERROR_SUCCESS);
    std::string s;
    ASSERT_TRUE(sim::RegGetString(kKey, "Friendly", &s));
    EXPECT_EQ(s, "Port\xC3\xA9");
    char back[16] = {};
    DWORD size = sizeof back, type = 0;
    ASSERT_EQ(RegQueryValueExA(k, "Friendly", nullptr, &type, (LPBYTE)back, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, sizeof text);
    EXPECT_STREQ(back, text);
    ASSERT_EQ(RegDeleteValueA(k, "Friendly"), ERROR_SUCCESS);
    EXPECT_FALSE(sim::RegValueExists(kKey, "Friendly"));
    RegCloseKey(k);
}

TEST_F(W32RegistryTest, EnumeratesSubkeysAndValues)
{
    ASSERT_TRUE(sim::RegEnsureKey(std::string(kKey) + "\\Beta"));
    ASSERT_TRUE(sim::RegEnsureKey(std::string(kKey) + "\\Alpha"));
    ASSERT_TRUE(sim::RegSetDword(kKey, "First", 1));
    ASSERT_TRUE(sim::RegSetString(kKey, "Second", "two"));
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\W32Test\\Sub", 0, KEY_READ, &k), ERROR_SUCCESS);
    std::vector<std::string> keys;
    WCHAR name[32];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 32;
        LONG r = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(r, ERROR_SUCCESS);
        keys.push_back(sim::Utf8(name, cch));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "Beta"}));
    DWORD cch = 3;
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    std::vector<std::string> values;
    for (DWORD i = 0;; ++i) {
        DWORD cchName = 32, type = 0, size = 0;
        LONG r = RegEnumValueW(k, i, name, &cchName, nullptr, &type, nullptr, &size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(r, ERROR_SUCCESS);
        values.push_back(sim::Utf8(name, cchName) + ":" + std::to_string(type) + ":" + std::to_string(size));
    }
    EXPECT_EQ(values, (std::vector<std::string>{"First:4:4", "Second:1:8"}));
    RegCloseKey(k);
}

TEST_F(W32RegistryTest, CurrentUserAndUsersAreUnderRegistryUser)
{
    HKEY k;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\W32Test", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
        ERROR_SUCCESS);
    DWORD v = 5;
    ASSERT_EQ(RegSetValueExW(k, L"V", 0, REG_DWORD, (const BYTE*)&v, sizeof v), ERROR_SUCCESS);
    RegCloseKey(k);
    // Exactly one profile under HKEY_USERS holds it.
    HKEY users;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_READ, &users), ERROR_SUCCESS);
    int found = 0;
    ULONG got = 0;
    WCHAR sid[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64;
        if (RegEnumKeyExW(users, i, sid, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (sim::RegGetDword("\\Registry\\User\\" + sim::Utf8(sid, cch) + "\\Software\\W32Test", "V", &got))
            ++found;
    }
    RegCloseKey(users);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(got, 5u);
}

TEST_F(W32RegistryTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    ASSERT_TRUE(sim::RegEnsureKey(std::string(kKey) + "\\Child"));
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\W32Test", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(k, L"Sub"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(k, L"Sub\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(k, L"Sub"), ERROR_SUCCESS);
    EXPECT_FALSE(sim::RegKeyExists(kKey));
    RegCloseKey(k);
}

class W32RegistryLeakTest : public RecordingMachineTest {};

TEST_F(W32RegistryLeakTest, KeyHandleLeftOpenIsReported)
{
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &k), ERROR_SUCCESS);
    sim::StopMachine();
    EXPECT_TRUE(sim_test::TakeViolation("WIN32_HANDLE_LEAKED"));
}

}  // namespace
