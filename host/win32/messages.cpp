/*
 * messages.cpp - FormatMessageA of the Win32 stand-in: the texts Windows (US English) gives
 * the errors that the stand-in's calls can set (status_map.cpp and the calls themselves).
 */
#include "posix/win32_handles.h"
#include "host/win32/win32_messages.h"

#include <string.h>

struct SystemMessage {
    DWORD Code;
    const char *Text;
};

static const SystemMessage SystemMessages[] = {
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
};

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list *Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if (dwFlags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const SystemMessage &message : SystemMessages) {
        if (message.Code == dwMessageId) {
            size_t length = strlen(message.Text) + 2;
            if (length + 1 > nSize) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(lpBuffer, message.Text, length - 2);
            memcpy(lpBuffer + length - 2, "\r\n", 3);
            return (DWORD)length;
        }
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}
