/*
 * bus_internal.h - records and routines shared by the files of the simulated USB bus.
 *
 * Layers: the dispatch routines of the bus driver (bus_pnp_power.cpp, bus_urb.cpp) take
 * requests addressed to a unit's physical device object; data transfers are queued on the
 * unit's pipes and moved by the host-controller thread (bus_controller.cpp), which feeds
 * the firmware packet by packet and completes every queued request at DISPATCH_LEVEL;
 * bus_api.cpp holds the Host* entry points of usb_bus.h.
 *
 * Locking: HostUsbBus::Lock guards the bus and every unit's state below it (ports, pipes,
 * queues, records of the IN endpoint, flags). It is never held while a request is
 * completed or a driver is called; a cancel routine releases the cancel spin lock before
 * it takes it. Order, outermost first (a lock is only ever taken while holding locks above
 * it in this list):
 *   1. DriverLock (bus_api.cpp: the bus driver's load count; the kernel's locks inside it)
 *   2. HostUsbBus::Lock (the bus)
 *   3. the cancel spin lock (IoAcquireCancelSpinLock in BusQueueTransferLocked), and the
 *      kernel's request set and request tracking that IoSetCancelRoutine's check takes
 *   4. SimUnit's lock (the firmware, taken inside the bus lock)
 *   5. UrbWatchLock (bus_controller.cpp: queued URBs; a leaf, taken with nothing else
 *      needed inside it)
 */
#ifndef MURVO_HOST_USB_BUS_INTERNAL_H
#define MURVO_HOST_USB_BUS_INTERNAL_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/usb/bus_packets.h"
#include "host/usb/usb_bus.h"

#define BUS_MAX_PIPES 32
#define BUS_MAX_RECORD_FAULTS 8

/* What stands behind a pipe. */
enum BusPipeRole {
    BusPipeOther,       /* an endpoint with no data behind it: IN never answers, OUT discards */
    BusPipeFirmwareIn,  /* the unit's replies */
    BusPipeFirmwareOut, /* the unit's requests */
    BusPipeLoopbackIn,  /* the loopback pair of tests of the bus */
    BusPipeLoopbackOut,
};

struct BusUnit;
struct BusPipe;

/* One request queued on the bus: a data transfer on a pipe, or a control transfer whose
 * answer is ready and only waits for the host-controller thread to complete it. */
struct BusTransfer {
    BusTransfer *Next;
    PIRP Irp;
    PURB Urb;
    BusUnit *Unit;
    BusPipe *Pipe;   /* null for a control transfer */
    uint8_t *Buffer; /* the caller's bytes (mapped MDL or TransferBuffer) */
    uint32_t Length; /* TransferBufferLength as submitted */
    uint32_t Moved;  /* bytes moved so far */
    bool In;
    bool ShortOk;
    bool Ended;         /* the data phase is over; Status holds its outcome */
    uint32_t *Waiter;   /* an abort waiting for this transfer's completion counts down here */
    uint64_t DueUs;     /* timing model: completed not before this; 0 without the model */
    USBD_STATUS Status; /* final status, once on the completion list */
    NTSTATUS IrpStatus; /* final request status, once on the completion list */
};

/* A FIFO of transfers. */
struct BusTransferList {
    BusTransfer *Head;
    BusTransfer *Tail;
    uint32_t Count;
};

struct BusPipe {
    uint8_t EndpointAddress;
    uint8_t Interval;
    uint8_t Type; /* USB_ENDPOINT_TYPE_* */
    uint16_t MaxPacket;
    uint32_t MaxTransferSize; /* as the selection asked for it; limits nothing */
    BusPipeRole Role;
    bool Halted;           /* set by a failed transfer, cleared by RESET_PIPE or a port reset */
    BusTransferList Queue; /* transfers in the order issued; only the head moves */
    uint64_t BusyUntilUs;  /* timing model: the pipe's last transfer ends then */
};

/* A fault to apply to the next reply record of the unit. */
struct BusRecordFault {
    SimFaultKind Kind;
    uint32_t Value;
};

/* A simulated unit on a port; the device extension of its physical device object. */
struct BusUnit {
    HostUsbBus *Bus;
    int Port;
    uint32_t Serial; /* unique per plug; part of every handle the unit gives out */
    PDEVICE_OBJECT Pdo;
    HostDeviceNode *Node;
    SimUnit *Sim;
    UsbDescriptorSet Descriptors;
    USB_DEVICE_SPEED Speed;
    DEVICE_CAPABILITIES Capabilities;
    uint8_t FirmwareInAddress;  /* first bulk IN endpoint of the unit's own descriptors */
    uint8_t FirmwareOutAddress; /* first bulk OUT endpoint */

    /* Everything below is guarded by the bus lock. */
    bool Connected; /* plugged in */
    bool PortEnabled;
    bool Started;
    bool SurpriseRemoved; /* SURPRISE_REMOVAL received */
    bool Removed;         /* REMOVE_DEVICE received */
    bool GoneReported;    /* telling the plug-and-play manager that the unit is gone has begun */
    bool GoneAnnounced;   /* ... and is done */
    bool DeleteClaimed;   /* someone is deleting the device object */
    DEVICE_POWER_STATE PowerState;
    bool Configured;
    uint32_t ConfigGeneration; /* raised by every selection and unconfiguration */
    uint32_t PipeCount;
    BusPipe Pipes[BUS_MAX_PIPES];
    BusInQueue InRecords;   /* replies of the firmware, waiting for IN transfers */
    BusInQueue LoopRecords; /* what went out on the loopback OUT endpoint */
    BusRecordFault RecordFaults[BUS_MAX_RECORD_FAULTS];
    uint32_t RecordFaultCount;
    bool UnplugArmed;
    uint32_t UnplugAfterBytes;
    bool UnplugDue; /* the controller must report the unit gone */
    PIRP WaitWakeIrp;
    uint32_t Outstanding; /* transfers of this unit not yet completed */
    uint32_t Transfers;   /* bulk transfers completed */
};

struct HostUsbBus {
    std::mutex Lock;                 /* guards every field below and the state of every unit on the bus */
    std::condition_variable Changed; /* work for the controller; units gone; transfers done */
    std::thread Controller;
    bool Stopping;
    BusUnit *Ports[HOST_USB_PORTS + 1];    /* index 1 to HOST_USB_PORTS */
    bool PortDeleting[HOST_USB_PORTS + 1]; /* off the port, device object not yet deleted */
    BusTransferList Done;                  /* claimed transfers waiting to be completed */
    HostUsbTiming Timing;
};

/* ---- bus_report.cpp --------------------------------------------------------------- */

/* Reports a misuse of the USB interface by the function driver as the verifier reports
 * its findings (printed, then the process aborts). Any IRQL. */
void BusReport(const char *Rule, PIRP Irp, const char *Format, ...) __attribute__((format(printf, 3, 4)));

/* Notes something that the stand-in does not model, once per kind, on standard error. */
void BusNotModelled(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* The request status that goes with a USBD status. */
NTSTATUS BusNtStatus(USBD_STATUS Status);

/* The bus clock, in microseconds. */
uint64_t BusNowUs(void);

/* ---- bus_controller.cpp ----------------------------------------------------------- */

void BusListAppend(BusTransferList *list, BusTransfer *transfer);
/* Unlinks transfer from list; false when it is not on it. */
bool BusListRemove(BusTransferList *list, BusTransfer *transfer);

/* Queues a data transfer on its pipe with the cancel routine set, or, when the request is
 * already cancelled, hands it back for completion as cancelled (returns false). Caller
 * holds the bus lock. */
/* Pool free hook: reports a freed block that holds the URB of a queued transfer. */
void BusCheckFreedBlock(const void *Block, SIZE_T Size);
bool BusQueueTransferLocked(BusUnit *unit, BusPipe *pipe, BusTransfer *transfer);

/* Claims every transfer queued on the pipe (those whose cancel routine is already running
 * stay with it) and puts them on the completion list with status. Caller holds the lock. */
void BusFailPipeLocked(BusUnit *Unit, BusPipe *Pipe, USBD_STATUS Status, NTSTATUS IrpStatus);
/* The same for every pipe of the unit. */
void BusFailUnitLocked(BusUnit *Unit, USBD_STATUS Status, NTSTATUS IrpStatus);

/* Puts a finished transfer on the completion list (its cancel routine already cleared or
 * never set). Caller holds the lock. */
void BusFinishLocked(BusTransfer *Transfer, USBD_STATUS Status, NTSTATUS IrpStatus);

/* Takes the unit off the bus as an unplug does: disconnected, transfers failed, records
 * dropped. Caller holds the lock. */
void BusDisconnectLocked(BusUnit *unit);

/* Starts and stops the host-controller thread of the bus. */
void BusControllerStart(HostUsbBus *bus);
void BusControllerStop(HostUsbBus *bus);

/* Reports the unit gone to the plug-and-play manager, or deletes its device object at once
 * when its stack was already removed. Caller: PASSIVE_LEVEL, bus lock not held. */
void BusAnnounceGone(BusUnit *unit);

/* At REMOVE_DEVICE: true when the caller is to delete the unit (it was reported gone and
 * nobody else deletes it). */
bool BusClaimDeleteOnRemove(BusUnit *unit);

/* Has the unit deleted on a system worker thread once the plug-and-play manager has
 * finished removing its stack (the device objects above detach only after the bus driver's
 * REMOVE_DEVICE returns). Any thread, bus lock not held. */
void BusScheduleDelete(BusUnit *unit);

/* Takes the unit off its port once nothing of it is outstanding, powers its firmware off
 * and deletes its device object. Caller: PASSIVE_LEVEL, bus lock not held. */
void BusDeleteUnit(BusUnit *unit);

/* ---- bus_urb.cpp ------------------------------------------------------------------ */

/* IRP_MJ_INTERNAL_DEVICE_CONTROL of a unit's device object. */
NTSTATUS BusDispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Drops the unit's configuration: pipes gone, their transfers failed with status. Caller
 * holds the lock. */
void BusUnconfigureLocked(BusUnit *Unit, USBD_STATUS Status, NTSTATUS IrpStatus);

/* ---- bus_pnp_power.cpp ------------------------------------------------------------ */

NTSTATUS BusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Completes a held wait-wake request with status; false when none is held. Caller:
 * PASSIVE_LEVEL or DISPATCH_LEVEL, bus lock not held. */
bool BusCompleteWaitWake(BusUnit *Unit, NTSTATUS Status);

/* ---- bus_timing.cpp --------------------------------------------------------------- */

/* Time that length bytes take on the bus in packets of maxPacket. */
uint64_t BusTransferMicroseconds(const HostUsbTiming *timing, uint32_t length, uint16_t maxPacket);

#endif /* MURVO_HOST_USB_BUS_INTERNAL_H */
