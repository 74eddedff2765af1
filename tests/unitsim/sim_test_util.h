/*
 * sim_test_util.h - request records, replies and scratch files for the unit tests.
 */
#ifndef MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H
#define MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H

#include "unitsim/sim_unit.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

/* The command table's lengths, written out here rather than taken from unitsim. */
static const size_t RequestLengths[SIM_COMMAND_COUNT] = {4, 4, 8, 8, 8, 520, 10, 522, 12, 44};
static const size_t ReplyLengths[SIM_COMMAND_COUNT] = {8, 20, 5, 5, 5, 5, 516, 4, 6, 4};

inline void Put32(Bytes &r, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        r[at + i] = (uint8_t)(v >> (8 * i));
    }
}
inline void Put16(Bytes &r, size_t at, uint16_t v)
{
    r[at] = (uint8_t)v;
    r[at + 1] = (uint8_t)(v >> 8);
}
inline uint16_t Get16(const Bytes &r, size_t at) { return (uint16_t)(r[at] | r[at + 1] << 8); }
inline uint32_t Get32(const Bytes &r, size_t at) { return Get16(r, at) | (uint32_t)Get16(r, at + 2) << 16; }

/* A zeroed request of the command's length, its code in front and parameter at offset 4. */
inline Bytes MakeRequest(unsigned code, uint32_t parameter = 0)
{
    Bytes request(RequestLengths[code], 0);
    Put16(request, 0, (uint16_t)code);
    if (request.size() >= 8) {
        Put32(request, 4, parameter);
    }
    return request;
}

/* Every reply byte waiting on the unit. */
inline Bytes TakeAll(SimUnit *unit)
{
    Bytes reply(SimUnitReplyPending(unit));
    reply.resize(SimUnitTakeReply(unit, reply.data(), reply.size()));
    return reply;
}

inline Bytes Transact(SimUnit *unit, const Bytes &request)
{
    SimUnitReceive(unit, request.data(), request.size());
    return TakeAll(unit);
}

/* The status byte of a 5-byte reply; -1 (and a failure) for any other length. */
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

/* A scratch directory, removed with its files at the end of the test. */
struct TempDir {
    std::string Path;
    TempDir()
    {
        std::string pattern = ::testing::TempDir() + "unitsimXXXXXX";
        Path = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
    }
    ~TempDir() { (void)!system(("rm -rf '" + Path + "'").c_str()); }
    std::string File(const char *name) const { return Path + "/" + name; }
};

inline std::string ReadText(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    int c;
    while ((c = fgetc(file)) != EOF) {
        text += (char)c;
    }
    fclose(file);
    return text;
}

#endif /* MURVO_TESTS_UNITSIM_SIM_TEST_UTIL_H */
