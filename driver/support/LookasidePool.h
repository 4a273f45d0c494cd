// A reference-counted pool of fixed-size entries over a lookaside list, so that
// list nodes can be had at DISPATCH_LEVEL without a general pool allocation in
// the common case. Exactly one of the two lists exists (none if its head could
// not be allocated; then every Allocate fails).
#pragma once

#include "core/RefObject.h"
#include "support/IoCounter.h"

class CLookasidePool : public CTraceable {
public:
    CLookasidePool(ULONG paged, ULONG entrySize, ULONG tag);
    virtual ~CLookasidePool();

    PVOID Allocate();
    void Free(PVOID entry);

    PNPAGED_LOOKASIDE_LIST m_NPagedList;
    PPAGED_LOOKASIDE_LIST m_PagedList;
    ULONG m_Tag;
    CIoCounter m_Entries;  // entries handed out, over a base of 1
};
