// A simulated machine with the virtual bus and the product's driver package
// installed, driven from kernel-side tests: plug devices through the bus's
// control device and reach the function devices the PnP manager starts.
// Host builds only.
#pragma once

#include "DriverEntry.h"
#include "machine_fixture.h"
#include "port_io.h"
#include "port/SerialDevice.h"
#include "vbus_machine.h"
#include "vbus_requests.h"

#include <fstream>
#include <sstream>

namespace sim_test {

struct BusReply {
    NTSTATUS status;
    vbusreq::Bytes data;
    ULONG_PTR information;
};

// One buffer serves as input and output, as DeviceIoControl with the same
// buffer for both does.
inline BusReply BusIoctl(ULONG code, vbusreq::Bytes buffer, size_t outputSize = 0)
{
    if (buffer.size() < outputSize) {
        buffer.resize(outputSize);
    }
    sim::IrpResult r = sim::SendIrp(sim::FindDevice(VBUS_DEVICE_NAME), IRP_MJ_DEVICE_CONTROL, 0, buffer.data(),
                                    (ULONG)buffer.size(), code);
    buffer.resize(r.ioStatus.Information < buffer.size() ? r.ioStatus.Information : buffer.size());
    return {r.ioStatus.Status, buffer, r.ioStatus.Information};
}

const char kServiceParameters[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink\\Parameters";

inline void InstallPortPackage()
{
    sim::DriverPackage port;
    port.service = "Brisklink";
    port.entry = DriverEntry;
    port.hardwareIds = {"USB\\VID_5A1E&PID_0101", "USB\\VID_5A1E&PID_0102"};
    port.className = "Ports";
    port.description = "Nivex PXB Port";
    // As the INF and its installer do: the driver-wide port name, and each
    // device's instance path in its hardware key.
    port.parameters = {{"PortName", "COM5"}};
    port.hardwareKeyValues = {{"InstancePath", "%INSTANCE%"}};
    sim::InstallDriverPackage(port);
    // Each machine loads a fresh image of the driver, whose device numbers
    // start again at 1; linked into this process, the image's globals would
    // otherwise run on from the previous test's machine.
    g_DeviceCount = 0;
}

class PortMachineTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(StartBusMachine());
        InstallPortPackage();
    }
    void TearDown() override
    {
        // Every port still running has given back each unit it took.
        if (sim::MachineRunning()) {
            for (const sim::DeviceNodeInfo& node : PortNodes()) {
                EXPECT_TRUE(CounterAtRest(PortDevice(node))) << node.instancePath;
            }
        }
        MachineTest::TearDown();
    }

    // Sets the service's FileLog, which each device object reads when it is
    // created (plug after this), and Log() returns what was written to it.
    void UseLog() { ASSERT_TRUE(sim::RegSetString(kServiceParameters, "FileLog", "C:\\brisklink.log")); }
    std::string Log()
    {
        std::ifstream in(sim::HostPathForDosPath("\\DosDevices\\C:\\brisklink.log"), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    NTSTATUS Feed(uint32_t id, const vbusreq::Bytes& bytes)
    {
        return BusIoctl(VBUS_IOCTL_FEED_IN, vbusreq::Feed(id, bytes)).status;
    }

    // Plugs a device and waits until the PnP manager started it; 0 on failure.
    uint32_t Plug(const vbusreq::PlugOptions& options = vbusreq::PlugOptions())
    {
        BusReply r = BusIoctl(VBUS_IOCTL_PLUG, vbusreq::Plug(options), sizeof(VBUS_PLUG_RESPONSE));
        if (r.status != STATUS_SUCCESS) {
            return 0;
        }
        uint32_t id = vbusreq::Read<VBUS_PLUG_RESPONSE>(r.data).DeviceId;
        sim::WaitPnpIdle();
        return id;
    }
    NTSTATUS Unplug(uint32_t id) { return DeviceRequest(VBUS_IOCTL_UNPLUG, id); }
    NTSTATUS Yank(uint32_t id) { return DeviceRequest(VBUS_IOCTL_YANK, id); }
    NTSTATUS DeviceRequest(ULONG code, uint32_t id) { return BusIoctl(code, vbusreq::Device(id)).status; }

    std::vector<VBUS_URB_LOG_ENTRY> UrbLog(uint32_t id)
    {
        BusReply r = BusIoctl(VBUS_IOCTL_GET_URB_LOG, vbusreq::UrbLog(id),
                              sizeof(VBUS_URB_LOG_RESPONSE) + VBUS_URB_LOG_ENTRIES * sizeof(VBUS_URB_LOG_ENTRY));
        return vbusreq::LogEntries(r.data);
    }

    // The started device nodes of the port's hardware ids, in plug order.
    std::vector<sim::DeviceNodeInfo> PortNodes()
    {
        std::vector<sim::DeviceNodeInfo> ports;
        for (const sim::DeviceNodeInfo& node : sim::DeviceNodes()) {
            if (node.service == "Brisklink" && node.state == sim::DeviceNodeState::Started) {
                ports.push_back(node);
            }
        }
        return ports;
    }
    CSerialDevice* PortDevice(const sim::DeviceNodeInfo& node)
    {
        return static_cast<CSerialDevice*>(CDevice::FromDeviceObject(node.top));
    }
    CSerialDevice* OnlyPort()
    {
        std::vector<sim::DeviceNodeInfo> ports = PortNodes();
        return ports.size() == 1 ? PortDevice(ports[0]) : nullptr;
    }
};

}  // namespace sim_test
