/*
 * tool_platform.h - the one door of vardel to its platform.
 *
 * On Windows: the Win32 API and the C runtime's low-level file calls. On Linux: the same
 * names from posix/ (console, handles, events and the runtime's file calls over POSIX) and,
 * in the host build, SetupAPI and files on devices from host/win32, over the kernel stand-in. The tool's own sources include this header and
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
#include "posix/windows.h"
#include "posix/crt_io.h"
#ifndef MURVO_LIBUSB
/* The pipe transport's: SetupAPI and the system's message texts. The Linux deliverable finds
 * units by libusb and needs neither. */
#include "host/win32/setupapi.h"
#include "host/win32/win32_messages.h"
#endif
#endif

#include "common/murvo_public.h"

/* Whether an argument that begins with "/" may be a file's path. On Windows "/" starts an
 * option; on Linux it starts every absolute path, and such an argument that is not one of
 * the options but names an existing file is taken for the image. */
#ifdef _WIN32
#define TOOL_PATHS_MAY_BEGIN_WITH_SLASH 0
#else
#define TOOL_PATHS_MAY_BEGIN_WITH_SLASH 1
#endif

#endif /* MURVO_TOOL_TOOL_PLATFORM_H */
