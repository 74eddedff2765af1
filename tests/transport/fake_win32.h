/*
 * fake_win32.h - a scripted Win32 and SetupAPI for the pipe transport's tests: interfaces
 * to enumerate, files that open or not, and reads and writes that behave as the test says,
 * with every call recorded.
 */
#ifndef MURVO_TESTS_TRANSPORT_FAKE_WIN32_H
#define MURVO_TESTS_TRANSPORT_FAKE_WIN32_H

#include "tool/tool_platform.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

enum FakeReadMode {
    FakeReadAtOnce,  /* ReadFile returns TRUE with ReadBytes bytes */
    FakeReadPending, /* ReadFile pends; the wait ends with the event set and ReadBytes delivered */
    FakeReadNever,   /* ReadFile pends and nothing ever comes */
    FakeReadError,   /* ReadFile fails with ERROR_GEN_FAILURE */
};

struct FakeOpen {
    std::string Path;
    DWORD Flags;
    HANDLE Handle;
};

struct FakeWin32 {
    std::vector<std::string> Interfaces;     /* enumerated in this order */
    std::set<std::string> Unopenable;        /* paths whose CreateFileA fails */
    std::map<std::string, DWORD> OpenErrors; /* the error of such a path (ERROR_FILE_NOT_FOUND if not here) */
    std::map<DWORD, std::string> Messages;   /* FormatMessageA's texts; none for other codes */
    std::set<DWORD> EnumErrorsAt;            /* member indices that fail with ERROR_GEN_FAILURE */
    bool EnumAlwaysFails = false;            /* every member fails with ERROR_GEN_FAILURE */
    bool EventFails = false;
    int EventFailsFrom = 0;      /* from the N-th CreateEventA on (from 1), it fails; 0: never */
    bool ClassDevsFails = false; /* SetupDiGetClassDevsA fails */
    int EventsMade = 0;
    uint32_t ShortWriteAt = 0; /* the N-th WriteFile (from 1) writes one byte less */
    FakeReadMode ReadMode = FakeReadAtOnce;
    uint32_t ReadBytes = 0; /* bytes a read delivers */
    /* Replies the unit still holds when the transport opens: each read takes the next one
     * (pending, then the event set), before ReadMode applies. */
    std::deque<uint32_t> Leftovers;

    bool ReadPending = false;          /* a read pended and has not ended yet (GetOverlappedResult) */
    bool CancelAsked = false;          /* CancelIoEx was called for the pending read */
    uint32_t PendingBytes = 0;         /* what the pending read brings when it ends */
    std::vector<LPOVERLAPPED> Cancels; /* the record each CancelIoEx was given */
    std::vector<uint32_t> ReadSizes;   /* the length of every ReadFile */

    std::vector<FakeOpen> Opens; /* every CreateFileA, failed ones included */
    std::vector<uint32_t> WriteSizes;
    std::vector<std::vector<uint8_t>> Writes;
    std::vector<DWORD> WaitTimeouts;
    std::vector<std::pair<HANDLE, DWORD>> Controls; /* handle and code of each DeviceIoControl */
    std::vector<LPOVERLAPPED> ControlOverlapped;    /* the record each DeviceIoControl was given */
    std::set<HANDLE> Open;                          /* handles open now */
    int Closes = 0;
    int SetsDestroyed = 0;
    int SetsMade = 0;
};

extern FakeWin32 Fake;
void ResetFake(void);

#endif /* MURVO_TESTS_TRANSPORT_FAKE_WIN32_H */
