// The machine's kernel handle table and ZwClose. Handle values are never
// reused within a machine's life, so a stale handle is always detected.
#include "io_internal.h"

namespace sim {
namespace {

struct HandleEntry {
    HandleKind kind;
    void* object;
    void (*close)(void*);
};

std::mutex g_handleLock;  // guards g_handles and g_next; close callbacks run outside it
std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_next = 0;

// Kernel handles carry the top bit pattern Windows gives them.
constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

const char* KindName(HandleKind k)
{
    switch (k) {
    case HandleKind::Key:
        return "registry key";
    case HandleKind::File:
        return "file";
    case HandleKind::Event:
        return "event";
    default:
        return "object";
    }
}

}  // namespace

HANDLE InsertHandle(HandleKind kind, void* object, void (*close)(void* object))
{
    std::lock_guard<std::mutex> lock(g_handleLock);
    g_next += 4;
    uintptr_t value = kKernelHandleBase + g_next;
    g_handles[value] = HandleEntry{kind, object, close};
    return reinterpret_cast<HANDLE>(value);
}

void* LookupHandle(HANDLE h, HandleKind kind)
{
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    return it != g_handles.end() && it->second.kind == kind ? it->second.object : nullptr;
}

bool CloseHandleInternal(HANDLE h)
{
    HandleEntry e;
    {
        std::lock_guard<std::mutex> lock(g_handleLock);
        auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
        if (it == g_handles.end())
            return false;
        e = it->second;
        g_handles.erase(it);
    }
    if (e.close)
        e.close(e.object);
    return true;
}

namespace io {

void HandlesStartup()
{
    std::lock_guard<std::mutex> lock(g_handleLock);
    g_handles.clear();
    g_next = 0;
}

void HandlesShutdown()
{
    std::map<uintptr_t, HandleEntry> left;
    {
        std::lock_guard<std::mutex> lock(g_handleLock);
        left.swap(g_handles);
    }
    // The subsystems behind key and file handles have already shut down, so
    // the leaked handles are reported and forgotten, not closed.
    for (auto& [value, e] : left)
        ReportViolation("HANDLE_LEAKED", std::string(KindName(e.kind)) + " handle " + Hex((void*)value), "StopMachine",
                        "never closed");
}

}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    RequireIrql(PASSIVE_LEVEL, "ZwClose");
    if (CloseHandleInternal(Handle))
        return STATUS_SUCCESS;
    ReportViolation("INVALID_HANDLE_CLOSED", "handle " + io::Hex(Handle), "ZwClose",
                    "not an open handle (never opened, or already closed)");
    return STATUS_INVALID_HANDLE;
}
