// Random devices on the virtual bus: descriptor sets of random shape (counts
// of interfaces and endpoints, endpoint kinds and directions, packet sizes
// from 0 to 65535), some broken on purpose (lengths of 0, 1, short or past the
// end, counts that lie, answers cut short or changed between reads), then
// random IN packets (counts beyond the payload, zero-length, oversized,
// random bytes) fed to the port that starts. A device whose descriptors break
// the layout is refused: it gets no reader and a write fails as malformed. A
// well-formed one is refused exactly when its first interface lacks an
// interrupt pipe each way that moves bytes. A port that reads gets, from each
// packet, the payload its count names but never more than the packet carried;
// a packet longer than the pipe's packet size fails its transfer and idles
// that reader until the port is next opened. Every case unplugs its device
// and leaves nothing behind. BRISKLINK_CASES devices (full run: 10,000).
#include "campaign.h"
#include "port_machine.h"

#include <algorithm>
#include <random>

using namespace sim_test;

namespace {

typedef std::vector<uint8_t> Bytes;

const uint16_t kPacketSizes[] = {0, 1, 2, 3, 7, 8, 15, 16, 17, 31, 64, 65, 512, 1023, 1024, 2048, 65535};

struct Endpoint {
    uint8_t address;
    uint8_t type;
    uint16_t packet;
};
struct Interface {
    uint8_t number = 0;
    uint8_t alternate = 0;
    int declared = -1;  // bNumEndpoints when it lies
    std::vector<Endpoint> endpoints;
};

// What a case expects of the port.
enum Verdict { kUsable, kRefused, kEither };

struct DeviceDraw {
    vbusreq::PlugOptions options;
    Verdict verdict = kEither;
    std::string why;  // the shape, for a failure's message
};

class DeviceInputCampaignTest : public PortMachineTest {
protected:
    Endpoint DrawEndpoint(std::mt19937_64& rng, uint8_t number)
    {
        const uint8_t types[] = {usbdesc::kInterrupt, usbdesc::kInterrupt, usbdesc::kInterrupt,
                                 usbdesc::kBulk,      0 /* control */,     1 /* isochronous */};
        Endpoint e;
        e.address = (uint8_t)((rng() % 2 ? 0x80 : 0) | number);
        e.type = types[rng() % 6];
        e.packet = kPacketSizes[rng() % (sizeof(kPacketSizes) / sizeof(kPacketSizes[0]))];
        return e;
    }

    // A well-formed set of up to three interfaces with distinct numbers, each
    // with the endpoints it declares (distinct addresses), half the time
    // starting with the port's own pair of interrupt pipes.
    std::vector<Interface> DrawInterfaces(std::mt19937_64& rng)
    {
        std::vector<Interface> interfaces;
        uint8_t numbers[] = {0, 1, 2, 3};
        std::shuffle(numbers, numbers + 4, rng);
        size_t count = rng() % 4;
        uint8_t nextEndpoint = 1;
        for (size_t i = 0; i < count; i++) {
            Interface f;
            f.number = numbers[i];
            size_t endpoints = rng() % 5;
            for (size_t j = 0; j < endpoints; j++) {
                f.endpoints.push_back(DrawEndpoint(rng, nextEndpoint++));
            }
            interfaces.push_back(f);
        }
        if (!interfaces.empty() && rng() % 2) {
            Interface& first =
                *std::min_element(interfaces.begin(), interfaces.end(),
                                  [](const Interface& a, const Interface& b) { return a.number < b.number; });
            first.endpoints.insert(
                first.endpoints.begin(),
                {Endpoint{(uint8_t)(0x80 | nextEndpoint), usbdesc::kInterrupt, kPacketSizes[1 + rng() % 16]},
                 Endpoint{(uint8_t)(nextEndpoint + 1), usbdesc::kInterrupt, kPacketSizes[1 + rng() % 16]}});
        }
        return interfaces;
    }

    // By the device's packet format: the first interface (lowest number) has
    // an interrupt pipe each way, and the first of each moves bytes.
    static bool Usable(const std::vector<Interface>& interfaces)
    {
        if (interfaces.empty()) {
            return false;
        }
        const Interface& first =
            *std::min_element(interfaces.begin(), interfaces.end(),
                              [](const Interface& a, const Interface& b) { return a.number < b.number; });
        const Endpoint* in = nullptr;
        const Endpoint* out = nullptr;
        for (const Endpoint& e : first.endpoints) {
            if (e.type == usbdesc::kInterrupt) {
                const Endpoint*& slot = (e.address & 0x80) ? in : out;
                if (slot == nullptr) {
                    slot = &e;
                }
            }
        }
        return in != nullptr && out != nullptr && in->packet != 0 && out->packet != 0;
    }

    static Bytes Build(const std::vector<Interface>& interfaces, const Bytes& junk, size_t junkAt)
    {
        usbdesc::Config config;
        size_t at = 0;
        for (const Interface& f : interfaces) {
            if (at++ == junkAt) {
                config.Raw(junk);
            }
            config.Interface(f.number, (uint8_t)(f.declared >= 0 ? f.declared : (int)f.endpoints.size()), 0xFF,
                             f.alternate);
            for (const Endpoint& e : f.endpoints) {
                config.Endpoint(e.address, e.type, e.packet);
            }
        }
        if (at <= junkAt) {
            config.Raw(junk);
        }
        return config.Build();
    }

    DeviceDraw Draw(std::mt19937_64& rng)
    {
        DeviceDraw d;
        std::vector<Interface> interfaces = DrawInterfaces(rng);
        d.verdict = Usable(interfaces) ? kUsable : kRefused;
        d.why = "well-formed";
        Bytes junk;
        size_t junkAt = 99;
        unsigned shape = rng() % 20;
        if (shape == 0 && !interfaces.empty()) {
            // Another setting of an interface, a repeated number or a count
            // that lies on the short side: well-formed, but odd.
            Interface& f = interfaces[rng() % interfaces.size()];
            unsigned odd = rng() % 3;
            if (odd == 0) {
                f.alternate = 1;
            } else if (odd == 1) {
                f.number = interfaces[0].number;
            } else if (!f.endpoints.empty()) {
                f.declared = (int)(rng() % f.endpoints.size());
            }
            d.verdict = kEither;
            d.why = "odd interfaces";
        } else if (shape == 1) {
            // A class-specific descriptor between interfaces: ignored by the layout.
            junk = {(uint8_t)(2 + rng() % 8), (uint8_t)(0x21 + rng() % 4)};
            junk.resize(junk[0], (uint8_t)rng());
            junkAt = rng() % (interfaces.size() + 1);
            d.verdict = kEither;
            d.why = "a class descriptor";
        }
        Bytes config = Build(interfaces, junk, junkAt);
        if (shape == 2 && !interfaces.empty() && interfaces[0].declared < 0) {
            // More endpoints declared than follow.
            interfaces[0].declared = (int)interfaces[0].endpoints.size() + 1 + (int)(rng() % 3);
            config = Build(interfaces, junk, junkAt);
            d.verdict = kRefused;
            d.why = "more endpoints declared than present";
        }
        Break(rng, config, d);
        d.options.config = config;
        return d;
    }

    // Sometimes breaks the layout (a refusal by the device's contract), or
    // pads it past wTotalLength (which the port never reads).
    void Break(std::mt19937_64& rng, Bytes& config, DeviceDraw& d)
    {
        uint16_t total = (uint16_t)config.size();
        std::vector<size_t> starts;
        for (size_t at = 9; at < config.size(); at += config[at]) {
            starts.push_back(at);
        }
        auto setTotal = [&](uint32_t value) {
            config[2] = (uint8_t)value;
            config[3] = (uint8_t)(value >> 8);
        };
        unsigned how = rng() % 28;
        if (how == 0) {
            setTotal(rng() % 9);
            d.why = "wTotalLength below the header";
        } else if (how == 1) {
            setTotal(total + 1 + rng() % 40);
            d.why = "wTotalLength beyond the bytes";
        } else if (how == 2 && !starts.empty()) {
            size_t at = starts[rng() % starts.size()];
            config[at] = (uint8_t)(rng() % 2);
            d.why = "a descriptor of length 0 or 1";
        } else if (how == 3 && !starts.empty() && config[starts.back()] > 1) {
            setTotal(total - 1 - rng() % (config[starts.back()] - 1));
            d.why = "the last descriptor runs past wTotalLength";
        } else if (how == 4) {
            config[0] = (uint8_t)(rng() % 2 ? rng() % 9 : total + 1 + rng() % 20);
            d.why = "a header of another length";
        } else if (how == 5) {
            config[1] = (uint8_t)(3 + rng() % 250);
            d.why = "a header of another type";
        } else if (how == 6) {
            config.resize(rng() % 9);
            if (config.empty()) {
                config.push_back(0);
            }
            d.why = "fewer bytes than a header";
        } else if (how == 7) {
            config[4] = (uint8_t)(rng() % 2 ? 0 : 4 + rng() % 250);
            d.why = "bNumInterfaces of none or more than present";
        } else if (how == 8) {
            d.options.faults.push_back(vbusreq::ShortDescriptor(0, 2, (uint32_t)(rng() % 9), 1));
            d.why = "a short first read";
        } else if (how == 9) {
            d.options.faults.push_back(vbusreq::ShortDescriptor(0, 2, (uint32_t)(rng() % total), 2));
            d.why = "a short second read";
        } else if (how == 10) {
            d.options.faults.push_back(vbusreq::PatchDescriptor(0, 2, 2, (uint16_t)(total + 1 + rng() % 100), 2));
            d.why = "wTotalLength changed between the reads";
        } else if (how == 11) {
            size_t pad = 1 + rng() % 16;
            for (size_t i = 0; i < pad; i++) {
                config.push_back((uint8_t)rng());
            }
            // The bus hands out bytes past wTotalLength that a device never
            // sends; what it makes of them decides.
            d.why += ", padded past wTotalLength";
            d.verdict = kEither;
            return;
        } else {
            return;
        }
        d.verdict = kRefused;
    }

    BusReply Query(uint32_t id)
    {
        return BusIoctl(VBUS_IOCTL_QUERY_DEVICE, vbusreq::Device(id), sizeof(VBUS_DEVICE_INFO));
    }
    VBUS_DEVICE_INFO Info(uint32_t id) { return vbusreq::Read<VBUS_DEVICE_INFO>(Query(id).data); }

    NTSTATUS FeedRaw(uint32_t id, uint8_t endpoint, const Bytes& packet)
    {
        vbusreq::Bytes request = vbusreq::Feed(id, packet, true);
        reinterpret_cast<VBUS_FEED_REQUEST*>(request.data())->Endpoint = endpoint;
        return BusIoctl(VBUS_IOCTL_FEED_IN, request).status;
    }

    // Waits until the bus has handed over every packet, the readers that
    // still run are queued again and the others have finished their
    // completion (the bus counts a transfer done before its completion runs:
    // an open in between would find that reader still busy).
    bool Settled(uint32_t id, CSerialDevice* port, uint32_t readers)
    {
        return WaitFor([&] {
            VBUS_DEVICE_INFO info = Info(id);
            uint32_t busy = 0;
            {
                CLockGuard guard(&In(port).m_ReaderLock);
                for (const CReadContext& slot : In(port).m_ReadContexts) {
                    busy += slot.m_InFlight ? 1 : 0;
                }
            }
            return info.QueuedInPackets == 0 && info.PendingIn == readers && busy == readers;
        });
    }

    // Random packets to a reading port; true when it delivered what the
    // packet format promises, and can be revived by an open.
    bool Packets(std::mt19937_64& rng, uint32_t id, CSerialDevice* port, PFILE_OBJECT& file)
    {
        uint8_t in = In(port).m_ReadPipe->EndpointAddress;
        uint32_t size = In(port).m_ReadPipe->MaximumPacketSize;
        Bytes expected;
        uint32_t readers = 2;
        size_t packets = rng() % 12;
        for (size_t i = 0; i < packets && readers > 0; i++) {
            size_t length;
            unsigned kind = rng() % 10;
            if (kind == 0) {
                length = 0;
            } else if (kind == 1) {
                length = 1;
            } else if (kind == 2) {
                length = size;
            } else if (kind == 3) {
                // Longer than the pipe's packets (as long as the bus can queue).
                length = size < VBUS_MAX_FEED_BYTES - 4 ? size + 1 + rng() % 4 : size;
            } else {
                length = 2 + rng() % 20;
                length = length > size ? size : length;
            }
            Bytes packet(length);
            for (uint8_t& b : packet) {
                b = (uint8_t)rng();
            }
            EXPECT_EQ(FeedRaw(id, in, packet), STATUS_SUCCESS);
            if (length > size) {
                readers--;
            } else if (length > 0) {
                size_t count = std::min<size_t>(packet[0] & 0x0F, length - 1);
                expected.insert(expected.end(), packet.begin() + 1, packet.begin() + 1 + (ptrdiff_t)count);
            }
        }
        if (!Settled(id, port, readers)) {
            ADD_FAILURE() << "packets not taken, or readers not re-armed: " << readers << " expected";
            return false;
        }
        if (!Received(port, file, expected)) {
            return false;
        }
        if (readers == 2) {
            return true;
        }
        // Idled readers come back with the next open.
        EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
        file = sim::OpenDevice(PortName(port));
        if (file == nullptr || !Settled(id, port, 2)) {
            ADD_FAILURE() << "an open did not revive the readers";
            return false;
        }
        // One packet of one payload byte; a pipe of one-byte packets carries only the count.
        EXPECT_EQ(FeedRaw(id, in, size >= 2 ? Bytes{1, 0x5A} : Bytes{1}), STATUS_SUCCESS);
        return Settled(id, port, 2) && Received(port, file, size >= 2 ? Bytes{0x5A} : Bytes{});
    }

    // The port holds exactly `expected`, and a read gets it.
    bool Received(CSerialDevice* port, PFILE_OBJECT file, const Bytes& expected)
    {
        EXPECT_EQ(RingCount(port), (LONG)expected.size());
        if (RingCount(port) != (LONG)expected.size()) {
            return false;
        }
        if (expected.empty()) {
            return true;
        }
        Bytes buffer(expected.size(), 0xEE);
        sim::IrpResult r = sim::SendFileIrp(file, IRP_MJ_READ, 0, buffer.data(), (ULONG)buffer.size());
        EXPECT_TRUE(r.completed && r.ioStatus.Status == STATUS_SUCCESS);
        EXPECT_EQ(buffer, expected);
        return r.completed && r.ioStatus.Status == STATUS_SUCCESS && buffer == expected;
    }

    const wchar_t* PortName(CSerialDevice* port)
    {
        m_Name = sim::Utf16(sim::Utf8(In(port).m_DeviceName.Value()));
        return sim::W(m_Name);
    }

    // One device's life: plug, the verdict, the packets, unplug.
    bool RunCase(std::mt19937_64& rng)
    {
        DeviceDraw d = Draw(rng);
        std::string shape = d.why + ":";
        for (uint8_t b : d.options.config) {
            shape += " " + std::to_string(b);
        }
        SCOPED_TRACE(shape);
        uint32_t id = Plug(d.options);
        EXPECT_NE(id, 0u);
        CSerialDevice* port = OnlyPort();
        EXPECT_NE(port, nullptr);
        if (id == 0 || port == nullptr) {
            return false;
        }
        bool held = true;
        PFILE_OBJECT file = sim::OpenDevice(PortName(port));
        EXPECT_NE(file, nullptr);
        // Readers are queued by the start itself, which Plug waited for.
        bool reading = Info(id).PendingIn == 2;
        EXPECT_EQ(reading, In(port).m_ReadPipe != nullptr && In(port).m_WritePipe != nullptr);
        EXPECT_EQ(In(port).m_ReadPipe == nullptr, In(port).m_WritePipe == nullptr) << "half a data path";
        held &= reading == (In(port).m_ReadPipe != nullptr) &&
                (In(port).m_ReadPipe == nullptr) == (In(port).m_WritePipe == nullptr);
        reading = reading && file != nullptr;
        if (file != nullptr) {
            if (reading) {
                held &= Settled(id, port, 2);
            } else {
                // Refused: no reader runs, and a write is malformed.
                uint8_t byte = 0x41;
                sim::IrpResult w = sim::SendFileIrp(file, IRP_MJ_WRITE, 0, &byte, 1);
                held &= w.completed && w.ioStatus.Status == STATUS_INVALID_PARAMETER;
                held &= Info(id).PendingIn == 0;
                EXPECT_TRUE(held) << "a refused device still has a data path";
            }
            EXPECT_TRUE(d.verdict == kEither || reading == (d.verdict == kUsable))
                << (reading ? "accepted" : "refused") << " against the device's layout";
            held &= d.verdict == kEither || reading == (d.verdict == kUsable);
            if (reading) {
                held &= Packets(rng, id, port, file);
            }
            if (file != nullptr) {
                EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
            }
        }
        held &= CounterAtRest(port);
        EXPECT_EQ(Unplug(id), STATUS_SUCCESS);
        sim::WaitPnpIdle();
        EXPECT_TRUE(PortNodes().empty()) << "the port outlived its device";
        return held && PortNodes().empty();
    }

    std::u16string m_Name;
};

}  // namespace

TEST_F(DeviceInputCampaignTest, DevicesAreRefusedOrDeliverWhatTheirPacketsPromise)
{
    campaign::Campaign c("device-input", 600);
    unsigned verdicts[3] = {0, 0, 0};
    for (unsigned i = 0; i < c.Cases(); i++) {
        SCOPED_TRACE(c.Describe(i));
        std::mt19937_64 rng(c.CaseSeed(i));
        std::mt19937_64 peek(c.CaseSeed(i));
        verdicts[Draw(peek).verdict]++;
        c.Record(i, RunCase(rng));
    }
    EXPECT_EQ(c.Failed(), 0u);
    printf("device-input: %u usable, %u refused, %u either\n", verdicts[0], verdicts[1], verdicts[2]);
}
