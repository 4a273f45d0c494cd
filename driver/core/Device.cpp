#include "core/Device.h"

#define FORWARD_TO_DEFAULT(Method)                                                                                     \
    NTSTATUS CDevice::Method(PDEVICE_OBJECT DeviceObject, PIRP Irp)                                                    \
    {                                                                                                                  \
        Trace(kTraceEntry, #Method);                                                                                   \
        return DispatchDefault(DeviceObject, Irp);                                                                     \
    }

FORWARD_TO_DEFAULT(DispatchCreate)
FORWARD_TO_DEFAULT(DispatchClose)
FORWARD_TO_DEFAULT(DispatchRead)
FORWARD_TO_DEFAULT(DispatchWrite)
FORWARD_TO_DEFAULT(DispatchDevCtrl)
FORWARD_TO_DEFAULT(DispatchIntrenalDevCtrl)
FORWARD_TO_DEFAULT(DispatchShutdown)
FORWARD_TO_DEFAULT(DispatchCleanup)
FORWARD_TO_DEFAULT(DispatchPower)
FORWARD_TO_DEFAULT(DispatchSysCtrl)
FORWARD_TO_DEFAULT(DispatchPnp)
FORWARD_TO_DEFAULT(DispatchOther)
