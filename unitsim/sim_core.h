/*
 * sim_core.h - the unit's firmware without a platform: request framing, the command set, the
 * flash model and the faults.
 *
 * The core allocates nothing, takes no lock, opens no file and reads no environment: the
 * caller gives it the flash's memory (the bytes and one lock flag per block), serialises
 * every call, and takes the reply bytes, the log lines and the display texts through the
 * hooks. The host's simulated unit (sim_unit.cpp) wraps it with a lock, a reply queue, a
 * command log file and a flash file; the Wine rig's bus driver (winerig/) wraps it with a
 * spin lock and a reply buffer in kernel memory. Only memcpy, memset and memcmp are used.
 */
#ifndef MURVO_UNITSIM_SIM_CORE_H
#define MURVO_UNITSIM_SIM_CORE_H

#include "unitsim/sim_unit.h"

struct SimFlash {
    uint32_t Address; /* absolute address of Bytes[0] */
    uint32_t Size;
    uint32_t BlockCount;
    uint32_t BlockSize; /* Size / BlockCount; 0 for an empty flash */
    uint8_t *Bytes;     /* Size bytes, the caller's */
    bool Mapped;        /* Bytes is the mapping of a flash file (host only) */
    uint8_t *Locked;    /* BlockCount flags, non-zero = locked, the caller's */
};

/* What the core hands out. Reply is required; Log and Display may be NULL. */
struct SimCoreHooks {
    void *Context;
    /* Reply bytes for the bulk IN endpoint, in order. */
    void (*Reply)(void *context, const uint8_t *bytes, size_t length);
    /* One line of the command log, without a line feed. */
    void (*Log)(void *context, const char *line);
    /* The 40 bytes of a DisplayText request. */
    void (*Display)(void *context, const uint8_t *text);
};

struct SimCore {
    SimConfig Config;
    SimFlash Flash;
    SimCoreHooks Hooks;

    uint8_t Request[SIM_MAX_REQUEST_LENGTH]; /* the request being assembled */
    size_t RequestFill;                      /* bytes of it received so far */

    uint32_t CommandCounts[SIM_COMMAND_COUNT]; /* requests received, per command */
    uint8_t Display[SIM_DISPLAY_SIZE];         /* the last text shown */

    bool BusFaultPending; /* BusFault is due for the last command received */
    SimFault BusFault;
};

/* Default block count of a flash of size bytes: blocks of 8 KiB when they fit evenly, one
 * block of the whole flash otherwise, none for an empty flash. */
uint32_t SimConfigDefaultBlockCount(uint32_t size);

/* Bytes of flash memory and of lock flags a unit of this configuration needs (one spare byte
 * each, so that an empty flash still has real memory). */
size_t SimCoreFlashBytes(const SimConfig *config);
size_t SimCoreLockBytes(const SimConfig *config);

/* Powers the core on: the configuration copied, flash (SimCoreFlashBytes of memory) erased to
 * 0xFF unless keepFlash, every block locked (locks: SimCoreLockBytes), counts zero. */
void SimCoreInit(SimCore *core, const SimConfig *config, uint8_t *flash, uint8_t *locks, bool keepFlash,
                 const SimCoreHooks *hooks);

/* Bytes arriving on the bulk OUT endpoint (see SimUnitReceive). */
void SimCoreReceive(SimCore *core, const uint8_t *data, size_t length);

/* Drops any partly received request (the caller drops its waiting reply bytes). */
void SimCoreResetRequest(SimCore *core);

/* See SimUnitTakeBusFault. */
bool SimCoreTakeBusFault(SimCore *core, SimFault *fault);

/* Formats the log line of a whole request of command code (a valid code), without a line
 * feed, into line (sim_log.cpp). */
void SimFormatLogLine(unsigned code, const uint8_t *request, char *line, size_t lineSize);

/* Runs one whole request of command code (a valid code) and hands out its reply, with the
 * faults due for this occurrence (sim_firmware.cpp). */
void SimExecuteRequest(SimCore *core, unsigned code, const uint8_t *request);

/* Block operations of the flash (sim_flash.cpp); each returns a SimStatus. */
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

#endif /* MURVO_UNITSIM_SIM_CORE_H */
