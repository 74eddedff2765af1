/*
 * sim_firmware_test.cpp - the unit's commands, driven by request bytes as the tool sends them.
 */
#include "unitsim/sim_test_util.h"

namespace {

struct Firmware : ::testing::Test {
    SimUnit *Unit = nullptr;
    void SetUp() override { Unit = CreateUnit(SmallConfig()); ASSERT_NE(Unit, nullptr); }
    void TearDown() override { EXPECT_TRUE(SimUnitDestroy(Unit)); }

    const uint8_t *Flash() { return SimUnitFlash(Unit); }
};

Bytes Filled(uint8_t value) { return Bytes(SIM_RECORD_SIZE, value); }

TEST(CommandTable, NamesAndLengthsOfEveryCode)
{
    static const char *const names[] = {"GetOsVersion", "GetFlashInfo", "EraseBlock", "UnlockBlock", "LockBlock",
                                        "WriteFlash", "ReadRecord", "WriteRecord", "GetChecksum", "DisplayText"};
    for (unsigned code = 0; code < SIM_COMMAND_COUNT; code++) {
        EXPECT_STREQ(SimCommandName(code), names[code]);
        EXPECT_EQ(SimCommandFromName(names[code]), (int)code);
        EXPECT_EQ(SimCommandRequestLength(code), RequestLengths[code]);
        EXPECT_EQ(SimCommandReplyLength(code), ReplyLengths[code]);
    }
    EXPECT_EQ(SimCommandName(10), nullptr);
    EXPECT_EQ(SimCommandRequestLength(0xFFFF), 0u);
    EXPECT_EQ(SimCommandFromName("getosversion"), -1);
    EXPECT_EQ(SimCommandFromName(""), -1);
}

TEST_F(Firmware, EveryCommandAnswersWithItsReplyLengthAndEchoesTheCode)
{
    for (unsigned code = 0; code < SIM_COMMAND_COUNT; code++) {
        Bytes reply = Transact(Unit, MakeRequest(code));
        ASSERT_EQ(reply.size(), ReplyLengths[code]) << SimCommandName(code);
        EXPECT_EQ(Get16(reply, 0), code);
        EXPECT_EQ(reply[2], 0);
        EXPECT_EQ(reply[3], 0);
        EXPECT_EQ(SimUnitCommandCount(Unit, code), 1u);
    }
}

TEST(FirmwareInfo, VersionWordAndFlashInfoAtTheirOffsets)
{
    SimConfig config = SmallConfig();
    config.OsVersion = 0x81020304;
    config.FlashId = 0xA1B2C3D4;
    config.FlashAddress = 0x12345600;
    SimUnit *unit = CreateUnit(config);

    Bytes version = Transact(unit, MakeRequest(SimGetOsVersion));
    ASSERT_EQ(version.size(), 8u);
    EXPECT_EQ(Get32(version, 4), 0x81020304u);

    Bytes info = Transact(unit, MakeRequest(SimGetFlashInfo));
    ASSERT_EQ(info.size(), 20u);
    EXPECT_EQ(Get32(info, 4), 0x12345600u);
    EXPECT_EQ(Get32(info, 8), 0x10000u);
    EXPECT_EQ(Get32(info, 12), 8u);
    EXPECT_EQ(Get32(info, 16), 0xA1B2C3D4u);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST_F(Firmware, PowersOnErasedWithEveryBlockLocked)
{
    for (uint32_t block = 0; block < 8; block++)
        EXPECT_TRUE(SimUnitBlockLocked(Unit, block));
    for (uint32_t i = 0; i < 0x10000; i++)
        ASSERT_EQ(Flash()[i], 0xFF) << i;
    EXPECT_EQ(Erase(Unit, 3), SimStatusBlockLocked);
    EXPECT_EQ(Write(Unit, 0x6000, Filled(0)), SimStatusWriteLocked);
    EXPECT_EQ(Flash()[0x6000], 0xFF);
}

TEST_F(Firmware, BlockNumbersOutOfRangeAreRefused)
{
    for (uint32_t block : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Erase(Unit, block), SimStatusBadBlock) << block;
        EXPECT_EQ(Unlock(Unit, block), SimStatusBadBlock) << block;
        EXPECT_EQ(Lock(Unit, block), SimStatusBadBlock) << block;
    }
    EXPECT_EQ(Unlock(Unit, 7), SimStatusOk);
    EXPECT_EQ(Erase(Unit, 7), SimStatusOk);
}

TEST_F(Firmware, UnlockEraseWriteLockCycle)
{
    ASSERT_EQ(Unlock(Unit, 1), SimStatusOk);
    EXPECT_FALSE(SimUnitBlockLocked(Unit, 1));
    EXPECT_TRUE(SimUnitBlockLocked(Unit, 0));
    EXPECT_EQ(Unlock(Unit, 1), SimStatusOk); /* twice is fine */

    Bytes data(SIM_RECORD_SIZE);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7);
    EXPECT_EQ(Write(Unit, 0x2000, data), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x3E00, data), SimStatusOk); /* last record of block 1 */
    EXPECT_EQ(memcmp(Flash() + 0x2000, data.data(), data.size()), 0);
    EXPECT_EQ(memcmp(Flash() + 0x3E00, data.data(), data.size()), 0);
    EXPECT_EQ(Write(Unit, 0x4000, data), SimStatusWriteLocked); /* block 2 still locked */
    EXPECT_EQ(Write(Unit, 0x1E00, data), SimStatusWriteLocked); /* block 0 too */

    ASSERT_EQ(Lock(Unit, 1), SimStatusOk);
    EXPECT_EQ(Erase(Unit, 1), SimStatusBlockLocked);
    EXPECT_EQ(Flash()[0x2001], 7);
    EXPECT_EQ(Unlock(Unit, 1), SimStatusOk);
    EXPECT_EQ(Erase(Unit, 1), SimStatusOk);
    for (uint32_t i = 0x2000; i < 0x4000; i++)
        ASSERT_EQ(Flash()[i], 0xFF) << i;
}

TEST_F(Firmware, EraseTouchesOnlyItsOwnBlock)
{
    for (uint32_t block = 0; block < 3; block++)
        ASSERT_EQ(Unlock(Unit, block), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x1E00, Filled(0x11)), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x2000, Filled(0x22)), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x3E00, Filled(0x33)), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x4000, Filled(0x44)), SimStatusOk);

    ASSERT_EQ(Erase(Unit, 1), SimStatusOk);
    EXPECT_EQ(Flash()[0x1FFF], 0x11);
    EXPECT_EQ(Flash()[0x2000], 0xFF);
    EXPECT_EQ(Flash()[0x3FFF], 0xFF);
    EXPECT_EQ(Flash()[0x4000], 0x44);
}

TEST_F(Firmware, ProgrammingOnlyClearsBits)
{
    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x200, Filled(0xF0)), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x200, Filled(0x30)), SimStatusOk); /* clears two more bits */
    EXPECT_EQ(Flash()[0x200], 0x30);

    Bytes sets = Filled(0x30);
    sets[511] = 0x38; /* one bit that would go from 0 to 1 */
    EXPECT_EQ(Write(Unit, 0x200, sets), SimStatusNotErased);
    EXPECT_EQ(Flash()[0x200 + 511], 0x30);
    EXPECT_EQ(Write(Unit, 0x200, Filled(0xFF)), SimStatusNotErased);

    ASSERT_EQ(Erase(Unit, 0), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x200, sets), SimStatusOk);
    EXPECT_EQ(Flash()[0x200 + 511], 0x38);
}

TEST_F(Firmware, WriteOffsetsMisalignedOrOutOfRange)
{
    for (uint32_t block = 0; block < 8; block++)
        ASSERT_EQ(Unlock(Unit, block), SimStatusOk);
    EXPECT_EQ(Write(Unit, 1, Filled(0)), SimStatusMisaligned);
    EXPECT_EQ(Write(Unit, 0x100, Filled(0)), SimStatusMisaligned);
    EXPECT_EQ(Write(Unit, 0xFFFF, Filled(0)), SimStatusMisaligned);
    EXPECT_EQ(Write(Unit, 0x10000, Filled(0)), SimStatusOutOfRange);
    EXPECT_EQ(Write(Unit, 0xFFFFFE00, Filled(0)), SimStatusOutOfRange); /* would wrap in 32 bits */
    EXPECT_EQ(Write(Unit, 0x00100000, Filled(0)), SimStatusOutOfRange); /* an absolute address */
    EXPECT_EQ(Write(Unit, 0xFE00, Filled(0)), SimStatusOk);
    for (uint32_t i = 0; i < 0xFE00; i++)
        ASSERT_EQ(Flash()[i], 0xFF) << i;
}

TEST(FirmwareOddBlocks, RecordStraddlingTwoBlocksNeedsBothUnlocked)
{
    SimConfig config = SmallConfig();
    config.FlashSize = 0x3300;
    config.BlockCount = 3; /* 0x1100 bytes each */
    SimUnit *unit = CreateUnit(config);
    ASSERT_EQ(Unlock(unit, 0), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x1000, Filled(0)), SimStatusWriteLocked); /* 0x1000..0x11FF: blocks 0 and 1 */
    ASSERT_EQ(Unlock(unit, 1), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x1000, Filled(0)), SimStatusOk);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST_F(Firmware, ChecksumOverAbsoluteRanges)
{
    const uint32_t base = 0x00100000;
    /* Erased: 0xFF per byte. */
    EXPECT_EQ(Checksum(Unit, base, 1), 0xFF);
    EXPECT_EQ(Checksum(Unit, base, 0x10000), (uint16_t)(0x10000 * 0xFF));
    EXPECT_EQ(Checksum(Unit, base, 0), 0);

    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    Bytes data(SIM_RECORD_SIZE);
    uint32_t expected = 0;
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (uint8_t)(0xF0 | (i & 0x0F));
        expected += data[i];
    }
    ASSERT_EQ(Write(Unit, 0x400, data), SimStatusOk);
    EXPECT_GT(expected, 0xFFFFu); /* the sum wraps */
    EXPECT_EQ(Checksum(Unit, base + 0x400, 512), (uint16_t)expected);
    EXPECT_EQ(Checksum(Unit, base + 0x401, 2), data[1] + data[2]);
    /* The offset alone is no address of this unit. */
    EXPECT_EQ(Checksum(Unit, 0x400, 512), 0);
}

TEST_F(Firmware, ChecksumCountsOnlyTheFlashPartOfARange)
{
    const uint32_t base = 0x00100000;
    EXPECT_EQ(Checksum(Unit, base - 0x10, 0x11), 0xFF);         /* starts before the flash */
    EXPECT_EQ(Checksum(Unit, base + 0xFFFF, 0x100), 0xFF);      /* runs past its end */
    EXPECT_EQ(Checksum(Unit, 0, 0xFFFFFFFF), (uint16_t)(0x10000 * 0xFF));
    EXPECT_EQ(Checksum(Unit, 0xFFFFFF00, 0x00200000), 0);       /* would wrap to low addresses */
    EXPECT_EQ(Checksum(Unit, base + 0x10000, 0x10), 0);
}

TEST_F(Firmware, DisplayKeepsTheLastTextAndEveryTextInOrder)
{
    Bytes first = MakeRequest(SimDisplayText);
    memcpy(first.data() + 4, "Erasing\x01\n", 9);
    Bytes second = MakeRequest(SimDisplayText);
    memset(second.data() + 4, 'A', 40); /* a full field, no zero byte */

    char text[41];
    SimUnitDisplay(Unit, text);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Transact(Unit, first).size(), 4u);
    SimUnitDisplay(Unit, text);
    EXPECT_STREQ(text, "Erasing\x01\n");
    EXPECT_EQ(Transact(Unit, second).size(), 4u);
    SimUnitDisplay(Unit, text);
    EXPECT_EQ(std::string(text), std::string(40, 'A'));

    uint8_t raw[SIM_DISPLAY_SIZE];
    ASSERT_EQ(SimUnitDisplayCount(Unit), 2u);
    ASSERT_TRUE(SimUnitDisplayAt(Unit, 0, raw));
    EXPECT_EQ(memcmp(raw, first.data() + 4, 40), 0);
    ASSERT_TRUE(SimUnitDisplayAt(Unit, 1, raw));
    EXPECT_EQ(memcmp(raw, second.data() + 4, 40), 0);
    EXPECT_FALSE(SimUnitDisplayAt(Unit, 2, raw));
}

TEST_F(Firmware, WriteRecordProgramsAndReadRecordReadsBack)
{
    Bytes write = MakeRequest(SimWriteRecord, 0x2200);
    for (size_t i = 0; i < SIM_RECORD_SIZE; i++)
        write[8 + i] = (uint8_t)(i ^ 0x5A);
    Put16(write, 520, 0x1234);
    Bytes read = MakeRequest(SimReadRecord, 0x2200);
    Put16(read, 8, 0x1234);

    /* Locked: nothing is written, and the reply (4 bytes) has no room to say so. */
    EXPECT_EQ(Transact(Unit, write).size(), 4u);
    Bytes reply = Transact(Unit, read);
    ASSERT_EQ(reply.size(), 516u);
    EXPECT_EQ(reply[4], 0xFF);

    ASSERT_EQ(Unlock(Unit, 1), SimStatusOk);
    EXPECT_EQ(Transact(Unit, write).size(), 4u);
    reply = Transact(Unit, read);
    ASSERT_EQ(reply.size(), 516u);
    EXPECT_TRUE(std::equal(reply.begin() + 4, reply.end(), write.begin() + 8));

    /* Reading past the end gives 0xFF for the missing bytes. */
    Bytes tail = MakeRequest(SimReadRecord, 0xFF00);
    reply = Transact(Unit, tail);
    ASSERT_EQ(reply.size(), 516u);
    EXPECT_EQ(reply[4 + 0xFF], 0xFF);
    Bytes beyond = MakeRequest(SimReadRecord, 0xFFFFFFFF);
    reply = Transact(Unit, beyond);
    EXPECT_EQ(std::count(reply.begin() + 4, reply.end(), 0xFF), 512);
}

TEST_F(Firmware, RequestsArriveInPiecesOrSeveralAtOnce)
{
    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    Bytes write = MakeRequest(SimWriteFlash, 0x200);
    write[8] = 0x42;
    for (size_t i = 0; i < write.size(); i++) {
        EXPECT_EQ(SimUnitReplyPending(Unit), 0u) << i;
        SimUnitReceive(Unit, &write[i], 1);
    }
    Bytes reply = TakeAll(Unit);
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(reply[4], SimStatusOk);
    EXPECT_EQ(Flash()[0x200], 0x42);

    Bytes two = MakeRequest(SimGetOsVersion);
    Bytes info = MakeRequest(SimGetFlashInfo);
    two.insert(two.end(), info.begin(), info.end());
    reply = Transact(Unit, two);
    ASSERT_EQ(reply.size(), 8u + 20u);
    EXPECT_EQ(Get16(reply, 8), SimGetFlashInfo);

    /* Replies can be taken in pieces too. */
    SimUnitReceive(Unit, info.data(), info.size());
    uint8_t piece[7];
    EXPECT_EQ(SimUnitTakeReply(Unit, piece, sizeof piece), 7u);
    EXPECT_EQ(SimUnitReplyPending(Unit), 13u);
}

TEST_F(Firmware, UnknownCodeDropsTheRestOfItsInputAndAnswersNothing)
{
    Bytes input = {0x0A, 0x00, 0x00, 0x00};
    Bytes version = MakeRequest(SimGetOsVersion);
    input.insert(input.end(), version.begin(), version.end());
    EXPECT_TRUE(Transact(Unit, input).empty());
    EXPECT_EQ(SimUnitCommandCount(Unit, SimGetOsVersion), 0u);

    /* The next input is framed afresh. */
    EXPECT_EQ(Transact(Unit, version).size(), 8u);
    Bytes high = {0x00, 0x01, 0, 0};
    EXPECT_TRUE(Transact(Unit, high).empty());
}

TEST_F(Firmware, PipeResetDropsRepliesAndAPartialRequest)
{
    Bytes version = MakeRequest(SimGetOsVersion);
    SimUnitReceive(Unit, version.data(), version.size());
    Bytes partial = MakeRequest(SimEraseBlock, 0);
    SimUnitReceive(Unit, partial.data(), 5);
    SimUnitResetPipes(Unit);
    EXPECT_EQ(SimUnitReplyPending(Unit), 0u);
    /* Had the partial erase survived, these bytes would complete it. */
    Bytes info = MakeRequest(SimGetFlashInfo);
    Bytes reply = Transact(Unit, info);
    ASSERT_EQ(reply.size(), 20u);
    EXPECT_EQ(SimUnitCommandCount(Unit, SimEraseBlock), 0u);
}

TEST(FirmwareEmpty, AnEmptyFlashAnswersAndRefusesEveryBlock)
{
    SimConfig config = SmallConfig();
    config.FlashSize = 0;
    config.BlockCount = 0;
    SimUnit *unit = CreateUnit(config);
    Bytes info = Transact(unit, MakeRequest(SimGetFlashInfo));
    ASSERT_EQ(info.size(), 20u);
    EXPECT_EQ(Get32(info, 8), 0u);
    EXPECT_EQ(Get32(info, 12), 0u);
    EXPECT_EQ(Unlock(unit, 0), SimStatusBadBlock);
    EXPECT_EQ(Write(unit, 0, Bytes(512, 0)), SimStatusOutOfRange);
    EXPECT_EQ(Checksum(unit, 0, 0xFFFFFFFF), 0);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

} // namespace
