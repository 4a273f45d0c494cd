// Kernel headers for the virtual bus, as the product driver includes them:
// the target build finds mingw-w64's DDK headers, the host build the
// simulated machine's.
#pragma once

// mingw-w64's wdm.h defines these two itself: keep its intrinsic header from
// defining them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

extern "C" DRIVER_INITIALIZE DriverEntry;
