/*
 * pipe_table.cpp - the pipe records' shared operations and the synchronous USB requests.
 *
 * SubmitUrbSync is the one way a URB is sent down and waited for. On it rest the abort and
 * reset of pipes and, through the port requests, the reset of the unit. The stage bookkeeping
 * (CancelPendingStages among it) lives with the transfers, in transfers.cpp.
 */
#include "driver/murvousb.h"

static NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
static NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);

/*
 * SendInternalRequestSync: builds an internal device-control request with Code for the lower
 * device, puts Argument1 into its stack location, sends it and waits.
 * Returns the request's status, or STATUS_INSUFFICIENT_RESOURCES when none can be built.
 * PASSIVE_LEVEL.
 */
static NTSTATUS SendInternalRequestSync(PDEVICE_OBJECT DeviceObject, ULONG Code, PVOID Argument1)
{
    PAGED_CODE();
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(Code, extension->LowerDevice, NULL, 0, NULL, 0, TRUE, &done, &ioStatus);
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
    PAGED_CODE();
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

/*
 * GetPortStatus: asks the USB stack for the unit's port status.
 * PortStatus receives the 32-bit status (0 when the request fails). PASSIVE_LEVEL.
 */
static NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    PAGED_CODE();
    *PortStatus = 0;
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

/*
 * ResetPort: asks the USB stack to reset the unit's port. PASSIVE_LEVEL.
 */
static NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    return SendInternalRequestSync(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

/*
 * ResetDevice: resets the unit's port when the unit is connected but its port disabled.
 * Returns the status of the port reset in that case, else that of the status query.
 * PASSIVE_LEVEL.
 */
NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
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
    PAGED_CODE();
    PURB urb =
        static_cast<PURB>(ExAllocatePoolWithTag(MurvoNonPagedPool, sizeof(struct _URB_PIPE_REQUEST), MURVO_POOL_TAG));
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
    PAGED_CODE();
    return SendPipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, PipeInformation->PipeHandle);
}

/*
 * AbortOpenPipes: aborts every open pipe in table order, marks it closed and takes it off
 * OpenPipes. Stops at the first failing allocation or abort and returns its status, else
 * STATUS_SUCCESS. PASSIVE_LEVEL.
 */
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
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
