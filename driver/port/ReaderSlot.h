// One reader slot: an interrupt-IN transfer that stays queued at the USB stack.
#pragma once

#include "support/MemBuffer.h"

class CSerialDevice;

const ULONG kReaderSlots = 2;

struct CReadContext {
    CReadContext() : m_Device(NULL), m_Urb(NonPagedPool), m_Packet(NonPagedPool), m_Irp(NULL), m_InFlight(FALSE) {}

    CSerialDevice* m_Device;
    CMemBuffer m_Urb;     // the 128-byte bulk/interrupt URB
    CMemBuffer m_Packet;  // one packet: the IN pipe's MaximumPacketSize
    PIRP m_Irp;           // allocated once, reused for every transfer
    BOOLEAN m_InFlight;   // guarded by the owner's m_ReaderLock
};
