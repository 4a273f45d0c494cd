// The PnP routines drivers call on a PDO: IoGetDeviceProperty,
// IoOpenDeviceRegistryKey and IoInvalidateDeviceRelations. Only a device
// object the PnP manager holds as a device node's PDO qualifies; any other
// (from IoCreateDevice, or a function driver's FDO) is refused as Windows
// does, and IoInvalidateDeviceRelations on it is the fatal PnP error it is
// there.
#include "pnp_internal.h"
#include "cm_registry.h"
#include "io_internal.h"

using namespace sim;
using namespace sim::pnp;

namespace {

const char16_t kProfile[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current";
const char16_t kMachine[] = u"\\Registry\\Machine";

struct Property {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> bytes;
};

Property FromKey(const std::u16string& keyPath, const std::u16string& value)
{
    Property p;
    reg::KeyRef key;
    reg::ValueData v;
    if (keyPath.empty() || reg::Open(nullptr, keyPath, &key) != STATUS_SUCCESS ||
        reg::QueryValue(key, value, &v) != STATUS_SUCCESS) {
        p.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return p;
    }
    p.bytes = v.data;
    return p;
}

Property Dword(ULONG v, bool present = true)
{
    Property p;
    if (!present) {
        p.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return p;
    }
    p.bytes.resize(sizeof v);
    memcpy(p.bytes.data(), &v, sizeof v);
    return p;
}

// Reads a property of `n` (pnp lock held).
Property Read(DevNode* n, DEVICE_REGISTRY_PROPERTY which)
{
    std::u16string enumKey = EnumKeyPath(n);
    switch (which) {
    case DevicePropertyDeviceDescription:
        return FromKey(enumKey, u"DeviceDesc");
    case DevicePropertyHardwareID:
        return FromKey(enumKey, u"HardwareID");
    case DevicePropertyCompatibleIDs:
        return FromKey(enumKey, u"CompatibleIDs");
    case DevicePropertyClassName:
        return FromKey(enumKey, u"Class");
    case DevicePropertyClassGuid:
        return FromKey(enumKey, u"ClassGUID");
    case DevicePropertyDriverKeyName:
        return FromKey(enumKey, u"Driver");
    case DevicePropertyManufacturer:
        return FromKey(enumKey, u"Mfg");
    case DevicePropertyFriendlyName:
        return FromKey(enumKey, u"FriendlyName");
    case DevicePropertyLocationInformation:
        return FromKey(enumKey, u"LocationInformation");
    case DevicePropertyPhysicalDeviceObjectName: {
        Property p;
        std::u16string name;
        {
            io::Guard io(io::Lock());
            name = n->pdo->DeviceObjectExtension->name;
        }
        p.bytes = SzBytes(name);
        return p;
    }
    case DevicePropertyEnumeratorName: {
        Property p;
        p.bytes = SzBytes(n->deviceId.substr(0, n->deviceId.find(u'\\')));
        return p;
    }
    case DevicePropertyAddress:
        return Dword(n->caps.Address, n->caps.Address != 0xFFFFFFFF);
    case DevicePropertyUINumber:
        return Dword(n->caps.UINumber, n->caps.UINumber != 0xFFFFFFFF);
    case DevicePropertyRemovalPolicy:
        // CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL or _EXPECT_NO_REMOVAL.
        return Dword(n->caps.Removable ? 3 : 1);
    case DevicePropertyInstallState:
        // InstallStateInstalled, or InstallStateFailedInstall without a driver.
        return Dword(n->driverKey.empty() ? 2 : 0);
    default: {
        Property p;
        p.status = STATUS_INVALID_PARAMETER_2;
        return p;
    }
    }
}

}  // namespace

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    RequireIrql(PASSIVE_LEVEL, "IoGetDeviceProperty");
    if (ResultLength)
        *ResultLength = 0;
    Property p;
    {
        Guard lock(Lock());
        DevNode* n = FindByPdoLocked(DeviceObject);
        if (!n)
            return STATUS_INVALID_DEVICE_REQUEST;
        p = Read(n, DeviceProperty);
    }
    if (!NT_SUCCESS(p.status))
        return p.status;
    if (ResultLength)
        *ResultLength = (ULONG)p.bytes.size();
    if (BufferLength < p.bytes.size() || !PropertyBuffer)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, p.bytes.data(), p.bytes.size());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    RequireIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (!DevInstRegKey)
        return NullArgument("IoOpenDeviceRegistryKey", "DevInstRegKey");
    *DevInstRegKey = nullptr;
    if (DriverCallFails(FaultSite::Registry))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string path;
    {
        Guard lock(Lock());
        DevNode* n = FindByPdoLocked(DeviceObject);
        if (!n)
            return STATUS_INVALID_DEVICE_REQUEST;
        bool profile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
        ULONG kind = DevInstKeyType & ~PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
        if (kind == PLUGPLAY_REGKEY_DEVICE) {
            path = EnumKeyPath(n) + (profile ? u"" : u"\\Device Parameters");
        } else if (kind == PLUGPLAY_REGKEY_DRIVER) {
            path = DriverKeyPath(n);
            if (path.empty())
                return STATUS_OBJECT_NAME_NOT_FOUND;  // no driver installed
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        // The current hardware profile mirrors the CurrentControlSet paths.
        if (profile)
            path = kProfile + path.substr(std::u16string(kMachine).size());
    }
    reg::KeyRef key;
    NTSTATUS st = reg::Create(nullptr, path, true, &key);
    if (!NT_SUCCESS(st))
        return st;
    *DevInstRegKey = reg::InsertKeyHandle(key, reg::MapKeyAccess(DesiredAccess));
    return STATUS_SUCCESS;
}

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    RequireIrql(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    {
        Guard lock(Lock());
        DevNode* n = FindByPdoLocked(DeviceObject);
        if (!n) {
            ReportViolation("INVALID_PDO", io::DeviceText(DeviceObject), "IoInvalidateDeviceRelations",
                            "not a physical device object reported by a bus driver");
            return;
        }
        if (n->released || Type != BusRelations)
            return;  // other relations are queried when needed
    }
    // Never inline: the caller may be at DISPATCH_LEVEL or hold its locks.
    RequestEnumeration(DeviceObject);
}
