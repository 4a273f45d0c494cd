// USBD descriptor parsing. Every walk stays inside the buffer it was given:
// a descriptor is only returned when all bLength bytes of it lie inside, and a
// bLength below 2 ends the walk (a zero length would otherwise never advance).
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

namespace {

// The descriptor at `p` when it lies wholly inside [p, end); null otherwise.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const UCHAR* p, const UCHAR* end)
{
    if (p >= end || end - p < (ptrdiff_t)sizeof(USB_COMMON_DESCRIPTOR))
        return nullptr;
    auto d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > end - p)
        return nullptr;
    return d;
}

}  // namespace

extern "C" {

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (!VersionInformation)
        return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (!DescriptorBuffer || !StartPosition)
        return nullptr;
    const UCHAR* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
    if (p < begin || p >= end)
        return nullptr;
    while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end)) {
        if (d->bDescriptorType == (UCHAR)DescriptorType)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (!ConfigurationDescriptor || !StartPosition)
        return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + total;
    const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
    while (p >= begin && p < end) {
        auto d =
            USBD_ParseDescriptors(ConfigurationDescriptor, total, const_cast<UCHAR*>(p), USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!d)
            return nullptr;
        p = reinterpret_cast<const UCHAR*>(d) + d->bLength;
        // A descriptor too short to hold the interface fields never matches.
        if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            continue;
        auto i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol)) {
            return i;
        }
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd)
{
    if (!InterfaceDescriptor || !BufferEnd)
        return 0;
    const UCHAR* start = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    const UCHAR* end = BufferEnd;
    const USB_COMMON_DESCRIPTOR* first = DescriptorAt(start, end);
    if (!first)
        return 0;
    const UCHAR* p = start + first->bLength;
    // The interface runs through its endpoint and class descriptors up to the
    // next interface descriptor (or the end of the buffer).
    while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        p += d->bLength;
    }
    return (ULONG)(p - start);
}

}  // extern "C"
