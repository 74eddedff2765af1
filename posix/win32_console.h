/*
 * win32_console.h - the Win32 console over the controlling terminal.
 *
 * CreateFileA("CONIN$") opens the controlling terminal itself (never a redirected standard
 * input); SetConsoleMode with ENABLE_ECHO_INPUT and ENABLE_LINE_INPUT clear puts it in raw
 * mode. ReadConsoleInputA turns the terminal's bytes into key events the way the Windows
 * console reports them: a key-down event then a key-up event per key, the character in
 * uChar.AsciiChar, and 0 there for cursor and function keys (escape sequences).
 *
 * CreateFileA("CONOUT$") opens the controlling terminal for writing, whatever standard output
 * is redirected to; WriteConsoleA writes to it. GetStdHandle gives the process's standard
 * handles; as on Windows, GetConsoleMode succeeds on one only when it is the console (here: a
 * terminal), which is how a program tells whether its output was redirected.
 *
 * Console control events come from signals: SIGINT is CTRL_C_EVENT, SIGQUIT CTRL_BREAK_EVENT,
 * SIGHUP (the terminal went away) and SIGTERM CTRL_CLOSE_EVENT. SetConsoleCtrlHandler's
 * routines are called last registered first; when none returns TRUE, or for a close event
 * whatever they return, the process ends as the default handler would end it (here: by the
 * signal itself). With processed input off, Ctrl+C is an ordinary key, but Ctrl+Break, which
 * the terminal sends as Ctrl+\, still raises its event, as on Windows.
 */
#ifndef MURVO_POSIX_WIN32_CONSOLE_H
#define MURVO_POSIX_WIN32_CONSOLE_H

#include "posix/win32_types.h"

#define ENABLE_PROCESSED_INPUT 0x0001
#define ENABLE_LINE_INPUT 0x0002
#define ENABLE_ECHO_INPUT 0x0004

#define ENABLE_PROCESSED_OUTPUT 0x0001
#define ENABLE_WRAP_AT_EOL_OUTPUT 0x0002

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD CtrlType);

#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define WINDOW_BUFFER_SIZE_EVENT 0x0004
#define MENU_EVENT 0x0008
#define FOCUS_EVENT 0x0010

#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_CAPITAL 0x14
#define VK_ESCAPE 0x1B
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_LWIN 0x5B
#define VK_RWIN 0x5C
#define VK_F1 0x70
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5

typedef struct _KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        CHAR AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

typedef struct _INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
    } Event;
} INPUT_RECORD, *PINPUT_RECORD;

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL WriteConsoleA(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
BOOL ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength, LPDWORD lpNumberOfEventsRead);

#endif /* MURVO_POSIX_WIN32_CONSOLE_H */
