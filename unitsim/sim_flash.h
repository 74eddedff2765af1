/*
 * sim_flash.h - where the host's simulated unit keeps its flash: memory, or a flash file
 * mapped shared (sim_flash_file.cpp). The flash model itself is the core's (sim_core.h).
 */
#ifndef MURVO_UNITSIM_SIM_FLASH_H
#define MURVO_UNITSIM_SIM_FLASH_H

#include "unitsim/sim_core.h"

/* Frees the flash's memory (malloc), or unmaps the flash file. */
void SimFlashFree(SimFlash *flash);

/* Makes the flash file at path the flash itself: its bytes become the flash's, mapped
 * shared, so every erase and write is in the file as soon as it is done. A missing file is
 * made erased (whole under "<path>.tmp", then renamed). False with a message when the file
 * cannot be made or mapped, or its length differs from the flash size. */
bool SimFlashMapFile(SimFlash *flash, const char *path, char *error, size_t errorSize);

/* Waits until the mapped flash file is written out to its disk; true for a flash in memory.
 * False with a message (naming path) on failure. */
bool SimFlashSync(const SimFlash *flash, const char *path, char *error, size_t errorSize);

/* Lets go of the flash file's mapping (SimFlashFree calls it). */
void SimFlashUnmap(SimFlash *flash);

#endif /* MURVO_UNITSIM_SIM_FLASH_H */
