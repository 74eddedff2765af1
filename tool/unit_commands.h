/*
 * unit_commands.h - the unit command protocol: ten commands, each one request record
 * written to the write pipe and one reply record read from the read pipe.
 *
 * Records begin with a 4-byte header (the command code as a little-endian 16-bit value,
 * then two zero bytes in a request); parameters and results follow at fixed offsets, all
 * little-endian. A transport failure ends the run through FatalError; a non-zero status
 * byte from the unit is handed back to the caller.
 */
#ifndef MURVO_TOOL_UNIT_COMMANDS_H
#define MURVO_TOOL_UNIT_COMMANDS_H

#include <stdint.h>

/* The simulated unit numbers its commands itself (unitsim/sim_unit.h), on purpose: the two ends
 * of the protocol are written apart, so that a code wrong on one end shows up in the tests. */
enum UnitCommandCode {
    CmdGetOsVersion = 0,
    CmdGetFlashInfo = 1,
    CmdEraseBlock = 2,
    CmdUnlockBlock = 3,
    CmdLockBlock = 4,
    CmdWriteFlash = 5,
    CmdReadRecord = 6,
    CmdWriteRecord = 7,
    CmdGetChecksum = 8,
    CmdDisplayText = 9,
};

#define UNIT_COMMAND_COUNT 10
#define UNIT_RECORD_DATA 512u  /* data bytes of WriteFlash, ReadRecord and WriteRecord */
#define UNIT_DISPLAY_WIDTH 40u /* bytes of the display field */
#define UNIT_HEADER_SIZE 4u

/* Request and reply lengths of each command, indexed by code. */
struct UnitCommandShape {
    const char *Name;
    uint32_t RequestLength;
    uint32_t ReplyLength;
};
extern const UnitCommandShape UnitCommandShapes[UNIT_COMMAND_COUNT];

/* The largest request (WriteRecord) and reply (ReadRecord) of the protocol. */
#define UNIT_MAX_REQUEST 522u
#define UNIT_MAX_REPLY 516u

/* A request record; its length is the command's request length. */
struct UnitCommand {
    uint8_t Bytes[UNIT_MAX_REQUEST];
};

/* A reply record; its length is the command's reply length. */
struct UnitReply {
    uint8_t Bytes[UNIT_MAX_REPLY];
};

/* Stores code and the zero header bytes in the request, writes requestLength bytes and reads
 * replyLength bytes into the reply. Returns true; ends the run through FatalError when the
 * request cannot be sent or the reply cannot be read. */
bool SendCommand(uint16_t code, UnitCommand *request, uint32_t requestLength, UnitReply *reply, uint32_t replyLength);

uint32_t GetOsVersion(void);
/* Stores the flash start address, size and block count; returns the flash ID. */
uint32_t GetFlashInfo(uint32_t *flashAddress, uint32_t *flashSize, uint32_t *blockCount);
uint8_t EraseBlock(uint32_t block);
uint8_t UnlockBlock(uint32_t block);
uint8_t LockBlock(uint32_t block);
/* offset is from the start of the flash; data is 512 bytes. */
uint8_t WriteFlash(uint32_t offset, const uint8_t *data);
void ReadRecord(uint32_t position, uint8_t *data, uint16_t parameter);
bool WriteRecord(uint32_t position, const uint8_t *data, uint16_t parameter);
/* start is an absolute address of the unit. */
uint16_t GetChecksum(uint32_t start, uint32_t length);
/* Sends exactly 40 bytes of text, whatever they hold. */
bool DisplayText(const uint8_t *text);

/* Formats a text printf-style into the 40-byte display field (a shorter text is followed by
 * a zero byte, a longer one is cut to its first 40 bytes) and shows it with DisplayText. */
bool DisplayFormat(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif /* MURVO_TOOL_UNIT_COMMANDS_H */
