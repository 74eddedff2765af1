/*
 * os_version.cpp - the version of Windows the kernel stand-in says it is (RtlGetVersion),
 * which a test sets to see a driver on an older Windows.
 */
#include <string.h>

#include <atomic>

#include "host/nt/nt_internal.h"

#define DEFAULT_MAJOR 10u
#define DEFAULT_MINOR 0u
#define DEFAULT_BUILD 19045u
#define VER_PLATFORM_WIN32_NT 2u

static std::atomic<ULONG> Major{DEFAULT_MAJOR};
static std::atomic<ULONG> Minor{DEFAULT_MINOR};
static std::atomic<ULONG> Build{DEFAULT_BUILD};

VOID HostSetWindowsVersion(ULONG MajorVersion, ULONG MinorVersion, ULONG BuildNumber)
{
    Major = MajorVersion;
    Minor = MinorVersion;
    Build = BuildNumber;
}

void HostResetWindowsVersion(void) { HostSetWindowsVersion(DEFAULT_MAJOR, DEFAULT_MINOR, DEFAULT_BUILD); }

bool HostWindowsVersionAtLeast(ULONG MajorVersion, ULONG MinorVersion)
{
    ULONG major = Major;
    return major > MajorVersion || (major == MajorVersion && Minor >= MinorVersion);
}

/* As Windows: the caller sets dwOSVersionInfoSize to the size of the record it passes (the
 * basic or the extended one); only the basic part is filled in here. */
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    if (lpVersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    lpVersionInformation->dwMajorVersion = Major;
    lpVersionInformation->dwMinorVersion = Minor;
    lpVersionInformation->dwBuildNumber = Build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    return STATUS_SUCCESS;
}
