// USB 2.0 definitions (see usbspec.h).
#pragma once

#include "usbspec.h"
