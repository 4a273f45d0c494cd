// Control interface of the virtual USB bus (BlnkVbus): shared by the bus
// driver, the tests and the tools. Plain C with fixed-size integer types only,
// so 32- and 64-bit user-mode clients and the 64-bit driver agree on every
// layout (no pointers, no 64-bit fields, natural alignment throughout).
//
// Every request and response starts with Size = sizeof(the record) of the
// version the client was built with; the bus refuses any other value with
// STATUS_INVALID_PARAMETER. Variable-length requests add TotalLength, the
// size of the record plus its trailing data. Requests whose input is short
// fail with STATUS_INVALID_PARAMETER; outputs that are too small fail with
// STATUS_BUFFER_TOO_SMALL. All codes are METHOD_BUFFERED.
#pragma once

#include <stdint.h>

#define VBUS_DEVICE_NAME L"\\Device\\BlnkVbus"
#define VBUS_LINK_NAME L"\\DosDevices\\Global\\BlnkVbus"
#define VBUS_USER_PATH L"\\\\.\\BlnkVbus"
#define VBUS_USER_PATH_A "\\\\.\\BlnkVbus"

// CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS),
// spelled out so the header needs no Windows header.
#define VBUS_CTL_CODE(n) ((uint32_t)((0x2Au << 16) | ((0x900u + (n)) << 2)))

#define VBUS_IOCTL_PLUG VBUS_CTL_CODE(0)
#define VBUS_IOCTL_UNPLUG VBUS_CTL_CODE(1)
#define VBUS_IOCTL_YANK VBUS_CTL_CODE(2)
#define VBUS_IOCTL_FEED_IN VBUS_CTL_CODE(3)
#define VBUS_IOCTL_READ_OUT VBUS_CTL_CODE(4)
#define VBUS_IOCTL_SET_FAULT VBUS_CTL_CODE(5)
#define VBUS_IOCTL_GET_URB_LOG VBUS_CTL_CODE(6)
#define VBUS_IOCTL_SET_MODE VBUS_CTL_CODE(7)
#define VBUS_IOCTL_STEP VBUS_CTL_CODE(8)
#define VBUS_IOCTL_ECHO VBUS_CTL_CODE(9)
#define VBUS_IOCTL_QUERY_DEVICE VBUS_CTL_CODE(10)

// Limits the bus enforces on requests.
#define VBUS_MAX_DEVICES 16
#define VBUS_MAX_DEVICE_DESCRIPTOR 255
#define VBUS_MAX_CONFIG_DESCRIPTOR 4096
#define VBUS_MAX_HARDWARE_IDS_CHARS 512   // UTF-16 code units, terminators included
#define VBUS_MAX_SERIAL_CHARS 32          // UTF-16 code units, terminator included
#define VBUS_MAX_FEED_BYTES 65536         // per FEED_IN request
#define VBUS_MAX_QUEUED_BYTES (1u << 20)  // stream bytes an IN endpoint holds
#define VBUS_OUT_VIEW_BYTES 65536u        // bytes each OUT view keeps before dropping
#define VBUS_MAX_FAULTS 8
#define VBUS_URB_LOG_ENTRIES 256

// ---------------------------------------------------------------- PLUG

// Capability flags reported in IRP_MN_QUERY_CAPABILITIES.
#define VBUS_CAP_REMOVABLE 0x0001u
#define VBUS_CAP_SURPRISE_REMOVAL_OK 0x0002u
#define VBUS_CAP_DEVICE_D1 0x0004u
#define VBUS_CAP_DEVICE_D2 0x0008u
#define VBUS_CAP_WAKE_FROM_D0 0x0010u
#define VBUS_CAP_WAKE_FROM_D1 0x0020u
#define VBUS_CAP_WAKE_FROM_D2 0x0040u
#define VBUS_CAP_WAKE_FROM_D3 0x0080u
#define VBUS_CAP_UNIQUE_ID 0x0100u

typedef struct _VBUS_CAPABILITIES {
    uint32_t Flags;  // VBUS_CAP_*
    // DEVICE_POWER_STATE for each SYSTEM_POWER_STATE (index 0..6: Unspecified,
    // Working, S1, S2, S3, Hibernate, Shutdown). All zero: the bus's defaults
    // (D0 when working, D3 otherwise).
    uint32_t DeviceState[7];
    uint32_t SystemWake;  // SYSTEM_POWER_STATE (0: unspecified)
    uint32_t DeviceWake;  // DEVICE_POWER_STATE (0: unspecified)
} VBUS_CAPABILITIES;

// Input: this record followed by the data its offsets name (offsets count
// from the start of the record). The configuration descriptor set may hold
// anything (odd interfaces, wTotalLength disagreeing with its contents...):
// the device returns exactly these bytes when asked.
typedef struct _VBUS_PLUG_REQUEST {
    uint32_t Size;         // sizeof(VBUS_PLUG_REQUEST)
    uint32_t TotalLength;  // Size + trailing data
    uint32_t DeviceDescriptorOffset;
    uint32_t DeviceDescriptorLength;  // 1..VBUS_MAX_DEVICE_DESCRIPTOR
    uint32_t ConfigDescriptorOffset;
    uint32_t ConfigDescriptorLength;         // 1..VBUS_MAX_CONFIG_DESCRIPTOR
    uint32_t HardwareIdsOffset;              // UTF-16 multi-string, double-terminated
    uint32_t HardwareIdsLength;              // bytes; 0: derived from the device descriptor
    uint16_t Serial[VBUS_MAX_SERIAL_CHARS];  // UTF-16, terminated; empty: none (instance id = device id)
    VBUS_CAPABILITIES Capabilities;
    // VBUS_FAULT_REQUEST records (DeviceId ignored; no STALL) in force before
    // the device is reported, so they reach its first requests; 0: none.
    uint32_t FaultsOffset;
    uint32_t FaultsLength;  // bytes: a whole number of records, at most VBUS_MAX_FAULTS
} VBUS_PLUG_REQUEST;

typedef struct _VBUS_PLUG_RESPONSE {
    uint32_t Size;      // sizeof(VBUS_PLUG_RESPONSE)
    uint32_t DeviceId;  // the handle number later requests name (never 0)
} VBUS_PLUG_RESPONSE;

// ---------------------------------------------------------------- UNPLUG / YANK / QUERY

// UNPLUG: the bus reports the device missing; the PnP manager removes it.
// YANK: the device vanishes at once (pending and new URBs fail with
// STATUS_NO_SUCH_DEVICE / USBD_STATUS_DEVICE_GONE), then as UNPLUG.
typedef struct _VBUS_DEVICE_REQUEST {
    uint32_t Size;  // sizeof(VBUS_DEVICE_REQUEST)
    uint32_t DeviceId;
} VBUS_DEVICE_REQUEST;

#define VBUS_STATE_PRESENT 0x0001u   // reported in the bus relations
#define VBUS_STATE_REPORTED 0x0002u  // the PnP manager has seen the PDO
#define VBUS_STATE_STARTED 0x0004u
#define VBUS_STATE_CONFIGURED 0x0008u
#define VBUS_STATE_GONE 0x0010u     // yanked or surprise-removed
#define VBUS_STATE_REMOVED 0x0020u  // IRP_MN_REMOVE_DEVICE seen
#define VBUS_STATE_STEPPED 0x0040u
#define VBUS_STATE_ECHO 0x0080u

// QUERY_DEVICE input is a VBUS_DEVICE_REQUEST.
typedef struct _VBUS_DEVICE_INFO {
    uint32_t Size;  // sizeof(VBUS_DEVICE_INFO)
    uint32_t DeviceId;
    uint32_t State;            // VBUS_STATE_*
    uint32_t PendingIn;        // IN transfers waiting for data
    uint32_t PendingOut;       // OUT transfers not yet completed
    uint32_t QueuedInBytes;    // IN bytes (packet headers excluded) not yet delivered
    uint32_t QueuedInPackets;  // raw packets not yet delivered
    uint32_t OutRawBytes;      // bytes waiting in the raw OUT view
    uint32_t OutPayloadBytes;  // bytes waiting in the decoded OUT view
    uint32_t UrbCount;         // URBs seen since plug-in
    uint32_t PowerState;       // DEVICE_POWER_STATE last set (D0 = 1 ... D3 = 4; 0 before the first start)
} VBUS_DEVICE_INFO;

// ---------------------------------------------------------------- FEED_IN

// Stream bytes are packed into IN packets per the device's format: byte 0
// carries the payload count in its low four bits, followed by up to
// min(15, wMaxPacketSize - 1) payload bytes. RAW queues the data as one
// packet exactly as given (any length, 0 included) for malformed packets.
#define VBUS_FEED_RAW 0x0001u

typedef struct _VBUS_FEED_REQUEST {
    uint32_t Size;         // sizeof(VBUS_FEED_REQUEST)
    uint32_t TotalLength;  // Size + Length
    uint32_t DeviceId;
    uint32_t Flags;     // VBUS_FEED_*
    uint32_t Endpoint;  // IN endpoint address (0x81...); 0: the first IN endpoint
    uint32_t Length;    // data bytes following the record
} VBUS_FEED_REQUEST;

// ---------------------------------------------------------------- READ_OUT

// RAW: the OUT packets the device accepted, each as a VBUS_OUT_PACKET header
// followed by its bytes. PAYLOAD: the decoded payload stream (byte 0 of each
// packet counts the payload bytes that follow it). Each view is consumed by
// its own reads; a packet that does not fit stays for the next read.
#define VBUS_READ_RAW 1u
#define VBUS_READ_PAYLOAD 2u

typedef struct _VBUS_READ_OUT_REQUEST {
    uint32_t Size;  // sizeof(VBUS_READ_OUT_REQUEST)
    uint32_t DeviceId;
    uint32_t View;  // VBUS_READ_RAW or VBUS_READ_PAYLOAD
} VBUS_READ_OUT_REQUEST;

typedef struct _VBUS_OUT_PACKET {
    uint16_t Length;  // bytes that follow
    uint8_t Endpoint;
    uint8_t Reserved;
} VBUS_OUT_PACKET;

typedef struct _VBUS_READ_OUT_RESPONSE {
    uint32_t Size;       // sizeof(VBUS_READ_OUT_RESPONSE)
    uint32_t Length;     // data bytes following the record
    uint32_t Remaining;  // bytes still held in this view
    uint32_t Dropped;    // bytes dropped because the view was full
} VBUS_READ_OUT_RESPONSE;

// ---------------------------------------------------------------- SET_FAULT

#define VBUS_FAULT_CLEAR_ALL 0u    // remove every fault, clear stalls
#define VBUS_FAULT_FAIL_URB 1u     // fail matching URBs with UsbdStatus / NtStatus
#define VBUS_FAULT_STALL 2u        // halt Endpoint now (until a pipe reset)
#define VBUS_FAULT_REFUSE_OUT 3u   // matching OUT transfers fail with UsbdStatus / NtStatus
#define VBUS_FAULT_DELAY 4u        // every bulk/interrupt completion waits DelayMs more (0: off)
#define VBUS_FAULT_ZERO_LENGTH 5u  // matching transfers complete successfully with 0 bytes
// Descriptor faults match GET_DESCRIPTOR requests of DescriptorType (0: any);
// Nth and Count count those requests. The device answers with what it has,
// then: SHORT returns at most Length bytes of it; PATCH writes the 16-bit
// little-endian Value at byte Offset of the answer (the bytes that fit), as a
// device whose descriptor changes between two reads.
#define VBUS_FAULT_SHORT_DESCRIPTOR 6u
#define VBUS_FAULT_PATCH_DESCRIPTOR 7u
#define VBUS_FAULT_FAIL_POWER 8u  // the PDO fails matching power requests with NtStatus (see below)

#define VBUS_ANY_FUNCTION 0xFFFFu
#define VBUS_ANY_ENDPOINT 0xFFFFu

// FAIL_POWER matches IRP_MJ_POWER requests: Function is the minor function
// (IRP_MN_SET_POWER 2 or IRP_MN_QUERY_POWER 3) or VBUS_ANY_FUNCTION, and
// Endpoint names the power type and state, VBUS_POWER_TARGET(type, state)
// with type 0 for a system state (SYSTEM_POWER_STATE: S0 = 1 ... S5 = 6) or
// 1 for a device state (DEVICE_POWER_STATE: D0 = 1 ... D3 = 4), or
// VBUS_ANY_ENDPOINT for any. UsbdStatus is not used.
#define VBUS_POWER_SYSTEM 0u
#define VBUS_POWER_DEVICE 1u
#define VBUS_POWER_TARGET(type, state) ((uint16_t)(((type) << 8) | (state)))

typedef struct _VBUS_FAULT_REQUEST {
    uint32_t Size;  // sizeof(VBUS_FAULT_REQUEST)
    uint32_t DeviceId;
    uint32_t Kind;            // VBUS_FAULT_*
    uint16_t Function;        // URB function to match, or VBUS_ANY_FUNCTION
    uint16_t Endpoint;        // endpoint address to match, or VBUS_ANY_ENDPOINT
    uint32_t Nth;             // first matching URB (1-based, counted from now) to hit; 0 = 1
    uint32_t Count;           // consecutive matches hit from the Nth; 0: all
    int32_t UsbdStatus;       // 0: a default for the kind
    int32_t NtStatus;         // 0: a default for the kind
    uint32_t DelayMs;         // VBUS_FAULT_DELAY only
    uint32_t DescriptorType;  // descriptor faults: 1 device, 2 configuration, ...; 0 any
    uint32_t Length;          // VBUS_FAULT_SHORT_DESCRIPTOR: bytes the answer keeps at most
    uint32_t Offset;          // VBUS_FAULT_PATCH_DESCRIPTOR: byte offset in the answer
    uint32_t Value;           // VBUS_FAULT_PATCH_DESCRIPTOR: 16-bit value written there
} VBUS_FAULT_REQUEST;

// ---------------------------------------------------------------- URB log

typedef struct _VBUS_URB_LOG_REQUEST {
    uint32_t Size;  // sizeof(VBUS_URB_LOG_REQUEST)
    uint32_t DeviceId;
    uint32_t FirstSequence;  // entries with Sequence >= this
} VBUS_URB_LOG_REQUEST;

typedef struct _VBUS_URB_LOG_ENTRY {
    uint32_t Sequence;       // 1, 2, ... per device
    uint16_t Function;       // URB_FUNCTION_*
    uint8_t Endpoint;        // transfers: endpoint address; otherwise 0
    uint8_t DescriptorType;  // descriptor requests
    uint8_t Request;         // class/vendor bRequest; descriptor index
    uint8_t RequestTypeReservedBits;
    uint16_t Value;  // class/vendor wValue; descriptor LanguageId
    uint16_t Index;  // class/vendor wIndex
    uint16_t Reserved;
    uint32_t TransferFlags;
    uint32_t RequestedLength;  // TransferBufferLength as submitted
    uint32_t ActualLength;     // as completed
    int32_t NtStatus;          // STATUS_PENDING while in flight
    int32_t UsbdStatus;
} VBUS_URB_LOG_ENTRY;

typedef struct _VBUS_URB_LOG_RESPONSE {
    uint32_t Size;         // sizeof(VBUS_URB_LOG_RESPONSE)
    uint32_t TotalLogged;  // sequence number of the newest entry
    uint32_t Count;        // entries following the record
    uint32_t Reserved;
} VBUS_URB_LOG_RESPONSE;

// ---------------------------------------------------------------- SET_MODE / STEP / ECHO

#define VBUS_MODE_FREE_RUN 0u  // IN packets flow at the endpoint's bInterval
#define VBUS_MODE_STEPPED 1u   // IN packets flow only on STEP
// No bus clock: a transfer completes as soon as it can (an IN transfer as
// soon as a packet waits for it, an OUT transfer when submitted), in order,
// on the thread that made it possible. Measures the host side alone.
#define VBUS_MODE_UNPACED 2u

typedef struct _VBUS_MODE_REQUEST {
    uint32_t Size;  // sizeof(VBUS_MODE_REQUEST)
    uint32_t DeviceId;
    uint32_t Mode;  // VBUS_MODE_*
} VBUS_MODE_REQUEST;

typedef struct _VBUS_STEP_REQUEST {
    uint32_t Size;  // sizeof(VBUS_STEP_REQUEST)
    uint32_t DeviceId;
    uint32_t Count;  // complete up to this many pending IN transfers
} VBUS_STEP_REQUEST;

typedef struct _VBUS_STEP_RESPONSE {
    uint32_t Size;  // sizeof(VBUS_STEP_RESPONSE)
    uint32_t Completed;
} VBUS_STEP_RESPONSE;

typedef struct _VBUS_ECHO_REQUEST {
    uint32_t Size;  // sizeof(VBUS_ECHO_REQUEST)
    uint32_t DeviceId;
    uint32_t Enable;  // nonzero: every OUT payload is fed back as IN stream bytes
} VBUS_ECHO_REQUEST;

#ifdef __cplusplus
static_assert(sizeof(VBUS_CAPABILITIES) == 40, "layout shared by 32- and 64-bit clients");
static_assert(sizeof(VBUS_PLUG_REQUEST) == 32 + 64 + 40 + 8, "layout shared by 32- and 64-bit clients");
static_assert(sizeof(VBUS_URB_LOG_ENTRY) == 36, "layout shared by 32- and 64-bit clients");
static_assert(sizeof(VBUS_FAULT_REQUEST) == 52, "layout shared by 32- and 64-bit clients");
static_assert(sizeof(VBUS_DEVICE_INFO) == 44, "layout shared by 32- and 64-bit clients");
#endif
