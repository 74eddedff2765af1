/*
 * The release's vardel.exe and murvousb.sys update the rig's simulated unit under Wine's
 * kernel: the test build of Wine (scripts/wine-test-build, winerig/wine/), whose server hands
 * the names below a device to its driver and whose kernel implements IoBuildPartialMdl, runs
 * the rig's prefix; the rig's bus (winerig/) answers murvousb's bulk transfers with the
 * simulated unit's firmware (unitsim's portable core). Each scenario runs the same way on the
 * Linux stand-in (the host's vardel on the simulated machine), and the two must agree: the
 * text on the screen, the exit status, the flash byte for byte.
 *
 * When the test build cannot be made on this machine the tests skip, quoting why; when it was
 * made they run, and the session they run in is checked to be served by its server. The tests
 * share one session (its start is the slow part): each powers the unit on afresh, plugs it in
 * again after an unplug, and reads the bus's log from where it began.
 */
#include "e2e/pty_run.h"
#include "winexe/rig_session.h"
#include "winexe/terminal_screen.h"
#include "winexe/wine_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

const uint32_t FlashSize = 0x20000; /* 16 blocks of 8 KiB: quick through Wine */
const uint32_t BootBlock = 0x10000;

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* The first offset at which two byte strings differ, as text; "" when they are the same. */
std::string FirstDifference(const std::vector<uint8_t> &got, const std::vector<uint8_t> &wanted)
{
    if (got.size() != wanted.size()) {
        return "sizes " + std::to_string(got.size()) + " and " + std::to_string(wanted.size());
    }
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i] != wanted[i]) {
            char text[64];
            snprintf(text, sizeof text, "offset 0x%zx: 0x%02x, wanted 0x%02x", i, got[i], wanted[i]);
            return text;
        }
    }
    return "";
}

/* What the terminal shows, without the blanks at the ends of its lines: Wine's console draws
 * a line and erases the rest of it, so a blank written last on a line ("[Y/N] ") is not on
 * the screen, where the stand-in's terminal keeps it. */
std::string Screen(const std::string &written)
{
    std::string screen = TerminalScreen(written), trimmed;
    size_t at = 0;
    while (at < screen.size()) {
        size_t end = screen.find('\n', at);
        std::string line = screen.substr(at, end == std::string::npos ? std::string::npos : end - at);
        line.erase(line.find_last_not_of(' ') + 1);
        trimmed += line;
        if (end == std::string::npos) {
            break;
        }
        trimmed += '\n';
        at = end + 1;
    }
    return trimmed;
}

/* One update, as the screen showed it, with its exit status. */
struct Outcome {
    int ExitStatus = -1;
    std::string Screen;
    std::string Errors; /* standard error, a pipe of its own */
    std::vector<uint8_t> Flash;
};

class WineUpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = WhyWineCannotRun();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        TestWine build = TestWineBuild(MURVO_BUILD_DIR);
        if (build.Dir.empty()) {
            GTEST_SKIP() << build.Why;
        }
        ASSERT_TRUE(RigInstalled()) << "the rig's prefix was not made: the wine_rig_prefix test makes it";
        if (!Session.Started) {
            Session.TestWineDir = build.Dir;
            ASSERT_EQ(StartRigSession(&Session), "");
        }
        Probe = Fields(Rigctl("probe"));
        if (Probe["interface"].compare(0, 6, "error ") == 0) {
            /* An earlier test unplugged the unit: once its removal is done, it goes in again. */
            ASSERT_EQ(Fields(Rigctl("plug"))["plug"], "done") << Log();
        }
        ASSERT_TRUE(WaitForInterface(true, &Probe)) << Log();
        /* The test build's server and kernel serve the session: a pipe below the interface opens. */
        ASSERT_EQ(Probe["open PIPE00"], "ok") << "the test build's ntoskrnl.exe does not serve murvousb";
        LogStart = Rigctl("log").size();

        std::string pattern = ::testing::TempDir() + "wine_update_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        Dir = name.data();
        std::string command = std::string(MURVOROM_PATH) + " create --pattern random:7 '" + Dir + "/image.rom' " +
                              std::to_string(FlashSize) + " >/dev/null && cp '" + Dir + "/image.rom' '" +
                              MURVO_RIG_PREFIX "/drive_c/rig/image.rom'";
        ASSERT_EQ(system(command.c_str()), 0) << command;
        Image = ReadBytes(Dir + "/image.rom");
        ASSERT_EQ(Image.size(), FlashSize);
    }

    static void TearDownTestSuite() { EndRigSession(&Session); }

    /* The bus's log since the test began. */
    std::string Log()
    {
        std::string log = Rigctl("log");
        return log.size() >= LogStart ? log.substr(LogStart) : log;
    }

    void TearDown() override
    {
        if (!Dir.empty()) {
            std::string command = "rm -rf '" + Dir + "'";
            EXPECT_EQ(system(command.c_str()), 0);
        }
    }

    /* The update under Wine on a unit powered on afresh with the faults given ("-": none). */
    Outcome UnderWine(const std::vector<std::string> &options, const std::string &faults)
    {
        Outcome outcome;
        std::string setup = Rigctl("unit firmware " + std::to_string(FlashSize) + " 16 " + faults);
        EXPECT_EQ(Fields(setup)["unit"], "on") << setup;
        std::vector<std::string> args = options;
        args.push_back("image.rom"); /* in C:\rig, the folder it runs in, as on the stand-in */
        ProgramRun run = RunVardel(args, "-all", MURVO_RIG_PREFIX "/drive_c/rig");
        outcome.ExitStatus = run.ExitStatus;
        outcome.Screen = Screen(run.Terminal);
        outcome.Errors = run.Err;
        std::string saved = Rigctl("flash 'C:\\rig\\flash.bin'");
        if (Fields(saved)["flash"] == std::to_string(FlashSize) + " bytes") {
            outcome.Flash = ReadBytes(MURVO_RIG_PREFIX "/drive_c/rig/flash.bin");
        }
        return outcome;
    }

    /* The same update on the Linux stand-in: the host's vardel on the simulated machine, its
     * unit's flash erased at power-on as the rig's is. */
    Outcome OnStandIn(const std::vector<std::string> &options, const std::string &faults)
    {
        Outcome outcome;
        unlink((Dir + "/flash.bin").c_str());
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = options;
        setup.Args.push_back("image.rom");
        setup.WorkDir = Dir;
        setup.Keys = "Y";
        setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)}, {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"}};
        if (faults != "-") {
            setup.Env.push_back({"MURVO_SIM_FAULTS", faults});
        }
        ProgramRun run = RunProgram(setup);
        outcome.ExitStatus = run.ExitStatus;
        outcome.Screen = Screen(run.Terminal);
        outcome.Errors = run.Err;
        outcome.Flash = ReadBytes(Dir + "/flash.bin");
        return outcome;
    }

    /* Runs the scenario both ways; they must agree on the screen and the exit status. */
    Outcome Both(const std::vector<std::string> &options, const std::string &faults, bool sameFlash = true)
    {
        Outcome standIn = OnStandIn(options, faults);
        Outcome wine = UnderWine(options, faults);
        EXPECT_EQ(wine.ExitStatus, standIn.ExitStatus) << wine.Screen;
        EXPECT_EQ(wine.Screen, standIn.Screen);
        if (sameFlash) {
            EXPECT_EQ(FirstDifference(wine.Flash, standIn.Flash), "") << "the flash under Wine and on the stand-in";
        }
        return wine;
    }

    static RigSession Session;
    std::map<std::string, std::string> Probe;
    size_t LogStart = 0;
    std::string Dir;
    std::vector<uint8_t> Image;
};

TEST_F(WineUpdateTest, UpdateKeepsTheBootBlockAndWritesTheRest)
{
    Outcome wine = Both({}, "-");
    EXPECT_EQ(wine.ExitStatus, 0) << wine.Screen;
    EXPECT_NE(wine.Screen.find("Completed ok"), std::string::npos) << wine.Screen;
    std::vector<uint8_t> wanted = Image;
    std::fill(wanted.begin(), wanted.begin() + BootBlock, 0xFF); /* erased at power-on, never touched */
    EXPECT_EQ(FirstDifference(wine.Flash, wanted), "");
}

TEST_F(WineUpdateTest, UpdateWithBootblockWritesTheWholeImage)
{
    Outcome wine = Both({"/bootblock"}, "-");
    EXPECT_EQ(wine.ExitStatus, 0) << wine.Screen;
    EXPECT_NE(wine.Screen.find("Completed ok"), std::string::npos) << wine.Screen;
    EXPECT_EQ(FirstDifference(wine.Flash, Image), "");
}

TEST_F(WineUpdateTest, RefusedWriteFlashFailsTheUpdate)
{
    Outcome wine = Both({}, "status:WriteFlash:3:7");
    EXPECT_EQ(wine.ExitStatus, 2) << wine.Screen;
    EXPECT_NE(wine.Screen.find("Operation failed"), std::string::npos) << wine.Screen;
    /* The user is told what the stop left on the unit, under Wine as on the stand-in. */
    EXPECT_NE(wine.Errors.find("The flash is only partly written: run vardel again with the same options to repair it"),
              std::string::npos)
        << wine.Errors;
}

TEST_F(WineUpdateTest, UnitThatStopsAnsweringEndsTheUpdateAfterAPipeReset)
{
    Outcome wine = Both({}, "noreply:WriteFlash:3");
    EXPECT_NE(wine.ExitStatus, 0) << wine.Screen;
    std::string log = Log(), missing;
    EXPECT_TRUE(InOrder(log, {"unit WriteFlash 0x10400", "urb SYNC_RESET_PIPE_AND_CLEAR_STALL pipe 0x81"}, &missing))
        << missing << " is not in\n"
        << log;
}

TEST_F(WineUpdateTest, UnplugDuringTheWritePhaseRemovesTheUnitAndEndsVardel)
{
    Outcome wine = Both({}, "unplug:WriteFlash:5", false);
    EXPECT_NE(wine.ExitStatus, -1) << "vardel did not end: " << wine.Screen;
    EXPECT_NE(wine.ExitStatus, 0) << wine.Screen;
    ASSERT_TRUE(WaitForInterface(false, &Probe)) << Log();
    std::string log = Log(), missing;
    EXPECT_TRUE(InOrder(log, {"bus unplug", "unit SURPRISE_REMOVAL stack 2", "unit REMOVE_DEVICE stack 2"}, &missing))
        << missing << " is not in\n"
        << log;
}

/* murvousb's pipes from a program of its own (rigctl pipes), on a loopback unit. */
TEST_F(WineUpdateTest, PipesTakeStagedTransfersCancelsAndResets)
{
    auto result = Fields(Rigctl("pipes"));
    std::string log = Log();
    EXPECT_EQ(result["open PIPE00"], "ok");
    EXPECT_EQ(result["open PIPE01"], "ok");
    /* More than one 4096-byte stage each way: IoBuildPartialMdl at work. */
    EXPECT_EQ(result["staged write"], "ok 8192");
    EXPECT_EQ(result["staged read"], "ok 8192");
    EXPECT_EQ(result["staged read matches"], "yes");
    EXPECT_NE(log.find("urb BULK_OR_INTERRUPT_TRANSFER pipe 0x02 length 4096\nurb BULK_OR_INTERRUPT_TRANSFER pipe 0x02 "
                       "length 4096\n"),
              std::string::npos)
        << log;
    /* ERROR_OPERATION_ABORTED (995), single and staged. */
    EXPECT_EQ(result["cancelled single read"], "error 995");
    EXPECT_EQ(result["cancelled staged read"], "error 995");
    EXPECT_EQ(result["IOCTL_RESET_PIPE PIPE00"], "ok bytes");
    EXPECT_EQ(result["IOCTL_RESET_PIPE PIPE01"], "ok bytes");
    std::string missing;
    EXPECT_TRUE(
        InOrder(log, {"urb SYNC_RESET_PIPE_AND_CLEAR_STALL pipe 0x81", "urb SYNC_RESET_PIPE_AND_CLEAR_STALL pipe 0x02"},
                &missing))
        << missing << " is not in\n"
        << log;
    /* A read on the OUT pipe and a write on the IN pipe: STATUS_INVALID_PARAMETER, as on the
     * stand-in (ERROR_INVALID_PARAMETER). */
    EXPECT_EQ(result["read PIPE01"], "error 87");
    EXPECT_EQ(result["write PIPE00"], "error 87");
    /* A read that fails on the bus (the IN endpoint stalls) moved nothing, as the USB stack
     * reports it: STATUS_UNSUCCESSFUL (ERROR_GEN_FAILURE, 31), 0 bytes. */
    EXPECT_EQ(result["request before the failed read"], "ok 4");
    EXPECT_EQ(result["stalled read"], "error 31, 0 bytes");
}

RigSession WineUpdateTest::Session;

} // namespace
