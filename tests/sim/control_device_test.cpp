// The control device under what programs can throw at it, and its lines in
// the driver's log.
#include <windows.h>

#include "port_machine.h"

#include <brisklink_ioctl.h>

#include <random>

using namespace sim_test;

namespace {

class ControlDeviceTest : public PortMachineTest {
protected:
    static std::vector<uint8_t> Key(CSerialDevice* port)
    {
        const UNICODE_STRING& key = In(port).m_DriverKeyName.Value();
        return std::vector<uint8_t>((uint8_t*)key.Buffer, (uint8_t*)key.Buffer + key.Length);
    }
    // Through a handle, as a program asks: the handle keeps the control
    // device's object while the last port's removal deletes it.
    static NTSTATUS Control(ULONG code, std::vector<uint8_t> buffer, ULONG input, ULONG output)
    {
        NTSTATUS status;
        PFILE_OBJECT file = sim::OpenDevice(BLNK_CONTROL_DEVICE_NAME, &status);
        if (file == nullptr) {
            return status;
        }
        sim::IoRequest q;
        q.ioControlCode = code;
        buffer.resize(input > output ? input : output);
        q.input = input != 0 ? buffer.data() : nullptr;
        q.inputLength = input;
        q.output = output != 0 ? buffer.data() : nullptr;
        q.outputLength = output;
        q.file = file;
        status = sim::SendRequest(file->DeviceObject, q).ioStatus.Status;
        sim::CloseDevice(file);
        return status;
    }
};

}  // namespace

// Every code of the control device's type with every short length, no buffer
// at all, and a key cut anywhere: each request ends, nothing is read or written
// outside its buffer (the sanitizers watch), and only a well-formed count
// request succeeds.
TEST_F(ControlDeviceTest, EveryCodeAndLengthEndsWithoutAFault)
{
    ASSERT_NE(Plug(), 0u);
    std::vector<uint8_t> key = Key(OnlyPort());
    ASSERT_FALSE(key.empty());
    struct Served {
        ULONG code;
        ULONG output;  // the answer's size: the least output the request needs
    } const served[] = {
        {IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR, 18},
        {IOCTL_VSERIAL_CONTROL_GET_RECV, 4},
        {IOCTL_VSERIAL_CONTROL_GET_SENT, 4},
        {IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL, 3},
        {IOCTL_VSERIAL_CONTROL_GET_HANDFLOW, 16},
        {IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE, 4},
        {IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE, 4},
    };
    for (ULONG function = 0; function < 0x40; function++) {
        ULONG code = BLNK_CONTROL_CTL_CODE(function);
        for (ULONG input : {0u, 1u, 2u, 17u, (ULONG)key.size() - 2, (ULONG)key.size()}) {
            for (ULONG output = 0; output <= 20; output++) {
                NTSTATUS status = Control(code, key, input, output);
                // A well-formed request reaches the port (whatever the port
                // answers); every other ends with STATUS_INVALID_PARAMETER.
                bool wellFormed = code == IOCTL_VSERIAL_CONTROL_SET_PORT_NAME ||
                                  (code == IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT && output >= 4);
                for (const Served& s : served) {
                    wellFormed = wellFormed || (code == s.code && output >= s.output && input >= key.size());
                }
                EXPECT_EQ(status == STATUS_INVALID_PARAMETER, !wellFormed)
                    << std::hex << code << " in " << std::dec << input << " out " << output << " status " << std::hex
                    << status;
            }
        }
    }
}

// A control query to a port that is being surprise-removed and removed either
// reaches the port or finds it gone: never a freed port (the port's removal
// takes it off the list first, then waits for the queries that hold it).
TEST_F(ControlDeviceTest, QueryRacingRemovalNeverReachesAFreedPort)
{
    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 20; round++) {
        vbusreq::PlugOptions options;
        options.serial = u"R" + std::u16string(1, (char16_t)(u'a' + round));
        uint32_t id = Plug(options);
        ASSERT_NE(id, 0u);
        std::vector<uint8_t> key = Key(OnlyPort());
        std::atomic<bool> stop{false};
        std::thread asker([&] {
            while (!stop) {
                Control(IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE, key, (ULONG)key.size(), 64);
                Control(IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, {}, 0, 0);
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        ASSERT_EQ(Yank(id), STATUS_SUCCESS);
        EXPECT_TRUE(WaitFor([&] { return PortNodes().empty(); }));
        stop = true;
        asker.join();
        ASSERT_TRUE(sim::WaitPnpIdle());
    }
}

TEST_F(ControlDeviceTest, SecondDeviceIsLoggedAsAWarning)
{
    UseLog();
    vbusreq::PlugOptions a;
    a.serial = u"A";
    vbusreq::PlugOptions b;
    b.serial = u"B";
    ASSERT_NE(Plug(a), 0u);
    EXPECT_EQ(Log().find("more than one"), std::string::npos);
    ASSERT_NE(Plug(b), 0u);
    EXPECT_NE(Log().find(" - Warning: more than one Nivex device\r\n"), std::string::npos) << Log();
}

// Naming failures are the control device's to log; the port still starts.
TEST_F(ControlDeviceTest, NamingFailuresAreLogged)
{
    UseLog();
    sim::RegRemoveValue(kServiceParameters, "PortName");
    ASSERT_NE(Plug(), 0u);
    std::string log = Log();
    EXPECT_NE(log.find(" - Cannot get global port name\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" - Error: Symbolic Link is absent\r\n"), std::string::npos) << log;
}

// A port that had no name at start gets its link and its data path from the
// rename request; a name another port's link holds gives it neither, and the
// failure is logged.
TEST_F(ControlDeviceTest, RenameNamesAPortThatStartedWithoutOne)
{
    UseLog();
    sim::RegRemoveValue(kServiceParameters, "PortName");
    ASSERT_NE(Plug(), 0u);
    CSerialDevice* port = OnlyPort();
    EXPECT_EQ(In(port).m_ReadPipe, nullptr);
    std::string hardwareKey =
        "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + PortNodes()[0].instancePath + "\\Device Parameters";

    ASSERT_TRUE(sim::RegSetString(hardwareKey, "PortName", "COM7"));
    ASSERT_EQ(Control(IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, {}, 0, 4), STATUS_SUCCESS);
    PFILE_OBJECT file = sim::OpenDevice(L"\\DosDevices\\Global\\COM7");
    ASSERT_NE(file, nullptr);
    sim::CloseDevice(file);
    EXPECT_NE(In(port).m_ReadPipe, nullptr);
    EXPECT_TRUE(
        WaitFor([&] { return In(port).m_ReadContexts[0].m_InFlight && In(port).m_ReadContexts[1].m_InFlight; }));

    // COM8 is another device's: the old link goes, no new one comes.
    UNICODE_STRING taken;
    UNICODE_STRING other;
    RtlInitUnicodeString(&taken, L"\\DosDevices\\Global\\COM8");
    RtlInitUnicodeString(&other, BLNK_CONTROL_DEVICE_NAME);
    ASSERT_EQ(IoCreateSymbolicLink(&taken, &other), STATUS_SUCCESS);
    ASSERT_TRUE(sim::RegSetString(hardwareKey, "PortName", "COM8"));
    EXPECT_EQ(Control(IOCTL_VSERIAL_CONTROL_SET_PORT_NAME, {}, 0, 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::OpenDevice(L"\\DosDevices\\Global\\COM7"), nullptr);
    EXPECT_NE(Log().find(" - Error: \\DosDevices\\Global\\COM8 cannot create symbolic link\r\n"), std::string::npos)
        << Log();
    IoDeleteSymbolicLink(&taken);
}
