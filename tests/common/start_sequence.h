// What a port's start asks of its device, in order, as the virtual bus logs
// it: the device descriptor (18 bytes), the configuration's 9-byte header,
// the whole configuration, its selection, then the two reader transfers on
// the IN endpoint. Shared by the kernel-side and the portable tests.
#pragma once

#include <sstream>

#include <gtest/gtest.h>
#include <vbus_ioctl.h>

#include "usb_descriptors.h"

#include <string>
#include <vector>

inline ::testing::AssertionResult IsStartSequence(const std::vector<VBUS_URB_LOG_ENTRY>& log,
                                                  uint32_t configLength = 32, uint8_t inEndpoint = 0x81)
{
    struct Step {
        const char* what;
        uint16_t function;
        uint8_t descriptorType;
        uint32_t length;  // 0: any
        uint8_t endpoint;
    };
    const Step steps[] = {
        {"device descriptor", usbdesc::kUrbGetDescriptorFromDevice, 1, 18, 0},
        {"configuration header", usbdesc::kUrbGetDescriptorFromDevice, 2, 9, 0},
        {"whole configuration", usbdesc::kUrbGetDescriptorFromDevice, 2, configLength, 0},
        {"selection", usbdesc::kUrbSelectConfiguration, 0, 0, 0},
        {"first reader", usbdesc::kUrbBulkOrInterruptTransfer, 0, 0, inEndpoint},
        {"second reader", usbdesc::kUrbBulkOrInterruptTransfer, 0, 0, inEndpoint},
    };
    size_t i = 0;
    for (const Step& step : steps) {
        if (i >= log.size()) {
            return ::testing::AssertionFailure() << "the log ends before the " << step.what;
        }
        const VBUS_URB_LOG_ENTRY& e = log[i++];
        if (e.Function != step.function || (step.descriptorType && e.DescriptorType != step.descriptorType) ||
            (step.length && e.RequestedLength != step.length) || (step.endpoint && e.Endpoint != step.endpoint)) {
            // One stream: each << of an AssertionResult starts a new one,
            // which would drop std::hex.
            std::ostringstream what;
            what << "URB " << i << " is not the " << step.what << ": function 0x" << std::hex << e.Function << std::dec
                 << ", descriptor type " << (int)e.DescriptorType << ", " << e.RequestedLength << " bytes, endpoint 0x"
                 << std::hex << (int)e.Endpoint;
            return ::testing::AssertionFailure() << what.str();
        }
    }
    return ::testing::AssertionSuccess();
}
