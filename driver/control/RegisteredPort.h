// What the control device needs of a port it lists, and no more: the control
// device knows nothing else of ports, which reach it through this.
#pragma once

#include "core/Platform.h"

class CRegisteredPort {
public:
    // The port's physical device object: requests go to the top of its stack.
    virtual PDEVICE_OBJECT PhysicalDevice() = 0;
    // TRUE when the port's driver key name is exactly `key`, character by
    // character up to and including the terminator (no case folding).
    virtual BOOLEAN HasDriverKey(const WCHAR* key) = 0;
    // A request the control device forwards holds a unit of the port's
    // pending-I/O counter from its lookup, under the control device's list
    // lock, to its end. Any IRQL <= DISPATCH_LEVEL.
    virtual void BeginControlRequest() = 0;
    virtual void EndControlRequest() = 0;

protected:
    ~CRegisteredPort() {}
};
