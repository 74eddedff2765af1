/*
 * sim_flash.h - the flash model of the simulated unit.
 *
 * A flash of Size bytes at absolute address Address, cut into BlockCount erase blocks of
 * equal size. Erasing sets a block to 0xFF; programming can only clear bits; every block
 * is locked at power-on and must be unlocked before it can be erased or programmed.
 * Not locked: the unit's lock covers every call.
 */
#ifndef MURVO_UNITSIM_SIM_FLASH_H
#define MURVO_UNITSIM_SIM_FLASH_H

#include "unitsim/sim_unit.h"

struct SimFlash {
    uint32_t Address; /* absolute address of Bytes[0] */
    uint32_t Size;
    uint32_t BlockCount;
    uint32_t BlockSize; /* Size / BlockCount; 0 for an empty flash */
    uint8_t *Bytes;     /* Size bytes: malloc, or a shared mapping of the flash file */
    bool Mapped;        /* Bytes is the mapping of the flash file */
    uint8_t *Locked;    /* BlockCount flags, non-zero = locked (malloc, or in the state file's mapping) */
    bool LocksMapped;   /* Locked lies in the state file's mapping: not freed here */
};

/* Allocates an erased, fully locked flash of the configured layout. False when memory is short. */
bool SimFlashInit(SimFlash *flash, const SimConfig *config);

/* Frees what SimFlashInit allocated, or unmaps the flash file. */
void SimFlashFree(SimFlash *flash);

/* Makes the flash file at path the flash itself (sim_flash_file.cpp): its bytes become the
 * flash's, mapped shared, so every erase and write is in the file as soon as it is done. A
 * missing file is made erased (whole under "<path>.tmp", then renamed). False with a message
 * when the file cannot be made or mapped, or its length differs from the flash size. */
bool SimFlashMapFile(SimFlash *flash, const char *path, char *error, size_t errorSize);

/* Waits until the mapped flash file is written out to its disk; true for a flash in memory.
 * False with a message (naming path) on failure. */
bool SimFlashSync(const SimFlash *flash, const char *path, char *error, size_t errorSize);

/* Lets go of the flash file's mapping (SimFlashFree calls it). */
void SimFlashUnmap(SimFlash *flash);

/* Block operations; each returns a SimStatus. */
uint8_t SimFlashErase(SimFlash *flash, uint32_t block);
uint8_t SimFlashSetLock(SimFlash *flash, uint32_t block, bool locked);

/* Programs SIM_RECORD_SIZE bytes at offset (from the flash start). Returns a SimStatus;
 * a refused record changes nothing. */
uint8_t SimFlashProgram(SimFlash *flash, uint32_t offset, const uint8_t *data);

/* Copies SIM_RECORD_SIZE bytes from offset; bytes past the end of the flash read as 0xFF. */
void SimFlashRead(const SimFlash *flash, uint32_t offset, uint8_t *data);

/* 16-bit byte sum of the absolute range [start, start + length); addresses outside the flash
 * add nothing. */
uint16_t SimFlashChecksum(const SimFlash *flash, uint32_t start, uint32_t length);

#endif /* MURVO_UNITSIM_SIM_FLASH_H */
