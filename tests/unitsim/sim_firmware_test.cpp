/*
 * sim_firmware_test.cpp - the unit's commands, driven by request bytes as the tool sends them.
 */
#include "unitsim/sim_test_util.h"

namespace {

class SimFirmwareTest : public ::testing::Test {
protected:
    SimUnit *Unit = nullptr;
    void SetUp() override { ASSERT_NE(Unit = CreateUnit(SmallConfig()), nullptr); }
    void TearDown() override { EXPECT_TRUE(SimUnitDestroy(Unit)); }
    const uint8_t *Flash() { return SimUnitFlash(Unit); }
    void UnlockAll()
    {
        for (uint32_t b = 0; b < 8; b++) {
            ASSERT_EQ(Unlock(Unit, b), SimStatusOk);
        }
    }
};

Bytes Filled(uint8_t value) { return Bytes(SIM_RECORD_SIZE, value); }

TEST_F(SimFirmwareTest, EveryCommandAnswersWithItsReplyLengthAndEchoesTheCode)
{
    for (unsigned code = 0; code < SIM_COMMAND_COUNT; code++) {
        Bytes reply = Transact(Unit, MakeRequest(code));
        ASSERT_EQ(reply.size(), ReplyLengths[code]) << SimCommandName(code);
        EXPECT_EQ(Get32(reply, 0), code);
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
    EXPECT_EQ(Get32(Transact(unit, MakeRequest(SimGetOsVersion)), 4), 0x81020304u);
    Bytes info = Transact(unit, MakeRequest(SimGetFlashInfo));
    ASSERT_EQ(info.size(), 20u);
    EXPECT_EQ(Get32(info, 4), 0x12345600u);
    EXPECT_EQ(Get32(info, 8), 0x10000u);
    EXPECT_EQ(Get32(info, 12), 8u);
    EXPECT_EQ(Get32(info, 16), 0xA1B2C3D4u);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST_F(SimFirmwareTest, PowersOnErasedAndLockedAndRefusesBadBlockNumbers)
{
    for (uint32_t i = 0; i < 0x10000; i++) {
        ASSERT_EQ(Flash()[i], 0xFF) << i;
    }
    EXPECT_TRUE(SimUnitBlockLocked(Unit, 3));
    EXPECT_EQ(Erase(Unit, 3), SimStatusBlockLocked);
    EXPECT_EQ(Write(Unit, 0x6000, Filled(0)), SimStatusWriteLocked);
    EXPECT_EQ(Flash()[0x6000], 0xFF);
    for (uint32_t block : {8u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Erase(Unit, block), SimStatusBadBlock);
        EXPECT_EQ(Unlock(Unit, block), SimStatusBadBlock);
        EXPECT_EQ(Lock(Unit, block), SimStatusBadBlock);
    }
}

TEST_F(SimFirmwareTest, UnlockWriteLockAndEraseOneBlock)
{
    ASSERT_EQ(Unlock(Unit, 1), SimStatusOk);
    EXPECT_EQ(Unlock(Unit, 1), SimStatusOk); /* twice is fine */
    EXPECT_TRUE(SimUnitBlockLocked(Unit, 0));
    EXPECT_EQ(Write(Unit, 0x2000, Filled(0x22)), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x3E00, Filled(0x33)), SimStatusOk); /* last record of block 1 */
    EXPECT_EQ(Write(Unit, 0x4000, Filled(0x44)), SimStatusWriteLocked);
    EXPECT_EQ(Write(Unit, 0x1E00, Filled(0x11)), SimStatusWriteLocked);
    EXPECT_EQ(Flash()[0x3FFF], 0x33);

    ASSERT_EQ(Lock(Unit, 1), SimStatusOk);
    EXPECT_EQ(Erase(Unit, 1), SimStatusBlockLocked);
    EXPECT_EQ(Flash()[0x2000], 0x22);
    UnlockAll();
    ASSERT_EQ(Write(Unit, 0x1E00, Filled(0x11)), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x4000, Filled(0x44)), SimStatusOk);
    EXPECT_EQ(Erase(Unit, 1), SimStatusOk);
    for (uint32_t i = 0x2000; i < 0x4000; i++) {
        ASSERT_EQ(Flash()[i], 0xFF) << i;
    }
    EXPECT_EQ(Flash()[0x1FFF], 0x11); /* the neighbours keep their bytes */
    EXPECT_EQ(Flash()[0x4000], 0x44);
}

TEST_F(SimFirmwareTest, ProgrammingOnlyClearsBits)
{
    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    ASSERT_EQ(Write(Unit, 0x200, Filled(0xF0)), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x200, Filled(0x30)), SimStatusOk); /* clears two more bits */
    Bytes sets = Filled(0x30);
    sets[511] = 0x38; /* one bit from 0 to 1: the whole record is refused */
    EXPECT_EQ(Write(Unit, 0x200, sets), SimStatusNotErased);
    EXPECT_EQ(Flash()[0x200], 0x30);
    EXPECT_EQ(Flash()[0x200 + 511], 0x30);
    ASSERT_EQ(Erase(Unit, 0), SimStatusOk);
    EXPECT_EQ(Write(Unit, 0x200, sets), SimStatusOk);
    EXPECT_EQ(Flash()[0x200 + 511], 0x38);
}

TEST_F(SimFirmwareTest, WriteOffsetsMisalignedOrOutOfRange)
{
    UnlockAll();
    EXPECT_EQ(Write(Unit, 1, Filled(0)), SimStatusMisaligned);
    EXPECT_EQ(Write(Unit, 0x100, Filled(0)), SimStatusMisaligned);
    EXPECT_EQ(Write(Unit, 0x10000, Filled(0)), SimStatusOutOfRange);
    EXPECT_EQ(Write(Unit, 0xFFFFFE00, Filled(0)), SimStatusOutOfRange); /* would wrap in 32 bits */
    EXPECT_EQ(Write(Unit, 0x00100000, Filled(0)), SimStatusOutOfRange); /* an address, not an offset */
    for (uint32_t i = 0; i < 0x10000; i++) {
        ASSERT_EQ(Flash()[i], 0xFF) << i;
    }
    EXPECT_EQ(Write(Unit, 0xFE00, Filled(0)), SimStatusOk);
}

TEST(FirmwareLayouts, StraddlingRecordsAndAnEmptyFlash)
{
    SimConfig config = SmallConfig();
    config.FlashSize = 0x3300;
    config.BlockCount = 3; /* 0x1100 bytes each: the record at 0x1000 spans blocks 0 and 1 */
    SimUnit *unit = CreateUnit(config);
    ASSERT_EQ(Unlock(unit, 0), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x1000, Filled(0)), SimStatusWriteLocked);
    ASSERT_EQ(Unlock(unit, 1), SimStatusOk);
    EXPECT_EQ(Write(unit, 0x1000, Filled(0)), SimStatusOk);
    EXPECT_TRUE(SimUnitDestroy(unit));

    config.FlashSize = 0;
    config.BlockCount = 0;
    unit = CreateUnit(config);
    EXPECT_EQ(Get32(Transact(unit, MakeRequest(SimGetFlashInfo)), 8), 0u);
    EXPECT_EQ(Unlock(unit, 0), SimStatusBadBlock);
    EXPECT_EQ(Write(unit, 0, Filled(0)), SimStatusOutOfRange);
    EXPECT_EQ(Checksum(unit, 0, 0xFFFFFFFF), 0);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST_F(SimFirmwareTest, ChecksumOverAbsoluteRangesCountsOnlyTheFlash)
{
    const uint32_t base = 0x00100000;
    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    Bytes data(SIM_RECORD_SIZE);
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i++) {
        sum += data[i] = (uint8_t)(0xF0 | (i & 0x0F));
    }
    ASSERT_GT(sum, 0xFFFFu); /* the 16-bit sum wraps */
    ASSERT_EQ(Write(Unit, 0x400, data), SimStatusOk);

    EXPECT_EQ(Checksum(Unit, base + 0x400, 512), (uint16_t)sum);
    EXPECT_EQ(Checksum(Unit, base + 0x401, 2), data[1] + data[2]);
    EXPECT_EQ(Checksum(Unit, base, 0), 0);
    EXPECT_EQ(Checksum(Unit, 0x400, 512), 0);              /* an offset is no address of this unit */
    EXPECT_EQ(Checksum(Unit, base - 0x10, 0x11), 0xFF);    /* starts before the flash */
    EXPECT_EQ(Checksum(Unit, base + 0xFFFF, 0x100), 0xFF); /* runs past its end */
    EXPECT_EQ(Checksum(Unit, 0, 0xFFFFFFFF), (uint16_t)(sum + (0x10000 - 512) * 0xFF));
    EXPECT_EQ(Checksum(Unit, 0xFFFFFF00, 0x00200000), 0); /* must not wrap to low addresses */
}

TEST_F(SimFirmwareTest, DisplayKeepsTheLastTextAndEveryTextInOrder)
{
    Bytes first = MakeRequest(SimDisplayText);
    memcpy(first.data() + 4, "Erasing\x01\n", 9);
    Bytes second = MakeRequest(SimDisplayText);
    memset(second.data() + 4, 'A', 40); /* a full field, no zero byte */
    char text[41];
    SimUnitDisplay(Unit, text);
    EXPECT_STREQ(text, "");
    Transact(Unit, first);
    SimUnitDisplay(Unit, text);
    EXPECT_STREQ(text, "Erasing\x01\n");
    Transact(Unit, second);
    SimUnitDisplay(Unit, text);
    EXPECT_EQ(std::string(text), std::string(40, 'A'));

    uint8_t raw[SIM_DISPLAY_SIZE];
    ASSERT_EQ(SimUnitDisplayCount(Unit), 2u);
    ASSERT_TRUE(SimUnitDisplayAt(Unit, 0, raw));
    EXPECT_EQ(memcmp(raw, first.data() + 4, 40), 0);
    EXPECT_FALSE(SimUnitDisplayAt(Unit, 2, raw));
}

TEST_F(SimFirmwareTest, WriteRecordProgramsSilentlyAndReadRecordReadsBack)
{
    Bytes write = MakeRequest(SimWriteRecord, 0x2200);
    for (size_t i = 0; i < SIM_RECORD_SIZE; i++) {
        write[8 + i] = (uint8_t)(i ^ 0x5A);
    }
    Bytes read = MakeRequest(SimReadRecord, 0x2200);

    EXPECT_EQ(Transact(Unit, write).size(), 4u); /* locked: refused, with no status to say so */
    EXPECT_EQ(Transact(Unit, read)[4], 0xFF);
    ASSERT_EQ(Unlock(Unit, 1), SimStatusOk);
    Transact(Unit, write);
    Bytes reply = Transact(Unit, read);
    ASSERT_EQ(reply.size(), 516u);
    EXPECT_TRUE(std::equal(reply.begin() + 4, reply.end(), write.begin() + 8));

    reply = Transact(Unit, MakeRequest(SimReadRecord, 0xFF00)); /* half past the end */
    EXPECT_EQ(reply[4 + 0xFF], 0xFF);
    reply = Transact(Unit, MakeRequest(SimReadRecord, 0xFFFFFFFF));
    EXPECT_EQ(std::count(reply.begin() + 4, reply.end(), 0xFF), 512);
}

TEST_F(SimFirmwareTest, RequestsArriveInPiecesOrSeveralAtOnce)
{
    ASSERT_EQ(Unlock(Unit, 0), SimStatusOk);
    Bytes write = MakeRequest(SimWriteFlash, 0x200);
    write[8] = 0x42;
    for (size_t i = 0; i < write.size(); i++) {
        EXPECT_EQ(SimUnitReplyPending(Unit), 0u) << i;
        SimUnitReceive(Unit, &write[i], 1);
    }
    EXPECT_EQ(TakeAll(Unit), Bytes({5, 0, 0, 0, 0}));
    EXPECT_EQ(Flash()[0x200], 0x42);

    Bytes two = MakeRequest(SimGetOsVersion);
    Bytes info = MakeRequest(SimGetFlashInfo);
    two.insert(two.end(), info.begin(), info.end());
    Bytes reply = Transact(Unit, two);
    ASSERT_EQ(reply.size(), 8u + 20u);
    EXPECT_EQ(Get16(reply, 8), SimGetFlashInfo);

    SimUnitReceive(Unit, info.data(), info.size()); /* replies may be taken in pieces */
    uint8_t piece[7];
    EXPECT_EQ(SimUnitTakeReply(Unit, piece, sizeof piece), 7u);
    EXPECT_EQ(SimUnitReplyPending(Unit), 13u);
}

TEST_F(SimFirmwareTest, UnknownCodeDropsTheRestOfItsInputAndAnswersNothing)
{
    Bytes input = {0x0A, 0x00, 0x00, 0x00};
    Bytes version = MakeRequest(SimGetOsVersion);
    input.insert(input.end(), version.begin(), version.end());
    EXPECT_TRUE(Transact(Unit, input).empty());
    EXPECT_EQ(SimUnitCommandCount(Unit, SimGetOsVersion), 0u);
    EXPECT_EQ(Transact(Unit, version).size(), 8u); /* the next input is framed afresh */
    EXPECT_TRUE(Transact(Unit, Bytes({0x00, 0x01, 0, 0})).empty());
}

TEST_F(SimFirmwareTest, PipeResetDropsRepliesAndAPartialRequest)
{
    Bytes version = MakeRequest(SimGetOsVersion);
    SimUnitReceive(Unit, version.data(), version.size());
    Bytes partial = MakeRequest(SimEraseBlock, 0);
    SimUnitReceive(Unit, partial.data(), 5);
    SimUnitResetPipes(Unit);
    EXPECT_EQ(SimUnitReplyPending(Unit), 0u);
    /* Had the partial erase survived, these bytes would complete it. */
    EXPECT_EQ(Transact(Unit, MakeRequest(SimGetFlashInfo)).size(), 20u);
    EXPECT_EQ(SimUnitCommandCount(Unit, SimEraseBlock), 0u);
}

} // namespace
