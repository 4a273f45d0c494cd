#include "support/MemBuffer.h"

#include "core/Pool.h"
#include "core/PoolTags.h"

CMemBuffer::~CMemBuffer()
{
    if (m_Data != NULL) {
        PoolFree(m_Data);
    }
}

LONG CMemBuffer::Resize(LONG requested)
{
    Trace(kTraceEntry, "CMemBuffer::Resize %d", requested);
    // The reserve is computed wide: requests above 357913941 bytes would
    // overflow 32-bit arithmetic, and such a capacity cannot be described.
    LONGLONG capacity = (LONGLONG)requested * 6 / 5;
    if (requested < 0 || capacity > MAXLONG) {
        return m_Size;
    }
    PVOID block = PoolAlloc(m_PoolType, (SIZE_T)capacity, kTagMemory);
    if (block == NULL) {
        Trace(kTraceFailure, "CMemBuffer::Resize failed");
        return m_Size;
    }
    if (m_Size != 0 && m_Data != NULL) {
        LONG keep = m_Size < (LONG)capacity ? m_Size : (LONG)capacity;
        RtlCopyMemory(block, m_Data, keep);
    }
    if (m_Data != NULL) {
        PoolFree(m_Data);
    }
    m_Data = block;
    m_Capacity = (LONG)capacity;
    m_Size = requested;
    return requested;
}

BOOLEAN CMemBuffer::SizeTo(LONG bytes)
{
    if (bytes < 0) {
        return FALSE;
    }
    if (m_Data != NULL && m_Capacity >= bytes) {
        m_Size = bytes;
        return TRUE;
    }
    return Resize(bytes) == bytes && m_Data != NULL;
}
