#include "support/WorkItem.h"

#include "core/Pool.h"
#include "core/PoolTags.h"

namespace {

IO_WORKITEM_ROUTINE CommonWorkRoutine;

VOID CommonWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID context)
{
    PAGED_CODE();
    CWorkItem* item = (CWorkItem*)context;
    item->m_Routine(DeviceObject, item);
    IoFreeWorkItem(item->m_WorkItem);
    PoolFree(item);
}

}  // namespace

CWorkItem* CWorkItem::Create(PDEVICE_OBJECT DeviceObject, ULONG slotCount)
{
    SIZE_T bytes = FIELD_OFFSET(CWorkItem, m_Slots) + (SIZE_T)(slotCount != 0 ? slotCount : 1) * sizeof(PVOID);
    CWorkItem* item = (CWorkItem*)PoolAlloc(NonPagedPool, bytes, kTagWorkItem);
    if (item == NULL) {
        return NULL;
    }
    RtlZeroMemory(item, bytes);
    item->m_WorkItem = IoAllocateWorkItem(DeviceObject);
    if (item->m_WorkItem == NULL) {
        PoolFree(item);
        return NULL;
    }
    item->m_Used = 0;
    item->m_SlotCount = slotCount;
    return item;
}

void CWorkItem::Queue()
{
    IoQueueWorkItem(m_WorkItem, CommonWorkRoutine, DelayedWorkQueue, this);
}
