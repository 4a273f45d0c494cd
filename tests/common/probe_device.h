// A device class for tests of the routing layer: it records which dispatch
// method an IRP reached and completes the IRP itself.
#pragma once

#include "core/Device.h"
#include "core/Pool.h"
#include "core/PoolTags.h"

#include <string>

class CProbeDevice : public CDevice {
public:
#define PROBE_METHOD(Name)                                                                                             \
    NTSTATUS Name(PDEVICE_OBJECT DeviceObject, PIRP Irp) override                                                      \
    {                                                                                                                  \
        return Complete(#Name, Irp);                                                                                   \
    }
    PROBE_METHOD(DispatchCreate)
    PROBE_METHOD(DispatchClose)
    PROBE_METHOD(DispatchRead)
    PROBE_METHOD(DispatchWrite)
    PROBE_METHOD(DispatchDevCtrl)
    PROBE_METHOD(DispatchIntrenalDevCtrl)
    PROBE_METHOD(DispatchShutdown)
    PROBE_METHOD(DispatchCleanup)
    PROBE_METHOD(DispatchPower)
    PROBE_METHOD(DispatchSysCtrl)
    PROBE_METHOD(DispatchPnp)
    PROBE_METHOD(DispatchOther)
    PROBE_METHOD(DispatchDefault)
#undef PROBE_METHOD

    NTSTATUS Complete(const char* method, PIRP Irp)
    {
        m_LastMethod = method;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    // Creates the object in pool as the driver does and ties a new device
    // object of `driver` to it.
    static CProbeDevice* Create(PDRIVER_OBJECT driver, const WCHAR* name)
    {
        void* block = PoolAlloc(NonPagedPool, sizeof(CProbeDevice), kTagDevice);
        CProbeDevice* probe = new (block) CProbeDevice();
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, name);
        PDEVICE_OBJECT device = NULL;
        if (IoCreateDevice(driver, sizeof(CDevice*), name ? &deviceName : NULL, FILE_DEVICE_UNKNOWN,
                           FILE_DEVICE_SECURE_OPEN, FALSE, &device) != STATUS_SUCCESS) {
            delete probe;
            return NULL;
        }
        probe->LinkDeviceObject(device);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return probe;
    }
    void Destroy()
    {
        IoDeleteDevice(m_DeviceObject);
        delete this;
    }

    std::string m_LastMethod;
};

// Only the required slot: everything reaches DispatchDefault through the
// framework's forwarding.
class CDefaultOnlyDevice : public CDevice {
public:
    NTSTATUS DispatchDefault(PDEVICE_OBJECT, PIRP Irp) override
    {
        m_DefaultCalls++;
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    int m_DefaultCalls = 0;
};
