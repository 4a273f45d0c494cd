// The device installation API (setupapi subset, see <setupapi.h>) over the
// PnP manager's device tree and the registry: a device information set is a
// snapshot of device instance ids taken from the Enum key; everything read or
// written through it (properties, the hardware and driver keys) is read and
// written live in the registry, as on Windows. Errors go to the thread's last
// error, with the codes Windows sets.
#include "w32_internal.h"

#include "pnp_internal.h"
#include "rtl_text.h"

#include <setupapi.h>

#include <algorithm>
#include <map>

namespace sim {
namespace w32 {
namespace {

const char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
const char16_t kClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
const char16_t kArbiter[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";
// A fresh system arbitrates COM1 to COM256: a 32-byte bitmap, all free.
const size_t kInitialComDbBytes = 32;

struct DevInfoObj : Object {
    DevInfoObj() : Object(ObjType::DevInfo) {}
    std::vector<std::u16string> instances;  // device instance ids, in enumeration order
};

// DEVINST numbers: one per device instance id for the machine's life.
std::mutex g_devInstLock;
std::map<std::u16string, DWORD> g_devInsts;  // by upper-case instance id

DWORD DevInstOf(const std::u16string& instance)
{
    std::lock_guard<std::mutex> lock(g_devInstLock);
    auto it = g_devInsts.emplace(rtl::Upcase(instance), (DWORD)g_devInsts.size() + 1).first;
    return it->second;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// "{4D36E978-E325-11CE-BFC1-08002BE10318}", either case.
bool ParseGuid(const std::u16string& text, GUID* guid)
{
    static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != sizeof kShape - 1)
        return false;
    uint8_t bytes[16];
    int n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] != 'x') {
            if (text[i] != (char16_t)kShape[i])
                return false;
            continue;
        }
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || kShape[i + 1] != 'x')
            return false;
        bytes[n++] = (uint8_t)(hi << 4 | lo);
        ++i;
    }
    guid->Data1 = (ULONG)bytes[0] << 24 | (ULONG)bytes[1] << 16 | (ULONG)bytes[2] << 8 | bytes[3];
    guid->Data2 = (USHORT)(bytes[4] << 8 | bytes[5]);
    guid->Data3 = (USHORT)(bytes[6] << 8 | bytes[7]);
    memcpy(guid->Data4, bytes + 8, 8);
    return true;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

bool QueryValue(const std::u16string& keyPath, const std::u16string& name, reg::ValueData* value)
{
    reg::KeyRef key;
    return reg::Open(nullptr, keyPath, &key) == STATUS_SUCCESS && reg::QueryValue(key, name, value) == STATUS_SUCCESS;
}

// The text of a REG_SZ value up to its first NUL; empty when missing or of another type.
std::u16string QueryString(const std::u16string& keyPath, const std::u16string& name)
{
    reg::ValueData v;
    if (!QueryValue(keyPath, name, &v) || v.type != REG_SZ)
        return u"";
    std::u16string s(v.data.size() / 2, u'\0');
    memcpy(&s[0], v.data.data(), s.size() * 2);
    size_t end = s.find(u'\0');
    return end == std::u16string::npos ? s : s.substr(0, end);
}

std::u16string EnumKey(const std::u16string& instance)
{
    return std::u16string(kEnum) + u"\\" + instance;
}

GUID ClassOf(const std::u16string& instance)
{
    GUID guid{};
    ParseGuid(QueryString(EnumKey(instance), u"ClassGUID"), &guid);
    return guid;
}

// Device instance ids whose bus reports them now (the PnP manager holds a
// node for them that is not missing). Upper case.
std::vector<std::u16string> PresentInstances()
{
    std::vector<std::u16string> present;
    pnp::Guard lock(pnp::Lock());
    pnp::DevNode* root = pnp::TreeRootLocked();
    if (!root)
        return present;
    std::vector<pnp::DevNode*> stack(root->children.begin(), root->children.end());
    while (!stack.empty()) {
        pnp::DevNode* n = stack.back();
        stack.pop_back();
        if (!n->missing)
            present.push_back(rtl::Upcase(n->instancePath));
        stack.insert(stack.end(), n->children.begin(), n->children.end());
    }
    return present;
}

std::shared_ptr<DevInfoObj> LookupSet(HDEVINFO set)
{
    auto o = LookupHandle(set);
    return o && o->type == ObjType::DevInfo ? std::static_pointer_cast<DevInfoObj>(o) : nullptr;
}

// The device instance an SP_DEVINFO_DATA from SetupDiEnumDeviceInfo names in
// `set`; a Win32 error when there is none.
DWORD Element(HDEVINFO set, PSP_DEVINFO_DATA data, std::u16string* instance)
{
    auto s = LookupSet(set);
    if (!s)
        return ERROR_INVALID_HANDLE;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return ERROR_INVALID_PARAMETER;
    if (data->Reserved == 0 || data->Reserved > s->instances.size())
        return ERROR_INVALID_PARAMETER;
    *instance = s->instances[data->Reserved - 1];
    return ERROR_SUCCESS;
}

enum class Access { ReadOnly, Settable, RootOnly };

// The registry properties kept as values of the device's Enum key.
struct Property {
    DWORD property;
    const char16_t* value;
    ULONG type;
    Access access;
};

const Property kProperties[] = {
    {SPDRP_DEVICEDESC, u"DeviceDesc", REG_SZ, Access::ReadOnly},
    {SPDRP_HARDWAREID, u"HardwareID", REG_MULTI_SZ, Access::RootOnly},
    {SPDRP_COMPATIBLEIDS, u"CompatibleIDs", REG_MULTI_SZ, Access::RootOnly},
    {SPDRP_SERVICE, u"Service", REG_SZ, Access::ReadOnly},
    {SPDRP_CLASS, u"Class", REG_SZ, Access::ReadOnly},
    {SPDRP_CLASSGUID, u"ClassGUID", REG_SZ, Access::ReadOnly},
    {SPDRP_DRIVER, u"Driver", REG_SZ, Access::ReadOnly},
    {SPDRP_CONFIGFLAGS, u"ConfigFlags", REG_DWORD, Access::Settable},
    {SPDRP_MFG, u"Mfg", REG_SZ, Access::ReadOnly},
    {SPDRP_FRIENDLYNAME, u"FriendlyName", REG_SZ, Access::Settable},
    {SPDRP_LOCATION_INFORMATION, u"LocationInformation", REG_SZ, Access::Settable},
    {SPDRP_CAPABILITIES, u"Capabilities", REG_DWORD, Access::ReadOnly},
    {SPDRP_UI_NUMBER, u"UINumber", REG_DWORD, Access::ReadOnly},
    {SPDRP_UPPERFILTERS, u"UpperFilters", REG_MULTI_SZ, Access::Settable},
    {SPDRP_LOWERFILTERS, u"LowerFilters", REG_MULTI_SZ, Access::Settable},
    {SPDRP_ADDRESS, u"Address", REG_DWORD, Access::ReadOnly},
};

const Property* FindProperty(DWORD property)
{
    for (const Property& p : kProperties)
        if (p.property == property)
            return &p;
    return nullptr;
}

HANDLE FailHandle(DWORD error)
{
    Fail(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

void SetupApiStartup()
{
    {
        std::lock_guard<std::mutex> lock(g_devInstLock);
        g_devInsts.clear();
    }
    reg::KeyRef arbiter;
    if (reg::Create(nullptr, kArbiter, true, &arbiter) == STATUS_SUCCESS) {
        std::vector<uint8_t> free(kInitialComDbBytes, 0);
        reg::SetValue(arbiter, u"ComDB", REG_BINARY, free.data(), free.size());
    }
}

}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    w32::Enter("SetupDiGetClassDevsW");
    if (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_PROFILE))
        return w32::FailHandle(ERROR_INVALID_FLAGS);
    bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!ClassGuid && !allClasses)
        return w32::FailHandle(ERROR_INVALID_PARAMETER);
    // An enumerator ("USB") or one device instance id ("USB\VID_...\1").
    std::u16string filter = w32::FromWide(Enumerator);
    bool filterIsInstance = filter.find(u'\\') != std::u16string::npos;
    std::vector<std::u16string> present;
    if (Flags & DIGCF_PRESENT)
        present = w32::PresentInstances();

    auto set = std::make_shared<w32::DevInfoObj>();
    reg::KeyRef enumKey;
    if (reg::Open(nullptr, w32::kEnum, &enumKey) == STATUS_SUCCESS) {
        for (const auto& enumerator : reg::SubkeyNames(enumKey)) {
            if (!filter.empty() && !filterIsInstance && !rtl::EqualNoCase(filter, enumerator))
                continue;
            reg::KeyRef enumeratorKey;
            if (reg::Open(enumKey, enumerator, &enumeratorKey) != STATUS_SUCCESS)
                continue;
            for (const auto& device : reg::SubkeyNames(enumeratorKey)) {
                reg::KeyRef deviceKey;
                if (reg::Open(enumeratorKey, device, &deviceKey) != STATUS_SUCCESS)
                    continue;
                for (const auto& instance : reg::SubkeyNames(deviceKey)) {
                    std::u16string id = enumerator + u"\\" + device + u"\\" + instance;
                    if (filterIsInstance && !rtl::EqualNoCase(filter, id))
                        continue;
                    if (!allClasses && !w32::SameGuid(w32::ClassOf(id), *ClassGuid))
                        continue;
                    if ((Flags & DIGCF_PRESENT) &&
                        std::find(present.begin(), present.end(), rtl::Upcase(id)) == present.end())
                        continue;
                    set->instances.push_back(id);
                }
            }
        }
    }
    return w32::InsertHandle(set);
}

extern "C" BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    w32::Enter("SetupDiEnumDeviceInfo");
    auto set = w32::LookupSet(DeviceInfoSet);
    if (!set)
        return w32::Fail(ERROR_INVALID_HANDLE);
    if (!DeviceInfoData)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return w32::Fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->instances.size())
        return w32::Fail(ERROR_NO_MORE_ITEMS);
    const std::u16string& id = set->instances[MemberIndex];
    DeviceInfoData->ClassGuid = w32::ClassOf(id);
    DeviceInfoData->DevInst = w32::DevInstOf(id);
    DeviceInfoData->Reserved = MemberIndex + 1;
    return TRUE;
}

extern "C" BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    w32::Enter("SetupDiGetDeviceInstanceIdW");
    std::u16string id;
    if (DWORD e = w32::Element(DeviceInfoSet, DeviceInfoData, &id))
        return w32::Fail(e);
    if (!DeviceInstanceId && DeviceInstanceIdSize)
        return w32::Fail(ERROR_INVALID_USER_BUFFER);
    DWORD needed = (DWORD)id.size() + 1;
    if (RequiredSize)
        *RequiredSize = needed;
    if (DeviceInstanceIdSize < needed)
        return w32::Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < id.size(); ++i)
        DeviceInstanceId[i] = (WCHAR)id[i];
    DeviceInstanceId[id.size()] = 0;
    return TRUE;
}

extern "C" HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                     DWORD HwProfile, DWORD KeyType, REGSAM samDesired)
{
    w32::Enter("SetupDiOpenDevRegKey");
    std::u16string id;
    if (DWORD e = w32::Element(DeviceInfoSet, DeviceInfoData, &id))
        return (HKEY)w32::FailHandle(e);
    if (Scope != DICS_FLAG_GLOBAL)
        return (HKEY)w32::FailHandle(ERROR_INVALID_FLAGS);
    std::u16string path;
    if (KeyType == DIREG_DEV) {
        path = w32::EnumKey(id) + u"\\Device Parameters";
    } else if (KeyType == DIREG_DRV) {
        std::u16string driver = w32::QueryString(w32::EnumKey(id), u"Driver");
        if (driver.empty())
            return (HKEY)w32::FailHandle(ERROR_KEY_DOES_NOT_EXIST);
        path = w32::kClass + driver;
    } else {
        return (HKEY)w32::FailHandle(ERROR_INVALID_FLAGS);
    }
    reg::KeyRef key;
    if (reg::Open(nullptr, path, &key) != STATUS_SUCCESS)
        return (HKEY)w32::FailHandle(ERROR_KEY_DOES_NOT_EXIST);
    return w32::NewKeyHandle(key, samDesired);
}

extern "C" BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                  DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    w32::Enter("SetupDiGetDeviceRegistryPropertyW");
    std::u16string id;
    if (DWORD e = w32::Element(DeviceInfoSet, DeviceInfoData, &id))
        return w32::Fail(e);
    if (Property >= SPDRP_MAXIMUM_PROPERTY)
        return w32::Fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize)
        return w32::Fail(ERROR_INVALID_USER_BUFFER);
    reg::ValueData v;
    if (Property == SPDRP_ENUMERATOR_NAME) {
        std::u16string enumerator = id.substr(0, id.find(u'\\'));
        v.type = REG_SZ;
        v.data.assign((const uint8_t*)enumerator.c_str(), (const uint8_t*)(enumerator.c_str() + enumerator.size() + 1));
    } else {
        // A property the machine does not keep reads as absent.
        const w32::Property* p = w32::FindProperty(Property);
        if (!p || !w32::QueryValue(w32::EnumKey(id), p->value, &v))
            return w32::Fail(ERROR_INVALID_DATA);
    }
    if (RequiredSize)
        *RequiredSize = (DWORD)v.data.size();
    if (PropertyRegDataType)
        *PropertyRegDataType = v.type;
    if (PropertyBufferSize < v.data.size())
        return w32::Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!v.data.empty())
        memcpy(PropertyBuffer, v.data.data(), v.data.size());
    return TRUE;
}

extern "C" BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, const BYTE* PropertyBuffer, DWORD PropertyBufferSize)
{
    w32::Enter("SetupDiSetDeviceRegistryPropertyW");
    std::u16string id;
    if (DWORD e = w32::Element(DeviceInfoSet, DeviceInfoData, &id))
        return w32::Fail(e);
    const w32::Property* p = w32::FindProperty(Property);
    if (!p || p->access == w32::Access::ReadOnly)
        return w32::Fail(ERROR_INVALID_REG_PROPERTY);
    // The ids of a device on a bus are the bus driver's to report.
    if (p->access == w32::Access::RootOnly && !rtl::EqualNoCase(id.substr(0, 5), u"ROOT\\"))
        return w32::Fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    reg::KeyRef key;
    if (reg::Open(nullptr, w32::EnumKey(id), &key) != STATUS_SUCCESS)
        return w32::Fail(ERROR_NO_SUCH_DEVINST);
    // No data clears the property.
    NTSTATUS st = PropertyBuffer ? reg::SetValue(key, p->value, p->type, PropertyBuffer, PropertyBufferSize)
                                 : reg::DeleteValue(key, p->value);
    if (!NT_SUCCESS(st) && !(st == STATUS_OBJECT_NAME_NOT_FOUND && !PropertyBuffer))
        return w32::FailStatus(st);
    return TRUE;
}

extern "C" BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    w32::Enter("SetupDiDestroyDeviceInfoList");
    if (!w32::LookupSet(DeviceInfoSet) || !w32::RemoveHandle(DeviceInfoSet))
        return w32::Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
