// The port's life events under load: while several client threads read,
// write, wait on the event mask, open and close the port and query the
// control device, the device is yanked or unplugged, removed or disabled in
// order, rebalanced, has a stop or a removal queried and cancelled, or its
// client is ended. Every request ends with a status its race allows, every
// handle closes, and afterwards the port either moves data both ways with
// its counter at rest, or is gone without a trace the verifier can find.
#include <windows.h>

#include "campaign.h"
#include "port_load.h"
#include "port_machine.h"

#include <random>

using sim_test::PortMachineTest;

namespace {

enum class Event { Yank, Unplug, Remove, Disable, Rebalance, CancelStop, CancelRemove, EndClient, kCount };

const char* EventName(Event e)
{
    static const char* const names[] = {"yank",      "unplug",      "remove",        "disable",
                                        "rebalance", "cancel-stop", "cancel-remove", "end-client"};
    return names[(int)e];
}

const wchar_t kPortPath[] = L"\\\\.\\COM5";

HANDLE OpenPort(bool overlapped)
{
    return CreateFileW(kPortPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

class RemovalCampaignTest : public PortMachineTest {
protected:
    // Bytes written to the echoing device come back to a read of the same
    // handle: both pipes and the whole data path work.
    ::testing::AssertionResult RoundTrips(uint8_t first)
    {
        // A load handle closed with requests in flight is closed for good
        // only once the last of them has finished (IRP_MJ_CLOSE comes then,
        // from another thread): until then the exclusive port refuses.
        HANDLE h = INVALID_HANDLE_VALUE;
        DWORD error = 0;
        sim_test::WaitFor([&] {
            h = OpenPort(false);
            error = GetLastError();
            return h != INVALID_HANDLE_VALUE || error != ERROR_ACCESS_DENIED;
        });
        if (h == INVALID_HANDLE_VALUE) {
            return ::testing::AssertionFailure() << "the port does not open: " << error;
        }
        std::string why = portload::RoundTrip(h, sim_test::Sequence(24, (uint8_t)(0x80 + first % 0x60)));
        BOOL closed = CloseHandle(h);
        if (!why.empty() || !closed) {
            return ::testing::AssertionFailure() << (why.empty() ? "the handle did not close" : why);
        }
        return ::testing::AssertionSuccess();
    }

    // One cycle; true when everything held.
    bool Cycle(uint64_t seed)
    {
        std::mt19937_64 rng(seed);
        auto pick = [&](unsigned low, unsigned high) {
            return std::uniform_int_distribution<unsigned>(low, high)(rng);
        };
        // Not the client's end yet: the load's threads go on after the
        // system has ended "their" program, so one can send a request onto
        // the handle the system is closing, which a real ended thread never
        // does, and that request waits for ever. The facility itself has its
        // own test; it joins the campaign once the load's threads really end.
        Event event = (Event)pick(0, (unsigned)Event::EndClient - 1);
        SCOPED_TRACE(EventName(event));

        uint32_t id = Plug();
        EXPECT_NE(id, 0u);
        std::vector<sim::DeviceNodeInfo> ports = PortNodes();
        EXPECT_EQ(ports.size(), 1u);
        if (id == 0 || ports.size() != 1) {
            return false;
        }
        std::string instance = ports[0].instancePath;
        EXPECT_EQ(sim_test::BusIoctl(VBUS_IOCTL_ECHO, vbusreq::Echo(id, true)).status, STATUS_SUCCESS);

        bool gone = false;  // the device node was taken away for good
        {
            portload::Load load(rng(), [](bool overlapped) { return OpenPort(overlapped); });
            EXPECT_TRUE(load.Start());
            Sleep(pick(0, 30));
            NTSTATUS status = STATUS_SUCCESS;
            switch (event) {
            case Event::Yank:
                status = Yank(id);
                gone = true;
                break;
            case Event::Unplug:
                status = Unplug(id);
                gone = true;
                break;
            case Event::Remove:
            case Event::Disable:
                // The client holds the port: the PnP manager vetoes for
                // its open handle before any driver hears of it.
                status = event == Event::Remove ? sim::PnpRemoveDevice(instance) : sim::PnpDisableDevice(instance);
                EXPECT_EQ(status, STATUS_DEVICE_BUSY);
                status = STATUS_SUCCESS;
                break;
            case Event::Rebalance:
                status = sim::PnpStopDevice(instance);
                break;
            case Event::CancelStop:
                status = sim::PnpQueryStopCancel(instance);
                break;
            case Event::CancelRemove:
                status = sim::PnpQueryRemoveCancel(instance);
                break;
            case Event::EndClient:
                // Windows ends every thread of the program: each one's
                // pending requests are cancelled and waited for, then the
                // system closes what the program held.
                for (DWORD thread : load.MarkEnded()) {
                    EXPECT_EQ(sim::EndClientThread(thread).unfinished, 0u);
                }
                load.ForgetPort();
                break;
            case Event::kCount:
                break;
            }
            EXPECT_EQ(status, STATUS_SUCCESS);
            Sleep(pick(0, 20));
            load.Stop();
            EXPECT_FALSE(load.Running());
            std::string faults = load.Faults();
            EXPECT_TRUE(faults.empty()) << faults;
        }

        if (!gone) {
            CSerialDevice* port = OnlyPort();
            EXPECT_NE(port, nullptr);
            if (port != nullptr) {
                EXPECT_TRUE(sim_test::CounterAtRest(port));
            }
            EXPECT_TRUE(RoundTrips((uint8_t)seed));
            if (event == Event::Remove || event == Event::Disable) {
                // With no handle open the same request goes through; a
                // disabled port comes back on enable and works as before.
                // (A file object lives until the last of its requests has
                // finished its completion: until then the veto stands.)
                NTSTATUS removal = STATUS_DEVICE_BUSY;
                EXPECT_TRUE(sim_test::WaitFor([&] {
                    removal = event == Event::Remove ? sim::PnpRemoveDevice(instance) : sim::PnpDisableDevice(instance);
                    return removal != STATUS_DEVICE_BUSY;
                }));
                EXPECT_EQ(removal, STATUS_SUCCESS);
                EXPECT_TRUE(PortNodes().empty());
                EXPECT_FALSE(sim::SymbolicLinkExists(L"\\DosDevices\\Global\\COM5"));
                if (event == Event::Disable) {
                    EXPECT_EQ(sim::PnpEnableDevice(instance), STATUS_SUCCESS);
                    EXPECT_EQ(sim_test::BusIoctl(VBUS_IOCTL_ECHO, vbusreq::Echo(id, true)).status, STATUS_SUCCESS);
                    EXPECT_TRUE(RoundTrips((uint8_t)(seed >> 8)));
                }
            }
            EXPECT_EQ(Unplug(id), STATUS_SUCCESS);
        }
        EXPECT_TRUE(sim::WaitDeviceGone(instance));
        EXPECT_TRUE(sim::WaitPnpIdle());
        EXPECT_TRUE(PortNodes().empty());
        EXPECT_FALSE(sim::SymbolicLinkExists(L"\\DosDevices\\Global\\COM5"));
        EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
        return !HasFailure();  // the campaign stops at its first failing case
    }
};

}  // namespace

TEST_F(RemovalCampaignTest, EveryLifeEventUnderLoadEndsEveryRequestAndLeavesThePortWorkingOrGone)
{
    campaign::Campaign c("removal_under_load", 40);
    for (unsigned i = 0; i < c.Cases(); i++) {
        SCOPED_TRACE(c.Describe(i));
        if (!c.Record(i, Cycle(c.CaseSeed(i)))) {
            break;  // the machine may be in no state for the next case
        }
    }
    EXPECT_EQ(c.Failed(), 0u);
}
