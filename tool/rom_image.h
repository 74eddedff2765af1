/*
 * rom_image.h - the ROM image file: a flat image of the whole flash with the operating
 * system marker in its first record and a trailing 16-bit checksum.
 */
#ifndef MURVO_TOOL_ROM_IMAGE_H
#define MURVO_TOOL_ROM_IMAGE_H

#include <stdint.h>

#define ROM_RECORD_SIZE 512u  /* the image is read and written in records of this size */
#define ROM_MARKER_OFFSET 32u /* the marker text starts here in the first record */
#define ROM_MARKER_TEXT "MURVO Operating System"

/* The unsigned 16-bit sum of count bytes, each taken from 0 to 255; 0 for a count of 0. */
uint16_t ByteSum16(const uint8_t *bytes, uint32_t count);

/* The CRC-32 (reflected polynomial 0xEDB88320) of count bytes, continuing from crc: start
 * with 0, and pass the result of the previous run to continue. Unlike the byte sum it sees
 * where each byte is, so records that merely changed places give another value. */
uint32_t Crc32(uint32_t crc, const uint8_t *bytes, uint32_t count);

/* Checks the open image file (a runtime file descriptor, opened read-only in binary mode)
 * against the unit's flash size: length, marker and checksum, in that order. Returns only
 * when the image is acceptable, with the file position at its end; every refusal ends the
 * run through FatalError. An empty image (flash size 0) has no marker and is refused. */
void CheckRomImage(int file, uint32_t flashSize);

/* CheckRomImage, which also gives the Crc32 of the image bytes from offset from (a multiple
 * of the record size) to the end, as the check read them: the bytes the write phase must
 * send. */
void CheckRomImageRange(int file, uint32_t flashSize, uint32_t from, uint32_t *rangeCrc);

#endif /* MURVO_TOOL_ROM_IMAGE_H */
