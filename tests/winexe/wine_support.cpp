/*
 * wine_support.cpp - helpers shared by the tests of the Windows binaries under Wine.
 */
#include "winexe/wine_support.h"

#include <stdio.h>
#include <stdlib.h>

std::string Output(const std::string &command)
{
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == NULL) {
        return text;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, got);
    }
    pclose(pipe);
    return text;
}

std::string WhyWineCannotRun()
{
    if (system("command -v wine >/dev/null 2>&1") != 0) {
        return "wine is not installed, and scripts/install-deps could not install it here";
    }
    /* The 32-bit loader itself must start: wineserver alone may be the 64-bit one. */
    if (system("wine --version >/dev/null 2>&1") != 0) {
        return "this machine's kernel does not run 32-bit x86 programs";
    }
    return "";
}
