// ReadFile, WriteFile and DeviceIoControl as the I/O manager serves them for
// a user-mode caller: one IRP per call aimed at the top of the device's stack
// with the handle's file object, buffers laid out by the device's flags or the
// control code's method (io::SetupBuffersLocked). The IRP's UserIosb is the
// caller's OVERLAPPED (Internal = status, InternalHigh = bytes) and its
// UserEvent the caller's event, or the file's own event when there is none,
// so completion on whatever thread finishes the IRP signals the waiter as
// Windows does. A synchronous handle waits for completion, one request at a
// time.
#include "w32_internal.h"

#include <thread>

namespace sim {
namespace w32 {
namespace {

// Every request sent and not finished yet, whatever its handle became: what
// the I/O manager keeps on each thread's IRP list.
std::mutex g_inFlightLock;
std::vector<std::shared_ptr<Request>> g_inFlight;

void OnRequestDone(void* context)
{
    auto* holder = static_cast<std::shared_ptr<Request>*>(context);
    std::shared_ptr<Request> request = std::move(*holder);
    delete holder;
    {
        std::lock_guard<std::mutex> lock(g_inFlightLock);
        for (auto it = g_inFlight.begin(); it != g_inFlight.end(); ++it)
            if (*it == request) {
                g_inFlight.erase(it);
                break;
            }
    }
    RequestFinished(request->file, request);
    request->finished = true;
}

// Sends the request; returns what the dispatch routine returned.
NTSTATUS Start(const std::shared_ptr<Request>& request, UCHAR major, ULONG code, const void* in, ULONG inLength,
               void* out, ULONG outLength, LONGLONG offset, PIO_STATUS_BLOCK iosb, PKEVENT event)
{
    FileObj& file = *request->file;
    PDEVICE_OBJECT top;
    PIRP irp;
    {
        io::Guard lock(io::Lock());
        PDEVICE_OBJECT device = file.fo->DeviceObject;
        // A deleted device still referenced by the file object gets the
        // request, as on Windows: its driver must refuse it.
        if (!io::IsDeviceLocked(device))
            return STATUS_NO_SUCH_DEVICE;
        top = io::TopOfStackLocked(device);
        io::ReferenceLocked(top);
        irp = io::AllocateIrpLocked(top->StackSize, io::IrpOwner::IoManager, "NtDeviceIoControlFile");
        request->rec = io::FindIrpLocked(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = file.fo;
        if (major == IRP_MJ_DEVICE_CONTROL)
            next->Parameters.DeviceIoControl.IoControlCode = code;
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = file.fo;
        irp->Tail.Overlay.Thread = (PVOID)(ULONG_PTR)request->thread;
        irp->UserIosb = iosb;
        irp->UserEvent = event;
        io::SetupBuffersLocked(*request->rec, next, top->Flags, in, inLength, out, outLength);
        if (major == IRP_MJ_READ || major == IRP_MJ_WRITE)
            next->Parameters.Read.ByteOffset.QuadPart = offset;
        request->rec->onDone = OnRequestDone;
        request->rec->onDoneContext = new std::shared_ptr<Request>(request);
        std::lock_guard<std::mutex> fl(file.m);
        file.pending.push_back(request);
        std::lock_guard<std::mutex> inFlight(g_inFlightLock);
        g_inFlight.push_back(request);
    }
    NTSTATUS st = IofCallDriver(top, irp);
    io::Dereference(top, "NtDeviceIoControlFile");
    return st;
}

}  // namespace

std::vector<std::shared_ptr<Request>> PendingRequestsOf(DWORD thread)
{
    std::vector<std::shared_ptr<Request>> mine;
    std::lock_guard<std::mutex> lock(g_inFlightLock);
    for (auto& r : g_inFlight)
        if (r->thread == thread)
            mine.push_back(r);
    return mine;
}

NTSTATUS Transact(const std::shared_ptr<FileObj>& file, UCHAR major, ULONG code, const void* in, ULONG inLength,
                  void* out, ULONG outLength, LONGLONG offset, ULONG_PTR* information)
{
    std::unique_lock<std::mutex> serial(file->syncIo, std::defer_lock);
    if (!file->overlapped)
        serial.lock();
    auto request = std::make_shared<Request>();
    request->file = file;
    request->thread = GetCurrentThreadId();
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    NTSTATUS st = Start(request, major, code, in, inLength, out, outLength, offset, &request->iosb, &request->done);
    *information = 0;
    if (!request->rec)
        return st;  // never sent
    KeWaitForSingleObject(&request->done, UserRequest, UserMode, FALSE, nullptr);
    // The event is set just before the completing thread takes the request
    // off the pending list: a moment's wait, never a blocking one.
    while (!request->finished)
        std::this_thread::yield();
    *information = request->iosb.Information;
    return request->iosb.Status;
}

namespace {

// The common body of ReadFile, WriteFile and DeviceIoControl.
BOOL DoIo(const char* routine, HANDLE h, UCHAR major, ULONG code, const void* in, ULONG inLength, void* out,
          ULONG outLength, LPDWORD bytes, LPOVERLAPPED overlapped)
{
    Enter(routine);
    auto file = LookupFile(h);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    if (bytes)
        *bytes = 0;
    // The I/O manager probes the caller's buffers before any driver sees the
    // request (a METHOD_NEITHER control request excepted: its driver gets the
    // pointers as they are): a NULL buffer with a length is no user memory.
    bool probed = major != IRP_MJ_DEVICE_CONTROL || METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER;
    if (probed && ((!in && inLength) || (!out && outLength)))
        return FailStatus(STATUS_ACCESS_VIOLATION);
    LONGLONG offset = overlapped ? ((LONGLONG)overlapped->OffsetHigh << 32 | overlapped->Offset) : 0;
    auto request = std::make_shared<Request>();
    request->file = file;
    request->thread = GetCurrentThreadId();
    if (file->overlapped) {
        if (!overlapped)
            return Fail(ERROR_INVALID_PARAMETER);
        PKEVENT event = &file->event;
        if (overlapped->hEvent) {
            auto e = LookupEvent(overlapped->hEvent);
            if (!e)
                return Fail(ERROR_INVALID_HANDLE);
            event = e->event;
            request->userEvent = e;
        }
        KeClearEvent(event);
        request->overlapped = overlapped;
        __atomic_store_n(&overlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_SEQ_CST);
        overlapped->InternalHigh = 0;
        NTSTATUS st = Start(request, major, code, in, inLength, out, outLength, offset,
                            reinterpret_cast<PIO_STATUS_BLOCK>(overlapped), event);
        if (!request->rec)
            overlapped->Internal = (ULONG_PTR)(ULONG)st;  // never sent
        if (st == STATUS_PENDING)
            return Fail(ERROR_IO_PENDING);
        if (NT_ERROR(st))
            return FailStatus(st);
        if (bytes)
            *bytes = (DWORD)overlapped->InternalHigh;
        if (!NT_SUCCESS(st))
            return FailStatus(st);
        return TRUE;
    }
    ULONG_PTR information = 0;
    NTSTATUS final = Transact(file, major, code, in, inLength, out, outLength, offset, &information);
    if (overlapped) {
        overlapped->Internal = (ULONG_PTR)(ULONG) final;
        overlapped->InternalHigh = information;
    }
    if (NT_ERROR(final))
        return FailStatus(final);
    if (bytes)
        *bytes = (DWORD)information;
    if (!NT_SUCCESS(final))
        return FailStatus(final);
    return TRUE;
}

BOOL Cancel(HANDLE h, bool thisThreadOnly, LPOVERLAPPED overlapped, bool* found)
{
    Enter("CancelIo");
    auto file = LookupFile(h);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    std::vector<std::shared_ptr<Request>> victims;
    DWORD thread = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(file->m);
        for (auto& r : file->pending)
            if ((!thisThreadOnly || r->thread == thread) && (!overlapped || r->overlapped == overlapped))
                victims.push_back(r);
    }
    *found = false;
    for (auto& r : victims) {
        io::CancelRequest(r->rec);
        *found = true;
    }
    return TRUE;
}

}  // namespace

}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped)
{
    return w32::DoIo("ReadFile", hFile, IRP_MJ_READ, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                     lpOverlapped);
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                          LPOVERLAPPED lpOverlapped)
{
    return w32::DoIo("WriteFile", hFile, IRP_MJ_WRITE, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0,
                     lpNumberOfBytesWritten, lpOverlapped);
}

extern "C" BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                LPOVERLAPPED lpOverlapped)
{
    return w32::DoIo("DeviceIoControl", hDevice, IRP_MJ_DEVICE_CONTROL, dwIoControlCode, lpInBuffer, nInBufferSize,
                     lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
}

extern "C" BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                    BOOL bWait)
{
    w32::Enter("GetOverlappedResult");
    auto file = w32::LookupFile(hFile);
    if (!file || !lpOverlapped)
        return w32::Fail(!file ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    auto pending = [&] {
        return (NTSTATUS)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_SEQ_CST) == STATUS_PENDING;
    };
    if (pending()) {
        if (!bWait)
            return w32::Fail(ERROR_IO_INCOMPLETE);
        PKEVENT event = &file->event;
        std::shared_ptr<w32::EventObj> e;
        if (lpOverlapped->hEvent) {
            e = w32::LookupEvent(lpOverlapped->hEvent);
            if (!e)
                return w32::Fail(ERROR_INVALID_HANDLE);
            event = e->event;
        }
        while (pending())
            KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, nullptr);
    }
    NTSTATUS status = (NTSTATUS)lpOverlapped->Internal;
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
    if (!NT_SUCCESS(status))
        return w32::FailStatus(status);
    return TRUE;
}

extern "C" BOOL CancelIo(HANDLE hFile)
{
    bool found;
    return w32::Cancel(hFile, true, nullptr, &found);
}

extern "C" BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    bool found;
    if (!w32::Cancel(hFile, false, lpOverlapped, &found))
        return FALSE;
    return found ? TRUE : w32::Fail(ERROR_NOT_FOUND);
}
