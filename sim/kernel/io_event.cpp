// Named events (IoCreateNotificationEvent / IoCreateSynchronizationEvent):
// an event object in the namespace, alive while handles or references to it
// remain. Creating one that exists opens it and returns the same KEVENT.
#include "io_internal.h"

namespace sim {
namespace io {
namespace {

struct NamedEvent {
    KEVENT event;  // first: the object body is the KEVENT's address
    std::u16string key;
};
std::set<NamedEvent*> g_events;  // guarded by Lock()

void DestroyEvent(void* body)
{
    auto* e = reinterpret_cast<NamedEvent*>(body);
    KeCheckFreedMemory(&e->event, sizeof e->event, "ZwClose");
    Guard lock(Lock());
    RemoveEntryLocked(e->key);
    g_events.erase(e);
    delete e;
}

void CloseEventHandle(void* body)
{
    Dereference(body, "ZwClose");
}

PKEVENT CreateNamedEvent(PUNICODE_STRING name, PHANDLE handle, EVENT_TYPE type, const char* routine)
{
    RequireIrql(PASSIVE_LEVEL, routine);
    if (DriverCallFails(FaultSite::Object))
        return nullptr;
    std::u16string path = Text(name);
    auto* fresh = new NamedEvent();
    // Documented: a new named event starts in the signaled state.
    KeInitializeEvent(&fresh->event, type, TRUE);
    NamedEvent* e = nullptr;
    {
        Guard lock(Lock());
        std::u16string key;
        if (NT_SUCCESS(ResolveLocked(path, true, &key))) {
            NsEntry* found = FindEntryLocked(key);
            if (!found || found->kind != NsKind::Event) {
                delete fresh;
                return nullptr;
            }
            e = static_cast<NamedEvent*>(found->object);
            ReferenceLocked(e);
            delete fresh;
        } else {
            e = fresh;
            NsEntry entry;
            entry.kind = NsKind::Event;
            entry.object = e;
            entry.system = true;
            if (!NT_SUCCESS(InsertEntryLocked(path, entry, &e->key))) {
                delete e;
                return nullptr;
            }
            g_events.insert(e);
            RegisterObjectLocked(e, ObjKind::Event, DestroyEvent);
        }
    }
    *handle = InsertHandle(HandleKind::Event, e, CloseEventHandle);
    return &e->event;
}

}  // namespace

void EventsShutdownLocked()
{
    for (NamedEvent* e : g_events)
        delete e;
    g_events.clear();
}

}  // namespace io
}  // namespace sim

extern "C" PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    return sim::io::CreateNamedEvent(EventName, EventHandle, NotificationEvent, "IoCreateNotificationEvent");
}

extern "C" PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    return sim::io::CreateNamedEvent(EventName, EventHandle, SynchronizationEvent, "IoCreateSynchronizationEvent");
}
