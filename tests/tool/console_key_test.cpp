/*
 * console_key_test.cpp - ReadConsoleKey against a scripted Win32 console: the events it
 * skips, the console mode and control handler it gives back on every way out, and the
 * question shown on the console when standard output is redirected.
 *
 * The terminal behind the Win32 stand-in sends key-down and key-up events only, never a
 * lone modifier or another kind of event, and its mode calls do not fail; the script here
 * gives what a Windows console gives.
 */
#include "tool/console_key.h"
#include "tool/tool_platform.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

struct ScriptedConsole {
    bool InputOpens = true;
    bool OutputOpens = true;
    bool StdOutputIsConsole = true;
    bool SetModeFails = false;
    DWORD Mode = 0x1F7;
    std::deque<INPUT_RECORD> Events; /* read in order; the read fails once they run out */
    std::vector<PHANDLER_ROUTINE> Handlers;
    int OpenHandles = 0;
    std::string Shown; /* what was written to CONOUT$ */
    /* Raised from inside the read with this index (-1: never), as a signal arrives during
     * the wait; the handler declines it, so the process would end there: the read fails. */
    int ControlEventAt = -1;
    DWORD ModeInControlEvent = 0;
    int Reads = 0;
};

ScriptedConsole Console;
int InputHandle, OutputHandle, StdOutput;

INPUT_RECORD Key(bool down, WORD virtualKey, char character)
{
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    return record;
}

/* An event of another kind: its record overlays the key event's, and a focus event's
 * bSetFocus, say, lies where bKeyDown does; the bytes here would read as a key press of 'x'. */
INPUT_RECORD OtherEvent(WORD type)
{
    INPUT_RECORD record = Key(true, 'X', 'x');
    record.EventType = type;
    return record;
}

class ConsoleKeyTest : public ::testing::Test {
protected:
    void SetUp() override { Console = ScriptedConsole(); }
    void TearDown() override
    {
        EXPECT_EQ(Console.OpenHandles, 0) << "a console handle was left open";
        EXPECT_TRUE(Console.Handlers.empty()) << "the control handler was left registered";
    }
};

TEST_F(ConsoleKeyTest, ReleasesLoneModifiersAndOtherEventsAreNoAnswer)
{
    Console.Events = {OtherEvent(FOCUS_EVENT),   Key(false, 'N', 'n'),
                      Key(true, VK_SHIFT, 0),    Key(true, VK_LSHIFT, 0),
                      Key(true, VK_RCONTROL, 0), Key(true, VK_LMENU, 0),
                      Key(true, VK_CAPITAL, 0),  OtherEvent(WINDOW_BUFFER_SIZE_EVENT),
                      Key(true, 'Y', 'Y')};
    EXPECT_EQ(ReadConsoleKey("Go? "), 'Y');
    EXPECT_EQ(Console.Mode, 0x1F7u) << "the console's mode is given back";
    EXPECT_EQ(Console.Shown, "") << "standard output is the console: the question is already there";

    Console.Events = {Key(true, VK_NEXT, 0)};
    EXPECT_EQ(ReadConsoleKey("Go? "), 0) << "a key without a character";
}

TEST_F(ConsoleKeyTest, AFailedReadGivesTheModeBackAndAnswersNothing)
{
    Console.Events = {Key(false, 'Y', 'y')};
    EXPECT_EQ(ReadConsoleKey("Go? "), -1);
    EXPECT_EQ(Console.Mode, 0x1F7u);
}

TEST_F(ConsoleKeyTest, AConsoleWhoseModeCannotBeSetIsNotReadFrom)
{
    Console.SetModeFails = true;
    Console.Events = {Key(true, 'Y', 'y')};
    EXPECT_EQ(ReadConsoleKey("Go? "), -1);
    EXPECT_EQ(Console.Reads, 0);

    Console.InputOpens = false;
    EXPECT_EQ(ReadConsoleKey("Go? "), -1) << "no console at all";
}

TEST_F(ConsoleKeyTest, AControlEventDuringTheWaitGivesTheConsoleItsModeBackAndDoesNotHandleIt)
{
    Console.Events = {Key(true, 'n', 'n')};
    Console.ControlEventAt = 0;
    EXPECT_EQ(ReadConsoleKey("Go? "), -1);
    EXPECT_EQ(Console.ModeInControlEvent, 0x1F7u) << "the handler restored the mode saved before the wait";
}

TEST_F(ConsoleKeyTest, TheQuestionIsShownOnTheConsoleWhenStandardOutputIsRedirected)
{
    Console.StdOutputIsConsole = false;
    Console.Events = {Key(true, 'y', 'y')};
    EXPECT_EQ(ReadConsoleKey("Go on? "), 'y');
    EXPECT_EQ(Console.Shown, "Go on? ");

    Console.OutputOpens = false;
    Console.Shown.clear();
    Console.Events = {Key(true, 'y', 'y')};
    EXPECT_EQ(ReadConsoleKey("Go on? "), 'y') << "the key is still read without a console to write to";
}

} // namespace

/* ---- The scripted Win32 console ------------------------------------------------------- */

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    std::string name = lpFileName;
    if ((name == "CONIN$" && Console.InputOpens) || (name == "CONOUT$" && Console.OutputOpens)) {
        Console.OpenHandles++;
        return name == "CONIN$" ? (HANDLE)&InputHandle : (HANDLE)&OutputHandle;
    }
    return INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    EXPECT_TRUE(hObject == &InputHandle || hObject == &OutputHandle);
    Console.OpenHandles--;
    return TRUE;
}

HANDLE GetStdHandle(DWORD nStdHandle)
{
    EXPECT_EQ(nStdHandle, STD_OUTPUT_HANDLE);
    return (HANDLE)&StdOutput;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    if (hConsoleHandle == &StdOutput) {
        *lpMode = 3;
        return Console.StdOutputIsConsole;
    }
    EXPECT_EQ(hConsoleHandle, (HANDLE)&InputHandle);
    *lpMode = Console.Mode;
    return TRUE;
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode)
{
    EXPECT_EQ(hConsoleHandle, (HANDLE)&InputHandle);
    if (Console.SetModeFails) {
        return FALSE;
    }
    Console.Mode = dwMode;
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (Add) {
        Console.Handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    for (auto it = Console.Handlers.begin(); it != Console.Handlers.end(); ++it) {
        if (*it == HandlerRoutine) {
            Console.Handlers.erase(it);
            return TRUE;
        }
    }
    ADD_FAILURE() << "a control handler removed that was not registered";
    return FALSE;
}

BOOL WriteConsoleA(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID)
{
    EXPECT_EQ(hConsoleOutput, (HANDLE)&OutputHandle);
    Console.Shown.append((const char *)lpBuffer, nNumberOfCharsToWrite);
    *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength, LPDWORD lpNumberOfEventsRead)
{
    EXPECT_EQ(hConsoleInput, (HANDLE)&InputHandle);
    EXPECT_EQ(nLength, 1u);
    EXPECT_EQ(Console.Mode, 0u) << "keys are read with echo, line input and processed input off";
    if (Console.Reads++ == Console.ControlEventAt) {
        bool handled = false;
        for (auto it = Console.Handlers.rbegin(); it != Console.Handlers.rend() && !handled; ++it) {
            handled = (*it)(CTRL_BREAK_EVENT) != FALSE;
        }
        EXPECT_FALSE(handled) << "the default handler must still end the process";
        Console.ModeInControlEvent = Console.Mode;
        return FALSE;
    }
    if (Console.Events.empty()) {
        return FALSE;
    }
    *lpBuffer = Console.Events.front();
    Console.Events.pop_front();
    *lpNumberOfEventsRead = 1;
    return TRUE;
}
