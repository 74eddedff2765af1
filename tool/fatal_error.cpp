/*
 * fatal_error.cpp - FatalError.
 */
#include "tool/fatal_error.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

void FatalError(const char *format, ...)
{
    char message[120];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    /* What went to standard output so far must come before the error on a shared console. */
    fflush(stdout);
    fprintf(stderr, "\n*Error* %s\n", message);
    fflush(stderr);
    exit(1);
}
