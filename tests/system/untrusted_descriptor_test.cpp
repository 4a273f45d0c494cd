// A USB device is untrusted input. A configuration descriptor set that the
// device contradicts between two reads, or whose descriptors run past the
// bytes it returned, fails the configuration cleanly: the port still starts,
// but nothing is selected, no reader runs and no write is sent; nothing is
// read outside what the device returned (the sanitizers watch the host build).
#include "system_test.h"

using namespace systest;

namespace {

struct UntrustedDevice {
    const char* name;
    vbusreq::Bytes config;
    std::vector<vbusreq::Bytes> faults;  // device ids are ignored at plug
};

std::vector<UntrustedDevice> UntrustedDevices()
{
    using usbdesc::Config;
    using usbdesc::kInterrupt;
    std::vector<UntrustedDevice> cases;
    cases.push_back({"SecondReadIsShort", usbdesc::ReferenceConfig(), {vbusreq::ShortDescriptor(0, 2, 20, 2)}});
    // 32 bytes announced, then a header claiming 4096 on the second read.
    cases.push_back(
        {"SecondReadClaimsAnotherLength", usbdesc::ReferenceConfig(), {vbusreq::PatchDescriptor(0, 2, 2, 4096, 2)}});
    cases.push_back({"HeaderReadIsShort", usbdesc::ReferenceConfig(), {vbusreq::ShortDescriptor(0, 2, 5, 1)}});
    cases.push_back({"TotalLengthBelowTheHeader", usbdesc::ReferenceConfig(), {vbusreq::PatchDescriptor(0, 2, 2, 5)}});
    cases.push_back({"DescriptorOfLengthZero",
                     Config().Interface(0, 2).Endpoint(0x81, kInterrupt, 16).Raw({0, 5, 0x02, 3}).Build(),
                     {}});
    // The OUT endpoint's last bytes lie beyond wTotalLength.
    cases.push_back({"DescriptorRunsPastTheEnd",
                     Config().Interface(0, 2).Endpoint(0x81, kInterrupt, 16).Endpoint(0x02, kInterrupt, 64).Build(29),
                     {}});
    cases.push_back({"MoreEndpointsThanBytes",
                     Config().Interface(0, 3).Endpoint(0x81, kInterrupt, 16).Endpoint(0x02, kInterrupt, 64).Build(),
                     {}});
    cases.push_back({"InterfaceDescriptorTooShort",
                     Config()
                         .Raw({7, 4, 0, 0, 2, 0xFF, 0})
                         .Endpoint(0x81, kInterrupt, 16)
                         .Endpoint(0x02, kInterrupt, 64)
                         .Build(-1, 1),
                     {}});
    return cases;
}

void PrintTo(const UntrustedDevice& device, std::ostream* os)
{
    *os << device.name;
}

class UntrustedDescriptorTest : public SystemTest, public ::testing::WithParamInterface<UntrustedDevice> {};
class PacketSizeTest : public SystemTest {};

int Selections(const std::vector<VBUS_URB_LOG_ENTRY>& log)
{
    int n = 0;
    for (const VBUS_URB_LOG_ENTRY& e : log) {
        n += e.Function == usbdesc::kUrbSelectConfiguration;
    }
    return n;
}

}  // namespace

TEST_P(UntrustedDescriptorTest, ConfigurationFailsWithoutSelectingOrReading)
{
    vbusreq::PlugOptions options;
    options.config = GetParam().config;
    options.faults = GetParam().faults;
    int number = 0;
    uint32_t id = PlugPort(&number, options);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(Selections(bus.UrbLog(id)), 0);
    EXPECT_EQ(bus.Query(id).PendingIn, 0u);

    HANDLE port = OpenPort(number);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(port);
}

INSTANTIATE_TEST_SUITE_P(Devices, UntrustedDescriptorTest, ::testing::ValuesIn(UntrustedDevices()),
                         [](const ::testing::TestParamInfo<UntrustedDevice>& info) { return info.param.name; });

TEST_F(PacketSizeTest, PipeOfPacketSizeZeroGetsNoDataPath)
{
    for (uint8_t in : {0, 1}) {
        vbusreq::PlugOptions options;
        options.config = usbdesc::ReferenceConfig(in == 0 ? 0 : 16, in == 0 ? 64 : 0);
        options.serial = in == 0 ? u"IN0" : u"OUT0";
        int number = 0;
        uint32_t id = PlugPort(&number, options);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(Selections(bus.UrbLog(id)), 1);
        EXPECT_EQ(bus.Query(id).PendingIn, 0u);
    }
}
