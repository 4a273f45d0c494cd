// A work item record: the IO_WORKITEM, the callback, and pointer-size slots for
// the callback's arguments. Lives from Create until the common routine has run
// the callback; the callback must not free it.
#pragma once

#include "core/Platform.h"

struct CWorkItem;
// The role type of a work item's callback; it runs at PASSIVE_LEVEL on a
// system worker thread.
typedef VOID WorkItemCallback(PDEVICE_OBJECT DeviceObject, CWorkItem* item);
typedef WorkItemCallback* WorkItemRoutine;

struct CWorkItem {
    PIO_WORKITEM m_WorkItem;
    WorkItemRoutine m_Routine;
    ULONG m_Used;  // free for the creator's use
    ULONG m_SlotCount;
    PVOID m_Slots[1];  // m_SlotCount of them

    // Null when the record or the IO_WORKITEM cannot be allocated.
    static CWorkItem* Create(PDEVICE_OBJECT DeviceObject, ULONG slotCount);
    // Queues the item to the delayed work queue; m_Routine runs at PASSIVE_LEVEL.
    void Queue();
};
