/*
 * device_files.cpp - files on devices for the Win32 stand-in: CreateFileA on an interface
 * path, ReadFile, WriteFile, DeviceIoControl, GetOverlappedResult, CancelIo and CancelIoEx, each a
 * request of the kernel stand-in's I/O manager on the file object.
 *
 * A synchronous handle waits for every request. An overlapped handle starts the request,
 * resets the caller's event, and returns at once: TRUE when the request completed right
 * away, FALSE with ERROR_IO_PENDING while it runs; on completion the OVERLAPPED record
 * receives the status and byte count and its event is set.
 */
#include "host/nt/host_kernel.h"
#include "posix/handle_table.h"
#include "posix/win32_files.h"
#include "posix/win32_handles.h"
#include "host/win32/status_map.h"
#include "host/win32/win32_process.h"

#include <condition_variable>
#include <mutex>
#include <string.h>
#include <string>
#include <thread>

struct HostDeviceFileHandle {
    HostHandle Header;
    HostFile *File;
    bool Overlapped; /* opened with FILE_FLAG_OVERLAPPED */
};

static std::mutex ProcessLock;    /* guards Process and MachineBoot */
static HostProcess *Process;      /* created on the first device call */
static void (*MachineBoot)(void); /* run once before the first device call */

void HostWin32SetMachineBoot(void (*boot)(void))
{
    std::lock_guard<std::mutex> hold(ProcessLock);
    MachineBoot = boot;
}

HostProcess *HostWin32Process(void)
{
    void (*boot)(void) = NULL;
    {
        std::lock_guard<std::mutex> hold(ProcessLock);
        if (Process != NULL) {
            return Process;
        }
        boot = MachineBoot;
        MachineBoot = NULL;
    }
    if (boot != NULL) {
        boot(); /* outside the lock: booting plugs devices, which may call back in */
    }
    std::lock_guard<std::mutex> hold(ProcessLock);
    if (Process == NULL) {
        Process = HostProcessCreate();
    }
    return Process;
}

void HostWin32EndProcess(void)
{
    HostProcess *ending;
    {
        std::lock_guard<std::mutex> hold(ProcessLock);
        ending = Process;
        Process = NULL;
    }
    if (ending != NULL) {
        HostProcessEnd(ending);
    }
}

static HostDeviceFileHandle *DeviceFileOf(HANDLE Handle)
{
    return (HostDeviceFileHandle *)HostHandleOf(Handle, HostHandleDeviceFile);
}

HANDLE HostDeviceFileOpen(LPCSTR Path, DWORD FlagsAndAttributes)
{
    std::u16string widePath;
    for (const char *c = Path; *c != '\0'; c++) {
        widePath.push_back((char16_t)(unsigned char)*c);
    }
    HostFile *file = NULL;
    NTSTATUS status = HostCreateFile(HostWin32Process(), widePath.c_str(), &file);
    if (!NT_SUCCESS(status)) {
        HostSetLastErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    HostDeviceFileHandle *handle = new HostDeviceFileHandle();
    handle->Header.Kind = HostHandleDeviceFile;
    handle->File = file;
    handle->Overlapped = (FlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    return handle;
}

BOOL HostDeviceFileClose(HostHandle *Header)
{
    HostDeviceFileHandle *handle = (HostDeviceFileHandle *)Header;
    NTSTATUS status = HostCloseFile(handle->File);
    handle->Header.Kind = (HostHandleKind)0;
    delete handle;
    if (!NT_SUCCESS(status)) {
        HostSetLastErrorFromStatus(status);
        return FALSE;
    }
    return TRUE;
}

/* One overlapped request in flight. Shared by the issuing call and the completion report:
 * whichever lets go last frees it. */
struct OverlappedRequest {
    HostAsyncIo Async;
    LPOVERLAPPED Overlapped;
    std::mutex Lock;              /* guards Completed and Holders */
    std::condition_variable Done; /* notified when Completed is set */
    bool Completed;
    int Holders;
};

static void LetGo(OverlappedRequest *request)
{
    bool last;
    {
        std::lock_guard<std::mutex> hold(request->Lock);
        last = --request->Holders == 0;
    }
    if (last) {
        delete request;
    }
}

/* The completion report: the record first, then the event, as the I/O manager does. */
static VOID OnOverlappedComplete(PVOID Context, NTSTATUS Status, ULONG_PTR Information)
{
    OverlappedRequest *request = (OverlappedRequest *)Context;
    LPOVERLAPPED overlapped = request->Overlapped;
    __atomic_store_n(&overlapped->InternalHigh, (ULONG_PTR)Information, __ATOMIC_RELEASE);
    __atomic_store_n(&overlapped->Internal, (ULONG_PTR)(uint32_t)Status, __ATOMIC_RELEASE);
    if (overlapped->hEvent != NULL) {
        SetEvent(overlapped->hEvent);
    }
    {
        std::lock_guard<std::mutex> hold(request->Lock);
        request->Completed = true;
    }
    request->Done.notify_all();
    LetGo(request);
}

enum RequestKind {
    RequestRead,
    RequestWrite,
    RequestControl
};

struct RequestArgs {
    RequestKind Kind;
    PVOID Buffer;
    ULONG Length;
    ULONG Code;
    PVOID Output;
    ULONG OutputLength;
};

static NTSTATUS Issue(HostFile *File, const RequestArgs &Args, HostAsyncIo *Async, ULONG_PTR *Information)
{
    switch (Args.Kind) {
    case RequestRead:
        return HostReadFile(File, Args.Buffer, Args.Length, Async, Information);
    case RequestWrite:
        return HostWriteFile(File, Args.Buffer, Args.Length, Async, Information);
    case RequestControl:
        return HostDeviceIoControl(File, Args.Code, Args.Buffer, Args.Length, Args.Output, Args.OutputLength, Async,
                                   Information);
    }
    return STATUS_INVALID_PARAMETER;
}

/* Runs one request the way the handle says; the Win32 result and byte count. */
static BOOL RunRequest(HANDLE Handle, const RequestArgs &Args, LPDWORD Transferred, LPOVERLAPPED Overlapped)
{
    HostDeviceFileHandle *file = DeviceFileOf(Handle);
    if (file == NULL) {
        return FALSE;
    }
    if (Transferred != NULL) {
        *Transferred = 0;
    }

    if (!file->Overlapped) {
        ULONG_PTR information = 0;
        NTSTATUS status = Issue(file->File, Args, NULL, &information);
        if (Transferred != NULL) {
            *Transferred = (DWORD)information;
        }
        if (!NT_SUCCESS(status)) {
            HostSetLastErrorFromStatus(status);
            return FALSE;
        }
        return TRUE;
    }

    if (Overlapped == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    __atomic_store_n(&Overlapped->Internal, (ULONG_PTR)(uint32_t)STATUS_PENDING, __ATOMIC_RELEASE);
    __atomic_store_n(&Overlapped->InternalHigh, (ULONG_PTR)0, __ATOMIC_RELEASE);
    if (Overlapped->hEvent != NULL) {
        ResetEvent(Overlapped->hEvent);
    }

    OverlappedRequest *request = new OverlappedRequest();
    request->Async.Callback = OnOverlappedComplete;
    request->Async.Context = request;
    request->Overlapped = Overlapped;
    request->Holders = 2;
    NTSTATUS status = Issue(file->File, Args, &request->Async, NULL);
    if (status == STATUS_PENDING) {
        LetGo(request);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (NT_ERROR(status)) {
        /* Failed without being pended: the I/O manager reports nothing (the OVERLAPPED record
         * keeps STATUS_PENDING, the event stays clear); the error comes back from the call. */
        LetGo(request);
        LetGo(request);
        HostSetLastErrorFromStatus(status);
        return FALSE;
    }
    /* Completed at once: the report may still be on its way; take the result from it. */
    {
        std::unique_lock<std::mutex> hold(request->Lock);
        request->Done.wait(hold, [request] { return request->Completed; });
    }
    NTSTATUS final = (NTSTATUS)(uint32_t)__atomic_load_n(&Overlapped->Internal, __ATOMIC_ACQUIRE);
    if (Transferred != NULL) {
        *Transferred = (DWORD)__atomic_load_n(&Overlapped->InternalHigh, __ATOMIC_ACQUIRE);
    }
    LetGo(request);
    if (!NT_SUCCESS(final)) {
        HostSetLastErrorFromStatus(final);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    RequestArgs args = {RequestRead, lpBuffer, nNumberOfBytesToRead, 0, NULL, 0};
    return RunRequest(hFile, args, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    RequestArgs args = {RequestWrite, (PVOID)lpBuffer, nNumberOfBytesToWrite, 0, NULL, 0};
    return RunRequest(hFile, args, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    RequestArgs args = {RequestControl, lpInBuffer, nInBufferSize, dwIoControlCode, lpOutBuffer, nOutBufferSize};
    return RunRequest(hDevice, args, lpBytesReturned, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (DeviceFileOf(hFile) == NULL) {
        return FALSE;
    }
    if (lpOverlapped == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NTSTATUS status = (NTSTATUS)(uint32_t)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE);
    if (status == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (lpOverlapped->hEvent != NULL) {
            WaitForSingleObject(lpOverlapped->hEvent, INFINITE);
        } else {
            while (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == (ULONG_PTR)(uint32_t)STATUS_PENDING) {
                std::this_thread::yield();
            }
        }
        status = (NTSTATUS)(uint32_t)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE);
    }
    if (lpNumberOfBytesTransferred != NULL) {
        *lpNumberOfBytesTransferred = (DWORD)__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_ACQUIRE);
    }
    if (!NT_SUCCESS(status)) {
        HostSetLastErrorFromStatus(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile)
{
    HostDeviceFileHandle *file = DeviceFileOf(hFile);
    if (file == NULL) {
        return FALSE;
    }
    HostCancelFileIo(file->File);
    return TRUE;
}

/* True for the completion record of an overlapped request issued with the OVERLAPPED record
 * Context (any, when Context is NULL). */
static BOOLEAN IssuedWith(HostAsyncIo *Async, PVOID Context)
{
    if (Async->Callback != OnOverlappedComplete) {
        return FALSE;
    }
    return Context == NULL || ((OverlappedRequest *)Async->Context)->Overlapped == (LPOVERLAPPED)Context;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    HostDeviceFileHandle *file = DeviceFileOf(hFile);
    if (file == NULL) {
        return FALSE;
    }
    if (HostCancelFileIoWhere(file->File, IssuedWith, lpOverlapped) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
