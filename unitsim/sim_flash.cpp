/*
 * sim_flash.cpp - the flash model: erase blocks, locks, bit-clearing programming, sums.
 */
#include "unitsim/sim_flash.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* SimFlashInit: see sim_flash.h. The layout was checked by the configuration. */
bool SimFlashInit(SimFlash *flash, const SimConfig *config)
{
    memset(flash, 0, sizeof *flash);
    flash->Address = config->FlashAddress;
    flash->Size = config->FlashSize;
    flash->BlockCount = config->BlockCount;
    flash->BlockSize = config->BlockCount != 0 ? config->FlashSize / config->BlockCount : 0;
    /* One spare byte each so an empty flash still gets real allocations. */
    flash->Bytes = (uint8_t *)malloc((size_t)flash->Size + 1);
    flash->Locked = (uint8_t *)malloc((size_t)flash->BlockCount + 1);
    if (flash->Bytes == NULL || flash->Locked == NULL) {
        SimFlashFree(flash);
        return false;
    }
    memset(flash->Bytes, 0xFF, flash->Size);
    memset(flash->Locked, 1, flash->BlockCount);
    return true;
}

/* SimFlashFree: see sim_flash.h; safe on a flash that failed to initialise. */
void SimFlashFree(SimFlash *flash)
{
    if (flash->Mapped) {
        SimFlashUnmap(flash);
    }
    free(flash->Bytes);
    if (!flash->LocksMapped) {
        free(flash->Locked);
    }
    flash->Bytes = NULL;
    flash->Locked = NULL;
}

/* SimFlashErase: sets every byte of an unlocked block to 0xFF. */
uint8_t SimFlashErase(SimFlash *flash, uint32_t block)
{
    if (block >= flash->BlockCount) {
        return SimStatusBadBlock;
    }
    if (flash->Locked[block]) {
        return SimStatusBlockLocked;
    }
    memset(flash->Bytes + (size_t)block * flash->BlockSize, 0xFF, flash->BlockSize);
    return SimStatusOk;
}

/* SimFlashSetLock: locks or unlocks a block; doing either twice is no error. */
uint8_t SimFlashSetLock(SimFlash *flash, uint32_t block, bool locked)
{
    if (block >= flash->BlockCount) {
        return SimStatusBadBlock;
    }
    flash->Locked[block] = locked ? 1 : 0;
    return SimStatusOk;
}

/* SimFlashProgram: see sim_flash.h. The checks run in the order: alignment, range, locks,
 * erased state, so each refusal reports the first rule broken. */
uint8_t SimFlashProgram(SimFlash *flash, uint32_t offset, const uint8_t *data)
{
    if (offset % SIM_RECORD_SIZE != 0) {
        return SimStatusMisaligned;
    }
    if ((uint64_t)offset + SIM_RECORD_SIZE > flash->Size) {
        return SimStatusOutOfRange;
    }
    /* A record may straddle blocks when the block size is not a multiple of 512. */
    uint32_t first = offset / flash->BlockSize;
    uint32_t last = (offset + SIM_RECORD_SIZE - 1) / flash->BlockSize;
    for (uint32_t block = first; block <= last; block++) {
        if (flash->Locked[block]) {
            return SimStatusWriteLocked;
        }
    }
    uint8_t *target = flash->Bytes + offset;
    for (unsigned i = 0; i < SIM_RECORD_SIZE; i++) {
        /* Programming drives bits from 1 to 0 only; a 1 over a 0 needs an erase first. */
        if ((target[i] & data[i]) != data[i]) {
            return SimStatusNotErased;
        }
    }
    for (unsigned i = 0; i < SIM_RECORD_SIZE; i++) {
        target[i] &= data[i];
    }
    return SimStatusOk;
}

/* SimFlashRead: see sim_flash.h. */
void SimFlashRead(const SimFlash *flash, uint32_t offset, uint8_t *data)
{
    memset(data, 0xFF, SIM_RECORD_SIZE);
    if (offset >= flash->Size) {
        return;
    }
    uint32_t count = flash->Size - offset;
    if (count > SIM_RECORD_SIZE) {
        count = SIM_RECORD_SIZE;
    }
    memcpy(data, flash->Bytes + offset, count);
}

/* SimFlashChecksum: see sim_flash.h. Works in 64 bits so a range that passes 0xFFFFFFFF
 * neither wraps round to low addresses nor loops for long. */
uint16_t SimFlashChecksum(const SimFlash *flash, uint32_t start, uint32_t length)
{
    uint64_t begin = start;
    uint64_t end = begin + length;
    uint64_t flashBegin = flash->Address;
    uint64_t flashEnd = flashBegin + flash->Size;
    uint16_t sum = 0;

    if (begin < flashBegin) {
        begin = flashBegin;
    }
    if (end > flashEnd) {
        end = flashEnd;
    }
    for (uint64_t address = begin; address < end; address++) {
        sum = (uint16_t)(sum + flash->Bytes[address - flashBegin]);
    }
    return sum;
}
