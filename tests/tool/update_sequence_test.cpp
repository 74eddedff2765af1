/*
 * The update sequence against the scripted unit: command order and parameters, display
 * texts, stop rules, checksum lines, verdicts, exit statuses and the console output.
 */
#include "image_files.h"
#include "scripted_unit.h"

#include "tool/update_sequence.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

namespace {

using ::testing::ExitedWithCode;

struct RunResult {
    int Status;
    std::string Out;
    std::string Err;
};

/* Runs the sequence with the arguments after the program name; for death tests. */
int RunDirect(std::vector<std::string> args)
{
    args.insert(args.begin(), "vardel");
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    return RunUpdateSequence((int)args.size(), argv.data());
}

/* Runs the sequence and captures both streams. */
RunResult RunTool(std::vector<std::string> args)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    RunResult result;
    result.Status = RunDirect(args);
    result.Out = ::testing::internal::GetCapturedStdout();
    result.Err = ::testing::internal::GetCapturedStderr();
    return result;
}

std::string Format(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Banner(const std::string &path)
{
    return "\nvardel v0.20 " + path +
           " \nThis will reprogram the MURVO FlashROM\nAre you sure you want to continue? [Y/N] \n";
}

const char PowerCycle[] = "\n*** Please power-cycle the unit to restart ***\n";

/* The display field of a DisplayText request, up to its first zero byte. */
std::string DisplayOf(const ScriptedRequest &request)
{
    std::string field(request.Bytes.begin() + 4, request.Bytes.begin() + 44);
    return field.substr(0, field.find('\0'));
}

class UpdateSequenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetScriptedUnit();
        Image = MakeImage(Unit.FlashSize, 7);
        Path = WriteTempFile("rom.bin", Image);
    }

    /* Rewrites the image for another flash size. */
    void UseFlash(uint32_t size, uint32_t blocks)
    {
        Unit.FlashSize = size;
        Unit.BlockCount = blocks;
        Image = MakeImage(size, size);
        Path = WriteTempFile("rom.bin", Image);
    }

    uint16_t SumOf(uint32_t from) const
    {
        uint16_t sum = 0;
        for (uint32_t i = from; i < Image.size(); i++) {
            sum = (uint16_t)(sum + Image[i]);
        }
        return sum;
    }

    std::vector<uint8_t> Image;
    std::string Path;
};

TEST_F(UpdateSequenceTest, CommandLineWithoutImagePathShowsUsage)
{
    const std::string usage = "Usage  : vardel [options] <binfile>\n"
                              "Options: /bootblock ... overwrite boot block. DANGEROUS!\n"
                              "         /v         ... verbose output\n";
    /* The arguments, and the one that ended the examination ("": none did). */
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""},
        {{"/v"}, ""},
        {{"/bootblock", "/v"}, ""},
        {{"/V", Path}, "/V"},
        {{"/v", "/x", Path}, "/x"},
        {{"/bootblock/", Path}, "/bootblock/"}};
    for (const auto &c : cases) {
        RunResult result = RunTool(c.first);
        EXPECT_EQ(result.Status, 1);
        /* The reason follows the usage on Linux, where an absolute path begins with "/" too. */
        EXPECT_EQ(result.Err,
                  c.second.empty() ? usage : usage + c.second + " is neither an option nor an existing file\n");
        EXPECT_EQ(result.Out, "");
    }
    EXPECT_TRUE(Unit.Requests.empty());
    EXPECT_FALSE(Unit.Opened);
}

TEST_F(UpdateSequenceTest, AbsolutePathOfAnExistingFileIsTheImage)
{
    char folder[PATH_MAX];
    ASSERT_NE(getcwd(folder, sizeof folder), nullptr);
    std::string absolute = std::string(folder) + "/" + Path;
    RunResult result = RunTool({"/v", absolute, "/x"});
    EXPECT_EQ(result.Status, 0) << result.Err;
    EXPECT_NE(result.Out.find("\nChecking ROM file " + absolute + " ok"), std::string::npos) << result.Out;

    ResetScriptedUnit();
    result = RunTool({"/bootblock", absolute + ".missing", Path});
    EXPECT_EQ(result.Status, 1);
    EXPECT_EQ(result.Err.substr(result.Err.find("/v ")),
              "/v         ... verbose output\n" + absolute + ".missing is neither an option nor an existing file\n");
    EXPECT_FALSE(Unit.Opened);
}

TEST_F(UpdateSequenceTest, UnitIsNamedWhenThereWasAChoiceAndInVerboseMode)
{
    RunResult result = RunTool({Path});
    EXPECT_EQ(result.Status, 0);
    EXPECT_EQ(result.Err, "");
    result = RunTool({"/v", Path});
    EXPECT_EQ(result.Err, "1 MURVO unit found, using: scripted unit\n");
    ResetScriptedUnit();
    Unit.UnitsFound = 3;
    result = RunTool({Path});
    EXPECT_EQ(result.Status, 0);
    EXPECT_EQ(result.Err, "3 MURVO units found, using: scripted unit\n");
}

TEST_F(UpdateSequenceTest, RefusedOrUnreadableKeyAbortsBeforeAnythingOpens)
{
    for (int key : std::vector<int>{'n', 'N', '\r', 0x1B, 0, -1, ' ', 'Z'}) {
        ScriptedKey = key;
        RunResult result = RunTool({Path});
        EXPECT_EQ(result.Status, 1) << key;
        EXPECT_EQ(result.Out, Banner(Path) + "* Aborted *\n");
        EXPECT_EQ(result.Err, "");
    }
    EXPECT_FALSE(Unit.Opened);
    EXPECT_TRUE(Unit.Requests.empty());
}

TEST_F(UpdateSequenceTest, LowerCaseYConfirmsAndOptionsAfterThePathAreIgnored)
{
    ScriptedKey = 'y';
    RunResult result = RunTool({Path, "/v"});
    EXPECT_EQ(result.Status, 0);
    EXPECT_EQ(result.Out.find("USB initialised"), std::string::npos); /* not verbose */
    /* "-v" is an image path like any other. */
    result = RunTool({"-v"});
    EXPECT_EQ(result.Status, 1);
    EXPECT_EQ(result.Err.rfind("Cannot open file for reading: ", 0), 0u);
}

TEST_F(UpdateSequenceTest, UnopenableImageEndsBeforeTheTransportOpens)
{
    RunResult result = RunTool({Path + ".missing"});
    EXPECT_EQ(result.Status, 1);
    EXPECT_EQ(result.Err, std::string("Cannot open file for reading: ") + strerror(ENOENT) + "\n");
    EXPECT_EQ(result.Out, Banner(Path + ".missing"));
    EXPECT_FALSE(Unit.Opened);
}

TEST_F(UpdateSequenceTest, FatalErrorsOfTheUnitAndTransport)
{
    Unit.OpenFails = true;
    EXPECT_EXIT(RunDirect({Path}), ExitedWithCode(1), "^\n\\*Error\\* Failed to initialise USB\n$");
    Unit.OpenFails = false;
    Unit.OsVersion = 0x7FFFFFFF;
    EXPECT_EXIT(RunDirect({Path}), ExitedWithCode(1),
                "^\n\\*Error\\* MURVO is not set up to receive software upgrade \\(see SETUP\\|OS\\)\n$");
    Unit.OsVersion = 0x80000000;
    Unit.FlashSize = 0;
    EXPECT_EXIT(RunDirect({"/bootblock", Path}), ExitedWithCode(1),
                "^\n\\*Error\\* MURVO reports a Flash ROM of size 0\n$");
    Unit.FlashSize = 0x8000;
    EXPECT_EXIT(RunDirect({Path}), ExitedWithCode(1), "^\n\\*Error\\* Flash ROM is smaller than the boot block\n$");
    Unit.FlashSize = 0x20000 + 0x2000;
    Unit.BlockCount = 17;
    EXPECT_EXIT(RunDirect({Path}), ExitedWithCode(1), "Binary file is not the same size as the Flash ROM");
}

TEST_F(UpdateSequenceTest, BootBlockIsKeptOnlyWhenBlockEightStartsAtItsEnd)
{
    /* Flash size and block count whose blocks are not 8 KiB, or do not divide the flash
     * evenly: block 8 does not start at 0x10000, so erasing from block 8 would erase part of
     * the boot block or leave flash unwritten. Nothing may be unlocked, erased or written. */
    const std::pair<uint32_t, uint32_t> layouts[] = {{0x200000, 512}, {0x200000, 1},      {0x200000, 2},
                                                     {0x200000, 4},   {0x200000, 16},     {0x20000, 32},
                                                     {0x20000, 8},    {0x20000 + 15, 16}, {0x20000, 0}};
    for (const auto &layout : layouts) {
        UseFlash(layout.first, layout.second);
        EXPECT_EXIT(
            {
                atexit([] {
                    for (const ScriptedRequest &request : Unit.Requests) {
                        if (request.Code >= 2 && request.Code <= 5) {
                            fputs("block or write command sent\n", stderr);
                        }
                    }
                });
                RunDirect({"/v", Path});
            },
            ExitedWithCode(1), "\n\\*Error\\* Flash ROM blocks are not 8 KB: cannot keep the boot block\n$")
            << layout.first << " in " << layout.second;
    }
    /* With the boot block overwritten every layout is fine. */
    for (const auto &layout : layouts) {
        if (layout.second == 0 || layout.first % layout.second != 0 || layout.first % 512 != 0) {
            continue;
        }
        ResetScriptedUnit();
        UseFlash(layout.first, layout.second);
        RunResult result = RunTool({"/bootblock", Path});
        EXPECT_EQ(result.Status, 0) << layout.first << " in " << layout.second << result.Err;
        EXPECT_EQ(Unit.Of(2).size(), layout.second);
    }
}

TEST_F(UpdateSequenceTest, FatalErrorClosesTheTransportOnTheWayOut)
{
    Unit.FailReadAt = 40; /* somewhere in the erase phase */
    EXPECT_EXIT(
        {
            atexit([] {
                if (Unit.CloseCalls > 0) {
                    fputs("closed\n", stderr);
                }
            });
            RunDirect({Path});
        },
        ExitedWithCode(1), "Failed to receive USB reply\n(.*\n)?closed\n");
}

TEST_F(UpdateSequenceTest, PreservedBootBlockCommandOrderAndDisplayTexts)
{
    RunResult result = RunTool({Path});
    ASSERT_EQ(result.Status, 0) << result.Err;

    std::vector<std::string> expected = {"Version", "Info", "Display"};
    for (uint32_t block = 8; block < 16; block++) {
        expected.push_back("Unlock " + std::to_string(block));
    }
    for (uint32_t block = 8; block < 16; block++) {
        expected.push_back("Display");
        expected.push_back("Erase " + std::to_string(block));
    }
    for (uint32_t offset = 0x10000; offset < 0x20000; offset += 512) {
        if ((offset + 512) % 0x4000 == 0) {
            expected.push_back("Display");
        }
        expected.push_back("Write " + std::to_string(offset));
    }
    for (uint32_t block = 8; block < 16; block++) {
        expected.push_back("Lock " + std::to_string(block));
    }
    expected.push_back("Checksum");
    expected.push_back("Display");
    EXPECT_EQ(Unit.Trace(), expected);

    std::vector<ScriptedRequest> displays = Unit.Of(9);
    ASSERT_EQ(displays.size(), 1u + 8u + 4u + 1u);
    EXPECT_EQ(std::string(displays[0].Bytes.begin() + 4, displays[0].Bytes.end()),
              std::string("\x01\nDO NOT POWER-OFF UNIT DURING UPGRADE!\n"));
    EXPECT_EQ(DisplayOf(displays[1]), "\rErasing block 9 of 16");
    EXPECT_EQ(DisplayOf(displays[8]), "\rErasing block 16 of 16");
    EXPECT_EQ(DisplayOf(displays[9]), "\rWriting Flash 14000h 62%");
    EXPECT_EQ(DisplayOf(displays[12]), "\rWriting Flash 20000h 100%");
    EXPECT_EQ(DisplayOf(displays[13]), "\n\x01 * Please reboot now *");

    /* Every record went out with its file offset and its bytes. */
    std::vector<ScriptedRequest> writes = Unit.Of(5);
    ASSERT_EQ(writes.size(), 128u);
    for (size_t i = 0; i < writes.size(); i++) {
        ASSERT_EQ(0, memcmp(writes[i].Bytes.data() + 8, Image.data() + 0x10000 + 512 * i, 512)) << i;
    }

    ScriptedRequest checksum = Unit.Of(8).at(0);
    EXPECT_EQ(checksum.Param32(4), Unit.FlashAddress + 0x10000);
    EXPECT_EQ(checksum.Param32(8), 0x10000u);
    EXPECT_EQ(Unit.WrittenSum, SumOf(0x10000));
    EXPECT_EQ(Unit.CloseCalls, 0); /* closing is left to the exit path */
}

TEST_F(UpdateSequenceTest, QuietRunConsoleOutputByteForByte)
{
    RunResult result = RunTool({Path});
    ASSERT_EQ(result.Status, 0) << result.Err;
    std::string expected = Banner(Path) + "\n";
    for (uint32_t block = 8; block < 16; block++) {
        expected += Format("\rErasing block %u of 16", block + 1);
    }
    expected += "\n";
    for (uint32_t end = 0x10200; end <= 0x20000; end += 512) {
        expected += Format("\rWriting flash %Xh %u%%", end, (unsigned)((uint64_t)end * 100 / 0x20000));
    }
    expected += "\nCompleted ok";
    expected += PowerCycle;
    EXPECT_EQ(result.Out, expected);
    EXPECT_EQ(result.Err, "");
    /* The console gets the same question, should standard output be redirected. */
    EXPECT_EQ(ScriptedQuestion, Banner(Path));
}

TEST_F(UpdateSequenceTest, VerboseRunConsoleOutputByteForByte)
{
    Unit.OsVersion = 0x80000012;
    Unit.FlashId = 0xBF2782;
    RunResult result = RunTool({"/v", "/bootblock", "/v", Path});
    ASSERT_EQ(result.Status, 0);
    std::string expected = Banner(Path) + "\nUSB initialised ok" + "\nOS Version 80000012 " + "\n---- Flash ROM ----" +
                           "\nID      = 00BF2782 " + "\nSize    = 20000h " + "\nBlocks  = 16" +
                           "\nAddress = 01000000h " + "\n-------------------" + "\nChecking ROM file " + Path + " " +
                           "ok" + "\nOverwriting boot block" + "\n";
    for (uint32_t block = 0; block < 16; block++) {
        expected += Format("\rUnlock block %u of 16", block + 1);
    }
    expected += "\n";
    for (uint32_t block = 0; block < 16; block++) {
        expected += Format("\rErasing block %u of 16", block + 1);
    }
    expected += "\n";
    for (uint32_t end = 512; end <= 0x20000; end += 512) {
        expected += Format("\rWriting flash %Xh %u%%", end, (unsigned)((uint64_t)end * 100 / 0x20000));
    }
    expected += "\n";
    for (uint32_t block = 0; block < 16; block++) {
        expected += Format("\rLock block %u of 16", block + 1);
    }
    expected += Format("\nChecksum verified ok (%4X) ", SumOf(0));
    expected += "\nCompleted ok";
    expected += PowerCycle;
    EXPECT_EQ(result.Out, expected);

    ScriptedRequest checksum = Unit.Of(8).at(0);
    EXPECT_EQ(checksum.Param32(4), Unit.FlashAddress);
    EXPECT_EQ(checksum.Param32(8), 0x20000u);
    EXPECT_EQ(Unit.Of(3).front().Param32(4), 0u);
    EXPECT_EQ(Unit.Of(5).front().Param32(4), 0u);
}

TEST_F(UpdateSequenceTest, VerbosePreservingLineNamesTheOffsetAndBlock)
{
    RunResult result = RunTool({"/v", Path});
    EXPECT_NE(result.Out.find("\nPreserving boot block (start at offset 10000h, block 8) \n"), std::string::npos);
}

TEST_F(UpdateSequenceTest, StatusInEachPhaseStopsThatPhaseAndEveryLaterOne)
{
    struct Case {
        uint16_t Code;
        uint32_t Occurrence;
        uint8_t Status;
        std::vector<size_t> Counts; /* unlock, erase, write, lock requests expected */
    };
    const Case cases[] = {
        {3, 1, 5, {1, 0, 0, 0}},    {3, 4, 9, {4, 0, 0, 0}},      {2, 2, 0x21, {8, 2, 0, 0}},
        {5, 1, 0x30, {8, 8, 1, 0}}, {5, 37, 0xFF, {8, 8, 37, 0}}, {4, 8, 2, {8, 8, 128, 8}},
    };
    for (const Case &c : cases) {
        ResetScriptedUnit();
        Unit.Statuses[{c.Code, c.Occurrence}] = c.Status;
        RunResult result = RunTool({Path});
        EXPECT_EQ(result.Status, 2) << c.Code << "/" << c.Occurrence;
        EXPECT_EQ(Unit.Of(3).size(), c.Counts[0]);
        EXPECT_EQ(Unit.Of(2).size(), c.Counts[1]);
        EXPECT_EQ(Unit.Of(5).size(), c.Counts[2]);
        EXPECT_EQ(Unit.Of(4).size(), c.Counts[3]);
        /* The checksum is still asked for and the closing text still shown. */
        ASSERT_EQ(Unit.Trace().size() >= 2, true);
        EXPECT_EQ(Unit.Trace()[Unit.Trace().size() - 2], "Checksum");
        EXPECT_EQ(DisplayOf(Unit.Of(9).back()), "\n\x01 * Please reboot now *");
        std::string verdict = Format("\nOperation failed. Error code (%u, 0)", c.Status) + PowerCycle;
        EXPECT_EQ(result.Out.substr(result.Out.size() - verdict.size()), verdict);
        /* The scripted unit sums what was written, failed records included: no mismatch line. */
        EXPECT_EQ(result.Out.find("mismatch"), std::string::npos);
    }
}

TEST_F(UpdateSequenceTest, UnlockFailureStillEndsItsLinesAndComparesAZeroChecksum)
{
    Unit.Statuses[{3, 1}] = 5;
    Unit.ChecksumSet = true;
    Unit.Checksum = 0x1234;
    RunResult result = RunTool({Path});
    EXPECT_EQ(result.Out, Banner(Path) + "\n\n" + "\nChecksum mismatch 0000, 1234" +
                              "\nOperation failed. Error code (5, 0)" + PowerCycle);
    EXPECT_EQ(result.Status, 2);
}

TEST_F(UpdateSequenceTest, ChecksumMismatchFailsTheUpdate)
{
    Unit.ChecksumSet = true;
    Unit.Checksum = (uint16_t)(SumOf(0x10000) + 1);
    RunResult result = RunTool({Path});
    std::string tail = Format("\nChecksum mismatch %04X, %04X", SumOf(0x10000), Unit.Checksum) +
                       "\nOperation failed. Checksum mismatch" + PowerCycle;
    EXPECT_EQ(result.Out.substr(result.Out.size() - tail.size()), tail);
    EXPECT_EQ(result.Status, 2);
}

TEST_F(UpdateSequenceTest, ImageCutShortAfterTheCheckEndsTheWritePhase)
{
    std::string path = Path;
    Unit.OnRequest = [path](const ScriptedRequest &request) {
        if (request.Code == 3 && request.Param32(4) == 8) {
            ASSERT_EQ(truncate(path.c_str(), 0x10000 + 10 * 512 + 100), 0);
        }
    };
    RunResult result = RunTool({Path});
    EXPECT_EQ(Unit.Of(5).size(), 10u);
    EXPECT_EQ(Unit.Of(4).size(), 8u); /* the lock phase still runs */
    std::string tail = std::string("\nOperation failed. ROM file ended early") + PowerCycle;
    EXPECT_EQ(result.Out.substr(result.Out.size() - tail.size()), tail);
    EXPECT_EQ(result.Status, 2);
}

TEST_F(UpdateSequenceTest, ImageChangedInPlaceAfterTheCheckFailsTheUpdate)
{
    /* Two records of the write range swapped in the file during the unlock phase: the same
     * bytes, so every byte sum agrees, but not the image that was checked. */
    std::vector<uint8_t> changed = Image;
    std::swap_ranges(changed.begin() + 0x12000, changed.begin() + 0x12200, changed.begin() + 0x1C000);
    ASSERT_NE(changed, Image);
    std::string path = Path;
    Unit.OnRequest = [path, changed](const ScriptedRequest &request) {
        if (request.Code == 3 && request.Param32(4) == 8) {
            int fd = open(path.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, changed.data(), changed.size(), 0), (ssize_t)changed.size());
            close(fd);
        }
    };
    RunResult result = RunTool({Path});
    EXPECT_EQ(Unit.Of(5).size(), 128u);
    EXPECT_EQ(Unit.Of(4).size(), 8u);
    std::string tail = std::string("\nOperation failed. ROM file changed since it was checked") + PowerCycle;
    EXPECT_EQ(result.Out.substr(result.Out.size() - tail.size()), tail);
    EXPECT_EQ(result.Status, 2);

    /* A change inside the boot block, which is not written, does not matter. */
    ResetScriptedUnit();
    Path = WriteTempFile("rom.bin", Image);
    changed = Image;
    changed[0x100] ^= 0x5A;
    Unit.OnRequest = [path, changed](const ScriptedRequest &request) {
        if (request.Code == 3 && request.Param32(4) == 8) {
            int fd = open(path.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, changed.data(), changed.size(), 0), (ssize_t)changed.size());
            close(fd);
        }
    };
    result = RunTool({Path});
    EXPECT_EQ(result.Status, 0);
}

/* The descriptor of the open image file, found by its path. */
int FindOpenFile(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == NULL) {
        return -1;
    }
    DIR *dir = opendir("/proc/self/fd");
    int found = -1;
    while (struct dirent *entry = dir ? readdir(dir) : NULL) {
        char link[PATH_MAX];
        std::string name = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t length = readlink(name.c_str(), link, sizeof link - 1);
        if (length > 0) {
            link[length] = 0;
            if (strcmp(link, resolved) == 0) {
                found = atoi(entry->d_name);
            }
        }
    }
    if (dir) {
        closedir(dir);
    }
    return found;
}

TEST_F(UpdateSequenceTest, FailedImageReadReportsItsErrorNumber)
{
    std::string path = Path;
    Unit.OnRequest = [path](const ScriptedRequest &request) {
        if (request.Code == 5 && request.Param32(4) == 0x10400) {
            int fd = FindOpenFile(path);
            ASSERT_GE(fd, 0);
            int directory = open("/", O_RDONLY | O_DIRECTORY);
            dup2(directory, fd); /* the next read of the image fails with EISDIR */
            close(directory);
        }
    };
    RunResult result = RunTool({Path});
    EXPECT_EQ(Unit.Of(5).size(), 3u);
    EXPECT_EQ(Unit.Of(4).size(), 8u);
    EXPECT_NE(result.Out.find(Format("\nOperation failed. Error code (0, %d)", EISDIR)), std::string::npos);
    EXPECT_EQ(result.Status, 2);
}

TEST_F(UpdateSequenceTest, StrayErrnoFromOtherCallsDoesNotFailAGoodRun)
{
    Unit.OnRequest = [](const ScriptedRequest &) { errno = ENOTTY; };
    RunResult result = RunTool({Path});
    EXPECT_EQ(result.Status, 0);
    EXPECT_NE(result.Out.find("\nCompleted ok"), std::string::npos);
}

TEST_F(UpdateSequenceTest, ProgressPercentDoesNotOverflowOnLargeFlash)
{
    UseFlash(0x3000000, 0x1800); /* 48 MiB: end * 100 exceeds 32 bits */
    RunResult result = RunTool({Path});
    ASSERT_EQ(result.Status, 0);
    EXPECT_NE(result.Out.find("\rWriting flash 1800000h 50%"), std::string::npos);
    EXPECT_NE(result.Out.find("\rWriting flash 3000000h 100%\n"), std::string::npos);
}

TEST_F(UpdateSequenceTest, SmallFlashWithBootBlockOverwritten)
{
    UseFlash(1024, 1);
    RunResult result = RunTool({"/bootblock", Path});
    EXPECT_EQ(result.Status, 0);
    std::vector<std::string> expected = {"Version", "Info",      "Display", "Unlock 0", "Display", "Erase 0",
                                         "Write 0", "Write 512", "Lock 0",  "Checksum", "Display"};
    EXPECT_EQ(Unit.Trace(), expected);
}

} // namespace
