// The simulated machine's ntddk.h: everything a WDM driver built here includes.
#pragma once

#include "wdm.h"
