/*
 * fatal_error_throw.cpp - FatalError that throws FuzzFatalError (see fatal_error_throw.h).
 */
#include "fuzz/fatal_error_throw.h"

#include "tool/fatal_error.h"

#include <stdarg.h>
#include <stdio.h>

void FatalError(const char *format, ...)
{
    FuzzFatalError error;
    va_list args;
    va_start(args, format);
    vsnprintf(error.Message, sizeof error.Message, format, args);
    va_end(args);
    throw error;
}
