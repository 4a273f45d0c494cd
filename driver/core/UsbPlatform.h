// The USB bus interface (URBs, descriptors, the USBD library), in the order the
// headers need.
#pragma once

#include "core/Platform.h"

extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}
