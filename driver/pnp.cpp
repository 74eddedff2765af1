/*
 * pnp.cpp - Plug and Play requests and the USB configuration of the unit.
 *
 * The start reads the device and configuration descriptors, selects the configuration with
 * every pipe's transfer size at MaxTransferLength and builds the pipe table. The four state
 * flags written here decide CanAcceptIo. Removal stops the transfers, waits until
 * PendingIoCount reaches zero and frees everything the starts left in the extension.
 */
#include "driver/murvousb.h"

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
static NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
static NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject);
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject);

/*
 * CanAcceptIo: true when the unit is started and no stop or removal is pending or under way.
 * The flags are single bytes read without a lock. Any IRQL.
 */
BOOLEAN CanAcceptIo(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    return !ReadShared(extension->Removing) && ReadShared(extension->Started) &&
           !ReadShared(extension->RemovePending) && !ReadShared(extension->StopPending);
}

/*
 * CanContinueIo: true when requests on handles already open may go on: as CanAcceptIo, except
 * that a pending removal does not stop them. A query for removal is refused by the
 * plug-and-play manager while a handle is open and then cancelled, so failing a transfer in
 * that window would break the transfer for nothing; only new opens are refused meanwhile.
 * Any IRQL.
 */
BOOLEAN CanContinueIo(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    return !ReadShared(extension->Removing) && ReadShared(extension->Started) && !ReadShared(extension->StopPending);
}

/*
 * PassDown: hands a request on to the lower driver unchanged, without waiting for it.
 * Returns the lower driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS PassDown(DeviceExtension *Extension, PIRP Irp)
{
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * FreeIfPresent: frees a pool buffer held in Slot and clears the slot.
 */
template <typename T> static void FreeIfPresent(T *&Slot)
{
    if (Slot != NULL) {
        ExFreePool(Slot);
        Slot = NULL;
    }
}

/*
 * WaitForIdlePipes: waits until no transfer claims a pipe of the pipe table. Called with no
 * transfer able to start. PASSIVE_LEVEL.
 */
static void WaitForIdlePipes(DeviceExtension *Extension)
{
    PAGED_CODE();
    if (Extension->PipeTable == NULL || Extension->InterfaceInfo == NULL) {
        return;
    }
    for (ULONG i = 0; i < Extension->InterfaceInfo->NumberOfPipes; i++) {
        PipeContext *pipe = &Extension->PipeTable[i];
        KIRQL oldIrql;
        KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
        BOOLEAN busy = pipe->Transfer.Busy;
        KeReleaseSpinLock(&Extension->StageLock, oldIrql);
        if (busy) {
            WaitForEvent(&pipe->Transfer.TransferDone);
        }
    }
}

/*
 * HaltTransfers: what stop, surprise removal and removal do first: sets RefuseFlag (StopPending
 * or Removing) so that no new work starts, waits for the dispatch routines still sending,
 * cancels the transfers' requests in the USB stack (CancelPendingStages) and aborts the open
 * pipes, which ends whatever refused the cancel. A unit that is not configured (stopped, or
 * never started) has no pipes to abort: its pipe handles belong to a dropped configuration.
 * An abort that fails is not retried: the cancels have ended what the driver sent down.
 * PASSIVE_LEVEL.
 */
static void HaltTransfers(PDEVICE_OBJECT DeviceObject, BOOLEAN *RefuseFlag)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    WriteShared(*RefuseFlag, static_cast<BOOLEAN>(TRUE));
    WaitForIoDispatches(DeviceObject);
    CancelPendingStages(DeviceObject);
    if (ReadShared(extension->Started)) {
        (void)AbortOpenPipes(DeviceObject);
    }
}

/*
 * ReleaseStartBuffers: frees what a start left in the extension: descriptors, interface
 * information and pipe table. A pipe still open is closed for good first: its handle's
 * generation no longer matches, so the handle's later requests fail without touching the
 * freed table. Waits for any transfer still claiming a pipe of the old table.
 * Called with no transfer able to start (the unit does not accept I/O). PASSIVE_LEVEL.
 */
static void ReleaseStartBuffers(DeviceExtension *Extension)
{
    PAGED_CODE();
    WaitForIdlePipes(Extension);

    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    if (Extension->PipeTable != NULL && Extension->InterfaceInfo != NULL) {
        for (ULONG i = 0; i < Extension->InterfaceInfo->NumberOfPipes; i++) {
            PipeContext *pipe = &Extension->PipeTable[i];
            if (pipe->IsOpen) {
                WriteShared(pipe->IsOpen, static_cast<UCHAR>(0));
                InterlockedDecrement(&Extension->OpenPipes);
            }
        }
    }
    Extension->PipeTableGeneration++;
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);

    FreeIfPresent(Extension->DeviceDescriptor);
    FreeIfPresent(Extension->PipeTable);
    FreeIfPresent(Extension->InterfaceInfo);
    FreeIfPresent(Extension->ConfigDescriptor);
    Extension->ConfigDescriptorLength = 0;
}

/*
 * AllocateDescriptorUrb: a zeroed descriptor-request URB from the driver's pool, or null.
 */
static PURB AllocateDescriptorUrb()
{
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(MurvoNonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), MURVO_POOL_TAG));
    if (urb != NULL) {
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    }
    return urb;
}

/*
 * FillDescriptorRequest: makes Urb a GET_DESCRIPTOR_FROM_DEVICE request of Type, index 0,
 * language 0, into Buffer of Length bytes.
 */
static void FillDescriptorRequest(PURB Urb, UCHAR Type, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    Urb->UrbControlDescriptorRequest.DescriptorType = Type;
    Urb->UrbControlDescriptorRequest.Index = 0;
    Urb->UrbControlDescriptorRequest.LanguageId = 0;
    Urb->UrbControlDescriptorRequest.UrbLink = NULL;
}

/*
 * StartDevice: reads the device descriptor and configures the unit; sets Started on success.
 * A restart after a stop first releases the buffers of the previous start.
 * Returns STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES or the failing request's status.
 * PASSIVE_LEVEL.
 */
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    ReleaseStartBuffers(extension);

    PURB urb = AllocateDescriptorUrb();
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status;
    PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(MurvoNonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), MURVO_POOL_TAG));
    if (descriptor == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        FillDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
        status = SubmitUrbSync(DeviceObject, urb);
        if (NT_SUCCESS(status)) {
            extension->DeviceDescriptor = descriptor;
        } else {
            ExFreePool(descriptor);
        }
    }
    ExFreePool(urb);

    if (NT_SUCCESS(status)) {
        status = ConfigureDevice(DeviceObject);
        if (NT_SUCCESS(status)) {
            WriteShared(extension->Started, static_cast<BOOLEAN>(TRUE));
        }
    }
    return status;
}

/*
 * DescriptorChainIsSound: true when the configuration descriptor of Length valid bytes
 * begins with a configuration descriptor and every descriptor in it has a length of at
 * least 2 that stays within Length, so that whoever walks it stops inside the buffer.
 */
static BOOLEAN DescriptorChainIsSound(const UCHAR *Descriptor, ULONG Length)
{
    if (Descriptor[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Descriptor[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return FALSE;
    }
    ULONG offset = 0;
    while (offset < Length) {
        // A single byte left over fails here too: its length is below 2 or runs past the end.
        ULONG descriptorLength = Descriptor[offset];
        if (descriptorLength < 2 || descriptorLength > Length - offset) {
            return FALSE;
        }
        offset += descriptorLength;
    }
    return TRUE;
}

/*
 * ConfigureDevice: reads the whole configuration descriptor into ConfigDescriptor, starting
 * with a 521-byte buffer and re-reading with wTotalLength bytes while the descriptor is
 * larger (at most MURVO_MAX_CONFIG_READS reads), then selects the configuration.
 * A failed read ends the start with its status; a descriptor with fewer than 9 bytes, a
 * wTotalLength below 9 or above the bytes received, or a broken descriptor chain ends it with
 * STATUS_DEVICE_DATA_ERROR and the buffer freed. PASSIVE_LEVEL.
 */
static NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PURB urb = AllocateDescriptorUrb();
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
    ULONG bufferSize = MURVO_FIRST_CONFIG_READ;
    for (int read = 0; read < MURVO_MAX_CONFIG_READS; read++) {
        extension->ConfigDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            ExAllocatePoolWithTag(MurvoNonPagedPool, bufferSize, MURVO_POOL_TAG));
        if (extension->ConfigDescriptor == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlZeroMemory(extension->ConfigDescriptor, bufferSize);
        FillDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, extension->ConfigDescriptor, bufferSize);
        status = SubmitUrbSync(DeviceObject, urb);
        if (!NT_SUCCESS(status)) {
            goto err_free_descriptor;
        }

        ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received > bufferSize) {
            received = bufferSize; // the stack cannot have written more than the buffer holds
        }
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_DEVICE_DATA_ERROR;
            goto err_free_descriptor;
        }
        ULONG totalLength = ConfigTotalLength(extension->ConfigDescriptor);
        if (totalLength > bufferSize) {
            ExFreePool(extension->ConfigDescriptor);
            extension->ConfigDescriptor = NULL;
            bufferSize = totalLength;
            status = STATUS_DEVICE_DATA_ERROR; // stays so if the reads run out
            continue;
        }
        if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || totalLength > received ||
            !DescriptorChainIsSound(reinterpret_cast<const UCHAR *>(extension->ConfigDescriptor), totalLength)) {
            status = STATUS_DEVICE_DATA_ERROR;
            goto err_free_descriptor;
        }
        extension->ConfigDescriptorLength = totalLength;
        ExFreePool(urb);
        return SelectInterface(DeviceObject, extension->ConfigDescriptor);
    }
    goto done; // the descriptor kept growing: the last failure status stands

err_free_descriptor:
    ExFreePool(extension->ConfigDescriptor);
    extension->ConfigDescriptor = NULL;
done:
    ExFreePool(urb);
    return status;
}

/*
 * SelectInterface: selects the configuration of Descriptor with its first interface, every
 * pipe's MaximumTransferSize at MaxTransferLength, then keeps a copy of the returned
 * interface information and builds the pipe table over it.
 * Returns the selection's status, STATUS_INSUFFICIENT_RESOURCES on an allocation failure or
 * a descriptor without interface, STATUS_DEVICE_DATA_ERROR when the returned interface
 * information does not hold its pipes. PASSIVE_LEVEL.
 */
static NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    USHORT urbLength = 0;
    PURB urb = USBD_CreateConfigurationRequest(Descriptor, &urbLength);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_SUCCESS;
    PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
    ULONG pipeCount = selected->NumberOfPipes;
    if (USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1) == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }

    if (pipeCount > 0) {
        extension->PipeTable = static_cast<PipeContext *>(
            ExAllocatePoolWithTag(MurvoNonPagedPool, pipeCount * sizeof(PipeContext), MURVO_POOL_TAG));
        if (extension->PipeTable == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlZeroMemory(extension->PipeTable, pipeCount * sizeof(PipeContext));
    }
    for (ULONG i = 0; i < pipeCount; i++) {
        selected->Pipes[i].MaximumTransferSize = extension->MaxTransferLength;
    }

    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = urbLength;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = Descriptor;
    status = SubmitUrbSync(DeviceObject, urb);
    extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (!NT_SUCCESS(status)) {
        goto done;
    }

    {
        // The copy is indexed by the pipe table, so it must hold exactly the pipes counted.
        ULONG needed = static_cast<ULONG>(reinterpret_cast<PUCHAR>(&selected->Pipes[pipeCount]) -
                                          reinterpret_cast<PUCHAR>(selected));
        if (selected->NumberOfPipes != pipeCount || selected->Length < needed) {
            status = STATUS_DEVICE_DATA_ERROR;
            goto done;
        }
        extension->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(MurvoNonPagedPool, selected->Length, MURVO_POOL_TAG));
        if (extension->InterfaceInfo == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlCopyMemory(extension->InterfaceInfo, selected, selected->Length);
        for (ULONG i = 0; i < pipeCount; i++) {
            PipeContext *pipe = &extension->PipeTable[i];
            pipe->OwnerDevice = DeviceObject;
            WriteShared(pipe->IsOpen, static_cast<UCHAR>(0));
            pipe->PipeInformation = &extension->InterfaceInfo->Pipes[i];
            RtlZeroMemory(&pipe->Transfer, sizeof(TransferContext));
            KeInitializeEvent(&pipe->Transfer.TransferDone, NotificationEvent, FALSE);
        }
    }

done:
    ExFreePool(urb);
    return status;
}

/*
 * StopDevice: returns the unit to the unconfigured state. The unconfigure is best effort:
 * whatever it returns, the driver counts the unit as unconfigured (Started and StopPending
 * cleared, ConfigurationHandle dropped), since a stop after a successful query must not fail.
 * The start's buffers stay until the next start or removal. Returns the unconfigure's status.
 * PASSIVE_LEVEL.
 */
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(MurvoNonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION), MURVO_POOL_TAG));
    if (urb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
        urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = SubmitUrbSync(DeviceObject, urb);
        ExFreePool(urb);
    }
    extension->ConfigurationHandle = NULL;
    WriteShared(extension->Started, static_cast<BOOLEAN>(FALSE));
    WriteShared(extension->StopPending, static_cast<BOOLEAN>(FALSE));
    return status;
}

/*
 * RemoveDevice: disables the device interface and frees every buffer the starts left.
 * Returns the status of disabling the interface. PASSIVE_LEVEL, after PendingIoCount
 * has reached zero.
 */
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status = DisableInterface(extension);
    ReleaseStartBuffers(extension);
    return status;
}

/*
 * StagesOutstandingOnAllPipes: the sum of every pipe's StagesOutstanding. PASSIVE_LEVEL.
 */
static ULONG StagesOutstandingOnAllPipes(DeviceExtension *Extension)
{
    PAGED_CODE();
    ULONG total = 0;
    if (Extension->InterfaceInfo == NULL || Extension->PipeTable == NULL) {
        return 0;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    for (ULONG i = 0; i < Extension->InterfaceInfo->NumberOfPipes; i++) {
        total += Extension->PipeTable[i].Transfer.StagesOutstanding;
    }
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);
    return total;
}

/*
 * HandleStart: passes the start request down and waits for it, then declares D0 to the power
 * manager and starts the unit. Completes the request and returns its final status.
 * PASSIVE_LEVEL.
 */
static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnCompleteSetEvent, &started, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        WaitForEvent(&started);
        status = Irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status)) {
        // The bus driver powers a unit on when it starts it: the power manager learns D0.
        POWER_STATE declared;
        declared.DeviceState = PowerDeviceD0;
        PoSetPowerState(DeviceObject, DevicePowerState, declared);
        status = StartDevice(DeviceObject);
        Irp->IoStatus.Status = status;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * HandleRemove: the removal sequence. Gives up the dispatch's reference and the one of
 * AddDevice, stops the transfers, passes the request on, waits until nothing is in flight,
 * frees everything, detaches and deletes the device object. Returns the lower driver's
 * status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    IoDecrement(DeviceObject);
    HaltTransfers(DeviceObject, &extension->Removing);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(extension, Irp);
    IoDecrement(DeviceObject);
    WaitForEvent(&extension->RemoveEvent);
    RemoveDevice(DeviceObject);
    IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

/*
 * HandleQueryRemove: when the unit is started, refuses new work and waits until none is in
 * flight, then succeeds the request; passes it on either way. Started is the state read when
 * the request arrived. Returns the lower driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Started)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (Started) {
        WriteShared(extension->RemovePending, static_cast<BOOLEAN>(TRUE));
        WaitForEvent(&extension->NoPendingIoEvent);
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(extension, Irp);
}

/*
 * HandleCancel: CANCEL_REMOVE_DEVICE and CANCEL_STOP_DEVICE. When the unit is started, clears
 * the pending flag the query set (RemovePending or StopPending), so new work is accepted
 * again, and succeeds the request; passes it on either way. Started is the state read when
 * the request arrived. Returns the lower driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Started, BOOLEAN *PendingFlag)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (Started) {
        WriteShared(*PendingFlag, static_cast<BOOLEAN>(FALSE));
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(extension, Irp);
}

/*
 * HandleStop: halts the transfers and waits for the pipes to be idle, wakes a unit the
 * driver powered down by itself, unconfigures the unit, then succeeds the request and passes
 * it on. Returns the lower driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    // Nothing may be in the USB stack once the unit is unconfigured: the transfers the
    // driver cancelled, and those of the aborted pipes, have ended before the unconfigure is
    // sent, also when an abort could not be sent.
    HaltTransfers(DeviceObject, &extension->StopPending);
    WaitForIdlePipes(extension);
    // A unit the driver powered down by itself answers no URB: wake it for the
    // unconfigure request (and the descriptor reads of the next start), once a power
    // change of its own still on the way has ended.
    WaitForEvent(&extension->SelfPowerIdle);
    DEVICE_POWER_STATE recorded = ReadShared(extension->CurrentDevicePowerState);
    if (recorded == PowerDeviceD1 || recorded == PowerDeviceD2 || recorded == PowerDeviceD3) {
        SelfRequestPowerIrp(DeviceObject, PowerDeviceD0);
    }
    StopDevice(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
}

/*
 * HandleQueryStop: when the unit is started, refuses new work and fails the request with
 * STATUS_UNSUCCESSFUL (accepting work again) while a staged transfer is outstanding on any
 * pipe; otherwise succeeds it. A request not failed here is passed on. Started is the state
 * read when the request arrived. Returns the request's status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Started)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (Started) {
        // Refuse new work first, so that no staged transfer is being issued while the
        // stages are counted.
        WriteShared(extension->StopPending, static_cast<BOOLEAN>(TRUE));
        WaitForIoDispatches(DeviceObject);
        if (StagesOutstandingOnAllPipes(extension) != 0) {
            WriteShared(extension->StopPending, static_cast<BOOLEAN>(FALSE));
            return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(extension, Irp);
}

/*
 * HandleSurpriseRemoval: gives up the dispatch's reference, stops the transfers, disables
 * the device interface, then succeeds the request and passes it on. Returns the lower
 * driver's status. PASSIVE_LEVEL.
 */
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    IoDecrement(DeviceObject);
    HaltTransfers(DeviceObject, &extension->Removing);
    // The unit is gone: no new open may find it while the handles still open are closed.
    DisableInterface(extension);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
}

/*
 * DispatchPnp: the IRP_MJ_PNP routine. Counts itself in PendingIoCount and handles start,
 * stop, removal, surprise removal and the query and cancel requests before them; everything
 * else is passed on. PASSIVE_LEVEL, one request at a time per device.
 */
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN started = ReadShared(extension->Started);
    NTSTATUS status;

    IoIncrement(DeviceObject);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = HandleStart(DeviceObject, Irp);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = HandleQueryRemove(DeviceObject, Irp, started);
        break;

    case IRP_MN_REMOVE_DEVICE:
        // The removal gives up the dispatch's reference itself.
        return HandleRemove(DeviceObject, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = HandleCancel(DeviceObject, Irp, started, &extension->RemovePending);
        break;

    case IRP_MN_STOP_DEVICE:
        status = HandleStop(DeviceObject, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        status = HandleQueryStop(DeviceObject, Irp, started);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        status = HandleCancel(DeviceObject, Irp, started, &extension->StopPending);
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        // The surprise removal gives up the dispatch's reference itself.
        return HandleSurpriseRemoval(DeviceObject, Irp);

    default:
        status = PassDown(extension, Irp);
        break;
    }
    IoDecrement(DeviceObject);
    return status;
}
