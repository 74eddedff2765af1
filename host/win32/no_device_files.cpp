/*
 * no_device_files.cpp - device files in a build without the kernel stand-in (the libusb
 * build of vardel): no device path names anything, so none opens.
 */
#include "host/win32/handle_table.h"
#include "host/win32/win32_handles.h"

HANDLE HostDeviceFileOpen(LPCSTR path, DWORD flagsAndAttributes)
{
    (void)path;
    (void)flagsAndAttributes;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL HostDeviceFileClose(HostHandle *handle)
{
    (void)handle;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
