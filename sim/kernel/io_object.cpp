// The I/O manager's lock, text helpers and the reference counts of the
// objects it hands out (device objects, file objects, named events):
// ObfReferenceObject/ObfDereferenceObject.
#include "io_internal.h"
#include "host_mutex.h"
#include "rtl_text.h"

#include <cstdio>

namespace sim {
namespace io {
namespace {

struct ObjectHeader {
    ObjKind kind;
    LONG refs;
    void (*destroy)(void*);
};
std::unordered_map<void*, ObjectHeader> g_objects;  // guarded by Lock()

thread_local PDRIVER_OBJECT t_driver = nullptr;

}  // namespace

std::mutex& Lock()
{
    static HostMutex m;
    return m;
}

std::string Hex(const void* p)
{
    char b[32];
    snprintf(b, sizeof b, "0x%llx", (unsigned long long)(uintptr_t)p);
    return b;
}

std::string Narrow(const std::u16string& s)
{
    return Utf8(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

std::u16string Upcase(const std::u16string& s)
{
    return rtl::Upcase(s);
}
std::u16string Text(const UNICODE_STRING* s)
{
    return s ? rtl::ToU16(s) : std::u16string();
}
std::u16string Text(const wchar_t* s)
{
    return s ? rtl::ToU16(s) : std::u16string();
}

std::string DeviceText(PDEVICE_OBJECT d)
{
    std::string t = "device " + Hex(d);
    if (d && d->DeviceObjectExtension && !d->DeviceObjectExtension->name.empty())
        t += " (" + Narrow(d->DeviceObjectExtension->name) + ")";
    return t;
}

std::string IrpText(PIRP irp)
{
    return "IRP " + Hex(irp);
}

const char* MajorName(UCHAR major)
{
    static const char* const names[] = {"IRP_MJ_CREATE",
                                        "IRP_MJ_CREATE_NAMED_PIPE",
                                        "IRP_MJ_CLOSE",
                                        "IRP_MJ_READ",
                                        "IRP_MJ_WRITE",
                                        "IRP_MJ_QUERY_INFORMATION",
                                        "IRP_MJ_SET_INFORMATION",
                                        "IRP_MJ_QUERY_EA",
                                        "IRP_MJ_SET_EA",
                                        "IRP_MJ_FLUSH_BUFFERS",
                                        "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                        "IRP_MJ_SET_VOLUME_INFORMATION",
                                        "IRP_MJ_DIRECTORY_CONTROL",
                                        "IRP_MJ_FILE_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CONTROL",
                                        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                        "IRP_MJ_SHUTDOWN",
                                        "IRP_MJ_LOCK_CONTROL",
                                        "IRP_MJ_CLEANUP",
                                        "IRP_MJ_CREATE_MAILSLOT",
                                        "IRP_MJ_QUERY_SECURITY",
                                        "IRP_MJ_SET_SECURITY",
                                        "IRP_MJ_POWER",
                                        "IRP_MJ_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CHANGE",
                                        "IRP_MJ_QUERY_QUOTA",
                                        "IRP_MJ_SET_QUOTA",
                                        "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

PDRIVER_OBJECT CurrentDriver()
{
    return t_driver;
}
DriverScope::DriverScope(PDRIVER_OBJECT d) : saved_(t_driver)
{
    t_driver = d;
}
DriverScope::~DriverScope()
{
    t_driver = saved_;
}

void RegisterObjectLocked(void* body, ObjKind kind, void (*destroy)(void*))
{
    g_objects[body] = ObjectHeader{kind, 1, destroy};
}

bool IsObjectLocked(void* body, ObjKind kind)
{
    auto it = g_objects.find(body);
    return it != g_objects.end() && it->second.kind == kind;
}

void ReferenceLocked(void* body)
{
    auto it = g_objects.find(body);
    if (it != g_objects.end())
        it->second.refs++;
}

void (*DereferenceLocked(void* body, const char* routine))(void*)
{
    auto it = g_objects.find(body);
    if (it == g_objects.end()) {
        ReportViolation("OBJECT_DEREFERENCE_INVALID", "object " + Hex(body), routine,
                        "not a live object (already freed, or never referenced through the object manager)");
        return nullptr;
    }
    if (--it->second.refs > 0)
        return nullptr;
    void (*destroy)(void*) = it->second.destroy;
    g_objects.erase(it);
    return destroy;
}

void Dereference(void* body, const char* routine)
{
    void (*destroy)(void*);
    {
        Guard lock(Lock());
        destroy = DereferenceLocked(body, routine);
    }
    if (destroy)
        destroy(body);
}

void ForgetAllObjectsLocked()
{
    g_objects.clear();
}

}  // namespace io

PDRIVER_OBJECT IoRunningDriver()
{
    return io::CurrentDriver();
}

bool DriverCallFails(FaultSite site)
{
    return io::CurrentDriver() != nullptr && ShouldFail(site, 0);
}

const char* MajorFunctionName(UCHAR major)
{
    return io::MajorName(major);
}

}  // namespace sim

using namespace sim;

extern "C" VOID ObfReferenceObject(PVOID Object)
{
    io::Guard lock(io::Lock());
    if (!io::IsObjectLocked(Object, io::ObjKind::Device) && !io::IsObjectLocked(Object, io::ObjKind::File) &&
        !io::IsObjectLocked(Object, io::ObjKind::Event)) {
        ReportViolation("OBJECT_REFERENCE_INVALID", "object " + io::Hex(Object), "ObfReferenceObject",
                        "not a live object");
        return;
    }
    io::ReferenceLocked(Object);
    io::NoteDriverReferenceLocked(Object, +1);
}

extern "C" VOID ObfDereferenceObject(PVOID Object)
{
    {
        io::Guard lock(io::Lock());
        io::NoteDriverReferenceLocked(Object, -1);
    }
    io::Dereference(Object, "ObfDereferenceObject");
}
