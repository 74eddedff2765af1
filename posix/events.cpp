/*
 * events.cpp - Win32 events over the C++ runtime's threads: manual-reset and auto-reset, with waits that
 * time out.
 */
#include "posix/handle_table.h"
#include "posix/win32_files.h"
#include "posix/win32_handles.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

struct HostEventHandle {
    HostHandle Header;
    std::mutex Lock;                 /* guards Signalled */
    std::condition_variable Changed; /* notified when Signalled becomes true */
    bool ManualReset;
    bool Signalled;
};

static HostEventHandle *EventOf(HANDLE Handle) { return (HostEventHandle *)HostHandleOf(Handle, HostHandleEvent); }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != NULL) {
        /* Named events are shared between processes: nothing here models that. */
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return NULL;
    }
    HostEventHandle *event = new HostEventHandle();
    event->Header.Kind = HostHandleEvent;
    event->ManualReset = bManualReset != FALSE;
    event->Signalled = bInitialState != FALSE;
    return event;
}

BOOL HostEventClose(HostHandle *Handle)
{
    HostEventHandle *event = (HostEventHandle *)Handle;
    event->Header.Kind = (HostHandleKind)0;
    delete event;
    return TRUE;
}

BOOL SetEvent(HANDLE hEvent)
{
    HostEventHandle *event = EventOf(hEvent);
    if (event == NULL) {
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> hold(event->Lock);
        event->Signalled = true;
    }
    if (event->ManualReset) {
        event->Changed.notify_all();
    } else {
        event->Changed.notify_one();
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    HostEventHandle *event = EventOf(hEvent);
    if (event == NULL) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(event->Lock);
    event->Signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    HostEventHandle *event = EventOf(hHandle);
    if (event == NULL) {
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> hold(event->Lock);
    auto signalled = [event] { return event->Signalled; };
    if (dwMilliseconds == INFINITE) {
        event->Changed.wait(hold, signalled);
    } else if (!event->Changed.wait_for(hold, std::chrono::milliseconds(dwMilliseconds), signalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->ManualReset) {
        event->Signalled = false; /* an auto-reset event releases one waiter */
    }
    return WAIT_OBJECT_0;
}
