/*
 * What the benchmark and the fuzz script print: the spread of the runs and what limits each
 * row (update_bench), and per target "no crash" or the crash (scripts/fuzz, with stand-in
 * fuzz targets in a tree of its own).
 */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

/* Runs a shell command; its standard output and error together, and its exit status. */
std::string Output(const std::string &command, int *status)
{
    std::string text;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == NULL) {
        *status = -1;
        return text;
    }
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, count);
    }
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
}

class BenchFuzzReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = ::testing::TempDir() + "bench_fuzz_report_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        Dir = name.data();
    }
    void TearDown() override { (void)!system(("rm -rf '" + Dir + "'").c_str()); }

    std::string Dir;
};

TEST_F(BenchFuzzReportTest, UpdateBenchPrintsTheSpreadOfItsRunsAndWhatBoundsEachRow)
{
    int status = 0;
    std::string out = Output("cd '" + Dir + "' && MURVO_BENCH_RUNS=3 '" UPDATE_BENCH_PATH "' 0x40000", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("runs    min s median s    max s"), std::string::npos) << out;
    for (const char *row : {"untimed, full speed", "untimed, high speed"}) {
        size_t at = out.find(row);
        ASSERT_NE(at, std::string::npos) << out;
        std::string line = out.substr(at, out.find('\n', at) - at);
        double runs = 0, low = 0, middle = 0, high = 0;
        ASSERT_EQ(sscanf(line.c_str() + 20, "%lf %lf %lf %lf", &runs, &low, &middle, &high), 4) << line;
        EXPECT_EQ(runs, 3) << line;
        EXPECT_TRUE(low <= middle && middle <= high) << line;
        EXPECT_TRUE(line.find("the simulator") != std::string::npos ||
                    line.find("the bus on real hardware") != std::string::npos)
            << line;
    }
    EXPECT_NE(out.find("\n  bound by    "), std::string::npos) << out;
}

TEST_F(BenchFuzzReportTest, FuzzScriptSaysNoCrashOrTheCrashPerTarget)
{
    /* Stand-ins for two targets that print what libFuzzer prints at the end of a run. */
    std::string command = "mkdir -p '" + Dir + "/scripts' '" + Dir +
                          "/build/fuzz/bin' && cp '" MURVO_SOURCE_DIR "/scripts/fuzz' '" + Dir + "/scripts/'";
    ASSERT_EQ(system(command.c_str()), 0);
    const char *done = "#!/bin/sh\n"
                       "echo '#4096 DONE   cov: 120 ft: 340 corp: 15/6172b lim: 4 exec/s: 400 rss: 40Mb'\n"
                       "echo 'stat::number_of_executed_units: 4096'\n"
                       "echo 'stat::average_exec_per_sec:     400'\n";
    const char *crash = "#!/bin/sh\n"
                        "echo '#12 NEW    cov: 7 ft: 9 corp: 2/10b lim: 4 exec/s: 0 rss: 30Mb'\n"
                        "echo '==1==ERROR: AddressSanitizer: heap-buffer-overflow'\n"
                        "echo 'Test unit written to build/fuzz/artifacts/pipe_names/crash-1'\n"
                        "exit 77\n";
    for (auto target : {std::make_pair("rom_image", done), std::make_pair("pipe_names", crash)}) {
        std::string path = Dir + "/build/fuzz/bin/fuzz_" + target.first;
        std::ofstream(path) << target.second;
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    int status = 0;
    std::string out = Output("cd '" + Dir + "' && MURVO_FUZZ_NO_BUILD=1 ./scripts/fuzz rom_image 1", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\nrom_image      no crash  "), std::string::npos) << out;
    EXPECT_NE(out.find("executions 4096 (400/s)  coverage 120 edges, 340 features  corpus 15 inputs (6172b)"),
              std::string::npos)
        << out;
    for (const char *legend : {"executions  inputs run", "\ncoverage    edges: ", "\ncorpus      inputs: "}) {
        EXPECT_NE(out.find(legend), std::string::npos) << legend << out;
    }
    out = Output("cd '" + Dir + "' && MURVO_FUZZ_NO_BUILD=1 ./scripts/fuzz pipe_names 1", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("\npipe_names     CRASH     "), std::string::npos) << out;
    EXPECT_NE(out.find("reproducer: build/fuzz/artifacts/pipe_names/crash-1"), std::string::npos) << out;
    EXPECT_NE(out.find("heap-buffer-overflow"), std::string::npos) << out;
}

} // namespace
