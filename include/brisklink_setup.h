// setup.dll, the port's 32-bit installer library, as its callers see it.
//
// SetupPortName gives the installed port a new COM name. It renames the first
// present Ports-class device whose first hardware id begins with
// USB\VID_5A1E&PID_0101 or USB\VID_5A1E&PID_0102 and that holds a readable
// PortName: it writes `newName` there, moves the port number's reservation in
// the system's COM name arbiter (ComDB), sets the friendly name
// "Nivex PXB Port (<newName>)" and asks the running driver, through its
// control device, to re-create the port's COM link at once.
//
// Returns 1 when the name was written, 0 when nothing was changed: no such
// device, a null name, a name longer than BLNK_MAX_PORT_NAME_CHARS, or a
// failed write. A failure of the arbiter update, the friendly name or the
// driver's notification leaves the result 1: the new name takes effect at
// the device's next start at the latest. The name is not checked for form.
#pragma once

#include <windows.h>

// The longest name a port can be given: what the library can read back for
// the next rename.
#define BLNK_MAX_PORT_NAME_CHARS 1024

#ifdef __cplusplus
extern "C" {
#endif

BOOLEAN WINAPI SetupPortName(PCWSTR newName);
typedef BOOLEAN(WINAPI* PFN_SETUP_PORT_NAME)(PCWSTR newName);

#ifdef __cplusplus
}
#endif
