/*
 * console_key.cpp - ReadConsoleKey over the Win32 console input.
 */
#include "tool/console_key.h"

#include "tool/tool_platform.h"

#include <string.h>

/* Keys that only change what another key means; pressed alone they are no answer. */
static bool IsModifierKey(WORD virtualKey)
{
    switch (virtualKey) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_CAPITAL:
    case VK_LWIN:
    case VK_RWIN:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
        return true;
    default:
        return false;
    }
}

/* Writes text to the console itself when standard output is not the console. GetConsoleMode
 * succeeds only on a console handle: that is how a redirected standard output shows. */
static void ShowOnConsoleIfRedirected(const char *text)
{
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        return; /* standard output is the console: the text is already there */
    }
    HANDLE screen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (screen == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteConsoleA(screen, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(screen);
}

/* The console whose mode the wait changed, and the mode to give back: set only while the
 * wait runs, for the control handler below. */
static HANDLE volatile WaitingConsole;
static DWORD volatile WaitingConsoleMode;

/* Runs when the process is made to end during the wait (Ctrl+Break, the console window
 * closed): gives the console its mode back, so the shell the user returns to still echoes
 * and edits lines, then lets the default handler end the process. */
static BOOL WINAPI RestoreConsoleOnControlEvent(DWORD controlType)
{
    (void)controlType;
    HANDLE console = WaitingConsole;
    if (console != NULL) {
        SetConsoleMode(console, WaitingConsoleMode);
    }
    return FALSE;
}

int ReadConsoleKey(const char *question)
{
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    if (console == INVALID_HANDLE_VALUE) {
        return -1;
    }
    ShowOnConsoleIfRedirected(question);

    DWORD savedMode = 0;
    bool modeSaved = GetConsoleMode(console, &savedMode) != FALSE;
    bool handlerSet = false;
    if (modeSaved) {
        WaitingConsoleMode = savedMode;
        WaitingConsole = console;
        handlerSet = SetConsoleCtrlHandler(RestoreConsoleOnControlEvent, TRUE) != FALSE;
    }
    /* No echo, no line editing, and Ctrl+C is a key like any other. */
    if (!SetConsoleMode(console, 0)) {
        if (handlerSet) {
            SetConsoleCtrlHandler(RestoreConsoleOnControlEvent, FALSE);
        }
        WaitingConsole = NULL;
        CloseHandle(console);
        return -1;
    }

    int key = -1;
    for (;;) {
        INPUT_RECORD event;
        DWORD eventsRead = 0;
        if (!ReadConsoleInputA(console, &event, 1, &eventsRead)) {
            break;
        }
        if (eventsRead != 1 || event.EventType != KEY_EVENT) {
            continue;
        }
        const KEY_EVENT_RECORD &keyEvent = event.Event.KeyEvent;
        if (!keyEvent.bKeyDown || IsModifierKey(keyEvent.wVirtualKeyCode)) {
            continue;
        }
        key = (unsigned char)keyEvent.uChar.AsciiChar;
        break;
    }

    if (modeSaved) {
        SetConsoleMode(console, savedMode);
    }
    if (handlerSet) {
        SetConsoleCtrlHandler(RestoreConsoleOnControlEvent, FALSE);
    }
    WaitingConsole = NULL;
    CloseHandle(console);
    return key;
}
