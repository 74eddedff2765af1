/*
 * pipe_transport.cpp - the transport operations over the unit's bulk pipes.
 */
#include "tool/pipe_transport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN64)
/* The record sizes SetupAPI checks in a 64-bit program (the test build under a 64-bit Wine). */
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA is 32 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "SP_DEVICE_INTERFACE_DETAIL_DATA_A is 8 bytes");
#elif defined(_WIN32)
/* The record sizes SetupAPI checks in a 32-bit program. */
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA is 28 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5 bytes");
#endif

#define WRITE_CHUNK 4096u        /* largest single WriteFile */
#define FRAMED_FLUSH 0x4000u     /* staging fill at which WriteFramed writes */
#define FRAMED_PACKET 64u        /* mark and data of a full packet */
#define FRAMED_DATA 62u          /* data bytes of a full packet */
#define RESET_SCRATCH 256u       /* in and out buffer of the pipe reset */
#define ENUM_ERRORS_IN_A_ROW 64u /* enumeration failures tolerated before discovery gives up */
#define DRAIN_WAIT_MS 100u       /* how long the start waits for a reply the unit still holds */
#define DRAIN_READS_MAX 64u      /* reads of left-over replies before the start goes on regardless */
#define DRAIN_BUFFER 4096u       /* one read of the drain; a short packet ends it sooner */

static const GUID UnitInterfaceClass = MURVO_INTERFACE_GUID_INIT;

char DevicePath[DEVICE_PATH_CHARS];
unsigned UnitsFound;
HANDLE ReadHandle = INVALID_HANDLE_VALUE;
HANDLE WriteHandle = INVALID_HANDLE_VALUE;
OVERLAPPED ReadOverlapped;

/* The interface path of the unit the pipes were opened on, without the pipe's name. */
static char UnitPath[DEVICE_PATH_CHARS];

/* The pipe reset after a time-out has a record and event of its own, so that ReadOverlapped
 * only ever describes a read. */
OVERLAPPED ResetOverlapped;

/* WriteFramed's staging buffer: 16 KiB and room for one more packet. */
static uint8_t FramedStaging[FRAMED_FLUSH + FRAMED_PACKET];

/* Why OpenTransport could not open the unit, in rising weight: of the failures of one
 * OpenTransport (both discoveries, both pipes) the weightiest is reported, with the Windows
 * error of the call that failed. */
enum OpenFailure {
    OpenFailureNotFound,     /* no interface of the class, or none that opened */
    OpenFailureError,        /* an open failed for another reason: OpenFailureCode */
    OpenFailureInUse,        /* the driver refused a pipe that another handle holds */
    OpenFailureAccessDenied, /* the device's security refused the open */
};
static OpenFailure WorstOpenFailure;
static DWORD OpenFailureCode;

/* Notes a failed CreateFileA, of the interface (a discovery candidate) or of a pipe. */
static void NoteOpenFailure(DWORD error, bool pipe)
{
    OpenFailure failure = OpenFailureError;
    if (error == ERROR_ACCESS_DENIED) {
        failure = OpenFailureAccessDenied;
    } else if (pipe && error == ERROR_INVALID_PARAMETER) {
        /* murvousb refuses the open of a pipe that is open already (the names are right) */
        failure = OpenFailureInUse;
    }
    if (failure > WorstOpenFailure || (failure == OpenFailureError && WorstOpenFailure == OpenFailureError)) {
        WorstOpenFailure = failure;
        OpenFailureCode = error;
    }
}

/* The one line on the error stream, before the update sequence's own message, that says why
 * the unit could not be opened. */
static void ReportOpenFailure(void)
{
    switch (WorstOpenFailure) {
    case OpenFailureNotFound:
        fprintf(stderr, "No MURVO unit found: none is plugged in, or its driver (murvousb) is not installed\n");
        return;
    case OpenFailureAccessDenied:
        fprintf(stderr, "Access to the MURVO unit denied: run vardel from a Command Prompt run as administrator\n");
        return;
    case OpenFailureInUse:
        fprintf(stderr, "The MURVO unit is in use by another program: close it, then try again\n");
        return;
    case OpenFailureError:
        break;
    }
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, OpenFailureCode, 0,
                                  text, sizeof text, NULL);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        length--;
    }
    text[length] = '\0';
    if (length == 0) {
        fprintf(stderr, "The MURVO unit could not be opened: error %lu\n", (unsigned long)OpenFailureCode);
    } else {
        fprintf(stderr, "The MURVO unit could not be opened: %s (error %lu)\n", text, (unsigned long)OpenFailureCode);
    }
}

/* Tries one enumerated interface: its path into path, then opens it. */
static HANDLE OpenCandidate(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *interfaceData, char *path)
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, interfaceData, NULL, 0, &required, NULL);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return INVALID_HANDLE_VALUE;
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A *)malloc(required);
    if (detail == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, required, NULL, NULL)) {
        /* Room must stay for "\PIPEnn" and the terminator, or the pipe path would not fit. */
        size_t length = strnlen(detail->DevicePath, required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
        if (length + 1 + 6 + 1 <= DEVICE_PATH_CHARS) {
            memcpy(path, detail->DevicePath, length);
            path[length] = '\0';
            handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
            if (handle == INVALID_HANDLE_VALUE) {
                NoteOpenFailure(GetLastError(), false);
            }
        }
    }
    free(detail);
    return handle;
}

HANDLE FindUnitInterface(const GUID *interfaceClass, char *path)
{
    HDEVINFO set = SetupDiGetClassDevsA(interfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    unsigned errorsInARow = 0;
    UnitsFound = 0;
    for (DWORD index = 0;; index++) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, NULL, interfaceClass, index, &interfaceData)) {
            /* The end of the list is the expected way out; other errors skip the member. */
            if (GetLastError() == ERROR_NO_MORE_ITEMS || ++errorsInARow >= ENUM_ERRORS_IN_A_ROW) {
                break;
            }
            continue;
        }
        errorsInARow = 0;
        UnitsFound++;
        /* Once one is open, the rest are only counted. */
        if (handle == INVALID_HANDLE_VALUE) {
            handle = OpenCandidate(set, &interfaceData, path);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return handle;
}

bool ProbeUnit(const GUID *interfaceClass, char *path)
{
    HANDLE handle = FindUnitInterface(interfaceClass, path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

HANDLE OpenPipe(const char *pipeName, DWORD flagsAndAttributes)
{
    if (!ProbeUnit(&UnitInterfaceClass, DevicePath)) {
        return INVALID_HANDLE_VALUE;
    }
    memcpy(UnitPath, DevicePath, sizeof UnitPath);
    size_t length = strlen(DevicePath);
    if (length + 1 + strlen(pipeName) + 1 > DEVICE_PATH_CHARS) {
        return INVALID_HANDLE_VALUE;
    }
    DevicePath[length] = '\\';
    strcpy(DevicePath + length + 1, pipeName);
    HANDLE handle = CreateFileA(DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, flagsAndAttributes, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        NoteOpenFailure(GetLastError(), true);
    }
    return handle;
}

/* A failure of OpenTransport: whatever is open is closed, and the reason goes out. */
static bool FailOpen(void)
{
    CloseTransport();
    ReportOpenFailure();
    return false;
}

/* Ends the read pending on ReadOverlapped that the caller stopped waiting for: cancels it and
 * waits until it has ended, so that it neither fills the caller's buffer after the caller
 * returned nor takes the reply meant for a later read ("Canceling Pending I/O Operations").
 * got receives the bytes it moved before it ended. */
static void EndPendingRead(DWORD *got)
{
    CancelIoEx(ReadHandle, &ReadOverlapped);
    /* When the read ended on its own just before the cancel (ERROR_NOT_FOUND), its result is
     * there already and the wait returns at once. */
    GetOverlappedResult(ReadHandle, &ReadOverlapped, got, TRUE);
}

/* Reads and drops whatever the unit still holds for the read pipe. A unit outlives the program
 * that drives it: a reply that an earlier run never took (it timed out, or was ended while the
 * unit worked) would be read as the answer to this run's first command. Each read waits
 * DRAIN_WAIT_MS; the first that brings nothing ends the drain. */
static void DrainStaleReplies(void)
{
    static uint8_t scratch[DRAIN_BUFFER]; /* what is read is dropped */
    for (unsigned reads = 0; reads < DRAIN_READS_MAX; reads++) {
        DWORD got = 0;
        if (ReadFile(ReadHandle, scratch, sizeof scratch, &got, &ReadOverlapped)) {
            if (got == 0) {
                return;
            }
            continue;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return;
        }
        if (WaitForSingleObject(ReadOverlapped.hEvent, DRAIN_WAIT_MS) == WAIT_TIMEOUT) {
            EndPendingRead(&got);
            return;
        }
        if (!GetOverlappedResult(ReadHandle, &ReadOverlapped, &got, FALSE) || got == 0) {
            return;
        }
    }
}

bool OpenTransport(void)
{
    WorstOpenFailure = OpenFailureNotFound;
    OpenFailureCode = 0;
    ReadHandle = OpenPipe(MURVO_READ_PIPE_NAME, FILE_FLAG_OVERLAPPED);
    WriteHandle = OpenPipe(MURVO_WRITE_PIPE_NAME, 0);
    if (ReadHandle == INVALID_HANDLE_VALUE || WriteHandle == INVALID_HANDLE_VALUE) {
        return FailOpen();
    }
    /* Events last until the process ends: a second open reuses them instead of leaking them. */
    HANDLE readEvent = ReadOverlapped.hEvent;
    memset(&ReadOverlapped, 0, sizeof ReadOverlapped);
    ReadOverlapped.hEvent = readEvent != NULL ? readEvent : CreateEventA(NULL, FALSE, FALSE, NULL);
    if (ReadOverlapped.hEvent == NULL) {
        NoteOpenFailure(GetLastError(), false);
        return FailOpen();
    }
    if (ResetOverlapped.hEvent == NULL) {
        ResetOverlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    }
    if (ResetOverlapped.hEvent == NULL) {
        NoteOpenFailure(GetLastError(), false);
        return FailOpen();
    }
    DrainStaleReplies();
    return true;
}

unsigned TransportUnitsFound(void) { return UnitsFound; }

const char *TransportUnitName(void) { return UnitPath; }

void CloseTransport(void)
{
    if (ReadHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(ReadHandle);
        ReadHandle = INVALID_HANDLE_VALUE;
    }
    if (WriteHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(WriteHandle);
        WriteHandle = INVALID_HANDLE_VALUE;
    }
}

bool TransportWrite(const void *data, uint32_t length, uint32_t *count)
{
    const uint8_t *next = (const uint8_t *)data;
    uint32_t remaining = length;
    uint32_t total = 0;
    bool failed = false;
    while (remaining > 0 && !failed) {
        DWORD chunk = remaining < WRITE_CHUNK ? remaining : WRITE_CHUNK;
        DWORD written = 0;
        if (!WriteFile(WriteHandle, next, chunk, &written, NULL) || written != chunk) {
            failed = true;
        }
        total += chunk;
        next += chunk;
        remaining -= chunk;
    }
    if (count != NULL) {
        *count = total;
    }
    return !failed;
}

bool TransportRead(void *buffer, uint32_t length, uint32_t extraMs, uint32_t *count)
{
    DWORD timeout = TransportReadTimeout(length, 0);
    DWORD got = 0;
    bool ok = false;
    if (ReadFile(ReadHandle, buffer, length, &got, &ReadOverlapped)) {
        /* Completed at once: only a whole reply counts, so no stale bytes stay in the record. */
        ok = got == length;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ReadOverlapped.hEvent, timeout + extraMs) == WAIT_TIMEOUT) {
            EndPendingRead(&got);
            SendResetPipe(ReadHandle, &ResetOverlapped);
        } else {
            ok = GetOverlappedResult(ReadHandle, &ReadOverlapped, &got, FALSE) && got == length;
        }
    }
    if (count != NULL) {
        *count = got;
    }
    return ok;
}

BOOL SendResetPipe(HANDLE handle, OVERLAPPED *overlapped)
{
    static uint8_t scratch[RESET_SCRATCH]; /* carries nothing either way */
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_RESET_PIPE, scratch, sizeof scratch, scratch, sizeof scratch, &returned,
                           overlapped);
}

BOOL SendResetDevice(HANDLE handle, OVERLAPPED *overlapped)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_RESET_DEVICE, NULL, 0, NULL, 0, &returned, overlapped);
}

/* Writes the staged packets; adds their data bytes to count. False when the write failed. */
static bool FlushFramed(uint32_t fill, uint32_t *count)
{
    uint32_t written = 0;
    bool ok = TransportWrite(FramedStaging, fill, &written);
    if (count != NULL) {
        uint32_t packets = (written + FRAMED_PACKET - 1) / FRAMED_PACKET;
        *count += written - 2 * packets;
    }
    return ok;
}

bool WriteFramed(const void *data, uint32_t length, uint32_t *count)
{
    if (count != NULL) {
        *count = 0;
    }
    if (length == 0) {
        return true;
    }
    const uint8_t *bytes = (const uint8_t *)data;
    uint32_t fill = 0;
    bool failed = false;
    for (uint32_t offset = 0; !failed && offset < length; offset += FRAMED_DATA) {
        uint32_t chunk = length - offset < FRAMED_DATA ? length - offset : FRAMED_DATA;
        FramedStaging[fill] = (uint8_t)(PacketMark & 0xFF);
        FramedStaging[fill + 1] = (uint8_t)(PacketMark >> 8);
        memcpy(FramedStaging + fill + 2, bytes + offset, chunk);
        fill += chunk + 2;
        if (fill >= FRAMED_FLUSH) {
            failed = !FlushFramed(fill, count);
            fill = 0;
        }
    }
    if (!failed && fill > 0) {
        failed = !FlushFramed(fill, count);
    }
    return !failed;
}

HANDLE OpenUnitAndReport(void)
{
    HANDLE handle = FindUnitInterface(&UnitInterfaceClass, DevicePath);
    if (handle == INVALID_HANDLE_VALUE) {
        printf("Failed to open (%s) = %d", DevicePath, (int)GetLastError());
    } else {
        printf("DeviceName = (%s)\n", DevicePath);
    }
    return handle;
}
