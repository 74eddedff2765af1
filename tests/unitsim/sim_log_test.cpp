/*
 * sim_log_test.cpp - the command log, line by line and byte for byte.
 */
#include "unitsim/sim_test_util.h"

namespace {

Bytes DisplayRequest(const char *text, size_t length)
{
    Bytes request = MakeRequest(SimDisplayText);
    memcpy(request.data() + 4, text, length);
    return request;
}

TEST(CommandLog, OneLinePerRequestWithItsParameters)
{
    TempDir dir;
    SimConfig config = SmallConfig();
    snprintf(config.LogFile, sizeof config.LogFile, "%s", dir.File("unit.log").c_str());
    SimUnit *unit = CreateUnit(config);

    Transact(unit, MakeRequest(SimGetOsVersion));
    Transact(unit, MakeRequest(SimGetFlashInfo));
    Transact(unit, MakeRequest(SimUnlockBlock, 8));
    Transact(unit, MakeRequest(SimEraseBlock, 0xFF));
    Transact(unit, MakeRequest(SimLockBlock, 0));
    Bytes write = MakeRequest(SimWriteFlash, 0x1FE00);
    memset(write.data() + 8, 0xAB, 512);
    Transact(unit, write);
    Bytes read = MakeRequest(SimReadRecord, 0x400);
    Put16(read, 8, 0xBEEF);
    Transact(unit, read);
    Bytes record = MakeRequest(SimWriteRecord, 0);
    Put16(record, 520, 3);
    Transact(unit, record);
    Bytes checksum = MakeRequest(SimGetChecksum, 0x01010000);
    Put32(checksum, 8, 0x1F0000);
    Transact(unit, checksum);
    Transact(unit, DisplayRequest("Erasing\x01\n\r50%", 14));
    Transact(unit, DisplayRequest("\x7F\x1F \x7E\xFF\\", 7)); /* edges of the printable range */
    Transact(unit, DisplayRequest("0123456789012345678901234567890123456789", 40));
    Transact(unit, DisplayRequest("", 0));
    Bytes unknown = {0x34, 0x12, 0, 0, 1, 2, 3};
    Transact(unit, unknown);
    Bytes partial = MakeRequest(SimGetChecksum);
    SimUnitReceive(unit, partial.data(), 11); /* not whole: not logged */
    EXPECT_TRUE(SimUnitDestroy(unit));

    EXPECT_EQ(ReadText(dir.File("unit.log")), "GetOsVersion\n"
                                              "GetFlashInfo\n"
                                              "UnlockBlock 0x8\n"
                                              "EraseBlock 0xFF\n"
                                              "LockBlock 0x0\n"
                                              "WriteFlash 0x1FE00\n"
                                              "ReadRecord 0x400 0xBEEF\n"
                                              "WriteRecord 0x0 0x3\n"
                                              "GetChecksum 0x1010000 0x1F0000\n"
                                              "DisplayText Erasing\\x01\\x0A\\x0D50%\n"
                                              "DisplayText \\x7F\\x1F ~\\xFF\\\n"
                                              "DisplayText 0123456789012345678901234567890123456789\n"
                                              "DisplayText \n"
                                              "Unknown 0x1234\n");
}

TEST(CommandLog, APoweredOnAgainUnitAppends)
{
    TempDir dir;
    SimConfig config = SmallConfig();
    snprintf(config.LogFile, sizeof config.LogFile, "%s", dir.File("unit.log").c_str());
    for (int run = 0; run < 2; run++) {
        SimUnit *unit = CreateUnit(config);
        Transact(unit, MakeRequest(SimEraseBlock, (uint32_t)run));
        /* Each line is in the file as soon as the request is. */
        EXPECT_EQ(ReadText(config.LogFile), run == 0 ? "EraseBlock 0x0\n" : "EraseBlock 0x0\nEraseBlock 0x1\n");
        EXPECT_TRUE(SimUnitDestroy(unit));
    }
}

TEST(CommandLog, AnUnopenableLogRefusesPowerOn)
{
    SimConfig config = SmallConfig();
    snprintf(config.LogFile, sizeof config.LogFile, "/nonexistent-dir/unit.log");
    char error[256] = "";
    EXPECT_EQ(SimUnitCreate(&config, error, sizeof error), nullptr);
    EXPECT_NE(strstr(error, "/nonexistent-dir/unit.log"), nullptr) << error;
}

} // namespace
