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
    int ExitStatus = -1;  /* exit status, or -1 when the program did not exit normally */
    std::string Terminal; /* everything written to the terminal (stdout, and stderr unless split) */
    std::string Err;      /* standard error when it was split off the terminal */
    long MaxRssKiB = 0;   /* the program's peak resident memory in KiB, from its rusage */
};

struct ProgramSetup {
    std::string Program;
    std::vector<std::string> Args;
    std::vector<std::pair<std::string, std::string>> Env; /* added to the environment */
    std::string WorkDir;
    std::string Keys;          /* typed once the prompt has appeared ("" types nothing) */
    std::string Prompt = "[Y/N] "; /* the text to wait for before typing */
    /* How the terminal shows what was written, where the prompt is looked for; none: the
     * bytes as written. */
    std::string (*Screen)(const std::string &written) = nullptr;
    bool SplitStderr = true;   /* standard error to a pipe of its own instead of the terminal */
    bool StdinFromDevNull = true; /* a redirected standard input must neither confirm nor refuse */
    bool NoTerminal = false;   /* no controlling terminal at all: a new session, no pty */
    int TimeoutSeconds = 60;
};

ProgramRun RunProgram(const ProgramSetup &setup);

#endif /* MURVO_TESTS_E2E_PTY_RUN_H */
