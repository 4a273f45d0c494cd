// The function device of one USB device node: its device object, Plug and Play
// life and USB configuration. Other parts of the port (data path, naming,
// serial control) add their members here as they join.
#pragma once

#include "core/Device.h"
#include "core/UsbPlatform.h"
#include "datapath/CircularBuffer.h"
#include "datapath/ReadContext.h"
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

class CSerialDevice : public CDevice {
public:
    CSerialDevice();
    ~CSerialDevice() override;

    // Slot 13: creates "\Device\NivexBlnk<n>", links it, attaches it above the PDO.
    virtual NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);

    NTSTATUS DispatchIntrenalDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;

    static NTSTATUS CompletionRoutineDeviceCaps(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

    // Synchronous URB submission to the lower driver. PASSIVE_LEVEL only.
    NTSTATUS CallUSBD(PURB Urb);
    BOOLEAN InitUsbDev();
    BOOLEAN GetUsbDeviceDesc();
    BOOLEAN GetUsbDeviceConfig(CMemBuffer& dest);
    BOOLEAN SelectConfig(const UCHAR* config, CMemBuffer& dest);

    // Completes every request waiting in `list` with STATUS_NO_SUCH_DEVICE. On
    // the write list the head is the write in flight and stays.
    void FlushRequestList(CPtrList& list, CSpinLock& lock);
    // Cancels the reader transfers in flight; does not wait for them.
    void CancelPendingReads();

    // Open, close and cleanup.
    NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;

    // Read path.
    BOOLEAN InitReadWrite(PUSBD_INTERFACE_INFORMATION Interface);
    BOOLEAN StartRead();
    void RestartRead();
    NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    static NTSTATUS ReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    static VOID DataToIrp(PDEVICE_OBJECT DeviceObject, CWorkItem* Item);
    static VOID TimerRead(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
    static VOID CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    // Write path.
    NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    NTSTATUS StartWrite(PIRP Irp);
    static NTSTATUS WriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    // Takes the finished write `Irp` off m_WriteList and, in the same hold of
    // m_WriteLock, chooses the write to start next (null: none), so that no
    // DispatchWrite can slip in between and start a second one.
    PIRP RemoveFromWriteList(PIRP Irp);

    // Adds to a wrapping byte counter that several threads add to at once.
    static void AddToCounter(volatile ULONG* counter, ULONG bytes)
    {
        InterlockedExchangeAdd((volatile LONG*)counter, (LONG)bytes);
    }

    // The USBD_INTERFACE_INFORMATION of the first interface, once selected.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo() { return (PUSBD_INTERFACE_INFORMATION)m_InterfaceInfo.m_Data; }

    PDEVICE_OBJECT m_LowerDevice;
    PDEVICE_OBJECT m_Pdo;
    CIoCounter m_IoCounter;
    CUnicodeString m_DeviceName;
    CUnicodeString m_DriverKeyName;
    DEVICE_CAPABILITIES m_DeviceCaps;

    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    CMemBuffer m_ConfigDescriptor;
    CMemBuffer m_InterfaceInfo;

    // Counters of the port (ULONG, wrapping) and their values at the last open.
    // Added to from several threads at once: only with AddToCounter.
    volatile ULONG m_BytesSent;
    volatile ULONG m_BytesReceived;
    ULONG m_SentAtOpen;
    ULONG m_ReceivedAtOpen;
    volatile LONG m_IsOpen;

    // Read path. Lock order: the cancel spin lock, then m_ReadLock, then
    // m_BufferInLock; m_ReaderLock and m_WriteLock are never nested.
    PUSBD_PIPE_INFORMATION m_ReadPipe;   // inside m_InterfaceInfo
    PUSBD_PIPE_INFORMATION m_WritePipe;  // inside m_InterfaceInfo
    CReadContext m_ReadContexts[kReaderSlots];
    CSpinLock m_ReaderLock;    // guards the slots' m_InFlight
    CSpinLock m_BufferInLock;  // guards m_BufferIn
    CEvent m_DataEvent;        // wakes the delivery loop
    CPtrList m_ReadList;       // queued reads; the head is being filled
    CSpinLock m_ReadLock;      // guards m_ReadList and arming m_ReadTimer

    // Write path: one write in flight (the head of m_WriteList).
    CMemBuffer m_WriteUrb;
    CMemBuffer m_WritePacket;
    CPtrList m_WriteList;
    CSpinLock m_WriteLock;  // guards m_WriteList, m_WriteActive, m_WritesHeld, m_WriteRebuild
    volatile LONG m_WriteTotal;
    LONG m_WriteDone;
    PIRP m_WriteActive;      // the write in flight (the list's head), or null
    BOOLEAN m_WritesHeld;    // a start is under way: new writes wait for its end
    BOOLEAN m_WriteRebuild;  // the pipe changed under a write in flight: rebuild the URB when it ends

    CTimer m_ReadTimer;
    LONG m_ReadTimeout;  // milliseconds; 0: no read time-out
    CCircularBuffer m_BufferIn;
    // TRUE while a delivery loop runs for this device (guarded by m_ReadLock).
    BOOLEAN m_DeliveryRunning;

private:
    NTSTATUS PnpStart(PIRP Irp);
    NTSTATUS PnpRemove(PIRP Irp);
    NTSTATUS PnpSurpriseRemoval(PIRP Irp);
    // Records a new PnP state (keeping the one before) and passes the request down.
    NTSTATUS EnterState(ULONG state, PIRP Irp);
    NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    // Skips the stack location and hands the request to the lower driver.
    NTSTATUS PassDown(PIRP Irp);
    // Passes down, then gives back the request's counter unit.
    NTSTATUS PassDownCounted(PIRP Irp);
    // Sends the request down and waits for the lower drivers to finish it.
    NTSTATUS ForwardAndWait(PIRP Irp);
    void GetUsbLink();
    void DelPortToReg();
    NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status);
    // A slot is claimed (m_InFlight set under m_ReaderLock) before it is
    // armed and sent, so no two paths can send the same IRP.
    BOOLEAN ClaimReader(CReadContext& slot);
    void ReleaseReader(CReadContext& slot);
    void SendReader(CReadContext& slot);
    void ArmReader(CReadContext& slot);
    BOOLEAN PrepareReader(CReadContext& slot);
    BOOLEAN StartDeliveryLoop();
    void PrepareWrite();
    // m_WriteLock held and no write in flight: (re)builds the URB and packet
    // for m_WritePipe.
    void BuildWriteUrb();
    // Writes that arrive while the device starts wait until its write path
    // is ready; ReleaseWrites starts the first of them.
    void HoldWrites();
    void ReleaseWrites();
    BOOLEAN WritePathReady() const;
    // Loads the next packet of the write in flight and sends it down.
    void SendWritePacket(PIRP Irp);
    void DeliveryPass(BOOLEAN* completedOne);
};
