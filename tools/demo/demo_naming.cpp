// The port by its COM name, as programs meet it: its friendly name and its
// SERIALCOMM entry, a client talking through "\\.\COM5" to an echoing device,
// a second program reading the port's counters through "\\.\BLNKControl"
// while the client holds the port, and a second device left without a name.
#include "demo.h"

#include <windows.h>

#include "vbus_requests.h"

#include <brisklink_ioctl.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char kEnum[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
// A request to the virtual bus's control device, answered in its own buffer.
vbusreq::Bytes BusRequest(ULONG code, vbusreq::Bytes buffer, size_t outputSize = 0)
{
    buffer.resize(buffer.size() < outputSize ? outputSize : buffer.size());
    sim::IrpResult r = sim::SendIrp(sim::FindDevice(VBUS_DEVICE_NAME), IRP_MJ_DEVICE_CONTROL, 0, buffer.data(),
                                    (ULONG)buffer.size(), code);
    buffer.resize(r.ioStatus.Information < buffer.size() ? r.ioStatus.Information : buffer.size());
    return buffer;
}

const char kSerialComm[] = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

std::string FriendlyName(const std::string& instance)
{
    std::string name;
    return sim::RegGetString(kEnum + instance, "FriendlyName", &name) ? name : "(none)";
}

// One control request as a program sends it: the port's driver key in, the
// answer out, in one buffer.
bool ControlQuery(HANDLE control, DWORD code, const std::string& driverKey, ULONG* value)
{
    std::vector<WCHAR> buffer(driverKey.begin(), driverKey.end());
    buffer.push_back(0);
    buffer.resize(buffer.size() < 32 ? 32 : buffer.size());
    DWORD returned = 0;
    DWORD inBytes = (DWORD)((driverKey.size() + 1) * sizeof(WCHAR));
    if (!DeviceIoControl(control, code, buffer.data(), inBytes, buffer.data(), sizeof(ULONG), &returned, NULL)) {
        return false;
    }
    memcpy(value, buffer.data(), sizeof(ULONG));
    return true;
}

// The second program: opens the control device and asks for the port's state.
void ReadCounters(const std::string& driverKey)
{
    HANDLE control = CreateFileW(BLNK_CONTROL_USER_PATH, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE) {
        std::printf("  \\\\.\\BLNKControl does not open (error %lu)\n", (unsigned long)GetLastError());
        return;
    }
    ULONG open = 0, received = 0, sent = 0, baud = 0;
    bool ok = ControlQuery(control, IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE, driverKey, &open) &&
              ControlQuery(control, IOCTL_VSERIAL_CONTROL_GET_RECV, driverKey, &received) &&
              ControlQuery(control, IOCTL_VSERIAL_CONTROL_GET_SENT, driverKey, &sent) &&
              ControlQuery(control, IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE, driverKey, &baud);
    CloseHandle(control);
    if (!ok) {
        std::printf("  a control query failed (error %lu)\n", (unsigned long)GetLastError());
        return;
    }
    std::printf("== Through \\\\.\\BLNKControl, another program sees the port %s: %lu bytes received, %lu sent, "
                "%lu baud\n",
                open ? "open" : "closed", (unsigned long)received, (unsigned long)sent, (unsigned long)baud);
}

}  // namespace

bool RunNamingDemo(uint32_t id, const sim::DeviceNodeInfo& node, uint32_t* second)
{
    std::string link;
    sim::RegGetString(kSerialComm, "\\Device\\NivexBlnk1", &link);
    std::printf("== Friendly name \"%s\"; SERIALCOMM maps \\Device\\NivexBlnk1 to %s\n",
                FriendlyName(node.instancePath).c_str(), link.c_str());

    BusRequest(VBUS_IOCTL_ECHO, vbusreq::Echo(id, true));
    HANDLE port = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("  \\\\.\\COM5 does not open (error %lu)\n", (unsigned long)GetLastError());
        return false;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    SetCommState(port, &dcb);
    std::string hello = "Hello, COM5";
    std::string echoed(hello.size(), '\0');
    DWORD written = 0, read = 0;
    bool talked = WriteFile(port, hello.data(), (DWORD)hello.size(), &written, NULL) &&
                  ReadFile(port, &echoed[0], (DWORD)echoed.size(), &read, NULL) && echoed == hello;
    std::printf("== A client opened \\\\.\\COM5 at 115200 baud, wrote \"%s\" and read back \"%s\" from the echoing "
                "device\n",
                hello.c_str(), echoed.substr(0, read).c_str());

    std::thread(ReadCounters, node.driverKey).join();
    CloseHandle(port);
    BusRequest(VBUS_IOCTL_ECHO, vbusreq::Echo(id, false));

    vbusreq::PlugOptions options;
    options.serial = u"SECOND";
    vbusreq::Bytes plugged = BusRequest(VBUS_IOCTL_PLUG, vbusreq::Plug(options), sizeof(VBUS_PLUG_RESPONSE));
    *second = vbusreq::Read<VBUS_PLUG_RESPONSE>(plugged).DeviceId;
    std::string instance = sim::WaitDeviceStarted("USB\\VID_5A1E&PID_0101\\SECOND", 10000);
    std::printf("== A second device (%s) starts as \"%s\": COM5 stays the first one's\n",
                instance.empty() ? "NOT STARTED" : instance.c_str(), FriendlyName(instance).c_str());
    return talked && !instance.empty();
}

void PrintLog(const char* dosPath)
{
    std::ifstream in(sim::HostPathForDosPath(std::string("\\DosDevices\\") + dosPath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::printf("== The driver's log, %s\n%s", dosPath, text.str().c_str());
}
