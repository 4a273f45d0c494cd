#include "PortNaming.h"

#include <brisklink_ioctl.h>

bool PokeControlDevice()
{
    // Overlapped, so that a driver that pends the request is waited for
    // through the event rather than by a handle that may be signalled by
    // something else.
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (event == NULL) {
        return false;
    }
    HANDLE device = CreateFileW(BLNK_CONTROL_USER_PATH, 0, FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        CloseHandle(event);
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD returned = 0;
    bool done =
        DeviceIoControl(device, IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, NULL, 0, NULL, 0, &returned, &overlapped) != FALSE;
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        done = GetOverlappedResult(device, &overlapped, &returned, TRUE) != FALSE;
    }
    CloseHandle(device);
    CloseHandle(event);
    return done;
}
