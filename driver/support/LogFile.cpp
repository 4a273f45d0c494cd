#include "support/LogFile.h"

NTSTATUS CLogFile::Open(PCWSTR path)
{
    Trace(kTraceEntry, "CLogFile::Open");
    if (m_Handle != NULL) {
        return STATUS_DEVICE_BUSY;
    }
    // Checked before the path is copied: the copy is paged pool, which must
    // not be allocated above APC_LEVEL.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_Path.Assign(path);
    InitializeObjectAttributes(&m_Attributes, m_Path.Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status =
        ZwCreateFile(&m_Handle, FILE_APPEND_DATA, &m_Attributes, &m_IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        m_Handle = NULL;
    }
    return status;
}

NTSTATUS CLogFile::Write(const void* bytes, ULONG length)
{
    if (m_Handle == NULL) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    return ZwWriteFile(m_Handle, NULL, NULL, NULL, &m_IoStatus, (PVOID)bytes, length, NULL, NULL);
}

void CLogFile::Close()
{
    if (m_Handle != NULL) {
        ZwClose(m_Handle);
        m_Handle = NULL;
        m_Path.Assign((PCWSTR)NULL);
    }
}
