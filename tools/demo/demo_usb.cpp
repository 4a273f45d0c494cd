// The USB part of the demo: the virtual bus and the port's driver package are
// installed, the reference device is plugged, started, used and yanked.
#include "DriverEntry.h"
#include "demo.h"
#include "port/SerialDevice.h"
#include "port_internals.h"
#include "vbus_machine.h"
#include "vbus_requests.h"

#include <cstdio>
#include <string>

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
    sim::InstallDriverPackage(port);
    std::printf("== Virtual bus started; driver package Brisklink installed (Ports)\n");

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

    Bus(VBUS_IOCTL_YANK, vbusreq::Device(id), 0, &status);
    bool gone = sim::WaitDeviceGone(instance, 10000);
    std::printf("== Device yanked: surprise removal, then removal: %s; \\Device\\NivexBlnk1 %s\n",
                gone ? "done" : "NOT DONE", sim::FindDevice(L"\\Device\\NivexBlnk1") ? "still there" : "gone");
    return gone && Text(payload) == hello && Text(in) == pong;
}
