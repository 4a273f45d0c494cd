// A device becomes a port, is configured, is refused a second opener, and
// goes away cleanly however it leaves.
#include "start_sequence.h"
#include "system_test.h"

using namespace systest;

namespace {

class PortLifecycleTest : public SystemTest {};

int CountFunction(const std::vector<VBUS_URB_LOG_ENTRY>& log, uint16_t function)
{
    int n = 0;
    for (const VBUS_URB_LOG_ENTRY& e : log) {
        n += e.Function == function;
    }
    return n;
}

}  // namespace

TEST_F(PortLifecycleTest, PluggedDeviceIsConfiguredAndKeepsTwoReadsQueued)
{
    int number = 0;
    uint32_t id = PlugPort(&number);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(bus.WaitStarted(id));
    EXPECT_TRUE(IsStartSequence(bus.UrbLog(id)));
    EXPECT_EQ(bus.Query(id).PendingIn, 2u);
}

TEST_F(PortLifecycleTest, PortAdmitsOneOpenerAtATime)
{
    int number = 0;
    ASSERT_NE(PlugPort(&number), 0u);
    DWORD error = 0;
    HANDLE first = OpenPort(number, false, &error);
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << error;
    HANDLE second = OpenPort(number, false, &error);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(first);
    HANDLE again = OpenPort(number, false, &error);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << error;
    CloseHandle(again);
}

TEST_F(PortLifecycleTest, DeviceNumbersOnlyCountUp)
{
    vbusreq::PlugOptions a;
    a.serial = u"A";
    vbusreq::PlugOptions b;
    b.serial = u"B";
    vbusreq::PlugOptions c;
    c.serial = u"C";
    int first = 0;
    int second = 0;
    int third = 0;
    uint32_t idA = PlugPort(&first, a);
    uint32_t idB = PlugPort(&second, b);
    ASSERT_NE(idA, 0u);
    ASSERT_NE(idB, 0u);
    EXPECT_GT(second, first);
    ASSERT_TRUE(bus.Unplug(idA));
    ASSERT_TRUE(bus.Unplug(idB));
    ASSERT_TRUE(bus.WaitRemoved(idA));
    ASSERT_TRUE(bus.WaitRemoved(idB));
    ASSERT_NE(PlugPort(&third, c), 0u);
    EXPECT_GT(third, second);
    DWORD error = 0;
    EXPECT_TRUE(Eventually([&] {
        HANDLE h = OpenPort(first, false, &error);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
        return error == ERROR_FILE_NOT_FOUND;
    }));
}

TEST_F(PortLifecycleTest, YankedPortEndsPendingIoAndDisappears)
{
    int number = 0;
    uint32_t id = PlugPort(&number);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(bus.WaitStarted(id));
    HANDLE port = OpenPort(number, true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    uint8_t buffer[16];
    OVERLAPPED read = {};
    read.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), NULL, &read));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    ASSERT_TRUE(bus.Yank(id));
    // The read ends when the last handle closes (cleanup flushes it) or at removal.
    CloseHandle(port);
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 10000), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &read, &bytes, FALSE));
    CloseHandle(read.hEvent);
    EXPECT_TRUE(bus.WaitRemoved(id));
    // The bus sees the removal before the function device is deleted above it.
    EXPECT_TRUE(Eventually([&] {
        HANDLE h = OpenPort(number);
        if (h == INVALID_HANDLE_VALUE) {
            return true;
        }
        CloseHandle(h);
        return false;
    }));
}

TEST_F(PortLifecycleTest, DeviceDeclaringMissingInterfacesGetsNoReaders)
{
    vbusreq::PlugOptions odd;
    odd.config = usbdesc::Config()
                     .Interface(0, 2)
                     .Endpoint(0x81, usbdesc::kInterrupt, 16)
                     .Endpoint(0x02, usbdesc::kInterrupt, 64)
                     .Build(-1, 3);
    int number = 0;
    uint32_t id = PlugPort(&number, odd);
    ASSERT_NE(id, 0u);
    std::vector<VBUS_URB_LOG_ENTRY> log = bus.UrbLog(id);
    EXPECT_EQ(CountFunction(log, usbdesc::kUrbSelectConfiguration), 0);
    EXPECT_EQ(bus.Query(id).PendingIn, 0u);
}

TEST_F(PortLifecycleTest, InterfacesWithAGapAreSelectedTogether)
{
    vbusreq::PlugOptions gap;
    gap.config = usbdesc::Config()
                     .Interface(0, 2)
                     .Endpoint(0x81, usbdesc::kInterrupt, 16)
                     .Endpoint(0x02, usbdesc::kInterrupt, 64)
                     .Interface(2, 1)
                     .Endpoint(0x83, usbdesc::kBulk, 64)
                     .Build();
    int number = 0;
    uint32_t id = PlugPort(&number, gap);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(bus.WaitStarted(id));
    EXPECT_EQ(CountFunction(bus.UrbLog(id), usbdesc::kUrbSelectConfiguration), 1);
}

// A program that opens a port the moment it appears and writes at once is
// never refused because the port's start had not finished.
TEST_F(PortLifecycleTest, WriteTheMomentThePortOpensSucceeds)
{
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        int before = NewestPort(1);
        vbusreq::PlugOptions options;
        options.serial = std::u16string(u"W") + (char16_t)(u'0' + round);
        uint32_t id = bus.Plug(options);
        ASSERT_NE(id, 0u);
        int number = NewPortAfter(before);
        ASSERT_NE(number, 0);
        HANDLE port = OpenPort(number);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        std::vector<uint8_t> data(200);
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = (uint8_t)(i + round);
        }
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(port, data.data(), (DWORD)data.size(), &written, NULL)) << GetLastError();
        EXPECT_EQ(written, 200u);
        CloseHandle(port);
        vbusreq::Bytes sent;
        EXPECT_TRUE(Eventually([&] {
            vbusreq::Bytes more = bus.ReadOut(id, VBUS_READ_PAYLOAD);
            sent.insert(sent.end(), more.begin(), more.end());
            return sent.size() >= data.size();
        }));
        EXPECT_EQ(sent, data);
        ASSERT_TRUE(bus.Unplug(id));
        ASSERT_TRUE(bus.WaitRemoved(id));
    }
}
