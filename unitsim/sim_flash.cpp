/*
 * sim_flash.cpp - the flash model: erase blocks, locks, bit-clearing programming, sums.
 *
 * A flash of Size bytes at absolute address Address, cut into BlockCount erase blocks of
 * equal size. Erasing sets a block to 0xFF; programming can only clear bits; every block
 * is locked at power-on and must be unlocked before it can be erased or programmed.
 * Part of the portable core: no lock (the caller serialises), no allocation.
 */
#include "unitsim/sim_core.h"

#include <string.h>

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

/* SimFlashProgram: see sim_core.h. The checks run in the order: alignment, range, locks,
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

/* SimFlashRead: see sim_core.h. */
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

/* SimFlashChecksum: see sim_core.h. Works in 64 bits so a range that passes 0xFFFFFFFF
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
