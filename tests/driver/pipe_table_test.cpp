/*
 * pipe_table_test.cpp - the synchronous USB requests beneath murvousb: SubmitUrbSync's
 * status, AbortOpenPipes, CancelPendingStages with nothing to cancel, and ResetDevice with
 * the unit's port enabled, disabled, or not answering.
 */
#include "driver_harness.h"

namespace {

std::vector<SpyRecord> InternalRequests()
{
    std::vector<SpyRecord> records;
    for (const SpyRecord &record : SpyLog()) {
        if (record.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            records.push_back(record);
        }
    }
    return records;
}

using PipeTableTest = DriverTest;

TEST_F(PipeTableTest, SubmitUrbSyncReturnsTheRequestStatusNotTheUrbs)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), MurvoPoolTag));
    auto fill = [&] {
        memset(urb, 0, sizeof(struct _URB_PIPE_REQUEST));
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
        urb->UrbPipeRequest.PipeHandle = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    };

    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_RESET_PIPE, 0, 1, STATUS_SUCCESS,
                   USBD_STATUS_STALL_PID});
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_RESET_PIPE, 0, 2, STATUS_UNSUCCESSFUL,
                   USBD_STATUS_SUCCESS});
    fill();
    EXPECT_EQ(SubmitUrbSync(Fdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    fill();
    EXPECT_EQ(SubmitUrbSync(Fdo(), urb), STATUS_UNSUCCESSFUL);
    fill();
    EXPECT_EQ(SubmitUrbSync(Fdo(), urb), STATUS_SUCCESS) << "the real bus resets the pipe";
    ExFreePool(urb);
}

TEST_F(PipeTableTest, AbortOpenPipesAbortsOpenPipesInOrder)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    SpyClearLog();
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(InternalRequests().empty()) << "nothing open, nothing sent";

    HostFile *out = OpenOk(u"\\PIPE01");
    HostFile *in = OpenOk(u"\\PIPE00");
    ASSERT_EQ(Ext()->OpenPipes, 2);
    SpyClearLog();
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_SUCCESS);
    std::vector<SpyRecord> sent = InternalRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].UrbFunction, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(sent[0].PipeHandle, Ext()->InterfaceInfo->Pipes[0].PipeHandle);
    EXPECT_EQ(sent[1].PipeHandle, Ext()->InterfaceInfo->Pipes[1].PipeHandle);
    EXPECT_EQ(Ext()->OpenPipes, 0);
    EXPECT_EQ(Ext()->PipeTable[0].IsOpen, 0);
    EXPECT_EQ(Ext()->PipeTable[1].IsOpen, 0);
    HostCloseFile(out);
    HostCloseFile(in);
    EXPECT_EQ(Ext()->OpenPipes, 0) << "closing aborted pipes does not count them again";
}

TEST_F(PipeTableTest, AFailingAbortStopsAndLeavesTheLaterPipesOpen)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_ABORT_PIPE, 0, 1, STATUS_DEVICE_NOT_READY,
                   USBD_STATUS_ERROR});
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Ext()->PipeTable[0].IsOpen, 1);
    EXPECT_EQ(Ext()->PipeTable[1].IsOpen, 1);
    EXPECT_EQ(Ext()->OpenPipes, 2);

    // Called from the test's thread, outside any driver's context: count every allocation.
    HostLowResources failing = {nullptr, 1, FALSE, 0, 0};
    HostVerifierSetLowResources(&failing);
    EXPECT_EQ(AbortOpenPipes(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    HostVerifierSetLowResources(nullptr);
    EXPECT_EQ(Ext()->OpenPipes, 2);
    HostCloseFile(in);
    HostCloseFile(out);
    EXPECT_EQ(Ext()->OpenPipes, 0);
}

TEST_F(PipeTableTest, CancelPendingStagesWithoutStagedTransfersSendsNothing)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    SpyClearLog();
    CancelPendingStages(Fdo());
    EXPECT_TRUE(SpyLog().empty());
    HostCloseFile(in);
}

TEST_F(PipeTableTest, ResetDeviceResetsOnlyADisabledPortOfAConnectedUnit)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    SpyClearLog();
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_SUCCESS);
    std::vector<SpyRecord> sent = InternalRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].IoControlCode, IOCTL_INTERNAL_USB_GET_PORT_STATUS);

    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultPortOff, 0));
    HostUsbUnitState state;
    ASSERT_TRUE(HostUsbQueryUnit(bus, port, &state));
    ASSERT_FALSE(state.PortEnabled);
    SpyClearLog();
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_SUCCESS);
    sent = InternalRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].IoControlCode, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(sent[1].IoControlCode, IOCTL_INTERNAL_USB_RESET_PORT);
    ASSERT_TRUE(HostUsbQueryUnit(bus, port, &state));
    EXPECT_TRUE(state.PortEnabled);
}

TEST_F(PipeTableTest, ResetDeviceReturnsTheFailureOfEitherPortRequest)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, IOCTL_INTERNAL_USB_GET_PORT_STATUS, SpyAnyUrb, 0, 1,
                   STATUS_DEVICE_NOT_CONNECTED, 0});
    SpyClearLog();
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(InternalRequests().size(), 1u);

    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultPortOff, 0));
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, IOCTL_INTERNAL_USB_RESET_PORT, SpyAnyUrb, 0, 1,
                   STATUS_DEVICE_NOT_READY, 0});
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_DEVICE_NOT_READY);

    // Called from the test's thread, outside any driver's context: count every allocation.
    HostLowResources failing = {nullptr, 1, FALSE, 0, 0};
    HostVerifierSetLowResources(&failing);
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    HostVerifierSetLowResources(nullptr);
    EXPECT_EQ(ResetDevice(Fdo()), STATUS_SUCCESS);
}

} // namespace
