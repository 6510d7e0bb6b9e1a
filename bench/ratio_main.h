// ratio_main.h - the common main of the in-process benchmarks.
//
// Each benchmark program measures library calls next to the C library or
// system calls they stand in for, and ends by printing, for each pair, the
// ratio of their median times against the target. Runs are repeated nine
// times in random interleaving so that both sides of a pair see the same
// machine state.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace ovbench {

// A library benchmark, the baseline it is compared with, and the highest
// ratio that meets the target. A pair that runs on one thread is compared by
// CPU time, which a busy machine's preemptions do not inflate; a pair whose
// threads spend most of their time asleep is compared by real time.
struct Pair {
    const char *library;
    const char *baseline;
    const char *label;
    double target;
    bool cpu_time = false;
};

// The console table as usual, and each benchmark's median real and CPU times
// per iteration kept for the ratios. A run without repetitions has no median
// row; its single time stands in for it.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that a log of the run stays plain text.
    explicit RatioReporter(std::span<const Pair> pairs)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular), pairs_(pairs) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name;
            if ((run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") ||
                (run.run_type != Run::RT_Aggregate && run.repetitions <= 1)) {
                median_real_[name] = run.GetAdjustedRealTime();
                median_cpu_[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void PrintRatios() const {
        std::printf("\n");
        for (const Pair &p : pairs_) {
            const auto &median = p.cpu_time ? median_cpu_ : median_real_;
            auto lib = median.find(p.library);
            auto base = median.find(p.baseline);
            if (lib == median.end() || base == median.end() || base->second <= 0) continue;
            const double ratio = lib->second / base->second;
            std::printf("ratio %-48s %6.2f  (%.2f ns / %.2f ns %s, target <= %.2f: %s)\n", p.label,
                        ratio, lib->second, base->second, p.cpu_time ? "cpu" : "real", p.target,
                        ratio <= p.target ? "met" : "MISSED");
        }
    }

    // A benchmark's median CPU time per iteration, in its time unit; -1 when
    // it did not run.
    double median_cpu(const std::string &name) const {
        auto it = median_cpu_.find(name);
        return it != median_cpu_.end() ? it->second : -1;
    }

  private:
    std::span<const Pair> pairs_;
    std::map<std::string, double> median_real_;
    std::map<std::string, double> median_cpu_;
};

// Initialises Google Benchmark with the defaults above (nine interleaved
// repetitions, medians only, 0.2 s each; the command line may override
// them). @return false for an argument it does not know.
inline bool initialize(int argc, char **argv) {
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
    return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

// Runs the registered benchmarks with those defaults and prints the ratios
// of the pairs, then what figures prints from the medians (throughputs,
// absolute targets), when given.
inline int run_with_ratios(int argc, char **argv, std::span<const Pair> pairs,
                           const std::function<void(const RatioReporter &)> &figures = {}) {
    if (!initialize(argc, argv)) return 1;
    RatioReporter reporter(pairs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    if (figures) figures(reporter);
    benchmark::Shutdown();
    return 0;
}

// A line for a time against an absolute target, in nanoseconds of CPU.
inline void print_target(const char *label, double ns, double target_ns) {
    std::printf("time  %-48s %9.2f ns (cpu, target <= %.0f ns: %s)\n", label, ns, target_ns,
                ns <= target_ns ? "met" : "MISSED");
}

}  // namespace ovbench
