/*
 * driver_entry.cpp - driver entry, device objects and the pending-request count.
 *
 * DriverEntry fills the dispatch table; AddDevice creates one device object per unit,
 * publishes its device interface, attaches it above the bus driver's physical device
 * object and reads the unit's power capabilities. IoIncrement and IoDecrement keep
 * PendingIoCount, whose last reference is given up by the removal.
 */
#include "driver/murvousb.h"

static NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                   PDEVICE_OBJECT *NewDevice);
static NTSTATUS QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);
static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static const GUID MurvoInterfaceClass = MURVO_INTERFACE_GUID_INIT;

POOL_TYPE MurvoNonPagedPool = NonPagedPool;

/*
 * NonPagedPoolOfRunningWindows: NonPagedPoolNx when the running Windows is 6.2 (Windows 8)
 * or later, NonPagedPool before, where NonPagedPoolNx is an unknown pool type. The version is
 * the one RtlGetVersion reports, as the driver runtime's opt-in into NX pool decides.
 * PASSIVE_LEVEL.
 */
POOL_TYPE NonPagedPoolOfRunningWindows(void)
{
    PAGED_CODE();
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!NT_SUCCESS(RtlGetVersion(&version))) {
        return NonPagedPool;
    }
    bool windows8OrLater = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
    return windows8OrLater ? NonPagedPoolNx : NonPagedPool;
}

/*
 * DriverUnload: nothing to undo; every resource belongs to a device object and is gone
 * with it. PASSIVE_LEVEL.
 */
static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    (void)DriverObject;
}

/*
 * DriverEntry: chooses the non-paged pool, fills the driver object's dispatch table and
 * AddDevice. The registry path is not used. Returns STATUS_SUCCESS. PASSIVE_LEVEL.
 */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    (void)RegistryPath;
    MurvoNonPagedPool = NonPagedPoolOfRunningWindows();
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

/*
 * DisableInterface: turns the unit's device interface off, by the link name kept in the
 * extension, so that no new open finds the unit. Used by the failure path of AddDevice, by
 * surprise removal and by removal. Returns IoSetDeviceInterfaceState's status. PASSIVE_LEVEL.
 */
NTSTATUS DisableInterface(DeviceExtension *Extension)
{
    PAGED_CODE();
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, Extension->SymbolicLinkName);
    return IoSetDeviceInterfaceState(&linkName, FALSE);
}

/*
 * AddDevice: creates the unit's device object, attaches it to the stack above
 * PhysicalDeviceObject, queries the capabilities and chooses PowerDownLevel.
 * Returns STATUS_SUCCESS, or the failure of the creation or attachment, in which case no
 * device object remains and the interface is disabled. PASSIVE_LEVEL.
 */
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = CreateDeviceObject(DriverObject, PhysicalDeviceObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DeviceExtension *extension = ExtensionOf(deviceObject);

    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        // Nothing was attached, so nothing to detach; the interface must not outlive the object.
        DisableInterface(extension);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    // A failed query leaves the record as the query left it; the choice below copes with zeros.
    QueryCapabilities(extension->LowerDevice, &extension->DeviceCapabilities);

    // The last sleeping state whose device state is shallower than D3 names the self
    // power-down level; an unspecified entry counts as shallower and replaces an earlier one.
    extension->PowerDownLevel = PowerDeviceUnspecified;
    static const SYSTEM_POWER_STATE sleeping[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3};
    for (SYSTEM_POWER_STATE state : sleeping) {
        DEVICE_POWER_STATE mapped = extension->DeviceCapabilities.DeviceState[state];
        if (static_cast<LONG>(mapped) < static_cast<LONG>(PowerDeviceD3)) {
            extension->PowerDownLevel = mapped;
        }
    }

    IoIncrement(deviceObject); // the reference for the existence of the device
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/*
 * CreateDeviceObject: registers and enables the device interface, creates the device object
 * with a zeroed DeviceExtension and initialises its events and locks.
 * NewDevice receives the device object on success. A link name of more than
 * MURVO_LINK_NAME_UNITS - 1 units refuses the device (STATUS_NAME_TOO_LONG); every failure
 * leaves the interface disabled and the link name freed. PASSIVE_LEVEL.
 */
static NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                   PDEVICE_OBJECT *NewDevice)
{
    PAGED_CODE();
    UNICODE_STRING linkName;
    linkName.Length = 0;
    linkName.MaximumLength = 0;
    linkName.Buffer = NULL;
    *NewDevice = NULL;

    NTSTATUS status = IoRegisterDeviceInterface(PhysicalDeviceObject, &MurvoInterfaceClass, NULL, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The name lives in a fixed array whose zero fill must leave a terminating NUL.
    if (linkName.Length / sizeof(WCHAR) > MURVO_LINK_NAME_UNITS - 1) {
        status = STATUS_NAME_TOO_LONG;
        goto err_free_name;
    }
    status = IoSetDeviceInterfaceState(&linkName, TRUE);
    if (!NT_SUCCESS(status)) {
        goto err_free_name;
    }

    {
        PDEVICE_OBJECT deviceObject = NULL;
        status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), NULL, FILE_DEVICE_UNKNOWN,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &deviceObject);
        if (!NT_SUCCESS(status)) {
            goto err_disable_interface;
        }

        DeviceExtension *extension = ExtensionOf(deviceObject);
        RtlZeroMemory(extension, sizeof(DeviceExtension));
        extension->FunctionalDeviceObject = deviceObject;
        extension->MaxTransferLength = MURVO_MAX_TRANSFER_LENGTH;
        RtlCopyMemory(extension->SymbolicLinkName, linkName.Buffer, linkName.Length);
        RtlFreeUnicodeString(&linkName);

        KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&extension->PowerUpEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&extension->NoPendingIoEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&extension->IoDispatchesIdle, NotificationEvent, TRUE);
        KeInitializeEvent(&extension->SelfPowerIdle, NotificationEvent, TRUE);
        KeInitializeSpinLock(&extension->PendingIoLock);
        KeInitializeSpinLock(&extension->StageLock);
        KeInitializeSpinLock(&extension->PowerChangeLock);

        *NewDevice = deviceObject;
        return STATUS_SUCCESS;
    }

err_disable_interface:
    IoSetDeviceInterfaceState(&linkName, FALSE);
err_free_name:
    RtlFreeUnicodeString(&linkName);
    return status;
}

/*
 * QueryCapabilities: sends IRP_MN_QUERY_CAPABILITIES to Target and waits for it.
 * Capabilities is zeroed and given Size, Version, Address and UINumber before the query.
 * Returns the query's status, or STATUS_INSUFFICIENT_RESOURCES without a request.
 * PASSIVE_LEVEL.
 */
static NTSTATUS QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities)
{
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    IoSetCompletionRoutine(irp, OnCompleteSetEvent, &done, TRUE, TRUE, TRUE);
    // A bus driver that does not handle the query leaves this status in place.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        WaitForEvent(&done);
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

/*
 * OnCompleteSetEvent: completion routine that hands a request back to the routine waiting
 * for it. Context is a KEVENT. Returns STATUS_MORE_PROCESSING_REQUIRED: the waiter completes
 * or frees the request. Any IRQL up to DISPATCH_LEVEL.
 */
NTSTATUS NTAPI OnCompleteSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * CompleteRequest: completes a request that moved no data with Status; returns Status.
 * Any IRQL up to DISPATCH_LEVEL.
 */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * WaitForEvent: the driver's one way of waiting on its own events: kernel mode, not
 * alertable, no time-out. PASSIVE_LEVEL only.
 */
void WaitForEvent(PKEVENT Event)
{
    PAGED_CODE();
    KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, NULL);
}

/*
 * IoIncrement: counts one more request in flight. Any IRQL up to DISPATCH_LEVEL.
 */
void IoIncrement(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PendingIoLock, &oldIrql);
    InterlockedIncrement(&extension->PendingIoCount);
    KeReleaseSpinLock(&extension->PendingIoLock, oldIrql);
}

/*
 * IoDecrement: counts one request less; at 1 sets NoPendingIoEvent, at 0 RemoveEvent.
 * Returns the new count. Once it returns 0 the caller must not touch the device object:
 * the removal may delete it. Any IRQL up to DISPATCH_LEVEL.
 */
LONG IoDecrement(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PendingIoLock, &oldIrql);
    LONG count = InterlockedDecrement(&extension->PendingIoCount);
    if (count == 1) {
        KeSetEvent(&extension->NoPendingIoEvent, 1, FALSE);
    }
    KeReleaseSpinLock(&extension->PendingIoLock, oldIrql);
    // The last reference: the removal waiting for RemoveEvent frees the extension, lock
    // included, as soon as it wakes, so the event is set after the lock is let go and
    // nothing of the extension is touched afterwards.
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, 1, FALSE);
    }
    return count;
}

/*
 * BeginIoDispatch: counts a dispatch routine that may send requests to the unit (read, write,
 * device control, and the power calls of create and close) as running. The routine calls it
 * before it looks at CanAcceptIo, so that a stop or removal that has made
 * CanAcceptIo false and then waits in WaitForIoDispatches cannot miss it. PASSIVE_LEVEL.
 */
void BeginIoDispatch(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PendingIoLock, &oldIrql);
    if (++extension->ActiveIoDispatches == 1) {
        KeClearEvent(&extension->IoDispatchesIdle);
    }
    KeReleaseSpinLock(&extension->PendingIoLock, oldIrql);
}

/*
 * EndIoDispatch: the routine counted by BeginIoDispatch is done sending requests down.
 * PASSIVE_LEVEL.
 */
void EndIoDispatch(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PendingIoLock, &oldIrql);
    if (--extension->ActiveIoDispatches == 0) {
        KeSetEvent(&extension->IoDispatchesIdle, 1, FALSE);
    }
    KeReleaseSpinLock(&extension->PendingIoLock, oldIrql);
}

/*
 * WaitForIoDispatches: waits until no dispatch routine counted by BeginIoDispatch is
 * running. The caller has made CanAcceptIo false first, so none starts new work after this
 * returns: nothing is sent to a unit being unconfigured or removed. Requests already down in
 * the USB stack are not waited for. PASSIVE_LEVEL.
 */
void WaitForIoDispatches(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    // The lock orders the caller's flag change before the count is looked at.
    KeAcquireSpinLock(&extension->PendingIoLock, &oldIrql);
    KeReleaseSpinLock(&extension->PendingIoLock, oldIrql);
    WaitForEvent(&extension->IoDispatchesIdle);
}

/*
 * DispatchSystemControl: passes a system-control request to the lower driver with status
 * success and information 0 filled in. Returns the lower driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoIncrement(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
    IoDecrement(DeviceObject);
    return status;
}
