// ZwQueryInformationProcess for the current process.
#include "machine_fixture.h"

#include <vector>

namespace {

class ProcessInfoTest : public MachineTest {};

TEST_F(ProcessInfoTest, ImageFileNameIsACountedStringInTheCallersBuffer)
{
    sim::SetCurrentProcessImage("terminal.exe");
    const std::string expected = "\\Device\\HarddiskVolume1\\Windows\\System32\\terminal.exe";
    const ULONG needed = sizeof(UNICODE_STRING) + (ULONG)expected.size() * 2 + 2;
    std::vector<uint8_t> buf(needed);
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buf.data(), needed - 1, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, needed);
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buf.data(), needed, &returned),
              STATUS_SUCCESS);
    auto* name = reinterpret_cast<PUNICODE_STRING>(buf.data());
    EXPECT_EQ(sim::Utf8(*name), expected);
    EXPECT_EQ((uint8_t*)name->Buffer, buf.data() + sizeof(UNICODE_STRING));
    EXPECT_EQ(name->MaximumLength, name->Length + 2);
}

TEST_F(ProcessInfoTest, ImageNameDefaultsPerMachine)
{
    sim::SetCurrentProcessImage("other.exe");
    sim::StopMachine();
    sim::StartMachine();
    uint8_t buf[256];
    ULONG returned;
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileNameWin32, buf, sizeof(buf), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(*reinterpret_cast<PUNICODE_STRING>(buf)), "C:\\Windows\\System32\\test.exe");
}

TEST_F(ProcessInfoTest, BasicInformationNeedsItsExactSize)
{
    PROCESS_BASIC_INFORMATION info;
    ULONG returned = 0;
    EXPECT_EQ(
        ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info) - 8, &returned),
        STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(info));
    EXPECT_EQ(info.UniqueProcessId, (ULONG_PTR)PsGetCurrentProcessId());
    EXPECT_EQ(
        ZwQueryInformationProcess((HANDLE)(ULONG_PTR)0x1234, ProcessBasicInformation, &info, sizeof(info), &returned),
        STATUS_INVALID_HANDLE);
}

}  // namespace
