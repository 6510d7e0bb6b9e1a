// Starting, reaping and timing the programs the whole-process benchmarks
// compare, and the table they print the times in.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ovbench {

// Starts args[0] (searched on PATH) with args, its standard output written
// to stdout_path; a start that fails ends the benchmark with status 2.
inline pid_t spawn(const std::vector<std::string> &args, const char *stdout_path = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "spawn %s: %s\n", argv[0], std::strerror(rc));
        std::exit(2);
    }
    return pid;
}

// Waits for pid; its exit status, or 128 + N for death by signal N.
inline int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The monotonic clock in nanoseconds.
inline int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The monotonic time in nanoseconds that a stamp command (a program that
// writes mono_ns() at its start into a file) left in path; -1 when there is
// none.
inline int64_t read_stamp(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "r");
    long long value = -1;
    if (f == nullptr || std::fscanf(f, "%lld", &value) != 1) value = -1;
    if (f != nullptr) std::fclose(f);
    return value;
}

// Runs a command to its exit, its standard output written to stdout_path;
// milliseconds. A command that exits with another status than expect ends
// the benchmark with status 2.
inline double time_run(const std::vector<std::string> &args, const char *stdout_path = "/dev/null",
                       int expect = 0) {
    const int64_t t = mono_ns();
    const int code = wait_exit(spawn(args, stdout_path));
    if (code != expect) {
        std::fprintf(stderr, "%s exited %d\n", args[0].c_str(), code);
        std::exit(2);
    }
    return static_cast<double>(mono_ns() - t) / 1e6;
}

// The value at fraction p of the sorted samples (0.5: the median).
inline double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

inline double median(std::vector<double> v) {
    return percentile(std::move(v), 0.5);
}

// Rounds of a side-by-side comparison: each step once a round, in turn, so
// that all of them see the same machine state, and warm_up rounds first
// whose times are not kept. A step returns its time in milliseconds; the
// result holds the kept times of each step.
inline std::vector<std::vector<double>> interleaved_rounds(
    int warm_up, int rounds, const std::vector<std::function<double()>> &steps) {
    std::vector<std::vector<double>> times(steps.size());
    for (int round = 0; round < warm_up + rounds; ++round) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const double ms = steps[i]();
            if (round >= warm_up) times[i].push_back(ms);
        }
    }
    return times;
}

// The table of such a comparison: a header line, then a row a step with
// the median and the 90th percentile of its times.
inline void print_times_header() {
    std::printf("%-34s %9s %9s\n", "", "median", "p90");
}

inline void print_times(const char *label, const std::vector<double> &ms) {
    std::printf("%-34s %7.3f ms %7.3f ms\n", label, median(ms), percentile(ms, 0.9));
}

}  // namespace ovbench
