// What the driver tells about a port through its control device
// \\.\BLNKControl, asked by the port's driver key. Each value comes with
// whether the driver gave it: a query the driver refuses leaves that value
// unknown and the others as they are.
#pragma once

#include "Blnkctl.h"

struct CPortStatus {
    bool haveOpen, haveReceived, haveSent, haveBaud, haveLine, haveIds;
    bool open;
    ULONG received, sent, baud;
    UCHAR stopBits, parity, wordLength;  // SERIAL_LINE_CONTROL
    USHORT vendorId, productId;          // from the device descriptor
};

class CControlLink {
public:
    CControlLink() = default;
    ~CControlLink() { Close(); }
    CControlLink(const CControlLink&) = delete;
    CControlLink& operator=(const CControlLink&) = delete;

    // ERROR_SUCCESS, or why \\.\BLNKControl does not open: ERROR_FILE_NOT_FOUND
    // when the driver is not loaded, ERROR_ACCESS_DENIED.
    DWORD Open();
    void Close();
    bool IsOpen() const { return m_Handle != INVALID_HANDLE_VALUE; }

    // Every value the driver gives for the port of `driverKey`.
    CPortStatus Query(PCWSTR driverKey);

private:
    bool Ask(DWORD code, PCWSTR driverKey, void* answer, ULONG answerBytes);

    HANDLE m_Handle = INVALID_HANDLE_VALUE;
};
