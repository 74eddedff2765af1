/*
 * bus_api.cpp - the bus driver's entry and the Host* entry points of the simulated bus.
 *
 * The bus driver ("usbhub") is loaded into the kernel stand-in with the first bus and
 * unloaded with the last. Each plugged unit is a physical device object of that driver
 * whose extension is the unit's BusUnit record. A unit leaves in two steps: unplugging
 * (or a fault) disconnects it and tells the plug-and-play manager; the REMOVE_DEVICE
 * that follows deletes its device object. Whichever of the two comes last deletes it.
 */
#include <stdio.h>
#include <string.h>

#include "host/usb/bus_internal.h"

/* Guards BusDriver and BusCount: the driver object shared by all buses. */
static std::mutex DriverLock;
static PDRIVER_OBJECT BusDriver;
static int BusCount;
/* Serial numbers of plugged units; only ever grows. */
static std::atomic<uint32_t> NextSerial{1};

static VOID BusUnload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }

/* DriverEntry of the bus driver. */
static NTSTATUS BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DriverObject->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatchSystemControl;
    DriverObject->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

static const HostDriverInfo BusDriverInfo = {"usbhub", BusDriverEntry, FALSE};

void HostUsbUnitSettingsDefault(HostUsbUnitSettings *Settings, USB_DEVICE_SPEED Speed)
{
    memset(Settings, 0, sizeof(*Settings));
    SimConfigDefaults(&Settings->Sim);
    UsbDescriptorSetUnit(&Settings->Descriptors, Speed);
    Settings->Speed = Speed;
    DEVICE_CAPABILITIES *caps = &Settings->Capabilities;
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->DeviceD2 = 1;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    caps->WakeFromD2 = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->SystemWake = PowerSystemSleeping3;
    caps->DeviceWake = PowerDeviceD2;
}

HostUsbBus *HostUsbBusCreate(void)
{
    {
        std::lock_guard<std::mutex> hold(DriverLock);
        if (BusCount == 0) {
            if (!NT_SUCCESS(HostLoadDriver(&BusDriverInfo, &BusDriver))) {
                return NULL;
            }
            HostPoolSetFreeHook(BusCheckFreedBlock);
        }
        BusCount++;
    }
    HostUsbBus *bus = new HostUsbBus();
    BusControllerStart(bus);
    return bus;
}

void HostUsbBusDestroy(HostUsbBus *bus)
{
    for (int port = 1; port <= HOST_USB_PORTS; port++) {
        /* Also a unit already on its way out (a failed start, an earlier unplug) must be gone
         * before the bus driver may unload. */
        if (HostUsbUnitPdo(bus, port) != NULL) {
            HostUsbUnplug(bus, port);
        }
        if (!HostUsbWaitGone(bus, port, 20000)) {
            /* A file left open on the unit keeps its stack, and so its device object. */
            fprintf(stderr, "usbhub: the unit on port %d is still there 20 s after its unplug\n", port);
            abort();
        }
    }
    BusControllerStop(bus);
    delete bus;
    std::lock_guard<std::mutex> hold(DriverLock);
    if (--BusCount == 0) {
        HostUnloadDriver(BusDriver);
        BusDriver = NULL;
    }
}

void HostUsbBusSetTiming(HostUsbBus *bus, const HostUsbTiming *timing)
{
    std::lock_guard<std::mutex> hold(bus->Lock);
    if (timing != NULL) {
        bus->Timing = *timing;
    } else {
        bus->Timing = HostUsbTiming{};
    }
}

/* The first bulk endpoint of the given direction in a descriptor set, or 0. */
static uint8_t FirstBulkEndpoint(const UsbDescriptorSet *set, bool in)
{
    uint32_t end = set->ConfigLength;
    for (uint32_t at = 0; at + 2 <= end && set->Config[at] >= 2 && at + set->Config[at] <= end; at += set->Config[at]) {
        const uint8_t *d = set->Config + at;
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7 &&
            (d[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK &&
            ((d[2] & USB_ENDPOINT_DIRECTION_MASK) != 0) == in) {
            return d[2];
        }
    }
    return 0;
}

static void SetError(char *error, size_t errorSize, const char *text)
{
    if (error != NULL && errorSize > 0) {
        snprintf(error, errorSize, "%s", text);
    }
}

/*
 * CreateUnitPdo: creates the physical device object of a new unit on Bus and fills its BusUnit
 * from Settings, with Sim as its simulated firmware. The unit is connected, its port enabled
 * and powered, but on no port yet. Returns the device object, or null when it cannot be created.
 */
static PDEVICE_OBJECT CreateUnitPdo(HostUsbBus *Bus, const HostUsbUnitSettings *Settings, SimUnit *Sim)
{
    PDEVICE_OBJECT pdo = NULL;
    NTSTATUS status = IoCreateDevice(BusDriver, sizeof(BusUnit), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return NULL;
    }
    BusUnit *unit = (BusUnit *)pdo->DeviceExtension;
    memset(unit, 0, sizeof(*unit));
    unit->Bus = Bus;
    unit->Serial = NextSerial.fetch_add(1);
    unit->Pdo = pdo;
    unit->Sim = Sim;
    unit->Descriptors = Settings->Descriptors;
    unit->Speed = Settings->Speed;
    unit->Capabilities = Settings->Capabilities;
    unit->FirmwareInAddress = FirstBulkEndpoint(&Settings->Descriptors, true);
    unit->FirmwareOutAddress = FirstBulkEndpoint(&Settings->Descriptors, false);
    unit->Connected = true;
    unit->PortEnabled = true;
    unit->PowerState = PowerDeviceD0; /* a unit is powered from the moment it is plugged in */
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

/*
 * TakeFreePort: puts Unit on the lowest port of Bus that is neither taken nor still deleting
 * its previous unit. Takes the lock. Returns the port, or 0 when every port is taken.
 */
static int TakeFreePort(HostUsbBus *Bus, BusUnit *Unit)
{
    int port = 0;
    std::lock_guard<std::mutex> hold(Bus->Lock);
    for (int p = 1; p <= HOST_USB_PORTS && port == 0; p++) {
        if (Bus->Ports[p] == NULL && !Bus->PortDeleting[p]) {
            port = p;
        }
    }
    if (port != 0) {
        Unit->Port = port;
        Bus->Ports[port] = Unit;
    }
    return port;
}

/*
 * MakeInstanceId: writes the unit's device instance ID, USB\VID_vvvv&PID_pppp\serial, from
 * its device descriptor and serial into InstanceId (at least 64 characters, terminated).
 */
static void MakeInstanceId(const BusUnit *Unit, WCHAR *InstanceId)
{
    const uint8_t *device = Unit->Descriptors.Device;
    char ascii[64];
    snprintf(ascii, sizeof(ascii), "USB\\VID_%02X%02X&PID_%02X%02X\\%u", device[9], device[8], device[11], device[10],
             (unsigned)Unit->Serial);
    size_t i = 0;
    for (; ascii[i] != 0; i++) {
        InstanceId[i] = (WCHAR)ascii[i];
    }
    InstanceId[i] = 0;
}

/*
 * DropUnitWhoseDriverFailed: takes a unit whose function driver did not start off the bus.
 * Node is the unit's device node (null when none was made). When there is no node or the
 * driver has already been told of the removal, the device object is deleted now; otherwise
 * the unit's departure is announced to the plug and play manager.
 */
static void DropUnitWhoseDriverFailed(HostUsbBus *Bus, BusUnit *Unit, HostDeviceNode *Node)
{
    bool deleteNow;
    {
        std::lock_guard<std::mutex> hold(Bus->Lock);
        BusDisconnectLocked(Unit);
        deleteNow = Node == NULL || Unit->Removed;
        if (deleteNow) {
            Unit->GoneReported = true;
            Unit->GoneAnnounced = true;
            Unit->DeleteClaimed = true;
        }
    }
    if (deleteNow) {
        BusScheduleDelete(Unit);
    } else {
        BusAnnounceGone(Unit);
    }
}

int HostUsbPlug(HostUsbBus *Bus, const HostUsbUnitSettings *Settings, NTSTATUS *StartStatus, char *Error,
                size_t ErrorSize)
{
    if (Settings->FunctionDriver == NULL) {
        SetError(Error, ErrorSize, "no function driver given for the unit");
        return 0;
    }
    SimUnit *sim = SimUnitCreate(&Settings->Sim, Error, ErrorSize);
    if (sim == NULL) {
        return 0;
    }
    PDEVICE_OBJECT pdo = CreateUnitPdo(Bus, Settings, sim);
    if (pdo == NULL) {
        SimUnitDestroy(sim);
        SetError(Error, ErrorSize, "the unit's device object cannot be created");
        return 0;
    }
    BusUnit *unit = (BusUnit *)pdo->DeviceExtension;
    int port = TakeFreePort(Bus, unit);
    if (port == 0) {
        IoDeleteDevice(pdo);
        SimUnitDestroy(sim);
        SetError(Error, ErrorSize, "every port of the bus is taken");
        return 0;
    }

    WCHAR instanceId[64];
    MakeInstanceId(unit, instanceId);
    HostDeviceNode *node = NULL;
    NTSTATUS status = HostPnpDeviceArrived(pdo, instanceId, Settings->FunctionDriver, &node);
    {
        std::lock_guard<std::mutex> hold(Bus->Lock);
        unit->Node = node;
    }
    if (StartStatus != NULL) {
        *StartStatus = status;
    }
    if (!NT_SUCCESS(status)) {
        /* A unit whose driver did not start is of no use to anyone: it leaves the bus. */
        DropUnitWhoseDriverFailed(Bus, unit, node);
    }
    return port;
}

/* The unit on a port, or null. Caller holds the lock. */
static BusUnit *UnitAt(HostUsbBus *bus, int port)
{
    if (port < 1 || port > HOST_USB_PORTS) {
        return NULL;
    }
    return bus->Ports[port];
}

void BusAnnounceGone(BusUnit *unit)
{
    HostUsbBus *bus = unit->Bus;
    bool deleteNow = false;
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        if (unit->GoneReported) {
            return;
        }
        unit->GoneReported = true;
        if (unit->Removed) {
            unit->DeleteClaimed = true; /* its stack is gone already: nobody sends REMOVE again */
            deleteNow = true;
        }
    }
    if (deleteNow) {
        BusScheduleDelete(unit);
        return;
    }
    HostPnpDeviceGone(unit->Pdo);
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        unit->GoneAnnounced = true;
        if (!unit->Removed || unit->DeleteClaimed) {
            return;
        }
        unit->DeleteClaimed = true; /* the REMOVE_DEVICE came while the manager was being told */
    }
    BusScheduleDelete(unit);
}

/* Worker routine of BusScheduleDelete. */
static VOID DeleteWhenRemoved(PVOID Context)
{
    BusUnit *unit = (BusUnit *)Context;
    HostDeviceNode *node;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        node = unit->Node;
    }
    if (node != NULL && !HostPnpWaitRemoved(node, 30000)) {
        fprintf(stderr, "usbhub: the stack of the unit on port %d is not removed 30 s after REMOVE_DEVICE\n",
                unit->Port);
    }
    BusDeleteUnit(unit);
}

void BusScheduleDelete(BusUnit *unit) { HostQueueWork(DeleteWhenRemoved, unit); }

bool BusClaimDeleteOnRemove(BusUnit *unit)
{
    std::lock_guard<std::mutex> hold(unit->Bus->Lock);
    if (!unit->GoneAnnounced || unit->DeleteClaimed) {
        return false;
    }
    unit->DeleteClaimed = true;
    return true;
}

void BusDeleteUnit(BusUnit *unit)
{
    HostUsbBus *bus = unit->Bus;
    {
        std::unique_lock<std::mutex> hold(bus->Lock);
        bus->Changed.wait(hold, [unit] { return unit->Outstanding == 0; });
        bus->Ports[unit->Port] = NULL;
        bus->PortDeleting[unit->Port] = true;
        BusInClear(&unit->InRecords);
        BusInClear(&unit->LoopRecords);
    }
    int port = unit->Port;
    SimUnitDestroy(unit->Sim);
    IoDeleteDevice(unit->Pdo);
    std::lock_guard<std::mutex> hold(bus->Lock);
    bus->PortDeleting[port] = false;
    bus->Changed.notify_all();
}

bool HostUsbUnplug(HostUsbBus *bus, int port)
{
    BusUnit *unit;
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        unit = UnitAt(bus, port);
        if (unit == NULL || !unit->Connected) {
            return false;
        }
        BusDisconnectLocked(unit);
    }
    BusAnnounceGone(unit);
    return true;
}

bool HostUsbWaitGone(HostUsbBus *bus, int port, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(bus->Lock);
    return bus->Changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                 [bus, port] { return UnitAt(bus, port) == NULL && !bus->PortDeleting[port]; });
}

bool HostUsbInjectFault(HostUsbBus *bus, int port, SimFaultKind kind, uint32_t value)
{
    BusUnit *announce = NULL;
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        BusUnit *unit = UnitAt(bus, port);
        if (unit == NULL || !unit->Connected) {
            return false;
        }
        switch (kind) {
        case SimFaultStall:
        case SimFaultXferError:
        case SimFaultNoReply:
        case SimFaultShort:
        case SimFaultLong:
        case SimFaultDelay:
            if (unit->RecordFaultCount == BUS_MAX_RECORD_FAULTS) {
                return false;
            }
            unit->RecordFaults[unit->RecordFaultCount++] = BusRecordFault{kind, value};
            break;
        case SimFaultPortOff:
            unit->PortEnabled = false;
            BusFailUnitLocked(unit, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
            BusInClear(&unit->InRecords);
            break;
        case SimFaultUnplug:
            if (value == 0) {
                BusDisconnectLocked(unit);
                announce = unit;
            } else {
                unit->UnplugArmed = true;
                unit->UnplugAfterBytes = value;
            }
            break;
        default:
            return false;
        }
        bus->Changed.notify_all();
    }
    if (announce != NULL) {
        BusAnnounceGone(announce);
    }
    return true;
}

bool HostUsbSignalWake(HostUsbBus *bus, int port)
{
    BusUnit *unit;
    {
        std::lock_guard<std::mutex> hold(bus->Lock);
        unit = UnitAt(bus, port);
        if (unit == NULL) {
            return false;
        }
    }
    return BusCompleteWaitWake(unit, STATUS_SUCCESS);
}

bool HostUsbQueryUnit(HostUsbBus *bus, int port, HostUsbUnitState *state)
{
    memset(state, 0, sizeof(*state));
    if (port < 1 || port > HOST_USB_PORTS) {
        return false;
    }
    std::lock_guard<std::mutex> hold(bus->Lock);
    BusUnit *unit = UnitAt(bus, port);
    if (unit == NULL) {
        return true;
    }
    state->Present = true;
    state->Connected = unit->Connected;
    state->PortEnabled = unit->Connected && unit->PortEnabled;
    state->Started = unit->Started;
    state->Configured = unit->Configured;
    state->PowerState = unit->PowerState;
    state->WaitWakePending = unit->WaitWakeIrp != NULL;
    state->ReplyBytesWaiting = BusInPendingBytes(&unit->InRecords);
    state->Transfers = unit->Transfers;
    for (uint32_t i = 0; i < unit->PipeCount; i++) {
        const BusPipe *pipe = &unit->Pipes[i];
        state->PendingTransfers += pipe->Queue.Count;
        if (pipe->Role == BusPipeFirmwareIn) {
            state->InHalted = pipe->Halted;
        } else if (pipe->Role == BusPipeFirmwareOut) {
            state->OutHalted = pipe->Halted;
        }
    }
    return true;
}

PDEVICE_OBJECT HostUsbUnitPdo(HostUsbBus *Bus, int Port)
{
    std::lock_guard<std::mutex> hold(Bus->Lock);
    BusUnit *unit = UnitAt(Bus, Port);
    return unit != NULL ? unit->Pdo : NULL;
}

HostDeviceNode *HostUsbUnitNode(HostUsbBus *bus, int port)
{
    std::lock_guard<std::mutex> hold(bus->Lock);
    BusUnit *unit = UnitAt(bus, port);
    return unit != NULL ? unit->Node : NULL;
}

SimUnit *HostUsbUnitSim(HostUsbBus *bus, int port)
{
    std::lock_guard<std::mutex> hold(bus->Lock);
    BusUnit *unit = UnitAt(bus, port);
    return unit != NULL ? unit->Sim : NULL;
}
