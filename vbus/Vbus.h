// The virtual USB bus: a WDM bus driver that enumerates one PDO per
// plugged-in virtual device. Two ways to run:
//   PnP (Windows, the simulated machine): installed for the root device
//     "ROOT\BLNKVBUS"; AddDevice attaches the bus FDO above the root PDO, and
//     the bus invalidates its relations on that PDO.
//   legacy (Wine's `sc start`): AddDevice never comes; the control device
//     stands in as the bus device the relations are invalidated on.
// The control device serves the IOCTLs either way.
//
// Locks (never held while completing or forwarding an IRP):
//   g_Bus.Lock   the device list and each device's list/presence flags
//   Dev->Lock    everything else of one device: pending transfers, IN queues,
//                OUT views, URB log, faults, pipes, state
// Order: g_Bus.Lock before Dev->Lock. Both are spin locks (DISPATCH_LEVEL).
#pragma once

#include "VbusPlatform.h"

#include <vbus_ioctl.h>

#define VBUS_TAG 'subV'  // "Vbus" in pool listings
#define VBUS_MAX_ENDPOINTS 32
#define VBUS_MAX_TRANSFER_SIZE (1u << 20)
#define VBUS_TICK_MS 1                      // period of the transfer clock
#define VBUS_TICK (VBUS_TICK_MS * 10000LL)  // the same in 100-ns units
#define VBUS_SIG_CONTROL 0x43627556u        // "VubC"
#define VBUS_SIG_PDO 0x50627556u            // "VubP"
#define VBUS_SIG_FDO 0x46627556u            // "VubF"

// Presence flags, under g_Bus.Lock.
#define VBUS_LINK_PRESENT 0x1u   // to be reported in the bus relations
#define VBUS_LINK_REPORTED 0x2u  // the PnP manager holds the PDO
#define VBUS_LINK_LISTED 0x4u    // in g_Bus.Devices

// One IN chunk: stream bytes to be packed, or one raw packet.
struct VBUS_CHUNK {
    LIST_ENTRY Link;
    ULONG Length;
    ULONG Offset;  // stream bytes already delivered
    BOOLEAN Raw;
    UCHAR Data[1];
};

// Per endpoint address (index: number | 0x10 for IN).
struct VBUS_EPSTATE {
    LIST_ENTRY Chunks;  // IN only
    ULONG Bytes;        // stream bytes not yet delivered
    ULONG Packets;      // raw packets not yet delivered
    BOOLEAN Halted;
    LONGLONG NextPoll;  // free run: earliest next IN delivery (100 ns)
};

// One endpoint descriptor of the set, in descriptor order; pipe i is endpoint i.
struct VBUS_ENDPOINT {
    UCHAR Address;
    UCHAR Attributes;
    USHORT MaxPacket;
    UCHAR Interval;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    BOOLEAN Open;  // part of the selected configuration
    ULONG MaximumTransferSize;
};

// Byte ring for an OUT view.
struct VBUS_RING {
    PUCHAR Data;
    ULONG Head;  // next byte to read
    ULONG Count;
    ULONG Dropped;
};

struct VBUS_FAULT {
    ULONG Kind;
    USHORT Function;
    USHORT Endpoint;
    ULONG Nth;
    ULONG Count;
    ULONG Seen;
    NTSTATUS NtStatus;
    USBD_STATUS UsbdStatus;
    ULONG DescriptorType;  // descriptor faults
    ULONG Length;
    ULONG Offset;
    ULONG Value;
};

struct VBUS_DEVICE {
    volatile LONG RefCount;
    ULONG Id;
    LIST_ENTRY BusLink;  // g_Bus.Devices, under g_Bus.Lock
    ULONG Link;          // VBUS_LINK_*, under g_Bus.Lock
    PDEVICE_OBJECT Pdo;  // null once deleted

    KSPIN_LOCK Lock;
    ULONG State;       // VBUS_STATE_* except PRESENT/REPORTED (kept in Link)
    ULONG PowerState;  // DEVICE_POWER_STATE last set; 0 before the first start
    ULONG Mode;
    BOOLEAN Echo;
    // Unpaced mode: a thread is completing transfers (VbusPump); the others
    // leave their work to it, so completions stay in order and a completion
    // routine that submits again does not recurse.
    BOOLEAN Pumping;

    PUCHAR DeviceDesc;
    ULONG DeviceDescLength;
    PUCHAR ConfigDesc;
    ULONG ConfigDescLength;
    PWCHAR HardwareIds;  // multi-sz, or null: derived
    ULONG HardwareIdsBytes;
    WCHAR Serial[VBUS_MAX_SERIAL_CHARS];
    VBUS_CAPABILITIES Caps;

    VBUS_ENDPOINT Endpoints[VBUS_MAX_ENDPOINTS];
    ULONG EndpointCount;
    VBUS_EPSTATE Ep[32];
    UCHAR InterfaceHandles[VBUS_MAX_ENDPOINTS];  // addresses serve as opaque handles
    UCHAR ConfigHandle;
    // Counts the configurations selected: a pipe handle names its endpoint and
    // the selection that opened it, so a handle from an earlier selection is
    // refused as a real bus refuses it.
    ULONG Selection;

    LIST_ENTRY Pending;  // bulk/interrupt IRPs (Tail.Overlay.ListEntry); each holds a reference
    ULONG PendingIn;
    ULONG PendingOut;
    KEVENT Idle;  // signalled while Pending is empty

    VBUS_RING OutRaw;
    VBUS_RING OutPayload;

    VBUS_URB_LOG_ENTRY Log[VBUS_URB_LOG_ENTRIES];
    ULONG LogSequence;

    VBUS_FAULT Faults[VBUS_MAX_FAULTS];
    ULONG DelayMs;

    KTIMER Timer;
    KDPC Dpc;
    BOOLEAN TimerArmed;  // the periodic transfer clock runs and holds a reference
};

struct VBUS_EXTENSION {
    ULONG Signature;
    VBUS_DEVICE* Dev;  // PDOs only
};

struct VBUS_BUS {
    PDEVICE_OBJECT Control;
    // PnP route, under Lock: the bus FDO, the device below it and the root
    // PDO (null before AddDevice and after removal). PnpManaged stays set
    // once AddDevice came, so a removed bus never falls back to the legacy route.
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT RootPdo;
    BOOLEAN PnpManaged;
    KSPIN_LOCK Lock;
    LIST_ENTRY Devices;
    ULONG DeviceCount;
    ULONG NextId;
    KEVENT Empty;  // signalled while Devices is empty
};
extern VBUS_BUS g_Bus;

// Per-IRP bookkeeping of a pending transfer, in Irp->Tail.Overlay.DriverContext.
#define VBUS_CTX_DUE 0       // LONGLONG due time, 100 ns
#define VBUS_CTX_SEQUENCE 1  // URB log sequence
#define VBUS_CTX_ENDPOINT 2  // endpoint (pipe) index
#define VBUS_CTX_FLAGS 3     // VBUS_IRP_*
#define VBUS_IRP_ZERO_LENGTH 0x1u

// ---------------------------------------------------------------- VbusDevice.cpp
VBUS_DEVICE* VbusCreateDevice(const VBUS_PLUG_REQUEST* request, NTSTATUS* status);
VOID VbusReference(VBUS_DEVICE* dev);
VOID VbusRelease(VBUS_DEVICE* dev);
VBUS_DEVICE* VbusLookup(ULONG id);  // referenced, or null
NTSTATUS VbusPlug(VBUS_DEVICE* dev);
NTSTATUS VbusUnplug(ULONG id, BOOLEAN yank);
VOID VbusDeleteIfGone(VBUS_DEVICE* dev);
VOID VbusUnloadDevices();
VOID VbusRemoveAllDevices();
NTSTATUS VbusBusRelations(PIRP irp);
VOID VbusInvalidateRelations();

// ---------------------------------------------------------------- VbusFdo.cpp
DRIVER_ADD_DEVICE VbusAddDevice;
NTSTATUS VbusFdoPnp(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS VbusFdoPower(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS VbusFdoPassDown(PIRP irp);

// ---------------------------------------------------------------- VbusModel.cpp
LONGLONG VbusNow();
VBUS_EPSTATE* VbusEpState(VBUS_DEVICE* dev, UCHAR address);
// Pipe handles of the current selection (Dev->Lock held): the handle of
// endpoint `index`, and the endpoint index a handle names (-1 when it names
// none of the open pipes of the current selection).
USBD_PIPE_HANDLE VbusPipeHandle(VBUS_DEVICE* dev, ULONG index);
LONG VbusPipeIndex(VBUS_DEVICE* dev, USBD_PIPE_HANDLE handle);
// Applies the descriptor faults to an answer of *length bytes (Dev->Lock held).
VOID VbusDescriptorFaults(VBUS_DEVICE* dev, UCHAR type, PUCHAR answer, ULONG* length);
LONG VbusFirstInEndpoint(VBUS_DEVICE* dev);
LONG VbusFindEndpoint(VBUS_DEVICE* dev, UCHAR address);
NTSTATUS VbusParseEndpoints(VBUS_DEVICE* dev);
NTSTATUS VbusQueueIn(VBUS_DEVICE* dev, UCHAR address, const UCHAR* data, ULONG length, BOOLEAN raw);
ULONG VbusTakeInPacket(VBUS_DEVICE* dev, UCHAR address, PUCHAR packet, ULONG capacity, BOOLEAN* oversized);
BOOLEAN VbusHasInPacket(VBUS_DEVICE* dev, UCHAR address);
VOID VbusFreeChunks(VBUS_DEVICE* dev);
VOID VbusAcceptOut(VBUS_DEVICE* dev, const VBUS_ENDPOINT* ep, const UCHAR* data, ULONG length);
ULONG VbusRingRead(VBUS_RING* ring, PUCHAR out, ULONG capacity);
ULONG VbusReadRawPackets(VBUS_RING* ring, PUCHAR out, ULONG capacity);
ULONG VbusLogUrb(VBUS_DEVICE* dev, const URB* urb, UCHAR endpoint);
VOID VbusLogResult(VBUS_DEVICE* dev, ULONG sequence, NTSTATUS status, USBD_STATUS usbd, ULONG actual);
BOOLEAN VbusMatchFault(VBUS_DEVICE* dev, ULONG kind, USHORT function, USHORT endpoint, VBUS_FAULT** hit);
NTSTATUS VbusSetFault(VBUS_DEVICE* dev, const VBUS_FAULT_REQUEST* request);

// ---------------------------------------------------------------- VbusTransfer.cpp
NTSTATUS VbusSubmitTransfer(VBUS_DEVICE* dev, PIRP irp, PURB urb, ULONG sequence);
VOID VbusKick(VBUS_DEVICE* dev);  // Dev->Lock held
VOID VbusPump(VBUS_DEVICE* dev);  // no lock held, IRQL <= DISPATCH_LEVEL; unpaced mode only
// Dev->Lock held: whether the caller, once it has released the lock, pumps.
inline BOOLEAN VbusUnpaced(const VBUS_DEVICE* dev)
{
    return dev->Mode == VBUS_MODE_UNPACED;
}
#define VBUS_ALL_ENDPOINTS 0xFFFFu
VOID VbusFlushTransfers(VBUS_DEVICE* dev, USHORT address, NTSTATUS status, USBD_STATUS usbd);
ULONG VbusStep(VBUS_DEVICE* dev, ULONG count);
VOID VbusStallEndpoint(VBUS_DEVICE* dev, UCHAR address);
VOID VbusCompleteUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbd);
KDEFERRED_ROUTINE VbusTransferDpc;

// ---------------------------------------------------------------- VbusUrb.cpp
NTSTATUS VbusPdoInternalIoctl(VBUS_DEVICE* dev, PIRP irp);

// ---------------------------------------------------------------- VbusPdo.cpp
NTSTATUS VbusPdoPnp(VBUS_DEVICE* dev, PIRP irp);
NTSTATUS VbusPdoPower(VBUS_DEVICE* dev, PIRP irp);

// ---------------------------------------------------------------- VbusIds.cpp
NTSTATUS VbusQueryId(VBUS_DEVICE* dev, BUS_QUERY_ID_TYPE type, PWCHAR* result);
NTSTATUS VbusQueryText(VBUS_DEVICE* dev, DEVICE_TEXT_TYPE type, PWCHAR* result);

// ---------------------------------------------------------------- VbusControl.cpp
NTSTATUS VbusControlIoctl(PIRP irp);

// Dev->Lock held. A device in D1-D3 is suspended: it moves no data, so its
// transfers stay pending until it is back in D0.
inline BOOLEAN VbusSuspended(const VBUS_DEVICE* dev)
{
    return dev->PowerState > PowerDeviceD0;
}

// Completes `irp` with `status` (never with a lock held).
inline NTSTATUS VbusComplete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
