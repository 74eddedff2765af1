/*
 * Request records and reply parsing of every command, against the scripted unit.
 */
#include "scripted_unit.h"

#include "tool/unit_commands.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

class UnitCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetScriptedUnit(); }
};

std::vector<uint8_t> Header(uint8_t code) { return {code, 0, 0, 0}; }

TEST_F(UnitCommandsTest, RequestsCarryTheCodeHeaderAndTheirExactLength)
{
    uint8_t data[512];
    for (int i = 0; i < 512; i++) {
        data[i] = (uint8_t)(i * 7);
    }
    uint8_t text[40];
    memset(text, 'x', sizeof text);
    uint8_t record[512];
    uint32_t a, s, b;

    GetOsVersion();
    GetFlashInfo(&a, &s, &b);
    EraseBlock(3);
    UnlockBlock(4);
    LockBlock(5);
    WriteFlash(0x10200, data);
    ReadRecord(0x40, record, 0xBEEF);
    WriteRecord(0x80, data, 0x1234);
    GetChecksum(0x01010000, 0x1F0000);
    DisplayText(text);

    const size_t lengths[] = {4, 4, 8, 8, 8, 520, 10, 522, 12, 44};
    ASSERT_EQ(Unit.Requests.size(), 10u);
    for (uint8_t code = 0; code < 10; code++) {
        const ScriptedRequest &request = Unit.Requests[code];
        EXPECT_EQ(request.Bytes.size(), lengths[code]) << "code " << int(code);
        EXPECT_EQ(std::vector<uint8_t>(request.Bytes.begin(), request.Bytes.begin() + 4), Header(code));
        EXPECT_EQ(UnitCommandShapes[code].RequestLength, lengths[code]);
    }
    EXPECT_EQ(Unit.Requests[2].Param32(4), 3u);
    EXPECT_EQ(Unit.Requests[3].Param32(4), 4u);
    EXPECT_EQ(Unit.Requests[4].Param32(4), 5u);
    EXPECT_EQ(Unit.Requests[5].Param32(4), 0x10200u);
    EXPECT_EQ(0, memcmp(Unit.Requests[5].Bytes.data() + 8, data, 512));
    EXPECT_EQ(Unit.Requests[6].Param32(4), 0x40u);
    EXPECT_EQ(Unit.Requests[6].Bytes[8], 0xEF);
    EXPECT_EQ(Unit.Requests[6].Bytes[9], 0xBE);
    EXPECT_EQ(Unit.Requests[7].Param32(4), 0x80u);
    EXPECT_EQ(0, memcmp(Unit.Requests[7].Bytes.data() + 8, data, 512));
    EXPECT_EQ(Unit.Requests[7].Bytes[520], 0x34);
    EXPECT_EQ(Unit.Requests[7].Bytes[521], 0x12);
    EXPECT_EQ(Unit.Requests[8].Param32(4), 0x01010000u);
    EXPECT_EQ(Unit.Requests[8].Param32(8), 0x1F0000u);
    EXPECT_EQ(0, memcmp(Unit.Requests[9].Bytes.data() + 4, text, 40));
    /* Each request was followed by exactly one read of the reply. */
    EXPECT_EQ(Unit.Reads, 10u);
}

TEST_F(UnitCommandsTest, ResultsComeFromTheirReplyOffsets)
{
    Unit.OsVersion = 0x89ABCDEF;
    Unit.FlashAddress = 0x11223344;
    Unit.FlashSize = 0x00400000;
    Unit.BlockCount = 0x200;
    Unit.FlashId = 0xCAFEF00D;
    Unit.Statuses[{2, 1}] = 7;
    Unit.Statuses[{3, 1}] = 0xFF;
    Unit.Statuses[{4, 1}] = 1;
    Unit.Statuses[{5, 1}] = 0x80;
    Unit.ChecksumSet = true;
    Unit.Checksum = 0xA55A;

    EXPECT_EQ(GetOsVersion(), 0x89ABCDEFu);
    uint32_t address = 0, size = 0, blocks = 0;
    EXPECT_EQ(GetFlashInfo(&address, &size, &blocks), 0xCAFEF00Du);
    EXPECT_EQ(address, 0x11223344u);
    EXPECT_EQ(size, 0x00400000u);
    EXPECT_EQ(blocks, 0x200u);
    EXPECT_EQ(EraseBlock(0), 7);
    EXPECT_EQ(UnlockBlock(0), 0xFF);
    EXPECT_EQ(LockBlock(0), 1);
    uint8_t data[512] = {0};
    EXPECT_EQ(WriteFlash(0, data), 0x80);
    EXPECT_EQ(EraseBlock(1), 0); /* only the first erase was scripted to fail */
    EXPECT_EQ(GetChecksum(0, 1), 0xA55A);
}

TEST_F(UnitCommandsTest, ReadRecordCopiesTheReplyData)
{
    uint8_t record[512];
    memset(record, 0, sizeof record);
    ReadRecord(0, record, 0);
    /* The scripted unit fills reply bytes it does not set with 0xEE. */
    for (int i = 0; i < 512; i++) {
        ASSERT_EQ(record[i], 0xEE) << i;
    }
    EXPECT_TRUE(WriteRecord(0, record, 0));
}

std::vector<uint8_t> DisplayField()
{
    const ScriptedRequest &request = Unit.Requests.back();
    return std::vector<uint8_t>(request.Bytes.begin() + 4, request.Bytes.end());
}

TEST_F(UnitCommandsTest, DisplayFormatFillsTheFortyByteField)
{
    std::string text39(39, 'a'), text40(40, 'b'), text41 = std::string(40, 'c') + "d";

    EXPECT_TRUE(DisplayFormat("%s", text39.c_str()));
    std::vector<uint8_t> field = DisplayField();
    ASSERT_EQ(field.size(), 40u);
    EXPECT_EQ(std::string(field.begin(), field.begin() + 39), text39);
    EXPECT_EQ(field[39], 0);

    DisplayFormat("%s", text40.c_str());
    field = DisplayField();
    EXPECT_EQ(std::string(field.begin(), field.end()), text40);

    DisplayFormat("%s", text41.c_str());
    field = DisplayField();
    EXPECT_EQ(std::string(field.begin(), field.end()), std::string(40, 'c'));

    DisplayFormat("\rErasing block %lu of %lu", 9ul, 256ul);
    field = DisplayField();
    std::string shown = "\rErasing block 9 of 256";
    EXPECT_EQ(std::string(field.begin(), field.begin() + shown.size()), shown);
    for (size_t i = shown.size(); i < 40; i++) {
        EXPECT_EQ(field[i], 0) << i;
    }
}

TEST_F(UnitCommandsTest, ControlBytesTravelUnchanged)
{
    DisplayFormat("\x01\nDO NOT POWER-OFF UNIT DURING UPGRADE!\n\n");
    std::vector<uint8_t> field = DisplayField();
    EXPECT_EQ(field[0], 0x01);
    EXPECT_EQ(field[1], 0x0A);
    EXPECT_EQ(field[38], '!');
    EXPECT_EQ(field[39], 0x0A); /* the 41st byte, the second line feed, is dropped */
}

TEST_F(UnitCommandsTest, FailedWriteEndsTheRunWithoutReading)
{
    Unit.FailWriteAt = 1;
    EXPECT_EXIT(
        {
            GetOsVersion();
            fprintf(stderr, "reads=%u", Unit.Reads);
            exit(3);
        },
        ::testing::ExitedWithCode(1), "^\n\\*Error\\* Failed to send USB command\n$");
}

TEST_F(UnitCommandsTest, FailedOrShortReplyEndsTheRun)
{
    Unit.FailReadAt = 1;
    EXPECT_EXIT(EraseBlock(1), ::testing::ExitedWithCode(1), "^\n\\*Error\\* Failed to receive USB reply\n$");
    ResetScriptedUnit();
    Unit.ShortenReplyOfCode = 8;
    EXPECT_EXIT(GetChecksum(0, 512), ::testing::ExitedWithCode(1), "Failed to receive USB reply");
}

} // namespace
