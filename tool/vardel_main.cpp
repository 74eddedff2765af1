/*
 * vardel_main.cpp - the process entry of vardel.
 */
#include "tool/update_sequence.h"

int main(int argc, char **argv)
{
    /* Returning from main runs the operations registered with atexit and flushes the streams. */
    return RunUpdateSequence(argc, argv);
}
