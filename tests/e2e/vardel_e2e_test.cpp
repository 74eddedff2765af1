/*
 * End to end: the built vardel run at a pseudo-terminal against the simulated unit, the
 * way a user runs it: the test waits for the prompt and presses the key.
 */
#include "pty_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

const uint32_t FlashSize = 0x40000; /* small enough to run fast, 32 blocks of 8 KiB */

/* What vardel says on standard error of the flash it leaves behind. */
const std::string PartlyWritten =
    "The flash is only partly written: run vardel again with the same options to repair it\n";
const std::string BootBlockErased =
    "The boot block is erased and the flash partly written: run vardel /bootblock again before any power-cycle\n";
const std::string WrittenUnchecked =
    "The flash is written but was not checked: run vardel again with the same options to finish the update\n";

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

/* Standard error without the line naming the unit, which comes first in verbose mode. */
std::string AfterUnitLine(const std::string &err)
{
    const std::string said = "1 MURVO unit found, using: ";
    return err.compare(0, said.size(), said) == 0 ? err.substr(err.find('\n') + 1) : err;
}

/* Turns the terminal's line ends back into plain line feeds. */
std::string Plain(std::string text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        plain += text[i];
    }
    return plain;
}

class VardelEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        /* A folder of this run's own: a left-over one of an earlier run with the same process
         * id would otherwise hand this case its files. */
        std::string pattern = ::testing::TempDir() + "vardel_e2e_" + info->name() + "_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr) << pattern;
        Dir = name.data();
        MakeRom("rom.bin", FlashSize, "");
        Image = ReadFile(Dir + "/rom.bin");
        /* The flash starts with a pattern of its own, so that what the update leaves is visible. */
        Before.resize(FlashSize);
        for (uint32_t i = 0; i < FlashSize; i++) {
            Before[i] = (uint8_t)(i * 13 + (i >> 9));
        }
        WriteFile(Dir + "/flash.bin", Before);
    }

    void TearDown() override
    {
        if (!Dir.empty()) {
            std::string command = "rm -rf '" + Dir + "'";
            EXPECT_EQ(system(command.c_str()), 0) << command;
        }
    }

    /* Makes an image with murvorom; extra is appended to its command line. */
    void MakeRom(const std::string &name, uint32_t size, const std::string &extra)
    {
        std::string command = std::string(MURVOROM_PATH) + " create --pattern random:7" + extra + " " + Dir + "/" +
                              name + " " + std::to_string(size) + " >/dev/null";
        ASSERT_EQ(system(command.c_str()), 0) << command;
    }

    ProgramRun Update(std::vector<std::string> args, std::string keys = "Y",
                      std::vector<std::pair<std::string, std::string>> env = {})
    {
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = std::move(args);
        setup.WorkDir = Dir;
        setup.Keys = std::move(keys);
        setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)},
                     {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"},
                     {"MURVO_SIM_LOG", Dir + "/unit.log"}};
        for (auto &entry : env) {
            setup.Env.push_back(entry);
        }
        return RunProgram(setup);
    }

    std::vector<std::string> LogLines()
    {
        std::ifstream in(Dir + "/unit.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    size_t LogCount(const std::string &command)
    {
        size_t count = 0;
        for (const std::string &line : LogLines()) {
            if (line.compare(0, command.size() + 1, command + " ") == 0 || line == command) {
                count++;
            }
        }
        return count;
    }

    std::string Dir;
    std::vector<uint8_t> Image;
    std::vector<uint8_t> Before;
};

TEST_F(VardelEndToEndTest, UpdatePreservesTheBootBlockAndWritesTheRest)
{
    ProgramRun run = Update({"/v", "rom.bin"});
    ASSERT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    std::string out = Plain(run.Terminal);
    EXPECT_NE(out.find("\nUSB initialised ok"), std::string::npos);
    EXPECT_NE(out.find("\nChecksum verified ok"), std::string::npos);
    EXPECT_NE(out.find("\nCompleted ok\n*** Please power-cycle the unit to restart ***\n"), std::string::npos);
    EXPECT_EQ(AfterUnitLine(run.Err), "");
    EXPECT_NE(run.Err, "");

    std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
    ASSERT_EQ(after.size(), FlashSize);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x10000, Before.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000));
    EXPECT_EQ(LogCount("UnlockBlock"), 24u);
    EXPECT_EQ(LogCount("WriteFlash"), (FlashSize - 0x10000) / 512);
}

TEST_F(VardelEndToEndTest, BootBlockOfAUnitWithoutEightKiBBlocksIsNeverTouched)
{
    /* 64 blocks of 4 KiB: blocks 8 to 15 are the second half of the boot block. */
    for (const char *blocks : {"64", "16", "1"}) {
        unlink((Dir + "/unit.log").c_str());
        ProgramRun run = Update({"/v", "rom.bin"}, "Y", {{"MURVO_SIM_BLOCKS", blocks}});
        EXPECT_EQ(run.ExitStatus, 1) << blocks;
        EXPECT_EQ(AfterUnitLine(run.Err), "\n*Error* Flash ROM blocks are not 8 KB: cannot keep the boot block\n")
            << blocks;
        EXPECT_EQ(LogCount("UnlockBlock") + LogCount("EraseBlock") + LogCount("WriteFlash"), 0u) << blocks;
        EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Before) << blocks;
    }
    ProgramRun run = Update({"/bootblock", "rom.bin"}, "Y", {{"MURVO_SIM_BLOCKS", "64"}});
    EXPECT_EQ(run.ExitStatus, 0) << run.Err;
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Image);
}

TEST_F(VardelEndToEndTest, InterruptedUpdateLeavesTheFlashAsFarAsItGotAndARerunRepairsIt)
{
    /* The fifth record's reply is held back, so the run is surely in its write phase, with
     * every block erased and four or five records written, when the signal comes. */
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        WriteFile(Dir + "/flash.bin", Before);
        unlink((Dir + "/unit.log").c_str());
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = {"rom.bin"};
        setup.WorkDir = Dir;
        setup.Keys = "Y";
        setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)},
                     {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"},
                     {"MURVO_SIM_LOG", Dir + "/unit.log"},
                     {"MURVO_SIM_FAULTS", "delay:WriteFlash:5:1500"}};
        setup.SendSignal = signal;
        setup.SignalWhen = "Writing flash 10A00h";
        ProgramRun run = RunProgram(setup);
        ASSERT_EQ(run.Signal, signal) << run.Terminal << run.Err;
        EXPECT_EQ(run.Err, "\n" + PartlyWritten) << signal;

        /* The log line of a command is written just before it is carried out, so the last
         * logged record may or may not have reached the flash. */
        size_t logged = LogCount("WriteFlash");
        ASSERT_GE(logged, 4u);
        ASSERT_LT(logged, (FlashSize - 0x10000) / 512);
        EXPECT_EQ(LogCount("EraseBlock"), 24u);
        std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
        ASSERT_EQ(after.size(), FlashSize);
        uint32_t done = 0x10000 + (uint32_t)(logged - 1) * 512, end = done + 512;
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x10000, Before.begin())) << signal;
        EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.begin() + done, Image.begin() + 0x10000)) << signal;
        EXPECT_TRUE(std::equal(after.begin() + done, after.begin() + end, Image.begin() + done) ||
                    std::all_of(after.begin() + done, after.begin() + end, [](uint8_t b) { return b == 0xFF; }))
            << signal;
        EXPECT_EQ(std::vector<uint8_t>(after.begin() + end, after.end()), std::vector<uint8_t>(FlashSize - end, 0xFF))
            << signal;

        run = Update({"rom.bin"});
        ASSERT_EQ(run.ExitStatus, 0) << run.Err;
        after = ReadFile(Dir + "/flash.bin");
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x10000, Before.begin()));
        EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000));
    }
}

/* A unit that stays powered between runs (a state file) keeps a reply that a run never
 * read: one that came after the run had given up on it, or one of a command the unit was
 * still carrying out when the run was ended. The next run drops it and repairs the unit. */
TEST_F(VardelEndToEndTest, PersistentUnitIsRepairedByARerunAfterALateReplyOrAKillDuringTheErase)
{
    std::pair<std::string, std::string> state = {"MURVO_SIM_STATE_FILE", Dir + "/unit.state"};
    ProgramRun run = Update({"rom.bin"}, "Y", {state, {"MURVO_SIM_FAULTS", "delay:GetFlashInfo:1:2500"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "\n*Error* Failed to receive USB reply\n");
    run = Update({"rom.bin"}, "Y", {state});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
    EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000));

    WriteFile(Dir + "/flash.bin", Before);
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"rom.bin"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)},
                 {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"},
                 state,
                 {"MURVO_SIM_FAULTS", "delay:EraseBlock:5:1500"}};
    setup.SendSignal = SIGTERM;
    setup.SignalWhen = "Erasing block 13 of 32";
    run = RunProgram(setup);
    ASSERT_EQ(run.Signal, SIGTERM) << run.Terminal << run.Err;
    usleep(1500 * 1000); /* the unit finishes the erase it was given */
    run = Update({"rom.bin"}, "Y", {state});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    after = ReadFile(Dir + "/flash.bin");
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x10000, Before.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000));
}

/* Two ways a caller lets an update outlive it: a reader of the output that goes away
 * (`vardel rom.bin | head -c 2000`), and a hang-up ignored from the start (nohup). Either way
 * the update runs to its end: every block locked again, the checksum asked for, and the
 * verdict in the exit status (a failed write to standard output is a failed run). */
TEST_F(VardelEndToEndTest, ClosedOutputPipeAndIgnoredHangUpLetTheUpdateFinish)
{
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"rom.bin"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.WaitForEchoOff = true;
    setup.TimeoutSeconds = 30;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)},
                 {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"},
                 {"MURVO_SIM_LOG", Dir + "/unit.log"}};
    setup.StdoutReaderBytes = 2000;
    ProgramRun run = RunProgram(setup);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.ExitStatus, 2) << run.Err;
    EXPECT_EQ(run.Out.size(), 2000u);
    EXPECT_EQ(LogCount("LockBlock"), 24u);
    EXPECT_EQ(LogCount("GetChecksum"), 1u);
    EXPECT_EQ(ReadFile(Dir + "/flash.bin").size(), FlashSize);
    EXPECT_TRUE(std::equal(Image.begin() + 0x10000, Image.end(), ReadFile(Dir + "/flash.bin").begin() + 0x10000));

    WriteFile(Dir + "/flash.bin", Before);
    unlink((Dir + "/unit.log").c_str());
    setup.StdoutReaderBytes = -1;
    setup.IgnoredSignals = {SIGHUP};
    setup.WaitForEchoOff = false; /* the signal comes in the write phase, with the echo back on */
    setup.SendSignal = SIGHUP;
    setup.SignalWhen = "Writing flash 10A00h";
    setup.Env.push_back({"MURVO_SIM_FAULTS", "delay:WriteFlash:5:500"});
    run = RunProgram(setup);
    EXPECT_TRUE(run.SignalSent);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_NE(Plain(run.Terminal).find("\nCompleted ok\n"), std::string::npos) << run.Terminal;
    EXPECT_EQ(LogCount("LockBlock"), 24u);
}

TEST_F(VardelEndToEndTest, EveryEarlyEndSaysWhatTheFlashHolds)
{
    struct Case {
        const char *Option; /* "/bootblock" or "" */
        const char *Fault;
        int ExitStatus;
        std::string Error; /* standard error, whole */
    };
    const std::string lostReply = "\n*Error* Failed to receive USB reply\n";
    const Case cases[] = {
        /* Nothing erased yet: nothing to say. */
        {"/bootblock", "status:UnlockBlock:3:5", 2, ""},
        {"", "noreply:UnlockBlock:2", 1, lostReply},
        /* Erased, not yet written: the boot block is gone with /bootblock. */
        {"/bootblock", "status:EraseBlock:3:5", 2, BootBlockErased},
        {"/bootblock", "noreply:EraseBlock:1", 1, lostReply + BootBlockErased},
        {"", "status:EraseBlock:3:5", 2, PartlyWritten},
        /* Records 1 to 128 are the boot block. */
        {"/bootblock", "status:WriteFlash:128:7", 2, BootBlockErased},
        {"/bootblock", "stall:WriteFlash:40", 1, lostReply + BootBlockErased},
        {"/bootblock", "status:WriteFlash:129:7", 2, PartlyWritten},
        {"", "status:WriteFlash:10:7", 2, PartlyWritten},
        {"", "noreply:WriteFlash:10", 1, lostReply + PartlyWritten},
        /* Every record written: only the check is missing. */
        {"", "noreply:LockBlock:3", 1, lostReply + WrittenUnchecked},
        {"/bootblock", "noreply:GetChecksum:1", 1, lostReply + WrittenUnchecked},
        {"", "status:LockBlock:3:2", 2, ""},
        /* The closing text, the 38th: warning, 24 erase texts, 12 write texts. */
        {"", "noreply:DisplayText:38", 1, lostReply},
    };
    for (const Case &c : cases) {
        WriteFile(Dir + "/flash.bin", Before);
        std::vector<std::string> args;
        if (c.Option[0] != '\0') {
            args.push_back(c.Option);
        }
        args.push_back("rom.bin");
        ProgramRun run = Update(args, "Y", {{"MURVO_SIM_FAULTS", c.Fault}});
        EXPECT_EQ(run.ExitStatus, c.ExitStatus) << c.Option << " " << c.Fault << run.Err;
        EXPECT_EQ(run.Err, c.Error) << c.Option << " " << c.Fault;
    }

    /* The unit unplugged in the boot block's first record; the rerun without /bootblock
     * leaves the boot block erased, the one with it repairs everything. */
    WriteFile(Dir + "/flash.bin", Before);
    ProgramRun run = Update({"/bootblock", "rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", "unplug:WriteFlash:1"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Err.find("*Error* Failed to "), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.substr(run.Err.find('\n', 1) + 1), BootBlockErased);
    run = Update({"/bootblock", "rom.bin"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Image);
}

TEST_F(VardelEndToEndTest, SignalInTheErasePhaseSaysTheBootBlockIsErased)
{
    /* The third erase's reply is held back: two blocks of the boot block are erased. */
    for (int signal : {SIGINT, SIGQUIT, SIGHUP}) {
        WriteFile(Dir + "/flash.bin", Before);
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = {"/bootblock", "rom.bin"};
        setup.WorkDir = Dir;
        setup.Keys = "Y";
        setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)},
                     {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"},
                     {"MURVO_SIM_FAULTS", "delay:EraseBlock:3:1500"}};
        setup.SendSignal = signal;
        setup.SignalWhen = "Erasing block 3 of 32";
        ProgramRun run = RunProgram(setup);
        ASSERT_EQ(run.Signal, signal) << run.Terminal << run.Err;
        EXPECT_EQ(run.Err, "\n" + BootBlockErased) << signal;
        std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
        EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 0x4000, [](uint8_t b) { return b == 0xFF; }));
    }
}

TEST_F(VardelEndToEndTest, AbsoluteImagePathIsTheImage)
{
    ProgramRun run = Update({"/bootblock", Dir + "/rom.bin"});
    ASSERT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Image);
    run = Update({Dir + "/missing.rom"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Err.find("\n" + Dir + "/missing.rom is neither an option nor an existing file\n"), std::string::npos)
        << run.Err;
}

TEST_F(VardelEndToEndTest, FlashFileThatCannotBeMadeStopsThePowerOn)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FLASH_FILE", Dir + "/missing/flash.bin"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Err.find("missing/flash.bin"), std::string::npos) << run.Err;
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(VardelEndToEndTest, PromptShowsOnTheTerminalWhenStandardOutputIsRedirected)
{
    /* At the terminal: the question once, on standard output. */
    ProgramRun plain = Update({"/v", "rom.bin"});
    ASSERT_EQ(plain.ExitStatus, 0) << plain.Err;
    std::string shown = Plain(plain.Terminal);
    EXPECT_EQ(shown.find("[Y/N]"), shown.rfind("[Y/N]"));

    /* Redirected: the terminal shows the question, and only the question; the file gets
     * exactly what the terminal got before. */
    WriteFile(Dir + "/flash.bin", Before);
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"/v", "rom.bin"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.StdoutFile = Dir + "/out.txt";
    setup.WaitForEchoOff = true; /* a key typed earlier would be echoed */
    setup.TimeoutSeconds = 15;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)}, {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"}};
    ProgramRun run = RunProgram(setup);
    ASSERT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_EQ(Plain(run.Terminal), "\nvardel v0.20 rom.bin \nThis will reprogram the MURVO FlashROM\n"
                                   "Are you sure you want to continue? [Y/N] \n");
    std::vector<uint8_t> out = ReadFile(Dir + "/out.txt");
    EXPECT_EQ(std::string(out.begin(), out.end()), shown);
}

TEST_F(VardelEndToEndTest, StandardOutputThatCannotBeWrittenFailsTheUpdateThoughTheFlashIsWritten)
{
    WriteFile(Dir + "/flash.bin", Before);
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"rom.bin"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.StdoutFile = "/dev/full"; /* every write fails with ENOSPC */
    setup.WaitForEchoOff = true;
    setup.TimeoutSeconds = 15;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)}, {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"}};
    ProgramRun run = RunProgram(setup);
    EXPECT_EQ(run.ExitStatus, 2) << "output that was lost is a failed run\n" << run.Terminal << run.Err;
    std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
    ASSERT_EQ(after.size(), Image.size());
    EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000))
        << "the unit was updated all the same";
}

TEST_F(VardelEndToEndTest, TerminalEchoesAgainWhenTheProgramIsEndedDuringTheKeyWait)
{
    ProgramRun run = Update({"rom.bin"}, "n");
    ASSERT_EQ(run.ExitStatus, 1);
    EXPECT_TRUE(run.EchoAtExit); /* the plain way out */

    /* Ctrl+Break (Ctrl+\ at a terminal) is no key: it ends the program. */
    run = Update({"rom.bin"}, "\x1c");
    EXPECT_EQ(run.Signal, SIGQUIT) << run.Terminal;
    EXPECT_TRUE(run.EchoAtExit);
    EXPECT_TRUE(LogLines().empty());

    /* The window closed (SIGHUP), or the program was told to end. */
    for (int signal : {SIGHUP, SIGTERM, SIGINT}) {
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = {"rom.bin"};
        setup.WorkDir = Dir;
        setup.Env = {{"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"}, {"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)}};
        setup.SendSignal = signal;
        setup.SignalWhen = "[Y/N] ";
        setup.WaitForEchoOff = true;
        setup.TimeoutSeconds = 10;
        run = RunProgram(setup);
        EXPECT_EQ(run.Signal, signal);
        EXPECT_TRUE(run.EchoAtExit) << signal;
    }
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Before);
}

TEST_F(VardelEndToEndTest, DemoStartsItsFlashAfreshWhenTheFlashSizeChanges)
{
    /* The demo script in a tree of its own, with the programs already built. */
    std::string tree = Dir + "/tree";
    std::string command = "mkdir -p '" + tree + "/scripts' '" + tree + "/build/host/bin' && cp '" +
                          MURVO_SOURCE_DIR "/scripts/demo' '" + tree + "/scripts/' && ln -s '" VARDEL_PATH "' '" +
                          tree + "/build/host/bin/vardel' && ln -s '" MURVOROM_PATH "' '" + tree +
                          "/build/host/bin/murvorom'";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    ProgramSetup setup;
    setup.Program = tree + "/scripts/demo";
    setup.WorkDir = tree;
    setup.Keys = "Y";
    setup.TimeoutSeconds = 30;
    struct Step {
        const char *Size;
        uint32_t Bytes;
        bool Afresh; /* the demo says it starts its flash afresh */
    };
    for (const Step &step : {Step{"256K", 0x40000, false}, Step{"128K", 0x20000, true}, Step{"128K", 0x20000, false}}) {
        setup.Env = {{"MURVO_DEMO_PREBUILT", "1"}, {"MURVO_SIM_FLASH_SIZE", step.Size}};
        ProgramRun run = RunProgram(setup);
        std::string shown = Plain(run.Terminal);
        EXPECT_EQ(run.ExitStatus, 0) << step.Size << shown << run.Err;
        EXPECT_NE(shown.find("\nCompleted ok\n"), std::string::npos) << step.Size << shown;
        EXPECT_EQ(shown.find("starting it afresh") != std::string::npos, step.Afresh) << step.Size << shown;
        EXPECT_EQ(ReadFile(tree + "/demo/flash.bin").size(), step.Bytes) << step.Size;
    }
}

TEST_F(VardelEndToEndTest, BootBlockOptionWritesTheWholeFlash)
{
    ProgramRun run = Update({"/bootblock", "rom.bin"}, "y");
    ASSERT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Image);
    std::vector<std::string> log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("DisplayText", 0), 0u);
    EXPECT_EQ(LogCount("EraseBlock"), 32u);
}

TEST_F(VardelEndToEndTest, RefusalAndMissingTerminalOpenNothing)
{
    ProgramRun run = Update({"rom.bin"}, "n");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Terminal).find("[Y/N] \n* Aborted *\n"), std::string::npos);
    EXPECT_TRUE(LogLines().empty());

    /* A cursor key is an escape sequence: a refusal too. */
    run = Update({"rom.bin"}, "\x1b[A");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Terminal).find("* Aborted *"), std::string::npos);

    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"rom.bin"};
    setup.WorkDir = Dir;
    setup.NoTerminal = true;
    setup.Env = {{"MURVO_SIM_LOG", Dir + "/unit.log"}};
    run = RunProgram(setup);
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Terminal.find("* Aborted *\n"), std::string::npos);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Before);
}

TEST_F(VardelEndToEndTest, MissingImageAndUnreadyUnit)
{
    ProgramRun run = Update({"missing.bin"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "Cannot open file for reading: No such file or directory\n");
    EXPECT_TRUE(LogLines().empty());

    run = Update({"/v", "rom.bin"}, "Y", {{"MURVO_SIM_OS_VERSION", "0x00010203"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(Plain(run.Terminal).find("\nOS Version 10203 "), std::string::npos);
    EXPECT_EQ(AfterUnitLine(run.Err), "\n*Error* MURVO is not set up to receive software upgrade (see SETUP|OS)\n");
    EXPECT_EQ(LogCount("UnlockBlock"), 0u);
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Before);
}

TEST_F(VardelEndToEndTest, InjectedStatusStopsEachPhase)
{
    struct Case {
        const char *Fault;
        const char *Verdict;
        size_t Writes, Locks;
    };
    const Case cases[] = {
        {"status:UnlockBlock:3:5", "Error code (5, 0)", 0, 0},
        {"status:EraseBlock:1:0x21", "Error code (33, 0)", 0, 0},
        {"status:WriteFlash:10:7", "Error code (7, 0)", 10, 0},
        {"status:LockBlock:24:2", "Error code (2, 0)", (FlashSize - 0x10000) / 512, 24},
    };
    for (const Case &c : cases) {
        unlink((Dir + "/unit.log").c_str());
        ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", c.Fault}});
        EXPECT_EQ(run.ExitStatus, 2) << c.Fault << run.Err;
        EXPECT_NE(Plain(run.Terminal).find(std::string("\nOperation failed. ") + c.Verdict), std::string::npos)
            << c.Fault << Plain(run.Terminal);
        EXPECT_EQ(LogCount("WriteFlash"), c.Writes) << c.Fault;
        EXPECT_EQ(LogCount("LockBlock"), c.Locks) << c.Fault;
        EXPECT_EQ(LogCount("GetChecksum"), 1u) << c.Fault;
    }
}

TEST_F(VardelEndToEndTest, WrongUnitChecksumFailsTheUpdate)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", "checksum:GetChecksum:1:0x1234"}});
    EXPECT_EQ(run.ExitStatus, 2);
    std::string out = Plain(run.Terminal);
    EXPECT_NE(out.find(", 1234\nOperation failed. Checksum mismatch\n"), std::string::npos) << out;
}

TEST_F(VardelEndToEndTest, ReplyThatNeverComesEndsTheRun)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", "noreply:EraseBlock:2"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "\n*Error* Failed to receive USB reply\n" + PartlyWritten);
    /* Nothing is sent after the lost reply: no lock, no closing text. */
    EXPECT_EQ(LogCount("EraseBlock"), 2u);
    EXPECT_EQ(LogCount("LockBlock"), 0u);
    EXPECT_EQ(LogLines().back().rfind("EraseBlock", 0), 0u);
}

TEST_F(VardelEndToEndTest, BadSimulatorSettingIsRefused)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FLASH_SIZE", "lots"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Err.find("MURVO_SIM_FLASH_SIZE"), std::string::npos) << run.Err;
}

/* When the unit cannot be opened, one line on the error stream says why, before the
 * sequence's own message. */
TEST_F(VardelEndToEndTest, NoUnitAttachedCannotInitialiseUsb)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_UNITS", "0"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "No MURVO unit found: none is plugged in, or its driver (murvousb) is not installed\n"
                       "\n*Error* Failed to initialise USB\n");
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(VardelEndToEndTest, AUserWhoIsNoAdministratorCannotInitialiseUsb)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_ADMIN", "no"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "Access to the MURVO unit denied: run vardel from a Command Prompt run as administrator\n"
                       "\n*Error* Failed to initialise USB\n");
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(VardelEndToEndTest, FirstOfSeveralUnitsIsUpdatedAndNamed)
{
    /* The interface path the system gives the unit: its instance ID, then the class. */
    const std::string unitPath = "\\\\?\\usb#vid_ffff&pid_0001#";
    const std::string unitClass = "#{0a1940c6-c2a0-47d2-86a6-d378d0db62ce}\n";
    ProgramRun run = Update({"/bootblock", "rom.bin"}, "Y", {{"MURVO_SIM_UNITS", "3"}});
    ASSERT_EQ(run.ExitStatus, 0) << run.Err;
    std::string said = "3 MURVO units found, using: " + unitPath;
    EXPECT_EQ(run.Err.substr(0, said.size()), said) << run.Err;
    ASSERT_GE(run.Err.size(), unitClass.size());
    EXPECT_EQ(run.Err.substr(run.Err.size() - unitClass.size()), unitClass) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
    EXPECT_EQ(ReadFile(Dir + "/flash.bin"), Image);
    /* The other units kept their own (erased) flash and saw no command. */
    std::vector<uint8_t> second = ReadFile(Dir + "/flash.bin.2");
    ASSERT_EQ(second.size(), FlashSize);
    EXPECT_EQ(second, std::vector<uint8_t>(FlashSize, 0xFF));
    std::ifstream log2(Dir + "/unit.log.2");
    EXPECT_FALSE(log2.good() && log2.peek() != EOF);

    /* The line comes before the run's first verbose line. */
    WriteFile(Dir + "/flash.bin", Before);
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"/v", "rom.bin"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.SplitStderr = false;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(FlashSize)}, {"MURVO_SIM_FLASH_FILE", Dir + "/flash.bin"}};
    run = RunProgram(setup);
    ASSERT_EQ(run.ExitStatus, 0) << run.Terminal;
    std::string shown = Plain(run.Terminal);
    said = "[Y/N] \n1 MURVO unit found, using: " + unitPath;
    EXPECT_NE(shown.find(said), std::string::npos) << shown;
    EXPECT_NE(shown.find(unitClass.substr(0, unitClass.size() - 1) + "\n\nUSB initialised ok"), std::string::npos)
        << shown;
}

TEST_F(VardelEndToEndTest, HighSpeedBusCarriesTheSameUpdate)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_SPEED", "high"}});
    ASSERT_EQ(run.ExitStatus, 0) << run.Err;
    std::vector<uint8_t> after = ReadFile(Dir + "/flash.bin");
    EXPECT_TRUE(std::equal(after.begin() + 0x10000, after.end(), Image.begin() + 0x10000));
}

TEST_F(VardelEndToEndTest, BusFaultsOnTheReplyEndTheRun)
{
    /* The fault, and whether the flash had been erased by then. */
    for (auto fault : {std::make_pair("stall:EraseBlock:2", true), std::make_pair("xfererr:WriteFlash:5", true),
                       std::make_pair("short:GetFlashInfo:1", false), std::make_pair("long:UnlockBlock:1", false)}) {
        unlink((Dir + "/unit.log").c_str());
        ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", fault.first}});
        EXPECT_EQ(run.ExitStatus, 1) << fault.first;
        EXPECT_EQ(run.Err, "\n*Error* Failed to receive USB reply\n" + (fault.second ? PartlyWritten : ""))
            << fault.first;
    }
    /* A reply that comes late, but within the time-out, is no failure. */
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", "delay:GetOsVersion:1:300"}});
    EXPECT_EQ(run.ExitStatus, 0) << run.Err;
}

TEST_F(VardelEndToEndTest, UnitUnpluggedDuringTheUpdate)
{
    ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_FAULTS", "unplug:WriteFlash:20"}});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_TRUE(run.Err == "\n*Error* Failed to receive USB reply\n" + PartlyWritten ||
                run.Err == "\n*Error* Failed to send USB command\n" + PartlyWritten)
        << run.Err;
    EXPECT_EQ(LogCount("WriteFlash"), 20u);
}

TEST_F(VardelEndToEndTest, DriverAllocationFailuresEndCleanly)
{
    /* Fail murvousb's N-th allocation, for every N up to past the last one of a run, and a
     * share of them at random: each run must end with one of the tool's own statuses, with
     * no verifier report and no crash. */
    unsigned clean = 0, failed = 0;
    std::vector<std::string> settings;
    for (int n = 1; n <= 60; n++) {
        settings.push_back(std::to_string(n));
    }
    for (int seed = 1; seed <= 6; seed++) {
        settings.push_back("5%:" + std::to_string(seed));
    }
    for (const std::string &setting : settings) {
        ProgramRun run = Update({"rom.bin"}, "Y", {{"MURVO_SIM_LOW_RESOURCES", setting}});
        ASSERT_TRUE(run.ExitStatus == 0 || run.ExitStatus == 1 || run.ExitStatus == 2)
            << setting << " ended with " << run.ExitStatus << ": " << run.Err;
        ASSERT_EQ(run.Err.find("VERIFIER"), std::string::npos) << setting << ": " << run.Err;
        if (run.ExitStatus == 0) {
            clean++;
        } else {
            failed++;
        }
    }
    /* Some allocations are made only at start-up and some for every transfer: both outcomes occur. */
    EXPECT_GT(clean, 0u);
    EXPECT_GT(failed, 0u);
}

} // namespace
