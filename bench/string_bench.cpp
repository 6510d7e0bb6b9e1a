// string_bench.cpp - the string, message and identifier calls against the C
// library calls they stand in for.
//
// Three pairs run side by side in one program, their repetitions interleaved
// in random order so that both sides of a pair see the same machine state:
//   - ov_str_to of a 64-byte piece at a position, against strlen and memcpy
//     of the same bytes (terminator included);
//   - ov_error_string of a library code, against memcpy of the message whose
//     address and length are already known;
//   - ov_uuid_append, against libuuid's uuid_generate and uuid_unparse_lower.
// After the table the program prints each pair's ratio of median times
// (library / C) with its target. Google Benchmark flags may be given; the
// defaults below come first, so the caller's flags override them.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovuuid.h>

#include <benchmark/benchmark.h>
#include <uuid/uuid.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 8192;
constexpr size_t kPosition = 100;
// 64 bytes of text, as a path component or a log field might be.
constexpr char kPiece[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
static_assert(sizeof kPiece == 65);
constexpr int32_t kCode = EBUFFER;
constexpr char kMessage[] = "Insufficient buffer space";  // kCode's message

void BM_ov_str_to(benchmark::State &state) {
    static char buf[kBufferSize];
    for (auto _ : state) {
        const char *src = kPiece;
        benchmark::DoNotOptimize(src);  // so the length cannot be folded
        size_t pos = kPosition;
        benchmark::DoNotOptimize(ov_str_to(buf, src, sizeof buf, &pos));
        benchmark::DoNotOptimize(pos);
        benchmark::ClobberMemory();
    }
}

void BM_strlen_memcpy(benchmark::State &state) {
    static char buf[kBufferSize];
    for (auto _ : state) {
        const char *src = kPiece;
        benchmark::DoNotOptimize(src);
        size_t n = std::strlen(src);
        std::memcpy(buf + kPosition, src, n + 1);
        size_t pos = kPosition + n;
        benchmark::DoNotOptimize(pos);
        benchmark::ClobberMemory();
    }
}

void BM_ov_error_string(benchmark::State &state) {
    char buf[256];
    for (auto _ : state) {
        int32_t code = kCode;
        benchmark::DoNotOptimize(code);
        benchmark::DoNotOptimize(ov_error_string(code, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
}

void BM_message_memcpy(benchmark::State &state) {
    char buf[256];
    for (auto _ : state) {
        const char *msg = kMessage;
        size_t len = sizeof kMessage - 1;
        benchmark::DoNotOptimize(msg);
        benchmark::DoNotOptimize(len);
        std::memcpy(buf, msg, len + 1);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}

void BM_ov_uuid_append(benchmark::State &state) {
    char buf[64];
    for (auto _ : state) {
        uint64_t pos = 0;
        benchmark::DoNotOptimize(ov_uuid_append(buf, sizeof buf, &pos));
        benchmark::ClobberMemory();
    }
}

void BM_uuid_generate_unparse(benchmark::State &state) {
    char buf[64];
    for (auto _ : state) {
        uuid_t id;
        uuid_generate(id);
        uuid_unparse_lower(id, buf);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_ov_str_to);
BENCHMARK(BM_strlen_memcpy);
BENCHMARK(BM_ov_error_string);
BENCHMARK(BM_message_memcpy);
BENCHMARK(BM_ov_uuid_append);
BENCHMARK(BM_uuid_generate_unparse);

struct Pair {
    const char *library;
    const char *baseline;
    const char *label;
    double target;
};

constexpr Pair kPairs[] = {
    {"BM_ov_str_to", "BM_strlen_memcpy", "ov_str_to / strlen+memcpy", 2.0},
    {"BM_ov_error_string", "BM_message_memcpy", "ov_error_string / memcpy", 2.0},
    {"BM_ov_uuid_append", "BM_uuid_generate_unparse",
     "ov_uuid_append / uuid_generate+unparse_lower", 1.5},
};

// The console table as usual, and each benchmark's median time per
// iteration kept for the ratios. A run without repetitions has no median
// row; its single time stands in for it.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that a log of the run stays plain text.
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
        for (const Pair &p : kPairs) {
            auto lib = median_.find(p.library);
            auto base = median_.find(p.baseline);
            if (lib == median_.end() || base == median_.end() || base->second <= 0) continue;
            const double ratio = lib->second / base->second;
            std::printf("ratio %-46s %6.2f  (%.2f ns / %.2f ns, target <= %.1f: %s)\n", p.label,
                        ratio, lib->second, base->second, p.target,
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
