/*
 * vardel_libusb_test.cpp - the built vardel of the libusb build, run at a pseudo-terminal
 * as a user would, updating simulated units on the bus umockdev emulates. vardel is a child
 * process: its usbfs requests come back to this process's bed through umockdev.
 */
#include "tests/e2e/pty_run.h"
#include "tests/libusb/usb_unit_bed.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

#define FLASH_SIZE 0x40000u /* 32 blocks of 8 KiB: blocks 0 to 7 are the boot block */
#define BOOT_BLOCK 0x10000u
#define OLD_BYTE 0x5A /* what the unit's flash holds before the update */

/* What vardel says of a flash it leaves partly written. */
const char PartlyWritten[] = "The flash is only partly written: run vardel again with the same options to repair it\n";

class VardelLibusbTest : public ::testing::Test {
protected:
    std::string Dir;
    std::vector<uint8_t> Image;

    void SetUp() override
    {
        char dir[] = "/tmp/vardel_libusb_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        Dir = dir;
        ASSERT_TRUE(UsbUnitBedStart());
        /* An image whose every record differs, with the marker and its checksum. */
        Image.resize(FLASH_SIZE);
        for (uint32_t offset = 0; offset < FLASH_SIZE; offset++) {
            Image[offset] = (uint8_t)(offset * 7 + offset / 512);
        }
        static const char marker[] = "MURVO Operating System";
        memcpy(Image.data() + 32, marker, sizeof marker);
        uint16_t sum = 0;
        for (uint32_t offset = 0; offset < FLASH_SIZE - 2; offset++) {
            sum = (uint16_t)(sum + Image[offset]);
        }
        Image[FLASH_SIZE - 2] = (uint8_t)sum;
        Image[FLASH_SIZE - 1] = (uint8_t)(sum >> 8);
        std::ofstream(Dir + "/image.rom", std::ios::binary).write((const char *)Image.data(), Image.size());
    }

    void TearDown() override
    {
        UsbUnitBedStop();
        std::string command = "rm -rf '" + Dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    /* Plugs a unit whose flash holds OLD_BYTE everywhere, kept in flash file number n. */
    int PlugUnit(int n, const char *faults = NULL)
    {
        SimConfig config;
        SimConfigDefaults(&config);
        config.FlashSize = FLASH_SIZE;
        config.BlockCount = FLASH_SIZE / 0x2000;
        std::string flashFile = Dir + "/flash" + std::to_string(n) + ".bin";
        std::vector<uint8_t> old(FLASH_SIZE, OLD_BYTE);
        std::ofstream(flashFile, std::ios::binary).write((const char *)old.data(), old.size());
        snprintf(config.FlashFile, sizeof config.FlashFile, "%s", flashFile.c_str());
        char error[256];
        if (faults != NULL) {
            EXPECT_TRUE(SimParseFaults(faults, &config, error, sizeof error)) << error;
        }
        return UsbUnitBedPlug(&config);
    }

    ProgramRun Update(std::vector<std::string> args)
    {
        ProgramSetup setup;
        setup.Program = VARDEL_PATH;
        setup.Args = args;
        setup.WorkDir = Dir;
        setup.Keys = "Y";
        setup.TimeoutSeconds = 120; /* libusb polls umockdev's node: a loaded machine slows it down */
        return RunProgram(setup);
    }

    static std::vector<uint8_t> Flash(int index)
    {
        const uint8_t *bytes = SimUnitFlash(UsbUnitBedUnit(index));
        return std::vector<uint8_t>(bytes, bytes + FLASH_SIZE);
    }
};

/* Without /bootblock: the boot block keeps its old bytes, every byte after it is the
 * image's, and the unit's blocks are locked again. */
TEST_F(VardelLibusbTest, UpdatePreservingTheBootBlock)
{
    ASSERT_EQ(PlugUnit(0), 0);
    ProgramRun run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_NE(run.Terminal.find("Completed ok"), std::string::npos) << run.Terminal;
    EXPECT_EQ(run.Err, "");
    std::vector<uint8_t> flash = Flash(0);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + BOOT_BLOCK),
              std::vector<uint8_t>(BOOT_BLOCK, OLD_BYTE));
    EXPECT_TRUE(std::equal(flash.begin() + BOOT_BLOCK, flash.end(), Image.begin() + BOOT_BLOCK));
    EXPECT_TRUE(SimUnitBlockLocked(UsbUnitBedUnit(0), 8));
    EXPECT_EQ(UsbUnitBedCounts(0).UnknownIoctls, 0u);
}

/* With /bootblock the whole flash is the image's, byte for byte. */
TEST_F(VardelLibusbTest, UpdateWithTheBootBlock)
{
    ASSERT_EQ(PlugUnit(0), 0);
    ProgramRun run = Update({"/bootblock", "./image.rom"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_NE(run.Terminal.find("Completed ok"), std::string::npos) << run.Terminal;
    EXPECT_EQ(Flash(0), Image);
}

TEST_F(VardelLibusbTest, NoUnitStopsWithTheReason)
{
    ProgramRun run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "No MURVO unit found on USB (vendor 0xFFFF, product 0x0001)\n"
                       "\n*Error* Failed to initialise USB\n");
}

/* The unit drops off the bus in the middle of the write phase: vardel stops with the send
 * error instead of waiting, and the part written so far is all the unit has. */
TEST_F(VardelLibusbTest, UnplugInTheMiddleStops)
{
    ASSERT_EQ(PlugUnit(0, "unplug:WriteFlash:100"), 0);
    ProgramRun run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, std::string("\n*Error* Failed to send USB command\n") + PartlyWritten);
    EXPECT_TRUE(UsbUnitBedUnplugged(0));
    std::vector<uint8_t> flash = Flash(0);
    const uint32_t written = BOOT_BLOCK + 99 * 512; /* the 100th record never arrived */
    EXPECT_TRUE(std::equal(flash.begin() + BOOT_BLOCK, flash.begin() + written, Image.begin() + BOOT_BLOCK));
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + written, flash.end()),
              std::vector<uint8_t>(FLASH_SIZE - written, 0xFF));
}

/* A unit that stops answering: the read times out, vardel cancels it and clears the pipe's
 * halt, then stops with the receive error. */
TEST_F(VardelLibusbTest, UnitThatDoesNotReplyTimesOut)
{
    ASSERT_EQ(PlugUnit(0, "noreply:WriteFlash:3"), 0);
    ProgramRun run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, std::string("\n*Error* Failed to receive USB reply\n") + PartlyWritten);
    BedUnitCounts counts = UsbUnitBedCounts(0);
    EXPECT_EQ(counts.InDiscards, 2u); /* the end of the start's drain, and the time-out */
    EXPECT_EQ(counts.InClearHalts, 1u);
    EXPECT_EQ(counts.Releases, 1u); /* the interface is given back at exit */
}

/* The unit outlives each vardel: a reply a run never read (it came after the run gave up on
 * it, or the run was ended while the unit carried the command out) still waits in the unit
 * when the next run starts. The next run drops it and repairs the unit. */
TEST_F(VardelLibusbTest, RerunRepairsAfterALateReplyOrAKillDuringTheErase)
{
    /* EraseBlock 29 is the fifth erase of the third run (the second erased 24 blocks). */
    ASSERT_EQ(PlugUnit(0, "delay:GetFlashInfo:1:2500,delay:EraseBlock:29:1500"), 0);
    ProgramRun run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Err, "\n*Error* Failed to receive USB reply\n");
    usleep(700 * 1000); /* the late reply comes meanwhile */
    run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    std::vector<uint8_t> flash = Flash(0);
    EXPECT_TRUE(std::equal(flash.begin() + BOOT_BLOCK, flash.end(), Image.begin() + BOOT_BLOCK));

    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"./image.rom"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.TimeoutSeconds = 120;
    setup.SendSignal = SIGTERM;
    setup.SignalWhen = "Erasing block 13 of 32";
    run = RunProgram(setup);
    ASSERT_EQ(run.Signal, SIGTERM) << run.Terminal << run.Err;
    usleep(1600 * 1000); /* the unit finishes the erase it was given */
    run = Update({"./image.rom"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    flash = Flash(0);
    EXPECT_TRUE(std::equal(flash.begin() + BOOT_BLOCK, flash.end(), Image.begin() + BOOT_BLOCK));
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + BOOT_BLOCK),
              std::vector<uint8_t>(BOOT_BLOCK, OLD_BYTE));
    for (uint32_t block = 8; block < FLASH_SIZE / 0x2000; block++) {
        EXPECT_TRUE(SimUnitBlockLocked(UsbUnitBedUnit(0), block)) << block;
    }
}

/* Two ways a caller lets an update outlive it: a reader of the output that goes away
 * (`vardel ./image.rom | head -c 2000`), and a hang-up ignored from the start (nohup). Either
 * way the update runs to its end, every block locked again, with the verdict in the exit
 * status (a failed write to standard output fails the run). */
TEST_F(VardelLibusbTest, ClosedOutputPipeAndIgnoredHangUpLetTheUpdateFinish)
{
    ASSERT_EQ(PlugUnit(0), 0);
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"./image.rom"};
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.TimeoutSeconds = 120;
    setup.StdoutReaderBytes = 2000;
    ProgramRun run = RunProgram(setup);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.ExitStatus, 2) << run.Err;
    EXPECT_EQ(run.Out.size(), 2000u);
    std::vector<uint8_t> flash = Flash(0);
    EXPECT_TRUE(std::equal(flash.begin() + BOOT_BLOCK, flash.end(), Image.begin() + BOOT_BLOCK));
    for (uint32_t block = 8; block < FLASH_SIZE / 0x2000; block++) {
        EXPECT_TRUE(SimUnitBlockLocked(UsbUnitBedUnit(0), block)) << block;
    }
    EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(0), SimGetChecksum), 1u);

    setup.StdoutReaderBytes = -1;
    setup.IgnoredSignals = {SIGHUP};
    setup.SendSignal = SIGHUP;
    setup.SignalWhen = "Writing flash 10A00h";
    run = RunProgram(setup);
    EXPECT_TRUE(run.SignalSent);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    EXPECT_NE(run.Terminal.find("Completed ok"), std::string::npos) << run.Terminal;
    EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(0), SimLockBlock), 2u * 24);
}

/* A unit whose node the user may not open for writing (no udev rule): vardel says so, with
 * the hint, and stops. As root, which opens any file, vardel runs as the user nobody. */
TEST_F(VardelLibusbTest, NoPermissionGivesTheUdevHint)
{
    ASSERT_EQ(PlugUnit(0), 0);
    ASSERT_TRUE(UsbUnitBedDenyWriteAccess(0));
    ASSERT_EQ(chmod(Dir.c_str(), 0755), 0);
    ProgramSetup setup;
    setup.WorkDir = Dir;
    setup.Keys = "Y";
    setup.Args = {"./image.rom"};
    if (getuid() == 0) {
        setup.Program = "/usr/bin/setpriv";
        setup.Args.insert(setup.Args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", VARDEL_PATH});
    } else {
        setup.Program = VARDEL_PATH;
    }
    ProgramRun run = RunProgram(setup);
    EXPECT_EQ(run.ExitStatus, 1) << run.Terminal << run.Err;
    EXPECT_EQ(run.Err, "No permission to open the MURVO unit: install the udev rule 70-murvo.rules (see README) "
                       "and plug the unit in again\n\n*Error* Failed to initialise USB\n");
    EXPECT_EQ(UsbUnitBedCounts(0).Claims, 0u);
    EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(0), SimGetOsVersion), 0u);
}

/* Two units: one is updated, and named, the other keeps its flash. The image is given by
 * its absolute path, which on Linux begins with "/" like an option. */
TEST_F(VardelLibusbTest, TwoUnitsOneIsUpdatedAndNamed)
{
    ASSERT_EQ(PlugUnit(0), 0);
    ASSERT_EQ(PlugUnit(1), 1);
    ProgramRun run = Update({"/bootblock", Dir + "/image.rom"});
    EXPECT_EQ(run.ExitStatus, 0) << run.Terminal << run.Err;
    int updated = Flash(0) == Image ? 0 : 1;
    /* The bed gives unit n address n + 2 on bus 1. */
    EXPECT_EQ(run.Err, "2 MURVO units found, using: bus 001, address 00" + std::to_string(updated + 2) + "\n");
    EXPECT_EQ(Flash(updated), Image);
    EXPECT_EQ(Flash(1 - updated), std::vector<uint8_t>(FLASH_SIZE, OLD_BYTE));
    EXPECT_EQ(SimUnitCommandCount(UsbUnitBedUnit(1 - updated), SimGetOsVersion), 0u);
}

} // namespace
