/*
 * vardel_main.cpp - the process entry of vardel.
 */
#include "tool/update_sequence.h"

#include <stdio.h>

int main(int argc, char **argv)
{
    /* Standard output is buffered whole, and the sequence flushes it after every message, so
     * each message reaches the console in one write. Left as it is, the Windows C runtime
     * writes a console stream unbuffered, and the runtime's printf hands it one character at
     * a time: one console write per character. */
    static char outputBuffer[4096];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    /* Returning from main runs the operations registered with atexit and flushes the streams. */
    return RunUpdateSequence(argc, argv);
}
