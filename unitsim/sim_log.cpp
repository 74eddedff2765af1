/*
 * sim_log.cpp - the command log: one line per request, its name and parameters.
 */
#include "unitsim/sim_internal.h"

#include <string.h>

/* Appends the printable form of a display field: its bytes up to the first zero (all 40 when
 * there is none), printable ASCII as itself, anything else as \xNN. */
static void SimAppendDisplayText(const uint8_t *field, char *line, size_t lineSize)
{
    size_t used = strlen(line);
    for (unsigned i = 0; i < SIM_DISPLAY_SIZE && field[i] != 0; i++) {
        uint8_t byte = field[i];
        if (used + 5 > lineSize) {
            break; /* the caller's line holds any 40 bytes; stay safe with a shorter one */
        }
        if (byte >= 0x20 && byte <= 0x7E) {
            used += (size_t)snprintf(line + used, lineSize - used, "%c", byte);
        } else {
            used += (size_t)snprintf(line + used, lineSize - used, "\\x%02X", byte);
        }
    }
}

/* SimFormatLogLine: see sim_internal.h. Parameters are written 0x-hexadecimal, upper case,
 * without padding; data bytes are never written. */
void SimFormatLogLine(unsigned code, const uint8_t *request, char *line, size_t lineSize)
{
    const char *name = SimCommandName(code);
    switch (code) {
    case SimEraseBlock:
    case SimUnlockBlock:
    case SimLockBlock:
    case SimWriteFlash:
        snprintf(line, lineSize, "%s 0x%X", name, (unsigned)SimGet32(request + 4));
        break;
    case SimReadRecord:
        snprintf(line, lineSize, "%s 0x%X 0x%X", name, (unsigned)SimGet32(request + 4),
                 (unsigned)SimGet16(request + 8));
        break;
    case SimWriteRecord:
        snprintf(line, lineSize, "%s 0x%X 0x%X", name, (unsigned)SimGet32(request + 4),
                 (unsigned)SimGet16(request + 520));
        break;
    case SimGetChecksum:
        snprintf(line, lineSize, "%s 0x%X 0x%X", name, (unsigned)SimGet32(request + 4),
                 (unsigned)SimGet32(request + 8));
        break;
    case SimDisplayText:
        snprintf(line, lineSize, "%s ", name);
        SimAppendDisplayText(request + 4, line, lineSize);
        break;
    default:
        snprintf(line, lineSize, "%s", name);
        break;
    }
}

/* SimWriteLog: see sim_internal.h. Each line is flushed at once so the log survives a process
 * that ends without powering the unit off. */
void SimWriteLog(SimUnit *unit, const char *line)
{
    if (unit->Log == NULL) {
        return;
    }
    if (fprintf(unit->Log, "%s\n", line) < 0 || fflush(unit->Log) != 0) {
        if (!unit->LogFailed) {
            fprintf(stderr, "unitsim: writing the command log %s failed\n", unit->Config.LogFile);
        }
        unit->LogFailed = true;
    }
}
