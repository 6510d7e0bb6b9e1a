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

struct Pair {
    const char *library;
    const char *baseline;
    const char *label;
    double target;
};

constexpr Pair kPairs[] = {
    {"BM_ov_path_canonical", "BM_lexically_normal",
     "ov_path_canonical / path(s).lexically_normal()", 0.25},
};

// The console table as usual, and each benchmark's median time per
// iteration kept for the ratios. A run without repetitions has no median
// row; its single time stands in for it.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") median_[name] = run.GetAdjustedRealTime();
            } else if (run.repetitions <= 1) {
                median_[name] = run.GetAdjustedRealTime();
            }
        }
    }

    void PrintRatios() const {
        std::printf("\n");
        const size_t count = Inputs().size();
        for (const Pair &p : kPairs) {
            auto lib = median_.find(p.library);
            auto base = median_.find(p.baseline);
            if (lib == median_.end() || base == median_.end() || base->second <= 0) continue;
            const double ratio = lib->second / base->second;
            std::printf("ratio %-48s %6.3f  (%.1f ns / %.1f ns per path, target <= %.2f: %s)\n",
                        p.label, ratio, lib->second / count, base->second / count, p.target,
                        ratio <= p.target ? "met" : "MISSED");
        }
    }

  private:
    std::map<std::string, double> median_;
};

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> args;
    args.push_back(argv[0]);
    char repetitions[] = "--benchmark_repetitions=9";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    char min_time[] = "--benchmark_min_time=0.2";
    args.push_back(repetitions);
    args.push_back(interleave);
    args.push_back(aggregates);
    args.push_back(min_time);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
