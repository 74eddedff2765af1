/*
 * transfers.cpp - reads and writes on a pipe handle as bulk transfers.
 *
 * A request of at most MaxTransferLength bytes goes down itself with one URB. A longer one
 * is split into stages of MaxTransferLength bytes, each with its own request, partial MDL
 * over the caller's locked buffer and URB, all issued back to back; the caller's request
 * completes when the last issued stage has ended, with the bytes moved and the first
 * failure, if any.
 *
 * A pipe carries one transfer at a time: Busy, set under StageLock when a request claims
 * the pipe, refuses a second one until the transfer ends.
 *
 * The caller's request of a staged transfer is pending with a cancel routine that cancels
 * its live stages. Whoever finds the last stage ended completes it, once its cancel routine
 * is cleared or has run; a cancel routine already under way completes it itself. Stage
 * requests are freed by their completion unless a walk over the stages (the cancel routine,
 * CancelPendingStages) is in progress, in which case the last walk to end frees them.
 */
#include "driver/murvousb.h"

static NTSTATUS StartTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferDirection Direction);
static NTSTATUS SingleTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, TransferDirection Direction);
static PURB BuildBulkUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION PipeInformation,
                         TransferDirection Direction);
static NTSTATUS NTAPI OnSingleTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
static NTSTATUS NTAPI OnStageComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/*
 * ReleaseClaim: returns a claimed pipe to idle when its request is refused before anything
 * was sent down. Caller does not hold StageLock.
 */
static void ReleaseClaim(DeviceExtension *Extension, PipeContext *Pipe)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    Pipe->Transfer.Busy = FALSE;
    KeSetEvent(&Pipe->Transfer.TransferDone, 1, FALSE);
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);
}

/*
 * DispatchRead, DispatchWrite: the IRP_MJ_READ and IRP_MJ_WRITE routines. They count
 * themselves in PendingIoCount, so that a removal cannot free the pipe table while the
 * transfer is being set up, and as running I/O dispatch routines, so that a stop or removal
 * waits until they have sent what they send. PASSIVE_LEVEL.
 */
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    IoIncrement(DeviceObject);
    BeginIoDispatch(DeviceObject);
    NTSTATUS status = StartTransfer(DeviceObject, Irp, TransferRead);
    EndIoDispatch(DeviceObject);
    IoDecrement(DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    IoIncrement(DeviceObject);
    BeginIoDispatch(DeviceObject);
    NTSTATUS status = StartTransfer(DeviceObject, Irp, TransferWrite);
    EndIoDispatch(DeviceObject);
    IoDecrement(DeviceObject);
    return status;
}

/*
 * BuildBulkUrb: a zeroed bulk-transfer URB for Irp's MDL on the pipe, IN with short
 * transfers allowed for a read, OUT for a write; null when it cannot be allocated.
 * Any IRQL up to DISPATCH_LEVEL.
 */
static PURB BuildBulkUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION PipeInformation,
                         TransferDirection Direction)
{
    (void)DeviceObject;
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(MurvoNonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), MURVO_POOL_TAG));
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = PipeInformation->PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        Direction == TransferRead ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Irp->MdlAddress ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = NULL;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = Irp->MdlAddress;
    urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;
    return urb;
}

/*
 * SetUrbInNextLocation: makes Irp's next stack location an internal USB request carrying
 * Urb, with Routine and Context as its completion on success, error and cancel.
 */
static void SetUrbInNextLocation(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}

/*
 * ReleaseStageResources: frees a stage's request, partial MDL and URB, whichever remain.
 * Caller holds StageLock or owns the stage alone.
 */
static void ReleaseStageResources(StageContext *Stage)
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
 * FinishStagedTransfer: ends the staged transfer of Transfer when all its issued stages have
 * ended, issuing is over, no walk holds the stages and the master's cancel routine is out of
 * the way: fills in the master request's status and byte count, frees the Stages array,
 * returns the pipe to idle and sets TransferDone. CompletedMaster receives the master
 * request, which the caller completes after releasing StageLock; null when the transfer
 * goes on (or its cancel routine, still under way, finishes it). Caller holds StageLock.
 */
static void FinishStagedTransfer(TransferContext *Transfer, PIRP *CompletedMaster)
{
    *CompletedMaster = NULL;
    PIRP master = Transfer->MasterIrp;
    if (master == NULL || Transfer->StagesOutstanding != 0 || Transfer->Issuing || Transfer->CancelWalks != 0) {
        return;
    }
    if (!Transfer->CancelRoutineDone && IoSetCancelRoutine(master, NULL) == NULL) {
        return; // IoCancelIrp has taken the routine: it finishes the transfer when it is done
    }
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
 * BeginCancelWalk: counts a walk over Transfer's stages, which keeps every stage request
 * allocated until the walk ends. FALSE when no staged transfer is in progress.
 * Caller holds StageLock.
 */
static BOOLEAN BeginCancelWalk(TransferContext *Transfer)
{
    if (Transfer->Stages == NULL) {
        return FALSE;
    }
    Transfer->CancelWalks++;
    return TRUE;
}

/*
 * CancelLiveStages: passes every stage request of the walked transfer that has not ended to
 * IoCancelIrp. Returns the number of cancels accepted; EveryCancelAccepted tells whether
 * no stage refused. The issuing thread may be filling a stage in: each is read under the
 * lock. Caller has begun a walk. Up to DISPATCH_LEVEL.
 */
static ULONG CancelLiveStages(DeviceExtension *Extension, TransferContext *Transfer, BOOLEAN *EveryCancelAccepted)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    StageContext *stages = Transfer->Stages;
    ULONG stageCount = Transfer->StageCount;
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);

    ULONG cancelled = 0;
    *EveryCancelAccepted = TRUE;
    for (ULONG k = 0; k < stageCount; k++) {
        KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
        PIRP stageIrp = stages[k].Completed ? NULL : stages[k].Irp;
        KeReleaseSpinLock(&Extension->StageLock, oldIrql);
        if (stageIrp == NULL) {
            continue;
        }
        if (IoCancelIrp(stageIrp)) {
            cancelled++;
        } else {
            *EveryCancelAccepted = FALSE;
        }
    }
    return cancelled;
}

/*
 * EndCancelWalk: ends a walk; the last one frees the stages that completed meanwhile and
 * ends the transfer if its last stage came during the walks. FromCancelRoutine marks the
 * walk of the master's cancel routine, after which anyone may complete the master.
 * Up to DISPATCH_LEVEL.
 */
static void EndCancelWalk(DeviceExtension *Extension, TransferContext *Transfer, BOOLEAN FromCancelRoutine)
{
    PIRP master = NULL;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    Transfer->CancelWalks--;
    if (FromCancelRoutine) {
        Transfer->CancelRoutineDone = TRUE;
    }
    if (Transfer->CancelWalks == 0) {
        for (ULONG k = 0; k < Transfer->StageCount; k++) {
            if (Transfer->Stages[k].Completed) {
                ReleaseStageResources(&Transfer->Stages[k]);
                Transfer->Stages[k].Completed = FALSE;
            }
        }
    }
    FinishStagedTransfer(Transfer, &master);
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);
    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
}

/*
 * OnStagedTransferCancel: cancel routine of a staged transfer's master request: cancels its
 * live stages. The master stays with its transfer until this routine is done (see
 * FinishStagedTransfer), so the pipe it names in DriverContext[0] is still its own.
 * Called with the cancel spin lock held; DISPATCH_LEVEL.
 */
static VOID NTAPI OnStagedTransferCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PipeContext *pipe = static_cast<PipeContext *>(Irp->Tail.Overlay.DriverContext[0]);
    TransferContext *transfer = &pipe->Transfer;

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    BOOLEAN walking = BeginCancelWalk(transfer);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (!walking) {
        return; // cannot happen: the master keeps its Stages until this routine is done
    }
    BOOLEAN everyCancelAccepted;
    CancelLiveStages(extension, transfer, &everyCancelAccepted);
    EndCancelWalk(extension, transfer, TRUE);
}

/*
 * CancelPendingStages: cancels the stage requests of every staged transfer in progress and,
 * for a pipe whose every live stage accepted the cancel, waits until its transfer has ended.
 * A stage that refused the cancel may run on until the pipe is aborted; waiting for it here
 * would hold the plug-and-play thread before that abort. PASSIVE_LEVEL.
 */
void CancelPendingStages(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    if (extension->InterfaceInfo == NULL || extension->PipeTable == NULL) {
        return;
    }
    for (ULONG i = 0; i < extension->InterfaceInfo->NumberOfPipes; i++) {
        TransferContext *transfer = &extension->PipeTable[i].Transfer;
        KIRQL oldIrql;
        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        BOOLEAN walking = BeginCancelWalk(transfer);
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        if (!walking) {
            continue;
        }
        BOOLEAN everyCancelAccepted;
        ULONG cancelled = CancelLiveStages(extension, transfer, &everyCancelAccepted);
        EndCancelWalk(extension, transfer, FALSE);
        if (cancelled > 0 && everyCancelAccepted) {
            WaitForEvent(&transfer->TransferDone);
        }
    }
}

/*
 * IssueStage: allocates stage Index's request, partial MDL and URB and sends the stage down.
 * Sent tells whether the stage went down; if not, the status is STATUS_INSUFFICIENT_RESOURCES
 * (or STATUS_CANCELLED once the master is cancelled) and nothing is left allocated. Once
 * sent, the stage belongs to OnStageComplete and the status is what IoCallDriver returned. PASSIVE_LEVEL.
 */
static NTSTATUS IssueStage(PDEVICE_OBJECT DeviceObject, PIRP Master, PipeContext *Pipe, ULONG Index, ULONG Offset,
                           ULONG Length, TransferDirection Direction, BOOLEAN *Sent)
{
    PAGED_CODE();
    *Sent = FALSE;
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PMDL masterMdl = Master->MdlAddress;
    PCHAR base = static_cast<PCHAR>(MmGetMdlVirtualAddress(masterMdl));

    PIRP stageIrp = IoAllocateIrp(static_cast<CCHAR>(extension->LowerDevice->StackSize + 1), FALSE);
    if (stageIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Sized for the stage's own bytes, not the caller's whole buffer.
    PMDL stageMdl = IoAllocateMdl(base + Offset, Length, FALSE, FALSE, stageIrp);
    if (stageMdl == NULL) {
        IoFreeIrp(stageIrp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(masterMdl, stageMdl, base + Offset, Length);
    PURB urb = BuildBulkUrb(DeviceObject, stageIrp, Pipe->PipeInformation, Direction);
    if (urb == NULL) {
        stageIrp->MdlAddress = NULL;
        IoFreeMdl(stageMdl);
        IoFreeIrp(stageIrp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // A cancel walk reads the stage under the lock while it is being filled in. A walk that
    // began before this point has passed the stage by: the master's Cancel, set before its
    // cancel routine ran, keeps the stage from going down.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    if (ReadShared(Master->Cancel)) {
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        ExFreePool(urb);
        stageIrp->MdlAddress = NULL;
        IoFreeMdl(stageMdl);
        IoFreeIrp(stageIrp);
        return STATUS_CANCELLED;
    }
    StageContext *stage = &Pipe->Transfer.Stages[Index];
    stage->Urb = urb;
    stage->Device = DeviceObject;
    stage->Irp = stageIrp;
    stage->Mdl = stageMdl;
    stage->Pipe = Pipe;
    stage->Completed = FALSE;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    SetUrbInNextLocation(stageIrp, urb, OnStageComplete, stage);
    IoIncrement(DeviceObject);
    *Sent = TRUE;
    return IoCallDriver(extension->LowerDevice, stageIrp);
}

/*
 * StagedTransfer: splits a claimed request of Length bytes into stages and issues them.
 * The request is pending with OnStagedTransferCancel as its cancel routine and completes
 * when the issued stages have ended; when issuing stops early, the pipe (failing that the
 * port) is reset unless the request was cancelled, and only the issued stages are waited
 * for. Returns STATUS_PENDING, or the status of a request refused before it was pending.
 * PASSIVE_LEVEL.
 */
static NTSTATUS StagedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, ULONG Length,
                               TransferDirection Direction)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    TransferContext *transfer = &Pipe->Transfer;
    ULONG stageSize = extension->MaxTransferLength;
    ULONG stageCount = Length / stageSize + (Length % stageSize != 0 ? 1 : 0);

    StageContext *stages = static_cast<StageContext *>(
        ExAllocatePoolWithTag(MurvoNonPagedPool, stageCount * sizeof(StageContext), MURVO_POOL_TAG));
    if (stages == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(stages, stageCount * sizeof(StageContext));

    // Pending from here on: its cancel routine may complete it before this dispatch returns.
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->Tail.Overlay.DriverContext[0] = Pipe;

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    transfer->Stages = stages;
    transfer->BytesTransferred = 0;
    transfer->MasterIrp = Irp;
    transfer->StagesOutstanding = stageCount; // unissued stages keep the count above 0
    transfer->StageCount = stageCount;
    transfer->TransferStatus = STATUS_SUCCESS;
    transfer->Issuing = TRUE;
    transfer->CancelWalks = 0;
    transfer->CancelRoutineDone = FALSE;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    // The usual protocol: set the routine, then look at Cancel; a cancel that came first is
    // taken back here and ends the issuing below.
    (void)IoSetCancelRoutine(Irp, OnStagedTransferCancel);
    if (ReadShared(Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        transfer->CancelRoutineDone = TRUE;
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
    }

    NTSTATUS failure = STATUS_SUCCESS;
    ULONG issued = 0;
    for (ULONG k = 0; k < stageCount; k++) {
        if (!CanContinueIo(DeviceObject)) {
            failure = STATUS_DELETE_PENDING;
            break;
        }
        if (ReadShared(Irp->Cancel)) {
            failure = STATUS_CANCELLED;
            break;
        }
        ULONG offset = k * stageSize;
        ULONG length = (k + 1 < stageCount) ? stageSize : Length - offset;
        BOOLEAN sent = FALSE;
        NTSTATUS status = IssueStage(DeviceObject, Irp, Pipe, k, offset, length, Direction, &sent);
        if (sent) {
            issued++; // even a stage that IoCallDriver failed has its completion run
        }
        if (!NT_SUCCESS(status)) {
            failure = status;
            break;
        }
    }

    if (!NT_SUCCESS(failure) && failure != STATUS_CANCELLED && CanContinueIo(DeviceObject)) {
        if (!NT_SUCCESS(ResetPipe(DeviceObject, Pipe->PipeInformation))) {
            ResetDevice(DeviceObject);
        }
    }

    // Issuing is over: only the issued stages are still to come. The request is not touched
    // after this locked step: whoever ends its last stage, or its cancel routine, completes it.
    PIRP master = NULL;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    if (!NT_SUCCESS(failure) && NT_SUCCESS(transfer->TransferStatus)) {
        transfer->TransferStatus = failure;
    }
    transfer->StagesOutstanding -= stageCount - issued;
    transfer->Issuing = FALSE;
    FinishStagedTransfer(transfer, &master);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

/*
 * PipeSuitsTransfer: true when the pipe is a bulk or interrupt pipe whose endpoint's
 * direction is the request's (IN for a read, OUT for a write). A pipe without information
 * passes here and is refused later on.
 */
static BOOLEAN PipeSuitsTransfer(PUSBD_PIPE_INFORMATION PipeInformation, TransferDirection Direction)
{
    if (PipeInformation == NULL) {
        return TRUE;
    }
    if (PipeInformation->PipeType != UsbdPipeTypeBulk && PipeInformation->PipeType != UsbdPipeTypeInterrupt) {
        return FALSE;
    }
    BOOLEAN endpointIn = USB_ENDPOINT_DIRECTION_IN(PipeInformation->EndpointAddress) ? TRUE : FALSE;
    return endpointIn == (Direction == TransferRead ? TRUE : FALSE);
}

/*
 * StartTransfer: checks that the unit accepts I/O and that the handle holds an idle pipe,
 * claims the pipe and takes the single or the staged path by the request's length. A request
 * against the direction of the pipe's endpoint, or on a pipe that is neither bulk nor
 * interrupt, is refused with STATUS_INVALID_PARAMETER. A read of 0 bytes completes at once
 * with STATUS_SUCCESS and nothing moved. A unit
 * whose power-up failed is asked for D0 again first. A request
 * longer than MURVO_MAX_REQUEST_LENGTH is refused with STATUS_INVALID_PARAMETER.
 * Returns the request's status or STATUS_PENDING. PASSIVE_LEVEL.
 */
static NTSTATUS StartTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferDirection Direction)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    Irp->IoStatus.Information = 0;

    if (!CanContinueIo(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    // A power-up that failed left the unit in its low-power state: ask again, and refuse the
    // request with the power-up's failure rather than send it to a unit that cannot answer.
    if (ReadShared(extension->CurrentDevicePowerState) != PowerDeviceD0) {
        NTSTATUS powerStatus = SelfSuspendOrActivate(DeviceObject, FALSE);
        if (!NT_SUCCESS(powerStatus)) {
            return CompleteRequest(Irp, powerStatus);
        }
    }

    // Finding the pipe and claiming it are one step against other requests on the handle
    // and against a restart that releases the pipe table.
    NTSTATUS refusal = STATUS_SUCCESS;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    PipeContext *pipe = PipeOfFile(extension, fileObject);
    if (pipe == NULL) {
        refusal = STATUS_INVALID_HANDLE;
    } else if (!PipeSuitsTransfer(pipe->PipeInformation, Direction)) {
        refusal = STATUS_INVALID_PARAMETER;
    } else if (pipe->Transfer.Busy || pipe->Transfer.MasterIrp != NULL || pipe->Transfer.SingleUrb != NULL) {
        refusal = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        pipe->Transfer.Busy = TRUE;
        KeClearEvent(&pipe->Transfer.TransferDone);
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (refusal != STATUS_SUCCESS) {
        return CompleteRequest(Irp, refusal);
    }

    ULONG length = Irp->MdlAddress ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    if (length == 0 && Direction == TransferRead) {
        // Nothing to receive: a zero-length IN transfer would only take the unit's next
        // packet, or wait for one. A zero-length write goes down as a zero-length packet.
        ReleaseClaim(extension, pipe);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    if (length > MURVO_MAX_REQUEST_LENGTH) {
        ReleaseClaim(extension, pipe);
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }
    if (length <= extension->MaxTransferLength) {
        return SingleTransfer(DeviceObject, Irp, pipe, Direction);
    }
    if (pipe->PipeInformation == NULL) {
        ReleaseClaim(extension, pipe);
        return CompleteRequest(Irp, STATUS_INVALID_HANDLE);
    }
    return StagedTransfer(DeviceObject, Irp, pipe, length, Direction);
}

/*
 * SingleTransfer: sends the caller's claimed request itself down with one bulk URB.
 * Returns STATUS_PENDING once it went down, or the refusal's status. PASSIVE_LEVEL.
 */
static NTSTATUS SingleTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, TransferDirection Direction)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (Pipe->PipeInformation == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteRequest(Irp, STATUS_INVALID_HANDLE);
    }
    PURB urb = BuildBulkUrb(DeviceObject, Irp, Pipe->PipeInformation, Direction);
    if (urb == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    Pipe->Transfer.SingleUrb = urb;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    // Marked pending before it goes down: the completion routine may complete it on another
    // processor at any time from here on, so the dispatch reports STATUS_PENDING.
    IoMarkIrpPending(Irp);
    SetUrbInNextLocation(Irp, urb, OnSingleTransferComplete, Pipe);
    IoIncrement(DeviceObject);
    IoCallDriver(extension->LowerDevice, Irp);
    return STATUS_PENDING;
}

/*
 * OnSingleTransferComplete: completion of a single-request transfer (the caller's request).
 * Completes it with the lower driver's status and the bytes the URB reports, returns the
 * pipe to idle and, last, gives up the request's reference. Context is the PipeContext.
 * Returns STATUS_MORE_PROCESSING_REQUIRED. Up to DISPATCH_LEVEL.
 */
static NTSTATUS NTAPI OnSingleTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    PipeContext *pipe = static_cast<PipeContext *>(Context);
    PDEVICE_OBJECT ownDevice = pipe->OwnerDevice;
    DeviceExtension *extension = ExtensionOf(ownDevice);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    PURB urb = pipe->Transfer.SingleUrb;
    pipe->Transfer.SingleUrb = NULL;
    pipe->Transfer.Busy = FALSE;
    KeSetEvent(&pipe->Transfer.TransferDone, 1, FALSE);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);

    // A failed or cancelled transfer keeps its status; the bytes moved are reported either way.
    Irp->IoStatus.Information = moved;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(ownDevice);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * OnStageComplete: completion of one stage (the driver's own request). Adds the stage's
 * bytes, keeps the first failure, frees the stage's request, MDL and URB (unless a cancel
 * walk holds them) and, after the last stage, completes the caller's request. Gives up the
 * stage's reference last. Context is the StageContext. Returns
 * STATUS_MORE_PROCESSING_REQUIRED: the request was the driver's own. Up to DISPATCH_LEVEL.
 */
static NTSTATUS NTAPI OnStageComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    StageContext *stage = static_cast<StageContext *>(Context);
    PDEVICE_OBJECT ownDevice = stage->Device;
    DeviceExtension *extension = ExtensionOf(ownDevice);
    TransferContext *transfer = &stage->Pipe->Transfer;
    PIRP master = NULL;

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    transfer->StagesOutstanding--;
    transfer->BytesTransferred += stage->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (!NT_SUCCESS(Irp->IoStatus.Status) && NT_SUCCESS(transfer->TransferStatus)) {
        transfer->TransferStatus = Irp->IoStatus.Status;
    }
    ExFreePool(stage->Urb);
    stage->Urb = NULL;
    if (transfer->CancelWalks != 0) {
        // A walk may still pass this request to IoCancelIrp; the last walk frees it.
        stage->Completed = TRUE;
    } else {
        ReleaseStageResources(stage);
    }
    FinishStagedTransfer(transfer, &master);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    IoDecrement(ownDevice);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
