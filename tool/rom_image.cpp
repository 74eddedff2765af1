/*
 * rom_image.cpp - ByteSum16 and CheckRomImage.
 */
#include "tool/rom_image.h"

#include "tool/fatal_error.h"
#include "tool/tool_platform.h"

#include <stdio.h>
#include <string.h>

uint16_t ByteSum16(const uint8_t *bytes, uint32_t count)
{
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; i++) {
        sum = (uint16_t)(sum + bytes[i]);
    }
    return sum;
}

/* True when the zero-terminated text at byte 32 of the first record is the marker, its
 * terminating zero included. The marker and its zero lie inside the record. */
static bool HasMarker(const uint8_t *record)
{
    return memcmp(record + ROM_MARKER_OFFSET, ROM_MARKER_TEXT, sizeof ROM_MARKER_TEXT) == 0;
}

uint32_t Crc32(uint32_t crc, const uint8_t *bytes, uint32_t count)
{
    static uint32_t table[256];
    if (table[1] == 0) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[n] = c;
        }
    }
    crc = ~crc;
    for (uint32_t i = 0; i < count; i++) {
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

void CheckRomImageRange(int file, uint32_t flashSize, uint32_t from, uint32_t *rangeCrc)
{
    uint8_t record[ROM_RECORD_SIZE];

    long length = _filelength(file);
    if (length < 0 || (unsigned long)length != flashSize) {
        FatalError("Binary file is not the same size as the Flash ROM");
    }
    if (_lseek(file, 0, SEEK_SET) != 0) {
        FatalError("Failed to seek to start of file");
    }

    /* The length matched, so the flash size fits a long and the offset below cannot wrap. */
    uint16_t sum = 0;
    uint32_t crc = 0;
    for (uint32_t offset = 0; offset < flashSize; offset += ROM_RECORD_SIZE) {
        if (_read(file, record, ROM_RECORD_SIZE) != (int)ROM_RECORD_SIZE) {
            FatalError("Failed reading file");
        }
        if (offset == 0 && !HasMarker(record)) {
            FatalError("File does not contain a MURVO ROM image");
        }
        if (offset >= from) {
            crc = Crc32(crc, record, ROM_RECORD_SIZE);
        }
        if (offset == flashSize - ROM_RECORD_SIZE) {
            sum = (uint16_t)(sum + ByteSum16(record, ROM_RECORD_SIZE - 2));
            uint16_t stored = (uint16_t)(record[ROM_RECORD_SIZE - 2] | (record[ROM_RECORD_SIZE - 1] << 8));
            if (sum != stored) {
                FatalError("ROM file has invalid checksum");
            }
            if (rangeCrc != NULL) {
                *rangeCrc = crc;
            }
            return;
        }
        sum = (uint16_t)(sum + ByteSum16(record, ROM_RECORD_SIZE));
    }
    /* Only a flash of size 0 comes here: an empty file, which has no marker. */
    FatalError("File does not contain a MURVO ROM image");
}

void CheckRomImage(int file, uint32_t flashSize) { CheckRomImageRange(file, flashSize, flashSize, NULL); }
