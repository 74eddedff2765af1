/*
 * replay_main.cpp - runs a fuzz target once on every file named on the command line, or on
 * every file of a named directory (sorted by name), without the fuzzer. A broken property
 * aborts, so the test fails on the first input that breaks one.
 */
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static int ReplayFile(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
    return 0;
}

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path)) {
            for (const auto &entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        for (const auto &file : files) {
            if (ReplayFile(file) != 0) {
                return 1;
            }
            count++;
        }
    }
    if (count == 0) {
        fprintf(stderr, "no input to replay\n");
        return 1;
    }
    printf("%zu inputs replayed, every property held\n", count);
    return 0;
}
