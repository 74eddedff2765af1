/*
 * sim_unit.cpp - the host's unit round the portable core: power on and off, the lock, the
 * reply queue, the command log file, the display history and the read-only views.
 */
#include "unitsim/sim_internal.h"

#include <errno.h>
#include <new>
#include <stdlib.h>
#include <string.h>

static void SimQueueReply(void *context, const uint8_t *bytes, size_t length)
{
    SimUnit *unit = static_cast<SimUnit *>(context);
    unit->Replies.insert(unit->Replies.end(), bytes, bytes + length);
}

/* Each line is flushed at once so the log survives a process that ends without powering the
 * unit off. */
static void SimWriteLog(void *context, const char *line)
{
    SimUnit *unit = static_cast<SimUnit *>(context);
    if (unit->Log == NULL) {
        return;
    }
    if (fprintf(unit->Log, "%s\n", line) < 0 || fflush(unit->Log) != 0) {
        if (!unit->LogFailed) {
            fprintf(stderr, "unitsim: writing the command log %s failed\n", unit->Core.Config.LogFile);
        }
        unit->LogFailed = true;
    }
}

static void SimKeepDisplay(void *context, const uint8_t *text)
{
    SimUnit *unit = static_cast<SimUnit *>(context);
    std::array<uint8_t, SIM_DISPLAY_SIZE> copy;
    memcpy(copy.data(), text, SIM_DISPLAY_SIZE);
    unit->DisplayHistory.push_back(copy);
}

/* SimUnitCreate: see sim_unit.h. The command log is opened for appending, so a unit powered
 * on again (after an unplug, or in the next run) adds to the same log. */
SimUnit *SimUnitCreate(const SimConfig *config, char *error, size_t errorSize)
{
    SimUnit *unit = new (std::nothrow) SimUnit();
    if (unit == NULL) {
        snprintf(error, errorSize, "out of memory for the simulated unit");
        return NULL;
    }
    uint8_t *bytes = static_cast<uint8_t *>(malloc(SimCoreFlashBytes(config)));
    uint8_t *locks = static_cast<uint8_t *>(malloc(SimCoreLockBytes(config)));
    SimCoreHooks hooks = {unit, SimQueueReply, SimWriteLog, SimKeepDisplay};
    if (bytes == NULL || locks == NULL) {
        free(bytes);
        free(locks);
        snprintf(error, errorSize, "out of memory for a flash of 0x%X bytes", (unsigned)config->FlashSize);
        goto err_delete;
    }
    SimCoreInit(&unit->Core, config, bytes, locks, false, &hooks);
    if (config->FlashFile[0] != '\0' && !SimFlashMapFile(&unit->Core.Flash, config->FlashFile, error, errorSize)) {
        goto err_free_flash;
    }
    if (config->LogFile[0] != '\0') {
        unit->Log = fopen(config->LogFile, "a");
        if (unit->Log == NULL) {
            snprintf(error, errorSize, "command log %s: %s", config->LogFile, strerror(errno));
            goto err_free_flash;
        }
    }
    return unit;

err_free_flash:
    SimFlashFree(&unit->Core.Flash);
err_delete:
    delete unit;
    return NULL;
}

/* SimUnitDestroy: see sim_unit.h. The flash file already holds every change; power-off
 * waits until it is on disk. The unit is freed even when that fails. */
bool SimUnitDestroy(SimUnit *unit)
{
    char error[1200];
    bool saved = true;

    if (unit == NULL) {
        return true;
    }
    const char *flashFile = unit->Core.Config.FlashFile;
    if (flashFile[0] != '\0' && !SimFlashSync(&unit->Core.Flash, flashFile, error, sizeof error)) {
        fprintf(stderr, "unitsim: %s\n", error);
        saved = false;
    }
    if (unit->Log != NULL) {
        fclose(unit->Log);
    }
    SimFlashFree(&unit->Core.Flash);
    delete unit;
    return saved;
}

/* SimUnitSaveFlash: see sim_unit.h. */
bool SimUnitSaveFlash(SimUnit *unit, char *error, size_t errorSize)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    if (unit->Core.Config.FlashFile[0] == '\0') {
        return true;
    }
    return SimFlashSync(&unit->Core.Flash, unit->Core.Config.FlashFile, error, errorSize);
}

/* SimUnitReceive: see sim_unit.h; the core frames and runs the requests. */
void SimUnitReceive(SimUnit *unit, const uint8_t *data, size_t length)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    SimCoreReceive(&unit->Core, data, length);
}

/* SimUnitReplyPending: see sim_unit.h. */
size_t SimUnitReplyPending(SimUnit *unit)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return unit->Replies.size();
}

/* SimUnitTakeReply: see sim_unit.h. */
size_t SimUnitTakeReply(SimUnit *unit, uint8_t *buffer, size_t maxLength)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    size_t count = unit->Replies.size() < maxLength ? unit->Replies.size() : maxLength;
    std::copy(unit->Replies.begin(), unit->Replies.begin() + (ptrdiff_t)count, buffer);
    unit->Replies.erase(unit->Replies.begin(), unit->Replies.begin() + (ptrdiff_t)count);
    return count;
}

/* SimUnitResetPipes: see sim_unit.h. */
void SimUnitResetPipes(SimUnit *unit)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    unit->Replies.clear();
    SimCoreResetRequest(&unit->Core);
}

/* SimUnitTakeBusFault: see sim_unit.h. */
bool SimUnitTakeBusFault(SimUnit *unit, SimFault *fault)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return SimCoreTakeBusFault(&unit->Core, fault);
}

/* SimUnitFlash: see sim_unit.h. The bytes are not copied: read them while no request runs. */
const uint8_t *SimUnitFlash(SimUnit *unit)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return unit->Core.Flash.Bytes;
}

/* SimUnitBlockLocked: see sim_unit.h; a block out of range counts as locked. */
bool SimUnitBlockLocked(SimUnit *unit, uint32_t block)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return block >= unit->Core.Flash.BlockCount || unit->Core.Flash.Locked[block] != 0;
}

/* SimUnitDisplay: see sim_unit.h; empty before the first DisplayText. */
void SimUnitDisplay(SimUnit *unit, char text[41])
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    memcpy(text, unit->Core.Display, SIM_DISPLAY_SIZE);
    text[SIM_DISPLAY_SIZE] = '\0';
}

/* SimUnitCommandCount: see sim_unit.h; 0 for an unknown code. */
uint32_t SimUnitCommandCount(SimUnit *unit, unsigned command)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return command < SIM_COMMAND_COUNT ? unit->Core.CommandCounts[command] : 0;
}

/* SimUnitDisplayCount: see sim_unit.h. */
size_t SimUnitDisplayCount(SimUnit *unit)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    return unit->DisplayHistory.size();
}

/* SimUnitDisplayAt: see sim_unit.h. */
bool SimUnitDisplayAt(SimUnit *unit, size_t index, uint8_t text[SIM_DISPLAY_SIZE])
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    if (index >= unit->DisplayHistory.size()) {
        return false;
    }
    memcpy(text, unit->DisplayHistory[index].data(), SIM_DISPLAY_SIZE);
    return true;
}

/* SimUnitGetConfig: see sim_unit.h. */
void SimUnitGetConfig(SimUnit *unit, SimConfig *config)
{
    std::lock_guard<std::mutex> guard(unit->Lock);
    *config = unit->Core.Config;
}
