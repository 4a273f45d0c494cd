// CreateFile on device names, exclusive devices, and what closing a handle
// sends to the driver (cleanup at once, close when the last request is done).
#include "w32_test_driver.h"

using w32_test::Log;

namespace {

class W32FileTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        w32_test::Load(options);
    }
    HANDLE Open(const wchar_t* name, DWORD flags = 0)
    {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    w32_test::Options options;
};

class W32ExclusiveTest : public W32FileTest {
protected:
    W32ExclusiveTest() { options.exclusive = true; }
};

class W32KeepReadsTest : public W32FileTest {
protected:
    W32KeepReadsTest() { options.cleanupCancelsReads = false; }
};

TEST_F(W32FileTest, OpensByDosNameAndByGlobalRootDeviceName)
{
    for (const wchar_t* name : {L"\\\\.\\TESTDEV", L"\\\\.\\testdev", L"\\\\?\\GLOBALROOT\\Device\\W32Test",
                                L"\\\\.\\GLOBALROOT\\Device\\W32Test"}) {
        HANDLE h = Open(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << sim::Utf8(name) << " error " << GetLastError();
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(Log(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE", "CREATE", "CLEANUP", "CLOSE", "CREATE",
                                               "CLEANUP", "CLOSE", "CREATE", "CLEANUP", "CLOSE"}));
}

TEST_F(W32FileTest, AnsiNameOpensTheSameDeviceAndShareModeReachesTheDriver)
{
    HANDLE h = CreateFileA("\\\\.\\TESTDEV", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(w32_test::LastShareAccess(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    CloseHandle(h);
}

TEST_F(W32FileTest, EachHandleHasItsOwnFileObjectOnItsRequests)
{
    HANDLE a = Open(L"\\\\.\\TESTDEV");
    HANDLE b = Open(L"\\\\.\\TESTDEV");
    DWORD n;
    ASSERT_TRUE(WriteFile(b, "b", 1, &n, nullptr));
    ASSERT_TRUE(WriteFile(a, "a", 1, &n, nullptr));
    auto creates = w32_test::CreateFileObjects();
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_NE(creates[0], nullptr);
    EXPECT_NE(creates[0], creates[1]);
    EXPECT_EQ(w32_test::RequestFileObjects(), (std::vector<void*>{creates[1], creates[0]}));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(W32FileTest, MissingNamesFailWithFileOrPathNotFound)
{
    EXPECT_EQ(Open(L"\\\\.\\NOSUCHDEV"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(L"\\\\?\\GLOBALROOT\\Device\\Missing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(L"\\\\?\\GLOBALROOT\\NoDir\\X"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(Log().empty());
}

TEST_F(W32ExclusiveTest, SecondOpenIsAccessDeniedUntilTheFirstCloses)
{
    HANDLE first = Open(L"\\\\.\\TESTDEV");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"\\\\.\\TESTDEV"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(first);
    HANDLE again = Open(L"\\\\.\\TESTDEV");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(W32FileTest, ClosingAnUnknownHandleFailsWithInvalidHandle)
{
    EXPECT_FALSE(CloseHandle((HANDLE)(ULONG_PTR)0x4444));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE h = Open(L"\\\\.\\TESTDEV");
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(W32FileTest, CleanupCancellingAPendingReadPrecedesClose)
{
    HANDLE h = Open(L"\\\\.\\TESTDEV", FILE_FLAG_OVERLAPPED);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    char buf[8];
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    CloseHandle(h);
    EXPECT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    EXPECT_EQ((NTSTATUS)ov.Internal, STATUS_CANCELLED);
    ASSERT_TRUE(sim_test::WaitFor([] { return Log().size() == 4; }));
    EXPECT_EQ(Log(), (std::vector<std::string>{"CREATE", "READ", "CLEANUP", "CLOSE"}));
    CloseHandle(ev);
}

TEST_F(W32KeepReadsTest, CloseWaitsForTheLastRequestOfTheFileObject)
{
    HANDLE h = Open(L"\\\\.\\TESTDEV", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buf[8];
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    CloseHandle(h);
    EXPECT_EQ(Log(), (std::vector<std::string>{"CREATE", "READ", "CLEANUP"}));
    ASSERT_TRUE(w32_test::CompleteHeld(STATUS_SUCCESS, "late"));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ov.InternalHigh, 4u);
    EXPECT_EQ(std::string(buf, 4), "late");
    EXPECT_TRUE(sim_test::WaitFor([] { return Log().size() == 4 && Log().back() == "CLOSE"; }));
    CloseHandle(ov.hEvent);
}

class W32LeakTest : public RecordingMachineTest {};

TEST_F(W32LeakTest, HandleLeftOpenIsReportedAndClosedAtStop)
{
    w32_test::Load();
    HANDLE h = CreateFileW(L"\\\\.\\TESTDEV", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    sim::StopMachine();
    EXPECT_TRUE(sim_test::TakeViolation("WIN32_HANDLE_LEAKED"));
    EXPECT_EQ(Log(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE"}));
}

TEST_F(W32LeakTest, Win32CallAtRaisedIrqlIsReported)
{
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { SetEvent(ev); });
    EXPECT_TRUE(sim_test::TakeViolation("WIN32_CALL_AT_RAISED_IRQL"));
    CloseHandle(ev);
}

}  // namespace
