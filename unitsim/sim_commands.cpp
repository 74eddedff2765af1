/*
 * sim_commands.cpp - the command table of the unit: names and record lengths per code.
 */
#include "unitsim/sim_unit.h"

#include <string.h>

struct SimCommandInfo {
    const char *Name;
    uint16_t RequestLength; /* whole request record, the 4-byte header included */
    uint16_t ReplyLength;   /* whole reply record, the 4-byte header included */
};

/* Indexed by command code. The tool keeps its own copy of this table (tool/unit_commands.cpp)
 * on purpose: the unit and the tool are the two ends of the protocol, and a length wrong on
 * one end shows up as a refused or short record in the tests instead of agreeing with itself. */
static const SimCommandInfo SimCommandTable[SIM_COMMAND_COUNT] = {
    {"GetOsVersion", 4, 8}, {"GetFlashInfo", 4, 20}, {"EraseBlock", 8, 5},    {"UnlockBlock", 8, 5},
    {"LockBlock", 8, 5},    {"WriteFlash", 520, 5},  {"ReadRecord", 10, 516}, {"WriteRecord", 522, 4},
    {"GetChecksum", 12, 6}, {"DisplayText", 44, 4},
};

static const char *const SimFaultKindNames[] = {
    "noreply", "short", "long", "status", "checksum", "stall", "xfererr", "delay", "unplug", "portoff",
};

/* SimCommandName: the table name of command, or NULL when the code is not in the table. */
const char *SimCommandName(unsigned command)
{
    return command < SIM_COMMAND_COUNT ? SimCommandTable[command].Name : NULL;
}

/* SimCommandRequestLength: bytes of a whole request of command; 0 for an unknown code. */
size_t SimCommandRequestLength(unsigned command)
{
    return command < SIM_COMMAND_COUNT ? SimCommandTable[command].RequestLength : 0;
}

/* SimCommandReplyLength: bytes of a whole reply of command; 0 for an unknown code. */
size_t SimCommandReplyLength(unsigned command)
{
    return command < SIM_COMMAND_COUNT ? SimCommandTable[command].ReplyLength : 0;
}

/* SimCommandFromName: the code of the command spelled exactly name (case matters), or -1. */
int SimCommandFromName(const char *name)
{
    for (unsigned i = 0; i < SIM_COMMAND_COUNT; i++) {
        if (strcmp(SimCommandTable[i].Name, name) == 0) {
            return (int)i;
        }
    }
    return -1;
}

/* SimFaultKindName: the spelling of kind in a fault list, or "?" for a value out of range. */
const char *SimFaultKindName(SimFaultKind kind)
{
    unsigned index = (unsigned)kind;
    return index < sizeof SimFaultKindNames / sizeof SimFaultKindNames[0] ? SimFaultKindNames[index] : "?";
}

/* SimParseNumber: decimal digits, or "0x"/"0X" and hexadecimal digits, the whole text; a
 * decimal number may end in K or k (x1024), M (x1048576) or G (x1073741824). No sign, no spaces. False when
 * the text is anything else or the value does not fit in 32 bits; *value is then left alone.
 * murvorom reads its numbers with it too, so an image size and a flash size are written
 * the same way. */
bool SimParseNumber(const char *text, uint32_t *value)
{
    uint64_t result = 0;
    unsigned base = 10;
    const char *p = text;

    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    const char *digits = p;
    for (; *p != '\0'; p++) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') {
            digit = (unsigned)(*p - '0');
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            digit = (unsigned)(*p - 'a' + 10);
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            digit = (unsigned)(*p - 'A' + 10);
        } else {
            break;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) {
            return false;
        }
    }
    if (p == digits) {
        return false;
    }
    if (base == 10 && (*p == 'K' || *p == 'k') && p[1] == '\0') {
        result *= 1024;
        p++;
    } else if (base == 10 && *p == 'M' && p[1] == '\0') {
        result *= 1024 * 1024;
        p++;
    } else if (base == 10 && *p == 'G' && p[1] == '\0') {
        result *= 1024 * 1024 * 1024;
        p++;
    }
    if (*p != '\0' || result > 0xFFFFFFFFull) {
        return false;
    }
    *value = (uint32_t)result;
    return true;
}
