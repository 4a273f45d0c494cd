// CreateFile on device names and the life of a device handle. Closing the
// handle sends IRP_MJ_CLEANUP at once (this layer has no handle duplication,
// so the handle is always the file object's last); IRP_MJ_CLOSE follows when
// the last reference to the file object goes: at once when no request of the
// handle is in flight, else when the last one finishes. The I/O manager does
// not cancel those requests: a driver's cleanup routine does.
#include "w32_internal.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace sim {
namespace w32 {
namespace {

// Closes that wait for the last request: completions arrive on any thread at
// any IRQL, and IRP_MJ_CLOSE is sent at PASSIVE_LEVEL, so one thread sends them.
struct Closer {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::shared_ptr<FileObj>> queue;
    bool stop = false;
    std::thread thread;
};
std::mutex g_closerLock;  // guards g_closer (the queue has its own lock)
Closer* g_closer = nullptr;

void SendClose(const std::shared_ptr<FileObj>& file)
{
    io::CloseFileObject(file->fo);
}

void CloserLoop(Closer* c)
{
    SetThreadName("win32-close");
    std::unique_lock<std::mutex> lock(c->m);
    for (;;) {
        c->cv.wait(lock, [&] { return c->stop || !c->queue.empty(); });
        if (c->queue.empty())
            return;
        auto file = c->queue.front();
        c->queue.pop_front();
        lock.unlock();
        SendClose(file);
        file.reset();
        lock.lock();
    }
}

char16_t Up(char16_t c)
{
    return c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c;
}

// Device names: "\\.\NAME" and "\\?\NAME" are NAME in the DOS device
// directory; "\\?\GLOBALROOT\..." and "\\.\GLOBALROOT\..." are kernel paths.
bool KernelPath(const std::u16string& name, std::u16string* path)
{
    auto starts = [&](const char16_t* prefix) {
        std::u16string p(prefix);
        if (name.size() < p.size())
            return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (Up(name[i]) != Up(p[i]))
                return false;
        return true;
    };
    if (starts(u"\\\\?\\GLOBALROOT\\") || starts(u"\\\\.\\GLOBALROOT\\")) {
        *path = name.substr(14);
        return true;
    }
    if (starts(u"\\\\.\\") || starts(u"\\\\?\\")) {
        *path = u"\\??\\" + name.substr(4);
        return name.size() > 4;
    }
    return false;
}

}  // namespace

void FilesStartup()
{
    std::lock_guard<std::mutex> guard(g_closerLock);
    g_closer = new Closer();
    g_closer->thread = std::thread(CloserLoop, g_closer);
}

void FilesShutdown()
{
    Closer* c;
    {
        std::lock_guard<std::mutex> guard(g_closerLock);
        c = g_closer;
        g_closer = nullptr;
    }
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> lock(c->m);
        c->stop = true;
    }
    c->cv.notify_all();
    c->thread.join();  // sends the closes already queued
    delete c;
}

void CloseFileHandle(const std::shared_ptr<FileObj>& file)
{
    io::CleanupFileObject(file->fo);
    bool close;
    {
        std::lock_guard<std::mutex> lock(file->m);
        file->handleClosed = true;
        close = file->pending.empty() && !file->closeSent;
        if (close)
            file->closeSent = true;
    }
    if (close)
        SendClose(file);
}

void RequestFinished(const std::shared_ptr<FileObj>& file, const std::shared_ptr<Request>& request)
{
    bool close = false;
    {
        std::lock_guard<std::mutex> lock(file->m);
        auto& p = file->pending;
        for (auto it = p.begin(); it != p.end(); ++it)
            if (*it == request) {
                p.erase(it);
                break;
            }
        if (file->handleClosed && p.empty() && !file->closeSent)
            close = file->closeSent = true;
    }
    if (!close)
        return;
    {
        std::lock_guard<std::mutex> guard(g_closerLock);
        if (g_closer) {
            std::lock_guard<std::mutex> lock(g_closer->m);
            g_closer->queue.push_back(file);
            g_closer->cv.notify_all();
            return;
        }
    }
    // The machine is stopping (drivers unloading finish the last requests):
    // close here when this thread may send the request.
    if (CurrentIrql() == PASSIVE_LEVEL)
        SendClose(file);
}

EventObj::~EventObj()
{
    if (kernelHandle)
        ZwClose(kernelHandle);
}

}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    w32::Enter("CreateFileW");
    if (!lpFileName || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        w32::Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path;
    if (!w32::KernelPath(w32::FromWide(lpFileName), &path)) {
        // Only device names are served: this machine has no user-mode file system.
        w32::Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status;
    PFILE_OBJECT fo = io::OpenFileObject(path, dwDesiredAccess, (USHORT)dwShareMode, &status);
    if (!fo) {
        w32::FailStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<w32::FileObj>();
    file->fo = fo;
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    KeInitializeEvent(&file->event, NotificationEvent, FALSE);
    SetLastError(NO_ERROR);
    return w32::InsertHandle(file);
}

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (!lpFileName)
        return CreateFileW(nullptr, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                           dwFlagsAndAttributes, hTemplateFile);
    std::u16string name = w32::FromAnsi(lpFileName);
    return CreateFileW(W(name), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}
