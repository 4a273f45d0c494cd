// SetupPortName, the setup library's code compiled into the test program,
// renames the plugged port through the platform's own setupapi: its
// PortName, the arbiter's ComDB and its friendly name show the change in the
// registry; devices and values it must not use are passed over untouched.
#include "registry_values.h"
#include "system_test.h"

#include <brisklink_setup.h>
#include <setupapi.h>

#include <cstdio>
#include <ostream>

using namespace systest;

namespace {

const std::u16string kArbiterKey = u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// A ComDB bitmap of `bytes` bytes in which each COMn of `claimed` is taken.
RegValue ComDb(size_t bytes, std::initializer_list<int> claimed)
{
    Bytes bitmap(bytes, 0);
    for (int n : claimed) {
        bitmap.at((n - 1) / 8) |= (uint8_t)(1u << ((n - 1) % 8));
    }
    return Raw(REG_BINARY, bitmap);
}

class PortRenameTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        m_SavedComDb = Arbiter();
        ForgetDepartedNames();
    }
    // Every port names itself when it starts, and Wine keeps listing a
    // departed device as present: the names of devices of the two products
    // that earlier tests left behind go, so the rename finds only this
    // test's ports.
    static void ForgetDepartedNames()
    {
        for (const char16_t* product : {u"USB\\VID_5A1E&PID_0101", u"USB\\VID_5A1E&PID_0102"}) {
            std::u16string root = EnumKey(product);
            HKEY key = NULL;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(root), 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) {
                continue;
            }
            std::vector<std::u16string> instances;
            WCHAR name[256];
            for (DWORD i = 0;; i++) {
                DWORD chars = 256;
                if (RegEnumKeyExW(key, i, name, &chars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
                    break;
                }
                instances.push_back(std::u16string(product) + u"\\" +
                                    std::u16string(reinterpret_cast<const char16_t*>(name), chars));
            }
            RegCloseKey(key);
            for (const std::u16string& instance : instances) {
                WriteValue(HardwareKey(instance), u"PortName", Absent());
            }
        }
    }
    // Under Wine and on Windows the machine outlives the test: the arbiter is
    // given back as it was, and this test's devices lose their names, since
    // Wine keeps listing them once they are gone (see wine_exceptions.cpp).
    void TearDown() override
    {
        if (m_Up && !IsSkipped()) {
            EXPECT_TRUE(SetArbiter(m_SavedComDb));
            for (const std::u16string& port : m_Ports) {
                WriteValue(HardwareKey(port), u"PortName", Absent());
            }
        }
        SystemTest::TearDown();
    }

    // Plugs a port under a serial number no earlier test used (under Wine
    // each test is a process of its own on one machine), waits until it runs
    // and gives it `portName`; its device instance id, empty on failure.
    // `hardwareIds` (a multi-string) replaces the ids the bus derives.
    std::u16string PlugNamedPort(const RegValue& portName, const std::u16string& hardwareIds = u"")
    {
        char serial[32];
        snprintf(serial, sizeof serial, "R%08lX%02zX", (unsigned long)GetTickCount(), m_Ports.size());
        vbusreq::PlugOptions options;
        options.serial = std::u16string(serial, serial + strlen(serial));
        options.hardwareIds = hardwareIds;
        int number = 0;
        uint32_t id = PlugPort(&number, options);
        // The bus names a device by the vendor and product of its descriptor.
        std::u16string port = u"USB\\VID_5A1E&PID_0101\\" + options.serial;
        m_Ports.push_back(port);
        bool ok = id != 0 && WriteValue(HardwareKey(port), u"PortName", portName);
        return ok ? port : u"";
    }

    static std::u16string HardwareKey(const std::u16string& port) { return EnumKey(port) + u"\\Device Parameters"; }
    static std::u16string EnumKey(const std::u16string& port) { return u"SYSTEM\\CurrentControlSet\\Enum\\" + port; }
    RegValue PortName(const std::u16string& port) { return ReadValue(HardwareKey(port), u"PortName"); }
    RegValue FriendlyName(const std::u16string& port) { return ReadValue(EnumKey(port), u"FriendlyName"); }
    RegValue Arbiter() { return ReadValue(kArbiterKey, u"ComDB"); }
    // An absent arbiter value takes its key along.
    bool SetArbiter(const RegValue& comDb)
    {
        if (!comDb.present) {
            LONG e = RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(kArbiterKey));
            return e == ERROR_SUCCESS || e == ERROR_FILE_NOT_FOUND;
        }
        return WriteValue(kArbiterKey, u"ComDB", comDb);
    }

    // Where setupapi lists `port` among the present Ports devices; -1 when it does not.
    int ListedIndex(const std::u16string& port)
    {
        int found = -1;
        HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; found < 0 && SetupDiEnumDeviceInfo(set, i, &device); i++) {
            WCHAR id[512];
            if (SetupDiGetDeviceInstanceIdW(set, &device, id, 512, NULL) &&
                port == reinterpret_cast<const char16_t*>(id)) {
                found = (int)i;
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        return found;
    }

    std::vector<std::u16string> m_Ports;
    RegValue m_SavedComDb;
};

std::u16string Friendly(const std::u16string& name)
{
    return u"Nivex PXB Port (" + name + u")";
}

std::u16string Repeat(char16_t c, size_t n)
{
    return std::u16string(n, c);
}

BOOLEAN Rename(const std::u16string& name)
{
    return SetupPortName(W(name));
}

template <typename Case>
std::string Label(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.label;
}

// ----------------------------------------------------------------- the rename

struct RenameCase {
    const char* label;
    RegValue oldName;
    std::u16string newName;
    RegValue comDbBefore;
    RegValue comDbAfter;
    bool friendlyRewritten;
};

void PrintTo(const RenameCase& c, std::ostream* out)
{
    *out << c.label;
}

class RenameTest : public PortRenameTest, public ::testing::WithParamInterface<RenameCase> {};

TEST_P(RenameTest, NameArbiterAndFriendlyNameFollow)
{
    const RenameCase& c = GetParam();
    std::u16string port = PlugNamedPort(c.oldName);
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(SetArbiter(c.comDbBefore));
    RegValue friendlyBefore = FriendlyName(port);

    // No control device answers yet: the rename stands without the driver.
    EXPECT_TRUE(Rename(c.newName));

    EXPECT_EQ(PortName(port), Sz(c.newName));
    EXPECT_EQ(Arbiter(), c.comDbAfter);
    EXPECT_EQ(FriendlyName(port), c.friendlyRewritten ? Sz(Friendly(c.newName)) : friendlyBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RenameTest,
    ::testing::Values(
        RenameCase{"ClaimMovesToTheNewNumber", Sz(u"COM3"), u"COM4", ComDb(32, {3, 9}), ComDb(32, {4, 9}), true},
        RenameCase{"SameNameChangesNothingElse", Sz(u"COM3"), u"COM3", ComDb(32, {3}), ComDb(32, {3}), false},
        RenameCase{"LetterCaseMakesANewName", Sz(u"COM4"), u"com4", ComDb(32, {4}), ComDb(32, {4}), true},
        RenameCase{"OtherNameOnlyReleases", Sz(u"COM3"), u"Printer", ComDb(32, {3}), ComDb(32, {}), true},
        RenameCase{"FromOtherNameOnlyClaims", Sz(u"LPT1"), u"COM12", ComDb(32, {1}), ComDb(32, {1, 12}), true},
        RenameCase{"FromEmptyNameOnlyClaims", Sz(u""), u"COM4", ComDb(32, {}), ComDb(32, {4}), true},
        RenameCase{"ComZeroClaimsNothing", Sz(u"COM3"), u"COM0", ComDb(32, {3}), ComDb(32, {}), true},
        RenameCase{"ComAloneClaimsNothing", Sz(u"COM3"), u"COM", ComDb(32, {3}), ComDb(32, {}), true},
        RenameCase{"TrailingLetterClaimsNothing", Sz(u"COM3"), u"COM5x", ComDb(32, {3}), ComDb(32, {}), true},
        RenameCase{"LastNumberOfTheBitmap", Sz(u"COM3"), u"COM256", ComDb(32, {3}), ComDb(32, {256}), true},
        RenameCase{"NumberBeyondTheBitmapIsDropped", Sz(u"Printer"), u"COM300", ComDb(32, {5}), ComDb(32, {5}), true},
        RenameCase{"LargestBitmapRead", Sz(u"COM3"), u"COM2048", ComDb(256, {3}), ComDb(256, {2048}), true},
        RenameCase{"LongerBitmapIsLeftAlone", Sz(u"COM3"), u"COM4", ComDb(300, {3}), ComDb(300, {3}), true},
        RenameCase{"BitmapOfAnotherTypeIsLeftAlone", Sz(u"COM3"), u"COM4", Raw(REG_DWORD, {4, 0, 0, 0}),
                   Raw(REG_DWORD, {4, 0, 0, 0}), true},
        RenameCase{"MissingArbiterIsNotCreated", Sz(u"COM3"), u"COM4", Absent(), Absent(), true}),
    Label<RenameCase>);

// --------------------------------------------------------- the stored name

struct StoredNameCase {
    const char* label;
    RegValue stored;
    bool renamed;
    RegValue comDbAfter;  // from COM3 taken
};

void PrintTo(const StoredNameCase& c, std::ostream* out)
{
    *out << c.label;
}

class StoredNameTest : public PortRenameTest, public ::testing::WithParamInterface<StoredNameCase> {};

// A PortName that cannot be read back as a name leaves the device out: the
// value, the arbiter and the friendly name stay as they were.
TEST_P(StoredNameTest, OnlyAReadableNameIsReplaced)
{
    const StoredNameCase& c = GetParam();
    std::u16string port = PlugNamedPort(c.stored);
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(SetArbiter(ComDb(32, {3})));
    RegValue friendlyBefore = FriendlyName(port);

    EXPECT_EQ(Rename(u"COM4"), c.renamed);

    EXPECT_EQ(PortName(port), c.renamed ? Sz(u"COM4") : c.stored);
    EXPECT_EQ(Arbiter(), c.comDbAfter);
    EXPECT_EQ(FriendlyName(port), c.renamed ? Sz(Friendly(u"COM4")) : friendlyBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Values, StoredNameTest,
    ::testing::Values(
        StoredNameCase{"Missing", Absent(), false, ComDb(32, {3})},
        StoredNameCase{"OddSize", Raw(REG_SZ, {'C', 0, 'O'}), false, ComDb(32, {3})},
        StoredNameCase{"Unterminated", Raw(REG_SZ, {'C', 0, 'O', 0, 'M', 0, '3', 0}), false, ComDb(32, {3})},
        StoredNameCase{"Number", Raw(REG_DWORD, {3, 0, 0, 0}), false, ComDb(32, {3})},
        StoredNameCase{"MultiString", Raw(REG_MULTI_SZ, {'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0, 0, 0}), false,
                       ComDb(32, {3})},
        StoredNameCase{"LongerThanAnyName", Sz(Repeat(u'C', BLNK_MAX_PORT_NAME_CHARS + 1)), false, ComDb(32, {3})},
        StoredNameCase{"ExpandString", Sz(u"COM3", REG_EXPAND_SZ), true, ComDb(32, {4})},
        StoredNameCase{"NoBytes", Raw(REG_SZ, {}), true, ComDb(32, {3, 4})},
        StoredNameCase{"LongestName", Sz(Repeat(u'C', BLNK_MAX_PORT_NAME_CHARS)), true, ComDb(32, {3, 4})}),
    Label<StoredNameCase>);

// --------------------------------------------------------- the hardware ids

struct IdCase {
    const char* label;
    std::u16string ids;  // multi-string; a later id makes the driver package match
    bool renamed;
};

void PrintTo(const IdCase& c, std::ostream* out)
{
    *out << c.label;
}

std::u16string MultiSz(std::initializer_list<std::u16string> ids)
{
    std::u16string list;
    for (const std::u16string& id : ids) {
        list += id;
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

class HardwareIdTest : public PortRenameTest, public ::testing::WithParamInterface<IdCase> {};

// Only the first id counts, over the supported id's 21 characters, in any case.
TEST_P(HardwareIdTest, FirstIdDecides)
{
    const IdCase& c = GetParam();
    std::u16string port = PlugNamedPort(Sz(u"COM3"), c.ids);
    ASSERT_FALSE(port.empty());

    EXPECT_EQ(Rename(u"COM4"), c.renamed);
    EXPECT_EQ(PortName(port), Sz(c.renamed ? u"COM4" : u"COM3"));
}

const std::u16string kPort1 = u"USB\\VID_5A1E&PID_0101";
const std::u16string kPort2 = u"USB\\VID_5A1E&PID_0102";

INSTANTIATE_TEST_SUITE_P(
    Ids, HardwareIdTest,
    ::testing::Values(IdCase{"RevisionSuffix", MultiSz({kPort1 + u"&REV_0200", kPort1}), true},
                      IdCase{"SecondProduct", MultiSz({kPort2 + u"&REV_0100", kPort2}), true},
                      IdCase{"LowerCase", MultiSz({u"usb\\vid_5a1e&pid_0101&rev_0200", kPort1}), true},
                      IdCase{"OtherProductFirst", MultiSz({u"USB\\VID_5A1E&PID_0103", kPort1}), false},
                      IdCase{"ShortFirstId", MultiSz({u"USB\\VID_5A1E", kPort1}), false},
                      // More than the 256 bytes most id lists fit in.
                      IdCase{"LongList",
                             MultiSz({kPort1 + u"&REV_0200", kPort1, u"USB\\Class_FF&SubClass_00&Prot_00",
                                      u"USB\\Class_FF&SubClass_00", u"USB\\Class_FF", u"USB\\COMPOSITE",
                                      u"USB\\Vendor_5A1E"}),
                             true}),
    Label<IdCase>);

// -------------------------------------------------------------- scenarios

// A name of the longest length is stored in full, and the next rename can
// still read it back; one character more is refused with nothing changed,
// as is no name at all.
TEST_F(PortRenameTest, LongestNameRoundTripsAndLongerIsRefused)
{
    std::u16string port = PlugNamedPort(Sz(u"COM3"));
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(SetArbiter(ComDb(32, {3})));

    EXPECT_FALSE(SetupPortName(NULL));
    EXPECT_FALSE(Rename(Repeat(u'N', BLNK_MAX_PORT_NAME_CHARS + 1)));
    EXPECT_EQ(PortName(port), Sz(u"COM3"));
    EXPECT_EQ(Arbiter(), ComDb(32, {3}));

    std::u16string longest = Repeat(u'N', BLNK_MAX_PORT_NAME_CHARS);
    EXPECT_TRUE(Rename(longest));
    EXPECT_EQ(PortName(port), Sz(longest));
    EXPECT_EQ(FriendlyName(port), Sz(Friendly(longest)));
    EXPECT_TRUE(Rename(u"COM6"));
    EXPECT_EQ(PortName(port), Sz(u"COM6"));
    EXPECT_EQ(Arbiter(), ComDb(32, {6}));
}

// Of two candidates, the one setupapi lists first is renamed; when its name
// cannot be read, the search goes on to the other.
TEST_F(PortRenameTest, FirstReadableCandidateIsTheOnlyOneRenamed)
{
    std::u16string a = PlugNamedPort(Sz(u"COM3"));
    std::u16string b = PlugNamedPort(Sz(u"COM7"));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    int atA = ListedIndex(a);
    int atB = ListedIndex(b);
    ASSERT_GE(atA, 0);
    ASSERT_GE(atB, 0);
    std::u16string first = atA < atB ? a : b;
    std::u16string second = first == a ? b : a;
    RegValue secondName = PortName(second);

    EXPECT_TRUE(Rename(u"COM4"));
    EXPECT_EQ(PortName(first), Sz(u"COM4"));
    EXPECT_EQ(PortName(second), secondName);

    ASSERT_TRUE(WriteValue(HardwareKey(first), u"PortName", Raw(REG_SZ, {'C', 0, 'O'})));
    EXPECT_TRUE(Rename(u"COM9"));
    EXPECT_EQ(PortName(first), Raw(REG_SZ, {'C', 0, 'O'}));
    EXPECT_EQ(PortName(second), Sz(u"COM9"));
}

// A device that was unplugged keeps its registry keys, but is no longer
// present: it is not renamed.
TEST_F(PortRenameTest, UnpluggedDeviceIsNotRenamed)
{
    std::u16string port = PlugNamedPort(Sz(u"COM3"));
    ASSERT_FALSE(port.empty());
    uint32_t id = bus.plugged.back();
    ASSERT_TRUE(bus.Unplug(id));
    ASSERT_TRUE(bus.WaitRemoved(id));

    EXPECT_FALSE(Rename(u"COM4"));
    EXPECT_EQ(PortName(port), Sz(u"COM3"));
}

}  // namespace
