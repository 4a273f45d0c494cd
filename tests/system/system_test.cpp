#include "system_test.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace systest {

bool VirtualBus::Open()
{
    m_Handle = CreateFileW(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    return m_Handle != INVALID_HANDLE_VALUE;
}

void VirtualBus::Close()
{
    if (m_Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
    }
}

DWORD VirtualBus::Ioctl(DWORD code, const vbusreq::Bytes& in, vbusreq::Bytes* out, DWORD outSize)
{
    vbusreq::Bytes buffer(in);
    if (buffer.size() < outSize) {
        buffer.resize(outSize);
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(m_Handle, code, buffer.data(), (DWORD)in.size(), buffer.data(), (DWORD)buffer.size(),
                              &returned, NULL);
    if (out != nullptr) {
        buffer.resize(returned);
        *out = buffer;
    }
    return ok ? ERROR_SUCCESS : GetLastError();
}

uint32_t VirtualBus::Plug(const vbusreq::PlugOptions& options)
{
    vbusreq::Bytes out;
    if (Ioctl(VBUS_IOCTL_PLUG, vbusreq::Plug(options), &out, sizeof(VBUS_PLUG_RESPONSE)) != ERROR_SUCCESS) {
        return 0;
    }
    uint32_t id = vbusreq::Read<VBUS_PLUG_RESPONSE>(out).DeviceId;
    plugged.push_back(id);
    return id;
}

bool VirtualBus::Feed(uint32_t id, const vbusreq::Bytes& bytes, bool raw)
{
    return Ioctl(VBUS_IOCTL_FEED_IN, vbusreq::Feed(id, bytes, raw)) == ERROR_SUCCESS;
}

vbusreq::Bytes VirtualBus::ReadOut(uint32_t id, uint32_t view)
{
    vbusreq::Bytes out;
    Ioctl(VBUS_IOCTL_READ_OUT, vbusreq::ReadOut(id, view), &out, sizeof(VBUS_READ_OUT_RESPONSE) + 65536);
    return vbusreq::OutData(out);
}

std::vector<VBUS_URB_LOG_ENTRY> VirtualBus::UrbLog(uint32_t id)
{
    vbusreq::Bytes out;
    Ioctl(VBUS_IOCTL_GET_URB_LOG, vbusreq::UrbLog(id), &out,
          sizeof(VBUS_URB_LOG_RESPONSE) + VBUS_URB_LOG_ENTRIES * sizeof(VBUS_URB_LOG_ENTRY));
    return vbusreq::LogEntries(out);
}

VBUS_DEVICE_INFO VirtualBus::Query(uint32_t id)
{
    vbusreq::Bytes out;
    Ioctl(VBUS_IOCTL_QUERY_DEVICE, vbusreq::Device(id), &out, sizeof(VBUS_DEVICE_INFO));
    return vbusreq::Read<VBUS_DEVICE_INFO>(out);
}

bool VirtualBus::WaitStarted(uint32_t id, DWORD timeoutMs)
{
    return Eventually([&] { return Query(id).PendingIn >= 2; }, timeoutMs);
}

bool VirtualBus::WaitRemoved(uint32_t id, DWORD timeoutMs)
{
    return Eventually([&] { return (Query(id).State & VBUS_STATE_REMOVED) != 0 || Query(id).Size == 0; }, timeoutMs);
}

HANDLE OpenPort(int number, bool overlapped, DWORD* error)
{
    HANDLE h = CreateFileW(vbusreq::PortKernelPath(number).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
    if (error != nullptr) {
        *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    return h;
}

int NewestPort(int from, int to)
{
    static std::atomic<int> highestSeen{0};
    if (to == 0) {
        to = highestSeen + kPortNumberReach;
    }
    // An existing port answers with success or "in use"; a missing one with "not found".
    int newest = 0;
    for (int n = from; n <= to; n++) {
        DWORD error = 0;
        HANDLE h = OpenPort(n, false, &error);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
        if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED) {
            newest = n;
        }
    }
    for (int seen = highestSeen; newest > seen && !highestSeen.compare_exchange_weak(seen, newest);) {
    }
    return newest;
}

int NewPortAfter(int before, DWORD timeoutMs)
{
    int found = 0;
    Eventually([&] { return (found = NewestPort(before + 1)) != 0; }, timeoutMs);
    return found;
}

void SystemTest::SetUp()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (const char* why = PlatformSkipReason(info->test_suite_name(), info->name())) {
        GTEST_SKIP() << why;
    }
    std::string why;
    ASSERT_TRUE(PlatformSetUp(&why)) << why;
    m_Up = true;
    ASSERT_TRUE(bus.Open()) << "the virtual bus's control device does not open: error " << GetLastError();
}

void SystemTest::TearDown()
{
    if (m_Up) {
        PlatformCheckAtRest();
    }
    for (uint32_t id : bus.plugged) {
        bus.Unplug(id);
        bus.WaitRemoved(id);
    }
    // Under Wine a departed device stays listed as present: the name its
    // port was given goes, so that no later test's rename takes it for a
    // port of its own.
    for (const std::u16string& instance : m_Instances) {
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
        HKEY key = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_SET_VALUE, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, L"PortName");
            RegCloseKey(key);
        }
    }
    bus.Close();
    if (m_Up) {
        PlatformTearDown();
    }
}

std::u16string InstancePath(const vbusreq::PlugOptions& options)
{
    if (options.serial.empty() || !options.hardwareIds.empty() || options.device.size() < 12) {
        return u"";
    }
    char prefix[40];
    snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", options.device[8] | (options.device[9] << 8),
             options.device[10] | (options.device[11] << 8));
    return std::u16string(prefix, prefix + strlen(prefix)) + options.serial;
}

namespace {

// Writes the device's instance path into its hardware key, as an installer
// does once the device is installed; false when it was there already or the
// key cannot be written.
bool WriteInstancePath(const std::u16string& instance)
{
    HKEY key = NULL;
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS) {
        return false;
    }
    bool written = false;
    if (RegQueryValueExW(key, L"InstancePath", NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
        written = RegSetValueExW(key, L"InstancePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(instance.c_str()),
                                 (DWORD)((instance.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return written;
}

}  // namespace

uint32_t SystemTest::PlugPort(int* number, const vbusreq::PlugOptions& options)
{
    // Device numbers only grow while the driver stays loaded, so the new
    // port is the first number above every port that exists now.
    int before = NewestPort(1);
    uint32_t id = bus.Plug(options);
    int found = id != 0 ? NewPortAfter(before) : 0;
    // The port reads its instance path (for its friendly name) when it
    // starts. The simulated machine's installer writes it with the device;
    // elsewhere it is written once the device is installed (its key must be
    // the PnP manager's own creation), and the device plugged again.
    std::u16string instance = InstancePath(options);
    if (!instance.empty()) {
        m_Instances.push_back(instance);
    }
    if (found != 0 && !instance.empty() && WriteInstancePath(instance)) {
        before = found;
        if (!bus.Unplug(id) || !bus.WaitRemoved(id)) {
            return 0;
        }
        bus.plugged.erase(std::remove(bus.plugged.begin(), bus.plugged.end(), id), bus.plugged.end());
        id = bus.Plug(options);
        found = id != 0 ? NewPortAfter(before) : 0;
    }
    if (found == 0) {
        return 0;
    }
    *number = found;
    return id;
}

}  // namespace systest
