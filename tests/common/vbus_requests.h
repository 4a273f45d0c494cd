// Builds the virtual bus's control requests and reads its answers as byte
// vectors, so every client (kernel-side tests, Win32 programs) speaks the
// same protocol.
#pragma once

#include "usb_descriptors.h"

#include <vbus_ioctl.h>

#include <cstring>
#include <string>
#include <vector>

namespace vbusreq {

typedef std::vector<uint8_t> Bytes;

template <typename T>
Bytes Record(const T& record, size_t extra = 0)
{
    Bytes v(sizeof(T) + extra);
    std::memcpy(v.data(), &record, sizeof(T));
    return v;
}

template <typename T>
T Read(const Bytes& bytes)
{
    T record = {};
    if (!bytes.empty()) {
        std::memcpy(&record, bytes.data(), bytes.size() < sizeof(T) ? bytes.size() : sizeof(T));
    }
    return record;
}

struct PlugOptions {
    Bytes device = usbdesc::Device();
    Bytes config = usbdesc::ReferenceConfig();
    std::u16string serial;
    // The hardware id list as the bus reports it: each id NUL-terminated, the
    // list ended by one more NUL. Empty: derived from the device descriptor.
    std::u16string hardwareIds;
    uint32_t capabilityFlags = VBUS_CAP_REMOVABLE | VBUS_CAP_SURPRISE_REMOVAL_OK;
    uint32_t deviceState[7] = {0, 0, 0, 0, 0, 0, 0};
    std::vector<Bytes> faults;  // VBUS_FAULT_REQUEST records in force from the first request on
};

inline Bytes Plug(const PlugOptions& o)
{
    VBUS_PLUG_REQUEST r = {};
    r.Size = sizeof(r);
    r.DeviceDescriptorOffset = sizeof(r);
    r.DeviceDescriptorLength = (uint32_t)o.device.size();
    r.ConfigDescriptorOffset = (uint32_t)(sizeof(r) + o.device.size());
    r.ConfigDescriptorLength = (uint32_t)o.config.size();
    size_t idBytes = o.hardwareIds.size() * sizeof(char16_t);
    r.HardwareIdsOffset = idBytes ? (uint32_t)(sizeof(r) + o.device.size() + o.config.size()) : 0;
    r.HardwareIdsLength = (uint32_t)idBytes;
    r.TotalLength = (uint32_t)(sizeof(r) + o.device.size() + o.config.size() + idBytes);
    for (size_t i = 0; i < o.serial.size() && i + 1 < VBUS_MAX_SERIAL_CHARS; i++) {
        r.Serial[i] = o.serial[i];
    }
    r.Capabilities.Flags = o.capabilityFlags;
    for (int i = 0; i < 7; i++) {
        r.Capabilities.DeviceState[i] = o.deviceState[i];
    }
    size_t faultBytes = o.faults.size() * sizeof(VBUS_FAULT_REQUEST);
    if (faultBytes != 0) {
        r.FaultsOffset = r.TotalLength;
        r.FaultsLength = (uint32_t)faultBytes;
        r.TotalLength += (uint32_t)faultBytes;
    }
    Bytes v = Record(r, o.device.size() + o.config.size() + idBytes + faultBytes);
    std::memcpy(v.data() + sizeof(r), o.device.data(), o.device.size());
    std::memcpy(v.data() + sizeof(r) + o.device.size(), o.config.data(), o.config.size());
    if (idBytes) {
        std::memcpy(v.data() + r.HardwareIdsOffset, o.hardwareIds.data(), idBytes);
    }
    for (size_t i = 0; i < o.faults.size(); i++) {
        std::memcpy(v.data() + r.FaultsOffset + i * sizeof(VBUS_FAULT_REQUEST), o.faults[i].data(),
                    sizeof(VBUS_FAULT_REQUEST));
    }
    return v;
}

inline Bytes Device(uint32_t id)
{
    VBUS_DEVICE_REQUEST r = {sizeof(r), id};
    return Record(r);
}

inline Bytes Feed(uint32_t id, const Bytes& data, bool raw = false)
{
    VBUS_FEED_REQUEST r = {};
    r.Size = sizeof(r);
    r.TotalLength = (uint32_t)(sizeof(r) + data.size());
    r.DeviceId = id;
    r.Flags = raw ? VBUS_FEED_RAW : 0;
    r.Length = (uint32_t)data.size();
    Bytes v = Record(r, data.size());
    if (!data.empty()) {
        std::memcpy(v.data() + sizeof(r), data.data(), data.size());
    }
    return v;
}

inline Bytes ReadOut(uint32_t id, uint32_t view)
{
    VBUS_READ_OUT_REQUEST r = {sizeof(r), id, view};
    return Record(r);
}

inline Bytes Fault(uint32_t id, uint32_t kind, uint16_t function = VBUS_ANY_FUNCTION,
                   uint16_t endpoint = VBUS_ANY_ENDPOINT, uint32_t nth = 1, uint32_t count = 1, int32_t ntStatus = 0,
                   uint32_t delayMs = 0)
{
    VBUS_FAULT_REQUEST r = {};
    r.Size = sizeof(r);
    r.DeviceId = id;
    r.Kind = kind;
    r.Function = function;
    r.Endpoint = endpoint;
    r.Nth = nth;
    r.Count = count;
    r.NtStatus = ntStatus;
    r.DelayMs = delayMs;
    return Record(r);
}

// The device's answer to its `nth` descriptor request of `type` (and the
// `count` - 1 after it) is cut to `length` bytes.
inline Bytes ShortDescriptor(uint32_t id, uint32_t type, uint32_t length, uint32_t nth = 1, uint32_t count = 1)
{
    VBUS_FAULT_REQUEST r = {};
    r.Size = sizeof(r);
    r.DeviceId = id;
    r.Kind = VBUS_FAULT_SHORT_DESCRIPTOR;
    r.Function = VBUS_ANY_FUNCTION;
    r.Endpoint = VBUS_ANY_ENDPOINT;
    r.Nth = nth;
    r.Count = count;
    r.DescriptorType = type;
    r.Length = length;
    return Record(r);
}

// The device's answer to its `nth` descriptor request of `type` carries the
// 16-bit `value` at byte `offset`.
inline Bytes PatchDescriptor(uint32_t id, uint32_t type, uint32_t offset, uint16_t value, uint32_t nth = 1,
                             uint32_t count = 1)
{
    VBUS_FAULT_REQUEST r = {};
    r.Size = sizeof(r);
    r.DeviceId = id;
    r.Kind = VBUS_FAULT_PATCH_DESCRIPTOR;
    r.Function = VBUS_ANY_FUNCTION;
    r.Endpoint = VBUS_ANY_ENDPOINT;
    r.Nth = nth;
    r.Count = count;
    r.DescriptorType = type;
    r.Offset = offset;
    r.Value = value;
    return Record(r);
}

inline Bytes UrbLog(uint32_t id, uint32_t first = 1)
{
    VBUS_URB_LOG_REQUEST r = {sizeof(r), id, first};
    return Record(r);
}

inline Bytes Mode(uint32_t id, uint32_t mode)
{
    VBUS_MODE_REQUEST r = {sizeof(r), id, mode};
    return Record(r);
}

inline Bytes Step(uint32_t id, uint32_t count)
{
    VBUS_STEP_REQUEST r = {sizeof(r), id, count};
    return Record(r);
}

inline Bytes Echo(uint32_t id, bool enable)
{
    VBUS_ECHO_REQUEST r = {sizeof(r), id, enable ? 1u : 0u};
    return Record(r);
}

inline std::vector<VBUS_URB_LOG_ENTRY> LogEntries(const Bytes& response)
{
    VBUS_URB_LOG_RESPONSE head = Read<VBUS_URB_LOG_RESPONSE>(response);
    std::vector<VBUS_URB_LOG_ENTRY> entries;
    for (uint32_t i = 0; i < head.Count; i++) {
        size_t at = sizeof(head) + i * sizeof(VBUS_URB_LOG_ENTRY);
        if (at + sizeof(VBUS_URB_LOG_ENTRY) > response.size()) {
            break;
        }
        VBUS_URB_LOG_ENTRY e;
        std::memcpy(&e, response.data() + at, sizeof(e));
        entries.push_back(e);
    }
    return entries;
}

// A URB log entry's function, as the demos print it.
inline const char* UrbName(const VBUS_URB_LOG_ENTRY& e)
{
    switch (e.Function) {
    case usbdesc::kUrbGetDescriptorFromDevice:
        return e.DescriptorType == 1 ? "GET_DESCRIPTOR device" : "GET_DESCRIPTOR configuration";
    case usbdesc::kUrbSelectConfiguration:
        return "SELECT_CONFIGURATION";
    case usbdesc::kUrbBulkOrInterruptTransfer:
        return (e.Endpoint & 0x80) ? "INTERRUPT IN" : "INTERRUPT OUT";
    case usbdesc::kUrbClassInterface:
        return "CLASS_INTERFACE";
    default:
        return "other";
    }
}

// The kernel name a program opens a port by before it has a COM name, as a
// zero-terminated UTF-16 string (built by hand: std::wstring is off limits
// where wchar_t is made 16-bit by a compiler switch).
inline std::vector<wchar_t> PortKernelPath(int number)
{
    std::string text = "\\\\?\\GLOBALROOT\\Device\\NivexBlnk" + std::to_string(number);
    std::vector<wchar_t> path(text.begin(), text.end());
    path.push_back(0);
    return path;
}

inline Bytes OutData(const Bytes& response)
{
    VBUS_READ_OUT_RESPONSE head = Read<VBUS_READ_OUT_RESPONSE>(response);
    size_t end = sizeof(head) + head.Length;
    if (end > response.size()) {
        end = response.size();
    }
    return Bytes(response.begin() + sizeof(head), response.begin() + end);
}

}  // namespace vbusreq
