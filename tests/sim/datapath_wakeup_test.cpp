// Bytes arriving while a read and a WaitCommEvent both pend: the read gets
// exactly the bytes, and the wait ends with EV_RXCHAR, whichever of the
// device's packet, the program's read and the delivery loop goes first. A
// seeded campaign; a case that hangs prints the port's state.
#include <windows.h>

#include "campaign.h"
#include "loopback_bus.h"
#include "port_io.h"

#include <random>
#include <sstream>

using namespace sim_test;

namespace {

class WakeupTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create());
        ASSERT_TRUE(m_Port.Start());
        m_Handle = CreateFileW(DevicePath(m_Port.device).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommMask(m_Handle, EV_RXCHAR));
    }
    void TearDown() override
    {
        if (m_Handle != INVALID_HANDLE_VALUE) {
            CloseHandle(m_Handle);
        }
        m_Port.Remove();
        MachineTest::TearDown();
    }
    std::string State()
    {
        LONG waits;
        {
            CLockGuard guard(&In(m_Port.device).m_WaitLock);
            waits = In(m_Port.device).m_WaitList.GetCount();
        }
        std::ostringstream s;
        s << "ring " << RingCount(m_Port.device) << " queued reads " << QueuedReads(m_Port.device) << " pending IN "
          << loopback::PendingIn() << " waits " << waits;
        return s.str();
    }
    void RunCase(std::mt19937& random);

    loopback::Port m_Port;
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

// A few yields at most: enough to let either side of a race go first.
void Jitter(unsigned n)
{
    for (unsigned i = 0; i < n % 4; i++) {
        std::this_thread::yield();
    }
}

}  // namespace

void WakeupTest::RunCase(std::mt19937& random)
{
    const size_t n = 1 + random() % 15;
    const unsigned plan = random();
    OVERLAPPED waitOv = {};
    waitOv.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD events = 0xFF;
    // The ring is empty (the last case read all it got): the wait pends.
    ASSERT_FALSE(WaitCommEvent(m_Handle, &events, &waitOv));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    std::vector<uint8_t> got(n, 0xEE);
    OVERLAPPED readOv = {};
    readOv.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread reader([&] {
        Jitter(plan);
        BOOL at = ReadFile(m_Handle, got.data(), (DWORD)n, NULL, &readOv);
        EXPECT_TRUE(at || GetLastError() == ERROR_IO_PENDING) << GetLastError();
    });
    std::thread feeder([&] {
        Jitter(plan >> 2);
        EXPECT_TRUE(WaitFor([] { return loopback::PendingIn() > 0; }, 5000));
        loopback::CompleteIn(InPacket(Sequence(n, (uint8_t)plan)));
    });
    reader.join();
    feeder.join();

    bool readEnded = WaitForSingleObject(readOv.hEvent, 5000) == WAIT_OBJECT_0;
    bool waitEnded = WaitForSingleObject(waitOv.hEvent, 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(readEnded && waitEnded) << "read " << readEnded << " wait " << waitEnded << ": " << State();
    if (readEnded) {
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(m_Handle, &readOv, &bytes, FALSE));
        EXPECT_EQ(bytes, (DWORD)n);
        EXPECT_EQ(got, Sequence(n, (uint8_t)plan));
    }
    if (waitEnded) {
        EXPECT_EQ(events, (DWORD)EV_RXCHAR);
    }
    // A case that failed leaves its requests to the handle's cleanup.
    if (!readEnded || !waitEnded) {
        CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
        WaitForSingleObject(readOv.hEvent, 5000);
        WaitForSingleObject(waitOv.hEvent, 5000);
    }
    CloseHandle(readOv.hEvent);
    CloseHandle(waitOv.hEvent);
}

TEST_F(WakeupTest, AWaitAndAReadPendingWhenBytesArriveBothEnd)
{
    campaign::Campaign c("wakeup", 300);
    for (unsigned i = 0; i < c.Cases() && !HasFailure(); i++) {
        SCOPED_TRACE(c.Describe(i));
        std::mt19937 random((unsigned)c.CaseSeed(i));
        RunCase(random);
        c.Record(i, !HasFailure());
    }
}
