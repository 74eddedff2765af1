/*
 * pty_run.cpp - RunProgram.
 */
#include "pty_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* In the child: signals, environment, working folder, streams, then the program. Never returns. */
static void StartChild(const ProgramSetup &setup, int errPipe, int outPipe)
{
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore); /* a program ended by SIGQUIT leaves no core file */
    /* A shell starts a program with the default actions, whatever this process set. */
    for (int each : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        signal(each, SIG_DFL);
    }
    for (int each : setup.IgnoredSignals) {
        signal(each, SIG_IGN);
    }
    for (const auto &entry : setup.Env) {
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
    if (!setup.WorkDir.empty() && chdir(setup.WorkDir.c_str()) != 0) {
        _exit(126);
    }
    if (errPipe >= 0) {
        dup2(errPipe, 2);
    }
    if (outPipe >= 0) {
        if (!setup.NoTerminal && dup(1) < 0) { /* the terminal stays open, as below */
            _exit(126);
        }
        dup2(outPipe, 1);
        close(outPipe);
    } else if (!setup.StdoutFile.empty()) {
        /* The terminal stays open in the program, as a shell keeps it: without any descriptor
         * on it, the test would read the end of the terminal before the program opens it. */
        if (!setup.NoTerminal && dup(1) < 0) {
            _exit(126);
        }
        int out = open(setup.StdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0) {
            _exit(126);
        }
        dup2(out, 1);
        close(out);
    }
    if (setup.StdinFromDevNull) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(setup.Program.c_str()));
    for (const std::string &arg : setup.Args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(setup.Program.c_str(), argv.data());
    _exit(127);
}

static double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

ProgramRun RunProgram(const ProgramSetup &setup)
{
    ProgramRun run;
    int errPipe[2] = {-1, -1};
    if (setup.SplitStderr && pipe2(errPipe, O_CLOEXEC) != 0) {
        return run;
    }
    int readerPipe[2] = {-1, -1};
    if (setup.StdoutReaderBytes >= 0) {
        if (pipe2(readerPipe, O_CLOEXEC) != 0) {
            return run;
        }
        /* The smallest pipe: a program that writes more than a page beyond what the reader
         * takes surely writes after the reader has gone. */
        fcntl(readerPipe[1], F_SETPIPE_SZ, 4096);
    }

    int master = -1;
    pid_t child;
    int outPipe[2] = {-1, -1};
    if (setup.NoTerminal) {
        if (pipe(outPipe) != 0) {
            return run;
        }
        child = fork();
        if (child == 0) {
            setsid(); /* a new session has no controlling terminal */
            dup2(outPipe[1], 1);
            if (!setup.SplitStderr) {
                dup2(outPipe[1], 2);
            }
            close(outPipe[0]);
            StartChild(setup, setup.SplitStderr ? errPipe[1] : -1, readerPipe[1]);
        }
        close(outPipe[1]);
        master = outPipe[0];
    } else {
        child = forkpty(&master, nullptr, nullptr, nullptr);
        if (child == 0) {
            StartChild(setup, setup.SplitStderr ? errPipe[1] : -1, readerPipe[1]);
        }
    }
    if (child < 0) {
        return run;
    }
    if (errPipe[1] >= 0) {
        close(errPipe[1]);
    }
    if (readerPipe[1] >= 0) {
        close(readerPipe[1]);
    }

    bool typed = setup.Keys.empty();
    bool signalled = setup.SendSignal == 0;
    bool masterOpen = true, errOpen = errPipe[0] >= 0, readerOpen = readerPipe[0] >= 0;
    double deadline = Now() + setup.TimeoutSeconds;
    while ((masterOpen || errOpen) && Now() < deadline) {
        struct pollfd fds[3] = {{masterOpen ? master : -1, POLLIN, 0},
                                {errOpen ? errPipe[0] : -1, POLLIN, 0},
                                {readerOpen ? readerPipe[0] : -1, POLLIN, 0}};
        int n = poll(fds, 3, 100);
        if (n < 0 && errno != EINTR) {
            break;
        }
        char buffer[4096];
        if (readerOpen && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            size_t want = (size_t)setup.StdoutReaderBytes - run.Out.size();
            ssize_t got = want > 0 ? read(readerPipe[0], buffer, want < sizeof buffer ? want : sizeof buffer) : 0;
            if (got > 0) {
                run.Out.append(buffer, got);
            }
            if (got <= 0 || run.Out.size() == (size_t)setup.StdoutReaderBytes) {
                close(readerPipe[0]); /* the reader goes away */
                readerOpen = false;
            }
        }
        if (masterOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                run.Terminal.append(buffer, got);
            } else {
                masterOpen = false; /* EIO once the child side is closed */
            }
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = read(errPipe[0], buffer, sizeof buffer);
            if (got > 0) {
                run.Err.append(buffer, got);
            } else {
                errOpen = false;
            }
        }
        struct termios mode;
        bool echoOff = !setup.NoTerminal && tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) == 0;
        if (!typed &&
            (setup.Screen ? setup.Screen(run.Terminal) : run.Terminal).find(setup.Prompt) != std::string::npos &&
            (!setup.WaitForEchoOff || echoOff)) {
            /* Give the program a moment to put its terminal into raw mode. */
            usleep((useconds_t)setup.KeyDelayMs * 1000);
            if (write(master, setup.Keys.data(), setup.Keys.size()) == (ssize_t)setup.Keys.size()) {
                typed = true;
            }
        }
        if (typed && !signalled && run.Terminal.find(setup.SignalWhen) != std::string::npos &&
            (!setup.WaitForEchoOff || echoOff)) {
            kill(child, setup.SendSignal);
            signalled = true;
            run.SignalSent = true;
        }
    }
    int status = 0;
    if (Now() >= deadline) {
        kill(child, SIGKILL);
    }
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(child, &status, 0, &usage);
    /* The master reports the terminal's own settings. */
    struct termios mode;
    if (!setup.NoTerminal && tcgetattr(master, &mode) == 0) {
        run.EchoAtExit = (mode.c_lflag & (ECHO | ICANON)) == (ECHO | ICANON);
    }
    run.MaxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        run.ExitStatus = WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        run.Signal = WTERMSIG(status);
    }
    close(master);
    if (readerOpen) {
        close(readerPipe[0]);
    }
    if (errPipe[0] >= 0) {
        close(errPipe[0]);
    }
    return run;
}
