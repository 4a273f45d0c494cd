// USB 2.0 definitions (see sim/usb_chapter9.h).
#pragma once

#include "sim/usb_chapter9.h"
