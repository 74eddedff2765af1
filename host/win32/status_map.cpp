/*
 * status_map.cpp - the Win32 error that Windows reports for each NTSTATUS a request of the
 * stand-in can end with (RtlNtStatusToDosError's table, for the statuses that occur here).
 * Every entry is the value Wine's RtlNtStatusToDosError gives, which the tests under Wine
 * compare (tests/winexe), except where Wine's implementation and Windows differ: there the
 * entry is Windows' own (Microsoft's published table, which Wine's conformance test
 * dlls/ntdll/tests/error.c checks against Windows), and the comparison names it.
 */
#include "host/win32/status_map.h"

#include "host/nt/ntddk.h"
#include "posix/win32_handles.h"

struct StatusMapping {
    NTSTATUS Status;
    DWORD Error;
};

static const StatusMapping StatusMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, 234 /* ERROR_MORE_DATA */},
    {STATUS_DEVICE_BUSY, 170 /* ERROR_BUSY */},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND}, /* Wine 8 gives 433, ERROR_NO_SUCH_DEVICE */
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_INVALID, 123 /* ERROR_INVALID_NAME */},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, 183 /* ERROR_ALREADY_EXISTS */},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, 1450 /* ERROR_NO_SYSTEM_RESOURCES */},
    {STATUS_DEVICE_DATA_ERROR, 23 /* ERROR_CRC */},
    {STATUS_DEVICE_NOT_CONNECTED, 1167 /* ERROR_DEVICE_NOT_CONNECTED */},
    {STATUS_DEVICE_POWER_FAILURE, 21 /* ERROR_NOT_READY */},
    {STATUS_DEVICE_NOT_READY, 21 /* ERROR_NOT_READY */},
    {STATUS_IO_TIMEOUT, 121 /* ERROR_SEM_TIMEOUT */},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_INVALID_USER_BUFFER, 1784 /* ERROR_INVALID_USER_BUFFER */},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_DEVICE_STATE, 22 /* ERROR_BAD_COMMAND */},
    {STATUS_INVALID_BUFFER_SIZE, 1784 /* ERROR_INVALID_USER_BUFFER */},
    {STATUS_NAME_TOO_LONG, 206 /* ERROR_FILENAME_EXCED_RANGE */},
    {STATUS_NOT_FOUND, 1168 /* ERROR_NOT_FOUND */},
    {STATUS_DEVICE_REMOVED, 1617 /* ERROR_DEVICE_REMOVED */},
};

DWORD HostWin32ErrorOf(int32_t Status)
{
    for (const StatusMapping &mapping : StatusMappings) {
        if (mapping.Status == Status) {
            return mapping.Error;
        }
    }
    return 317; /* ERROR_MR_MID_NOT_FOUND: Windows' answer for a status without a mapping */
}

void HostSetLastErrorFromStatus(int32_t status) { SetLastError(HostWin32ErrorOf(status)); }
