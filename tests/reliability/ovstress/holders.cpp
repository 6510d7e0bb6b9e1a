// holders.cpp - holders that stop refreshing: killed with SIGKILL, or paused
// with SIGSTOP past the expiration and resumed.
//
// A killed holder's lock must pass to a contender within a bound the
// expiration and the probe window give; a paused holder's lock is taken over
// while it sleeps, and once resumed the old worker must report the loss
// quickly, leave the new holder's file alone and exit 255.
#include "harness.h"

#include <ovplatform/overror.h>

#include "ovsupport/files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace ovstress {
namespace {

// Tries to acquire every 100 ms until it succeeds or gives up; returns the
// acquisition time on the monotonic clock, or -1.
int64_t acquire_until(ov_lockfile_t *lock, const std::string &name, int expiration,
                      int64_t give_up_ns) {
    while (mono_ns() < give_up_ns) {
        const int32_t rc = ov_lockfile_acquire(lock, name.c_str(), expiration);
        if (rc == 0) return mono_ns();
        if (!refused(rc)) {
            fail("contender: %s", ov_error_name(rc));
            return -1;
        }
        sleep_ms(100);
    }
    return -1;
}

}  // namespace

// A holder whose worker dies by SIGKILL: the lock must go to a contender
// within the expiration, plus the probe window, plus one refresh period.
void killed_holder(const std::string &work) {
    const std::string dir = temp_dir(work, "kill");
    const std::string name = dir + "/x";
    const ToolRun run = run_tool(name, kHolderExpiration, work + "/kill");
    // A worker pid of 0 would send the signals below to this whole group.
    if (run.code != 0 || run.worker <= 0) {
        fail("kill: the holder could not acquire: %s", run.err.c_str());
        return;
    }
    sleep_ms(1500);  // let the worker refresh a few times
    kill(run.worker, SIGKILL);
    const int64_t killed = mono_ns();
    wait_code(run.worker);
    ov_lockfile_t lock;
    const int64_t got = acquire_until(&lock, name, kHolderExpiration, killed + 30 * 1000000000LL);
    const double bound_ms = (kHolderExpiration + 2 + 1) * 1000.0;
    g_fig.takeover_bound_ms = bound_ms;
    if (got < 0) {
        fail("kill: no contender took the lock over within 30 s");
    } else {
        const double ms = static_cast<double>(got - killed) / 1e6;
        g_fig.max_takeover_ms = std::max(g_fig.max_takeover_ms, ms);
        g_fig.takeovers++;
        g_fig.acquisitions++;
        note("kill: lock taken over %.0f ms after SIGKILL (bound %.0f ms + the 100 ms retry gap)",
             ms, bound_ms);
        // The retry gap, and some room for a loaded machine's scheduling.
        if (ms > bound_ms + 100 + 500) fail("kill: takeover took %.0f ms", ms);
        ov_lockfile_release(&lock);
    }
    count_debris(dir, "x", false);
    ovsupport::remove_tree(dir);
}

// A holder stopped past the expiration: a contender takes the lock over; once
// resumed, the old worker must report the loss within about a second, leave
// the new holder's file alone and exit 255.
void paused_holder(const std::string &work) {
    const std::string dir = temp_dir(work, "stop");
    const std::string name = dir + "/x";
    const EventLog log(work + "/stop.events");
    unlink(log.path().c_str());

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    Barrier resume_gate;
    // The holder: a script that takes the lock through the tool, enters its
    // critical section, and is paused inside it together with the worker.
    const pid_t holder = spawn_child([&] {
        close(report[0]);
        const ToolRun run = run_tool(name, kHolderExpiration, work + "/stop");
        if (run.code != 0 || run.worker <= 0) return 1;
        log.record('E', "old");
        const ssize_t ignored = write(report[1], &run.worker, sizeof run.worker);
        (void)ignored;
        resume_gate.wait();
        // Resumed: the worker should find its lock gone and give up.
        const int64_t resumed = mono_ns();
        const int code = wait_code(run.worker);
        const int64_t latency = mono_ns() - resumed;
        log.record('X', "old");
        const ssize_t ignored2 = write(report[1], &latency, sizeof latency);
        (void)ignored2;
        const std::string err = ovsupport::read_file(work + "/stop.err");
        if (err.find("Lock file now locked by [") == std::string::npos) {
            std::fprintf(stderr, "stop: no loss report: %s\n", err.c_str());
            return 2;
        }
        return code == 255 ? 0 : 3;
    });
    close(report[1]);
    pid_t worker = -1;
    if (read(report[0], &worker, sizeof worker) != sizeof worker) {
        fail("stop: the holder could not acquire");
        close(report[0]);
        wait_code(holder);
        return;
    }
    sleep_ms(1200);
    log.record('P', "old");
    kill(holder, SIGSTOP);
    kill(worker, SIGSTOP);

    ov_lockfile_t lock;
    const int64_t got =
        acquire_until(&lock, name, kHolderExpiration, mono_ns() + 30 * 1000000000LL);
    if (got < 0) {
        fail("stop: no contender took the paused holder's lock over");
    } else {
        g_fig.takeovers++;
        g_fig.acquisitions += 2;
        log.record('E', "new");
    }
    kill(worker, SIGCONT);
    kill(holder, SIGCONT);
    resume_gate.open_all();
    int64_t latency = -1;
    if (read(report[0], &latency, sizeof latency) != sizeof latency) latency = -1;
    close(report[0]);
    const int code = wait_code(holder);
    if (code != 0) fail("stop: the old worker did not end with its loss report and 255 (%d)", code);
    if (got >= 0) {
        // Past the old worker's end, the lock must still be the new holder's.
        if (ovsupport::read_file(name + ".lck") != lock.content)
            fail("stop: the new holder's lock file was touched");
        log.record('X', "new");
        const int32_t rc = ov_lockfile_release(&lock);
        if (rc != 0) fail("stop: the new holder could not release: %s", ov_error_name(rc));
    }
    const double ms = static_cast<double>(latency) / 1e6;
    g_fig.max_loss_ms = std::max(g_fig.max_loss_ms, ms);
    const EventLog::Result events = log.analyse();
    g_fig.overlaps += events.overlaps;
    g_fig.pause_overlaps += events.pause_overlaps;
    note("stop: lock taken over from a paused holder; loss reported %.0f ms after SIGCONT; %" PRIu64
         " pause-induced overlap(s)",
         ms, events.pause_overlaps);
    if (latency < 0 || ms > 1500) fail("stop: loss report took %.0f ms", ms);
    count_debris(dir, "x", false);
    ovsupport::remove_tree(dir);
}

}  // namespace ovstress
