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
                                "Numbers are decimal (with an optional K or M suffix) or 0x-hexadecimal.\n"
                                "Exit status: 0 done, 1 image refused or file error, 2 usage error.\n";

/* Writes the usage text to stderr after a one-line complaint; returns the usage status. */
static int UsageError(const char *complaint, const char *detail)
{
    fprintf(stderr, "murvorom: %s%s\n\n%s", complaint, detail != NULL ? detail : "", UsageText);
    return EXIT_USAGE;
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
            if (!SimParseNumber(next, &value) || value > 0xFF) {
                return UsageError("--fill takes a byte value, not ", next);
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
            if (!SimParseNumber(next, &value) || value > 0xFFFF) {
                return UsageError("--checksum takes a 16-bit value, not ", next);
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
    if (!SimParseNumber(operands[1], &options.Size)) {
        return UsageError("SIZE is not a number: ", operands[1]);
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
    if (argc == 2 && !SimParseNumber(argv[1], &flashSize)) {
        return UsageError("FLASH-SIZE is not a number: ", argv[1]);
    }

    int file = open(argv[0], O_RDONLY);
    if (file < 0) {
        perror(argv[0]); /* the form vardel uses for an image it cannot open */
        return EXIT_REFUSED;
    }
    if (argc == 1) {
        if (fstat(file, &info) != 0 || (uint64_t)info.st_size > 0xFFFFFFFFull) {
            fprintf(stderr, "murvorom: %s: no length of 32 bits\n", argv[0]);
            close(file);
            return EXIT_REFUSED;
        }
        flashSize = (uint32_t)info.st_size;
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
