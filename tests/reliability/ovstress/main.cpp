// main.cpp - reliability harness for lock files: the modes and the figures.
//
// Runs many processes against one lock and checks what the lock promises:
// contention through the library, through the real lock tool and through
// all three (library, lock tool, command tool) on one lock, with an
// enter/exit log (one O_APPEND write per record) and a read-modify-write
// counter beside the lock as detectors; simultaneous takeovers of a planted
// stale lock, plain, with a delay between the stale verdict and the takeover,
// through the tools and the library side by side, and on a slow file server; holders killed with
// SIGKILL and paused with SIGSTOP; contenders whose clocks are shifted with libfaketime; a file
// server whose clock differs from the host's (the ovtestfs FUSE file system,
// mounted twice as two client hosts); injected server faults; and a process
// that holds a thousand locks, for leaks; and the command tool's lock on a
// three-member etcd cluster whose members are killed and restarted while
// holders are paused past their lease. A self-test runs the contention
// detectors on a deliberately broken lock and fails the run if they stay
// silent. Every run ends with the figures and exits 1 if any of them is off.
// Each scenario has a file of its own; harness.h lists them.
//
//   ovstress ci   --tool PATH [--run PATH] [--testfs PATH]
//                                                a run of a few minutes
//   ovstress soak --tool PATH [--run PATH] [--testfs PATH] [--minutes N]
//                                                real timings, through the tool
//   ovstress takeover --tool PATH [--rounds N] [--delay MS] [--latency MS]
//                                                takeover rounds alone, through
//                                                the library, to compare variants
//   ovstress etcd --run PATH [--soak]            the lock on etcd alone, at the
//                                                ci's sizes or the soak's
//
// --tool names the lock tool (ovlockfile), --run the command tool
// (ovlockrun); without --run the scenarios that need it are skipped, except
// the lock on etcd, which then fails. --without-etcd says that the command
// tool was built without its etcd backend: that scenario is skipped.
#include "harness.h"

#include "ovsupport/files.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace ovstress {
namespace {

void print_figures(double seconds) {
    const Figures &f = g_fig;
    std::printf(
        "\n== ovstress figures (%.1f min) ==\n"
        "acquisitions performed                 %" PRIu64
        "\n"
        "overlaps not explained by a pause      %" PRIu64
        "\n"
        "pause-induced overlaps                 %" PRIu64
        "\n"
        "lost updates                           %" PRIu64
        "\n"
        "takeovers                              %" PRIu64
        "\n"
        "false takeovers of a live lock         %" PRIu64
        "\n"
        "rounds with more than one winner       %" PRIu64 " of %" PRIu64 " (%" PRIu64
        " on the slow server)\n"
        "rounds without a winner                %" PRIu64
        "\n"
        "max loss-report latency                %.0f ms\n"
        "max takeover latency after SIGKILL     %.0f ms (bound %.0f ms)\n"
        "debris files                           %" PRIu64
        "\n"
        "descriptors, threads, bytes leaked     %" PRId64 ", %" PRId64 ", %" PRId64
        "\n"
        "self-test overlaps on a broken lock    %" PRIu64 " (must be above 0)\n",
        seconds / 60, f.acquisitions, f.overlaps, f.pause_overlaps, f.lost_updates, f.takeovers,
        f.false_takeovers, f.multi_winner_rounds, f.rounds, f.slow_rounds, f.no_winner_rounds,
        f.max_loss_ms, f.max_takeover_ms, f.takeover_bound_ms, f.debris, f.fds_leaked,
        f.threads_leaked, f.bytes_leaked, f.selftest_overlaps);
    if (f.etcd_ran) {
        std::printf("etcd: acquisitions                     %" PRIu64
                    "\n"
                    "etcd: overlaps explained by a pause    %" PRIu64
                    "\n"
                    "etcd: overlaps not explained by one    %" PRIu64
                    " (must be 0)\n"
                    "etcd: fences in the order of holding   %s\n"
                    "etcd: members killed and restarted     %" PRIu64
                    "\n"
                    "etcd: holders paused past the lease    %" PRIu64 ": %" PRIu64
                    " reported the loss (exit 3), %" PRIu64
                    " kept a lease that outlived the pause\n"
                    "etcd: other losses reported            %" PRIu64
                    " (exit 3)\n"
                    "etcd: runs cut off from the cluster    %" PRIu64
                    " (exit 4)\n"
                    "etcd: writes of superseded holders     %" PRIu64
                    " accepted (must be 0), %" PRIu64
                    " refused\n"
                    "etcd: writes of the newest refused     %" PRIu64
                    " (must be 0)\n"
                    "etcd: keys and leases left             %" PRIu64 " (must be 0)\n",
                    f.etcd_acquisitions, f.etcd_pause_overlaps, f.etcd_overlaps,
                    f.etcd_fence_disorders == 0 ? "strictly increasing" : "OUT OF ORDER",
                    f.etcd_restarts, f.etcd_paused, f.etcd_paused_lost, f.etcd_paused_kept,
                    f.etcd_other_lost, f.etcd_cut_off, f.etcd_superseded_accepted,
                    f.etcd_superseded_refused, f.etcd_latest_refused, f.etcd_left);
    }
    for (const auto &s : f.skipped) std::printf("skipped: %s\n", s.c_str());
    for (const auto &s : f.failures) std::printf("FAILED: %s\n", s.c_str());
    std::printf("%s\n", f.failures.empty() ? "PASS" : "FAIL");
}

// The command tool beside the lock tool and the library on one lock:
// contention (6 contenders, two of each, rounds each) and takeover rounds
// of 9 contenders at the real probe gap.
void mixed(const std::string &work, const std::string &takeover_dir, int rounds,
           int takeover_rounds_count) {
    if (g_run.empty()) {
        g_fig.skipped.emplace_back("the command tool beside the others: no --run given");
        return;
    }
    const std::string dir = temp_dir(work, "mixed");
    contention(LockKind::Mixed, std::vector<std::string>(6, dir + "/x"), work, dir + "/counter",
               rounds, "library, lock tool and command tool");
    count_debris(dir, "x", false);
    takeover_rounds({"library, lock tool and command tool", LockKind::Mixed, 9, 0, 0, false},
                    {takeover_dir}, work, takeover_rounds_count);
}

// The short run that CTest runs: every scenario once, the takeover rounds
// through the library with a shortened probe gap.
void run_ci(const std::string &work) {
    const std::string dir = temp_dir(work, "lib");
    contention(LockKind::Library, std::vector<std::string>(4, dir + "/x"), work, dir + "/counter",
               150, "library");
    count_debris(dir, "x", false);
    const std::string tool_dir = temp_dir(work, "tool");
    contention(LockKind::Tool, std::vector<std::string>(4, tool_dir + "/x"), work,
               tool_dir + "/counter", 25, "tool");
    count_debris(tool_dir, "x", false);

    const std::string t = temp_dir(work, "takeover");
    takeover_rounds({"library", LockKind::Library, 8, 0, 50, false}, {t}, work, 30);
    takeover_rounds({"library, delay before the takeover", LockKind::Library, 8, 60, 50, false},
                    {t}, work, 30);
    takeover_rounds({"tool", LockKind::Tool, 8, 0, 0, false}, {t}, work, 6);
    mixed(work, t, 20, 5);
    killed_holder(work);
    paused_holder(work);
    clock_skew(work);
    file_server(work, false, 10);
    etcd_lock(work, false);
    resources(work);
}

// The soak: passes through the real tool at its real timings until the
// monotonic clock reaches until, the file server every third pass and the
// clock skew every fifth.
void run_soak(const std::string &work, int64_t until) {
    const std::string t = temp_dir(work, "takeover");
    const std::string tool_dir = temp_dir(work, "tool");
    int pass = 0;
    while (mono_ns() < until) {
        note("soak pass %d, %.1f min left", ++pass, static_cast<double>(until - mono_ns()) / 60e9);
        takeover_rounds({"tool", LockKind::Tool, 8, 0, 0, false}, {t}, work, 5);
        contention(LockKind::Tool, std::vector<std::string>(4, tool_dir + "/x"), work,
                   tool_dir + "/counter", 20, "tool");
        count_debris(tool_dir, "x", false);
        mixed(work, t, 20, 3);
        killed_holder(work);
        paused_holder(work);
        if (pass % 3 == 1) file_server(work, true, 3);
        if (pass % 5 == 1) clock_skew(work);
        etcd_lock(work, true);
    }
    resources(work);
}

int usage() {
    std::fprintf(stderr,
                 "usage: ovstress ci|soak --tool PATH [--run PATH] [--testfs PATH] [--minutes N] "
                 "[--dir DIR] [--without-etcd]\n"
                 "       ovstress etcd --run PATH [--soak] [--dir DIR]\n");
    return 2;
}

}  // namespace
}  // namespace ovstress

int main(int argc, char **argv) {
    using namespace ovstress;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) g_self.assign(self, static_cast<size_t>(n));
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "skew-holder" && argc == 5)
        return skew_holder_main(argv[2], std::atoi(argv[3]), argv[4]);
    if (mode == "skew-contender" && argc == 4)
        return skew_contender_main(argv[2], std::atoi(argv[3]));
    if (mode == "run-holder" && argc == 7)
        return run_holder_main(argv[2], argv[3], argv[4], std::atoi(argv[5]), std::atoi(argv[6]));
    if (mode == "etcd-holder" && argc == 6)
        return etcd_holder_main(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode != "ci" && mode != "soak" && mode != "takeover" && mode != "etcd") return usage();

    double minutes = 30;
    int rounds = 30;
    uint32_t delay_ms = 0;
    int latency_ms = 0;
    std::string base = "/tmp";
    bool etcd_soak = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tool" && i + 1 < argc) {
            g_tool = argv[++i];
        } else if (arg == "--run" && i + 1 < argc) {
            g_run = argv[++i];
        } else if (arg == "--testfs" && i + 1 < argc) {
            g_testfs = argv[++i];
        } else if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--delay" && i + 1 < argc) {
            delay_ms = static_cast<uint32_t>(std::atoi(argv[++i]));
        } else if (arg == "--latency" && i + 1 < argc) {
            latency_ms = std::atoi(argv[++i]);
        } else if (arg == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (arg == "--without-etcd") {
            g_without_etcd = true;
        } else if (arg == "--soak" && mode == "etcd") {
            etcd_soak = true;
        } else {
            return usage();
        }
    }
    if (mode == "etcd" ? g_run.empty() : g_tool.empty()) return usage();
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::string work = temp_dir(base, "ovstress");
    if (work.empty()) return 1;
    const int64_t start = mono_ns();
    if (mode == "takeover") {
        takeover_only(work, rounds, delay_ms, latency_ms);
    } else if (mode == "etcd") {
        etcd_lock(work, etcd_soak);
    } else {
        self_test(work);
        if (mode == "ci")
            run_ci(work);
        else
            run_soak(work, start + static_cast<int64_t>(minutes * 60e9));
    }
    ovsupport::remove_tree(work);
    print_figures(static_cast<double>(mono_ns() - start) / 1e9);
    return g_fig.failures.empty() ? 0 : 1;
}
