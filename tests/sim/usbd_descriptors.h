// Builds configuration descriptor sets byte by byte for the USBD and vbus
// tests, including malformed ones.
#pragma once

#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

#include <cstdint>
#include <vector>

namespace usbd_test {

class ConfigBuilder {
public:
    ConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 0xFF,
                             uint8_t subClass = 0, uint8_t protocol = 0)
    {
        Add({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, protocol, 0});
        ++interfaces_;
        return *this;
    }
    ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval = 1)
    {
        return Add({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, (uint8_t)(maxPacket & 0xFF),
                    (uint8_t)(maxPacket >> 8), interval});
    }
    ConfigBuilder& Raw(std::vector<uint8_t> bytes) { return Add(bytes); }
    // The finished set; wTotalLength and bNumInterfaces are the true values
    // unless overridden.
    std::vector<uint8_t> Build(int totalLength = -1, int numInterfaces = -1) const
    {
        std::vector<uint8_t> out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, 1, 0, 0x80, 50};
        out.insert(out.end(), body_.begin(), body_.end());
        uint16_t total = totalLength >= 0 ? (uint16_t)totalLength : (uint16_t)out.size();
        out[2] = (uint8_t)(total & 0xFF);
        out[3] = (uint8_t)(total >> 8);
        out[4] = (uint8_t)(numInterfaces >= 0 ? numInterfaces : interfaces_);
        return out;
    }

private:
    ConfigBuilder& Add(const std::vector<uint8_t>& bytes)
    {
        body_.insert(body_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    std::vector<uint8_t> body_;
    int interfaces_ = 0;
};

inline PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

}  // namespace usbd_test
