#include "support/PtrList.h"

#include "core/Pool.h"
#include "core/PoolTags.h"

ULONG g_ListPoolTag = kTagListNodesFirst;

CPtrList::CPtrList()
    : m_Paged(0), m_Cursor(NULL), m_CursorIndex(-1), m_Count(0), m_Pool(NULL), m_Spare(NULL), m_EmptyEvent(TRUE),
      m_AddedEvent(FALSE)
{
    InitializeListHead(&m_Head);
    CreatePool();
}

CPtrList::~CPtrList()
{
    while (GetCount() != 0) {
        RemoveHead();
    }
    if (m_Spare != NULL) {
        m_Pool->Free(m_Spare);
        m_Spare = NULL;
    }
    if (m_Pool != NULL) {
        m_Pool->Release();
        m_Pool = NULL;
    }
}

void CPtrList::CreatePool()
{
    PVOID block = PoolAlloc(NonPagedPool, sizeof(CLookasidePool), kTagListPool);
    CLookasidePool* pool = NULL;
    if (block != NULL) {
        pool = new (block) CLookasidePool(m_Paged, kNodeSize, g_ListPoolTag);
        pool->AddRef();
    }
    if (m_Pool != NULL) {
        m_Pool->Release();
    }
    m_Pool = pool;
    g_ListPoolTag++;
}

PtrListNode* CPtrList::NewNode(PVOID data)
{
    if (m_Pool == NULL) {
        return NULL;
    }
    PtrListNode* node = m_Spare;
    if (node != NULL) {
        m_Spare = NULL;
        node->Data = data;
        return node;
    }
    node = (PtrListNode*)m_Pool->Allocate();
    if (node == NULL) {
        Trace(kTraceFailure, "CPtrList no node");
        return NULL;
    }
    node->Data = data;
    return node;
}

PtrListNode* CPtrList::Insert(PVOID data, BOOLEAN atHead)
{
    PtrListNode* node = NewNode(data);
    if (node == NULL) {
        return NULL;
    }
    if (atHead) {
        InsertHeadList(&m_Head, &node->Link);
        // Every index shifts by one: a remembered position would now be wrong.
        UnsetCursor();
    } else {
        InsertTailList(&m_Head, &node->Link);
    }
    WriteNoFence(&m_Count, m_Count + 1);
    m_EmptyEvent.Clear();
    m_AddedEvent.Set();
    return node;
}

PtrListNode* CPtrList::AddTail(PVOID data)
{
    return Insert(data, FALSE);
}

PtrListNode* CPtrList::AddHead(PVOID data)
{
    return Insert(data, TRUE);
}

void CPtrList::Seek(LONG index)
{
    if (index < 0) {
        UnsetCursor();
        return;
    }
    PLIST_ENTRY entry;
    LONG at;
    if (m_Cursor == NULL || m_CursorIndex > index) {
        entry = m_Head.Flink;
        at = 0;
    } else {
        entry = &m_Cursor->Link;
        at = m_CursorIndex;
    }
    while (entry != &m_Head) {
        if (at == index) {
            m_Cursor = CONTAINING_RECORD(entry, PtrListNode, Link);
            m_CursorIndex = at;
            return;
        }
        entry = entry->Flink;
        at++;
    }
    UnsetCursor();
}

PVOID CPtrList::GetAt(LONG index)
{
    Seek(index);
    return m_Cursor != NULL ? m_Cursor->Data : NULL;
}

PVOID CPtrList::Item(LONG index)
{
    return GetAt(index);
}

void CPtrList::Unlink(PtrListNode* node)
{
    RemoveEntryList(&node->Link);
    UnsetCursor();
    if (m_Spare == NULL) {
        m_Spare = node;
    } else {
        m_Pool->Free(node);
    }
    WriteNoFence(&m_Count, m_Count - 1);
    if (m_Count == 0) {
        m_EmptyEvent.Set();
    }
}

BOOLEAN CPtrList::RemoveAt(LONG index)
{
    Seek(index);
    if (m_Cursor != NULL) {
        Unlink(m_Cursor);
    }
    return TRUE;
}

BOOLEAN CPtrList::RemoveNode(PtrListNode* node)
{
    Unlink(node);
    return TRUE;
}

PVOID CPtrList::RemoveHead()
{
    if (GetCount() == 0) {
        return NULL;
    }
    PVOID data = GetAt(0);
    RemoveAt(0);
    return data;
}

LONG CPtrList::IndexOf(PVOID data)
{
    LONG index = 0;
    for (PLIST_ENTRY entry = m_Head.Flink; entry != &m_Head; entry = entry->Flink, index++) {
        if (CONTAINING_RECORD(entry, PtrListNode, Link)->Data == data) {
            return index;
        }
    }
    return -1;
}

BOOLEAN CPtrList::RemoveItem(PVOID data)
{
    for (PLIST_ENTRY entry = m_Head.Flink; entry != &m_Head; entry = entry->Flink) {
        PtrListNode* node = CONTAINING_RECORD(entry, PtrListNode, Link);
        if (node->Data == data) {
            Unlink(node);
            return TRUE;
        }
    }
    return FALSE;
}

LONG CPtrList::GetCount()
{
    return m_Count;
}

BOOLEAN CPtrList::WaitEmpty()
{
    if (m_Count == 0) {
        return FALSE;
    }
    return m_EmptyEvent.Wait();
}

void CPtrList::WaitAdded()
{
    m_AddedEvent.Wait();
    m_AddedEvent.Clear();
}
