// Private state of the simulated machine's Win32 layer (kernel32/advapi32).
// The implementation sees both worlds: the kernel internals it drives and the
// Win32 types it serves. Clients see only <windows.h>.
//
// Handles: one table of user-mode handles per machine (file, event, key and
// device information set objects), separate from the kernel's handle table, as a process's handles
// are on Windows. Values are small multiples of 4 and never reused within a
// machine's life.
#pragma once

#include <atomic>

#include "cm_registry.h"
#include "io_internal.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace w32 {

enum class ObjType { File, Event, Key, DevInfo };

struct Object {
    explicit Object(ObjType t) : type(t) {}
    virtual ~Object() = default;
    const ObjType type;
    DWORD creator = 0;  // the thread that opened the handle: the client that owns it
};

struct Request;

// A handle to a device: one FILE_OBJECT. Cleanup is sent when the handle
// closes; close when, after that, the last request holding the file object
// has finished.
struct FileObj : Object {
    FileObj() : Object(ObjType::File) {}
    PFILE_OBJECT fo = nullptr;
    bool overlapped = false;
    KEVENT event;       // signalled at completion of requests without an event of their own
    std::mutex syncIo;  // serialises the requests of a synchronous handle, as Windows does
    std::mutex m;       // guards the fields below
    std::vector<std::shared_ptr<Request>> pending;
    bool handleClosed = false;
    bool closeSent = false;
};

struct EventObj : Object {
    EventObj() : Object(ObjType::Event) {}
    ~EventObj() override;
    PKEVENT event = nullptr;
    KEVENT own;                     // unnamed events
    HANDLE kernelHandle = nullptr;  // named events: the namespace object's handle
};

struct KeyObj : Object {
    KeyObj() : Object(ObjType::Key) {}
    reg::KeyRef key;
    ACCESS_MASK access = 0;
};

// One read, write or device control in flight.
struct Request {
    std::shared_ptr<FileObj> file;
    std::shared_ptr<io::IrpRecord> rec;
    DWORD thread = 0;
    LPOVERLAPPED overlapped = nullptr;  // null for synchronous requests
    // The caller's event, kept alive until the request has finished: as on
    // Windows, the I/O holds a reference, so closing the handle early is safe.
    std::shared_ptr<EventObj> userEvent;
    IO_STATUS_BLOCK iosb{};  // synchronous requests
    KEVENT done;             // synchronous requests
    // Set once the request has left its file's pending list. A synchronous
    // call returns only then, as on Windows, where the completion has run in
    // the caller's thread: a CloseHandle right after it closes at once.
    std::atomic<bool> finished{false};
};

HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE h);
// The handles `thread` opened, taken out of the table (the caller closes them).
std::vector<std::shared_ptr<Object>> RemoveHandlesOf(DWORD thread);
// Closes a handle already taken out of the table, as CloseHandle does.
void CloseObject(const std::shared_ptr<Object>& object);
std::shared_ptr<FileObj> LookupFile(HANDLE h);
std::shared_ptr<EventObj> LookupEvent(HANDLE h);
std::shared_ptr<Object> RemoveHandle(HANDLE h);

// Every Win32 entry point runs in user mode: PASSIVE_LEVEL on the caller's thread.
void Enter(const char* routine);

// Sets the thread's last error and returns FALSE.
BOOL Fail(DWORD error);
BOOL FailStatus(NTSTATUS status);
DWORD ErrorFromStatus(NTSTATUS status);

// UTF-8 is the ANSI code page.
std::u16string FromAnsi(const char* text);
std::u16string FromWide(const wchar_t* text);
std::string ToAnsi(const std::u16string& text);

// Files (w32_file.cpp): the handle has been removed from the table.
void CloseFileHandle(const std::shared_ptr<FileObj>& file);
// The requests `thread` sent that have not finished yet: the thread's IRP list.
std::vector<std::shared_ptr<Request>> PendingRequestsOf(DWORD thread);
// Called when a request of `file` has finished and been freed.
void RequestFinished(const std::shared_ptr<FileObj>& file, const std::shared_ptr<Request>& request);

// A request answered synchronously whatever the handle's mode (the comm
// functions other than WaitCommEvent do this). Returns the final status.
NTSTATUS Transact(const std::shared_ptr<FileObj>& file, UCHAR major, ULONG code, const void* in, ULONG inLength,
                  void* out, ULONG outLength, LONGLONG offset, ULONG_PTR* information);

void FilesStartup();
void FilesShutdown();

// The process heap (w32_heap.cpp): blocks still allocated at shutdown are reported.
void HeapStartup();
void HeapShutdown();

// Setup API (w32_setupapi.cpp): the machine-wide state an installed system
// has before any installer runs.
void SetupApiStartup();

// A new user-mode handle to `key` with the access `sam` maps to.
HKEY NewKeyHandle(const reg::KeyRef& key, REGSAM sam);

}  // namespace w32

}  // namespace sim
