/*
 * update_bench - how long a whole update takes through the full host stack (tool, Win32
 * stand-in, kernel stand-in, murvousb, bus stand-in, firmware), without and with the bus
 * timing model, against the time the bus itself needs for the bytes moved.
 *
 * Usage: update_bench [flash size in bytes, default 0x200000] [timed]
 * With "timed" it also runs with the bus and flash timing model on (minutes: the flash's
 * erase time dominates).
 */
#include "pty_run.h"

#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static double RunUpdate(const std::string &dir, uint32_t size, const std::vector<std::pair<std::string, std::string>> &extra,
                        int *status)
{
    ProgramSetup setup;
    setup.Program = VARDEL_PATH;
    setup.Args = {"/bootblock", "bench.rom"};
    setup.WorkDir = dir;
    setup.Keys = "Y";
    setup.TimeoutSeconds = 600;
    setup.Env = {{"MURVO_SIM_FLASH_SIZE", std::to_string(size)}};
    setup.Env.insert(setup.Env.end(), extra.begin(), extra.end());
    auto start = std::chrono::steady_clock::now();
    ProgramRun run = RunProgram(setup);
    *status = run.ExitStatus;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int main(int argc, char **argv)
{
    uint32_t size = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 0x200000;
    std::string dir = "/tmp/murvo_update_bench_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    std::string make = std::string(MURVOROM_PATH) + " create --pattern random:3 " + dir + "/bench.rom " +
                       std::to_string(size) + " >/dev/null";
    if (system(make.c_str()) != 0) {
        fprintf(stderr, "murvorom failed\n");
        return 1;
    }
    uint32_t records = size / 512;
    /* Each record: a 520-byte request and a 5-byte reply; blocks: three commands each. */
    double bytes = records * (520.0 + 5.0);

    printf("update of %u bytes (%u records), whole flash\n", size, records);
    const struct {
        const char *Name;
        std::vector<std::pair<std::string, std::string>> Env;
    } cases[] = {
        {"untimed bus (stack cost only)", {}},
        {"untimed bus, high speed", {{"MURVO_SIM_SPEED", "high"}}},
        {"timed full-speed bus and flash", {{"MURVO_SIM_TIMING", "on"}}},
        {"timed high-speed bus and flash", {{"MURVO_SIM_TIMING", "on"}, {"MURVO_SIM_SPEED", "high"}}},
    };
    bool timed = argc > 2 && std::string(argv[2]) == "timed";
    for (const auto &c : cases) {
        if (!timed && c.Env.size() > 0 && c.Env[0].first == "MURVO_SIM_TIMING")
            continue;
        int status = -1;
        double seconds = RunUpdate(dir, size, c.Env, &status);
        printf("  %-32s %7.3f s  %8.1f KiB/s of image  %8.0f commands/s  exit %d\n", c.Name, seconds,
               size / 1024.0 / seconds, (records + 3.0 * (size / 0x2000)) / seconds, status);
    }
    /* The bus's own limit: full-speed bulk moves at most 19 packets of 64 bytes per 1 ms frame. */
    printf("  full-speed bus limit for the same traffic: %.3f s (19 x 64 bytes per ms)\n",
           bytes / (19.0 * 64.0) / 1000.0);
    printf("  high-speed bus limit for the same traffic: %.3f s (13 x 512 bytes per 125 us)\n",
           bytes / (13.0 * 512.0) / 8000.0);
    return 0;
}
