// lockrun_bench.cpp - the command tool measured side by side with flock(1).
//
//   run:   `ovlockrun FILE true` from exec to exit, against `flock FILE true`
//          and a bare `true`, in interleaved rounds, every command started
//          directly with posix_spawn (no shell in between);
//   wake:  a waiting `ovlockrun -w 30 FILE STAMP` whose lock this program
//          holds through the library; after a hold of 100 to 600 ms (drawn
//          afresh each round, so that the release falls anywhere in the
//          waiter's back-off) the lock is released, and the time from the
//          release to the start of the command (STAMP is this program,
//          writing the monotonic clock into a file) is taken;
//   contention: N contenders (4, 16, 32), started together, each running
//          `ovlockrun -w 60 FILE true` 40 times in a row on one FILE, against
//          the same with `flock -w 60 FILE true`; the total wall time of
//          each, in interleaved repeats, and the ratio of their medians.
//
// Usage: lockrun_bench OVLOCKRUN [ROUNDS] [WAKE_ROUNDS] [CONTENTION_REPEATS]
#include <ovplatform/ovlockfile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "spawn.h"

extern char **environ;

namespace {

using ovbench::median;
using ovbench::mono_ns;
using ovbench::percentile;
using ovbench::spawn;
using ovbench::time_run;
using ovbench::wait_exit;

// The STAMP command: the monotonic clock at its start, into a file.
int stamp(const char *path) {
    const int64_t now = mono_ns();
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "%lld\n", static_cast<long long>(now));
    return std::fclose(f) == 0 ? 0 : 1;
}

// Runs `args` kRunsPerContender times in a row in each of n contender
// processes, all started at once; returns the milliseconds from the start to
// the last one's end.
constexpr int kRunsPerContender = 40;

double time_contention(int n, const std::vector<std::string> &args) {
    int go[2];
    if (pipe(go) != 0) std::exit(2);
    std::vector<pid_t> contenders;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid < 0) std::exit(2);
        if (pid == 0) {
            close(go[1]);
            char byte;
            // The start: end of file once every contender is there.
            while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
            }
            for (int run = 0; run < kRunsPerContender; ++run)
                if (wait_exit(spawn(args)) != 0) _exit(1);
            _exit(0);
        }
        contenders.push_back(pid);
    }
    close(go[0]);
    const int64_t t = mono_ns();
    close(go[1]);
    bool failed = false;
    for (const pid_t pid : contenders) failed = wait_exit(pid) != 0 || failed;
    const double ms = static_cast<double>(mono_ns() - t) / 1e6;
    if (failed) {
        std::fprintf(stderr, "a contender running %s failed\n", args[0].c_str());
        std::exit(2);
    }
    return ms;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "stamp") == 0) return stamp(argv[2]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OVLOCKRUN [ROUNDS] [WAKE_ROUNDS] [CONTENTION_REPEATS]\n",
                     argv[0]);
        return 2;
    }
    const std::string tool = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    const int wake_rounds = argc > 3 ? std::atoi(argv[3]) : 50;
    const int contention_repeats = argc > 4 ? std::atoi(argv[4]) : 3;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    self[n] = '\0';

    char dir_template[] = "/tmp/ovrunbench.XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string lock = dir + "/res";
    const std::string flock_file = dir + "/flock";
    const std::string stamp_file = dir + "/stamp";

    const auto times =
        ovbench::interleaved_rounds(5, rounds,
                                    {[&] { return time_run({"true"}); },
                                     [&] {
                                         return time_run({"flock", flock_file, "true"});
                                     },
                                     [&] {
                                         return time_run({tool, lock, "true"});
                                     }});
    std::printf("ovlockrun: %d rounds (interleaved, after 5 warm-up rounds), file system of %s\n",
                rounds, dir.c_str());
    ovbench::print_times_header();
    ovbench::print_times("true (bare process start)", times[0]);
    ovbench::print_times("flock FILE true", times[1]);
    ovbench::print_times("ovlockrun FILE true", times[2]);
    std::printf("ratio ovlockrun / flock (median): %.2f  (target <= 0.90)\n",
                median(times[2]) / median(times[1]));

    std::mt19937 rng(static_cast<unsigned>(mono_ns()));
    std::uniform_int_distribution<int> hold_ms(100, 600);
    std::vector<double> wake;
    for (int i = 0; i < wake_rounds; ++i) {
        ov_lockfile_t held;
        if (ov_lockfile_acquire_continuous(&held, lock.c_str(), 60) != 0) {
            std::fprintf(stderr, "cannot hold %s\n", lock.c_str());
            return 2;
        }
        unlink(stamp_file.c_str());
        const pid_t waiter = spawn({tool, "-w", "30", lock, self, "stamp", stamp_file});
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms(rng)));
        const int64_t released = mono_ns();
        if (ov_lockfile_release(&held) != 0) {
            std::fprintf(stderr, "cannot release %s\n", lock.c_str());
            return 2;
        }
        const int code = wait_exit(waiter);
        const int64_t started = ovbench::read_stamp(stamp_file);
        if (code != 0 || started < 0) {
            std::fprintf(stderr, "waiting ovlockrun exited %d, command stamp %lld\n", code,
                         static_cast<long long>(started));
            return 2;
        }
        wake.push_back(static_cast<double>(started - released) / 1e6);
    }
    if (!wake.empty()) {
        std::printf(
            "release to the waiting ovlockrun -w's command start, %d rounds: median %.3f ms, "
            "p90 %.3f ms, max %.3f ms  (target: median <= 100 ms)\n",
            wake_rounds, median(wake), percentile(wake, 0.9),
            *std::max_element(wake.begin(), wake.end()));
    }

    if (contention_repeats > 0) {
        std::printf(
            "contention: N contenders started together, each running the command %d "
            "times on one FILE; total wall time, median of %d interleaved repeats\n",
            kRunsPerContender, contention_repeats);
        std::printf("%-4s %22s %22s %7s\n", "N", "flock -w 60 FILE true", "ovlockrun -w 60 FILE",
                    "ratio");
    }
    for (const int n : {4, 16, 32}) {
        if (contention_repeats <= 0) break;
        std::vector<double> t_flock_n, t_tool_n;
        for (int i = 0; i < contention_repeats; ++i) {
            t_flock_n.push_back(time_contention(n, {"flock", "-w", "60", flock_file, "true"}));
            t_tool_n.push_back(time_contention(n, {tool, "-w", "60", lock, "true"}));
        }
        const double ratio = median(t_tool_n) / median(t_flock_n);
        std::printf("%-4d %19.1f ms %19.1f ms %7.2f  (target <= 1.00: %s)\n", n, median(t_flock_n),
                    median(t_tool_n), ratio, ratio <= 1.0 ? "met" : "MISSED");
        std::fflush(stdout);
    }

    unlink((lock + ".lck").c_str());
    unlink(flock_file.c_str());
    unlink(stamp_file.c_str());
    rmdir(dir.c_str());
    return 0;
}
