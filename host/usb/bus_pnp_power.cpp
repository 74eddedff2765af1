/*
 * bus_pnp_power.cpp - plug-and-play and power requests of a unit's physical device object.
 *
 * As the bus driver at the bottom of the stack, the unit's device object completes every
 * request itself: the ones it knows with their answer, the others with the status they
 * came with. REMOVE_DEVICE deletes the device object only when the unit has been reported
 * gone; a unit still plugged in keeps it, as Windows does.
 */
#include <string.h>

#include "host/usb/bus_internal.h"

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* IRP_MN_QUERY_CAPABILITIES: the unit's capabilities, with its port as address and
 * number. */
static NTSTATUS QueryCapabilities(BusUnit *Unit, PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == NULL || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
    }
    USHORT size = caps->Size;
    USHORT version = caps->Version;
    *caps = Unit->Capabilities;
    caps->Size = size;
    caps->Version = version;
    caps->Address = (ULONG)Unit->Port;
    caps->UINumber = (ULONG)Unit->Port;
    return CompleteWith(Irp, STATUS_SUCCESS);
}

NTSTATUS BusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusUnit *unit = (BusUnit *)DeviceObject->DeviceExtension;
    HostUsbBus *bus = unit->Bus;
    NTSTATUS status = Irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        /* A bus driver powers the device on when it starts it, whatever a stop left. */
        {
            std::lock_guard<std::mutex> hold(bus->Lock);
            unit->Started = true;
            unit->PowerState = PowerDeviceD0;
            bus->Changed.notify_all();
        }
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(DeviceObject, DevicePowerState, d0);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE: {
        std::lock_guard<std::mutex> hold(bus->Lock);
        unit->Started = false;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        {
            std::lock_guard<std::mutex> hold(bus->Lock);
            unit->SurpriseRemoved = true;
            unit->Started = false;
            BusFailUnitLocked(unit, unit->Connected ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                              unit->Connected ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED);
        }
        BusCompleteWaitWake(unit, STATUS_NO_SUCH_DEVICE);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        {
            std::lock_guard<std::mutex> hold(bus->Lock);
            unit->Removed = true;
            unit->Started = false;
            BusUnconfigureLocked(unit, unit->Connected ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                                 unit->Connected ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED);
        }
        BusCompleteWaitWake(unit, STATUS_NO_SUCH_DEVICE);
        CompleteWith(Irp, STATUS_SUCCESS);
        if (BusClaimDeleteOnRemove(unit)) {
            BusScheduleDelete(unit);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(unit, Irp);
    default:
        break; /* not the bus driver's to answer: completed as it came */
    }
    return CompleteWith(Irp, status);
}

/* Cancel routine of a held wait-wake request. */
static VOID CancelWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusUnit *unit = (BusUnit *)DeviceObject->DeviceExtension;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        if (unit->WaitWakeIrp == Irp) {
            unit->WaitWakeIrp = NULL;
        }
    }
    CompleteWith(Irp, STATUS_CANCELLED);
}

bool BusCompleteWaitWake(BusUnit *Unit, NTSTATUS Status)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> hold(Unit->Bus->Lock);
        irp = Unit->WaitWakeIrp;
        if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
            return false; /* none held, or its cancel routine has it */
        }
        Unit->WaitWakeIrp = NULL;
    }
    CompleteWith(irp, Status);
    return true;
}

/* IRP_MN_WAIT_WAKE: held until the unit signals wake-up, or cancelled. */
static NTSTATUS WaitWake(BusUnit *Unit, PIRP Irp)
{
    std::unique_lock<std::mutex> hold(Unit->Bus->Lock);
    NTSTATUS status = STATUS_PENDING;
    if (Unit->Capabilities.DeviceWake == PowerDeviceUnspecified) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (Unit->WaitWakeIrp != NULL) {
        status = STATUS_DEVICE_BUSY;
    } else if (!Unit->Connected || Unit->SurpriseRemoved) {
        status = STATUS_NO_SUCH_DEVICE;
    }
    if (status != STATUS_PENDING) {
        hold.unlock();
        PoStartNextPowerIrp(Irp);
        return CompleteWith(Irp, status);
    }
    IoMarkIrpPending(Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        hold.unlock();
        PoStartNextPowerIrp(Irp);
        CompleteWith(Irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(Irp, CancelWaitWake);
    IoReleaseCancelSpinLock(irql);
    Unit->WaitWakeIrp = Irp;
    hold.unlock();
    PoStartNextPowerIrp(Irp);
    return STATUS_PENDING;
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusUnit *unit = (BusUnit *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(unit, Irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
            {
                std::lock_guard<std::mutex> hold(unit->Bus->Lock);
                /* Below D0 the port is suspended; back in D0 queued transfers move again. */
                unit->PowerState = state;
                unit->Bus->Changed.notify_all();
            }
            PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    PoStartNextPowerIrp(Irp);
    return CompleteWith(Irp, status);
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    return CompleteWith(Irp, Irp->IoStatus.Status);
}
