// The port's lines in the driver's log: who opened it, and what moved each
// way between that open and its close.
#include <windows.h>

#include "control/ControlDevice.h"
#include "port_machine.h"

#include <regex>

using namespace sim_test;

namespace {

class PortLogTest : public PortMachineTest {
protected:
    HANDLE Open() { return CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL); }
};

}  // namespace

TEST_F(PortLogTest, OpenAndCloseLinesNameTheProgramAndCountOnlyThatOpensBytes)
{
    UseLog();
    sim::SetCurrentProcessImage("terminal.exe");
    uint32_t id = Plug();
    ASSERT_NE(id, 0u);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port, Sequence(10).data(), 10, &done, NULL));
    ASSERT_EQ(Feed(id, Sequence(4)), STATUS_SUCCESS);
    std::vector<uint8_t> in(4);
    ASSERT_TRUE(ReadFile(port, in.data(), 4, &done, NULL));
    ASSERT_TRUE(CloseHandle(port));
    // A second open that moves nothing reports nothing, though the totals grew.
    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));

    std::string log = Log();
    const std::string stamp = "\\d{14} - ";
    std::regex expected(stamp + "COM5 is opened by C:\\\\Windows\\\\System32\\\\terminal\\.exe\r\n" + stamp +
                        "COM5 is closed: recv 4, sent 10\r\n" + stamp + "COM5 is opened by .*\r\n" + stamp +
                        "COM5 is closed: recv 0, sent 0\r\n");
    EXPECT_TRUE(std::regex_search(log, expected)) << log;
}

TEST_F(PortLogTest, NoLogValueWritesNothing)
{
    ASSERT_NE(Plug(), 0u);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    EXPECT_EQ(Log(), "");
}

// A FileLog the driver cannot use leaves the log off, and the port opens.
TEST_F(PortLogTest, UnusableLogValueWritesNothing)
{
    std::u16string text = u"C:\\brisklink.log";
    std::vector<uint8_t> expandSz((const uint8_t*)text.c_str(), (const uint8_t*)(text.c_str() + text.size() + 1));
    ASSERT_TRUE(sim::RegSetRaw(kServiceParameters, "FileLog", REG_EXPAND_SZ, expandSz));
    uint32_t first = Plug();
    ASSERT_NE(first, 0u);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    ASSERT_EQ(Unplug(first), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return PortNodes().empty(); }));
    EXPECT_EQ(Log(), "");

    ASSERT_TRUE(sim::RegSetString(kServiceParameters, "FileLog", "C:\\no such folder\\brisklink.log"));
    ASSERT_NE(Plug(), 0u);
    port = Open();
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    EXPECT_EQ(Log(), "");
}

TEST_F(PortLogTest, LongMessageIsCutAt511Characters)
{
    UseLog();
    ASSERT_NE(Plug(), 0u);
    std::string message(600, 'x');
    GetControlExtension()->m_Log.Write("%s", message.c_str());
    std::regex expected("\\d{14} - " + std::string(511, 'x') + "\r\n");
    EXPECT_TRUE(std::regex_search(Log(), expected)) << Log();
}
