// ZwCreateFile, ZwWriteFile and ZwReadFile on the machine's drive C:.
#include "cm_test_util.h"
#include "machine_fixture.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

using cm_test::Name;

namespace {

std::string HostFileText(const std::string& dosPath)
{
    std::ifstream in(sim::HostPathForDosPath(dosPath), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class FsFilesTest : public MachineTest {
protected:
    NTSTATUS Create(HANDLE* h, const std::string& path, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, HANDLE root = nullptr)
    {
        Name n(path, root);
        iosb_.Information = 0xDEAD;
        return ZwCreateFile(h, access, n.oa(), &iosb_, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition, options,
                            nullptr, 0);
    }
    NTSTATUS Write(HANDLE h, const std::string& text, PLARGE_INTEGER offset = nullptr)
    {
        return ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb_, (PVOID)text.data(), (ULONG)text.size(), offset,
                           nullptr);
    }
    IO_STATUS_BLOCK iosb_;
};

TEST_F(FsFilesTest, AppendAccessAppendsAcrossOpensAndTheHostFileHoldsTheBytes)
{
    const std::string path = "\\DosDevices\\Global\\C:\\blnk.log";
    for (const char* line : {"first\n", "second\n"}) {
        HANDLE h = nullptr;
        ASSERT_EQ(Create(&h, path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN_IF), STATUS_SUCCESS);
        EXPECT_EQ(iosb_.Information, std::string(line) == "first\n" ? (ULONG_PTR)FILE_CREATED : (ULONG_PTR)FILE_OPENED);
        LARGE_INTEGER start{};
        start.QuadPart = 0;  // ignored: append-only access always writes at the end
        ASSERT_EQ(Write(h, line, &start), STATUS_SUCCESS);
        EXPECT_EQ(iosb_.Information, strlen(line));
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    }
    EXPECT_EQ(HostFileText(path), "first\nsecond\n");
    EXPECT_EQ(HostFileText("\\??\\c:\\BLNK.LOG"), "first\nsecond\n") << "names are case-insensitive";
}

TEST_F(FsFilesTest, EveryDosDevicesSpellingReachesTheSameFile)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Create(&h, "\\GLOBAL??\\C:\\same.txt", GENERIC_WRITE, 0, FILE_CREATE), STATUS_SUCCESS);
    ASSERT_EQ(Write(h, "abc"), STATUS_SUCCESS);
    ZwClose(h);
    for (const char* p : {"\\DosDevices\\C:\\same.txt", "\\??\\C:\\same.txt", "\\DosDevices\\Global\\C:\\Same.TXT"})
        EXPECT_EQ(HostFileText(p), "abc") << p;
    EXPECT_EQ(sim::HostPathForDosPath("\\Device\\HarddiskVolume1\\same.txt"), "");
    EXPECT_EQ(sim::HostPathForDosPath("\\??\\Q:\\same.txt"), "") << "only C: is mapped";
}

TEST_F(FsFilesTest, SecondOpenThatTheFirstDoesNotShareIsASharingViolation)
{
    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(Create(&a, "\\??\\C:\\shared.txt", GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF), STATUS_SUCCESS);
    EXPECT_EQ(Create(&b, "\\??\\C:\\shared.txt", FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     FILE_OPEN_IF),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Create(&b, "\\??\\C:\\shared.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN), STATUS_SHARING_VIOLATION)
        << "the reader must share write access with the writer";
    ASSERT_EQ(Create(&b, "\\??\\C:\\shared.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN),
              STATUS_SUCCESS);
    ZwClose(b);
    ZwClose(a);
    ASSERT_EQ(Create(&b, "\\??\\C:\\shared.txt", GENERIC_WRITE, 0, FILE_OPEN), STATUS_SUCCESS)
        << "closed handles no longer count";
    ZwClose(b);
}

TEST_F(FsFilesTest, DispositionsReportWhatHappened)
{
    HANDLE h = nullptr;
    const std::string p = "\\??\\C:\\disp.txt";
    EXPECT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_OVERWRITE), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, (ULONG_PTR)FILE_CREATED);
    Write(h, "0123456789");
    ZwClose(h);
    EXPECT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_OVERWRITE_IF), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, (ULONG_PTR)FILE_OVERWRITTEN);
    ZwClose(h);
    EXPECT_EQ(HostFileText(p), "") << "overwrite truncates";
    ASSERT_EQ(Create(&h, p, GENERIC_WRITE, 0, FILE_SUPERSEDE), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, (ULONG_PTR)FILE_SUPERSEDED);
    ZwClose(h);
}

TEST_F(FsFilesTest, MissingDirectoryIsPathNotFoundAndBadNamesAreInvalid)
{
    HANDLE h = nullptr;
    EXPECT_EQ(Create(&h, "\\??\\C:\\nodir\\f.txt", GENERIC_WRITE, 0, FILE_OPEN_IF), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(&h, "\\??\\C:\\..\\escape.txt", GENERIC_WRITE, 0, FILE_OPEN_IF), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(&h, "\\??\\C:\\a?b.txt", GENERIC_WRITE, 0, FILE_OPEN_IF), STATUS_OBJECT_NAME_INVALID);
    ASSERT_EQ(Create(&h, "\\??\\C:\\Logs", FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    HANDLE f = nullptr;
    ASSERT_EQ(Create(&f, "log.txt", GENERIC_WRITE, 0, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, h), STATUS_SUCCESS)
        << "names relative to a directory handle";
    ZwClose(f);
    ZwClose(h);
    struct stat st;
    EXPECT_EQ(stat(sim::HostPathForDosPath("\\??\\C:\\logs\\LOG.txt").c_str(), &st), 0);
}

TEST_F(FsFilesTest, KernelCallersNeedNoSynchronizeForSynchronousIo)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Create(&h, "\\??\\C:\\s.txt", FILE_APPEND_DATA, 0, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ZwClose(h);
}

TEST_F(FsFilesTest, BothSynchronousModesAtOnceAreRefused)
{
    HANDLE h = nullptr;
    EXPECT_EQ(Create(&h, "\\??\\C:\\s.txt", GENERIC_WRITE, 0, FILE_OPEN_IF,
                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_SYNCHRONOUS_IO_ALERT),
              STATUS_INVALID_PARAMETER);
}

TEST_F(FsFilesTest, SynchronousReadsFollowTheFilePointerToEndOfFile)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Create(&h, "\\??\\C:\\r.txt", GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE), STATUS_SUCCESS);
    ASSERT_EQ(Write(h, "hello"), STATUS_SUCCESS);
    char buf[8] = {};
    LARGE_INTEGER zero{};
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb_, buf, 3, &zero, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf, iosb_.Information), "hel");
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb_, buf, sizeof(buf), nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf, iosb_.Information), "lo");
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb_, buf, sizeof(buf), nullptr, nullptr), STATUS_END_OF_FILE);
    EXPECT_EQ(iosb_.Information, 0u);
    ZwClose(h);
}

TEST_F(FsFilesTest, AccessAndHandleKindAreChecked)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Create(&h, "\\??\\C:\\ro.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN_IF), STATUS_SUCCESS);
    EXPECT_EQ(Write(h, "x"), STATUS_ACCESS_DENIED);
    ZwClose(h);
    HANDLE key = cm_test::OpenKey("\\Registry\\Machine\\Software");
    EXPECT_EQ(Write(key, "x"), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

TEST_F(FsFilesTest, AsynchronousFileNeedsAnExplicitOffset)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Create(&h, "\\??\\C:\\a.txt", FILE_WRITE_DATA, 0, FILE_CREATE, 0), STATUS_SUCCESS);
    EXPECT_EQ(Write(h, "x"), STATUS_INVALID_PARAMETER);
    LARGE_INTEGER at{};
    at.QuadPart = 2;
    EXPECT_EQ(Write(h, "x", &at), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(HostFileText("\\??\\C:\\a.txt"), std::string("\0\0x", 3));
}

class FsFilesDriveTest : public MachineTest {
protected:
    FsFilesDriveTest()
    {
        char templ[] = "/tmp/cm-fs-drive-XXXXXX";
        root_ = mkdtemp(templ);
        options_.driveCRoot = root_;
    }
    ~FsFilesDriveTest() override { std::remove(root_.c_str()); }
    std::string root_;
};

TEST_F(FsFilesDriveTest, GivenDriveFolderIsUsedAndKeptAtShutdown)
{
    EXPECT_EQ(sim::HostPathForDosPath("\\??\\C:\\x.txt"), root_ + "/x.txt");
    sim::StopMachine();
    struct stat st;
    EXPECT_EQ(stat(root_.c_str(), &st), 0);
}

TEST(FsFilesMachineTest, FreshTempDriveIsRemovedAtShutdown)
{
    sim::StartMachine();
    std::string root = sim::HostPathForDosPath("\\??\\C:\\");
    ASSERT_FALSE(root.empty());
    struct stat st;
    EXPECT_EQ(stat(root.c_str(), &st), 0);
    sim::StopMachine();
    EXPECT_NE(stat(root.c_str(), &st), 0);
}

}  // namespace
