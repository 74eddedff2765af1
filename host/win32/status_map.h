/*
 * status_map.h - the Win32 error Windows reports for an NTSTATUS, for the device files of the
 * Win32 stand-in.
 */
#ifndef MURVO_HOST_WIN32_STATUS_MAP_H
#define MURVO_HOST_WIN32_STATUS_MAP_H

#include "posix/win32_types.h"

/* Sets the last error from an NTSTATUS, by Windows' mapping. */
void HostSetLastErrorFromStatus(int32_t status);
/* The Win32 error Windows gives for an NTSTATUS. */
DWORD HostWin32ErrorOf(int32_t Status);

#endif /* MURVO_HOST_WIN32_STATUS_MAP_H */
