// The USB part of the demo: the virtual bus and the port's driver package are
// installed, the reference device is plugged, started, used and yanked.
#include "DriverEntry.h"
#include "demo.h"
#include "port/SerialDevice.h"
#include "port_internals.h"
#include "vbus_machine.h"
#include "vbus_requests.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

vbusreq::Bytes Bus(ULONG code, vbusreq::Bytes buffer, size_t outputSize, NTSTATUS* status)
{
    if (buffer.size() < outputSize) {
        buffer.resize(outputSize);
    }
    sim::IrpResult r = sim::SendIrp(sim::FindDevice(VBUS_DEVICE_NAME), IRP_MJ_DEVICE_CONTROL, 0, buffer.data(),
                                    (ULONG)buffer.size(), code);
    *status = r.ioStatus.Status;
    buffer.resize(r.ioStatus.Information);
    return buffer;
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

const char* DName(DEVICE_POWER_STATE d)
{
    static const char* names[] = {"unspecified", "D0", "D1", "D2", "D3"};
    return d >= PowerDeviceUnspecified && d <= PowerDeviceD3 ? names[d] : "?";
}

void PrintTransition(const sim::PowerTransition& t)
{
    for (const sim::SystemPowerIrp& i : t.irps) {
        std::printf("  %-5s S%d to %-28s -> 0x%08X\n", i.minor == IRP_MN_SET_POWER ? "SET" : "QUERY", (int)i.state - 1,
                    i.instancePath.c_str(), (unsigned)i.status);
    }
}

LONG QueuedReads(CSerialDevice* device)
{
    CLockGuard guard(&In(device).m_ReadLock);
    return In(device).m_ReadList.GetCount();
}

LONG ReadersInFlight(CSerialDevice* device)
{
    CLockGuard guard(&In(device).m_ReaderLock);
    return (LONG)In(device).m_ReadContexts[0].m_InFlight + (LONG)In(device).m_ReadContexts[1].m_InFlight;
}

// The machine sleeps (S3) and wakes with the port open and a read pending;
// the read completes with bytes the device sends after the wake.
bool SleepAndWake(uint32_t id, const std::string& instance, CSerialDevice* device, PDEVICE_OBJECT top)
{
    NTSTATUS status;
    std::u16string name = sim::Utf16(sim::Utf8(In(device).m_DeviceName.Value()));
    PFILE_OBJECT file = sim::OpenDevice(sim::W(name), &status);
    if (file == nullptr) {
        std::printf("the port does not open (0x%08X)\n", (unsigned)status);
        return false;
    }
    std::vector<uint8_t> in(13);
    sim::IrpResult read = {};
    std::thread reader([&] { read = sim::SendFileIrp(file, IRP_MJ_READ, 0, in.data(), (ULONG)in.size(), 0, 30000); });
    for (int i = 0; i < 1000 && QueuedReads(device) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("== Port open, a read of %zu bytes pending; the machine sleeps (S3)\n", in.size());
    sim::PowerTransition sleep = sim::SleepMachine(PowerSystemSleeping3);
    PrintTransition(sleep);
    std::printf("  machine S%d, port %s, reader transfers in flight %d, the read %s\n",
                (int)sim::MachinePowerState() - 1, DName(sim::PoweredState(instance)), (int)ReadersInFlight(device),
                QueuedReads(device) == 1 ? "still pending" : "GONE");

    std::printf("== The machine wakes\n");
    sim::PowerTransition wake = sim::WakeMachine();
    PrintTransition(wake);
    for (int i = 0; i < 1000 && ReadersInFlight(device) != 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("  machine S%d, port %s, reader transfers in flight %d\n", (int)sim::MachinePowerState() - 1,
                DName(sim::PoweredState(instance)), (int)ReadersInFlight(device));
    std::string morning = "good morning!";
    Bus(VBUS_IOCTL_FEED_IN, vbusreq::Feed(id, vbusreq::Bytes(morning.begin(), morning.end())), 0, &status);
    reader.join();
    in.resize(read.ioStatus.Information);
    std::printf("== The device sent \"%s\" after the wake; the pending read got \"%s\" (status 0x%08X)\n",
                morning.c_str(), Text(in).c_str(), (unsigned)read.ioStatus.Status);
    sim::CloseDevice(file);
    return sleep.status == STATUS_SUCCESS && wake.status == STATUS_SUCCESS && Text(in) == morning;
}

}  // namespace

bool RunUsbDemo()
{
    if (!sim_test::StartBusMachine()) {
        std::printf("the virtual bus did not start\n");
        return false;
    }
    sim::DriverPackage port;
    port.service = "Brisklink";
    port.entry = DriverEntry;
    port.hardwareIds = {"USB\\VID_5A1E&PID_0101", "USB\\VID_5A1E&PID_0102"};
    port.description = "Nivex PXB Port";
    // As the INF and its installer do: without a port name the port gets no
    // COM link and so no data path.
    port.parameters = {{"PortName", "COM5"}};
    port.hardwareKeyValues = {{"InstancePath", "%INSTANCE%"}};
    sim::InstallDriverPackage(port);
    sim::SetCurrentProcessImage("brisklink-demo.exe");
    sim::RegSetString("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink\\Parameters", "FileLog",
                      "C:\\brisklink.log");
    std::printf("== Virtual bus started; driver package Brisklink installed (Ports, PortName COM5, "
                "FileLog C:\\brisklink.log)\n");

    NTSTATUS status;
    vbusreq::Bytes plugged =
        Bus(VBUS_IOCTL_PLUG, vbusreq::Plug(vbusreq::PlugOptions()), sizeof(VBUS_PLUG_RESPONSE), &status);
    uint32_t id = vbusreq::Read<VBUS_PLUG_RESPONSE>(plugged).DeviceId;
    std::string instance = sim::WaitDeviceStarted("USB\\VID_5A1E&PID_0101", 10000);
    std::printf("== Reference device plugged (VID 5A1E, PID 0101): %s\n",
                instance.empty() ? "NOT STARTED" : instance.c_str());
    if (instance.empty()) {
        return false;
    }
    sim::DeviceNodeInfo node;
    sim::FindDeviceNode(instance, &node);
    CSerialDevice* device = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(node.top));
    std::printf("  function driver %s, driver key %s, function device %s\n", node.service.c_str(),
                node.driverKey.c_str(), sim::Utf8(In(device).m_DeviceName.Value()).c_str());

    vbusreq::Bytes log =
        Bus(VBUS_IOCTL_GET_URB_LOG, vbusreq::UrbLog(id),
            sizeof(VBUS_URB_LOG_RESPONSE) + VBUS_URB_LOG_ENTRIES * sizeof(VBUS_URB_LOG_ENTRY), &status);
    std::printf("== Start sequence as the device saw it\n");
    for (const VBUS_URB_LOG_ENTRY& e : vbusreq::LogEntries(log)) {
        std::printf("  #%u %-30s endpoint 0x%02X length %u -> %s\n", e.Sequence, vbusreq::UrbName(e), e.Endpoint,
                    e.RequestedLength, e.NtStatus == STATUS_PENDING ? "pending" : "done");
    }
    if (In(device).m_ReadPipe == nullptr || In(device).m_WritePipe == nullptr) {
        std::printf("  the port has no data path\n");
        return false;
    }
    std::printf("  pipes: IN 0x%02X (%u bytes), OUT 0x%02X (%u bytes)\n", In(device).m_ReadPipe->EndpointAddress,
                In(device).m_ReadPipe->MaximumPacketSize, In(device).m_WritePipe->EndpointAddress,
                In(device).m_WritePipe->MaximumPacketSize);

    std::string hello = "Hello, port";
    std::vector<uint8_t> out(hello.begin(), hello.end());
    sim::IrpResult written = sim::SendIrp(node.top, IRP_MJ_WRITE, 0, out.data(), (ULONG)out.size());
    vbusreq::Bytes payload = vbusreq::OutData(Bus(VBUS_IOCTL_READ_OUT, vbusreq::ReadOut(id, VBUS_READ_PAYLOAD),
                                                  sizeof(VBUS_READ_OUT_RESPONSE) + 1024, &status));
    std::printf("== Wrote \"%s\" (%u bytes, status 0x%08X); the device received \"%s\"\n", hello.c_str(),
                (unsigned)written.ioStatus.Information, (unsigned)written.ioStatus.Status, Text(payload).c_str());

    std::string pong = "pong from the device";
    Bus(VBUS_IOCTL_FEED_IN, vbusreq::Feed(id, vbusreq::Bytes(pong.begin(), pong.end())), 0, &status);
    std::vector<uint8_t> in(pong.size());
    sim::IrpResult read = sim::SendIrp(node.top, IRP_MJ_READ, 0, in.data(), (ULONG)in.size());
    in.resize(read.ioStatus.Information);
    std::printf("== The device sent \"%s\" in packets of up to 15 bytes; a read of the port got \"%s\"\n", pong.c_str(),
                Text(in).c_str());

    uint32_t second = 0;
    bool named = RunNamingDemo(id, node, &second);
    bool slept = SleepAndWake(id, instance, device, node.top);

    Bus(VBUS_IOCTL_YANK, vbusreq::Device(id), 0, &status);
    bool gone = sim::WaitDeviceGone(instance, 10000);
    std::printf("== Device yanked: surprise removal, then removal: %s; \\Device\\NivexBlnk1 %s\n",
                gone ? "done" : "NOT DONE", sim::FindDevice(L"\\Device\\NivexBlnk1") ? "still there" : "gone");
    Bus(VBUS_IOCTL_UNPLUG, vbusreq::Device(second), 0, &status);
    sim::WaitPnpIdle();
    PrintLog("C:\\brisklink.log");
    return gone && named && slept && Text(payload) == hello && Text(in) == pong;
}
