/*
 * transfers_test.cpp - data through the whole stack: writes around the 4096-byte chunk
 * size reach the firmware byte for byte, and framed writes go through.
 */
#include "transport_stack/stack_machine.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

/* One block of 32 KiB holds every record written here. */
#define RECORDS 32u

/* Sends the records below through the open transport and checks what the unit made of them. */
static void CheckWritesAroundTheChunkSize(void)
{

    /* An unlock and 32 flash records, 16648 bytes, cut into writes of 0, 4096, 4097 and
     * 8193 bytes and the rest: records straddle the writes and the chunks inside them. */
    std::vector<uint8_t> stream;
    AppendBlockCommand(&stream, SimUnlockBlock, 0);
    uint8_t data[512];
    for (uint32_t n = 0; n < RECORDS; n++) {
        RecordPattern(n, data);
        AppendWriteFlash(&stream, n * 512, data);
    }
    const uint32_t pieces[] = {0, 4096, 4097, 2 * 4096 + 1};
    uint32_t offset = 0;
    for (uint32_t piece : pieces) {
        uint32_t count = 0xFFFFFFFFu;
        EXPECT_TRUE(TransportWrite(stream.data() + offset, piece, &count)) << piece;
        EXPECT_EQ(count, piece);
        offset += piece;
    }
    uint32_t rest = (uint32_t)stream.size() - offset;
    ASSERT_GT(rest, 0u);
    EXPECT_TRUE(TransportWrite(stream.data() + offset, rest, NULL));

    /* One 5-byte reply per record, each status 0. */
    for (uint32_t n = 0; n < RECORDS + 1; n++) {
        uint8_t reply[5];
        memset(reply, 0xEE, sizeof reply);
        uint32_t got = 0;
        ASSERT_TRUE(TransportRead(reply, sizeof reply, 0, &got)) << "reply " << n;
        EXPECT_EQ(got, 5u);
        EXPECT_EQ(reply[4], SimStatusOk) << "reply " << n;
    }
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimUnlockBlock), 1u);
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimWriteFlash), RECORDS);

    const uint8_t *flash = SimUnitFlash(StackSim(1));
    for (uint32_t n = 0; n < RECORDS; n++) {
        RecordPattern(n, data);
        EXPECT_EQ(memcmp(flash + n * 512, data, 512), 0) << "record " << n;
    }
    EXPECT_EQ(flash[RECORDS * 512], 0xFF); /* nothing beyond the last record */
}

TEST(TransportStackTransfer, WritesAroundTheChunkSizeArriveIntact)
{
    BOOT_STACK_OR_SKIP(1, "", 4);
    ASSERT_TRUE(OpenTransport());
    CheckWritesAroundTheChunkSize();
    CloseTransport();
}

/* The same at high speed (512-byte packets) with the timing model of bus and flash on, so
 * that replies are still on their way while later writes go out. */
TEST(TransportStackTransfer, WritesAroundTheChunkSizeArriveIntactAtHighSpeedWithBusTiming)
{
    setenv("MURVO_SIM_SPEED", "high", 1);
    setenv("MURVO_SIM_TIMING", "on", 1);
    BOOT_STACK_OR_SKIP(1, "", 4);
    ASSERT_TRUE(OpenTransport());
    CheckWritesAroundTheChunkSize();
    CloseTransport();
}

TEST(TransportStackTransfer, ZeroLengthWriteSendsNothing)
{
    BOOT_STACK_OR_SKIP(1, "");
    ASSERT_TRUE(OpenTransport());
    uint32_t before = StackUnitState(1).Transfers;
    uint32_t count = 99;
    uint8_t unused = 0;
    EXPECT_TRUE(TransportWrite(&unused, 0, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(StackUnitState(1).Transfers, before);
    /* The pipe is still in step: the next command is the first the unit sees. */
    EXPECT_EQ(RoundTripOsVersion(), STACK_OS_VERSION);
    EXPECT_EQ(SimUnitCommandCount(StackSim(1), SimGetOsVersion), 1u);
    CloseTransport();
}

TEST(TransportStackTransfer, FramedWritesGoThrough)
{
    BOOT_STACK_OR_SKIP(1, "");
    ASSERT_TRUE(OpenTransport());
    std::vector<uint8_t> data(256 * 62 + 1);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (uint8_t)(i * 7);
    }

    uint32_t count = 0;
    EXPECT_TRUE(WriteFramed(data.data(), 62, &count));
    EXPECT_EQ(count, 62u);
    EXPECT_TRUE(WriteFramed(data.data(), 256 * 62, &count)); /* exactly one full staging buffer */
    EXPECT_EQ(count, 256u * 62u);
    EXPECT_TRUE(WriteFramed(data.data(), 256 * 62 + 1, &count)); /* a full buffer and one packet */
    EXPECT_EQ(count, 256u * 62u + 1u);
    EXPECT_TRUE(WriteFramed(data.data(), 0, &count));
    EXPECT_EQ(count, 0u);
    /* The firmware could not make sense of the packets, but nothing broke on the way. */
    EXPECT_TRUE(StackUnitState(1).Started);
    EXPECT_EQ(OpenFilesSettled(1, 2), 2u);
    CloseTransport();
    EXPECT_EQ(OpenFilesSettled(1, 0), 0u);
}
