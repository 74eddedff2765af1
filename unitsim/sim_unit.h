/*
 * sim_unit.h - the simulated MURVO unit: its firmware, driven only by request bytes.
 *
 * The host side pushes the bytes that arrive on the unit's bulk OUT endpoint with
 * SimUnitReceive and takes the bytes the unit has ready for its bulk IN endpoint with
 * SimUnitTakeReply. The firmware assembles whole command records from the byte stream
 * (the record length follows from the command code), executes each one against its flash
 * model and queues the reply record. Whatever carries the bytes (an in-process link, or a
 * simulated USB bus) needs nothing else.
 *
 * All routines are safe to call from several threads; each unit has its own lock.
 */
#ifndef MURVO_UNITSIM_SIM_UNIT_H
#define MURVO_UNITSIM_SIM_UNIT_H

#include <stddef.h>
#include <stdint.h>

/* Faults that the unit can be told to show, by command and occurrence. */
enum SimFaultKind {
    SimFaultNoReply,  /* "noreply": the reply never comes */
    SimFaultShort,    /* "short": the reply is one byte short */
    SimFaultLong,     /* "long": the reply carries one byte too many */
    SimFaultStatus,   /* "status": the reply carries status VALUE */
    SimFaultChecksum, /* "checksum": GetChecksum answers VALUE */
    /* Faults of the USB bus below the unit; the firmware only reports them (SimUnitTakeBusFault). */
    SimFaultStall,     /* "stall": the IN endpoint stalls instead of replying */
    SimFaultXferError, /* "xfererr": the IN transfer fails with a transfer error */
    SimFaultDelay,     /* "delay": the reply comes only after VALUE milliseconds */
    SimFaultUnplug,    /* "unplug": the unit is unplugged when the command arrives */
    SimFaultPortOff,   /* "portoff": the port is disabled while the unit stays connected */
};

#define SIM_MAX_FAULTS 32

/* Command codes, as the first two bytes of a request carry them. The tool numbers its commands
 * itself (tool/unit_commands.h), on purpose: the two ends of the protocol are written apart, so
 * that a code wrong on one end shows up in the tests. */
enum SimCommandCode {
    SimGetOsVersion = 0,
    SimGetFlashInfo = 1,
    SimEraseBlock = 2,
    SimUnlockBlock = 3,
    SimLockBlock = 4,
    SimWriteFlash = 5,
    SimReadRecord = 6,
    SimWriteRecord = 7,
    SimGetChecksum = 8,
    SimDisplayText = 9,
};

#define SIM_COMMAND_COUNT 10
#define SIM_RECORD_SIZE 512 /* data bytes of WriteFlash, ReadRecord, WriteRecord */
#define SIM_DISPLAY_SIZE 40 /* bytes of the display field */
#define SIM_MAX_REQUEST_LENGTH 522
#define SIM_MAX_REPLY_LENGTH 516
#define SIM_MAX_BACKLOG 4096 /* reply bytes a state file keeps for the IN endpoint */

/* Status bytes of EraseBlock, UnlockBlock, LockBlock and WriteFlash. Each refusal has its own
 * value and leaves the flash and the locks unchanged. */
enum SimStatus {
    SimStatusOk = 0x00,
    SimStatusBadBlock = 0x01,    /* block number not below the block count */
    SimStatusBlockLocked = 0x02, /* EraseBlock of a locked block */
    SimStatusWriteLocked = 0x03, /* WriteFlash touching a locked block */
    SimStatusNotErased = 0x04,   /* WriteFlash that would have to set a cleared bit */
    SimStatusMisaligned = 0x05,  /* WriteFlash offset not a multiple of 512 */
    SimStatusOutOfRange = 0x06,  /* WriteFlash record not wholly inside the flash */
};

struct SimFault {
    SimFaultKind Kind;
    unsigned Command;    /* command code, 0 to 9 */
    uint32_t Occurrence; /* N: counts that command's requests from 1 */
    uint32_t Value;      /* VALUE, 0 when not given */
    bool HasValue;
};

struct SimConfig {
    uint32_t FlashAddress; /* absolute address of the first flash byte */
    uint32_t FlashSize;    /* bytes */
    uint32_t BlockCount;   /* erase blocks, all of FlashSize / BlockCount bytes */
    uint32_t FlashId;      /* reported by GetFlashInfo */
    uint32_t OsVersion;
    char FlashFile[1024]; /* empty: the flash lives in memory only */
    char LogFile[1024];   /* empty: no command log */
    char StateFile[1024]; /* empty: the unit powers on afresh in each run (sim_state_file.cpp) */
    SimFault Faults[SIM_MAX_FAULTS];
    unsigned FaultCount;
};

struct SimUnit;

/* Fills config with the defaults, then applies the MURVO_SIM_* environment settings.
 * Returns false with a one-line message in error (no trailing line feed) on a bad value. */
bool SimConfigFromEnv(SimConfig *config, char *error, size_t errorSize);

/* Fills config with the defaults only: 0x200000 bytes at 0x01000000 in 256 blocks, flash ID
 * 0x4D520001, OS version 0x80010002 (upgrade bit set), no flash file, no log, no faults. */
void SimConfigDefaults(SimConfig *config);

/* Parses a MURVO_SIM_FAULTS list into config. Same error rule as SimConfigFromEnv. */
bool SimParseFaults(const char *text, SimConfig *config, char *error, size_t errorSize);

/* Powers a unit on: the flash is FlashFile when set, mapped so that every erase and write is
 * in the file as it happens (a missing file is made erased), and in memory, erased to 0xFF,
 * otherwise; every block locked, unless StateFile holds the locks of the unit's last run; the
 * command log opened for appending when LogFile is set.
 * Returns NULL with a message in error when the flash cannot be allocated, the flash file
 * cannot be made, opened or mapped or has another length than the flash, or the log cannot
 * be opened. */
SimUnit *SimUnitCreate(const SimConfig *config, char *error, size_t errorSize);

/* Powers the unit off: waits until the flash file (when set) is on disk, then frees the unit.
 * Returns false when that failed. */
bool SimUnitDestroy(SimUnit *unit);

/* Bytes arriving on the bulk OUT endpoint, in any portions. Whole requests are carried out at
 * once and their replies queued: header = command code (16-bit) and two zero bytes, results at
 * the offsets of the command table. A request whose code is not in the table cannot be framed:
 * it is logged as "Unknown 0x..", and it and the rest of this call's bytes are dropped unanswered. */
void SimUnitReceive(SimUnit *unit, const uint8_t *data, size_t length);

/* Number of reply bytes waiting for the bulk IN endpoint. */
size_t SimUnitReplyPending(SimUnit *unit);

/* Moves up to maxLength waiting reply bytes into buffer; returns how many. */
size_t SimUnitTakeReply(SimUnit *unit, uint8_t *buffer, size_t maxLength);

/* Drops every waiting reply byte and any partly received request (a pipe reset). */
void SimUnitResetPipes(SimUnit *unit);

/* The bus-level fault due for the last command received, if any; clears it. For stall,
 * xfererr and delay the firmware has carried the command out and queued its reply; for unplug
 * and portoff it has done neither. The next command received replaces an untaken fault. */
bool SimUnitTakeBusFault(SimUnit *unit, SimFault *fault);

/* Read-only views for tests and tools. */
const uint8_t *SimUnitFlash(SimUnit *unit); /* FlashSize bytes */
bool SimUnitBlockLocked(SimUnit *unit, uint32_t block);
/* The last display text, up to its first zero byte (at most 40 bytes), NUL-terminated. */
void SimUnitDisplay(SimUnit *unit, char text[41]);
uint32_t SimUnitCommandCount(SimUnit *unit, unsigned command);
/* Number of DisplayText requests received since power-on. */
size_t SimUnitDisplayCount(SimUnit *unit);
/* Copies the raw 40 bytes of display text number index (0 = the first); false past the end. */
bool SimUnitDisplayAt(SimUnit *unit, size_t index, uint8_t text[SIM_DISPLAY_SIZE]);
/* The configuration the unit was powered on with. */
void SimUnitGetConfig(SimUnit *unit, SimConfig *config);

/* A unit with a state file stays powered between runs, as a real unit outlives the program
 * that drives it: its block locks and the reply bytes waiting on its IN endpoint are in the
 * file the moment they change (mapped shared, like the flash file), so a run that ends or is
 * killed while the unit still holds a reply leaves that reply for the next run.
 * True when the unit has a state file. */
bool SimUnitKeepsState(SimUnit *unit);

/* What the IN endpoint holds for the host now (the bus's copy of the unit's replies, not yet
 * sent), at most SIM_MAX_BACKLOG bytes; kept in the state file. Nothing without one. */
void SimUnitKeepBacklog(SimUnit *unit, const uint8_t *bytes, size_t length);

/* Once per power-on: the reply bytes the IN endpoint held when the unit's last run ended, for
 * the bus to put back once the unit is configured (they are waiting in the unit by then).
 * Returns how many were copied into buffer; 0 without a state file or backlog. */
size_t SimUnitTakeBacklog(SimUnit *unit, uint8_t *buffer, size_t maxLength);

/* Waits until the flash file (when set) is written out to disk; every change is in the file
 * already. False with a message in error when the write-out failed. */
bool SimUnitSaveFlash(SimUnit *unit, char *error, size_t errorSize);

/* The command table. Name and lengths of command code, or NULL / 0 for an unknown code. */
const char *SimCommandName(unsigned command);
size_t SimCommandRequestLength(unsigned command);
size_t SimCommandReplyLength(unsigned command);
/* Code of a command named exactly as in the table, or -1. */
int SimCommandFromName(const char *name);

/* Name of a fault kind as MURVO_SIM_FAULTS spells it ("noreply", "stall", ...). */
const char *SimFaultKindName(SimFaultKind kind);

/* Parses a number, the whole text, into 32 bits: decimal or 0x-hexadecimal, and a decimal
 * number may end in K (x1024, also k) or M (x1048576). The one number syntax of the
 * MURVO_SIM_* settings, the fault lists and murvorom. */
bool SimParseNumber(const char *text, uint32_t *value);

#endif /* MURVO_UNITSIM_SIM_UNIT_H */
