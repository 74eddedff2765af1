/*
 * transfers.cpp - reads and writes on a pipe handle as bulk transfers.
 *
 * A request of at most MaxTransferLength bytes goes down itself with one URB. A longer one
 * is split into stages of MaxTransferLength bytes that go down one at a time, each with its
 * own request, partial MDL over the caller's locked buffer and URB: the next stage is issued
 * once the previous one has completed, by that stage's completion routine or, when it
 * completed inside IoCallDriver, by the thread that issued it, so that a lower driver that
 * completes at once never makes the issue recurse.
 *
 * The transfer ends at its last stage, or at the first stage that fails or moves fewer bytes
 * than it asked for: a short packet ends a read's data, and a stage queued behind a short
 * one would take the unit's next data into the wrong part of the buffer. The caller's request
 * reports the bytes moved, which lie contiguously from the start of its buffer, and the first
 * failure. Writes go the same way: a later stage's bytes never reach the unit after a stage
 * that failed or was cancelled, and a transfer holds one stage's pool at a time.
 *
 * A pipe carries one transfer at a time: Busy, set under StageLock when a request claims
 * the pipe, refuses a second one until the transfer ends.
 *
 * The caller's request of a staged transfer is pending with a cancel routine that cancels
 * the stage in flight. Whoever ends the transfer completes it, once its cancel routine is
 * cleared or has run; a cancel routine already under way completes it itself. A stage request
 * is freed by its completion unless a walk over the transfer (the cancel routine,
 * CancelPendingStages) is in progress, in which case the last walk to end frees it; the same
 * walks hold the completion of a single transfer's request.
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
 * StopIssuing: ends the issuing of Transfer's stages: the stages not issued no longer count
 * in StagesOutstanding, and a failure Status becomes the transfer's, unless an earlier one
 * is already. Caller holds StageLock.
 */
static void StopIssuing(TransferContext *Transfer, NTSTATUS Status)
{
    if (!NT_SUCCESS(Status) && NT_SUCCESS(Transfer->TransferStatus)) {
        Transfer->TransferStatus = Status;
    }
    Transfer->StagesOutstanding -= Transfer->StageCount - Transfer->NextStage;
    Transfer->NextStage = Transfer->StageCount;
}

/*
 * IssueRefusal: why the transfer's next stage must not go down: STATUS_CANCELLED once the
 * master is cancelled or a cancel walk is under way, STATUS_DELETE_PENDING once requests on
 * open handles cannot go on; STATUS_SUCCESS when it may. A walk that begins after this
 * check finds the stage filled in and cancels it. Caller holds StageLock.
 */
static NTSTATUS IssueRefusal(PDEVICE_OBJECT DeviceObject, TransferContext *Transfer)
{
    if (ReadShared(Transfer->MasterIrp->Cancel) || Transfer->CancelWalks != 0) {
        return STATUS_CANCELLED;
    }
    if (!CanContinueIo(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

/*
 * NextStageDue: decides, with no stage of Transfer in flight, whether its next stage goes
 * down. The transfer ends after its last stage, at the first stage that failed or moved fewer
 * bytes than it asked for, and when IssueRefusal refuses; issuing is then stopped.
 * Caller holds StageLock.
 */
static BOOLEAN NextStageDue(PDEVICE_OBJECT DeviceObject, TransferContext *Transfer)
{
    if (Transfer->NextStage >= Transfer->StageCount) {
        return FALSE;
    }
    if (!NT_SUCCESS(Transfer->TransferStatus) || Transfer->EndedShort) {
        StopIssuing(Transfer, STATUS_SUCCESS);
        return FALSE;
    }
    NTSTATUS refusal = IssueRefusal(DeviceObject, Transfer);
    if (!NT_SUCCESS(refusal)) {
        StopIssuing(Transfer, refusal);
        return FALSE;
    }
    return TRUE;
}

/*
 * FinishStagedTransfer: ends the staged transfer of Transfer when no stage is outstanding,
 * nobody is issuing, no walk holds the stage and the master's cancel routine is out of the
 * way: fills in the master request's status and byte count, returns the pipe to idle and
 * sets TransferDone. CompletedMaster receives the master request, which the caller completes
 * after releasing StageLock; null when the transfer goes on (or its cancel routine, still
 * under way, finishes it). Caller holds StageLock.
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
    Transfer->MasterIrp = NULL;
    Transfer->StageCount = 0;
    Transfer->NextStage = 0;
    Transfer->Busy = FALSE;
    KeSetEvent(&Transfer->TransferDone, 1, FALSE);
    *CompletedMaster = master;
}

/*
 * BeginCancelWalk: counts a walk over Transfer's request below (the stage in flight, or the
 * caller's request of a single transfer), which keeps that request from being freed or
 * completed until the walk ends. FALSE when no transfer is in progress. Caller holds
 * StageLock.
 */
static BOOLEAN BeginCancelWalk(TransferContext *Transfer)
{
    if (Transfer->MasterIrp == NULL && Transfer->SingleIrp == NULL) {
        return FALSE;
    }
    Transfer->CancelWalks++;
    return TRUE;
}

/*
 * CancelLiveRequest: passes the walked transfer's request below to IoCancelIrp if it has not
 * ended. Returns TRUE when a request accepted the cancel; EveryCancelAccepted is FALSE when
 * one refused. Caller has begun a walk. Up to DISPATCH_LEVEL.
 */
static BOOLEAN CancelLiveRequest(DeviceExtension *Extension, TransferContext *Transfer, BOOLEAN *EveryCancelAccepted)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    PIRP below = NULL;
    if (Transfer->SingleIrp != NULL && !Transfer->SingleEnded) {
        below = Transfer->SingleIrp;
    } else if (Transfer->Stage.Irp != NULL && !Transfer->Stage.Completed) {
        below = Transfer->Stage.Irp;
    }
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);

    *EveryCancelAccepted = TRUE;
    if (below == NULL) {
        return FALSE;
    }
    if (IoCancelIrp(below)) {
        return TRUE;
    }
    *EveryCancelAccepted = FALSE;
    return FALSE;
}

/*
 * EndSingleTransfer: returns the pipe of a single transfer to idle. Urb and Irp receive the
 * transfer's URB and the caller's request, which the caller frees and completes after
 * releasing StageLock. Caller holds StageLock.
 */
static void EndSingleTransfer(TransferContext *Transfer, PURB *Urb, PIRP *Irp)
{
    *Urb = Transfer->SingleUrb;
    *Irp = Transfer->SingleIrp;
    Transfer->SingleUrb = NULL;
    Transfer->SingleIrp = NULL;
    Transfer->SingleEnded = FALSE;
    Transfer->Busy = FALSE;
    KeSetEvent(&Transfer->TransferDone, 1, FALSE);
}

/*
 * CompleteSingleTransfer: completes the caller's request of a single transfer with the bytes
 * its URB reports, frees the URB and gives up the request's reference. Up to DISPATCH_LEVEL.
 */
static void CompleteSingleTransfer(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP Irp)
{
    // A failed or cancelled transfer keeps its status; the bytes moved are reported either way.
    Irp->IoStatus.Information = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(Urb);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
}

/*
 * EndCancelWalk: ends a walk; the last one frees a stage that completed meanwhile, ends a
 * single transfer whose request came back meanwhile, and ends a staged transfer whose last
 * stage came during the walks. FromCancelRoutine marks the walk of the master's cancel
 * routine, after which anyone may complete the master. Up to DISPATCH_LEVEL.
 */
static void EndCancelWalk(DeviceExtension *Extension, TransferContext *Transfer, BOOLEAN FromCancelRoutine)
{
    PIRP master = NULL;
    PURB singleUrb = NULL;
    PIRP singleIrp = NULL;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StageLock, &oldIrql);
    Transfer->CancelWalks--;
    if (FromCancelRoutine) {
        Transfer->CancelRoutineDone = TRUE;
    }
    if (Transfer->CancelWalks == 0) {
        if (Transfer->Stage.Completed) {
            ReleaseStageResources(&Transfer->Stage);
            Transfer->Stage.Completed = FALSE;
        }
        if (Transfer->SingleEnded) {
            EndSingleTransfer(Transfer, &singleUrb, &singleIrp);
        }
    }
    FinishStagedTransfer(Transfer, &master);
    KeReleaseSpinLock(&Extension->StageLock, oldIrql);
    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    if (singleIrp != NULL) {
        CompleteSingleTransfer(Extension->FunctionalDeviceObject, singleUrb, singleIrp);
    }
}

/*
 * OnStagedTransferCancel: cancel routine of a staged transfer's master request: cancels the
 * stage in flight. The master stays with its transfer until this routine is done (see
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
        return; // cannot happen: the master keeps its transfer until this routine is done
    }
    BOOLEAN everyCancelAccepted;
    CancelLiveRequest(extension, transfer, &everyCancelAccepted);
    EndCancelWalk(extension, transfer, TRUE);
}

/*
 * CancelPendingStages: cancels the request that every transfer in progress has below (a
 * staged transfer's stage in flight, the caller's request of a single transfer) and, for a
 * pipe whose request accepted the cancel, waits until its transfer has ended. A request that
 * refused the cancel may run on until the pipe is aborted; waiting for it here would hold
 * the plug-and-play thread before that abort. PASSIVE_LEVEL.
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
        BOOLEAN cancelled = CancelLiveRequest(extension, transfer, &everyCancelAccepted);
        EndCancelWalk(extension, transfer, FALSE);
        if (cancelled && everyCancelAccepted) {
            WaitForEvent(&transfer->TransferDone);
        }
    }
}

/*
 * AllocateStage: the request, partial MDL (sized for the stage's own bytes) and URB of the
 * stage at Offset of Length bytes of Master's buffer. Returns STATUS_SUCCESS, or
 * STATUS_INSUFFICIENT_RESOURCES with nothing left allocated. Up to DISPATCH_LEVEL.
 */
static NTSTATUS AllocateStage(PDEVICE_OBJECT DeviceObject, PIRP Master, PipeContext *Pipe, ULONG Offset, ULONG Length,
                              TransferDirection Direction, StageContext *Stage)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PMDL masterMdl = Master->MdlAddress;
    PCHAR base = static_cast<PCHAR>(MmGetMdlVirtualAddress(masterMdl));

    PIRP stageIrp = IoAllocateIrp(static_cast<CCHAR>(extension->LowerDevice->StackSize + 1), FALSE);
    if (stageIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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
    Stage->Urb = urb;
    Stage->Device = DeviceObject;
    Stage->Irp = stageIrp;
    Stage->Mdl = stageMdl;
    Stage->Pipe = Pipe;
    Stage->Length = Length;
    Stage->Completed = FALSE;
    return STATUS_SUCCESS;
}

/*
 * IssueStages: sends the transfer's next stage down and, for as long as each stage completes
 * before IoCallDriver returns, the stages after it, so that a lower driver that completes at
 * once never makes the issue recurse; a stage that is still below when IoCallDriver returns
 * leaves the next step to its completion routine. The caller has set Issuing and found the
 * next stage due (NextStageDue). Completes the master when issuing ends with the transfer.
 * Up to DISPATCH_LEVEL (a completion routine issues the stage after its own).
 */
static void IssueStages(PDEVICE_OBJECT DeviceObject, PipeContext *Pipe)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    TransferContext *transfer = &Pipe->Transfer;
    KIRQL oldIrql;
    StageContext stage; // a stage being built: what it holds is freed here unless it went down
    NTSTATUS status;
    for (;;) {
        // Only the issuer moves NextStage, and the master stays while Issuing is set.
        ULONG stageSize = extension->MaxTransferLength;
        ULONG offset = transfer->NextStage * stageSize;
        ULONG length = transfer->TransferLength - offset < stageSize ? transfer->TransferLength - offset : stageSize;
        RtlZeroMemory(&stage, sizeof stage);
        status = AllocateStage(DeviceObject, transfer->MasterIrp, Pipe, offset, length, transfer->Direction, &stage);

        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        if (NT_SUCCESS(status)) {
            status = IssueRefusal(DeviceObject, transfer);
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        transfer->Stage = stage;
        transfer->NextStage++;
        transfer->StageEnded = FALSE;
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        PIRP stageIrp = stage.Irp;
        PURB stageUrb = stage.Urb;
        RtlZeroMemory(&stage, sizeof stage); // the stage's completion frees it from here on

        SetUrbInNextLocation(stageIrp, stageUrb, OnStageComplete, &transfer->Stage);
        IoIncrement(DeviceObject);
        IoCallDriver(extension->LowerDevice, stageIrp);

        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        if (!transfer->StageEnded) {
            transfer->Issuing = FALSE; // OnStageComplete takes the next step
            KeReleaseSpinLock(&extension->StageLock, oldIrql);
            return;
        }
        if (!NextStageDue(DeviceObject, transfer)) {
            status = STATUS_SUCCESS;
            break;
        }
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
    }

    // Issuing is over with no stage below; StageLock is held.
    PIRP master = NULL;
    StopIssuing(transfer, status);
    transfer->Issuing = FALSE;
    FinishStagedTransfer(transfer, &master);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    ReleaseStageResources(&stage); // what a refused stage had allocated, if anything
    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
}

/*
 * StagedTransfer: splits a claimed request of Length bytes into stages and issues the
 * first. The request is pending with OnStagedTransferCancel as its cancel routine and
 * completes when its last stage has ended, or the first that failed or came back short.
 * Returns STATUS_PENDING. PASSIVE_LEVEL.
 */
static NTSTATUS StagedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, ULONG Length,
                               TransferDirection Direction)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    TransferContext *transfer = &Pipe->Transfer;
    ULONG stageSize = extension->MaxTransferLength;
    ULONG stageCount = Length / stageSize + (Length % stageSize != 0 ? 1 : 0);

    // Pending from here on: its cancel routine may complete it before this dispatch returns.
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->Tail.Overlay.DriverContext[0] = Pipe;

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    transfer->BytesTransferred = 0;
    transfer->MasterIrp = Irp;
    transfer->StagesOutstanding = stageCount; // stages still to be issued keep the count above 0
    transfer->StageCount = stageCount;
    transfer->NextStage = 0;
    transfer->TransferLength = Length;
    transfer->Direction = Direction;
    transfer->TransferStatus = STATUS_SUCCESS;
    transfer->Issuing = TRUE;
    transfer->StageEnded = FALSE;
    transfer->EndedShort = FALSE;
    transfer->CancelWalks = 0;
    transfer->CancelRoutineDone = FALSE;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    // The usual protocol: set the routine, then look at Cancel; a cancel that came first is
    // taken back here and keeps the first stage from going down.
    (void)IoSetCancelRoutine(Irp, OnStagedTransferCancel);
    if (ReadShared(Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeAcquireSpinLock(&extension->StageLock, &oldIrql);
        transfer->CancelRoutineDone = TRUE;
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
    }

    // The request is not touched after this: whoever ends its last stage, or its cancel
    // routine, completes it.
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    if (NextStageDue(DeviceObject, transfer)) {
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        IssueStages(DeviceObject, Pipe);
        return STATUS_PENDING;
    }
    PIRP master = NULL;
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

    // Recorded before it goes down, so that a stop or removal can cancel it (see
    // CancelPendingStages).
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    Pipe->Transfer.SingleUrb = urb;
    Pipe->Transfer.SingleIrp = Irp;
    Pipe->Transfer.SingleEnded = FALSE;
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
 * pipe to idle and, last, gives up the request's reference; while a cancel walk may still
 * pass the request to IoCancelIrp, the last walk does that instead. Context is the
 * PipeContext. Returns STATUS_MORE_PROCESSING_REQUIRED. Up to DISPATCH_LEVEL.
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

    PURB urb = NULL;
    PIRP caller = NULL;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    if (pipe->Transfer.CancelWalks != 0) {
        pipe->Transfer.SingleEnded = TRUE;
    } else {
        EndSingleTransfer(&pipe->Transfer, &urb, &caller);
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (caller != NULL) {
        CompleteSingleTransfer(ownDevice, urb, caller);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * OnStageComplete: completion of one stage (the driver's own request). Adds the stage's
 * bytes, which begin where the previous stage's ended, keeps the first failure, notes a
 * stage that came back short, and frees the stage's request, MDL and URB (unless a cancel
 * walk holds them). Then, unless the thread that issued the stage is still in IoCallDriver
 * and takes the next step itself, issues the next stage or ends the transfer. Gives up the
 * stage's reference last. Context is the StageContext. Returns
 * STATUS_MORE_PROCESSING_REQUIRED: the request was the driver's own. Up to DISPATCH_LEVEL.
 */
static NTSTATUS NTAPI OnStageComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    StageContext *stage = static_cast<StageContext *>(Context);
    PDEVICE_OBJECT ownDevice = stage->Device;
    PipeContext *pipe = stage->Pipe;
    DeviceExtension *extension = ExtensionOf(ownDevice);
    TransferContext *transfer = &pipe->Transfer;
    PIRP master = NULL;

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    ULONG moved = stage->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    transfer->StagesOutstanding--;
    transfer->BytesTransferred += moved;
    if (!NT_SUCCESS(Irp->IoStatus.Status) && NT_SUCCESS(transfer->TransferStatus)) {
        transfer->TransferStatus = Irp->IoStatus.Status;
    }
    if (moved < stage->Length) {
        transfer->EndedShort = TRUE;
    }
    ExFreePool(stage->Urb);
    stage->Urb = NULL;
    if (transfer->CancelWalks != 0) {
        // A walk may still pass this request to IoCancelIrp; the last walk frees it.
        stage->Completed = TRUE;
    } else {
        ReleaseStageResources(stage);
    }
    if (transfer->Issuing) {
        transfer->StageEnded = TRUE; // the issuer is still in IoCallDriver: the next step is its own
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        IoDecrement(ownDevice);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (NextStageDue(ownDevice, transfer)) {
        transfer->Issuing = TRUE;
        KeReleaseSpinLock(&extension->StageLock, oldIrql);
        IssueStages(ownDevice, pipe);
        IoDecrement(ownDevice);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    FinishStagedTransfer(transfer, &master);
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    IoDecrement(ownDevice);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
