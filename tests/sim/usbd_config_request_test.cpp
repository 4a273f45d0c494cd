// USBD_CreateConfigurationRequestEx: size, contents and pool accounting.
#include "machine_fixture.h"
#include "usbd_descriptors.h"

using usbd_test::AsConfig;
using usbd_test::ConfigBuilder;

namespace {
constexpr ULONG kUsbdTag = 'DBSU';

std::vector<uint8_t> TwoInterfaces()
{
    return ConfigBuilder()
        .Interface(0, 0, 2, 0xFF)
        .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1)
        .Endpoint(0x01, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1)
        .Interface(3, 0, 1, 0x0A)
        .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
        .Build();
}
}  // namespace

class UsbdConfigRequestTest : public MachineTest {};

TEST_F(UsbdConfigRequestTest, SizedForEveryListedInterfaceAndItsPipes)
{
    auto cfg = TwoInterfaces();
    auto c = AsConfig(cfg);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 3, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    EXPECT_EQ(sim::OutstandingPoolCount(kUsbdTag), 1u);

    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
    ASSERT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    ASSERT_EQ(reinterpret_cast<PUCHAR>(second), reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(first->NumberOfPipes, 2u);
    EXPECT_EQ(second->InterfaceNumber, 3);
    EXPECT_EQ(second->NumberOfPipes, 1u);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second) + second->Length, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
    for (ULONG i = 0; i < first->NumberOfPipes; ++i)
        EXPECT_EQ(first->Pipes[i].MaximumTransferSize, 4096u);
    EXPECT_EQ(second->Pipes[0].MaximumTransferSize, 4096u);
    EXPECT_EQ(first->Pipes[0].PipeHandle, nullptr);
    ExFreePool(urb);
}

TEST_F(UsbdConfigRequestTest, InterfaceWithoutEndpointsTakesTheShortRecord)
{
    auto cfg = ConfigBuilder().Interface(0, 0, 0).Interface(1, 0, 1).Endpoint(0x81, 3, 8).Build();
    auto c = AsConfig(cfg);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 1));
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(0));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
}

TEST_F(UsbdConfigRequestTest, InjectedUrbFailureReturnsNullAndLeaksNothing)
{
    auto cfg = TwoInterfaces();
    auto c = AsConfig(cfg);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Urb;
    rule.nth = 1;
    sim::AddFault(rule);
    unsigned before = sim::AllocationAttempts(sim::FaultSite::Urb);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Urb), before + 1);
    EXPECT_EQ(list[0].Interface, nullptr);
    EXPECT_EQ(sim::OutstandingPoolCount(kUsbdTag), 0u);
    sim::ClearFaults();
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    ExFreePool(urb);
}

TEST_F(UsbdConfigRequestTest, EmptyListOrMissingDescriptorIsRefused)
{
    auto cfg = TwoInterfaces();
    USBD_INTERFACE_LIST_ENTRY list[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(cfg), list), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list), nullptr);
    EXPECT_EQ(sim::OutstandingPoolCount(kUsbdTag), 0u);
}

TEST_F(UsbdConfigRequestTest, LegacyRequestSelectsAlternateZeroOfEachInterface)
{
    auto cfg = ConfigBuilder()
                   .Interface(0, 0, 1)
                   .Endpoint(0x81, 3, 8)
                   .Interface(0, 1, 2)
                   .Endpoint(0x81, 3, 64)
                   .Endpoint(0x01, 3, 64)
                   .Interface(2, 0, 0)
                   .Build();
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(AsConfig(cfg), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 1u);
    ExFreePool(urb);
}
