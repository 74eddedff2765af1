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

struct SimUnit {
    /* Serialises every entry point: the bus side may push requests and take replies from
     * different threads. Guards every field below. */
    std::mutex Lock;

    SimCore Core;                                                      /* the firmware, its flash and its counts */
    std::deque<uint8_t> Replies;                                       /* reply bytes waiting for the IN endpoint */
    std::vector<std::array<uint8_t, SIM_DISPLAY_SIZE>> DisplayHistory; /* every text, in order */

    FILE *Log;      /* the command log, or NULL */
    bool LogFailed; /* a log write failed; reported once */
};

#endif /* MURVO_UNITSIM_SIM_INTERNAL_H */
