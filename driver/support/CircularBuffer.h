// The receive FIFO of the port. Full means full: new bytes are dropped, unread
// bytes are never overwritten. No lock of its own: every caller holds the
// owner's m_BufferInLock (so every operation runs at DISPATCH_LEVEL and the
// store is non-paged). m_Count may be read without the lock by readers that
// accept a value a moment old.
#pragma once

#include "support/MemBuffer.h"

class CCircularBuffer : public CTraceable {
public:
    static constexpr LONG kDefaultSize = 4096;

    CCircularBuffer();

    // Stores up to `length` bytes; returns how many fit.
    LONG Put(const UCHAR* source, LONG length);
    // Removes up to `length` bytes in arrival order; returns how many.
    LONG Get(UCHAR* destination, LONG length);
    // Gives the ring a new usable size and empties it (the store never shrinks).
    // FALSE, with the ring unchanged, when the store cannot grow.
    BOOLEAN SetSize(LONG size);
    // The number of unread bytes, for callers with or without the lock.
    LONG Count() const { return ReadNoFence(&m_Count); }

    volatile LONG m_ReadIndex;
    volatile LONG m_WriteIndex;
    volatile LONG m_Count;  // changed under the lock with WriteNoFence: lock-free readers see whole values
    LONG m_RingSize;
    CMemBuffer m_Store;
};
