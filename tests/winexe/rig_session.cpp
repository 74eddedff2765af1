/*
 * rig_session.cpp - Wine sessions on the rig's prefix (see rig_session.h).
 */
#include "winexe/rig_session.h"

#include "winexe/terminal_screen.h"
#include "winexe/wine_support.h"

#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* Wine's own DLL overrides of every session, and the test build's kernel on top. */
static const char *const PlainOverrides = "mscoree,mshtml=";
static const char *const TestOverrides = "ntoskrnl.exe=n;mscoree,mshtml=";

std::string PlainOutput(const std::string &command)
{
    std::string text = Output(command);
    std::string plain;
    for (char c : text) {
        if (c != '\r') {
            plain += c;
        }
    }
    return plain;
}

std::map<std::string, std::string> Fields(const std::string &text)
{
    std::map<std::string, std::string> fields;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            fields[line.substr(0, colon)] = line.substr(colon + 2);
        }
        at = end + 1;
    }
    return fields;
}

bool InOrder(const std::string &log, std::initializer_list<const char *> lines, std::string *missing)
{
    size_t at = 0;
    for (const char *line : lines) {
        size_t found = log.find(std::string(line) + "\n", at);
        if (found == std::string::npos) {
            *missing = line;
            return false;
        }
        at = found + strlen(line) + 1;
    }
    return true;
}

bool RigInstalled()
{
    struct stat info;
    return stat(MURVO_RIG_PREFIX "/drive_c/rig/rigctl.exe", &info) == 0;
}

std::string Rigctl(const std::string &args)
{
    return PlainOutput("'" + HostWine().Loader + "' 'C:\\rig\\rigctl.exe' " + args + " 2>/dev/null");
}

static void EndAnySession()
{
    std::string server = HostWine().Server;
    std::string command = "'" + server + "' -k >/dev/null 2>&1; '" + server + "' -w";
    (void)system(command.c_str());
}

/* The name of the folder in which a server of the prefix keeps its socket and lock (its
 * parent is Debian's choice: /run/user/UID/wine, or a folder of /tmp named in the prefix). */
static std::string ServerDirName()
{
    struct stat info;
    if (stat(MURVO_RIG_PREFIX, &info) != 0) {
        return "";
    }
    char name[64];
    snprintf(name, sizeof name, "server-%llx-%llx", (unsigned long long)info.st_dev, (unsigned long long)info.st_ino);
    return name;
}

/* The folder a running server works in (it works in its server folder), or "". */
static std::string WorkingDir(pid_t pid)
{
    char dir[PATH_MAX];
    std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    ssize_t length = readlink(link.c_str(), dir, sizeof dir - 1);
    if (length <= 0) {
        return "";
    }
    dir[length] = '\0';
    return dir;
}

std::string StartRigSession(RigSession *session)
{
    setenv("WINEPREFIX", MURVO_RIG_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINELOADER", HostWine().Loader.c_str(), 1);
    EndAnySession();
    if (session->TestWineDir.empty()) {
        setenv("WINEDLLOVERRIDES", PlainOverrides, 1);
        std::string command = "'" + HostWine().Server + "' -p";
        if (system(command.c_str()) != 0) {
            return "the distribution's wineserver did not start";
        }
        session->Started = true;
        return "";
    }
    /* Debian's loader starts its own server and ignores WINESERVER: the test build's server is
     * started first, for the prefix, and every program of the session connects to it. */
    setenv("WINEDLLOVERRIDES", TestOverrides, 1);
    std::string server = session->TestWineDir + "/wineserver";
    pid_t child = fork();
    if (child == 0) {
        execl(server.c_str(), "wineserver", "-f", "-p", (char *)NULL);
        _exit(127);
    }
    if (child < 0) {
        return "fork failed";
    }
    session->Server = child;
    session->Started = true;
    std::string wanted = "/" + ServerDirName(), socket;
    struct stat info;
    for (int tries = 0; tries < 200; tries++) {
        std::string dir = WorkingDir(child);
        if (dir.size() > wanted.size() && dir.compare(dir.size() - wanted.size(), wanted.size(), wanted) == 0) {
            socket = dir + "/socket";
            if (stat(socket.c_str(), &info) == 0) {
                break;
            }
        }
        usleep(50 * 1000);
    }
    /* The server that holds the prefix's lock is the one that answers; another one would have
     * found the lock taken and ended. */
    int status;
    if (waitpid(child, &status, WNOHANG) != 0) {
        session->Server = 0;
        return "the test build's wineserver ended at once (another server holds the prefix?)";
    }
    if (socket.empty() || stat(socket.c_str(), &info) != 0) {
        return "the test build's wineserver made no socket in a folder " + wanted + " (it works in " +
               WorkingDir(child) + ")";
    }
    char exe[PATH_MAX], path[PATH_MAX];
    std::string link = "/proc/" + std::to_string(child) + "/exe";
    ssize_t length = readlink(link.c_str(), exe, sizeof exe - 1);
    exe[length > 0 ? length : 0] = '\0';
    if (realpath(server.c_str(), path) == NULL || strcmp(exe, path) != 0) {
        return std::string("the server of the session is ") + exe + ", not " + server;
    }
    return "";
}

void EndRigSession(RigSession *session)
{
    if (!session->Started) {
        return;
    }
    EndAnySession();
    if (session->Server > 0) {
        int status;
        for (int tries = 0; tries < 100 && waitpid(session->Server, &status, WNOHANG) == 0; tries++) {
            usleep(100 * 1000);
        }
        if (waitpid(session->Server, &status, WNOHANG) == 0) {
            kill(session->Server, SIGKILL);
            waitpid(session->Server, &status, 0);
        }
        session->Server = 0;
    }
    session->Started = false;
}

bool WaitForInterface(bool present, std::map<std::string, std::string> *probe)
{
    time_t deadline = time(NULL) + 60;
    while (time(NULL) < deadline) {
        *probe = Fields(Rigctl("probe"));
        bool there = (*probe)["interface"].find("{0a1940c6-c2a0-47d2-86a6-d378d0db62ce}") != std::string::npos;
        if (there == present) {
            return true;
        }
        usleep(500 * 1000);
    }
    return false;
}

ProgramRun RunVardel(std::vector<std::string> args, const char *debug, const std::string &workDir)
{
    ProgramSetup setup;
    setup.WorkDir = workDir;
    setup.Program = HostWine().Loader;
    setup.Args = {"C:\\rig\\vardel.exe"};
    setup.Args.insert(setup.Args.end(), args.begin(), args.end());
    setup.Keys = "Y\r"; /* Wine's console at a terminal passes keys on only at Enter */
    /* The key once the console has surely stopped echoing: a key typed right after the prompt
     * appears, on a busy machine, is sometimes echoed by Wine's console on a line of its own
     * (Windows echoes nothing while the program's console mode has no ENABLE_ECHO_INPUT). */
    setup.KeyDelayMs = 1000;
    setup.Screen = TerminalScreen;
    setup.Prompt = "[Y/N]";         /* the space after it is a blank the console erases to */
    setup.StdinFromDevNull = false; /* Wine's console reads its keyboard from Wine's standard input */
    setup.Env = {{"WINEPREFIX", MURVO_RIG_PREFIX}, {"WINEDEBUG", debug}};
    setup.TimeoutSeconds = 120;
    return RunProgram(setup);
}
