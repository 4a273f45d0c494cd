// The communications functions: the serial controls they send, in Windows'
// order, and the DCB <-> SERIAL_* conversions both ways.
#include "w32_test_driver.h"

#include <thread>

using Seq = std::vector<std::string>;

namespace {

class W32CommTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        w32_test::Load();
        port_ = CreateFileW(L"\\\\.\\TESTDEV", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        w32_test::ClearLog();
    }
    void TearDown() override
    {
        CloseHandle(port_);
        MachineTest::TearDown();
    }
    static DCB SampleDcb()
    {
        DCB d{};
        d.DCBlength = sizeof d;
        d.BaudRate = 115200;
        d.ByteSize = 7;
        d.Parity = EVENPARITY;
        d.StopBits = TWOSTOPBITS;
        d.fBinary = 1;
        d.fOutxCtsFlow = 1;
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_ENABLE;
        d.fOutX = 1;
        d.fNull = 1;
        d.fAbortOnError = 1;
        d.XonLim = 100;
        d.XoffLim = 200;
        d.XonChar = 0x21;
        d.XoffChar = 0x22;
        d.ErrorChar = 0x23;
        d.EofChar = 0x24;
        d.EvtChar = 0x25;
        return d;
    }
    HANDLE port_ = nullptr;
};

TEST_F(W32CommTest, GetCommStateReadsTheFourRecordsInWindowsOrder)
{
    DCB d{};
    ASSERT_TRUE(GetCommState(port_, &d));
    EXPECT_EQ(w32_test::SerialLog(), (Seq{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW"}));
}

TEST_F(W32CommTest, SetCommStateReadsTheStateThenSetsInWindowsOrder)
{
    DCB d = SampleDcb();
    ASSERT_TRUE(SetCommState(port_, &d));
    EXPECT_EQ(w32_test::SerialLog(),
              (Seq{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW", "SET_BAUD_RATE", "SET_RTS",
                   "CLR_DTR", "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW"}));
}

TEST_F(W32CommTest, SetCommStateSendsNoLineControlForHandshakeModes)
{
    DCB d = SampleDcb();
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &d));
    Seq log = w32_test::SerialLog();
    EXPECT_EQ(Seq(log.begin() + 4, log.end()), (Seq{"SET_BAUD_RATE", "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW"}));
    EXPECT_EQ(w32_test::Port().handflow.ControlHandShake & SERIAL_DTR_MASK, (ULONG)SERIAL_DTR_HANDSHAKE);
    EXPECT_EQ(w32_test::Port().handflow.FlowReplace & SERIAL_RTS_MASK, (ULONG)SERIAL_RTS_HANDSHAKE);
}

TEST_F(W32CommTest, SetCommStateConvertsTheDcbIntoSerialRecords)
{
    w32_test::Port().chars.BreakChar = 0x55;
    DCB d = SampleDcb();
    ASSERT_TRUE(SetCommState(port_, &d));
    const w32_test::PortState& p = w32_test::Port();
    EXPECT_EQ(p.baud.BaudRate, 115200u);
    EXPECT_EQ(p.line.WordLength, 7);
    EXPECT_EQ(p.line.Parity, EVEN_PARITY);
    EXPECT_EQ(p.line.StopBits, STOP_BITS_2);
    EXPECT_EQ(p.handflow.ControlHandShake, (ULONG)(SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT));
    EXPECT_EQ(p.handflow.FlowReplace, (ULONG)(SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING | SERIAL_RTS_CONTROL));
    EXPECT_EQ(p.handflow.XonLimit, 100);
    EXPECT_EQ(p.handflow.XoffLimit, 200);
    EXPECT_EQ(p.chars.XonChar, 0x21);
    EXPECT_EQ(p.chars.XoffChar, 0x22);
    EXPECT_EQ(p.chars.ErrorChar, 0x23);
    EXPECT_EQ(p.chars.EofChar, 0x24);
    EXPECT_EQ(p.chars.EventChar, 0x25);
    EXPECT_EQ(p.chars.BreakChar, 0x55);  // not in a DCB: kept
}

TEST_F(W32CommTest, GetCommStateConvertsSerialRecordsIntoTheDcb)
{
    w32_test::PortState& p = w32_test::Port();
    p.baud.BaudRate = 57600;
    p.line = SERIAL_LINE_CONTROL{STOP_BITS_1_5, ODD_PARITY, 5};
    p.handflow = SERIAL_HANDFLOW{
        SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY,
        SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE, 10, 20};
    DCB d{};
    ASSERT_TRUE(GetCommState(port_, &d));
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 57600u);
    EXPECT_EQ(d.ByteSize, 5);
    EXPECT_EQ(d.Parity, ODDPARITY);
    EXPECT_EQ(d.StopBits, ONE5STOPBITS);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fDtrControl, (DWORD)DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(d.fOutxDsrFlow, 1u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fDsrSensitivity, 1u);
    EXPECT_EQ(d.fInX, 1u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fErrorChar, 1u);
    EXPECT_EQ(d.fRtsControl, (DWORD)RTS_CONTROL_TOGGLE);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.XonLim, 10);
    EXPECT_EQ(d.XoffLim, 20);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.EofChar, 0x1A);
}

TEST_F(W32CommTest, DcbSurvivesASetGetRoundTrip)
{
    DCB in = SampleDcb(), out{};
    ASSERT_TRUE(SetCommState(port_, &in));
    ASSERT_TRUE(GetCommState(port_, &out));
    in.fParity = out.fParity;  // not carried by the serial records
    EXPECT_EQ(memcmp(&in, &out, sizeof in), 0);
}

TEST_F(W32CommTest, FailedSetRestoresThePreviousStateAndReportsTheError)
{
    w32_test::Port().failCode = IOCTL_SERIAL_SET_LINE_CONTROL;
    DCB d = SampleDcb();
    EXPECT_FALSE(SetCommState(port_, &d));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(w32_test::Port().baud.BaudRate, 9600u);
    EXPECT_EQ(w32_test::Port().handflow.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
}

TEST_F(W32CommTest, TimeoutsMaskQueueAndPurgeTravelAsTheirRecords)
{
    COMMTIMEOUTS t{1, 2, 3, 4, 5}, back{};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    ASSERT_TRUE(GetCommTimeouts(port_, &back));
    EXPECT_EQ(memcmp(&t, &back, sizeof t), 0);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_CTS));
    ASSERT_TRUE(SetupComm(port_, 4096, 2048));
    EXPECT_EQ(w32_test::Port().queue.InSize, 4096u);
    EXPECT_EQ(w32_test::Port().queue.OutSize, 2048u);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(w32_test::Port().purged, (ULONG)(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT));
    EXPECT_EQ(w32_test::SerialLog(),
              (Seq{"SET_TIMEOUTS", "GET_TIMEOUTS", "SET_WAIT_MASK", "GET_WAIT_MASK", "SET_QUEUE_SIZE", "PURGE"}));
}

TEST_F(W32CommTest, EscapeFunctionsAndBreakSendTheirControls)
{
    for (DWORD f = SETXOFF; f <= CLRBREAK; ++f)
        ASSERT_TRUE(EscapeCommFunction(port_, f)) << f;
    ASSERT_TRUE(SetCommBreak(port_));
    ASSERT_TRUE(ClearCommBreak(port_));
    ASSERT_TRUE(TransmitCommChar(port_, 'Q'));
    EXPECT_EQ(w32_test::Port().immediate, 'Q');
    EXPECT_EQ(w32_test::SerialLog(),
              (Seq{"SET_XOFF", "SET_XON", "SET_RTS", "CLR_RTS", "SET_DTR", "CLR_DTR", "RESET_DEVICE", "SET_BREAK_ON",
                   "SET_BREAK_OFF", "SET_BREAK_ON", "SET_BREAK_OFF", "IMMEDIATE_CHAR"}));
    EXPECT_FALSE(EscapeCommFunction(port_, 42));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(W32CommTest, ClearCommErrorConvertsErrorsAndHoldReasons)
{
    w32_test::PortState& p = w32_test::Port();
    p.status.Errors = SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK;
    p.status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT;
    p.status.AmountInInQueue = 12;
    p.status.AmountInOutQueue = 34;
    p.status.EofReceived = TRUE;
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, (DWORD)(CE_RXOVER | CE_FRAME | CE_BREAK));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fDsrHold, 0u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.cbInQue, 12u);
    EXPECT_EQ(stat.cbOutQue, 34u);
    EXPECT_EQ(w32_test::SerialLog(), (Seq{"GET_COMMSTATUS"}));
}

TEST_F(W32CommTest, PropertiesAndModemStatusComeFromTheDriver)
{
    w32_test::Port().modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DCD;
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_RLSD_ON);
    ASSERT_TRUE(SetupComm(port_, 777, 0));
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(port_, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwCurrentRxQueue, 777u);
    EXPECT_EQ(prop.wSettableData, SERIAL_DATABITS_7 | SERIAL_DATABITS_8);
}

TEST_F(W32CommTest, OverlappedWaitCommEventPendsUntilAnEventArrives)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &events, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    std::thread([] { w32_test::CompleteWaitMask(EV_RXCHAR); }).join();
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov, &n, TRUE));
    EXPECT_EQ(n, sizeof(DWORD));
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);
    EXPECT_EQ(w32_test::SerialLog(), (Seq{"WAIT_ON_MASK"}));
    CloseHandle(ov.hEvent);
}

TEST_F(W32CommTest, CommFunctionsOnANonDeviceHandleFailWithInvalidHandle)
{
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DCB d{};
    EXPECT_FALSE(GetCommState(ev, &d));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(ev);
}

}  // namespace
