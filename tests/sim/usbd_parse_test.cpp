// USBD descriptor parsing: matching rules and staying inside wTotalLength.
#include "machine_fixture.h"
#include "usbd_descriptors.h"

using usbd_test::AsConfig;
using usbd_test::ConfigBuilder;

namespace {

uint8_t NumberOf(PUSB_INTERFACE_DESCRIPTOR d)
{
    return d->bInterfaceNumber;
}

// Probes interface numbers 0,1,2,... with alternate setting 0, as the driver does.
std::vector<int> Probe(std::vector<uint8_t>& cfg, int upTo)
{
    std::vector<int> found;
    for (int n = 0; n < upTo; ++n)
        if (USBD_ParseConfigurationDescriptorEx(AsConfig(cfg), AsConfig(cfg), n, 0, -1, -1, -1))
            found.push_back(n);
    return found;
}

}  // namespace

TEST(UsbdParse, ProbingInterfaceNumbersSkipsTheGaps)
{
    auto cfg = ConfigBuilder()
                   .Interface(0, 0, 1)
                   .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16)
                   .Interface(2, 0, 1)
                   .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
                   .Interface(5, 0, 0)
                   .Build();
    EXPECT_EQ(Probe(cfg, 8), (std::vector<int>{0, 2, 5}));
}

TEST(UsbdParse, MatchesAlternateSettingClassSubclassAndProtocol)
{
    auto cfg = ConfigBuilder()
                   .Interface(0, 0, 0, 0x02, 0x02, 0x01)
                   .Interface(0, 1, 0, 0x0A, 0x00, 0x00)
                   .Interface(1, 0, 0, 0xFF, 0x03, 0x07)
                   .Build();
    auto c = AsConfig(cfg);
    auto alt1 = USBD_ParseConfigurationDescriptorEx(c, c, 0, 1, -1, -1, -1);
    ASSERT_NE(alt1, nullptr);
    EXPECT_EQ(alt1->bInterfaceClass, 0x0A);
    auto vendor = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 0xFF, 0x03, 0x07);
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(NumberOf(vendor), 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 0xFF, 0x03, 0x08), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 2, -1, -1, -1), nullptr);
}

TEST(UsbdParse, StartPositionContinuesAfterAMatch)
{
    auto cfg = ConfigBuilder().Interface(0, 0, 0).Interface(0, 1, 0).Interface(0, 2, 0).Build();
    auto c = AsConfig(cfg);
    std::vector<int> alternates;
    PVOID start = c;
    while (auto d = USBD_ParseConfigurationDescriptorEx(c, start, 0, -1, -1, -1, -1)) {
        alternates.push_back(d->bAlternateSetting);
        start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    EXPECT_EQ(alternates, (std::vector<int>{0, 1, 2}));
}

TEST(UsbdParse, ZeroLengthDescriptorEndsTheWalk)
{
    auto cfg = ConfigBuilder().Raw({0, 0x24, 1, 2, 3}).Interface(0, 0, 0).Build();
    auto c = AsConfig(cfg);
    // Would loop forever if a zero bLength were followed; the interface behind it is unreachable.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, c, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdParse, DescriptorsBeyondTotalLengthAreNotSeen)
{
    // wTotalLength covers the configuration and the first interface only.
    auto cfg = ConfigBuilder().Interface(0, 0, 0).Interface(1, 0, 0).Build(9 + 9);
    auto c = AsConfig(cfg);
    EXPECT_EQ(Probe(cfg, 3), (std::vector<int>{0}));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, DescriptorCrossingTotalLengthIsNotReturnedNorRead)
{
    // The buffer ends exactly at wTotalLength, in the middle of the second
    // interface: AddressSanitizer catches any read past it.
    auto full = ConfigBuilder().Interface(0, 0, 0).Interface(1, 0, 0).Build(9 + 9 + 4);
    std::vector<uint8_t> cfg(full.begin(), full.begin() + 9 + 9 + 4);
    auto c = AsConfig(cfg);
    EXPECT_EQ(Probe(cfg, 3), (std::vector<int>{0}));
    EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, cfg.data() + 18, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdParse, ShortInterfaceDescriptorNeverMatches)
{
    // A 5-byte "interface" descriptor: too short to carry its fields.
    auto cfg = ConfigBuilder().Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0}).Interface(1, 0, 0).Build();
    auto c = AsConfig(cfg);
    auto d = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->bInterfaceNumber, 1);
}

TEST(UsbdParse, StartPositionOutsideTheSetFindsNothing)
{
    auto cfg = ConfigBuilder().Interface(0, 0, 0).Build();
    auto c = AsConfig(cfg);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, cfg.data() + cfg.size(), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, cfg.data() - 1, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, c, -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, ParseDescriptorsFindsEndpointsInOrder)
{
    auto cfg = ConfigBuilder()
                   .Interface(0, 0, 2)
                   .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4)
                   .Endpoint(0x01, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4)
                   .Build();
    auto c = AsConfig(cfg);
    std::vector<int> addresses;
    PVOID start = c;
    while (auto d = USBD_ParseDescriptors(c, c->wTotalLength, start, USB_ENDPOINT_DESCRIPTOR_TYPE)) {
        addresses.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d)->bEndpointAddress);
        start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    EXPECT_EQ(addresses, (std::vector<int>{0x81, 0x01}));
}

TEST(UsbdParse, InterfaceLengthRunsToTheNextInterface)
{
    auto cfg = ConfigBuilder()
                   .Interface(0, 0, 1)
                   .Raw({5, 0x24, 0, 1, 2})
                   .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8)
                   .Interface(1, 0, 0)
                   .Build();
    auto c = AsConfig(cfg);
    auto first = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(USBD_GetInterfaceLength(first, cfg.data() + cfg.size()), 9u + 5u + 7u);
}
