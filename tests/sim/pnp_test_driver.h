// A small WDM function driver for the PnP manager's tests: it attaches above
// a vbus PDO, records what it is sent, and can be told to veto or fail.
// Plus the fixture that brings the bus up and plugs devices.
#pragma once

#include "vbus_machine.h"
#include "vbus_test_util.h"

#include <mutex>
#include <string>
#include <vector>

namespace pnp_test {

struct Behaviour {
    bool vetoQueryRemove = false;
    bool vetoQueryStop = false;
    bool failStart = false;
    bool failRemove = false;    // reports failure of IRP_MN_REMOVE_DEVICE (a broken driver)
    bool stayAttached = false;  // leaves its FDO attached after IRP_MN_REMOVE_DEVICE (a broken driver)
};

struct Recorder {
    std::mutex m;
    std::vector<std::string> events;
    Behaviour behave;
    std::string hardwareIdAtAdd;  // first hardware id IoGetDeviceProperty gave in AddDevice
    PDEVICE_OBJECT lastFdo = nullptr, lastLower = nullptr;
    std::string lastFdoName;

    // Turns one behaviour on; the driver reads them under the same lock.
    void Set(bool Behaviour::*flag)
    {
        std::lock_guard<std::mutex> g(m);
        behave.*flag = true;
    }
    void Add(const std::string& e)
    {
        std::lock_guard<std::mutex> g(m);
        events.push_back(e);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> g(m);
        auto e = events;
        events.clear();
        return e;
    }
};

inline Recorder& Rec()
{
    static Recorder r;
    return r;
}

inline const char* MinorText(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE:
        return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE:
        return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE:
        return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL:
        return "SURPRISE_REMOVAL";
    default:
        return nullptr;  // not recorded
    }
}

struct FnExtension {
    PDEVICE_OBJECT lower;
};

inline NTSTATUS FnSignal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS FnFailRemove(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;  // continue completion
}

inline NTSTATUS FnPassDown(PDEVICE_OBJECT lower, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

inline NTSTATUS FnComplete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS FnPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    auto ext = static_cast<FnExtension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (const char* name = MinorText(s->MinorFunction))
        Rec().Add(name);
    Behaviour b;
    {
        std::lock_guard<std::mutex> g(Rec().m);
        b = Rec().behave;
    }
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FnSignal, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        return FnComplete(irp, b.failStart ? STATUS_UNSUCCESSFUL : status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (b.vetoQueryRemove)
            return FnComplete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return FnPassDown(ext->lower, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (b.vetoQueryStop)
            return FnComplete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return FnPassDown(ext->lower, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return FnPassDown(ext->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = ext->lower;
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status;
        if (b.failRemove) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, FnFailRemove, nullptr, TRUE, TRUE, TRUE);
            status = IoCallDriver(lower, irp);
        } else {
            status = FnPassDown(lower, irp);
        }
        if (!b.stayAttached) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    }
    default:
        return FnPassDown(ext->lower, irp);
    }
}

inline NTSTATUS FnDispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    auto ext = static_cast<FnExtension*>(fdo->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return FnPnp(fdo, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        irp->IoStatus.Information = 0;
        return FnComplete(irp, STATUS_SUCCESS);
    default:
        return FnPassDown(ext->lower, irp);
    }
}

inline NTSTATUS FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    Rec().Add("AddDevice");
    WCHAR ids[256] = {};
    ULONG length = 0;
    if (IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof ids, ids, &length) == STATUS_SUCCESS) {
        std::lock_guard<std::mutex> g(Rec().m);
        Rec().hardwareIdAtAdd = sim::Utf8(ids);
    }
    PDEVICE_OBJECT fdo;
    // Named, so tests can open handles on the stack.
    UNICODE_STRING name;
    static LONG counter = 0;
    std::u16string text = sim::Utf16("\\Device\\PnpTestFn" + std::to_string(InterlockedIncrement(&counter)));
    RtlInitUnicodeString(&name, sim::W(text));
    NTSTATUS status = IoCreateDevice(driver, sizeof(FnExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto ext = static_cast<FnExtension*>(fdo->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    {
        std::lock_guard<std::mutex> g(Rec().m);
        Rec().lastFdo = fdo;
        Rec().lastLower = ext->lower;
        Rec().lastFdoName = sim::Utf8(sim::W(text));
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline VOID FnUnload(PDRIVER_OBJECT)
{
    Rec().Add("Unload");
}

inline NTSTATUS FnDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    Rec().Add("DriverEntry");
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = FnDispatch;
    driver->DriverExtension->AddDevice = FnAddDevice;
    driver->DriverUnload = FnUnload;
    return STATUS_SUCCESS;
}

inline sim::DriverPackage FnPackage()
{
    sim::DriverPackage p;
    p.service = "PnpTestFn";
    p.entry = FnDriverEntry;
    p.hardwareIds = {"USB\\VID_5A1E&PID_0101", "USB\\VID_5A1E&PID_0102"};
    p.className = "Ports";
    return p;
}

const char kPortsGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const char kEnum[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const char kClass[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

// The bus up as the PnP manager starts it; the recorder reset.
template <typename Base>
class PnpFixture : public Base {
protected:
    void SetUp() override
    {
        Base::SetUp();
        {
            std::lock_guard<std::mutex> g(Rec().m);
            Rec().events.clear();
            Rec().behave = Behaviour();
            Rec().hardwareIdAtAdd.clear();
        }
        ASSERT_TRUE(sim_test::StartBusMachine());
    }

    // Plugs the product's device (or another product id) and returns its id.
    ULONG PlugProduct(uint16_t pid = 0x0101, const VBUS_CAPABILITIES* caps = nullptr)
    {
        auto request = vbus_test::PlugRequest(vbus_test::DeviceDescriptor(0x5A1E, pid), vbus_test::ProductConfig());
        if (caps)
            reinterpret_cast<VBUS_PLUG_REQUEST*>(request.data())->Capabilities = *caps;
        auto reply = vbus_test::Ioctl(VBUS_IOCTL_PLUG, request);
        if (reply.status != STATUS_SUCCESS)
            return 0;
        return reinterpret_cast<const VBUS_PLUG_RESPONSE*>(reply.data.data())->DeviceId;
    }

    static std::string InstanceOf(ULONG id, uint16_t pid = 0x0101)
    {
        char b[64];
        snprintf(b, sizeof b, "USB\\VID_5A1E&PID_%04X\\%u", pid, id);
        return b;
    }
};

}  // namespace pnp_test
