// Descriptor sets for virtual devices, byte by byte, including malformed ones.
// Plain bytes only, so kernel-side tests and Win32 clients share it.
#pragma once

#include <cstdint>
#include <vector>

namespace usbdesc {

const uint8_t kInterrupt = 3;
const uint8_t kBulk = 2;

// URB function codes as the bus's URB log reports them.
const uint16_t kUrbSelectConfiguration = 0x0000;
const uint16_t kUrbBulkOrInterruptTransfer = 0x0009;
const uint16_t kUrbGetDescriptorFromDevice = 0x000B;
const uint16_t kUrbClassInterface = 0x001B;

inline std::vector<uint8_t> Device(uint16_t vid = 0x5A1E, uint16_t pid = 0x0101, uint16_t release = 0x0100)
{
    return {18,
            1,
            0x00,
            0x02,
            0,
            0,
            0,
            8,
            (uint8_t)vid,
            (uint8_t)(vid >> 8),
            (uint8_t)pid,
            (uint8_t)(pid >> 8),
            (uint8_t)release,
            (uint8_t)(release >> 8),
            0,
            0,
            0,
            1};
}

class Config {
public:
    Config& Interface(uint8_t number, uint8_t endpoints, uint8_t cls = 0xFF, uint8_t alternate = 0)
    {
        Add({9, 4, number, alternate, endpoints, cls, 0, 0, 0});
        if (alternate == 0) {
            m_Interfaces++;
        }
        return *this;
    }
    Config& Endpoint(uint8_t address, uint8_t type, uint16_t maxPacket, uint8_t interval = 1)
    {
        return Add({7, 5, address, type, (uint8_t)maxPacket, (uint8_t)(maxPacket >> 8), interval});
    }
    Config& Raw(const std::vector<uint8_t>& bytes) { return Add(bytes); }
    // wTotalLength and bNumInterfaces are the true values unless given.
    std::vector<uint8_t> Build(int totalLength = -1, int numInterfaces = -1) const
    {
        std::vector<uint8_t> out = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
        out.insert(out.end(), m_Body.begin(), m_Body.end());
        uint16_t total = totalLength >= 0 ? (uint16_t)totalLength : (uint16_t)out.size();
        out[2] = (uint8_t)total;
        out[3] = (uint8_t)(total >> 8);
        out[4] = (uint8_t)(numInterfaces >= 0 ? numInterfaces : m_Interfaces);
        return out;
    }

private:
    Config& Add(const std::vector<uint8_t>& bytes)
    {
        m_Body.insert(m_Body.end(), bytes.begin(), bytes.end());
        return *this;
    }
    std::vector<uint8_t> m_Body;
    int m_Interfaces = 0;
};

// The port's device: one interface with an interrupt IN and an interrupt OUT
// endpoint (32 bytes of configuration descriptor in all).
inline std::vector<uint8_t> ReferenceConfig(uint16_t inPacket = 16, uint16_t outPacket = 64)
{
    return Config().Interface(0, 2).Endpoint(0x81, kInterrupt, inPacket).Endpoint(0x02, kInterrupt, outPacket).Build();
}

}  // namespace usbdesc
