// takeovers.cpp - simultaneous takeovers of a planted stale lock.
//
// Each round plants a dead holder's lock and releases a group of contenders
// at the same moment; exactly one of them must win. A second winner means a
// live lock was taken over, and shows both in the round's enter/exit log and
// at the first winner's release, which finds another record in its file.
// Rounds run through the library (with a chosen delay between the stale
// verdict and the takeover, to widen the race between breakers), through the
// real lock tool, through the library, the lock tool and the command tool
// side by side, and through two mounts of a slow file server.
#include "harness.h"

#include <ovplatform/overror.h>

#include "internal/lockfile_testing.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <random>

namespace ovstress {
namespace {

// One contender of a takeover round: one acquisition. A refused contender
// says so in the log ('R'). The winner holds its lock for 300 ms and until
// the others have been refused, checks that it still owns it and releases
// it; a release that finds another record means a second winner removed its
// lock.
int takeover_contender(LockKind kind, const std::string &name, Barrier &barrier, uint32_t delay_ms,
                       uint32_t probe_gap_ms, uint32_t start_delay_ms, const EventLog &log, int id,
                       int others, const std::string &scratch) {
    if (probe_gap_ms != 0 || delay_ms != 0) ov_lockfile_set_test_timing(probe_gap_ms, 0, delay_ms);
    barrier.wait();
    sleep_ms(start_delay_ms);
    char holder[32];
    std::snprintf(holder, sizeof holder, "t%d", id);
    if (kind == LockKind::Run) {
        // The command holds the lock; a release that finds another record
        // (a second winner) makes the tool end with 3.
        std::string err;
        const int code = run_command_tool(name, {"-e", "10"}, log.path(), holder, "", 300, others,
                                          scratch, &err);
        if (code == 0) return kWon;
        if (code == kRunBusy) {
            log.record('R', holder);
            return kRefused;
        }
        if (code == 3) return kWonButLost;
        std::fprintf(stderr, "takeover contender (command tool) ended with %d: %s\n", code,
                     err.c_str());
        return 1;
    }
    if (kind == LockKind::Tool) {
        const ToolRun run = run_tool(name, 10, scratch);
        if (run.code != 0) {
            log.record('R', holder);
            return kRefused;
        }
        log.record('E', holder);
        sleep_ms(300);
        hold_for_refusals(log, others);
        log.record('X', holder);
        return release_worker(run.worker) == 0 ? kWon : kWonButLost;
    }
    ov_lockfile_t lock;
    const int32_t rc = ov_lockfile_acquire(&lock, name.c_str(), 10);
    if (rc != 0) {
        if (refused(rc)) {
            log.record('R', holder);
            return kRefused;
        }
        std::fprintf(stderr, "takeover contender: %s\n", ov_error_name(rc));
        return 1;
    }
    log.record('E', holder);
    sleep_ms(300);
    hold_for_refusals(log, others);
    log.record('X', holder);
    const int32_t release = ov_lockfile_release(&lock);
    return release == 0 ? kWon : kWonButLost;
}

}  // namespace

void takeover_rounds(const TakeoverPlan &plan, const std::vector<std::string> &dirs,
                     const std::string &work, int rounds) {
    std::mt19937 rng(static_cast<unsigned>(mono_ns()));
    uint64_t multi = 0;
    uint64_t none = 0;
    uint64_t wins[static_cast<size_t>(LockKind::Broken) + 1] = {};
    const int64_t start = mono_ns();
    for (int round = 0; round < rounds; ++round) {
        plant_stale_lock(dirs[0] + "/x.lck");
        const EventLog log(work + "/takeover.events");
        unlink(log.path().c_str());
        Barrier barrier;
        std::vector<pid_t> pids;
        std::vector<LockKind> kinds;
        for (int i = 0; i < plan.contenders; ++i) {
            const std::string name = dirs[static_cast<size_t>(i) % dirs.size()] + "/x";
            const uint32_t delay = plan.max_delay_ms ? std::uniform_int_distribution<uint32_t>(
                                                           0, plan.max_delay_ms)(rng)
                                                     : 0;
            const std::string scratch = work + "/t" + std::to_string(i);
            const LockKind kind = plan.kind == LockKind::Mixed ? mixed_kind(i) : plan.kind;
            kinds.push_back(kind);
            // Contenders of different kinds start at different moments, so
            // that each kind wins some rounds: a tool needs a few
            // milliseconds to start that the library does not.
            const uint32_t start_delay = plan.kind == LockKind::Mixed
                                             ? std::uniform_int_distribution<uint32_t>(0, 200)(rng)
                                             : 0;
            pids.push_back(spawn_child([&, name, delay, start_delay, i, kind, scratch] {
                return takeover_contender(kind, name, barrier, delay, plan.probe_gap_ms,
                                          start_delay, log, i, plan.contenders - 1, scratch);
            }));
        }
        sleep_ms(50);
        barrier.open_all();
        int winners = 0;
        for (size_t i = 0; i < pids.size(); ++i) {
            const int code = wait_code(pids[i]);
            if (code == kWon || code == kWonButLost) {
                ++winners;
                ++wins[static_cast<size_t>(kinds[i])];
            }
            if (code == kWonButLost) fail("%s round %d: a winner lost its lock", plan.label, round);
            if (code != kWon && code != kWonButLost && code != kRefused) {
                fail("%s round %d: a contender ended with %d", plan.label, round, code);
            }
        }
        const EventLog::Result events = log.analyse();
        g_fig.rounds++;
        if (plan.slow) g_fig.slow_rounds++;
        g_fig.takeovers += static_cast<uint64_t>(winners);
        g_fig.acquisitions += static_cast<uint64_t>(winners);
        g_fig.overlaps += events.overlaps;
        if (winners > 1) {
            ++multi;
            g_fig.multi_winner_rounds++;
            // Every winner after the first removed a live lock.
            g_fig.false_takeovers += static_cast<uint64_t>(winners - 1);
        }
        if (winners == 0) {
            ++none;
            g_fig.no_winner_rounds++;
        }
        count_debris(dirs[0], "x", false);
    }
    note("takeover %s: %d rounds of %d contenders: %" PRIu64 " with more than one winner, %" PRIu64
         " with none, %.1f s",
         plan.label, rounds, plan.contenders, multi, none,
         static_cast<double>(mono_ns() - start) / 1e9);
    if (plan.kind == LockKind::Mixed) {
        note("takeover %s: won through the library %" PRIu64 ", the lock tool %" PRIu64
             ", the command tool %" PRIu64 " times",
             plan.label, wins[static_cast<size_t>(LockKind::Library)],
             wins[static_cast<size_t>(LockKind::Tool)], wins[static_cast<size_t>(LockKind::Run)]);
    }
    if (multi != 0)
        fail("takeover %s: %" PRIu64 " rounds with more than one winner", plan.label, multi);
    if (none != 0) fail("takeover %s: %" PRIu64 " rounds without a winner", plan.label, none);
}

// Takeover rounds alone, on a local directory or through two mounts of a
// slow server.
void takeover_only(const std::string &work, int rounds, uint32_t delay_ms, int latency_ms) {
    const TakeoverPlan plan{"library", LockKind::Library, 8, delay_ms, 50, latency_ms > 0};
    if (latency_ms == 0) {
        takeover_rounds(plan, {temp_dir(work, "takeover")}, work, rounds);
        return;
    }
    std::string why;
    if (g_testfs.empty() || !TestFsMount::available(g_testfs, &why)) {
        fail("no test file server: %s", why.c_str());
        return;
    }
    TwoClients server(work, {"--latency-ms=" + std::to_string(latency_ms)});
    if (server.mounted()) takeover_rounds(plan, {server.mount_a, server.mount_b}, work, rounds);
}

}  // namespace ovstress
