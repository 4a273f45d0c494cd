// Systematic low resources: one clean run of a port's life counts the
// allocations each failable site sees; then the same life runs again once
// for each of them, failing exactly that one. Whatever fails, every run ends
// with no crash, no hang, no leak and a clean verifier report.
// Pool allocations are many: BRISKLINK_LOW_RESOURCES_STRIDE=N fails every
// Nth of them only (every one by default).
#include <windows.h>

#include "port_machine.h"

#include <brisklink_ioctl.h>

#include <cstdlib>

using namespace sim_test;

namespace {

class LowResourcesTest : public PortMachineTest {
protected:
    // A port's life through the Win32 API; each step may fail.
    void Life()
    {
        uint32_t id = Plug();
        if (id == 0) {
            return;
        }
        HANDLE port = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (port != INVALID_HANDLE_VALUE) {
            COMMTIMEOUTS timeouts = {0, 0, 50, 0, 0};
            SetCommTimeouts(port, &timeouts);
            SetCommMask(port, EV_RXCHAR);
            DWORD done = 0;
            WriteFile(port, Sequence(70).data(), 70, &done, NULL);
            Feed(id, Sequence(20));
            std::vector<uint8_t> in(20);
            ReadFile(port, in.data(), (DWORD)in.size(), &done, NULL);
            // A sleep and a wake with the port open, and a second program's
            // requests at the control device (a count and a rename).
            sim::SleepMachine(PowerSystemSleeping3);
            sim::WakeMachine();
            HANDLE control = CreateFileW(BLNK_CONTROL_USER_PATH, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (control != INVALID_HANDLE_VALUE) {
                ULONG count = 0;
                DeviceIoControl(control, IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT, NULL, 0, &count, sizeof(count), &done,
                                NULL);
                DeviceIoControl(control, IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, NULL, 0, NULL, 0, &done, NULL);
                CloseHandle(control);
            }
            CloseHandle(port);
        }
        DeviceRequest(VBUS_IOCTL_UNPLUG, id);
        WaitFor([&] { return PortNodes().empty(); });
        sim::WaitPnpIdle();
    }
    void Restart()
    {
        TearDown();
        SetUp();
    }
};

unsigned Stride()
{
    const char* text = getenv("BRISKLINK_LOW_RESOURCES_STRIDE");
    return text != nullptr && atoi(text) > 0 ? (unsigned)atoi(text) : 1;
}

}  // namespace

TEST_F(LowResourcesTest, EachFailedAllocationEndsCleanly)
{
    const sim::FaultSite sites[] = {sim::FaultSite::Pool, sim::FaultSite::Irp, sim::FaultSite::WorkItem,
                                    sim::FaultSite::Urb};
    unsigned base[4];
    for (int s = 0; s < 4; s++) {
        base[s] = sim::AllocationAttempts(sites[s]);
    }
    Life();
    unsigned counts[4];
    for (int s = 0; s < 4; s++) {
        counts[s] = sim::AllocationAttempts(sites[s]) - base[s];
    }
    for (int s = 0; s < 4 && !HasFailure(); s++) {
        for (unsigned k = 1; k <= counts[s] && !HasFailure(); k += (s == 0 ? Stride() : 1)) {
            SCOPED_TRACE("site " + std::to_string(s) + " allocation " + std::to_string(k) + " of " +
                         std::to_string(counts[s]));
            Restart();
            sim::FaultRule rule;
            rule.site = sites[s];
            rule.nth = k;  // counted from the rule on
            sim::AddFault(rule);
            Life();
            sim::ClearFaults();
        }
    }
}
