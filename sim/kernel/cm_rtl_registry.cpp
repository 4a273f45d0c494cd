// RtlWriteRegistryValue, RtlDeleteRegistryValue, RtlCheckRegistryKey.
//
// RelativeTo selects the documented base key; RTL_REGISTRY_HANDLE makes Path a
// key handle. RtlWriteRegistryValue creates the key named by Path when it is
// missing, but only that last key, as a single ZwCreateKey does: a missing key
// further up gives STATUS_OBJECT_NAME_NOT_FOUND. RtlDeleteRegistryValue and
// RtlCheckRegistryKey only open the key and never create one.
#include "cm_registry.h"
#include "rtl_text.h"

using sim::reg::KeyRef;

namespace {

const char16_t* BasePath(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
        return u"";
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.Default";  // callers run in the system process
    default:
        return nullptr;
    }
}

NTSTATUS ResolveKey(ULONG relativeTo, PCWSTR path, ACCESS_MASK access, bool create, KeyRef* key)
{
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return sim::reg::KeyFromHandle((HANDLE)path, access, key);
    const char16_t* base = BasePath(relativeTo);
    if (!base)
        return STATUS_INVALID_PARAMETER;
    std::u16string full = base;
    std::u16string rel = sim::rtl::ToU16(path);
    if (relativeTo != RTL_REGISTRY_ABSOLUTE && !rel.empty() && rel[0] != u'\\')
        full += u'\\';
    full += rel;
    return create ? sim::reg::Create(nullptr, full, false, key) : sim::reg::Open(nullptr, full, key);
}

}  // namespace

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    if (!ValueData && ValueLength)
        return sim::NullArgument("RtlWriteRegistryValue", "ValueData");
    if (sim::DriverCallFails(sim::FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS st = ResolveKey(RelativeTo, Path, KEY_SET_VALUE, true, &key);
    if (st != STATUS_SUCCESS)
        return st;
    return sim::reg::SetValue(key, sim::rtl::ToU16(ValueName), ValueType, ValueData, ValueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    KeyRef key;
    NTSTATUS st = ResolveKey(RelativeTo, Path, KEY_SET_VALUE, false, &key);
    if (st != STATUS_SUCCESS)
        return st;
    return sim::reg::DeleteValue(key, sim::rtl::ToU16(ValueName));
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    KeyRef key;
    return ResolveKey(RelativeTo, Path, 0, false, &key);
}

}  // extern "C"

// ---------------------------------------------------------------- test-facing registry API

namespace sim {
namespace {

KeyRef OpenPath(const std::string& keyPath)
{
    KeyRef key;
    return reg::Open(nullptr, Utf16(keyPath), &key) == STATUS_SUCCESS ? key : nullptr;
}

KeyRef EnsurePath(const std::string& keyPath)
{
    KeyRef key;
    return reg::Create(nullptr, Utf16(keyPath), true, &key) == STATUS_SUCCESS ? key : nullptr;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& s)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    return std::vector<uint8_t>(p, p + s.size() * sizeof(char16_t));
}

std::vector<std::string> Names(const std::vector<std::u16string>& names)
{
    std::vector<std::string> r;
    for (auto& n : names)
        r.push_back(Utf8(reinterpret_cast<const wchar_t*>(n.data()), n.size()));
    return r;
}

}  // namespace

bool RegEnsureKey(const std::string& keyPath)
{
    return EnsurePath(keyPath) != nullptr;
}
bool RegKeyExists(const std::string& keyPath)
{
    return OpenPath(keyPath) != nullptr;
}

bool RegRemoveKeyTree(const std::string& keyPath)
{
    KeyRef key = OpenPath(keyPath);
    return key && reg::DeleteTree(key) == STATUS_SUCCESS;
}

bool RegSetRaw(const std::string& keyPath, const std::string& valueName, ULONG type, const std::vector<uint8_t>& data)
{
    KeyRef key = EnsurePath(keyPath);
    return key && reg::SetValue(key, Utf16(valueName), type, data.data(), data.size()) == STATUS_SUCCESS;
}

bool RegSetString(const std::string& keyPath, const std::string& valueName, const std::string& utf8)
{
    std::u16string text = Utf16(utf8);
    text += u'\0';
    return RegSetRaw(keyPath, valueName, REG_SZ, Utf16Bytes(text));
}

bool RegSetMultiString(const std::string& keyPath, const std::string& valueName, const std::vector<std::string>& utf8)
{
    std::u16string text;
    for (auto& s : utf8) {
        text += Utf16(s);
        text += u'\0';
    }
    text += u'\0';
    return RegSetRaw(keyPath, valueName, REG_MULTI_SZ, Utf16Bytes(text));
}

bool RegSetDword(const std::string& keyPath, const std::string& valueName, ULONG value)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
    return RegSetRaw(keyPath, valueName, REG_DWORD, std::vector<uint8_t>(p, p + sizeof(value)));
}

bool RegGetRaw(const std::string& keyPath, const std::string& valueName, ULONG* type, std::vector<uint8_t>* data)
{
    KeyRef key = OpenPath(keyPath);
    reg::ValueData v;
    if (!key || reg::QueryValue(key, Utf16(valueName), &v) != STATUS_SUCCESS)
        return false;
    if (type)
        *type = v.type;
    if (data)
        *data = v.data;
    return true;
}

bool RegGetString(const std::string& keyPath, const std::string& valueName, std::string* utf8)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (!RegGetRaw(keyPath, valueName, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::u16string text(data.size() / 2, u'\0');
    memcpy(&text[0], data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    *utf8 = Utf8(reinterpret_cast<const wchar_t*>(text.data()), text.size());
    return true;
}

bool RegGetMultiString(const std::string& keyPath, const std::string& valueName, std::vector<std::string>* utf8)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (!RegGetRaw(keyPath, valueName, &type, &data) || type != REG_MULTI_SZ)
        return false;
    std::u16string text(data.size() / 2, u'\0');
    memcpy(&text[0], data.data(), text.size() * 2);
    utf8->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos)
            end = text.size();
        if (end == start)
            break;  // the empty string that ends the list
        utf8->push_back(Utf8(reinterpret_cast<const wchar_t*>(text.data() + start), end - start));
        start = end + 1;
    }
    return true;
}

bool RegGetDword(const std::string& keyPath, const std::string& valueName, ULONG* value)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (!RegGetRaw(keyPath, valueName, &type, &data) || type != REG_DWORD || data.size() != sizeof(ULONG))
        return false;
    memcpy(value, data.data(), sizeof(ULONG));
    return true;
}

bool RegValueExists(const std::string& keyPath, const std::string& valueName)
{
    return RegGetRaw(keyPath, valueName, nullptr, nullptr);
}

bool RegRemoveValue(const std::string& keyPath, const std::string& valueName)
{
    KeyRef key = OpenPath(keyPath);
    return key && reg::DeleteValue(key, Utf16(valueName)) == STATUS_SUCCESS;
}

std::vector<std::string> RegSubkeys(const std::string& keyPath)
{
    KeyRef key = OpenPath(keyPath);
    return key ? Names(reg::SubkeyNames(key)) : std::vector<std::string>();
}

std::vector<std::string> RegValueNames(const std::string& keyPath)
{
    KeyRef key = OpenPath(keyPath);
    return key ? Names(reg::ValueNames(key)) : std::vector<std::string>();
}

}  // namespace sim
