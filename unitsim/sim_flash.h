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
    uint32_t Address;    /* absolute address of Bytes[0] */
    uint32_t Size;
    uint32_t BlockCount;
    uint32_t BlockSize;  /* Size / BlockCount; 0 for an empty flash */
    uint8_t *Bytes;      /* Size bytes (malloc) */
    uint8_t *Locked;     /* BlockCount flags, non-zero = locked (malloc) */
};

/* Allocates an erased, fully locked flash of the configured layout. False when memory is short. */
bool SimFlashInit(SimFlash *flash, const SimConfig *config);

/* Frees what SimFlashInit allocated. */
void SimFlashFree(SimFlash *flash);

/* Loads the contents from path; a missing file leaves the flash erased. False with a message
 * when the file exists but cannot be read or its length differs from the flash size. */
bool SimFlashLoad(SimFlash *flash, const char *path, char *error, size_t errorSize);

/* Writes the contents to path through a temporary file renamed over it, so a failed save
 * never leaves a half-written flash file. False with a message on failure. */
bool SimFlashSave(const SimFlash *flash, const char *path, char *error, size_t errorSize);

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
