/*
 * rigctl.cpp - rigctl.exe, the Wine rig's program (a test fixture, never shipped).
 *
 *   rigctl install FOLDER  installs murvousb.inf and murvorig.inf from FOLDER through the
 *                          system's INF installer, then makes the root device root\murvorig,
 *                          whose bus brings the unit
 *   rigctl probe           finds the unit's interface through SetupAPI, opens it, sends
 *                          IOCTL_GET_CONFIG_DESCRIPTOR, IOCTL_RESET_DEVICE, IOCTL_RESET_PIPE
 *                          and an unknown code, opens the read pipe below it; one line per
 *                          step
 *   rigctl log             prints the bus's log
 *   rigctl unplug          unplugs the unit from the bus
 *   rigctl plug            plugs an unplugged unit in again (error once its removal is done)
 *   rigctl errors STATUS.. the Win32 error the system gives for each NTSTATUS (hexadecimal),
 *                          from ntdll's RtlNtStatusToDosError: "0xC0000056: 5"
 *   rigctl unplug-open     unplugs the unit while a handle to its interface is open, sends
 *                          IOCTL_GET_CONFIG_DESCRIPTOR through it, closes it; says whether
 *                          the bus saw the unit's removal before and after the close
 *   rigctl unit MODE SIZE BLOCKS FAULTS
 *                          powers the unit on afresh: MODE firmware, loopback or silent; a
 *                          flash of SIZE bytes in BLOCKS blocks (numbers as MURVO_SIM_* takes
 *                          them); FAULTS a MURVO_SIM_FAULTS list, or - for none
 *   rigctl flash FILE      writes the unit's whole flash to FILE
 *   rigctl pipes           the unit's pipes from a program: a loopback unit takes a staged
 *                          write and gives it back by a staged read, single and staged reads
 *                          are cancelled, each pipe handle is reset, each pipe is used in the
 *                          wrong direction, a read fails on a stalled pipe; one line per step
 *
 * Every line it prints is "name: value", for the tests to read. Exit status 0 unless a step
 * could not be carried out at all.
 */
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>

#include "unitsim/sim_core.h"
#include "winerig/rig_public.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const GUID InterfaceClass = MURVO_INTERFACE_GUID_INIT;

static int Fail(const char *step)
{
    printf("%s: error %lu\n", step, (unsigned long)GetLastError());
    return 1;
}

static int Install(const char *folder)
{
    char inf[MAX_PATH];
    snprintf(inf, sizeof inf, "%s\\murvousb.inf", folder);
    WCHAR wideInf[MAX_PATH], wideFolder[MAX_PATH], installed[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, inf, -1, wideInf, MAX_PATH);
    MultiByteToWideChar(CP_ACP, 0, folder, -1, wideFolder, MAX_PATH);
    if (!SetupCopyOEMInfW(wideInf, wideFolder, SPOST_PATH, 0, installed, MAX_PATH, NULL, NULL)) {
        return Fail("murvousb.inf");
    }
    printf("murvousb.inf: %ls\n", installed);

    snprintf(inf, sizeof inf, "%s\\murvorig.inf", folder);
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("device list");
    }
    static const GUID systemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    static const char hardwareId[] = "root\\murvorig\0";
    if (!SetupDiCreateDeviceInfoA(set, "MURVORIG", &systemClass, NULL, NULL, DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardwareId,
                                           sizeof hardwareId) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        int status = Fail("root device");
        SetupDiDestroyDeviceInfoList(set);
        return status;
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, "root\\murvorig", inf, INSTALLFLAG_FORCE, &reboot)) {
        return Fail("murvorig.inf");
    }
    printf("murvorig.inf: installed\n");
    return 0;
}

static HANDLE OpenControl(void)
{
    return CreateFileA(RIG_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

/* The bus's log, NUL-terminated, or NULL when it cannot be had. */
static const char *ReadLog(void)
{
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    static char log[RIG_LOG_SIZE + 1];
    DWORD got = 0;
    BOOL ok = DeviceIoControl(control, IOCTL_RIG_GET_LOG, NULL, 0, log, RIG_LOG_SIZE, &got, NULL);
    CloseHandle(control);
    log[ok ? got : 0] = 0;
    return ok ? log : NULL;
}

static int PrintLog(void)
{
    const char *log = ReadLog();
    if (log == NULL) {
        return Fail("log");
    }
    fputs(log, stdout);
    return 0;
}

static const char *Removed(void)
{
    const char *log = ReadLog();
    return log != NULL && strstr(log, "unit REMOVE_DEVICE") != NULL ? "yes" : "no";
}

/* A control request without data: "NAME: done" or "NAME: error N". */
static int BusRequest(const char *name, DWORD code)
{
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return Fail("control");
    }
    DWORD got = 0;
    BOOL ok = DeviceIoControl(control, code, NULL, 0, NULL, 0, &got, NULL);
    CloseHandle(control);
    if (!ok) {
        return Fail(name);
    }
    printf("%s: done\n", name);
    return 0;
}

static int Unplug(void) { return BusRequest("unplug", IOCTL_RIG_UNPLUG); }

/* The unit's interface path, from SetupAPI; false when none is present. */
static bool InterfacePath(char *path, size_t size)
{
    HDEVINFO set = SetupDiGetClassDevsA(&InterfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    bool found = false;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &InterfaceClass, 0, &iface)) {
        static char buffer[1024];
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A *)buffer;
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof buffer, NULL, NULL)) {
            snprintf(path, size, "%s", detail->DevicePath);
            found = true;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

/* One device-control request: its status (ok or error N) and the bytes returned in hex. */
static void Control(HANDLE device, const char *name, DWORD code)
{
    unsigned char out[256];
    DWORD got = 0;
    if (DeviceIoControl(device, code, NULL, 0, out, sizeof out, &got, NULL)) {
        printf("%s: ok", name);
    } else {
        printf("%s: error %lu", name, (unsigned long)GetLastError());
    }
    printf(" bytes");
    for (DWORD i = 0; i < got && i < sizeof out; i++) {
        printf(" %02x", out[i]);
    }
    printf("\n");
}

static int UnplugWhileOpen(void)
{
    char path[1024];
    if (!InterfacePath(path, sizeof path)) {
        return Fail("interface");
    }
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return Fail("open");
    }
    int status = Unplug();
    Sleep(2000);
    Control(device, "IOCTL_GET_CONFIG_DESCRIPTOR after unplug", IOCTL_GET_CONFIG_DESCRIPTOR);
    printf("removed before close: %s\n", Removed());
    CloseHandle(device);
    Sleep(2000);
    printf("removed after close: %s\n", Removed());
    return status;
}

static int Errors(int count, char **statuses)
{
    typedef ULONG(WINAPI * StatusToError)(LONG);
    StatusToError toError =
        (StatusToError)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError");
    if (toError == NULL) {
        return Fail("RtlNtStatusToDosError");
    }
    for (int i = 0; i < count; i++) {
        unsigned long status = strtoul(statuses[i], NULL, 16);
        printf("0x%08lX: %lu\n", status, (unsigned long)toError((LONG)status));
    }
    return 0;
}

static int SetUnit(const char *mode, const char *size, const char *blocks, const char *faults)
{
    RIG_UNIT_SETUP setup;
    memset(&setup, 0, sizeof setup);
    SimConfigDefaults(&setup.Config);
    if (strcmp(mode, "firmware") == 0) {
        setup.Mode = RigUnitFirmware;
    } else if (strcmp(mode, "loopback") == 0) {
        setup.Mode = RigUnitLoopback;
    } else if (strcmp(mode, "silent") == 0) {
        setup.Mode = RigUnitSilent;
    } else {
        printf("unit: unknown mode %s\n", mode);
        return 1;
    }
    char error[256];
    if (!SimParseNumber(size, &setup.Config.FlashSize) || !SimParseNumber(blocks, &setup.Config.BlockCount) ||
        setup.Config.BlockCount == 0 || setup.Config.FlashSize % setup.Config.BlockCount != 0) {
        printf("unit: bad layout %s in %s blocks\n", size, blocks);
        return 1;
    }
    if (strcmp(faults, "-") != 0 && !SimParseFaults(faults, &setup.Config, error, sizeof error)) {
        printf("unit: %s\n", error);
        return 1;
    }
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return Fail("control");
    }
    DWORD got = 0;
    BOOL ok = DeviceIoControl(control, IOCTL_RIG_SET_UNIT, &setup, sizeof setup, NULL, 0, &got, NULL);
    CloseHandle(control);
    if (!ok) {
        return Fail("unit");
    }
    printf("unit: on\n");
    return 0;
}

static int SaveFlash(const char *file)
{
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return Fail("control");
    }
    FILE *out = fopen(file, "wb");
    if (out == NULL) {
        CloseHandle(control);
        printf("flash: cannot write %s\n", file);
        return 1;
    }
    static unsigned char chunk[65536];
    ULONG offset = 0;
    DWORD got = 0;
    while (DeviceIoControl(control, IOCTL_RIG_READ_FLASH, &offset, sizeof offset, chunk, sizeof chunk, &got, NULL) &&
           got > 0) {
        fwrite(chunk, 1, got, out);
        offset += got;
    }
    fclose(out);
    CloseHandle(control);
    printf("flash: %lu bytes\n", (unsigned long)offset);
    return 0;
}

/* One overlapped transfer on a pipe handle, waited for up to two seconds; "ok N" or
 * "error N" (WAIT_TIMEOUT when it has not ended, the transfer then cancelled). */
static void Transfer(const char *name, HANDLE pipe, bool read, void *buffer, DWORD length, DWORD *moved)
{
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD got = 0;
    BOOL ok =
        read ? ReadFile(pipe, buffer, length, NULL, &overlapped) : WriteFile(pipe, buffer, length, NULL, &overlapped);
    DWORD error = ok ? 0 : GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_TIMEOUT) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &got, TRUE);
            error = WAIT_TIMEOUT;
        } else if (GetOverlappedResult(pipe, &overlapped, &got, FALSE)) {
            error = 0;
        } else {
            error = GetLastError();
        }
    }
    CloseHandle(overlapped.hEvent);
    if (error == 0) {
        printf("%s: ok %lu\n", name, (unsigned long)got);
    } else {
        printf("%s: error %lu\n", name, (unsigned long)error);
    }
    if (moved != NULL) {
        *moved = error == 0 ? got : 0;
    }
}

/* A transfer that fails on the bus: its error and the bytes it says it moved. */
static void FailedRead(const char *name, HANDLE in, HANDLE out)
{
    static unsigned char request[4] = {0, 0, 0, 0}; /* GetOsVersion */
    static unsigned char reply[64];
    Transfer("request before the failed read", out, false, request, sizeof request, NULL);
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD got = 0xFFFFFFFF;
    BOOL ok = ReadFile(in, reply, sizeof reply, NULL, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(in, &overlapped, &got, TRUE);
    }
    printf("%s: %s %lu, %lu bytes\n", name, ok ? "ok" : "error", ok ? 0ul : (unsigned long)GetLastError(),
           (unsigned long)got);
    CloseHandle(overlapped.hEvent);
}

/* A read left waiting (nothing to give), then cancelled with CancelIo: its ending. */
static void CancelledRead(const char *name, HANDLE pipe, DWORD length)
{
    static unsigned char buffer[16384];
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BOOL ok = ReadFile(pipe, buffer, length, NULL, &overlapped);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
        Sleep(300);
        bool waiting = WaitForSingleObject(overlapped.hEvent, 0) == WAIT_TIMEOUT;
        CancelIo(pipe);
        DWORD got = 0;
        if (WaitForSingleObject(overlapped.hEvent, 5000) == WAIT_TIMEOUT) {
            printf("%s: not ended by CancelIo\n", name);
        } else if (GetOverlappedResult(pipe, &overlapped, &got, FALSE)) {
            printf("%s: ok %lu%s\n", name, (unsigned long)got, waiting ? "" : " (ended before the cancel)");
        } else {
            printf("%s: error %lu%s\n", name, (unsigned long)GetLastError(),
                   waiting ? "" : " (ended before the cancel)");
        }
    } else {
        printf("%s: did not wait (error %lu)\n", name, (unsigned long)error);
    }
    CloseHandle(overlapped.hEvent);
}

static HANDLE OpenPipe(const char *path, const char *pipeName)
{
    char name[1100];
    snprintf(name, sizeof name, "%s\\%s", path, pipeName);
    HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("open %s: error %lu\n", pipeName, (unsigned long)GetLastError());
    } else {
        printf("open %s: ok\n", pipeName);
    }
    return pipe;
}

static int Pipes(void)
{
    char path[1024];
    if (!InterfacePath(path, sizeof path)) {
        return Fail("interface");
    }
    if (SetUnit("loopback", "2M", "256", "-") != 0) {
        return 1;
    }
    HANDLE in = OpenPipe(path, MURVO_READ_PIPE_NAME);
    HANDLE out = OpenPipe(path, MURVO_WRITE_PIPE_NAME);
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
        return 1;
    }
    static unsigned char sent[8192], back[8192];
    for (unsigned i = 0; i < sizeof sent; i++) {
        sent[i] = (unsigned char)(i * 7 + i / 251);
    }
    DWORD moved = 0;
    Transfer("staged write", out, false, sent, sizeof sent, NULL);
    Transfer("staged read", in, true, back, sizeof back, &moved);
    printf("staged read matches: %s\n", moved == sizeof back && memcmp(sent, back, sizeof back) == 0 ? "yes" : "no");

    CancelledRead("cancelled single read", in, 64);
    CancelledRead("cancelled staged read", in, 8192);

    Control(in, "IOCTL_RESET_PIPE " MURVO_READ_PIPE_NAME, IOCTL_RESET_PIPE);
    Control(out, "IOCTL_RESET_PIPE " MURVO_WRITE_PIPE_NAME, IOCTL_RESET_PIPE);

    Transfer("read " MURVO_WRITE_PIPE_NAME, out, true, back, 64, NULL);
    Transfer("write " MURVO_READ_PIPE_NAME, in, false, sent, 64, NULL);

    if (SetUnit("firmware", "2M", "256", "stall:GetOsVersion:1") != 0) {
        return 1;
    }
    FailedRead("stalled read", in, out);
    CloseHandle(in);
    CloseHandle(out);
    return SetUnit("firmware", "2M", "256", "-");
}

static int Probe(void)
{
    char path[1024];
    if (!InterfacePath(path, sizeof path)) {
        return Fail("interface");
    }
    printf("interface: %s\n", path);
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return Fail("open");
    }
    printf("open: ok\n");
    Control(device, "IOCTL_GET_CONFIG_DESCRIPTOR", IOCTL_GET_CONFIG_DESCRIPTOR);
    Control(device, "IOCTL_RESET_DEVICE", IOCTL_RESET_DEVICE);
    Control(device, "IOCTL_RESET_PIPE", IOCTL_RESET_PIPE);
    Control(device, "unknown", CTL_CODE(FILE_DEVICE_UNKNOWN, 0x0123, METHOD_BUFFERED, FILE_ANY_ACCESS));
    CloseHandle(device);

    char pipe[1100];
    snprintf(pipe, sizeof pipe, "%s\\%s", path, MURVO_READ_PIPE_NAME);
    HANDLE read = CreateFileA(pipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (read == INVALID_HANDLE_VALUE) {
        printf("open %s: error %lu\n", MURVO_READ_PIPE_NAME, (unsigned long)GetLastError());
    } else {
        printf("open %s: ok\n", MURVO_READ_PIPE_NAME);
        CloseHandle(read);
    }
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "install") == 0) {
        return Install(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "probe") == 0) {
        return Probe();
    }
    if (argc == 2 && strcmp(argv[1], "log") == 0) {
        return PrintLog();
    }
    if (argc == 2 && strcmp(argv[1], "unplug") == 0) {
        return Unplug();
    }
    if (argc == 2 && strcmp(argv[1], "plug") == 0) {
        return BusRequest("plug", IOCTL_RIG_PLUG);
    }
    if (argc >= 2 && strcmp(argv[1], "errors") == 0) {
        return Errors(argc - 2, argv + 2);
    }
    if (argc == 2 && strcmp(argv[1], "unplug-open") == 0) {
        return UnplugWhileOpen();
    }
    if (argc == 6 && strcmp(argv[1], "unit") == 0) {
        return SetUnit(argv[2], argv[3], argv[4], argv[5]);
    }
    if (argc == 3 && strcmp(argv[1], "flash") == 0) {
        return SaveFlash(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "pipes") == 0) {
        return Pipes();
    }
    fprintf(stderr,
            "usage: rigctl install FOLDER | probe | log | unplug | plug | unplug-open | errors STATUS... | unit MODE "
            "SIZE BLOCKS FAULTS | flash FILE | pipes\n");
    return 2;
}
