// The object namespace: one tree of directories, device objects, driver
// objects, named events and symbolic links per machine. Names compare case-
// insensitively; links are stored as text and followed at lookup, as Windows
// does (\DosDevices, \?? and \GLOBAL??\Global all lead to \GLOBAL??).
#include "io_internal.h"

namespace sim {
namespace io {
namespace {

// Key: the upcased full path of the entry in its canonical directory.
std::map<std::u16string, NsEntry> g_names;  // guarded by Lock()

std::vector<std::u16string> Split(const std::u16string& path)
{
    std::vector<std::u16string> parts;
    size_t i = 1;
    while (i <= path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string::npos)
            j = path.size();
        parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

void AddSystemEntry(const char16_t* name, NsKind kind, const char16_t* target = u"")
{
    NsEntry e;
    e.kind = kind;
    e.name = name;
    e.target = target;
    e.system = true;
    g_names[Upcase(name)] = e;
}

std::string LinkText(const NsEntry& e)
{
    return "symbolic link " + Narrow(e.name);
}

}  // namespace

NTSTATUS ResolveLocked(const std::u16string& input, bool followLast, std::u16string* key, std::u16string* rest)
{
    std::u16string path = input;
    for (int depth = 0; depth < 32; ++depth) {
        if (path.size() < 2 || path[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        std::vector<std::u16string> parts = Split(path);
        std::u16string cur;
        bool restarted = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (parts[i].empty())
                return STATUS_OBJECT_NAME_INVALID;
            cur += u"\\" + Upcase(parts[i]);
            auto it = g_names.find(cur);
            bool last = i + 1 == parts.size();
            if (it == g_names.end())
                return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            const NsEntry& e = it->second;
            if (e.kind == NsKind::Link && (!last || followLast)) {
                std::u16string remainder;
                for (size_t k = i + 1; k < parts.size(); ++k)
                    remainder += u"\\" + parts[k];
                path = e.target + remainder;
                restarted = true;
                break;
            }
            if (!last && e.kind == NsKind::Device && rest) {
                // The device parses the remainder itself (a file name on it).
                for (size_t k = i + 1; k < parts.size(); ++k)
                    *rest += u"\\" + parts[k];
                *key = cur;
                return STATUS_SUCCESS;
            }
            if (!last && e.kind != NsKind::Directory)
                return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (!restarted) {
            *key = cur;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;  // link loop
}

NsEntry* FindEntryLocked(const std::u16string& key)
{
    auto it = g_names.find(key);
    return it == g_names.end() ? nullptr : &it->second;
}

NTSTATUS InsertEntryLocked(const std::u16string& path, NsEntry entry, std::u16string* key)
{
    size_t slash = path.rfind(u'\\');
    if (path.empty() || path[0] != u'\\' || slash == std::u16string::npos || slash + 1 == path.size())
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string parentKey;
    if (slash == 0) {
        parentKey.clear();  // the root
    } else {
        NTSTATUS st = ResolveLocked(path.substr(0, slash), true, &parentKey);
        if (!NT_SUCCESS(st))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        NsEntry* parent = FindEntryLocked(parentKey);
        if (!parent || parent->kind != NsKind::Directory)
            return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string k = parentKey + u"\\" + Upcase(path.substr(slash + 1));
    if (g_names.count(k))
        return STATUS_OBJECT_NAME_COLLISION;
    entry.name = path;
    g_names[k] = std::move(entry);
    if (key)
        *key = k;
    return STATUS_SUCCESS;
}

void RemoveEntryLocked(const std::u16string& key)
{
    g_names.erase(key);
}

void NamespaceStartupLocked()
{
    g_names.clear();
    AddSystemEntry(u"\\Device", NsKind::Directory);
    AddSystemEntry(u"\\Driver", NsKind::Directory);
    AddSystemEntry(u"\\GLOBAL??", NsKind::Directory);
    AddSystemEntry(u"\\BaseNamedObjects", NsKind::Directory);
    AddSystemEntry(u"\\DosDevices", NsKind::Link, u"\\GLOBAL??");
    AddSystemEntry(u"\\??", NsKind::Link, u"\\GLOBAL??");
    AddSystemEntry(u"\\GLOBAL??\\Global", NsKind::Link, u"\\GLOBAL??");
}

void ReportDriverLinksLocked(PDRIVER_OBJECT driver)
{
    for (auto& [key, e] : g_names) {
        if (e.kind != NsKind::Link || e.system || e.reported || e.owner != driver)
            continue;
        e.reported = true;
        ReportViolation("SYMBOLIC_LINK_LEAKED", LinkText(e), "DriverUnload",
                        "the driver did not delete the link (target " + Narrow(e.target) + ")");
    }
}

void ReportDanglingLinksLocked()
{
    for (auto& [key, e] : g_names) {
        if (e.kind != NsKind::Link || e.system || e.reported)
            continue;
        std::u16string target;
        if (NT_SUCCESS(ResolveLocked(e.target, true, &target)) && FindEntryLocked(target))
            continue;
        e.reported = true;
        ReportViolation("DANGLING_SYMBOLIC_LINK", LinkText(e), "StopMachine",
                        "its target " + Narrow(e.target) + " no longer exists");
    }
}

void NamespaceShutdownLocked()
{
    ReportDanglingLinksLocked();
    for (auto& [key, e] : g_names) {
        if (e.kind != NsKind::Link || e.system || e.reported)
            continue;
        ReportViolation("SYMBOLIC_LINK_LEAKED", LinkText(e), "StopMachine",
                        "still present when the machine stopped (target " + Narrow(e.target) + ")");
    }
    g_names.clear();
}

}  // namespace io

PDEVICE_OBJECT FindDevice(const wchar_t* name)
{
    io::Guard lock(io::Lock());
    std::u16string key;
    if (!NT_SUCCESS(io::ResolveLocked(io::Text(name), true, &key)))
        return nullptr;
    io::NsEntry* e = io::FindEntryLocked(key);
    return e && e->kind == io::NsKind::Device ? static_cast<PDEVICE_OBJECT>(e->object) : nullptr;
}

bool SymbolicLinkExists(const wchar_t* name)
{
    io::Guard lock(io::Lock());
    std::u16string key;
    if (!NT_SUCCESS(io::ResolveLocked(io::Text(name), false, &key)))
        return false;
    io::NsEntry* e = io::FindEntryLocked(key);
    return e && e->kind == io::NsKind::Link;
}

std::string SymbolicLinkTarget(const wchar_t* name)
{
    io::Guard lock(io::Lock());
    std::u16string key;
    if (!NT_SUCCESS(io::ResolveLocked(io::Text(name), false, &key)))
        return std::string();
    io::NsEntry* e = io::FindEntryLocked(key);
    return e && e->kind == io::NsKind::Link ? io::Narrow(e->target) : std::string();
}

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequireIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string link = io::Text(SymbolicLinkName), target = io::Text(DeviceName);
    if (link.empty() || target.empty())
        return STATUS_INVALID_PARAMETER;
    if (DriverCallFails(FaultSite::Object))
        return STATUS_INSUFFICIENT_RESOURCES;
    io::Guard lock(io::Lock());
    io::NsEntry e;
    e.kind = io::NsKind::Link;
    e.target = target;
    // The owner answers for the link at its unload: the driver of the target
    // device, else the driver on whose behalf this thread runs.
    std::u16string key;
    e.owner = io::CurrentDriver();
    if (NT_SUCCESS(io::ResolveLocked(target, true, &key))) {
        io::NsEntry* t = io::FindEntryLocked(key);
        if (t && t->kind == io::NsKind::Device)
            e.owner = static_cast<PDEVICE_OBJECT>(t->object)->DriverObject;
    }
    return io::InsertEntryLocked(link, std::move(e), &key);
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    io::Guard lock(io::Lock());
    std::u16string key;
    NTSTATUS st = io::ResolveLocked(io::Text(SymbolicLinkName), false, &key);
    if (!NT_SUCCESS(st))
        return st == STATUS_OBJECT_PATH_NOT_FOUND ? st : STATUS_OBJECT_NAME_NOT_FOUND;
    io::NsEntry* e = io::FindEntryLocked(key);
    if (!e || e->kind != io::NsKind::Link)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (e->system)
        return STATUS_ACCESS_DENIED;
    io::RemoveEntryLocked(key);
    return STATUS_SUCCESS;
}
