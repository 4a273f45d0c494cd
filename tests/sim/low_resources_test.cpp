// Systematic low resources: one clean run of a port's life counts the calls
// each failable site sees (allocations, registry, objects, files); then the
// same life runs again once for each of them, failing exactly that one.
// Whatever fails, every run ends with no crash, no hang, no leak and a clean
// verifier report, and the next device's life is whole.
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
    // A port's life through the Win32 API; each step may fail. True when
    // every step worked and the bytes came through whole.
    bool Life()
    {
        UseLog();  // the driver's log file: its create and its writes may fail too
        uint32_t id = Plug();
        if (id == 0) {
            return false;
        }
        bool whole = false;
        HANDLE port = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (port != INVALID_HANDLE_VALUE) {
            COMMTIMEOUTS timeouts = {0, 0, 50, 0, 0};
            SetCommTimeouts(port, &timeouts);
            SetCommMask(port, EV_RXCHAR);
            DWORD done = 0;
            whole = WriteFile(port, Sequence(70).data(), 70, &done, NULL) && done == 70;
            Feed(id, Sequence(20));
            std::vector<uint8_t> in(20);
            whole = ReadFile(port, in.data(), (DWORD)in.size(), &done, NULL) && in == Sequence(20) && whole;
            // A sleep and a wake with the port open, and a second program's
            // requests at the control device (a count and a rename).
            sim::SleepMachine(PowerSystemSleeping3);
            sim::WakeMachine();
            HANDLE control = CreateFileW(BLNK_CONTROL_USER_PATH, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
            whole = control != INVALID_HANDLE_VALUE && whole;
            if (control != INVALID_HANDLE_VALUE) {
                ULONG count = 0;
                whole = DeviceIoControl(control, IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT, NULL, 0, &count, sizeof(count),
                                        &done, NULL) &&
                        count == 1 && whole;
                DeviceIoControl(control, IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, NULL, 0, NULL, 0, &done, NULL);
                CloseHandle(control);
            }
            CloseHandle(port);
        }
        DeviceRequest(VBUS_IOCTL_UNPLUG, id);
        WaitFor([&] { return PortNodes().empty(); });
        sim::WaitPnpIdle();
        return whole;
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

TEST_F(LowResourcesTest, EachFailedCallEndsCleanlyAndTheNextLifeIsWhole)
{
    struct Site {
        sim::FaultSite site;
        const char* name;
        unsigned base, calls;
    } sites[] = {{sim::FaultSite::Pool, "pool", 0, 0},     {sim::FaultSite::Lookaside, "lookaside", 0, 0},
                 {sim::FaultSite::Irp, "irp", 0, 0},       {sim::FaultSite::WorkItem, "work item", 0, 0},
                 {sim::FaultSite::Urb, "urb", 0, 0},       {sim::FaultSite::Registry, "registry", 0, 0},
                 {sim::FaultSite::Object, "object", 0, 0}, {sim::FaultSite::File, "file", 0, 0}};
    for (Site& s : sites) {
        s.base = sim::AllocationAttempts(s.site);
    }
    ASSERT_TRUE(Life());
    for (Site& s : sites) {
        s.calls = sim::AllocationAttempts(s.site) - s.base;
        // A site the life never reaches proves nothing: the count is wrong.
        EXPECT_GT(s.calls, 0u) << s.name;
    }
    unsigned failed = 0;
    for (const Site& s : sites) {
        unsigned stride = s.site == sim::FaultSite::Pool ? Stride() : 1;
        for (unsigned k = 1; k <= s.calls && !HasFailure(); k += stride) {
            SCOPED_TRACE(std::string(s.name) + " call " + std::to_string(k) + " of " + std::to_string(s.calls));
            Restart();
            sim::FaultRule rule;
            rule.site = s.site;
            rule.nth = k;  // counted from the rule on
            sim::AddFault(rule);
            Life();
            sim::ClearFaults();
            // Whatever failed left nothing behind: the next device's life,
            // with nothing failing, is whole (its name, its log, its counts).
            EXPECT_TRUE(Life());
            failed++;
        }
        printf("LOW_RESOURCES site=%s calls=%u\n", s.name, s.calls);
    }
    printf("LOW_RESOURCES runs=%u\n", failed);
}
