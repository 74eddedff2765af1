/*
 * vardel.exe, the Windows deliverable: what its image says (a 32-bit console program that
 * imports only system libraries), and what it does under Wine on a machine without a unit.
 */
#include "e2e/pty_run.h"
#include "winexe/terminal_screen.h"

#include "common/murvo_public.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

namespace {

const std::string Exe = std::string(MURVO_SOURCE_DIR) + "/build/win32/bin/vardel.exe";

std::string Output(const std::string &command)
{
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == NULL)
        return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, got);
    pclose(pipe);
    return text;
}

bool Exists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

TEST(VardelExe, IsA32BitConsoleProgramImportingOnlySystemLibraries)
{
    ASSERT_TRUE(Exists(Exe)) << Exe << " is missing: build the win32 preset first";
    std::string headers = Output("i686-w64-mingw32-objdump -p '" + Exe + "'");
    EXPECT_NE(headers.find("file format pei-i386"), std::string::npos);
    EXPECT_NE(headers.find("(Windows CUI)"), std::string::npos);
    std::set<std::string> dlls;
    std::istringstream lines(headers);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("DLL Name: ");
        if (at != std::string::npos)
            dlls.insert(line.substr(at + 10));
    }
    const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll", "SETUPAPI.dll"};
    EXPECT_FALSE(dlls.empty());
    for (const std::string &dll : dlls)
        EXPECT_EQ(system.count(dll), 1u) << "imports " << dll;
}

TEST(MurvoUsbInf, NamesTheServiceTheDriverFileAndTheUnitsHardwareId)
{
    const std::string inf = std::string(MURVO_SOURCE_DIR) + "/build/win32/bin/murvousb.inf";
    ASSERT_TRUE(Exists(inf)) << inf << " is missing: build the win32 preset first";
    std::string text = Output("cat '" + inf + "'");
    char hardwareId[64];
    snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    EXPECT_NE(text.find(std::string("MurvoUsb_Install, ") + hardwareId + "\r\n"), std::string::npos) << hardwareId;
    EXPECT_NE(text.find("AddService = murvousb, 0x00000002, MurvoUsb_Service\r\n"), std::string::npos);
    EXPECT_NE(text.find("ServiceBinary = %12%\\murvousb.sys\r\n"), std::string::npos);
    EXPECT_NE(text.find("[SourceDisksFiles]\r\nmurvousb.sys = 1\r\n"), std::string::npos);
    EXPECT_EQ(text.find("@"), std::string::npos) << "an unreplaced template variable";
}

/* What Wine's console wrote at a terminal while vardel asked its question (captured from
 * Wine 8), and what a user read there. */
TEST(TerminalScreen, ShowsWhatWinesConsoleDrewCharacterByCharacter)
{
    const std::string drawn = "\r\r\n\x1b[?25lA\x1b[?25h\x1b[?25lr\x1b[?25h\x1b[?25le\x1b[?25h\x1b[?25l\x1b[K\x1b[1C"
                              "\x1b[?25h\x1b[?25ly\x1b[?25h\x1b[?25l[\x1b[?25h\x1b[?25lY\x1b[?25h\x1b[?25l/\x1b[?25h"
                              "\x1b[?25lN\x1b[?25h\x1b[?25l]\x1b[?25h\x1b[?25l\x1b[K\x1b[1C\x1b[?25h";
    EXPECT_EQ(TerminalScreen(drawn), "\nAre y[Y/N] ");
    /* Erasing, moving back and positioning the cursor rewrite what the screen shows. */
    EXPECT_EQ(TerminalScreen("12345\x1b[3D\x1b[Kab\r\nx\x1b[1;2Hz\x1b[2;3Hq"), "1zab\nx q");
    EXPECT_EQ(TerminalScreen("old\x1b[2J\x1b[Hnew"), "new");
}

/* Wine runs 32-bit Windows programs only where the kernel runs 32-bit x86 code. */
std::string WhyWineCannotRun()
{
    if (system("command -v wine >/dev/null 2>&1") != 0)
        return "wine is not installed, and scripts/install-deps could not install it here";
    if (system("/usr/lib/wine/wineserver32 --version >/dev/null 2>&1") != 0 &&
        system("wineserver --version >/dev/null 2>&1") != 0)
        return "this machine's kernel does not run 32-bit x86 programs";
    return "";
}

class VardelUnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = WhyWineCannotRun();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(Exists(Exe)) << Exe << " is missing: build the win32 preset first";
        Dir = ::testing::TempDir() + "vardel_wine_" + std::to_string(getpid());
        mkdir(Dir.c_str(), 0700);
    }

    ProgramRun Run(std::vector<std::string> args, std::string keys)
    {
        ProgramSetup setup;
        setup.Program = "/usr/bin/wine";
        setup.Args = {Exe};
        setup.Args.insert(setup.Args.end(), args.begin(), args.end());
        setup.WorkDir = Dir;
        setup.Keys = std::move(keys);
        setup.Screen = TerminalScreen;
        /* Wine's console reads its keyboard from Wine's own standard input: the terminal. */
        setup.StdinFromDevNull = false;
        setup.Env = {{"WINEPREFIX", MURVO_WINE_PREFIX}, {"WINEDEBUG", "-all"}};
        setup.TimeoutSeconds = 60;
        return RunProgram(setup);
    }

    static std::string Plain(const std::string &text)
    {
        std::string plain;
        for (char c : text)
            if (c != '\r')
                plain += c;
        return plain;
    }

    std::string Dir;
};

TEST_F(VardelUnderWine, UsageTextAndStatus)
{
    ProgramRun run = Run({}, "");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Err).find("Usage  : vardel [options] <binfile>\n"), std::string::npos) << run.Err;
}

TEST_F(VardelUnderWine, ImageThatCannotBeOpened)
{
    ProgramRun run = Run({"missing.rom"}, "Y");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Err).find("Cannot open file for reading: "), std::string::npos) << run.Err;
}

TEST_F(VardelUnderWine, NoUnitAttached)
{
    FILE *image = fopen((Dir + "/sample.rom").c_str(), "wb");
    ASSERT_NE(image, nullptr);
    fputs("not even an image", image);
    fclose(image);
    ProgramRun run = Run({"sample.rom"}, "Y");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Err).find("\n*Error* Failed to initialise USB\n"), std::string::npos) << run.Err;
}

TEST_F(VardelUnderWine, RefusalOpensNothing)
{
    ProgramRun run = Run({"sample.rom"}, "n");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(TerminalScreen(run.Terminal).find("* Aborted *"), std::string::npos) << TerminalScreen(run.Terminal);
}

} // namespace
