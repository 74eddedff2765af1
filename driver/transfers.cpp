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
 */
#include "driver/murvousb.h"

/*
 * CompleteTransferRequest: completes a caller's request with Status and no data.
 */
static NTSTATUS CompleteTransferRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

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
    IoIncrement(DeviceObject);
    BeginIoDispatch(DeviceObject);
    NTSTATUS status = StartTransfer(DeviceObject, Irp, TransferRead);
    EndIoDispatch(DeviceObject);
    IoDecrement(DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
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
PURB BuildBulkUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION PipeInformation,
                  TransferDirection Direction)
{
    (void)DeviceObject;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), MURVO_POOL_TAG));
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
 * IssueStage: allocates stage Index's request, partial MDL and URB and sends the stage down.
 * Sent tells whether the stage went down; if not, the status is STATUS_INSUFFICIENT_RESOURCES
 * and nothing is left allocated. Once sent, the stage belongs to OnStageComplete and the
 * status is what IoCallDriver returned. PASSIVE_LEVEL.
 */
static NTSTATUS IssueStage(PDEVICE_OBJECT DeviceObject, PIRP Master, PipeContext *Pipe, ULONG Index,
                           ULONG Offset, ULONG Length, TransferDirection Direction, BOOLEAN *Sent)
{
    *Sent = FALSE;
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PMDL masterMdl = Master->MdlAddress;
    PCHAR base = static_cast<PCHAR>(MmGetMdlVirtualAddress(masterMdl));

    PIRP stageIrp = IoAllocateIrp(static_cast<CCHAR>(extension->LowerDevice->StackSize + 1), FALSE);
    if (stageIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PMDL stageMdl = IoAllocateMdl(base, MmGetMdlByteCount(masterMdl), FALSE, FALSE, stageIrp);
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

    // A cancel walk reads the stage under the lock while it is being filled in.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
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
 * The request completes when the issued stages have ended; when issuing stops early, the
 * pipe (failing that the port) is reset and only the issued stages are waited for.
 * Returns STATUS_PENDING, or the final status when the request was completed here.
 * PASSIVE_LEVEL.
 */
static NTSTATUS StagedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, ULONG Length,
                               TransferDirection Direction)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    TransferContext *transfer = &Pipe->Transfer;
    ULONG stageSize = extension->MaxTransferLength;
    ULONG stageCount = Length / stageSize + (Length % stageSize != 0 ? 1 : 0);

    StageContext *stages = static_cast<StageContext *>(
        ExAllocatePoolWithTag(NonPagedPool, stageCount * sizeof(StageContext), MURVO_POOL_TAG));
    if (stages == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteTransferRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(stages, stageCount * sizeof(StageContext));

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    transfer->Stages = stages;
    transfer->BytesTransferred = 0;
    transfer->MasterIrp = Irp;
    transfer->StagesOutstanding = stageCount; // unissued stages keep the count above 0
    transfer->StageCount = stageCount;
    transfer->TransferStatus = STATUS_SUCCESS;
    transfer->Issuing = TRUE;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    NTSTATUS failure = STATUS_SUCCESS;
    ULONG issued = 0;
    for (ULONG k = 0; k < stageCount; k++) {
        if (!CanAcceptIo(DeviceObject)) {
            failure = STATUS_DELETE_PENDING;
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

    if (!NT_SUCCESS(failure) && CanAcceptIo(DeviceObject)) {
        if (!NT_SUCCESS(ResetPipe(DeviceObject, Pipe->PipeInformation))) {
            ResetDevice(DeviceObject);
        }
    }

    // Issuing is over: only the issued stages are still to come.
    PIRP master = NULL;
    NTSTATUS result = STATUS_PENDING;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    if (!NT_SUCCESS(failure) && NT_SUCCESS(transfer->TransferStatus)) {
        transfer->TransferStatus = failure;
    }
    transfer->StagesOutstanding -= stageCount - issued;
    transfer->Issuing = FALSE;
    if (transfer->StagesOutstanding == 0 && !transfer->CancelWalkActive) {
        result = transfer->TransferStatus;
        FinishStagedTransfer(transfer, &master);
    } else {
        Irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(Irp);
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    return result;
}

/*
 * StartTransfer: checks that the unit accepts I/O and that the handle holds an idle pipe,
 * claims the pipe and takes the single or the staged path by the request's length.
 * Returns the request's status or STATUS_PENDING. PASSIVE_LEVEL.
 */
NTSTATUS StartTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferDirection Direction)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    Irp->IoStatus.Information = 0;

    if (!CanAcceptIo(DeviceObject)) {
        return CompleteTransferRequest(Irp, STATUS_DELETE_PENDING);
    }

    // Finding the pipe and claiming it are one step against other requests on the handle
    // and against a restart that releases the pipe table.
    NTSTATUS refusal = STATUS_SUCCESS;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    PipeContext *pipe = PipeOfFile(extension, fileObject);
    if (pipe == NULL) {
        refusal = STATUS_INVALID_HANDLE;
    } else if (pipe->Transfer.Busy || pipe->Transfer.MasterIrp != NULL || pipe->Transfer.SingleUrb != NULL) {
        refusal = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        pipe->Transfer.Busy = TRUE;
        KeClearEvent(&pipe->Transfer.TransferDone);
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (refusal != STATUS_SUCCESS) {
        return CompleteTransferRequest(Irp, refusal);
    }

    ULONG length = Irp->MdlAddress ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    if (length <= extension->MaxTransferLength) {
        return SingleTransfer(DeviceObject, Irp, pipe, Direction);
    }
    if (pipe->PipeInformation == NULL) {
        ReleaseClaim(extension, pipe);
        return CompleteTransferRequest(Irp, STATUS_INVALID_HANDLE);
    }
    return StagedTransfer(DeviceObject, Irp, pipe, length, Direction);
}

/*
 * SingleTransfer: sends the caller's claimed request itself down with one bulk URB.
 * Returns STATUS_PENDING once it went down, or the refusal's status. PASSIVE_LEVEL.
 */
NTSTATUS SingleTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PipeContext *Pipe, TransferDirection Direction)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (Pipe->PipeInformation == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteTransferRequest(Irp, STATUS_INVALID_HANDLE);
    }
    PURB urb = BuildBulkUrb(DeviceObject, Irp, Pipe->PipeInformation, Direction);
    if (urb == NULL) {
        ReleaseClaim(extension, Pipe);
        return CompleteTransferRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
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
NTSTATUS NTAPI OnSingleTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
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
NTSTATUS NTAPI OnStageComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
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
    if (transfer->CancelWalkActive) {
        // The walk may still pass this request to IoCancelIrp; it frees it when done.
        stage->Completed = TRUE;
    } else {
        ReleaseStageResources(stage);
        if (transfer->StagesOutstanding == 0 && !transfer->Issuing) {
            FinishStagedTransfer(transfer, &master);
        }
    }
    KeReleaseSpinLock(&extension->StageLock, oldIrql);

    if (master != NULL) {
        IoCompleteRequest(master, IO_NO_INCREMENT);
    }
    IoDecrement(ownDevice);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
