// Requests from outside the drivers (tests, the Win32 layer): SendIrp,
// SendRequest and the file-object open/close of a handle-holding client.
#include "io_internal.h"
#include "pnp_internal.h"

#include <chrono>
#include <thread>

namespace sim {
namespace io {
namespace {

struct FileRecord {
    std::u16string fileName;  // buffer behind FileObject->FileName
    bool closing = false;
};
std::map<PFILE_OBJECT, FileRecord> g_files;  // guarded by Lock()

void DestroyFile(void* body)
{
    auto* fo = static_cast<PFILE_OBJECT>(body);
    PDEVICE_OBJECT device = fo->DeviceObject;
    {
        Guard lock(Lock());
        g_files.erase(fo);
    }
    delete fo;
    Dereference(device, "CloseDevice");
}

KPROCESSOR_MODE ModeFor(UCHAR major)
{
    return major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? KernelMode
                                                                                                   : UserMode;
}

IoRequest SimpleRequest(UCHAR major, UCHAR minor, void* buffer, ULONG length, ULONG code, unsigned timeoutMs)
{
    IoRequest r;
    r.major = major;
    r.minor = minor;
    r.ioControlCode = code;
    r.timeoutMs = timeoutMs;
    r.requestorMode = ModeFor(major);
    if (major != IRP_MJ_READ) {
        r.input = buffer;
        r.inputLength = length;
    }
    if (major != IRP_MJ_WRITE) {
        r.output = buffer;
        r.outputLength = length;
    }
    return r;
}

}  // namespace

void FilesShutdownLocked()
{
    for (auto& [fo, rec] : g_files) {
        ReportViolation("FILE_OBJECT_LEAKED", "file object " + Hex(fo), "StopMachine",
                        "opened on " + DeviceText(fo->DeviceObject) + " and never closed");
        delete fo;
    }
    g_files.clear();
}

}  // namespace io

IrpResult SendRequest(PDEVICE_OBJECT device, const IoRequest& q)
{
    IrpResult result{};
    RequireIrql(PASSIVE_LEVEL, "SendIrp");
    auto ctx = std::make_shared<io::SendContext>();
    PDEVICE_OBJECT top;
    PIRP irp;
    {
        io::Guard lock(io::Lock());
        if (!io::IsDeviceLocked(device)) {
            ReportViolation("INVALID_DEVICE_OBJECT", "device " + io::Hex(device), "SendIrp",
                            "not a live device object");
            result.dispatchStatus = STATUS_NO_SUCH_DEVICE;
            return result;
        }
        top = io::TopOfStackLocked(device);
        io::ReferenceLocked(top);
        irp = io::AllocateIrpLocked(top->StackSize, io::IrpOwner::IoManager, "SendIrp");
        auto rec = io::FindIrpLocked(irp);
        rec->send = ctx;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = q.major;
        next->MinorFunction = q.minor;
        next->FileObject = q.file;
        if (q.major == IRP_MJ_DEVICE_CONTROL || q.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            next->Parameters.DeviceIoControl.IoControlCode = q.ioControlCode;
        irp->RequestorMode = q.requestorMode;
        irp->Tail.Overlay.OriginalFileObject = q.file;
        io::SetupBuffersLocked(*rec, next, top->Flags, q.input, q.inputLength, q.output, q.outputLength);
        if (q.major == IRP_MJ_READ || q.major == IRP_MJ_WRITE)
            next->Parameters.Read.ByteOffset.QuadPart = q.byteOffset;
        if (q.major == IRP_MJ_PNP || q.major == IRP_MJ_POWER || q.major == IRP_MJ_SYSTEM_CONTROL)
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    }
    if (q.prepare)
        q.prepare(IoGetNextIrpStackLocation(irp), q.prepareContext);
    if (q.cancelled)
        irp->Cancel = TRUE;
    result.dispatchStatus = IofCallDriver(top, irp);
    {
        std::unique_lock<std::mutex> l(ctx->m);
        result.completed = ctx->cv.wait_for(l, std::chrono::milliseconds(q.timeoutMs), [&] { return ctx->done; });
        if (result.completed)
            result.ioStatus = ctx->iosb;
        else
            ctx->abandoned = true;
    }
    io::Dereference(top, "SendIrp");
    return result;
}

IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, void* buffer, ULONG length, ULONG ioControlCode,
                  unsigned timeoutMs)
{
    return SendRequest(device, io::SimpleRequest(major, minor, buffer, length, ioControlCode, timeoutMs));
}

IrpResult SendFileIrp(PFILE_OBJECT file, UCHAR major, UCHAR minor, void* buffer, ULONG length, ULONG ioControlCode,
                      unsigned timeoutMs)
{
    IoRequest q = io::SimpleRequest(major, minor, buffer, length, ioControlCode, timeoutMs);
    q.file = file;
    return SendRequest(file->DeviceObject, q);
}

PFILE_OBJECT OpenDevice(const wchar_t* name, NTSTATUS* status)
{
    NTSTATUS dummy;
    return io::OpenFileObject(io::Text(name), FILE_ALL_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              status ? status : &dummy);
}

bool WaitFilesClosed(PDEVICE_OBJECT device, unsigned timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            io::Guard lock(io::Lock());
            if (device->ReferenceCount == 0)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

NTSTATUS CloseDevice(PFILE_OBJECT file)
{
    RequireIrql(PASSIVE_LEVEL, "CloseDevice");
    NTSTATUS cleanup = io::CleanupFileObject(file);
    if (cleanup == STATUS_INVALID_HANDLE)
        return cleanup;
    NTSTATUS close = io::CloseFileObject(file);
    return cleanup == STATUS_IO_TIMEOUT ? cleanup : close;
}

namespace io {

namespace {
struct CreateParameters {
    USHORT share;
};
}  // namespace

PFILE_OBJECT OpenFileObject(const std::u16string& name, ACCESS_MASK access, USHORT share, NTSTATUS* status)
{
    RequireIrql(PASSIVE_LEVEL, "OpenDevice");
    PFILE_OBJECT fo;
    PDEVICE_OBJECT device;
    {
        io::Guard lock(io::Lock());
        std::u16string key, rest;
        *status = io::ResolveLocked(name, true, &key, &rest);
        if (!NT_SUCCESS(*status))
            return nullptr;
        io::NsEntry* e = io::FindEntryLocked(key);
        if (!e || e->kind != io::NsKind::Device) {
            *status = STATUS_OBJECT_TYPE_MISMATCH;
            return nullptr;
        }
        device = static_cast<PDEVICE_OBJECT>(e->object);
        PDEVICE_OBJECT bottom = device;
        while (bottom->DeviceObjectExtension->attachedTo)
            bottom = bottom->DeviceObjectExtension->attachedTo;
        // The PnP manager lets a stack be opened only once its start has
        // succeeded, and no more once it is being removed.
        if (device->DeviceObjectExtension->deleted || (device->Flags & DO_DEVICE_INITIALIZING) ||
            device->DeviceObjectExtension->createBlocked || bottom->DeviceObjectExtension->createBlocked) {
            *status = STATUS_NO_SUCH_DEVICE;
            return nullptr;
        }
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
            *status = STATUS_ACCESS_DENIED;
            return nullptr;
        }
        device->ReferenceCount++;
        io::ReferenceLocked(device);  // held by the file object
        fo = new FILE_OBJECT();
        fo->Type = 5;  // IO_TYPE_FILE
        fo->Size = sizeof(FILE_OBJECT);
        fo->DeviceObject = device;
        fo->ReadAccess = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
        fo->WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        fo->SharedRead = (share & FILE_SHARE_READ) != 0;
        fo->SharedWrite = (share & FILE_SHARE_WRITE) != 0;
        fo->SharedDelete = (share & FILE_SHARE_DELETE) != 0;
        io::FileRecord& r = io::g_files[fo];
        r.fileName = rest;
        fo->FileName.Buffer = (PWSTR)r.fileName.c_str();
        fo->FileName.Length = fo->FileName.MaximumLength = (USHORT)(rest.size() * sizeof(WCHAR));
        io::RegisterObjectLocked(fo, io::ObjKind::File, io::DestroyFile);
    }
    IoRequest q;
    q.major = IRP_MJ_CREATE;
    q.file = fo;
    CreateParameters params{share};
    q.prepare = [](PIO_STACK_LOCATION loc, void* context) {
        auto* p = static_cast<CreateParameters*>(context);
        loc->Parameters.Create.Options = (ULONG)FILE_OPEN << 24;
        loc->Parameters.Create.ShareAccess = p->share;
    };
    q.prepareContext = &params;
    IrpResult r = SendRequest(device, q);
    if (!r.completed) {
        *status = STATUS_IO_TIMEOUT;  // the create is still with the driver: the file object stays
        return nullptr;
    }
    *status = r.ioStatus.Status;
    if (NT_SUCCESS(*status))
        return fo;
    {
        io::Guard lock(io::Lock());
        device->ReferenceCount--;
    }
    io::Dereference(fo, "OpenDevice");
    return nullptr;
}

NTSTATUS CleanupFileObject(PFILE_OBJECT file)
{
    RequireIrql(PASSIVE_LEVEL, "CloseDevice");
    {
        io::Guard lock(io::Lock());
        auto it = io::g_files.find(file);
        if (it == io::g_files.end() || it->second.closing)
            return STATUS_INVALID_HANDLE;
        it->second.closing = true;
    }
    IoRequest q;
    q.major = IRP_MJ_CLEANUP;
    q.file = file;
    IrpResult cleanup = SendRequest(file->DeviceObject, q);
    return cleanup.completed ? cleanup.ioStatus.Status : STATUS_IO_TIMEOUT;
}

NTSTATUS CloseFileObject(PFILE_OBJECT file)
{
    RequireIrql(PASSIVE_LEVEL, "CloseDevice");
    IoRequest q;
    q.major = IRP_MJ_CLOSE;
    q.file = file;
    IrpResult close = SendRequest(file->DeviceObject, q);
    {
        io::Guard lock(io::Lock());
        file->DeviceObject->ReferenceCount--;
    }
    // A surprise-removed stack waits for its last handle before removal.
    pnp::HandleClosed(file->DeviceObject);
    io::Dereference(file, "CloseDevice");
    return close.completed ? close.ioStatus.Status : STATUS_IO_TIMEOUT;
}

}  // namespace io
}  // namespace sim
