// contention.cpp - many processes on one lock, through the library, through
// the real lock tool, through the command tool, all three together on one
// lock, and on a deliberately broken lock as the detectors' self-test.
//
// Each contender acquires, writes an entry record to the shared enter/exit
// log, bumps a counter beside the lock with a read, a pause and a write, and
// writes an exit record before it releases. Two holders inside at once show
// as an overlap in the log and, usually, as a lost update of the counter.
// Through the command tool, the command it runs (this program's run-holder
// role) does the same between the tool's acquisition and release.
#include "harness.h"

#include <ovplatform/overror.h>

#include "ovsupport/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace ovstress {
namespace {

// The counter beside the lock: read, pause a little, write back plus one.
// Two holders inside at once lose an update.
void bump_counter(const std::string &path, int pause_us) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char buffer[32] = {};
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    const long value = n > 0 ? std::atol(buffer) : 0;
    if (pause_us > 0) usleep(static_cast<useconds_t>(pause_us));
    char out[32];
    const int len = std::snprintf(out, sizeof out, "%020ld\n", value + 1);
    const ssize_t ignored = pwrite(fd, out, static_cast<size_t>(len), 0);
    (void)ignored;
    close(fd);
}

long read_counter(const std::string &path) {
    return std::atol(ovsupport::read_file(path).c_str());
}

// One contender process: rounds acquisitions, each with an entry record, a
// counter update and an exit record. Exits 0, or 1 after reporting a fault.
int contender(LockKind kind, const std::string &name, const EventLog &log,
              const std::string &counter, int rounds, int id, const std::string &scratch) {
    std::mt19937 rng(static_cast<unsigned>(getpid()) * 2654435761u);
    std::uniform_int_distribution<int> backoff(0, kind == LockKind::Tool ? 3000 : 1500);
    const std::string lock_path = name + ".lck";
    for (int round = 0; round < rounds; ++round) {
        char holder[64];
        std::snprintf(holder, sizeof holder, "%d.%d", id, round);
        ov_lockfile_t lock;
        pid_t worker = -1;
        bool done = false;  // the command tool's holder was inside and left
        for (;;) {
            int32_t rc = 0;
            if (kind == LockKind::Run) {
                // The tool waits by itself; the holder it runs does the round.
                std::string err;
                const int code = run_command_tool(name, {"-w", "5", "-e", "10"}, log.path(), holder,
                                                  counter, 0, 0, scratch, &err);
                if (code == 0) {
                    done = true;
                    break;
                }
                if (code != kRunBusy) {
                    std::fprintf(stderr, "command tool ended with code %d: %s\n", code,
                                 err.c_str());
                    return 1;
                }
                rc = ELOCKED;
            } else if (kind == LockKind::Library) {
                rc = ov_lockfile_acquire_continuous(&lock, name.c_str(), 10);
            } else if (kind == LockKind::Tool) {
                const ToolRun run = run_tool(name, 10, scratch);
                rc = run.code == 0 ? 0 : ELOCKED;
                if (run.code != 0 && run.code != 1) {
                    std::fprintf(stderr, "tool ended with code %d: %s\n", run.code,
                                 run.err.c_str());
                    return 1;
                }
                if (run.code != 0 &&
                    run.err.find("locked by another process") == std::string::npos &&
                    run.err.find("File exists") == std::string::npos &&
                    run.err.find("No such file") == std::string::npos &&
                    run.err.find("Stale file handle") == std::string::npos) {
                    std::fprintf(stderr, "tool: unexpected refusal: %s\n", run.err.c_str());
                    return 1;
                }
                worker = run.worker;
            } else {
                // No exclusive creation: look, then create. Two contenders
                // that both look before either creates both "hold" it.
                if (access(lock_path.c_str(), F_OK) == 0) {
                    rc = ELOCKED;
                } else {
                    usleep(50);
                    rc = ovsupport::write_file(lock_path, "broken\n") ? 0 : errno;
                }
            }
            if (rc == 0) break;
            if (!refused(rc)) {
                std::fprintf(stderr, "acquire %s: %s\n", name.c_str(), ov_error_name(rc));
                return 1;
            }
            usleep(static_cast<useconds_t>(backoff(rng)));
        }
        if (done) continue;

        log.record('E', holder);
        bump_counter(counter, 200);
        log.record('X', holder);

        if (kind == LockKind::Library) {
            const int32_t rc = ov_lockfile_release(&lock);
            if (rc != 0) {
                std::fprintf(stderr, "release %s: %s\n", name.c_str(), ov_error_name(rc));
                return 1;
            }
        } else if (kind == LockKind::Tool) {
            const int code = release_worker(worker);
            if (code != 0) {
                std::fprintf(stderr, "worker %d ended with code %d\n", worker, code);
                return 1;
            }
        } else {
            unlink(lock_path.c_str());
        }
    }
    return 0;
}

struct ContentionResult {
    EventLog::Result log;
    uint64_t lost = 0;
    bool clean = true;
};

ContentionResult run_contention(LockKind kind, const std::vector<std::string> &names,
                                const std::string &work, const std::string &counter, int rounds) {
    const EventLog log(work + "/events." + kind_name(kind));
    unlink(log.path().c_str());
    unlink(counter.c_str());
    std::vector<pid_t> pids;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string scratch = work + "/c" + std::to_string(i);
        const LockKind own = kind == LockKind::Mixed ? mixed_kind(static_cast<int>(i)) : kind;
        pids.push_back(spawn_child([&, i, own, scratch] {
            return contender(own, names[i], log, counter, rounds, static_cast<int>(i), scratch);
        }));
    }
    ContentionResult result;
    for (const pid_t pid : pids) {
        const int code = wait_code(pid);
        if (code != 0) {
            result.clean = false;
            if (kind != LockKind::Broken)
                fail("%s contender ended with code %d", kind_name(kind), code);
        }
    }
    result.log = log.analyse();
    const long count = read_counter(counter);
    result.lost = result.log.entries > static_cast<uint64_t>(count)
                      ? result.log.entries - static_cast<uint64_t>(count)
                      : 0;
    return result;
}

}  // namespace

void contention(LockKind kind, const std::vector<std::string> &names, const std::string &work,
                const std::string &counter, int rounds, const char *label) {
    const int64_t start = mono_ns();
    const ContentionResult r = run_contention(kind, names, work, counter, rounds);
    g_fig.acquisitions += r.log.entries;
    g_fig.overlaps += r.log.overlaps;
    g_fig.pause_overlaps += r.log.pause_overlaps;
    g_fig.lost_updates += r.lost;
    note("contention %s: %zu processes x %d rounds: %" PRIu64 " acquisitions, %" PRIu64
         " overlaps, %" PRIu64 " lost updates, %.1f s",
         label, names.size(), rounds, r.log.entries, r.log.overlaps, r.lost,
         static_cast<double>(mono_ns() - start) / 1e9);
    if (r.log.overlaps != 0) fail("contention %s: %" PRIu64 " overlaps", label, r.log.overlaps);
    if (r.lost != 0) fail("contention %s: %" PRIu64 " lost updates", label, r.lost);
    if (r.log.entries != names.size() * static_cast<uint64_t>(rounds))
        fail("contention %s: %" PRIu64 " acquisitions, expected %zu", label, r.log.entries,
             names.size() * static_cast<size_t>(rounds));
}

// The detectors must see what a broken lock does, or their zeros mean nothing.
void self_test(const std::string &work) {
    const std::string dir = temp_dir(work, "broken");
    const std::vector<std::string> names(6, dir + "/x");
    const ContentionResult r = run_contention(LockKind::Broken, names, work, dir + "/counter", 200);
    g_fig.selftest_overlaps += r.log.overlaps;
    note("self-test on a lock without exclusive creation: %" PRIu64 " acquisitions, %" PRIu64
         " overlaps, %" PRIu64 " lost updates",
         r.log.entries, r.log.overlaps, r.lost);
    if (r.log.overlaps == 0) fail("self-test: the detectors saw no overlap on a broken lock");
    ovsupport::remove_tree(dir);
}

int run_holder_main(const std::string &log_path, const std::string &holder,
                    const std::string &counter, int hold_ms, int refusals) {
    // The lock the tool says it holds must be in its file, as the tool's
    // record; the record is also what a holder would use as a fencing value.
    const char *file = std::getenv("OVLOCK_FILE");
    const char *record = std::getenv("OVLOCK_RECORD");
    if (file == nullptr || record == nullptr ||
        ovsupport::read_file(file) != std::string(record) + "\n") {
        std::fprintf(stderr, "run-holder %s: the lock file does not hold [%s]\n", holder.c_str(),
                     record ? record : "(no OVLOCK_RECORD)");
        return 1;
    }
    const EventLog log(log_path);
    log.record('E', holder.c_str());
    if (!counter.empty()) bump_counter(counter, 200);
    sleep_ms(hold_ms);
    hold_for_refusals(log, refusals);
    log.record('X', holder.c_str());
    return 0;
}

}  // namespace ovstress
