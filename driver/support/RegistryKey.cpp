#include "support/RegistryKey.h"

namespace {

const LONG kFirstQueryBytes = 1024;
const LONG kStringQueryBytes = 284;

}  // namespace

void CRegistryKey::Close()
{
    if (m_Handle != NULL) {
        ZwClose(m_Handle);
        m_Handle = NULL;
    }
}

NTSTATUS CRegistryKey::Open(CUnicodeString& path, ACCESS_MASK access)
{
    Trace(kTraceEntry, "CRegistryKey::Open");
    Close();
    InitializeObjectAttributes(&m_Attributes, path.Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = ZwOpenKey(&m_Handle, access, &m_Attributes);
    if (!NT_SUCCESS(status)) {
        m_Handle = NULL;
    }
    return status;
}

NTSTATUS CRegistryKey::QueryValue(CUnicodeString& name, CMemBuffer& out)
{
    Trace(kTraceEntry, "CRegistryKey::QueryValue");
    if (m_Handle == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (out.m_Capacity == 0 && out.Resize(kFirstQueryBytes) != kFirstQueryBytes) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status;
    for (;;) {
        ULONG needed = 0;
        status =
            ZwQueryValueKey(m_Handle, name.Get(), KeyValueFullInformation, out.m_Data, (ULONG)out.m_Capacity, &needed);
        BOOLEAN tooSmall = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
        if (needed > (ULONG)out.m_Capacity) {
            // Growing failed: querying again with the same buffer would loop for ever.
            if (needed > (ULONG)MAXLONG || out.Resize((LONG)needed) != (LONG)needed) {
                Trace(kTraceFailure, "CRegistryKey::QueryValue cannot grow to %u", needed);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        } else {
            out.m_Size = (LONG)needed;
            if (tooSmall) {
                // A "too small" answer that asks for no more room cannot be met by retrying.
                return status;
            }
        }
        if (!tooSmall) {
            return status;
        }
    }
}

NTSTATUS CRegistryKey::QueryString(CUnicodeString& name, CUnicodeString& out)
{
    Trace(kTraceEntry, "CRegistryKey::QueryString");
    CMemBuffer record(NonPagedPool);
    if (record.Resize(kStringQueryBytes) != kStringQueryBytes) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(record.m_Data, record.m_Size);

    NTSTATUS status = QueryValue(name, record);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const KEY_VALUE_FULL_INFORMATION* info = (const KEY_VALUE_FULL_INFORMATION*)record.m_Data;
    ULONG size = (ULONG)record.m_Size;
    if (size < FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) || info->Type != REG_SZ ||
        info->DataOffset == 0xFFFFFFFF || info->DataOffset > size) {
        return STATUS_UNSUCCESSFUL;
    }
    // The text ends at its first zero, but never beyond the value's data or the
    // record: a value stored without a terminator must not be read past.
    ULONG bytes = size - info->DataOffset;
    if (info->DataLength < bytes) {
        bytes = info->DataLength;
    }
    UNICODE_STRING text;
    text.Buffer = (PWSTR)(record.Data() + info->DataOffset);
    USHORT chars = 0;
    ULONG maxChars = bytes / sizeof(WCHAR);
    if (maxChars > 0x7FFE) {
        maxChars = 0x7FFE;
    }
    while (chars < maxChars && text.Buffer[chars] != 0) {
        chars++;
    }
    text.Length = (USHORT)(chars * sizeof(WCHAR));
    text.MaximumLength = text.Length;
    out.Assign(text);
    return status;
}
