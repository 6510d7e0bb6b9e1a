// ovlockfile_main_test.cpp - the lock tool, run as users run it.
//
// Every test starts the real binary as a child process with its standard
// output and error captured in files. The test process is a child subreaper,
// so the worker that the tool forks is reparented to it once the first
// process exits, and the worker's real exit status can be checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <functional>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ovversion.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovtest::entries;
using ovtest::read_file;
using ovtest::write_file;

constexpr char kUsage[] = "Usage: ovlockfile [-AD] file [expiration_seconds]\n";
constexpr char kVersionLine[] = "ovlockfile version " OV_VERSION_TEXT "\n";
constexpr char kSighupLine[] = "SIGHUP: Received termination signal. Lock will be released.\n";

// The one line on stderr with which the tool gives up on a lock.
std::string acquire_failure(const std::string &file, const std::string &reason) {
    return "ovlockfile: Unable to acquire lock on " + file + " (" + reason + ")\n";
}

// Waits for a child with a time limit; kills it when the limit passes.
std::optional<int> wait_status(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return std::nullopt;
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

int exit_code(std::optional<int> status) {
    if (!status) return -1000;  // timed out
    if (!WIFEXITED(*status)) return -WTERMSIG(*status);
    return WEXITSTATUS(*status);
}

struct Options {
    std::string cwd;              // run in this directory when set
    std::optional<uid_t> user;    // drop to this user before exec
    std::optional<rlim_t> nproc;  // process limit for the run
    bool new_session = false;     // start the tool as the leader of a session of its own
};

class Tool : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    void TearDown() override {
        for (pid_t w : workers_) {
            kill(w, SIGKILL);
            waitpid(w, nullptr, 0);
        }
        TempDirTest::TearDown();
    }

    // Starts the tool with stdout and stderr going to files in the temp dir.
    pid_t start(const std::vector<std::string> &args, const Options &opt = {}) {
        const pid_t pid = fork();
        if (pid == 0) exec_tool(args, opt);
        return pid;
    }

    // In a child process: becomes the tool.
    [[noreturn]] void exec_tool(const std::vector<std::string> &args, const Options &opt = {}) {
        const std::string out = out_path(), err = err_path();
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (o < 0 || e < 0) _exit(120);
        dup2(o, 1);
        dup2(e, 2);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(121);
        if (opt.new_session && setsid() < 0) _exit(124);
        if (opt.user &&
            (setgroups(0, nullptr) != 0 || setgid(*opt.user) != 0 || setuid(*opt.user) != 0))
            _exit(123);
        // Lowered after the switch of user: a limit already exceeded at
        // setuid() time would make the exec itself fail.
        if (opt.nproc) {
            // A sanitizer's leak check at exit needs a process of its own.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            struct rlimit rl = {*opt.nproc, *opt.nproc};
            if (setrlimit(RLIMIT_NPROC, &rl) != 0) _exit(122);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(OVLOCKFILE_BIN));
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(OVLOCKFILE_BIN, argv.data());
        _exit(127);
    }

    // Runs the tool's first process to its end; returns its exit code.
    int run(const std::vector<std::string> &args, const Options &opt = {}) {
        const pid_t pid = start(args, opt);
        first_pid_ = pid;
        return exit_code(wait_status(pid, 20s));
    }

    // After a successful run: the worker's pid from stdout. A worker that
    // releases at once may print "Release lockfile" before the first process
    // prints its id, so the id is the line that is a number.
    pid_t worker() {
        const pid_t w = worker_in(out());
        if (w > 0) workers_.push_back(w);
        return w;
    }
    static pid_t worker_in(const std::string &text) {
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = std::min(text.find('\n', start), text.size());
            const std::string line = text.substr(start, end - start);
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                return static_cast<pid_t>(std::atoi(line.c_str()));
            start = end + 1;
        }
        return 0;
    }

    // Waits for the worker (reparented to us) and returns its exit code.
    int reap_worker(pid_t w, std::chrono::milliseconds limit = 10s) {
        const int code = exit_code(wait_status(w, limit));
        std::erase(workers_, w);
        return code;
    }

    std::string out_path() const { return dir_ + "/stdout"; }
    std::string err_path() const { return dir_ + "/stderr"; }
    std::string out() const { return read_file(out_path()); }
    std::string err() const { return read_file(err_path()); }
    std::string lock_name() const { return path("work/res"); }
    std::string lock_file() const { return lock_name() + ".lck"; }
    std::string work() const { return path("work"); }

    pid_t first_pid_ = -1;
    std::vector<pid_t> workers_;
};

std::optional<uid_t> unprivileged_user() {
    if (const passwd *pw = getpwnam("nobody")) return pw->pw_uid;
    return ovtest::kNobody;
}

// ---------------------------------------------------------------------------
// Usage, version and help
// ---------------------------------------------------------------------------

TEST_F(Tool, UsageVersionAndHelp) {
    struct Case {
        std::vector<std::string> args;
        const char *out;
        int status;
    } cases[] = {
        {{}, kUsage, 1},
        {{"-h"}, kUsage, 0},
        {{"--help"}, kUsage, 0},
        {{"-A"}, kVersionLine, 0},
        {{"--version"}, kVersionLine, 0},
        {{"somefile", "-A"}, kVersionLine, 0},
        {{"-D", "f", "30", "--version"}, kVersionLine, 0},
        {{"f", "30", "-h"}, kUsage, 0},
        {{"a", "b", "c", "-A"}, kUsage, 1},  // the third argument ends the walk
        {{"-D"}, kUsage, 1},
        {{"--debug", "-D"}, kUsage, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(run(c.args, {.cwd = dir_}), c.status);
        EXPECT_EQ(out(), c.out);
        EXPECT_EQ(err(), "");
    }
    // Nothing was locked by any of them.
    for (const auto &e : entries(dir_)) EXPECT_TRUE(e == "stdout" || e == "stderr") << e;
}

TEST_F(Tool, CombinedOptionIsAFileName) {
    ASSERT_EQ(run({"-AD"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    EXPECT_EQ(read_file(path("-AD.lck")).substr(0, std::to_string(first_pid_).size() + 1),
              std::to_string(first_pid_) + ":");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);
    EXPECT_NE(access(path("-AD.lck").c_str(), F_OK), 0);
}

// ---------------------------------------------------------------------------
// Acquisition failures: one line on stderr, status 1, nothing left behind
// ---------------------------------------------------------------------------

TEST_F(Tool, AcquisitionErrorsAreOneLineOnStderr) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("work/dir.lck").c_str(), 0755), 0);
    const std::string long_name = work() + "/" + std::string(8192, 'n');
    const std::string newline_name = work() + "/a\nb/res";
    struct Case {
        std::vector<std::string> args;
        std::string file;
        const char *text;
    } cases[] = {
        {{lock_name(), "1"}, lock_name(), "Invalid argument"},
        {{lock_name(), "0"}, lock_name(), "Invalid argument"},
        {{lock_name(), "-3"}, lock_name(), "Invalid argument"},
        {{lock_name(), "soon"}, lock_name(), "Invalid argument"},
        {{""}, "", "Invalid argument"},
        {{long_name}, long_name, "File name too long"},
        {{newline_name}, newline_name, "No buffer space available"},
        {{path("work/dir")}, path("work/dir"), "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 80));
        EXPECT_EQ(run(c.args), 1);
        EXPECT_EQ(out(), "");
        EXPECT_EQ(err(), acquire_failure(c.file, c.text));
    }
    const auto left = entries(work());
    EXPECT_EQ(left, std::vector<std::string>{"dir.lck"});
}

TEST_F(Tool, FreshLockHeldElsewhereIsRefused) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    const std::string foreign = "77:11111111-2222-3333-4444-555555555555:elsewhere\n";
    write_file(lock_file(), foreign);
    EXPECT_EQ(run({lock_name()}), 1);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), acquire_failure(lock_name(), "locked by another process"));
    EXPECT_EQ(read_file(lock_file()), foreign);
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
}

TEST_F(Tool, UnwritableDirectoryIsReportedAsNonRoot) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);  // owned by root: not writable for nobody
    const Options as_nobody = {.user = unprivileged_user()};
    EXPECT_EQ(run({lock_name()}, as_nobody), 1);
    EXPECT_EQ(err(), acquire_failure(lock_name(), "access denied"));
    // An existing lock there cannot be probed either.
    write_file(lock_file(), "1:x:y\n");
    struct timeval old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);
    EXPECT_EQ(run({lock_name()}, as_nobody), 1);
    EXPECT_EQ(err(), acquire_failure(lock_name(), "access denied"));
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
}

// ---------------------------------------------------------------------------
// The worker: SIGHUP, caller death, lost lock
// ---------------------------------------------------------------------------

TEST_F(Tool, HoldsUntilSighupThenReleases) {
    // A deep directory that does not exist yet is created.
    const std::string name = path("work/a/b/c/res");
    ASSERT_EQ(run({name, "30"}), 0);
    const std::string stdout_text = out();
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(stdout_text, std::to_string(w) + "\n") << "exactly one line: the worker's id";
    EXPECT_EQ(err(), "");
    const std::string record = read_file(name + ".lck");
    EXPECT_EQ(record.substr(0, record.find(':')), std::to_string(first_pid_));

    // A second contender is refused while the worker keeps the lock.
    ASSERT_EQ(run({name}), 1);
    EXPECT_EQ(err(), acquire_failure(name, "locked by another process"));

    const auto start = Clock::now();
    ASSERT_EQ(kill(w, SIGHUP), 0);
    EXPECT_EQ(reap_worker(w), 0);
    // The signal ends the watch loop's wait at once, not at its next pass.
    EXPECT_LT(Clock::now() - start, 400ms);
    EXPECT_NE(out().find(std::string(kSighupLine) + "Release lockfile\n"), std::string::npos)
        << out();
    EXPECT_NE(access((name + ".lck").c_str(), F_OK), 0);
    EXPECT_EQ(entries(path("work/a/b/c")), std::vector<std::string>{});
}

TEST_F(Tool, ReleasesWhenTheCallerExits) {
    // An intermediate caller runs the tool and exits; the worker watches it.
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        const pid_t tool = start({lock_name()});
        int status = 0;
        waitpid(tool, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    ASSERT_EQ(exit_code(wait_status(caller, 20s)), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    EXPECT_EQ(out(), std::to_string(w) + "\nRelease lockfile\n");
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// A caller that ends while the tool is still probing a stale lock: the tool
// is adopted by this test (a subreaper) before it forks, yet its worker must
// watch the process that ran it, find it gone and give the lock back at once.
TEST_F(Tool, CallerGoneDuringAcquisitionLeavesNoLock) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    write_file(lock_file(), "1:x:y\n");
    struct timeval old[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(fds[0]);
        const pid_t tool = start({lock_name(), "5"});
        const ssize_t ignored = write(fds[1], &tool, sizeof tool);
        (void)ignored;
        // Well inside the probe window of about two seconds.
        usleep(300 * 1000);
        _exit(0);
    }
    close(fds[1]);
    pid_t tool = -1;
    ASSERT_EQ(read(fds[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
    close(fds[0]);
    ASSERT_EQ(exit_code(wait_status(caller, 5s)), 0);

    // The tool is now this process's child; its acquisition ends with status 0.
    EXPECT_EQ(exit_code(wait_status(tool, 20s)), 0);
    const auto acquired = Clock::now();
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    while (access(lock_file().c_str(), F_OK) == 0 && Clock::now() - acquired < 1s)
        std::this_thread::sleep_for(5ms);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "lock left one second after acquisition";
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    const std::string id = std::to_string(w) + "\n";
    EXPECT_TRUE(out() == id + "Release lockfile\n" || out() == "Release lockfile\n" + id) << out();
    EXPECT_TRUE(entries(work()).empty());
}

// A caller that is gone before the tool even runs (a script that starts it
// in the background and exits): the tool finds its adopter as its parent, in
// another session, and must not keep the lock for it.
TEST_F(Tool, AdoptedBeforeItStartsReleasesAtOnce) {
    int go[2], told[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(told), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        // The script's own session, as a terminal or a service manager gives it.
        if (setsid() < 0) _exit(98);
        const pid_t tool = fork();
        if (tool == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 1) _exit(97);
            exec_tool({lock_name()});
        }
        const ssize_t ignored = write(told[1], &tool, sizeof tool);
        (void)ignored;
        _exit(tool > 0 ? 0 : 96);
    }
    close(go[0]);
    close(told[1]);
    pid_t tool = -1;
    ASSERT_EQ(read(told[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
    close(told[0]);
    ASSERT_EQ(exit_code(wait_status(caller, 5s)), 0);
    // The caller is gone: only now does its child become the tool, adopted
    // by this process, which reaps it and its worker.
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    EXPECT_EQ(exit_code(wait_status(tool, 10s)), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(getpid()) + " not found\n");
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// A tool that leads a session of its own was started by its parent as it is
// (a service manager does this), and keeps the lock while that parent lives.
TEST_F(Tool, ASessionLeaderWatchesTheParentItHas) {
    ASSERT_EQ(run({lock_name()}, {.new_session = true}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(access(lock_file().c_str(), F_OK), 0);
    EXPECT_EQ(err(), "");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// The caller's exit is seen as it happens, not at the next half-second look.
TEST_F(Tool, CallerExitIsNoticedAtOnce) {
    std::vector<double> latencies;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t caller = fork();
        ASSERT_GE(caller, 0);
        if (caller == 0) {
            close(ready[0]);
            const pid_t tool = start({lock_name()});
            int status = 0;
            waitpid(tool, &status, 0);
            const char code = WIFEXITED(status) ? static_cast<char>(WEXITSTATUS(status)) : 99;
            const ssize_t ignored = write(ready[1], &code, 1);
            (void)ignored;
            pause();  // until killed
            _exit(0);
        }
        close(ready[1]);
        char code = -1;
        ASSERT_EQ(read(ready[0], &code, 1), 1);
        close(ready[0]);
        ASSERT_EQ(code, 0);
        const pid_t w = worker();
        ASSERT_GT(w, 0);
        ASSERT_EQ(access(lock_file().c_str(), F_OK), 0);

        const auto killed = Clock::now();
        ASSERT_EQ(kill(caller, SIGKILL), 0);
        ASSERT_EQ(waitpid(caller, nullptr, 0), caller);
        while (access(lock_file().c_str(), F_OK) == 0 && Clock::now() - killed < 5s)
            std::this_thread::sleep_for(1ms);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - killed).count());
        EXPECT_EQ(reap_worker(w, 5s), 0);
        EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    }
    std::string shown;
    for (double ms : latencies) shown += std::to_string(static_cast<int>(ms)) + " ms ";
    std::printf("caller exit to release: %s\n", shown.c_str());
    // A look every 500 ms would give about 250 ms on average; four rounds all
    // below 200 ms would happen by chance about once in forty runs.
    EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), 200.0) << shown;
}

TEST_F(Tool, LostLockIsReportedAndTheWorkerExits255) {
    ASSERT_EQ(run({lock_name()}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    const std::string other = "99:aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:other\n";
    write_file(lock_file() + ".new", other);
    ASSERT_EQ(rename((lock_file() + ".new").c_str(), lock_file().c_str()), 0);
    EXPECT_EQ(reap_worker(w, 5s), 255);
    EXPECT_EQ(err(), "ovlockfile: Lock file now locked by [" + other +
                         "]\novlockfile: Unable to release lockfile (locked by another process)\n");
    EXPECT_EQ(out(), std::to_string(w) + "\nRelease lockfile\n");
    EXPECT_EQ(read_file(lock_file()), other);
}

TEST_F(Tool, StaleLockOfAKilledHolderIsTakenOver) {
    ASSERT_EQ(run({lock_name(), "2"}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    kill(w, SIGKILL);
    EXPECT_EQ(reap_worker(w), -SIGKILL);
    const std::string dead = read_file(lock_file());
    struct timeval old[2] = {{time(nullptr) - 10, 0}, {time(nullptr) - 10, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);

    ASSERT_EQ(run({lock_name(), "2"}), 0);
    const pid_t w2 = worker();
    ASSERT_GT(w2, 0);
    const std::string record = read_file(lock_file());
    EXPECT_NE(record, dead);
    EXPECT_EQ(record.substr(0, record.find(':')), std::to_string(first_pid_));
    kill(w2, SIGHUP);
    EXPECT_EQ(reap_worker(w2), 0);
    EXPECT_TRUE(entries(work()).empty());
}

TEST_F(Tool, FailedForkGivesTheLockBack) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    // One process allowed for the user: the tool itself. Its fork fails.
    const Options limited = {.user = unprivileged_user(), .nproc = 1};
    const int status = run({path("res")}, limited);
    if (status == 0) {
        worker();
        GTEST_SKIP() << "the process limit did not stop the fork here";
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err(), "ovlockfile: Unable to fork worker process\n");
    EXPECT_NE(access(path("res.lck").c_str(), F_OK), 0) << "the lock must not stay behind";
}

TEST_F(Tool, DebugSwitchesDoNotChangeTheOutcome) {
    ASSERT_EQ(run({"-D", "-D", lock_name(), "30"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(err(), "");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);

    // Without a debug switch the logger is never set up: no log file at all
    // (in a directory of its own, away from the debug run's log).
    const std::string quiet = path("quiet");
    ASSERT_EQ(mkdir(quiet.c_str(), 0755), 0);
    ASSERT_EQ(run({lock_name()}, {.cwd = quiet}), 0);
    const pid_t w2 = worker();
    kill(w2, SIGHUP);
    EXPECT_EQ(reap_worker(w2), 0);
    EXPECT_EQ(entries(quiet), std::vector<std::string>{});
}

TEST_F(Tool, DebugLogIsARingLinkedFromItsName) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    // A stale lock from elsewhere, so that its age is judged and traced.
    write_file(lock_file(), "77:11111111-2222-3333-4444-555555555555:elsewhere\n");
    struct timeval old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);
    ASSERT_EQ(run({"-D", "-D", lock_name(), "30"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    const std::string log = path("ovlockfile.0.log");
    const auto end = Clock::now() + 10s;
    while (read_file(log).find("Lockfile worker thread started") == std::string::npos &&
           Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);

    struct stat link_status {
    }, file_status{};
    ASSERT_EQ(stat(path("ovlockfile.log").c_str(), &link_status), 0);
    ASSERT_EQ(stat(log.c_str(), &file_status), 0);
    EXPECT_EQ(link_status.st_ino, file_status.st_ino);
    const std::string text = read_file(log);
    EXPECT_NE(text.find("] DBG Lockfile worker thread started\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] DBG _fs_age_stale: File is stale\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] LOG Lock file is stale, taking over.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] DBG Lockfile worker thread finished\n"), std::string::npos) << text;
}

}  // namespace
