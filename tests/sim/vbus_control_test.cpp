// The virtual bus driven directly through its control device and its PDOs:
// plug-in, request validation, URBs, cancellation, surprise removal and
// clean unload. The bus runs as the PnP manager starts it; no function
// driver is installed, so the tests start the PDOs themselves.
#include "vbus_machine.h"
#include "vbus_test_util.h"

using namespace vbus_test;
using usbd_test::AsConfig;

namespace {

class VbusTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(sim_test::StartBusMachine());
    }

    // Plugs the product's device and, once the PnP manager has enumerated it
    // (without a function driver), starts its PDO as a function driver's
    // start would reach it.
    PDEVICE_OBJECT PlugAndStart(ULONG* id, const std::vector<uint8_t>& config = ProductConfig())
    {
        *id = Plug(config);
        if (!*id || !sim::WaitPnpIdle())
            return nullptr;
        PDEVICE_OBJECT pdo = Pdo(*id);
        if (pdo && sim::SendIrp(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE).ioStatus.Status != STATUS_SUCCESS)
            return nullptr;
        return pdo;
    }

    // Reads the configuration and selects it; returns the IN and OUT pipes.
    void Configure(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE* in, USBD_PIPE_HANDLE* out)
    {
        URB urb = {};
        UCHAR config[64] = {};
        UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr, sizeof(config), nullptr);
        ASSERT_EQ(SendUrb(pdo, &urb), STATUS_SUCCESS);
        auto cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
        PURB select = USBD_CreateConfigurationRequestEx(cd, list);
        ASSERT_NE(select, nullptr);
        ASSERT_EQ(SendUrb(pdo, select), STATUS_SUCCESS);
        EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(list[0].Interface->NumberOfPipes, 2u);
        *in = list[0].Interface->Pipes[0].PipeHandle;
        *out = list[0].Interface->Pipes[1].PipeHandle;
        EXPECT_EQ(list[0].Interface->Pipes[0].EndpointAddress, 0x81);
        EXPECT_EQ(list[0].Interface->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(list[0].Interface->Pipes[0].MaximumPacketSize, 16);
        ExFreePool(select);
    }
};

struct Transfer {
    URB urb = {};
    UCHAR buffer[64] = {};
    UrbCall call;
    void Start(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length)
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buffer, nullptr, length, flags, nullptr);
        call.Send(pdo, &urb);
    }
};

}  // namespace

TEST_F(VbusTest, PlugCreatesANamedPdoAndUnplugDeletesIt)
{
    ULONG id = Plug();
    ASSERT_NE(id, 0u);
    ASSERT_NE(Pdo(id), nullptr);
    EXPECT_TRUE(Query(id).State & VBUS_STATE_PRESENT);
    EXPECT_EQ(DeviceRequest(VBUS_IOCTL_UNPLUG, id), STATUS_SUCCESS);
    EXPECT_TRUE(sim_test::WaitFor([&] { return Pdo(id) == nullptr; }));
    EXPECT_EQ(DeviceRequest(VBUS_IOCTL_UNPLUG, id), STATUS_NO_SUCH_DEVICE);
}

TEST_F(VbusTest, MalformedControlRequestsFailCleanly)
{
    auto good = PlugRequest(DeviceDescriptor(), ProductConfig());
    std::vector<uint8_t> shortBuffer(good.begin(), good.begin() + 10);
    EXPECT_EQ(Ioctl(VBUS_IOCTL_PLUG, shortBuffer).status, STATUS_INVALID_PARAMETER);

    auto wrongSize = good;
    reinterpret_cast<VBUS_PLUG_REQUEST*>(wrongSize.data())->Size += 4;
    EXPECT_EQ(Ioctl(VBUS_IOCTL_PLUG, wrongSize).status, STATUS_INVALID_PARAMETER);

    auto pastEnd = good;
    reinterpret_cast<VBUS_PLUG_REQUEST*>(pastEnd.data())->ConfigDescriptorLength += 1;
    EXPECT_EQ(Ioctl(VBUS_IOCTL_PLUG, pastEnd).status, STATUS_INVALID_PARAMETER);

    auto truncated = good;  // TotalLength claims more than the buffer holds
    truncated.resize(truncated.size() - 1);
    EXPECT_EQ(Ioctl(VBUS_IOCTL_PLUG, truncated).status, STATUS_INVALID_PARAMETER);

    std::vector<uint8_t> garbage(sizeof(VBUS_PLUG_REQUEST) + 40, 0xA5);
    EXPECT_EQ(Ioctl(VBUS_IOCTL_PLUG, garbage).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(VBUS_IOCTL_STEP, {}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(0x12345678, good).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(DeviceRequest(VBUS_IOCTL_YANK, 77), STATUS_NO_SUCH_DEVICE);

    ULONG id = Plug();
    ASSERT_NE(id, 0u);
    VBUS_URB_LOG_REQUEST log = {sizeof(log), id, 1};
    // The request fits but the response header does not.
    EXPECT_EQ(Ioctl(VBUS_IOCTL_GET_URB_LOG, Bytes(log)).status, STATUS_BUFFER_TOO_SMALL);
    VBUS_FEED_REQUEST feed = {sizeof(feed), sizeof(feed) + 100, id, 0, 0, 100};  // claims data it lacks
    EXPECT_EQ(Ioctl(VBUS_IOCTL_FEED_IN, Bytes(feed)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Feed(id, {1, 2}, 0, 0x01), STATUS_NOT_FOUND) << "0x01 is an OUT endpoint";
    EXPECT_EQ(Query(id).QueuedInBytes, 0u);
}

TEST_F(VbusTest, DescriptorRequestsCopyWhatWasAskedAndLogIt)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    URB urb = {};
    UCHAR buffer[64] = {};
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 9, nullptr);
    ASSERT_EQ(SendUrb(pdo, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength;
    EXPECT_EQ(total, ProductConfig().size());
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    ASSERT_EQ(SendUrb(pdo, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, total);

    VBUS_URB_LOG_REQUEST r = {sizeof(r), id, 1};
    auto v = Bytes(r);
    v.resize(sizeof(VBUS_URB_LOG_RESPONSE) + 8 * sizeof(VBUS_URB_LOG_ENTRY));
    Reply reply = Ioctl(VBUS_IOCTL_GET_URB_LOG, v);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    auto response = reinterpret_cast<const VBUS_URB_LOG_RESPONSE*>(reply.data.data());
    auto entries = reinterpret_cast<const VBUS_URB_LOG_ENTRY*>(response + 1);
    ASSERT_EQ(response->Count, 2u);
    EXPECT_EQ(entries[0].DescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(entries[0].RequestedLength, 9u);
    EXPECT_EQ(entries[1].RequestedLength, sizeof(buffer));
    EXPECT_EQ(entries[1].ActualLength, total);
}

TEST_F(VbusTest, SteppedInTransferCarriesPackedBytesAndOutIsDecoded)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    VBUS_MODE_REQUEST mode = {sizeof(mode), id, VBUS_MODE_STEPPED};
    ASSERT_EQ(Ioctl(VBUS_IOCTL_SET_MODE, Bytes(mode)).status, STATUS_SUCCESS);

    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_EQ(read.call.returned, STATUS_PENDING);
    std::vector<uint8_t> text(20, 'x');
    ASSERT_EQ(Feed(id, text), STATUS_SUCCESS);
    EXPECT_FALSE(read.call.Wait(50)) << "stepped mode delivers only on STEP";
    VBUS_STEP_REQUEST step = {sizeof(step), id, 1};
    auto stepBuffer = Bytes(step);
    stepBuffer.resize(std::max(sizeof(step), sizeof(VBUS_STEP_RESPONSE)));
    Reply stepped = Ioctl(VBUS_IOCTL_STEP, stepBuffer);
    ASSERT_EQ(stepped.status, STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const VBUS_STEP_RESPONSE*>(stepped.data.data())->Completed, 1u);
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.call.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 16u);
    EXPECT_EQ(read.buffer[0] & 0x0F, 15);
    EXPECT_EQ(Query(id).QueuedInBytes, 5u);

    Transfer write;
    UCHAR packet[16] = {3, 'a', 'b', 'c'};
    std::memcpy(write.buffer, packet, sizeof(packet));
    write.Start(pdo, out, USBD_TRANSFER_DIRECTION_OUT, 16);
    ASSERT_TRUE(write.call.Wait());
    EXPECT_EQ(write.call.iosb.Status, STATUS_SUCCESS);
    VBUS_READ_OUT_REQUEST r = {sizeof(r), id, VBUS_READ_PAYLOAD};
    auto v = Bytes(r);
    v.resize(sizeof(VBUS_READ_OUT_RESPONSE) + 32);
    Reply payload = Ioctl(VBUS_IOCTL_READ_OUT, v);
    ASSERT_EQ(payload.status, STATUS_SUCCESS);
    auto response = reinterpret_cast<const VBUS_READ_OUT_RESPONSE*>(payload.data.data());
    ASSERT_EQ(response->Length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(response + 1), 3), "abc");
}

TEST_F(VbusTest, FreeRunningInTransferCompletesWhenDataArrives)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_EQ(read.call.returned, STATUS_PENDING);
    ASSERT_EQ(Feed(id, {'h', 'i'}), STATUS_SUCCESS);
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(read.buffer[0], 2);
    EXPECT_EQ(read.buffer[1], 'h');
}

TEST_F(VbusTest, CancelledInTransferCompletesCancelled)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_EQ(read.call.returned, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(read.call.irp));
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.call.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Query(id).PendingIn, 0u);
}

TEST_F(VbusTest, YankFailsPendingAndNewTransfersWithDeviceGone)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_EQ(read.call.returned, STATUS_PENDING);
    ASSERT_EQ(DeviceRequest(VBUS_IOCTL_YANK, id), STATUS_SUCCESS);
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.call.iosb.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(VbusTest, StalledEndpointFailsUntilThePipeIsReset)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    VBUS_FAULT_REQUEST stall = {};
    stall.Size = sizeof(stall);
    stall.DeviceId = id;
    stall.Kind = VBUS_FAULT_STALL;
    stall.Endpoint = 0x81;
    ASSERT_EQ(Ioctl(VBUS_IOCTL_SET_FAULT, Bytes(stall)).status, STATUS_SUCCESS);
    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    URB reset = {};
    reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    reset.UrbPipeRequest.PipeHandle = in;
    EXPECT_EQ(SendUrb(pdo, &reset), STATUS_SUCCESS);
    Transfer again;
    again.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    EXPECT_EQ(again.call.returned, STATUS_PENDING);
    IoCancelIrp(again.call.irp);
    ASSERT_TRUE(again.call.Wait());
}

// ---------------------------------------------------------------- power

TEST_F(VbusTest, ASuspendedDeviceHoldsItsInTransfersUntilD0)
{
    ULONG id;
    PDEVICE_OBJECT pdo = PlugAndStart(&id);
    ASSERT_NE(pdo, nullptr);
    USBD_PIPE_HANDLE in, out;
    Configure(pdo, &in, &out);
    EXPECT_EQ(Query(id).PowerState, (uint32_t)PowerDeviceD0) << "a started PDO is in D0";
    std::string node = "USB\\VID_5A1E&PID_0101\\" + std::to_string(id);
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;

    ASSERT_EQ(sim::PowerSendIrp(node, IRP_MN_SET_POWER, DevicePowerState, d3).status, STATUS_SUCCESS);
    EXPECT_EQ(Query(id).PowerState, (uint32_t)PowerDeviceD3);
    EXPECT_EQ(sim::PoweredState(node, true), PowerDeviceD3);
    Transfer read;
    read.Start(pdo, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    ASSERT_EQ(read.call.returned, STATUS_PENDING);
    ASSERT_EQ(Feed(id, {'z'}), STATUS_SUCCESS);
    EXPECT_FALSE(read.call.Wait(50)) << "the transfer clock moves nothing in D3";
    VBUS_STEP_REQUEST step = {sizeof(step), id, 1};
    auto stepped = Ioctl(VBUS_IOCTL_STEP, Bytes(step));
    EXPECT_EQ(reinterpret_cast<const VBUS_STEP_RESPONSE*>(stepped.data.data())->Completed, 0u) << "nor does a step";

    ASSERT_EQ(sim::PowerSendIrp(node, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
    ASSERT_TRUE(read.call.Wait());
    EXPECT_EQ(read.call.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.buffer[0] & 0x0F, 1);
    EXPECT_EQ(read.buffer[1], 'z');
}
