/*
 * power.cpp - power requests and the driver's own power management of the unit.
 *
 * A system set-power request is held while the device power request it maps to runs (one
 * is asked for even when the unit is in that state already, as the power policy owner must);
 * device set-power requests are passed on and recorded (D1-D3 on the way down, D0 once
 * completed); wait-wake is accepted or refused by the unit's wake capability. Opening the
 * first pipe powers the unit up, closing the last one down to PowerDownLevel.
 */
#include "driver/murvousb.h"

static BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
static VOID NTAPI SystemPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                             PVOID Context, PIO_STATUS_BLOCK IoStatus);
static VOID NTAPI SelfPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PVOID Context, PIO_STATUS_BLOCK IoStatus);

/*
 * PassPowerDown: hands a power request on to the lower driver, the power manager's way.
 * Returns PoCallDriver's status. Up to DISPATCH_LEVEL (SystemPowerRequestComplete passes the
 * held system request on from its callback).
 */
static NTSTATUS PassPowerDown(DeviceExtension *Extension, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * DeviceStateForSystem: the device state a system state S maps to: D0 for working, the
 * capabilities' entry while a wait-wake is in progress, D3 otherwise.
 */
static DEVICE_POWER_STATE DeviceStateForSystem(DeviceExtension *Extension, SYSTEM_POWER_STATE State)
{
    if (State == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (ReadShared(Extension->WaitWakeActive) && State > PowerSystemUnspecified && State < PowerSystemMaximum) {
        return Extension->DeviceCapabilities.DeviceState[State];
    }
    return PowerDeviceD3;
}

/*
 * HandleSystemSetPower: holds a system set-power request and asks the power manager for the
 * device set-power request its state maps to, also when the unit is in that state already
 * (the power policy owner sends it whatever the state). Returns STATUS_PENDING. PASSIVE_LEVEL.
 */
static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE State)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    // Held from here on: no self power change starts, and one still in flight is waited
    // for, so that the device request asked for below comes after it.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PowerChangeLock, &oldIrql);
    WriteShared(extension->PendingSystemPowerIrp, Irp);
    KeReleaseSpinLock(&extension->PowerChangeLock, oldIrql);
    WaitForEvent(&extension->SelfPowerIdle);

    DEVICE_POWER_STATE mapped = DeviceStateForSystem(extension, State);
    // Marked pending before the device request exists: its callback may pass the held
    // request on before PoRequestPowerIrp returns.
    IoMarkIrpPending(Irp);
    POWER_STATE powerState;
    powerState.DeviceState = mapped;
    NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                        SystemPowerRequestComplete, DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // No callback will come: the held request goes on now and gives up its reference.
        WriteShared(extension->PendingSystemPowerIrp, static_cast<PIRP>(NULL));
        PassPowerDown(extension, Irp);
        IoDecrement(DeviceObject);
    }
    return STATUS_PENDING;
}

/*
 * SystemPowerRequestComplete: callback of the device request made for a held system
 * request: passes the held request on whatever the outcome, then gives up the reference
 * taken for it. Context is the driver's device object. Up to DISPATCH_LEVEL.
 */
static VOID NTAPI SystemPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                             PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    (void)DeviceObject;
    (void)MinorFunction;
    (void)PowerState;
    (void)IoStatus;
    PDEVICE_OBJECT ownDevice = static_cast<PDEVICE_OBJECT>(Context);
    DeviceExtension *extension = ExtensionOf(ownDevice);
    PIRP held = ReadShared(extension->PendingSystemPowerIrp);
    WriteShared(extension->PendingSystemPowerIrp, static_cast<PIRP>(NULL));
    PassPowerDown(extension, held);
    IoDecrement(ownDevice);
}

/*
 * SetDevicePowerState: records D1, D2 or D3 at once. Returns TRUE for D0, whose state is
 * recorded only when the request has completed; FALSE otherwise.
 */
static BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    switch (State) {
    case PowerDeviceD0:
        return TRUE;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        WriteShared(extension->CurrentDevicePowerState, State);
        return FALSE;
    default:
        return FALSE;
    }
}

/*
 * PowerUpComplete: completion of a device set-power request for D0: records D0 when the lower
 * drivers succeeded and keeps their status either way, so that a failed power-up leaves the
 * recorded state where it was. Context is the driver's device object.
 * Returns STATUS_SUCCESS so completion goes on upwards. Up to DISPATCH_LEVEL.
 */
static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    PDEVICE_OBJECT ownDevice = static_cast<PDEVICE_OBJECT>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        WriteShared(ExtensionOf(ownDevice)->CurrentDevicePowerState, PowerDeviceD0);
    }
    IoDecrement(ownDevice);
    return STATUS_SUCCESS;
}

/*
 * HandleDeviceSetPower: records the new device state and passes the request on; a power-up
 * is recorded by PowerUpComplete, which also gives up the reference, and is reported as
 * STATUS_PENDING. Returns the lower driver's status otherwise. PASSIVE_LEVEL.
 */
static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    BOOLEAN poweringUp = SetDevicePowerState(DeviceObject, State);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (poweringUp) {
        // PowerUpComplete may run on another processor once the request is down.
        IoMarkIrpPending(Irp);
        IoSetCompletionRoutine(Irp, PowerUpComplete, DeviceObject, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(extension->LowerDevice, Irp);
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
    IoDecrement(DeviceObject);
    return status;
}

/*
 * HandleWaitWake: makes DeviceWake the self power-down level, then refuses the request when
 * the unit is in D0 or DeviceWake is deeper than its state; otherwise passes it on and
 * waits in this thread until the lower drivers complete it. PASSIVE_LEVEL.
 */
static NTSTATUS HandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    WriteShared(extension->PowerDownLevel, extension->DeviceCapabilities.DeviceWake);
    DEVICE_POWER_STATE current = ReadShared(extension->CurrentDevicePowerState);
    if (current == PowerDeviceD0 ||
        static_cast<LONG>(extension->DeviceCapabilities.DeviceWake) > static_cast<LONG>(current)) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        Irp->IoStatus.Information = 0;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoDecrement(DeviceObject);
        return STATUS_INVALID_DEVICE_STATE;
    }

    WriteShared(extension->WaitWakeActive, static_cast<BOOLEAN>(TRUE));
    KEVENT woken;
    KeInitializeEvent(&woken, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnCompleteSetEvent, &woken, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        WaitForEvent(&woken);
    }
    SelfSuspendOrActivate(DeviceObject, FALSE);
    WriteShared(extension->WaitWakeActive, static_cast<BOOLEAN>(FALSE));

    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return status;
}

/*
 * DispatchPower: the IRP_MJ_POWER routine. Counts itself in PendingIoCount; set-power and
 * wait-wake requests are handled above, every other request is passed on.
 * PASSIVE_LEVEL (the device object is power-pageable).
 */
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoIncrement(DeviceObject);

    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            return HandleSystemSetPower(DeviceObject, Irp, stack->Parameters.Power.State.SystemState);
        }
        if (stack->Parameters.Power.Type == DevicePowerState) {
            return HandleDeviceSetPower(DeviceObject, Irp, stack->Parameters.Power.State.DeviceState);
        }
        break;
    case IRP_MN_WAIT_WAKE:
        return HandleWaitWake(DeviceObject, Irp);
    default:
        break;
    }
    NTSTATUS status = PassPowerDown(extension, Irp);
    IoDecrement(DeviceObject);
    return status;
}

/*
 * ClaimSelfPowerChange: claims the one self power change there may be at a time, unless one
 * is in flight or a system request is held (SystemHeld tells which). TRUE when claimed: no
 * other self power change starts until ReleaseSelfPowerChange or the request's callback.
 * Up to DISPATCH_LEVEL.
 */
static BOOLEAN ClaimSelfPowerChange(DeviceExtension *Extension, BOOLEAN *SystemHeld)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->PowerChangeLock, &oldIrql);
    *SystemHeld = ReadShared(Extension->PendingSystemPowerIrp) != NULL;
    BOOLEAN claimed = !*SystemHeld && !ReadShared(Extension->SelfPowerRequestPending);
    if (claimed) {
        WriteShared(Extension->SelfPowerRequestPending, static_cast<BOOLEAN>(TRUE));
        KeClearEvent(&Extension->SelfPowerIdle);
    }
    KeReleaseSpinLock(&Extension->PowerChangeLock, oldIrql);
    return claimed;
}

/*
 * ReleaseSelfPowerChange: gives up a claim that asked for nothing, or whose request will
 * have no callback. Up to DISPATCH_LEVEL.
 */
static void ReleaseSelfPowerChange(DeviceExtension *Extension)
{
    WriteShared(Extension->SelfPowerRequestPending, static_cast<BOOLEAN>(FALSE));
    KeSetEvent(&Extension->SelfPowerIdle, 1, FALSE);
}

/*
 * IssueSelfPowerRequest: asks the power manager for a device set-power request to State for
 * the unit's stack, under a claim the caller holds; the claim ends in the callback. A power-up
 * (State D0, the only state the driver powers itself up to) waits until it has completed and
 * returns its outcome; a power-down does not wait. Returns STATUS_SUCCESS, the power-up's
 * outcome, or PoRequestPowerIrp's failure. PASSIVE_LEVEL.
 */
static NTSTATUS IssueSelfPowerRequest(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    // The decision rests on the request itself, not on PowerDownLevel, which a wait-wake
    // request may change before the callback runs.
    BOOLEAN poweringUp = State == PowerDeviceD0;
    IoIncrement(DeviceObject);
    // Each power-up waits for its own completion, not for an earlier one's signal.
    if (poweringUp) {
        KeClearEvent(&extension->PowerUpEvent);
    }
    POWER_STATE powerState;
    powerState.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                        SelfPowerRequestComplete, DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // The callback will not run: undo what it would have undone.
        ReleaseSelfPowerChange(extension);
        IoDecrement(DeviceObject);
        return status;
    }
    if (poweringUp) {
        WaitForEvent(&extension->PowerUpEvent);
        return ReadShared(extension->SelfPowerUpStatus);
    }
    return STATUS_SUCCESS;
}

/*
 * SelfSuspendOrActivate: powers the unit down to PowerDownLevel when Suspend is TRUE and no
 * pipe is open, or up to D0 when Suspend is FALSE and a pipe is open; does nothing while a
 * system request is held or PowerDownLevel is not D1-D3. The power change is claimed first
 * and decided under the claim from OpenPipes and the recorded state, so that a close and an
 * open that race cannot leave the unit powered down under an open pipe: an open whose
 * increment of OpenPipes the close's decision missed finds the close's claim, waits for its
 * power-down and powers the unit up again. A power change of the driver's own still on the
 * way is waited for first.
 * Returns STATUS_DELETE_PENDING when requests on open handles cannot go on (CanContinueIo), else the outcome of the
 * power request (STATUS_SUCCESS when none was needed). PASSIVE_LEVEL: may wait.
 */
NTSTATUS SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (!CanContinueIo(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    for (;;) {
        if (ReadShared(extension->PendingSystemPowerIrp) != NULL) {
            return STATUS_SUCCESS;
        }
        WaitForEvent(&extension->SelfPowerIdle);
        BOOLEAN systemHeld = FALSE;
        if (!ClaimSelfPowerChange(extension, &systemHeld)) {
            if (systemHeld) {
                return STATUS_SUCCESS;
            }
            continue; // another power change began meanwhile: wait for it and look again
        }

        LONG openPipes = ReadShared(extension->OpenPipes);
        DEVICE_POWER_STATE level = ReadShared(extension->PowerDownLevel);
        DEVICE_POWER_STATE target = PowerDeviceUnspecified;
        if (level == PowerDeviceD1 || level == PowerDeviceD2 || level == PowerDeviceD3) {
            if (Suspend && openPipes == 0) {
                target = level;
            } else if (!Suspend && openPipes != 0) {
                target = PowerDeviceD0;
            }
        }
        if (target == PowerDeviceUnspecified || target == ReadShared(extension->CurrentDevicePowerState)) {
            ReleaseSelfPowerChange(extension);
            return STATUS_SUCCESS;
        }
        return IssueSelfPowerRequest(DeviceObject, target);
    }
}

/*
 * SelfRequestPowerIrp: asks for a device set-power request to State for the unit's stack
 * (see IssueSelfPowerRequest). Does nothing when State is the recorded one, while another
 * self power change is in flight or while a system request is held. Returns STATUS_SUCCESS,
 * the power-up's outcome or PoRequestPowerIrp's failure. PASSIVE_LEVEL.
 */
NTSTATUS SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    BOOLEAN systemHeld = FALSE;
    if (!ClaimSelfPowerChange(extension, &systemHeld)) {
        return STATUS_SUCCESS;
    }
    if (State == ReadShared(extension->CurrentDevicePowerState)) {
        ReleaseSelfPowerChange(extension);
        return STATUS_SUCCESS;
    }
    return IssueSelfPowerRequest(DeviceObject, State);
}

/*
 * SelfPowerRequestComplete: callback of the driver's own device power request: ends the self
 * power change, signals a completed power-up with its outcome in SelfPowerUpStatus and gives
 * up the request's reference. Context
 * is the driver's device object. Up to DISPATCH_LEVEL.
 */
static VOID NTAPI SelfPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    (void)DeviceObject;
    (void)MinorFunction;
    PDEVICE_OBJECT ownDevice = static_cast<PDEVICE_OBJECT>(Context);
    DeviceExtension *extension = ExtensionOf(ownDevice);
    // The change is over before the waiting opener runs on, so that its next call may start one.
    ReleaseSelfPowerChange(extension);
    if (PowerState.DeviceState == PowerDeviceD0) { // the requester's own decision: see IssueSelfPowerRequest
        WriteShared(extension->SelfPowerUpStatus, IoStatus->Status);
        KeSetEvent(&extension->PowerUpEvent, 1, FALSE);
    }
    IoDecrement(ownDevice);
}
