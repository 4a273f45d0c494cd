// A small driver for the Win32 layer's tests: device \Device\W32Test with the
// link \DosDevices\Global\TESTDEV. It records every request it sees, answers
// reads from a queue (pending them with a cancel routine when the queue is
// empty), keeps writes, serves a few test controls and the serial controls
// from a settable port state, and lets the test complete held requests from
// any thread.
#pragma once

#include "machine_fixture.h"

#include <ntddser.h>
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

namespace w32_test {

// Test controls. ECHO_* return the input reversed; HOLD pends until
// CompleteHeld; STATUS completes with the NTSTATUS given as input (and
// Information = output length).
#define W32T_IOCTL(f, m) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (f), m, FILE_ANY_ACCESS)
constexpr ULONG kEchoBuffered = W32T_IOCTL(1, METHOD_BUFFERED);
constexpr ULONG kEchoInDirect = W32T_IOCTL(2, METHOD_IN_DIRECT);
constexpr ULONG kEchoOutDirect = W32T_IOCTL(3, METHOD_OUT_DIRECT);
constexpr ULONG kEchoNeither = W32T_IOCTL(4, METHOD_NEITHER);
constexpr ULONG kHold = W32T_IOCTL(5, METHOD_BUFFERED);
constexpr ULONG kStatus = W32T_IOCTL(6, METHOD_BUFFERED);

struct Options {
    bool exclusive = false;
    bool cleanupCancelsReads = true;  // the cleanup routine completes the file's held requests
};

struct PortState {
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_QUEUE_SIZE queue{};
    SERIAL_STATUS status{};
    ULONG waitMask = 0;
    ULONG modemStatus = 0;
    ULONG purged = 0;
    UCHAR immediate = 0;
    ULONG failCode = 0;  // this control fails with STATUS_INVALID_PARAMETER
};

void Load(const Options& options = Options());
void Unload();

// "CREATE", "CLEANUP", "CLOSE", "READ", "WRITE", or the control's name
// ("SET_BAUD_RATE", "ECHO", ...), in arrival order.
std::vector<std::string> Log();
void ClearLog();
std::vector<std::string> SerialLog();  // the serial controls only
USHORT LastShareAccess();
// The file object of each IRP_MJ_CREATE, and of each request after it, in order.
std::vector<void*> CreateFileObjects();
std::vector<void*> RequestFileObjects();

void QueueReadData(const std::string& data);  // answers the next reads
std::string Written();
size_t HeldCount();
// Completes the oldest held request (read, HOLD or WAIT_ON_MASK) with
// `status`, its output filled from `data` (for WAIT_ON_MASK: a ULONG mask).
bool CompleteHeld(NTSTATUS status, const std::string& data = std::string());
void CompleteWaitMask(ULONG events);

PortState& Port();  // the serial state; change it before the calls that read it

}  // namespace w32_test
