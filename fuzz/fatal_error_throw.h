/*
 * fatal_error_throw.h - the tool's FatalError as the fuzz targets link it: instead of ending
 * the process it keeps the message and throws, so one process can run the tool's code on
 * many inputs and see how each run ended.
 */
#ifndef MURVO_FUZZ_FATAL_ERROR_THROW_H
#define MURVO_FUZZ_FATAL_ERROR_THROW_H

/* Thrown by FatalError; Message is the formatted text (what "\n*Error* %s\n" would carry). */
struct FuzzFatalError {
    char Message[120];
};

#endif /* MURVO_FUZZ_FATAL_ERROR_THROW_H */
