/*
 * windows.h - the parts of the Win32 API that vardel calls, on Linux.
 * Each part has a header of its own; this one gathers them, as <windows.h> does.
 */
#ifndef MURVO_POSIX_WINDOWS_H
#define MURVO_POSIX_WINDOWS_H

#include "posix/win32_types.h"
#include "posix/win32_handles.h"
#include "posix/win32_console.h"
#include "posix/win32_files.h"

#endif /* MURVO_POSIX_WINDOWS_H */
