// The communications functions of kernel32, expressed as the serial device
// controls Windows sends for them. Each completes synchronously whatever the
// handle's mode, except WaitCommEvent, which honours an OVERLAPPED.
//
// Request orders (as port monitors record them on Windows):
//   GetCommState  GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS, GET_HANDFLOW
//   SetCommState  the four GETs above (the current state: fields a DCB does
//                 not carry are kept, and a failed SET restores it), then
//                 SET_BAUD_RATE, SET_RTS or CLR_RTS (RTS enabled or disabled;
//                 none for handshake and toggle), SET_DTR or CLR_DTR (DTR
//                 enabled or disabled; none for handshake), SET_LINE_CONTROL,
//                 SET_CHARS, SET_HANDFLOW
//   Get/SetCommTimeouts  GET/SET_TIMEOUTS      Get/SetCommMask  GET/SET_WAIT_MASK
//   WaitCommEvent  WAIT_ON_MASK                ClearCommError   GET_COMMSTATUS
//   GetCommProperties  GET_PROPERTIES          GetCommModemStatus  GET_MODEMSTATUS
//   PurgeComm  PURGE                           SetupComm  SET_QUEUE_SIZE
//   EscapeCommFunction  SET_XOFF, SET_XON, SET_RTS, CLR_RTS, SET_DTR, CLR_DTR,
//                 RESET_DEVICE, SET_BREAK_ON, SET_BREAK_OFF
//   SetCommBreak / ClearCommBreak  SET_BREAK_ON / SET_BREAK_OFF
//   TransmitCommChar  IMMEDIATE_CHAR
// Wine 8 sends SET_BAUD_RATE, SET_LINE_CONTROL, SET_HANDFLOW, SET_CHARS only
// for SetCommState, and GET_HANDFLOW before GET_CHARS for GetCommState.
#include "w32_internal.h"

#include <ntddser.h>

namespace sim {
namespace w32 {
namespace {

struct CommState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

BOOL Control(const std::shared_ptr<FileObj>& file, ULONG code, const void* in, ULONG inLength, void* out,
             ULONG outLength)
{
    ULONG_PTR information;
    NTSTATUS st = Transact(file, IRP_MJ_DEVICE_CONTROL, code, in, inLength, out, outLength, 0, &information);
    return NT_SUCCESS(st) ? TRUE : FailStatus(st);
}

std::shared_ptr<FileObj> CommFile(HANDLE h, const char* routine)
{
    Enter(routine);
    auto file = LookupFile(h);
    if (!file)
        Fail(ERROR_INVALID_HANDLE);
    return file;
}

BOOL ReadState(const std::shared_ptr<FileObj>& f, CommState* s)
{
    return Control(f, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud) &&
           Control(f, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line) &&
           Control(f, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars) &&
           Control(f, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->handflow, sizeof s->handflow);
}

// The DCB's flow-control fields as SERIAL_HANDFLOW bits; bits a DCB cannot
// express (DCD handshake, break-character replacement) keep their old value.
SERIAL_HANDFLOW HandflowFromDcb(const DCB& d, const SERIAL_HANDFLOW& old)
{
    SERIAL_HANDFLOW h{};
    h.ControlHandShake = old.ControlHandShake & SERIAL_DCD_HANDSHAKE;
    if (d.fDtrControl == DTR_CONTROL_ENABLE)
        h.ControlHandShake |= SERIAL_DTR_CONTROL;
    if (d.fDtrControl == DTR_CONTROL_HANDSHAKE)
        h.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
    if (d.fOutxCtsFlow)
        h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (d.fOutxDsrFlow)
        h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (d.fDsrSensitivity)
        h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (d.fAbortOnError)
        h.ControlHandShake |= SERIAL_ERROR_ABORT;
    h.FlowReplace = old.FlowReplace & SERIAL_BREAK_CHAR;
    if (d.fOutX)
        h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (d.fInX)
        h.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (d.fErrorChar)
        h.FlowReplace |= SERIAL_ERROR_CHAR;
    if (d.fNull)
        h.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (d.fTXContinueOnXoff)
        h.FlowReplace |= SERIAL_XOFF_CONTINUE;
    switch (d.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        h.FlowReplace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        h.FlowReplace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        h.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    default:
        break;
    }
    h.XonLimit = d.XonLim;
    h.XoffLimit = d.XoffLim;
    return h;
}

void DcbFromState(const CommState& s, DCB* d)
{
    memset(d, 0, sizeof *d);
    d->DCBlength = sizeof(DCB);
    d->BaudRate = s.baud.BaudRate;
    d->ByteSize = s.line.WordLength;
    d->Parity = s.line.Parity;
    d->StopBits = s.line.StopBits;
    d->fBinary = 1;  // Windows supports binary mode only
    d->fParity = s.line.Parity != NO_PARITY;
    ULONG chs = s.handflow.ControlHandShake, fr = s.handflow.FlowReplace;
    if ((chs & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL)
        d->fDtrControl = DTR_CONTROL_ENABLE;
    if ((chs & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
        d->fDtrControl = DTR_CONTROL_HANDSHAKE;
    d->fOutxCtsFlow = (chs & SERIAL_CTS_HANDSHAKE) != 0;
    d->fOutxDsrFlow = (chs & SERIAL_DSR_HANDSHAKE) != 0;
    d->fDsrSensitivity = (chs & SERIAL_DSR_SENSITIVITY) != 0;
    d->fAbortOnError = (chs & SERIAL_ERROR_ABORT) != 0;
    d->fOutX = (fr & SERIAL_AUTO_TRANSMIT) != 0;
    d->fInX = (fr & SERIAL_AUTO_RECEIVE) != 0;
    d->fErrorChar = (fr & SERIAL_ERROR_CHAR) != 0;
    d->fNull = (fr & SERIAL_NULL_STRIPPING) != 0;
    d->fTXContinueOnXoff = (fr & SERIAL_XOFF_CONTINUE) != 0;
    switch (fr & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        d->fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case SERIAL_RTS_HANDSHAKE:
        d->fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        d->fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        d->fRtsControl = RTS_CONTROL_DISABLE;
        break;
    }
    d->XonLim = (WORD)s.handflow.XonLimit;
    d->XoffLim = (WORD)s.handflow.XoffLimit;
    d->XonChar = (char)s.chars.XonChar;
    d->XoffChar = (char)s.chars.XoffChar;
    d->ErrorChar = (char)s.chars.ErrorChar;
    d->EofChar = (char)s.chars.EofChar;
    d->EvtChar = (char)s.chars.EventChar;
}

BOOL Simple(HANDLE h, const char* routine, ULONG code, const void* in = nullptr, ULONG inLength = 0,
            void* out = nullptr, ULONG outLength = 0)
{
    auto f = CommFile(h, routine);
    return f ? Control(f, code, in, inLength, out, outLength) : FALSE;
}

}  // namespace
}  // namespace w32
}  // namespace sim

using namespace sim;
using sim::w32::Control;

extern "C" BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto f = w32::CommFile(hFile, "GetCommState");
    if (!f)
        return FALSE;
    if (!lpDCB)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    w32::CommState s;
    if (!w32::ReadState(f, &s))
        return FALSE;
    w32::DcbFromState(s, lpDCB);
    return TRUE;
}

extern "C" BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto f = w32::CommFile(hFile, "SetCommState");
    if (!f)
        return FALSE;
    if (!lpDCB)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    w32::CommState old;
    if (!w32::ReadState(f, &old))
        return FALSE;
    const DCB& d = *lpDCB;
    w32::CommState next = old;
    next.baud.BaudRate = d.BaudRate;
    next.line.WordLength = d.ByteSize;
    next.line.Parity = d.Parity;
    next.line.StopBits = d.StopBits;
    next.chars.XonChar = (UCHAR)d.XonChar;
    next.chars.XoffChar = (UCHAR)d.XoffChar;
    next.chars.ErrorChar = (UCHAR)d.ErrorChar;
    next.chars.EofChar = (UCHAR)d.EofChar;
    next.chars.EventChar = (UCHAR)d.EvtChar;
    next.handflow = w32::HandflowFromDcb(d, old.handflow);
    bool ok = Control(f, IOCTL_SERIAL_SET_BAUD_RATE, &next.baud, sizeof next.baud, nullptr, 0);
    if (ok && d.fRtsControl == RTS_CONTROL_ENABLE)
        ok = Control(f, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
    if (ok && d.fRtsControl == RTS_CONTROL_DISABLE)
        ok = Control(f, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0);
    if (ok && d.fDtrControl == DTR_CONTROL_ENABLE)
        ok = Control(f, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
    if (ok && d.fDtrControl == DTR_CONTROL_DISABLE)
        ok = Control(f, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    if (ok)
        ok = Control(f, IOCTL_SERIAL_SET_LINE_CONTROL, &next.line, sizeof next.line, nullptr, 0);
    if (ok)
        ok = Control(f, IOCTL_SERIAL_SET_CHARS, &next.chars, sizeof next.chars, nullptr, 0);
    if (ok)
        ok = Control(f, IOCTL_SERIAL_SET_HANDFLOW, &next.handflow, sizeof next.handflow, nullptr, 0);
    if (ok)
        return TRUE;
    // Put the port back as it was; the caller sees the first failure.
    DWORD error = GetLastError();
    Control(f, IOCTL_SERIAL_SET_BAUD_RATE, &old.baud, sizeof old.baud, nullptr, 0);
    Control(f, IOCTL_SERIAL_SET_LINE_CONTROL, &old.line, sizeof old.line, nullptr, 0);
    Control(f, IOCTL_SERIAL_SET_CHARS, &old.chars, sizeof old.chars, nullptr, 0);
    Control(f, IOCTL_SERIAL_SET_HANDFLOW, &old.handflow, sizeof old.handflow, nullptr, 0);
    return w32::Fail(error);
}

extern "C" BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "same layout");
    if (!lpCommTimeouts)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    return w32::Simple(hFile, "GetCommTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                       sizeof(SERIAL_TIMEOUTS));
}

extern "C" BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    return w32::Simple(hFile, "SetCommTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
}

extern "C" BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (!lpEvtMask)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    return w32::Simple(hFile, "GetCommMask", IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG));
}

extern "C" BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    ULONG mask = dwEvtMask;
    return w32::Simple(hFile, "SetCommMask", IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
}

extern "C" BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    DWORD bytes;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG), &bytes,
                           lpOverlapped);
}

extern "C" BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS s{};
    if (!w32::Simple(hFile, "ClearCommError", IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s))
        return FALSE;
    if (lpErrors) {
        DWORD e = 0;
        if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            e |= CE_RXOVER;
        if (s.Errors & SERIAL_ERROR_OVERRUN)
            e |= CE_OVERRUN;
        if (s.Errors & SERIAL_ERROR_PARITY)
            e |= CE_RXPARITY;
        if (s.Errors & SERIAL_ERROR_FRAMING)
            e |= CE_FRAME;
        if (s.Errors & SERIAL_ERROR_BREAK)
            e |= CE_BREAK;
        *lpErrors = e;
    }
    if (lpStat) {
        memset(lpStat, 0, sizeof *lpStat);
        lpStat->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = s.EofReceived != 0;
        lpStat->fTxim = s.WaitForImmediate != 0;
        lpStat->cbInQue = s.AmountInInQueue;
        lpStat->cbOutQue = s.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "same layout");
    if (!lpCommProp)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    return w32::Simple(hFile, "GetCommProperties", IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp,
                       sizeof(SERIAL_COMMPROP));
}

extern "C" BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    if (!lpModemStat)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    return w32::Simple(hFile, "GetCommModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat,
                       sizeof(ULONG));
}

extern "C" BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    ULONG flags = dwFlags;
    return w32::Simple(hFile, "PurgeComm", IOCTL_SERIAL_PURGE, &flags, sizeof flags);
}

extern "C" BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE q{dwInQueue, dwOutQueue};
    return w32::Simple(hFile, "SetupComm", IOCTL_SERIAL_SET_QUEUE_SIZE, &q, sizeof q);
}

extern "C" BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    static const ULONG codes[] = {0,
                                  IOCTL_SERIAL_SET_XOFF,
                                  IOCTL_SERIAL_SET_XON,
                                  IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS,
                                  IOCTL_SERIAL_SET_DTR,
                                  IOCTL_SERIAL_CLR_DTR,
                                  IOCTL_SERIAL_RESET_DEVICE,
                                  IOCTL_SERIAL_SET_BREAK_ON,
                                  IOCTL_SERIAL_SET_BREAK_OFF};
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        w32::Enter("EscapeCommFunction");
        return w32::Fail(ERROR_INVALID_PARAMETER);
    }
    return w32::Simple(hFile, "EscapeCommFunction", codes[dwFunc]);
}

extern "C" BOOL SetCommBreak(HANDLE hFile)
{
    return w32::Simple(hFile, "SetCommBreak", IOCTL_SERIAL_SET_BREAK_ON);
}

extern "C" BOOL ClearCommBreak(HANDLE hFile)
{
    return w32::Simple(hFile, "ClearCommBreak", IOCTL_SERIAL_SET_BREAK_OFF);
}

extern "C" BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    UCHAR c = (UCHAR)cChar;
    return w32::Simple(hFile, "TransmitCommChar", IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c);
}
