/*
 * low_resources_test.cpp - the low-resources simulation (N-th allocation, new call sites,
 * seeded share) swept over every failure point of a small driver, and delay fuzzing.
 */
#include <algorithm>
#include <thread>

#include "nt/nt_test_support.h"

namespace {

#define ALLOC_TAG HOST_POOL_TAG('A', 'l', 'l', 'c')

typedef struct AllocExt {
    PDEVICE_OBJECT Lower;
} AllocExt;

NTSTATUS SetEventDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A read that needs four allocations and unwinds correctly when any of them fails. */
NTSTATUS AllocRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = ((AllocExt *)DeviceObject->DeviceExtension)->Lower;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP ioctl;
    PMDL mdl;
    PIRP own;
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, 64, ALLOC_TAG);
    if (!buffer) {
        goto Exit;
    }
    own = IoAllocateIrp(lower->StackSize, FALSE);
    if (!own) {
        goto FreeBuffer;
    }
    mdl = IoAllocateMdl(buffer, 64, FALSE, FALSE, own);
    if (!mdl) {
        goto FreeIrp;
    }
    MmBuildMdlForNonPagedPool(mdl);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioctl = IoBuildDeviceIoControlRequest(0x220003, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (!ioctl) {
        goto FreeMdl;
    }
    if (IoCallDriver(lower, ioctl) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    KeClearEvent(&event);
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(own, SetEventDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, own) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = own->IoStatus.Status;
FreeMdl:
    IoFreeMdl(mdl);
    own->MdlAddress = nullptr;
FreeIrp:
    IoFreeIrp(own);
FreeBuffer:
    ExFreePoolWithTag(buffer, ALLOC_TAG);
Exit:
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AllocEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_READ] = AllocRead;
    return STATUS_SUCCESS;
}

const HostDriverInfo AllocInfo = {"alloc", AllocEntry, FALSE};

NTSTATUS FreeAtIssuer(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    *(NTSTATUS *)Context = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class LowResourcesTest : public NtTest {
protected:
    void SetUp() override
    {
        NtTest::SetUp();
        Pdo = TestBusCreatePdo();
        HostLoadDriver(&AllocInfo, &Driver);
        IoCreateDevice(Driver, sizeof(AllocExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device);
        ((AllocExt *)Device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(Device, Pdo);
        Device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override
    {
        IoDetachDevice(Pdo);
        IoDeleteDevice(Device);
        IoDeleteDevice(Pdo);
        HostUnloadDriver(Driver);
        NtTest::TearDown();
    }
    NTSTATUS Read()
    {
        PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        NTSTATUS final = STATUS_PENDING;
        IoSetCompletionRoutine(irp, FreeAtIssuer, &final, TRUE, TRUE, TRUE);
        IoCallDriver(Device, irp);
        return final;
    }
    PDEVICE_OBJECT Pdo = nullptr, Device = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
};

TEST_F(LowResourcesTest, SweepFailsEachAllocationInTurn)
{
    ULONG point = 1;
    for (;; point++) {
        HostLowResources settings = {&AllocInfo, point, FALSE, 0, 0};
        HostVerifierSetLowResources(&settings);
        NTSTATUS status = Read();
        if (HostVerifierInjectedFailures() == 0) {
            EXPECT_EQ(STATUS_SUCCESS, status);
            break;
        }
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "failure point " << point;
        EXPECT_EQ(point, HostVerifierCountedAllocations()) << "only the driver's own allocations are counted";
        EXPECT_EQ(0u, HostPoolUsageByDriver(Driver).Allocations) << "nothing leaks at failure point " << point;
        ASSERT_LT(point, 10u);
    }
    EXPECT_EQ(5u, point) << "pool, request, MDL and device-control request";
}

TEST_F(LowResourcesTest, NewCallSitesFailOnceEach)
{
    HostLowResources settings = {&AllocInfo, 0, TRUE, 0, 0};
    HostVerifierSetLowResources(&settings);
    for (int run = 1; run <= 4; run++) {
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Read()) << "run " << run;
    }
    EXPECT_EQ(STATUS_SUCCESS, Read()) << "every site has been seen";
    EXPECT_EQ(4u, HostVerifierInjectedFailures());
}

TEST_F(LowResourcesTest, SeededShareIsReproducible)
{
    std::vector<NTSTATUS> first, second;
    for (std::vector<NTSTATUS> *outcomes : {&first, &second}) {
        HostLowResources settings = {&AllocInfo, 0, FALSE, 30, 1234};
        HostVerifierSetLowResources(&settings);
        for (int i = 0; i < 20; i++) {
            outcomes->push_back(Read());
        }
    }
    EXPECT_EQ(first, second);
    EXPECT_NE(std::count(first.begin(), first.end(), STATUS_SUCCESS), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), STATUS_INSUFFICIENT_RESOURCES), 0);
}

TEST_F(NtTest, ChosenPlatformCallFailsInADriversContext)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    HostVerifierFailCall("IoCreateDevice", 1);
    PDEVICE_OBJECT spare;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(Bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &spare))
        << "the test itself is no driver";
    IoDeleteDevice(spare);
    HostDeviceNode *node = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, HostPnpDeviceArrived(pdo, u"TEST\\UNIT\\1", &TestFunctionInfo, &node));
    EXPECT_EQ(nullptr, node);
    EXPECT_EQ(nullptr, pdo->AttachedDevice);
    EXPECT_EQ(nullptr, HostFindDriver(&TestFunctionInfo)) << "a driver left without devices is unloaded";
    EXPECT_EQ(1u, HostVerifierInjectedFailures());
    IoDeleteDevice(pdo);
    node = Arrive(&pdo);
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node)) << "the setting fails one call only";
    Unplug(node, pdo);
}

TEST_F(LowResourcesTest, DelayFuzzingKeepsRequestsCorrect)
{
    HostVerifierSetDelayFuzzing(42, 50, 200);
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    for (int i = 0; i < 20; i++) {
        NTSTATUS status = STATUS_PENDING;
        std::thread reader([&] { status = Read(); });
        while (!TestBusCompleteHeld(STATUS_SUCCESS, 0)) {
            std::this_thread::yield();
        }
        while (!TestBusCompleteHeld(STATUS_SUCCESS, 0)) {
            std::this_thread::yield();
        }
        reader.join();
        EXPECT_EQ(STATUS_SUCCESS, status);
    }
}

} // namespace
