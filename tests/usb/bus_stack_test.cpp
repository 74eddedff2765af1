/*
 * bus_stack_test.cpp - the simulated bus driven through a function driver's stack: the
 * requests murvousb sends, what they return, and what the unit behind them sees.
 */
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "usb/usb_test_driver.h"

namespace {

/* Pipes of the unit's interface: 0 is IN (replies), 1 is OUT (requests). */
constexpr int kIn = 0;
constexpr int kOut = 1;

class BusStackTest : public UsbBusTest {
protected:
    /* Plugs a unit and selects its configuration with the given transfer size. */
    void Start(HostUsbUnitSettings settings, ULONG maximumTransferSize = 4096)
    {
        port = Plug(settings);
        lower = UsbTestLowerDevice(bus, port);
        ASSERT_NE(lower, nullptr);
        config = UsbTestSelect(lower, maximumTransferSize);
        ASSERT_EQ(config.Status, STATUS_SUCCESS);
    }
    void Start() { Start(Settings()); }

    USBD_PIPE_HANDLE Pipe(int index) { return config.Pipes.at(index).PipeHandle; }

    /* One synchronous bulk transfer; returns the request status, the URB's length in *moved. */
    NTSTATUS Bulk(int pipe, bool in, std::vector<UCHAR> *data, ULONG length, bool shortOk = true,
                  USBD_STATUS *urbStatus = nullptr)
    {
        UsbTestTransfer transfer;
        UsbTestPrepareBulk(&transfer, Pipe(pipe), in, length, shortOk);
        if (!in && data != nullptr) {
            memcpy(transfer.Data.data(), data->data(), length);
        }
        UsbTestStart(lower, &transfer);
        EXPECT_TRUE(UsbTestWait(&transfer));
        if (in && data != nullptr) {
            data->assign(transfer.Data.begin(),
                         transfer.Data.begin() + transfer.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        }
        if (urbStatus != nullptr) {
            *urbStatus = transfer.Urb.UrbHeader.Status;
        }
        lastMoved = transfer.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        UsbTestRelease(&transfer);
        return transfer.Status;
    }

    /* Sends one command record and reads its reply of replyLength bytes. */
    std::vector<UCHAR> Command(uint16_t code, std::vector<UCHAR> request, ULONG replyLength)
    {
        request[0] = (UCHAR)code;
        request[1] = (UCHAR)(code >> 8);
        EXPECT_EQ(Bulk(kOut, false, &request, (ULONG)request.size()), STATUS_SUCCESS);
        std::vector<UCHAR> reply;
        EXPECT_EQ(Bulk(kIn, true, &reply, replyLength), STATUS_SUCCESS);
        return reply;
    }

    HostUsbUnitState State()
    {
        HostUsbUnitState state;
        EXPECT_TRUE(HostUsbQueryUnit(bus, port, &state));
        return state;
    }

    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS *urbStatus = nullptr)
    {
        URB urb;
        memset(&urb, 0, sizeof(urb));
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        NTSTATUS status = UsbTestSubmit(lower, &urb);
        if (urbStatus != nullptr) {
            *urbStatus = urb.UrbHeader.Status;
        }
        return status;
    }

    ULONG PortStatus()
    {
        ULONG bits = 0xdead;
        EXPECT_EQ(UsbTestInternalControl(lower, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
        return bits;
    }

    /* Sets the unit's device power state through the power manager and waits. */
    void SetDevicePower(DEVICE_POWER_STATE state)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        POWER_STATE power;
        power.DeviceState = state;
        ASSERT_EQ(PoRequestPowerIrp(HostUsbUnitPdo(bus, port), IRP_MN_SET_POWER, power, OnPowerDone, &done, NULL),
                  STATUS_PENDING);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    static VOID OnPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
    {
        KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    }

    int port = 0;
    PDEVICE_OBJECT lower = nullptr;
    UsbTestConfig config;
    ULONG lastMoved = 0;
};

/* Loopback endpoints after the unit's two, as pipes 2 (IN) and 3 (OUT). */
HostUsbUnitSettings WithLoopback(HostUsbUnitSettings settings, uint16_t maxPacket = 64)
{
    UsbDescriptorSetAddLoopback(&settings.Descriptors, maxPacket);
    return settings;
}
constexpr int kLoopIn = 2;
constexpr int kLoopOut = 3;

TEST_F(BusStackTest, DescriptorReadsReturnWhatFitsAndSayHowMuch)
{
    port = PlugDefault();
    lower = UsbTestLowerDevice(bus, port);
    std::vector<UCHAR> buffer(521, 0xAA);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 buffer.data(), NULL, 18, NULL);
    EXPECT_EQ(UsbTestSubmit(lower, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);

    /* Longer buffer than the descriptor: its length comes back. Shorter: the first bytes. */
    for (ULONG asked : {521u, 9u}) {
        std::fill(buffer.begin(), buffer.end(), 0xAA);
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), NULL, asked, NULL);
        EXPECT_EQ(UsbTestSubmit(lower, &urb), STATUS_SUCCESS);
        ULONG expected = asked < 32 ? asked : 32;
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, expected);
        EXPECT_EQ(buffer[2], 32) << "wTotalLength";
        EXPECT_EQ(buffer[expected], 0xAA) << "nothing past what was returned";
    }

    /* Through an MDL too, and a wTotalLength of 600 comes whole. */
    HostUsbBusDestroy(bus);
    bus = HostUsbBusCreate();
    HostUsbUnitSettings settings = Settings();
    UCHAR pad[200] = {200, 0x41};
    for (int i = 0; i < 2; i++) {
        UsbDescriptorSetAppend(&settings.Descriptors, pad, 200);
    }
    UCHAR tail[168] = {168, 0x41};
    UsbDescriptorSetAppend(&settings.Descriptors, tail, 168);
    ASSERT_EQ(UsbDescriptorSetTotalLength(&settings.Descriptors), 600);
    port = Plug(settings);
    lower = UsbTestLowerDevice(bus, port);
    std::vector<UCHAR> big(600);
    PMDL mdl = IoAllocateMdl(big.data(), 600, FALSE, FALSE, NULL);
    MmBuildMdlForNonPagedPool(mdl);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, NULL, mdl, 600, NULL);
    EXPECT_EQ(UsbTestSubmit(lower, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 600u);
    EXPECT_EQ(big[599 - 167], 168) << "the last padding descriptor arrived";
    IoFreeMdl(mdl);

    /* A descriptor the unit does not have is stalled. */
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 1,
                                 0x409, buffer.data(), NULL, 64, NULL);
    EXPECT_FALSE(NT_SUCCESS(UsbTestSubmit(lower, &urb)));
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(BusStackTest, SelectFillsThePipesAndUnconfigureDropsThem)
{
    Start();
    ASSERT_EQ(config.Pipes.size(), 2u);
    EXPECT_EQ(config.UrbStatus, USBD_STATUS_SUCCESS);
    EXPECT_NE(config.Handle, nullptr);
    const USBD_PIPE_INFORMATION &in = config.Pipes[kIn];
    const USBD_PIPE_INFORMATION &out = config.Pipes[kOut];
    EXPECT_EQ(in.EndpointAddress, 0x81);
    EXPECT_EQ(out.EndpointAddress, 0x02);
    EXPECT_EQ(in.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(in.MaximumPacketSize, 64);
    EXPECT_EQ(in.MaximumTransferSize, 4096u);
    EXPECT_NE(in.PipeHandle, nullptr);
    EXPECT_NE(in.PipeHandle, out.PipeHandle);
    EXPECT_TRUE(State().Configured);

    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    EXPECT_EQ(UsbTestSubmit(lower, &urb), STATUS_SUCCESS);
    EXPECT_FALSE(State().Configured);

    /* Selecting again gives new handles; the default size is the bus's default. */
    UsbTestConfig again = UsbTestSelect(lower, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ASSERT_EQ(again.Status, STATUS_SUCCESS);
    EXPECT_NE(again.Pipes[kIn].PipeHandle, in.PipeHandle);
    EXPECT_EQ(again.Pipes[kIn].MaximumTransferSize, (ULONG)HOST_USB_DEFAULT_TRANSFER_SIZE);

    /* The size asked for is not used on Windows XP and later: more than 64 KiB is accepted. */
    UsbTestConfig large = UsbTestSelect(lower, 0x100000);
    EXPECT_EQ(large.Status, STATUS_SUCCESS);
    EXPECT_EQ(large.UrbStatus, USBD_STATUS_SUCCESS);
    config = large;
    std::vector<UCHAR> request = {0, 0, 0, 0};
    EXPECT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
}

TEST_F(BusStackTest, HighSpeedUnitHas512BytePackets)
{
    Start(Settings(UsbHighSpeed));
    EXPECT_EQ(config.Pipes[kIn].MaximumPacketSize, 512);
    std::vector<UCHAR> reply = Command(6, std::vector<UCHAR>(10, 0), 516); /* ReadRecord: 516 bytes */
    EXPECT_EQ(reply.size(), 516u) << "one full packet and a short one";
}

TEST_F(BusStackTest, MalformedDescriptorsFailTheSelection)
{
    HostUsbUnitSettings settings = Settings();
    settings.Descriptors.Config[13] = 3; /* the interface claims three endpoints, two follow */
    port = Plug(settings);
    lower = UsbTestLowerDevice(bus, port);
    UsbTestConfig result = UsbTestSelect(lower, 4096);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.UrbStatus, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    EXPECT_FALSE(State().Configured);
}

TEST_F(BusStackTest, CommandsReachTheFirmwareAndRepliesComeBack)
{
    Start();
    /* GetOsVersion: 4 bytes out, 8 back; the version word at offset 4. */
    std::vector<UCHAR> reply = Command(0, std::vector<UCHAR>(4, 0), 8);
    ASSERT_EQ(reply.size(), 8u);
    SimConfig defaults;
    SimConfigDefaults(&defaults);
    uint32_t version = reply[4] | reply[5] << 8 | reply[6] << 16 | (uint32_t)reply[7] << 24;
    EXPECT_EQ(version, defaults.OsVersion);

    /* DisplayText: 44 bytes in one transfer of a short packet after a full one. */
    std::vector<UCHAR> display(44, 0);
    memcpy(display.data() + 4, "hello", 5);
    reply = Command(9, display, 4);
    EXPECT_EQ(reply.size(), 4u);
    char text[41];
    SimUnitDisplay(HostUsbUnitSim(bus, port), text);
    EXPECT_STREQ(text, "hello");

    /* A reply longer than the read is babble; the pipe then stays halted until reset. */
    std::vector<UCHAR> request(4, 0);
    EXPECT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    std::vector<UCHAR> partial;
    USBD_STATUS urbStatus;
    EXPECT_EQ(Bulk(kIn, true, &partial, 5, true, &urbStatus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_TRUE(State().InHalted);
    EXPECT_EQ(Bulk(kIn, true, &partial, 8, true, &urbStatus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn)), STATUS_SUCCESS);
    EXPECT_FALSE(State().InHalted);
    EXPECT_EQ(Command(0, std::vector<UCHAR>(4, 0), 8).size(), 8u);
}

/* MaximumTransferSize is not used on Windows XP and later ("USBD_PIPE_INFORMATION"): a
 * transfer above the size the pipe was selected with, and above 64 KiB, moves whole. */
TEST_F(BusStackTest, LoopbackRoundTripsOfEverySizeClass)
{
    Start(WithLoopback(Settings()), 4096);
    for (ULONG size : {0u, 1u, 63u, 64u, 65u, 4096u, 4097u, 70000u}) {
        for (bool useMdl : {false, true}) {
            UsbTestTransfer out;
            UsbTestPrepareBulk(&out, Pipe(kLoopOut), false, size, true, useMdl);
            for (ULONG i = 0; i < size; i++) {
                out.Data[i] = (UCHAR)(i * 7 + size);
            }
            UsbTestStart(lower, &out);
            ASSERT_TRUE(UsbTestWait(&out));
            EXPECT_EQ(out.Status, STATUS_SUCCESS) << size;
            EXPECT_EQ(out.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, size);
            EXPECT_EQ(out.CompletionIrql, DISPATCH_LEVEL);

            UsbTestTransfer in;
            UsbTestPrepareBulk(&in, Pipe(kLoopIn), true, size, false, useMdl);
            UsbTestStart(lower, &in);
            ASSERT_TRUE(UsbTestWait(&in)) << size;
            EXPECT_EQ(in.Status, STATUS_SUCCESS) << size;
            ASSERT_EQ(in.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, size);
            EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.begin() + size, out.Data.begin())) << size;
            EXPECT_EQ(in.Data[size], 0xEE) << "nothing written past the buffer";
            UsbTestRelease(&out);
            UsbTestRelease(&in);
        }
    }
}

TEST_F(BusStackTest, ShortPacketsEndReadsAndFailThemWithoutShortOk)
{
    Start(WithLoopback(Settings()));
    std::vector<UCHAR> data(10, 3);
    ASSERT_EQ(Bulk(kLoopOut, false, &data, 10), STATUS_SUCCESS);
    std::vector<UCHAR> got;
    EXPECT_EQ(Bulk(kLoopIn, true, &got, 64, true), STATUS_SUCCESS);
    EXPECT_EQ(got.size(), 10u);

    ASSERT_EQ(Bulk(kLoopOut, false, &data, 10), STATUS_SUCCESS);
    USBD_STATUS urbStatus;
    EXPECT_EQ(Bulk(kLoopIn, true, &got, 64, false, &urbStatus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(lastMoved, 10u);
}

TEST_F(BusStackTest, TransfersOnAPipeCompleteInTheOrderIssued)
{
    Start(WithLoopback(Settings()));
    UsbTestTransfer reads[3];
    for (int i = 0; i < 3; i++) {
        UsbTestPrepareBulk(&reads[i], Pipe(kLoopIn), true, 16, true);
        EXPECT_EQ(UsbTestStart(lower, &reads[i]), STATUS_PENDING);
    }
    EXPECT_EQ(State().PendingTransfers, 3u);
    for (int i = 0; i < 3; i++) {
        std::vector<UCHAR> data(5 + i, (UCHAR)(0x10 + i));
        ASSERT_EQ(Bulk(kLoopOut, false, &data, (ULONG)data.size()), STATUS_SUCCESS);
    }
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(UsbTestWait(&reads[i]));
        EXPECT_EQ(reads[i].Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, (ULONG)(5 + i));
        EXPECT_EQ(reads[i].Data[0], 0x10 + i);
        if (i > 0) {
            EXPECT_GT(reads[i].Order, reads[i - 1].Order);
        }
        UsbTestRelease(&reads[i]);
    }
}

/* Windows lets a cancelled transfer complete after IoCancelIrp has returned, and an abort
 * complete before or after the transfers it cancels: under delay fuzzing both orders of
 * each happen, so that a driver relying on one fails. */
TEST_F(BusStackTest, CancelAndAbortCompleteInEitherOrderUnderDelayFuzzing)
{
    Start();
    HostVerifierSetDelayFuzzing(11, 30, 50);
    int cancelledInside = 0, cancelledLater = 0, abortFirst = 0, transfersFirst = 0;
    for (int i = 0; i < 64; i++) {
        UsbTestTransfer read;
        UsbTestPrepareBulk(&read, Pipe(kIn), true, 8, true);
        ASSERT_EQ(UsbTestStart(lower, &read), STATUS_PENDING);
        if (i % 2 == 0) {
            EXPECT_TRUE(IoCancelIrp(read.Irp));
            (UsbTestIsDone(&read) ? cancelledInside : cancelledLater)++;
        } else {
            EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kIn)), STATUS_SUCCESS);
            (UsbTestIsDone(&read) ? transfersFirst : abortFirst)++;
        }
        ASSERT_TRUE(UsbTestWait(&read));
        EXPECT_EQ(read.Status, STATUS_CANCELLED);
        UsbTestRelease(&read);
    }
    HostVerifierSetDelayFuzzing(0, 0, 0);
    EXPECT_GT(cancelledInside, 0);
    EXPECT_GT(cancelledLater, 0);
    EXPECT_GT(abortFirst, 0);
    EXPECT_GT(transfersFirst, 0);
}

TEST_F(BusStackTest, CancelAbortAndResetWithTransfersPending)
{
    Start();
    /* A read with no reply waiting stays pending, and a reset of its pipe is refused. */
    UsbTestTransfer read;
    UsbTestPrepareBulk(&read, Pipe(kIn), true, 8, true);
    ASSERT_EQ(UsbTestStart(lower, &read), STATUS_PENDING);
    USBD_STATUS urbStatus;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn), &urbStatus), STATUS_UNSUCCESSFUL)
        << "the USB stack maps USBD_STATUS_ERROR_BUSY as any other error";
    EXPECT_EQ(urbStatus, USBD_STATUS_ERROR_BUSY);
    /* A function the USB stack does not know is refused, not reported. */
    EXPECT_EQ(PipeRequest(0x7F00, Pipe(kIn), &urbStatus), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urbStatus, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kOut)), STATUS_SUCCESS) << "the other pipe is idle";

    EXPECT_TRUE(IoCancelIrp(read.Irp));
    ASSERT_TRUE(UsbTestWait(&read));
    EXPECT_EQ(read.Status, STATUS_CANCELLED);
    EXPECT_EQ(read.Urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    UsbTestRelease(&read);

    /* Abort completes every pending transfer of the pipe as cancelled. */
    UsbTestTransfer reads[3];
    for (UsbTestTransfer &r : reads) {
        UsbTestPrepareBulk(&r, Pipe(kIn), true, 8, true);
        ASSERT_EQ(UsbTestStart(lower, &r), STATUS_PENDING);
    }
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kIn)), STATUS_SUCCESS);
    for (UsbTestTransfer &r : reads) {
        ASSERT_TRUE(UsbTestWait(&r));
        EXPECT_EQ(r.Status, STATUS_CANCELLED);
        UsbTestRelease(&r);
    }
    EXPECT_EQ(State().PendingTransfers, 0u);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn)), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kIn)), STATUS_SUCCESS) << "nothing to abort";
    EXPECT_EQ(Command(0, std::vector<UCHAR>(4, 0), 8).size(), 8u) << "the unit still answers";
}

TEST_F(BusStackTest, ResetPipeDropsAPartRequestAndWaitingReplies)
{
    Start();
    std::vector<UCHAR> half = {8, 0};
    ASSERT_EQ(Bulk(kOut, false, &half, 2), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kOut)), STATUS_SUCCESS);
    std::vector<UCHAR> request(4, 0);
    ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    EXPECT_EQ(State().ReplyBytesWaiting, 8u) << "the reset dropped the half request";
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn)), STATUS_SUCCESS);
    EXPECT_EQ(State().ReplyBytesWaiting, 0u);
}

TEST_F(BusStackTest, PortStatusPortOffAndPortReset)
{
    Start();
    EXPECT_EQ(PortStatus(), (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    UsbTestTransfer read;
    UsbTestPrepareBulk(&read, Pipe(kIn), true, 8, true);
    ASSERT_EQ(UsbTestStart(lower, &read), STATUS_PENDING);

    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultPortOff, 0));
    ASSERT_TRUE(UsbTestWait(&read));
    EXPECT_FALSE(NT_SUCCESS(read.Status));
    EXPECT_EQ(read.Urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    UsbTestRelease(&read);
    EXPECT_EQ(PortStatus(), (ULONG)USBD_PORT_CONNECTED);
    std::vector<UCHAR> request(4, 0);
    EXPECT_FALSE(NT_SUCCESS(Bulk(kOut, false, &request, 4)));

    EXPECT_EQ(UsbTestInternalControl(lower, IOCTL_INTERNAL_USB_RESET_PORT, NULL), STATUS_SUCCESS);
    EXPECT_EQ(PortStatus(), (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(Command(0, std::vector<UCHAR>(4, 0), 8).size(), 8u) << "same pipe handles after the reset";
}

TEST_F(BusStackTest, FirmwareFaultsShowOnTheBus)
{
    HostUsbUnitSettings settings = Settings();
    char error[200];
    ASSERT_TRUE(SimParseFaults("stall:GetOsVersion:1,delay:GetOsVersion:2:30,portoff:GetFlashInfo:1", &settings.Sim,
                               error, sizeof(error)))
        << error;
    Start(settings);
    std::vector<UCHAR> request(4, 0);
    std::vector<UCHAR> reply;
    USBD_STATUS urbStatus;
    ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    EXPECT_EQ(Bulk(kIn, true, &reply, 8, true, &urbStatus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(State().InHalted);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn)), STATUS_SUCCESS);

    /* The delayed reply is not there at once, and comes whole after its delay. */
    ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    UsbTestTransfer read;
    UsbTestPrepareBulk(&read, Pipe(kIn), true, 8, true);
    UsbTestStart(lower, &read);
    EXPECT_FALSE(UsbTestWait(&read, 5));
    ASSERT_TRUE(UsbTestWait(&read, 5000));
    EXPECT_EQ(read.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
    UsbTestRelease(&read);

    /* GetFlashInfo turns the port off as it arrives: its handshake is lost, no reply comes. */
    request[0] = 1;
    EXPECT_EQ(Bulk(kOut, false, &request, 4, true, &urbStatus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbStatus, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(PortStatus(), (ULONG)USBD_PORT_CONNECTED);
}

TEST_F(BusStackTest, InjectedRecordFaults)
{
    Start();
    struct Case {
        SimFaultKind Kind;
        NTSTATUS Status;
        USBD_STATUS UrbStatus;
        ULONG Moved;
    } cases[] = {
        {SimFaultShort, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 7},
        {SimFaultLong, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0},
        {SimFaultXferError, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0},
    };
    std::vector<UCHAR> request(4, 0);
    for (const Case &c : cases) {
        ASSERT_TRUE(HostUsbInjectFault(bus, port, c.Kind, 0));
        ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
        std::vector<UCHAR> reply;
        USBD_STATUS urbStatus;
        EXPECT_EQ(Bulk(kIn, true, &reply, 8, true, &urbStatus), c.Status) << c.Kind;
        EXPECT_EQ(urbStatus, c.UrbStatus) << c.Kind;
        EXPECT_EQ(lastMoved, c.Moved) << c.Kind;
        PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe(kIn));
    }
    /* No reply at all: the read stays pending until cancelled. */
    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultNoReply, 0));
    ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    UsbTestTransfer read;
    UsbTestPrepareBulk(&read, Pipe(kIn), true, 8, true);
    UsbTestStart(lower, &read);
    EXPECT_FALSE(UsbTestWait(&read, 20));
    IoCancelIrp(read.Irp);
    ASSERT_TRUE(UsbTestWait(&read));
    EXPECT_EQ(read.Status, STATUS_CANCELLED);
    UsbTestRelease(&read);
}

TEST_F(BusStackTest, SuspendedUnitRefusesTransfersAndResumes)
{
    Start();
    UsbTestTransfer pending;
    UsbTestPrepareBulk(&pending, Pipe(kIn), true, 8, true);
    ASSERT_EQ(UsbTestStart(lower, &pending), STATUS_PENDING);

    SetDevicePower(PowerDeviceD2);
    EXPECT_EQ(State().PowerState, PowerDeviceD2);
    std::vector<UCHAR> request(4, 0);
    USBD_STATUS urbStatus;
    EXPECT_EQ(Bulk(kOut, false, &request, 4, true, &urbStatus), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(urbStatus, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_FALSE(UsbTestIsDone(&pending)) << "a queued read waits through the suspend";

    SetDevicePower(PowerDeviceD0);
    EXPECT_EQ(State().PowerState, PowerDeviceD0);
    ASSERT_EQ(Bulk(kOut, false, &request, 4), STATUS_SUCCESS);
    ASSERT_TRUE(UsbTestWait(&pending));
    EXPECT_EQ(pending.Status, STATUS_SUCCESS);
    EXPECT_EQ(pending.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
    UsbTestRelease(&pending);
}

TEST_F(BusStackTest, WaitWakeIsHeldUntilWakeOrCancel)
{
    Start();
    struct Wake {
        KEVENT Done;
        NTSTATUS Status;
    } wake;
    auto onWake = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
        Wake *w = (Wake *)context;
        w->Status = ioStatus->Status;
        KeSetEvent(&w->Done, IO_NO_INCREMENT, FALSE);
    };
    for (bool cancel : {false, true}) {
        KeInitializeEvent(&wake.Done, NotificationEvent, FALSE);
        POWER_STATE state;
        state.SystemState = PowerSystemSleeping3;
        PIRP irp = NULL;
        ASSERT_EQ(PoRequestPowerIrp(HostUsbUnitPdo(bus, port), IRP_MN_WAIT_WAKE, state, onWake, &wake, &irp),
                  STATUS_PENDING);
        ASSERT_TRUE(State().WaitWakePending);
        if (cancel) {
            IoCancelIrp(irp);
        } else {
            ASSERT_TRUE(HostUsbSignalWake(bus, port));
        }
        KeWaitForSingleObject(&wake.Done, Executive, KernelMode, FALSE, NULL);
        EXPECT_EQ(wake.Status, cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_FALSE(State().WaitWakePending);
    }
    EXPECT_FALSE(HostUsbSignalWake(bus, port));
}

TEST_F(BusStackTest, CapabilitiesComeFromTheUnitsSettings)
{
    HostUsbUnitSettings settings = Settings();
    settings.Capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    settings.Capabilities.DeviceWake = PowerDeviceD3;
    Start(settings);
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    ioStatus = irp->IoStatus;
    IoFreeIrp(irp);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD3);
    EXPECT_EQ(caps.Address, (ULONG)port);
    EXPECT_EQ(caps.Size, sizeof(caps));
}

TEST_F(BusStackTest, SurpriseRemovalCompletesEverythingInFlight)
{
    Start(WithLoopback(Settings()), 8192);
    HostUsbUnitSettings other = Settings();
    int otherPort = Plug(other);
    PDEVICE_OBJECT otherLower = UsbTestLowerDevice(bus, otherPort);
    UsbTestConfig otherConfig = UsbTestSelect(otherLower, 4096);
    ASSERT_EQ(otherConfig.Status, STATUS_SUCCESS);

    UsbTestTransfer reads[4];
    for (UsbTestTransfer &r : reads) {
        UsbTestPrepareBulk(&r, Pipe(kIn), true, 64, true);
        ASSERT_EQ(UsbTestStart(lower, &r), STATUS_PENDING);
    }
    UsbTestTransfer loopRead;
    UsbTestPrepareBulk(&loopRead, Pipe(kLoopIn), true, 4096, true);
    ASSERT_EQ(UsbTestStart(lower, &loopRead), STATUS_PENDING);

    ASSERT_TRUE(HostUsbUnplug(bus, port));
    for (UsbTestTransfer &r : reads) {
        ASSERT_TRUE(UsbTestWait(&r));
        EXPECT_EQ(r.Status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(r.Urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        UsbTestRelease(&r);
    }
    ASSERT_TRUE(UsbTestWait(&loopRead));
    UsbTestRelease(&loopRead);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
    EXPECT_FALSE(HostUsbUnplug(bus, port)) << "nothing left to unplug";

    /* The other unit never noticed. */
    HostUsbUnitState state;
    ASSERT_TRUE(HostUsbQueryUnit(bus, otherPort, &state));
    EXPECT_TRUE(state.Connected);
    std::vector<UCHAR> request(4, 0);
    UsbTestTransfer out;
    UsbTestPrepareBulk(&out, otherConfig.Pipes[kOut].PipeHandle, false, 4, true);
    UsbTestStart(otherLower, &out);
    ASSERT_TRUE(UsbTestWait(&out));
    EXPECT_EQ(out.Status, STATUS_SUCCESS);
    UsbTestRelease(&out);
}

TEST_F(BusStackTest, UnplugInTheMiddleOfAStagedWrite)
{
    Start(Settings(), 4096);
    /* Stages of 4096 bytes as murvousb issues them, back to back: WriteFlash records. */
    std::vector<UsbTestTransfer> stages(3);
    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultUnplug, 4096 + 1000));
    for (UsbTestTransfer &stage : stages) {
        UsbTestPrepareBulk(&stage, Pipe(kOut), false, 4096, true);
        memset(stage.Data.data(), 0, 4096);
        for (ULONG at = 0; at + 520 <= 4096; at += 520) {
            stage.Data[at] = 5; /* WriteFlash to offset 0 of a locked flash: answered with a status */
        }
        UsbTestStart(lower, &stage);
    }
    for (UsbTestTransfer &stage : stages) {
        ASSERT_TRUE(UsbTestWait(&stage));
    }
    EXPECT_EQ(stages[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(stages[1].Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(stages[1].Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);
    /* The last stage was either queued when the unit went, or issued after its removal,
     * when the test driver refuses it without sending it (as a function driver refuses a
     * request after REMOVE_DEVICE). Which one depends on the host controller's pace. */
    if (stages[2].Irp != NULL) {
        EXPECT_EQ(stages[2].Status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(stages[2].Urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(stages[2].Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u) << "a failed stage moved nothing";
    } else {
        EXPECT_EQ(stages[2].Status, STATUS_DELETE_PENDING);
    }
    for (UsbTestTransfer &stage : stages) {
        UsbTestRelease(&stage);
    }
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
}

TEST_F(BusStackTest, SeveralUnitsRunWhileOthersComeAndGo)
{
    const int kUnits = 3;
    int ports[kUnits];
    PDEVICE_OBJECT lowers[kUnits];
    UsbTestConfig configs[kUnits];
    for (int u = 0; u < kUnits; u++) {
        ports[u] = PlugDefault();
        lowers[u] = UsbTestLowerDevice(bus, ports[u]);
        configs[u] = UsbTestSelect(lowers[u], 4096);
        ASSERT_EQ(configs[u].Status, STATUS_SUCCESS);
    }
    std::atomic<int> failures{0};
    auto worker = [&](int u) {
        for (int i = 0; i < 40; i++) {
            UsbTestTransfer out, in;
            UsbTestPrepareBulk(&out, configs[u].Pipes[kOut].PipeHandle, false, 4, true);
            memset(out.Data.data(), 0, 4);
            UsbTestPrepareBulk(&in, configs[u].Pipes[kIn].PipeHandle, true, 8, true);
            UsbTestStart(lowers[u], &in);
            UsbTestStart(lowers[u], &out);
            if (!UsbTestWait(&out) || !UsbTestWait(&in) || out.Status != STATUS_SUCCESS ||
                in.Status != STATUS_SUCCESS || in.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength != 8) {
                failures++;
            }
            UsbTestRelease(&out);
            UsbTestRelease(&in);
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    /* Meanwhile a third unit leaves and a fourth arrives. */
    ASSERT_TRUE(HostUsbUnplug(bus, ports[2]));
    EXPECT_TRUE(HostUsbWaitGone(bus, ports[2], 5000));
    int fourth = PlugDefault();
    EXPECT_GT(fourth, 0);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(SimUnitCommandCount(HostUsbUnitSim(bus, ports[0]), 0), 40u);
    EXPECT_EQ(SimUnitCommandCount(HostUsbUnitSim(bus, ports[1]), 0), 40u);
}

TEST_F(BusStackTest, UnplugAtAnyMomentUnderDelayFuzzing)
{
    /* Each round: stages flowing both ways, and the cable pulled a little later each time;
     * every request must complete and the unit must leave. */
    HostVerifierSetDelayFuzzing(7, 20, 200);
    int cut = 0;
    for (uint32_t round = 0; round < 12; round++) {
        port = PlugDefault();
        lower = UsbTestLowerDevice(bus, port);
        config = UsbTestSelect(lower, 4096);
        ASSERT_EQ(config.Status, STATUS_SUCCESS);
        std::vector<UsbTestTransfer> transfers(4);
        for (size_t i = 0; i < transfers.size(); i++) {
            bool in = i < 2;
            UsbTestPrepareBulk(&transfers[i], Pipe(in ? kIn : kOut), in, 4096, true);
            if (!in) {
                memset(transfers[i].Data.data(), 0, 4096); /* 1024 GetOsVersion requests */
            }
            UsbTestStart(lower, &transfers[i]);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(round * 60));
        ASSERT_TRUE(HostUsbUnplug(bus, port));
        for (UsbTestTransfer &t : transfers) {
            ASSERT_TRUE(UsbTestWait(&t)) << "round " << round;
            EXPECT_TRUE(t.Status == STATUS_SUCCESS || t.Status == STATUS_DEVICE_NOT_CONNECTED)
                << "round " << round << " status " << std::hex << t.Status;
            cut += t.Status == STATUS_DEVICE_NOT_CONNECTED;
            UsbTestRelease(&t);
        }
        ASSERT_TRUE(HostUsbWaitGone(bus, port, 5000)) << "round " << round;
    }
    HostVerifierSetDelayFuzzing(0, 0, 0);
    EXPECT_GT(cut, 0) << "no round pulled the cable while a transfer was in flight";
}

TEST_F(BusStackTest, TimingModelTakesAtLeastTheBusTime)
{
    Start(WithLoopback(Settings()), 8192);
    HostUsbTiming timing;
    HostUsbTimingDefaults(&timing, UsbFullSpeed);
    HostUsbBusSetTiming(bus, &timing);
    /* 8192 bytes are 128 full-speed packets: 7 frames of 19 packets, 7 ms at least. */
    std::vector<UCHAR> data(8192, 1);
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(Bulk(kLoopOut, false, &data, 8192), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(7));
    HostUsbBusSetTiming(bus, NULL);
}

} // namespace
