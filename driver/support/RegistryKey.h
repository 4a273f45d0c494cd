// An open registry key with value queries. PASSIVE_LEVEL only. Not locked.
#pragma once

#include "support/MemBuffer.h"
#include "support/UnicodeString.h"

class CRegistryKey : public CTraceable {
public:
    CRegistryKey() : m_Handle(NULL) { RtlZeroMemory(&m_Attributes, sizeof(m_Attributes)); }
    ~CRegistryKey() { Close(); }

    NTSTATUS Open(CUnicodeString& path, ACCESS_MASK access);
    // On success `out` holds a KEY_VALUE_FULL_INFORMATION record of m_Size bytes.
    NTSTATUS QueryValue(CUnicodeString& name, CMemBuffer& out);
    // Reads a REG_SZ value; STATUS_UNSUCCESSFUL for any other type or no data.
    NTSTATUS QueryString(CUnicodeString& name, CUnicodeString& out);
    void Close();

    OBJECT_ATTRIBUTES m_Attributes;
    HANDLE m_Handle;

private:
    CRegistryKey(const CRegistryKey&);
    CRegistryKey& operator=(const CRegistryKey&);
};
