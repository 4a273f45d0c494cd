// Events, waits, Sleep, the tick count and thread/process ids. Win32 events
// are kernel events: an unnamed one belongs to its handle; a named one is the
// namespace object \BaseNamedObjects\<name> that drivers reach with
// IoCreateNotificationEvent/IoCreateSynchronizationEvent. Waits are kernel
// waits at PASSIVE_LEVEL, so they follow the machine's clock (manual time too).
#include "w32_internal.h"

#include <thread>

namespace sim {
namespace w32 {
namespace {

std::u16string EventPath(const std::u16string& name)
{
    // One session: the Global\ and Local\ prefixes name the same directory.
    std::u16string n = name;
    for (const char16_t* prefix : {u"Global\\", u"Local\\"}) {
        std::u16string p(prefix);
        if (n.compare(0, p.size(), p) == 0)
            n = n.substr(p.size());
    }
    return u"\\BaseNamedObjects\\" + n;
}

bool NamedObjectExists(const std::u16string& path, bool* isEvent)
{
    io::Guard lock(io::Lock());
    std::u16string key;
    if (!NT_SUCCESS(io::ResolveLocked(path, true, &key)))
        return false;
    io::NsEntry* e = io::FindEntryLocked(key);
    *isEvent = e && e->kind == io::NsKind::Event;
    return e != nullptr;
}

HANDLE OpenNamed(const std::u16string& name, bool create, BOOL manualReset, BOOL initialState)
{
    std::u16string path = EventPath(name);
    bool isEvent = false;
    bool existed = NamedObjectExists(path, &isEvent);
    if (existed && !isEvent) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!existed && !create) {
        Fail(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    auto e = std::make_shared<EventObj>();
    UNICODE_STRING us;
    us.Buffer = (PWSTR)path.c_str();
    us.Length = us.MaximumLength = (USHORT)(path.size() * sizeof(WCHAR));
    e->event = manualReset ? IoCreateNotificationEvent(&us, &e->kernelHandle)
                           : IoCreateSynchronizationEvent(&us, &e->kernelHandle);
    if (!e->event) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!existed && !initialState)
        KeClearEvent(e->event);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return InsertHandle(e);
}

HANDLE CreateEventCommon(BOOL manualReset, BOOL initialState, const std::u16string* name)
{
    Enter("CreateEvent");
    if (name && !name->empty())
        return OpenNamed(*name, true, manualReset, initialState);
    auto e = std::make_shared<EventObj>();
    KeInitializeEvent(&e->own, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    e->event = &e->own;
    SetLastError(NO_ERROR);
    return InsertHandle(e);
}

// The dispatcher object a wait on `h` waits on: an event, or a device
// handle's own event (signalled by its requests that carry no event).
PKEVENT WaitableEvent(HANDLE h, std::vector<std::shared_ptr<Object>>* keep)
{
    auto o = LookupHandle(h);
    if (!o)
        return nullptr;
    keep->push_back(o);
    if (o->type == ObjType::Event)
        return static_cast<EventObj*>(o.get())->event;
    if (o->type == ObjType::File)
        return &static_cast<FileObj*>(o.get())->event;
    return nullptr;
}

DWORD Wait(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> keep;
    PVOID objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = WaitableEvent(handles[i], &keep);
        if (!objects[i]) {
            Fail(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)ms * 10000;
    // Storage for the wait blocks beyond the thread's built-in three.
    alignas(16) static thread_local unsigned char waitBlocks[MAXIMUM_WAIT_OBJECTS * 48];
    NTSTATUS st = KeWaitForMultipleObjects(count, objects, waitAll ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
                                           ms == INFINITE ? nullptr : &timeout, waitBlocks);
    if (st == STATUS_TIMEOUT)
        return WAIT_TIMEOUT;
    if (st >= STATUS_WAIT_0 && st < STATUS_WAIT_0 + (NTSTATUS)count)
        return WAIT_OBJECT_0 + (DWORD)st;
    FailStatus(st);
    return WAIT_FAILED;
}

}  // namespace
}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName)
{
    std::u16string name = w32::FromWide(lpName);
    return w32::CreateEventCommon(bManualReset, bInitialState, lpName ? &name : nullptr);
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName)
{
    std::u16string name = w32::FromAnsi(lpName);
    return w32::CreateEventCommon(bManualReset, bInitialState, lpName ? &name : nullptr);
}

extern "C" HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    w32::Enter("OpenEventW");
    if (!lpName) {
        w32::Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return w32::OpenNamed(w32::FromWide(lpName), false, TRUE, FALSE);
}

extern "C" HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name = w32::FromAnsi(lpName);
    return OpenEventW(dwDesiredAccess, bInheritHandle, lpName ? W(name) : nullptr);
}

extern "C" BOOL SetEvent(HANDLE hEvent)
{
    w32::Enter("SetEvent");
    auto e = w32::LookupEvent(hEvent);
    if (!e)
        return w32::Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(e->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE hEvent)
{
    w32::Enter("ResetEvent");
    auto e = w32::LookupEvent(hEvent);
    if (!e)
        return w32::Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(e->event);
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    w32::Enter("WaitForSingleObject");
    return w32::Wait(1, &hHandle, FALSE, dwMilliseconds);
}

extern "C" DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    w32::Enter("WaitForMultipleObjects");
    return w32::Wait(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

extern "C" void Sleep(DWORD dwMilliseconds)
{
    w32::Enter("Sleep");
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)dwMilliseconds * 10000;
    KeDelayExecutionThread(UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &interval);
}

extern "C" ULONGLONG GetTickCount64(void)
{
    return InterruptTime() / 10000;
}
extern "C" DWORD GetTickCount(void)
{
    return (DWORD)GetTickCount64();
}
extern "C" DWORD GetCurrentThreadId(void)
{
    return (DWORD)(ULONG_PTR)PsGetCurrentThreadId();
}
extern "C" DWORD GetCurrentProcessId(void)
{
    return (DWORD)(ULONG_PTR)PsGetCurrentProcessId();
}
