/*
 * The real murvousb.sys under Wine's kernel, on the Wine rig's bus (winerig/): Wine's
 * plug-and-play manager loads it for the unit the bus reports, its start reads and checks
 * the descriptors and selects the configuration through Wine's USBD library, its interface
 * appears to SetupAPI, the bare interface answers the device-control requests, vardel.exe
 * finds it, and an unplug reaches the driver as surprise removal and removal.
 *
 * The Wine is the distribution's (tests/winexe/wine_pick.sh: 32-bit with the win32 build, or
 * 64-bit with the win64 build where 32-bit code cannot run). What the bus saw comes from its
 * log (rigctl log); what the driver returned, from rigctl probe. Each test boots the prefix the rig fixture made (one Wine session, ended at the
 * end of the test), so the tests share nothing but the installed prefix.
 *
 * Where Wine does less than Windows, the test of the Windows behaviour checks whether the
 * limit still holds and is skipped with the reason while it does.
 */
#include "e2e/pty_run.h"
#include "winexe/rig_session.h"
#include "winexe/terminal_screen.h"
#include "winexe/wine_support.h"

#include "common/murvo_public.h"
#include "host/usb/bus_descriptors.h"
#include "host/nt/ntddk.h"
#include "host/win32/status_map.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <vector>
#include <string>

namespace {

const char *const InterfaceClass = "{0a1940c6-c2a0-47d2-86a6-d378d0db62ce}";

class WineRigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = WhyWineCannotRun();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(RigInstalled()) << "the rig's prefix was not made: the wine_rig_prefix test makes it";
        /* A session of its own: Wine's services, the rig's bus and murvousb start with it and
         * live until wineserver is told to end it. */
        ASSERT_EQ(StartRigSession(&Session), "");
        ASSERT_TRUE(WaitForInterface(true)) << "probe: " << Probe["interface"] << "\nthe bus's log:\n" << Rigctl("log");
    }

    void TearDown() override { EndRigSession(&Session); }

    /* Probes until the interface is there (or gone), for up to 60 s: plug and play runs on
     * its own after the session starts, and the machine may be busy. */
    bool WaitForInterface(bool present) { return ::WaitForInterface(present, &Probe); }

    /* The lines of Wine's kernel trace in which it hands a request to a driver ("0090:trace:
     * ntoskrnl:dispatch_close device ..."), from a session of its own whose drivers write the
     * trace to a file (the services inherit the standard error of the program that starts
     * them), once the interface is there and one more probe has run. Each probe is a program
     * of its own that opens the interface, sends its requests and closes it. */
    std::string DispatchTrace()
    {
        std::string trace = ::testing::TempDir() + "wine_rig_trace_" + std::to_string(getpid());
        EndRigSession(&Session);
        bool started = StartRigSession(&Session).empty();
        std::string start = "WINEDEBUG=trace+ntoskrnl '" + HostWine().Loader +
                            "' 'C:\\rig\\rigctl.exe' log >/dev/null 2>'" + trace + "'";
        started = started && system(start.c_str()) == 0 && WaitForInterface(true);
        Rigctl("probe");
        std::string lines = PlainOutput("grep -a 'trace:ntoskrnl:dispatch_' '" + trace + "'");
        unlink(trace.c_str());
        return started ? lines : "";
    }

    RigSession Session;
    std::map<std::string, std::string> Probe;
};

TEST_F(WineRigTest, MurvousbStartsOnTheUnitAndItsInterfaceAppears)
{
    char path[128];
    snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#1#%s", MURVO_USB_VENDOR_ID, MURVO_USB_PRODUCT_ID,
             InterfaceClass);
    EXPECT_EQ(Probe["interface"], path);
    std::string log = Rigctl("log"), missing;
    /* The bus's start, its unit reported; the unit's start came down the stack from murvousb,
     * which read both descriptors and selected the configuration through Wine's USBD. */
    EXPECT_TRUE(InOrder(log,
                        {"DriverEntry", "bus AddDevice", "bus START_DEVICE 0x00000000",
                         "bus QUERY_DEVICE_RELATIONS BusRelations: 1 unit", "unit START_DEVICE stack 2",
                         "urb GET_DESCRIPTOR type 1 length 18", "urb GET_DESCRIPTOR type 2 length 32",
                         HostWine().Bits == 64 ? "urb SELECT_CONFIGURATION 1 (interface length 72)"
                                               : "urb SELECT_CONFIGURATION 1 (interface length 56)"},
                        &missing))
        << missing << " is not in\n"
        << log;
    EXPECT_EQ(log.find("refused"), std::string::npos) << log;
}

TEST_F(WineRigTest, BareInterfaceAnswersTheDeviceControlRequests)
{
    UsbDescriptorSet unit;
    UsbDescriptorSetUnit(&unit, UsbFullSpeed);
    std::string bytes = "ok bytes";
    for (uint32_t i = 0; i < unit.ConfigLength; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02x", unit.Config[i]);
        bytes += hex;
    }
    EXPECT_EQ(Probe["open"], "ok");
    EXPECT_EQ(Probe["IOCTL_GET_CONFIG_DESCRIPTOR"], bytes);
    /* The port is enabled, so a device reset only asks for the port's status. */
    EXPECT_EQ(Probe["IOCTL_RESET_DEVICE"], "ok bytes");
    std::string log = Rigctl("log");
    EXPECT_NE(log.find("port status 0x3\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("port reset"), std::string::npos) << log;
    /* STATUS_INVALID_PARAMETER, as Windows maps it: ERROR_INVALID_PARAMETER, both for a pipe
     * reset on a handle without a pipe and for an unknown code. */
    EXPECT_EQ(Probe["IOCTL_RESET_PIPE"], "error 87 bytes");
    EXPECT_EQ(Probe["unknown"], "error 87 bytes");
    EXPECT_EQ(log.find("urb SYNC_RESET_PIPE"), std::string::npos) << log;
}

TEST_F(WineRigTest, UnplugReachesMurvousbAsSurpriseRemovalThenRemoval)
{
    EXPECT_EQ(Fields(Rigctl("unplug"))["unplug"], "done");
    ASSERT_TRUE(WaitForInterface(false)) << Rigctl("log");
    std::string log = Rigctl("log"), missing;
    EXPECT_TRUE(InOrder(log,
                        {"bus unplug", "bus QUERY_DEVICE_RELATIONS BusRelations: 0 unit",
                         "unit SURPRISE_REMOVAL stack 2", "unit REMOVE_DEVICE stack 2"},
                        &missing))
        << missing << " is not in\n"
        << log;
    EXPECT_EQ(log.find("after unplug"), std::string::npos) << log;
}

/* A handle open across the unplug: murvousb refuses requests once the unit is gone
 * (STATUS_DELETE_PENDING, which Windows maps to ERROR_ACCESS_DENIED). */
TEST_F(WineRigTest, UnplugWithAHandleOpenRefusesItsRequests)
{
    auto result = Fields(Rigctl("unplug-open"));
    EXPECT_EQ(result["unplug"], "done");
    EXPECT_EQ(result["IOCTL_GET_CONFIG_DESCRIPTOR after unplug"], "error 5 bytes");
    EXPECT_EQ(result["removed after close"], "yes");
}

/* Windows sends IRP_MN_REMOVE_DEVICE after a surprise removal only once the last handle to
 * the device is closed ("Handling an IRP_MN_SURPRISE_REMOVAL Request"). */
TEST_F(WineRigTest, RemovalWaitsForTheLastHandleToClose)
{
    auto result = Fields(Rigctl("unplug-open"));
    ASSERT_EQ(result["unplug"], "done");
    if (result["removed before close"] == "yes") {
        GTEST_SKIP() << "Wine limit: Wine sends IRP_MN_REMOVE_DEVICE right after IRP_MN_SURPRISE_REMOVAL, while a "
                        "handle to the device is still open";
    }
    EXPECT_EQ(result["removed before close"], "no");
    EXPECT_EQ(result["removed after close"], "yes");
}

/* vardel says nothing of the path it found; Wine's trace of the file calls shows it: the
 * interface SetupAPI gave it, with the read pipe's name below it. */
TEST_F(WineRigTest, VardelFindsTheUnit)
{
    ProgramRun run = RunVardel({"C:\\rig\\murvousb.inf"}, "trace+file");
    std::string pipe = Probe["interface"] + "\\" MURVO_READ_PIPE_NAME, traced;
    for (char c : pipe) {
        traced += c;
        if (c == '\\') {
            traced += c; /* the trace doubles backslashes */
        }
    }
    EXPECT_NE(run.Err.find("CreateFileW L\"" + traced + "\""), std::string::npos) << traced;
    EXPECT_NE(run.Err.find("*Error* Failed to initialise USB"), std::string::npos);
    /* Wine refuses the pipe's name (error 2): vardel gives Wine's text of that error first. */
    if (Probe["open PIPE00"] == "error 2") {
        size_t reason = run.Err.find("The MURVO unit could not be opened: ");
        ASSERT_NE(reason, std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find(" (error 2)", reason), std::string::npos) << run.Err;
        EXPECT_LT(reason, run.Err.find("*Error* Failed to initialise USB")) << run.Err;
    }
}

TEST_F(WineRigTest, VardelOpensTheUnitsPipes)
{
    if (Probe["open PIPE00"] == "error 2") {
        GTEST_SKIP() << "Wine limit: opening <interface path>\\PIPE00 fails with error 2 (Wine's server looks up "
                        "no name below a device and passes no file name to IRP_MJ_CREATE)";
    }
    EXPECT_EQ(Probe["open PIPE00"], "ok");
    /* Not a ROM image: vardel opens the pipes, then refuses the image. */
    ProgramRun run = RunVardel({"C:\\rig\\murvousb.inf"});
    EXPECT_EQ(run.Err.find("Failed to initialise USB"), std::string::npos) << run.Err;
}

TEST_F(WineRigTest, MurvousbUnloadsOnceItsLastDeviceIsRemoved)
{
    ASSERT_EQ(Fields(Rigctl("unplug"))["unplug"], "done");
    ASSERT_TRUE(WaitForInterface(false)) << Rigctl("log");
    std::string state;
    for (int tries = 0; tries < 10; tries++) {
        state = PlainOutput("'" + HostWine().Loader + "' sc query murvousb 2>/dev/null");
        if (state.find("RUNNING") == std::string::npos) {
            break;
        }
        usleep(500 * 1000);
    }
    if (state.find("RUNNING") != std::string::npos) {
        GTEST_SKIP() << "Wine limit: Wine's plug-and-play manager does not unload a function driver when its "
                        "last device is removed (the murvousb service stays RUNNING)";
    }
    EXPECT_NE(state.find("STOPPED"), std::string::npos) << state;
}

/* Windows sends IRP_MN_QUERY_CAPABILITIES to the whole device stack once it has started
 * ("Adding a PnP Device to a Running System"); murvousb passes it down to the bus. */
TEST_F(WineRigTest, CapabilitiesAreQueriedThroughTheWholeStackAfterTheStart)
{
    std::string log = Rigctl("log");
    size_t started = log.find("unit START_DEVICE stack 2\n");
    ASSERT_NE(started, std::string::npos) << log;
    if (log.find("unit QUERY_CAPABILITIES stack 2\n", started) == std::string::npos) {
        GTEST_SKIP() << "Wine limit: Wine sends IRP_MN_QUERY_CAPABILITIES only to the physical device object, "
                        "before the function driver is loaded, never through the whole stack";
    }
    SUCCEED();
}

/* Windows sends IRP_MJ_CLEANUP when the last handle to a file object closes, then
 * IRP_MJ_CLOSE once the last reference goes ("IRP_MJ_CLEANUP"); murvousb cancels a pipe's
 * queued requests on the first. */
TEST_F(WineRigTest, ClosingAHandleSendsCleanupBeforeClose)
{
    std::string text = DispatchTrace();
    size_t close = text.find("dispatch_close");
    ASSERT_NE(text.find("dispatch_create"), std::string::npos) << text;
    ASSERT_NE(close, std::string::npos) << text;
    if (text.find("dispatch_cleanup") == std::string::npos) {
        GTEST_SKIP() << "Wine limit: Wine's kernel sends IRP_MJ_CLOSE when a handle closes and never IRP_MJ_CLEANUP";
    }
    EXPECT_LT(text.find("dispatch_cleanup"), close) << text;
}

/* On Windows a user request reaches the driver in the thread that made it, so the requests
 * of two programs come on two threads. */
TEST_F(WineRigTest, RequestsOfTwoProgramsComeOnTheirOwnThreads)
{
    std::string text = DispatchTrace();
    std::set<std::string> threads;
    size_t requests = 0, at = 0;
    while ((at = text.find(":trace:ntoskrnl:dispatch_ioctl ioctl 220000 ", at)) != std::string::npos) {
        size_t line = text.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        threads.insert(text.substr(line, at - line));
        requests++;
        at++;
    }
    /* IOCTL_GET_CONFIG_DESCRIPTOR from two probes at least: two programs. */
    ASSERT_GE(requests, 2u) << text;
    if (threads.size() == 1) {
        GTEST_SKIP() << "Wine limit: Wine's kernel hands every user request to the driver on one thread of the "
                        "driver host";
    }
    SUCCEED();
}

TEST_F(WineRigTest, PowerRequestsComeDownThroughMurvousb)
{
    std::string log = Rigctl("log");
    if (log.find("unit POWER") == std::string::npos) {
        GTEST_SKIP() << "Wine limit: Wine sends no IRP_MJ_POWER request to a device stack";
    }
    EXPECT_NE(log.find("unit POWER 0x02 stack 2\n"), std::string::npos) << log;
}

/* Wine's own kernel-mode libraries, as Debian's wine32 or wine64 installs them. */
std::string WineDlls()
{
    return HostWine().Bits == 64 ? "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/"
                                 : "/usr/lib/i386-linux-gnu/wine/i386-windows/";
}

std::string Objdump() { return HostWine().Bits == 64 ? "x86_64-w64-mingw32-objdump" : "i686-w64-mingw32-objdump"; }

/* The routines an image imports, per library (lower-case), from its import tables. */
std::map<std::string, std::vector<std::string>> Imports(const std::string &image)
{
    std::map<std::string, std::vector<std::string>> imports;
    std::string headers = PlainOutput(Objdump() + " -p '" + image + "'");
    std::string dll;
    size_t at = 0;
    while (at < headers.size()) {
        size_t end = headers.find('\n', at);
        if (end == std::string::npos) {
            end = headers.size();
        }
        std::string line = headers.substr(at, end - at);
        at = end + 1;
        size_t name = line.find("DLL Name: ");
        if (name != std::string::npos) {
            dll = line.substr(name + 10);
            for (char &c : dll) {
                c = (char)tolower((unsigned char)c);
            }
            continue;
        }
        if (line.empty()) {
            dll.clear();
        }
        unsigned vma, hint;
        char routine[256];
        if (!dll.empty() && sscanf(line.c_str(), " %x %u %255s", &vma, &hint, routine) == 3) {
            imports[dll].push_back(routine);
        }
    }
    return imports;
}

/* Export address of each routine a library exports, from its export tables. */
std::map<std::string, unsigned long> Exports(const std::string &image, unsigned long *imageBase)
{
    std::map<std::string, unsigned long> exports;
    std::map<unsigned, unsigned long> rvaOfOrdinal;
    std::string headers = PlainOutput(Objdump() + " -p '" + image + "'");
    size_t at = 0;
    bool names = false;
    while (at < headers.size()) {
        size_t end = headers.find('\n', at);
        if (end == std::string::npos) {
            end = headers.size();
        }
        std::string line = headers.substr(at, end - at);
        at = end + 1;
        unsigned index, ordinal;
        unsigned long rva;
        char routine[256];
        if (sscanf(line.c_str(), "ImageBase %lx", imageBase) == 1) {
            continue;
        }
        if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            names = true;
        } else if (!names && sscanf(line.c_str(), " [ %u] +base[ %u] %lx Export RVA", &index, &ordinal, &rva) == 3) {
            rvaOfOrdinal[index] = rva;
        } else if (names && sscanf(line.c_str(), " [ %u] %255s", &index, routine) == 2 && rvaOfOrdinal.count(index)) {
            exports[routine] = rvaOfOrdinal[index];
        }
    }
    return exports;
}

/* A routine that Wine declares but does not implement: its export is a stub that ends the
 * process calling it (the driver host, for a driver). */
bool IsStub(const std::string &image, unsigned long address)
{
    char command[512];
    snprintf(command, sizeof command, "%s -d --start-address=0x%lx --stop-address=0x%lx '%s'", Objdump().c_str(),
             address, address + 48, image.c_str());
    return PlainOutput(command).find("wine_spec_unimplemented_stub") != std::string::npos;
}

/* Every routine murvousb.sys imports is exported by Wine's library of that name: otherwise
 * Wine's kernel cannot load the driver at all. */
TEST(WineKernel, ExportsEveryRoutineMurvousbImports)
{
    if (!WhyWineCannotRun().empty()) {
        GTEST_SKIP() << WhyWineCannotRun();
    }
    auto imports = Imports(WindowsBin() + "/murvousb.sys");
    /* x64 has no HAL.dll imports: its spin lock routines are the kernel's. */
    if (HostWine().Bits == 64) {
        ASSERT_EQ(imports.size(), 2u) << "ntoskrnl.exe and usbd.sys";
    } else {
        ASSERT_EQ(imports.size(), 3u) << "ntoskrnl.exe, hal.dll and usbd.sys";
    }
    for (const auto &library : imports) {
        unsigned long base = 0;
        auto exports = Exports(WineDlls() + library.first, &base);
        ASSERT_FALSE(exports.empty()) << WineDlls() + library.first;
        for (const std::string &routine : library.second) {
            EXPECT_EQ(exports.count(routine), 1u) << library.first << " " << routine;
        }
    }
}

/* Wine 8 declares IoBuildPartialMdl and PoRequestPowerIrp without implementing them: the
 * first call ends the driver host. murvousb calls the first for a transfer longer than one
 * piece (no transfer reaches it under Wine, whose pipes cannot be opened) and the second for
 * a power change of its own (the rig's capabilities never make it ask for one). */
TEST(WineKernel, ImplementsEveryRoutineMurvousbImports)
{
    if (!WhyWineCannotRun().empty()) {
        GTEST_SKIP() << WhyWineCannotRun();
    }
    std::string stubs;
    for (const auto &library : Imports(WindowsBin() + "/murvousb.sys")) {
        unsigned long base = 0;
        auto exports = Exports(WineDlls() + library.first, &base);
        for (const std::string &routine : library.second) {
            if (exports.count(routine) && IsStub(WineDlls() + library.first, base + exports[routine])) {
                stubs += " " + routine;
            }
        }
    }
    if (!stubs.empty()) {
        GTEST_SKIP() << "Wine limit: these routines murvousb imports are stubs that end the driver host when "
                        "called:"
                     << stubs;
    }
}

/* The test build's kernel (winerig/wine/) implements IoBuildPartialMdl: of murvousb's imports
 * only PoRequestPowerIrp is still a stub there (the rig never makes murvousb call it). */
TEST(WineKernel, TestBuildLeavesOnlyPoRequestPowerIrpAStub)
{
    if (!WhyWineCannotRun().empty()) {
        GTEST_SKIP() << WhyWineCannotRun();
    }
    TestWine build = TestWineBuild(MURVO_BUILD_DIR);
    if (build.Dir.empty()) {
        GTEST_SKIP() << build.Why;
    }
    std::string kernel = build.Dir + (HostWine().Bits == 64 ? "/x86_64/ntoskrnl.exe" : "/i386/ntoskrnl.exe");
    unsigned long base = 0;
    auto exports = Exports(kernel, &base);
    ASSERT_FALSE(exports.empty()) << kernel;
    std::string stubs;
    auto imports = Imports(WindowsBin() + "/murvousb.sys");
    for (const std::string &routine : imports["ntoskrnl.exe"]) {
        if (exports.count(routine) && IsStub(kernel, base + exports[routine])) {
            stubs += " " + routine;
        }
    }
    EXPECT_EQ(stubs, " PoRequestPowerIrp");
}

/* The Win32 error the Win32 stand-in reports for each status a request can end with is the
 * one Wine's RtlNtStatusToDosError gives (Wine's table is checked against Windows by Wine's
 * own tests), except for the statuses where Wine's implementation gives another error than
 * Windows: there the stand-in gives Windows' (Microsoft's table; Wine's conformance test
 * dlls/ntdll/tests/error.c expects it too). */
struct WindowsNotWine {
    NTSTATUS Status;
    DWORD Windows;
    DWORD Wine;
};
const WindowsNotWine WineDiffersFromWindows[] = {
    {STATUS_NO_SUCH_DEVICE, 2 /* ERROR_FILE_NOT_FOUND */, 433 /* ERROR_NO_SUCH_DEVICE, Wine 8 */}};

TEST(WineNtdll, MapsEveryStatusToTheWin32ErrorTheStandInReports)
{
    if (!WhyWineCannotRun().empty()) {
        GTEST_SKIP() << WhyWineCannotRun();
    }
    ASSERT_TRUE(RigInstalled()) << "the rig's prefix was not made: the wine_rig_prefix test makes it";
    const std::pair<const char *, NTSTATUS> statuses[] = {
        {"STATUS_SUCCESS", STATUS_SUCCESS},
        {"STATUS_PENDING", STATUS_PENDING},
        {"STATUS_BUFFER_OVERFLOW", STATUS_BUFFER_OVERFLOW},
        {"STATUS_DEVICE_BUSY", STATUS_DEVICE_BUSY},
        {"STATUS_NO_MORE_ENTRIES", STATUS_NO_MORE_ENTRIES},
        {"STATUS_UNSUCCESSFUL", STATUS_UNSUCCESSFUL},
        {"STATUS_NOT_IMPLEMENTED", STATUS_NOT_IMPLEMENTED},
        {"STATUS_INVALID_HANDLE", STATUS_INVALID_HANDLE},
        {"STATUS_INVALID_PARAMETER", STATUS_INVALID_PARAMETER},
        {"STATUS_NO_SUCH_DEVICE", STATUS_NO_SUCH_DEVICE},
        {"STATUS_INVALID_DEVICE_REQUEST", STATUS_INVALID_DEVICE_REQUEST},
        {"STATUS_NO_MEMORY", STATUS_NO_MEMORY},
        {"STATUS_ACCESS_DENIED", STATUS_ACCESS_DENIED},
        {"STATUS_BUFFER_TOO_SMALL", STATUS_BUFFER_TOO_SMALL},
        {"STATUS_OBJECT_NAME_INVALID", STATUS_OBJECT_NAME_INVALID},
        {"STATUS_OBJECT_NAME_NOT_FOUND", STATUS_OBJECT_NAME_NOT_FOUND},
        {"STATUS_OBJECT_NAME_COLLISION", STATUS_OBJECT_NAME_COLLISION},
        {"STATUS_DELETE_PENDING", STATUS_DELETE_PENDING},
        {"STATUS_INSUFFICIENT_RESOURCES", STATUS_INSUFFICIENT_RESOURCES},
        {"STATUS_DEVICE_DATA_ERROR", STATUS_DEVICE_DATA_ERROR},
        {"STATUS_DEVICE_NOT_CONNECTED", STATUS_DEVICE_NOT_CONNECTED},
        {"STATUS_DEVICE_POWER_FAILURE", STATUS_DEVICE_POWER_FAILURE},
        {"STATUS_DEVICE_NOT_READY", STATUS_DEVICE_NOT_READY},
        {"STATUS_IO_TIMEOUT", STATUS_IO_TIMEOUT},
        {"STATUS_NOT_SUPPORTED", STATUS_NOT_SUPPORTED},
        {"STATUS_INVALID_USER_BUFFER", STATUS_INVALID_USER_BUFFER},
        {"STATUS_CANCELLED", STATUS_CANCELLED},
        {"STATUS_FILE_CLOSED", STATUS_FILE_CLOSED},
        {"STATUS_INVALID_DEVICE_STATE", STATUS_INVALID_DEVICE_STATE},
        {"STATUS_INVALID_BUFFER_SIZE", STATUS_INVALID_BUFFER_SIZE},
        {"STATUS_NAME_TOO_LONG", STATUS_NAME_TOO_LONG},
        {"STATUS_NOT_FOUND", STATUS_NOT_FOUND},
        {"STATUS_DEVICE_REMOVED", STATUS_DEVICE_REMOVED}};
    std::string args;
    for (const auto &status : statuses) {
        char hex[16];
        snprintf(hex, sizeof hex, " %08X", (unsigned)status.second);
        args += hex;
    }
    setenv("WINEPREFIX", MURVO_RIG_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINELOADER", HostWine().Loader.c_str(), 1);
    auto wine = Fields(Rigctl("errors" + args));
    for (const auto &status : statuses) {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08X", (unsigned)status.second);
        ASSERT_EQ(wine.count(hex), 1u) << hex;
        const WindowsNotWine *exception = nullptr;
        for (const WindowsNotWine &entry : WineDiffersFromWindows) {
            exception = entry.Status == status.second ? &entry : exception;
        }
        if (exception != nullptr) {
            EXPECT_EQ(HostWin32ErrorOf(status.second), exception->Windows) << status.first;
            EXPECT_TRUE(wine[hex] == std::to_string(exception->Wine) || wine[hex] == std::to_string(exception->Windows))
                << status.first << ": Wine now gives " << wine[hex];
            continue;
        }
        EXPECT_EQ(std::to_string(HostWin32ErrorOf(status.second)), wine[hex]) << status.first;
    }
}

} // namespace
