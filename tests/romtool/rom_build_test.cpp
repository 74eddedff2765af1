/*
 * rom_build_test.cpp - the contents, marker and checksum of images made by murvorom.
 */
#include "romtool/rom_build.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace {

const char Marker[] = "MURVO Operating System";

/* The sum of bytes 0 to size - 3, added up here without the tool's routine. */
uint16_t ExpectedSum(const std::vector<uint8_t> &image)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 2 < image.size(); i++) {
        sum += image[i];
    }
    return (uint16_t)(sum & 0xFFFF);
}

uint16_t StoredSum(const std::vector<uint8_t> &image)
{
    return (uint16_t)(image[image.size() - 2] | image[image.size() - 1] << 8);
}

/* Builds an image of options.Size bytes; the test fails when the build does. */
std::vector<uint8_t> Build(const RomBuildOptions &options)
{
    std::vector<uint8_t> image(options.Size);
    uint16_t checksum = 0;
    char error[256] = "";
    EXPECT_TRUE(RomBuildImage(&options, image.data(), &checksum, error, sizeof error)) << error;
    EXPECT_EQ(checksum, StoredSum(image));
    return image;
}

RomBuildOptions Options(uint32_t size)
{
    RomBuildOptions options;
    RomBuildDefaults(&options);
    options.Size = size;
    return options;
}

bool Refused(const RomBuildOptions &options, std::string *message)
{
    /* A refusal comes before any byte is written; a small buffer keeps the huge case cheap
     * and lets the address sanitizer catch a write that should not happen. */
    std::vector<uint8_t> image(options.Size < 4096 ? options.Size + 1 : 4096);
    uint16_t checksum;
    char error[256] = "";
    bool built = RomBuildImage(&options, image.data(), &checksum, error, sizeof error);
    *message = error;
    return !built;
}

std::string TempPath(const char *name) { return ::testing::TempDir() + name + std::to_string(getpid()); }

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

TEST(RomBuild, MarkerWithItsZeroAndLittleEndianChecksum)
{
    RomBuildOptions options = Options(0x1000);
    options.FillByte = 0x00;
    std::vector<uint8_t> image = Build(options);
    EXPECT_EQ(memcmp(image.data() + 32, Marker, sizeof Marker), 0);
    EXPECT_EQ(image[31], 0x00);
    EXPECT_EQ(image[55], 0x00);
    uint32_t markerSum = 0;
    for (const char *p = Marker; *p != '\0'; p++) {
        markerSum += (uint8_t)*p;
    }
    EXPECT_EQ(image[0xFFE], markerSum & 0xFF);
    EXPECT_EQ(image[0xFFF], markerSum >> 8);
}

TEST(RomBuild, ChecksumWrapsAndSkipsItsOwnBytes)
{
    std::vector<uint8_t> image = Build(Options(0x200000)); /* 0xFF everywhere: a sum far above 65535 */
    EXPECT_EQ(StoredSum(image), ExpectedSum(image));
    EXPECT_EQ(image[0x1FFFF0], 0xFF);

    RomBuildOptions forced = Options(0x200);
    forced.ForceChecksum = true;
    forced.Checksum = 0xA55A;
    image = Build(forced);
    EXPECT_EQ(image[0x1FE], 0x5A);
    EXPECT_EQ(image[0x1FF], 0xA5);
    EXPECT_NE(ExpectedSum(image), 0xA55A);
}

TEST(RomBuild, OffsetPatternMakesEveryRecordDifferent)
{
    RomBuildOptions options = Options(0x400000); /* 8192 records */
    options.Contents = RomContentsOffset;
    std::vector<uint8_t> image = Build(options);
    std::set<std::string> records;
    for (size_t at = 512; at + 512 < image.size(); at += 512) { /* the first and last carry marker and sum */
        records.insert(std::string((const char *)image.data() + at, 512));
    }
    EXPECT_EQ(records.size(), image.size() / 512 - 2);
    EXPECT_EQ(StoredSum(image), ExpectedSum(image));
}

TEST(RomBuild, RawFileFirstThenTheFillByte)
{
    std::string path = TempPath("raw");
    std::vector<uint8_t> raw(100);
    for (size_t i = 0; i < raw.size(); i++) {
        raw[i] = (uint8_t)(i + 1);
    }
    WriteFile(path, raw);

    RomBuildOptions options = Options(0x400);
    options.RawFile = path.c_str();
    options.FillByte = 0xEE;
    std::vector<uint8_t> image = Build(options);
    EXPECT_EQ(memcmp(image.data(), raw.data(), 32), 0);
    EXPECT_EQ(memcmp(image.data() + 32, Marker, sizeof Marker), 0); /* the marker wins */
    EXPECT_EQ(memcmp(image.data() + 55, raw.data() + 55, 45), 0);
    EXPECT_EQ(image[100], 0xEE);
    EXPECT_EQ(image[0x3FD], 0xEE);

    /* A raw file of the whole size is resealed: its last two bytes become the checksum. */
    raw.assign(0x400, 0x11);
    WriteFile(path, raw);
    image = Build(options);
    EXPECT_EQ(image[0x3FD], 0x11);
    EXPECT_EQ(StoredSum(image), ExpectedSum(image));

    std::string message;
    raw.push_back(0x11);
    WriteFile(path, raw);
    EXPECT_TRUE(Refused(options, &message));
    EXPECT_NE(message.find("longer than the image"), std::string::npos) << message;
    unlink(path.c_str());
    EXPECT_TRUE(Refused(options, &message));
    EXPECT_NE(message.find(path), std::string::npos) << message;
}

TEST(RomBuild, SizesTooSmallForMarkerOrChecksum)
{
    std::string message;
    EXPECT_EQ(Build(Options(57))[54], 0x00); /* the smallest image with a marker */
    RomBuildOptions bare = Options(1);
    bare.Marker = false;
    EXPECT_TRUE(Refused(bare, &message));
    bare.Size = 2;
    EXPECT_EQ(StoredSum(Build(bare)), 0);
    EXPECT_TRUE(Refused(Options(ROM_BUILD_MAX_SIZE + 1), &message));
}

} // namespace
