// The port under load from several programs while its device goes, or while
// programs keep opening and closing it: every request ends, every handle
// closes, and the port is either gone or still moves data.
#include "port_load.h"
#include "system_test.h"

using namespace systest;

namespace {

class PortRemovalLoadTest : public SystemTest {
protected:
    std::function<HANDLE(bool)> Opener(int number)
    {
        return [number](bool overlapped) {
            DWORD error = 0;
            HANDLE h = OpenPort(number, overlapped, &error);
            if (h == INVALID_HANDLE_VALUE) {
                SetLastError(error);
            }
            return h;
        };
    }
};

}  // namespace

TEST_F(PortRemovalLoadTest, YankOrUnplugUnderLoadEndsEveryRequestAndTheDeviceGoes)
{
    for (int cycle = 0; cycle < 4; cycle++) {
        SCOPED_TRACE(cycle % 2 == 0 ? "yank" : "unplug");
        int number = 0;
        uint32_t id = PlugPort(&number);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(bus.Echo(id, true));
        {
            portload::Load load(0x5EED + cycle, Opener(number));
            ASSERT_TRUE(load.Start());
            Sleep(10 + 15 * cycle);
            ASSERT_TRUE(cycle % 2 == 0 ? bus.Yank(id) : bus.Unplug(id));
            Sleep(20);
            load.Stop();
            EXPECT_FALSE(load.Running());
            std::string faults = load.Faults();
            EXPECT_TRUE(faults.empty()) << faults;
        }
        EXPECT_TRUE(bus.WaitRemoved(id));
        DWORD error = 0;
        HANDLE h = OpenPort(number, false, &error);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
}
