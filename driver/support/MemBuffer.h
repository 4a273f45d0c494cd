// A growable byte buffer ("EMEM"). Growing reserves 20 % over the request so
// that small later growth needs no new block. Not locked.
#pragma once

#include "core/RefObject.h"

class CMemBuffer : public CTraceable {
public:
    explicit CMemBuffer(POOL_TYPE poolType = NonPagedPool)
        : m_PoolType(poolType), m_Data(NULL), m_Size(0), m_Capacity(0)
    {
    }
    ~CMemBuffer();

    // Allocates a block of requested*6/5 bytes, keeps the bytes in use, and
    // returns the new size; on failure (or a request that cannot be met)
    // keeps everything and returns the old size.
    LONG Resize(LONG requested);
    // Gives the buffer a size of `bytes`, keeping the block when its capacity
    // suffices (contents stay where they are); TRUE when it then has a block of that size.
    BOOLEAN SizeTo(LONG bytes);

    PUCHAR Data() const { return (PUCHAR)m_Data; }

    POOL_TYPE m_PoolType;
    PVOID m_Data;
    LONG m_Size;
    LONG m_Capacity;

private:
    CMemBuffer(const CMemBuffer&);
    CMemBuffer& operator=(const CMemBuffer&);
};
