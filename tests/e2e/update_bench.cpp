/*
 * update_bench - how long a whole update takes through the full host stack (tool, Win32
 * stand-in, kernel stand-in, murvousb, bus stand-in, firmware) and how much memory the vardel
 * process needs for it, for several flash sizes.
 *
 * Usage: update_bench [flash size in bytes ...] [timed]
 * The sizes default to 2 MiB and 32 MiB. Each size is updated whole ("/bootblock") with the
 * bus timing model off, at full and at high speed, MURVO_BENCH_RUNS times each (default 5):
 * the minimum, median and maximum time are printed, with the largest peak memory. With
 * "timed" it also runs once each with the bus and flash timing model on (minutes: the
 * flash's erase time dominates).
 *
 * The simulated unit runs inside the vardel process and keeps its flash in memory, so the
 * process's peak memory holds one flash-sized buffer that is the unit's, not the tool's;
 * the figure without it is what the tool and the stack need, and must not grow with the
 * image.
 */
#include "pty_run.h"

#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

/* Runs of each untimed case unless MURVO_BENCH_RUNS says otherwise. */
#define DEFAULT_RUNS 5

/* What one run of vardel gave. */
struct UpdateRun {
    double Seconds = 0;
    long MaxRssKiB = 0;
    int ExitStatus = -1;
    bool Completed = false; /* "Completed ok" was shown */
};

/* Updates a flash of size bytes with the image at dir/image, extra settings added. */
static UpdateRun RunUpdate(const std::string &dir, const std::string &image, uint32_t size,
                           const std::vector<std::pair<std::string, std::string>> &extra)
{
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"/bootblock", image};
    setup.WorkDir = dir;
    setup.Keys = "Y";
    setup.TimeoutSeconds = 900;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(size)}, {"MURVO_SIM_TIMING", "off"}};
    for (const auto &entry : extra) {
        bool replaced = false;
        for (auto &have : setup.Env) {
            if (have.first == entry.first) {
                have.second = entry.second;
                replaced = true;
            }
        }
        if (!replaced) {
            setup.Env.push_back(entry);
        }
    }
    auto start = std::chrono::steady_clock::now();
    ProgramRun run = RunProgram(setup);
    UpdateRun result;
    result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.MaxRssKiB = run.MaxRssKiB;
    result.ExitStatus = run.ExitStatus;
    result.Completed = run.Terminal.find("Completed ok") != std::string::npos;
    return result;
}

/* The number of commands the unit receives in an update of size bytes with dir/image. */
static double CountCommands(const std::string &dir, const std::string &image, uint32_t size)
{
    std::string log = dir + "/unit.log";
    unlink(log.c_str());
    UpdateRun run = RunUpdate(dir, image, size, {{"MURVO_SIM_LOG", log}});
    FILE *in = fopen(log.c_str(), "r");
    if (!run.Completed || in == NULL) {
        fprintf(stderr, "update_bench: the counting run failed\n");
        exit(1);
    }
    double lines = 0;
    int c;
    while ((c = fgetc(in)) != EOF) {
        if (c == '\n') {
            lines++;
        }
    }
    fclose(in);
    unlink(log.c_str());
    return lines;
}

/* A benchmark case: its name and the settings on top of the untimed full-speed default. */
struct BenchCase {
    const char *Name;
    std::vector<std::pair<std::string, std::string>> Env;
    bool Timed;
    bool HighSpeed;
};

static const BenchCase Cases[] = {
    {"untimed, full speed", {}, false, false},
    {"untimed, high speed", {{"MURVO_SIM_SPEED", "high"}}, false, true},
    {"timed, full speed", {{"MURVO_SIM_TIMING", "on"}}, true, false},
    {"timed, high speed", {{"MURVO_SIM_TIMING", "on"}, {"MURVO_SIM_SPEED", "high"}}, true, true},
};

int main(int argc, char **argv)
{
    std::vector<uint32_t> sizes;
    bool timed = false;
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "timed") {
            timed = true;
        } else {
            sizes.push_back((uint32_t)strtoul(argv[i], NULL, 0));
        }
    }
    if (sizes.empty()) {
        sizes = {0x200000, 0x2000000};
    }
    int runs = DEFAULT_RUNS;
    if (getenv("MURVO_BENCH_RUNS") != NULL && atoi(getenv("MURVO_BENCH_RUNS")) > 0) {
        runs = atoi(getenv("MURVO_BENCH_RUNS"));
    }

    std::string dir = "/tmp/murvo_update_bench_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    int failures = 0;
    /* Peak memory of the untimed full-speed run of each size, for the comparison. */
    std::vector<long> rss(sizes.size(), 0);
    for (size_t s = 0; s < sizes.size(); s++) {
        uint32_t size = sizes[s];
        std::string image = "bench-" + std::to_string(size) + ".rom";
        std::string make = std::string(MURVOROM_PATH) + " create --pattern random:" + std::to_string(3 + s) + " " +
                           dir + "/" + image + " " + std::to_string(size) + " >/dev/null";
        if (system(make.c_str()) != 0) {
            fprintf(stderr, "murvorom failed for %u bytes\n", size);
            return 1;
        }
        uint32_t records = size / 512, blocks = size / 0x2000;
        /* The commands of one update, counted in the unit's command log of a run of its own
         * (the log costs time, so the timed runs go without it). */
        double commands = CountCommands(dir, image, size);
        printf("update of %u bytes (%.1f MiB, %u records, %u blocks, %.0f commands), whole flash:\n", size,
               size / 1048576.0, records, blocks, commands);
        /* The bus's own limit: full speed moves at most 19 bulk packets of 64 bytes per 1 ms
         * frame, high speed 13 of 512 bytes per 125 us microframe. */
        double bytes = records * (520.0 + 5.0);
        double busLimit[2] = {bytes / (19.0 * 64.0) / 1000.0, bytes / (13.0 * 512.0) / 8000.0};
        printf("  %-20s %4s %8s %8s %8s %9s %10s %10s %9s  %s\n", "case", "runs", "min s", "median s", "max s", "KiB/s",
               "commands/s", "us/command", "RSS KiB", "bound by");
        for (const BenchCase &c : Cases) {
            if (c.Timed && !timed) {
                continue;
            }
            /* The machine is shared and wall time noisy: several runs, their spread, the
             * largest peak memory. A timed run takes minutes: one. */
            std::vector<double> seconds;
            long maxRss = 0;
            int count = c.Timed ? 1 : runs;
            for (int repeat = 0; repeat < count; repeat++) {
                UpdateRun one = RunUpdate(dir, image, size, c.Env);
                if (one.ExitStatus != 0 || !one.Completed) {
                    failures++;
                }
                seconds.push_back(one.Seconds);
                maxRss = std::max(maxRss, one.MaxRssKiB);
            }
            std::sort(seconds.begin(), seconds.end());
            double median = seconds.size() % 2 == 1
                                ? seconds[seconds.size() / 2]
                                : (seconds[seconds.size() / 2 - 1] + seconds[seconds.size() / 2]) / 2;
            if (&c == &Cases[0]) {
                rss[s] = maxRss;
            }
            double limit = busLimit[c.HighSpeed ? 1 : 0];
            /* Untimed, the bus takes no time of its own: a run slower than the bus would be
             * is held back by the host running the stand-in and the simulated unit. */
            const char *bound = c.Timed              ? "the timing model (bus and flash times)"
                                : seconds[0] > limit ? "the simulator (slower than the bus limit)"
                                                     : "the bus on real hardware (faster than the bus limit)";
            printf("  %-20s %4d %8.3f %8.3f %8.3f %9.1f %10.0f %10.2f %9ld  %s%s\n", c.Name, count, seconds.front(),
                   median, seconds.back(), size / 1024.0 / median, commands / median, median * 1e6 / commands, maxRss,
                   bound, failures == 0 ? "" : "  FAILED");
            fflush(stdout);
        }
        printf("  bus limit for the same traffic: full speed %.3f s, high speed %.3f s\n", busLimit[0], busLimit[1]);
    }
    printf("columns:\n"
           "  runs        vardel runs of the case, each a whole update at a pseudo-terminal (key Y pressed)\n"
           "  min/median/max s  wall time of one run, from start to exit, over the runs\n"
           "  KiB/s, commands/s, us/command  flash bytes, unit commands and time per command, from the median\n"
           "  RSS KiB     the largest peak resident memory of the vardel process over the runs\n"
           "  bound by    what limits the row: the simulator when even the fastest run is slower than the bus\n"
           "              limit (the host's work in the stand-in, murvousb and the simulated unit), else the bus\n"
           "              on real hardware; the timing model when timed\n"
           "  bus limit   the time a real bus of that speed needs for the requests and replies alone\n");

    printf("peak memory of the vardel process (untimed, full speed):\n");
    for (size_t s = 0; s < sizes.size(); s++) {
        printf("  %8.1f MiB flash: peak RSS %6ld KiB, of which the simulated unit's flash %6u KiB, the rest %6ld KiB\n",
               sizes[s] / 1048576.0, rss[s], sizes[s] / 1024, rss[s] - (long)(sizes[s] / 1024));
    }
    for (size_t s = 1; s < sizes.size(); s++) {
        long grown = rss[s] - rss[0];
        long flashGrown = (long)(sizes[s] / 1024) - (long)(sizes[0] / 1024);
        printf("  %.1f MiB against %.1f MiB: peak RSS %+ld KiB, simulated flash %+ld KiB, the rest %+ld KiB\n",
               sizes[s] / 1048576.0, sizes[0] / 1048576.0, grown, flashGrown, grown - flashGrown);
    }
    if (sizes.size() > 1) {
        printf("  (what grows besides the flash is the kernel stand-in's record of freed pool blocks,\n"
               "   kept to catch double frees and bounded at 100000 addresses; the tool reads the image\n"
               "   one 512-byte record at a time)\n");
    }
    std::string clean = "rm -rf " + dir;
    if (system(clean.c_str()) != 0) {
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
