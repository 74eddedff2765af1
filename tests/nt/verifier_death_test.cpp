/*
 * verifier_death_test.cpp - every verifier check, each triggered by a small faulty driver
 * (or faulty caller) and proven by the report that ends the process.
 */
#include <thread>

#include "nt/nt_test_support.h"

namespace {

/* ---- The faulty driver: its read dispatch is whatever the test sets. -------------------- */

typedef NTSTATUS Behaviour(PDEVICE_OBJECT DeviceObject, PIRP Irp);
Behaviour *FaultyRead;

NTSTATUS FaultyDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return FaultyRead(DeviceObject, Irp); }

/* What the faulty function driver does wrong in plug and play. */
enum PnpFault { NoPnpFault, RemoveKeepsDevice, SurpriseDeletes, StaysInitializing };
PnpFault Fault;
PVOID EntryLeak;

typedef struct FaultyExt {
    PDEVICE_OBJECT Lower;
} FaultyExt;

NTSTATUS FaultyPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FaultyExt *ext = (FaultyExt *)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor != IRP_MN_QUERY_CAPABILITIES)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->Lower, Irp);
    bool remove = minor == IRP_MN_REMOVE_DEVICE && Fault != RemoveKeepsDevice;
    bool surprise = minor == IRP_MN_SURPRISE_REMOVAL && Fault == SurpriseDeletes;
    if (remove || surprise) {
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS FaultyAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT fdo;
    IoCreateDevice(DriverObject, sizeof(FaultyExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    ((FaultyExt *)fdo->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    if (Fault != StaysInitializing)
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FaultyEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DriverObject->MajorFunction[IRP_MJ_READ] = FaultyDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FaultyDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FaultyPnp;
    DriverObject->DriverExtension->AddDevice = FaultyAddDevice;
    if (EntryLeak)
        EntryLeak = ExAllocatePoolWithTag(NonPagedPool, 33, HOST_POOL_TAG('F', 'l', 't', 'y'));
    return STATUS_SUCCESS;
}

const HostDriverInfo FaultyInfo = {"faulty", FaultyEntry, HOST_POOL_TAG('F', 'l', 't', 'y')};

NTSTATUS FreeAtIssuer(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class VerifierTest : public NtTest {
protected:
    void SetUp() override
    {
        NtTest::SetUp();
        Fault = NoPnpFault;
        EntryLeak = nullptr;
    }
    /* A device of the faulty driver, alone in its stack. */
    PDEVICE_OBJECT Device()
    {
        PDRIVER_OBJECT driver;
        HostLoadDriver(&FaultyInfo, &driver);
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, sizeof(FaultyExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }
    NTSTATUS Read(PDEVICE_OBJECT Device, Behaviour *What)
    {
        FaultyRead = What;
        PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(Device, irp);
    }
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* ---- Completion rules ----------------------------------------------------------------------- */

TEST_F(VerifierTest, RequestCompletedTwice)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     NTSTATUS s = Complete(irp, STATUS_SUCCESS);
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return s;
                 }),
                 "VERIFIER: IRP_(COMPLETED_TWICE|NOT_ALLOCATED)");
}

TEST_F(VerifierTest, RequestCompletedWithStatusPending)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     Complete(irp, STATUS_PENDING);
                     return STATUS_PENDING;
                 }),
                 "VERIFIER: IRP_COMPLETED_PENDING");
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(VerifierTest, RequestCompletedWithCancelRoutineSet)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     IoSetCancelRoutine(irp, NeverCalled);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "VERIFIER: IRP_COMPLETED_WITH_CANCEL_ROUTINE");
}

TEST_F(VerifierTest, RequestFreedWhileALowerDriverOwnsIt)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(pdo, irp);
            IoFreeIrp(irp);
        },
        "VERIFIER: IRP_FREED_(OWNED_BY_LOWER|IN_USE)");
    IoDeleteDevice(pdo);
}

TEST_F(VerifierTest, RequestOfTheIoManagerFreedByADriver)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    EXPECT_DEATH(
        {
            KEVENT event;
            IO_STATUS_BLOCK iosb;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoFreeIrp(IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb));
        },
        "VERIFIER: IRP_FREED_IN_USE");
    IoDeleteDevice(pdo);
}

NTSTATUS ReturnToIssuerAsIfDone(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(VerifierTest, DriverAllocatedRequestCompletedToTheTop)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoSetCompletionRoutine(irp, ReturnToIssuerAsIfDone, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(pdo, irp);
        },
        "VERIFIER: DRIVER_ALLOCATED_IRP_COMPLETED");
    IoDeleteDevice(pdo);
}

TEST_F(VerifierTest, CancelOfAFreedRequest)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoCancelIrp(irp);
        },
        "VERIFIER: IRP_NOT_ALLOCATED");
}

/* ---- Dispatch return rules ------------------------------------------------------------------- */

TEST_F(VerifierTest, PendingReturnedWithoutMark)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_SUCCESS);
                     return STATUS_PENDING;
                 }),
                 "VERIFIER: PENDING_NOT_MARKED");
}

PIRP Kept;

TEST_F(VerifierTest, PendingReturnedWithoutMarkFoundAtLaterCompletion)
{
    EXPECT_DEATH(
        {
            Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                Kept = irp;
                return STATUS_PENDING;
            });
            std::thread([] { Complete(Kept, STATUS_SUCCESS); }).join();
        },
        "VERIFIER: PENDING_NOT_MARKED");
}

TEST_F(VerifierTest, MarkedPendingButReturnedAnotherStatus)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "VERIFIER: MARKED_PENDING_NOT_RETURNED");
}

TEST_F(VerifierTest, ReturnedStatusDiffersFromCompletedStatus)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_SUCCESS);
                     return STATUS_UNSUCCESSFUL;
                 }),
                 "VERIFIER: STATUS_MISMATCH");
}

TEST_F(VerifierTest, ReturnedWithoutCompletingOrPending)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),
                 "VERIFIER: NOT_COMPLETED_NOT_PENDING");
}

NTSTATUS IgnoresPendingReturned(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(VerifierTest, CompletionRoutineIgnoringPendingReturned)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    PDEVICE_OBJECT upper = Device();
    ((FaultyExt *)upper->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(upper, pdo);
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            Read(upper, [](PDEVICE_OBJECT dev, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, IgnoresPendingReturned, nullptr, TRUE, TRUE, TRUE);
                return IoCallDriver(((FaultyExt *)dev->DeviceExtension)->Lower, irp);
            });
            std::thread([] { TestBusCompleteHeld(STATUS_SUCCESS, 0); }).join();
        },
        "VERIFIER: PENDING_RETURNED_IGNORED");
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
    IoDeleteDevice(pdo);
    HostUnloadDriver(HostFindDriver(&FaultyInfo));
}

TEST_F(VerifierTest, PnpRequestWithoutStatusNotSupported)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
            IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
            IoCallDriver(pdo, irp);
        },
        "VERIFIER: PNP_POWER_STATUS_NOT_INITIALIZED");
    IoDeleteDevice(pdo);
}

TEST_F(VerifierTest, PowerRequestPassedWithIoCallDriver)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
            IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_POWER;
            IoCallDriver(pdo, irp);
        },
        "VERIFIER: POWER_IRP_NOT_PO_CALL");
    IoDeleteDevice(pdo);
}

TEST_F(VerifierTest, PowerRequestPassedOnWithoutStartingTheNext)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    PDEVICE_OBJECT upper = Device();
    ((FaultyExt *)upper->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(upper, pdo);
    upper->Flags |= DO_POWER_PAGABLE;
    EXPECT_DEATH(
        {
            FaultyRead = [](PDEVICE_OBJECT dev, PIRP irp) {
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(((FaultyExt *)dev->DeviceExtension)->Lower, irp);
            };
            PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_POWER;
            next->MinorFunction = IRP_MN_SET_POWER;
            next->Parameters.Power.Type = DevicePowerState;
            next->Parameters.Power.State.DeviceState = PowerDeviceD0;
            IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
            PoCallDriver(upper, irp);
        },
        "VERIFIER: POWER_START_NEXT_MISSING");
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
    IoDeleteDevice(pdo);
    HostUnloadDriver(HostFindDriver(&FaultyInfo));
}

TEST_F(VerifierTest, DispatchReturningAtAnotherIrql)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     NTSTATUS s = Complete(irp, STATUS_SUCCESS);
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                     return s;
                 }),
                 "VERIFIER: DISPATCH_IRQL_CHANGED");
}

TEST_F(VerifierTest, CompletingWhileHoldingASpinLock)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     static KSPIN_LOCK lock;
                     KIRQL old;
                     KeInitializeSpinLock(&lock);
                     KeAcquireSpinLock(&lock, &old);
                     NTSTATUS s = Complete(irp, STATUS_SUCCESS);
                     KeReleaseSpinLock(&lock, old);
                     return s;
                 }),
                 "VERIFIER: COMPLETE_HOLDING_SPINLOCK");
}

/* ---- IRQL rules --------------------------------------------------------------------------------- */

TEST_F(VerifierTest, WaitWithTimeOutAboveApcLevel)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "VERIFIER: WAIT_AT_HIGH_IRQL");
}

TEST_F(VerifierTest, CallDriverAboveDispatchLevel)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
            IoCallDriver(pdo, irp);
        },
        "VERIFIER: CALL_DRIVER_IRQL");
    IoDeleteDevice(pdo);
}

TEST_F(VerifierTest, PoolAllocationAboveDispatchLevel)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
            ExAllocatePoolWithTag(NonPagedPool, 8, TEST_TAG);
        },
        "VERIFIER: POOL_IRQL");
}

TEST_F(VerifierTest, SpinLockReleasedToTheWrongIrql)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, APC_LEVEL);
        },
        "VERIFIER: SPINLOCK_RELEASE_IRQL");
}

TEST_F(VerifierTest, SpinLockReleasedByAnotherThread)
{
    EXPECT_DEATH(
        {
            static KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            std::thread([] {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
            }).join();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "VERIFIER: SPINLOCK_NOT_OWNER");
}

TEST_F(VerifierTest, SpinLocksTakenInBothOrders)
{
    EXPECT_DEATH(
        {
            static KSPIN_LOCK first;
            static KSPIN_LOCK second;
            KeInitializeSpinLock(&first);
            KeInitializeSpinLock(&second);
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&first, &a);
            KeAcquireSpinLock(&second, &b);
            KeReleaseSpinLock(&second, b);
            KeReleaseSpinLock(&first, a);
            std::thread([] {
                KIRQL c;
                KIRQL d;
                KeAcquireSpinLock(&second, &c);
                KeAcquireSpinLock(&first, &d);
            }).join();
        },
        "VERIFIER: LOCK_ORDER");
}

VOID KeepsCancelLock(PDEVICE_OBJECT, PIRP) {}

TEST_F(VerifierTest, CancelRoutineKeepingTheCancelLock)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCancelRoutine(irp, KeepsCancelLock);
            IoCancelIrp(irp);
        },
        "VERIFIER: CANCEL_LOCK_NOT_RELEASED");
}

/* ---- Pool rules ------------------------------------------------------------------------------------ */

TEST_F(VerifierTest, AllocationLeftAtDeviceDeletion)
{
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT device = Device();
            Read(device, [](PDEVICE_OBJECT, PIRP irp) {
                ExAllocatePoolWithTag(NonPagedPool, 24, HOST_POOL_TAG('F', 'l', 't', 'y'));
                return Complete(irp, STATUS_SUCCESS);
            });
            IoDeleteDevice(device);
        },
        "VERIFIER: POOL_LEAK: 1 pool allocation\\(s\\) still held at deletion of device.*tag 'Flty', 24 bytes, "
        "allocated at .*verifier_death_test.cpp");
}

TEST_F(VerifierTest, AllocationLeftAtDriverUnload)
{
    EntryLeak = (PVOID)1;
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver;
            HostLoadDriver(&FaultyInfo, &driver);
            HostUnloadDriver(driver);
        },
        "VERIFIER: POOL_LEAK: .*unload of driver faulty.*33 bytes");
}

TEST_F(VerifierTest, AllocationWithAnotherTagThanDeclared)
{
    EXPECT_DEATH(Read(Device(), [](PDEVICE_OBJECT, PIRP irp) {
                     ExAllocatePoolWithTag(NonPagedPool, 8, HOST_POOL_TAG('O', 't', 'h', 'r'));
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "VERIFIER: POOL_WRONG_TAG: allocation with tag 'Othr' by a driver that declared tag 'Flty'");
}

TEST_F(VerifierTest, PoolFreedTwice)
{
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, TEST_TAG);
            ExFreePool(p);
            ExFreePool(p);
        },
        "VERIFIER: POOL_DOUBLE_FREE");
}

TEST_F(VerifierTest, CountModeReportsWithoutStopping)
{
    HostVerifierSetMode(HostVerifierCount);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, TEST_TAG);
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_STREQ("POOL_DOUBLE_FREE", HostVerifierLastRule());
    EXPECT_EQ(Reports + 1, HostVerifierReportCount());
    Reports = HostVerifierReportCount();
}

/* ---- Plug-and-play rules ------------------------------------------------------------------------ */

TEST_F(VerifierTest, RemovalThatLeavesTheDevice)
{
    Fault = RemoveKeepsDevice;
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = TestBusCreatePdo();
            HostDeviceNode *node;
            HostPnpDeviceArrived(pdo, u"TEST\\BAD\\1", &FaultyInfo, &node);
            HostPnpUninstall(node);
        },
        "VERIFIER: PNP_REMOVE_NOT_DELETED");
}

TEST_F(VerifierTest, SurpriseRemovalThatDeletes)
{
    Fault = SurpriseDeletes;
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = TestBusCreatePdo();
            HostDeviceNode *node;
            HostPnpDeviceArrived(pdo, u"TEST\\BAD\\1", &FaultyInfo, &node);
            HostPnpSurpriseRemove(node);
        },
        "VERIFIER: PNP_SURPRISE_DELETED");
}

TEST_F(VerifierTest, AddDeviceLeavingDeviceInitializing)
{
    Fault = StaysInitializing;
    EXPECT_DEATH(
        {
            PDEVICE_OBJECT pdo = TestBusCreatePdo();
            HostPnpDeviceArrived(pdo, u"TEST\\BAD\\1", &FaultyInfo, nullptr);
        },
        "VERIFIER: PNP_DEVICE_INITIALIZING");
}

} // namespace
