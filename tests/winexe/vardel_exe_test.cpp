/*
 * The Windows deliverables: what vardel.exe's image says (a 32-bit console program that
 * imports only system libraries, with its version resource), what the driver's INF file says
 * for both architectures, and what vardel.exe does under Wine on a machine without a unit.
 */
#include "e2e/pty_run.h"
#include "winexe/terminal_screen.h"
#include "winexe/wine_support.h"

#include "common/murvo_public.h"
#include "common/murvo_version.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string Exe = std::string(MURVO_SOURCE_DIR) + "/build/win32/bin/vardel.exe";

/* The vardel.exe that Wine runs here: the release's 32-bit one, or under a 64-bit Wine the
 * win64 build of the same sources. */
std::string WineExe() { return WindowsBin() + "/vardel.exe"; }

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
        if (at != std::string::npos) {
            dlls.insert(line.substr(at + 10));
        }
    }
    const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll", "SETUPAPI.dll"};
    EXPECT_FALSE(dlls.empty());
    for (const std::string &dll : dlls) {
        EXPECT_EQ(system.count(dll), 1u) << "imports " << dll;
    }
}

/* The release number as the version resources write it ("0.20.0"), from the one header. */
std::string VersionText() { return MURVO_VERSION_TEXT; }

TEST(VardelExe, VersionResourceCarriesTheReleaseNumber)
{
    ASSERT_TRUE(Exists(Exe)) << Exe << " is missing: build the win32 preset first";
    std::string resources = Output("i686-w64-mingw32-windres -J coff -O rc -i '" + Exe + "'");
    char numbers[64];
    snprintf(numbers, sizeof numbers, "%d, %d, %d, 0", MURVO_VERSION_MAJOR, MURVO_VERSION_MINOR, MURVO_VERSION_PATCH);
    EXPECT_NE(resources.find(std::string(" FILEVERSION ") + numbers + "\n"), std::string::npos) << resources;
    EXPECT_NE(resources.find(std::string(" PRODUCTVERSION ") + numbers + "\n"), std::string::npos);
    EXPECT_NE(resources.find(" FILETYPE 0x1\n"), std::string::npos) << "not VFT_APP";
    EXPECT_NE(resources.find("VALUE \"FileVersion\", \"" + VersionText() + "\"\n"), std::string::npos);
    EXPECT_NE(resources.find("VALUE \"ProductVersion\", \"" + VersionText() + "\"\n"), std::string::npos);
    EXPECT_NE(resources.find("VALUE \"CompanyName\", \"" MURVO_COMPANY_NAME "\"\n"), std::string::npos);
    EXPECT_NE(resources.find("VALUE \"ProductName\", \"" MURVO_PRODUCT_NAME "\"\n"), std::string::npos);
    EXPECT_NE(resources.find("VALUE \"OriginalFilename\", \"vardel.exe\"\n"), std::string::npos);
}

/* An INF file as its sections: name (lower case, as Windows compares them) to lines, with
 * comments, blank lines and the spaces around each line dropped. */
struct InfFile {
    std::map<std::string, std::vector<std::string>> Sections;
    bool LinesEndInCrLf = true;
    bool Loaded = false;

    const std::vector<std::string> &Lines(const std::string &name) const
    {
        static const std::vector<std::string> none;
        auto found = Sections.find(Lower(name));
        return found == Sections.end() ? none : found->second;
    }

    bool Has(const std::string &name) const { return Sections.count(Lower(name)) != 0; }

    static std::string Lower(std::string text)
    {
        for (char &c : text) {
            c = (char)tolower((unsigned char)c);
        }
        return text;
    }
};

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

/* Drops a comment: a ';' outside double quotes. */
std::string WithoutComment(const std::string &line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

InfFile ReadInf(const std::string &path)
{
    InfFile inf;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) {
        return inf;
    }
    inf.Loaded = true;
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    fclose(file);

    std::string section;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.back() != '\r') {
            inf.LinesEndInCrLf = false;
        } else {
            line.pop_back();
        }
        line = Trim(WithoutComment(line));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = InfFile::Lower(line.substr(1, line.size() - 2));
            inf.Sections[section];
            continue;
        }
        inf.Sections[section].push_back(line);
    }
    return inf;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

const std::string Inf32 = std::string(MURVO_SOURCE_DIR) + "/build/win32/bin/murvousb.inf";
const std::string Inf64 = std::string(MURVO_SOURCE_DIR) + "/build/win64/bin/murvousb.inf";

TEST(MurvoUsbInf, NamesTheServiceTheDriverFileTheUnitsHardwareIdAndTheRelease)
{
    InfFile inf = ReadInf(Inf32);
    ASSERT_TRUE(inf.Loaded) << Inf32 << " is missing: build the win32 preset first";
    EXPECT_TRUE(inf.LinesEndInCrLf);
    EXPECT_TRUE(Contains(inf.Lines("Version"),
                         std::string("DriverVer   = ") + MURVO_RELEASE_DATE + "," + VersionText() + ".0"));
    EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_Install.NT"), "CopyFiles = MurvoUsb_CopyFiles"));
    EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_CopyFiles"), "murvousb.sys"));
    EXPECT_TRUE(
        Contains(inf.Lines("MurvoUsb_Install.NT.Services"), "AddService = murvousb, 0x00000002, MurvoUsb_Service"));
    EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_Service"), "ServiceBinary = %12%\\murvousb.sys"));
    for (const auto &section : inf.Sections) {
        for (const std::string &line : section.second) {
            EXPECT_EQ(line.find('@'), std::string::npos) << "an unreplaced template variable: " << line;
        }
    }
}

/* Each architecture has its models section, and takes murvousb.sys from its own folder of the
 * package; no undecorated source section stands in for a missing architecture. */
TEST(MurvoUsbInf, InstallsEachArchitecturesDriverFromItsOwnFolder)
{
    InfFile inf = ReadInf(Inf32);
    ASSERT_TRUE(inf.Loaded) << Inf32 << " is missing: build the win32 preset first";
    char hardwareId[64];
    snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    EXPECT_TRUE(Contains(inf.Lines("Manufacturer"),
                         "%ManufacturerName% = MurvoDevices,NTx86,NTamd64,NTx86.10.0...16299,NTamd64.10.0...16299"));
    for (const char *arch : {"x86", "amd64"}) {
        SCOPED_TRACE(arch);
        EXPECT_TRUE(Contains(inf.Lines(std::string("MurvoDevices.NT") + arch),
                             std::string("%MurvoUnit.DeviceDesc% = MurvoUsb_Install, ") + hardwareId));
        EXPECT_TRUE(
            Contains(inf.Lines(std::string("SourceDisksNames.") + arch), std::string("1 = %DiskName%,,,\\") + arch));
        EXPECT_TRUE(Contains(inf.Lines(std::string("SourceDisksFiles.") + arch), "murvousb.sys = 1"));
    }
    EXPECT_FALSE(inf.Has("SourceDisksNames"));
    EXPECT_FALSE(inf.Has("SourceDisksFiles"));
    EXPECT_FALSE(inf.Has("MurvoDevices"));

    std::string text32 = Output("cat '" + Inf32 + "'");
    std::string text64 = Output("cat '" + Inf64 + "'");
    ASSERT_FALSE(text64.empty()) << Inf64 << " is missing: build the win64 preset first";
    EXPECT_TRUE(text32 == text64) << "the win32 and win64 builds make different INF files";
}

/* What InfVerif asks of a driver package: PnP lockdown, and on Windows 10 version 1709 and
 * later a driver that runs from the driver store (DIRID 13), with an install section for
 * each architecture; the undecorated sections stay for older Windows, which copy the driver
 * to System32\drivers (DIRID 12). */
TEST(MurvoUsbInf, RunsTheDriverFromTheDriverStoreOnWindows10Version1709AndLater)
{
    InfFile inf = ReadInf(Inf32);
    ASSERT_TRUE(inf.Loaded) << Inf32 << " is missing: build the win32 preset first";
    char hardwareId[64];
    snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID);
    EXPECT_TRUE(Contains(inf.Lines("Version"), "PnpLockdown = 1"));
    EXPECT_TRUE(Contains(inf.Lines("DestinationDirs"), "MurvoUsb_CopyFiles  = 12"));
    EXPECT_TRUE(Contains(inf.Lines("DestinationDirs"), "MurvoUsb_StoreFiles = 13"));
    EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_StoreFiles"), "murvousb.sys"));
    EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_StoreService"), "ServiceBinary = %13%\\murvousb.sys"));
    for (const std::string arch : {"x86", "amd64"}) {
        SCOPED_TRACE(arch);
        EXPECT_TRUE(Contains(inf.Lines("MurvoDevices.NT" + arch + ".10.0...16299"),
                             std::string("%MurvoUnit.DeviceDesc% = MurvoUsb_Store, ") + hardwareId));
        EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_Store.NT" + arch), "CopyFiles = MurvoUsb_StoreFiles"));
        EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_Store.NT" + arch + ".HW"), "AddReg = MurvoUsb_Security"));
        EXPECT_TRUE(Contains(inf.Lines("MurvoUsb_Store.NT" + arch + ".Services"),
                             "AddService = murvousb, 0x00000002, MurvoUsb_StoreService"));
    }
    EXPECT_FALSE(inf.Has("MurvoUsb_Store")) << "the driver-store install is per architecture";
    for (const auto &section : inf.Sections) {
        for (const std::string &line : section.second) {
            EXPECT_EQ(line.find("DefaultDestDir"), std::string::npos) << "each file list names its folder";
        }
    }
}

/* The stack's security: FILE_DEVICE_SECURE_OPEN, so that opens of the pipes below the device
 * are checked too, and a protected DACL granting SYSTEM and Administrators alone. */
TEST(MurvoUsbInf, GivesTheDeviceStackAnExplicitSecurityPolicy)
{
    InfFile inf = ReadInf(Inf32);
    ASSERT_TRUE(inf.Loaded) << Inf32 << " is missing: build the win32 preset first";
    for (const char *section : {"MurvoUsb_Store.NTx86.HW", "MurvoUsb_Store.NTamd64.HW"}) {
        EXPECT_EQ(inf.Lines(section), inf.Lines("MurvoUsb_Install.NT.HW")) << section;
    }
    const std::vector<std::string> &hardware = inf.Lines("MurvoUsb_Install.NT.HW");
    ASSERT_EQ(hardware.size(), 1u);
    ASSERT_EQ(hardware[0].rfind("AddReg = ", 0), 0u) << hardware[0];
    const std::vector<std::string> &addReg = inf.Lines(hardware[0].substr(9));
    EXPECT_TRUE(Contains(addReg, "HKR,,DeviceCharacteristics,0x10001,0x100"))
        << "FILE_DEVICE_SECURE_OPEN as a REG_DWORD";
    std::string security;
    for (const std::string &line : addReg) {
        if (line.rfind("HKR,,Security,,", 0) == 0) {
            security = line.substr(15);
        }
    }
    EXPECT_EQ(security, "\"D:P(A;;GA;;;SY)(A;;GA;;;BA)\"");
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

class VardelUnderWineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = WhyWineCannotRun();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(Exists(WineExe())) << WineExe() << " is missing: build the win" << HostWine().Bits
                                       << " preset first";
        Dir = ::testing::TempDir() + "vardel_wine_" + std::to_string(getpid());
        mkdir(Dir.c_str(), 0700);
    }

    ProgramRun Run(std::vector<std::string> args, std::string keys)
    {
        ProgramSetup setup;
        setup.Program = HostWine().Loader;
        setup.Args = {WineExe()};
        setup.Args.insert(setup.Args.end(), args.begin(), args.end());
        setup.WorkDir = Dir;
        /* Wine's console at a terminal passes keys on only at Enter: the key, then Enter. */
        setup.Keys = keys.empty() ? keys : keys + "\r";
        setup.Screen = TerminalScreen;
        setup.Prompt = "[Y/N]"; /* the space after it is a blank the console erases to */
        /* Wine's console reads its keyboard from Wine's own standard input: the terminal. */
        setup.StdinFromDevNull = false;
        setup.Env = {{"WINEPREFIX", MURVO_WINE_PREFIX}, {"WINEDEBUG", "-all"}};
        setup.TimeoutSeconds = 60;
        return RunProgram(setup);
    }

    static std::string Plain(const std::string &text)
    {
        std::string plain;
        for (char c : text) {
            if (c != '\r') {
                plain += c;
            }
        }
        return plain;
    }

    std::string Dir;
};

TEST_F(VardelUnderWineTest, UsageTextAndStatus)
{
    ProgramRun run = Run({}, "");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Err).find("Usage  : vardel [options] <binfile>\n"), std::string::npos) << run.Err;
}

TEST_F(VardelUnderWineTest, ImageThatCannotBeOpened)
{
    ProgramRun run = Run({"missing.rom"}, "Y");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Err).find("Cannot open file for reading: "), std::string::npos) << run.Err;
}

TEST_F(VardelUnderWineTest, NoUnitAttached)
{
    FILE *image = fopen((Dir + "/sample.rom").c_str(), "wb");
    ASSERT_NE(image, nullptr);
    fputs("not even an image", image);
    fclose(image);
    ProgramRun run = Run({"sample.rom"}, "Y");
    EXPECT_EQ(run.ExitStatus, 1);
    /* No interface of the class: the reason line, then the sequence's message. */
    EXPECT_NE(Plain(run.Err).find("No MURVO unit found: none is plugged in, or its driver (murvousb) is not "
                                  "installed\n\n*Error* Failed to initialise USB\n"),
              std::string::npos)
        << run.Err;
}

TEST_F(VardelUnderWineTest, RefusalOpensNothing)
{
    ProgramRun run = Run({"sample.rom"}, "n");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(TerminalScreen(run.Terminal).find("* Aborted *"), std::string::npos) << TerminalScreen(run.Terminal);
}

/* The calls of one Wine relay trace made by the thread that called first, counted by name
 * ("msvcrt.fputc", "KERNEL32.WriteConsoleW", ...). */
size_t CountRelayCalls(const std::string &trace, const std::string &thread, const std::string &function)
{
    std::string call = "\n" + thread + ":Call " + function + "(";
    size_t count = 0;
    for (size_t at = trace.find(call); at != std::string::npos; at = trace.find(call, at + 1)) {
        count++;
    }
    return count;
}

TEST_F(VardelUnderWineTest, EachMessageReachesTheConsoleInOneWriteNotOnePerCharacter)
{
    /* The runtime's printf hands standard output one character at a time (fputc); buffered,
     * the console sees a write per message: banner, prompt and "* Aborted *" here. */
    ProgramSetup setup;
    setup.Program = HostWine().Loader;
    setup.Args = {WineExe(), "sample.rom"};
    setup.WorkDir = Dir;
    /* Wine's console at a terminal passes keys on only at Enter (its terminal stays in line
     * mode, where Windows hands over each key): "n" then Enter. */
    setup.Keys = "n\r";
    setup.Prompt = ""; /* typed at once: drawn a character at a time, the prompt is no text to find */
    setup.Env = {{"WINEPREFIX", MURVO_WINE_PREFIX}, {"WINEDEBUG", "+relay"}};
    setup.StdinFromDevNull = false; /* Wine's console reads keys from its standard input */
    setup.KeyDelayMs = 2000;        /* the terminal holds the line until the program reads it */
    setup.TimeoutSeconds = 60;
    ProgramRun run = RunProgram(setup);
    ASSERT_EQ(run.ExitStatus, 1) << Plain(run.Terminal);
    size_t first = run.Err.find(":Call msvcrt.fputc(");
    ASSERT_NE(first, std::string::npos) << "no relay trace of vardel.exe";
    size_t lineStart = run.Err.rfind('\n', first) + 1;
    std::string thread = run.Err.substr(lineStart, first - lineStart);
    size_t characters = CountRelayCalls(run.Err, thread, "msvcrt.fputc");
    size_t writes = CountRelayCalls(run.Err, thread, "KERNEL32.WriteFile") +
                    CountRelayCalls(run.Err, thread, "KERNEL32.WriteConsoleA") +
                    CountRelayCalls(run.Err, thread, "KERNEL32.WriteConsoleW");
    printf("vardel.exe under Wine: %zu characters through fputc, %zu console writes\n", characters, writes);
    EXPECT_GE(characters, 100u);
    EXPECT_LE(writes, 6u);
}

} // namespace
