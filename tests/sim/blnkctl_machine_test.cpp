// blnkctl where only the simulated machine can put it: a port whose driver
// did not load, Ctrl+C pressed during watch, a setup.dll without its export.
#include "blnkctl_run.h"
#include "port_machine.h"

#include <condition_variable>
#include <thread>

namespace {

using blnkctl_test::Blnkctl;
using blnkctl_test::Row;

NTSTATUS FailingDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_UNSUCCESSFUL;
}

class BlnkctlDriverAbsentTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(sim_test::StartBusMachine());
        sim::DriverPackage port;
        port.service = "Brisklink";
        port.entry = FailingDriverEntry;
        port.hardwareIds = {"USB\\VID_5A1E&PID_0101"};
        port.className = "Ports";
        sim::InstallDriverPackage(port);
    }
};

// The device is present and of the Ports class, but its driver failed to
// load: the ports are listed with every driver value unknown, and the exit
// code says the driver is missing.
TEST_F(BlnkctlDriverAbsentTest, ListShowsThePortAndSaysTheDriverIsNotLoaded)
{
    sim_test::BusReply r =
        sim_test::BusIoctl(VBUS_IOCTL_PLUG, vbusreq::Plug(vbusreq::PlugOptions()), sizeof(VBUS_PLUG_RESPONSE));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitPnpIdle());

    blnkctl_test::Result list = Blnkctl({"list"});
    EXPECT_EQ(list.code, kExitNoDriver);
    EXPECT_NE(list.err.find("driver is not loaded"), std::string::npos) << list.err;
    // No name, no friendly name, nothing from the driver; the ids from setupapi.
    EXPECT_EQ(Row(list.out, "-"), (std::vector<std::string>{"-", "-", "-", "-", "-", "-", "-", "5A1E:0101"}))
        << list.out;
    EXPECT_EQ(Blnkctl({"watch", "--count", "1"}).code, kExitNoDriver);
}

class BlnkctlPortTest : public sim_test::PortMachineTest {};

// Ctrl+C ends watch at once, with success, and takes its handler along.
TEST_F(BlnkctlPortTest, CtrlCEndsWatch)
{
    ASSERT_NE(Plug(), 0u);
    blnkctl_test::StringSink out;
    blnkctl_test::StringSink err;
    std::mutex lock;
    std::condition_variable shown;
    bool tableShown = false;
    out.onWrite = [&](const std::string& text) {
        if (text.find("COM5") != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock);
            tableShown = true;
            shown.notify_all();
        }
    };
    blnkctl_test::Result result{};
    // An interval far beyond the test's time-out: only Ctrl+C can end it.
    std::thread watch([&] { result = blnkctl_test::RunWith({"watch", "--interval", "3600000"}, out, err); });
    {
        std::unique_lock<std::mutex> guard(lock);
        EXPECT_TRUE(shown.wait_for(guard, std::chrono::seconds(10), [&] { return tableShown; }));
    }
    EXPECT_TRUE(sim::RaiseConsoleCtrl(CTRL_C_EVENT));
    watch.join();
    EXPECT_EQ(result.code, kExitOk) << result.err;
    EXPECT_FALSE(sim::RaiseConsoleCtrl(CTRL_C_EVENT)) << "the handler outlived watch";
}

TEST_F(BlnkctlPortTest, RenameNeedsSetupPortNameFromSetupLibrary)
{
    ASSERT_NE(Plug(), 0u);
    sim::RegisterModule("setup.dll", {});
    blnkctl_test::Result r = Blnkctl({"rename", "COM4"});
    EXPECT_EQ(r.code, kExitNoSetupLibrary);
    EXPECT_NE(r.err.find("setup.dll has no SetupPortName (error 127)"), std::string::npos) << r.err;
}

}  // namespace
