#include "PortList.h"

#include <setupapi.h>

#include "Text.h"

namespace {

// GUID_DEVCLASS_PORTS, defined here: <initguid.h> would define it a second time.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

PCWSTR const kSupportedIds[] = {L"USB\\VID_5A1E&PID_0101", L"USB\\VID_5A1E&PID_0102"};
const ULONG kSupportedIdChars = 21;

USHORT HexValue(PCWSTR text)
{
    USHORT v = 0;
    for (ULONG i = 0; i < 4; i++) {
        WCHAR c = text[i];
        ULONG digit = (c >= L'0' && c <= L'9')   ? c - L'0'
                      : (c >= L'A' && c <= L'F') ? c - L'A' + 10
                      : (c >= L'a' && c <= L'f') ? c - L'a' + 10
                                                 : 0;
        v = (USHORT)(v * 16 + digit);
    }
    return v;
}

// A string property into `to` (room characters, terminated); empty when
// unset, unreadable or too long.
void ReadProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PWSTR to, ULONG room)
{
    DWORD type = 0;
    // One character more than the room, zeroed: the text always ends within it.
    to[0] = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<PBYTE>(to),
                                           (room - 1) * sizeof(WCHAR), NULL) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        to[0] = 0;
    }
    to[room - 1] = 0;
}

// The hardware key's PortName, read as setup.dll reads it: REG_SZ or
// REG_EXPAND_SZ, even size, terminated within the value.
bool ReadPortName(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR to, ULONG room)
{
    to[0] = 0;
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD type = 0;
    DWORD bytes = (room - 1) * sizeof(WCHAR);
    LONG e = RegQueryValueExW(key, L"PortName", NULL, &type, reinterpret_cast<LPBYTE>(to), &bytes);
    RegCloseKey(key);
    ULONG chars = bytes / sizeof(WCHAR);
    bool ok = e == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && bytes % 2 == 0 &&
              (bytes == 0 || to[chars - 1] == 0);
    if (!ok) {
        to[0] = 0;
    }
    to[ok ? chars : 0] = 0;
    return ok;
}

}  // namespace

DWORD ListPorts(CPortList* list)
{
    list->count = 0;
    list->truncated = false;
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
        WCHAR ids[160] = {};
        ReadProperty(set, &device, SPDRP_HARDWAREID, ids, 160);
        bool supported = false;
        for (PCWSTR id : kSupportedIds) {
            supported = supported || StartsWithNoCase(ids, id, kSupportedIdChars);
        }
        if (!supported) {
            continue;
        }
        if (list->count == CPortList::kMaxPorts) {
            list->truncated = true;
            break;
        }
        CPortEntry& port = list->ports[list->count++];
        port = CPortEntry();
        if (!SetupDiGetDeviceInstanceIdW(set, &device, port.instance, 200, NULL)) {
            port.instance[0] = 0;
        }
        ReadProperty(set, &device, SPDRP_FRIENDLYNAME, port.friendlyName, 160);
        ReadProperty(set, &device, SPDRP_DRIVER, port.driverKey, 96);
        port.portNameReadable = ReadPortName(set, &device, port.portName, kPortNameRoom);
        // "USB\VID_xxxx&PID_yyyy": the digits sit at fixed places.
        port.vendorId = HexValue(ids + 8);
        port.productId = HexValue(ids + 17);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ERROR_SUCCESS;
}

const CPortEntry* RenameCandidate(const CPortList& list)
{
    for (ULONG i = 0; i < list.count; i++) {
        if (list.ports[i].portNameReadable) {
            return &list.ports[i];
        }
    }
    return nullptr;
}

void* AllocZeroed(SIZE_T bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeBlock(void* block)
{
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}
