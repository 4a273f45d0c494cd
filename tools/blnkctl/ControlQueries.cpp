#include "ControlQueries.h"

#include <brisklink_ioctl.h>

#include "Text.h"

namespace {

// The driver reads a key up to its terminator; longer keys name no port.
const ULONG kKeyRoom = 128;

}  // namespace

DWORD CControlLink::Open()
{
    Close();
    // No access rights asked: the control codes are FILE_ANY_ACCESS.
    m_Handle = CreateFileW(BLNK_CONTROL_USER_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    return IsOpen() ? ERROR_SUCCESS : GetLastError();
}

void CControlLink::Close()
{
    if (IsOpen()) {
        CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
    }
}

// The key goes in and the answer comes back in one buffer; the output length
// is exactly the answer's, since the port checks it as its own request.
bool CControlLink::Ask(DWORD code, PCWSTR driverKey, void* answer, ULONG answerBytes)
{
    WCHAR buffer[kKeyRoom];
    if (!IsOpen() || driverKey[0] == 0 || !TextCopy(buffer, kKeyRoom, driverKey)) {
        return false;
    }
    ULONG keyBytes = (TextLength(buffer) + 1) * sizeof(WCHAR);
    if (answerBytes > sizeof(buffer)) {
        return false;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(m_Handle, code, buffer, keyBytes, buffer, answerBytes, &returned, NULL) ||
        returned < answerBytes) {
        return false;
    }
    BYTE* from = reinterpret_cast<BYTE*>(buffer);
    BYTE* to = static_cast<BYTE*>(answer);
    for (ULONG i = 0; i < answerBytes; i++) {
        to[i] = from[i];
    }
    return true;
}

CPortStatus CControlLink::Query(PCWSTR driverKey)
{
    CPortStatus s = {};
    ULONG value = 0;
    if ((s.haveOpen = Ask(IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE, driverKey, &value, 4))) {
        s.open = value != 0;
    }
    if ((s.haveReceived = Ask(IOCTL_VSERIAL_CONTROL_GET_RECV, driverKey, &value, 4))) {
        s.received = value;
    }
    if ((s.haveSent = Ask(IOCTL_VSERIAL_CONTROL_GET_SENT, driverKey, &value, 4))) {
        s.sent = value;
    }
    if ((s.haveBaud = Ask(IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE, driverKey, &value, 4))) {
        s.baud = value;
    }
    UCHAR line[3];
    if ((s.haveLine = Ask(IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL, driverKey, line, 3))) {
        s.stopBits = line[0];
        s.parity = line[1];
        s.wordLength = line[2];
    }
    // USB_DEVICE_DESCRIPTOR: idVendor at byte 8, idProduct at byte 10, little-endian.
    UCHAR descriptor[18];
    if ((s.haveIds = Ask(IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR, driverKey, descriptor, 18))) {
        s.vendorId = (USHORT)(descriptor[8] | (descriptor[9] << 8));
        s.productId = (USHORT)(descriptor[10] | (descriptor[11] << 8));
    }
    return s;
}
