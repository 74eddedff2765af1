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

/* The first line of text, without its line feed. */
static std::string FirstLine(const std::string &text)
{
    size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

const WineHost &HostWine()
{
    static const WineHost host = [] {
        WineHost found;
        std::string pick = ". '" MURVO_SOURCE_DIR "/tests/winexe/wine_pick.sh'; ";
        found.Loader = FirstLine(Output(pick + "echo \"$WINE_LOADER\""));
        found.Server = FirstLine(Output(pick + "echo \"$WINE_SERVER\""));
        found.Bits = atoi(FirstLine(Output(pick + "echo \"$WINE_BITS\"")).c_str());
        found.Why = FirstLine(Output(pick + "echo \"$WINE_WHY\""));
        if (found.Loader.empty() && found.Why.empty()) {
            found.Why = "tests/winexe/wine_pick.sh could not be read";
        }
        return found;
    }();
    return host;
}

std::string WhyWineCannotRun() { return HostWine().Why; }

std::string WindowsBin()
{
    return std::string(MURVO_SOURCE_DIR) + (HostWine().Bits == 64 ? "/build/win64/bin" : "/build/win32/bin");
}

TestWine TestWineBuild(const std::string &buildDir)
{
    TestWine build;
    build.Dir = FirstLine(Output("cat '" + buildDir + "/wine/test-wine/dir' 2>/dev/null"));
    if (build.Dir.empty()) {
        build.Why = FirstLine(Output("cat '" + buildDir + "/wine/test-wine/why' 2>/dev/null"));
        if (build.Why.empty()) {
            build.Why = "the wine_test_build fixture did not run (it runs scripts/wine-test-build)";
        }
    }
    return build;
}
