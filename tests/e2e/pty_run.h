/*
 * pty_run.h - runs a built program the way a user at a terminal would: under a
 * pseudo-terminal that becomes its controlling terminal, pressing a key at its prompt.
 */
#ifndef MURVO_TESTS_E2E_PTY_RUN_H
#define MURVO_TESTS_E2E_PTY_RUN_H

#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
    int ExitStatus = -1;     /* exit status, or -1 when the program did not exit normally */
    int Signal = 0;          /* the signal that ended the program, 0 when it exited */
    bool SignalSent = false; /* the setup's SendSignal was sent */
    bool EchoAtExit = false; /* the terminal echoed and edited lines once the program had ended */
    std::string Terminal;    /* everything written to the terminal (stdout, and stderr unless split) */
    std::string Err;         /* standard error when it was split off the terminal */
    std::string Out;         /* what the reader of the standard output pipe took */
    long MaxRssKiB = 0;      /* the program's peak resident memory in KiB, from its rusage */
};

struct ProgramSetup {
    std::string Program;
    std::vector<std::string> Args;
    std::vector<std::pair<std::string, std::string>> Env; /* added to the environment */
    std::string WorkDir;
    std::string Keys;              /* typed once the prompt has appeared ("" types nothing) */
    std::string Prompt = "[Y/N] "; /* the text to wait for before typing */
    /* How the terminal shows what was written, where the prompt is looked for; none: the
     * bytes as written. */
    std::string (*Screen)(const std::string &written) = nullptr;
    int KeyDelayMs = 50;          /* the time the program gets after the prompt to set its terminal up */
    bool SplitStderr = true;      /* standard error to a pipe of its own instead of the terminal */
    bool StdinFromDevNull = true; /* a redirected standard input must neither confirm nor refuse */
    std::string StdoutFile;       /* standard output redirected to this file instead of the terminal */
    bool NoTerminal = false;      /* no controlling terminal at all: a new session, no pty */
    /* Standard output into a pipe whose reader takes this many bytes, then closes it (as
     * `| head -c N` does); -1: no such pipe. */
    long StdoutReaderBytes = -1;
    std::vector<int> IgnoredSignals; /* set to be ignored before the program starts (as nohup does) */
    int SendSignal = 0;              /* sent to the program once SignalWhen has appeared on the terminal */
    std::string SignalWhen;
    bool WaitForEchoOff = false; /* type the keys, and send the signal, only once the program has
                                    turned the terminal's echo off (it is waiting for its key) */
    int TimeoutSeconds = 60;
};

ProgramRun RunProgram(const ProgramSetup &setup);

#endif /* MURVO_TESTS_E2E_PTY_RUN_H */
