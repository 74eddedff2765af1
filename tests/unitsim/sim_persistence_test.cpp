/*
 * sim_persistence_test.cpp - the flash file: the flash itself, from power-on to power-off.
 */
#include "unitsim/sim_test_util.h"

#include <unistd.h>

namespace {

SimConfig ConfigWithFile(const std::string &path)
{
    SimConfig config = SmallConfig();
    snprintf(config.FlashFile, sizeof config.FlashFile, "%s", path.c_str());
    return config;
}

TEST(FlashFile, AnUpdateSurvivesPowerCycles)
{
    TempDir dir;
    SimConfig config = ConfigWithFile(dir.File("flash.bin"));

    SimUnit *unit = CreateUnit(config); /* no file yet: erased */
    ASSERT_EQ(Unlock(unit, 4), SimStatusOk);
    Bytes data(SIM_RECORD_SIZE);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (uint8_t)i;
    }
    ASSERT_EQ(Write(unit, 0x8200, data), SimStatusOk);
    ASSERT_TRUE(SimUnitDestroy(unit));

    std::string saved = ReadText(config.FlashFile);
    ASSERT_EQ(saved.size(), 0x10000u);
    EXPECT_EQ(memcmp(saved.data() + 0x8200, data.data(), data.size()), 0);
    EXPECT_EQ((uint8_t)saved[0x8000], 0xFF);

    unit = CreateUnit(config);
    EXPECT_EQ(memcmp(SimUnitFlash(unit) + 0x8200, data.data(), data.size()), 0);
    EXPECT_TRUE(SimUnitBlockLocked(unit, 4)); /* locks are not part of the file */
    EXPECT_EQ(Checksum(unit, 0x00108200, 512), (uint16_t)(255 * 256));
    ASSERT_TRUE(SimUnitDestroy(unit));
    EXPECT_EQ(ReadText(config.FlashFile), saved);
    EXPECT_TRUE(ReadText(config.FlashFile + std::string(".tmp")).empty());
}

TEST(FlashFile, SaveFlashWritesWithoutPoweringOff)
{
    TempDir dir;
    SimConfig config = ConfigWithFile(dir.File("flash.bin"));
    SimUnit *unit = CreateUnit(config);
    ASSERT_EQ(Unlock(unit, 0), SimStatusOk);
    ASSERT_EQ(Write(unit, 0, Bytes(SIM_RECORD_SIZE, 0x5A)), SimStatusOk);
    char error[256] = "";
    ASSERT_TRUE(SimUnitSaveFlash(unit, error, sizeof error)) << error;
    EXPECT_EQ(ReadText(config.FlashFile)[0], 0x5A);
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(FlashFile, AFileOfTheWrongSizeRefusesPowerOn)
{
    TempDir dir;
    SimConfig config = ConfigWithFile(dir.File("flash.bin"));
    for (size_t size : {0x10000 - 1, 0x10000 + 1, 0}) {
        FILE *file = fopen(config.FlashFile, "wb");
        ASSERT_NE(file, nullptr);
        std::string contents(size, 'x');
        fwrite(contents.data(), 1, contents.size(), file);
        fclose(file);
        char error[256] = "";
        EXPECT_EQ(SimUnitCreate(&config, error, sizeof error), nullptr) << size;
        EXPECT_NE(strstr(error, "flash.bin"), nullptr) << error;
        EXPECT_EQ(ReadText(config.FlashFile).size(), size); /* left alone */
    }
}

TEST(FlashFile, EveryEraseAndWriteReachesTheFileAsItHappens)
{
    /* A real unit's flash keeps each erase and write the moment it is done: a run that is
     * killed before power-off must leave the file as far as the unit got. */
    TempDir dir;
    SimConfig config = ConfigWithFile(dir.File("flash.bin"));
    SimUnit *unit = CreateUnit(config);
    ASSERT_EQ(Unlock(unit, 1), SimStatusOk);
    ASSERT_EQ(Write(unit, 0x2200, Bytes(SIM_RECORD_SIZE, 0x00)), SimStatusOk);
    std::string seen = ReadText(config.FlashFile);
    ASSERT_EQ(seen.size(), 0x10000u);
    EXPECT_EQ(seen.substr(0x2200, SIM_RECORD_SIZE), std::string(SIM_RECORD_SIZE, '\0'));
    ASSERT_EQ(Erase(unit, 1), SimStatusOk);
    EXPECT_EQ(ReadText(config.FlashFile).substr(0x2200, SIM_RECORD_SIZE), std::string(SIM_RECORD_SIZE, '\xFF'));
    EXPECT_TRUE(SimUnitDestroy(unit));
}

TEST(FlashFile, AFlashFileThatCannotBeMadeRefusesPowerOn)
{
    TempDir dir;
    /* Its folder is missing. */
    SimConfig config = ConfigWithFile(dir.File("missing/flash.bin"));
    char error[256] = "";
    EXPECT_EQ(SimUnitCreate(&config, error, sizeof error), nullptr);
    EXPECT_NE(strstr(error, "missing/flash.bin"), nullptr) << error;

    /* A new file is made whole under a temporary name first: when that fails, nothing is
     * left under the final name. */
    config = ConfigWithFile(dir.File("flash.bin"));
    ASSERT_EQ(mkdir((config.FlashFile + std::string(".tmp")).c_str(), 0700), 0);
    EXPECT_EQ(SimUnitCreate(&config, error, sizeof error), nullptr);
    EXPECT_NE(strstr(error, "flash.bin.tmp"), nullptr) << error;
    EXPECT_NE(access(config.FlashFile, F_OK), 0);
}

} // namespace

namespace {

/* A unit with a state file stays powered between runs: its locks and the reply bytes its IN
 * endpoint held come back at the next power-on, the backlog handed out once. A unit of
 * another layout starts afresh. */
TEST(StateFile, LocksAndBacklogOutliveThePowerOn)
{
    TempDir dir;
    SimConfig config = SmallConfig();
    snprintf(config.StateFile, sizeof config.StateFile, "%s", dir.File("unit.state").c_str());

    SimUnit *unit = CreateUnit(config);
    EXPECT_TRUE(SimUnitKeepsState(unit));
    EXPECT_TRUE(SimUnitBlockLocked(unit, 4));
    ASSERT_EQ(Unlock(unit, 4), SimStatusOk);
    const uint8_t reply[5] = {2, 0, 0, 0, 0};
    SimUnitKeepBacklog(unit, reply, sizeof reply);
    uint8_t taken[SIM_MAX_BACKLOG];
    EXPECT_EQ(SimUnitTakeBacklog(unit, taken, sizeof taken), 0u); /* none when it powered on */
    ASSERT_TRUE(SimUnitDestroy(unit));

    unit = CreateUnit(config);
    EXPECT_FALSE(SimUnitBlockLocked(unit, 4));
    EXPECT_TRUE(SimUnitBlockLocked(unit, 5));
    ASSERT_EQ(SimUnitTakeBacklog(unit, taken, sizeof taken), sizeof reply);
    EXPECT_EQ(memcmp(taken, reply, sizeof reply), 0);
    EXPECT_EQ(SimUnitTakeBacklog(unit, taken, sizeof taken), 0u);
    ASSERT_TRUE(SimUnitDestroy(unit));

    config.BlockCount /= 2;
    unit = CreateUnit(config);
    EXPECT_TRUE(SimUnitBlockLocked(unit, 4));
    EXPECT_EQ(SimUnitTakeBacklog(unit, taken, sizeof taken), 0u);
    ASSERT_TRUE(SimUnitDestroy(unit));

    /* Without a state file nothing is kept. */
    config.StateFile[0] = '\0';
    unit = CreateUnit(config);
    EXPECT_FALSE(SimUnitKeepsState(unit));
    SimUnitKeepBacklog(unit, reply, sizeof reply);
    EXPECT_EQ(SimUnitTakeBacklog(unit, taken, sizeof taken), 0u);
    ASSERT_TRUE(SimUnitDestroy(unit));
}

} // namespace
