/*
 * faults_test.cpp - the transport when the unit misbehaves or goes away: a reply that never
 * comes, one byte too few or too many, and the unit unplugged in the middle of a transfer.
 * Each must end in a failure report, in bounded time, and leave nothing open.
 */
#include "transport_stack/stack_machine.h"

#include <gtest/gtest.h>

#include <string.h>
#include <thread>
#include <unistd.h>

/* Writes a GetOsVersion request and reads its 8-byte reply; the read's result, the count it
 * reported in *got and the time it took in *elapsedMs. */
static bool AskOsVersion(uint32_t *got, uint64_t *elapsedMs)
{
    std::vector<uint8_t> request;
    AppendGetOsVersion(&request);
    EXPECT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    uint8_t reply[8];
    *got = 0xFFFFFFFFu;
    uint64_t start = NowMs();
    bool ok = TransportRead(reply, sizeof reply, 0, got);
    *elapsedMs = NowMs() - start;
    return ok;
}

TEST(TransportStackFaults, MissingReplyTimesOutWithoutHanging)
{
    BOOT_STACK_OR_SKIP(1, "noreply:GetOsVersion:1");
    ASSERT_TRUE(OpenTransport());
    uint32_t got = 0;
    uint64_t elapsed = 0;
    EXPECT_FALSE(AskOsVersion(&got, &elapsed));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 1990u); /* the 2000 ms time-out, less clock rounding */
    EXPECT_LT(elapsed, 10000u);

    /* The timed-out read was cancelled and has ended: both pipes close at once. */
    uint64_t start = NowMs();
    CloseTransport();
    EXPECT_LT(NowMs() - start, 5000u);
    EXPECT_EQ(ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
    EXPECT_TRUE(StackUnitState(1).Started);
}

/* A reply that comes half a second after the read gave up: it must not land in the buffer of
 * the read that gave up, after that read returned, but in the next read that asks for it.
 * The pipe reset after the time-out does not lose it: the unit was still working on it. */
TEST(TransportStackFaults, LateReplyAfterATimeOutGoesToTheNextRead)
{
    BOOT_STACK_OR_SKIP(1, "delay:GetOsVersion:1:2500");
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> request;
    AppendGetOsVersion(&request);
    ASSERT_TRUE(TransportWrite(request.data(), (uint32_t)request.size(), NULL));
    uint8_t late[8];
    memset(late, 0xA5, sizeof late);
    uint32_t got = 0xFFFFFFFFu;
    EXPECT_FALSE(TransportRead(late, sizeof late, 0, &got));
    EXPECT_EQ(got, 0u);
    usleep(1000 * 1000); /* the reply comes meanwhile */
    EXPECT_EQ(std::vector<uint8_t>(late, late + 8), std::vector<uint8_t>(8, 0xA5));

    uint8_t reply[8];
    memset(reply, 0, sizeof reply);
    EXPECT_TRUE(TransportRead(reply, sizeof reply, 0, &got));
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(reply[0], 0); /* GetOsVersion's code, then the version word */
    EXPECT_EQ(reply[4] | reply[5] << 8 | reply[6] << 16 | (uint32_t)reply[7] << 24, STACK_OS_VERSION);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
}

TEST(TransportStackFaults, ReplyOneByteShortFails)
{
    BOOT_STACK_OR_SKIP(1, "short:GetOsVersion:1");
    ASSERT_TRUE(OpenTransport());
    uint32_t got = 0;
    uint64_t elapsed = 0;
    EXPECT_FALSE(AskOsVersion(&got, &elapsed));
    EXPECT_LT(got, 8u);
    EXPECT_LT(elapsed, 1900u) << "the short reply should fail at once, not by time-out";
    /* The record was whole, just short: the next exchange is in step. */
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
}

TEST(TransportStackFaults, ReplyOneByteLongFails)
{
    BOOT_STACK_OR_SKIP(1, "long:GetOsVersion:1");
    ASSERT_TRUE(OpenTransport());
    uint32_t got = 0;
    uint64_t elapsed = 0;
    EXPECT_FALSE(AskOsVersion(&got, &elapsed));
    EXPECT_LT(elapsed, 1900u) << "the long reply should fail at once, not by time-out";
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
}

TEST(TransportStackFaults, UnplugInTheMiddleOfAWriteFails)
{
    BOOT_STACK_OR_SKIP(1, "");
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> stream;
    uint8_t data[512];
    for (uint32_t n = 0; n < 16; n++) {
        RecordPattern(n, data);
        AppendWriteFlash(&stream, n * 512, data);
    }
    /* The unit goes after 5000 bytes: inside the second 4096-byte chunk. */
    ASSERT_TRUE(HostUsbInjectFault(StackBus(), 1, SimFaultUnplug, 5000));
    uint32_t count = 0;
    uint64_t start = NowMs();
    EXPECT_FALSE(TransportWrite(stream.data(), (uint32_t)stream.size(), &count));
    EXPECT_EQ(count, 2u * 4096u); /* the failed chunk counts; none after it was tried */
    EXPECT_LT(NowMs() - start, 10000u);

    uint8_t reply[5];
    uint32_t got = 0;
    start = NowMs();
    EXPECT_FALSE(TransportRead(reply, sizeof reply, 0, &got));
    EXPECT_LT(NowMs() - start, 10000u);

    CloseTransport();
    EXPECT_TRUE(HostUsbWaitGone(StackBus(), 1, 10000));
    EXPECT_FALSE(OpenTransport());
}

TEST(TransportStackFaults, UnplugWhileAReadWaitsFails)
{
    BOOT_STACK_OR_SKIP(1, "noreply:GetOsVersion:1");
    ASSERT_TRUE(OpenTransport());
    /* The reply never comes; the unit is pulled while the read waits for it. */
    std::thread unplug([] {
        usleep(300 * 1000);
        HostUsbUnplug(StackBus(), 1);
    });
    uint32_t got = 0;
    uint64_t elapsed = 0;
    EXPECT_FALSE(AskOsVersion(&got, &elapsed));
    unplug.join();
    EXPECT_LT(elapsed, 1900u) << "the unplug, not the time-out, should end the read";
    EXPECT_FALSE(TransportWrite("\0\0\0\0", 4, NULL));
    CloseTransport();
    EXPECT_TRUE(HostUsbWaitGone(StackBus(), 1, 10000));
}

static const GUID FaultsUnitClass = MURVO_INTERFACE_GUID_INIT;

TEST(TransportStackFaults, AReadRefusedAtOnceLeavesItsOverlappedRecordAlone)
{
    BOOT_STACK_OR_SKIP(1, "");
    char path[DEVICE_PATH_CHARS];
    ASSERT_TRUE(ProbeUnit(&FaultsUnitClass, path));
    char pipePath[DEVICE_PATH_CHARS + 8];
    snprintf(pipePath, sizeof pipePath, "%s\\PIPE00", path);
    HANDLE pipe = CreateFileA(pipePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    /* Pulled while the handle stays open: the driver refuses new reads at once. */
    HostUsbUnplug(StackBus(), 1);
    HostDeviceNode *node = StackNode(1);
    for (uint64_t start = NowMs(); HostPnpGetState(node) != HostDeviceSurpriseRemoved && NowMs() - start < 5000;) {
        usleep(1000);
    }
    ASSERT_EQ(HostPnpGetState(node), HostDeviceSurpriseRemoved);

    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    uint8_t reply[8];
    DWORD got = 0xFFFF;
    EXPECT_FALSE(ReadFile(pipe, reply, sizeof reply, &got, &overlapped));
    DWORD error = GetLastError();
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED) << "STATUS_DELETE_PENDING, as RtlNtStatusToDosError maps it";
    /* The I/O manager reported nothing: the record keeps what the call set at issue. */
    EXPECT_EQ(overlapped.Internal, (ULONG_PTR)0x103 /* STATUS_PENDING */);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), (DWORD)WAIT_TIMEOUT) << "the event was reset at issue";
    CloseHandle(overlapped.hEvent);
    CloseHandle(pipe);
    EXPECT_TRUE(HostUsbWaitGone(StackBus(), 1, 10000));
}
