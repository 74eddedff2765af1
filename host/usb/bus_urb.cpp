/*
 * bus_urb.cpp - the internal device-control requests of a unit's device object: URBs and
 * the two port requests.
 *
 * Every request is checked first, as the verifier checks requests: a URB whose Length does
 * not fit its function, a pipe handle that is stale (from an earlier configuration),
 * foreign (another unit's) or made up, a transfer against the pipe's direction, a transfer while unconfigured, any request after
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
static PVOID MakeHandle(const BusUnit *Unit, uint32_t Kind, uint32_t Index)
{
    uintptr_t value = ((uintptr_t)(Unit->Serial & 0x7f) << 24) | ((uintptr_t)(Unit->ConfigGeneration & 0xfff) << 12) |
                      ((uintptr_t)Kind << 8) | (uintptr_t)(Index & 0xff);
    return (PVOID)(value | 0x80000000u);
}

/* Completes a request at once with the two statuses; returns the request status. */
static NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, USBD_STATUS UsbdStatus, NTSTATUS Status)
{
    if (Urb != NULL) {
        Urb->UrbHeader.Status = UsbdStatus;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS FailUrb(PIRP Irp, PURB Urb, USBD_STATUS UsbdStatus)
{
    return CompleteUrb(Irp, Urb, UsbdStatus, BusNtStatus(UsbdStatus));
}

/* Reports a request that must come at PASSIVE_LEVEL and does not. */
static void CheckPassive(PIRP Irp, const char *What)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        BusReport("URB_IRQL", Irp, "%s sent at IRQL %u; it must be sent at PASSIVE_LEVEL", What,
                  (unsigned)KeGetCurrentIrql());
    }
}

/* Checks Hdr.Length against the size the function needs; reports a mismatch. */
static bool CheckLength(PIRP Irp, PURB Urb, size_t Expected, const char *Function)
{
    if (Urb->UrbHeader.Length == Expected) {
        return true;
    }
    BusReport("URB_BAD_LENGTH", Irp, "%s URB with Hdr.Length %u; it must be %u", Function,
              (unsigned)Urb->UrbHeader.Length, (unsigned)Expected);
    return false;
}

/* Finds the pipe of a handle, reporting what is wrong with a handle that names none.
 * Caller holds the lock. */
static BusPipe *DecodePipe(BusUnit *Unit, PIRP Irp, USBD_PIPE_HANDLE Handle, const char *Function)
{
    uintptr_t value = (uintptr_t)Handle;
    uint32_t serial = (uint32_t)((value >> 24) & 0x7f);
    uint32_t generation = (uint32_t)((value >> 12) & 0xfff);
    uint32_t kind = (uint32_t)((value >> 8) & 0xf);
    uint32_t index = (uint32_t)(value & 0xff);
    if (!Unit->Configured) {
        BusReport("URB_NOT_CONFIGURED", Irp, "%s on pipe handle %p while the unit on port %d is unconfigured", Function,
                  Handle, Unit->Port);
        return NULL;
    }
    if ((value & 0x80000000u) == 0 || kind != HANDLE_PIPE || (value >> 32) != 0) {
        BusReport("URB_BAD_PIPE_HANDLE", Irp, "%s with %p, which is no pipe handle", Function, Handle);
        return NULL;
    }
    if (serial != (Unit->Serial & 0x7f)) {
        BusReport("URB_BAD_PIPE_HANDLE", Irp, "%s with pipe handle %p of another unit, sent to the unit on port %d",
                  Function, Handle, Unit->Port);
        return NULL;
    }
    if (generation != (Unit->ConfigGeneration & 0xfff)) {
        BusReport("URB_BAD_PIPE_HANDLE", Irp,
                  "%s with stale pipe handle %p: its configuration was replaced or unconfigured since", Function,
                  Handle);
        return NULL;
    }
    if (index >= Unit->PipeCount) {
        BusReport("URB_BAD_PIPE_HANDLE", Irp, "%s with pipe handle %p of no pipe of the configuration", Function,
                  Handle);
        return NULL;
    }
    return &Unit->Pipes[index];
}

/* The bytes of a transfer: the MDL when there is one, else TransferBuffer. Reports a
 * buffer that cannot hold length bytes. */
static uint8_t *TransferBytes(PIRP Irp, PMDL Mdl, PVOID Buffer, ULONG Length, const char *Function)
{
    if (Mdl != NULL) {
        if (MmGetMdlByteCount(Mdl) < Length) {
            BusReport("URB_BAD_BUFFER", Irp, "%s of %lu bytes with an MDL of %lu bytes", Function,
                      (unsigned long)Length, (unsigned long)MmGetMdlByteCount(Mdl));
            return NULL;
        }
        return (uint8_t *)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
    }
    if (Buffer == NULL && Length > 0) {
        BusReport("URB_BAD_BUFFER", Irp, "%s of %lu bytes with neither TransferBuffer nor TransferBufferMDL", Function,
                  (unsigned long)Length);
    }
    return (uint8_t *)Buffer;
}

/* URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: the device or configuration descriptor, as
 * many bytes as asked for and the device has; completed from the controller thread. */
static NTSTATUS GetDescriptor(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    if (!CheckLength(Irp, Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "GET_DESCRIPTOR_FROM_DEVICE")) {
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    uint8_t *target = TransferBytes(Irp, request->TransferBufferMDL, request->TransferBuffer,
                                    request->TransferBufferLength, "GET_DESCRIPTOR_FROM_DEVICE");
    if (target == NULL && request->TransferBufferLength > 0) {
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = Unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    const uint8_t *source = NULL;
    uint32_t available = 0;
    if (!Unit->Connected) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (!Unit->PortEnabled || Unit->PowerState != PowerDeviceD0) {
        status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request->Index == 0) {
        source = Unit->Descriptors.Device;
        available = sizeof(Unit->Descriptors.Device);
    } else if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request->Index == 0) {
        source = Unit->Descriptors.Config;
        available = Unit->Descriptors.ConfigLength;
    } else {
        status = USBD_STATUS_STALL_PID; /* the unit has no such descriptor and stalls the request */
    }
    if (!USBD_SUCCESS(status)) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, status);
    }
    uint32_t count = request->TransferBufferLength < available ? request->TransferBufferLength : available;
    if (count > 0) {
        memcpy(target, source, count);
    }
    request->TransferBufferLength = count;

    BusTransfer *transfer = (BusTransfer *)calloc(1, sizeof(BusTransfer));
    if (transfer == NULL) {
        hold.unlock();
        return FailUrb(Irp, Urb, USBD_STATUS_NO_MEMORY);
    }
    transfer->Irp = Irp;
    transfer->Urb = Urb;
    transfer->Unit = Unit;
    IoMarkIrpPending(Irp);
    Unit->Outstanding++;
    BusFinishLocked(transfer, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return STATUS_PENDING;
}

void BusUnconfigureLocked(BusUnit *Unit, USBD_STATUS Status, NTSTATUS IrpStatus)
{
    BusFailUnitLocked(Unit, Status, IrpStatus);
    Unit->PipeCount = 0;
    Unit->Configured = false;
    Unit->ConfigGeneration++;
}

/* The endpoint descriptors that belong to an interface descriptor: those after it, up to
 * the next interface descriptor or the end. Returns how many were found (up to max). */
static uint32_t InterfaceEndpoints(PUSB_CONFIGURATION_DESCRIPTOR Config, PUSB_INTERFACE_DESCRIPTOR Iface,
                                   PUSB_ENDPOINT_DESCRIPTOR *Endpoints, uint32_t Max)
{
    uint32_t count = 0;
    ULONG total = Config->wTotalLength;
    PUCHAR end = (PUCHAR)Config + total;
    PUCHAR at = (PUCHAR)Iface + Iface->bLength;
    while (at < end) {
        if (end - at < 2 || at[0] < 2 || at[0] > end - at) {
            break; /* a broken descriptor ends the interface */
        }
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (count < Max) {
                Endpoints[count] = (PUSB_ENDPOINT_DESCRIPTOR)at;
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

/* SelectLengthIsSound: whether the URB's Hdr.Length holds a whole select request (or, to
 * unconfigure, the part before the interface records). Reports the fault when it does not. */
static bool SelectLengthIsSound(PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *select = &Urb->UrbSelectConfiguration;
    if (Urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) && select->ConfigurationDescriptor != NULL) {
        BusReport("URB_BAD_LENGTH", Irp, "SELECT_CONFIGURATION URB with Hdr.Length %u, below %u",
                  (unsigned)Urb->UrbHeader.Length, (unsigned)sizeof(struct _URB_SELECT_CONFIGURATION));
        return false;
    }
    if (select->ConfigurationDescriptor == NULL &&
        Urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
        BusReport("URB_BAD_LENGTH", Irp, "unconfiguring SELECT_CONFIGURATION URB with Hdr.Length %u",
                  (unsigned)Urb->UrbHeader.Length);
        return false;
    }
    return true;
}

/* UnconfigureUnit: the select request without a descriptor. Waits for transfers still queued
 * on the pipes (reporting them), drops the configuration and completes the request. Hold is
 * the bus lock, held on entry and released on return. Returns the request's status. */
static NTSTATUS UnconfigureUnit(BusUnit *Unit, PIRP Irp, PURB Urb, std::unique_lock<std::mutex> &Hold)
{
    /* What the USB stack does with transfers still queued is not documented (one
     * independent implementation waits for each pipe to drain and cancels nothing): a
     * driver must abort its pipes first, and one that does not is reported. In count
     * mode the unconfigure waits for the pipes, as that implementation does. */
    uint32_t queued = QueuedOnPipesLocked(Unit);
    if (queued != 0) {
        Hold.unlock();
        BusReport("URB_UNCONFIGURE_WITH_TRANSFERS", Irp,
                  "SELECT_CONFIGURATION unconfigures the unit on port %d while %u transfer(s) are still queued on "
                  "its pipes (abort the pipes and wait for them first)",
                  Unit->Port, (unsigned)queued);
        Hold.lock();
        Unit->Bus->Changed.wait(Hold, [Unit] { return !Unit->Connected || QueuedOnPipesLocked(Unit) == 0; });
    }
    BusUnconfigureLocked(Unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    Urb->UrbSelectConfiguration.ConfigurationHandle = NULL;
    Hold.unlock();
    return CompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* ConfigDescriptorStatus: whether the unit accepts the configuration descriptor given.
 * Returns USBD_STATUS_SUCCESS, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR for a malformed
 * header, or USBD_STATUS_SET_CONFIG_FAILED for a configuration the unit does not have. */
static USBD_STATUS ConfigDescriptorStatus(const BusUnit *Unit, PUSB_CONFIGURATION_DESCRIPTOR Config)
{
    if (Config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        Config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    if (Unit->Descriptors.ConfigLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Config->bConfigurationValue != Unit->Descriptors.Config[5]) {
        return USBD_STATUS_SET_CONFIG_FAILED; /* the unit stalls SET_CONFIGURATION */
    }
    return USBD_STATUS_SUCCESS;
}

/* MakePipe: fills Pipe from an endpoint descriptor of the unit and the transfer size the
 * driver asked for, and gives it the role its endpoint address has on the unit. */
static void MakePipe(const BusUnit *Unit, PUSB_ENDPOINT_DESCRIPTOR Endpoint, ULONG MaximumTransferSize, BusPipe *Pipe)
{
    memset(Pipe, 0, sizeof(*Pipe));
    Pipe->EndpointAddress = Endpoint->bEndpointAddress;
    Pipe->Interval = Endpoint->bInterval;
    Pipe->Type = Endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK;
    Pipe->MaxPacket = Endpoint->wMaxPacketSize & 0x7ff;
    Pipe->MaxTransferSize = MaximumTransferSize;
    if (Pipe->Type == USB_ENDPOINT_TYPE_BULK && Pipe->EndpointAddress == Unit->FirmwareInAddress) {
        Pipe->Role = BusPipeFirmwareIn;
    } else if (Pipe->Type == USB_ENDPOINT_TYPE_BULK && Pipe->EndpointAddress == Unit->FirmwareOutAddress) {
        Pipe->Role = BusPipeFirmwareOut;
    } else if (Pipe->Type == USB_ENDPOINT_TYPE_BULK && Pipe->EndpointAddress == BUS_LOOPBACK_IN_ENDPOINT) {
        Pipe->Role = BusPipeLoopbackIn;
    } else if (Pipe->Type == USB_ENDPOINT_TYPE_BULK && Pipe->EndpointAddress == BUS_LOOPBACK_OUT_ENDPOINT) {
        Pipe->Role = BusPipeLoopbackOut;
    }
}

/* The pipes a select request would give the unit, built aside before the unit changes. */
struct SelectPlan {
    BusPipe Pipes[BUS_MAX_PIPES];
    uint32_t PipeCount;
    uint32_t Interfaces; /* interface records of the URB that were taken */
};

/* PlanPipes: walks the interface records of a select URB against Config and builds the pipes
 * aside in Plan. Returns false when a record's Length is malformed or too small for its
 * pipes: then the bus lock Hold is released, the fault reported and the request failed, and
 * *Result is its status. Otherwise returns true with *Status USBD_STATUS_SUCCESS, or the
 * status the request is to fail with (interface not found, bad descriptor, bad size). */
static bool PlanPipes(BusUnit *Unit, PIRP Irp, PURB Urb, PUSB_CONFIGURATION_DESCRIPTOR Config,
                      std::unique_lock<std::mutex> &Hold, SelectPlan *Plan, USBD_STATUS *Status, NTSTATUS *Result)
{
    USBD_STATUS status = *Status;
    PUCHAR urbEnd = (PUCHAR)Urb + Urb->UrbHeader.Length;
    PUCHAR at = (PUCHAR)&Urb->UrbSelectConfiguration.Interface;
    Plan->PipeCount = 0;
    Plan->Interfaces = 0;
    while (USBD_SUCCESS(status) && at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urbEnd) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
        if (info->Length == 0 && Plan->Interfaces > 0 &&
            Urb->UrbHeader.Length == sizeof(struct _URB_SELECT_CONFIGURATION)) {
            /* One interface without pipes is shorter than the structure the request must fill
             * at least (USBD_CreateConfigurationRequestEx pads it): the rest is padding. */
            break;
        }
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > urbEnd) {
            Hold.unlock();
            BusReport("URB_BAD_LENGTH", Irp, "SELECT_CONFIGURATION interface %u with Length %u in a URB of %u bytes",
                      Plan->Interfaces, (unsigned)info->Length, (unsigned)Urb->UrbHeader.Length);
            *Result = FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
            return false;
        }
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(Config, Config, info->InterfaceNumber,
                                                                              info->AlternateSetting, -1, -1, -1);
        if (iface == NULL) {
            status = USBD_STATUS_INTERFACE_NOT_FOUND;
            break;
        }
        PUSB_ENDPOINT_DESCRIPTOR endpoints[BUS_MAX_PIPES];
        uint32_t found = InterfaceEndpoints(Config, iface, endpoints, BUS_MAX_PIPES);
        if (found != iface->bNumEndpoints || Plan->PipeCount + found > BUS_MAX_PIPES) {
            status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
            break;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(found)) {
            Hold.unlock();
            BusReport("URB_BAD_LENGTH", Irp,
                      "SELECT_CONFIGURATION interface %u has room for fewer pipes than its %u endpoints",
                      (unsigned)info->InterfaceNumber, found);
            *Result = FailUrb(Irp, Urb, USBD_STATUS_BUFFER_TOO_SMALL);
            return false;
        }
        for (uint32_t i = 0; i < found; i++) {
            ULONG asked = info->Pipes[i].MaximumTransferSize;
            if (asked == USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) {
                asked = HOST_USB_DEFAULT_TRANSFER_SIZE;
            }
            MakePipe(Unit, endpoints[i], asked, &Plan->Pipes[Plan->PipeCount + i]);
        }
        if (!USBD_SUCCESS(status)) {
            break;
        }
        Plan->PipeCount += found;
        Plan->Interfaces++;
        at += info->Length;
    }
    *Status = status;
    return true;
}

/* ApplyPlanLocked: SET_CONFIGURATION on the unit. The old pipes go, the unit resets its endpoints
 * and takes the planned pipes. Caller holds the bus lock. */
static void ApplyPlanLocked(BusUnit *Unit, const SelectPlan *Plan)
{
    BusUnconfigureLocked(Unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    BusInClear(&Unit->InRecords);
    BusInClear(&Unit->LoopRecords);
    SimUnitResetPipes(Unit->Sim);
    memcpy(Unit->Pipes, Plan->Pipes, Plan->PipeCount * sizeof(BusPipe));
    Unit->PipeCount = Plan->PipeCount;
    Unit->Configured = true;
}

/* FillSelectUrbLocked: writes the configuration handle and, in each of the first Interfaces
 * interface records of the URB, the interface's class, handle and pipes as the unit now has
 * them. Caller holds the bus lock. */
static void FillSelectUrbLocked(BusUnit *Unit, PURB Urb, PUSB_CONFIGURATION_DESCRIPTOR Config, uint32_t Interfaces)
{
    struct _URB_SELECT_CONFIGURATION *select = &Urb->UrbSelectConfiguration;
    select->ConfigurationHandle = MakeHandle(Unit, HANDLE_CONFIGURATION, 0);
    PUCHAR at = (PUCHAR)&select->Interface;
    uint32_t pipeIndex = 0;
    for (uint32_t n = 0; n < Interfaces; n++) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(Config, Config, info->InterfaceNumber,
                                                                              info->AlternateSetting, -1, -1, -1);
        info->Class = iface->bInterfaceClass;
        info->SubClass = iface->bInterfaceSubClass;
        info->Protocol = iface->bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = MakeHandle(Unit, HANDLE_INTERFACE, n);
        info->NumberOfPipes = iface->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; i++, pipeIndex++) {
            const BusPipe *pipe = &Unit->Pipes[pipeIndex];
            USBD_PIPE_INFORMATION *out = &info->Pipes[i];
            out->MaximumPacketSize = pipe->MaxPacket;
            out->EndpointAddress = pipe->EndpointAddress;
            out->Interval = pipe->Interval;
            out->PipeType = (USBD_PIPE_TYPE)pipe->Type;
            out->PipeHandle = MakeHandle(Unit, HANDLE_PIPE, pipeIndex);
            out->MaximumTransferSize = pipe->MaxTransferSize;
        }
        at += info->Length;
    }
}

/* URB_FUNCTION_SELECT_CONFIGURATION: selects the configuration of the descriptor given
 * (filling in every interface and pipe), or unconfigures the unit when it is null. */
static NTSTATUS SelectConfiguration(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    CheckPassive(Irp, "SELECT_CONFIGURATION");
    if (!SelectLengthIsSound(Irp, Urb)) {
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = Unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    if (!Unit->Connected) {
        hold.unlock();
        return FailUrb(Irp, Urb, USBD_STATUS_DEVICE_GONE);
    }
    if (!Unit->PortEnabled || Unit->PowerState != PowerDeviceD0) {
        hold.unlock();
        return FailUrb(Irp, Urb, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = Urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (config == NULL) {
        return UnconfigureUnit(Unit, Irp, Urb, hold);
    }

    USBD_STATUS status = ConfigDescriptorStatus(Unit, config);
    SelectPlan plan;
    NTSTATUS failed;
    if (!PlanPipes(Unit, Irp, Urb, config, hold, &plan, &status, &failed)) {
        return failed;
    }
    if (USBD_SUCCESS(status) && plan.Interfaces == 0) {
        status = USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    if (!USBD_SUCCESS(status)) {
        hold.unlock();
        return FailUrb(Irp, Urb, status);
    }

    ApplyPlanLocked(Unit, &plan);
    FillSelectUrbLocked(Unit, Urb, config, plan.Interfaces);
    hold.unlock();
    return CompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: checks the transfer and queues it on its pipe. */
static NTSTATUS BulkTransfer(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *request = &Urb->UrbBulkOrInterruptTransfer;
    if (!CheckLength(Irp, Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), "BULK_OR_INTERRUPT_TRANSFER")) {
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = Unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    if (!Unit->Connected) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_DEVICE_GONE);
    }
    BusPipe *pipe = DecodePipe(Unit, Irp, request->PipeHandle, "BULK_OR_INTERRUPT_TRANSFER");
    if (pipe == NULL) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
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
    }
    if (problem != NULL) {
        hold.unlock();
        BusReport(problem, Irp, "%s", detail);
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    uint8_t *bytes = TransferBytes(Irp, request->TransferBufferMDL, request->TransferBuffer,
                                   request->TransferBufferLength, "BULK_OR_INTERRUPT_TRANSFER");
    if (bytes == NULL && request->TransferBufferLength > 0) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!Unit->PortEnabled || Unit->PowerState != PowerDeviceD0) {
        /* A disabled or suspended port carries nothing. */
        bool suspended = Unit->PortEnabled;
        hold.unlock();
        request->TransferBufferLength = 0;
        return CompleteUrb(Irp, Urb, USBD_STATUS_DEV_NOT_RESPONDING,
                           suspended ? STATUS_DEVICE_NOT_READY : STATUS_UNSUCCESSFUL);
    }
    BusTransfer *transfer = (BusTransfer *)calloc(1, sizeof(BusTransfer));
    if (transfer == NULL) {
        hold.unlock();
        request->TransferBufferLength = 0;
        return FailUrb(Irp, Urb, USBD_STATUS_NO_MEMORY);
    }
    transfer->Irp = Irp;
    transfer->Urb = Urb;
    transfer->Unit = Unit;
    transfer->Pipe = pipe;
    transfer->Buffer = bytes;
    transfer->Length = request->TransferBufferLength;
    transfer->In = in;
    transfer->ShortOk = (request->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    IoMarkIrpPending(Irp);
    if (!BusQueueTransferLocked(Unit, pipe, transfer)) {
        hold.unlock();
        free(transfer);
        request->TransferBufferLength = 0;
        CompleteUrb(Irp, Urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

/* URB_FUNCTION_ABORT_PIPE: every transfer queued on the pipe is completed as cancelled
 * by the controller thread, possibly after the abort itself has completed. */
static NTSTATUS AbortPipe(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    if (!CheckLength(Irp, Urb, sizeof(struct _URB_PIPE_REQUEST), "ABORT_PIPE")) {
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = Unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    BusPipe *pipe = DecodePipe(Unit, Irp, Urb->UrbPipeRequest.PipeHandle, "ABORT_PIPE");
    if (pipe == NULL) {
        hold.unlock();
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
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
    BusFailPipeLocked(Unit, pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    bus->Changed.wait(hold, [&waiting] { return waiting == 0; });
    hold.unlock();
    return CompleteUrb(Irp, Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* URB_FUNCTION_RESET_PIPE (and the two halves of it): clears the halt of an idle pipe and
 * resets the endpoint; refused while transfers are queued on it. */
static NTSTATUS ResetPipe(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    CheckPassive(Irp, "RESET_PIPE");
    if (!CheckLength(Irp, Urb, sizeof(struct _URB_PIPE_REQUEST), "RESET_PIPE")) {
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    HostUsbBus *bus = Unit->Bus;
    std::unique_lock<std::mutex> hold(bus->Lock);
    BusPipe *pipe = DecodePipe(Unit, Irp, Urb->UrbPipeRequest.PipeHandle, "RESET_PIPE");
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (pipe == NULL) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (!Unit->Connected) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (!Unit->PortEnabled || Unit->PowerState != PowerDeviceD0) {
        status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (pipe->Queue.Count > 0) {
        status = USBD_STATUS_ERROR_BUSY;
    } else {
        pipe->Halted = false;
        pipe->BusyUntilUs = 0;
        if (pipe->Role == BusPipeFirmwareIn) {
            BusInClear(&Unit->InRecords);
        } else if (pipe->Role == BusPipeLoopbackIn) {
            BusInClear(&Unit->LoopRecords);
        } else if (pipe->Role == BusPipeFirmwareOut) {
            SimUnitResetPipes(Unit->Sim); /* drops a partly received request */
        }
    }
    hold.unlock();
    return FailUrb(Irp, Urb, status);
}

/* IOCTL_INTERNAL_USB_GET_PORT_STATUS: USBD_PORT_CONNECTED and USBD_PORT_ENABLED. */
static NTSTATUS GetPortStatus(BusUnit *Unit, PIRP Irp, PULONG PortStatus)
{
    CheckPassive(Irp, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
    if (PortStatus == NULL) {
        BusReport("URB_BAD_BUFFER", Irp, "IOCTL_INTERNAL_USB_GET_PORT_STATUS without a place for the status");
        return CompleteUrb(Irp, NULL, 0, STATUS_INVALID_PARAMETER);
    }
    ULONG bits = 0;
    {
        std::lock_guard<std::mutex> hold(Unit->Bus->Lock);
        if (Unit->Connected) {
            bits |= USBD_PORT_CONNECTED;
            if (Unit->PortEnabled) {
                bits |= USBD_PORT_ENABLED;
            }
        }
    }
    *PortStatus = bits;
    return CompleteUrb(Irp, NULL, 0, STATUS_SUCCESS);
}

/* IOCTL_INTERNAL_USB_RESET_PORT: resets the unit on its port and re-enables the port. The
 * unit keeps its address and configuration (pipe handles stay valid); what was queued is
 * cancelled, halts are cleared and the unit's endpoints are reset. */
static NTSTATUS ResetPort(BusUnit *Unit, PIRP Irp)
{
    CheckPassive(Irp, "IOCTL_INTERNAL_USB_RESET_PORT");
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> hold(Unit->Bus->Lock);
        if (!Unit->Connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            BusFailUnitLocked(Unit, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            for (uint32_t i = 0; i < Unit->PipeCount; i++) {
                Unit->Pipes[i].Halted = false;
                Unit->Pipes[i].BusyUntilUs = 0;
            }
            BusInClear(&Unit->InRecords);
            BusInClear(&Unit->LoopRecords);
            SimUnitResetPipes(Unit->Sim);
            Unit->PortEnabled = true;
            Unit->Bus->Changed.notify_all();
        }
    }
    return CompleteUrb(Irp, NULL, 0, status);
}

/* Hands a URB to the routine of its function. */
static NTSTATUS SubmitUrb(BusUnit *Unit, PIRP Irp, PURB Urb)
{
    if (Urb == NULL) {
        BusReport("URB_BAD_LENGTH", Irp, "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
        return CompleteUrb(Irp, NULL, 0, STATUS_INVALID_PARAMETER);
    }
    switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(Unit, Irp, Urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(Unit, Irp, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(Unit, Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(Unit, Irp, Urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return ResetPipe(Unit, Irp, Urb);
    default:
        /* As the USB stack answers a function it does not handle. */
        BusNotModelled("URB function 0x%04x", (unsigned)Urb->UrbHeader.Function);
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS BusDispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusUnit *unit = (BusUnit *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    bool removed;
    {
        std::lock_guard<std::mutex> hold(unit->Bus->Lock);
        removed = unit->Removed;
    }
    if (removed) {
        BusReport("URB_AFTER_REMOVAL", Irp, "internal request 0x%08lx sent to the unit on port %d after REMOVE_DEVICE",
                  (unsigned long)code, unit->Port);
        return CompleteUrb(Irp, NULL, 0, STATUS_DELETE_PENDING);
    }
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(unit, Irp, (PURB)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return GetPortStatus(unit, Irp, (PULONG)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(unit, Irp);
    default:
        BusNotModelled("internal device control 0x%08lx", (unsigned long)code);
        return CompleteUrb(Irp, NULL, 0, STATUS_NOT_SUPPORTED);
    }
}
