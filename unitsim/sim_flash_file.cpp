/*
 * sim_flash_file.cpp - the host's flash storage: malloc'd memory, or a flash file whose
 * shared mapping holds the flash's bytes.
 *
 * A real unit's flash keeps every erase and write the moment it is done, whatever happens to
 * the program that drives it. Mapping the file shared gives the simulated unit the same
 * property: each change is in the file at once (the kernel's page cache holds it, and other
 * processes read it there), so a run that is killed half-way leaves the flash half-updated,
 * as a real unit would be, and not as it was before the run.
 */
#include "unitsim/sim_flash.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

/* Makes an erased flash file of size bytes under path: written whole under "<path>.tmp" and
 * renamed, so a failure never leaves a partial file under the final name. */
static bool SimFlashFileCreate(const char *path, uint32_t size, char *error, size_t errorSize)
{
    char temporary[1100];
    static uint8_t erased[65536];
    memset(erased, 0xFF, sizeof erased);

    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        snprintf(error, errorSize, "flash file %s: %s", temporary, strerror(errno));
        return false;
    }
    bool written = true;
    for (uint32_t done = 0; done < size && written;) {
        uint32_t chunk = size - done < sizeof erased ? size - done : (uint32_t)sizeof erased;
        ssize_t put = write(fd, erased, chunk);
        if (put <= 0) {
            written = false;
        } else {
            done += (uint32_t)put;
        }
    }
    int saved = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        snprintf(error, errorSize, "flash file %s: %s", temporary, strerror(saved));
        unlink(temporary);
        return false;
    }
    if (rename(temporary, path) != 0) {
        snprintf(error, errorSize, "flash file %s: %s", path, strerror(errno));
        unlink(temporary);
        return false;
    }
    return true;
}

/* SimFlashFree: see sim_flash.h; safe on a flash whose memory could not be had. */
void SimFlashFree(SimFlash *flash)
{
    if (flash->Mapped) {
        SimFlashUnmap(flash);
    }
    free(flash->Bytes);
    free(flash->Locked);
    flash->Bytes = NULL;
    flash->Locked = NULL;
}

/* SimFlashMapFile: see sim_flash.h. */
bool SimFlashMapFile(SimFlash *flash, const char *path, char *error, size_t errorSize)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        /* A new flash file: the unit starts erased. */
        if (!SimFlashFileCreate(path, flash->Size, error, errorSize)) {
            return false;
        }
        fd = open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        snprintf(error, errorSize, "flash file %s: %s", path, strerror(errno));
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        snprintf(error, errorSize, "flash file %s: %s", path, strerror(errno));
        close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode) || (uint64_t)info.st_size != flash->Size) {
        snprintf(error, errorSize, "flash file %s holds %llu bytes, the flash has 0x%X", path,
                 (unsigned long long)info.st_size, (unsigned)flash->Size);
        close(fd);
        return false;
    }
    if (flash->Size == 0) {
        close(fd); /* nothing to map: an empty flash keeps its spare byte in memory */
        return true;
    }
    void *bytes = mmap(NULL, flash->Size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd); /* the mapping holds the file */
    if (bytes == MAP_FAILED) {
        snprintf(error, errorSize, "flash file %s: %s", path, strerror(saved));
        return false;
    }
    free(flash->Bytes);
    flash->Bytes = (uint8_t *)bytes;
    flash->Mapped = true;
    return true;
}

/* SimFlashSync: see sim_flash.h. */
bool SimFlashSync(const SimFlash *flash, const char *path, char *error, size_t errorSize)
{
    if (!flash->Mapped || msync(flash->Bytes, flash->Size, MS_SYNC) == 0) {
        return true;
    }
    snprintf(error, errorSize, "flash file %s: %s", path, strerror(errno));
    return false;
}

/* SimFlashUnmap: see sim_flash.h. */
void SimFlashUnmap(SimFlash *flash)
{
    if (flash->Mapped) {
        munmap(flash->Bytes, flash->Size);
    }
    flash->Bytes = NULL;
    flash->Mapped = false;
}
