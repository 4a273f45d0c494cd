// Every control code of the serial device type, with short, exact and long
// buffers and none at all: each request ends, nothing is written past a
// buffer (the sanitizers watch), nothing leaks, and a code the port does not
// serve is refused as malformed.
#include "port_machine.h"

#include <brisklink_ioctl.h>

using namespace sim_test;

namespace {

class SerialIoctlSweepTest : public PortMachineTest {};

// Codes the port answers with something other than "malformed".
bool Served(ULONG code)
{
    return (PortInternals::GetIoctlName(code)[0] != 0 || code == IOCTL_VSERIAL_GET_OPEN_STATE ||
            code == IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR) &&
           code != IOCTL_SERIAL_XOFF_COUNTER && code != IOCTL_SERIAL_GET_DTRRTS && code != IOCTL_SERIAL_CONFIG_SIZE &&
           code != IOCTL_SERIAL_GET_COMMCONFIG && code != IOCTL_SERIAL_SET_COMMCONFIG &&
           code != IOCTL_SERIAL_GET_STATS && code != IOCTL_SERIAL_CLEAR_STATS &&
           code != IOCTL_SERIAL_GET_MODEM_CONTROL && code != IOCTL_SERIAL_SET_MODEM_CONTROL &&
           code != IOCTL_SERIAL_SET_FIFO_CONTROL;
}

}  // namespace

TEST_F(SerialIoctlSweepTest, EveryCodeAndLengthEndsAsTheTableSays)
{
    ASSERT_NE(Plug(), 0u);
    PDEVICE_OBJECT port = PortNodes()[0].top;
    PFILE_OBJECT file = sim::OpenDevice(L"\\DosDevices\\Global\\COM5");
    ASSERT_NE(file, nullptr);
    // Every boundary of the table's lengths (3, 4, 6, 16, 18, 20, 64) and
    // its neighbours; codes the port does not serve get three lengths each.
    const std::vector<ULONG> boundaries = {0, 1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 18, 19, 20, 21, 24, 63, 64};
    const std::vector<ULONG> few = {0, 4, 64};
    for (ULONG function = 0; function < 0x1000; function++) {
        ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
        bool served = Served(code);
        const std::vector<ULONG>& lengths = served ? boundaries : few;
        for (ULONG in : lengths) {
            for (ULONG out : lengths) {
                // Zeros in: the wait mask stays empty, so a wait is answered at once.
                std::vector<uint8_t> buffer(in > out ? in : out, 0);
                sim::IoRequest q;
                q.ioControlCode = code;
                q.input = in != 0 ? buffer.data() : nullptr;
                q.inputLength = in;
                q.output = out != 0 ? buffer.data() : nullptr;
                q.outputLength = out;
                q.file = file;
                sim::IrpResult r = sim::SendRequest(port, q);
                ASSERT_TRUE(r.completed) << std::hex << code;
                if (!served) {
                    ASSERT_EQ(r.ioStatus.Status, STATUS_INVALID_PARAMETER) << std::hex << code;
                }
                ASSERT_LE(r.ioStatus.Information, out) << std::hex << code << " out " << std::dec << out;
            }
        }
    }
    EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
}
