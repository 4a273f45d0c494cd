// The serial control interface of the port: the requests kernel32's
// communications functions send (SetCommState, SetCommTimeouts,
// WaitCommEvent and the rest) and the driver's private codes. The link
// carries a plain byte stream, so the line settings are stored and reported
// back and change nothing; what acts is the receive queue size (the ring),
// the time-outs (the read time-out), the wait mask and the private codes.
//
// Every code served is METHOD_BUFFERED: input and output share the system
// buffer, which the I/O manager sizes to the larger of the two lengths (and
// leaves null when both are 0). Each code tests the length it reads or
// writes before it touches the buffer, so a test that passes also proves the
// buffer is there. A request that fails writes nothing and leaves
// IoStatus.Information as the I/O manager set it (0).
#include "brisklink_ioctl.h"
#include "port/SerialDevice.h"

namespace {

// The largest receive queue a program may ask for: 10 MB.
const ULONG kMaxQueueSize = 0xA00000;

// What a modem status query always answers: clear to send, data set ready
// and carrier detect (the link has no modem lines; a program that waits for
// them must not wait for ever). The ring indicator stays clear.
const ULONG kModemStatus = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;

// What GET_PROPERTIES reports. Written as values: the DDK headers do not all
// name every bit.
const ULONG kMaxBaud = 0x10000000;           // SERIAL_BAUD_USER: any rate
const ULONG kProvCapabilities = 0x000000FF;  // DTR/DSR, RTS/CTS, CD, parity check, XON/XOFF,
                                             // settable XON/XOFF, total and interval time-outs
const ULONG kSettableParams = 0x0000007F;    // parity, baud, data bits, stop bits, handshake,
                                             // parity check, carrier detect
const ULONG kSettableBaud = 0x1007EFFF;      // 75 to 9600, 19200 to 57600 and user rates; not 14400
const USHORT kSettableData = 0x000F;         // 5, 6, 7 and 8 data bits
const USHORT kSettableStopParity = 0x1F07;   // 1, 1.5 and 2 stop bits; no, odd, even, mark, space parity
const USHORT kPropertiesVersion = 2;

struct IoctlName {
    ULONG code;
    const char* name;
};

// The trace names of the codes, serial ones in code order. The two private
// codes a control device may send many times a second have none.
const IoctlName kIoctlNames[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE"},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL"},
    {IOCTL_SERIAL_SET_BREAK_ON, "IOCTL_SERIAL_SET_BREAK_ON"},
    {IOCTL_SERIAL_SET_BREAK_OFF, "IOCTL_SERIAL_SET_BREAK_OFF"},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IOCTL_SERIAL_IMMEDIATE_CHAR"},
    {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS"},
    {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS"},
    {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR"},
    {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR"},
    {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE"},
    {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS"},
    {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS"},
    {IOCTL_SERIAL_SET_XOFF, "IOCTL_SERIAL_SET_XOFF"},
    {IOCTL_SERIAL_SET_XON, "IOCTL_SERIAL_SET_XON"},
    {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK"},
    {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK"},
    {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK"},
    {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE"},
    {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE"},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL"},
    {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS"},
    {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS"},
    {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW"},
    {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW"},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS"},
    {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS"},
    {IOCTL_SERIAL_XOFF_COUNTER, "IOCTL_SERIAL_XOFF_COUNTER"},
    {IOCTL_SERIAL_GET_PROPERTIES, "IOCTL_SERIAL_GET_PROPERTIES"},
    {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS"},
    {IOCTL_SERIAL_CONFIG_SIZE, "IOCTL_SERIAL_CONFIG_SIZE"},
    {IOCTL_SERIAL_GET_COMMCONFIG, "IOCTL_SERIAL_GET_COMMCONFIG"},
    {IOCTL_SERIAL_SET_COMMCONFIG, "IOCTL_SERIAL_SET_COMMCONFIG"},
    {IOCTL_SERIAL_GET_STATS, "SERIAL_GET_STATS"},
    {IOCTL_SERIAL_CLEAR_STATS, "IOCTL_SERIAL_CLEAR_STATS"},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, "IOCTL_SERIAL_GET_MODEM_CONTROL"},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, "IOCTL_SERIAL_SET_MODEM_CONTROL"},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, "IOCTL_SERIAL_SET_FIFO_CONTROL"},
    {IOCTL_VSERIAL_GET_RECV, "IOCTL_VSERIAL_GET_RECV"},
    {IOCTL_VSERIAL_GET_SENT, "IOCTL_VSERIAL_GET_SENT"},
    {IOCTL_VSERIAL_SET_PORT_NAME, "IOCTL_VSERIAL_SET_PORT_NAME"},
};

// Copies a `size`-byte record into an output buffer of exactly that size.
NTSTATUS GetExact(PVOID buffer, ULONG outLength, const void* record, ULONG size, ULONG_PTR* information)
{
    if (outLength != size) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(buffer, record, size);
    *information = size;
    return STATUS_SUCCESS;
}

// Stores a `size`-byte input record of exactly that size.
NTSTATUS SetExact(const void* buffer, ULONG inLength, void* record, ULONG size)
{
    if (inLength != size) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(record, buffer, size);
    return STATUS_SUCCESS;
}

}  // namespace

const char* CSerialDevice::GetIoctlName(ULONG Code)
{
    for (ULONG i = 0; i < sizeof(kIoctlNames) / sizeof(kIoctlNames[0]); i++) {
        if (kIoctlNames[i].code == Code) {
            return kIoctlNames[i].name;
        }
    }
    return "";
}

NTSTATUS CSerialDevice::DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    m_IoCounter.Increment();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    Trace(kTraceEntry, "DispatchDevCtrl %s", GetIoctlName(code));

    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG_PTR information = 0;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        status = SetExact(buffer, inLength, &m_BaudRate, sizeof(m_BaudRate));
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        status = GetExact(buffer, outLength, &m_BaudRate, sizeof(m_BaudRate), &information);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        status = SetExact(buffer, inLength, &m_LineControl, sizeof(m_LineControl));
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        status = GetExact(buffer, outLength, &m_LineControl, sizeof(m_LineControl), &information);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        status = SetExact(buffer, inLength, &m_SpecialChars, sizeof(m_SpecialChars));
        break;
    case IOCTL_SERIAL_GET_CHARS:
        status = GetExact(buffer, outLength, &m_SpecialChars, sizeof(m_SpecialChars), &information);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        status = SetExact(buffer, inLength, &m_HandFlow, sizeof(m_HandFlow));
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        status = GetExact(buffer, outLength, &m_HandFlow, sizeof(m_HandFlow), &information);
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        status = SetTimeout(buffer, inLength);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        status = GetExact(buffer, outLength, &m_Timeouts, sizeof(m_Timeouts), &information);
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        status = SetQueueSize(buffer, inLength);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = SetWaitMask(buffer, inLength);
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK: {
        ULONG mask = ReadULongNoFence(&m_WaitMask);
        status = GetExact(buffer, outLength, &mask, sizeof(mask), &information);
        break;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        // The event word needs four bytes; a shorter buffer is never written.
        if (outLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        status = SetWaitOnMask(Irp, buffer);
        if (status == STATUS_PENDING) {
            // The wait keeps its counter unit; whoever ends it gives it back.
            return STATUS_PENDING;
        }
        information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_PURGE:
        // No line to drive and no buffer a purge would be right to empty:
        // bytes in the ring stay readable.
        status = STATUS_SUCCESS;
        break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
        status = STATUS_NOT_SUPPORTED;
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (outLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        *(PULONG)buffer = kModemStatus;
        information = sizeof(ULONG);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        if (outLength == sizeof(SERIAL_STATUS)) {
            Trace(kTraceDetail, "SetComStatus");
            PSERIAL_STATUS commStatus = (PSERIAL_STATUS)buffer;
            RtlZeroMemory(commStatus, sizeof(SERIAL_STATUS));
            commStatus->AmountInInQueue = (ULONG)m_BufferIn.Count();
            information = sizeof(SERIAL_STATUS);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_SERIAL_GET_PROPERTIES:
        status = GetProperties(buffer, outLength);
        if (NT_SUCCESS(status)) {
            information = sizeof(SERIAL_COMMPROP);
        }
        break;
    case IOCTL_VSERIAL_GET_RECV: {
        ULONG received = m_BytesReceived;
        status = GetExact(buffer, outLength, &received, sizeof(received), &information);
        break;
    }
    case IOCTL_VSERIAL_GET_SENT: {
        ULONG sent = m_BytesSent;
        status = GetExact(buffer, outLength, &sent, sizeof(sent), &information);
        break;
    }
    case IOCTL_VSERIAL_GET_OPEN_STATE: {
        ULONG open = m_IsOpen != 0 ? 1 : 0;
        status = GetExact(buffer, outLength, &open, sizeof(open), &information);
        break;
    }
    case IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR:
        if (outLength >= sizeof(USB_DEVICE_DESCRIPTOR)) {
            RtlCopyMemory(buffer, &m_DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
            information = sizeof(USB_DEVICE_DESCRIPTOR);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_VSERIAL_SET_PORT_NAME:
        status = RenamePort();
        break;
    default:
        // Every other code, the serial ones this port does not serve
        // included, is malformed here.
        break;
    }

    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = information;
    }
    CompleteRequest(Irp, status);
    m_IoCounter.Decrement();
    return status;
}

NTSTATUS CSerialDevice::SetQueueSize(PVOID Buffer, ULONG InputLength)
{
    PAGED_CODE();
    if (InputLength != sizeof(SERIAL_QUEUE_SIZE)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The output queue's size is ignored: a write waits for its packets.
    ULONG inSize = ((PSERIAL_QUEUE_SIZE)Buffer)->InSize;
    if (inSize > kMaxQueueSize) {
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN resized;
    {
        // The readers' completions put bytes into the ring under this lock.
        CLockGuard guard(&m_BufferInLock);
        resized = m_BufferIn.SetSize((LONG)inSize);
    }
    if (!resized) {
        // The store could not grow: the ring keeps its store, its size and
        // the bytes it holds, and the program learns that nothing changed.
        Trace(kTraceFailure, "SetQueueSize cannot grow the ring to %u", inSize);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::SetTimeout(PVOID Buffer, ULONG InputLength)
{
    PAGED_CODE();
    if (InputLength != sizeof(SERIAL_TIMEOUTS)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&m_Timeouts, Buffer, sizeof(SERIAL_TIMEOUTS));
    // One total per head request: the constant when there is one, else ten
    // times interval plus multiplier, in 32 bits that wrap. Taken signed, a
    // MAXULONG interval or multiplier comes to a small negative value, which
    // the timer makes about 429.5 seconds. The write time-outs are only kept.
    ULONG total = m_Timeouts.ReadTotalTimeoutConstant;
    if (total == 0) {
        total = (m_Timeouts.ReadIntervalTimeout + m_Timeouts.ReadTotalTimeoutMultiplier) * 10;
    }
    LONG timeout = (LONG)total;
    if (timeout > 0 && timeout < 10) {
        timeout = 20;
    }
    WriteNoFence(&m_ReadTimeout, timeout);
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::GetProperties(PVOID Buffer, ULONG OutputLength)
{
    PAGED_CODE();
    if (OutputLength < sizeof(SERIAL_COMMPROP)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSERIAL_COMMPROP prop = (PSERIAL_COMMPROP)Buffer;
    RtlZeroMemory(prop, sizeof(SERIAL_COMMPROP));
    prop->PacketLength = sizeof(SERIAL_COMMPROP);
    prop->PacketVersion = kPropertiesVersion;
    prop->ServiceMask = SERIAL_SP_SERIALCOMM;
    prop->MaxBaud = kMaxBaud;
    prop->ProvSubType = SERIAL_SP_RS232;
    prop->ProvCapabilities = kProvCapabilities;
    prop->SettableParams = kSettableParams;
    prop->SettableBaud = kSettableBaud;
    prop->SettableData = kSettableData;
    prop->SettableStopParity = kSettableStopParity;
    // What the ring holds now, not its size.
    prop->CurrentRxQueue = (ULONG)m_BufferIn.Count();
    return STATUS_SUCCESS;
}
