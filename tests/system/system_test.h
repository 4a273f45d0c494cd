// Portable system tests: Win32 programs that plug virtual devices in through
// the virtual bus's control device, use the port, unplug, and check what
// happened. The same sources run on the simulated machine and, cross-built,
// under Wine (and on Windows with the bus installed).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "vbus_requests.h"

#include <string>
#include <vector>

namespace systest {

// What each platform supplies (tests/system/host/ for the simulated machine,
// tests/system/target/ for Windows and Wine).
bool PlatformSetUp(std::string* why);
void PlatformTearDown();
// Checks what only the platform can see of the ports still plugged in (on the
// simulated machine: every pending-I/O unit a port took has come back).
void PlatformCheckAtRest();
// Non-null when `suite`.`test` cannot pass on this platform because of a
// documented platform difference; the test is then skipped with that reason.
const char* PlatformSkipReason(const std::string& suite, const std::string& test);
bool OnSimulatedMachine();
// True for an error a request of a port's handle may end with on this
// platform only, because its I/O layer ends the request itself or reports the
// driver's status differently (none on the simulated machine or on Windows).
bool PlatformAlsoEnds(DWORD error);
// True where a program's cancel of a request that the driver completes at
// the same moment can fault the platform itself: Wine 8's server queues the
// cancel with the request's address and does not withdraw it when the
// request completes, so the driver host may cancel a freed IRP. Loads there
// end their requests through the driver.
bool PlatformCancelRacesCompletion();
// True where an open of a device object returns before the driver has
// answered IRP_MJ_CREATE (Wine 8: the server gives the handle at once and
// the driver's answer never reaches the opener): there a port opened in the
// moment between the bus letting go of its device and the port deleting its
// device object gets a handle, where Windows passes on the port's refusal.
bool PlatformOpensBeforeTheDriver();
// Request shapes a platform answers in user mode, before any driver sees
// them (empty where every request reaches the driver): under Wine 8, ntdll
// serves the control codes of some device types itself (beep and network:
// its socket layer; disk, CD, DVD, controller, mass storage and tape: its
// own storage code), and it does not refuse a NULL buffer with a length as
// the I/O manager's probe does. Campaigns leave such shapes out there.
bool AnsweredBeforeTheDriver(DWORD code, bool nullWithLength);

// A bounded wait for `predicate`, polling; true when it held.
template <typename Predicate>
bool Eventually(Predicate predicate, DWORD timeoutMs = 5000)
{
    DWORD start = GetTickCount();
    while (!predicate()) {
        if (GetTickCount() - start > timeoutMs) {
            return predicate();
        }
        Sleep(2);
    }
    return true;
}

// The virtual bus as a program sees it: DeviceIoControl on \\.\BlnkVbus.
class VirtualBus {
public:
    ~VirtualBus() { Close(); }
    bool Open();
    void Close();

    DWORD Ioctl(DWORD code, const vbusreq::Bytes& in, vbusreq::Bytes* out = nullptr, DWORD outSize = 0);
    uint32_t Plug(const vbusreq::PlugOptions& options = vbusreq::PlugOptions());
    bool Unplug(uint32_t id) { return Ioctl(VBUS_IOCTL_UNPLUG, vbusreq::Device(id)) == ERROR_SUCCESS; }
    bool Yank(uint32_t id) { return Ioctl(VBUS_IOCTL_YANK, vbusreq::Device(id)) == ERROR_SUCCESS; }
    bool Feed(uint32_t id, const vbusreq::Bytes& bytes, bool raw = false);
    vbusreq::Bytes ReadOut(uint32_t id, uint32_t view);
    bool Fault(const vbusreq::Bytes& request) { return Ioctl(VBUS_IOCTL_SET_FAULT, request) == ERROR_SUCCESS; }
    bool Echo(uint32_t id, bool on) { return Ioctl(VBUS_IOCTL_ECHO, vbusreq::Echo(id, on)) == ERROR_SUCCESS; }
    std::vector<VBUS_URB_LOG_ENTRY> UrbLog(uint32_t id);
    VBUS_DEVICE_INFO Query(uint32_t id);
    // Waits until the device's two readers are queued (the port has started).
    bool WaitStarted(uint32_t id, DWORD timeoutMs = 10000);
    // Waits until the PnP manager has removed the device.
    bool WaitRemoved(uint32_t id, DWORD timeoutMs = 10000);

    std::vector<uint32_t> plugged;

private:
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

// Opens port `number` (overlapped when asked); INVALID_HANDLE_VALUE and the
// error in *error when it cannot be opened.
HANDLE OpenPort(int number, bool overlapped = false, DWORD* error = nullptr);
// Device numbers only grow while the driver stays loaded: under Wine and on
// Windows the machine, and its count, outlive each test (a long campaign
// plugs thousands). Ports are looked for up to this many numbers past the
// highest one this process has seen.
const int kPortNumberReach = 512;
// The highest port number in [from, to] that exists now, or 0 (to 0: up to
// kPortNumberReach past the highest number seen). Probing opens each existing
// port for a moment.
int NewestPort(int from, int to = 0);
// Waits (bounded) for a port numbered above `before` to appear; its number,
// or 0.
int NewPortAfter(int before, DWORD timeoutMs = 10000);

// The device instance path the virtual bus gives a device plugged with
// `options` ("USB\VID_xxxx&PID_xxxx\<serial>"); empty when it cannot be
// known before the plug (no serial, or hardware ids of its own).
std::u16string InstancePath(const vbusreq::PlugOptions& options);

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a device and waits until its port has started; the port's number
    // in *number. 0 when it did not start.
    uint32_t PlugPort(int* number, const vbusreq::PlugOptions& options = vbusreq::PlugOptions());

    VirtualBus bus;
    bool m_Up = false;
    std::vector<std::u16string> m_Instances;  // instance paths PlugPort knew
};

}  // namespace systest
