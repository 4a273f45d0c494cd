// SetupPortName: finds the port's device among the present Ports-class
// devices, writes its new PortName, and brings the COM name arbiter, the
// friendly name and the running driver in step.
#include <brisklink_setup.h>

#include <setupapi.h>

#include "PortNaming.h"
#include "WideString.h"

namespace {

// setupapi checks the record's size against the process's: 28 bytes in the
// 32-bit DLL, 32 in a 64-bit program built from the same sources.
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28), "SP_DEVINFO_DATA layout");

// GUID_DEVCLASS_PORTS, defined here: <initguid.h> would define it a second time.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The device's first hardware id must begin with one of these; what follows
// them (a revision, "&REV_0200") does not matter.
PCWSTR const kSupportedIds[] = {L"USB\\VID_5A1E&PID_0101", L"USB\\VID_5A1E&PID_0102"};
const ULONG kSupportedIdChars = 21;

const WCHAR kPortNameValue[] = L"PortName";
const WCHAR kFriendlyNameFormat[] = L"Nivex PXB Port (%s)";

// What a device's hardware id list fits in as a rule; a longer list is read
// again at its size.
const ULONG kIdListChars = 128;

enum class Candidate { No, Yes, OutOfMemory };

WCHAR UpperAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c;
}

// Compares up to the first difference, so never past the end of `id`.
bool StartsWithId(PCWSTR id, PCWSTR supported)
{
    for (ULONG i = 0; i < kSupportedIdChars; i++) {
        if (UpperAscii(id[i]) != UpperAscii(supported[i])) {
            return false;
        }
    }
    return true;
}

bool IsSupportedId(PCWSTR firstId)
{
    for (PCWSTR supported : kSupportedIds) {
        if (StartsWithId(firstId, supported)) {
            return true;
        }
    }
    return false;
}

// Whether the device's first hardware id names a supported device. The
// buffers are zeroed, so the comparison ends at a NUL within them whatever
// the property holds.
Candidate CheckHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    WCHAR ids[kIdListChars + 1] = {};
    DWORD needed = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, reinterpret_cast<PBYTE>(ids),
                                          kIdListChars * sizeof(WCHAR), &needed)) {
        return IsSupportedId(ids) ? Candidate::Yes : Candidate::No;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= kIdListChars * sizeof(WCHAR)) {
        return Candidate::No;
    }
    CWideString list;
    ULONG chars = needed / sizeof(WCHAR) + 1;
    if (!list.Reserve(chars)) {
        return Candidate::OutOfMemory;
    }
    PWSTR buffer = list.Buffer();
    for (ULONG i = 0; i <= chars; i++) {
        buffer[i] = 0;
    }
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, reinterpret_cast<PBYTE>(buffer),
                                           chars * sizeof(WCHAR), &needed)) {
        return Candidate::No;
    }
    return IsSupportedId(buffer) ? Candidate::Yes : Candidate::No;
}

// Reads the device's PortName into `name` (whose room the caller reserved):
// REG_SZ or REG_EXPAND_SZ, empty, or NUL-terminated within its size and no
// longer than BLNK_MAX_PORT_NAME_CHARS. Any other value makes the device no
// candidate.
bool ReadPortName(HKEY key, CWideString& name)
{
    const ULONG room = BLNK_MAX_PORT_NAME_CHARS + 1;
    PWSTR buffer = name.Buffer();
    buffer[room] = 0;
    DWORD type = REG_NONE;
    DWORD size = room * sizeof(WCHAR);
    if (RegQueryValueExW(key, kPortNameValue, NULL, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS) {
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return false;
    }
    if (size == 0) {
        name.Seal(0);
        return true;
    }
    if (size % sizeof(WCHAR) != 0 || buffer[size / sizeof(WCHAR) - 1] != 0) {
        return false;
    }
    name.Seal(size / sizeof(WCHAR));
    return true;
}

// The rest of a rename, once the new name is written; each step's failure is
// silent, the name itself being in place.
void FollowRename(HDEVINFO set, PSP_DEVINFO_DATA device, const CWideString& oldName, const CWideString& newName)
{
    ComDbUpdate(ProbeComPortName(oldName.Text()), false);
    ComDbUpdate(ProbeComPortName(newName.Text()), true);
    CWideString friendly;
    if (friendly.Format(kFriendlyNameFormat, newName.Text())) {
        SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_FRIENDLYNAME,
                                          reinterpret_cast<const BYTE*>(friendly.Text()),
                                          (friendly.Length() + 1) * sizeof(WCHAR));
    }
    PokeControlDevice();
}

}  // namespace

extern "C" BOOLEAN WINAPI SetupPortName(PCWSTR newName)
{
    // A longer name could be written, but never read back by the next rename.
    if (newName == nullptr || WideLength(newName, BLNK_MAX_PORT_NAME_CHARS + 1) > BLNK_MAX_PORT_NAME_CHARS) {
        return FALSE;
    }
    // All the memory the search needs is taken before anything changes: a
    // shortage then ends the call with nothing changed, instead of skipping
    // a device and renaming another.
    CWideString name;
    CWideString oldName;
    if (!name.Assign(newName) || !oldName.Reserve(BLNK_MAX_PORT_NAME_CHARS + 1)) {
        return FALSE;
    }
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    BOOLEAN renamed = FALSE;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; !renamed && SetupDiEnumDeviceInfo(set, index, &device); index++) {
        Candidate candidate = CheckHardwareIds(set, &device);
        if (candidate == Candidate::OutOfMemory) {
            break;
        }
        if (candidate == Candidate::No) {
            continue;
        }
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        if (ReadPortName(key, oldName) &&
            RegSetValueExW(key, kPortNameValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.Text()),
                           (name.Length() + 1) * sizeof(WCHAR)) == ERROR_SUCCESS) {
            renamed = TRUE;
            if (!oldName.Equals(name)) {
                FollowRename(set, &device, oldName, name);
            }
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return renamed;
}
