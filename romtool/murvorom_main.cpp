/*
 * murvorom_main.cpp - murvorom, the ROM image command: create an image, check an image.
 *
 * Exit status: 0 done, 1 the image was refused or a file could not be used, 2 usage error.
 */
#include "romtool/rom_build.h"

#include "tool/rom_image.h"
#include "unitsim/sim_unit.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define EXIT_REFUSED 1
#define EXIT_USAGE 2

static const char UsageText[] = "Usage: murvorom create [OPTIONS] IMAGE SIZE\n"
                                "       murvorom check IMAGE [FLASH-SIZE]\n"
                                "       murvorom help\n"
                                "\n"
                                "create  writes a ROM image of SIZE bytes to IMAGE, with the marker\n"
                                "        \"MURVO Operating System\" at offset 32 and the 16-bit checksum of\n"
                                "        all other bytes in the last two (low byte first).\n"
                                "  --from FILE      FILE's bytes first, from offset 0 (at most SIZE bytes);\n"
                                "                   the rest gets the fill byte\n"
                                "  --fill BYTE      fill byte (default 0xFF, an erased flash)\n"
                                "  --pattern offset each byte derived from its offset; no two 512-byte\n"
                                "                   records of the first 32 MiB are alike\n"
                                "  --pattern random[:SEED]  pseudo-random bytes, the same for the same SEED\n"
                                "  --checksum VALUE store VALUE instead of the checksum (a refused image)\n"
                                "  --no-marker      leave offsets 32 to 54 as the contents make them\n"
                                "check   checks IMAGE as vardel does against a flash of FLASH-SIZE bytes\n"
                                "        (default: the image's own length): size, marker, checksum.\n"
                                "\n"
                                "Numbers are decimal (with an optional K, M or G suffix) or 0x-hexadecimal.\n"
                                "Exit status: 0 done, 1 image refused or file error, 2 usage error.\n";

/* Writes the usage text to stderr after a one-line complaint; returns the usage status. */
static int UsageError(const char *complaint, const char *detail)
{
    fprintf(stderr, "murvorom: %s%s\n\n%s", complaint, detail != NULL ? detail : "", UsageText);
    return EXIT_USAGE;
}

/* True when text has the form of a number (0x and hexadecimal digits, or decimal digits with
 * an optional K, M or G), whatever its value. */
static bool HasNumberForm(const char *text)
{
    const char *p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        const char *digits = p;
        while ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F')) {
            p++;
        }
        return p != digits && *p == '\0';
    }
    const char *digits = p;
    while (*p >= '0' && *p <= '9') {
        p++;
    }
    if (*p == 'K' || *p == 'k' || *p == 'M' || *p == 'G') {
        p++;
    }
    return p != digits && *p == '\0';
}

/* Reads the number text given for name, at most max. On refusal returns false after the
 * usage error, which says whether text is no number or too large, with the largest
 * accepted. */
static bool ParseArgumentNumber(const char *name, const char *text, uint32_t max, uint32_t *value, int *status)
{
    uint32_t parsed;
    char complaint[160];
    if (SimParseNumber(text, &parsed) && parsed <= max) {
        *value = parsed;
        return true;
    }
    /* The parser refuses a value beyond 32 bits as it refuses a word: the form tells them apart. */
    if (SimParseNumber(text, &parsed) || HasNumberForm(text)) {
        snprintf(complaint, sizeof complaint, "%s %s is too large: the largest accepted is %u (0x%X)", name, text,
                 (unsigned)max, (unsigned)max);
        *status = UsageError(complaint, NULL);
    } else {
        snprintf(complaint, sizeof complaint, "%s is not a number: ", name);
        *status = UsageError(complaint, text);
    }
    return false;
}

/* Refuses a directory where a file is wanted, in one line; true when path is one. */
static bool RefuseDirectory(const char *path)
{
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        fprintf(stderr, "murvorom: %s is a directory, not a file\n", path);
        return true;
    }
    return false;
}

/* Writes length bytes of image to path through a temporary file renamed over it, so a failed
 * write never leaves a half image under the final name. */
static bool WriteImageFile(const char *path, const uint8_t *image, uint32_t length)
{
    size_t nameLength = strlen(path) + 5;
    char *temporary = (char *)malloc(nameLength);
    FILE *file = NULL;
    bool ok = false;

    if (temporary == NULL) {
        fprintf(stderr, "murvorom: out of memory\n");
        return false;
    }
    snprintf(temporary, nameLength, "%s.tmp", path);
    file = fopen(temporary, "wb");
    if (file == NULL) {
        fprintf(stderr, "murvorom: %s: %s\n", temporary, strerror(errno));
        goto exit_free;
    }
    ok = fwrite(image, 1, length, file) == length;
    if (fclose(file) != 0) {
        ok = false;
    }
    if (ok && rename(temporary, path) != 0) {
        fprintf(stderr, "murvorom: %s: %s\n", path, strerror(errno));
        ok = false;
    } else if (!ok) {
        fprintf(stderr, "murvorom: %s: write failed\n", temporary);
    }
    if (!ok) {
        remove(temporary);
    }
exit_free:
    free(temporary);
    return ok;
}

/* murvorom create [OPTIONS] IMAGE SIZE */
static int CreateCommand(int argc, char **argv)
{
    RomBuildOptions options;
    const char *operands[2];
    int operandCount = 0;
    bool contentsChosen = false;
    uint32_t value;

    RomBuildDefaults(&options);
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        bool takesValue = strcmp(arg, "--from") == 0 || strcmp(arg, "--fill") == 0 || strcmp(arg, "--pattern") == 0 ||
                          strcmp(arg, "--checksum") == 0;
        if (takesValue && i + 1 >= argc) {
            return UsageError("missing value after ", arg);
        }
        const char *next = takesValue ? argv[++i] : NULL;

        if (strcmp(arg, "--from") == 0 || strcmp(arg, "--pattern") == 0) {
            if (contentsChosen) {
                return UsageError("give one of --from and --pattern, once", NULL);
            }
            contentsChosen = true;
        }
        if (strcmp(arg, "--from") == 0) {
            options.RawFile = next;
        } else if (strcmp(arg, "--fill") == 0) {
            int status;
            if (!ParseArgumentNumber("--fill", next, 0xFF, &value, &status)) {
                return status;
            }
            options.FillByte = (uint8_t)value;
        } else if (strcmp(arg, "--pattern") == 0) {
            if (strcmp(next, "offset") == 0) {
                options.Contents = RomContentsOffset;
            } else if (strcmp(next, "random") == 0) {
                options.Contents = RomContentsRandom;
            } else if (strncmp(next, "random:", 7) == 0 && SimParseNumber(next + 7, &value)) {
                options.Contents = RomContentsRandom;
                options.Seed = value;
            } else {
                return UsageError("unknown pattern ", next);
            }
        } else if (strcmp(arg, "--checksum") == 0) {
            int status;
            if (!ParseArgumentNumber("--checksum", next, 0xFFFF, &value, &status)) {
                return status;
            }
            options.ForceChecksum = true;
            options.Checksum = (uint16_t)value;
        } else if (strcmp(arg, "--no-marker") == 0) {
            options.Marker = false;
        } else if (arg[0] == '-' && arg[1] == '-') {
            return UsageError("unknown option ", arg);
        } else {
            if (operandCount == 2) {
                return UsageError("too many operands: ", arg);
            }
            operands[operandCount++] = arg;
        }
    }
    if (operandCount != 2) {
        return UsageError("create needs IMAGE and SIZE", NULL);
    }
    int parseStatus;
    if (!ParseArgumentNumber("SIZE", operands[1], ROM_BUILD_MAX_SIZE, &options.Size, &parseStatus)) {
        return parseStatus;
    }
    if (RefuseDirectory(operands[0]) || (options.RawFile != NULL && RefuseDirectory(options.RawFile))) {
        return EXIT_REFUSED;
    }

    char error[1200];
    uint16_t checksum;
    uint8_t *image = (uint8_t *)malloc((size_t)options.Size + 1);
    if (image == NULL) {
        fprintf(stderr, "murvorom: out of memory for an image of %u bytes\n", (unsigned)options.Size);
        return EXIT_REFUSED;
    }
    int status = EXIT_REFUSED;
    if (!RomBuildImage(&options, image, &checksum, error, sizeof error)) {
        fprintf(stderr, "murvorom: %s\n", error);
        goto exit_free;
    }
    if (options.Size % 512 != 0) {
        fprintf(stderr, "murvorom: warning: %u bytes is not a multiple of 512; vardel refuses such an image\n",
                (unsigned)options.Size);
    }
    if (!WriteImageFile(operands[0], image, options.Size)) {
        goto exit_free;
    }
    printf("%s: %u bytes (0x%X), checksum 0x%04X\n", operands[0], (unsigned)options.Size, (unsigned)options.Size,
           (unsigned)checksum);
    status = 0;
exit_free:
    free(image);
    return status;
}

/* murvorom check IMAGE [FLASH-SIZE]: every refusal ends inside CheckRomImage, through
 * FatalError, with the tool's own message and exit status 1. */
static int CheckCommand(int argc, char **argv)
{
    uint32_t flashSize = 0;
    struct stat info;

    if (argc < 1 || argc > 2) {
        return UsageError("check needs IMAGE and at most a FLASH-SIZE", NULL);
    }
    int parseStatus;
    if (argc == 2 && !ParseArgumentNumber("FLASH-SIZE", argv[1], 0xFFFFFFFFu, &flashSize, &parseStatus)) {
        return parseStatus;
    }
    if (RefuseDirectory(argv[0])) {
        return EXIT_REFUSED;
    }

    int file = open(argv[0], O_RDONLY);
    if (file < 0) {
        perror(argv[0]); /* the form vardel uses for an image it cannot open */
        return EXIT_REFUSED;
    }
    if (fstat(file, &info) != 0 || (uint64_t)info.st_size > 0xFFFFFFFFull) {
        fprintf(stderr, "murvorom: %s: no length of 32 bits\n", argv[0]);
        close(file);
        return EXIT_REFUSED;
    }
    if (argc == 1) {
        flashSize = (uint32_t)info.st_size;
    }
    /* vardel writes whole records: an image of the flash's size that does not end on one
     * would fail the check at its short last record. */
    if ((uint64_t)info.st_size == flashSize && flashSize % ROM_RECORD_SIZE != 0) {
        fprintf(stderr, "murvorom: %s: %u bytes is not a multiple of %u; vardel writes whole %u-byte records\n",
                argv[0], (unsigned)flashSize, ROM_RECORD_SIZE, ROM_RECORD_SIZE);
        close(file);
        return EXIT_REFUSED;
    }
    CheckRomImage(file, flashSize);
    close(file);
    printf("%s: a MURVO ROM image for a flash of %u bytes (0x%X)\n", argv[0], (unsigned)flashSize, (unsigned)flashSize);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        return UsageError("no command given", NULL);
    }
    const char *command = argv[1];
    if (strcmp(command, "create") == 0) {
        return CreateCommand(argc - 2, argv + 2);
    }
    if (strcmp(command, "check") == 0) {
        return CheckCommand(argc - 2, argv + 2);
    }
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        fputs(UsageText, stdout);
        return 0;
    }
    return UsageError("unknown command ", command);
}
