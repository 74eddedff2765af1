/*
 * rom_build.h - making ROM image files: contents from a raw file, a fill byte or a pattern,
 * then the operating-system marker and the trailing checksum put in place.
 */
#ifndef MURVO_ROMTOOL_ROM_BUILD_H
#define MURVO_ROMTOOL_ROM_BUILD_H

#include <stddef.h>
#include <stdint.h>

#define ROM_BUILD_MAX_SIZE 0x40000000u /* images are built in memory */
#define ROM_MARKER_END 55u             /* first byte after the marker and its zero */

/* Where the contents of a new image come from. */
enum RomContents {
    RomContentsFill,   /* every byte is FillByte */
    RomContentsOffset, /* each byte derived from its offset: no two records of the first 32 MiB alike */
    RomContentsRandom, /* pseudo-random bytes from Seed, the same for the same seed */
};

struct RomBuildOptions {
    uint32_t Size; /* image length in bytes, the flash size */
    RomContents Contents;
    uint8_t FillByte;    /* RomContentsFill, and after a raw file that is shorter than Size */
    uint32_t Seed;       /* RomContentsRandom */
    const char *RawFile; /* NULL, or a file whose bytes go first, from offset 0 */
    bool Marker;         /* put the marker at offset 32 (normally true) */
    bool ForceChecksum;  /* store Checksum instead of the sum (to make refused images) */
    uint16_t Checksum;
};

/* Defaults: fill with 0xFF, marker on, the computed checksum. Size must still be set. */
void RomBuildDefaults(RomBuildOptions *options);

/* Fills image (options->Size bytes) as options say and returns true with the stored checksum
 * in *checksum; false with a one-line message in error when the options or the raw file do
 * not allow an image (too small for marker and checksum, raw file longer than the image or
 * unreadable). The checksum covers every byte but the last two and is stored little-endian. */
bool RomBuildImage(const RomBuildOptions *options, uint8_t *image, uint16_t *checksum, char *error, size_t errorSize);

#endif /* MURVO_ROMTOOL_ROM_BUILD_H */
