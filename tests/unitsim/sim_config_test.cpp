/*
 * sim_config_test.cpp - the MURVO_SIM_* settings: defaults, each setting, and bad values.
 */
#include "unitsim/sim_test_util.h"

namespace {

const char *const Settings[] = {"MURVO_SIM_FLASH_SIZE", "MURVO_SIM_BLOCKS", "MURVO_SIM_FLASH_ADDRESS",
                                "MURVO_SIM_FLASH_ID", "MURVO_SIM_OS_VERSION", "MURVO_SIM_FLASH_FILE",
                                "MURVO_SIM_LOG", "MURVO_SIM_FAULTS"};

struct Config : ::testing::Test {
    SimConfig Result;
    char Error[512];

    void SetUp() override
    {
        for (const char *name : Settings)
            unsetenv(name);
    }
    void TearDown() override { SetUp(); }

    /* Reads the environment; the message is kept for the test. */
    bool Read()
    {
        memset(&Result, 0xCC, sizeof Result);
        Error[0] = '\0';
        return SimConfigFromEnv(&Result, Error, sizeof Error);
    }

    /* Expects the setting name=value to be refused with a message that names the setting. */
    void ExpectRefused(const char *name, const char *value)
    {
        setenv(name, value, 1);
        EXPECT_FALSE(Read()) << name << "=" << value;
        EXPECT_EQ(strncmp(Error, name, strlen(name)), 0) << Error;
        EXPECT_EQ(strchr(Error, '\n'), nullptr) << Error;
        unsetenv(name);
    }
};

TEST(Numbers, DecimalAndHexadecimalOnly)
{
    uint32_t value = 0;
    struct { const char *Text; uint32_t Value; } good[] = {
        {"0", 0}, {"4096", 4096}, {"0x1000", 0x1000}, {"0X1f", 0x1F}, {"0xFFFFFFFF", 0xFFFFFFFF},
        {"4294967295", 0xFFFFFFFF}, {"0x000000000010", 0x10}, {"007", 7},
    };
    for (const auto &entry : good) {
        EXPECT_TRUE(SimParseNumber(entry.Text, &value)) << entry.Text;
        EXPECT_EQ(value, entry.Value) << entry.Text;
    }
    for (const char *text : {"", "0x", "x10", "-1", "+1", " 1", "1 ", "12a", "0x1G", "4294967296", "0x100000000",
                             "99999999999999999999", "1e3", "0b101"}) {
        value = 0x5A5A;
        EXPECT_FALSE(SimParseNumber(text, &value)) << text;
        EXPECT_EQ(value, 0x5A5Au) << text;
    }
}

TEST_F(Config, DefaultsWithNothingSet)
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

TEST_F(Config, EachSettingIsApplied)
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
    ASSERT_EQ(Result.FaultCount, 2u);
    EXPECT_EQ(Result.Faults[1].Kind, SimFaultStatus);
    EXPECT_EQ(Result.Faults[1].Command, (unsigned)SimWriteFlash);
    EXPECT_EQ(Result.Faults[1].Occurrence, 16u);
    EXPECT_EQ(Result.Faults[1].Value, 3u);
    EXPECT_TRUE(Result.Faults[1].HasValue);
    EXPECT_FALSE(Result.Faults[0].HasValue);

    setenv("MURVO_SIM_BLOCKS", "16", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 16u);
}

TEST_F(Config, BlockCountFollowsOddSizes)
{
    setenv("MURVO_SIM_FLASH_SIZE", "0x10100", 1); /* not a multiple of 8 KiB: one block */
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 1u);
    setenv("MURVO_SIM_FLASH_SIZE", "0", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_EQ(Result.BlockCount, 0u);
    setenv("MURVO_SIM_BLOCKS", "0", 1);
    EXPECT_TRUE(Read()) << Error;
}

TEST_F(Config, EmptyPathsMeanNoFile)
{
    setenv("MURVO_SIM_FLASH_FILE", "", 1);
    setenv("MURVO_SIM_LOG", "", 1);
    setenv("MURVO_SIM_FAULTS", "", 1);
    ASSERT_TRUE(Read()) << Error;
    EXPECT_STREQ(Result.FlashFile, "");
    EXPECT_STREQ(Result.LogFile, "");
    EXPECT_EQ(Result.FaultCount, 0u);
}

TEST_F(Config, BadValuesAreRefusedNamingTheSetting)
{
    for (const char *name : {"MURVO_SIM_FLASH_SIZE", "MURVO_SIM_BLOCKS", "MURVO_SIM_FLASH_ADDRESS", "MURVO_SIM_FLASH_ID",
                             "MURVO_SIM_OS_VERSION"}) {
        for (const char *value : {"", "abc", "-1", "0x100000000", "12 "})
            ExpectRefused(name, value);
    }
    ExpectRefused("MURVO_SIM_FLASH_SIZE", "0x40000001");
    ExpectRefused("MURVO_SIM_BLOCKS", "3");      /* 0x200000 is not divisible by 3 */
    ExpectRefused("MURVO_SIM_BLOCKS", "0");
    ExpectRefused("MURVO_SIM_BLOCKS", "0x200001");
    ExpectRefused("MURVO_SIM_FLASH_ADDRESS", "0xFFE00001"); /* ends past 4 GiB */
    std::string longPath(1024, 'p');
    ExpectRefused("MURVO_SIM_FLASH_FILE", longPath.c_str());
    ExpectRefused("MURVO_SIM_LOG", longPath.c_str());
    ExpectRefused("MURVO_SIM_FAULTS", "noreply");

    setenv("MURVO_SIM_FLASH_ADDRESS", "0xFFE00000", 1); /* ends exactly at 4 GiB */
    EXPECT_TRUE(Read()) << Error;
    setenv("MURVO_SIM_FLASH_SIZE", "0", 1);
    ExpectRefused("MURVO_SIM_BLOCKS", "1");
}

TEST(FaultList, EveryKindAndItsValueRule)
{
    SimConfig config;
    SimConfigDefaults(&config);
    char error[256] = "";
    ASSERT_TRUE(SimParseFaults("noreply:GetOsVersion:1,short:GetFlashInfo:2,long:ReadRecord:3,"
                               "status:LockBlock:4:255,checksum:GetChecksum:5:0xFFFF,stall:DisplayText:6,"
                               "xfererr:WriteRecord:7,delay:EraseBlock:8:3000,unplug:WriteFlash:9,portoff:UnlockBlock:10",
                               &config, error, sizeof error))
        << error;
    ASSERT_EQ(config.FaultCount, 10u);
    for (unsigned i = 0; i < 10; i++) {
        EXPECT_EQ((unsigned)config.Faults[i].Kind, i);
        EXPECT_EQ(config.Faults[i].Occurrence, i + 1);
    }
    EXPECT_EQ(config.Faults[3].Command, (unsigned)SimLockBlock);
    EXPECT_EQ(config.Faults[4].Value, 0xFFFFu);
    EXPECT_EQ(config.Faults[7].Value, 3000u);
    EXPECT_STREQ(SimFaultKindName(SimFaultXferError), "xfererr");
}

TEST(FaultList, MalformedEntriesAreRefusedAndKeepTheOldList)
{
    const char *bad[] = {
        "noreply:GetOsVersion",          /* no N */
        "noreply:GetOsVersion:1:2:3",    /* too many fields */
        "noreply:GetOsVersion:0",        /* N counts from 1 */
        "noreply:GetOsVersion:x",
        "bogus:GetOsVersion:1",
        "noreply:getosversion:1",        /* names as in the table */
        "noreply:Reboot:1",
        "noreply:GetOsVersion:1:5",      /* takes no VALUE */
        "status:WriteFlash:1",           /* needs one */
        "status:WriteFlash:1:256",
        "status:GetOsVersion:1:1",       /* no status byte there */
        "status:DisplayText:1:1",
        "checksum:GetChecksum:1:0x10000",
        "checksum:WriteFlash:1:1",
        "delay:GetOsVersion:1",
        "noreply:GetOsVersion:1,",       /* empty entry */
        ",noreply:GetOsVersion:1",
        "noreply:GetOsVersion:1,,short:GetOsVersion:2",
        "noreply::1",
        "NoReply:GetOsVersion:1",
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
    std::string list;
    for (int i = 1; i <= SIM_MAX_FAULTS; i++)
        list += (i > 1 ? "," : "") + std::string("noreply:GetOsVersion:") + std::to_string(i);
    SimConfig config;
    SimConfigDefaults(&config);
    char error[256] = "";
    ASSERT_TRUE(SimParseFaults(list.c_str(), &config, error, sizeof error)) << error;
    EXPECT_EQ(config.FaultCount, (unsigned)SIM_MAX_FAULTS);
    list += ",short:GetOsVersion:1";
    EXPECT_FALSE(SimParseFaults(list.c_str(), &config, error, sizeof error));
    EXPECT_NE(strstr(error, "more than 32"), nullptr) << error;
}

} // namespace
