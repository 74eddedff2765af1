/*
 * win32_handles.h - kernel32's handle calls.
 *
 * A HANDLE is a pointer to a HostHandle record whose kind says which part owns it. CreateFileA picks the owner by the name it is given; CloseHandle and
 * GetLastError work for every kind.
 */
#ifndef MURVO_POSIX_WIN32_HANDLES_H
#define MURVO_POSIX_WIN32_HANDLES_H

#include "posix/win32_types.h"

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

#endif /* MURVO_POSIX_WIN32_HANDLES_H */
