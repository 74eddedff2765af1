/*
 * power_test.cpp - murvousb's power handling: system requests mapped to device states and
 * held meanwhile, device requests recorded before or after completion, wait-wake accepted
 * and refused, the driver's own power-down and power-up around pipe opens, and power
 * requests that the power manager refuses at once.
 */
#include "driver_harness.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::vector<SpyRecord> SetPowerRecords(POWER_STATE_TYPE type)
{
    std::vector<SpyRecord> records;
    for (const SpyRecord &record : SpyLog()) {
        if (record.Major == IRP_MJ_POWER && record.Minor == IRP_MN_SET_POWER && record.PowerType == type) {
            records.push_back(record);
        }
    }
    return records;
}

struct PowerRequestResult {
    KEVENT Done;
    NTSTATUS Status;
};

VOID NTAPI OnTestPowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    (void)DeviceObject;
    (void)MinorFunction;
    (void)PowerState;
    PowerRequestResult *result = static_cast<PowerRequestResult *>(Context);
    result->Status = IoStatus->Status;
    KeSetEvent(&result->Done, 0, FALSE);
}

/* Asks the power manager for a device set-power request for the unit, as its bus would. */
NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    PowerRequestResult result;
    KeInitializeEvent(&result.Done, NotificationEvent, FALSE);
    result.Status = STATUS_PENDING;
    POWER_STATE powerState;
    powerState.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, powerState, OnTestPowerRequestDone, &result, nullptr);
    if (status != STATUS_PENDING) {
        return status;
    }
    KeWaitForSingleObject(&result.Done, Executive, KernelMode, FALSE, nullptr);
    return result.Status;
}

NTSTATUS NTAPI OnWaitWakeDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends IRP_MN_WAIT_WAKE to the top of the unit's stack from its own thread; Finish waits
 * for its completion and returns its status. */
struct WaitWake {
    PIRP Irp = nullptr;
    KEVENT Done;
    std::thread Sender;

    void Send(PDEVICE_OBJECT top)
    {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Irp = IoAllocateIrp(top->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_WAIT_WAKE;
        next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetCompletionRoutine(Irp, OnWaitWakeDone, &Done, TRUE, TRUE, TRUE);
        PIRP irp = Irp;
        Sender = std::thread([top, irp] { PoCallDriver(top, irp); });
    }
    bool Completed() { return KeReadStateEvent(&Done) != 0; }
    NTSTATUS Finish()
    {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
        Sender.join();
        NTSTATUS status = Irp->IoStatus.Status;
        IoFreeIrp(Irp);
        return status;
    }
};

using PowerTest = DriverTest;

TEST_F(PowerTest, SystemSleepHoldsTheSystemRequestWhileTheDeviceGoesToD3)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceUnspecified);

    SpyClearLog();
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    std::vector<SpyRecord> log = SpyLog();
    size_t devicePos = log.size(), systemPos = log.size();
    for (size_t i = 0; i < log.size(); i++) {
        if (log[i].Major == IRP_MJ_POWER && log[i].Minor == IRP_MN_SET_POWER) {
            if (log[i].PowerType == DevicePowerState && devicePos == log.size()) {
                devicePos = i;
                EXPECT_EQ(log[i].PowerState.DeviceState, PowerDeviceD3);
            }
            if (log[i].PowerType == SystemPowerState && systemPos == log.size()) {
                systemPos = i;
            }
        }
    }
    ASSERT_LT(devicePos, log.size());
    ASSERT_LT(systemPos, log.size());
    EXPECT_LT(devicePos, systemPos) << "the system request goes on only after the device request";
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD3);
    EXPECT_EQ(Ext()->PendingSystemPowerIrp, nullptr);

    // A system state that maps to the recorded device state still gets its device request:
    // the power policy owner sends it whatever state the device is in.
    SpyClearLog();
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemHibernate), STATUS_SUCCESS);
    std::vector<SpyRecord> same = SetPowerRecords(DevicePowerState);
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0].PowerState.DeviceState, PowerDeviceD3);

    SpyClearLog();
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    std::vector<SpyRecord> device = SetPowerRecords(DevicePowerState);
    ASSERT_EQ(device.size(), 1u);
    EXPECT_EQ(device[0].PowerState.DeviceState, PowerDeviceD0);
    EXPECT_EQ(device[0].RecordedAtArrival, PowerDeviceD3) << "D0 is recorded only on completion";
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(PowerTest, SleepDuringWaitWakeUsesTheCapabilityMapping)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS); // S1 maps to D2 in the unit's capabilities
    Ext()->WaitWakeActive = TRUE;
    SpyClearLog();
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemSleeping1), STATUS_SUCCESS);
    std::vector<SpyRecord> device = SetPowerRecords(DevicePowerState);
    ASSERT_EQ(device.size(), 1u);
    EXPECT_EQ(device[0].PowerState.DeviceState, PowerDeviceD2);
    EXPECT_EQ(device[0].RecordedAtArrival, PowerDeviceD2) << "a power-down is recorded before it goes down";
    Ext()->WaitWakeActive = FALSE;
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);
}

TEST_F(PowerTest, WaitWakeIsRefusedInD0AndInStatesShallowerThanDeviceWake)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS); // DeviceWake D2
    PDEVICE_OBJECT pdo = HostUsbUnitPdo(bus, port);

    WaitWake unspecified;
    unspecified.Send(Fdo());
    EXPECT_EQ(unspecified.Finish(), STATUS_INVALID_DEVICE_STATE) << "directly after start";

    ASSERT_EQ(RequestDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    Ext()->PowerDownLevel = PowerDeviceUnspecified;
    WaitWake inD0;
    inD0.Send(Fdo());
    EXPECT_EQ(inD0.Finish(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Ext()->PowerDownLevel, PowerDeviceD2) << "a refused wait-wake still sets the level";
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(PowerTest, WaitWakeWithDeviceWakeDeeperThanTheStateIsRefused)
{
    HostUsbUnitSettings settings = UnitSettings();
    settings.Capabilities.DeviceWake = PowerDeviceD3;
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    ASSERT_EQ(RequestDevicePower(HostUsbUnitPdo(bus, port), PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD2);
    WaitWake request;
    request.Send(Fdo());
    EXPECT_EQ(request.Finish(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PowerTest, WaitWakeInD3WithDeviceWakeD2WaitsForTheWakeAndPowersUp)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *pipe = OpenOk(u"\\PIPE00");
    ASSERT_EQ(RequestDevicePower(HostUsbUnitPdo(bus, port), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD3);

    WaitWake request;
    request.Send(Fdo());
    ASSERT_TRUE(WaitFor([&] {
        HostUsbUnitState state;
        HostUsbQueryUnit(bus, port, &state);
        return state.WaitWakePending;
    }));
    EXPECT_TRUE(Ext()->WaitWakeActive);
    EXPECT_FALSE(request.Completed());
    ASSERT_TRUE(HostUsbSignalWake(bus, port));
    EXPECT_EQ(request.Finish(), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->WaitWakeActive);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << "a pipe is open: back to full power";
    HostCloseFile(pipe);
}

TEST_F(PowerTest, PipesPowerTheUnitUpAndDownEachPowerUpWaitingForItsOwnCompletion)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->PowerDownLevel, PowerDeviceD2);
    SpyDelayPowerUp(100);
    SpyClearLog();

    HostFile *device = OpenOk(u"");
    EXPECT_TRUE(SetPowerRecords(DevicePowerState).empty()) << "the bare device changes no power state";

    HostFile *pipe = OpenOk(u"\\PIPE00");
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << "the first open waits for D0";
    HostCloseFile(pipe);
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));

    pipe = OpenOk(u"\\PIPE01");
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << "a later open waits as well";
    HostFile *second = OpenOk(u"\\PIPE00");
    HostCloseFile(pipe);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << "a pipe is still open";
    HostCloseFile(second);
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    HostCloseFile(device);

    std::vector<SpyRecord> device_requests = SetPowerRecords(DevicePowerState);
    ASSERT_EQ(device_requests.size(), 4u);
    EXPECT_EQ(device_requests[0].PowerState.DeviceState, PowerDeviceD0);
    EXPECT_EQ(device_requests[1].PowerState.DeviceState, PowerDeviceD2);
    EXPECT_EQ(device_requests[2].PowerState.DeviceState, PowerDeviceD0);
    EXPECT_EQ(device_requests[3].PowerState.DeviceState, PowerDeviceD2);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
    EXPECT_FALSE(Ext()->SelfPowerRequestPending);
}

TEST_F(PowerTest, AFailedPowerUpIsNotRecordedAndTheNextTransferAsksAgain)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostCloseFile(OpenOk(u"\\PIPE01"));
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    SpyAnswerTransfers(true);

    // The power-up of the open fails below: the open goes on, the unit stays recorded in D2.
    SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
    HostFile *pipe = OpenOk(u"\\PIPE01");
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD2) << "a failed power-up is no D0";
    EXPECT_FALSE(Ext()->SelfPowerRequestPending);

    // A write while every power-up fails is refused with the power-up's status.
    SpyReset();
    SpyAnswerTransfers(true);
    SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
    UCHAR byte = 0x42;
    ULONG_PTR moved = 99;
    EXPECT_EQ(HostWriteFile(pipe, &byte, 1, nullptr, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_NE(record.UrbFunction, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) << "nothing is sent to a unit in D2";
    }

    // Once the power-up succeeds, the next write powers the unit up and goes through.
    SpyReset();
    SpyAnswerTransfers(true);
    EXPECT_EQ(HostWriteFile(pipe, &byte, 1, nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);
    HostCloseFile(pipe);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

TEST_F(PowerTest, APowerUpEndsItsWaitWhenThePowerDownLevelChangesMeanwhile)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostCloseFile(OpenOk(u"\\PIPE00"));
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    SpyDelayPowerUp(300);
    SpyClearLog();
    std::atomic<bool> opened{false};
    HostFile *pipe = nullptr;
    std::thread opener([&] {
        pipe = OpenOk(u"\\PIPE00");
        opened = true;
    });
    ASSERT_TRUE(WaitFor([] { return !SetPowerRecords(DevicePowerState).empty(); }));
    // A wait-wake request makes DeviceWake the power-down level while the power-up is on its
    // way; a DeviceWake of D0 leaves no state shallower than the level.
    WriteShared(Ext()->PowerDownLevel, PowerDeviceD0);
    bool ended = WaitFor([&] { return opened.load(); });
    if (!ended) {
        opener.detach();
        FAIL() << "the open waits for ever for its power-up";
    }
    opener.join();
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);
    WriteShared(Ext()->PowerDownLevel, PowerDeviceD2);
    HostCloseFile(pipe);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

TEST_F(PowerTest, AnOpenRacingTheCloseOfTheLastPipeKeepsTheUnitPowered)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    SpyAnswerTransfers(true);
    HostFile *closing = OpenOk(u"\\PIPE00");
    ASSERT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);

    // The test holds the lock of the power-change claim, so that the close of the last pipe
    // stops at its claim; an open of another pipe runs meanwhile.
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ext()->PowerChangeLock, &oldIrql);
    std::thread closer([&] { HostCloseFile(closing); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    HostFile *opened = nullptr;
    std::thread opener([&] { opened = OpenOk(u"\\PIPE01"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KeReleaseSpinLock(&Ext()->PowerChangeLock, oldIrql);
    closer.join();
    opener.join();

    ASSERT_TRUE(WaitFor([&] { return !ReadShared(Ext()->SelfPowerRequestPending); }));
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << "the unit was powered down under an open pipe";
    UCHAR byte = 0x24;
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostWriteFile(opened, &byte, 1, nullptr, &moved), STATUS_SUCCESS);
    HostCloseFile(opened);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
}

TEST_F(PowerTest, PowerRequestsThatFailAtOnceGiveBackWhatTheyTook)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *pipe = OpenOk(u"\\PIPE00");
    HostCloseFile(pipe);
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));

    // Fail the allocations of a pipe open one at a time; the power request's own request is
    // among them when the power manager counts it.
    ULONG immediateFailures = 0;
    for (ULONG nth = 1; nth <= 8; nth++) {
        SpyClearLog();
        HostLowResources failing = {nullptr, nth, FALSE, 0, 0};
        HostVerifierSetLowResources(&failing);
        HostFile *file = nullptr;
        EXPECT_EQ(Open(u"\\PIPE00", &file), STATUS_SUCCESS) << "the power call's result is ignored";
        HostVerifierSetLowResources(nullptr);
        if (SetPowerRecords(DevicePowerState).empty() && Ext()->CurrentDevicePowerState == PowerDeviceD2) {
            immediateFailures++;
        }
        EXPECT_FALSE(Ext()->SelfPowerRequestPending) << nth;
        HostCloseFile(file);
        EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; })) << nth;
        // The next open is not kept from powering up by a flag left behind.
        HostFile *next = OpenOk(u"\\PIPE01");
        EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0) << nth;
        HostCloseFile(next);
        ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    }

    // The held system request goes on when its device request cannot be made.
    SpyClearLog();
    HostLowResources failFirst = {nullptr, 1, FALSE, 0, 0};
    HostVerifierSetLowResources(&failFirst);
    HostPoSetSystemPowerState(PowerSystemSleeping3);
    HostVerifierSetLowResources(nullptr);
    bool systemImmediateFailure = SetPowerRecords(DevicePowerState).empty();
    EXPECT_EQ(Ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
    if (immediateFailures == 0 || !systemImmediateFailure) {
        GTEST_SKIP() << "the power manager of the stand-in never failed PoRequestPowerIrp at once; "
                        "the checks above ran on the normal path";
    }
}

/* Leaves the unit recorded below D0 with its pipes open, as a resume whose power-up failed
 * does: the system sleeps, and the device power-up of its return fails below. */
void FailAResume()
{
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PowerTest, ATransferAfterAFailedResumePowersUpAUnitWithoutAPowerDownLevel)
{
    HostUsbUnitSettings settings = UnitSettings();
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; state++) {
        settings.Capabilities.DeviceState[state] = PowerDeviceD3;
    }
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->PowerDownLevel, PowerDeviceUnspecified);
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyAnswerTransfers(true);
    FailAResume();
    ASSERT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD3);

    SpyReset();
    SpyAnswerTransfers(true);
    UCHAR byte = 0x5A;
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostWriteFile(out, &byte, 1, nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    std::vector<SpyRecord> device = SetPowerRecords(DevicePowerState);
    ASSERT_EQ(device.size(), 1u) << "the write asks for D0";
    EXPECT_EQ(device[0].PowerState.DeviceState, PowerDeviceD0);
    EXPECT_EQ(Ext()->CurrentDevicePowerState, PowerDeviceD0);
    HostCloseFile(out);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

/* A staged write cancelled while its dispatch still waits for the power-up it asked for: the
 * cancel finds no cancel routine yet, so the driver must see it once it sets its own, and send
 * no stage. Without that the write would go down and wait for the unit. */
TEST_F(PowerTest, AStagedWriteCancelledBeforeItsCancelRoutineIsSetSendsNoStage)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyAnswerTransfers(true);
    FailAResume();
    ASSERT_NE(Ext()->CurrentDevicePowerState, PowerDeviceD0);
    SpyReset();
    SpyAnswerTransfers(true);
    SpyDelayPowerUp(300);

    std::vector<UCHAR> buffer(2 * 4096 + 10, 0x44);
    Pending write;
    NTSTATUS started = STATUS_SUCCESS;
    std::thread writer(
        [&] { started = HostWriteFile(out, buffer.data(), static_cast<ULONG>(buffer.size()), &write.Io, nullptr); });
    ASSERT_TRUE(WaitFor([] { return !SetPowerRecords(DevicePowerState).empty(); })) << "the write asks for D0";
    HostCancelFileIo(out);
    writer.join();
    EXPECT_EQ(started, STATUS_PENDING);
    ASSERT_TRUE(WaitFor([&] { return write.Completed(); })) << "the cancelled write never ended";
    EXPECT_EQ(write.Io.IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(write.Io.IoStatus.Information, 0u);
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_FALSE(record.IsUrb && record.UrbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            << "a stage went down after the cancel";
    }
    HostCloseFile(out);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

/* Two transfers after a failed resume, each needing a power-up: the first power-up fails,
 * the second succeeds later. Whichever transfer waits for the second must not be handed the
 * first one's failure, however the first one's callback and the second claim interleave
 * (delay fuzzing widens the window between them). */
TEST_F(PowerTest, EachPowerUpWaiterGetsItsOwnRequestsOutcome)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    ULONG bothRefused = 0;
    for (ULONG round = 0; round < 12; round++) {
        SpyReset();
        FailAResume();
        ASSERT_NE(Ext()->CurrentDevicePowerState, PowerDeviceD0);

        SpyReset();
        SpyAnswerTransfers(true);
        SpySetInData(std::vector<UCHAR>(64, 0x11), {});
        SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
        SpyDelayPowerUp(150);
        // The first power-up is held a moment before it fails, so that the other transfer
        // is waiting for the power change to end when it does.
        std::atomic<bool> firstSeen{false};
        SpySetHook([&](PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER &&
                stack->Parameters.Power.Type == DevicePowerState && !firstSeen.exchange(true)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        HostVerifierSetDelayFuzzing(round + 1, 100, 20000);
        NTSTATUS statuses[2] = {STATUS_PENDING, STATUS_PENDING};
        std::thread writer([&] {
            UCHAR byte = 0x33;
            ULONG_PTR moved = 0;
            statuses[0] = HostWriteFile(out, &byte, 1, nullptr, &moved);
        });
        std::thread reader([&] {
            UCHAR reply[64];
            ULONG_PTR moved = 0;
            statuses[1] = HostReadFile(in, reply, sizeof reply, nullptr, &moved);
        });
        writer.join();
        reader.join();
        HostVerifierSetDelayFuzzing(0, 0, 0);
        SpySetHook(nullptr);
        ULONG refused = (statuses[0] == STATUS_UNSUCCESSFUL) + (statuses[1] == STATUS_UNSUCCESSFUL);
        EXPECT_EQ(refused + (statuses[0] == STATUS_SUCCESS) + (statuses[1] == STATUS_SUCCESS), 2u) << round;
        EXPECT_LE(refused, 1u) << "round " << round << ": a transfer was given another power-up's failure";
        bothRefused += refused == 2;
        ASSERT_TRUE(WaitFor([&] { return !ReadShared(Ext()->SelfPowerRequestPending); }));
    }
    EXPECT_EQ(bothRefused, 0u);
    HostCloseFile(in);
    HostCloseFile(out);
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

TEST_F(PowerTest, ThePowerManagerLearnsEveryDeviceStateTheDriverEnters)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(HostPoGetDevicePowerState(Fdo()), PowerDeviceD0) << "declared at start";
    HostCloseFile(OpenOk(u"\\PIPE00"));
    ASSERT_TRUE(WaitFor([&] { return ReadShared(Ext()->CurrentDevicePowerState) == PowerDeviceD2; }));
    EXPECT_EQ(HostPoGetDevicePowerState(Fdo()), PowerDeviceD2);
    HostFile *pipe = OpenOk(u"\\PIPE00");
    EXPECT_EQ(HostPoGetDevicePowerState(Fdo()), PowerDeviceD0);
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(HostPoGetDevicePowerState(Fdo()), PowerDeviceD3);
    SpyAddFailure({IRP_MJ_POWER, IRP_MN_SET_POWER, 0, SpyAnyUrb, 0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS});
    EXPECT_EQ(HostPoSetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(HostPoGetDevicePowerState(Fdo()), PowerDeviceD3) << "a failed power-up is not declared";
    HostCloseFile(pipe);
}

} // namespace
