// ovlockfile_main.cpp - hold an advisory lock file on behalf of a shell script.
//
// The tool acquires NAME.lck, forks a worker process, prints the worker's
// process id and exits 0, so the caller can capture the id and later send the
// worker SIGHUP to release the lock. The worker keeps the lock fresh with the
// keep-alive thread of the lock-file module and, every 500 milliseconds,
// checks whether the lock is still its own and whether the caller (the tool's
// parent process) still exists. When SIGHUP arrives, the caller is gone or
// the lock is lost, it prints "Release lockfile", releases and exits. SIGHUP
// is looked at before the other two: a script that sends it and exits at
// once has asked for a release, and gets it without a message.
//
// The caller is the parent the tool had when it started. Acquisition may take
// seconds, and a caller that ends meanwhile leaves the tool to be adopted by
// init or a subreaper, which would then be watched for ever. So the caller's
// id is read first thing, and where the kernel offers process descriptors
// the caller is held by one: a recycled pid can never pass for it, and its
// exit wakes the watch loop at once instead of at the next half second.
//
// Exit statuses: 0 for version, help, the first process after the fork and
// the worker after a release; 1 for usage errors and failed acquisition, fork
// or worker start; 255 when the worker cannot release the lock.
//
// SIGINT, SIGTERM and SIGHUP that reach the first process while it acquires
// the lock are only noted: acquisition runs to its end (within the probe
// window of about two seconds), so it never leaves a probe file or a moved
// stale lock behind. A lock taken meanwhile is released again (handed to the
// worker only to be released at once when the signal lands during the fork),
// and the tool then ends killed by the signal it received, as a script that
// sent it expects. The worker takes the default actions for SIGINT and
// SIGTERM again; SIGHUP is its request to release.
#include <ovplatform/ovlockfile.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ovtool.h"
#include "ovversion.h"

// Every log line of the tool is an error (level 1) and carries the tool's
// source name and the line it was written from.
#define TOOL_LOG(...) \
    ov_log(1, "frameworks/c/apps/ovlockfile/ovlockfile_main", __LINE__, __VA_ARGS__)

namespace {

constexpr char kToolName[] = "ovlockfile";
constexpr char kVersion[] = OV_VERSION_TEXT;
constexpr char kLogPath[] = "./ovlockfile.log";
constexpr int32_t kDefaultExpiration = 60;
constexpr uint32_t kWatchIntervalMs = 500;
constexpr size_t kMessageSize = 8192;

// Set by the SIGHUP handler, read by the watch loop.
volatile sig_atomic_t g_release_requested = 0;

// The signals that end the first process. During acquisition they are only
// noted, in the first one that arrived, and acted on once it has returned.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int signal) {
    if (g_stop_signal == 0) g_stop_signal = signal;
}

void on_sighup(int) {
    static const char kLine[] = "SIGHUP: Received termination signal. Lock will be released.\n";
    // One write of the whole line: safe inside a signal handler. It may
    // fail (a reader that closed the pipe): the errno of the code it
    // interrupted is kept.
    const int saved = errno;
    const ssize_t ignored = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    (void)ignored;
    errno = saved;
    g_release_requested = 1;
}

void print_usage() {
    std::printf("Usage: %s [-AD] file [expiration_seconds]\n", kToolName);
}

bool is(const char *arg, const char *short_form, const char *long_form) {
    return std::strcmp(arg, short_form) == 0 || std::strcmp(arg, long_form) == 0;
}

// Converts like atoi (text that is not a number gives 0), without atoi's
// undefined result for numbers beyond the range of int.
int32_t to_seconds(const char *text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

// Installs the SIGHUP handler so that it stays installed and restarts
// interrupted calls; the watch loop's sleep still ends on the signal.
void install_sighup_handler() {
    struct sigaction action {};
    action.sa_handler = on_sighup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

// The stop signals are blocked from just before the fork. In the first
// process none of them can then arrive unseen between its last look at the
// stop flag and the fork; it is delivered once the fork is done. In the
// worker SIGHUP stays blocked until its handler is in place and its
// keep-alive thread has started. A caller may send SIGHUP the
// moment it has read the worker's pid: the signal then waits, pending, for
// the handler instead of killing a worker that has not yet installed it (and
// leaving the lock file behind). The keep-alive thread inherits the blocked
// mask, so the signal always reaches the main thread, where it ends the watch
// loop's sleep at once.
void block_stop_signals(sigset_t *previous) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, previous);
}

// No SA_RESTART is needed: acquisition makes no call that a signal could cut
// short to its harm, and its probe sleeps run their full length regardless.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

void default_action(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Ends the process by the signal it caught, so that its caller sees it
// killed by that signal and not a normal exit.
[[noreturn]] void die_by(int signal) {
    default_action(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    raise(signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    // Not reached: the default action of each stop signal ends the process.
    std::_Exit(1);
}

// The process that ran the tool, as it was when the tool started.
struct Caller {
    pid_t pid = 0;
    int pidfd = -1;     // a process descriptor for it, or -1 where there is none
    bool gone = false;  // seen to have ended already
};

// Reads the caller's id and, where the kernel has pidfd_open(2), takes a
// descriptor for it. The caller may end between the two calls and its id be
// given to a new process; the descriptor is kept only when the process it
// names is still this one's parent afterwards.
//
// A caller can also be gone before the tool runs its first instruction (a
// script that starts the tool in the background and exits at once), and the
// parent found is then whoever adopted the tool. Sessions tell the two
// apart: a process inherits its parent's session at the fork and can leave
// it only for a session of its own, so a parent that really ran the tool
// shares its session unless the tool leads one. A parent in another session
// adopted the tool, and the caller it was started for is gone. A parent
// outside the tool's pid namespace shows as 0 and is left to the checks
// below, as before.
Caller find_caller() {
    Caller caller;
    caller.pid = getppid();
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, caller.pid, 0));
    if (fd >= 0) {
        if (getppid() == caller.pid) {
            caller.pidfd = fd;
        } else {
            close(fd);
            caller.gone = true;
        }
    }
#endif
    if (caller.pid > 0) {
        const pid_t session = getsid(0);
        if (session != getpid() && session != getsid(caller.pid)) caller.gone = true;
    }
    return caller;
}

// Whether the caller still runs and may still be signalled. The descriptor
// answers the first question without any doubt about a reused id; the null
// signal then answers the second, as it does alone where there is no
// descriptor.
bool caller_alive(const Caller &caller) {
    if (caller.gone) return false;
    if (caller.pidfd >= 0) {
        pollfd entry = {caller.pidfd, POLLIN, 0};
        const int ready = poll(&entry, 1, 0);
        if (ready > 0) return false;
    }
    return kill(caller.pid, 0) == 0;
}

// One watch interval: 500 ms, ended early by a signal and, with a process
// descriptor, by the caller's exit. poll(2) is never restarted after a signal
// handler, whatever SA_RESTART says, so SIGHUP still cuts the wait short.
void wait_interval(const Caller &caller) {
    if (caller.pidfd >= 0) {
        pollfd entry = {caller.pidfd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(kWatchIntervalMs)) >= 0 || errno == EINTR) return;
    }
    ov_thread_sleep_ms(kWatchIntervalMs);
}

void report_caller_gone(pid_t pid) {
    TOOL_LOG("Parent process %d not found", static_cast<int>(pid));
    std::fprintf(stderr, "%s: Parent process %d not found\n", kToolName, static_cast<int>(pid));
}

// The record another holder left in the lock file, as it is reported: a
// record keeps its newline, as it always has been printed, and anything
// else in it that is not printable text is spelled out (ovtool::shown), so
// that no file written by another user can send the terminal escapes.
void report_new_holder(const char *record) {
    char bare[OV_LOCKFILE_RECORD_SIZE];
    size_t length = strnlen(record, sizeof bare - 1);
    std::memcpy(bare, record, length);
    const bool newline = length > 0 && bare[length - 1] == '\n';
    bare[newline ? length - 1 : length] = '\0';
    char escaped[4 * OV_LOCKFILE_RECORD_SIZE];
    const char *text = ovtool::shown(bare, escaped, sizeof escaped);
    const char *end = newline ? "\n" : "";
    TOOL_LOG("Lock file now locked by [%s%s]", text, end);
    std::fprintf(stderr, "%s: Lock file now locked by [%s%s]\n", kToolName, text, end);
}

// The worker process's watch loop; returns when the lock is to be released.
void watch(ov_lockfile_t *lock, const Caller &caller) {
    std::atomic_ref<uint32_t> lost(lock->lost);
    for (;;) {
        if (g_release_requested) return;
        wait_interval(caller);
        // A SIGHUP that ended the wait is honoured before anything else is
        // looked at. A script that releases and then exits at once is gone
        // by the time the checks below run, and a release it asked for must
        // not be reported as its disappearance.
        if (g_release_requested) return;
        if (lost.load(std::memory_order_acquire)) {
            report_new_holder(lock->last_seen);
            return;
        }
        if (!lock->locked) {
            TOOL_LOG("Lock file no longer locked by me");
            std::fprintf(stderr, "%s: Lock file no longer locked by me\n", kToolName);
            return;
        }
        if (!caller_alive(caller)) {
            // A caller that sent SIGHUP and ended while the checks above
            // ran: its signal was queued before its exit could be seen, so
            // it has been handled on the way back from the probe's calls.
            // That is a release too, not a caller that went away.
            if (!g_release_requested) report_caller_gone(caller.pid);
            return;
        }
    }
}

[[noreturn]] void run_worker(ov_lockfile_t *lock, const Caller &caller, const sigset_t *unblocked) {
    char message[kMessageSize];
    default_action(SIGINT);
    default_action(SIGTERM);
    // A caller that read the pid through a pipe and closed it (a script's
    // "ovlockfile L | head -1") must not kill the worker with SIGPIPE when
    // it writes its SIGHUP line: the write fails, the release goes on.
    signal(SIGPIPE, SIG_IGN);
    install_sighup_handler();
    // A caller that ended while the lock was being acquired has nobody left
    // to release the lock for: give it back before it is ever refreshed.
    // A caller may also have ended right after it sent SIGHUP, before this
    // process first ran; its signal, pending until now, is handled as the
    // mask is lifted, and that is an ordinary release.
    if (!caller_alive(caller)) {
        pthread_sigmask(SIG_SETMASK, unblocked, nullptr);
        if (!g_release_requested) report_caller_gone(caller.pid);
    } else {
        int32_t rc = ov_lockfile_start_worker(lock);
        pthread_sigmask(SIG_SETMASK, unblocked, nullptr);
        if (rc != 0) {
            ov_lockfile_strerror(rc, message, sizeof message);
            TOOL_LOG("Unable to acquire lock forever (%s)", message);
            std::fprintf(stderr, "%s: Unable to acquire lock forever (%s)\n", kToolName, message);
            std::exit(1);
        }
        watch(lock, caller);
    }

    std::printf("Release lockfile\n");
    std::fflush(stdout);
    const int32_t rc = ov_lockfile_release(lock);
    if (rc != 0) {
        ov_lockfile_strerror(rc, message, sizeof message);
        TOOL_LOG("Unable to release lockfile (%s)", message);
        std::fprintf(stderr, "%s: Unable to release lockfile (%s)\n", kToolName, message);
        std::exit(-1);
    }
    std::exit(0);
}

}  // namespace

int main(int argc, char **argv) {
    // Before the caller's process descriptor, which would otherwise take
    // the number of a closed standard stream.
    ovtool::open_standard_streams(1);
    const Caller caller = find_caller();
    if (argc < 2) {
        print_usage();
        return 1;
    }

    const char *file = nullptr;
    const char *expiration = nullptr;
    int debug = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (is(arg, "-A", "--version")) {
            std::printf("%s version %s\n", kToolName, kVersion);
            return 0;
        }
        if (is(arg, "-h", "--help")) {
            print_usage();
            return 0;
        }
        if (is(arg, "-D", "--debug")) {
            ++debug;
        } else if (file == nullptr) {
            file = arg;
        } else if (expiration == nullptr) {
            expiration = arg;
        } else {
            print_usage();
            return 1;
        }
    }
    if (file == nullptr) {
        print_usage();
        return 1;
    }
    const int32_t expiration_seconds = expiration ? to_seconds(expiration) : kDefaultExpiration;

    if (debug > 0) {
        ov_log_open(OV_LOG_FILE, kLogPath);
        ov_log_enable(1);
        ov_log_set_debug(1);
        ov_log_set_debug_level(debug);
    }

    ov_lockfile_t lock;
    char message[kMessageSize];
    catch_stop_signals();
    int32_t rc = ov_lockfile_acquire(&lock, file, expiration_seconds);
    if (g_stop_signal != 0) {
        if (rc == 0) ov_lockfile_release(&lock);
        die_by(g_stop_signal);
    }
    if (rc != 0) {
        ov_lockfile_strerror(rc, message, sizeof message);
        // A name with a newline has no parent directory (ENOBUFS): say why.
        if (rc == ENOBUFS && std::strchr(file, '\n') != nullptr)
            ov_str_copy(message, "a lock's name cannot hold a newline", sizeof message);
        char escaped[4 * kMessageSize];
        const char *name = ovtool::shown(file, escaped, sizeof escaped);
        TOOL_LOG("Unable to acquire lock on %s (%s)", name, message);
        std::fprintf(stderr, "%s: Unable to acquire lock on %s (%s)\n", kToolName, name, message);
        return 1;
    }

    sigset_t unblocked;
    block_stop_signals(&unblocked);
    // A signal caught after the look above and before the block.
    if (g_stop_signal != 0) {
        ov_lockfile_release(&lock);
        die_by(g_stop_signal);
    }
    // Nothing buffered may be written twice by both processes.
    std::fflush(nullptr);
    const pid_t worker = fork();
    if (worker < 0) {
        // Nobody would ever refresh the lock: give it back before reporting.
        ov_lockfile_release(&lock);
        pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
        if (g_stop_signal != 0) die_by(g_stop_signal);
        TOOL_LOG("Unable to fork worker process");
        std::fprintf(stderr, "%s: Unable to fork worker process\n", kToolName);
        return 1;
    }
    if (worker > 0) {
        // A stop signal that came during the fork is delivered here. The
        // worker owns the lock now, so it is asked to release it (its SIGHUP
        // waits, blocked, until its handler is in place), and the first
        // process ends only once the lock file is gone.
        pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
        if (g_stop_signal != 0) {
            kill(worker, SIGHUP);
            waitpid(worker, nullptr, 0);
            die_by(g_stop_signal);
        }
        std::printf("%d\n", static_cast<int>(worker));
        return 0;
    }
    run_worker(&lock, caller, &unblocked);
}
