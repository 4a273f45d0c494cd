// USBD select-configuration request construction. The URB comes from
// nonpaged pool under the USBD tag; the caller frees it with ExFreePool.
#include <ntddk.h>
#include <sim/sim.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

namespace {

constexpr ULONG kUsbdTag = 'DBSU';  // "USBD" in pool listings
// The per-pipe transfer limit the library has always filled in (one page);
// a client that wants another limit sets it before sending the request.
constexpr ULONG kLibraryDefaultTransferSize = 4096;

PURB AllocateUrb(SIZE_T size)
{
    if (sim::ShouldFail(sim::FaultSite::Urb, 0))
        return nullptr;
    return static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
}

}  // namespace

extern "C" {

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (!ConfigurationDescriptor || !InterfaceList)
        return nullptr;

    ULONG interfaces = 0;
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    // UrbHeader.Length is 16 bits wide.
    if (interfaces == 0 || size > MAXUSHORT)
        return nullptr;

    PURB urb = AllocateUrb(size);
    if (!urb)
        return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    PUCHAR cursor = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
            info->Pipes[p].MaximumTransferSize = kLibraryDefaultTransferSize;
            info->Pipes[p].PipeFlags = 0;
        }
        e->Interface = info;
        cursor += info->Length;
    }
    return urb;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    if (Siz)
        *Siz = 0;
    if (!ConfigurationDescriptor)
        return nullptr;
    // Alternate setting 0 of every interface, in descriptor order. An
    // interface has at most one alternate setting 0, and there are at most
    // 256 interface numbers.
    USBD_INTERFACE_LIST_ENTRY list[257] = {};
    ULONG count = 0;
    PVOID start = ConfigurationDescriptor;
    while (count < 256) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, start, -1, 0, -1, -1, -1);
        if (!d)
            break;
        list[count++].InterfaceDescriptor = d;
        start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb && Siz)
        *Siz = urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
