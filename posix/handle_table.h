/*
 * handle_table.h - what stands behind a HANDLE of posix/ and of the Win32 stand-in of the
 * host build (internal).
 *
 * A HANDLE points to a record that starts with a HostHandle; its kind says which part owns
 * the rest: the console, events and standard streams are posix/'s; device files and device
 * information sets are host/win32's, which answers HostDeviceFileOpen and HostDeviceFileClose
 * (in the Linux deliverable, no_device_files.cpp answers that no device path opens).
 */
#ifndef MURVO_POSIX_HANDLE_TABLE_H
#define MURVO_POSIX_HANDLE_TABLE_H

#include "posix/win32_types.h"

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

#endif /* MURVO_POSIX_HANDLE_TABLE_H */
