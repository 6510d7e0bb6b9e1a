// ovprocess_test.cpp - daemons, pid files, run-as, child programs and the
// command-line split, checked on real processes. Cases that need particular
// accounts or a jail use test account files bind-mounted over the system's in
// a private mount namespace of a child; the machine's own files are never
// touched.
#include <ovplatform/ovlog.h>
#include <ovplatform/ovprocess.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "ovsupport/program_copy.h"
#include "ovsupport/resources.h"
#include "test_util.h"

namespace {

using ovsupport::read_file;
using ovtest::LogCapture;
using ovtest::RunChild;
using ovtest::write_file;

// ---- This program as the child program -------------------------------------------------------

// Started as "<this program> --ovprocess-describe <file> [args...]", the test
// program describes the process it runs in, one "key=value" line at a time,
// into <file> (written beside it and renamed, so that it appears whole) and
// exits before any test starts.
constexpr char kDescribe[] = "--ovprocess-describe";

std::string join_ids(const std::vector<unsigned> &ids) {
    std::string text;
    for (unsigned id : ids) {
        if (!text.empty()) text += ',';
        text += std::to_string(id);
    }
    return text;
}

void describe(const char *file, int argc, char **argv, char **envp) {
    std::string text = "argc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
    uid_t u[3];
    gid_t g[3];
    getresuid(&u[0], &u[1], &u[2]);
    getresgid(&g[0], &g[1], &g[2]);
    text += "uid=" + join_ids({u[0], u[1], u[2]}) + "\ngid=" + join_ids({g[0], g[1], g[2]}) + "\n";
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(
        std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    std::sort(groups.begin(), groups.end());
    text += "groups=" + join_ids(std::vector<unsigned>(groups.begin(), groups.end())) + "\n";
    text += "pid=" + std::to_string(getpid()) + "\nsid=" + std::to_string(getsid(0)) + "\n";
    char cwd[4096] = "?";
    text += std::string("cwd=") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";
    text += "umask=" + std::to_string(umask(0)) + "\n";
    for (char **e = envp; *e != nullptr; ++e) text += std::string("env=") + *e + "\n";
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.' || std::atoi(e->d_name) == dirfd(d)) continue;
            char target[4096] = {};
            (void)!readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target,
                            sizeof target - 1);
            text += std::string("fd=") + e->d_name + ":" + target + "\n";
        }
        closedir(d);
    }
    const std::string tmp = std::string(file) + ".tmp";
    if (ovsupport::write_file(tmp, text)) rename(tmp.c_str(), file);
}

__attribute__((constructor)) void run_as_child_program(int argc, char **argv, char **envp) {
    if (argc >= 3 && std::strcmp(argv[1], kDescribe) == 0) {
        describe(argv[2], argc - 3, argv + 3, envp);
        _exit(0);
    }
}

// A description read back: every value of a key, in order.
struct Description {
    std::vector<std::pair<std::string, std::string>> lines;
    std::vector<std::string> all(const std::string &key) const {
        std::vector<std::string> values;
        for (const auto &[k, v] : lines)
            if (k == key) values.push_back(v);
        return values;
    }
    std::string get(const std::string &key) const {
        const auto values = all(key);
        return values.empty() ? "<none>" : values.front();
    }
    // The open descriptors, by number, with what they lead to.
    std::vector<int> fds() const {
        std::vector<int> numbers;
        for (const auto &v : all("fd")) numbers.push_back(std::atoi(v.c_str()));
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    }
    std::string fd_target(int fd) const {
        for (const auto &v : all("fd"))
            if (std::atoi(v.c_str()) == fd) return v.substr(v.find(':') + 1);
        return "<closed>";
    }
};

Description read_description(const std::string &path) {
    Description d;
    const std::string text = read_file(path);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        const size_t eq = line.find('=');
        d.lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return d;
}

// An argument array for the calls, owning its strings.
class Args {
  public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {
        for (auto &w : words_) pointers_.push_back(w.data());
        pointers_.push_back(nullptr);
    }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;
    char *const *get() { return pointers_.data(); }
    int32_t count() const { return static_cast<int32_t>(words_.size()); }

  private:
    std::vector<std::string> words_;
    std::vector<char *> pointers_;
};

// Reads fd to its end, for at most ten seconds; false when the end does not
// come, as when a write end was left open somewhere.
bool read_to_end(int fd, std::string *out) {
    for (int waited = 0; waited < 10000;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 0) {
            waited += 100;
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return n == 0;
        out->append(buffer, static_cast<size_t>(n));
    }
    return false;
}

std::string self_path() {
    char path[4096] = {};
    return readlink("/proc/self/exe", path, sizeof path - 1) > 0 ? path : "";
}

// Makes the calling child the reaper of its orphaned descendants, so that a
// daemon or a detached program ends up its child, and ends it should a case
// hang.
void adopt_orphans() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    alarm(60);
}

bool no_children_left() {
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

class ProcessTest : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // Other users' processes write their reports into rec/.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(path("rec").c_str(), 0777), 0);
        ASSERT_EQ(chmod(path("rec").c_str(), 0777), 0);
        self_ = self_path();
        ASSERT_FALSE(self_.empty());
    }
    // The arguments that make this program describe itself into rec/<name>.
    std::vector<std::string> describing(const std::string &name,
                                        std::vector<std::string> more = {}) {
        std::vector<std::string> words = {kDescribe, path("rec/" + name)};
        words.insert(words.end(), more.begin(), more.end());
        return words;
    }
    std::string self_;
};

// ---- Command-line split ------------------------------------------------------------------------

std::vector<std::string> split(const char *text, int32_t *rc) {
    char **words = reinterpret_cast<char **>(1);
    int32_t count = -1;
    *rc = ov_process_split_args(text, &words, &count);
    std::vector<std::string> out(words, words + count);
    ov_process_split_args_free(&words, &count);
    EXPECT_EQ(words, nullptr);
    return out;
}

TEST(SplitArgs, SpacesQuotesAndEmptyWords) {
    const struct {
        const char *text;
        std::vector<std::string> words;
    } cases[] = {
        {"a 'b c'd f", {"a", "b cd", "f"}},
        {"a \"b c\"d f", {"a", "b cd", "f"}},
        {"   x    y  ", {"x", "y"}},
        {"''", {""}},
        {"a '' b", {"a", "", "b"}},
        {"x''", {"x"}},
        {"\"it's\" 'say \"hi\"'", {"it's", "say \"hi\""}},
        {"a\\\"b\"", {"a\\b"}},  // no escapes: the backslash stays, the quote opens
        {"tab\there", {"tab\there"}},
        {"", {}},
        {nullptr, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        int32_t rc = -1;
        const auto words = split(c.text, &rc);
        EXPECT_OV_OK(rc);
        EXPECT_EQ(words, c.words);
    }
}

TEST(SplitArgs, UnmatchedQuotesAndBadPointersGiveNothing) {
    for (const char *text : {"a 'b", "\"", "ok \"x' y", "a''b'"}) {
        SCOPED_TRACE(text);
        int32_t rc = 0;
        EXPECT_TRUE(split(text, &rc).empty());
        EXPECT_EQ(rc, EINVAL);
    }
    char **words = nullptr;
    int32_t count = 0;
    EXPECT_EQ(ov_process_split_args("a", nullptr, &count), EINVAL);
    EXPECT_EQ(ov_process_split_args("a", &words, nullptr), EINVAL);
}

// Words longer than the first buffer and more words than the first array.
TEST(SplitArgs, LongWordsAndManyWordsGrowTheirBuffers) {
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        expected.push_back(
            std::string("w").append(std::to_string(i)).append(i == 50 ? 5000 : 3, 'x'));
        text += (i % 2 ? " '" : " ") + expected.back() + (i % 2 ? "'" : "");
    }
    int32_t rc = -1;
    EXPECT_EQ(split(text.c_str(), &rc), expected);
    EXPECT_OV_OK(rc);
}

// ---- Pid files --------------------------------------------------------------------------------

class PidFileTest : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        ASSERT_EQ(std::system(("mkdir -p " + path("var/run/orvane")).c_str()), 0);
    }
    ovtest::ScopedUmask umask_{022};
};

TEST_F(PidFileTest, HoldsTheProcessIdUntilRemoved) {
    const std::string file = path("var/run/orvane/daemon1.pid");
    // A longer file from an earlier run must not leave its tail behind.
    write_file(file, "123456789012345678\n");
    char *created = nullptr;
    ASSERT_OV_OK(ov_pidfile_create(dir_.c_str(), "daemon1", &created));
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(std::string(created), file);
    EXPECT_EQ(read_file(file), std::to_string(getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_OV_OK(ov_pidfile_remove(&created));
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(access(file.c_str(), F_OK), -1);
}

TEST_F(PidFileTest, FailuresLeaveNoFileAndNoPath) {
    LogCapture log;
    ASSERT_TRUE(log.ok());
    char *created = reinterpret_cast<char *>(1);
    const std::string missing = path("none") + "/var/run/orvane/d.pid";
    EXPECT_EQ(ov_pidfile_create(path("none").c_str(), "d", &created), ENOENT);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(log.count("Unable to open pid file '" + missing +
                        "', errno:2, err desc:No such file or directory"),
              1u);

    for (auto [prefix, name] : {std::pair<const char *, const char *>{nullptr, "d"},
                                {dir_.c_str(), nullptr},
                                {dir_.c_str(), ""}}) {
        created = reinterpret_cast<char *>(1);
        EXPECT_EQ(ov_pidfile_create(prefix, name, &created), EINVAL);
        EXPECT_EQ(created, nullptr);
    }
    EXPECT_EQ(ov_pidfile_create(dir_.c_str(), "d", nullptr), EINVAL);
    EXPECT_EQ(ov_pidfile_create(std::string(8190, '/').c_str(), "d", &created), EPATHMAX);
    EXPECT_EQ(created, nullptr);

    EXPECT_EQ(ov_pidfile_remove(nullptr), EINVAL);
    EXPECT_EQ(ov_pidfile_remove(&created), EINVAL);
    created = strdup(path("var/run/orvane/gone.pid").c_str());
    EXPECT_EQ(ov_pidfile_remove(&created), ENOENT);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(log.count("Failure deleting pid file '" + path("var/run/orvane/gone.pid") +
                        "', errno:2, err desc:No such file or directory"),
              1u);
}

// A file size limit of one byte lets the first write through short and
// fails the next: the pid file must not stay behind holding part of the id.
TEST_F(PidFileTest, AWriteThatFailsHalfwayRemovesTheFile) {
    const std::string file = path("var/run/orvane/short.pid");
    const int status = RunChild([&] {
        LogCapture log;
        signal(SIGXFSZ, SIG_IGN);
        const rlimit one{1, 1};
        if (setrlimit(RLIMIT_FSIZE, &one) != 0) return 10;
        char *created = reinterpret_cast<char *>(1);
        if (ov_pidfile_create(dir_.c_str(), "short", &created) != EFBIG) return 1;
        if (created != nullptr) return 2;
        if (access(file.c_str(), F_OK) == 0) return 3;
        return log.count("Failure writing to pid file '" + file +
                         "', errno:27, err desc:File too large") == 1
                   ? 0
                   : 4;
    });
    EXPECT_EQ(status, 0) << "1: code, 2: path kept, 3: file kept, 4: log line";
}

// ---- Daemon -----------------------------------------------------------------------------------

// Runs candidate in a process that becomes a daemon, below a child of the
// test that adopts the daemon. @return the original process's exit status
// when it is not 0 (the fork did not happen), else the first non-zero status
// of the daemon and any process it left; 100 and up when the run itself
// failed.
int RunDaemon(
    const std::function<int()> &candidate, const std::function<int()> &prepare = [] { return 0; }) {
    return RunChild([&] {
        adopt_orphans();
        if (const int rc = prepare(); rc != 0) return rc;
        std::fflush(nullptr);
        const pid_t original = fork();
        if (original < 0) return 100;
        if (original == 0) _exit(candidate());
        int status = 0;
        if (waitpid(original, &status, 0) != original || !WIFEXITED(status)) return 101;
        if (WEXITSTATUS(status) != 0) return WEXITSTATUS(status);
        int result = 102;
        while (waitpid(-1, &status, 0) > 0) {
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 103;
            if (result == 102 || result == 0) result = code;
        }
        return result;
    });
}

int32_t record_call(int32_t arg, void *data) {
    *static_cast<int32_t *>(data) = arg;
    return 0;
}

TEST_F(ProcessTest, DaemonizeDetachesFromEverythingInherited) {
    const std::string out = path("stdout");
    const std::string marker = path("exit-handler-ran");
    static std::string s_marker;
    s_marker = marker;
    const int status = RunDaemon([&] {
        if (!ovsupport::write_file(path("inherited"), "")) return 90;
        const int inherited = open(path("inherited").c_str(), O_RDWR);
        if (dup2(inherited, 0) != 0 || dup2(inherited, 2) != 2 || dup2(inherited, 9) != 9 ||
            dup2(inherited, 300) != 300)
            return 91;
        if (!freopen(out.c_str(), "w", stdout)) return 92;
        umask(027);
        if (chdir(dir_.c_str()) != 0) return 93;
        atexit([] { ovsupport::write_file(s_marker, ""); });
        std::printf("pending");  // still in the buffer at the fork
        int32_t seen = 0;
        if (ov_process_daemonize(record_call, 42, &seen, 0) != 0) return 1;
        if (seen != 42) return 2;
        if (getsid(0) != getpid() || getpgrp() != getpid()) return 3;
        char cwd[64];
        if (getcwd(cwd, sizeof cwd) == nullptr || std::strcmp(cwd, "/") != 0) return 4;
        if (umask(0) != 0) return 5;
        if (ovsupport::entries("/proc/self/fd").size() != 4) return 6;  // 0-2 and the listing
        for (int fd = 0; fd < 3; ++fd) {
            char target[64] = {};
            (void)!readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, 63);
            const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
            if (std::strcmp(target, "/dev/null") != 0 || mode != (fd == 0 ? O_RDONLY : O_WRONLY))
                return 7;
        }
        _exit(0);
    });
    EXPECT_EQ(status, 0) << "1: result, 2: function, 3: session, 4: directory, 5: umask, "
                            "6: descriptors, 7: standard streams";
    EXPECT_EQ(read_file(out), "pending") << "pending output must be written once, before the fork";
    EXPECT_EQ(access(marker.c_str(), F_OK), -1) << "the parent ran the program's exit handlers";
}

// A program that logs to a file and then becomes a daemon goes on logging to
// that file, not into the files it opens afterwards.
TEST_F(ProcessTest, DaemonizeKeepsTheLogFile) {
    const std::string log = path("daemon.log");
    const std::string data = path("data");
    const int status = RunDaemon([&] {
        if (ov_log_open(OV_LOG_FILE, log.c_str()) != 0) return 90;
        ov_log_enable(1);
        ov_log(1, "test", __LINE__, "before the daemon");
        if (ov_process_daemonize(nullptr, 0, nullptr, 0) != 0) return 1;
        // New files take the lowest free numbers, the logger's own among them
        // if they were closed.
        for (int i = 0; i < 4; ++i)
            if (open(data.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) < 0) return 91;
        ov_log(1, "test", __LINE__, "in the daemon");
        ov_log_close();
        _exit(0);
    });
    EXPECT_EQ(status, 0);
    const std::string text = read_file(log);
    EXPECT_NE(text.find("before the daemon"), std::string::npos) << text;
    EXPECT_NE(text.find("in the daemon"), std::string::npos) << text;
    EXPECT_EQ(read_file(data), "") << "a log line went into a file the daemon opened";
}

TEST_F(ProcessTest, DaemonizeResultsAndExitStatuses) {
    // The function's result: 0 and negative ones as they are, positive ones
    // negated; with the exit flag it is the daemon's status.
    const auto run = [](int32_t value, uint32_t flags) {
        return RunDaemon([=] {
            auto *fn = +[](int32_t v, void *) { return v; };
            const int32_t rc = ov_process_daemonize(fn, value, nullptr, flags);
            return rc == (value > 0 ? -value : value) ? 0 : 1;
        });
    };
    EXPECT_EQ(run(7, 0), 0);
    EXPECT_EQ(run(-3, 0), 0);
    EXPECT_EQ(run(7, OV_DAEMON_EXIT_WHEN_DONE), 7);
    EXPECT_EQ(RunDaemon([] { return ov_process_daemonize(nullptr, 0, nullptr, 1) + 50; }), 0);

    // A step that fails: without /dev/null the standard input cannot be
    // reopened.
    const auto without_dev_null = [] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
            return 110;
        return 0;
    };
    const int returned = RunDaemon(
        [] {
            return ov_process_daemonize(nullptr, 0, nullptr, 0) == -OV_DAEMON_STEP_STDIN ? 0 : 1;
        },
        without_dev_null);
    if (returned == 110) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(returned, 0);
    EXPECT_EQ(RunDaemon([] { return ov_process_daemonize(nullptr, 0, nullptr, 1) + 50; },
                        without_dev_null),
              OV_DAEMON_STEP_STDIN);
}

TEST_F(ProcessTest, DaemonizeOnlyOnceAndAgainAfterAFailedFork) {
    const int status = RunDaemon([] {
        LogCapture log;
        if (ov_process_daemonize(nullptr, 0, nullptr, 0) != 0) return 1;
        if (ov_process_daemonize(nullptr, 0, nullptr, 0) != EINVAL) return 2;
        if (log.count("ov_process_daemonize(): already running as a daemon") != 1) return 3;
        // A daemon's children inherit the refusal.
        return RunChild([] { return ov_process_daemonize(nullptr, 0, nullptr, 0); }) == EINVAL ? 0
                                                                                               : 4;
    });
    EXPECT_EQ(status, 0) << "1: first call, 2: second call, 3: log line, 4: in a child";

    // Without a process to spare the fork fails; the process is no daemon
    // and may try again.
    const int retried = RunDaemon([] {
        rlimit limit{};
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
            getrlimit(RLIMIT_NPROC, &limit) != 0)
            return 110;
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = 0;
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) return 111;
        if (ov_process_daemonize(nullptr, 0, nullptr, 0) != EAGAIN) return 1;
        limit.rlim_cur = soft;
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) return 112;
        return ov_process_daemonize(nullptr, 0, nullptr, 0) == 0 ? 0 : 2;
    });
    if (retried >= 110) GTEST_SKIP() << "cannot limit an unprivileged user here";
    EXPECT_EQ(retried, 0) << "1: the fork did not fail, 2: refused after the failed fork";
}

// ---- Spawn -------------------------------------------------------------------------------------

// The arguments of one ov_process_spawn, by name.
struct Start {
    const char *program = nullptr;
    std::vector<std::string> args;
    const char *dir = nullptr;
    char *const *env = nullptr;
    uint32_t flags = 0;
    ov_spawn_fn_t fn = nullptr;
    void *data = nullptr;
    ov_file_t *in = nullptr, *out = nullptr, *err = nullptr;
    const char *user = nullptr;
};

int32_t spawn(const Start &s, pid_t *pid) {
    Args args(s.args);
    return ov_process_spawn(pid, s.program, args.count() > 0 ? args.get() : nullptr, args.count(),
                            s.dir, s.env, s.flags, s.fn, s.data, s.in, s.out, s.err, s.user);
}

// Starts and waits: the child's exit code, or 1000 plus the call's code.
int exit_code(const Start &s) {
    pid_t pid = 0;
    const int32_t rc = spawn(s, &pid);
    return rc != 0 ? 1000 + rc
                   : ovsupport::ExitCode(ovsupport::WaitFor(pid, std::chrono::seconds(30)));
}

TEST_F(ProcessTest, SpawnConnectsPipesToTheStandardStreams) {
    const size_t before = ovsupport::open_descriptors();
    ov_file_t in = -1, out = -1, err = -1;
    pid_t pid = 0;
    ASSERT_OV_OK(spawn({.program = "/bin/sh",
                        .args = {"-c", "read l; echo \"out:$l\"; echo \"err:$l\" >&2; exit 3"},
                        .in = &in,
                        .out = &out,
                        .err = &err},
                       &pid));
    // The caller's ends are close-on-exec, so that programs other threads
    // start do not hold them open.
    for (int fd : {in, out, err}) EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC) << fd;
    ASSERT_EQ(write(in, "hello\n", 6), 6);
    close(in);
    std::string out_text, err_text;
    EXPECT_TRUE(read_to_end(out, &out_text)) << "a write end stayed open";
    EXPECT_TRUE(read_to_end(err, &err_text)) << "a write end stayed open";
    EXPECT_EQ(out_text + err_text, "out:hello\nerr:hello\n");
    close(out);
    close(err);
    EXPECT_TRUE(ovsupport::ExitedWith(ovsupport::WaitFor(pid, std::chrono::seconds(30)), 3));
    EXPECT_EQ(ovsupport::open_descriptors(), before);
}

TEST_F(ProcessTest, SpawnFlagsDecideWhatTheChildKeeps) {
    const int null_fd = open("/dev/null", O_RDONLY);
    const int stray = fcntl(null_fd, F_DUPFD, 60);  // inherited: not close-on-exec
    close(null_fd);
    ASSERT_GE(stray, 60);
    const auto described = [&](const std::string &name, uint32_t flags, ov_file_t *out) {
        EXPECT_EQ(
            exit_code(
                {.program = self_.c_str(), .args = describing(name), .flags = flags, .out = out}),
            0);
        return read_description(path("rec/" + name));
    };
    // Without flags the child inherits what is not close-on-exec, but of the
    // output pipe only its own end, as its standard output.
    ov_file_t out = -1;
    const Description plain = described("plain", 0, &out);
    char pipe_name[64] = {};
    ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(out)).c_str(), pipe_name, 63), 0);
    close(out);
    const auto fds = plain.fds();
    EXPECT_EQ(std::count(fds.begin(), fds.end(), stray), 1);
    for (int fd : fds) EXPECT_EQ(plain.fd_target(fd) == pipe_name, fd == 1) << fd;

    out = -1;
    EXPECT_EQ(described("closed", OV_SPAWN_CLOSE_DESCRIPTORS, &out).fds(),
              (std::vector<int>{0, 1, 2}));
    close(out);
    const Description quiet =
        described("quiet", OV_SPAWN_STDOUT_NULL | OV_SPAWN_STDERR_NULL, nullptr);
    EXPECT_EQ(quiet.fd_target(1) + " " + quiet.fd_target(2), "/dev/null /dev/null");
    close(stray);
}

int32_t mark_and_go_on(pid_t *pid, void *marker) {
    close(open(static_cast<const char *>(marker), O_WRONLY | O_CREAT, 0644));
    return *pid == 0 ? 0 : 40;
}

int32_t refuse(pid_t *, void *) {
    return 41;
}

TEST_F(ProcessTest, SpawnRunsTheFunctionThenChangesDirectoryAndEnvironment) {
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    const std::string marker = path("fn-ran");
    char env_a[] = "OVTEST=1", env_b[] = "PATH=/nowhere";
    char *env[] = {env_a, env_b, nullptr};
    EXPECT_EQ(exit_code({.program = self_.c_str(),
                         .args = describing("child"),
                         .dir = path("sub").c_str(),
                         .env = env,
                         .fn = mark_and_go_on,
                         .data = const_cast<char *>(marker.c_str())}),
              0);
    const Description d = read_description(path("rec/child"));
    EXPECT_EQ(d.get("cwd"), path("sub"));
    EXPECT_EQ(d.all("env"), (std::vector<std::string>{"OVTEST=1", "PATH=/nowhere"}));
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);

    // Failures in the child are its exit status: the function's result, or
    // the errno of the step that failed.
    const std::vector<std::string> exit4 = {"-c", "exit 4"};
    EXPECT_EQ(exit_code({.program = "/bin/sh", .args = exit4, .fn = refuse}), 41);
    EXPECT_EQ(exit_code({.program = "/bin/sh", .args = exit4, .dir = path("none").c_str()}),
              ENOENT);
    EXPECT_EQ(exit_code({.program = path("none").c_str(), .args = exit4}), ENOENT);
    // A name without '/' is searched for in PATH, also with an environment.
    EXPECT_EQ(exit_code({.program = "sh", .args = exit4, .env = env}), 4);
    EXPECT_EQ(exit_code({.program = "sh", .args = exit4}), 4);
}

TEST_F(ProcessTest, SpawnRefusesBadArgumentsBeforeAnythingStarts) {
    LogCapture log;
    std::vector<std::string> words = describing("limit");
    words.resize(OV_SPAWN_MAX_ARGS, "a");
    words.back() = "last";
    EXPECT_EQ(exit_code({.program = self_.c_str(), .args = words}), 0);
    const Description d = read_description(path("rec/limit"));
    EXPECT_EQ(d.get("argc"), std::to_string(OV_SPAWN_MAX_ARGS - 2));
    EXPECT_EQ(d.all("arg").back(), "last");

    const size_t descriptors = ovsupport::open_descriptors();
    words.push_back("one-too-many");
    ov_file_t in = -1, out = -1, err = -1;
    EXPECT_EQ(spawn({.program = "/bin/true", .args = words, .in = &in, .out = &out, .err = &err},
                    nullptr),
              ERANGE);
    EXPECT_EQ(log.count("Err 34: 199 arguments for /bin/true, at most 198"), 1u);
    Args args(words);
    EXPECT_EQ(ov_process_spawn_detached("/bin/true", args.get(), args.count(), nullptr, nullptr,
                                        &in, &out, &err),
              ERANGE);
    char *holes[] = {nullptr};
    for (const auto &[program, argv, argc] :
         {std::tuple<const char *, char **, int32_t>{nullptr, nullptr, 0},
          {"/bin/true", nullptr, 1},
          {"/bin/true", holes, 1},
          {"/bin/true", holes, -1}}) {
        EXPECT_EQ(ov_process_spawn(nullptr, program, argv, argc, nullptr, nullptr, 0, nullptr,
                                   nullptr, &in, nullptr, nullptr, nullptr),
                  EINVAL);
        EXPECT_EQ(
            ov_process_spawn_detached(program, argv, argc, nullptr, nullptr, &in, nullptr, nullptr),
            EINVAL);
    }
    EXPECT_EQ(in + out + err, -3);
    EXPECT_EQ(ovsupport::open_descriptors(), descriptors);
    EXPECT_TRUE(no_children_left());
}

// Pipes that cannot all be made, and a fork that fails, leave nothing open.
TEST_F(ProcessTest, SpawnFailuresCloseThePipesMadeSoFar) {
    const int status = RunChild([] {
        const size_t open_now = ovsupport::open_descriptors();
        // Room for one pipe and one more descriptor: the second pipe fails.
        // The limit is on descriptor numbers, so the third free one is found.
        int free_fds[3];
        for (int &fd : free_fds) fd = open("/dev/null", O_RDONLY);
        for (int fd : free_fds) close(fd);
        rlimit saved{};
        if (free_fds[2] < 0 || getrlimit(RLIMIT_NOFILE, &saved) != 0) return 110;
        const rlimit room{static_cast<rlim_t>(free_fds[2]), saved.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &room) != 0) return 110;
        ov_file_t in = -1, out = -1;
        if (spawn({.program = "/bin/true", .in = &in, .out = &out}, nullptr) != EMFILE) return 1;
        if (ov_process_spawn_detached("/bin/true", nullptr, 0, nullptr, nullptr, &in, &out,
                                      nullptr) != EMFILE)
            return 2;
        if (ovsupport::open_descriptors() != open_now) return 3;
        if (setrlimit(RLIMIT_NOFILE, &saved) != 0) return 113;

        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 111;
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) return 112;
        if (spawn({.program = "/bin/true", .in = &in}, nullptr) != EAGAIN) return 4;
        if (ov_process_spawn_detached("/bin/true", nullptr, 0, nullptr, nullptr, &in, nullptr,
                                      nullptr) != EAGAIN)
            return 5;
        return ovsupport::open_descriptors() == open_now && in == -1 && out == -1 ? 0 : 6;
    });
    if (status >= 110) GTEST_SKIP() << "cannot set the limits here (step " << status << ")";
    EXPECT_EQ(status, 0) << "1, 2: no EMFILE, 4, 5: no EAGAIN, 3, 6: a descriptor left open";
}

// A process that is not root asks for another user through "sudo": a
// recording "sudo" first on PATH shows the exact vector and environment.
TEST_F(ProcessTest, SpawnGoesThroughSudoForAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the case as nobody";
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    const std::string record = path("rec/sudo");
    write_file(path("bin/sudo"),
               "#!/bin/sh\n{ echo \"${0##*/}\"; for a; do echo \"arg=$a\"; done\n"
               "  echo \"USER=$USER LOGNAME=$LOGNAME HOME=$HOME\"; } > " +
                   record + ".tmp\n/bin/mv " + record + ".tmp " + record + "\n");
    ASSERT_EQ(chmod(path("bin/sudo").c_str(), 0755), 0);
    const std::string marker = path("rec/fn-ran");
    const auto recorded = [&](const char *user, char *const *env, int32_t extra, int *code) {
        std::vector<std::string> words = {"x", "y z"};
        words.resize(static_cast<size_t>(2 + extra), "more");
        unlink(record.c_str());
        *code = exit_code({.program = "/bin/true",
                           .args = words,
                           .env = env,
                           .fn = mark_and_go_on,
                           .data = const_cast<char *>(marker.c_str()),
                           .user = user});
        return read_file(record);
    };
    const std::string vector = "sudo\narg=-u\narg=root\narg=/bin/true\narg=x\n";
    const int status = ovsupport::ExitCode(ovsupport::Wait(ovsupport::StartFunction(
        [&] {
            LogCapture log;
            setenv("PATH", (path("bin") + ":/usr/bin:/bin").c_str(), 1);
            setenv("USER", "nobody", 1);
            int code = -1;
            if (recorded("root", nullptr, 0, &code) !=
                vector + "arg=y z\nUSER=root LOGNAME=root HOME=/root\n")
                return 1;
            if (access(marker.c_str(), F_OK) == 0) return 2;  // no function before sudo
            char given[] = "HOME=/given";
            char *env[] = {given, nullptr};
            if (recorded("root", env, 0, &code) != vector + "arg=y z\nUSER= LOGNAME= HOME=/given\n")
                return 3;
            // The caller's own user: no sudo, and the function runs.
            if (!recorded("nobody", nullptr, 0, &code).empty() || access(marker.c_str(), F_OK) != 0)
                return 4;
            if (!recorded("ghost", nullptr, 0, &code).empty() || code != 1000 + ENOENT ||
                log.count("Err 2 getting user entry for ghost") != 1)
                return 5;
            if (recorded("root", nullptr, OV_SPAWN_MAX_SUDO_ARGS - 2, &code).empty()) return 6;
            if (!recorded("root", nullptr, OV_SPAWN_MAX_SUDO_ARGS - 1, &code).empty() ||
                code != 1000 + ERANGE)
                return 7;
            // A detached start goes through "sudo" the same way.
            Args one({"x"});
            if (ov_process_spawn_detached_user("/bin/true", one.get(), one.count(), nullptr,
                                               "root") != 0)
                return 8;
            for (int i = 0; i < 1000 && access(record.c_str(), F_OK) != 0; ++i) usleep(10000);
            return read_file(record) == vector + "USER=root LOGNAME=root HOME=/root\n" ? 0 : 9;
        },
        {.user = ovsupport::kNobody})));
    EXPECT_EQ(status, 0) << "1, 3: vector or environment, 2: function before sudo, 4: own user, "
                            "5: unknown user, 6, 7: argument limit through sudo, 8, 9: detached";
}

// Starts from two threads at once: the pipe ends that one start keeps must
// not reach the child of the other, where they would leak, or hold a pipe
// open after its writer ended.
TEST_F(ProcessTest, ConcurrentStartsKeepTheirPipesToThemselves) {
    std::vector<std::string> own_pipes;  // of this process, inherited by every child
    for (const auto &fd : ovsupport::entries("/proc/self/fd")) {
        char target[64] = {};
        (void)!readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
        own_pipes.push_back(target);
    }
    const auto starts = [&](const std::string &thread, std::vector<std::string> *faults) {
        for (int i = 0; i < 20; ++i) {
            const std::string name = thread + std::to_string(i);
            ov_file_t out = -1;
            pid_t pid = 0;
            if (spawn({.program = self_.c_str(), .args = describing(name), .out = &out}, &pid) != 0)
                faults->push_back(name + ": not started");
            std::string text;
            if (!read_to_end(out, &text)) faults->push_back(name + ": output never ended");
            close(out);
            ovsupport::WaitFor(pid, std::chrono::seconds(30));
            const Description d = read_description(path("rec/" + name));
            for (int fd : d.fds()) {
                const std::string target = d.fd_target(fd);
                if (fd > 2 && target.rfind("pipe:", 0) == 0 &&
                    std::count(own_pipes.begin(), own_pipes.end(), target) == 0)
                    faults->push_back(name + ": holds " + target);
            }
        }
    };
    std::vector<std::string> faults_a, faults_b;
    std::thread a(starts, "a", &faults_a);
    std::thread b(starts, "b", &faults_b);
    a.join();
    b.join();
    EXPECT_TRUE(faults_a.empty()) << faults_a.front();
    EXPECT_TRUE(faults_b.empty()) << faults_b.front();
}

// ---- Detached spawn ----------------------------------------------------------------------------

TEST_F(ProcessTest, DetachedProgramRunsInASessionOfItsOwnWithPipes) {
    const int status = RunChild([&] {
        adopt_orphans();
        Args args(describing("detached"));
        ov_file_t out = -1;
        if (ov_process_spawn_detached(self_.c_str(), args.get(), args.count(), nullptr, nullptr,
                                      nullptr, &out, nullptr) != 0)
            return 1;
        // The intermediate process is gone: the only child left is the
        // program, adopted here as its grandparent's orphan.
        std::string text;
        if (!read_to_end(out, &text)) return 2;
        int st = 0;
        if (waitpid(-1, &st, 0) < 0 || !WIFEXITED(st) || !no_children_left()) return 3;
        const Description d = read_description(path("rec/detached"));
        // A session of its own, which it does not lead, so that it never
        // gets a controlling terminal.
        if (d.get("sid") == std::to_string(getsid(0)) || d.get("sid") == d.get("pid")) return 4;
        if (d.fds() != std::vector<int>{0, 1, 2}) return 5;
        return d.fd_target(1).rfind("pipe:", 0) == 0 ? 0 : 6;
    });
    EXPECT_EQ(status, 0) << "1: start, 2: pipe never ended, 3: children, 4: session, "
                            "5: descriptors kept, 6: output pipe";
}

TEST_F(ProcessTest, DetachedStartReportsAProgramThatCannotRun) {
    const int status = RunChild([&] {
        adopt_orphans();
        const size_t before = ovsupport::open_descriptors();
        ov_file_t out = -1;
        if (ov_process_spawn_detached_simple(path("none").c_str(), nullptr, 0, nullptr) != ENOENT)
            return 1;
        if (ov_process_spawn_detached(path("none").c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                      &out, nullptr) != ENOENT ||
            out != -1)
            return 2;
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        return ovsupport::open_descriptors() == before ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << "1, 2: not reported, 3: a descriptor left open";
}

// ---- Test accounts ---------------------------------------------------------------------------

// Users and groups of the run-as cases, with their homes, a jail and a
// marker inside it, all under the test directory.
class AccountsTest : public ProcessTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
        ProcessTest::SetUp();
        for (const char *d :
             {"home", "home/alice", "jail", "jail/home", "jail/home/bob", "jail/usr", "jail/proc"})
            ASSERT_EQ(mkdir(path(d).c_str(), 0755), 0) << d;
        write_file(path("jail/marker"), "");
        // The jail's programs: the system's /usr, mounted in the namespace,
        // and the links to it that a merged /usr has.
        for (const char *d : {"bin", "lib", "lib64", "sbin"}) {
            char target[256] = {};
            if (readlink((std::string("/") + d).c_str(), target, sizeof target - 1) > 0) {
                ASSERT_EQ(symlink(target, path(std::string("jail/") + d).c_str()), 0);
            }
        }
        write_file(path("passwd"),
                   "root:x:0:0:root:/root:/bin/sh\n"
                   "alice:x:4301:4300::" +
                       path("home/alice") +
                       ":/bin/sh\n"
                       "jailed:x:4302:4300::" +
                       path("jail") +
                       "/./home/bob:/bin/sh\n"
                       "homeless:x:4303:4300::" +
                       path("missing") +
                       ":/bin/sh\n"
                       "badjail:x:4304:4300::" +
                       path("nojail") +
                       "/./home:/bin/sh\n"
                       "nohome:x:4305:4300:::/bin/sh\n"
                       "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n");
        write_file(path("group"),
                   "root:x:0:\nstaff:x:4300:\nextra1:x:4310:alice\nextra2:x:4311:alice,jailed\n"
                   "nogroup:x:65534:\n");
    }

    // In a child: the test accounts replace the system's in a private mount
    // namespace, and the jail gets the system's programs. @return 0, or the
    // step (10 and up) that this machine does not allow.
    int use_accounts() {
        if (unshare(CLONE_NEWNS) != 0) return 10;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
        if (mount(path("group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) return 12;
        if (mount(path("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) return 13;
        if (mount("/usr", path("jail/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return 14;
        return 0;
    }
};

bool ids_are(const Description &d, const std::string &uid, const std::string &gid,
             const std::string &groups) {
    return d.get("uid") == uid + "," + uid + "," + uid &&
           d.get("gid") == gid + "," + gid + "," + gid && d.get("groups") == groups;
}

std::string env_of(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "<unset>";
}

TEST_F(AccountsTest, RunAsDropsRootForGood) {
    const int status = RunChild([&] {
        if (const int step = use_accounts(); step != 0) return step;
        if (ov_process_runas("alice") != 0) return 1;
        uid_t u[3];
        gid_t g[3];
        getresuid(&u[0], &u[1], &u[2]);
        getresgid(&g[0], &g[1], &g[2]);
        if (u[0] != 4301 || u[1] != 4301 || u[2] != 4301) return 2;
        if (g[0] != 4300 || g[1] != 4300 || g[2] != 4300) return 3;
        std::vector<gid_t> groups(8);
        groups.resize(static_cast<size_t>(std::max(getgroups(8, groups.data()), 0)));
        std::sort(groups.begin(), groups.end());
        if (groups != std::vector<gid_t>{4300, 4310, 4311}) return 4;
        if (setuid(0) == 0 || seteuid(0) == 0 || setgid(0) == 0 || errno != EPERM) return 5;
        if (env_of("USER") != "alice" || env_of("LOGNAME") != "alice" ||
            env_of("HOME") != path("home/alice"))
            return 6;
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr || path("home/alice") != cwd) return 7;
        return umask(0) == 0 ? 0 : 8;
    });
    if (status >= 10) GTEST_SKIP() << "no private mount namespace here (step " << status << ")";
    EXPECT_EQ(status, 0) << "2: user ids, 3: group ids, 4: supplementary groups, 5: root can "
                            "be regained, 6: environment, 7: directory, 8: umask";
}

TEST_F(AccountsTest, RunAsEntersTheJailWhileStillPrivileged) {
    const int status = RunChild([&] {
        if (const int step = use_accounts(); step != 0) return step;
        if (ov_process_runas("jailed") != 0) return 1;
        if (access("/marker", F_OK) != 0) return 2;
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr || std::strcmp(cwd, "/home/bob") != 0) return 3;
        return env_of("HOME") == "home/bob" && getuid() == 4302 ? 0 : 4;
    });
    if (status >= 10) GTEST_SKIP() << "no private mount namespace here (step " << status << ")";
    EXPECT_EQ(status, 0) << "2: not in the jail, 3: directory, 4: HOME or user";

    const int missing = RunChild([&] {
        if (const int step = use_accounts(); step != 0) return step;
        LogCapture log;
        setenv("USER", "root", 1);
        // A jail that cannot be entered switches nothing at all.
        if (ov_process_runas("badjail") != ENOENT) return 1;
        if (log.count("Err 2 while calling chroot to " + path("nojail") + " in process runas") != 1)
            return 2;
        if (getuid() != 0 || geteuid() != 0 || getgid() != 0 || env_of("USER") != "root") return 3;
        // A home that does not exist: the directory is "/".
        if (ov_process_runas("homeless") != 0) return 4;
        char cwd[16];
        return getcwd(cwd, sizeof cwd) != nullptr && std::strcmp(cwd, "/") == 0 ? 0 : 5;
    });
    EXPECT_EQ(missing, 0) << "1, 2: failed chroot not reported, 3: switched anyway, "
                             "4, 5: missing home";
}

TEST_F(AccountsTest, RunAsRefusesWhatItCannotDo) {
    const int status = RunChild([&] {
        if (const int step = use_accounts(); step != 0) return step;
        LogCapture log;
        if (ov_process_runas("ghost") != ENOENT ||
            log.count("Err 2 getting user entry for ghost in process runas") != 1)
            return 1;
        if (ov_process_runas("") != ENOENT || ov_process_runas("nohome") != ENOENT ||
            ov_process_runas(nullptr) != EINVAL)
            return 2;
        if (getuid() != 0) return 3;
        // Unprivileged: the own user is fine, another one is not.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 20;
        if (ov_process_runas("nobody") != 0) return 4;
        if (ov_process_runas("alice") != EPERM ||
            log.count("Err 1 in setUID to 4301 in process runas") != 1)
            return 5;
        return 0;
    });
    if (status >= 10) GTEST_SKIP() << "no private mount namespace here (step " << status << ")";
    EXPECT_EQ(status, 0) << "1, 2: bad names, 3: switched anyway, 4: own user, 5: other user";
}

TEST_F(AccountsTest, DetachedProgramRunsAsTheUser) {
    // This program, run as alice, from where alice can reach it.
    const ovsupport::ProgramCopy self(self_);
    ASSERT_TRUE(self.ok()) << self.error();
    const int status = RunChild([&] {
        if (const int step = use_accounts(); step != 0) return step;
        adopt_orphans();
        Args args(describing("alice"));
        if (ov_process_spawn_detached_user(self.path().c_str(), args.get(), args.count(), nullptr,
                                           "alice") != 0)
            return 1;
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        const Description d = read_description(path("rec/alice"));
        if (!ids_are(d, "4301", "4300", "4300,4310,4311")) return 2;
        if (d.get("cwd") != path("home/alice") || d.get("umask") != "0") return 3;
        const auto env = d.all("env");
        for (const std::string &want : {std::string("USER=alice"), std::string("LOGNAME=alice"),
                                        "HOME=" + path("home/alice")})
            if (std::count(env.begin(), env.end(), want) != 1) return 4;

        // Into the jail, with a shell that reports where it is.
        Args shell({"-c", "pwd; id -u; echo \"$HOME\"; test -e /marker && echo jailed"});
        ov_file_t out = -1;
        if (ov_process_spawn_detached("/bin/sh", shell.get(), shell.count(), nullptr, "jailed",
                                      nullptr, &out, nullptr) != 0)
            return 5;
        std::string text;
        if (!read_to_end(out, &text) || text != "/home/bob\n4302\nhome/bob\njailed\n") return 6;
        close(out);

        // A user who cannot be switched to: the program does not run.
        Args never(describing("never"));
        if (ov_process_spawn_detached_user(self.path().c_str(), never.get(), never.count(), nullptr,
                                           "badjail") != ENOENT)
            return 7;
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        return access(path("rec/never").c_str(), F_OK) != 0 ? 0 : 8;
    });
    if (status >= 10) GTEST_SKIP() << "no private mount namespace here (step " << status << ")";
    EXPECT_EQ(status, 0) << "2: ids, 3: directory or umask, 4: environment, 5, 6: jail, "
                            "7, 8: a failed switch ran the program anyway";
}

}  // namespace
