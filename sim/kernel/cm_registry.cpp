// The registry tree of the simulated machine and its key handles.
#include "cm_registry.h"

#include "rtl_text.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace sim {
namespace reg {

struct KeyNode {
    std::u16string name;
    KeyNode* parent = nullptr;                 // null for the root and for deleted keys
    std::map<std::u16string, KeyRef> subkeys;  // by upper-cased name: Windows' enumeration order
    std::vector<ValueData> values;             // in the order first set
    bool deleted = false;
    LARGE_INTEGER lastWrite{};
};

namespace {

// Guards the whole tree (structure, names, values, the deleted flags).
std::mutex g_lock;
KeyRef g_root;

LARGE_INTEGER Now()
{
    using namespace std::chrono;
    LARGE_INTEGER t;
    // 100-ns units since 1601-01-01, as KeQuerySystemTime counts.
    t.QuadPart =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + 116444736000000000LL;
    return t;
}

// Splits a path into components. A trailing backslash is tolerated; an empty
// component elsewhere makes the name invalid.
bool Split(const std::u16string& path, std::vector<std::u16string>* parts)
{
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        if (end == start)
            return false;
        parts->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// Resolves the starting key and the components below it (lock held).
NTSTATUS Parse(const KeyRef& base, const std::u16string& path, KeyRef* start, std::vector<std::u16string>* parts)
{
    if (!g_root)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (base) {
        if (base->deleted)
            return STATUS_KEY_DELETED;
        if (!path.empty() && path[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *start = base;
        return Split(path, parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    if (path.empty() || path[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!Split(path.substr(1), parts))
        return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty() || !rtl::EqualNoCase((*parts)[0], u"Registry"))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    parts->erase(parts->begin());
    *start = g_root;
    return STATUS_SUCCESS;
}

KeyRef Child(const KeyRef& key, const std::u16string& name)
{
    auto it = key->subkeys.find(rtl::Upcase(name));
    return it == key->subkeys.end() ? nullptr : it->second;
}

KeyRef AddChild(const KeyRef& key, const std::u16string& name)
{
    auto child = std::make_shared<KeyNode>();
    child->name = name;
    child->parent = key.get();
    child->lastWrite = Now();
    key->subkeys[rtl::Upcase(name)] = child;
    key->lastWrite = child->lastWrite;
    return child;
}

void MarkDeleted(KeyNode* key)
{
    for (auto& s : key->subkeys)
        MarkDeleted(s.second.get());
    key->subkeys.clear();
    key->values.clear();
    key->deleted = true;
    key->parent = nullptr;
}

// Hive roots (\Registry, \Registry\Machine, \Registry\User) cannot be deleted.
bool IsHiveRoot(const KeyNode* key)
{
    return !key->parent || !key->parent->parent;
}

NTSTATUS Unlink(const KeyRef& key, bool tree)
{
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (IsHiveRoot(key.get()))
        return STATUS_CANNOT_DELETE;
    if (!tree && !key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    KeyNode* parent = key->parent;
    parent->subkeys.erase(rtl::Upcase(key->name));
    parent->lastWrite = Now();
    MarkDeleted(key.get());
    return STATUS_SUCCESS;
}

ValueData* FindValue(KeyNode* key, const std::u16string& name)
{
    for (auto& v : key->values)
        if (rtl::EqualNoCase(v.name, name))
            return &v;
    return nullptr;
}

void Describe(const KeyNode* key, SubkeyInfo* info)
{
    info->name = key->name;
    info->lastWriteTime = key->lastWrite;
    info->subkeys = (ULONG)key->subkeys.size();
    info->values = (ULONG)key->values.size();
    info->maxNameLength = info->maxValueNameLength = info->maxValueDataLength = 0;
    for (auto& s : key->subkeys)
        info->maxNameLength = std::max<ULONG>(info->maxNameLength, (ULONG)s.second->name.size() * 2);
    for (auto& v : key->values) {
        info->maxValueNameLength = std::max<ULONG>(info->maxValueNameLength, (ULONG)v.name.size() * 2);
        info->maxValueDataLength = std::max<ULONG>(info->maxValueDataLength, (ULONG)v.data.size());
    }
}

struct KeyHandleObject {
    KeyRef key;
    ACCESS_MASK access;
};

void CloseKeyHandle(void* object)
{
    delete static_cast<KeyHandleObject*>(object);
}

}  // namespace

void Startup()
{
    std::lock_guard<std::mutex> g(g_lock);
    if (g_root)
        MarkDeleted(g_root.get());
    g_root = std::make_shared<KeyNode>();
    g_root->name = u"REGISTRY";
    g_root->lastWrite = Now();
    static const char16_t* const kTree[] = {
        u"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
        u"MACHINE\\SYSTEM\\CurrentControlSet\\Control",
        u"MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
        u"MACHINE\\HARDWARE\\DEVICEMAP",
        u"MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        u"USER\\.DEFAULT",
    };
    for (const char16_t* path : kTree) {
        std::vector<std::u16string> parts;
        Split(path, &parts);
        KeyRef k = g_root;
        for (auto& p : parts) {
            KeyRef c = Child(k, p);
            k = c ? c : AddChild(k, p);
        }
    }
}

void Shutdown()
{
    std::lock_guard<std::mutex> g(g_lock);
    if (g_root)
        MarkDeleted(g_root.get());
    g_root.reset();
}

KeyRef Root()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_root;
}

NTSTATUS Open(const KeyRef& base, const std::u16string& path, KeyRef* key)
{
    std::lock_guard<std::mutex> g(g_lock);
    KeyRef k;
    std::vector<std::u16string> parts;
    NTSTATUS st = Parse(base, path, &k, &parts);
    if (st != STATUS_SUCCESS)
        return st;
    for (auto& p : parts) {
        k = Child(k, p);
        if (!k)
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *key = k;
    return STATUS_SUCCESS;
}

NTSTATUS Create(const KeyRef& base, const std::u16string& path, bool createPath, KeyRef* key, ULONG* disposition)
{
    std::lock_guard<std::mutex> g(g_lock);
    KeyRef k;
    std::vector<std::u16string> parts;
    NTSTATUS st = Parse(base, path, &k, &parts);
    if (st != STATUS_SUCCESS)
        return st;
    ULONG disp = REG_OPENED_EXISTING_KEY;
    for (size_t i = 0; i < parts.size(); ++i) {
        KeyRef c = Child(k, parts[i]);
        if (!c) {
            if (i + 1 < parts.size() && !createPath)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            c = AddChild(k, parts[i]);
            disp = REG_CREATED_NEW_KEY;
        }
        k = c;
    }
    *key = k;
    if (disposition)
        *disposition = disp;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteKey(const KeyRef& key)
{
    std::lock_guard<std::mutex> g(g_lock);
    return Unlink(key, false);
}

NTSTATUS DeleteTree(const KeyRef& key)
{
    std::lock_guard<std::mutex> g(g_lock);
    return Unlink(key, true);
}

NTSTATUS SetValue(const KeyRef& key, const std::u16string& name, ULONG type, const void* data, size_t size)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    ValueData* v = FindValue(key.get(), name);
    if (!v) {
        key->values.push_back(ValueData());
        v = &key->values.back();
        v->name = name;
    }
    v->type = type;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    v->data.assign(bytes, bytes + (bytes ? size : 0));
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS QueryValue(const KeyRef& key, const std::u16string& name, ValueData* value)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    ValueData* v = FindValue(key.get(), name);
    if (!v)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = *v;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteValue(const KeyRef& key, const std::u16string& name)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (rtl::EqualNoCase(it->name, name)) {
            key->values.erase(it);
            key->lastWrite = Now();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, ValueData* value)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS EnumerateSubkey(const KeyRef& key, ULONG index, SubkeyInfo* info)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    auto it = key->subkeys.begin();
    std::advance(it, index);
    Describe(it->second.get(), info);
    return STATUS_SUCCESS;
}

NTSTATUS QueryKey(const KeyRef& key, SubkeyInfo* info)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    Describe(key.get(), info);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> SubkeyNames(const KeyRef& key)
{
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<std::u16string> r;
    for (auto& s : key->subkeys)
        r.push_back(s.second->name);
    return r;
}

std::vector<std::u16string> ValueNames(const KeyRef& key)
{
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<std::u16string> r;
    for (auto& v : key->values)
        r.push_back(v.name);
    return r;
}

std::u16string FullPath(const KeyRef& key)
{
    std::lock_guard<std::mutex> g(g_lock);
    if (key->deleted)
        return std::u16string();
    std::u16string path;
    for (const KeyNode* k = key.get(); k; k = k->parent)
        path = u"\\" + k->name + path;
    return path;
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK a = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | 0x02000000u);
    if (desired & GENERIC_READ)
        a |= KEY_READ;
    if (desired & GENERIC_WRITE)
        a |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        a |= KEY_READ;
    if (desired & (GENERIC_ALL | 0x02000000u))
        a |= KEY_ALL_ACCESS;  // and MAXIMUM_ALLOWED
    return a;
}

HANDLE InsertKeyHandle(const KeyRef& key, ACCESS_MASK access)
{
    return InsertHandle(HandleKind::Key, new KeyHandleObject{key, access}, CloseKeyHandle);
}

NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK needed, KeyRef* key)
{
    auto* h = static_cast<KeyHandleObject*>(LookupHandle(handle, HandleKind::Key));
    if (!h)
        return HandleMismatchStatus(handle);
    if ((h->access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    *key = h->key;
    return STATUS_SUCCESS;
}

}  // namespace reg

NTSTATUS HandleMismatchStatus(HANDLE handle)
{
    for (HandleKind k : {HandleKind::Key, HandleKind::File, HandleKind::Event, HandleKind::Other})
        if (LookupHandle(handle, k))
            return STATUS_OBJECT_TYPE_MISMATCH;
    return STATUS_INVALID_HANDLE;
}

}  // namespace sim
