// path_bench.cpp - the canonical form of paths against the C++ library's
// lexical normal form.
//
// Both sides bring the same mix of paths to their normal form in every
// iteration: paths that are already normal (absolute, as a program sees
// them most of the time), paths with "." and "..", repeated and trailing
// separators, leading ".." and paths of about 200 bytes. Repetitions run
// interleaved in random order so that both sides see the same machine
// state. After the table the program prints the ratio of median times
// (library / C++ library) with its target. Google Benchmark flags may be
// given; the defaults below come first, so the caller's flags override them.
#include <ovplatform/ovpath.h>

#include <benchmark/benchmark.h>

#include "ratio_main.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 8192;

std::vector<std::string> MakeInputs() {
    std::vector<std::string> inputs = {
        "/usr/local/lib/orvane/plugins/libtransfer.so",
        "/var/lock/ovlockfile/nightly-import.lck",
        "/home/build/projects/orvane/base/ovplatform/src/ovpath.cpp",
        "/opt/orvane/var/log/ovlockfile.log",
        "/a/b/../c",
        "/srv/data/./incoming/../archive/2024/",
        "a/./b//c/",
        "reports//monthly/./summary.txt",
        "../include/ovplatform/ovpath.h",
        "../../../shared/config/../orvane.conf",
    };
    // About 200 bytes: a deep, already normal path and one that is not.
    std::string deep = "/srv/orvane/instances";
    while (deep.size() < 190) deep += "/segment" + std::to_string(deep.size());
    inputs.push_back(deep + "/file.dat");
    std::string messy = "/srv/orvane//instances/./staging";
    while (messy.size() < 185) messy += "/part" + std::to_string(messy.size()) + "/../keep/.";
    inputs.push_back(messy + "/file.dat");
    return inputs;
}

const std::vector<std::string> &Inputs() {
    static const std::vector<std::string> inputs = MakeInputs();
    return inputs;
}

void BM_ov_path_canonical(benchmark::State &state) {
    static char out[kBufferSize];
    const auto &inputs = Inputs();
    for (auto _ : state) {
        for (const std::string &s : inputs) {
            const char *in = s.c_str();
            benchmark::DoNotOptimize(in);
            benchmark::DoNotOptimize(ov_path_canonical(in, out, sizeof out));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(inputs.size()));
}

void BM_lexically_normal(benchmark::State &state) {
    const auto &inputs = Inputs();
    for (auto _ : state) {
        for (const std::string &s : inputs) {
            std::filesystem::path normal = std::filesystem::path(s).lexically_normal();
            benchmark::DoNotOptimize(normal.native().data());
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(inputs.size()));
}

BENCHMARK(BM_ov_path_canonical);
BENCHMARK(BM_lexically_normal);

constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_path_canonical", "BM_lexically_normal",
     "ov_path_canonical / path(s).lexically_normal()", 0.25},
};

}  // namespace

int main(int argc, char **argv) {
    return ovbench::run_with_ratios(argc, argv, kPairs);
}
