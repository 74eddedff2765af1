/*
 * win32_messages.h - the system's message texts (FormatMessageA) of the Win32 stand-in.
 */
#ifndef MURVO_HOST_WIN32_WIN32_MESSAGES_H
#define MURVO_HOST_WIN32_WIN32_MESSAGES_H

#include <stdarg.h>

#include "posix/win32_types.h"

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define ERROR_MR_MID_NOT_FOUND 317

/* The system's text of a Win32 error code, in US English as Windows words it, ending in
 * "\r\n", into lpBuffer of nSize characters: FORMAT_MESSAGE_FROM_SYSTEM with
 * FORMAT_MESSAGE_IGNORE_INSERTS only. Returns the characters written (without the
 * terminator), or 0 with ERROR_MR_MID_NOT_FOUND for a code the stand-in has no text for
 * and ERROR_INSUFFICIENT_BUFFER when the text does not fit. */
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list *Arguments);

#endif /* MURVO_HOST_WIN32_WIN32_MESSAGES_H */
