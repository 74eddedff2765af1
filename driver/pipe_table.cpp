/*
 * pipe_table.cpp - the pipe records' shared operations and the synchronous USB requests.
 *
 * SubmitUrbSync is the one way a URB is sent down and waited for. On it rest the abort and
 * reset of pipes and, through the port requests, the reset of the unit. CancelPendingStages
 * stops the staged transfers when the unit is stopped or removed; it works with the stage
 * completion (transfers.cpp) so that no request it cancels is freed under it.
 */
#include "driver/murvousb.h"

/*
 * SendInternalRequestSync: builds an internal device-control request with Code for the lower
 * device, puts Argument1 into its stack location, sends it and waits.
 * Returns the request's status, or STATUS_INSUFFICIENT_RESOURCES when none can be built.
 * PASSIVE_LEVEL.
 */
static NTSTATUS SendInternalRequestSync(PDEVICE_OBJECT DeviceObject, ULONG Code, PVOID Argument1)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(Code, extension->LowerDevice, NULL, 0, NULL, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;

    NTSTATUS status = IoCallDriver(extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        WaitForEvent(&done);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * SubmitUrbSync: sends Urb to the lower device and waits until it is done.
 * Returns the status of the I/O request; the URB header's own status is the caller's to
 * look at. PASSIVE_LEVEL.
 */
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

/*
 * GetPortStatus: asks the USB stack for the unit's port status.
 * PortStatus receives the 32-bit status (0 when the request fails). PASSIVE_LEVEL.
 */
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    *PortStatus = 0;
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

/*
 * ResetPort: asks the USB stack to reset the unit's port. PASSIVE_LEVEL.
 */
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

/*
 * ResetDevice: resets the unit's port when the unit is connected but its port disabled.
 * Returns the status of the port reset in that case, else that of the status query.
 * PASSIVE_LEVEL.
 */
NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject)
{
    ULONG portStatus = 0;
    NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!(portStatus & USBD_PORT_ENABLED) && (portStatus & USBD_PORT_CONNECTED)) {
        return ResetPort(DeviceObject);
    }
    return status;
}

/*
 * SendPipeRequest: sends a 24-byte pipe-request URB with Function for the pipe and waits.
 * Returns its status, or STATUS_INSUFFICIENT_RESOURCES without a URB. PASSIVE_LEVEL.
 */
static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), MURVO_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

/*
 * ResetPipe: clears a stall of the pipe described by PipeInformation.
 * Returns the status of the reset request. PASSIVE_LEVEL.
 */
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation)
{
    return SendPipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, PipeInformation->PipeHandle);
}

/*
 * AbortOpenPipes: aborts every open pipe in table order, marks it closed and takes it off
 * OpenPipes. Stops at the first failing allocation or abort and returns its status, else
 * STATUS_SUCCESS. PASSIVE_LEVEL.
 */
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (extension->InterfaceInfo == NULL || extension->PipeTable == NULL) {
        return status;
    }
    for (ULONG i = 0; i < extension->InterfaceInfo->NumberOfPipes; i++) {
        PipeContext *pipe = &extension->PipeTable[i];
        if (!ReadShared(pipe->IsOpen)) {
            continue;
        }
        status = SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, pipe->PipeInformation->PipeHandle);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // A close may have run meanwhile; only one of the two takes the pipe off OpenPipes.
        KIRQL oldIrql;
        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        if (pipe->IsOpen) {
            WriteShared(pipe->IsOpen, static_cast<UCHAR>(0));
            InterlockedDecrement(&extension->OpenPipes);
        }
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
    }
    return status;
}

/*
 * ReleaseStageResources: frees a stage's request, partial MDL and URB, whichever remain.
 * Caller holds StageLock or owns the stage alone.
 */
void ReleaseStageResources(StageContext *Stage)
{
    if (Stage->Irp != NULL) {
        Stage->Irp->MdlAddress = NULL; // the MDL is freed here, not by the request
        IoFreeIrp(Stage->Irp);
        Stage->Irp = NULL;
    }
    if (Stage->Mdl != NULL) {
        IoFreeMdl(Stage->Mdl);
        Stage->Mdl = NULL;
    }
    if (Stage->Urb != NULL) {
        ExFreePool(Stage->Urb);
        Stage->Urb = NULL;
    }
}

/*
 * FinishStagedTransfer: ends the staged transfer of Transfer once all its issued stages
 * have ended: fills in the master request's status and byte count, frees the Stages array,
 * returns the pipe to idle and sets TransferDone. CompletedMaster receives the master request,
 * which the caller completes after releasing StageLock. Caller holds StageLock.
 */
void FinishStagedTransfer(TransferContext *Transfer, PIRP *CompletedMaster)
{
    PIRP master = Transfer->MasterIrp;
    master->IoStatus.Status = Transfer->TransferStatus;
    master->IoStatus.Information = Transfer->BytesTransferred;
    ExFreePool(Transfer->Stages);
    Transfer->Stages = NULL;
    Transfer->MasterIrp = NULL;
    Transfer->StagesOutstanding = 0;
    Transfer->Busy = FALSE;
    KeSetEvent(&Transfer->TransferDone, 1, FALSE);
    *CompletedMaster = master;
}

/*
 * CancelPendingStages: cancels the stage requests of every staged transfer in progress and,
 * for a pipe whose every live stage accepted the cancel, waits until its transfer has ended.
 * While a pipe's stages are walked, CancelWalkActive keeps the stage completion from freeing
 * the stage requests or the Stages array; the walk frees what completed meanwhile and ends
 * the transfer if its last stage came during the walk. PASSIVE_LEVEL.
 */
void CancelPendingStages(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (extension->InterfaceInfo == NULL || extension->PipeTable == NULL) {
        return;
    }
    for (ULONG i = 0; i < extension->InterfaceInfo->NumberOfPipes; i++) {
        TransferContext *transfer = &extension->PipeTable[i].Transfer;
        KIRQL oldIrql;

        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        if (transfer->Stages == NULL) {
            KeReleaseSpinLock(&extension->StageLock, oldIrql);
            continue;
        }
        transfer->CancelWalkActive = TRUE;
        StageContext *stages = transfer->Stages;
        ULONG stageCount = transfer->StageCount;
        KeReleaseSpinLock(&extension->StageLock, oldIrql);

        ULONG cancelled = 0;
        BOOLEAN everyCancelAccepted = TRUE;
        for (ULONG k = 0; k < stageCount; k++) {
            // The issuing thread may be filling the stage in; read it under the lock. A request
            // read here stays allocated until the walk ends, even if it completes meanwhile.
            KeAcquireSpinLock(&extension->StageLock, &oldIrql);
            PIRP stageIrp = stages[k].Completed ? NULL : stages[k].Irp;
            KeReleaseSpinLock(&extension->StageLock, oldIrql);
            if (stageIrp == NULL) {
                continue;
            }
            if (IoCancelIrp(stageIrp)) {
                cancelled++;
            } else {
                everyCancelAccepted = FALSE;
            }
        }

        PIRP master = NULL;
        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        transfer->CancelWalkActive = FALSE;
        for (ULONG k = 0; k < stageCount; k++) {
            if (stages[k].Completed) {
                ReleaseStageResources(&stages[k]);
                stages[k].Completed = FALSE;
            }
        }
        if (transfer->StagesOutstanding == 0 && transfer->MasterIrp != NULL && !transfer->Issuing) {
            FinishStagedTransfer(transfer, &master);
        }
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        if (master != NULL) {
            IoCompleteRequest(master, IO_NO_INCREMENT);
        }

        // A stage that refused the cancel may run on until the pipe is aborted; waiting for
        // it here would hold the plug-and-play thread before that abort.
        if (cancelled > 0 && everyCancelAccepted) {
            WaitForEvent(&transfer->TransferDone);
        }
    }
}
