#include "PortNaming.h"

namespace {

const WCHAR kArbiterKey[] = L"System\\CurrentControlSet\\Control\\COM Name Arbiter";
const WCHAR kComDbValue[] = L"ComDB";
// COM1 to COM2048: the most of the bitmap this library reads.
const DWORD kMaxComDbBytes = 256;

}  // namespace

void ComDbUpdate(LONG number, bool claim)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArbiterKey, 0, GENERIC_READ | GENERIC_WRITE, &key) != ERROR_SUCCESS) {
        return;
    }
    BYTE bitmap[kMaxComDbBytes] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(bitmap);
    if (RegQueryValueExW(key, kComDbValue, NULL, &type, bitmap, &size) == ERROR_SUCCESS && type == REG_BINARY &&
        size <= sizeof(bitmap)) {
        if (number >= 1 && (DWORD)(number - 1) / 8 < kMaxComDbBytes) {
            BYTE bit = (BYTE)(1u << ((number - 1) % 8));
            BYTE& byte = bitmap[(number - 1) / 8];
            byte = claim ? (BYTE)(byte | bit) : (BYTE)(byte & ~bit);
        }
        // At the size read: a bit beyond it is dropped, never stored.
        RegSetValueExW(key, kComDbValue, 0, REG_BINARY, bitmap, size);
    }
    RegCloseKey(key);
}
