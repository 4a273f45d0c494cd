// Pool tags of every allocation the driver makes. The value is what the
// allocator receives; pool tools show its bytes in memory order (in quotes).
#pragma once

#include "core/Platform.h"

const ULONG kTagDevice = 0x45444243;          // "CBDE" device class objects
const ULONG kTagMemory = 0x4D454D45;          // "EMEM" string and byte buffers
const ULONG kTagListPool = 0x4C4C5043;        // "CPLL" list node pool objects
const ULONG kTagListNodesFirst = 0x4C495354;  // "TSIL", then "USIL", "VSIL"... per list
const ULONG kTagTimer = 0x00726D74;           // "tmr" timer and DPC blocks
const ULONG kTagWorkItem = 0x00004957;        // "WI" work item records
const ULONG kTagRequest = 0x00716552;         // "Req" data path request contexts
const ULONG kTagPower = 0x00727770;           // "pwr" power request contexts
