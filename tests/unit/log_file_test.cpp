#include "machine_fixture.h"
#include "support/LogFile.h"

#include <fstream>
#include <sstream>

namespace {

std::string ReadHostFile(const std::string& dosPath)
{
    std::ifstream in(sim::HostPathForDosPath(dosPath), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

class LogFileTest : public MachineTest {};

TEST_F(LogFileTest, WritesAppendAcrossOpens)
{
    {
        CLogFile log;
        ASSERT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\blink.log"), STATUS_SUCCESS);
        EXPECT_EQ(log.Write("one\r\n", 5), STATUS_SUCCESS);
    }
    CLogFile log;
    ASSERT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\blink.log"), STATUS_SUCCESS);
    EXPECT_EQ(log.Write("two\r\n", 5), STATUS_SUCCESS);
    log.Close();
    EXPECT_EQ(ReadHostFile("\\DosDevices\\Global\\C:\\blink.log"), "one\r\ntwo\r\n");
}

TEST_F(LogFileTest, SecondOpenOfAnOpenWriterIsBusy)
{
    CLogFile log;
    ASSERT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\a.log"), STATUS_SUCCESS);
    EXPECT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\b.log"), STATUS_DEVICE_BUSY);
    EXPECT_EQ(sim::Utf8(log.m_Path.m_String), "\\DosDevices\\Global\\C:\\a.log");
}

TEST_F(LogFileTest, OpenAtDispatchLevelIsRefusedAndWriteFindsNoFile)
{
    CLogFile log;
    NTSTATUS status = STATUS_SUCCESS;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { status = log.Open(L"\\DosDevices\\Global\\C:\\x.log"); });
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(log.Write("x", 1), STATUS_DEVICE_DOES_NOT_EXIST);
}

TEST_F(LogFileTest, CloseEmptiesThePathAndAllowsANewOpen)
{
    CLogFile log;
    ASSERT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\a.log"), STATUS_SUCCESS);
    log.Close();
    EXPECT_EQ(log.m_Path.m_String.Length, 0);
    EXPECT_EQ(log.Write("x", 1), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\a.log"), STATUS_SUCCESS);
}

TEST_F(LogFileTest, MissingFolderIsReportedByTheFileSystem)
{
    CLogFile log;
    EXPECT_EQ(log.Open(L"\\DosDevices\\Global\\C:\\no\\such\\dir\\x.log"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(log.m_Handle, nullptr);
}
