/*
 * rig_bus.cpp - murvorig.sys, the Wine rig's bus driver (a test fixture, never shipped).
 *
 * A root-enumerated bus with one unit on it. Its function device object reports the unit's
 * physical device object in its bus relations; that object answers the plug-and-play queries
 * a USB bus driver answers for a device (identifiers with the unit's hardware ID, text,
 * capabilities) and serves the internal USB requests of the unit's function driver: device
 * and configuration descriptors, select configuration, pipe reset and abort, port status and
 * port reset. Bulk transfers fail as from a unit that does not answer: under Wine no pipe
 * of the unit can be opened, so none reaches the bus. A control device (\\.\MurvoRig) gives
 * the rig's program the bus's log and unplugs the unit.
 *
 * The bus answers as a USB bus driver of Windows answers (see "Internal IOCTLs for USB
 * drivers" and "IRP_MN_QUERY_ID"); its capabilities keep every sleep state's device state
 * at D3 with no wake, so the function driver never asks for a power change of its own.
 */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>

#include "winerig/rig_public.h"

#include <stdarg.h>

/* The C runtime routines the kernel exports. */
extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args);
extern "C" int __cdecl _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);

#define RIG_POOL_TAG 0x6769524D /* 'MRig' */

enum RigObjectKind {
    RigBus,
    RigUnit,
    RigControl
};

struct RIG_EXTENSION {
    RigObjectKind Kind;
    PDEVICE_OBJECT LowerDevice; /* bus: the root device below it */
};

/* The bus's state, one per driver: there is one bus. */
static struct {
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT Bus;
    PDEVICE_OBJECT BusPdo;
    PDEVICE_OBJECT Unit; /* the unit's physical device object, once made */
    PDEVICE_OBJECT Control;
    BOOLEAN Plugged;
    BOOLEAN Configured;
    char Log[RIG_LOG_SIZE];
    ULONG LogLength;
} Rig;

/* The unit's descriptors: a vendor-specific full-speed device with one configuration and one
 * interface; endpoint 0x81 bulk IN and 0x02 bulk OUT, 64-byte packets. */
static const UCHAR UnitDeviceDescriptor[18] = {18,
                                               USB_DEVICE_DESCRIPTOR_TYPE,
                                               0x10,
                                               0x01,
                                               0xff,
                                               0,
                                               0,
                                               64,
                                               MURVO_USB_VENDOR_ID & 0xff,
                                               MURVO_USB_VENDOR_ID >> 8,
                                               MURVO_USB_PRODUCT_ID & 0xff,
                                               MURVO_USB_PRODUCT_ID >> 8,
                                               0x00,
                                               0x01,
                                               0,
                                               0,
                                               0,
                                               1};
static const UCHAR UnitConfigDescriptor[32] = {9,
                                               USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                               32,
                                               0,
                                               1,
                                               1,
                                               0,
                                               0x80,
                                               50,
                                               9,
                                               USB_INTERFACE_DESCRIPTOR_TYPE,
                                               0,
                                               0,
                                               2,
                                               0xff,
                                               0,
                                               0,
                                               0,
                                               7,
                                               USB_ENDPOINT_DESCRIPTOR_TYPE,
                                               0x81,
                                               USB_ENDPOINT_TYPE_BULK,
                                               64,
                                               0,
                                               0,
                                               7,
                                               USB_ENDPOINT_DESCRIPTOR_TYPE,
                                               0x02,
                                               USB_ENDPOINT_TYPE_BULK,
                                               64,
                                               0,
                                               0};

#define RIG_CONFIGURATION_HANDLE ((USBD_CONFIGURATION_HANDLE)0x52494731)
#define RIG_INTERFACE_HANDLE ((USBD_INTERFACE_HANDLE)0x52494732)
#define RIG_PIPE_HANDLE(endpoint) ((USBD_PIPE_HANDLE)(ULONG_PTR)(0x52490000 | (endpoint)))

static void RigLog(const char *format, ...)
{
    char line[160];
    va_list args;
    va_start(args, format);
    _vsnprintf(line, sizeof(line) - 2, format, args);
    va_end(args);
    line[sizeof(line) - 2] = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Rig.Lock, &irql);
    for (const char *c = line; *c != 0 && Rig.LogLength + 1 < RIG_LOG_SIZE; c++) {
        Rig.Log[Rig.LogLength++] = *c;
    }
    if (Rig.LogLength + 1 < RIG_LOG_SIZE) {
        Rig.Log[Rig.LogLength++] = '\n';
    }
    KeReleaseSpinLock(&Rig.Lock, irql);
}

/* The request's stack locations: 1 when it was made for the unit's physical device object
 * alone, more when it was sent to the top of the unit's device stack and came down it. */
static int StackLocations(PIRP Irp) { return Irp->StackCount; }

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static RIG_EXTENSION *Extension(PDEVICE_OBJECT DeviceObject) { return (RIG_EXTENSION *)DeviceObject->DeviceExtension; }

/* A multi-string (or string when the second part is absent) in paged pool, as IRP_MN_QUERY_ID
 * returns it: the caller frees it. */
static PWCHAR PoolStrings(const WCHAR *first, const WCHAR *second)
{
    SIZE_T firstLength = wcslen(first) + 1;
    SIZE_T secondLength = second != NULL ? wcslen(second) + 1 : 0;
    SIZE_T total = firstLength + secondLength + 1;
    PWCHAR text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, total * sizeof(WCHAR), RIG_POOL_TAG);
    if (text == NULL) {
        return NULL;
    }
    RtlCopyMemory(text, first, firstLength * sizeof(WCHAR));
    if (second != NULL) {
        RtlCopyMemory(text + firstLength, second, secondLength * sizeof(WCHAR));
    }
    text[total - 1] = 0;
    return text;
}

static void HardwareId(WCHAR *id, SIZE_T size, BOOLEAN withRevision)
{
    if (withRevision) {
        _snwprintf(id, size, L"USB\\VID_%04X&PID_%04X&REV_0100", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    } else {
        _snwprintf(id, size, L"USB\\VID_%04X&PID_%04X", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    }
    id[size - 1] = 0;
}

static NTSTATUS UnitQueryId(PIRP Irp, BUS_QUERY_ID_TYPE Type)
{
    WCHAR plain[64], revision[64];
    HardwareId(plain, 64, FALSE);
    HardwareId(revision, 64, TRUE);
    PWCHAR text = NULL;
    switch (Type) {
    case BusQueryDeviceID:
        text = PoolStrings(plain, NULL);
        RigLog("unit QUERY_ID DeviceID stack %d", StackLocations(Irp));
        break;
    case BusQueryHardwareIDs:
        text = PoolStrings(revision, plain);
        RigLog("unit QUERY_ID HardwareIDs stack %d", StackLocations(Irp));
        break;
    case BusQueryCompatibleIDs:
        text = PoolStrings(L"USB\\Class_ff&SubClass_00&Prot_00", L"USB\\Class_ff");
        RigLog("unit QUERY_ID CompatibleIDs stack %d", StackLocations(Irp));
        break;
    case BusQueryInstanceID:
        text = PoolStrings(L"1", NULL);
        RigLog("unit QUERY_ID InstanceID stack %d", StackLocations(Irp));
        break;
    default:
        RigLog("unit QUERY_ID %d stack %d (not answered)", (int)Type, StackLocations(Irp));
        return Irp->IoStatus.Status;
    }
    if (text == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Information = (ULONG_PTR)text;
    return STATUS_SUCCESS;
}

static NTSTATUS UnitQueryCapabilities(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = 1;
    caps->UINumber = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++) {
        caps->DeviceState[state] = PowerDeviceD3;
    }
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    RigLog("unit QUERY_CAPABILITIES stack %d", StackLocations(Irp));
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI UnitPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        status = UnitQueryId(Irp, stack->Parameters.QueryId.IdType);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = UnitQueryCapabilities(Irp, stack);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        RigLog("unit QUERY_DEVICE_TEXT %d stack %d", (int)stack->Parameters.QueryDeviceText.DeviceTextType,
               StackLocations(Irp));
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR text = PoolStrings(L"MURVO unit (Wine rig)", NULL);
            status = text != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            Irp->IoStatus.Information = (ULONG_PTR)text;
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), RIG_POOL_TAG);
            if (relations == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = DeviceObject;
            ObReferenceObject(DeviceObject);
            Irp->IoStatus.Information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_START_DEVICE:
        RigLog("unit START_DEVICE stack %d", StackLocations(Irp));
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        RigLog("unit SURPRISE_REMOVAL stack %d", StackLocations(Irp));
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        RigLog("unit REMOVE_DEVICE stack %d", StackLocations(Irp));
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        if (!Rig.Plugged) {
            /* Gone from the bus: the object goes with the last report of it. */
            Rig.Unit = NULL;
            IoDeleteDevice(DeviceObject);
        }
        return STATUS_SUCCESS;
    }
    default:
        RigLog("unit PNP 0x%02x stack %d (not answered)", stack->MinorFunction, StackLocations(Irp));
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static const char *UrbName(USHORT Function)
{
    switch (Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return "GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return "SELECT_CONFIGURATION";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_ABORT_PIPE:
        return "ABORT_PIPE";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_SYNC_RESET_PIPE:
        return "SYNC_RESET_PIPE";
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return "SYNC_CLEAR_STALL";
    default:
        return "other";
    }
}

static NTSTATUS UrbStatus(PURB Urb, USBD_STATUS Status, NTSTATUS Result)
{
    Urb->UrbHeader.Status = Status;
    return Result;
}

static NTSTATUS GetDescriptor(PURB Urb)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    const UCHAR *source;
    ULONG available;
    if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = UnitDeviceDescriptor;
        available = sizeof(UnitDeviceDescriptor);
    } else if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request->Index == 0) {
        source = UnitConfigDescriptor;
        available = sizeof(UnitConfigDescriptor);
    } else {
        return UrbStatus(Urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    ULONG length = request->TransferBufferLength < available ? request->TransferBufferLength : available;
    PVOID buffer = request->TransferBuffer;
    if (buffer == NULL && request->TransferBufferMDL != NULL) {
        buffer = MmGetSystemAddressForMdlSafe(request->TransferBufferMDL, NormalPagePriority);
    }
    if (buffer == NULL) {
        return UrbStatus(Urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    RtlCopyMemory(buffer, source, length);
    request->TransferBufferLength = length;
    RigLog("urb GET_DESCRIPTOR type %u length %lu", request->DescriptorType, (unsigned long)length);
    return UrbStatus(Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

static NTSTATUS SelectConfiguration(PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *select = &Urb->UrbSelectConfiguration;
    if (select->ConfigurationDescriptor == NULL) {
        Rig.Configured = FALSE;
        RigLog("urb SELECT_CONFIGURATION none");
        return UrbStatus(Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    PUSBD_INTERFACE_INFORMATION iface = &select->Interface;
    ULONG needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION);
    if (iface->Length < needed || iface->InterfaceNumber != 0 || iface->AlternateSetting != 0) {
        RigLog("urb SELECT_CONFIGURATION refused (interface length %u)", iface->Length);
        return UrbStatus(Urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    static const UCHAR endpoints[2] = {0x81, 0x02};
    for (ULONG i = 0; i < 2; i++) {
        PUSBD_PIPE_INFORMATION pipe = &iface->Pipes[i];
        pipe->MaximumPacketSize = 64;
        pipe->EndpointAddress = endpoints[i];
        pipe->Interval = 0;
        pipe->PipeType = UsbdPipeTypeBulk;
        pipe->PipeHandle = RIG_PIPE_HANDLE(endpoints[i]);
        if (pipe->MaximumTransferSize == 0) {
            pipe->MaximumTransferSize = 4096;
        }
    }
    iface->Class = 0xff;
    iface->SubClass = 0;
    iface->Protocol = 0;
    iface->NumberOfPipes = 2;
    iface->InterfaceHandle = RIG_INTERFACE_HANDLE;
    select->ConfigurationHandle = RIG_CONFIGURATION_HANDLE;
    Rig.Configured = TRUE;
    RigLog("urb SELECT_CONFIGURATION 1 (interface length %u)", iface->Length);
    return UrbStatus(Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

static NTSTATUS SubmitUrb(PIRP Irp)
{
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    if (!Rig.Plugged) {
        RigLog("urb %s after unplug", UrbName(urb->UrbHeader.Function));
        return UrbStatus(urb, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &urb->UrbBulkOrInterruptTransfer;
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x%02lx length %lu",
               (unsigned long)((ULONG_PTR)transfer->PipeHandle & 0xff), (unsigned long)transfer->TransferBufferLength);
        return UrbStatus(urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        RigLog("urb %s pipe 0x%02lx", UrbName(urb->UrbHeader.Function),
               (unsigned long)((ULONG_PTR)urb->UrbPipeRequest.PipeHandle & 0xff));
        return UrbStatus(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    default:
        RigLog("urb function 0x%04x refused", urb->UrbHeader.Function);
        return UrbStatus(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

static NTSTATUS UnitInternalControl(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return Complete(Irp, SubmitUrb(Irp), 0);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        PULONG portStatus = (PULONG)stack->Parameters.Others.Argument1;
        *portStatus = Rig.Plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        RigLog("port status 0x%lx", (unsigned long)*portStatus);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        RigLog("port reset");
        Rig.Configured = FALSE;
        return Complete(Irp, Rig.Plugged ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
    default:
        RigLog("internal control 0x%lx refused", (unsigned long)stack->Parameters.DeviceIoControl.IoControlCode);
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes the request to the device below and waits for it there (Wine's kernel has no
 * IoForwardIrpSynchronously). */
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RIG_EXTENSION *extension = Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(extension->LowerDevice, Irp);
        RigLog("bus START_DEVICE 0x%08lx", (unsigned long)status);
        Complete(Irp, status, 0);
        if (NT_SUCCESS(status)) {
            IoInvalidateDeviceRelations(Rig.BusPdo, BusRelations);
        }
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            if (Rig.Plugged && Rig.Unit == NULL) {
                PDEVICE_OBJECT unit;
                NTSTATUS status = IoCreateDevice(DeviceObject->DriverObject, sizeof(RIG_EXTENSION), NULL,
                                                 FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &unit);
                if (!NT_SUCCESS(status)) {
                    return Complete(Irp, status, 0);
                }
                Extension(unit)->Kind = RigUnit;
                Extension(unit)->LowerDevice = NULL;
                unit->Flags &= ~DO_DEVICE_INITIALIZING;
                Rig.Unit = unit;
            }
            ULONG count = Rig.Plugged ? 1 : 0;
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), RIG_POOL_TAG);
            if (relations == NULL) {
                return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            relations->Count = count;
            if (count != 0) {
                relations->Objects[0] = Rig.Unit;
                ObReferenceObject(Rig.Unit);
            }
            RigLog("bus QUERY_DEVICE_RELATIONS BusRelations: %lu unit", (unsigned long)count);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = (ULONG_PTR)relations;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        RigLog("bus REMOVE_DEVICE");
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(DeviceObject);
        Rig.Bus = NULL;
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_RIG_GET_LOG: {
        KIRQL irql;
        KeAcquireSpinLock(&Rig.Lock, &irql);
        ULONG length = Rig.LogLength;
        if (length > stack->Parameters.DeviceIoControl.OutputBufferLength) {
            length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        }
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Rig.Log, length);
        KeReleaseSpinLock(&Rig.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, length);
    }
    case IOCTL_RIG_UNPLUG:
        RigLog("bus unplug");
        Rig.Plugged = FALSE;
        if (Rig.BusPdo != NULL) {
            IoInvalidateDeviceRelations(Rig.BusPdo, BusRelations);
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (Extension(DeviceObject)->Kind) {
    case RigBus:
        return BusPnp(DeviceObject, Irp);
    case RigUnit:
        return UnitPnp(DeviceObject, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RIG_EXTENSION *extension = Extension(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (extension->Kind == RigBus) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(extension->LowerDevice, Irp);
    }
    RigLog("unit POWER 0x%02x stack %d", IoGetCurrentIrpStackLocation(Irp)->MinorFunction, StackLocations(Irp));
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RIG_EXTENSION *extension = Extension(DeviceObject);
    if (extension->Kind == RigControl) {
        return ControlRequest(Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (extension->Kind == RigUnit && stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        return UnitInternalControl(Irp);
    }
    if (extension->Kind == RigBus) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(extension->LowerDevice, Irp);
    }
    return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (Rig.Bus != NULL) {
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    PDEVICE_OBJECT bus;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(RIG_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension(bus)->Kind = RigBus;
    Extension(bus)->LowerDevice = IoAttachDeviceToDeviceStack(bus, PhysicalDeviceObject);
    if (Extension(bus)->LowerDevice == NULL) {
        IoDeleteDevice(bus);
        return STATUS_NO_SUCH_DEVICE;
    }
    Rig.Bus = bus;
    Rig.BusPdo = PhysicalDeviceObject;
    bus->Flags &= ~DO_DEVICE_INITIALIZING;
    RigLog("bus AddDevice");
    return STATUS_SUCCESS;
}

static void NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, RIG_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (Rig.Control != NULL) {
        IoDeleteDevice(Rig.Control);
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeSpinLock(&Rig.Lock);
    Rig.Plugged = TRUE;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = DispatchOther;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, RIG_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, RIG_CONTROL_LINK_NAME);
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(RIG_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Rig.Control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension(Rig.Control)->Kind = RigControl;
    Extension(Rig.Control)->LowerDevice = NULL;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(Rig.Control);
        return status;
    }
    Rig.Control->Flags &= ~DO_DEVICE_INITIALIZING;
    RigLog("DriverEntry");
    return STATUS_SUCCESS;
}
