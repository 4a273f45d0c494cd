// Drives the virtual bus from host tests: loads it, sends control requests
// to its control device, and sends URBs straight to a PDO.
#pragma once

#include "machine_fixture.h"
#include "usbd_descriptors.h"

#include <vbus_ioctl.h>

#include <cstring>
#include <vector>

extern "C" NTSTATUS VbusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace vbus_test {

struct Reply {
    NTSTATUS status;
    std::vector<uint8_t> data;  // the whole buffer after completion
    ULONG_PTR information;
};

inline PDEVICE_OBJECT Control()
{
    return sim::FindDevice(VBUS_DEVICE_NAME);
}

// One buffer serves as input and output, as DeviceIoControl with the same
// buffer for both would.
inline Reply Ioctl(ULONG code, std::vector<uint8_t> buffer)
{
    auto r = sim::SendIrp(Control(), IRP_MJ_DEVICE_CONTROL, 0, buffer.data(), (ULONG)buffer.size(), code);
    return {r.ioStatus.Status, buffer, r.ioStatus.Information};
}

template <typename T>
std::vector<uint8_t> Bytes(const T& record, size_t extra = 0)
{
    std::vector<uint8_t> v(sizeof(T) + extra);
    std::memcpy(v.data(), &record, sizeof(T));
    return v;
}

inline std::vector<uint8_t> DeviceDescriptor(uint16_t vid = 0x5A1E, uint16_t pid = 0x0101)
{
    return {18,   1,    0x00, 0x02, 0, 0, 0, 8, (uint8_t)vid, (uint8_t)(vid >> 8), (uint8_t)pid, (uint8_t)(pid >> 8),
            0x00, 0x01, 0,    0,    0, 1};
}

// The product's device: one vendor interface with an interrupt IN and OUT pipe.
inline std::vector<uint8_t> ProductConfig(uint16_t packet = 16)
{
    return usbd_test::ConfigBuilder()
        .Interface(0, 0, 2, 0xFF)
        .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, packet, 1)
        .Endpoint(0x01, USB_ENDPOINT_TYPE_INTERRUPT, packet, 1)
        .Build();
}

inline std::vector<uint8_t> PlugRequest(const std::vector<uint8_t>& device, const std::vector<uint8_t>& config)
{
    VBUS_PLUG_REQUEST r = {};
    r.Size = sizeof(r);
    r.DeviceDescriptorOffset = sizeof(r);
    r.DeviceDescriptorLength = (uint32_t)device.size();
    r.ConfigDescriptorOffset = (uint32_t)(sizeof(r) + device.size());
    r.ConfigDescriptorLength = (uint32_t)config.size();
    r.TotalLength = (uint32_t)(sizeof(r) + device.size() + config.size());
    r.Capabilities.Flags = VBUS_CAP_REMOVABLE | VBUS_CAP_SURPRISE_REMOVAL_OK;
    auto v = Bytes(r, device.size() + config.size());
    std::memcpy(v.data() + sizeof(r), device.data(), device.size());
    std::memcpy(v.data() + sizeof(r) + device.size(), config.data(), config.size());
    return v;
}

inline ULONG Plug(const std::vector<uint8_t>& config = ProductConfig())
{
    Reply r = Ioctl(VBUS_IOCTL_PLUG, PlugRequest(DeviceDescriptor(), config));
    if (r.status != STATUS_SUCCESS)
        return 0;
    VBUS_PLUG_RESPONSE response;
    std::memcpy(&response, r.data.data(), sizeof(response));
    return response.DeviceId;
}

inline NTSTATUS DeviceRequest(ULONG code, ULONG id)
{
    VBUS_DEVICE_REQUEST r = {sizeof(r), id};
    return Ioctl(code, Bytes(r)).status;
}

inline VBUS_DEVICE_INFO Query(ULONG id)
{
    VBUS_DEVICE_REQUEST r = {sizeof(r), id};
    auto v = Bytes(r);
    v.resize(sizeof(VBUS_DEVICE_INFO));
    Reply reply = Ioctl(VBUS_IOCTL_QUERY_DEVICE, v);
    VBUS_DEVICE_INFO info = {};
    if (reply.status == STATUS_SUCCESS)
        std::memcpy(&info, reply.data.data(), sizeof(info));
    return info;
}

inline NTSTATUS Feed(ULONG id, const std::vector<uint8_t>& bytes, uint32_t flags = 0, uint32_t endpoint = 0)
{
    VBUS_FEED_REQUEST r = {
        sizeof(r), (uint32_t)(sizeof(r) + bytes.size()), id, flags, endpoint, (uint32_t)bytes.size()};
    auto v = Bytes(r, bytes.size());
    if (!bytes.empty())
        std::memcpy(v.data() + sizeof(r), bytes.data(), bytes.size());
    return Ioctl(VBUS_IOCTL_FEED_IN, v).status;
}

inline PDEVICE_OBJECT Pdo(ULONG id)
{
    std::string name = "\\Device\\BlnkVbusPdo" + std::to_string(id);
    return sim::FindDevice(sim::W(sim::Utf16(name)));
}

// A URB in flight on a driver-built IRP.
struct UrbCall {
    PIRP irp = nullptr;
    KEVENT done;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS returned = 0;

    void Send(PDEVICE_OBJECT pdo, PURB urb)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &done,
                                            &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        returned = IoCallDriver(pdo, irp);
    }
    bool Wait(unsigned ms = 5000)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)ms * 10000;
        return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    }
};

inline NTSTATUS SendUrb(PDEVICE_OBJECT pdo, PURB urb)
{
    UrbCall call;
    call.Send(pdo, urb);
    if (!call.Wait())
        return STATUS_TIMEOUT;
    return call.iosb.Status;
}

}  // namespace vbus_test
