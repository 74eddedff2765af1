/*
 * bus_packets_test.cpp - packet semantics of a bulk IN endpoint, on its own.
 */
#include <gtest/gtest.h>

#include <vector>

#include "host/usb/bus_packets.h"

namespace {

struct InEndpoint {
    BusInQueue Queue = {};
    ~InEndpoint() { BusInClear(&Queue); }

    void Record(uint32_t length, uint8_t first = 0, uint64_t readyAt = 0, BusSegmentFault fault = BusSegmentNormal)
    {
        std::vector<uint8_t> bytes(length);
        for (uint32_t i = 0; i < length; i++) {
            bytes[i] = (uint8_t)(first + i);
        }
        ASSERT_TRUE(BusInAppend(&Queue, bytes.data(), length, readyAt, fault));
    }

    /* One step of a transfer of length bytes into buffer, continuing from *moved. */
    USBD_STATUS Step(std::vector<uint8_t> &buffer, uint32_t length, bool shortOk, uint32_t *moved, uint64_t now = 0,
                     uint16_t maxPacket = 64)
    {
        buffer.resize(length + 1, 0xEE);
        BusInStep step;
        step.Moved = *moved;
        BusInTransferStep(&Queue, buffer.data(), length, maxPacket, shortOk, now, &step);
        *moved = step.Moved;
        LastWake = step.WakeAtUs;
        return step.Status;
    }
    uint64_t LastWake = 0;
};

TEST(BusPackets, TransfersOfEachSizeClassAgainstARecordOfTheSameSize)
{
    for (uint32_t size : {1u, 63u, 64u, 65u, 4096u, 4097u}) {
        InEndpoint ep;
        ep.Record(size, 7);
        std::vector<uint8_t> buffer;
        uint32_t moved = 0;
        EXPECT_EQ(ep.Step(buffer, size, false, &moved), USBD_STATUS_SUCCESS) << size;
        EXPECT_EQ(moved, size);
        EXPECT_EQ(buffer[size - 1], (uint8_t)(7 + size - 1));
        EXPECT_EQ(buffer[size], 0xEE) << "no byte past the transfer";
        EXPECT_EQ(BusInPendingBytes(&ep.Queue), 0u);
    }
}

TEST(BusPackets, ZeroLengthTransferTakesNothing)
{
    InEndpoint ep;
    ep.Record(10);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 0, false, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(BusInPendingBytes(&ep.Queue), 10u);
}

TEST(BusPackets, AShortPacketEndsATransferAndUnderrunsWithoutShortOk)
{
    InEndpoint ep;
    ep.Record(70);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 512, true, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 70u);

    InEndpoint strict;
    strict.Record(5);
    moved = 0;
    EXPECT_EQ(strict.Step(buffer, 64, false, &moved), USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(moved, 5u) << "the bytes that came are reported";
}

TEST(BusPackets, MoreDataThanRoomIsBabbleAndLosesTheRecord)
{
    InEndpoint ep;
    ep.Record(6);
    ep.Record(4, 100);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 5, true, &moved), USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(BusInPendingBytes(&ep.Queue), 4u) << "only the babbling record is lost";

    InEndpoint later;
    later.Record(70);
    moved = 0;
    EXPECT_EQ(later.Step(buffer, 65, true, &moved), USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(moved, 64u) << "the full packet before the babble arrived";
}

TEST(BusPackets, FullPacketsWaitForMoreAndNeverSpanRecords)
{
    InEndpoint ep;
    ep.Record(64, 0);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 100, true, &moved), USBD_STATUS_PENDING) << "no zero-length packet after 64 bytes";
    EXPECT_EQ(moved, 64u);
    ep.Record(10, 200);
    ep.Record(10, 50);
    EXPECT_EQ(ep.Step(buffer, 100, true, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 74u) << "the second record's short packet ended it";
    EXPECT_EQ(buffer[64], 200);
    EXPECT_EQ(BusInPendingBytes(&ep.Queue), 10u);
}

TEST(BusPackets, HighSpeedPacketsOf512)
{
    InEndpoint ep;
    ep.Record(1000);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 512, false, &moved, 0, 512), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 512u);
    moved = 0;
    EXPECT_EQ(ep.Step(buffer, 600, true, &moved, 0, 512), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 488u);
}

TEST(BusPackets, HeldBackRecordsAndFaultyRecords)
{
    InEndpoint ep;
    ep.Record(8, 0, 5000);
    std::vector<uint8_t> buffer;
    uint32_t moved = 0;
    EXPECT_EQ(ep.Step(buffer, 8, true, &moved, 4999), USBD_STATUS_PENDING);
    EXPECT_EQ(ep.LastWake, 5000u);
    EXPECT_EQ(ep.Step(buffer, 8, true, &moved, 5000), USBD_STATUS_SUCCESS);

    InEndpoint faulty;
    faulty.Record(8, 0, 0, BusSegmentStall);
    faulty.Record(8, 0, 0, BusSegmentXferError);
    faulty.Record(3, 9);
    moved = 0;
    EXPECT_EQ(faulty.Step(buffer, 8, true, &moved), USBD_STATUS_STALL_PID);
    EXPECT_EQ(faulty.Step(buffer, 8, true, &moved), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(faulty.Step(buffer, 8, true, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(buffer[0], 9);
}

TEST(BusPackets, PacketCounts)
{
    EXPECT_EQ(BusPacketCount(0, 64), 1u);
    EXPECT_EQ(BusPacketCount(64, 64), 1u);
    EXPECT_EQ(BusPacketCount(65, 64), 2u);
    EXPECT_EQ(BusPacketCount(4097, 512), 9u);
}

} // namespace
