// Reading the descriptors and selecting the configuration, with every way it
// can fail.
#include "loopback_bus.h"
#include "port_io.h"
#include "machine_fixture.h"
#include "trace_capture.h"

using sim_test::CounterAtRest;

namespace {

class UsbConfigTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create());
        m_Device = m_Port.device;
    }
    void TearDown() override
    {
        sim::ClearFaults();
        m_Port.Remove();
        MachineTest::TearDown();
    }
    void FailPool(ULONG tag, unsigned nth)
    {
        sim::FaultRule rule;
        rule.site = sim::FaultSite::Pool;
        rule.tag = tag;
        rule.nth = nth;
        sim::AddFault(rule);
    }
    std::vector<PUSBD_INTERFACE_INFORMATION> SelectedInterfaces()
    {
        std::vector<uint8_t>& urb = loopback::TheBus().selectUrb;
        std::vector<PUSBD_INTERFACE_INFORMATION> out;
        PUCHAR at = (PUCHAR) & ((PURB)urb.data())->UrbSelectConfiguration.Interface;
        PUCHAR end = urb.data() + urb.size();
        while (at < end) {
            PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
            if (info->Length == 0) {
                break;
            }
            out.push_back(info);
            at += info->Length;
        }
        return out;
    }

    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
    TraceCapture m_Traces;
};

const ULONG kTagMemory = 0x4D454D45;

}  // namespace

TEST_F(UsbConfigTest, ConfigurationIsReadAsHeaderThenWhole)
{
    ASSERT_TRUE(In(m_Device).InitUsbDev());
    std::vector<uint32_t>& lengths = loopback::TheBus().descriptorLengths;
    ASSERT_EQ(lengths.size(), 3u);
    EXPECT_EQ(lengths[0], 18u);
    EXPECT_EQ(lengths[1], 9u);
    EXPECT_EQ(lengths[2], 32u);
    EXPECT_EQ(In(m_Device).m_ConfigDescriptor.m_Size, 32);
    EXPECT_EQ(memcmp(&In(m_Device).m_DeviceDescriptor, usbdesc::Device().data(), 18), 0);
    EXPECT_TRUE(m_Traces.Saw("GetUsbDeviceDesc"));
    EXPECT_TRUE(m_Traces.Saw("SelectConfig"));
}

TEST_F(UsbConfigTest, DeviceDescriptorIsZeroBeforeTheFirstStart)
{
    USB_DEVICE_DESCRIPTOR zero = {};
    EXPECT_EQ(memcmp(&In(m_Device).m_DeviceDescriptor, &zero, sizeof(zero)), 0);
}

TEST_F(UsbConfigTest, InterfacesNumberedWithAGapAreAllListed)
{
    loopback::TheBus().configDescriptor = usbdesc::Config()
                                              .Interface(0, 2)
                                              .Endpoint(0x81, usbdesc::kInterrupt, 16)
                                              .Endpoint(0x02, usbdesc::kInterrupt, 64)
                                              .Interface(2, 1)
                                              .Endpoint(0x83, usbdesc::kBulk, 64)
                                              .Build();
    ASSERT_TRUE(In(m_Device).InitUsbDev());
    std::vector<PUSBD_INTERFACE_INFORMATION> selected = SelectedInterfaces();
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0]->InterfaceNumber, 0);
    EXPECT_EQ(selected[1]->InterfaceNumber, 2);
    // Only the first interface's pipes ask for unlimited transfers.
    for (ULONG i = 0; i < selected[0]->NumberOfPipes; i++) {
        EXPECT_EQ(selected[0]->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
    }
    EXPECT_NE(selected[1]->Pipes[0].MaximumTransferSize, 0xFFFFFFFFu);
    // What stays is the first interface only, with the handles the bus gave.
    EXPECT_EQ(In(m_Device).InterfaceInfo()->InterfaceNumber, 0);
    EXPECT_EQ(In(m_Device).InterfaceInfo()->NumberOfPipes, 2u);
    EXPECT_EQ(In(m_Device).m_InterfaceInfo.m_Size, In(m_Device).InterfaceInfo()->Length);
    EXPECT_NE(In(m_Device).InterfaceInfo()->Pipes[0].PipeHandle, nullptr);
}

TEST_F(UsbConfigTest, DeclaringMoreInterfacesThanPresentFailsTheSelection)
{
    loopback::TheBus().configDescriptor = usbdesc::Config()
                                              .Interface(0, 2)
                                              .Endpoint(0x81, usbdesc::kInterrupt, 16)
                                              .Endpoint(0x02, usbdesc::kInterrupt, 64)
                                              .Build(-1, 3);
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_TRUE(loopback::TheBus().selectUrb.empty());
}

TEST_F(UsbConfigTest, FailedSelectKeepsTheRequestAsSentAndStartsNoReader)
{
    loopback::TheBus().selectStatus = STATUS_UNSUCCESSFUL;
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_TRUE(m_Traces.Saw("Failed to select an interface", 1));
    ASSERT_NE(In(m_Device).InterfaceInfo(), nullptr);
    EXPECT_EQ(In(m_Device).InterfaceInfo()->NumberOfPipes, 2u);
    EXPECT_EQ(In(m_Device).InterfaceInfo()->Pipes[0].PipeHandle, nullptr);

    // Started through PnP, such a device gets no readers.
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(r.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(loopback::PendingIn(), 0u);
    EXPECT_FALSE(In(m_Device).m_ReadContexts[0].m_InFlight);
}

TEST_F(UsbConfigTest, LowerDriverFailingADescriptorRequestFailsTheStartup)
{
    loopback::TheBus().descriptorStatus = STATUS_UNSUCCESSFUL;
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_EQ(loopback::TheBus().descriptorLengths.size(), 1u);
}

TEST_F(UsbConfigTest, UrbIrpThatCannotBeBuiltIsInsufficientResources)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Irp;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_TRUE(loopback::TheBus().descriptorLengths.empty());
    sim::ClearFaults();
    _URB_CONTROL_DESCRIPTOR_REQUEST urb = {};
    sim::AddFault(rule);
    EXPECT_EQ(In(m_Device).CallUSBD((PURB)&urb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(CounterAtRest(m_Device));
}

TEST_F(UsbConfigTest, DescriptorBuffersThatCannotBeSizedFailTheStartup)
{
    FailPool(kTagMemory, 1);  // the URB of the device descriptor request
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    sim::ClearFaults();
    FailPool(kTagMemory, 3);  // the 9-byte configuration header
    EXPECT_FALSE(In(m_Device).InitUsbDev());
}

TEST_F(UsbConfigTest, InterfaceListThatCannotBeSizedIsTraced)
{
    ASSERT_TRUE(In(m_Device).GetUsbDeviceDesc());
    ASSERT_TRUE(In(m_Device).GetUsbDeviceConfig(In(m_Device).m_ConfigDescriptor));
    FailPool(kTagMemory, 1);
    EXPECT_FALSE(In(m_Device).SelectConfig(In(m_Device).m_ConfigDescriptor.Data(), In(m_Device).m_InterfaceInfo));
    EXPECT_TRUE(m_Traces.Saw("Failed to allocate mem for interfaceList", 1));
}

TEST_F(UsbConfigTest, ConfigurationRequestThatCannotBeAllocatedIsTraced)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Urb;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_TRUE(m_Traces.Saw("USBD_CreateConfigurationRequestEx failed", 1));
    EXPECT_TRUE(loopback::TheBus().selectUrb.empty());
}

// The check is seen by what it prevents: the whole descriptor is never asked
// for, and the configuration is never selected.
TEST_F(UsbConfigTest, TotalLengthBelowTheHeaderStopsBeforeTheSecondRead)
{
    loopback::TheBus().configDescriptor = usbdesc::ReferenceConfig();
    loopback::TheBus().configDescriptor[2] = 4;  // wTotalLength 4
    loopback::TheBus().configDescriptor[3] = 0;
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_EQ(loopback::TheBus().descriptorLengths, (std::vector<uint32_t>{18, 9}));
    EXPECT_TRUE(m_Traces.Saw("GetUsbDeviceConfig wTotalLength", 1));
    EXPECT_TRUE(loopback::TheBus().selectUrb.empty());
}

// A bus that answers the selection with an interface record longer than the
// request: nothing is copied out of bounds, and nothing is kept.
TEST_F(UsbConfigTest, InterfaceRecordLongerThanTheRequestIsNotCopied)
{
    loopback::TheBus().selectLength = 0x4000;
    std::vector<uint8_t> before(In(m_Device).m_InterfaceInfo.Data(),
                                In(m_Device).m_InterfaceInfo.Data() + In(m_Device).m_InterfaceInfo.m_Size);
    EXPECT_FALSE(In(m_Device).InitUsbDev());
    EXPECT_EQ(std::vector<uint8_t>(In(m_Device).m_InterfaceInfo.Data(),
                                   In(m_Device).m_InterfaceInfo.Data() + In(m_Device).m_InterfaceInfo.m_Size),
              before);
}
