// The registry core of the simulated machine: one tree of keys per machine,
// rooted at "\Registry". Key and value names compare case-insensitively and
// keep the case they were created with; values keep their type and raw bytes.
//
// This is the interface the Zw/Rtl registry routines, the test-facing Reg*
// functions, the PnP manager and the Win32 registry API build on. Every
// function takes the registry lock itself; a KeyRef stays valid after its key
// is deleted (operations on it then fail with STATUS_KEY_DELETED).
#pragma once

#include "internal.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace reg {

struct KeyNode;
using KeyRef = std::shared_ptr<KeyNode>;

struct ValueData {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct SubkeyInfo {
    std::u16string name;
    LARGE_INTEGER lastWriteTime{};
    ULONG subkeys = 0, values = 0;
    ULONG maxNameLength = 0, maxValueNameLength = 0, maxValueDataLength = 0;  // bytes
};

// Builds the machine's tree (\Registry\Machine\System\CurrentControlSet\...,
// \Registry\Machine\HARDWARE\DEVICEMAP, \Registry\Machine\Software,
// \Registry\User) and frees it.
void Startup();
void Shutdown();

// The key "\Registry" (null when no machine runs).
KeyRef Root();

// Paths are backslash-separated. An absolute path starts with "\Registry";
// a relative one is resolved from `base`. Missing key: STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS Open(const KeyRef& base, const std::u16string& path, KeyRef* key);
// Creates the last component when missing; with `createPath` also any missing
// key on the way (as the PnP manager and the test API need), otherwise a
// missing parent gives STATUS_OBJECT_NAME_NOT_FOUND as ZwCreateKey does.
// `disposition` receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
NTSTATUS Create(const KeyRef& base, const std::u16string& path, bool createPath, KeyRef* key,
                ULONG* disposition = nullptr);
// Fails with STATUS_CANNOT_DELETE while the key has subkeys.
NTSTATUS DeleteKey(const KeyRef& key);
// Deletes the key and everything below it.
NTSTATUS DeleteTree(const KeyRef& key);

NTSTATUS SetValue(const KeyRef& key, const std::u16string& name, ULONG type, const void* data, size_t size);
NTSTATUS QueryValue(const KeyRef& key, const std::u16string& name, ValueData* value);
NTSTATUS DeleteValue(const KeyRef& key, const std::u16string& name);
// Values in the order they were first set; subkeys in case-insensitive name
// order. STATUS_NO_MORE_ENTRIES past the end.
NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, ValueData* value);
NTSTATUS EnumerateSubkey(const KeyRef& key, ULONG index, SubkeyInfo* info);
NTSTATUS QueryKey(const KeyRef& key, SubkeyInfo* info);

std::vector<std::u16string> SubkeyNames(const KeyRef& key);
std::vector<std::u16string> ValueNames(const KeyRef& key);
// "\Registry\Machine\..." with the stored case; empty for a deleted key.
std::u16string FullPath(const KeyRef& key);

// Kernel handles to keys (HandleKind::Key) with the access granted at open.
HANDLE InsertKeyHandle(const KeyRef& key, ACCESS_MASK access);
// Resolves a key handle and checks `needed` access: STATUS_INVALID_HANDLE,
// STATUS_OBJECT_TYPE_MISMATCH or STATUS_ACCESS_DENIED on failure.
NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK needed, KeyRef* key);
// Maps generic rights onto key rights.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);

}  // namespace reg

// For a handle that is not of the kind a routine needs: STATUS_OBJECT_TYPE_MISMATCH
// when it is a live handle of another kind, STATUS_INVALID_HANDLE otherwise.
NTSTATUS HandleMismatchStatus(HANDLE handle);

// Reports ZW_NULL_ARGUMENT for a mandatory pointer the caller passed as null
// (a real kernel would fault on it) and returns STATUS_ACCESS_VIOLATION.
NTSTATUS NullArgument(const char* routine, const char* parameter);

}  // namespace sim
