/*
 * sim_config_test.cpp - the MURVO_SIM_* settings: defaults, each setting, and bad values.
 */
#include "unitsim/sim_test_util.h"

namespace {

const char *const Settings[] = {"MURVO_SIM_FLASH_SIZE", "MURVO_SIM_BLOCKS",     "MURVO_SIM_FLASH_ADDRESS",
                                "MURVO_SIM_FLASH_ID",   "MURVO_SIM_OS_VERSION", "MURVO_SIM_FLASH_FILE",
                                "MURVO_SIM_LOG",        "MURVO_SIM_FAULTS"};

class SimConfigTest : public ::testing::Test {
protected:
    SimConfig Result;
    char Error[512];

    void SetUp() override
    {
        for (const char *name : Settings) {
            unsetenv(name);
        }
    }
    void TearDown() override { SetUp(); }

    bool Read()
    {
        memset(&Result, 0xCC, sizeof Result);
        Error[0] = '\0';
        return SimConfigFromEnv(&Result, Error, sizeof Error);
    }

    /* name=value must be refused with one line that begins with the setting's name. */
    void ExpectRefused(const char *name, const char *value)
    {
        setenv(name, value, 1);
        EXPECT_FALSE(Read()) << name << "=" << value;
        EXPECT_EQ(strncmp(Error, name, strlen(name)), 0) << Error;
        EXPECT_EQ(strchr(Error, '\n'), nullptr) << Error;
        unsetenv(name);
    }
};

TEST(Numbers, DecimalHexadecimalAndSizeSuffixes)
{
    uint32_t value = 0;
    EXPECT_TRUE(SimParseNumber("0X1f", &value));
    EXPECT_EQ(value, 0x1Fu);
    EXPECT_TRUE(SimParseNumber("0x000000000010", &value)); /* leading zeros do not overflow */
    EXPECT_EQ(value, 0x10u);
    EXPECT_TRUE(SimParseNumber("4294967295", &value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    struct {
        const char *Text;
        uint32_t Value;
    } good[] = {
        {"0", 0},           {"512", 512},           {"0x200000", 0x200000},
        {"0XfF", 0xFF},     {"64K", 0x10000},       {"64k", 0x10000},
        {"2M", 0x200000},   {"4095M", 4095u << 20}, {"4294967295", 0xFFFFFFFF},
        {"1G", 0x40000000}, {"3G", 3u << 30},
    };
    for (const auto &entry : good) {
        EXPECT_TRUE(SimParseNumber(entry.Text, &value)) << entry.Text;
        EXPECT_EQ(value, entry.Value) << entry.Text;
    }
    for (const char *text : {"0x", "+1", " 1", "0x1G", "4294967296", "1e3", "", "K", "0x10K", "2m", "4G", "2g", "4096M",
                             "4194304K", "1 ", "-1", "2MB"}) {
        value = 0x5A5A;
        EXPECT_FALSE(SimParseNumber(text, &value)) << text;
        EXPECT_EQ(value, 0x5A5Au) << text;
    }
}

TEST_F(SimConfigTest, DefaultsWithNothingSet)
{
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.FlashSize, 0x200000u);
    EXPECT_EQ(Result.BlockCount, 256u); /* 8 KiB blocks: 0 to 7 are the 64 KiB boot block */
    EXPECT_EQ(Result.FlashAddress, 0x01000000u);
    EXPECT_NE(Result.OsVersion & 0x80000000u, 0u);
    EXPECT_STREQ(Result.FlashFile, "");
    EXPECT_STREQ(Result.LogFile, "");
    EXPECT_EQ(Result.FaultCount, 0u);
    SimConfig defaults;
    SimConfigDefaults(&defaults);
    EXPECT_EQ(memcmp(&defaults, &Result, sizeof defaults), 0);
}

TEST_F(SimConfigTest, EachSettingIsApplied)
{
    setenv("MURVO_SIM_FLASH_SIZE", "0x100000", 1);
    setenv("MURVO_SIM_FLASH_ADDRESS", "4096", 1);
    setenv("MURVO_SIM_FLASH_ID", "0xDEADBEEF", 1);
    setenv("MURVO_SIM_OS_VERSION", "0x00010000", 1);
    setenv("MURVO_SIM_FLASH_FILE", "/tmp/some flash.bin", 1);
    setenv("MURVO_SIM_LOG", "unit.log", 1);
    setenv("MURVO_SIM_FAULTS", "noreply:GetOsVersion:1,status:WriteFlash:0x10:3", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.FlashSize, 0x100000u);
    EXPECT_EQ(Result.BlockCount, 128u); /* follows the size */
    EXPECT_EQ(Result.FlashAddress, 4096u);
    EXPECT_EQ(Result.FlashId, 0xDEADBEEFu);
    EXPECT_EQ(Result.OsVersion, 0x00010000u);
    EXPECT_STREQ(Result.FlashFile, "/tmp/some flash.bin");
    EXPECT_STREQ(Result.LogFile, "unit.log");
    EXPECT_EQ(Result.FaultCount, 2u);

    setenv("MURVO_SIM_BLOCKS", "16", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 16u);
    setenv("MURVO_SIM_FLASH_FILE", "", 1); /* empty: not set */
    setenv("MURVO_SIM_FAULTS", "", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_STREQ(Result.FlashFile, "");
    EXPECT_EQ(Result.FaultCount, 0u);
}

TEST_F(SimConfigTest, NumbersTakeTheFormsOfTheImageTool)
{
    /* An image made with "murvorom create ... 4M" fits a unit set up with the same text. */
    setenv("MURVO_SIM_FLASH_SIZE", "4M", 1);
    setenv("MURVO_SIM_BLOCKS", "1k", 1);
    setenv("MURVO_SIM_FLASH_ADDRESS", "16M", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.FlashSize, 0x400000u);
    EXPECT_EQ(Result.BlockCount, 1024u);
    EXPECT_EQ(Result.FlashAddress, 0x1000000u);
    ExpectRefused("MURVO_SIM_FLASH_SIZE", "4G");
}

TEST_F(SimConfigTest, BlockCountFollowsOddSizes)
{
    setenv("MURVO_SIM_FLASH_SIZE", "0x10100", 1); /* not a multiple of 8 KiB: one block */
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 1u);
    setenv("MURVO_SIM_FLASH_SIZE", "0", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 0u);
    ExpectRefused("MURVO_SIM_BLOCKS", "1"); /* an empty flash has no blocks */
}

TEST_F(SimConfigTest, BadValuesAreRefusedNamingTheSetting)
{
    for (const char *name : {"MURVO_SIM_FLASH_SIZE", "MURVO_SIM_BLOCKS", "MURVO_SIM_FLASH_ADDRESS",
                             "MURVO_SIM_FLASH_ID", "MURVO_SIM_OS_VERSION"}) {
        for (const char *value : {"", "abc", "-1", "0x100000000", "12 "}) {
            ExpectRefused(name, value);
        }
    }
    ExpectRefused("MURVO_SIM_FLASH_SIZE", "0x40000001");
    ExpectRefused("MURVO_SIM_BLOCKS", "3"); /* 0x200000 is not divisible by 3 */
    ExpectRefused("MURVO_SIM_BLOCKS", "0");
    ExpectRefused("MURVO_SIM_BLOCKS", "0x200001");
    ExpectRefused("MURVO_SIM_FLASH_ADDRESS", "0xFFE00001"); /* ends past 4 GiB */
    std::string longPath(1024, 'p');
    ExpectRefused("MURVO_SIM_FLASH_FILE", longPath.c_str());
    ExpectRefused("MURVO_SIM_LOG", longPath.c_str());
    ExpectRefused("MURVO_SIM_FAULTS", "noreply");
    setenv("MURVO_SIM_FLASH_ADDRESS", "0xFFE00000", 1); /* ends exactly at 4 GiB */
    EXPECT_TRUE(Read()) << Error;
}

TEST(FaultList, EveryKindAndItsValueRule)
{
    SimConfig config;
    SimConfigDefaults(&config);
    char error[256] = "";
    ASSERT_TRUE(
        SimParseFaults("noreply:GetOsVersion:1,short:GetFlashInfo:2,long:ReadRecord:3,"
                       "status:LockBlock:4:255,checksum:GetChecksum:5:0xFFFF,stall:DisplayText:6,"
                       "xfererr:WriteRecord:7,delay:EraseBlock:8:3000,unplug:WriteFlash:9,portoff:UnlockBlock:10",
                       &config, error, sizeof error))
        << error;
    ASSERT_EQ(config.FaultCount, 10u);
    for (unsigned i = 0; i < 10; i++) {
        EXPECT_EQ((unsigned)config.Faults[i].Kind, i);
        EXPECT_EQ(config.Faults[i].Occurrence, i + 1);
        EXPECT_EQ(config.Faults[i].HasValue, i == 3 || i == 4 || i == 7);
    }
    EXPECT_EQ(config.Faults[3].Command, (unsigned)SimLockBlock);
    EXPECT_EQ(config.Faults[4].Value, 0xFFFFu);
    EXPECT_EQ(config.Faults[7].Value, 3000u);
}

TEST(FaultList, MalformedEntriesAreRefusedAndKeepTheOldList)
{
    const char *bad[] = {
        "noreply:GetOsVersion",     "noreply:GetOsVersion:1:2:3",
        "noreply:GetOsVersion:0",   "noreply:GetOsVersion:x",
        "bogus:GetOsVersion:1",     "NoReply:GetOsVersion:1",
        "noreply:getosversion:1",   "noreply::1",
        "noreply:GetOsVersion:1:5",                         /* takes no VALUE */
        "status:WriteFlash:1",      "delay:GetOsVersion:1", /* need one */
        "status:WriteFlash:1:256",  "checksum:GetChecksum:1:0x10000",
        "status:GetOsVersion:1:1",  "status:WriteRecord:1:1", /* no status byte there */
        "checksum:WriteFlash:1:1",  "noreply:GetOsVersion:1,",
        ",noreply:GetOsVersion:1",  "noreply:GetOsVersion:1,,short:GetOsVersion:2",
    };
    for (const char *text : bad) {
        SimConfig config;
        SimConfigDefaults(&config);
        char error[256] = "";
        ASSERT_TRUE(SimParseFaults("short:DisplayText:1", &config, error, sizeof error));
        EXPECT_FALSE(SimParseFaults(text, &config, error, sizeof error)) << text;
        EXPECT_EQ(strncmp(error, "MURVO_SIM_FAULTS: ", 18), 0) << error;
        EXPECT_EQ(config.FaultCount, 1u) << text;
    }
}

TEST(FaultList, AtMostThirtyTwo)
{
    std::string list = "noreply:GetOsVersion:1";
    for (int i = 2; i <= SIM_MAX_FAULTS; i++) {
        list += ",noreply:GetOsVersion:" + std::to_string(i);
    }
    SimConfig config;
    char error[256] = "";
    ASSERT_TRUE(SimParseFaults(list.c_str(), &config, error, sizeof error)) << error;
    EXPECT_EQ(config.FaultCount, (unsigned)SIM_MAX_FAULTS);
    list += ",short:GetOsVersion:1";
    EXPECT_FALSE(SimParseFaults(list.c_str(), &config, error, sizeof error));
}

} // namespace
