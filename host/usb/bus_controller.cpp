/*
 * bus_controller.cpp - the host controller of the simulated bus.
 *
 * One thread per bus moves the data of queued transfers: the head transfer of each pipe,
 * packet by packet, into the firmware (OUT) or out of the records of the unit's IN
 * endpoint (IN), so that transfers on a pipe finish in the order issued. Every transfer
 * that ends, for whatever reason (done, failed, aborted, unit gone), is claimed from its
 * cancel routine and put on the bus's completion list; the thread completes the list in
 * order at DISPATCH_LEVEL with the bus lock released. A cancel routine unlinks its own
 * transfer and completes it itself.
 */
#include <stdlib.h>
#include <string.h>

#include <set>

#include "host/usb/bus_internal.h"

void BusListAppend(BusTransferList *list, BusTransfer *transfer)
{
    transfer->Next = NULL;
    if (list->Tail != NULL) {
        list->Tail->Next = transfer;
    } else {
        list->Head = transfer;
    }
    list->Tail = transfer;
    list->Count++;
}

bool BusListRemove(BusTransferList *list, BusTransfer *transfer)
{
    BusTransfer *previous = NULL;
    for (BusTransfer *at = list->Head; at != NULL; previous = at, at = at->Next) {
        if (at != transfer) {
            continue;
        }
        if (previous != NULL) {
            previous->Next = at->Next;
        } else {
            list->Head = at->Next;
        }
        if (list->Tail == at) {
            list->Tail = previous;
        }
        list->Count--;
        at->Next = NULL;
        return true;
    }
    return false;
}

/* URBs of the transfers queued on every bus, so that a driver freeing one is reported at
 * its free. UrbWatchLock is a leaf: nothing else is taken while it is held. */
static std::mutex UrbWatchLock;
static std::multiset<uintptr_t> QueuedUrbs;

static void WatchUrb(PURB Urb)
{
    std::lock_guard<std::mutex> hold(UrbWatchLock);
    QueuedUrbs.insert((uintptr_t)Urb);
}

static void UnwatchUrb(PURB Urb)
{
    std::lock_guard<std::mutex> hold(UrbWatchLock);
    auto at = QueuedUrbs.find((uintptr_t)Urb);
    if (at != QueuedUrbs.end()) {
        QueuedUrbs.erase(at);
    }
}

void BusCheckFreedBlock(const void *Block, SIZE_T Size)
{
    uintptr_t start = (uintptr_t)Block;
    uintptr_t found = 0;
    {
        std::lock_guard<std::mutex> hold(UrbWatchLock);
        auto at = QueuedUrbs.lower_bound(start);
        if (at != QueuedUrbs.end() && *at < start + Size) {
            found = *at;
        }
    }
    if (found != 0) {
        HostVerifierReport("URB_FREED_WHILE_QUEUED", NULL,
                           "pool block %p freed while it holds the URB %p of a transfer still queued on the bus", Block,
                           (void *)found);
    }
}

/* Cancel routine of a queued transfer: unlinks it and completes it as cancelled. Runs
 * with the cancel spin lock held (released at once) at DISPATCH_LEVEL. */
static VOID BusCancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusTransfer *transfer = (BusTransfer *)Irp->Tail.Overlay.DriverContext[0];
    BusUnit *unit = transfer->Unit;
    HostUsbBus *bus = unit->Bus;
    /* A cancelled transfer may complete after IoCancelIrp has returned, from the host
     * controller's thread; under delay fuzzing, half the time it does. */
    bool later = HostVerifierFuzzChoice();
    uint32_t *waiter;
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        BusListRemove(&transfer->Pipe->Queue, transfer);
        waiter = transfer->Waiter;
        if (later) {
            BusFinishLocked(transfer, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            return;
        }
    }
    PURB urb = transfer->Urb;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transfer->Moved;
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    free(transfer);
    UnwatchUrb(urb);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    std::lock_guard<std::mutex> hold(bus->Lock);
    if (waiter != NULL) {
        (*waiter)--;
    }
    unit->Outstanding--;
    bus->Changed.notify_all();
}

bool BusQueueTransferLocked(BusUnit *unit, BusPipe *pipe, BusTransfer *transfer)
{
    PIRP irp = transfer->Irp;
    irp->Tail.Overlay.DriverContext[0] = transfer;
    /* Cancel is written under the cancel spin lock; reading it there as well settles a
     * cancellation racing with the queueing. */
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return false; /* cancelled before it was queued; the caller completes it */
    }
    WatchUrb(transfer->Urb);
    IoSetCancelRoutine(irp, BusCancelTransfer);
    IoReleaseCancelSpinLock(irql);
    unit->Outstanding++;
    BusListAppend(&pipe->Queue, transfer);
    unit->Bus->Changed.notify_all();
    return true;
}

void BusFinishLocked(BusTransfer *Transfer, USBD_STATUS Status, NTSTATUS IrpStatus)
{
    Transfer->Status = Status;
    Transfer->IrpStatus = IrpStatus;
    BusListAppend(&Transfer->Unit->Bus->Done, Transfer);
    Transfer->Unit->Bus->Changed.notify_all();
}

void BusFailPipeLocked(BusUnit *Unit, BusPipe *Pipe, USBD_STATUS Status, NTSTATUS IrpStatus)
{
    (void)Unit;
    BusTransfer *transfer = Pipe->Queue.Head;
    while (transfer != NULL) {
        BusTransfer *next = transfer->Next;
        if (IoSetCancelRoutine(transfer->Irp, NULL) != NULL) {
            BusListRemove(&Pipe->Queue, transfer);
            BusFinishLocked(transfer, Status, IrpStatus);
        }
        transfer = next;
    }
}

void BusFailUnitLocked(BusUnit *Unit, USBD_STATUS Status, NTSTATUS IrpStatus)
{
    for (uint32_t i = 0; i < Unit->PipeCount; i++) {
        BusFailPipeLocked(Unit, &Unit->Pipes[i], Status, IrpStatus);
    }
}

void BusDisconnectLocked(BusUnit *unit)
{
    unit->Connected = false;
    unit->PortEnabled = false;
    unit->UnplugArmed = false;
    BusFailUnitLocked(unit, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    BusInClear(&unit->InRecords);
    BusInClear(&unit->LoopRecords);
}

/* BusKeepBacklogLocked: see bus_internal.h. The unplug at the program's end is left out on
 * purpose: the unit outlives the program with what its endpoint held. */
void BusKeepBacklogLocked(BusUnit *unit)
{
    if (!SimUnitKeepsState(unit->Sim)) {
        return;
    }
    uint8_t bytes[SIM_MAX_BACKLOG];
    size_t length = 0;
    for (const BusSegment *segment = unit->InRecords.Head; segment != NULL; segment = segment->Next) {
        uint32_t left = segment->Length - segment->Offset;
        if (left > sizeof bytes - length) {
            left = (uint32_t)(sizeof bytes - length);
        }
        memcpy(bytes + length, segment->Data + segment->Offset, left);
        length += left;
    }
    SimUnitKeepBacklog(unit->Sim, bytes, length);
}

/* Takes the firmware's waiting reply bytes as one record of the IN endpoint, applying the
 * bus faults due for it: those that the firmware reports for the command just received and
 * those injected for the next record. */
static void CollectReply(BusUnit *unit, uint64_t nowUs, uint32_t erasesBefore, uint32_t writesBefore)
{
    HostUsbBus *bus = unit->Bus;
    SimFault busFault;
    bool haveBusFault = SimUnitTakeBusFault(unit->Sim, &busFault);
    size_t pending = SimUnitReplyPending(unit->Sim);

    if (haveBusFault && (busFault.Kind == SimFaultUnplug || busFault.Kind == SimFaultPortOff)) {
        uint8_t scratch[64];
        while (SimUnitTakeReply(unit->Sim, scratch, sizeof(scratch)) > 0) {
            /* the reply never leaves a unit that is gone or cut off */
        }
    }
    if (haveBusFault && busFault.Kind == SimFaultUnplug) {
        unit->UnplugDue = true;
        BusDisconnectLocked(unit);
        return;
    }
    if (haveBusFault && busFault.Kind == SimFaultPortOff) {
        unit->PortEnabled = false;
        BusFailUnitLocked(unit, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
        BusInClear(&unit->InRecords);
        BusKeepBacklogLocked(unit);
        return;
    }
    if (pending == 0) {
        return;
    }
    uint8_t *bytes = (uint8_t *)malloc(pending + 1);
    if (bytes == NULL) {
        abort(); /* the host is out of memory; nothing sensible is left to simulate */
    }
    uint32_t length = (uint32_t)SimUnitTakeReply(unit->Sim, bytes, pending);
    uint64_t readyAt = nowUs;
    BusSegmentFault fault = BusSegmentNormal;
    if (bus->Timing.Enabled) {
        readyAt += (uint64_t)(SimUnitCommandCount(unit->Sim, 2) - erasesBefore) * bus->Timing.EraseBlockMicroseconds;
        readyAt += (uint64_t)(SimUnitCommandCount(unit->Sim, 5) - writesBefore) * bus->Timing.ProgramRecordMicroseconds;
    }

    BusRecordFault faults[BUS_MAX_RECORD_FAULTS + 1];
    uint32_t faultCount = 0;
    if (haveBusFault) {
        faults[faultCount++] = BusRecordFault{busFault.Kind, busFault.Value};
    }
    if (unit->RecordFaultCount > 0) {
        faults[faultCount++] = unit->RecordFaults[0];
        memmove(unit->RecordFaults, unit->RecordFaults + 1, (unit->RecordFaultCount - 1) * sizeof(BusRecordFault));
        unit->RecordFaultCount--;
    }
    bool drop = false;
    for (uint32_t i = 0; i < faultCount; i++) {
        switch (faults[i].Kind) {
        case SimFaultStall:
            fault = BusSegmentStall;
            break;
        case SimFaultXferError:
            fault = BusSegmentXferError;
            break;
        case SimFaultDelay:
            readyAt += (uint64_t)faults[i].Value * 1000;
            break;
        case SimFaultNoReply:
            drop = true;
            break;
        case SimFaultShort:
            if (length > 0) {
                length--;
            }
            break;
        case SimFaultLong:
            bytes[length++] = 0;
            break;
        default:
            break;
        }
    }
    if (!drop && !BusInAppend(&unit->InRecords, bytes, length, readyAt, fault)) {
        abort();
    }
    free(bytes);
    BusKeepBacklogLocked(unit);
}

/* Moves an OUT transfer into the firmware (or nowhere, for a pipe without data behind
 * it); replies it causes are ready from replyUs on. Returns the transfer's status. */
static USBD_STATUS ServiceOut(BusUnit *Unit, BusPipe *Pipe, BusTransfer *Transfer, uint64_t ReplyUs)
{
    if (Pipe->Role == BusPipeLoopbackOut) {
        Transfer->Moved = Transfer->Length;
        if (!BusInAppend(&Unit->LoopRecords, Transfer->Buffer, Transfer->Length, ReplyUs, BusSegmentNormal)) {
            abort();
        }
        return USBD_STATUS_SUCCESS;
    }
    if (Pipe->Role != BusPipeFirmwareOut) {
        Transfer->Moved = Transfer->Length;
        return USBD_STATUS_SUCCESS;
    }
    uint32_t packet = Pipe->MaxPacket != 0 ? Pipe->MaxPacket : 64;
    do {
        uint32_t chunk = Transfer->Length - Transfer->Moved;
        if (chunk > packet) {
            chunk = packet;
        }
        if (Unit->UnplugArmed && Unit->UnplugAfterBytes < chunk) {
            chunk = Unit->UnplugAfterBytes; /* the cable comes out in the middle of this packet */
        }
        uint32_t erases = SimUnitCommandCount(Unit->Sim, 2);
        uint32_t writes = SimUnitCommandCount(Unit->Sim, 5);
        SimUnitReceive(Unit->Sim, Transfer->Buffer + Transfer->Moved, chunk);
        Transfer->Moved += chunk;
        CollectReply(Unit, ReplyUs, erases, writes);
        if (Unit->UnplugArmed) {
            Unit->UnplugAfterBytes -= chunk;
            if (Unit->UnplugAfterBytes == 0) {
                Unit->UnplugDue = true;
                BusDisconnectLocked(Unit);
            }
        }
        if (!Unit->Connected) {
            return USBD_STATUS_DEVICE_GONE;
        }
        if (!Unit->PortEnabled) {
            /* The unit took the packet, but its handshake never reached the host. */
            return USBD_STATUS_DEV_NOT_RESPONDING;
        }
    } while (Transfer->Moved < Transfer->Length);
    return USBD_STATUS_SUCCESS;
}

/* Fills an IN transfer from the unit's records. Returns true when it has ended. */
static bool ServiceIn(BusUnit *Unit, BusPipe *Pipe, BusTransfer *Transfer, uint64_t NowUs, uint64_t *WakeUs,
                      USBD_STATUS *Status)
{
    BusInQueue *records = Pipe->Role == BusPipeFirmwareIn   ? &Unit->InRecords
                          : Pipe->Role == BusPipeLoopbackIn ? &Unit->LoopRecords
                                                            : NULL;
    if (records == NULL) {
        if (Transfer->Length == 0) {
            *Status = USBD_STATUS_SUCCESS;
            return true;
        }
        return false; /* nothing ever answers on this endpoint */
    }
    BusInStep step;
    step.Moved = Transfer->Moved;
    BusInTransferStep(records, Transfer->Buffer, Transfer->Length, Pipe->MaxPacket, Transfer->ShortOk, NowUs, &step);
    if (records == &Unit->InRecords && step.Moved != Transfer->Moved) {
        BusKeepBacklogLocked(Unit);
    }
    Transfer->Moved = step.Moved;
    if (step.Status == USBD_STATUS_PENDING) {
        if (step.WakeAtUs != 0 && step.WakeAtUs < *WakeUs) {
            *WakeUs = step.WakeAtUs;
        }
        return false;
    }
    *Status = step.Status;
    return true;
}

/* Runs the data phase of a transfer at the head of its pipe. Returns true when it has
 * ended (transfer->Status set, transfer->DueUs the time it completes under the timing
 * model, 0 without). */
static bool RunDataPhase(HostUsbBus *bus, BusUnit *unit, BusPipe *pipe, BusTransfer *transfer, uint64_t nowUs,
                         uint64_t *wakeUs)
{
    uint64_t start = pipe->BusyUntilUs > nowUs ? pipe->BusyUntilUs : nowUs;
    USBD_STATUS status;
    if (pipe->Halted) {
        status = USBD_STATUS_ENDPOINT_HALTED;
    } else if (transfer->In) {
        if (!ServiceIn(unit, pipe, transfer, nowUs, wakeUs, &status)) {
            return false;
        }
    } else {
        uint64_t replyUs = start + BusTransferMicroseconds(&bus->Timing, transfer->Length, pipe->MaxPacket);
        status = ServiceOut(unit, pipe, transfer, replyUs);
    }
    transfer->Status = status;
    if (bus->Timing.Enabled) {
        transfer->DueUs = start + BusTransferMicroseconds(&bus->Timing, transfer->Moved, pipe->MaxPacket);
        pipe->BusyUntilUs = transfer->DueUs;
    }
    return true;
}

/* Moves the head transfers of every pipe of the unit as far as they go. */
static void ServiceUnit(HostUsbBus *bus, BusUnit *unit, uint64_t nowUs, uint64_t *wakeUs)
{
    if (!unit->Connected || !unit->PortEnabled || !unit->Configured) {
        return;
    }
    if (unit->PowerState != PowerDeviceD0) {
        return; /* a suspended port moves nothing; queued transfers wait for the resume */
    }
    for (uint32_t i = 0; i < unit->PipeCount && unit->Connected && unit->PortEnabled; i++) {
        BusPipe *pipe = &unit->Pipes[i];
        while (pipe->Queue.Head != NULL) {
            BusTransfer *transfer = pipe->Queue.Head;
            if (!transfer->Ended) {
                if (!RunDataPhase(bus, unit, pipe, transfer, nowUs, wakeUs)) {
                    break;
                }
                transfer->Ended = true;
                if (!unit->Connected || !unit->PortEnabled) {
                    break; /* the unit went away: every transfer, this one too, is failed */
                }
            }
            if (transfer->DueUs > nowUs) {
                if (transfer->DueUs < *wakeUs) {
                    *wakeUs = transfer->DueUs;
                }
                break;
            }
            if (IoSetCancelRoutine(transfer->Irp, NULL) == NULL) {
                break; /* cancel routine running: it completes the transfer */
            }
            BusListRemove(&pipe->Queue, transfer);
            USBD_STATUS status = transfer->Status;
            if (!USBD_SUCCESS(status)) {
                pipe->Halted = true;
            }
            unit->Transfers++;
            BusFinishLocked(transfer, status, BusNtStatus(status));
        }
    }
}

/* Completes one finished transfer at the caller's IRQL (DISPATCH_LEVEL). */
static void CompleteTransfer(BusTransfer *transfer)
{
    PIRP irp = transfer->Irp;
    PURB urb = transfer->Urb;
    if (transfer->Pipe != NULL) {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transfer->Moved;
    }
    urb->UrbHeader.Status = transfer->Status;
    irp->IoStatus.Status = transfer->IrpStatus;
    irp->IoStatus.Information = 0;
    free(transfer);
    UnwatchUrb(urb);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* The host-controller thread. */
static void ControllerMain(HostUsbBus *bus)
{
    std::unique_lock<std::mutex> hold(bus->Lock);
    for (;;) {
        uint64_t nowUs = BusNowUs();
        uint64_t wakeUs = UINT64_MAX;
        for (int port = 1; port <= HOST_USB_PORTS; port++) {
            if (bus->Ports[port] != NULL) {
                ServiceUnit(bus, bus->Ports[port], nowUs, &wakeUs);
            }
        }
        BusUnit *gone[HOST_USB_PORTS];
        int goneCount = 0;
        for (int port = 1; port <= HOST_USB_PORTS; port++) {
            BusUnit *unit = bus->Ports[port];
            if (unit != NULL && unit->UnplugDue) {
                unit->UnplugDue = false;
                gone[goneCount++] = unit;
            }
        }
        if (bus->Done.Head == NULL && goneCount == 0) {
            if (bus->Stopping) {
                return;
            }
            if (wakeUs == UINT64_MAX) {
                bus->Changed.wait(hold);
            } else {
                bus->Changed.wait_for(hold, std::chrono::microseconds(wakeUs - nowUs));
            }
            continue;
        }
        BusTransferList done = bus->Done;
        bus->Done = BusTransferList{};
        hold.unlock();

        KIRQL oldIrql;
        for (BusTransfer *transfer = done.Head; transfer != NULL;) {
            BusTransfer *next = transfer->Next;
            BusUnit *unit = transfer->Unit;
            uint32_t *waiter = transfer->Waiter;
            KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
            CompleteTransfer(transfer);
            KeLowerIrql(oldIrql);
            std::lock_guard<std::mutex> counted(bus->Lock);
            if (waiter != NULL) {
                (*waiter)--;
            }
            unit->Outstanding--;
            bus->Changed.notify_all();
            transfer = next;
        }
        for (int i = 0; i < goneCount; i++) {
            BusAnnounceGone(gone[i]);
        }
        hold.lock();
    }
}

void BusControllerStart(HostUsbBus *bus) { bus->Controller = std::thread(ControllerMain, bus); }

void BusControllerStop(HostUsbBus *bus)
{
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        bus->Stopping = true;
        bus->Changed.notify_all();
    }
    bus->Controller.join();
}
