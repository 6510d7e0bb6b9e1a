// ovstress.cpp - reliability harness for lock files.
//
// Runs many processes against one lock and checks what the lock promises:
// contention through the library and through the real tool, with an
// enter/exit log (one O_APPEND write per record) and a read-modify-write
// counter beside the lock as detectors; simultaneous takeovers of a planted
// stale lock, plain, with a delay between the stale verdict and the takeover,
// and on a slow file server; holders killed with SIGKILL and paused with
// SIGSTOP; contenders whose clocks are shifted with libfaketime; a file
// server whose clock differs from the host's (the ovtestfs FUSE file system,
// mounted twice as two client hosts); injected server faults; and a process
// that holds a thousand locks, for leaks. A self-test runs the contention
// detectors on a deliberately broken lock and fails the run if they stay
// silent. Every run ends with the figures and exits 1 if any of them is off.
//
//   ovstress ci   --tool PATH [--testfs PATH]   a run of a few minutes
//   ovstress soak --tool PATH [--testfs PATH] [--minutes N]
//                                                real timings, through the tool
//   ovstress takeover --tool PATH [--rounds N] [--delay MS] [--latency MS]
//                                                takeover rounds alone, through
//                                                the library, to compare variants
#include <ovplatform/overror.h>
#include <ovplatform/ovlockfile.h>

#include "internal/lockfile_testing.h"
#include "ovtestfs_mount.h"
#include "ovsupport/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes export this; not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

extern char **environ;

namespace {

// ---------------------------------------------------------------------------
// Figures
// ---------------------------------------------------------------------------

struct Figures {
    uint64_t acquisitions = 0;
    uint64_t overlaps = 0;        // two holders inside at once, no pause to explain it
    uint64_t pause_overlaps = 0;  // a holder paused past the expiration overlapped its successor
    uint64_t lost_updates = 0;
    uint64_t takeovers = 0;
    uint64_t false_takeovers = 0;  // a live lock taken over
    uint64_t rounds = 0;           // simultaneous-takeover rounds
    uint64_t slow_rounds = 0;      // of which on the slow file server
    uint64_t multi_winner_rounds = 0;
    uint64_t no_winner_rounds = 0;
    uint64_t debris = 0;
    double max_loss_ms = 0;
    double max_takeover_ms = 0;
    double takeover_bound_ms = 0;
    int64_t fds_leaked = 0;
    int64_t threads_leaked = 0;
    int64_t bytes_leaked = 0;
    uint64_t selftest_overlaps = 0;
    std::vector<std::string> failures;
    std::vector<std::string> skipped;
};

Figures g_fig;
std::string g_tool;
std::string g_testfs;
std::string g_self;

void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "ovstress: FAIL %s\n", line);
    g_fig.failures.emplace_back(line);
}

void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void note(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("ovstress: ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(args);
}

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool write_text(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

std::string make_temp_dir(const std::string &base, const char *stem) {
    std::string tmpl = base + "/" + stem + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        fail("mkdtemp %s: %s", tmpl.c_str(), std::strerror(errno));
        return {};
    }
    return tmpl;
}

void remove_tree(const std::string &dir) {
    for (const auto &name : ovsupport::entries(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(path);
        } else {
            unlink(path.c_str());
        }
    }
    rmdir(dir.c_str());
}

// Scratch files the lock module leaves behind by mistake: probe and moved
// files ("<lock>.<36 characters>") and breaker files; with expect_lock false,
// also a lock file nobody holds any more.
uint64_t count_debris(const std::string &dir, const std::string &lock_name, bool expect_lock) {
    uint64_t debris = 0;
    const std::string lock = lock_name + ".lck";
    for (const auto &name : ovsupport::entries(dir)) {
        if (name == lock) {
            if (!expect_lock) {
                ++debris;
                note("debris: %s/%s holds [%s]", dir.c_str(), name.c_str(),
                     ovsupport::read_file(dir + "/" + name).c_str());
            }
        } else if (name.rfind(lock, 0) == 0) {
            ++debris;
            note("debris: %s/%s", dir.c_str(), name.c_str());
        }
    }
    g_fig.debris += debris;
    return debris;
}

// Plants a dead lock: a record whose process cannot exist, an hour older than
// the file server's clock (which need not be the host's).
void plant_stale_lock(const std::string &lock_path, int64_t age_seconds = 3600) {
    write_text(lock_path, "999999999:00000000-dead-dead-dead-000000000000:gone\n");
    struct stat st {};
    stat(lock_path.c_str(), &st);
    const timespec times[2] = {{st.st_mtime - age_seconds, 0}, {st.st_mtime - age_seconds, 0}};
    utimensat(AT_FDCWD, lock_path.c_str(), times, 0);
}

// The ways an acquisition is turned away that a contender simply retries:
// held, created or removed by someone else between two steps, an empty file
// being written, or a file handle that went stale on a network file system
// because another client replaced the file.
bool refused(int32_t rc) {
    return rc == ELOCKED || rc == EEXIST || rc == ENOENT || rc == ELOCKINVAL || rc == ESTALE;
}

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------

// Runs body in a child process and returns its pid; the child exits with
// body's result. The child is a subreaper, so workers that the tool forks
// become its children once the tool's first process exits.
pid_t spawn_child(const std::function<int()> &body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        _exit(body());
    }
    if (pid < 0) fail("fork: %s", std::strerror(errno));
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Releases every child blocked in wait() at the same moment.
class Barrier {
  public:
    Barrier() {
        if (pipe2(fds_, O_CLOEXEC) != 0) fail("pipe: %s", std::strerror(errno));
    }
    ~Barrier() { open_all(); }
    // In a child.
    void wait() {
        close(fds_[1]);
        char c;
        while (read(fds_[0], &c, 1) < 0 && errno == EINTR) {
        }
    }
    void open_all() {
        if (fds_[1] >= 0) close(fds_[1]);
        if (fds_[0] >= 0) close(fds_[0]);
        fds_[0] = fds_[1] = -1;
    }

  private:
    int fds_[2] = {-1, -1};
};

// The real tool, run the way a script runs it: standard output to a file,
// from which the worker's pid is read once the first process has exited.
struct ToolRun {
    int status = -1;  // first process
    pid_t worker = -1;
    std::string err;
};

ToolRun run_tool(const std::string &name, int expiration, const std::string &scratch,
                 bool capture_err = true) {
    ToolRun run;
    const std::string out_path = scratch + ".out";
    const std::string err_path = scratch + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, capture_err ? err_path.c_str() : "/dev/null",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string exp = std::to_string(expiration);
    char *argv[] = {const_cast<char *>(g_tool.c_str()), const_cast<char *>(name.c_str()),
                    const_cast<char *>(exp.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, g_tool.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        run.err = std::strerror(rc);
        return run;
    }
    run.status = wait_status(pid);
    if (run.status == 0)
        run.worker = static_cast<pid_t>(std::atoi(ovsupport::read_file(out_path).c_str()));
    if (capture_err) run.err = ovsupport::read_file(err_path);
    return run;
}

// Asks a worker to release its lock and collects its exit status. A worker
// that has not ended after three seconds is asked again. Under the thread
// sanitizer that can happen: its runtime's own threads leave SIGHUP
// unblocked, so a SIGHUP sent while the worker's main thread still blocks
// it (before its handler is in place) may land on one of them and be lost.
// Anywhere else a second request is a failure of the tool (status -2).
int release_worker(pid_t worker) {
    kill(worker, SIGHUP);
    bool asked_again = false;
    for (int tries = 0;; ++tries) {
        const int64_t until = mono_ns() + 3000000000LL;
        int status = 0;
        while (mono_ns() < until) {
            const pid_t done = waitpid(worker, &status, WNOHANG);
            if (done == worker) return asked_again ? -2 : status;
            if (done < 0 && errno != EINTR) return -1;
            sleep_ms(5);
        }
#if !defined(__SANITIZE_THREAD__)
        std::fprintf(stderr, "ovstress: worker %d did not end within 3 s of SIGHUP\n", worker);
        asked_again = true;
#endif
        kill(worker, tries < 3 ? SIGHUP : SIGKILL);
    }
}

// ---------------------------------------------------------------------------
// Detectors: the enter/exit log and the counter
// ---------------------------------------------------------------------------

class EventLog {
  public:
    explicit EventLog(std::string path) : path_(std::move(path)) {}
    const std::string &path() const { return path_; }

    // One write per record: O_APPEND makes each record land whole and in
    // the order the writes happened.
    void record(char kind, const char *holder) const {
        char line[128];
        const int n =
            std::snprintf(line, sizeof line, "%c %s %" PRId64 "\n", kind, holder, mono_ns());
        const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        const ssize_t ignored = write(fd, line, static_cast<size_t>(n));
        (void)ignored;
        close(fd);
    }

    struct Result {
        uint64_t entries = 0;
        uint64_t overlaps = 0;
        uint64_t pause_overlaps = 0;
    };

    // An entry while another holder is still inside is an overlap; it is
    // explained by a pause when either holder was marked paused ('P').
    Result analyse() const {
        Result result;
        std::set<std::string> inside;
        std::set<std::string> paused;
        const std::string text = ovsupport::read_file(path_);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            if (line.size() < 3) continue;
            const size_t space = line.find(' ', 2);
            const std::string holder =
                line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
            switch (line[0]) {
                case 'E': {
                    ++result.entries;
                    if (!inside.empty()) {
                        bool explained = paused.count(holder) > 0;
                        for (const auto &other : inside)
                            explained = explained || paused.count(other);
                        ++(explained ? result.pause_overlaps : result.overlaps);
                    }
                    inside.insert(holder);
                    break;
                }
                case 'X':
                    inside.erase(holder);
                    break;
                case 'P':
                    paused.insert(holder);
                    break;
                default:
                    break;
            }
        }
        return result;
    }

  private:
    std::string path_;
};

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

// ---------------------------------------------------------------------------
// The locks under test
// ---------------------------------------------------------------------------

enum class LockKind { Library, Tool, Broken };

const char *kind_name(LockKind kind) {
    switch (kind) {
        case LockKind::Library:
            return "library";
        case LockKind::Tool:
            return "tool";
        case LockKind::Broken:
            return "broken";
    }
    return "?";
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
        for (;;) {
            int32_t rc = 0;
            if (kind == LockKind::Library) {
                rc = ov_lockfile_acquire_continuous(&lock, name.c_str(), 10);
            } else if (kind == LockKind::Tool) {
                const ToolRun run = run_tool(name, 10, scratch);
                rc = run.status == 0 ? 0 : ELOCKED;
                if (run.status != 0 && exit_code(run.status) != 1) {
                    std::fprintf(stderr, "tool ended with status %d: %s\n", run.status,
                                 run.err.c_str());
                    return 1;
                }
                if (run.status != 0 &&
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
                    rc = write_text(lock_path, "broken\n") ? 0 : errno;
                }
            }
            if (rc == 0) break;
            if (!refused(rc)) {
                std::fprintf(stderr, "acquire %s: %s\n", name.c_str(), ov_error_name(rc));
                return 1;
            }
            usleep(static_cast<useconds_t>(backoff(rng)));
        }

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
            const int status = release_worker(worker);
            if (status != 0) {
                std::fprintf(stderr, "worker %d ended with status %d\n", worker, status);
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

// N contenders on one lock; names may differ per contender (two mounts of
// one directory), the log and the counter are shared.
ContentionResult run_contention(LockKind kind, const std::vector<std::string> &names,
                                const std::string &work, const std::string &counter, int rounds) {
    const EventLog log(work + "/events." + kind_name(kind));
    unlink(log.path().c_str());
    unlink(counter.c_str());
    std::vector<pid_t> pids;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string scratch = work + "/c" + std::to_string(i);
        pids.push_back(spawn_child([&, i, scratch] {
            return contender(kind, names[i], log, counter, rounds, static_cast<int>(i), scratch);
        }));
    }
    ContentionResult result;
    for (const pid_t pid : pids) {
        const int status = wait_status(pid);
        if (status != 0) {
            result.clean = false;
            if (kind != LockKind::Broken)
                fail("%s contender ended with status %d", kind_name(kind), status);
        }
    }
    result.log = log.analyse();
    const long count = read_counter(counter);
    result.lost = result.log.entries > static_cast<uint64_t>(count)
                      ? result.log.entries - static_cast<uint64_t>(count)
                      : 0;
    return result;
}

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
    const std::string dir = make_temp_dir(work, "broken");
    const std::vector<std::string> names(6, dir + "/x");
    const ContentionResult r = run_contention(LockKind::Broken, names, work, dir + "/counter", 200);
    g_fig.selftest_overlaps += r.log.overlaps;
    note("self-test on a lock without exclusive creation: %" PRIu64 " acquisitions, %" PRIu64
         " overlaps, %" PRIu64 " lost updates",
         r.log.entries, r.log.overlaps, r.lost);
    if (r.log.overlaps == 0) fail("self-test: the detectors saw no overlap on a broken lock");
    remove_tree(dir);
}

// ---------------------------------------------------------------------------
// Simultaneous takeovers
// ---------------------------------------------------------------------------

constexpr int kWon = 10;
constexpr int kRefused = 11;
constexpr int kWonButLost = 12;  // acquired, but the lock was gone at release

// One contender of a takeover round: one acquisition. The winner checks that
// it still owns its lock a while later and releases it; a release that finds
// another record means a second winner removed its lock.
int takeover_contender(LockKind kind, const std::string &name, Barrier &barrier, uint32_t delay_ms,
                       uint32_t probe_gap_ms, const EventLog &log, int id,
                       const std::string &scratch) {
    if (probe_gap_ms != 0 || delay_ms != 0) ov_lockfile_set_test_timing(probe_gap_ms, 0, delay_ms);
    barrier.wait();
    char holder[32];
    std::snprintf(holder, sizeof holder, "t%d", id);
    if (kind == LockKind::Tool) {
        const ToolRun run = run_tool(name, 10, scratch);
        if (run.status != 0) return kRefused;
        log.record('E', holder);
        sleep_ms(300);
        log.record('X', holder);
        return release_worker(run.worker) == 0 ? kWon : kWonButLost;
    }
    ov_lockfile_t lock;
    const int32_t rc = ov_lockfile_acquire(&lock, name.c_str(), 10);
    if (rc != 0) {
        if (refused(rc)) return kRefused;
        std::fprintf(stderr, "takeover contender: %s\n", ov_error_name(rc));
        return 1;
    }
    log.record('E', holder);
    sleep_ms(300);
    log.record('X', holder);
    const int32_t release = ov_lockfile_release(&lock);
    return release == 0 ? kWon : kWonButLost;
}

struct TakeoverPlan {
    const char *label;
    LockKind kind;
    int contenders;
    uint32_t max_delay_ms;  // each contender draws its own delay below this
    uint32_t probe_gap_ms;  // 0: the real gap
    bool slow;
};

void takeover_rounds(const TakeoverPlan &plan, const std::vector<std::string> &dirs,
                     const std::string &work, int rounds) {
    std::mt19937 rng(static_cast<unsigned>(mono_ns()));
    uint64_t multi = 0;
    uint64_t none = 0;
    const int64_t start = mono_ns();
    for (int round = 0; round < rounds; ++round) {
        plant_stale_lock(dirs[0] + "/x.lck");
        const EventLog log(work + "/takeover.events");
        unlink(log.path().c_str());
        Barrier barrier;
        std::vector<pid_t> pids;
        for (int i = 0; i < plan.contenders; ++i) {
            const std::string name = dirs[static_cast<size_t>(i) % dirs.size()] + "/x";
            const uint32_t delay = plan.max_delay_ms ? std::uniform_int_distribution<uint32_t>(
                                                           0, plan.max_delay_ms)(rng)
                                                     : 0;
            const std::string scratch = work + "/t" + std::to_string(i);
            pids.push_back(spawn_child([&, name, delay, i, scratch] {
                return takeover_contender(plan.kind, name, barrier, delay, plan.probe_gap_ms, log,
                                          i, scratch);
            }));
        }
        sleep_ms(50);
        barrier.open_all();
        int winners = 0;
        for (const pid_t pid : pids) {
            const int code = exit_code(wait_status(pid));
            if (code == kWon || code == kWonButLost) ++winners;
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
    if (multi != 0)
        fail("takeover %s: %" PRIu64 " rounds with more than one winner", plan.label, multi);
    if (none != 0) fail("takeover %s: %" PRIu64 " rounds without a winner", plan.label, none);
}

// ---------------------------------------------------------------------------
// Killed and paused holders
// ---------------------------------------------------------------------------

constexpr int kHolderExpiration = 3;

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

// A holder whose worker dies by SIGKILL: the lock must go to a contender
// within the expiration, plus the probe window, plus one refresh period.
void killed_holder(const std::string &work) {
    const std::string dir = make_temp_dir(work, "kill");
    const std::string name = dir + "/x";
    const ToolRun run = run_tool(name, kHolderExpiration, work + "/kill");
    if (run.status != 0) {
        fail("kill: the holder could not acquire: %s", run.err.c_str());
        return;
    }
    sleep_ms(1500);  // let the worker refresh a few times
    kill(run.worker, SIGKILL);
    const int64_t killed = mono_ns();
    wait_status(run.worker);
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
    remove_tree(dir);
}

// A holder stopped past the expiration: a contender takes the lock over; once
// resumed, the old worker must report the loss within about a second, leave
// the new holder's file alone and exit 255.
void paused_holder(const std::string &work) {
    const std::string dir = make_temp_dir(work, "stop");
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
        if (run.status != 0) return 1;
        log.record('E', "old");
        const ssize_t ignored = write(report[1], &run.worker, sizeof run.worker);
        (void)ignored;
        resume_gate.wait();
        // Resumed: the worker should find its lock gone and give up.
        const int64_t resumed = mono_ns();
        const int status = wait_status(run.worker);
        const int64_t latency = mono_ns() - resumed;
        log.record('X', "old");
        const ssize_t ignored2 = write(report[1], &latency, sizeof latency);
        (void)ignored2;
        const std::string err = ovsupport::read_file(work + "/stop.err");
        if (err.find("Lock file now locked by [") == std::string::npos) {
            std::fprintf(stderr, "stop: no loss report: %s\n", err.c_str());
            return 2;
        }
        return exit_code(status) == 255 ? 0 : 3;
    });
    close(report[1]);
    pid_t worker = -1;
    if (read(report[0], &worker, sizeof worker) != sizeof worker) {
        fail("stop: the holder could not acquire");
        close(report[0]);
        wait_status(holder);
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
    const int code = exit_code(wait_status(holder));
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
    remove_tree(dir);
}

// ---------------------------------------------------------------------------
// Clock skew
// ---------------------------------------------------------------------------

std::string faketime_library() {
    glob_t found{};
    std::string path;
    if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        path = found.gl_pathv[0];
    globfree(&found);
    return path;
}

// Runs this program as "skew-holder" or "skew-contender" with its clock
// shifted; returns the child's pid.
pid_t spawn_skewed(const std::string &offset, const std::vector<std::string> &args) {
    std::vector<std::string> env_text;
    for (char **e = environ; *e; ++e) env_text.emplace_back(*e);
    env_text.push_back("LD_PRELOAD=" + faketime_library());
    env_text.push_back("FAKETIME=" + offset);
    env_text.push_back("NO_FAKE_STAT=1");
    std::vector<char *> env;
    for (auto &e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    std::vector<std::string> argv_text{g_self};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, g_self.c_str(), nullptr, nullptr, argv.data(), env.data());
    if (rc != 0) fail("spawn skewed child: %s", std::strerror(rc));
    return pid;
}

// skew-holder NAME SECONDS READY: holds the lock with its worker for SECONDS
// and exits 0 if it still owns it, 2 if it lost it.
int skew_holder_main(const std::string &name, int seconds, const std::string &ready) {
    ov_lockfile_t lock;
    int32_t rc = ov_lockfile_acquire_continuous(&lock, name.c_str(), kHolderExpiration);
    if (rc != 0) return 1;
    write_text(ready, std::to_string(time(nullptr)));
    sleep_ms(seconds * 1000LL);
    const bool lost = std::atomic_ref<uint32_t>(lock.lost).load() != 0;
    rc = ov_lockfile_release(&lock);
    return lost || rc != 0 ? 2 : 0;
}

// skew-contender NAME SECONDS: tries for SECONDS; exits kWon if it acquired
// (and released), kRefused if it never did.
int skew_contender_main(const std::string &name, int seconds) {
    ov_lockfile_t lock;
    const int64_t until = mono_ns() + seconds * 1000000000LL;
    do {
        const int32_t rc = ov_lockfile_acquire(&lock, name.c_str(), kHolderExpiration);
        if (rc == 0) return ov_lockfile_release(&lock) == 0 ? kWon : 1;
        if (!refused(rc)) return 1;
        sleep_ms(200);
    } while (mono_ns() < until);
    return kRefused;
}

// A live holder and contenders on shifted clocks: no contender may take the
// live lock, and a skewed contender still takes a dead lock over.
void clock_skew(const std::string &work) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtime must come first among the libraries and refuses
    // a preloaded one.
    g_fig.skipped.emplace_back(
        "clock skew: libfaketime cannot be preloaded into a sanitizer build");
    return;
#endif
    if (faketime_library().empty()) {
        g_fig.skipped.emplace_back("clock skew: libfaketime is not installed");
        return;
    }
    const char *offsets[] = {"+300s", "-300s", "+1h", "-1h"};
    const int window = kHolderExpiration + 5;
    for (const char *offset : offsets) {
        const std::string dir = make_temp_dir(work, "skew");
        const std::string name = dir + "/x";
        const std::string ready = dir + "/ready";
        // The holder runs on the shifted clock, contenders on both.
        const pid_t holder =
            spawn_skewed(offset, {"skew-holder", name, std::to_string(window + 1), ready});
        const int64_t deadline = mono_ns() + 10 * 1000000000LL;
        while (access(ready.c_str(), F_OK) != 0 && mono_ns() < deadline) sleep_ms(20);
        if (access(ready.c_str(), F_OK) != 0) {
            fail("skew %s: the holder did not start (status %d)", offset, wait_status(holder));
            remove_tree(dir);
            continue;
        }
        const long skew =
            std::atol(ovsupport::read_file(ready).c_str()) - static_cast<long>(time(nullptr));
        if (std::labs(skew) < 200)
            fail("skew %s: the holder's clock is not shifted (%ld s)", offset, skew);
        std::vector<pid_t> contenders;
        contenders.push_back(
            spawn_skewed(offset, {"skew-contender", name, std::to_string(window)}));
        contenders.push_back(spawn_child([&] { return skew_contender_main(name, window); }));
        int wins = 0;
        for (const pid_t pid : contenders) {
            const int code = exit_code(wait_status(pid));
            if (code == kWon)
                ++wins;
            else if (code != kRefused)
                fail("skew %s: a contender ended with %d", offset, code);
        }
        const int held = exit_code(wait_status(holder));
        g_fig.false_takeovers += static_cast<uint64_t>(wins);
        g_fig.acquisitions++;
        if (wins != 0 || held != 0)
            fail("skew %s: live lock taken over (%d wins, holder %d)", offset, wins, held);

        // A dead lock on the same directory: the skewed contender takes it.
        plant_stale_lock(name + ".lck");
        const int code =
            exit_code(wait_status(spawn_skewed(offset, {"skew-contender", name, "10"})));
        if (code == kWon) {
            g_fig.takeovers++;
            g_fig.acquisitions++;
        } else {
            fail("skew %s: a dead lock was not taken over (%d)", offset, code);
        }
        note("skew %s: live lock kept against %zu contenders for %d s; dead lock taken over: %s",
             offset, contenders.size(), window, code == kWon ? "yes" : "no");
        unlink(ready.c_str());
        count_debris(dir, "x", false);
        remove_tree(dir);
    }
}

// ---------------------------------------------------------------------------
// A file server of our own: offset clock, latency, faults, two clients
// ---------------------------------------------------------------------------

void file_server(const std::string &work, bool soak, int takeover_count) {
    std::string why;
    if (g_testfs.empty() || !TestFsMount::available(g_testfs, &why)) {
        g_fig.skipped.emplace_back("file server: " + (g_testfs.empty() ? "no ovtestfs" : why));
        return;
    }
    for (const char *offset : {"--offset=3600", "--offset=-3600"}) {
        const std::string backing = make_temp_dir(work, "server");
        const std::string mount_a = make_temp_dir(work, "client-a");
        const std::string mount_b = make_temp_dir(work, "client-b");
        TestFsMount a(g_testfs);
        TestFsMount b(g_testfs);
        if (!a.mount(backing, mount_a, {offset}) || !b.mount(backing, mount_b, {offset})) {
            fail("file server: mount failed");
            return;
        }
        const std::string label = std::string("server clock ") + (offset + 9) + " s";

        // Two client hosts contend for one lock.
        contention(LockKind::Library,
                   {mount_a + "/x", mount_b + "/x", mount_a + "/x", mount_b + "/x"}, work,
                   mount_a + "/counter", soak ? 50 : 25, (label + ", two clients").c_str());
        unlink((backing + "/counter").c_str());

        // Simultaneous takeovers through a slow server, from both clients.
        a.set_control("latency_ms=5\n");
        b.set_control("latency_ms=5\n");
        // Through the library the server clock behind the clients' also gets
        // a delay between the stale verdict and the takeover, which spreads
        // the contenders out the way unequal clients would.
        const bool ahead = offset[9] != '-';
        const TakeoverPlan slow{ahead ? "slow server" : "slow server, delay before the takeover",
                                soak ? LockKind::Tool : LockKind::Library,
                                8,
                                soak || ahead ? 0u : 60u,
                                soak ? 0u : 100u,
                                true};
        takeover_rounds(slow, {mount_a, mount_b}, work, takeover_count);
        a.set_control("");
        b.set_control("");

        // A lock stamped in the future by the server's own clock.
        const std::string future = mount_a + "/f.lck";
        write_text(future, "1:00000000-0000-0000-0000-000000000000:elsewhere\n");
        struct stat st {};
        stat(future.c_str(), &st);
        const timespec times[2] = {{st.st_mtime + 120, 0}, {st.st_mtime + 120, 0}};
        utimensat(AT_FDCWD, future.c_str(), times, 0);
        const ToolRun skewed = run_tool(mount_b + "/f", 10, work + "/future");
        if (exit_code(skewed.status) != 1 ||
            skewed.err.find("clock skew detected") == std::string::npos)
            fail("%s: a lock from the future gave status %d: %s", label.c_str(), skewed.status,
                 skewed.err.c_str());
        unlink(future.c_str());

        // Faults: acquisition reports the server's error and leaves nothing.
        struct Fault {
            const char *control;
            const char *text;
        };
        const Fault faults[] = {{"fail=ENOSPC:create\n", "out of disk space"},
                                {"fail=EROFS:create,mkdir\n", "Read-only file system"},
                                {"fail=EIO:create\n", "I/O error"},
                                {"fail=ESTALE:open,getattr\n", "Stale file handle"}};
        for (const auto &fault : faults) {
            for (bool stale_lock : {false, true}) {
                if (stale_lock) plant_stale_lock(mount_a + "/y.lck");
                b.set_control(fault.control);
                const ToolRun run = run_tool(mount_b + "/y", 10, work + "/fault");
                b.set_control("");
                if (exit_code(run.status) != 1 || run.err.find(fault.text) == std::string::npos)
                    fail("%s: %s gave status %d: %s", label.c_str(), fault.control, run.status,
                         run.err.c_str());
                unlink((backing + "/y.lck").c_str());
                count_debris(backing, "y", true);
            }
        }
        // A holder whose refreshes fail for a few seconds keeps its lock.
        const ToolRun held = run_tool(mount_a + "/z", 10, work + "/hold");
        if (held.status == 0) {
            a.set_control("fail=EIO:open\n");
            sleep_ms(3000);
            a.set_control("");
            sleep_ms(1200);
            if (kill(held.worker, 0) != 0)
                fail("%s: a holder lost its lock after 3 s of failed refreshes", label.c_str());
            if (release_worker(held.worker) != 0)
                fail("%s: the holder could not release after the faults", label.c_str());
        } else {
            fail("%s: holder: %s", label.c_str(), held.err.c_str());
        }
        note("%s: two clients, future stamp, %zu fault kinds, refresh faults: done", label.c_str(),
             sizeof faults / sizeof faults[0]);
        count_debris(backing, "x", false);
        count_debris(backing, "z", false);
        a.unmount();
        b.unmount();
        remove_tree(backing);
        rmdir(mount_a.c_str());
        rmdir(mount_b.c_str());
    }
}

// Takeover rounds alone, on a local directory or through two mounts of a
// slow server.
void takeover_only(const std::string &work, int rounds, uint32_t delay_ms, int latency_ms) {
    const TakeoverPlan plan{"library", LockKind::Library, 8, delay_ms, 50, latency_ms > 0};
    if (latency_ms == 0) {
        takeover_rounds(plan, {make_temp_dir(work, "takeover")}, work, rounds);
        return;
    }
    std::string why;
    if (g_testfs.empty() || !TestFsMount::available(g_testfs, &why)) {
        fail("no test file server: %s", why.c_str());
        return;
    }
    const std::string backing = make_temp_dir(work, "server");
    const std::string mount_a = make_temp_dir(work, "client-a");
    const std::string mount_b = make_temp_dir(work, "client-b");
    TestFsMount a(g_testfs);
    TestFsMount b(g_testfs);
    const std::string latency = "--latency-ms=" + std::to_string(latency_ms);
    if (!a.mount(backing, mount_a, {latency}) || !b.mount(backing, mount_b, {latency})) {
        fail("file server: mount failed");
        return;
    }
    takeover_rounds(plan, {mount_a, mount_b}, work, rounds);
    a.unmount();
    b.unmount();
}

// ---------------------------------------------------------------------------
// Resources
// ---------------------------------------------------------------------------

int count_entries(const char *dir) {
    return static_cast<int>(ovsupport::entries(dir).size());
}

// Heap bytes in use, from whichever allocator serves this build.
int64_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<int64_t>(mallinfo2().uordblks);
#endif
}

// One process takes a thousand locks with their workers and gives them back;
// descriptors, threads and heap bytes must come back to where they were.
void resources(const std::string &work) {
    const std::string dir = make_temp_dir(work, "many");
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    const pid_t pid = spawn_child([&] {
        close(report[0]);
        constexpr int kLocks = 1000;
        std::vector<ov_lockfile_t> locks(kLocks);
        auto round = [&](int64_t *fds, int64_t *threads) {
            for (int i = 0; i < kLocks; ++i) {
                const std::string name = dir + "/l" + std::to_string(i);
                if (ov_lockfile_acquire_continuous(&locks[static_cast<size_t>(i)], name.c_str(),
                                                   10) != 0)
                    return false;
            }
            *fds = count_entries("/proc/self/fd");
            *threads = count_entries("/proc/self/task");
            for (auto &lock : locks) {
                if (ov_lockfile_release(&lock) != 0) return false;
            }
            return true;
        };
        int64_t held_fds = 0;
        int64_t held_threads = 0;
        // A first round warms up whatever the C library caches.
        if (!round(&held_fds, &held_threads)) return 1;
        const int64_t fds = count_entries("/proc/self/fd");
        const int64_t threads = count_entries("/proc/self/task");
        const int64_t bytes = heap_in_use();
        if (!round(&held_fds, &held_threads)) return 1;
        const int64_t out[4] = {count_entries("/proc/self/fd") - fds,
                                count_entries("/proc/self/task") - threads, heap_in_use() - bytes,
                                held_threads};
        const ssize_t ignored = write(report[1], out, sizeof out);
        (void)ignored;
        return 0;
    });
    close(report[1]);
    int64_t out[4] = {-1, -1, -1, -1};
    const bool got = read(report[0], out, sizeof out) == sizeof out;
    close(report[0]);
    const int status = wait_status(pid);
    if (!got || status != 0) {
        fail("resources: the child failed (status %d)", status);
    } else {
        g_fig.fds_leaked = out[0];
        g_fig.threads_leaked = out[1];
        g_fig.bytes_leaked = out[2];
        g_fig.acquisitions += 2000;
        note("resources: 1000 locks held with %" PRId64 " threads, released; leaked %" PRId64
             " descriptors, %" PRId64 " threads, %" PRId64 " bytes",
             out[3], out[0], out[1], out[2]);
        if (out[0] != 0 || out[1] != 0 || out[2] != 0) fail("resources: leak");
        if (out[3] < 1000)
            fail("resources: only %" PRId64 " threads while holding 1000 locks", out[3]);
    }
    count_debris(dir, "l", false);
    if (!ovsupport::entries(dir).empty())
        fail("resources: %zu files left", ovsupport::entries(dir).size());
    remove_tree(dir);
}

// ---------------------------------------------------------------------------

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
    for (const auto &s : f.skipped) std::printf("skipped: %s\n", s.c_str());
    for (const auto &s : f.failures) std::printf("FAILED: %s\n", s.c_str());
    std::printf("%s\n", f.failures.empty() ? "PASS" : "FAIL");
}

int usage() {
    std::fprintf(stderr,
                 "usage: ovstress ci|soak --tool PATH [--testfs PATH] [--minutes N] [--dir DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) g_self.assign(self, static_cast<size_t>(n));
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "skew-holder" && argc == 5)
        return skew_holder_main(argv[2], std::atoi(argv[3]), argv[4]);
    if (mode == "skew-contender" && argc == 4)
        return skew_contender_main(argv[2], std::atoi(argv[3]));
    if (mode != "ci" && mode != "soak" && mode != "takeover") return usage();

    double minutes = 30;
    int rounds = 30;
    uint32_t delay_ms = 0;
    int latency_ms = 0;
    std::string base = "/tmp";
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tool" && i + 1 < argc) {
            g_tool = argv[++i];
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
        } else {
            return usage();
        }
    }
    if (g_tool.empty()) return usage();
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::string work = make_temp_dir(base, "ovstress");
    if (work.empty()) return 1;
    const int64_t start = mono_ns();
    const bool soak = mode == "soak";

    if (mode == "takeover") {
        takeover_only(work, rounds, delay_ms, latency_ms);
    } else {
        self_test(work);
    }
    if (mode == "takeover") {
    } else if (!soak) {
        const std::string dir = make_temp_dir(work, "lib");
        contention(LockKind::Library, std::vector<std::string>(4, dir + "/x"), work,
                   dir + "/counter", 150, "library");
        count_debris(dir, "x", false);
        const std::string tool_dir = make_temp_dir(work, "tool");
        contention(LockKind::Tool, std::vector<std::string>(4, tool_dir + "/x"), work,
                   tool_dir + "/counter", 25, "tool");
        count_debris(tool_dir, "x", false);

        const std::string t = make_temp_dir(work, "takeover");
        takeover_rounds({"library", LockKind::Library, 8, 0, 50, false}, {t}, work, 30);
        takeover_rounds({"library, delay before the takeover", LockKind::Library, 8, 60, 50, false},
                        {t}, work, 30);
        takeover_rounds({"tool", LockKind::Tool, 8, 0, 0, false}, {t}, work, 6);
        killed_holder(work);
        paused_holder(work);
        clock_skew(work);
        file_server(work, false, 10);
        resources(work);
    } else {
        const int64_t until = start + static_cast<int64_t>(minutes * 60e9);
        const std::string t = make_temp_dir(work, "takeover");
        const std::string tool_dir = make_temp_dir(work, "tool");
        int pass = 0;
        while (mono_ns() < until) {
            note("soak pass %d, %.1f min left", ++pass,
                 static_cast<double>(until - mono_ns()) / 60e9);
            takeover_rounds({"tool", LockKind::Tool, 8, 0, 0, false}, {t}, work, 5);
            contention(LockKind::Tool, std::vector<std::string>(4, tool_dir + "/x"), work,
                       tool_dir + "/counter", 20, "tool");
            count_debris(tool_dir, "x", false);
            killed_holder(work);
            paused_holder(work);
            if (pass % 3 == 1) file_server(work, true, 3);
            if (pass % 5 == 1) clock_skew(work);
        }
        resources(work);
    }
    remove_tree(work);
    print_figures(static_cast<double>(mono_ns() - start) / 1e9);
    return g_fig.failures.empty() ? 0 : 1;
}
