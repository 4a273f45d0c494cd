// A port is known by its COM name: programs open "\\.\COM5", find it in
// SERIALCOMM and see its friendly name; a second device gets no name; the
// control device "\\.\BLNKControl" lives as long as a port does and answers
// for the ports by their driver key. The driver-wide name is the one the
// package installs: COM5.
#include "registry_values.h"
#include "system_test.h"

#include <brisklink_ioctl.h>

using namespace systest;

namespace {

const std::u16string kSerialComm = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

class PortNamingTest : public SystemTest {
protected:
    // Plugs a device with a serial of its own (under Wine the machine outlives
    // each test): its instance path, and its kernel name in *kernelName.
    std::u16string Plug(const char16_t* serial, std::u16string* kernelName = nullptr)
    {
        vbusreq::PlugOptions options;
        options.serial = serial + std::u16string(u"-") + Unique();
        int number = 0;
        if (PlugPort(&number, options) == 0) {
            return u"";
        }
        if (kernelName != nullptr) {
            std::string text = "\\Device\\NivexBlnk" + std::to_string(number);
            *kernelName = std::u16string(text.begin(), text.end());
        }
        return InstancePath(options);
    }
    static std::u16string Unique()
    {
        std::string text = std::to_string(GetTickCount() % 1000000);
        return std::u16string(text.begin(), text.end());
    }
    static RegValue FriendlyName(const std::u16string& instance)
    {
        return ReadValue(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance, u"FriendlyName");
    }
    static RegValue PortName(const std::u16string& instance)
    {
        return ReadValue(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters", u"PortName");
    }
    static bool Opens(const wchar_t* path, DWORD* error = nullptr)
    {
        HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (error != nullptr) {
            *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        }
        if (h == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(h);
        return true;
    }
};

// The characters alone, as the map holds them: no terminator.
RegValue Characters(const std::u16string& text)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return Raw(REG_SZ, Bytes(bytes, bytes + text.size() * 2));
}

// A control request answered in the request's own buffer.
struct ControlReply {
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    DWORD returned = 0;
    Bytes data;
};

ControlReply Control(DWORD code, const Bytes& input, DWORD outputLength)
{
    ControlReply r;
    HANDLE h = CreateFileW(BLNK_CONTROL_USER_PATH, 0, FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        r.error = GetLastError();
        return r;
    }
    r.data = input;
    if (r.data.size() < outputLength) {
        r.data.resize(outputLength);
    }
    r.ok = DeviceIoControl(h, code, r.data.data(), (DWORD)input.size(), r.data.data(), outputLength, &r.returned, NULL);
    r.error = r.ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(h);
    return r;
}

// A driver key name as a request carries it: UTF-16, terminated.
Bytes Key(const std::u16string& key, bool terminated = true)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(key.c_str());
    return Bytes(bytes, bytes + (key.size() + (terminated ? 1 : 0)) * 2);
}

std::u16string DriverKey(const std::u16string& instance)
{
    RegValue v = ReadValue(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance, u"Driver");
    std::u16string key;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = (char16_t)(v.data[i] | (v.data[i + 1] << 8));
        if (c == 0) {
            break;
        }
        key.push_back(c);
    }
    return key;
}

}  // namespace

TEST_F(PortNamingTest, PortIsReachedByItsComNameUntilItIsUnplugged)
{
    std::u16string kernelName;
    std::u16string instance = Plug(u"N", &kernelName);
    ASSERT_FALSE(instance.empty());
    EXPECT_TRUE(Opens(L"\\\\.\\COM5"));
    EXPECT_EQ(PortName(instance), Sz(u"COM5"));
    EXPECT_EQ(FriendlyName(instance), Sz(u"Nivex PXB Port (COM5)"));
    EXPECT_EQ(ReadValue(kSerialComm, kernelName.c_str()), Characters(u"COM5"));

    ASSERT_TRUE(bus.Unplug(bus.plugged.back()));
    ASSERT_TRUE(bus.WaitRemoved(bus.plugged.back()));
    DWORD error = 0;
    EXPECT_TRUE(Eventually([&] { return !Opens(L"\\\\.\\COM5", &error); }));
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Eventually([&] { return !ReadValue(kSerialComm, kernelName.c_str()).present; }));
}

TEST_F(PortNamingTest, SecondDeviceGetsNoNameAndTheControlDeviceCountsBoth)
{
    std::u16string firstName;
    std::u16string secondName;
    std::u16string first = Plug(u"A", &firstName);
    std::u16string second = Plug(u"B", &secondName);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(FriendlyName(second), Sz(u"Nivex PXB Port (disable)"));
    EXPECT_EQ(PortName(second), Sz(u""));
    EXPECT_FALSE(ReadValue(kSerialComm, secondName.c_str()).present);
    EXPECT_EQ(ReadValue(kSerialComm, firstName.c_str()), Characters(u"COM5"));

    ControlReply count = Control(IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT, {}, 4);
    ASSERT_TRUE(count.ok) << count.error;
    EXPECT_EQ(count.returned, 4u);
    EXPECT_EQ(count.data, (Bytes{2, 0, 0, 0}));
}

TEST_F(PortNamingTest, ControlDeviceComesAndGoesWithThePorts)
{
    DWORD error = 0;
    ASSERT_TRUE(Eventually([&] { return !Opens(BLNK_CONTROL_USER_PATH, &error); }))
        << "a port of an earlier test is still there";
    ASSERT_FALSE(Plug(u"C1").empty());
    EXPECT_TRUE(Opens(BLNK_CONTROL_USER_PATH));
    ASSERT_TRUE(bus.Unplug(bus.plugged.back()));
    ASSERT_TRUE(bus.WaitRemoved(bus.plugged.back()));
    EXPECT_TRUE(Eventually([&] { return !Opens(BLNK_CONTROL_USER_PATH, &error); }));
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(Plug(u"C2").empty());
    EXPECT_TRUE(Opens(BLNK_CONTROL_USER_PATH));
}

// A key names a port only exactly: with its terminator inside the request,
// in the same letter case, and with room for the whole answer.
TEST_F(PortNamingTest, ControlQueriesRefuseAnyButTheExactKey)
{
    std::u16string instance = Plug(u"K");
    ASSERT_FALSE(instance.empty());
    std::u16string key = DriverKey(instance);
    ASSERT_FALSE(key.empty());
    std::u16string lower = key;
    for (char16_t& c : lower) {
        c = (c >= u'A' && c <= u'Z') ? (char16_t)(c - u'A' + u'a') : c;
    }
    ASSERT_NE(lower, key) << "the key has letters to change";
    struct Refused {
        const char* what;
        Bytes input;
        DWORD output;
    } refused[] = {
        {"other case", Key(lower), 64},
        {"unknown key", Key(u"{00000000-0000-0000-0000-000000000000}\\0000"), 64},
        {"not terminated", Key(key, false), 18},
        {"answer does not fit", Key(key), 17},
        {"no buffer", {}, 0},
    };
    for (const Refused& r : refused) {
        ControlReply reply = Control(IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR, r.input, r.output);
        EXPECT_FALSE(reply.ok) << r.what;
        EXPECT_EQ(reply.error, (DWORD)ERROR_INVALID_PARAMETER) << r.what;
    }
}
