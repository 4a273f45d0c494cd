// Bytes through the port: what the device sends comes out of ReadFile, what
// WriteFile is given goes out in the device's packet format.
#include "port_test.h"

using namespace systest;

namespace {

using PortDataTest = PortTest;

class BulkOnlyPortTest : public PortTest {
protected:
    BulkOnlyPortTest() { m_ExpectReaders = false; }
    vbusreq::PlugOptions Options() override
    {
        vbusreq::PlugOptions o;
        o.config = usbdesc::Config()
                       .Interface(0, 2)
                       .Endpoint(0x81, usbdesc::kBulk, 64)
                       .Endpoint(0x02, usbdesc::kBulk, 64)
                       .Build();
        return o;
    }
};

}  // namespace

TEST_F(PortDataTest, BytesTheDeviceSendsAreRead)
{
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(40)));
    EXPECT_EQ(Read(25), Sequence(25));
    EXPECT_EQ(Read(15), Sequence(15, 25));
}

TEST_F(PortDataTest, WriteGoesOutInFullPacketsCountedInByteZero)
{
    DWORD written = 0;
    ASSERT_EQ(Write(Sequence(200), &written), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(written, 200u);
    vbusreq::Bytes raw = bus.ReadOut(m_Id, VBUS_READ_RAW);
    std::vector<int> counts;
    size_t at = 0;
    while (at + sizeof(VBUS_OUT_PACKET) <= raw.size()) {
        VBUS_OUT_PACKET header;
        memcpy(&header, raw.data() + at, sizeof(header));
        at += sizeof(header);
        EXPECT_EQ(header.Length, 64);
        counts.push_back(raw[at]);
        at += header.Length;
    }
    EXPECT_EQ(counts, (std::vector<int>{63, 63, 63, 11}));
    EXPECT_EQ(bus.ReadOut(m_Id, VBUS_READ_PAYLOAD), Sequence(200));
}

TEST_F(PortDataTest, EchoedBytesComeBackThroughTheReadPath)
{
    ASSERT_TRUE(bus.Echo(m_Id, true));
    DWORD written = 0;
    ASSERT_EQ(Write(Sequence(100, 7), &written), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Read(100), Sequence(100, 7));
}

TEST_F(PortDataTest, EmptyWriteAndEmptyReadSucceed)
{
    DWORD written = 99;
    EXPECT_EQ(Write({}, &written), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(written, 0u);
    DWORD error = 0;
    EXPECT_TRUE(Read(0, &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
}

TEST_F(PortDataTest, ReadPendingAtCloseEndsAsNoSuchDevice)
{
    std::vector<uint8_t> buffer(8);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_FALSE(ReadFile(m_Port, buffer.data(), 8, NULL, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    CloseHandle(m_Port);
    m_Port = INVALID_HANDLE_VALUE;
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ((uint32_t)ov.Internal, 0xC000000Eu);  // STATUS_NO_SUCH_DEVICE
    CloseHandle(ov.hEvent);
}

TEST_F(PortDataTest, BytesArrivingWhileClosedAreReadAfterReopening)
{
    CloseHandle(m_Port);
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(5)));
    // Let the readers take them in.
    ASSERT_TRUE(Eventually([&] { return bus.Query(m_Id).QueuedInBytes == 0; }));
    m_Port = OpenPort(m_Number, true);
    ASSERT_NE(m_Port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read(5), Sequence(5));
}

TEST_F(PortDataTest, FailedPacketFailsTheWrite)
{
    ASSERT_TRUE(bus.Fault(vbusreq::Fault(m_Id, VBUS_FAULT_REFUSE_OUT, VBUS_ANY_FUNCTION, VBUS_ANY_ENDPOINT, 2, 1)));
    DWORD written = 0;
    EXPECT_NE(Write(Sequence(200), &written), (DWORD)ERROR_SUCCESS);
    DWORD after = 0;
    EXPECT_EQ(Write(Sequence(10), &after), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(after, 10u);
}

TEST_F(BulkOnlyPortTest, PortWithoutInterruptPipesRefusesWrites)
{
    DWORD written = 0;
    EXPECT_EQ(Write(Sequence(5), &written), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(bus.Query(m_Id).PendingIn, 0u);
}
