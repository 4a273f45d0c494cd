// The port's names: its COM name (PortName in the device's hardware key, for
// the active port copied from the service's Parameters), its friendly name in
// the Enum key, its global DOS link and its SERIALCOMM entry. Everything here
// runs at PASSIVE_LEVEL: at start, at removal, and for the rename request.
//
// Keys are opened with the access each operation needs (reading: KEY_READ;
// writing: KEY_SET_VALUE too), so that they work wherever handle access is
// enforced.
#include "control/ControlDevice.h"
#include "port/SerialDevice.h"
#include "support/RegistryKey.h"

namespace {

const WCHAR kGlobalParameters[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink\\Parameters";
const WCHAR kEnumRoot[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const WCHAR kFriendlyName[] = L"Nivex PXB Port";
const WCHAR kDosDevices[] = L"\\DosDevices\\Global\\";

// Writes a REG_SZ value with its terminating zero.
NTSTATUS SetString(HANDLE key, PCWSTR name, const UNICODE_STRING& text)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    // CUnicodeString keeps a zero behind its text (an empty one may have no
    // buffer at all: it is written as a lone zero).
    static const WCHAR empty = 0;
    PVOID data = text.Buffer != NULL ? (PVOID)text.Buffer : (PVOID)&empty;
    return ZwSetValueKey(key, &valueName, 0, REG_SZ, data, text.Length + sizeof(WCHAR));
}

// The control device's log, or none: the naming lines go there.
void LogToControl(const char* message, PCWSTR argument = NULL)
{
    CControlDevice* control = GetControlExtension();
    if (control != NULL) {
        control->m_Log.Write(message, argument);
    }
}

}  // namespace

NTSTATUS CSerialDevice::OpenHardwareKey(ACCESS_MASK access, CRegistryKey& key)
{
    HANDLE handle = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(m_Pdo, PLUGPLAY_REGKEY_DEVICE, access, &handle);
    if (NT_SUCCESS(status)) {
        key.m_Handle = handle;
    }
    return status;
}

BOOLEAN CSerialDevice::GetGlobalPortName(CUnicodeString& out)
{
    PAGED_CODE();
    CUnicodeString path(kGlobalParameters);
    CRegistryKey key;
    if (!NT_SUCCESS(key.Open(path, KEY_READ))) {
        LogToControl("GetGlobalPortName: Open registry is error: %S", kGlobalParameters);
        Trace(kTraceFailure, "Open registry: %S", kGlobalParameters);
        return FALSE;
    }
    CUnicodeString name(L"PortName");
    return key.QueryString(name, out) == STATUS_SUCCESS;
}

BOOLEAN CSerialDevice::GetPortName(CUnicodeString& out)
{
    PAGED_CODE();
    Trace(kTraceEntry, "GetPortName");
    CRegistryKey key;
    if (!NT_SUCCESS(OpenHardwareKey(KEY_READ, key))) {
        Trace(kTraceFailure, "failed to IoOpenDevRegKey");
        return FALSE;
    }
    CUnicodeString name(L"PortName");
    if (!NT_SUCCESS(key.QueryString(name, out))) {
        Trace(kTraceFailure, "PortName is not set");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CSerialDevice::SetPortName(CUnicodeString& name)
{
    PAGED_CODE();
    Trace(kTraceEntry, "SetPortName");
    CRegistryKey key;
    if (!NT_SUCCESS(OpenHardwareKey(KEY_READ | KEY_SET_VALUE, key))) {
        LogToControl("SetPortName: failed to IoOpenDevRegKey");
        Trace(kTraceFailure, "failed to IoOpenDevRegKey");
        return FALSE;
    }
    if (!NT_SUCCESS(SetString(key.m_Handle, L"PortName", name.Value()))) {
        Trace(kTraceFailure, "SetPortName: PortName cannot set");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CSerialDevice::SetFriendName(CUnicodeString& friendly)
{
    PAGED_CODE();
    Trace(kTraceEntry, "SetFriendName");
    CUnicodeString instance(PagedPool);
    {
        CRegistryKey key;
        if (!NT_SUCCESS(OpenHardwareKey(KEY_READ, key))) {
            LogToControl("SetPortName: failed to IoOpenDevRegKey");
            Trace(kTraceFailure, "failed to IoOpenDevRegKey");
            return FALSE;
        }
        CUnicodeString name(L"InstancePath");
        // An empty path would name the Enum key itself.
        if (!NT_SUCCESS(key.QueryString(name, instance)) || instance.IsEmpty()) {
            LogToControl("SetPortName: InstancePath is absent");
            Trace(kTraceFailure, "SetPortName: InstancePath is absent");
            return FALSE;
        }
    }
    CUnicodeString path(kEnumRoot);
    path.Append(instance.Value());
    CRegistryKey key;
    if (!NT_SUCCESS(key.Open(path, KEY_SET_VALUE))) {
        LogToControl("SetPortName: path not found %S", path.Value().Buffer);
        Trace(kTraceFailure, "SetPortName: path not found %S", path.Value().Buffer);
        return FALSE;
    }
    if (!NT_SUCCESS(SetString(key.m_Handle, L"FriendlyName", friendly.Value()))) {
        LogToControl("SetPortName: FriendlyName is fail");
        Trace(kTraceFailure, "SetPortName: FriendlyName is fail");
        return FALSE;
    }
    return TRUE;
}

void CSerialDevice::InitPortNames()
{
    PAGED_CODE();
    CControlDevice* control = GetControlExtension();
    if (control == NULL) {
        return;
    }
    CUnicodeString friendly(kFriendlyName);
    if (!control->ClaimActiveDevice(this)) {
        // Another port owns the driver-wide name: this one gets none, and so
        // no link.
        friendly.Append(*CUnicodeString(L" (disable)").Get());
        SetFriendName(friendly);
        CUnicodeString none(PagedPool);
        SetPortName(none);
        return;
    }
    CUnicodeString global(PagedPool);
    if (!GetGlobalPortName(global)) {
        control->m_Log.Write("Cannot get global port name");
        return;
    }
    friendly.Append(*CUnicodeString(L" (").Get());
    friendly.Append(global.Value());
    friendly.Append(*CUnicodeString(L")").Get());
    SetFriendName(friendly);
    SetPortName(global);
}

BOOLEAN CSerialDevice::CreateSymbolicLink()
{
    PAGED_CODE();
    Trace(kTraceEntry, "CreateSymbolicLink");
    // The port's own link goes first: a start after a stop, and a rename,
    // make it again (under its new name, or the old one).
    DeleteSymbolicLink();
    // A port whose name cannot be read (or is empty) keeps the link it had.
    if (GetPortName(m_PortName) && m_PortName.Value().Length >= sizeof(WCHAR)) {
        m_LinkName.Assign(kDosDevices);
        m_LinkName.Append(m_PortName.Value());
        Trace(kTraceDetail, "CreateSymbolicLink %S", m_LinkName.Value().Buffer);
    }
    if (m_LinkName.IsEmpty()) {
        Trace(kTraceFailure, "CreateSymbolicLink: link is absent");
        m_Log.Write("Error: Symbolic Link is absent");
        return FALSE;
    }
    NTSTATUS status = IoCreateSymbolicLink(m_LinkName.Get(), m_DeviceName.Get());
    // Only STATUS_SUCCESS made the link: a kernel that opens an existing name
    // instead (STATUS_OBJECT_NAME_EXISTS, as Wine's does) leaves it another's.
    if (status != STATUS_SUCCESS) {
        Trace(kTraceFailure, "CreateSymbolicLink: Cannot creare symbolicLink %d", status);
        m_Log.Write("Error: %S cannot create symbolic link", m_LinkName.Value().Buffer);
        // The name is another's (a second port holds it): m_LinkName names
        // only a link this port made, or removal would delete the other's.
        m_LinkName.Assign((PCWSTR)NULL);
        return FALSE;
    }
    Trace(kTraceEntry, "AddPortToReg");
    // The map holds the name's characters only, no terminator: what programs
    // that list the machine's ports have always read there.
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", m_DeviceName.Value().Buffer, REG_SZ,
                          m_PortName.Value().Buffer, m_PortName.Value().Length);
    return TRUE;
}

void CSerialDevice::DeleteSymbolicLink()
{
    PAGED_CODE();
    if (!m_LinkName.IsEmpty()) {
        IoDeleteSymbolicLink(m_LinkName.Get());
    }
}

void CSerialDevice::DelPortToReg()
{
    PAGED_CODE();
    Trace(kTraceEntry, "DelPortToReg");
    if (m_DeviceName.Value().Buffer != NULL) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", m_DeviceName.Value().Buffer);
    }
}

NTSTATUS CSerialDevice::RenamePort()
{
    PAGED_CODE();
    CLockGuard guard(&m_NameLock);
    // A port on its way out keeps no link: surprise removal took it.
    if (PnpState() == SurpriseRemoved || PnpState() == Removed) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!CreateSymbolicLink()) {
        return STATUS_UNSUCCESSFUL;
    }
    // A port that had no name at start has no data path yet: it gets one now
    // (if its configuration was selected at all).
    if (m_WriteUrb.m_Size == 0 && InterfaceInfo() != NULL && !InitReadWrite(InterfaceInfo())) {
        Trace(kTraceFailure, "DispatchDevCtrl InitReadWrite is failed");
    }
    return STATUS_SUCCESS;
}

void CSerialDevice::PublishPort()
{
    PAGED_CODE();
    CLockGuard guard(&m_NameLock);
    if (CreateSymbolicLink()) {
        InitReadWrite(InterfaceInfo());
    }
}

void CSerialDevice::WithdrawPort()
{
    PAGED_CODE();
    CLockGuard guard(&m_NameLock);
    DeleteSymbolicLink();
    m_LinkName.Assign((PCWSTR)NULL);
}

void CSerialDevice::CopyPortName(CUnicodeString& out)
{
    PAGED_CODE();
    CLockGuard guard(&m_NameLock);
    out.Assign(m_PortName.Value());
}
