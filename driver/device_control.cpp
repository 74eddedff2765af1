/*
 * device_control.cpp - the three device-control requests of murvousb.
 *
 * IOCTL_GET_CONFIG_DESCRIPTOR copies the configuration descriptor read at the last start,
 * IOCTL_RESET_DEVICE resets the unit's port when it was disabled, IOCTL_RESET_PIPE resets
 * the pipe that the handle holds. All are buffered and complete before the dispatch returns.
 */
#include "driver/murvousb.h"

/*
 * CopyConfigDescriptor: copies the held configuration descriptor into the request's system
 * buffer. Never copies more than the bytes the driver holds. Returns STATUS_SUCCESS with
 * Information set, STATUS_DEVICE_DATA_ERROR without a descriptor, STATUS_INVALID_PARAMETER
 * when the output buffer is shorter than the descriptor.
 */
static NTSTATUS CopyConfigDescriptor(DeviceExtension *Extension, PIRP Irp, ULONG OutputLength)
{
    if (Extension->ConfigDescriptor == NULL || Extension->ConfigDescriptorLength == 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ULONG length = Extension->ConfigDescriptorLength;
    if (OutputLength < length || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Extension->ConfigDescriptor, length);
    Irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

/*
 * ResetPipeOfHandle: resets the pipe the handle holds, disregarding the reset's outcome.
 * Returns STATUS_INVALID_PARAMETER for a handle without a (current) pipe. PASSIVE_LEVEL.
 */
static NTSTATUS ResetPipeOfHandle(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StageLock, &oldIrql);
    PipeContext *pipe = PipeOfFile(extension, FileObject);
    PUSBD_PIPE_INFORMATION information = pipe != NULL ? pipe->PipeInformation : NULL;
    KeReleaseSpinLock(&extension->StageLock, oldIrql);
    if (information == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ResetPipe(DeviceObject, information);
    return STATUS_SUCCESS;
}

/*
 * DispatchDeviceControl: the IRP_MJ_DEVICE_CONTROL routine. Counts itself in
 * PendingIoCount, acts on the code and completes the request.
 * Returns the request's status: STATUS_DELETE_PENDING when the unit does not accept I/O,
 * STATUS_INVALID_PARAMETER for an unknown code. PASSIVE_LEVEL.
 */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    IoIncrement(DeviceObject);
    BeginIoDispatch(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    if (!CanContinueIo(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_GET_CONFIG_DESCRIPTOR:
            status = CopyConfigDescriptor(extension, Irp, stack->Parameters.DeviceIoControl.OutputBufferLength);
            break;
        case IOCTL_RESET_DEVICE:
            status = ResetDevice(DeviceObject);
            break;
        case IOCTL_RESET_PIPE:
            status = ResetPipeOfHandle(DeviceObject, stack->FileObject);
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
        }
    }

    EndIoDispatch(DeviceObject);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return status;
}
