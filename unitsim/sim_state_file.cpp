/*
 * sim_state_file.cpp - the unit's powered state in a file: the block locks and the reply bytes
 * waiting on its IN endpoint.
 *
 * A real unit outlives the program that drives it: it stays powered while the program ends
 * and the next one starts, keeping its locks and any reply nobody read. The state file gives
 * the simulated unit the same property. It is mapped shared, so each change is in the file
 * at once and a run that is killed leaves the state as it was at that moment.
 */
#include "unitsim/sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static const char SimStateMagic[8] = {'M', 'U', 'R', 'V', 'O', 'S', 'T', '1'};

/* Bytes of the record of a unit with blockCount blocks. */
static size_t SimStateSize(uint32_t blockCount) { return offsetof(SimState, Locked) + (size_t)blockCount + 1; }

/* SimStateMapFile: see sim_internal.h. */
bool SimStateMapFile(SimUnit *unit, const char *path, char *error, size_t errorSize)
{
    SimFlash *flash = &unit->Core.Flash;
    size_t size = SimStateSize(flash->BlockCount);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        snprintf(error, errorSize, "state file %s: %s", path, strerror(errno));
        return false;
    }
    struct stat info;
    bool sized = fstat(fd, &info) == 0 && (uint64_t)info.st_size == size;
    if (!sized && ftruncate(fd, (off_t)size) != 0) {
        snprintf(error, errorSize, "state file %s: %s", path, strerror(errno));
        close(fd);
        return false;
    }
    void *mapping = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd); /* the mapping holds the file */
    if (mapping == MAP_FAILED) {
        snprintf(error, errorSize, "state file %s: %s", path, strerror(saved));
        return false;
    }
    SimState *state = (SimState *)mapping;
    if (!sized || memcmp(state->Magic, SimStateMagic, sizeof SimStateMagic) != 0 ||
        state->BlockCount != flash->BlockCount || state->BacklogLength > SIM_MAX_BACKLOG) {
        /* A new unit, or one of another layout: powered on afresh, every block locked. */
        memset(state, 0, size);
        state->BlockCount = flash->BlockCount;
        memset(state->Locked, 1, flash->BlockCount);
        memcpy(state->Magic, SimStateMagic, sizeof SimStateMagic);
    }
    unit->BacklogAtPowerOn.assign(state->Backlog, state->Backlog + state->BacklogLength);
    free(flash->Locked);
    flash->Locked = state->Locked;
    flash->LocksMapped = true;
    unit->State = state;
    return true;
}

/* SimStateUnmap: see sim_internal.h. */
void SimStateUnmap(SimUnit *unit)
{
    if (unit->State == NULL) {
        return;
    }
    munmap(unit->State, SimStateSize(unit->Core.Flash.BlockCount));
    unit->State = NULL;
    unit->Core.Flash.Locked = NULL;
    unit->Core.Flash.LocksMapped = false;
}
