/*
 * bus_urb.cpp - the internal device-control requests of a unit's device object: URBs and
 * the two port requests.
 *
 * Every request is checked first, as the verifier checks requests: a URB whose Length does
 * not fit its function, a pipe handle that is stale (from an earlier configuration),
 * foreign (another unit's) or made up, a transfer above the pipe's MaximumTransferSize or
 * against the pipe's direction, a transfer while unconfigured, any request after
 * REMOVE_DEVICE, a request that must come at PASSIVE_LEVEL coming higher. Each is a loud
 * report. What the bus does not model fails with USBD_STATUS_NOT_SUPPORTED.
 *
 * Descriptor requests and data transfers complete on the host-controller thread; the
 * others complete before the dispatch routine returns.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/usb/bus_internal.h"
#include "host/usb/usbdlib.h"

/* Kinds of handle that a unit gives out. */
#define HANDLE_PIPE 1
#define HANDLE_INTERFACE 2
#define HANDLE_CONFIGURATION 3

/* A handle: the unit's serial, the configuration's generation, the kind and an index,
 * so that a handle from another unit or an older configuration is told apart. */
static PVOID MakeHandle(const BusUnit *unit, uint32_t kind, uint32_t index)
{
    uintptr_t value = ((uintptr_t)(unit->Serial & 0x7f) << 24) | ((uintptr_t)(unit->ConfigGeneration & 0xfff) << 12) |
                      ((uintptr_t)kind << 8) | (uintptr_t)(index & 0xff);
    return (PVOID)(value | 0x80000000u);
}

/* Completes a request at once with the two statuses; returns the request status. */
static NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS usbdStatus, NTSTATUS status)
{
    if (urb != NULL) {
        urb->UrbHeader.Status = usbdStatus;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS FailUrb(PIRP irp, PURB urb, USBD_STATUS usbdStatus)
{
    return CompleteUrb(irp, urb, usbdStatus, BusNtStatus(usbdStatus));
}

/* Reports a request that must come at PASSIVE_LEVEL and does not. */
static void CheckPassive(PIRP irp, const char *what)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        BusReport("URB_IRQL", irp, "%s sent at IRQL %u; it must be sent at PASSIVE_LEVEL", what,
                  (unsigned)KeGetCurrentIrql());
    }
}

/* Checks Hdr.Length against the size the function needs; reports a mismatch. */
static bool CheckLength(PIRP irp, PURB urb, size_t expected, const char *function)
{
    if (urb->UrbHeader.Length == expected) {
        return true;
    }
    BusReport("URB_BAD_LENGTH", irp, "%s URB with Hdr.Length %u; it must be %u", function,
              (unsigned)urb->UrbHeader.Length, (unsigned)expected);
    return false;
}

/* Finds the pipe of a handle, reporting what is wrong with a handle that names none.
 * Caller holds the lock. */
static BusPipe *DecodePipe(BusUnit *unit, PIRP irp, USBD_PIPE_HANDLE handle, const char *function)
{
    uintptr_t value = (uintptr_t)handle;
    uint32_t serial = (uint32_t)((value >> 24) & 0x7f);
    uint32_t generation = (uint32_t)((value >> 12) & 0xfff);
    uint32_t kind = (uint32_t)((value >> 8) & 0xf);
    uint32_t index = (uint32_t)(value & 0xff);
    if (!unit->Configured) {
        BusReport("URB_NOT_CONFIGURED", irp, "%s on pipe handle %p while the unit on port %d is unconfigured",
                  function, handle, unit->Port);
        return NULL;
    }
    if ((value & 0x80000000u) == 0 || kind != HANDLE_PIPE || (value >> 32) != 0) {
        BusReport("URB_BAD_PIPE_HANDLE", irp, "%s with %p, which is no pipe handle", function, handle);
        return NULL;
    }
    if (serial != (unit->Serial & 0x7f)) {
        BusReport("URB_BAD_PIPE_HANDLE", irp, "%s with pipe handle %p of another unit, sent to the unit on port %d",
                  function, handle, unit->Port);
        return NULL;
    }
    if (generation != (unit->ConfigGeneration & 0xfff)) {
        BusReport("URB_BAD_PIPE_HANDLE", irp,
                  "%s with stale pipe handle %p: its configuration was replaced or unconfigured since", function,
                  handle);
        return NULL;
    }
    if (index >= unit->PipeCount) {
        BusReport("URB_BAD_PIPE_HANDLE", irp, "%s with pipe handle %p of no pipe of the configuration", function,
                  handle);
        return NULL;
    }
    return &unit->Pipes[index];
}

/* The bytes of a transfer: the MDL when there is one, else TransferBuffer. Reports a
 * buffer that cannot hold length bytes. */
static uint8_t *TransferBytes(PIRP irp, PMDL mdl, PVOID buffer, ULONG length, const char *function)
{
    if (mdl != NULL) {
        if (MmGetMdlByteCount(mdl) < length) {
            BusReport("URB_BAD_BUFFER", irp, "%s of %lu bytes with an MDL of %lu bytes", function,
                      (unsigned long)length, (unsigned long)MmGetMdlByteCount(mdl));
            return NULL;
        }
        return (uint8_t *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }
    if (buffer == NULL && length > 0) {
        BusReport("URB_BAD_BUFFER", irp, "%s of %lu bytes with neither TransferBuffer nor TransferBufferMDL",
                  function, (unsigned long)length);
    }
    return (uint8_t *)buffer;
}

/* URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: the device or configuration descriptor, as
 * many bytes as asked for and the device has; completed from the controller thread. */
static NTSTATUS GetDescriptor(BusUnit *unit, PIRP irp, PURB urb)
{
    if (!CheckLength(irp, urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "GET_DESCRIPTOR_FROM_DEVICE")) {
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &urb->UrbControlDescriptorRequest;
    uint8_t *target = TransferBytes(irp, request->TransferBufferMDL, request->TransferBuffer,
                                    request->TransferBufferLength, "GET_DESCRIPTOR_FROM_DEVICE");
    if (target == NULL && request->TransferBufferLength > 0) {
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    const uint8_t *source = NULL;
    uint32_t available = 0;
    if (!unit->Connected) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (!unit->PortEnabled || unit->PowerState != PowerDeviceD0) {
        status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request->Index == 0) {
        source = unit->Descriptors.Device;
        available = sizeof(unit->Descriptors.Device);
    } else if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request->Index == 0) {
        source = unit->Descriptors.Config;
        available = unit->Descriptors.ConfigLength;
    } else {
        status = USBD_STATUS_STALL_PID; /* the unit has no such descriptor and stalls the request */
    }
    if (!USBD_SUCCESS(status)) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, status);
    }
    uint32_t count = request->TransferBufferLength < available ? request->TransferBufferLength : available;
    if (count > 0) {
        memcpy(target, source, count);
    }
    request->TransferBufferLength = count;

    BusTransfer *transfer = (BusTransfer *)calloc(1, sizeof(BusTransfer));
    if (transfer == NULL) {
        hold.unlock();
        return FailUrb(irp, urb, USBD_STATUS_NO_MEMORY);
    }
    transfer->Irp = irp;
    transfer->Urb = urb;
    transfer->Unit = unit;
    IoMarkIrpPending(irp);
    unit->Outstanding++;
    BusFinishLocked(transfer, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return STATUS_PENDING;
}

void BusUnconfigureLocked(BusUnit *unit, USBD_STATUS status, NTSTATUS irpStatus)
{
    BusFailUnitLocked(unit, status, irpStatus);
    unit->PipeCount = 0;
    unit->Configured = false;
    unit->ConfigGeneration++;
}

/* The endpoint descriptors that belong to an interface descriptor: those after it, up to
 * the next interface descriptor or the end. Returns how many were found (up to max). */
static uint32_t InterfaceEndpoints(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR iface,
                                   PUSB_ENDPOINT_DESCRIPTOR *endpoints, uint32_t max)
{
    uint32_t count = 0;
    ULONG total = config->wTotalLength;
    PUCHAR end = (PUCHAR)config + total;
    PUCHAR at = (PUCHAR)iface + iface->bLength;
    while (at < end) {
        if (end - at < 2 || at[0] < 2 || at[0] > end - at) {
            break; /* a broken descriptor ends the interface */
        }
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (count < max) {
                endpoints[count] = (PUSB_ENDPOINT_DESCRIPTOR)at;
            }
            count++;
        }
        at += at[0];
    }
    return count;
}

/* Transfers queued on the unit's pipes. Caller holds the bus lock. */
static uint32_t QueuedOnPipesLocked(BusUnit *unit)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < unit->PipeCount; i++) {
        for (BusTransfer *t = unit->Pipes[i].Queue.Head; t != NULL; t = t->Next) {
            count++;
        }
    }
    return count;
}

/* URB_FUNCTION_SELECT_CONFIGURATION: selects the configuration of the descriptor given
 * (filling in every interface and pipe), or unconfigures the unit when it is null. */
static NTSTATUS SelectConfiguration(BusUnit *unit, PIRP irp, PURB urb)
{
    CheckPassive(irp, "SELECT_CONFIGURATION");
    struct _URB_SELECT_CONFIGURATION *select = &urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) && select->ConfigurationDescriptor != NULL) {
        BusReport("URB_BAD_LENGTH", irp, "SELECT_CONFIGURATION URB with Hdr.Length %u, below %u",
                  (unsigned)urb->UrbHeader.Length, (unsigned)sizeof(struct _URB_SELECT_CONFIGURATION));
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (select->ConfigurationDescriptor == NULL &&
        urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
        BusReport("URB_BAD_LENGTH", irp, "unconfiguring SELECT_CONFIGURATION URB with Hdr.Length %u",
                  (unsigned)urb->UrbHeader.Length);
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    if (!unit->Connected) {
        hold.unlock();
        return FailUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    if (!unit->PortEnabled || unit->PowerState != PowerDeviceD0) {
        hold.unlock();
        return FailUrb(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = select->ConfigurationDescriptor;
    if (config == NULL) {
        /* What the USB stack does with transfers still queued is not documented (one
         * independent implementation waits for each pipe to drain and cancels nothing): a
         * driver must abort its pipes first, and one that does not is reported. In count
         * mode the unconfigure waits for the pipes, as that implementation does. */
        uint32_t queued = QueuedOnPipesLocked(unit);
        if (queued != 0) {
            hold.unlock();
            BusReport("URB_UNCONFIGURE_WITH_TRANSFERS", irp,
                      "SELECT_CONFIGURATION unconfigures the unit on port %d while %u transfer(s) are still queued on "
                      "its pipes (abort the pipes and wait for them first)",
                      unit->Port, (unsigned)queued);
            hold.lock();
            bus->Changed.wait(hold, [unit] { return !unit->Connected || QueuedOnPipesLocked(unit) == 0; });
        }
        BusUnconfigureLocked(unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        select->ConfigurationHandle = NULL;
        hold.unlock();
        return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }

    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    } else if (unit->Descriptors.ConfigLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
               config->bConfigurationValue != unit->Descriptors.Config[5]) {
        status = USBD_STATUS_SET_CONFIG_FAILED; /* the unit stalls SET_CONFIGURATION */
    }

    /* Walk the interface records of the URB and build the new pipes aside. */
    BusPipe pipes[BUS_MAX_PIPES];
    uint32_t pipeCount = 0;
    PUCHAR urbEnd = (PUCHAR)urb + urb->UrbHeader.Length;
    PUCHAR at = (PUCHAR)&select->Interface;
    uint32_t interfaces = 0;
    while (USBD_SUCCESS(status) && at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urbEnd) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
        if (info->Length == 0 && interfaces > 0 && urb->UrbHeader.Length == sizeof(struct _URB_SELECT_CONFIGURATION)) {
            /* One interface without pipes is shorter than the structure the request must fill
             * at least (USBD_CreateConfigurationRequestEx pads it): the rest is padding. */
            break;
        }
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > urbEnd) {
            hold.unlock();
            BusReport("URB_BAD_LENGTH", irp, "SELECT_CONFIGURATION interface %u with Length %u in a URB of %u bytes",
                      interfaces, (unsigned)info->Length, (unsigned)urb->UrbHeader.Length);
            return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (iface == NULL) {
            status = USBD_STATUS_INTERFACE_NOT_FOUND;
            break;
        }
        PUSB_ENDPOINT_DESCRIPTOR endpoints[BUS_MAX_PIPES];
        uint32_t found = InterfaceEndpoints(config, iface, endpoints, BUS_MAX_PIPES);
        if (found != iface->bNumEndpoints || pipeCount + found > BUS_MAX_PIPES) {
            status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
            break;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(found)) {
            hold.unlock();
            BusReport("URB_BAD_LENGTH", irp,
                      "SELECT_CONFIGURATION interface %u has room for fewer pipes than its %u endpoints",
                      (unsigned)info->InterfaceNumber, found);
            return FailUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        for (uint32_t i = 0; i < found; i++) {
            ULONG asked = info->Pipes[i].MaximumTransferSize;
            if (asked == USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) {
                asked = HOST_USB_DEFAULT_TRANSFER_SIZE;
            }
            if (asked == 0 || asked > HOST_USB_MAX_TRANSFER_SIZE) {
                status = USBD_STATUS_INVALID_PARAMETER;
                break;
            }
            BusPipe *pipe = &pipes[pipeCount + i];
            memset(pipe, 0, sizeof(*pipe));
            pipe->EndpointAddress = endpoints[i]->bEndpointAddress;
            pipe->Interval = endpoints[i]->bInterval;
            pipe->Type = endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK;
            pipe->MaxPacket = endpoints[i]->wMaxPacketSize & 0x7ff;
            pipe->MaxTransferSize = asked;
            if (pipe->Type == USB_ENDPOINT_TYPE_BULK && pipe->EndpointAddress == unit->FirmwareInAddress) {
                pipe->Role = BusPipeFirmwareIn;
            } else if (pipe->Type == USB_ENDPOINT_TYPE_BULK && pipe->EndpointAddress == unit->FirmwareOutAddress) {
                pipe->Role = BusPipeFirmwareOut;
            } else if (pipe->Type == USB_ENDPOINT_TYPE_BULK && pipe->EndpointAddress == BUS_LOOPBACK_IN_ENDPOINT) {
                pipe->Role = BusPipeLoopbackIn;
            } else if (pipe->Type == USB_ENDPOINT_TYPE_BULK && pipe->EndpointAddress == BUS_LOOPBACK_OUT_ENDPOINT) {
                pipe->Role = BusPipeLoopbackOut;
            }
        }
        if (!USBD_SUCCESS(status)) {
            break;
        }
        pipeCount += found;
        interfaces++;
        at += info->Length;
    }
    if (USBD_SUCCESS(status) && interfaces == 0) {
        status = USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    if (!USBD_SUCCESS(status)) {
        hold.unlock();
        return FailUrb(irp, urb, status);
    }

    /* SET_CONFIGURATION: the old pipes go, the unit resets its endpoints. */
    BusUnconfigureLocked(unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    BusInClear(&unit->InRecords);
    BusInClear(&unit->LoopRecords);
    SimUnitResetPipes(unit->Sim);
    memcpy(unit->Pipes, pipes, pipeCount * sizeof(BusPipe));
    unit->PipeCount = pipeCount;
    unit->Configured = true;

    select->ConfigurationHandle = MakeHandle(unit, HANDLE_CONFIGURATION, 0);
    at = (PUCHAR)&select->Interface;
    uint32_t pipeIndex = 0;
    for (uint32_t n = 0; n < interfaces; n++) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        info->Class = iface->bInterfaceClass;
        info->SubClass = iface->bInterfaceSubClass;
        info->Protocol = iface->bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = MakeHandle(unit, HANDLE_INTERFACE, n);
        info->NumberOfPipes = iface->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; i++, pipeIndex++) {
            const BusPipe *pipe = &unit->Pipes[pipeIndex];
            USBD_PIPE_INFORMATION *out = &info->Pipes[i];
            out->MaximumPacketSize = pipe->MaxPacket;
            out->EndpointAddress = pipe->EndpointAddress;
            out->Interval = pipe->Interval;
            out->PipeType = (USBD_PIPE_TYPE)pipe->Type;
            out->PipeHandle = MakeHandle(unit, HANDLE_PIPE, pipeIndex);
            out->MaximumTransferSize = pipe->MaxTransferSize;
        }
        at += info->Length;
    }
    hold.unlock();
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: checks the transfer and queues it on its pipe. */
static NTSTATUS BulkTransfer(BusUnit *unit, PIRP irp, PURB urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *request = &urb->UrbBulkOrInterruptTransfer;
    if (!CheckLength(irp, urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), "BULK_OR_INTERRUPT_TRANSFER")) {
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    if (!unit->Connected) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    BusPipe *pipe = DecodePipe(unit, irp, request->PipeHandle, "BULK_OR_INTERRUPT_TRANSFER");
    if (pipe == NULL) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    bool in = (request->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    bool endpointIn = (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    const char *problem = NULL;
    char detail[160];
    if (pipe->Type != USB_ENDPOINT_TYPE_BULK && pipe->Type != USB_ENDPOINT_TYPE_INTERRUPT) {
        snprintf(detail, sizeof(detail), "transfer on endpoint 0x%02x, which is neither bulk nor interrupt",
                 pipe->EndpointAddress);
        problem = "URB_BAD_PIPE_HANDLE";
    } else if (in != endpointIn) {
        snprintf(detail, sizeof(detail), "%s transfer on %s endpoint 0x%02x", in ? "IN" : "OUT",
                 endpointIn ? "IN" : "OUT", pipe->EndpointAddress);
        problem = "URB_WRONG_DIRECTION";
    } else if (request->TransferBufferLength > pipe->MaxTransferSize) {
        snprintf(detail, sizeof(detail), "transfer of %lu bytes on a pipe of MaximumTransferSize %lu",
                 (unsigned long)request->TransferBufferLength, (unsigned long)pipe->MaxTransferSize);
        problem = "URB_TRANSFER_TOO_LARGE";
    }
    if (problem != NULL) {
        hold.unlock();
        BusReport(problem, irp, "%s", detail);
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    uint8_t *bytes = TransferBytes(irp, request->TransferBufferMDL, request->TransferBuffer,
                                   request->TransferBufferLength, "BULK_OR_INTERRUPT_TRANSFER");
    if (bytes == NULL && request->TransferBufferLength > 0) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!unit->PortEnabled || unit->PowerState != PowerDeviceD0) {
        /* A disabled or suspended port carries nothing. */
        bool suspended = unit->PortEnabled;
        hold.unlock();
        request->TransferBufferLength = 0;
        return CompleteUrb(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING,
                           suspended ? STATUS_DEVICE_NOT_READY : STATUS_UNSUCCESSFUL);
    }
    BusTransfer *transfer = (BusTransfer *)calloc(1, sizeof(BusTransfer));
    if (transfer == NULL) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(irp, urb, USBD_STATUS_NO_MEMORY);
    }
    transfer->Irp = irp;
    transfer->Urb = urb;
    transfer->Unit = unit;
    transfer->Pipe = pipe;
    transfer->Buffer = bytes;
    transfer->Length = request->TransferBufferLength;
    transfer->In = in;
    transfer->ShortOk = (request->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    IoMarkIrpPending(irp);
    if (!BusQueueTransferLocked(unit, pipe, transfer)) {
        hold.unlock();
        free(transfer);
        request->TransferBufferLength = 0;
        CompleteUrb(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

/* URB_FUNCTION_ABORT_PIPE: every transfer queued on the pipe is completed as cancelled
 * by the controller thread, possibly after the abort itself has completed. */
static NTSTATUS AbortPipe(BusUnit *unit, PIRP irp, PURB urb)
{
    if (!CheckLength(irp, urb, sizeof(struct _URB_PIPE_REQUEST), "ABORT_PIPE")) {
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    BusPipe *pipe = DecodePipe(unit, irp, urb->UrbPipeRequest.PipeHandle, "ABORT_PIPE");
    if (pipe == NULL) {
        hold.unlock();
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    /* The abort may complete before or after the transfers it cancels (both are allowed);
     * they complete from the host controller's thread. Under delay fuzzing, half the time
     * the abort waits for them (only at PASSIVE_LEVEL, where waiting is allowed). */
    uint32_t waiting = 0;
    if (pipe->Queue.Head != NULL && KeGetCurrentIrql() == PASSIVE_LEVEL && HostVerifierFuzzChoice()) {
        for (BusTransfer *t = pipe->Queue.Head; t != NULL; t = t->Next) {
            t->Waiter = &waiting;
            waiting++;
        }
    }
    BusFailPipeLocked(unit, pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    bus->Changed.wait(hold, [&waiting] { return waiting == 0; });
    hold.unlock();
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* URB_FUNCTION_RESET_PIPE (and the two halves of it): clears the halt of an idle pipe and
 * resets the endpoint; refused while transfers are queued on it. */
static NTSTATUS ResetPipe(BusUnit *unit, PIRP irp, PURB urb)
{
    CheckPassive(irp, "RESET_PIPE");
    if (!CheckLength(irp, urb, sizeof(struct _URB_PIPE_REQUEST), "RESET_PIPE")) {
        return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    BusPipe *pipe = DecodePipe(unit, irp, urb->UrbPipeRequest.PipeHandle, "RESET_PIPE");
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (pipe == NULL) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (!unit->Connected) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (!unit->PortEnabled || unit->PowerState != PowerDeviceD0) {
        status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (pipe->Queue.Count > 0) {
        status = USBD_STATUS_ERROR_BUSY;
    } else {
        pipe->Halted = false;
        pipe->BusyUntilUs = 0;
        if (pipe->Role == BusPipeFirmwareIn) {
            BusInClear(&unit->InRecords);
        } else if (pipe->Role == BusPipeLoopbackIn) {
            BusInClear(&unit->LoopRecords);
        } else if (pipe->Role == BusPipeFirmwareOut) {
            SimUnitResetPipes(unit->Sim); /* drops a partly received request */
        }
    }
    hold.unlock();
    return FailUrb(irp, urb, status);
}

/* IOCTL_INTERNAL_USB_GET_PORT_STATUS: USBD_PORT_CONNECTED and USBD_PORT_ENABLED. */
static NTSTATUS GetPortStatus(BusUnit *unit, PIRP irp, PULONG portStatus)
{
    CheckPassive(irp, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
    if (portStatus == NULL) {
        BusReport("URB_BAD_BUFFER", irp, "IOCTL_INTERNAL_USB_GET_PORT_STATUS without a place for the status");
        return CompleteUrb(irp, NULL, 0, STATUS_INVALID_PARAMETER);
    }
    ULONG bits = 0;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        if (unit->Connected) {
            bits |= USBD_PORT_CONNECTED;
            if (unit->PortEnabled) {
                bits |= USBD_PORT_ENABLED;
            }
        }
    }
    *portStatus = bits;
    return CompleteUrb(irp, NULL, 0, STATUS_SUCCESS);
}

/* IOCTL_INTERNAL_USB_RESET_PORT: resets the unit on its port and re-enables the port. The
 * unit keeps its address and configuration (pipe handles stay valid); what was queued is
 * cancelled, halts are cleared and the unit's endpoints are reset. */
static NTSTATUS ResetPort(BusUnit *unit, PIRP irp)
{
    CheckPassive(irp, "IOCTL_INTERNAL_USB_RESET_PORT");
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        if (!unit->Connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            BusFailUnitLocked(unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            for (uint32_t i = 0; i < unit->PipeCount; i++) {
                unit->Pipes[i].Halted = false;
                unit->Pipes[i].BusyUntilUs = 0;
            }
            BusInClear(&unit->InRecords);
            BusInClear(&unit->LoopRecords);
            SimUnitResetPipes(unit->Sim);
            unit->PortEnabled = true;
            unit->Bus->Changed.notify_all();
        }
    }
    return CompleteUrb(irp, NULL, 0, status);
}

/* Hands a URB to the routine of its function. */
static NTSTATUS SubmitUrb(BusUnit *unit, PIRP irp, PURB urb)
{
    if (urb == NULL) {
        BusReport("URB_BAD_LENGTH", irp, "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
        return CompleteUrb(irp, NULL, 0, STATUS_INVALID_PARAMETER);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(unit, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(unit, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(unit, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(unit, irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return ResetPipe(unit, irp, urb);
    default:
        /* As the USB stack answers a function it does not handle. */
        BusNotModelled("URB function 0x%04x", (unsigned)urb->UrbHeader.Function);
        return FailUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS BusDispatchInternalControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    BusUnit *unit = (BusUnit *)deviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    bool removed;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        removed = unit->Removed;
    }
    if (removed) {
        BusReport("URB_AFTER_REMOVAL", irp, "internal request 0x%08lx sent to the unit on port %d after REMOVE_DEVICE",
                  (unsigned long)code, unit->Port);
        return CompleteUrb(irp, NULL, 0, STATUS_DELETE_PENDING);
    }
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(unit, irp, (PURB)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return GetPortStatus(unit, irp, (PULONG)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(unit, irp);
    default:
        BusNotModelled("internal device control 0x%08lx", (unsigned long)code);
        return CompleteUrb(irp, NULL, 0, STATUS_NOT_SUPPORTED);
    }
}
