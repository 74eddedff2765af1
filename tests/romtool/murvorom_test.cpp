/*
 * murvorom_test.cpp - the murvorom program: create and check round trips, the tool's refusal
 * messages, usage errors and exit statuses.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct RunResult {
    int Status;
    std::string Out;
    std::string Err;
};

std::string ReadFile(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
    }
    fclose(file);
    return text;
}

class MurvoromTest : public ::testing::Test {
protected:
    std::string Dir;

    void SetUp() override
    {
        std::string pattern = ::testing::TempDir() + "murvoromXXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        Dir = buffer.data();
    }
    void TearDown() override { (void)!system(("rm -rf '" + Dir + "'").c_str()); }

    std::string Path(const char *name) { return Dir + "/" + name; }

    /* Runs murvorom with arguments (already quoted where needed). */
    RunResult Murvo(const std::string &arguments)
    {
        std::string out = Path("stdout"), err = Path("stderr");
        std::string command = std::string("'") + MURVOROM_PATH + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
        int status = system(command.c_str());
        RunResult run = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
        return run;
    }

    /* Expects check to refuse image with the tool's message and exit status 1. */
    void ExpectRefused(const std::string &arguments, const char *message)
    {
        RunResult run = Murvo("check " + arguments);
        EXPECT_EQ(run.Status, 1) << arguments;
        EXPECT_EQ(run.Err, std::string("\n*Error* ") + message + "\n") << arguments;
        EXPECT_EQ(run.Out, "") << arguments;
    }
};

TEST_F(MurvoromTest, CreateThenCheckRoundTrip)
{
    std::string image = Path("unit.rom");
    RunResult run = Murvo("create --pattern random:42 '" + image + "' 64K");
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    std::string bytes = ReadFile(image);
    ASSERT_EQ(bytes.size(), 0x10000u);
    char checksum[8];
    snprintf(checksum, sizeof checksum, "%02X%02X", (uint8_t)bytes[0xFFFF], (uint8_t)bytes[0xFFFE]);
    EXPECT_EQ(run.Out, image + ": 65536 bytes (0x10000), checksum 0x" + checksum + "\n");
    EXPECT_EQ(ReadFile(image + ".tmp"), "");

    run = Murvo("check '" + image + "' 0x10000");
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, image + ": a MURVO ROM image for a flash of 65536 bytes (0x10000)\n");
    EXPECT_EQ(Murvo("check '" + image + "'").Status, 0);

    /* The same seed gives the same image. */
    ASSERT_EQ(Murvo("create --pattern random:42 '" + Path("again.rom") + "' 65536").Status, 0);
    EXPECT_EQ(ReadFile(Path("again.rom")), bytes);
}

TEST_F(MurvoromTest, CreateFromARawFile)
{
    std::string raw = Path("raw.bin");
    FILE *file = fopen(raw.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("boot code", file);
    fclose(file);
    RunResult run = Murvo("create --from '" + raw + "' --fill 0 '" + Path("unit.rom") + "' 0x800");
    ASSERT_EQ(run.Status, 0) << run.Err;
    std::string bytes = ReadFile(Path("unit.rom"));
    ASSERT_EQ(bytes.size(), 0x800u);
    EXPECT_EQ(bytes.compare(0, 9, "boot code"), 0);
    EXPECT_EQ(bytes[9], '\0');
    EXPECT_EQ(Murvo("check '" + Path("unit.rom") + "' 2048").Status, 0);
}

TEST_F(MurvoromTest, CheckRefusesWithTheToolsMessages)
{
    std::string image = Path("unit.rom");
    ASSERT_EQ(Murvo("create '" + image + "' 0x1000").Status, 0);
    ExpectRefused("'" + image + "' 0x1200", "Binary file is not the same size as the Flash ROM");
    ExpectRefused("'" + image + "' 4095", "Binary file is not the same size as the Flash ROM");

    ASSERT_EQ(Murvo("create --no-marker --fill 0x41 '" + image + "' 0x1000").Status, 0);
    ExpectRefused("'" + image + "'", "File does not contain a MURVO ROM image");

    /* A wrong marker and a wrong checksum: the marker is reported. */
    ASSERT_EQ(Murvo("create --no-marker --checksum 1 '" + image + "' 0x1000").Status, 0);
    ExpectRefused("'" + image + "'", "File does not contain a MURVO ROM image");

    ASSERT_EQ(Murvo("create --checksum 0x1234 '" + image + "' 0x1000").Status, 0);
    ExpectRefused("'" + image + "'", "ROM file has invalid checksum");

    /* Not a multiple of 512: made with a warning, refused with the reason. */
    RunResult run = Murvo("create '" + image + "' 0x1100");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Err.find("warning"), std::string::npos) << run.Err;
    for (const char *flash : {"", " 0x1100"}) {
        run = Murvo("check '" + image + "'" + flash);
        EXPECT_EQ(run.Status, 1) << flash;
        EXPECT_EQ(run.Err, "murvorom: " + image +
                               ": 4352 bytes is not a multiple of 512; vardel writes whole 512-byte "
                               "records\n")
            << flash;
    }
    ExpectRefused("'" + image + "' 0x1000", "Binary file is not the same size as the Flash ROM");

    /* An empty file holds no image, whatever flash size it is checked against. */
    FILE *empty = fopen(image.c_str(), "wb");
    ASSERT_NE(empty, nullptr);
    fclose(empty);
    ExpectRefused("'" + image + "'", "File does not contain a MURVO ROM image");
    ExpectRefused("'" + image + "' 0", "File does not contain a MURVO ROM image");

    run = Murvo("check '" + Path("missing.rom") + "' 0x1000");
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, Path("missing.rom") + ": No such file or directory\n");
}

TEST_F(MurvoromTest, DirectoryAndTooLargeNumbersAreRefusedWithTheReason)
{
    std::string image = Path("unit.rom");
    for (const std::string &arguments :
         {"check '" + Dir + "'", "create '" + Dir + "' 4096", "create --from '" + Dir + "' '" + image + "' 4096"}) {
        RunResult run = Murvo(arguments);
        EXPECT_EQ(run.Status, 1) << arguments;
        EXPECT_EQ(run.Err, "murvorom: " + Dir + " is a directory, not a file\n") << arguments;
    }
    struct Case {
        const char *Arguments;
        const char *Complaint;
    };
    const Case cases[] = {
        {"create x.rom 2G", "SIZE 2G is too large: the largest accepted is 1073741824 (0x40000000)"},
        {"create x.rom 4G", "SIZE 4G is too large: the largest accepted is 1073741824 (0x40000000)"},
        {"create x.rom 99999999999999999999",
         "SIZE 99999999999999999999 is too large: the largest accepted is 1073741824 (0x40000000)"},
        {"create x.rom 0x100000000", "SIZE 0x100000000 is too large: the largest accepted is 1073741824 (0x40000000)"},
        {"create --fill 256 x.rom 4096", "--fill 256 is too large: the largest accepted is 255 (0xFF)"},
        {"create --checksum 0x10000 x.rom 4096",
         "--checksum 0x10000 is too large: the largest accepted is 65535 (0xFFFF)"},
        {"check x.rom 5G", "FLASH-SIZE 5G is too large: the largest accepted is 4294967295 (0xFFFFFFFF)"},
        {"create x.rom 2g", "SIZE is not a number: 2g"},
    };
    for (const Case &c : cases) {
        RunResult run = Murvo(c.Arguments);
        EXPECT_EQ(run.Status, 2) << c.Arguments;
        EXPECT_EQ(run.Err.substr(0, run.Err.find('\n')), std::string("murvorom: ") + c.Complaint) << c.Arguments;
    }
    /* G where it fits: a flash of 1 GiB, against which a small image has the wrong size. */
    ASSERT_EQ(Murvo("create '" + image + "' 4K").Status, 0);
    ExpectRefused("'" + image + "' 1G", "Binary file is not the same size as the Flash ROM");
}

TEST_F(MurvoromTest, UsageErrorsExitWithStatusTwo)
{
    const char *bad[] = {
        "",
        "frobnicate",
        "create only-image",
        "create a b c",
        "create x.rom 12Q",
        "create --fill 256 x.rom 4096",
        "create --pattern stripes x.rom 4096",
        "create --pattern offset --from raw x.rom 4096",
        "create --checksum 0x10000 x.rom 4096",
        "create --bogus x.rom 4096",
        "check",
        "check a 1 2",
    };
    for (const char *arguments : bad) {
        RunResult run = Murvo(arguments);
        EXPECT_EQ(run.Status, 2) << arguments;
        EXPECT_EQ(run.Err.rfind("murvorom: ", 0), 0u) << arguments << ": " << run.Err;
        EXPECT_NE(run.Err.find("Usage: murvorom"), std::string::npos) << arguments;
        EXPECT_EQ(run.Out, "") << arguments;
    }
    RunResult help = Murvo("help");
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind("Usage: murvorom", 0), 0u);
    EXPECT_EQ(help.Err, "");
}

TEST_F(MurvoromTest, CreateFailuresExitWithStatusOneAndLeaveNoFile)
{
    RunResult run = Murvo("create '" + Path("no/such/dir.rom") + "' 4096");
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("no/such/dir.rom.tmp"), std::string::npos) << run.Err;

    run = Murvo("create '" + Path("small.rom") + "' 56");
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("at least 57"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadFile(Path("small.rom")), "");

    run = Murvo("create --from '" + Path("missing.bin") + "' '" + Path("x.rom") + "' 4096");
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "murvorom: " + Path("missing.bin") + ": No such file or directory\n");
}

} // namespace
