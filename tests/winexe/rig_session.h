/*
 * rig_session.h - a Wine session on the Wine rig's prefix, for the tests under Wine: with
 * the distribution's Wine, or with the test build of Wine (its server, started here for the
 * prefix, and its ntoskrnl.exe), and the rig's program and vardel.exe run inside it.
 */
#ifndef MURVO_TESTS_WINEXE_RIG_SESSION_H
#define MURVO_TESTS_WINEXE_RIG_SESSION_H

#include "e2e/pty_run.h"

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

/* A command's output without the carriage returns of Wine's line ends. */
std::string PlainOutput(const std::string &command);

/* rigctl's "name: value" lines. */
std::map<std::string, std::string> Fields(const std::string &text);

/* Whether the lines appear in the log in this order (each after the one before); the first
 * one missing in missing otherwise. */
bool InOrder(const std::string &log, std::initializer_list<const char *> lines, std::string *missing);

/* Whether the rig's prefix holds the rig (the wine_rig_prefix test made it). */
bool RigInstalled();

struct RigSession {
    std::string TestWineDir; /* the test build's folder; empty: the distribution's Wine */
    pid_t Server = 0;        /* the test build's server, a child of this process */
    bool Started = false;
};

/* Ends any session on the prefix, then starts one: for the test build, its server (checked to
 * be the one that holds the prefix) and its ntoskrnl.exe for the driver host. Returns "" on
 * success, else what went wrong. */
std::string StartRigSession(RigSession *session);

/* Ends the session (the services, the drivers, the server). */
void EndRigSession(RigSession *session);

/* rigctl.exe ARGS in the session; its output. */
std::string Rigctl(const std::string &args);

/* Probes until the unit's interface is there (or gone), for up to 60 s; the last probe's
 * fields in probe. */
bool WaitForInterface(bool present, std::map<std::string, std::string> *probe);

/* vardel.exe at a terminal in the session, the key Y pressed at its question; in workDir
 * (a Linux path) when given. */
ProgramRun RunVardel(std::vector<std::string> args, const char *debug = "-all", const std::string &workDir = "");

#endif
