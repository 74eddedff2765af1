/*
 * console_key.h - the confirmation key, read from the console itself.
 */
#ifndef MURVO_TOOL_CONSOLE_KEY_H
#define MURVO_TOOL_CONSOLE_KEY_H

/* Waits for one key on the console (not on a redirected standard input), without echo and
 * without waiting for Enter. Key releases and modifier keys pressed alone are skipped.
 * When standard output is not the console (redirected to a file or a pipe), question, which
 * the caller has written to standard output, is first written to the console as well, so
 * that the person at the keyboard sees what the key answers.
 * Returns the key's character (0 to 255), 0 for a key without one (a cursor or function
 * key), or -1 when there is no console to read from or the read failed. */
int ReadConsoleKey(const char *question);

#endif /* MURVO_TOOL_CONSOLE_KEY_H */
