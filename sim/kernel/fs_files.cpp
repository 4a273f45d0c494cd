// ZwCreateFile, ZwReadFile and ZwWriteFile on files of the host folders that
// stand for drive letters. PASSIVE_LEVEL only.
//
// Every request completes before the call returns. Share access is checked
// among the machine's open handles as IoCheckShareAccess does, by file
// identity (device and inode), for opens that read, write or delete.
// File attributes, allocation sizes, extended attributes and FILE_DELETE_ON_CLOSE
// are not modelled.
#include "cm_registry.h"
#include "fs_files.h"
#include "rtl_text.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace sim {
namespace fs {
namespace {

const ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
const ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

struct OpenFile {
    std::string hostPath;
    dev_t dev = 0;
    ino_t ino = 0;
    int fd = -1;             // -1 for a directory
    ACCESS_MASK access = 0;  // after generic mapping
    ULONG share = 0;
    bool synchronous = false;
    bool directory = false;
    bool listed = false;   // still in g_open (false once the machine stopped)
    int64_t position = 0;  // current byte offset of a synchronous file
};

// Guards g_open and every OpenFile's position and I/O.
std::mutex g_lock;
std::vector<OpenFile*> g_open;

void CloseFile(void* object)
{
    auto* f = static_cast<OpenFile*>(object);
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (f->listed)
            g_open.erase(std::find(g_open.begin(), g_open.end(), f));
    }
    if (f->fd >= 0)
        close(f->fd);
    delete f;
}

ACCESS_MASK MapFileAccess(ACCESS_MASK a)
{
    ACCESS_MASK r = a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (a & GENERIC_READ)
        r |= FILE_GENERIC_READ;
    if (a & GENERIC_WRITE)
        r |= FILE_GENERIC_WRITE;
    if (a & GENERIC_EXECUTE)
        r |= FILE_EXECUTE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        r |= FILE_ALL_ACCESS;
    return r;
}

// The IoCheckShareAccess rule between an existing open and a new one.
bool Conflicts(const OpenFile& old, ACCESS_MASK access, ULONG share)
{
    bool r = access & kReadAccess, w = access & kWriteAccess, d = access & DELETE;
    bool oldR = old.access & kReadAccess, oldW = old.access & kWriteAccess, oldD = old.access & DELETE;
    if (!(r || w || d) || !(oldR || oldW || oldD))
        return false;
    return (r && !(old.share & FILE_SHARE_READ)) || (w && !(old.share & FILE_SHARE_WRITE)) ||
           (d && !(old.share & FILE_SHARE_DELETE)) || (oldR && !(share & FILE_SHARE_READ)) ||
           (oldW && !(share & FILE_SHARE_WRITE)) || (oldD && !(share & FILE_SHARE_DELETE));
}

NTSTATUS FromErrno(int e)
{
    switch (e) {
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
        return STATUS_DISK_FULL;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS ValidateCreate(ACCESS_MASK access, ULONG disposition, ULONG options, ULONG share)
{
    if (disposition > FILE_OVERWRITE_IF)
        return STATUS_INVALID_PARAMETER;
    if (share & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return STATUS_INVALID_PARAMETER;
    bool syncAlert = options & FILE_SYNCHRONOUS_IO_ALERT, syncNonAlert = options & FILE_SYNCHRONOUS_IO_NONALERT;
    if (syncAlert && syncNonAlert)
        return STATUS_INVALID_PARAMETER;
    // Windows demands SYNCHRONIZE with synchronous I/O only of user-mode
    // callers; a kernel-mode ZwCreateFile (the only caller here) skips the check.
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    // Deleting on close is not modelled; refuse it rather than leave the file behind silently.
    if (options & FILE_DELETE_ON_CLOSE)
        return STATUS_NOT_IMPLEMENTED;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The host path named by the object attributes.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES oa, std::string* hostPath)
{
    std::u16string name = rtl::ToU16(oa->ObjectName);
    std::vector<std::u16string> parts;
    std::string root;
    NTSTATUS st;
    if (oa->RootDirectory) {
        auto* dir = static_cast<OpenFile*>(LookupHandle(oa->RootDirectory, HandleKind::File));
        if (!dir)
            return HandleMismatchStatus(oa->RootDirectory);
        if (!dir->directory)
            return STATUS_INVALID_PARAMETER;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        root = dir->hostPath;
        st = CheckComponents(name, &parts);
    } else {
        st = SplitDosPath(name, &root, &parts);
    }
    if (st != STATUS_SUCCESS)
        return st;
    return ResolveHostPath(root, parts, true, hostPath);
}

}  // namespace

void ForgetOpenFiles()
{
    std::lock_guard<std::mutex> g(g_lock);
    for (OpenFile* f : g_open) {
        f->listed = false;
        if (f->fd >= 0)
            close(f->fd);
        f->fd = -1;  // a later read or write fails; closing the handle frees the object
    }
    g_open.clear();
}

NTSTATUS CreateFile(PHANDLE handle, ACCESS_MASK desired, POBJECT_ATTRIBUTES oa, PIO_STATUS_BLOCK iosb, ULONG share,
                    ULONG disposition, ULONG options)
{
    ACCESS_MASK access = MapFileAccess(desired);
    NTSTATUS st = ValidateCreate(access, disposition, options, share);
    if (st != STATUS_SUCCESS)
        return st;
    std::string path;
    st = ResolveName(oa, &path);
    if (st != STATUS_SUCCESS)
        return st;

    std::lock_guard<std::mutex> g(g_lock);
    struct stat info;
    bool exists = stat(path.c_str(), &info) == 0;
    bool isDir = exists && S_ISDIR(info.st_mode);
    bool wantDir = options & FILE_DIRECTORY_FILE;
    if (exists) {
        if (disposition == FILE_CREATE)
            return STATUS_OBJECT_NAME_COLLISION;
        if (isDir && (options & FILE_NON_DIRECTORY_FILE))
            return STATUS_FILE_IS_A_DIRECTORY;
        if (isDir && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
            return STATUS_FILE_IS_A_DIRECTORY;
        if (!isDir && wantDir)
            return STATUS_NOT_A_DIRECTORY;
        // Replacing the contents is a write, whatever access the caller asked for.
        ACCESS_MASK shareCheck = access;
        if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
            shareCheck |= FILE_WRITE_DATA;
        for (OpenFile* f : g_open)
            if (f->dev == info.st_dev && f->ino == info.st_ino && Conflicts(*f, shareCheck, share))
                return STATUS_SHARING_VIOLATION;
    } else if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    ULONG_PTR information;
    int fd = -1;
    if (isDir || (!exists && wantDir)) {
        if (!exists && mkdir(path.c_str(), 0777) != 0)
            return FromErrno(errno);
        information = exists ? FILE_OPENED : FILE_CREATED;
        isDir = true;
    } else {
        int flags = O_RDWR | O_CLOEXEC;
        if (!exists)
            flags |= O_CREAT | O_EXCL;
        else if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
            flags |= O_TRUNC;
        fd = open(path.c_str(), flags, 0666);
        // A host file we may only read still opens for callers that only read.
        if (fd < 0 && errno == EACCES && exists && !(flags & O_TRUNC) && !(access & kWriteAccess))
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return FromErrno(errno);
        if (!exists)
            information = FILE_CREATED;
        else if (disposition == FILE_SUPERSEDE)
            information = FILE_SUPERSEDED;
        else if (disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF)
            information = FILE_OVERWRITTEN;
        else
            information = FILE_OPENED;
    }
    if (stat(path.c_str(), &info) != 0) {
        if (fd >= 0)
            close(fd);
        return FromErrno(errno);
    }
    auto* f = new OpenFile;
    f->hostPath = path;
    f->dev = info.st_dev;
    f->ino = info.st_ino;
    f->fd = fd;
    f->access = access;
    f->share = share;
    f->synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    f->directory = isDir;
    f->listed = true;
    g_open.push_back(f);
    *handle = InsertHandle(HandleKind::File, f, CloseFile);
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = information;
    return STATUS_SUCCESS;
}

// Shared by ZwReadFile and ZwWriteFile.
NTSTATUS Transfer(const char* routine, bool write, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                  PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset)
{
    RequireIrql(PASSIVE_LEVEL, routine);
    if (!iosb)
        return NullArgument(routine, "IoStatusBlock");
    if (!buffer && length)
        return NullArgument(routine, "Buffer");
    auto* f = static_cast<OpenFile*>(LookupHandle(handle, HandleKind::File));
    if (!f)
        return HandleMismatchStatus(handle);
    // Requests complete before the call returns; an event or APC to signal
    // completion is not supported here.
    if (event || apc)
        return STATUS_NOT_IMPLEMENTED;
    if (f->directory)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!(f->access & (write ? kWriteAccess : FILE_READ_DATA)))
        return STATUS_ACCESS_DENIED;

    std::lock_guard<std::mutex> g(g_lock);
    if (f->fd < 0)
        return STATUS_FILE_CLOSED;
    struct stat info;
    if (fstat(f->fd, &info) != 0)
        return FromErrno(errno);
    bool appendOnly = write && (f->access & FILE_APPEND_DATA) && !(f->access & FILE_WRITE_DATA);
    bool usePointer =
        !byteOffset || (byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
    int64_t offset;
    if (appendOnly) {
        offset = info.st_size;  // append-only access ignores any offset
    } else if (write && byteOffset && byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
        offset = info.st_size;
    } else if (usePointer) {
        if (!f->synchronous)
            return STATUS_INVALID_PARAMETER;  // an asynchronous file has no current offset
        offset = f->position;
    } else {
        if (byteOffset->QuadPart < 0)
            return STATUS_INVALID_PARAMETER;
        offset = byteOffset->QuadPart;
    }
    ssize_t done = 0;
    while ((ULONG)done < length) {
        ssize_t n = write ? pwrite(f->fd, static_cast<char*>(buffer) + done, length - done, offset + done)
                          : pread(f->fd, static_cast<char*>(buffer) + done, length - done, offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FromErrno(errno);
        }
        if (n == 0)
            break;
        done += n;
    }
    if (f->synchronous)
        f->position = offset + done;
    iosb->Information = (ULONG_PTR)done;
    iosb->Status = (!write && length && done == 0) ? STATUS_END_OF_FILE : STATUS_SUCCESS;
    return iosb->Status;
}

}  // namespace fs
}  // namespace sim

extern "C" {

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    (void)AllocationSize;
    (void)FileAttributes;
    (void)EaBuffer;
    (void)EaLength;
    sim::RequireIrql(PASSIVE_LEVEL, "ZwCreateFile");
    if (!FileHandle)
        return sim::NullArgument("ZwCreateFile", "FileHandle");
    if (!ObjectAttributes)
        return sim::NullArgument("ZwCreateFile", "ObjectAttributes");
    if (!IoStatusBlock)
        return sim::NullArgument("ZwCreateFile", "IoStatusBlock");
    if (sim::DriverCallFails(sim::FaultSite::File))
        return STATUS_INSUFFICIENT_RESOURCES;
    return sim::fs::CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess,
                               CreateDisposition, CreateOptions);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    (void)ApcContext;
    (void)Key;
    if (sim::DriverCallFails(sim::FaultSite::File))
        return STATUS_INSUFFICIENT_RESOURCES;
    return sim::fs::Transfer("ZwWriteFile", true, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                             ByteOffset);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    (void)ApcContext;
    (void)Key;
    return sim::fs::Transfer("ZwReadFile", false, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                             ByteOffset);
}

}  // extern "C"
