/*
 * wine_support.h - what the tests of the Windows binaries under Wine share: a command's
 * output, which Wine runs here (and why none does), and the test build of Wine.
 */
#ifndef MURVO_TESTS_WINEXE_WINE_SUPPORT_H
#define MURVO_TESTS_WINEXE_WINE_SUPPORT_H

#include <string>

/* Everything a shell command writes on its standard output, byte for byte. */
std::string Output(const std::string &command);

/* The Wine that runs Windows programs here, as tests/winexe/wine_pick.sh picks it: the 32-bit
 * one where the machine runs 32-bit code, else the 64-bit one. */
struct WineHost {
    std::string Loader; /* starts a program: /usr/lib/wine/wine or /usr/lib/wine/wine64 */
    std::string Server; /* the distribution's wineserver beside it */
    int Bits = 0;       /* 32 or 64 */
    std::string Why;    /* why no Wine runs here, "" when one does */
};
const WineHost &HostWine();

/* Why the tests under Wine cannot run on this machine, or "" when they can. */
std::string WhyWineCannotRun();

/* The Windows build that Wine runs here: <tree>/build/win32/bin, or build/win64/bin under a
 * 64-bit Wine (its vardel.exe a test build of the same sources; the release ships the 32-bit
 * one). */
std::string WindowsBin();

/* The test build of Wine (scripts/wine-test-build), as the wine_test_build fixture left it in
 * <build>/wine/test-wine: its folder, or why it could not be made. */
struct TestWine {
    std::string Dir;
    std::string Why;
};
TestWine TestWineBuild(const std::string &buildDir);

#endif
