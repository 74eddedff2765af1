/*
 * pipe_io_test.cpp - murvousb as programs use it: pipe handles (exclusive opens, also
 * raced), reads and writes as single and staged bulk transfers, failures and allocation
 * failures inside staged transfers, surprise removal with stages in flight, and the three
 * device-control requests.
 */
#include "driver_harness.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

std::vector<ULONG> BulkLengths()
{
    std::vector<ULONG> lengths;
    for (const SpyRecord &record : SpyLog()) {
        if (record.UrbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            lengths.push_back(record.TransferLength);
        }
    }
    return lengths;
}

ULONG CountUrbs(USHORT function)
{
    ULONG count = 0;
    for (const SpyRecord &record : SpyLog()) {
        count += record.IsUrb && record.UrbFunction == function;
    }
    return count;
}

std::vector<UCHAR> Pattern(size_t length, UCHAR seed)
{
    std::vector<UCHAR> data(length);
    for (size_t i = 0; i < length; i++) {
        data[i] = static_cast<UCHAR>(seed + i * 7 + (i >> 8));
    }
    return data;
}

bool PipeIdle(PipeContext *pipe)
{
    return !pipe->Transfer.Busy && pipe->Transfer.MasterIrp == nullptr && pipe->Transfer.SingleUrb == nullptr &&
           pipe->Transfer.Stage.Irp == nullptr && pipe->Transfer.StagesOutstanding == 0;
}

/* Releases the held stages of a staged transfer one after another (each is sent once the one
 * before it has completed) until its request has completed. */
void ReleaseStagesUntilDone(Pending &pending, NTSTATUS status)
{
    while (!pending.Completed()) {
        if (SpyHeldCount() > 0) {
            SpyReleaseHeld(status);
        } else {
            std::this_thread::yield();
        }
    }
}

using HandleTest = DriverTest;

TEST_F(HandleTest, PipesAreHeldByOneHandleAtATime)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    EXPECT_EQ(HostFileObject(device)->FsContext, nullptr);
    HostFile *file = nullptr;
    EXPECT_EQ(Open(u"\\", &file), STATUS_INVALID_PARAMETER) << "a lone backslash is not the device";
    EXPECT_EQ(Open(u"\\PIPE02", &file), STATUS_INVALID_PARAMETER);

    HostFile *first = OpenOk(u"\\PIPE00");
    EXPECT_EQ(HostFileObject(first)->FsContext, &Ext()->PipeTable[0]);
    EXPECT_EQ(Open(u"\\PIPE00", &file), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(u"\\ADDR81", &file), STATUS_INVALID_PARAMETER) << "the same pipe by its address";
    EXPECT_EQ(Ext()->OpenPipes, 1);
    HostCloseFile(first);
    EXPECT_EQ(Ext()->OpenPipes, 0);
    HostFile *again = OpenOk(u"\\ADDR81");
    EXPECT_EQ(Ext()->OpenPipes, 1);
    HostCloseFile(again);
    HostCloseFile(device);
    EXPECT_EQ(Ext()->OpenPipes, 0);
    EXPECT_EQ(Ext()->PendingIoCount, 1);
}

TEST_F(HandleTest, OfTwoRacingOpensOfAPipeExactlyOneWins)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (int round = 0; round < 100; round++) {
        std::atomic<int> ready{0};
        HostFile *files[2] = {};
        NTSTATUS statuses[2] = {};
        auto racer = [&](int i) {
            ready++;
            while (ready.load() < 2) {
            }
            statuses[i] = Open(u"\\PIPE01", &files[i]);
        };
        std::thread a(racer, 0), b(racer, 1);
        a.join();
        b.join();
        int winners = (statuses[0] == STATUS_SUCCESS) + (statuses[1] == STATUS_SUCCESS);
        ASSERT_EQ(winners, 1) << "round " << round;
        EXPECT_EQ(Ext()->OpenPipes, 1);
        for (HostFile *file : files) {
            if (file) {
                HostCloseFile(file);
            }
        }
        ASSERT_EQ(Ext()->OpenPipes, 0);
    }
}

TEST_F(HandleTest, CreatesFailWhileTheUnitIsStopped)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    ASSERT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    HostFile *file = nullptr;
    EXPECT_EQ(Open(u"", &file), STATUS_DELETE_PENDING);
    EXPECT_EQ(Open(u"\\PIPE00", &file), STATUS_DELETE_PENDING);
    ASSERT_EQ(HostPnpStart(Node()), STATUS_SUCCESS);
    HostCloseFile(OpenOk(u"\\PIPE00"));
}

using TransferTest = DriverTest;

TEST_F(TransferTest, WritesAndReadsSplitIntoStagesOf4096)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    SpyAnswerTransfers(true);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    struct Case {
        ULONG Length;
        std::vector<ULONG> Stages;
    } cases[] = {{0, {0}}, {1, {1}}, {4096, {4096}}, {4097, {4096, 1}}, {2 * 4096 + 808, {4096, 4096, 808}}};
    for (const Case &c : cases) {
        std::vector<UCHAR> data = Pattern(c.Length, static_cast<UCHAR>(c.Length));
        SpyReset();
        SpyAnswerTransfers(true);
        ULONG_PTR moved = 12345;
        EXPECT_EQ(HostWriteFile(out, data.data(), c.Length, nullptr, &moved), STATUS_SUCCESS) << c.Length;
        EXPECT_EQ(moved, c.Length);
        EXPECT_EQ(BulkLengths(), c.Stages) << c.Length;
        EXPECT_EQ(SpyOutData(), data) << c.Length;

        SpyReset();
        SpyAnswerTransfers(true);
        SpySetInData(data, {});
        std::vector<UCHAR> buffer(c.Length + 1, 0xEE);
        EXPECT_EQ(HostReadFile(in, buffer.data(), c.Length, nullptr, &moved), STATUS_SUCCESS) << c.Length;
        EXPECT_EQ(moved, c.Length);
        // A read of nothing completes at once; a write of nothing is a zero-length packet.
        EXPECT_EQ(BulkLengths(), c.Length == 0 ? std::vector<ULONG>{} : c.Stages) << c.Length;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin())) << c.Length;
        EXPECT_EQ(buffer[c.Length], 0xEE);
        EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[0]));
        EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[1]));
    }
    EXPECT_EQ(Ext()->PendingIoCount, 1);
    EXPECT_EQ(HostLiveMdlCount(), 0u);
}

TEST_F(TransferTest, AShortStageEndsAStagedRead)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    SpyAnswerTransfers(true);
    std::vector<UCHAR> source = Pattern(20000, 3);
    // The unit's data ends with a short packet in the second stage, or in the first: no stage
    // is sent after it, and the bytes reported are the buffer's first ones.
    struct Case {
        std::vector<ULONG> Answers;
        ULONG Moved;
    } cases[] = {{{4096, 100, 808}, 4196}, {{100, 4096, 4096}, 100}, {{4096, 4096, 808}, 2 * 4096 + 808}};
    for (const Case &c : cases) {
        SpyClearLog();
        SpySetInData(source, c.Answers);
        std::vector<UCHAR> buffer(2 * 4096 + 808, 0xEE);
        ULONG_PTR moved = 0;
        EXPECT_EQ(HostReadFile(in, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr, &moved), STATUS_SUCCESS);
        EXPECT_EQ(moved, c.Moved);
        EXPECT_TRUE(std::equal(source.begin(), source.begin() + c.Moved, buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + c.Moved, buffer.end(), [](UCHAR b) { return b == 0xEE; }));
        EXPECT_EQ(BulkLengths().size(), (c.Moved + 4095) / 4096) << "a stage after the short one";
        EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[0]));
    }

    SpySetInData(source, {5});
    UCHAR reply[512];
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostReadFile(in, reply, sizeof reply, nullptr, &moved), STATUS_SUCCESS) << "a short packet is no failure";
    EXPECT_EQ(moved, 5u);
}

TEST_F(TransferTest, ASecondRequestWhileOneIsInFlightIsRefused)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    SpyHoldTransfers(true);
    for (ULONG length : {512u, 2u * 4096 + 808}) {
        std::vector<UCHAR> first(length), second(length);
        Pending pending;
        EXPECT_EQ(HostReadFile(in, first.data(), length, &pending.Io, nullptr), STATUS_PENDING);
        ULONG_PTR moved = 0;
        EXPECT_EQ(HostReadFile(in, second.data(), length, nullptr, &moved), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(pending.Completed());
        if (length > 4096) {
            EXPECT_EQ(HostPnpQueryStop(Node()), STATUS_UNSUCCESSFUL) << "stages outstanding refuse a stop";
            EXPECT_FALSE(Ext()->StopPending);
        }
        ASSERT_TRUE(WaitFor([&] { return SpyHeldCount() == 1; })) << "one stage at a time";
        ReleaseStagesUntilDone(pending, STATUS_SUCCESS);
        EXPECT_EQ(pending.Io.IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(pending.Io.IoStatus.Information, length);
    }
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

TEST_F(TransferTest, ReadsAndWritesThatCannotStartAreRefused)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    HostFile *out = OpenOk(u"\\PIPE01");
    UCHAR data[5000] = {};
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostWriteFile(device, data, 10, nullptr, &moved), STATUS_INVALID_HANDLE);
    EXPECT_EQ(HostReadFile(device, data, 5000, nullptr, &moved), STATUS_INVALID_HANDLE);

    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    EXPECT_EQ(HostWriteFile(out, data, 10, nullptr, &moved), STATUS_DELETE_PENDING);
    EXPECT_EQ(HostWriteFile(out, data, 5000, nullptr, &moved), STATUS_DELETE_PENDING);
    ASSERT_EQ(HostPnpCancelStop(Node()), STATUS_SUCCESS);

    HostCloseFile(device);
    HostCloseFile(out);
    ASSERT_EQ(HostPnpQueryRemove(Node()), STATUS_SUCCESS);
    HostPnpCancelRemove(Node());
    out = OpenOk(u"\\PIPE01");
    // The plug-and-play manager refuses the query while a file is open, after the driver has
    // seen it, and then cancels it. Requests on the open handle inside that window go on (a
    // transfer must not break for a removal that cannot happen); only new opens are refused.
    // The window is held open by hand.
    EXPECT_NE(HostPnpQueryRemove(Node()), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->RemovePending);
    Ext()->RemovePending = TRUE;
    EXPECT_EQ(HostWriteFile(out, data, 10, nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(HostWriteFile(out, data, 5000, nullptr, &moved), STATUS_SUCCESS);
    HostFile *another = nullptr;
    EXPECT_EQ(Open(u"\\PIPE00", &another), STATUS_DELETE_PENDING);
    Ext()->RemovePending = FALSE;
    EXPECT_EQ(HostWriteFile(out, data, 10, nullptr, &moved), STATUS_SUCCESS);
}

TEST_F(TransferTest, ReadsAndWritesAgainstTheEndpointsDirectionAreRefused)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyAnswerTransfers(true);
    SpyClearLog();
    std::vector<UCHAR> buffer(2 * 4096 + 808);
    for (ULONG length : {ULONG(1), ULONG(buffer.size())}) {
        ULONG_PTR moved = 99;
        EXPECT_EQ(HostReadFile(out, buffer.data(), length, nullptr, &moved), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(moved, 0u);
        EXPECT_EQ(HostWriteFile(in, buffer.data(), length, nullptr, &moved), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(moved, 0u);
    }
    EXPECT_TRUE(BulkLengths().empty()) << "nothing goes to an endpoint of the other direction";
    EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[0]));
    EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[1]));
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostWriteFile(out, buffer.data(), 10, nullptr, &moved), STATUS_SUCCESS);
    HostCloseFile(in);
    HostCloseFile(out);
}

TEST_F(TransferTest, FailedTransfersReportTheirFailureAndTheBytesMoved)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *out = OpenOk(u"\\PIPE01");
    std::vector<UCHAR> data = Pattern(2 * 4096 + 808, 9);
    ULONG_PTR moved = 0;

    // A single transfer that the stack fails.
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 1,
                   STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
    SpyAnswerTransfers(true);
    EXPECT_EQ(HostWriteFile(out, data.data(), 100, nullptr, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);

    // The second stage fails as it is sent: the transfer ends there with the first stage's
    // bytes; nothing is left queued, so no pipe reset is needed.
    SpyReset();
    SpyAnswerTransfers(true);
    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 2,
                   STATUS_DEVICE_NOT_READY, USBD_STATUS_STALL_PID});
    EXPECT_EQ(HostWriteFile(out, data.data(), static_cast<ULONG>(data.size()), nullptr, &moved),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(moved, 4096u);
    EXPECT_EQ(BulkLengths().size(), 2u);
    EXPECT_EQ(CountUrbs(URB_FUNCTION_RESET_PIPE), 0u);

    // The first stage fails later on: its failure is reported, nothing moved, no stage follows.
    SpyReset();
    SpyHoldTransfers(true);
    Pending pending;
    EXPECT_EQ(HostWriteFile(out, data.data(), static_cast<ULONG>(data.size()), &pending.Io, nullptr), STATUS_PENDING);
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));
    SpyReleaseHeld(STATUS_DEVICE_NOT_READY);
    pending.Wait();
    EXPECT_EQ(pending.Io.IoStatus.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(pending.Io.IoStatus.Information, 0u);
    EXPECT_EQ(BulkLengths().size(), 1u);
    EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[1]));
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
}

TEST_F(TransferTest, StagedTransferSurvivesAnAllocationFailureAtEveryPoint)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *out = OpenOk(u"\\PIPE01");
    HostPoolUsage baseline = HostPoolUsageByTag(MurvoPoolTag);
    std::vector<UCHAR> data = Pattern(2 * 4096 + 808, 1);
    SpyAnswerTransfers(true);

    HostLowResources counting = {&MurvoTestDriver, 0, FALSE, 0, 0};
    HostVerifierSetLowResources(&counting);
    ULONG_PTR moved = 0;
    ASSERT_EQ(HostWriteFile(out, data.data(), static_cast<ULONG>(data.size()), nullptr, &moved), STATUS_SUCCESS);
    ULONG allocations = HostVerifierCountedAllocations();
    HostVerifierSetLowResources(nullptr);
    ASSERT_GE(allocations, 9u) << "a request, MDL and URB per stage";

    ULONG failures = 0;
    for (ULONG nth = 1; nth <= allocations; nth++) {
        HostLowResources failing = {&MurvoTestDriver, nth, FALSE, 0, 0};
        HostVerifierSetLowResources(&failing);
        NTSTATUS status = HostWriteFile(out, data.data(), static_cast<ULONG>(data.size()), nullptr, &moved);
        HostVerifierSetLowResources(nullptr);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(moved, data.size()) << nth;
        } else {
            failures++;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << nth;
            EXPECT_EQ(moved % 4096, 0u) << "only whole stages went out before the failure: " << nth;
        }
        EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[1])) << nth;
        EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; })) << nth;
        EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, baseline.Allocations) << nth;
    }
    EXPECT_GE(failures, 9u);
    EXPECT_EQ(HostWriteFile(out, data.data(), static_cast<ULONG>(data.size()), nullptr, &moved), STATUS_SUCCESS);
}

TEST_F(TransferTest, SurpriseRemovalWithStagesInFlightCompletesTheRequest)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    // Held by the spy (cancellable) on one pipe, queued in the bus on the other.
    SpyHoldTransfers(true);
    std::vector<UCHAR> readBuffer(3 * 4096), writeBuffer(2 * 4096 + 1);
    Pending held;
    EXPECT_EQ(HostWriteFile(out, writeBuffer.data(), static_cast<ULONG>(writeBuffer.size()), &held.Io, nullptr),
              STATUS_PENDING);
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));
    SpyHoldTransfers(false);
    Pending queued;
    EXPECT_EQ(HostReadFile(in, readBuffer.data(), static_cast<ULONG>(readBuffer.size()), &queued.Io, nullptr),
              STATUS_PENDING);

    ASSERT_TRUE(HostUsbUnplug(bus, port));
    held.Wait();
    queued.Wait();
    EXPECT_FALSE(NT_SUCCESS(held.Io.IoStatus.Status));
    EXPECT_EQ(held.Io.IoStatus.Information, 0u);
    EXPECT_FALSE(NT_SUCCESS(queued.Io.IoStatus.Status)) << "a transfer ended by removal is no success";
    EXPECT_EQ(queued.Io.IoStatus.Information, 0u);
    HostCloseFile(in);
    HostCloseFile(out);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
    EXPECT_EQ(HostPoolUsageByTag(MurvoPoolTag).Allocations, 0u);
}

/* The last stage ends just as a cancel has taken the master's cancel routine, before the
 * routine runs (on another processor, nothing orders the two): the completion leaves the
 * finish to the routine, which completes the master once, with every byte it moved. */
/* A unit whose IN endpoint is isochronous: murvousb moves its data with bulk transfers only,
 * so a read on that pipe is refused before anything goes to the bus. */
TEST_F(TransferTest, APipeThatIsNeitherBulkNorInterruptTakesNoTransfer)
{
    HostUsbUnitSettings settings = UnitSettings();
    UCHAR *endpoint = &settings.Descriptors.Config[18]; // after the configuration and the interface
    ASSERT_EQ(endpoint[1], USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ(endpoint[2], BUS_UNIT_IN_ENDPOINT);
    endpoint[3] = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    SpyClearLog();
    UCHAR reply[64];
    ULONG_PTR moved = 1;
    EXPECT_EQ(HostReadFile(in, reply, sizeof reply, nullptr, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    for (const SpyRecord &record : SpyLog()) {
        EXPECT_FALSE(record.IsUrb && record.UrbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    }
    HostCloseFile(in);
}

TEST_F(TransferTest, AStageEndingAsTheCancelBeginsLeavesTheFinishToTheCancelRoutine)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyHoldTransfers(true);
    std::vector<UCHAR> buffer(4096 + 100, 0x33);
    Pending pending;
    ASSERT_EQ(HostWriteFile(out, buffer.data(), static_cast<ULONG>(buffer.size()), &pending.Io, nullptr),
              STATUS_PENDING);
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));
    SpyReleaseHeld(STATUS_SUCCESS); // the first stage; the last one goes down and is held
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));

    static std::atomic<int> hooked;
    hooked = 0;
    HostSetCancelHook(
        [](PIRP, PVOID) {
            if (hooked++ == 0) {
                std::thread otherProcessor([] { SpyReleaseHeld(STATUS_SUCCESS); });
                otherProcessor.join();
            }
        },
        nullptr);
    HostCancelFileIo(out);
    HostSetCancelHook(nullptr, nullptr);
    ASSERT_TRUE(WaitFor([&] { return pending.Completed(); }));
    EXPECT_EQ(hooked.load(), 1) << "the cancel of the master only: no stage was left to cancel";
    EXPECT_EQ(pending.Io.IoStatus.Status, STATUS_SUCCESS) << "every stage went out";
    EXPECT_EQ(pending.Io.IoStatus.Information, buffer.size());
    EXPECT_TRUE(WaitFor([&] { return PipeIdle(&Ext()->PipeTable[1]); }));
    HostCloseFile(out);
}

TEST_F(TransferTest, CancellingAStagedTransferCancelsItsStages)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    HostFile *out = OpenOk(u"\\PIPE01");
    SpyHoldTransfers(true);
    for (HostFile *file : {in, out}) {
        std::vector<UCHAR> buffer(2 * 4096 + 808);
        Pending pending;
        NTSTATUS started =
            file == in ? HostReadFile(file, buffer.data(), static_cast<ULONG>(buffer.size()), &pending.Io, nullptr)
                       : HostWriteFile(file, buffer.data(), static_cast<ULONG>(buffer.size()), &pending.Io, nullptr);
        ASSERT_EQ(started, STATUS_PENDING);
        ASSERT_TRUE(WaitFor([] { return SpyHeldCount() == 1; }));
        HostCancelFileIo(file);
        bool ended = WaitFor([&] { return pending.Completed(); });
        EXPECT_TRUE(ended) << "a cancelled staged transfer ends without the unit";
        if (!ended) {
            SpyReleaseHeld(STATUS_SUCCESS);
            pending.Wait();
            continue;
        }
        EXPECT_EQ(pending.Io.IoStatus.Status, STATUS_CANCELLED);
        EXPECT_EQ(pending.Io.IoStatus.Information, 0u);
        EXPECT_EQ(SpyHeldCount(), 0u);
        EXPECT_TRUE(WaitFor([&] { return PipeIdle(&Ext()->PipeTable[file == in ? 0 : 1]); }));
    }

    // Data arriving as a staged read is cancelled goes nowhere but the buffer's start: the
    // stage after the cancelled one has not been sent.
    SpyAnswerHeldOnCancel(true);
    std::vector<UCHAR> source = Pattern(100, 5);
    SpySetInData(source, {});
    std::vector<UCHAR> buffer(3 * 4096, 0xEE);
    Pending cancelled;
    ASSERT_EQ(HostReadFile(in, buffer.data(), static_cast<ULONG>(buffer.size()), &cancelled.Io, nullptr),
              STATUS_PENDING);
    ASSERT_TRUE(WaitFor([] { return SpyHeldCount() >= 1; }));
    HostCancelFileIo(in);
    ASSERT_TRUE(WaitFor([&] { return cancelled.Completed(); }));
    ULONG_PTR reported = cancelled.Io.IoStatus.Information;
    EXPECT_EQ(cancelled.Io.IoStatus.Status, STATUS_CANCELLED);
    ASSERT_LE(reported, source.size());
    EXPECT_TRUE(std::equal(source.begin(), source.begin() + reported, buffer.begin())) << reported;
    EXPECT_TRUE(std::all_of(buffer.begin() + reported, buffer.end(), [](UCHAR b) { return b == 0xEE; }))
        << "data landed beyond the bytes reported";
    SpyAnswerHeldOnCancel(false);
    ASSERT_TRUE(WaitFor([&] { return PipeIdle(&Ext()->PipeTable[0]); }));

    // A cancel racing the issue of the stages ends the transfer too, whichever stages it finds.
    for (int round = 0; round < 50; round++) {
        std::vector<UCHAR> buffer(8 * 4096);
        Pending pending;
        std::atomic<bool> returned{false};
        std::thread canceller([&] {
            while (HostOutstandingRequests(out) == 0 && !returned.load()) {
                std::this_thread::yield();
            }
            HostCancelFileIo(out);
        });
        NTSTATUS started = HostWriteFile(out, buffer.data(), static_cast<ULONG>(buffer.size()), &pending.Io, nullptr);
        returned = true;
        canceller.join();
        if (started == STATUS_PENDING) {
            ASSERT_TRUE(WaitFor([&] { return pending.Completed(); })) << "round " << round;
            EXPECT_EQ(pending.Io.IoStatus.Status, STATUS_CANCELLED) << "round " << round;
        }
        ASSERT_TRUE(WaitFor([&] { return PipeIdle(&Ext()->PipeTable[1]) && SpyHeldCount() == 0; }))
            << "round " << round;
    }
    EXPECT_TRUE(WaitFor([&] { return ReadShared(Ext()->PendingIoCount) == 1; }));
    HostCloseFile(in);
    HostCloseFile(out);
}

ULONG SpanPages(const void *address, size_t length)
{
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address) & ~ULONG_PTR(PAGE_SIZE - 1);
    ULONG_PTR end = reinterpret_cast<ULONG_PTR>(address) + length;
    return static_cast<ULONG>((end - start + PAGE_SIZE - 1) / PAGE_SIZE);
}

TEST_F(TransferTest, StageMdlsDescribeTheirOwnStageAndOverlongRequestsAreRefused)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *out = OpenOk(u"\\PIPE01");
    const ULONG mdlTag = HOST_POOL_TAG('M', 'd', 'l', ' ');
    SpyHoldTransfers(true);
    for (ULONG length : {ULONG(64) << 10, ULONG(1) << 20, ULONG(MURVO_MAX_REQUEST_LENGTH)}) {
        std::vector<UCHAR> data(length + 1);
        UCHAR *buffer = data.data() + 1; // never page-aligned
        HostPoolUsage before = HostPoolUsageByTag(mdlTag);
        HostPoolUsage driverBefore = HostPoolUsageByTag(MurvoPoolTag);
        Pending pending;
        ASSERT_EQ(HostWriteFile(out, buffer, length, &pending.Io, nullptr), STATUS_PENDING);
        ASSERT_TRUE(WaitFor([&] { return SpyHeldCount() == 1; })) << length;
        size_t callerMdl = sizeof(MDL) + SpanPages(buffer, length) * sizeof(ULONG_PTR);
        size_t stageMdls = HostPoolUsageByTag(mdlTag).Bytes - before.Bytes - callerMdl;
        size_t driverPool = HostPoolUsageByTag(MurvoPoolTag).Bytes - driverBefore.Bytes;
        std::printf("write of %u bytes: %zu bytes of stage MDLs, %zu bytes of the driver's own pool\n", length,
                    stageMdls, driverPool);
        EXPECT_LE(stageMdls, sizeof(MDL) + 2 * sizeof(ULONG_PTR)) << "one stage's MDL at a time: " << length;
        // The rest of the stages are answered as they come.
        SpyHoldTransfers(false);
        SpyAnswerTransfers(true);
        SpyReleaseHeld(STATUS_SUCCESS);
        pending.Wait();
        SpyAnswerTransfers(false);
        SpyHoldTransfers(true);
        EXPECT_EQ(pending.Io.IoStatus.Information, length);
    }

    SpyClearLog();
    std::vector<UCHAR> overlong(MURVO_MAX_REQUEST_LENGTH + 1);
    ULONG_PTR moved = 99;
    EXPECT_EQ(HostWriteFile(out, overlong.data(), static_cast<ULONG>(overlong.size()), nullptr, &moved),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(BulkLengths().empty());
    EXPECT_TRUE(PipeIdle(&Ext()->PipeTable[1]));
    HostCloseFile(out);
}

TEST_F(TransferTest, ACommandAndItsReplyThroughTheBus)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\" MURVO_WIDE(MURVO_READ_PIPE_NAME));
    HostFile *out = OpenOk(u"\\" MURVO_WIDE(MURVO_WRITE_PIPE_NAME));
    std::vector<UCHAR> command(SimCommandRequestLength(SimGetOsVersion), 0);
    command[0] = SimGetOsVersion;
    ULONG_PTR moved = 0;
    ASSERT_EQ(HostWriteFile(out, command.data(), static_cast<ULONG>(command.size()), nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, command.size());
    std::vector<UCHAR> reply(SimCommandReplyLength(SimGetOsVersion));
    ASSERT_EQ(HostReadFile(in, reply.data(), static_cast<ULONG>(reply.size()), nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, reply.size());
    EXPECT_EQ(SimUnitCommandCount(HostUsbUnitSim(bus, port), SimGetOsVersion), 1u);
}

using DeviceControlTest = DriverTest;

TEST_F(DeviceControlTest, ConfigDescriptorNeedsAnOutputOfWTotalLength)
{
    HostUsbUnitSettings settings = UnitSettings();
    settings.Descriptors = DescriptorsOfLength(600);
    ASSERT_EQ(Plug(settings), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    std::vector<UCHAR> buffer(601, 0xEE);
    ULONG_PTR moved = 99;
    EXPECT_EQ(HostDeviceIoControl(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), 599, nullptr, &moved),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(HostDeviceIoControl(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), 600, nullptr, &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 600u);
    EXPECT_EQ(memcmp(buffer.data(), settings.Descriptors.Config, 600), 0);
    EXPECT_EQ(buffer[600], 0xEE);
}

TEST_F(DeviceControlTest, ResetPipeNeedsAPipeAndHidesTheResetsOutcome)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    HostFile *in = OpenOk(u"\\PIPE00");
    UCHAR ignored[256];
    ULONG_PTR moved = 0;
    EXPECT_EQ(HostDeviceIoControl(device, IOCTL_RESET_PIPE, ignored, 256, ignored, 256, nullptr, &moved),
              STATUS_INVALID_PARAMETER);

    // A read outstanding on the pipe is left alone by the reset.
    SpyHoldTransfers(true);
    Pending read;
    UCHAR reply[5];
    EXPECT_EQ(HostReadFile(in, reply, sizeof reply, &read.Io, nullptr), STATUS_PENDING);
    SpyClearLog();
    EXPECT_EQ(HostDeviceIoControl(in, IOCTL_RESET_PIPE, ignored, 256, ignored, 256, nullptr, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(CountUrbs(URB_FUNCTION_RESET_PIPE), 1u);
    EXPECT_EQ(SpyLog()[0].PipeHandle, Ext()->InterfaceInfo->Pipes[0].PipeHandle);
    EXPECT_FALSE(read.Completed());
    SpyReleaseHeld(STATUS_SUCCESS);
    read.Wait();

    SpyAddFailure({IRP_MJ_INTERNAL_DEVICE_CONTROL, 0xFF, 0, URB_FUNCTION_RESET_PIPE, 0, 0, STATUS_UNSUCCESSFUL,
                   USBD_STATUS_ERROR});
    EXPECT_EQ(HostDeviceIoControl(in, IOCTL_RESET_PIPE, ignored, 256, ignored, 256, nullptr, &moved), STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, ResetDeviceAndUnknownCodes)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *device = OpenOk(u"");
    ULONG_PTR moved = 0;
    SpyClearLog();
    EXPECT_EQ(HostDeviceIoControl(device, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0, nullptr, &moved), STATUS_SUCCESS);
    ULONG resets = 0;
    for (const SpyRecord &record : SpyLog()) {
        resets += record.IoControlCode == IOCTL_INTERNAL_USB_RESET_PORT;
    }
    EXPECT_EQ(resets, 0u);

    ASSERT_TRUE(HostUsbInjectFault(bus, port, SimFaultPortOff, 0));
    EXPECT_EQ(HostDeviceIoControl(device, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0, nullptr, &moved), STATUS_SUCCESS);
    HostUsbUnitState state;
    ASSERT_TRUE(HostUsbQueryUnit(bus, port, &state));
    EXPECT_TRUE(state.PortEnabled);

    for (ULONG code : {0x22000Cu, 0x220010u, 0x220001u, 0u, 0x2A0000u}) {
        EXPECT_EQ(HostDeviceIoControl(device, code, nullptr, 0, nullptr, 0, nullptr, &moved), STATUS_INVALID_PARAMETER)
            << std::hex << code;
        EXPECT_EQ(moved, 0u);
    }
}

TEST_F(DeviceControlTest, EveryCodeFailsAfterSurpriseRemoval)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    ASSERT_TRUE(HostUsbUnplug(bus, port));
    ASSERT_TRUE(WaitFor([&] { return HostPnpGetState(Node()) == HostDeviceSurpriseRemoved; }));
    UCHAR buffer[1024];
    ULONG_PTR moved = 0;
    for (ULONG code :
         {ULONG(IOCTL_GET_CONFIG_DESCRIPTOR), ULONG(IOCTL_RESET_DEVICE), ULONG(IOCTL_RESET_PIPE), 0x22000Cu}) {
        EXPECT_EQ(HostDeviceIoControl(in, code, buffer, sizeof buffer, buffer, sizeof buffer, nullptr, &moved),
                  STATUS_DELETE_PENDING);
    }
    HostCloseFile(in);
    EXPECT_TRUE(HostUsbWaitGone(bus, port, 5000));
}

} // namespace

namespace {
/* A read left waiting on the IN pipe (no reply comes) when the unit is stopped: the stop must
 * abort the pipe and wait for it before it unconfigures the unit. */
TEST_F(HandleTest, StopWithAReadWaitingAbortsThePipeBeforeUnconfiguring)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    HostFile *in = OpenOk(u"\\PIPE00");
    UCHAR buffer[8];
    Pending read;
    ASSERT_EQ(HostReadFile(in, buffer, sizeof buffer, &read.Io, nullptr), STATUS_PENDING);
    ASSERT_EQ(HostPnpQueryStop(Node()), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpStop(Node()), STATUS_SUCCESS);
    read.Wait();
    EXPECT_EQ(read.Io.IoStatus.Status, STATUS_CANCELLED);
    HostCloseFile(in);
}
} // namespace
