// The demo as a Windows program: against the real drivers (under Wine, or on
// Windows with the virtual bus installed) it plugs the reference device into
// the virtual bus, shows the start sequence the device saw, sends bytes that
// the device echoes back, yanks the device and shows the port gone.
//   scripts/demo.sh --wine
#include <windows.h>

#include "vbus_requests.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

HANDLE g_Bus = INVALID_HANDLE_VALUE;

bool Bus(DWORD code, const vbusreq::Bytes& in, vbusreq::Bytes* out = nullptr, DWORD outSize = 0)
{
    vbusreq::Bytes buffer(in);
    if (buffer.size() < outSize) {
        buffer.resize(outSize);
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(g_Bus, code, buffer.data(), (DWORD)in.size(), buffer.data(), (DWORD)buffer.size(),
                              &returned, NULL);
    if (out != nullptr) {
        buffer.resize(returned);
        *out = buffer;
    }
    return ok != FALSE;
}

// 0: missing; 1: exists (opened, or refused because it is open elsewhere).
bool PortExists(int number)
{
    HANDLE h = CreateFileW(vbusreq::PortKernelPath(number).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

int HighestPort(int from, int to)
{
    int highest = 0;
    for (int n = from; n <= to; n++) {
        if (PortExists(n)) {
            highest = n;
        }
    }
    return highest;
}

}  // namespace

int main()
{
    g_Bus = CreateFileW(L"\\\\.\\BlnkVbus", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (g_Bus == INVALID_HANDLE_VALUE) {
        std::printf("the virtual bus \\\\.\\BlnkVbus does not open (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    std::printf("== Virtual bus \\\\.\\BlnkVbus open\n");
    int before = HighestPort(1, 256);

    vbusreq::Bytes plugged;
    if (!Bus(VBUS_IOCTL_PLUG, vbusreq::Plug(vbusreq::PlugOptions()), &plugged, sizeof(VBUS_PLUG_RESPONSE))) {
        std::printf("plugging the reference device failed (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    uint32_t id = vbusreq::Read<VBUS_PLUG_RESPONSE>(plugged).DeviceId;
    int number = 0;
    for (int i = 0; i < 500 && number == 0; i++) {
        number = HighestPort(before + 1, before + 16);
        if (number == 0) {
            Sleep(20);
        }
    }
    if (number == 0) {
        std::printf("the reference device did not become a port\n");
        return 1;
    }
    std::printf("== Reference device plugged (VID 5A1E, PID 0101): port \\Device\\NivexBlnk%d\n", number);

    // By its COM name, as programs open it; by its device name where the
    // package gave it none.
    HANDLE port = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    std::printf("== %s opened\n", port != INVALID_HANDLE_VALUE ? "\\\\.\\COM5" : "the port's device name");
    if (port == INVALID_HANDLE_VALUE) {
        port = CreateFileW(vbusreq::PortKernelPath(number).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           0, NULL);
    }
    vbusreq::Bytes log;
    Bus(VBUS_IOCTL_GET_URB_LOG, vbusreq::UrbLog(id), &log,
        sizeof(VBUS_URB_LOG_RESPONSE) + VBUS_URB_LOG_ENTRIES * sizeof(VBUS_URB_LOG_ENTRY));
    std::printf("== Start sequence as the device saw it\n");
    for (const VBUS_URB_LOG_ENTRY& e : vbusreq::LogEntries(log)) {
        std::printf("  #%u %-30s endpoint 0x%02X length %u\n", e.Sequence, vbusreq::UrbName(e), e.Endpoint,
                    e.RequestedLength);
    }

    Bus(VBUS_IOCTL_ECHO, vbusreq::Echo(id, true));
    const char hello[] = "Hello, port";
    DWORD written = 0;
    BOOL wrote = WriteFile(port, hello, sizeof(hello) - 1, &written, NULL);
    char echoed[sizeof(hello)] = {};
    DWORD got = 0;
    BOOL read = wrote && ReadFile(port, echoed, sizeof(hello) - 1, &got, NULL);
    std::printf("== Wrote \"%s\" (%lu bytes); the device echoed it; ReadFile got \"%s\" (%lu bytes)\n", hello,
                (unsigned long)written, echoed, (unsigned long)got);
    CloseHandle(port);

    Bus(VBUS_IOCTL_YANK, vbusreq::Device(id));
    bool gone = false;
    for (int i = 0; i < 500 && !gone; i++) {
        gone = !PortExists(number);
        if (!gone) {
            Sleep(20);
        }
    }
    std::printf("== Device yanked: \\Device\\NivexBlnk%d %s\n", number, gone ? "gone" : "STILL THERE");
    CloseHandle(g_Bus);
    bool ok = wrote && read && got == sizeof(hello) - 1 && std::string(echoed) == hello && gone;
    std::printf("== %s\n", ok ? "demo done" : "demo FAILED");
    return ok ? 0 : 1;
}
