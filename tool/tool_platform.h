/*
 * tool_platform.h - the one door of vardel to its platform.
 *
 * On Windows: the Win32 API and the C runtime's low-level file calls. On the Linux host:
 * the stand-in that spells the same names. The tool's own sources include this header and
 * the standard C headers, nothing else of the platform.
 */
#ifndef MURVO_TOOL_TOOL_PLATFORM_H
#define MURVO_TOOL_TOOL_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#include <io.h>
#include <fcntl.h>
#else
#include "host/win32/windows.h"
#include "host/win32/setupapi.h"
#include "host/win32/crt_io.h"
#endif

#include "common/murvo_public.h"

#endif /* MURVO_TOOL_TOOL_PLATFORM_H */
