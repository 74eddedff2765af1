/*
 * rig_bus.cpp - murvorig.sys, the Wine rig's bus driver (a test fixture, never shipped).
 *
 * A root-enumerated bus with one unit on it. Its function device object reports the unit's
 * physical device object in its bus relations; that object answers the plug-and-play queries
 * a USB bus driver answers for a device (identifiers with the unit's hardware ID, text,
 * capabilities) and serves the internal USB requests of the unit's function driver: device
 * and configuration descriptors, select configuration, pipe reset and abort, port status and
 * port reset. Bulk transfers reach the simulated unit's firmware, the portable core of
 * unitsim/ (sim_core.h), whose flash lives in the driver's memory; or, as the rig's program
 * chooses, a loopback (the IN pipe gives back what the OUT pipe took) or a unit that never
 * answers. An IN transfer with nothing to give waits, cancellable, until bytes come. A
 * control device (\\.\MurvoRig) gives the rig's program the bus's log, sets the unit's
 * layout, faults and mode, reads its flash back and unplugs it.
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

#include "unitsim/sim_core.h"
#include "winerig/rig_public.h"

#include <stdarg.h>

/* The C runtime routines the kernel exports. */
extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args);
extern "C" int __cdecl _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);

#define RIG_POOL_TAG 0x6769524D /* 'MRig' */
#define RIG_WAITING_SIZE 65536

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

    /* The unit behind the bulk pipes; guarded by UnitLock, like everything below. */
    KSPIN_LOCK UnitLock;
    RigUnitMode Mode;
    SimCore Core;
    PUCHAR FlashMemory;              /* SimCoreFlashBytes, non-paged pool */
    PUCHAR LockMemory;               /* SimCoreLockBytes, non-paged pool */
    UCHAR Waiting[RIG_WAITING_SIZE]; /* bytes for the IN pipe: replies, or the loopback's */
    ULONG WaitingStart, WaitingCount;
    LIST_ENTRY PendingIn; /* IN transfers waiting for bytes (Irp->Tail.Overlay.ListEntry) */
    SimFault BusFault;    /* a bus fault of the firmware, for the reply to come */
    BOOLEAN BusFaultDue;
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

/* The unit: its firmware's hooks, the bytes waiting for the IN pipe and the IN transfers
 * waiting for bytes. Everything here runs under Rig.UnitLock unless it says otherwise. */

static void WaitingAppend(const UCHAR *Bytes, ULONG Length)
{
    ULONG room = RIG_WAITING_SIZE - Rig.WaitingCount;
    if (Length > room) {
        RigLog("unit IN bytes lost: %lu", (unsigned long)(Length - room));
        Length = room;
    }
    for (ULONG i = 0; i < Length; i++) {
        Rig.Waiting[(Rig.WaitingStart + Rig.WaitingCount + i) % RIG_WAITING_SIZE] = Bytes[i];
    }
    Rig.WaitingCount += Length;
}

static ULONG WaitingTake(PUCHAR Buffer, ULONG Length)
{
    ULONG count = Length < Rig.WaitingCount ? Length : Rig.WaitingCount;
    for (ULONG i = 0; i < count; i++) {
        Buffer[i] = Rig.Waiting[(Rig.WaitingStart + i) % RIG_WAITING_SIZE];
    }
    Rig.WaitingStart = (Rig.WaitingStart + count) % RIG_WAITING_SIZE;
    Rig.WaitingCount -= count;
    return count;
}

static void UnitReply(void *Context, const uint8_t *Bytes, size_t Length)
{
    UNREFERENCED_PARAMETER(Context);
    WaitingAppend(Bytes, (ULONG)Length);
}

static void UnitLogLine(void *Context, const char *Line)
{
    UNREFERENCED_PARAMETER(Context);
    RigLog("unit %s", Line);
}

/* Powers the unit on afresh with Config: new flash memory, erased and locked. Called at
 * PASSIVE_LEVEL without the unit lock; false when the memory cannot be had. */
static BOOLEAN UnitPowerOn(RigUnitMode Mode, const SimConfig *Config)
{
    PUCHAR flash = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SimCoreFlashBytes(Config), RIG_POOL_TAG);
    PUCHAR locks = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SimCoreLockBytes(Config), RIG_POOL_TAG);
    if (flash == NULL || locks == NULL) {
        if (flash != NULL) {
            ExFreePoolWithTag(flash, RIG_POOL_TAG);
        }
        if (locks != NULL) {
            ExFreePoolWithTag(locks, RIG_POOL_TAG);
        }
        return FALSE;
    }
    static const SimCoreHooks hooks = {NULL, UnitReply, UnitLogLine, NULL};
    KIRQL irql;
    KeAcquireSpinLock(&Rig.UnitLock, &irql);
    PUCHAR oldFlash = Rig.FlashMemory, oldLocks = Rig.LockMemory;
    SimCoreInit(&Rig.Core, Config, flash, locks, false, &hooks);
    Rig.FlashMemory = flash;
    Rig.LockMemory = locks;
    Rig.Mode = Mode;
    Rig.WaitingStart = 0;
    Rig.WaitingCount = 0;
    Rig.BusFaultDue = FALSE;
    KeReleaseSpinLock(&Rig.UnitLock, irql);
    if (oldFlash != NULL) {
        ExFreePoolWithTag(oldFlash, RIG_POOL_TAG);
        ExFreePoolWithTag(oldLocks, RIG_POOL_TAG);
    }
    RigLog("unit power on: mode %u, flash 0x%lx bytes in %lu blocks, %u faults", (unsigned)Mode,
           (unsigned long)Config->FlashSize, (unsigned long)Config->BlockCount, Config->FaultCount);
    return TRUE;
}

/* The transfer's buffer in system space: its own pointer, or its MDL's mapping. */
static PUCHAR TransferBuffer(struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer)
{
    if (Transfer->TransferBuffer != NULL) {
        return (PUCHAR)Transfer->TransferBuffer;
    }
    if (Transfer->TransferBufferMDL != NULL) {
        return (PUCHAR)MmGetSystemAddressForMdlSafe(Transfer->TransferBufferMDL, NormalPagePriority);
    }
    return NULL;
}

static PURB UrbOf(PIRP Irp) { return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1; }

/* Ends a bulk transfer, without the unit lock. A failed transfer moved nothing: the USB stack
 * writes TransferBufferLength 0 then, whatever was asked. */
static NTSTATUS FinishTransfer(PIRP Irp, ULONG Moved, USBD_STATUS Status, NTSTATUS Result)
{
    PURB urb = UrbOf(Irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = USBD_SUCCESS(Status) ? Moved : 0;
    urb->UrbHeader.Status = Status;
    return Complete(Irp, Result, 0);
}

/* A list of transfers taken off the pending list, to be finished once the lock is let go. */
struct DoneList {
    PIRP Irps[16];
    ULONG Moved[16];
    USBD_STATUS Status[16];
    NTSTATUS Result[16];
    ULONG Count;
};

/* Takes the IN transfers off the pending list that can end now: with bytes while there are
 * some (Status success), or all of them with Status. */
static void TakePendingLocked(DoneList *Done, BOOLEAN All, USBD_STATUS Status, NTSTATUS Result)
{
    PLIST_ENTRY entry = Rig.PendingIn.Flink;
    while (entry != &Rig.PendingIn && Done->Count < 16) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (!All && Rig.WaitingCount == 0) {
            break;
        }
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            continue; /* being cancelled: its cancel routine takes it off */
        }
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        ULONG moved = 0;
        if (!All) {
            struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
            PUCHAR buffer = TransferBuffer(transfer);
            moved = buffer != NULL ? WaitingTake(buffer, transfer->TransferBufferLength) : 0;
        }
        Done->Irps[Done->Count] = irp;
        Done->Moved[Done->Count] = moved;
        Done->Status[Done->Count] = All ? Status : USBD_STATUS_SUCCESS;
        Done->Result[Done->Count] = All ? Result : STATUS_SUCCESS;
        Done->Count++;
    }
}

static void FinishDone(DoneList *Done)
{
    for (ULONG i = 0; i < Done->Count; i++) {
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x81 done: %lu bytes, status 0x%08lx",
               (unsigned long)Done->Moved[i], (unsigned long)Done->Status[i]);
        FinishTransfer(Done->Irps[i], Done->Moved[i], Done->Status[i], Done->Result[i]);
    }
    Done->Count = 0;
}

static void NTAPI CancelPendingIn(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&Rig.UnitLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Rig.UnitLock, irql);
    RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x81 cancelled");
    FinishTransfer(Irp, 0, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

/* Fails every waiting IN transfer (unplug, abort, port reset). */
static void FailPendingIn(USBD_STATUS Status, NTSTATUS Result)
{
    DoneList done;
    done.Count = 0;
    KIRQL irql;
    do {
        FinishDone(&done);
        KeAcquireSpinLock(&Rig.UnitLock, &irql);
        TakePendingLocked(&done, TRUE, Status, Result);
        KeReleaseSpinLock(&Rig.UnitLock, irql);
    } while (done.Count > 0);
}

static void Unplug(void)
{
    RigLog("bus unplug");
    Rig.Plugged = FALSE;
    FailPendingIn(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    if (Rig.BusPdo != NULL) {
        IoInvalidateDeviceRelations(Rig.BusPdo, BusRelations);
    }
}

/* OUT: the bytes go to the firmware (or the loopback); the replies they cause are served to
 * waiting IN transfers. A bus fault the firmware reports for the command is carried out:
 * unplug at once, stall and transfer error on the reply's IN transfer. */
static NTSTATUS BulkOut(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer, PUCHAR Buffer)
{
    ULONG length = Transfer->TransferBufferLength;
    BOOLEAN unplug = FALSE;
    DoneList done;
    done.Count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Rig.UnitLock, &irql);
    if (Rig.Mode == RigUnitLoopback) {
        WaitingAppend(Buffer, length);
    } else if (Rig.Mode == RigUnitFirmware) {
        SimCoreReceive(&Rig.Core, Buffer, length);
        SimFault fault;
        if (SimCoreTakeBusFault(&Rig.Core, &fault)) {
            if (fault.Kind == SimFaultUnplug) {
                Rig.WaitingCount = 0;
                unplug = TRUE;
            } else if (fault.Kind == SimFaultStall || fault.Kind == SimFaultXferError) {
                Rig.BusFault = fault;
                Rig.BusFaultDue = TRUE;
            } else {
                RigLog("unit bus fault %s not simulated by the rig", SimFaultKindName(fault.Kind));
            }
        }
    }
    if (!unplug) {
        TakePendingLocked(&done, FALSE, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    KeReleaseSpinLock(&Rig.UnitLock, irql);
    RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x02 length %lu", (unsigned long)length);
    if (unplug) {
        Unplug();
        return FinishTransfer(Irp, 0, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    FinishDone(&done);
    return FinishTransfer(Irp, length, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

/* IN: bytes waiting are given at once (as many as the transfer holds); otherwise the transfer
 * waits for them, cancellable. */
static NTSTATUS BulkIn(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer, PUCHAR Buffer)
{
    ULONG length = Transfer->TransferBufferLength;
    KIRQL irql;
    KeAcquireSpinLock(&Rig.UnitLock, &irql);
    if (Rig.BusFaultDue) {
        Rig.BusFaultDue = FALSE;
        Rig.WaitingCount = 0; /* the reply is lost with the failed transfer */
        KeReleaseSpinLock(&Rig.UnitLock, irql);
        BOOLEAN stall = Rig.BusFault.Kind == SimFaultStall;
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x81 length %lu: %s", (unsigned long)length,
               stall ? "stall" : "transfer error");
        return FinishTransfer(Irp, 0, stall ? USBD_STATUS_STALL_PID : USBD_STATUS_XACT_ERROR, STATUS_UNSUCCESSFUL);
    }
    if (Rig.WaitingCount > 0 && IsListEmpty(&Rig.PendingIn)) {
        ULONG moved = WaitingTake(Buffer, length);
        KeReleaseSpinLock(&Rig.UnitLock, irql);
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x81 length %lu: %lu bytes", (unsigned long)length,
               (unsigned long)moved);
        return FinishTransfer(Irp, moved, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&Rig.PendingIn, &Irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(Irp, CancelPendingIn);
    BOOLEAN cancelled = Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    if (cancelled) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Rig.UnitLock, irql);
    RigLog("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x81 length %lu: waits", (unsigned long)length);
    if (cancelled) {
        FinishTransfer(Irp, 0, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

static NTSTATUS BulkTransfer(PIRP Irp, PURB Urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Urb->UrbBulkOrInterruptTransfer;
    UCHAR endpoint = (UCHAR)((ULONG_PTR)transfer->PipeHandle & 0xff);
    PUCHAR buffer = TransferBuffer(transfer);
    BOOLEAN in = (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (transfer->PipeHandle != RIG_PIPE_HANDLE(0x81) && transfer->PipeHandle != RIG_PIPE_HANDLE(0x02)) {
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER refused: pipe handle %p", transfer->PipeHandle);
        return FinishTransfer(Irp, 0, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    if (in != (endpoint == 0x81) || (buffer == NULL && transfer->TransferBufferLength > 0)) {
        RigLog("urb BULK_OR_INTERRUPT_TRANSFER refused: pipe 0x%02x, flags 0x%lx, buffer %p", endpoint,
               (unsigned long)transfer->TransferFlags, buffer);
        return FinishTransfer(Irp, 0, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    return in ? BulkIn(Irp, transfer, buffer) : BulkOut(Irp, transfer, buffer);
}

/* A pipe reset: the IN pipe's waiting bytes go, the OUT pipe's partly received request goes. */
static void ResetPipe(UCHAR Endpoint)
{
    KIRQL irql;
    KeAcquireSpinLock(&Rig.UnitLock, &irql);
    if (Endpoint == 0x81) {
        Rig.WaitingCount = 0;
        Rig.BusFaultDue = FALSE;
    } else {
        SimCoreResetRequest(&Rig.Core);
    }
    KeReleaseSpinLock(&Rig.UnitLock, irql);
}

static NTSTATUS SubmitUrb(PIRP Irp)
{
    PURB urb = UrbOf(Irp);
    if (!Rig.Plugged) {
        RigLog("urb %s after unplug", UrbName(urb->UrbHeader.Function));
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return FinishTransfer(Irp, 0, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
        }
        return Complete(Irp, UrbStatus(urb, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE), 0);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return Complete(Irp, GetDescriptor(urb), 0);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return Complete(Irp, SelectConfiguration(urb), 0);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
        UCHAR endpoint = (UCHAR)((ULONG_PTR)urb->UrbPipeRequest.PipeHandle & 0xff);
        RigLog("urb %s pipe 0x%02x", UrbName(urb->UrbHeader.Function), endpoint);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            if (endpoint == 0x81) {
                FailPendingIn(USBD_STATUS_CANCELED, STATUS_CANCELLED);
            }
        } else if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) {
            ResetPipe(endpoint);
        }
        return Complete(Irp, UrbStatus(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS), 0);
    }
    default:
        RigLog("urb function 0x%04x refused", urb->UrbHeader.Function);
        return Complete(Irp, UrbStatus(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER), 0);
    }
}

static NTSTATUS UnitInternalControl(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        PULONG portStatus = (PULONG)stack->Parameters.Others.Argument1;
        *portStatus = Rig.Plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        RigLog("port status 0x%lx", (unsigned long)*portStatus);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        RigLog("port reset");
        FailPendingIn(USBD_STATUS_CANCELED, STATUS_CANCELLED);
        ResetPipe(0x81);
        ResetPipe(0x02);
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
        Unplug();
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_RIG_PLUG:
        if (Rig.Plugged || Rig.Unit != NULL) {
            return Complete(Irp, STATUS_DEVICE_BUSY, 0); /* still plugged, or its removal not done */
        }
        RigLog("bus plug");
        Rig.Plugged = TRUE;
        if (Rig.BusPdo != NULL) {
            IoInvalidateDeviceRelations(Rig.BusPdo, BusRelations);
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_RIG_SET_UNIT: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(RIG_UNIT_SETUP)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        RIG_UNIT_SETUP *setup = (RIG_UNIT_SETUP *)Irp->AssociatedIrp.SystemBuffer;
        if (setup->Mode > RigUnitSilent || setup->Config.FaultCount > SIM_MAX_FAULTS ||
            (setup->Config.BlockCount != 0 && setup->Config.FlashSize % setup->Config.BlockCount != 0)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        FailPendingIn(USBD_STATUS_CANCELED, STATUS_CANCELLED);
        BOOLEAN on = UnitPowerOn((RigUnitMode)setup->Mode, &setup->Config);
        return Complete(Irp, on ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case IOCTL_RIG_READ_FLASH: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ULONG)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        ULONG offset = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
        ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        KIRQL irql;
        KeAcquireSpinLock(&Rig.UnitLock, &irql);
        ULONG size = Rig.Core.Flash.Size;
        ULONG count = offset < size ? size - offset : 0;
        if (count > length) {
            count = length;
        }
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Rig.Core.Flash.Bytes + offset, count);
        KeReleaseSpinLock(&Rig.UnitLock, irql);
        return Complete(Irp, STATUS_SUCCESS, count);
    }
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
    if (Rig.FlashMemory != NULL) {
        ExFreePoolWithTag(Rig.FlashMemory, RIG_POOL_TAG);
        ExFreePoolWithTag(Rig.LockMemory, RIG_POOL_TAG);
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeSpinLock(&Rig.Lock);
    KeInitializeSpinLock(&Rig.UnitLock);
    InitializeListHead(&Rig.PendingIn);
    Rig.Plugged = TRUE;
    SimConfig defaults;
    SimConfigDefaults(&defaults);
    if (!UnitPowerOn(RigUnitFirmware, &defaults)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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
