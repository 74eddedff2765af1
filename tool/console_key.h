/*
 * console_key.h - the confirmation key, read from the console itself.
 */
#ifndef MURVO_TOOL_CONSOLE_KEY_H
#define MURVO_TOOL_CONSOLE_KEY_H

/* Waits for one key on the console (not on a redirected standard input), without echo and
 * without waiting for Enter. Key releases and modifier keys pressed alone are skipped.
 * Returns the key's character (0 to 255), 0 for a key without one (a cursor or function
 * key), or -1 when there is no console to read from or the read failed. */
int ReadConsoleKey(void);

#endif /* MURVO_TOOL_CONSOLE_KEY_H */
