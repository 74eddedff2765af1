/*
 * terminal_screen.h - the text a terminal shows for what a program wrote to it.
 *
 * Wine's console writes to a pseudo-terminal as a screen editor would: it hides and shows
 * the cursor around each character, moves the cursor instead of writing spaces and erases
 * to the end of the line. The text a user reads only appears once those sequences are
 * played on a screen.
 */
#ifndef MURVO_TESTS_WINEXE_TERMINAL_SCREEN_H
#define MURVO_TESTS_WINEXE_TERMINAL_SCREEN_H

#include <string>

/* The screen's lines joined by '\n', each as wide as the furthest column written or moved
 * to. Understood: printable bytes, CR, LF, BS, and the CSI sequences cursor up/down/
 * forward/back (A B C D), position (H f), erase in line (K) and erase in display (J);
 * any other escape sequence changes nothing on the screen. */
std::string TerminalScreen(const std::string &written);

#endif /* MURVO_TESTS_WINEXE_TERMINAL_SCREEN_H */
