/*
 * sim_internal.h - the host's unit record: the portable core (sim_core.h) with what the host
 * adds round it, a lock, the reply queue, the display history and the command log file.
 */
#ifndef MURVO_UNITSIM_SIM_INTERNAL_H
#define MURVO_UNITSIM_SIM_INTERNAL_H

#include "unitsim/sim_core.h"
#include "unitsim/sim_flash.h"

#include <stdio.h>

#include <array>
#include <deque>
#include <mutex>
#include <vector>

/* The state file's record (sim_state_file.cpp), mapped shared. */
struct SimState {
    char Magic[8];       /* SIM_STATE_MAGIC */
    uint32_t BlockCount; /* of the unit that wrote it; another layout starts afresh */
    uint32_t BacklogLength;
    uint8_t Backlog[SIM_MAX_BACKLOG]; /* reply bytes waiting on the IN endpoint */
    uint8_t Locked[1];                /* BlockCount lock flags follow */
};

/* Maps the state file at path into unit->State and puts the flash's lock flags in it: the
 * file's own when it holds this layout's, else every block locked (a missing file is made).
 * False with a message when the file cannot be made or mapped. */
bool SimStateMapFile(SimUnit *unit, const char *path, char *error, size_t errorSize);

/* Lets go of the state file's mapping (the flash's lock flags go with it). */
void SimStateUnmap(SimUnit *unit);

struct SimUnit {
    /* Serialises every entry point: the bus side may push requests and take replies from
     * different threads. Guards every field below. */
    std::mutex Lock;

    SimCore Core;                                                      /* the firmware, its flash and its counts */
    std::deque<uint8_t> Replies;                                       /* reply bytes waiting for the IN endpoint */
    std::vector<std::array<uint8_t, SIM_DISPLAY_SIZE>> DisplayHistory; /* every text, in order */

    SimState *State;                       /* the state file's mapping, or NULL (sim_state_file.cpp) */
    std::vector<uint8_t> BacklogAtPowerOn; /* what the state file held at power-on, until taken */

    FILE *Log;      /* the command log, or NULL */
    bool LogFailed; /* a log write failed; reported once */
};

#endif /* MURVO_UNITSIM_SIM_INTERNAL_H */
