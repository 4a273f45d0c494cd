// A doubly linked list of pointers whose nodes come from a lookaside pool of
// 128-byte entries. No lock of its own: every list is guarded by a lock of its
// owner held across each call, so it may be used at DISPATCH_LEVEL. The list
// never owns what the pointers point to.
#pragma once

#include "support/Event.h"
#include "support/LookasidePool.h"

struct PtrListNode {
    LIST_ENTRY Link;
    PVOID Data;
};

// Tag of the next list's node pool: "TSIL" for the first list, then the first
// byte counts up. Bumped without synchronisation: lists are created in
// constructors at PASSIVE_LEVEL, and a repeated tag is harmless.
extern ULONG g_ListPoolTag;

class CPtrList : public CTraceable {
public:
    static constexpr ULONG kNodeSize = 128;

    CPtrList();
    virtual ~CPtrList();

    // Slot order is part of the list's contract.
    virtual PVOID Item(LONG index);
    virtual PtrListNode* AddTail(PVOID data);
    virtual PtrListNode* AddHead(PVOID data);
    virtual BOOLEAN RemoveNode(PtrListNode* node);
    virtual BOOLEAN RemoveAt(LONG index);
    virtual PVOID GetAt(LONG index);
    virtual PVOID RemoveHead();
    virtual LONG GetCount();
    // The count read without the owner's lock: a value a moment old, never
    // torn. The writers hold the lock and store it whole.
    LONG CountNoLock() const { return ReadNoFence(&m_Count); }
    virtual BOOLEAN WaitEmpty();
    virtual void WaitAdded();

    // The index of the first entry holding `data`, or -1.
    LONG IndexOf(PVOID data);
    // Removes the first entry holding `data`; FALSE when there is none.
    BOOLEAN RemoveItem(PVOID data);

    ULONG m_Paged;
    LIST_ENTRY m_Head;
    PtrListNode* m_Cursor;
    LONG m_CursorIndex;
    LONG m_Count;
    CLookasidePool* m_Pool;
    // The node of the last removal, kept for the next insertion: a list that
    // takes one entry and gives it back, over and over (one request at a
    // time), asks the pool for nothing. Guarded as the list is.
    PtrListNode* m_Spare;
    CEvent m_EmptyEvent;
    CEvent m_AddedEvent;

private:
    CPtrList(const CPtrList&);
    CPtrList& operator=(const CPtrList&);

    void CreatePool();
    PtrListNode* NewNode(PVOID data);
    PtrListNode* Insert(PVOID data, BOOLEAN atHead);
    void Seek(LONG index);
    void UnsetCursor()
    {
        m_Cursor = NULL;
        m_CursorIndex = -1;
    }
    void Unlink(PtrListNode* node);
};
