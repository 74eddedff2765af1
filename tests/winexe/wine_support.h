/*
 * wine_support.h - what the tests of the Windows binaries under Wine share: a command's
 * output, and why Wine cannot run here (empty when it can).
 */
#ifndef MURVO_TESTS_WINEXE_WINE_SUPPORT_H
#define MURVO_TESTS_WINEXE_WINE_SUPPORT_H

#include <string>

/* Everything a shell command writes on its standard output, byte for byte. */
std::string Output(const std::string &command);

/* Why the tests under Wine cannot run on this machine, or "" when they can: Wine runs 32-bit
 * Windows programs only where it is installed and the kernel runs 32-bit x86 code. */
std::string WhyWineCannotRun();

#endif
