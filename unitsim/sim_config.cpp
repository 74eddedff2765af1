/*
 * sim_config.cpp - the unit's configuration: defaults, MURVO_SIM_* settings, fault lists.
 *
 * Every setting is checked here, so the firmware can trust its SimConfig: the flash fits in
 * the 32-bit address space, the blocks divide it evenly, the fault list names real commands.
 */
#include "unitsim/sim_core.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SIM_MAX_FLASH_SIZE 0x40000000u /* 1 GiB: the flash lives in memory */

/* Formats a message into error (when it has room); always returns false for the caller. */
static bool SimFail(char *error, size_t errorSize, const char *format, ...)
{
    if (error != NULL && errorSize > 0) {
        va_list args;
        va_start(args, format);
        vsnprintf(error, errorSize, format, args);
        va_end(args);
    }
    return false;
}

/* Reads a numeric setting. Returns false with a message on a bad value; leaves *value
 * alone and sets *given to false when the variable is not set. */
static bool SimNumberSetting(const char *name, uint32_t *value, bool *given, char *error, size_t errorSize)
{
    const char *text = getenv(name);
    *given = false;
    if (text == NULL) {
        return true;
    }
    if (!SimParseNumber(text, value)) {
        return SimFail(error, errorSize,
                       "%s: \"%s\" is not a 32-bit number (decimal, 0x-hexadecimal, or decimal with K or M)", name,
                       text);
    }
    *given = true;
    return true;
}

/* Reads a path setting; an empty value counts as not set. */
static bool SimPathSetting(const char *name, char *path, size_t pathSize, char *error, size_t errorSize)
{
    const char *text = getenv(name);
    if (text == NULL || text[0] == '\0') {
        return true;
    }
    if (strlen(text) >= pathSize) {
        return SimFail(error, errorSize, "%s: the path is longer than %zu bytes", name, pathSize - 1);
    }
    strcpy(path, text);
    return true;
}

/* SimConfigFromEnv: defaults, then MURVO_SIM_FLASH_SIZE, _BLOCKS, _FLASH_ADDRESS, _FLASH_ID,
 * _OS_VERSION, _FLASH_FILE, _LOG and _FAULTS. The block count follows the flash size unless
 * MURVO_SIM_BLOCKS is given. On false, config holds no meaningful values. */
bool SimConfigFromEnv(SimConfig *config, char *error, size_t errorSize)
{
    bool given;
    bool blocksGiven;
    uint32_t blocks = 0;

    SimConfigDefaults(config);

    if (!SimNumberSetting("MURVO_SIM_FLASH_SIZE", &config->FlashSize, &given, error, errorSize)) {
        return false;
    }
    if (config->FlashSize > SIM_MAX_FLASH_SIZE) {
        return SimFail(error, errorSize, "MURVO_SIM_FLASH_SIZE: 0x%X is larger than the most the simulator holds, 0x%X",
                       (unsigned)config->FlashSize, (unsigned)SIM_MAX_FLASH_SIZE);
    }

    if (!SimNumberSetting("MURVO_SIM_BLOCKS", &blocks, &blocksGiven, error, errorSize)) {
        return false;
    }
    if (!blocksGiven) {
        config->BlockCount = SimConfigDefaultBlockCount(config->FlashSize);
    } else if (config->FlashSize == 0) {
        if (blocks != 0) {
            return SimFail(error, errorSize, "MURVO_SIM_BLOCKS: an empty flash (size 0) has no blocks, not %u",
                           (unsigned)blocks);
        }
        config->BlockCount = 0;
    } else {
        if (blocks == 0 || config->FlashSize % blocks != 0) {
            return SimFail(error, errorSize,
                           "MURVO_SIM_BLOCKS: %u does not divide the flash size 0x%X into equal blocks",
                           (unsigned)blocks, (unsigned)config->FlashSize);
        }
        config->BlockCount = blocks;
    }

    if (!SimNumberSetting("MURVO_SIM_FLASH_ADDRESS", &config->FlashAddress, &given, error, errorSize)) {
        return false;
    }
    /* GetChecksum works on absolute 32-bit addresses, so the whole flash must have one. */
    if ((uint64_t)config->FlashAddress + config->FlashSize > 0x100000000ull) {
        return SimFail(error, errorSize,
                       "MURVO_SIM_FLASH_ADDRESS: a flash of 0x%X bytes at 0x%X ends beyond address 0xFFFFFFFF",
                       (unsigned)config->FlashSize, (unsigned)config->FlashAddress);
    }

    if (!SimNumberSetting("MURVO_SIM_FLASH_ID", &config->FlashId, &given, error, errorSize)) {
        return false;
    }
    if (!SimNumberSetting("MURVO_SIM_OS_VERSION", &config->OsVersion, &given, error, errorSize)) {
        return false;
    }
    if (!SimPathSetting("MURVO_SIM_FLASH_FILE", config->FlashFile, sizeof config->FlashFile, error, errorSize)) {
        return false;
    }
    if (!SimPathSetting("MURVO_SIM_LOG", config->LogFile, sizeof config->LogFile, error, errorSize)) {
        return false;
    }

    const char *faults = getenv("MURVO_SIM_FAULTS");
    if (faults != NULL && !SimParseFaults(faults, config, error, errorSize)) {
        return false;
    }
    return true;
}

/* Parses one KIND:COMMAND:N[:VALUE] entry (entry is a writable copy) into fault. */
static bool SimParseFault(char *entry, SimFault *fault, char *error, size_t errorSize)
{
    char *fields[5];
    unsigned count = 0;
    char *p = entry;
    char original[256];

    snprintf(original, sizeof original, "%s", entry);

    /* Split on ':' by hand: strtok would merge empty fields and hide a mistake. */
    fields[count++] = p;
    for (; *p != '\0'; p++) {
        if (*p == ':') {
            if (count == 5) {
                break;
            }
            *p = '\0';
            fields[count++] = p + 1;
        }
    }
    if (count < 3 || count > 4) {
        return SimFail(error, errorSize, "MURVO_SIM_FAULTS: \"%s\" is not KIND:COMMAND:N or KIND:COMMAND:N:VALUE",
                       original);
    }

    memset(fault, 0, sizeof *fault);
    unsigned kind;
    for (kind = 0; kind <= (unsigned)SimFaultPortOff; kind++) {
        if (strcmp(fields[0], SimFaultKindName((SimFaultKind)kind)) == 0) {
            break;
        }
    }
    if (kind > (unsigned)SimFaultPortOff) {
        return SimFail(error, errorSize,
                       "MURVO_SIM_FAULTS: unknown fault kind \"%s\" (noreply, short, long, status, checksum, stall, "
                       "xfererr, delay, unplug, portoff)",
                       fields[0]);
    }
    fault->Kind = (SimFaultKind)kind;

    int command = SimCommandFromName(fields[1]);
    if (command < 0) {
        return SimFail(error, errorSize,
                       "MURVO_SIM_FAULTS: unknown command \"%s\" (names as GetOsVersion ... DisplayText)", fields[1]);
    }
    fault->Command = (unsigned)command;

    if (!SimParseNumber(fields[2], &fault->Occurrence) || fault->Occurrence == 0) {
        return SimFail(error, errorSize, "MURVO_SIM_FAULTS: occurrence \"%s\" is not a number from 1", fields[2]);
    }

    if (count == 4) {
        if (!SimParseNumber(fields[3], &fault->Value)) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: value \"%s\" is not a 32-bit number", fields[3]);
        }
        fault->HasValue = true;
    }

    const char *kindName = fields[0];
    bool needsValue = fault->Kind == SimFaultStatus || fault->Kind == SimFaultChecksum || fault->Kind == SimFaultDelay;
    if (needsValue && !fault->HasValue) {
        return SimFail(error, errorSize, "MURVO_SIM_FAULTS: fault kind %s needs a VALUE", kindName);
    }
    if (!needsValue && fault->HasValue) {
        return SimFail(error, errorSize, "MURVO_SIM_FAULTS: fault kind %s takes no VALUE", kindName);
    }

    if (fault->Kind == SimFaultStatus) {
        if (fault->Command < SimEraseBlock || fault->Command > SimWriteFlash) {
            return SimFail(error, errorSize,
                           "MURVO_SIM_FAULTS: %s has no status byte (status applies to EraseBlock, UnlockBlock, "
                           "LockBlock, WriteFlash)",
                           SimCommandName(fault->Command));
        }
        if (fault->Value > 0xFF) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: status value 0x%X does not fit in a byte",
                           (unsigned)fault->Value);
        }
    }
    if (fault->Kind == SimFaultChecksum) {
        if (fault->Command != SimGetChecksum) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: fault kind checksum applies to GetChecksum only");
        }
        if (fault->Value > 0xFFFF) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: checksum value 0x%X does not fit in 16 bits",
                           (unsigned)fault->Value);
        }
    }
    return true;
}

/* SimParseFaults: replaces the fault list of config with the entries of text, a comma-separated
 * list (empty text: no faults). On false the fault list of config is left as it was. */
bool SimParseFaults(const char *text, SimConfig *config, char *error, size_t errorSize)
{
    SimFault faults[SIM_MAX_FAULTS];
    unsigned count = 0;
    char entry[256];
    const char *p = text;

    if (*p == '\0') {
        config->FaultCount = 0;
        return true;
    }
    for (;;) {
        const char *end = strchr(p, ',');
        size_t length = end != NULL ? (size_t)(end - p) : strlen(p);
        if (length == 0) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: empty entry in \"%s\"", text);
        }
        if (length >= sizeof entry) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: entry longer than %zu characters", sizeof entry - 1);
        }
        if (count == SIM_MAX_FAULTS) {
            return SimFail(error, errorSize, "MURVO_SIM_FAULTS: more than %d faults", SIM_MAX_FAULTS);
        }
        memcpy(entry, p, length);
        entry[length] = '\0';
        if (!SimParseFault(entry, &faults[count], error, errorSize)) {
            return false;
        }
        count++;
        if (end == NULL) {
            break;
        }
        p = end + 1;
    }
    memcpy(config->Faults, faults, count * sizeof faults[0]);
    config->FaultCount = count;
    return true;
}
