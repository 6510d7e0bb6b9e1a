// tool_bench.cpp - the lock tool measured side by side with flock(1).
//
// Every command is started directly with posix_spawn (no shell in between)
// and the rounds are interleaved, so both tools see the same machine state.
//   start:   exec of `ovlockfile FILE` to the first process's exit, against
//            `flock -n FILE true` and a bare `true` on the same file system;
//   release: SIGHUP to the worker until the lock file is gone;
//   held:    CPU time and peak resident memory (VmHWM) of a worker holding a
//            lock for 10 s, against a plain C program of the same shape.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "spawn.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

using ovbench::median;
using ovbench::spawn;
using ovbench::time_run;
using ovbench::wait_exit;

pid_t read_pid(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "r");
    int pid = -1;
    if (f == nullptr || std::fscanf(f, "%d", &pid) != 1) pid = -1;
    if (f) std::fclose(f);
    return pid;
}

// CPU time in nanoseconds of all threads of a process, from the scheduler's
// per-thread accounting (clock ticks are too coarse for an idle worker).
long long cpu_ns(pid_t pid) {
    char dir_path[64];
    std::snprintf(dir_path, sizeof dir_path, "/proc/%d/task", pid);
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    long long total = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char path[384];
        std::snprintf(path, sizeof path, "%s/%s/schedstat", dir_path, e->d_name);
        if (FILE *f = std::fopen(path, "r")) {
            long long ns = 0;
            if (std::fscanf(f, "%lld", &ns) == 1) total += ns;
            std::fclose(f);
        }
    }
    closedir(dir);
    return total;
}

long vm_hwm_kib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

struct Held {
    double cpu_percent;
    long hwm_kib;
};

Held measure_held(pid_t pid, int seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long long t0 = cpu_ns(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long t1 = cpu_ns(pid);
    const double wall_ns = ms_since(start) * 1e6;
    return {100.0 * static_cast<double>(t1 - t0) / wall_ns, vm_hwm_kib(pid)};
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OVLOCKFILE C_FLOOR [ROUNDS] [HELD_SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string tool = argv[1];
    const std::string floor_prog = argv[2];
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 200;
    const int held_seconds = argc > 4 ? std::atoi(argv[4]) : 10;

    // The workers become our children when their first process exits.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char dir_template[] = "/tmp/ovbench.XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string lock = dir + "/res";
    const std::string lock_file = lock + ".lck";
    const std::string flock_file = dir + "/flock";
    const std::string out = dir + "/out";
    const std::string scratch = dir + "/scratch";

    // The release step ends the worker that the tool's step left holding.
    pid_t round_worker = -1;
    const auto times = ovbench::interleaved_rounds(
        5, rounds,
        {[&] { return time_run({"true"}, scratch.c_str()); },
         [&] {
             return time_run({"flock", "-n", flock_file, "true"}, scratch.c_str());
         },
         [&] {
             const double ms = time_run({tool, lock}, out.c_str());
             round_worker = read_pid(out);
             if (round_worker <= 0) {
                 std::fprintf(stderr, "no worker pid\n");
                 std::exit(2);
             }
             return ms;
         },
         [&] {
             const auto t = Clock::now();
             kill(round_worker, SIGHUP);
             while (access(lock_file.c_str(), F_OK) == 0) {
             }
             const double ms = ms_since(t);
             wait_exit(round_worker);
             return ms;
         }});

    std::printf("rounds: %d (interleaved, after 5 warm-up rounds), file system of %s\n", rounds,
                dir.c_str());
    ovbench::print_times_header();
    ovbench::print_times("true (bare process start)", times[0]);
    ovbench::print_times("flock -n FILE true", times[1]);
    ovbench::print_times("ovlockfile FILE (to first exit)", times[2]);
    ovbench::print_times("SIGHUP to lock file gone", times[3]);
    std::printf("ratio ovlockfile / flock (median): %.2f  (target <= 0.75)\n",
                median(times[2]) / median(times[1]));

    // A held lock, side by side with the C floor.
    time_run({tool, lock, "60"}, out.c_str());
    const pid_t worker = read_pid(out);
    const pid_t floor_pid = spawn({floor_prog}, scratch.c_str());
    Held held_tool{}, held_floor{};
    std::thread floor_thread([&] { held_floor = measure_held(floor_pid, held_seconds); });
    held_tool = measure_held(worker, held_seconds);
    floor_thread.join();
    kill(worker, SIGHUP);
    wait_exit(worker);
    kill(floor_pid, SIGKILL);
    wait_exit(floor_pid);
    std::printf("held lock over %d s: worker cpu %.5f%% of one core, VmHWM %ld KiB (%.2f MiB)\n",
                held_seconds, held_tool.cpu_percent, held_tool.hwm_kib,
                static_cast<double>(held_tool.hwm_kib) / 1024.0);
    std::printf("C floor over %d s:    cpu %.5f%% of one core, VmHWM %ld KiB (%.2f MiB)\n",
                held_seconds, held_floor.cpu_percent, held_floor.hwm_kib,
                static_cast<double>(held_floor.hwm_kib) / 1024.0);
    std::printf("targets: cpu < 0.05%%, VmHWM <= 1.6 MiB\n");

    unlink(lock_file.c_str());
    unlink(flock_file.c_str());
    unlink(out.c_str());
    unlink(scratch.c_str());
    rmdir(dir.c_str());
    return 0;
}
