// log_bench.cpp - the file logger against write(2) of the same lines and against spdlog.
//
// The first part runs three writers side by side, each writing 1,000,000
// lines of about 100 bytes from one thread into a file of its own, in
// several rounds whose order rotates so that every writer sees the same
// machine state:
//   - floor: write(2) of lines formatted beforehand, one call per line;
//   - ovlog: ov_log to the file destination (one write per line, by design);
//   - spdlog: a basic file sink flushed after every line, so that it too
//     makes one write call per line.
// It prints each writer's median time per line and the ratios with their
// targets: ovlog at least 0.7 of the floor's speed, at least 1.5 times
// spdlog's. The second part is Google Benchmark: a call above the threshold
// and a suppressed repeat, which must not make a system call (the log file
// must not grow while it runs).
//
// Usage: log_bench [--lines=N] [--rounds=N] [--dir=DIR] [benchmark flags]
#include <ovplatform/ovlog.h>

#include <benchmark/benchmark.h>

#ifdef OV_BENCH_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kWorkers[][12] = {"reader-01", "writer-02", "indexer-03", "cleaner-04"};

// The message of line i; with ov_log's prefix and tag the line is about 100
// bytes long.
#define LINE_FORMAT "request %07d served in %4d us by worker %s"
#define LINE_ARGS(i) (i), ((i)*7) % 10000, kWorkers[(i) % 4]

std::string g_dir;
int g_lines = 1000000;
int g_rounds = 5;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The lines ovlog writes, formatted beforehand with a fixed time, pid and
// thread: the same bytes per call, so the floor measures the write alone.
double run_floor() {
    const std::string path = g_dir + "/floor.log";
    std::vector<std::string> lines(1000);
    for (int i = 0; i < 1000; ++i) {
        char text[256];
        std::snprintf(text, sizeof text, "2024-03-05 14:07:09.042 [%x-%08lx] LOG " LINE_FORMAT "\n",
                      static_cast<unsigned>(getpid()), 0x7f2c4a1b8700ul, LINE_ARGS(i));
        lines[static_cast<size_t>(i)] = text;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (fd < 0) return -1;
    const auto start = Clock::now();
    for (int i = 0; i < g_lines; ++i) {
        const std::string &line = lines[static_cast<size_t>(i % 1000)];
        if (write(fd, line.data(), line.size()) < 0) break;
    }
    const double t = seconds_since(start);
    close(fd);
    unlink(path.c_str());
    return t;
}

double run_ovlog() {
    const std::string dir = g_dir + "/ovlog";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    // One file for the whole run: rotation is not what is measured.
    ov_log_set_max_file_mb(4095);
    if (ov_log_open(OV_LOG_FILE, (dir + "/bench.log").c_str()) != 0) return -1;
    const auto start = Clock::now();
    for (int i = 0; i < g_lines; ++i)
        ov_log(3, "bench/log_bench", __LINE__, LINE_FORMAT, LINE_ARGS(i));
    const double t = seconds_since(start);
    ov_log_close();
    std::filesystem::remove_all(dir);
    return t;
}

#ifdef OV_BENCH_SPDLOG
double run_spdlog() {
    const std::string path = g_dir + "/spdlog.log";
    auto logger = spdlog::basic_logger_mt("bench", path, true);
    // The same fields as an ovlog line: local time with milliseconds, pid,
    // thread, tag and message.
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%P-%t] LOG %v");
    logger->flush_on(spdlog::level::trace);
    const auto start = Clock::now();
    for (int i = 0; i < g_lines; ++i)
        logger->info("request {:07d} served in {:4d} us by worker {}", i, (i * 7) % 10000,
                     kWorkers[i % 4]);
    const double t = seconds_since(start);
    spdlog::drop("bench");
    logger.reset();
    unlink(path.c_str());
    return t;
}
#endif

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void side_by_side() {
    std::map<std::string, double (*)()> writers = {{"floor", run_floor}, {"ovlog", run_ovlog}};
#ifdef OV_BENCH_SPDLOG
    writers["spdlog"] = run_spdlog;
#endif
    std::vector<std::string> order;
    for (const auto &w : writers) order.push_back(w.first);
    std::map<std::string, std::vector<double>> times;
    for (int r = 0; r < g_rounds; ++r) {
        for (size_t k = 0; k < order.size(); ++k) {
            const std::string &name = order[(k + static_cast<size_t>(r)) % order.size()];
            const double t = writers[name]();
            if (t < 0) {
                std::fprintf(stderr, "log_bench: %s could not run in %s\n", name.c_str(),
                             g_dir.c_str());
                std::exit(1);
            }
            times[name].push_back(t);
        }
    }
    std::printf("%d lines per writer, %d rounds, files in %s\n", g_lines, g_rounds, g_dir.c_str());
    std::map<std::string, double> per_line;
    for (const auto &[name, v] : times) {
        per_line[name] = median(v) / g_lines * 1e9;
        std::printf("  %-7s median %7.1f ns/line  (%.3f s per run)\n", name.c_str(), per_line[name],
                    median(v));
    }
    std::printf("  speed of ovlog / floor  = %.2f (target >= 0.70)\n",
                per_line["floor"] / per_line["ovlog"]);
#ifdef OV_BENCH_SPDLOG
    std::printf("  speed of ovlog / spdlog = %.2f (target >= 1.50)\n",
                per_line["spdlog"] / per_line["ovlog"]);
#else
    std::printf("  spdlog not found at build time: no comparison\n");
#endif
    std::fflush(stdout);
}

// ---- Google Benchmark: calls that must not reach the file -----------------------------------

class FileLog {
  public:
    FileLog() {
        path_ = g_dir + "/gbench";
        std::filesystem::remove_all(path_);
        std::filesystem::create_directory(path_);
        ov_log_open(OV_LOG_FILE, (path_ + "/bench.log").c_str());
    }
    ~FileLog() {
        ov_log_close();
        std::filesystem::remove_all(path_);
    }
    off_t size() const {
        struct stat st {};
        return stat((path_ + "/bench.0.log").c_str(), &st) == 0 ? st.st_size : -1;
    }

  private:
    std::string path_;
};

void BM_AboveThreshold(benchmark::State &state) {
    FileLog log;
    ov_log_set_level(3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_log(4, "bench/log_bench", __LINE__, LINE_FORMAT, LINE_ARGS(7)));
    }
    if (log.size() != 0) state.SkipWithError("a filtered message reached the file");
}
BENCHMARK(BM_AboveThreshold);

void BM_SuppressedRepeat(benchmark::State &state) {
    FileLog log;
    ov_log(3, "bench/log_bench", __LINE__, LINE_FORMAT, LINE_ARGS(7));
    const off_t before = log.size();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_log(3, "bench/log_bench", __LINE__, LINE_FORMAT, LINE_ARGS(7)));
    }
    // The run of repeats is still open: nothing may have been written.
    if (log.size() != before) state.SkipWithError("a repeat reached the file");
}
BENCHMARK(BM_SuppressedRepeat);

void BM_WrittenLine(benchmark::State &state) {
    FileLog log;
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_log(3, "bench/log_bench", __LINE__, LINE_FORMAT, LINE_ARGS(i)));
        ++i;
    }
}
BENCHMARK(BM_WrittenLine);

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--lines=", 8) == 0)
            g_lines = std::atoi(argv[i] + 8);
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            g_rounds = std::atoi(argv[i] + 9);
        else if (std::strncmp(argv[i], "--dir=", 6) == 0)
            g_dir = argv[i] + 6;
        else
            rest.push_back(argv[i]);
    }
    bool own_dir = false;
    if (g_dir.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "log_bench.XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) return 1;
        g_dir = tmpl;
        own_dir = true;
    }
    if (g_lines < 1 || g_rounds < 1) return 1;
    side_by_side();

    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (own_dir) std::filesystem::remove_all(g_dir);
    return 0;
}
