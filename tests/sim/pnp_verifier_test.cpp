// The PnP manager's verifier rules, each broken on purpose by a test driver:
// a tiny root-enumerated bus (children on demand, faults on demand) and the
// recording function driver.
#include "pnp_test_driver.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace pnp_test;

namespace {

// ---------------------------------------------------------------- a test bus

struct TestBus {
    bool twins = false;       // two children with one instance path
    bool noDeviceId = false;  // children that do not answer BusQueryDeviceID
    bool stranger = false;    // its relations also name something that is not a device object
    bool keepQuery = false;   // children keep IRP_MN_QUERY_CAPABILITIES (in g_kept) instead of completing it
    bool slowRemove = false;  // children take a second over IRP_MN_REMOVE_DEVICE
    PDEVICE_OBJECT fdo = nullptr, lower = nullptr;
    PDEVICE_OBJECT children[2] = {};
    bool deleted[2] = {};
};
TestBus g_bus;
std::atomic<PIRP> g_kept{nullptr};
ULONG g_notADevice;

const ULONG kSig = 'sBtT';
struct BusExt {
    ULONG sig;  // kSig on the FDO, 0 on children
};

NTSTATUS Finish(PIRP irp, NTSTATUS st)
{
    irp->IoStatus.Status = st;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

PWCHAR PoolText(const char* s, bool multi)
{
    size_t n = strlen(s);
    auto p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(WCHAR), 'sBtT'));
    for (size_t i = 0; i < n; ++i)
        p[i] = (WCHAR)s[i];
    p[n] = 0;
    p[n + 1] = 0;
    (void)multi;
    return p;
}

NTSTATUS ChildPnp(PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
        const char* text = nullptr;
        switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            text = g_bus.noDeviceId ? nullptr : "PNPTESTBUS\\CHILD";
            break;
        case BusQueryInstanceID:
            text = "1";
            break;
        case BusQueryHardwareIDs:
            text = "PNPTESTBUS\\CHILD";
            break;
        default:
            break;
        }
        if (!text)
            return Finish(irp, irp->IoStatus.Status);
        irp->IoStatus.Information = (ULONG_PTR)PoolText(text, s->Parameters.QueryId.IdType == BusQueryHardwareIDs);
        return Finish(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES:
        if (g_bus.keepQuery) {
            IoMarkIrpPending(irp);
            g_kept = irp;
            return STATUS_PENDING;
        }
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        if (g_bus.slowRemove)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return Finish(irp, STATUS_SUCCESS);
    default:
        return Finish(irp, irp->IoStatus.Status);
    }
}

NTSTATUS BusPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && s->Parameters.QueryDeviceRelations.Type == BusRelations) {
        auto rel = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + 2 * sizeof(PDEVICE_OBJECT), 'sBtT'));
        rel->Count = 0;
        if (g_bus.stranger)
            rel->Objects[rel->Count++] = reinterpret_cast<PDEVICE_OBJECT>(&g_notADevice);
        for (int i = 0; i < 2; ++i)
            if (g_bus.children[i] && !g_bus.deleted[i]) {
                ObReferenceObject(g_bus.children[i]);
                rel->Objects[rel->Count++] = g_bus.children[i];
            }
        irp->IoStatus.Information = (ULONG_PTR)rel;
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        for (int i = 0; i < 2; ++i)
            if (g_bus.children[i] && !g_bus.deleted[i]) {
                g_bus.deleted[i] = true;
                IoDeleteDevice(g_bus.children[i]);
            }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS st = IoCallDriver(g_bus.lower, irp);
        IoDetachDevice(g_bus.lower);
        IoDeleteDevice(fdo);
        return st;
    } else if (s->MinorFunction != IRP_MN_START_DEVICE && s->MinorFunction != IRP_MN_QUERY_ID &&
               s->MinorFunction != IRP_MN_QUERY_CAPABILITIES) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_bus.lower, irp);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    bool fdo = static_cast<BusExt*>(device->DeviceExtension)->sig == kSig;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP)
        return fdo ? BusPnp(device, irp) : ChildPnp(irp);
    if (fdo) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_bus.lower, irp);
    }
    return Finish(irp, major == IRP_MJ_POWER ? STATUS_SUCCESS : irp->IoStatus.Status);
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    IoCreateDevice(driver, sizeof(BusExt), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &g_bus.fdo);
    static_cast<BusExt*>(g_bus.fdo->DeviceExtension)->sig = kSig;
    g_bus.lower = IoAttachDeviceToDeviceStack(g_bus.fdo, pdo);
    for (int i = 0; i < (g_bus.twins ? 2 : 1); ++i) {
        IoCreateDevice(driver, sizeof(BusExt), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                       &g_bus.children[i]);
        g_bus.children[i]->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    g_bus.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = BusDispatch;
    driver->DriverExtension->AddDevice = BusAddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS StartTestBus()
{
    sim::DriverPackage p;
    p.service = "PnpTestBus";
    p.entry = BusEntry;
    p.hardwareIds = {"ROOT\\PNPTESTBUS"};
    p.className = "System";
    sim::InstallDriverPackage(p);
    NTSTATUS st = sim::CreateRootDevice("ROOT\\PNPTESTBUS");
    sim::WaitPnpIdle();
    return st;
}

class PnpVerifierTest : public PnpFixture<RecordingMachineTest> {
protected:
    void SetUp() override
    {
        g_bus = TestBus();
        g_kept = nullptr;
        PnpFixture<RecordingMachineTest>::SetUp();
    }
    std::string PlugStarted(ULONG* id)
    {
        sim::InstallDriverPackage(FnPackage());
        *id = PlugProduct();
        return sim::WaitDeviceStarted(InstanceOf(*id));
    }
};

TEST_F(PnpVerifierTest, InvalidatingRelationsOfANonPdoIsReported)
{
    IoInvalidateDeviceRelations(vbus_test::Control(), BusRelations);
    EXPECT_TRUE(sim_test::TakeViolation("INVALID_PDO"));
    sim::DeviceNodeInfo bus;
    ASSERT_TRUE(sim::FindDeviceNode(sim_test::VbusRootInstance(), &bus));
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoInvalidateDeviceRelations(bus.pdo, BusRelations); });
    EXPECT_TRUE(sim::WaitPnpIdle());
    EXPECT_TRUE(sim::Violations().empty()) << "a PDO may be invalidated at DISPATCH_LEVEL";
}

TEST_F(PnpVerifierTest, FailedRemoveDeviceIsReported)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_FALSE(instance.empty());
    Rec().Set(&pnp_test::Behaviour::failRemove);
    ASSERT_EQ(vbus_test::DeviceRequest(VBUS_IOCTL_YANK, id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(instance));
    EXPECT_TRUE(sim_test::TakeViolation("REMOVE_DEVICE_FAILED"));
}

TEST_F(PnpVerifierTest, FunctionDeviceLeftAttachedAfterRemoveIsReported)
{
    ULONG id;
    std::string instance = PlugStarted(&id);
    ASSERT_FALSE(instance.empty());
    Rec().Set(&pnp_test::Behaviour::stayAttached);
    ASSERT_EQ(sim::PnpRemoveDevice(instance), STATUS_SUCCESS);
    EXPECT_TRUE(sim_test::TakeViolation("DEVICE_ATTACHED_AFTER_REMOVE"));
    IoDetachDevice(Rec().lastLower);
    IoDeleteDevice(Rec().lastFdo);
}

TEST_F(PnpVerifierTest, PdoDeletedWhileEnumeratedIsReported)
{
    ASSERT_EQ(StartTestBus(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::FindDeviceNode("PNPTESTBUS\\CHILD\\1", nullptr));
    g_bus.deleted[0] = true;
    IoDeleteDevice(g_bus.children[0]);
    EXPECT_TRUE(sim_test::TakeViolation("PDO_DELETED_WHILE_ENUMERATED"));
}

TEST_F(PnpVerifierTest, TwoPdosWithOneInstancePathAreReported)
{
    g_bus.twins = true;
    ASSERT_EQ(StartTestBus(), STATUS_SUCCESS);
    EXPECT_TRUE(sim_test::TakeViolation("DUPLICATE_PDO"));
}

TEST_F(PnpVerifierTest, ChildWithoutDeviceIdIsReported)
{
    g_bus.noDeviceId = true;
    ASSERT_EQ(StartTestBus(), STATUS_SUCCESS);
    EXPECT_TRUE(sim_test::TakeViolation("DEVICE_ID_MISSING"));
}

TEST_F(PnpVerifierTest, PackageWithoutClassIsRefused)
{
    sim::DriverPackage p = FnPackage();
    p.className = "NoSuchClass";
    sim::InstallDriverPackage(p);
    EXPECT_TRUE(sim_test::TakeViolation("PNP_PACKAGE_INVALID"));
    ULONG id = PlugProduct();
    ASSERT_TRUE(sim::WaitPnpIdle());
    sim::DeviceNodeInfo n;
    ASSERT_TRUE(sim::FindDeviceNode(InstanceOf(id), &n));
    EXPECT_EQ(n.state, sim::DeviceNodeState::NoDriver);
}

// One bus fault each: the PnP manager's time-outs are short here, so that a
// kept or slow request is reported in a test's time.
struct BusBreach {
    const char* name;
    bool TestBus::*fault;
    const char* rule;
};
class PnpBusBreachTest : public PnpVerifierTest, public ::testing::WithParamInterface<BusBreach> {};

TEST_P(PnpBusBreachTest, TheBusFaultIsReportedUnderItsRule)
{
    const BusBreach& c = GetParam();
    g_bus.*c.fault = true;
    sim::SetPnpIrpTimeout(200);
    ASSERT_EQ(StartTestBus(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitPnpIdle());
    if (PIRP kept = g_kept.exchange(nullptr))
        Finish(kept, STATUS_SUCCESS);  // late: the PnP manager has given up on it
    sim::StopMachine();
    EXPECT_TRUE(sim_test::TakeViolation(c.rule)) << c.rule;
}

INSTANTIATE_TEST_SUITE_P(Faults, PnpBusBreachTest,
                         ::testing::Values(BusBreach{"NamesAStranger", &TestBus::stranger, "INVALID_RELATIONS_OBJECT"},
                                           BusBreach{"KeepsAQuery", &TestBus::keepQuery, "PNP_IRP_NOT_COMPLETED"},
                                           BusBreach{"RemovesSlowly", &TestBus::slowRemove, "PNP_SHUTDOWN_TIMEOUT"}),
                         [](const ::testing::TestParamInfo<BusBreach>& i) { return std::string(i.param.name); });

}  // namespace
