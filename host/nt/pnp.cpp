/*
 * pnp.cpp - the plug-and-play manager: device arrival (driver loading, AddDevice, start),
 * the stop, removal and surprise-removal sequences, and the checks of what drivers must
 * have done when each request returns.
 *
 * Every request goes to the top of the device's stack from the plug-and-play thread at
 * PASSIVE_LEVEL, one at a time, with IoStatus.Status preset to STATUS_NOT_SUPPORTED.
 */
#include <chrono>

#include "host/nt/nt_internal.h"

/* Every node ever announced (guarded by HostKernelLock), freed by HostKernelReset. */
static std::vector<HostDeviceNode *> Nodes;

void HostDisableInterfaceStatesOf(PDEVICE_OBJECT Pdo);

static void SetState(HostDeviceNode *Node, HostDeviceState State)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    Node->State = State;
    HostKernelChanged.notify_all();
}

HostDeviceState HostPnpGetState(HostDeviceNode *Node)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return Node->State;
}

/* Sends one plug-and-play request to the top of the node's stack and waits for it;
 * Parameter is the capabilities record of QUERY_CAPABILITIES, or the relation type of
 * QUERY_DEVICE_RELATIONS; *Information receives the request's final Information. */
static NTSTATUS SendPnp(HostDeviceNode *Node, UCHAR Minor, PVOID Parameter = nullptr, ULONG_PTR *Information = nullptr)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(Node->Pdo);
    PIRP irp = HostAllocateIrp(top->StackSize, HostIrpSystem, HostCallSite{nullptr, 0}, false);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = Minor;
    if (Minor == IRP_MN_QUERY_CAPABILITIES) {
        next->Parameters.DeviceCapabilities.Capabilities = (PDEVICE_CAPABILITIES)Parameter;
    } else if (Minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        next->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)(uintptr_t)Parameter;
    }
    bool reachedBottom = false;
    ULONG_PTR information = 0;
    NTSTATUS status = HostSendSystemIrp(top, irp, &reachedBottom, &information);
    if (Information) {
        *Information = information;
    }
    /* Requests every driver of the stack must pass down, and no driver may fail. */
    bool unfailable = Minor == IRP_MN_STOP_DEVICE || Minor == IRP_MN_REMOVE_DEVICE ||
                      Minor == IRP_MN_SURPRISE_REMOVAL || Minor == IRP_MN_CANCEL_STOP_DEVICE ||
                      Minor == IRP_MN_CANCEL_REMOVE_DEVICE;
    if (unfailable && !reachedBottom) {
        HostReport("PNP_NOT_PASSED_DOWN", nullptr, HostCallSite{nullptr, 0},
                   "plug-and-play request (minor 0x%02x) completed without reaching the physical device object", Minor);
    }
    if (unfailable && !NT_SUCCESS(status)) {
        HostReport("PNP_UNFAILABLE_FAILED", nullptr, HostCallSite{nullptr, 0},
                   "plug-and-play request (minor 0x%02x) failed with 0x%08x: no driver may fail it", Minor,
                   (unsigned)status);
    }
    return status;
}

/* QUERY_DEVICE_RELATIONS of Type; a list a driver returns is let go (children and
 * removal relations are not modelled: units have none). */
static void QueryRelations(HostDeviceNode *Node, DEVICE_RELATION_TYPE Type)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(Node, IRP_MN_QUERY_DEVICE_RELATIONS, (PVOID)(uintptr_t)Type, &information);
    if (NT_SUCCESS(status) && information) {
        PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
        if (relations->Count) {
            HostReport("NOT_MODELLED", nullptr, HostCallSite{nullptr, 0},
                       "device relations (type %d) answered with %lu device object(s)", (int)Type,
                       (unsigned long)relations->Count);
        }
        HostPoolFree(relations, HostCallSite{nullptr, 0}, "device relations");
    }
}

/* What the plug-and-play manager asks a stack after it has started (Windows: "Adding a PnP
 * Device to a Running System"): its capabilities, its state, its bus relations. */
static void QueryStartedStack(HostDeviceNode *Node)
{
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = (ULONG)-1;
    caps.UINumber = (ULONG)-1;
    SendPnp(Node, IRP_MN_QUERY_CAPABILITIES, &caps);
    SendPnp(Node, IRP_MN_QUERY_PNP_DEVICE_STATE);
    QueryRelations(Node, BusRelations);
}

/* The function device exists and has not been deleted (a deleted one may stay while an
 * open holds it). */
static bool FunctionDeviceLive(HostDeviceNode *Node)
{
    if (!Node->Fdo || !HostDeviceIsLiveSerial(Node->Fdo, Node->FdoSerial)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return !Node->Fdo->DeviceObjectExtension->DeletePending;
}

/* REMOVE_DEVICE, then the checks of a removal and the driver's unload when it has no
 * device left. */
static void RemoveStack(HostDeviceNode *Node)
{
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        Node->Removing = true;
    }
    SendPnp(Node, IRP_MN_REMOVE_DEVICE);
    if (FunctionDeviceLive(Node)) {
        HostReport(
            "PNP_REMOVE_NOT_DELETED", nullptr, HostCallSite{nullptr, 0},
            "function device %p of driver %s still exists after IRP_MN_REMOVE_DEVICE: it must detach and delete it",
            (void *)Node->Fdo, HostDriverOf(Node->FunctionDriver)->Info->Name);
    } else if (Node->Pdo && HostDeviceIsLive(Node->Pdo) && Node->Pdo->AttachedDevice) {
        HostReport("PNP_REMOVE_NOT_DELETED", nullptr, HostCallSite{nullptr, 0},
                   "a device is still attached to physical device %p after IRP_MN_REMOVE_DEVICE", (void *)Node->Pdo);
    }
    if (Node->Pdo) {
        HostDisableInterfaceStatesOf(Node->Pdo);
    }
    PDRIVER_OBJECT driver = Node->FunctionDriver;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        Node->FunctionDriver = nullptr;
        Node->Fdo = nullptr;
        Node->RemoveWhenClosed = false;
    }
    /* The driver is unloaded before the removal is announced, so that whoever waits for it
     * may load the driver again at once. */
    if (driver) {
        HostUnloadIfUnused(driver);
    }
    SetState(Node, HostDeviceRemoved);
}

static VOID RemoveWork(PVOID Context) { RemoveStack((HostDeviceNode *)Context); }

/* SURPRISE_REMOVAL, then REMOVE at once or when the last file closes. */
static void SurpriseRemove(HostDeviceNode *Node)
{
    SendPnp(Node, IRP_MN_SURPRISE_REMOVAL);
    /* "Handling an IRP_MN_SURPRISE_REMOVAL Request": the function driver disables its
     * device interfaces there, so that no application opens the device any more. */
    if (Node->Pdo && HostEnabledInterfaceCount(Node->Pdo)) {
        HostReport("PNP_SURPRISE_INTERFACE_ENABLED", nullptr, HostCallSite{nullptr, 0},
                   "%lu device interface(s) of physical device %p still enabled after IRP_MN_SURPRISE_REMOVAL",
                   (unsigned long)HostEnabledInterfaceCount(Node->Pdo), (void *)Node->Pdo);
    }
    if (Node->Fdo && !FunctionDeviceLive(Node)) {
        HostReport("PNP_SURPRISE_DELETED", nullptr, HostCallSite{nullptr, 0},
                   "function device %p was deleted on IRP_MN_SURPRISE_REMOVAL; only IRP_MN_REMOVE_DEVICE may delete it",
                   (void *)Node->Fdo);
    }
    bool removeNow;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        Node->State = HostDeviceSurpriseRemoved;
        removeNow = Node->OpenFiles == 0;
        Node->RemoveWhenClosed = !removeNow;
        HostKernelChanged.notify_all();
    }
    if (removeNow) {
        RemoveStack(Node);
    }
}

void HostFileClosed(HostDeviceNode *Node)
{
    bool removeNow;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        Node->OpenFiles--;
        removeNow = Node->OpenFiles == 0 && Node->RemoveWhenClosed;
        if (removeNow) {
            Node->RemoveWhenClosed = false;
        }
    }
    if (removeNow) {
        HostRunOnPnpThread(RemoveWork, Node, false);
    }
}

/* ---- Arrival ----------------------------------------------------------------------------- */

typedef struct ArrivalArgs {
    PDEVICE_OBJECT Pdo;
    PCWSTR InstanceId;
    const HostDriverInfo *Driver;
    HostDeviceNode *Node;
    NTSTATUS Status;
} ArrivalArgs;

static VOID ArrivalWork(PVOID Context)
{
    ArrivalArgs *args = (ArrivalArgs *)Context;
    HostCallSite none = {nullptr, 0};
    if (args->Pdo->Flags & DO_DEVICE_INITIALIZING) {
        HostReport("PNP_DEVICE_INITIALIZING", nullptr, none,
                   "physical device object %p announced with DO_DEVICE_INITIALIZING still set", (void *)args->Pdo);
    }
    PDRIVER_OBJECT driver;
    args->Status = HostLoadDriverInternal(args->Driver, true, &driver);
    if (!NT_SUCCESS(args->Status)) {
        return;
    }
    if (!driver->DriverExtension->AddDevice) {
        args->Status = STATUS_NOT_SUPPORTED;
        HostUnloadIfUnused(driver);
        return;
    }
    HostDeviceNode *node = new HostDeviceNode();
    node->Pdo = args->Pdo;
    node->InstanceId = args->InstanceId;
    node->FunctionDriver = driver;
    node->AdministratorsOnly = args->Driver->AdministratorsOnly;
    node->State = HostDeviceAdded;
    std::vector<PDEVICE_OBJECT> before;
    {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        args->Pdo->DeviceObjectExtension->Node = node;
        Nodes.push_back(node);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
            before.push_back(d);
        }
    }
    HostContextSave save = HostEnterDriver(driver, nullptr);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, args->Pdo);
    HostLeaveDriver(save);
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("DISPATCH_IRQL_CHANGED", nullptr, none, "AddDevice of %s returned at IRQL %d", args->Driver->Name,
                   HostThread()->Irql);
    }
    args->Status = status;
    if (!NT_SUCCESS(status)) {
        bool left = args->Pdo->AttachedDevice != nullptr;
        {
            std::lock_guard<std::mutex> guard(HostKernelLock);
            for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
                bool old = false;
                for (PDEVICE_OBJECT b : before) {
                    old = old || b == d;
                }
                left = left || !old;
            }
            args->Pdo->DeviceObjectExtension->Node = nullptr;
            node->Pdo = nullptr;
            node->FunctionDriver = nullptr;
            node->State = HostDeviceRemoved;
        }
        if (left) {
            HostReport("PNP_ADD_DEVICE_LEFT_DEVICE", nullptr, none,
                       "AddDevice of %s failed (0x%08x) but left a device object behind", args->Driver->Name,
                       (unsigned)status);
        }
        HostDisableInterfaceStatesOf(args->Pdo);
        HostUnloadIfUnused(driver);
        return;
    }
    for (PDEVICE_OBJECT d = args->Pdo->AttachedDevice; d; d = d->AttachedDevice) {
        if (d->Flags & DO_DEVICE_INITIALIZING) {
            HostReport("PNP_DEVICE_INITIALIZING", nullptr, none,
                       "device %p (driver %s) still has DO_DEVICE_INITIALIZING set after AddDevice", (void *)d,
                       HostDriverOf(d->DriverObject)->Info->Name);
        }
    }
    for (PDEVICE_OBJECT d = args->Pdo; d; d = d->AttachedDevice) {
        if ((d->Flags & DO_BUFFERED_IO) && (d->Flags & DO_DIRECT_IO)) {
            HostReport("DEVICE_IO_FLAGS_CONFLICT", nullptr, none,
                       "device %p (driver %s) has both DO_BUFFERED_IO and DO_DIRECT_IO set", (void *)d,
                       HostDriverOf(d->DriverObject)->Info->Name);
        }
        PDEVICE_OBJECT below = d->DeviceObjectExtension->AttachedTo;
        if (below && (below->Flags & DO_POWER_PAGABLE) && !(d->Flags & DO_POWER_PAGABLE)) {
            HostReport("POWER_PAGABLE_NOT_INHERITED", nullptr, none,
                       "device %p (driver %s) is attached above a device with DO_POWER_PAGABLE but does not set it",
                       (void *)d, HostDriverOf(d->DriverObject)->Info->Name);
        }
    }
    node->Fdo = args->Pdo->AttachedDevice;
    if (node->Fdo) {
        node->FdoSerial = node->Fdo->DeviceObjectExtension->Serial;
    }
    args->Node = node;
    args->Status = SendPnp(node, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(args->Status)) {
        QueryStartedStack(node);
        SetState(node, HostDeviceStarted);
    } else {
        RemoveStack(node);
    }
}

NTSTATUS HostPnpDeviceArrived(PDEVICE_OBJECT Pdo, PCWSTR InstanceId, const HostDriverInfo *FunctionDriver,
                              HostDeviceNode **Node)
{
    ArrivalArgs args = {Pdo, InstanceId, FunctionDriver, nullptr, STATUS_SUCCESS};
    HostRunOnPnpThread(ArrivalWork, &args, true);
    if (Node) {
        *Node = args.Node;
    }
    return args.Status;
}

/* ---- Test-requested transitions ---------------------------------------------------------- */

typedef enum Transition {
    QueryStop,
    CancelStop,
    Stop,
    Start,
    Rebalance,
    QueryRemove,
    CancelRemove,
    Remove,
    Uninstall,
    Surprise
} Transition;

typedef struct TransitionArgs {
    HostDeviceNode *Node;
    Transition What;
    NTSTATUS Status;
} TransitionArgs;

static NTSTATUS DoQueryStop(HostDeviceNode *Node)
{
    if (Node->State != HostDeviceStarted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnp(Node, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) {
        SetState(Node, HostDeviceStopPending);
        return status;
    }
    SendPnp(Node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
}

static NTSTATUS DoStart(HostDeviceNode *Node)
{
    if (Node->State != HostDeviceStopped) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnp(Node, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status)) {
        QueryStartedStack(Node);
        SetState(Node, HostDeviceStarted);
    } else {
        RemoveStack(Node);
    }
    return status;
}

static NTSTATUS DoQueryRemove(HostDeviceNode *Node)
{
    HostDeviceState state = HostPnpGetState(Node);
    if (state != HostDeviceStarted && state != HostDeviceStopped && state != HostDeviceAdded) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    /* As Windows orders it ("Handling an IRP_MN_QUERY_REMOVE_DEVICE Request"): the removal
     * relations, the query to the stack, then the open handles: a handle still open fails
     * the query, and the stack gets CANCEL_REMOVE like any failed query. (No application
     * or kernel component registers for notifications here, so none is asked first.) */
    QueryRelations(Node, RemovalRelations);
    NTSTATUS status = SendPnp(Node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        if (Node->OpenFiles) {
            status = STATUS_DEVICE_BUSY;
        }
    }
    if (NT_SUCCESS(status)) {
        SetState(Node, HostDeviceRemovePending);
        return status;
    }
    SendPnp(Node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
}

static VOID TransitionWork(PVOID Context)
{
    TransitionArgs *args = (TransitionArgs *)Context;
    HostDeviceNode *node = args->Node;
    HostDeviceState state = HostPnpGetState(node);
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    switch (args->What) {
    case QueryStop:
        status = DoQueryStop(node);
        break;
    case CancelStop:
        if (state == HostDeviceStopPending) {
            status = SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
            SetState(node, HostDeviceStarted);
        }
        break;
    case Stop:
        if (state == HostDeviceStopPending) {
            status = SendPnp(node, IRP_MN_STOP_DEVICE);
            SetState(node, NT_SUCCESS(status) ? HostDeviceStopped : HostDeviceStarted);
        }
        break;
    case Start:
        status = DoStart(node);
        break;
    case Rebalance:
        status = DoQueryStop(node);
        if (!NT_SUCCESS(status)) {
            break;
        }
        status = SendPnp(node, IRP_MN_STOP_DEVICE);
        SetState(node, NT_SUCCESS(status) ? HostDeviceStopped : HostDeviceStarted);
        if (NT_SUCCESS(status)) {
            status = DoStart(node);
        }
        break;
    case QueryRemove:
        status = DoQueryRemove(node);
        break;
    case CancelRemove:
        if (state == HostDeviceRemovePending) {
            status = SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
            SetState(node, HostDeviceStarted);
        }
        break;
    case Remove:
        if (state == HostDeviceRemovePending) {
            RemoveStack(node);
            status = STATUS_SUCCESS;
        }
        break;
    case Uninstall:
        status = DoQueryRemove(node);
        if (NT_SUCCESS(status)) {
            RemoveStack(node);
        }
        break;
    case Surprise:
        if (state != HostDeviceSurpriseRemoved && state != HostDeviceRemoved) {
            SurpriseRemove(node);
            status = STATUS_SUCCESS;
        }
        break;
    }
    args->Status = status;
}

static NTSTATUS RunTransition(HostDeviceNode *Node, Transition What)
{
    if (HostThread()->Irql != PASSIVE_LEVEL) {
        HostReport("IRQL_NOT_LESS", nullptr, HostTakeCallSite(), "plug-and-play request asked for at IRQL %d",
                   HostThread()->Irql);
    }
    TransitionArgs args = {Node, What, STATUS_SUCCESS};
    HostRunOnPnpThread(TransitionWork, &args, true);
    return args.Status;
}

NTSTATUS HostPnpQueryStop(HostDeviceNode *Node) { return RunTransition(Node, QueryStop); }
NTSTATUS HostPnpCancelStop(HostDeviceNode *Node) { return RunTransition(Node, CancelStop); }
NTSTATUS HostPnpStop(HostDeviceNode *Node) { return RunTransition(Node, Stop); }
NTSTATUS HostPnpStart(HostDeviceNode *Node) { return RunTransition(Node, Start); }
NTSTATUS HostPnpRebalance(HostDeviceNode *Node) { return RunTransition(Node, Rebalance); }
NTSTATUS HostPnpQueryRemove(HostDeviceNode *Node) { return RunTransition(Node, QueryRemove); }
NTSTATUS HostPnpCancelRemove(HostDeviceNode *Node) { return RunTransition(Node, CancelRemove); }
NTSTATUS HostPnpRemove(HostDeviceNode *Node) { return RunTransition(Node, Remove); }
NTSTATUS HostPnpUninstall(HostDeviceNode *Node) { return RunTransition(Node, Uninstall); }
NTSTATUS HostPnpSurpriseRemove(HostDeviceNode *Node) { return RunTransition(Node, Surprise); }

static VOID GoneWork(PVOID Context)
{
    HostDeviceNode *node = (HostDeviceNode *)Context;
    HostDeviceState state = HostPnpGetState(node);
    if (state == HostDeviceAdded) {
        RemoveStack(node);
    } else if (state != HostDeviceSurpriseRemoved && state != HostDeviceRemoved) {
        SurpriseRemove(node);
    }
}

VOID HostPnpDeviceGone(PDEVICE_OBJECT Pdo)
{
    HostDeviceNode *node = nullptr;
    if (HostDeviceIsLive(Pdo)) {
        std::lock_guard<std::mutex> guard(HostKernelLock);
        node = Pdo->DeviceObjectExtension->Node;
    }
    if (node) {
        HostRunOnPnpThread(GoneWork, node, false);
    }
}

BOOLEAN HostPnpWaitRemoved(HostDeviceNode *Node, ULONG TimeoutMs)
{
    std::unique_lock<std::mutex> guard(HostKernelLock);
    return HostKernelChanged.wait_for(guard, std::chrono::milliseconds(TimeoutMs),
                                      [Node] { return Node->State == HostDeviceRemoved; });
}

PDEVICE_OBJECT HostPnpFunctionDevice(HostDeviceNode *Node)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return Node->State == HostDeviceRemoved ? nullptr : Node->Fdo;
}

ULONG HostPnpOpenFileCount(HostDeviceNode *Node)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    return Node->OpenFiles;
}

/* Nodes of started devices, for the power manager. */
std::vector<HostDeviceNode *> HostStartedNodes(void)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    std::vector<HostDeviceNode *> started;
    for (HostDeviceNode *node : Nodes) {
        if (node->State == HostDeviceStarted && node->Pdo) {
            started.push_back(node);
        }
    }
    return started;
}

void HostForgetNodes(void)
{
    std::lock_guard<std::mutex> guard(HostKernelLock);
    for (HostDeviceNode *node : Nodes) {
        if (node->Pdo && node->Pdo->DeviceObjectExtension->Node == node) {
            node->Pdo->DeviceObjectExtension->Node = nullptr;
        }
        delete node;
    }
    Nodes.clear();
}
