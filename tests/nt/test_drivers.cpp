/*
 * test_drivers.cpp - TestBus and TestFunction, well-behaved WDM drivers for the tests of
 * the kernel stand-in (see test_drivers.h).
 */
#include "nt/test_drivers.h"

#include <stdio.h>

#include <deque>
#include <mutex>

const GUID TestInterfaceClass = {0x12345678, 0x9abc, 0xdef0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};

/* ---- Log ----------------------------------------------------------------------------------- */

static std::mutex LogLock; /* guards Log */
static std::vector<std::string> Log;

void TestLogClear(void)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.clear();
}

void TestLogAdd(const std::string &Entry)
{
    std::lock_guard<std::mutex> guard(LogLock);
    Log.push_back(Entry);
}

std::vector<std::string> TestLogEntries(void)
{
    std::lock_guard<std::mutex> guard(LogLock);
    return Log;
}

std::vector<std::string> TestLogMatching(const std::string &Prefix)
{
    std::vector<std::string> found;
    for (const std::string &entry : TestLogEntries()) {
        if (entry.compare(0, Prefix.size(), Prefix) == 0) {
            found.push_back(entry);
        }
    }
    return found;
}

static void LogRequest(const char *Who, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    char entry[96];
    snprintf(entry, sizeof entry, "%s %02x.%02x @%d", Who, stack->MajorFunction, stack->MinorFunction,
             KeGetCurrentIrql());
    TestLogAdd(entry);
}

/* ---- TestBus -------------------------------------------------------------------------------- */

typedef struct PdoExtension {
    BOOLEAN Gone;
} PdoExtension;

static PDRIVER_OBJECT BusDriver;
static volatile LONG BusMode = TestBusCompleteNow;
static volatile LONG BusStatus = STATUS_SUCCESS;
/* Held requests, guarded by the cancel spin lock (their cancel routines run under it). */
static std::deque<PIRP> Held;

void TestBusSetMode(TestBusMode Mode, NTSTATUS Status)
{
    InterlockedExchange(&BusMode, Mode);
    InterlockedExchange(&BusStatus, Status);
}

static VOID BusCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    for (auto it = Held.begin(); it != Held.end(); ++it) {
        if (*it == Irp) {
            Held.erase(it);
            break;
        }
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    TestLogAdd("PDO CANCEL");
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

BOOLEAN TestBusCompleteHeld(NTSTATUS Status, ULONG_PTR Information)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Held.empty()) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    PIRP irp = Held.front();
    Held.pop_front();
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    /* As from the bus's interrupt handling: at DISPATCH_LEVEL. */
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = Information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    return TRUE;
}

ULONG TestBusHeldCount(void)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ULONG count = (ULONG)Held.size();
    IoReleaseCancelSpinLock(irql);
    return count;
}

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Reads, writes and device controls, as the test's mode says. */
static NTSTATUS BusTransfer(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (__atomic_load_n(&BusMode, __ATOMIC_SEQ_CST) == TestBusHold) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (Irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            return CompleteWith(Irp, STATUS_CANCELLED, 0);
        }
        IoSetCancelRoutine(Irp, BusCancel);
        IoMarkIrpPending(Irp);
        Held.push_back(Irp);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    NTSTATUS status = __atomic_load_n(&BusStatus, __ATOMIC_SEQ_CST);
    ULONG_PTR information = 0;
    if (NT_SUCCESS(status)) {
        if (stack->MajorFunction == IRP_MJ_READ && Irp->MdlAddress) {
            PUCHAR data = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
            memset(data, 0xA5, MmGetMdlByteCount(Irp->MdlAddress));
            information = MmGetMdlByteCount(Irp->MdlAddress);
        } else if (stack->MajorFunction == IRP_MJ_WRITE) {
            information = stack->Parameters.Write.Length;
        } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            /* Buffered: answer with the input bytes reversed. */
            ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
            ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
            PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
            ULONG n = in < out ? in : out;
            for (ULONG i = 0; i < n / 2; i++) {
                UCHAR t = buffer[i];
                buffer[i] = buffer[n - 1 - i];
                buffer[n - 1 - i] = t;
            }
            information = n;
        }
    }
    return CompleteWith(Irp, status, information);
}

static NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        caps->DeviceWake = PowerDeviceD2;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        PdoExtension *ext = (PdoExtension *)DeviceObject->DeviceExtension;
        CompleteWith(Irp, STATUS_SUCCESS, 0);
        if (ext->Gone) {
            IoDeleteDevice(DeviceObject);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return CompleteWith(Irp, status, Irp->IoStatus.Information);
}

static NTSTATUS BusPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
    }
    return CompleteWith(Irp, status, 0);
}

static NTSTATUS BusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LogRequest("PDO", Irp);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return BusPnp(DeviceObject, Irp);
    case IRP_MJ_POWER:
        return BusPower(DeviceObject, Irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return BusTransfer(Irp);
    default:
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    }
}

static NTSTATUS BusEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    BusDriver = DriverObject;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = BusDispatch;
    }
    return STATUS_SUCCESS;
}

const HostDriverInfo TestBusInfo = {"testbus", BusEntry, FALSE};

PDEVICE_OBJECT TestBusCreatePdo(void)
{
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(BusDriver, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
        return nullptr;
    }
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

void TestBusMarkGone(PDEVICE_OBJECT Pdo) { ((PdoExtension *)Pdo->DeviceExtension)->Gone = TRUE; }

/* ---- TestFunction ----------------------------------------------------------------------------- */

volatile LONG TestFunctionRefuseQueryStop;
volatile LONG TestFunctionRefuseQueryPower;

typedef struct FdoExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    PIRP HeldSystemIrp;
    PVOID StartBuffer;
    UNICODE_STRING Link;
    WCHAR LinkBuffer[256];
} FdoExtension;

static FdoExtension *Ext(PDEVICE_OBJECT DeviceObject) { return (FdoExtension *)DeviceObject->DeviceExtension; }

/* Creates held inside the driver: CreateHeld is set when one waits, CreateRelease lets it go. */
static volatile LONG HoldCreates;
static KEVENT CreateHeld;
static KEVENT CreateRelease;

void TestFunctionHoldCreates(void)
{
    KeInitializeEvent(&CreateHeld, NotificationEvent, FALSE);
    KeInitializeEvent(&CreateRelease, NotificationEvent, FALSE);
    __atomic_store_n(&HoldCreates, 1, __ATOMIC_SEQ_CST);
}

void TestFunctionWaitCreateHeld(void) { KeWaitForSingleObject(&CreateHeld, Executive, KernelMode, FALSE, nullptr); }

void TestFunctionReleaseCreate(void)
{
    __atomic_store_n(&HoldCreates, 0, __ATOMIC_SEQ_CST);
    KeSetEvent(&CreateRelease, IO_NO_INCREMENT, FALSE);
}

static NTSTATUS OnCompleteSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext(DeviceObject)->Lower, Irp);
}

static NTSTATUS FunctionPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension *ext = Ext(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnCompleteSetEvent, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(ext->Lower, Irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
            status = Irp->IoStatus.Status;
        }
        if (NT_SUCCESS(status)) {
            if (!ext->StartBuffer) {
                ext->StartBuffer = ExAllocatePoolWithTag(NonPagedPool, 64, TEST_TAG);
            }
            IoSetDeviceInterfaceState(&ext->Link, TRUE);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        if (__atomic_load_n(&TestFunctionRefuseQueryStop, __ATOMIC_SEQ_CST)) {
            return CompleteWith(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&ext->Link, FALSE);
        if (ext->StartBuffer) {
            ExFreePoolWithTag(ext->StartBuffer, TEST_TAG);
        }
        ext->StartBuffer = nullptr;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(DeviceObject, Irp);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        /* the device is gone: no new open may find it */
        IoSetDeviceInterfaceState(&ext->Link, FALSE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(DeviceObject, Irp);
    default:
        return PassDown(DeviceObject, Irp);
    }
}

/* Callback of the device power request asked for on behalf of a held system request. */
static VOID OnDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                              PIO_STATUS_BLOCK IoStatus)
{
    (void)DeviceObject;
    (void)MinorFunction;
    (void)IoStatus;
    char entry[64];
    snprintf(entry, sizeof entry, "FDO D%d DONE @%d", PowerState.DeviceState - 1, KeGetCurrentIrql());
    TestLogAdd(entry);
    FdoExtension *ext = Ext((PDEVICE_OBJECT)Context);
    PIRP held = ext->HeldSystemIrp;
    ext->HeldSystemIrp = nullptr;
    IoCopyCurrentIrpStackLocationToNext(held);
    PoStartNextPowerIrp(held);
    PoCallDriver(ext->Lower, held);
}

static NTSTATUS FunctionPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension *ext = Ext(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
        POWER_STATE device;
        device.DeviceState =
            stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
        ext->HeldSystemIrp = Irp;
        IoMarkIrpPending(Irp);
        PoRequestPowerIrp(ext->Pdo, IRP_MN_SET_POWER, device, OnDevicePowerDone, DeviceObject, nullptr);
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER &&
        __atomic_load_n(&TestFunctionRefuseQueryPower, __ATOMIC_SEQ_CST)) {
        PoStartNextPowerIrp(Irp);
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Lower, Irp);
}

static NTSTATUS FunctionDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LogRequest("FDO", Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return FunctionPnp(DeviceObject, Irp);
    case IRP_MJ_POWER:
        return FunctionPower(DeviceObject, Irp);
    case IRP_MJ_CREATE: {
        std::string name = "FDO OPEN ";
        for (USHORT i = 0; i < stack->FileObject->FileName.Length / sizeof(WCHAR); i++) {
            name += (char)stack->FileObject->FileName.Buffer[i];
        }
        TestLogAdd(name);
        if (__atomic_load_n(&HoldCreates, __ATOMIC_SEQ_CST)) {
            KeSetEvent(&CreateHeld, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&CreateRelease, Executive, KernelMode, FALSE, nullptr);
            /* The extension is read after the wait: a removal may have deleted the device. */
            TestLogAdd(Ext(DeviceObject)->Self == DeviceObject ? "FDO OPEN RELEASED" : "FDO OPEN BROKEN");
        }
        stack->FileObject->FsContext = DeviceObject;
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    default:
        return PassDown(DeviceObject, Irp);
    }
}

static NTSTATUS FunctionAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING link;
    NTSTATUS status = IoRegisterDeviceInterface(PhysicalDeviceObject, &TestInterfaceClass, nullptr, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT fdo;
    status = IoCreateDevice(DriverObject, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&link);
        return status;
    }
    FdoExtension *ext = Ext(fdo);
    ext->Self = fdo;
    ext->Pdo = PhysicalDeviceObject;
    memcpy(ext->LinkBuffer, link.Buffer, link.Length);
    ext->Link.Buffer = ext->LinkBuffer;
    ext->Link.Length = link.Length;
    ext->Link.MaximumLength = sizeof ext->LinkBuffer;
    RtlFreeUnicodeString(&link);
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    TestLogAdd("FDO ADD");
    return STATUS_SUCCESS;
}

static VOID FunctionUnload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
    TestLogAdd("FDO UNLOAD");
}

static NTSTATUS FunctionEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    TestLogAdd("FDO ENTRY");
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FunctionDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FunctionDispatch;
    DriverObject->DriverExtension->AddDevice = FunctionAddDevice;
    DriverObject->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

const HostDriverInfo TestFunctionInfo = {"testfunction", FunctionEntry, FALSE};
