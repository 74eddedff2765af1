/*
 * rom_build.cpp - filling a new ROM image and sealing it with marker and checksum.
 */
#include "romtool/rom_build.h"

#include "tool/rom_image.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

/* RomBuildDefaults: see rom_build.h. */
void RomBuildDefaults(RomBuildOptions *options)
{
    memset(options, 0, sizeof *options);
    options->Contents = RomContentsFill;
    options->FillByte = 0xFF; /* what an erased flash holds */
    options->Seed = 1;
    options->Marker = true;
}

/* Fills image with the chosen contents. */
static void RomFillContents(const RomBuildOptions *options, uint8_t *image)
{
    switch (options->Contents) {
    case RomContentsFill:
        memset(image, options->FillByte, options->Size);
        break;
    case RomContentsOffset:
        /* Byte j of record k is (j + k) xor (k >> 8): shifting a record by a whole number of
         * bytes never yields another, so every record of the first 32 MiB (65536 records) is
         * unlike every other, and one written to the wrong place shows in a compare. */
        for (uint32_t i = 0; i < options->Size; i++) {
            uint32_t record = i / 512;
            image[i] = (uint8_t)(((i % 512) + record) ^ (record >> 8));
        }
        break;
    case RomContentsRandom: {
        uint32_t state = options->Seed != 0 ? options->Seed : 1; /* xorshift never leaves 0 */
        for (uint32_t i = 0; i < options->Size; i++) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            image[i] = (uint8_t)(state >> 24);
        }
        break;
    }
    }
}

/* Copies the raw file over the start of image. */
static bool RomCopyRawFile(const RomBuildOptions *options, uint8_t *image, char *error, size_t errorSize)
{
    FILE *file = fopen(options->RawFile, "rb");
    bool ok = false;
    if (file == NULL) {
        snprintf(error, errorSize, "%s: %s", options->RawFile, strerror(errno));
        return false;
    }
    size_t count = fread(image, 1, options->Size, file);
    if (ferror(file)) {
        snprintf(error, errorSize, "%s: read failed", options->RawFile);
        goto exit_close;
    }
    if (count == options->Size && fgetc(file) != EOF) {
        snprintf(error, errorSize, "%s is longer than the image (%u bytes)", options->RawFile, (unsigned)options->Size);
        goto exit_close;
    }
    /* Whatever the raw file does not cover keeps the fill byte. */
    memset(image + count, options->FillByte, options->Size - count);
    ok = true;
exit_close:
    fclose(file);
    return ok;
}

/* RomBuildImage: see rom_build.h. */
bool RomBuildImage(const RomBuildOptions *options, uint8_t *image, uint16_t *checksum, char *error, size_t errorSize)
{
    uint32_t least = options->Marker ? ROM_MARKER_END + 2 : 2;
    if (options->Size < least) {
        snprintf(error, errorSize, "an image of %u bytes has no room for %s (at least %u bytes)",
                 (unsigned)options->Size, options->Marker ? "the marker and the checksum" : "the checksum",
                 (unsigned)least);
        return false;
    }
    if (options->Size > ROM_BUILD_MAX_SIZE) {
        snprintf(error, errorSize, "an image of %u bytes is larger than murvorom makes (0x%X)", (unsigned)options->Size,
                 (unsigned)ROM_BUILD_MAX_SIZE);
        return false;
    }

    if (options->RawFile != NULL) {
        if (!RomCopyRawFile(options, image, error, errorSize)) {
            return false;
        }
    } else {
        RomFillContents(options, image);
    }
    if (options->Marker) {
        memcpy(image + ROM_MARKER_OFFSET, ROM_MARKER_TEXT, sizeof ROM_MARKER_TEXT); /* with its zero */
    }

    uint32_t summed = options->Size - 2;
    *checksum = options->ForceChecksum ? options->Checksum : ByteSum16(image, summed);
    image[summed] = (uint8_t)*checksum;
    image[summed + 1] = (uint8_t)(*checksum >> 8);
    return true;
}
