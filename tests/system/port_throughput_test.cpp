// Bytes per second through a whole port, as a program sees it: from the bus
// to a Win32 reader and from a Win32 writer to the bus. (The driver serves
// one active port at a time, so one port is what programs can stream
// through; many ports at once are the data path benchmark's.) The bus runs
// unpaced (no bus clock), so the figure is the host side's own: the driver,
// the I/O manager and, under Wine, Wine's request path. Every byte is
// checked; the rates are printed as
// "THROUGHPUT <direction> ports=1 bytes_per_s=<rate>" for scripts/bench.sh
// and never asserted.
#include <chrono>
#include <cstdio>
#include <string>

#include "port_test.h"

using namespace systest;

namespace {

// A chunk fits the port's receive ring (4 KB) whole, so the reader never
// has to keep pace with the bus: 266 packets of 15 bytes in, 64 full
// packets of 63 bytes out.
const size_t kInChunk = 266 * 15;
const size_t kOutChunk = 64 * 63;
const size_t kBytes = 256 * 1024;

uint8_t PatternByte(size_t at)
{
    return (uint8_t)(at * 7 + (at >> 8));
}

class PortThroughputTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(bus.Ioctl(VBUS_IOCTL_SET_MODE, vbusreq::Mode(m_Id, VBUS_MODE_UNPACED)), (DWORD)ERROR_SUCCESS);
    }

    // Feeds the device's side and reads the program's side, chunk by chunk;
    // an empty string when every byte came out as it went in.
    std::string Receive()
    {
        std::vector<uint8_t> chunk(kInChunk);
        for (size_t at = 0; at < kBytes; at += kInChunk) {
            for (size_t i = 0; i < kInChunk; i++) {
                chunk[i] = PatternByte(at + i);
            }
            if (!bus.Feed(m_Id, chunk)) {
                return "feed refused at byte " + std::to_string(at);
            }
            std::vector<uint8_t> got = Read((DWORD)kInChunk);
            if (got != chunk) {
                return "read " + std::to_string(got.size()) + " bytes differing from those fed at byte " +
                       std::to_string(at);
            }
        }
        return "";
    }

    // Writes the program's side and drains the device's side, chunk by chunk.
    std::string Send()
    {
        std::vector<uint8_t> chunk(kOutChunk);
        for (size_t at = 0; at < kBytes; at += kOutChunk) {
            for (size_t i = 0; i < kOutChunk; i++) {
                chunk[i] = PatternByte(at + i);
            }
            DWORD written = 0;
            if (Write(chunk, &written) != ERROR_SUCCESS || written != kOutChunk) {
                return "wrote " + std::to_string(written) + " of a chunk at byte " + std::to_string(at);
            }
            vbusreq::Bytes out = bus.ReadOut(m_Id, VBUS_READ_PAYLOAD);
            if (out != chunk) {
                return "the device got " + std::to_string(out.size()) + " bytes differing from those written at byte " +
                       std::to_string(at);
            }
        }
        return "";
    }

    // Runs `direction`; its bytes per second, its fault added to *faults.
    template <typename Direction>
    double Timed(Direction direction, std::string* faults)
    {
        auto start = std::chrono::steady_clock::now();
        *faults += direction();
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        return (double)kBytes / elapsed.count();
    }
};

}  // namespace

TEST_F(PortThroughputTest, EveryByteCrossesIntactBothWaysAtTheHostsFullSpeed)
{
    std::string faults;
    double in = Timed([this] { return Receive(); }, &faults);
    double out = Timed([this] { return Send(); }, &faults);
    EXPECT_TRUE(faults.empty()) << faults;
    printf("THROUGHPUT receive ports=1 bytes_per_s=%.0f\n", in);
    printf("THROUGHPUT send ports=1 bytes_per_s=%.0f\n", out);
}
