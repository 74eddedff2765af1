/*
 * unit_parser_fuzz.cpp - the simulated unit's firmware on arbitrary bytes from its OUT
 * endpoint, in arbitrary portions, with replies taken in arbitrary amounts and pipe resets
 * between them.
 *
 * Input: the unit's layout (one of a few flash sizes and block counts, the start address,
 * the version word and flash ID), then operations: a portion of bytes for the OUT endpoint,
 * taking up to some bytes of reply, or a pipe reset. Each portion is handed over in a block
 * of exactly its size, so the address sanitizer sees any read past what arrived.
 *
 * The harness keeps its own model of the unit, written from the command table and the
 * unit's rules: requests framed by the length their code implies; an unknown code drops
 * itself and the rest of its portion; each whole request answered by a reply of the table's
 * length with the code in its header; statuses in the order alignment, range, lock, erased
 * state; programming that only clears bits; read-back and checksums of the flash as the
 * model holds it. Every reply byte the unit gives must be the model's, and at the end the
 * unit's flash must be the model's.
 */
#include "fuzz/fuzz_support.h"

#include "unitsim/sim_unit.h"

#include <deque>
#include <vector>

/* Request and reply lengths of the command table, by code. */
static const size_t RequestLengths[10] = {4, 4, 8, 8, 8, 520, 10, 522, 12, 44};
static const size_t ReplyLengths[10] = {8, 20, 5, 5, 5, 5, 516, 4, 6, 4};

struct Layout {
    uint32_t Size;
    uint32_t Blocks;
};

/* Empty, smaller than a record, blocks that records straddle, a record count that is not a
 * power of two, one block, the boot block's eight. */
static const Layout Layouts[] = {
    {0, 0}, {0x300, 1}, {0xC00, 4}, {0x1200, 3}, {0x2000, 1}, {0x4000, 2}, {0x6000, 3}, {0x10000, 8},
};

struct UnitModel {
    uint32_t Address;
    uint32_t BlockSize;
    uint32_t OsVersion;
    uint32_t FlashId;
    std::vector<uint8_t> Flash;
    std::vector<bool> Locked;
    std::vector<uint8_t> Request; /* the request being assembled */
    std::deque<uint8_t> Replies;  /* what the IN endpoint must give, in order */
};

static uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void Put32(std::vector<uint8_t> &reply, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        reply[at + i] = (uint8_t)(value >> (8 * i));
    }
}

static uint8_t ModelProgram(UnitModel *m, uint32_t offset, const uint8_t *data)
{
    if (offset % 512 != 0) {
        return 0x05;
    }
    if ((uint64_t)offset + 512 > m->Flash.size()) {
        return 0x06;
    }
    for (uint32_t at = offset; at < offset + 512; at++) {
        if (m->Locked[at / m->BlockSize]) {
            return 0x03;
        }
    }
    for (uint32_t i = 0; i < 512; i++) {
        if ((m->Flash[offset + i] & data[i]) != data[i]) {
            return 0x04;
        }
    }
    for (uint32_t i = 0; i < 512; i++) {
        m->Flash[offset + i] = data[i];
    }
    return 0x00;
}

static void ModelExecute(UnitModel *m, unsigned code, const uint8_t *request)
{
    std::vector<uint8_t> reply(ReplyLengths[code], 0);
    reply[0] = (uint8_t)code;
    uint32_t blocks = (uint32_t)m->Locked.size();
    uint32_t block = RequestLengths[code] >= 8 ? Get32(request + 4) : 0;
    switch (code) {
    case 0:
        Put32(reply, 4, m->OsVersion);
        break;
    case 1:
        Put32(reply, 4, m->Address);
        Put32(reply, 8, (uint32_t)m->Flash.size());
        Put32(reply, 12, blocks);
        Put32(reply, 16, m->FlashId);
        break;
    case 2: /* EraseBlock */
        reply[4] = block >= blocks ? 0x01 : m->Locked[block] ? 0x02 : 0x00;
        if (reply[4] == 0) {
            memset(m->Flash.data() + (size_t)block * m->BlockSize, 0xFF, m->BlockSize);
        }
        break;
    case 3: /* UnlockBlock */
    case 4: /* LockBlock */
        reply[4] = block >= blocks ? 0x01 : 0x00;
        if (reply[4] == 0) {
            m->Locked[block] = code == 4;
        }
        break;
    case 5:
        reply[4] = ModelProgram(m, Get32(request + 4), request + 8);
        break;
    case 6: {
        uint32_t position = Get32(request + 4);
        for (uint32_t i = 0; i < 512; i++) {
            uint64_t at = (uint64_t)position + i;
            reply[4 + i] = at < m->Flash.size() ? m->Flash[at] : 0xFF;
        }
        break;
    }
    case 7:
        (void)ModelProgram(m, Get32(request + 4), request + 8);
        break;
    case 8: {
        uint64_t start = Get32(request + 4), end = start + Get32(request + 8);
        uint16_t sum = 0;
        for (uint64_t i = 0; i < m->Flash.size(); i++) {
            uint64_t address = m->Address + i;
            if (address >= start && address < end) {
                sum = (uint16_t)(sum + m->Flash[i]);
            }
        }
        reply[4] = (uint8_t)sum;
        reply[5] = (uint8_t)(sum >> 8);
        break;
    }
    default:
        break;
    }
    m->Replies.insert(m->Replies.end(), reply.begin(), reply.end());
}

static void ModelReceive(UnitModel *m, const uint8_t *data, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        m->Request.push_back(data[i]);
        if (m->Request.size() < 2) {
            continue;
        }
        unsigned code = m->Request[0] | m->Request[1] << 8;
        if (code >= 10) {
            m->Request.clear();
            return; /* the rest of the portion goes with it */
        }
        if (m->Request.size() == RequestLengths[code]) {
            ModelExecute(m, code, m->Request.data());
            m->Request.clear();
        }
    }
}

static void TakeAndCompare(SimUnit *unit, UnitModel *m, size_t maxLength)
{
    FUZZ_CHECK(SimUnitReplyPending(unit) == m->Replies.size(), "unit has %zu reply bytes waiting, the rules %zu",
               SimUnitReplyPending(unit), m->Replies.size());
    std::vector<uint8_t> buffer(maxLength + 1, 0xA5);
    size_t got = SimUnitTakeReply(unit, buffer.data(), maxLength);
    size_t expected = maxLength < m->Replies.size() ? maxLength : m->Replies.size();
    FUZZ_CHECK(got == expected, "took %zu reply bytes, the rules give %zu", got, expected);
    for (size_t i = 0; i < got; i++) {
        FUZZ_CHECK(buffer[i] == m->Replies.front(), "reply byte %zu is 0x%02X, the rules give 0x%02X", i, buffer[i],
                   m->Replies.front());
        m->Replies.pop_front();
    }
    FUZZ_CHECK(buffer[maxLength] == 0xA5, "reply written past the %zu bytes asked for", maxLength);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = FuzzInputOf(data, size);
    const Layout &layout = Layouts[FuzzTake8(&in) % (sizeof Layouts / sizeof Layouts[0])];

    SimConfig config;
    SimConfigDefaults(&config);
    config.FlashSize = layout.Size;
    config.BlockCount = layout.Blocks;
    uint32_t address = FuzzTake32(&in);
    config.FlashAddress = address > 0xFFFFFFFFu - layout.Size ? 0xFFFFFFFFu - layout.Size + 1 : address;
    if (layout.Size == 0) {
        config.FlashAddress = address;
    }
    config.OsVersion = FuzzTake32(&in);
    config.FlashId = FuzzTake32(&in);

    char error[256];
    SimUnit *unit = SimUnitCreate(&config, error, sizeof error);
    FUZZ_CHECK(unit != NULL, "power-on refused: %s", error);

    UnitModel model;
    model.Address = config.FlashAddress;
    model.BlockSize = layout.Blocks ? layout.Size / layout.Blocks : 0;
    model.OsVersion = config.OsVersion;
    model.FlashId = config.FlashId;
    model.Flash.assign(layout.Size, 0xFF);
    model.Locked.assign(layout.Blocks, true);

    while (FuzzMore(&in)) {
        uint8_t op = FuzzTake8(&in);
        switch (op % 4) {
        case 0:
        case 1: {
            size_t length = FuzzTake8(&in);
            if (op & 0x80) {
                length += (size_t)(FuzzTake8(&in) % 8) * 256; /* up to two whole write requests */
            }
            if (length > in.Size - in.Used) {
                length = in.Size - in.Used;
            }
            /* A block of exactly the portion's size. */
            uint8_t *portion = (uint8_t *)malloc(length ? length : 1);
            FuzzTakeBytes(&in, portion, length);
            SimUnitReceive(unit, portion, length);
            ModelReceive(&model, portion, length);
            free(portion);
            break;
        }
        case 2:
            TakeAndCompare(unit, &model, FuzzTake16(&in) % 1100);
            break;
        case 3:
            SimUnitResetPipes(unit);
            model.Replies.clear();
            model.Request.clear();
            break;
        }
    }
    TakeAndCompare(unit, &model, model.Replies.size());
    FUZZ_CHECK(layout.Size == 0 || memcmp(SimUnitFlash(unit), model.Flash.data(), layout.Size) == 0,
               "the unit's flash differs from what the rules leave");
    for (uint32_t block = 0; block < layout.Blocks; block++) {
        FUZZ_CHECK(SimUnitBlockLocked(unit, block) == model.Locked[block], "block %u lock state", block);
    }
    FUZZ_CHECK(SimUnitDestroy(unit), "power-off failed");
    return 0;
}
