/*
 * scripted_unit.cpp - the transport operations and the console key of the tool's tests.
 */
#include "scripted_unit.h"

#include "tool/console_key.h"
#include "tool/rom_image.h"
#include "tool/transport.h"

#include <string.h>

ScriptedUnit Unit;
int ScriptedKey = 'Y';
std::string ScriptedQuestion;

void ResetScriptedUnit(void)
{
    Unit = ScriptedUnit();
    ScriptedKey = 'Y';
    ScriptedQuestion.clear();
}

int ReadConsoleKey(const char *question)
{
    ScriptedQuestion = question;
    return ScriptedKey;
}

uint32_t ScriptedRequest::Param32(size_t offset) const
{
    return (uint32_t)Bytes.at(offset) | ((uint32_t)Bytes.at(offset + 1) << 8) | ((uint32_t)Bytes.at(offset + 2) << 16) |
           ((uint32_t)Bytes.at(offset + 3) << 24);
}

std::vector<ScriptedRequest> ScriptedUnit::Of(uint16_t code) const
{
    std::vector<ScriptedRequest> found;
    for (const ScriptedRequest &request : Requests) {
        if (request.Code == code) {
            found.push_back(request);
        }
    }
    return found;
}

std::vector<std::string> ScriptedUnit::Trace() const
{
    static const char *const names[] = {"Version", "Info",       "Erase",       "Unlock",   "Lock",
                                        "Write",   "ReadRecord", "WriteRecord", "Checksum", "Display"};
    std::vector<std::string> trace;
    for (const ScriptedRequest &request : Requests) {
        std::string line = request.Code < 10 ? names[request.Code] : "?";
        if (request.Code >= 2 && request.Code <= 5) {
            line += " " + std::to_string(request.Param32(4));
        }
        trace.push_back(line);
    }
    return trace;
}

static void Put32(std::vector<uint8_t> &reply, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        reply[offset + i] = (uint8_t)(value >> (8 * i));
    }
}

bool OpenTransport(void)
{
    if (Unit.OpenFails) {
        return false;
    }
    Unit.Opened = true;
    return true;
}

unsigned TransportUnitsFound(void) { return Unit.UnitsFound; }

const char *TransportUnitName(void) { return "scripted unit"; }

void CloseTransport(void)
{
    Unit.CloseCalls++;
    Unit.Opened = false;
}

/* The reply of the scripted unit to one whole request. */
static std::vector<uint8_t> Answer(const ScriptedRequest &request)
{
    static const uint32_t replyLengths[] = {8, 20, 5, 5, 5, 5, 516, 4, 6, 4};
    std::vector<uint8_t> reply(request.Code < 10 ? replyLengths[request.Code] : 4, 0xEE);
    uint32_t occurrence = ++Unit.Counts[request.Code];
    auto status = Unit.Statuses.find({request.Code, occurrence});
    uint8_t statusByte = status == Unit.Statuses.end() ? 0 : status->second;
    switch (request.Code) {
    case 0:
        Put32(reply, 4, Unit.OsVersion);
        break;
    case 1:
        Put32(reply, 4, Unit.FlashAddress);
        Put32(reply, 8, Unit.FlashSize);
        Put32(reply, 12, Unit.BlockCount);
        Put32(reply, 16, Unit.FlashId);
        break;
    case 5:
        Unit.WrittenSum = (uint16_t)(Unit.WrittenSum + ByteSum16(request.Bytes.data() + 8, 512));
        reply[4] = statusByte;
        break;
    case 2:
    case 3:
    case 4:
        reply[4] = statusByte;
        break;
    case 8: {
        uint16_t sum = Unit.ChecksumSet ? Unit.Checksum : Unit.WrittenSum;
        reply[4] = (uint8_t)sum;
        reply[5] = (uint8_t)(sum >> 8);
        break;
    }
    default:
        break;
    }
    if (request.Code == Unit.ShortenReplyOfCode) {
        reply.pop_back();
    }
    return reply;
}

bool TransportWrite(const void *data, uint32_t length, uint32_t *count)
{
    Unit.Writes++;
    if (count != NULL) {
        *count = length;
    }
    if (Unit.FailWriteAt == Unit.Writes) {
        return false;
    }
    ScriptedRequest request;
    request.Bytes.assign((const uint8_t *)data, (const uint8_t *)data + length);
    request.Code = length >= 2 ? (uint16_t)(request.Bytes[0] | (request.Bytes[1] << 8)) : 0xFFFF;
    Unit.Requests.push_back(request);
    if (Unit.OnRequest) {
        Unit.OnRequest(request);
    }
    Unit.PendingReply = Answer(request);
    return true;
}

bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count)
{
    (void)extraMs;
    Unit.Reads++;
    std::vector<uint8_t> reply;
    reply.swap(Unit.PendingReply);
    if (Unit.FailReadAt == Unit.Reads || reply.size() != length) {
        if (count != NULL) {
            *count = 0;
        }
        return false;
    }
    memcpy(buffer, reply.data(), length);
    if (count != NULL) {
        *count = length;
    }
    return true;
}
