/*
 * device_lifecycle_test.cpp - murvousb from AddDevice to removal: power-down level from the
 * capabilities, the pending-request count, the device interface, the start's descriptor
 * reads and configuration (also with every allocation failing in turn, and with malformed
 * descriptors), and the plug-and-play sequences in Windows' order.
 */
#include "driver_harness.h"

#include <atomic>
#include <thread>

namespace {

ULONG CountConfigReads(const std::vector<SpyRecord> &log, std::vector<ULONG> *lengths = nullptr)
{
    ULONG reads = 0;
    for (const SpyRecord &record : log) {
        if (record.UrbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            record.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            reads++;
            if (lengths) {
                lengths->push_back(record.TransferLength);
            }
        }
    }
    return reads;
}

ULONG CountUrbs(const std::vector<SpyRecord> &log, USHORT function)
{
    ULONG count = 0;
    for (const SpyRecord &record : log) {
        count += record.IsUrb && record.UrbFunction == function;
    }
    return count;
}

using AddDeviceTest = DriverTest;

/* DriverEntry chooses the pool from the running Windows: NX pool from Windows 8 (6.2) on,
 * plain non-paged pool before, which has no NX type (the kernel reports that type there).
 * Every allocation of the start (descriptors, configuration, pipe table) comes from it. */
TEST_F(AddDeviceTest, AllocatesNxPoolFromWindows8OnAndExecutablePoolBefore)
{
    struct Windows {
        ULONG Major, Minor;
        POOL_TYPE Expected, Other;
    };
    for (const Windows windows :
         {Windows{6, 1, NonPagedPool, NonPagedPoolNx}, Windows{6, 2, NonPagedPoolNx, NonPagedPool},
          Windows{10, 0, NonPagedPoolNx, NonPagedPool}}) {
        SCOPED_TRACE(testing::Message() << "Windows " << windows.Major << "." << windows.Minor);
        HostSetWindowsVersion(windows.Major, windows.Minor, 0);
        ULONG expectedBefore = HostPoolAllocationsOfType(windows.Expected);
        ULONG otherBefore = HostPoolAllocationsOfType(windows.Other);
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        EXPECT_EQ(MurvoNonPagedPool, windows.Expected);
        EXPECT_GT(HostPoolAllocationsOfType(windows.Expected), expectedBefore);
        EXPECT_EQ(HostPoolAllocationsOfType(windows.Other), otherBefore);
        UnplugAndWait();
    }
}

TEST_F(AddDeviceTest, PowerDownLevelIsTheLastSleepingStateShallowerThanD3)
{
    struct Case {
        DEVICE_POWER_STATE S1, S2, S3, Expected;
    } cases[] = {
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified},
        {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD2, PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified},
        {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
    };
    for (const Case &c : cases) {
        HostUsbUnitSettings settings = UnitSettings();
        settings.Capabilities.DeviceState[PowerSystemSleeping1] = c.S1;
        settings.Capabilities.DeviceState[PowerSystemSleeping2] = c.S2;
        settings.Capabilities.DeviceState[PowerSystemSleeping3] = c.S3;
        ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->PowerDownLevel, c.Expected) << c.S1 << " " << c.S2 << " " << c.S3;
        EXPECT_EQ(Ext()->DeviceCapabilities.Size, sizeof(DEVICE_CAPABILITIES));
        UnplugAndWait();
    }
}

TEST_F(AddDeviceTest, LinkNamesLongerThan255UnitsAreRefused)
{
    // The stand-in's link name is "\??\" + instance (backslashes as '#') + "#" + the GUID in
    // braces: 43 units plus the instance.
    const std::u16string prefix = u"USB\\VID_1A4D&PID_0100\\";
    struct Case {
        size_t InstanceLength;
        bool Refused;
    } cases[] = {{212, false}, {213, true}, {400, true}};
    for (const Case &c : cases) {
        PDEVICE_OBJECT pdo = SpyCreateFakePdo();
        ASSERT_NE(pdo, nullptr);
        std::u16string instance = prefix + std::u16string(c.InstanceLength - prefix.size(), u'7');
        HostDeviceNode *node = nullptr;
        NTSTATUS status = HostPnpDeviceArrived(pdo, instance.c_str(), &MurvoTestDriver, &node);
        if (c.Refused) {
            EXPECT_EQ(status, STATUS_NAME_TOO_LONG) << c.InstanceLength;
        } else {
            // Accepted: the name fits with its NUL; the unit behind answers no URB, so the
            // start fails and the stack is removed again.
            ASSERT_NE(node, nullptr) << c.InstanceLength;
            EXPECT_NE(status, STATUS_NAME_TOO_LONG);
            EXPECT_TRUE(HostPnpWaitRemoved(node, 5000));
        }
        EXPECT_TRUE(InterfacePath().empty()) << c.InstanceLength;
        EXPECT_TRUE(WaitFor([] { return HostFindDriver(&MurvoTestDriver) == nullptr; }));
        IoDeleteDevice(pdo);
        EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u) << c.InstanceLength;
    }
}

TEST_F(AddDeviceTest, AFailedInterfaceRegistrationLeavesNoDeviceObject)
{
    // A physical device object that plug and play never announced has no device instance,
    // so its interface cannot be registered.
    PDEVICE_OBJECT pdo = SpyCreateFakePdo();
    ASSERT_NE(pdo, nullptr);
    PDRIVER_OBJECT murvo = nullptr;
    ASSERT_EQ(HostLoadDriver(&MurvoTestDriver, &murvo), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(AddDevice(murvo, pdo)));
    EXPECT_EQ(murvo->DeviceObject, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u);
    HostUnloadDriver(murvo);
    IoDeleteDevice(pdo);
}

TEST_F(AddDeviceTest, EachFailingKernelCallFailsItWithNoDeviceAndNoPoolLeft)
{
    // The harness's spy device is created and attached first: murvousb's own calls of those
    // two routines are the second ones.
    struct Case {
        const char *Routine;
        ULONG Nth;
        NTSTATUS Expected;
    } cases[] = {
        {"IoRegisterDeviceInterface", 1, STATUS_INSUFFICIENT_RESOURCES},
        {"IoSetDeviceInterfaceState", 1, STATUS_INSUFFICIENT_RESOURCES},
        {"IoCreateDevice", 2, STATUS_INSUFFICIENT_RESOURCES},
        {"IoAttachDeviceToDeviceStack", 2, STATUS_NO_SUCH_DEVICE},
    };
    ULONG injected = HostVerifierInjectedFailures();
    for (const Case &c : cases) {
        PDEVICE_OBJECT pdo = SpyCreateFakePdo();
        ASSERT_NE(pdo, nullptr);
        HostVerifierFailCall(c.Routine, c.Nth);
        HostDeviceNode *node = nullptr;
        NTSTATUS status = HostPnpDeviceArrived(pdo, u"USB\\VID_1A4D&PID_0100\\7", &MurvoTestDriver, &node);
        HostVerifierFailCall(c.Routine, 0);
        EXPECT_EQ(status, c.Expected) << c.Routine;
        EXPECT_EQ(HostVerifierInjectedFailures(), injected + 1) << c.Routine;
        injected = HostVerifierInjectedFailures();
        EXPECT_EQ(pdo->AttachedDevice, nullptr) << c.Routine;
        EXPECT_TRUE(WaitFor([] { return HostFindDriver(&MurvoTestDriver) == nullptr; })) << c.Routine;
        IoDeleteDevice(pdo);
        EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u) << c.Routine;
    }
}

TEST_F(AddDeviceTest, FailedCapabilityQueryLeavesNoSelfPowerDown)
{
    SpyAddFailure({IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, 0, SpyAnyUrb, 0, 0, STATUS_UNSUCCESSFUL, 0});
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PowerDownLevel, PowerDeviceUnspecified);
    SpyClearLog();
    HostFile *pipe = OpenOk(u"\\PIPE00");
    HostCloseFile(pipe);
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_FALSE(record.Major == IRP_MJ_POWER && record.PowerType == DevicePowerState)
            << "a unit without a power-down level is never powered by the driver itself";
    }
}

TEST_F(AddDeviceTest, ACapabilityQueryThatTheBusPendsIsWaitedFor)
{
    HostUsbUnitSettings settings = UnitSettings();
    settings.Capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    SpyDelayPnp(IRP_MN_QUERY_CAPABILITIES, 50);
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DeviceCapabilities.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(Ext()->PowerDownLevel, PowerDeviceD2) << "the capabilities the bus filled in once it completed the query";
}

TEST_F(AddDeviceTest, CountIsOneAfterStartAndInterfaceIsEnabledBeforeStart)
{
    bool interfaceSeenAtStart = false;
    LONG countAtStart = -1;
    SpySetHook([&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) {
            interfaceSeenAtStart = !InterfacePath().empty();
            countAtStart = ExtensionOf(SpyFunctionDevice())->PendingIoCount;
        }
    });
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_TRUE(interfaceSeenAtStart);
    EXPECT_EQ(countAtStart, 2) << "AddDevice's reference plus the start request's";
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_TRUE(KeReadStateEvent(&Ext()->NoPendingIoEvent));
    EXPECT_FALSE(KeReadStateEvent(&Ext()->RemoveEvent));
    EXPECT_EQ(Ext()->MaxTransferLength, 4096u);
    EXPECT_NE(Ext()->SymbolicLinkName[0], 0);

    UnplugAndWait();
    EXPECT_TRUE(InterfacePath().empty()) << "removal disables the interface";
}

TEST_F(AddDeviceTest, SystemControlIsPassedOnWithSuccessFilledIn)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    NTSTATUS seenStatus = STATUS_PENDING;
    SpySetHook([&](PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
            seenStatus = irp->IoStatus.Status;
        }
    });
    SpyAddFailure({IRP_MJ_SYSTEM_CONTROL, 0xFF, 0, SpyAnyUrb, 0, 0, STATUS_INVALID_DEVICE_REQUEST, 0});
    PIRP irp = IoAllocateIrp(Fdo()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, OnCompleteSetEvent, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(Fdo(), irp), STATUS_INVALID_DEVICE_REQUEST);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
    EXPECT_EQ(seenStatus, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

using StartTest = DriverTest;

TEST_F(StartTest, ShortDescriptorIsReadOnceLongOneTwiceWithItsExactLength)
{
    struct Case {
        uint32_t TotalLength;
        std::vector<ULONG> Reads;
    } cases[] = {{32, {521}}, {521, {521}}, {522, {521, 522}}, {600, {521, 600}}};
    for (const Case &c : cases) {
        HostUsbUnitSettings settings = UnitSettings();
        settings.Descriptors = DescriptorsOfLength(c.TotalLength);
        SpyClearLog();
        ASSERT_EQ(Plug(settings), STATUS_SUCCESS) << c.TotalLength;
        std::vector<ULONG> lengths;
        CountConfigReads(SpyLog(), &lengths);
        EXPECT_EQ(lengths, c.Reads) << c.TotalLength;
        EXPECT_EQ(Ext()->ConfigDescriptorLength, c.TotalLength);
        EXPECT_EQ(memcmp(Ext()->ConfigDescriptor, settings.Descriptors.Config, c.TotalLength), 0);
        UnplugAndWait();
    }
}

TEST_F(StartTest, AStartThatTheBusPendsIsWaitedForBeforeTheDescriptorsAreRead)
{
    SpyDelayPnp(IRP_MN_START_DEVICE, 50);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->Started);
    EXPECT_EQ(CountConfigReads(SpyLog()), 1u);
    HostFile *pipe = OpenOk(u"\\PIPE01");
    HostCloseFile(pipe);
}

TEST_F(StartTest, EveryPipeIsGivenTransfersOf4096)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    bool selected = false;
    for (const SpyRecord &record : SpyLog()) {
        if (record.IsUrb && record.UrbFunction == URB_FUNCTION_SELECT_CONFIGURATION && !record.ConfigurationNull) {
            selected = true;
            EXPECT_EQ(record.MaximumTransferSizes, std::vector<ULONG>(2, 4096));
        }
    }
    EXPECT_TRUE(selected);
    ASSERT_NE(Ext()->InterfaceInfo, nullptr);
    ASSERT_EQ(Ext()->InterfaceInfo->NumberOfPipes, 2u);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[0].EndpointAddress, BUS_UNIT_IN_ENDPOINT);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].EndpointAddress, BUS_UNIT_OUT_ENDPOINT);
    for (ULONG i = 0; i < 2; i++) {
        EXPECT_EQ(Ext()->InterfaceInfo->Pipes[i].MaximumTransferSize, 4096u);
        EXPECT_EQ(Ext()->PipeTable[i].PipeInformation, &Ext()->InterfaceInfo->Pipes[i]);
        EXPECT_EQ(Ext()->PipeTable[i].OwnerDevice, Fdo());
        EXPECT_EQ(Ext()->PipeTable[i].IsOpen, 0);
    }
    EXPECT_TRUE(Ext()->Started);
    EXPECT_TRUE(CanAcceptIo(Fdo()));
}

TEST_F(StartTest, StartFailingAtEachAllocationLeavesNothingBehind)
{
    // Count the allocations of a good start (descriptor of two reads, to reach every path).
    HostUsbUnitSettings settings = UnitSettings();
    settings.Descriptors = DescriptorsOfLength(600);
    HostLowResources counting = {&MurvoTestDriver, 0, FALSE, 0, 0};
    HostVerifierSetLowResources(&counting);
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    ULONG allocations = HostVerifierCountedAllocations();
    UnplugAndWait();
    ASSERT_GT(allocations, 6u);

    ULONG failedStarts = 0;
    for (ULONG nth = 1; nth <= allocations; nth++) {
        HostLowResources failing = {&MurvoTestDriver, nth, FALSE, 0, 0};
        HostVerifierSetLowResources(&failing);
        NTSTATUS status = Plug(settings);
        if (!NT_SUCCESS(status)) {
            failedStarts++;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
            EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000)) << "a failed start is removed";
            EXPECT_TRUE(InterfacePath().empty());
        } else {
            UnplugAndWait();
        }
        HostVerifierSetLowResources(nullptr);
        EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u) << "allocation " << nth;
    }
    EXPECT_GE(failedStarts, 6u) << "descriptor URB, device descriptor, config buffers, pipe table, copy";
}

TEST_F(StartTest, FailedDescriptorRequestsEndTheStartWithTheirStatus)
{
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                   USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, STATUS_DEVICE_NOT_READY, USBD_STATUS_STALL_PID});
    EXPECT_EQ(Plug(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(CountUrbs(SpyLog(), URB_FUNCTION_SELECT_CONFIGURATION), 0u);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));

    SpyReset();
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                   USB_DEVICE_DESCRIPTOR_TYPE, 1, STATUS_DEVICE_NOT_READY, USBD_STATUS_STALL_PID});
    EXPECT_EQ(Plug(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(CountConfigReads(SpyLog()), 0u);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));

    SpyReset();
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_SELECT_CONFIGURATION, 0, 1,
                   STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR});
    EXPECT_EQ(Plug(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
}

TEST_F(StartTest, MalformedConfigurationDescriptorsFailTheStart)
{
    struct Case {
        const char *What;
        void (*Break)(UsbDescriptorSet *set);
        NTSTATUS Expected;
    } cases[] = {
        {"fewer than 9 bytes arrive", [](UsbDescriptorSet *set) { set->ConfigLength = 8; }, STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength below 9",
         [](UsbDescriptorSet *set) {
             set->Config[2] = 8;
             set->Config[3] = 0;
         },
         STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength above the bytes sent", [](UsbDescriptorSet *set) { set->Config[2] = 40; },
         STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength 600 but 550 bytes sent",
         [](UsbDescriptorSet *set) {
             *set = DescriptorsOfLength(600);
             set->ConfigLength = 550;
         },
         STATUS_DEVICE_DATA_ERROR},
        {"a descriptor of length 0 inside", [](UsbDescriptorSet *set) { set->Config[9] = 0; },
         STATUS_DEVICE_DATA_ERROR},
        {"a descriptor running past the end", [](UsbDescriptorSet *set) { set->Config[25] = 200; },
         STATUS_DEVICE_DATA_ERROR},
        {"one byte after the last descriptor",
         [](UsbDescriptorSet *set) {
             uint32_t total = set->ConfigLength + 1;
             set->Config[set->ConfigLength] = 2;
             set->ConfigLength = total;
             set->Config[2] = static_cast<UCHAR>(total);
             set->Config[3] = static_cast<UCHAR>(total >> 8);
         },
         STATUS_DEVICE_DATA_ERROR},
        {"no interface descriptor",
         [](UsbDescriptorSet *set) {
             UCHAR config[9];
             memcpy(config, set->Config, 9);
             config[2] = 9;
             config[3] = 0;
             config[4] = 0;
             memcpy(set->Config, config, 9);
             set->ConfigLength = 9;
         },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case &c : cases) {
        HostUsbUnitSettings settings = UnitSettings();
        c.Break(&settings.Descriptors);
        EXPECT_EQ(Plug(settings), c.Expected) << c.What;
        EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000)) << c.What;
        EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u) << c.What;
    }
}

using PnpTest = DriverTest;

TEST_F(PnpTest, QueryAndCancelStopOnAStartedUnit)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->StopPending);
    EXPECT_FALSE(CanAcceptIo(Fdo()));
    HostFile *file = nullptr;
    EXPECT_EQ(Open(u"", &file), STATUS_DELETE_PENDING);
    EXPECT_EQ(HostPnpCancelStop(Node()), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->StopPending);
    EXPECT_TRUE(CanAcceptIo(Fdo()));
    HostCloseFile(OpenOk(u""));
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(PnpTest, QueryAndCancelRemoveOnAStartedUnit)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpQueryRemove(Node()), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->RemovePending);
    HostFile *file = nullptr;
    EXPECT_EQ(Open(u"\\PIPE00", &file), STATUS_DELETE_PENDING);
    EXPECT_EQ(HostPnpCancelRemove(Node()), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->RemovePending);
    HostCloseFile(OpenOk(u"\\PIPE00"));
}

TEST_F(PnpTest, StopAndRestartReplaceTheBuffersAndEndPipesOpenAcrossTheStop)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostPoolUsage afterStart = HostPoolUsageByTag(MurvoPoolTag);
    HostFile *pipe = OpenOk(u"\\PIPE01");
    EXPECT_EQ(Ext()->OpenPipes, 1);

    SpyClearLog();
    EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->Started);
    EXPECT_FALSE(Ext()->StopPending);
    bool unconfigured = false;
    for (const SpyRecord &record : SpyLog()) {
        unconfigured |=
            record.IsUrb && record.UrbFunction == URB_FUNCTION_SELECT_CONFIGURATION && record.ConfigurationNull;
    }
    EXPECT_TRUE(unconfigured);
    UCHAR byte = 0x5A;
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostWriteFile(pipe, &byte, 1, nullptr, &moved), STATUS_DELETE_PENDING);

    for (int restart = 0; restart < 3; restart++) {
        EXPECT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
        EXPECT_TRUE(Ext()->Started);
        HostPoolUsage afterRestart = HostPoolUsageByTag(MurvoPoolTag);
        EXPECT_EQ(afterRestart.Allocations, afterStart.Allocations) << "restart " << restart;
        EXPECT_EQ(afterRestart.Bytes, afterStart.Bytes) << "restart " << restart;
        if (restart < 2) {
            EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
            EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(Ext()->OpenPipes, 0) << "the pipe open across the stop is closed for good";
    EXPECT_EQ(HostWriteFile(pipe, &byte, 1, nullptr, &moved), STATUS_INVALID_HANDLE);
    EXPECT_EQ(HostDeviceIoControl(pipe, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0, nullptr, &moved),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(HostCloseFile(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipes, 0);
    HostFile *again = OpenOk(u"\\PIPE01");
    EXPECT_EQ(HostWriteFile(again, &byte, 1, nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    HostCloseFile(again);
}

/* The unconfigure refused by the bus, or its request not even allocated: either way the stop
 * succeeds, goes down, and leaves the unit stopped and startable. */
TEST_F(PnpTest, AFailedUnconfigureStillStopsTheUnitAndPassesTheStopDown)
{
    for (bool allocationFails : {false, true}) {
        SCOPED_TRACE(allocationFails ? "its allocation fails" : "the bus refuses it");
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
        SpyClearLog();
        HostLowResources firstAllocation = {&MurvoTestDriver, 1, FALSE, 0, 0};
        if (allocationFails) {
            HostVerifierSetLowResources(&firstAllocation); // the stop's first: the unconfigure's URB
        } else {
            SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_SELECT_CONFIGURATION, 0, 1,
                           STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR});
        }
        EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS) << "a stop after a successful query does not fail";
        HostVerifierSetLowResources(nullptr);
        bool passedDown = false, unconfigureSent = false;
        for (const SpyRecord &record : SpyLog()) {
            passedDown |= record.Major == IRP_MJ_PNP && record.Minor == IRP_MN_STOP_DEVICE;
            unconfigureSent |= record.IsUrb && record.UrbFunction == URB_FUNCTION_SELECT_CONFIGURATION;
        }
        EXPECT_TRUE(passedDown);
        EXPECT_EQ(unconfigureSent, !allocationFails);
        EXPECT_FALSE(Ext()->Started);
        EXPECT_FALSE(Ext()->StopPending);
        EXPECT_FALSE(CanAcceptIo(Fdo()));
        ASSERT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
        HostCloseFile(OpenOk(u"\\PIPE00"));
        UnplugAndWait();
    }
}

/* A transfer whose request below refuses the cancel (no cancel routine there): the stop must
 * not wait for it before it aborts the pipe, since the abort is what ends it. */
TEST_F(PnpTest, AStopGoesOnToTheAbortWhenATransferRefusesItsCancel)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    SpyHoldTransfersRefusingCancel(true);
    Pending read;
    UCHAR reply[512];
    ASSERT_EQ(HostReadFile(in, reply, sizeof reply, &read.Io, nullptr), STATUS_PENDING);
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);

    std::atomic<bool> stopped{false};
    NTSTATUS stopStatus = STATUS_PENDING;
    std::thread stopper([&] {
        stopStatus = HostPnpStop(Node());
        stopped = true;
    });
    bool ended = WaitFor([&] { return stopped.load(); });
    if (!ended) {
        SpyReleaseHeld(STATUS_CANCELLED); // lets the stop end, so the test can report
    }
    stopper.join();
    EXPECT_TRUE(ended) << "the stop waited, before the abort, for a transfer whose request refused the cancel";
    EXPECT_EQ(stopStatus, STATUS_SUCCESS);
    read.Wait();
    EXPECT_FALSE(NT_SUCCESS(read.Io.IoStatus.Status));
    EXPECT_EQ(read.Io.IoStatus.Information, 0u);
    SpyHoldTransfersRefusingCancel(false);
    ASSERT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
    HostCloseFile(in);
}

TEST_F(PnpTest, StopAbortsTheOpenPipesAndWaitsForThemBeforeItUnconfigures)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    USBD_PIPE_HANDLE inHandle = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    // A single read the unit never answers: it waits in the bus.
    KEVENT readDone;
    KeInitializeEvent(&readDone, NotificationEvent, FALSE);
    HostAsyncIo read{};
    read.Event = &readDone;
    UCHAR reply[512];
    ASSERT_EQ(HostReadFile(in, reply, sizeof reply, &read, nullptr), STATUS_PENDING);

    std::atomic<bool> unconfigured{false}, readEndedFirst{false}, abortedFirst{false};
    SpySetHook([&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
            stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            return;
        }
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && urb->UrbPipeRequest.PipeHandle == inHandle) {
            abortedFirst = !unconfigured.load();
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) {
            unconfigured = true;
            readEndedFirst = KeReadStateEvent(&readDone) != 0;
        }
    });
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    ASSERT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    SpySetHook(nullptr);
    EXPECT_TRUE(unconfigured);
    EXPECT_TRUE(abortedFirst) << "the open pipe is aborted before the unconfigure";
    EXPECT_TRUE(readEndedFirst) << "the read has ended before the unconfigure";
    if (KeReadStateEvent(&readDone) == 0) {
        HostCancelFileIo(in);
    }
    KeWaitForSingleObject(&readDone, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(NT_SUCCESS(read.IoStatus.Status));
    EXPECT_EQ(read.IoStatus.Information, 0u);

    // A removal of the stopped unit sends nothing with the dropped configuration's handles.
    SpyClearLog();
    ASSERT_TRUE(HostUsbUnplug(bus, port));
    HostCloseFile(in);
    HostCloseFile(out);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_NE(record.UrbFunction, URB_FUNCTION_ABORT_PIPE) << "no abort while the unit is not configured";
    }
}

/* The abort of a stop cannot even be built: the read the unit never answers is cancelled by
 * the driver itself, and the unconfigure still finds nothing queued. */
TEST_F(PnpTest, AStopWhoseAbortCannotBeAllocatedEndsTheReadBeforeItUnconfigures)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    KEVENT readDone;
    KeInitializeEvent(&readDone, NotificationEvent, FALSE);
    HostAsyncIo read{};
    read.Event = &readDone;
    UCHAR reply[512];
    ASSERT_EQ(HostReadFile(in, reply, sizeof reply, &read, nullptr), STATUS_PENDING);
    std::atomic<bool> unconfigured{false}, readEndedFirst{false};
    SpySetHook([&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
                urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) {
                unconfigured = true;
                readEndedFirst = KeReadStateEvent(&readDone) != 0;
            }
        }
    });
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    // The stop's first allocation is the abort's URB.
    HostLowResources failing = {&MurvoTestDriver, 1, FALSE, 0, 0};
    HostVerifierSetLowResources(&failing);
    std::thread stopper([&] { EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS); });
    bool ended = WaitFor([&] { return KeReadStateEvent(&readDone) != 0; });
    if (!ended) {
        HostCancelFileIo(in); // lets a stop that waits for the read go on
    }
    stopper.join();
    EXPECT_EQ(HostVerifierInjectedFailures(), 1u);
    HostVerifierSetLowResources(nullptr);
    SpySetHook(nullptr);
    EXPECT_TRUE(ended) << "the stop waited for the program to cancel its read";
    EXPECT_TRUE(unconfigured);
    EXPECT_TRUE(readEndedFirst) << "the read has ended before the unconfigure";
    KeWaitForSingleObject(&readDone, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(read.IoStatus.Status, STATUS_CANCELLED);
    HostCloseFile(in);
    ASSERT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
    HostCloseFile(OpenOk(u"\\PIPE00"));
}

/* The driver powered the unit down (no pipe open) and the stop's power-up fails: the bus
 * powers the unit on when it starts it again, so the next start reads its descriptors. */
TEST_F(PnpTest, AStartAfterAStopWhosePowerUpFailedFindsTheUnitPowered)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostCloseFile(OpenOk(u"\\PIPE00"));
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
    ASSERT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    HostUsbUnitState state;
    ASSERT_TRUE(HostUsbQueryUnit(bus, port, &state));
    ASSERT_EQ(state.PowerState, PowerDeviceD2) << "the stop's power-up failed";
    EXPECT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
    ASSERT_TRUE(HostUsbQueryUnit(bus, port, &state));
    EXPECT_EQ(state.PowerState, PowerDeviceD0);
    HostCloseFile(OpenOk(u"\\PIPE00"));
}

TEST_F(PnpTest, ARemovalAfterAStopWhoseAbortFailedSendsNoAbort)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_ABORT_PIPE, 0, 1, STATUS_UNSUCCESSFUL,
                   USBD_STATUS_ERROR});
    ASSERT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OpenPipes, 1) << "the pipe whose abort failed stays open";
    SpyClearLog();
    ASSERT_TRUE(HostUsbUnplug(bus, port));
    HostCloseFile(in);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_NE(record.UrbFunction, URB_FUNCTION_ABORT_PIPE) << "no abort while the unit is not configured";
    }
}

TEST_F(PnpTest, QueriesOnAStoppedUnitLeaveTheFlagsAlone)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    if (NT_SUCCESS(HostPnpQueryRemove(Node()))) {
        EXPECT_FALSE(Ext()->RemovePending) << "not started: passed on untouched";
        HostPnpCancelRemove(Node());
    }
    EXPECT_FALSE(Ext()->RemovePending);
    EXPECT_FALSE(Ext()->Started);
    EXPECT_FALSE(CanAcceptIo(Fdo()));
}

TEST_F(PnpTest, SurpriseRemovalWithFilesOpenAbortsThenRemovalFreesEverything)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    HostFile *device = OpenOk(u"");
    EXPECT_EQ(Ext()->OpenPipes, 2);
    USBD_PIPE_HANDLE inHandle = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE outHandle = Ext()->InterfaceInfo->Pipes[1].PipeHandle;
    DeviceExtension *extension = Ext();
    std::u16string path = InterfacePath();

    SpyClearLog();
    ASSERT_TRUE(HostUsbUnplug(bus, port));
    ASSERT_TRUE(WaitFor([&] { return HostPnpGetState(Node()) == HostDeviceSurpriseRemoved; }));
    EXPECT_TRUE(extension->Removing);
    EXPECT_EQ(extension->OpenPipes, 0);
    std::vector<USBD_PIPE_HANDLE> aborted;
    for (const SpyRecord &record : SpyLog()) {
        if (record.UrbFunction == URB_FUNCTION_ABORT_PIPE) {
            aborted.push_back(record.PipeHandle);
        }
    }
    EXPECT_EQ(aborted, (std::vector<USBD_PIPE_HANDLE>{inHandle, outHandle}));
    EXPECT_TRUE(InterfacePath().empty()) << "the interface of a unit that is gone is disabled at once";
    HostFile *late = nullptr;
    EXPECT_EQ(HostCreateFile(process, path.c_str(), &late), STATUS_OBJECT_NAME_NOT_FOUND);

    UCHAR buffer[8];
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostReadFile(in, buffer, sizeof buffer, nullptr, &moved), STATUS_DELETE_PENDING);
    EXPECT_EQ(HostCloseFile(in), STATUS_SUCCESS);
    EXPECT_EQ(extension->OpenPipes, 0) << "never below zero";
    EXPECT_EQ(HostCloseFile(out), STATUS_SUCCESS);
    EXPECT_EQ(extension->OpenPipes, 0);
    EXPECT_EQ(HostPnpGetState(Node()), HostDeviceSurpriseRemoved) << "removal waits for the last file";
    EXPECT_EQ(HostCloseFile(device), STATUS_SUCCESS);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
    EXPECT_TRUE(InterfacePath().empty());
}

TEST_F(PnpTest, UninstallOfAStartedUnit)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    HostCloseFile(device);
    EXPECT_EQ(HostPnpUninstall(Node()), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpGetState(Node()), HostDeviceRemoved);
    EXPECT_TRUE(InterfacePath().empty());
}

} // namespace
