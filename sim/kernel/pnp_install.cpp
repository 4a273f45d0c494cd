// Driver packages and device installation: the service key a package
// installs, the match of a device's ids against the packages, the Enum and
// class (driver) keys of a device instance, and loading and unloading the
// drivers the PnP manager needs.
#include "pnp_internal.h"
#include "cm_registry.h"
#include "io_internal.h"
#include "rtl_text.h"

#include <cstdio>
#include <map>
#include <set>

namespace sim {
namespace pnp {
namespace {

const char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const char16_t kClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
const char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// Drivers the PnP manager loaded, by upper-case service name (guarded by Lock()).
std::map<std::u16string, PDRIVER_OBJECT> g_loaded;

std::u16string WellKnownGuid(const std::u16string& className)
{
    struct {
        const char16_t* name;
        const char16_t* guid;
    } static const known[] = {
        {u"Ports", u"{4D36E978-E325-11CE-BFC1-08002BE10318}"},
        {u"System", u"{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
        {u"USB", u"{36FC9E60-C465-11CF-8056-444553540000}"},
        {u"Modem", u"{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
    };
    for (auto& k : known)
        if (SameText(className, k.name))
            return k.guid;
    return u"";
}

reg::KeyRef CreatePath(const std::u16string& path)
{
    reg::KeyRef key;
    return reg::Create(nullptr, path, true, &key) == STATUS_SUCCESS ? key : nullptr;
}

void SetSz(const reg::KeyRef& key, const std::u16string& name, const std::u16string& value, ULONG type = REG_SZ)
{
    auto b = SzBytes(value);
    reg::SetValue(key, name, type, b.data(), b.size());
}

void SetMulti(const reg::KeyRef& key, const std::u16string& name, const std::vector<std::u16string>& items)
{
    auto b = MultiSzBytes(items);
    reg::SetValue(key, name, REG_MULTI_SZ, b.data(), b.size());
}

void SetDword(const reg::KeyRef& key, const std::u16string& name, ULONG v)
{
    reg::SetValue(key, name, REG_DWORD, &v, sizeof v);
}

std::u16string GetSz(const reg::KeyRef& key, const std::u16string& name)
{
    reg::ValueData v;
    if (!key || reg::QueryValue(key, name, &v) != STATUS_SUCCESS || v.type != REG_SZ)
        return u"";
    std::u16string s(v.data.size() / 2, u'\0');
    memcpy(&s[0], v.data.data(), s.size() * 2);
    while (!s.empty() && s.back() == 0)
        s.pop_back();
    return s;
}

// The lowest instance number not yet used under the class key, in four
// digits (more past 9999). One pass over the keys: a machine that has seen
// thousands of devices keeps a key for each.
std::u16string NextDriverInstance(const reg::KeyRef& classKey)
{
    std::set<unsigned long> used;
    for (const std::u16string& name : reg::SubkeyNames(classKey)) {
        unsigned long number = 0;
        bool digits = !name.empty() && name.size() <= 9;
        for (char16_t c : name) {
            digits = digits && c >= u'0' && c <= u'9';
            number = number * 10 + (unsigned long)(c - u'0');
        }
        if (digits)
            used.insert(number);
    }
    unsigned long next = 0;
    while (used.count(next) != 0)
        ++next;
    char b[16];
    snprintf(b, sizeof b, "%04lu", next);
    return U16(b);
}

ULONG CapabilityBits(const DEVICE_CAPABILITIES& c)
{
    return (c.LockSupported ? 0x1 : 0) | (c.EjectSupported ? 0x2 : 0) | (c.Removable ? 0x4 : 0) |
           (c.DockDevice ? 0x8 : 0) | (c.UniqueID ? 0x10 : 0) | (c.SilentInstall ? 0x20 : 0) |
           (c.RawDeviceOK ? 0x40 : 0) | (c.SurpriseRemovalOK ? 0x80 : 0) | (c.HardwareDisabled ? 0x100 : 0) |
           (c.NonDynamic ? 0x200 : 0);
}

}  // namespace

std::u16string EnumKeyPath(const DevNode* n)
{
    return kEnum + n->instancePath;
}

std::u16string DriverKeyPath(const DevNode* n)
{
    return n->driverKey.empty() ? u"" : kClass + n->driverKey;
}

bool MatchPackage(DevNode* n, Package* match)
{
    // Hardware ids before compatible ids, each list in its order: the first
    // id any package names wins.
    for (const auto* list : {&n->hardwareIds, &n->compatibleIds})
        for (const auto& id : *list)
            for (const Package& p : PackagesLocked())
                for (const auto& h : p.hardwareIds)
                    if (SameText(h, id)) {
                        *match = p;
                        return true;
                    }
    return false;
}

void WriteDeviceKeys(DevNode* n, const Package* match)
{
    reg::KeyRef key = CreatePath(EnumKeyPath(n));
    if (!key)
        return;
    CreatePath(EnumKeyPath(n) + u"\\Device Parameters");
    if (!n->description.empty())
        SetSz(key, u"DeviceDesc", n->description);
    if (!n->location.empty())
        SetSz(key, u"LocationInformation", n->location);
    if (!n->hardwareIds.empty())
        SetMulti(key, u"HardwareID", n->hardwareIds);
    if (!n->compatibleIds.empty())
        SetMulti(key, u"CompatibleIDs", n->compatibleIds);
    SetDword(key, u"Capabilities", CapabilityBits(n->caps));
    if (n->caps.UINumber != 0xFFFFFFFF)
        SetDword(key, u"UINumber", n->caps.UINumber);
    if (n->caps.Address != 0xFFFFFFFF)
        SetDword(key, u"Address", n->caps.Address);
    SetDword(key, u"ConfigFlags", 0);
    if (!match)
        return;

    // An instance seen before keeps its driver key, as on Windows.
    std::u16string driverKey = GetSz(key, u"Driver");
    std::u16string guid = match->classGuid;
    if (driverKey.size() <= guid.size() + 1 || !SameText(driverKey.substr(0, guid.size()), guid)) {
        reg::KeyRef classKey = CreatePath(kClass + guid);
        if (!classKey)
            return;
        SetSz(classKey, u"Class", match->className);
        SetSz(classKey, u"", match->className);
        driverKey = guid + u"\\" + NextDriverInstance(classKey);
    }
    reg::KeyRef driver = CreatePath(kClass + driverKey);
    if (!driver)
        return;
    SetSz(driver, u"DriverDesc", match->description);
    for (const auto* list : {&n->hardwareIds, &n->compatibleIds})
        for (const auto& id : *list)
            for (const auto& h : match->hardwareIds)
                if (SameText(h, id) && GetSz(driver, u"MatchingDeviceId").empty())
                    SetSz(driver, u"MatchingDeviceId", rtl::Upcase(id));
    SetSz(key, u"Class", match->className);
    SetSz(key, u"ClassGUID", guid);
    SetSz(key, u"Driver", driverKey);
    reg::KeyRef hardware = CreatePath(EnumKeyPath(n) + u"\\Device Parameters");
    for (auto& [name, value] : match->hardwareKeyValues) {
        std::u16string text = value;
        size_t at = text.find(u"%INSTANCE%");
        if (at != std::u16string::npos)
            text.replace(at, 10, n->instancePath);
        if (hardware)
            SetSz(hardware, name, text);
    }
    SetSz(key, u"Service", match->service);
    if (!match->description.empty())
        SetSz(key, u"Mfg", match->description);
    Guard lock(Lock());
    n->service = match->service;
    n->className = match->className;
    n->classGuid = guid;
    n->driverKey = driverKey;
}

PDRIVER_OBJECT EnsureDriverLoaded(const Package& p, NTSTATUS* status)
{
    std::u16string upper = Upper(p.service);
    {
        Guard lock(Lock());
        auto it = g_loaded.find(upper);
        if (it != g_loaded.end())
            return it->second;
    }
    {
        // Loaded by someone else (a test's LoadDriver): use it, never unload it.
        io::Guard lock(io::Lock());
        std::u16string key;
        if (NT_SUCCESS(io::ResolveLocked(u"\\Driver\\" + p.service, false, &key))) {
            io::NsEntry* e = io::FindEntryLocked(key);
            if (e && e->kind == io::NsKind::Driver)
                return static_cast<PDRIVER_OBJECT>(e->object);
        }
    }
    std::u16string service = p.service;
    PDRIVER_OBJECT d = LoadDriver(reinterpret_cast<const wchar_t*>(service.c_str()), p.entry, status);
    if (!d)
        return nullptr;
    Guard lock(Lock());
    g_loaded[upper] = d;
    return d;
}

void UnloadIdleDrivers()
{
    std::vector<PDRIVER_OBJECT> idle;
    {
        Guard lock(Lock());
        io::Guard io(io::Lock());
        for (auto it = g_loaded.begin(); it != g_loaded.end();) {
            // As on Windows, a driver unloads once its last device object is
            // gone, not merely deleted: a reference (a queued work item) defers it.
            if (!it->second->DeviceObject && io::DriverLiveDevicesLocked(it->second) == 0) {
                idle.push_back(it->second);
                it = g_loaded.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PDRIVER_OBJECT d : idle)
        UnloadDriver(d);
}

void ForgetLoadedDrivers()
{
    g_loaded.clear();
}

}  // namespace pnp

using namespace pnp;

void InstallDriverPackage(const DriverPackage& package)
{
    Package p;
    p.service = U16(package.service);
    p.entry = package.entry;
    for (auto& h : package.hardwareIds)
        p.hardwareIds.push_back(U16(h));
    p.className = U16(package.className);
    p.classGuid = package.classGuid.empty() ? WellKnownGuid(p.className) : U16(package.classGuid);
    p.description = U16(package.description.empty() ? package.service : package.description);
    for (auto& [name, value] : package.hardwareKeyValues)
        p.hardwareKeyValues.emplace_back(U16(name), U16(value));
    if (p.service.empty() || !p.entry || p.classGuid.empty()) {
        ReportViolation("PNP_PACKAGE_INVALID", "package " + package.service, "InstallDriverPackage",
                        "a package needs a service name, an entry and a known class (or its GUID)");
        return;
    }
    reg::KeyRef service = CreatePath(kServices + p.service);
    if (service) {
        SetSz(service, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + p.service + u".sys", REG_EXPAND_SZ);
        SetDword(service, u"Type", 1);   // SERVICE_KERNEL_DRIVER
        SetDword(service, u"Start", 3);  // SERVICE_DEMAND_START
        SetDword(service, u"ErrorControl", 1);
        reg::KeyRef parameters = CreatePath(kServices + p.service + u"\\Parameters");
        for (auto& [name, value] : package.parameters)
            if (parameters && GetSz(parameters, U16(name)).empty())
                SetSz(parameters, U16(name), U16(value));
    }
    {
        Guard lock(Lock());
        auto& packages = PackagesLocked();
        bool replaced = false;
        for (Package& old : packages)
            if (SameText(old.service, p.service)) {
                old = p;
                replaced = true;
            }
        if (!replaced)
            packages.push_back(p);
    }
    // Devices waiting for a driver get it now, as an installer's update would.
    RunOnPnpThread(
        [] {
            for (;;) {
                DevNode* waiting = nullptr;
                {
                    Guard lock(Lock());
                    std::function<DevNode*(DevNode*)> find = [&](DevNode* d) -> DevNode* {
                        Package m;
                        if (d->state == DeviceNodeState::NoDriver && !d->missing && MatchPackage(d, &m))
                            return d;
                        for (DevNode* c : d->children)
                            if (DevNode* f = find(c))
                                return f;
                        return nullptr;
                    };
                    waiting = find(TreeRootLocked());
                }
                if (!waiting)
                    return;
                InstallAndStart(waiting);
            }
        },
        10000);
}

}  // namespace sim
