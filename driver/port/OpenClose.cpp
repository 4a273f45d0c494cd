// Open, close and cleanup of the port. The device object is exclusive, so the
// I/O manager lets one handle be open at a time; these routines count nothing.
// All three run at PASSIVE_LEVEL in the thread that opens or closes.
#include "port/SerialDevice.h"

namespace {

// The image name query answers a UNICODE_STRING followed by its text, both in
// the caller's buffer. Most paths fit the first size; a longer one is asked
// for once more at the size the kernel names, up to the largest a
// UNICODE_STRING can describe.
const ULONG kImageQueryBytes = 1024;
const ULONG kMaxImageQueryBytes = sizeof(UNICODE_STRING) + MAXUSHORT;

// The text of a name for a %S argument: "" when the port is unnamed.
PCWSTR TextOf(const CUnicodeString& name)
{
    return name.IsEmpty() ? L"" : name.Value().Buffer;  // Assign keeps a zero behind the text
}

}  // namespace

void CSerialDevice::GetOpenerImage(CUnicodeString& Image)
{
    PAGED_CODE();
    // The kernel copies the answer into this buffer: nothing of the opening
    // process's own memory is read here.
    CMemBuffer answer(PagedPool);
    ULONG size = kImageQueryBytes;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!answer.SizeTo((LONG)size)) {
            return;
        }
        ULONG needed = 0;
        NTSTATUS status =
            ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileNameWin32, answer.Data(), size, &needed);
        if (status == STATUS_SUCCESS) {
            PUNICODE_STRING name = (PUNICODE_STRING)answer.Data();
            PUCHAR text = (PUCHAR)name->Buffer;
            if (size >= sizeof(UNICODE_STRING) && text >= answer.Data() && text <= answer.Data() + size &&
                name->Length <= answer.Data() + size - text) {
                Image.Assign(*name);
            }
            return;
        }
        BOOLEAN tooSmall = status == STATUS_INFO_LENGTH_MISMATCH || status == STATUS_BUFFER_TOO_SMALL ||
                           status == STATUS_BUFFER_OVERFLOW;
        if (!tooSmall || needed <= size || needed > kMaxImageQueryBytes) {
            Trace(kTraceWarning, "DispatchCreate no image name %x", (ULONG)status);
            return;
        }
        size = needed;
    }
}

NTSTATUS CSerialDevice::DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCreate");
    // Once the create is complete nothing holds the device for this routine:
    // a unit of its own keeps removal waiting until the readers are sent and
    // the line is written.
    m_IoCounter.Increment();
    // Windows lets no open through to a stack that is going away (and none
    // before its start has succeeded); a platform that does gets no port.
    if (PnpState() == SurpriseRemoved || PnpState() == Removed) {
        CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
        return STATUS_NO_SUCH_DEVICE;
    }
    m_IsOpen = 1;
    // Taken before the handle exists, so that the close line counts every
    // byte the handle moves, those of a request sent the moment it opens too.
    m_SentAtOpen = m_BytesSent;
    m_ReceivedAtOpen = m_BytesReceived;
    CompleteRequest(Irp, STATUS_SUCCESS);
    // The open is granted; what follows does not change it.
    CUnicodeString image(PagedPool);
    GetOpenerImage(image);
    // A device whose start has not yet given the port its data path gets no
    // request: the start sends the readers itself, and a class request now
    // would reach the device before its configuration. (m_ReadPipe is set
    // once by InitReadWrite; a stale read only moves the restart to the start.)
    if (PnpState() == Started && m_ReadPipe != NULL) {
        RestartRead();
    }
    CUnicodeString port(PagedPool);
    CopyPortName(port);
    // An image that could not be named is passed as a null string.
    m_Log.Write("%S is opened by %S", TextOf(port), image.IsEmpty() ? NULL : image.Value().Buffer);
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchClose");
    // Removal may follow the close of the last handle at once: a unit keeps
    // the device until the line is written.
    m_IoCounter.Increment();
    m_IsOpen = 0;
    LONG received = (LONG)(m_BytesReceived - m_ReceivedAtOpen);
    LONG sent = (LONG)(m_BytesSent - m_SentAtOpen);
    CompleteRequest(Irp, STATUS_SUCCESS);
    CUnicodeString port(PagedPool);
    CopyPortName(port);
    m_Log.Write("%S is closed: recv %d, sent %d", TextOf(port), received, sent);
    m_IoCounter.Decrement();
    return STATUS_SUCCESS;
}

NTSTATUS CSerialDevice::DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Trace(kTraceEntry, "DispatchCleanup");
    // Every queued write, wait and read ends with STATUS_NO_SUCH_DEVICE,
    // whichever handle sent it; bytes in the ring stay for the next open.
    FlushRequests();
    m_IsOpen = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
