/*
 * The image check: each refusal and its order, and what an accepted image leaves behind.
 */
#include "image_files.h"

#include "tool/rom_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using ::testing::ExitedWithCode;

const char SizeMessage[] = "^\n\\*Error\\* Binary file is not the same size as the Flash ROM\n$";
const char ReadMessage[] = "^\n\\*Error\\* Failed reading file\n$";
const char MarkerMessage[] = "^\n\\*Error\\* File does not contain a MURVO ROM image\n$";
const char ChecksumMessage[] = "^\n\\*Error\\* ROM file has invalid checksum\n$";

int OpenImage(const std::vector<uint8_t> &bytes)
{
    std::string path = WriteTempFile("image.bin", bytes);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    return fd;
}

TEST(ByteSum16, SumsUnsignedBytesModulo65536)
{
    std::vector<uint8_t> bytes(300, 0xFF);
    EXPECT_EQ(ByteSum16(bytes.data(), 0), 0);
    EXPECT_EQ(ByteSum16(bytes.data(), 1), 0xFF);
    EXPECT_EQ(ByteSum16(bytes.data(), 300), (uint16_t)(300 * 255));
    std::vector<uint8_t> many(70000, 1);
    EXPECT_EQ(ByteSum16(many.data(), 70000), (uint16_t)(70000 - 65536));
}

TEST(Crc32, IsTheStandardCrcAndContinuesAcrossCalls)
{
    const uint8_t digits[] = "123456789";
    EXPECT_EQ(Crc32(0, digits, 9), 0xCBF43926u);
    EXPECT_EQ(Crc32(Crc32(0, digits, 4), digits + 4, 5), 0xCBF43926u);
    EXPECT_EQ(Crc32(0, digits, 0), 0u);
}

TEST(CheckRomImage, RangeCrcCoversTheBytesFromTheStartOffsetOn)
{
    std::vector<uint8_t> image = MakeImage(0x20000, 3);
    for (uint32_t from : {0u, 0x10000u, 0x1FE00u, 0x20000u}) {
        int fd = OpenImage(image);
        uint32_t crc = 0x12345678;
        CheckRomImageRange(fd, 0x20000, from, &crc);
        EXPECT_EQ(crc, Crc32(0, image.data() + from, 0x20000 - from)) << from;
        close(fd);
    }
}

TEST(CheckRomImage, AnEmptyImageIsNoImage)
{
    /* Nothing is read for a flash of size 0, so no marker is found. */
    int fd = OpenImage({});
    EXPECT_EXIT(CheckRomImage(fd, 0), ExitedWithCode(1), MarkerMessage);
    close(fd);
}

TEST(CheckRomImage, AcceptsAGoodImageAndLeavesThePositionAtItsEnd)
{
    for (uint32_t size : {512u, 1024u, 0x20000u}) {
        int fd = OpenImage(MakeImage(size, size));
        lseek(fd, 100, SEEK_SET); /* the check starts from 0 whatever the position */
        CheckRomImage(fd, size);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), (off_t)size);
        close(fd);
    }
}

TEST(CheckRomImage, SizeIsCheckedBeforeAnythingIsRead)
{
    std::vector<uint8_t> image = MakeImage(2048);
    image[40] = 'x'; /* a broken marker must not be what is reported */
    int fd = OpenImage(image);
    EXPECT_EXIT(CheckRomImage(fd, 2048 + 1), ExitedWithCode(1), SizeMessage);
    EXPECT_EXIT(CheckRomImage(fd, 2048 - 1), ExitedWithCode(1), SizeMessage);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);
}

TEST(CheckRomImage, MarkerMustMatchExactlyWithItsZero)
{
    struct Damage {
        size_t Offset;
        uint8_t Byte;
    };
    const Damage damages[] = {{54, 'X'}, {32, 'm'}, {53, 'M'}};
    for (const Damage &damage : damages) {
        std::vector<uint8_t> image = MakeImage(1024);
        image[damage.Offset] = damage.Byte;
        SealImage(image);
        int fd = OpenImage(image);
        EXPECT_EXIT(CheckRomImage(fd, 1024), ExitedWithCode(1), MarkerMessage) << damage.Offset;
        close(fd);
    }
    /* The marker one byte later is no marker. */
    std::vector<uint8_t> shifted = MakeImage(1024);
    memmove(shifted.data() + 33, shifted.data() + 32, 23);
    SealImage(shifted);
    int fd = OpenImage(shifted);
    EXPECT_EXIT(CheckRomImage(fd, 1024), ExitedWithCode(1), MarkerMessage);
    close(fd);
}

TEST(CheckRomImage, BytesAroundTheMarkerAreNotExamined)
{
    std::vector<uint8_t> image = MakeImage(1024);
    for (size_t i = 0; i < 32; i++) {
        image[i] = 0;
    }
    for (size_t i = 55; i < 512; i++) {
        image[i] = 0xA5;
    }
    SealImage(image);
    int fd = OpenImage(image);
    CheckRomImage(fd, 1024);
    close(fd);
}

TEST(CheckRomImage, MarkerIsReportedBeforeAWrongChecksum)
{
    std::vector<uint8_t> image = MakeImage(1024);
    image[40] ^= 0x20;
    image[1023] ^= 0x01;
    int fd = OpenImage(image);
    EXPECT_EXIT(CheckRomImage(fd, 1024), ExitedWithCode(1), MarkerMessage);
    close(fd);
}

TEST(CheckRomImage, ChecksumIsLittleEndianOverAllButTheLastTwoBytes)
{
    std::vector<uint8_t> image = MakeImage(4096);
    std::swap(image[4094], image[4095]);
    if (image[4094] == image[4095]) {
        image[4095] ^= 1;
    }
    int fd = OpenImage(image);
    EXPECT_EXIT(CheckRomImage(fd, 4096), ExitedWithCode(1), ChecksumMessage);
    close(fd);

    /* Sums far above 65535 (all 0xFF) compare in their low 16 bits only. */
    std::vector<uint8_t> full(0x20000, 0xFF);
    memcpy(full.data() + 32, "MURVO Operating System", 23);
    SealImage(full);
    fd = OpenImage(full);
    CheckRomImage(fd, 0x20000);
    close(fd);
}

TEST(CheckRomImage, OneRecordImageTestsMarkerThenChecksumOverIt)
{
    std::vector<uint8_t> image = MakeImage(512);
    int fd = OpenImage(image);
    CheckRomImage(fd, 512);
    close(fd);
    image[511] ^= 0x40;
    fd = OpenImage(image);
    EXPECT_EXIT(CheckRomImage(fd, 512), ExitedWithCode(1), ChecksumMessage);
    close(fd);
}

TEST(CheckRomImage, SizesThatAreNoMultipleOfARecordFailAtTheShortRead)
{
    /* Below one record: the first read is short, before the marker is looked at. */
    std::vector<uint8_t> tiny(300, 0);
    int fd = OpenImage(tiny);
    EXPECT_EXIT(CheckRomImage(fd, 300), ExitedWithCode(1), ReadMessage);
    close(fd);
    /* A good marker, then a short last record: the checksum is never reached. */
    std::vector<uint8_t> ragged = MakeImage(1000);
    fd = OpenImage(ragged);
    EXPECT_EXIT(CheckRomImage(fd, 1000), ExitedWithCode(1), ReadMessage);
    close(fd);
    /* Same length, bad marker: the marker message comes first. */
    ragged[33] = 0;
    fd = OpenImage(ragged);
    EXPECT_EXIT(CheckRomImage(fd, 1000), ExitedWithCode(1), MarkerMessage);
    close(fd);
}

} // namespace
