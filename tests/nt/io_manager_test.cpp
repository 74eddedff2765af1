/*
 * io_manager_test.cpp - driver and device objects, requests and their completion,
 * cancellation, threaded device-control requests, MDLs and the pool ledger.
 */
#include <string.h>

#include <thread>

#include "nt/nt_test_support.h"

namespace {

/* ---- A chain of three devices of one driver: top and middle pass down, the bottom completes. */

typedef struct ChainExt {
    PDEVICE_OBJECT Lower;
    char Name;
    bool OnSuccess, OnError, OnCancel;
} ChainExt;

volatile LONG ChainStatus = STATUS_SUCCESS;
volatile LONG ChainPend;
PIRP ChainHeld;

NTSTATUS ChainComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    ChainExt *ext = (ChainExt *)Context;
    TestLogAdd(std::string("done ") + ext->Name + (Irp->PendingReturned ? " pending" : "") + " @" +
               std::to_string(KeGetCurrentIrql()));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

volatile LONG ChainWaitInMiddle;

NTSTATUS StopAndSignal(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    TestLogAdd("B stops");
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ChainDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ChainExt *ext = (ChainExt *)DeviceObject->DeviceExtension;
    if (ext->Name == 'B' && ChainWaitInMiddle) {
        /* Takes the request back on its way up, as a start request is handled. */
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, StopAndSignal, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        TestLogAdd("B resumes");
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (ext->Lower) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, ChainComplete, ext, ext->OnSuccess, ext->OnError, ext->OnCancel);
        return IoCallDriver(ext->Lower, Irp);
    }
    if (ChainPend) {
        IoMarkIrpPending(Irp);
        ChainHeld = Irp;
        return STATUS_PENDING;
    }
    NTSTATUS status = ChainStatus;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ChainEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DriverObject->MajorFunction[IRP_MJ_READ] = ChainDispatch;
    return STATUS_SUCCESS;
}

const HostDriverInfo ChainInfo = {"chain", ChainEntry, FALSE};

NTSTATUS IssuerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    TestLogAdd(std::string("issuer ") + (DeviceObject ? "device" : "null") + (Irp->PendingReturned ? " pending" : ""));
    *(NTSTATUS *)Context = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class ChainTest : public NtTest {
protected:
    void SetUp() override
    {
        NtTest::SetUp();
        ChainStatus = STATUS_SUCCESS;
        ChainPend = 0;
        ChainWaitInMiddle = 0;
        ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&ChainInfo, &Driver));
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(STATUS_SUCCESS,
                      IoCreateDevice(Driver, sizeof(ChainExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Dev[i]));
            ChainExt *ext = (ChainExt *)Dev[i]->DeviceExtension;
            ext->Name = "CBA"[i];
            ext->OnSuccess = ext->OnError = ext->OnCancel = true;
            if (i) {
                ext->Lower = IoAttachDeviceToDeviceStack(Dev[i], Dev[0]);
            }
            Dev[i]->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    void TearDown() override
    {
        IoDetachDevice(Dev[1]);
        IoDetachDevice(Dev[0]);
        for (PDEVICE_OBJECT d : Dev) {
            IoDeleteDevice(d);
        }
        HostUnloadDriver(Driver);
        NtTest::TearDown();
    }
    NTSTATUS Send(NTSTATUS *Final, BOOLEAN Cancel = FALSE)
    {
        PIRP irp = IoAllocateIrp(Dev[2]->StackSize, FALSE);
        irp->Cancel = Cancel;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, IssuerDone, Final, TRUE, TRUE, TRUE);
        return IoCallDriver(Dev[2], irp);
    }
    ChainExt *Ext(int i) { return (ChainExt *)Dev[i]->DeviceExtension; }
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Dev[3] = {}; /* bottom C, middle B, top A */
};

TEST_F(ChainTest, StackBuiltByAttachReportsPreviousTopAndStackSize)
{
    EXPECT_EQ(Dev[0], Ext(1)->Lower);
    EXPECT_EQ(Dev[1], Ext(2)->Lower) << "attaching to the bottom lands on the current top";
    EXPECT_EQ(1, Dev[0]->StackSize);
    EXPECT_EQ(3, Dev[2]->StackSize);
    EXPECT_EQ(Dev[2], IoGetAttachedDevice(Dev[0]));
}

TEST_F(ChainTest, CompletionRunsRoutinesBottomUpAtDispatchLevel)
{
    NTSTATUS final = STATUS_PENDING;
    EXPECT_EQ(STATUS_SUCCESS, Send(&final));
    EXPECT_EQ(STATUS_SUCCESS, final);
    std::vector<std::string> expected = {"done B @2", "done A @2", "issuer null"};
    EXPECT_EQ(expected, TestLogEntries());
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(ChainTest, InvokeFlagsSelectRoutinesByOutcome)
{
    ChainStatus = STATUS_CANCELLED;
    Ext(1)->OnSuccess = Ext(1)->OnError = false; /* B: only on cancel */
    Ext(2)->OnError = Ext(2)->OnCancel = false;  /* A: only on success */
    NTSTATUS final = 0;
    EXPECT_EQ(STATUS_CANCELLED, Send(&final, TRUE));
    std::vector<std::string> expected = {"done B @2", "issuer null"};
    EXPECT_EQ(expected, TestLogEntries());

    TestLogClear();
    EXPECT_EQ(STATUS_CANCELLED, Send(&final, FALSE));
    expected = {"issuer null"};
    EXPECT_EQ(expected, TestLogEntries()) << "an error without cancel invokes neither";
}

TEST_F(ChainTest, PendingReturnedPropagatesToEveryLevel)
{
    ChainPend = 1;
    NTSTATUS final = 0;
    EXPECT_EQ(STATUS_PENDING, Send(&final));
    EXPECT_TRUE(TestLogEntries().empty());
    std::thread completer([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ChainHeld->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(ChainHeld, IO_NO_INCREMENT);
        KeLowerIrql(old);
    });
    completer.join();
    std::vector<std::string> expected = {"done B pending @2", "done A pending @2", "issuer null pending"};
    EXPECT_EQ(expected, TestLogEntries());
    EXPECT_EQ(STATUS_SUCCESS, final);
}

TEST_F(ChainTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    ChainWaitInMiddle = 1;
    ChainStatus = STATUS_DEVICE_BUSY;
    NTSTATUS final = 0;
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(&final));
    std::vector<std::string> expected = {"B stops", "B resumes", "done A @2", "issuer null"};
    EXPECT_EQ(expected, TestLogEntries());
    EXPECT_EQ(STATUS_DEVICE_BUSY, final);
}

TEST_F(ChainTest, UnsetMajorFunctionCompletesWithInvalidDeviceRequest)
{
    PIRP irp = IoAllocateIrp(Dev[2]->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    NTSTATUS final = 0;
    IoSetCompletionRoutine(irp, IssuerDone, &final, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(Dev[2], irp));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, final);
}

/* ---- Driver and device objects ---------------------------------------------------------------- */

int EntryCalls;
NTSTATUS CountingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;
    EntryCalls++;
    return STATUS_SUCCESS;
}
const HostDriverInfo CountingInfo = {"counting", CountingEntry, FALSE};

TEST_F(NtTest, DriverEntryRunsOnceAndDeviceExtensionIsZeroFilled)
{
    EntryCalls = 0;
    PDRIVER_OBJECT first, second;
    ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&CountingInfo, &first));
    ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&CountingInfo, &second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, EntryCalls);
    EXPECT_EQ(first, HostFindDriver(&CountingInfo));

    PDEVICE_OBJECT device;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(first, 4096, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    const UCHAR *ext = (const UCHAR *)device->DeviceExtension;
    size_t nonzero = 0;
    for (int i = 0; i < 4096; i++) {
        nonzero += ext[i] != 0;
    }
    EXPECT_EQ(0u, nonzero);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(1, device->StackSize);
    EXPECT_EQ(device, first->DeviceObject);
    IoDeleteDevice(device);
    EXPECT_EQ(nullptr, first->DeviceObject);
    EXPECT_EQ(STATUS_SUCCESS, HostUnloadDriver(first));
    EXPECT_EQ(nullptr, HostFindDriver(&CountingInfo));
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(NtTest, DeletedDeviceIsReallyFreed)
{
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver;
            HostLoadDriver(&CountingInfo, &driver);
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            volatile UCHAR *ext = (volatile UCHAR *)device->DeviceExtension;
            IoDeleteDevice(device);
            ext[0] = 1;
        },
        "heap-use-after-free");
}
#endif

/* ---- Threaded requests, cancellation, MDLs, pool ------------------------------------------------- */

TEST_F(NtTest, DeviceIoControlRequestCopiesStatusSetsEventAndFreesItself)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    UCHAR in[4] = {1, 2, 3, 4}, out[8] = {0};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), pdo,
                                             in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(1u, HostLiveIrpCount());
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(pdo, irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(4u, iosb.Information);
    UCHAR expected[8] = {4, 3, 2, 1, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, out, sizeof out));
    EXPECT_EQ(0u, HostLiveIrpCount());

    irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoCallDriver(pdo, irp);
    EXPECT_EQ("PDO 0f.00 @0", TestLogEntries().back()) << "internal device control";
    IoDeleteDevice(pdo);
}

TEST_F(NtTest, CancelCallsTheCancelRoutineOnlyWhileOneIsSet)
{
    PDEVICE_OBJECT pdo = TestBusCreatePdo();
    TestBusSetMode(TestBusHold, STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(pdo, irp));
    EXPECT_EQ(1u, TestBusHeldCount());
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_CANCELLED, iosb.Status);
    EXPECT_EQ(0u, TestBusHeldCount());

    PIRP idle = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(idle));
    EXPECT_TRUE(idle->Cancel);
    IoFreeIrp(idle);
    IoDeleteDevice(pdo);
}

TEST_F(NtTest, PartialMdlDescribesThePartWithoutCopying)
{
    static UCHAR buffer[3 * PAGE_SIZE];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, irp);
    ASSERT_NE(nullptr, mdl);
    EXPECT_EQ(mdl, irp->MdlAddress);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ((PVOID)buffer, MmGetMdlVirtualAddress(mdl));
    EXPECT_EQ(sizeof buffer, MmGetMdlByteCount(mdl));

    PMDL part = IoAllocateMdl(buffer + PAGE_SIZE + 10, 100, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, part, buffer + PAGE_SIZE + 10, 100);
    EXPECT_EQ((PVOID)(buffer + PAGE_SIZE + 10), MmGetMdlVirtualAddress(part));
    EXPECT_EQ(100u, MmGetMdlByteCount(part));
    PUCHAR mapped = (PUCHAR)MmGetSystemAddressForMdlSafe(part, NormalPagePriority);
    mapped[0] = 0x5A;
    EXPECT_EQ(0x5A, buffer[PAGE_SIZE + 10]) << "the mapping is the caller's memory itself";
    IoFreeMdl(part);
    IoFreeMdl(mdl);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
}

TEST_F(NtTest, PoolLedgerCountsPerTagDriverAndDevice)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    PDRIVER_OBJECT function = HostFindDriver(&TestFunctionInfo);
    PDEVICE_OBJECT fdo = HostPnpFunctionDevice(node);
    HostPoolUsage byTag = HostPoolUsageByTag(TEST_TAG);
    EXPECT_EQ(64u, byTag.Bytes);
    EXPECT_EQ(1u, byTag.Allocations);
    EXPECT_EQ(64u, HostPoolUsageByDevice(fdo).Bytes) << "the start buffer is charged to the device it started";
    EXPECT_EQ(1u, HostPoolUsageByDriver(function).Allocations);

    PVOID extra = ExAllocatePoolWithTag(NonPagedPool, 10, TEST_TAG);
    EXPECT_EQ(74u, HostPoolUsageByTag(TEST_TAG).Bytes);
    EXPECT_EQ(1u, HostPoolUsageByDriver(function).Allocations) << "the test itself is no driver";
    ExFreePool(extra);
    Unplug(node, pdo);
    EXPECT_EQ(0u, HostPoolUsageByTag(TEST_TAG).Allocations);
}

TEST_F(NtTest, UnicodeStringsCountBytes)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"\\PIPE00");
    EXPECT_EQ(14, a.Length);
    EXPECT_EQ(16, a.MaximumLength);
    RtlInitUnicodeString(&b, u"\\pipe00");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    WCHAR storage[4];
    UNICODE_STRING small = {0, sizeof storage, storage};
    RtlCopyUnicodeString(&small, &a);
    EXPECT_EQ(8, small.Length) << "a copy is cut to the destination's size";
}

} // namespace
