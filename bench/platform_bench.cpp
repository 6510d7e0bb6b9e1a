// platform_bench.cpp - the platform module's child processes, signal names and
// user names against the system calls they stand in for.
//
// Side by side in one program, repetitions interleaved in random order:
//   - ov_platform_process_start of /bin/true and ov_platform_process_wait
//     for it, against posix_spawn and waitpid of the same program, with the
//     open-file limit raised to 1,048,576 first: the child closes every
//     descriptor above 2 before it runs the program, which must not cost a
//     system call per possible descriptor;
//   - ov_platform_user_name of an existing id (root, and nobody near the end
//     of the account file), against a bare getpwuid_r with a buffer of the
//     same size as the look-up's first one;
//   - ov_platform_signal_number of a mix of names, which has a target of
//     its own in nanoseconds per call.
// After the table the program prints each pair's ratio of median times
// (library / system) with its target, and the nanoseconds per name. Google
// Benchmark flags may be given; the defaults of ratio_main.h come first, so
// the caller's flags override them.
#include <ovplatform/ovplatform.h>

#include <benchmark/benchmark.h>

#include "ratio_main.h"
#include <pwd.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr char kProgram[] = "/bin/true";
constexpr rlim_t kOpenFileLimit = 1048576;
// The first buffer of the library's account look-ups (internal/limits.h).
constexpr size_t kAccountBuffer = 1024;
constexpr uid_t kNobody = 65534;
constexpr double kSignalNumberTargetNs = 100.0;

// ---- Child processes ------------------------------------------------------------------------

void BM_ov_platform_process_start_wait(benchmark::State &state) {
    for (auto _ : state) {
        pid_t pid = -1;
        if (ov_platform_process_start(&pid, kProgram, nullptr, 0) != 0) {
            state.SkipWithError("ov_platform_process_start failed");
            break;
        }
        int32_t code = -1;
        if (ov_platform_process_wait(pid, 10000, &code) != 0 || code != 0) {
            state.SkipWithError("the child did not end well");
            break;
        }
    }
}

void BM_posix_spawn_waitpid(benchmark::State &state) {
    char *const argv[] = {const_cast<char *>(kProgram), nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the child did not end well");
            break;
        }
    }
}

// ---- User names ---------------------------------------------------------------------------

void user_name(benchmark::State &state, uid_t uid) {
    char name[64];
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_platform_user_name(uid, name, sizeof name));
        benchmark::DoNotOptimize(name);
    }
}

void bare_getpwuid_r(benchmark::State &state, uid_t uid) {
    char buffer[kAccountBuffer];
    for (auto _ : state) {
        struct passwd record {};
        struct passwd *found = nullptr;
        benchmark::DoNotOptimize(getpwuid_r(uid, &record, buffer, sizeof buffer, &found));
        benchmark::DoNotOptimize(found);
    }
}

void BM_ov_platform_user_name_root(benchmark::State &state) {
    user_name(state, 0);
}
void BM_getpwuid_r_root(benchmark::State &state) {
    bare_getpwuid_r(state, 0);
}
void BM_ov_platform_user_name_nobody(benchmark::State &state) {
    user_name(state, kNobody);
}
void BM_getpwuid_r_nobody(benchmark::State &state) {
    bare_getpwuid_r(state, kNobody);
}

// ---- Signal names ---------------------------------------------------------------------------

// Names as callers write them: with and without the prefix, in any case,
// from the start and the end of the table, and an alias.
const char *const kSignalNames[] = {"SIGTERM", "hup",     "SigKill", "SIGSYS",
                                    "io",      "sigusr1", "WINCH",   "SIGIOT"};
constexpr size_t kSignalNameCount = sizeof kSignalNames / sizeof kSignalNames[0];

void BM_ov_platform_signal_number(benchmark::State &state) {
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_platform_signal_number(kSignalNames[i]));
        i = i + 1 == kSignalNameCount ? 0 : i + 1;
    }
}

BENCHMARK(BM_ov_platform_process_start_wait)->UseRealTime();
BENCHMARK(BM_posix_spawn_waitpid)->UseRealTime();
BENCHMARK(BM_ov_platform_user_name_root);
BENCHMARK(BM_getpwuid_r_root);
BENCHMARK(BM_ov_platform_user_name_nobody);
BENCHMARK(BM_getpwuid_r_nobody);
BENCHMARK(BM_ov_platform_signal_number);

// ---- Ratios and the one absolute target ---------------------------------------------------

// Real time for the processes: the parent spends the wait asleep, and the
// child's time is not the parent's CPU time.
constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_platform_process_start_wait", "BM_posix_spawn_waitpid",
     "process_start+wait / posix_spawn+waitpid", 1.5, false},
    {"BM_ov_platform_user_name_root", "BM_getpwuid_r_root", "user_name(0) / getpwuid_r", 1.2, true},
    {"BM_ov_platform_user_name_nobody", "BM_getpwuid_r_nobody", "user_name(65534) / getpwuid_r",
     1.2, true},
};

// The signal-name time against its target.
void print_signal_number(const ovbench::RatioReporter &reporter) {
    const double ns = reporter.median_cpu("BM_ov_platform_signal_number");
    if (ns >= 0)
        ovbench::print_target("ov_platform_signal_number per name", ns, kSignalNumberTargetNs);
}

// Raises the open-file limit to kOpenFileLimit where the kernel allows as
// many (fs.nr_open) and the process may raise its hard limit (root).
void raise_open_file_limit() {
    rlim_t most = kOpenFileLimit;
    if (FILE *f = std::fopen("/proc/sys/fs/nr_open", "r")) {
        unsigned long long nr_open = 0;
        if (std::fscanf(f, "%llu", &nr_open) == 1 && nr_open < most) most = nr_open;
        std::fclose(f);
    }
    rlimit limit{most, most};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    std::printf("open-file limit for the process benchmarks: %llu%s\n",
                static_cast<unsigned long long>(limit.rlim_cur),
                limit.rlim_cur < kOpenFileLimit ? " (could not be raised to 1048576)" : "");
}

}  // namespace

int main(int argc, char **argv) {
    raise_open_file_limit();
    return ovbench::run_with_ratios(argc, argv, kPairs, print_signal_number);
}
