/*
 * handles.cpp - CreateFileA, CloseHandle and the thread's last error.
 */
#include "posix/handle_table.h"
#include "posix/win32_handles.h"

#include <stdio.h>
#include <string.h>

static thread_local DWORD LastError; /* per thread, as on Windows */

DWORD GetLastError(void) { return LastError; }

void SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

HostHandle *HostHandleOf(HANDLE Handle, HostHandleKind Kind)
{
    HostHandle *record = (HostHandle *)Handle;
    if (Handle == NULL || Handle == INVALID_HANDLE_VALUE || record->Kind != Kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return record;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (strcmp(lpFileName, "CONIN$") == 0 && dwCreationDisposition == OPEN_EXISTING) {
        return HostConsoleOpenInput();
    }
    if (strcmp(lpFileName, "CONOUT$") == 0 && dwCreationDisposition == OPEN_EXISTING) {
        return HostConsoleOpenOutput();
    }
    /* Device paths: "\\?\..." and "\\.\...". */
    if (strncmp(lpFileName, "\\\\?\\", 4) == 0 || strncmp(lpFileName, "\\\\.\\", 4) == 0) {
        if (dwCreationDisposition != OPEN_EXISTING) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return HostDeviceFileOpen(lpFileName, dwFlagsAndAttributes);
    }
    /* Nothing else is modelled: say so instead of pretending. */
    fprintf(stderr, "win32 stand-in: CreateFileA(\"%s\") is not modelled\n", lpFileName);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    HostHandle *record = (HostHandle *)hObject;
    if (hObject == NULL || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (record->Kind) {
    case HostHandleConsoleInput:
        HostConsoleClose(record);
        return TRUE;
    case HostHandleConsoleOutput:
        HostConsoleOutputClose(record);
        return TRUE;
    case HostHandleStdStream:
        return TRUE; /* closing a standard handle is allowed; the stand-in keeps the descriptor */
    case HostHandleDeviceFile:
        return HostDeviceFileClose(record);
    case HostHandleEvent:
        return HostEventClose(record);
    case HostHandleDeviceInfoSet:
        break; /* closed with SetupDiDestroyDeviceInfoList only */
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
