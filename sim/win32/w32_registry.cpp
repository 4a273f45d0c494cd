// The registry API (advapi32) on the machine's registry, through the
// registry core (cm_registry.h). Returns Win32 error codes; the thread's last
// error is not touched, as on Windows. Predefined keys are not in the handle
// table and closing them is a no-op.
#include "w32_internal.h"

namespace sim {
namespace w32 {
namespace {

// The machine's one interactive user.
const char16_t kUserProfile[] = u"\\Registry\\User\\S-1-5-21-0-0-0-1001";

LONG Resolve(HKEY h, reg::KeyRef* key, ACCESS_MASK* access)
{
    const char16_t* root = nullptr;
    if (h == HKEY_LOCAL_MACHINE)
        root = u"\\Registry\\Machine";
    else if (h == HKEY_USERS)
        root = u"\\Registry\\User";
    else if (h == HKEY_CLASSES_ROOT)
        root = u"\\Registry\\Machine\\Software\\Classes";
    else if (h == HKEY_CURRENT_USER)
        root = kUserProfile;
    if (root) {
        *access = KEY_ALL_ACCESS;
        NTSTATUS st = reg::Create(nullptr, root, true, key);
        return NT_SUCCESS(st) ? ERROR_SUCCESS : (LONG)ErrorFromStatus(st);
    }
    auto o = LookupHandle((HANDLE)h);
    if (!o || o->type != ObjType::Key)
        return ERROR_INVALID_HANDLE;
    auto* k = static_cast<KeyObj*>(o.get());
    *key = k->key;
    *access = k->access;
    return ERROR_SUCCESS;
}

LONG Needs(ACCESS_MASK granted, ACCESS_MASK needed)
{
    return (granted & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LONG Open(HKEY h, const std::u16string& sub, REGSAM sam, PHKEY result)
{
    Enter("RegOpenKeyEx");
    if (!result)
        return ERROR_INVALID_PARAMETER;
    reg::KeyRef base;
    ACCESS_MASK access;
    if (LONG e = Resolve(h, &base, &access))
        return e;
    reg::KeyRef key = base;
    if (!sub.empty()) {
        NTSTATUS st = reg::Open(base, sub, &key);
        if (!NT_SUCCESS(st))
            return (LONG)ErrorFromStatus(st);
    }
    *result = NewKeyHandle(key, sam);
    return ERROR_SUCCESS;
}

LONG Create(HKEY h, const std::u16string& sub, REGSAM sam, PHKEY result, LPDWORD disposition)
{
    Enter("RegCreateKeyEx");
    if (!result)
        return ERROR_INVALID_PARAMETER;
    reg::KeyRef base;
    ACCESS_MASK access;
    if (LONG e = Resolve(h, &base, &access))
        return e;
    reg::KeyRef key = base;
    ULONG disp = REG_OPENED_EXISTING_KEY;
    if (!sub.empty()) {
        if (LONG e = Needs(access, KEY_CREATE_SUB_KEY))
            return e;
        // RegCreateKeyEx creates every missing key along the path.
        NTSTATUS st = reg::Create(base, sub, true, &key, &disp);
        if (!NT_SUCCESS(st))
            return (LONG)ErrorFromStatus(st);
    }
    if (disposition)
        *disposition = disp;
    *result = NewKeyHandle(key, sam);
    return ERROR_SUCCESS;
}

// Copies `data` out by the Win32 rules: size only when lpData is null,
// ERROR_MORE_DATA (with the size needed) when it does not fit.
LONG CopyOut(const std::vector<uint8_t>& data, LPBYTE out, LPDWORD size)
{
    if (!out) {
        if (size)
            *size = (DWORD)data.size();
        return ERROR_SUCCESS;
    }
    if (!size)
        return ERROR_INVALID_PARAMETER;
    DWORD room = *size;
    *size = (DWORD)data.size();
    if (room < data.size())
        return ERROR_MORE_DATA;
    if (!data.empty())
        memcpy(out, data.data(), data.size());
    return ERROR_SUCCESS;
}

bool IsString(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LONG Query(HKEY h, const std::u16string& name, LPDWORD type, LPBYTE data, LPDWORD size, bool ansi)
{
    Enter("RegQueryValueEx");
    reg::KeyRef key;
    ACCESS_MASK access;
    if (LONG e = Resolve(h, &key, &access))
        return e;
    if (LONG e = Needs(access, KEY_QUERY_VALUE))
        return e;
    reg::ValueData v;
    NTSTATUS st = reg::QueryValue(key, name, &v);
    if (!NT_SUCCESS(st))
        return (LONG)ErrorFromStatus(st);
    if (type)
        *type = v.type;
    if (ansi && IsString(v.type)) {
        std::u16string text((const char16_t*)v.data.data(), v.data.size() / 2);
        std::string narrow = ToAnsi(text);
        v.data.assign(narrow.begin(), narrow.end());
    }
    return CopyOut(v.data, data, size);
}

LONG Set(HKEY h, const std::u16string& name, DWORD type, const BYTE* data, DWORD size, bool ansi)
{
    Enter("RegSetValueEx");
    reg::KeyRef key;
    ACCESS_MASK access;
    if (LONG e = Resolve(h, &key, &access))
        return e;
    if (LONG e = Needs(access, KEY_SET_VALUE))
        return e;
    if (!data && size)
        return ERROR_NOACCESS;
    std::vector<uint8_t> bytes(data, data + size);
    if (ansi && IsString(type)) {
        std::u16string wide = Utf16(std::string((const char*)data, size));
        bytes.assign((const uint8_t*)wide.data(), (const uint8_t*)(wide.data() + wide.size()));
    }
    NTSTATUS st = reg::SetValue(key, name, type, bytes.data(), bytes.size());
    return NT_SUCCESS(st) ? ERROR_SUCCESS : (LONG)ErrorFromStatus(st);
}

LONG Delete(HKEY h, const std::u16string& name)
{
    Enter("RegDeleteValue");
    reg::KeyRef key;
    ACCESS_MASK access;
    if (LONG e = Resolve(h, &key, &access))
        return e;
    if (LONG e = Needs(access, KEY_SET_VALUE))
        return e;
    NTSTATUS st = reg::DeleteValue(key, name);
    return NT_SUCCESS(st) ? ERROR_SUCCESS : (LONG)ErrorFromStatus(st);
}

// Copies a name into a character buffer: lpcch holds its size in characters
// (terminator included) on entry, the name's length without it on return.
LONG CopyName(const std::u16string& name, LPWSTR out, LPDWORD cch)
{
    if (!out || !cch)
        return ERROR_INVALID_PARAMETER;
    if (*cch < name.size() + 1)
        return ERROR_MORE_DATA;
    for (size_t i = 0; i < name.size(); ++i)
        out[i] = (WCHAR)name[i];
    out[name.size()] = 0;
    *cch = (DWORD)name.size();
    return ERROR_SUCCESS;
}

}  // namespace

HKEY NewKeyHandle(const reg::KeyRef& key, REGSAM sam)
{
    auto k = std::make_shared<KeyObj>();
    k->key = key;
    k->access = reg::MapKeyAccess(sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY));
    return (HKEY)InsertHandle(k);
}

}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return w32::Open(hKey, w32::FromWide(lpSubKey), samDesired, phkResult);
}

extern "C" LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return w32::Open(hKey, w32::FromAnsi(lpSubKey), samDesired, phkResult);
}

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const struct _SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return w32::Create(hKey, w32::FromWide(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

extern "C" LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const struct _SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition)
{
    return w32::Create(hKey, w32::FromAnsi(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                    LPDWORD lpcbData)
{
    return w32::Query(hKey, w32::FromWide(lpValueName), lpType, lpData, lpcbData, false);
}

extern "C" LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                    LPDWORD lpcbData)
{
    return w32::Query(hKey, w32::FromAnsi(lpValueName), lpType, lpData, lpcbData, true);
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData)
{
    return w32::Set(hKey, w32::FromWide(lpValueName), dwType, lpData, cbData, false);
}

extern "C" LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData)
{
    return w32::Set(hKey, w32::FromAnsi(lpValueName), dwType, lpData, cbData, true);
}

extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return w32::Delete(hKey, w32::FromWide(lpValueName));
}

extern "C" LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return w32::Delete(hKey, w32::FromAnsi(lpValueName));
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    w32::Enter("RegDeleteKeyW");
    reg::KeyRef base, key;
    ACCESS_MASK access;
    if (LONG e = w32::Resolve(hKey, &base, &access))
        return e;
    std::u16string sub = w32::FromWide(lpSubKey);
    if (sub.empty())
        return ERROR_INVALID_PARAMETER;
    NTSTATUS st = reg::Open(base, sub, &key);
    if (NT_SUCCESS(st))
        st = reg::DeleteKey(key);
    return NT_SUCCESS(st) ? ERROR_SUCCESS : (LONG)w32::ErrorFromStatus(st);
}

extern "C" LSTATUS RegCloseKey(HKEY hKey)
{
    w32::Enter("RegCloseKey");
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT)
        return ERROR_SUCCESS;
    auto o = w32::LookupHandle((HANDLE)hKey);
    if (!o || o->type != w32::ObjType::Key)
        return ERROR_INVALID_HANDLE;
    w32::RemoveHandle((HANDLE)hKey);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    w32::Enter("RegEnumKeyExW");
    reg::KeyRef key;
    ACCESS_MASK access;
    if (LONG e = w32::Resolve(hKey, &key, &access))
        return e;
    if (LONG e = w32::Needs(access, KEY_ENUMERATE_SUB_KEYS))
        return e;
    reg::SubkeyInfo info;
    NTSTATUS st = reg::EnumerateSubkey(key, dwIndex, &info);
    if (!NT_SUCCESS(st))
        return (LONG)w32::ErrorFromStatus(st);
    if (LONG e = w32::CopyName(info.name, lpName, lpcchName))
        return e;
    if (lpClass && lpcchClass && *lpcchClass) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = info.lastWriteTime.LowPart;
        lpftLastWriteTime->dwHighDateTime = (DWORD)info.lastWriteTime.HighPart;
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                 LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    w32::Enter("RegEnumValueW");
    reg::KeyRef key;
    ACCESS_MASK access;
    if (LONG e = w32::Resolve(hKey, &key, &access))
        return e;
    if (LONG e = w32::Needs(access, KEY_QUERY_VALUE))
        return e;
    reg::ValueData v;
    NTSTATUS st = reg::EnumerateValue(key, dwIndex, &v);
    if (!NT_SUCCESS(st))
        return (LONG)w32::ErrorFromStatus(st);
    if (LONG e = w32::CopyName(v.name, lpValueName, lpcchValueName))
        return e;
    if (lpType)
        *lpType = v.type;
    return w32::CopyOut(v.data, lpData, lpcbData);
}
