#include "support/CircularBuffer.h"

CCircularBuffer::CCircularBuffer()
    : m_ReadIndex(0), m_WriteIndex(0), m_Count(0), m_RingSize(kDefaultSize), m_Store(NonPagedPool)
{
    if (!m_Store.SizeTo(kDefaultSize)) {
        // Without a store nothing can be held: behave as a ring of size 0.
        m_RingSize = 0;
    }
}

LONG CCircularBuffer::Put(const UCHAR* source, LONG length)
{
    if (length <= 0) {
        return 0;
    }
    LONG room = m_RingSize - m_Count;
    LONG n = length < room ? length : room;
    if (n <= 0) {
        Trace(kTraceFailure, "CCircularBuffer buffer overload");
        return 0;
    }
    PUCHAR store = m_Store.Data();
    LONG toEnd = m_RingSize - m_WriteIndex;
    if (n > toEnd) {
        RtlCopyMemory(store + m_WriteIndex, source, toEnd);
        RtlCopyMemory(store, source + toEnd, n - toEnd);
        m_WriteIndex = n - toEnd;
    } else {
        RtlCopyMemory(store + m_WriteIndex, source, n);
        m_WriteIndex += n;
        if (m_WriteIndex == m_RingSize) {
            m_WriteIndex = 0;
        }
    }
    WriteNoFence(&m_Count, m_Count + n);
    return n;
}

LONG CCircularBuffer::Get(UCHAR* destination, LONG length)
{
    if (length <= 0) {
        return 0;
    }
    LONG n = length < m_Count ? length : m_Count;
    if (n <= 0) {
        return 0;
    }
    PUCHAR store = m_Store.Data();
    LONG toEnd = m_RingSize - m_ReadIndex;
    if (n > toEnd) {
        RtlCopyMemory(destination, store + m_ReadIndex, toEnd);
        RtlCopyMemory(destination + toEnd, store, n - toEnd);
        m_ReadIndex = n - toEnd;
    } else {
        RtlCopyMemory(destination, store + m_ReadIndex, n);
        m_ReadIndex += n;
        if (m_ReadIndex == m_RingSize) {
            m_ReadIndex = 0;
        }
    }
    WriteNoFence(&m_Count, m_Count - n);
    return n;
}

BOOLEAN CCircularBuffer::SetSize(LONG size)
{
    if (size < 0 || !m_Store.SizeTo(size)) {
        return FALSE;
    }
    m_RingSize = size;
    m_ReadIndex = 0;
    m_WriteIndex = 0;
    WriteNoFence(&m_Count, 0);
    return TRUE;
}
