// A file opened for appending. Open, Write and Close run at PASSIVE_LEVEL; a
// second Open on an open writer is refused. Not locked.
#pragma once

#include "support/UnicodeString.h"

class CLogFile : public CTraceable {
public:
    CLogFile() : m_Handle(NULL), m_Path(PagedPool)
    {
        RtlZeroMemory(&m_Attributes, sizeof(m_Attributes));
        RtlZeroMemory(&m_IoStatus, sizeof(m_IoStatus));
    }
    ~CLogFile() { Close(); }

    NTSTATUS Open(PCWSTR path);
    NTSTATUS Write(const void* bytes, ULONG length);
    void Close();

    HANDLE m_Handle;
    CUnicodeString m_Path;
    OBJECT_ATTRIBUTES m_Attributes;
    IO_STATUS_BLOCK m_IoStatus;

private:
    CLogFile(const CLogFile&);
    CLogFile& operator=(const CLogFile&);
};
