/*
 * round_trip_bench - the host cost of one command round trip (request written, reply read)
 * through the whole stack: the tool's command layer and pipe transport, the Win32 stand-in,
 * the kernel stand-in, murvousb, the bus stand-in and the simulated unit, all in this process
 * as in vardel.
 *
 * Usage:
 *   round_trip_bench                 wall time per round trip, then the instruction split
 *                                    (runs itself under callgrind; needs valgrind)
 *   round_trip_bench loop CMD N      N round trips of CMD ("os": GetOsVersion, "write":
 *                                    WriteFlash of one 512-byte record into erased flash);
 *                                    prints the wall time per round trip
 *
 * Under callgrind the loop zeroes the counters before its first round trip and dumps them
 * after its last, so the dump holds the round trips alone (every thread of the process),
 * not the machine's boot or the unit's discovery.
 */
#include "tool/transport.h"
#include "tool/unit_commands.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
/* Without valgrind's headers the loop still gives its wall time. */
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif
#include <vector>

/* The simulated unit's default flash: 2 MiB in 8 KiB blocks. */
#define BENCH_FLASH_SIZE 0x200000u
#define BENCH_BLOCK_SIZE 0x2000u
#define BENCH_RECORDS (BENCH_FLASH_SIZE / UNIT_RECORD_DATA)

/* Unlocks and erases the whole flash so that every record can be written once. */
static void PrepareFlash(void)
{
    for (uint32_t block = 0; block < BENCH_FLASH_SIZE / BENCH_BLOCK_SIZE; block++) {
        if (UnlockBlock(block) != 0 || EraseBlock(block) != 0) {
            fprintf(stderr, "round_trip_bench: cannot erase block %u\n", block);
            exit(1);
        }
    }
}

/* One round trip of the chosen command; index picks the record a write goes to. */
static void RoundTrip(bool write, uint32_t index, const uint8_t *record)
{
    if (!write) {
        (void)GetOsVersion();
        return;
    }
    uint8_t status = WriteFlash((index % BENCH_RECORDS) * UNIT_RECORD_DATA, record);
    if (status != 0) {
        fprintf(stderr, "round_trip_bench: WriteFlash status %u\n", status);
        exit(1);
    }
}

/* The measured loop: count round trips of the command, counters zeroed before and dumped
 * after when running under callgrind. Returns 0, or 1 when the unit cannot be reached. */
static int Loop(const char *command, uint32_t count)
{
    bool write = strcmp(command, "write") == 0;
    if (!write && strcmp(command, "os") != 0) {
        fprintf(stderr, "round_trip_bench: unknown command %s (os, write)\n", command);
        return 1;
    }
    if (write && count > BENCH_RECORDS) {
        fprintf(stderr, "round_trip_bench: at most %u writes fit the erased flash\n", BENCH_RECORDS);
        return 1;
    }
    setenv("MURVO_SIM_FLASH_SIZE", "0x200000", 1);
    setenv("MURVO_SIM_TIMING", "off", 1);
    if (!OpenTransport()) {
        fprintf(stderr, "round_trip_bench: no unit\n");
        return 1;
    }
    uint8_t record[UNIT_RECORD_DATA];
    for (uint32_t i = 0; i < sizeof record; i++) {
        record[i] = (uint8_t)(i * 7 + 3);
    }
    if (write) {
        PrepareFlash();
    } else {
        for (int i = 0; i < 16; i++) { /* warm the caches and the pools */
            RoundTrip(false, 0, record);
        }
    }

    CALLGRIND_ZERO_STATS;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < count; i++) {
        RoundTrip(write, i, record);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CALLGRIND_DUMP_STATS_AT("round trips");

    CloseTransport();
    printf("%s: %u round trips in %.3f s, %.2f us each\n", command, count, seconds, seconds * 1e6 / count);
    return 0;
}

/* The parts of the stack, by source path below the repository root. */
struct Part {
    const char *Name;
    std::vector<std::string> Prefixes;
};

static const Part Parts[] = {
    {"tool (vardel)", {"tool/"}},
    {"driver (murvousb)", {"driver/"}},
    {"stand-in: Win32", {"host/win32/", "posix/"}},
    {"stand-in: kernel", {"host/nt/"}},
    {"stand-in: USB bus", {"host/usb/"}},
    {"stand-in: machine", {"host/machine/"}},
    {"simulated unit", {"unitsim/"}},
    {"common", {"common/"}},
};

#define OTHER_PART "other: libc, libstdc++"

/* The path with every "name/../" taken out. With ccache's base folder set, the compiler is
 * given sources relative to the build folder, and the debug information names them
 * "<build folder>/../../tool/x.cpp". */
static std::string Collapsed(const std::string &path)
{
    std::vector<std::string> kept;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name == ".." && !kept.empty() && kept.back() != ".." && !kept.back().empty()) {
            kept.pop_back();
        } else if (name != ".") {
            kept.push_back(name);
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    std::string result;
    for (size_t i = 0; i < kept.size(); i++) {
        result += (i > 0 ? "/" : "") + kept[i];
    }
    return result;
}

/* The path of a source file below the repository root, or "" when it is none of ours. An
 * object taken from a compiler cache shared with another checkout names that checkout's
 * folder: a file is ours too when the same path below a part's folder exists here. */
static std::string BelowRoot(const std::string &path, const std::string &root)
{
    std::string file = Collapsed(path);
    if (file.compare(0, root.size(), root) == 0) {
        return file.substr(root.size());
    }
    for (const char *folder : {"/tool/", "/driver/", "/host/", "/unitsim/", "/common/", "/tests/"}) {
        size_t at = file.rfind(folder);
        if (at != std::string::npos && access((root + file.substr(at + 1)).c_str(), F_OK) == 0) {
            return file.substr(at + 1);
        }
    }
    return "";
}

/* The part a source file belongs to, from its path. */
static std::string PartOf(const std::string &path, const std::string &root)
{
    std::string relative = BelowRoot(path, root);
    if (!relative.empty()) {
        for (const Part &p : Parts) {
            for (const std::string &prefix : p.Prefixes) {
                if (relative.compare(0, prefix.size(), prefix) == 0) {
                    return p.Name;
                }
            }
        }
        if (relative.compare(0, 6, "tests/") == 0) {
            return "benchmark loop";
        }
    }
    return OTHER_PART;
}

/* What one callgrind dump says, summed. */
struct Profile {
    unsigned long long Total = 0;
    std::map<std::string, unsigned long long> Self;      /* by part: the part's own instructions */
    std::map<std::string, unsigned long long> WithLibs;  /* by part: own plus the libraries it calls */
    std::map<std::string, unsigned long long> Inclusive; /* by function name (no arguments) */
};

/* Resolves a compressed name of the dump format: "(id) name" defines id, "(id)" refers to it. */
static std::string Name(std::map<std::string, std::string> *names, const std::string &text)
{
    if (text.empty() || text[0] != '(') {
        return text;
    }
    size_t close = text.find(')');
    std::string id = text.substr(0, close + 1);
    if (close + 1 < text.size()) {
        std::string name = text.substr(close + 2);
        (*names)[id] = name;
        return name;
    }
    return (*names)[id];
}

/* Reads a callgrind dump (positions: line, events: Ir). Self instructions go to the part of
 * the function's file (code inlined from library headers counts for the function it is in);
 * a call from one of our parts into a library adds the call's inclusive cost to the caller's
 * part in WithLibs. Calls still running at the dump carry their cost so far. */
static bool ReadProfile(const std::string &dump, const std::string &root, Profile *profile)
{
    FILE *in = fopen(dump.c_str(), "r");
    if (in == NULL) {
        return false;
    }
    std::map<std::string, std::string> files, functions;
    std::string fnPart, fnFile, calleeFile, calleeName;
    bool callCost = false;
    char buffer[16384];
    while (fgets(buffer, sizeof buffer, in) != NULL) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        char first = line[0];
        if ((first >= '0' && first <= '9') || first == '+' || first == '-' || first == '*') {
            /* "<line> <Ir>" */
            size_t space = line.find(' ');
            unsigned long long cost = space == std::string::npos ? 0 : strtoull(line.c_str() + space + 1, NULL, 10);
            if (callCost) {
                callCost = false;
                std::string calleePart = PartOf(calleeFile, root);
                if (fnPart != OTHER_PART && calleePart == OTHER_PART) {
                    profile->WithLibs[fnPart] += cost;
                }
                profile->Inclusive[calleeName.substr(0, calleeName.find('('))] += cost;
                calleeFile = fnFile; /* a call without cfi= is to the caller's own file */
            } else {
                profile->Self[fnPart] += cost;
                profile->WithLibs[fnPart] += cost;
                profile->Total += cost;
            }
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "fl") {
            fnFile = Name(&files, value);
            fnPart = PartOf(fnFile, root);
            calleeFile = fnFile;
        } else if (key == "fi" || key == "fe") {
            (void)Name(&files, value); /* inlined code: counted for the function it is in */
        } else if (key == "fn") {
            (void)Name(&functions, value);
            calleeFile = fnFile;
        } else if (key == "cfi" || key == "cfl") {
            calleeFile = Name(&files, value);
        } else if (key == "cfn") {
            calleeName = Name(&functions, value);
        } else if (key == "calls") {
            callCost = true;
        }
    }
    fclose(in);
    return profile->Total > 0;
}

/* Runs this program's loop under callgrind and returns the dump of the loop, or "". */
static std::string RunUnderCallgrind(const char *self, const char *command, uint32_t count, const std::string &dir)
{
    std::string out = dir + "/callgrind." + command;
    std::string run = "valgrind --tool=callgrind --callgrind-out-file=" + out + " " + self + " loop " + command + " " +
                      std::to_string(count) + " >" + dir + "/" + command + ".log 2>&1";
    if (system(run.c_str()) != 0) {
        fprintf(stderr, "round_trip_bench: callgrind run failed, see %s/%s.log\n", dir.c_str(), command);
        return "";
    }
    /* The dump made by CALLGRIND_DUMP_STATS_AT is the first numbered one. */
    return out + ".1";
}

/* Functions whose inclusive cost shows where a round trip crosses a layer, with the thread
 * they run on. */
static const char *const Crossings[][2] = {
    {"SendCommand", "tool: the whole round trip, caller's thread"},
    {"TransportWrite", "tool: the request"},
    {"WriteFile", "Win32 stand-in: write, into the kernel"},
    {"DispatchWrite", "murvousb: write dispatch"},
    {"TransportRead", "tool: the reply"},
    {"ReadFile", "Win32 stand-in: read, into the kernel"},
    {"DispatchRead", "murvousb: read dispatch"},
    {"WaitForSingleObject", "Win32 stand-in: wait for the reply"},
    {"GetOverlappedResult", "Win32 stand-in: collect the reply"},
    {"ControllerMain", "USB bus stand-in: controller thread"},
};

/* Prints the instruction split of one command's round trips. */
static void Report(const char *self, const char *command, uint32_t count, const std::string &dir,
                   const std::string &root)
{
    std::string dump = RunUnderCallgrind(self, command, count, dir);
    Profile profile;
    if (dump.empty() || !ReadProfile(dump, root, &profile)) {
        fprintf(stderr, "round_trip_bench: no callgrind figures for %s\n", command);
        return;
    }
    double total = (double)profile.Total;
    printf("  %s, %u round trips: %.0f instructions per round trip\n", command, count, total / count);
    printf("    %-32s %12s %12s\n", "instructions per round trip", "self", "with libs");
    unsigned long long standIn = 0, standInLibs = 0, ours = 0;
    for (const auto &entry : profile.WithLibs) {
        if (entry.first != OTHER_PART) {
            ours += entry.second;
        }
    }
    for (const auto &entry : profile.Self) {
        /* Library code our parts call is in their column; what is left ran on its own
         * (thread start-up, calls from one library into another at the top). */
        unsigned long long withLibs = entry.first == OTHER_PART ? profile.Total - ours : profile.WithLibs[entry.first];
        printf("    %-32s %7.0f %4.1f%% %7.0f %4.1f%%\n", entry.first.c_str(), entry.second / (double)count,
               100.0 * entry.second / total, withLibs / (double)count, 100.0 * withLibs / total);
        if (entry.first.compare(0, 9, "stand-in:") == 0) {
            standIn += entry.second;
            standInLibs += withLibs;
        }
    }
    unsigned long long product =
        profile.Self["tool (vardel)"] + profile.Self["driver (murvousb)"] + profile.Self["common"];
    unsigned long long productLibs =
        profile.WithLibs["tool (vardel)"] + profile.WithLibs["driver (murvousb)"] + profile.WithLibs["common"];
    printf("    %-32s %7.0f %4.1f%% %7.0f %4.1f%%\n", "= our code (tool, murvousb)", product / (double)count,
           100.0 * product / total, productLibs / (double)count, 100.0 * productLibs / total);
    printf("    %-32s %7.0f %4.1f%% %7.0f %4.1f%%\n", "= stand-in together", standIn / (double)count,
           100.0 * standIn / total, standInLibs / (double)count, 100.0 * standInLibs / total);
    printf("    inclusive instructions per round trip:\n");
    for (const auto &crossing : Crossings) {
        auto found = profile.Inclusive.find(crossing[0]);
        if (found != profile.Inclusive.end()) {
            printf("      %-22s %8.0f  %s\n", crossing[0], found->second / (double)count, crossing[1]);
        }
    }
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "loop") == 0) {
        return Loop(argv[2], (uint32_t)strtoul(argv[3], NULL, 0));
    }
    if (argc != 1) {
        fprintf(stderr, "usage: round_trip_bench [loop os|write COUNT]\n");
        return 1;
    }

    printf("one command round trip through the whole stack (untimed bus, full speed)\n");
    printf("  GetOsVersion: %u-byte request, %u-byte reply; WriteFlash: %u-byte request, %u-byte reply\n",
           UnitCommandShapes[CmdGetOsVersion].RequestLength, UnitCommandShapes[CmdGetOsVersion].ReplyLength,
           UnitCommandShapes[CmdWriteFlash].RequestLength, UnitCommandShapes[CmdWriteFlash].ReplyLength);
    const int runs = 5;
    printf("wall time per round trip (secondary figure, noisy), min/median/max of %d runs of 4000:\n", runs);
    fflush(stdout);
    std::string self = argv[0];
    for (const char *command : {"os", "write"}) {
        std::vector<double> each;
        for (int run = 0; run < runs; run++) {
            FILE *loop = popen((self + " loop " + command + " 4000").c_str(), "r");
            double us = 0;
            char line[256];
            while (loop != NULL && fgets(line, sizeof line, loop) != NULL) {
                const char *figure = strstr(line, " s, ");
                if (figure != NULL) {
                    us = strtod(figure + 4, NULL);
                }
            }
            if (loop == NULL || pclose(loop) != 0 || us <= 0) {
                fprintf(stderr, "round_trip_bench: the %s loop failed\n", command);
                return 1;
            }
            each.push_back(us);
        }
        std::sort(each.begin(), each.end());
        printf("  %-5s %d runs: %.2f / %.2f / %.2f us\n", command, runs, each.front(), each[each.size() / 2],
               each.back());
    }

    if (system("command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1") != 0) {
        printf("instruction counts: valgrind not installed, skipped\n");
        return 0;
    }
    std::string dir = "/tmp/murvo_round_trip_bench_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    std::string root = MURVO_SOURCE_DIR;
    if (root.empty() || root.back() != '/') {
        root += "/";
    }
    printf("instructions (callgrind, counts of the loop alone, every thread; one run each, as the counts\n"
           "vary by a fraction of a per cent from run to run):\n"
           "  self       instructions executed in the part's own functions\n"
           "  with libs  the same plus the C and C++ library code the part calls (libc, libstdc++, the\n"
           "             dynamic loader); each column also as a share of the whole round trip\n");
    fflush(stdout);
    Report(argv[0], "os", 1000, dir, root);
    Report(argv[0], "write", 1000, dir, root);
    std::string clean = "rm -rf " + dir;
    if (system(clean.c_str()) != 0) {
        return 1;
    }
    return 0;
}
