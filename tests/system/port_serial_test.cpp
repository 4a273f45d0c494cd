// The port as serial programs use it: the communications API's settings,
// time-outs, events and status, and the driver's own codes, as the I/O
// manager delivers each of them.
#include "port_test.h"

#include <brisklink_ioctl.h>

using namespace systest;

namespace {

class PortSerialTest : public PortTest {
protected:
    // A raw request: the Win32 error and the bytes returned.
    DWORD Control(DWORD code, DWORD in, DWORD out, DWORD* returned = nullptr, void* buffer = nullptr)
    {
        std::vector<uint8_t> scratch(in > out ? in : out);
        if (buffer == nullptr) {
            buffer = scratch.data();
        }
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(m_Port, code, in ? buffer : NULL, in, out ? buffer : NULL, out, NULL, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(m_Port, &ov, &bytes, TRUE);
        } else if (ok) {
            GetOverlappedResult(m_Port, &ov, &bytes, TRUE);
        }
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(ov.hEvent);
        if (returned != nullptr) {
            *returned = bytes;
        }
        return error;
    }
    ULONG Counter(DWORD code)
    {
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(Control(code, 0, sizeof(value), nullptr, &value), (DWORD)ERROR_SUCCESS);
        return value;
    }
    // Starts an overlapped WaitCommEvent; true when it is pending.
    bool StartWait(OVERLAPPED* ov, DWORD* events)
    {
        *ov = {};
        ov->hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        return !WaitCommEvent(m_Port, events, ov) && GetLastError() == ERROR_IO_PENDING;
    }
    // Ends a wait StartWait began: its Win32 error (ERROR_SUCCESS when it succeeded).
    DWORD EndWait(OVERLAPPED* ov, DWORD timeoutMs = 5000)
    {
        if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(m_Port, ov);
        }
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(m_Port, ov, &bytes, TRUE);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(ov->hEvent);
        return error;
    }
};

}  // namespace

TEST_F(PortSerialTest, FreshPortReportsTheDefaultSettings)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(m_Port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0xFF, sizeof(timeouts));
    ASSERT_TRUE(GetCommTimeouts(m_Port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout | timeouts.ReadTotalTimeoutConstant | timeouts.WriteTotalTimeoutConstant,
              0u);
    DWORD mask = 1;
    ASSERT_TRUE(GetCommMask(m_Port, &mask));
    EXPECT_EQ(mask, 0u);
    COMMPROP prop = {};
    ASSERT_TRUE(GetCommProperties(m_Port, &prop));
    EXPECT_EQ(prop.wPacketLength, 64);
    EXPECT_EQ(prop.dwMaxBaud, 0x10000000u);  // any rate
    EXPECT_EQ(prop.dwSettableBaud, 0x1007EFFFu);
    EXPECT_EQ(prop.dwProvCapabilities, 0xFFu);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(m_Port, &modem));
    EXPECT_EQ(modem, (DWORD)(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
}

TEST_F(PortSerialTest, SettingsSurviveCloseAndReopen)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(m_Port, &dcb));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(m_Port, &dcb));
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(m_Port, &timeouts));
    CloseHandle(m_Port);
    m_Port = OpenPort(m_Number, true);
    ASSERT_NE(m_Port, INVALID_HANDLE_VALUE);

    DCB back = {};
    back.DCBlength = sizeof(back);
    ASSERT_TRUE(GetCommState(m_Port, &back));
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    COMMTIMEOUTS got = {};
    ASSERT_TRUE(GetCommTimeouts(m_Port, &got));
    EXPECT_EQ(memcmp(&got, &timeouts, sizeof(got)), 0);
}

// Each code's length rule as a program meets it: exact lengths, the least
// length of the descriptor and the properties, and the codes the port refuses.
TEST_F(PortSerialTest, EachCodeTakesOnlyItsLengths)
{
    struct Case {
        DWORD code, in, out, error, returned;
    } const cases[] = {
        {0x1B0004, 3, 0, ERROR_INVALID_PARAMETER, 0},   // SET_BAUD_RATE, short
        {0x1B0004, 5, 0, ERROR_INVALID_PARAMETER, 0},   // SET_BAUD_RATE, long
        {0x1B0020, 0, 24, ERROR_INVALID_PARAMETER, 0},  // GET_TIMEOUTS, not exactly 20
        {0x1B0020, 0, 20, ERROR_SUCCESS, 20},
        {0x1B0074, 0, 63, ERROR_INSUFFICIENT_BUFFER, 0},  // GET_PROPERTIES
        {0x1B0074, 0, 100, ERROR_SUCCESS, 64},
        {IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR, 0, 17, ERROR_INVALID_PARAMETER, 0},
        {IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR, 0, 40, ERROR_SUCCESS, 18},
        {0x1B0068, 0, 2, ERROR_INSUFFICIENT_BUFFER, 0},  // GET_MODEMSTATUS: never written short
        {0x1B0048, 0, 2, ERROR_INSUFFICIENT_BUFFER, 0},  // WAIT_ON_MASK: likewise
        {0x1B006C, 0, 20, ERROR_SUCCESS, 20},            // GET_COMMSTATUS
        {0x1B0018, 0, 0, ERROR_NOT_SUPPORTED, 0},        // IMMEDIATE_CHAR
        {0x1B002C, 0, 0, ERROR_NOT_SUPPORTED, 0},        // RESET_DEVICE
        {0x1B0070, 0, 0, ERROR_INVALID_PARAMETER, 0},    // XOFF_COUNTER, refused
        {0x1B008C, 0, 64, ERROR_INVALID_PARAMETER, 0},   // GET_STATS, refused
        {0x2A0000, 0, 0, ERROR_INVALID_PARAMETER, 0},    // another device type
    };
    for (const Case& c : cases) {
        DWORD returned = 0xFFFF;
        EXPECT_EQ(Control(c.code, c.in, c.out, &returned), c.error) << std::hex << c.code << " out " << c.out;
        if (c.error == ERROR_SUCCESS) {
            EXPECT_EQ(returned, c.returned) << std::hex << c.code;
        }
    }
    struct {
        ULONG InSize, OutSize;
    } sizes = {0xA00001, 0};
    EXPECT_EQ(Control(0x1B0008, sizeof(sizes), 0, nullptr, &sizes), (DWORD)ERROR_INVALID_PARAMETER);
    sizes.InSize = 0xA00000;
    EXPECT_EQ(Control(0x1B0008, sizeof(sizes), 0, nullptr, &sizes), (DWORD)ERROR_SUCCESS);
}

TEST_F(PortSerialTest, ReadEndsAtItsTimeOutWithTheBytesThatCame)
{
    COMMTIMEOUTS timeouts = {0, 0, 50, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(m_Port, &timeouts));
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(3)));
    DWORD start = GetTickCount();
    EXPECT_EQ(Read(10), Sequence(3));
    EXPECT_GE(GetTickCount() - start, 30u);
    EXPECT_EQ(Counter(IOCTL_VSERIAL_GET_RECV), 3u);
}

TEST_F(PortSerialTest, QueueStatusPurgeAndResize)
{
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(7)));
    COMSTAT stat = {};
    DWORD errors = 0;
    ASSERT_TRUE(Eventually([&] { return ClearCommError(m_Port, &errors, &stat) && stat.cbInQue == 7; }));
    // Nothing is thrown away by a purge: the link has no buffer of its own.
    ASSERT_TRUE(PurgeComm(m_Port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(Read(2), Sequence(2));
    // A new queue size starts an empty ring.
    ASSERT_TRUE(SetupComm(m_Port, 8192, 8192));
    ASSERT_TRUE(ClearCommError(m_Port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(4, 9)));
    EXPECT_EQ(Read(4), Sequence(4, 9));
}

TEST_F(PortSerialTest, CountersAndOpenStateFollowTheTraffic)
{
    ULONG receivedBefore = Counter(IOCTL_VSERIAL_GET_RECV);
    ULONG sentBefore = Counter(IOCTL_VSERIAL_GET_SENT);
    EXPECT_EQ(Counter(IOCTL_VSERIAL_GET_OPEN_STATE), 1u);
    DWORD written = 0;
    ASSERT_EQ(Write(Sequence(10), &written), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(4)));
    EXPECT_EQ(Read(4), Sequence(4));
    EXPECT_EQ(Counter(IOCTL_VSERIAL_GET_SENT) - sentBefore, 10u);
    EXPECT_EQ(Counter(IOCTL_VSERIAL_GET_RECV) - receivedBefore, 4u);
}

// A wait on received characters ends once for each way it can end: bytes
// arriving, the mask cleared, a cancel, and the handle's cleanup.
TEST_F(PortSerialTest, WaitOnReceivedCharactersEndsOnceEachWay)
{
    ASSERT_TRUE(SetCommMask(m_Port, EV_RXCHAR));
    OVERLAPPED ov;
    DWORD events = 0xFF;
    ASSERT_TRUE(StartWait(&ov, &events));
    ULONG received = Counter(IOCTL_VSERIAL_GET_RECV);
    ASSERT_TRUE(bus.Feed(m_Id, Sequence(1)));
    EXPECT_EQ(EndWait(&ov), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);
    EXPECT_EQ(Counter(IOCTL_VSERIAL_GET_RECV), received) << "a wait consumes no byte";
    EXPECT_EQ(Read(1), Sequence(1));

    ASSERT_TRUE(StartWait(&ov, &events));
    ASSERT_TRUE(SetCommMask(m_Port, EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), (DWORD)WAIT_TIMEOUT) << "another non-empty mask keeps it";
    ASSERT_TRUE(SetCommMask(m_Port, 0));
    EXPECT_EQ(EndWait(&ov), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(events, 0u);

    ASSERT_TRUE(SetCommMask(m_Port, EV_RXCHAR));
    ASSERT_TRUE(StartWait(&ov, &events));
    ASSERT_TRUE(CancelIoEx(m_Port, &ov));
    EXPECT_EQ(EndWait(&ov), (DWORD)ERROR_OPERATION_ABORTED);

    // A mask without received characters answers at once, with no event.
    ASSERT_TRUE(SetCommMask(m_Port, EV_TXEMPTY));
    OVERLAPPED now = {};
    now.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    events = 0xFF;
    DWORD bytes = 0;
    BOOL done = WaitCommEvent(m_Port, &events, &now) || GetOverlappedResult(m_Port, &now, &bytes, TRUE);
    EXPECT_TRUE(done);
    EXPECT_EQ(events, 0u);
    CloseHandle(now.hEvent);
}
