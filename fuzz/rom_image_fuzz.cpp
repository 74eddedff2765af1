/*
 * rom_image_fuzz.cpp - the tool's image check on arbitrary files and flash sizes.
 *
 * Input: one byte choosing how the flash size relates to the file (equal, off by a small
 * amount, or any 32-bit value), then the file's bytes. The check must accept exactly the
 * images its rules accept, refuse every other with the message of the first rule broken,
 * and leave the file position at the end of an accepted image.
 */
#include "fuzz/fatal_error_throw.h"
#include "fuzz/fuzz_support.h"

#include "tool/rom_image.h"
#include "tool/tool_platform.h"

#include <unistd.h>

#include <string>

/* The file the check reads, one per process, rewritten for each input. */
static const char *ImagePath()
{
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/murvo-fuzz-rom-XXXXXX";
        int fd = mkstemp(name);
        FUZZ_CHECK(fd >= 0, "cannot make a temporary file");
        close(fd);
        path = name;
        atexit([] { unlink(path.c_str()); });
    }
    return path.c_str();
}

/* The message the rules give for this file and flash size, or NULL for an acceptable image. */
static const char *ExpectedVerdict(const uint8_t *file, size_t length, uint32_t flashSize)
{
    static const char Marker[] = "MURVO Operating System";
    if (length != flashSize) {
        return "Binary file is not the same size as the Flash ROM";
    }
    if (flashSize == 0) {
        return "File does not contain a MURVO ROM image"; /* an empty image has no marker */
    }
    if (flashSize < 512) {
        return "Failed reading file";
    }
    if (memcmp(file + 32, Marker, sizeof Marker) != 0) {
        return "File does not contain a MURVO ROM image";
    }
    if (flashSize % 512 != 0) {
        return "Failed reading file";
    }
    uint32_t sum = 0;
    for (size_t i = 0; i + 2 < length; i++) {
        sum += file[i];
    }
    if ((uint16_t)sum != (uint16_t)(file[length - 2] | file[length - 1] << 8)) {
        return "ROM file has invalid checksum";
    }
    return NULL;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = FuzzInputOf(data, size);
    uint8_t mode = FuzzTake8(&in);
    const uint8_t *file = data + in.Used;
    size_t length = size - in.Used;

    uint32_t flashSize = (uint32_t)length;
    if (mode % 4 == 1) {
        flashSize = (uint32_t)length + (uint32_t)(int8_t)FuzzTake8(&in);
    } else if (mode % 4 == 2) {
        flashSize = FuzzTake32(&in);
    }
    /* The bytes the size was taken from stay part of the file: the file is what follows the mode. */

    FILE *out = fopen(ImagePath(), "wb");
    FUZZ_CHECK(out != NULL, "cannot write %s", ImagePath());
    FUZZ_CHECK(fwrite(file, 1, length, out) == length, "short write");
    fclose(out);

    const char *expected = ExpectedVerdict(file, length, flashSize);
    int fd = _open(ImagePath(), _O_RDONLY | _O_BINARY);
    FUZZ_CHECK(fd >= 0, "cannot open %s", ImagePath());
    const char *got = NULL;
    FuzzFatalError error;
    try {
        CheckRomImage(fd, flashSize);
    } catch (const FuzzFatalError &e) {
        error = e;
        got = error.Message;
    }
    long position = _lseek(fd, 0, SEEK_CUR);
    _close(fd);

    if (expected == NULL) {
        FUZZ_CHECK(got == NULL, "image of %zu bytes, flash 0x%X refused: %s", length, flashSize, got);
        FUZZ_CHECK(position == (long)length, "accepted, position %ld of %zu", position, length);
    } else {
        FUZZ_CHECK(got != NULL, "image of %zu bytes, flash 0x%X accepted; the rules say: %s", length, flashSize,
                   expected);
        FUZZ_CHECK(strcmp(got, expected) == 0, "image of %zu bytes, flash 0x%X: \"%s\", the rules say \"%s\"", length,
                   flashSize, got, expected);
    }
    return 0;
}
