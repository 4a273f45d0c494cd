// The driver's user-mode interface: the control device's names and its I/O
// control codes, and the driver-private codes every port serves. Shared by
// the driver, setup.dll, the tools and the tests. Plain C with fixed-size
// integer types, so 32- and 64-bit clients and the 64-bit driver agree.
//
// Every code is METHOD_BUFFERED with FILE_ANY_ACCESS: input and output share
// the request's system buffer. The control codes that address one port take
// that port's driver key name, a zero-terminated UTF-16 string, at the start
// of the buffer; the answer then overwrites it.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- control device

#define BLNK_CONTROL_DEVICE_NAME L"\\Device\\BLNKControl"
#define BLNK_CONTROL_LINK_NAME L"\\DosDevices\\Global\\BLNKControl"
#define BLNK_CONTROL_USER_PATH L"\\\\.\\BLNKControl"
#define BLNK_CONTROL_USER_PATH_A "\\\\.\\BLNKControl"

// The control device object's type: the driver tells it from its ports by
// this alone. Above 0x7FFF, so written unsigned.
#define FILE_DEVICE_BLNK_CONTROL 0xBB1Du

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS),
// spelled out so the header needs no Windows header.
#define BLNK_CONTROL_CTL_CODE(function) ((uint32_t)((0x22u << 16) | ((uint32_t)(function) << 2)))

// Output: ULONG, the number of registered ports (not forwarded).
#define IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT BLNK_CONTROL_CTL_CODE(0x13)  // 0x0022004C
// Output: the port's 18-byte USB device descriptor.
#define IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR BLNK_CONTROL_CTL_CODE(0x14)  // 0x00220050
// No buffers: the first registered port re-reads its PortName and re-creates its COM link.
#define IOCTL_VSERIAL_CONTROL_SET_PORT_NAME BLNK_CONTROL_CTL_CODE(0x16)  // 0x00220058
// Output: ULONG bytes received by the port.
#define IOCTL_VSERIAL_CONTROL_GET_RECV BLNK_CONTROL_CTL_CODE(0x17)  // 0x0022005C
// Output: ULONG bytes sent by the port.
#define IOCTL_VSERIAL_CONTROL_GET_SENT BLNK_CONTROL_CTL_CODE(0x18)  // 0x00220060
// Output: SERIAL_LINE_CONTROL, 3 bytes.
#define IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL BLNK_CONTROL_CTL_CODE(0x20)  // 0x00220080
// Output: SERIAL_HANDFLOW, 16 bytes.
#define IOCTL_VSERIAL_CONTROL_GET_HANDFLOW BLNK_CONTROL_CTL_CODE(0x21)  // 0x00220084
// Output: ULONG baud rate.
#define IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE BLNK_CONTROL_CTL_CODE(0x22)  // 0x00220088
// Output: ULONG, 1 while the port is open.
#define IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE BLNK_CONTROL_CTL_CODE(0x23)  // 0x0022008C

// ---------------------------------------------------------------- driver-private port codes

// CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
#define BLNK_SERIAL_CTL_CODE(function) ((uint32_t)((0x1Bu << 16) | ((uint32_t)(function) << 2)))

// Output: ULONG bytes received (wraps).
#define IOCTL_VSERIAL_GET_RECV BLNK_SERIAL_CTL_CODE(0x140)  // 0x001B0500
// Output: ULONG bytes sent (wraps).
#define IOCTL_VSERIAL_GET_SENT BLNK_SERIAL_CTL_CODE(0x141)  // 0x001B0504
// No buffers: re-read PortName and re-create the COM link.
#define IOCTL_VSERIAL_SET_PORT_NAME BLNK_SERIAL_CTL_CODE(0x142)  // 0x001B0508
// Output: ULONG, 1 while the port is open.
#define IOCTL_VSERIAL_GET_OPEN_STATE BLNK_SERIAL_CTL_CODE(0x143)  // 0x001B050C
// Output: at least 18 bytes, the USB device descriptor.
#define IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR BLNK_SERIAL_CTL_CODE(0x144)  // 0x001B0510

#ifdef __cplusplus
static_assert(IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT == 0x0022004Cu, "control code");
static_assert(IOCTL_VSERIAL_CONTROL_SET_PORT_NAME == 0x00220058u, "control code");
static_assert(IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE == 0x0022008Cu, "control code");
static_assert(IOCTL_VSERIAL_GET_RECV == 0x001B0500u, "port code");
static_assert(IOCTL_VSERIAL_GET_DEVICE_DESCRIPTOR == 0x001B0510u, "port code");
#endif
