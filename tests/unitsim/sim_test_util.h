/*
 * sim_test_util.h - building request records and reading replies for the unit tests.
 */
#ifndef MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H
#define MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H

#include "unitsim/sim_unit.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

/* Request lengths as the command table gives them, written out independently of unitsim. */
static const size_t RequestLengths[SIM_COMMAND_COUNT] = {4, 4, 8, 8, 8, 520, 10, 522, 12, 44};
static const size_t ReplyLengths[SIM_COMMAND_COUNT] = {8, 20, 5, 5, 5, 5, 516, 4, 6, 4};

inline void Put32(Bytes &record, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        record[offset + i] = (uint8_t)(value >> (8 * i));
}

inline void Put16(Bytes &record, size_t offset, uint16_t value)
{
    record[offset] = (uint8_t)value;
    record[offset + 1] = (uint8_t)(value >> 8);
}

inline uint32_t Get32(const Bytes &record, size_t offset)
{
    return (uint32_t)record[offset] | (uint32_t)record[offset + 1] << 8 | (uint32_t)record[offset + 2] << 16 |
           (uint32_t)record[offset + 3] << 24;
}

inline uint16_t Get16(const Bytes &record, size_t offset)
{
    return (uint16_t)(record[offset] | record[offset + 1] << 8);
}

/* A zeroed request of the command's length with the code in its first two bytes. */
inline Bytes MakeRequest(unsigned code)
{
    Bytes request(RequestLengths[code], 0);
    Put16(request, 0, (uint16_t)code);
    return request;
}

/* A request carrying one 32-bit parameter at offset 4 (block number, flash offset). */
inline Bytes MakeRequest(unsigned code, uint32_t parameter)
{
    Bytes request = MakeRequest(code);
    Put32(request, 4, parameter);
    return request;
}

/* Every reply byte waiting on the unit. */
inline Bytes TakeAll(SimUnit *unit)
{
    Bytes reply(SimUnitReplyPending(unit));
    size_t taken = SimUnitTakeReply(unit, reply.data(), reply.size());
    reply.resize(taken);
    return reply;
}

/* Sends a whole request and takes whatever the unit answered. */
inline Bytes Transact(SimUnit *unit, const Bytes &request)
{
    SimUnitReceive(unit, request.data(), request.size());
    return TakeAll(unit);
}

/* The status byte of a block or write command; fails the test on a reply of the wrong length. */
inline int StatusOf(SimUnit *unit, const Bytes &request)
{
    Bytes reply = Transact(unit, request);
    EXPECT_EQ(reply.size(), 5u);
    return reply.size() == 5 ? reply[4] : -1;
}

inline int Erase(SimUnit *unit, uint32_t block) { return StatusOf(unit, MakeRequest(SimEraseBlock, block)); }
inline int Unlock(SimUnit *unit, uint32_t block) { return StatusOf(unit, MakeRequest(SimUnlockBlock, block)); }
inline int Lock(SimUnit *unit, uint32_t block) { return StatusOf(unit, MakeRequest(SimLockBlock, block)); }

inline int Write(SimUnit *unit, uint32_t offset, const Bytes &data)
{
    Bytes request = MakeRequest(SimWriteFlash, offset);
    memcpy(request.data() + 8, data.data(), SIM_RECORD_SIZE);
    return StatusOf(unit, request);
}

inline uint16_t Checksum(SimUnit *unit, uint32_t start, uint32_t length)
{
    Bytes request = MakeRequest(SimGetChecksum, start);
    Put32(request, 8, length);
    Bytes reply = Transact(unit, request);
    EXPECT_EQ(reply.size(), 6u);
    return reply.size() == 6 ? Get16(reply, 4) : 0;
}

/* A small unit: 64 KiB at 0x00100000 in 8 blocks of 8 KiB, no faults, no files. */
inline SimConfig SmallConfig()
{
    SimConfig config;
    SimConfigDefaults(&config);
    config.FlashAddress = 0x00100000;
    config.FlashSize = 0x10000;
    config.BlockCount = 8;
    return config;
}

inline SimUnit *CreateUnit(const SimConfig &config)
{
    char error[256] = "";
    SimUnit *unit = SimUnitCreate(&config, error, sizeof error);
    EXPECT_NE(unit, nullptr) << error;
    return unit;
}

/* A directory of its own for each test that needs files; removed with its files at the end. */
struct TempDir {
    std::string Path;
    TempDir()
    {
        std::string pattern = ::testing::TempDir() + "unitsimXXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        Path = mkdtemp(buffer.data()) != nullptr ? buffer.data() : "";
    }
    ~TempDir()
    {
        if (!Path.empty())
            (void)!system(("rm -rf '" + Path + "'").c_str());
    }
    std::string File(const char *name) const { return Path + "/" + name; }
};

inline std::string ReadText(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    fclose(file);
    return text;
}

#endif /* MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H */
