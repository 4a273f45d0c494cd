// The Zw registry routines over the machine's registry tree. All of them run
// at PASSIVE_LEVEL only.
//
// Record layouts follow Windows x64: a record's fixed part ends where its
// variable-length Name/Data begins (FIELD_OFFSET of the array). For
// KEY_VALUE_FULL_INFORMATION the data starts after the name, rounded up to a
// multiple of 8 (the alignment Windows x64 gives value data), so DataOffset =
// ALIGN_UP(20 + NameLength, 8) and the size needed is DataOffset + DataLength.
// *ResultLength always receives the full size needed. A buffer shorter than
// the fixed part gets STATUS_BUFFER_TOO_SMALL and nothing written; a buffer
// that holds the fixed part but not everything gets the fixed part, as much of
// the name as fits and no data, with STATUS_BUFFER_OVERFLOW.
#include "cm_registry.h"
#include "rtl_text.h"

#include <algorithm>

using sim::reg::KeyRef;

namespace {

ULONG AlignUp8(ULONG v)
{
    return (v + 7) & ~7u;
}

void CopyName(void* record, ULONG nameOffset, const std::u16string& name, ULONG length)
{
    ULONG bytes = (ULONG)name.size() * sizeof(WCHAR);
    ULONG room = length > nameOffset ? length - nameOffset : 0;
    memcpy(static_cast<char*>(record) + nameOffset, name.data(), std::min(bytes, room) & ~1u);
}

NTSTATUS FillValueInformation(const sim::reg::ValueData& v, KEY_VALUE_INFORMATION_CLASS cls, void* out, ULONG length,
                              PULONG resultLength)
{
    ULONG nameBytes = (ULONG)v.name.size() * sizeof(WCHAR);
    ULONG dataBytes = (ULONG)v.data.size();
    ULONG fixed, required, dataOffset = 0, nameOffset = 0;
    switch (cls) {
    case KeyValueBasicInformation:
        fixed = nameOffset = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = nameOffset = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = AlignUp8(fixed + nameBytes);
        required = dataOffset + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = dataOffset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = required;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (!out)
        return sim::NullArgument("ZwQueryValueKey", "KeyValueInformation");
    switch (cls) {
    case KeyValueBasicInformation: {
        auto* r = static_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
        r->TitleIndex = 0;
        r->Type = v.type;
        r->NameLength = nameBytes;
        break;
    }
    case KeyValueFullInformation: {
        auto* r = static_cast<PKEY_VALUE_FULL_INFORMATION>(out);
        r->TitleIndex = 0;
        r->Type = v.type;
        r->DataOffset = dataOffset;
        r->DataLength = dataBytes;
        r->NameLength = nameBytes;
        break;
    }
    default: {
        auto* r = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
        r->TitleIndex = 0;
        r->Type = v.type;
        r->DataLength = dataBytes;
        break;
    }
    }
    if (nameOffset)
        CopyName(out, nameOffset, v.name, length);
    if (length < required)
        return STATUS_BUFFER_OVERFLOW;
    if (dataOffset && dataBytes)
        memcpy(static_cast<char*>(out) + dataOffset, v.data.data(), dataBytes);
    return STATUS_SUCCESS;
}

NTSTATUS FillKeyInformation(const sim::reg::SubkeyInfo& k, KEY_INFORMATION_CLASS cls, void* out, ULONG length,
                            PULONG resultLength)
{
    ULONG nameBytes = (ULONG)k.name.size() * sizeof(WCHAR);
    ULONG fixed;
    switch (cls) {
    case KeyBasicInformation:
        fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        break;
    case KeyNodeInformation:
        fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        break;
    case KeyFullInformation:
        fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    // Keys have no class here, so a full record is just its fixed part.
    ULONG required = cls == KeyFullInformation ? fixed : fixed + nameBytes;
    *resultLength = required;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (!out)
        return sim::NullArgument("ZwEnumerateKey", "KeyInformation");
    if (cls == KeyBasicInformation) {
        auto* r = static_cast<PKEY_BASIC_INFORMATION>(out);
        r->LastWriteTime = k.lastWriteTime;
        r->TitleIndex = 0;
        r->NameLength = nameBytes;
    } else if (cls == KeyNodeInformation) {
        auto* r = static_cast<PKEY_NODE_INFORMATION>(out);
        r->LastWriteTime = k.lastWriteTime;
        r->TitleIndex = 0;
        r->ClassOffset = 0xFFFFFFFF;  // no class
        r->ClassLength = 0;
        r->NameLength = nameBytes;
    } else {
        auto* r = static_cast<PKEY_FULL_INFORMATION>(out);
        r->LastWriteTime = k.lastWriteTime;
        r->TitleIndex = 0;
        r->ClassOffset = 0xFFFFFFFF;
        r->ClassLength = 0;
        r->SubKeys = k.subkeys;
        r->MaxNameLen = k.maxNameLength;
        r->MaxClassLen = 0;
        r->Values = k.values;
        r->MaxValueNameLen = k.maxValueNameLength;
        r->MaxValueDataLen = k.maxValueDataLength;
        return STATUS_SUCCESS;
    }
    CopyName(out, fixed, k.name, length);
    return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// Resolves OBJECT_ATTRIBUTES to a base key and a path.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES oa, ACCESS_MASK baseAccess, KeyRef* base, std::u16string* path)
{
    if (oa->RootDirectory) {
        NTSTATUS st = sim::reg::KeyFromHandle(oa->RootDirectory, baseAccess, base);
        if (st != STATUS_SUCCESS)
            return st;
    } else if (!oa->ObjectName) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (oa->ObjectName && (oa->ObjectName->Length & 1))
        return STATUS_OBJECT_NAME_INVALID;
    *path = sim::rtl::ToU16(oa->ObjectName);
    return STATUS_SUCCESS;
}

std::u16string ValueNameOf(PUNICODE_STRING name)
{
    return sim::rtl::ToU16(name);
}

}  // namespace

namespace sim {
NTSTATUS NullArgument(const char* routine, const char* parameter)
{
    ReportViolation("ZW_NULL_ARGUMENT", std::string("parameter ") + parameter, routine,
                    "a mandatory pointer argument is null");
    return STATUS_ACCESS_VIOLATION;
}
}  // namespace sim

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwOpenKey");
    if (!KeyHandle)
        return sim::NullArgument("ZwOpenKey", "KeyHandle");
    if (!ObjectAttributes)
        return sim::NullArgument("ZwOpenKey", "ObjectAttributes");
    *KeyHandle = nullptr;
    if (sim::DriverCallFails(sim::FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef base, key;
    std::u16string path;
    NTSTATUS st = ResolveAttributes(ObjectAttributes, 0, &base, &path);
    if (st == STATUS_SUCCESS)
        st = sim::reg::Open(base, path, &key);
    if (st != STATUS_SUCCESS)
        return st;
    *KeyHandle = sim::reg::InsertKeyHandle(key, sim::reg::MapKeyAccess(DesiredAccess));
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    (void)TitleIndex;
    (void)Class;
    (void)CreateOptions;  // every key lives in memory: volatile and non-volatile keys behave alike
    sim::RequireIrql(PASSIVE_LEVEL, "ZwCreateKey");
    if (!KeyHandle)
        return sim::NullArgument("ZwCreateKey", "KeyHandle");
    if (!ObjectAttributes)
        return sim::NullArgument("ZwCreateKey", "ObjectAttributes");
    *KeyHandle = nullptr;
    if (sim::DriverCallFails(sim::FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef base, key;
    std::u16string path;
    NTSTATUS st = ResolveAttributes(ObjectAttributes, 0, &base, &path);
    if (st != STATUS_SUCCESS)
        return st;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    st = sim::reg::Open(base, path, &key);
    if (st == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Creating a subkey below a handle needs KEY_CREATE_SUB_KEY on it.
        if (base) {
            KeyRef check;
            st = sim::reg::KeyFromHandle(ObjectAttributes->RootDirectory, KEY_CREATE_SUB_KEY, &check);
            if (st != STATUS_SUCCESS)
                return st;
        }
        st = sim::reg::Create(base, path, false, &key, &disposition);
    }
    if (st != STATUS_SUCCESS)
        return st;
    *KeyHandle = sim::reg::InsertKeyHandle(key, sim::reg::MapKeyAccess(DesiredAccess));
    if (Disposition)
        *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (!ValueName)
        return sim::NullArgument("ZwQueryValueKey", "ValueName");
    if (!ResultLength)
        return sim::NullArgument("ZwQueryValueKey", "ResultLength");
    if (sim::DriverCallFails(sim::FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    sim::reg::ValueData v;
    st = sim::reg::QueryValue(key, ValueNameOf(ValueName), &v);
    if (st != STATUS_SUCCESS)
        return st;
    return FillValueInformation(v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    (void)TitleIndex;
    sim::RequireIrql(PASSIVE_LEVEL, "ZwSetValueKey");
    if (!ValueName)
        return sim::NullArgument("ZwSetValueKey", "ValueName");
    if (!Data && DataSize)
        return sim::NullArgument("ZwSetValueKey", "Data");
    if (sim::DriverCallFails(sim::FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    return sim::reg::SetValue(key, ValueNameOf(ValueName), Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwDeleteValueKey");
    if (!ValueName)
        return sim::NullArgument("ZwDeleteValueKey", "ValueName");
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    return sim::reg::DeleteValue(key, ValueNameOf(ValueName));
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwDeleteKey");
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, DELETE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    return sim::reg::DeleteKey(key);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwEnumerateKey");
    if (!ResultLength)
        return sim::NullArgument("ZwEnumerateKey", "ResultLength");
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (st != STATUS_SUCCESS)
        return st;
    sim::reg::SubkeyInfo info;
    st = sim::reg::EnumerateSubkey(key, Index, &info);
    if (st != STATUS_SUCCESS)
        return st;
    return FillKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    if (!ResultLength)
        return sim::NullArgument("ZwEnumerateValueKey", "ResultLength");
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    sim::reg::ValueData v;
    st = sim::reg::EnumerateValue(key, Index, &v);
    if (st != STATUS_SUCCESS)
        return st;
    return FillValueInformation(v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

}  // extern "C"

extern "C" NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                               ULONG Length, PULONG ResultLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwQueryKey");
    if (!ResultLength)
        return sim::NullArgument("ZwQueryKey", "ResultLength");
    KeyRef key;
    NTSTATUS st = sim::reg::KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (st != STATUS_SUCCESS)
        return st;
    sim::reg::SubkeyInfo info;
    st = sim::reg::QueryKey(key, &info);
    if (st != STATUS_SUCCESS)
        return st;
    return FillKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}
