// harness.cpp - the figures, child processes, tool runs and the enter/exit
// log that the reliability harness's scenarios share (see harness.h).
#include "harness.h"

#include <ovplatform/overror.h>

#include "ovsupport/files.h"
#include "ovsupport/lock_tool.h"
#include "ovsupport/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

namespace ovstress {

Figures g_fig;
std::string g_tool;
std::string g_run;
std::string g_testfs;
std::string g_self;
bool g_without_etcd = false;

void fail(const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "ovstress: FAIL %s\n", line);
    g_fig.failures.emplace_back(line);
}

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

std::string temp_dir(const std::string &base, const char *stem) {
    const std::string dir = ovsupport::make_temp_dir(base, stem);
    if (dir.empty()) fail("mkdtemp %s/%s: %s", base.c_str(), stem, std::strerror(errno));
    return dir;
}

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

void plant_stale_lock(const std::string &lock_path, int64_t age_seconds) {
    ovsupport::write_file(lock_path, "999999999:00000000-dead-dead-dead-000000000000:gone\n");
    const time_t written = ovsupport::mtime_of(lock_path).tv_sec;
    ovsupport::set_mtime(lock_path, written - age_seconds);
}

bool refused(int32_t rc) {
    return rc == ELOCKED || rc == EEXIST || rc == ENOENT || rc == ELOCKINVAL || rc == ESTALE;
}

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------

pid_t spawn_child(const std::function<int()> &body) {
    const pid_t pid = ovsupport::StartFunction(body, {.subreaper = true});
    if (pid < 0) fail("fork: %s", std::strerror(errno));
    return pid;
}

int wait_code(pid_t pid) {
    return ovsupport::ExitCode(ovsupport::Wait(pid));
}

Barrier::Barrier() {
    if (pipe2(fds_, O_CLOEXEC) != 0) fail("pipe: %s", std::strerror(errno));
}

void Barrier::wait() {
    close(fds_[1]);
    char c;
    while (read(fds_[0], &c, 1) < 0 && errno == EINTR) {
    }
}

void Barrier::open_all() {
    if (fds_[1] >= 0) close(fds_[1]);
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = fds_[1] = -1;
}

ToolRun run_tool(const std::string &name, int expiration, const std::string &scratch,
                 bool capture_err) {
    ToolRun run;
    const std::string out_path = scratch + ".out";
    const std::string err_path = capture_err ? scratch + ".err" : "/dev/null";
    const pid_t pid = ovsupport::StartProgram(g_tool, {name, std::to_string(expiration)},
                                              {.out = out_path, .err = err_path});
    if (pid < 0) {
        run.err = std::strerror(errno);
        return run;
    }
    run.code = wait_code(pid);
    if (run.code == 0) run.worker = ovsupport::worker_pid(ovsupport::read_file(out_path));
    if (capture_err) run.err = ovsupport::read_file(err_path);
    return run;
}

int run_command_tool(const std::string &name, const std::vector<std::string> &options,
                     const std::string &log_path, const char *holder, const std::string &counter,
                     int hold_ms, int refusals, const std::string &scratch, std::string *err) {
    std::vector<std::string> args = {"-E", std::to_string(kRunBusy)};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", name, g_self, "run-holder", log_path, holder, counter,
                             std::to_string(hold_ms), std::to_string(refusals)});
    const std::string err_path = scratch + ".err";
    const pid_t pid = ovsupport::StartProgram(g_run, args, {.out = "/dev/null", .err = err_path});
    if (pid < 0) {
        *err = std::strerror(errno);
        return -1;
    }
    const int code = wait_code(pid);
    *err = ovsupport::read_file(err_path);
    return code;
}

LockKind mixed_kind(int contender) {
    static constexpr LockKind kTurns[] = {LockKind::Library, LockKind::Tool, LockKind::Run};
    return kTurns[contender % 3];
}

const char *kind_name(LockKind kind) {
    switch (kind) {
        case LockKind::Library:
            return "library";
        case LockKind::Tool:
            return "tool";
        case LockKind::Run:
            return "command-tool";
        case LockKind::Mixed:
            return "mixed";
        case LockKind::Broken:
            return "broken";
    }
    return "?";
}

// A worker that has not ended three seconds after SIGHUP is asked again.
// Under the thread sanitizer that can happen: its runtime's own threads
// leave SIGHUP unblocked, so a SIGHUP sent while the worker's main thread
// still blocks it (before its handler is in place) may land on one of them
// and be lost. Anywhere else a second request is a failure of the tool.
int release_worker(pid_t worker) {
    // No pid was read: a signal to pid 0 or -1 would go to whole groups.
    if (worker <= 0) return ovsupport::kNoStatus;
    kill(worker, SIGHUP);
    bool asked_again = false;
    for (int tries = 0;; ++tries) {
        auto status = ovsupport::TryWait(worker, std::chrono::seconds(3));
        int raw = 0;
        if (!status) {
            // Ended at the limit, still running, or not a child of ours.
            const pid_t r = waitpid(worker, &raw, WNOHANG);
            if (r < 0) return ovsupport::kNoStatus;
            if (r == worker) status = raw;
        }
        if (status) return asked_again ? kAskedAgain : ovsupport::ExitCode(status);
#if !defined(__SANITIZE_THREAD__)
        std::fprintf(stderr, "ovstress: worker %d did not end within 3 s of SIGHUP\n", worker);
        asked_again = true;
#endif
        kill(worker, tries < 3 ? SIGHUP : SIGKILL);
    }
}

// ---------------------------------------------------------------------------
// The enter/exit log
// ---------------------------------------------------------------------------

// One write per record: O_APPEND makes each record land whole and in the
// order the writes happened.
void EventLog::record(char kind, const char *holder) const {
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%c %s %" PRId64 "\n", kind, holder, mono_ns());
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t ignored = write(fd, line, static_cast<size_t>(n));
    (void)ignored;
    close(fd);
}

uint64_t EventLog::count(char kind) const {
    const std::string text = ovsupport::read_file(path_);
    uint64_t n = 0;
    for (size_t pos = 0; pos < text.size();) {
        if (text[pos] == kind) ++n;
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return n;
}

void hold_for_refusals(const EventLog &log, int refusals) {
    const int64_t limit = mono_ns() + 10 * 1000000000LL;
    while (log.count('R') < static_cast<uint64_t>(refusals) && mono_ns() < limit) sleep_ms(20);
}

EventLog::Result EventLog::analyse() const {
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
                    for (const auto &other : inside) explained = explained || paused.count(other);
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

}  // namespace ovstress
