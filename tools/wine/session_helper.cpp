// Small chores of a Wine session that only a Windows program can do:
//   blnk-session sleep <seconds>
//       keeps the session alive: Wine stops its services and unloads the
//       drivers when the last ordinary program exits.
//   blnk-session wait-open <path> <seconds>
//       waits until a device opens (the bus is started) and says how it went.
//   blnk-session plug <serial>
//       plugs a reference device into the virtual bus and prints its id.
//   blnk-session unplug <id>
//       unplugs it again.
// Exit codes: 0 done, 1 the wait ran out or the plug failed, 2 bad arguments.
#include <windows.h>

#include "vbus_requests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring Widen(const char* text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) {
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], n);
    }
    return wide;
}

int Sleep(unsigned seconds)
{
    ::Sleep(seconds * 1000u);
    return 0;
}

int WaitOpen(const char* path, unsigned seconds)
{
    std::wstring wide = Widen(path);
    DWORD start = GetTickCount();
    DWORD error = 0;
    for (;;) {
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            std::printf("%s opens after %lu ms\n", path, (unsigned long)(GetTickCount() - start));
            return 0;
        }
        error = GetLastError();
        if (GetTickCount() - start >= seconds * 1000u) {
            break;
        }
        ::Sleep(50);
    }
    std::printf("%s does not open after %u s: error %lu\n", path, seconds, (unsigned long)error);
    return 1;
}

int Plug(const char* serial)
{
    HANDLE bus = CreateFileW(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        std::printf("the virtual bus does not open: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    vbusreq::PlugOptions options;
    options.serial = std::u16string(serial, serial + std::strlen(serial));
    vbusreq::Bytes buffer = vbusreq::Plug(options);
    size_t inBytes = buffer.size();
    if (buffer.size() < sizeof(VBUS_PLUG_RESPONSE)) {
        buffer.resize(sizeof(VBUS_PLUG_RESPONSE));
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(bus, VBUS_IOCTL_PLUG, buffer.data(), (DWORD)inBytes, buffer.data(), (DWORD)buffer.size(),
                              &returned, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(bus);
    if (!ok) {
        std::printf("plugging %s failed: error %lu\n", serial, (unsigned long)error);
        return 1;
    }
    std::printf("%lu\n", (unsigned long)vbusreq::Read<VBUS_PLUG_RESPONSE>(buffer).DeviceId);
    return 0;
}

int Unplug(uint32_t id)
{
    HANDLE bus = CreateFileW(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    vbusreq::Bytes request = vbusreq::Device(id);
    DWORD returned = 0;
    BOOL ok = bus != INVALID_HANDLE_VALUE && DeviceIoControl(bus, VBUS_IOCTL_UNPLUG, request.data(),
                                                             (DWORD)request.size(), nullptr, 0, &returned, nullptr);
    if (bus != INVALID_HANDLE_VALUE) {
        CloseHandle(bus);
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "sleep") == 0) {
        return Sleep((unsigned)std::strtoul(argv[2], nullptr, 10));
    }
    if (argc == 4 && std::strcmp(argv[1], "wait-open") == 0) {
        return WaitOpen(argv[2], (unsigned)std::strtoul(argv[3], nullptr, 10));
    }
    if (argc == 3 && std::strcmp(argv[1], "plug") == 0) {
        return Plug(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "unplug") == 0) {
        return Unplug((uint32_t)std::strtoul(argv[2], nullptr, 10));
    }
    std::fprintf(stderr,
                 "usage: blnk-session sleep <seconds> | wait-open <path> <seconds> | plug <serial> | unplug <id>\n");
    return 2;
}
