/*
 * unit_commands.cpp - the command wrappers and the one transaction beneath them.
 */
#include "tool/unit_commands.h"

#include "tool/fatal_error.h"
#include "tool/transport.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* The simulated unit keeps its own copy of this table (unitsim/sim_commands.cpp) on purpose:
 * the tool and the unit are the two ends of the protocol, and a length wrong on one end
 * shows up as a refused or short record in the tests instead of agreeing with itself. */
const UnitCommandShape UnitCommandShapes[UNIT_COMMAND_COUNT] = {
    {"GetOsVersion", 4, 8}, {"GetFlashInfo", 4, 20}, {"EraseBlock", 8, 5},    {"UnlockBlock", 8, 5},
    {"LockBlock", 8, 5},    {"WriteFlash", 520, 5},  {"ReadRecord", 10, 516}, {"WriteRecord", 522, 4},
    {"GetChecksum", 12, 6}, {"DisplayText", 44, 4},
};

static void Put16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

static void Put32(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

static uint16_t Get16(const uint8_t *at) { return (uint16_t)(at[0] | (at[1] << 8)); }

static uint32_t Get32(const uint8_t *at)
{
    return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) | ((uint32_t)at[3] << 24);
}

bool SendCommand(uint16_t code, UnitCommand *request, uint32_t requestLength, UnitReply *reply, uint32_t replyLength)
{
    Put16(request->Bytes, code);
    request->Bytes[2] = 0;
    request->Bytes[3] = 0;
    if (!TransportWrite(request->Bytes, requestLength, NULL)) {
        FatalError("Failed to send USB command");
    }
    if (!TransportRead(reply->Bytes, replyLength, 0, NULL)) {
        FatalError("Failed to receive USB reply");
    }
    return true;
}

/* One transaction of the command code with the lengths of the command table. */
static void Transact(UnitCommandCode code, UnitCommand *request, UnitReply *reply)
{
    SendCommand((uint16_t)code, request, UnitCommandShapes[code].RequestLength, reply,
                UnitCommandShapes[code].ReplyLength);
}

uint32_t GetOsVersion(void)
{
    UnitCommand request;
    UnitReply reply;
    Transact(CmdGetOsVersion, &request, &reply);
    return Get32(reply.Bytes + 4);
}

uint32_t GetFlashInfo(uint32_t *flashAddress, uint32_t *flashSize, uint32_t *blockCount)
{
    UnitCommand request;
    UnitReply reply;
    Transact(CmdGetFlashInfo, &request, &reply);
    *flashAddress = Get32(reply.Bytes + 4);
    *flashSize = Get32(reply.Bytes + 8);
    *blockCount = Get32(reply.Bytes + 12);
    return Get32(reply.Bytes + 16);
}

/* The three block commands share one shape: a block number in, a status byte out. */
static uint8_t BlockCommand(UnitCommandCode code, uint32_t block)
{
    UnitCommand request;
    UnitReply reply;
    Put32(request.Bytes + 4, block);
    Transact(code, &request, &reply);
    return reply.Bytes[4];
}

uint8_t EraseBlock(uint32_t block) { return BlockCommand(CmdEraseBlock, block); }

uint8_t UnlockBlock(uint32_t block) { return BlockCommand(CmdUnlockBlock, block); }

uint8_t LockBlock(uint32_t block) { return BlockCommand(CmdLockBlock, block); }

uint8_t WriteFlash(uint32_t offset, const uint8_t *data)
{
    UnitCommand request;
    UnitReply reply;
    Put32(request.Bytes + 4, offset);
    memcpy(request.Bytes + 8, data, UNIT_RECORD_DATA);
    Transact(CmdWriteFlash, &request, &reply);
    return reply.Bytes[4];
}

void ReadRecord(uint32_t position, uint8_t *data, uint16_t parameter)
{
    UnitCommand request;
    UnitReply reply;
    Put32(request.Bytes + 4, position);
    Put16(request.Bytes + 8, parameter);
    Transact(CmdReadRecord, &request, &reply);
    memcpy(data, reply.Bytes + 4, UNIT_RECORD_DATA);
}

bool WriteRecord(uint32_t position, const uint8_t *data, uint16_t parameter)
{
    UnitCommand request;
    UnitReply reply;
    Put32(request.Bytes + 4, position);
    memcpy(request.Bytes + 8, data, UNIT_RECORD_DATA);
    Put16(request.Bytes + 520, parameter);
    Transact(CmdWriteRecord, &request, &reply);
    return true;
}

uint16_t GetChecksum(uint32_t start, uint32_t length)
{
    UnitCommand request;
    UnitReply reply;
    Put32(request.Bytes + 4, start);
    Put32(request.Bytes + 8, length);
    Transact(CmdGetChecksum, &request, &reply);
    return Get16(reply.Bytes + 4);
}

bool DisplayText(const uint8_t *text)
{
    UnitCommand request;
    UnitReply reply;
    memcpy(request.Bytes + 4, text, UNIT_DISPLAY_WIDTH);
    Transact(CmdDisplayText, &request, &reply);
    return true;
}

bool DisplayFormat(const char *format, ...)
{
    /* One byte more than the field, for the terminator vsnprintf always writes; the bytes
     * after a short text's zero are zero too. */
    char text[UNIT_DISPLAY_WIDTH + 1];
    memset(text, 0, sizeof text);
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return DisplayText((const uint8_t *)text);
}
