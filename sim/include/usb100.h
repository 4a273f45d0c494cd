// USB 1.x descriptor definitions: on Windows this header and usb200.h carry
// the descriptors that sim/usb_chapter9.h holds.
#pragma once

#include "sim/usb_chapter9.h"
