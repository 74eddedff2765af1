/*
 * update_sequence.h - the whole program flow of vardel: command line, confirmation, unit and
 * image checks, unlock, erase, write, lock, checksum and verdict.
 */
#ifndef MURVO_TOOL_UPDATE_SEQUENCE_H
#define MURVO_TOOL_UPDATE_SEQUENCE_H

/* Exit statuses of a run. */
#define EXIT_UPDATE_OK 0      /* the sequence reached its end and the update completed */
#define EXIT_UPDATE_STOPPED 1 /* usage, refusal, an unopenable image, or a fatal error */
#define EXIT_UPDATE_FAILED 2  /* the sequence reached its end with "Operation failed" */

/* Runs one update with the program's arguments (argv[0] is the program name) and returns
 * the exit status. Fatal errors end the process through FatalError instead of returning. */
int RunUpdateSequence(int argc, char **argv);

#endif /* MURVO_TOOL_UPDATE_SEQUENCE_H */
