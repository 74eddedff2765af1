/*
 * pnp_power_test.cpp - the plug-and-play manager's sequences and rules, and system power
 * transitions, seen from the drivers' side through their logs.
 */
#include <chrono>
#include <thread>

#include "nt/nt_test_support.h"

namespace {

std::vector<std::string> FunctionPnp(void) { return TestLogMatching("FDO 1b."); }

TEST_F(NtTest, ArrivalLoadsAddsAndStartsAtPassiveLevel)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    /* After the start, the whole stack is asked its capabilities, state and bus relations. */
    std::vector<std::string> expected = {"FDO ENTRY",    "FDO ADD",      "FDO 1b.00 @0", "PDO 1b.00 @0",
                                         "FDO 1b.09 @0", "PDO 1b.09 @0", "FDO 1b.14 @0", "PDO 1b.14 @0",
                                         "FDO 1b.07 @0", "PDO 1b.07 @0"};
    EXPECT_EQ(expected, TestLogEntries());
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node));
    PDEVICE_OBJECT fdo = HostPnpFunctionDevice(node);
    ASSERT_NE(nullptr, fdo);
    EXPECT_EQ(fdo, pdo->AttachedDevice);
    EXPECT_EQ(2, fdo->StackSize);
    Unplug(node, pdo);
}

TEST_F(NtTest, StopAndRestartFollowWindowsOrder)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    TestLogClear();
    EXPECT_EQ(STATUS_SUCCESS, HostPnpRebalance(node));
    std::vector<std::string> expected = {"FDO 1b.05 @0", "FDO 1b.04 @0", "FDO 1b.00 @0",
                                         "FDO 1b.09 @0", "FDO 1b.14 @0", "FDO 1b.07 @0"};
    EXPECT_EQ(expected, FunctionPnp());
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node));

    TestLogClear();
    TestFunctionRefuseQueryStop = 1;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, HostPnpQueryStop(node));
    expected = {"FDO 1b.05 @0", "FDO 1b.06 @0"};
    EXPECT_EQ(expected, FunctionPnp()) << "a refused query is cancelled";
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, HostPnpStop(node)) << "no stop without an accepted query";

    TestFunctionRefuseQueryStop = 0;
    EXPECT_EQ(STATUS_SUCCESS, HostPnpQueryStop(node));
    EXPECT_EQ(HostDeviceStopPending, HostPnpGetState(node));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpCancelStop(node));
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node));
    Unplug(node, pdo);
}

TEST_F(NtTest, RemovalDeletesTheStackAndUnloadsTheLastDevicesDriver)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    EXPECT_EQ(STATUS_SUCCESS, HostPnpQueryRemove(node));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpCancelRemove(node));
    TestLogClear();
    TestBusMarkGone(pdo);
    EXPECT_EQ(STATUS_SUCCESS, HostPnpUninstall(node));
    /* Removal relations are asked before the query. */
    std::vector<std::string> expected = {"FDO 1b.07 @0", "FDO 1b.01 @0", "FDO 1b.02 @0"};
    EXPECT_EQ(expected, FunctionPnp());
    EXPECT_EQ("FDO UNLOAD", TestLogEntries().back());
    EXPECT_EQ(HostDeviceRemoved, HostPnpGetState(node));
    EXPECT_EQ(nullptr, HostPnpFunctionDevice(node));
    EXPECT_EQ(nullptr, HostFindDriver(&TestFunctionInfo));
}

TEST_F(NtTest, SurpriseRemovalWaitsForTheLastFileBeforeRemove)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    WCHAR path[256];
    ASSERT_EQ(STATUS_SUCCESS, HostGetDeviceInterfacePath(&TestInterfaceClass, 0, path, 256, nullptr));
    HostProcess *process = HostProcessCreate();
    HostFile *file;
    ASSERT_EQ(STATUS_SUCCESS, HostCreateFile(process, path, &file));
    TestLogClear();
    TestBusMarkGone(pdo);
    HostPnpDeviceGone(pdo);
    EXPECT_FALSE(HostPnpWaitRemoved(node, 100)) << "a file is still open";
    EXPECT_EQ(HostDeviceSurpriseRemoved, HostPnpGetState(node));
    std::vector<std::string> expected = {"FDO 1b.17 @0"};
    EXPECT_EQ(expected, FunctionPnp());
    EXPECT_NE(nullptr, HostPnpFunctionDevice(node)) << "surprise removal does not delete";
    HostCloseFile(file);
    EXPECT_TRUE(HostPnpWaitRemoved(node, 5000));
    expected = {"FDO 1b.17 @0", "FDO 1b.02 @0"};
    EXPECT_EQ(expected, FunctionPnp());
    HostProcessEnd(process);
}

TEST_F(NtTest, OpenFileVetoesQueryRemove)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    WCHAR path[256];
    ASSERT_EQ(STATUS_SUCCESS, HostGetDeviceInterfacePath(&TestInterfaceClass, 0, path, 256, nullptr));
    HostProcess *process = HostProcessCreate();
    HostFile *file;
    ASSERT_EQ(STATUS_SUCCESS, HostCreateFile(process, path, &file));
    TestLogClear();
    EXPECT_EQ(STATUS_DEVICE_BUSY, HostPnpQueryRemove(node));
    EXPECT_EQ(HostDeviceStarted, HostPnpGetState(node));
    /* The stack is asked first; the open handle then fails the query, which is cancelled. */
    std::vector<std::string> expected = {"FDO 1b.07 @0", "FDO 1b.01 @0", "FDO 1b.03 @0"};
    EXPECT_EQ(expected, FunctionPnp());
    HostProcessEnd(process);
    Unplug(node, pdo);
}

TEST_F(NtTest, SystemSleepQueriesThenSetsAndWaitsForHeldRequests)
{
    PDEVICE_OBJECT pdo;
    HostDeviceNode *node = Arrive(&pdo);
    TestLogClear();
    EXPECT_EQ(STATUS_SUCCESS, HostPoSetSystemPowerState(PowerSystemSleeping3));
    EXPECT_EQ(PowerSystemSleeping3, HostPoGetSystemPowerState());
    /* The function driver holds the system request until its device request is done; the
     * power manager waits, and delivers everything at PASSIVE_LEVEL to the pageable stack. */
    std::vector<std::string> expected = {"FDO 16.03 @0", "PDO 16.03 @0",   "FDO 16.02 @0", "FDO 16.02 @0",
                                         "PDO 16.02 @0", "FDO D3 DONE @2", "PDO 16.02 @0"};
    EXPECT_EQ(expected, TestLogMatching(""));
    EXPECT_EQ(PowerDeviceD3, HostPoGetDevicePowerState(pdo));

    TestLogClear();
    EXPECT_EQ(STATUS_SUCCESS, HostPoSetSystemPowerState(PowerSystemWorking));
    EXPECT_TRUE(TestLogMatching("FDO 16.03").empty()) << "waking is not queried";
    EXPECT_EQ(PowerDeviceD0, HostPoGetDevicePowerState(pdo));

    TestFunctionRefuseQueryPower = 1;
    TestLogClear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, HostPoSetSystemPowerState(PowerSystemHibernate));
    EXPECT_EQ(PowerSystemWorking, HostPoGetSystemPowerState());
    Unplug(node, pdo);
}

KIRQL PowerIrql;
NTSTATUS RecordPowerIrql(PDEVICE_OBJECT, PIRP Irp)
{
    PowerIrql = KeGetCurrentIrql();
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS PowerProbeEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_POWER] = RecordPowerIrql;
    return STATUS_SUCCESS;
}
const HostDriverInfo PowerProbeInfo = {"powerprobe", PowerProbeEntry, FALSE};
VOID PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    *(NTSTATUS *)Context = IoStatus->Status;
}

/* A bottom driver that holds every power request reaching it (one at a time: the power
 * manager sends the next only when the last has completed). */
PIRP HeldPower[4];
LONG HeldPowerCount; /* published after the slot is written */
NTSTATUS HoldPower(PDEVICE_OBJECT, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoMarkIrpPending(Irp);
    LONG held = __atomic_load_n(&HeldPowerCount, __ATOMIC_ACQUIRE);
    HeldPower[held] = Irp;
    __atomic_store_n(&HeldPowerCount, held + 1, __ATOMIC_RELEASE);
    return STATUS_PENDING;
}
NTSTATUS HoldPowerEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_POWER] = HoldPower;
    return STATUS_SUCCESS;
}
const HostDriverInfo HoldPowerInfo = {"holdpower", HoldPowerEntry, FALSE};

/* Windows keeps one device power request active per stack: a second one asked for while the
 * first is held is delivered once the first has completed. */
TEST_F(NtTest, ASecondDevicePowerRequestWaitsForTheFirstOfItsStack)
{
    PDRIVER_OBJECT holder;
    ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&HoldPowerInfo, &holder));
    PDEVICE_OBJECT device;
    IoCreateDevice(holder, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    HeldPowerCount = 0;
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, PowerDone, &first, nullptr));
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, PowerDone, &second, nullptr));
    EXPECT_EQ(1, __atomic_load_n(&HeldPowerCount, __ATOMIC_ACQUIRE)) << "the second waits while the first is active";

    HeldPower[0]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(HeldPower[0], IO_NO_INCREMENT);
    EXPECT_EQ(STATUS_SUCCESS, first);
    for (int i = 0; i < 5000 && __atomic_load_n(&HeldPowerCount, __ATOMIC_ACQUIRE) < 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(2, __atomic_load_n(&HeldPowerCount, __ATOMIC_ACQUIRE)) << "the second goes once the first has completed";
    EXPECT_EQ(PowerDeviceD0, IoGetCurrentIrpStackLocation(HeldPower[1])->Parameters.Power.State.DeviceState);
    HeldPower[1]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(HeldPower[1], IO_NO_INCREMENT);
    EXPECT_EQ(STATUS_SUCCESS, second);
    IoDeleteDevice(device);
    HostUnloadDriver(holder);
}

TEST_F(NtTest, PowerRequestsReachNonPageableDevicesAtDispatchLevel)
{
    PDRIVER_OBJECT probe;
    ASSERT_EQ(STATUS_SUCCESS, HostLoadDriver(&PowerProbeInfo, &probe));
    PDEVICE_OBJECT device;
    IoCreateDevice(probe, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    NTSTATUS final = STATUS_PENDING;
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(device, IRP_MN_SET_POWER, d2, PowerDone, &final, nullptr));
    EXPECT_EQ(DISPATCH_LEVEL, PowerIrql);
    EXPECT_EQ(STATUS_SUCCESS, final) << "the callback has the final status";
    device->Flags |= DO_POWER_PAGABLE;
    final = STATUS_PENDING;
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, d2, PowerDone, &final, nullptr);
    EXPECT_EQ(PASSIVE_LEVEL, PowerIrql);
    EXPECT_EQ(STATUS_SUCCESS, final);
    EXPECT_EQ(0u, HostLiveIrpCount()) << "the power manager freed its requests";
    IoDeleteDevice(device);
    HostUnloadDriver(probe);
}

} // namespace
