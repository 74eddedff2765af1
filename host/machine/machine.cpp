/*
 * machine.cpp - the simulated machine that a host program built on the Win32 stand-in runs
 * on: the kernel stand-in with a USB bus, the MURVO units plugged into it, and murvousb
 * loaded for each unit by the plug-and-play manager.
 *
 * Linked into a program, it registers itself with the Win32 stand-in, which boots it before
 * the program's first device call. It is configured from the environment:
 *   MURVO_SIM_UNITS  number of units on the bus, 0 to 8 (default 1; 0: none attached)
 *   MURVO_SIM_SPEED  "full" (64-byte packets, the default) or "high" (512-byte packets)
 *   MURVO_SIM_TIMING "on": transfers take the time of a real bus and the flash the time of a
 *                    real erase and program; "off" (the default): as fast as the host can
 *   MURVO_SIM_ADMIN  "yes" (the default): the program runs as an administrator, elevated;
 *                    "no": as a standard user (or at a prompt not run as administrator),
 *                    whose opens of a unit the device's security refuses (access denied)
 *   MURVO_SIM_LOW_RESOURCES  "N" or "N:SEED": the kernel fails murvousb's allocations, the N-th
 *                    counted one (N > 0), or about N per cent of them chosen by SEED
 *                    ("N%:SEED"); to see that the driver fails cleanly under memory pressure
 *   MURVO_SIM_*      each unit's firmware (see the simulator); a second and later unit
 *                    keep their flash file and log apart by a ".N" suffix.
 * A bad setting ends the program with a message and exit status 1. At exit the process
 * ends first (outstanding requests cancelled, files closed), then the units are unplugged
 * (their flash saved) and the bus goes away.
 */
#include "host/machine/machine.h"

#include "driver/murvousb.h"
#include "host/nt/host_kernel.h"
#include "host/usb/usb_bus.h"
#include "host/win32/win32_process.h"
#include "unitsim/sim_unit.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Installed as murvousb.inf installs it: SYSTEM and Administrators alone open a unit. */
static const HostDriverInfo MurvoUsbDriver = {"murvousb", DriverEntry, TRUE};

static HostUsbBus *Bus; /* the machine's one bus, once booted */

/* Ends the program over a bad setting. */
[[noreturn]] static void SettingError(const char *message)
{
    fflush(stdout);
    fprintf(stderr, "\nmurvo simulator: %s\n", message);
    exit(1);
}

static unsigned UnitCountSetting(void)
{
    const char *text = getenv("MURVO_SIM_UNITS");
    if (text == NULL || *text == '\0') {
        return 1;
    }
    char *end = NULL;
    errno = 0;
    unsigned long count = strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || count > HOST_USB_PORTS) {
        SettingError("MURVO_SIM_UNITS must be a number from 0 to 8");
    }
    return (unsigned)count;
}

static USB_DEVICE_SPEED SpeedSetting(void)
{
    const char *text = getenv("MURVO_SIM_SPEED");
    if (text == NULL || *text == '\0' || strcmp(text, "full") == 0) {
        return UsbFullSpeed;
    }
    if (strcmp(text, "high") == 0) {
        return UsbHighSpeed;
    }
    SettingError("MURVO_SIM_SPEED must be \"full\" or \"high\"");
}

static bool TimingSetting(void)
{
    const char *text = getenv("MURVO_SIM_TIMING");
    if (text == NULL || *text == '\0' || strcmp(text, "off") == 0) {
        return false;
    }
    if (strcmp(text, "on") == 0) {
        return true;
    }
    SettingError("MURVO_SIM_TIMING must be \"on\" or \"off\"");
}

static bool AdministratorSetting(void)
{
    const char *text = getenv("MURVO_SIM_ADMIN");
    if (text == NULL || strcmp(text, "yes") == 0) {
        return true;
    }
    if (strcmp(text, "no") == 0) {
        return false;
    }
    SettingError("MURVO_SIM_ADMIN must be \"yes\" or \"no\"");
}

/* Applies MURVO_SIM_LOW_RESOURCES to murvousb's allocations. */
static void LowResourcesSetting(void)
{
    const char *text = getenv("MURVO_SIM_LOW_RESOURCES");
    if (text == NULL || *text == '\0') {
        return;
    }
    HostLowResources settings = {};
    settings.Driver = &MurvoUsbDriver;
    char *end = NULL;
    errno = 0;
    unsigned long n = strtoul(text, &end, 0);
    bool percent = *end == '%';
    if (percent) {
        end++;
    }
    unsigned long seed = 1;
    if (*end == ':') {
        const char *seedText = end + 1;
        seed = strtoul(seedText, &end, 0);
        if (end == seedText) {
            end = (char *)"x";
        }
    }
    if (errno != 0 || *end != '\0' || text[0] == '-' || n == 0 || (percent && n > 100)) {
        SettingError("MURVO_SIM_LOW_RESOURCES must be N, N:SEED or P%:SEED");
    }
    if (percent) {
        settings.FailPercent = (ULONG)n;
    } else {
        settings.FailNth = (ULONG)n;
    }
    settings.Seed = (ULONG)seed;
    HostVerifierSetLowResources(&settings);
}

/* Gives the n-th unit (from 2) its own file beside the first unit's. */
static void SuffixPath(char *path, size_t size, unsigned n)
{
    if (path[0] == '\0') {
        return;
    }
    size_t length = strlen(path);
    if (snprintf(path + length, size - length, ".%u", n) >= (int)(size - length)) {
        SettingError("a MURVO_SIM_ file path is too long");
    }
}

static void ShutDownMachine(void)
{
    HostWin32EndProcess();
    if (Bus != NULL) {
        HostUsbBusDestroy(Bus);
        Bus = NULL;
    }
}

static bool Booted; /* BootMachine has run */

static void BootMachine(void)
{
    if (Booted) {
        return;
    }
    Booted = true;
    unsigned units = UnitCountSetting();
    USB_DEVICE_SPEED speed = SpeedSetting();
    bool timed = TimingSetting();
    bool administrator = AdministratorSetting();
    SimConfig config;
    char error[256];
    if (!SimConfigFromEnv(&config, error, sizeof error)) {
        SettingError(error);
    }

    LowResourcesSetting();
    HostSetUserIsAdministrator(administrator);
    Bus = HostUsbBusCreate();
    if (Bus == NULL) {
        SettingError("the USB bus could not be created");
    }
    atexit(ShutDownMachine);
    if (timed) {
        HostUsbTiming timing;
        HostUsbTimingDefaults(&timing, speed);
        HostUsbBusSetTiming(Bus, &timing);
    }

    for (unsigned n = 1; n <= units; n++) {
        HostUsbUnitSettings settings;
        HostUsbUnitSettingsDefault(&settings, speed);
        settings.Sim = config;
        if (n > 1) {
            SuffixPath(settings.Sim.FlashFile, sizeof settings.Sim.FlashFile, n);
            SuffixPath(settings.Sim.LogFile, sizeof settings.Sim.LogFile, n);
        }
        settings.FunctionDriver = &MurvoUsbDriver;
        NTSTATUS startStatus = STATUS_SUCCESS;
        if (HostUsbPlug(Bus, &settings, &startStatus, error, sizeof error) == 0) {
            SettingError(error);
        }
        /* A unit whose driver failed to start is still on the bus, as on Windows; it just
         * publishes no usable interface. */
    }
}

void HostMachineBoot(void) { HostWin32Process(); /* runs BootMachine once, through the Win32 stand-in */ }

HostUsbBus *HostMachineBus(void) { return Bus; }

/* Registration with the Win32 stand-in, before main. It only stores a pointer. */
static const bool Registered = (HostWin32SetMachineBoot(BootMachine), true);
