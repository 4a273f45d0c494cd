#include "DriverEntry.h"
#include "core/Driver.h"
#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "probe_device.h"
#include "trace_capture.h"

namespace {

struct RoutedCode {
    UCHAR major;
    const char* method;
};

const RoutedCode kRouting[] = {
    {IRP_MJ_CREATE, "DispatchCreate"},
    {IRP_MJ_CLOSE, "DispatchClose"},
    {IRP_MJ_READ, "DispatchRead"},
    {IRP_MJ_WRITE, "DispatchWrite"},
    {IRP_MJ_DEVICE_CONTROL, "DispatchDevCtrl"},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, "DispatchIntrenalDevCtrl"},
    {IRP_MJ_SHUTDOWN, "DispatchShutdown"},
    {IRP_MJ_CLEANUP, "DispatchCleanup"},
    {IRP_MJ_POWER, "DispatchPower"},
    {IRP_MJ_SYSTEM_CONTROL, "DispatchSysCtrl"},
    {IRP_MJ_PNP, "DispatchPnp"},
};

class DriverEntryTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_Driver = sim::LoadDriver(L"Brisklink", DriverEntry);
        ASSERT_NE(m_Driver, nullptr);
    }
    void TearDown() override
    {
        if (m_Driver != nullptr) {
            sim::UnloadDriver(m_Driver);
        }
        MachineTest::TearDown();
    }
    PDRIVER_OBJECT m_Driver = nullptr;
};

}  // namespace

TEST_F(DriverEntryTest, KeepsAnOwnedCopyOfTheRegistryPath)
{
    EXPECT_EQ(g_DriverObject, m_Driver);
    EXPECT_TRUE(g_RegistryPathOwned);
    EXPECT_EQ(sim::Utf8(g_RegistryPath), "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink");
    EXPECT_EQ(sim::PoolTypeOf(g_RegistryPath.Buffer), NonPagedPoolNx);
    EXPECT_EQ(m_Driver->DriverUnload, DriverUnload);
}

TEST_F(DriverEntryTest, UnloadFreesTheRegistryPathCopy)
{
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 1u);
    sim::UnloadDriver(m_Driver);
    m_Driver = nullptr;
    EXPECT_FALSE(g_RegistryPathOwned);
    EXPECT_EQ(g_RegistryPath.Buffer, nullptr);
    EXPECT_EQ(g_RegistryPath.Length, 0);
    EXPECT_EQ(g_RegistryPath.MaximumLength, 0);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 0u);
}

TEST_F(DriverEntryTest, LoadsWithAnEmptyPathWhenTheCopyCannotBeAllocated)
{
    sim::UnloadDriver(m_Driver);
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagMemory;
    rule.nth = 1;
    sim::AddFault(rule);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    m_Driver = sim::LoadDriver(L"Brisklink", DriverEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(g_RegistryPath.Buffer, nullptr);
    EXPECT_EQ(g_RegistryPath.Length, 0);
}

TEST_F(DriverEntryTest, EveryRoutedMajorCodeReachesItsMethod)
{
    CProbeDevice* probe = CProbeDevice::Create(m_Driver, L"\\Device\\Probe0");
    ASSERT_NE(probe, nullptr);
    for (const RoutedCode& code : kRouting) {
        sim::IrpResult r = sim::SendIrp(probe->m_DeviceObject, code.major);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
        EXPECT_EQ(probe->m_LastMethod, code.method) << "major 0x" << std::hex << (int)code.major;
    }
    probe->Destroy();
}

TEST_F(DriverEntryTest, EveryOtherMajorCodeReachesDispatchOther)
{
    CProbeDevice* probe = CProbeDevice::Create(m_Driver, L"\\Device\\Probe1");
    ASSERT_NE(probe, nullptr);
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        bool routed = false;
        for (const RoutedCode& code : kRouting) {
            routed = routed || code.major == major;
        }
        if (routed) {
            continue;
        }
        probe->m_LastMethod.clear();
        sim::SendIrp(probe->m_DeviceObject, major);
        EXPECT_EQ(probe->m_LastMethod, "DispatchOther") << "major 0x" << std::hex << (int)major;
    }
    probe->Destroy();
}

TEST_F(DriverEntryTest, UnhandledSlotsForwardToTheDefault)
{
    TraceCapture traces;
    void* block = PoolAlloc(NonPagedPool, sizeof(CDefaultOnlyDevice), kTagDevice);
    CDefaultOnlyDevice* device = new (block) CDefaultOnlyDevice();
    PDEVICE_OBJECT deviceObject = nullptr;
    ASSERT_EQ(IoCreateDevice(m_Driver, sizeof(CDevice*), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject),
              STATUS_SUCCESS);
    device->LinkDeviceObject(deviceObject);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    sim::IrpResult r = sim::SendIrp(deviceObject, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(r.dispatchStatus, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.ioStatus.Status, STATUS_NOT_SUPPORTED);
    sim::SendIrp(deviceObject, IRP_MJ_READ);
    EXPECT_EQ(device->m_DefaultCalls, 2);
    EXPECT_TRUE(traces.Saw("DispatchOther", 4));
    EXPECT_TRUE(traces.Saw("DispatchRead", 4));

    IoDeleteDevice(deviceObject);
    delete device;
}

TEST_F(DriverEntryTest, DeviceWhoseObjectIsGoneRefusesEveryIrp)
{
    CProbeDevice* probe = CProbeDevice::Create(m_Driver, L"\\Device\\Probe2");
    ASSERT_NE(probe, nullptr);
    PDEVICE_OBJECT deviceObject = probe->m_DeviceObject;
    *(CDevice**)deviceObject->DeviceExtension = nullptr;  // unlinked, as removal does
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        sim::IrpResult r = sim::SendIrp(deviceObject, major);
        EXPECT_EQ(r.dispatchStatus, STATUS_ACCESS_DENIED);
        EXPECT_EQ(r.ioStatus.Status, STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(probe->m_LastMethod, "");
    probe->Destroy();
}

TEST_F(DriverEntryTest, DeviceWithoutExtensionRefusesEveryIrp)
{
    PDEVICE_OBJECT deviceObject = nullptr;
    ASSERT_EQ(IoCreateDevice(m_Driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject), STATUS_SUCCESS);
    deviceObject->DeviceExtension = nullptr;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    sim::IrpResult r = sim::SendIrp(deviceObject, IRP_MJ_CREATE);
    EXPECT_EQ(r.dispatchStatus, STATUS_ACCESS_DENIED);
    IoDeleteDevice(deviceObject);
}
