/*
 * bus_checks_test.cpp - misuse of the USB interface is reported loudly, as the verifier
 * reports misuse of the kernel's.
 */
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "usb/usb_test_driver.h"

namespace {

class BusChecksTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        UsbBusTest::SetUp();
        port = PlugDefault();
        lower = UsbTestLowerDevice(bus, port);
        config = UsbTestSelect(lower, 4096);
        ASSERT_EQ(config.Status, STATUS_SUCCESS);
    }

    /* Sends a bulk transfer and waits; used inside death statements. */
    void Transfer(USBD_PIPE_HANDLE pipe, bool in, ULONG length, PDEVICE_OBJECT target = nullptr)
    {
        UsbTestTransfer transfer;
        UsbTestPrepareBulk(&transfer, pipe, in, length, true);
        UsbTestStartUnguarded(target != nullptr ? target : lower, &transfer);
        UsbTestWait(&transfer);
        UsbTestRelease(&transfer);
    }

    int port = 0;
    PDEVICE_OBJECT lower = nullptr;
    UsbTestConfig config;
};

TEST_F(BusChecksTest, WrongLengthForTheFunction)
{
    EXPECT_DEATH(
        {
            URB urb;
            memset(&urb, 0, sizeof(urb));
            UCHAR bytes[4] = {};
            UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 4,
                                                   config.Pipes[1].PipeHandle, bytes, NULL, 4, 0, NULL);
            UsbTestSubmit(lower, &urb);
        },
        "VERIFIER: URB_BAD_LENGTH");
    EXPECT_DEATH(
        {
            URB urb;
            memset(&urb, 0, sizeof(urb));
            urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST) + 8;
            urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
            urb.UrbPipeRequest.PipeHandle = config.Pipes[0].PipeHandle;
            UsbTestSubmit(lower, &urb);
        },
        "VERIFIER: URB_BAD_LENGTH");
}

TEST_F(BusChecksTest, StaleAndForeignPipeHandles)
{
    USBD_PIPE_HANDLE old = config.Pipes[1].PipeHandle;
    ASSERT_EQ(UsbTestSelect(lower, 4096).Status, STATUS_SUCCESS);
    EXPECT_DEATH(Transfer(old, false, 4), "VERIFIER: URB_BAD_PIPE_HANDLE: .*stale");

    int other = PlugDefault();
    PDEVICE_OBJECT otherLower = UsbTestLowerDevice(bus, other);
    UsbTestConfig otherConfig = UsbTestSelect(otherLower, 4096);
    ASSERT_EQ(otherConfig.Status, STATUS_SUCCESS);
    EXPECT_DEATH(Transfer(otherConfig.Pipes[1].PipeHandle, false, 4), "VERIFIER: URB_BAD_PIPE_HANDLE: .*another unit");
    EXPECT_DEATH(Transfer((USBD_PIPE_HANDLE)0x1234, false, 4), "VERIFIER: URB_BAD_PIPE_HANDLE");
}

TEST_F(BusChecksTest, TransferAgainstThePipe)
{
    EXPECT_DEATH(Transfer(config.Pipes[0].PipeHandle, false, 4), "VERIFIER: URB_WRONG_DIRECTION");
    EXPECT_DEATH(Transfer(config.Pipes[1].PipeHandle, true, 4), "VERIFIER: URB_WRONG_DIRECTION");
    EXPECT_DEATH(
        {
            UsbTestTransfer transfer;
            UsbTestPrepareBulk(&transfer, config.Pipes[1].PipeHandle, false, 4, true);
            transfer.Urb.UrbBulkOrInterruptTransfer.TransferBuffer = NULL;
            UsbTestStart(lower, &transfer);
        },
        "VERIFIER: URB_BAD_BUFFER");
}

TEST_F(BusChecksTest, TransferWhileUnconfigured)
{
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    ASSERT_EQ(UsbTestSubmit(lower, &urb), STATUS_SUCCESS);
    EXPECT_DEATH(Transfer(config.Pipes[1].PipeHandle, false, 4), "VERIFIER: URB_NOT_CONFIGURED");
}

TEST_F(BusChecksTest, RequestAfterRemoval)
{
    /* The stack is removed (QUERY_REMOVE, REMOVE) while the unit stays plugged in; its
     * device object stays too, and anything sent to it now is a driver's bug. */
    PDEVICE_OBJECT pdo = HostUsbUnitPdo(bus, port);
    ASSERT_EQ(HostPnpUninstall(HostUsbUnitNode(bus, port)), STATUS_SUCCESS);
    EXPECT_DEATH(Transfer(config.Pipes[1].PipeHandle, false, 4, pdo), "VERIFIER: URB_AFTER_REMOVAL");
}

TEST_F(BusChecksTest, UrbFreedWhileItsTransferIsQueued)
{
    EXPECT_DEATH(
        {
            /* A read with no reply waiting stays queued on the bus. */
            PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                   HOST_POOL_TAG('T', 'e', 's', 't'));
            static UCHAR bytes[8];
            UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                   config.Pipes[0].PipeHandle, bytes, NULL, sizeof bytes,
                                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
            PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
            IoCallDriver(lower, irp);
            ExFreePool(urb);
        },
        "VERIFIER: URB_FREED_WHILE_QUEUED");
}

/* Unconfiguring with transfers queued: reported; in count mode the unconfigure waits for
 * the pipes to drain and cancels nothing, so that no driver can rely on either outcome. */
TEST_F(BusChecksTest, UnconfigureWithATransferQueued)
{
    auto unconfigure = [this] {
        URB urb;
        memset(&urb, 0, sizeof(urb));
        UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
        return UsbTestSubmit(lower, &urb);
    };
    UsbTestTransfer read;
    UsbTestPrepareBulk(&read, config.Pipes[0].PipeHandle, true, 8, true);
    ASSERT_EQ(UsbTestStart(lower, &read), STATUS_PENDING) << "no reply waits: the read stays queued";
    EXPECT_DEATH(unconfigure(), "VERIFIER: URB_UNCONFIGURE_WITH_TRANSFERS");

    HostVerifierSetMode(HostVerifierCount);
    ULONG before = HostVerifierReportCount();
    std::atomic<bool> done{false};
    std::thread select([&] {
        EXPECT_EQ(unconfigure(), STATUS_SUCCESS);
        done = true;
    });
    usleep(50 * 1000);
    EXPECT_FALSE(done) << "the unconfigure waits for the queued read";
    EXPECT_FALSE(UsbTestIsDone(&read)) << "and cancels nothing";
    EXPECT_TRUE(IoCancelIrp(read.Irp));
    select.join();
    EXPECT_TRUE(done);
    ASSERT_TRUE(UsbTestWait(&read));
    EXPECT_EQ(read.Status, STATUS_CANCELLED);
    UsbTestRelease(&read);
    EXPECT_EQ(HostVerifierReportCount() - before, 1u);
    EXPECT_STREQ(HostVerifierLastRule(), "URB_UNCONFIGURE_WITH_TRANSFERS");
    HostVerifierSetMode(HostVerifierAbort);
}

TEST_F(BusChecksTest, InCountModeTheRequestFailsWithAClearStatus)
{
    HostVerifierSetMode(HostVerifierCount);
    ULONG before = HostVerifierReportCount();
    struct Case {
        const char *Rule;
        USBD_PIPE_HANDLE Pipe;
        bool In;
        ULONG Length;
        USBD_STATUS UrbStatus;
    } cases[] = {
        {"URB_BAD_PIPE_HANDLE", (USBD_PIPE_HANDLE)0x1234, false, 4, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"URB_WRONG_DIRECTION", config.Pipes[0].PipeHandle, false, 4, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        UsbTestTransfer transfer;
        UsbTestPrepareBulk(&transfer, c.Pipe, c.In, c.Length, true);
        UsbTestStart(lower, &transfer);
        ASSERT_TRUE(UsbTestWait(&transfer));
        EXPECT_STREQ(HostVerifierLastRule(), c.Rule);
        EXPECT_EQ(transfer.Status, STATUS_INVALID_PARAMETER) << c.Rule;
        EXPECT_EQ(transfer.Urb.UrbHeader.Status, c.UrbStatus) << c.Rule;
        EXPECT_EQ(transfer.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u) << c.Rule;
        UsbTestRelease(&transfer);
    }
    EXPECT_EQ(HostVerifierReportCount() - before, 2u);
    EXPECT_EQ(SimUnitCommandCount(HostUsbUnitSim(bus, port), 0), 0u) << "nothing reached the unit";
    HostVerifierSetMode(HostVerifierAbort);
}

} // namespace
