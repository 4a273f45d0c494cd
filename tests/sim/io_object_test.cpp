// Objects of the I/O manager: driver loading, the namespace and symbolic
// links, exclusive opens, named events, handles and work items.
#include "io_test_driver.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace io_test;

namespace {

class IoObjectTest : public MachineTest {};

// ---------------------------------------------------------------- drivers

std::string g_entryPath;
NTSTATUS RecordPathEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    g_entryPath = sim::Utf8(*path);
    driver->DriverUnload = DeleteDevicesUnload;
    return STATUS_SUCCESS;
}

TEST_F(IoObjectTest, LoadDriverCreatesTheServiceKeyAndNamesTheDriverObject)
{
    PDRIVER_OBJECT d = sim::LoadDriver(L"iosvc", RecordPathEntry);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(g_entryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iosvc");
    EXPECT_EQ(sim::Utf8(d->DriverName), "\\Driver\\iosvc");
    EXPECT_EQ(sim::Utf8(d->DriverExtension->ServiceKeyName), "iosvc");
    EXPECT_EQ(d->DriverExtension->DriverObject, d);
    UNICODE_STRING params = Name(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iosvc\\Parameters");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &params, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    ZwClose(key);
    sim::UnloadDriver(d);
}

NTSTATUS EmptyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = DeleteDevicesUnload;
    return STATUS_SUCCESS;
}

TEST_F(IoObjectTest, UnhandledMajorFunctionsFailWithInvalidDeviceRequest)
{
    PDRIVER_OBJECT driver = sim::LoadDriver(L"ioempty", EmptyEntry);
    PDEVICE_OBJECT d = MakeDevice(driver, L"\\Device\\IoEmpty");
    sim::IrpResult r = sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_EQ(r.dispatchStatus, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(IoObjectTest, AFailedEntryLeavesNoDriverObject)
{
    NTSTATUS st = STATUS_SUCCESS;
    EXPECT_EQ(sim::LoadDriver(L"iofail", FailingEntry, &st), nullptr);
    EXPECT_EQ(st, STATUS_INSUFFICIENT_RESOURCES);
    // The name is free again: a second load succeeds.
    PDRIVER_OBJECT d = sim::LoadDriver(L"iofail", EmptyEntry, &st);
    EXPECT_NE(d, nullptr);
}

TEST_F(IoObjectTest, NewDevicesAreInitializingWithAZeroedExtension)
{
    PDRIVER_OBJECT driver = sim::LoadDriver(L"iodev", EmptyEntry);
    UNICODE_STRING n = Name(L"\\Device\\IoDev");
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, &n, FILE_DEVICE_UNKNOWN, 0, TRUE, &d), STATUS_SUCCESS);
    EXPECT_TRUE(d->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(d->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(d->StackSize, 1);
    EXPECT_EQ(driver->DeviceObject, d);
    const unsigned char* ext = static_cast<unsigned char*>(d->DeviceExtension);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(ext[i], 0) << i;
    EXPECT_FALSE(sim::IsLivePoolBlock(d->DeviceExtension)) << "the extension is not driver pool";
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &n, FILE_DEVICE_UNKNOWN, 0, FALSE, &again), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
}

// ---------------------------------------------------------------- namespace

TEST_F(IoObjectTest, LinksResolveThroughEveryAliasOfTheGlobalDirectory)
{
    PDEVICE_OBJECT d = MakeDevice(sim::LoadDriver(L"iolink", EmptyEntry), L"\\Device\\IoLink0");
    UNICODE_STRING link = Name(L"\\DosDevices\\Global\\IOLINK"), target = Name(L"\\Device\\IoLink0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(sim::FindDevice(L"\\GLOBAL??\\iolink"), d);
    EXPECT_EQ(sim::FindDevice(L"\\??\\IoLink"), d);
    EXPECT_EQ(sim::FindDevice(L"\\DosDevices\\IOLINK"), d);
    EXPECT_TRUE(sim::SymbolicLinkExists(L"\\DosDevices\\iolink"));
    EXPECT_EQ(sim::SymbolicLinkTarget(L"\\??\\IOLINK"), "\\Device\\IoLink0");
    UNICODE_STRING same = Name(L"\\DosDevices\\iolink");
    EXPECT_EQ(IoCreateSymbolicLink(&same, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&same), STATUS_SUCCESS);
    EXPECT_FALSE(sim::SymbolicLinkExists(L"\\DosDevices\\iolink"));
    EXPECT_EQ(IoDeleteSymbolicLink(&same), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::FindDevice(L"\\??\\IOLINK"), nullptr);
}

// ---------------------------------------------------------------- file objects

std::vector<UCHAR> g_majors;
PFILE_OBJECT g_createFile = nullptr;
NTSTATUS RecordMajor(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_majors.push_back(sp->MajorFunction);
    if (sp->MajorFunction == IRP_MJ_CREATE)
        g_createFile = sp->FileObject;
    return CompleteWith(irp, STATUS_SUCCESS);
}

TEST_F(IoObjectTest, ExclusiveDeviceRefusesASecondOpen)
{
    g_majors.clear();
    PDRIVER_OBJECT driver = LoadTestDriver(L"ioexcl", RecordMajor);
    PDEVICE_OBJECT d = MakeDevice(driver, L"\\Device\\IoExcl", nullptr, DO_BUFFERED_IO, TRUE);
    UNICODE_STRING link = Name(L"\\DosDevices\\IOEXCL"), target = Name(L"\\Device\\IoExcl");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    NTSTATUS st;
    PFILE_OBJECT first = sim::OpenDevice(L"\\DosDevices\\Global\\IOEXCL", &st);
    ASSERT_NE(first, nullptr) << std::hex << st;
    EXPECT_EQ(first->DeviceObject, d);
    EXPECT_EQ(g_createFile, first);
    EXPECT_EQ(sim::OpenDevice(L"\\??\\IOEXCL", &st), nullptr);
    EXPECT_EQ(st, STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::CloseDevice(first), STATUS_SUCCESS);
    PFILE_OBJECT again = sim::OpenDevice(L"\\??\\IOEXCL", &st);
    ASSERT_NE(again, nullptr);
    sim::CloseDevice(again);
    EXPECT_EQ(g_majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CREATE, IRP_MJ_CLEANUP,
                                            IRP_MJ_CLOSE}));
    IoDeleteSymbolicLink(&link);
}

TEST_F(IoObjectTest, SharedDeviceAllowsSeveralOpensAndRoutesFileIrps)
{
    g_majors.clear();
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"ioshare", RecordMajor), L"\\Device\\IoShare");
    PFILE_OBJECT a = sim::OpenDevice(L"\\Device\\IoShare");
    PFILE_OBJECT b = sim::OpenDevice(L"\\Device\\IoShare\\sub");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(sim::Utf8(b->FileName), "\\sub");
    EXPECT_EQ(d->ReferenceCount, 2);
    char buffer[4] = {};
    EXPECT_TRUE(sim::SendFileIrp(a, IRP_MJ_READ, 0, buffer, 4).completed);
    sim::CloseDevice(a);
    sim::CloseDevice(b);
    EXPECT_EQ(d->ReferenceCount, 0);
    EXPECT_EQ(sim::CloseDevice(a), STATUS_INVALID_HANDLE);
}

// ---------------------------------------------------------------- events and handles

TEST_F(IoObjectTest, NamedEventIsSharedByNameAndLivesWhileHandlesAreOpen)
{
    UNICODE_STRING n = Name(L"\\BaseNamedObjects\\IoTestEvent");
    HANDLE h1 = nullptr, h2 = nullptr;
    PKEVENT e1 = IoCreateNotificationEvent(&n, &h1);
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(KeReadStateEvent(e1), 1) << "created signaled";
    KeClearEvent(e1);
    UNICODE_STRING other = Name(L"\\BaseNamedObjects\\IOTESTEVENT");
    PKEVENT e2 = IoCreateNotificationEvent(&other, &h2);
    EXPECT_EQ(e2, e1);
    EXPECT_NE(h2, h1);
    EXPECT_EQ(KeReadStateEvent(e2), 0) << "opening does not reinitialise";
    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    KeSetEvent(e2, IO_NO_INCREMENT, FALSE);  // still alive through h2
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    HANDLE h3 = nullptr;
    PKEVENT e3 = IoCreateSynchronizationEvent(&n, &h3);
    ASSERT_NE(e3, nullptr);
    EXPECT_EQ(KeReadStateEvent(e3), 1) << "a fresh event after the last handle closed";
    ZwClose(h3);
}

// ---------------------------------------------------------------- work items

struct WorkSeen {
    KIRQL irql;
    std::string thread;
    ULONG_PTR marker;
} g_work;
KEVENT g_workGo, g_workDone;

VOID WorkRoutine(PDEVICE_OBJECT d, PVOID)
{
    WaitEvent(&g_workGo);
    g_work = {KeGetCurrentIrql(), sim::ThreadName(), (ULONG_PTR)ExtOf(d)->user};
    KeSetEvent(&g_workDone, IO_NO_INCREMENT, FALSE);
}

TEST_F(IoObjectTest, WorkItemRunsAtPassiveOnAWorkerAndKeepsItsDeviceAlive)
{
    KeInitializeEvent(&g_workGo, NotificationEvent, FALSE);
    KeInitializeEvent(&g_workDone, NotificationEvent, FALSE);
    PDEVICE_OBJECT d = MakeDevice(sim::LoadDriver(L"iowork", EmptyEntry), L"\\Device\\IoWork");
    ExtOf(d)->user = (void*)0x5A5A;
    PIO_WORKITEM item = IoAllocateWorkItem(d);
    ASSERT_NE(item, nullptr);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, nullptr); });
    IoDeleteDevice(d);  // the queued item holds its own reference
    KeSetEvent(&g_workGo, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(WaitEvent(&g_workDone));
    ASSERT_TRUE(sim::WaitQuiet());
    EXPECT_EQ(g_work.irql, PASSIVE_LEVEL);
    EXPECT_EQ(g_work.thread.rfind("worker-", 0), 0u) << g_work.thread;
    EXPECT_EQ(g_work.marker, 0x5A5Au) << "the extension was still there";
    IoFreeWorkItem(item);
}

std::atomic<int> g_started{0};
KEVENT g_allStarted;

VOID HoldWorker(PDEVICE_OBJECT, PVOID)
{
    // Holds its worker until every item has started: only a pool that grows
    // while items wait gets them all running.
    if (++g_started == 8) {
        KeSetEvent(&g_allStarted, IO_NO_INCREMENT, FALSE);
    }
    WaitEvent(&g_allStarted);
}

TEST_F(IoObjectTest, ItemsThatHoldTheirWorkersDoNotStarveTheItemsQueuedAfterThem)
{
    g_started = 0;
    KeInitializeEvent(&g_allStarted, NotificationEvent, FALSE);
    PDEVICE_OBJECT d = MakeDevice(sim::LoadDriver(L"iohold", EmptyEntry), L"\\Device\\IoHold");
    std::vector<PIO_WORKITEM> items;
    for (int i = 0; i < 8; i++) {
        items.push_back(IoAllocateWorkItem(d));
        ASSERT_NE(items.back(), nullptr);
        sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoQueueWorkItem(items.back(), HoldWorker, DelayedWorkQueue, nullptr); });
    }
    EXPECT_TRUE(WaitEvent(&g_allStarted)) << g_started << " of 8 items started";
    KeSetEvent(&g_allStarted, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(sim::WaitQuiet());
    for (PIO_WORKITEM item : items) {
        IoFreeWorkItem(item);
    }
}

TEST_F(IoObjectTest, AllocationFaultsFailIrpsAndWorkItems)
{
    PDEVICE_OBJECT d = MakeDevice(sim::LoadDriver(L"iofault", EmptyEntry), L"\\Device\\IoFault");
    sim::FaultRule irp;
    irp.site = sim::FaultSite::Irp;
    irp.nth = 1;
    sim::AddFault(irp);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    sim::FaultRule work;
    work.site = sim::FaultSite::WorkItem;
    work.nth = 1;
    sim::AddFault(work);
    EXPECT_EQ(IoAllocateWorkItem(d), nullptr);
    sim::ClearFaults();
    PIRP ok = IoAllocateIrp(1, FALSE);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->CurrentLocation, 2);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(ok), reinterpret_cast<PIO_STACK_LOCATION>(ok + 1) + 1);
    EXPECT_EQ(ok->Size, IoSizeOfIrp(1));
    IoFreeIrp(ok);
}

TEST_F(IoObjectTest, PnpQueriesRefuseDevicesThatAreNotPdos)
{
    PDEVICE_OBJECT d = MakeDevice(sim::LoadDriver(L"iopnp", EmptyEntry), L"\\Device\\IoPnp");
    ULONG len = 7;
    WCHAR buffer[16];
    EXPECT_EQ(IoGetDeviceProperty(d, DevicePropertyHardwareID, sizeof buffer, buffer, &len),
              STATUS_INVALID_DEVICE_REQUEST);
    HANDLE key = (HANDLE)1;
    EXPECT_EQ(IoOpenDeviceRegistryKey(d, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(key, nullptr);
}

}  // namespace
