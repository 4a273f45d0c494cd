// What the control device asks of a port it lists.
#include "port/SerialDevice.h"

PDEVICE_OBJECT CSerialDevice::PhysicalDevice()
{
    return m_Pdo;
}

BOOLEAN CSerialDevice::HasDriverKey(const WCHAR* key)
{
    const WCHAR* own = m_DriverKeyName.Value().Buffer;
    if (own == NULL) {
        return FALSE;  // the key could not be read: no request can name this port
    }
    // The buffer holds the name and at least one zero behind it; the walk
    // stops at the first difference or at the shared terminator.
    ULONG room = m_DriverKeyName.Value().MaximumLength / sizeof(WCHAR);
    for (ULONG i = 0; i < room; i++) {
        if (own[i] != key[i]) {
            return FALSE;
        }
        if (own[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

void CSerialDevice::BeginControlRequest()
{
    m_IoCounter.Increment();
}

void CSerialDevice::EndControlRequest()
{
    m_IoCounter.Decrement();
}
