#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "support/RegistryKey.h"

namespace {

const WCHAR kKeyPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe";

class RegistryKeyTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, kKeyPath);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        ASSERT_EQ(ZwCreateKey(&m_Key, KEY_ALL_ACCESS, &attributes, 0, NULL, 0, NULL), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ZwClose(m_Key);
        MachineTest::TearDown();
    }
    void SetValue(const WCHAR* name, ULONG type, const void* data, ULONG bytes)
    {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        ASSERT_EQ(ZwSetValueKey(m_Key, &valueName, 0, type, (PVOID)data, bytes), STATUS_SUCCESS);
    }
    void SetString(const WCHAR* name, const std::u16string& text)
    {
        SetValue(name, REG_SZ, text.c_str(), (ULONG)(text.size() + 1) * 2);
    }
    NTSTATUS ReadString(const WCHAR* name, CUnicodeString& out)
    {
        CUnicodeString path(kKeyPath);
        CRegistryKey key;
        NTSTATUS status = key.Open(path, GENERIC_READ);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        CUnicodeString valueName(name);
        return key.QueryString(valueName, out);
    }

    HANDLE m_Key = NULL;
};

}  // namespace

TEST_F(RegistryKeyTest, ReadsAShortString)
{
    SetString(L"PortName", u"COM5");
    CUnicodeString out;
    EXPECT_EQ(ReadString(L"PortName", out), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(out.m_String), "COM5");
}

TEST_F(RegistryKeyTest, ADwordIsNotAString)
{
    ULONG value = 7;
    SetValue(L"Number", REG_DWORD, &value, sizeof(value));
    CUnicodeString out(L"unchanged");
    EXPECT_EQ(ReadString(L"Number", out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::Utf8(out.m_String), "unchanged");
}

TEST_F(RegistryKeyTest, MissingValueReturnsTheRegistryStatus)
{
    CUnicodeString out;
    EXPECT_EQ(ReadString(L"Nothing", out), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryKeyTest, MissingKeyFailsToOpen)
{
    CUnicodeString path(L"\\Registry\\Machine\\System\\NoSuchKey");
    CRegistryKey key;
    EXPECT_EQ(key.Open(path, GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    CUnicodeString name(L"x");
    CMemBuffer record;
    EXPECT_EQ(key.QueryValue(name, record), STATUS_UNSUCCESSFUL);
}

TEST_F(RegistryKeyTest, LongStringIsReadByASecondQueryAfterGrowing)
{
    std::u16string text(300, u'p');  // the record is larger than the first 340-byte offer
    SetString(L"FileLog", text);
    CUnicodeString path(kKeyPath);
    CRegistryKey key;
    ASSERT_EQ(key.Open(path, GENERIC_READ), STATUS_SUCCESS);
    CUnicodeString name(L"FileLog");
    CMemBuffer record;
    record.Resize(284);
    EXPECT_EQ(record.m_Capacity, 340);
    ASSERT_EQ(key.QueryValue(name, record), STATUS_SUCCESS);
    const KEY_VALUE_FULL_INFORMATION* info = (const KEY_VALUE_FULL_INFORMATION*)record.m_Data;
    EXPECT_EQ(info->DataLength, 602u);
    EXPECT_GT(record.m_Size, 340);
    EXPECT_EQ(record.m_Capacity, record.m_Size * 6 / 5);

    CUnicodeString out;
    EXPECT_EQ(key.QueryString(name, out), STATUS_SUCCESS);
    EXPECT_EQ(out.m_String.Length, 600);
}

TEST_F(RegistryKeyTest, QueryLeavesItsLoopWhenTheBufferCannotGrow)
{
    std::u16string text(600, u'q');
    SetString(L"Big", text);
    CUnicodeString path(kKeyPath);
    CRegistryKey key;
    ASSERT_EQ(key.Open(path, GENERIC_READ), STATUS_SUCCESS);
    CUnicodeString name(L"Big");
    CMemBuffer record;
    record.Resize(64);
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagMemory;
    rule.nth = 1;
    rule.count = 0;  // every later buffer allocation fails
    sim::AddFault(rule);
    EXPECT_EQ(key.QueryValue(name, record), STATUS_INSUFFICIENT_RESOURCES);
    sim::ClearFaults();
}

TEST_F(RegistryKeyTest, UnterminatedStringIsReadOnlyUpToItsData)
{
    const WCHAR raw[] = {L'A', L'B', L'C'};
    SetValue(L"Raw", REG_SZ, raw, sizeof(raw));
    CUnicodeString out;
    EXPECT_EQ(ReadString(L"Raw", out), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(out.m_String), "ABC");
}

TEST_F(RegistryKeyTest, ReopeningClosesThePreviousHandle)
{
    CUnicodeString path(kKeyPath);
    CRegistryKey key;
    ASSERT_EQ(key.Open(path, GENERIC_READ), STATUS_SUCCESS);
    ASSERT_EQ(key.Open(path, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_NE(key.m_Handle, nullptr);
    // A handle the second Open forgot would be reported as leaked when the
    // machine stops, failing this test.
}
