// The Zw registry routines: record layouts and buffer-size statuses of value
// queries, key creation and lookup, enumeration order, deletion, access
// checks, and the verifier's reports for misuse.
#include "cm_test_util.h"
#include "machine_fixture.h"

#include <vector>

using cm_test::Name;
using cm_test::OpenKey;

namespace {

const char kParams[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Blnk\\Parameters";

class ZwKeyTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(sim::RegSetDword(kParams, "Speed", 0x1234));
        key_ = OpenKey(kParams);
        ASSERT_NE(key_, nullptr);
    }
    void TearDown() override
    {
        if (key_)
            ZwClose(key_);
        MachineTest::TearDown();
    }

    NTSTATUS Query(const char* value, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t>* buf, ULONG length,
                   ULONG* result)
    {
        buf->assign(64, 0xCC);
        Name n(value);
        return ZwQueryValueKey(key_, n.us(), cls, buf->data(), length, result);
    }

    HANDLE key_ = nullptr;
};

TEST_F(ZwKeyTest, PartialInformationStatusesAtEveryBufferBoundary)
{
    std::vector<uint8_t> buf;
    ULONG result = 0;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);  // 12
    EXPECT_EQ(Query("Speed", KeyValuePartialInformation, &buf, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, header + 4);
    EXPECT_EQ(Query("Speed", KeyValuePartialInformation, &buf, header - 1, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[0], 0xCC) << "nothing is written when even the fixed part does not fit";

    EXPECT_EQ(Query("Speed", KeyValuePartialInformation, &buf, header, &result), STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf.data());
    EXPECT_EQ(result, header + 4);
    EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(buf[header], 0xCC) << "no data on overflow";

    EXPECT_EQ(Query("Speed", KeyValuePartialInformation, &buf, header + 3, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Query("Speed", KeyValuePartialInformation, &buf, sizeof(KEY_VALUE_PARTIAL_INFORMATION), &result),
              STATUS_SUCCESS);
    ULONG data;
    memcpy(&data, info->Data, 4);
    EXPECT_EQ(data, 0x1234u);
}

TEST_F(ZwKeyTest, FullInformationPlacesDataAfterNameOnAnEightByteBoundary)
{
    const ULONG header = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);  // 20
    struct Case {
        const char* name;
        ULONG dataOffset;
    } cases[] = {{"A", 24}, {"Abc", 32}, {"Abcd", 32}, {"Abcde", 32}};
    for (const Case& c : cases) {
        ASSERT_TRUE(sim::RegSetDword(kParams, c.name, 7));
        std::vector<uint8_t> buf;
        ULONG result = 0;
        ULONG nameBytes = (ULONG)strlen(c.name) * 2;
        EXPECT_EQ(Query(c.name, KeyValueFullInformation, &buf, header - 1, &result), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(result, c.dataOffset + 4) << c.name;
        EXPECT_EQ(Query(c.name, KeyValueFullInformation, &buf, header, &result), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(Query(c.name, KeyValueFullInformation, &buf, c.dataOffset + 3, &result), STATUS_BUFFER_OVERFLOW);
        ASSERT_EQ(Query(c.name, KeyValueFullInformation, &buf, c.dataOffset + 4, &result), STATUS_SUCCESS);
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf.data());
        EXPECT_EQ(info->DataOffset, c.dataOffset) << c.name;
        EXPECT_EQ(info->DataLength, 4u);
        EXPECT_EQ(info->NameLength, nameBytes);
        EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
        EXPECT_EQ(sim::Utf8(info->Name, nameBytes / 2), c.name);
        ULONG data;
        memcpy(&data, buf.data() + info->DataOffset, 4);
        EXPECT_EQ(data, 7u);
    }
}

TEST_F(ZwKeyTest, BasicInformationOverflowCopiesThePartOfTheNameThatFits)
{
    ASSERT_TRUE(sim::RegSetDword(kParams, "Parity", 2));
    std::vector<uint8_t> buf;
    ULONG result = 0;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);  // 12
    EXPECT_EQ(Query("Parity", KeyValueBasicInformation, &buf, header + 4, &result), STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf.data());
    EXPECT_EQ(result, header + 12);
    EXPECT_EQ(info->NameLength, 12u);
    EXPECT_EQ(sim::Utf8(info->Name, 2), "Pa");
    EXPECT_EQ(buf[header + 4], 0xCC);
    EXPECT_EQ(Query("Parity", KeyValueBasicInformation, &buf, header + 12, &result), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(info->Name, 6), "Parity");
}

TEST_F(ZwKeyTest, ValueNamesAreCaseInsensitiveAndMissingValuesAreNotFound)
{
    std::vector<uint8_t> buf;
    ULONG result = 0;
    EXPECT_EQ(Query("SPEED", KeyValuePartialInformation, &buf, 64, &result), STATUS_SUCCESS);
    EXPECT_EQ(Query("Baud", KeyValuePartialInformation, &buf, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query("Speed", (KEY_VALUE_INFORMATION_CLASS)9, &buf, 64, &result), STATUS_INVALID_PARAMETER);
}

TEST_F(ZwKeyTest, ValuesKeepTheirTypeAndRawBytes)
{
    const uint8_t blob[] = {0, 1, 0, 0xFF, 0};
    Name name("Blob");
    ASSERT_EQ(ZwSetValueKey(key_, name.us(), 0, REG_BINARY, (PVOID)blob, sizeof(blob)), STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::RegGetRaw(kParams, "blob", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, std::vector<uint8_t>(blob, blob + sizeof(blob)));

    ASSERT_TRUE(sim::RegSetString(kParams, "PortName", "COM7"));
    std::vector<uint8_t> buf;
    ULONG result = 0;
    ASSERT_EQ(Query("PortName", KeyValuePartialInformation, &buf, 64, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf.data());
    EXPECT_EQ(info->Type, (ULONG)REG_SZ);
    EXPECT_EQ(info->DataLength, 10u) << "REG_SZ data includes its terminating null";
    EXPECT_EQ(sim::Utf8(reinterpret_cast<const wchar_t*>(info->Data)), "COM7");
}

TEST_F(ZwKeyTest, DeleteValueRemovesOnlyThatValue)
{
    ASSERT_TRUE(sim::RegSetDword(kParams, "Other", 1));
    Name name("speed");
    EXPECT_EQ(ZwDeleteValueKey(key_, name.us()), STATUS_SUCCESS);
    EXPECT_FALSE(sim::RegValueExists(kParams, "Speed"));
    EXPECT_TRUE(sim::RegValueExists(kParams, "Other"));
    EXPECT_EQ(ZwDeleteValueKey(key_, name.us()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ZwKeyTest, CreateKeyReportsDispositionAndNeedsAnExistingParent)
{
    ULONG disposition = 0;
    HANDLE h = nullptr;
    Name child("Child", key_);
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, child.oa(), 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ZwClose(h);
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, child.oa(), 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ZwClose(h);
    EXPECT_TRUE(sim::RegKeyExists(std::string(kParams) + "\\CHILD"));

    Name deep("Missing\\Leaf", key_);
    EXPECT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, deep.oa(), 0, nullptr, 0, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::RegKeyExists(std::string(kParams) + "\\Missing"));
}

TEST_F(ZwKeyTest, OpenKeyResolvesAbsoluteAndRelativeNames)
{
    HANDLE h = nullptr;
    Name upper("\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\BLNK");
    ASSERT_EQ(ZwOpenKey(&h, KEY_READ, upper.oa()), STATUS_SUCCESS);
    HANDLE rel = nullptr;
    Name params("Parameters", h);
    EXPECT_EQ(ZwOpenKey(&rel, KEY_READ, params.oa()), STATUS_SUCCESS);
    ZwClose(rel);
    Name slash("\\Parameters", h);
    EXPECT_EQ(ZwOpenKey(&rel, KEY_READ, slash.oa()), STATUS_OBJECT_PATH_SYNTAX_BAD);
    Name missing("Nope", h);
    EXPECT_EQ(ZwOpenKey(&rel, KEY_READ, missing.oa()), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(h);
    Name outside("\\Device\\Whatever");
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, outside.oa()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ZwKeyTest, MachineStartsWithTheStandardKeys)
{
    for (const char* path :
         {"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
          "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
          "\\Registry\\Machine\\System\\CurrentControlSet\\Enum", "\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
          "\\Registry\\Machine\\Software", "\\Registry\\User"})
        EXPECT_TRUE(sim::RegKeyExists(path)) << path;
}

TEST_F(ZwKeyTest, EnumerationListsSubkeysByNameAndValuesInSetOrder)
{
    for (const char* k : {"zeta", "Alpha", "mid"})
        ASSERT_TRUE(sim::RegEnsureKey(std::string(kParams) + "\\" + k));
    ASSERT_TRUE(sim::RegSetDword(kParams, "B", 1));
    ASSERT_TRUE(sim::RegSetDword(kParams, "A", 2));
    std::vector<std::string> keys, values;
    uint8_t buf[128];
    ULONG result;
    for (ULONG i = 0;; ++i) {
        NTSTATUS st = ZwEnumerateKey(key_, i, KeyBasicInformation, buf, sizeof(buf), &result);
        if (st == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(st, STATUS_SUCCESS);
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buf);
        keys.push_back(sim::Utf8(info->Name, info->NameLength / 2));
    }
    for (ULONG i = 0;; ++i) {
        NTSTATUS st = ZwEnumerateValueKey(key_, i, KeyValueBasicInformation, buf, sizeof(buf), &result);
        if (st == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(st, STATUS_SUCCESS);
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf);
        values.push_back(sim::Utf8(info->Name, info->NameLength / 2));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "mid", "zeta"}));
    EXPECT_EQ(values, (std::vector<std::string>{"Speed", "B", "A"}));
}

TEST_F(ZwKeyTest, DeleteKeyRefusesKeysWithSubkeysAndInvalidatesOtherHandles)
{
    ASSERT_TRUE(sim::RegEnsureKey(std::string(kParams) + "\\Sub"));
    EXPECT_EQ(ZwDeleteKey(key_), STATUS_CANNOT_DELETE);
    HANDLE sub = OpenKey(std::string(kParams) + "\\Sub");
    HANDLE second = OpenKey(std::string(kParams) + "\\Sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_SUCCESS);
    Name v("x");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(second, v.us(), 0, REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_FALSE(sim::RegKeyExists(std::string(kParams) + "\\Sub"));
    ZwClose(sub);
    ZwClose(second);
}

TEST_F(ZwKeyTest, HandleAccessLimitsWhatTheHandleMayDo)
{
    HANDLE ro = OpenKey(kParams, KEY_READ);
    ASSERT_NE(ro, nullptr);
    Name v("Speed");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(ro, v.us(), 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(ro), STATUS_ACCESS_DENIED);
    uint8_t buf[32];
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(ro, v.us(), KeyValuePartialInformation, buf, sizeof(buf), &result), STATUS_SUCCESS);
    ZwClose(ro);
}

TEST_F(ZwKeyTest, NonKeyHandlesAreRejectedByKind)
{
    Name file("\\??\\C:\\k.txt");
    IO_STATUS_BLOCK iosb;
    HANDLE f = nullptr;
    ASSERT_EQ(ZwCreateFile(&f, GENERIC_WRITE, file.oa(), &iosb, nullptr, 0, 0, FILE_OPEN_IF,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    Name v("Speed");
    uint8_t buf[32];
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(f, v.us(), KeyValuePartialInformation, buf, sizeof(buf), &result),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(f);
    EXPECT_EQ(ZwQueryValueKey(f, v.us(), KeyValuePartialInformation, buf, sizeof(buf), &result), STATUS_INVALID_HANDLE);
}

class ZwKeyVerifierTest : public RecordingMachineTest {};

TEST_F(ZwKeyVerifierTest, RegistryCallAtDispatchLevelIsReported)
{
    HANDLE h = nullptr;
    Name n(kParams);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { ZwCreateKey(&h, KEY_ALL_ACCESS, n.oa(), 0, nullptr, 0, nullptr); });
    if (h)
        ZwClose(h);
    EXPECT_TRUE(sim_test::TakeViolation("IRQL_TOO_HIGH"));
}

TEST_F(ZwKeyVerifierTest, NullResultLengthIsReported)
{
    HANDLE h = OpenKey("\\Registry\\Machine\\Software");
    ASSERT_TRUE(sim::RegSetDword("\\Registry\\Machine\\Software", "V", 1));
    Name v("V");
    uint8_t buf[32];
    EXPECT_EQ(ZwQueryValueKey(h, v.us(), KeyValuePartialInformation, buf, sizeof(buf), nullptr),
              STATUS_ACCESS_VIOLATION);
    ZwClose(h);
    EXPECT_TRUE(sim_test::TakeViolation("ZW_NULL_ARGUMENT"));
}

}  // namespace
