/*
 * win32_files.h - reads, writes and device controls on files, and the events that
 * overlapped requests signal.
 *
 * The events are posix/'s (events.cpp). The file calls are the host build's Win32 stand-in's
 * (host/win32/device_files.cpp): a file opened by CreateFileA on a device interface path is
 * a file object of the kernel stand-in, and every call becomes a request to the device's
 * driver stack, as on Windows. The Linux deliverable opens no device file and calls none.
 */
#ifndef MURVO_POSIX_WIN32_FILES_H
#define MURVO_POSIX_WIN32_FILES_H

#include "posix/win32_types.h"

#define INFINITE 0xFFFFFFFFUL
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL

/* Status of an overlapped request still in progress, kept in OVERLAPPED.Internal. */
#define STATUS_PENDING_OVERLAPPED 0x00000103UL

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     /* the request's NTSTATUS; STATUS_PENDING while it runs */
    ULONG_PTR InternalHigh; /* the bytes moved */
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);
/* Cancels the handle's request issued with lpOverlapped, or all of them when it is NULL;
 * FALSE with ERROR_NOT_FOUND when there is none. Does not wait: the request ends, and fills
 * its OVERLAPPED record, later (GetOverlappedResult with bWait waits for that). */
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

#endif /* MURVO_POSIX_WIN32_FILES_H */
