// The function device of one USB device node: a COM port over an
// interrupt-IN and an interrupt-OUT pipe. One object per device node, from
// AddDevice to the end of its IRP_MN_REMOVE_DEVICE.
//
// This header is the port's map. Each group below names the file that defines
// its routines, the IRQL they run at and the lock that guards each field.
//
// Locks, in the only orders they nest: the cancel spin lock, then m_ReadLock,
// then m_BufferInLock; the cancel spin lock, then m_WaitLock. m_ReaderLock and
// m_WriteLock nest with nothing. No spin lock is held across IoCallDriver or
// IoCompleteRequest. m_ReadTimerLock, a PASSIVE_LEVEL mutex, is taken before
// any spin lock and is the only lock held while m_ReadTimer is set or
// cancelled.
//
// Who completes a queued request: the path that takes it off its list under
// the list's lock (a cancel routine only when it finds the request there).
// Every request the port holds, queued, in flight or being handled, holds one
// unit of m_IoCounter; removal waits until the counter is back at its base.
#pragma once

#include "control/RegisteredPort.h"
#include "core/Device.h"
#include "log/TraceLog.h"
#include "port/ReaderSlot.h"
#include "support/CircularBuffer.h"
#include "support/Event.h"
#include "support/IoCounter.h"
#include "support/Lock.h"
#include "support/MemBuffer.h"
#include "support/PtrList.h"
#include "support/Timer.h"
#include "support/UnicodeString.h"
#include "support/WorkItem.h"

// Number of function devices added since load; only ever incremented.
extern volatile LONG g_DeviceCount;

class CRegistryKey;

class CSerialDevice : public CDevice, public CRegisteredPort {
public:
    CSerialDevice();
    ~CSerialDevice() override;

    // ---- AddDevice.cpp (PASSIVE_LEVEL)
    // Slot 13: creates "\Device\NivexBlnk<n>", links it, attaches it above the PDO.
    virtual NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);

    // ---- The dispatch slots, each in the file of its concern. All run at
    // PASSIVE_LEVEL on the caller's thread (the device object is power
    // pageable) and assert it.
    NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;   // OpenClose.cpp
    NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;    // OpenClose.cpp
    NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;  // OpenClose.cpp
    NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;     // ReadQueue.cpp
    NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;    // WritePath.cpp
    NTSTATUS DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;  // DeviceControl.cpp
    NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;      // Pnp.cpp
    NTSTATUS DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;  // Pnp.cpp
    NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;    // Power.cpp
    // SerialDevice.cpp: what the port does not serve is not supported.
    NTSTATUS DispatchIntrenalDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;

    // ---- ControlRequests.cpp: what the control device asks of a listed port
    // (any IRQL <= DISPATCH_LEVEL).
    PDEVICE_OBJECT PhysicalDevice() override;
    BOOLEAN HasDriverKey(const WCHAR* key) override;
    void BeginControlRequest() override;
    void EndControlRequest() override;

private:
    // The tests' window onto the port's state (tests/common/port_internals.h).
    friend struct PortInternals;

    // ---- SerialDevice.cpp: helpers of every concern (any IRQL <= DISPATCH_LEVEL)
    // Adds to a wrapping byte counter that several threads add to at once.
    static void AddToCounter(volatile ULONG* counter, ULONG bytes)
    {
        InterlockedExchangeAdd((volatile LONG*)counter, (LONG)bytes);
    }

    // ---- Pnp.cpp: Plug and Play life. PnP requests come one at a time at
    // PASSIVE_LEVEL; the completion routines run at up to DISPATCH_LEVEL.
    NTSTATUS PnpStart(PIRP Irp);
    NTSTATUS PnpRemove(PIRP Irp);
    NTSTATUS PnpSurpriseRemoval(PIRP Irp);
    NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static IO_COMPLETION_ROUTINE CompletionRoutineDeviceCaps;
    // Records a new PnP state (keeping the one before) and passes the request down.
    NTSTATUS EnterState(ULONG state, PIRP Irp);
    // Skips the stack location and hands the request to the lower driver.
    NTSTATUS PassDown(PIRP Irp);
    // Passes down, then gives back the request's counter unit.
    NTSTATUS PassDownCounted(PIRP Irp);
    // Sends the request down and waits for the lower drivers to finish it.
    NTSTATUS ForwardAndWait(PIRP Irp);
    void GetUsbLink();

    PDEVICE_OBJECT m_LowerDevice;      // set by AddDevice; every request sent down goes to it
    PDEVICE_OBJECT m_Pdo;              // set by AddDevice
    CIoCounter m_IoCounter;            // interlocked
    CUnicodeString m_DeviceName;       // written by AddDevice only
    CUnicodeString m_DriverKeyName;    // written at each start (PnP requests are serialised)
    DEVICE_CAPABILITIES m_DeviceCaps;  // written by the capabilities completion

    // ---- UsbConfig.cpp: USB configuration and synchronous URBs (PASSIVE_LEVEL:
    // CallUSBD waits). The fields are written at each start only.
    NTSTATUS CallUSBD(PURB Urb);
    BOOLEAN InitUsbDev();
    BOOLEAN GetUsbDeviceDesc();
    BOOLEAN GetUsbDeviceConfig(CMemBuffer& dest);
    BOOLEAN SelectConfig(const UCHAR* config, CMemBuffer& dest);
    // The USBD_INTERFACE_INFORMATION of the first interface, once selected.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo() { return (PUSBD_INTERFACE_INFORMATION)m_InterfaceInfo.m_Data; }

    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    CMemBuffer m_ConfigDescriptor;
    CMemBuffer m_InterfaceInfo;  // the block stays where it is: the pipes below point into it

    // ---- Flush.cpp: emptying the request lists at cleanup and removal
    // (PASSIVE_LEVEL), and the hand-off with the cancel routines.
    // Which cancel routine a list's requests carry, and so what a flush does
    // with a request whose routine is already running.
    enum CancelRule {
        kCancelCompletesWhatItFinds,  // leave it the cancel spin lock, then complete it here
        kCancelCompletesWhatItGets,   // the cancel routine completes it: leave it alone
    };
    // The flush of cleanup and of removal: the write in flight is left to
    // end with what it has sent, then every queued write, wait and read is
    // completed with STATUS_NO_SUCH_DEVICE.
    void FlushRequests();
    void FlushWrites();
    // The port a cancel routine runs for (DISPATCH_LEVEL, the cancel spin
    // lock held). NULL once removal has cut the device's link to its port:
    // the lock is then released, and the caller owns what is left to do.
    static CSerialDevice* CancelOwner(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    // Completes every request of `list` (guarded by `lock`) with STATUS_NO_SUCH_DEVICE.
    void FlushRequestList(CPtrList& list, CSpinLock& lock, CancelRule rule);
    // Takes back a request whose cancel routine may be running (it will not
    // find the request in its list any more) before the request is completed.
    static void TakeFromCancel(PIRP Irp);

    // ---- OpenClose.cpp: the counters a close reports (interlocked adds;
    // the open snapshots are written by DispatchCreate only).
    // The Win32 path of the current process's image, as the kernel copies it
    // (PASSIVE_LEVEL); left empty when it cannot be had.
    void GetOpenerImage(CUnicodeString& Image);
    volatile ULONG m_BytesSent;
    volatile ULONG m_BytesReceived;
    ULONG m_SentAtOpen;
    ULONG m_ReceivedAtOpen;
    volatile LONG m_IsOpen;
    CTraceLog m_Log;  // the port's own log, configured by the constructor

    // ---- DeviceControl.cpp: the serial settings and the private codes
    // (PASSIVE_LEVEL, the caller's thread). Each request copies one small
    // record and takes no lock: two requests racing on one record leave one
    // of the two. The settings live as long as the device object; opening
    // and closing the port reset none of them.
    NTSTATUS SetQueueSize(PVOID Buffer, ULONG InputLength);
    NTSTATUS SetTimeout(PVOID Buffer, ULONG InputLength);
    NTSTATUS GetProperties(PVOID Buffer, ULONG OutputLength);
    // The trace name of a control code; "" for a code the port does not name.
    static const char* GetIoctlName(ULONG Code);

    ULONG m_BaudRate;
    SERIAL_LINE_CONTROL m_LineControl;
    SERIAL_CHARS m_SpecialChars;
    SERIAL_HANDFLOW m_HandFlow;
    SERIAL_TIMEOUTS m_Timeouts;  // m_ReadTimeout (the read queue's) is derived from it

    // ---- WaitMask.cpp: waits on the event mask. SetWaitMask and
    // SetWaitOnMask run at PASSIVE_LEVEL on the caller's thread, FireEvent in
    // the delivery loop, CancelEvent at DISPATCH_LEVEL with the cancel spin
    // lock held. The path that takes a wait off m_WaitList and then gets its
    // cancel routine back completes it; when the routine is already gone,
    // CancelEvent completes it, whether or not it still finds it in the list.
    NTSTATUS SetWaitMask(PVOID Buffer, ULONG InputLength);
    NTSTATUS SetWaitOnMask(PIRP Irp, PVOID Buffer);
    // Completes the oldest pending wait with SERIAL_EV_RXCHAR when bytes
    // have arrived since the last call or wait in the ring.
    void FireEvent();
    static DRIVER_CANCEL CancelEvent;
    // Takes the oldest wait off the list whose cancel routine it gets back
    // (null: none); m_WaitLock held.
    PIRP TakeOldestWait();
    // Ends a wait this path owns with `events` as its result.
    void CompleteWait(PIRP Irp, ULONG Events);

    volatile ULONG m_WaitMask;  // any SERIAL_EV_* bits; only SERIAL_EV_RXCHAR has an effect; read at DISPATCH_LEVEL by
                                // ReadComplete, so accessed whole (ReadULongNoFence)
    CSpinLock m_WaitLock;       // guards m_WaitList
    CPtrList m_WaitList;        // pending waits, the oldest first
    // Set by ReadComplete for every arrival (before it decides whether to
    // wake the delivery loop), taken by FireEvent and cleared when the mask
    // gains SERIAL_EV_RXCHAR: bytes that a read takes straight from the ring
    // before the loop runs still end the wait that was pending when they came.
    volatile LONG m_CharsArrived;

    // ---- Naming.cpp: the COM name, the friendly name, the DOS link and the
    // SERIALCOMM entry (PASSIVE_LEVEL: at start, at surprise removal and
    // removal, and for the rename request, which may come at any of those
    // moments). m_NameLock, a PASSIVE_LEVEL mutex, guards m_PortName,
    // m_LinkName and the link itself, and makes "link made, then data path
    // started" one step for PnpStart and RenamePort.
    BOOLEAN GetGlobalPortName(CUnicodeString& out);
    BOOLEAN GetPortName(CUnicodeString& out);
    BOOLEAN SetPortName(CUnicodeString& name);
    BOOLEAN SetFriendName(CUnicodeString& friendly);
    void InitPortNames();
    BOOLEAN CreateSymbolicLink();
    void DeleteSymbolicLink();
    void DelPortToReg();
    // IOCTL_VSERIAL_SET_PORT_NAME: re-read the name, re-create the link.
    NTSTATUS RenamePort();
    // PnpStart's naming step: the link, then the data path when it was made.
    void PublishPort();
    // Surprise removal's: the link goes, and a rename still on its way
    // makes none.
    void WithdrawPort();
    // A copy of the COM name for a log line ("" when unnamed).
    void CopyPortName(CUnicodeString& out);
    NTSTATUS OpenHardwareKey(ACCESS_MASK access, CRegistryKey& key);

    CUnicodeString m_PortName;  // the COM name as last read; empty until named
    CUnicodeString m_LinkName;  // "\DosDevices\Global" + the name: a link this port made, or empty
    CEventLock m_NameLock;

    // ---- ReaderSlots.cpp: the two interrupt-IN transfers kept queued
    // (ReadComplete at up to DISPATCH_LEVEL on any thread, both slots at once;
    // the rest at PASSIVE_LEVEL).
    BOOLEAN InitReadWrite(PUSBD_INTERFACE_INFORMATION Interface);
    BOOLEAN StartRead();
    void RestartRead();
    // RestartRead without its class request: any IRQL <= DISPATCH_LEVEL.
    void RearmReaders();
    // Cancels the reader transfers in flight; does not wait for them.
    void CancelPendingReads();
    static IO_COMPLETION_ROUTINE ReadComplete;
    // A slot is claimed (its counter unit taken, then m_InFlight set, under
    // m_ReaderLock) before it is armed and sent, so no two paths send the
    // same IRP and removal never frees one about to go.
    BOOLEAN ClaimReader(CReadContext& slot);
    void ReleaseReader(CReadContext& slot);
    void SendReader(CReadContext& slot);
    void ArmReader(CReadContext& slot);
    BOOLEAN PrepareReader(CReadContext& slot);

    PUSBD_PIPE_INFORMATION m_ReadPipe;  // inside m_InterfaceInfo; written at start
    CReadContext m_ReadContexts[kReaderSlots];
    CSpinLock m_ReaderLock;  // guards each slot's m_InFlight

    // ---- ReadQueue.cpp: read requests, the delivery loop (a work item at
    // PASSIVE_LEVEL), the read time-out (a DPC) and the read cancel routine
    // (DISPATCH_LEVEL, the cancel spin lock held).
    //
    // The time-out is one per head: a request's period counts from the moment
    // it becomes the head, and m_ReadDeadline holds when that period ends. A
    // head that is cancelled leaves the deadline to the next one. m_ReadTimer
    // only wakes TimerRead at the deadline; it is set and cancelled by
    // ArmReadTimer alone, never from its own DPC nor under a lock the DPC
    // takes (some kernels' timer calls wait for a running DPC of the timer).
    static WorkItemCallback DataToIrp;
    static KDEFERRED_ROUTINE TimerRead;
    static DRIVER_CANCEL CancelRead;
    BOOLEAN StartDeliveryLoop();
    void DeliveryPass(BOOLEAN* completedOne);
    // m_ReadLock held: the head that starts now gets m_ReadTimeout (none when 0).
    void StartHeadTimeout();
    // Sets m_ReadTimer for the head's deadline unless it is set for it
    // already. PASSIVE_LEVEL, no spin lock held.
    void ArmReadTimer();

    CSpinLock m_BufferInLock;  // guards m_BufferIn
    CCircularBuffer m_BufferIn;
    CEvent m_DataEvent;         // wakes the delivery loop
    CSpinLock m_ReadLock;       // guards m_ReadList, m_DeliveryRunning, m_ReadDeadline and m_ReadTimerDue
    CPtrList m_ReadList;        // queued reads; the head is being filled
    BOOLEAN m_DeliveryRunning;  // a delivery loop runs for this device
    CTimer m_ReadTimer;
    CEventLock m_ReadTimerLock;   // serialises ArmReadTimer
    ULONGLONG m_ReadDeadline;     // CTimer::Now() at which the head times out; 0: never
    ULONGLONG m_ReadTimerDue;     // the deadline m_ReadTimer is set for; 0: not set
    volatile LONG m_ReadTimeout;  // milliseconds, 0: none; written by SetTimeout with WriteNoFence

    // ---- WritePath.cpp: one write in flight at a time (WriteComplete at up to
    // DISPATCH_LEVEL; StartWrite in either context).
    NTSTATUS StartWrite(PIRP Irp);
    static IO_COMPLETION_ROUTINE WriteComplete;
    // Takes the finished write `Irp` off m_WriteList and, in the same hold of
    // m_WriteLock, chooses the write to start next (null: none), so that no
    // DispatchWrite can slip in between and start a second one.
    PIRP RemoveFromWriteList(PIRP Irp);
    void PrepareWrite();
    // m_WriteLock held and no write in flight: (re)builds the URB and packet
    // for m_WritePipe.
    void BuildWriteUrb();
    // Writes that arrive while the device starts wait until its write path
    // is ready; ReleaseWrites starts the first of them.
    void HoldWrites();
    void ReleaseWrites();
    // PASSIVE_LEVEL: waits (polling) until no write is in flight; FALSE when
    // one still is after `Milliseconds`. Writes are held meanwhile.
    BOOLEAN WaitForWriteIdle(ULONG Milliseconds);
    // How long a query-stop waits for the write in flight before refusing.
    static const ULONG kStopWriteWaitMs = 2000;
    BOOLEAN WritePathReady() const;
    // Loads the next packet of the write in flight and sends it down.
    void SendWritePacket(PIRP Irp);

    PUSBD_PIPE_INFORMATION m_WritePipe;  // inside m_InterfaceInfo; written at start
    CSpinLock m_WriteLock;               // guards m_WriteList, m_WriteActive, m_WritesHeld, m_WriteRebuild
    CPtrList m_WriteList;                // writes in arrival order; the head may be in flight
    PIRP m_WriteActive;                  // the write in flight (the list's head), or null
    BOOLEAN m_WritesHeld;                // a start is under way: new writes wait for its end
    BOOLEAN m_WriteRebuild;              // the pipe changed under a write in flight: rebuild when it ends
    // Touched only by the write in flight and its completion.
    CMemBuffer m_WriteUrb;
    CMemBuffer m_WritePacket;
    volatile LONG m_WriteTotal;  // also set to 0 by the flushes: the write in flight then ends
    LONG m_WriteDone;

    // ---- Power.cpp (system requests), PowerDevice.cpp (device requests),
    // PowerHold.cpp (stopping the readers before D0 is left): the port is
    // its stack's power policy owner. Dispatch at PASSIVE_LEVEL
    // (the device object is power pageable); the completion routines and
    // DevPoCompletionRoutine at up to DISPATCH_LEVEL; the two workers at
    // PASSIVE_LEVEL. Each power request holds one m_IoCounter unit from
    // DispatchPower until it is completed or passed on.
    NTSTATUS PwrSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS PwrSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static IO_COMPLETION_ROUTINE SysPoCompletionRoutine;
    void SendDeviceIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static REQUEST_POWER_COMPLETE DevPoCompletionRoutine;
    // The D-state the capabilities map `state` to (the conservative table
    // before the bus has answered: D0 when working, else D3).
    DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE state) const;
    NTSTATUS PwrDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS PwrDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static IO_COMPLETION_ROUTINE FinishDevPoUpIrp;
    static IO_COMPLETION_ROUTINE FinishDevPoDnIrp;
    // Copies the stack location down with `routine` (context this) and PoCallDriver.
    NTSTATUS PowerDown(PIRP Irp, PIO_COMPLETION_ROUTINE routine);
    // RestartRead in a work item, so its class request waits at
    // PASSIVE_LEVEL; without a work item, RearmReaders at once.
    void QueueRestartRead();
    static WorkItemCallback RestartReadWorkerRoutine;
    NTSTATUS HoldIoRequests(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static WorkItemCallback HoldIoRequestsWorkerRoutine;
    BOOLEAN ReadersInFlight();

    // Written only by the power path (plain 32-bit fields, read anywhere).
    volatile DEVICE_POWER_STATE m_DevicePowerState = PowerDeviceD0;
    volatile SYSTEM_POWER_STATE m_SystemPowerState = PowerSystemWorking;
    // Set by the hold worker while it stops the readers: ReadComplete then
    // sends no transfer down again (interlocked writes).
    volatile LONG m_ReadersHeld = 0;
};
