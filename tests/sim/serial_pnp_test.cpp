// Plug and Play life of the port's function device on the virtual bus.
#include <windows.h>

#include "port_machine.h"
#include "start_sequence.h"
#include "trace_capture.h"

using sim_test::PortMachineTest;

namespace {

const uint16_t kGetDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;

}  // namespace

TEST_F(PortMachineTest, StartReadsBothDescriptorsSelectsAndArmsTwoReaders)
{
    uint32_t id = Plug();
    ASSERT_NE(id, 0u);
    CSerialDevice* port = OnlyPort();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->PnpState(), (ULONG)Started);
    EXPECT_EQ(port->m_PrevPnpState, (ULONG)NotStarted);

    EXPECT_TRUE(IsStartSequence(UrbLog(id)));
    EXPECT_EQ(In(port).m_DeviceDescriptor.idVendor, 0x5A1E);
    EXPECT_EQ(In(port).m_DeviceDescriptor.idProduct, 0x0101);
}

TEST_F(PortMachineTest, DriverKeyNameIsReadWithItsTerminatorCounted)
{
    ASSERT_NE(Plug(), 0u);
    std::vector<sim::DeviceNodeInfo> ports = PortNodes();
    ASSERT_EQ(ports.size(), 1u);
    CSerialDevice* port = PortDevice(ports[0]);
    EXPECT_EQ(In(port).m_DriverKeyName.m_String.Length, (ports[0].driverKey.size() + 1) * 2);
    EXPECT_EQ(sim::Utf8(In(port).m_DriverKeyName.m_String.Buffer), ports[0].driverKey);
}

TEST_F(PortMachineTest, DeviceNumbersCountUpAndAreNeverReused)
{
    vbusreq::PlugOptions first;
    first.serial = u"A";
    vbusreq::PlugOptions second;
    second.serial = u"B";
    uint32_t a = Plug(first);
    uint32_t b = Plug(second);
    ASSERT_EQ(PortNodes().size(), 2u);
    EXPECT_NE(sim::FindDevice(L"\\Device\\NivexBlnk1"), nullptr);
    EXPECT_NE(sim::FindDevice(L"\\Device\\NivexBlnk2"), nullptr);
    ASSERT_EQ(Unplug(a), STATUS_SUCCESS);
    ASSERT_EQ(Unplug(b), STATUS_SUCCESS);
    sim::WaitPnpIdle();
    EXPECT_EQ(sim::FindDevice(L"\\Device\\NivexBlnk1"), nullptr);

    vbusreq::PlugOptions third;
    third.serial = u"C";
    ASSERT_NE(Plug(third), 0u);
    EXPECT_NE(sim::FindDevice(L"\\Device\\NivexBlnk3"), nullptr);
    EXPECT_EQ(g_DeviceCount, 3);
}

TEST_F(PortMachineTest, UnformattableNumberLeavesTheDeviceObjectUnnamed)
{
    vbusreq::PlugOptions first;
    first.serial = u"A";
    ASSERT_NE(Plug(first), 0u);  // the driver is loaded now
    // The buffer the second device's number is formatted in: 1024 bytes, and
    // a fifth more as every growing buffer reserves.
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = 0x4D454D45;
    rule.size = 1024 * 6 / 5;
    rule.nth = 1;
    sim::AddFault(rule);
    vbusreq::PlugOptions second;
    second.serial = u"B";
    ASSERT_NE(Plug(second), 0u);
    sim::ClearFaults();
    ASSERT_EQ(PortNodes().size(), 2u);
    EXPECT_EQ(sim::FindDevice(L"\\Device\\NivexBlnk2"), nullptr);
    CSerialDevice* unnamed = PortDevice(PortNodes()[1]);
    EXPECT_EQ(In(unnamed).m_DeviceName.m_String.Length, 0);
    EXPECT_EQ(unnamed->PnpState(), (ULONG)Started);
}

TEST_F(PortMachineTest, CapabilitiesTravelUpExactlyAsTheBusFilledThem)
{
    vbusreq::PlugOptions options;
    options.capabilityFlags =
        VBUS_CAP_REMOVABLE | VBUS_CAP_SURPRISE_REMOVAL_OK | VBUS_CAP_DEVICE_D2 | VBUS_CAP_WAKE_FROM_D2;
    uint32_t table[7] = {0, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    for (int i = 0; i < 7; i++) {
        options.deviceState[i] = table[i];
    }
    ASSERT_NE(Plug(options), 0u);
    std::vector<sim::DeviceNodeInfo> ports = PortNodes();
    ASSERT_EQ(ports.size(), 1u);

    DEVICE_CAPABILITIES atTop = {};
    sim::PnpIrpResult r = sim::PnpSendIrp(ports[0].instancePath, IRP_MN_QUERY_CAPABILITIES, nullptr, 0, &atTop);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(atTop.Removable);
    EXPECT_TRUE(atTop.SurpriseRemovalOK);
    EXPECT_TRUE(atTop.DeviceD2);
    EXPECT_FALSE(atTop.DeviceD1);
    EXPECT_TRUE(atTop.WakeFromD2);
    for (int i = 1; i < 7; i++) {
        EXPECT_EQ((uint32_t)atTop.DeviceState[i], table[i]) << "S" << i;
    }
    CSerialDevice* port = PortDevice(ports[0]);
    EXPECT_EQ(memcmp(&In(port).m_DeviceCaps, &atTop, sizeof(atTop)), 0);
}

TEST_F(PortMachineTest, QueryStopAndQueryRemoveAreUndoneByTheirCancels)
{
    ASSERT_NE(Plug(), 0u);
    std::string instance = PortNodes()[0].instancePath;
    CSerialDevice* port = OnlyPort();

    EXPECT_EQ(sim::PnpSendIrp(instance, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), (ULONG)StopPending);
    EXPECT_EQ(port->m_PrevPnpState, (ULONG)Started);
    EXPECT_EQ(sim::PnpSendIrp(instance, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), (ULONG)Started);

    EXPECT_EQ(sim::PnpSendIrp(instance, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), (ULONG)RemovePending);
    EXPECT_EQ(sim::PnpSendIrp(instance, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), (ULONG)Started);
}

TEST_F(PortMachineTest, RebalanceStopsAndRunsTheWholeStartAgain)
{
    uint32_t id = Plug();
    ASSERT_NE(id, 0u);
    std::string instance = PortNodes()[0].instancePath;
    CSerialDevice* port = OnlyPort();
    PVOID interfaceBlock = In(port).m_InterfaceInfo.m_Data;
    size_t before = UrbLog(id).size();

    ASSERT_EQ(sim::PnpStopDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState(), (ULONG)Started);
    EXPECT_EQ(port->m_PrevPnpState, (ULONG)Stopped);
    std::vector<VBUS_URB_LOG_ENTRY> log = UrbLog(id);
    int descriptorReads = 0;
    for (size_t i = before; i < log.size(); i++) {
        descriptorReads += log[i].Function == kGetDescriptor;
    }
    EXPECT_EQ(descriptorReads, 3);
    // The pipes the data path points into stay where they were.
    EXPECT_EQ(In(port).m_InterfaceInfo.m_Data, interfaceBlock);
    EXPECT_TRUE(In(port).m_DeliveryRunning);
}

TEST_F(PortMachineTest, YankSurpriseRemovesThenRemovesAndUnloads)
{
    uint32_t id = Plug();
    ASSERT_NE(id, 0u);
    std::string instance = PortNodes()[0].instancePath;
    ASSERT_EQ(Yank(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim::WaitDeviceGone(instance));
    EXPECT_EQ(sim::FindDevice(L"\\Device\\NivexBlnk1"), nullptr);
    EXPECT_TRUE(PortNodes().empty());
}

TEST_F(PortMachineTest, OrderlyRemovalOfAStartedDevice)
{
    uint32_t id = Plug();
    ASSERT_NE(id, 0u);
    std::string instance = PortNodes()[0].instancePath;
    EXPECT_EQ(sim::PnpRemoveDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(sim::FindDevice(L"\\Device\\NivexBlnk1"), nullptr);
    EXPECT_EQ(Unplug(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim::WaitDeviceGone(instance));
}

TEST_F(PortMachineTest, SystemControlPassesDownWhileTheDeviceLives)
{
    ASSERT_NE(Plug(), 0u);
    std::string instance = PortNodes()[0].instancePath;
    TraceCapture traces;
    // The bus completes WMI requests with their status untouched.
    EXPECT_EQ(sim::SendSystemControl(instance, 0), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(traces.Saw("DispatchSysCtrl", 4));
}

TEST_F(PortMachineTest, UnroutedRequestsAreNotSupported)
{
    ASSERT_NE(Plug(), 0u);
    PDEVICE_OBJECT fdo = PortNodes()[0].top;
    for (UCHAR major : {IRP_MJ_SHUTDOWN, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS}) {
        sim::IrpResult r = sim::SendIrp(fdo, major);
        EXPECT_EQ(r.dispatchStatus, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.ioStatus.Status, STATUS_NOT_SUPPORTED);
    }
}

TEST_F(PortMachineTest, PowerRequestsGoOnToTheBus)
{
    ASSERT_NE(Plug(), 0u);
    PDEVICE_OBJECT fdo = PortNodes()[0].top;
    struct Power {
        POWER_STATE_TYPE type;
        POWER_STATE state;
    };
    for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
        Power s3 = {SystemPowerState, {}};
        s3.state.SystemState = PowerSystemSleeping3;
        sim::IoRequest q;
        q.major = IRP_MJ_POWER;
        q.minor = minor;
        q.requestorMode = KernelMode;
        q.prepare = [](PIO_STACK_LOCATION location, void* context) {
            auto* p = static_cast<Power*>(context);
            location->Parameters.Power.Type = p->type;
            location->Parameters.Power.State = p->state;
        };
        q.prepareContext = &s3;
        sim::IrpResult r = sim::SendRequest(fdo, q);
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(r.ioStatus.Status, STATUS_SUCCESS) << "minor " << (int)minor;
    }
}

// The PnP manager lets programs open a port only once its start has
// succeeded, and no more once it has been surprise-removed.
TEST_F(PortMachineTest, PortOpensOnlyBetweenItsStartAndItsRemoval)
{
    struct Context {
        DWORD error = 0;
    } context;
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::BeforeCallDriver;
    rule.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    rule.thread = "pnp";  // the start's first USB request
    rule.action = [](void* c, const void*) {
        HANDLE h = CreateFileW(vbusreq::PortKernelPath(1).data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        static_cast<Context*>(c)->error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    uint32_t device = Plug();
    ASSERT_NE(device, 0u);
    ASSERT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
    EXPECT_EQ(context.error, (DWORD)ERROR_FILE_NOT_FOUND);

    HANDLE held = CreateFileW(vbusreq::PortKernelPath(1).data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
    held = CreateFileW(vbusreq::PortKernelPath(1).data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Yank(device), STATUS_SUCCESS);
    // Removal waits for the handle; meanwhile nobody opens the port again.
    ASSERT_TRUE(sim_test::WaitFor([&] { return PortNodes().empty(); }));
    HANDLE again = CreateFileW(vbusreq::PortKernelPath(1).data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    CloseHandle(held);
}

// Where a platform lets an open through that Windows would hold back (before
// the start has configured the device, or once it is going away), the port
// sends nothing to the device for it, and refuses it once it is going away.
TEST_F(PortMachineTest, OpenTheManagerShouldHaveHeldBackTouchesNoDevice)
{
    struct Context {
        NTSTATUS status = STATUS_PENDING;
        PDEVICE_OBJECT port = nullptr;
    } context;
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::BeforeCallDriver;
    rule.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    rule.thread = "pnp";  // the start's first USB request
    rule.action = [](void* c, const void* irp) {
        // The request is at the bus's device; the port is attached above it.
        PDEVICE_OBJECT pdo = IoGetCurrentIrpStackLocation((PIRP)irp)->DeviceObject;
        auto context = static_cast<Context*>(c);
        context->port = pdo->AttachedDevice;
        sim::IoRequest create;
        create.major = IRP_MJ_CREATE;
        context->status = sim::SendRequest(context->port, create).ioStatus.Status;
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    uint32_t device = Plug();
    ASSERT_NE(device, 0u);
    sim::RemoveBreak(id);
    EXPECT_EQ(context.status, STATUS_SUCCESS);
    EXPECT_TRUE(IsStartSequence(UrbLog(device))) << "no class request before the configuration";

    // A handle held keeps the surprise-removed port until it closes.
    NTSTATUS opened = STATUS_PENDING;
    PFILE_OBJECT held = sim::OpenDevice(sim::W(sim::Utf16(sim::Utf8(In(OnlyPort()).m_DeviceName.Value()))), &opened);
    ASSERT_NE(held, nullptr) << std::hex << opened;
    ASSERT_EQ(Yank(device), STATUS_SUCCESS);
    ASSERT_TRUE(sim_test::WaitFor([&] { return PortNodes().empty(); }));
    sim::IoRequest create;
    create.major = IRP_MJ_CREATE;
    EXPECT_EQ(sim::SendRequest(context.port, create).ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    sim::CloseDevice(held);
}
