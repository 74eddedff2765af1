/*
 * handle_table.h - what stands behind a HANDLE of the Win32 stand-in (internal).
 *
 * A HANDLE points to a record that starts with a HostHandle; its kind says which part of
 * the stand-in owns the rest.
 */
#ifndef MURVO_HOST_WIN32_HANDLE_TABLE_H
#define MURVO_HOST_WIN32_HANDLE_TABLE_H

#include "host/win32/win32_types.h"

enum HostHandleKind {
    HostHandleConsoleInput = 0x434f4e49,  /* "CONI": the controlling terminal */
    HostHandleDeviceFile = 0x46494c45,    /* "FILE": a file object on a device */
    HostHandleEvent = 0x45564e54,         /* "EVNT": an event */
    HostHandleDeviceInfoSet = 0x44494e46, /* "DINF": a SetupAPI device information set */
    HostHandleConsoleOutput = 0x434f4e4f, /* "CONO": the controlling terminal, for writing */
    HostHandleStdStream = 0x53544444,     /* "STDD": a standard handle (descriptor 0, 1 or 2) */
};

struct HostHandle {
    HostHandleKind Kind;
};

/* The console input record. */
struct HostConsoleHandle {
    HostHandle Header;
    int Fd;                           /* the terminal's descriptor */
    DWORD ConsoleMode;                /* the mode last set */
    bool RawModeSet;                  /* SavedTerminal holds the mode to restore */
    unsigned char SavedTerminal[128]; /* a struct termios, kept opaque here */
    WORD PendingKeyUp;                /* virtual key of the key-up event owed, 0 if none */
    CHAR PendingKeyUpChar;
};

/* A console output handle (CONOUT$), or a standard handle as GetStdHandle gives it. */
struct HostStreamHandle {
    HostHandle Header;
    int Fd;
};

/* The record behind handle if it is one of kind; NULL with ERROR_INVALID_HANDLE otherwise. */
HostHandle *HostHandleOf(HANDLE Handle, HostHandleKind Kind);

/* The owners' parts of CreateFileA and CloseHandle. */
HANDLE HostConsoleOpenInput(void);
void HostConsoleClose(HostHandle *handle);
HANDLE HostConsoleOpenOutput(void);
void HostConsoleOutputClose(HostHandle *handle);
HANDLE HostDeviceFileOpen(LPCSTR Path, DWORD FlagsAndAttributes);
BOOL HostDeviceFileClose(HostHandle *Handle);
BOOL HostEventClose(HostHandle *Handle);

/* Sets the last error from an NTSTATUS, by Windows' mapping. */
void HostSetLastErrorFromStatus(int32_t status);
/* The Win32 error Windows gives for an NTSTATUS. */
DWORD HostWin32ErrorOf(int32_t Status);

#endif /* MURVO_HOST_WIN32_HANDLE_TABLE_H */
