// ovlockrun_main.cpp - run a command while holding an advisory lock file.
//
// The tool takes NAME.lck through the lock-file module (the same records,
// age test, takeover and breaker as ovlockfile, so the two tools exclude each
// other on one name), runs the command as its child in a process group of its
// own, keeps the lock fresh with the module's keep-alive thread while the
// command runs, and releases the lock when the command ends. Its exit status
// is the command's. There is no worker process and no pid to signal: the
// lock lives exactly as long as this process waits for the command.
//
// With -w it keeps trying for the lock through the module's waiting
// acquisition (ov_lockfile_acquire_wait), backing off from 50 ms to at most
// a second with jitter; a release on this host wakes it at once (inotify on
// the lock's directory, watched by the first of the host's waiters, which
// queue up behind it), so a waiter starts within milliseconds of the
// release there and within one back-off step on a network file system.
// Only a lock that is held (ELOCKED) counts as busy. A lock file that
// vanishes or appears between two steps of one attempt (ENOENT, EEXIST)
// changed hands at that moment and is tried again at once (a few times in a
// row; then the lock counts as busy); every other code is a failure.
//
// Signals: SIGINT, SIGTERM, SIGHUP and SIGQUIT that arrive before the command
// has started are only noted while an acquisition runs (it never leaves a
// probe file behind), and end the tool with 128 + N once nothing is held any
// more. Once the command runs they are passed on to its process group, and
// the command's own end decides the status. When the lock is lost while the
// command runs (taken over, or the refresh kept failing), the tool says so,
// stops the command's group with SIGTERM and, after -k seconds, SIGKILL, and
// exits 3. Started in the foreground of a terminal, the tool gives the
// terminal's foreground to the command's group while the command runs.
//
// --check looks at a lock without touching it: the record, the age by the
// file system's clock and the verdict that an acquisition would reach.
//
// With --endpoints or --etcd the lock is a key on an etcd cluster instead
// (etcd_backend.cpp); the tool's part stays the same, and the two stores sit
// behind one interface (lock_backend.h). That backend needs libcurl, which a
// file lock must not load: this program, built without it, execs the helper
// ovlockrun-etcd, the same source built with it, when etcd is asked for.
#include <ovplatform/overror.h>
#include <ovplatform/ovlockfile.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovtime.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <type_traits>
#include <unistd.h>

#include "lock_backend.h"
#include "ovtool.h"
#include "ovversion.h"
#ifdef OVLOCKRUN_WITH_ETCD
#include "etcd_backend.h"
#endif

// The tool's log lines carry its source name and the line they were written
// from, and are written only with -D: failures at level 1, the course of a
// run (acquisition, keep-alive, release, the command's status) at the first
// debug level.
#define TOOL_LOG_AT(level, ...) \
    ov_log(level, "frameworks/c/apps/ovlockrun/ovlockrun_main", __LINE__, __VA_ARGS__)
#define TOOL_LOG(...) TOOL_LOG_AT(1, __VA_ARGS__)
#define TOOL_DEBUG(...) TOOL_LOG_AT(4, __VA_ARGS__)

namespace {

using ovlockrun::Acquired;
using ovlockrun::kExitBusy;
using ovlockrun::kExitFailure;
using ovlockrun::kExitLost;
using ovlockrun::kExitUsage;
using ovlockrun::LockBackend;
using ovlockrun::Released;

constexpr char kToolName[] = "ovlockrun";
constexpr char kLogPath[] = "./ovlockrun.log";

// Exit statuses of the tool itself beside those of lock_backend.h.
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
constexpr int kExitSignalBase = 128;
// --check: free 0, held 1, and these two.
constexpr int kCheckStale = 5;
constexpr int kCheckSkew = 6;

constexpr int32_t kDefaultExpiration = 60;
constexpr double kDefaultKillAfter = 5;
// Longest -w and -k: a year, far beyond any use, and small enough that the
// deadlines computed from them stay exact in nanoseconds.
constexpr double kMaxSeconds = 366.0 * 24 * 3600;
// How often the lost flag is looked at while the command runs: well inside
// the keep-alive worker's refresh period, so that a takeover is acted on
// within about a second of its happening.
constexpr int kWatchMs = 100;
// How long the command runs before the keep-alive thread is started.
constexpr int64_t kWorkerDelayMs = 200;
// How often the command's group is looked at during the grace after SIGTERM.
constexpr int kGraceStepMs = 20;
constexpr size_t kMessageSize = 8192;

struct Options {
    double wait_seconds = 0;
    int32_t expiration = kDefaultExpiration;
    int conflict_code = kExitBusy;
    double kill_after = kDefaultKillAfter;
    bool quiet = false;
    int debug = 0;
    bool check = false;
    const char *file = nullptr;  // FILE, or NAME on etcd
    char **command = nullptr;    // null-terminated, from argv
    // The etcd backend, chosen by --endpoints or --etcd, and its options.
    bool etcd = false;
    const char *endpoints = nullptr;
    const char *cacert = nullptr;
    const char *cert = nullptr;
    const char *key = nullptr;
    const char *user = nullptr;
    const char *password_file = nullptr;
};

// ---- Signals ------------------------------------------------------------------------------

constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Signals received and not yet acted on, one bit each, and the first one
// received, which gives the status when the command never started. Lock-free
// atomics are safe to use in a signal handler.
std::atomic<uint32_t> g_pending{0};
std::atomic<int> g_first_signal{0};
// Written by the handlers so that a wait in poll(2) ends at once; both ends
// are non-blocking and close-on-exec. g_cancel is written only by the
// signals that are passed on, and never read: once readable it stays so,
// and ends the wait for the lock (SIGCHLD of a child inherited through exec
// must not).
int g_wake[2] = {-1, -1};
int g_cancel[2] = {-1, -1};

void wake() {
    const int saved = errno;
    const char byte = 0;
    const ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void on_passed_on(int signal) {
    int none = 0;
    g_first_signal.compare_exchange_strong(none, signal);
    g_pending.fetch_or(1u << signal);
    const int saved = errno;
    const char byte = 0;
    const ssize_t ignored = write(g_cancel[1], &byte, 1);
    (void)ignored;
    errno = saved;
    wake();
}

void on_child(int) {
    wake();
}

void drain_wake() {
    char buffer[64];
    while (read(g_wake[0], buffer, sizeof buffer) > 0) {
    }
}

bool install_handlers() {
    if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    if (pipe2(g_cancel, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // Restarted: the lock module's calls run to their end whatever arrives.
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_passed_on;
    for (const int signal : kPassedOn) sigaction(signal, &action, nullptr);
    action.sa_handler = on_child;
    // Stops of the command wake the tool too: on a terminal it mirrors them.
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, nullptr);
    return true;
}

// ---- Time ---------------------------------------------------------------------------------

int64_t now_ms() {
    ov_timeval_t now{};
    ov_time_monotonic_now(&now);
    return now.tv_sec * 1000 + now.tv_usec / 1000;
}

// Whole milliseconds, rounded up (by hand: the tool needs nothing of libm).
int64_t to_ms(double seconds) {
    const double ms = seconds * 1000.0;
    const auto whole = static_cast<int64_t>(ms);
    return static_cast<double>(whole) < ms ? whole + 1 : whole;
}

// ---- Messages -----------------------------------------------------------------------------

// A message line as it reaches standard error and the debug log: names and
// records in it may come from a file that anybody could have written, so
// every byte that is not printable text is spelled out (ov_str_escape_to),
// and nothing can move the cursor, retitle the window or start a line.
// The line goes to the debug log at level (none when negative) and, with
// to_stderr, to standard error after the tool's name.
__attribute__((format(printf, 3, 0))) void put_line(int level, bool to_stderr, const char *format,
                                                    va_list args) {
    char line[kMessageSize];
    std::vsnprintf(line, sizeof line, format, args);
    char out[4 * kMessageSize];
    ov_str_escape_to(out, line, sizeof out, nullptr);
    if (level >= 0) TOOL_LOG_AT(static_cast<uint32_t>(level), "%s", out);
    if (to_stderr) std::fprintf(stderr, "%s: %s\n", kToolName, out);
}

__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    put_line(1, true, format, args);
    va_end(args);
}

const char *code_text(int32_t code, char *buffer) {
    return ov_lockfile_strerror(code, buffer, kMessageSize);
}

// A record without its newline (size is at least OV_LOCKFILE_RECORD_SIZE).
void bare_record(const char *record, char *out, size_t size) {
    size_t n = 0;
    for (; record[n] != '\0' && n + 1 < size; ++n) out[n] = record[n];
    if (n > 0 && record[n - 1] == '\n') --n;
    out[n] = '\0';
}

// The lock file's content right now, for a message; fallback when it
// cannot be read. It is opened as the lock module opens it: a link, FIFO
// or device planted under its name is neither followed nor waited on.
void current_record(const char *path, const char *fallback, char *out, size_t size) {
    char raw[OV_LOCKFILE_RECORD_SIZE] = {};
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ssize_t n = -1;
    if (fd >= 0) {
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
            n = read(fd, raw, OV_LOCKFILE_RECORD_MAX);
        close(fd);
    }
    bare_record(n > 0 ? raw : fallback, out, size);
}

// Which of the lock's files is not a regular file, for EFILENOTVALID.
const char *not_regular_name(const char *lock_path, char *out, size_t size) {
    struct stat status {};
    if (lstat(lock_path, &status) == 0 && !S_ISREG(status.st_mode)) return lock_path;
    std::snprintf(out, size, "%s.brk", lock_path);
    return out;
}

// Reports a failed acquisition of, or look at, the lock at lock_path; what
// says which ("cannot acquire", "cannot look at"); where names a directory
// at fault, if any.
void say_failure(const char *what, const char *file, const char *lock_path, int32_t code,
                 const char *where) {
    char text[kMessageSize];
    if (where != nullptr && where[0] != '\0') {
        say("%s the lock on %s: %s: %s", what, file, where, code_text(code, text));
    } else if (code == EFILENOTVALID) {
        say("%s the lock on %s: %s is not a regular file", what, file,
            not_regular_name(lock_path, text, sizeof text));
    } else {
        say("%s the lock on %s: %s", what, file, code_text(code, text));
    }
}

void print_usage(FILE *to) {
    std::fprintf(
        to,
        "Usage: %s [-w SECONDS] [-e SECONDS] [-E CODE] [-k SECONDS] [-q] [-D] [--] FILE "
        "COMMAND [ARG...]\n"
        "       %s [-e SECONDS] --check FILE\n"
        "       %s {--endpoints URL[,URL...] | --etcd} [--cacert FILE] [--cert FILE --key FILE]\n"
        "                 [--user NAME [--password-file FILE]] [-w SECONDS] [-e SECONDS]\n"
        "                 [-E CODE] [-k SECONDS] [-q] [-D] [--] NAME COMMAND [ARG...]\n"
        "       %s {--endpoints URL[,URL...] | --etcd} [TLS and user options] [-D] --check NAME\n",
        kToolName, kToolName, kToolName, kToolName);
}

void print_help() {
    print_usage(stdout);
    std::fputs(
        "\n"
        "Runs COMMAND while holding the lock file FILE.lck, keeps the lock fresh while\n"
        "the command runs and removes it when the command ends. It is the lock that\n"
        "ovlockfile takes: the two tools exclude each other on the same FILE.\n"
        "\n"
        "  -w, --wait SECONDS       keep trying for a busy lock this long (fractions\n"
        "                           allowed; default 0: one try)\n"
        "  -e, --expire SECONDS     a lock file unchanged this long is stale and is\n"
        "                           taken over (default 60, at least 2)\n"
        "  -E, --conflict-exit-code CODE\n"
        "                           exit status when the lock stays busy (default 1)\n"
        "  -k, --kill-after SECONDS when the lock is lost, SIGKILL what is left of the\n"
        "                           command's process group this long after SIGTERM\n"
        "                           (default 5, fractions allowed)\n"
        "  -q, --quiet              no message when the lock is busy\n"
        "  -D, --debug              debug log in ./ovlockrun.log; repeat for more detail\n"
        "      --check              print FILE.lck's record, age and verdict; changes\n"
        "                           nothing\n"
        "      --help               print this help and exit\n"
        "      --version            print the version and exit\n"
        "\n"
        "The lock on an etcd cluster (NAME is then the lock's name):\n"
        "      --endpoints URL[,URL...]\n"
        "                           the cluster's http:// or https:// HOST:PORT URLs,\n"
        "                           tried in order\n"
        "      --etcd               the endpoints from OVLOCK_ETCD_ENDPOINTS, else\n"
        "                           http://127.0.0.1:2379\n"
        "      --cacert FILE        the CA that signed the members' certificates\n"
        "      --cert FILE, --key FILE\n"
        "                           this client's certificate and its key\n"
        "      --user NAME          authenticate as NAME, with the password in\n"
        "                           OVLOCK_ETCD_PASSWORD\n"
        "      --password-file FILE the first line of FILE is the password instead\n"
        "  -e SECONDS is then the lease's time to live (default 60, at least 2; a\n"
        "  fraction counts as a whole second). --check NAME prints the holder's\n"
        "  record, key, fence, time left and waiters.\n"
        "  COMMAND gets OVLOCK_KEY, OVLOCK_RECORD and OVLOCK_FENCE (a number that is\n"
        "  greater for every later holder of NAME) instead of OVLOCK_FILE.\n"
        "\n"
        "COMMAND runs in a process group of its own, with the standard streams of\n"
        "ovlockrun, and with OVLOCK_FILE (the lock file's absolute path) and\n"
        "OVLOCK_RECORD (the lock's record, a fencing value) in its environment.\n"
        "SIGINT, SIGTERM, SIGHUP and SIGQUIT are passed on to its process group.\n"
        "Started in the foreground of a terminal, ovlockrun gives the terminal to\n"
        "COMMAND's group while COMMAND runs, as a shell does for a job; a stopped\n"
        "COMMAND stops the whole job, also one started in the background.\n"
        "\n"
        "Exit status:\n"
        "  COMMAND's own, or 128+N when signal N ended it\n"
        "  1     the lock was busy (after -w SECONDS); -E CODE changes it\n"
        "  2     usage error\n"
        "  3     the lock was lost while COMMAND ran; COMMAND was stopped\n"
        "  4     the lock could not be acquired or released for another reason\n"
        "  126   COMMAND could not be run\n"
        "  127   COMMAND was not found\n"
        "  128+N signal N arrived before COMMAND started\n"
        "With --check: 0 free, 1 held, 5 stale, 6 clock skew (the lock's time lies\n"
        "in the file system's future), 2 usage error, 4 the lock could not be looked at.\n"
        "On etcd, 4 also when no endpoint answers (each within 2 s, 4 s with --user).\n",
        stdout);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    put_line(-1, true, format, args);
    va_end(args);
    print_usage(stderr);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kToolName);
    std::exit(kExitUsage);
}

// ---- Options ------------------------------------------------------------------------------

// Seconds as a decimal number with an optional fraction, from 0 up to a year.
bool parse_seconds(const char *text, double *out) {
    if (text[0] == '\0') return false;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    // The range test also turns away NaN and infinity.
    if (errno != 0 || *end != '\0' || !(value >= 0 && value <= kMaxSeconds)) return false;
    *out = value;
    return true;
}

bool parse_integer(const char *text, long low, long high, long *out) {
    if (text[0] == '\0') return false;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

enum LongOnly {
    kOptCheck = 256,
    kOptHelp,
    kOptVersion,
    kOptEndpoints,
    kOptEtcd,
    kOptCacert,
    kOptCert,
    kOptKey,
    kOptUser,
    kOptPasswordFile,
};

// -e for a lock file: whole seconds, at least 2.
int32_t file_expiration(const char *text) {
    long value = 0;
    if (!parse_integer(text, 2, INT32_MAX, &value))
        usage_error("invalid expiration '%s': whole seconds, at least 2, expected", text);
    return static_cast<int32_t>(value);
}

// -e for a lease: seconds, a fraction counting as a whole second, at least 2.
int32_t lease_time_to_live(const char *text) {
    double seconds = 0;
    if (!parse_seconds(text, &seconds) || seconds < 2)
        usage_error("invalid time to live '%s': seconds, at least 2, expected", text);
    const int64_t whole = (to_ms(seconds) + 999) / 1000;
    return static_cast<int32_t>(whole);
}

Options parse_options(int argc, char **argv) {
    static const option kLongOptions[] = {
        {"wait", required_argument, nullptr, 'w'},
        {"expire", required_argument, nullptr, 'e'},
        {"conflict-exit-code", required_argument, nullptr, 'E'},
        {"kill-after", required_argument, nullptr, 'k'},
        {"quiet", no_argument, nullptr, 'q'},
        {"debug", no_argument, nullptr, 'D'},
        {"check", no_argument, nullptr, kOptCheck},
        {"endpoints", required_argument, nullptr, kOptEndpoints},
        {"etcd", no_argument, nullptr, kOptEtcd},
        {"cacert", required_argument, nullptr, kOptCacert},
        {"cert", required_argument, nullptr, kOptCert},
        {"key", required_argument, nullptr, kOptKey},
        {"user", required_argument, nullptr, kOptUser},
        {"password-file", required_argument, nullptr, kOptPasswordFile},
        {"help", no_argument, nullptr, kOptHelp},
        {"version", no_argument, nullptr, kOptVersion},
        {nullptr, 0, nullptr, 0},
    };
    Options opt;
    bool only_for_running = false;    // an option that --check does not take
    const char *etcd_only = nullptr;  // an option of the etcd backend, as given
    const char *expire = nullptr;
    long value = 0;
    opterr = 0;
    // "+": the options end at FILE, so that COMMAND's own options are its own.
    for (;;) {
        const int c = getopt_long(argc, argv, "+:w:e:E:k:qD", kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'w':
                if (!parse_seconds(optarg, &opt.wait_seconds))
                    usage_error("invalid wait '%s': seconds expected", optarg);
                only_for_running = true;
                break;
            case 'e':
                // Checked once the backend is known: a file's age limit and a
                // lease's time to live are read differently.
                expire = optarg;
                break;
            case 'E':
                if (!parse_integer(optarg, 0, 255, &value))
                    usage_error("invalid conflict exit code '%s': 0 to 255 expected", optarg);
                opt.conflict_code = static_cast<int>(value);
                only_for_running = true;
                break;
            case 'k':
                if (!parse_seconds(optarg, &opt.kill_after))
                    usage_error("invalid kill-after '%s': seconds expected", optarg);
                only_for_running = true;
                break;
            case 'q':
                opt.quiet = true;
                only_for_running = true;
                break;
            case 'D':
                ++opt.debug;
                break;
            case kOptCheck:
                opt.check = true;
                break;
            case kOptEndpoints:
                if (optarg[0] == '\0') usage_error("--endpoints needs at least one URL");
                opt.endpoints = optarg;
                opt.etcd = true;
                break;
            case kOptEtcd:
                opt.etcd = true;
                break;
            case kOptCacert:
                opt.cacert = optarg;
                etcd_only = "--cacert";
                break;
            case kOptCert:
                opt.cert = optarg;
                etcd_only = "--cert";
                break;
            case kOptKey:
                opt.key = optarg;
                etcd_only = "--key";
                break;
            case kOptUser:
                if (optarg[0] == '\0') usage_error("--user needs a name");
                opt.user = optarg;
                etcd_only = "--user";
                break;
            case kOptPasswordFile:
                opt.password_file = optarg;
                etcd_only = "--password-file";
                break;
            case kOptHelp:
                print_help();
                std::exit(0);
            case kOptVersion:
                std::printf("%s version %s\n", kToolName, OV_VERSION_TEXT);
                std::exit(0);
            case ':':
                if (optopt != 0) usage_error("option requires an argument -- '%c'", optopt);
                usage_error("option '%s' requires an argument", argv[optind - 1]);
            default:
                if (optopt != 0) usage_error("invalid option -- '%c'", optopt);
                usage_error("unrecognized option '%s'", argv[optind - 1]);
        }
    }
    const char *what = opt.etcd ? "NAME" : "FILE";
    if (etcd_only != nullptr && !opt.etcd)
        usage_error("%s is an option of the etcd backend: --endpoints or --etcd chooses it",
                    etcd_only);
    if ((opt.cert == nullptr) != (opt.key == nullptr)) usage_error("--cert and --key go together");
    if (opt.password_file != nullptr && opt.user == nullptr)
        usage_error("--password-file needs --user");
    if (expire != nullptr)
        opt.expiration = opt.etcd ? lease_time_to_live(expire) : file_expiration(expire);
    if (optind >= argc) usage_error("%s missing", what);
    opt.file = argv[optind];
    if (opt.etcd) {
        if (opt.file[0] == '\0') usage_error("NAME must not be empty");
    } else if (std::strchr(opt.file, '\n') != nullptr) {
        // A lock's directory is found from its name by lexical rules that
        // refuse a line break; say so rather than fail on the lock.
        usage_error("invalid FILE '%s': a lock's name cannot hold a newline", opt.file);
    }
    if (opt.check) {
        if (optind + 1 < argc) usage_error("--check takes %s alone, not a command", what);
        if (only_for_running) usage_error("--check takes no -w, -E, -k or -q");
        return opt;
    }
    if (optind + 1 >= argc) usage_error("COMMAND missing");
    opt.command = argv + optind + 1;
    return opt;
}

void set_up_debug_log(int debug) {
    if (debug <= 0) return;
    ov_log_open(OV_LOG_FILE, kLogPath);
    ov_log_enable(1);
    ov_log_set_debug(1);
    ov_log_set_debug_level(debug);
}

// ---- --check ------------------------------------------------------------------------------

// The age alone is judged against the checker's expiration, which may be
// longer than the holder's: a holder that died is then still "held" for a
// while. When the record names a process of this host, whether it still
// runs is said too.
void print_local_holder(const char *record) {
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(record, &end, 10);
    if (errno != 0 || end == record || *end != ':' || pid <= 0 || pid > INT32_MAX) return;
    const char *host = std::strchr(end + 1, ':');
    if (host == nullptr) return;
    ++host;
    const size_t host_length = std::strcspn(host, "\n");
    char own[OV_LOCKFILE_PATH_SIZE];
    if (ov_platform_hostname(own, sizeof own) != 0 || own[0] == '\0') return;
    // A record keeps at most OV_LOCKFILE_HOST_MAX characters of the host's name.
    const size_t own_length = std::min(std::strlen(own), size_t{OV_LOCKFILE_HOST_MAX});
    if (host_length != own_length || std::strncmp(host, own, own_length) != 0) return;
    const bool running = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    std::printf("holder pid %ld on this host: %s\n", pid, running ? "running" : "not running");
}

int check(const Options &opt) {
    ov_lockfile_info_t info;
    char lock_path[OV_LOCKFILE_PATH_SIZE];
    std::snprintf(lock_path, sizeof lock_path, "%s.lck", opt.file);
    const int32_t rc = ov_lockfile_inspect(opt.file, opt.expiration, &info);
    if (rc != 0) {
        say_failure("cannot look at", opt.file, lock_path, rc, nullptr);
        return kExitFailure;
    }
    if (info.state == OV_LOCKFILE_FREE) {
        // No lock file: free only where acquisition could make one.
        char where[OV_LOCKFILE_PATH_SIZE];
        const int32_t problem = ov_lockfile_directory_fault(opt.file, where, sizeof where);
        if (problem != 0) {
            say_failure("cannot look at", opt.file, lock_path, problem, where);
            return kExitFailure;
        }
        std::printf("verdict: free\n");
        return 0;
    }
    char bare[OV_LOCKFILE_RECORD_SIZE];
    char record[4 * OV_LOCKFILE_RECORD_SIZE];
    bare_record(info.record, bare, sizeof bare);
    ov_str_escape_to(record, bare, sizeof record, nullptr);
    const char *verdict = info.state == OV_LOCKFILE_HELD    ? "held"
                          : info.state == OV_LOCKFILE_STALE ? "stale"
                                                            : "clock skew";
    std::printf("record: %s\nage: %lld s\nverdict: %s\n", record,
                static_cast<long long>(info.age_seconds), verdict);
    print_local_holder(info.record);
    switch (info.state) {
        case OV_LOCKFILE_HELD:
            return 1;
        case OV_LOCKFILE_STALE:
            return kCheckStale;
        default:
            return kCheckSkew;
    }
}

// ---- Waiting for the lock -----------------------------------------------------------------

enum class Outcome { kAcquired, kBusy, kFailed, kSignalled };

// Acquires the lock, trying again while it is busy until the wait is over
// (ov_lockfile_acquire_wait); a signal to pass on ends the wait through
// g_cancel. A failure leaves its code in *code and, when the lock's
// directory is at fault, that directory's name in where
// (OV_LOCKFILE_PATH_SIZE bytes, else empty).
Outcome acquire(const Options &opt, ov_lockfile_t *lock, int32_t *code, char *where) {
    ov_lockfile_wait_t wait = OV_LOCKFILE_WAIT_INIT;
    wait.timeout_ms = to_ms(opt.wait_seconds);
    wait.cancel_fd = g_cancel[0];
    wait.fault_dir = where;
    wait.fault_dir_size = OV_LOCKFILE_PATH_SIZE;
    *code = ov_lockfile_acquire_wait(lock, opt.file, opt.expiration, &wait);
    switch (*code) {
        case 0:
            return Outcome::kAcquired;
        case ECANCELED:
            return Outcome::kSignalled;
        case ELOCKED:
            return Outcome::kBusy;
        default:
            return Outcome::kFailed;
    }
}

// ---- The terminal ---------------------------------------------------------------------------

// The controlling terminal among the standard streams, or -1, and the
// command's process group once it runs. The command runs in a group of its
// own. Started in the terminal's foreground, the tool makes that group the
// foreground while the command runs, as a shell does for a job it starts
// in the foreground, so that the command can read the terminal (a
// background group that tries is stopped) and Ctrl-C and Ctrl-Z reach it.
// Started in the background, it leaves the terminal alone until the shell
// brings the job to the foreground.
int g_terminal = -1;
pid_t g_command_group = 0;

int controlling_terminal() {
    const pid_t session = getsid(0);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (isatty(fd) && tcgetsid(fd) == session) return fd;
    }
    return -1;
}

// Whether group is the terminal's foreground.
bool has_terminal(pid_t group) {
    return g_terminal >= 0 && tcgetpgrp(g_terminal) == group;
}

// Makes group the terminal's foreground. SIGTTOU is held back meanwhile: a
// process of a background group that sets the foreground is sent it.
void set_foreground(pid_t group) {
    sigset_t ttou;
    sigset_t saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &saved);
    tcsetpgrp(g_terminal, group);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Hands the terminal on to the command's group, when this tool's has it.
void give_terminal(pid_t group) {
    if (has_terminal(getpgrp())) set_foreground(group);
}

// Takes the terminal back from the command's group, when that group has it.
void take_back_terminal() {
    if (g_command_group > 0 && has_terminal(g_command_group)) set_foreground(getpgrp());
}

// The parent of process pid, from the process table, or 0.
pid_t parent_of(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char stat[512];
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0) return 0;
    stat[n] = '\0';
    // "pid (comm) state ppid ...", read after comm's last parenthesis.
    const char *rest = std::strrchr(stat, ')');
    char state = 0;
    int parent = 0;
    if (rest == nullptr || std::sscanf(rest + 1, " %c %d", &state, &parent) != 2) return 0;
    return parent;
}

// Whether this tool's group is orphaned: no member has a parent in another
// group of the same session (a shell with job control) to continue it once
// it stops. The members looked at are the tool and its ancestors in its
// group: a script that runs the tool, or a pipeline's members, share the
// tool's group, and the parent of the first of them whose parent is in
// another group decides.
bool own_group_orphaned() {
    const pid_t group = getpgrp();
    pid_t parent = getppid();
    for (int depth = 0; depth < 64 && parent > 0; ++depth) {
        if (getpgid(parent) != group) return getsid(parent) != getsid(0);
        parent = parent_of(parent);
    }
    return true;
}

// The command was stopped (Ctrl-Z, or terminal access it was not allowed,
// also from the background): the tool takes the terminal back and stops
// its own process group with SIGTSTP, so that the shell that started the
// job sees it stopped, as if the command were still in it, and fg or bg
// goes on with both. Once continued in the foreground the tool gives the
// terminal back to the command's group; either way it continues the
// command. An orphaned group's stop would be discarded by the kernel and
// nobody could continue the job: the command's group then gets SIGHUP and
// SIGCONT, as the kernel gives an orphaned group with a stopped member, so
// that a job whose session is gone does not hold the lock for ever.
void mirror_stop(pid_t group, int signal) {
    if ((signal == SIGTTIN || signal == SIGTTOU) && has_terminal(getpgrp())) {
        // Brought to the foreground after the command, still in the
        // background, touched the terminal: the command gets it now.
        give_terminal(group);
        kill(-group, SIGCONT);
        return;
    }
    take_back_terminal();
    if (own_group_orphaned()) {
        kill(-group, SIGHUP);
        kill(-group, SIGCONT);
        return;
    }
    kill(0, SIGTSTP);
    give_terminal(group);
    kill(-group, SIGCONT);
}

// ---- The command --------------------------------------------------------------------------

// The kernel's own record of a signal action (rt_sigaction(2)).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

// The child, from vfork to the command. It runs in this process's memory
// until the exec, so it only makes system calls: it leads a process group of
// its own, puts this tool's handlers back to their defaults (by system calls:
// a sanitizer's stand-ins for sigaction keep tables in memory the child
// shares with its parent), restores the caller's signal mask, and runs the
// command through PATH. On a terminal whose foreground the tool has, its
// group becomes the foreground (SIGTTOU is still held back here). A failed
// exec sends its errno up the close-on-exec pipe. Before anything else the
// child names its group to the guardian, so that no command can run
// unannounced, whenever the tool dies.
[[noreturn]] __attribute__((noinline)) void run_child(char **command, const sigset_t *mask,
                                                      int report, int terminal,
                                                      int guardian) noexcept {
    setpgid(0, 0);
    const auto self = static_cast<pid_t>(syscall(SYS_getpid));
    (void)syscall(SYS_sendto, guardian, &self, sizeof self, MSG_NOSIGNAL, nullptr, 0);
    if (terminal >= 0) tcsetpgrp(terminal, self);
    const int handled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};
    for (const int signal : handled) {
        KernelSigaction reset{};
        reset.handler = SIG_DFL;
        (void)syscall(SYS_rt_sigaction, signal, &reset, nullptr, sizeof reset.mask);
    }
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, nullptr, sizeof(unsigned long));
    execvp(command[0], command);
    const int error = errno;
    const ssize_t ignored = write(report, &error, sizeof error);
    (void)ignored;
    _exit(kExitNotFound);
}

// Starts the command unless a signal came first, announced to the guardian
// through guardian. Returns the child's pid, 0 when a signal was noted
// before the start (nothing was started), or -1 with the errno of the
// failed fork or exec in *error (the child, if any, has been reaped).
pid_t start_command(char **command, int guardian, bool foreground, int *error) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    // Every signal waits until the child has its own actions: vfork lends it
    // this process's memory, and a handler run there would work on it. A
    // signal that came before this point stops the start; one that comes
    // after it is delivered once the child runs, and is passed on to it.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    if (g_pending.load() != 0) {
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        close(report[0]);
        close(report[1]);
        return 0;
    }
    const pid_t child = vfork();
    if (child == 0) run_child(command, &saved, report[1], foreground ? g_terminal : -1, guardian);
    if (child > 0) g_command_group = child;
    *error = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return -1;
    }
    int exec_error = 0;
    ssize_t n;
    while ((n = read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof exec_error)) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        take_back_terminal();
        *error = exec_error;
        return -1;
    }
    return child;
}

// Passes the signals received since the last call on to the command's group.
void pass_on_signals(pid_t group) {
    const uint32_t pending = g_pending.exchange(0);
    for (const int signal : kPassedOn) {
        if (pending & (1u << signal)) kill(-group, signal);
    }
}

// The status a shell reports for a wait status.
int shell_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return kExitSignalBase + WTERMSIG(status);
    return kExitFailure;
}

// Collects the child if it has ended. On a terminal, a stop of the
// command is mirrored (mirror_stop), and the terminal is taken back once
// the command has ended.
bool reaped(pid_t child, int *status) {
    const int flags = g_terminal >= 0 ? WNOHANG | WUNTRACED : WNOHANG;
    if (waitpid(child, status, flags) != child) return false;
    if (WIFSTOPPED(*status)) {
        mirror_stop(child, WSTOPSIG(*status));
        return false;
    }
    take_back_terminal();
    return true;
}

// Whether a process of the group is still alive. kill(2) with the null
// signal also counts zombies, which no longer run: a member that ended but
// was not yet collected by its parent (or by whoever adopted it) is not
// left, so the process table decides when kill(2) finds anyone.
bool group_alive(pid_t group) {
    if (kill(-group, 0) != 0) return errno != ESRCH;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return true;
    bool alive = false;
    while (!alive) {
        const dirent *entry = readdir(proc);
        if (entry == nullptr) break;
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        char path[sizeof "/proc//stat" + sizeof entry->d_name];
        std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char stat[512];
        const ssize_t n = read(fd, stat, sizeof stat - 1);
        close(fd);
        if (n <= 0) continue;
        stat[n] = '\0';
        // "pid (comm) state ppid pgrp ...": comm may hold any character, so
        // the fields are read after its last parenthesis.
        const char *rest = std::strrchr(stat, ')');
        char state = 0;
        int ppid = 0;
        int pgrp = 0;
        if (rest != nullptr && std::sscanf(rest + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == group && state != 'Z' && state != 'X')
            alive = true;
    }
    closedir(proc);
    return alive;
}

// Stops the command's group after a lost lock: SIGTERM (with SIGCONT, so
// that a stopped group acts on it), then SIGKILL once kill_after has passed
// with any member left, or at kill_deadline if that comes first (a store
// whose lease a successor may take by then). Returns when the child is collected and the group
// is gone or killed.
void stop_group(pid_t child, double kill_after, int64_t kill_deadline) {
    take_back_terminal();
    kill(-child, SIGTERM);
    kill(-child, SIGCONT);
    const int64_t deadline = std::min(now_ms() + to_ms(kill_after), kill_deadline);
    bool collected = false;
    int status = 0;
    for (;;) {
        pass_on_signals(child);
        if (!collected) collected = waitpid(child, &status, WNOHANG) == child;
        if (collected && !group_alive(child)) return;
        if (now_ms() >= deadline) break;
        pollfd wake_fd = {g_wake[0], POLLIN, 0};
        const int64_t left = deadline - now_ms();
        poll(&wake_fd, 1, static_cast<int>(left < kGraceStepMs ? left : kGraceStepMs));
        drain_wake();
    }
    kill(-child, SIGKILL);
    if (!collected) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// ---- The guardian -------------------------------------------------------------------------

// A tool that is killed (SIGKILL, the OOM killer, a crash) stops nothing
// and releases nothing: its lock goes stale after the expiration and is
// taken over, and a command left running would then run beside its
// successor's. So a guardian process watches the tool while the command
// runs. It is started before the command, while the tool has a single
// thread, and reads one end of a socket pair whose other end only the tool
// holds (and, until its exec, the command's child): end of file there is
// the tool's death, however it came. The child names its process group on
// the socket before it runs the command, and the tool sends 0 once the
// command has ended. An end of file after a group was named and before
// that 0 makes the guardian stop the group as a lost lock does: SIGTERM
// (with SIGCONT), then SIGKILL after -k seconds, but never later than half
// the expiration. A contender can take the lock over only once its file is
// older than the expiration by the file system's clock and has been found
// so three times a second apart, and the file was refreshed within about a
// second of the tool's death: the group is gone long before.
//
// The guardian leads a session of its own, so that a signal sent to the
// tool's process group (a script's whole job, timeout(1)) does not end it
// together with the tool, and it keeps only standard error, for its
// message: a caller that reads the tool's output to its end does not wait
// for it.
//
// Starting it must cost the tool next to nothing: a fork copies the tool's
// page tables and makes it pay a copy for every page it writes afterwards,
// which costs as much as a short command's whole run. So the guardian is
// started with clone(2) in the tool's own memory, on a stack of its own,
// and runs only system calls made directly (no C library call that could
// touch errno, a lock or the heap that it shares with the tool). Sharing
// the memory has one weakness: the OOM killer ends every process that
// shares its victim's memory. Once the command has run for
// kGuardianMoveMs, the guardian therefore forks a copy of itself into
// memory of its own, which takes over the watch, and waits for it; a
// command that ends within that time is the only one whose tool's OOM
// death also ends its guardian. Under the sanitizers, whose run-time state
// is reached from the thread a clone would share, and on processors
// without the direct system calls below, the guardian is forked instead;
// it runs the same code either way.
//
// Divisions: direct system calls; the guardian's plan, written before it
// starts; its code; the class the tool uses.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OV_GUARDIAN_FORKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define OV_GUARDIAN_FORKED 1
#endif
#endif
#if !defined(OV_GUARDIAN_FORKED) && !defined(__x86_64__) && !defined(__aarch64__)
#define OV_GUARDIAN_FORKED 1
#endif
#ifndef OV_GUARDIAN_FORKED
#define OV_GUARDIAN_FORKED 0
#endif

// How long the guardian shares the tool's memory before it moves into its own.
constexpr int64_t kGuardianMoveMs = kWorkerDelayMs;
// Room for the guardian's message: the lock's path and the words around it.
constexpr size_t kGuardianLineSize = OV_LOCKFILE_PATH_SIZE + 128;

namespace guard {

// A system call without the C library: the result, or -errno. errno itself
// lives with the tool's thread, which a shared-memory guardian must leave
// alone.
inline long sys(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                long f = 0) noexcept {
#if defined(__x86_64__)
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
#elif defined(__aarch64__)
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    register long x4 __asm__("x4") = e;
    register long x5 __asm__("x5") = f;
    __asm__ volatile("svc 0"
                     : "+r"(x0)
                     : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                     : "memory");
    return x0;
#else
    return syscall(number, a, b, c, d, e, f);
#endif
}

template <typename T>
long arg(T value) noexcept {
    if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<long>(value);
    } else {
        return static_cast<long>(value);
    }
}

template <typename... Args>
long call(long number, Args... args) noexcept {
    return sys(number, arg(args)...);
}

int64_t clock_ms() noexcept {
    timespec ts{};
    call(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int64_t ms) noexcept {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    call(SYS_nanosleep, &ts, nullptr);
}

// Waits up to ms (-1: for ever) for fd to become readable; false on time-out.
bool readable(int fd, int64_t ms) noexcept {
    pollfd p = {fd, POLLIN, 0};
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    for (;;) {
        const long n = call(SYS_ppoll, &p, 1, ms < 0 ? nullptr : &ts, nullptr, 0);
        if (n != -EINTR) return n != 0;
    }
}

// Decimal digits of a non-negative value, after out; the new end.
char *put_decimal(char *out, long value) noexcept {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

// A decimal number at text; moves text past it. -1 when there is none.
long get_decimal(const char **text) noexcept {
    const char *p = *text;
    if (*p < '0' || *p > '9') return -1;
    long value = 0;
    while (*p >= '0' && *p <= '9' && value < INT32_MAX) value = value * 10 + (*p++ - '0');
    *text = p;
    return value;
}

// The guardian's own share of the kernel's signal record (rt_sigaction(2)).
struct KernelAction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

// What the guardian needs, made ready by the tool before the start and
// never touched by it afterwards.
struct Plan {
    int fd = -1;        // the guardian's end of the socket pair
    int tool_end = -1;  // the tool's end, closed in the guardian
    int wake[2] = {-1, -1};
    sigset_t mask{};       // the tool's mask before the start
    int64_t grace_ms = 0;  // SIGTERM to SIGKILL
    bool move = false;     // whether to move into memory of its own
    // The message's text up to the group's number, escaped as say() does.
    char message[4 * kGuardianLineSize + sizeof kToolName + 2] = {};
    size_t message_length = 0;
};

// Whether a process of the group is still alive, as group_alive() decides,
// from the process table read with direct system calls.
bool group_alive(pid_t group) noexcept {
    const long probe = call(SYS_kill, -group, 0);
    if (probe != 0) return probe != -ESRCH;
    const long proc = call(SYS_openat, AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return true;
    alignas(8) char entries[4096];
    bool alive = false;
    long n;
    while (!alive && (n = call(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
        for (long at = 0; at < n && !alive;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
            unsigned short length;
            __builtin_memcpy(&length, entries + at + 16, sizeof length);
            const char *name = entries + at + 19;
            at += length;
            if (name[0] < '1' || name[0] > '9') continue;
            char path[64] = "/proc/";
            size_t used = 6;
            for (size_t i = 0; name[i] != '\0' && used < sizeof path - 6; ++i)
                path[used++] = name[i];
            __builtin_memcpy(path + used, "/stat", 6);
            const long fd = call(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char stat[512];
            const long got = call(SYS_read, fd, stat, sizeof stat - 1);
            call(SYS_close, fd);
            if (got <= 0) continue;
            stat[got] = '\0';
            // "pid (comm) state ppid pgrp ...": comm may hold any character,
            // so the fields are read after its last parenthesis.
            const char *rest = nullptr;
            for (const char *p = stat; *p != '\0'; ++p)
                if (*p == ')') rest = p;
            if (rest == nullptr || rest[1] != ' ' || rest[2] == '\0' || rest[3] != ' ') continue;
            const char state = rest[2];
            const char *p = rest + 4;
            if (get_decimal(&p) < 0 || *p++ != ' ') continue;
            if (get_decimal(&p) == group && state != 'Z' && state != 'X') alive = true;
        }
    }
    call(SYS_close, proc);
    return alive;
}

// Stops the group of a command whose tool has died, with the message.
void stop(const Plan &plan, pid_t group) noexcept {
    char line[sizeof plan.message + 32];
    __builtin_memcpy(line, plan.message, plan.message_length);
    char *end = put_decimal(line + plan.message_length, group);
    *end++ = '\n';
    for (const char *p = line; p < end;) {
        const long n = call(SYS_write, STDERR_FILENO, p, end - p);
        if (n == -EINTR) continue;
        if (n <= 0) break;
        p += n;
    }
    call(SYS_kill, -group, SIGTERM);
    call(SYS_kill, -group, SIGCONT);
    const int64_t deadline = clock_ms() + plan.grace_ms;
    bool alive = true;
    while ((alive = group_alive(group)) && clock_ms() < deadline) sleep_ms(kGraceStepMs);
    if (alive) call(SYS_kill, -group, SIGKILL);
}

// The guardian: sets itself apart from the tool, waits for the tool's end
// and stops the command's group when the tool ended before the command did.
[[noreturn]] void watch(const Plan &plan) noexcept {
    call(SYS_setsid);
    for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
        KernelAction action{};
        action.handler = SIG_IGN;
        call(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
    }
    for (const int signal : {SIGTERM, SIGCHLD}) {
        KernelAction action{};
        action.handler = SIG_DFL;
        call(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
    }
    call(SYS_rt_sigprocmask, SIG_SETMASK, &plan.mask, nullptr, sizeof(unsigned long));
    call(SYS_close, plan.tool_end);
    call(SYS_close, plan.wake[0]);
    call(SYS_close, plan.wake[1]);
    const long null = call(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        call(SYS_dup3, null, STDIN_FILENO, 0);
        call(SYS_dup3, null, STDOUT_FILENO, 0);
        if (null > STDOUT_FILENO) call(SYS_close, null);
    }
    const int64_t move_at = plan.move ? clock_ms() + kGuardianMoveMs : -1;
    bool moved = !plan.move;
    pid_t group = 0;
    bool ended = false;
    for (;;) {
        if (!moved) {
            const int64_t left = move_at - clock_ms();
            if (left <= 0 || !readable(plan.fd, left)) {
                moved = true;
                // A copy in memory of its own watches from here on; this
                // one waits for it, so that the tool still waits for the
                // watch's end when it stands the guardian down.
                const long copy = call(SYS_clone, SIGCHLD, 0, nullptr, nullptr, 0);
                if (copy > 0) {
                    while (call(SYS_wait4, copy, nullptr, 0, nullptr) == -EINTR) {
                    }
                    call(SYS_exit_group, 0);
                }
                continue;
            }
        }
        pid_t message = 0;
        const long n =
            call(SYS_recvfrom, plan.fd, &message, sizeof message, MSG_WAITALL, nullptr, nullptr);
        if (n == -EINTR) continue;
        if (n != static_cast<long>(sizeof message)) break;
        if (message <= 0) {
            // The command has ended: nothing is left to watch.
            ended = true;
            break;
        }
        group = message;
    }
    if (group > 0 && !ended) stop(plan, group);
    // The whole guardian: forked under a sanitizer, it may have threads of
    // the sanitizer's own, and a lone exit would leave it running.
    call(SYS_exit_group, 0);
    __builtin_unreachable();
}

// The guardian's plan, and the stack of one that shares the tool's memory.
// The tool starts one guardian at most, and never writes either once it
// runs.
Plan g_plan;
#if !OV_GUARDIAN_FORKED
alignas(64) char g_stack[64 * 1024];

int entry(void *plan) noexcept {
    watch(*static_cast<const Plan *>(plan));
}
#endif

}  // namespace guard

class Guardian {
  public:
    Guardian() = default;
    ~Guardian() { stand_down(); }
    Guardian(const Guardian &) = delete;
    Guardian &operator=(const Guardian &) = delete;

    // Starts the guardian; false, with errno set, when it cannot be had.
    bool start(const Options &opt, const char *lock_path) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
        guard::Plan &plan = guard::g_plan;
        plan.fd = ends[0];
        plan.tool_end = ends[1];
        plan.wake[0] = g_wake[0];
        plan.wake[1] = g_wake[1];
        const int64_t half_expiration = static_cast<int64_t>(opt.expiration) * 1000 / 2;
        plan.grace_ms = std::min(to_ms(opt.kill_after), half_expiration);
        plan.move = !OV_GUARDIAN_FORKED;
        plan.message_length = guardian_message(lock_path, plan.message, sizeof plan.message);

        // No handler of the tool may run in the guardian before it has put
        // its own actions in place: in shared memory it would act on the
        // tool's state. The guardian restores the mask saved here.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &plan.mask);
#if OV_GUARDIAN_FORKED
        const pid_t pid = fork();
        if (pid == 0) guard::watch(plan);
#else
        const pid_t pid =
            clone(guard::entry, guard::g_stack + sizeof guard::g_stack, CLONE_VM | SIGCHLD, &plan);
#endif
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &plan.mask, nullptr);
        close(ends[0]);
        if (pid < 0) {
            close(ends[1]);
            errno = error;
            return false;
        }
        pid_ = pid;
        fd_ = ends[1];
        TOOL_DEBUG("Guardian %d watches this process", static_cast<int>(pid));
        return true;
    }

    // The end the command's child names its group on.
    int fd() const {
        return fd_;
    }

    // The command has ended, or never started: the guardian leaves at once.
    void stand_down() {
        if (fd_ < 0) return;
        const pid_t ended = 0;
        (void)send(fd_, &ended, sizeof ended, MSG_NOSIGNAL);
        close(fd_);
        fd_ = -1;
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

  private:
    // The message's text before the group's number, as say() writes it.
    static size_t guardian_message(const char *lock_path, char *out, size_t size) {
        char line[kGuardianLineSize];
        char text[4 * kGuardianLineSize];
        std::snprintf(line, sizeof line,
                      "ended while the command ran, and %s is no longer kept fresh; stopping "
                      "the command's process group ",
                      lock_path);
        ov_str_escape_to(text, line, sizeof text, nullptr);
        const int n = std::snprintf(out, size, "%s: %s", kToolName, text);
        return n < 0 ? 0 : std::min(static_cast<size_t>(n), size - 1);
    }

    pid_t pid_ = -1;
    int fd_ = -1;
};

// What the lock was lost to, for the message: the record the keep-alive
// worker saw in its place, or what the file holds now. then says what
// becomes of the command.
void report_loss(const ov_lockfile_t *lock, const char *acquired_over, const char *then) {
    char record[OV_LOCKFILE_RECORD_SIZE];
    if (std::strcmp(lock->last_seen, acquired_over) != 0) {
        bare_record(lock->last_seen, record, sizeof record);
    } else {
        current_record(lock->path, "", record, sizeof record);
        char own[OV_LOCKFILE_RECORD_SIZE];
        bare_record(lock->content, own, sizeof own);
        if (std::strcmp(record, own) == 0 || record[0] == '\0') {
            say("lock lost: %s could not be kept fresh%s", lock->path, then);
            return;
        }
    }
    say("lock lost: %s is now held by [%s]%s", lock->path, record, then);
}

// The lock file's absolute path, for the command's environment.
void absolute_path(const char *path, char *out, size_t size) {
    char cwd[PATH_MAX];
    if (path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
        std::snprintf(out, size, "%s", path);
    } else {
        std::snprintf(out, size, "%s/%s", cwd, path);
    }
}

// ---- The file backend ---------------------------------------------------------------------

// The lock file FILE.lck, through the lock-file module.
class FileBackend final : public LockBackend {
  public:
    explicit FileBackend(const Options &opt) : opt_(opt) {}
    ~FileBackend() override = default;
    FileBackend(const FileBackend &) = delete;
    FileBackend &operator=(const FileBackend &) = delete;

    Acquired acquire() override {
        int32_t rc = 0;
        char where[OV_LOCKFILE_PATH_SIZE];
        switch (::acquire(opt_, &lock_, &rc, where)) {
            case Outcome::kAcquired:
                break;
            case Outcome::kSignalled:
                return Acquired::kSignalled;
            case Outcome::kBusy:
                if (!opt_.quiet) {
                    char record[OV_LOCKFILE_RECORD_SIZE];
                    current_record(lock_.path, lock_.last_seen, record, sizeof record);
                    say("lock busy: %s is held by [%s]", lock_.path, record);
                }
                return Acquired::kBusy;
            case Outcome::kFailed:
                say_failure("cannot acquire", opt_.file, lock_.path, rc, where);
                return Acquired::kFailed;
        }
        // What acquisition found in place (a stale holder's record, or
        // nothing), to tell a takeover seen by the keep-alive worker from
        // failed refreshes.
        std::memcpy(acquired_over_, lock_.last_seen, sizeof acquired_over_);
        return Acquired::kAcquired;
    }

    bool set_environment() override {
        char file_value[OV_LOCKFILE_PATH_SIZE + PATH_MAX + 2];
        char record_value[OV_LOCKFILE_RECORD_SIZE];
        absolute_path(lock_.path, file_value, sizeof file_value);
        bare_record(lock_.content, record_value, sizeof record_value);
        TOOL_DEBUG("Acquired %s [%s]", lock_.path, record_value);
        if (setenv("OVLOCK_FILE", file_value, 1) != 0 ||
            setenv("OVLOCK_RECORD", record_value, 1) != 0) {
            say("cannot set up the command's environment: %s", std::strerror(errno));
            return false;
        }
        return true;
    }

    // The keep-alive thread starts after the child, so that none of its
    // descriptors of the lock file can be open at the moment of the vfork
    // and be inherited by the command; and only once the command has run
    // for kWorkerDelayMs, so that a short command costs no thread at all.
    // The lock file was written just now: even the shortest expiration
    // leaves it fresh for far longer than that.
    int64_t keep_alive_delay_ms() const override { return kWorkerDelayMs; }

    bool keep_alive() override {
        const int32_t rc = ov_lockfile_start_worker(&lock_);
        if (rc != 0) {
            char text[kMessageSize];
            say("cannot keep the lock on %s fresh: %s; stopping the command", opt_.file,
                code_text(rc, text));
            return false;
        }
        TOOL_DEBUG("Keep-alive worker started for %s", lock_.path);
        return true;
    }

    bool lost() override {
        return std::atomic_ref<uint32_t>(lock_.lost).load(std::memory_order_acquire);
    }

    void report_loss(const char *then) override { ::report_loss(&lock_, acquired_over_, then); }

    const char *lock_name() const override { return lock_.path; }

    Released release(bool quiet) override {
        const int32_t rc = ov_lockfile_release(&lock_);
        if (rc == 0) {
            TOOL_DEBUG("Released %s", lock_.path);
            return Released::kReleased;
        }
        if (rc == ELOCKED || rc == ENOENT) {
            // The command ended before the loss was seen: the work it did
            // was not protected to its end.
            if (!quiet) ::report_loss(&lock_, acquired_over_, " before the command ended");
            return Released::kLost;
        }
        if (!quiet) {
            char text[kMessageSize];
            say("cannot release the lock on %s: %s", opt_.file, code_text(rc, text));
        }
        return Released::kFailed;
    }

    int check() override { return ::check(opt_); }

  private:
    const Options &opt_;
    ov_lockfile_t lock_{};
    char acquired_over_[OV_LOCKFILE_RECORD_SIZE] = {};
};

#ifdef OVLOCKRUN_WITH_ETCD
// The descriptors open in this process now.
std::vector<int> open_descriptors() {
    std::vector<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

// The descriptors the tool was given, which the command inherits as they
// are. The HTTP library under the etcd backend opens some of its own (a
// wake-up pair per transfer handle) without close-on-exec: none of those is
// the command's.
std::vector<int> g_inherited;

void keep_own_descriptors_from_the_command() {
    for (const int fd : open_descriptors()) {
        if (fd <= STDERR_FILENO ||
            std::find(g_inherited.begin(), g_inherited.end(), fd) != g_inherited.end())
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// What the etcd backend borrows from the tool.
__attribute__((format(printf, 1, 2))) void debug_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    put_line(4, false, format, args);
    va_end(args);
}

bool signalled() {
    drain_wake();
    return g_pending.load() != 0;
}
#endif

// ---- Running the command under the lock --------------------------------------------------------

int run(const Options &opt, LockBackend &lock) {
    switch (lock.acquire()) {
        case Acquired::kAcquired:
            break;
        case Acquired::kSignalled:
            return kExitSignalBase + g_first_signal.load();
        case Acquired::kBusy:
            return opt.conflict_code;
        case Acquired::kFailed:
            return kExitFailure;
    }
    if (!lock.set_environment()) {
        lock.release(true);
        return kExitFailure;
    }

    Guardian guardian;
    if (!guardian.start(opt, lock.lock_name())) {
        say("cannot start the process that guards the command: %s", std::strerror(errno));
        lock.release(true);
        return kExitFailure;
    }
    int error = 0;
    g_terminal = controlling_terminal();
#ifdef OVLOCKRUN_WITH_ETCD
    keep_own_descriptors_from_the_command();
#endif
    const pid_t child = start_command(opt.command, guardian.fd(), has_terminal(getpgrp()), &error);
    if (child <= 0) {
        guardian.stand_down();
        if (child == 0) {
            lock.release(true);
            return kExitSignalBase + g_first_signal.load();
        }
        say("cannot run %s: %s", opt.command[0], std::strerror(error));
        lock.release(false);
        return error == ENOENT ? kExitNotFound : kExitCannotRun;
    }

    const int64_t keep_alive_due = now_ms() + lock.keep_alive_delay_ms();
    bool kept_alive = false;
    int status = 0;
    for (;;) {
        pass_on_signals(child);
        if (reaped(child, &status)) break;
        int64_t wait_ms = kWatchMs;
        if (!kept_alive) {
            const int64_t left = keep_alive_due - now_ms();
            if (left <= 0) {
                if (!lock.keep_alive()) {
                    take_back_terminal();
                    stop_group(child, opt.kill_after, lock.kill_deadline_ms());
                    guardian.stand_down();
                    lock.release(true);
                    return kExitFailure;
                }
                kept_alive = true;
            } else if (left < wait_ms) {
                wait_ms = left;
            }
        }
        if (lock.lost()) {
            take_back_terminal();
            lock.report_loss("; stopping the command");
            stop_group(child, opt.kill_after, lock.kill_deadline_ms());
            guardian.stand_down();
            lock.release(true);
            return kExitLost;
        }
        pollfd wake_fd = {g_wake[0], POLLIN, 0};
        poll(&wake_fd, 1, static_cast<int>(wait_ms));
        drain_wake();
    }

    guardian.stand_down();
    TOOL_DEBUG("Command %s ended with status %d", opt.command[0], shell_status(status));
    switch (lock.release(false)) {
        case Released::kReleased:
            return shell_status(status);
        case Released::kLost:
            return kExitLost;
        case Released::kFailed:
            break;
    }
    return kExitFailure;
}

#ifndef OVLOCKRUN_WITH_ETCD
// The etcd backend lives in a helper program, so that a tool that takes
// file locks never loads the HTTP and TLS libraries that it needs: this
// tool execs it with its own arguments. It is looked for beside this
// program first (a build tree), then where the package installs it.
[[noreturn]] void run_etcd_helper(char **argv) {
    char dir[PATH_MAX];
    if (ov_path_executable_dir(dir, sizeof dir) > 0) {
        char beside[PATH_MAX + sizeof "/ovlockrun-etcd"];
        std::snprintf(beside, sizeof beside, "%s/ovlockrun-etcd", dir);
        if (access(beside, X_OK) == 0) {
            execv(beside, argv);
            say("cannot run the etcd backend %s: %s", beside, std::strerror(errno));
            std::exit(kExitFailure);
        }
    }
    execv(OVLOCKRUN_ETCD_HELPER, argv);
    const int error = errno;
    if (error == ENOENT) {
        say("the etcd backend is not installed (%s is missing; it comes with the package "
            "ovlockrun-etcd)",
            OVLOCKRUN_ETCD_HELPER);
    } else {
        say("cannot run the etcd backend %s: %s", OVLOCKRUN_ETCD_HELPER, std::strerror(error));
    }
    std::exit(kExitFailure);
}
#endif

std::unique_ptr<LockBackend> make_backend(const Options &opt) {
    if (!opt.etcd) return std::make_unique<FileBackend>(opt);
#ifdef OVLOCKRUN_WITH_ETCD
    ovlockrun::LockRequest request;
    request.name = opt.file;
    request.wait_seconds = opt.wait_seconds;
    request.expiration = opt.expiration;
    request.quiet = opt.quiet;
    ovlockrun::EtcdSettings settings;
    settings.endpoints = opt.endpoints;
    settings.cacert = opt.cacert;
    settings.cert = opt.cert;
    settings.key = opt.key;
    settings.user = opt.user;
    settings.password_file = opt.password_file;
    const ovlockrun::ToolServices services{say, debug_line, g_wake[0], signalled, wake};
    std::string usage;
    auto backend = ovlockrun::make_etcd_backend(request, settings, services, &usage);
    if (!usage.empty()) usage_error("%s", usage.c_str());
    return backend;
#else
    return nullptr;
#endif
}

}  // namespace

int main(int argc, char **argv) {
    ovtool::open_standard_streams(kExitFailure);
#ifdef OVLOCKRUN_WITH_ETCD
    g_inherited = open_descriptors();
#endif
    const Options opt = parse_options(argc, argv);
#ifndef OVLOCKRUN_WITH_ETCD
    if (opt.etcd) run_etcd_helper(argv);
#endif
    set_up_debug_log(opt.debug);
    // --check changes nothing: it leaves the signals as they are.
    if (!opt.check && !install_handlers()) {
        say("cannot set up signal handling: %s", std::strerror(errno));
        return kExitFailure;
    }
    const std::unique_ptr<LockBackend> lock = make_backend(opt);
    if (!lock) return kExitFailure;
    return opt.check ? lock->check() : run(opt, *lock);
}
