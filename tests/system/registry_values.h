// Registry values as a program reads and writes them with the registry API,
// for the portable system tests that check what the driver and the setup
// library leave in the registry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace systest {

typedef std::vector<uint8_t> Bytes;

inline LPCWSTR W(const std::u16string& text)
{
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

// A registry value as RegQueryValueExW reports it; absent when missing.
struct RegValue {
    bool present = false;
    DWORD type = REG_NONE;
    Bytes data;
    bool operator==(const RegValue& o) const { return present == o.present && type == o.type && data == o.data; }
};

inline void PrintTo(const RegValue& value, std::ostream* out)
{
    *out << (value.present ? "type " + std::to_string(value.type) + ":" : "(absent)");
    for (uint8_t b : value.data) {
        *out << ' ' << (int)b;
    }
}

inline RegValue Absent()
{
    return RegValue();
}

inline RegValue Raw(DWORD type, const Bytes& data)
{
    return RegValue{true, type, data};
}

// Text with its terminator.
inline RegValue Sz(const std::u16string& text, DWORD type = REG_SZ)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
    return Raw(type, Bytes(bytes, bytes + (text.size() + 1) * 2));
}

// Values under HKEY_LOCAL_MACHINE, read and written with the registry API.
inline RegValue ReadValue(const std::u16string& key, const char16_t* name)
{
    RegValue v;
    HKEY k = NULL;
    DWORD size = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) {
        return v;
    }
    if (RegQueryValueExW(k, W(name), NULL, &v.type, NULL, &size) == ERROR_SUCCESS) {
        v.data.resize(size);
        v.present = RegQueryValueExW(k, W(name), NULL, &v.type, v.data.data(), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(k);
    return v.present ? v : Absent();
}

// An absent value is deleted; the key is created when missing.
inline bool WriteValue(const std::u16string& key, const char16_t* name, const RegValue& value)
{
    HKEY k = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, NULL, 0, KEY_SET_VALUE, NULL, &k, NULL) != ERROR_SUCCESS) {
        return false;
    }
    LONG e = value.present ? RegSetValueExW(k, W(name), 0, value.type, value.data.data(), (DWORD)value.data.size())
                           : RegDeleteValueW(k, W(name));
    RegCloseKey(k);
    return e == ERROR_SUCCESS || e == ERROR_FILE_NOT_FOUND;
}

}  // namespace systest
