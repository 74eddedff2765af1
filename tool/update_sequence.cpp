/*
 * update_sequence.cpp - RunUpdateSequence and its phases.
 */
#include "tool/update_sequence.h"
#include "common/murvo_version.h"

#include "tool/console_key.h"
#include "tool/fatal_error.h"
#include "tool/rom_image.h"
#include "tool/tool_platform.h"
#include "tool/transport.h"
#include "tool/unit_commands.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BOOT_BLOCK_SIZE 0x10000u      /* start offset when the boot block is preserved */
#define BOOT_BLOCK_COUNT 8u           /* first block when the boot block is preserved */
#define BOOT_BLOCK_ERASE_SIZE 0x2000u /* the block size that puts block 8 at 0x10000 */
#define DISPLAY_STEP 0x4000u          /* write progress reaches the display every 16 KiB */
#define UPGRADE_READY_BIT 0x80000000u /* OS version bit: the unit takes an upgrade */

/* What the flash holds when a run ends before its verdict, or with the write unfinished: one
 * line on standard error. */
static const char PartlyWrittenNote[] =
    "The flash is only partly written: run vardel again with the same options to repair it\n";
static const char BootBlockErasedNote[] =
    "The boot block is erased and the flash partly written: run vardel /bootblock again before any power-cycle\n";
static const char WrittenUncheckedNote[] =
    "The flash is written but was not checked: run vardel again with the same options to finish the update\n";

/* The note for the flash as the run has left it so far; NULL while nothing is erased and
 * once the write range is written and checked. Written only by the sequence's thread, read
 * by the exit operation and by the console control handler, which on Windows runs on a
 * thread of its own and on the stand-in in a signal handler: a pointer, read whole. */
static const char *volatile FlashStateNote;

/* The display texts; each is handed to DisplayFormat as its format. */
static const char WarningText[] = "\x01\nDO NOT POWER-OFF UNIT DURING UPGRADE!\n\n";
static const char ClosingText[] = "\n\x01 * Please reboot now *";

/* The state of one run, from the command line to the verdict. */
struct UpdateRun {
    const char *ImagePath;
    bool OverwriteBootBlock;
    bool Verbose;
    int ImageFile;
    uint32_t OsVersion;
    uint32_t FlashId;
    uint32_t FlashAddress;
    uint32_t FlashSize;
    uint32_t BlockCount;
    uint32_t StartOffset;
    uint32_t FirstBlock;
    uint8_t UnitStatus;       /* status of the last block or write command; 0 is success */
    uint16_t RunningChecksum; /* byte sum of every record read in the write phase */
    uint32_t CheckedCrc;      /* Crc32 of the write range as the image check read it */
    uint32_t SentCrc;         /* Crc32 of every record read in the write phase */
    uint16_t UnitChecksum;
    bool ImageEndedEarly; /* a read of the write phase gave less than a record */
    int RuntimeError;     /* errno of the first failed file or console operation, 0 if none */
    uint8_t Record[ROM_RECORD_SIZE];
};

/* Remembers the error of a failed runtime file or console operation for the verdict. Only
 * such failures count: other library calls may leave errno set without anything failing. */
static void NoteRuntimeFailure(UpdateRun *run)
{
    if (run->RuntimeError == 0) {
        run->RuntimeError = errno != 0 ? errno : EIO;
    }
}

/* Runs at exit: FatalError ends the run there, the note then follows its message. */
static void SayFlashStateAtExit(void)
{
    const char *note = FlashStateNote;
    if (note != NULL) {
        fflush(stdout);
        fputs(note, stderr);
        fflush(stderr);
    }
}

/* Runs on Ctrl+C, Ctrl+Break or the console's close: says the state on a line of its own
 * (a progress line may be open), then lets the default handler end the process. Only
 * _write: on the stand-in this runs in a signal handler. The note is said once, should the
 * way the process ends run the exit operations too. */
static BOOL WINAPI SayFlashStateOnControlEvent(DWORD controlType)
{
    (void)controlType;
    const char *note = FlashStateNote;
    if (note != NULL) {
        FlashStateNote = NULL;
        _write(2, "\n", 1);
        _write(2, note, (unsigned)strlen(note));
    }
    return FALSE;
}

/* Records what a stop would leave, from the first erase on. The first call sets up both
 * ways of saying it on an early end, once per process. */
static void SetFlashState(const char *note)
{
    static bool watching;
    if (!watching && note != NULL) {
        atexit(SayFlashStateAtExit);
        SetConsoleCtrlHandler(SayFlashStateOnControlEvent, TRUE);
        watching = true;
    }
    FlashStateNote = note;
}

/* Writes console output and shows it at once (progress lines overwrite one another). */
static void Say(UpdateRun *run, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

static void Say(UpdateRun *run, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = vprintf(format, args);
    va_end(args);
    if (written < 0 || fflush(stdout) != 0) {
        NoteRuntimeFailure(run);
    }
}

/* The options before the image path; false when no image path was found, with the argument
 * that ended the examination, if any, in stoppedAt. */
static bool ParseCommandLine(UpdateRun *run, int argc, char **argv, const char **stoppedAt)
{
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (strcmp(argument, "/bootblock") == 0) {
            run->OverwriteBootBlock = true;
        } else if (strcmp(argument, "/v") == 0) {
            run->Verbose = true;
        } else if (argument[0] != '/' || (TOOL_PATHS_MAY_BEGIN_WITH_SLASH && _access(argument, 0) == 0)) {
            run->ImagePath = argument;
            return true;
        } else {
            *stoppedAt = argument; /* an unknown option ends the examination */
            return false;
        }
    }
    return false;
}

/* The usage text; where a path may begin with "/", the reason an argument was not taken. */
static void ShowUsage(const char *stoppedAt)
{
    fputs("Usage  : vardel [options] <binfile>\n"
          "Options: /bootblock ... overwrite boot block. DANGEROUS!\n"
          "         /v         ... verbose output\n",
          stderr);
    if (TOOL_PATHS_MAY_BEGIN_WITH_SLASH && stoppedAt != NULL) {
        fprintf(stderr, "%s is neither an option nor an existing file\n", stoppedAt);
    }
}

/* Asks the user; true only for "Y" or "y". A failed key read is a refusal. */
static bool Confirm(UpdateRun *run)
{
    static const char BannerFormat[] = "\nvardel v" MURVO_BANNER_VERSION " %s ";
    static const char PromptText[] =
        "\nThis will reprogram the MURVO FlashROM\nAre you sure you want to continue? [Y/N] \n";
    Say(run, BannerFormat, run->ImagePath);
    Say(run, "%s", PromptText);
    /* The same question for the console, should standard output lead elsewhere. */
    size_t size = sizeof BannerFormat + strlen(run->ImagePath) + sizeof PromptText;
    char *question = (char *)malloc(size);
    if (question != NULL) {
        snprintf(question, size, BannerFormat, run->ImagePath);
        strcat(question, PromptText);
    }
    int key = ReadConsoleKey(question != NULL ? question : PromptText);
    free(question);
    if (key >= 'a' && key <= 'z') {
        key = key - 'a' + 'A';
    }
    return key == 'Y';
}

/* Names the unit being updated on standard error when there was a choice of units, and
 * always in verbose mode. */
static void SayWhichUnit(UpdateRun *run)
{
    unsigned found = TransportUnitsFound();
    if (found > 1 || run->Verbose) {
        fflush(stdout);
        fprintf(stderr, "%u MURVO unit%s found, using: %s\n", found, found == 1 ? "" : "s", TransportUnitName());
        fflush(stderr);
    }
}

/* Reads the unit's version and flash layout and refuses a unit that cannot be updated. */
static void QueryUnit(UpdateRun *run)
{
    run->OsVersion = GetOsVersion();
    if (run->Verbose) {
        Say(run, "\nOS Version %04lX ", (unsigned long)run->OsVersion);
    }
    if ((run->OsVersion & UPGRADE_READY_BIT) == 0) {
        FatalError("MURVO is not set up to receive software upgrade (see SETUP|OS)");
    }

    run->FlashId = GetFlashInfo(&run->FlashAddress, &run->FlashSize, &run->BlockCount);
    if (run->Verbose) {
        Say(run, "\n---- Flash ROM ----");
        Say(run, "\nID      = %08lX ", (unsigned long)run->FlashId);
        Say(run, "\nSize    = %0lXh ", (unsigned long)run->FlashSize);
        Say(run, "\nBlocks  = %lu", (unsigned long)run->BlockCount);
        Say(run, "\nAddress = %08lXh ", (unsigned long)run->FlashAddress);
        Say(run, "\n-------------------");
    }
    /* Nothing could be written to such a unit, and the checksum range would wrap. */
    if (run->FlashSize == 0) {
        FatalError("MURVO reports a Flash ROM of size 0");
    }
    if (!run->OverwriteBootBlock && run->FlashSize < BOOT_BLOCK_SIZE) {
        FatalError("Flash ROM is smaller than the boot block");
    }
    /* The preserved pair (0x10000, block 8) holds only for blocks of 8 KiB: with any other
     * layout, erasing from block 8 would erase part of the boot block, or leave flash that
     * the write phase then writes unerased. */
    if (!run->OverwriteBootBlock && (run->BlockCount == 0 || run->FlashSize % run->BlockCount != 0 ||
                                     run->FlashSize / run->BlockCount != BOOT_BLOCK_ERASE_SIZE)) {
        FatalError("Flash ROM blocks are not 8 KB: cannot keep the boot block");
    }
    if (run->Verbose) {
        Say(run, "\nChecking ROM file %s ", run->ImagePath);
    }
}

/* Runs one block command over every block from the first, while the unit reports success.
 * The progress text goes to the console always or only when verbose, and, when display is
 * set, the same text to the unit's display. */
static void BlockPhase(UpdateRun *run, uint8_t (*command)(uint32_t), const char *progressText, bool always,
                       bool display)
{
    for (uint32_t block = run->FirstBlock; block < run->BlockCount && run->UnitStatus == 0; block++) {
        unsigned long shown = block + 1, count = run->BlockCount;
        if (always || run->Verbose) {
            Say(run, progressText, shown, count);
        }
        if (display) {
            DisplayFormat(progressText, shown, count);
        }
        if (command == EraseBlock && block == run->FirstBlock) {
            /* From this erase on, an early end leaves the flash incomplete. */
            SetFlashState(run->OverwriteBootBlock ? BootBlockErasedNote : PartlyWrittenNote);
        }
        run->UnitStatus = command(block);
    }
}

/* Sends the image from the start offset on, record by record, summing what it reads. */
static void WritePhase(UpdateRun *run)
{
    bool readShort = false;
    for (uint32_t offset = run->StartOffset; offset < run->FlashSize && run->UnitStatus == 0;
         offset += ROM_RECORD_SIZE) {
        uint32_t end = offset + ROM_RECORD_SIZE;
        /* In 64 bits: end * 100 overflows 32 bits above 40 MiB. */
        unsigned percent = (unsigned)((uint64_t)end * 100u / run->FlashSize);
        Say(run, "\rWriting flash %lXh %u%%", (unsigned long)end, percent);
        if (end % DISPLAY_STEP == 0) {
            DisplayFormat("\rWriting Flash %lXh %u%%", (unsigned long)end, percent);
        }
        int got = _read(run->ImageFile, run->Record, ROM_RECORD_SIZE);
        if (got != (int)ROM_RECORD_SIZE) {
            if (got < 0) {
                NoteRuntimeFailure(run);
            } else {
                run->ImageEndedEarly = true;
            }
            readShort = true;
            break;
        }
        run->RunningChecksum = (uint16_t)(run->RunningChecksum + ByteSum16(run->Record, ROM_RECORD_SIZE));
        run->SentCrc = Crc32(run->SentCrc, run->Record, ROM_RECORD_SIZE);
        run->UnitStatus = WriteFlash(offset, run->Record);
        if (run->UnitStatus == 0 && FlashStateNote == BootBlockErasedNote &&
            (end >= BOOT_BLOCK_SIZE || end >= run->FlashSize)) {
            SetFlashState(PartlyWrittenNote); /* the boot block is whole again */
        }
    }
    if (FlashStateNote != NULL && run->UnitStatus == 0 && !readShort) {
        SetFlashState(WrittenUncheckedNote); /* every record of the range is written */
    }
    if (run->Verbose) {
        Say(run, "\n");
    }
}

/* Compares the unit's checksum of the written range with the running checksum. */
static void Verify(UpdateRun *run)
{
    run->UnitChecksum = GetChecksum(run->FlashAddress + run->StartOffset, run->FlashSize - run->StartOffset);
    if (run->UnitChecksum != run->RunningChecksum) {
        Say(run, "\nChecksum mismatch %04X, %04X", (unsigned)run->RunningChecksum, (unsigned)run->UnitChecksum);
    } else if (run->Verbose) {
        Say(run, "\nChecksum verified ok (%4X) ", (unsigned)run->RunningChecksum);
    }
}

/* Writes the verdict and returns the exit status. */
static int Verdict(UpdateRun *run)
{
    if (run->UnitStatus != 0 || run->RuntimeError != 0) {
        Say(run, "\nOperation failed. Error code (%u, %u)", (unsigned)run->UnitStatus, (unsigned)run->RuntimeError);
    } else if (run->ImageEndedEarly) {
        Say(run, "\nOperation failed. ROM file ended early");
    } else if (run->SentCrc != run->CheckedCrc) {
        /* Every record went out (nothing stopped the write phase), but not as checked: the
         * file was changed in place after the check. */
        Say(run, "\nOperation failed. ROM file changed since it was checked");
    } else if (run->UnitChecksum != run->RunningChecksum) {
        Say(run, "\nOperation failed. Checksum mismatch");
    } else {
        Say(run, "\nCompleted ok");
        return EXIT_UPDATE_OK;
    }
    return EXIT_UPDATE_FAILED;
}

int RunUpdateSequence(int argc, char **argv)
{
    static UpdateRun run; /* one per process; the record buffer stays off the stack */
    memset(&run, 0, sizeof run);
    run.ImageFile = -1;
    FlashStateNote = NULL;

    const char *stoppedAt = NULL;
    if (!ParseCommandLine(&run, argc, argv, &stoppedAt)) {
        ShowUsage(stoppedAt);
        return EXIT_UPDATE_STOPPED;
    }
    if (!Confirm(&run)) {
        Say(&run, "* Aborted *\n");
        return EXIT_UPDATE_STOPPED;
    }
    /* From here on only failures of the run's own file and console operations count. */
    errno = 0;
    run.RuntimeError = 0;

    run.ImageFile = _open(run.ImagePath, _O_RDONLY | _O_BINARY);
    if (run.ImageFile < 0) {
        fflush(stdout);
        perror("Cannot open file for reading");
        return EXIT_UPDATE_STOPPED;
    }
    if (!OpenTransport()) {
        FatalError("Failed to initialise USB");
    }
    atexit(CloseTransport);
    SayWhichUnit(&run);
    if (run.Verbose) {
        Say(&run, "\nUSB initialised ok");
    }

    QueryUnit(&run);
    run.StartOffset = run.OverwriteBootBlock ? 0 : BOOT_BLOCK_SIZE;
    CheckRomImageRange(run.ImageFile, run.FlashSize, run.StartOffset, &run.CheckedCrc);
    if (run.Verbose) {
        Say(&run, "ok");
    }

    if (run.OverwriteBootBlock) {
        run.FirstBlock = 0;
        if (run.Verbose) {
            Say(&run, "\nOverwriting boot block");
        }
    } else {
        run.FirstBlock = BOOT_BLOCK_COUNT;
        if (run.Verbose) {
            Say(&run, "\nPreserving boot block (start at offset %lXh, block %u) ", (unsigned long)BOOT_BLOCK_SIZE,
                BOOT_BLOCK_COUNT);
        }
    }
    if (_lseek(run.ImageFile, (long)run.StartOffset, SEEK_SET) != (long)run.StartOffset) {
        FatalError("Failed to seek into ROM file");
    }

    DisplayFormat(WarningText);
    if (run.Verbose) {
        Say(&run, "\n");
    }

    BlockPhase(&run, UnlockBlock, "\rUnlock block %lu of %lu", false, false);
    Say(&run, "\n");
    BlockPhase(&run, EraseBlock, "\rErasing block %lu of %lu", true, true);
    Say(&run, "\n");
    WritePhase(&run);
    BlockPhase(&run, LockBlock, "\rLock block %lu of %lu", false, false);

    Verify(&run);
    if (FlashStateNote == WrittenUncheckedNote) {
        SetFlashState(NULL);
    }
    DisplayFormat(ClosingText);

    if (_close(run.ImageFile) != 0) {
        NoteRuntimeFailure(&run);
    }
    run.ImageFile = -1;

    int status = Verdict(&run);
    Say(&run, "\n*** Please power-cycle the unit to restart ***\n");
    /* A write that stopped part-way: said after the power-cycle line, which it may overrule. */
    SayFlashStateAtExit();
    SetFlashState(NULL);
    return status;
}
