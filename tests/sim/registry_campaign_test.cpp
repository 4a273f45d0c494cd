// Every registry value the driver reads, as every type and shape of data:
// missing, empty, a lone NUL, text, text without its NUL, text of an odd
// byte length, text with a NUL inside, and 64 KB. Only REG_SZ text is taken,
// up to its first NUL and never past its data; anything else leaves the
// value's documented fallback (no COM name, no friendly name, no log). The
// port starts in every case, and its device carries the bytes it is written.
// The service's PortName and FileLog are read as a port starts; PortName and
// InstancePath in the device's hardware key are read at every start, so
// those are set on a started port which is then stopped and started again.
// An exhaustive table, one case each.
#include <windows.h>

#include "campaign.h"
#include "port_machine.h"

#include <cstdio>

using namespace sim_test;

namespace {

typedef std::vector<uint8_t> Bytes;

enum Value { kServicePortName, kFileLog, kHardwarePortName, kInstancePath, kValues };
const char* const kValueNames[kValues] = {"service PortName", "FileLog", "hardware PortName", "InstancePath"};

enum Shape { kMissing, kEmpty, kLoneNul, kText, kUnterminated, kOddLength, kEmbeddedNul, kHuge, kShapes };
const char* const kShapeNames[kShapes] = {"missing",      "empty",      "a lone NUL",   "text",
                                          "unterminated", "odd length", "embedded NUL", "64 KB"};
const ULONG kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE};
const size_t kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

Bytes Utf16(const std::u16string& text)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    return Bytes(p, p + text.size() * 2);
}

// The data of `shape` around `text`, and the text the driver may take from it
// as REG_SZ (empty when it must take none).
Bytes Data(Shape shape, const std::u16string& text, std::u16string* taken)
{
    taken->clear();
    switch (shape) {
    case kMissing:
    case kEmpty:
        return Bytes();
    case kLoneNul:
        return Bytes(2, 0);
    case kText:
        *taken = text;
        return Utf16(text + u'\0');
    case kUnterminated:
        *taken = text;
        return Utf16(text);
    case kOddLength: {
        *taken = text;
        Bytes b = Utf16(text);
        b.push_back('x');  // half a character
        return b;
    }
    case kEmbeddedNul:
        *taken = text;
        return Utf16(text + u'\0' + u"TAIL" + u'\0');
    default:  // a name no string of the kernel can hold with its prefix
        return Utf16(std::u16string(32767, u'A') + u'\0');
    }
}

struct Case {
    Value value;
    ULONG type;
    Shape shape;
};

class RegistryCampaignTest : public PortMachineTest {
protected:
    std::string HardwareKey(const std::string& instance)
    {
        return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters";
    }
    std::string LogPath() { return sim::HostPathForDosPath("\\DosDevices\\C:\\fuzz.log"); }
    bool LogWritten()
    {
        FILE* f = fopen(LogPath().c_str(), "rb");
        if (f == nullptr) {
            return false;
        }
        bool any = fgetc(f) != EOF;
        fclose(f);
        return any;
    }
    bool Set(const std::string& key, const char* name, const Case& c, const Bytes& data)
    {
        return c.shape == kMissing ? (sim::RegRemoveValue(key, name), true) : sim::RegSetRaw(key, name, c.type, data);
    }
    // Opens the port by its COM name, writes through it, and checks that the
    // device received the byte.
    bool ReachedByName(const std::u16string& name, uint32_t id)
    {
        std::u16string path = u"\\\\.\\" + name;
        HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (port == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "cannot open the port by its name: " << GetLastError();
            return false;
        }
        DWORD written = 0;
        uint8_t byte = 0x42;
        bool wrote = WriteFile(port, &byte, 1, &written, NULL) && written == 1;
        CloseHandle(port);
        BusReply r =
            BusIoctl(VBUS_IOCTL_READ_OUT, vbusreq::ReadOut(id, VBUS_READ_PAYLOAD), sizeof(VBUS_READ_OUT_RESPONSE) + 64);
        EXPECT_TRUE(wrote) << "the write failed: " << GetLastError();
        EXPECT_EQ(vbusreq::OutData(r.data), Bytes{0x42}) << "the device did not receive the byte written";
        return wrote && vbusreq::OutData(r.data) == Bytes{0x42};
    }
    bool HasLink(CSerialDevice* port) { return !In(port).m_LinkName.IsEmpty(); }
    std::u16string PortNameOf(CSerialDevice* port)
    {
        const UNICODE_STRING& s = In(port).m_PortName.Value();
        return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
    }

    bool RunCase(const Case& c, unsigned index)
    {
        const std::u16string text = c.value == kFileLog ? u"C:\\fuzz.log" : u"COM7";
        std::u16string taken;
        Bytes data = Data(c.shape, text, &taken);
        if (c.type != REG_SZ) {
            taken.clear();  // only REG_SZ is read as text
        }
        vbusreq::PlugOptions options;
        std::string serial = "R" + std::to_string(index);
        options.serial = std::u16string(serial.begin(), serial.end());
        std::string instance = "USB\\VID_5A1E&PID_0101\\" + serial;
        remove(LogPath().c_str());
        sim::RegRemoveValue(kServiceParameters, "FileLog");
        EXPECT_TRUE(sim::RegSetString(kServiceParameters, "PortName", "COM5"));
        if (c.value == kServicePortName) {
            EXPECT_TRUE(Set(kServiceParameters, "PortName", c, data));
        } else if (c.value == kFileLog) {
            EXPECT_TRUE(Set(kServiceParameters, "FileLog", c, data));
        } else if (c.value == kHardwarePortName) {
            // Without a service name the port takes the one in its own key.
            sim::RegRemoveValue(kServiceParameters, "PortName");
        }
        uint32_t id = Plug(options);
        CSerialDevice* port = OnlyPort();
        EXPECT_NE(id, 0u);
        EXPECT_NE(port, nullptr) << "the port did not start";
        if (id == 0 || port == nullptr) {
            return false;
        }
        if (c.value == kHardwarePortName || c.value == kInstancePath) {
            const char* name = c.value == kHardwarePortName ? "PortName" : "InstancePath";
            if (c.value == kInstancePath && c.shape != kHuge) {
                // The instance path is the text, as its installer writes it.
                data = Data(c.shape, std::u16string(instance.begin(), instance.end()), &taken);
                taken = c.type == REG_SZ ? taken : u"";
            }
            EXPECT_TRUE(Set(HardwareKey(instance), name, c, data));
            sim::RegRemoveValue("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance, "FriendlyName");
            EXPECT_EQ(sim::PnpStopDevice(instance), STATUS_SUCCESS);
            sim::WaitPnpIdle();
            port = OnlyPort();
            EXPECT_NE(port, nullptr) << "the port did not start again";
            if (port == nullptr) {
                return false;
            }
        }

        bool held = true;
        std::u16string name = c.value == kServicePortName || c.value == kHardwarePortName ? taken : u"COM5";
        if (name.empty()) {
            // The fallback: no COM name, so no link.
            held &= !HasLink(port);
            EXPECT_FALSE(HasLink(port)) << "a link from a value that names no port";
        } else {
            bool reached = HasLink(port) && ReachedByName(name, id);
            held &= PortNameOf(port) == name && reached;
            EXPECT_TRUE(PortNameOf(port) == name) << "the port took another name than its value holds";
            EXPECT_TRUE(reached) << "the port is not reached by its name";
        }
        if (c.value == kFileLog) {
            held &= LogWritten() == !taken.empty();
            EXPECT_EQ(LogWritten(), !taken.empty()) << "the log is on exactly when FileLog names a file";
        }
        if (c.value == kInstancePath) {
            std::string friendly;
            bool written = sim::RegGetString("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance,
                                             "FriendlyName", &friendly);
            held &= written == !taken.empty() && (!written || friendly == "Nivex PXB Port (COM5)");
            EXPECT_EQ(written, !taken.empty())
                << "the friendly name is written exactly when InstancePath names the device";
            // Nowhere else: an InstancePath naming no device names no key.
            bool stray = sim::RegValueExists("\\Registry\\Machine\\System\\CurrentControlSet\\Enum", "FriendlyName");
            held &= !stray;
            EXPECT_FALSE(stray) << "a friendly name written into the Enum key itself";
        }
        held &= CounterAtRest(port);
        EXPECT_EQ(Unplug(id), STATUS_SUCCESS);
        sim::WaitPnpIdle();
        EXPECT_TRUE(PortNodes().empty());
        return held && PortNodes().empty();
    }
};

}  // namespace

TEST_F(RegistryCampaignTest, EveryValueOfEveryTypeAndShapeStartsThePortWithItsFallback)
{
    std::vector<Case> cases;
    for (int v = 0; v < kValues; v++) {
        cases.push_back({(Value)v, REG_SZ, kMissing});
        for (size_t t = 0; t < kTypeCount; t++) {
            for (int s = kEmpty; s < kShapes; s++) {
                cases.push_back({(Value)v, kTypes[t], (Shape)s});
            }
        }
    }
    // The table is the whole campaign: BRISKLINK_CASES may shorten it.
    campaign::Campaign c("registry", (unsigned)cases.size());
    for (unsigned i = 0; i < c.Cases() && i < cases.size(); i++) {
        const Case& k = cases[i];
        SCOPED_TRACE(c.Describe(i) + ": " + kValueNames[k.value] + " type " + std::to_string(k.type) + " " +
                     kShapeNames[k.shape]);
        c.Record(i, RunCase(k, i));
    }
    EXPECT_EQ(c.Failed(), 0u);
}
