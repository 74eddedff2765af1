/*
 * win32_process.h - the one user process of a program built on the Win32 stand-in, and the
 * simulated machine it runs on.
 *
 * The process is created on its first device call. A program that brings its own machine
 * (the kernel, a bus, units and their driver) registers a boot routine; the stand-in runs it
 * once, before the first device call, so that devices are present as on a running system.
 */
#ifndef MURVO_HOST_WIN32_WIN32_PROCESS_H
#define MURVO_HOST_WIN32_WIN32_PROCESS_H

struct HostProcess;

/* Registers the routine that boots the machine; call before the first device call. */
void HostWin32SetMachineBoot(void (*boot)(void));

/* Boots the machine if that has not happened yet, then returns the process. */
HostProcess *HostWin32Process(void);

/* Ends the process as Windows does at exit: cancels every outstanding request, waits for
 * them, then closes every file still open. Handles of device files are dead afterwards. */
void HostWin32EndProcess(void);

#endif /* MURVO_HOST_WIN32_WIN32_PROCESS_H */
