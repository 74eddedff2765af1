/*
 * no_device_files.cpp - device files in a build without the kernel stand-in (the libusb
 * build of vardel): no device path names anything, so none opens.
 */
#include "posix/handle_table.h"
#include "posix/win32_handles.h"

HANDLE HostDeviceFileOpen(LPCSTR Path, DWORD FlagsAndAttributes)
{
    (void)Path;
    (void)FlagsAndAttributes;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL HostDeviceFileClose(HostHandle *Handle)
{
    (void)Handle;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
