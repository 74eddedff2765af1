/*
 * fatal_error.h - the tool's way out of an unrecoverable failure.
 */
#ifndef MURVO_TOOL_FATAL_ERROR_H
#define MURVO_TOOL_FATAL_ERROR_H

/* Formats the message (at most 119 characters kept), writes it to standard error inside
 * "\n*Error* %s\n" and ends the process with exit status 1 through the normal exit path,
 * so that the operations registered with atexit run. Never returns. */
[[noreturn]] void FatalError(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif /* MURVO_TOOL_FATAL_ERROR_H */
