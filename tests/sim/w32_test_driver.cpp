// The Win32 layer's test driver (see w32_test_driver.h).
#include "w32_test_driver.h"

#include <internal.h>

#include <deque>
#include <mutex>

namespace w32_test {
namespace {

// Guards the state below; never held while completing an IRP.
std::mutex g_lock;
Options g_options;
PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
std::vector<std::string> g_log;
std::vector<std::string> g_serialLog;
std::string g_readData;
std::string g_written;
std::deque<PIRP> g_held;
USHORT g_share = 0;
std::vector<void*> g_createFiles;
std::vector<void*> g_requestFiles;
PortState g_port;

UNICODE_STRING Name(const wchar_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Log(const std::string& what)
{
    std::lock_guard<std::mutex> l(g_lock);
    g_log.push_back(what);
}

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool mine = false;
    {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto it = g_held.begin(); it != g_held.end(); ++it)
            if (*it == irp) {
                g_held.erase(it);
                mine = true;
                break;
            }
    }
    if (mine)
        Complete(irp, STATUS_CANCELLED);
}

NTSTATUS Hold(PIRP irp)
{
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_held.push_back(irp);
    }
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto it = g_held.begin(); it != g_held.end(); ++it)
            if (*it == irp) {
                g_held.erase(it);
                break;
            }
    } else {
        return STATUS_PENDING;
    }
    Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

// Takes the oldest held IRP (matching `file` when given) whose cancel routine
// has not started.
PIRP TakeHeld(PFILE_OBJECT file = nullptr)
{
    std::lock_guard<std::mutex> l(g_lock);
    for (auto it = g_held.begin(); it != g_held.end(); ++it) {
        PIRP irp = *it;
        if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file)
            continue;
        if (!IoSetCancelRoutine(irp, nullptr))
            continue;  // being cancelled
        g_held.erase(it);
        return irp;
    }
    return nullptr;
}

ULONG_PTR FillOutput(PIRP irp, const std::string& data)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG room =
        s->MajorFunction == IRP_MJ_READ ? s->Parameters.Read.Length : s->Parameters.DeviceIoControl.OutputBufferLength;
    size_t n = std::min<size_t>(room, data.size());
    if (n)
        memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), n);
    return n;
}

const char* SerialName(ULONG code)
{
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return "SET_BAUD_RATE";
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return "GET_BAUD_RATE";
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return "SET_LINE_CONTROL";
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return "GET_LINE_CONTROL";
    case IOCTL_SERIAL_SET_CHARS:
        return "SET_CHARS";
    case IOCTL_SERIAL_GET_CHARS:
        return "GET_CHARS";
    case IOCTL_SERIAL_SET_HANDFLOW:
        return "SET_HANDFLOW";
    case IOCTL_SERIAL_GET_HANDFLOW:
        return "GET_HANDFLOW";
    case IOCTL_SERIAL_SET_RTS:
        return "SET_RTS";
    case IOCTL_SERIAL_CLR_RTS:
        return "CLR_RTS";
    case IOCTL_SERIAL_SET_DTR:
        return "SET_DTR";
    case IOCTL_SERIAL_CLR_DTR:
        return "CLR_DTR";
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return "SET_TIMEOUTS";
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return "GET_TIMEOUTS";
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return "SET_WAIT_MASK";
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return "GET_WAIT_MASK";
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return "WAIT_ON_MASK";
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return "GET_COMMSTATUS";
    case IOCTL_SERIAL_GET_PROPERTIES:
        return "GET_PROPERTIES";
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return "GET_MODEMSTATUS";
    case IOCTL_SERIAL_PURGE:
        return "PURGE";
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return "SET_QUEUE_SIZE";
    case IOCTL_SERIAL_SET_XOFF:
        return "SET_XOFF";
    case IOCTL_SERIAL_SET_XON:
        return "SET_XON";
    case IOCTL_SERIAL_RESET_DEVICE:
        return "RESET_DEVICE";
    case IOCTL_SERIAL_SET_BREAK_ON:
        return "SET_BREAK_ON";
    case IOCTL_SERIAL_SET_BREAK_OFF:
        return "SET_BREAK_OFF";
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return "IMMEDIATE_CHAR";
    default:
        return nullptr;
    }
}

// Serial controls: GETs copy a record out, SETs copy one in.
NTSTATUS Serial(PIRP irp, ULONG code)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    void* buf = irp->AssociatedIrp.SystemBuffer;
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_log.push_back(SerialName(code));
        g_serialLog.push_back(SerialName(code));
    }
    if (code == IOCTL_SERIAL_WAIT_ON_MASK)
        return Hold(irp);
    std::unique_lock<std::mutex> l(g_lock);
    if (code == g_port.failCode) {
        l.unlock();
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    auto get = [&](const void* record, ULONG size) -> NTSTATUS {
        if (out < size)
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(buf, record, size);
        irp->IoStatus.Information = size;
        return STATUS_SUCCESS;
    };
    auto set = [&](void* record, ULONG size) -> NTSTATUS {
        if (in < size)
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(record, buf, size);
        return STATUS_SUCCESS;
    };
    irp->IoStatus.Information = 0;
    NTSTATUS st = STATUS_SUCCESS;
    PortState& p = g_port;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        st = set(&p.baud, sizeof p.baud);
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        st = get(&p.baud, sizeof p.baud);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        st = set(&p.line, sizeof p.line);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        st = get(&p.line, sizeof p.line);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        st = set(&p.chars, sizeof p.chars);
        break;
    case IOCTL_SERIAL_GET_CHARS:
        st = get(&p.chars, sizeof p.chars);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        st = set(&p.handflow, sizeof p.handflow);
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        st = get(&p.handflow, sizeof p.handflow);
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        st = set(&p.timeouts, sizeof p.timeouts);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        st = get(&p.timeouts, sizeof p.timeouts);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        st = set(&p.waitMask, sizeof p.waitMask);
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        st = get(&p.waitMask, sizeof p.waitMask);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        st = get(&p.status, sizeof p.status);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        st = get(&p.modemStatus, sizeof p.modemStatus);
        break;
    case IOCTL_SERIAL_PURGE:
        st = set(&p.purged, sizeof p.purged);
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        st = set(&p.queue, sizeof p.queue);
        break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        st = set(&p.immediate, sizeof p.immediate);
        break;
    case IOCTL_SERIAL_GET_PROPERTIES: {
        SERIAL_COMMPROP prop{};
        prop.PacketLength = sizeof prop;
        prop.PacketVersion = 2;
        prop.ServiceMask = SERIAL_SP_SERIALCOMM;
        prop.MaxBaud = SERIAL_BAUD_USER;
        prop.ProvSubType = SERIAL_SP_RS232;
        prop.SettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
        prop.CurrentRxQueue = p.queue.InSize;
        st = get(&prop, sizeof prop);
        break;
    }
    default:
        break;  // line-state controls carry no data
    }
    l.unlock();
    return Complete(irp, st, irp->IoStatus.Information);
}

NTSTATUS Echo(PIRP irp, ULONG code)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    const char* src;
    char* dst;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        src = dst = (char*)irp->AssociatedIrp.SystemBuffer;
        break;
    case METHOD_NEITHER:
        src = (const char*)s->Parameters.DeviceIoControl.Type3InputBuffer;
        dst = (char*)irp->UserBuffer;
        break;
    default:  // direct: input buffered, output through the caller's (mapped) buffer
        src = (const char*)irp->AssociatedIrp.SystemBuffer;
        dst = (char*)irp->UserBuffer;
        break;
    }
    std::string input(src, in);
    ULONG n = std::min(in, out);
    for (ULONG i = 0; i < n; ++i)
        dst[i] = input[in - 1 - i];
    return Complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> l(g_lock);
        (s->MajorFunction == IRP_MJ_CREATE ? g_createFiles : g_requestFiles).push_back(s->FileObject);
    }
    switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
        Log("CREATE");
        {
            std::lock_guard<std::mutex> l(g_lock);
            g_share = s->Parameters.Create.ShareAccess;
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP: {
        Log("CLEANUP");
        PFILE_OBJECT file = s->FileObject;
        if (g_options.cleanupCancelsReads)
            while (PIRP held = TakeHeld(file))
                Complete(held, STATUS_CANCELLED);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE:
        Log("CLOSE");
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_READ: {
        Log("READ");
        std::unique_lock<std::mutex> l(g_lock);
        if (g_readData.empty()) {
            l.unlock();
            return Hold(irp);
        }
        std::string data = g_readData;
        l.unlock();
        ULONG_PTR n = FillOutput(irp, data);
        {
            std::lock_guard<std::mutex> l2(g_lock);
            g_readData.erase(0, n);
        }
        return Complete(irp, STATUS_SUCCESS, n);
    }
    case IRP_MJ_WRITE: {
        Log("WRITE");
        ULONG n = s->Parameters.Write.Length;
        {
            std::lock_guard<std::mutex> l(g_lock);
            g_written.append((const char*)irp->AssociatedIrp.SystemBuffer, n);
        }
        return Complete(irp, STATUS_SUCCESS, n);
    }
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
        if (SerialName(code))
            return Serial(irp, code);
        if (code == kHold) {
            Log("HOLD");
            return Hold(irp);
        }
        if (code == kStatus) {
            Log("STATUS");
            NTSTATUS st = *(NTSTATUS*)irp->AssociatedIrp.SystemBuffer;
            return Complete(irp, st, s->Parameters.DeviceIoControl.OutputBufferLength);
        }
        Log("ECHO");
        return Echo(irp, code);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID Unload(PDRIVER_OBJECT)
{
    UNICODE_STRING link = Name(L"\\DosDevices\\Global\\TESTDEV");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = Dispatch;
    driver->DriverUnload = Unload;
    UNICODE_STRING name = Name(L"\\Device\\W32Test");
    NTSTATUS st = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, g_options.exclusive, &g_device);
    if (!NT_SUCCESS(st))
        return st;
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link = Name(L"\\DosDevices\\Global\\TESTDEV");
    return IoCreateSymbolicLink(&link, &name);
}

}  // namespace

void Load(const Options& options)
{
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_options = options;
        g_log.clear();
        g_serialLog.clear();
        g_readData.clear();
        g_written.clear();
        g_held.clear();
        g_createFiles.clear();
        g_requestFiles.clear();
        g_port = PortState();
    }
    g_driver = sim::LoadDriver(L"w32test", Entry);
    ASSERT_NE(g_driver, nullptr);
}

void Unload()
{
    if (g_driver)
        sim::UnloadDriver(g_driver);
    g_driver = nullptr;
}

std::vector<std::string> Log()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_log;
}

void ClearLog()
{
    std::lock_guard<std::mutex> l(g_lock);
    g_log.clear();
    g_serialLog.clear();
}

std::vector<std::string> SerialLog()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_serialLog;
}

USHORT LastShareAccess()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_share;
}

void QueueReadData(const std::string& data)
{
    std::lock_guard<std::mutex> l(g_lock);
    g_readData += data;
}

std::string Written()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_written;
}

std::vector<void*> CreateFileObjects()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_createFiles;
}

std::vector<void*> RequestFileObjects()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_requestFiles;
}

size_t HeldCount()
{
    std::lock_guard<std::mutex> l(g_lock);
    return g_held.size();
}

bool CompleteHeld(NTSTATUS status, const std::string& data)
{
    PIRP irp = TakeHeld();
    if (!irp)
        return false;
    ULONG_PTR n = NT_SUCCESS(status) ? FillOutput(irp, data) : 0;
    Complete(irp, status, n);
    return true;
}

void CompleteWaitMask(ULONG events)
{
    CompleteHeld(STATUS_SUCCESS, std::string((const char*)&events, sizeof events));
}

PortState& Port()
{
    return g_port;
}

}  // namespace w32_test
