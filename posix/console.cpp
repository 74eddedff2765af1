/*
 * console.cpp - the Win32 console over the controlling terminal: key input, console output,
 * the standard handles, and console control events from signals.
 *
 * Windows reads keys from the console itself, whatever standard input is redirected to;
 * the nearest Linux equivalent is /dev/tty. A process without a controlling terminal has
 * no console, and opening CONIN$ fails.
 */
#include "posix/handle_table.h"
#include "posix/win32_console.h"
#include "posix/win32_handles.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <initializer_list>

#ifdef MURVO_COVERAGE
extern "C" void __gcov_dump(void);
#endif

static_assert(sizeof(struct termios) <= sizeof(((HostConsoleHandle *)0)->SavedTerminal),
              "SavedTerminal must hold a struct termios");

/* How long the bytes of one escape sequence may lag behind its ESC, in milliseconds. */
static const int EscapeSequenceGapMs = 50;

HANDLE HostConsoleOpenInput(void)
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    HostConsoleHandle *record = new HostConsoleHandle();
    record->Header.Kind = HostHandleConsoleInput;
    record->Fd = fd;
    record->ConsoleMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    return record;
}

/* The console record behind handle, or NULL. */
static HostConsoleHandle *ConsoleOf(HANDLE Handle)
{
    return (HostConsoleHandle *)HostHandleOf(Handle, HostHandleConsoleInput);
}

HANDLE HostConsoleOpenOutput(void)
{
    int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    HostStreamHandle *record = new HostStreamHandle();
    record->Header.Kind = HostHandleConsoleOutput;
    record->Fd = fd;
    return record;
}

void HostConsoleOutputClose(HostHandle *header)
{
    HostStreamHandle *handle = (HostStreamHandle *)header;
    close(handle->Fd);
    handle->Header.Kind = (HostHandleKind)0;
    delete handle;
}

HANDLE GetStdHandle(DWORD nStdHandle)
{
    static HostStreamHandle output = {{HostHandleStdStream}, 1};
    static HostStreamHandle error = {{HostHandleStdStream}, 2};
    if (nStdHandle == STD_OUTPUT_HANDLE) {
        return &output;
    }
    if (nStdHandle == STD_ERROR_HANDLE) {
        return &error;
    }
    /* Standard input is not modelled (the tool reads keys from CONIN$): say so. */
    fprintf(stderr, "win32 stand-in: GetStdHandle(%d) is not modelled\n", (int)nStdHandle);
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

/* The descriptor of a console output handle, or of a standard handle that is a terminal (the
 * console); -1 with ERROR_INVALID_HANDLE for anything else, as Windows fails console calls on
 * a redirected handle. */
static int ConsoleOutputFd(HANDLE Handle)
{
    HostHandle *record = (HostHandle *)Handle;
    if (Handle != NULL && Handle != INVALID_HANDLE_VALUE) {
        if (record->Kind == HostHandleConsoleOutput) {
            return ((HostStreamHandle *)record)->Fd;
        }
        if (record->Kind == HostHandleStdStream && isatty(((HostStreamHandle *)record)->Fd)) {
            return ((HostStreamHandle *)record)->Fd;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
}

BOOL WriteConsoleA(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved)
{
    (void)lpReserved;
    int fd = ConsoleOutputFd(hConsoleOutput);
    if (fd < 0) {
        return FALSE;
    }
    const char *bytes = (const char *)lpBuffer;
    DWORD done = 0;
    while (done < nNumberOfCharsToWrite) {
        ssize_t put = write(fd, bytes + done, nNumberOfCharsToWrite - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            SetLastError(ERROR_GEN_FAILURE);
            break;
        }
        done += (DWORD)put;
    }
    if (lpNumberOfCharsWritten != NULL) {
        *lpNumberOfCharsWritten = done;
    }
    return done == nNumberOfCharsToWrite;
}

void HostConsoleClose(HostHandle *header)
{
    HostConsoleHandle *handle = (HostConsoleHandle *)header;
    if (handle->RawModeSet) {
        struct termios saved;
        memcpy(&saved, handle->SavedTerminal, sizeof saved);
        tcsetattr(handle->Fd, TCSAFLUSH, &saved);
    }
    close(handle->Fd);
    handle->Header.Kind = (HostHandleKind)0;
    delete handle;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    HostHandle *record = (HostHandle *)hConsoleHandle;
    if (hConsoleHandle != NULL && hConsoleHandle != INVALID_HANDLE_VALUE && lpMode != NULL &&
        (record->Kind == HostHandleConsoleOutput || record->Kind == HostHandleStdStream)) {
        /* An output handle is a console one only when it leads to the terminal. */
        if (ConsoleOutputFd(hConsoleHandle) < 0) {
            return FALSE;
        }
        *lpMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
        return TRUE;
    }
    HostConsoleHandle *console = ConsoleOf(hConsoleHandle);
    if (console == NULL || lpMode == NULL) {
        return FALSE;
    }
    *lpMode = console->ConsoleMode;
    return TRUE;
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode)
{
    HostConsoleHandle *console = ConsoleOf(hConsoleHandle);
    if (console == NULL) {
        return FALSE;
    }
    struct termios mode;
    if (!console->RawModeSet) {
        if (tcgetattr(console->Fd, &mode) != 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        memcpy(console->SavedTerminal, &mode, sizeof mode);
        console->RawModeSet = true;
    }
    /* Every mode is made from the terminal's own settings, so the console's first mode gives
     * the terminal back exactly as it was. */
    memcpy(&mode, console->SavedTerminal, sizeof mode);
    if (dwMode & ENABLE_LINE_INPUT) {
        mode.c_lflag |= ICANON;
    } else {
        mode.c_lflag &= ~ICANON;
        mode.c_iflag &= ~(ICRNL | INLCR | IGNCR);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
    }
    if (dwMode & ENABLE_ECHO_INPUT) {
        mode.c_lflag |= ECHO;
    } else {
        mode.c_lflag &= ~ECHO;
    }
    /* Without processed input Ctrl+C (and Ctrl+Z) are ordinary keys, as in the Windows
     * console; Ctrl+Break (Ctrl+\ here) raises its event whatever the mode. */
    mode.c_lflag |= ISIG;
    if (!(dwMode & ENABLE_PROCESSED_INPUT)) {
        mode.c_cc[VINTR] = _POSIX_VDISABLE;
        mode.c_cc[VSUSP] = _POSIX_VDISABLE;
    }
    if (tcsetattr(console->Fd, TCSANOW, &mode) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    console->ConsoleMode = dwMode;
    return TRUE;
}

/* Console control handlers: the routines, in the order they were registered. */
static const int MaxControlHandlers = 8;
static PHANDLER_ROUTINE ControlHandlers[MaxControlHandlers];
static volatile sig_atomic_t ControlHandlerCount;

/* A console control event, from the signal that stands for it: the routines run last
 * registered first; unless one handles it (and never for a close), the process ends by
 * the signal, as Windows' default handler ends it. */
static void ControlSignal(int signalNumber)
{
    DWORD event = signalNumber == SIGINT ? CTRL_C_EVENT : signalNumber == SIGQUIT ? CTRL_BREAK_EVENT : CTRL_CLOSE_EVENT;
    bool handled = false;
    for (int i = ControlHandlerCount - 1; i >= 0 && !handled; i--) {
        handled = ControlHandlers[i](event) != FALSE;
    }
    if (handled && event != CTRL_CLOSE_EVENT) {
        return;
    }
    signal(signalNumber, SIG_DFL);
#ifdef MURVO_COVERAGE
    __gcov_dump(); /* ending by the signal skips the exit handlers that write the coverage counters */
#endif
    raise(signalNumber);
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (HandlerRoutine == NULL) {
        /* The null routine (Ctrl+C ignored or not) is not modelled: say so. */
        fprintf(stderr, "win32 stand-in: SetConsoleCtrlHandler(NULL) is not modelled\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Add) {
        if (ControlHandlerCount == MaxControlHandlers) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        static bool installed;
        if (!installed) {
            struct sigaction action;
            memset(&action, 0, sizeof action);
            action.sa_handler = ControlSignal;
            sigemptyset(&action.sa_mask);
            for (int each : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
                sigaddset(&action.sa_mask, each);
            }
            for (int each : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
                /* A signal the process was started with ignored stays ignored (nohup, a
                 * background job's SIGINT), as a Windows process started with Ctrl+C ignored
                 * gets no Ctrl+C event: the caller asked for the process to outlive it. */
                struct sigaction previous;
                if (sigaction(each, NULL, &previous) == 0 && previous.sa_handler == SIG_IGN) {
                    continue;
                }
                sigaction(each, &action, NULL);
            }
            installed = true;
        }
        ControlHandlers[ControlHandlerCount] = HandlerRoutine;
        ControlHandlerCount = ControlHandlerCount + 1;
        return TRUE;
    }
    for (int i = ControlHandlerCount - 1; i >= 0; i--) {
        if (ControlHandlers[i] == HandlerRoutine) {
            for (int j = i; j + 1 < ControlHandlerCount; j++) {
                ControlHandlers[j] = ControlHandlers[j + 1];
            }
            ControlHandlerCount = ControlHandlerCount - 1;
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

/* Reads one byte; waitMs < 0 waits for ever. Returns the byte, -2 when none came in time, -1 on error. */
static int ReadTerminalByte(int fd, int waitMs)
{
    if (waitMs >= 0) {
        struct pollfd ready = {fd, POLLIN, 0};
        int n = poll(&ready, 1, waitMs);
        if (n == 0) {
            return -2;
        }
        if (n < 0) {
            return -1;
        }
    }
    unsigned char byte;
    ssize_t got;
    do {
        got = read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

/* Consumes the rest of an escape sequence after ESC and the byte that followed it; returns the
 * virtual key it stands for (cursor and editing keys by name, VK_F1 for anything else). */
static WORD ReadEscapeSequence(int Fd, int Introducer)
{
    int last = Introducer;
    if (Introducer == '[' || Introducer == 'O') {
        /* Parameter and intermediate bytes run until a final byte in 0x40..0x7E. */
        for (int i = 0; i < 16; i++) {
            int next = ReadTerminalByte(Fd, EscapeSequenceGapMs);
            if (next < 0) {
                break;
            }
            last = next;
            if (next >= 0x40 && next <= 0x7E) {
                break;
            }
        }
    }
    switch (last) {
    case 'A':
        return VK_UP;
    case 'B':
        return VK_DOWN;
    case 'C':
        return VK_RIGHT;
    case 'D':
        return VK_LEFT;
    case 'H':
        return VK_HOME;
    case 'F':
        return VK_END;
    default:
        return VK_F1;
    }
}

/* Virtual key of a plain character, as the Windows console reports it. */
static WORD VirtualKeyOf(unsigned char C)
{
    if (C >= 'a' && C <= 'z') {
        return (WORD)(C - 'a' + 'A');
    }
    if ((C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')) {
        return C;
    }
    switch (C) {
    case '\r':
    case '\n':
        return VK_RETURN;
    case 0x1B:
        return VK_ESCAPE;
    case '\t':
        return VK_TAB;
    case 0x7F:
    case 0x08:
        return VK_BACK;
    default:
        return 0;
    }
}

static void FillKeyEvent(PINPUT_RECORD Record, BOOL Down, WORD VirtualKey, CHAR Ascii)
{
    memset(Record, 0, sizeof *Record);
    Record->EventType = KEY_EVENT;
    Record->Event.KeyEvent.bKeyDown = Down;
    Record->Event.KeyEvent.wRepeatCount = 1;
    Record->Event.KeyEvent.wVirtualKeyCode = VirtualKey;
    Record->Event.KeyEvent.uChar.AsciiChar = Ascii;
}

BOOL ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength, LPDWORD lpNumberOfEventsRead)
{
    HostConsoleHandle *console = ConsoleOf(hConsoleInput);
    if (console == NULL) {
        return FALSE;
    }
    if (lpBuffer == NULL || lpNumberOfEventsRead == NULL || nLength == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (console->PendingKeyUp != 0) {
        FillKeyEvent(lpBuffer, FALSE, console->PendingKeyUp, console->PendingKeyUpChar);
        console->PendingKeyUp = 0;
        *lpNumberOfEventsRead = 1;
        return TRUE;
    }
    int byte = ReadTerminalByte(console->Fd, -1);
    if (byte < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WORD virtualKey;
    CHAR ascii;
    if (byte == 0x1B) {
        int next = ReadTerminalByte(console->Fd, EscapeSequenceGapMs);
        if (next < 0) {
            virtualKey = VK_ESCAPE; /* a lone Escape key */
            ascii = 0x1B;
        } else {
            virtualKey = ReadEscapeSequence(console->Fd, next);
            ascii = 0;
        }
    } else if (byte >= 0x80) {
        /* A character outside ASCII: swallow its continuation bytes; the console has no
         * single-byte character for it here. */
        while (ReadTerminalByte(console->Fd, 0) >= 0x80) {
        }
        virtualKey = 0;
        ascii = '?';
    } else {
        virtualKey = VirtualKeyOf((unsigned char)byte);
        ascii = (CHAR)(byte == '\n' ? '\r' : byte);
    }
    FillKeyEvent(lpBuffer, TRUE, virtualKey, ascii);
    console->PendingKeyUp = virtualKey != 0 ? virtualKey : 0xFF;
    console->PendingKeyUpChar = ascii;
    *lpNumberOfEventsRead = 1;
    return TRUE;
}
