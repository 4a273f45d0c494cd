// The abstract device: one virtual dispatch method per IRP major function. The
// routing layer finds the object through the one-pointer device extension and
// calls the slot for the IRP's major code; slot order is the routing contract.
#pragma once

#include "core/RefObject.h"

// PnP states of a device (the value 1 is not used).
enum PnpState : ULONG {
    NotStarted = 0,
    Started = 2,
    StopPending = 3,
    Stopped = 4,
    RemovePending = 5,
    SurpriseRemoved = 6,
    Removed = 7,
};

class CDevice : public virtual CTraceable {
public:
    CDevice() : m_DeviceObject(NULL), m_PnpState(NotStarted), m_PrevPnpState(NotStarted) {}

    // Slots 0-11 forward to DispatchDefault unless a concrete class overrides them.
    virtual NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchIntrenalDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    virtual NTSTATUS DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    // Slot 12: what every unhandled request comes to; each concrete class decides.
    virtual NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) = 0;

    // Completes a request this device owns with `status` (no priority
    // boost); returns the status. Any IRQL up to DISPATCH_LEVEL.
    static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status)
    {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    // The object behind a device object, or null when the link is cut.
    static CDevice* FromDeviceObject(PDEVICE_OBJECT DeviceObject)
    {
        CDevice** extension = (CDevice**)DeviceObject->DeviceExtension;
        return extension != NULL ? *extension : NULL;
    }

    // Ties a freshly created device object to this object; call before the
    // device object is marked initialised.
    void LinkDeviceObject(PDEVICE_OBJECT DeviceObject)
    {
        *(CDevice**)DeviceObject->DeviceExtension = this;
        m_DeviceObject = DeviceObject;
    }

    // The state as any thread sees it: PnP requests (one at a time, at
    // PASSIVE_LEVEL) change it while reads, completions, DPCs and the
    // delivery loop look at it without a lock, accepting a value a moment old.
    ULONG PnpState() const { return ReadULongNoFence(&m_PnpState); }
    // PnP requests only; the state before is kept so that a cancel can restore it.
    void EnterPnpState(ULONG state)
    {
        m_PrevPnpState = m_PnpState;
        WriteULongNoFence(&m_PnpState, state);
    }
    void RestorePnpState() { WriteULongNoFence(&m_PnpState, m_PrevPnpState); }

    PDEVICE_OBJECT m_DeviceObject;
    volatile ULONG m_PnpState;  // written by PnP requests only, through the two routines above
    ULONG m_PrevPnpState;
};
