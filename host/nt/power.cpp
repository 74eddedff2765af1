/*
 * power.cpp - the power manager: PoCallDriver (delivering power requests at the IRQL the
 * target device asks for), PoStartNextPowerIrp, PoRequestPowerIrp with its completion
 * callback, PoSetPowerState, and system power transitions asked for by tests.
 *
 * A device whose DO_POWER_PAGABLE is set receives power requests at PASSIVE_LEVEL: one
 * passed on from DISPATCH_LEVEL is handed to the worker thread and PoCallDriver returns
 * STATUS_PENDING. A device without it receives them at DISPATCH_LEVEL.
 */
#include <atomic>

#include "host/nt/nt_internal.h"

static std::atomic<SYSTEM_POWER_STATE> SystemState{PowerSystemWorking};

typedef struct DeferredPowerCall {
    PDEVICE_OBJECT Device;
    PIRP Irp;
    HostCallSite Site;
} DeferredPowerCall;

static VOID DeferredPowerWork(PVOID Context)
{
    DeferredPowerCall *call = (DeferredPowerCall *)Context;
    HostThread()->InPoCallDriver = TRUE;
    HostCallDriver(call->Device, call->Irp, call->Site);
    delete call;
}

static NTSTATUS PowerCall(PDEVICE_OBJECT DeviceObject, PIRP Irp, HostCallSite Site)
{
    HostThreadState *thread = HostThread();
    if (thread->Irql > DISPATCH_LEVEL) {
        HostReport("CALL_DRIVER_IRQL", Irp, Site, "PoCallDriver at IRQL %d", thread->Irql);
    }
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, Site, "PoCallDriver with %p, which is not an allocated request",
                   (void *)Irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (!HostDeviceIsLive(DeviceObject)) {
        HostReport("DEVICE_NOT_LIVE", Irp, Site, "PoCallDriver to %p, which is not a device object",
                   (void *)DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) && thread->Irql > PASSIVE_LEVEL) {
        HostQueueWork(DeferredPowerWork, new DeferredPowerCall{DeviceObject, Irp, Site});
        return STATUS_PENDING;
    }
    KIRQL old = thread->Irql;
    if (!(DeviceObject->Flags & DO_POWER_PAGABLE) && old < DISPATCH_LEVEL) {
        thread->Irql = DISPATCH_LEVEL;
    }
    thread->InPoCallDriver = TRUE;
    NTSTATUS status = HostCallDriver(DeviceObject, Irp, Site);
    thread->Irql = old;
    return status;
}

NTSTATUS(PoCallDriver)(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PowerCall(DeviceObject, Irp, HostTakeCallSite());
}

VOID(PoStartNextPowerIrp)(PIRP Irp)
{
    HostCallSite site = HostTakeCallSite();
    if (!HostIrpIsLive(Irp)) {
        HostReport("IRP_NOT_ALLOCATED", nullptr, site, "PoStartNextPowerIrp with %p, which is not an allocated request",
                   (void *)Irp);
        return;
    }
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", Irp, site, "PoStartNextPowerIrp at IRQL %d", HostThread()->Irql);
    }
    HostPayStartNextPower(Irp);
}

/* The bottom device of the stack DeviceObject is in. Caller holds HostKernelLock. */
static PDEVICE_OBJECT StackBottomLocked(PDEVICE_OBJECT DeviceObject)
{
    while (DeviceObject->DeviceObjectExtension->AttachedTo) {
        DeviceObject = DeviceObject->DeviceObjectExtension->AttachedTo;
    }
    return DeviceObject;
}

static VOID SendQueuedDevicePower(PVOID Context)
{
    HostIrpRecord *record = (HostIrpRecord *)Context;
    PowerCall(IoGetAttachedDevice(record->PowerTarget), &record->Irp, record->PowerSite);
}

/* A device set/query power request of PoRequestPowerIrp is over: the next one waiting on
 * the same stack goes, from the worker thread. */
static void EndDevicePower(PDEVICE_OBJECT Bottom)
{
    HostIrpRecord *next;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        struct _DEVOBJ_EXTENSION *doe = Bottom->DeviceObjectExtension;
        next = doe->DevicePowerQueue;
        if (next) {
            doe->DevicePowerQueue = next->PowerNextQueued;
        } else {
            doe->DevicePowerActive = false;
        }
    }
    if (next) {
        HostQueueWork(SendQueuedDevicePower, next);
    }
}

/* Completion of a request of PoRequestPowerIrp: the requester's callback, then the free. */
static NTSTATUS PowerRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    HostIrpRecord *record = (HostIrpRecord *)Context;
    PDEVICE_OBJECT bottom = record->PowerStackBottom;
    if (record->PowerCallback) {
        HostContextSave save = HostEnterDriver(record->AllocDriver, record->PowerTarget);
        record->PowerCallback(record->PowerTarget, record->PowerMinor, record->PowerState, record->PowerContext,
                              &Irp->IoStatus);
        HostLeaveDriver(save);
    }
    HostReleaseIrpRecord(record);
    if (bottom) {
        EndDevicePower(bottom);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS(PoRequestPowerIrp)
(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
 PVOID Context, PIRP *Irp)
{
    HostCallSite site = HostTakeCallSite();
    if (HostThread()->Irql > DISPATCH_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, site, "PoRequestPowerIrp at IRQL %d", HostThread()->Irql);
    }
    if (!HostDeviceIsLive(DeviceObject)) {
        HostReport("DEVICE_NOT_LIVE", nullptr, site, "PoRequestPowerIrp for %p, which is not a device object",
                   (void *)DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (MinorFunction == IRP_MN_SET_POWER) {
        /* Asked for, whether or not the request can be made (see SendSystemPower). */
        std::lock_guard<std::mutex> guard(HostKernelLock);
        StackBottomLocked(DeviceObject)->DeviceObjectExtension->DeviceSetPowerRequests++;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    /* Counted by the low-resources simulation in the caller's context: on Windows this
     * allocation can fail, and then the callback never runs. */
    PIRP irp = HostAllocateIrp(top->StackSize, HostIrpSystem, site, true);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    HostIrpRecord *record = HostIrpRecordOf(irp);
    record->Refs = 1;
    record->PowerCallback = CompletionFunction;
    record->PowerContext = Context;
    record->PowerTarget = DeviceObject;
    record->PowerMinor = MinorFunction;
    record->PowerState = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    }
    IoSetCompletionRoutine(irp, PowerRequestDone, record, TRUE, TRUE, TRUE);
    if (Irp) {
        *Irp = irp;
    }
    HostFuzzPoint();
    /* One device set/query power request is active per stack on Windows: a second one waits
     * until the first has completed. */
    bool queued = false;
    if (MinorFunction != IRP_MN_WAIT_WAKE) {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        PDEVICE_OBJECT bottom = StackBottomLocked(DeviceObject);
        struct _DEVOBJ_EXTENSION *doe = bottom->DeviceObjectExtension;
        record->PowerStackBottom = bottom;
        record->PowerSite = site;
        if (doe->DevicePowerActive) {
            HostIrpRecord **tail = &doe->DevicePowerQueue;
            while (*tail) {
                tail = &(*tail)->PowerNextQueued;
            }
            *tail = record;
            queued = true;
        } else {
            doe->DevicePowerActive = true;
        }
    }
    if (!queued) {
        PowerCall(top, irp, site);
    }
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous = State;
    if (Type == DevicePowerState) {
        previous.DeviceState = DeviceObject->DeviceObjectExtension->PowerState;
        DeviceObject->DeviceObjectExtension->PowerState = State.DeviceState;
    }
    return previous;
}

DEVICE_POWER_STATE HostPoGetDevicePowerState(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject->DeviceObjectExtension->PowerState;
}

/* ---- System power transitions ---------------------------------------------------------- */

static POWER_ACTION ActionFor(SYSTEM_POWER_STATE State)
{
    switch (State) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

/* Sends one system power request to the top of the node's stack and waits for it. */
static NTSTATUS SendSystemPowerOnce(HostDeviceNode *Node, UCHAR Minor, SYSTEM_POWER_STATE State)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(Node->Pdo);
    PIRP irp = HostAllocateIrp(top->StackSize, HostIrpSystem, HostCallSite{nullptr, 0}, false);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = Minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = State;
    next->Parameters.Power.ShutdownType = ActionFor(State);
    return HostSendSystemIrp(top, irp);
}

/* The device set-power requests asked for on the node's stack so far. */
static ULONG DeviceSetPowerRequests(HostDeviceNode *Node)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return Node->Pdo ? Node->Pdo->DeviceObjectExtension->DeviceSetPowerRequests : 0;
}

/* Sends one system power request to the top of the node's stack and waits for it, however
 * long the drivers hold it. A system set-power request must have made the stack's power
 * policy owner ask for a device set-power request, even for the state the device is in
 * ("Handling a System Set-Power IRP in a Device Power Policy Owner"). */
static NTSTATUS SendSystemPower(HostDeviceNode *Node, UCHAR Minor, SYSTEM_POWER_STATE State)
{
    ULONG before = DeviceSetPowerRequests(Node);
    NTSTATUS status = SendSystemPowerOnce(Node, Minor, State);
    if (Minor == IRP_MN_SET_POWER && DeviceSetPowerRequests(Node) == before) {
        HostReport("POWER_DEVICE_REQUEST_MISSING", nullptr, HostCallSite{nullptr, 0},
                   "system set-power request (S%d) to the stack of physical device %p completed, and no driver of the "
                   "stack asked for a device set-power request (PoRequestPowerIrp) while it was in progress",
                   (int)State - 1, (void *)Node->Pdo);
    }
    return status;
}

typedef struct SystemPowerArgs {
    SYSTEM_POWER_STATE State;
    NTSTATUS Status;
} SystemPowerArgs;

static VOID SystemPowerWork(PVOID Context)
{
    SystemPowerArgs *args = (SystemPowerArgs *)Context;
    std::vector<HostDeviceNode *> nodes = HostStartedNodes();
    args->Status = STATUS_SUCCESS;
    if (args->State != PowerSystemWorking) {
        size_t queried = 0;
        for (; queried < nodes.size(); queried++) {
            NTSTATUS status = SendSystemPower(nodes[queried], IRP_MN_QUERY_POWER, args->State);
            if (!NT_SUCCESS(status)) {
                args->Status = status;
                break;
            }
        }
        if (!NT_SUCCESS(args->Status)) {
            /* A refused query is withdrawn by setting the current state again. */
            for (size_t i = 0; i < queried; i++) {
                SendSystemPower(nodes[i], IRP_MN_SET_POWER, SystemState.load());
            }
            return;
        }
    }
    for (HostDeviceNode *node : nodes) {
        NTSTATUS status = SendSystemPower(node, IRP_MN_SET_POWER, args->State);
        if (!NT_SUCCESS(status) && NT_SUCCESS(args->Status)) {
            args->Status = status;
        }
    }
    SystemState = args->State;
}

NTSTATUS HostPoSetSystemPowerState(SYSTEM_POWER_STATE State)
{
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "system power transition asked for at IRQL %d",
                   HostThread()->Irql);
    }
    if (State < PowerSystemWorking || State > PowerSystemShutdown) {
        return STATUS_INVALID_PARAMETER;
    }
    SystemPowerArgs args = {State, STATUS_SUCCESS};
    HostRunOnPnpThread(SystemPowerWork, &args, true);
    return args.Status;
}

SYSTEM_POWER_STATE HostPoGetSystemPowerState(void) { return SystemState; }

void HostPowerReset(void) { SystemState = PowerSystemWorking; }
