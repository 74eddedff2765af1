/*
 * sim_internal.h - the unit record and the routines shared inside unitsim.
 */
#ifndef MURVO_UNITSIM_SIM_INTERNAL_H
#define MURVO_UNITSIM_SIM_INTERNAL_H

#include "unitsim/sim_flash.h"
#include "unitsim/sim_unit.h"

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

    SimConfig Config;
    SimFlash Flash;

    uint8_t Request[SIM_MAX_REQUEST_LENGTH]; /* the request being assembled */
    size_t RequestFill;                      /* bytes of it received so far */
    std::deque<uint8_t> Replies;             /* reply bytes waiting for the IN endpoint */

    uint32_t CommandCounts[SIM_COMMAND_COUNT]; /* requests received, per command */

    uint8_t Display[SIM_DISPLAY_SIZE];                                 /* the last text shown */
    std::vector<std::array<uint8_t, SIM_DISPLAY_SIZE>> DisplayHistory; /* every text, in order */

    bool BusFaultPending; /* BusFault is due for the last command received */
    SimFault BusFault;

    SimState *State;                       /* the state file's mapping, or NULL (sim_state_file.cpp) */
    std::vector<uint8_t> BacklogAtPowerOn; /* what the state file held at power-on, until taken */

    FILE *Log;      /* the command log, or NULL */
    bool LogFailed; /* a log write failed; reported once */
};

/* Formats the log line of a whole request of command code (a valid code), without a line
 * feed, into line. */
void SimFormatLogLine(unsigned code, const uint8_t *request, char *line, size_t lineSize);

/* Runs one whole request of command code (a valid code) against the unit and queues its reply,
 * with the faults due for this occurrence. Caller holds unit->Lock. */
void SimExecuteRequest(SimUnit *unit, unsigned code, const uint8_t *request);

/* Writes one line to the command log, when there is one. Caller holds unit->Lock. */
void SimWriteLog(SimUnit *unit, const char *line);

/* Little-endian field access of the records. */
static inline uint32_t SimGet32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline uint16_t SimGet16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

static inline void SimPut32(uint8_t *p, uint32_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)(value >> 16);
    p[3] = (uint8_t)(value >> 24);
}

static inline void SimPut16(uint8_t *p, uint16_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}

#endif /* MURVO_UNITSIM_SIM_INTERNAL_H */
