// The PnP manager's root enumerator: the PDOs of root-enumerated devices
// ("ROOT\<ID>\<instance>"), owned by the driver object "\Driver\PnpManager",
// which answers PnP and power requests as a bus driver's PDO does.
#include "pnp_internal.h"
#include "io_internal.h"

#include <map>
#include <memory>

namespace sim {
namespace pnp {
namespace {

const ULONG kTag = 'tooR';

struct RootDevice {
    std::u16string deviceId, instanceId;
    std::vector<std::u16string> hardwareIds;
};

std::mutex g_rootLock;  // guards g_rootDevices; innermost
std::map<PDEVICE_OBJECT, RootDevice> g_rootDevices;
PDRIVER_OBJECT g_rootDriver = nullptr;
const char16_t kDriverName[] = u"\\Driver\\PnpManager";

PWCHAR PoolText(const std::vector<std::u16string>& items, bool multi)
{
    std::vector<uint8_t> b = multi ? MultiSzBytes(items) : SzBytes(items.empty() ? u"" : items[0]);
    auto p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, b.size(), kTag));
    if (p)
        memcpy(p, b.data(), b.size());
    return p;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:  // the PnP manager deletes its PDO when the device goes
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID: {
        RootDevice dev;
        {
            std::lock_guard<std::mutex> g(g_rootLock);
            dev = g_rootDevices[pdo];
        }
        PWCHAR text = nullptr;
        bool answered = true;  // compatible ids and the rest: none
        switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            text = PoolText({dev.deviceId}, false);
            break;
        case BusQueryInstanceID:
            text = PoolText({dev.instanceId}, false);
            break;
        case BusQueryHardwareIDs:
            text = PoolText(dev.hardwareIds, true);
            break;
        default:
            answered = false;
            break;
        }
        if (answered) {
            status = text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
        }
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
        for (int i = 0; i < PowerSystemMaximum; ++i)
            c->DeviceState[i] = i == PowerSystemUnspecified ? PowerDeviceUnspecified
                                : i == PowerSystemWorking   ? PowerDeviceD0
                                                            : PowerDeviceD3;
        c->SilentInstall = 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (s->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
            if (!rel) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(pdo);
            rel->Count = 1;
            rel->Objects[0] = pdo;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    return Complete(irp, status);
}

NTSTATUS RootDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MajorFunction) {
    case IRP_MJ_PNP:
        return RootPnp(device, irp);
    case IRP_MJ_POWER: {
        NTSTATUS status = irp->IoStatus.Status;
        if (s->MinorFunction == IRP_MN_SET_POWER) {
            if (s->Parameters.Power.Type == DevicePowerState)
                PoSetPowerState(device, DevicePowerState, s->Parameters.Power.State);
            status = STATUS_SUCCESS;
        } else if (s->MinorFunction == IRP_MN_QUERY_POWER) {
            status = STATUS_SUCCESS;
        }
        PoStartNextPowerIrp(irp);
        return Complete(irp, status);
    }
    case IRP_MJ_SYSTEM_CONTROL:
        return Complete(irp, irp->IoStatus.Status);
    default:
        irp->IoStatus.Information = 0;
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace

void RootStartup()
{
    g_rootDriver = new DRIVER_OBJECT();
    g_rootDriver->Type = 4;
    g_rootDriver->Size = sizeof(DRIVER_OBJECT);
    g_rootDriver->DriverExtension = new DRIVER_EXTENSION();
    g_rootDriver->DriverExtension->DriverObject = g_rootDriver;
    g_rootDriver->DriverName.Buffer = (PWSTR)kDriverName;
    g_rootDriver->DriverName.Length = g_rootDriver->DriverName.MaximumLength =
        (USHORT)((sizeof kDriverName / sizeof kDriverName[0] - 1) * sizeof(WCHAR));
    for (PDRIVER_DISPATCH& f : g_rootDriver->MajorFunction)
        f = RootDispatch;
}

void RootShutdown()
{
    std::vector<PDEVICE_OBJECT> left;
    {
        io::Guard lock(io::Lock());
        for (PDEVICE_OBJECT d = g_rootDriver->DeviceObject; d; d = d->NextDevice)
            left.push_back(d);
    }
    // Only when machine-stop removal did not finish; what is attached is reported.
    for (PDEVICE_OBJECT d : left)
        IoDeleteDevice(d);
    {
        std::lock_guard<std::mutex> g(g_rootLock);
        g_rootDevices.clear();
    }
    delete g_rootDriver->DriverExtension;
    delete g_rootDriver;
    g_rootDriver = nullptr;
}

bool IsRootPdo(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(g_rootLock);
    return g_rootDevices.count(device) != 0;
}

}  // namespace pnp

using namespace pnp;

NTSTATUS CreateRootDevice(const std::string& hardwareId, const std::string& instance, unsigned timeoutMs)
{
    std::u16string hw = Upper(U16(hardwareId));
    std::u16string deviceId = hw.compare(0, 5, u"ROOT\\") == 0 ? hw : u"ROOT\\" + hw;
    std::u16string instanceId = U16(instance);
    auto status = std::make_shared<NTSTATUS>(STATUS_IO_TIMEOUT);
    bool ran = RunOnPnpThread(
        [=] {
            {
                Guard lock(Lock());
                if (FindByInstanceLocked(deviceId + u"\\" + instanceId)) {
                    *status = STATUS_OBJECT_NAME_COLLISION;
                    return;
                }
            }
            PDEVICE_OBJECT pdo = nullptr;
            NTSTATUS st = IoCreateDevice(g_rootDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                         FALSE, &pdo);
            if (!NT_SUCCESS(st)) {
                *status = st;
                return;
            }
            pdo->Flags |= DO_POWER_PAGABLE;
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
            {
                std::lock_guard<std::mutex> g(g_rootLock);
                g_rootDevices[pdo] = RootDevice{deviceId, instanceId, {deviceId}};
            }
            auto* n = new DevNode();
            n->pdo = pdo;
            n->rootOwned = true;
            {
                Guard lock(Lock());
                n->parent = TreeRootLocked();
                n->parent->children.push_back(n);
            }
            *status = ProcessNewChild(n);
        },
        timeoutMs);
    return ran ? *status : STATUS_IO_TIMEOUT;
}

}  // namespace sim
