// The driver's one control device: the registry of its ports (which one owns
// the driver-wide COM name) and "\Device\BLNKControl", through which programs
// query a port by its driver key name, or make the first port re-read its
// name. The object lives from DriverEntry to DriverUnload; its device object
// comes with the first AddDevice and goes with the last port's removal.
//
// Locks: m_ListLock (a spin lock) guards m_SerialDevices and m_ActiveDevice;
// m_CreateLock (an event used as a mutex, PASSIVE_LEVEL) serialises the
// creation and deletion of the device object. A routine holds at most one.
#pragma once

#include "control/RegisteredPort.h"
#include "core/Device.h"
#include "log/TraceLog.h"
#include "support/IoCounter.h"
#include "support/Lock.h"
#include "support/PtrList.h"

#include <brisklink_ioctl.h>

class CControlDevice : public CDevice {
public:
    CControlDevice();
    ~CControlDevice() override;

    // The dispatch slots (PASSIVE_LEVEL, the caller's thread).
    NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;

    // Slot 13: creates the device object and its link unless they exist.
    virtual NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject);
    // Slot 14: deletes them; open handles keep the object until they close.
    virtual NTSTATUS DeleteDevice();

    // The registry of ports (any IRQL <= DISPATCH_LEVEL, but RegisterDevice:
    // PASSIVE_LEVEL, it may log).
    void RegisterDevice(CRegisteredPort* device);
    BOOLEAN UnregisterDevice(CRegisteredPort* device);
    // The first port to ask while no port owns the driver-wide name gets it.
    BOOLEAN ClaimActiveDevice(CRegisteredPort* device);
    void ReleaseActiveDevice(CRegisteredPort* device);
    LONG DeviceCount();

    CTraceLog m_Log;  // the log lines about naming and about several devices

private:
    // The registered port whose driver key name is `key` (compared exactly,
    // terminator included, within `maxChars` characters of the request), or
    // null. The port comes back holding a unit of its pending-I/O counter,
    // taken under m_ListLock: its removal, which unregisters it first, then
    // waits for the request. The caller gives the unit back with
    // EndControlRequest.
    CRegisteredPort* FindDeviceByKey(const WCHAR* key, ULONG maxChars);
    // The first registered port, held the same way; null when none is.
    CRegisteredPort* FirstDevice();
    // Sends `code` to the top of the port's stack and waits for it. PASSIVE_LEVEL.
    NTSTATUS ForwardIoctl(PDEVICE_OBJECT Pdo, ULONG code, PVOID buffer, ULONG outputLength);

    UNICODE_STRING m_ControlName;
    UNICODE_STRING m_ControlLink;
    CIoCounter m_IoCounter;           // one unit per request in progress and per open handle
    CRegisteredPort* m_ActiveDevice;  // guarded by m_ListLock
    CSpinLock m_ListLock;
    CEventLock m_CreateLock;
    CPtrList m_SerialDevices;  // guarded by m_ListLock; plain pointers, in registration order
};

// The driver's control device, or null while none exists (before the first
// AddDevice, after the last port's removal). PASSIVE_LEVEL.
CControlDevice* GetControlExtension();

// The one control device object of the driver (null when it could not be
// allocated). Created by DriverEntry, destroyed by DriverUnload.
extern CControlDevice* g_ControlDevice;
