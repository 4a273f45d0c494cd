// The steps SetupPortName is made of, each usable on its own (and by tests).
// None keeps state between calls; each releases what it opened on every path.
#pragma once

#include <windows.h>

// The COM number a port name stands for: "COM" in any letter case followed
// by nothing but decimal digits ("COM7" is 7, "com12" is 12, "COM" alone is
// 0). -1 for any other name ("COM5x", "LPT1", "Printer"). Numbers too large
// for a LONG give LONG's maximum, which no arbiter bitmap holds.
LONG ProbeComPortName(PCWSTR name);

// Claims (sets) or releases (clears) COM`number`'s bit in the COM name
// arbiter's bitmap, HKLM\System\CurrentControlSet\Control\COM Name Arbiter
// value ComDB (REG_BINARY; bit (n-1) mod 8 of byte (n-1) div 8). Numbers
// below 1 change nothing. The bitmap is rewritten at the size it had: it
// never grows, and a bit beyond it is not stored. A key that is missing, a
// value that is not REG_BINARY or is longer than 256 bytes (ports beyond
// COM2048) is left alone. Not atomic against other writers.
void ComDbUpdate(LONG number, bool claim);

// Asks the driver to re-read the port name: IOCTL_VSERIAL_CONTROL_SET_PORT_NAME
// to \\.\BLNKControl, no buffers, waiting for it if it pends. False when the
// control device does not open (driver not loaded) or the request fails.
bool PokeControlDevice();
