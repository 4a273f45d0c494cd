// Identifier strings of a PDO, in paged pool the PnP manager frees:
// "USB\VID_xxxx&PID_yyyy" device ids, hardware and compatible id lists,
// the instance id and the device text.
#include "Vbus.h"

namespace {

// Appends into a fixed buffer; Ok() is false once anything did not fit.
class IdWriter {
public:
    IdWriter(PWCHAR buffer, ULONG capacity) : buffer_(buffer), capacity_(capacity) {}
    IdWriter& Text(const char* s)
    {
        while (*s)
            Put((WCHAR)*s++);
        return *this;
    }
    IdWriter& Hex(ULONG value, int digits)
    {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            Put((WCHAR) "0123456789ABCDEF"[(value >> shift) & 0xF]);
        return *this;
    }
    IdWriter& Decimal(ULONG value, int minDigits = 1)
    {
        WCHAR digits[10];
        int n = 0;
        do {
            digits[n++] = (WCHAR)(L'0' + value % 10);
            value /= 10;
        } while (value || n < minDigits);
        while (n)
            Put(digits[--n]);
        return *this;
    }
    IdWriter& Wide(const WCHAR* s)
    {
        while (*s)
            Put(*s++);
        return *this;
    }
    IdWriter& Raw(const WCHAR* s, ULONG chars)
    {
        for (ULONG i = 0; i < chars; ++i)
            Put(s[i]);
        return *this;
    }
    IdWriter& End()
    {  // one string terminator
        Put(0);
        return *this;
    }
    BOOLEAN Ok() const { return ok_; }
    ULONG Used() const { return used_; }

private:
    VOID Put(WCHAR c)
    {
        if (used_ < capacity_)
            buffer_[used_++] = c;
        else
            ok_ = FALSE;
    }
    PWCHAR buffer_;
    ULONG capacity_;
    ULONG used_ = 0;
    BOOLEAN ok_ = TRUE;
};

const ULONG kIdChars = VBUS_MAX_HARDWARE_IDS_CHARS + 64;

USHORT DescriptorWord(VBUS_DEVICE* dev, ULONG offset)
{
    if (offset + 1 >= dev->DeviceDescLength)
        return 0;
    return (USHORT)(dev->DeviceDesc[offset] | (dev->DeviceDesc[offset + 1] << 8));
}

// Class triple of the device, or of its first interface when the device
// defers to its interfaces (class 0).
VOID ClassOf(VBUS_DEVICE* dev, UCHAR* cls, UCHAR* sub, UCHAR* prot)
{
    *cls = dev->DeviceDescLength > 4 ? dev->DeviceDesc[4] : 0;
    *sub = dev->DeviceDescLength > 5 ? dev->DeviceDesc[5] : 0;
    *prot = dev->DeviceDescLength > 6 ? dev->DeviceDesc[6] : 0;
    if (*cls)
        return;
    const UCHAR* p = dev->ConfigDesc;
    const UCHAR* end = p + dev->ConfigDescLength;
    while (end - p >= 2 && p[0] >= 2 && p[0] <= end - p) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            *cls = p[5];
            *sub = p[6];
            *prot = p[7];
            return;
        }
        p += p[0];
    }
}

VOID VidPid(IdWriter& w, VBUS_DEVICE* dev)
{
    w.Text("USB\\VID_").Hex(DescriptorWord(dev, 8), 4).Text("&PID_").Hex(DescriptorWord(dev, 10), 4);
}

}  // namespace

// PASSIVE_LEVEL. STATUS_NOT_SUPPORTED for id types the bus leaves alone.
NTSTATUS VbusQueryId(VBUS_DEVICE* dev, BUS_QUERY_ID_TYPE type, PWCHAR* result)
{
    auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kIdChars * sizeof(WCHAR), VBUS_TAG));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    IdWriter w(buffer, kIdChars);
    UCHAR cls, sub, prot;
    switch (type) {
    case BusQueryDeviceID:
        VidPid(w, dev);
        w.End();
        break;
    case BusQueryHardwareIDs:
        if (dev->HardwareIds) {
            w.Raw(dev->HardwareIds, dev->HardwareIdsBytes / sizeof(WCHAR));  // validated multi-sz
        } else {
            VidPid(w, dev);
            w.Text("&REV_").Hex(DescriptorWord(dev, 12), 4).End();
            VidPid(w, dev);
            w.End().End();
        }
        break;
    case BusQueryCompatibleIDs:
        ClassOf(dev, &cls, &sub, &prot);
        w.Text("USB\\Class_").Hex(cls, 2).Text("&SubClass_").Hex(sub, 2).Text("&Prot_").Hex(prot, 2).End();
        w.Text("USB\\Class_").Hex(cls, 2).Text("&SubClass_").Hex(sub, 2).End();
        w.Text("USB\\Class_").Hex(cls, 2).End().End();
        break;
    case BusQueryInstanceID:
        if (dev->Serial[0])
            w.Wide(dev->Serial).End();
        else
            w.Decimal(dev->Id).End();
        break;
    default:
        ExFreePoolWithTag(buffer, VBUS_TAG);
        return STATUS_NOT_SUPPORTED;
    }
    if (!w.Ok()) {
        ExFreePoolWithTag(buffer, VBUS_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *result = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS VbusQueryText(VBUS_DEVICE* dev, DEVICE_TEXT_TYPE type, PWCHAR* result)
{
    if (type != DeviceTextDescription && type != DeviceTextLocationInformation)
        return STATUS_NOT_SUPPORTED;
    const ULONG chars = 64;
    auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), VBUS_TAG));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    IdWriter w(buffer, chars);
    if (type == DeviceTextDescription)
        w.Text("Virtual USB device").End();
    else
        w.Text("Port_#").Decimal(dev->Id, 4).Text(".Hub_#0001").End();
    *result = buffer;
    return STATUS_SUCCESS;
}
