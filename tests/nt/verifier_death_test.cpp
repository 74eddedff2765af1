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
enum PnpFault {
    NoPnpFault,
    RemoveKeepsDevice,
    SurpriseDeletes,
    StaysInitializing,
    QueryRemoveFailedPassedDown, /* fails QUERY_REMOVE, then passes it down all the same */
    StartPassedAtDispatchLevel,
    RemoveCompletedHere,      /* completes REMOVE itself, then detaches and deletes */
    SurpriseFailedOnTheWayUp, /* its completion routine turns SURPRISE_REMOVAL into a failure */
    StopFailedHere,           /* fails STOP without passing it down */
    NotPagable,               /* clears DO_POWER_PAGABLE over a pageable device */
    BufferedAndDirect,
    SurpriseKeepsInterface /* enables an interface at AddDevice, never disables it */
};
PnpFault Fault;
PVOID EntryLeak;
PVOID DriverWideBlock; /* freed by DriverUnload when set */

typedef struct FaultyExt {
    PDEVICE_OBJECT Lower;
} FaultyExt;

NTSTATUS TurnsIntoFailure(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS FaultyPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FaultyExt *ext = (FaultyExt *)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor != IRP_MN_QUERY_CAPABILITIES) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE && Fault == QueryRemoveFailedPassedDown) {
        Irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    }
    if (minor == IRP_MN_REMOVE_DEVICE && Fault == RemoveCompletedHere) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(DeviceObject);
        return STATUS_SUCCESS;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL && Fault == SurpriseFailedOnTheWayUp) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, TurnsIntoFailure, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(ext->Lower, Irp);
        return STATUS_UNSUCCESSFUL;
    }
    if (minor == IRP_MN_STOP_DEVICE && Fault == StopFailedHere) {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    KIRQL old = PASSIVE_LEVEL;
    if (minor == IRP_MN_START_DEVICE && Fault == StartPassedAtDispatchLevel) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->Lower, Irp);
    if (minor == IRP_MN_START_DEVICE && Fault == StartPassedAtDispatchLevel) {
        KeLowerIrql(old);
    }
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
    if (Fault != NotPagable) {
        fdo->Flags |= DO_POWER_PAGABLE;
    }
    if (Fault == BufferedAndDirect) {
        fdo->Flags |= DO_BUFFERED_IO | DO_DIRECT_IO;
    }
    if (Fault == SurpriseKeepsInterface) {
        static const GUID faultyClass = {0x0badf00d, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
        static UNICODE_STRING link;
        IoRegisterDeviceInterface(Pdo, &faultyClass, nullptr, &link);
        IoSetDeviceInterfaceState(&link, TRUE);
    }
    if (Fault != StaysInitializing) {
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

VOID FaultyUnload(PDRIVER_OBJECT)
{
    if (DriverWideBlock) {
        ExFreePoolWithTag(DriverWideBlock, HOST_POOL_TAG('F', 'l', 't', 'y'));
        DriverWideBlock = nullptr;
    }
}

NTSTATUS FaultyEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DriverObject->MajorFunction[IRP_MJ_READ] = FaultyDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FaultyDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FaultyDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FaultyPnp;
    DriverObject->DriverExtension->AddDevice = FaultyAddDevice;
    DriverObject->DriverUnload = FaultyUnload;
    if (EntryLeak) {
        EntryLeak = ExAllocatePoolWithTag(NonPagedPool, 33, HOST_POOL_TAG('F', 'l', 't', 'y'));
    }
    return STATUS_SUCCESS;
}

const HostDriverInfo FaultyInfo = {"faulty", FaultyEntry, FALSE};

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
        DriverWideBlock = nullptr;
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
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
                          NTSTATUS s = Complete(irp, STATUS_SUCCESS);
                          IoCompleteRequest(irp, IO_NO_INCREMENT);
                          return s;
                      }),
                 "VERIFIER: IRP_(COMPLETED_TWICE|NOT_ALLOCATED)");
}

TEST_F(VerifierTest, RequestCompletedWithStatusPending)
{
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
                          IoMarkIrpPending(irp);
                          Complete(irp, STATUS_PENDING);
                          return STATUS_PENDING;
                      }),
                 "VERIFIER: IRP_COMPLETED_PENDING");
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(VerifierTest, RequestCompletedWithCancelRoutineSet)
{
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
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

/* A driver gives its own request a stack location of its own (IoSetNextIrpStackLocation, as
 * documented for that) and frees it in its completion routine, once the lower driver has
 * completed it: the request is no longer below, whatever its current location. */
TEST_F(VerifierTest, RequestWithItsIssuersOwnLocationFreedOnceBackIsNoReport)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(pdo, irp));
    EXPECT_EQ(0u, HostLiveIrpCount());
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
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
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
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
                          IoMarkIrpPending(irp);
                          return Complete(irp, STATUS_SUCCESS);
                      }),
                 "VERIFIER: MARKED_PENDING_NOT_RETURNED");
}

TEST_F(VerifierTest, ReturnedStatusDiffersFromCompletedStatus)
{
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
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

NTSTATUS StartsNextOnTheWayUp(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

/* Sends a power request of Minor (a device set-power to D0, a query or a wait-wake) to Device
 * from a request of the test's own, which its completion frees. */
void SendPower(PDEVICE_OBJECT Device, UCHAR Minor, Behaviour *What)
{
    FaultyRead = What;
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = Minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD0;
    IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(Device, irp);
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT Device) { return ((FaultyExt *)Device->DeviceExtension)->Lower; }

/* Each driver owes one PoStartNextPowerIrp per set or query power request, paid while its
 * own location is current: in dispatch before a skip, or in its completion routine after
 * PoCallDriver ("Calling PoStartNextPowerIrp from a Device Power Policy Owner"). Wait-wake
 * owes none. Paid late (after the skip), or never, is reported. */
TEST_F(VerifierTest, PoStartNextPowerIrpOwedPerSetOrQueryPowerWhileTheLocationIsCurrent)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    PDEVICE_OBJECT upper = Device();
    ((FaultyExt *)upper->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(upper, pdo);
    upper->Flags |= DO_POWER_PAGABLE;

    SendPower(upper, IRP_MN_SET_POWER, [](PDEVICE_OBJECT dev, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StartsNextOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(LowerOf(dev), irp);
    });
    SendPower(upper, IRP_MN_QUERY_POWER, [](PDEVICE_OBJECT dev, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(LowerOf(dev), irp);
    });
    SendPower(upper, IRP_MN_WAIT_WAKE, [](PDEVICE_OBJECT dev, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(LowerOf(dev), irp);
    });
    EXPECT_EQ(Reports, HostVerifierReportCount());

    EXPECT_DEATH(SendPower(upper, IRP_MN_SET_POWER,
                           [](PDEVICE_OBJECT dev, PIRP irp) {
                               IoSkipCurrentIrpStackLocation(irp);
                               PoStartNextPowerIrp(irp);
                               return PoCallDriver(LowerOf(dev), irp);
                           }),
                 "VERIFIER: POWER_START_NEXT_MISSING: power request \\(minor 0x02\\) passed on with its location "
                 "skipped");
    EXPECT_DEATH(SendPower(upper, IRP_MN_SET_POWER,
                           [](PDEVICE_OBJECT dev, PIRP irp) {
                               IoCopyCurrentIrpStackLocationToNext(irp);
                               return PoCallDriver(LowerOf(dev), irp);
                           }),
                 "VERIFIER: POWER_START_NEXT_MISSING: completion passed location 2");
    EXPECT_DEATH(SendPower(upper, IRP_MN_QUERY_POWER,
                           [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); }),
                 "VERIFIER: POWER_START_NEXT_MISSING: completion passed location 2 of a power request \\(minor "
                 "0x03\\)");
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
    IoDeleteDevice(pdo);
    HostUnloadDriver(HostFindDriver(&FaultyInfo));
}

/* The power policy owner answers every system set-power request with a device set-power
 * request, even for the state the device is in: a stack that only passes it on is reported
 * when the system request completes. */
TEST_F(VerifierTest, SystemSetPowerPassedOnWithoutADeviceRequest)
{
    EXPECT_DEATH(
        {
            FaultyRead = [](PDEVICE_OBJECT dev, PIRP irp) {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(LowerOf(dev), irp);
            };
            PDEVICE_OBJECT pdo = TestBusCreatePdo();
            HostDeviceNode *node;
            HostPnpDeviceArrived(pdo, u"TEST\\BAD\\1", &FaultyInfo, &node);
            HostPoSetSystemPowerState(PowerSystemSleeping3);
        },
        "VERIFIER: POWER_DEVICE_REQUEST_MISSING: system set-power request \\(S3\\)");
}

TEST_F(VerifierTest, DispatchReturningAtAnotherIrql)
{
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
                          NTSTATUS s = Complete(irp, STATUS_SUCCESS);
                          KIRQL old;
                          KeRaiseIrql(DISPATCH_LEVEL, &old);
                          return s;
                      }),
                 "VERIFIER: DISPATCH_IRQL_CHANGED");
}

TEST_F(VerifierTest, CompletingWhileHoldingASpinLock)
{
    EXPECT_DEATH(Read(Device(),
                      [](PDEVICE_OBJECT, PIRP irp) {
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

TEST_F(VerifierTest, SpinLockReleasedAboveDispatchLevel)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KIRQL raised;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &raised);
            KeReleaseSpinLock(&lock, old);
        },
        "VERIFIER: SPINLOCK_RELEASE_IRQL: spin lock .* released at IRQL 3");
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

/* A driver-wide block allocated while serving a device outlives the device and is freed at
 * unload: Driver Verifier looks for leaks at unload only. The device's ledger shows it while
 * the device lives. */
TEST_F(VerifierTest, BlockChargedToADeviceIsCheckedAtUnloadNotAtDeletion)
{
    PDEVICE_OBJECT device = Device();
    Read(device, [](PDEVICE_OBJECT, PIRP irp) {
        DriverWideBlock = ExAllocatePoolWithTag(NonPagedPool, 24, HOST_POOL_TAG('F', 'l', 't', 'y'));
        return Complete(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(24u, HostPoolUsageByDevice(device).Bytes);
    IoDeleteDevice(device);
    HostUnloadDriver(HostFindDriver(&FaultyInfo));
    EXPECT_EQ(nullptr, DriverWideBlock);

    EXPECT_DEATH(
        {
            PDEVICE_OBJECT leaking = Device();
            Read(leaking, [](PDEVICE_OBJECT, PIRP irp) {
                ExAllocatePoolWithTag(NonPagedPool, 24, HOST_POOL_TAG('F', 'l', 't', 'y'));
                return Complete(irp, STATUS_SUCCESS);
            });
            IoDeleteDevice(leaking);
            HostUnloadDriver(HostFindDriver(&FaultyInfo));
        },
        "VERIFIER: POOL_LEAK: 1 pool allocation\\(s\\) still held at unload of driver faulty:.*tag 'Flty', 24 bytes, "
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

TEST_F(VerifierTest, ZeroByteAllocation)
{
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 0, TEST_TAG), "VERIFIER: POOL_ZERO_BYTES");
}

/* A tag per allocation path is Microsoft's advice: a driver allocating with a second tag is
 * not reported; freeing with another tag than the block's is (0xC2). */
TEST_F(VerifierTest, FreeWithAnotherTagThanAllocated)
{
    PDEVICE_OBJECT device = Device();
    Read(device, [](PDEVICE_OBJECT, PIRP irp) {
        PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, HOST_POOL_TAG('O', 't', 'h', 'r'));
        ExFreePoolWithTag(other, HOST_POOL_TAG('O', 't', 'h', 'r'));
        return Complete(irp, STATUS_SUCCESS);
    });
    IoDeleteDevice(device);
    HostUnloadDriver(HostFindDriver(&FaultyInfo));
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, TEST_TAG);
    EXPECT_DEATH(ExFreePoolWithTag(block, HOST_POOL_TAG('O', 't', 'h', 'r')),
                 "VERIFIER: POOL_WRONG_TAG: ExFreePoolWithTag with tag 'Othr'");
    ExFreePoolWithTag(block, TEST_TAG);
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
        "VERIFIER: PNP_SURPRISE_DETACHED");
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

/* ---- Faulty drivers, one table per rule family ------------------------------------------
 *
 * Each case is a small faulty driver (or a faulty caller) run in a child process; the
 * verifier must end it with the named report. */

typedef struct FaultCase {
    const char *Name;
    void (*Run)(void);
    const char *Rule;
} FaultCase;

void PrintTo(const FaultCase &Case, std::ostream *Out) { *Out << Case.Name; }

/* A device of the faulty driver attached over a test-bus PDO. */
PDEVICE_OBJECT StackedDevice(void)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    PDRIVER_OBJECT driver;
    HostLoadDriver(&FaultyInfo, &driver);
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, sizeof(FaultyExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    ((FaultyExt *)device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

/* A read of the issuer's own, freed by its completion routine, sent to Device. */
NTSTATUS SendRead(PDEVICE_OBJECT Device, Behaviour *What)
{
    FaultyRead = What;
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Device, irp);
}

NTSTATUS PassCopied(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(LowerOf(Device), Irp);
}

NTSTATUS CompletesAgainAndContinues(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class FaultyDriverTest : public VerifierTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultyDriverTest, IsReportedUnderItsRule)
{
    EXPECT_DEATH(GetParam().Run(), std::string("VERIFIER: ") + GetParam().Rule);
}

std::string CaseName(const ::testing::TestParamInfo<FaultCase> &Info) { return Info.param.Name; }

/* How a driver passes a request down: the next location, the completion routine's slot. */
const FaultCase StackLocationFaults[] = {
    {"NextLocationNeverSetUp",
     [] { SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) { return IoCallDriver(LowerOf(d), irp); }); },
     "NEXT_LOCATION_NOT_SET"},
    {"CompletionRoutineSetAfterSkipping",
     [] {
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             IoSetCompletionRoutine(irp, IgnoresPendingReturned, nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(LowerOf(d), irp);
         });
     },
     "COMPLETION_ROUTINE_AFTER_SKIP"},
    {"CompletionRoutineCompletesAndContinues",
     [] {
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, CompletesAgainAndContinues, nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(LowerOf(d), irp);
         });
     },
     "COMPLETION_ROUTINE_COMPLETED"},
};
INSTANTIATE_TEST_SUITE_P(StackLocations, FaultyDriverTest, ::testing::ValuesIn(StackLocationFaults), CaseName);

/* Who owns a request: once passed down, it belongs to the driver below until it comes back. */
const FaultCase OwnershipFaults[] = {
    {"PassedDownWithItsCancelRoutineSet",
     [] {
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             IoSetCancelRoutine(irp, NeverCalled);
             return PassCopied(d, irp);
         });
     },
     "CALL_WITH_CANCEL_ROUTINE"},
    {"PassedDownAgainWhileHeldBelow",
     [] {
         TestBusSetMode(TestBusHold, STATUS_SUCCESS);
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             IoMarkIrpPending(irp);
             PassCopied(d, irp);
             IoCallDriver(LowerOf(d), irp);
             return STATUS_PENDING;
         });
     },
     "IRP_FORWARDED_WHILE_BELOW"},
    {"CompletedWhileHeldBelow",
     [] {
         TestBusSetMode(TestBusHold, STATUS_SUCCESS);
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             PassCopied(d, irp);
             return Complete(irp, STATUS_SUCCESS);
         });
     },
     "IRP_COMPLETED_WHILE_BELOW"},
    {"CancelRoutineSetWhileHeldBelow",
     [] {
         TestBusSetMode(TestBusHold, STATUS_SUCCESS);
         SendRead(StackedDevice(), [](PDEVICE_OBJECT d, PIRP irp) {
             IoMarkIrpPending(irp);
             PassCopied(d, irp);
             IoSetCancelRoutine(irp, NeverCalled);
             return STATUS_PENDING;
         });
     },
     "CANCEL_ROUTINE_ON_LOWER_IRP"},
    {"DeviceDeletedWhileItsRequestIsHeldBelow",
     [] {
         TestBusSetMode(TestBusHold, STATUS_SUCCESS);
         PDEVICE_OBJECT device = StackedDevice();
         SendRead(device, [](PDEVICE_OBJECT d, PIRP irp) {
             IoMarkIrpPending(irp);
             PassCopied(d, irp);
             return STATUS_PENDING;
         });
         IoDetachDevice(LowerOf(device));
         IoDeleteDevice(device);
     },
     "DEVICE_DELETED_WITH_REQUEST_BELOW"},
};
INSTANTIATE_TEST_SUITE_P(Ownership, FaultyDriverTest, ::testing::ValuesIn(OwnershipFaults), CaseName);

/* Arrival of a test-bus unit driven by the faulty driver, with Fault set. */
HostDeviceNode *ArriveFaulty(PnpFault What)
{
    Fault = What;
    HostDeviceNode *node = nullptr;
    HostPnpDeviceArrived(TestBusCreatePdo(), u"TEST\\BAD\\1", &FaultyInfo, &node);
    return node;
}

/* Plug and play and power: what must be passed down, what must not fail, flags of the stack. */
const FaultCase PnpPowerFaults[] = {
    {"FailedQueryPassedDown", [] { HostPnpQueryRemove(ArriveFaulty(QueryRemoveFailedPassedDown)); },
     "PNP_FAILED_PASSED_DOWN"},
    {"StartPassedDownAtDispatchLevel", [] { ArriveFaulty(StartPassedAtDispatchLevel); }, "PNP_CALL_IRQL"},
    {"RemoveCompletedWithoutPassingItDown", [] { HostPnpUninstall(ArriveFaulty(RemoveCompletedHere)); },
     "PNP_NOT_PASSED_DOWN"},
    {"SurpriseRemovalFailed", [] { HostPnpSurpriseRemove(ArriveFaulty(SurpriseFailedOnTheWayUp)); },
     "PNP_UNFAILABLE_FAILED"},
    {"StopFailedWithoutPassingItDown",
     [] {
         HostDeviceNode *node = ArriveFaulty(StopFailedHere);
         HostPnpQueryStop(node);
         HostPnpStop(node);
     },
     "PNP_NOT_PASSED_DOWN"},
    {"InterfaceLeftEnabledAtSurpriseRemoval", [] { HostPnpSurpriseRemove(ArriveFaulty(SurpriseKeepsInterface)); },
     "PNP_SURPRISE_INTERFACE_ENABLED"},
    {"PagableFlagNotTakenFromBelow", [] { ArriveFaulty(NotPagable); }, "POWER_PAGABLE_NOT_INHERITED"},
    {"BufferedAndDirectBothSet", [] { ArriveFaulty(BufferedAndDirect); }, "DEVICE_IO_FLAGS_CONFLICT"},
    {"CapabilitiesSentWithoutPresets",
     [] {
         static DEVICE_CAPABILITIES caps;
         memset(&caps, 0, sizeof caps);
         caps.Size = sizeof caps;
         caps.Version = 1;
         PIRP irp = IoAllocateIrp(1, FALSE);
         irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
         PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
         next->MajorFunction = IRP_MJ_PNP;
         next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
         next->Parameters.DeviceCapabilities.Capabilities = &caps;
         IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(TestBusCreatePdo(), irp);
     },
     "PNP_CAPABILITIES_NOT_INITIALIZED"},
    {"PowerRequestCompletedWithoutPassingItDown",
     [] {
         PDEVICE_OBJECT device = StackedDevice();
         FaultyRead = [](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             return Complete(irp, STATUS_SUCCESS);
         };
         PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
         irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
         PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
         next->MajorFunction = IRP_MJ_POWER;
         next->MinorFunction = IRP_MN_SET_POWER;
         next->Parameters.Power.Type = DevicePowerState;
         next->Parameters.Power.State.DeviceState = PowerDeviceD0;
         IoSetCompletionRoutine(irp, FreeAtIssuer, nullptr, TRUE, TRUE, TRUE);
         PoCallDriver(device, irp);
     },
     "POWER_NOT_PASSED_DOWN"},
};
INSTANTIATE_TEST_SUITE_P(PnpPower, FaultyDriverTest, ::testing::ValuesIn(PnpPowerFaults), CaseName);

/* What a completed request may report back to its issuer. */
const FaultCase CompletionFaults[] = {
    {"InformationBeyondTheOutputBuffer",
     [] {
         PDRIVER_OBJECT driver;
         HostLoadDriver(&FaultyInfo, &driver);
         PDEVICE_OBJECT device;
         IoCreateDevice(driver, sizeof(FaultyExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         device->Flags &= ~DO_DEVICE_INITIALIZING;
         FaultyRead = [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Information = 8;
             return Complete(irp, STATUS_SUCCESS);
         };
         static UCHAR out[4];
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoCallDriver(device, IoBuildDeviceIoControlRequest(
                                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), device,
                                  nullptr, 0, out, sizeof out, FALSE, &event, &iosb));
     },
     "INFORMATION_EXCEEDS_BUFFER"},
    {"RequestWrittenAfterItsCompletion",
     [] {
         PDRIVER_OBJECT driver;
         HostLoadDriver(&FaultyInfo, &driver);
         PDEVICE_OBJECT device;
         IoCreateDevice(driver, sizeof(FaultyExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         device->Flags &= ~DO_DEVICE_INITIALIZING;
         FaultyRead = [](PDEVICE_OBJECT, PIRP irp) {
             NTSTATUS status = Complete(irp, STATUS_SUCCESS);
             irp->IoStatus.Information = 1; /* the I/O manager has finished and freed it */
             return status;
         };
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoCallDriver(device, IoBuildDeviceIoControlRequest(
                                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), device,
                                  nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
     },
     "IRP_TOUCHED_AFTER_FREE"},
    {"PoolBlockWrittenAfterItsFree",
     [] {
         volatile UCHAR *block = (volatile UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 16, TEST_TAG);
         ExFreePool((PVOID)block);
         block[3] = 1;
         HostPoolCheckFreed();
     },
     /* The address sanitizer sees the write itself. */
     "POOL_TOUCHED_AFTER_FREE|heap-use-after-free"},
};
INSTANTIATE_TEST_SUITE_P(Completion, FaultyDriverTest, ::testing::ValuesIn(CompletionFaults), CaseName);

} // namespace
