// ReadFile, WriteFile and DeviceIoControl, synchronous and overlapped;
// GetOverlappedResult, CancelIo/CancelIoEx, events and waits.
#include "w32_test_driver.h"

#include <atomic>
#include <thread>

namespace {

class W32IoTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        w32_test::Load();
        sync_ = CreateFileW(L"\\\\.\\TESTDEV", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
        async_ = CreateFileW(L"\\\\.\\TESTDEV", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(sync_, INVALID_HANDLE_VALUE);
        ASSERT_NE(async_, INVALID_HANDLE_VALUE);
        ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(sync_);
        CloseHandle(async_);
        CloseHandle(ov_.hEvent);
        MachineTest::TearDown();
    }
    HANDLE sync_ = nullptr, async_ = nullptr;
    OVERLAPPED ov_{};
};

TEST_F(W32IoTest, SynchronousWriteAndReadMoveDataThroughTheSystemBuffer)
{
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(sync_, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(w32_test::Written(), "hello");
    w32_test::QueueReadData("abc");
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(sync_, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(W32IoTest, ControlsDeliverInputAndOutputForEveryMethod)
{
    for (ULONG code :
         {w32_test::kEchoBuffered, w32_test::kEchoInDirect, w32_test::kEchoOutDirect, w32_test::kEchoNeither}) {
        char in[] = {'1', '2', '3', '4'};
        char out[8] = {};
        DWORD n = 0;
        ASSERT_TRUE(DeviceIoControl(sync_, code, in, sizeof in, out, sizeof out, &n, nullptr)) << std::hex << code;
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(std::string(out, 4), "4321") << std::hex << code;
    }
}

TEST_F(W32IoTest, SynchronousReadBlocksUntilTheDriverCompletesIt)
{
    BOOL ok = FALSE;
    DWORD n = 0;
    char buf[8] = {};
    std::thread reader([&] { ok = ReadFile(sync_, buf, sizeof buf, &n, nullptr); });
    ASSERT_TRUE(sim_test::WaitFor([] { return w32_test::HeldCount() == 1; }));
    ASSERT_TRUE(w32_test::CompleteHeld(STATUS_SUCCESS, "xy"));
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::string(buf, 2), "xy");
}

TEST_F(W32IoTest, OverlappedReadPendsAndCompletesFromAnotherThread)
{
    char buf[8] = {};
    DWORD n = 77;
    ASSERT_FALSE(ReadFile(async_, buf, sizeof buf, &n, &ov_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ((NTSTATUS)ov_.Internal, STATUS_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov_));
    EXPECT_FALSE(GetOverlappedResult(async_, &ov_, &n, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    std::thread completer([] { w32_test::CompleteHeld(STATUS_SUCCESS, "data"); });
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 5000), WAIT_OBJECT_0);
    completer.join();
    EXPECT_EQ((NTSTATUS)ov_.Internal, STATUS_SUCCESS);
    EXPECT_EQ(ov_.InternalHigh, 4u);
    ASSERT_TRUE(GetOverlappedResult(async_, &ov_, &n, FALSE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf, 4), "data");
}

TEST_F(W32IoTest, GetOverlappedResultWithWaitBlocksUntilCompletion)
{
    char buf[4];
    ASSERT_FALSE(DeviceIoControl(async_, w32_test::kHold, nullptr, 0, buf, sizeof buf, nullptr, &ov_));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    std::thread completer([] {
        sim_test::WaitFor([] { return w32_test::HeldCount() == 1; });
        w32_test::CompleteHeld(STATUS_SUCCESS, "ok");
    });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(async_, &ov_, &n, TRUE));
    completer.join();
    EXPECT_EQ(n, 2u);
}

TEST_F(W32IoTest, OverlappedRequestWithoutEventSignalsTheFileHandle)
{
    OVERLAPPED ov{};
    char buf[4];
    ASSERT_FALSE(ReadFile(async_, buf, sizeof buf, nullptr, &ov));
    EXPECT_EQ(WaitForSingleObject(async_, 0), (DWORD)WAIT_TIMEOUT);
    w32_test::CompleteHeld(STATUS_SUCCESS, "z");
    EXPECT_EQ(WaitForSingleObject(async_, 5000), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(async_, &ov, &n, TRUE));
    EXPECT_EQ(n, 1u);
}

TEST_F(W32IoTest, OverlappedRequestCompletedAtOnceReturnsTrueAndSignals)
{
    char out[4] = {};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(async_, w32_test::kEchoBuffered, (void*)"ab", 2, out, sizeof out, &n, &ov_));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::string(out, 2), "ba");
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(W32IoTest, OverlappedIoOnAnOverlappedHandleNeedsAnOverlapped)
{
    char buf[4];
    EXPECT_FALSE(ReadFile(async_, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(W32IoTest, CancelIoAbortsThisThreadsPendingRead)
{
    char buf[4];
    ASSERT_FALSE(ReadFile(async_, buf, sizeof buf, nullptr, &ov_));
    ASSERT_TRUE(CancelIo(async_));
    DWORD n = 9;
    EXPECT_FALSE(GetOverlappedResult(async_, &ov_, &n, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(w32_test::HeldCount(), 0u);
}

TEST_F(W32IoTest, CancelIoLeavesOtherThreadsRequestsAndCancelIoExReachesThem)
{
    char buf[4];
    std::thread other([&] { ReadFile(async_, buf, sizeof buf, nullptr, &ov_); });
    other.join();
    ASSERT_EQ(w32_test::HeldCount(), 1u);
    ASSERT_TRUE(CancelIo(async_));
    EXPECT_EQ(w32_test::HeldCount(), 1u);
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(CancelIoEx(async_, &ov_));
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ((NTSTATUS)ov_.Internal, STATUS_CANCELLED);
}

// A client's end reaches its own requests and handles, wherever they are,
// and nobody else's: its pending read is cancelled before its handle closes.
TEST_F(W32IoTest, EndingAClientCancelsItsRequestsThenTheSystemClosesItsHandles)
{
    char mine[4];
    ASSERT_FALSE(ReadFile(async_, mine, sizeof mine, nullptr, &ov_));
    std::atomic<DWORD> client{0};
    DWORD clientError = 0;
    std::thread thread([&] {
        HANDLE own = CreateFileW(L"\\\\.\\TESTDEV", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        client = GetCurrentThreadId();
        char buf[4];
        DWORD n = 0;
        clientError = ReadFile(own, buf, sizeof buf, &n, nullptr) ? ERROR_SUCCESS : GetLastError();
    });
    ASSERT_TRUE(sim_test::WaitFor([] { return w32_test::HeldCount() == 2; }));
    w32_test::ClearLog();

    sim::ClientEnd end = sim::EndClientThread(client);
    thread.join();
    EXPECT_EQ(end.cancelled, 1u);
    EXPECT_EQ(end.unfinished, 0u);
    EXPECT_EQ(end.handlesClosed, 1u);
    EXPECT_EQ(clientError, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(w32_test::Log(), (std::vector<std::string>{"CLEANUP", "CLOSE"}));
    // The other thread's read and handle are untouched.
    EXPECT_EQ(w32_test::HeldCount(), 1u);
    EXPECT_EQ(WaitForSingleObject(ov_.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(w32_test::CompleteHeld(STATUS_SUCCESS, "ok"));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(async_, &ov_, &n, TRUE));
    EXPECT_EQ(n, 2u);
}

TEST_F(W32IoTest, CancelIoExWithNothingPendingIsNotFound)
{
    EXPECT_FALSE(CancelIoEx(async_, &ov_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
}

TEST_F(W32IoTest, DriverStatusesReachTheCallerAsWin32Errors)
{
    struct Case {
        NTSTATUS status;
        BOOL result;
        DWORD error;
    } cases[] = {
        {STATUS_SUCCESS, TRUE, 0},
        {STATUS_TIMEOUT, TRUE, 0},  // a success status: the bytes count
        {STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA},
        {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER},
        {STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_NOT_CONNECTED, FALSE, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_INVALID_DEVICE_STATE, FALSE, ERROR_BAD_COMMAND},
        {STATUS_INVALID_DEVICE_REQUEST, FALSE, ERROR_INVALID_FUNCTION},
    };
    for (const Case& c : cases) {
        NTSTATUS in = c.status;
        char out[4];
        DWORD n = 99;
        SetLastError(0);
        BOOL ok = DeviceIoControl(sync_, w32_test::kStatus, &in, sizeof in, out, sizeof out, &n, nullptr);
        EXPECT_EQ(ok, c.result) << std::hex << c.status;
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(n, NT_ERROR(c.status) ? 0u : 4u) << std::hex << c.status;
    }
}

TEST_F(W32IoTest, StatusMappingFollowsWindowsTable)
{
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_NO_SUCH_DEVICE), (ULONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_OBJECT_NAME_NOT_FOUND), (ULONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_OBJECT_PATH_NOT_FOUND), (ULONG)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_ACCESS_DENIED), (ULONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_DELETE_PENDING), (ULONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_NOT_SUPPORTED), (ULONG)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), (ULONG)ERROR_IO_PENDING);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_BUFFER_TOO_SMALL), (ULONG)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INSUFFICIENT_RESOURCES), (ULONG)ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_IO_TIMEOUT), (ULONG)ERROR_SEM_TIMEOUT);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_DEVICE_REMOVED), (ULONG)ERROR_DEVICE_REMOVED);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_TIMEOUT), (ULONG)WAIT_TIMEOUT);
    EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0DE0001), (ULONG)ERROR_MR_MID_NOT_FOUND);
}

TEST_F(W32IoTest, AutoResetEventReleasesOneWaitAndWaitAnyReportsTheIndex)
{
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), (DWORD)WAIT_TIMEOUT);  // the wait consumed it
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);        // manual reset: still set
    ResetEvent(b);
    EXPECT_EQ(WaitForSingleObject(b, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(W32IoTest, NamedEventIsTheKernelsBaseNamedObjectsEvent)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\BaseNamedObjects\\W32TestEvent");
    HANDLE kernelHandle;
    PKEVENT kernelEvent = IoCreateNotificationEvent(&name, &kernelHandle);
    ASSERT_NE(kernelEvent, nullptr);
    KeClearEvent(kernelEvent);
    HANDLE user = CreateEventW(nullptr, TRUE, FALSE, L"Global\\W32TestEvent");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(user, 0), (DWORD)WAIT_TIMEOUT);
    KeSetEvent(kernelEvent, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForSingleObject(user, 0), WAIT_OBJECT_0);
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"W32TestEvent");
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"NoSuchEvent"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    CloseHandle(user);
    CloseHandle(opened);
    ZwClose(kernelHandle);
}

TEST_F(W32IoTest, TimedWaitTimesOutAfterItsInterval)
{
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ULONGLONG before = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(ev, 30), (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64() - before, 29u);
    CloseHandle(ev);
}

}  // namespace
