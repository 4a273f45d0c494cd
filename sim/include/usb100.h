// USB 1.x descriptor definitions: on Windows this header and usb200.h carry
// the descriptors that usbspec.h now holds.
#pragma once

#include "usbspec.h"
