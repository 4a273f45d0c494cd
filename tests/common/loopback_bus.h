// A lean stand-in for the USB bus below one function device, for tests that
// need exact control of every transfer and for the data path benchmark: IN
// transfers wait until the test completes them with a packet; OUT transfers
// wait until the test (or a completer thread) accepts them. Host-only.
#pragma once

#include "DriverEntry.h"
#include "port/SerialDevice.h"
#include "port_internals.h"

#include "usb_descriptors.h"

#include <sim/sim.h>

#include <deque>
#include <mutex>
#include <vector>

namespace loopback {

struct Bus {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    KSPIN_LOCK lock = 0;  // guards the two queues
    std::deque<PIRP> pendingIn;
    std::deque<PIRP> pendingOut;
    std::mutex outLog;  // guards outPackets
    std::vector<std::vector<uint8_t>> outPackets;
    // The device's descriptors, served to GET_DESCRIPTOR_FROM_DEVICE.
    std::vector<uint8_t> deviceDescriptor = usbdesc::Device();
    std::vector<uint8_t> configDescriptor = usbdesc::ReferenceConfig();
    NTSTATUS descriptorStatus = STATUS_SUCCESS;  // what descriptor requests end with
    NTSTATUS selectStatus = STATUS_SUCCESS;      // what SELECT_CONFIGURATION ends with
    USHORT selectLength = 0;                     // nonzero: the Length the first interface record comes back with
    NTSTATUS startStatus = STATUS_SUCCESS;       // what IRP_MN_START_DEVICE ends with
    std::vector<uint32_t> descriptorLengths;     // TransferBufferLength of each descriptor request
    std::vector<uint8_t> selectUrb;              // the last SELECT_CONFIGURATION URB as received
    std::vector<UCHAR> classRequests;            // bRequest of each class-interface request
    std::vector<UCHAR> pnpMinors;                // PnP minor codes that reached the PDO
    // OUT transfers are accepted inside IoCallDriver, at DISPATCH_LEVEL, as
    // a device with room would take them (no thread hand-off), and not logged.
    bool acceptOutAtOnce = false;
};

inline Bus& TheBus()
{
    static Bus bus;
    return bus;
}

inline PURB UrbOf(PIRP irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

inline VOID CancelQueued(PDEVICE_OBJECT, PIRP irp)
{
    Bus& bus = TheBus();
    KIRQL cancelIrql = irp->CancelIrql;
    KIRQL old;
    KeAcquireSpinLock(&bus.lock, &old);
    bool found = false;
    for (auto* queue : {&bus.pendingIn, &bus.pendingOut}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (*it == irp) {
                queue->erase(it);
                found = true;
                break;
            }
        }
    }
    KeReleaseSpinLock(&bus.lock, old);
    IoReleaseCancelSpinLock(cancelIrql);
    if (found) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

inline NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    UrbOf(irp)->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS Descriptor(PIRP irp, PURB urb)
{
    Bus& bus = TheBus();
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    bus.descriptorLengths.push_back(r.TransferBufferLength);
    if (!NT_SUCCESS(bus.descriptorStatus)) {
        return Finish(irp, bus.descriptorStatus);
    }
    const std::vector<uint8_t>& source = r.DescriptorType == 1 ? bus.deviceDescriptor : bus.configDescriptor;
    ULONG n = (ULONG)source.size() < r.TransferBufferLength ? (ULONG)source.size() : r.TransferBufferLength;
    memcpy(r.TransferBuffer, source.data(), n);
    r.TransferBufferLength = n;
    return Finish(irp, STATUS_SUCCESS);
}

inline NTSTATUS Select(PIRP irp, PURB urb)
{
    Bus& bus = TheBus();
    bus.selectUrb.assign((uint8_t*)urb, (uint8_t*)urb + urb->UrbHeader.Length);
    if (!NT_SUCCESS(bus.selectStatus)) {
        return Finish(irp, bus.selectStatus);
    }
    // Pipe handles as a bus assigns them; everything else as the request gave it.
    PUCHAR at = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
    PUCHAR end = (PUCHAR)urb + urb->UrbHeader.Length;
    ULONG handle = 0x1000;
    while (at + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) <= end) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
        if (info->Length == 0) {
            break;
        }
        info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(handle++);
        for (ULONG i = 0; i < info->NumberOfPipes; i++) {
            info->Pipes[i].PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(handle++);
        }
        at += info->Length;
    }
    urb->UrbSelectConfiguration.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0xC0;
    if (bus.selectLength != 0) {
        urb->UrbSelectConfiguration.Interface.Length = bus.selectLength;
    }
    return Finish(irp, STATUS_SUCCESS);
}

inline NTSTATUS Urb(PDEVICE_OBJECT, PIRP irp)
{
    Bus& bus = TheBus();
    PURB urb = UrbOf(irp);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return Descriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return Select(irp, urb);
    case URB_FUNCTION_CLASS_INTERFACE:
        bus.classRequests.push_back(urb->UrbControlVendorClassRequest.Request);
        return Finish(irp, STATUS_SUCCESS);
    default:
        return Finish(irp, STATUS_NOT_SUPPORTED);
    }
    bool in = (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (!in && bus.acceptOutAtOnce) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
        return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&bus.lock, &old);
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&bus.lock, old);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    (in ? bus.pendingIn : bus.pendingOut).push_back(irp);
    KeReleaseSpinLock(&bus.lock, old);
    return STATUS_PENDING;
}

inline NTSTATUS Pnp(PDEVICE_OBJECT, PIRP irp)
{
    // The PDO of a device that is always there: every PnP request succeeds.
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    TheBus().pnpMinors.push_back(minor);
    if (minor == IRP_MN_START_DEVICE) {
        status = TheBus().startStatus;
    } else if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
               minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
               minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE) {
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Urb;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    return STATUS_SUCCESS;
}

// Takes the oldest waiting transfer of one direction off its queue, or null.
inline PIRP Take(bool in)
{
    Bus& bus = TheBus();
    for (;;) {
        KIRQL old;
        KeAcquireSpinLock(&bus.lock, &old);
        std::deque<PIRP>& queue = in ? bus.pendingIn : bus.pendingOut;
        if (queue.empty()) {
            KeReleaseSpinLock(&bus.lock, old);
            return nullptr;
        }
        PIRP irp = queue.front();
        queue.pop_front();
        KeReleaseSpinLock(&bus.lock, old);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
        // Being cancelled: its cancel routine will not find it, so finish it here
        // once that routine has let go of the cancel spin lock.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

inline size_t PendingOut()
{
    Bus& bus = TheBus();
    KIRQL old;
    KeAcquireSpinLock(&bus.lock, &old);
    size_t n = bus.pendingOut.size();
    KeReleaseSpinLock(&bus.lock, old);
    return n;
}

// The oldest OUT transfer the bus holds, or null.
inline PIRP OldestPendingOut()
{
    Bus& bus = TheBus();
    KIRQL old;
    KeAcquireSpinLock(&bus.lock, &old);
    PIRP irp = bus.pendingOut.empty() ? nullptr : bus.pendingOut.front();
    KeReleaseSpinLock(&bus.lock, old);
    return irp;
}

inline size_t PendingIn()
{
    Bus& bus = TheBus();
    KIRQL old;
    KeAcquireSpinLock(&bus.lock, &old);
    size_t n = bus.pendingIn.size();
    KeReleaseSpinLock(&bus.lock, old);
    return n;
}

// Completes the oldest IN transfer with `packet` at DISPATCH_LEVEL, as a host
// controller does; false when no IN transfer waits.
inline bool CompleteIn(const std::vector<uint8_t>& packet, NTSTATUS status = STATUS_SUCCESS)
{
    PIRP irp = Take(true);
    if (irp == nullptr) {
        return false;
    }
    PURB urb = UrbOf(irp);
    ULONG n = (ULONG)packet.size();
    if (n > urb->UrbBulkOrInterruptTransfer.TransferBufferLength) {
        n = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    if (n != 0) {
        memcpy(urb->UrbBulkOrInterruptTransfer.TransferBuffer, packet.data(), n);
    }
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = NT_SUCCESS(status) ? n : 0;
    irp->IoStatus.Status = status;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return true;
}

// Accepts (or fails) the oldest OUT transfer; false when none waits.
inline bool CompleteOut(NTSTATUS status = STATUS_SUCCESS)
{
    PIRP irp = Take(false);
    if (irp == nullptr) {
        return false;
    }
    PURB urb = UrbOf(irp);
    if (NT_SUCCESS(status)) {
        const uint8_t* data = (const uint8_t*)urb->UrbBulkOrInterruptTransfer.TransferBuffer;
        std::lock_guard<std::mutex> guard(TheBus().outLog);
        TheBus().outPackets.emplace_back(data, data + urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    } else {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    }
    irp->IoStatus.Status = status;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return true;
}

// A function device of the product's driver on top of the loopback PDO, with
// an interrupt IN pipe of `inPacket` bytes and an interrupt OUT pipe of
// `outPacket` bytes already selected (the data path is not started).
// Gives a port the pipes a configured device has, an interrupt pipe each
// way, as its configuration would have chosen them.
inline bool SetPipes(CSerialDevice* device, USHORT inPacket, USHORT outPacket)
{
    LONG bytes = (LONG)(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION));
    if (!In(device).m_InterfaceInfo.SizeTo(bytes)) {
        return false;
    }
    PUSBD_INTERFACE_INFORMATION info = In(device).InterfaceInfo();
    memset(info, 0, bytes);
    info->Length = (USHORT)bytes;
    info->NumberOfPipes = 2;
    info->Pipes[0].EndpointAddress = 0x81;
    info->Pipes[0].PipeType = UsbdPipeTypeInterrupt;
    info->Pipes[0].MaximumPacketSize = inPacket;
    info->Pipes[0].PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)0x1001;
    info->Pipes[1].EndpointAddress = 0x02;
    info->Pipes[1].PipeType = UsbdPipeTypeInterrupt;
    info->Pipes[1].MaximumPacketSize = outPacket;
    info->Pipes[1].PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)0x1002;
    return true;
}

struct Port {
    PDRIVER_OBJECT product = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    CSerialDevice* device = nullptr;

    bool Create(USHORT inPacket = 16, USHORT outPacket = 64)
    {
        Bus& bus = TheBus();
        // What the last port's life recorded is not this one's (the settings
        // stay; Remove resets them, and has emptied the OUT log).
        bus.classRequests.clear();
        bus.pnpMinors.clear();
        bus.descriptorLengths.clear();
        bus.selectUrb.clear();
        bus.driver = sim::LoadDriver(L"LoopbackBus", Entry);
        if (bus.driver == nullptr ||
            IoCreateDevice(bus.driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus.pdo) != STATUS_SUCCESS) {
            return false;
        }
        bus.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeSpinLock(&bus.lock);
        product = sim::LoadDriver(L"Brisklink", DriverEntry);
        if (product == nullptr || product->DriverExtension->AddDevice(product, bus.pdo) != STATUS_SUCCESS) {
            return false;
        }
        fdo = bus.pdo->AttachedDevice;
        device = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(fdo));
        return SetPipes(device, inPacket, outPacket);
    }

    bool Start() { return In(device).InitReadWrite(In(device).InterfaceInfo()) != FALSE; }

    // Removal as the PnP manager sends it; frees the function device.
    void Remove()
    {
        if (fdo != nullptr) {
            sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
            fdo = nullptr;
            device = nullptr;
        }
        Bus& bus = TheBus();
        if (bus.pdo != nullptr) {
            IoDeleteDevice(bus.pdo);
            bus.pdo = nullptr;
        }
        if (product != nullptr) {
            sim::UnloadDriver(product);
            product = nullptr;
        }
        if (bus.driver != nullptr) {
            sim::UnloadDriver(bus.driver);
            bus.driver = nullptr;
        }
        std::lock_guard<std::mutex> guard(bus.outLog);
        bus.outPackets.clear();
        // A test's settings end with its port: the next test in the same
        // process meets the reference device.
        bus.deviceDescriptor = usbdesc::Device();
        bus.configDescriptor = usbdesc::ReferenceConfig();
        bus.descriptorStatus = STATUS_SUCCESS;
        bus.selectStatus = STATUS_SUCCESS;
        bus.selectLength = 0;
        bus.startStatus = STATUS_SUCCESS;
    }
};

}  // namespace loopback
