/*
 * windows.h - the Linux stand-in for the parts of the Win32 API that vardel calls.
 * Each part has a header of its own; this one gathers them, as <windows.h> does.
 */
#ifndef MURVO_HOST_WIN32_WINDOWS_H
#define MURVO_HOST_WIN32_WINDOWS_H

#include "host/win32/win32_types.h"
#include "host/win32/win32_handles.h"
#include "host/win32/win32_console.h"
#include "host/win32/win32_files.h"
#include "host/win32/win32_messages.h"

#endif /* MURVO_HOST_WIN32_WINDOWS_H */
