/*
 * sim_threads_test.cpp - one unit driven from two threads at once, as a bus stand-in may do.
 */
#include "unitsim/sim_test_util.h"

#include <atomic>
#include <thread>

namespace {

TEST(Threads, RequestsAndReplyTakingOnDifferentThreadsLoseNoByte)
{
    SimUnit *unit = CreateUnit(SmallConfig());
    const int requests = 2000;
    std::atomic<bool> sent{false};

    std::thread sender([&] {
        Bytes version = MakeRequest(SimGetOsVersion);
        Bytes checksum = MakeRequest(SimGetChecksum, 0x00100000);
        Put32(checksum, 8, 0x200);
        for (int i = 0; i < requests; i++) {
            const Bytes &request = i % 2 == 0 ? version : checksum;
            SimUnitReceive(unit, request.data(), request.size());
        }
        sent = true;
    });

    Bytes replies;
    uint8_t buffer[64];
    while (!sent || SimUnitReplyPending(unit) > 0) {
        size_t count = SimUnitTakeReply(unit, buffer, sizeof buffer);
        replies.insert(replies.end(), buffer, buffer + count);
    }
    sender.join();

    ASSERT_EQ(replies.size(), (size_t)(requests / 2) * (8 + 6));
    for (size_t at = 0; at < replies.size(); at += 14) {
        ASSERT_EQ(Get16(replies, at), SimGetOsVersion) << at;
        ASSERT_EQ(Get16(replies, at + 8), SimGetChecksum) << at;
        ASSERT_EQ(Get16(replies, at + 12), (uint16_t)(0x200 * 0xFF)) << at;
    }
    EXPECT_EQ(SimUnitCommandCount(unit, SimGetChecksum), (uint32_t)requests / 2);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

} // namespace
