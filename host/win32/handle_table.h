/*
 * handle_table.h - what stands behind a HANDLE of the Win32 stand-in (internal).
 */
#ifndef MURVO_HOST_WIN32_HANDLE_TABLE_H
#define MURVO_HOST_WIN32_HANDLE_TABLE_H

#include "host/win32/win32_types.h"

enum HostHandleKind {
    HostHandleConsoleInput = 0x434f4e49, /* "CONI": the controlling terminal */
};

struct HostHandle {
    HostHandleKind Kind;
    int Fd;                  /* console input: the terminal's descriptor */
    DWORD ConsoleMode;       /* console input: the mode last set */
    bool RawModeSet;         /* console input: SavedTerminal holds the mode to restore */
    unsigned char SavedTerminal[128]; /* console input: a struct termios, kept opaque here */
    WORD PendingKeyUp;       /* console input: virtual key of the key-up event owed, 0 if none */
    CHAR PendingKeyUpChar;
};

/* The record behind handle, or NULL (with ERROR_INVALID_HANDLE set) if it is not one of kind. */
HostHandle *HostHandleOf(HANDLE handle, HostHandleKind kind);

/* Console part of CreateFileA and CloseHandle. */
HANDLE HostConsoleOpenInput(void);
void HostConsoleClose(HostHandle *handle);

#endif /* MURVO_HOST_WIN32_HANDLE_TABLE_H */
